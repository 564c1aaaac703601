// A producer thread writes and schedules while a consumer polls and fetches;
// each window carries its own amplitude, so a lost, foreign or reordered record
// shows at once. The producer waits only while every result slot is taken.
#include <atomic>
#include <cstdlib>
#include <thread>

#include "support/TestSupport.h"

namespace {

// 10000 windows; a run under a device sanitizer, where every launch is slow,
// asks for fewer through POWERGPU_TEST_CONCURRENCY_WINDOWS.
uint64_t windowCount() {
    const char* count = std::getenv("POWERGPU_TEST_CONCURRENCY_WINDOWS");
    const uint64_t asked = count != nullptr ? std::strtoull(count, nullptr, 10) : 0;
    return asked > 0 ? asked : 10000;
}
const uint64_t kWindows = windowCount();
constexpr int kLength = 200;  // one period of 50 Hz at 10 kHz

double rmsOf(uint64_t window) {
    return 100.0 + static_cast<double>(window % 97);
}

class ResultsConcurrency : public powergpu::test::BackendTest {};

}  // namespace

TEST_P(ResultsConcurrency, ProducerAndConsumerThreadsLoseAndReorderNoWindow) {
    PowerModule module(GetParam());
    // A ring of 20 windows; 4-period FFTs at 45 Hz (1024) take one-period windows, and
    // 0.4 s at up to 55 Hz in 4-period units gives 6 result slots, so the producer can
    // never overwrite samples of a window still in flight.
    powergpu::test::configure(module, 10000.0, 4000, [](PowerModule& m) {
        m.setPeriodCount(4);
        m.setCurrentEnabled(false);
    });
    ASSERT_EQ(module.implementation()->settings().getBuffers().getGeneralResultsBufferLength(), 6u);
    float* ring = module.getWaveformBufferUInput(0);
    std::atomic<bool> producerDone{false}, stop{false};
    std::vector<std::string> producerFailures;
    std::thread producer([&] {
        for (uint64_t window = 0; window < kWindows && !stop.load(); ++window) {
            const uint64_t first = window * kLength;
            for (int k = 0; k < kLength; ++k) {
                ring[(first + k) % 4000] = static_cast<float>(rmsOf(window) * powergpu::test::kSqrt2 *
                                                              std::sin(powergpu::test::kTwoPi * k / kLength));
            }
            try {
                module.writeSamples(kLength);
                for (;;) {
                    try {
                        module.scheduleForCalculation(first, kLength, 50.0);
                        break;
                    } catch (const PowerInvalidCall& e) {  // only the full result ring is a reason to wait
                        if (std::string(e.what()).find("result slots") == std::string::npos) {
                            throw;
                        }
                        std::this_thread::yield();
                    }
                }
            } catch (const std::exception& e) {
                producerFailures.push_back(e.what());
                stop = true;
            }
        }
        producerDone = true;
    });
    uint64_t delivered = 0;
    int wrong = 0;
    std::string firstProblem;
    const auto check = [&](const std::vector<PowerResultsGeneral>& records) {
        for (const PowerResultsGeneral& r : records) {
            if (r.firstSampleIndex != delivered * kLength || r.length != kLength ||
                std::abs(r.channels[0].rmsU - rmsOf(delivered)) > 1e-4 * rmsOf(delivered)) {
                if (wrong++ == 0) {
                    firstProblem = "record " + std::to_string(delivered) + " starts at " +
                                   std::to_string(r.firstSampleIndex) + " with rmsU " +
                                   std::to_string(r.channels[0].rmsU);
                }
            }
            ++delivered;
        }
    };
    std::string consumerFailure;
    // A device fault must fail the test, not end the process: an exception
    // leaving a thread would terminate it.
    std::thread consumer([&] {
        try {
        while (delivered < kWindows && !stop.load()) {
            if (module.isAnyResultReady()) {
                check(module.getResults(8));
            } else if (producerDone.load()) {
                module.sync();  // everything is scheduled: the rest arrives once the device is done
                const std::vector<PowerResultsGeneral> rest = module.getResults(0);
                if (rest.empty()) {
                    break;
                }
                check(rest);
            } else {
                std::this_thread::yield();
            }
        }
        } catch (const std::exception& e) {
            consumerFailure = e.what();
        }
        stop = true;
    });
    producer.join();
    consumer.join();
    for (const std::string& failure : producerFailures) {
        ADD_FAILURE() << failure;
    }
    EXPECT_EQ(consumerFailure, "");
    EXPECT_EQ(delivered, kWindows) << "windows lost";
    EXPECT_EQ(wrong, 0) << firstProblem;
    EXPECT_EQ(module.implementation()->scheduler().getNextSampleToDeliver(), kWindows * kLength);
    EXPECT_FALSE(module.isAnyResultReady());
}

POWERGPU_INSTANTIATE_FOR_BACKENDS(ResultsConcurrency);
