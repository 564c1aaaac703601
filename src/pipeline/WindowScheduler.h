// The general results of a module: windows checked, queued and launched on
// the device, and their records fetched in schedule order.
//
// Its work is split by job:
//   pipeline/WindowScheduler.cpp   sample copies, the results queue, retrieval
//   pipeline/WindowLaunches.cpp    checking a window and enqueueing its work
//   pipeline/ResultAssembly.cpp    output records from host copies, THD
//   pipeline/IecHarmonicWindows.cpp the grouped harmonic analysis of each window
//
// Scheduling never waits for the device. Window n after a reset runs on
// stream n mod 3 and waits for an event recorded behind window n - 1's last
// kernel, so kernels and transforms of consecutive windows never overlap
// (which lets them share one FFT plan and one FFT input area) while the
// copies back of window n overlap the kernels of window n + 1.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <queue>
#include <vector>

#include "iec/IecHarmonicAnalysis.h"
#include "module/ModuleLocks.h"
#include "pipeline/PowerResultsQueueItem.h"
#include "pipeline/SampleProgress.h"
#include "powergpu.h"
#include "runtime/DeviceHandles.h"
#include "runtime/Runtime.h"
#include "settings/ModuleSettings.h"

namespace powergpu {

class WindowScheduler {
public:
    using QueueItemPointer = std::shared_ptr<PowerResultsQueueItem>;

    // Creates the three streams; throws GpuException, leaving none, when
    // one cannot be created.
    WindowScheduler(Runtime& runtime, ModuleSettings& settings, ModuleLocks& locks);
    WindowScheduler(const WindowScheduler&) = delete;
    WindowScheduler& operator=(const WindowScheduler&) = delete;

    SampleProgress& progress() { return progress_; }
    const SampleProgress& progress() const { return progress_; }
    // Whether a pending window exists: reset was called and no rebuild has
    // dropped the chain since without starting it again.
    bool isReset() const { return currentQueueItem != nullptr; }

    // ---- samples (the caller holds the calculation lock)
    // Checks and copies the `count` samples after the last written to the
    // device; returns the running index of the first of them.
    uint64_t copyWrittenSamples(uint32_t count);
    void skipSamples(uint32_t count);

    // ---- windows
    void scheduleForCalculation(uint64_t firstSampleIndex, uint32_t length, double frequency);
    bool isAnyResultReady();
    std::vector<PowerResultsGeneral> getResults(int maxCount);

    // ---- the grouped harmonic analysis of each window (pipeline/IecHarmonicWindows.cpp)
    // Sizes it from the applied settings after a rebuild (the device idle).
    void configureIecHarmonics();
    std::vector<PowerIecHarmonics> takeIecHarmonics(std::size_t maxCount);
    std::size_t getIecHarmonicsWaiting() const;

    // ---- the queue (the caller holds the results lock)
    // Drops every queued window and the pending one.
    void dropWindows();
    // Starts the queue again with a pending window at `firstSampleIndex`.
    void createPendingWindow(uint64_t firstSampleIndex);

    // Read access for tests and tools.
    StreamHandle getStream(std::size_t index) const { return streams[index]; }
    uint64_t getSamplesWritten() const { return progress_.samplesWritten.load(); }
    uint64_t getNextSampleToCalculate() const { return progress_.nextSampleToCalculate.load(); }
    uint64_t getNextSampleToDeliver() const { return progress_.nextSampleToDeliver.load(); }
    std::size_t getResultsQueueSize();

private:
    // pipeline/WindowLaunches.cpp
    void validateWindow(uint64_t firstSampleIndex, uint32_t length, double frequency) const;
    QueueItemPointer getNextQueueItem(const PowerResultsQueueItem& previous);
    // pipeline/IecHarmonicWindows.cpp: enqueues a window's grouped harmonic
    // analysis on its stream.
    void enqueueIecHarmonics(const PowerResultsQueueItem& item, uint64_t ringPosition);
    void requireIecHarmonics(const char* operation) const;

    // pipeline/ResultAssembly.cpp
    PowerResultsGeneral buildGeneralResults(const PowerResultsQueueItem& item) const;
    void calculateThd(PowerResultsThd& out, double h1, double rms, uint16_t item, uint64_t slot) const;

    Runtime& runtime_;
    ModuleSettings& settings_;
    ModuleLocks& locks_;
    SampleProgress progress_;
    StreamSet streams;
    QueueItemPointer currentQueueItem;
    std::queue<QueueItemPointer, std::deque<QueueItemPointer>> resultsQueue;
    // Active while the applied settings enable it.
    iec::IecHarmonicAnalysis iecHarmonics_{runtime_};
};

}  // namespace powergpu
