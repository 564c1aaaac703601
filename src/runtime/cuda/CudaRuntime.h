// The CUDA backend of the runtime seam: every call maps one to one onto the
// CUDA runtime (linked statically) or onto cuFFT, which is loaded at run
// time so that the library also loads and runs its CPU backend on machines
// without CUDA libraries or driver.
//
// This header deliberately includes no CUDA header: the factory and the
// tests use it without the toolkit's include directories.
#pragma once

#include <memory>

#include "runtime/Runtime.h"

namespace powergpu {

// True when the CUDA runtime reports at least one device and cuFFT could be
// loaded with every function the backend calls.
bool isCudaRuntimeUsable();

// A CUDA runtime; null when isCudaRuntimeUsable() is false.
std::unique_ptr<Runtime> createCudaRuntime();

namespace detail {

// Whether the shared library of the given file name can be loaded and
// provides every cuFFT function the backend calls. The library is closed
// again before returning; the process-wide cuFFT binding is not touched.
bool cufftLibraryProvidesApi(const char* fileName);

// The file names tried, in order, when cuFFT is loaded for the process.
// Null-terminated.
const char* const* cufftLibraryCandidates();

// The file name cuFFT was loaded from for the process, or null when it
// could not be loaded.
const char* loadedCufftLibrary();

}  // namespace detail

}  // namespace powergpu
