#include "support/Backends.h"

#include <cstdlib>

#include "powergpu.h"
#include "runtime/Runtime.h"

namespace powergpu::test {

bool cudaUsable() { return isBackendAvailable(Backend::Cuda); }

std::vector<int32_t> backendsUnderTest() {
    const char* chosen = std::getenv("POWERGPU_TEST_BACKEND");
    const std::string choice = chosen == nullptr ? "" : chosen;
    if (choice == "cpu") {
        return {POWER_BACKEND_CPU};
    }
    if (choice == "cuda") {
        return {POWER_BACKEND_CUDA};
    }
    std::vector<int32_t> backends = {POWER_BACKEND_CPU};
    if (cudaUsable()) {
        backends.push_back(POWER_BACKEND_CUDA);
    }
    return backends;
}

std::string backendName(const ::testing::TestParamInfo<int32_t>& info) {
    return info.param == POWER_BACKEND_CUDA ? "Cuda" : "Cpu";
}

}  // namespace powergpu::test
