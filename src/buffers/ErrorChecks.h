// Checks that turn a failed GPU runtime or FFT call into a GpuException.
//
// CUDA_CALL(runtime, call) throws
//   "CUDA error in file '<file>', line <line>; error <code>: <text>"
// on the CUDA backend; the CPU backend's message starts "CPU backend error".
// where <file> is the location tag (kErrorLocation) of the file that holds
// the check and <text> is the runtime's text for the code.
// CUFFT_CALL(result) throws
//   "CUFFT error in file 'CudaErrorHandling', line <line>; error <code>: <name>"
// with the file and line of the test inside CUFFT_CALL itself, so every FFT
// failure carries the same location whatever the call site.
#pragma once

#include <string>

#include "powergpu.hpp"
#include "runtime/Runtime.h"

namespace powergpu {

// The name of a cuFFT result code; "<unknown>" outside the known codes.
const char* cufftResultName(int result);

[[noreturn]] void throwCudaError(const Runtime& runtime, int code, const char* location, int line);

inline void checkCudaResult(const Runtime& runtime, int code, const char* location, int line) {
    if (code != kSuccess) {
        throwCudaError(runtime, code, location, line);
    }
}

}  // namespace powergpu

// The location a message names is the file's own tag, kErrorLocation,
// defined by every file that checks calls: what users read does not change
// when a source file is renamed or moved.
#define CUDA_CALL(runtime, call) ::powergpu::checkCudaResult((runtime), (call), kErrorLocation, __LINE__)

// Throws GpuException for any result other than 0.
void CUFFT_CALL(int result);
// The same, naming the backend whose FFT failed ("CUFFT error" on CUDA,
// "CPU backend FFT error" on the CPU).
void CUFFT_CALL(const powergpu::Runtime& runtime, int result);
void CUFFT_CALL(int result, const char* prefix);
