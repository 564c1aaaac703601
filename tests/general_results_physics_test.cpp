// General results of whole windows, end to end through PowerModule on every
// backend present, against signals whose answers follow from circuit theory:
// rms and rectified means of sines, harmonic magnitudes and phases, THD,
// active/reactive/apparent power of shifted currents, symmetrical components
// of a set built from chosen sequence phasors, derived channels of delta and
// three-wire grids, Clarke and Park of balanced sets, interharmonic groups,
// variable-frequency windows, windows across the ring end and the spectra.
//
// Conventions of the expected values:
// - a channel's signal is sqrt(2) * rms * sin(w t + psi); its phasor is
//   rms * e^(j psi) (an rms phasor in the sine reference).
// - The library reports every angle relative to the fundamental of the first
//   voltage channel of the window, so expected phasors are rotated by minus
//   that channel's fundamental phase.
//
// Tolerances are stated per check; spectral values come from single-precision
// FFTs of Blackman-windowed samples, so 1e-3 relative is ample for values near
// full scale and small absolute bounds stand for "nearly zero".
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "module/PowerModuleImpl.h"
#include "powergpu.h"
#include "powergpu.hpp"
#include "runtime/CpuRuntime.h"
#include "support/Backends.h"
#include "support/ModuleFeeder.h"

namespace {

using Complex = std::complex<double>;
using powergpu::test::ModuleFeeder;
using powergpu::test::SignalFunction;

constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;
constexpr double kSqrt2 = 1.4142135623730951;
constexpr double kSqrt3 = 1.7320508075688772;
constexpr double kRate = 10000.0;
constexpr double kF = 50.0;
constexpr double kW = kTwoPi * kF;
// The Blackman window (0.42, 0.5, 0.08) leaks about -73 dB of a 230 V
// fundamental into the neighbouring groups (0.05 V into order 2, 0.06 V into
// DC, 0.03 V into the interharmonic groups next to it): absent components
// are checked against this floor.
constexpr double kLeakage = 0.1;

double radians(double degrees) {
    return degrees * kPi / 180.0;
}
double degrees(double radians) {
    return radians * 180.0 / kPi;
}

Complex polar(double rms, double angleDegrees) {
    return std::polar(rms, radians(angleDegrees));
}

// An angle in (-180, 180].
double wrapDegrees(double angle) {
    double wrapped = std::fmod(angle, 360.0);
    if (wrapped <= -180.0) {
        wrapped += 360.0;
    } else if (wrapped > 180.0) {
        wrapped -= 360.0;
    }
    return wrapped;
}

// The distance of two angles on the circle, in degrees.
double angleDistance(double a, double b) {
    return std::abs(wrapDegrees(a - b));
}

// The sample of an rms phasor's sine at time t and angular frequency w.
double sine(const Complex& phasor, double w, double t) {
    return kSqrt2 * std::abs(phasor) * std::sin(w * t + std::arg(phasor));
}

const Complex kA = polar(1.0, 120.0);  // the rotation operator a

// Three phase phasors from zero, positive and negative sequence phasors.
std::vector<Complex> phasesOf(const Complex& zero, const Complex& positive, const Complex& negative) {
    return {zero + positive + negative, zero + kA * kA * positive + kA * negative,
            zero + kA * positive + kA * kA * negative};
}

struct Window {
    uint64_t first;
    int length;
    double frequency;
};

class GeneralResultsPhysics : public ::testing::TestWithParam<int32_t> {
protected:
    using Configure = std::function<void(PowerModule&)>;

    // A module at 10 kHz with a static 50 Hz fundamental (+-10 %: FFT length
    // 4096 for 10-period windows of 2000 samples), configured further by `configure`.
    std::unique_ptr<PowerModule> makeModule(const Configure& configure, uint64_t bufferLength = 20000) {
        auto module = std::make_unique<PowerModule>(GetParam());
        module->beginUpdate();
        module->setSampleRate(kRate, 1);
        module->setBufferLength(bufferLength);
        module->setStaticFrequency(kF, 0.1);
        if (configure) {
            configure(*module);
        }
        module->endUpdate();
        module->reset(0);
        return module;
    }

    // Writes the signal up to the end of each window, schedules it and waits
    // for the device; returns the records in schedule order.
    std::vector<PowerResultsGeneral> run(PowerModule& module, const SignalFunction& signal,
                                         const std::vector<Window>& windows) {
        ModuleFeeder feeder(module, signal);
        const auto block = static_cast<uint32_t>(std::min<uint64_t>(module.getBufferLength(), 1000));
        for (const Window& window : windows) {
            const uint64_t end = window.first + static_cast<uint64_t>(window.length);
            while (feeder.written() < end) {
                feeder.write(static_cast<uint32_t>(std::min<uint64_t>(block, end - feeder.written())));
            }
            module.scheduleForCalculation(window.first, window.length, window.frequency);
            // Later samples may reuse the ring positions this window reads.
            module.sync();
        }
        std::vector<PowerResultsGeneral> records = module.getResults(0);
        EXPECT_EQ(records.size(), windows.size());
        records.resize(windows.size());
        return records;
    }

    bool onCpu() const { return GetParam() == POWER_BACKEND_CPU; }
};

// A single phase: voltage phasor u (and current phasor i, when currents are used) at 50 Hz.
SignalFunction singlePhase(const Complex& u, const Complex& i = {}) {
    return [u, i](char kind, int, double t) { return sine(kind == 'U' ? u : i, kW, t); };
}

// Three phases from per-channel phasors of the measured voltages and currents.
SignalFunction threePhase(const std::vector<Complex>& u, const std::vector<Complex>& i,
                          std::function<double(double)> angle = {}) {
    return [u, i, angle](char kind, int channel, double t) {
        if (kind == 'A') {
            return angle ? angle(t) : 0.0;
        }
        const std::vector<Complex>& set = kind == 'U' ? u : i;
        return channel < static_cast<int>(set.size()) ? sine(set[static_cast<std::size_t>(channel)], kW, t) : 0.0;
    };
}

}  // namespace

// ---- one sine ------------------------------------------------------------------------

TEST_P(GeneralResultsPhysics, PureSineGivesItsRmsRectifiedMeanAndFundamentalWithoutDistortion) {
    auto module = makeModule([](PowerModule& m) {
        m.setCurrentEnabled(false);
        m.setThdEnabled(true);
    });
    const Complex u = polar(230.0, 37.0);
    const std::vector<PowerResultsGeneral> records = run(*module, singlePhase(u), {{0, 2000, kF}, {3000, 2000, kF}});
    for (const PowerResultsGeneral& r : records) {
        SCOPED_TRACE("window at " + std::to_string(r.firstSampleIndex));
        EXPECT_DOUBLE_EQ(r.time, static_cast<double>(r.firstSampleIndex + 2000) / kRate);
        EXPECT_EQ(r.length, 2000u);
        EXPECT_DOUBLE_EQ(r.frequency, kF);
        EXPECT_DOUBLE_EQ(r.dFrequency, kRate / 4096.0);
        EXPECT_EQ(r.fftOutputLength, 2049u);
        EXPECT_EQ(r.harmonicLength, 41u) << "orders 0..40 for THD";
        EXPECT_EQ(r.phasesCount, 1u);

        const PowerResultsChannel& c = r.channels[0];
        EXPECT_NEAR(c.rmsU, 230.0, 230.0 * 1e-3);
        EXPECT_NEAR(c.rmsFftU, 230.0, 230.0 * 1e-3);
        EXPECT_NEAR(c.h1U, 230.0, 230.0 * 1e-3);
        // Rectified mean of a sine: 2 sqrt(2) / pi times its rms.
        EXPECT_NEAR(c.meanAbsU, 2.0 * kSqrt2 / kPi * 230.0, 230.0 * 1e-3);
        ASSERT_NE(c.harmonicsU, nullptr);
        EXPECT_FLOAT_EQ(c.harmonicsU[1], static_cast<float>(c.h1U));
        // What the window leaks of the fundamental into the other groups
        // (DC and order 2 see about 0.06 V) is the floor of "nothing".
        EXPECT_NEAR(c.harmonicsU[0], 0.0, kLeakage) << "no DC";
        EXPECT_LT(c.thdU.thd, 100.0 * kLeakage / 230.0) << "percent";
        EXPECT_LT(c.thdU.harmonicRms, kLeakage);
        EXPECT_LT(c.thdU.distortionRms, 0.5) << "sqrt(rms^2 - h1^2) of two nearly equal values";
        // Nothing without currents, nothing in the summary of a single phase.
        EXPECT_EQ(c.rmsI, 0.0);
        EXPECT_EQ(c.p, 0.0);
        EXPECT_EQ(c.harmonicsI, nullptr);
        EXPECT_EQ(r.channels[1].rmsU, 0.0);
        EXPECT_EQ(r.channels[1].harmonicsU, nullptr);
    }
}

// ---- harmonics -----------------------------------------------------------------------

TEST_P(GeneralResultsPhysics, HarmonicMagnitudesPhasesAndThdOfAKnownWaveform) {
    auto module = makeModule([](PowerModule& m) {
        m.setCurrentEnabled(false);
        m.setThdEnabled(true);
        m.setHighestRequestedHarmonic(40);
    });
    // u = sqrt(2) 230 [sin(w t + 20) + 0.05 sin(5 w t + 70) + 0.03 sin(7 w t - 25)] (degrees).
    const double psi1 = 20.0;
    const double psi5 = 70.0;
    const double psi7 = -25.0;
    const SignalFunction signal = [&](char, int, double t) {
        return kSqrt2 * 230.0 *
               (std::sin(kW * t + radians(psi1)) + 0.05 * std::sin(5.0 * kW * t + radians(psi5)) +
                0.03 * std::sin(7.0 * kW * t + radians(psi7)));
    };
    // The second window starts 3037 samples later: relative phases must not move.
    const std::vector<PowerResultsGeneral> records = run(*module, signal, {{0, 2000, kF}, {3037, 2000, kF}});
    for (const PowerResultsGeneral& r : records) {
        SCOPED_TRACE("window at " + std::to_string(r.firstSampleIndex));
        const PowerResultsChannel& c = r.channels[0];
        ASSERT_NE(c.harmonicsU, nullptr);
        ASSERT_NE(c.phasesU, nullptr);
        EXPECT_NEAR(c.harmonicsU[1], 230.0, 230.0 * 1e-3);
        EXPECT_NEAR(c.harmonicsU[5], 11.5, 11.5 * 1e-3);
        EXPECT_NEAR(c.harmonicsU[7], 6.9, 6.9 * 1e-3);
        for (const int absent : {2, 3, 4, 6, 8, 9, 10, 11, 13, 20, 40}) {
            EXPECT_LT(c.harmonicsU[absent], kLeakage) << "order " << absent;
        }

        // A sine sqrt(2) A sin(h w t + psi_h) whose frequency lies on the
        // centre bin has the spectral angle -psi_h (the angle is measured as
        // atan2(-Re, -Im) of the bin, and the bin of a sine is proportional to
        // -j e^(j psi)); the library subtracts h times the fundamental's angle
        // -psi_1 and wraps, so order h reports h psi_1 - psi_h, and order 1 of
        // the reference channel reports 0. Shifting the window start by s adds
        // h w s to psi_h and w s to psi_1, so the report does not move.
        EXPECT_LT(angleDistance(c.phasesU[1], 0.0), 1e-3);
        EXPECT_LT(angleDistance(c.phasesU[5], wrapDegrees(5.0 * psi1 - psi5)), 0.01) << c.phasesU[5];
        EXPECT_LT(angleDistance(c.phasesU[7], wrapDegrees(7.0 * psi1 - psi7)), 0.01) << c.phasesU[7];

        // THD relative to the fundamental: sqrt(0.05^2 + 0.03^2) = 5.831 %, all odd, not triplen.
        const double thd = 100.0 * std::sqrt(0.05 * 0.05 + 0.03 * 0.03);
        EXPECT_NEAR(c.thdU.thd, thd, thd * 1e-3);
        EXPECT_NEAR(c.thdU.thdOdd, thd, thd * 1e-3);
        EXPECT_NEAR(c.thdU.thdOddNonTriplen, thd, thd * 1e-3);
        EXPECT_LT(c.thdU.thdEven, 100.0 * kLeakage / 230.0);
        EXPECT_LT(c.thdU.thdOddTriplen, 100.0 * kLeakage / 230.0);
        const double harmonicRms = 230.0 * std::sqrt(0.05 * 0.05 + 0.03 * 0.03);
        const double rms = 230.0 * std::sqrt(1.0 + 0.05 * 0.05 + 0.03 * 0.03);
        EXPECT_NEAR(c.rmsU, rms, rms * 1e-3);
        EXPECT_NEAR(c.thdU.harmonicRms, harmonicRms, harmonicRms * 1e-3);
        EXPECT_NEAR(c.thdU.thdRms, 100.0 * harmonicRms / rms, 1e-2);
        EXPECT_NEAR(c.thdU.distortionRms, harmonicRms, harmonicRms * 1e-2);
        EXPECT_NEAR(c.thdU.distortion, thd, thd * 1e-2);
    }
}

// ---- power ---------------------------------------------------------------------------

TEST_P(GeneralResultsPhysics, PowerOfACurrentShiftedAgainstItsVoltage) {
    // 230 V and 10 A: a lagging current (inductive, Q > 0) and a leading one (Q < 0).
    for (const double lag : {30.0, -45.0}) {
        SCOPED_TRACE("current lagging by " + std::to_string(lag) + " degrees");
        auto module = makeModule(nullptr);
        const Complex u = polar(230.0, 10.0);
        const Complex i = polar(10.0, 10.0 - lag);
        const PowerResultsGeneral r = run(*module, singlePhase(u, i), {{0, 2000, kF}}).front();
        const PowerResultsChannel& c = r.channels[0];
        const double s = 2300.0;
        const double p = s * std::cos(radians(lag));
        const double q = s * std::sin(radians(lag));
        const double tolerance = s * 1e-3;
        EXPECT_NEAR(c.rmsI, 10.0, 1e-2);
        EXPECT_NEAR(c.rmsFftI, 10.0, 1e-2);
        EXPECT_NEAR(c.h1I, 10.0, 1e-2);
        EXPECT_NEAR(c.meanAbsI, 2.0 * kSqrt2 / kPi * 10.0, 1e-2);
        EXPECT_NEAR(c.p, p, tolerance);
        EXPECT_NEAR(c.pFft, p, tolerance);
        EXPECT_NEAR(c.q, q, tolerance);
        EXPECT_NEAR(c.s, s, tolerance);
        EXPECT_NEAR(c.nonActivePower, std::abs(q), tolerance);
        EXPECT_NEAR(c.lambda, std::cos(radians(lag)), 1e-3);
        EXPECT_NEAR(c.cosPhi1, std::cos(radians(lag)), 1e-3);
        EXPECT_NEAR(c.p1, p, tolerance);
        EXPECT_NEAR(c.q1, q, tolerance);
        EXPECT_NEAR(c.s1, s, tolerance);
        EXPECT_NEAR(c.z, 23.0, 23.0 * 1e-3);
        EXPECT_NEAR(c.z1, 23.0, 23.0 * 1e-3);
        EXPECT_LT(c.d, 1e-3 * s) << "no distortion power for pure sines";
        EXPECT_LT(c.d1, 1e-3 * s);
        ASSERT_NE(c.phasesI, nullptr);
        EXPECT_LT(angleDistance(c.phasesI[1], lag), 0.01) << "current angle relative to the voltage";
        ASSERT_NE(c.harmonicsP, nullptr);
        EXPECT_NEAR(c.harmonicsP[1], p, tolerance);
        EXPECT_NEAR(c.harmonicsQ[1], q, tolerance);
        EXPECT_NEAR(c.harmonicsS[1], s, tolerance);
        EXPECT_NEAR(c.harmonicsZ[1], 23.0, 23.0 * 1e-3);
    }
}

// ---- symmetrical components ------------------------------------------------------------

TEST_P(GeneralResultsPhysics, UnbalancedSetDecomposesIntoTheSequencesItWasBuiltFrom) {
    auto module = makeModule([](PowerModule& m) {
        m.setGridConfigType(ThreePhaseStar);
        m.setSymmetricalComponentsEnabled(true);
    });
    const Complex v0 = polar(4.6, -70.0);
    const Complex v1 = polar(230.0, 0.0);
    const Complex v2 = polar(11.5, 40.0);
    const Complex i0 = polar(0.2, 50.0);
    const Complex i1 = polar(10.0, -30.0);
    const Complex i2 = polar(0.5, 10.0);
    const std::vector<Complex> u = phasesOf(v0, v1, v2);
    const std::vector<Complex> i = phasesOf(i0, i1, i2);
    const PowerResultsGeneral r = run(*module, threePhase(u, i), {{0, 2000, kF}}).front();

    // Phase values first: each phase carries its own phasor.
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(r.channels[c].rmsU, std::abs(u[c]), 230.0 * 1e-3) << "phase " << c;
        EXPECT_NEAR(r.channels[c].rmsI, std::abs(i[c]), 10.0 * 1e-3) << "phase " << c;
    }

    // The library's phasors are relative to phase 1's fundamental.
    const Complex rotation = std::polar(1.0, -std::arg(u[0]));
    const Complex voltages[3] = {v0 * rotation, v1 * rotation, v2 * rotation};
    const Complex currents[3] = {i0 * rotation, i1 * rotation, i2 * rotation};
    const double voltageTolerance = 230.0 * 2e-4;
    const double currentTolerance = 10.0 * 2e-4;
    const double powerTolerance = 6900.0 * 2e-4;
    double activeSum = 0.0;
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE("sequence " + std::to_string(k));
        const PowerResultsSymmetricalComponent& s = r.symmetricalResults[k];
        EXPECT_NEAR(s.u.x, voltages[k].real(), voltageTolerance);
        EXPECT_NEAR(s.u.y, voltages[k].imag(), voltageTolerance);
        EXPECT_NEAR(s.i.x, currents[k].real(), currentTolerance);
        EXPECT_NEAR(s.i.y, currents[k].imag(), currentTolerance);
        EXPECT_NEAR(s.uMagnitude, std::abs(voltages[k]), voltageTolerance);
        EXPECT_NEAR(s.uLMagnitude, kSqrt3 * std::abs(voltages[k]), kSqrt3 * voltageTolerance);
        EXPECT_NEAR(s.iMagnitude, std::abs(currents[k]), currentTolerance);
        // Three-phase complex power of the sequence: 3 V conj(I).
        const Complex power = 3.0 * voltages[k] * std::conj(currents[k]);
        EXPECT_NEAR(s.p, power.real(), powerTolerance);
        EXPECT_NEAR(s.q, power.imag(), powerTolerance);
        EXPECT_NEAR(s.s, std::abs(power), powerTolerance);
        EXPECT_NEAR(s.lambda, power.real() / std::abs(power), 2e-3);
        EXPECT_NEAR(s.iActive, power.real() / (3.0 * std::abs(voltages[k])), currentTolerance * 3.0);
        // Spectral rms of the sequence: the whole energy of that sequence.
        EXPECT_NEAR(s.rmsU, std::abs(voltages[k]), 230.0 * 1e-3);
        EXPECT_NEAR(s.rmsI, std::abs(currents[k]), 10.0 * 1e-3);
        activeSum += s.p;
    }
    // Unbalance ratios in percent of the positive sequence.
    EXPECT_NEAR(r.symmetricalResults[0].uRatio, 2.0, 0.01);
    EXPECT_NEAR(r.symmetricalResults[1].uRatio, 100.0, 1e-9);
    EXPECT_NEAR(r.symmetricalResults[2].uRatio, 5.0, 0.01);
    EXPECT_NEAR(r.symmetricalResults[0].iRatio, 2.0, 0.01);
    EXPECT_NEAR(r.symmetricalResults[2].iRatio, 5.0, 0.01);
    EXPECT_NEAR(r.symmetricalResults[0].rmsURatio, 2.0, 0.02);
    EXPECT_NEAR(r.symmetricalResults[2].rmsURatio, 5.0, 0.02);
    EXPECT_NEAR(r.symmetricalResults[1].rmsIRatio, 100.0, 1e-9);

    // The fundamental active power of the three phases is the sum over the sequences.
    const PowerResultsChannel& summary = r.channels[3];
    EXPECT_NEAR(summary.p1, activeSum, powerTolerance * 3.0);
    EXPECT_NEAR(summary.p, activeSum, 6900.0 * 1e-3);
    EXPECT_NEAR(summary.rmsU, (std::abs(u[0]) + std::abs(u[1]) + std::abs(u[2])) / 3.0, 230.0 * 1e-3);
}

// ---- derived channels -----------------------------------------------------------------

TEST_P(GeneralResultsPhysics, DeltaAndThreeWireGridsDeriveTheMissingChannelsSampleBySample) {
    // A star system without zero sequence (so the phase voltages against the
    // artificial star point are the true ones) and currents summing to zero.
    const std::vector<Complex> phase = phasesOf({}, polar(230.0, 15.0), polar(11.5, -60.0));
    const std::vector<Complex> line = {phase[0] - phase[1], phase[1] - phase[2], phase[2] - phase[0]};
    const std::vector<Complex> current = phasesOf({}, polar(10.0, -15.0), polar(0.8, 100.0));

    const struct {
        PowerGridConfigType grid;
        bool delta;
    } grids[] = {{ThreePhaseStarTwoCurrents, false},
                 {ThreePhaseDelta, true},
                 {ThreePhaseDeltaTwoCurrents, true},
                 {ThreePhaseDeltaTwoVoltagesTwoCurrents, true}};
    for (const auto& g : grids) {
        SCOPED_TRACE("grid " + std::to_string(static_cast<int>(g.grid)));
        auto module = makeModule(
            [&](PowerModule& m) {
                m.setGridConfigType(g.grid);
                m.setWaveformsEnabled(true);
                m.setLineToLineResultsEnabled(true);
            },
            5000);
        // The window wraps around the ring end (ring positions 4000..4999, 0..999).
        const Window window{6000 + 3000, 2000, kF};
        const PowerResultsGeneral r =
            run(*module, threePhase(g.delta ? line : phase, current), {{0, 2000, kF}, window}).back();
        const uint64_t ring = module->getBufferLength();
        const double tolerance = 2e-4 * kSqrt2 * 400.0;
        double worstPhase = 0.0;
        double worstLine = 0.0;
        double worstCurrent = 0.0;
        for (uint64_t index = window.first; index < window.first + 2000; ++index) {
            const double t = static_cast<double>(index) / kRate;
            for (uint8_t c = 0; c < 3; ++c) {
                worstPhase = std::max(
                    worstPhase, std::abs(module->getWaveformBufferUStar(c)[index % ring] - sine(phase[c], kW, t)));
                worstLine = std::max(worstLine,
                                     std::abs(module->getWaveformBufferUDelta(c)[index % ring] - sine(line[c], kW, t)));
            }
            worstCurrent =
                std::max(worstCurrent, std::abs(module->getWaveformBufferI(2)[index % ring] - sine(current[2], kW, t)));
        }
        EXPECT_LT(worstPhase, tolerance) << "phase voltages";
        EXPECT_LT(worstLine, tolerance) << "line-to-line voltages";
        EXPECT_LT(worstCurrent, 2e-4 * kSqrt2 * 12.0) << "third current";
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(r.channels[c].rmsU, std::abs(phase[c]), 230.0 * 1e-3) << "phase " << c;
            EXPECT_NEAR(r.channels[c].h1U, std::abs(phase[c]), 230.0 * 1e-3) << "phase " << c;
            EXPECT_NEAR(r.channels[c].rmsUL, std::abs(line[c]), 400.0 * 1e-3) << "pair " << c;
            EXPECT_NEAR(r.channels[c].h1UL, std::abs(line[c]), 400.0 * 1e-3) << "pair " << c;
            EXPECT_NEAR(r.channels[c].rmsI, std::abs(current[c]), 10.0 * 1e-3) << "phase " << c;
        }
    }
}

TEST_P(GeneralResultsPhysics, LineToLineResultsOfAnUnbalancedStarSystem) {
    const std::vector<Complex> phase = {polar(230.0, 0.0), polar(220.0, -118.0), polar(240.0, 121.0)};
    const std::vector<Complex> line = {phase[0] - phase[1], phase[1] - phase[2], phase[2] - phase[0]};
    // The system runs at full voltage for the first ring of 20000 samples and
    // at half voltage after it, so the two windows, which occupy the same
    // ring positions, must report line-to-line values a factor 2 apart.
    const SignalFunction signal = [&](char, int channel, double t) {
        return (t < 2.0 ? 1.0 : 0.5) * sine(phase[static_cast<std::size_t>(channel)], kW, t);
    };
    for (const bool waveforms : {false, true}) {
        SCOPED_TRACE(waveforms ? "waveforms kept" : "waveforms not kept");
        auto module = makeModule([waveforms](PowerModule& m) {
            m.setGridConfigType(ThreePhaseStar);
            m.setCurrentEnabled(false);
            m.setLineToLineResultsEnabled(true);
            m.setWaveformsEnabled(waveforms);
            m.setThdEnabled(true);
        });
        const std::vector<PowerResultsGeneral> records = run(*module, signal, {{0, 2000, kF}, {20000, 2000, kF}});
        for (const PowerResultsGeneral& r : records) {
            const double scale = r.firstSampleIndex < 20000 ? 1.0 : 0.5;
            SCOPED_TRACE("window at " + std::to_string(r.firstSampleIndex));
            double mean = 0.0;
            for (int c = 0; c < 3; ++c) {
                SCOPED_TRACE("pair " + std::to_string(c));
                const double rms = scale * std::abs(line[c]);
                mean += rms / 3.0;
                EXPECT_NEAR(r.channels[c].rmsUL, rms, rms * 1e-3);
                EXPECT_NEAR(r.channels[c].meanAbsUL, 2.0 * kSqrt2 / kPi * rms, rms * 1e-3);
                EXPECT_NEAR(r.channels[c].rmsFftUL, rms, rms * 1e-3);
                EXPECT_NEAR(r.channels[c].h1UL, rms, rms * 1e-3);
                ASSERT_NE(r.channels[c].harmonicsUL, nullptr);
                EXPECT_NEAR(r.channels[c].harmonicsUL[1], rms, rms * 1e-3);
                EXPECT_LT(r.channels[c].thdUL.thd, 100.0 * kLeakage / rms);
                EXPECT_NEAR(r.channels[c].thdUL.distortionRms, 0.0, 1.0) << "rmsUL and h1UL agree";
            }
            EXPECT_NEAR(r.channels[3].rmsUL, mean, mean * 1e-3) << "summary: mean over the pairs";
            EXPECT_NEAR(r.channels[3].h1UL, mean, mean * 1e-3);
        }
    }
}

// ---- Clarke and Park -------------------------------------------------------------------

TEST_P(GeneralResultsPhysics, ClarkeAndParkOfABalancedSetFromItsFundamentals) {
    auto module = makeModule([](PowerModule& m) {
        m.setGridConfigType(ThreePhaseStar);
        m.setClarkeTransformEnabled(true);
        m.setParkTransformEnabled(true);
        m.setClarkeOrParkVoltagesEnabled(true);
        m.setClarkeOrParkCurrentsEnabled(true);
    });
    const double lag = 30.0;
    const std::vector<Complex> u = phasesOf({}, polar(230.0, 15.0), {});
    const std::vector<Complex> i = phasesOf({}, polar(10.0, 15.0 - lag), {});
    const PowerResultsGeneral r = run(*module, threePhase(u, i), {{0, 2000, kF}}).front();

    // Relative to phase 1: alpha is phase 1's phasor itself, beta lags it by
    // 90 degrees with the same magnitude, and nothing is left for zero.
    const Complex alphaU(230.0, 0.0);
    const Complex betaU = alphaU * Complex(0.0, -1.0);
    const Complex alphaI = polar(10.0, -lag);
    const Complex betaI = alphaI * Complex(0.0, -1.0);
    EXPECT_NEAR(r.clarkeU[0].x, alphaU.real(), 0.05);
    EXPECT_NEAR(r.clarkeU[0].y, alphaU.imag(), 0.05);
    EXPECT_NEAR(r.clarkeU[1].x, betaU.real(), 0.05);
    EXPECT_NEAR(r.clarkeU[1].y, betaU.imag(), 0.05);
    EXPECT_NEAR(std::hypot(r.clarkeU[2].x, r.clarkeU[2].y), 0.0, 0.05);
    EXPECT_NEAR(r.clarkeI[0].x, alphaI.real(), 0.005);
    EXPECT_NEAR(r.clarkeI[0].y, alphaI.imag(), 0.005);
    EXPECT_NEAR(r.clarkeI[1].x, betaI.real(), 0.005);
    EXPECT_NEAR(r.clarkeI[1].y, betaI.imag(), 0.005);
    EXPECT_NEAR(std::hypot(r.clarkeI[2].x, r.clarkeI[2].y), 0.0, 0.005);

    // In a frame turning with phase 1's voltage (theta = w t + psi), alpha(t)
    // = A sin(theta) and beta(t) = -A cos(theta), so d = cos(theta) alpha +
    // sin(theta) beta = 0 and q = cos(theta) beta - sin(theta) alpha = -A for
    // the voltages; a current lagging by phi gives d = -A_I sin(phi) and
    // q = -A_I cos(phi).
    const double peakU = kSqrt2 * 230.0;
    const double peakI = kSqrt2 * 10.0;
    EXPECT_NEAR(r.parkU[0], 0.0, 0.05);
    EXPECT_NEAR(r.parkU[1], -peakU, 0.05);
    EXPECT_NEAR(r.parkU[2], 0.0, 0.05);
    EXPECT_NEAR(r.parkI[0], -peakI * std::sin(radians(lag)), 0.005);
    EXPECT_NEAR(r.parkI[1], -peakI * std::cos(radians(lag)), 0.005);
    EXPECT_NEAR(r.parkI[2], 0.0, 0.005);
}

TEST_P(GeneralResultsPhysics, ParkFromAMechanicalAngleGivesConstantDAndQ) {
    // Two pole pairs and an offset of 10 degrees: the electrical angle
    // 2 theta_m - 10 degrees runs delta = 30 degrees ahead of phase 1's sine phase.
    const int polePairs = 2;
    const double offset = 10.0;
    const double delta = 30.0;
    const double psi = 15.0;
    const std::vector<Complex> u = phasesOf({}, polar(230.0, psi), {});
    const std::function<double(double)> angle = [&](double t) {
        const double electrical = kW * t + radians(psi + delta) + radians(offset);
        return std::fmod(electrical / polePairs, kTwoPi);
    };
    auto module = makeModule([&](PowerModule& m) {
        m.setGridConfigType(ThreePhaseStar);
        m.setCurrentEnabled(false);
        m.setParkTransformEnabled(true);
        m.setClarkeOrParkVoltagesEnabled(true);
        m.setClarkeOrParkWaveformsEnabled(true);
        m.setMechanicalAngleUsed(true);
        m.setPolePairs(polePairs);
        m.setMechAngleOffset(offset);
    });
    const Window window{0, 2000, kF};
    const PowerResultsGeneral r = run(*module, threePhase(u, {}, angle), {window}).front();

    // With theta = phi + delta (phi the sine phase of phase 1):
    // d = A sin(phi - theta) = -A sin(delta), q = -A cos(phi - theta) = -A cos(delta).
    const double peakU = kSqrt2 * 230.0;
    const double d = -peakU * std::sin(radians(delta));
    const double q = -peakU * std::cos(radians(delta));
    EXPECT_NEAR(r.parkU[0], d, peakU * 1e-4);
    EXPECT_NEAR(r.parkU[1], q, peakU * 1e-4);
    EXPECT_EQ(r.parkU[2], 0.0);

    const float* dWave = module->getWaveformBufferParkU(0);
    const float* qWave = module->getWaveformBufferParkU(1);
    ASSERT_NE(dWave, nullptr);
    ASSERT_NE(qWave, nullptr);
    double worst = 0.0;
    for (int k = 0; k < window.length; ++k) {
        worst = std::max({worst, std::abs(dWave[k] - d), std::abs(qWave[k] - q)});
    }
    EXPECT_LT(worst, peakU * 1e-4) << "d and q are constant sample by sample";
}

// ---- interharmonics --------------------------------------------------------------------

TEST_P(GeneralResultsPhysics, AToneBetweenHarmonicOrdersLandsInTheirInterharmonicGroup) {
    // 30-period windows (6000 samples, FFT length 8192): the main lobe of a
    // tone (+-5 Hz) fits between the harmonic groups (+-15 Hz around each order).
    auto module = makeModule(
        [](PowerModule& m) {
            m.setPeriodCount(30);
            m.setCurrentEnabled(false);
            m.setInterHarmonicsEnabled(true);
            m.setThdEnabled(true);
            m.setHighestRequestedHarmonic(10);
        },
        20000);
    const SignalFunction signal = [](char, int, double t) {
        return kSqrt2 * 230.0 * std::sin(kW * t) + kSqrt2 * 10.0 * std::sin(kTwoPi * 175.0 * t + 0.3);
    };
    const PowerResultsGeneral r = run(*module, signal, {{0, 6000, kF}}).front();
    const PowerResultsChannel& c = r.channels[0];
    ASSERT_NE(c.interharmonicsU, nullptr);
    EXPECT_NEAR(c.interharmonicsU[3], 10.0, 10.0 * 1e-3) << "175 Hz lies between orders 3 and 4";
    for (const int group : {0, 1, 2, 4, 5}) {
        EXPECT_LT(c.interharmonicsU[group], kLeakage) << "group " << group;
    }
    EXPECT_NEAR(c.harmonicsU[1], 230.0, 230.0 * 1e-3);
    EXPECT_LT(c.harmonicsU[3], kLeakage);
    EXPECT_LT(c.harmonicsU[4], kLeakage);
    EXPECT_LT(c.thdU.thd, 100.0 * kLeakage / 230.0) << "an interharmonic is no harmonic";
    EXPECT_NEAR(c.thdInterU.thd, 100.0 * 10.0 / 230.0, 0.01);
    EXPECT_NEAR(c.rmsU, std::sqrt(230.0 * 230.0 + 100.0), 0.1);
}

// ---- variable frequency ----------------------------------------------------------------

TEST_P(GeneralResultsPhysics, VariableFrequencyWindowsUseTheFftLengthOfTheirOwnFrequency) {
    auto module = std::make_unique<PowerModule>(GetParam());
    module->beginUpdate();
    module->setSampleRate(kRate, 1);
    module->setBufferLength(20000);
    module->setVariableFrequency(10.0, 1000.0);  // FFT lengths 128 .. 16384
    module->setHighestRequestedHarmonic(5);
    module->endUpdate();
    module->reset(0);
    if (onCpu()) {
        dynamic_cast<powergpu::CpuRuntime&>(module->implementation()->runtime()).setCallLogging(true);
    }

    // 10 periods at 47.3 Hz (FFT 4096), then 10 periods at 52.1 Hz (FFT 2048).
    const int first = 2114;
    const int second = 1919;
    const SignalFunction signal = [&](char kind, int, double t) {
        if (kind != 'U') {
            return 0.0;
        }
        const double frequency = t < first / kRate ? 47.3 : 52.1;
        return kSqrt2 * 230.0 * std::sin(kTwoPi * frequency * t);
    };
    const std::vector<PowerResultsGeneral> records =
        run(*module, signal, {{0, first, 47.3}, {static_cast<uint64_t>(first), second, 52.1}});
    const struct {
        double frequency;
        uint32_t fftLength;
    } expected[] = {{47.3, 4096}, {52.1, 2048}};
    for (int k = 0; k < 2; ++k) {
        SCOPED_TRACE(std::to_string(expected[k].frequency) + " Hz");
        const PowerResultsGeneral& r = records[static_cast<std::size_t>(k)];
        EXPECT_DOUBLE_EQ(r.frequency, expected[k].frequency);
        EXPECT_DOUBLE_EQ(r.dFrequency, kRate / expected[k].fftLength);
        EXPECT_EQ(r.fftOutputLength, expected[k].fftLength / 2 + 1);
        EXPECT_NEAR(r.channels[0].h1U, 230.0, 230.0 * 1e-3);
        EXPECT_NEAR(r.channels[0].rmsFftU, 230.0, 230.0 * 1e-3);
        EXPECT_NEAR(r.channels[0].rmsU, 230.0, 230.0 * 1e-3);
        EXPECT_LT(r.channels[0].harmonicsU[2], kLeakage);
        EXPECT_LT(r.channels[0].harmonicsU[5], kLeakage);
    }
    if (onCpu()) {
        // The transforms ran on the plans of exactly those lengths.
        const auto& runtime = dynamic_cast<powergpu::CpuRuntime&>(module->implementation()->runtime());
        const powergpu::FftPlanSet& plans = module->implementation()->getFftPlans();
        std::vector<int> lengths;
        for (const powergpu::LoggedCall& call : runtime.callLog()) {
            if (call.call != powergpu::RuntimeCall::FftExecR2C) {
                continue;
            }
            for (std::size_t k = 0; k < plans.size(); ++k) {
                if (plans[k] == call.plan) {
                    lengths.push_back(plans.lengthAt(k));
                }
            }
        }
        EXPECT_EQ(lengths, (std::vector<int>{4096, 2048}));
    }
}

// ---- the ring end ----------------------------------------------------------------------

namespace {

// Compares two records field by field, except the header fields that name
// the window's place (time, first sample) and the pointers (which point to
// different ring positions); the arrays behind the pointers are compared
// element by element. Exact when `relative` is 0.
void expectSameResults(const PowerResultsGeneral& a, const PowerResultsGeneral& b, double relative) {
    const auto same = [relative](double x, double y, const std::string& what) {
        if (relative == 0.0) {
            EXPECT_EQ(x, y) << what;
        } else {
            EXPECT_NEAR(x, y, relative * std::max(std::abs(x), std::abs(y)) + 1e-300) << what;
        }
    };
    EXPECT_EQ(a.frequency, b.frequency);
    EXPECT_EQ(a.dFrequency, b.dFrequency);
    EXPECT_EQ(a.length, b.length);
    EXPECT_EQ(a.fftOutputLength, b.fftOutputLength);
    EXPECT_EQ(a.harmonicLength, b.harmonicLength);
    EXPECT_EQ(a.phasesCount, b.phasesCount);
    // The first 82 eight-byte fields of a channel block are doubles, the rest pointers.
    static_assert(offsetof(PowerResultsChannel, fftU) == 82 * sizeof(double), "channel layout");
    for (int c = 0; c < 4; ++c) {
        double x[82];
        double y[82];
        std::memcpy(x, &a.channels[c], sizeof x);
        std::memcpy(y, &b.channels[c], sizeof y);
        for (int f = 0; f < 82; ++f) {
            same(x[f], y[f], "channel " + std::to_string(c) + " field " + std::to_string(f));
        }
        const auto sameRow = [&](const float* p, const float* q, const char* what) {
            ASSERT_EQ(p == nullptr, q == nullptr) << what;
            for (uint32_t h = 0; p != nullptr && h < a.harmonicLength; ++h) {
                EXPECT_EQ(p[h], q[h]) << what << " order " << h << " channel " << c;
            }
        };
        const PowerResultsChannel& p = a.channels[c];
        const PowerResultsChannel& q = b.channels[c];
        sameRow(p.harmonicsU, q.harmonicsU, "harmonicsU");
        sameRow(p.harmonicsI, q.harmonicsI, "harmonicsI");
        sameRow(p.harmonicsUL, q.harmonicsUL, "harmonicsUL");
        sameRow(p.interharmonicsU, q.interharmonicsU, "interharmonicsU");
        sameRow(p.interharmonicsI, q.interharmonicsI, "interharmonicsI");
        sameRow(p.harmonicsP, q.harmonicsP, "harmonicsP");
        sameRow(p.harmonicsQ, q.harmonicsQ, "harmonicsQ");
        sameRow(p.harmonicsS, q.harmonicsS, "harmonicsS");
        sameRow(p.harmonicsZ, q.harmonicsZ, "harmonicsZ");
        sameRow(p.phasesU, q.phasesU, "phasesU");
        sameRow(p.phasesI, q.phasesI, "phasesI");
    }
    constexpr std::size_t threePhaseBytes =
        sizeof(PowerResultsGeneral) - offsetof(PowerResultsGeneral, symmetricalResults);
    static_assert(threePhaseBytes % sizeof(double) == 0, "three-phase part is doubles");
    double x[threePhaseBytes / sizeof(double)];
    double y[threePhaseBytes / sizeof(double)];
    std::memcpy(x, &a.symmetricalResults, sizeof x);
    std::memcpy(y, &b.symmetricalResults, sizeof y);
    for (std::size_t f = 0; f < threePhaseBytes / sizeof(double); ++f) {
        same(x[f], y[f], "three-phase field " + std::to_string(f));
    }
}

}  // namespace

TEST_P(GeneralResultsPhysics, AWindowAcrossTheRingEndGivesTheSameRecordAsTheSameSamplesInOnePiece) {
    auto module = makeModule(
        [](PowerModule& m) {
            m.setGridConfigType(ThreePhaseStar);
            m.setLineToLineResultsEnabled(true);
            m.setWaveformsEnabled(true);
            m.setInterHarmonicsEnabled(true);
            m.setThdEnabled(true);
            m.setHighestRequestedHarmonic(20);
            m.setSymmetricalComponentsEnabled(true);
            m.setClarkeTransformEnabled(true);
            m.setParkTransformEnabled(true);
            m.setClarkeOrParkVoltagesEnabled(true);
            m.setClarkeOrParkCurrentsEnabled(true);
        },
        5000);
    // A distorted, unbalanced signal with a period of exactly 200 samples,
    // computed from the sample index so that both windows see identical samples.
    const SignalFunction signal = [](char kind, int channel, double t) {
        const auto index = static_cast<int64_t>(std::llround(t * kRate));
        const double x = kTwoPi * static_cast<double>(index % 200) / 200.0 - channel * kTwoPi / 3.0;
        const double scale = kind == 'U' ? 230.0 * (1.0 + 0.02 * channel) : 10.0;
        const double shift = kind == 'U' ? 0.0 : -0.4;
        return kSqrt2 * scale * (std::sin(x + shift) + 0.04 * std::sin(5.0 * x) + 0.02 * std::sin(3.0 * x + 1.0));
    };
    // Ring positions 0..1999 in one piece; 4000..4999 and 0..999 across the end.
    const std::vector<PowerResultsGeneral> records = run(*module, signal, {{0, 2000, kF}, {4000, 2000, kF}});
    ASSERT_NE(records[0].channels[0].harmonicsU, records[1].channels[0].harmonicsU);
    EXPECT_NEAR(records[1].channels[0].rmsU, 230.0 * std::sqrt(1.0 + 0.0016 + 0.0004), 0.1);
    expectSameResults(records[0], records[1], onCpu() ? 0.0 : 1e-12);
}

// ---- spectra -------------------------------------------------------------------------

TEST_P(GeneralResultsPhysics, FullSpectraAreThoseOfTheWindowedChannels) {
    const std::vector<Complex> u = phasesOf({}, polar(230.0, 0.0), {});
    const std::vector<Complex> i = phasesOf({}, polar(10.0, -30.0), {});
    for (const bool full : {true, false}) {
        SCOPED_TRACE(full ? "full spectra kept" : "full spectra not kept");
        auto module = makeModule([full](PowerModule& m) {
            m.setGridConfigType(ThreePhaseStar);
            m.setLineToLineResultsEnabled(true);
            m.setFullFftEnabled(full);
        });
        const PowerResultsGeneral r = run(*module, threePhase(u, i), {{0, 2000, kF}}).front();
        if (!full) {
            for (int c = 0; c < 3; ++c) {
                EXPECT_EQ(r.channels[c].fftU, nullptr);
                EXPECT_EQ(r.channels[c].fftI, nullptr);
                EXPECT_EQ(r.channels[c].fftUL, nullptr);
            }
            continue;
        }
        const uint32_t bins = r.fftOutputLength;
        ASSERT_EQ(bins, 2049u);
        for (int c = 0; c < 3; ++c) {
            SCOPED_TRACE("phase " + std::to_string(c));
            const PowerFloat2* spectrumU = r.channels[c].fftU;
            const PowerFloat2* spectrumI = r.channels[c].fftI;
            const PowerFloat2* spectrumUL = r.channels[c].fftUL;
            ASSERT_NE(spectrumU, nullptr);
            ASSERT_NE(spectrumI, nullptr);
            ASSERT_NE(spectrumUL, nullptr);
            // One-sided Parseval with half weight on the end bins: the mean square.
            double energyU = 0.0;
            double energyUL = 0.0;
            uint32_t peakBin = 0;
            for (uint32_t k = 0; k < bins; ++k) {
                const double weight = k == 0 || k + 1 == bins ? 0.5 : 1.0;
                const double magnitude = std::hypot(spectrumU[k].x, spectrumU[k].y);
                energyU += weight * magnitude * magnitude;
                energyUL +=
                    weight * (spectrumUL[k].x * double(spectrumUL[k].x) + spectrumUL[k].y * double(spectrumUL[k].y));
                if (magnitude > std::hypot(spectrumU[peakBin].x, spectrumU[peakBin].y)) {
                    peakBin = k;
                }
            }
            EXPECT_NEAR(std::sqrt(energyU), 230.0, 230.0 * 1e-3);
            EXPECT_NEAR(std::sqrt(energyUL), 230.0 * kSqrt3, 400.0 * 1e-3);
            EXPECT_EQ(peakBin, 20u) << "50 Hz lies at bin 20.48";
            // Same frequency, same window: bins of two channels relate as their phasors.
            const Complex binU(spectrumU[peakBin].x, spectrumU[peakBin].y);
            const Complex binI(spectrumI[peakBin].x, spectrumI[peakBin].y);
            const Complex binUL(spectrumUL[peakBin].x, spectrumUL[peakBin].y);
            const Complex binU1(r.channels[0].fftU[peakBin].x, r.channels[0].fftU[peakBin].y);
            EXPECT_NEAR(std::abs(binI / binU), 10.0 / 230.0, 1e-5);
            EXPECT_LT(angleDistance(degrees(std::arg(binI / binU)), -30.0), 1e-3);
            EXPECT_LT(angleDistance(degrees(std::arg(binU / binU1)), -120.0 * c), 1e-3);
            EXPECT_LT(angleDistance(degrees(std::arg(binUL / binU)), 30.0), 1e-3) << "U12 leads U1 by 30 degrees";
        }
    }
}

POWERGPU_INSTANTIATE_FOR_BACKENDS(GeneralResultsPhysics);
