// Period values: each finished period window becomes one group of records
// (summary, then one per phase) computed on the host from the waveform rings
// and the reference tracks, and is handed out once the general results up to
// its last sample have been delivered.
#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "kernels/cpu/CpuTargetClones.h"
#include "kernels/cpu/LaneSums.h"
#include "period/PeriodEngine.h"
#include "period/PeriodReadiness.h"
#include "post/PowerSymmetricalComponents.h"

namespace {

constexpr int kMaxPhases = 3;
constexpr double kDegreesPerRadian = 57.29577951308232;

// Running sums of one phase over a window; w is the sample weight (the
// window's share of the sample), fr the reference frequency, (cr, sr) the
// reference phasor.
struct PhaseSums {
    double uSquares = 0.0;              // sum w u^2
    std::complex<double> uFundamental;  // sum w u fr (cr - j sr)
    double iSquares = 0.0;              // sum w i^2
    double uiProducts = 0.0;            // sum w u i
    std::complex<double> iFundamental;  // sum w i fr (cr - j sr)
    double lineToLineSquares = 0.0;     // sum w ul^2
};

// Rings of one phase; null where the channel is absent.
struct PhaseRings {
    const float* u = nullptr;
    const float* i = nullptr;
    const float* lineToLine = nullptr;
};

// The interior sums of one phase, in lanes (see LaneSums.h).
enum InteriorSum { kUSquares, kURe, kUIm, kISquares, kUIProducts, kIRe, kIIm, kLineSquares, kInteriorSums };

struct InteriorLanes {
    powergpu::cpu::LaneSum sums[kInteriorSums];
};

// Per-sample terms of one chunk of samples.
struct InteriorChunk {
    double re[powergpu::cpu::kChunk];  // fr cr
    double im[powergpu::cpu::kChunk];  // -fr sr
    double terms[kInteriorSums][powergpu::cpu::kChunk];
};

// The terms of `count` weight-1 samples of one phase (rings from the
// sample's ring position on), added to the phase's lanes.
template <bool WithCurrent, bool WithLineToLine>
POWERGPU_CPU_INLINE void addChunk(InteriorLanes& lanes, InteriorChunk& chunk, const float* u, const float* i,
                                  const float* ul, int count) {
    for (int k = 0; k < count; ++k) {
        const double voltage = static_cast<double>(u[k]);
        chunk.terms[kUSquares][k] = voltage * voltage;
        chunk.terms[kURe][k] = voltage * chunk.re[k];
        chunk.terms[kUIm][k] = voltage * chunk.im[k];
        if (WithCurrent) {
            const double current = static_cast<double>(i[k]);
            chunk.terms[kISquares][k] = current * current;
            chunk.terms[kUIProducts][k] = voltage * current;
            chunk.terms[kIRe][k] = current * chunk.re[k];
            chunk.terms[kIIm][k] = current * chunk.im[k];
        }
        if (WithLineToLine) {
            const double line = static_cast<double>(ul[k]);
            chunk.terms[kLineSquares][k] = line * line;
        }
    }
    for (int s = 0; s < kInteriorSums; ++s) {
        const bool used = s <= kUIm || (s == kLineSquares ? WithLineToLine : WithCurrent);
        if (used) {
            lanes.sums[s].add(chunk.terms[s], count);
        }
    }
}

// The samples first .. first + count - 1, all of weight 1, walked in runs
// that are contiguous in the rings and the reference tracks, and each run
// in chunks whose per-sample terms are formed first (vectorised), then
// summed in lanes. Compiled for several instruction sets like the CPU
// kernels.
POWERGPU_CPU_KERNEL_CLONES void addInterior(const uint64_t first, const uint64_t count, const double* trackFrequency,
                                            const double* trackPhasor, const uint64_t trackLength,
                                            const uint64_t waveformLength,
                                            const std::array<PhaseRings, kMaxPhases>& rings, const int phases,
                                            double& frequencyWeight, std::array<PhaseSums, kMaxPhases>& sums) {
    std::array<InteriorLanes, kMaxPhases> lanes{};
    powergpu::cpu::LaneSum frequencyLanes;
    InteriorChunk chunk;
    uint64_t done = 0;
    while (done < count) {
        const uint64_t track = (first + done) % trackLength;
        const uint64_t position = (first + done) % waveformLength;
        const uint64_t run64 = std::min({count - done, trackLength - track, waveformLength - position});
        const int run = static_cast<int>(std::min<uint64_t>(run64, powergpu::cpu::kChunk));
        const double* frequency = trackFrequency + track;
        const double* phasor = trackPhasor + 2 * track;
        for (int k = 0; k < run; ++k) {
            const double fr = frequency[k];
            chunk.re[k] = fr * phasor[2 * k];
            chunk.im[k] = -fr * phasor[2 * k + 1];
        }
        frequencyLanes.add(frequency, run);
        for (int c = 0; c < phases; ++c) {
            if (rings[c].u == nullptr) {
                continue;
            }
            const float* u = rings[c].u + position;
            const float* i = rings[c].i != nullptr ? rings[c].i + position : nullptr;
            const float* ul = rings[c].lineToLine != nullptr ? rings[c].lineToLine + position : nullptr;
            if (i != nullptr && ul != nullptr) {
                addChunk<true, true>(lanes[c], chunk, u, i, ul, run);
            } else if (i != nullptr) {
                addChunk<true, false>(lanes[c], chunk, u, i, ul, run);
            } else if (ul != nullptr) {
                addChunk<false, true>(lanes[c], chunk, u, i, ul, run);
            } else {
                addChunk<false, false>(lanes[c], chunk, u, i, ul, run);
            }
        }
        done += static_cast<uint64_t>(run);
    }
    frequencyWeight += frequencyLanes.total();
    for (int c = 0; c < phases; ++c) {
        const powergpu::cpu::LaneSum* l = lanes[c].sums;
        PhaseSums& sum = sums[c];
        sum.uSquares += l[kUSquares].total();
        sum.uFundamental += std::complex<double>(l[kURe].total(), l[kUIm].total());
        sum.iSquares += l[kISquares].total();
        sum.uiProducts += l[kUIProducts].total();
        sum.iFundamental += std::complex<double>(l[kIRe].total(), l[kIIm].total());
        sum.lineToLineSquares += l[kLineSquares].total();
    }
}

// Angle difference in degrees brought into (-180, 180].
double wrapDegrees(double degrees) {
    if (!(degrees > -180.0 && degrees <= 180.0)) {
        degrees -= std::ceil(degrees / 360.0 - 0.5) * 360.0;
    }
    return degrees;
}

double magnitude(const std::complex<double>& value) {
    return std::hypot(value.real(), value.imag());
}

PowerDouble2 toDouble2(const std::complex<double>& value) {
    return PowerDouble2{value.real(), value.imag()};
}

[[noreturn]] void reject(const std::string& reason) {
    throw PowerInvalidCall("getPeriodResults: " + reason);
}

}  // namespace

namespace powergpu {

void PeriodEngine::getPeriodResults(int* const count, bool* const more, PowerResultsPeriod** const records,
                                    const bool reset) {
    const PowerConfig& config = settings_.getAppliedConfig();
    const PowerBuffers& buffers = settings_.getBuffers();
    if (count == nullptr || more == nullptr || records == nullptr) {
        reject("count, more and records must all be given");
    }
    powergpu::requirePeriodValuesReady("getPeriodResults", config, reset, currentPeriodItem != nullptr);
    PowerResultsPeriod* const ring = buffers.periodResults.getHostBuffer(0);
    const uint64_t recordsPerPeriod = buffers.periodRecordsPerPeriod;
    const uint64_t slots = buffers.getPeriodResultsBufferLength();
    if (ring == nullptr || recordsPerPeriod == 0 || slots == 0 ||
        buffers.periodResults.getLength() < recordsPerPeriod * slots) {
        reject("the period results have no memory; finish the settings (endUpdate) and call reset");
    }

    *count = 0;
    *more = false;
    if (periodQueue.empty()) {
        return;
    }
    *records = ring + (periodQueue.front()->getItemIndex() % slots) * recordsPerPeriod;

    const uint64_t delivered = progress_.nextSampleToDeliver.load();
    while (!periodQueue.empty()) {
        const PeriodItemPointer window = periodQueue.front();
        // Derived channels reach the host with the general results; a period
        // value waits until those cover its samples. `delivered` is the first
        // sample not yet delivered, so the window's last sample must lie
        // before it: a window ending exactly there would read one derived
        // sample that is not on the host yet. It also waits until the tracks
        // of its samples are final (see tracksFinalBefore).
        if (window->getLastRequiredSampleIndex() >= delivered ||
            window->getLastRequiredSampleIndex() >= tracksFinalBefore) {
            return;
        }
        const uint64_t slot = window->getItemIndex() % slots;
        // The records handed out are contiguous; the ring start begins a new call.
        if (slot == 0 && *count > 0) {
            *more = true;
            return;
        }
        calculatePeriodValues(window->getFirstSampleIndex(), window->getLastRequiredSampleIndex(),
                              window->getFirstSampleFractionToUse(), window->getLastSampleFractionToUse(),
                              window->getTotalLength(), window->isValueValid(), ring + slot * recordsPerPeriod);
        *count += 1;
        periodQueue.pop_front();
    }
}

void PeriodEngine::calculatePeriodValues(const uint64_t firstSampleIndex, const uint64_t lastSampleIndex,
                                         const double firstFraction, const double lastFraction,
                                         const double totalLength, const bool valid,
                                         PowerResultsPeriod* const records) {
    const PowerConfig& config = settings_.getAppliedConfig();
    const PowerBuffers& buffers = settings_.getBuffers();
    // The whole slot starts at zero, so fields this configuration does not
    // produce read 0 instead of an older period value's numbers.
    const uint64_t recordsPerPeriod = buffers.periodRecordsPerPeriod;
    std::fill(records, records + recordsPerPeriod, PowerResultsPeriod{});
    if (recordsPerPeriod < 2) {
        return;
    }
    const int phases = std::min<int>({config.getPhasesCount(), static_cast<int>(recordsPerPeriod - 1), kMaxPhases});

    const double sampleRate = config.sampleRate;
    const double time = (static_cast<double>(lastSampleIndex) + lastFraction) / sampleRate;
    // A window shorter than one sample has no length to divide by (it is
    // marked invalid); its mean values are left at 0.
    const bool hasLength = totalLength > 0.0;
    const double perSample = hasLength ? 1.0 / totalLength : 0.0;
    const double frequency = hasLength ? config.getPeriodCountForPeriodValues() * sampleRate / totalLength : 0.0;

    const bool currents = config.currentEnabled;
    const bool lineToLineResults = config.lineToLineResultsEnabled;
    const int lineToLineCount = config.getLineToLineCount();
    std::array<PhaseRings, kMaxPhases> rings{};
    for (int c = 0; c < phases; ++c) {
        rings[c].u = buffers.waveforms.getHostBuffer(static_cast<uint16_t>(powergpu::kPhaseVoltageItems + c));
        if (currents) {
            rings[c].i = buffers.waveforms.getHostBuffer(static_cast<uint16_t>(powergpu::kCurrentItems + c));
        }
        if (lineToLineResults && c < lineToLineCount) {
            rings[c].lineToLine =
                buffers.waveforms.getHostBuffer(static_cast<uint16_t>(powergpu::kLineToLineItems + c));
        }
    }

    // Waveform rings and reference tracks are both rings of the buffer
    // length; each is addressed by its own length so that neither is read
    // past its end.
    const uint64_t waveformLength = buffers.waveforms.getLength();
    const uint64_t trackLength = buffers.periodSamples.getLength();
    const double* const trackFrequency = buffers.periodSamples.getHostBuffer(0);
    const double* const trackPhasor = buffers.periodSamples.getHostBuffer(1);

    double frequencyWeight = 0.0;  // sum fr w
    std::array<PhaseSums, kMaxPhases> sums{};
    const bool haveSamples = waveformLength > 0 && trackLength > 0 && trackFrequency != nullptr &&
                             trackPhasor != nullptr && lastSampleIndex >= firstSampleIndex;
    if (haveSamples) {
        // The first and the last sample carry their fractions; every sample
        // between them has weight 1, so the interior is summed without
        // weights, phase by phase, in contiguous runs of the rings.
        const auto addSample = [&](const uint64_t index, const double weight) {
            const uint64_t track = index % trackLength;
            const uint64_t position = index % waveformLength;
            const double fr = trackFrequency[track];
            // Weighting by the reference frequency makes the fundamental a
            // mean over reference phase: each sample counts with the angle
            // it spans.
            const std::complex<double> reference(fr * trackPhasor[2 * track], -fr * trackPhasor[2 * track + 1]);
            frequencyWeight += fr * weight;
            for (int c = 0; c < phases; ++c) {
                PhaseSums& sum = sums[c];
                const double u = rings[c].u != nullptr ? static_cast<double>(rings[c].u[position]) : 0.0;
                sum.uSquares += weight * u * u;
                sum.uFundamental += (weight * u) * reference;
                if (rings[c].i != nullptr) {
                    const double i = static_cast<double>(rings[c].i[position]);
                    sum.iSquares += weight * i * i;
                    sum.uiProducts += weight * u * i;
                    sum.iFundamental += (weight * i) * reference;
                }
                if (rings[c].lineToLine != nullptr) {
                    const double ul = static_cast<double>(rings[c].lineToLine[position]);
                    sum.lineToLineSquares += weight * ul * ul;
                }
            }
        };
        addSample(firstSampleIndex, firstFraction);
        if (lastSampleIndex > firstSampleIndex) {
            addInterior(firstSampleIndex + 1, lastSampleIndex - firstSampleIndex - 1, trackFrequency, trackPhasor,
                        trackLength, waveformLength, rings, phases, frequencyWeight, sums);
            addSample(lastSampleIndex, lastFraction);
        }
    }

    // sqrt(2) turns the mean phasor into an RMS magnitude.
    const double fundamentalScale = frequencyWeight > 0.0 ? std::sqrt(2.0) / frequencyWeight : 0.0;
    std::array<std::complex<double>, kMaxPhases> u1{};
    std::array<std::complex<double>, kMaxPhases> i1{};
    for (int c = 0; c < phases; ++c) {
        PowerResultsPeriod& record = records[c + 1];
        const PhaseSums& sum = sums[c];
        record.time = time;
        record.frequency = frequency;
        record.valid = valid;

        u1[c] = fundamentalScale * sum.uFundamental;
        record.h1U = magnitude(u1[c]);
        record.rmsU = std::sqrt(sum.uSquares * perSample);

        if (rings[c].i != nullptr) {
            i1[c] = fundamentalScale * sum.iFundamental;
            record.h1I = magnitude(i1[c]);
            record.s1 = record.h1I * record.h1U;
            record.p1 = u1[c].real() * i1[c].real() + u1[c].imag() * i1[c].imag();
            record.q1 = u1[c].imag() * i1[c].real() - u1[c].real() * i1[c].imag();
            record.phi1 = wrapDegrees(
                (std::atan2(u1[c].imag(), u1[c].real()) - std::atan2(i1[c].imag(), i1[c].real())) * kDegreesPerRadian);
            record.rmsI = std::sqrt(sum.iSquares * perSample);
            record.s = record.rmsI * record.rmsU;
            record.p = sum.uiProducts * perSample;
            record.nonActivePower = std::sqrt(std::max(record.s * record.s - record.p * record.p, 0.0));
            record.lambda = record.s > 0.0 ? record.p / record.s : 0.0;
        }
        if (rings[c].lineToLine != nullptr) {
            record.rmsUL = std::sqrt(sum.lineToLineSquares * perSample);
        }

        if (config.rvcEnabled) {
            const std::size_t channel = static_cast<std::size_t>(c);
            if (channel < rvcPhaseCalculation.getNumberOfPhases()) {
                rvcPhaseCalculation[channel].calculate(record.rmsU, time);
                record.rvcU = rvcPhaseCalculation[channel].getCurrentResult();
            }
            if (rings[c].lineToLine != nullptr && channel < rvcLineToLineCalculation.getNumberOfPhases()) {
                rvcLineToLineCalculation[channel].calculate(record.rmsUL, time);
                record.rvcUL = rvcLineToLineCalculation[channel].getCurrentResult();
            }
        }
    }

    // Dips, swells and interruptions take every value that has a length,
    // valid or not: where the supply fails, the reference cycles fail too.
    // A value describes its one-cycle window best at the window's middle.
    if (hasLength && haveSamples) {
        const double start = (static_cast<double>(firstSampleIndex) + 1.0 - firstFraction) / sampleRate;
        feedVoltageEvents(records + 1, phases, 0.5 * (start + time));
    }

    if (phases < 2) {
        return;
    }

    PowerResultsPeriod& summary = records[0];
    summary.time = time;
    summary.frequency = frequency;
    for (int c = 0; c < phases; ++c) {
        const PowerResultsPeriod& record = records[c + 1];
        summary.rmsU += record.rmsU / phases;
        summary.rmsI += record.rmsI / phases;
        summary.rmsUL += record.rmsUL / phases;
        summary.h1U += record.h1U / phases;
        summary.h1I += record.h1I / phases;
        summary.p += record.p;
        summary.s += record.s;
        summary.p1 += record.p1;
        summary.s1 += record.s1;
        summary.q1Sum += record.q1;
    }
    summary.lambda = summary.s > 0.0 ? summary.p / summary.s : 0.0;
    summary.q1 = std::sqrt(std::max(summary.s1 * summary.s1 - summary.p1 * summary.p1, 0.0));
    summary.nonActivePower = std::sqrt(std::max(summary.s * summary.s - summary.p * summary.p, 0.0));

    if (config.rvcEnabled) {
        summary.rvcU = rvcPhaseCalculation.getTotalResult();
        if (lineToLineResults) {
            summary.rvcUL = rvcLineToLineCalculation.getTotalResult();
        }
    }

    if (config.arePeriodSymmetricalComponentsEnabled() && phases == kMaxPhases) {
        // Both sets are turned so that the fundamental of the first phase
        // voltage lies on the real axis.
        const std::complex<double> reference = u1[0];
        std::vector<std::complex<double>> voltages =
            PowerSymmetricalComponents::transform(std::vector<std::complex<double>>(u1.begin(), u1.end()));
        PowerSymmetricalComponents::subtractReference(voltages, reference);
        for (int sequence = 0; sequence < kMaxPhases; ++sequence) {
            records[sequence].symmetricalComponent.u = toDouble2(voltages[sequence]);
        }
        if (currents) {
            std::vector<std::complex<double>> currentSet =
                PowerSymmetricalComponents::transform(std::vector<std::complex<double>>(i1.begin(), i1.end()));
            PowerSymmetricalComponents::subtractReference(currentSet, reference);
            for (int sequence = 0; sequence < kMaxPhases; ++sequence) {
                records[sequence].symmetricalComponent.i = toDouble2(currentSet[sequence]);
            }
        }
        for (int sequence = 0; sequence < kMaxPhases; ++sequence) {
            PowerSymmetricalComponents::calculate(records[sequence].symmetricalComponent, currents);
        }
    }
}

}  // namespace powergpu
