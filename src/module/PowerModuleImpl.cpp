// Construction, settings and the rebuild of a module's device state.
#include "module/PowerModuleImpl.h"

#include <algorithm>
#include <cmath>

#include "cuda/CudaErrorHandling.h"

PowerModule::PowerModuleImpl::PowerModuleImpl(std::shared_ptr<powergpu::Runtime> runtime)
    : runtime_(std::move(runtime)),
      buffers(config, *runtime_),
      cudaStreams(*runtime_),
      fftPlans(*runtime_) {
    for (std::size_t index = 0; index < powergpu::StreamSet::size(); ++index) {
        CUDA_CALL(*runtime_, runtime_->streamCreateWithFlags(cudaStreams.out(index), powergpu::kStreamNonBlocking));
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

void PowerModule::PowerModuleImpl::initialize() {
    syncCuda();
    std::lock_guard<std::mutex> lock(calculationMutex);
    // Windows in flight refer to positions and slots of the old buffers;
    // they are dropped, and the caller starts again with reset.
    dropPendingWork();
    buffers.initialize();
    initFftPlans(buffers.minFftLength, buffers.maxFftLength);
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
    ++initializeCount;
}

template <typename Store>
void PowerModule::PowerModuleImpl::storeAndRebuild(Store store) {
    store(config);
    lazyInitialize();
}

// ------------------------------------------------------------------ settings

void PowerModule::PowerModuleImpl::setBufferLengthAndDuration(uint64_t length, double duration) {
    buffers.setBufferLengthAndDuration(length, duration);
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setSampleRate(double rate, int positionsPerSample) {
    config.sampleRate = rate;
    config.positionsPerSample = positionsPerSample;
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

uint64_t PowerModule::PowerModuleImpl::getMaxHarmonicsCount() const {
    return static_cast<uint64_t>(std::ceil(config.sampleRate / (2.0 * config.minFrequency)));
}

uint8_t PowerModule::PowerModuleImpl::getHarmonicOutputsCount() const {
    const int a = config.currentEnabled ? 6 : 1;
    const int b = !config.interHarmonicsEnabled ? 0 : (config.currentEnabled ? 2 : 1);
    return static_cast<uint8_t>(config.getPhasesCount() * (a + b));
}

uint8_t PowerModule::PowerModuleImpl::getRequiredBuffersCount() const {
    const PowerGridConfig grid = config.getGridConfig();
    return static_cast<uint8_t>(config.currentEnabled ? grid.voltagesCount + grid.currentsCount
                                                      : grid.voltagesCount);
}
