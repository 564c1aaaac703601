#include "support/TestSupport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include "module/PowerConfig.h"
#include "runtime/Runtime.h"

namespace powergpu::test {

namespace {

bool pretendNoCuda() {
    const char* pretend = std::getenv("POWERGPU_TEST_PRETEND_NO_CUDA");
    return pretend != nullptr && std::string(pretend) == "1";
}

std::string requestedBackend() {
    const char* chosen = std::getenv("POWERGPU_TEST_BACKEND");
    return chosen == nullptr ? "" : chosen;
}

enum class Verdict { Run, Skip, Fail };
struct BackendDecision {
    Verdict verdict;
    std::string why;
};

// The rule of TestSupport.h for a test of `backend`, given POWERGPU_TEST_BACKEND,
// whether CUDA is usable and, if not, the reason.
BackendDecision decideBackend(int32_t backend, const std::string& requested, bool usable, const std::string& reason) {
    const bool cuda = backend == POWER_BACKEND_CUDA;
    if ((requested == "cpu" && cuda) || (requested == "cuda" && !cuda)) {
        return {Verdict::Skip, "POWERGPU_TEST_BACKEND=" + requested + " leaves this backend out"};
    }
    if (!cuda || usable) {
        return {Verdict::Run, ""};
    }
    if (requested == "cuda") {
        return {Verdict::Fail, "POWERGPU_TEST_BACKEND=cuda asks for CUDA, but CUDA is not usable here: " + reason};
    }
    return {Verdict::Skip, "CUDA is not usable here: " + reason};
}

}  // namespace

bool cudaUsable() {
    return !pretendNoCuda() && isBackendAvailable(Backend::Cuda);
}

std::vector<int32_t> backendsUnderTest() {
    return {POWER_BACKEND_CPU, POWER_BACKEND_CUDA};
}

std::string backendName(const ::testing::TestParamInfo<int32_t>& info) {
    return info.param == POWER_BACKEND_CUDA ? "Cuda" : "Cpu";
}

void requireBackend(int32_t backend) {
    const bool usable = cudaUsable();
    std::string reason;
    if (!usable && backend == POWER_BACKEND_CUDA) {
        reason = pretendNoCuda() ? "POWERGPU_TEST_PRETEND_NO_CUDA=1" : unavailableReason(Backend::Cuda);
    }
    const BackendDecision decision = decideBackend(backend, requestedBackend(), usable, reason);
    if (decision.verdict == Verdict::Skip) {
        GTEST_SKIP() << decision.why;
    }
    if (decision.verdict == Verdict::Fail) {
        FAIL() << decision.why;
    }
}

void configure(PowerModule& module, double sampleRate, uint64_t ring, const std::function<void(PowerModule&)>& more,
               int positionsPerSample) {
    module.beginUpdate();
    module.setSampleRate(sampleRate, positionsPerSample);
    module.setBufferLength(ring);
    if (more) {
        more(module);
    }
    module.endUpdate();
    module.reset(0);
}

void ModuleFeeder::write(uint32_t count) {
    // The rings are those of the last rebuild, whatever is stored since.
    const PowerConfig& config = module_.implementation()->settings().getAppliedConfig();
    const PowerGridConfig grid = config.getGridConfig();
    const uint64_t ring = module_.implementation()->settings().getBuffers().getBufferLength();
    const double rate = module_.getSampleRate();
    const auto fill = [&](float* base, char kind, int channel) {
        for (uint64_t index = written_; index < written_ + count; ++index) {
            base[index % ring] = static_cast<float>(signal_(kind, channel, static_cast<double>(index) / rate));
        }
    };
    for (int c = 0; c < grid.voltagesCount; ++c) {
        fill(module_.getWaveformBufferUInput(static_cast<uint8_t>(c)), 'U', c);
    }
    for (int c = 0; config.currentEnabled && c < grid.currentsCount; ++c) {
        fill(module_.getWaveformBufferI(static_cast<uint8_t>(c)), 'I', c);
    }
    if (config.mechanicalAngleUsed && module_.getWaveformBufferMechAngles() != nullptr) {
        fill(module_.getWaveformBufferMechAngles(), 'A', 0);
    }
    module_.writeSamples(count);
    written_ += count;
}

void ModuleFeeder::writeUpTo(uint64_t end, uint32_t block) {
    block = static_cast<uint32_t>(std::min<uint64_t>(block, module_.getBufferLength()));
    while (written_ < end) {
        write(static_cast<uint32_t>(std::min<uint64_t>(block, end - written_)));
    }
}

void scheduleCycles(PowerModule& module, const std::vector<Cycle>& cycles) {
    std::vector<uint64_t> starts;
    std::vector<int> lengths;
    std::vector<double> frequencies;
    const std::unique_ptr<bool[]> valid(new bool[cycles.size() + 1]);
    for (std::size_t k = 0; k < cycles.size(); ++k) {
        starts.push_back(cycles[k].start);
        lengths.push_back(cycles[k].length);
        frequencies.push_back(cycles[k].frequency);
        valid[k] = cycles[k].valid;
    }
    module.scheduleForPeriodCalculation(static_cast<int>(cycles.size()), starts.data(), lengths.data(),
                                        frequencies.data(), valid.get());
}

std::vector<std::vector<PowerResultsPeriod>> takePeriodValues(PowerModule& module) {
    std::vector<std::vector<PowerResultsPeriod>> values;
    const std::size_t perValue = module.getPhasesCount() + 1u;
    for (bool more = true; more;) {
        int count = 0;
        PowerResultsPeriod* records = nullptr;
        module.getPeriodResults(&count, &more, &records);
        for (int n = 0; n < count; ++n) {
            values.emplace_back(records + n * perValue, records + (n + 1) * perValue);
        }
    }
    return values;
}

double wrapDegrees(double angle) {
    double wrapped = std::fmod(angle, 360.0);
    return wrapped <= -180.0 ? wrapped + 360.0 : wrapped > 180.0 ? wrapped - 360.0 : wrapped;
}

std::vector<Complex> phasesOf(const Complex& zero, const Complex& positive, const Complex& negative) {
    const Complex a = polar(1.0, 120.0);
    return {zero + positive + negative, zero + a * a * positive + a * negative, zero + a * positive + a * a * negative};
}

PowerModule recordedModule(int32_t backend) {
    std::shared_ptr<Runtime> wrapped = createRuntime(static_cast<Backend>(backend));
    return Impl::moduleAround(std::make_shared<RecordingRuntime>(std::move(wrapped)));
}

PowerModuleHandle recordedHandle(int32_t backend) {
    // The flat interface's destroy deletes the module, as for its own handles.
    return new PowerModule(recordedModule(backend));
}

RecordingRuntime& recordingRuntime(const PowerModule& module) {
    return dynamic_cast<RecordingRuntime&>(module.implementation()->runtime());
}

std::vector<std::size_t> indicesOf(const std::vector<LoggedCall>& log, RuntimeCall kind) {
    std::vector<std::size_t> indices;
    for (std::size_t k = 0; k < log.size(); ++k) {
        if (log[k].call == kind) {
            indices.push_back(k);
        }
    }
    return indices;
}

std::vector<LoggedCall> callsOf(const std::vector<LoggedCall>& log, RuntimeCall kind) {
    std::vector<LoggedCall> calls;
    std::copy_if(log.begin(), log.end(), std::back_inserter(calls),
                 [kind](const LoggedCall& c) { return c.call == kind; });
    return calls;
}

int countLaunches(const std::vector<LoggedCall>& log, const std::string& kernel) {
    return static_cast<int>(std::count_if(log.begin(), log.end(), [&](const LoggedCall& c) {
        return c.call == RuntimeCall::KernelLaunch && c.kernel == kernel;
    }));
}

LoggedCall launchOf(const std::vector<LoggedCall>& log, const std::string& kernel) {
    EXPECT_EQ(countLaunches(log, kernel), 1) << kernel;
    const auto found = std::find_if(log.begin(), log.end(), [&](const LoggedCall& c) {
        return c.call == RuntimeCall::KernelLaunch && c.kernel == kernel;
    });
    return found == log.end() ? LoggedCall{} : *found;
}

std::string lastError(PowerModuleHandle handle) {
    char text[512] = "not written";
    int32_t length = -1;
    EXPECT_EQ(status(getLastErrorMessage(handle, text, sizeof text, &length)), 0);
    EXPECT_EQ(length, static_cast<int32_t>(std::strlen(text)));
    return text;
}

std::vector<std::pair<int32_t, std::string>>& reports() {
    static std::vector<std::pair<int32_t, std::string>> received;
    return received;
}

void recordReport(int32_t kind, const char* message) {
    reports().emplace_back(kind, message);
}

}  // namespace powergpu::test
