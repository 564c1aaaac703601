// Scheduling one window from end to end: checking it, then enqueueing the
// time-domain kernels, one batched FFT, the spectral, symmetrical and
// Clarke/Park kernels, the copies back and the events (see
// WindowScheduler.h for the order of windows and streams).
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "buffers/ErrorChecks.h"
#include "kernels/KernelMath.h"
#include "pipeline/WindowScheduler.h"

// Where error messages of this file say a failed call was checked.
static constexpr const char* kErrorLocation = "PowerModuleImpl";

using powergpu::Dim3;
using powergpu::Launch;
using powergpu::PowerResultsQueueItem;

namespace powergpu {

namespace {

std::string describe(double value) {
    std::string text = std::to_string(value);
    return text;
}

Launch makeLaunch(unsigned gridX, unsigned blockX, unsigned blockY, powergpu::StreamHandle stream) {
    Launch launch;
    launch.grid = Dim3{gridX, 1, 1};
    launch.block = Dim3{blockX, blockY, 1};
    launch.sharedBytes = 0;
    launch.stream = stream;
    return launch;
}

// Index of the plan for a window's FFT length: 0 with a static frequency,
// ceil(log2(fftLength / minFftLength)) with a variable one.
std::size_t planIndex(bool variableFrequency, uint64_t fftLength, uint64_t minFftLength) {
    if (!variableFrequency || minFftLength == 0) {
        return 0;
    }
    const double ratio = static_cast<double>(fftLength) / static_cast<double>(minFftLength);
    return ratio <= 1.0 ? 0 : static_cast<std::size_t>(std::ceil(std::log2(ratio)));
}

}  // namespace

// ------------------------------------------------------------------ schedule

void WindowScheduler::validateWindow(uint64_t firstSampleIndex, uint32_t length, double frequency) const {
    const PowerConfig& config = settings_.getAppliedConfig();
    const PowerBuffers& buffers = settings_.getBuffers();
    const FftPlanSet& fftPlans = settings_.getFftPlans();
    settings_.requireBuilt("scheduleForCalculation");
    if (currentQueueItem == nullptr) {
        throw PowerInvalidCall(
            "scheduleForCalculation before reset: call reset with the running index of the first sample.");
    }
    const uint64_t ringLength = buffers.getBufferLength();
    if (length == 0) {
        throw PowerInvalidCall("scheduleForCalculation: the window length is 0.");
    }
    if (ringLength > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        throw PowerInvalidCall("scheduleForCalculation: buffer lengths above 2147483647 samples are not supported.");
    }
    if (length > ringLength) {
        throw PowerInvalidCall("scheduleForCalculation: the window length " + std::to_string(length) +
                               " exceeds the buffer length " + std::to_string(ringLength) + ".");
    }
    const uint64_t written = progress_.samplesWritten.load();
    if (firstSampleIndex > written || written - firstSampleIndex < length) {
        throw PowerInvalidCall("scheduleForCalculation: samples " + std::to_string(firstSampleIndex) + " to " +
                               std::to_string(firstSampleIndex + length - 1) +
                               " are not all written yet (samples written: " + std::to_string(written) + ").");
    }
    if (firstSampleIndex + ringLength < written) {
        throw PowerInvalidCall("scheduleForCalculation: sample " + std::to_string(firstSampleIndex) +
                               " has already been overwritten in the ring (samples written: " +
                               std::to_string(written) + ", buffer length: " + std::to_string(ringLength) + ").");
    }
    if (firstSampleIndex < progress_.firstAvailableSample.load()) {
        throw PowerInvalidCall("scheduleForCalculation: sample " + std::to_string(firstSampleIndex) +
                               " was written before a rebuild replaced the sample rings; the rings hold samples from " +
                               std::to_string(progress_.firstAvailableSample.load()) + " on.");
    }
    const double sampleRate = config.sampleRate;
    if (!std::isfinite(frequency) || frequency <= 0.0 || !(frequency < sampleRate / 2.0)) {
        throw PowerInvalidCall("scheduleForCalculation: the frequency " + describe(frequency) +
                               " Hz must be finite, positive and below half the sample rate (" +
                               describe(sampleRate / 2.0) + " Hz).");
    }
    const uint64_t fftLength = settings_.getFftLength(length, frequency);
    if (fftLength < 4) {
        throw PowerInvalidCall("scheduleForCalculation: the FFT length " + std::to_string(fftLength) +
                               " is below 4; check the sample rate, period count and frequency range.");
    }
    if (length > fftLength) {
        throw PowerInvalidCall("scheduleForCalculation: the window length " + std::to_string(length) +
                               " exceeds the FFT length " + std::to_string(fftLength) + " (" +
                               std::to_string(config.periodCount) + " periods at the lowest frequency).");
    }
    const std::size_t plan = planIndex(config.variableFrequency, fftLength, buffers.minFftLength);
    if (!fftPlans.isUsable(plan, fftLength)) {
        throw PowerInvalidCall("scheduleForCalculation: there is no FFT plan for length " + std::to_string(fftLength) +
                               "; the last rebuild did not complete.");
    }
    const bool parkFromAngle =
        (config.areParkVoltagesEnabled() || config.areParkCurrentsEnabled()) && config.mechanicalAngleUsed;
    if (parkFromAngle && buffers.waveforms.getDeviceBuffer(powergpu::kMechanicalAngleItem) == nullptr) {
        throw PowerInvalidCall(
            "scheduleForCalculation: the mechanical angle is used but its ring does not exist; rebuild the module "
            "(for instance with beginUpdate and endUpdate) after setMechanicalAngleUsed.");
    }
}

WindowScheduler::QueueItemPointer WindowScheduler::getNextQueueItem(const PowerResultsQueueItem& previous) {
    const PowerConfig& config = settings_.getAppliedConfig();
    PowerBuffers& buffers = settings_.getBuffers();
    const uint64_t calculationIndex = previous.getCalculationIndex() + 1;
    uint32_t fftOutputIndex = previous.getFirstFftOutputSampleIndex() + previous.getFftOutputLength();
    if (!config.fullFftEnabled || fftOutputIndex >= buffers.fftOutput.getLength()) {
        fftOutputIndex = 0;
    }
    uint32_t harmonicIndex = previous.getFirstHarmonicSampleIndex() + previous.getHarmonicLength();
    if (harmonicIndex + buffers.harmonicsCount > buffers.harmonics.getLength()) {
        harmonicIndex = 0;
    }
    const auto streamId = static_cast<uint8_t>((previous.getStreamId() + 1) % powergpu::StreamSet::size());
    return std::make_shared<PowerResultsQueueItem>(runtime_, config.sampleRate, calculationIndex,
                                                   previous.getNextSampleIndex(), fftOutputIndex, harmonicIndex,
                                                   streamId, streams[streamId]);
}

void WindowScheduler::scheduleForCalculation(uint64_t firstSampleIndex, uint32_t length, double frequency) {
    std::lock_guard<std::mutex> lock(locks_.calculation);
    validateWindow(firstSampleIndex, length, frequency);
    const PowerConfig& config = settings_.getAppliedConfig();
    PowerBuffers& buffers = settings_.getBuffers();
    {
        // Result slots and harmonic runs are reused after a full ring of
        // windows; a window whose slot still holds an undelivered one would
        // overwrite it.
        std::lock_guard<std::mutex> results(locks_.results);
        const uint64_t undelivered = resultsQueue.size() - 1;
        // With full spectra, the spectra ring holds fewer windows than the
        // result slots when the ring is short: its slots count as well.
        uint64_t slots = buffers.generalResultsBufferLength;
        if (config.getFullFftEnabled() && buffers.fftOutputLength > 0) {
            slots = std::min(slots, buffers.fftOutput.getLength() / buffers.fftOutputLength);
        }
        if (undelivered >= slots) {
            throw PowerInvalidCall("scheduleForCalculation: " + std::to_string(undelivered) +
                                   " windows are scheduled and not yet fetched, as many as there are result slots" +
                                   (slots < buffers.generalResultsBufferLength ? " for full spectra" : "") +
                                   "; fetch results with getResults first.");
        }
    }

    powergpu::Runtime& rt = runtime_;
    const PowerGridConfig grid = config.getGridConfig();
    const uint64_t ringLength = buffers.getBufferLength();
    const auto ringSigned = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(ringLength)));
    const uint64_t ringPosition = firstSampleIndex % ringSigned;
    const uint64_t fftLength = settings_.getFftLength(length, frequency);
    const double lengthRatio = static_cast<double>(length) / static_cast<double>(fftLength);
    const double exactPeriodLength = config.sampleRate / frequency;

    const QueueItemPointer item = currentQueueItem;
    item->setCalculation(firstSampleIndex, length, exactPeriodLength, config.periodCount,
                         static_cast<uint32_t>(fftLength), static_cast<uint32_t>(buffers.fftOutput.getLength()),
                         static_cast<uint32_t>(buffers.harmonicsCount), frequency);
    const uint32_t fftOutputLength = item->getFftOutputLength();
    const uint32_t firstFftOutput = item->getFirstFftOutputSampleIndex();
    const uint32_t firstHarmonic = item->getFirstHarmonicSampleIndex();
    const uint32_t harmonicLength = item->getHarmonicLength();
    progress_.nextSampleToCalculate.store(item->getNextSampleIndex());

    const QueueItemPointer next = getNextQueueItem(*item);
    {
        std::lock_guard<std::mutex> results(locks_.results);
        currentQueueItem = next;
        resultsQueue.push(next);
    }

    const powergpu::StreamHandle stream = item->getStream();
    if (item->getCalculationIndex() != 0) {
        CUDA_CALL(rt, rt.streamWaitEvent(stream, item->getEventResultsCalculated(), 0));
    }
    const uint64_t resultSlot = item->getCalculationIndex() % buffers.generalResultsBufferLength;
    const powergpu::FftHandle plan =
        settings_.getFftPlans()[planIndex(config.variableFrequency, fftLength, buffers.minFftLength)];

    // Device pointers of the window.
    auto& b = buffers;
    float* voltageRing = b.waveforms.getDeviceBuffer(powergpu::kPhaseVoltageItems);
    float* currentRing = b.waveforms.getDeviceBuffer(powergpu::kCurrentItems);
    float* lineRing = b.waveforms.getDeviceBuffer(powergpu::kLineToLineItems);
    float* fftInU = b.fftInput.getDeviceBufferAt(0, fftLength, powergpu::kPhaseVoltageItems);
    float* fftInI = b.fftInput.getDeviceBufferAt(0, fftLength, powergpu::kCurrentItems);
    float* fftInUL = b.fftInput.getDeviceBufferAt(0, fftLength, powergpu::kLineToLineItems);
    powergpu::float2* fftOutU =
        b.fftOutput.getDeviceBufferAt(firstFftOutput, fftOutputLength, powergpu::kPhaseVoltageItems);
    powergpu::float2* fftOutI = b.fftOutput.getDeviceBufferAt(firstFftOutput, fftOutputLength, powergpu::kCurrentItems);
    powergpu::float2* fftOutUL =
        b.fftOutput.getDeviceBufferAt(firstFftOutput, fftOutputLength, powergpu::kLineToLineItems);
    const auto harmonicRow = [&](uint16_t row) {
        return b.harmonics.getDeviceBufferAt(firstHarmonic, harmonicLength, row);
    };
    float* magnitudes = harmonicRow(powergpu::kMagnitudeRows);
    float* interharmonics = harmonicRow(powergpu::kInterharmonicRows);
    float* powers = harmonicRow(powergpu::kActivePowerRows);
    float* impedances = harmonicRow(powergpu::kImpedanceRows);
    float* phases = harmonicRow(powergpu::kPhaseRows);
    PowerResultsThd* thdRecord = b.thdResults.getDeviceBufferAt(resultSlot, 1, 0);
    double* symmetricalSums = b.symmetricalComponents.getDeviceBufferAt(resultSlot, 1, 0);
    powergpu::ComplexDouble* symmetricalH1 = b.symmetricalComponentsH1.getDeviceBufferAt(resultSlot, 1, 0);
    powergpu::ComplexDouble* clarkeH1 = b.clarkeH1.getDeviceBufferAt(resultSlot, 1, 0);
    double* parkAverages = b.parkAverages.getDeviceBufferAt(resultSlot, 1, 0);
    PowerResultsGeneral* record = b.generalResults.getDeviceBufferAt(resultSlot, 1, 0);

    const bool currents = config.currentEnabled;
    const bool lineToLine = config.lineToLineResultsEnabled;
    const bool thd = config.thdEnabled;
    const bool symmetrical = config.areSymmetricalComponentsEnabled();
    const bool parkFromAngle =
        (config.areParkVoltagesEnabled() || config.areParkCurrentsEnabled()) && config.mechanicalAngleUsed;

    b.generalResults.asyncMemsetToZeroOnDevice(resultSlot, 1, stream);
    b.fftInput.asyncMemsetToZeroOnDevice(fftLength, stream);
    b.harmonics.asyncMemsetToZeroOnDevice(firstHarmonic, harmonicLength, stream);
    if (thd) {
        b.thdResults.asyncMemsetToZeroOnDevice(resultSlot, 1, stream);
    }
    if (symmetrical) {
        b.symmetricalComponents.asyncMemsetToZeroOnDevice(resultSlot, 1, stream);
        b.symmetricalComponentsH1.asyncMemsetToZeroOnDevice(resultSlot, 1, stream);
    }
    if (config.parkTransformEnabled && config.mechanicalAngleUsed) {
        b.parkAverages.asyncMemsetToZeroOnDevice(resultSlot, 1, stream);
    }

    const auto timeGrid = static_cast<unsigned>(std::min<uint64_t>((uint64_t{length} + 31) / 32, 1024));
    const auto fftScale = static_cast<float>(powergpu::math::kBlackmanAmplitudeScale /
                                             std::sqrt(0.5 * length * static_cast<double>(fftLength)));
    // Derived waveforms go back to the host when the caller reads them and
    // when period values need them.
    const bool waveformFlag = (config.waveformsEnabled || config.areAnyPeriodValuesEnabled()) && grid.phasesCount > 1;
    // The window's place in the rings, as every time-domain kernel reads it.
    const powergpu::RingWindow window{static_cast<int>(length), static_cast<int>(static_cast<uint32_t>(ringPosition)),
                                      static_cast<int>(static_cast<uint32_t>(ringLength))};
    const auto outStride = static_cast<int>(fftLength);
    const unsigned phasesCount = grid.phasesCount;
    const unsigned lineCount = static_cast<unsigned>(grid.phasesCount * (grid.phasesCount - 1) / 2);
    // A launch with an empty block (no rows to serve) is not made.
    const auto launched = [&](const Launch& launch) { return launch.block.x > 0 && launch.block.y > 0; };
    const auto check = [&rt]() { return rt.takeLastLaunchError(); };

    // ---- time-domain stage
    if (grid.isStar) {
        const Launch launch = makeLaunch(timeGrid, 32, phasesCount, stream);
        // The derived line-to-line ring is stored whenever something reads
        // it: the host copy (waveforms, period values) or the line-to-line
        // RMS sums below, which read the ring rather than the FFT rows.
        const bool storeLineToLine = (waveformFlag || lineToLine) && lineRing != nullptr;
        rt.launch(launch, powergpu::WaveformsUStarArgs{window, outStride, fftScale, storeLineToLine, lineToLine,
                                                       voltageRing, lineRing, fftInU, fftInUL});
        CUDA_CALL(rt, check());
    } else {
        const Launch launch = makeLaunch(timeGrid, 32, phasesCount, stream);
        rt.launch(launch, powergpu::WaveformsUDeltaArgs{grid.voltagesCount, window, outStride, fftScale, lineToLine,
                                                        voltageRing, lineRing, fftInU, fftInUL});
        CUDA_CALL(rt, check());
    }
    if (currents) {
        const Launch launch = makeLaunch(timeGrid, 32, grid.currentsCount, stream);
        rt.launch(launch, powergpu::WaveformsIArgs{window, outStride, fftScale, currentRing, fftInI});
        CUDA_CALL(rt, check());
        if (grid.fewerCurrentsThanPhases) {
            rt.launch(makeLaunch(timeGrid, 32, 1, stream),
                      powergpu::WaveformsI3Args{window, outStride, fftScale, currentRing, fftInI});
            CUDA_CALL(rt, check());
        }
        rt.launch(makeLaunch(timeGrid, 32, phasesCount, stream),
                  powergpu::RmsUIArgs{window, voltageRing, currentRing, record});
        CUDA_CALL(rt, check());
    } else {
        rt.launch(makeLaunch(timeGrid, 32, phasesCount, stream), powergpu::RmsUArgs{window, voltageRing, record});
        CUDA_CALL(rt, check());
    }
    if (lineToLine && launched(makeLaunch(timeGrid, 32, lineCount, stream))) {
        rt.launch(makeLaunch(timeGrid, 32, lineCount, stream), powergpu::RmsULArgs{window, lineRing, record});
        CUDA_CALL(rt, check());
    }
    if (config.areClarkeWaveformsRequired()) {
        const uint16_t first =
            config.areClarkeVoltagesEnabled() ? powergpu::kPhaseVoltageItems : powergpu::kCurrentItems;
        const uint16_t clarkeFirst =
            config.areClarkeVoltagesEnabled() ? powergpu::kClarkeVoltageItems : powergpu::kClarkeCurrentItems;
        const unsigned groups =
            (config.areClarkeVoltagesEnabled() ? 1u : 0u) + (config.areClarkeCurrentsEnabled() ? 1u : 0u);
        rt.launch(makeLaunch(timeGrid, 32, groups, stream),
                  powergpu::WaveformsClarkeArgs{window, b.waveforms.getDeviceBuffer(first),
                                                b.clarkeParkWaveforms.getDeviceBuffer(clarkeFirst)});
        CUDA_CALL(rt, check());
    }
    if (parkFromAngle) {
        const uint16_t first = config.areParkVoltagesEnabled() ? powergpu::kPhaseVoltageItems : powergpu::kCurrentItems;
        const unsigned groups =
            (config.areParkVoltagesEnabled() ? 1u : 0u) + (config.areParkCurrentsEnabled() ? 1u : 0u);
        float* destination = nullptr;
        if (config.areParkWaveformsRequired()) {
            destination = b.clarkeParkWaveforms.getDeviceBuffer(
                config.areParkVoltagesEnabled() ? powergpu::kParkVoltageItems : powergpu::kParkCurrentItems);
        }
        rt.launch(makeLaunch(timeGrid, 32, groups, stream),
                  powergpu::WaveformsParkArgs{
                      window, config.polePairs, config.mechAngleOffset, b.waveforms.getDeviceBuffer(first),
                      b.waveforms.getDeviceBuffer(powergpu::kMechanicalAngleItem), destination, parkAverages});
        CUDA_CALL(rt, check());
    }

    // ---- spectral stage: one batched transform of every FFT channel
    CUFFT_CALL(rt, rt.fftSetStream(plan, stream));
    CUFFT_CALL(rt, rt.fftExecR2C(plan, fftInU, fftOutU));

    const auto spectralGrid = static_cast<unsigned>(std::min<uint64_t>((uint64_t{fftOutputLength} + 31) / 32, 1024));
    const unsigned harmonicGrid = (harmonicLength + 31) >> 5;
    const double dFrequency = item->getDFrequency();
    const int halfWidth =
        static_cast<int>(std::round(frequency * powergpu::math::kHarmonicGroupHalfWidth / dFrequency));
    double* referenceAngle = &record->referenceAngle;

    rt.launch(makeLaunch(spectralGrid, 32, config.getPhasesCount(), stream),
              powergpu::FreqRmsArgs{static_cast<int>(fftOutputLength), static_cast<int>(lineCount), fftOutU, fftOutI,
                                    fftOutUL, record});
    CUDA_CALL(rt, check());
    rt.launch(makeLaunch(1, 1, 1, stream),
              powergpu::ReferenceAngleArgs{frequency, dFrequency, lengthRatio, fftOutU, referenceAngle});
    CUDA_CALL(rt, check());
    rt.launch(makeLaunch(harmonicGrid, 32, static_cast<unsigned>(b.fftOutput.getDeviceItemsCount()), stream),
              powergpu::HarmonicsArgs{static_cast<int>(fftOutputLength), static_cast<int>(harmonicLength), halfWidth,
                                      config.interHarmonicsEnabled, frequency, dFrequency, lengthRatio, referenceAngle,
                                      fftOutU, magnitudes, interharmonics, phases});
    CUDA_CALL(rt, check());
    if (currents) {
        rt.launch(makeLaunch(harmonicGrid, 32, phasesCount, stream),
                  powergpu::PQSZArgs{static_cast<int>(phasesCount), static_cast<int>(harmonicLength), magnitudes,
                                     phases, powers, impedances});
        CUDA_CALL(rt, check());
    }
    if (thd) {
        const int highestOrder = std::min(config.thdHighestHarmonic, static_cast<int>(harmonicLength) - 1);
        rt.launch(
            makeLaunch(1, static_cast<unsigned>(b.thdResults.getDeviceItemsCount()), 1, stream),
            powergpu::SumOfHarmonicsSquaredArgs{highestOrder, static_cast<int>(harmonicLength), magnitudes, thdRecord});
        CUDA_CALL(rt, check());
    }

    // ---- symmetrical components, Clarke fundamentals, Park averages
    const unsigned groups = currents ? 2 : 1;
    const bool parkFromFundamentals = config.parkTransformEnabled && !config.mechanicalAngleUsed;
    if (symmetrical) {
        // Bins 0 .. fftOutputLength - 2 are summed; guard the block width.
        const int binBlockWidth = std::max(1, std::min(static_cast<int>(fftOutputLength) - 1, 256));
        const int binGrid = std::max(1, (static_cast<int>(fftOutputLength) - 2 + binBlockWidth) / binBlockWidth);
        rt.launch(makeLaunch(static_cast<unsigned>(binGrid), static_cast<unsigned>(binBlockWidth), groups, stream),
                  powergpu::SymmetricalComponentsArgs{static_cast<int>(fftOutputLength), fftOutU, symmetricalSums});
        CUDA_CALL(rt, check());
        rt.launch(
            makeLaunch(1, 1, groups, stream),
            powergpu::SymmetricalComponentsH1Args{static_cast<int>(harmonicLength), magnitudes, phases, symmetricalH1});
        CUDA_CALL(rt, check());
    }
    if (grid.phasesCount == 3 && (config.clarkeTransformEnabled || parkFromFundamentals)) {
        rt.launch(makeLaunch(1, 1, groups, stream),
                  powergpu::ClarkeH1AndParkAveArgs{static_cast<int>(harmonicLength), magnitudes, phases,
                                                   config.clarkeTransformEnabled, parkFromFundamentals, clarkeH1,
                                                   parkAverages});
        CUDA_CALL(rt, check());
    }

    // ---- grouped harmonic analysis (src/iec), while the window still owns the transform areas
    enqueueIecHarmonics(*item, ringPosition);

    // ---- closing sequence: release the next window, copy back, mark transferred
    next->callEventResultsCalculated(stream);
    b.generalResults.copyFromDeviceToHost(resultSlot, 1, stream);
    const auto segmentStart = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(ringPosition)));
    if (waveformFlag) {
        b.waveforms.copySegmentFromDeviceToHost(segmentStart, length, stream);
    }
    if (config.areClarkeWaveformsRequired() || config.areParkWaveformsRequired()) {
        b.clarkeParkWaveforms.copySegmentFromDeviceToHost(segmentStart, length, stream);
    }
    if (config.getFullFftEnabled()) {
        b.fftOutput.copyFromDeviceToHost(firstFftOutput, fftOutputLength, stream);
    }
    b.harmonics.copyFromDeviceToHost(firstHarmonic, harmonicLength, stream);
    if (thd) {
        b.thdResults.copyFromDeviceToHost(resultSlot, 1, stream);
    }
    if (symmetrical) {
        b.symmetricalComponents.copyFromDeviceToHost(resultSlot, 1, stream);
        b.symmetricalComponentsH1.copyFromDeviceToHost(resultSlot, 1, stream);
    }
    if (config.clarkeTransformEnabled) {
        b.clarkeH1.copyFromDeviceToHost(resultSlot, 1, stream);
    }
    if (config.parkTransformEnabled) {
        b.parkAverages.copyFromDeviceToHost(resultSlot, 1, stream);
    }
    item->callEventResultsTransferred();
}

}  // namespace powergpu
