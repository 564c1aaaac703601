// The buffer set of a module: result slot counts, which channel items each
// grid configuration and option registers (and in which direction they
// travel), which buffers hold no memory, and the FFT plans built on top.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "cuda/PowerBuffers.h"
#include "module/PowerConfig.h"
#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"
#include "runtime/CpuRuntime.h"

namespace {

using powergpu::CpuRuntime;
using powergpu::GpuBufferItems;
using powergpu::PowerBuffers;

// A buffer set over its own settings and runtime; 10 kHz, 1 s of ring.
class PowerBuffersTest : public ::testing::Test {
protected:
    PowerBuffersTest() : buffers(config, runtime) {
        config.sampleRate = 10000.0;
        buffers.setBufferLengthAndDuration(10000, 1.0);
    }

    CpuRuntime runtime;
    PowerConfig config;
    PowerBuffers buffers;
};

template <typename Buffer>
bool isDeviceToHost(const Buffer& buffer, uint16_t item) {
    const std::vector<uint16_t> list = buffer.items().getDevice2HostItems();
    return std::find(list.begin(), list.end(), item) != list.end();
}

template <typename Buffer>
bool isHostToDevice(const Buffer& buffer, uint16_t item) {
    const std::vector<uint16_t> list = buffer.items().getHost2DeviceItems();
    return std::find(list.begin(), list.end(), item) != list.end();
}

// A module on its own runtime, which stays inspectable after the module.
struct ModuleOnRuntime {
    std::shared_ptr<CpuRuntime> runtime = std::make_shared<CpuRuntime>();
    std::unique_ptr<PowerModule::PowerModuleImpl> module = std::make_unique<PowerModule::PowerModuleImpl>(runtime);
};

}  // namespace

TEST_F(PowerBuffersTest, ResultSlotsCoverTheRingDurationAtTheHighestFrequency) {
    config.maxFrequency = 55.0;
    buffers.initialize();
    EXPECT_EQ(buffers.getGeneralResultsBufferLength(), 6u);  // ceil(1 s * 55 Hz / 10 periods)
    EXPECT_EQ(buffers.getPeriodResultsBufferLength(), 55u);  // one period value per period
    EXPECT_EQ(buffers.generalResults.getAllocatedHostBytes(), 6 * sizeof(PowerResultsGeneral));
    EXPECT_EQ(buffers.generalResults.getAllocatedDeviceBytes(), 6 * sizeof(PowerResultsGeneral));

    config.halfPeriodValuesCount = 1;
    config.periodValuesOverlapInPercent = 50;  // a value every quarter period
    config.periodCount = 20;
    buffers.initialize();
    EXPECT_EQ(buffers.getGeneralResultsBufferLength(), 3u);
    EXPECT_EQ(buffers.getPeriodResultsBufferLength(), 220u);
}

TEST_F(PowerBuffersTest, TwoVoltageDeltaTakesLineVoltagesAndDerivesTheRest) {
    config.gridConfigType = ThreePhaseDeltaTwoVoltagesTwoCurrents;
    buffers.initialize();
    const auto& items = buffers.waveforms.items();
    // Caller input: line-to-line voltages 6, 7 and currents 3, 4.
    for (const uint16_t item : {3, 4, 6, 7}) {
        EXPECT_TRUE(isHostToDevice(buffers.waveforms, item)) << item;
        EXPECT_GE(items.getHostItemIndex(item), 0) << item;
    }
    // Derived on the device: phase voltages 0..2, line voltage 8, current 5.
    for (const uint16_t item : {0, 1, 2, 5, 8}) {
        EXPECT_GE(items.getDeviceItemIndex(item), 0) << item;
        EXPECT_EQ(items.getHostItemIndex(item), -1) << item;
        EXPECT_FALSE(isHostToDevice(buffers.waveforms, item)) << item;
    }
    EXPECT_EQ(items.getDeviceItemIndex(9), -1);  // no mechanical angle
    EXPECT_EQ(buffers.waveforms.getAllocatedHostBytes(), 4u * 10000 * sizeof(float));
    EXPECT_EQ(buffers.waveforms.getAllocatedDeviceBytes(), 9u * 10000 * sizeof(float));
}

TEST_F(PowerBuffersTest, DerivedChannelsTravelToTheHostForWaveformsAndForPeriodValues) {
    config.gridConfigType = ThreePhaseDeltaTwoCurrents;
    buffers.initialize();
    for (const uint16_t item : {0, 1, 2, 5}) {
        EXPECT_FALSE(isDeviceToHost(buffers.waveforms, item)) << item;
    }

    config.periodValuesEnabled = true;
    buffers.initialize();
    for (const uint16_t item : {0, 1, 2, 5}) {
        EXPECT_TRUE(isDeviceToHost(buffers.waveforms, item)) << item;
        EXPECT_GE(buffers.waveforms.items().getHostItemIndex(item), 0) << item;
    }
    for (const uint16_t item : {3, 4, 6, 7, 8}) {
        EXPECT_TRUE(isHostToDevice(buffers.waveforms, item)) << item;
    }

    config.periodValuesEnabled = false;
    config.waveformsEnabled = true;
    buffers.initialize();
    for (const uint16_t item : {0, 1, 2, 5}) {
        EXPECT_TRUE(isDeviceToHost(buffers.waveforms, item)) << item;
    }
}

TEST_F(PowerBuffersTest, PeriodBuffersHoldMemoryOnlyWhilePeriodValuesAreEnabled) {
    config.gridConfigType = ThreePhaseStar;
    buffers.initialize();
    EXPECT_EQ(buffers.periodSamples.getHostBuffer(), nullptr);
    EXPECT_EQ(buffers.periodSamples.getAllocatedHostBytes(), 0u);
    EXPECT_EQ(buffers.periodResults.getHostBuffer(), nullptr);
    EXPECT_EQ(buffers.periodResults.getAllocatedHostBytes(), 0u);
    EXPECT_EQ(buffers.periodRecordsPerPeriod, 0u);

    config.fundamentalPeriodValuesEnabled = true;
    buffers.initialize();
    EXPECT_EQ(buffers.periodRecordsPerPeriod, 4u);
    // Frequency, the two-slot phasor and validity: four slots of the ring.
    EXPECT_EQ(buffers.periodSamples.getHostItemsList(), (std::vector<uint16_t>{0, 1, 2, 2}));
    EXPECT_EQ(buffers.periodSamples.items().getHostItemIndex(2), 3);
    EXPECT_EQ(buffers.periodSamples.getAllocatedHostBytes(), 4u * 10000 * sizeof(double));
    EXPECT_EQ(buffers.periodSamples.getAllocatedDeviceBytes(), 0u);
    EXPECT_EQ(buffers.periodResults.getAllocatedHostBytes(),
              4u * buffers.getPeriodResultsBufferLength() * sizeof(PowerResultsPeriod));
    EXPECT_EQ(buffers.periodResults.getAllocatedDeviceBytes(), 0u);

    config.fundamentalPeriodValuesEnabled = false;
    buffers.initialize();
    EXPECT_EQ(buffers.periodSamples.getHostBuffer(), nullptr);
    EXPECT_EQ(buffers.periodResults.getHostBuffer(), nullptr);
}

TEST_F(PowerBuffersTest, HarmonicRowsFollowCurrentsInterharmonicsAndLineToLine) {
    config.gridConfigType = ThreePhaseStar;
    config.interHarmonicsEnabled = true;
    config.lineToLineResultsEnabled = true;
    config.thdEnabled = true;
    buffers.initialize();
    const auto present = [&](uint16_t item) { return buffers.harmonics.items().getDeviceItemIndex(item) >= 0; };
    for (uint16_t item = 0; item < 39; ++item) {
        EXPECT_TRUE(present(item)) << item;  // every row with currents on
    }
    EXPECT_EQ(buffers.thdResults.getDeviceItemsCount(), 39u);

    config.currentEnabled = false;
    buffers.initialize();
    const std::vector<uint16_t> currentRows = {3,  4,  5,  12, 13, 14, 18, 19, 20, 21, 22, 23,
                                               24, 25, 26, 27, 28, 29, 33, 34, 35};
    for (uint16_t item = 0; item < 39; ++item) {
        const bool currentRow = std::find(currentRows.begin(), currentRows.end(), item) != currentRows.end();
        EXPECT_EQ(present(item), !currentRow) << item;
        EXPECT_EQ(buffers.thdResults.items().getDeviceItemIndex(item) >= 0, !currentRow) << item;
    }
    EXPECT_EQ(buffers.harmonics.getDeviceItemsCount(), 18u);
    EXPECT_EQ(buffers.harmonics.getLength(), buffers.harmonicsCount * buffers.getGeneralResultsBufferLength());
}

TEST_F(PowerBuffersTest, ThreePhaseOnlyBuffersStayEmptyOnOtherGrids) {
    config.gridConfigType = TwoPhase;
    config.symmetricalComponentsEnabled = config.clarkeTransformEnabled = config.parkTransformEnabled = true;
    buffers.initialize();
    for (const uint64_t bytes :
         {buffers.symmetricalComponents.getAllocatedDeviceBytes(), buffers.symmetricalComponentsH1.getAllocatedDeviceBytes(),
          buffers.clarkeH1.getAllocatedDeviceBytes(), buffers.parkAverages.getAllocatedDeviceBytes(),
          buffers.thdResults.getAllocatedDeviceBytes(), buffers.clarkeParkWaveforms.getAllocatedDeviceBytes()}) {
        EXPECT_EQ(bytes, 0u);
    }
    config.gridConfigType = ThreePhaseStar;
    buffers.initialize();
    EXPECT_EQ(buffers.symmetricalComponents.getDeviceItemsCount(), 6u);
    EXPECT_EQ(buffers.clarkeH1.getDeviceItemsCount(), 6u);
    EXPECT_EQ(buffers.parkAverages.getDeviceItemsCount(), 6u);
}

TEST_F(PowerBuffersTest, FullFftOutputAddsARingOfSpectraThatTravelsBack) {
    config.gridConfigType = ThreePhaseStar;
    buffers.initialize();
    EXPECT_EQ(buffers.maxFftLength, 4096u);
    EXPECT_EQ(buffers.fftOutputLength, 2049u);
    EXPECT_EQ(buffers.fftOutput.getLength(), 2049u);
    EXPECT_EQ(buffers.fftOutput.getAllocatedHostBytes(), 0u);
    EXPECT_EQ(buffers.fftInput.getDeviceItemsList(), (std::vector<uint16_t>{0, 1, 2, 3, 4, 5}));

    config.fullFftEnabled = true;
    buffers.initialize();
    EXPECT_EQ(buffers.fftOutput.getLength(), 2049u + 10000u);
    EXPECT_TRUE(isDeviceToHost(buffers.fftOutput, 4));
    EXPECT_EQ(buffers.fftInput.getAllocatedHostBytes(), 0u);
}

// ---- FFT plans -----------------------------------------------------------------------

TEST(PowerModuleFftPlans, StaticFrequencyBuildsOnePlanOverEveryFftChannel) {
    ModuleOnRuntime m;
    m.module->beginUpdate();
    m.module->setSampleRate(10000.0, 1);
    m.module->setBufferLengthAndDuration(10000, 1.0);
    m.module->setGridConfigType(ThreePhaseStar);
    m.module->setLineToLineResultsEnabled(true);
    m.runtime->setCallLogging(true);
    m.module->endUpdate();

    const powergpu::FftPlanSet& plans = m.module->getFftPlans();
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_EQ(plans.lengthAt(0), 4096);
    EXPECT_EQ(plans.batchAt(0), 9);  // three voltages, three currents, three line voltages
    EXPECT_EQ(m.runtime->livePlans(), 1u);
    // No plan is bound to a stream when it is made.
    for (const powergpu::LoggedCall& call : m.runtime->callLog()) {
        EXPECT_NE(call.call, powergpu::RuntimeCall::FftSetStream);
    }
}

TEST(PowerModuleFftPlans, VariableFrequencyBuildsOnePlanPerPowerOfTwo) {
    ModuleOnRuntime m;
    m.module->beginUpdate();
    m.module->setSampleRate(10240.0, 1);
    m.module->setBufferLengthAndDuration(20480, 2.0);
    m.module->setVariableFrequency(20.0, 100.0);  // 10 periods: 5120 -> 8192 down to 1024
    m.module->endUpdate();
    EXPECT_EQ(m.module->getBuffers().minFftLength, 1024u);
    EXPECT_EQ(m.module->getBuffers().maxFftLength, 8192u);
    const powergpu::FftPlanSet& plans = m.module->getFftPlans();
    ASSERT_EQ(plans.size(), 4u);
    const int lengths[] = {1024, 2048, 4096, 8192};
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(plans.lengthAt(k), lengths[k]) << "entry " << k;
        EXPECT_EQ(plans.batchAt(k), 2) << "entry " << k;  // one voltage, one current
        EXPECT_TRUE(plans.isUsable(k, static_cast<uint64_t>(lengths[k])));
    }
    EXPECT_EQ(m.runtime->livePlans(), 4u);
}

TEST(PowerModuleFftPlans, EnablingCurrentsRebuildsEveryPlanWithTheLargerBatch) {
    ModuleOnRuntime m;
    m.module->beginUpdate();
    m.module->setSampleRate(10000.0, 1);
    m.module->setBufferLengthAndDuration(10000, 1.0);
    m.module->setGridConfigType(ThreePhaseStar);
    m.module->setCurrentEnabled(false);
    m.module->setVariableFrequency(45.0, 55.0);
    m.module->endUpdate();
    const powergpu::FftPlanSet& plans = m.module->getFftPlans();
    ASSERT_EQ(plans.size(), 2u);
    std::vector<powergpu::FftHandle> before = {plans[0], plans[1]};
    EXPECT_EQ(plans.batchAt(0), 3);

    m.module->setCurrentEnabled(true);
    ASSERT_EQ(plans.size(), 2u);
    for (std::size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(plans.batchAt(k), 6) << "entry " << k;
        EXPECT_NE(plans[k], before[0]);
        EXPECT_NE(plans[k], before[1]);
    }
    EXPECT_EQ(m.runtime->livePlans(), 2u);  // the old plans were destroyed
}
