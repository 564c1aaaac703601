// The cycle detector against sines whose zero crossings are known exactly:
// off-nominal frequencies measured cycle by cycle, starts on the true
// crossings, the same entries whatever the chunks, a gap bridged by fillers
// that keep the phase, a spike that makes no short cycle, and the settings
// that are rejected.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "cycles/CycleDetector.h"
#include "cycles/CycleSettings.h"
#include "powergpu.hpp"

namespace {

using powergpu::cycles::CycleDetector;

constexpr double kRate = 10000.0;
constexpr double kPi = 3.14159265358979323846;
constexpr int64_t kPositions = 1000;

PowerCycleDetectorSettings settingsAt(double rate) {
    PowerCycleDetectorSettings s = powergpu::cycles::defaultCycleSettings();
    s.sampleRate = rate;
    return s;
}

// amplitude sin(2 pi f n / fs + phase)
std::vector<double> sine(std::size_t count, double frequency, double amplitude, double phase = 0.0) {
    std::vector<double> x(count);
    for (std::size_t n = 0; n < count; ++n) {
        x[n] = amplitude * std::sin(2.0 * kPi * frequency * static_cast<double>(n) / kRate + phase);
    }
    return x;
}

// Every entry for x fed in chunks, through the public class.
std::vector<PowerCycleEntry> detect(const PowerCycleDetectorSettings& settings, const std::vector<double>& x,
                                    std::size_t chunk) {
    PowerCycleDetector detector(settings);
    for (std::size_t k = 0; k < x.size(); k += chunk) {
        detector.process(x.data() + k, std::min(chunk, x.size() - k));
    }
    detector.flush();
    return detector.takeEntries();
}

bool sameBytes(const std::vector<PowerCycleEntry>& a, const std::vector<PowerCycleEntry>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(PowerCycleEntry)) == 0;
}

// Each entry starts where the last ended, from startIndex to the last sample.
void expectCoverage(const std::vector<PowerCycleEntry>& entries, uint64_t startIndex, std::size_t samples) {
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.front().start, startIndex * kPositions);
    uint64_t total = 0;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        EXPECT_GT(entries[k].length, 0);
        if (k > 0) {
            EXPECT_EQ(entries[k].start, entries[k - 1].start + static_cast<uint64_t>(entries[k - 1].length));
        }
        total += static_cast<uint64_t>(entries[k].length);
    }
    EXPECT_EQ(total, samples * static_cast<uint64_t>(kPositions));
}

}  // namespace

TEST(CycleDetector, OffNominalSinesAreMeasuredCycleByCycleFromTheirTrueCrossings) {
    for (const double frequency : {49.5, 50.2}) {
        SCOPED_TRACE(frequency);
        const double phase = 0.7;
        const std::vector<double> x = sine(20000, frequency, 1.0, phase);
        const std::vector<PowerCycleEntry> entries = detect(settingsAt(kRate), x, x.size());
        expectCoverage(entries, 0, x.size());
        // rising crossings where the phase is a whole number of turns
        const double period = kRate / frequency;
        const double first = (1.0 - phase / (2.0 * kPi)) * period;
        int measured = 0;
        for (const PowerCycleEntry& e : entries) {
            if (e.kind != POWER_CYCLE_MEASURED || !e.valid) {
                continue;
            }
            ++measured;
            const double start = static_cast<double>(e.start) / kPositions;
            const double k = std::round((start - first) / period);
            EXPECT_NEAR(start, first + k * period, 1e-3) << "start in samples";
            EXPECT_NEAR(e.frequency / frequency, 1.0, 1e-6);
        }
        // two seconds less the filter's settling time (1000 samples) at both ends
        EXPECT_GE(measured, static_cast<int>(2.0 * frequency) - 12);
    }
}

TEST(CycleDetector, AnySplitOfTheSamplesGivesTheSameEntries) {
    // 50.2 Hz with 5 % fifth harmonic, noise, a dip and a gap: every branch
    const std::size_t count = 30011;
    std::vector<double> x = sine(count, 50.2, 325.0);
    uint32_t seed = 12345;
    for (std::size_t n = 0; n < count; ++n) {
        seed = seed * 1664525u + 1013904223u;
        x[n] += 16.0 * std::sin(5.0 * 2.0 * kPi * 50.2 * static_cast<double>(n) / kRate) +
                (static_cast<double>(seed >> 8) / 16777216.0 - 0.5);
        if (n >= 12000 && n < 14000) {
            x[n] = 0.0;
        }
        if (n >= 20000 && n < 21000) {
            x[n] *= 0.05;
        }
    }
    PowerCycleDetectorSettings settings = settingsAt(kRate);
    settings.startIndex = 777;
    const std::vector<PowerCycleEntry> whole = detect(settings, x, count);
    expectCoverage(whole, 777, count);
    for (const std::size_t chunk : {std::size_t{1}, std::size_t{997}}) {
        EXPECT_TRUE(sameBytes(detect(settings, x, chunk), whole)) << "chunk " << chunk;
    }
}

TEST(CycleDetector, SamplesTooLargeForTheFilterCountAsMissingLikeNonFiniteOnes) {
    // Values beyond 1e20 would overflow the single-precision convolution and
    // spoil their whole block; they must give exactly what zeros give.
    std::vector<double> huge = sine(30000, 50.2, 325.0);
    std::vector<double> zeros = huge;
    for (std::size_t n = 12000; n < 12050; ++n) {
        huge[n] = n % 2 == 0 ? 1e300 : -1e25;
        zeros[n] = 0.0;
    }
    huge[20000] = std::numeric_limits<double>::quiet_NaN();
    zeros[20000] = 0.0;
    const std::vector<PowerCycleEntry> entries = detect(settingsAt(kRate), huge, 4096);
    EXPECT_TRUE(sameBytes(entries, detect(settingsAt(kRate), zeros, 4096)));
    int valid = 0;
    for (const PowerCycleEntry& e : entries) {
        valid += e.valid;
        EXPECT_TRUE(std::isfinite(e.frequency)) << "at " << e.start;
    }
    // 150 cycles, less five at either end within the filter's reach and the
    // few the disturbances touch; a spoiled filter block would take about 70
    EXPECT_GE(valid, 130);
}

TEST(CycleDetector, AGapIsBridgedByFillersThatKeepThePhaseOfTheCrossings) {
    // 50 Hz, amplitude 2, zero from 1.0 s to 1.2 s (ten whole cycles). The
    // phase keeps the crossings off the samples, so that every cycle holds
    // exactly 200 of them and its rms is that of the sine.
    const double phase = 0.3;
    std::vector<double> x = sine(30000, 50.0, 2.0, phase);
    std::fill(x.begin() + 10000, x.begin() + 12000, 0.0);
    PowerCycleDetectorSettings settings = settingsAt(kRate);
    settings.startIndex = 12345;
    const std::vector<PowerCycleEntry> entries = detect(settings, x, 4096);
    expectCoverage(entries, 12345, x.size());

    // The fillers together span a whole number of cycles at the frequencies
    // they carry: the measured cycles after the gap start on the crossings.
    double filledCycles = 0.0;
    int fillers = 0;
    for (const PowerCycleEntry& e : entries) {
        if (e.kind == POWER_CYCLE_FILLER) {
            ++fillers;
            EXPECT_FALSE(e.valid);
            EXPECT_TRUE(std::isnan(e.amplitude));
            filledCycles += static_cast<double>(e.length) / kPositions * e.frequency / kRate;
        }
    }
    EXPECT_GE(fillers, 6);
    EXPECT_NEAR(filledCycles, std::round(filledCycles), 1e-3);
    // Away from the gap and the ends the cycles are valid, 50 Hz, start on
    // the sine's rising crossings and have its rms.
    const double first = (1.0 - phase / (2.0 * kPi)) * 200.0;
    int validAfter = 0;
    for (const PowerCycleEntry& e : entries) {
        const double start = static_cast<double>(e.start) / kPositions - 12345.0;
        // (the filter reaches 1000 samples either way)
        const bool away = (start > 1100.0 && start < 8700.0) || (start > 13000.0 && start < 28500.0);
        if (!away) {
            continue;
        }
        EXPECT_EQ(e.kind, POWER_CYCLE_MEASURED) << start;
        EXPECT_TRUE(e.valid) << start;
        EXPECT_NEAR(e.frequency / 50.0, 1.0, 1e-6);
        EXPECT_NEAR(start, first + 200.0 * std::round((start - first) / 200.0), 1e-3);
        EXPECT_NEAR(e.amplitude / std::sqrt(2.0), 1.0, 1e-5);
        validAfter += start > 13000.0 ? 1 : 0;
    }
    EXPECT_GE(validAfter, 70);
}

TEST(CycleDetector, ASpikeMakesNoCycleShorterThanTwoThirdsOfANominalOne) {
    // a spike of 5000 x the amplitude: the filter rings for its whole length,
    // its phase turning by half a cycle from one lobe of the ringing to the next
    std::vector<double> x = sine(30000, 50.0, 1.0);
    x[15037] = 5000.0;
    const std::vector<PowerCycleEntry> entries = detect(settingsAt(kRate), x, 4096);
    expectCoverage(entries, 0, x.size());
    const double shortest = kRate / 50.0 / 1.5 * kPositions;
    int measured = 0;
    for (const PowerCycleEntry& e : entries) {
        if (e.kind == POWER_CYCLE_MEASURED) {
            ++measured;
            EXPECT_GE(static_cast<double>(e.length), shortest);
            const double start = static_cast<double>(e.start) / kPositions;
            if (e.valid && std::abs(start - 15037.0) > 1200.0) {
                EXPECT_NEAR(e.frequency, 50.0, 50.0 * 1e-6) << start;
            }
        }
    }
    EXPECT_GE(measured, 140);
}

TEST(CycleDetector, ACycleLongerThanTheLengthFieldIsSplitAndOnlyItsLastPieceCarriesTheVerdict) {
    // 2e7 positions per sample: a cycle of 200 samples is 4e9 positions, two
    // pieces of 2^30 and a last one of 4e9 - 2 x 2^30 = 1852516352 (below 2^31)
    PowerCycleDetectorSettings settings = settingsAt(kRate);
    settings.positionsPerSample = 20000000;
    const std::vector<double> x = sine(10000, 50.0, 1.0, 0.3);
    CycleDetector detector(settings);
    detector.process(x.data(), x.size());
    detector.flush();
    std::vector<PowerCycleEntry> entries(detector.waiting());
    entries.resize(detector.take(entries.size(), entries.data()));
    uint64_t position = 0;
    int lastPieces = 0;
    for (std::size_t k = 0; k < entries.size(); ++k) {
        const PowerCycleEntry& e = entries[k];
        EXPECT_EQ(e.start, position);
        position += static_cast<uint64_t>(e.length);
        if (e.kind == POWER_CYCLE_MEASURED && e.valid) {
            ++lastPieces;
            ASSERT_GE(k, 2u);
            // the crossings are found to about 1e-6 sample, 20 positions here
            EXPECT_NEAR(static_cast<double>(e.length), 1852516352.0, 100.0);
            for (std::size_t p = k - 2; p < k; ++p) {
                EXPECT_EQ(entries[p].length, 1 << 30);
                EXPECT_EQ(entries[p].kind, POWER_CYCLE_MEASURED);
                EXPECT_FALSE(entries[p].valid);
                EXPECT_TRUE(std::isnan(entries[p].amplitude));
                EXPECT_EQ(entries[p].frequency, e.frequency);
            }
        }
    }
    EXPECT_EQ(position, uint64_t{10000} * 20000000u);
    EXPECT_GE(lastPieces, 35);
}

TEST(CycleDetector, SettingsOutOfRangeAreRejectedNamingTheField) {
    struct Case {
        const char* field;
        void (*spoil)(PowerCycleDetectorSettings&);
    };
    const Case cases[] = {
        {"sampleRate", [](PowerCycleDetectorSettings& s) { s.sampleRate = 0.0; }},
        {"sampleRate", [](PowerCycleDetectorSettings& s) { s.sampleRate = 150.0; }},  // below 4 x 50 Hz
        {"nominalFrequency", [](PowerCycleDetectorSettings& s) { s.nominalFrequency = NAN; }},
        {"positionsPerSample", [](PowerCycleDetectorSettings& s) { s.positionsPerSample = 100; }},
        {"positionsPerSample", [](PowerCycleDetectorSettings& s) { s.positionsPerSample = int64_t{1} << 31; }},
        {"startIndex", [](PowerCycleDetectorSettings& s) { s.startIndex = uint64_t{1} << 60; }},
        {"tolerance", [](PowerCycleDetectorSettings& s) { s.tolerance = -0.1; }},
        {"nominalRms", [](PowerCycleDetectorSettings& s) { s.nominalRms = INFINITY; }},
        {"minAmplitude", [](PowerCycleDetectorSettings& s) { s.minAmplitude = NAN; }},
        {"hysteresis", [](PowerCycleDetectorSettings& s) { s.hysteresis = -1.0; }},
        {"filterCycles", [](PowerCycleDetectorSettings& s) { s.filterCycles = 0.0; }},
        {"filterCycles", [](PowerCycleDetectorSettings& s) { s.filterCycles = 1e6; }},
        {"maxGapCycles", [](PowerCycleDetectorSettings& s) { s.maxGapCycles = 1.0; }},
    };
    for (const Case& c : cases) {
        PowerCycleDetectorSettings s = settingsAt(kRate);
        c.spoil(s);
        try {
            CycleDetector detector(s);
            ADD_FAILURE() << c.field << " was accepted";
        } catch (const PowerInvalidCall& error) {
            EXPECT_NE(std::string(error.what()).find(c.field), std::string::npos) << error.what();
        }
    }
    CycleDetector detector(settingsAt(kRate));
    detector.flush();
    const double sample = 0.0;
    EXPECT_THROW(detector.process(&sample, 1), PowerInvalidCall) << "no samples after the flush";
    // A signal that would run past the positions the entries carry is refused
    // before it is fed: here the last 1000 samples' room, less the filter's tail.
    PowerCycleDetectorSettings late = settingsAt(kRate);
    late.startIndex = (uint64_t{1} << 62) / 1000 - 1000;
    CycleDetector nearTheEnd(late);
    const std::vector<double> chunk(1000, 0.0);
    EXPECT_THROW(nearTheEnd.process(chunk.data(), chunk.size()), PowerInvalidCall);
    EXPECT_EQ(nearTheEnd.samplesConsumed(), 0u);
}

TEST(CycleDetector, TheClassMovesItsStateAndTakesTheOldestEntriesFirst) {
    const std::vector<double> x = sine(40000, 50.2, 325.0, 0.3);
    const std::vector<PowerCycleEntry> whole = detect(settingsAt(kRate), x, x.size());

    PowerCycleDetector first(settingsAt(kRate));
    first.process(x.data(), 100);
    EXPECT_FALSE(first.getAnchor().has_value()) << "no crossing seen yet";
    ASSERT_LT(first.getFilterLatency(), 20000);
    first.process(x.data() + 100, 19900);  // past the filter's latency
    ASSERT_TRUE(first.getAnchor().has_value());
    // a crossing at (1 - 0.3 / (2 pi)) of a period of 10000 / 50.2 samples
    EXPECT_NEAR(static_cast<double>(*first.getAnchor()) / kPositions, (1.0 - 0.3 / (2.0 * kPi)) * kRate / 50.2, 1.0);
    std::vector<PowerCycleEntry> taken = first.takeEntries(3);
    ASSERT_EQ(taken.size(), 3u);

    PowerCycleDetector second = std::move(first);  // the rest of the signal goes to the moved-to detector
    EXPECT_THROW(first.process(x.data(), 1), PowerInvalidCall);
    EXPECT_THROW(static_cast<void>(first.getEntriesWaiting()), PowerInvalidCall);
    EXPECT_THROW(second.process(nullptr, 1), PowerInvalidCall);
    second.process(x.data() + 20000, x.size() - 20000);
    second.flush();
    const std::vector<PowerCycleEntry> rest = second.takeEntries();
    taken.insert(taken.end(), rest.begin(), rest.end());
    EXPECT_TRUE(sameBytes(taken, whole)) << "as if fed and taken at once";
    EXPECT_EQ(second.getSamplesConsumed(), x.size());
    EXPECT_EQ(second.getFilterTaps().size(), static_cast<std::size_t>(2 * second.getFilterDelay() + 1));
    EXPECT_THROW(PowerCycleDetector{PowerCycleDetector::defaultSettings()}, PowerInvalidCall) << "no sample rate";
}
