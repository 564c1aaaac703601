// A producer thread writes samples and schedules windows while a consumer
// thread polls and fetches their records, as the library allows for one
// module. Every window carries its own amplitude, so a record that belongs
// to another window, a lost window or a reordered one is seen at once. The
// producer never waits for the consumer except where the library refuses a
// window because every result slot still holds an undelivered one; it then
// retries the same window.
//
// Meant to run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"
#include "support/Backends.h"

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kRate = 10000.0;
constexpr uint64_t kWindows = 10000;
constexpr int kLength = 200;  // one period of 50 Hz

// The rms value of window w: distinct for neighbouring windows.
double rmsOf(uint64_t window) {
    return 100.0 + static_cast<double>(window % 97);
}

class ResultsConcurrency : public ::testing::TestWithParam<int32_t> {};

}  // namespace

TEST_P(ResultsConcurrency, ProducerAndConsumerThreadsLoseAndReorderNoWindow) {
    PowerModule module(GetParam());
    module.beginUpdate();
    module.setSampleRate(kRate, 1);
    // A ring of 20 windows; the FFT of 4 periods at 45 Hz (1024) takes one-period
    // windows, and 0.4 s at up to 55 Hz in 4-period units gives 6 result slots,
    // so the producer can never overwrite samples of a window still in flight.
    module.setBufferLength(4000);
    module.setPeriodCount(4);
    module.setStaticFrequency(50.0, 0.1);
    module.setCurrentEnabled(false);
    module.endUpdate();
    module.reset(0);
    const uint64_t slots = module.implementation()->getBuffers().getGeneralResultsBufferLength();
    ASSERT_EQ(slots, 6u);
    float* ring = module.getWaveformBufferUInput(0);
    ASSERT_NE(ring, nullptr);
    const uint64_t ringLength = module.getBufferLength();

    std::atomic<bool> producerDone{false};
    std::atomic<bool> stop{false};
    std::vector<std::string> producerFailures;
    uint64_t refusals = 0;

    std::thread producer([&]() {
        for (uint64_t window = 0; window < kWindows && !stop.load(); ++window) {
            const uint64_t first = window * kLength;
            const double amplitude = rmsOf(window) * std::sqrt(2.0);
            for (int k = 0; k < kLength; ++k) {
                ring[(first + static_cast<uint64_t>(k)) % ringLength] =
                    static_cast<float>(amplitude * std::sin(kTwoPi * k / kLength));
            }
            try {
                module.writeSamples(kLength);
            } catch (const std::exception& e) {
                producerFailures.push_back(std::string("writeSamples: ") + e.what());
                break;
            }
            for (;;) {
                try {
                    module.scheduleForCalculation(first, kLength, 50.0);
                    break;
                } catch (const PowerInvalidCall& e) {
                    // Only the full result ring is a reason to wait.
                    if (std::string(e.what()).find("result slots") == std::string::npos) {
                        producerFailures.push_back(std::string("scheduleForCalculation: ") + e.what());
                        stop = true;
                        break;
                    }
                    ++refusals;
                    std::this_thread::yield();
                }
            }
        }
        producerDone = true;
    });

    uint64_t delivered = 0;
    int wrongStarts = 0;
    int wrongValues = 0;
    std::string firstProblem;
    const auto check = [&](const std::vector<PowerResultsGeneral>& records) {
        for (const PowerResultsGeneral& r : records) {
            if (r.firstSampleIndex != delivered * kLength || r.length != static_cast<uint32_t>(kLength)) {
                if (wrongStarts++ == 0) {
                    firstProblem =
                        "record " + std::to_string(delivered) + " starts at " + std::to_string(r.firstSampleIndex);
                }
            } else if (std::abs(r.channels[0].rmsU - rmsOf(delivered)) > 1e-4 * rmsOf(delivered)) {
                if (wrongValues++ == 0) {
                    firstProblem = "record " + std::to_string(delivered) + " has rmsU " +
                                   std::to_string(r.channels[0].rmsU) + " instead of " +
                                   std::to_string(rmsOf(delivered));
                }
            }
            ++delivered;
        }
    };
    std::thread consumer([&]() {
        while (delivered < kWindows && !stop.load()) {
            if (module.isAnyResultReady()) {
                check(module.getResults(8));
                continue;
            }
            if (producerDone.load()) {
                // Everything is scheduled: what is still missing must arrive
                // once the device has finished.
                module.sync();
                const std::vector<PowerResultsGeneral> rest = module.getResults(0);
                if (rest.empty()) {
                    break;
                }
                check(rest);
                continue;
            }
            std::this_thread::yield();
        }
        stop = true;
    });
    producer.join();
    consumer.join();

    for (const std::string& failure : producerFailures) {
        ADD_FAILURE() << failure;
    }
    EXPECT_EQ(delivered, kWindows) << "windows lost";
    EXPECT_EQ(wrongStarts, 0) << firstProblem;
    EXPECT_EQ(wrongValues, 0) << firstProblem;
    EXPECT_EQ(module.implementation()->getNextSampleToDeliver(), kWindows * kLength);
    EXPECT_FALSE(module.isAnyResultReady());
    RecordProperty("refusedForFullResultSlots", std::to_string(refusals));
}

POWERGPU_INSTANTIATE_FOR_BACKENDS(ResultsConcurrency);
