// Cycle input for the period values: the caller's detected cycles become
// per-sample reference tracks (frequency, phasor of the reference phase,
// validity), and a chain of windows measures whole reference cycles off
// those tracks.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <sstream>
#include <string>

#include "period/PeriodEngine.h"
#include "period/PeriodReadiness.h"

namespace {

using PeriodItemPointer = powergpu::PeriodEngine::PeriodItemPointer;

constexpr double kTwoPi = 6.283185307179586;
// A valid cycle after an invalid one marks the sample they share valid only
// when the valid cycle covers more than this share of it.
constexpr double kStraddlingValidShare = 0.9;

// The three per-sample tracks of the reference, one entry per ring position.
struct ReferenceTracks {
    double* frequency;  // Hz
    double* phasor;     // cos, sin of the reference phase, interleaved
    double* validity;   // 1.0 or 0.0
    uint64_t length;    // ring positions

    void write(const uint64_t sampleIndex, const double phaseInCycles, const double frequencyHz,
               const double valid) const {
        const uint64_t position = sampleIndex % length;
        phasor[2 * position] = std::cos(kTwoPi * phaseInCycles);
        phasor[2 * position + 1] = std::sin(kTwoPi * phaseInCycles);
        frequency[position] = frequencyHz;
        validity[position] = valid;
    }
};

// Keeps a phase in cycles within [0, 1); the whole turns carry no meaning.
double wrapCycles(const double cycles) {
    // The phase grows by less than a cycle per sample, so the common cases
    // need no floor: subtracting 1 from a value in [1, 2) is exact.
    if (cycles >= 0.0 && cycles < 1.0) {
        return cycles;
    }
    if (cycles >= 1.0 && cycles < 2.0) {
        return cycles - 1.0;
    }
    return cycles - std::floor(cycles);
}

[[noreturn]] void reject(const std::string& reason) {
    throw PowerInvalidCall("scheduleForPeriodCalculation: " + reason);
}

std::string describe(const double value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// Checks every entry before anything changes. A frequency must be finite
// and not negative (0 Hz advances the reference by nothing), and low enough
// that a period window spans at least one sample: otherwise each window's
// successor would start in the same sample and the chain would never move
// on. A cycle cannot be longer than the ring that holds its samples.
void validateCycles(const int count, const uint64_t* const starts, const int* const lengths,
                    const double* const frequencies, const double sampleRate, const uint64_t positions,
                    const double advanceBy, const uint64_t ringLength) {
    const double highest = advanceBy * sampleRate;
    for (int entry = 0; entry < count; ++entry) {
        if (lengths[entry] <= 0) {
            continue;
        }
        const std::string name = "entry " + std::to_string(entry);
        const double frequency = frequencies[entry];
        if (!std::isfinite(frequency) || frequency < 0.0) {
            reject(name + ": the frequency " + describe(frequency) + " Hz is not a finite frequency of 0 Hz or more");
        }
        if (frequency > highest) {
            reject(name + ": the frequency " + describe(frequency) + " Hz is above " + describe(highest) +
                   " Hz, where a period window of " + describe(advanceBy) +
                   " cycles would not advance by a whole sample at " + describe(sampleRate) + " samples per second");
        }
        const auto length = static_cast<uint64_t>(lengths[entry]);
        if (length / positions > ringLength) {
            reject(name + ": the cycle of " + std::to_string(length) + " positions is longer than the ring of " +
                   std::to_string(ringLength) + " samples that holds its samples");
        }
        if (starts[entry] > UINT64_MAX - length) {
            reject(name + ": the cycle starting at position " + std::to_string(starts[entry]) +
                   " ends beyond the largest running index");
        }
    }
}

// Feeds the window chain with the reference tracks up to and including
// lastSample; every window whose length becomes known is queued in order.
void feedPeriodWindows(PeriodItemPointer& current, std::deque<PeriodItemPointer>& queue, const ReferenceTracks& tracks,
                       const double sampleRate, const uint64_t lastSample) {
    while (current) {
        const uint64_t k =
            current->addSamplesFromTracks(lastSample, tracks.frequency, tracks.validity, tracks.length, sampleRate);
        if (current->isLengthCalculated()) {
            queue.push_back(current);
            // Windows overlap: the successor may start before k and is fed
            // from its own first sample on the next round.
            current = current->getNextItem();
        }
        if (k > lastSample) {
            return;
        }
    }
}

}  // namespace

namespace powergpu {

void PeriodEngine::restartChainIfBehind(const uint64_t firstSample, const uint64_t ringLength) {
    const uint64_t written = progress_.samplesWritten.load();
    const uint64_t oldest = written > ringLength ? written - ringLength : 0;
    const uint64_t next = currentPeriodItem->getNextSampleIndexToProcess();
    // Windows behind the samples the ring holds, or more than a ring behind
    // the cycle about to be written, could only be measured off tracks that
    // later cycles overwrite; walking them would also cost time in
    // proportion to the gap. The chain starts again at this cycle.
    if (next < oldest || (firstSample > next && firstSample - next > ringLength)) {
        currentPeriodItem = std::make_shared<powergpu::PowerPeriodResultsQueueItem>(
            currentPeriodItem->getItemIndex(), firstSample, 1.0, currentPeriodItem->getRequiredLength(),
            currentPeriodItem->getAdvanceBy());
    }
}

void PeriodEngine::scheduleForPeriodCalculation(const int count, const uint64_t* const starts, const int* const lengths,
                                                const double* const frequencies, const bool* const valid,
                                                const bool reset) {
    const PowerConfig& config = settings_.getAppliedConfig();
    const PowerBuffers& buffers = settings_.getBuffers();
    // Everything is checked before the first track entry or window changes.
    powergpu::requirePeriodValuesReady("scheduleForPeriodCalculation", config, reset, currentPeriodItem != nullptr);
    if (count < 0) {
        reject("count must not be negative (got " + std::to_string(count) + ")");
    }
    if (count > 0 && (starts == nullptr || lengths == nullptr || frequencies == nullptr || valid == nullptr)) {
        reject("starts, lengths, frequencies and valid must all be given when count is above 0");
    }
    const double sampleRate = config.sampleRate;
    if (!std::isfinite(sampleRate) || sampleRate <= 0.0) {
        reject("the sample rate must be finite and above 0");
    }
    const int32_t positionsPerSample = config.positionsPerSample;
    if (positionsPerSample < 1) {
        reject("positions per sample must be at least 1 (got " + std::to_string(positionsPerSample) + ")");
    }
    // A window chain that does not move forward would be queued forever.
    if (!(currentPeriodItem->getAdvanceBy() > 0.0)) {
        reject(
            "period windows do not advance: the half period count must be at least 1 and the overlap below "
            "100 percent; call reset after changing them");
    }
    const ReferenceTracks tracks{buffers.periodSamples.getHostBuffer(0), buffers.periodSamples.getHostBuffer(1),
                                 buffers.periodSamples.getHostBuffer(2), buffers.periodSamples.getLength()};
    if (tracks.frequency == nullptr || tracks.phasor == nullptr || tracks.validity == nullptr || tracks.length == 0) {
        reject("the period sample tracks have no memory; finish the settings (endUpdate) and call reset");
    }

    const uint64_t positions = static_cast<uint64_t>(positionsPerSample);
    validateCycles(count, starts, lengths, frequencies, sampleRate, positions, currentPeriodItem->getAdvanceBy(),
                   tracks.length);
    feedTenSecondFrequency(count, starts, lengths, valid);

    // The chain measures its windows off the frequency and validity tracks,
    // so it is fed only the samples whose tracks are final.
    const auto feedFinalSamples = [&] {
        if (tracksFinalBefore > 0) {
            feedPeriodWindows(currentPeriodItem, periodQueue, tracks, sampleRate, tracksFinalBefore - 1);
        }
    };
    bool anyWritten = false;
    for (int entry = 0; entry < count; ++entry) {
        const int length = lengths[entry];
        const double frequency = frequencies[entry];
        // Empty cycles describe no samples and are skipped.
        if (length <= 0) {
            continue;
        }
        const double step = frequency / sampleRate;  // reference cycles per sample
        const double validity = valid[entry] ? 1.0 : 0.0;

        const uint64_t start = starts[entry];
        const uint64_t end = start + static_cast<uint64_t>(length);
        const uint64_t firstSample = start / positions;
        const double firstShare = 1.0 - static_cast<double>(start % positions) / static_cast<double>(positions);
        const uint64_t lastSampleOfEntry = (end - 1) / positions;
        const double lastShare = static_cast<double>((end - 1) % positions + 1) / static_cast<double>(positions);
        // The windows are fed once per call, when every track of the call is
        // written. A cycle whose tracks would overwrite ring positions the
        // chain has not consumed yet (a call spanning more than a ring, or
        // jumping ahead) first has the chain fed up to what is final.
        if (anyWritten && lastSampleOfEntry >= currentPeriodItem->getNextSampleIndexToProcess() + tracks.length) {
            feedFinalSamples();
        }
        restartChainIfBehind(firstSample, tracks.length);
        if (firstSample > tracksFinalBefore) {
            tracksFinalBefore = firstSample;  // a gap: nothing completes the waiting sample
        }
        anyWritten = true;

        // The first sample may be shared with the previous cycle: its phase
        // advance, frequency and validity are weighted by this cycle's share.
        referencePhase = wrapCycles(firstShare * step + referencePhase);
        const bool firstValid = valid[entry] && (firstShare > kStraddlingValidShare || previousValidity != 0.0);
        tracks.write(firstSample, referencePhase, (1.0 - firstShare) * previousFrequency + firstShare * frequency,
                     firstValid ? 1.0 : 0.0);

        // Inside the cycle the phasor turns by the same step from sample to
        // sample: a rotation replaces a cosine and a sine per sample. The
        // rounding it adds (about 1e-16 per sample) stays far below a float
        // sample's resolution, and every cycle starts again from the exact
        // phase; the phase itself is still accumulated as a number.
        const double stepCos = std::cos(kTwoPi * step);
        const double stepSin = std::sin(kTwoPi * step);
        uint64_t position = firstSample % tracks.length;
        double cosine = tracks.phasor[2 * position];
        double sine = tracks.phasor[2 * position + 1];
        // The phase is kept in a local while the tracks are written, so that
        // it stays in a register instead of going to memory every sample.
        double phase = referencePhase;
        for (uint64_t sample = firstSample + 1; sample <= lastSampleOfEntry; ++sample) {
            position = position + 1 == tracks.length ? 0 : position + 1;
            if (sample == lastSampleOfEntry) {
                phase = wrapCycles(phase + lastShare * step);
                tracks.write(sample, phase, frequency, validity);
                break;
            }
            phase = wrapCycles(phase + step);
            const double turnedCosine = cosine * stepCos - sine * stepSin;
            const double turnedSine = sine * stepCos + cosine * stepSin;
            cosine = turnedCosine;
            sine = turnedSine;
            tracks.phasor[2 * position] = cosine;
            tracks.phasor[2 * position + 1] = sine;
            tracks.frequency[position] = frequency;
            tracks.validity[position] = validity;
        }
        referencePhase = phase;

        previousFrequency = frequency;
        previousValidity = validity;
        // Up to the cycle's last sample when the cycle ends on a sample's
        // boundary; else that sample waits for the next cycle (or for a
        // call whose cycles start later: then nothing will complete it).
        tracksFinalBefore = end % positions == 0 ? lastSampleOfEntry + 1 : lastSampleOfEntry;
    }

    feedFinalSamples();
}

}  // namespace powergpu
