// Shared helpers of the module-level tests: the backends to run on, feeding
// synthetic signals into a module's rings, reading the test runtime's call
// log, the flat interface's status and message, and phasor arithmetic.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "module/PowerModuleImpl.h"
#include "powergpu.h"
#include "powergpu.hpp"
#include "runtime/CpuRuntime.h"
#include "support/RecordingRuntime.h"

namespace powergpu::test {

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kSqrt3 = 1.7320508075688772;
using Complex = std::complex<double>;
using Impl = PowerModule::PowerModuleImpl;

// Backend-parameterised suites are always instantiated for both backends, so
// the test list does not depend on the machine the tests were listed on.
// Whether a test of a backend runs is decided when it runs:
//  - POWERGPU_TEST_BACKEND=cpu or cuda: the other backend's tests are skipped;
//  - a CUDA test runs where CUDA is usable; where it is not, it is skipped,
//    unless POWERGPU_TEST_BACKEND=cuda asks for CUDA: then it fails with the
//    library's reason, so a run meant for a device cannot pass without one.
// POWERGPU_TEST_PRETEND_NO_CUDA=1 makes the tests treat CUDA as unusable (to
// check this rule on a machine with a device).
std::vector<int32_t> backendsUnderTest();
bool cudaUsable();
std::string backendName(const ::testing::TestParamInfo<int32_t>& info);

// Applies the rule to the running test of `backend`: skips it or adds a
// fatal failure that gives the library's reason.
void requireBackend(int32_t backend);

// Base of backend-parameterised suites: the rule is applied before each test.
class BackendTest : public ::testing::TestWithParam<int32_t> {
protected:
    void SetUp() override { requireBackend(GetParam()); }
};

// Sets the sample rate and the ring length, then `more`, in one update
// bracket, and resets the module to running index 0.
void configure(PowerModule& module, double sampleRate, uint64_t ring,
               const std::function<void(PowerModule&)>& more = {}, int positionsPerSample = 1);

// An input channel's value at a time: 'U' voltage, 'I' current, 'A' mechanical angle (rad).
using SignalFunction = std::function<double(char kind, int channel, double seconds)>;

// Writes samples through the ring pointers at the running index and announces them.
class ModuleFeeder {
public:
    ModuleFeeder(PowerModule& module, SignalFunction signal) : module_(module), signal_(std::move(signal)) {}
    void write(uint32_t count);
    // Writes up to (excluding) running index `end` in blocks of at most `block`.
    void writeUpTo(uint64_t end, uint32_t block = 1000);
    uint64_t written() const { return written_; }
    void restartAt(uint64_t runningIndex) { written_ = runningIndex; }

private:
    PowerModule& module_;
    SignalFunction signal_;
    uint64_t written_ = 0;
};

// One cycle reported to the module, in sub-sample positions.
struct Cycle {
    uint64_t start;
    int length;
    double frequency;
    bool valid = true;
};
// Reports the cycles to the module in one call.
void scheduleCycles(PowerModule& module, const std::vector<Cycle>& cycles);
// Every period value handed out now: per value its records, the summary first, then the phases'.
std::vector<std::vector<PowerResultsPeriod>> takePeriodValues(PowerModule& module);

// Calls each of the given boolean setters of the module with true.
inline void enable(PowerModule& module, std::initializer_list<void (PowerModule::*)(bool)> setters) {
    for (const auto setter : setters) {
        (module.*setter)(true);
    }
}

inline const auto radians = [](double degrees) { return degrees * kPi / 180.0; };
inline const auto polar = [](double rms, double degrees) { return std::polar(rms, radians(degrees)); };
double wrapDegrees(double angle);  // folded into (-180, 180]
inline const auto angleDistance = [](double a, double b) { return std::abs(wrapDegrees(a - b)); };
// The sample of an rms phasor's sine at angular frequency w and time t.
inline const auto sine = [](const Complex& u, double w, double t) {
    return kSqrt2 * std::abs(u) * std::sin(w * t + std::arg(u));
};
// Three phase phasors built from zero, positive and negative sequence phasors.
std::vector<Complex> phasesOf(const Complex& zero, const Complex& positive, const Complex& negative);

// Modules and flat handles whose runtime is the test runtime wrapping the
// backend's (fault injection, call log, live counts); recordingRuntime gives
// it back (the module must be one of these).
PowerModule recordedModule(int32_t backend = POWER_BACKEND_CPU);
PowerModuleHandle recordedHandle(int32_t backend = POWER_BACKEND_CPU);
RecordingRuntime& recordingRuntime(const PowerModule& module);
// The launch's argument record; fails the test unless there is exactly one launch of it.
template <typename Args>
Args launchArgs(const std::vector<LoggedCall>& log);
std::vector<std::size_t> indicesOf(const std::vector<LoggedCall>& log, RuntimeCall kind);
std::vector<LoggedCall> callsOf(const std::vector<LoggedCall>& log, RuntimeCall kind);
int countLaunches(const std::vector<LoggedCall>& log, const std::string& kernel);
// The only launch of `kernel`; fails the test unless there is exactly one.
LoggedCall launchOf(const std::vector<LoggedCall>& log, const std::string& kernel);

template <typename Args>
Args launchArgs(const std::vector<LoggedCall>& log) {
    const LoggedCall call = launchOf(log, Args::kName);
    return std::holds_alternative<Args>(call.args) ? std::get<Args>(call.args) : Args{};
}

inline const auto status = [](PowerStatusCode code) { return static_cast<int>(code); };
// The last error message of this thread (checked for a consistent length).
std::string lastError(PowerModuleHandle handle);
// Reports received by recordReport, the reporter the tests register.
std::vector<std::pair<int32_t, std::string>>& reports();
void recordReport(int32_t kind, const char* message);

// A flat handle on the CPU test runtime, with recordReport registered and
// its reports cleared for each test; the handle is destroyed (which must
// succeed whatever the test did to it) before the reporter is unregistered.
class RecordedHandleTest : public ::testing::Test {
protected:
    void SetUp() override {
        reports().clear();
        registerErrorReporter(&recordReport);
        handle = recordedHandle();
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(status(powerModule_destroy(handle)), 0) << "destroy is always safe";
        registerErrorReporter(nullptr);
    }

    PowerModuleHandle handle = nullptr;
};

}  // namespace powergpu::test

// requireBackend in a test body: returns from it unless the test is to run.
#define POWERGPU_REQUIRE_BACKEND(backend)                                       \
    do {                                                                        \
        ::powergpu::test::requireBackend(backend);                              \
        if (::testing::Test::IsSkipped() || ::testing::Test::HasFatalFailure()) \
            return;                                                             \
    } while (false)

#define POWERGPU_INSTANTIATE_FOR_BACKENDS(Suite)                                                          \
    INSTANTIATE_TEST_SUITE_P(Backends, Suite, ::testing::ValuesIn(::powergpu::test::backendsUnderTest()), \
                             ::powergpu::test::backendName)
