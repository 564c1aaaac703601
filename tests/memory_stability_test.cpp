// A module's memory is what its settings size: a long stream of windows
// (and period values) allocates nothing that stays behind. Under
// AddressSanitizer the leak checker also runs over this stream at exit.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cmath>
#include <vector>

#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"
#include "runtime/CpuRuntime.h"
#include "support/ModuleFeeder.h"

namespace {

constexpr double kRate = 1000.0;
constexpr double kFrequency = 50.0;
constexpr uint32_t kWindow = 200;  // 10 periods
constexpr int kWindows = 100000;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kHeapCountersMeaningful = false;
#else
constexpr bool kHeapCountersMeaningful = true;
#endif

size_t heapInUse() { return mallinfo2().uordblks; }

TEST(MemoryStability, HundredThousandWindowsLeaveNothingBehind) {
    PowerModule module(POWER_BACKEND_CPU);
    module.beginUpdate();
    module.setSampleRate(kRate, 100);
    module.setBufferLength(2000);
    module.setGridConfigType(ThreePhaseStar);
    module.setStaticFrequency(kFrequency, 0.1);
    module.setThdEnabled(true);
    module.setSymmetricalComponentsEnabled(true);
    module.setPeriodValuesEnabled(true);
    module.setRvcEnabled(true);
    module.endUpdate();
    module.reset(0);
    auto& runtime = dynamic_cast<powergpu::CpuRuntime&>(module.implementation()->runtime());

    powergpu::test::ModuleFeeder feeder(module, [](char kind, int channel, double t) {
        const double angle = 2.0 * 3.14159265358979 * (kFrequency * t - channel / 3.0);
        return kind == 'U' ? 325.0 * std::sin(angle) : 14.0 * std::sin(angle - 0.3);
    });
    std::vector<uint64_t> starts(10);
    std::vector<int> lengths(10, 2000);  // 20 samples of 100 positions
    std::vector<double> frequencies(10, kFrequency);
    bool valid[10] = {true, true, true, true, true, true, true, true, true, true};
    uint64_t cycle = 0;
    uint64_t delivered = 0;
    uint64_t periodValues = 0;

    const auto runWindows = [&](int count) {
        for (int w = 0; w < count; ++w) {
            const uint64_t first = feeder.written();
            feeder.write(kWindow);
            module.scheduleForCalculation(first, static_cast<int>(kWindow), kFrequency);
            delivered += module.getResults(0).size();
            for (auto& start : starts) {
                start = cycle++ * 2000;
            }
            module.scheduleForPeriodCalculation(10, starts.data(), lengths.data(), frequencies.data(), valid);
            bool more = true;
            while (more) {
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
    const size_t heap = heapInUse();

    runWindows(kWindows - 1000);

    EXPECT_EQ(delivered, static_cast<uint64_t>(kWindows));
    EXPECT_GE(periodValues, static_cast<uint64_t>(kWindows) * 9);
    EXPECT_EQ(runtime.liveDeviceBytes(), deviceBytes);
    EXPECT_EQ(runtime.liveHostBytes(), hostBytes);
    // The pending window owns two events; delivered windows release theirs.
    EXPECT_EQ(runtime.liveEvents(), events);
    EXPECT_LE(runtime.liveEvents(), 4u);
    if (kHeapCountersMeaningful) {
        EXPECT_LT(heapInUse(), heap + 64 * 1024) << "the heap grew over 99 000 windows";
    }
}

}  // namespace
