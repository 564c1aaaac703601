// Rapid voltage change detection on streams of period RMS values whose
// steady levels, deviations and event timing are worked out by hand.
#include <gtest/gtest.h>

#include <vector>

#include "period/RvcMultiPhaseCalculation.h"
#include "period/RvcPhaseCalculation.h"

namespace {

RvcPhaseCalculation makeDetector(const uint64_t steadyStateLength, const double thresholdPercent,
                                 const double hysteresisPercent) {
    RvcPhaseCalculation detector;
    detector.setSteadyStateLength(steadyStateLength);
    detector.setSteadyStateThreshold(thresholdPercent);
    detector.setThresholdHysteresis(hysteresisPercent);
    detector.reset();
    return detector;
}

// Feeds the values at times 0, 1, 2, ... seconds (continuing from `firstTime`)
// and returns the result after the last one.
RvcResult feed(RvcPhaseCalculation& detector, const std::vector<double>& values, double firstTime = 0.0) {
    for (const double value : values) {
        detector.calculate(value, firstTime);
        firstTime += 1.0;
    }
    return detector.getCurrentResult();
}

}  // namespace

// ---- one channel ------------------------------------------------------------

TEST(RvcPhaseDetection, FirstValueAfterResetIsFlaggedAndSteady) {
    RvcPhaseCalculation detector = makeDetector(3, 2.0, 50.0);
    EXPECT_EQ(detector.getCurrentResult().state, -1);

    detector.calculate(230.0, 0.5);
    RvcResult result = detector.getCurrentResult();
    EXPECT_TRUE(result.firstValue);
    EXPECT_TRUE(result.stateChanged);
    EXPECT_EQ(result.state, 0);
    EXPECT_DOUBLE_EQ(result.time, 0.5);

    detector.calculate(230.0, 1.0);
    result = detector.getCurrentResult();
    EXPECT_FALSE(result.firstValue);
    EXPECT_FALSE(result.stateChanged);
    EXPECT_EQ(result.state, 0);

    // A freshly constructed detector behaves like a reset one.
    RvcPhaseCalculation fresh;
    fresh.calculate(230.0, 0.0);
    EXPECT_TRUE(fresh.getCurrentResult().firstValue);
    EXPECT_TRUE(fresh.getCurrentResult().stateChanged);
}

TEST(RvcPhaseDetection, NoEventBeforeTheWindowHoldsSteadyStateLengthValues) {
    // 100 and 110 differ by far more than 2 %, but with N = 5 two values are
    // no steady level yet that could be left.
    RvcPhaseCalculation detector = makeDetector(5, 2.0, 50.0);
    const RvcResult early = feed(detector, {100.0, 110.0, 90.0, 100.0});
    EXPECT_EQ(early.state, 0);
    // The fifth value completes the window 100, 110, 90, 100, 100, which is not steady.
    detector.calculate(100.0, 4.0);
    EXPECT_EQ(detector.getCurrentResult().state, 1);
}

TEST(RvcPhaseDetection, ThresholdBandDecidesBetween103And104) {
    // N = 3, 2 %: window 100, 100, 103 has mean 101 and band +-2.02, so 103 stays
    // inside; window 100, 100, 104 has mean 101.33 and band +-2.03, so 104 lies
    // outside and starts an event.
    RvcPhaseCalculation steady = makeDetector(3, 2.0, 50.0);
    const RvcResult kept = feed(steady, {100.0, 100.0, 100.0, 103.0});
    EXPECT_EQ(kept.state, 0);
    EXPECT_FALSE(kept.stateChanged);

    RvcPhaseCalculation broken = makeDetector(3, 2.0, 50.0);
    const RvcResult started = feed(broken, {100.0, 100.0, 100.0, 104.0});
    EXPECT_EQ(started.state, 1);
    EXPECT_TRUE(started.stateChanged);
    EXPECT_FALSE(started.eventEnded);
    EXPECT_EQ(started.eventCount, 0u);

    // The largest deviation is measured from the old steady mean 100, not from
    // the mean of the window that contains the new value: the settling values
    // 101 deviate by only 1, so the reported maximum is the 4 of the step.
    const RvcResult ended = feed(broken, {101.0, 101.0, 101.0}, 4.0);
    EXPECT_TRUE(ended.eventEnded);
    EXPECT_EQ(ended.state, 0);
    EXPECT_EQ(ended.eventCount, 1u);
    EXPECT_FLOAT_EQ(ended.deltaUmax, 4.0f);
    EXPECT_FLOAT_EQ(ended.deltaUss, 1.0f);
    // From the value that broke the steady state (t = 3) to the first value of
    // the new steady window (t = 4).
    EXPECT_DOUBLE_EQ(ended.duration, 1.0);
}

TEST(RvcPhaseDetection, HysteresisNarrowsTheBandDuringAnEvent) {
    // After the event starts, the window 102, 100, 102 (mean 101.33) lies within
    // +-2 % but not within +-1 %. With the default hysteresis of 50 % the event
    // must go on; without narrowing (100 %) the same values end it.
    const std::vector<double> values{100.0, 100.0, 100.0, 104.0, 102.0, 100.0, 102.0};

    RvcPhaseCalculation narrowed = makeDetector(3, 2.0, 50.0);
    const RvcResult stillInEvent = feed(narrowed, values);
    EXPECT_EQ(stillInEvent.state, 1);
    EXPECT_EQ(stillInEvent.eventCount, 0u);

    RvcPhaseCalculation unnarrowed = makeDetector(3, 2.0, 100.0);
    const RvcResult afterEvent = feed(unnarrowed, values);
    EXPECT_EQ(afterEvent.state, 0);
    EXPECT_EQ(afterEvent.eventCount, 1u);
}

TEST(RvcPhaseDetection, EventLastsAtLeastSteadyStateLengthValues) {
    // Old level 98, 97, 99.2 (mean 98.067). 101 breaks it (window 97, 99.2, 101:
    // band +-1.98 around 99.07 excludes 97). The very next window 99.2, 101, 100
    // already lies within the narrowed +-1 % band, but only two values belong to
    // the event: it must go on until the third.
    RvcPhaseCalculation detector = makeDetector(3, 2.0, 50.0);
    RvcResult result = feed(detector, {98.0, 97.0, 99.2, 101.0});
    ASSERT_EQ(result.state, 1);

    detector.calculate(100.0, 4.0);
    result = detector.getCurrentResult();
    EXPECT_EQ(result.state, 1);
    EXPECT_FALSE(result.eventEnded);

    detector.calculate(100.0, 5.0);
    result = detector.getCurrentResult();
    EXPECT_TRUE(result.eventEnded);
    EXPECT_EQ(result.state, 0);
    const double oldMean = (98.0 + 97.0 + 99.2) / 3.0;
    const double newMean = (101.0 + 100.0 + 100.0) / 3.0;
    EXPECT_NEAR(result.deltaUss, newMean - oldMean, 1e-5);
    EXPECT_NEAR(result.deltaUmax, 101.0 - oldMean, 1e-5);
    // The new steady window begins with the value that started the event.
    EXPECT_DOUBLE_EQ(result.duration, 0.0);
}

TEST(RvcPhaseDetection, MinusFivePercentStepAndDipOnA230VSupply) {
    // N = 10 values of 10 ms (half-cycle values at 50 Hz), 2 %, hysteresis 50 %.
    constexpr double dt = 0.01;
    constexpr double nominal = 230.0;
    constexpr double dipped = 0.95 * nominal;  // 218.5 V

    // A lasting step: the first dipped value breaks the window (mean 228.85,
    // band +-4.58 excludes 218.5); ten dipped values form the new steady state.
    {
        RvcPhaseCalculation detector = makeDetector(10, 2.0, 50.0);
        int index = 0;
        for (; index < 10; ++index) {
            detector.calculate(nominal, index * dt);
        }
        detector.calculate(dipped, index * dt);
        ASSERT_EQ(detector.getCurrentResult().state, 1);
        int endedAt = -1;
        for (++index; index < 40 && endedAt < 0; ++index) {
            detector.calculate(dipped, index * dt);
            if (detector.getCurrentResult().eventEnded) {
                endedAt = index;
            }
        }
        // The event started at value 10 and ends with its tenth value, 19.
        EXPECT_EQ(endedAt, 19);
        const RvcResult& result = detector.getCurrentResult();
        EXPECT_NEAR(result.deltaUmax, 11.5, 1e-4);
        EXPECT_NEAR(result.deltaUss, 11.5, 1e-4);
        EXPECT_EQ(result.eventCount, 1u);
    }

    // A dip of five values (50 ms): the level returns to 230 V, so the steady
    // levels before and after agree, the deepest deviation is 11.5 V and the
    // duration is the length of the dip.
    {
        RvcPhaseCalculation detector = makeDetector(10, 2.0, 50.0);
        RvcResult ended{};
        for (int index = 0; index < 60; ++index) {
            const bool inDip = index >= 10 && index < 15;
            detector.calculate(inDip ? dipped : nominal, index * dt);
            if (detector.getCurrentResult().eventEnded) {
                ended = detector.getCurrentResult();
                // The window of ten 230 V values after the dip is full at 24.
                EXPECT_EQ(index, 24);
            }
        }
        EXPECT_TRUE(ended.eventEnded);
        EXPECT_NEAR(ended.deltaUmax, 11.5, 1e-4);
        EXPECT_NEAR(ended.deltaUss, 0.0, 1e-4);
        EXPECT_NEAR(ended.duration, 5 * dt, 1e-12);
        EXPECT_EQ(ended.eventCount, 1u);
        EXPECT_EQ(detector.getCurrentResult().state, 0);
    }
}

TEST(RvcPhaseDetection, ResetForgetsValuesButKeepsSettings) {
    RvcPhaseCalculation detector = makeDetector(3, 2.0, 50.0);
    feed(detector, {100.0, 100.0, 100.0, 104.0, 104.0, 104.0});
    ASSERT_EQ(detector.getCurrentResult().eventCount, 1u);

    detector.reset();
    EXPECT_EQ(detector.getCurrentResult().state, -1);
    EXPECT_EQ(detector.getCurrentResult().eventCount, 0u);
    EXPECT_DOUBLE_EQ(detector.getSteadyStateDuration(), 0.0);
    EXPECT_EQ(detector.getSteadyStateLength(), 3u);
    EXPECT_DOUBLE_EQ(detector.getSteadyStateThreshold(), 2.0);
    EXPECT_DOUBLE_EQ(detector.getThresholdHysteresis(), 50.0);

    // A value far from the forgotten level of 104 is simply the first value.
    detector.calculate(50.0, 10.0);
    EXPECT_EQ(detector.getCurrentResult().state, 0);
    EXPECT_TRUE(detector.getCurrentResult().firstValue);
}

TEST(RvcPhaseDetection, SteadyStateDurationSpansTheHeldWindow) {
    RvcPhaseCalculation detector = makeDetector(3, 2.0, 50.0);
    detector.calculate(100.0, 0.25);
    EXPECT_DOUBLE_EQ(detector.getSteadyStateDuration(), 0.0);
    detector.calculate(100.0, 0.5);
    EXPECT_DOUBLE_EQ(detector.getSteadyStateDuration(), 0.25);
    detector.calculate(100.0, 1.0);
    detector.calculate(100.0, 2.0);  // the value of 0.25 s leaves the window
    EXPECT_DOUBLE_EQ(detector.getSteadyStateDuration(), 1.5);
}

// ---- several channels combined ----------------------------------------------

TEST(RvcMultiPhaseDetection, TotalEventRunsFromFirstChannelInToLastChannelOut) {
    RvcMultiPhaseCalculation detectors;
    detectors.setNumberOfPhases(3);
    for (std::size_t c = 0; c < 3; ++c) {
        detectors[c].setSteadyStateLength(3);
        detectors[c].setSteadyStateThreshold(2.0);
        detectors[c].setThresholdHysteresis(50.0);
    }
    detectors.initialize();

    // Phase 0 steps to 104 at t = 3 (its event ends at t = 5), phase 1 steps to
    // 95 at t = 4 (its event ends at t = 6), phase 2 stays at 100.
    const auto valueOf = [](const std::size_t phase, const int t) {
        if (phase == 0) {
            return t >= 3 ? 104.0 : 100.0;
        }
        if (phase == 1) {
            return t >= 4 ? 95.0 : 100.0;
        }
        return 100.0;
    };
    std::vector<RvcResult> totals;
    for (int t = 0; t < 10; ++t) {
        for (std::size_t c = 0; c < 3; ++c) {
            detectors[c].calculate(valueOf(c, t), t);
        }
        totals.push_back(detectors.getTotalResult());
    }

    EXPECT_TRUE(totals[0].firstValue);
    EXPECT_EQ(totals[0].state, 0);
    EXPECT_EQ(totals[2].state, 0);

    EXPECT_EQ(totals[3].state, 1);
    EXPECT_TRUE(totals[3].stateChanged);
    // Phase 0's own event ends at t = 5 while phase 1 is still in one.
    ASSERT_TRUE(detectors[0].getCurrentResult().eventCount == 1u);
    EXPECT_EQ(totals[5].state, 1);
    EXPECT_FALSE(totals[5].eventEnded);
    EXPECT_FALSE(totals[5].stateChanged);

    const RvcResult& end = totals[6];
    EXPECT_EQ(end.state, 0);
    EXPECT_TRUE(end.stateChanged);
    EXPECT_TRUE(end.eventEnded);
    // Two channel events, one total event.
    EXPECT_EQ(end.eventCount, 1u);
    EXPECT_EQ(totals[9].eventCount, 1u);
    // t = 6 minus start 3 minus the settling window of the first detector
    // (its values at 4, 5, 6 span 2 s): the event lasted until t = 4.
    EXPECT_DOUBLE_EQ(end.duration, 1.0);
    // The deviations are the largest over the channels: 5 V of phase 1.
    EXPECT_FLOAT_EQ(end.deltaUmax, 5.0f);
    EXPECT_FLOAT_EQ(end.deltaUss, 5.0f);
    EXPECT_DOUBLE_EQ(end.time, 6.0);
}

TEST(RvcMultiPhaseDetection, CountsEachTotalEventOnceAndResetsWithInitialize) {
    RvcMultiPhaseCalculation detectors;
    detectors.setNumberOfPhases(2);
    for (std::size_t c = 0; c < 2; ++c) {
        detectors[c].setSteadyStateLength(2);
        detectors[c].setSteadyStateThreshold(2.0);
        detectors[c].setThresholdHysteresis(50.0);
    }
    detectors.initialize();

    // Both phases step together twice: 100 -> 110 at t = 2, 110 -> 100 at t = 6.
    uint32_t endedEvents = 0;
    RvcResult total{};
    for (int t = 0; t < 10; ++t) {
        const double value = (t >= 2 && t < 6) ? 110.0 : 100.0;
        detectors[0].calculate(value, t);
        detectors[1].calculate(value, t);
        total = detectors.getTotalResult();
        endedEvents += total.eventEnded ? 1u : 0u;
    }
    EXPECT_EQ(endedEvents, 2u);
    EXPECT_EQ(total.eventCount, 2u);

    detectors.initialize();
    detectors[0].calculate(100.0, 20.0);
    detectors[1].calculate(100.0, 20.0);
    total = detectors.getTotalResult();
    EXPECT_EQ(total.eventCount, 0u);
    EXPECT_TRUE(total.firstValue);
    EXPECT_TRUE(total.stateChanged);
    EXPECT_EQ(total.state, 0);
}
