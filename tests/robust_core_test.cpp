// Hostile but ordinary-looking call sequences: settings stored inside an
// open update bracket, rebuilds that fail, channels that do not exist,
// copies racing a window still in flight, device faults. None may crash the
// library, touch memory sized for other settings or change a number.
#include <algorithm>
#include <cstring>
#include <string>

#include "powergpu.h"
#include "support/TestSupport.h"

namespace {

using namespace powergpu::test;
using powergpu::RecordingRuntime;
using powergpu::RuntimeCall;

// A single-phase CPU module at 10 kHz with a ring of `ring` samples and 50 Hz
// static, reset to 0, fed a 230 V sine.
class RobustCore : public RecordedHandleTest {
protected:
    void SetUp() override {
        RecordedHandleTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        configure(*handle, 10000.0, 1000);
    }
    // Writes `count` samples of the sine through the ring pointer of the
    // rings the module has, and announces them.
    PowerStatusCode write(uint32_t count, double rms = 230.0) {
        float* ring = nullptr;
        const PowerStatusCode got = getWaveformBufferUInput(handle, 0, &ring);
        if (got != PowerStatusCode::Success) {
            return got;
        }
        const uint64_t length = handle->implementation()->settings().getBuffers().getBufferLength();
        while (count > 0) {
            const auto piece = static_cast<uint32_t>(std::min<uint64_t>(count, length));
            for (uint32_t k = 0; k < piece; ++k) {
                ring[(written + k) % length] =
                    static_cast<float>(sine(Complex(rms, 0.0), kTwoPi * 50.0, (written + k) / 1e4));
            }
            const PowerStatusCode announced = writeSamples(handle, piece);
            if (announced != PowerStatusCode::Success) {
                return announced;
            }
            written += piece;
            count -= piece;
        }
        return PowerStatusCode::Success;
    }
    // Schedules one 1000-sample window ending at the last written sample and fetches its record.
    PowerResultsGeneral window() {
        PowerResultsGeneral record{};
        EXPECT_EQ(status(scheduleForCalculation(handle, written - 1000, 1000, 50.0)), 0) << lastError(handle);
        EXPECT_EQ(status(syncCuda(handle)), 0);
        int32_t count = 0;
        EXPECT_EQ(status(getResults(handle, 1, &count, &record)), 0);
        EXPECT_EQ(count, 1);
        return record;
    }
    uint64_t written = 0;
};

}  // namespace

TEST_F(RobustCore, SettingsStoredInAnOpenBracketOrBelowZeroNeverReachTheRingOrTheKernels) {
    const struct {
        const char* name;
        std::function<PowerStatusCode()> store;
    } settings[] = {
        {"interharmonics", [&] { return setInterHarmonicsEnabled(handle, true); }},
        {"three-phase star", [&] { return setGridConfigType(handle, ThreePhaseStar); }},
        {"THD", [&] { return setThdEnabled(handle, true); }},
        {"line-to-line", [&] { return setLineToLineResultsEnabled(handle, true); }},
        {"harmonics to 50", [&] { return setHighestRequestedHarmonic(handle, 50); }},
        {"a longer ring", [&] { return setBufferLength(handle, 20000); }},
    };
    for (const bool belowZero : {false, true}) {
        for (const auto& setting : settings) {
            SCOPED_TRACE(std::string(setting.name) + (belowZero ? ", counter below 0" : ", open bracket"));
            ASSERT_EQ(status(belowZero ? endUpdate(handle) : beginUpdate(handle)), 0);
            const uint64_t rebuilds = handle->implementation()->settings().getInitializeCount();
            ASSERT_EQ(status(setting.store()), 0);
            EXPECT_EQ(handle->implementation()->settings().getInitializeCount(), rebuilds) << "only stored";
            ASSERT_EQ(status(write(1000)), 0);
            EXPECT_EQ(status(writeSamples(handle, 4000)), 1) << "more than the ring that exists";
            const PowerResultsGeneral record = window();
            EXPECT_EQ(record.phasesCount, 1);
            EXPECT_NEAR(record.channels[0].rmsU, 230.0, 0.01);
            EXPECT_EQ(record.channels[0].interharmonicsU, nullptr);
            EXPECT_EQ(record.channels[0].thdU.thd, 0.0);
            EXPECT_EQ(record.channels[0].rmsUL, 0.0);
            EXPECT_EQ(record.harmonicLength, 2u);
            // Closing the bracket applies everything stored; the next window has it.
            ASSERT_EQ(status(belowZero ? beginUpdate(handle) : endUpdate(handle)), 0);
            if (!belowZero) {
                EXPECT_EQ(handle->implementation()->settings().getInitializeCount(), rebuilds + 1);
            } else {
                ASSERT_EQ(status(beginUpdate(handle)), 0);  // back to 0 by a plain bracket
                ASSERT_EQ(status(endUpdate(handle)), 0);
            }
            ASSERT_EQ(status(write(1000)), 0);
            EXPECT_NEAR(window().channels[0].rmsU, 230.0, 0.01);
            // Back to the plain single-phase module for the next case.
            ASSERT_EQ(status(beginUpdate(handle)), 0);
            setInterHarmonicsEnabled(handle, false);
            setGridConfigType(handle, SinglePhase);
            setThdEnabled(handle, false);
            setLineToLineResultsEnabled(handle, false);
            setHighestRequestedHarmonic(handle, 1);
            setBufferLength(handle, 1000);
            ASSERT_EQ(status(endUpdate(handle)), 0);
        }
    }
    // The getters report what was stored all along.
    ASSERT_EQ(status(beginUpdate(handle)), 0);
    ASSERT_EQ(status(setGridConfigType(handle, ThreePhaseStar)), 0);
    uint8_t phases = 0;
    EXPECT_TRUE(status(getPhasesCount(handle, &phases)) == 0 && phases == 3);
    EXPECT_EQ(handle->implementation()->settings().getAppliedConfig().getPhasesCount(), 1);
    ASSERT_EQ(status(endUpdate(handle)), 0);
}

TEST_F(RobustCore, AFailedRebuildRefusesWorkWithItsReasonUntilARebuildSucceeds) {
    ASSERT_EQ(status(write(2000)), 0);
    // Orders up to 2^32 - 5 need far more memory than there is.
    EXPECT_EQ(status(setHighestRequestedHarmonic(handle, -5)), 3);
    const std::string reason = lastError(handle);
    EXPECT_NE(reason.find("CPU backend error"), std::string::npos) << reason;
    EXPECT_EQ(reason.find("CUDA"), std::string::npos) << reason;
    ASSERT_EQ(reports().size(), 1u);
    float* ring = nullptr;
    bool ready = true;
    const PowerStatusCode refused[] = {reset(handle, 0), writeSamples(handle, 10), skipSamples(handle, 10),
                                       scheduleForCalculation(handle, 0, 1000, 50.0),
                                       getWaveformBufferUInput(handle, 0, &ring)};
    for (const PowerStatusCode code : refused) {
        EXPECT_EQ(status(code), 1);
    }
    EXPECT_NE(lastError(handle).find("not built"), std::string::npos);
    EXPECT_NE(lastError(handle).find(reason), std::string::npos) << "the reason is repeated";
    EXPECT_TRUE(status(isAnyResultReady(handle, &ready)) == 0 && !ready) << "nothing to hand out";
    EXPECT_EQ(ring, nullptr);
    // Destroying a module in this state is safe (a fresh one, so that TearDown has its own).
    PowerModuleHandle other = powerModule_createOnBackend(POWER_BACKEND_CPU);
    configure(*other, 10000.0, 1000);
    EXPECT_EQ(status(setHighestRequestedHarmonic(other, -5)), 3);
    EXPECT_EQ(status(powerModule_destroy(other)), 0);
    // A good setting rebuilds; writing and scheduling go on without a reset.
    EXPECT_EQ(status(setHighestRequestedHarmonic(handle, 5)), 0);
    ASSERT_EQ(status(write(1000)), 0);
    const PowerResultsGeneral record = window();
    EXPECT_EQ(record.firstSampleIndex, 2000u);
    EXPECT_EQ(record.harmonicLength, 6u) << "orders 0 to 5";
    EXPECT_NEAR(record.channels[0].rmsU, 230.0, 0.01);
}

TEST_F(RobustCore, WaveformPointersOnlyForChannelsThatExistAndNeverAnotherChannelsRing) {
    ASSERT_EQ(status(beginUpdate(handle)), 0);
    setGridConfigType(handle, ThreePhaseStar);
    ASSERT_EQ(status(endUpdate(handle)), 0);
    float* pointer = nullptr;
    float* const untouched = reinterpret_cast<float*>(&written);
    const auto refused = [&](PowerStatusCode (*get)(PowerModuleHandle, uint8_t, float**), uint8_t channel,
                             const char* range) {
        pointer = untouched;
        EXPECT_EQ(status(get(handle, channel, &pointer)), 1);
        EXPECT_NE(lastError(handle).find(range), std::string::npos) << lastError(handle);
        EXPECT_EQ(pointer, untouched) << "the out-pointer stays untouched";
    };
    refused(getWaveformBufferUInput, 3, "0 to 2");
    refused(getWaveformBufferUInput, 255, "0 to 2");
    refused(getWaveformBufferI, 3, "0 to 2");
    refused(getWaveformBufferClarkeU, 3, "0 to 2");
    EXPECT_EQ(lastError(handle).find("out_of_range"), std::string::npos);
    float* i1 = nullptr;
    ASSERT_EQ(status(getWaveformBufferI(handle, 0, &i1)), 0);
    ASSERT_EQ(status(getWaveformBufferUInput(handle, 2, &pointer)), 0);
    EXPECT_TRUE(pointer != nullptr && pointer != i1);
    // Line-to-line voltages are derived on a star grid and kept only on the
    // device here: no pointer, rather than the array start (phase 1's ring).
    EXPECT_TRUE(status(getWaveformBufferUDelta(handle, 0, &pointer)) == 0 && pointer == nullptr);
    // A delta grid: the currents are items 3 to 5, channel 3 would be U12's ring.
    ASSERT_EQ(status(setGridConfigType(handle, ThreePhaseDelta)), 0);
    refused(getWaveformBufferI, 3, "0 to 2");
    EXPECT_TRUE(status(getWaveformBufferUStar(handle, 0, &pointer)) == 0 && pointer == nullptr);
    ASSERT_EQ(status(setGridConfigType(handle, SinglePhase)), 0);
    refused(getWaveformBufferUDelta, 0, "none");
    ASSERT_EQ(status(setCurrentEnabled(handle, false)), 0);
    refused(getWaveformBufferI, 0, "currents are off");
}

TEST_F(RobustCore, CopiesOfNewSamplesWaitForTheLastScheduledWindow) {
    // A window over the last 1000 samples of the ring, then at once a whole
    // ring of other samples: on a device the copy must not run before the
    // window's kernels have read the old ones.
    ASSERT_EQ(status(write(1000)), 0);
    RecordingRuntime& runtime = recordingRuntime(*handle);
    runtime.setCallLogging(true);
    ASSERT_EQ(status(scheduleForCalculation(handle, 0, 1000, 50.0)), 0);
    runtime.clearCallLog();
    ASSERT_EQ(status(write(1000, 100.0)), 0);
    const std::vector<powergpu::LoggedCall> log = runtime.callLog();
    const auto waits = indicesOf(log, RuntimeCall::StreamWaitEvent);
    const auto copies = indicesOf(log, RuntimeCall::MemcpyAsync);
    ASSERT_EQ(waits.size(), 1u);
    ASSERT_FALSE(copies.empty());
    EXPECT_LT(waits[0], copies[0]);
    EXPECT_EQ(log[waits[0]].stream, log[copies[0]].stream);
    EXPECT_NE(log[waits[0]].event, nullptr);
    PowerResultsGeneral record{};
    int32_t count = 0;
    ASSERT_EQ(status(getResults(handle, 1, &count, &record)), 0);
    ASSERT_EQ(count, 1);
    EXPECT_NEAR(record.channels[0].rmsU, 230.0, 0.01) << "the window saw its own samples";
    EXPECT_NEAR(window().channels[0].rmsU, 100.0, 0.01);
}

TEST_F(RobustCore, DeviceFaultsSurfaceAsGpuErrorsAndTheModuleStaysDestroyable) {
    ASSERT_EQ(status(setBufferLength(handle, 4000)), 0);
    ASSERT_EQ(status(write(2000)), 0);
    ASSERT_EQ(status(scheduleForCalculation(handle, 0, 1000, 50.0)), 0);
    ASSERT_EQ(status(scheduleForCalculation(handle, 1000, 1000, 50.0)), 0);
    RecordingRuntime& runtime = recordingRuntime(*handle);
    runtime.injectFault(RuntimeCall::EventQuery, powergpu::kErrorLaunchFailure);
    bool ready = false;
    EXPECT_EQ(status(isAnyResultReady(handle, &ready)), 3);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_NE(reports()[0].second.find("unspecified launch failure"), std::string::npos) << reports()[0].second;
    // A fault after the first record hands that record out and surfaces next time.
    PowerResultsGeneral records[2];
    int32_t count = -1;
    runtime.injectFault(RuntimeCall::EventQuery, powergpu::kErrorLaunchFailure, 1);
    ASSERT_EQ(status(getResults(handle, 2, &count, records)), 0);
    EXPECT_EQ(count, 1);
    runtime.injectFault(RuntimeCall::EventQuery, powergpu::kErrorLaunchFailure);
    count = -1;
    EXPECT_EQ(status(getResults(handle, 2, &count, records)), 3);
    EXPECT_EQ(count, -1);
    ASSERT_EQ(status(getResults(handle, 2, &count, records)), 0);
    EXPECT_EQ(count, 1) << "nothing was lost";
    EXPECT_EQ(records[0].firstSampleIndex, 1000u);
}
