// Period values: RVC detection on values worked out by hand, reference tracks
// and windows built from reported cycles, and whole modules driven as a caller
// drives them against the values the physics of the signal dictates.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>

#include "period/PowerPeriodResultsQueueItem.h"
#include "period/RvcMultiPhaseCalculation.h"
#include "period/RvcPhaseCalculation.h"
#include "support/TestSupport.h"

namespace {

using namespace powergpu::test;
using powergpu::RvcMultiPhaseCalculation;
using powergpu::RvcPhaseCalculation;

RvcPhaseCalculation detector(uint64_t steadyStateLength, double thresholdPercent = 2.0, double hysteresis = 50.0) {
    RvcPhaseCalculation d;
    d.setSteadyStateLength(steadyStateLength);
    d.setSteadyStateThreshold(thresholdPercent);
    d.setThresholdHysteresis(hysteresis);
    d.reset();
    return d;
}

// Feeds values at times first, first + 1, ... and returns the result after the last.
RvcResult feed(RvcPhaseCalculation& d, const std::vector<double>& values, double first = 0.0) {
    for (const double value : values) {
        d.calculate(value, first++);
    }
    return d.getCurrentResult();
}

}  // namespace

TEST(RvcDetection, FirstValueIsFlaggedAndSteadyAndTheBandDecidesBetween103And104) {
    RvcPhaseCalculation d = detector(3);
    EXPECT_EQ(d.getCurrentResult().state, -1);
    d.calculate(230.0, 0.5);
    EXPECT_TRUE(d.getCurrentResult().firstValue && d.getCurrentResult().stateChanged);
    EXPECT_TRUE(d.getCurrentResult().state == 0 && d.getCurrentResult().time == 0.5);
    d.calculate(230.0, 1.0);
    EXPECT_FALSE(d.getCurrentResult().firstValue || d.getCurrentResult().stateChanged);
    // N = 3, 2 %: 100, 100, 103 has mean 101 and band +-2.02, so 103 stays
    // inside; 100, 100, 104 has mean 101.33 and band +-2.03: 104 starts an event.
    RvcPhaseCalculation steady = detector(3);
    EXPECT_EQ(feed(steady, {100.0, 100.0, 100.0, 103.0}).state, 0);
    RvcPhaseCalculation broken = detector(3);
    const RvcResult started = feed(broken, {100.0, 100.0, 100.0, 104.0});
    EXPECT_TRUE(started.state == 1 && started.stateChanged && !started.eventEnded && started.eventCount == 0);
    // The largest deviation is measured from the old steady mean 100: the step's 4, not the settling 1.
    const RvcResult ended = feed(broken, {101.0, 101.0, 101.0}, 4.0);
    EXPECT_TRUE(ended.eventEnded && ended.state == 0 && ended.eventCount == 1);
    EXPECT_FLOAT_EQ(ended.deltaUmax, 4.0f);
    EXPECT_FLOAT_EQ(ended.deltaUss, 1.0f);
    EXPECT_DOUBLE_EQ(ended.duration, 1.0) << "from the breaking value (t = 3) to the new steady window (t = 4)";
}

TEST(RvcDetection, HysteresisNarrowsTheBandAndAnEventLastsAtLeastNValues) {
    // After 104, the window 102, 100, 102 lies within +-2 % but not +-1 %: the
    // event goes on with 50 % hysteresis and ends without narrowing (100 %).
    const std::vector<double> values{100.0, 100.0, 100.0, 104.0, 102.0, 100.0, 102.0};
    RvcPhaseCalculation narrowed = detector(3, 2.0, 50.0);
    RvcPhaseCalculation unnarrowed = detector(3, 2.0, 100.0);
    EXPECT_EQ(feed(narrowed, values).state, 1);
    EXPECT_EQ(feed(unnarrowed, values).eventCount, 1u);
    // 101 breaks 98, 97, 99.2; the next window 99.2, 101, 100 is already within
    // the narrowed band, but only two values belong to the event.
    RvcPhaseCalculation d = detector(3);
    ASSERT_EQ(feed(d, {98.0, 97.0, 99.2, 101.0}).state, 1);
    EXPECT_FALSE(feed(d, {100.0}, 4.0).eventEnded);
    const RvcResult ended = feed(d, {100.0}, 5.0);
    EXPECT_TRUE(ended.eventEnded && ended.state == 0);
    const double oldMean = (98.0 + 97.0 + 99.2) / 3.0;
    EXPECT_NEAR(ended.deltaUss, (101.0 + 100.0 + 100.0) / 3.0 - oldMean, 1e-5);
    EXPECT_NEAR(ended.deltaUmax, 101.0 - oldMean, 1e-5);
    EXPECT_DOUBLE_EQ(ended.duration, 0.0) << "the new steady window begins with the breaking value";
}

TEST(RvcDetection, TotalEventRunsFromTheFirstChannelInToTheLastChannelOut) {
    RvcMultiPhaseCalculation detectors;
    detectors.setNumberOfPhases(3);
    for (std::size_t c = 0; c < 3; ++c) {
        detectors[c].setSteadyStateLength(3);
        detectors[c].setSteadyStateThreshold(2.0);
        detectors[c].setThresholdHysteresis(50.0);
    }
    detectors.initialize();
    // Phase 0 steps to 104 at t = 3 (its event ends at 5), phase 1 to 95 at t = 4 (ends at 6).
    std::vector<RvcResult> totals;
    for (int t = 0; t < 10; ++t) {
        detectors[0].calculate(t >= 3 ? 104.0 : 100.0, t);
        detectors[1].calculate(t >= 4 ? 95.0 : 100.0, t);
        detectors[2].calculate(100.0, t);
        totals.push_back(detectors.getTotalResult());
    }
    EXPECT_TRUE(totals[0].firstValue && totals[0].state == 0 && totals[2].state == 0);
    EXPECT_TRUE(totals[3].state == 1 && totals[3].stateChanged);
    EXPECT_EQ(detectors[0].getCurrentResult().eventCount, 1u);
    EXPECT_TRUE(totals[5].state == 1 && !totals[5].eventEnded && !totals[5].stateChanged);
    const RvcResult& end = totals[6];
    EXPECT_TRUE(end.state == 0 && end.stateChanged && end.eventEnded);
    EXPECT_TRUE(end.eventCount == 1 && totals[9].eventCount == 1) << "two channel events, one total event";
    // From 3 to 6 less the settling window of the first detector (values at 4, 5, 6 span 2 s).
    EXPECT_DOUBLE_EQ(end.duration, 1.0);
    EXPECT_FLOAT_EQ(end.deltaUmax, 5.0f) << "the largest over the channels";
    EXPECT_FLOAT_EQ(end.deltaUss, 5.0f);
    EXPECT_DOUBLE_EQ(end.time, 6.0);
}

namespace {

// A single-phase module with one-cycle period values, 50 Hz at 6400 samples/s
// (1/128 cycle per sample), R positions per sample.
class PeriodTracks : public ::testing::Test {
protected:
    void configure(int positionsPerSample, uint16_t overlapPercent = 0, double rate = 6400.0, uint64_t ring = 6400) {
        powergpu::test::configure(
            module, rate, ring,
            [overlapPercent](PowerModule& m) {
                m.setPeriodValuesEnabled(true);
                m.setPeriodValuesOverlapInPercent(overlapPercent);
            },
            positionsPerSample);
    }
    void schedule(const std::vector<Cycle>& cycles) { scheduleCycles(module, cycles); }
    struct Batch {
        int count = -1;
        bool more = true;
        PowerResultsPeriod* records = nullptr;
    };
    Batch fetch() {
        Batch batch;
        module.getPeriodResults(&batch.count, &batch.more, &batch.records);
        return batch;
    }
    const powergpu::PowerBuffers& buffers() const { return module.implementation()->settings().getBuffers(); }
    double frequencyAt(uint64_t sample) const { return buffers().periodSamples.getHostBuffer(0)[sample]; }
    double validityAt(uint64_t sample) const { return buffers().periodSamples.getHostBuffer(2)[sample]; }
    double phaseAt(uint64_t sample) const {  // in cycles, [0, 1)
        const double* phasor = buffers().periodSamples.getHostBuffer(1);
        const double cycles = std::atan2(phasor[2 * sample + 1], phasor[2 * sample]) / kTwoPi;
        return cycles < 0.0 ? cycles + 1.0 : cycles;
    }
    static constexpr double kStep = 50.0 / 6400.0;
    PowerModule module{POWER_BACKEND_CPU};
};

}  // namespace

TEST_F(PeriodTracks, SubSamplePositionsGiveFractionalSamplesAndTouchingCyclesShareOneStep) {
    // R = 4: sub-samples 10 .. 17 lie in samples 2 (half of it), 3 and 4 (half of it).
    configure(4);
    schedule({{10, 8, 50.0}});
    EXPECT_NEAR(phaseAt(2), 0.5 * kStep, 1e-12);
    EXPECT_NEAR(phaseAt(3), 1.5 * kStep, 1e-12);
    EXPECT_NEAR(phaseAt(4), 2.0 * kStep, 1e-12);
    EXPECT_DOUBLE_EQ(frequencyAt(2), 25.0) << "shared with the absent (0 Hz) previous cycle";
    EXPECT_DOUBLE_EQ(frequencyAt(3), 50.0);
    EXPECT_TRUE(validityAt(2) == 1.0 && validityAt(4) == 1.0);
    // Two cycles of 2.5 samples meeting in the middle of sample 2 advance it one whole step.
    module.reset(0);
    schedule({{0, 10, 50.0}, {10, 10, 50.0}});
    for (uint64_t sample = 0; sample <= 4; ++sample) {
        EXPECT_NEAR(phaseAt(sample), (sample + 1) * kStep, 1e-12) << "sample " << sample;
    }
}

TEST_F(PeriodTracks, ValidCycleAfterAnInvalidOneNeedsMoreThanNinetyPercentOfTheSharedSample) {
    configure(20);  // offsets 1, 3, 0 give the valid cycle 95 %, 85 % and all of sample 1
    const struct {
        uint64_t start;
        bool firstValid;
        double sample1;
    } cases[] = {{21, false, 1.0}, {23, false, 0.0}, {40, false, 0.0}, {30, true, 1.0}};
    for (const auto& c : cases) {
        module.reset(0);
        schedule({{0, static_cast<int>(c.start), 50.0, c.firstValid}, {c.start, 40, 50.0}});
        EXPECT_EQ(validityAt(0), c.firstValid ? 1.0 : 0.0) << c.start;
        EXPECT_EQ(validityAt(1), c.sample1) << "second cycle from sub-sample " << c.start;
        EXPECT_EQ(validityAt(2), 1.0) << c.start;
    }
}

TEST_F(PeriodTracks, EmptyCyclesAreIgnoredZeroHertzAdvancesNothingAndUnusableFrequenciesAreRefused) {
    configure(1, 50);  // one-cycle windows every half cycle: at most 3200 Hz at 6400 samples/s
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const double refused : {nan, std::numeric_limits<double>::infinity(), -50.0, 3200.5, 6400.0}) {
        EXPECT_THROW(schedule({{0, 128, 50.0}, {0, 128, refused}}), PowerInvalidCall) << refused;
        EXPECT_EQ(frequencyAt(0), 0.0) << "a refused call writes nothing, its valid first entry included";
    }
    EXPECT_THROW(schedule({{0, 6401, 50.0}}), PowerInvalidCall) << "a cycle longer than the ring";
    EXPECT_THROW(schedule({{UINT64_MAX - 10, 128, 50.0}}), PowerInvalidCall) << "beyond the last index";
    schedule({{0, 0, nan}, {0, -5, nan}});  // empty: ignored, frequencies unread
    EXPECT_EQ(frequencyAt(0), 0.0);
    // A 0 Hz cycle holds the reference where it is; the next cycle goes on from there.
    schedule({{0, 64, 0.0}, {64, 128, 50.0}});
    EXPECT_TRUE(frequencyAt(10) == 0.0 && phaseAt(63) == 0.0);
    EXPECT_NEAR(phaseAt(64), kStep, 1e-12);
    EXPECT_NEAR(phaseAt(191), 0.0, 1e-12) << "a whole cycle after the held samples";
    // A table that jumps far ahead between two entries restarts the chain at
    // the later cycle instead of walking the gap window by window (which
    // would take hours): the call returns, and both cycles are written, the
    // far one over ring positions 64 to 191 half a cycle after the first
    // one's sample 63.
    const uint64_t far = uint64_t{1} << 40;
    schedule({{0, 128, 50.0}, {far * 6400 + 64, 128, 50.0}});
    EXPECT_NEAR(std::fmod(phaseAt(63) - phaseAt(191) + 1.0, 1.0), 0.5, 1e-12);
    // The highest usable frequency is half the sample rate here: windows then
    // advance one sample each and the chain ends.
    module.reset(0);
    schedule({{0, 6400, 3200.0}});
    module.skipSamples(6400);
    EXPECT_GT(fetch().count, 50);
}

TEST(PeriodWindows, AChainOfAMillionWindowsIsReleasedWithoutRecursion) {
    // Each window owns its successor; only the head is held here. Released
    // one by one through the links, the chain would need a stack frame per
    // window.
    const double frequency[1] = {0.5}, validity[1] = {1.0};  // half a cycle per sample
    auto head = std::make_shared<powergpu::PowerPeriodResultsQueueItem>(0, 0, 1.0, 1.0, 0.5);
    powergpu::PowerPeriodResultsQueueItem* window = head.get();
    for (uint64_t n = 0; n < 1000000; ++n) {
        window->addSamplesFromTracks(n + 1, frequency, validity, 1, 1.0);
        ASSERT_TRUE(window->isLengthCalculated() && window->getNextItem() != nullptr);
        window = window->getNextItem().get();
    }
    EXPECT_EQ(window->getFirstSampleIndex(), 1000000u) << "one window per sample";
    head.reset();
}

TEST_F(PeriodTracks, HalfOverlapGivesOneCycleWindowsEveryHalfCycleInOrderAndInvalidCyclesMarkThem) {
    configure(1, 50);
    // Ten touching cycles of 128 samples, the fifth invalid; the samples are
    // skipped, which counts them as delivered.
    std::vector<Cycle> cycles;
    for (uint64_t n = 0; n < 10; ++n) {
        cycles.push_back({128 * n, 128, 50.0, n != 4});  // the fifth over samples 512 .. 639
    }
    schedule(cycles);
    module.skipSamples(1280);
    const Batch batch = fetch();
    ASSERT_EQ(batch.count, 19) << "windows end at 128, 192, ..., 1280 samples";
    EXPECT_FALSE(batch.more);
    for (int n = 0; n < batch.count; ++n) {
        const PowerResultsPeriod& record = batch.records[2 * n + 1];
        EXPECT_NEAR(record.time, (n + 2) * 0.01, 1e-12) << "window " << n << " ends after n + 2 half cycles";
        EXPECT_NEAR(record.frequency, 50.0, 1e-9) << "one cycle over 128 samples";
        EXPECT_EQ(record.valid, n < 7 || n > 9) << "window " << n << " over samples " << 64 * n << "..";
    }
}

TEST_F(PeriodTracks, RingWrapSplitsTheOutputAndUndeliveredValuesWait) {
    configure(1, 0, 10000.0, 1400);  // 1400 samples at up to 55 Hz with one-cycle values: 8 slots
    const auto cycles = [this](uint64_t first, int count) {
        std::vector<Cycle> run;
        for (int n = 0; n < count; ++n) {
            run.push_back({(first + n) * 200, 200, 50.0});
        }
        schedule(run);
    };
    cycles(0, 6);
    Batch batch = fetch();
    EXPECT_TRUE(batch.count == 0 && !batch.more) << "complete, but the samples are not delivered yet";
    module.skipSamples(1200);  // skipping counts as delivered
    batch = fetch();
    EXPECT_TRUE(batch.count == 6 && !batch.more);
    PowerResultsPeriod* const ringStart = batch.records;
    cycles(6, 4);
    module.skipSamples(800);
    batch = fetch();
    ASSERT_TRUE(batch.count == 2 && batch.more) << "values 6 and 7 at the ring end";
    EXPECT_EQ(batch.records, ringStart + 6 * 2);
    EXPECT_TRUE(std::abs(batch.records[1].time - 0.14) < 1e-12 && std::abs(batch.records[3].time - 0.16) < 1e-12);
    batch = fetch();
    ASSERT_TRUE(batch.count == 2 && !batch.more) << "values 8 and 9 at its start";
    EXPECT_EQ(batch.records, ringStart);
    EXPECT_TRUE(std::abs(batch.records[1].time - 0.18) < 1e-12 && std::abs(batch.records[3].time - 0.20) < 1e-12);
    EXPECT_EQ(fetch().count, 0);
}

TEST_F(PeriodTracks, RejectedCallsChangeNothing) {
    uint64_t start = 0;
    int length = 128, count = -1;
    double frequency = 50.0;
    bool valid = true, more = false;
    PowerResultsPeriod* records = nullptr;
    const auto scheduleOne = [&](PowerModule& m) {
        m.scheduleForPeriodCalculation(1, &start, &length, &frequency, &valid);
    };
    powergpu::test::configure(module, 6400.0, 6400);  // period values off
    EXPECT_THROW(scheduleOne(module), PowerInvalidCall);
    EXPECT_THROW(module.getPeriodResults(&count, &more, &records), PowerInvalidCall);
    module.setPeriodValuesEnabled(true);  // the rebuild starts the window chain at the next sample
    EXPECT_NO_THROW(scheduleOne(module));
    EXPECT_NO_THROW(module.getPeriodResults(&count, &more, &records));
    EXPECT_EQ(count, 0);
    configure(1);
    EXPECT_THROW(module.scheduleForPeriodCalculation(-1, &start, &length, &frequency, &valid), PowerInvalidCall);
    EXPECT_THROW(module.scheduleForPeriodCalculation(1, nullptr, &length, &frequency, &valid), PowerInvalidCall);
    EXPECT_THROW(module.scheduleForPeriodCalculation(1, &start, nullptr, &frequency, &valid), PowerInvalidCall);
    EXPECT_THROW(module.scheduleForPeriodCalculation(1, &start, &length, nullptr, &valid), PowerInvalidCall);
    EXPECT_THROW(module.scheduleForPeriodCalculation(1, &start, &length, &frequency, nullptr), PowerInvalidCall);
    EXPECT_EQ(frequencyAt(0), 0.0);
    EXPECT_NO_THROW(module.scheduleForPeriodCalculation(0, nullptr, nullptr, nullptr, nullptr));
    configure(1, 100);  // every window would start where its predecessor started
    EXPECT_THROW(scheduleOne(module), PowerInvalidCall);
}

namespace {

std::vector<Cycle> constantCycles(int count, int samplesPerCycle = 200) {
    std::vector<Cycle> cycles;
    for (int n = 0; n < count; ++n) {
        cycles.push_back({static_cast<uint64_t>(n) * samplesPerCycle, samplesPerCycle, 10000.0 / samplesPerCycle});
    }
    return cycles;
}

// Runs a CPU module at 10 kHz with a ring of 20000 and period values: per
// block of 2000 samples it writes the inputs, schedules and fetches one
// general window, reports the cycles whose samples are written, and copies
// every period value handed out; `each` sees every batch of cycles with the
// values handed out after it. With `cyclesPerCall` above 0 a batch goes in
// calls of that many cycles, the values fetched after each call.
using Values = std::vector<std::vector<PowerResultsPeriod>>;

Values periodValues(const std::function<void(PowerModule&)>& configure, const SignalFunction& signal,
                    const std::vector<Cycle>& cycles, int blocks, int positionsPerSample = 1,
                    const std::function<void(const std::vector<Cycle>&, const Values&)>& each = {},
                    std::size_t cyclesPerCall = 0) {
    PowerModule module(POWER_BACKEND_CPU);
    powergpu::test::configure(
        module, 10000.0, 20000,
        [&](PowerModule& m) {
            m.setPeriodValuesEnabled(true);
            if (configure) {
                configure(m);
            }
        },
        positionsPerSample);
    ModuleFeeder feeder(module, signal);
    std::vector<std::vector<PowerResultsPeriod>> values;
    auto next = cycles.begin();
    for (int block = 0; block < blocks; ++block) {
        feeder.write(2000);
        module.scheduleForCalculation(feeder.written() - 2000, 2000, 50.0);
        module.getResults(0);
        const auto first = next;
        while (next != cycles.end() && next->start + next->length <= feeder.written() * positionsPerSample) {
            ++next;
        }
        const std::vector<Cycle> batch(first, next);
        Values taken;
        const std::size_t step = cyclesPerCall > 0 ? cyclesPerCall : std::max<std::size_t>(batch.size(), 1);
        for (std::size_t from = 0; from < batch.size() || from == 0; from += step) {
            const auto to = batch.begin() + static_cast<std::ptrdiff_t>(std::min(batch.size(), from + step));
            scheduleCycles(module, std::vector<Cycle>(batch.begin() + static_cast<std::ptrdiff_t>(from), to));
            const Values now = takePeriodValues(module);
            taken.insert(taken.end(), now.begin(), now.end());
        }
        if (each) {
            each(batch, taken);
        }
        values.insert(values.end(), taken.begin(), taken.end());
    }
    return values;
}

// Voltages and currents of the given rms values and angles (degrees) at 50 Hz, by channel.
SignalFunction fiftyHertz(std::vector<double> uRms, std::vector<double> uDegrees, std::vector<double> iRms,
                          std::vector<double> iDegrees) {
    return [=](char kind, int c, double t) {
        const bool u = kind == 'U';
        return sine(polar(u ? uRms[c] : iRms[c], u ? uDegrees[c] : iDegrees[c]), kTwoPi * 50.0, t);
    };
}

}  // namespace

TEST(PeriodValues, SinesOf230VoltsGiveTheirRmsFundamentalAngleAndPowerPerCycle) {
    const struct {
        double u, i, phi1;  // -190 degrees wraps to 170
    } cases[] = {{0.0, 0.0, 0.0}, {0.0, -90.0, 90.0}, {-95.0, 95.0, 170.0}, {100.0, -100.0, -160.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "u at " << c.u << ", i at " << c.i);
        const auto values = periodValues(nullptr, fiftyHertz({230.0}, {c.u}, {10.0}, {c.i}), constantCycles(10), 1);
        ASSERT_EQ(values.size(), 10u);
        const double angle = radians(c.u - c.i);
        for (std::size_t n = 0; n < values.size(); ++n) {
            const PowerResultsPeriod& record = values[n][1];
            EXPECT_NEAR(record.rmsU, 230.0, 1e-4) << "value " << n;
            EXPECT_NEAR(record.h1U, 230.0, 1e-4) << "value " << n;
            EXPECT_NEAR(record.rmsI, 10.0, 1e-5) << "value " << n;
            EXPECT_NEAR(record.frequency, 50.0, 1e-9) << "value " << n;
            EXPECT_NEAR(record.time, (n + 1) * 0.02, 1e-12) << "value " << n;
            EXPECT_TRUE(record.valid && values[n][0].time == 0.0 && values[n][0].rmsU == 0.0) << "no summary";
            EXPECT_NEAR(record.phi1, c.phi1, 1e-4) << "wrapped into (-180, 180]";
            EXPECT_NEAR(record.p1, 2300.0 * std::cos(angle), 1e-2);
            EXPECT_NEAR(record.q1, 2300.0 * std::sin(angle), 1e-2);
            EXPECT_NEAR(record.p, 2300.0 * std::cos(angle), 1e-2);
            EXPECT_TRUE(std::abs(record.s - 2300.0) < 1e-2 && std::abs(record.s1 - 2300.0) < 1e-2);
            EXPECT_NEAR(record.lambda, std::cos(angle), 1e-6);
            EXPECT_NEAR(record.nonActivePower, 2300.0 * std::abs(std::sin(angle)), 1e-1);
        }
    }
}

// A voltage of 230 V whose frequency ramps from 49.5 Hz by 1 Hz/s (phase
// f0 t + k t^2 / 2; cycle n starts at (sqrt(f0^2 + 2 k n) - f0) / k), and a
// current of 5 A leading it by 30 degrees; its first 50 cycles at 1/1000
// sample with their mean frequencies (they end inside samples).
constexpr double kRampStart = 49.5;
constexpr double kRampRate = 1.0;

std::vector<Cycle> rampCycles() {
    const auto cycleStart = [](int n) {
        return (std::sqrt(kRampStart * kRampStart + 2.0 * kRampRate * n) - kRampStart) / kRampRate;
    };
    std::vector<Cycle> cycles;
    for (int n = 0; n < 50; ++n) {
        const auto first = static_cast<uint64_t>(std::llround(cycleStart(n) * 1e7));
        const auto last = static_cast<uint64_t>(std::llround(cycleStart(n + 1) * 1e7));
        cycles.push_back({first, static_cast<int>(last - first), 1.0 / (cycleStart(n + 1) - cycleStart(n))});
    }
    return cycles;
}

double rampSignal(char kind, int /*channel*/, double t) {
    return kSqrt2 * (kind == 'U' ? 230.0 : 5.0) *
           std::cos(kTwoPi * (kRampStart * t + 0.5 * kRampRate * t * t) + (kind == 'U' ? 0.0 : radians(30.0)));
}

TEST(PeriodValues, FrequencyRampFrom49Point5To50Point5KeepsTheFundamentalAt230Volts) {
    const std::vector<Cycle> cycles = rampCycles();
    const auto values = periodValues(nullptr, rampSignal, cycles, 6, 1000);
    ASSERT_GE(values.size(), 49u);
    for (std::size_t n = 0; n < values.size(); ++n) {
        EXPECT_NEAR(values[n][1].h1U, 230.0, 1e-3) << "value " << n;
        EXPECT_NEAR(values[n][1].rmsU, 230.0, 1e-3) << "value " << n;
        // The reference advances linearly within a cycle, the chirp quadratically: a few 1e-5 rad.
        EXPECT_NEAR(values[n][1].phi1, -30.0, 5e-3) << "value " << n;
        EXPECT_NEAR(values[n][1].frequency, cycles[n].frequency, 1e-3) << "value " << n;
    }
}

TEST(PeriodValues, AValueIsTheSameWhateverCallsTheCyclesCameInAndWhenItWasFetched) {
    // The sample in which a cycle ends is completed by the next cycle (its
    // phase advance, frequency and validity); a value that reads it must
    // wait for that cycle, or it would depend on when it was fetched.
    const std::vector<Cycle> cycles = rampCycles();
    const Values whole = periodValues(nullptr, rampSignal, cycles, 6, 1000);
    const Values single = periodValues(nullptr, rampSignal, cycles, 6, 1000, {}, 1);
    const Values threes = periodValues(nullptr, rampSignal, cycles, 6, 1000, {}, 3);
    ASSERT_GE(whole.size(), 49u);
    ASSERT_TRUE(single.size() == whole.size() && threes.size() == whole.size());
    for (std::size_t n = 0; n < whole.size(); ++n) {
        ASSERT_EQ(whole[n].size(), single[n].size());
        const std::size_t bytes = whole[n].size() * sizeof(PowerResultsPeriod);
        EXPECT_EQ(std::memcmp(whole[n].data(), single[n].data(), bytes), 0) << "value " << n;
        EXPECT_EQ(std::memcmp(whole[n].data(), threes[n].data(), bytes), 0) << "value " << n;
    }
}

TEST(PeriodValues, UnbalancedStarSetGivesItsSymmetricalComponents) {
    // 230 V at 20, 200 V at -100, 260 V at 140 degrees; 10 A lagging by 30, 60 and 0 degrees.
    const std::vector<double> rms{230.0, 200.0, 260.0}, angle{20.0, -100.0, 140.0}, lag{30.0, 60.0, 0.0};
    const auto configure = [](PowerModule& m) {
        m.setGridConfigType(ThreePhaseStar);
        m.setPeriodSymmetricalComponentsEnabled(true);
    };
    const std::vector<PowerResultsPeriod> value =
        periodValues(configure, fiftyHertz(rms, angle, {10.0, 10.0, 10.0}, {-10.0, -160.0, 140.0}), constantCycles(10),
                     1)
            .at(9);
    // Textbook components, turned so that phase 1's voltage lies on the real axis.
    std::vector<Complex> u, i;
    for (int c = 0; c < 3; ++c) {
        u.push_back(polar(rms[c], angle[c] - 20.0));
        i.push_back(polar(10.0, angle[c] - lag[c] - 20.0));
    }
    const Complex a = polar(1.0, 120.0);
    const auto sequence = [&](const std::vector<Complex>& x, int k) {
        const Complex b = k == 0 ? 1.0 : k == 1 ? a : a * a;
        return (x[0] + b * x[1] + b * b * x[2]) / 3.0;
    };
    double p1 = 0.0, q1 = 0.0;
    for (int k = 0; k < 3; ++k) {
        const PowerResultsSymmetricalComponent& s = value[k].symmetricalComponent;
        EXPECT_NEAR(std::abs(Complex(s.u.x, s.u.y) - sequence(u, k)), 0.0, 1e-4) << "sequence " << k;
        EXPECT_NEAR(std::abs(Complex(s.i.x, s.i.y) - sequence(i, k)), 0.0, 1e-5) << "sequence " << k;
        EXPECT_NEAR(s.p, 3.0 * (sequence(u, k) * std::conj(sequence(i, k))).real(), 1e-2) << "sequence " << k;
        EXPECT_NEAR(value[k + 1].rmsU, rms[k], 1e-4) << "phase " << k;
        EXPECT_NEAR(value[k + 1].phi1, lag[k], 1e-4) << "phase " << k;
        p1 += rms[k] * 10.0 * std::cos(radians(lag[k]));
        q1 += rms[k] * 10.0 * std::sin(radians(lag[k]));
    }
    EXPECT_EQ(value[3].symmetricalComponent.uMagnitude, 0.0) << "record 3 carries no sequence";
    // The summary: means of the rms values, sums of the powers, and the
    // non-active part of the summed apparent powers (above the sum of the q1).
    const PowerResultsPeriod& summary = value[0];
    EXPECT_NEAR(summary.rmsU, 230.0, 1e-4);
    EXPECT_NEAR(summary.p1, p1, 3e-2);
    EXPECT_NEAR(summary.q1Sum, q1, 3e-2);
    EXPECT_NEAR(summary.s1, 6900.0, 3e-2);
    EXPECT_NEAR(summary.q1, std::sqrt(6900.0 * 6900.0 - p1 * p1), 5e-2);
    EXPECT_NEAR(summary.lambda, p1 / 6900.0, 1e-6);
}

TEST(PeriodValues, DeltaGridWithTwoMeasuredVoltagesDerivesThePhaseVoltages) {
    // U12 and U23 of a balanced 400 V set and I1, I2 in phase with the phase
    // voltages; U31, the phase voltages and I3 are derived.
    const auto configure = [](PowerModule& m) {
        m.setGridConfigType(ThreePhaseDeltaTwoVoltagesTwoCurrents);
        enable(m, {&PowerModule::setLineToLineResultsEnabled, &PowerModule::setRvcEnabled});
        m.setRvcSteadyStateLength(5);
    };
    const auto values = periodValues(configure, fiftyHertz({400.0, 400.0}, {30.0, -90.0}, {10.0, 10.0}, {0.0, -120.0}),
                                     constantCycles(20), 2);
    ASSERT_EQ(values.size(), 20u);
    for (const auto& value : values) {
        for (int c = 0; c < 3; ++c) {
            const PowerResultsPeriod& record = value[c + 1];
            EXPECT_EQ(record.rvcUL.state, 0) << "every line voltage, U31 included, is steady";
            EXPECT_NEAR(record.rmsU, 400.0 / kSqrt3, 1e-3) << "phase " << c;
            EXPECT_NEAR(record.h1U, 400.0 / kSqrt3, 1e-3) << "phase " << c;
            EXPECT_NEAR(record.rmsUL, 400.0, 1e-3) << "phase " << c;
            EXPECT_NEAR(record.rmsI, 10.0, 1e-4) << "phase " << c;
            EXPECT_NEAR(record.phi1, 0.0, 1e-3) << "phase " << c;
            EXPECT_NEAR(record.lambda, 1.0, 1e-6) << "phase " << c;
        }
        EXPECT_NEAR(value[0].p, 3.0 * 400.0 / kSqrt3 * 10.0, 5e-2);
    }
}

TEST(PeriodValues, MinusFivePercentForOneSecondIsOneRvcEventPerPhaseAndOneTotalEvent) {
    // Phase 2 drops to 218.5 V from 2 s to 3 s. With one-cycle values and a
    // steady state of 100 values (longer than the dip), the event starts with
    // the first dipped cycle (100, ending at 2.02 s), ends when cycles 150 ..
    // 249 are steady again, and lasts from the first dipped to the first recovered cycle.
    const auto configure = [](PowerModule& m) {
        m.setGridConfigType(ThreePhaseStar);
        m.setCurrentEnabled(false);
        m.setRvcEnabled(true);
    };
    const SignalFunction signal = [](char, int c, double t) {
        return (c == 1 && t >= 2.0 && t < 3.0 ? 0.95 : 1.0) * sine(polar(230.0, -120.0 * c), kTwoPi * 50.0, t);
    };
    const auto values = periodValues(configure, signal, constantCycles(300), 30);
    ASSERT_EQ(values.size(), 300u);
    int started = -1, ended = -1;
    for (std::size_t n = 0; n < values.size(); ++n) {
        const RvcResult& total = values[n][0].rvcU;
        if (total.stateChanged && total.state == 1) {
            EXPECT_EQ(started, -1) << "second event start at value " << n;
            started = static_cast<int>(n);
        }
        if (total.eventEnded) {
            EXPECT_EQ(ended, -1) << "second event end at value " << n;
            ended = static_cast<int>(n);
            for (const RvcResult& event : {total, values[n][2].rvcU}) {  // the total and the dipped phase
                EXPECT_TRUE(event.eventEnded && event.eventCount == 1);
                EXPECT_NEAR(event.duration, 1.0, 1e-9);
                EXPECT_NEAR(event.deltaUmax, 11.5, 1e-3);
                EXPECT_NEAR(event.deltaUss, 0.0, 1e-3);
            }
        }
        EXPECT_TRUE(values[n][1].rvcU.state == 0 && values[n][3].rvcU.state == 0) << "healthy phases, value " << n;
    }
    EXPECT_EQ(started, 100);
    EXPECT_EQ(ended, 249);
    EXPECT_TRUE(values.back()[0].rvcU.eventCount == 1 && values.back()[0].rvcU.state == 0);
}

namespace {

// The period values of a cycle table worked out sample by sample, without
// any shortcut: the reference phase of every sample is accumulated and its
// phasor taken with a cosine and a sine, the windows are measured off sample
// by sample, and each value is summed with its weights. It is fed the same
// calls as the module and computes each value when the module hands it out;
// a sample in which a cycle ends is measured only once the next cycle has
// completed it.
class PerSamplePeriodValues {
public:
    PerSamplePeriodValues(double sampleRate, uint64_t positions, double required, double advance, uint64_t samples)
        : fs_(sampleRate),
          positions_(positions),
          required_(required),
          advance_(advance),
          frequency_(samples),
          cosine_(samples),
          sine_(samples) {
        windows_.push_back(Window{0, 1.0});
    }

    void schedule(const std::vector<Cycle>& cycles) {
        for (const Cycle& c : cycles) {
            const double step = c.frequency / fs_;
            const uint64_t end = c.start + static_cast<uint64_t>(c.length);
            const uint64_t q0 = c.start / positions_;
            const uint64_t q1 = (end - 1) / positions_;
            const double ff = 1.0 - static_cast<double>(c.start % positions_) / static_cast<double>(positions_);
            const double lf = static_cast<double>((end - 1) % positions_ + 1) / static_cast<double>(positions_);
            phase_ = std::fmod(ff * step + phase_, 1.0);
            set(q0, (1.0 - ff) * previousFrequency_ + ff * c.frequency);
            for (uint64_t q = q0 + 1; q <= q1; ++q) {
                phase_ = std::fmod(phase_ + (q == q1 ? lf : 1.0) * step, 1.0);
                set(q, c.frequency);
            }
            previousFrequency_ = c.frequency;
            // a cycle ending inside a sample leaves it to the next cycle
            final_ = end % positions_ == 0 ? q1 + 1 : q1;
        }
        if (final_ == 0) {
            return;
        }
        // Feed the windows up to the last sample whose tracks are final.
        const uint64_t lastSample = final_ - 1;
        for (std::size_t w = open_; w < windows_.size(); ++w) {
            Window& window = windows_[w];
            for (; !window.closed && window.next <= lastSample; ++window.next) {
                const uint64_t k = window.next;
                const double step = frequency_[k] / fs_;
                if (!window.successor && window.cycles + step >= advance_) {
                    const double samplesToStart = (advance_ - window.cycles) / step;
                    windows_.push_back(Window{k + static_cast<uint64_t>(std::floor(samplesToStart)),
                                              1.0 - (samplesToStart - std::floor(samplesToStart))});
                    windows_.back().next = windows_.back().first;
                    window.successor = true;
                }
                if (window.cycles + step >= required_) {
                    window.last = k;
                    window.lastFraction = (required_ - window.cycles) / step;
                    window.closed = true;
                    break;
                }
                window.cycles += k == window.first ? step * window.firstFraction : step;
            }
            if (!window.closed) {
                break;
            }
            open_ = w + 1;
            // A window closing in the last sample ends the feeding: its
            // successor is fed by the next call, from its own first sample.
            if (window.last == lastSample) {
                break;
            }
        }
    }

    // The phase-1 values of the next closed window from the samples u, i.
    PowerResultsPeriod next(const std::function<float(char, uint64_t)>& sample) {
        const Window& window = windows_.at(delivered_++);
        double fw = 0.0, uu = 0.0, ii = 0.0, ui = 0.0;
        std::complex<double> u1, i1;
        for (uint64_t k = window.first; k <= window.last; ++k) {
            const double w = k == window.first ? window.firstFraction : k == window.last ? window.lastFraction : 1.0;
            const double u = sample('U', k), i = sample('I', k);
            const std::complex<double> reference(frequency_[k] * cosine_[k], -frequency_[k] * sine_[k]);
            fw += frequency_[k] * w;
            uu += w * u * u;
            ii += w * i * i;
            ui += w * u * i;
            u1 += (w * u) * reference;
            i1 += (w * i) * reference;
        }
        const double total =
            static_cast<double>(window.last - window.first) - 1.0 + window.firstFraction + window.lastFraction;
        u1 *= std::sqrt(2.0) / fw;
        i1 *= std::sqrt(2.0) / fw;
        PowerResultsPeriod r{};
        r.rmsU = std::sqrt(uu / total);
        r.rmsI = std::sqrt(ii / total);
        r.p = ui / total;
        r.h1U = std::abs(u1);
        r.h1I = std::abs(i1);
        r.p1 = u1.real() * i1.real() + u1.imag() * i1.imag();
        r.s1 = r.h1U * r.h1I;
        r.phi1 = (std::arg(u1) - std::arg(i1)) * 180.0 / kPi;
        r.time = (static_cast<double>(window.last) + window.lastFraction) / fs_;
        return r;
    }

private:
    struct Window {
        uint64_t first;
        double firstFraction;
        uint64_t next = first;
        double cycles = 0.0;
        bool successor = false;
        bool closed = false;
        uint64_t last = 0;
        double lastFraction = 0.0;
    };
    void set(uint64_t q, double frequency) {
        frequency_.at(q) = frequency;
        cosine_[q] = std::cos(kTwoPi * phase_);
        sine_[q] = std::sin(kTwoPi * phase_);
    }

    double fs_;
    uint64_t positions_;
    double required_, advance_;
    std::vector<double> frequency_, cosine_, sine_;
    double phase_ = 0.0, previousFrequency_ = 0.0;
    uint64_t final_ = 0;  // the samples before it have their final tracks
    std::deque<Window> windows_;
    std::size_t open_ = 0, delivered_ = 0;
};

}  // namespace

TEST(PeriodValues, EveryValueEqualsThePerSampleFormulationAcrossGeneralWindowBoundaries) {
    // 49.97 Hz at 10 kHz: cycles of 200.12 samples reported at whole samples
    // and at 1/1000 sample, one call per general window of 2000 samples, so
    // that every twentieth value straddles the boundary between two calls'
    // reference tracks; the ring of 20000 wraps on the way.
    for (const uint64_t positions : {uint64_t{1}, uint64_t{1000}}) {
        SCOPED_TRACE(testing::Message() << positions << " positions per sample");
        const double fs = 10000.0, f = 49.97;
        std::vector<Cycle> cycles;
        for (int n = 0; n < 200; ++n) {
            const auto first = static_cast<uint64_t>(std::llround(n * fs / f * positions));
            const auto last = static_cast<uint64_t>(std::llround((n + 1) * fs / f * positions));
            cycles.push_back(
                {first, static_cast<int>(last - first), fs * positions / static_cast<double>(last - first)});
        }
        const SignalFunction signal = [&](char kind, int, double t) {
            return kind == 'U' ? sine(polar(230.0, 10.0), kTwoPi * f, t) : sine(polar(10.0, -20.0), kTwoPi * f, t);
        };
        const auto sample = [&](char kind, uint64_t k) { return static_cast<float>(signal(kind, 0, k / fs)); };
        const auto configure = [](PowerModule& m) {
            m.setHalfPeriodValuesCount(2);
            m.setPeriodValuesOverlapInPercent(50);
        };
        PerSamplePeriodValues reference(fs, positions, 1.0, 0.5, 40000);
        std::size_t compared = 0;
        // Each value against the reference as it stands when the module hands the value out.
        const auto compare = [&](const std::vector<Cycle>& batch, const Values& taken) {
            reference.schedule(batch);
            for (const auto& value : taken) {
                const PowerResultsPeriod& got = value[1];
                const PowerResultsPeriod want = reference.next(sample);
                SCOPED_TRACE(testing::Message() << "value " << compared++ << " ending at " << want.time << " s");
                EXPECT_NEAR(got.time, want.time, 1e-12);
                for (const auto field : {&PowerResultsPeriod::rmsU, &PowerResultsPeriod::rmsI, &PowerResultsPeriod::p,
                                         &PowerResultsPeriod::h1U, &PowerResultsPeriod::h1I, &PowerResultsPeriod::p1,
                                         &PowerResultsPeriod::s1}) {
                    EXPECT_NEAR(got.*field, want.*field, 1e-12 * std::abs(want.*field));
                }
                EXPECT_NEAR(got.phi1, want.phi1, 1e-10);
            }
        };
        periodValues(configure, signal, cycles, 19, static_cast<int>(positions), compare);
        EXPECT_GE(compared, 350u);
    }
}
