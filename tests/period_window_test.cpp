// Period windows: how detected cycles become reference tracks and how the
// chain of windows measures whole reference cycles off them. Every case uses
// cycles whose positions, phases and lengths follow from the sample rate and
// frequency by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "module/PowerModuleImpl.h"
#include "period/PowerPeriodResultsQueueItem.h"
#include "powergpu.hpp"

namespace {

using powergpu::PowerPeriodResultsQueueItem;
using WindowPointer = std::shared_ptr<PowerPeriodResultsQueueItem>;

constexpr double kTwoPi = 6.283185307179586;

// Feeds one window from its own first sample at a constant rate until it
// closes; returns the samples fed (closing sample included).
uint64_t feedUntilClosed(PowerPeriodResultsQueueItem& window, const double cyclesPerSample,
                         const uint64_t invalidSample = std::numeric_limits<uint64_t>::max()) {
    uint64_t fed = 0;
    for (uint64_t k = window.getNextSampleIndexToProcess(); !window.isLengthCalculated(); ++k) {
        window.addSampleWithPhaseShift(k, cyclesPerSample, k != invalidSample);
        ++fed;
    }
    return fed;
}

// Where a window ends, in samples from running index 0.
double endOf(const PowerPeriodResultsQueueItem& window) {
    return static_cast<double>(window.getLastRequiredSampleIndex()) + window.getLastSampleFractionToUse();
}

// Where a window begins: its first sample contributes only its last share.
double startOf(const PowerPeriodResultsQueueItem& window) {
    return static_cast<double>(window.getFirstSampleIndex()) + 1.0 - window.getFirstSampleFractionToUse();
}

}  // namespace

// ---- one window and its successor ----------------------------------------------

TEST(PeriodWindow, OneCycleWindowSpansTheCycleLengthInSamples) {
    // 50 Hz at 6400 samples/s: 1/128 cycle per sample, exact in binary.
    PowerPeriodResultsQueueItem window(0, 0, 1.0, 1.0, 1.0);
    feedUntilClosed(window, 1.0 / 128.0);
    EXPECT_EQ(window.getLastRequiredSampleIndex(), 127u);
    EXPECT_DOUBLE_EQ(window.getLastSampleFractionToUse(), 1.0);
    EXPECT_DOUBLE_EQ(window.getTotalLength(), 128.0);
    EXPECT_TRUE(window.isValueValid());

    // Without overlap the next window starts right after: sample 128, whole.
    const WindowPointer next = window.getNextItem();
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->getItemIndex(), 1u);
    EXPECT_EQ(next->getFirstSampleIndex(), 128u);
    EXPECT_DOUBLE_EQ(next->getFirstSampleFractionToUse(), 1.0);
    EXPECT_FALSE(next->isLengthCalculated());
}

TEST(PeriodWindow, FractionalFirstSampleShiftsTheEndByTheSameShare) {
    // Starting half way into sample 10, one cycle of 128 samples ends half way
    // into sample 138; the window is still 128 samples long.
    PowerPeriodResultsQueueItem window(0, 10, 0.5, 1.0, 1.0);
    feedUntilClosed(window, 1.0 / 128.0);
    EXPECT_EQ(window.getLastRequiredSampleIndex(), 138u);
    EXPECT_DOUBLE_EQ(window.getLastSampleFractionToUse(), 0.5);
    EXPECT_DOUBLE_EQ(window.getTotalLength(), 128.0);
}

TEST(PeriodWindow, NonIntegerCyclesTileTheTimeAxis) {
    // 49.8 Hz at 10 kHz: a cycle is 200.803... samples, so every window boundary
    // falls inside a sample. Each window must be exactly one cycle long and the
    // next must begin where the previous ended.
    const double cycleLength = 10000.0 / 49.8;
    const double step = 49.8 / 10000.0;
    auto window = std::make_shared<PowerPeriodResultsQueueItem>(0, 0, 1.0, 1.0, 1.0);
    double expectedEnd = 0.0;
    for (int n = 0; n < 20; ++n) {
        feedUntilClosed(*window, step);
        expectedEnd += cycleLength;
        EXPECT_NEAR(window->getTotalLength(), cycleLength, 1e-9) << "window " << n;
        EXPECT_NEAR(endOf(*window), expectedEnd, 1e-8) << "window " << n;
        const WindowPointer next = window->getNextItem();
        ASSERT_NE(next, nullptr);
        EXPECT_NEAR(startOf(*next), endOf(*window), 1e-9) << "window " << n;
        window = next;
    }
}

TEST(PeriodWindow, HalfOverlapStartsAOneCycleWindowEveryHalfCycle) {
    // Two half periods with 50 % overlap: windows of 1 cycle advancing by 0.5.
    const double step = 1.0 / 128.0;
    auto first = std::make_shared<PowerPeriodResultsQueueItem>(0, 0, 1.0, 1.0, 0.5);
    feedUntilClosed(*first, step);
    EXPECT_DOUBLE_EQ(first->getTotalLength(), 128.0);
    const WindowPointer second = first->getNextItem();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->getFirstSampleIndex(), 64u);
    EXPECT_DOUBLE_EQ(second->getFirstSampleFractionToUse(), 1.0);

    feedUntilClosed(*second, step);
    EXPECT_EQ(second->getLastRequiredSampleIndex(), 191u);
    EXPECT_DOUBLE_EQ(second->getTotalLength(), 128.0);
    ASSERT_NE(second->getNextItem(), nullptr);
    EXPECT_EQ(second->getNextItem()->getFirstSampleIndex(), 128u);
    EXPECT_EQ(second->getNextItem()->getItemIndex(), 2u);
}

TEST(PeriodWindow, OneInvalidSampleInvalidatesOnlyTheWindowsThatContainIt) {
    const double step = 1.0 / 128.0;
    auto first = std::make_shared<PowerPeriodResultsQueueItem>(0, 0, 1.0, 1.0, 0.5);
    feedUntilClosed(*first, step, 10);
    EXPECT_FALSE(first->isValueValid());
    // The successor starts at sample 64, after the invalid sample.
    const WindowPointer second = first->getNextItem();
    feedUntilClosed(*second, step, 10);
    EXPECT_TRUE(second->isValueValid());
}

TEST(PeriodWindow, WindowShorterThanOneSampleIsInvalid) {
    // A tenth of a cycle per sample and windows of a hundredth of a cycle: the
    // window closes in its own first sample and has no usable length.
    PowerPeriodResultsQueueItem window(0, 5, 1.0, 0.01, 0.01);
    EXPECT_EQ(feedUntilClosed(window, 0.1), 1u);
    EXPECT_TRUE(window.isLengthCalculated());
    EXPECT_EQ(window.getLastRequiredSampleIndex(), 5u);
    EXPECT_FALSE(window.isValueValid());
}

TEST(PeriodWindow, SamplesWithoutReferenceAdvanceNothing) {
    // Samples with frequency 0 (not covered by any cycle) do not move the
    // window towards its end and create no successor.
    PowerPeriodResultsQueueItem window(0, 0, 1.0, 1.0, 1.0);
    for (uint64_t k = 0; k < 1000; ++k) {
        window.addSampleWithPhaseShift(k, 0.0, false);
    }
    EXPECT_FALSE(window.isLengthCalculated());
    EXPECT_EQ(window.getNextItem(), nullptr);
    EXPECT_EQ(window.getNextSampleIndexToProcess(), 1000u);
}

// ---- reference tracks written by the module --------------------------------------

namespace {

// A single-phase module with period values of one cycle, 50 Hz at 6400
// samples/s (1/128 cycle per sample), R positions per sample.
class PeriodTracks : public ::testing::Test {
protected:
    void configure(const int positionsPerSample, const uint16_t overlapPercent = 0) {
        module.beginUpdate();
        module.setGridConfigType(SinglePhase);
        module.setSampleRate(kSampleRate, positionsPerSample);
        module.setBufferLength(6400);
        module.setPeriodValuesEnabled(true);
        module.setHalfPeriodValuesCount(2);
        module.setPeriodValuesOverlapInPercent(overlapPercent);
        module.endUpdate();
        module.reset(0);
    }

    void schedule(std::vector<uint64_t> starts, std::vector<int> lengths, std::vector<double> frequencies,
                  const std::vector<bool>& validity) {
        std::unique_ptr<bool[]> valid(new bool[validity.size()]);
        for (std::size_t n = 0; n < validity.size(); ++n) {
            valid[n] = validity[n];
        }
        module.scheduleForPeriodCalculation(static_cast<int>(starts.size()), starts.data(), lengths.data(),
                                            frequencies.data(), valid.get());
    }

    const powergpu::PowerBuffers& buffers() const { return module.implementation()->getBuffers(); }
    double frequencyAt(const uint64_t sample) const { return buffers().periodSamples.getHostBuffer(0)[sample]; }
    double validityAt(const uint64_t sample) const { return buffers().periodSamples.getHostBuffer(2)[sample]; }
    // Reference phase in cycles, [0, 1).
    double phaseAt(const uint64_t sample) const {
        const double* phasor = buffers().periodSamples.getHostBuffer(1);
        const double cycles = std::atan2(phasor[2 * sample + 1], phasor[2 * sample]) / kTwoPi;
        return cycles < 0.0 ? cycles + 1.0 : cycles;
    }

    static constexpr double kSampleRate = 6400.0;
    static constexpr double kStep = 50.0 / kSampleRate;
    PowerModule module{POWER_BACKEND_CPU};
};

}  // namespace

TEST_F(PeriodTracks, SubSamplePositionsGiveFractionalFirstAndLastSamples) {
    // R = 4: sub-samples 10 .. 17 lie in samples 2 (positions 10, 11: half of
    // it), 3 (whole) and 4 (positions 16, 17: half of it).
    configure(4);
    schedule({10}, {8}, {50.0}, {true});
    EXPECT_NEAR(phaseAt(2), 0.5 * kStep, 1e-12);
    EXPECT_NEAR(phaseAt(3), 1.5 * kStep, 1e-12);
    EXPECT_NEAR(phaseAt(4), 2.0 * kStep, 1e-12);
    // The first sample is shared with the (absent, 0 Hz) previous cycle.
    EXPECT_DOUBLE_EQ(frequencyAt(2), 25.0);
    EXPECT_DOUBLE_EQ(frequencyAt(3), 50.0);
    EXPECT_DOUBLE_EQ(frequencyAt(4), 50.0);
    EXPECT_EQ(validityAt(2), 1.0);
    EXPECT_EQ(validityAt(4), 1.0);
}

TEST_F(PeriodTracks, TouchingCyclesAdvanceTheSharedSampleByOneStep) {
    // Two cycles of 2.5 samples meeting in the middle of sample 2.
    configure(4);
    schedule({0, 10}, {10, 10}, {50.0, 50.0}, {true, true});
    for (uint64_t sample = 0; sample <= 4; ++sample) {
        EXPECT_NEAR(phaseAt(sample), (sample + 1) * kStep, 1e-12) << "sample " << sample;
    }
    EXPECT_DOUBLE_EQ(frequencyAt(2), 50.0);
}

TEST_F(PeriodTracks, SharedSampleWeighsBothFrequenciesByTheirShares) {
    configure(4);
    schedule({0, 10}, {10, 10}, {50.0, 60.0}, {true, true});
    const double secondStep = 60.0 / kSampleRate;
    EXPECT_NEAR(phaseAt(2) - phaseAt(1), 0.5 * kStep + 0.5 * secondStep, 1e-12);
    EXPECT_NEAR(phaseAt(3) - phaseAt(2), secondStep, 1e-12);
    EXPECT_DOUBLE_EQ(frequencyAt(2), 55.0);
    EXPECT_DOUBLE_EQ(frequencyAt(3), 60.0);
}

TEST_F(PeriodTracks, ValidCycleAfterInvalidOneNeedsMoreThanNinetyPercentOfTheSharedSample) {
    // R = 20: an offset of 1 gives the valid cycle 95 % of the shared sample,
    // an offset of 3 only 85 %, an offset of 0 the whole sample.
    configure(20);
    schedule({0, 21}, {21, 40}, {50.0, 50.0}, {false, true});
    EXPECT_EQ(validityAt(0), 0.0);
    EXPECT_EQ(validityAt(1), 1.0);
    EXPECT_EQ(validityAt(2), 1.0);

    module.reset(0);
    schedule({0, 23}, {23, 40}, {50.0, 50.0}, {false, true});
    EXPECT_EQ(validityAt(1), 0.0);
    EXPECT_EQ(validityAt(2), 1.0);

    module.reset(0);
    schedule({0, 40}, {40, 40}, {50.0, 50.0}, {false, true});
    EXPECT_EQ(validityAt(1), 0.0);
    EXPECT_EQ(validityAt(2), 1.0);

    // After a valid cycle, a shared sample of a valid one stays valid at any share.
    module.reset(0);
    schedule({0, 30}, {30, 40}, {50.0, 50.0}, {true, true});
    EXPECT_EQ(validityAt(1), 1.0);
}

TEST_F(PeriodTracks, CyclesWithoutUsableFrequencyOrLengthChangeNothing) {
    configure(1);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    schedule({0, 0, 0, 0}, {128, 128, 128, 0}, {nan, inf, -50.0, 50.0}, {true, true, true, true});
    EXPECT_EQ(frequencyAt(0), 0.0);
    EXPECT_EQ(frequencyAt(100), 0.0);

    // The reference is still at phase 0: a good cycle now starts from there.
    schedule({0}, {128}, {50.0}, {true});
    EXPECT_NEAR(phaseAt(0), kStep, 1e-12);
    EXPECT_NEAR(phaseAt(127), 0.0, 1e-12);  // a whole cycle
    EXPECT_DOUBLE_EQ(frequencyAt(127), 50.0);
}

TEST_F(PeriodTracks, PositionsWrapAroundTheRing) {
    // Restarting at running index 6400 - 2 puts the cycle across the ring end.
    configure(1);
    module.reset(6398);
    schedule({6398}, {4}, {50.0}, {true});
    EXPECT_NEAR(phaseAt(6398), 1 * kStep, 1e-12);
    EXPECT_NEAR(phaseAt(6399), 2 * kStep, 1e-12);
    EXPECT_NEAR(phaseAt(0), 3 * kStep, 1e-12);
    EXPECT_NEAR(phaseAt(1), 4 * kStep, 1e-12);
    EXPECT_DOUBLE_EQ(frequencyAt(1), 50.0);
}

// ---- windows handed out ------------------------------------------------------------

TEST_F(PeriodTracks, HalfOverlapQueuesOneCycleWindowsEveryHalfCycleInOrder) {
    configure(1, 50);
    // Ten touching cycles of 128 samples; no samples are needed for the window
    // timing, so the samples are skipped to make them count as delivered.
    std::vector<uint64_t> starts;
    std::vector<int> lengths;
    for (uint64_t n = 0; n < 10; ++n) {
        starts.push_back(128 * n);
        lengths.push_back(128);
    }
    schedule(starts, lengths, std::vector<double>(10, 50.0), std::vector<bool>(10, true));
    module.skipSamples(1280);

    int count = 0;
    bool more = true;
    PowerResultsPeriod* records = nullptr;
    module.getPeriodResults(&count, &more, &records);
    // Windows end at 128, 192, ..., 1280 samples: 19 windows.
    ASSERT_EQ(count, 19);
    EXPECT_FALSE(more);
    ASSERT_NE(records, nullptr);
    for (int n = 0; n < count; ++n) {
        const PowerResultsPeriod& record = records[2 * n + 1];
        // The record's time is the window's end: (n + 2) half cycles of 10 ms.
        EXPECT_NEAR(record.time, (n + 2) * 0.01, 1e-12) << "window " << n;
        // One cycle over the window length: the window is 128 samples long.
        EXPECT_NEAR(record.frequency, 50.0, 1e-9) << "window " << n;
        EXPECT_TRUE(record.valid);
    }
}

TEST_F(PeriodTracks, WindowLengthFollowsAMeasuredNonIntegerCycle) {
    // 49.8 Hz at 6400 samples/s with R = 1000: cycles of 128514 sub-samples.
    configure(1000);
    const double frequency = 49.8;
    const double cycleInPositions = kSampleRate * 1000.0 / frequency;
    std::vector<uint64_t> starts;
    std::vector<int> lengths;
    for (int n = 0; n < 6; ++n) {
        const auto start = static_cast<uint64_t>(std::llround(n * cycleInPositions));
        starts.push_back(start);
        lengths.push_back(static_cast<int>(std::llround((n + 1) * cycleInPositions) - start));
    }
    schedule(starts, lengths, std::vector<double>(6, frequency), std::vector<bool>(6, true));
    module.skipSamples(800);

    int count = 0;
    bool more = false;
    PowerResultsPeriod* records = nullptr;
    module.getPeriodResults(&count, &more, &records);
    ASSERT_GE(count, 5);
    for (int n = 0; n < count; ++n) {
        // Each window spans one cycle of the reference, and they follow each
        // other without gaps.
        EXPECT_NEAR(records[2 * n + 1].frequency, frequency, 1e-9) << "window " << n;
        EXPECT_NEAR(records[2 * n + 1].time, (n + 1) / frequency, 1e-9) << "window " << n;
    }
}

// ---- rejected calls ------------------------------------------------------------------

TEST(PeriodSchedulingCalls, RejectedWhenPeriodValuesAreOffOrBeforeReset) {
    uint64_t start = 0;
    int length = 128;
    double frequency = 50.0;
    bool valid = true;

    PowerModule disabled(POWER_BACKEND_CPU);
    disabled.setSampleRate(6400.0, 1);
    disabled.setBufferLength(6400);
    disabled.reset(0);
    EXPECT_THROW(disabled.scheduleForPeriodCalculation(1, &start, &length, &frequency, &valid), PowerInvalidCall);
    int count = -1;
    bool more = false;
    PowerResultsPeriod* records = nullptr;
    EXPECT_THROW(disabled.getPeriodResults(&count, &more, &records), PowerInvalidCall);
    EXPECT_EQ(count, -1);

    PowerModule notReset(POWER_BACKEND_CPU);
    notReset.setSampleRate(6400.0, 1);
    notReset.setBufferLength(6400);
    notReset.setPeriodValuesEnabled(true);
    EXPECT_THROW(notReset.scheduleForPeriodCalculation(1, &start, &length, &frequency, &valid), PowerInvalidCall);
    EXPECT_THROW(notReset.getPeriodResults(&count, &more, &records), PowerInvalidCall);
    EXPECT_EQ(count, -1);
}

TEST_F(PeriodTracks, RejectsNegativeCountAndMissingArraysWithoutChangingTracks) {
    configure(1);
    uint64_t start = 0;
    int length = 128;
    double frequency = 50.0;
    bool valid = true;
    EXPECT_THROW(module.scheduleForPeriodCalculation(-1, &start, &length, &frequency, &valid), PowerInvalidCall);
    EXPECT_THROW(module.scheduleForPeriodCalculation(1, nullptr, &length, &frequency, &valid), PowerInvalidCall);
    EXPECT_THROW(module.scheduleForPeriodCalculation(1, &start, nullptr, &frequency, &valid), PowerInvalidCall);
    EXPECT_THROW(module.scheduleForPeriodCalculation(1, &start, &length, nullptr, &valid), PowerInvalidCall);
    EXPECT_THROW(module.scheduleForPeriodCalculation(1, &start, &length, &frequency, nullptr), PowerInvalidCall);
    EXPECT_EQ(frequencyAt(0), 0.0);
    // With nothing to describe, null arrays are fine.
    EXPECT_NO_THROW(module.scheduleForPeriodCalculation(0, nullptr, nullptr, nullptr, nullptr));
}

TEST_F(PeriodTracks, RejectsAWindowChainThatWouldNeverAdvance) {
    // 100 % overlap: every window would start where its predecessor started.
    configure(1, 100);
    uint64_t start = 0;
    int length = 128;
    double frequency = 50.0;
    bool valid = true;
    EXPECT_THROW(module.scheduleForPeriodCalculation(1, &start, &length, &frequency, &valid), PowerInvalidCall);
}
