// Dips, swells and interruptions: the detector on values worked out by hand
// (polyphase start and end rules, hysteresis, the sliding reference), and a
// module fed a sine with a rectangular dip, whose one-cycle values and event
// follow from the share of each window that lies inside the dip.
#include <cmath>
#include <vector>

#include "period/VoltageEventDetector.h"
#include "support/TestSupport.h"

namespace {

using powergpu::VoltageEventDetector;
using powergpu::VoltageEventSettings;
using namespace powergpu::test;

VoltageEventDetector detector(std::size_t phases, bool sliding = false) {
    VoltageEventSettings settings;  // 230 V, dip 90 %, swell 110 %, interruption 5 %, hysteresis 2 %
    settings.slidingReference = sliding;
    VoltageEventDetector d;
    d.reset(settings, phases);
    return d;
}

// Feeds rows of phase values at times 0, 0.01, 0.02, ...
void feed(VoltageEventDetector& d, const std::vector<std::vector<double>>& rows, double first = 0.0) {
    double time = first;
    for (const auto& row : rows) {
        d.add(row.data(), time);
        time += 0.01;
    }
}

std::vector<PowerVoltageEvent> take(VoltageEventDetector& d) {
    std::vector<PowerVoltageEvent> events(d.finishedCount());
    events.resize(d.takeFinished(events.data(), events.size()));
    return events;
}

// What a hand calculation gives of an event: its kind, phase mask, start,
// duration and extreme; `phase` (1..3, or 0: not checked) of the extreme.
void expectEvent(const PowerVoltageEvent& e, int32_t type, uint32_t phases, double start, double duration,
                 double extreme, int32_t phase = 0) {
    EXPECT_EQ(e.type, type);
    EXPECT_EQ(e.phases, phases);
    EXPECT_NEAR(e.startTime, start, 1e-12);
    EXPECT_NEAR(e.duration, duration, 1e-12);
    EXPECT_DOUBLE_EQ(e.extreme, extreme);
    EXPECT_TRUE(phase == 0 || e.extremePhase == phase) << e.extremePhase;
}

}  // namespace

TEST(VoltageEventDetection, SinglePhaseDipEndsOnlyPastTheHysteresis) {
    // 90 % of 230 V is 207 V, 92 % is 211.6 V: 206.9 starts the dip, 211.5
    // keeps it going, 211.6 ends it; it lasts from the value at 0.02 s to the
    // one at 0.05 s.
    VoltageEventDetector d = detector(1);
    feed(d, {{230.0}, {207.0}, {206.9}, {180.0}, {211.5}, {211.6}, {230.0}});
    const auto events = take(d);
    ASSERT_EQ(events.size(), 1u);
    expectEvent(events[0], POWER_VOLTAGE_EVENT_DIP, 1u, 0.02, 0.03, 180.0, 1);
    EXPECT_EQ(events[0].ended, 1);
    EXPECT_EQ(events[0].valueCount, 3);
    EXPECT_DOUBLE_EQ(events[0].referenceVoltage, 230.0);
    EXPECT_NEAR(events[0].extremePercent, 100.0 * 180.0 / 230.0, 1e-12);
}

TEST(VoltageEventDetection, PolyphaseDipRunsFromTheFirstPhaseInToTheLastPhaseOut) {
    VoltageEventDetector d = detector(3);
    feed(d, {
                {230.0, 230.0, 230.0},
                {230.0, 200.0, 230.0},  // phase 2 starts the dip
                {230.0, 150.0, 190.0},  // phase 3 follows
                {230.0, 230.0, 200.0},  // phase 2 is back, phase 3 still down
                {230.0, 230.0, 210.0},  // within the hysteresis: still a dip
                {230.0, 230.0, 212.0},  // all back above 211.6 V: the dip ends
            });
    const auto events = take(d);
    ASSERT_EQ(events.size(), 1u);
    expectEvent(events[0], POWER_VOLTAGE_EVENT_DIP, 0b110u, 0.01, 0.04, 150.0, 2);
}

TEST(VoltageEventDetection, SwellEndsBelowThresholdMinusHysteresisAndRunsBesideADip) {
    // 110 % is 253 V, 108 % is 248.4 V: 248.5 V keeps the swell going. Phase 1
    // swells while phase 2 dips (an earth fault on an isolated network): both
    // events, each on its own; the dip ends first, at 0.03 s.
    VoltageEventDetector d = detector(2);
    feed(d, {{230.0, 230.0}, {253.5, 150.0}, {260.0, 160.0}, {248.5, 230.0}, {248.4, 230.0}});
    const auto events = take(d);
    ASSERT_EQ(events.size(), 2u);
    expectEvent(events[0], POWER_VOLTAGE_EVENT_DIP, 0b10u, 0.01, 0.02, 150.0);
    expectEvent(events[1], POWER_VOLTAGE_EVENT_SWELL, 0b01u, 0.01, 0.03, 260.0);
    EXPECT_NEAR(events[1].extremePercent, 100.0 * 260.0 / 230.0, 1e-12);
    EXPECT_TRUE(events[0].index != events[1].index);
}

TEST(VoltageEventDetection, InterruptionNeedsEveryPhaseDownAndEndsWithTheFirstPhaseBack) {
    // 5 % of 230 V is 11.5 V, 7 % is 16.1 V. The dip contains the interruption.
    VoltageEventDetector d = detector(3);
    feed(d, {
                {230.0, 230.0, 230.0},
                {5.0, 5.0, 100.0},  // two phases lost: a dip only
                {5.0, 2.0, 10.0},   // all below 11.5 V: the interruption starts
                {1.0, 3.0, 16.0},   // 16 V is not yet 7 %
                {1.0, 16.2, 3.0},   // one phase back past 7 %: the interruption ends
                {230.0, 230.0, 230.0},
            });
    const auto events = take(d);
    ASSERT_EQ(events.size(), 2u);
    expectEvent(events[0], POWER_VOLTAGE_EVENT_INTERRUPTION, 0b111u, 0.02, 0.02, 1.0, 1);
    expectEvent(events[1], POWER_VOLTAGE_EVENT_DIP, 0b111u, 0.01, 0.04, 1.0);
}

TEST(VoltageEventDetection, SlidingReferenceFollowsTheVoltageWithAOneMinuteTimeConstantAndHoldsDuringEvents) {
    // 240 V for 300 s with the reference starting at 230 V leaves the
    // reference at 240 - 10 exp(-5) V = 239.93 V, whose 90 % is 215.94 V:
    // 215.5 V is a dip against it, but not against the declared 230 V
    // (90 % is 207 V), where only 150 V is.
    VoltageEventDetector sliding = detector(1, true);
    VoltageEventDetector fixed = detector(1, false);
    const double step = 0.01;
    int n = 0;
    for (; n <= 30000; ++n) {
        const double value = 240.0;
        sliding.add(&value, n * step);
        fixed.add(&value, n * step);
    }
    const double expected = 240.0 - 10.0 * std::exp(-300.0 / 60.0);
    EXPECT_NEAR(sliding.reference(0), expected, 1e-9);
    EXPECT_DOUBLE_EQ(fixed.reference(0), 230.0);
    for (const double value : {215.5, 150.0}) {
        sliding.add(&value, n * step);
        fixed.add(&value, n * step);
        ++n;
    }
    // A minute at 200 V would pull an unheld reference to about 215 V.
    for (int k = 0; k < 6000; ++k, ++n) {
        const double value = 200.0;
        sliding.add(&value, n * step);
    }
    EXPECT_NEAR(sliding.reference(0), expected, 1e-9) << "held while the dip lasts";
    const double back = 240.0;
    sliding.add(&back, n * step);
    fixed.add(&back, n * step);
    const auto events = take(sliding);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_NEAR(events[0].startTime, 30001 * step, 1e-9);
    EXPECT_NEAR(events[0].referenceVoltage, expected, 1e-9);
    EXPECT_NEAR(events[0].extremePercent, 100.0 * 150.0 / expected, 1e-9);
    const auto fixedEvents = take(fixed);
    ASSERT_EQ(fixedEvents.size(), 1u);
    EXPECT_NEAR(fixedEvents[0].startTime, 30002 * step, 1e-9) << "only 150 V is below 207 V";
    EXPECT_DOUBLE_EQ(fixedEvents[0].referenceVoltage, 230.0);
}

TEST(VoltageEventDetection, StepsWithoutANumberAreSkippedAndEventsInProgressAreCopiedNotTaken) {
    VoltageEventDetector d = detector(2);
    const double nan = std::nan("");
    feed(d, {{230.0, 230.0}, {nan, 100.0}, {230.0, 100.0}, {230.0, 90.0}});
    EXPECT_EQ(d.finishedCount(), 0u);
    PowerVoltageEvent open[3];
    ASSERT_EQ(d.copyInProgress(open, 3), 1u);
    EXPECT_EQ(open[0].ended, 0);
    EXPECT_NEAR(open[0].startTime, 0.02, 1e-12) << "the step with NaN at 0.01 s started nothing";
    EXPECT_NEAR(open[0].duration, 0.01, 1e-12);
    EXPECT_DOUBLE_EQ(open[0].extreme, 90.0);
    EXPECT_EQ(d.copyInProgress(open, 3), 1u) << "copying does not remove";
}

TEST(VoltageEventDetection, WaitingEventsAreBoundedAndTheirNumbersShowTheDropped) {
    VoltageEventDetector d = detector(1);
    const std::size_t dips = VoltageEventDetector::kMaxWaitingEvents + 5;
    double time = 0.0;
    for (std::size_t k = 0; k < dips; ++k) {
        for (const double value : {100.0, 230.0}) {
            d.add(&value, time);
            time += 0.01;
        }
    }
    const auto events = take(d);
    ASSERT_EQ(events.size(), VoltageEventDetector::kMaxWaitingEvents);
    EXPECT_EQ(events.front().index, 5u);
    EXPECT_EQ(events.back().index, dips - 1);
}

// ---------------------------------------------------------------- a module

class VoltageEventsOfAModule : public powergpu::test::BackendTest {};

namespace {

// 230 V, 50 Hz on three phases at 10 kHz; phase 1 drops to 70 % from
// `dipStart` for 100 ms. Cycles of 200 samples are reported from sample 0,
// so one-cycle windows start every 10 ms at the crossings.
std::vector<PowerVoltageEvent> dipEvents(int32_t backend, double dipStart, std::vector<double>* phase1Values) {
    PowerModule module(backend);
    configure(module, 10000.0, 20000, [](PowerModule& m) {
        m.setGridConfigType(ThreePhaseStar);
        m.setCurrentEnabled(false);
        m.setPeriodValuesEnabled(true);
        m.setPeriodValuesOverlapInPercent(50);
        m.setVoltageEventsEnabled(true);
    });
    const SignalFunction signal = [dipStart](char, int c, double t) {
        const bool dipped = c == 0 && t >= dipStart - 1e-9 && t < dipStart + 0.1 - 1e-9;
        return (dipped ? 0.7 : 1.0) * sine(polar(230.0, -120.0 * c), kTwoPi * 50.0, t);
    };
    ModuleFeeder feeder(module, signal);
    std::vector<PowerVoltageEvent> events;
    for (int block = 0; block < 10; ++block) {
        feeder.write(2000);
        module.scheduleForCalculation(feeder.written() - 2000, 2000, 50.0);
        module.getResults(0);
        std::vector<Cycle> cycles;
        for (int k = 0; k < 10; ++k) {
            cycles.push_back({static_cast<uint64_t>(block * 10 + k) * 200, 200, 50.0});
        }
        scheduleCycles(module, cycles);
        for (const auto& value : takePeriodValues(module)) {
            if (phase1Values != nullptr) {
                phase1Values->push_back(value[1].rmsU);
            }
        }
        const auto taken = module.getVoltageEvents(100);
        events.insert(events.end(), taken.begin(), taken.end());
    }
    EXPECT_TRUE(module.getVoltageEventsInProgress().empty());
    return events;
}

}  // namespace

TEST_P(VoltageEventsOfAModule, FiveCycleDipTo70PercentOnOnePhaseLastsItsHundredMillisecondsToTheHalfCycleGrid) {
    // A one-cycle value with a share x of its window in the dip has the rms
    // 230 sqrt(1 - 0.51 x) when the dip's edges fall on half cycles (the
    // mean square of a sampled half cycle is that of a whole cycle). It is
    // below 90 % for x > 0.3725 and back at 92 % for x <= 0.3010. Values end
    // every 10 ms and are stamped at their middle.
    // Dip from 1.005 s (the peak of phase 1): the first value below ends at
    // 1.020 s (x = 0.75), the first back at 1.120 s (x = 0.25): 100 ms.
    const auto atPeak = dipEvents(GetParam(), 1.005, nullptr);
    ASSERT_EQ(atPeak.size(), 1u);
    const PowerVoltageEvent& dip = atPeak[0];
    EXPECT_EQ(dip.type, POWER_VOLTAGE_EVENT_DIP);
    EXPECT_EQ(dip.phases, 1u);
    EXPECT_NEAR(dip.startTime, 1.010, 1e-9);
    EXPECT_NEAR(dip.duration, 0.100, 1e-9);
    EXPECT_EQ(dip.valueCount, 10);
    EXPECT_NEAR(dip.extreme, 161.0, 1e-3) << "windows wholly inside the dip";
    EXPECT_NEAR(dip.extremePercent, 70.0, 1e-3);
    EXPECT_EQ(dip.extremePhase, 1);

    // Dip from a crossing (1.000 s): below from the value ending 1.010 s
    // (x = 0.5), back only at 1.120 s (x = 0), since x = 0.5 at 1.110 s is
    // still inside the hysteresis: 110 ms, half a cycle longer.
    std::vector<double> values;
    const auto atCrossing = dipEvents(GetParam(), 1.000, &values);
    ASSERT_EQ(atCrossing.size(), 1u);
    EXPECT_NEAR(atCrossing[0].startTime, 1.000, 1e-9);
    EXPECT_NEAR(atCrossing[0].duration, 0.110, 1e-9);
    EXPECT_NEAR(atCrossing[0].extreme, 161.0, 1e-3);
    // The values with half their window in the dip (the 100th, ending at
    // 1.010 s, and the 110th): 198.5 V, below 90 % (207 V).
    ASSERT_GT(values.size(), 110u);
    const double half = 230.0 * std::sqrt(1.0 - 0.51 * 0.5);
    EXPECT_NEAR(values[99], half, 1e-3);
    EXPECT_NEAR(values[109], half, 1e-3);
    EXPECT_NEAR(values[110], 230.0, 1e-3);
}

TEST_P(VoltageEventsOfAModule, SettingsAreCheckedAndTakeEffectAtReset) {
    PowerModule module(GetParam());
    configure(module, 10000.0, 20000, [](PowerModule& m) { m.setPeriodValuesEnabled(true); });
    EXPECT_THROW(module.getVoltageEvents(1), PowerInvalidCall) << "not enabled at the last reset";
    module.setVoltageEventsEnabled(true);
    EXPECT_THROW(module.getVoltageEvents(1), PowerInvalidCall) << "stored, not yet reset";
    module.reset(0);
    EXPECT_TRUE(module.getVoltageEvents(1).empty());
    EXPECT_THROW(module.setVoltageEventDeclaredVoltage(0.0), PowerInvalidCall);
    EXPECT_THROW(module.setVoltageEventDeclaredVoltage(std::nan("")), PowerInvalidCall);
    EXPECT_THROW(module.setVoltageDipThreshold(-1.0), PowerInvalidCall);
    EXPECT_THROW(module.setVoltageSwellThreshold(99.0), PowerInvalidCall);
    EXPECT_THROW(module.setVoltageInterruptionThreshold(std::nan("")), PowerInvalidCall);
    EXPECT_THROW(module.setVoltageEventHysteresis(101.0), PowerInvalidCall);
    EXPECT_DOUBLE_EQ(module.getVoltageEventDeclaredVoltage(), 230.0) << "a rejected setting changes nothing";
    EXPECT_DOUBLE_EQ(module.getVoltageDipThreshold(), 90.0);
    EXPECT_DOUBLE_EQ(module.getVoltageSwellThreshold(), 110.0);
    EXPECT_DOUBLE_EQ(module.getVoltageInterruptionThreshold(), 5.0);
    EXPECT_DOUBLE_EQ(module.getVoltageEventHysteresis(), 2.0);
    EXPECT_FALSE(module.getVoltageEventSlidingReferenceEnabled());
    module.setVoltageEventDeclaredVoltage(400.0);
    EXPECT_DOUBLE_EQ(module.implementation()->period().getVoltageEventDetector().reference(0), 230.0);
    module.reset(0);
    EXPECT_DOUBLE_EQ(module.implementation()->period().getVoltageEventDetector().reference(0), 400.0);
}

POWERGPU_INSTANTIATE_FOR_BACKENDS(VoltageEventsOfAModule);
