#include "support/FlickerSignals.h"

#include <algorithm>
#include <cmath>

namespace flickertest {

Envelope rectangular(double changesPerMinute, double relativeChange) {
    return [=](double t) {
        const auto step = static_cast<long long>(std::floor(t * changesPerMinute / 60.0));
        return 1.0 + (step % 2 == 0 ? 0.5 : -0.5) * relativeChange;
    };
}

Envelope sinusoidal(double hz, double relativeChange) {
    return [=](double t) { return 1.0 + 0.5 * relativeChange * std::sin(2.0 * kPi * hz * t); };
}

Envelope steady() {
    return [](double) { return 1.0; };
}

FlickerRig::FlickerRig(const Signal& signal, std::vector<Envelope> envelopes)
    : signal_(signal), envelopes_(std::move(envelopes)), module_(signal.backend) {
    const auto channels = static_cast<int>(envelopes_.size());
    const PowerGridConfigType grid = signal.grid >= 0 ? static_cast<PowerGridConfigType>(signal.grid)
                                     : channels == 1  ? SinglePhase
                                                      : ThreePhaseStar;
    ring_ = static_cast<uint32_t>(std::max(16000.0, 4.0 * signal.block));
    module_.beginUpdate();
    module_.setSampleRate(signal.rate, 1);
    module_.setBufferLength(ring_);
    module_.setGridConfigType(grid);
    module_.setStaticFrequency(signal.supply, 0.1);
    module_.setCurrentEnabled(false);
    module_.setFlickerEnabled(true);
    module_.setFlickerLamp(signal.lamp);
    module_.setFlickerSystemFrequency(signal.supply);
    module_.setFlickerIntervalStart(signal.intervalStart);
    module_.endUpdate();
    module_.reset(0);
    for (int c = 0; c < channels; ++c) {
        rings_.push_back(module_.getWaveformBufferUInput(static_cast<uint8_t>(c)));
    }
    measured_.pst.resize(envelopes_.size());
    measured_.pinst.resize(envelopes_.size());
}

void FlickerRig::writeUntil(double seconds) {
    const double amplitude = std::sqrt(2.0) * (signal_.lamp == POWER_FLICKER_LAMP_120V ? 120.0 : 230.0);
    const auto end = static_cast<uint64_t>(std::llround(seconds * signal_.rate));
    while (next_ < end) {
        const auto count = static_cast<uint32_t>(std::min<uint64_t>(signal_.block, end - next_));
        for (uint64_t k = next_; k < next_ + count; ++k) {
            const double t = static_cast<double>(k) / signal_.rate;
            for (std::size_t c = 0; c < rings_.size(); ++c) {
                const double phase = 2.0 * kPi * (signal_.supply * t - static_cast<double>(c) / 3.0);
                rings_[c][k % ring_] = static_cast<float>(amplitude * envelopes_[c](t) * std::sin(phase));
            }
        }
        module_.writeSamples(count);
        next_ += count;
        collect();
    }
}

void FlickerRig::skip(uint32_t count) {
    module_.skipSamples(count);
    next_ += count;
}

void FlickerRig::collect() {
    std::vector<PowerFlickerPst> pst(16);
    std::vector<PowerFlickerPinst> pinst(4096);
    for (std::size_t c = 0; c < rings_.size(); ++c) {
        const auto ch = static_cast<uint8_t>(c);
        std::size_t n = 0;
        while ((n = module_.getFlickerPinst(ch, pinst.size(), pinst.data())) > 0) {
            measured_.pinst[c].insert(measured_.pinst[c].end(), pinst.begin(), pinst.begin() + n);
        }
        while ((n = module_.getFlickerPst(ch, pst.size(), pst.data())) > 0) {
            measured_.pst[c].insert(measured_.pst[c].end(), pst.begin(), pst.begin() + n);
        }
    }
}

Measured measure(const Signal& signal, const std::vector<Envelope>& envelopes) {
    FlickerRig rig(signal, envelopes);
    rig.writeUntil(signal.seconds);
    return rig.measured();
}

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

std::vector<double> largestPinst(const Measured& m, double from, double rate) {
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

}  // namespace flickertest
