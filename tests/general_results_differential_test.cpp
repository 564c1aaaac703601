// The CUDA backend against the CPU backend: for every grid configuration,
// with every optional calculation that the configuration supports switched
// on, the same random samples go through a CPU module and a CUDA module, and
// every numeric field of every record, and every array a record points to,
// must agree within the stated tolerances.
//
// Both backends compute each element through the same single- and
// double-precision steps; what may differ is the association order of device
// sums (atomics), the FFT implementation (last bits of every bin, relative to
// the largest bin of a row) and the last bits of the transcendental
// functions. The tolerances follow from that:
// - sums and what is derived from them linearly: 1e-5 relative to the
//   record's scale of that quantity (volts, amperes, volt-amperes);
// - harmonic magnitudes and other float tables: 16 float ulps of the row's
//   largest entry;
// - phase angles: 1e-3 degrees, for orders at least 1 % of the row's largest;
// - quantities defined as the root of a difference of squares (non-active
//   and distortion powers, distortion rms) are compared as squares, 1e-5 of
//   the squared scale, since near zero their roots amplify any difference.
//
// Needs a CUDA device; skipped otherwise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "powergpu.h"
#include "powergpu.hpp"
#include "support/Backends.h"
#include "support/ModuleFeeder.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kRate = 10000.0;
constexpr uint64_t kRing = 7000;
constexpr int kLength = 2000;
constexpr float kFloatUlp = 1.1920929e-07f;

// Random but reproducible samples of every input channel: a 50 Hz
// fundamental with random magnitude and phase, a few harmonics of 1 % to
// 5 %, a DC offset and a little noise.
class RandomInputs {
public:
    RandomInputs(uint32_t seed, uint64_t samples) : samples_(samples) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        const auto between = [&](double low, double high) { return low + (high - low) * unit(random); };
        for (const char kind : {'U', 'I'}) {
            for (int channel = 0; channel < 3; ++channel) {
                std::vector<float>& table = tables_[key(kind, channel)];
                table.resize(samples);
                const double rms = kind == 'U' ? between(207.0, 253.0) * 1.7 : between(5.0, 15.0);
                const double phase = between(-kPi, kPi);
                const int orders[] = {2, 3, 5, 7, 11, 13};
                double harmonicRms[6];
                double harmonicPhase[6];
                for (int h = 0; h < 6; ++h) {
                    harmonicRms[h] = rms * between(0.01, 0.05);
                    harmonicPhase[h] = between(-kPi, kPi);
                }
                const double offset = between(-1.0, 1.0) * rms * 0.005;
                for (uint64_t k = 0; k < samples; ++k) {
                    const double x = 2.0 * kPi * 50.0 * static_cast<double>(k) / kRate;
                    double value = std::sqrt(2.0) * rms * std::sin(x + phase) + offset;
                    for (int h = 0; h < 6; ++h) {
                        value += std::sqrt(2.0) * harmonicRms[h] * std::sin(orders[h] * x + harmonicPhase[h]);
                    }
                    value += rms * 1e-4 * between(-1.0, 1.0);
                    table[k] = static_cast<float>(value);
                }
            }
        }
    }

    powergpu::test::SignalFunction signal() const {
        return [this](char kind, int channel, double seconds) -> double {
            const auto index = static_cast<uint64_t>(std::llround(seconds * kRate));
            const auto found = tables_.find(key(kind, channel));
            return found == tables_.end() || index >= samples_ ? 0.0 : found->second[index];
        };
    }

private:
    static int key(char kind, int channel) { return kind * 8 + channel; }
    uint64_t samples_;
    std::map<int, std::vector<float>> tables_;
};

// A delivered record and copies of the arrays it points to, taken before the
// module reuses their ring positions.
struct Snapshot {
    PowerResultsGeneral record{};
    std::map<std::string, std::vector<float>> arrays[4];
    std::vector<PowerFloat2> spectrumU[4];
};

Snapshot snapshotOf(const PowerResultsGeneral& record) {
    Snapshot snapshot;
    snapshot.record = record;
    for (int c = 0; c < 4; ++c) {
        const PowerResultsChannel& channel = record.channels[c];
        const std::pair<const char*, const float*> rows[] = {{"harmonicsU", channel.harmonicsU},
                                                             {"harmonicsI", channel.harmonicsI},
                                                             {"harmonicsUL", channel.harmonicsUL},
                                                             {"interharmonicsU", channel.interharmonicsU},
                                                             {"interharmonicsI", channel.interharmonicsI},
                                                             {"interharmonicsUL", channel.interharmonicsUL},
                                                             {"harmonicsP", channel.harmonicsP},
                                                             {"harmonicsQ", channel.harmonicsQ},
                                                             {"harmonicsS", channel.harmonicsS},
                                                             {"harmonicsZ", channel.harmonicsZ},
                                                             {"phasesU", channel.phasesU},
                                                             {"phasesI", channel.phasesI}};
        for (const auto& row : rows) {
            if (row.second != nullptr) {
                snapshot.arrays[c][row.first].assign(row.second, row.second + record.harmonicLength);
            }
        }
        if (channel.fftU != nullptr) {
            snapshot.spectrumU[c].assign(channel.fftU, channel.fftU + record.fftOutputLength);
        }
    }
    return snapshot;
}

std::unique_ptr<PowerModule> makeModule(int32_t backend, PowerGridConfigType grid) {
    auto module = std::make_unique<PowerModule>(backend);
    module->beginUpdate();
    module->setSampleRate(kRate, 1);
    module->setBufferLength(kRing);
    module->setStaticFrequency(50.0, 0.1);
    module->setGridConfigType(grid);
    module->setCurrentEnabled(true);
    module->setLineToLineResultsEnabled(true);
    module->setWaveformsEnabled(true);
    module->setFullFftEnabled(true);
    module->setThdEnabled(true);
    module->setThdHighestHarmonic(40);
    module->setHighestRequestedHarmonic(50);
    module->setInterHarmonicsEnabled(true);
    module->setSymmetricalComponentsEnabled(true);
    module->setClarkeTransformEnabled(true);
    module->setParkTransformEnabled(true);
    module->setClarkeOrParkVoltagesEnabled(true);
    module->setClarkeOrParkCurrentsEnabled(true);
    module->endUpdate();
    module->reset(0);
    return module;
}

struct PlannedWindow {
    uint64_t first;
    double frequency;
};

// Runs the windows one by one (fetching each before the next, so that no
// result slot or ring position is reused while a record is being read).
std::vector<Snapshot> runWindows(PowerModule& module, const RandomInputs& inputs,
                                 const std::vector<PlannedWindow>& windows) {
    powergpu::test::ModuleFeeder feeder(module, inputs.signal());
    std::vector<Snapshot> snapshots;
    for (const PlannedWindow& window : windows) {
        const uint64_t end = window.first + kLength;
        while (feeder.written() < end) {
            feeder.write(static_cast<uint32_t>(std::min<uint64_t>(1000, end - feeder.written())));
        }
        module.scheduleForCalculation(window.first, kLength, window.frequency);
        module.sync();
        const std::vector<PowerResultsGeneral> records = module.getResults(0);
        EXPECT_EQ(records.size(), 1u);
        if (records.size() == 1) {
            snapshots.push_back(snapshotOf(records[0]));
        }
    }
    return snapshots;
}

// ---- comparison ---------------------------------------------------------------------

void expectWithin(double cpu, double cuda, double tolerance, const std::string& what) {
    EXPECT_LE(std::abs(cpu - cuda), tolerance) << what << ": CPU " << cpu << ", CUDA " << cuda;
}

// For values defined as sqrt(max(x^2 - y^2, 0)): compared as squares.
void expectSquaresWithin(double cpu, double cuda, double scale, const std::string& what) {
    EXPECT_LE(std::abs(cpu * cpu - cuda * cuda), 1e-5 * scale * scale) << what << ": CPU " << cpu << ", CUDA " << cuda;
}

void expectSum(double cpu, double cuda, double scale, const std::string& what) {
    expectWithin(cpu, cuda, 1e-5 * std::max({std::abs(cpu), std::abs(cuda), scale}), what);
}

float rowMax(const std::vector<float>& row) {
    float largest = 0.0f;
    for (const float value : row) {
        largest = std::max(largest, std::abs(value));
    }
    return largest;
}

void expectThd(const PowerResultsThd& cpu, const PowerResultsThd& cuda, double rms, double h1,
               const std::string& what) {
    const double percentTolerance = 1e-4;
    expectWithin(cpu.thd, cuda.thd, percentTolerance + 1e-5 * std::abs(cpu.thd), what + ".thd");
    expectWithin(cpu.thdEven, cuda.thdEven, percentTolerance + 1e-5 * std::abs(cpu.thdEven), what + ".thdEven");
    expectWithin(cpu.thdOdd, cuda.thdOdd, percentTolerance + 1e-5 * std::abs(cpu.thdOdd), what + ".thdOdd");
    expectWithin(cpu.thdOddTriplen, cuda.thdOddTriplen, percentTolerance + 1e-5 * std::abs(cpu.thdOddTriplen),
                 what + ".thdOddTriplen");
    expectWithin(cpu.thdOddNonTriplen, cuda.thdOddNonTriplen, percentTolerance + 1e-5 * std::abs(cpu.thdOddNonTriplen),
                 what + ".thdOddNonTriplen");
    expectWithin(cpu.thdRms, cuda.thdRms, percentTolerance + 1e-5 * std::abs(cpu.thdRms), what + ".thdRms");
    expectSum(cpu.harmonicRms, cuda.harmonicRms, 1e-3 * rms, what + ".harmonicRms");
    expectSquaresWithin(cpu.distortionRms, cuda.distortionRms, rms, what + ".distortionRms");
    expectSquaresWithin(cpu.distortion, cuda.distortion, h1 > 0.0 ? 100.0 * rms / h1 : 0.0, what + ".distortion");
}

void expectSameChannel(const Snapshot& cpuSnapshot, const Snapshot& cudaSnapshot, int c) {
    const PowerResultsChannel& a = cpuSnapshot.record.channels[c];
    const PowerResultsChannel& b = cudaSnapshot.record.channels[c];
    const std::string at = "channel " + std::to_string(c) + " ";
    // Scales of this channel's quantities (the CPU values; a missing quantity scales to 1).
    const double u = std::max(a.rmsU, 1.0);
    const double i = std::max(a.rmsI, 1.0);
    const double ul = std::max(a.rmsUL, 1.0);
    const double s = std::max(std::abs(a.s), 1.0);

    expectSum(a.meanAbsU, b.meanAbsU, u, at + "meanAbsU");
    expectSum(a.meanAbsI, b.meanAbsI, i, at + "meanAbsI");
    expectSum(a.meanAbsUL, b.meanAbsUL, ul, at + "meanAbsUL");
    expectSum(a.rmsU, b.rmsU, u, at + "rmsU");
    expectSum(a.rmsI, b.rmsI, i, at + "rmsI");
    expectSum(a.rmsUL, b.rmsUL, ul, at + "rmsUL");
    expectSum(a.rmsFftU, b.rmsFftU, u, at + "rmsFftU");
    expectSum(a.rmsFftI, b.rmsFftI, i, at + "rmsFftI");
    expectSum(a.rmsFftUL, b.rmsFftUL, ul, at + "rmsFftUL");
    expectWithin(a.h1U, b.h1U, 16 * kFloatUlp * u, at + "h1U");
    expectWithin(a.h1I, b.h1I, 16 * kFloatUlp * i, at + "h1I");
    expectWithin(a.h1UL, b.h1UL, 16 * kFloatUlp * ul, at + "h1UL");
    for (const auto& field :
         {std::make_pair("p", &PowerResultsChannel::p), std::make_pair("pFft", &PowerResultsChannel::pFft),
          std::make_pair("s", &PowerResultsChannel::s), std::make_pair("q", &PowerResultsChannel::q),
          std::make_pair("p1", &PowerResultsChannel::p1), std::make_pair("q1", &PowerResultsChannel::q1),
          std::make_pair("s1", &PowerResultsChannel::s1), std::make_pair("q1Sum", &PowerResultsChannel::q1Sum)}) {
        expectSum(a.*field.second, b.*field.second, s, at + field.first);
    }
    expectSquaresWithin(a.nonActivePower, b.nonActivePower, s, at + "nonActivePower");
    expectSquaresWithin(a.d, b.d, s, at + "d");
    expectSquaresWithin(a.d1, b.d1, s, at + "d1");
    expectWithin(a.lambda, b.lambda, 1e-5, at + "lambda");
    expectWithin(a.cosPhi1, b.cosPhi1, 1e-5, at + "cosPhi1");
    expectSum(a.z, b.z, 0.0, at + "z");
    expectSum(a.z1, b.z1, 0.0, at + "z1");
    expectThd(a.thdU, b.thdU, u, a.h1U, at + "thdU");
    expectThd(a.thdI, b.thdI, i, a.h1I, at + "thdI");
    expectThd(a.thdUL, b.thdUL, ul, a.h1UL, at + "thdUL");
    expectThd(a.thdInterU, b.thdInterU, u, a.h1U, at + "thdInterU");
    expectThd(a.thdInterI, b.thdInterI, i, a.h1I, at + "thdInterI");
    expectThd(a.thdInterUL, b.thdInterUL, ul, a.h1UL, at + "thdInterUL");
    expectSum(a.harmonicRmsI, b.harmonicRmsI, 1e-3 * i, at + "harmonicRmsI");

    // Which pointers are set must not depend on the backend.
    const std::pair<const char*, bool> presence[] = {{"fftU", (a.fftU == nullptr) == (b.fftU == nullptr)},
                                                     {"fftI", (a.fftI == nullptr) == (b.fftI == nullptr)},
                                                     {"fftUL", (a.fftUL == nullptr) == (b.fftUL == nullptr)}};
    for (const auto& p : presence) {
        EXPECT_TRUE(p.second) << at << p.first;
    }

    const auto& rowsA = cpuSnapshot.arrays[c];
    const auto& rowsB = cudaSnapshot.arrays[c];
    ASSERT_EQ(rowsA.size(), rowsB.size()) << at << "arrays present";
    for (const auto& entry : rowsA) {
        const std::string& name = entry.first;
        const auto other = rowsB.find(name);
        ASSERT_NE(other, rowsB.end()) << at << name;
        const std::vector<float>& x = entry.second;
        const std::vector<float>& y = other->second;
        ASSERT_EQ(x.size(), y.size()) << at << name;
        if (name == "phasesU" || name == "phasesI") {
            const std::vector<float>& magnitudes = rowsA.at(name == "phasesU" ? "harmonicsU" : "harmonicsI");
            const float largest = rowMax(magnitudes);
            for (std::size_t h = 1; h < x.size(); ++h) {
                if (magnitudes[h] < 0.01f * largest) {
                    continue;  // the angle of a negligible order is noise
                }
                double difference = std::fmod(std::abs(static_cast<double>(x[h]) - y[h]), 360.0);
                difference = std::min(difference, 360.0 - difference);
                EXPECT_LE(difference, 1e-3) << at << name << " order " << h << ": CPU " << x[h] << ", CUDA " << y[h];
            }
            continue;
        }
        if (name == "harmonicsZ") {
            const std::vector<float>& currents = rowsA.at("harmonicsI");
            const float largest = rowMax(currents);
            for (std::size_t h = 0; h < x.size(); ++h) {
                if (currents[h] < 0.01f * largest) {
                    continue;  // U/I of a negligible current is noise
                }
                EXPECT_LE(std::abs(x[h] - y[h]), 1e-5 * std::abs(x[h]) + 1e-6)
                    << at << name << " order " << h << ": CPU " << x[h] << ", CUDA " << y[h];
            }
            continue;
        }
        // Magnitudes and powers: ulps of the row's largest entry; P and Q
        // also move with the angle difference, by up to 1e-5 of S.
        const bool angleDependent = name == "harmonicsP" || name == "harmonicsQ";
        const float largest = std::max(rowMax(x), angleDependent ? rowMax(rowsA.at("harmonicsS")) : 0.0f);
        const double tolerance = 16.0 * kFloatUlp * largest + (angleDependent ? 1e-5 * largest : 0.0);
        for (std::size_t h = 0; h < x.size(); ++h) {
            EXPECT_LE(std::abs(static_cast<double>(x[h]) - y[h]), tolerance)
                << at << name << " order " << h << ": CPU " << x[h] << ", CUDA " << y[h];
        }
    }
}

void expectSameRecord(const Snapshot& cpuSnapshot, const Snapshot& cudaSnapshot) {
    const PowerResultsGeneral& a = cpuSnapshot.record;
    const PowerResultsGeneral& b = cudaSnapshot.record;
    EXPECT_EQ(a.time, b.time);
    EXPECT_EQ(a.frequency, b.frequency);
    EXPECT_EQ(a.dFrequency, b.dFrequency);
    EXPECT_EQ(a.firstSampleIndex, b.firstSampleIndex);
    EXPECT_EQ(a.length, b.length);
    EXPECT_EQ(a.fftOutputLength, b.fftOutputLength);
    EXPECT_EQ(a.harmonicLength, b.harmonicLength);
    EXPECT_EQ(a.phasesCount, b.phasesCount);
    for (int c = 0; c < 4; ++c) {
        expectSameChannel(cpuSnapshot, cudaSnapshot, c);
    }

    // Three-phase records, scaled by the positive sequence.
    const double u = std::max(std::hypot(a.symmetricalResults[1].u.x, a.symmetricalResults[1].u.y), 1.0);
    const double i = std::max(std::hypot(a.symmetricalResults[1].i.x, a.symmetricalResults[1].i.y), 1.0);
    const double s = 3.0 * u * i;
    for (int k = 0; k < 3; ++k) {
        const PowerResultsSymmetricalComponent& x = a.symmetricalResults[k];
        const PowerResultsSymmetricalComponent& y = b.symmetricalResults[k];
        const std::string at = "sequence " + std::to_string(k) + " ";
        expectWithin(x.u.x, y.u.x, 1e-5 * u, at + "u.x");
        expectWithin(x.u.y, y.u.y, 1e-5 * u, at + "u.y");
        expectWithin(x.uL.x, y.uL.x, 2e-5 * u, at + "uL.x");
        expectWithin(x.uL.y, y.uL.y, 2e-5 * u, at + "uL.y");
        expectWithin(x.i.x, y.i.x, 1e-5 * i, at + "i.x");
        expectWithin(x.i.y, y.i.y, 1e-5 * i, at + "i.y");
        expectWithin(x.uMagnitude, y.uMagnitude, 1e-5 * u, at + "uMagnitude");
        expectWithin(x.uLMagnitude, y.uLMagnitude, 2e-5 * u, at + "uLMagnitude");
        expectWithin(x.iMagnitude, y.iMagnitude, 1e-5 * i, at + "iMagnitude");
        expectWithin(x.p, y.p, 1e-5 * s, at + "p");
        expectWithin(x.q, y.q, 1e-5 * s, at + "q");
        expectWithin(x.s, y.s, 1e-5 * s, at + "s");
        expectWithin(x.iActive, y.iActive, 1e-5 * s / std::max(x.uMagnitude, 1e-3 * u), at + "iActive");
        expectWithin(x.iReactive, y.iReactive, 1e-5 * s / std::max(x.uMagnitude, 1e-3 * u), at + "iReactive");
        expectWithin(x.lambda, y.lambda, std::min(2.0, 2e-5 * s / std::max(x.s, 1e-9)), at + "lambda");
        expectSum(x.rmsU, y.rmsU, 1e-3 * u, at + "rmsU");
        expectSum(x.rmsI, y.rmsI, 1e-3 * i, at + "rmsI");
        expectWithin(x.rmsURatio, y.rmsURatio, 1e-3, at + "rmsURatio");
        expectWithin(x.rmsIRatio, y.rmsIRatio, 1e-3, at + "rmsIRatio");
        expectWithin(x.uRatio, y.uRatio, 1e-3, at + "uRatio");
        expectWithin(x.iRatio, y.iRatio, 1e-3, at + "iRatio");
    }
    for (int k = 0; k < 3; ++k) {
        const std::string at = "Clarke/Park " + std::to_string(k) + " ";
        expectWithin(a.clarkeU[k].x, b.clarkeU[k].x, 1e-5 * u, at + "clarkeU.x");
        expectWithin(a.clarkeU[k].y, b.clarkeU[k].y, 1e-5 * u, at + "clarkeU.y");
        expectWithin(a.clarkeI[k].x, b.clarkeI[k].x, 1e-5 * i, at + "clarkeI.x");
        expectWithin(a.clarkeI[k].y, b.clarkeI[k].y, 1e-5 * i, at + "clarkeI.y");
        expectWithin(a.parkU[k], b.parkU[k], 2e-5 * u, at + "parkU");
        expectWithin(a.parkI[k], b.parkI[k], 2e-5 * i, at + "parkI");
    }

    // The spectra themselves: bins agree to float ulps of the largest bin.
    for (int c = 0; c < 4; ++c) {
        const std::vector<PowerFloat2>& x = cpuSnapshot.spectrumU[c];
        const std::vector<PowerFloat2>& y = cudaSnapshot.spectrumU[c];
        ASSERT_EQ(x.size(), y.size()) << "spectrum of channel " << c;
        float largest = 0.0f;
        for (const PowerFloat2& bin : x) {
            largest = std::max({largest, std::abs(bin.x), std::abs(bin.y)});
        }
        double worst = 0.0;
        for (std::size_t k = 0; k < x.size(); ++k) {
            worst = std::max({worst, std::abs(static_cast<double>(x[k].x) - y[k].x),
                              std::abs(static_cast<double>(x[k].y) - y[k].y)});
        }
        EXPECT_LE(worst, 64.0 * kFloatUlp * largest) << "spectrum of channel " << c;
    }
}

class GeneralResultsDifferential : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(GeneralResultsDifferential, CudaRecordsMatchCpuRecordsForRandomInputs) {
    if (!powergpu::test::cudaUsable()) {
        GTEST_SKIP() << "no CUDA device";
    }
    const auto grid = static_cast<PowerGridConfigType>(GetParam());
    const RandomInputs inputs(0x5eed0000u + static_cast<uint32_t>(GetParam()), 12000);
    // Five windows at fundamentals around 50 Hz; the fourth wraps around the ring end.
    std::mt19937 random(static_cast<uint32_t>(GetParam()));
    std::uniform_real_distribution<double> frequency(48.0, 52.0);
    std::vector<PlannedWindow> windows;
    for (const uint64_t first : {uint64_t{0}, uint64_t{2000}, uint64_t{3500}, uint64_t{6000}, uint64_t{9000}}) {
        windows.push_back({first, frequency(random)});
    }

    auto cpu = makeModule(POWER_BACKEND_CPU, grid);
    auto cuda = makeModule(POWER_BACKEND_CUDA, grid);
    ASSERT_EQ(cuda->getBackend(), POWER_BACKEND_CUDA);
    const std::vector<Snapshot> expected = runWindows(*cpu, inputs, windows);
    const std::vector<Snapshot> actual = runWindows(*cuda, inputs, windows);
    ASSERT_EQ(expected.size(), windows.size());
    ASSERT_EQ(actual.size(), windows.size());
    for (std::size_t w = 0; w < windows.size(); ++w) {
        SCOPED_TRACE("grid " + std::to_string(GetParam()) + ", window at " + std::to_string(windows[w].first));
        expectSameRecord(expected[w], actual[w]);
    }
}

INSTANTIATE_TEST_SUITE_P(Grids, GeneralResultsDifferential, ::testing::Range(0, 8));
