// The CUDA kernels against the CPU kernels on random inputs: element results
// without transcendental functions or cross-thread sums must agree exactly;
// the others within the last bits of the math libraries or of the
// association order of the sums.
#include <gtest/gtest.h>

#ifdef POWERGPU_HAVE_CUDA

#include <cuda_runtime.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "kernel_test_signals.h"
#include "kernels/cpu/CpuKernels.h"
#include "kernels/cuda/CudaKernels.h"

namespace powergpu {
namespace {

using Bin = powergpu::float2;
using Complex2 = powergpu::double2;
using kernel_test::rowsLaunch;

bool cudaDeviceUsable() {
    int count = 0;
    return cudaGetDeviceCount(&count) == cudaSuccess && count > 0;
}

// A device copy of a host vector.
template <typename T>
class DeviceArray {
public:
    explicit DeviceArray(const std::vector<T>& host) : count_(host.size()) {
        if (cudaMalloc(reinterpret_cast<void**>(&data_), bytes()) != cudaSuccess) {
            data_ = nullptr;
            return;
        }
        cudaMemcpy(data_, host.data(), bytes(), cudaMemcpyHostToDevice);
    }
    DeviceArray(const DeviceArray&) = delete;
    DeviceArray& operator=(const DeviceArray&) = delete;
    ~DeviceArray() { cudaFree(data_); }

    T* get() const { return data_; }
    std::vector<T> download() const {
        std::vector<T> host(count_);
        cudaMemcpy(host.data(), data_, bytes(), cudaMemcpyDeviceToHost);
        return host;
    }

private:
    std::size_t bytes() const { return count_ * sizeof(T); }
    std::size_t count_;
    T* data_ = nullptr;
};

class CudaKernelsDifferential : public ::testing::Test {
protected:
    void SetUp() override {
        if (!cudaDeviceUsable()) {
            GTEST_SKIP() << "no CUDA device";
        }
    }

    // Waits for the launched kernel and fails on a launch or run error.
    static void finish() {
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    }

    std::vector<float> randomFloats(std::size_t count, float bound) {
        std::uniform_real_distribution<float> distribution(-bound, bound);
        std::vector<float> values(count);
        for (float& value : values) {
            value = distribution(random_);
        }
        return values;
    }

    std::vector<Bin> randomBins(std::size_t count, float bound) {
        const std::vector<float> values = randomFloats(2 * count, bound);
        std::vector<Bin> bins(count);
        for (std::size_t k = 0; k < count; ++k) {
            bins[k].x = values[2 * k];
            bins[k].y = values[2 * k + 1];
        }
        return bins;
    }

    std::mt19937 random_{20240611u};
};

// The scheduler's grid for a sample or bin count.
unsigned gridFor(int count) {
    return static_cast<unsigned>(std::min((count + 31) / 32, 1024));
}

PowerResultsGeneral zeroRecord() {
    PowerResultsGeneral record;
    std::memset(&record, 0, sizeof(record));
    return record;
}

void expectExactlyEqual(const std::vector<float>& cpu, const std::vector<float>& gpu, const char* what) {
    ASSERT_EQ(cpu.size(), gpu.size());
    for (std::size_t k = 0; k < cpu.size(); ++k) {
        // NaN-free inputs: plain equality; also distinguishes written from unwritten.
        ASSERT_EQ(cpu[k], gpu[k]) << what << " element " << k;
    }
}

// Windowed rows: the single-precision window cosines of the two math
// libraries may differ in their last bits, i.e. about 1e-7 of the scale.
void expectWindowedRowsClose(const std::vector<float>& cpu, const std::vector<float>& gpu, float scale, float bound,
                             const char* what) {
    ASSERT_EQ(cpu.size(), gpu.size());
    for (std::size_t k = 0; k < cpu.size(); ++k) {
        ASSERT_NEAR(cpu[k], gpu[k], 4e-7 * scale * bound + 1e-30) << what << " element " << k;
    }
}

void expectRelativelyClose(double cpu, double gpu, double scale, double relative, const char* what) {
    EXPECT_NEAR(cpu, gpu, relative * std::max(std::fabs(scale), 1e-300)) << what;
}

// --- Waveforms -------------------------------------------------------------------

TEST_F(CudaKernelsDifferential, StarWaveforms) {
    const int ring = 1000;
    const int offset = 900;
    const int n = 700;  // wraps the ring end
    const int fft = 1024;
    const float bound = 400.0f;
    const float scale = kernel_test::fftScaleFor(n, fft);
    const std::vector<float> phases = randomFloats(3 * ring, bound);
    const std::vector<float> lines(3 * ring, -1.0f);
    const std::vector<float> rows(3 * fft, -1.0f);
    for (const bool store : {true, false}) {
        const Launch launch = rowsLaunch(3, gridFor(n));
        DeviceArray<float> dPhases(phases), dLines(lines), dPhaseRows(rows), dLineRows(rows);
        cuda::launchWaveformsUStar(launch, n, offset, ring, fft, scale, store, true, dPhases.get(), dLines.get(),
                                   dPhaseRows.get(), dLineRows.get());
        finish();
        std::vector<float> cLines = lines, cPhaseRows = rows, cLineRows = rows;
        cpu::CpuKernelContext context;
        cpu::kernelWaveformsUStar(context, launch, n, offset, ring, fft, scale, store, true, phases.data(),
                                  cLines.data(), cPhaseRows.data(), cLineRows.data());
        expectExactlyEqual(cLines, dLines.download(), "line-to-line ring");
        expectWindowedRowsClose(cPhaseRows, dPhaseRows.download(), scale, bound, "phase rows");
        expectWindowedRowsClose(cLineRows, dLineRows.download(), scale, 2.0f * bound, "line rows");
    }
}

TEST_F(CudaKernelsDifferential, DeltaWaveforms) {
    const int ring = 512;
    const int offset = 400;
    const int n = 300;
    const int fft = 512;
    const float bound = 600.0f;
    const float scale = kernel_test::fftScaleFor(n, fft);
    for (const int measured : {2, 3}) {
        const std::vector<float> lines = randomFloats(3 * ring, bound);
        const std::vector<float> phases(3 * ring, -1.0f);
        const std::vector<float> rows(3 * fft, -1.0f);
        const Launch launch = rowsLaunch(3, gridFor(n));
        DeviceArray<float> dPhases(phases), dLines(lines), dPhaseRows(rows), dLineRows(rows);
        cuda::launchWaveformsUDelta(launch, measured, n, offset, ring, fft, scale, true, dPhases.get(), dLines.get(),
                                    dPhaseRows.get(), dLineRows.get());
        finish();
        std::vector<float> cPhases = phases, cLines = lines, cPhaseRows = rows, cLineRows = rows;
        cpu::CpuKernelContext context;
        cpu::kernelWaveformsUDelta(context, launch, measured, n, offset, ring, fft, scale, true, cPhases.data(),
                                   cLines.data(), cPhaseRows.data(), cLineRows.data());
        expectExactlyEqual(cPhases, dPhases.download(), "phase ring");
        expectExactlyEqual(cLines, dLines.download(), "line-to-line ring");
        expectWindowedRowsClose(cPhaseRows, dPhaseRows.download(), scale, 2.0f * bound, "phase rows");
        expectWindowedRowsClose(cLineRows, dLineRows.download(), scale, 2.0f * bound, "line rows");
    }
}

TEST_F(CudaKernelsDifferential, CurrentWaveforms) {
    const int ring = 2048;
    const int offset = 2000;
    const int n = 1500;
    const int fft = 2048;
    const float bound = 50.0f;
    const float scale = kernel_test::fftScaleFor(n, fft);
    const std::vector<float> currents = randomFloats(3 * ring, bound);
    const std::vector<float> rows(3 * fft, -1.0f);
    DeviceArray<float> dCurrents(currents), dRows(rows);
    cuda::launchWaveformsI(rowsLaunch(2, gridFor(n)), n, offset, ring, fft, scale, dCurrents.get(), dRows.get());
    cuda::launchWaveformsI3(rowsLaunch(1, gridFor(n)), n, offset, ring, fft, scale, dCurrents.get(), dRows.get());
    finish();
    std::vector<float> cCurrents = currents, cRows = rows;
    cpu::CpuKernelContext context;
    cpu::kernelWaveformsI(context, rowsLaunch(2, gridFor(n)), n, offset, ring, fft, scale, cCurrents.data(),
                          cRows.data());
    cpu::kernelWaveformsI3(context, rowsLaunch(1, gridFor(n)), n, offset, ring, fft, scale, cCurrents.data(),
                           cRows.data());
    expectExactlyEqual(cCurrents, dCurrents.download(), "current ring");
    expectWindowedRowsClose(cRows, dRows.download(), scale, 2.0f * bound, "current rows");
}

TEST_F(CudaKernelsDifferential, ClarkeWaveforms) {
    const int ring = 4096;
    const int offset = 3000;
    const int n = 2000;
    const std::vector<float> samples = randomFloats(6 * ring, 300.0f);
    const std::vector<float> clarke(6 * ring, -1.0f);
    const Launch launch = rowsLaunch(2, gridFor(n));
    DeviceArray<float> dSamples(samples), dClarke(clarke);
    cuda::launchWaveformsClarke(launch, n, offset, ring, dSamples.get(), dClarke.get());
    finish();
    std::vector<float> cClarke = clarke;
    cpu::kernelWaveformsClarke(launch, n, offset, ring, samples.data(), cClarke.data());
    expectExactlyEqual(cClarke, dClarke.download(), "Clarke ring");
}

TEST_F(CudaKernelsDifferential, ParkWaveformsAndAverages) {
    const int ring = 40000;
    const int offset = 39000;
    const int n = 35000;  // more than 1024 blocks of 32 would cover
    std::vector<float> samples = randomFloats(6 * ring, 300.0f);
    std::vector<float> angles = randomFloats(ring, 3.2f);
    const std::vector<float> park(6 * ring, -1.0f);
    const std::vector<double> averages(6, 0.0);
    const Launch launch = rowsLaunch(2, gridFor(n));
    DeviceArray<float> dSamples(samples), dAngles(angles), dPark(park);
    DeviceArray<double> dAverages(averages);
    cuda::launchWaveformsPark(launch, n, offset, ring, 3, 12.5, dSamples.get(), dAngles.get(), dPark.get(),
                              dAverages.get());
    finish();
    std::vector<float> cPark = park;
    std::vector<double> cAverages = averages;
    cpu::kernelWaveformsPark(launch, n, offset, ring, 3, 12.5, samples.data(), angles.data(), cPark.data(),
                             cAverages.data());
    const std::vector<float> gPark = dPark.download();
    for (std::size_t k = 0; k < cPark.size(); ++k) {
        // Double sine and cosine may differ in the last bit before rounding to float.
        ASSERT_NEAR(cPark[k], gPark[k], 1e-6f * 600.0f) << "Park ring element " << k;
    }
    const std::vector<double> gAverages = dAverages.download();
    for (int k = 0; k < 6; ++k) {
        EXPECT_NEAR(cAverages[k], gAverages[k], 1e-10 * 600.0) << "Park average " << k;
    }
    EXPECT_EQ(gAverages[2], 0.0);
    EXPECT_EQ(gAverages[5], 0.0);
}

// --- RMS and spectral sums -----------------------------------------------------------

void expectSumsClose(const PowerResultsGeneral& cpu, const PowerResultsGeneral& gpu, int rows) {
    for (int c = 0; c < rows; ++c) {
        const PowerResultsChannel& a = cpu.channels[c];
        const PowerResultsChannel& b = gpu.channels[c];
        const double fields[][2] = {{a.meanAbsU, b.meanAbsU},
                                    {a.meanAbsI, b.meanAbsI},
                                    {a.meanAbsUL, b.meanAbsUL},
                                    {a.rmsU, b.rmsU},
                                    {a.rmsI, b.rmsI},
                                    {a.rmsUL, b.rmsUL},
                                    {a.p, b.p},
                                    {a.rmsFftU, b.rmsFftU},
                                    {a.rmsFftI, b.rmsFftI},
                                    {a.rmsFftUL, b.rmsFftUL},
                                    {a.pFft, b.pFft},
                                    {a.nonActivePower, b.nonActivePower}};
        for (const auto& field : fields) {
            expectRelativelyClose(field[0], field[1], std::max(std::fabs(field[0]), 1.0), 1e-10, "record sum");
            // A field one backend leaves zero the other must leave zero too.
            EXPECT_EQ(field[0] == 0.0, field[1] == 0.0);
        }
    }
}

TEST_F(CudaKernelsDifferential, TimeDomainSums) {
    const int ring = 50000;
    const int offset = 20000;
    const int n = 40000;
    const std::vector<float> voltages = randomFloats(3 * ring, 400.0f);
    const std::vector<float> currents = randomFloats(3 * ring, 30.0f);
    const Launch launch = rowsLaunch(3, gridFor(n));
    DeviceArray<float> dVoltages(voltages), dCurrents(currents);
    for (int variant = 0; variant < 3; ++variant) {
        PowerResultsGeneral cpuRecord = zeroRecord();
        DeviceArray<PowerResultsGeneral> dRecord(std::vector<PowerResultsGeneral>(1, zeroRecord()));
        if (variant == 0) {
            cuda::launchRmsU(launch, n, offset, ring, dVoltages.get(), dRecord.get());
            cpu::kernelRmsU(launch, n, offset, ring, voltages.data(), &cpuRecord);
        } else if (variant == 1) {
            cuda::launchRmsUL(launch, n, offset, ring, dVoltages.get(), dRecord.get());
            cpu::kernelRmsUL(launch, n, offset, ring, voltages.data(), &cpuRecord);
        } else {
            cuda::launchRmsUI(launch, n, offset, ring, dVoltages.get(), dCurrents.get(), dRecord.get());
            cpu::kernelRmsUI(launch, n, offset, ring, voltages.data(), currents.data(), &cpuRecord);
        }
        finish();
        expectSumsClose(cpuRecord, dRecord.download()[0], 3);
    }
}

TEST_F(CudaKernelsDifferential, ShortWindowSums) {
    // Fewer samples than a warp: only the lanes with work contribute.
    const std::vector<float> voltages = randomFloats(3 * 64, 400.0f);
    const Launch launch = rowsLaunch(3, gridFor(13));
    DeviceArray<float> dVoltages(voltages);
    DeviceArray<PowerResultsGeneral> dRecord(std::vector<PowerResultsGeneral>(1, zeroRecord()));
    cuda::launchRmsU(launch, 13, 60, 64, dVoltages.get(), dRecord.get());
    finish();
    PowerResultsGeneral cpuRecord = zeroRecord();
    cpu::kernelRmsU(launch, 13, 60, 64, voltages.data(), &cpuRecord);
    expectSumsClose(cpuRecord, dRecord.download()[0], 3);
}

TEST_F(CudaKernelsDifferential, SpectralSums) {
    const int bins = 4097;
    const std::vector<Bin> u = randomBins(3 * bins, 10.0f);
    const std::vector<Bin> i = randomBins(3 * bins, 1.0f);
    const std::vector<Bin> ul = randomBins(3 * bins, 17.0f);
    DeviceArray<Bin> dU(u), dI(i), dUL(ul);
    const Launch launch = rowsLaunch(3, gridFor(bins));
    for (const bool withAll : {true, false}) {
        DeviceArray<PowerResultsGeneral> dRecord(std::vector<PowerResultsGeneral>(1, zeroRecord()));
        cuda::launchFreqRms(launch, bins, dU.get(), withAll ? dI.get() : nullptr, withAll ? dUL.get() : nullptr,
                            dRecord.get());
        finish();
        PowerResultsGeneral cpuRecord = zeroRecord();
        cpu::kernelFreqRms(launch, bins, u.data(), withAll ? i.data() : nullptr, withAll ? ul.data() : nullptr,
                           &cpuRecord);
        expectSumsClose(cpuRecord, dRecord.download()[0], 3);
    }
}

TEST_F(CudaKernelsDifferential, ReferenceAngle) {
    const std::vector<Bin> spectrum = randomBins(513, 5.0f);
    DeviceArray<Bin> dSpectrum(spectrum);
    for (const double binsPerFundamental : {10.0, 10.3, 2.5, 37.77}) {
        DeviceArray<double> dAngle(std::vector<double>(1, 0.0));
        cuda::launchReferenceAngle(rowsLaunch(1, 1, 1), 50.0 * binsPerFundamental, 50.0, 0.8, dSpectrum.get(),
                                   dAngle.get());
        finish();
        double angle = 0.0;
        cpu::kernelReferenceAngle(rowsLaunch(1, 1, 1), 50.0 * binsPerFundamental, 50.0, 0.8, spectrum.data(), &angle);
        EXPECT_NEAR(kernel_test::angleDifference(angle, dAngle.download()[0]), 0.0, 1e-4);
    }
}

// --- Harmonic tables, powers, THD -----------------------------------------------------

TEST_F(CudaKernelsDifferential, HarmonicTables) {
    const int rows = 9;
    const int bins = 1025;
    const std::vector<Bin> spectra = randomBins(rows * bins, 20.0f);
    DeviceArray<Bin> dSpectra(spectra);
    struct Case {
        double binsPerFundamental;
        int halfWidth;
        int orders;
    };
    // The last case has orders centred beyond the row.
    for (const Case& c : {Case{10.3, 3, 51}, Case{20.0, 6, 51}, Case{25.5, 8, 45}}) {
        const std::vector<float> table(rows * c.orders, -1.0f);
        DeviceArray<float> dMagnitudes(table), dInter(table), dPhases(table);
        DeviceArray<double> dReference(std::vector<double>(1, 33.0));
        const Launch launch = rowsLaunch(rows, static_cast<unsigned>((c.orders + 31) >> 5));
        cuda::launchHarmonics(launch, bins, c.orders, c.halfWidth, 0, true, 50.0 * c.binsPerFundamental, 50.0, 0.75,
                              dReference.get(), dSpectra.get(), dMagnitudes.get(), dInter.get(), dPhases.get());
        finish();
        std::vector<float> magnitudes = table, inter = table, phases = table;
        const double reference = 33.0;
        cpu::kernelHarmonics(launch, bins, c.orders, c.halfWidth, 0, true, 50.0 * c.binsPerFundamental, 50.0, 0.75,
                             &reference, spectra.data(), magnitudes.data(), inter.data(), phases.data());
        expectExactlyEqual(magnitudes, dMagnitudes.download(), "magnitudes");
        expectExactlyEqual(inter, dInter.download(), "interharmonics");
        const std::vector<float> gPhases = dPhases.download();
        for (std::size_t k = 0; k < phases.size(); ++k) {
            ASSERT_NEAR(kernel_test::angleDifference(phases[k], gPhases[k]), 0.0, 2e-3) << "phase " << k;
        }
    }
}

TEST_F(CudaKernelsDifferential, OrderPowers) {
    const int rows = 3;
    const int orders = 51;
    std::vector<float> magnitudes = randomFloats(2 * rows * orders, 300.0f);
    for (float& m : magnitudes) {
        m = std::fabs(m);
    }
    magnitudes[rows * orders + 4] = 0.001f;
    magnitudes[rows * orders + 5] = 0.0f;
    const std::vector<float> phases = randomFloats(2 * rows * orders, 180.0f);
    const std::vector<float> powers(3 * rows * orders, -1.0f);
    const std::vector<float> impedances(rows * orders, -1.0f);
    const Launch launch = rowsLaunch(rows, 2);
    DeviceArray<float> dMagnitudes(magnitudes), dPhases(phases), dPowers(powers), dImpedances(impedances);
    cuda::launchPQSZ(launch, rows, orders, dMagnitudes.get(), dPhases.get(), dPowers.get(), dImpedances.get());
    finish();
    std::vector<float> cPowers = powers, cImpedances = impedances;
    cpu::kernelPQSZ(launch, rows, orders, magnitudes.data(), phases.data(), cPowers.data(), cImpedances.data());
    expectExactlyEqual(cImpedances, dImpedances.download(), "impedances");
    const std::vector<float> gPowers = dPowers.download();
    const int block = rows * orders;
    for (int k = 0; k < block; ++k) {
        const float s = cPowers[k + 2 * block];
        ASSERT_EQ(s, gPowers[k + 2 * block]) << "S " << k;
        ASSERT_NEAR(cPowers[k], gPowers[k], 1e-6f * s + 1e-30f) << "P " << k;
        ASSERT_NEAR(cPowers[k + block], gPowers[k + block], 1e-6f * s + 1e-30f) << "Q " << k;
    }
}

TEST_F(CudaKernelsDifferential, HarmonicsSquared) {
    const int records = 18;
    const int orders = 51;
    const std::vector<float> magnitudes = randomFloats(records * orders, 50.0f);
    const std::vector<PowerResultsThd> thd(records, PowerResultsThd{});
    const Launch launch = rowsLaunch(1, 1, records);
    DeviceArray<float> dMagnitudes(magnitudes);
    DeviceArray<PowerResultsThd> dThd(thd);
    cuda::launchSumOfHarmonicsSquared(launch, 40, orders, dMagnitudes.get(), dThd.get());
    finish();
    std::vector<PowerResultsThd> cThd = thd;
    cpu::kernelSumOfHarmonicsSquared(launch, 40, orders, magnitudes.data(), cThd.data());
    const std::vector<PowerResultsThd> gThd = dThd.download();
    for (int r = 0; r < records; ++r) {
        EXPECT_EQ(cThd[r].thd, gThd[r].thd) << "record " << r;
        EXPECT_EQ(cThd[r].thdEven, gThd[r].thdEven) << "record " << r;
        EXPECT_EQ(cThd[r].thdOdd, gThd[r].thdOdd) << "record " << r;
        EXPECT_EQ(cThd[r].thdOddTriplen, gThd[r].thdOddTriplen) << "record " << r;
        EXPECT_EQ(cThd[r].thdOddNonTriplen, gThd[r].thdOddNonTriplen) << "record " << r;
    }
}

// --- Symmetrical components and fundamentals ----------------------------------------

TEST_F(CudaKernelsDifferential, SequenceSums) {
    // The scheduler's shapes: bin block width min(bins - 1, 256). Small FFT
    // lengths give blocks narrower than a warp, two groups sharing a warp.
    for (const int bins : {3, 9, 33, 129, 513, 4097}) {
        const std::vector<Bin> spectra = randomBins(6 * bins, 10.0f);
        const int width = std::min(bins - 1, 256);
        Launch launch = rowsLaunch(2, static_cast<unsigned>((bins - 2 + width) / width), static_cast<unsigned>(width));
        DeviceArray<Bin> dSpectra(spectra);
        DeviceArray<double> dSums(std::vector<double>(6, 0.0));
        cuda::launchSymmetricalComponents(launch, bins, dSpectra.get(), dSums.get());
        finish();
        std::vector<double> sums(6, 0.0);
        cpu::kernelSymmetricalComponents(launch, bins, spectra.data(), sums.data());
        const std::vector<double> gSums = dSums.download();
        for (int k = 0; k < 6; ++k) {
            expectRelativelyClose(sums[k], gSums[k], sums[k], 1e-10, "sequence sum");
        }
    }
}

TEST_F(CudaKernelsDifferential, FundamentalComponents) {
    const int orders = 21;
    std::vector<float> magnitudes = randomFloats(6 * orders, 300.0f);
    for (float& m : magnitudes) {
        m = std::fabs(m);
    }
    std::vector<float> phases = randomFloats(6 * orders, 180.0f);
    phases[1] = 0.0f;  // angles with exact zeros in their phasors
    phases[orders + 1] = 90.0f;
    phases[2 * orders + 1] = -180.0f;
    const Launch launch = rowsLaunch(2, 1, 1);
    DeviceArray<float> dMagnitudes(magnitudes), dPhases(phases);
    DeviceArray<Complex2> dComponents(std::vector<Complex2>(6)), dClarke(std::vector<Complex2>(6));
    DeviceArray<double> dPark(std::vector<double>(6, 0.0));
    cuda::launchSymmetricalComponentsH1(launch, orders, dMagnitudes.get(), dPhases.get(), dComponents.get());
    cuda::launchClarkeH1AndParkAve(launch, orders, dMagnitudes.get(), dPhases.get(), true, true, dClarke.get(),
                                   dPark.get());
    finish();
    std::vector<Complex2> components(6), clarke(6);
    std::vector<double> park(6, 0.0);
    cpu::kernelSymmetricalComponentsH1(launch, orders, magnitudes.data(), phases.data(), components.data());
    cpu::kernelClarkeH1AndParkAve(launch, orders, magnitudes.data(), phases.data(), true, true, clarke.data(),
                                  park.data());
    const std::vector<Complex2> gComponents = dComponents.download();
    const std::vector<Complex2> gClarke = dClarke.download();
    const std::vector<double> gPark = dPark.download();
    // sincospi of the device library against the host's exact reduction.
    const double tolerance = 1e-14 * 300.0;
    for (int k = 0; k < 6; ++k) {
        EXPECT_NEAR(components[k].x, gComponents[k].x, tolerance) << "component " << k;
        EXPECT_NEAR(components[k].y, gComponents[k].y, tolerance) << "component " << k;
        EXPECT_NEAR(clarke[k].x, gClarke[k].x, tolerance) << "Clarke " << k;
        EXPECT_NEAR(clarke[k].y, gClarke[k].y, tolerance) << "Clarke " << k;
        EXPECT_NEAR(park[k], gPark[k], tolerance) << "Park " << k;
    }
}

}  // namespace
}  // namespace powergpu

#endif  // POWERGPU_HAVE_CUDA
