// The flickermeter of one voltage channel: blocks 1 to 5 in order, the
// bookkeeping of running indices, 10 ms Pinst blocks and 10-minute
// intervals. Host code, the same under both backends.
#pragma once

#include <cstdint>
#include <vector>

#include "flicker/DecimationPlan.h"
#include "flicker/FilterDesign.h"
#include "flicker/FlickerSettings.h"
#include "flicker/InputAdaptor.h"
#include "flicker/LampModel.h"
#include "flicker/SensationFilter.h"
#include "flicker/ShortTermStatistics.h"
#include "flicker/SquaringDemodulator.h"
#include "flicker/WeightingFilter.h"
#include "powergpu.h"

namespace powergpu::flicker {

// Time the chain runs after a (re)start before Pinst counts: the carrier
// that starts abruptly rings in the low-pass and the weighting for some
// 0.2 s and the 300 ms memory holds it a little longer; after 5 s what is
// left is below 1e-6 of its start.
constexpr double kSettleSeconds = 5.0;

struct MeterOutput {
    std::vector<PowerFlickerPinst> pinst;
    std::vector<PowerFlickerPst> pst;
};

class FlickerMeter {
public:
    void configure(const DecimationPlan& plan, const LampParameters& lamp, double systemFrequency,
                   uint64_t intervalStart, uint8_t channel);
    // Feeds count samples with the running indices first, first + 1, ...
    // Samples that do not continue the previous call restart the meter.
    void feed(const float* samples, std::size_t count, uint64_t first, MeterOutput& out);
    const DecimationPlan& plan() const { return plan_; }
    double pinstScale() const { return scale_; }

private:
    void restart(uint64_t first, MeterOutput& out);
    void onValue(double demodulated, MeterOutput& out);
    void openInterval(uint64_t valueStart);
    void closeInterval(bool reachedEnd, MeterOutput& out);

    DecimationPlan plan_;
    uint64_t intervalOrigin_ = 0;
    uint8_t channel_ = 0;
    double scale_ = 1.0;
    uint64_t settleValues_ = 0;

    SquaringDemodulator demodulator_;
    InputAdaptor adaptor_;
    WeightingFilter weighting_;
    SensationFilter sensation_;
    ShortTermStatistics statistics_;
    std::vector<double> scratch_;

    bool started_ = false;
    uint64_t expected_ = 0;     // running index the next sample must have
    uint64_t skipUntil_ = 0;    // first sample on the 10 ms grid after a start
    uint64_t valueStart_ = 0;   // running index of the next value's first sample
    uint64_t valueCount_ = 0;   // values since the grid point
    uint64_t chainValues_ = 0;  // values through the chain since the level was known
    bool reporting_ = false;

    uint64_t blockStart_ = 0;
    uint32_t blockCount_ = 0;
    double blockSum_ = 0.0;
    double blockMax_ = 0.0;

    bool intervalOpen_ = false;
    bool intervalFromStart_ = false;
    bool intervalBeforeZero_ = false;
    uint64_t intervalStart_ = 0;
    uint64_t classified_ = 0;
};

// The smallest index >= index on the grid origin + k step (any integer k).
uint64_t nextGridPoint(uint64_t index, uint64_t origin, uint64_t step);
// The largest index <= index on that grid.
uint64_t gridFloor(uint64_t index, uint64_t origin, uint64_t step);

}  // namespace powergpu::flicker
