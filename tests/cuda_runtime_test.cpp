// The CUDA runtime seam: event ordering across streams, memset, the batched
// real-to-complex layout, launch errors that do not linger, and the run-time
// loading of cuFFT (which needs only a CUDA build, not a device).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/Runtime.h"
#include "support/TestSupport.h"

#ifdef POWERGPU_HAVE_CUDA
#include <cuda_runtime_api.h>
#include <cufft.h>
#include <dlfcn.h>

#include <cstdlib>

#include "runtime/cuda/CudaRuntime.h"
#endif

namespace powergpu {
namespace {

constexpr double kPi = 3.14159265358979323846;

// A CUDA runtime and everything a test allocated on it, released at the end.
class CudaRuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        POWERGPU_REQUIRE_BACKEND(POWER_BACKEND_CUDA);
#ifdef POWERGPU_HAVE_CUDA
        rt = createCudaRuntime();
#endif
        ASSERT_NE(rt, nullptr);
        ASSERT_EQ(rt->backend(), Backend::Cuda);
        ASSERT_EQ(rt->streamCreateWithFlags(&a, kStreamNonBlocking), kSuccess);
        ASSERT_EQ(rt->streamCreateWithFlags(&b, kStreamNonBlocking), kSuccess);
    }
    void TearDown() override {
        if (rt == nullptr) {
            return;
        }
        rt->deviceSynchronize();
        for (const auto& allocation : allocations_) {
            allocation.second ? rt->freeHost(allocation.first) : rt->free(allocation.first);
        }
        rt->streamDestroy(a);
        rt->streamDestroy(b);
    }
    template <typename T>
    T* allocate(std::size_t count, bool pinned = false) {  // device memory, or pinned host memory
        void* pointer = nullptr;
        const std::size_t bytes = count * sizeof(T);
        EXPECT_EQ(pinned ? rt->hostAlloc(&pointer, bytes, 0) : rt->malloc(&pointer, bytes), kSuccess);
        allocations_.emplace_back(pointer, pinned);
        return static_cast<T*>(pointer);
    }
    std::unique_ptr<Runtime> rt;
    StreamHandle a = nullptr, b = nullptr;

private:
    std::vector<std::pair<void*, bool>> allocations_;
};

// Stream a fills the device array; stream b copies it back only after an
// event recorded behind a's copy. Large enough that an unordered copy back
// would see the memset pattern; a memset of a range leaves the rest alone.
TEST_F(CudaRuntimeTest, EventOrdersWorkAcrossStreamsAndMemsetWritesOnlyItsRange) {
    constexpr std::size_t kCount = std::size_t{1} << 22;
    float* source = allocate<float>(kCount, true);
    float* destination = allocate<float>(kCount, true);
    float* device = allocate<float>(kCount);
    ASSERT_TRUE(source != nullptr && destination != nullptr && device != nullptr);
    for (std::size_t i = 0; i < kCount; ++i) {
        source[i] = static_cast<float>(i % 9973) * 0.25f + 1.0f;
        destination[i] = -7.0f;
    }
    EventHandle copied = nullptr;
    ASSERT_EQ(rt->eventCreateWithFlags(&copied, kEventDisableTiming), kSuccess);
    ASSERT_EQ(rt->memsetAsync(device, 0xFF, kCount * sizeof(float), a), kSuccess);
    ASSERT_EQ(rt->memcpyAsync(device, source, kCount * sizeof(float), MemcpyKind::HostToDevice, a), kSuccess);
    ASSERT_EQ(rt->memsetAsync(device + 100, 0, 250 * sizeof(float), a), kSuccess);
    ASSERT_EQ(rt->eventRecord(copied, a), kSuccess);
    const int early = rt->eventQuery(copied);
    EXPECT_TRUE(early == kSuccess || early == kErrorNotReady) << early;
    ASSERT_EQ(rt->streamWaitEvent(b, copied, 0), kSuccess);
    ASSERT_EQ(rt->memcpyAsync(destination, device, kCount * sizeof(float), MemcpyKind::DeviceToHost, b), kSuccess);
    ASSERT_EQ(rt->deviceSynchronize(), kSuccess);
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < kCount; ++i) {
        mismatches += destination[i] != (i >= 100 && i < 350 ? 0.0f : source[i]) ? 1 : 0;
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(rt->eventQuery(copied), kSuccess);
    EXPECT_EQ(rt->takeLastLaunchError(), kSuccess) << "a 'not ready' answer is no error of the next launch";
    rt->eventDestroy(copied);
}

// Three rows of 64 in one batch: a cosine at bin 5 (|X5| = n/2), a constant
// (X0 = n) and a sine of amplitude 2 at bin 3 (X3 = -j n, the forward sign
// convention). Row c's bins start at c (n/2 + 1); nothing past the last row is written.
TEST_F(CudaRuntimeTest, BatchedRealToComplexTransformHasTheRowLayout) {
    constexpr int kN = 64, kBatch = 3, kBins = kN / 2 + 1, kTail = 8, kOut = kBins * kBatch + kTail;
    float* hostInput = allocate<float>(kN * kBatch, true);
    float2* hostOutput = allocate<float2>(kOut, true);
    float* input = allocate<float>(kN * kBatch);
    float2* output = allocate<float2>(kOut);
    ASSERT_TRUE(hostInput != nullptr && hostOutput != nullptr && input != nullptr && output != nullptr);
    for (int t = 0; t < kN; ++t) {
        hostInput[t] = static_cast<float>(std::cos(2.0 * kPi * 5.0 * t / kN));
        hostInput[kN + t] = 1.0f;
        hostInput[2 * kN + t] = static_cast<float>(2.0 * std::sin(2.0 * kPi * 3.0 * t / kN));
    }
    FftPlanParameters parameters;
    parameters.n = parameters.inembed = parameters.idist = kN;
    parameters.onembed = parameters.odist = kBins;
    parameters.istride = parameters.ostride = 1;
    parameters.type = kFftTypeR2C;
    parameters.batch = kBatch;
    FftHandle fft = 0;
    ASSERT_EQ(rt->fftCreate(&fft), kFftSuccess);
    ASSERT_EQ(rt->fftPlanMany(fft, parameters), kFftSuccess);
    ASSERT_EQ(rt->memcpyAsync(input, hostInput, sizeof(float) * kN * kBatch, MemcpyKind::HostToDevice, a), kSuccess);
    ASSERT_EQ(rt->memsetAsync(output, 0xFF, sizeof(float2) * kOut, a), kSuccess);  // NaN everywhere
    ASSERT_EQ(rt->fftSetStream(fft, a), kFftSuccess);
    ASSERT_EQ(rt->fftExecR2C(fft, input, output), kFftSuccess);
    ASSERT_EQ(rt->memcpyAsync(hostOutput, output, sizeof(float2) * kOut, MemcpyKind::DeviceToHost, a), kSuccess);
    ASSERT_EQ(rt->deviceSynchronize(), kSuccess);
    for (int k = 0; k < kBins * kBatch; ++k) {
        const int row = k / kBins, bin = k % kBins;
        const float re = row == 0 && bin == 5 ? kN / 2.0f : row == 1 && bin == 0 ? float(kN) : 0.0f;
        const float im = row == 2 && bin == 3 ? -float(kN) : 0.0f;
        EXPECT_NEAR(hostOutput[k].x, re, 1e-3f) << "row " << row << " bin " << bin;
        EXPECT_NEAR(hostOutput[k].y, im, 1e-3f) << "row " << row << " bin " << bin;
    }
    for (int k = kBins * kBatch; k < kOut; ++k) {
        EXPECT_TRUE(std::isnan(hostOutput[k].x) && std::isnan(hostOutput[k].y)) << "written past the last row";
    }
    rt->fftDestroy(fft);
}

TEST_F(CudaRuntimeTest, PlanOfLengthZeroIsRejected) {
    FftPlanParameters parameters;
    parameters.n = 0;
    parameters.batch = 1;
    FftHandle fft = 0;
    ASSERT_EQ(rt->fftCreate(&fft), kFftSuccess);
    EXPECT_NE(rt->fftPlanMany(fft, parameters), kFftSuccess);
    rt->fftDestroy(fft);
}

// An impossible launch is reported by the next takeLastLaunchError and only that
// one, so later launches are not blamed for it; the device stays usable.
TEST_F(CudaRuntimeTest, FailedLaunchIsReportedOnce) {
    float* ring = allocate<float>(64);
    PowerResultsGeneral* results = allocate<PowerResultsGeneral>(1);
    Launch launch;
    launch.block = Dim3{4096, 1, 1};
    launch.stream = a;
    rt->launch(launch, RmsUArgs{{1, 0, 64}, ring, results});
    EXPECT_NE(rt->takeLastLaunchError(), kSuccess);
    EXPECT_EQ(rt->takeLastLaunchError(), kSuccess);
    ASSERT_EQ(rt->memsetAsync(ring, 0, 64 * sizeof(float), a), kSuccess);
    EXPECT_EQ(rt->deviceSynchronize(), kSuccess);
}

#ifdef POWERGPU_HAVE_CUDA

// The loader's rule: the major version of the cuFFT header the library was
// built with comes first (CUDA 12 toolkits ship cuFFT 11, CUDA 13 ones cuFFT
// 12), the other supported majors follow newest first, the unversioned name
// last; each bare name (the loader's path) is followed by the same file under
// $CUDA_HOME/lib64; an explicit library is the only candidate.
TEST(CufftLoader, CandidatesFollowTheHeaderVersionThenTheOtherMajorsThenTheToolkitFolder) {
    const std::string own = "libcufft.so." + std::to_string(CUFFT_VER_MAJOR);
    std::vector<std::string> expected{own};
    for (const char* name : {"libcufft.so.12", "libcufft.so.11"}) {
        if (name != own) {
            expected.emplace_back(name);
        }
    }
    expected.emplace_back("libcufft.so");
    EXPECT_EQ(detail::cufftLibraryCandidates(nullptr, nullptr), expected);
    EXPECT_EQ(detail::cufftLibraryCandidates("", ""), expected) << "empty variables count as unset";

    std::vector<std::string> withToolkit;
    for (const std::string& name : expected) {
        withToolkit.push_back(name);
        withToolkit.push_back("/opt/cuda-x/lib64/" + name);
    }
    EXPECT_EQ(detail::cufftLibraryCandidates(nullptr, "/opt/cuda-x"), withToolkit);

    const std::vector<std::string> chosen{"/somewhere/libcufft.so.99"};
    EXPECT_EQ(detail::cufftLibraryCandidates("/somewhere/libcufft.so.99", "/opt/cuda-x"), chosen);

    // The process uses the rule with its own environment.
    EXPECT_EQ(detail::cufftLibraryCandidateList(),
              detail::cufftLibraryCandidates(std::getenv(detail::kCufftLibraryVariable), std::getenv("CUDA_HOME")));
}

// A runtime exists exactly when one is usable; then cuFFT is loaded and there
// is no reason, else the reason names what failed.
TEST(CufftLoader, AnUnusableBackendSaysWhy) {
    const std::unique_ptr<Runtime> runtime = createCudaRuntime();
    EXPECT_EQ(runtime != nullptr, isCudaRuntimeUsable());
    const std::string reason = cudaUnusableReason();
    if (runtime != nullptr) {
        EXPECT_NE(detail::loadedCufftLibrary(), nullptr);
        EXPECT_EQ(reason, "");
        return;
    }
    const bool noDevice = reason.rfind("no CUDA device: the device query ", 0) == 0;
    const bool noCufft = reason.rfind("cuFFT could not be loaded", 0) == 0;
    EXPECT_TRUE(noDevice || noCufft) << reason;
    if (noDevice) {  // the versions that decide whether the driver serves the runtime
        EXPECT_NE(reason.find("this library's CUDA runtime is " + std::to_string(CUDART_VERSION / 1000) + "."),
                  std::string::npos)
            << reason;
        EXPECT_TRUE(reason.find("no NVIDIA driver") != std::string::npos ||
                    reason.find("the NVIDIA driver supports CUDA up to ") != std::string::npos)
            << reason;
    } else {  // every candidate tried is named
        for (const std::string& name : detail::cufftLibraryCandidateList()) {
            EXPECT_NE(reason.find(name), std::string::npos) << name << " in " << reason;
        }
    }
}

TEST(CufftLoader, OnlyALibraryWithEveryFunctionIsUsable) {
    EXPECT_FALSE(detail::cufftLibraryProvidesApi("libpowergpu-test-no-such-library.so.0"));
    EXPECT_FALSE(detail::cufftLibraryProvidesApi(nullptr));
    if (void* libm = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL)) {
        dlclose(libm);
        EXPECT_FALSE(detail::cufftLibraryProvidesApi("libm.so.6")) << "a library without the functions";
    }
    // Every installed candidate provides the whole set (catches a misspelt symbol without a device).
    for (const std::string& name : detail::cufftLibraryCandidateList()) {
        if (void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            const bool isCufft = dlsym(library, "cufftExecR2C") != nullptr;
            dlclose(library);
            EXPECT_TRUE(!isCufft || detail::cufftLibraryProvidesApi(name.c_str())) << name;
        }
    }
}

#endif  // POWERGPU_HAVE_CUDA

}  // namespace
}  // namespace powergpu
