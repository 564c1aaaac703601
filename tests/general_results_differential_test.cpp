// CUDA records against CPU records for random inputs on every grid, with every
// option on. Only the sum order, the FFT's and the math functions' last bits
// may differ: sums 1e-5 of their scale; float tables 16 ulps of the row's largest
// entry; angles 1e-3 degrees (orders >= 1 % of the largest); roots of
// differences of squares compared as squares. Skipped without a CUDA device.
#include <cstring>
#include <iterator>
#include <map>
#include <numeric>
#include <random>

#include "support/TestSupport.h"

namespace {

using namespace powergpu::test;
constexpr double kRate = 10000.0;
constexpr float kUlp = 1.1920929e-07f;
constexpr const char* kRows[] = {"harmonicsU",      "harmonicsI",       "harmonicsUL", "interharmonicsU",
                                 "interharmonicsI", "interharmonicsUL", "harmonicsP",  "harmonicsQ",
                                 "harmonicsS",      "harmonicsZ",       "phasesU",     "phasesI"};

// Reproducible random inputs: a 50 Hz fundamental of random magnitude and
// phase, harmonics 2..13 of 1 % to 5 %, a DC offset and a little noise.
SignalFunction randomInputs(uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto between = [&](double low, double high) { return low + (high - low) * unit(random); };
    auto tables = std::make_shared<std::map<int, std::vector<float>>>();
    for (const char kind : {'U', 'I'}) {
        for (int channel = 0; channel < 3; ++channel) {
            std::vector<float>& table = (*tables)[kind * 8 + channel];
            const double rms = kind == 'U' ? between(207.0, 253.0) * 1.7 : between(5.0, 15.0);
            const double phase = between(-kPi, kPi);
            const int orders[] = {2, 3, 5, 7, 11, 13};
            double harmonicRms[6], harmonicPhase[6];
            for (int h = 0; h < 6; ++h) {
                harmonicRms[h] = rms * between(0.01, 0.05);
                harmonicPhase[h] = between(-kPi, kPi);
            }
            const double offset = between(-1.0, 1.0) * rms * 0.005;
            for (int k = 0; k < 12000; ++k) {
                const double x = kTwoPi * 50.0 * k / kRate;
                double value = kSqrt2 * rms * std::sin(x + phase) + offset;
                for (int h = 0; h < 6; ++h) {
                    value += kSqrt2 * harmonicRms[h] * std::sin(orders[h] * x + harmonicPhase[h]);
                }
                table.push_back(static_cast<float>(value + rms * 1e-4 * between(-1.0, 1.0)));
            }
        }
    }
    return [tables](char kind, int channel, double seconds) -> double {
        const auto index = static_cast<std::size_t>(std::llround(seconds * kRate));
        const auto found = tables->find(kind * 8 + channel);
        return found == tables->end() || index >= found->second.size() ? 0.0 : found->second[index];
    };
}

// A delivered record with copies of the arrays it points to.
struct Snapshot {
    PowerResultsGeneral record{};
    std::map<std::string, std::vector<float>> rows[4];
    std::vector<PowerFloat2> spectrumU[4];
};

std::vector<Snapshot> runWindows(int32_t backend, PowerGridConfigType grid, const SignalFunction& signal,
                                 const std::vector<std::pair<uint64_t, double>>& windows) {
    PowerModule module(backend);
    EXPECT_EQ(module.getBackend(), backend);
    configure(module, kRate, 7000, [grid](PowerModule& m) {
        m.setGridConfigType(grid);
        m.setHighestRequestedHarmonic(50);
        enable(m, {&PowerModule::setLineToLineResultsEnabled, &PowerModule::setWaveformsEnabled,
                   &PowerModule::setFullFftEnabled, &PowerModule::setThdEnabled, &PowerModule::setInterHarmonicsEnabled,
                   &PowerModule::setSymmetricalComponentsEnabled, &PowerModule::setClarkeTransformEnabled,
                   &PowerModule::setParkTransformEnabled, &PowerModule::setClarkeOrParkVoltagesEnabled,
                   &PowerModule::setClarkeOrParkCurrentsEnabled});
    });
    ModuleFeeder feeder(module, signal);
    std::vector<Snapshot> snapshots;
    for (const auto& window : windows) {  // fetched one by one: no slot or ring position is reused meanwhile
        feeder.writeUpTo(window.first + 2000);
        module.scheduleForCalculation(window.first, 2000, window.second);
        module.sync();
        const std::vector<PowerResultsGeneral> records = module.getResults(0);
        EXPECT_EQ(records.size(), 1u);
        Snapshot s;
        s.record = records.at(0);
        for (int c = 0; c < 4; ++c) {
            const float* rows[12];
            std::memcpy(rows, &s.record.channels[c].harmonicsU, sizeof rows);
            for (int row = 0; row < 12; ++row) {
                if (rows[row] != nullptr) {
                    s.rows[c][kRows[row]].assign(rows[row], rows[row] + s.record.harmonicLength);
                }
            }
            if (s.record.channels[c].fftU != nullptr) {
                s.spectrumU[c].assign(s.record.channels[c].fftU, s.record.channels[c].fftU + s.record.fftOutputLength);
            }
        }
        snapshots.push_back(s);
    }
    return snapshots;
}

void within(double cpu, double cuda, double tolerance, const std::string& what) {
    EXPECT_LE(std::abs(cpu - cuda), tolerance) << what << ": CPU " << cpu << ", CUDA " << cuda;
}
void sum(double cpu, double cuda, double scale, const std::string& what) {
    within(cpu, cuda, 1e-5 * std::max({std::abs(cpu), std::abs(cuda), scale}), what);
}
void squares(double cpu, double cuda, double scale, const std::string& what) {
    within(cpu * cpu, cuda * cuda, 1e-5 * scale * scale, what + " squared");
}
float rowMax(const std::vector<float>& row) {
    return std::accumulate(row.begin(), row.end(), 0.0f, [](float m, float v) { return std::max(m, std::abs(v)); });
}

void sameThd(const PowerResultsThd& a, const PowerResultsThd& b, double rms, double h1, const std::string& at) {
    const double x[] = {a.thd, a.thdEven, a.thdOdd, a.thdOddTriplen, a.thdOddNonTriplen, a.thdRms};
    const double y[] = {b.thd, b.thdEven, b.thdOdd, b.thdOddTriplen, b.thdOddNonTriplen, b.thdRms};
    for (int k = 0; k < 6; ++k) {
        within(x[k], y[k], 1e-4 + 1e-5 * std::abs(x[k]), at + " percentage " + std::to_string(k));
    }
    sum(a.harmonicRms, b.harmonicRms, 1e-3 * rms, at + ".harmonicRms");
    squares(a.distortionRms, b.distortionRms, rms, at + ".distortionRms");
    squares(a.distortion, b.distortion, h1 > 0.0 ? 100.0 * rms / h1 : 0.0, at + ".distortion");
}

void sameChannel(const Snapshot& cpu, const Snapshot& cuda, int c) {
    const PowerResultsChannel& a = cpu.record.channels[c];
    const PowerResultsChannel& b = cuda.record.channels[c];
    const std::string at = "channel " + std::to_string(c) + " ";
    const double u = std::max(a.rmsU, 1.0), i = std::max(a.rmsI, 1.0), ul = std::max(a.rmsUL, 1.0);
    const double s = std::max(std::abs(a.s), 1.0);
    using F = double PowerResultsChannel::*;
    const std::pair<F, double> sums[] = {
        {&PowerResultsChannel::meanAbsU, u},   {&PowerResultsChannel::meanAbsI, i},
        {&PowerResultsChannel::meanAbsUL, ul}, {&PowerResultsChannel::rmsU, u},
        {&PowerResultsChannel::rmsI, i},       {&PowerResultsChannel::rmsUL, ul},
        {&PowerResultsChannel::rmsFftU, u},    {&PowerResultsChannel::rmsFftI, i},
        {&PowerResultsChannel::rmsFftUL, ul},  {&PowerResultsChannel::p, s},
        {&PowerResultsChannel::pFft, s},       {&PowerResultsChannel::s, s},
        {&PowerResultsChannel::q, s},          {&PowerResultsChannel::p1, s},
        {&PowerResultsChannel::q1, s},         {&PowerResultsChannel::s1, s},
        {&PowerResultsChannel::q1Sum, s},      {&PowerResultsChannel::z, 0.0},
        {&PowerResultsChannel::z1, 0.0},       {&PowerResultsChannel::harmonicRmsI, 1e-3 * i}};
    for (std::size_t k = 0; k < std::size(sums); ++k) {
        sum(a.*sums[k].first, b.*sums[k].first, sums[k].second, at + "sum field " + std::to_string(k));
    }
    within(a.h1U, b.h1U, 16 * kUlp * u, at + "h1U");
    within(a.h1I, b.h1I, 16 * kUlp * i, at + "h1I");
    within(a.h1UL, b.h1UL, 16 * kUlp * ul, at + "h1UL");
    squares(a.nonActivePower, b.nonActivePower, s, at + "nonActivePower");
    squares(a.d, b.d, s, at + "d");
    squares(a.d1, b.d1, s, at + "d1");
    within(a.lambda, b.lambda, 1e-5, at + "lambda");
    within(a.cosPhi1, b.cosPhi1, 1e-5, at + "cosPhi1");
    sameThd(a.thdU, b.thdU, u, a.h1U, at + "thdU");
    sameThd(a.thdI, b.thdI, i, a.h1I, at + "thdI");
    sameThd(a.thdUL, b.thdUL, ul, a.h1UL, at + "thdUL");
    sameThd(a.thdInterU, b.thdInterU, u, a.h1U, at + "thdInterU");
    sameThd(a.thdInterI, b.thdInterI, i, a.h1I, at + "thdInterI");
    sameThd(a.thdInterUL, b.thdInterUL, ul, a.h1UL, at + "thdInterUL");
    EXPECT_TRUE((a.fftI == nullptr) == (b.fftI == nullptr) && (a.fftUL == nullptr) == (b.fftUL == nullptr)) << at;
    ASSERT_EQ(cpu.rows[c].size(), cuda.rows[c].size()) << at << "arrays present";
    for (const auto& entry : cpu.rows[c]) {
        const std::string& name = entry.first;
        ASSERT_EQ(cuda.rows[c].count(name), 1u) << at << name;
        const std::vector<float>& x = entry.second;
        const std::vector<float>& y = cuda.rows[c].at(name);
        ASSERT_EQ(x.size(), y.size()) << at << name;
        const bool angle = name == "phasesU" || name == "phasesI";
        const bool angleDependent = name == "harmonicsP" || name == "harmonicsQ";
        // Angles and impedances of negligible orders (below 1 % of the row) are noise.
        const std::vector<float>& weights = cpu.rows[c].at(name == "phasesU"               ? "harmonicsU"
                                                           : angle || name == "harmonicsZ" ? "harmonicsI"
                                                                                           : name);
        const float largest = std::max(rowMax(x), angleDependent ? rowMax(cpu.rows[c].at("harmonicsS")) : 0.0f);
        for (std::size_t h = angle ? 1 : 0; h < x.size(); ++h) {
            const std::string what = at + name + " order " + std::to_string(h);
            if ((angle || name == "harmonicsZ") && weights[h] < 0.01f * rowMax(weights)) {
                continue;
            }
            if (angle) {
                within(angleDistance(x[h], y[h]), 0.0, 1e-3, what);
            } else if (name == "harmonicsZ") {
                within(x[h], y[h], 1e-5 * std::abs(x[h]) + 1e-6, what);
            } else {  // P and Q also move with the angle difference, by up to 1e-5 of S
                within(x[h], y[h], 16.0 * kUlp * largest + (angleDependent ? 1e-5 * largest : 0.0), what);
            }
        }
    }
    // The spectra themselves: bins agree to float ulps of the largest bin.
    ASSERT_EQ(cpu.spectrumU[c].size(), cuda.spectrumU[c].size()) << at << "spectrum";
    float largest = 0.0f;
    double worst = 0.0;
    for (std::size_t k = 0; k < cpu.spectrumU[c].size(); ++k) {
        const PowerFloat2 x = cpu.spectrumU[c][k], y = cuda.spectrumU[c][k];
        largest = std::max({largest, std::abs(x.x), std::abs(x.y)});
        worst = std::max({worst, std::abs(double(x.x) - y.x), std::abs(double(x.y) - y.y)});
    }
    EXPECT_LE(worst, 64.0 * kUlp * largest) << at << "spectrum";
}

void sameRecord(const Snapshot& cpu, const Snapshot& cuda) {
    const PowerResultsGeneral& a = cpu.record;
    const PowerResultsGeneral& b = cuda.record;
    EXPECT_TRUE(a.time == b.time && a.frequency == b.frequency && a.dFrequency == b.dFrequency &&
                a.firstSampleIndex == b.firstSampleIndex && a.length == b.length &&
                a.fftOutputLength == b.fftOutputLength && a.harmonicLength == b.harmonicLength &&
                a.phasesCount == b.phasesCount);
    for (int c = 0; c < 4; ++c) {
        sameChannel(cpu, cuda, c);
    }
    // Three-phase records, scaled by the positive sequence.
    const double u = std::max(std::hypot(a.symmetricalResults[1].u.x, a.symmetricalResults[1].u.y), 1.0);
    const double i = std::max(std::hypot(a.symmetricalResults[1].i.x, a.symmetricalResults[1].i.y), 1.0);
    const double s = 3.0 * u * i;
    for (int k = 0; k < 3; ++k) {
        const PowerResultsSymmetricalComponent& x = a.symmetricalResults[k];
        const PowerResultsSymmetricalComponent& y = b.symmetricalResults[k];
        const std::string at = "sequence " + std::to_string(k) + " ";
        // u, uL, i, |u|, |uL|, |i|, p, q, s, iActive, iReactive, lambda, rmsU, rmsI and the four ratios.
        static_assert(sizeof(PowerResultsSymmetricalComponent) == 21 * sizeof(double), "sequence layout");
        double v[21], w[21];
        std::memcpy(v, &x, sizeof v);
        std::memcpy(w, &y, sizeof w);
        const double perVolt = 1e-5 * s / std::max(x.uMagnitude, 1e-3 * u);
        const double lambda = std::min(2.0, 2e-5 * s / std::max(x.s, 1e-9));
        const double rmsU = 1e-5 * std::max(std::max(std::abs(v[15]), std::abs(w[15])), 1e-3 * u);
        const double rmsI = 1e-5 * std::max(std::max(std::abs(v[16]), std::abs(w[16])), 1e-3 * i);
        const double tolerance[21] = {1e-5 * u, 1e-5 * u, 2e-5 * u, 2e-5 * u, 1e-5 * i, 1e-5 * i, 1e-5 * u,
                                      2e-5 * u, 1e-5 * i, 1e-5 * s, 1e-5 * s, 1e-5 * s, perVolt,  perVolt,
                                      lambda,   rmsU,     rmsI,     1e-3,     1e-3,     1e-3,     1e-3};
        for (int f = 0; f < 21; ++f) {
            within(v[f], w[f], tolerance[f], at + "field " + std::to_string(f));
        }
        within(a.clarkeU[k].x, b.clarkeU[k].x, 1e-5 * u, "clarkeU.x " + std::to_string(k));
        within(a.clarkeU[k].y, b.clarkeU[k].y, 1e-5 * u, "clarkeU.y " + std::to_string(k));
        within(a.clarkeI[k].x, b.clarkeI[k].x, 1e-5 * i, "clarkeI.x " + std::to_string(k));
        within(a.clarkeI[k].y, b.clarkeI[k].y, 1e-5 * i, "clarkeI.y " + std::to_string(k));
        within(a.parkU[k], b.parkU[k], 2e-5 * u, "parkU " + std::to_string(k));
        within(a.parkI[k], b.parkI[k], 2e-5 * i, "parkI " + std::to_string(k));
    }
}

class GeneralResultsDifferential : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(GeneralResultsDifferential, CudaRecordsMatchCpuRecordsForRandomInputs) {
    POWERGPU_REQUIRE_BACKEND(POWER_BACKEND_CUDA);
    const auto grid = static_cast<PowerGridConfigType>(GetParam());
    const SignalFunction signal = randomInputs(0x5eed0000u + static_cast<uint32_t>(GetParam()));
    // Five windows at fundamentals around 50 Hz; the fourth wraps the ring end.
    std::mt19937 random(static_cast<uint32_t>(GetParam()));
    std::uniform_real_distribution<double> frequency(48.0, 52.0);
    std::vector<std::pair<uint64_t, double>> windows;
    for (const uint64_t first : {0, 2000, 3500, 6000, 9000}) {
        windows.emplace_back(first, frequency(random));
    }
    const std::vector<Snapshot> expected = runWindows(POWER_BACKEND_CPU, grid, signal, windows);
    const std::vector<Snapshot> actual = runWindows(POWER_BACKEND_CUDA, grid, signal, windows);
    ASSERT_TRUE(expected.size() == windows.size() && actual.size() == windows.size());
    for (std::size_t w = 0; w < windows.size(); ++w) {
        SCOPED_TRACE("grid " + std::to_string(GetParam()) + ", window at " + std::to_string(windows[w].first));
        sameRecord(expected[w], actual[w]);
    }
}

INSTANTIATE_TEST_SUITE_P(Grids, GeneralResultsDifferential, ::testing::Range(0, 8));
