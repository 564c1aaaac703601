// The 10-s frequency: the boundary rules on cycles laid out by hand (a cycle
// ending on the boundary belongs to the interval before it, one across it to
// neither, an invalid one flags what it touches), and a module fed the
// upward zero crossings of a sampled 50.5 Hz sine from a recording that
// starts at an odd clock time.
#include <algorithm>
#include <cmath>
#include <vector>

#include "period/TenSecondFrequency.h"
#include "support/TestSupport.h"

namespace {

using powergpu::TenSecondFrequencyMeter;
using namespace powergpu::test;

std::vector<PowerTenSecondFrequency> take(TenSecondFrequencyMeter& meter) {
    std::vector<PowerTenSecondFrequency> records(meter.finishedCount());
    records.resize(meter.takeFinished(records.data(), records.size()));
    return records;
}

// 50 Hz cycles of 20 samples at 1 kHz from sample 0: cycle n covers
// [20 n, 20 n + 20) samples; `invalid` lists the cycles reported invalid.
void feedFiftyHertz(TenSecondFrequencyMeter& meter, int cycles, const std::vector<int>& invalid = {}) {
    for (int n = 0; n < cycles; ++n) {
        const bool valid = std::find(invalid.begin(), invalid.end(), n) == invalid.end();
        meter.addCycle(static_cast<uint64_t>(n) * 20, 20, valid);
    }
}

}  // namespace

TEST(TenSecondFrequencyMeter, ACycleEndingOnTheBoundaryClosesItsIntervalAndOneAcrossItCountsInNeither) {
    TenSecondFrequencyMeter meter;
    meter.reset(1000.0, 1, 0.0);
    feedFiftyHertz(meter, 499);
    EXPECT_EQ(meter.finishedCount(), 0u) << "the interval lasts until 10 s";
    meter.addCycle(499 * 20, 20, true);
    auto records = take(meter);
    ASSERT_EQ(records.size(), 1u) << "cycle 499 ends at 10 s exactly and completes the interval";
    EXPECT_EQ(records[0].cycleCount, 500u);
    EXPECT_DOUBLE_EQ(records[0].cycleDuration, 10.0);
    EXPECT_DOUBLE_EQ(records[0].frequency, 50.0);
    EXPECT_EQ(records[0].straddlingCycleCount, 0u);
    EXPECT_EQ(records[0].flagged, 0);
    meter.addCycle(0, 20, true);
    EXPECT_EQ(meter.finishedCount(), 0u) << "a cycle of a completed interval (out of order) is ignored";

    // Sample 0 at 5 ms of the clock: the boundary falls in the middle of
    // cycle 499 (9.985 .. 10.005 s), which counts in neither interval.
    meter.reset(1000.0, 1, 0.005);
    feedFiftyHertz(meter, 1000);
    meter.addCycle(20000, 20, true);  // starts at 20.005 s, completing the second interval
    records = take(meter);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_DOUBLE_EQ(records[0].startTime, 0.0);
    EXPECT_EQ(records[0].cycleCount, 499u);
    EXPECT_EQ(records[0].straddlingCycleCount, 1u);
    EXPECT_DOUBLE_EQ(records[1].startTime, 10.0);
    EXPECT_EQ(records[1].cycleCount, 499u) << "cycles 500..998; 999 crosses 20 s";
    EXPECT_EQ(records[1].straddlingCycleCount, 2u);
    EXPECT_EQ(records[1].index, 1u);
    EXPECT_NEAR(records[1].frequency, 50.0, 1e-12);
}

TEST(TenSecondFrequencyMeter, InvalidCyclesAreNotCountedAndFlagEveryIntervalTheyTouch) {
    TenSecondFrequencyMeter meter;
    meter.reset(1000.0, 1, 0.005);
    // Cycle 100 lies inside the first interval, cycle 499 across 10 s.
    feedFiftyHertz(meter, 1000, {100, 499});
    meter.addCycle(20000, 20, true);
    const auto records = take(meter);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].cycleCount, 498u);
    EXPECT_EQ(records[0].invalidCycleCount, 2u);
    EXPECT_EQ(records[0].flagged, 1);
    EXPECT_DOUBLE_EQ(records[0].frequency, 50.0) << "the invalid cycle's time is left out with it";
    EXPECT_EQ(records[1].cycleCount, 499u);
    EXPECT_EQ(records[1].invalidCycleCount, 1u);
    EXPECT_EQ(records[1].flagged, 1) << "the invalid cycle across 10 s reaches into this interval";

    // Nothing but invalid cycles: the interval has no frequency.
    meter.reset(1000.0, 1, 0.0);
    for (int n = 0; n < 500; ++n) {
        meter.addCycle(static_cast<uint64_t>(n) * 20, 20, false);
    }
    const auto empty = take(meter);
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_TRUE(std::isnan(empty[0].frequency));
    EXPECT_EQ(empty[0].cycleCount, 0u);
}

TEST(TenSecondFrequencyMeter, BoundariesKeepTheirPlaceOnAClockCountingSecondsSince1970) {
    // Near 1.7e9 s a double resolves 2.4e-7 s: clock times themselves would
    // round a cycle ending or starting 1e-7 s from a boundary onto it. Sample
    // 0 lies at 1.7e9 + 9.5 s, so the boundaries are at positions 5,000,000
    // and 105,000,000 (10 kHz, 1000 positions per sample).
    TenSecondFrequencyMeter meter;
    meter.reset(10000.0, 1000, 1.7e9 + 9.5);
    meter.addCycle(4'600'000, 200'000, true);
    meter.addCycle(4'800'001, 200'000, true);  // ends 1e-7 s after the first boundary
    meter.addCycle(5'000'001, 200'000, true);
    meter.addCycle(104'999'999, 200'000, true);  // starts 1e-7 s before the second boundary
    meter.addCycle(300'000'000, 200'000, true);  // completes the third interval
    const auto records = take(meter);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_DOUBLE_EQ(records[0].startTime, 1.7e9);
    EXPECT_DOUBLE_EQ(records[2].startTime, 1.7e9 + 20.0);
    EXPECT_EQ(records[0].cycleCount, 1u);
    EXPECT_EQ(records[0].straddlingCycleCount, 1u);
    EXPECT_EQ(records[1].cycleCount, 1u);
    EXPECT_EQ(records[1].straddlingCycleCount, 2u);
    EXPECT_DOUBLE_EQ(records[1].frequency, 50.0);
    EXPECT_EQ(records[2].cycleCount, 0u);
    EXPECT_TRUE(std::isnan(records[2].frequency));
}

// ---------------------------------------------------------------- a module

class TenSecondFrequencyOfAModule : public powergpu::test::BackendTest {};

TEST_P(TenSecondFrequencyOfAModule, FiftyPointFiveHertzReadsFiftyPointFiveHundredOnTheClockIntervals) {
    // 230 V at 50.5 Hz sampled at 10 kHz for 31 s; the recording starts at
    // 13:07:43.7 (47263.7 s of the day). Upward zero crossings, interpolated
    // linearly between samples, are reported to 1/1000 of a sample.
    constexpr double kRate = 10000.0;
    constexpr double kFrequency = 50.5;
    constexpr double kStart = 47263.7;
    constexpr int kPositions = 1000;
    constexpr double kPhase = 0.3;  // radians at sample 0
    PowerModule module(GetParam());
    configure(
        module, kRate, 20000,
        [](PowerModule& m) {
            m.setCurrentEnabled(false);
            m.setPeriodValuesEnabled(true);
        },
        kPositions);
    module.setTenSecondFrequencyEnabled(true);
    module.setClockTimeAtSampleIndexZero(kStart);
    module.reset(0);

    const auto u = [&](int64_t n) { return 325.0 * std::sin(kTwoPi * kFrequency * n / kRate + kPhase); };
    std::vector<uint64_t> crossings;
    for (int64_t n = 0; n < static_cast<int64_t>(31.0 * kRate); ++n) {
        const double a = u(n);
        const double b = u(n + 1);
        if (a < 0.0 && b >= 0.0) {
            crossings.push_back(static_cast<uint64_t>(std::llround((n + a / (a - b)) * kPositions)));
        }
    }
    std::vector<PowerTenSecondFrequency> records;
    for (std::size_t first = 0; first + 1 < crossings.size(); first += 50) {
        std::vector<Cycle> cycles;
        for (std::size_t k = first; k < std::min(first + 50, crossings.size() - 1); ++k) {
            const auto length = static_cast<int>(crossings[k + 1] - crossings[k]);
            cycles.push_back({crossings[k], length, kRate * kPositions / length});
        }
        scheduleCycles(module, cycles);
        const auto taken = module.getTenSecondFrequencies(100);
        records.insert(records.end(), taken.begin(), taken.end());
    }
    // Intervals from 47260 s (partial), 47270 s and 47280 s (whole), 47290 s
    // (completed by no cycle: the recording ends at 47294.7 s).
    // The upward crossings lie at t_m = (m - phase / 2 pi) / 50.5 s: a whole
    // interval holds the cycles between its first and last crossing, 504
    // of them (10 s hold 505 periods, and no crossing falls on a boundary);
    // interpolated crossings are good to far below 1 mHz.
    ASSERT_EQ(records.size(), 3u);
    for (std::size_t k = 0; k < records.size(); ++k) {
        EXPECT_DOUBLE_EQ(records[k].startTime, 47260.0 + 10.0 * k);
        EXPECT_NEAR(records[k].frequency, kFrequency, k == 0 ? 1e-3 : 1e-5) << "interval " << k;
        EXPECT_EQ(records[k].flagged, 0);
        EXPECT_TRUE(k == 0 || (records[k].cycleCount == 504u && records[k].straddlingCycleCount == 2u)) << k;
    }
}

TEST_P(TenSecondFrequencyOfAModule, SettingsAreCheckedAndTakeEffectAtReset) {
    PowerModule module(GetParam());
    configure(module, 1000.0, 2000, [](PowerModule& m) { m.setPeriodValuesEnabled(true); });
    EXPECT_THROW(module.getTenSecondFrequencies(1), PowerInvalidCall) << "not enabled at the last reset";
    module.setTenSecondFrequencyEnabled(true);
    EXPECT_THROW(module.getTenSecondFrequenciesWaiting(), PowerInvalidCall) << "stored, not yet reset";
    EXPECT_THROW(module.setClockTimeAtSampleIndexZero(std::nan("")), PowerInvalidCall);
    EXPECT_THROW(module.setClockTimeAtSampleIndexZero(INFINITY), PowerInvalidCall);
    EXPECT_DOUBLE_EQ(module.getClockTimeAtSampleIndexZero(), 0.0) << "a rejected setting changes nothing";
    module.reset(0);
    EXPECT_EQ(module.getTenSecondFrequenciesWaiting(), 0u) << "enabled at this reset";
    EXPECT_TRUE(module.getTenSecondFrequencies(10).empty());
    module.setTenSecondFrequencyEnabled(false);
    module.reset(0);
    EXPECT_THROW(module.getTenSecondFrequencies(1), PowerInvalidCall);
}

POWERGPU_INSTANTIATE_FOR_BACKENDS(TenSecondFrequencyOfAModule);
