// Whole windows on every backend against circuit theory. A signal sqrt(2) rms
// sin(w t + psi) has the phasor rms e^(j psi); angles are reported relative to
// the first voltage's fundamental. Single-precision FFTs of Blackman-windowed
// samples: 1e-3 relative near full scale; kLeakage bounds "nothing".
#include <cstddef>
#include <cstring>
#include <tuple>

#include "post/PowerSymmetricalComponents.h"
#include "support/TestSupport.h"

namespace {

using namespace powergpu::test;

constexpr double kRate = 10000.0;
constexpr double kF = 50.0;
constexpr double kW = kTwoPi * kF;
// What the Blackman window leaks of a 230 V fundamental into other groups (up to 0.06 V).
constexpr double kLeakage = 0.1;

struct Window {
    uint64_t first;
    int length;
    double frequency;
};

class GeneralResultsPhysics : public BackendTest {
protected:
    // 10 kHz, static 50 Hz +-10 %: FFT length 4096 for 10-period windows of 2000 samples.
    std::unique_ptr<PowerModule> makeModule(const std::function<void(PowerModule&)>& configure,
                                            uint64_t bufferLength = 20000) {
        auto module = std::make_unique<PowerModule>(GetParam());
        powergpu::test::configure(*module, kRate, bufferLength, configure);
        return module;
    }
    // Writes up to each window's end, schedules it and waits; the records in schedule order.
    std::vector<PowerResultsGeneral> run(PowerModule& module, const SignalFunction& signal,
                                         const std::vector<Window>& windows) {
        ModuleFeeder feeder(module, signal);
        for (const Window& window : windows) {
            feeder.writeUpTo(window.first + static_cast<uint64_t>(window.length));
            module.scheduleForCalculation(window.first, window.length, window.frequency);
            module.sync();  // later samples may reuse the ring positions this window reads
        }
        std::vector<PowerResultsGeneral> records = module.getResults(0);
        EXPECT_EQ(records.size(), windows.size());
        records.resize(windows.size());
        return records;
    }
    bool onCpu() const { return GetParam() == POWER_BACKEND_CPU; }
};

// Channels from per-channel phasors of the measured voltages and currents at 50 Hz.
SignalFunction phasors(const std::vector<Complex>& u, const std::vector<Complex>& i,
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

TEST_P(GeneralResultsPhysics, PureSineGivesItsRmsRectifiedMeanAndFundamentalWithoutDistortion) {
    auto module = makeModule([](PowerModule& m) {
        m.setCurrentEnabled(false);
        m.setThdEnabled(true);
    });
    for (const PowerResultsGeneral& r :
         run(*module, phasors({polar(230.0, 37.0)}, {}), {{0, 2000, kF}, {3000, 2000, kF}})) {
        SCOPED_TRACE("window at " + std::to_string(r.firstSampleIndex));
        EXPECT_DOUBLE_EQ(r.time, static_cast<double>(r.firstSampleIndex + 2000) / kRate);
        EXPECT_DOUBLE_EQ(r.dFrequency, kRate / 4096.0);
        EXPECT_TRUE(r.length == 2000 && r.frequency == kF && r.fftOutputLength == 2049 && r.phasesCount == 1);
        EXPECT_EQ(r.harmonicLength, 41u) << "orders 0..40 for THD";
        const PowerResultsChannel& c = r.channels[0];
        EXPECT_NEAR(c.rmsU, 230.0, 230.0 * 1e-3);
        EXPECT_NEAR(c.rmsFftU, 230.0, 230.0 * 1e-3);
        EXPECT_NEAR(c.h1U, 230.0, 230.0 * 1e-3);
        EXPECT_NEAR(c.meanAbsU, 2.0 * kSqrt2 / kPi * 230.0, 230.0 * 1e-3) << "2 sqrt(2) / pi of the rms";
        ASSERT_NE(c.harmonicsU, nullptr);
        EXPECT_FLOAT_EQ(c.harmonicsU[1], static_cast<float>(c.h1U));
        EXPECT_NEAR(c.harmonicsU[0], 0.0, kLeakage) << "no DC";
        EXPECT_LT(c.thdU.thd, 100.0 * kLeakage / 230.0);
        EXPECT_LT(c.thdU.harmonicRms, kLeakage);
        EXPECT_TRUE(c.rmsI == 0.0 && c.p == 0.0 && c.harmonicsI == nullptr) << "no currents";
        EXPECT_TRUE(r.channels[1].rmsU == 0.0 && r.channels[1].harmonicsU == nullptr) << "no summary of one phase";
    }
}

TEST_P(GeneralResultsPhysics, HarmonicMagnitudesPhasesAndThdOfAKnownWaveform) {
    auto module = makeModule([](PowerModule& m) {
        m.setCurrentEnabled(false);
        m.setThdEnabled(true);
        m.setHighestRequestedHarmonic(40);
    });
    // 230 V at 20 degrees with 5 % of order 5 at 70 and 3 % of order 7 at -25 degrees.
    const SignalFunction signal = [](char, int, double t) {
        return kSqrt2 * 230.0 *
               (std::sin(kW * t + radians(20.0)) + 0.05 * std::sin(5.0 * kW * t + radians(70.0)) +
                0.03 * std::sin(7.0 * kW * t + radians(-25.0)));
    };
    // The second window starts 3037 samples later: relative phases must not move.
    for (const PowerResultsGeneral& r : run(*module, signal, {{0, 2000, kF}, {3037, 2000, kF}})) {
        SCOPED_TRACE("window at " + std::to_string(r.firstSampleIndex));
        const PowerResultsChannel& c = r.channels[0];
        ASSERT_TRUE(c.harmonicsU != nullptr && c.phasesU != nullptr);
        EXPECT_NEAR(c.harmonicsU[1], 230.0, 230.0 * 1e-3);
        EXPECT_NEAR(c.harmonicsU[5], 11.5, 11.5 * 1e-3);
        EXPECT_NEAR(c.harmonicsU[7], 6.9, 6.9 * 1e-3);
        for (const int absent : {2, 3, 4, 6, 8, 9, 11, 13, 40}) {
            EXPECT_LT(c.harmonicsU[absent], kLeakage) << "order " << absent;
        }
        // A sine sqrt(2) A sin(h w t + psi_h) on its centre bin has the spectral
        // angle -psi_h; order h is reported relative to h times the fundamental's
        // angle: h psi_1 - psi_h, and order 1 of the reference channel is 0.
        EXPECT_LT(angleDistance(c.phasesU[1], 0.0), 1e-3);
        EXPECT_LT(angleDistance(c.phasesU[5], wrapDegrees(5.0 * 20.0 - 70.0)), 0.01) << c.phasesU[5];
        EXPECT_LT(angleDistance(c.phasesU[7], wrapDegrees(7.0 * 20.0 + 25.0)), 0.01) << c.phasesU[7];
        const double thd = 100.0 * std::sqrt(0.05 * 0.05 + 0.03 * 0.03);  // 5.831 %, odd, not triplen
        for (const double odd : {c.thdU.thd, c.thdU.thdOdd, c.thdU.thdOddNonTriplen}) {
            EXPECT_NEAR(odd, thd, thd * 1e-3);
        }
        EXPECT_LT(c.thdU.thdEven, 100.0 * kLeakage / 230.0);
        EXPECT_LT(c.thdU.thdOddTriplen, 100.0 * kLeakage / 230.0);
        const double harmonicRms = 230.0 * thd / 100.0;
        const double rms = std::hypot(230.0, harmonicRms);
        EXPECT_NEAR(c.rmsU, rms, rms * 1e-3);
        EXPECT_NEAR(c.thdU.harmonicRms, harmonicRms, harmonicRms * 1e-3);
        EXPECT_NEAR(c.thdU.thdRms, 100.0 * harmonicRms / rms, 1e-2);
        EXPECT_NEAR(c.thdU.distortion, thd, thd * 1e-2);
    }
}

TEST_P(GeneralResultsPhysics, PowerOfACurrentShiftedAgainstItsVoltage) {
    for (const double lag : {30.0, -45.0}) {  // inductive (Q > 0), capacitive (Q < 0)
        SCOPED_TRACE("current lagging by " + std::to_string(lag) + " degrees");
        auto module = makeModule(nullptr);
        const PowerResultsChannel c =
            run(*module, phasors({polar(230.0, 10.0)}, {polar(10.0, 10.0 - lag)}), {{0, 2000, kF}})[0].channels[0];
        const double s = 2300.0;
        const double p = s * std::cos(radians(lag));
        const double q = s * std::sin(radians(lag));
        const double tolerance = s * 1e-3;
        EXPECT_NEAR(c.rmsI, 10.0, 1e-2);
        EXPECT_NEAR(c.h1I, 10.0, 1e-2);
        for (const double active : {c.p, c.pFft, c.p1, static_cast<double>(c.harmonicsP[1])}) {
            EXPECT_NEAR(active, p, tolerance);
        }
        for (const double reactive : {c.q, c.q1, static_cast<double>(c.harmonicsQ[1])}) {
            EXPECT_NEAR(reactive, q, tolerance);
        }
        EXPECT_NEAR(c.s, s, tolerance);
        EXPECT_NEAR(c.s1, s, tolerance);
        EXPECT_NEAR(c.nonActivePower, std::abs(q), tolerance);
        EXPECT_NEAR(c.lambda, std::cos(radians(lag)), 1e-3);
        EXPECT_NEAR(c.cosPhi1, std::cos(radians(lag)), 1e-3);
        EXPECT_NEAR(c.z, 23.0, 23.0 * 1e-3);
        EXPECT_NEAR(c.z1, 23.0, 23.0 * 1e-3);
        EXPECT_NEAR(c.harmonicsZ[1], 23.0, 23.0 * 1e-3);
        EXPECT_LT(c.d, 1e-3 * s) << "no distortion power of pure sines";
        EXPECT_LT(angleDistance(c.phasesI[1], lag), 0.01) << "current angle relative to the voltage";
    }
}

TEST_P(GeneralResultsPhysics, UnbalancedSetDecomposesIntoTheSequencesItWasBuiltFrom) {
    auto module = makeModule([](PowerModule& m) {
        m.setGridConfigType(ThreePhaseStar);
        m.setSymmetricalComponentsEnabled(true);
    });
    const Complex voltages[3] = {polar(4.6, -70.0), polar(230.0, 0.0), polar(11.5, 40.0)};  // 2 % and 5 %
    const Complex currents[3] = {polar(0.2, 50.0), polar(10.0, -30.0), polar(0.5, 10.0)};
    const std::vector<Complex> u = phasesOf(voltages[0], voltages[1], voltages[2]);
    const std::vector<Complex> i = phasesOf(currents[0], currents[1], currents[2]);
    const PowerResultsGeneral r = run(*module, phasors(u, i), {{0, 2000, kF}})[0];
    const Complex turn = std::polar(1.0, -std::arg(u[0]));  // relative to phase 1's fundamental
    double activeSum = 0.0;
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE("sequence " + std::to_string(k));
        const PowerResultsSymmetricalComponent& s = r.symmetricalResults[k];
        const Complex v = voltages[k] * turn;
        const Complex c = currents[k] * turn;
        const Complex power = 3.0 * v * std::conj(c);
        EXPECT_NEAR(std::abs(Complex(s.u.x, s.u.y) - v), 0.0, 230.0 * 2e-4);
        EXPECT_NEAR(std::abs(Complex(s.i.x, s.i.y) - c), 0.0, 10.0 * 2e-4);
        EXPECT_NEAR(s.uMagnitude, std::abs(v), 230.0 * 2e-4);
        EXPECT_NEAR(s.uLMagnitude, kSqrt3 * std::abs(v), kSqrt3 * 230.0 * 2e-4);
        EXPECT_NEAR(s.iMagnitude, std::abs(c), 10.0 * 2e-4);
        EXPECT_NEAR(s.p, power.real(), 6900.0 * 2e-4);
        EXPECT_NEAR(s.q, power.imag(), 6900.0 * 2e-4);
        EXPECT_NEAR(s.s, std::abs(power), 6900.0 * 2e-4);
        EXPECT_NEAR(s.rmsU, std::abs(v), 230.0 * 1e-3) << "the whole energy of the sequence";
        EXPECT_NEAR(s.uRatio, 100.0 * std::abs(v) / 230.0, 0.01);
        EXPECT_NEAR(s.iRatio, 100.0 * std::abs(c) / 10.0, 0.01);
        EXPECT_NEAR(s.rmsURatio, 100.0 * std::abs(v) / 230.0, 0.02);
        activeSum += s.p;
    }
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(r.channels[c].rmsU, std::abs(u[c]), 230.0 * 1e-3) << "phase " << c;
    }
    EXPECT_NEAR(r.channels[3].p1, activeSum, 6900.0 * 6e-4) << "the phases' power is the sequences' power";
    EXPECT_NEAR(r.channels[3].rmsU, (std::abs(u[0]) + std::abs(u[1]) + std::abs(u[2])) / 3.0, 230.0 * 1e-3);
}

TEST_P(GeneralResultsPhysics, DeltaAndThreeWireGridsDeriveTheMissingChannelsSampleBySample) {
    // No zero sequence (the phase voltages against the artificial star point
    // are the true ones) and currents summing to zero.
    const std::vector<Complex> phase = phasesOf({}, polar(230.0, 15.0), polar(11.5, -60.0));
    const std::vector<Complex> line = {phase[0] - phase[1], phase[1] - phase[2], phase[2] - phase[0]};
    const std::vector<Complex> current = phasesOf({}, polar(10.0, -15.0), polar(0.8, 100.0));
    for (const PowerGridConfigType grid : {ThreePhaseStarTwoCurrents, ThreePhaseDelta, ThreePhaseDeltaTwoCurrents,
                                           ThreePhaseDeltaTwoVoltagesTwoCurrents}) {
        SCOPED_TRACE("grid " + std::to_string(static_cast<int>(grid)));
        auto module = makeModule(
            [&](PowerModule& m) {
                m.setGridConfigType(grid);
                m.setWaveformsEnabled(true);
                m.setLineToLineResultsEnabled(true);
            },
            5000);
        // The second window wraps the ring end (ring positions 4000..4999, 0..999).
        const bool delta = grid != ThreePhaseStarTwoCurrents;
        const PowerResultsGeneral r =
            run(*module, phasors(delta ? line : phase, current), {{0, 2000, kF}, {9000, 2000, kF}})[1];
        double worstPhase = 0.0, worstLine = 0.0, worstCurrent = 0.0;
        for (uint64_t index = 9000; index < 11000; ++index) {
            const double t = static_cast<double>(index) / kRate;
            for (uint8_t c = 0; c < 3; ++c) {
                worstPhase = std::max(
                    worstPhase, std::abs(module->getWaveformBufferUStar(c)[index % 5000] - sine(phase[c], kW, t)));
                worstLine = std::max(worstLine,
                                     std::abs(module->getWaveformBufferUDelta(c)[index % 5000] - sine(line[c], kW, t)));
            }
            worstCurrent =
                std::max(worstCurrent, std::abs(module->getWaveformBufferI(2)[index % 5000] - sine(current[2], kW, t)));
        }
        EXPECT_LT(worstPhase, 2e-4 * kSqrt2 * 400.0) << "phase voltages";
        EXPECT_LT(worstLine, 2e-4 * kSqrt2 * 400.0) << "line-to-line voltages";
        EXPECT_LT(worstCurrent, 2e-4 * kSqrt2 * 12.0) << "third current";
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(r.channels[c].h1U, std::abs(phase[c]), 230.0 * 1e-3) << "phase " << c;
            EXPECT_NEAR(r.channels[c].rmsUL, std::abs(line[c]), 400.0 * 1e-3) << "pair " << c;
            EXPECT_NEAR(r.channels[c].rmsI, std::abs(current[c]), 10.0 * 1e-3) << "phase " << c;
        }
    }
}

TEST_P(GeneralResultsPhysics, LineToLineResultsOfAnUnbalancedStarSystemFollowTheRing) {
    const std::vector<Complex> phase = {polar(230.0, 0.0), polar(220.0, -118.0), polar(240.0, 121.0)};
    const std::vector<Complex> line = {phase[0] - phase[1], phase[1] - phase[2], phase[2] - phase[0]};
    // Full voltage for the first ring of 20000 samples, half after it: the two
    // windows occupy the same ring positions and must differ by a factor 2.
    const SignalFunction signal = [&](char, int channel, double t) {
        return (t < 2.0 ? 1.0 : 0.5) * sine(phase[static_cast<std::size_t>(channel)], kW, t);
    };
    auto module = makeModule([](PowerModule& m) {
        m.setGridConfigType(ThreePhaseStar);
        m.setCurrentEnabled(false);
        enable(m, {&PowerModule::setLineToLineResultsEnabled, &PowerModule::setThdEnabled});
    });
    for (const PowerResultsGeneral& r : run(*module, signal, {{0, 2000, kF}, {20000, 2000, kF}})) {
        const double scale = r.firstSampleIndex < 20000 ? 1.0 : 0.5;
        double mean = 0.0;
        for (int c = 0; c < 3; ++c) {
            SCOPED_TRACE("pair " + std::to_string(c));
            const double rms = scale * std::abs(line[c]);
            mean += rms / 3.0;
            EXPECT_NEAR(r.channels[c].rmsUL, rms, rms * 1e-3);
            EXPECT_NEAR(r.channels[c].meanAbsUL, 2.0 * kSqrt2 / kPi * rms, rms * 1e-3);
            EXPECT_NEAR(r.channels[c].rmsFftUL, rms, rms * 1e-3);
            EXPECT_NEAR(r.channels[c].h1UL, rms, rms * 1e-3);
            EXPECT_NEAR(r.channels[c].harmonicsUL[1], rms, rms * 1e-3);
            EXPECT_LT(r.channels[c].thdUL.thd, 100.0 * kLeakage / rms);
        }
        EXPECT_NEAR(r.channels[3].rmsUL, mean, mean * 1e-3) << "summary: mean over the pairs";
    }
}

// A two-phase grid has one line-to-line voltage, U12, while its spectral
// sums run over two phase rows: the second phase must neither read a second
// line-to-line spectrum row (there is none; without full spectra the one row
// ends the buffer) nor report line-to-line values.
TEST_P(GeneralResultsPhysics, TwoPhaseGridReportsItsOneLineToLineVoltageOnTheFirstPhaseOnly) {
    const std::vector<Complex> phase = {polar(230.0, 0.0), polar(210.0, -90.0)};
    const double u12 = std::abs(phase[0] - phase[1]);  // sqrt(230^2 + 210^2) = 311.45 V
    auto module = makeModule([](PowerModule& m) {
        m.setGridConfigType(TwoPhase);
        m.setFullFftEnabled(false);
        m.setLineToLineResultsEnabled(true);
    });
    const PowerResultsGeneral r =
        run(*module, phasors(phase, {polar(5.0, -30.0), polar(4.0, -120.0)}), {{0, 2000, kF}}).at(0);
    EXPECT_NEAR(r.channels[0].rmsUL, u12, u12 * 1e-3);
    EXPECT_NEAR(r.channels[0].rmsFftUL, u12, u12 * 1e-3);
    EXPECT_NEAR(r.channels[0].h1UL, u12, u12 * 1e-3);
    const PowerResultsChannel& second = r.channels[1];
    EXPECT_EQ(second.rmsUL, 0.0);
    EXPECT_EQ(second.meanAbsUL, 0.0);
    EXPECT_EQ(second.rmsFftUL, 0.0) << "no second line-to-line spectrum row is read";
    EXPECT_EQ(second.h1UL, 0.0);
    EXPECT_NEAR(second.rmsFftU, 210.0, 210.0 * 1e-3) << "the phase's own sums are whole";
    EXPECT_NEAR(second.rmsFftI, 4.0, 4.0 * 1e-3);
}

TEST_P(GeneralResultsPhysics, ClarkeAndParkOfABalancedSetFromItsFundamentals) {
    auto module = makeModule([](PowerModule& m) {
        m.setGridConfigType(ThreePhaseStar);
        enable(m, {&PowerModule::setClarkeTransformEnabled, &PowerModule::setParkTransformEnabled,
                   &PowerModule::setClarkeOrParkVoltagesEnabled, &PowerModule::setClarkeOrParkCurrentsEnabled});
    });
    const double lag = 30.0;
    const PowerResultsGeneral r =
        run(*module, phasors(phasesOf({}, polar(230.0, 15.0), {}), phasesOf({}, polar(10.0, 15.0 - lag), {})),
            {{0, 2000, kF}})[0];
    // Relative to phase 1: alpha is phase 1's phasor, beta lags it by 90 degrees, zero is empty.
    for (const auto& set : {std::make_tuple(r.clarkeU, Complex(230.0, 0.0), 0.05),
                            std::make_tuple(r.clarkeI, polar(10.0, -lag), 0.005)}) {
        const PowerDouble2* clarke = std::get<0>(set);
        const Complex alpha = std::get<1>(set);
        EXPECT_NEAR(std::abs(Complex(clarke[0].x, clarke[0].y) - alpha), 0.0, std::get<2>(set));
        EXPECT_NEAR(std::abs(Complex(clarke[1].x, clarke[1].y) - alpha * Complex(0.0, -1.0)), 0.0, std::get<2>(set));
        EXPECT_NEAR(std::abs(Complex(clarke[2].x, clarke[2].y)), 0.0, std::get<2>(set));
    }
    // In the frame turning with phase 1's voltage: d = 0 and q = -A for the
    // voltages; a current lagging by phi gives d = -A sin(phi), q = -A cos(phi).
    EXPECT_NEAR(r.parkU[0], 0.0, 0.05);
    EXPECT_NEAR(r.parkU[1], -kSqrt2 * 230.0, 0.05);
    EXPECT_NEAR(r.parkU[2], 0.0, 0.05);
    EXPECT_NEAR(r.parkI[0], -kSqrt2 * 10.0 * std::sin(radians(lag)), 0.005);
    EXPECT_NEAR(r.parkI[1], -kSqrt2 * 10.0 * std::cos(radians(lag)), 0.005);
}

TEST_P(GeneralResultsPhysics, ParkFromAMechanicalAngleGivesConstantDAndQ) {
    // Two pole pairs, offset 10 degrees: the electrical angle 2 theta_m - 10
    // runs delta = 30 degrees ahead of phase 1's voltage (psi = 15); the
    // currents lag the voltages by 40 degrees, so theirs runs 70 ahead.
    const std::function<double(double)> angle = [](double t) {
        return std::fmod((kW * t + radians(15.0 + 30.0 + 10.0)) / 2.0, kTwoPi);
    };
    // d = A sin(phi - theta) = -A sin(delta), q = -A cos(phi - theta) = -A cos(delta).
    const double peakU = kSqrt2 * 230.0, peakI = kSqrt2 * 10.0;
    const double dU = -peakU * std::sin(radians(30.0)), qU = -peakU * std::cos(radians(30.0));
    const double dI = -peakI * std::sin(radians(70.0)), qI = -peakI * std::cos(radians(70.0));
    // Park of the voltages, of the currents, of both: each group's averages
    // land in its own fields, the other group's stay zero.
    for (const auto& groups : {std::make_pair(true, false), std::make_pair(false, true), std::make_pair(true, true)}) {
        const bool voltages = groups.first, currents = groups.second;
        SCOPED_TRACE(std::string("Park of ") + (voltages ? "voltages " : "") + (currents ? "currents" : ""));
        auto module = makeModule([&](PowerModule& m) {
            m.setGridConfigType(ThreePhaseStar);
            enable(m, {&PowerModule::setParkTransformEnabled, &PowerModule::setClarkeOrParkWaveformsEnabled,
                       &PowerModule::setMechanicalAngleUsed});
            m.setClarkeOrParkVoltagesEnabled(voltages);
            m.setClarkeOrParkCurrentsEnabled(currents);
            m.setPolePairs(2);
            m.setMechAngleOffset(10.0);
        });
        const PowerResultsGeneral r =
            run(*module, phasors(phasesOf({}, polar(230.0, 15.0), {}), phasesOf({}, polar(10.0, -25.0), {}), angle),
                {{0, 2000, kF}})[0];
        EXPECT_NEAR(r.parkU[0], voltages ? dU : 0.0, peakU * 1e-4);
        EXPECT_NEAR(r.parkU[1], voltages ? qU : 0.0, peakU * 1e-4);
        EXPECT_NEAR(r.parkI[0], currents ? dI : 0.0, peakI * 1e-4);
        EXPECT_NEAR(r.parkI[1], currents ? qI : 0.0, peakI * 1e-4);
        EXPECT_TRUE(r.parkU[2] == 0.0 && r.parkI[2] == 0.0) << "no third value from the angle";
        double worstU = 0.0, worstI = 0.0;
        for (int k = 0; k < 2000; ++k) {
            if (voltages) {
                worstU = std::max({worstU, std::abs(module->getWaveformBufferParkU(0)[k] - dU),
                                   std::abs(module->getWaveformBufferParkU(1)[k] - qU)});
            }
            if (currents) {
                worstI = std::max({worstI, std::abs(module->getWaveformBufferParkI(0)[k] - dI),
                                   std::abs(module->getWaveformBufferParkI(1)[k] - qI)});
            }
        }
        EXPECT_LT(worstU, peakU * 1e-4) << "constant sample by sample";
        EXPECT_LT(worstI, peakI * 1e-4) << "constant sample by sample";
    }
}

TEST_P(GeneralResultsPhysics, AToneBetweenHarmonicOrdersLandsInTheirInterharmonicGroup) {
    // 30-period windows (FFT length 8192): a tone's main lobe (+-5 Hz) fits between groups.
    auto module = makeModule([](PowerModule& m) {
        m.setPeriodCount(30);
        m.setCurrentEnabled(false);
        enable(m, {&PowerModule::setInterHarmonicsEnabled, &PowerModule::setThdEnabled});
        m.setHighestRequestedHarmonic(10);
    });
    const SignalFunction signal = [](char, int, double t) {
        return kSqrt2 * 230.0 * std::sin(kW * t) + kSqrt2 * 10.0 * std::sin(kTwoPi * 175.0 * t + 0.3);
    };
    const PowerResultsChannel c = run(*module, signal, {{0, 6000, kF}})[0].channels[0];
    EXPECT_NEAR(c.interharmonicsU[3], 10.0, 10.0 * 1e-3) << "175 Hz lies between orders 3 and 4";
    for (const int group : {0, 1, 2, 4, 5}) {
        EXPECT_LT(c.interharmonicsU[group], kLeakage) << "group " << group;
    }
    EXPECT_LT(std::max(c.harmonicsU[3], c.harmonicsU[4]), kLeakage);
    EXPECT_LT(c.thdU.thd, 100.0 * kLeakage / 230.0) << "an interharmonic is no harmonic";
    EXPECT_NEAR(c.thdInterU.thd, 100.0 * 10.0 / 230.0, 0.01);
    EXPECT_NEAR(c.rmsU, std::hypot(230.0, 10.0), 0.1);
}

TEST_P(GeneralResultsPhysics, VariableFrequencyWindowsUseTheFftLengthOfTheirOwnFrequency) {
    auto module = makeModule([](PowerModule& m) {
        m.setVariableFrequency(10.0, 1000.0);  // FFT lengths 128 .. 16384
        m.setHighestRequestedHarmonic(5);
    });
    // 10 periods at 47.3 Hz (FFT 4096), then 10 periods at 52.1 Hz (FFT 2048).
    const SignalFunction signal = [](char kind, int, double t) {
        return kind == 'U' ? kSqrt2 * 230.0 * std::sin(kTwoPi * (t < 0.2114 ? 47.3 : 52.1) * t) : 0.0;
    };
    const std::vector<PowerResultsGeneral> records = run(*module, signal, {{0, 2114, 47.3}, {2114, 1919, 52.1}});
    const uint32_t fftLengths[] = {4096, 2048};
    for (int k = 0; k < 2; ++k) {
        const PowerResultsGeneral& r = records[static_cast<std::size_t>(k)];
        EXPECT_DOUBLE_EQ(r.dFrequency, kRate / fftLengths[k]);
        EXPECT_EQ(r.fftOutputLength, fftLengths[k] / 2 + 1);
        EXPECT_NEAR(r.channels[0].h1U, 230.0, 230.0 * 1e-3) << r.frequency << " Hz";
        EXPECT_NEAR(r.channels[0].rmsU, 230.0, 230.0 * 1e-3) << r.frequency << " Hz";
        EXPECT_LT(std::max(r.channels[0].harmonicsU[2], r.channels[0].harmonicsU[5]), kLeakage);
    }
}

TEST_P(GeneralResultsPhysics, AWindowAcrossTheRingEndGivesTheRecordOfTheSameSamplesInOnePiece) {
    auto module = makeModule(
        [](PowerModule& m) {
            m.setGridConfigType(ThreePhaseStar);
            m.setHighestRequestedHarmonic(20);
            enable(m, {&PowerModule::setLineToLineResultsEnabled, &PowerModule::setInterHarmonicsEnabled,
                       &PowerModule::setThdEnabled, &PowerModule::setSymmetricalComponentsEnabled,
                       &PowerModule::setClarkeTransformEnabled, &PowerModule::setParkTransformEnabled,
                       &PowerModule::setClarkeOrParkVoltagesEnabled, &PowerModule::setClarkeOrParkCurrentsEnabled});
        },
        5000);
    // Distorted and unbalanced with a period of exactly 200 samples, from the sample index.
    const SignalFunction signal = [](char kind, int channel, double t) {
        const double x = kTwoPi * static_cast<double>(std::llround(t * kRate) % 200) / 200.0 - channel * kTwoPi / 3.0;
        const double scale = kind == 'U' ? 230.0 * (1.0 + 0.02 * channel) : 10.0;
        return kSqrt2 * scale *
               (std::sin(x + (kind == 'U' ? 0.0 : -0.4)) + 0.04 * std::sin(5.0 * x) + 0.02 * std::sin(3.0 * x + 1.0));
    };
    // Ring positions 0..1999 in one piece; 4000..4999 and 0..999 across the end.
    const std::vector<PowerResultsGeneral> r = run(*module, signal, {{0, 2000, kF}, {4000, 2000, kF}});
    ASSERT_NE(r[0].channels[0].harmonicsU, r[1].channels[0].harmonicsU);
    EXPECT_NEAR(r[1].channels[0].rmsU, 230.0 * std::sqrt(1.0 + 0.0016 + 0.0004), 0.1);
    const double relative = onCpu() ? 0.0 : 1e-12;
    const auto same = [relative](double x, double y, const std::string& what) {
        EXPECT_LE(std::abs(x - y), relative * std::max(std::abs(x), std::abs(y))) << what << ": " << x << " " << y;
    };
    // Every double of a channel block (82 of them before the pointers) and of the three-phase part.
    static_assert(offsetof(PowerResultsChannel, fftU) == 82 * sizeof(double), "channel layout");
    constexpr std::size_t kThreePhase =
        (sizeof(PowerResultsGeneral) - offsetof(PowerResultsGeneral, symmetricalResults)) / 8;
    static_assert(kThreePhase <= 90, "three-phase part");
    static_assert(offsetof(PowerResultsChannel, phasesI) - offsetof(PowerResultsChannel, harmonicsU) == 88, "rows");
    for (int c = 0; c <= 4; ++c) {
        double x[90];
        double y[90];
        const std::size_t count = c < 4 ? 82 : kThreePhase;
        std::memcpy(x, c < 4 ? static_cast<const void*>(&r[0].channels[c]) : &r[0].symmetricalResults, count * 8);
        std::memcpy(y, c < 4 ? static_cast<const void*>(&r[1].channels[c]) : &r[1].symmetricalResults, count * 8);
        for (std::size_t f = 0; f < count; ++f) {
            same(x[f], y[f], "block " + std::to_string(c) + " field " + std::to_string(f));
        }
        const float* p[12];  // the arrays behind harmonicsU .. phasesI
        const float* q[12];
        std::memcpy(p, &r[0].channels[c % 4].harmonicsU, sizeof p);
        std::memcpy(q, &r[1].channels[c % 4].harmonicsU, sizeof q);
        for (std::size_t row = 0; c < 4 && row < 12; ++row) {
            ASSERT_EQ(p[row] == nullptr, q[row] == nullptr);
            for (uint32_t h = 0; p[row] != nullptr && h < r[0].harmonicLength; ++h) {
                same(p[row][h], q[row][h], "channel " + std::to_string(c) + " row " + std::to_string(row));
            }
        }
    }
}

POWERGPU_INSTANTIATE_FOR_BACKENDS(GeneralResultsPhysics);

TEST(HostPostProcessing, SequenceRecordsAndRatiosWithTheirGuardedDivisions) {
    const std::vector<Complex>& a = PowerSymmetricalComponents::a;  // exported: e^(j 120 degrees)
    EXPECT_NEAR(std::abs(a[1] - polar(1.0, 120.0)) + std::abs(a[2] - polar(1.0, 240.0)), 0.0, 1e-12);
    // u, i (per phase) -> |u|, p, q, s, lambda, iActive, iReactive.
    const struct {
        Complex u, i;
        bool currents;
        double uMagnitude, p, q, s, lambda, iActive, iReactive;
    } records[] = {{polar(230.0, 0.0), polar(10.0, -30.0), true, 230.0, 6900.0 * std::cos(kPi / 6.0), 3450.0, 6900.0,
                    std::cos(kPi / 6.0), 10.0 * std::cos(kPi / 6.0), 5.0},
                   {0.0, polar(10.0, -30.0), true, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0},    // no voltage
                   {polar(230.0, 10.0), 0.0, true, 230.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0},  // no current
                   {polar(100.0, 60.0), polar(10.0, 0.0), false, 100.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}};
    for (const auto& k : records) {
        PowerResultsSymmetricalComponent r{};
        r.u = PowerDouble2{k.u.real(), k.u.imag()};
        r.i = PowerDouble2{k.i.real(), k.i.imag()};
        r.p = r.q = r.s = r.lambda = r.iActive = r.iReactive = 7.0;  // every one is written
        PowerSymmetricalComponents::calculate(r, k.currents);
        SCOPED_TRACE("u " + std::to_string(std::abs(k.u)) + ", i " + std::to_string(std::abs(k.i)));
        EXPECT_TRUE(std::abs(r.uMagnitude - k.uMagnitude) < 1e-9 &&
                    std::abs(r.uLMagnitude - kSqrt3 * k.uMagnitude) < 1e-9);
        EXPECT_NEAR(r.p, k.p, 1e-9);
        EXPECT_NEAR(r.q, k.q, 1e-9) << "a lagging current draws positive reactive power";
        EXPECT_NEAR(r.lambda, k.lambda, 1e-12);
        EXPECT_TRUE(std::abs(r.iActive - k.iActive) < 1e-12 && std::abs(r.iReactive - k.iReactive) < 1e-12);
        EXPECT_NEAR(r.s, k.s, 1e-9);
    }
    // Ratios in percent of the positive sequence; all 0 without one.
    PowerResultsSymmetricalComponent ratios[3] = {};
    const double magnitudes[3] = {4.6, 230.0, 11.5};
    for (const double positive : {230.0, 0.0}) {
        for (int k = 0; k < 3; ++k) {
            ratios[k].uMagnitude = ratios[k].rmsU = k == 1 ? positive : magnitudes[k];
            ratios[k].iMagnitude = ratios[k].rmsI = (k == 1 ? positive : magnitudes[k]) / 23.0;
        }
        PowerSymmetricalComponents::calculateRatios(ratios, true);
        for (int k = 0; k < 3; ++k) {
            const double expected = positive > 0.0 ? 100.0 * ratios[k].uMagnitude / positive : 0.0;
            EXPECT_NEAR(ratios[k].uRatio + ratios[k].rmsURatio + ratios[k].iRatio + ratios[k].rmsIRatio, 4.0 * expected,
                        1e-9)
                << "sequence " << k << " positive " << positive;
        }
    }
}

TEST(HostPostProcessing, ThdFiguresFromTheDeviceSumsWithTheirGuardedDivisions) {
    // 230 V plus 5 % of order 5. On the CPU a window's host copies are complete
    // when scheduling returns: a case sets the fundamental or the sum of
    // squares that the THD finishing receives.
    const double harmonicRms = 11.5;
    const double rms = 230.0 * std::sqrt(1.0 + 0.05 * 0.05);
    const struct {
        const char* name;
        float fundamental;  // < 0: as measured
        bool zeroRms;
        double thd, thdRms, distortionRms, distortion;
    } cases[] = {{"measured", -1.0f, false, 5.0, 100.0 * harmonicRms / rms, harmonicRms, 5.0},
                 {"no fundamental", 0.0f, false, 0.0, 100.0 * harmonicRms / rms, rms, 0.0},
                 {"fundamental above the rms", 460.0f, false, 2.5, 100.0 * harmonicRms / rms, 0.0, 0.0},
                 {"zero rms", -1.0f, true, 5.0, 0.0, 0.0, 0.0}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        PowerModule module(POWER_BACKEND_CPU);
        configure(module, kRate, 10000, [](PowerModule& m) { m.setThdEnabled(true); });
        ModuleFeeder(module, [](char kind, int, double t) {
            return kind == 'U' ? kSqrt2 * 230.0 * (std::sin(kW * t) + 0.05 * std::sin(5.0 * kW * t)) : 0.0;
        }).write(2000);
        module.scheduleForCalculation(0, 2000, kF);
        const powergpu::PowerBuffers& buffers = module.implementation()->settings().getBuffers();
        if (k.fundamental >= 0.0f) {  // the first window after a reset takes harmonic position 0
            buffers.harmonics.getHostBufferAt(0, buffers.harmonicsCount, 0)[1] = k.fundamental;
        }
        if (k.zeroRms) {
            buffers.generalResults.getHostBufferAt(0, 1, 0)->channels[0].rmsU = 0.0;
        }
        const PowerResultsThd thd = module.getResults(0).at(0).channels[0].thdU;
        EXPECT_NEAR(thd.harmonicRms, harmonicRms, harmonicRms * 1e-3);
        EXPECT_NEAR(thd.thd, k.thd, 5e-3);
        EXPECT_NEAR(thd.thdOdd, k.thd, 5e-3);
        EXPECT_NEAR(thd.thdRms, k.thdRms, 5e-3);
        EXPECT_NEAR(thd.distortionRms, k.distortionRms, 0.12);
        EXPECT_NEAR(thd.distortion, k.distortion, 5e-2);
    }
}
