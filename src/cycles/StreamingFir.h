// A FIR filter applied to a stream by FFT convolution (overlap-save) in
// single precision.
//
// The input is filtered in blocks at fixed positions of the stream (block
// q holds input samples q B .. q B + B - 1): samples wait until their block
// is full, and finish() filters the last, partial one. So every output is
// computed from the same transform whatever the calls that fed the
// samples, and any split of the input gives the same bits. The transform
// length is a power of two of at least 2^14 and 4 x the taps: long enough
// that the filter's overlap costs little (an eighth of the block at 10 kHz
// and 50 Hz), short enough to stay in the processor's cache. Plans are
// made with FFTW_ESTIMATE, which picks the same algorithm every run.
#pragma once

#include <fftw3.h>

#include <cstddef>
#include <vector>

namespace powergpu::cycles {

class StreamingFir {
public:
    // Throws std::runtime_error when FFTW cannot plan the transforms.
    explicit StreamingFir(const std::vector<double>& taps);
    StreamingFir(const StreamingFir&) = delete;
    StreamingFir& operator=(const StreamingFir&) = delete;
    ~StreamingFir();

    // Feeds input samples; appends to out the outputs y[k] = sum_j h[j]
    // x[k - j] of every block completed (x[k] = 0 before the stream).
    void feed(const double* input, std::size_t count, std::vector<float>& out);
    // Appends the outputs of the samples still waiting (the partial block).
    void finish(std::vector<float>& out);

    // Input samples per block.
    std::size_t blockLength() const { return block_; }
    std::size_t transformLength() const { return nfft_; }

private:
    struct FftwBuffer {
        explicit FftwBuffer(std::size_t bytes);
        FftwBuffer(const FftwBuffer&) = delete;
        FftwBuffer& operator=(const FftwBuffer&) = delete;
        ~FftwBuffer();
        void* data;
    };
    struct Plan {
        Plan() = default;
        Plan(const Plan&) = delete;
        Plan& operator=(const Plan&) = delete;
        ~Plan();
        fftwf_plan plan = nullptr;
    };

    // Filters the waiting block (count new samples after the history).
    void filterBlock(std::size_t count, std::vector<float>& out);

    std::size_t taps_;
    std::size_t nfft_;
    std::size_t block_;
    std::size_t waiting_ = 0;  // new samples in the block being filled
    FftwBuffer input_;         // the last taps - 1 samples, then the block
    FftwBuffer output_;
    FftwBuffer spectrum_;
    FftwBuffer filterSpectrum_;  // of the taps, scaled by 1 / nfft
    Plan forward_;
    Plan inverse_;
};

}  // namespace powergpu::cycles
