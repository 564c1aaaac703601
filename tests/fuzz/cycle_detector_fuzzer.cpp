// Hostile settings and call sequences for the cycle detector, for libFuzzer.
//
// The input bytes decode into the detector's settings (any double and
// integer, the edges of their ranges, NaN, infinities) and a sequence of
// flat calls: samples of a sine of any amplitude and frequency with spikes,
// NaN, infinities, huge and denormal values and gaps of zeros, in chunks of
// any size; null and negative arguments; takes of any count; the flush in
// the middle; the getters; a null handle. After every call the harness
// checks what a caller can observe:
//
//   - a rejected call leaves a message and changes neither the samples
//     consumed nor the entries waiting; an accepted one leaves no message;
//   - the entries follow one another without a hole or an overlap from the
//     start index on, each at least one position long, of a known kind,
//     valid only as a measured cycle whose frequency lies within the
//     tolerance of the nominal one, with a finite positive amplitude;
//   - after the flush the entries cover every sample fed, to the position;
//   - the taps are 2 x delay + 1 finite numbers, symmetric.
//
// The sanitizers catch the rest (crashes, overflows, leaks, undefined
// operations inside the library).
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "powergpu.h"

namespace {

using namespace powergpu::fuzz;  // NOLINT: the harness is written in its terms

std::string message() {
    char text[512] = {};
    int32_t length = 0;
    getLastErrorMessage(nullptr, text, static_cast<int32_t>(sizeof text), &length);
    return text;
}

bool hasMessage() {
    char text[256];
    int32_t length = 0;
    return code(getLastErrorMessage(nullptr, text, static_cast<int32_t>(sizeof text), &length)) == 0 && length > 0;
}

void expectRejected(PowerStatusCode status, const char* call) {
    if (code(status) == 0) {
        violated(std::string(call) + " accepted what it must refuse");
    }
    if (!hasMessage()) {
        violated(std::string(call) + " failed without a message");
    }
}

void expectAccepted(PowerStatusCode status, const char* call) {
    if (code(status) != 0) {
        violated(std::string(call) + " failed (status " + std::to_string(code(status)) + "): " + message());
    }
    if (hasMessage()) {
        violated(std::string(call) + " succeeded and left a message");
    }
}

PowerCycleDetectorSettings decodeSettings(Input& in) {
    PowerCycleDetectorSettings s;
    expectAccepted(powerCycleDetector_defaultSettings(&s), "powerCycleDetector_defaultSettings");
    const double rates[] = {10000.0, 6400.0, 1000.0, 200.0, 199.0, 1e6, 0.0, -1.0, kNaN, kInf, 4e9};
    const double nominals[] = {50.0, 60.0, 16.7, 400.0, 0.0, -50.0, kNaN, 1e-300};
    const int64_t positions[] = {1000, 1, 999, 1 << 20, -1000, INT64_MAX, 4096};
    const double fractions[] = {0.15, 0.0, 1.0, 0.5, -0.1, kNaN, kInf, 1e-9};
    const double levels[] = {kNaN, 230.0, 0.0, -1.0, 1e-30, 1e300, kInf};
    const double filterCycles[] = {10.0, 1.0, 0.01, 3.3, 100.0, 1e9, kNaN, -2.0};
    const double gaps[] = {2.0, 1.5, 1.49, 100.0, 1e12, kNaN, kInf};
    s.sampleRate = in.flag() ? in.rawDouble() : in.pick(rates);
    s.nominalFrequency = in.flag() ? in.rawDouble() : in.pick(nominals);
    s.positionsPerSample = in.pick(positions);
    s.startIndex = in.flag() ? in.u64() : in.byte() * 1000ULL;
    s.tolerance = in.pick(fractions);
    s.nominalRms = in.pick(levels);
    s.minAmplitude = in.pick(fractions);
    s.hysteresis = in.pick(fractions);
    s.filterCycles = in.pick(filterCycles);
    s.maxGapCycles = in.pick(gaps);
    return s;
}

// A chunk of samples: a sine with disturbances, from the input.
std::vector<double> decodeSamples(Input& in, std::size_t count, double rate, double& phase) {
    const double amplitudes[] = {325.0, 1.0, 0.0, 1e-300, 1e300, -5.0};
    const double frequencies[] = {50.0, 49.5, 50.5, 60.0, 0.0, 200.0, 1.0, 4999.0};
    const double hostile[] = {kNaN, kInf, -kInf, 1e308, -1e308, 4.9e-324, 0.0};
    const double amplitude = in.pick(amplitudes);
    const double step = 2.0 * kPi * in.pick(frequencies) / (std::isfinite(rate) && rate > 0.0 ? rate : 10000.0);
    std::vector<double> samples(count);
    for (double& sample : samples) {
        sample = amplitude * std::sin(phase);
        phase = std::fmod(phase + step, 2.0 * kPi);
    }
    const int disturbances = in.byte() % 8;
    for (int d = 0; d < disturbances && count > 0; ++d) {
        const std::size_t at = in.u32() % count;
        const std::size_t run = std::min<std::size_t>(count - at, 1 + in.u32() % 4000);
        const double value = in.pick(hostile);
        for (std::size_t k = at; k < at + (in.flag() ? 1 : run); ++k) {
            samples[k] = value;
        }
    }
    return samples;
}

// The entries taken so far, checked one by one as they arrive.
struct Coverage {
    PowerCycleDetectorSettings settings;
    uint64_t end;  // where the next entry must start

    void check(const PowerCycleEntry& e) {
        if (e.start != end) {
            violated("an entry starts at " + std::to_string(e.start) + ", the last ended at " + std::to_string(end));
        }
        if (e.length <= 0) {
            violated("an entry of " + std::to_string(e.length) + " positions");
        }
        if (e.kind != POWER_CYCLE_MEASURED && e.kind != POWER_CYCLE_FILLER && e.kind != POWER_CYCLE_PARTIAL) {
            violated("an entry of kind " + std::to_string(e.kind));
        }
        if (e.reserved != 0 || e.valid > 1) {
            violated("an entry with reserved bits or a validity of " + std::to_string(e.valid));
        }
        if (e.valid != 0) {
            const double deviation = std::abs(e.frequency / settings.nominalFrequency - 1.0);
            // the frequency is 1 / length: a length within the tolerance gives
            // a frequency within tolerance / (1 - tolerance) of the nominal one
            const double limit = settings.tolerance / (1.0 - std::min(settings.tolerance, 0.5)) + 1e-9;
            if (e.kind != POWER_CYCLE_MEASURED || !(deviation <= limit) || !std::isfinite(e.amplitude) ||
                !(e.amplitude > 0.0)) {
                violated("a valid entry of kind " + std::to_string(e.kind) + " at " + std::to_string(e.frequency) +
                         " Hz, amplitude " + std::to_string(e.amplitude));
            }
        }
        end = e.start + static_cast<uint64_t>(e.length);
    }
};

int32_t waiting(PowerCycleDetectorHandle detector) {
    int32_t count = -1;
    expectAccepted(powerCycleDetector_takeEntries(detector, 0, &count, nullptr), "powerCycleDetector_takeEntries");
    return count;
}

uint64_t consumed(PowerCycleDetectorHandle detector) {
    uint64_t count = 0;
    expectAccepted(powerCycleDetector_getSamplesConsumed(detector, &count), "powerCycleDetector_getSamplesConsumed");
    return count;
}

void checkTaps(PowerCycleDetectorHandle detector) {
    int32_t delay = -1;
    int32_t count = -1;
    expectAccepted(powerCycleDetector_getFilterDelay(detector, &delay), "powerCycleDetector_getFilterDelay");
    expectAccepted(powerCycleDetector_getFilterTaps(detector, 0, &count, nullptr), "powerCycleDetector_getFilterTaps");
    if (count != 2 * delay + 1) {
        violated(std::to_string(count) + " taps for a delay of " + std::to_string(delay));
    }
    std::vector<double> taps(static_cast<std::size_t>(count));
    expectAccepted(powerCycleDetector_getFilterTaps(detector, count, &count, taps.data()),
                   "powerCycleDetector_getFilterTaps");
    for (std::size_t k = 0; k < taps.size(); ++k) {
        if (!std::isfinite(taps[k]) || taps[k] != taps[taps.size() - 1 - k]) {
            violated("tap " + std::to_string(k) + " is not finite or not symmetric");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const PowerCycleDetectorSettings settings = decodeSettings(in);
    PowerCycleDetectorHandle detector = nullptr;
    if (code(powerCycleDetector_create(&settings, &detector)) != 0) {
        if (detector != nullptr || !hasMessage()) {
            violated("a refused detector was made, or refused without a message");
        }
        return 0;
    }
    const uint64_t positions = static_cast<uint64_t>(settings.positionsPerSample);
    Coverage coverage{settings, settings.startIndex * positions};
    // Coverage is checked only where the positions fit 64 bits.
    const bool covered = settings.startIndex < (UINT64_MAX / positions) / 2;
    uint64_t fed = 0;
    double phase = 0.0;
    bool flushed = false;
    std::vector<PowerCycleEntry> entries;
    const std::size_t chunks[] = {0, 1, 7, 200, 997, 4096, 20000, 65536};

    for (int call = 0; call < 48 && !in.empty(); ++call) {
        const int32_t waitingBefore = waiting(detector);
        switch (in.byte() % 8) {
            case 0:
            case 1: {
                const std::vector<double> samples = decodeSamples(in, in.pick(chunks), settings.sampleRate, phase);
                const PowerStatusCode status =
                    powerCycleDetector_process(detector, samples.data(), static_cast<int64_t>(samples.size()));
                if (flushed) {
                    expectRejected(status, "powerCycleDetector_process after the flush");
                } else if (code(status) != 0 && message().find("past the last position") != std::string::npos) {
                    // near the end of the positions (a start index close to 2^62 / positionsPerSample)
                } else {
                    expectAccepted(status, "powerCycleDetector_process");
                    fed += samples.size();
                }
                break;
            }
            case 2:
                expectRejected(powerCycleDetector_process(detector, nullptr, 1 + in.byte()),
                               "powerCycleDetector_process of null samples");
                expectRejected(powerCycleDetector_process(detector, nullptr, -1 - in.byte()),
                               "powerCycleDetector_process of a negative count");
                if (waiting(detector) != waitingBefore) {
                    violated("a refused process changed the entries waiting");
                }
                break;
            case 3:
                expectAccepted(powerCycleDetector_flush(detector), "powerCycleDetector_flush");
                flushed = true;
                break;
            case 4: {
                const int32_t counts[] = {1, 3, 100, 100000};
                const int32_t maxCount = in.pick(counts);
                std::vector<PowerCycleEntry> taken(static_cast<std::size_t>(maxCount));
                int32_t count = -1;
                expectAccepted(powerCycleDetector_takeEntries(detector, maxCount, &count, taken.data()),
                               "powerCycleDetector_takeEntries");
                if (count < 0 || count > maxCount || count > waitingBefore) {
                    violated("took " + std::to_string(count) + " of " + std::to_string(waitingBefore));
                }
                entries.insert(entries.end(), taken.begin(), taken.begin() + count);
                break;
            }
            case 5:
                expectRejected(powerCycleDetector_takeEntries(detector, -1, nullptr, nullptr),
                               "powerCycleDetector_takeEntries without count");
                {
                    int32_t count = 0;
                    expectRejected(powerCycleDetector_takeEntries(detector, 5, &count, nullptr),
                                   "powerCycleDetector_takeEntries into null");
                }
                expectRejected(powerCycleDetector_getReferenceLevel(nullptr, nullptr), "a call on a null handle");
                if (waiting(detector) != waitingBefore) {
                    violated("a refused take changed the entries waiting");
                }
                break;
            case 6: {
                bool known = false;
                uint64_t anchor = 0;
                double level = -1.0;
                int32_t latency = -1;
                expectAccepted(powerCycleDetector_getAnchor(detector, &known, &anchor), "powerCycleDetector_getAnchor");
                expectAccepted(powerCycleDetector_getReferenceLevel(detector, &level),
                               "powerCycleDetector_getReferenceLevel");
                expectAccepted(powerCycleDetector_getFilterLatency(detector, &latency),
                               "powerCycleDetector_getFilterLatency");
                if (!(level >= 0.0) || latency < 0) {
                    violated("a reference level of " + std::to_string(level) + " or a latency of " +
                             std::to_string(latency));
                }
                break;
            }
            default:
                checkTaps(detector);
                break;
        }
        if (consumed(detector) != fed) {
            violated(std::to_string(consumed(detector)) + " samples consumed of " + std::to_string(fed) + " fed");
        }
    }

    expectAccepted(powerCycleDetector_flush(detector), "powerCycleDetector_flush");
    int32_t count = waiting(detector);
    std::vector<PowerCycleEntry> rest(static_cast<std::size_t>(count));
    expectAccepted(powerCycleDetector_takeEntries(detector, count, &count, rest.data()),
                   "powerCycleDetector_takeEntries");
    entries.insert(entries.end(), rest.begin(), rest.begin() + count);
    if (covered) {
        for (const PowerCycleEntry& e : entries) {
            coverage.check(e);
        }
        const uint64_t want = (settings.startIndex + fed) * positions;
        if (fed > 0 && coverage.end != want) {
            violated("the entries end at " + std::to_string(coverage.end) + ", the samples at " + std::to_string(want));
        }
    }
    expectAccepted(powerCycleDetector_destroy(detector), "powerCycleDetector_destroy");
    return 0;
}
