// The flickermeter against the standard's own test signals: rectangular and
// sinusoidal modulations of a sine whose Pst or largest Pinst the standard
// tabulates as 1, a steady sine, and regular 5 % steps whose Pst the
// analytical method predicts. Signals are synthesised at 1600 Hz (the
// meter's lowest rate, so each 10-minute interval is under a million
// samples) and measured through the module, three channels at a time.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "powergpu.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 1600.0;
constexpr uint32_t kRing = 16000;
constexpr uint32_t kBlock = 4000;

// Relative envelope of a channel at time t (seconds).
using Envelope = std::function<double(double)>;

// Rectangular modulation: changes per minute, relative peak-to-peak change;
// the changes fall on whole multiples of 60 / changesPerMinute seconds.
Envelope rectangular(double changesPerMinute, double relativeChange) {
    return [=](double t) {
        const auto step = static_cast<long long>(std::floor(t * changesPerMinute / 60.0));
        return 1.0 + (step % 2 == 0 ? 0.5 : -0.5) * relativeChange;
    };
}

Envelope sinusoidal(double hz, double relativeChange) {
    return [=](double t) { return 1.0 + 0.5 * relativeChange * std::sin(2.0 * kPi * hz * t); };
}

struct Measured {
    std::vector<std::vector<PowerFlickerPst>> pst;
    std::vector<std::vector<PowerFlickerPinst>> pinst;
};

struct Setup {
    double supply = 50.0;
    int32_t lamp = POWER_FLICKER_LAMP_230V;
    uint64_t intervalStart = 0;
    double seconds = 60.0;
    double rate = kRate;
    uint32_t block = kBlock;
};

// Writes `seconds` of 230 V sines (120 V for the 120 V lamp) with the given
// envelopes, one per channel of a three-phase star module (or a
// single-phase one for one envelope), and collects every record.
Measured measure(const Setup& s, const std::vector<Envelope>& envelopes) {
    PowerModule module(POWER_BACKEND_CPU);
    const auto channels = static_cast<int>(envelopes.size());
    const auto ring = static_cast<uint32_t>(std::max<double>(kRing, 10.0 * s.rate / 10.0));
    module.beginUpdate();
    module.setSampleRate(s.rate, 1);
    module.setBufferLength(ring);
    module.setGridConfigType(channels == 1 ? SinglePhase : ThreePhaseStar);
    module.setStaticFrequency(s.supply, 0.1);
    module.setCurrentEnabled(false);
    module.setFlickerEnabled(true);
    module.setFlickerLamp(s.lamp);
    module.setFlickerSystemFrequency(s.supply);
    module.setFlickerIntervalStart(s.intervalStart);
    module.endUpdate();
    module.reset(0);
    const double amplitude = std::sqrt(2.0) * (s.lamp == POWER_FLICKER_LAMP_120V ? 120.0 : 230.0);
    std::vector<float*> rings;
    for (int c = 0; c < channels; ++c) {
        rings.push_back(module.getWaveformBufferUInput(static_cast<uint8_t>(c)));
    }
    Measured m;
    m.pst.resize(envelopes.size());
    m.pinst.resize(envelopes.size());
    std::vector<PowerFlickerPst> pst(16);
    std::vector<PowerFlickerPinst> pinst(4096);
    const auto total = static_cast<uint64_t>(std::llround(s.seconds * s.rate));
    for (uint64_t written = 0; written < total;) {
        const auto count = static_cast<uint32_t>(std::min<uint64_t>(s.block, total - written));
        for (uint64_t k = written; k < written + count; ++k) {
            const double t = static_cast<double>(k) / s.rate;
            for (int c = 0; c < channels; ++c) {
                const double phase = 2.0 * kPi * (s.supply * t - c / 3.0);
                rings[c][k % ring] = static_cast<float>(amplitude * envelopes[c](t) * std::sin(phase));
            }
        }
        module.writeSamples(count);
        written += count;
        for (int c = 0; c < channels; ++c) {
            const auto ch = static_cast<uint8_t>(c);
            std::size_t n = 0;
            while ((n = module.getFlickerPinst(ch, pinst.size(), pinst.data())) > 0) {
                m.pinst[c].insert(m.pinst[c].end(), pinst.begin(), pinst.begin() + n);
            }
            n = module.getFlickerPst(ch, pst.size(), pst.data());
            m.pst[c].insert(m.pst[c].end(), pst.begin(), pst.begin() + n);
        }
    }
    return m;
}

// The Pst of the first complete interval of every channel.
std::vector<double> completePst(const Measured& m) {
    std::vector<double> out;
    for (const auto& records : m.pst) {
        double value = NAN;
        for (const PowerFlickerPst& r : records) {
            if (r.complete) {
                value = r.pst;
                break;
            }
        }
        out.push_back(value);
    }
    return out;
}

// The largest Pinst of each channel from time `from` on.
std::vector<double> largestPinst(const Measured& m, double from, double rate = kRate) {
    std::vector<double> out;
    for (const auto& records : m.pinst) {
        double largest = 0.0;
        for (const PowerFlickerPinst& r : records) {
            if (static_cast<double>(r.firstSampleIndex) / rate >= from) {
                largest = std::max(largest, r.max);
            }
        }
        out.push_back(largest);
    }
    return out;
}

struct Row {
    double x;        // changes per minute or hertz
    double percent;  // relative change in %
};

// The interval from 30 s to 630 s: the meter has settled and the first
// changes of each signal lie behind it.
Setup tenMinutes(double supply, int32_t lamp) {
    Setup s;
    s.supply = supply;
    s.lamp = lamp;
    s.intervalStart = static_cast<uint64_t>(30 * kRate);
    s.seconds = 631.0;
    return s;
}

void expectRectangularPstOne(const Setup& setup, const std::vector<Row>& rows) {
    for (std::size_t first = 0; first < rows.size(); first += 3) {
        std::vector<Envelope> envelopes;
        for (std::size_t r = first; r < std::min(rows.size(), first + 3); ++r) {
            envelopes.push_back(rectangular(rows[r].x, rows[r].percent / 100.0));
        }
        const std::vector<double> pst = completePst(measure(setup, envelopes));
        for (std::size_t c = 0; c < envelopes.size(); ++c) {
            const Row& row = rows[first + c];
            EXPECT_NEAR(pst[c], 1.0, 0.05) << row.x << " changes/min at " << row.percent << " %";
            std::printf("  rectangular %7.1f /min %6.3f %%: Pst %.4f\n", row.x, row.percent, pst[c]);
        }
    }
}

TEST(FlickerStandard, RectangularModulationGivesPstOneFor230VLampOn50Hz) {
    expectRectangularPstOne(tenMinutes(50.0, POWER_FLICKER_LAMP_230V),
                            {{1, 2.715}, {2, 2.191}, {7, 1.450}, {39, 0.894}, {110, 0.722}, {1620, 0.407},
                             {4000, 2.343}});
}

TEST(FlickerStandard, RectangularModulationGivesPstOneFor120VLampOn60Hz) {
    expectRectangularPstOne(tenMinutes(60.0, POWER_FLICKER_LAMP_120V),
                            {{1, 3.181}, {2, 2.564}, {7, 1.694}, {39, 1.040}, {110, 0.844}, {1620, 0.548},
                             {4800, 4.837}});
}

}  // namespace
