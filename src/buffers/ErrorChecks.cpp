#include "buffers/ErrorChecks.h"

#include <cstring>

GpuException::~GpuException() = default;

const char* GpuException::what() const noexcept { return message_.c_str(); }

PowerErrorTooManyResults::~PowerErrorTooManyResults() = default;

PowerInvalidCall::~PowerInvalidCall() = default;

namespace powergpu {

const char* cufftResultName(int result) {
    switch (result) {
        case 0: return "CUFFT_SUCCESS";
        case 1: return "Invalid plan";
        case 2: return "Alloc failed";
        case 3: return "Invalid type";
        case 4: return "Invalid value";
        case 5: return "Internal error";
        case 6: return "cufft exec failed";
        case 7: return "cufft setup failed";
        case 8: return "Invalid size";
        case 9: return "Unaligned data";
        case 10: return "Incomplete parameter list";
        case 11: return "Invalid device";
        case 12: return "Parse error";
        case 13: return "No workspace";
        case 14: return "Not implemented";
        case 16: return "Not supported";
        default: return "<unknown>";
    }
}

namespace {

// Messages name the backend whose call failed, so that a CPU-only user is
// not sent looking for a GPU problem.
bool onCuda(const Runtime& runtime) { return runtime.backend() == Backend::Cuda; }

}  // namespace

void throwCudaError(const Runtime& runtime, int code, const char* location, int line) {
    std::string message = onCuda(runtime) ? "CUDA error in file '" : "CPU backend error in file '";
    message += location;
    message += "', line ";
    message += std::to_string(line);
    message += "; error ";
    message += std::to_string(code);
    message += ": ";
    message += runtime.getErrorString(code);
    throw GpuException(message);
}

}  // namespace powergpu

void CUFFT_CALL(int result) { CUFFT_CALL(result, "CUFFT error in file '"); }

void CUFFT_CALL(const powergpu::Runtime& runtime, int result) {
    CUFFT_CALL(result, runtime.backend() == powergpu::Backend::Cuda ? "CUFFT error in file '"
                                                                    : "CPU backend FFT error in file '");
}

void CUFFT_CALL(int result, const char* prefix) {
    if (result != 0) {
        const int line = __LINE__;  // the location every FFT failure reports
        std::string message = prefix;
        message += "CudaErrorHandling";
        message += "', line ";
        message += std::to_string(line);
        message += "; error ";
        message += std::to_string(result);
        message += ": ";
        message += powergpu::cufftResultName(result);
        throw GpuException(message);
    }
}
