// The flickermeters of one module: one per voltage channel, fed from the
// host rings right after writeSamples, with bounded queues of the records
// not yet fetched. The meters are touched only under the module's
// calculation lock (writing samples, rebuilds); the queues have their own
// lock so that another thread may fetch.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "flicker/FlickerMeter.h"
#include "flicker/FlickerSettings.h"
#include "powergpu.h"

namespace powergpu::flicker {

constexpr std::size_t kPinstQueueCapacity = 60000;  // 10 minutes of 10 ms values
constexpr std::size_t kPstQueueCapacity = 1008;     // a week of 10-minute values

// What the meters are built for: any change restarts them.
struct MeterLayout {
    FlickerSettings settings;
    double sampleRate = 0.0;
    int channels = 0;
    bool operator==(const MeterLayout& o) const {
        return settings == o.settings && sampleRate == o.sampleRate && channels == o.channels;
    }
    bool operator!=(const MeterLayout& o) const { return !(*this == o); }
};

// The host rings of the measured voltages of one grid configuration.
struct VoltageRings {
    const float* rings[3] = {nullptr, nullptr, nullptr};
    int measured = 0;
    // The third line-to-line voltage is -(U12 + U23) (delta with two voltages).
    bool deriveThird = false;
    uint64_t ringLength = 0;
};

class ModuleFlicker {
public:
    // Applies settings after a successful rebuild; keeps the meters running
    // when the layout is unchanged.
    void configure(const FlickerSettings& settings, double sampleRate, int channels);
    // The samples first .. first + count - 1 have just been written.
    void feed(const VoltageRings& rings, uint64_t first, uint32_t count);

    int channels() const;
    std::size_t takePinst(uint8_t channel, std::size_t capacity, PowerFlickerPinst* out);
    std::size_t takePst(uint8_t channel, std::size_t capacity, PowerFlickerPst* out);

private:
    void requireChannel(uint8_t channel, const char* operation) const;
    void feedChannel(int channel, const float* samples, std::size_t count, uint64_t first);

    mutable std::mutex queuesMutex_;
    MeterLayout layout_;
    // Empty while the meters run; why they cannot otherwise.
    std::string unavailable_ = "flicker measurement is off (setFlickerEnabled)";
    std::vector<FlickerMeter> meters_;
    std::vector<std::deque<PowerFlickerPinst>> pinst_;
    std::vector<std::deque<PowerFlickerPst>> pst_;
    std::vector<MeterOutput> outputs_;  // per channel, filled by one feed
    std::vector<float> derived_;
};

}  // namespace powergpu::flicker
