// Hostile call sequences through the flat interface, for libFuzzer.
//
// The input bytes decode into a sequence of flat calls on one module (CPU
// backend): setters inside and outside update brackets, unmatched brackets,
// rebuilds that must fail, writes and skips of any length, windows with any
// position, length and frequency, cycle tables for the period values, result
// retrieval, waveform getters with any channel, null handles, destroy and
// re-create, and the settings and retrieval calls of the grouped harmonic
// analysis, the flickermeters and the 10-s frequency. After every call the
// harness checks what a caller can observe:
//
//   - a call that returns non-zero leaves a message, and changes no getter,
//     no readiness and no waveform pointer (a failed rebuild is the one
//     exception: it may leave the module unbuilt until a rebuild succeeds);
//   - a successful call leaves no message;
//   - an accepted write or window never spans more samples than the ring of
//     the last completed rebuild, whatever an open bracket has stored;
//   - after a rebuild that ran out of memory, reset, writes, skips and
//     schedules are refused until a rebuild succeeds;
//   - delivered windows are windows that were scheduled, in schedule order,
//     and the memory their records point to can be read;
//   - a waveform getter never hands out a ring for a channel the grid lacks;
//   - at the end, whatever happened before, a well-formed configuration,
//     reset, write, schedule and retrieval succeed on the same module and
//     deliver the rms of the written sine.
//
// The sanitizers catch the rest: every crash, overflow, use after free, leak
// and undefined operation inside the library is a finding.
//
// The harness writes into the host rings only where the last successful
// rebuild certainly sized them, so every memory error it provokes is the
// library's.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "observation.h"
#include "powergpu.h"

namespace {

using namespace powergpu::fuzz;  // NOLINT: the harness is written in its terms

// -------------------------------------------------------------------- model

// What the harness knows for sure about the module, from the calls it made.
struct Model {
    // Bracket depth: beginUpdate minus endUpdate calls since creation.
    int depth = 0;
    // Buffer length that a rebuild now would use, as small as it may be.
    uint64_t storedLength = 0;
    bool storedLengthExact = true;  // false once a failed setBufferLength left it open
    double storedRate = 1.0;
    int32_t storedPositions = 1;
    // What the last successful rebuild sized; unknown before the first one
    // and after a failed one.
    bool built = false;
    // The last rebuild failed for want of memory (status 3): until one
    // succeeds, the module refuses every call that needs its buffers.
    bool rebuildFailed = false;
    uint64_t ringLength = 0;
    bool ringLengthExact = false;
    uint8_t voltages = 0;
    uint8_t currents = 0;
    uint8_t phases = 0;
    double sampleRate = 1.0;
    // Running indices as far as the accepted calls tell.
    uint64_t written = 0;
    uint64_t cycleCursor = 0;  // sub-samples
    struct Window {
        uint64_t first;
        uint32_t length;
    };
    std::deque<Window> scheduled;
};

// --------------------------------------------------------------- the runner

class Runner {
public:
    explicit Runner(Input& in) : in_(in) {}
    ~Runner() {
        if (m_ != nullptr) {
            expectSuccess("powerModule_destroy", powerModule_destroy(m_));
        }
    }

    void create() {
        trace("m = powerModule_createOnBackend(POWER_BACKEND_CPU);\n");
        m_ = powerModule_createOnBackend(POWER_BACKEND_CPU);
        if (m_ == nullptr) {
            violated("powerModule_createOnBackend(CPU) returned null: " + lastMessage());
        }
        model_ = Model{};
        current_ = observe(m_);
    }

    void run() {
        // The final check's choices come first, so that every sequence ends
        // with its own.
        final_.grid = in_.byte();
        final_.amplitude = in_.byte();
        final_.outputs = in_.byte();
        final_.first = in_.byte();
        create();
        int steps = 0;
        while (!in_.empty() && steps++ < 64) {
            step();
        }
        if (m_ == nullptr) {
            create();
        }
        finalCheck();
    }

private:
    // ---- call bookkeeping

    // What a failing call may have changed.
    enum class OnFailure { ChangesNothing, MayLeaveUnbuilt, MayDropResults };

    // Checks a call's message and, for a failure, that it changed nothing.
    // Returns whether it succeeded.
    bool after(const char* call, PowerStatusCode status, OnFailure onFailure = OnFailure::ChangesNothing) {
        trace("  /* -> %d */\n", code(status));
        checkMessage(call, status);
        const Observation now = observe(m_);
        if (status != PowerStatusCode::Success && onFailure == OnFailure::ChangesNothing && !(now == current_)) {
            violated(std::string(call) + " returned " + std::to_string(code(status)) + " but changed " +
                     current_.firstDifference(now));
        }
        current_ = now;
        return status == PowerStatusCode::Success;
    }

    void expectSuccess(const char* call, PowerStatusCode status) {
        if (status != PowerStatusCode::Success) {
            violated(std::string(call) + " failed in a well-formed sequence: " + lastMessage());
        }
    }

    // A rebuild happened when a rebuilding setter or the closing endUpdate
    // returned with the bracket closed; the getters now tell what it applied.
    void rebuilt(PowerStatusCode status) {
        // Windows may survive a rebuild or not; the delivery check allows both.
        const bool succeeded = status == PowerStatusCode::Success;
        model_.built = succeeded;
        // Status 1 may also be a setting refused before anything changed.
        if (succeeded || status == PowerStatusCode::GpuError) {
            model_.rebuildFailed = !succeeded;
        }
        if (!succeeded) {
            return;
        }
        model_.ringLength = model_.storedLength;
        model_.ringLengthExact = model_.storedLengthExact;
        model_.sampleRate = model_.storedRate;
        getVoltagesCount(m_, &model_.voltages);
        getCurrentsCount(m_, &model_.currents);
        getPhasesCount(m_, &model_.phases);
        model_.cycleCursor = model_.written * static_cast<uint64_t>(std::max(model_.storedPositions, 1));
    }

    // A setter that rebuilds unless a bracket is open.
    void rebuildingSetter(const char* call, PowerStatusCode status) {
        const bool rebuilds = model_.depth == 0;
        after(call, status, rebuilds ? OnFailure::MayLeaveUnbuilt : OnFailure::ChangesNothing);
        if (rebuilds) {
            rebuilt(status);
        }
    }

    // ---- value tables: mostly small and valid, the rest at the edges

    double frequency() {
        const double fs = model_.sampleRate;
        const double table[] = {50.0,  60.0,      49.97,  16.7,  400.0,    0.0,
                                -50.0, kNaN,      kInf,   -kInf, fs / 2.0, std::nextafter(fs / 2.0, 0.0),
                                fs,    10.0 * fs, 1e-300, 1e300};
        return in_.byte() < 200 ? table[in_.byte() % 5] : in_.pick(table);
    }

    // ---- one call

    void step() {
        switch (in_.byte() % 27) {
            case 0:
                model_.depth++;
                trace("beginUpdate(m);");
                after("beginUpdate", beginUpdate(m_));
                break;
            case 1: {
                const bool closes = model_.depth == 1;
                model_.depth--;
                trace("endUpdate(m);");
                const PowerStatusCode status = endUpdate(m_);
                after("endUpdate", status, closes ? OnFailure::MayLeaveUnbuilt : OnFailure::ChangesNothing);
                if (closes) {
                    rebuilt(status);
                }
                break;
            }
            case 2:
                setBufferLengthStep();
                break;
            case 3:
                setSampleRateStep();
                break;
            case 4: {
                const double f = frequency();
                const double tolerances[] = {0.1, 0.0, 0.5, 0.9, -1.0, kNaN, 1e-9};
                const double tolerance = in_.pick(tolerances);
                trace("setStaticFrequency(m, %.17g, %.17g);", f, tolerance);
                rebuildingSetter("setStaticFrequency", setStaticFrequency(m_, f, tolerance));
                break;
            }
            case 5: {
                const double low = frequency();
                const double high = frequency();
                trace("setVariableFrequency(m, %.17g, %.17g);", low, high);
                rebuildingSetter("setVariableFrequency", setVariableFrequency(m_, low, high));
                break;
            }
            case 6: {
                const uint8_t b = in_.byte();
                const auto type = static_cast<PowerGridConfigType>(b < 240 ? b % 8 : static_cast<int32_t>(in_.u32()));
                trace("setGridConfigType(m, %d);", static_cast<int>(type));
                rebuildingSetter("setGridConfigType", setGridConfigType(m_, type));
                break;
            }
            case 7: {
                const uint16_t counts[] = {10, 1, 2, 12, 0, 65535, 3};
                const uint16_t count = in_.pick(counts);
                trace("setPeriodCount(m, %u);", count);
                rebuildingSetter("setPeriodCount", setPeriodCount(m_, count));
                break;
            }
            case 8:
                harmonicStep();
                break;
            case 9:
                boolSetterStep();
                break;
            case 10:
                plainStoreStep();
                break;
            case 11:
                rvcStep();
                break;
            case 12:
                resetStep();
                break;
            case 13:
                writeStep();
                break;
            case 14:
                skipStep();
                break;
            case 15:
            case 16:
                scheduleStep();
                break;
            case 17: {
                bool ready = false;
                trace("isAnyResultReady(m, &ready);");
                after("isAnyResultReady", isAnyResultReady(m_, &ready));
                break;
            }
            case 18:
            case 19:
                getResultsStep();
                break;
            case 20:
                periodScheduleStep();
                break;
            case 21:
                periodResultsStep();
                break;
            case 22:
                waveformStep();
                break;
            case 23:
                trace("syncCuda(m);");
                after("syncCuda", syncCuda(m_));
                break;
            case 24:
                recreateStep();
                break;
            case 25:
                oddArgumentsStep();
                break;
            case 26:
                voltageEventStep();
                break;
        }
    }

    void setBufferLengthStep() {
        const int32_t lengths[] = {1000, 256, 512, 2000, 4096,    100,     64,         0,
                                   1,    3,   -1,  -5,   kIntMin, kIntMax, 2000000000, 100000};
        const uint8_t b = in_.byte();
        const int32_t length = b < 240 ? lengths[b % 16] : static_cast<int32_t>(in_.u32());
        trace("setBufferLength(m, %d);", length);
        const PowerStatusCode status = setBufferLength(m_, length);
        const uint64_t asked = static_cast<uint64_t>(static_cast<int64_t>(length));
        // A failure may or may not have stored the length: keep the smaller.
        if (status == PowerStatusCode::Success) {
            model_.storedLength = asked;
            model_.storedLengthExact = true;
        } else {
            model_.storedLengthExact = model_.storedLengthExact && asked == model_.storedLength;
            model_.storedLength = std::min(model_.storedLength, asked);
        }
        rebuildingSetter("setBufferLength", status);
    }

    void setSampleRateStep() {
        const double rates[] = {1000.0, 2000.0, 5000.0, 10000.0, 4000.0, 0.0,   -1000.0, kNaN,
                                kInf,   1e-3,   1e9,    44100.0, 1.0,    500.0, 1e300,   3.0};
        const int32_t positions[] = {1, 1, 2, 10, 0, -1, kIntMax, 1000};
        const double rate = in_.pick(rates);
        const int32_t perSample = in_.pick(positions);
        trace("setSampleRate(m, %.17g, %d);", rate, perSample);
        const PowerStatusCode status = setSampleRate(m_, rate, perSample);
        if (status == PowerStatusCode::Success) {
            model_.storedRate = rate;
            model_.storedPositions = perSample;
        }
        rebuildingSetter("setSampleRate", status);
    }

    void harmonicStep() {
        const int32_t orders[] = {1, 10, 40, 50, 0, -5, kIntMax, 1000000, 2, 63};
        const int32_t order = in_.pick(orders);
        const bool highest = in_.flag();
        trace("%s(m, %d);", highest ? "setHighestRequestedHarmonic" : "setThdHighestHarmonic", order);
        if (highest) {
            rebuildingSetter("setHighestRequestedHarmonic", setHighestRequestedHarmonic(m_, order));
        } else {
            rebuildingSetter("setThdHighestHarmonic", setThdHighestHarmonic(m_, order));
        }
    }

    void boolSetterStep() {
        using BoolSetter = PowerStatusCode (*)(PowerModuleHandle, bool);
        static const BoolSetter setters[] = {setClarkeOrParkCurrentsEnabled,
                                             setClarkeOrParkVoltagesEnabled,
                                             setClarkeOrParkWaveformsEnabled,
                                             setClarkeTransformEnabled,
                                             setParkTransformEnabled,
                                             setCurrentEnabled,
                                             setFullFftEnabled,
                                             setFundamentalPeriodValuesEnabled,
                                             setInterHarmonicsEnabled,
                                             setLineToLineResultsEnabled,
                                             setPeriodSymmetricalComponentsEnabled,
                                             setPeriodValuesEnabled,
                                             setRvcEnabled,
                                             setSymmetricalComponentsEnabled,
                                             setThdEnabled,
                                             setWaveformsEnabled};
        const uint8_t which = in_.byte();
        const bool value = in_.flag();
        static const char* const names[] = {"setClarkeOrParkCurrentsEnabled",
                                            "setClarkeOrParkVoltagesEnabled",
                                            "setClarkeOrParkWaveformsEnabled",
                                            "setClarkeTransformEnabled",
                                            "setParkTransformEnabled",
                                            "setCurrentEnabled",
                                            "setFullFftEnabled",
                                            "setFundamentalPeriodValuesEnabled",
                                            "setInterHarmonicsEnabled",
                                            "setLineToLineResultsEnabled",
                                            "setPeriodSymmetricalComponentsEnabled",
                                            "setPeriodValuesEnabled",
                                            "setRvcEnabled",
                                            "setSymmetricalComponentsEnabled",
                                            "setThdEnabled",
                                            "setWaveformsEnabled",
                                            "setMechanicalAngleUsed"};
        trace("%s(m, %s);", names[which % 17], value ? "true" : "false");
        if (which % 17 == 16) {
            after("setMechanicalAngleUsed", setMechanicalAngleUsed(m_, value));  // a plain store
            return;
        }
        rebuildingSetter("a boolean setter", setters[which % 16](m_, value));
    }

    void plainStoreStep() {
        const uint16_t counts[] = {2, 1, 0, 4, 65535, 20};
        const uint16_t percents[] = {0, 50, 99, 100, 101, 65535};
        const int32_t pairs[] = {1, 2, 0, -1, kIntMax};
        const double angles[] = {0.0, 90.0, -720.0, kNaN, kInf};
        switch (in_.byte() % 4) {
            case 0: {
                const uint16_t count = in_.pick(counts);
                trace("setHalfPeriodValuesCount(m, %u);", count);
                after("setHalfPeriodValuesCount", setHalfPeriodValuesCount(m_, count));
                break;
            }
            case 1: {
                const uint16_t percent = in_.pick(percents);
                trace("setPeriodValuesOverlapInPercent(m, %u);", percent);
                after("setPeriodValuesOverlapInPercent", setPeriodValuesOverlapInPercent(m_, percent));
                break;
            }
            case 2: {
                const int32_t polePairs = in_.pick(pairs);
                trace("setPolePairs(m, %d);", polePairs);
                after("setPolePairs", setPolePairs(m_, polePairs));
                break;
            }
            case 3: {
                const double angle = in_.pick(angles);
                trace("setMechAngleOffset(m, %.17g);", angle);
                after("setMechAngleOffset", setMechAngleOffset(m_, angle));
                break;
            }
        }
    }

    void rvcStep() {
        const int32_t lengths[] = {100, 10, 1, 0, -3, kIntMax};
        const double percents[] = {2.0, 50.0, 0.0, -1.0, kNaN, kInf, 1e300};
        switch (in_.byte() % 3) {
            case 0: {
                const int32_t length = in_.pick(lengths);
                trace("setRvcSteadyStateLengthInNumberOfPeriodValues(m, %d);", length);
                rebuildingSetter("setRvcSteadyStateLengthInNumberOfPeriodValues",
                                 setRvcSteadyStateLengthInNumberOfPeriodValues(m_, length));
                break;
            }
            case 1: {
                const double percent = in_.pick(percents);
                trace("setRvcThresholdInPercentOfAverage(m, %.17g);", percent);
                rebuildingSetter("setRvcThresholdInPercentOfAverage", setRvcThresholdInPercentOfAverage(m_, percent));
                break;
            }
            case 2: {
                const double percent = in_.pick(percents);
                trace("setRvcThresholdHysteresisInPercentOfThreshold(m, %.17g);", percent);
                rebuildingSetter("setRvcThresholdHysteresisInPercentOfThreshold",
                                 setRvcThresholdHysteresisInPercentOfThreshold(m_, percent));
                break;
            }
        }
    }

    void resetStep() {
        const uint64_t starts[] = {0, 1000, 123456789, std::numeric_limits<uint64_t>::max() - 10, uint64_t{1} << 62, 7};
        const uint64_t first = in_.pick(starts);
        trace("reset(m, %llu);", static_cast<unsigned long long>(first));
        const PowerStatusCode status = reset(m_, first);
        refusedWhileUnbuilt("reset", status);
        if (after("reset", status)) {
            model_.written = first;
            model_.cycleCursor = first * static_cast<uint64_t>(std::max(model_.storedPositions, 1));
            model_.scheduled.clear();
        }
    }

    // Fills the channels of the applied grid at the next running indices,
    // never beyond the ring the last successful rebuild sized.
    void fillRings(uint32_t count, int signal, double amplitude) {
        if (!model_.built || model_.ringLength == 0) {
            return;
        }
        const uint64_t n = std::min<uint64_t>(count, model_.ringLength);
        const auto fill = [&](WaveformGetter getter, uint8_t channels, double scale) {
            for (uint8_t c = 0; c < channels; ++c) {
                float* ring = nullptr;
                if (getter(m_, c, &ring) != PowerStatusCode::Success || ring == nullptr) {
                    continue;
                }
                for (uint64_t k = 0; k < n; ++k) {
                    const uint64_t index = model_.written + k;
                    const double t = static_cast<double>(index % 100000) / std::max(model_.sampleRate, 1.0);
                    const double value = signal == 0   ? amplitude * scale
                                         : signal == 1 ? amplitude * scale * std::sin(2.0 * kPi * 50.0 * t + c)
                                                       : amplitude * scale * ((index * 2654435761u) % 1000) / 500.0;
                    ring[index % model_.ringLength] = static_cast<float>(value);
                }
            }
        };
        fill(getWaveformBufferUInput, model_.voltages, 1.0);
        fill(getWaveformBufferI, model_.currents, 0.1);
    }

    void writeStep() {
        const uint32_t ring = static_cast<uint32_t>(std::min<uint64_t>(model_.ringLength, UINT32_MAX - 1));
        const uint32_t counts[] = {200, 100, 1, ring, ring + 1, 0, UINT32_MAX, 4000, 20000, ring / 2};
        const uint8_t b = in_.byte();
        const uint32_t count = b < 250 ? counts[b % 10] : in_.u32();
        const int signal = in_.byte() % 3;
        const double amplitude = 1.0 + in_.byte();
        trace("/* fill %u samples (signal %d, amplitude %g) */ ", count, signal, amplitude);
        fillRings(count, signal, amplitude);
        trace("writeSamples(m, %u);", count);
        const PowerStatusCode status = writeSamples(m_, count);
        if (count > 0) {
            refusedWhileUnbuilt("writeSamples", status);
        }
        if (after("writeSamples", status)) {
            model_.written += count;
            ringHolds("writeSamples", count);
        }
    }

    // Whatever is stored, the rings are those of the last completed rebuild:
    // an accepted write or window never spans more than they hold.
    void ringHolds(const char* call, uint64_t count) const {
        if (model_.built && model_.ringLengthExact && count > model_.ringLength) {
            violated(std::string(call) + " accepted " + std::to_string(count) + " samples for a ring of " +
                     std::to_string(model_.ringLength));
        }
    }

    // A module whose last rebuild failed has no buffers to work on.
    void refusedWhileUnbuilt(const char* call, PowerStatusCode status) const {
        if (model_.rebuildFailed && status == PowerStatusCode::Success) {
            violated(std::string(call) + " was accepted although the last rebuild failed");
        }
    }

    void skipStep() {
        const uint32_t counts[] = {1, 100, 0, 1000, 100000, UINT32_MAX};
        const uint32_t count = in_.pick(counts);
        trace("skipSamples(m, %u);", count);
        const PowerStatusCode status = skipSamples(m_, count);
        if (count > 0) {
            refusedWhileUnbuilt("skipSamples", status);
        }
        if (after("skipSamples", status)) {
            model_.written += count;
        }
    }

    void scheduleStep() {
        const int32_t ring = static_cast<int32_t>(std::min<uint64_t>(model_.ringLength, kIntMax - 1));
        const int32_t lengths[] = {200, 100, 20, ring, ring + 1, 0, -1, kIntMax, 3, 1, 4, 1000};
        const int32_t length = in_.pick(lengths);
        const uint64_t w = model_.written;
        const uint64_t firsts[] = {w - static_cast<uint64_t>(length),
                                   w - static_cast<uint64_t>(length) - 100,
                                   w,
                                   w - model_.ringLength,
                                   w - model_.ringLength - 1,
                                   0};
        const uint8_t b = in_.byte();
        const uint64_t first = b < 250 ? firsts[b % 6] : in_.u64();
        const double f = frequency();
        trace("scheduleForCalculation(m, %llu, %d, %.17g);", static_cast<unsigned long long>(first), length, f);
        const PowerStatusCode status = scheduleForCalculation(m_, first, length, f);
        refusedWhileUnbuilt("scheduleForCalculation", status);
        if (after("scheduleForCalculation", status)) {
            ringHolds("scheduleForCalculation", static_cast<uint32_t>(length));
            model_.scheduled.push_back({first, static_cast<uint32_t>(length)});
        }
    }

    // Reads every byte a record points to, so that the sanitizer sees a
    // pointer into freed or foreign memory.
    static void touch(const PowerResultsGeneral& r) {
        volatile float sink = 0.0f;
        for (int c = 0; c <= std::min<int>(r.phasesCount, 3); ++c) {
            const PowerResultsChannel& ch = r.channels[c];
            const float* arrays[] = {ch.harmonicsU,      ch.harmonicsI,       ch.harmonicsUL, ch.interharmonicsU,
                                     ch.interharmonicsI, ch.interharmonicsUL, ch.harmonicsP,  ch.harmonicsQ,
                                     ch.harmonicsS,      ch.harmonicsZ,       ch.phasesU,     ch.phasesI};
            for (const float* a : arrays) {
                if (a != nullptr && r.harmonicLength > 0) {
                    sink = sink + a[0] + a[r.harmonicLength - 1];
                }
            }
            const PowerFloat2* spectra[] = {ch.fftU, ch.fftI, ch.fftUL};
            for (const PowerFloat2* s : spectra) {
                if (s != nullptr && r.fftOutputLength > 0) {
                    sink = sink + s[0].x + s[r.fftOutputLength - 1].y;
                }
            }
        }
    }

    void getResultsStep() {
        const int32_t maxCounts[] = {4, 1, 0, -1, 2, 16};
        const int32_t maxCount = in_.pick(maxCounts);
        std::vector<PowerResultsGeneral> records(static_cast<size_t>(std::max(maxCount, 0)));
        int32_t count = -1;
        trace("getResults(m, %d, &count, records);", maxCount);
        const PowerStatusCode status = getResults(m_, maxCount, &count, records.empty() ? nullptr : records.data());
        // With room for all ready records (maxCount 0), status 2 loses them.
        const bool mayDrop = maxCount == 0 && status == PowerStatusCode::TooManyResults;
        if (!after("getResults", status, mayDrop ? OnFailure::MayDropResults : OnFailure::ChangesNothing)) {
            return;
        }
        if (count < 0 || (maxCount > 0 && count > maxCount) || (maxCount == 0 && count != 0)) {
            violated("getResults delivered " + std::to_string(count) + " records for maxCount " +
                     std::to_string(maxCount));
        }
        for (int32_t k = 0; k < count; ++k) {
            const PowerResultsGeneral& r = records[static_cast<size_t>(k)];
            // Windows may be dropped (rebuild, skip) but never invented or reordered.
            while (!model_.scheduled.empty() && (model_.scheduled.front().first != r.firstSampleIndex ||
                                                 model_.scheduled.front().length != r.length)) {
                model_.scheduled.pop_front();
            }
            if (model_.scheduled.empty()) {
                violated("getResults delivered a window at " + std::to_string(r.firstSampleIndex) + " of length " +
                         std::to_string(r.length) + " that was not scheduled (or out of order)");
            }
            model_.scheduled.pop_front();
            if (r.phasesCount > 3) {
                violated("a record with phasesCount " + std::to_string(r.phasesCount));
            }
            touch(r);
        }
    }

    void periodScheduleStep() {
        const int32_t counts[] = {4, 1, 8, 0, 16, -1, kIntMin, 3};
        int32_t count = in_.pick(counts);
        const bool nullArrays = in_.byte() > 240;
        const size_t n = static_cast<size_t>(std::max(count, 0));
        std::vector<uint64_t> starts(n);
        std::vector<int32_t> lengths(n);
        std::vector<double> frequencies(n);
        std::unique_ptr<bool[]> valid(new bool[n + 1]);
        const double fs = model_.sampleRate;
        const int32_t pps = std::max(model_.storedPositions, 1);
        uint64_t cursor = model_.cycleCursor;
        for (size_t k = 0; k < n; ++k) {
            const double f = frequency();
            // The sample rate may be anything a setter accepted, NaN included.
            const double cycle = std::isfinite(f) && f > 0.0 ? fs * pps / f : 100.0;
            const int32_t exact = cycle >= 1.0 ? static_cast<int32_t>(std::min(cycle, 1e9)) : 1;
            const int32_t cycleLengths[] = {exact, exact, exact + 1, 0, -1, kIntMax, 1};
            const int32_t length = in_.byte() < 220 ? exact : in_.pick(cycleLengths);
            const uint8_t jump = in_.byte();
            if (jump > 240) {
                // Far ahead, or back (over cycles already reported).
                const uint64_t back = std::min<uint64_t>(cursor, static_cast<uint64_t>(pps) * 1000);
                cursor = jump > 250 ? in_.u64() : cursor - back;
            }
            starts[k] = cursor;
            lengths[k] = length;
            frequencies[k] = f;
            valid[k] = in_.byte() < 230;
            cursor += static_cast<uint64_t>(std::max(length, 0));
        }
        if (nullArrays) {
            trace("scheduleForPeriodCalculation(m, %d, NULL, NULL, NULL, NULL);", count);
        } else {
            trace("{");
            for (size_t k = 0; k < n; ++k) {
                trace(" starts[%zu] = %llu; lengths[%zu] = %d; frequencies[%zu] = %.17g; valid[%zu] = %d;", k,
                      static_cast<unsigned long long>(starts[k]), k, lengths[k], k, frequencies[k], k,
                      valid[k] ? 1 : 0);
            }
            trace(" scheduleForPeriodCalculation(m, %d, starts, lengths, frequencies, valid); }", count);
        }
        const PowerStatusCode status = nullArrays
                                           ? scheduleForPeriodCalculation(m_, count, nullptr, nullptr, nullptr, nullptr)
                                           : scheduleForPeriodCalculation(m_, count, starts.data(), lengths.data(),
                                                                          frequencies.data(), valid.get());
        if (count > 0) {
            refusedWhileUnbuilt("scheduleForPeriodCalculation", status);
        }
        if (after("scheduleForPeriodCalculation", status)) {
            model_.cycleCursor = cursor;
        }
    }

    void periodResultsStep() {
        int32_t count = -1;
        bool more = false;
        PowerResultsPeriod* records = nullptr;
        trace("getPeriodResults(m, &count, &more, &records);");
        if (!after("getPeriodResults", getPeriodResults(m_, &count, &more, &records))) {
            return;
        }
        if (count < 0 || (count > 0 && records == nullptr)) {
            violated("getPeriodResults returned count " + std::to_string(count) + " with records " +
                     (records == nullptr ? "null" : "set"));
        }
        const size_t perValue = model_.built ? static_cast<size_t>(model_.phases) + 1 : 1;
        volatile double sink = 0.0;
        for (size_t k = 0; k < static_cast<size_t>(count) * perValue; ++k) {
            sink = sink + records[k].time + records[k].symmetricalComponent.rmsU;
        }
    }

    void waveformStep() {
        const uint8_t family = in_.byte() % (kWaveformFamilies + 1);
        const uint8_t b = in_.byte();
        const uint8_t channel = b < 200 ? b % 5 : b;
        float* ring = nullptr;
        if (family == kWaveformFamilies) {
            trace("getWaveformBufferMechAngles(m, &ring);");
            after("getWaveformBufferMechAngles", getWaveformBufferMechAngles(m_, &ring));
            return;
        }
        trace("getWaveformBuffer%s(m, %u, &ring);", kWaveformNames[family], channel);
        const PowerStatusCode status = kWaveformGetters[family](m_, channel, &ring);
        if (!after("getWaveformBuffer", status)) {
            return;
        }
        // No grid has more than three channels of a kind, and a grid with
        // fewer phases has no ring for the others (derived channels of
        // three-phase grids count). With the bracket closed the model's
        // phases are the grid's.
        const bool input = family == 0 || family == 3;
        const uint8_t limit = model_.phases == 3 ? 3 : model_.phases;
        const bool known = model_.built && model_.depth == 0;
        if (channel >= 3 || (input && known && channel >= limit)) {
            violated(std::string("getWaveformBuffer") + kWaveformNames[family] + " accepted channel " +
                     std::to_string(channel) + " (the grid has " + std::to_string(limit) + ")");
        }
    }

    // The detector of dips, swells and interruptions: its plain stores and
    // the two retrieval calls.
    void voltageEventStep() {
        using Setter = PowerStatusCode (*)(PowerModuleHandle, double);
        static const Setter setters[] = {setVoltageEventDeclaredVoltage, setVoltageDipThresholdInPercent,
                                         setVoltageSwellThresholdInPercent, setVoltageInterruptionThresholdInPercent,
                                         setVoltageEventHysteresisInPercent};
        static const char* const names[] = {
            "setVoltageEventDeclaredVoltage", "setVoltageDipThresholdInPercent", "setVoltageSwellThresholdInPercent",
            "setVoltageInterruptionThresholdInPercent", "setVoltageEventHysteresisInPercent"};
        const double values[] = {230.0, 90.0, 110.0, 5.0, 2.0, 0.0, 100.0, 101.0, -1.0, kNaN, kInf, 1e-300};
        const int32_t maxCounts[] = {4, 0, 1, -1, 16};
        const uint8_t which = in_.byte() % 12;
        if (which >= 9) {
            analysisStep(which - 9);
            return;
        }
        if (which < 5) {
            const double value = in_.pick(values);
            trace("%s(m, %.17g);", names[which], value);
            after(names[which], setters[which](m_, value));
            return;
        }
        if (which < 7) {
            const bool value = in_.flag();
            const bool enable = which == 5;
            trace("%s(m, %s);", enable ? "setVoltageEventsEnabled" : "setVoltageEventSlidingReferenceEnabled",
                  value ? "true" : "false");
            after("a voltage event switch",
                  enable ? setVoltageEventsEnabled(m_, value) : setVoltageEventSlidingReferenceEnabled(m_, value));
            return;
        }
        const int32_t maxCount = in_.pick(maxCounts);
        const bool ended = which == 7;
        std::vector<PowerVoltageEvent> events(static_cast<size_t>(std::max(maxCount, 0)));
        int32_t count = -1;
        trace("%s(m, %d, &count, events);", ended ? "getVoltageEvents" : "getVoltageEventsInProgress", maxCount);
        PowerVoltageEvent* out = events.empty() ? nullptr : events.data();
        const PowerStatusCode status =
            ended ? getVoltageEvents(m_, maxCount, &count, out) : getVoltageEventsInProgress(m_, maxCount, &count, out);
        if (!after("getVoltageEvents", status)) {
            return;
        }
        // With maxCount 0 the count is of the events waiting.
        if (count < 0 || (maxCount > 0 && count > maxCount) || (!ended && count > 3)) {
            violated("voltage event retrieval gave count " + std::to_string(count) + " for maxCount " +
                     std::to_string(maxCount));
        }
        for (int32_t k = 0; maxCount > 0 && k < count; ++k) {
            const PowerVoltageEvent& e = events[static_cast<size_t>(k)];
            if (e.type < POWER_VOLTAGE_EVENT_DIP || e.type > POWER_VOLTAGE_EVENT_INTERRUPTION ||
                e.ended != (ended ? 1 : 0)) {
                violated("a voltage event of type " + std::to_string(e.type) + ", ended " + std::to_string(e.ended));
            }
        }
    }

    // The analyses beside the general results, each sized from its own
    // settings: the grouped harmonic analysis (0), the flickermeters (1) and
    // the 10-s frequency (2), their settings and retrieval calls.
    void analysisStep(const int analysis) {
        const int32_t maxCounts[] = {4, 0, 1, -1, 2000};
        const uint8_t which = in_.byte() % 4;
        if (analysis == 0 && which < 3) {
            const int32_t orders[] = {50, 1, 13, 0, 51, -1};
            const bool value = in_.flag();
            const int32_t order = in_.pick(orders);
            trace("setIecHarmonics%s(m, %d);",
                  which == 0   ? "Enabled"
                  : which == 1 ? "HighestOrder"
                               : "CurrentsEnabled",
                  which == 1 ? order : static_cast<int>(value));
            rebuildingSetter("a grouped-harmonics setter", which == 0   ? setIecHarmonicsEnabled(m_, value)
                                                           : which == 1 ? setIecHarmonicsHighestOrder(m_, order)
                                                                        : setIecHarmonicsCurrentsEnabled(m_, value));
            return;
        }
        if (analysis == 0) {
            const int32_t maxCount = in_.pick(maxCounts);
            std::vector<PowerIecHarmonics> records(static_cast<size_t>(std::max(maxCount, 0)));
            int32_t count = -1;
            trace("getIecHarmonics(m, %d, &count, records);", maxCount);
            if (!after("getIecHarmonics",
                       getIecHarmonics(m_, maxCount, &count, records.empty() ? nullptr : records.data()))) {
                return;
            }
            if (count < 0 || (maxCount > 0 && count > maxCount) || (maxCount == 0 && count > 1024)) {
                violated("getIecHarmonics gave count " + std::to_string(count) + " for maxCount " +
                         std::to_string(maxCount));
            }
            for (int32_t k = 0; maxCount > 0 && k < count; ++k) {
                const PowerIecHarmonics& r = records[static_cast<size_t>(k)];
                if (r.length < 1 || r.highestOrder < 0 || r.highestOrder > 50 || r.voltageCount > 3 ||
                    r.currentCount > 3) {
                    violated("a grouped-harmonics record of length " + std::to_string(r.length) + ", highest order " +
                             std::to_string(r.highestOrder));
                }
            }
            return;
        }
        if (analysis == 1 && which < 3) {
            const int32_t lamps[] = {POWER_FLICKER_LAMP_230V, POWER_FLICKER_LAMP_120V, 0, 7, -1};
            const double frequencies[] = {50.0, 60.0, 0.0, kNaN, 55.0};
            const bool value = in_.flag();
            const int32_t lamp = in_.pick(lamps);
            const double frequency = in_.pick(frequencies);
            trace("setFlicker%s(m, %.17g);",
                  which == 0   ? "Enabled"
                  : which == 1 ? "Lamp"
                               : "SystemFrequency",
                  which == 0   ? static_cast<double>(value)
                  : which == 1 ? static_cast<double>(lamp)
                               : frequency);
            rebuildingSetter("a flicker setter", which == 0   ? setFlickerEnabled(m_, value)
                                                 : which == 1 ? setFlickerLamp(m_, lamp)
                                                              : setFlickerSystemFrequency(m_, frequency));
            return;
        }
        if (analysis == 1) {
            const uint8_t channel = in_.byte() % 5;
            const int32_t capacity = in_.pick(maxCounts);
            std::vector<PowerFlickerPst> records(static_cast<size_t>(std::max(capacity, 0)));
            int32_t count = -1;
            trace("getFlickerPst(m, %u, %d, &count, records);", channel, capacity);
            if (after("getFlickerPst",
                      getFlickerPst(m_, channel, capacity, &count, records.empty() ? nullptr : records.data())) &&
                (count < 0 || count > std::max(capacity, 0))) {
                violated("getFlickerPst gave count " + std::to_string(count) + " for capacity " +
                         std::to_string(capacity));
            }
            return;
        }
        if (which < 2) {  // plain stores, applied at the next reset
            const double clocks[] = {0.0, 1.7e9, -5.0, kNaN, kInf};
            const bool value = in_.flag();
            const double clock = in_.pick(clocks);
            trace(which == 0 ? "setTenSecondFrequencyEnabled(m, %.17g);" : "setClockTimeAtSampleIndexZero(m, %.17g);",
                  which == 0 ? static_cast<double>(value) : clock);
            after("a 10-s frequency setting",
                  which == 0 ? setTenSecondFrequencyEnabled(m_, value) : setClockTimeAtSampleIndexZero(m_, clock));
            return;
        }
        const int32_t maxCount = in_.pick(maxCounts);
        std::vector<PowerTenSecondFrequency> records(static_cast<size_t>(std::max(maxCount, 0)));
        int32_t count = -1;
        trace("getTenSecondFrequencies(m, %d, &count, records);", maxCount);
        if (after("getTenSecondFrequencies",
                  getTenSecondFrequencies(m_, maxCount, &count, records.empty() ? nullptr : records.data())) &&
            (count < 0 || (maxCount > 0 && count > maxCount))) {
            violated("getTenSecondFrequencies gave count " + std::to_string(count) + " for maxCount " +
                     std::to_string(maxCount));
        }
    }

    void recreateStep() {
        if (in_.flag()) {
            // Calls on a null handle fail and touch nothing; destroying null is fine.
            bool ready = false;
            float* ring = nullptr;
            trace("/* calls on a null handle */\n");
            if (writeSamples(nullptr, 1) == PowerStatusCode::Success ||
                isAnyResultReady(nullptr, &ready) == PowerStatusCode::Success ||
                getWaveformBufferUInput(nullptr, 0, &ring) == PowerStatusCode::Success ||
                setBufferLength(nullptr, 100) == PowerStatusCode::Success) {
                violated("a call on a null handle succeeded");
            }
            if (powerModule_destroy(nullptr) != PowerStatusCode::Success) {
                violated("powerModule_destroy(NULL) failed");
            }
            return;
        }
        trace("powerModule_destroy(m);\n");
        expectSuccess("powerModule_destroy", powerModule_destroy(m_));
        m_ = nullptr;
        create();
    }

    // Out-pointers and capacities a careless caller passes.
    void oddArgumentsStep() {
        char buffer[4];
        int32_t length = 0;
        trace("/* odd arguments */ ");
        switch (in_.byte() % 4) {
            case 0:
                getLastErrorMessage(m_, buffer, 1, &length);
                break;
            case 1:
                getLastErrorMessage(m_, nullptr, 0, &length);
                break;
            case 2:
                after("isAnyResultReady(null)", isAnyResultReady(m_, nullptr));
                break;
            case 3: {
                int32_t count = 0;
                after("getResults(null records)", getResults(m_, 2, &count, nullptr));
                break;
            }
        }
    }

    // ---- the end: the module must still work

    void finalCheck() {
        // Close or reopen the brackets the sequence left, so that one more
        // bracket rebuilds.
        for (; model_.depth > 0; --model_.depth) {
            endUpdate(m_);
        }
        for (; model_.depth < 0; ++model_.depth) {
            beginUpdate(m_);
        }
        const PowerGridConfigType grids[] = {SinglePhase, ThreePhaseStar, ThreePhaseStarTwoCurrents, TwoPhase,
                                             SinglePhaseSecondary};
        const PowerGridConfigType grid = grids[final_.grid % 5];
        trace("/* final check: brackets balanced, grid %d, 1 kHz, 1024 samples, sine of 50 Hz */\n", grid);
        const double amplitude = 1.0 + final_.amplitude * 3.0;
        const double fs = 1000.0;
        const uint32_t ringLength = 1024;
        const int32_t window = 200;  // ten cycles of 50 Hz
        expectSuccess("beginUpdate", beginUpdate(m_));
        expectSuccess("setSampleRate", setSampleRate(m_, fs, 1));
        expectSuccess("setBufferLength", setBufferLength(m_, ringLength));
        expectSuccess("setStaticFrequency", setStaticFrequency(m_, 50.0, 0.1));
        expectSuccess("setGridConfigType", setGridConfigType(m_, grid));
        expectSuccess("setPeriodCount", setPeriodCount(m_, 10));
        expectSuccess("setHighestRequestedHarmonic", setHighestRequestedHarmonic(m_, 10));
        expectSuccess("setThdHighestHarmonic", setThdHighestHarmonic(m_, 10));
        expectSuccess("setCurrentEnabled", setCurrentEnabled(m_, true));
        expectSuccess("setRvcSteadyStateLengthInNumberOfPeriodValues",
                      setRvcSteadyStateLengthInNumberOfPeriodValues(m_, 10));
        expectSuccess("setRvcThresholdInPercentOfAverage", setRvcThresholdInPercentOfAverage(m_, 2.0));
        expectSuccess("setRvcThresholdHysteresisInPercentOfThreshold",
                      setRvcThresholdHysteresisInPercentOfThreshold(m_, 50.0));
        // The optional outputs stay as the sequence left them or as the input asks.
        expectSuccess("setThdEnabled", setThdEnabled(m_, (final_.outputs & 1) != 0));
        expectSuccess("setInterHarmonicsEnabled", setInterHarmonicsEnabled(m_, (final_.outputs & 2) != 0));
        expectSuccess("setFullFftEnabled", setFullFftEnabled(m_, (final_.outputs & 4) != 0));
        expectSuccess("endUpdate", endUpdate(m_));

        const uint64_t first = final_.first * uint64_t{1000003};
        expectSuccess("reset", reset(m_, first));
        uint8_t voltages = 0;
        uint8_t currents = 0;
        uint8_t phases = 0;
        expectSuccess("getVoltagesCount", getVoltagesCount(m_, &voltages));
        expectSuccess("getCurrentsCount", getCurrentsCount(m_, &currents));
        expectSuccess("getPhasesCount", getPhasesCount(m_, &phases));
        for (uint8_t c = 0; c < voltages + currents; ++c) {
            float* ring = nullptr;
            const bool voltage = c < voltages;
            expectSuccess("getWaveformBuffer", voltage
                                                   ? getWaveformBufferUInput(m_, c, &ring)
                                                   : getWaveformBufferI(m_, static_cast<uint8_t>(c - voltages), &ring));
            const double scale = voltage ? 1.0 : 0.25;
            for (int32_t k = 0; k < window; ++k) {
                const double phase = 2.0 * kPi * 50.0 * k / fs;
                ring[(first + static_cast<uint64_t>(k)) % ringLength] =
                    static_cast<float>(amplitude * scale * std::sin(phase));
            }
        }
        expectSuccess("writeSamples", writeSamples(m_, window));
        expectSuccess("scheduleForCalculation", scheduleForCalculation(m_, first, window, 50.0));
        expectSuccess("syncCuda", syncCuda(m_));
        PowerResultsGeneral records[4];
        int32_t count = 0;
        expectSuccess("getResults", getResults(m_, 4, &count, records));
        if (count != 1 || records[0].firstSampleIndex != first || records[0].length != static_cast<uint32_t>(window)) {
            violated("the final window was not delivered once as scheduled (" + std::to_string(count) + " records)");
        }
        // Ten whole cycles of a sine: rms = amplitude / sqrt(2); the samples
        // are floats, so the sum carries their rounding (relative 1e-7).
        const double expected = amplitude / std::sqrt(2.0);
        for (uint8_t p = 0; p < phases; ++p) {
            const double rms = records[0].channels[p].rmsU;
            if (!(std::fabs(rms - expected) <= 1e-5 * expected)) {
                violated("final window, phase " + std::to_string(p) + ": rmsU " + std::to_string(rms) + " instead of " +
                         std::to_string(expected));
            }
        }
        const double rmsI = records[0].channels[0].rmsI;
        if (!(std::fabs(rmsI - 0.25 * expected) <= 1e-5 * expected)) {
            violated("final window: rmsI of phase 1 " + std::to_string(rmsI) + " instead of " +
                     std::to_string(0.25 * expected));
        }
    }

    Input& in_;
    struct FinalChoices {
        uint8_t grid = 0;
        uint8_t amplitude = 0;
        uint8_t outputs = 0;  // bits: THD, interharmonics, full spectra
        uint8_t first = 0;    // first running index, in steps of 1000003
    } final_;
    PowerModuleHandle m_ = nullptr;
    Model model_;
    Observation current_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tracing = std::getenv("POWERGPU_FUZZ_TRACE") != nullptr;
    messageReader = powerModule_createOnBackend(POWER_BACKEND_CPU);
    if (messageReader == nullptr) {
        violated("no CPU module can be created");
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    Runner runner(in);
    runner.run();
    return 0;
}
