#include <string>

#include "powergpu.hpp"
#include "runtime/CpuRuntime.h"
#include "runtime/Runtime.h"

#ifdef POWERGPU_HAVE_CUDA
#include "runtime/cuda/CudaRuntime.h"
#endif

namespace powergpu {

bool isBackendAvailable(Backend backend) {
    switch (backend) {
        case Backend::Automatic:
        case Backend::Cpu:
            return true;
        case Backend::Cuda:
#ifdef POWERGPU_HAVE_CUDA
            return isCudaRuntimeUsable();
#else
            return false;
#endif
    }
    return false;
}

std::string unavailableReason(Backend backend) {
    if (backend != Backend::Cuda) {
        return {};
    }
#ifdef POWERGPU_HAVE_CUDA
    return cudaUnusableReason();
#else
    return "this library was built without the CUDA backend";
#endif
}

std::unique_ptr<Runtime> createRuntime(Backend backend) {
    switch (backend) {
        case Backend::Cpu:
            return std::make_unique<CpuRuntime>();
        case Backend::Cuda: {
#ifdef POWERGPU_HAVE_CUDA
            std::unique_ptr<Runtime> runtime = createCudaRuntime();
            if (runtime != nullptr) {
                return runtime;
            }
#endif
            // The reason travels with the failure, so that a caller whose
            // module could not be created learns why from its message.
            const std::string reason = unavailableReason(Backend::Cuda);
            throw PowerInvalidCall("the CUDA backend is not available: " +
                                   (reason.empty() ? std::string("it became unusable while starting") : reason));
        }
        case Backend::Automatic:
            if (isBackendAvailable(Backend::Cuda)) {
                return createRuntime(Backend::Cuda);
            }
            return std::make_unique<CpuRuntime>();
    }
    return nullptr;
}

}  // namespace powergpu
