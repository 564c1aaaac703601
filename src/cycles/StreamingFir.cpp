#include "cycles/StreamingFir.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

#include "runtime/FftwPlan.h"

namespace powergpu::cycles {

namespace {

constexpr std::size_t kShortestTransform = std::size_t{1} << 14;

std::size_t transformLengthFor(std::size_t taps) {
    std::size_t n = kShortestTransform;
    while (n < 4 * taps) {
        n *= 2;
    }
    return n;
}

}  // namespace

StreamingFir::FftwBuffer::FftwBuffer(std::size_t bytes) : data(fftwf_malloc(bytes == 0 ? 1 : bytes)) {
    if (data == nullptr) {
        throw std::bad_alloc();
    }
    std::memset(data, 0, bytes);
}

StreamingFir::FftwBuffer::~FftwBuffer() {
    fftwf_free(data);
}

StreamingFir::Plan::~Plan() {
    if (plan != nullptr) {
        std::lock_guard<std::mutex> lock(fftwPlannerMutex());
        fftwf_destroy_plan(plan);
    }
}

StreamingFir::StreamingFir(const std::vector<double>& taps)
    : taps_(taps.size()),
      nfft_(transformLengthFor(taps.size())),
      block_(nfft_ - (taps.size() - 1)),
      input_(nfft_ * sizeof(float)),
      output_(nfft_ * sizeof(float)),
      spectrum_((nfft_ / 2 + 1) * sizeof(fftwf_complex)),
      filterSpectrum_((nfft_ / 2 + 1) * sizeof(fftwf_complex)) {
    const int n = static_cast<int>(nfft_);
    auto* in = static_cast<float*>(input_.data);
    auto* out = static_cast<float*>(output_.data);
    auto* spectrum = static_cast<fftwf_complex*>(spectrum_.data);
    {
        std::lock_guard<std::mutex> lock(fftwPlannerMutex());
        forward_.plan = fftwf_plan_dft_r2c_1d(n, in, spectrum, FFTW_ESTIMATE);
        inverse_.plan = fftwf_plan_dft_c2r_1d(n, spectrum, out, FFTW_ESTIMATE);
    }
    if (forward_.plan == nullptr || inverse_.plan == nullptr) {
        throw std::runtime_error("the band-pass filter's transforms of length " + std::to_string(nfft_) +
                                 " could not be planned");
    }
    // The taps' spectrum, through the same plan (the input array is zero
    // again afterwards, as the stream starts with no history).
    const float scale = 1.0f / static_cast<float>(nfft_);
    for (std::size_t k = 0; k < taps_; ++k) {
        in[k] = static_cast<float>(taps[k]);
    }
    fftwf_execute(forward_.plan);
    auto* filter = static_cast<fftwf_complex*>(filterSpectrum_.data);
    for (std::size_t k = 0; k < nfft_ / 2 + 1; ++k) {
        filter[k][0] = spectrum[k][0] * scale;
        filter[k][1] = spectrum[k][1] * scale;
    }
    std::fill(in, in + nfft_, 0.0f);
}

StreamingFir::~StreamingFir() = default;

void StreamingFir::feed(const double* input, std::size_t count, std::vector<float>& out) {
    auto* in = static_cast<float*>(input_.data) + (taps_ - 1);
    while (count > 0) {
        const std::size_t take = std::min(count, block_ - waiting_);
        for (std::size_t k = 0; k < take; ++k) {
            in[waiting_ + k] = static_cast<float>(input[k]);
        }
        waiting_ += take;
        input += take;
        count -= take;
        if (waiting_ == block_) {
            filterBlock(block_, out);
        }
    }
}

void StreamingFir::finish(std::vector<float>& out) {
    if (waiting_ == 0) {
        return;
    }
    auto* in = static_cast<float*>(input_.data) + (taps_ - 1);
    std::fill(in + waiting_, in + block_, 0.0f);
    filterBlock(waiting_, out);
}

void StreamingFir::filterBlock(std::size_t count, std::vector<float>& out) {
    auto* in = static_cast<float*>(input_.data);
    auto* spectrum = static_cast<fftwf_complex*>(spectrum_.data);
    const auto* filter = static_cast<const fftwf_complex*>(filterSpectrum_.data);
    fftwf_execute(forward_.plan);
    for (std::size_t k = 0; k < nfft_ / 2 + 1; ++k) {
        const float re = spectrum[k][0] * filter[k][0] - spectrum[k][1] * filter[k][1];
        const float im = spectrum[k][0] * filter[k][1] + spectrum[k][1] * filter[k][0];
        spectrum[k][0] = re;
        spectrum[k][1] = im;
    }
    fftwf_execute(inverse_.plan);
    // Outputs before taps - 1 wrapped around the circular convolution.
    const auto* result = static_cast<const float*>(output_.data) + (taps_ - 1);
    out.insert(out.end(), result, result + count);
    // The last taps - 1 samples become the next block's history.
    std::memmove(in, in + count, (taps_ - 1) * sizeof(float));
    waiting_ = 0;
}

}  // namespace powergpu::cycles
