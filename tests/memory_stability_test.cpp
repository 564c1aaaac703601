// A long stream of windows and period values leaves nothing behind (under
// AddressSanitizer the leak checker runs over it too).
#include <malloc.h>

#include "support/TestSupport.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kHeapCountersMeaningful = false;
#else
constexpr bool kHeapCountersMeaningful = true;
#endif

TEST(MemoryStability, HundredThousandWindowsLeaveNothingBehind) {
    PowerModule module = powergpu::test::recordedModule();
    const auto options = [](PowerModule& m) {
        m.setGridConfigType(ThreePhaseStar);
        powergpu::test::enable(m, {&PowerModule::setThdEnabled, &PowerModule::setSymmetricalComponentsEnabled,
                                   &PowerModule::setPeriodValuesEnabled, &PowerModule::setRvcEnabled});
    };
    powergpu::test::configure(module, 1000.0, 2000, options, 100);
    powergpu::RecordingRuntime& runtime = powergpu::test::recordingRuntime(module);
    powergpu::test::ModuleFeeder feeder(module, [](char kind, int channel, double t) {
        const double angle = powergpu::test::kTwoPi * (50.0 * t - channel / 3.0);
        return kind == 'U' ? 325.0 * std::sin(angle) : 14.0 * std::sin(angle - 0.3);
    });
    std::vector<uint64_t> starts(10);
    std::vector<int> lengths(10, 2000);  // 20 samples of 100 positions: one cycle of 50 Hz
    std::vector<double> frequencies(10, 50.0);
    bool valid[10] = {true, true, true, true, true, true, true, true, true, true};
    uint64_t cycle = 0, delivered = 0, periodValues = 0;
    const auto runWindows = [&](int count) {
        for (int w = 0; w < count; ++w) {
            const uint64_t first = feeder.written();
            feeder.write(200);  // 10 periods
            module.scheduleForCalculation(first, 200, 50.0);
            delivered += module.getResults(0).size();
            for (uint64_t& start : starts) {
                start = cycle++ * 2000;
            }
            module.scheduleForPeriodCalculation(10, starts.data(), lengths.data(), frequencies.data(), valid);
            for (bool more = true; more;) {
                int values = 0;
                PowerResultsPeriod* records = nullptr;
                module.getPeriodResults(&values, &more, &records);
                periodValues += static_cast<uint64_t>(values);
            }
        }
    };
    runWindows(1000);  // warm up: every cache and queue at its working size
    const size_t deviceBytes = runtime.liveDeviceBytes();
    const size_t hostBytes = runtime.liveHostBytes();
    const size_t events = runtime.liveEvents();
    const size_t heap = mallinfo2().uordblks;
    runWindows(99000);
    EXPECT_EQ(delivered, 100000u);
    EXPECT_GE(periodValues, 100000u * 9);
    EXPECT_EQ(runtime.liveDeviceBytes(), deviceBytes);
    EXPECT_EQ(runtime.liveHostBytes(), hostBytes);
    EXPECT_EQ(runtime.liveEvents(), events) << "delivered windows release their events";
    EXPECT_LE(runtime.liveEvents(), 4u) << "the pending window owns two";
    if (kHeapCountersMeaningful) {
        EXPECT_LT(mallinfo2().uordblks, heap + 64 * 1024) << "the heap grew over 99 000 windows";
    }
}

}  // namespace
