// Windows that scheduleForCalculation refuses, driven through the flat
// interface as a caller sees them: each refusal returns status 1, leaves a
// message that says in words what was wrong, calls no error reporter, makes
// no runtime call and changes nothing (queue, sample counters), so that the
// next correct window is accepted and delivers a correct record.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "module/PowerModuleImpl.h"
#include "powergpu.h"
#include "powergpu.hpp"
#include "runtime/CpuRuntime.h"

namespace {

using powergpu::CpuRuntime;
using powergpu::RuntimeCall;

constexpr double kTwoPi = 6.283185307179586;
constexpr double kRms = 230.0;

std::atomic<int> reportedErrors{0};
void countReport(int32_t /*kind*/, const char* /*message*/) {
    ++reportedErrors;
}

struct ModuleState {
    std::size_t queueSize;
    uint64_t samplesWritten;
    uint64_t nextSampleToCalculate;
    uint64_t nextSampleToDeliver;

    bool operator==(const ModuleState& other) const {
        return queueSize == other.queueSize && samplesWritten == other.samplesWritten &&
               nextSampleToCalculate == other.nextSampleToCalculate && nextSampleToDeliver == other.nextSampleToDeliver;
    }
};

std::ostream& operator<<(std::ostream& out, const ModuleState& state) {
    return out << "{queue " << state.queueSize << ", written " << state.samplesWritten << ", to calculate "
               << state.nextSampleToCalculate << ", to deliver " << state.nextSampleToDeliver << "}";
}

class ScheduleValidation : public ::testing::Test {
protected:
    void SetUp() override {
        registerErrorReporter(countReport);
        reportedErrors = 0;
        handle_ = powerModule_createOnBackend(POWER_BACKEND_CPU);
        ASSERT_NE(handle_, nullptr);
    }

    void TearDown() override {
        registerErrorReporter(nullptr);
        powerModule_destroy(handle_);
    }

    // A single-phase module at 10 kHz with a ring of one second; 50 Hz
    // static frequency gives an FFT length of 4096 and 6 result slots.
    void configure(double sampleRate = 10000.0, int32_t bufferLength = 10000, double frequency = 50.0,
                   uint16_t periodCount = 10, const std::function<void()>& more = {}) {
        ASSERT_EQ(beginUpdate(handle_), PowerStatusCode::Success);
        if (more) {
            more();
        }
        ASSERT_EQ(setSampleRate(handle_, sampleRate, 1), PowerStatusCode::Success);
        ASSERT_EQ(setBufferLength(handle_, bufferLength), PowerStatusCode::Success);
        ASSERT_EQ(setPeriodCount(handle_, periodCount), PowerStatusCode::Success);
        ASSERT_EQ(setStaticFrequency(handle_, frequency, 0.1), PowerStatusCode::Success);
        ASSERT_EQ(endUpdate(handle_), PowerStatusCode::Success);
    }

    void start(uint64_t firstSampleIndex = 0) {
        ASSERT_EQ(reset(handle_, firstSampleIndex), PowerStatusCode::Success);
        written_ = firstSampleIndex;
        runtime().setCallLogging(true);
    }

    PowerModule::PowerModuleImpl& impl() { return *handle_->implementation(); }
    CpuRuntime& runtime() { return dynamic_cast<CpuRuntime&>(impl().runtime()); }

    ModuleState state() {
        return ModuleState{impl().getResultsQueueSize(), impl().getSamplesWritten(), impl().getNextSampleToCalculate(),
                           impl().getNextSampleToDeliver()};
    }

    // Writes a 230 V rms sine of the module's frequency into every voltage
    // ring (and a 10 A sine into every current ring), in ring-sized blocks.
    void write(uint64_t count, double frequency = 50.0) {
        const uint8_t voltages = impl().getVoltagesCount();
        const uint8_t currents = impl().getCurrentsCount();
        const uint64_t ring = impl().getBufferLength();
        const double rate = impl().getSampleRate();
        while (count > 0) {
            const uint64_t block = std::min(count, ring);
            for (uint8_t c = 0; c < voltages + currents; ++c) {
                float* buffer = nullptr;
                const bool voltage = c < voltages;
                ASSERT_EQ(voltage ? getWaveformBufferUInput(handle_, c, &buffer)
                                  : getWaveformBufferI(handle_, static_cast<uint8_t>(c - voltages), &buffer),
                          PowerStatusCode::Success);
                ASSERT_NE(buffer, nullptr);
                const double amplitude = voltage ? kRms * std::sqrt(2.0) : 10.0 * std::sqrt(2.0);
                for (uint64_t k = 0; k < block; ++k) {
                    const uint64_t index = written_ + k;
                    const double t = static_cast<double>(index) / rate;
                    buffer[index % ring] =
                        static_cast<float>(amplitude * std::sin(kTwoPi * frequency * t - c * kTwoPi / 3.0));
                }
            }
            ASSERT_EQ(writeSamples(handle_, static_cast<uint32_t>(block)), PowerStatusCode::Success);
            written_ += block;
            count -= block;
        }
    }

    std::string lastMessage() {
        char message[512] = {};
        int32_t length = 0;
        EXPECT_EQ(getLastErrorMessage(handle_, message, sizeof message, &length), PowerStatusCode::Success);
        return message;
    }

    // A refused call: status 1, a message with every given word, no runtime
    // call, no reporter call, and the module state as before.
    void expectRefused(uint64_t first, int32_t length, double frequency, const std::vector<std::string>& words) {
        SCOPED_TRACE("window " + std::to_string(first) + " + " + std::to_string(length) + " at " +
                     std::to_string(frequency) + " Hz");
        const ModuleState before = state();
        runtime().clearCallLog();
        const int reportsBefore = reportedErrors.load();
        EXPECT_EQ(scheduleForCalculation(handle_, first, length, frequency), PowerStatusCode::UnknownError);
        const std::string message = lastMessage();
        EXPECT_FALSE(message.empty());
        for (const std::string& word : words) {
            EXPECT_NE(message.find(word), std::string::npos) << "'" << word << "' missing in: " << message;
        }
        EXPECT_TRUE(runtime().callLog().empty()) << "a refused window must not touch the device";
        EXPECT_EQ(reportedErrors.load(), reportsBefore) << "refusals are not GPU errors";
        EXPECT_EQ(state(), before);
    }

    // Schedules a window and fetches it: its record must describe the
    // window and its 230 V rms sine.
    void expectAccepted(uint64_t first, int32_t length, double frequency = 50.0) {
        SCOPED_TRACE("window " + std::to_string(first) + " + " + std::to_string(length));
        ASSERT_EQ(scheduleForCalculation(handle_, first, length, frequency), PowerStatusCode::Success) << lastMessage();
        EXPECT_EQ(lastMessage(), "") << "a successful call clears the message";
        EXPECT_EQ(impl().getNextSampleToCalculate(), first + static_cast<uint64_t>(length));
        PowerResultsGeneral record{};
        int32_t count = 0;
        ASSERT_EQ(getResults(handle_, 1, &count, &record), PowerStatusCode::Success);
        ASSERT_EQ(count, 1);
        EXPECT_EQ(record.firstSampleIndex, first);
        EXPECT_EQ(record.length, static_cast<uint32_t>(length));
        EXPECT_DOUBLE_EQ(record.frequency, frequency);
        EXPECT_NEAR(record.channels[0].rmsU, kRms, kRms * 1e-3);
        EXPECT_NEAR(record.channels[0].h1U, kRms, kRms * 1e-3);
    }

    PowerModuleHandle handle_ = nullptr;
    uint64_t written_ = 0;
};

}  // namespace

TEST_F(ScheduleValidation, RefusedBeforeTheFirstReset) {
    configure();
    EXPECT_EQ(scheduleForCalculation(handle_, 0, 2000, 50.0), PowerStatusCode::UnknownError);
    EXPECT_NE(lastMessage().find("reset"), std::string::npos) << lastMessage();
    EXPECT_EQ(impl().getResultsQueueSize(), 0u);
    EXPECT_EQ(reportedErrors.load(), 0);

    start();
    write(2000);
    expectAccepted(0, 2000);
}

TEST_F(ScheduleValidation, RefusedAfterARebuildUntilTheNextReset) {
    configure();
    start();
    write(2000);
    ASSERT_EQ(setThdEnabled(handle_, true), PowerStatusCode::Success);  // rebuilds
    EXPECT_EQ(scheduleForCalculation(handle_, 0, 2000, 50.0), PowerStatusCode::UnknownError);
    EXPECT_NE(lastMessage().find("reset"), std::string::npos) << lastMessage();

    start(4000);
    write(2000);
    expectAccepted(4000, 2000);
}

TEST_F(ScheduleValidation, RefusesEmptyWindowsAndWindowsLongerThanTheRing) {
    configure();
    start();
    write(3000);
    expectRefused(0, 0, 50.0, {"length", "0"});
    expectRefused(0, 10001, 50.0, {"length", "10001", "buffer length", "10000"});
    expectRefused(0, -1, 50.0, {"length"});
    expectAccepted(0, 2000);
}

TEST_F(ScheduleValidation, RefusesSamplesNotYetWritten) {
    configure();
    start();
    write(3000);
    expectRefused(2000, 2000, 50.0, {"not all written", "3000"});
    expectRefused(5000, 100, 50.0, {"not all written"});
    // The window that ends exactly at the last written sample is complete.
    expectAccepted(1000, 2000);
}

TEST_F(ScheduleValidation, RefusesSamplesAlreadyOverwrittenInTheRing) {
    configure();
    start();
    write(12000);  // the ring of 10000 now holds samples 2000 .. 11999
    expectRefused(1000, 2000, 50.0, {"overwritten"});
    expectRefused(1999, 2000, 50.0, {"overwritten"});
    expectAccepted(2000, 2000);
}

TEST_F(ScheduleValidation, RefusesFrequenciesThatAreNotFinitePositiveAndBelowHalfTheSampleRate) {
    configure();
    start();
    write(2000);
    const double refused[] = {std::numeric_limits<double>::quiet_NaN(),
                              std::numeric_limits<double>::infinity(),
                              -std::numeric_limits<double>::infinity(),
                              0.0,
                              -0.0,
                              -50.0,
                              5000.0,
                              7000.0};
    for (const double frequency : refused) {
        expectRefused(0, 2000, frequency, {"frequency"});
    }
    expectAccepted(0, 2000);
}

TEST_F(ScheduleValidation, RefusesFftLengthsBelowFour) {
    // 100 Hz sampling, one period at 54 Hz and above: 100 / 54 rounds up to an FFT length of 2.
    configure(100.0, 1000, 60.0, 1);
    start();
    write(100, 40.0);
    expectRefused(0, 2, 40.0, {"FFT length", "below 4"});
    // With 18 Hz as the lowest frequency the FFT length is 8 again.
    ASSERT_EQ(setStaticFrequency(handle_, 20.0, 0.1), PowerStatusCode::Success);
    start(0);
    write(10, 20.0);
    ASSERT_EQ(scheduleForCalculation(handle_, 0, 5, 20.0), PowerStatusCode::Success) << lastMessage();
}

TEST_F(ScheduleValidation, RefusesWindowsLongerThanTheFftLength) {
    configure();
    start();
    write(5000);
    expectRefused(0, 5000, 50.0, {"exceeds the FFT length", "4096"});
    expectAccepted(0, 4096, 50.0);
}

TEST_F(ScheduleValidation, RefusesWindowsWhosePlanWasNotBuilt) {
    // Variable 40 .. 160 Hz: plans for 1024, 2048 and 4096; the second fails to build.
    ASSERT_EQ(beginUpdate(handle_), PowerStatusCode::Success);
    ASSERT_EQ(setSampleRate(handle_, 10000.0, 1), PowerStatusCode::Success);
    ASSERT_EQ(setBufferLength(handle_, 10000), PowerStatusCode::Success);
    ASSERT_EQ(setVariableFrequency(handle_, 40.0, 160.0), PowerStatusCode::Success);
    runtime().injectFault(RuntimeCall::FftPlanMany, powergpu::kFftInternalError, 1);
    EXPECT_EQ(endUpdate(handle_), PowerStatusCode::GpuError);
    EXPECT_EQ(reportedErrors.load(), 1);
    start();
    write(6000, 150.0);
    expectRefused(0, 1250, 80.0, {"no FFT plan", "2048"});
    expectRefused(0, 2500, 40.0, {"no FFT plan", "4096"});
    expectAccepted(0, 600, 150.0);  // nine periods, FFT length 1024
}

TEST_F(ScheduleValidation, RefusesParkFromAMechanicalAngleWhoseRingWasNotBuilt) {
    configure(10000.0, 10000, 50.0, 10, [this]() {
        ASSERT_EQ(setGridConfigType(handle_, ThreePhaseStar), PowerStatusCode::Success);
        ASSERT_EQ(setParkTransformEnabled(handle_, true), PowerStatusCode::Success);
        ASSERT_EQ(setClarkeOrParkVoltagesEnabled(handle_, true), PowerStatusCode::Success);
    });
    start();
    write(4000);
    // A plain store: the angle ring appears only with the next rebuild.
    ASSERT_EQ(setMechanicalAngleUsed(handle_, true), PowerStatusCode::Success);
    expectRefused(0, 2000, 50.0, {"mechanical angle", "rebuild"});
    ASSERT_EQ(setMechanicalAngleUsed(handle_, false), PowerStatusCode::Success);
    expectAccepted(0, 2000);

    // After the rebuild (and the reset it requires) the angle ring exists.
    ASSERT_EQ(setMechanicalAngleUsed(handle_, true), PowerStatusCode::Success);
    ASSERT_EQ(beginUpdate(handle_), PowerStatusCode::Success);
    ASSERT_EQ(endUpdate(handle_), PowerStatusCode::Success);
    float* angles = nullptr;
    ASSERT_EQ(getWaveformBufferMechAngles(handle_, &angles), PowerStatusCode::Success);
    ASSERT_NE(angles, nullptr);
    start(10000);
    write(2000);
    expectAccepted(10000, 2000);
}

TEST_F(ScheduleValidation, RefusesAWindowWhenEveryResultSlotHoldsAnUndeliveredOne) {
    configure();
    start();
    const uint64_t slots = impl().getBuffers().getGeneralResultsBufferLength();
    ASSERT_EQ(slots, 6u) << "one second of samples at up to 55 Hz, 10 periods per window";
    write(8000);
    for (uint64_t window = 0; window < slots; ++window) {
        ASSERT_EQ(scheduleForCalculation(handle_, window * 1000, 1000, 50.0), PowerStatusCode::Success)
            << lastMessage();
    }
    expectRefused(slots * 1000, 1000, 50.0, {"result slots", "getResults"});

    // Fetching one frees one slot; the refused window then runs, and every
    // record (the oldest ones included, whose slots were not overwritten) is right.
    std::vector<PowerResultsGeneral> records(slots + 1);
    int32_t count = 0;
    ASSERT_EQ(getResults(handle_, 1, &count, records.data()), PowerStatusCode::Success);
    ASSERT_EQ(count, 1);
    ASSERT_EQ(scheduleForCalculation(handle_, slots * 1000, 1000, 50.0), PowerStatusCode::Success) << lastMessage();
    ASSERT_EQ(getResults(handle_, static_cast<int32_t>(slots), &count, records.data() + 1), PowerStatusCode::Success);
    ASSERT_EQ(static_cast<uint64_t>(count), slots);
    for (uint64_t window = 0; window <= slots; ++window) {
        EXPECT_EQ(records[window].firstSampleIndex, window * 1000);
        EXPECT_NEAR(records[window].channels[0].rmsU, kRms, kRms * 1e-3) << "window " << window;
    }
}
