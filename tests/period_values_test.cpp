// Period values of whole modules driven as a caller drives them: samples of
// known sine waves are written into the input rings, general windows are
// scheduled and fetched (which releases the period values), the cycles of the
// signal are reported, and the period records are compared with the values
// that the physics of the signal dictates.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "powergpu.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kSqrt3 = 1.7320508075688772;

double radians(const double degrees) {
    return degrees * kPi / 180.0;
}

// A signal as a function of time in seconds.
using Signal = std::function<double(double)>;

// Sine of RMS value `rms` whose phase in cycles is phaseCycles(t), shifted by
// `degrees`.
Signal sine(const double rms, const std::function<double(double)>& phaseCycles, const double degrees = 0.0) {
    return [=](const double t) { return rms * kSqrt2 * std::cos(2.0 * kPi * phaseCycles(t) + radians(degrees)); };
}

std::function<double(double)> constantFrequency(const double frequency) {
    return [=](const double t) { return frequency * t; };
}

// One cycle reported to the module, in sub-sample positions.
struct Cycle {
    uint64_t start;
    int length;
    double frequency;
    bool valid;
};

// Cycles of a constant frequency whose length is a whole number of samples.
std::vector<Cycle> constantCycles(const int count, const int samplesPerCycle, const double frequency) {
    std::vector<Cycle> cycles;
    cycles.reserve(static_cast<std::size_t>(count));
    for (int n = 0; n < count; ++n) {
        cycles.push_back({static_cast<uint64_t>(n) * samplesPerCycle, samplesPerCycle, frequency, true});
    }
    return cycles;
}

struct Settings {
    PowerGridConfigType grid = SinglePhase;
    double sampleRate = 10000.0;
    int positionsPerSample = 1;
    uint64_t bufferLength = 20000;
    bool currents = true;
    bool lineToLine = false;
    bool periodSymmetricalComponents = false;
    bool rvc = false;
    int rvcSteadyStateLength = 100;
    uint16_t overlapPercent = 0;
};

// Drives one module: writes the input channels block by block, schedules and
// fetches one general window per block, reports the cycles whose samples are
// written and collects every period value handed out (copied, since the
// records live in a ring of the module).
class PeriodValuesDriver {
public:
    PeriodValuesDriver(const Settings& settings, std::vector<Signal> inputVoltages, std::vector<Signal> inputCurrents,
                       std::vector<Cycle> cycles)
        : settings_(settings),
          voltages_(std::move(inputVoltages)),
          currents_(std::move(inputCurrents)),
          cycles_(std::move(cycles)) {
        module_.beginUpdate();
        module_.setGridConfigType(settings.grid);
        module_.setSampleRate(settings.sampleRate, settings.positionsPerSample);
        module_.setBufferLength(settings.bufferLength);
        module_.setStaticFrequency(50.0, 0.1);
        module_.setCurrentEnabled(settings.currents);
        module_.setLineToLineResultsEnabled(settings.lineToLine);
        module_.setPeriodValuesEnabled(true);
        module_.setPeriodSymmetricalComponentsEnabled(settings.periodSymmetricalComponents);
        module_.setHalfPeriodValuesCount(2);
        module_.setPeriodValuesOverlapInPercent(settings.overlapPercent);
        module_.setRvcEnabled(settings.rvc);
        module_.setRvcSteadyStateLength(settings.rvcSteadyStateLength);
        module_.setRvcThreshold(2.0);
        module_.setRvcThresholdHysteresis(50.0);
        module_.endUpdate();
        module_.reset(0);
        recordsPerPeriod_ = module_.getPhasesCount() + 1;
    }

    // Runs the signal for `blocks` blocks of `blockLength` samples.
    void run(const int blocks, const uint32_t blockLength = 2000) {
        for (int block = 0; block < blocks; ++block) {
            writeBlock(blockLength);
            module_.scheduleForCalculation(written_, static_cast<int>(blockLength), 50.0);
            written_ += blockLength;
            module_.sync();
            delivered_ += module_.getResults(0).size();
            reportWrittenCycles();
            collect();
        }
    }

    // Period values in order; each holds the summary record and one per phase.
    const std::vector<std::vector<PowerResultsPeriod>>& values() const { return values_; }
    std::size_t generalWindowsDelivered() const { return delivered_; }

private:
    void writeBlock(const uint32_t count) {
        const uint64_t ringLength = module_.getBufferLength();
        for (std::size_t c = 0; c < voltages_.size(); ++c) {
            float* ring = module_.getWaveformBufferUInput(static_cast<uint8_t>(c));
            for (uint32_t n = 0; n < count; ++n) {
                const uint64_t index = written_ + n;
                ring[index % ringLength] = static_cast<float>(voltages_[c](index / settings_.sampleRate));
            }
        }
        for (std::size_t c = 0; c < currents_.size(); ++c) {
            float* ring = module_.getWaveformBufferI(static_cast<uint8_t>(c));
            for (uint32_t n = 0; n < count; ++n) {
                const uint64_t index = written_ + n;
                ring[index % ringLength] = static_cast<float>(currents_[c](index / settings_.sampleRate));
            }
        }
        module_.writeSamples(count);
    }

    void reportWrittenCycles() {
        const uint64_t writtenPositions = written_ * static_cast<uint64_t>(settings_.positionsPerSample);
        std::vector<uint64_t> starts;
        std::vector<int> lengths;
        std::vector<double> frequencies;
        std::vector<bool> validity;
        while (nextCycle_ < cycles_.size() &&
               cycles_[nextCycle_].start + static_cast<uint64_t>(cycles_[nextCycle_].length) <= writtenPositions) {
            const Cycle& cycle = cycles_[nextCycle_++];
            starts.push_back(cycle.start);
            lengths.push_back(cycle.length);
            frequencies.push_back(cycle.frequency);
            validity.push_back(cycle.valid);
        }
        // std::vector<bool> has no contiguous array to hand over.
        std::unique_ptr<bool[]> valid(new bool[validity.size() + 1]);
        std::copy(validity.begin(), validity.end(), valid.get());
        module_.scheduleForPeriodCalculation(static_cast<int>(starts.size()), starts.data(), lengths.data(),
                                             frequencies.data(), valid.get());
    }

    void collect() {
        bool more = true;
        while (more) {
            int count = 0;
            PowerResultsPeriod* records = nullptr;
            module_.getPeriodResults(&count, &more, &records);
            for (int n = 0; n < count; ++n) {
                const PowerResultsPeriod* first = records + static_cast<std::size_t>(n) * recordsPerPeriod_;
                values_.emplace_back(first, first + recordsPerPeriod_);
            }
        }
    }

    Settings settings_;
    PowerModule module_{POWER_BACKEND_CPU};
    std::vector<Signal> voltages_;
    std::vector<Signal> currents_;
    std::vector<Cycle> cycles_;
    std::size_t nextCycle_ = 0;
    uint64_t written_ = 0;
    std::size_t delivered_ = 0;
    std::size_t recordsPerPeriod_ = 0;
    std::vector<std::vector<PowerResultsPeriod>> values_;
};

// Three-phase symmetrical sets: phase c lags phase 0 by 120 degrees times c.
std::vector<Signal> threePhase(const double rms, const double frequency, const double firstDegrees = 0.0) {
    std::vector<Signal> phases;
    phases.reserve(3);
    for (int c = 0; c < 3; ++c) {
        phases.push_back(sine(rms, constantFrequency(frequency), firstDegrees - 120.0 * c));
    }
    return phases;
}

}  // namespace

// ---- one phase: RMS and fundamental -------------------------------------------------

TEST(PeriodValues, SineOf230VoltsGives230VoltsPerCycle) {
    // 50 Hz at 10 kHz: 200 samples per cycle, one-cycle windows.
    PeriodValuesDriver driver(Settings{}, {sine(230.0, constantFrequency(50.0))}, {sine(5.0, constantFrequency(50.0))},
                              constantCycles(50, 200, 50.0));
    driver.run(5);  // 1 s
    const auto& values = driver.values();
    ASSERT_EQ(values.size(), 50u);
    for (std::size_t n = 0; n < values.size(); ++n) {
        const PowerResultsPeriod& phase = values[n][1];
        EXPECT_NEAR(phase.rmsU, 230.0, 1e-4) << "value " << n;
        EXPECT_NEAR(phase.h1U, 230.0, 1e-4) << "value " << n;
        EXPECT_NEAR(phase.rmsI, 5.0, 1e-5) << "value " << n;
        EXPECT_NEAR(phase.frequency, 50.0, 1e-9) << "value " << n;
        EXPECT_NEAR(phase.time, (n + 1) * 0.02, 1e-12) << "value " << n;
        EXPECT_TRUE(phase.valid);
    }
}

TEST(PeriodValues, FrequencyRampKeepsTheFundamentalAt230Volts) {
    // The frequency rises linearly from 49.5 to 50.5 Hz within 1 s, so the
    // phase is f0 t + k t^2 / 2 and cycle n starts at t_n = (sqrt(f0^2 + 2 k n) - f0) / k.
    // Cycles are reported with 1/1000 sample resolution and their mean
    // frequency; the windows follow the reference, so each one holds exactly one
    // cycle of the drifting signal.
    constexpr double f0 = 49.5;
    constexpr double k = 1.0;
    constexpr double sampleRate = 10000.0;
    constexpr int positions = 1000;
    const auto phase = [=](const double t) { return f0 * t + 0.5 * k * t * t; };
    const auto cycleStart = [=](const int n) { return (std::sqrt(f0 * f0 + 2.0 * k * n) - f0) / k; };
    std::vector<Cycle> cycles;
    for (int n = 0; n < 50; ++n) {
        const double begin = cycleStart(n);
        const double end = cycleStart(n + 1);
        const auto first = static_cast<uint64_t>(std::llround(begin * sampleRate * positions));
        const auto last = static_cast<uint64_t>(std::llround(end * sampleRate * positions));
        cycles.push_back({first, static_cast<int>(last - first), 1.0 / (end - begin), true});
    }
    Settings settings;
    settings.positionsPerSample = positions;
    // The current leads by 30 degrees at every instant of the ramp.
    PeriodValuesDriver driver(settings, {sine(230.0, phase)}, {sine(5.0, phase, 30.0)}, cycles);
    driver.run(6);
    const auto& values = driver.values();
    ASSERT_GE(values.size(), 49u);
    for (std::size_t n = 0; n < values.size(); ++n) {
        const PowerResultsPeriod& record = values[n][1];
        EXPECT_NEAR(record.h1U, 230.0, 1e-3) << "value " << n;
        EXPECT_NEAR(record.rmsU, 230.0, 1e-3) << "value " << n;
        // Within a reported cycle the reference advances linearly while the
        // chirp's phase is quadratic (off by up to k / (8 f^2) = 5e-5 cycles in
        // mid-cycle); that bends each fundamental angle by a few 1e-5 rad.
        EXPECT_NEAR(record.phi1, -30.0, 5e-3) << "value " << n;
        // The window's mean frequency is that of the cycle it covers.
        EXPECT_NEAR(record.frequency, cycles[n].frequency, 1e-3) << "value " << n;
    }
}

TEST(PeriodValues, FundamentalIsAMeanOverReferencePhaseWhenTheFrequencyJumps) {
    // Cycles alternate between 40 Hz (250 samples) and 62.5 Hz (160 samples)
    // with a continuous phase. With 75 % overlap the one-cycle windows start
    // every quarter cycle, so most of them hold a quarter of one cycle and three
    // quarters of the other. Weighted by the reference frequency, every part
    // counts with the angle it spans and the fundamental stays at 230 V;
    // weighted by time, the slow samples would count 1.56 times as much as the
    // fast ones and the uneven split would leak into the fundamental.
    constexpr double sampleRate = 10000.0;
    std::vector<Cycle> cycles;
    std::vector<double> cycleStartTimes{0.0};
    uint64_t start = 0;
    for (int n = 0; n < 40; ++n) {
        const int length = n % 2 == 0 ? 250 : 160;
        cycles.push_back({start, length, sampleRate / length, true});
        start += static_cast<uint64_t>(length);
        cycleStartTimes.push_back(start / sampleRate);
    }
    const auto phase = [cycleStartTimes](const double t) {
        std::size_t n = 0;
        while (n + 2 < cycleStartTimes.size() && cycleStartTimes[n + 1] <= t) {
            ++n;
        }
        return n + (t - cycleStartTimes[n]) / (cycleStartTimes[n + 1] - cycleStartTimes[n]);
    };
    Settings settings;
    settings.overlapPercent = 75;
    PeriodValuesDriver driver(settings, {sine(230.0, phase)}, {sine(5.0, phase)}, cycles);
    driver.run(5);
    const auto& values = driver.values();
    ASSERT_GE(values.size(), 150u);
    for (std::size_t n = 0; n < values.size(); ++n) {
        EXPECT_NEAR(values[n][1].h1U, 230.0, 2e-2) << "value " << n;
        // Voltage and current keep their common angle through every jump.
        EXPECT_NEAR(values[n][1].phi1, 0.0, 1e-4) << "value " << n;
    }
}

// ---- power and angle ----------------------------------------------------------------

TEST(PeriodValues, FundamentalAngleAndPowerOfVoltageAndCurrent) {
    struct Case {
        double voltageDegrees;
        double currentDegrees;
        double expectedPhi1;
    };
    // In phase; current lagging by 90 degrees; differences of +-200 degrees
    // that must be brought into (-180, 180].
    const std::vector<Case> cases{{0.0, 0.0, 0.0}, {0.0, -90.0, 90.0}, {100.0, -100.0, -160.0}, {-100.0, 100.0, 160.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "u at " << c.voltageDegrees << ", i at " << c.currentDegrees);
        PeriodValuesDriver driver(Settings{}, {sine(230.0, constantFrequency(50.0), c.voltageDegrees)},
                                  {sine(10.0, constantFrequency(50.0), c.currentDegrees)},
                                  constantCycles(10, 200, 50.0));
        driver.run(1);
        ASSERT_EQ(driver.values().size(), 10u);
        const PowerResultsPeriod& record = driver.values().back()[1];
        const double angle = radians(c.voltageDegrees - c.currentDegrees);
        EXPECT_NEAR(record.phi1, c.expectedPhi1, 1e-4);
        EXPECT_NEAR(record.s1, 2300.0, 1e-2);
        EXPECT_NEAR(record.p1, 2300.0 * std::cos(angle), 1e-2);
        EXPECT_NEAR(record.q1, 2300.0 * std::sin(angle), 1e-2);
        EXPECT_NEAR(record.p, 2300.0 * std::cos(angle), 1e-2);
        EXPECT_NEAR(record.s, 2300.0, 1e-2);
        EXPECT_NEAR(record.lambda, std::cos(angle), 1e-6);
        EXPECT_NEAR(record.nonActivePower, 2300.0 * std::abs(std::sin(angle)), 1e-1);
    }
}

// ---- three phases --------------------------------------------------------------------

TEST(PeriodValues, UnbalancedStarSetGivesItsSymmetricalComponents) {
    // Phase voltages 230 V at 20, 200 V at -100 and 260 V at 140 degrees;
    // currents of 10 A lagging their voltages by 30, 60 and 0 degrees.
    const std::vector<double> rms{230.0, 200.0, 260.0};
    const std::vector<double> degrees{20.0, -100.0, 140.0};
    const std::vector<double> lag{30.0, 60.0, 0.0};
    std::vector<Signal> voltages;
    std::vector<Signal> currents;
    for (int c = 0; c < 3; ++c) {
        voltages.push_back(sine(rms[c], constantFrequency(50.0), degrees[c]));
        currents.push_back(sine(10.0, constantFrequency(50.0), degrees[c] - lag[c]));
    }
    Settings settings;
    settings.grid = ThreePhaseStar;
    settings.periodSymmetricalComponents = true;
    PeriodValuesDriver driver(settings, voltages, currents, constantCycles(10, 200, 50.0));
    driver.run(1);
    ASSERT_EQ(driver.values().size(), 10u);
    const std::vector<PowerResultsPeriod>& value = driver.values().back();
    ASSERT_EQ(value.size(), 4u);

    // Textbook components with a = e^(j 120 deg), turned so that the voltage of
    // phase 1 lies on the real axis (by -20 degrees).
    const std::complex<double> a = std::polar(1.0, radians(120.0));
    const std::complex<double> turn = std::polar(1.0, radians(-20.0));
    std::vector<std::complex<double>> u;
    std::vector<std::complex<double>> i;
    for (int c = 0; c < 3; ++c) {
        u.push_back(std::polar(rms[c], radians(degrees[c])) * turn);
        i.push_back(std::polar(10.0, radians(degrees[c] - lag[c])) * turn);
    }
    const auto sequences = [&a](const std::vector<std::complex<double>>& x) {
        return std::vector<std::complex<double>>{(x[0] + x[1] + x[2]) / 3.0, (x[0] + a * x[1] + a * a * x[2]) / 3.0,
                                                 (x[0] + a * a * x[1] + a * x[2]) / 3.0};
    };
    const std::vector<std::complex<double>> uSequences = sequences(u);
    const std::vector<std::complex<double>> iSequences = sequences(i);
    const char* const names[] = {"zero", "positive", "negative"};
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(names[k]);
        const PowerResultsSymmetricalComponent& component = value[k].symmetricalComponent;
        EXPECT_NEAR(component.u.x, uSequences[k].real(), 1e-4);
        EXPECT_NEAR(component.u.y, uSequences[k].imag(), 1e-4);
        EXPECT_NEAR(component.i.x, iSequences[k].real(), 1e-5);
        EXPECT_NEAR(component.i.y, iSequences[k].imag(), 1e-5);
        EXPECT_NEAR(component.uMagnitude, std::abs(uSequences[k]), 1e-4);
        // Power of each sequence: Re(3 U conj(I)).
        EXPECT_NEAR(component.p, 3.0 * (uSequences[k] * std::conj(iSequences[k])).real(), 1e-2);
    }
    // Record 3 carries no sequence component.
    EXPECT_EQ(value[3].symmetricalComponent.uMagnitude, 0.0);

    // Per phase RMS values and powers; the summary holds the means of the RMS
    // values and the sums of the powers.
    double p1 = 0.0;
    double q1 = 0.0;
    for (int c = 0; c < 3; ++c) {
        const double phaseP1 = rms[c] * 10.0 * std::cos(radians(lag[c]));
        const double phaseQ1 = rms[c] * 10.0 * std::sin(radians(lag[c]));
        EXPECT_NEAR(value[c + 1].rmsU, rms[c], 1e-4) << "phase " << c;
        EXPECT_NEAR(value[c + 1].p1, phaseP1, 1e-2) << "phase " << c;
        EXPECT_NEAR(value[c + 1].q1, phaseQ1, 1e-2) << "phase " << c;
        EXPECT_NEAR(value[c + 1].phi1, lag[c], 1e-4) << "phase " << c;
        p1 += phaseP1;
        q1 += phaseQ1;
    }
    const PowerResultsPeriod& summary = value[0];
    EXPECT_NEAR(summary.rmsU, (230.0 + 200.0 + 260.0) / 3.0, 1e-4);
    EXPECT_NEAR(summary.rmsI, 10.0, 1e-5);
    EXPECT_NEAR(summary.p1, p1, 3e-2);
    EXPECT_NEAR(summary.q1Sum, q1, 3e-2);
    EXPECT_NEAR(summary.s1, 6900.0, 3e-2);
    // The summary's q1 is the non-active part of the summed apparent powers,
    // which exceeds the sum of the phases' q1 when their angles differ.
    EXPECT_NEAR(summary.q1, std::sqrt(6900.0 * 6900.0 - p1 * p1), 5e-2);
    EXPECT_GT(summary.q1, q1 + 100.0);
    // Pure sines: the total power factor is the summed active power over the
    // summed apparent power.
    EXPECT_NEAR(summary.lambda, p1 / 6900.0, 1e-6);
    EXPECT_DOUBLE_EQ(summary.time, value[1].time);
    EXPECT_NEAR(summary.frequency, 50.0, 1e-9);
    EXPECT_FALSE(summary.valid);
}

TEST(PeriodValues, DeltaGridWithTwoMeasuredVoltagesDerivesThePhaseVoltages) {
    // U12 and U23 of a balanced 400 V set are measured (U31 and the phase
    // voltages are derived on the device), and I1, I2 of a balanced 10 A set in
    // phase with the phase voltages (I3 derived).
    const double lineRms = 400.0;
    const double phaseRms = lineRms / kSqrt3;
    std::vector<Signal> lineVoltages{sine(lineRms, constantFrequency(50.0), 30.0),
                                     sine(lineRms, constantFrequency(50.0), -90.0)};
    std::vector<Signal> currents = threePhase(10.0, 50.0);
    currents.pop_back();
    Settings settings;
    settings.grid = ThreePhaseDeltaTwoVoltagesTwoCurrents;
    settings.lineToLine = true;
    settings.rvc = true;
    settings.rvcSteadyStateLength = 5;
    PeriodValuesDriver driver(settings, lineVoltages, currents, constantCycles(20, 200, 50.0));
    driver.run(2);
    ASSERT_EQ(driver.values().size(), 20u);
    for (const auto& value : driver.values()) {
        // Every line-to-line channel, the derived U31 included, has its own
        // detector, which sees a steady 400 V.
        EXPECT_EQ(value[0].rvcUL.state, 0);
        for (int c = 0; c < 3; ++c) {
            const PowerResultsPeriod& record = value[c + 1];
            EXPECT_EQ(record.rvcUL.state, 0) << "phase " << c;
            EXPECT_DOUBLE_EQ(record.rvcUL.time, record.time) << "phase " << c;
            EXPECT_NEAR(record.rmsU, phaseRms, 1e-3) << "phase " << c;
            EXPECT_NEAR(record.h1U, phaseRms, 1e-3) << "phase " << c;
            EXPECT_NEAR(record.rmsUL, lineRms, 1e-3) << "phase " << c;
            EXPECT_NEAR(record.rmsI, 10.0, 1e-4) << "phase " << c;
            EXPECT_NEAR(record.phi1, 0.0, 1e-3) << "phase " << c;
            EXPECT_NEAR(record.lambda, 1.0, 1e-6) << "phase " << c;
        }
        EXPECT_NEAR(value[0].p, 3.0 * phaseRms * 10.0, 5e-2);
    }
}

// ---- rapid voltage change --------------------------------------------------------------

TEST(PeriodValues, MinusFivePercentDipForOneSecondIsOneRvcEvent) {
    // Three phases at 230 V; phase 2 drops to 218.5 V from 2 s to 3 s. With one
    // cycle values (50 per second) and a steady state of 100 values (longer than
    // the dip, so the dipped level never becomes a steady state of its own), the
    // event starts with the first dipped cycle, ends when 100 cycles after the
    // dip have been steady, and lasts from the first dipped cycle to the first
    // recovered one.
    Settings settings;
    settings.grid = ThreePhaseStar;
    settings.currents = false;
    settings.rvc = true;
    settings.rvcSteadyStateLength = 100;
    std::vector<Signal> voltages = threePhase(230.0, 50.0);
    const Signal healthy = voltages[1];
    voltages[1] = [healthy](const double t) { return (t >= 2.0 && t < 3.0) ? 0.95 * healthy(t) : healthy(t); };
    PeriodValuesDriver driver(settings, voltages, {}, constantCycles(300, 200, 50.0));
    driver.run(30);  // 6 s
    const auto& values = driver.values();
    ASSERT_EQ(values.size(), 300u);

    int started = -1;
    int ended = -1;
    for (std::size_t n = 0; n < values.size(); ++n) {
        const RvcResult& total = values[n][0].rvcU;
        if (total.stateChanged && total.state == 1) {
            EXPECT_EQ(started, -1) << "second event start at value " << n;
            started = static_cast<int>(n);
        }
        if (total.eventEnded) {
            EXPECT_EQ(ended, -1) << "second event end at value " << n;
            ended = static_cast<int>(n);
            EXPECT_NEAR(total.duration, 1.0, 1e-9);
            EXPECT_NEAR(total.deltaUmax, 11.5, 1e-3);
            EXPECT_NEAR(total.deltaUss, 0.0, 1e-3);
            EXPECT_EQ(total.eventCount, 1u);
            // The phase that dipped reports the same event on its own.
            const RvcResult& dipped = values[n][2].rvcU;
            EXPECT_TRUE(dipped.eventEnded);
            EXPECT_NEAR(dipped.duration, 1.0, 1e-9);
            EXPECT_NEAR(dipped.deltaUmax, 11.5, 1e-3);
        }
        // The healthy phases never leave their steady state.
        EXPECT_EQ(values[n][1].rvcU.state, 0) << "value " << n;
        EXPECT_EQ(values[n][3].rvcU.state, 0) << "value " << n;
    }
    // Cycle 100 (ending at 2.02 s) is the first dipped one; cycles 150 .. 249
    // form the new steady window.
    EXPECT_EQ(started, 100);
    EXPECT_EQ(ended, 249);
    EXPECT_EQ(values.back()[0].rvcU.eventCount, 1u);
    EXPECT_EQ(values.back()[0].rvcU.state, 0);
}

// ---- retrieval ---------------------------------------------------------------------------

TEST(PeriodValueRetrieval, RingWrapSplitsTheOutputAndUndeliveredWindowsWait) {
    // 1400 samples at 10 kHz and at most 55 Hz with one-cycle windows: 8 slots.
    // The waveforms are not needed here: samples are skipped, which also counts
    // them as delivered.
    PowerModule module(POWER_BACKEND_CPU);
    module.beginUpdate();
    module.setSampleRate(10000.0, 1);
    module.setBufferLength(1400);
    module.setPeriodValuesEnabled(true);
    module.setHalfPeriodValuesCount(2);
    module.endUpdate();
    module.reset(0);

    const auto report = [&module](const uint64_t firstCycle, const uint64_t count) {
        std::vector<uint64_t> starts;
        std::vector<int> lengths;
        std::vector<double> frequencies;
        std::unique_ptr<bool[]> valid(new bool[count]);
        for (uint64_t n = 0; n < count; ++n) {
            starts.push_back((firstCycle + n) * 200);
            lengths.push_back(200);
            frequencies.push_back(50.0);
            valid[n] = true;
        }
        module.scheduleForPeriodCalculation(static_cast<int>(count), starts.data(), lengths.data(), frequencies.data(),
                                            valid.get());
    };
    int count = -1;
    bool more = true;
    PowerResultsPeriod* records = nullptr;

    report(0, 6);
    // The windows are complete but their samples are not delivered yet.
    module.getPeriodResults(&count, &more, &records);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(more);

    module.skipSamples(1200);
    module.getPeriodResults(&count, &more, &records);
    EXPECT_EQ(count, 6);
    EXPECT_FALSE(more);
    PowerResultsPeriod* const ringStart = records;

    report(6, 4);
    module.skipSamples(800);
    module.getPeriodResults(&count, &more, &records);
    ASSERT_EQ(count, 2);
    EXPECT_TRUE(more);
    EXPECT_EQ(records, ringStart + 6 * 2);
    EXPECT_NEAR(records[1].time, 0.14, 1e-12);  // window 6 ends at 1400 samples
    EXPECT_NEAR(records[3].time, 0.16, 1e-12);

    module.getPeriodResults(&count, &more, &records);
    ASSERT_EQ(count, 2);
    EXPECT_FALSE(more);
    EXPECT_EQ(records, ringStart);
    EXPECT_NEAR(records[1].time, 0.18, 1e-12);
    EXPECT_NEAR(records[3].time, 0.20, 1e-12);

    module.getPeriodResults(&count, &more, &records);
    EXPECT_EQ(count, 0);
    EXPECT_FALSE(more);
}

TEST(PeriodValueRetrieval, SinglePhaseLeavesTheSummaryRecordEmpty) {
    PeriodValuesDriver driver(Settings{}, {sine(230.0, constantFrequency(50.0))}, {sine(5.0, constantFrequency(50.0))},
                              constantCycles(10, 200, 50.0));
    driver.run(1);
    ASSERT_EQ(driver.values().size(), 10u);
    for (const auto& value : driver.values()) {
        ASSERT_EQ(value.size(), 2u);
        EXPECT_EQ(value[0].time, 0.0);
        EXPECT_EQ(value[0].rmsU, 0.0);
        EXPECT_EQ(value[0].p, 0.0);
        EXPECT_GT(value[1].rmsU, 0.0);
    }
}
