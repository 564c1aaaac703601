// The flat interface as a caller sees it: status codes, untouched out-pointers,
// the reporter and the per-thread message, the exact messages of GPU and FFT
// calls made to fail through the CPU runtime, rejections, and the export table.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "buffers/ErrorChecks.h"
#include "support/TestSupport.h"

namespace {

using namespace powergpu::test;
using powergpu::RuntimeCall;

// A single-phase module on the CPU backend: 10 kHz, a ring of 5000 samples.
class FlatInterface : public RecordedHandleTest {
protected:
    void SetUp() override {
        RecordedHandleTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(status(beginUpdate(handle)), 0);
        ASSERT_EQ(status(setSampleRate(handle, 10000.0, 1)), 0);
        ASSERT_EQ(status(setBufferLength(handle, 5000)), 0);
        ASSERT_EQ(status(endUpdate(handle)), 0);
    }
    // Resets at `from` and writes a 230 V / 5 A sine of 50 Hz up to from + count.
    void resetAndWrite(uint64_t from, uint32_t count) {
        ASSERT_EQ(status(reset(handle, from)), 0);
        ModuleFeeder feeder(*handle, [](char kind, int, double t) {
            return (kind == 'U' ? 230.0 : 5.0) * kSqrt2 * std::sin(kTwoPi * 50.0 * t);
        });
        feeder.restartAt(from);
        feeder.writeUpTo(from + count);
    }
    powergpu::RecordingRuntime& runtime() { return recordingRuntime(*handle); }
    void expectNoCopies() {
        EXPECT_TRUE(callsOf(runtime().callLog(), RuntimeCall::MemcpyAsync).empty());
        EXPECT_TRUE(reports().empty()) << "rejections are not GPU errors";
    }
};

}  // namespace

TEST_F(FlatInterface, NullHandleIsRefusedByEveryFunctionExceptDestroyAndOutVariablesStayAlone) {
    bool flag = true;
    uint8_t u8 = 7;
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
        {"scheduleForCalculation", [&] { return scheduleForCalculation(none, 0, 100, 50.0); }},
        {"scheduleForPeriod", [&] { return scheduleForPeriodCalculation(none, 1, &start, &i32, &real, &flag); }},
        {"isAnyResultReady", [&] { return isAnyResultReady(none, &flag); }},
        {"getResults", [&] { return getResults(none, 1, &i32, records); }},
        {"getPeriodResults", [&] { return getPeriodResults(none, &i32, &flag, &periods); }},
        {"reset", [&] { return reset(none, 0); }},
        {"getWaveformBufferUInput", [&] { return getWaveformBufferUInput(none, 0, &ring); }},
        {"getWaveformBufferMechAngles", [&] { return getWaveformBufferMechAngles(none, &ring); }},
        {"getThdEnabled", [&] { return getThdEnabled(none, &flag); }},
        {"getPhasesCount", [&] { return getPhasesCount(none, &u8); }},
        {"getHighestRequestedHarmonic", [&] { return getHighestRequestedHarmonic(none, &i32); }},
        {"getMechAngleOffset", [&] { return getMechAngleOffset(none, &real); }},
        {"setBufferLength", [&] { return setBufferLength(none, 100); }},
        {"setStaticFrequency", [&] { return setStaticFrequency(none, 50.0, 0.1); }},
        {"setGridConfigType", [&] { return setGridConfigType(none, ThreePhaseStar); }},
        {"setThdEnabled", [&] { return setThdEnabled(none, true); }},
        {"setMechanicalAngleUsed", [&] { return setMechanicalAngleUsed(none, true); }},
        {"getBackend", [&] { return getBackend(none, &i32); }},
    };
    for (const auto& call : calls) {
        EXPECT_EQ(status(call.second()), 1) << call.first;
    }
    EXPECT_TRUE(flag && u8 == 7 && i32 == 7 && real == 7.0 && periods == nullptr);
    EXPECT_EQ(ring, reinterpret_cast<float*>(&real));
    EXPECT_TRUE(reports().empty());
    EXPECT_NE(lastError(handle).find("null"), std::string::npos);
    EXPECT_EQ(status(powerModule_destroy(nullptr)), 0);
}

// Creation answers null and reports nothing; the thread's message, read with
// a null handle, tells why, and a later success clears it.
TEST_F(FlatInterface, FailedCreationCallsNoReporterAndItsReasonIsReadWithoutAHandle) {
    EXPECT_EQ(powerModule_createOnBackend(7), nullptr);
    EXPECT_NE(lastError(nullptr).find("unknown backend 7"), std::string::npos) << lastError(nullptr);
    const PowerModuleHandle cuda = powerModule_createOnBackend(POWER_BACKEND_CUDA);
    if (cuda == nullptr) {
        // The reason names what failed: the device query or the cuFFT files tried.
        const std::string reason = lastError(nullptr);
        EXPECT_EQ(reason.rfind("the CUDA backend is not available: ", 0), 0u) << reason;
        EXPECT_TRUE(reason.find("no CUDA device") != std::string::npos || reason.find("cuFFT") != std::string::npos ||
                    reason.find("built without") != std::string::npos)
            << reason;
    } else {
        EXPECT_EQ(lastError(nullptr), "");
        EXPECT_EQ(status(powerModule_destroy(cuda)), 0);
    }
    EXPECT_TRUE(reports().empty()) << reports().front().second;
    int32_t length = -1;
    EXPECT_EQ(status(getLastErrorMessage(nullptr, nullptr, -1, &length)), 1) << "negative capacity";
    EXPECT_EQ(status(getLastErrorMessage(nullptr, nullptr, 4, &length)), 1) << "no buffer for 4 bytes";
    EXPECT_EQ(length, -1);
    const PowerModuleHandle created = powerModule_create();
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(lastError(nullptr), "") << "a successful creation clears the message";
    EXPECT_EQ(status(powerModule_destroy(created)), 0);
}

TEST_F(FlatInterface, NullOutPointersAreRejected) {
    PowerResultsGeneral records[1];
    EXPECT_EQ(status(getPhasesCount(handle, nullptr)), 1);
    EXPECT_NE(lastError(handle).find("null"), std::string::npos);
    EXPECT_EQ(status(isAnyResultReady(handle, nullptr)), 1);
    EXPECT_EQ(status(getResults(handle, 1, nullptr, records)), 1);
    EXPECT_EQ(status(getWaveformBufferUInput(handle, 0, nullptr)), 1);
    EXPECT_EQ(status(getBackend(handle, nullptr)), 1);
    EXPECT_TRUE(reports().empty());
}

TEST_F(FlatInterface, AllocationFailureIsReportedWithItsWholeMessageAndTheModuleRecovers) {
    runtime().injectFault(RuntimeCall::HostAlloc, powergpu::kErrorMemoryAllocation);
    ASSERT_EQ(status(setBufferLength(handle, 6000)), 3);
    ASSERT_EQ(reports().size(), 1u);
    EXPECT_EQ(reports()[0].first, 1);
    EXPECT_TRUE(
        std::regex_match(reports()[0].second,
                         std::regex("^CPU backend error in file 'CudaBuffer', line [0-9]+; error 2: out of memory$")))
        << reports()[0].second;
    EXPECT_EQ(lastError(handle), reports()[0].second);
    EXPECT_EQ(handle->getBufferLength(), 6000u) << "the setting stays";
    // The next rebuild completes and the module computes a window again.
    ASSERT_EQ(status(setBufferLength(handle, 6000)), 0);
    EXPECT_EQ(lastError(handle), "");
    resetAndWrite(0, 2000);
    ASSERT_EQ(status(scheduleForCalculation(handle, 0, 2000, 50.0)), 0);
    PowerResultsGeneral records[2];
    int32_t count = -1;
    ASSERT_EQ(status(getResults(handle, 2, &count, records)), 0);
    ASSERT_EQ(count, 1);
    EXPECT_NEAR(records[0].channels[0].rmsU, 230.0, 230.0 * 1e-4);
    EXPECT_EQ(reports().size(), 1u);
    // Without a reporter a failure still returns status 3 and leaves its message.
    EXPECT_TRUE(status(registerErrorReporter(nullptr)) == 0 && reportErrorCallbackFunction == nullptr);
    runtime().injectFault(RuntimeCall::DeviceSynchronize, powergpu::kErrorLaunchFailure);
    EXPECT_EQ(status(syncCuda(handle)), 3);
    EXPECT_EQ(reports().size(), 1u);
    EXPECT_TRUE(std::regex_match(
        lastError(handle),
        std::regex(
            "^CPU backend error in file 'PowerModuleImpl', line [0-9]+; error 719: unspecified launch failure$")));
}

TEST_F(FlatInterface, FftFailuresCarryOneLocationWhateverTheCallAndLeaveNoPlanBehind) {
    const std::regex form(
        "^CPU backend FFT error in file 'CudaErrorHandling', line ([0-9]+); error 5: Internal error$");
    std::set<std::string> lines;
    bool thd = false;
    for (const RuntimeCall call : {RuntimeCall::FftCreate, RuntimeCall::FftPlanMany, RuntimeCall::FftDestroy}) {
        reports().clear();
        runtime().injectFault(call, powergpu::kFftInternalError);
        thd = !thd;
        EXPECT_EQ(status(setThdEnabled(handle, thd)), 3);
        ASSERT_EQ(reports().size(), 1u);
        EXPECT_EQ(reports()[0].first, 1);
        std::smatch match;
        ASSERT_TRUE(std::regex_match(reports()[0].second, match, form)) << reports()[0].second;
        lines.insert(match[1]);
        EXPECT_EQ(lastError(handle), reports()[0].second);
    }
    EXPECT_EQ(lines.size(), 1u);
    ASSERT_EQ(status(setThdEnabled(handle, true)), 0);
    EXPECT_EQ(runtime().livePlans(), 1u);
    // Codes without a name are "<unknown>".
    for (const int code : {17, -1}) {
        EXPECT_STREQ(powergpu::cufftResultName(code), "<unknown>");
        runtime().injectFault(RuntimeCall::FftPlanMany, code);
        EXPECT_EQ(status(setThdEnabled(handle, code == 17)), 3);
        const std::string end = "; error " + std::to_string(code) + ": <unknown>";
        const std::string message = lastError(handle);
        ASSERT_GE(message.size(), end.size());
        EXPECT_EQ(message.substr(message.size() - end.size()), end);
    }
}

TEST_F(FlatInterface, LastErrorMessageIsPerThreadTruncatedAndClearedBySuccess) {
    EXPECT_EQ(status(writeSamples(handle, 10)), 1);  // before reset
    const std::string full = lastError(handle);
    ASSERT_GT(full.size(), 12u);
    char small[10];
    std::memset(small, 'x', sizeof small);
    int32_t length = 0;
    EXPECT_EQ(status(getLastErrorMessage(handle, small, sizeof small, &length)), 0);
    EXPECT_EQ(length, static_cast<int32_t>(full.size()));
    EXPECT_EQ(std::string(small), full.substr(0, 9));
    EXPECT_EQ(status(getLastErrorMessage(handle, nullptr, 0, &length)), 0) << "reading does not replace it";
    EXPECT_EQ(length, static_cast<int32_t>(full.size()));
    std::string seenElsewhere = "unset";
    std::thread other([&] { seenElsewhere = lastError(handle); });
    other.join();
    EXPECT_EQ(seenElsewhere, "");
    EXPECT_EQ(lastError(handle), full);
    bool enabled = true;
    EXPECT_EQ(status(getThdEnabled(handle, &enabled)), 0);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(status(getLastErrorMessage(handle, nullptr, 0, &length)), 0);
    EXPECT_EQ(length, 0);
}

TEST_F(FlatInterface, SamplesBeforeResetOrBeyondOneRingAreRejected) {
    const Impl& impl = *handle->implementation();
    runtime().setCallLogging(true);
    for (const bool skip : {false, true}) {
        EXPECT_EQ(status(skip ? skipSamples(handle, 10) : writeSamples(handle, 10)), 1);
        EXPECT_NE(lastError(handle).find("reset"), std::string::npos);
    }
    EXPECT_EQ(impl.scheduler().getSamplesWritten() + impl.scheduler().getNextSampleToCalculate() +
                  impl.scheduler().getNextSampleToDeliver(),
              0u);
    expectNoCopies();
    resetAndWrite(0, 4000);
    ASSERT_EQ(status(scheduleForCalculation(handle, 0, 2000, 50.0)), 0);
    const std::size_t queued = handle->implementation()->scheduler().getResultsQueueSize();
    runtime().clearCallLog();
    EXPECT_EQ(status(writeSamples(handle, 5001)), 1);
    EXPECT_NE(lastError(handle).find("5001"), std::string::npos);
    EXPECT_EQ(impl.scheduler().getSamplesWritten(), 4000u);
    EXPECT_EQ(handle->implementation()->scheduler().getResultsQueueSize(), queued);
    expectNoCopies();
    EXPECT_EQ(status(writeSamples(handle, 5000)), 0) << "exactly one ring is accepted";
    EXPECT_EQ(impl.scheduler().getSamplesWritten(), 9000u);
}

TEST_F(FlatInterface, ImpossibleBufferLengthKeepsTheRingsWhereTheyWere) {
    ASSERT_EQ(status(setGridConfigType(handle, ThreePhaseStar)), 0);
    float* before = nullptr;
    ASSERT_EQ(status(getWaveformBufferI(handle, 1, &before)), 0);
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(status(setBufferLength(handle, -1)), 1);
    EXPECT_FALSE(lastError(handle).empty());
    EXPECT_TRUE(reports().empty());
    float* after = nullptr;
    ASSERT_EQ(status(getWaveformBufferI(handle, 1, &after)), 0);
    EXPECT_EQ(after, before);
    EXPECT_EQ(handle->implementation()->settings().getBuffers().waveforms.getLength(), 5000u);
}

TEST_F(FlatInterface, UnknownGridTypeBehavesAsSinglePhaseWithoutTouchingTheTable) {
    const auto unknown = static_cast<PowerGridConfigType>(8);
    ASSERT_EQ(status(setGridConfigType(handle, unknown)), 0);
    EXPECT_EQ(handle->implementation()->settings().getGridConfigType(), unknown);
    EXPECT_EQ(handle->implementation()->settings().getGridConfig().type, SinglePhase);
    uint8_t phases = 0, voltages = 0, currents = 0;
    ASSERT_EQ(status(getPhasesCount(handle, &phases)), 0);
    ASSERT_EQ(status(getVoltagesCount(handle, &voltages)), 0);
    ASSERT_EQ(status(getCurrentsCount(handle, &currents)), 0);
    EXPECT_TRUE(phases == 1 && voltages == 1 && currents == 1);
    EXPECT_EQ(handle->implementation()->settings().getBuffers().waveforms.getHostItemsList(),
              (std::vector<uint16_t>{0, 3}));
    EXPECT_EQ(powergpu::powerGridConfigs.size(), 8u);
    EXPECT_EQ(powergpu::powerGridConfigs.count(unknown), 0u);
}

namespace {

// The 84 functions of the flat interface, then the extensions and the exported data.
const char* const kFlatFunctions =
    "powerModule_create powerModule_destroy registerErrorReporter beginUpdate endUpdate writeSamples skipSamples "
    "scheduleForCalculation scheduleForPeriodCalculation isAnyResultReady getResults getPeriodResults syncCuda reset "
    "getWaveformBufferUInput getWaveformBufferUStar getWaveformBufferUDelta getWaveformBufferI "
    "getWaveformBufferClarkeU getWaveformBufferClarkeI getWaveformBufferParkU getWaveformBufferParkI "
    "getWaveformBufferMechAngles getClarkeOrParkCurrentsEnabled getClarkeOrParkVoltagesEnabled "
    "getClarkeOrParkWaveformsEnabled getClarkeTransformEnabled getCurrentEnabled getFullFftEnabled "
    "getFundamentalPeriodValuesEnabled getInterHarmonicsEnabled getLineToLineResultsEnabled getMechanicalAngleUsed "
    "getParkTransformEnabled getPeriodSymmetricalComponentsEnabled getPeriodValuesEnabled getRvcEnabled "
    "getSymmetricalComponentsEnabled getThdEnabled getWaveformsEnabled getCurrentsCount getVoltagesCount "
    "getPhasesCount getHalfPeriodValuesCount getPeriodValuesOverlapInPercent getHighestRequestedHarmonic "
    "getThdHighestHarmonic getPolePairs getMechAngleOffset getRvcSteadyStateLengthInNumberOfPeriodValues "
    "getRvcThresholdInPercentOfAverage getRvcThresholdHysteresisInPercentOfThreshold setBufferLength setSampleRate "
    "setStaticFrequency setVariableFrequency setGridConfigType setPeriodCount setHalfPeriodValuesCount "
    "setPeriodValuesOverlapInPercent setHighestRequestedHarmonic setThdHighestHarmonic setPolePairs "
    "setMechAngleOffset setRvcSteadyStateLengthInNumberOfPeriodValues setRvcThresholdInPercentOfAverage "
    "setRvcThresholdHysteresisInPercentOfThreshold setClarkeOrParkCurrentsEnabled setClarkeOrParkVoltagesEnabled "
    "setClarkeOrParkWaveformsEnabled setClarkeTransformEnabled setParkTransformEnabled setCurrentEnabled "
    "setFullFftEnabled setFundamentalPeriodValuesEnabled setInterHarmonicsEnabled setLineToLineResultsEnabled "
    "setMechanicalAngleUsed setPeriodSymmetricalComponentsEnabled setPeriodValuesEnabled setRvcEnabled "
    "setSymmetricalComponentsEnabled setThdEnabled setWaveformsEnabled";
const char* const kExtensionsAndData =
    "powerModule_createOnBackend getBackend getLastErrorMessage powerModule_getVersion reportErrorCallbackFunction "
    "powerGridConfigs setVoltageEventsEnabled getVoltageEventsEnabled setVoltageEventDeclaredVoltage "
    "getVoltageEventDeclaredVoltage setVoltageDipThresholdInPercent getVoltageDipThresholdInPercent "
    "setVoltageSwellThresholdInPercent getVoltageSwellThresholdInPercent setVoltageInterruptionThresholdInPercent "
    "getVoltageInterruptionThresholdInPercent setVoltageEventHysteresisInPercent getVoltageEventHysteresisInPercent "
    "setVoltageEventSlidingReferenceEnabled getVoltageEventSlidingReferenceEnabled getVoltageEvents "
    "getVoltageEventsInProgress";

std::vector<std::string> namesIn(const char* list) {
    std::istringstream words(list);
    return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
}

// Defined dynamic symbols of the shared library as nm names them.
std::set<std::string> dynamicSymbols(const char* options) {
    const std::string command = std::string("nm ") + options + " --defined-only '" + POWERGPU_SHARED_LIBRARY_PATH;
    std::set<std::string> names;
    FILE* pipe = popen((command + "' 2>/dev/null").c_str(), "r");
    for (char line[4096]; pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr;) {
        const std::string text(line, std::strcspn(line, "\n"));  // "<address> <T> <name>"
        if (text.find(' ') != std::string::npos && text.find(' ') + 3 < text.size()) {
            names.insert(text.substr(text.find(' ') + 3));
        }
    }
    if (pipe != nullptr) {
        pclose(pipe);
    }
    return names;
}

}  // namespace

TEST(ExportedSymbols, EveryFunctionAndDataSymbolIsFoundUnderItsCName) {
    const std::vector<std::string> flat = namesIn(kFlatFunctions);
    ASSERT_EQ(std::set<std::string>(flat.begin(), flat.end()).size(), 84u);
    void* library = dlopen(POWERGPU_SHARED_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    const std::set<std::string> table = dynamicSymbols("-D");
    ASSERT_FALSE(table.empty()) << "nm could not read the library";
    for (const char* list : {kFlatFunctions, kExtensionsAndData}) {
        for (const std::string& name : namesIn(list)) {
            EXPECT_NE(dlsym(library, name.c_str()), nullptr) << name;
            EXPECT_EQ(table.count(name), 1u) << name << " is not exported unmangled";
        }
    }
    using Version = int32_t (*)(int32_t*, int32_t*, int32_t*);
    const auto version = reinterpret_cast<Version>(dlsym(library, "powerModule_getVersion"));
    int32_t major = -1, minor = -1, patch = -1;
    ASSERT_NE(version, nullptr);
    EXPECT_EQ(version(&major, &minor, &patch), 0);
    EXPECT_TRUE(major == 1 && minor == 0 && patch == 0);
    EXPECT_EQ(*static_cast<void* const*>(dlsym(library, "reportErrorCallbackFunction")), nullptr);
    dlclose(library);
    EXPECT_EQ(dynamicSymbols("-DC").count("PowerSymmetricalComponents::a"), 1u);
}
