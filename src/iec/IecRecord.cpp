#include "iec/IecRecord.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "kernels/IecGroupMath.h"

// The records cross the flat interface: callers in C and Python lay them
// out by these sizes and offsets.
static_assert(sizeof(PowerIecHarmonicChannel) == 1240, "PowerIecHarmonicChannel size");
static_assert(offsetof(PowerIecHarmonicChannel, interharmonic) == 408, "PowerIecHarmonicChannel::interharmonic moved");
static_assert(offsetof(PowerIecHarmonicChannel, group) == 816, "PowerIecHarmonicChannel::group moved");
static_assert(offsetof(PowerIecHarmonicChannel, thds) == 1224, "PowerIecHarmonicChannel::thds moved");
static_assert(offsetof(PowerIecHarmonicChannel, thdg) == 1232, "PowerIecHarmonicChannel::thdg moved");
static_assert(sizeof(PowerIecHarmonics) == 7472, "PowerIecHarmonics size");
static_assert(offsetof(PowerIecHarmonics, length) == 8, "PowerIecHarmonics::length moved");
static_assert(offsetof(PowerIecHarmonics, highestOrder) == 12, "PowerIecHarmonics::highestOrder moved");
static_assert(offsetof(PowerIecHarmonics, frequency) == 16, "PowerIecHarmonics::frequency moved");
static_assert(offsetof(PowerIecHarmonics, binsPerPeriod) == 24, "PowerIecHarmonics::binsPerPeriod moved");
static_assert(offsetof(PowerIecHarmonics, voltageCount) == 28, "PowerIecHarmonics::voltageCount moved");
static_assert(offsetof(PowerIecHarmonics, currentCount) == 29, "PowerIecHarmonics::currentCount moved");
static_assert(offsetof(PowerIecHarmonics, channels) == 32, "PowerIecHarmonics::channels moved");
static_assert(POWER_IEC_ORDER_COUNT == powergpu::math::kIecOrderCount, "orders per record and per kernel row");

namespace powergpu::iec {

double thdInPercent(const double* values, const int highestOrder) {
    if (values[1] == 0.0) {
        return 0.0;
    }
    double sum = 0.0;
    for (int h = 2; h <= highestOrder; ++h) {
        sum += values[h] * values[h];
    }
    return 100.0 * std::sqrt(sum) / values[1];
}

void fillChannel(const double* row, const int highestOrder, PowerIecHarmonicChannel& channel) {
    constexpr std::size_t bytes = sizeof(double) * math::kIecOrderCount;
    std::memcpy(channel.subgroup, row, bytes);
    std::memcpy(channel.interharmonic, row + math::kIecOrderCount, bytes);
    std::memcpy(channel.group, row + 2 * math::kIecOrderCount, bytes);
    channel.thds = thdInPercent(channel.subgroup, highestOrder);
    channel.thdg = thdInPercent(channel.group, highestOrder);
}

}  // namespace powergpu::iec
