// The flickermeter against the standard's own test signals: rectangular and
// sinusoidal modulations of a sine whose Pst or largest Pinst the standard
// tabulates as 1, a steady sine, and regular 5 % steps whose Pst the
// analytical method predicts. Signals are synthesised at 1600 Hz (the
// meter's lowest rate, so each 10-minute interval is under a million
// samples) and measured through the module, three channels at a time.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "powergpu.hpp"
#include "support/FlickerSignals.h"

namespace {

using namespace flickertest;

struct Row {
    double x;        // changes per minute or hertz
    double percent;  // relative change in %
};

// The interval from 30 s to 630 s: the meter has settled and the first
// changes of each signal lie behind it.
Signal tenMinutes(double supply, int32_t lamp) {
    Signal s;
    s.supply = supply;
    s.lamp = lamp;
    s.intervalStart = static_cast<uint64_t>(30 * kRate);
    s.seconds = 631.0;
    return s;
}

void expectRectangularPstOne(const Signal& setup, const std::vector<Row>& rows) {
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
    expectRectangularPstOne(
        tenMinutes(50.0, POWER_FLICKER_LAMP_230V),
        {{1, 2.715}, {2, 2.191}, {7, 1.450}, {39, 0.894}, {110, 0.722}, {1620, 0.407}, {4000, 2.343}});
}

TEST(FlickerStandard, RectangularModulationGivesPstOneFor120VLampOn60Hz) {
    expectRectangularPstOne(
        tenMinutes(60.0, POWER_FLICKER_LAMP_120V),
        {{1, 3.181}, {2, 2.564}, {7, 1.694}, {39, 1.040}, {110, 0.844}, {1620, 0.548}, {4800, 4.837}});
}

}  // namespace

namespace {

// Sinusoidal modulations whose largest Pinst the standard tabulates as 1
// (230 V lamp, 50 Hz supply), measured from 60 s on so the input adaptor
// has left its start-up averaging.
TEST(FlickerStandard, SinusoidalModulationGivesLargestPinstOne) {
    const std::vector<Row> rows{
        {0.5, 2.325},  {1.0, 1.397},  {1.5, 1.067},  {2.0, 0.879},  {2.5, 0.747},  {3.0, 0.645},
        {3.5, 0.564},  {4.0, 0.497},  {4.5, 0.442},  {5.0, 0.396},  {5.5, 0.357},  {6.0, 0.325},
        {6.5, 0.300},  {7.0, 0.280},  {7.5, 0.265},  {8.0, 0.256},  {8.8, 0.250},  {9.5, 0.254},
        {10.0, 0.261}, {10.5, 0.271}, {11.0, 0.283}, {11.5, 0.298}, {12.0, 0.314}, {13.0, 0.351},
        {14.0, 0.393}, {15.0, 0.438}, {16.0, 0.486}, {17.0, 0.537}, {18.0, 0.590}, {19.0, 0.646},
        {20.0, 0.704}, {21.0, 0.764}, {22.0, 0.828}, {23.0, 0.894}, {24.0, 0.964}, {25.0, 1.037}};
    Signal setup;
    setup.seconds = 75.0;
    for (std::size_t first = 0; first < rows.size(); first += 3) {
        std::vector<Envelope> envelopes;
        for (std::size_t r = first; r < std::min(rows.size(), first + 3); ++r) {
            envelopes.push_back(sinusoidal(rows[r].x, rows[r].percent / 100.0));
        }
        const std::vector<double> largest = largestPinst(measure(setup, envelopes), 60.0);
        for (std::size_t c = 0; c < envelopes.size(); ++c) {
            const Row& row = rows[first + c];
            EXPECT_NEAR(largest[c], 1.0, 0.08) << row.x << " Hz at " << row.percent << " %";
            std::printf("  sinusoidal %5.1f Hz %6.3f %%: largest Pinst %.4f\n", row.x, row.percent, largest[c]);
        }
    }
}

}  // namespace

namespace {

// A steady sine flickers by nothing: what is left is the carrier at twice
// the supply frequency that the 35 Hz low-pass and the weighting let
// through. Regular 5 % steps every 10 s (6 changes per minute) give the Pst
// of the analytical method for rectangular changes,
//   Pst = (sum of tf / 600 s)^(1 / 3.2),  tf = 2.3 s (F d)^3.2,  d in %, F = 1,
// which approximates the flickermeter within a few percent for changes this
// far apart (they are counted as independent).
TEST(FlickerStandard, SteadySineIsQuietAndRegularStepsMatchTheAnalyticalMethod) {
    const Signal setup = tenMinutes(50.0, POWER_FLICKER_LAMP_230V);
    const std::vector<double> pst = completePst(measure(setup, {[](double) { return 1.0; }, rectangular(6.0, 0.05)}));
    EXPECT_LT(pst[0], 0.01);
    const double changes = 60.0;
    const double predicted = std::pow(changes * 2.3 * std::pow(5.0, 3.2) / 600.0, 1.0 / 3.2);
    EXPECT_NEAR(pst[1], predicted, 0.08 * predicted);
    std::printf("  steady sine: Pst %.5f; 5 %% steps every 10 s: Pst %.4f, analytical %.4f\n", pst[0], pst[1],
                predicted);
}

}  // namespace
