#include "iec/IecRecord.h"

#include <cmath>
#include <cstddef>
#include <cstring>

#include "kernels/IecGroupMath.h"

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
