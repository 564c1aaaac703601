// The wiring of a module's parts: construction, rebuild, reset and writing.
#include "module/PowerModuleImpl.h"

#include <exception>
#include <mutex>

#include "buffers/ErrorChecks.h"

// Where error messages of this file say a failed call was checked.
static constexpr const char* kErrorLocation = "PowerModuleImpl";

PowerModule::PowerModuleImpl::PowerModuleImpl(std::shared_ptr<powergpu::Runtime> runtime)
    : runtime_(std::move(runtime)),
      settings_(*runtime_),
      scheduler_(*runtime_, settings_, locks_),
      period_(settings_, scheduler_.progress()) {}

PowerModule::PowerModuleImpl::~PowerModuleImpl() {
    // Nothing of the device work may still refer to what is released below.
    runtime_->deviceSynchronize();
    settings_.releasePlans();
    scheduler_.dropWindows();
    period_.dropChain();
}

// ------------------------------------------------------------------- rebuild

void PowerModule::PowerModuleImpl::lazyInitialize() {
    std::lock_guard<std::mutex> lock(locks_.settings);
    if (settings_.isRebuildDue()) {
        initialize();
    }
}

void PowerModule::PowerModuleImpl::endUpdate() {
    std::lock_guard<std::mutex> lock(locks_.settings);
    if (settings_.endUpdate()) {
        initialize();
    }
}

void PowerModule::PowerModuleImpl::initialize() {
    syncCuda();
    std::lock_guard<std::mutex> lock(locks_.calculation);
    powergpu::ModuleSettings::Change change;
    try {
        change = settings_.apply();
        // The grouped harmonic analysis follows the new sizes; when it cannot
        // be sized, the rebuild fails like one of the buffers.
        settings_.buildPart("the grouped harmonic analysis", [&] { scheduler_.configureIecHarmonics(); });
    } catch (const std::exception&) {
        // Not built: nothing queued may use the buffers, and no sample
        // written so far is still in the rings.
        dropPendingWork();
        scheduler_.progress().firstAvailableSample.store(scheduler_.progress().samplesWritten.load());
        throw;
    }
    period_.configure();
    settings_.markBuilt();
    // A rebuild that changed nothing the queued work refers to (an RVC
    // threshold, say) drops nothing.
    if (change.anyBuffer || !scheduler_.isReset()) {
        restartAfterRebuild(change.rings);
    }
    settings_.countRebuild();
}

void PowerModule::PowerModuleImpl::restartAfterRebuild(const bool ringsReplaced) {
    dropPendingWork();
    powergpu::SampleProgress& progress = scheduler_.progress();
    const uint64_t next = progress.samplesWritten.load();
    if (ringsReplaced) {
        progress.firstAvailableSample.store(next);
    }
    if (!resetDone) {
        return;
    }
    // Running indices survive; what was scheduled but not delivered is gone,
    // so delivery and the period chain go on from the next sample written.
    progress.nextSampleToCalculate.store(next);
    progress.nextSampleToDeliver.store(next);
    {
        std::lock_guard<std::mutex> results(locks_.results);
        scheduler_.createPendingWindow(next);
    }
    period_.reset(next);
}

void PowerModule::PowerModuleImpl::dropPendingWork() {
    std::lock_guard<std::mutex> results(locks_.results);
    scheduler_.dropWindows();
    period_.dropChain();
}

// ------------------------------------------------------ samples and windows

void PowerModule::PowerModuleImpl::writeSamples(const uint32_t count) {
    std::lock_guard<std::mutex> lock(locks_.calculation);
    const uint64_t first = scheduler_.copyWrittenSamples(count);
    if (count > 0) {
        period_.feedFlicker(first, count);
    }
}

void PowerModule::PowerModuleImpl::syncCuda() {
    CUDA_CALL(*runtime_, runtime_->deviceSynchronize());
}

void PowerModule::PowerModuleImpl::reset(uint64_t firstSampleIndex) {
    settings_.requireBuilt("reset");
    syncCuda();
    std::lock_guard<std::mutex> calculation(locks_.calculation);
    scheduler_.progress().restartAt(firstSampleIndex);
    std::lock_guard<std::mutex> results(locks_.results);
    scheduler_.dropWindows();
    scheduler_.createPendingWindow(firstSampleIndex);
    period_.reset(firstSampleIndex);
    resetDone = true;
}

void PowerModule::PowerModuleImpl::scheduleForPeriodCalculation(int count, const uint64_t* starts, const int* lengths,
                                                                const double* frequencies, const bool* valid) {
    period_.scheduleForPeriodCalculation(count, starts, lengths, frequencies, valid, scheduler_.isReset());
}

void PowerModule::PowerModuleImpl::getPeriodResults(int* count, bool* more, PowerResultsPeriod** records) {
    period_.getPeriodResults(count, more, records, scheduler_.isReset());
}
