// Scheduling windows, read off the CPU runtime's call log: streams and events,
// launch shapes and arguments, queue order, queue-item lengths, and refusals.
// On the CPU a window is complete once scheduled, and ready unless an injected
// EventQuery fault says otherwise.
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <tuple>

#include "pipeline/PowerResultsQueueItem.h"
#include "support/TestSupport.h"

namespace {

using namespace powergpu::test;
using powergpu::LoggedCall;
using powergpu::RuntimeCall;
using Log = std::vector<LoggedCall>;

// 50 Hz three-phase: 230 V, 10 A lagging by 30 degrees, the angle of a two-pole-pair machine.
double threePhaseSignal(char kind, int channel, double t) {
    const double phase = kTwoPi * 50.0 * t - channel * kTwoPi / 3.0;
    return kind == 'U'   ? 230.0 * kSqrt2 * std::sin(phase)
           : kind == 'I' ? 10.0 * kSqrt2 * std::sin(phase - kTwoPi / 12.0)
                         : std::fmod(kTwoPi * 25.0 * t, kTwoPi);
}

struct Settings {
    double sampleRate = 10000.0;
    uint64_t bufferLength = 10000;
    PowerGridConfigType grid = SinglePhase;
    uint16_t periodCount = 10;
    double frequency = 50.0;                 // static, +-10 %
    std::function<void(PowerModule&)> more;  // further settings
};

// A CPU module reset to running index 0 with its call log switched on.
class Logged {
public:
    explicit Logged(const Settings& s) : feeder(module, threePhaseSignal) {
        configure(module, s.sampleRate, s.bufferLength, [&s](PowerModule& m) {
            m.setGridConfigType(s.grid);
            m.setPeriodCount(s.periodCount);
            m.setStaticFrequency(s.frequency, 0.1);
            if (s.more) {
                s.more(m);
            }
        });
        runtime().setCallLogging(true);
    }
    Impl& impl() { return *module.implementation(); }
    powergpu::RecordingRuntime& runtime() { return recordingRuntime(module); }
    powergpu::StreamHandle stream(std::size_t k) { return impl().scheduler().getStream(k); }
    // The runtime calls made by scheduling one window (its samples written first).
    Log schedule(uint64_t first, int length, double frequency) {
        feeder.writeUpTo(first + static_cast<uint64_t>(length), static_cast<uint32_t>(module.getBufferLength()));
        runtime().clearCallLog();
        module.scheduleForCalculation(first, length, frequency);
        return runtime().callLog();
    }
    PowerModule module{recordedModule()};
    ModuleFeeder feeder;
};

// One window of 2000 samples on a module with these settings.
Log oneWindow(const Settings& settings, int length = 2000) {
    return Logged(settings).schedule(0, length, 50.0);
}

Settings with(PowerGridConfigType grid, std::function<void(PowerModule&)> more, uint16_t periods = 10) {
    return Settings{10000.0, 10000, grid, periods, 50.0, std::move(more)};
}

}  // namespace

TEST(WindowSchedulingCalls, WindowsRotateOverThreeStreamsWaitForTheirPredecessorAndCheckEveryLaunch) {
    Logged m(with(ThreePhaseStar, [](PowerModule& p) {  // every optional calculation of a window
        enable(p, {&PowerModule::setLineToLineResultsEnabled, &PowerModule::setWaveformsEnabled,
                   &PowerModule::setInterHarmonicsEnabled, &PowerModule::setFullFftEnabled, &PowerModule::setThdEnabled,
                   &PowerModule::setSymmetricalComponentsEnabled, &PowerModule::setClarkeTransformEnabled,
                   &PowerModule::setParkTransformEnabled, &PowerModule::setClarkeOrParkVoltagesEnabled,
                   &PowerModule::setClarkeOrParkCurrentsEnabled, &PowerModule::setClarkeOrParkWaveformsEnabled,
                   &PowerModule::setMechanicalAngleUsed});
        p.setHighestRequestedHarmonic(50);
        p.setPolePairs(2);
    }));
    powergpu::EventHandle previousRelease = nullptr;
    const std::size_t streamOf[] = {0, 1, 2, 0};
    for (int window = 0; window < 4; ++window) {
        SCOPED_TRACE("window " + std::to_string(window));
        const Log log = m.schedule(static_cast<uint64_t>(window) * 2000, 2000, 50.0);
        const powergpu::StreamHandle stream = m.stream(streamOf[window]);
        const std::vector<std::size_t> launches = indicesOf(log, RuntimeCall::KernelLaunch);
        const std::vector<std::size_t> waits = indicesOf(log, RuntimeCall::StreamWaitEvent);
        ASSERT_EQ(launches.size(), 14u);
        if (window == 0) {
            EXPECT_TRUE(waits.empty()) << "window 0 has no predecessor";
        } else {
            // Before any device work: wait for the event behind the previous window's last kernel.
            ASSERT_EQ(waits.size(), 1u);
            EXPECT_EQ(log[waits[0]].stream, stream);
            EXPECT_EQ(log[waits[0]].event, previousRelease);
            EXPECT_EQ(log[waits[0]].values, std::vector<double>{0.0}) << "flags";
            EXPECT_LT(waits[0], indicesOf(log, RuntimeCall::MemsetAsync).front());
            EXPECT_LT(waits[0], launches.front());
        }
        for (const std::size_t index : launches) {
            const LoggedCall& launch = log[index];
            EXPECT_EQ(launch.stream, stream) << launch.kernel;
            EXPECT_EQ(launch.bytes, 0u) << launch.kernel << ": no dynamic shared memory";
            EXPECT_TRUE(launch.block.z == 1 && launch.grid.y == 1 && launch.grid.z == 1) << launch.kernel;
            ASSERT_LT(index + 1, log.size());
            EXPECT_EQ(log[index + 1].call, RuntimeCall::PeekAtLastError) << launch.kernel;
        }
        EXPECT_EQ(callsOf(log, RuntimeCall::FftExecR2C).at(0).stream, stream);
        const auto release = std::find_if(log.begin() + static_cast<long>(launches.back()), log.end(),
                                          [](const LoggedCall& c) { return c.call == RuntimeCall::EventRecord; });
        ASSERT_NE(release, log.end()) << "no event recorded behind the last kernel";
        EXPECT_EQ(release->stream, stream);
        EXPECT_NE(release->event, previousRelease);
        previousRelease = release->event;
    }
}

TEST(WindowSchedulingCalls, PlanEntryIsZeroForStaticFrequencyAndFollowsTheFftLengthForVariable) {
    Logged fixed(Settings{});
    for (int window = 0; window < 2; ++window) {  // bound to the window's stream before it runs
        const Log log = fixed.schedule(window * 2000u, 2000, 47.0 + window * 6.0);
        const std::vector<std::size_t> binds = indicesOf(log, RuntimeCall::FftSetStream);
        const std::vector<std::size_t> runs = indicesOf(log, RuntimeCall::FftExecR2C);
        ASSERT_TRUE(binds.size() == 1 && runs.size() == 1 && binds[0] < runs[0]);
        EXPECT_TRUE(log[binds[0]].plan == fixed.impl().settings().getFftPlans()[0] &&
                    log[runs[0]].plan == log[binds[0]].plan);
        EXPECT_EQ(log[binds[0]].stream, fixed.stream(static_cast<std::size_t>(window)));
    }
    // FFT lengths 1024 (160 Hz) .. 4096 (40 Hz)
    Logged m(with(SinglePhase, [](PowerModule& p) { p.setVariableFrequency(40.0, 160.0); }));
    const powergpu::FftPlanSet& plans = m.impl().settings().getFftPlans();
    ASSERT_EQ(plans.size(), 3u);
    // 40 Hz, four times the lowest length: entry 2; 150 Hz: entry 0.
    for (const auto& c : {std::make_tuple(0, 2500, 40.0, 2, 4096), std::make_tuple(2500, 666, 150.0, 0, 1024)}) {
        const Log log = m.schedule(std::get<0>(c), std::get<1>(c), std::get<2>(c));
        const auto entry = static_cast<std::size_t>(std::get<3>(c));
        EXPECT_EQ(plans.lengthAt(entry), std::get<4>(c));
        EXPECT_EQ(callsOf(log, RuntimeCall::FftExecR2C).at(0).plan, plans[entry]) << std::get<2>(c) << " Hz";
        EXPECT_EQ(launchArgs<powergpu::FreqRmsArgs>(log).binCount, std::get<4>(c) / 2 + 1);
    }
}

TEST(WindowSchedulingCalls, RingPositionAndTimeDomainGrid) {
    // One period of 128 samples from running index 1000: ring positions 232..255, 0..103.
    Logged m(Settings{12800.0, 256, SinglePhase, 1, 100.0});
    const Log log = m.schedule(1000, 128, 100.0);
    const auto window = [](const auto& args) {
        return std::vector<int>{args.window.n, args.window.offset, args.window.ringLength};
    };
    const std::vector<int> expected{128, 232, 256};  // length, position, ring
    EXPECT_EQ(window(launchArgs<powergpu::WaveformsUStarArgs>(log)), expected);
    EXPECT_EQ(window(launchArgs<powergpu::WaveformsIArgs>(log)), expected);
    EXPECT_EQ(window(launchArgs<powergpu::RmsUIArgs>(log)), expected);
    EXPECT_NEAR(m.module.getResults(0).at(0).channels[0].rmsU, 230.0, 230.0 * 1e-4);
    Logged w(Settings{10000.0, 70000, SinglePhase, 10, 2.0});  // 10 periods at 1.8 Hz: FFT length 65536
    uint64_t first = 0;
    for (const auto& c : {std::make_pair(33, 2u), std::make_pair(32, 1u), std::make_pair(32768, 1024u),
                          std::make_pair(40000, 1024u)}) {  // samples, blocks of a warp
        const Log shape = w.schedule(first, c.first, 2.0);
        for (const char* kernel : {"kernelWaveformsUStar", "kernelWaveformsI", "kernelRmsUI"}) {
            const LoggedCall launch = launchOf(shape, kernel);
            EXPECT_TRUE(launch.grid.x == c.second && launch.block.x == 32 && launch.block.y == 1)
                << kernel << " over " << c.first << " samples: " << launch.grid.x << " blocks";
        }
        first += static_cast<uint64_t>(c.first);
        w.module.getResults(0);
    }
}

TEST(WindowSchedulingCalls, HarmonicKernelArguments) {
    // Half width: 30 % of the fundamental in bins, rounded: 50 * 0.3 / 5 Hz = 3; 50 * 0.3 / 4 Hz = 3.75 -> 4.
    for (const auto& c : {std::make_pair(10240.0, 3.0), std::make_pair(8192.0, 4.0)}) {
        Settings s = with(SinglePhase, nullptr, 8);
        s.sampleRate = c.first;
        const auto harmonics = launchArgs<powergpu::HarmonicsArgs>(oneWindow(s, 1300));
        EXPECT_EQ(harmonics.halfWidth, c.second) << "half width at " << c.first;
        EXPECT_EQ(harmonics.dFrequency, c.first / 2048.0) << "bin width";
    }
    // THD sums stop at the highest order the row holds: at 4 kHz (FFT 1024) orders 0..40.
    for (const auto& c : {std::make_pair(100, 40.0), std::make_pair(25, 25.0)}) {
        Settings s = with(SinglePhase, [&](PowerModule& p) {
            p.setThdEnabled(true);
            p.setThdHighestHarmonic(c.first);
        });
        s.sampleRate = 4000.0;
        Logged m(s);
        const LoggedCall sums = launchOf(m.schedule(0, 800, 50.0), "kernelSumOfHarmonicsSquared");
        const auto& args = sums.argsAs<powergpu::SumOfHarmonicsSquaredArgs>();
        EXPECT_TRUE(args.highestOrder == c.second && args.harmonicCount == c.second + 1) << "setting " << c.first;
        EXPECT_EQ(sums.grid.x, 1u);
        EXPECT_EQ(sums.block.x, m.impl().settings().getBuffers().thdResults.getDeviceItemsCount())
            << "a thread per record";
    }
    // One warp per 32 orders, one row per spectrum; PQSZ alike with one row per phase.
    for (const auto& c : {std::make_pair(32, 2u), std::make_pair(31, 1u)}) {
        const Log log = oneWindow(with(SinglePhase, [&](PowerModule& p) { p.setHighestRequestedHarmonic(c.first); }));
        const LoggedCall harmonics = launchOf(log, "kernelHarmonics");
        const LoggedCall powers = launchOf(log, "kernelPQSZ");
        EXPECT_EQ(harmonics.argsAs<powergpu::HarmonicsArgs>().harmonicCount, c.first + 1) << "harmonic length";
        EXPECT_EQ(harmonics.grid.x, c.second) << "harmonic length " << c.first + 1;
        EXPECT_TRUE(harmonics.block.x == 32 && harmonics.block.y == 2 && powers.block.x == 32 && powers.block.y == 1);
        EXPECT_EQ(powers.grid.x, c.second);
    }
    // Sequence sums over all but the last bin, blocks of at most 256: 513 bins and 129 bins.
    for (const auto& c : {std::make_tuple(4, 800, 513.0, 256u, 2u), std::make_tuple(1, 200, 129.0, 128u, 1u)}) {
        const LoggedCall sums =
            launchOf(oneWindow(with(
                                   ThreePhaseStar, [](PowerModule& p) { p.setSymmetricalComponentsEnabled(true); },
                                   static_cast<uint16_t>(std::get<0>(c))),
                               std::get<1>(c)),
                     "kernelSymmetricalComponents");
        EXPECT_EQ(sums.argsAs<powergpu::SymmetricalComponentsArgs>().binCount, std::get<2>(c));
        EXPECT_EQ(sums.block.x, std::get<3>(c));
        EXPECT_EQ(sums.grid.x, std::get<4>(c));
        EXPECT_EQ(sums.block.y, 2u) << "voltage and current groups";
    }
}

TEST(WindowSchedulingCalls, GridsAndOptionsChooseTheirKernels) {
    const auto transforms = [](bool currents) {
        return [currents](PowerModule& p) {
            p.setCurrentEnabled(currents);
            enable(p, {&PowerModule::setSymmetricalComponentsEnabled, &PowerModule::setClarkeTransformEnabled,
                       &PowerModule::setParkTransformEnabled, &PowerModule::setClarkeOrParkVoltagesEnabled,
                       &PowerModule::setClarkeOrParkCurrentsEnabled});
        };
    };
    const Log without = oneWindow(with(ThreePhaseStarTwoCurrents, transforms(false)));
    for (const char* kernel : {"kernelWaveformsI", "kernelWaveformsI3", "kernelPQSZ", "kernelRmsUI"}) {
        EXPECT_EQ(countLaunches(without, kernel), 0) << kernel;
    }
    EXPECT_EQ(launchOf(without, "kernelRmsU").block.y, 3u);
    const auto spectraWithout = launchArgs<powergpu::FreqRmsArgs>(without);
    EXPECT_TRUE(spectraWithout.spectrumU != nullptr && spectraWithout.spectrumI == nullptr);
    for (const char* kernel :
         {"kernelSymmetricalComponents", "kernelSymmetricalComponentsH1", "kernelClarkeH1AndParkAve"}) {
        EXPECT_EQ(launchOf(without, kernel).block.y, 1u) << kernel << ": voltage groups only";
    }
    for (const auto& grid : {std::make_pair(ThreePhaseDelta, 3.0), std::make_pair(ThreePhaseDeltaTwoCurrents, 3.0),
                             std::make_pair(ThreePhaseDeltaTwoVoltagesTwoCurrents, 2.0)}) {
        const Log log = oneWindow(with(grid.first, nullptr));
        EXPECT_EQ(countLaunches(log, "kernelWaveformsUStar"), 0);
        const LoggedCall delta = launchOf(log, "kernelWaveformsUDelta");
        const auto& args = delta.argsAs<powergpu::WaveformsUDeltaArgs>();
        EXPECT_EQ(args.measuredLineCount, grid.second) << "measured voltages, grid " << grid.first;
        EXPECT_EQ(args.window.n, 2000) << "window length";
        EXPECT_EQ(delta.block.y, 3u);
    }
    // Park from the mechanical angle without kept waveforms has no destination ring.
    Logged m(with(ThreePhaseStar, [](PowerModule& p) {
        enable(p, {&PowerModule::setParkTransformEnabled, &PowerModule::setClarkeOrParkVoltagesEnabled,
                   &PowerModule::setMechanicalAngleUsed});
        p.setPolePairs(2);
        p.setMechAngleOffset(10.0);
    }));
    const Log log = m.schedule(0, 2000, 50.0);
    EXPECT_EQ(countLaunches(log, "kernelClarkeH1AndParkAve"), 0) << "Clarke off, Park from the angle";
    const LoggedCall park = launchOf(log, "kernelWaveformsPark");
    const auto& parkArgs = park.argsAs<powergpu::WaveformsParkArgs>();
    EXPECT_TRUE(park.block.y == 1 && parkArgs.polePairs == 2 && parkArgs.mechAngleOffset == 10.0);
    EXPECT_EQ(parkArgs.angleRing,
              m.impl().settings().getBuffers().waveforms.getDeviceBuffer(powergpu::kMechanicalAngleItem))
        << "angle ring";
    EXPECT_EQ(parkArgs.parkRing, nullptr);
}

TEST(ResultsQueueOrder, OldestWindowsLeaveFirstAndNothingPassesAnUnfinishedOne) {
    Logged m(Settings{});
    EXPECT_FALSE(m.module.isAnyResultReady());
    EXPECT_EQ(m.impl().scheduler().getResultsQueueSize(), 1u) << "only the pending item";
    std::vector<powergpu::EventHandle> transferred;
    for (int window = 0; window < 3; ++window) {
        transferred.push_back(callsOf(m.schedule(window * 2000u, 2000, 50.0), RuntimeCall::EventRecord).back().event);
    }
    const std::vector<PowerResultsGeneral> two = m.module.getResults(2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_TRUE(two[0].firstSampleIndex == 0 && two[1].firstSampleIndex == 2000);
    EXPECT_EQ(m.impl().scheduler().getNextSampleToDeliver(), 4000u);
    EXPECT_TRUE(m.module.isAnyResultReady()) << "the third stays at the front";
    m.schedule(6000, 2000, 50.0);
    // Window 3 is complete; window 2's event answers "not ready" once per
    // injected fault. Only the front is asked, and nothing leaves.
    m.runtime().clearCallLog();
    m.runtime().injectFault(RuntimeCall::EventQuery, powergpu::kErrorNotReady);
    EXPECT_FALSE(m.module.isAnyResultReady());
    m.runtime().injectFault(RuntimeCall::EventQuery, powergpu::kErrorNotReady);
    EXPECT_TRUE(m.module.getResults(0).empty());
    const std::vector<LoggedCall> queries = callsOf(m.runtime().callLog(), RuntimeCall::EventQuery);
    ASSERT_EQ(queries.size(), 2u);
    EXPECT_TRUE(queries[0].event == transferred[2] && queries[1].event == transferred[2]);
    EXPECT_EQ(m.impl().scheduler().getNextSampleToDeliver(), 4000u);
    const std::vector<PowerResultsGeneral> rest = m.module.getResults(0);
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_TRUE(rest[0].firstSampleIndex == 4000 && rest[1].firstSampleIndex == 6000);
    EXPECT_FALSE(m.module.isAnyResultReady());
}

TEST(ResultsQueueOrder, FlatGetResultsWithoutRoomFailsExactlyWhenSomethingWasReady) {
    Logged m(Settings{});
    PowerModuleHandle handle = &m.module;
    std::vector<PowerResultsGeneral> records(2);
    int32_t count = -7;
    EXPECT_EQ(status(getResults(handle, 0, &count, records.data())), 0);
    EXPECT_EQ(count, 0);
    m.schedule(0, 2000, 50.0);
    m.schedule(2000, 2000, 50.0);
    records[0].length = 77;
    count = -7;  // a negative maxCount is refused before anything leaves the queue
    EXPECT_EQ(status(getResults(handle, -1, &count, records.data())), 2);
    EXPECT_TRUE(count == -7 && records[0].length == 77);
    EXPECT_NE(lastError(handle).find("Too many results"), std::string::npos);
    bool ready = false;
    ASSERT_EQ(status(isAnyResultReady(handle, &ready)), 0);
    EXPECT_TRUE(ready);
    // Ready windows and no room: status 2, nothing written, the records are gone.
    EXPECT_EQ(status(getResults(handle, 0, &count, records.data())), 2);
    EXPECT_TRUE(count == -7 && records[0].length == 77);
    EXPECT_EQ(lastError(handle), "Too many results to fit in allocated space.");
    ASSERT_EQ(status(isAnyResultReady(handle, &ready)), 0);
    EXPECT_FALSE(ready);
    EXPECT_EQ(status(getResults(handle, 0, &count, records.data())), 0);
    EXPECT_EQ(count, 0);
}

TEST(ResultsQueueItems, LengthsPeriodsAndSpectrumPositionsFollowFromTheFftLength) {
    powergpu::CpuRuntime runtime;
    powergpu::StreamHandle stream = nullptr;
    ASSERT_EQ(runtime.streamCreateWithFlags(&stream, powergpu::kStreamNonBlocking), 0);
    using Item = powergpu::PowerResultsQueueItem;
    const auto item = [&](double rate, uint64_t spectrumPosition, uint64_t first, uint32_t length, double period,
                          uint16_t periods, uint32_t fft, uint32_t ring, uint32_t harmonics, double frequency) {
        auto queued = std::make_unique<Item>(runtime, rate, 1, 0, spectrumPosition, 0, 1, stream);
        queued->setCalculation(first, length, period, periods, fft, ring, harmonics, frequency);
        return queued;
    };
    const auto window = item(10240.0, 0, 5000, 1024, 204.8, 10, 1024, 1u << 20, 1000, 50.0);
    EXPECT_EQ(window->getFftOutputLength(), 513u);
    EXPECT_DOUBLE_EQ(window->getDFrequency(), 10.0);
    EXPECT_EQ(window->getHarmonicLength(), 104u) << "ceil(512 * 10 / 50) + 1 orders up to the highest bin";
    EXPECT_EQ(window->getNextSampleIndex(), 6024u);
    // Periods: the rounded count (5) capped by the setting (3).
    EXPECT_EQ(item(10000.0, 0, 0, 2000, 400.0, 10, 4096, 1u << 20, 41, 25.0)->getPeriodCount(), 5u);
    EXPECT_EQ(item(10000.0, 0, 0, 2000, 400.0, 3, 4096, 1u << 20, 41, 25.0)->getPeriodCount(), 3u);
    // 513 bins from 600 would run past a spectrum ring of 1000: they restart at 0; ending at 1000 is fine.
    EXPECT_EQ(item(10240.0, 600, 0, 1024, 204.8, 10, 1024, 1000, 104, 50.0)->getFirstFftOutputSampleIndex(), 0u);
    EXPECT_EQ(item(10240.0, 487, 0, 1024, 204.8, 10, 1024, 1000, 104, 50.0)->getFirstFftOutputSampleIndex(), 487u);
    runtime.streamDestroy(stream);
}

namespace {

// Refusals through the flat interface: status 1, a message naming the
// problem, no runtime call, no report, nothing changed; the next correct
// window is accepted and its record is right.
class WindowRefusals : public ::testing::Test {
protected:
    void SetUp() override {
        reports().clear();
        registerErrorReporter(&recordReport);
    }
    void TearDown() override { registerErrorReporter(nullptr); }
    // By default single phase at 10 kHz, a ring of one second, 50 Hz static: FFT length 4096, 6 result slots.
    void build(const Settings& settings = {}) { m = std::make_unique<Logged>(settings); }
    void write(uint64_t end) { m->feeder.writeUpTo(end); }
    std::vector<uint64_t> state() {
        return {m->impl().scheduler().getResultsQueueSize(), m->impl().scheduler().getSamplesWritten(),
                m->impl().scheduler().getNextSampleToCalculate(), m->impl().scheduler().getNextSampleToDeliver()};
    }
    void expectRefused(uint64_t first, int32_t length, double frequency, const std::vector<std::string>& words) {
        SCOPED_TRACE("window " + std::to_string(first) + " + " + std::to_string(length) + " at " +
                     std::to_string(frequency) + " Hz");
        const std::vector<uint64_t> before = state();
        m->runtime().clearCallLog();
        EXPECT_EQ(status(scheduleForCalculation(&m->module, first, length, frequency)), 1);
        const std::string message = lastError(&m->module);
        for (const std::string& word : words) {
            EXPECT_NE(message.find(word), std::string::npos) << "'" << word << "' missing in: " << message;
        }
        EXPECT_TRUE(m->runtime().callLog().empty()) << "a refused window must not touch the device";
        EXPECT_TRUE(reports().empty());
        EXPECT_EQ(state(), before);
    }
    void expectAccepted(uint64_t first, int32_t length, double frequency = 50.0) {
        ASSERT_EQ(status(scheduleForCalculation(&m->module, first, length, frequency)), 0) << lastError(&m->module);
        EXPECT_EQ(lastError(&m->module), "");
        PowerResultsGeneral record{};
        int32_t count = 0;
        ASSERT_EQ(status(getResults(&m->module, 1, &count, &record)), 0);
        ASSERT_EQ(count, 1);
        EXPECT_TRUE(record.firstSampleIndex == first && record.length == static_cast<uint32_t>(length));
        EXPECT_NEAR(record.channels[0].rmsU, 230.0, 230.0 * 1e-3) << "window at " << first;
        EXPECT_NEAR(record.channels[0].h1U, frequency == 50.0 ? 230.0 : record.channels[0].h1U, 230.0 * 1e-3);
    }
    std::unique_ptr<Logged> m;
};

}  // namespace

TEST_F(WindowRefusals, BeforeResetOnlyAndARebuildDropsJustWhatRefersToReplacedBuffers) {
    PowerModule fresh(POWER_BACKEND_CPU);
    EXPECT_EQ(status(scheduleForCalculation(&fresh, 0, 1, 50.0)), 1);
    EXPECT_NE(lastError(&fresh).find("reset"), std::string::npos);
    build();
    write(4000);
    // A rebuild that reallocates nothing (an RVC threshold) keeps an undelivered window.
    ASSERT_EQ(status(scheduleForCalculation(&m->module, 0, 2000, 50.0)), 0);
    ASSERT_EQ(status(setRvcThresholdInPercentOfAverage(&m->module, 3.0)), 0);
    ASSERT_EQ(status(scheduleForCalculation(&m->module, 2000, 2000, 50.0)), 0);
    PowerResultsGeneral kept[2];
    int32_t count = 0;
    ASSERT_EQ(status(getResults(&m->module, 2, &count, kept)), 0);
    ASSERT_EQ(count, 2);
    EXPECT_TRUE(kept[0].firstSampleIndex == 0 && kept[1].firstSampleIndex == 2000);
    EXPECT_NEAR(kept[0].channels[0].rmsU, 230.0, 230.0 * 1e-3);
    // THD adds result buffers: the undelivered window goes, writing and
    // scheduling go on from the next sample without a reset, and the
    // samples in the ring (its buffer unchanged) can still be scheduled.
    ASSERT_EQ(status(scheduleForCalculation(&m->module, 0, 2000, 50.0)), 0);
    ASSERT_EQ(status(setThdEnabled(&m->module, true)), 0);
    EXPECT_EQ(m->impl().scheduler().getResultsQueueSize(), 1u) << "only the new pending window";
    EXPECT_EQ(m->impl().scheduler().getNextSampleToDeliver(), 4000u);
    write(6000);
    expectAccepted(1000, 2000);
    expectAccepted(4000, 2000);
    // A longer ring replaces the rings: their old samples are gone.
    ASSERT_EQ(status(setBufferLength(&m->module, 12000)), 0);
    write(8000);
    expectRefused(5000, 2000, 50.0, {"rebuild", "6000"});
    expectAccepted(6000, 2000);
}

TEST_F(WindowRefusals, LengthsSamplesAndFrequenciesOutOfRange) {
    build();
    write(12000);  // the ring of 10000 now holds samples 2000 .. 11999
    expectRefused(2000, 0, 50.0, {"length", "0"});
    expectRefused(2000, 10001, 50.0, {"length", "10001", "buffer length", "10000"});
    expectRefused(2000, -1, 50.0, {"length"});
    expectRefused(11000, 2000, 50.0, {"not all written", "12000"});
    expectRefused(13000, 100, 50.0, {"not all written"});
    expectRefused(1000, 2000, 50.0, {"overwritten"});
    expectRefused(1999, 2000, 50.0, {"overwritten"});
    expectRefused(2000, 5000, 50.0, {"exceeds the FFT length", "4096"});
    const double inf = std::numeric_limits<double>::infinity();
    for (const double f : {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 0.0, -0.0, -50.0, 5000.0, 7000.0}) {
        expectRefused(2000, 2000, f, {"frequency"});
    }
    expectAccepted(2000, 2000);   // the oldest sample still in the ring
    expectAccepted(10000, 2000);  // ending at the last written sample
    expectAccepted(6000, 4096);   // as long as the FFT
}

TEST_F(WindowRefusals, FftLengthBelowFourAndAModuleWhoseRebuildFailed) {
    build(Settings{100.0, 10000, SinglePhase, 1, 60.0});  // one period at 54 Hz and up: 100 / 54 rounds up to 2
    write(100);
    expectRefused(0, 2, 40.0, {"FFT length", "below 4"});
    // Variable 40 .. 160 Hz: plans of 1024, 2048 and 4096; the second fails to build.
    build(with(SinglePhase, [](PowerModule& p) { p.setVariableFrequency(40.0, 160.0); }));
    write(6000);
    m->runtime().injectFault(RuntimeCall::FftPlanMany, powergpu::kFftInternalError, 1);
    EXPECT_EQ(status(beginUpdate(&m->module)), 0);
    EXPECT_EQ(status(endUpdate(&m->module)), 3);
    reports().clear();
    // Until a rebuild succeeds, everything that needs the buffers is refused and says why.
    expectRefused(0, 600, 150.0, {"not built", "CPU backend FFT error", "Internal error"});
    float* ring = nullptr;
    EXPECT_EQ(status(getWaveformBufferUInput(&m->module, 0, &ring)), 1);
    EXPECT_EQ(ring, nullptr);
    for (const PowerStatusCode refused :
         {writeSamples(&m->module, 10), skipSamples(&m->module, 10), reset(&m->module, 0)}) {
        EXPECT_EQ(status(refused), 1);
        EXPECT_NE(lastError(&m->module).find("not built"), std::string::npos) << lastError(&m->module);
    }
    EXPECT_EQ(m->impl().scheduler().getSamplesWritten(), 6000u) << "refused calls change nothing";
    // The next rebuild completes; the module goes on from the next sample.
    EXPECT_EQ(status(setVariableFrequency(&m->module, 40.0, 160.0)), 0);
    write(12000);
    expectAccepted(6000, 1250, 80.0);
    expectAccepted(7250, 2500, 40.0);
    expectAccepted(9750, 600, 150.0);
}

TEST_F(WindowRefusals, ParkFromAMechanicalAngleWhoseRingWasNotBuilt) {
    build(with(ThreePhaseStar, [](PowerModule& p) {
        enable(p, {&PowerModule::setParkTransformEnabled, &PowerModule::setClarkeOrParkVoltagesEnabled});
    }));
    write(4000);
    m->module.setMechanicalAngleUsed(true);  // a plain store: the angle ring comes with the next rebuild
    expectRefused(0, 2000, 50.0, {"mechanical angle", "rebuild"});
    m->module.setMechanicalAngleUsed(false);
    expectAccepted(0, 2000);
}

TEST_F(WindowRefusals, FullSpectraOfUndeliveredWindowsAreNeverOverwritten) {
    // Spectra of 2049 bins in a ring of 2049 + 10000: five windows, one fewer than the result slots.
    build(with(SinglePhase, [](PowerModule& p) { p.setFullFftEnabled(true); }));
    write(6000);
    for (uint64_t w = 0; w < 5; ++w) {
        ASSERT_EQ(status(scheduleForCalculation(&m->module, w * 1000, 1000, 50.0)), 0) << lastError(&m->module);
    }
    expectRefused(5000, 1000, 50.0, {"full spectra", "getResults"});
    PowerResultsGeneral records[5];
    int32_t count = 0;
    ASSERT_EQ(status(getResults(&m->module, 5, &count, records)), 0);
    ASSERT_EQ(count, 5);
    for (const PowerResultsGeneral& record : records) {
        // The bin of 50 Hz (2.44 Hz bins: bin 20.5, shared by bins 20 and 21) of each window's own spectrum.
        const PowerFloat2* spectrum = reinterpret_cast<const PowerFloat2*>(record.channels[0].fftU);
        ASSERT_NE(spectrum, nullptr);
        EXPECT_GT(std::hypot(spectrum[20].x, spectrum[20].y), 10.0) << "window at " << record.firstSampleIndex;
    }
}

TEST_F(WindowRefusals, EveryResultSlotHoldingAnUndeliveredWindow) {
    build();
    const uint64_t slots = m->impl().settings().getBuffers().getGeneralResultsBufferLength();
    ASSERT_EQ(slots, 6u);
    write(8000);
    for (uint64_t w = 0; w < slots; ++w) {
        ASSERT_EQ(status(scheduleForCalculation(&m->module, w * 1000, 1000, 50.0)), 0);
    }
    expectRefused(slots * 1000, 1000, 50.0, {"result slots", "getResults"});
    // Fetching one frees a slot; every record, the oldest included, is right.
    std::vector<PowerResultsGeneral> records(slots + 1);
    int32_t count = 0;
    ASSERT_EQ(status(getResults(&m->module, 1, &count, records.data())), 0);
    ASSERT_EQ(status(scheduleForCalculation(&m->module, slots * 1000, 1000, 50.0)), 0);
    ASSERT_EQ(status(getResults(&m->module, static_cast<int32_t>(slots), &count, records.data() + 1)), 0);
    ASSERT_EQ(static_cast<uint64_t>(count), slots);
    for (uint64_t w = 0; w <= slots; ++w) {
        EXPECT_EQ(records[w].firstSampleIndex, w * 1000);
        EXPECT_NEAR(records[w].channels[0].rmsU, 230.0, 230.0 * 1e-3) << "window " << w;
    }
}
