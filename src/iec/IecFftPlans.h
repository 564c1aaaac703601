// The transforms of the grouped harmonic analysis, one set per window
// length: the transform has the window's own length, so a window of a new
// length gets its plans when it is first scheduled. The most recently used
// 32 of each kind are kept: windows of whole measured periods vary in length
// with the frequency (10 periods at 10 kHz between 49.8 and 50.2 Hz are 17
// lengths); older ones are destroyed.
//
// Two kinds of plan: a batched real-to-complex plan of the window length,
// and, for lengths the chirp-z transform serves (iec/ChirpTransform.h),
// batched complex plans of the padded length plus the chirp tables of the
// length (its chirp and its convolution filter's spectrum).
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "iec/RuntimeArray.h"
#include "runtime/Runtime.h"

namespace powergpu::iec {

// The chirp of one window length and the spectrum of its convolution filter.
struct ChirpTables {
    ChirpTables(Runtime& runtime, int lengthValue, int paddedLengthValue)
        : length(lengthValue),
          paddedLength(paddedLengthValue),
          chirp(runtime, MemorySide::Device),
          filterSpectrum(runtime, MemorySide::Device) {}
    int length;
    int paddedLength;
    RuntimeArray<float2> chirp;           // length values
    RuntimeArray<float2> filterSpectrum;  // paddedLength values
};

class IecFftPlans {
public:
    explicit IecFftPlans(Runtime& runtime) : runtime_(runtime) {}
    IecFftPlans(const IecFftPlans&) = delete;
    IecFftPlans& operator=(const IecFftPlans&) = delete;
    ~IecFftPlans();

    // The plan transforming `batch` rows of `length` samples (rows `length`
    // apart, spectra length / 2 + 1 bins apart); throws GpuException when
    // it cannot be made, leaving no half-made plan behind.
    FftHandle planFor(int length, int batch);
    // The forward complex plan of `batch` rows of `length` values (rows
    // `length` apart in input and output); throws as planFor.
    FftHandle complexPlanFor(int length, int batch);
    // The chirp tables of a window length, made on `stream` on first need
    // (scratch: paddedLength values the stream may overwrite); throws
    // GpuException when they cannot be made, keeping none.
    const ChirpTables& chirpTablesFor(int length, int paddedLength, float2* scratch, StreamHandle stream);
    // Destroys every plan and table (failures are ignored: the handles are gone).
    void clear();

    static constexpr std::size_t kKeptPlans = 32;

private:
    struct Plan {
        FftHandle handle;
        int type;
        int length;
        int batch;
    };
    FftHandle cachedPlan(int type, int length, int batch);

    Runtime& runtime_;
    std::vector<Plan> plans_;                           // most recently used last
    std::vector<std::unique_ptr<ChirpTables>> tables_;  // most recently used last
};

}  // namespace powergpu::iec
