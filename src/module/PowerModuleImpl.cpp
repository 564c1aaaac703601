// Construction, settings and the rebuild of a module's device state.
#include "module/PowerModuleImpl.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "buffers/ErrorChecks.h"

// Where error messages of this file say a failed call was checked.
static constexpr const char* kErrorLocation = "PowerModuleImpl";

PowerModule::PowerModuleImpl::PowerModuleImpl(std::shared_ptr<powergpu::Runtime> runtime)
    : runtime_(std::move(runtime)),
      buffers(config, *runtime_),
      streams(*runtime_),
      fftPlans(*runtime_) {
    for (std::size_t index = 0; index < powergpu::StreamSet::size(); ++index) {
        CUDA_CALL(*runtime_, runtime_->streamCreateWithFlags(streams.out(index), powergpu::kStreamNonBlocking));
    }
}

PowerModule::PowerModuleImpl::~PowerModuleImpl() {
    // Nothing of the device work may still refer to what is released below.
    runtime_->deviceSynchronize();
    deinit();
    while (!resultsQueue.empty()) {
        resultsQueue.pop();
    }
    currentQueueItem.reset();
    currentPeriodItem.reset();
    periodQueue.clear();
}

void PowerModule::PowerModuleImpl::deinit() {
    try {
        fftPlans.destroyAll();
    } catch (...) {
        // Only the destructor calls this; the remaining plans go with the set.
    }
}

// ------------------------------------------------------------------- rebuild

void PowerModule::PowerModuleImpl::lazyInitialize() {
    std::lock_guard<std::mutex> lock(settingsMutex);
    if (updateCounter.load() == 0) {
        initialize();
    }
}

void PowerModule::PowerModuleImpl::beginUpdate() { ++updateCounter; }

void PowerModule::PowerModuleImpl::endUpdate() {
    std::lock_guard<std::mutex> lock(settingsMutex);
    if (--updateCounter == 0) {
        initialize();
    }
}

namespace {

// What a rebuild may replace: the memory, the lengths and the item layout of
// one buffer. Windows and samples that refer to a buffer whose footprint is
// unchanged stay valid across a rebuild.
struct BufferFootprint {
    const void* host = nullptr;
    const void* device = nullptr;
    uint64_t length = 0;
    std::vector<uint16_t> hostItems;
    std::vector<uint16_t> deviceItems;
    std::vector<uint16_t> toDevice;
    std::vector<uint16_t> toHost;

    template <typename T>
    static BufferFootprint of(const powergpu::GpuBuffer<T>& buffer) {
        return BufferFootprint{buffer.getHostBuffer(0),         buffer.getDeviceBuffer(0),
                               buffer.getLength(),              buffer.getHostItemsList(),
                               buffer.getDeviceItemsList(),     buffer.items().getHost2DeviceItems(),
                               buffer.items().getDevice2HostItems()};
    }
    bool operator==(const BufferFootprint& other) const {
        return host == other.host && device == other.device && length == other.length &&
               hostItems == other.hostItems && deviceItems == other.deviceItems && toDevice == other.toDevice &&
               toHost == other.toHost;
    }
};

// The footprint of every buffer of a set, the sample rings first.
std::vector<BufferFootprint> footprintOf(const powergpu::PowerBuffers& b) {
    return {BufferFootprint::of(b.waveforms),
            BufferFootprint::of(b.clarkeParkWaveforms),
            BufferFootprint::of(b.fftInput),
            BufferFootprint::of(b.fftOutput),
            BufferFootprint::of(b.harmonics),
            BufferFootprint::of(b.thdResults),
            BufferFootprint::of(b.symmetricalComponents),
            BufferFootprint::of(b.symmetricalComponentsH1),
            BufferFootprint::of(b.clarkeH1),
            BufferFootprint::of(b.parkAverages),
            BufferFootprint::of(b.generalResults),
            BufferFootprint::of(b.periodResults),
            BufferFootprint::of(b.periodSamples)};
}

// The derived lengths that queued windows and period values were fixed with.
auto lengthsOf(const powergpu::PowerBuffers& b) {
    return std::make_tuple(b.generalResultsBufferLength, b.periodResultsBufferLength, b.minFftLength, b.maxFftLength,
                           b.harmonicsCount, b.periodRecordsPerPeriod, b.bufferDuration);
}

}  // namespace

void PowerModule::PowerModuleImpl::initialize() {
    syncCuda();
    std::lock_guard<std::mutex> lock(calculationMutex);
    const std::vector<BufferFootprint> before = footprintOf(buffers);
    const auto lengthsBefore = lengthsOf(buffers);
    // From here on the buffers follow the new settings; until the rebuild
    // completes nothing may use them.
    config = settings;
    buffers.setBufferLengthAndDuration(requestedBufferLength, requestedBufferDuration);
    buildFailure = "a rebuild is in progress";
    try {
        buffers.initialize();
        initFftPlans(buffers.minFftLength, buffers.maxFftLength);
        configureIecHarmonics();  // the grouped harmonic analysis (src/iec) follows the new sizes
    } catch (const std::bad_alloc&) {
        buildFailure = "out of host memory while building the buffers for a ring of " +
                       std::to_string(requestedBufferLength) + " samples per channel";
        dropPendingWork();
        firstAvailableSample.store(samplesWritten.load());
        throw std::runtime_error(buildFailure);
    } catch (const std::exception& error) {
        buildFailure = error.what();
        dropPendingWork();
        firstAvailableSample.store(samplesWritten.load());
        throw;
    }
    const PowerGridConfig grid = config.getGridConfig();
    // A steady state needs at least one value.
    const uint64_t steadyStateLength = static_cast<uint64_t>(std::max(config.rvcSteadyStateLength, 1));
    const auto configure = [&](RvcMultiPhaseCalculation& detectors, std::size_t count) {
        detectors.setNumberOfPhases(count);
        for (std::size_t index = 0; index < count; ++index) {
            detectors[index].setSteadyStateLength(steadyStateLength);
            detectors[index].setSteadyStateThreshold(config.rvcThreshold);
            detectors[index].setThresholdHysteresis(config.rvcThresholdHysteresis);
        }
        detectors.initialize();
    };
    configure(rvcPhaseCalculation, grid.phasesCount);
    configure(rvcLineToLineCalculation, grid.lineToLineCount);
    configureFlicker();
    buildFailure.clear();

    const std::vector<BufferFootprint> after = footprintOf(buffers);
    // A rebuild that changed nothing the queued work refers to (an RVC
    // threshold, say) drops nothing.
    if (before != after || lengthsBefore != lengthsOf(buffers) || !isReset()) {
        restartAfterRebuild(!(before.front() == after.front()));
    }
    ++initializeCount;
}

void PowerModule::PowerModuleImpl::restartAfterRebuild(const bool ringsReplaced) {
    dropPendingWork();
    const uint64_t next = samplesWritten.load();
    if (ringsReplaced) {
        firstAvailableSample.store(next);
    }
    if (!resetDone) {
        return;
    }
    // Running indices survive; what was scheduled but not delivered is gone,
    // so delivery and the period chain go on from the next sample written.
    nextSampleToCalculate.store(next);
    nextSampleToDeliver.store(next);
    {
        std::lock_guard<std::mutex> results(resultsMutex);
        createPendingWindow(next);
    }
    resetPeriodScheduling(next);
}

void PowerModule::PowerModuleImpl::requireBuilt(const char* const operation) const {
    if (!buildFailure.empty()) {
        throw PowerInvalidCall(std::string(operation) + ": the module is not built because its last rebuild failed (" +
                               buildFailure + "); change a setting or call beginUpdate and endUpdate to rebuild it.");
    }
}

template <typename Store>
void PowerModule::PowerModuleImpl::storeAndRebuild(Store store) {
    store(settings);
    lazyInitialize();
}

// ------------------------------------------------------------------ settings

void PowerModule::PowerModuleImpl::setBufferLengthAndDuration(uint64_t length, double duration) {
    requestedBufferLength = length;
    requestedBufferDuration = duration;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setSampleRate(double rate, int positionsPerSample) {
    settings.sampleRate = rate;
    settings.positionsPerSample = positionsPerSample;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setStaticFrequency(double frequency, double tolerance) {
    storeAndRebuild([&](PowerConfig& c) {
        const double clamped = std::max(std::min(tolerance, 0.5), 0.001);
        c.variableFrequency = false;
        c.minFrequency = (1.0 - clamped) * frequency;
        c.maxFrequency = (clamped + 1.0) * frequency;
    });
}

void PowerModule::PowerModuleImpl::setVariableFrequency(double lowest, double highest) {
    storeAndRebuild([&](PowerConfig& c) {
        c.variableFrequency = true;
        c.minFrequency = lowest;
        c.maxFrequency = highest;
    });
}

#define POWERGPU_REBUILDING_SETTER(method, type, field) \
    void PowerModule::PowerModuleImpl::method(type value) { \
        storeAndRebuild([&](PowerConfig& c) { c.field = value; }); \
    }

POWERGPU_REBUILDING_SETTER(setGridConfigType, PowerGridConfigType, gridConfigType)
POWERGPU_REBUILDING_SETTER(setPeriodCount, uint16_t, periodCount)
POWERGPU_REBUILDING_SETTER(setPeriodValuesEnabled, bool, periodValuesEnabled)
POWERGPU_REBUILDING_SETTER(setFundamentalPeriodValuesEnabled, bool, fundamentalPeriodValuesEnabled)
POWERGPU_REBUILDING_SETTER(setPeriodSymmetricalComponentsEnabled, bool, periodSymmetricalComponentsEnabled)
POWERGPU_REBUILDING_SETTER(setCurrentEnabled, bool, currentEnabled)
POWERGPU_REBUILDING_SETTER(setLineToLineResultsEnabled, bool, lineToLineResultsEnabled)
POWERGPU_REBUILDING_SETTER(setWaveformsEnabled, bool, waveformsEnabled)
POWERGPU_REBUILDING_SETTER(setInterHarmonicsEnabled, bool, interHarmonicsEnabled)
POWERGPU_REBUILDING_SETTER(setFullFftEnabled, bool, fullFftEnabled)
POWERGPU_REBUILDING_SETTER(setThdEnabled, bool, thdEnabled)
POWERGPU_REBUILDING_SETTER(setHighestRequestedHarmonic, int, highestRequestedHarmonic)
POWERGPU_REBUILDING_SETTER(setThdHighestHarmonic, int, thdHighestHarmonic)
POWERGPU_REBUILDING_SETTER(setSymmetricalComponentsEnabled, bool, symmetricalComponentsEnabled)
POWERGPU_REBUILDING_SETTER(setRvcEnabled, bool, rvcEnabled)
POWERGPU_REBUILDING_SETTER(setRvcSteadyStateLength, int, rvcSteadyStateLength)
POWERGPU_REBUILDING_SETTER(setRvcThreshold, double, rvcThreshold)
POWERGPU_REBUILDING_SETTER(setRvcThresholdHysteresis, double, rvcThresholdHysteresis)
POWERGPU_REBUILDING_SETTER(setClarkeTransformEnabled, bool, clarkeTransformEnabled)
POWERGPU_REBUILDING_SETTER(setParkTransformEnabled, bool, parkTransformEnabled)
POWERGPU_REBUILDING_SETTER(setClarkeOrParkVoltagesEnabled, bool, clarkeOrParkVoltagesEnabled)
POWERGPU_REBUILDING_SETTER(setClarkeOrParkCurrentsEnabled, bool, clarkeOrParkCurrentsEnabled)
POWERGPU_REBUILDING_SETTER(setClarkeOrParkWaveformsEnabled, bool, clarkeOrParkWaveformsEnabled)

#undef POWERGPU_REBUILDING_SETTER

// ----------------------------------------------------------- derived lengths

uint64_t PowerModule::PowerModuleImpl::getFftLength(uint64_t /*windowLength*/, double frequency) const {
    if (!config.variableFrequency) {
        return buffers.maxFftLength;
    }
    return config.getFftLengthX(std::max(config.minFrequency, frequency));
}
