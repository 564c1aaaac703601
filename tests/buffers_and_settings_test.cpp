// The foundation under the flat interface, on a test runtime that logs or fails
// any call: buffers and input rings, settings and derived lengths, the update
// bracket, FFT plans, moves, construction and destruction.
#include <algorithm>
#include <limits>
#include <memory>
#include <regex>

#include "buffers/GpuBuffer.h"
#include "buffers/PowerBuffers.h"
#include "module/PowerConfig.h"
#include "support/TestSupport.h"

namespace {

using namespace powergpu::test;
using powergpu::PowerConfig;
using powergpu::GpuBuffer;
using powergpu::GpuBufferItems;
using powergpu::LoggedCall;
using powergpu::RuntimeCall;

std::shared_ptr<powergpu::RecordingRuntime> makeRuntime() {
    return std::make_shared<powergpu::RecordingRuntime>(std::make_shared<powergpu::CpuRuntime>());
}

bool allocates(const std::vector<LoggedCall>& log) {
    return !callsOf(log, RuntimeCall::Malloc).empty() || !callsOf(log, RuntimeCall::HostAlloc).empty() ||
           !callsOf(log, RuntimeCall::Free).empty() || !callsOf(log, RuntimeCall::FreeHost).empty();
}

}  // namespace

TEST(InputRings, BlockOverTheRingEndIsCopiedInTwoPiecesPerChannelOnThePendingWindowStream) {
    PowerModule module = recordedModule();
    configure(module, 10000.0, 100, [](PowerModule& m) { m.setGridConfigType(ThreePhaseStar); });
    module.reset(195);  // running index 195 is ring position 95
    const powergpu::GpuBuffer<float>& rings = module.implementation()->settings().getBuffers().waveforms;
    recordingRuntime(module).setCallLogging(true);
    module.writeSamples(10);
    const std::vector<LoggedCall> copies = callsOf(recordingRuntime(module).callLog(), RuntimeCall::MemcpyAsync);
    ASSERT_EQ(copies.size(), 12u);
    for (std::size_t k = 0; k < copies.size(); ++k) {
        const auto item = static_cast<uint16_t>(k % 6);  // U1..U3 are items 0..2, I1..I3 items 3..5
        const int offset = k < 6 ? 95 : 0;               // five samples at the end, then five at the start
        EXPECT_EQ(copies[k].kind, powergpu::MemcpyKind::HostToDevice);
        EXPECT_EQ(copies[k].stream, module.implementation()->scheduler().getStream(0));
        EXPECT_EQ(copies[k].bytes, 5 * sizeof(float));
        EXPECT_EQ(copies[k].pointers.at(0), rings.getDeviceBuffer(item) + offset) << "copy " << k;
        EXPECT_EQ(copies[k].pointers.at(1), rings.getHostBuffer(item) + offset) << "copy " << k;
    }
    EXPECT_EQ(module.implementation()->scheduler().getSamplesWritten(), 205u);
}

TEST(GpuBuffers, ResizeToTheSameByteSizeKeepsArraysAndContents) {
    powergpu::RecordingRuntime runtime(std::make_shared<powergpu::CpuRuntime>());
    GpuBuffer<float> buffer(runtime, 4, true);
    buffer.addItems(0, 2, GpuBufferItems::BothDirections);
    buffer.resize(10);
    float* host = buffer.getHostBuffer();
    float* device = buffer.getDeviceBuffer();
    host[19] = 19.0f;
    device[19] = 119.0f;
    runtime.setCallLogging(true);
    buffer.clearItems();  // re-registered differently: 4 items of 5 floats are the same 80 bytes
    buffer.addItems(0, 4, GpuBufferItems::BothDirections);
    buffer.resize(5);
    EXPECT_EQ(buffer.getHostBuffer(), host);
    EXPECT_EQ(buffer.getDeviceBuffer(), device);
    EXPECT_EQ(buffer.getLength(), 5u);
    EXPECT_TRUE(host[19] == 19.0f && device[19] == 119.0f);
    EXPECT_FALSE(allocates(runtime.callLog()));
}

TEST(GpuBuffers, FailedAllocationLeavesThatSideEmptyReleasedOnceAndRecovers) {
    for (const RuntimeCall failing : {RuntimeCall::HostAlloc, RuntimeCall::Malloc}) {
        const bool host = failing == RuntimeCall::HostAlloc;
        SCOPED_TRACE(host ? "host side" : "device side");
        powergpu::RecordingRuntime runtime(std::make_shared<powergpu::CpuRuntime>());
        GpuBuffer<float> buffer(runtime, 2, true);
        buffer.addItems(0, 2, GpuBufferItems::BothDirections);
        buffer.resize(10);
        float* device = buffer.getDeviceBuffer();
        runtime.injectFault(failing, powergpu::kErrorMemoryAllocation);
        try {
            buffer.resize(20);
            FAIL() << "the allocation fault did not surface";
        } catch (const GpuException& error) {
            EXPECT_TRUE(std::regex_match(
                error.what(), std::regex("CPU backend error in file 'CudaBuffer', line [0-9]+; error 2: out of memory")));
        }
        // The host side is resized first: a host failure leaves the old device array.
        EXPECT_EQ(host ? buffer.getHostBuffer() : buffer.getDeviceBuffer(), nullptr);
        EXPECT_EQ(host ? buffer.getAllocatedHostBytes() : buffer.getAllocatedDeviceBytes(), 0u);
        EXPECT_EQ(host ? runtime.liveHostBytes() : runtime.liveDeviceBytes(), 0u) << "the old array went once";
        EXPECT_TRUE(host ? buffer.getDeviceBuffer() == device : runtime.liveHostBytes() == 160u) << "the other side";
        buffer.resize(20);
        EXPECT_TRUE(buffer.getHostBuffer() != nullptr && buffer.getDeviceBuffer() != nullptr);
        EXPECT_TRUE(runtime.liveHostBytes() == 160u && runtime.liveDeviceBytes() == 160u);
    }
}

TEST(PowerBuffers, ResultSlotsCoverTheRingDurationAtTheHighestFrequency) {
    powergpu::CpuRuntime runtime;
    PowerConfig config;
    config.sampleRate = 10000.0;
    config.maxFrequency = 55.0;
    powergpu::PowerBuffers buffers(config, runtime);
    buffers.setBufferLengthAndDuration(10000, 1.0);
    buffers.initialize();
    EXPECT_EQ(buffers.getGeneralResultsBufferLength(), 6u);  // ceil(1 s * 55 Hz / 10 periods)
    EXPECT_EQ(buffers.getPeriodResultsBufferLength(), 55u);  // one period value per period
    EXPECT_EQ(buffers.generalResults.getAllocatedDeviceBytes(), 6 * sizeof(PowerResultsGeneral));
}

TEST(Settings, StaticToleranceIsClampedToItsRange) {
    PowerModule module(POWER_BACKEND_CPU);
    const PowerConfig& c = module.implementation()->settings().getConfig();
    module.beginUpdate();
    const struct {
        double frequency, tolerance, min, max;
    } cases[] = {{50.0, 0.0, 49.95, 50.05}, {60.0, 0.9, 30.0, 90.0}, {50.0, 0.02, 49.0, 51.0}};
    for (const auto& k : cases) {
        module.setStaticFrequency(k.frequency, k.tolerance);
        EXPECT_DOUBLE_EQ(c.minFrequency, k.min) << k.tolerance;
        EXPECT_DOUBLE_EQ(c.maxFrequency, k.max) << k.tolerance;
    }
}

TEST(Settings, FftLengthsArePowersOfTwoOfTheLowestFrequencyAndNeverBelowOne) {
    const struct {
        double argument;
        uint64_t length;
    } pow2[] = {{1.0, 1},          {3.0, 4},   {1818.18, 2048}, {4096.0, 4096},
                {4096.0001, 8192}, {0.999, 1}, {0.0, 1},        {-3.0, 1}};
    for (const auto& k : pow2) {
        EXPECT_EQ(PowerConfig::getPow2Length(k.argument), k.length) << k.argument;
    }
    PowerConfig c;  // 10 periods at 10 kHz; static 50 Hz +-10 %: 100000 / 45 = 2222
    c.sampleRate = 10000.0;
    EXPECT_EQ(c.getMaxFftLength(), 4096u);
    EXPECT_EQ(c.getMinFftLength(), 4096u);
    c.variableFrequency = true;  // 45 .. 55 Hz: 2222 and 1818
    EXPECT_EQ(c.getMaxFftLength(), 4096u);
    EXPECT_EQ(c.getMinFftLength(), 2048u);
    EXPECT_EQ(c.getFftLengthX(50.0), 2048u);
    c.sampleRate = 4096.0;  // an exact power of two maps to itself
    c.minFrequency = c.maxFrequency = 10.0;
    EXPECT_EQ(c.getFftLengthX(10.0), 4096u);
    // A module rebuilt at the initial sample rate of 1 has FFT length 1, rejects
    // windows, and works again once the settings are right.
    PowerModule module(POWER_BACKEND_CPU);
    module.setCurrentEnabled(false);
    EXPECT_EQ(module.implementation()->settings().getBuffers().maxFftLength, 1u);
    module.setBufferLength(100);
    module.reset(0);
    ModuleFeeder(module, [](char, int, double) { return 1.0; }).write(20);
    EXPECT_THROW(module.scheduleForCalculation(0, 2, 0.4), PowerInvalidCall);
    configure(module, 10000.0, 5000);
    EXPECT_EQ(module.implementation()->settings().getBuffers().maxFftLength, 4096u);
    EXPECT_EQ(module.implementation()->settings().getFftLength(2000, 20.0), 4096u);
    ModuleFeeder(module, [](char, int, double t) { return 100.0 * kSqrt2 * std::sin(kTwoPi * 50.0 * t); }).write(2000);
    module.scheduleForCalculation(0, 2000, 50.0);
    EXPECT_NEAR(module.getResults(1).at(0).channels[0].rmsU, 100.0, 1e-3);
}

TEST(Settings, DurationFollowsWhicheverOfLengthAndRateWasSetLast) {
    PowerModule module(POWER_BACKEND_CPU);
    module.setSampleRate(100.0, 1);
    module.setBufferLength(100);
    EXPECT_EQ(module.getBufferLength(), 100u);
    EXPECT_DOUBLE_EQ(module.implementation()->settings().getBufferDuration(), 1.0);
    module.setSampleRate(200.0, 1);
    EXPECT_EQ(module.getBufferLength(), 100u);
    EXPECT_DOUBLE_EQ(module.implementation()->settings().getBufferDuration(), 0.5);
    EXPECT_EQ(module.implementation()->settings().getBuffers().waveforms.getLength(), 100u);
}

TEST(UpdateBracket, SettersInsideStoreAndTheOutermostEndRebuildsOnce) {
    Impl impl(makeRuntime());
    impl.beginUpdate();
    impl.change([&](powergpu::ModuleSettings& s) { s.setSampleRate(10000.0, 2); });
    impl.beginUpdate();
    impl.change([&](powergpu::ModuleSettings& s) { s.setBufferLengthAndDuration(5000, 0.5); });
    impl.change([&](powergpu::ModuleSettings& s) { s.setGridConfigType(ThreePhaseDelta); });
    impl.endUpdate();
    impl.change([&](powergpu::ModuleSettings& s) { s.setThdEnabled(true); });
    EXPECT_EQ(impl.settings().getInitializeCount(), 0u);
    EXPECT_EQ(impl.settings().getBuffers().waveforms.getAllocatedDeviceBytes(), 0u);
    const powergpu::ModuleSettings& stored = impl.settings();
    EXPECT_TRUE(stored.getSampleRate() == 10000.0 && stored.getGridConfigType() == ThreePhaseDelta &&
                stored.getThdEnabled());
    impl.endUpdate();
    EXPECT_EQ(impl.settings().getInitializeCount(), 1u);
    EXPECT_EQ(impl.settings().getUpdateCounter(), 0);
    EXPECT_EQ(impl.settings().getBuffers().getBufferLength(), 5000u);
    EXPECT_GT(impl.settings().getBuffers().waveforms.getAllocatedDeviceBytes(), 0u);
    // An unmatched endUpdate leaves the counter at -1: setters only store
    // until a beginUpdate brings it back to 0.
    Impl unmatched(makeRuntime());
    unmatched.endUpdate();
    EXPECT_EQ(unmatched.settings().getUpdateCounter(), -1);
    unmatched.change([&](powergpu::ModuleSettings& s) { s.setSampleRate(10000.0, 1); });
    unmatched.change([&](powergpu::ModuleSettings& s) { s.setBufferLengthAndDuration(1000, 0.1); });
    EXPECT_EQ(unmatched.settings().getInitializeCount(), 0u);
    EXPECT_EQ(unmatched.settings().getBufferLength(), 1000u);
    unmatched.beginUpdate();
    EXPECT_EQ(unmatched.settings().getUpdateCounter(), 0);
    EXPECT_EQ(unmatched.settings().getInitializeCount(), 0u);
    unmatched.change([&](powergpu::ModuleSettings& s) { s.setThdEnabled(true); });
    EXPECT_EQ(unmatched.settings().getInitializeCount(), 1u);
}

TEST(UpdateBracket, EachSwitchRebuildsOnceAndPlainStoresNever) {
    PowerModule module(POWER_BACKEND_CPU);
    configure(module, 10000.0, 10000);
    const Impl& impl = *module.implementation();
    PowerModule& m = module;
    int k = 0;
    for (const auto setter :
         {&PowerModule::setPeriodValuesEnabled, &PowerModule::setFundamentalPeriodValuesEnabled,
          &PowerModule::setPeriodSymmetricalComponentsEnabled, &PowerModule::setLineToLineResultsEnabled,
          &PowerModule::setWaveformsEnabled, &PowerModule::setInterHarmonicsEnabled, &PowerModule::setFullFftEnabled,
          &PowerModule::setThdEnabled, &PowerModule::setSymmetricalComponentsEnabled, &PowerModule::setRvcEnabled,
          &PowerModule::setClarkeTransformEnabled, &PowerModule::setParkTransformEnabled,
          &PowerModule::setClarkeOrParkVoltagesEnabled, &PowerModule::setClarkeOrParkCurrentsEnabled,
          &PowerModule::setClarkeOrParkWaveformsEnabled}) {
        const uint64_t before = impl.settings().getInitializeCount();
        (m.*setter)(true);
        EXPECT_EQ(impl.settings().getInitializeCount(), before + 1) << "switch " << k++;
    }
    uint64_t before = impl.settings().getInitializeCount();
    m.setSampleRate(12000.0, 1);
    EXPECT_GT(impl.settings().getInitializeCount(), before) << "SampleRate";
    before = impl.settings().getInitializeCount();
    m.setHalfPeriodValuesCount(4);
    m.setPeriodValuesOverlapInPercent(50);
    m.setPolePairs(3);
    m.setMechAngleOffset(12.5);
    m.setMechanicalAngleUsed(true);
    EXPECT_EQ(impl.settings().getInitializeCount(), before);
    EXPECT_TRUE(m.getHalfPeriodValuesCount() == 4 && m.getPeriodValuesOverlapInPercent() == 50 &&
                m.getPolePairs() == 3 && m.getMechAngleOffset() == 12.5 && m.getMechanicalAngleUsed());
}

TEST(FftPlans, StaticFrequencyBuildsOnePlanOverEveryChannelAndVariableOnePerPowerOfTwo) {
    Impl star(makeRuntime());
    star.beginUpdate();
    star.change([&](powergpu::ModuleSettings& s) { s.setSampleRate(10000.0, 1); });
    star.change([&](powergpu::ModuleSettings& s) { s.setBufferLengthAndDuration(10000, 1.0); });
    star.change([&](powergpu::ModuleSettings& s) { s.setGridConfigType(ThreePhaseStar); });
    star.change([&](powergpu::ModuleSettings& s) { s.setLineToLineResultsEnabled(true); });
    star.endUpdate();
    ASSERT_EQ(star.settings().getFftPlans().size(), 1u);
    EXPECT_EQ(star.settings().getFftPlans().lengthAt(0), 4096);
    EXPECT_EQ(star.settings().getFftPlans().batchAt(0), 9) << "three voltages, currents and line voltages";
    auto runtime = makeRuntime();
    Impl variable(runtime);
    variable.beginUpdate();
    variable.change([&](powergpu::ModuleSettings& s) { s.setSampleRate(10240.0, 1); });
    variable.change([&](powergpu::ModuleSettings& s) { s.setBufferLengthAndDuration(20480, 2.0); });
    // 10 periods: 1024 .. 8192
    variable.change([](powergpu::ModuleSettings& s) { s.setVariableFrequency(20.0, 100.0); });
    variable.endUpdate();
    const powergpu::FftPlanSet& plans = variable.settings().getFftPlans();
    ASSERT_EQ(plans.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(plans.lengthAt(k), 1024 << k) << "entry " << k;
        EXPECT_EQ(plans.batchAt(k), 2) << "entry " << k;
    }
    EXPECT_EQ(runtime->livePlans(), 4u);
    // Enabling currents rebuilds every plan with the larger batch; the old ones go.
    variable.change([&](powergpu::ModuleSettings& s) { s.setCurrentEnabled(false); });
    const std::vector<powergpu::FftHandle> before = {plans[0], plans[1], plans[2], plans[3]};
    EXPECT_EQ(plans.batchAt(0), 1);
    variable.change([&](powergpu::ModuleSettings& s) { s.setCurrentEnabled(true); });
    ASSERT_EQ(plans.size(), 4u);
    for (std::size_t k = 0; k < 4; ++k) {
        EXPECT_EQ(plans.batchAt(k), 2);
        EXPECT_EQ(std::count(before.begin(), before.end(), plans[k]), 0) << "entry " << k;
    }
    EXPECT_EQ(runtime->livePlans(), 4u);
}

TEST(ModuleLifecycle, MovesTakeTheImplementationOverAndMovedFromModulesRefuseWork) {
    PowerModule source(POWER_BACKEND_CPU);
    source.setGridConfigType(ThreePhaseStar);
    Impl* impl = source.implementation();
    PowerModule target(std::move(source));
    EXPECT_EQ(target.implementation(), impl);
    EXPECT_EQ(source.implementation(), nullptr);  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(target.getPhasesCount(), 3);
    EXPECT_THROW(source.getPhasesCount(), PowerInvalidCall);  // NOLINT(bugprone-use-after-move)
    EXPECT_THROW(source.setThdEnabled(true), PowerInvalidCall);
    PowerModule other(POWER_BACKEND_CPU);
    other = std::move(target);
    EXPECT_EQ(other.implementation(), impl);
    EXPECT_EQ(target.implementation(), nullptr);  // NOLINT(bugprone-use-after-move)
    PowerModule& alias = other;
    other = std::move(alias);
    EXPECT_EQ(other.implementation(), impl) << "self-assignment keeps it";
    source = std::move(other);  // a moved-from module can be given a new implementation
    EXPECT_EQ(source.getPhasesCount(), 3);
}

TEST(ModuleLifecycle, FailingStreamCreationThrowsAndLeavesNoStream) {
    for (const int skip : {0, 1, 2}) {
        auto runtime = makeRuntime();
        runtime->injectFault(RuntimeCall::StreamCreate, powergpu::kErrorMemoryAllocation, skip);
        try {
            Impl impl(runtime);
            FAIL() << "the module was constructed";
        } catch (const GpuException& error) {
            EXPECT_TRUE(std::regex_match(
                error.what(), std::regex("CPU backend error in file 'PowerModuleImpl', line [0-9]+; error 2: out of memory")));
        }
        EXPECT_EQ(runtime->liveStreams(), 0u) << "stream " << skip << " failed";
    }
}

TEST(ModuleLifecycle, ConstructionMakesThreeStreamsAndDestructionReleasesEverything) {
    auto runtime = makeRuntime();
    {
        Impl impl(runtime);
        EXPECT_TRUE(runtime->liveStreams() == 3u && runtime->liveDeviceBytes() == 0u && runtime->livePlans() == 0u);
        impl.beginUpdate();
        impl.change([&](powergpu::ModuleSettings& s) { s.setSampleRate(10000.0, 1); });
        impl.change([&](powergpu::ModuleSettings& s) { s.setBufferLengthAndDuration(10000, 1.0); });
        impl.change([&](powergpu::ModuleSettings& s) { s.setGridConfigType(ThreePhaseStar); });
        impl.change([&](powergpu::ModuleSettings& s) { s.setVariableFrequency(40.0, 60.0); });
        impl.change([&](powergpu::ModuleSettings& s) { s.setThdEnabled(true); });
        impl.change([&](powergpu::ModuleSettings& s) { s.setSymmetricalComponentsEnabled(true); });
        impl.change([&](powergpu::ModuleSettings& s) { s.setWaveformsEnabled(true); });
        impl.change([&](powergpu::ModuleSettings& s) { s.setPeriodValuesEnabled(true); });
        impl.endUpdate();
        EXPECT_EQ(runtime->livePlans(), 2u);
        impl.reset(0);
        for (uint8_t c = 0; c < 6; ++c) {
            const powergpu::ModuleSettings& settings = impl.settings();
            std::fill_n(c < 3 ? settings.getWaveformBufferUInput(c) : settings.getWaveformBufferI(c - 3), 4000, 1.0f);
        }
        impl.writeSamples(4000);
        impl.scheduler().scheduleForCalculation(0, 2000, 50.0);
        impl.scheduler().scheduleForCalculation(2000, 2000, 50.0);
        EXPECT_EQ(impl.scheduler().getResults(1).size(), 1u);  // one delivered, one left in the queue
        EXPECT_GT(runtime->liveEvents(), 0u);
    }
    EXPECT_EQ(runtime->liveDeviceBytes() + runtime->liveHostBytes(), 0u);
    EXPECT_EQ(runtime->liveEvents() + runtime->liveStreams() + runtime->livePlans(), 0u);
}
