// The flickermeter's behaviour around the standard's numbers: the same
// reading at every sample rate, records that do not depend on how samples
// were split into calls, the 10 ms and 10-minute grids, restarts, derived
// channels, the discretised weighting against K(s), the percentiles, and
// the settings' rules.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>

#include "flicker/FilterDesign.h"
#include "flicker/ShortTermStatistics.h"
#include "flicker/WeightingFilter.h"
#include "support/FlickerSignals.h"

using namespace flickertest;

namespace {

// The reference modulation reads a largest Pinst of 1 at every sample rate,
// whatever the decimation: 1.6 kHz (none), 10 kHz (by 5), 44.1 kHz (by 21),
// 10.1 kHz (a prime 10 ms span, rounded to 17 values of 6 samples) and
// 1 MHz (by 625); on 50 and 60 Hz supplies.
TEST(FlickerMeter, ReferenceModulationReadsOneAtEverySampleRate) {
    struct Case {
        double rate;
        double supply;
    };
    for (const Case c : {Case{10000.0, 50.0}, Case{44100.0, 60.0}, Case{10100.0, 50.0}, Case{1.0e6, 50.0}}) {
        Signal s;
        s.rate = c.rate;
        s.supply = c.supply;
        s.seconds = 9.0;
        s.block = static_cast<uint32_t>(c.rate / 10.0);
        const Measured m = measure(s, {sinusoidal(8.8, 0.0025)});
        const double largest = largestPinst(m, 6.0, c.rate)[0];
        EXPECT_NEAR(largest, 1.0, 0.02) << c.rate << " Hz";
        std::printf("  %.0f Hz sampling, %.0f Hz supply: largest Pinst %.4f\n", c.rate, c.supply, largest);
        ASSERT_FALSE(m.pinst[0].empty());
        // Blocks of about 10 ms, one after the other.
        const PowerFlickerPinst& first = m.pinst[0].front();
        EXPECT_NEAR(first.length / c.rate, 0.01, 0.0003);
        EXPECT_EQ(m.pinst[0][1].firstSampleIndex, first.firstSampleIndex + first.length);
    }
}

// Records are the same bits however the samples were split into calls.
TEST(FlickerMeter, RecordsDoNotDependOnHowSamplesAreWritten) {
    Signal s;
    s.rate = 10000.0;
    s.seconds = 8.0;
    const std::vector<Envelope> envelopes{rectangular(110.0, 0.01), sinusoidal(3.0, 0.02)};
    s.block = 4000;
    const Measured a = measure(s, envelopes);
    s.block = 777;
    const Measured b = measure(s, envelopes);
    for (std::size_t c = 0; c < envelopes.size(); ++c) {
        ASSERT_EQ(a.pinst[c].size(), b.pinst[c].size());
        ASSERT_GT(a.pinst[c].size(), 250u);
        EXPECT_EQ(0, std::memcmp(a.pinst[c].data(), b.pinst[c].data(), a.pinst[c].size() * sizeof(PowerFlickerPinst)));
    }
}

// The meters are host code fed from the host rings: the CUDA backend hands
// out the same records to the bit.
TEST(FlickerMeter, BothBackendsGiveTheSameRecords) {
    try {
        PowerModule probe(POWER_BACKEND_CUDA);
    } catch (const PowerInvalidCall&) {
        GTEST_SKIP() << "no CUDA backend here";
    }
    Signal s;
    s.seconds = 8.0;
    const std::vector<Envelope> envelopes{rectangular(110.0, 0.01)};
    const Measured cpu = measure(s, envelopes);
    s.backend = POWER_BACKEND_CUDA;
    const Measured cuda = measure(s, envelopes);
    ASSERT_EQ(cpu.pinst[0].size(), cuda.pinst[0].size());
    ASSERT_FALSE(cpu.pinst[0].empty());
    EXPECT_EQ(0,
              std::memcmp(cpu.pinst[0].data(), cuda.pinst[0].data(), cpu.pinst[0].size() * sizeof(PowerFlickerPinst)));
}

// Pinst blocks lie on the 10 ms grid of the interval start, reports begin
// 5 s after a (re)start, a jump in the running index restarts the meter and
// cuts the interval short, and only an interval seen from its first sample
// to its end is complete.
TEST(FlickerMeter, GridsRestartsAndCompleteness) {
    Signal s;
    s.intervalStart = 12345;  // not on a multiple of the 16-sample block
    s.block = 1600;
    FlickerRig rig(s, {sinusoidal(8.8, 0.0025)});
    rig.writeUntil(100.0);
    rig.skip(1600);
    const uint64_t restart = rig.next();
    rig.writeUntil(12345.0 / kRate + 1201.0);
    const Measured& m = rig.measured();
    const auto& pinst = m.pinst[0];
    ASSERT_FALSE(pinst.empty());
    for (const PowerFlickerPinst& r : pinst) {
        ASSERT_EQ((r.firstSampleIndex - 12345) % 16, 0u) << r.firstSampleIndex;
    }
    EXPECT_GE(pinst.front().firstSampleIndex, static_cast<uint64_t>(5.0 * kRate));
    EXPECT_LT(pinst.front().firstSampleIndex, static_cast<uint64_t>(5.1 * kRate));
    // Nothing from the skip until 5 s after it.
    bool resumed = false;
    for (std::size_t k = 1; k < pinst.size(); ++k) {
        if (pinst[k].firstSampleIndex != pinst[k - 1].firstSampleIndex + 16) {
            EXPECT_FALSE(resumed);
            resumed = true;
            EXPECT_GE(pinst[k].firstSampleIndex, restart + static_cast<uint64_t>(5.0 * kRate));
            EXPECT_LT(pinst[k].firstSampleIndex, restart + static_cast<uint64_t>(5.1 * kRate));
        }
    }
    EXPECT_TRUE(resumed);
    // Intervals start at 12345 + k * 960000: the one before running index 0
    // is not reported, the next is cut by the skip and measured again
    // after it, then a whole one follows.
    const auto& pst = m.pst[0];
    ASSERT_EQ(pst.size(), 3u);
    const uint64_t tenMinutes = 960000;
    EXPECT_EQ(pst[0].firstSampleIndex, 12345u);
    EXPECT_EQ(pst[1].firstSampleIndex, 12345u);
    EXPECT_EQ(pst[2].firstSampleIndex, 12345u + tenMinutes);
    EXPECT_EQ(pst[2].length, tenMinutes);
    EXPECT_FALSE(pst[0].complete);
    EXPECT_FALSE(pst[1].complete);
    EXPECT_TRUE(pst[2].complete);
    EXPECT_NEAR(pst[0].coverage, (100.0 - 12345.0 / kRate) / 600.0, 0.002);
    EXPECT_NEAR(pst[1].coverage, (12345.0 + tenMinutes - restart) / tenMinutes - 5.0 / 600.0, 0.002);
    EXPECT_DOUBLE_EQ(pst[2].coverage, 1.0);
    // A steady 8.8 Hz reference fluctuation: Pinst hovers around 1, so
    // every percentile is close to 1 and so is Pst / sqrt(0.5096).
    EXPECT_NEAR(pst[2].p50s, 0.985, 0.03);
    EXPECT_NEAR(pst[2].pst, std::sqrt(0.5096 * 0.985), 0.02);
}

// On a delta grid with two measured line-to-line voltages the third is
// derived and measured too; all carry the same fluctuation.
TEST(FlickerMeter, DerivedLineToLineVoltageIsMeasured) {
    Signal s;
    s.grid = ThreePhaseDeltaTwoVoltagesTwoCurrents;
    s.seconds = 9.0;
    FlickerRig rig(s, {sinusoidal(8.8, 0.0025), sinusoidal(8.8, 0.0025)});
    EXPECT_EQ(rig.module().getFlickerChannelsCount(), 3);
    rig.writeUntil(9.0);
    PowerFlickerPinst records[1024];
    const std::size_t n = rig.module().getFlickerPinst(2, 1024, records);
    ASSERT_GT(n, 300u);
    double largest = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        largest = std::max(largest, records[k].max);
    }
    EXPECT_NEAR(largest, 1.0, 0.02);
    EXPECT_NEAR(largestPinst(rig.measured(), 6.0)[0], 1.0, 0.02);
}

// The digital weighting equals the analog lamp model within 0.5 % across
// the flicker band at the lowest internal rate (the bilinear transform is
// exact at 8.8 Hz), for both lamps.
TEST(FlickerMeter, DigitalWeightingFollowsTheLampModel) {
    for (const int32_t lamp : {POWER_FLICKER_LAMP_230V, POWER_FLICKER_LAMP_120V}) {
        const auto p = powergpu::flicker::lampParameters(lamp);
        const auto k = powergpu::flicker::lampWeighting(p, 1600.0);
        for (const double f : {0.5, 2.0, 8.8, 15.0, 25.0, 33.0}) {
            const std::complex<double> s(0.0, 2.0 * kPi * f);
            const std::complex<double> analog = p.k * p.w1 * s / (s * s + 2.0 * p.lambda * s + p.w1 * p.w1) *
                                                (1.0 + s / p.w2) / ((1.0 + s / p.w3) * (1.0 + s / p.w4));
            const std::complex<double> digital = k[0].response(f, 1600.0) * k[1].response(f, 1600.0);
            EXPECT_NEAR(std::abs(digital) / std::abs(analog), 1.0, f == 8.8 ? 1e-12 : 0.005) << lamp << " " << f;
        }
    }
    // The 230 V model is normalised to a gain of 1 at 8.8 Hz.
    const auto p = powergpu::flicker::lampParameters(POWER_FLICKER_LAMP_230V);
    const std::complex<double> s(0.0, 2.0 * kPi * 8.8);
    EXPECT_NEAR(std::abs(p.k * p.w1 * s / (s * s + 2.0 * p.lambda * s + p.w1 * p.w1) * (1.0 + s / p.w2) /
                         ((1.0 + s / p.w3) * (1.0 + s / p.w4))),
                1.0, 0.002);
}

// Percentiles of a known distribution: Pinst values 1, 2, ..., 100000 once
// each; x % of them exceed 100000 (1 - x / 100).
TEST(FlickerMeter, PercentilesOfAKnownDistribution) {
    powergpu::flicker::ShortTermStatistics statistics;
    for (int k = 1; k <= 100000; ++k) {
        statistics.add(k);
    }
    for (const double x : {0.1, 1.0, 3.0, 10.0, 50.0, 80.0}) {
        const double expected = 100000.0 * (1.0 - x / 100.0);
        EXPECT_NEAR(statistics.percentile(x), expected, 0.001 * expected) << x;
    }
    // One value everywhere: every percentile is that value (the class that
    // holds it is bounded by the largest value seen).
    statistics.clear();
    for (int k = 0; k < 1000; ++k) {
        statistics.add(4.0);
    }
    EXPECT_NEAR(statistics.evaluate().pst, std::sqrt(0.5096 * 4.0), 0.004);
}

// Flicker settings: rebuilding setters, rejected values store nothing,
// results are refused with the reason while the meters cannot run, and a
// rebuild that does not concern them leaves them running.
TEST(FlickerMeter, SettingsFollowTheModuleRules) {
    PowerModule module(POWER_BACKEND_CPU);
    module.beginUpdate();
    module.setSampleRate(1000.0, 1);
    module.setBufferLength(4000);
    module.setGridConfigType(ThreePhaseStar);
    module.setFlickerEnabled(true);
    EXPECT_EQ(module.getFlickerChannelsCount(), 0);  // not applied yet
    module.endUpdate();
    EXPECT_THROW(module.setFlickerLamp(2), PowerInvalidCall);
    EXPECT_THROW(module.setFlickerSystemFrequency(55.0), PowerInvalidCall);
    EXPECT_EQ(module.getFlickerLamp(), POWER_FLICKER_LAMP_230V);
    EXPECT_EQ(module.getFlickerSystemFrequency(), 50.0);
    PowerFlickerPst pst[4];
    try {
        module.getFlickerPst(0, 4, pst);
        ADD_FAILURE() << "a rate below 1600 Hz must refuse flicker results";
    } catch (const PowerInvalidCall& error) {
        EXPECT_NE(std::string(error.what()).find("1600"), std::string::npos) << error.what();
    }
    module.setSampleRate(1600.0, 1);
    EXPECT_EQ(module.getFlickerChannelsCount(), 3);
    EXPECT_EQ(module.getFlickerPst(2, 4, pst), 0u);
    EXPECT_THROW(module.getFlickerPst(3, 4, pst), PowerInvalidCall);
    module.setFlickerEnabled(false);
    EXPECT_THROW(module.getFlickerPinst(0, 0, nullptr), PowerInvalidCall);
}

TEST(FlickerMeter, UnrelatedRebuildKeepsMetersRunningAndLampChangeRestartsThem) {
    Signal s;
    s.block = 1600;
    FlickerRig rig(s, {sinusoidal(8.8, 0.0025)});
    rig.writeUntil(7.0);
    rig.module().setRvcThreshold(3.0);  // rebuilds, replaces nothing the meters use
    rig.writeUntil(9.0);
    rig.module().setFlickerLamp(POWER_FLICKER_LAMP_120V);
    rig.writeUntil(16.0);
    const auto& pinst = rig.measured().pinst[0];
    std::size_t gaps = 0;
    uint64_t resumedAt = 0;
    for (std::size_t k = 1; k < pinst.size(); ++k) {
        if (pinst[k].firstSampleIndex != pinst[k - 1].firstSampleIndex + 16) {
            ++gaps;
            resumedAt = pinst[k].firstSampleIndex;
        }
    }
    EXPECT_EQ(gaps, 1u);
    EXPECT_GE(resumedAt, static_cast<uint64_t>(14.0 * kRate));
    // The 120 V lamp sees the reference fluctuation at (0.25 / 0.32)^2 of
    // the 230 V lamp's Pinst: its weighting at 8.8 Hz is lower.
    const double largest = largestPinst(rig.measured(), 14.5)[0];
    EXPECT_LT(largest, 0.7);
    EXPECT_GT(largest, 0.5);
}

}  // namespace
