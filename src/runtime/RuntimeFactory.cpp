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

std::unique_ptr<Runtime> createRuntime(Backend backend) {
    switch (backend) {
        case Backend::Cpu:
            return std::make_unique<CpuRuntime>();
        case Backend::Cuda:
#ifdef POWERGPU_HAVE_CUDA
            return isCudaRuntimeUsable() ? createCudaRuntime() : nullptr;
#else
            return nullptr;
#endif
        case Backend::Automatic:
            if (isBackendAvailable(Backend::Cuda)) {
                return createRuntime(Backend::Cuda);
            }
            return std::make_unique<CpuRuntime>();
    }
    return nullptr;
}

}  // namespace powergpu
