#include "period/TenSecondFrequency.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace powergpu {

void TenSecondFrequencyMeter::reset(const double sampleRate, const int32_t positionsPerSample,
                                    const double clockTimeAtSampleIndexZero) {
    positionsPerSecond = sampleRate * static_cast<double>(positionsPerSample);
    secondsPerPosition = 1.0 / positionsPerSecond;
    base = std::floor(clockTimeAtSampleIndexZero / kIntervalSeconds) * kIntervalSeconds;
    remainder = clockTimeAtSampleIndexZero - base;
    collecting = false;
    current = 0;
    lowest = std::numeric_limits<int64_t>::min();
    record = PowerTenSecondFrequency{};
    nextIndex = 0;
    finished.clear();
}

double TenSecondFrequencyMeter::localTime(const uint64_t position) const {
    return remainder + static_cast<double>(position) * secondsPerPosition;
}

void TenSecondFrequencyMeter::open(const int64_t interval, const bool flagged) {
    collecting = true;
    current = interval;
    lowest = interval;
    record = PowerTenSecondFrequency{};
    countedPositions = 0;
    record.startTime = base + static_cast<double>(interval) * kIntervalSeconds;
    record.flagged = flagged ? 1 : 0;
}

void TenSecondFrequencyMeter::close() {
    collecting = false;
    lowest = current + 1;
    record.index = nextIndex++;
    // The lengths are summed as whole positions and divided once, so the
    // duration of cycles that fill the interval exactly is exactly 10 s.
    record.cycleDuration = static_cast<double>(countedPositions) / positionsPerSecond;
    record.frequency = record.cycleCount > 0 ? static_cast<double>(record.cycleCount) / record.cycleDuration
                                             : std::numeric_limits<double>::quiet_NaN();
    finished.push_back(record);
    if (finished.size() > kMaxWaiting) {
        finished.pop_front();
    }
}

void TenSecondFrequencyMeter::addCycle(const uint64_t start, const uint64_t length, const bool valid) {
    if (length == 0 || !(secondsPerPosition > 0.0)) {
        return;
    }
    const double startTime = localTime(start);
    const double endTime = localTime(start + length);
    const auto first = static_cast<int64_t>(std::floor(startTime / kIntervalSeconds));
    // The interval holding the cycle's last instant: a cycle ending exactly
    // on a boundary lies within the interval before it.
    const auto last = std::max(first, static_cast<int64_t>(std::ceil(endTime / kIntervalSeconds)) - 1);
    if (first < lowest) {
        return;
    }
    if (collecting && first > current) {
        close();
    }
    if (!collecting) {
        open(first, false);
    }
    if (first == last) {
        if (valid) {
            ++record.cycleCount;
            countedPositions += length;
        } else {
            ++record.invalidCycleCount;
            record.flagged = 1;
        }
    } else {
        ++record.straddlingCycleCount;
        if (!valid) {
            ++record.invalidCycleCount;
            record.flagged = 1;
        }
        close();
        open(last, !valid);
        ++record.straddlingCycleCount;
        if (!valid) {
            ++record.invalidCycleCount;
        }
    }
    if (endTime >= static_cast<double>(current + 1) * kIntervalSeconds) {
        close();
    }
}

std::size_t TenSecondFrequencyMeter::takeFinished(PowerTenSecondFrequency* const out, const std::size_t maxCount) {
    const std::size_t taken = std::min(maxCount, finished.size());
    std::copy_n(finished.begin(), taken, out);
    finished.erase(finished.begin(), finished.begin() + static_cast<std::ptrdiff_t>(taken));
    return taken;
}

}  // namespace powergpu
