#include "cycles/CycleDetector.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "cycles/BandpassDesign.h"
#include "cycles/CrossingMath.h"
#include "cycles/CycleSettings.h"
#include "powergpu.hpp"

namespace powergpu::cycles {

namespace {

constexpr std::int64_t kLongestEntry = std::numeric_limits<std::int32_t>::max();
// Pieces of an entry too long for its length field.
constexpr std::int64_t kSplitPiece = std::int64_t{1} << 30;
// Chunks cleaned of unusable samples at a time.
constexpr std::size_t kCleanChunk = 1 << 14;
// The filter convolves in single precision by a forward and an inverse
// transform of up to 2^22 points, each summing as many values: samples up
// to this size stay far below the largest float (1e20 x 2^44 = 2e33 <
// 3.4e38). A larger sample could overflow the sums and spoil its whole
// block, so it counts as missing, like a non-finite one; measured voltages
// are many orders below.
constexpr double kLargestSample = 1e20;

bool usable(double x) {
    return std::abs(x) <= kLargestSample;  // false for NaN too
}

const PowerCycleDetectorSettings& checked(const PowerCycleDetectorSettings& settings) {
    checkCycleSettings(settings);
    return settings;
}

}  // namespace

CycleDetector::CycleDetector(const PowerCycleDetectorSettings& settings)
    : settings_(checked(settings)),
      learn_(learnsLevel(settings)),
      delay_(static_cast<int>(
          (bandpassTapCount(settings.sampleRate, settings.nominalFrequency, settings.filterCycles) - 1) / 2)),
      nominalLength_(settings.sampleRate / settings.nominalFrequency),
      shortest_(nominalLength_ / 1.5),
      gapLimit_(settings.maxGapCycles * nominalLength_),
      armDepth_(0.0),
      filter_(designBandpass(settings.sampleRate, settings.nominalFrequency, settings.filterCycles)),
      lastPos_(static_cast<std::int64_t>(settings.startIndex) * settings.positionsPerSample) {
    updateArmDepth();
}

std::vector<double> CycleDetector::filterTaps() const {
    return designBandpass(settings_.sampleRate, settings_.nominalFrequency, settings_.filterCycles);
}

// The depth follows the reference level, which changes only at a measured
// cycle.
void CycleDetector::updateArmDepth() {
    armDepth_ = settings_.hysteresis * referenceLevel() * std::sqrt(2.0);
}

void CycleDetector::process(const double* samples, std::size_t count) {
    if (flushed_) {
        throw PowerInvalidCall("powerCycleDetector_process: the detector was flushed; it takes no more samples");
    }
    // The positions of the samples, and of the filter's tail that the flush
    // adds, must stay within the range positions are carried in.
    const auto perSample = static_cast<std::uint64_t>(settings_.positionsPerSample);
    const std::uint64_t room = kMostPositions / perSample - settings_.startIndex;
    // (in double: the gap limit may be any finite number of cycles)
    const double tail = static_cast<double>(filterLatency()) + gapLimit_ + 1.0;
    if (count > room || static_cast<double>(consumed_) + tail > static_cast<double>(room - count)) {
        throw PowerInvalidCall("powerCycleDetector_process: " + std::to_string(count) +
                               " more samples would take the signal past the last position the entries can "
                               "describe: (startIndex + samples) x positionsPerSample must stay below 2^62");
    }
    consumed_ += count;
    while (count > 0) {
        const std::size_t n = std::min(count, kCleanChunk);
        if (std::all_of(samples, samples + n, usable)) {
            filterAndExamine(samples, n);
        } else {
            cleaned_.assign(samples, samples + n);
            for (double& x : cleaned_) {
                x = usable(x) ? x : 0.0;
            }
            filterAndExamine(cleaned_.data(), n);
        }
        samples += n;
        count -= n;
    }
}

void CycleDetector::flush() {
    if (flushed_) {
        return;
    }
    flushed_ = true;
    end_ = consumed_;
    // The filter's tail: its outputs up to the last sample of the signal,
    // compensated for the delay.
    const std::vector<double> padding(static_cast<std::size_t>(delay_), 0.0);
    filter_.feed(padding.data(), padding.size(), filtered_);
    filter_.finish(filtered_);
    examineFiltered();
    if (!anchorKnown_ && last_ == Boundary::Start) {
        anchorKnown_ = true;
        anchor_ = lastPos_;
    }
    const double end = static_cast<double>(end_);
    fillGaps(end - 1.0);
    if (end - lastT_ > 0.0) {
        emitPieces(lastT_, end, POWER_CYCLE_PARTIAL, true);
    }
}

std::size_t CycleDetector::take(std::size_t maxCount, PowerCycleEntry* out) {
    const std::size_t n = std::min(maxCount, entries_.size());
    std::copy(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(n), out);
    entries_.erase(entries_.begin(), entries_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

void CycleDetector::filterAndExamine(const double* samples, std::size_t count) {
    filter_.feed(samples, count, filtered_);
    examineFiltered();
}

void CycleDetector::examineFiltered() {
    const auto delay = static_cast<std::uint64_t>(delay_);
    for (const float y : filtered_) {
        const std::uint64_t input = filterOutputs_++;
        // Outputs before the delay belong to no sample of the signal.
        if (input >= delay) {
            examine(y, !flushed_ || input < end_);
        }
    }
    filtered_.clear();
}

void CycleDetector::examine(float y, bool fillGapsHere) {
    const std::int64_t g = next_++;
    window_ = {window_[1], window_[2], window_[3], y};
    const double energyBeforeCandidate = energyBeforeLast_;  // before g - 1
    energyBeforeLast_ = energy_;
    energy_ += static_cast<double>(y) * static_cast<double>(y);
    if (g >= 3 && armed_ && window_[1] < 0.0f && window_[2] >= 0.0f) {
        const std::int64_t candidate = g - 1;
        const double t =
            static_cast<double>(candidate - 1) + crossingFraction(window_[0], window_[1], window_[2], window_[3]);
        crossing(t, energyBeforeCandidate, candidate);
        armed_ = false;
    }
    // Re-arming: the signal went below minus the hysteresis since the last
    // accepted candidate (the sample g - 1, now that its candidate is done).
    if (g >= 1 && !armed_) {
        armed_ = window_[2] < -armDepth_;
    }
    if (fillGapsHere && static_cast<double>(g) - 1.0 - lastT_ > gapLimit_) {
        fillGaps(static_cast<double>(g) - 1.0);
    }
}

void CycleDetector::crossing(double t, double energy, std::int64_t sampleAfter) {
    const double gap = t - lastT_;
    if (last_ == Boundary::Crossing && gap < shortest_) {
        // The filter ringing after a spike, not a cycle of the fundamental:
        // the cycle goes on to a later crossing.
        return;
    }
    if (last_ == Boundary::Crossing && gap <= 1.5 * nominalLength_) {
        const std::int64_t count = sampleAfter - lastSampleAfter_;
        const double amplitude =
            count > 0 ? std::sqrt(std::max(energy - lastEnergy_, 0.0) / static_cast<double>(count)) : 0.0;
        const double frequency = settings_.sampleRate / gap;
        const bool lengthOk = std::abs(gap / nominalLength_ - 1.0) <= settings_.tolerance;
        if (learn_ && lengthOk) {
            level_.add(amplitude);
            updateArmDepth();
        }
        const double level = referenceLevel();
        const bool valid = lengthOk && amplitude >= settings_.minAmplitude * level && amplitude > 0.0 &&
                           !lastTransient_ && !transient(t);
        emit(t, frequency, valid, amplitude, POWER_CYCLE_MEASURED);
    } else {
        const std::int8_t kind = last_ == Boundary::Start ? POWER_CYCLE_PARTIAL : POWER_CYCLE_FILLER;
        if (kind == POWER_CYCLE_PARTIAL) {
            anchorKnown_ = true;
            anchor_ = positionAt(t);
        }
        emitPieces(lastT_, t, kind, false);
    }
    lastT_ = t;
    last_ = Boundary::Crossing;
    lastEnergy_ = energy;
    lastSampleAfter_ = sampleAfter;
    lastTransient_ = transient(t);
}

void CycleDetector::fillGaps(double reliable) {
    while (reliable - lastT_ > gapLimit_) {
        const double t = lastT_ + nominalLength_;
        const std::int8_t kind = last_ == Boundary::Start ? POWER_CYCLE_PARTIAL : POWER_CYCLE_FILLER;
        if (!anchorKnown_) {
            anchorKnown_ = true;
            anchor_ = lastPos_;
        }
        emit(t, settings_.nominalFrequency, false, std::numeric_limits<double>::quiet_NaN(), kind);
        lastT_ = t;
        last_ = Boundary::Filler;
    }
}

// Between two crossings (fillers): pieces of equal length near the nominal
// one, each at the frequency that makes it exactly one cycle, so that the
// reference phase is a whole number of cycles again at the crossing t1 and
// period values stay aligned to the crossings after a gap. Before the first
// crossing: the same lengths at the nominal frequency. After the last
// crossing (last): pieces of nominal length at the nominal frequency, the
// final one shorter.
void CycleDetector::emitPieces(double t0, double t1, std::int8_t kind, bool last) {
    const double gap = t1 - t0;
    const double nominal = nominalLength_;
    const double none = std::numeric_limits<double>::quiet_NaN();
    if (last) {
        const auto count = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::ceil(gap / nominal - 1e-9)));
        for (std::int64_t k = 1; k < count; ++k) {
            emit(t0 + static_cast<double>(k) * nominal, settings_.nominalFrequency, false, none, kind);
        }
        emit(t1, settings_.nominalFrequency, false, none, kind);
        return;
    }
    const auto count = std::max<std::int64_t>(1, static_cast<std::int64_t>(std::nearbyint(gap / nominal)));
    const double frequency = kind == POWER_CYCLE_PARTIAL ? settings_.nominalFrequency
                                                         : static_cast<double>(count) * settings_.sampleRate / gap;
    for (std::int64_t k = 1; k < count; ++k) {
        emit(t0 + gap * static_cast<double>(k) / static_cast<double>(count), frequency, false, none, kind);
    }
    emit(t1, frequency, false, none, kind);
}

void CycleDetector::emit(double t1, double frequency, bool valid, double amplitude, std::int8_t kind) {
    const std::int64_t end = positionAt(t1);
    std::int64_t start = lastPos_;
    if (end <= start) {
        return;
    }
    std::int64_t length = end - start;
    while (length > kLongestEntry) {
        entries_.push_back(PowerCycleEntry{static_cast<std::uint64_t>(start), static_cast<std::int32_t>(kSplitPiece),
                                           kind, 0, 0, frequency, std::numeric_limits<double>::quiet_NaN()});
        start += kSplitPiece;
        length -= kSplitPiece;
    }
    entries_.push_back(PowerCycleEntry{static_cast<std::uint64_t>(start), static_cast<std::int32_t>(length), kind,
                                       static_cast<std::uint8_t>(valid ? 1 : 0), 0, frequency, amplitude});
    lastPos_ = end;
}

bool CycleDetector::transient(double t) const {
    const double delay = static_cast<double>(delay_);
    if (t < delay) {
        return true;
    }
    return flushed_ && t > static_cast<double>(end_) - 1.0 - delay;
}

std::int64_t CycleDetector::positionAt(double t) const {
    // The start's positions are added as integers: in double, positions
    // beyond 2^53 (a start index of 9e12 at 1000 positions per sample) would
    // be rounded, and the entries would no longer meet end to end.
    const double sinceStart = std::nearbyint(t * static_cast<double>(settings_.positionsPerSample));
    return static_cast<std::int64_t>(settings_.startIndex) * settings_.positionsPerSample +
           static_cast<std::int64_t>(sinceStart);
}

}  // namespace powergpu::cycles
