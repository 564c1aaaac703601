// The detector of the cycles of the fundamental in a reference voltage:
// band-pass filter, zero crossings, and the entries that cover every
// sample (the method and the units are described with the flat functions
// in powergpu.h).
//
// The filtered samples are examined one at a time, in order, so that the
// entries depend only on the samples, never on how the calls split them:
// each new filtered sample y[g] decides the crossing candidate at g - 1
// (its cubic needs y[g]), then counts towards re-arming, then lets the gap
// limit emit fillers up to g - 1. The samples that the flush adds beyond
// the signal's end (the filter's tail) do the same but emit no fillers:
// the end of the signal is handled once, after all of them.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <vector>

#include "cycles/ReferenceLevel.h"
#include "cycles/StreamingFir.h"
#include "powergpu.h"

namespace powergpu::cycles {

class CycleDetector {
public:
    // Throws PowerInvalidCall for settings out of range.
    explicit CycleDetector(const PowerCycleDetectorSettings& settings);

    // Feeds the next samples (non-finite ones and those beyond 1e20 count as 0). Throws
    // PowerInvalidCall after the flush.
    void process(const double* samples, std::size_t count);
    // Ends the signal; a second call does nothing.
    void flush();

    std::size_t waiting() const { return entries_.size(); }
    // Moves up to maxCount entries, oldest first, into out; gives how many.
    std::size_t take(std::size_t maxCount, PowerCycleEntry* out);

    bool anchorKnown() const { return anchorKnown_; }
    std::uint64_t anchor() const { return anchorKnown_ ? static_cast<std::uint64_t>(anchor_) : 0; }
    double referenceLevel() const { return learn_ ? level_.level() : settings_.nominalRms; }
    std::uint64_t samplesConsumed() const { return consumed_; }
    int filterDelay() const { return delay_; }
    int filterLatency() const { return delay_ + static_cast<int>(filter_.blockLength()) - 1; }
    // The band-pass taps in double, as designed (the filter runs on their
    // single-precision spectrum).
    std::vector<double> filterTaps() const;

private:
    enum class Boundary { Start, Crossing, Filler };

    void filterAndExamine(const double* samples, std::size_t count);
    void examineFiltered();
    void examine(float y, bool fillGaps);
    void crossing(double t, double energy, std::int64_t sampleAfter);
    void fillGaps(double reliable);
    void updateArmDepth();
    void emitPieces(double t0, double t1, std::int8_t kind, bool last);
    void emit(double t1, double frequency, bool valid, double amplitude, std::int8_t kind);
    bool transient(double t) const;
    std::int64_t positionAt(double t) const;

    PowerCycleDetectorSettings settings_;
    bool learn_;
    int delay_;
    double nominalLength_;  // samples per nominal cycle
    double shortest_;       // crossings sooner than this after the last do not end a cycle
    double gapLimit_;       // samples without a crossing before fillers
    double armDepth_;       // the filtered signal must go below minus this to re-arm
    StreamingFir filter_;
    std::vector<float> filtered_;  // outputs of the filter not yet examined
    std::vector<double> cleaned_;  // a chunk with its non-finite samples replaced

    std::uint64_t consumed_ = 0;       // samples fed
    std::uint64_t filterOutputs_ = 0;  // outputs examined or dropped (input index of the next)
    bool flushed_ = false;
    std::uint64_t end_ = 0;  // samples in the signal, once flushed

    // Examination state: the last four filtered samples y[g-3] .. y[g] and
    // the sums of squares of the filtered samples before g and before g + 1
    // (g the last one examined).
    std::int64_t next_ = 0;  // index of the next filtered sample
    std::array<float, 4> window_{};
    double energyBeforeLast_ = 0.0;
    double energy_ = 0.0;
    bool armed_ = false;

    // The last boundary.
    double lastT_ = 0.0;
    std::int64_t lastPos_;
    Boundary last_ = Boundary::Start;
    double lastEnergy_ = 0.0;
    std::int64_t lastSampleAfter_ = 0;
    bool lastTransient_ = true;
    bool anchorKnown_ = false;
    std::int64_t anchor_ = 0;
    ReferenceLevel level_;

    std::deque<PowerCycleEntry> entries_;
};

}  // namespace powergpu::cycles
