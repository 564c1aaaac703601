// The results queue and the launch geometry of a calculation window, read
// off the CPU runtime's call log: which stream a window runs on and what it
// waits for, in which order finished windows leave the queue, how a queue
// item derives its lengths and positions, and how every kernel of a window
// is launched (grid, block, stream, shared memory, error check, arguments).
//
// On the CPU backend a window's device work and copies are complete when
// scheduleForCalculation returns, so every scheduled window is ready unless
// an injected EventQuery fault says otherwise.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "module/PowerModuleImpl.h"
#include "pipeline/PowerResultsQueueItem.h"
#include "powergpu.h"
#include "powergpu.hpp"
#include "runtime/CpuRuntime.h"
#include "support/ModuleFeeder.h"

namespace {

using powergpu::CpuRuntime;
using powergpu::LoggedCall;
using powergpu::PowerResultsQueueItem;
using powergpu::RuntimeCall;
using powergpu::StreamHandle;
using powergpu::test::ModuleFeeder;
using powergpu::test::peak;

constexpr double kTwoPi = 6.283185307179586;
constexpr int kNotReady = 600;  // "device not ready"

// A three-phase 50 Hz system: voltages 230 V rms, currents 10 A rms lagging
// by 30 degrees, the mechanical angle of a two-pole-pair machine in step.
double threePhaseSignal(char kind, int channel, double t) {
    const double phase = kTwoPi * 50.0 * t - channel * kTwoPi / 3.0;
    switch (kind) {
        case 'U':
            return peak(230.0) * std::sin(phase);
        case 'I':
            return peak(10.0) * std::sin(phase - kTwoPi / 12.0);
        default:
            return std::fmod(kTwoPi * 25.0 * t, kTwoPi);
    }
}

struct Settings {
    double sampleRate = 10000.0;
    uint64_t bufferLength = 10000;
    PowerGridConfigType grid = SinglePhase;
    uint16_t periodCount = 10;
    double staticFrequency = 50.0;
    double lowestFrequency = 0.0;  // variable frequency when above 0
    double highestFrequency = 0.0;
    std::function<void(PowerModule&)> more;
};

// A CPU module with its call log switched on, reset to running index 0.
class LoggedModule {
public:
    explicit LoggedModule(const Settings& settings) : module_(POWER_BACKEND_CPU), feeder_(module_, threePhaseSignal) {
        module_.beginUpdate();
        module_.setSampleRate(settings.sampleRate, 1);
        module_.setBufferLength(settings.bufferLength);
        module_.setGridConfigType(settings.grid);
        module_.setPeriodCount(settings.periodCount);
        if (settings.lowestFrequency > 0.0) {
            module_.setVariableFrequency(settings.lowestFrequency, settings.highestFrequency);
        } else {
            module_.setStaticFrequency(settings.staticFrequency, 0.1);
        }
        if (settings.more) {
            settings.more(module_);
        }
        module_.endUpdate();
        module_.reset(0);
        runtime().setCallLogging(true);
        runtime().clearCallLog();
    }

    PowerModule& module() { return module_; }
    PowerModule::PowerModuleImpl& impl() { return *module_.implementation(); }
    CpuRuntime& runtime() { return dynamic_cast<CpuRuntime&>(impl().runtime()); }
    StreamHandle stream(std::size_t index) { return impl().getCudaStream(index); }

    // Writes samples up to (excluding) running index `end`, in ring-sized blocks.
    void writeUpTo(uint64_t end) {
        const auto block = static_cast<uint32_t>(module_.getBufferLength());
        while (feeder_.written() < end) {
            feeder_.write(static_cast<uint32_t>(std::min<uint64_t>(block, end - feeder_.written())));
        }
    }

    // The runtime calls made by scheduling one window.
    std::vector<LoggedCall> schedule(uint64_t first, int length, double frequency) {
        runtime().clearCallLog();
        module_.scheduleForCalculation(first, length, frequency);
        return runtime().callLog();
    }

    std::vector<LoggedCall> writeAndSchedule(uint64_t first, int length, double frequency) {
        writeUpTo(first + static_cast<uint64_t>(length));
        return schedule(first, length, frequency);
    }

private:
    PowerModule module_;
    ModuleFeeder feeder_;
};

std::vector<LoggedCall> launchesOf(const std::vector<LoggedCall>& log) {
    std::vector<LoggedCall> launches;
    for (const LoggedCall& call : log) {
        if (call.call == RuntimeCall::KernelLaunch) {
            launches.push_back(call);
        }
    }
    return launches;
}

int countLaunches(const std::vector<LoggedCall>& log, const std::string& kernel) {
    int count = 0;
    for (const LoggedCall& call : log) {
        count += call.call == RuntimeCall::KernelLaunch && call.kernel == kernel ? 1 : 0;
    }
    return count;
}

// The only launch of `kernel` in the log; fails the test when there is not exactly one.
LoggedCall launchOf(const std::vector<LoggedCall>& log, const std::string& kernel) {
    EXPECT_EQ(countLaunches(log, kernel), 1) << kernel;
    for (const LoggedCall& call : log) {
        if (call.call == RuntimeCall::KernelLaunch && call.kernel == kernel) {
            return call;
        }
    }
    return LoggedCall{};
}

std::vector<std::size_t> indicesOf(const std::vector<LoggedCall>& log, RuntimeCall kind) {
    std::vector<std::size_t> indices;
    for (std::size_t k = 0; k < log.size(); ++k) {
        if (log[k].call == kind) {
            indices.push_back(k);
        }
    }
    return indices;
}

// The event recorded right behind the last kernel of a window's log.
LoggedCall releaseEventOf(const std::vector<LoggedCall>& log) {
    const std::vector<std::size_t> launches = indicesOf(log, RuntimeCall::KernelLaunch);
    if (launches.empty()) {
        ADD_FAILURE() << "no kernel launched";
        return LoggedCall{};
    }
    for (std::size_t k = launches.back() + 1; k < log.size(); ++k) {
        if (log[k].call == RuntimeCall::EventRecord) {
            return log[k];
        }
    }
    ADD_FAILURE() << "no event recorded behind the last kernel";
    return LoggedCall{};
}

// The last event recorded by a window: the one that marks its results transferred.
LoggedCall transferEventOf(const std::vector<LoggedCall>& log) {
    const std::vector<std::size_t> records = indicesOf(log, RuntimeCall::EventRecord);
    if (records.empty()) {
        ADD_FAILURE() << "no event recorded";
        return LoggedCall{};
    }
    return log[records.back()];
}

// Three-phase star with every optional calculation of a window switched on.
Settings everythingOn() {
    Settings settings;
    settings.grid = ThreePhaseStar;
    settings.more = [](PowerModule& m) {
        m.setLineToLineResultsEnabled(true);
        m.setWaveformsEnabled(true);
        m.setInterHarmonicsEnabled(true);
        m.setFullFftEnabled(true);
        m.setThdEnabled(true);
        m.setHighestRequestedHarmonic(50);
        m.setSymmetricalComponentsEnabled(true);
        m.setClarkeTransformEnabled(true);
        m.setParkTransformEnabled(true);
        m.setClarkeOrParkVoltagesEnabled(true);
        m.setClarkeOrParkCurrentsEnabled(true);
        m.setClarkeOrParkWaveformsEnabled(true);
        m.setMechanicalAngleUsed(true);
        m.setPolePairs(2);
    };
    return settings;
}

}  // namespace

// ---- streams and the event chain -------------------------------------------------

TEST(ResultsQueueStreams, WindowsRotateOverThreeStreamsAndEachWaitsForItsPredecessor) {
    LoggedModule m(Settings{});
    m.writeUpTo(8000);

    const std::vector<LoggedCall> first = m.schedule(0, 2000, 50.0);
    EXPECT_TRUE(indicesOf(first, RuntimeCall::StreamWaitEvent).empty()) << "window 0 has no predecessor";
    for (const LoggedCall& launch : launchesOf(first)) {
        EXPECT_EQ(launch.stream, m.stream(0)) << launch.kernel;
    }
    LoggedCall release = releaseEventOf(first);
    EXPECT_EQ(release.stream, m.stream(0));

    // Windows 1, 2, 3 run on streams 1, 2, 0; each waits, before any of its
    // own device work, for the event recorded behind the previous window's
    // last kernel on the previous window's stream.
    const std::size_t expectedStream[] = {1, 2, 0};
    for (int window = 1; window <= 3; ++window) {
        SCOPED_TRACE("window " + std::to_string(window));
        const std::vector<LoggedCall> log = m.schedule(static_cast<uint64_t>(window) * 2000, 2000, 50.0);
        const StreamHandle stream = m.stream(expectedStream[window - 1]);
        const std::vector<std::size_t> waits = indicesOf(log, RuntimeCall::StreamWaitEvent);
        ASSERT_EQ(waits.size(), 1u);
        const LoggedCall& wait = log[waits[0]];
        EXPECT_EQ(wait.stream, stream);
        EXPECT_EQ(wait.event, release.event);
        ASSERT_EQ(wait.values.size(), 1u);
        EXPECT_EQ(wait.values[0], 0.0) << "flags";
        const std::vector<std::size_t> memsets = indicesOf(log, RuntimeCall::MemsetAsync);
        const std::vector<std::size_t> launches = indicesOf(log, RuntimeCall::KernelLaunch);
        ASSERT_FALSE(memsets.empty());
        ASSERT_FALSE(launches.empty());
        EXPECT_LT(waits[0], memsets.front());
        EXPECT_LT(waits[0], launches.front());
        for (const LoggedCall& launch : launchesOf(log)) {
            EXPECT_EQ(launch.stream, stream) << launch.kernel;
        }
        const LoggedCall next = releaseEventOf(log);
        EXPECT_EQ(next.stream, stream);
        EXPECT_NE(next.event, release.event);
        release = next;
    }
}

TEST(ResultsQueueStreams, TheTransferEventIsRecordedOnTheWindowStreamBehindItsCopies) {
    LoggedModule m(Settings{});
    m.writeUpTo(4000);
    m.schedule(0, 2000, 50.0);
    const std::vector<LoggedCall> log = m.schedule(2000, 2000, 50.0);
    const std::vector<std::size_t> records = indicesOf(log, RuntimeCall::EventRecord);
    const std::vector<std::size_t> copies = indicesOf(log, RuntimeCall::MemcpyAsync);
    ASSERT_EQ(records.size(), 2u) << "release of the next window, then transfer of this one";
    ASSERT_FALSE(copies.empty());
    EXPECT_LT(records[0], copies.front());
    EXPECT_GT(records[1], copies.back());
    EXPECT_EQ(log[records[1]].stream, m.stream(1));
    for (const std::size_t copy : copies) {
        EXPECT_EQ(log[copy].kind, powergpu::MemcpyKind::DeviceToHost);
        EXPECT_EQ(log[copy].stream, m.stream(1));
    }
}

// ---- retrieval ---------------------------------------------------------------------

TEST(ResultsQueueRetrieval, NothingIsReadyRightAfterReset) {
    LoggedModule m(Settings{});
    EXPECT_FALSE(m.module().isAnyResultReady());
    EXPECT_TRUE(m.module().getResults(0).empty());
    EXPECT_EQ(m.impl().getResultsQueueSize(), 1u) << "only the pending item";
}

TEST(ResultsQueueRetrieval, MaxCountHandsOutTheOldestWindowsAndKeepsTheRestInOrder) {
    LoggedModule m(Settings{});
    m.writeUpTo(6000);
    for (int window = 0; window < 3; ++window) {
        m.schedule(static_cast<uint64_t>(window) * 2000, 2000, 50.0);
    }
    EXPECT_EQ(m.impl().getResultsQueueSize(), 4u);
    ASSERT_TRUE(m.module().isAnyResultReady());

    const std::vector<PowerResultsGeneral> two = m.module().getResults(2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].firstSampleIndex, 0u);
    EXPECT_EQ(two[1].firstSampleIndex, 2000u);
    EXPECT_EQ(m.impl().getNextSampleToDeliver(), 4000u);
    EXPECT_TRUE(m.module().isAnyResultReady()) << "the third window stays at the front";

    const std::vector<PowerResultsGeneral> rest = m.module().getResults(2);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].firstSampleIndex, 4000u);
    EXPECT_EQ(rest[0].length, 2000u);
    EXPECT_EQ(m.impl().getNextSampleToDeliver(), 6000u);
    EXPECT_FALSE(m.module().isAnyResultReady());
    EXPECT_TRUE(m.module().getResults(2).empty());
    EXPECT_EQ(m.impl().getResultsQueueSize(), 1u);
}

TEST(ResultsQueueRetrieval, AReadyWindowBehindAnUnfinishedOneIsNotHandedOut) {
    LoggedModule m(Settings{});
    m.writeUpTo(4000);
    const LoggedCall transferred0 = transferEventOf(m.schedule(0, 2000, 50.0));
    const LoggedCall transferred1 = transferEventOf(m.schedule(2000, 2000, 50.0));
    ASSERT_NE(transferred0.event, transferred1.event);

    // Window 1's copies are complete (CPU backend); window 0's event answers
    // "not ready" once per injected fault. Only the front may be asked.
    CpuRuntime& rt = m.runtime();
    rt.clearCallLog();
    rt.injectFault(RuntimeCall::EventQuery, kNotReady);
    EXPECT_FALSE(m.module().isAnyResultReady());
    rt.injectFault(RuntimeCall::EventQuery, kNotReady);
    EXPECT_TRUE(m.module().getResults(0).empty());
    const std::vector<LoggedCall> log = rt.callLog();
    const std::vector<std::size_t> queries = indicesOf(log, RuntimeCall::EventQuery);
    ASSERT_EQ(queries.size(), 2u);
    for (const std::size_t query : queries) {
        EXPECT_EQ(log[query].event, transferred0.event);
        EXPECT_EQ(log[query].result, kNotReady);
    }
    EXPECT_EQ(m.impl().getResultsQueueSize(), 3u);
    EXPECT_EQ(m.impl().getNextSampleToDeliver(), 0u);

    // Once window 0 is ready both leave, in schedule order.
    const std::vector<PowerResultsGeneral> records = m.module().getResults(0);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].firstSampleIndex, 0u);
    EXPECT_EQ(records[1].firstSampleIndex, 2000u);
}

TEST(ResultsQueueRetrieval, FlatGetResultsWithMaxCountZeroFailsExactlyWhenSomethingWasReady) {
    PowerModuleHandle handle = powerModule_createOnBackend(POWER_BACKEND_CPU);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(beginUpdate(handle), PowerStatusCode::Success);
    ASSERT_EQ(setSampleRate(handle, 10000.0, 1), PowerStatusCode::Success);
    ASSERT_EQ(setBufferLength(handle, 10000), PowerStatusCode::Success);
    ASSERT_EQ(setStaticFrequency(handle, 50.0, 0.1), PowerStatusCode::Success);
    ASSERT_EQ(endUpdate(handle), PowerStatusCode::Success);
    ASSERT_EQ(reset(handle, 0), PowerStatusCode::Success);

    std::vector<PowerResultsGeneral> records(4);
    std::memset(records.data(), 0xA5, records.size() * sizeof(PowerResultsGeneral));
    const std::vector<PowerResultsGeneral> untouched = records;
    const auto same = [&]() {
        return std::memcmp(records.data(), untouched.data(), records.size() * sizeof(PowerResultsGeneral)) == 0;
    };

    // Nothing ready: success with count 0.
    int32_t count = -7;
    EXPECT_EQ(getResults(handle, 0, &count, records.data()), PowerStatusCode::Success);
    EXPECT_EQ(count, 0);

    float* ring = nullptr;
    ASSERT_EQ(getWaveformBufferUInput(handle, 0, &ring), PowerStatusCode::Success);
    float* current = nullptr;
    ASSERT_EQ(getWaveformBufferI(handle, 0, &current), PowerStatusCode::Success);
    for (int k = 0; k < 2000; ++k) {
        ring[k] = static_cast<float>(peak(230.0) * std::sin(kTwoPi * k / 200.0));
        current[k] = 0.0f;
    }
    ASSERT_EQ(writeSamples(handle, 2000), PowerStatusCode::Success);
    ASSERT_EQ(scheduleForCalculation(handle, 0, 2000, 50.0), PowerStatusCode::Success);

    // A negative maxCount is refused before anything leaves the queue.
    count = -7;
    EXPECT_EQ(getResults(handle, -1, &count, records.data()), PowerStatusCode::TooManyResults);
    EXPECT_EQ(count, -7);
    EXPECT_TRUE(same());
    bool ready = false;
    ASSERT_EQ(isAnyResultReady(handle, &ready), PowerStatusCode::Success);
    EXPECT_TRUE(ready);

    // One ready window and no room: status 2, nothing written, the record is gone.
    EXPECT_EQ(getResults(handle, 0, &count, records.data()), PowerStatusCode::TooManyResults);
    EXPECT_EQ(count, -7);
    EXPECT_TRUE(same());
    char message[256] = {};
    int32_t length = 0;
    ASSERT_EQ(getLastErrorMessage(handle, message, sizeof message, &length), PowerStatusCode::Success);
    EXPECT_NE(std::string(message).find("Too many results"), std::string::npos) << message;
    ASSERT_EQ(isAnyResultReady(handle, &ready), PowerStatusCode::Success);
    EXPECT_FALSE(ready);

    EXPECT_EQ(getResults(handle, 0, &count, records.data()), PowerStatusCode::Success);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(powerModule_destroy(handle), PowerStatusCode::Success);
}

// ---- queue item arithmetic ---------------------------------------------------------

class ResultsQueueItemArithmetic : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(runtime_.streamCreateWithFlags(&stream_, powergpu::kStreamNonBlocking), 0); }
    void TearDown() override { runtime_.streamDestroy(stream_); }

    CpuRuntime runtime_;
    StreamHandle stream_ = nullptr;
};

TEST_F(ResultsQueueItemArithmetic, BinsBinWidthAndHarmonicLengthFollowFromTheFftLength) {
    PowerResultsQueueItem window(runtime_, 10240.0, 1, 0, 0, 0, 1, stream_);
    window.setCalculation(5000, 1024, 204.8, 10, 1024, 1u << 20, 1000, 50.0);
    EXPECT_EQ(window.getFftInputLength(), 1024u);
    EXPECT_EQ(window.getFftOutputLength(), 513u);
    EXPECT_DOUBLE_EQ(window.getDFrequency(), 10.0);
    // ceil(512 * 10 / 50) + 1 orders lie at or below the highest bin.
    EXPECT_EQ(window.getHarmonicLength(), 104u);
    EXPECT_EQ(window.getNextSampleIndex(), 6024u);
    EXPECT_DOUBLE_EQ(window.getFrequency(), 50.0);

    PowerResultsQueueItem capped(runtime_, 10240.0, 1, 0, 0, 0, 1, stream_);
    capped.setCalculation(0, 1024, 204.8, 10, 1024, 1u << 20, 41, 50.0);
    EXPECT_EQ(capped.getHarmonicLength(), 41u);
}

TEST_F(ResultsQueueItemArithmetic, PeriodCountIsTheRoundedPeriodsCappedByTheSetting) {
    PowerResultsQueueItem ten(runtime_, 10000.0, 1, 0, 0, 0, 1, stream_);
    ten.setCalculation(0, 2000, 400.0, 10, 4096, 1u << 20, 41, 25.0);
    EXPECT_EQ(ten.getPeriodCount(), 5u);

    PowerResultsQueueItem three(runtime_, 10000.0, 1, 0, 0, 0, 1, stream_);
    three.setCalculation(0, 2000, 400.0, 3, 4096, 1u << 20, 41, 25.0);
    EXPECT_EQ(three.getPeriodCount(), 3u);

    // 5.5 periods round away from zero.
    PowerResultsQueueItem half(runtime_, 10000.0, 1, 0, 0, 0, 1, stream_);
    half.setCalculation(0, 2200, 400.0, 10, 4096, 1u << 20, 41, 25.0);
    EXPECT_EQ(half.getPeriodCount(), 6u);
}

TEST_F(ResultsQueueItemArithmetic, SpectraRestartAtZeroRatherThanRunPastTheRingEnd) {
    // 513 bins from position 600 would end at 1113, past a ring of 1000.
    PowerResultsQueueItem past(runtime_, 10240.0, 1, 0, 600, 0, 1, stream_);
    past.setCalculation(0, 1024, 204.8, 10, 1024, 1000, 104, 50.0);
    EXPECT_EQ(past.getFirstFftOutputSampleIndex(), 0u);

    // Ending exactly at the ring end is allowed.
    PowerResultsQueueItem exact(runtime_, 10240.0, 1, 0, 487, 0, 1, stream_);
    exact.setCalculation(0, 1024, 204.8, 10, 1024, 1000, 104, 50.0);
    EXPECT_EQ(exact.getFirstFftOutputSampleIndex(), 487u);
}

TEST(ResultsQueueItemPositions, FullSpectraOfConsecutiveWindowsTileTheRingAndRestartAtItsEnd) {
    Settings settings;
    settings.more = [](PowerModule& m) {
        m.setCurrentEnabled(false);
        m.setFullFftEnabled(true);
    };
    LoggedModule m(settings);
    // FFT length 4096: 2049 bins per window; the spectra ring holds
    // 2049 + 10000 bins per channel, so window 5 (at 10245) would overrun.
    const powergpu::PowerBuffers& buffers = m.impl().getBuffers();
    ASSERT_EQ(buffers.fftOutput.getLength(), 12049u);
    const uint64_t expected[] = {0, 2049, 4098, 6147, 8196, 0, 2049};
    for (int window = 0; window < 7; ++window) {
        m.writeAndSchedule(static_cast<uint64_t>(window) * 2000, 2000, 50.0);
        const std::vector<PowerResultsGeneral> records = m.module().getResults(0);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].fftOutputLength, 2049u);
        EXPECT_EQ(records[0].channels[0].fftU, buffers.fftOutput.getHostBufferAt(expected[window], 2049, 0))
            << "window " << window;
    }
}

// ---- launch geometry ---------------------------------------------------------------

TEST(WindowLaunchGeometry, EveryLaunchUsesTheWindowStreamNoDynamicSharedMemoryAndIsChecked) {
    LoggedModule m(everythingOn());
    m.writeUpTo(6000);
    for (int window = 0; window < 3; ++window) {
        SCOPED_TRACE("window " + std::to_string(window));
        const std::vector<LoggedCall> log = m.schedule(static_cast<uint64_t>(window) * 2000, 2000, 50.0);
        const StreamHandle stream = m.stream(static_cast<std::size_t>(window));
        const std::vector<std::size_t> launches = indicesOf(log, RuntimeCall::KernelLaunch);
        // Waveforms, currents, RMS, line-to-line RMS, Clarke, Park, then the
        // spectral and three-phase kernels.
        EXPECT_EQ(launches.size(), 14u);
        for (const std::size_t index : launches) {
            const LoggedCall& launch = log[index];
            EXPECT_EQ(launch.bytes, 0u) << launch.kernel;
            EXPECT_EQ(launch.stream, stream) << launch.kernel;
            EXPECT_EQ(launch.block.z, 1u) << launch.kernel;
            EXPECT_EQ(launch.grid.y, 1u) << launch.kernel;
            EXPECT_EQ(launch.grid.z, 1u) << launch.kernel;
            ASSERT_LT(index + 1, log.size());
            EXPECT_EQ(log[index + 1].call, RuntimeCall::PeekAtLastError) << launch.kernel;
        }
        for (const std::size_t index : indicesOf(log, RuntimeCall::FftExecR2C)) {
            EXPECT_EQ(log[index].stream, stream);
        }
    }
}

TEST(WindowLaunchGeometry, RingPositionIsTheFirstSampleModuloTheRing) {
    Settings settings;
    settings.sampleRate = 12800.0;
    settings.bufferLength = 256;
    settings.periodCount = 1;
    settings.staticFrequency = 100.0;
    LoggedModule m(settings);
    // One period of 128 samples from running index 1000: ring positions 232..255, 0..103.
    const std::vector<LoggedCall> log = m.writeAndSchedule(1000, 128, 100.0);
    for (const char* kernel : {"kernelWaveformsUStar", "kernelWaveformsI", "kernelRmsUI"}) {
        const LoggedCall launch = launchOf(log, kernel);
        ASSERT_GE(launch.values.size(), 3u) << kernel;
        EXPECT_EQ(launch.values[0], 128.0) << kernel;
        EXPECT_EQ(launch.values[1], 232.0) << kernel;
        EXPECT_EQ(launch.values[2], 256.0) << kernel;
    }
    const std::vector<PowerResultsGeneral> records = m.module().getResults(0);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NEAR(records[0].channels[0].rmsU, 230.0, 230.0 * 1e-4) << "the wrapped period is read in order";
}

TEST(WindowLaunchGeometry, TimeDomainGridCoversTheWindowInWarpsUpTo1024Blocks) {
    Settings settings;
    settings.bufferLength = 70000;
    settings.staticFrequency = 2.0;  // 10 periods at 1.8 Hz: FFT length 65536
    LoggedModule m(settings);
    const struct {
        int length;
        unsigned blocks;
    } cases[] = {{33, 2}, {32, 1}, {32768, 1024}, {40000, 1024}};
    uint64_t first = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE("window of " + std::to_string(c.length));
        const std::vector<LoggedCall> log = m.writeAndSchedule(first, c.length, 2.0);
        for (const char* kernel : {"kernelWaveformsUStar", "kernelWaveformsI", "kernelRmsUI"}) {
            const LoggedCall launch = launchOf(log, kernel);
            EXPECT_EQ(launch.grid.x, c.blocks) << kernel;
            EXPECT_EQ(launch.block.x, 32u) << kernel;
            EXPECT_EQ(launch.block.y, 1u) << kernel;
        }
        first += static_cast<uint64_t>(c.length);
        m.module().getResults(0);
    }
}

TEST(WindowLaunchGeometry, StaticFrequencyAlwaysUsesTheFirstPlanBoundToTheWindowStream) {
    LoggedModule m(Settings{});
    ASSERT_EQ(m.impl().getFftPlans().size(), 1u);
    const powergpu::FftHandle plan = m.impl().getFftPlans()[0];
    m.writeUpTo(6000);
    for (int window = 0; window < 3; ++window) {
        const std::vector<LoggedCall> log = m.schedule(static_cast<uint64_t>(window) * 2000, 2000, 47.0 + window * 3.0);
        const std::vector<std::size_t> binds = indicesOf(log, RuntimeCall::FftSetStream);
        const std::vector<std::size_t> executions = indicesOf(log, RuntimeCall::FftExecR2C);
        ASSERT_EQ(binds.size(), 1u);
        ASSERT_EQ(executions.size(), 1u);
        EXPECT_LT(binds[0], executions[0]);
        EXPECT_EQ(log[binds[0]].plan, plan);
        EXPECT_EQ(log[binds[0]].stream, m.stream(static_cast<std::size_t>(window)));
        EXPECT_EQ(log[executions[0]].plan, plan);
        ASSERT_EQ(log[executions[0]].pointers.size(), 2u);
        EXPECT_EQ(log[executions[0]].pointers[0], m.impl().getBuffers().fftInput.getDeviceBuffer(0));
    }
}

TEST(WindowLaunchGeometry, VariableFrequencySelectsThePlanOfTheWindowFftLength) {
    Settings settings;
    settings.lowestFrequency = 40.0;  // FFT lengths 1024 (160 Hz) .. 4096 (40 Hz)
    settings.highestFrequency = 160.0;
    LoggedModule m(settings);
    const powergpu::FftPlanSet& plans = m.impl().getFftPlans();
    ASSERT_EQ(plans.size(), 3u);
    m.writeUpTo(10000);
    const struct {
        int length;
        double frequency;
        std::size_t plan;
        int fftLength;
    } cases[] = {{2500, 40.0, 2, 4096}, {1250, 80.0, 1, 2048}, {666, 150.0, 0, 1024}};
    uint64_t first = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.frequency) + " Hz");
        const std::vector<LoggedCall> log = m.schedule(first, c.length, c.frequency);
        EXPECT_EQ(plans.lengthAt(c.plan), c.fftLength);
        const std::vector<std::size_t> executions = indicesOf(log, RuntimeCall::FftExecR2C);
        ASSERT_EQ(executions.size(), 1u);
        EXPECT_EQ(log[executions[0]].plan, plans[c.plan]);
        EXPECT_EQ(launchOf(log, "kernelFreqRms").values.at(0), c.fftLength / 2 + 1.0);
        first += static_cast<uint64_t>(c.length);
    }
}

TEST(WindowLaunchGeometry, HarmonicHalfWidthIsThirtyPercentOfTheFundamentalInBinsRounded) {
    // 10240 Hz and 8 periods: FFT length 2048, 5 Hz bins: 50 * 0.3 / 5 = 3.
    Settings five;
    five.sampleRate = 10240.0;
    five.periodCount = 8;
    LoggedModule fiveHz(five);
    const LoggedCall atFive = launchOf(fiveHz.writeAndSchedule(0, 1600, 50.0), "kernelHarmonics");
    ASSERT_GE(atFive.values.size(), 8u);
    EXPECT_EQ(atFive.values[2], 3.0);
    EXPECT_EQ(atFive.values[3], 0.0) << "reserved argument";
    EXPECT_EQ(atFive.values[6], 5.0) << "bin width";

    // 8192 Hz: 4 Hz bins: 3.75 rounds to 4.
    Settings four;
    four.sampleRate = 8192.0;
    four.periodCount = 8;
    LoggedModule fourHz(four);
    const LoggedCall atFour = launchOf(fourHz.writeAndSchedule(0, 1300, 50.0), "kernelHarmonics");
    ASSERT_GE(atFour.values.size(), 8u);
    EXPECT_EQ(atFour.values[2], 4.0);
    EXPECT_EQ(atFour.values[6], 4.0);
}

TEST(WindowLaunchGeometry, ThdSumsStopAtTheHighestOrderTheHarmonicRowHolds) {
    // 4000 Hz, FFT length 1024: orders 0..40 lie at or below 2000 Hz.
    const auto thdOrder = [](int setting) {
        Settings settings;
        settings.sampleRate = 4000.0;
        settings.more = [setting](PowerModule& m) {
            m.setThdEnabled(true);
            m.setThdHighestHarmonic(setting);
        };
        LoggedModule m(settings);
        const LoggedCall launch = launchOf(m.writeAndSchedule(0, 800, 50.0), "kernelSumOfHarmonicsSquared");
        EXPECT_EQ(launch.grid.x, 1u);
        EXPECT_EQ(launch.block.x, m.impl().getBuffers().thdResults.getDeviceItemsCount());
        return launch.values;
    };
    const std::vector<double> hundred = thdOrder(100);
    ASSERT_EQ(hundred.size(), 2u);
    EXPECT_EQ(hundred[0], 40.0);
    EXPECT_EQ(hundred[1], 41.0) << "harmonic length";
    const std::vector<double> twentyFive = thdOrder(25);
    ASSERT_EQ(twentyFive.size(), 2u);
    EXPECT_EQ(twentyFive[0], 25.0);
    EXPECT_EQ(twentyFive[1], 26.0);
}

TEST(WindowLaunchGeometry, HarmonicKernelsUseOneWarpPerThirtyTwoOrdersAndOneRowPerSpectrum) {
    const auto harmonicLaunches = [](int highest) {
        Settings settings;
        settings.more = [highest](PowerModule& m) { m.setHighestRequestedHarmonic(highest); };
        LoggedModule m(settings);
        const std::vector<LoggedCall> log = m.writeAndSchedule(0, 2000, 50.0);
        const LoggedCall harmonics = launchOf(log, "kernelHarmonics");
        const LoggedCall powers = launchOf(log, "kernelPQSZ");
        EXPECT_EQ(harmonics.values.at(1), highest + 1.0) << "harmonic length";
        EXPECT_EQ(harmonics.block.x, 32u);
        EXPECT_EQ(harmonics.block.y, m.impl().getBuffers().fftOutput.getDeviceItemsCount());
        EXPECT_EQ(powers.block.x, 32u);
        EXPECT_EQ(powers.block.y, 1u) << "one phase";
        EXPECT_EQ(powers.grid.x, harmonics.grid.x);
        return harmonics.grid.x;
    };
    EXPECT_EQ(harmonicLaunches(32), 2u) << "harmonic length 33";
    EXPECT_EQ(harmonicLaunches(31), 1u) << "harmonic length 32";
}

TEST(WindowLaunchGeometry, SymmetricalSumsCoverAllButTheLastBinInBlocksOfAtMost256) {
    const auto sumsLaunch = [](uint16_t periods, int length) {
        Settings settings;
        settings.grid = ThreePhaseStar;
        settings.periodCount = periods;
        settings.more = [](PowerModule& m) { m.setSymmetricalComponentsEnabled(true); };
        LoggedModule m(settings);
        return launchOf(m.writeAndSchedule(0, length, 50.0), "kernelSymmetricalComponents");
    };
    const LoggedCall bins513 = sumsLaunch(4, 800);  // FFT length 1024
    EXPECT_EQ(bins513.values.at(0), 513.0);
    EXPECT_EQ(bins513.block.x, 256u);
    EXPECT_EQ(bins513.block.y, 2u) << "voltage and current groups";
    EXPECT_EQ(bins513.grid.x, 2u);
    const LoggedCall bins129 = sumsLaunch(1, 200);  // FFT length 256
    EXPECT_EQ(bins129.values.at(0), 129.0);
    EXPECT_EQ(bins129.block.x, 128u);
    EXPECT_EQ(bins129.grid.x, 1u);
}

TEST(WindowLaunchGeometry, WithoutCurrentsNoCurrentKernelRunsAndGroupsShrinkToVoltages) {
    const auto scheduleOne = [](bool currents) {
        Settings settings;
        settings.grid = ThreePhaseStarTwoCurrents;
        settings.more = [currents](PowerModule& m) {
            m.setCurrentEnabled(currents);
            m.setSymmetricalComponentsEnabled(true);
            m.setClarkeTransformEnabled(true);
            m.setParkTransformEnabled(true);
            m.setClarkeOrParkVoltagesEnabled(true);
            m.setClarkeOrParkCurrentsEnabled(true);
        };
        LoggedModule m(settings);
        return m.writeAndSchedule(0, 2000, 50.0);
    };

    const std::vector<LoggedCall> without = scheduleOne(false);
    EXPECT_EQ(countLaunches(without, "kernelWaveformsI"), 0);
    EXPECT_EQ(countLaunches(without, "kernelWaveformsI3"), 0);
    EXPECT_EQ(countLaunches(without, "kernelPQSZ"), 0);
    EXPECT_EQ(countLaunches(without, "kernelRmsUI"), 0);
    const LoggedCall rmsU = launchOf(without, "kernelRmsU");
    EXPECT_EQ(rmsU.block.y, 3u);
    const LoggedCall freqWithout = launchOf(without, "kernelFreqRms");
    ASSERT_EQ(freqWithout.pointers.size(), 4u);
    EXPECT_NE(freqWithout.pointers[0], nullptr);
    EXPECT_EQ(freqWithout.pointers[1], nullptr) << "no current spectrum";
    for (const char* kernel :
         {"kernelSymmetricalComponents", "kernelSymmetricalComponentsH1", "kernelClarkeH1AndParkAve"}) {
        EXPECT_EQ(launchOf(without, kernel).block.y, 1u) << kernel;
    }

    // The same grid with currents: two measured currents, the third derived.
    const std::vector<LoggedCall> with = scheduleOne(true);
    EXPECT_EQ(countLaunches(with, "kernelRmsU"), 0);
    EXPECT_EQ(launchOf(with, "kernelWaveformsI").block.y, 2u);
    const LoggedCall third = launchOf(with, "kernelWaveformsI3");
    EXPECT_EQ(third.block.y, 1u);
    EXPECT_EQ(launchOf(with, "kernelRmsUI").block.y, 3u);
    EXPECT_EQ(launchOf(with, "kernelPQSZ").block.y, 3u);
    EXPECT_NE(launchOf(with, "kernelFreqRms").pointers.at(1), nullptr);
    for (const char* kernel :
         {"kernelSymmetricalComponents", "kernelSymmetricalComponentsH1", "kernelClarkeH1AndParkAve"}) {
        EXPECT_EQ(launchOf(with, kernel).block.y, 2u) << kernel;
    }
}

TEST(WindowLaunchGeometry, DeltaGridsDerivePhaseVoltagesFromTheMeasuredLineToLineVoltages) {
    const struct {
        PowerGridConfigType grid;
        double measured;
    } cases[] = {
        {ThreePhaseDelta, 3.0}, {ThreePhaseDeltaTwoCurrents, 3.0}, {ThreePhaseDeltaTwoVoltagesTwoCurrents, 2.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("grid " + std::to_string(static_cast<int>(c.grid)));
        Settings settings;
        settings.grid = c.grid;
        LoggedModule m(settings);
        const std::vector<LoggedCall> log = m.writeAndSchedule(0, 2000, 50.0);
        EXPECT_EQ(countLaunches(log, "kernelWaveformsUStar"), 0);
        const LoggedCall delta = launchOf(log, "kernelWaveformsUDelta");
        ASSERT_GE(delta.values.size(), 2u);
        EXPECT_EQ(delta.values[0], c.measured) << "measured line-to-line voltages";
        EXPECT_EQ(delta.values[1], 2000.0) << "window length";
        EXPECT_EQ(delta.block.y, 3u);
    }
}

TEST(WindowLaunchGeometry, ParkFromTheMechanicalAngleWritesWaveformsOnlyWhenTheyAreKept) {
    const auto parkLaunch = [](bool waveforms) {
        Settings settings;
        settings.grid = ThreePhaseStar;
        settings.more = [waveforms](PowerModule& m) {
            m.setParkTransformEnabled(true);
            m.setClarkeOrParkVoltagesEnabled(true);
            m.setClarkeOrParkWaveformsEnabled(waveforms);
            m.setMechanicalAngleUsed(true);
            m.setPolePairs(2);
            m.setMechAngleOffset(10.0);
        };
        LoggedModule m(settings);
        const std::vector<LoggedCall> log = m.writeAndSchedule(0, 2000, 50.0);
        EXPECT_EQ(countLaunches(log, "kernelClarkeH1AndParkAve"), 0) << "Clarke off, Park from the angle";
        const LoggedCall park = launchOf(log, "kernelWaveformsPark");
        EXPECT_EQ(park.block.y, 1u) << "voltages only";
        EXPECT_EQ(park.values.at(3), 2.0) << "pole pairs";
        EXPECT_EQ(park.values.at(4), 10.0) << "offset";
        EXPECT_EQ(park.pointers.at(1), m.impl().getBuffers().waveforms.getDeviceBuffer(9)) << "angle ring";
        return park.pointers.at(2) == m.impl().getBuffers().clarkeParkWaveforms.getDeviceBuffer(6) &&
               park.pointers.at(2) != nullptr;
    };
    EXPECT_FALSE(parkLaunch(false));
    EXPECT_TRUE(parkLaunch(true));

    Settings settings;
    settings.grid = ThreePhaseStar;
    settings.more = [](PowerModule& m) {
        m.setParkTransformEnabled(true);
        m.setClarkeTransformEnabled(true);
        m.setClarkeOrParkVoltagesEnabled(true);
        m.setMechanicalAngleUsed(true);
    };
    LoggedModule withClarke(settings);
    const std::vector<LoggedCall> log = withClarke.writeAndSchedule(0, 2000, 50.0);
    EXPECT_EQ(launchOf(log, "kernelWaveformsPark").pointers.at(2), nullptr);
    const LoggedCall fundamentals = launchOf(log, "kernelClarkeH1AndParkAve");
    ASSERT_EQ(fundamentals.values.size(), 3u);
    EXPECT_EQ(fundamentals.values[1], 1.0) << "Clarke";
    EXPECT_EQ(fundamentals.values[2], 0.0) << "no Park from fundamentals when the angle is used";
}

TEST(WindowLaunchGeometry, DerivedWaveformsAreCopiedBackOnlyForMorePhasesThanOne) {
    const auto waveformCopies = [](PowerGridConfigType grid) {
        Settings settings;
        settings.grid = grid;
        settings.more = [](PowerModule& m) { m.setWaveformsEnabled(true); };
        LoggedModule m(settings);
        const std::vector<LoggedCall> log = m.writeAndSchedule(0, 2000, 50.0);
        const powergpu::GpuBuffer<float>& rings = m.impl().getBuffers().waveforms;
        const auto* begin = reinterpret_cast<const char*>(rings.getHostBuffer(0));
        const auto* end = begin + rings.getHostItemsCount() * rings.getLength() * sizeof(float);
        int copies = 0;
        for (const LoggedCall& call : log) {
            const auto* destination = call.pointers.empty() ? nullptr : static_cast<const char*>(call.pointers[0]);
            if (call.call == RuntimeCall::MemcpyAsync && call.kind == powergpu::MemcpyKind::DeviceToHost &&
                destination >= begin && destination < end) {
                ++copies;
            }
        }
        const LoggedCall star = launchOf(log, "kernelWaveformsUStar");
        EXPECT_EQ(star.values.at(5), grid == SinglePhase ? 0.0 : 1.0) << "line-to-line samples stored";
        return copies;
    };
    EXPECT_EQ(waveformCopies(SinglePhase), 0);
    EXPECT_EQ(waveformCopies(ThreePhaseStar), 3) << "U12, U23, U31";
}
