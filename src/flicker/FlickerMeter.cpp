#include "flicker/FlickerMeter.h"

#include <algorithm>
#include <cmath>

namespace powergpu::flicker {

namespace {

// Input samples demodulated per pass: bounds the scratch of values.
constexpr std::size_t kChunkSamples = 65536;

uint64_t gridOffset(uint64_t index, uint64_t origin, uint64_t step) {
    return index >= origin ? (index - origin) % step : (step - (origin - index) % step) % step;
}

}  // namespace

uint64_t nextGridPoint(uint64_t index, uint64_t origin, uint64_t step) {
    const uint64_t offset = gridOffset(index, origin, step);
    return offset == 0 ? index : index + (step - offset);
}

uint64_t gridFloor(uint64_t index, uint64_t origin, uint64_t step) {
    return index - gridOffset(index, origin, step);
}

void FlickerMeter::configure(const DecimationPlan& plan, const LampParameters& lamp, double systemFrequency,
                             uint64_t intervalStart, uint8_t channel) {
    plan_ = plan;
    intervalOrigin_ = intervalStart;
    channel_ = channel;
    demodulator_.configure(plan.decimation);
    adaptor_.configure(plan.internalRate, systemFrequency);
    weighting_.configure(lamp, systemFrequency, plan.internalRate);
    // The scale comes from the 230 V lamp whatever lamp is measured.
    WeightingFilter reference;
    reference.configure(lampParameters(kLamp230V), systemFrequency, plan.internalRate);
    const double d = static_cast<double>(plan.decimation);
    const double x = 3.14159265358979323846 * kReferenceModulationHz / plan.sampleRate;
    const double averaging = std::abs(std::sin(d * x) / (d * std::sin(x)));
    sensation_.configure(plan.internalRate, 1.0);
    scale_ =
        powergpu::flicker::pinstScale(averaging * std::abs(reference.response(kReferenceModulationHz)), sensation_);
    sensation_.configure(plan.internalRate, scale_);
    settleValues_ = static_cast<uint64_t>(std::ceil(kSettleSeconds * plan.internalRate));
    scratch_.assign(kChunkSamples / plan.decimation + 1, 0.0);
    started_ = false;
    intervalOpen_ = false;
}

void FlickerMeter::restart(uint64_t first, MeterOutput& out) {
    if (intervalOpen_) {
        closeInterval(false, out);
    }
    demodulator_.clear();
    adaptor_.clear();
    sensation_.clear();
    statistics_.clear();
    skipUntil_ = nextGridPoint(first, intervalOrigin_, plan_.samplesPerPinst);
    valueStart_ = skipUntil_;
    valueCount_ = 0;
    chainValues_ = 0;
    reporting_ = false;
    blockCount_ = 0;
    blockSum_ = 0.0;
    blockMax_ = 0.0;
    started_ = true;
}

void FlickerMeter::feed(const float* samples, std::size_t count, uint64_t first, MeterOutput& out) {
    if (count == 0) {
        return;
    }
    if (!started_ || first != expected_) {
        restart(first, out);
    }
    expected_ = first + count;
    std::size_t k = first < skipUntil_ ? static_cast<std::size_t>(std::min<uint64_t>(count, skipUntil_ - first)) : 0;
    while (k < count) {
        const std::size_t n = std::min(count - k, kChunkSamples);
        const std::size_t produced = demodulator_.process(samples + k, n, scratch_.data());
        for (std::size_t v = 0; v < produced; ++v) {
            onValue(scratch_[v], out);
        }
        k += n;
    }
}

void FlickerMeter::onValue(double demodulated, MeterOutput& out) {
    const uint64_t start = valueStart_;
    valueStart_ += plan_.decimation;
    const uint64_t index = valueCount_++;
    if (!adaptor_.ready()) {
        adaptor_.normalise(demodulated);
        if (adaptor_.ready()) {
            weighting_.settle(1.0);
            sensation_.clear();
        }
        return;
    }
    const double pinst = sensation_.process(weighting_.process(adaptor_.normalise(demodulated)));
    if (++chainValues_ <= settleValues_) {
        return;
    }
    if (!reporting_) {
        // Reports begin on a 10 ms point of the grid.
        if (index % plan_.valuesPerPinst != 0) {
            return;
        }
        reporting_ = true;
    }
    if (blockCount_ == 0) {
        blockStart_ = start;
        blockSum_ = 0.0;
        blockMax_ = pinst;
    }
    blockSum_ += pinst;
    blockMax_ = std::max(blockMax_, pinst);
    if (++blockCount_ == plan_.valuesPerPinst) {
        PowerFlickerPinst record{};
        record.firstSampleIndex = blockStart_;
        record.length = static_cast<uint32_t>(plan_.samplesPerPinst);
        record.channel = channel_;
        record.mean = blockSum_ / plan_.valuesPerPinst;
        record.max = blockMax_;
        out.pinst.push_back(record);
        blockCount_ = 0;
    }
    if (!intervalOpen_) {
        openInterval(start);
    } else if (start - intervalStart_ >= plan_.samplesPerInterval) {
        closeInterval(true, out);
        openInterval(start);
    }
    statistics_.add(pinst);
    ++classified_;
}

void FlickerMeter::openInterval(uint64_t valueStart) {
    intervalStart_ = gridFloor(valueStart, intervalOrigin_, plan_.samplesPerInterval);
    // An interval that would begin before running index 0 has no index to
    // report: it is measured (the arithmetic wraps consistently) but not
    // handed out.
    intervalBeforeZero_ = intervalStart_ > valueStart;
    // Opened at its start: either by the end of the one before, or a start
    // that happened to land there.
    intervalFromStart_ = valueStart - intervalStart_ < plan_.decimation;
    intervalOpen_ = true;
    classified_ = 0;
    statistics_.clear();
}

void FlickerMeter::closeInterval(bool reachedEnd, MeterOutput& out) {
    intervalOpen_ = false;
    if (classified_ == 0 || intervalBeforeZero_) {
        return;
    }
    const ShortTermSeverity s = statistics_.evaluate();
    PowerFlickerPst record{};
    record.firstSampleIndex = intervalStart_;
    record.length = plan_.samplesPerInterval;
    record.pst = s.pst;
    record.p01 = s.p01;
    record.p1s = s.p1s;
    record.p3s = s.p3s;
    record.p10s = s.p10s;
    record.p50s = s.p50s;
    record.coverage = std::min(
        1.0, static_cast<double>(classified_) * plan_.decimation / static_cast<double>(plan_.samplesPerInterval));
    record.channel = channel_;
    record.complete = reachedEnd && intervalFromStart_;
    out.pst.push_back(record);
}

}  // namespace powergpu::flicker
