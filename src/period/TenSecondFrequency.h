// The 10-s frequency: the whole cycles that lie within each 10-s interval of
// the absolute clock, counted and divided by their cumulative duration.
//
// The cycles are those the caller reports for the period values (start and
// length in sub-sample positions, valid or not), in order. The intervals are
// [10 k, 10 (k + 1)) seconds of the absolute clock, on which sample index n
// lies at clockTimeAtSampleIndexZero + n / sampleRate; setting that time to
// the recording's start time aligns the intervals with the time of day.
//
// Rules, chosen so that no cycle is counted twice and no interval borrows
// time from its neighbour:
//   - a cycle counts in the interval that holds it whole ([start, end]
//     within the interval; ending exactly on the boundary is within);
//   - a cycle across a boundary is counted in neither interval;
//   - an invalid cycle is never counted; it flags every interval it lies
//     in or across, since part of that interval's time was not measured;
//   - a cycle that starts before the interval being collected (reported
//     out of order) is ignored.
// An interval is complete, and queued, as soon as a cycle reaches its end
// (ends on or beyond the boundary) or starts in a later interval. Intervals
// in which no cycle starts or ends produce no record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "powergpu.h"

namespace powergpu {

class TenSecondFrequencyMeter {
public:
    static constexpr double kIntervalSeconds = 10.0;
    // Completed intervals kept until they are taken (one week); older ones
    // are dropped beyond this (their numbers show the gap), so that a caller
    // that never takes them cannot make the meter grow without bound.
    static constexpr std::size_t kMaxWaiting = 7 * 24 * 360;

    // Forgets every cycle and interval. Positions are 1 / positionsPerSample
    // of a sample; sampleRate in Hz (finite and above 0).
    void reset(double sampleRate, int32_t positionsPerSample, double clockTimeAtSampleIndexZero);

    // One reported cycle: [start, start + length) in positions.
    void addCycle(uint64_t start, uint64_t length, bool valid);

    std::size_t finishedCount() const { return finished.size(); }
    // Moves up to maxCount completed intervals, oldest first, into out.
    std::size_t takeFinished(PowerTenSecondFrequency* out, std::size_t maxCount);

private:
    void open(int64_t interval, bool flagged);
    void close();
    // Seconds after `base` (a multiple of 10 s near the clock time of sample
    // index 0): small numbers, so that boundaries keep their precision even
    // when the clock counts seconds since 1970.
    double localTime(uint64_t position) const;

    double positionsPerSecond = 0.0;
    double secondsPerPosition = 0.0;
    double base = 0.0;       // absolute seconds of local time 0
    double remainder = 0.0;  // local time of sample index 0, in [0, 10)
    bool collecting = false;
    int64_t current = 0;  // local interval number being collected
    int64_t lowest = 0;   // earlier intervals are closed: their cycles are ignored
    PowerTenSecondFrequency record{};
    uint64_t countedPositions = 0;  // summed lengths of the counted cycles
    uint32_t nextIndex = 0;
    std::deque<PowerTenSecondFrequency> finished;
};

}  // namespace powergpu
