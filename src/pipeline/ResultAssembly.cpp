// The output record of one delivered window, built from the host copies of
// its device record, harmonic tables, spectra, THD sums and three-phase
// records. Device sums become means, square roots and ratios here; fields
// that the configuration does not produce stay zero.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "pipeline/WindowScheduler.h"
#include "post/PowerSymmetricalComponents.h"
#include "post/ThdCalculation.h"

namespace {

constexpr double kDegreesToRadians = 0.017453292519943295;

double nonNegativeRoot(double value) { return std::sqrt(std::max(value, 0.0)); }

// Adds the phase values that the summary block averages or sums.
void addToSummary(PowerResultsChannel& sum, const PowerResultsChannel& phase, double phases, double lines,
                  bool lineToLine, bool currents) {
    sum.meanAbsU = phase.meanAbsU / phases + sum.meanAbsU;
    sum.rmsU = phase.rmsU / phases + sum.rmsU;
    sum.rmsFftU = phase.rmsFftU / phases + sum.rmsFftU;
    sum.h1U = phase.h1U / phases + sum.h1U;
    if (lineToLine) {
        sum.meanAbsUL = phase.meanAbsUL / lines + sum.meanAbsUL;
        sum.rmsUL = phase.rmsUL / lines + sum.rmsUL;
        sum.rmsFftUL = phase.rmsFftUL / lines + sum.rmsFftUL;
        sum.h1UL = phase.h1UL / lines + sum.h1UL;
    }
    if (currents) {
        sum.meanAbsI = phase.meanAbsI / phases + sum.meanAbsI;
        sum.rmsI = phase.rmsI / phases + sum.rmsI;
        sum.rmsFftI = phase.rmsFftI / phases + sum.rmsFftI;
        sum.h1I = phase.h1I / phases + sum.h1I;
        sum.p += phase.p;
        sum.pFft += phase.pFft;
        sum.s += phase.s;
        sum.p1 += phase.p1;
        sum.s1 += phase.s1;
        sum.q += phase.q;
        sum.q1Sum += phase.q1;
    }
}

}  // namespace

namespace powergpu {

void WindowScheduler::calculateThd(PowerResultsThd& out, double h1, double rms, uint16_t item, uint64_t slot) const {
    const PowerResultsThd* sums = settings_.getBuffers().thdResults.getHostBufferAt(slot, 1, item);
    if (sums != nullptr) {
        powergpu::calculateThd(out, *sums, h1, rms);
    }
}

PowerResultsGeneral WindowScheduler::buildGeneralResults(const powergpu::PowerResultsQueueItem& item) const {
    const PowerConfig& config = settings_.getAppliedConfig();
    const PowerBuffers& buffers = settings_.getBuffers();
    PowerResultsGeneral r;
    std::memset(&r, 0, sizeof(r));

    const PowerGridConfig grid = config.getGridConfig();
    const uint64_t slot = item.getCalculationIndex() % buffers.generalResultsBufferLength;
    const PowerResultsGeneral& device = *buffers.generalResults.getHostBufferAt(slot, 1, 0);
    const uint32_t firstHarmonic = item.getFirstHarmonicSampleIndex();
    const uint32_t harmonicLength = item.getHarmonicLength();
    const uint32_t firstFftOutput = item.getFirstFftOutputSampleIndex();
    const uint32_t fftOutputLength = item.getFftOutputLength();

    r.time = static_cast<double>(item.getFirstSampleIndex() + item.getLength()) / item.getSampleRate();
    r.frequency = item.getFrequency();
    r.dFrequency = item.getDFrequency();
    r.firstSampleIndex = item.getFirstSampleIndex();
    r.length = item.getLength();
    r.fftOutputLength = fftOutputLength;
    r.harmonicLength = harmonicLength;
    r.phasesCount = grid.phasesCount;

    const auto harmonics = [&](int row) -> float* {
        return buffers.harmonics.getHostBufferAt(firstHarmonic, harmonicLength, static_cast<uint16_t>(row));
    };
    const bool fullFft = config.getFullFftEnabled();
    const auto spectrum = [&](int row) -> PowerFloat2* {
        return fullFft ? buffers.fftOutput.getHostBufferAt(firstFftOutput, fftOutputLength, static_cast<uint16_t>(row))
                       : nullptr;
    };
    const auto first = [harmonicLength](const float* row) -> double {
        return row != nullptr && harmonicLength > 1 ? static_cast<double>(row[1]) : 0.0;
    };

    const double n = static_cast<double>(item.getLength());
    const int phases = grid.phasesCount;
    const bool currents = config.currentEnabled;
    const bool interharmonics = config.interHarmonicsEnabled;
    const bool thd = config.thdEnabled;
    const bool lineToLineEnabled = config.lineToLineResultsEnabled;
    PowerResultsChannel& summary = r.channels[std::min(phases, 3)];

    for (int c = 0; c < phases && c < 3; ++c) {
        const PowerResultsChannel& d = device.channels[c];
        PowerResultsChannel& o = r.channels[c];
        o.meanAbsU = d.meanAbsU / n;
        o.rmsU = std::sqrt(d.rmsU / n);
        o.rmsFftU = std::sqrt(d.rmsFftU);

        const bool lineToLine = lineToLineEnabled && c < grid.lineToLineCount;
        if (lineToLine) {
            o.meanAbsUL = d.meanAbsUL / n;
            o.rmsUL = std::sqrt(d.rmsUL / n);
            o.rmsFftUL = std::sqrt(d.rmsFftUL);
        }
        if (currents) {
            o.meanAbsI = d.meanAbsI / n;
            o.rmsI = std::sqrt(d.rmsI / n);
            o.rmsFftI = std::sqrt(d.rmsFftI);
            o.p = d.p / n;
            o.pFft = d.pFft;
            o.q = d.q;
            o.s = o.rmsFftU * o.rmsFftI;
            o.nonActivePower = nonNegativeRoot(o.s * o.s - o.pFft * o.pFft);
            o.lambda = o.s > 0.0 ? o.pFft / o.s : 0.0;
            o.z = o.rmsFftI > 0.001 ? o.rmsFftU / o.rmsFftI : 0.0;
        }

        o.fftU = spectrum(powergpu::kPhaseVoltageItems + c);
        if (currents) {
            o.fftI = spectrum(powergpu::kCurrentItems + c);
        }
        if (lineToLineEnabled) {
            o.fftUL = spectrum(powergpu::kLineToLineItems + c);
        }

        o.harmonicsU = harmonics(powergpu::kMagnitudeRows + powergpu::kPhaseVoltageItems + c);
        o.harmonicsUL = harmonics(powergpu::kMagnitudeRows + powergpu::kLineToLineItems + c);
        o.phasesU = harmonics(powergpu::kPhaseRows + powergpu::kPhaseVoltageItems + c);
        o.h1U = first(o.harmonicsU);
        if (lineToLine) {
            o.h1UL = first(o.harmonicsUL);
        }
        if (interharmonics) {
            o.interharmonicsU = harmonics(powergpu::kInterharmonicRows + powergpu::kPhaseVoltageItems + c);
            o.interharmonicsUL = harmonics(powergpu::kInterharmonicRows + powergpu::kLineToLineItems + c);
        }
        if (currents) {
            o.harmonicsI = harmonics(powergpu::kMagnitudeRows + powergpu::kCurrentItems + c);
            o.phasesI = harmonics(powergpu::kPhaseRows + powergpu::kCurrentItems + c);
            o.harmonicsP = harmonics(powergpu::kActivePowerRows + c);
            o.harmonicsQ = harmonics(powergpu::kReactivePowerRows + c);
            o.harmonicsS = harmonics(powergpu::kApparentPowerRows + c);
            o.harmonicsZ = harmonics(powergpu::kImpedanceRows + c);
            o.h1I = first(o.harmonicsI);
            if (o.phasesI != nullptr && o.phasesU != nullptr && harmonicLength > 1) {
                const float difference = o.phasesI[1] - o.phasesU[1];
                o.cosPhi1 = std::cos(static_cast<double>(difference) * kDegreesToRadians);
            }
            if (interharmonics) {
                o.interharmonicsI = harmonics(powergpu::kInterharmonicRows + powergpu::kCurrentItems + c);
            }
            o.p1 = first(o.harmonicsP);
            o.q1 = first(o.harmonicsQ);
            o.s1 = first(o.harmonicsS);
            o.z1 = first(o.harmonicsZ);
            o.d1 = nonNegativeRoot(o.nonActivePower * o.nonActivePower - o.q1 * o.q1);
            o.d = nonNegativeRoot(o.nonActivePower * o.nonActivePower - o.q * o.q);
        }

        if (thd) {
            calculateThd(o.thdU, o.h1U, o.rmsU, static_cast<uint16_t>(powergpu::kPhaseVoltageItems + c), slot);
            if (lineToLine) {
                calculateThd(o.thdUL, o.h1UL, o.rmsUL, static_cast<uint16_t>(powergpu::kLineToLineItems + c), slot);
            }
            if (interharmonics) {
                calculateThd(o.thdInterU, o.h1U, o.rmsU, static_cast<uint16_t>(9 + c), slot);
                if (lineToLine) {
                    calculateThd(o.thdInterUL, o.h1UL, o.rmsUL, static_cast<uint16_t>(15 + c), slot);
                }
            }
            if (currents) {
                calculateThd(o.thdI, o.h1I, o.rmsI, static_cast<uint16_t>(powergpu::kCurrentItems + c), slot);
                o.harmonicRmsI = o.thdI.harmonicRms;
                if (interharmonics) {
                    calculateThd(o.thdInterI, o.h1I, o.rmsI, static_cast<uint16_t>(12 + c), slot);
                }
            }
        }

        if (phases > 1) {
            addToSummary(summary, o, phases, grid.lineToLineCount, lineToLine, currents);
        }
    }

    if (phases >= 2 && currents) {
        summary.nonActivePower = nonNegativeRoot(summary.s * summary.s - summary.pFft * summary.pFft);
        summary.q1 = nonNegativeRoot(summary.s1 * summary.s1 - summary.p1 * summary.p1);
        summary.lambda = summary.s > 0.0 ? summary.pFft / summary.s : 0.0;
        summary.d1 = nonNegativeRoot(summary.nonActivePower * summary.nonActivePower - summary.q1 * summary.q1);
        summary.d = nonNegativeRoot(summary.nonActivePower * summary.nonActivePower - summary.q * summary.q);
        summary.cosPhi1 = summary.s1 > 0.0 ? summary.p1 / summary.s1 : 1.0;
    }

    if (config.areSymmetricalComponentsEnabled()) {
        const PowerDouble2* components = buffers.symmetricalComponentsH1.getHostBufferAt(slot, 1, 0);
        const double* sums = buffers.symmetricalComponents.getHostBufferAt(slot, 1, 0);
        for (int k = 0; k < 3; ++k) {
            PowerResultsSymmetricalComponent& s = r.symmetricalResults[k];
            s.u = components[k];
            if (currents) {
                s.i = components[3 + k];
            }
            PowerSymmetricalComponents::calculate(s, currents);
            s.rmsU = std::sqrt(sums[k]);
            s.rmsI = currents ? std::sqrt(sums[3 + k]) : 0.0;
        }
        PowerSymmetricalComponents::calculateRatios(r.symmetricalResults, currents);
    }

    if (phases == 3) {
        if (config.clarkeTransformEnabled) {
            const PowerDouble2* clarke = buffers.clarkeH1.getHostBufferAt(slot, 1, 0);
            for (int k = 0; k < 3; ++k) {
                r.clarkeU[k] = clarke[k];
                if (currents) {
                    r.clarkeI[k] = clarke[3 + k];
                }
            }
        }
        if (config.parkTransformEnabled) {
            const double* park = buffers.parkAverages.getHostBufferAt(slot, 1, 0);
            // From the fundamentals, voltages fill slots 0..2 and currents
            // 3..5. The mechanical-angle kernel serves only the groups
            // enabled for Park, in that order: currents alone land in 0..2.
            const bool angleCurrentsOnly = config.mechanicalAngleUsed && !config.areParkVoltagesEnabled();
            const double* voltageSlots = angleCurrentsOnly ? nullptr : park;
            const double* currentSlots = angleCurrentsOnly ? park : park + 3;
            for (int k = 0; k < 3; ++k) {
                if (voltageSlots != nullptr) {
                    r.parkU[k] = voltageSlots[k];
                }
                if (currents) {
                    r.parkI[k] = currentSlots[k];
                }
            }
        }
    }
    return r;
}

}  // namespace powergpu
