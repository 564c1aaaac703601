// The sample input rings: which host pointers the caller gets, how announced
// samples travel to the device (split at the ring end, on the pending
// window's stream), skipping, and retrying after a failed copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"
#include "runtime/CpuRuntime.h"
#include "support/ModuleFeeder.h"

namespace {

using powergpu::CpuRuntime;
using powergpu::LoggedCall;
using powergpu::RuntimeCall;

constexpr float kUntouched = -777.0f;

// A three-phase star module (three voltages, three currents) on the CPU.
class SampleRingTest : public ::testing::Test {
protected:
    void build(uint64_t ringLength, PowerGridConfigType type = ThreePhaseStar) {
        module.beginUpdate();
        module.setSampleRate(10000.0, 1);
        module.setBufferLength(ringLength);
        module.setGridConfigType(type);
        module.endUpdate();
    }
    PowerModule::PowerModuleImpl& impl() { return *module.implementation(); }
    CpuRuntime& runtime() { return dynamic_cast<CpuRuntime&>(impl().runtime()); }
    std::vector<LoggedCall> copies() {
        std::vector<LoggedCall> found;
        for (const LoggedCall& call : runtime().callLog()) {
            if (call.call == RuntimeCall::MemcpyAsync) {
                found.push_back(call);
            }
        }
        return found;
    }
    // The six input rings of a star grid: U1..U3 (items 0..2), I1..I3 (3..5).
    std::vector<float*> inputRings() {
        std::vector<float*> rings;
        for (uint8_t c = 0; c < 3; ++c) {
            rings.push_back(module.getWaveformBufferUInput(c));
        }
        for (uint8_t c = 0; c < 3; ++c) {
            rings.push_back(module.getWaveformBufferI(c));
        }
        return rings;
    }
    float* deviceRing(uint16_t item) { return impl().getBuffers().waveforms.getDeviceBuffer(item); }

    PowerModule module{POWER_BACKEND_CPU};
};

float valueAt(int item, uint64_t position) { return static_cast<float>(1000 * (item + 1) + position); }

}  // namespace

TEST_F(SampleRingTest, BlockOverTheRingEndIsCopiedInTwoPiecesPerInputChannel) {
    build(100);
    module.reset(195);  // running index 195 is ring position 95
    const std::vector<float*> rings = inputRings();
    for (int item = 0; item < 6; ++item) {
        for (uint64_t position = 0; position < 100; ++position) {
            rings[item][position] = valueAt(item, position);
        }
        std::fill(deviceRing(static_cast<uint16_t>(item)), deviceRing(static_cast<uint16_t>(item)) + 100, kUntouched);
    }
    runtime().setCallLogging(true);

    module.writeSamples(10);

    const std::vector<LoggedCall> logged = copies();
    ASSERT_EQ(logged.size(), 12u);
    for (std::size_t k = 0; k < logged.size(); ++k) {
        SCOPED_TRACE(testing::Message() << "copy " << k);
        const auto item = static_cast<uint16_t>(k % 6);
        const uint64_t offset = k < 6 ? 95 : 0;  // five samples at the end, then five at the start
        EXPECT_EQ(logged[k].kind, powergpu::MemcpyKind::HostToDevice);
        EXPECT_EQ(logged[k].stream, impl().getCudaStream(0));
        EXPECT_EQ(logged[k].bytes, 5 * sizeof(float));
        EXPECT_EQ(logged[k].pointers.at(0), deviceRing(item) + offset);
        EXPECT_EQ(logged[k].pointers.at(1), rings[item] + offset);
    }
    for (int item = 0; item < 6; ++item) {
        const float* ring = deviceRing(static_cast<uint16_t>(item));
        for (uint64_t position = 0; position < 100; ++position) {
            const bool written = position >= 95 || position < 5;
            EXPECT_EQ(ring[position], written ? valueAt(item, position) : kUntouched)
                << "item " << item << " position " << position;
        }
    }
    EXPECT_EQ(impl().getSamplesWritten(), 205u);
}

TEST_F(SampleRingTest, SamplesTravelOnTheStreamOfThePendingWindow) {
    build(5000);
    module.reset(0);
    powergpu::test::ModuleFeeder feeder(module, [](char, int, double) { return 1.0; });
    feeder.write(2000);
    module.scheduleForCalculation(0, 2000, 50.0);
    runtime().setCallLogging(true);
    feeder.write(10);
    const std::vector<LoggedCall> logged = copies();
    ASSERT_EQ(logged.size(), 6u);  // inside the ring: one copy per channel
    for (const LoggedCall& copy : logged) {
        EXPECT_EQ(copy.stream, impl().getCudaStream(1));
        EXPECT_EQ(copy.bytes, 10 * sizeof(float));
    }
}

TEST_F(SampleRingTest, CountZeroCopiesNothingAndKeepsTheCounter) {
    build(100);
    module.reset(40);
    runtime().setCallLogging(true);
    module.writeSamples(0);
    EXPECT_TRUE(copies().empty());
    EXPECT_EQ(impl().getSamplesWritten(), 40u);
}

TEST_F(SampleRingTest, ChannelPointersFollowTheGridConfiguration) {
    build(100);
    const powergpu::GpuBuffer<float>& waveforms = impl().getBuffers().waveforms;
    float* start = waveforms.getHostBuffer();
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(module.getWaveformBufferUStar(0), start);
    for (uint8_t c = 0; c < 3; ++c) {
        EXPECT_EQ(module.getWaveformBufferUStar(c), start + 100 * c);
        EXPECT_EQ(module.getWaveformBufferUInput(c), module.getWaveformBufferUStar(c));
        EXPECT_EQ(module.getWaveformBufferI(c), start + 100 * (3 + c));
        // A star grid without line-to-line results has no line-to-line rings.
        EXPECT_EQ(module.getWaveformBufferUDelta(c), nullptr);
        EXPECT_EQ(module.getWaveformBufferClarkeU(c), nullptr);
        EXPECT_EQ(module.getWaveformBufferParkI(c), nullptr);
    }
    EXPECT_EQ(module.getWaveformBufferMechAngles(), nullptr);

    // Readable line-to-line rings once derived waveforms come back.
    module.setWaveformsEnabled(true);
    for (uint8_t c = 0; c < 3; ++c) {
        EXPECT_EQ(module.getWaveformBufferUDelta(c), impl().getBuffers().waveforms.getHostBuffer(6 + c));
        EXPECT_NE(module.getWaveformBufferUDelta(c), nullptr);
    }
    module.beginUpdate();
    module.setMechanicalAngleUsed(true);
    module.endUpdate();
    EXPECT_NE(module.getWaveformBufferMechAngles(), nullptr);
}

TEST_F(SampleRingTest, DeltaInputIsWrittenIntoTheLineToLineRings) {
    build(100, ThreePhaseDelta);
    for (uint8_t c = 0; c < 3; ++c) {
        float* input = module.getWaveformBufferUInput(c);
        ASSERT_NE(input, nullptr);
        EXPECT_EQ(input, module.getWaveformBufferUDelta(c));
        EXPECT_EQ(input, impl().getBuffers().waveforms.getHostBuffer(static_cast<uint16_t>(6 + c)));
    }
    // What the caller writes there reaches the device rings of items 6..8.
    module.reset(0);
    for (uint8_t c = 0; c < 3; ++c) {
        module.getWaveformBufferUInput(c)[0] = 10.0f + c;
    }
    module.writeSamples(1);
    for (uint16_t c = 0; c < 3; ++c) {
        EXPECT_EQ(deviceRing(static_cast<uint16_t>(6 + c))[0], 10.0f + c);
    }
}

TEST_F(SampleRingTest, SkippingMovesEveryCounterAndThePendingWindow) {
    build(5000);
    module.reset(0);
    powergpu::test::ModuleFeeder feeder(module, [](char, int, double) { return 2.0; });
    feeder.write(3000);
    module.scheduleForCalculation(0, 1000, 50.0);  // calculation lags behind writing
    EXPECT_EQ(impl().getNextSampleToCalculate(), 1000u);
    runtime().setCallLogging(true);

    module.skipSamples(100);
    EXPECT_TRUE(copies().empty());
    EXPECT_EQ(impl().getSamplesWritten(), 3100u);
    EXPECT_EQ(impl().getNextSampleToCalculate(), 3100u);
    EXPECT_EQ(impl().getNextSampleToDeliver(), 3100u);

    feeder.restartAt(3100);
    feeder.write(1000);
    module.scheduleForCalculation(3100, 1000, 50.0);
    const std::vector<PowerResultsGeneral> results = module.getResults(0);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1].firstSampleIndex, 3100u);
    EXPECT_NEAR(results[1].channels[0].rmsU, 2.0, 1e-5);
}

TEST_F(SampleRingTest, FailedCopyLeavesTheCounterSoTheSameCountCanBeRetried) {
    build(100);
    module.reset(90);
    const std::vector<float*> rings = inputRings();
    for (int item = 0; item < 6; ++item) {
        for (uint64_t position = 0; position < 100; ++position) {
            rings[item][position] = valueAt(item, position);
        }
    }
    runtime().injectFault(RuntimeCall::MemcpyAsync, powergpu::kErrorLaunchFailure, 3);
    EXPECT_THROW(module.writeSamples(20), GpuException);
    EXPECT_EQ(impl().getSamplesWritten(), 90u);

    module.writeSamples(20);
    EXPECT_EQ(impl().getSamplesWritten(), 110u);
    for (int item = 0; item < 6; ++item) {
        for (const uint64_t position : {90, 99, 0, 9}) {
            EXPECT_EQ(deviceRing(static_cast<uint16_t>(item))[position], valueAt(item, position))
                << "item " << item << " position " << position;
        }
    }
}
