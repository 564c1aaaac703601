// Settings of a module and the rules derived from them: defaults, frequency
// settings, FFT and harmonic lengths, period value spans, and the grid
// configuration table with the predicates built on it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "module/PowerConfig.h"
#include "module/PowerGridConfig.h"
#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"
#include "support/ModuleFeeder.h"

namespace {

constexpr double kPi = 3.141592653589793;

PowerConfig configAt10kHz() {
    PowerConfig config;
    config.sampleRate = 10000.0;
    config.periodCount = 10;
    return config;
}

PowerConfig configOfType(PowerGridConfigType type) {
    PowerConfig config;
    config.gridConfigType = type;
    return config;
}

}  // namespace

// ---- defaults ------------------------------------------------------------------------

TEST(PowerConfigDefaults, NewModuleReportsTheDefaultSettings) {
    PowerModule module(POWER_BACKEND_CPU);
    const PowerConfig& c = module.implementation()->getConfig();

    EXPECT_EQ(c.gridConfigType, SinglePhase);
    EXPECT_EQ(c.sampleRate, 1.0);
    EXPECT_EQ(c.positionsPerSample, 1);
    EXPECT_FALSE(c.variableFrequency);
    EXPECT_EQ(c.minFrequency, 45.0);
    // What the static setting computes for 50 Hz and 10 %: one ulp above 55.
    EXPECT_EQ(c.maxFrequency, std::nextafter(55.0, 100.0));
    EXPECT_EQ(c.periodCount, 10);
    EXPECT_EQ(c.halfPeriodValuesCount, 2);
    EXPECT_EQ(c.periodValuesOverlapInPercent, 0);
    EXPECT_TRUE(c.currentEnabled);
    EXPECT_EQ(c.highestRequestedHarmonic, 1);
    EXPECT_EQ(c.thdHighestHarmonic, 40);
    EXPECT_EQ(c.rvcSteadyStateLength, 100);
    EXPECT_EQ(c.rvcThreshold, 2.0);
    EXPECT_EQ(c.rvcThresholdHysteresis, 50.0);
    EXPECT_EQ(c.polePairs, 0);
    EXPECT_EQ(c.mechAngleOffset, 0.0);
    for (const bool flag : {c.periodValuesEnabled, c.fundamentalPeriodValuesEnabled,
                            c.periodSymmetricalComponentsEnabled, c.lineToLineResultsEnabled, c.waveformsEnabled,
                            c.interHarmonicsEnabled, c.fullFftEnabled, c.thdEnabled, c.symmetricalComponentsEnabled,
                            c.rvcEnabled, c.clarkeTransformEnabled, c.parkTransformEnabled,
                            c.clarkeOrParkVoltagesEnabled, c.clarkeOrParkCurrentsEnabled,
                            c.clarkeOrParkWaveformsEnabled, c.mechanicalAngleUsed}) {
        EXPECT_FALSE(flag);
    }

    // The same values through the facade, with the derived counts.
    EXPECT_EQ(module.getSampleRate(), 1.0);
    EXPECT_EQ(module.getBufferLength(), 0u);
    EXPECT_EQ(module.getPeriodCount(), 10);
    EXPECT_FALSE(module.getFullFftEnabled());
    EXPECT_EQ(module.getPhasesCount(), 1);
    EXPECT_EQ(module.getVoltagesCount(), 1);
    EXPECT_EQ(module.getCurrentsCount(), 1);
    EXPECT_EQ(c.getLineToLineCount(), 0);
    EXPECT_EQ(c.getDeltaWaveformsCount(), 0);
}

TEST(PowerConfigDefaults, FullFftIsReportedOnlyWithAStaticFrequency) {
    PowerModule module(POWER_BACKEND_CPU);
    module.beginUpdate();
    module.setFullFftEnabled(true);
    EXPECT_TRUE(module.getFullFftEnabled());
    module.setVariableFrequency(45.0, 55.0);
    EXPECT_FALSE(module.getFullFftEnabled());
    EXPECT_TRUE(module.implementation()->getConfig().fullFftEnabled);  // the setting itself is kept
    module.setStaticFrequency(50.0, 0.1);
    EXPECT_TRUE(module.getFullFftEnabled());
}

// ---- frequency settings --------------------------------------------------------------

TEST(PowerConfigFrequency, StaticToleranceIsClampedToItsRange) {
    PowerModule module(POWER_BACKEND_CPU);
    const PowerConfig& c = module.implementation()->getConfig();
    module.beginUpdate();

    module.setStaticFrequency(50.0, 0.0);  // raised to 0.001
    EXPECT_FALSE(c.variableFrequency);
    EXPECT_DOUBLE_EQ(c.minFrequency, 49.95);
    EXPECT_DOUBLE_EQ(c.maxFrequency, 50.05);

    module.setStaticFrequency(60.0, 0.9);  // lowered to 0.5
    EXPECT_DOUBLE_EQ(c.minFrequency, 30.0);
    EXPECT_DOUBLE_EQ(c.maxFrequency, 90.0);

    module.setStaticFrequency(50.0, 0.02);  // inside the range: kept
    EXPECT_DOUBLE_EQ(c.minFrequency, 49.0);
    EXPECT_DOUBLE_EQ(c.maxFrequency, 51.0);
}

TEST(PowerConfigFrequency, VariableRangeIsStoredUncheckedEvenWhenReversed) {
    PowerModule module(POWER_BACKEND_CPU);
    const PowerConfig& c = module.implementation()->getConfig();
    module.setSampleRate(10000.0, 1);
    module.setVariableFrequency(55.0, 45.0);
    EXPECT_TRUE(c.variableFrequency);
    EXPECT_EQ(c.minFrequency, 55.0);
    EXPECT_EQ(c.maxFrequency, 45.0);

    // The smallest length then exceeds the largest: no plan exists, and a
    // window is rejected instead of using a plan that is not there.
    EXPECT_EQ(module.implementation()->getFftPlans().size(), 0u);
    module.setBufferLength(5000);
    module.reset(0);
    powergpu::test::ModuleFeeder feeder(module, [](char, int, double) { return 1.0; });
    feeder.write(2000);
    EXPECT_THROW(module.scheduleForCalculation(0, 2000, 50.0), PowerInvalidCall);
    EXPECT_EQ(module.implementation()->getNextSampleToCalculate(), 0u);
}

// ---- length rules --------------------------------------------------------------------

TEST(PowerConfigLengths, PowerOfTwoRoundsUpAndKeepsExactPowers) {
    EXPECT_EQ(PowerConfig::getPow2Length(1.0), 1u);
    EXPECT_EQ(PowerConfig::getPow2Length(2.0), 2u);
    EXPECT_EQ(PowerConfig::getPow2Length(3.0), 4u);
    EXPECT_EQ(PowerConfig::getPow2Length(1818.18), 2048u);
    EXPECT_EQ(PowerConfig::getPow2Length(4096.0), 4096u);
    EXPECT_EQ(PowerConfig::getPow2Length(4096.0001), 8192u);
    // Below 1 the length is 1, not a wrapped shift.
    EXPECT_EQ(PowerConfig::getPow2Length(0.999), 1u);
    EXPECT_EQ(PowerConfig::getPow2Length(0.0222), 1u);
    EXPECT_EQ(PowerConfig::getPow2Length(0.0), 1u);
    EXPECT_EQ(PowerConfig::getPow2Length(-3.0), 1u);
}

TEST(PowerConfigLengths, StaticFrequencyUsesTheLengthOfTheLowestFrequency) {
    PowerConfig c = configAt10kHz();  // 50 Hz +/- 10 %: 100000 / 45 = 2222
    EXPECT_EQ(c.getMaxFftLength(), 4096u);
    EXPECT_EQ(c.getMinFftLength(), 4096u);
    EXPECT_EQ(c.getFftLength(2000, 50.0), 4096u);
    EXPECT_EQ(c.getFftLength(2000, 54.0), 4096u);
}

TEST(PowerConfigLengths, VariableFrequencyGivesEachWindowTheLengthOfItsFrequency) {
    PowerConfig c = configAt10kHz();
    c.variableFrequency = true;
    c.minFrequency = 45.0;
    c.maxFrequency = 55.0;
    EXPECT_EQ(c.getMaxFftLength(), 4096u);  // 2222
    EXPECT_EQ(c.getMinFftLength(), 2048u);  // 1818
    EXPECT_EQ(c.getFftLengthX(50.0), 2048u);
    // The window length counts too in the settings rule.
    EXPECT_EQ(c.getFftLength(1000, 50.0), 2048u);
    EXPECT_EQ(c.getFftLength(3000, 50.0), 4096u);
    // Below the lowest frequency the frequency is raised to it.
    EXPECT_EQ(c.getFftLength(1000, 40.0), 4096u);

    // The module's rule, which ignores the window length.
    PowerModule module(POWER_BACKEND_CPU);
    module.beginUpdate();
    module.setSampleRate(10000.0, 1);
    module.setVariableFrequency(45.0, 55.0);
    module.setBufferLength(10000);
    module.endUpdate();
    const PowerModule::PowerModuleImpl& impl = *module.implementation();
    EXPECT_EQ(impl.getFftLength(2000, 50.0), 2048u);
    EXPECT_EQ(impl.getFftLength(2000, 40.0), 4096u);
    EXPECT_EQ(impl.getFftLength(2000, 45.0), 4096u);
    EXPECT_EQ(impl.getFftLength(2000, 55.0), 2048u);
}

TEST(PowerConfigLengths, ModuleWithStaticFrequencyUsesTheBufferSetLength) {
    PowerModule module(POWER_BACKEND_CPU);
    module.beginUpdate();
    module.setSampleRate(10000.0, 1);
    module.setBufferLength(10000);
    module.endUpdate();
    EXPECT_EQ(module.implementation()->getFftLength(100, 50.0), 4096u);
    EXPECT_EQ(module.implementation()->getFftLength(100, 20.0), 4096u);
}

TEST(PowerConfigLengths, ExactPowerOfTwoArgumentMapsToItself) {
    PowerConfig c;
    c.sampleRate = 4096.0;
    c.periodCount = 10;
    c.variableFrequency = true;
    c.minFrequency = 10.0;
    c.maxFrequency = 10.0;
    EXPECT_EQ(c.getFftLengthX(10.0), 4096u);
    EXPECT_EQ(c.getMaxFftLength(), 4096u);
    EXPECT_EQ(c.getMinFftLength(), 4096u);
}

TEST(PowerConfigLengths, UnsetSampleRateGivesLengthOneAndTheModuleRecovers) {
    PowerModule module(POWER_BACKEND_CPU);
    // Rebuilds at the initial sample rate of 1: 10 * 1 / 45 is below 1.
    module.setCurrentEnabled(false);
    const PowerModule::PowerModuleImpl& impl = *module.implementation();
    EXPECT_EQ(impl.getBuffers().maxFftLength, 1u);
    EXPECT_EQ(impl.getBuffers().minFftLength, 1u);

    module.setBufferLength(100);
    module.reset(0);
    powergpu::test::ModuleFeeder feeder(module, [](char, int, double) { return 1.0; });
    feeder.write(20);
    // An FFT of length 1 cannot carry a window.
    EXPECT_THROW(module.scheduleForCalculation(0, 2, 0.4), PowerInvalidCall);

    // The next correct setting rebuilds a working module.
    module.beginUpdate();
    module.setSampleRate(10000.0, 1);
    module.setBufferLength(5000);
    module.endUpdate();
    EXPECT_EQ(impl.getBuffers().maxFftLength, 4096u);
    module.reset(0);
    powergpu::test::ModuleFeeder sine(module, [](char, int, double t) {
        return powergpu::test::peak(100.0) * std::sin(2.0 * kPi * 50.0 * t);
    });
    sine.write(2000);
    module.scheduleForCalculation(0, 2000, 50.0);
    const std::vector<PowerResultsGeneral> results = module.getResults(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_NEAR(results[0].channels[0].rmsU, 100.0, 1e-3);
}

TEST(PowerConfigLengths, HarmonicsCountIncludesBinZero) {
    PowerConfig c;
    c.thdEnabled = true;
    c.highestRequestedHarmonic = 50;
    c.thdHighestHarmonic = 40;
    EXPECT_EQ(c.getRequiredHarmonicsCount(), 51u);
    c.highestRequestedHarmonic = 10;
    EXPECT_EQ(c.getRequiredHarmonicsCount(), 41u);  // the THD range wins

    c.thdEnabled = false;
    c.highestRequestedHarmonic = 0;
    EXPECT_EQ(c.getRequiredHarmonicsCount(), 2u);
    c.highestRequestedHarmonic = 25;
    EXPECT_EQ(c.getRequiredHarmonicsCount(), 26u);  // the THD range no longer counts
}

TEST(PowerConfigLengths, PeriodValueSpanAndAdvance) {
    PowerConfig c;
    EXPECT_DOUBLE_EQ(c.getPeriodCountForPeriodValues(), 1.0);
    EXPECT_DOUBLE_EQ(c.getPeriodCountAdvanceBy(), 1.0);
    c.halfPeriodValuesCount = 1;
    c.periodValuesOverlapInPercent = 50;
    EXPECT_DOUBLE_EQ(c.getPeriodCountForPeriodValues(), 0.5);
    EXPECT_DOUBLE_EQ(c.getPeriodCountAdvanceBy(), 0.25);
    c.halfPeriodValuesCount = 20;
    c.periodValuesOverlapInPercent = 75;
    EXPECT_DOUBLE_EQ(c.getPeriodCountForPeriodValues(), 10.0);
    EXPECT_DOUBLE_EQ(c.getPeriodCountAdvanceBy(), 2.5);
}

TEST(PowerConfigLengths, HarmonicOutputsAndRequiredBuffers) {
    struct Case {
        PowerGridConfigType type;
        bool currents;
        bool interharmonics;
        int outputs;
        int buffers;
    };
    const Case cases[] = {
        {ThreePhaseStar, true, true, 24, 6},   {ThreePhaseStar, true, false, 18, 6},
        {ThreePhaseStar, false, true, 6, 3},   {ThreePhaseStar, false, false, 3, 3},
        {SinglePhase, true, true, 8, 2},       {ThreePhaseDeltaTwoVoltagesTwoCurrents, true, false, 18, 4},
    };
    for (const Case& k : cases) {
        PowerModule module(POWER_BACKEND_CPU);
        module.beginUpdate();
        module.setGridConfigType(k.type);
        module.setCurrentEnabled(k.currents);
        module.setInterHarmonicsEnabled(k.interharmonics);
        SCOPED_TRACE(testing::Message() << "type " << k.type << " currents " << k.currents << " inter "
                                        << k.interharmonics);
        EXPECT_EQ(module.implementation()->getHarmonicOutputsCount(), k.outputs);
        EXPECT_EQ(module.implementation()->getRequiredBuffersCount(), k.buffers);
    }
}

TEST(PowerConfigLengths, MaxHarmonicsCountIsHalfTheSampleRateOverTheLowestFrequency) {
    PowerModule module(POWER_BACKEND_CPU);
    module.beginUpdate();
    module.setSampleRate(10000.0, 1);
    EXPECT_EQ(module.implementation()->getMaxHarmonicsCount(), 112u);  // ceil(10000 / 90)
    module.setVariableFrequency(50.0, 60.0);
    EXPECT_EQ(module.implementation()->getMaxHarmonicsCount(), 100u);
}

// ---- grid configurations ---------------------------------------------------------------

TEST(PowerGridConfigTable, HoldsTheEightKnownConnections) {
    struct Row {
        PowerGridConfigType type;
        int phases, voltages, currents;
        bool delta;
        int lineToLine;
        bool fewerVoltages, fewerCurrents;
    };
    const Row rows[] = {
        {SinglePhase, 1, 1, 1, false, 0, false, false},
        {ThreePhaseStar, 3, 3, 3, false, 3, false, false},
        {ThreePhaseStarTwoCurrents, 3, 3, 2, false, 3, false, true},
        {ThreePhaseDelta, 3, 3, 3, true, 3, false, false},
        {ThreePhaseDeltaTwoCurrents, 3, 3, 2, true, 3, false, true},
        {TwoPhase, 2, 2, 2, false, 1, false, false},
        {ThreePhaseDeltaTwoVoltagesTwoCurrents, 3, 2, 2, true, 3, true, true},
        {SinglePhaseSecondary, 1, 1, 1, false, 0, false, false},
    };
    ASSERT_EQ(powerGridConfigs.size(), 8u);
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "type " << row.type);
        const auto found = powerGridConfigs.find(row.type);
        ASSERT_NE(found, powerGridConfigs.end());
        const PowerGridConfig& g = found->second;
        EXPECT_EQ(g.type, row.type);
        EXPECT_EQ(g.phasesCount, row.phases);
        EXPECT_EQ(g.voltagesCount, row.voltages);
        EXPECT_EQ(g.currentsCount, row.currents);
        EXPECT_EQ(g.isDelta, row.delta);
        EXPECT_EQ(g.isStar, !row.delta);
        EXPECT_EQ(g.notDelta, !row.delta);
        EXPECT_EQ(g.lineToLineCount, row.lineToLine);
        EXPECT_EQ(g.fewerVoltagesThanPhases, row.fewerVoltages);
        EXPECT_EQ(g.fewerCurrentsThanPhases, row.fewerCurrents);
    }
}

TEST(PowerGridConfigRules, TwoVoltageDeltaCountsItsChannels) {
    PowerConfig c = configOfType(ThreePhaseDeltaTwoVoltagesTwoCurrents);
    EXPECT_EQ(c.getPhasesCount(), 3);
    EXPECT_EQ(c.getVoltagesCount(), 2);
    EXPECT_EQ(c.getCurrentsCount(), 2);
    EXPECT_EQ(c.getLineToLineCount(), 0);
    c.lineToLineResultsEnabled = true;
    EXPECT_EQ(c.getLineToLineCount(), 3);
    EXPECT_EQ(c.getDeltaWaveformsCount(), 3);
    c.lineToLineResultsEnabled = false;
    c.waveformsEnabled = true;  // waveforms alone need the line-to-line rings
    EXPECT_EQ(c.getLineToLineCount(), 0);
    EXPECT_EQ(c.getDeltaWaveformsCount(), 3);
}

TEST(PowerGridConfigRules, DisabledCurrentsSwitchOffEveryCurrentRule) {
    PowerConfig c = configOfType(ThreePhaseStar);
    c.clarkeTransformEnabled = c.parkTransformEnabled = true;
    c.clarkeOrParkCurrentsEnabled = c.clarkeOrParkWaveformsEnabled = c.mechanicalAngleUsed = true;
    EXPECT_EQ(c.getCurrentsCount(), 3);
    EXPECT_TRUE(c.areClarkeCurrentsEnabled());
    EXPECT_TRUE(c.areParkCurrentsEnabled());
    EXPECT_TRUE(c.areClarkeWaveformsRequired());
    EXPECT_TRUE(c.areParkWaveformsRequired());

    c.currentEnabled = false;
    EXPECT_EQ(c.getCurrentsCount(), 0);
    EXPECT_FALSE(c.areClarkeCurrentsEnabled());
    EXPECT_FALSE(c.areParkCurrentsEnabled());
    // Without voltages selected nothing is left to transform.
    EXPECT_FALSE(c.areClarkeWaveformsRequired());
    EXPECT_FALSE(c.areParkWaveformsRequired());
}

TEST(PowerGridConfigRules, SymmetricalComponentsNeedThreePhases) {
    for (const PowerGridConfigType type : {SinglePhase, TwoPhase, SinglePhaseSecondary}) {
        PowerConfig c = configOfType(type);
        c.symmetricalComponentsEnabled = c.periodSymmetricalComponentsEnabled = true;
        EXPECT_FALSE(c.areSymmetricalComponentsEnabled()) << "type " << type;
        EXPECT_FALSE(c.arePeriodSymmetricalComponentsEnabled()) << "type " << type;
        EXPECT_FALSE(c.areAnyPeriodValuesEnabled()) << "type " << type;
    }
    PowerConfig three = configOfType(ThreePhaseDelta);
    three.symmetricalComponentsEnabled = three.periodSymmetricalComponentsEnabled = true;
    EXPECT_TRUE(three.areSymmetricalComponentsEnabled());
    EXPECT_TRUE(three.arePeriodSymmetricalComponentsEnabled());
    EXPECT_TRUE(three.areAnyPeriodValuesEnabled());

    // The module's own period-values question leaves the symmetrical term out.
    PowerModule module(POWER_BACKEND_CPU);
    module.beginUpdate();
    module.setGridConfigType(ThreePhaseStar);
    module.setPeriodSymmetricalComponentsEnabled(true);
    EXPECT_TRUE(module.getPeriodSymmetricalComponentsEnabled());
    EXPECT_FALSE(module.implementation()->getAnyPeriodValuesEnabled());
    module.setGridConfigType(TwoPhase);
    EXPECT_FALSE(module.getPeriodSymmetricalComponentsEnabled());
}

TEST(PowerGridConfigRules, ParkWaveformsNeedTheMechanicalAngle) {
    PowerConfig c = configOfType(ThreePhaseStar);
    c.parkTransformEnabled = c.clarkeOrParkVoltagesEnabled = c.clarkeOrParkWaveformsEnabled = true;
    EXPECT_TRUE(c.areParkVoltagesEnabled());
    EXPECT_FALSE(c.areParkWaveformsRequired());
    c.mechanicalAngleUsed = true;
    EXPECT_TRUE(c.areParkWaveformsRequired());
    c.clarkeOrParkWaveformsEnabled = false;
    EXPECT_FALSE(c.areParkWaveformsRequired());
    // Only three-phase grids are transformed.
    PowerConfig two = c;
    two.gridConfigType = TwoPhase;
    two.clarkeOrParkWaveformsEnabled = true;
    EXPECT_FALSE(two.areParkVoltagesEnabled());
    EXPECT_FALSE(two.areParkWaveformsRequired());
}

TEST(PowerGridConfigRules, UnknownTypeBehavesAsSinglePhaseAndLeavesTheTableAlone) {
    const auto unknown = static_cast<PowerGridConfigType>(8);
    const PowerConfig c = configOfType(unknown);
    const PowerGridConfig g = c.getGridConfig();
    EXPECT_EQ(g.type, SinglePhase);
    EXPECT_EQ(g.phasesCount, 1);
    EXPECT_EQ(g.voltagesCount, 1);
    EXPECT_EQ(g.currentsCount, 1);
    EXPECT_TRUE(g.isStar);
    EXPECT_EQ(powerGridConfigs.size(), 8u);
    EXPECT_EQ(powerGridConfigs.count(unknown), 0u);

    // A module stores the type as given and lays out a single-phase ring.
    PowerModule module(POWER_BACKEND_CPU);
    module.beginUpdate();
    module.setSampleRate(10000.0, 1);
    module.setBufferLength(1000);
    module.setGridConfigType(unknown);
    module.endUpdate();
    EXPECT_EQ(module.implementation()->getGridConfigType(), unknown);
    EXPECT_EQ(module.getPhasesCount(), 1);
    EXPECT_EQ(module.implementation()->getBuffers().waveforms.getHostItemsList(), (std::vector<uint16_t>{0, 3}));
    EXPECT_EQ(powerGridConfigs.size(), 8u);
    EXPECT_EQ(powerGridConfigs.count(unknown), 0u);
}
