// Our block reduction against CUB's, on the shape of the RMS kernels.
//
// The window kernels sum per row (phase) of a float ring: |x| and x^2 over
// a window of about 2000 samples. They run blocks of 32 x rows threads (one
// warp per row), one sample or a few per thread, and reduce with
// kernels/cuda/BlockReduction.cuh: a shuffle tree per row, one shared
// atomic per warp, one global atomic per block, row and value. CUB's
// BlockReduce reduces a whole block, not its rows, so its variant moves the
// rows into the grid (grid.y) and uses 1-D blocks of 256 threads with
// BlockReduce over a pair of sums, then one global atomic per block and
// value: fewer blocks and fewer atomics, at the cost of a shared-memory
// tree. Both variants are checked against a double sum on the host before
// they are timed; the benchmark fails on a mismatch.
//
//   BM_Reduce<Ours|Cub>/n   time per window of n samples and 3 rows,
//                           1000 windows queued back to back on one stream
#include <benchmark/benchmark.h>
#include <cuda_runtime.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cub/block/block_reduce.cuh>
#include <utility>
#include <vector>

#include "kernels/cuda/BlockReduction.cuh"

namespace {

constexpr int kRows = 3;
constexpr int kCubThreads = 256;
constexpr int kWindowsPerRun = 1000;

struct PairSum {
    double absolute;
    double square;
};

struct AddPairs {
    __device__ PairSum operator()(const PairSum& a, const PairSum& b) const {
        return {a.absolute + b.absolute, a.square + b.square};
    }
};

// Block (32, rows), grid over the samples, as the window launches use.
__global__ void reduceOurs(int n, const float* rows, double* sums) {
    __shared__ double blockSums[kRows][2];
    powergpu::cuda::zeroSharedScratch(&blockSums[0][0], kRows * 2);
    __syncthreads();
    const int r = static_cast<int>(threadIdx.y);
    const float* row = rows + static_cast<long long>(r) * n;
    double values[2] = {0.0, 0.0};
    for (long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x; i < n;
         i += static_cast<long long>(gridDim.x) * blockDim.x) {
        const double x = row[i];
        values[0] += fabs(x);
        values[1] += x * x;
    }
    powergpu::cuda::blockRowSums(values, blockSums[r]);
    if (threadIdx.x == 0) {
        atomicAdd(&sums[2 * r], blockSums[r][0]);
        atomicAdd(&sums[2 * r + 1], blockSums[r][1]);
    }
}

// 1-D blocks of kCubThreads, one row per grid.y.
__global__ void reduceCub(int n, const float* rows, double* sums) {
    using Reduce = cub::BlockReduce<PairSum, kCubThreads>;
    __shared__ typename Reduce::TempStorage scratch;
    const int r = static_cast<int>(blockIdx.y);
    const float* row = rows + static_cast<long long>(r) * n;
    PairSum mine{0.0, 0.0};
    for (long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x; i < n;
         i += static_cast<long long>(gridDim.x) * blockDim.x) {
        const double x = row[i];
        mine.absolute += fabs(x);
        mine.square += x * x;
    }
    const PairSum total = Reduce(scratch).Reduce(mine, AddPairs{});
    if (threadIdx.x == 0) {
        atomicAdd(&sums[2 * r], total.absolute);
        atomicAdd(&sums[2 * r + 1], total.square);
    }
}

enum class Variant { kOurs, kCub };

void launch(Variant variant, int n, const float* rows, double* sums, cudaStream_t stream) {
    if (variant == Variant::kOurs) {
        const unsigned grid = static_cast<unsigned>(std::min((n + 31) / 32, 1024));
        reduceOurs<<<dim3(grid), dim3(32, kRows), 0, stream>>>(n, rows, sums);
    } else {
        const unsigned grid = static_cast<unsigned>(std::min((n + kCubThreads - 1) / kCubThreads, 1024));
        reduceCub<<<dim3(grid, kRows), dim3(kCubThreads), 0, stream>>>(n, rows, sums);
    }
}

// Device buffers of one run, released however the benchmark ends.
struct DeviceArrays {
    float* rows = nullptr;
    double* sums = nullptr;
    cudaStream_t stream = nullptr;
    cudaEvent_t start = nullptr;
    cudaEvent_t stop = nullptr;
    ~DeviceArrays() {
        cudaFree(rows);
        cudaFree(sums);
        if (start != nullptr)
            cudaEventDestroy(start);
        if (stop != nullptr)
            cudaEventDestroy(stop);
        if (stream != nullptr)
            cudaStreamDestroy(stream);
    }
};

bool ok(cudaError_t status, benchmark::State& state) {
    if (status != cudaSuccess) {
        state.SkipWithError(cudaGetErrorString(status));
        return false;
    }
    return true;
}

void runReduction(benchmark::State& state, Variant variant) {
    const int n = static_cast<int>(state.range(0));
    std::vector<float> host(static_cast<std::size_t>(kRows) * n);
    for (std::size_t i = 0; i < host.size(); ++i) {
        host[i] = static_cast<float>(325.0 * std::sin(0.0314159 * static_cast<double>(i)) + 1.0e-3 * (i % 7));
    }
    DeviceArrays d;
    if (!ok(cudaMalloc(&d.rows, host.size() * sizeof(float)), state) ||
        !ok(cudaMalloc(&d.sums, sizeof(double) * 2 * kRows * kWindowsPerRun), state) ||
        !ok(cudaStreamCreate(&d.stream), state) || !ok(cudaEventCreate(&d.start), state) ||
        !ok(cudaEventCreate(&d.stop), state) ||
        !ok(cudaMemcpy(d.rows, host.data(), host.size() * sizeof(float), cudaMemcpyHostToDevice), state)) {
        return;
    }
    // the sums must be those of the host, to the rounding of another order
    // of additions (a million positive terms: well within 1e-9)
    if (!ok(cudaMemset(d.sums, 0, sizeof(double) * 2 * kRows), state))
        return;
    launch(variant, n, d.rows, d.sums, d.stream);
    double got[2 * kRows];
    if (!ok(cudaMemcpy(got, d.sums, sizeof(got), cudaMemcpyDeviceToHost), state))
        return;
    for (int r = 0; r < kRows; ++r) {
        double absolute = 0.0, square = 0.0;
        for (int i = 0; i < n; ++i) {
            const double x = host[static_cast<std::size_t>(r) * n + i];
            absolute += std::fabs(x);
            square += x * x;
        }
        if (std::fabs(got[2 * r] - absolute) > 1e-9 * absolute || std::fabs(got[2 * r + 1] - square) > 1e-9 * square) {
            state.SkipWithError("the device sums differ from the host's");
            return;
        }
    }
    for (auto _ : state) {
        if (!ok(cudaMemsetAsync(d.sums, 0, sizeof(double) * 2 * kRows * kWindowsPerRun, d.stream), state))
            return;
        cudaEventRecord(d.start, d.stream);
        for (int w = 0; w < kWindowsPerRun; ++w) {
            launch(variant, n, d.rows, d.sums + 2 * kRows * w, d.stream);
        }
        cudaEventRecord(d.stop, d.stream);
        if (!ok(cudaEventSynchronize(d.stop), state))
            return;
        float ms = 0.0f;
        cudaEventElapsedTime(&ms, d.start, d.stop);
        state.SetIterationTime(1e-3 * ms / kWindowsPerRun);
    }
    state.counters["samples_per_s"] =
        benchmark::Counter(static_cast<double>(n) * kRows, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_ReduceOurs(benchmark::State& state) {
    runReduction(state, Variant::kOurs);
}
void BM_ReduceCub(benchmark::State& state) {
    runReduction(state, Variant::kCub);
}

bool deviceMissing() {
    int count = 0;
    return cudaGetDeviceCount(&count) != cudaSuccess || count == 0;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (deviceMissing()) {
        std::printf("no CUDA device: nothing to measure\n");
        return 0;
    }
    for (const auto& [name, function] :
         {std::pair{"BM_ReduceOurs", &BM_ReduceOurs}, std::pair{"BM_ReduceCub", &BM_ReduceCub}}) {
        benchmark::RegisterBenchmark(name, function)->Arg(2000)->Arg(1 << 14)->Arg(1 << 20)->UseManualTime();
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
