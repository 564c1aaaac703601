#include "flicker/ModuleFlicker.h"

#include <algorithm>

#include "powergpu.hpp"

namespace powergpu::flicker {

namespace {

template <typename Record>
void append(std::deque<Record>& queue, const std::vector<Record>& records, std::size_t capacity) {
    for (const Record& record : records) {
        if (queue.size() == capacity) {
            queue.pop_front();
        }
        queue.push_back(record);
    }
}

template <typename Record>
std::size_t take(std::deque<Record>& queue, std::size_t capacity, Record* out) {
    const std::size_t n = std::min(capacity, queue.size());
    std::copy(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(n), out);
    queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

}  // namespace

void ModuleFlicker::configure(const FlickerSettings& settings, double sampleRate, int channels) {
    const MeterLayout layout{settings, sampleRate, settings.enabled ? channels : 0};
    std::lock_guard<std::mutex> lock(queuesMutex_);
    if (layout == layout_ && !meters_.empty() == settings.enabled) {
        return;
    }
    layout_ = layout;
    meters_.clear();
    // Records already measured stay fetchable for the channels that remain.
    pinst_.resize(static_cast<std::size_t>(layout.channels));
    pst_.resize(static_cast<std::size_t>(layout.channels));
    if (!settings.enabled) {
        unavailable_ = "flicker measurement is off (setFlickerEnabled)";
        return;
    }
    try {
        const DecimationPlan plan = planDecimation(sampleRate);
        const LampParameters lamp = lampParameters(settings.lamp);
        meters_.resize(static_cast<std::size_t>(channels));
        outputs_.resize(static_cast<std::size_t>(channels));
        for (int c = 0; c < channels; ++c) {
            meters_[static_cast<std::size_t>(c)].configure(plan, lamp, settings.systemFrequency, settings.intervalStart,
                                                           static_cast<uint8_t>(c));
        }
        unavailable_.clear();
    } catch (const PowerInvalidCall& error) {
        meters_.clear();
        unavailable_ = error.what();
    }
}

void ModuleFlicker::feedChannel(int channel, const float* samples, std::size_t count, uint64_t first) {
    const auto c = static_cast<std::size_t>(channel);
    meters_[c].feed(samples, count, first, outputs_[c]);
}

void ModuleFlicker::feed(const VoltageRings& rings, uint64_t first, uint32_t count) {
    if (meters_.empty() || count == 0 || rings.ringLength == 0) {
        return;
    }
    for (MeterOutput& output : outputs_) {
        output.pinst.clear();
        output.pst.clear();
    }
    // At most one ring per call: two pieces where the block wraps.
    const uint64_t position = first % rings.ringLength;
    const uint64_t head = std::min<uint64_t>(count, rings.ringLength - position);
    const std::pair<uint64_t, uint64_t> pieces[2] = {{position, head}, {0, count - head}};
    uint64_t index = first;
    for (const auto& [offset, length] : pieces) {
        if (length == 0) {
            continue;
        }
        for (int c = 0; c < rings.measured && c < static_cast<int>(meters_.size()); ++c) {
            feedChannel(c, rings.rings[c] + offset, length, index);
        }
        if (rings.deriveThird && meters_.size() == 3) {
            derived_.resize(length);
            const float* u12 = rings.rings[0] + offset;
            const float* u23 = rings.rings[1] + offset;
            for (uint64_t k = 0; k < length; ++k) {
                derived_[k] = -(u12[k] + u23[k]);
            }
            feedChannel(2, derived_.data(), length, index);
        }
        index += length;
    }
    std::lock_guard<std::mutex> lock(queuesMutex_);
    for (std::size_t c = 0; c < outputs_.size() && c < pinst_.size(); ++c) {
        append(pinst_[c], outputs_[c].pinst, kPinstQueueCapacity);
        append(pst_[c], outputs_[c].pst, kPstQueueCapacity);
    }
}

int ModuleFlicker::channels() const {
    std::lock_guard<std::mutex> lock(queuesMutex_);
    return static_cast<int>(meters_.size());
}

void ModuleFlicker::requireChannel(uint8_t channel, const char* operation) const {
    if (!unavailable_.empty()) {
        throw PowerInvalidCall(std::string(operation) + ": " + unavailable_);
    }
    if (channel >= meters_.size()) {
        throw PowerInvalidCall(std::string(operation) + ": channel " + std::to_string(channel) +
                               " has no flickermeter (valid channels: 0 to " + std::to_string(meters_.size() - 1) +
                               ").");
    }
}

std::size_t ModuleFlicker::takePinst(uint8_t channel, std::size_t capacity, PowerFlickerPinst* out) {
    std::lock_guard<std::mutex> lock(queuesMutex_);
    requireChannel(channel, "getFlickerPinst");
    return take(pinst_[channel], capacity, out);
}

std::size_t ModuleFlicker::takePst(uint8_t channel, std::size_t capacity, PowerFlickerPst* out) {
    std::lock_guard<std::mutex> lock(queuesMutex_);
    requireChannel(channel, "getFlickerPst");
    return take(pst_[channel], capacity, out);
}

}  // namespace powergpu::flicker
