// The flat interface as a caller sees it: status codes, untouched
// out-pointers, the error reporter, the per-thread error message, the
// messages of failed GPU and FFT calls, and the calls it rejects.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cuda/CudaErrorHandling.h"
#include "module/PowerModuleImpl.h"
#include "powergpu.h"
#include "powergpu.hpp"
#include "runtime/CpuRuntime.h"

namespace {

using powergpu::CpuRuntime;
using powergpu::RuntimeCall;

constexpr double kPi = 3.141592653589793;
const char* const kTooMany = "Too many results to fit in allocated space.";

int status(PowerStatusCode code) { return static_cast<int>(code); }

std::vector<std::pair<int32_t, std::string>>& reports() {
    static std::vector<std::pair<int32_t, std::string>> received;
    return received;
}

void recordReport(int32_t kind, const char* message) { reports().emplace_back(kind, message); }

std::string lastError(PowerModuleHandle handle) {
    char text[512] = "not written";
    int32_t length = -1;
    EXPECT_EQ(status(getLastErrorMessage(handle, text, sizeof text, &length)), 0);
    EXPECT_EQ(length, static_cast<int32_t>(std::strlen(text)));
    return text;
}

CpuRuntime& cpuRuntime(PowerModuleHandle handle) {
    return dynamic_cast<CpuRuntime&>(handle->implementation()->runtime());
}

// A single-phase module on the CPU backend: 10 kHz, a ring of 5000 samples.
class FlatInterfaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        reports().clear();
        registerErrorReporter(&recordReport);
        handle = powerModule_createOnBackend(POWER_BACKEND_CPU);
        ASSERT_NE(handle, nullptr);
        ASSERT_EQ(status(beginUpdate(handle)), 0);
        ASSERT_EQ(status(setSampleRate(handle, 10000.0, 1)), 0);
        ASSERT_EQ(status(setBufferLength(handle, 5000)), 0);
        ASSERT_EQ(status(endUpdate(handle)), 0);
    }
    void TearDown() override {
        registerErrorReporter(nullptr);
        EXPECT_EQ(status(powerModule_destroy(handle)), 0);
    }

    // Writes a 230 V / 5 A sine of 50 Hz at running indices from..from+count-1.
    void writeSine(uint64_t from, uint32_t count) {
        float* u = nullptr;
        float* i = nullptr;
        ASSERT_EQ(status(getWaveformBufferUInput(handle, 0, &u)), 0);
        ASSERT_EQ(status(getWaveformBufferI(handle, 0, &i)), 0);
        const uint64_t ring = handle->getBufferLength();
        for (uint64_t k = from; k < from + count; ++k) {
            const double s = std::sin(2.0 * kPi * 50.0 * static_cast<double>(k) / 10000.0);
            u[k % ring] = static_cast<float>(230.0 * std::sqrt(2.0) * s);
            i[k % ring] = static_cast<float>(5.0 * std::sqrt(2.0) * s);
        }
        ASSERT_EQ(status(writeSamples(handle, count)), 0);
    }

    // reset, two windows of ten periods written and scheduled.
    void scheduleTwoWindows() {
        ASSERT_EQ(status(reset(handle, 0)), 0);
        writeSine(0, 4000);
        ASSERT_EQ(status(scheduleForCalculation(handle, 0, 2000, 50.0)), 0);
        ASSERT_EQ(status(scheduleForCalculation(handle, 2000, 2000, 50.0)), 0);
    }

    PowerModuleHandle handle = nullptr;
};

}  // namespace

// ---- null handles and null out-pointers ----------------------------------------------

TEST_F(FlatInterfaceTest, NullHandleIsRefusedByEveryFunctionExceptDestroy) {
    bool flag = true;
    uint8_t u8 = 7;
    uint16_t u16 = 7;
    int32_t i32 = 7;
    double real = 7.0;
    float* ring = reinterpret_cast<float*>(&real);
    PowerResultsGeneral records[1];
    PowerResultsPeriod* periods = nullptr;
    uint64_t start = 0;
    const PowerModuleHandle none = nullptr;
    const std::vector<std::pair<const char*, std::function<PowerStatusCode()>>> calls = {
        {"beginUpdate", [&] { return beginUpdate(none); }},
        {"endUpdate", [&] { return endUpdate(none); }},
        {"writeSamples", [&] { return writeSamples(none, 1); }},
        {"skipSamples", [&] { return skipSamples(none, 1); }},
        {"scheduleForCalculation", [&] { return scheduleForCalculation(none, 0, 100, 50.0); }},
        {"scheduleForPeriodCalculation",
         [&] { return scheduleForPeriodCalculation(none, 1, &start, &i32, &real, &flag); }},
        {"isAnyResultReady", [&] { return isAnyResultReady(none, &flag); }},
        {"getResults", [&] { return getResults(none, 1, &i32, records); }},
        {"getPeriodResults", [&] { return getPeriodResults(none, &i32, &flag, &periods); }},
        {"syncCuda", [&] { return syncCuda(none); }},
        {"reset", [&] { return reset(none, 0); }},
        {"getWaveformBufferUInput", [&] { return getWaveformBufferUInput(none, 0, &ring); }},
        {"getWaveformBufferParkI", [&] { return getWaveformBufferParkI(none, 0, &ring); }},
        {"getWaveformBufferMechAngles", [&] { return getWaveformBufferMechAngles(none, &ring); }},
        {"getThdEnabled", [&] { return getThdEnabled(none, &flag); }},
        {"getWaveformsEnabled", [&] { return getWaveformsEnabled(none, &flag); }},
        {"getPhasesCount", [&] { return getPhasesCount(none, &u8); }},
        {"getHalfPeriodValuesCount", [&] { return getHalfPeriodValuesCount(none, &u16); }},
        {"getHighestRequestedHarmonic", [&] { return getHighestRequestedHarmonic(none, &i32); }},
        {"getMechAngleOffset", [&] { return getMechAngleOffset(none, &real); }},
        {"getRvcThresholdInPercentOfAverage", [&] { return getRvcThresholdInPercentOfAverage(none, &real); }},
        {"setBufferLength", [&] { return setBufferLength(none, 100); }},
        {"setSampleRate", [&] { return setSampleRate(none, 100.0, 1); }},
        {"setStaticFrequency", [&] { return setStaticFrequency(none, 50.0, 0.1); }},
        {"setVariableFrequency", [&] { return setVariableFrequency(none, 45.0, 55.0); }},
        {"setGridConfigType", [&] { return setGridConfigType(none, ThreePhaseStar); }},
        {"setPeriodCount", [&] { return setPeriodCount(none, 5); }},
        {"setPolePairs", [&] { return setPolePairs(none, 2); }},
        {"setRvcThresholdHysteresisInPercentOfThreshold",
         [&] { return setRvcThresholdHysteresisInPercentOfThreshold(none, 10.0); }},
        {"setThdEnabled", [&] { return setThdEnabled(none, true); }},
        {"setMechanicalAngleUsed", [&] { return setMechanicalAngleUsed(none, true); }},
        {"getBackend", [&] { return getBackend(none, &i32); }},
        {"getLastErrorMessage", [&] { return getLastErrorMessage(none, nullptr, 0, &i32); }},
    };
    for (const auto& call : calls) {
        EXPECT_EQ(status(call.second()), 1) << call.first;
    }
    EXPECT_TRUE(flag);
    EXPECT_EQ(u8, 7);
    EXPECT_EQ(u16, 7);
    EXPECT_EQ(i32, 7);
    EXPECT_EQ(real, 7.0);
    EXPECT_EQ(ring, reinterpret_cast<float*>(&real));
    EXPECT_EQ(periods, nullptr);
    EXPECT_TRUE(reports().empty());
    EXPECT_NE(lastError(handle).find("null"), std::string::npos);

    EXPECT_EQ(status(powerModule_destroy(nullptr)), 0);
}

TEST_F(FlatInterfaceTest, UnavailableBackendsGiveNoModule) {
    EXPECT_EQ(powerModule_createOnBackend(7), nullptr);
    EXPECT_EQ(powerModule_createOnBackend(-1), nullptr);
    const PowerModuleHandle cuda = powerModule_createOnBackend(POWER_BACKEND_CUDA);
    EXPECT_EQ(cuda != nullptr, powergpu::isBackendAvailable(powergpu::Backend::Cuda));
    if (cuda != nullptr) {
        int32_t backend = -1;
        EXPECT_EQ(status(getBackend(cuda, &backend)), 0);
        EXPECT_EQ(backend, POWER_BACKEND_CUDA);
        EXPECT_EQ(status(powerModule_destroy(cuda)), 0);
    }
    int32_t backend = -1;
    EXPECT_EQ(status(getBackend(handle, &backend)), 0);
    EXPECT_EQ(backend, POWER_BACKEND_CPU);
    EXPECT_TRUE(reports().empty());
}

TEST_F(FlatInterfaceTest, NullOutPointersAreRejected) {
    PowerResultsGeneral records[1];
    EXPECT_EQ(status(getPhasesCount(handle, nullptr)), 1);
    EXPECT_NE(lastError(handle).find("null"), std::string::npos);
    EXPECT_EQ(status(isAnyResultReady(handle, nullptr)), 1);
    EXPECT_EQ(status(getResults(handle, 1, nullptr, records)), 1);
    EXPECT_EQ(status(getWaveformBufferUInput(handle, 0, nullptr)), 1);
    EXPECT_EQ(status(getBackend(handle, nullptr)), 1);
    EXPECT_TRUE(reports().empty());
}

TEST_F(FlatInterfaceTest, FailingGetterLeavesItsOutVariableAlone) {
    PowerModule source(POWER_BACKEND_CPU);
    PowerModule target(std::move(source));
    PowerModuleHandle movedFrom = &source;  // holds no implementation any more
    uint8_t phases = 42;
    double offset = -3.5;
    bool ready = true;
    EXPECT_EQ(status(getPhasesCount(movedFrom, &phases)), 1);
    EXPECT_EQ(status(getMechAngleOffset(movedFrom, &offset)), 1);
    EXPECT_EQ(status(isAnyResultReady(movedFrom, &ready)), 1);
    EXPECT_EQ(phases, 42);
    EXPECT_EQ(offset, -3.5);
    EXPECT_TRUE(ready);
    EXPECT_FALSE(lastError(handle).empty());
    EXPECT_EQ(status(getPhasesCount(&target, &phases)), 0);
    EXPECT_EQ(phases, 1);
}

// ---- GPU failures end to end ---------------------------------------------------------

TEST_F(FlatInterfaceTest, AllocationFailureIsReportedAndTheModuleRecovers) {
    cpuRuntime(handle).injectFault(RuntimeCall::HostAlloc, powergpu::kErrorMemoryAllocation);
    ASSERT_EQ(status(setBufferLength(handle, 6000)), 3);

    const std::regex expected("^CUDA error in file 'CudaBuffer', line [0-9]+; error 2: out of memory$");
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].first, 1);
    EXPECT_TRUE(std::regex_match(reports()[0].second, expected)) << reports()[0].second;
    EXPECT_EQ(lastError(handle), reports()[0].second);
    EXPECT_EQ(handle->getBufferLength(), 6000u);  // the setting stays

    // The next rebuild completes and the module works at the new length.
    ASSERT_EQ(status(setBufferLength(handle, 6000)), 0);
    EXPECT_EQ(lastError(handle), "");
    ASSERT_EQ(status(reset(handle, 0)), 0);
    writeSine(0, 2000);
    ASSERT_EQ(status(scheduleForCalculation(handle, 0, 2000, 50.0)), 0);
    PowerResultsGeneral records[2];
    int32_t count = -1;
    ASSERT_EQ(status(getResults(handle, 2, &count, records)), 0);
    ASSERT_EQ(count, 1);
    EXPECT_NEAR(records[0].channels[0].rmsU, 230.0, 230.0 * 1e-4);
    EXPECT_EQ(reports().size(), 1u);
}

TEST_F(FlatInterfaceTest, FftFailuresCarryTheSameLocationWhateverTheCall) {
    CpuRuntime& runtime = cpuRuntime(handle);
    const std::regex form("^CUFFT error in file 'CudaErrorHandling', line ([0-9]+); error 5: Internal error$");
    std::vector<std::string> lines;
    bool thd = false;
    for (const RuntimeCall call : {RuntimeCall::FftCreate, RuntimeCall::FftPlanMany, RuntimeCall::FftDestroy}) {
        reports().clear();
        runtime.injectFault(call, powergpu::kFftInternalError);
        thd = !thd;
        EXPECT_EQ(status(setThdEnabled(handle, thd)), 3);
        ASSERT_EQ(reports().size(), 1u);
        EXPECT_EQ(reports()[0].first, 1);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(reports()[0].second, match, form)) << reports()[0].second;
        lines.push_back(match[1]);
        EXPECT_EQ(lastError(handle), reports()[0].second);
    }
    EXPECT_EQ(lines[0], lines[1]);
    EXPECT_EQ(lines[1], lines[2]);

    // Nothing of the failed rebuilds lingers once a rebuild succeeds.
    ASSERT_EQ(status(setThdEnabled(handle, true)), 0);
    EXPECT_EQ(runtime.livePlans(), handle->implementation()->getFftPlans().size());
    EXPECT_EQ(runtime.livePlans(), 1u);
}

TEST_F(FlatInterfaceTest, WindowIsRejectedWhileTheModuleHasNoPlan) {
    cpuRuntime(handle).injectFault(RuntimeCall::FftPlanMany, powergpu::kFftInternalError);
    ASSERT_EQ(status(setThdEnabled(handle, true)), 3);
    ASSERT_EQ(status(reset(handle, 0)), 0);
    writeSine(0, 2000);
    reports().clear();
    EXPECT_EQ(status(scheduleForCalculation(handle, 0, 2000, 50.0)), 1);
    EXPECT_TRUE(reports().empty());
    EXPECT_NE(lastError(handle).find("plan"), std::string::npos);
    EXPECT_EQ(handle->implementation()->getResultsQueueSize(), 1u);  // only the pending item
}

TEST_F(FlatInterfaceTest, UnknownFftResultsAreNamedUnknown) {
    EXPECT_STREQ(powergpu::cufftResultName(17), "<unknown>");
    EXPECT_STREQ(powergpu::cufftResultName(-1), "<unknown>");
    EXPECT_STREQ(powergpu::cufftResultName(15), "<unknown>");
    EXPECT_STREQ(powergpu::cufftResultName(16), "Not supported");
    EXPECT_STREQ(powergpu::cufftResultName(0), "CUFFT_SUCCESS");

    for (const int code : {17, -1}) {
        cpuRuntime(handle).injectFault(RuntimeCall::FftPlanMany, code);
        EXPECT_EQ(status(setThdEnabled(handle, code == 17)), 3);
        const std::string expectedEnd = "; error " + std::to_string(code) + ": <unknown>";
        const std::string message = lastError(handle);
        ASSERT_GE(message.size(), expectedEnd.size());
        EXPECT_EQ(message.substr(message.size() - expectedEnd.size()), expectedEnd);
    }
}

TEST_F(FlatInterfaceTest, WithoutAReporterFailuresStillReturnGpuError) {
    EXPECT_EQ(status(registerErrorReporter(nullptr)), 0);
    EXPECT_EQ(reportErrorCallbackFunction, nullptr);
    cpuRuntime(handle).injectFault(RuntimeCall::Malloc, powergpu::kErrorMemoryAllocation);
    EXPECT_EQ(status(setBufferLength(handle, 7000)), 3);
    EXPECT_TRUE(reports().empty());
    EXPECT_EQ(lastError(handle).rfind("CUDA error in file 'CudaBuffer'", 0), 0u);

    EXPECT_EQ(status(registerErrorReporter(&recordReport)), 0);
    EXPECT_EQ(reportErrorCallbackFunction, &recordReport);
    cpuRuntime(handle).injectFault(RuntimeCall::DeviceSynchronize, powergpu::kErrorLaunchFailure);
    EXPECT_EQ(status(syncCuda(handle)), 3);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_TRUE(std::regex_match(reports()[0].second,
                                 std::regex("^CUDA error in file 'PowerModuleImpl', line [0-9]+; error 719: "
                                            "unspecified launch failure$")))
        << reports()[0].second;
}

// ---- the last error message ----------------------------------------------------------

TEST_F(FlatInterfaceTest, LastErrorMessageIsPerThreadTruncatedAndClearedBySuccess) {
    EXPECT_EQ(status(writeSamples(handle, 10)), 1);  // before reset
    const std::string full = lastError(handle);
    ASSERT_GT(full.size(), 12u);

    char small[10];
    std::memset(small, 'x', sizeof small);
    int32_t length = 0;
    EXPECT_EQ(status(getLastErrorMessage(handle, small, sizeof small, &length)), 0);
    EXPECT_EQ(length, static_cast<int32_t>(full.size()));
    EXPECT_EQ(std::string(small), full.substr(0, 9));
    // Reading it does not replace it.
    EXPECT_EQ(status(getLastErrorMessage(handle, nullptr, 0, &length)), 0);
    EXPECT_EQ(length, static_cast<int32_t>(full.size()));

    std::string seenElsewhere = "unset";
    std::thread other([&] { seenElsewhere = lastError(handle); });
    other.join();
    EXPECT_EQ(seenElsewhere, "");
    EXPECT_EQ(lastError(handle), full);

    bool enabled = true;
    EXPECT_EQ(status(getThdEnabled(handle, &enabled)), 0);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(lastError(handle), "");
    EXPECT_EQ(status(getLastErrorMessage(handle, nullptr, 0, &length)), 0);
    EXPECT_EQ(length, 0);
}

// ---- results that do not fit ---------------------------------------------------------

TEST_F(FlatInterfaceTest, MaxCountZeroFailsOnlyWhenAWindowWasReady) {
    ASSERT_EQ(status(reset(handle, 0)), 0);
    int32_t count = 99;
    EXPECT_EQ(status(getResults(handle, 0, &count, nullptr)), 0);
    EXPECT_EQ(count, 0);

    writeSine(0, 2000);
    ASSERT_EQ(status(scheduleForCalculation(handle, 0, 2000, 50.0)), 0);
    count = 99;
    PowerResultsGeneral records[1];
    EXPECT_EQ(status(getResults(handle, 0, &count, records)), 2);
    EXPECT_EQ(count, 99);
    EXPECT_EQ(lastError(handle), kTooMany);
    EXPECT_TRUE(reports().empty());
}

TEST_F(FlatInterfaceTest, NegativeMaxCountIsRefusedBeforeAnythingLeavesTheQueue) {
    scheduleTwoWindows();
    int32_t count = 99;
    PowerResultsGeneral records[2];
    EXPECT_EQ(status(getResults(handle, -1, &count, records)), 2);
    EXPECT_EQ(count, 99);
    EXPECT_NE(lastError(handle).find("Too many results"), std::string::npos);

    bool ready = false;
    ASSERT_EQ(status(isAnyResultReady(handle, &ready)), 0);
    EXPECT_TRUE(ready);
    ASSERT_EQ(status(getResults(handle, 2, &count, records)), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(records[0].firstSampleIndex, 0u);
    EXPECT_EQ(records[1].firstSampleIndex, 2000u);
}

// ---- rejected calls change nothing -----------------------------------------------------

TEST_F(FlatInterfaceTest, SamplesBeforeResetAreRejected) {
    const PowerModule::PowerModuleImpl& impl = *handle->implementation();
    cpuRuntime(handle).setCallLogging(true);
    EXPECT_EQ(status(writeSamples(handle, 10)), 1);
    EXPECT_NE(lastError(handle).find("reset"), std::string::npos);
    EXPECT_EQ(status(skipSamples(handle, 10)), 1);
    EXPECT_NE(lastError(handle).find("reset"), std::string::npos);
    EXPECT_EQ(impl.getSamplesWritten(), 0u);
    EXPECT_EQ(impl.getNextSampleToCalculate(), 0u);
    EXPECT_EQ(impl.getNextSampleToDeliver(), 0u);
    for (const powergpu::LoggedCall& call : cpuRuntime(handle).callLog()) {
        EXPECT_NE(call.call, RuntimeCall::MemcpyAsync);
    }
    EXPECT_TRUE(reports().empty());
}

TEST_F(FlatInterfaceTest, MoreThanOneRingOfSamplesIsRejected) {
    scheduleTwoWindows();
    PowerModule::PowerModuleImpl& impl = *handle->implementation();
    const std::size_t queued = impl.getResultsQueueSize();
    cpuRuntime(handle).setCallLogging(true);
    EXPECT_EQ(status(writeSamples(handle, 5001)), 1);
    EXPECT_NE(lastError(handle).find("5001"), std::string::npos);
    EXPECT_EQ(impl.getSamplesWritten(), 4000u);
    EXPECT_EQ(impl.getResultsQueueSize(), queued);
    for (const powergpu::LoggedCall& call : cpuRuntime(handle).callLog()) {
        EXPECT_NE(call.call, RuntimeCall::MemcpyAsync);
    }
    // Exactly one ring is accepted.
    EXPECT_EQ(status(writeSamples(handle, 5000)), 0);
    EXPECT_EQ(impl.getSamplesWritten(), 9000u);
}

TEST_F(FlatInterfaceTest, ImpossibleBufferLengthKeepsTheRingWhereItWas) {
    ASSERT_EQ(status(setGridConfigType(handle, ThreePhaseStar)), 0);
    float* before = nullptr;
    ASSERT_EQ(status(getWaveformBufferI(handle, 1, &before)), 0);
    ASSERT_NE(before, nullptr);

    EXPECT_EQ(status(setBufferLength(handle, -1)), 1);
    EXPECT_FALSE(lastError(handle).empty());
    EXPECT_TRUE(reports().empty());
    // The caller may still ask for its rings; they must not point outside them.
    float* after = nullptr;
    ASSERT_EQ(status(getWaveformBufferI(handle, 1, &after)), 0);
    EXPECT_EQ(after, before);
}
