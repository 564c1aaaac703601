// The grouped harmonic analysis of a module: for every scheduled window, a
// rectangular-window transform of the window's own length of each voltage
// and current channel, the subgroups, interharmonic subgroups and groups of
// every order (kernelIecHarmonics), copied back with the window's results;
// for every delivered window, a record with the THD figures, queued for the
// caller.
//
// It owns its buffers, plans and record queue. The module calls it at four
// points: configure after a rebuild, enqueue after a window's kernels (on
// the window's stream, before the event that releases the next window, so
// windows share the transform areas as the main kernels do), deliver for
// each window getResults hands out, and take for the caller's fetch.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "iec/IecFftPlans.h"
#include "iec/IecHarmonicSettings.h"
#include "iec/RuntimeArray.h"
#include "powergpu.h"
#include "runtime/Runtime.h"

namespace powergpu::iec {

// The channel rows: voltages 0..2, currents 3..5.
constexpr int kIecChannelRows = POWER_IEC_CHANNEL_COUNT;

// What enqueue needs of one window.
struct IecWindow {
    uint64_t calculationIndex = 0;  // the window's number since the pending chain started
    uint64_t firstSampleIndex = 0;
    uint32_t length = 0;
    double frequency = 0.0;
    double sampleRate = 0.0;
    uint64_t ringPosition = 0;  // of the first sample
    uint64_t ringLength = 0;
    // Device rings of the channel rows (null where the grid has none).
    std::array<const float*, kIecChannelRows> rings{};
    StreamHandle stream = nullptr;
};

// Which transform computes a window's spectrum: Automatic is the rule of
// iec/ChirpTransform.h; the others force one path (tests and benchmarks
// compare the two on the same windows).
enum class IecTransformChoice { Automatic, Direct, Chirp };

class IecHarmonicAnalysis {
public:
    explicit IecHarmonicAnalysis(Runtime& runtime);
    IecHarmonicAnalysis(const IecHarmonicAnalysis&) = delete;
    IecHarmonicAnalysis& operator=(const IecHarmonicAnalysis&) = delete;

    // After a rebuild (the device idle): sizes the areas for windows of up
    // to maxWindowLength samples and `slots` windows in flight. A disabled
    // analysis releases everything and forgets its records.
    void configure(const IecHarmonicSettings& settings, int voltageCount, int currentCount, uint64_t maxWindowLength,
                   uint64_t slots);
    bool isActive() const { return settings_.enabled && rows_ > 0 && slots_ > 0; }
    void setTransformChoice(IecTransformChoice choice) { transformChoice_ = choice; }

    // Enqueues the window's copies, transform, kernel and copy back.
    void enqueue(const IecWindow& window);
    // Makes the record of a window that getResults hands out (a window
    // enqueue did not complete for gives none).
    void deliver(uint64_t calculationIndex);

    // Moves up to maxCount records, oldest first, into records.
    std::size_t take(std::size_t maxCount, PowerIecHarmonics* records);
    std::size_t waiting() const;

    static constexpr std::size_t kQueueLimit = 1024;

private:
    // What a slot's values belong to; valid once its copy back is enqueued.
    struct SlotWindow {
        bool valid = false;
        uint64_t calculationIndex = 0;
        uint64_t firstSampleIndex = 0;
        uint32_t length = 0;
        double frequency = 0.0;
        int32_t highestOrder = 0;
        int32_t binsPerPeriod = 0;
        bool transformed = false;  // false: a window without a spectrum, its record all zero
    };
    std::size_t slotValues() const;
    bool usesChirp(int length) const;
    // The window's rows (input_) to their spectra (spectra_).
    void enqueueTransform(int length, StreamHandle stream);

    Runtime& runtime_;
    IecHarmonicSettings settings_;
    int voltageCount_ = 0;
    int currentCount_ = 0;
    int rows_ = 0;
    uint64_t slots_ = 0;
    uint64_t maxWindowLength_ = 0;
    RuntimeArray<float> input_;
    RuntimeArray<float2> spectra_;
    RuntimeArray<float2> chirpPadded_;  // the chirp-z path's areas, sized on first need
    RuntimeArray<float2> chirpConvolved_;
    IecTransformChoice transformChoice_ = IecTransformChoice::Automatic;
    RuntimeArray<double> deviceValues_;
    RuntimeArray<double> hostValues_;
    IecFftPlans plans_;
    std::vector<SlotWindow> slotWindows_;
    mutable std::mutex queueMutex_;  // fetching may run beside delivery
    std::deque<PowerIecHarmonics> queue_;
};

}  // namespace powergpu::iec
