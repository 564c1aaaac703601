// The CUDA backend of the runtime seam, driven through the Runtime interface:
// cross-stream ordering by events, event polling, memset, the batched
// real-to-complex transform and its output layout, error codes, and the
// run-time loading of cuFFT. Without a usable device every device test skips.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/Runtime.h"

#ifdef POWERGPU_HAVE_CUDA
#include <dlfcn.h>

#include "runtime/cuda/CudaRuntime.h"
#endif

namespace powergpu {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::unique_ptr<Runtime> makeCudaRuntime() {
#ifdef POWERGPU_HAVE_CUDA
    if (isCudaRuntimeUsable()) {
        return createCudaRuntime();
    }
#endif
    return nullptr;
}

class CudaRuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        runtime_ = makeCudaRuntime();
        if (runtime_ == nullptr) {
            GTEST_SKIP() << "no usable CUDA device";
        }
    }

    void TearDown() override {
        if (runtime_ == nullptr) {
            return;
        }
        runtime_->deviceSynchronize();
        for (FftHandle plan : plans_) {
            runtime_->fftDestroy(plan);
        }
        for (EventHandle event : events_) {
            runtime_->eventDestroy(event);
        }
        for (StreamHandle stream : streams_) {
            runtime_->streamDestroy(stream);
        }
        for (void* pointer : device_) {
            runtime_->free(pointer);
        }
        for (void* pointer : pinned_) {
            runtime_->freeHost(pointer);
        }
    }

    template <typename T>
    T* deviceArray(std::size_t count) {
        void* pointer = nullptr;
        EXPECT_EQ(runtime_->malloc(&pointer, count * sizeof(T)), kSuccess);
        if (pointer != nullptr) {
            device_.push_back(pointer);
        }
        return static_cast<T*>(pointer);
    }

    template <typename T>
    T* pinnedArray(std::size_t count) {
        void* pointer = nullptr;
        EXPECT_EQ(runtime_->hostAlloc(&pointer, count * sizeof(T), 0), kSuccess);
        if (pointer != nullptr) {
            pinned_.push_back(pointer);
        }
        return static_cast<T*>(pointer);
    }

    StreamHandle stream() {
        StreamHandle handle = nullptr;
        EXPECT_EQ(runtime_->streamCreateWithFlags(&handle, kStreamNonBlocking), kSuccess);
        EXPECT_NE(handle, nullptr);
        if (handle != nullptr) {
            streams_.push_back(handle);
        }
        return handle;
    }

    EventHandle event() {
        EventHandle handle = nullptr;
        EXPECT_EQ(runtime_->eventCreateWithFlags(&handle, kEventDisableTiming), kSuccess);
        EXPECT_NE(handle, nullptr);
        if (handle != nullptr) {
            events_.push_back(handle);
        }
        return handle;
    }

    FftHandle plan() {
        FftHandle handle = 0;
        EXPECT_EQ(runtime_->fftCreate(&handle), kFftSuccess);
        plans_.push_back(handle);
        return handle;
    }

    std::unique_ptr<Runtime> runtime_;

private:
    std::vector<void*> device_;
    std::vector<void*> pinned_;
    std::vector<StreamHandle> streams_;
    std::vector<EventHandle> events_;
    std::vector<FftHandle> plans_;
};

TEST_F(CudaRuntimeTest, ReportsTheCudaBackend) { EXPECT_EQ(runtime_->backend(), Backend::Cuda); }

// Stream A fills the device array; stream B copies it back only after an
// event recorded behind A's copy. Large enough that an unordered copy back
// would see the memset pattern instead of the data.
TEST_F(CudaRuntimeTest, EventOrdersWorkAcrossStreams) {
    constexpr std::size_t kCount = std::size_t{1} << 22;
    float* source = pinnedArray<float>(kCount);
    float* destination = pinnedArray<float>(kCount);
    float* device = deviceArray<float>(kCount);
    ASSERT_NE(source, nullptr);
    ASSERT_NE(destination, nullptr);
    ASSERT_NE(device, nullptr);
    for (std::size_t i = 0; i < kCount; ++i) {
        source[i] = static_cast<float>(i % 9973) * 0.25f + 1.0f;
        destination[i] = -7.0f;
    }
    StreamHandle a = stream();
    StreamHandle b = stream();
    ASSERT_NE(a, b);
    EventHandle copied = event();

    ASSERT_EQ(runtime_->memsetAsync(device, 0xFF, kCount * sizeof(float), a), kSuccess);
    ASSERT_EQ(runtime_->memcpyAsync(device, source, kCount * sizeof(float), MemcpyKind::HostToDevice, a),
              kSuccess);
    ASSERT_EQ(runtime_->eventRecord(copied, a), kSuccess);
    ASSERT_EQ(runtime_->streamWaitEvent(b, copied, 0), kSuccess);
    ASSERT_EQ(runtime_->memcpyAsync(destination, device, kCount * sizeof(float), MemcpyKind::DeviceToHost, b),
              kSuccess);
    ASSERT_EQ(runtime_->deviceSynchronize(), kSuccess);

    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < kCount; ++i) {
        mismatches += destination[i] != source[i] ? 1 : 0;
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(runtime_->eventQuery(copied), kSuccess);
}

TEST_F(CudaRuntimeTest, EventQueryAnswersSuccessOnceTheWorkIsDone) {
    constexpr std::size_t kBytes = std::size_t{64} << 20;
    unsigned char* device = deviceArray<unsigned char>(kBytes);
    ASSERT_NE(device, nullptr);
    StreamHandle s = stream();
    EventHandle done = event();
    for (int repeat = 0; repeat < 8; ++repeat) {
        ASSERT_EQ(runtime_->memsetAsync(device, repeat, kBytes, s), kSuccess);
    }
    ASSERT_EQ(runtime_->eventRecord(done, s), kSuccess);
    const int early = runtime_->eventQuery(done);
    EXPECT_TRUE(early == kSuccess || early == kErrorNotReady) << early;
    ASSERT_EQ(runtime_->deviceSynchronize(), kSuccess);
    EXPECT_EQ(runtime_->eventQuery(done), kSuccess);
    // A "not ready" answer is not an error of the next kernel launch.
    EXPECT_EQ(runtime_->peekAtLastError(), kSuccess);
}

TEST_F(CudaRuntimeTest, MemsetWritesOnlyTheGivenRange) {
    constexpr std::size_t kCount = 1000;
    float* host = pinnedArray<float>(kCount);
    float* device = deviceArray<float>(kCount);
    ASSERT_NE(host, nullptr);
    ASSERT_NE(device, nullptr);
    for (std::size_t i = 0; i < kCount; ++i) {
        host[i] = 3.5f;
    }
    StreamHandle s = stream();
    ASSERT_EQ(runtime_->memcpyAsync(device, host, kCount * sizeof(float), MemcpyKind::HostToDevice, s), kSuccess);
    ASSERT_EQ(runtime_->memsetAsync(device + 100, 0, 250 * sizeof(float), s), kSuccess);
    ASSERT_EQ(runtime_->memcpyAsync(host, device, kCount * sizeof(float), MemcpyKind::DeviceToHost, s), kSuccess);
    ASSERT_EQ(runtime_->deviceSynchronize(), kSuccess);
    for (std::size_t i = 0; i < kCount; ++i) {
        const float expected = (i >= 100 && i < 350) ? 0.0f : 3.5f;
        ASSERT_EQ(host[i], expected) << "element " << i;
    }
}

// Three rows of length 64 in one batched execution: a cosine at bin 5 of
// amplitude 1 (|X5| = n/2), a constant 1 (X0 = n) and a sine at bin 3 of
// amplitude 2 (X3 = -i n, the forward sign convention). Row c's outputs
// start at c (n/2 + 1); nothing past the last row is written.
TEST_F(CudaRuntimeTest, BatchedRealToComplexTransformHasTheRowLayout) {
    constexpr int kN = 64;
    constexpr int kBatch = 3;
    constexpr int kBins = kN / 2 + 1;
    constexpr int kTail = 8;
    float* hostInput = pinnedArray<float>(kN * kBatch);
    float2* hostOutput = pinnedArray<float2>(kBins * kBatch + kTail);
    float* input = deviceArray<float>(kN * kBatch);
    float2* output = deviceArray<float2>(kBins * kBatch + kTail);
    ASSERT_NE(hostInput, nullptr);
    ASSERT_NE(hostOutput, nullptr);
    ASSERT_NE(input, nullptr);
    ASSERT_NE(output, nullptr);
    for (int t = 0; t < kN; ++t) {
        hostInput[0 * kN + t] = static_cast<float>(std::cos(2.0 * kPi * 5.0 * t / kN));
        hostInput[1 * kN + t] = 1.0f;
        hostInput[2 * kN + t] = static_cast<float>(2.0 * std::sin(2.0 * kPi * 3.0 * t / kN));
    }

    FftPlanParameters parameters;
    parameters.n = kN;
    parameters.inembed = kN;
    parameters.istride = 1;
    parameters.idist = kN;
    parameters.onembed = kBins;
    parameters.ostride = 1;
    parameters.odist = kBins;
    parameters.type = kFftTypeR2C;
    parameters.batch = kBatch;
    const FftHandle fft = plan();
    ASSERT_EQ(runtime_->fftPlanMany(fft, parameters), kFftSuccess);

    StreamHandle s = stream();
    ASSERT_EQ(runtime_->memcpyAsync(input, hostInput, sizeof(float) * kN * kBatch, MemcpyKind::HostToDevice, s),
              kSuccess);
    // All bits set: NaN in every float, so an unwritten or overwritten
    // element is visible.
    ASSERT_EQ(runtime_->memsetAsync(output, 0xFF, sizeof(float2) * (kBins * kBatch + kTail), s), kSuccess);
    ASSERT_EQ(runtime_->fftSetStream(fft, s), kFftSuccess);
    ASSERT_EQ(runtime_->fftExecR2C(fft, input, output), kFftSuccess);
    ASSERT_EQ(runtime_->memcpyAsync(hostOutput, output, sizeof(float2) * (kBins * kBatch + kTail),
                                    MemcpyKind::DeviceToHost, s),
              kSuccess);
    ASSERT_EQ(runtime_->deviceSynchronize(), kSuccess);

    struct Expected {
        int row;
        int bin;
        float re;
        float im;
    };
    const Expected peaks[] = {{0, 5, kN / 2.0f, 0.0f}, {1, 0, static_cast<float>(kN), 0.0f}, {2, 3, 0.0f, -kN}};
    constexpr float kTolerance = 1e-3f;
    for (int row = 0; row < kBatch; ++row) {
        for (int bin = 0; bin < kBins; ++bin) {
            float re = 0.0f;
            float im = 0.0f;
            for (const Expected& peak : peaks) {
                if (peak.row == row && peak.bin == bin) {
                    re = peak.re;
                    im = peak.im;
                }
            }
            const float2 value = hostOutput[row * kBins + bin];
            EXPECT_NEAR(value.x, re, kTolerance) << "row " << row << " bin " << bin;
            EXPECT_NEAR(value.y, im, kTolerance) << "row " << row << " bin " << bin;
        }
    }
    EXPECT_NEAR(std::hypot(hostOutput[5].x, hostOutput[5].y), kN / 2.0, kTolerance);
    for (int i = 0; i < kTail; ++i) {
        EXPECT_TRUE(std::isnan(hostOutput[kBins * kBatch + i].x)) << "written past the last row at " << i;
        EXPECT_TRUE(std::isnan(hostOutput[kBins * kBatch + i].y)) << "written past the last row at " << i;
    }
}

TEST_F(CudaRuntimeTest, PlanOfLengthZeroIsRejected) {
    FftPlanParameters parameters;
    parameters.n = 0;
    parameters.batch = 1;
    const FftHandle fft = plan();
    EXPECT_NE(runtime_->fftPlanMany(fft, parameters), kFftSuccess);
}

TEST_F(CudaRuntimeTest, AbsurdAllocationFailsWithTheRuntimeCode) {
    void* pointer = nullptr;
    const int result = runtime_->malloc(&pointer, std::size_t{1} << 62);
    EXPECT_EQ(result, kErrorMemoryAllocation);
    if (result == kSuccess) {
        runtime_->free(pointer);
    }
    const char* text = runtime_->getErrorString(result);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(std::strlen(text), 0u);
    EXPECT_STRNE(text, runtime_->getErrorString(kSuccess));
    // The failure was reported by the call itself; it must not come back as
    // the error of the next kernel launch.
    EXPECT_EQ(runtime_->peekAtLastError(), kSuccess);
}

// A launch with an impossible execution configuration is reported by the
// next peekAtLastError and only by that one, so later launches of the
// module are not blamed for it; the device stays usable.
TEST_F(CudaRuntimeTest, FailedLaunchIsReportedOnce) {
    float* ring = deviceArray<float>(64);
    PowerResultsGeneral* results = deviceArray<PowerResultsGeneral>(1);
    ASSERT_NE(ring, nullptr);
    ASSERT_NE(results, nullptr);
    Launch launch;
    launch.grid = Dim3{1, 1, 1};
    launch.block = Dim3{4096, 1, 1};
    launch.stream = stream();
    runtime_->kernelRmsU(launch, 1, 0, 64, ring, results);
    EXPECT_NE(runtime_->peekAtLastError(), kSuccess);
    EXPECT_EQ(runtime_->peekAtLastError(), kSuccess);
    ASSERT_EQ(runtime_->memsetAsync(ring, 0, 64 * sizeof(float), launch.stream), kSuccess);
    EXPECT_EQ(runtime_->deviceSynchronize(), kSuccess);
}

#ifdef POWERGPU_HAVE_CUDA

TEST(CudaRuntimeFactory, CreatesARuntimeExactlyWhenUsable) {
    const bool usable = isCudaRuntimeUsable();
    std::unique_ptr<Runtime> runtime = createCudaRuntime();
    EXPECT_EQ(runtime != nullptr, usable);
    if (usable) {
        EXPECT_EQ(runtime->backend(), Backend::Cuda);
        EXPECT_NE(detail::loadedCufftLibrary(), nullptr);
    }
}

TEST(CufftLoader, CandidatesAreDistinctAndEndWithTheUnversionedName) {
    std::vector<std::string> names;
    for (const char* const* name = detail::cufftLibraryCandidates(); *name != nullptr; ++name) {
        names.emplace_back(*name);
    }
    ASSERT_GE(names.size(), 3u);
    EXPECT_EQ(names.back(), "libcufft.so");
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(names[i].rfind("libcufft.so", 0), 0u) << names[i];
        for (std::size_t j = i + 1; j < names.size(); ++j) {
            EXPECT_NE(names[i], names[j]);
        }
    }
    const auto position = [&](const std::string& wanted) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i] == wanted) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    ASSERT_GE(position("libcufft.so.12"), 0);
    ASSERT_GE(position("libcufft.so.11"), 0);
    EXPECT_LT(position("libcufft.so.12"), position("libcufft.so.11"));
}

TEST(CufftLoader, MissingLibraryIsNotUsable) {
    EXPECT_FALSE(detail::cufftLibraryProvidesApi("libpowergpu-test-no-such-library.so.0"));
    EXPECT_FALSE(detail::cufftLibraryProvidesApi(nullptr));
}

TEST(CufftLoader, LibraryWithoutTheFunctionsIsNotUsable) {
    void* library = dlopen("libm.so.6", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        GTEST_SKIP() << "libm.so.6 cannot be loaded here";
    }
    dlclose(library);
    EXPECT_FALSE(detail::cufftLibraryProvidesApi("libm.so.6"));
}

// Every candidate that the loader can open here must provide the whole set
// of functions (catches a misspelt symbol name without needing a device).
TEST(CufftLoader, InstalledCufftProvidesEveryFunction) {
    int found = 0;
    for (const char* const* name = detail::cufftLibraryCandidates(); *name != nullptr; ++name) {
        void* library = dlopen(*name, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            continue;
        }
        const bool isCufft = dlsym(library, "cufftExecR2C") != nullptr;
        dlclose(library);
        if (isCufft) {
            ++found;
            EXPECT_TRUE(detail::cufftLibraryProvidesApi(*name)) << *name;
        }
    }
    if (found == 0) {
        GTEST_SKIP() << "no cuFFT library installed";
    }
}

#endif  // POWERGPU_HAVE_CUDA

}  // namespace
}  // namespace powergpu
