// The life of a module: construction, the update bracket and which setters
// rebuild, ring length and duration, moves of the facade, a failing
// construction, and what destruction gives back to the runtime.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"
#include "runtime/CpuRuntime.h"

namespace {

using powergpu::CpuRuntime;
using powergpu::RuntimeCall;
using Impl = PowerModule::PowerModuleImpl;

constexpr double kPi = 3.141592653589793;

std::shared_ptr<CpuRuntime> makeRuntime() { return std::make_shared<CpuRuntime>(); }

void configureThreePhase(Impl& impl) {
    impl.beginUpdate();
    impl.setSampleRate(10000.0, 1);
    impl.setBufferLengthAndDuration(10000, 1.0);
    impl.setGridConfigType(ThreePhaseStar);
    impl.endUpdate();
}

// Writes `count` samples of a 50 Hz three-phase system from running index
// `from` into every input ring of a three-phase star module and announces them.
void writeThreePhase(Impl& impl, uint64_t from, uint32_t count) {
    const uint64_t ring = impl.getBufferLength();
    for (uint8_t phase = 0; phase < 3; ++phase) {
        float* u = impl.getWaveformBufferUInput(phase);
        float* i = impl.getWaveformBufferI(phase);
        for (uint32_t k = 0; k < count; ++k) {
            const double angle = 2.0 * kPi * 50.0 * static_cast<double>(from + k) / 10000.0 - phase * 2.0 * kPi / 3.0;
            u[(from + k) % ring] = static_cast<float>(325.0 * std::sin(angle));
            i[(from + k) % ring] = static_cast<float>(10.0 * std::sin(angle - 0.3));
        }
    }
    impl.copyAddedSamplesToGpu(count);
}

}  // namespace

// ---- construction --------------------------------------------------------------------

TEST(ModuleConstruction, CreatesThreeNonBlockingStreamsAndNothingElse) {
    auto runtime = makeRuntime();
    runtime->setCallLogging(true);
    Impl impl(runtime);
    EXPECT_EQ(runtime->liveStreams(), 3u);
    EXPECT_EQ(runtime->liveDeviceBytes(), 0u);
    EXPECT_EQ(runtime->liveHostBytes(), 0u);
    EXPECT_EQ(runtime->livePlans(), 0u);
    EXPECT_EQ(runtime->liveEvents(), 0u);
    EXPECT_EQ(impl.getInitializeCount(), 0u);
    int created = 0;
    for (const powergpu::LoggedCall& call : runtime->callLog()) {
        if (call.call == RuntimeCall::StreamCreate) {
            ++created;
            EXPECT_EQ(call.values.at(0), static_cast<double>(powergpu::kStreamNonBlocking));
        }
    }
    EXPECT_EQ(created, 3);
    for (std::size_t k = 0; k < 3; ++k) {
        EXPECT_NE(impl.getCudaStream(k), nullptr);
    }
}

TEST(ModuleConstruction, FailingStreamCreationThrowsAndLeavesNoStream) {
    for (const int skip : {0, 1, 2}) {
        SCOPED_TRACE(testing::Message() << "stream " << skip << " fails");
        auto runtime = makeRuntime();
        runtime->injectFault(RuntimeCall::StreamCreate, powergpu::kErrorMemoryAllocation, skip);
        try {
            Impl impl(runtime);
            FAIL() << "the module was constructed";
        } catch (const GpuException& error) {
            EXPECT_TRUE(std::regex_match(
                error.what(), std::regex("CUDA error in file 'PowerModuleImpl', line [0-9]+; error 2: out of memory")))
                << error.what();
        }
        EXPECT_EQ(runtime->liveStreams(), 0u);
    }
}

// ---- update bracket and rebuilds -----------------------------------------------------

TEST(ModuleUpdateBracket, SettersInsideABracketOnlyStoreAndEndUpdateRebuildsOnce) {
    Impl impl(makeRuntime());
    impl.beginUpdate();
    impl.setSampleRate(10000.0, 2);
    impl.setBufferLengthAndDuration(5000, 0.5);
    impl.setGridConfigType(ThreePhaseDelta);
    impl.setStaticFrequency(60.0, 0.05);
    impl.setVariableFrequency(40.0, 70.0);
    impl.setThdEnabled(true);
    impl.setCurrentEnabled(false);
    impl.setPeriodCount(12);
    impl.setSymmetricalComponentsEnabled(true);
    EXPECT_EQ(impl.getInitializeCount(), 0u);
    EXPECT_EQ(impl.getBuffers().waveforms.getAllocatedDeviceBytes(), 0u);
    // Stored all the same.
    EXPECT_EQ(impl.getSampleRate(), 10000.0);
    EXPECT_EQ(impl.getPositionsPerSample(), 2);
    EXPECT_EQ(impl.getGridConfigType(), ThreePhaseDelta);
    EXPECT_TRUE(impl.getThdEnabled());
    EXPECT_EQ(impl.getPeriodCount(), 12);

    impl.endUpdate();
    EXPECT_EQ(impl.getInitializeCount(), 1u);
    EXPECT_EQ(impl.getUpdateCounter(), 0);
    EXPECT_GT(impl.getBuffers().waveforms.getAllocatedDeviceBytes(), 0u);
    EXPECT_EQ(impl.getBuffers().getBufferLength(), 5000u);
}

TEST(ModuleUpdateBracket, NestedBracketsRebuildOnceAtTheOutermostEnd) {
    Impl impl(makeRuntime());
    impl.beginUpdate();
    impl.setSampleRate(10000.0, 1);
    impl.beginUpdate();
    impl.setBufferLengthAndDuration(1000, 0.1);
    impl.endUpdate();
    EXPECT_EQ(impl.getInitializeCount(), 0u);
    impl.setThdEnabled(true);
    impl.endUpdate();
    EXPECT_EQ(impl.getInitializeCount(), 1u);
}

TEST(ModuleUpdateBracket, UnmatchedEndUpdateLeavesSettersStoringUntilABeginUpdate) {
    Impl impl(makeRuntime());
    impl.endUpdate();
    EXPECT_EQ(impl.getUpdateCounter(), -1);
    EXPECT_EQ(impl.getInitializeCount(), 0u);
    impl.setSampleRate(10000.0, 1);
    impl.setBufferLengthAndDuration(1000, 0.1);
    EXPECT_EQ(impl.getInitializeCount(), 0u);
    EXPECT_EQ(impl.getBufferLength(), 1000u);

    impl.beginUpdate();  // back to 0; builds nothing by itself
    EXPECT_EQ(impl.getUpdateCounter(), 0);
    EXPECT_EQ(impl.getInitializeCount(), 0u);
    impl.setThdEnabled(true);
    EXPECT_EQ(impl.getInitializeCount(), 1u);
}

TEST(ModuleUpdateBracket, EveryRebuildingSetterRebuildsOnceOutsideABracket) {
    PowerModule module(POWER_BACKEND_CPU);
    module.beginUpdate();
    module.setSampleRate(10000.0, 1);
    module.setBufferLength(10000);
    module.endUpdate();
    const Impl& impl = *module.implementation();

    const std::vector<std::pair<const char*, std::function<void()>>> setters = {
        {"setBufferLength", [&] { module.setBufferLength(8000); }},
        {"setStaticFrequency", [&] { module.setStaticFrequency(60.0, 0.1); }},
        {"setVariableFrequency", [&] { module.setVariableFrequency(45.0, 65.0); }},
        {"setGridConfigType", [&] { module.setGridConfigType(ThreePhaseStar); }},
        {"setPeriodCount", [&] { module.setPeriodCount(12); }},
        {"setPeriodValuesEnabled", [&] { module.setPeriodValuesEnabled(true); }},
        {"setFundamentalPeriodValuesEnabled", [&] { module.setFundamentalPeriodValuesEnabled(true); }},
        {"setPeriodSymmetricalComponentsEnabled", [&] { module.setPeriodSymmetricalComponentsEnabled(true); }},
        {"setCurrentEnabled", [&] { module.setCurrentEnabled(false); }},
        {"setLineToLineResultsEnabled", [&] { module.setLineToLineResultsEnabled(true); }},
        {"setWaveformsEnabled", [&] { module.setWaveformsEnabled(true); }},
        {"setInterHarmonicsEnabled", [&] { module.setInterHarmonicsEnabled(true); }},
        {"setFullFftEnabled", [&] { module.setFullFftEnabled(true); }},
        {"setThdEnabled", [&] { module.setThdEnabled(true); }},
        {"setHighestRequestedHarmonic", [&] { module.setHighestRequestedHarmonic(25); }},
        {"setThdHighestHarmonic", [&] { module.setThdHighestHarmonic(30); }},
        {"setSymmetricalComponentsEnabled", [&] { module.setSymmetricalComponentsEnabled(true); }},
        {"setRvcEnabled", [&] { module.setRvcEnabled(true); }},
        {"setRvcSteadyStateLength", [&] { module.setRvcSteadyStateLength(50); }},
        {"setRvcThreshold", [&] { module.setRvcThreshold(3.0); }},
        {"setRvcThresholdHysteresis", [&] { module.setRvcThresholdHysteresis(40.0); }},
        {"setClarkeTransformEnabled", [&] { module.setClarkeTransformEnabled(true); }},
        {"setParkTransformEnabled", [&] { module.setParkTransformEnabled(true); }},
        {"setClarkeOrParkVoltagesEnabled", [&] { module.setClarkeOrParkVoltagesEnabled(true); }},
        {"setClarkeOrParkCurrentsEnabled", [&] { module.setClarkeOrParkCurrentsEnabled(true); }},
        {"setClarkeOrParkWaveformsEnabled", [&] { module.setClarkeOrParkWaveformsEnabled(true); }},
    };
    for (const auto& setter : setters) {
        const uint64_t before = impl.getInitializeCount();
        setter.second();
        EXPECT_EQ(impl.getInitializeCount(), before + 1) << setter.first;
    }
    const uint64_t before = impl.getInitializeCount();
    module.setSampleRate(12000.0, 1);
    EXPECT_GT(impl.getInitializeCount(), before) << "setSampleRate";
}

TEST(ModuleUpdateBracket, PlainStoreSettersNeverRebuild) {
    PowerModule module(POWER_BACKEND_CPU);
    module.setSampleRate(10000.0, 1);
    const Impl& impl = *module.implementation();
    const uint64_t before = impl.getInitializeCount();
    module.setHalfPeriodValuesCount(4);
    module.setPeriodValuesOverlapInPercent(50);
    module.setPolePairs(3);
    module.setMechAngleOffset(12.5);
    module.setMechanicalAngleUsed(true);
    EXPECT_EQ(impl.getInitializeCount(), before);
    EXPECT_EQ(module.getHalfPeriodValuesCount(), 4);
    EXPECT_EQ(module.getPeriodValuesOverlapInPercent(), 50);
    EXPECT_EQ(module.getPolePairs(), 3);
    EXPECT_EQ(module.getMechAngleOffset(), 12.5);
    EXPECT_TRUE(module.getMechanicalAngleUsed());
}

TEST(ModuleUpdateBracket, RebuildDropsPendingWindowsAndAsksForAReset) {
    Impl impl(makeRuntime());
    configureThreePhase(impl);
    impl.reset(0);
    writeThreePhase(impl, 0, 2000);
    impl.scheduleForCalculation(0, 2000, 50.0);
    EXPECT_EQ(impl.getResultsQueueSize(), 2u);

    impl.setThdEnabled(true);
    EXPECT_EQ(impl.getResultsQueueSize(), 0u);
    EXPECT_FALSE(impl.isAnyResultReady());
    EXPECT_TRUE(impl.getResults(0).empty());
    EXPECT_FALSE(impl.isReset());
    EXPECT_THROW(impl.copyAddedSamplesToGpu(10), PowerInvalidCall);
    EXPECT_EQ(impl.getSamplesWritten(), 2000u);

    impl.reset(0);
    writeThreePhase(impl, 0, 2000);
    impl.scheduleForCalculation(0, 2000, 50.0);
    const std::vector<PowerResultsGeneral> results = impl.getResults(1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_NEAR(results[0].channels[0].rmsU, 325.0 / std::sqrt(2.0), 1e-2);
}

TEST(ModuleUpdateBracket, FailedRebuildKeepsTheSettingAndReleasesItsLocks) {
    auto runtime = makeRuntime();
    Impl impl(runtime);
    configureThreePhase(impl);
    const uint64_t before = impl.getInitializeCount();
    runtime->injectFault(RuntimeCall::Malloc, powergpu::kErrorMemoryAllocation);
    EXPECT_THROW(impl.setLineToLineResultsEnabled(true), GpuException);
    EXPECT_TRUE(impl.getLineToLineResultsEnabled());
    EXPECT_EQ(impl.getInitializeCount(), before);

    // A second rebuild takes the same locks again and completes.
    impl.setWaveformsEnabled(true);
    EXPECT_EQ(impl.getInitializeCount(), before + 1);
    EXPECT_GE(impl.getBuffers().waveforms.items().getDeviceItemIndex(8), 0);
    impl.reset(0);
    writeThreePhase(impl, 0, 2000);
    impl.scheduleForCalculation(0, 2000, 50.0);
    EXPECT_EQ(impl.getResults(1).size(), 1u);
}

// ---- ring length and duration ----------------------------------------------------------

TEST(ModuleBufferLength, DurationFollowsWhicheverOfLengthAndRateWasSetLast) {
    PowerModule module(POWER_BACKEND_CPU);
    module.setSampleRate(100.0, 1);
    module.setBufferLength(100);
    EXPECT_EQ(module.getBufferLength(), 100u);
    EXPECT_DOUBLE_EQ(module.implementation()->getBufferDuration(), 1.0);

    module.setSampleRate(200.0, 1);
    EXPECT_EQ(module.getBufferLength(), 100u);
    EXPECT_DOUBLE_EQ(module.implementation()->getBufferDuration(), 0.5);
    EXPECT_EQ(module.implementation()->getBuffers().waveforms.getLength(), 100u);
}

// ---- moves ---------------------------------------------------------------------------

TEST(ModuleMoves, MoveConstructionTakesTheImplementationOver) {
    PowerModule source(POWER_BACKEND_CPU);
    source.setGridConfigType(ThreePhaseStar);
    Impl* impl = source.implementation();
    PowerModule target(std::move(source));
    EXPECT_EQ(target.implementation(), impl);
    EXPECT_EQ(source.implementation(), nullptr);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(target.getPhasesCount(), 3);
    // The moved-from module refuses work instead of touching freed state.
    EXPECT_THROW(source.getPhasesCount(), PowerInvalidCall);  // NOLINT(bugprone-use-after-move)
    EXPECT_THROW(source.setThdEnabled(true), PowerInvalidCall);
}

TEST(ModuleMoves, MoveAssignmentSwapsInTheSourceAndSelfAssignmentKeepsIt) {
    PowerModule a(POWER_BACKEND_CPU);
    PowerModule b(POWER_BACKEND_CPU);
    b.setGridConfigType(TwoPhase);
    Impl* implB = b.implementation();
    a = std::move(b);
    EXPECT_EQ(a.implementation(), implB);
    EXPECT_EQ(b.implementation(), nullptr);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(a.getPhasesCount(), 2);

    PowerModule& alias = a;
    a = std::move(alias);
    EXPECT_EQ(a.implementation(), implB);
    EXPECT_EQ(a.getPhasesCount(), 2);

    // A moved-from module can be given a new implementation.
    b = std::move(a);
    EXPECT_EQ(b.implementation(), implB);
}

// ---- destruction ---------------------------------------------------------------------

TEST(ModuleDestruction, ReleasesMemoryEventsStreamsAndPlans) {
    auto runtime = makeRuntime();
    {
        Impl impl(runtime);
        impl.beginUpdate();
        impl.setSampleRate(10000.0, 1);
        impl.setBufferLengthAndDuration(10000, 1.0);
        impl.setGridConfigType(ThreePhaseStar);
        impl.setVariableFrequency(40.0, 60.0);
        impl.setThdEnabled(true);
        impl.setSymmetricalComponentsEnabled(true);
        impl.setWaveformsEnabled(true);
        impl.setPeriodValuesEnabled(true);
        impl.endUpdate();
        EXPECT_GT(impl.getFftPlans().size(), 1u);
        impl.reset(0);
        writeThreePhase(impl, 0, 4000);
        impl.scheduleForCalculation(0, 2000, 50.0);
        impl.scheduleForCalculation(2000, 2000, 50.0);
        EXPECT_EQ(impl.getResults(1).size(), 1u);  // one delivered, one left in the queue
        EXPECT_GT(runtime->liveEvents(), 0u);
        EXPECT_GT(runtime->liveDeviceBytes(), 0u);
    }
    EXPECT_EQ(runtime->liveDeviceBytes(), 0u);
    EXPECT_EQ(runtime->liveHostBytes(), 0u);
    EXPECT_EQ(runtime->liveEvents(), 0u);
    EXPECT_EQ(runtime->liveStreams(), 0u);
    EXPECT_EQ(runtime->livePlans(), 0u);
}

TEST(ModuleDestruction, FailingPlanDestructionDoesNotStopTheRelease) {
    auto runtime = makeRuntime();
    {
        Impl impl(runtime);
        configureThreePhase(impl);
        ASSERT_EQ(runtime->livePlans(), 1u);
        runtime->injectFault(RuntimeCall::FftDestroy, powergpu::kFftInternalError);
    }
    EXPECT_EQ(runtime->liveStreams(), 0u);
    EXPECT_EQ(runtime->liveDeviceBytes(), 0u);
    EXPECT_EQ(runtime->liveHostBytes(), 0u);
}
