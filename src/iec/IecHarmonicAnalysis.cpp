#include "iec/IecHarmonicAnalysis.h"

#include <algorithm>

#include "buffers/ErrorChecks.h"
#include "iec/ChirpTransform.h"
#include "iec/IecRecord.h"
#include "kernels/IecGroupMath.h"

// Where error messages of this file say a failed call was checked.
static constexpr const char* kErrorLocation = "IecHarmonicAnalysis";

namespace powergpu::iec {

namespace {

// The highest order whose subgroup (centre bin and its upper neighbour)
// lies within the spectrum, at most `limit`.
int highestAvailableOrder(int limit, int binCount, double binsPerFundamental) {
    int order = limit;
    while (order > 0 && math::iecCentreBin(order, binsPerFundamental) + 1 > binCount - 1) {
        --order;
    }
    return order;
}

}  // namespace

IecHarmonicAnalysis::IecHarmonicAnalysis(Runtime& runtime)
    : runtime_(runtime),
      input_(runtime, MemorySide::Device),
      spectra_(runtime, MemorySide::Device),
      chirpPadded_(runtime, MemorySide::Device),
      chirpConvolved_(runtime, MemorySide::Device),
      deviceValues_(runtime, MemorySide::Device),
      hostValues_(runtime, MemorySide::Host),
      plans_(runtime) {}

std::size_t IecHarmonicAnalysis::slotValues() const {
    return static_cast<std::size_t>(rows_) * math::kIecValuesPerRow;
}

void IecHarmonicAnalysis::configure(const IecHarmonicSettings& settings, const int voltageCount, const int currentCount,
                                    const uint64_t maxWindowLength, const uint64_t slots) {
    // Until the areas are sized the analysis is inactive, so a failed
    // allocation leaves nothing that enqueue could use.
    settings_ = IecHarmonicSettings{};
    std::fill(slotWindows_.begin(), slotWindows_.end(), SlotWindow{});
    if (!settings.enabled) {
        input_.release();
        spectra_.release();
        chirpPadded_.release();
        chirpConvolved_.release();
        deviceValues_.release();
        hostValues_.release();
        plans_.clear();
        slotWindows_.clear();
        rows_ = 0;
        slots_ = 0;
        std::lock_guard<std::mutex> lock(queueMutex_);
        queue_.clear();
        return;
    }
    const int rows = voltageCount + currentCount;
    if (rows != rows_) {
        plans_.clear();  // their batch is the row count
    }
    voltageCount_ = voltageCount;
    currentCount_ = currentCount;
    rows_ = rows;
    slots_ = slots;
    maxWindowLength_ = maxWindowLength;
    const auto rowCount = static_cast<std::size_t>(rows);
    input_.resize(rowCount * maxWindowLength);
    spectra_.resize(rowCount * (maxWindowLength / 2 + 1));
    deviceValues_.resize(slotValues() * slots);
    hostValues_.resize(slotValues() * slots);
    slotWindows_.assign(slots, SlotWindow{});
    settings_ = settings;
}

void IecHarmonicAnalysis::enqueue(const IecWindow& window) {
    if (!isActive()) {
        return;
    }
    const uint64_t slot = window.calculationIndex % slots_;
    SlotWindow& slotWindow = slotWindows_[slot];
    slotWindow.valid = false;
    if (window.length > maxWindowLength_ || window.length < 2) {
        // Scheduling keeps windows within the FFT length the areas are sized
        // for; a window of one sample has no spectrum to group. Its record
        // still comes, with no order computed, so that every delivered
        // window has one and callers can pair them one to one.
        slotWindow = SlotWindow{
            true, window.calculationIndex, window.firstSampleIndex, window.length, window.frequency, 0, 0, false};
        return;
    }

    const int length = static_cast<int>(window.length);
    const int binCount = length / 2 + 1;
    const double binsPerFundamental = window.frequency * window.length / window.sampleRate;
    const int binsPerPeriod = std::max(1, math::nearestInteger(binsPerFundamental));
    const int highestOrder = highestAvailableOrder(settings_.highestOrder, binCount, binsPerFundamental);
    const StreamHandle stream = window.stream;

    // The window's samples of each channel, one row after the other (two
    // pieces where the window wraps around the ring end).
    const std::size_t bytesPerSample = sizeof(float);
    const uint64_t head = std::min<uint64_t>(window.length, window.ringLength - window.ringPosition);
    int row = 0;
    const auto copyRow = [&](const float* ring) {
        float* destination = input_.data() + static_cast<std::size_t>(row) * window.length;
        CUDA_CALL(runtime_, runtime_.memcpyAsync(destination, ring + window.ringPosition, head * bytesPerSample,
                                                 MemcpyKind::DeviceToDevice, stream));
        if (head < window.length) {
            CUDA_CALL(runtime_, runtime_.memcpyAsync(destination + head, ring, (window.length - head) * bytesPerSample,
                                                     MemcpyKind::DeviceToDevice, stream));
        }
        ++row;
    };
    for (int c = 0; c < voltageCount_; ++c) {
        copyRow(window.rings[c]);
    }
    for (int c = 0; c < currentCount_; ++c) {
        copyRow(window.rings[3 + c]);
    }

    enqueueTransform(length, stream);

    double* deviceSlot = deviceValues_.data() + slot * slotValues();
    const std::size_t slotBytes = slotValues() * sizeof(double);
    // Orders above the highest computed read as zero.
    CUDA_CALL(runtime_, runtime_.memsetAsync(deviceSlot, 0, slotBytes, stream));
    const int orderCount = highestOrder + 1;
    Launch launch;
    launch.grid = Dim3{static_cast<unsigned>((orderCount + 31) / 32), 1, 1};
    launch.block = Dim3{32, static_cast<unsigned>(rows_), 1};
    launch.stream = stream;
    const double powerScale = 2.0 / (static_cast<double>(length) * static_cast<double>(length));
    runtime_.launch(launch, IecHarmonicsArgs{binCount, orderCount, binsPerPeriod, binsPerFundamental, powerScale,
                                             spectra_.data(), deviceSlot});
    CUDA_CALL(runtime_, runtime_.takeLastLaunchError());
    CUDA_CALL(runtime_, runtime_.memcpyAsync(hostValues_.data() + slot * slotValues(), deviceSlot, slotBytes,
                                             MemcpyKind::DeviceToHost, stream));

    slotWindow = SlotWindow{true,
                            window.calculationIndex,
                            window.firstSampleIndex,
                            window.length,
                            window.frequency,
                            highestOrder,
                            binsPerPeriod,
                            true};
}

bool IecHarmonicAnalysis::usesChirp(const int length) const {
    switch (transformChoice_) {
        case IecTransformChoice::Direct:
            return false;
        case IecTransformChoice::Chirp:
            return true;
        case IecTransformChoice::Automatic:
            break;
    }
    return usesChirpTransform(length);
}

void IecHarmonicAnalysis::enqueueTransform(const int length, const StreamHandle stream) {
    if (!usesChirp(length)) {
        const FftHandle plan = plans_.planFor(length, rows_);
        CUFFT_CALL(runtime_, runtime_.fftSetStream(plan, stream));
        CUFFT_CALL(runtime_, runtime_.fftExecR2C(plan, input_.data(), spectra_.data()));
        return;
    }
    // Grown only: the areas of the longest padded length seen serve shorter ones.
    const std::size_t area = static_cast<std::size_t>(rows_) * static_cast<std::size_t>(chirpPaddedLength(length));
    if (chirpPadded_.size() < area || chirpConvolved_.size() < area) {
        chirpPadded_.resize(area);
        chirpConvolved_.resize(area);
    }
    enqueueChirpTransform(runtime_, plans_, ChirpAreas{chirpPadded_.data(), chirpConvolved_.data()}, length, rows_,
                          input_.data(), spectra_.data(), stream);
}

void IecHarmonicAnalysis::deliver(const uint64_t calculationIndex) {
    if (!isActive()) {
        return;
    }
    SlotWindow& slotWindow = slotWindows_[calculationIndex % slots_];
    if (!slotWindow.valid || slotWindow.calculationIndex != calculationIndex) {
        return;
    }
    slotWindow.valid = false;
    PowerIecHarmonics record{};
    record.firstSampleIndex = slotWindow.firstSampleIndex;
    record.length = slotWindow.length;
    record.highestOrder = slotWindow.highestOrder;
    record.frequency = slotWindow.frequency;
    record.binsPerPeriod = slotWindow.binsPerPeriod;
    record.voltageCount = static_cast<uint8_t>(voltageCount_);
    record.currentCount = static_cast<uint8_t>(currentCount_);
    const double* values = hostValues_.data() + (calculationIndex % slots_) * slotValues();
    for (int row = 0; row < rows_ && slotWindow.transformed; ++row) {
        const int channel = row < voltageCount_ ? row : 3 + (row - voltageCount_);
        fillChannel(values + static_cast<std::size_t>(row) * math::kIecValuesPerRow, slotWindow.highestOrder,
                    record.channels[channel]);
    }
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.push_back(record);
    if (queue_.size() > kQueueLimit) {
        queue_.pop_front();
    }
}

std::size_t IecHarmonicAnalysis::take(const std::size_t maxCount, PowerIecHarmonics* const records) {
    std::lock_guard<std::mutex> lock(queueMutex_);
    const std::size_t count = std::min(maxCount, queue_.size());
    std::copy(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(count), records);
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(count));
    return count;
}

std::size_t IecHarmonicAnalysis::waiting() const {
    std::lock_guard<std::mutex> lock(queueMutex_);
    return queue_.size();
}

}  // namespace powergpu::iec
