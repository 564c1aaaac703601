// The CUDA backend of the runtime seam: every call maps one to one onto the
// CUDA runtime (linked statically) or onto cuFFT, which is loaded at run
// time so that the library also loads and runs its CPU backend on machines
// without CUDA libraries or driver.
//
// This header deliberately includes no CUDA header: the factory and the
// tests use it without the toolkit's include directories.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runtime/Runtime.h"

namespace powergpu {

// True when the CUDA runtime reports at least one device and cuFFT could be
// loaded with every function the backend calls.
bool isCudaRuntimeUsable();

// Why the CUDA backend cannot be used in this process, in one line: the
// device query's error with the driver's and the runtime's CUDA versions
// (an old driver cannot serve the runtime linked in), or every cuFFT file
// tried and why it failed. Empty when the backend is usable.
std::string cudaUnusableReason();

// A CUDA runtime; null when isCudaRuntimeUsable() is false.
std::unique_ptr<Runtime> createCudaRuntime();

namespace detail {

// The environment variable that names the cuFFT library to load (a path or
// a file name); when it is set, nothing else is tried.
constexpr const char* kCufftLibraryVariable = "POWERGPU_CUFFT_LIBRARY";

// The cuFFT files to try, in order. An explicit library (not null, not
// empty) is tried alone. Otherwise: libcufft.so.<major version of the cuFFT
// header the library was built with>, the other supported majors newest
// first, then libcufft.so; each first by its bare name (the dynamic
// loader's search path), then, when cudaHome is set, in <cudaHome>/lib64.
std::vector<std::string> cufftLibraryCandidates(const char* explicitLibrary, const char* cudaHome);

// The list this process tries: from POWERGPU_CUFFT_LIBRARY and CUDA_HOME as
// they were when it was first needed.
const std::vector<std::string>& cufftLibraryCandidateList();

// Whether the shared library of the given file name can be loaded and
// provides every cuFFT function the backend calls. The library is closed
// again before returning; the process-wide cuFFT binding is not touched.
bool cufftLibraryProvidesApi(const char* fileName);

// The file cuFFT was loaded from for the process, or null when it could
// not be loaded.
const char* loadedCufftLibrary();

}  // namespace detail

}  // namespace powergpu
