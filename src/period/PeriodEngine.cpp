// The period engine after a rebuild and at a reset: detectors configured
// from the applied settings, tracks cleared, a new window chain.
#include "period/PeriodEngine.h"

#include <algorithm>

namespace powergpu {

namespace {

// The meters of a grid: its measured voltages, and on delta grids all three
// line-to-line voltages (the third derived where only two are measured).
int flickerChannelsOf(const PowerGridConfig& grid) {
    return grid.isDelta ? grid.lineToLineCount : grid.voltagesCount;
}

}  // namespace

PeriodEngine::PeriodEngine(ModuleSettings& settings, const SampleProgress& progress)
    : settings_(settings), progress_(progress) {}

void PeriodEngine::configure() {
    const PowerConfig& config = settings_.getAppliedConfig();
    const PowerGridConfig grid = config.getGridConfig();
    // A steady state needs at least one value.
    const uint64_t steadyStateLength = static_cast<uint64_t>(std::max(config.rvcSteadyStateLength, 1));
    const auto configureRvc = [&](RvcMultiPhaseCalculation& detectors, std::size_t count) {
        detectors.setNumberOfPhases(count);
        for (std::size_t index = 0; index < count; ++index) {
            detectors[index].setSteadyStateLength(steadyStateLength);
            detectors[index].setSteadyStateThreshold(config.rvcThreshold);
            detectors[index].setThresholdHysteresis(config.rvcThresholdHysteresis);
        }
        detectors.initialize();
    };
    configureRvc(rvcPhaseCalculation, grid.phasesCount);
    configureRvc(rvcLineToLineCalculation, grid.lineToLineCount);
    flicker.configure(config.flicker, config.sampleRate, flickerChannelsOf(grid));
}

void PeriodEngine::dropChain() {
    currentPeriodItem.reset();
    periodQueue.clear();
}

void PeriodEngine::reset(const uint64_t firstSampleIndex) {
    const PowerConfig& config = settings_.getAppliedConfig();
    const PowerBuffers& buffers = settings_.getBuffers();
    previousFrequency = 0.0;
    referencePhase = 0.0;
    previousValidity = 1.0;
    tracksFinalBefore = firstSampleIndex;
    periodQueue.clear();
    resetVoltageEvents();
    resetTenSecondFrequency();

    if (!config.areAnyPeriodValuesEnabled()) {
        currentPeriodItem = nullptr;
        return;
    }
    currentPeriodItem = std::make_shared<PowerPeriodResultsQueueItem>(
        0, firstSampleIndex, 1.0, config.getPeriodCountForPeriodValues(), config.getPeriodCountAdvanceBy());

    // Samples that no cycle covers keep what their tracks hold. Starting from
    // zero makes them count as invalid samples that advance the reference by
    // nothing, instead of feeding whatever the fresh memory happened to hold
    // (a stray NaN frequency would stall the window chain for good).
    double* const tracks = buffers.periodSamples.getHostBuffer(0);
    if (tracks != nullptr) {
        const uint64_t doubles = buffers.periodSamples.getHostItemsCount() * buffers.periodSamples.getLength();
        std::fill(tracks, tracks + doubles, 0.0);
    }
}

}  // namespace powergpu
