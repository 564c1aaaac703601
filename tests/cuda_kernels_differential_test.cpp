// Every CUDA kernel against its CPU twin on random inputs: exact where no
// transcendental function or cross-thread sum is involved, else within the last
// bits of the math libraries or the sum order; and rings past the int range.
// Skipped without a usable CUDA device, failed under POWERGPU_TEST_BACKEND=cuda.
#include <gtest/gtest.h>

#ifdef POWERGPU_HAVE_CUDA

#include <cuda_runtime.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "kernels/cpu/CpuKernels.h"
#include "kernels/cuda/CudaKernels.h"
#include "support/KernelSignals.h"
#include "support/TestSupport.h"

namespace powergpu {
namespace {

using kernel_test::rowsLaunch;
using Bin = powergpu::float2;

template <typename T>  // a device copy of a host vector
struct DeviceArray {
    explicit DeviceArray(const std::vector<T>& host) : count_(host.size()) {
        if (cudaMalloc(reinterpret_cast<void**>(&data_), count_ * sizeof(T)) == cudaSuccess) {
            cudaMemcpy(data_, host.data(), count_ * sizeof(T), cudaMemcpyHostToDevice);
        }
    }
    DeviceArray(const DeviceArray&) = delete;
    DeviceArray& operator=(const DeviceArray&) = delete;
    ~DeviceArray() { cudaFree(data_); }
    T* get() const { return data_; }
    std::vector<T> download() const {
        std::vector<T> host(count_);
        cudaMemcpy(host.data(), data_, count_ * sizeof(T), cudaMemcpyDeviceToHost);
        return host;
    }
    std::size_t count_;
    T* data_ = nullptr;
};

class CudaKernelsDifferential : public ::testing::Test {
protected:
    void SetUp() override { POWERGPU_REQUIRE_BACKEND(POWER_BACKEND_CUDA); }
    static void finish() {  // waits for the launched kernels; fails on a launch or run error
        ASSERT_TRUE(cudaGetLastError() == cudaSuccess && cudaDeviceSynchronize() == cudaSuccess);
    }
    std::vector<float> floats(std::size_t count, float bound, bool positive = false) {
        std::uniform_real_distribution<float> distribution(positive ? 0.0f : -bound, bound);
        std::vector<float> values(count);
        std::generate(values.begin(), values.end(), [&] { return distribution(random_); });
        return values;
    }
    std::vector<Bin> bins(std::size_t count, float bound) {
        const std::vector<float> values = floats(2 * count, bound);
        std::vector<Bin> result(count);
        std::memcpy(result.data(), values.data(), values.size() * sizeof(float));
        return result;
    }
    std::mt19937 random_{20240611u};
};

const auto gridFor = [](int count) { return static_cast<unsigned>(std::min((count + 31) / 32, 1024)); };

// Equal within `tolerance` (0: exactly; then also written versus unwritten).
void expectClose(const std::vector<float>& cpu, const std::vector<float>& gpu, double tolerance, const char* what) {
    ASSERT_EQ(cpu.size(), gpu.size());
    for (std::size_t k = 0; k < cpu.size(); ++k) {
        ASSERT_LE(std::fabs(double(cpu[k]) - gpu[k]), tolerance) << what << " element " << k;
    }
}

// Sums of records (the first 15 doubles of a channel block, meanAbsU .. nonActivePower, and the
// reactive sum q): 1e-10 relative, and a field one backend leaves zero the other leaves zero too.
void expectSumsClose(const PowerResultsGeneral& cpu, const PowerResultsGeneral& gpu) {
    for (int c = 0; c < 3; ++c) {
        double x[16], y[16];
        std::memcpy(x, &cpu.channels[c], 15 * sizeof(double));
        std::memcpy(y, &gpu.channels[c], 15 * sizeof(double));
        x[15] = cpu.channels[c].q;
        y[15] = gpu.channels[c].q;
        for (int f = 0; f < 16; ++f) {
            EXPECT_NEAR(x[f], y[f], 1e-10 * std::max(std::fabs(x[f]), 1.0)) << "channel " << c << " field " << f;
            EXPECT_EQ(x[f] == 0.0, y[f] == 0.0) << "channel " << c << " field " << f;
        }
    }
}

}  // namespace

TEST_F(CudaKernelsDifferential, StarAndDeltaWaveforms) {
    // Windows wrapping the ring end; windowed rows may differ by the last bits of the window cosines.
    const int ring = 1000, offset = 900, n = 700, fft = 1024;
    const float scale = kernel_test::fftScaleFor(n, fft);
    const std::vector<float> phases = floats(3 * ring, 400.0f), unset(3 * ring, -1.0f), rows(3 * fft, -1.0f);
    for (const bool store : {true, false}) {
        const Launch launch = rowsLaunch(3, gridFor(n));
        DeviceArray<float> dPhases(phases), dLines(unset), dPhaseRows(rows), dLineRows(rows);
        cuda::launchWaveformsUStar(launch, powergpu::WaveformsUStarArgs{{n, offset, ring},
                                                                        fft,
                                                                        scale,
                                                                        store,
                                                                        true,
                                                                        dPhases.get(),
                                                                        dLines.get(),
                                                                        dPhaseRows.get(),
                                                                        dLineRows.get()});
        finish();
        std::vector<float> lines = unset, phaseRows = rows, lineRows = rows;
        cpu::CpuKernelContext context;
        cpu::kernelWaveformsUStar(context, launch,
                                  powergpu::WaveformsUStarArgs{{n, offset, ring},
                                                               fft,
                                                               scale,
                                                               store,
                                                               true,
                                                               phases.data(),
                                                               lines.data(),
                                                               phaseRows.data(),
                                                               lineRows.data()});
        expectClose(lines, dLines.download(), 0.0, "line-to-line ring");
        expectClose(phaseRows, dPhaseRows.download(), 4e-7 * scale * 400.0, "phase rows");
        expectClose(lineRows, dLineRows.download(), 4e-7 * scale * 800.0, "line rows");
    }
    for (const int measured : {2, 3}) {
        const std::vector<float> lines = floats(3 * ring, 600.0f);
        const Launch launch = rowsLaunch(3, gridFor(n));
        DeviceArray<float> dPhases(unset), dLines(lines), dPhaseRows(rows), dLineRows(rows);
        cuda::launchWaveformsUDelta(launch, powergpu::WaveformsUDeltaArgs{measured,
                                                                          {n, offset, ring},
                                                                          fft,
                                                                          scale,
                                                                          true,
                                                                          dPhases.get(),
                                                                          dLines.get(),
                                                                          dPhaseRows.get(),
                                                                          dLineRows.get()});
        finish();
        std::vector<float> cPhases = unset, cLines = lines, phaseRows = rows, lineRows = rows;
        cpu::CpuKernelContext context;
        cpu::kernelWaveformsUDelta(context, launch,
                                   powergpu::WaveformsUDeltaArgs{measured,
                                                                 {n, offset, ring},
                                                                 fft,
                                                                 scale,
                                                                 true,
                                                                 cPhases.data(),
                                                                 cLines.data(),
                                                                 phaseRows.data(),
                                                                 lineRows.data()});
        expectClose(cPhases, dPhases.download(), 0.0, "phase ring");
        expectClose(cLines, dLines.download(), 0.0, "line-to-line ring");
        expectClose(phaseRows, dPhaseRows.download(), 4e-7 * scale * 1200.0, "phase rows");
        expectClose(lineRows, dLineRows.download(), 4e-7 * scale * 1200.0, "line rows");
    }
}

TEST_F(CudaKernelsDifferential, CurrentClarkeAndParkWaveforms) {
    const int ring = 40000, offset = 39000, n = 35000;  // more than 1024 blocks of 32 would cover
    const std::vector<float> currents = floats(3 * ring, 50.0f), rows(3 * 65536, -1.0f);
    const float scale = kernel_test::fftScaleFor(n, 65536);
    DeviceArray<float> dCurrents(currents), dRows(rows);
    cuda::launchWaveformsI(rowsLaunch(2, gridFor(n)),
                           powergpu::WaveformsIArgs{{n, offset, ring}, 65536, scale, dCurrents.get(), dRows.get()});
    cuda::launchWaveformsI3(rowsLaunch(1, gridFor(n)),
                            powergpu::WaveformsI3Args{{n, offset, ring}, 65536, scale, dCurrents.get(), dRows.get()});
    finish();
    std::vector<float> cCurrents = currents, cRows = rows;
    cpu::CpuKernelContext context;
    cpu::kernelWaveformsI(context, rowsLaunch(2, gridFor(n)),
                          powergpu::WaveformsIArgs{{n, offset, ring}, 65536, scale, cCurrents.data(), cRows.data()});
    cpu::kernelWaveformsI3(context, rowsLaunch(1, gridFor(n)),
                           powergpu::WaveformsI3Args{{n, offset, ring}, 65536, scale, cCurrents.data(), cRows.data()});
    expectClose(cCurrents, dCurrents.download(), 0.0, "current ring");
    expectClose(cRows, dRows.download(), 4e-7 * scale * 100.0, "current rows");
    const std::vector<float> samples = floats(6 * ring, 300.0f), angles = floats(ring, 3.2f), unset(6 * ring, -1.0f);
    const Launch launch = rowsLaunch(2, gridFor(n));
    DeviceArray<float> dSamples(samples), dAngles(angles), dClarke(unset), dPark(unset);
    DeviceArray<double> dAverages(std::vector<double>(6, 0.0));
    cuda::launchWaveformsClarke(launch,
                                powergpu::WaveformsClarkeArgs{{n, offset, ring}, dSamples.get(), dClarke.get()});
    cuda::launchWaveformsPark(
        launch, powergpu::WaveformsParkArgs{
                    {n, offset, ring}, 3, 12.5, dSamples.get(), dAngles.get(), dPark.get(), dAverages.get()});
    finish();
    std::vector<float> clarke = unset, park = unset;
    std::vector<double> averages(6, 0.0);
    cpu::kernelWaveformsClarke(launch, powergpu::WaveformsClarkeArgs{{n, offset, ring}, samples.data(), clarke.data()});
    cpu::kernelWaveformsPark(
        launch, powergpu::WaveformsParkArgs{
                    {n, offset, ring}, 3, 12.5, samples.data(), angles.data(), park.data(), averages.data()});
    expectClose(clarke, dClarke.download(), 0.0, "Clarke ring");
    expectClose(park, dPark.download(), 1e-6 * 600.0, "Park ring");  // double sine and cosine, last bit
    const std::vector<double> gAverages = dAverages.download();
    for (int k = 0; k < 6; ++k) {
        EXPECT_NEAR(averages[k], gAverages[k], 1e-10 * 600.0) << "Park average " << k;
        EXPECT_TRUE(k % 3 != 2 || gAverages[k] == 0.0) << "no third average";
    }
}

TEST_F(CudaKernelsDifferential, TimeDomainAndSpectralSums) {
    const int ring = 50000, offset = 20000, n = 40000;
    const std::vector<float> voltages = floats(3 * ring, 400.0f), currents = floats(3 * ring, 30.0f);
    DeviceArray<float> dVoltages(voltages), dCurrents(currents);
    // rms of U, of UL, of U and I; then fewer samples than a warp.
    for (int variant = 0; variant < 4; ++variant) {
        const int count = variant == 3 ? 13 : n, start = variant == 3 ? ring - 5 : offset;
        const Launch launch = rowsLaunch(3, gridFor(count));
        PowerResultsGeneral record = PowerResultsGeneral{};
        DeviceArray<PowerResultsGeneral> dRecord(std::vector<PowerResultsGeneral>(1, PowerResultsGeneral{}));
        if (variant == 1) {
            cuda::launchRmsUL(launch, powergpu::RmsULArgs{{count, start, ring}, dVoltages.get(), dRecord.get()});
            cpu::kernelRmsUL(launch, powergpu::RmsULArgs{{count, start, ring}, voltages.data(), &record});
        } else if (variant == 2) {
            cuda::launchRmsUI(
                launch, powergpu::RmsUIArgs{{count, start, ring}, dVoltages.get(), dCurrents.get(), dRecord.get()});
            cpu::kernelRmsUI(launch,
                             powergpu::RmsUIArgs{{count, start, ring}, voltages.data(), currents.data(), &record});
        } else {
            cuda::launchRmsU(launch, powergpu::RmsUArgs{{count, start, ring}, dVoltages.get(), dRecord.get()});
            cpu::kernelRmsU(launch, powergpu::RmsUArgs{{count, start, ring}, voltages.data(), &record});
        }
        finish();
        SCOPED_TRACE("variant " + std::to_string(variant));
        expectSumsClose(record, dRecord.download()[0]);
    }
    const int count = 4097;
    const std::vector<Bin> u = bins(3 * count, 10.0f), i = bins(3 * count, 1.0f), ul = bins(3 * count, 17.0f);
    DeviceArray<Bin> dU(u), dI(i), dUL(ul);
    for (const bool all : {true, false}) {
        DeviceArray<PowerResultsGeneral> dRecord(std::vector<PowerResultsGeneral>(1, PowerResultsGeneral{}));
        cuda::launchFreqRms(rowsLaunch(3, gridFor(count)),
                            powergpu::FreqRmsArgs{count, 3, dU.get(), all ? dI.get() : nullptr,
                                                  all ? dUL.get() : nullptr, dRecord.get()});
        finish();
        PowerResultsGeneral record = PowerResultsGeneral{};
        cpu::kernelFreqRms(
            rowsLaunch(3, gridFor(count)),
            powergpu::FreqRmsArgs{count, 3, u.data(), all ? i.data() : nullptr, all ? ul.data() : nullptr, &record});
        expectSumsClose(record, dRecord.download()[0]);
    }
}

TEST_F(CudaKernelsDifferential, ReferenceAngleHarmonicTablesAndOrderPowers) {
    const std::vector<Bin> spectrum = bins(513, 5.0f);
    DeviceArray<Bin> dSpectrum(spectrum);
    for (const double binsPerFundamental : {10.0, 10.3, 2.5, 37.77}) {
        DeviceArray<double> dAngle(std::vector<double>(1, 0.0));
        cuda::launchReferenceAngle(
            rowsLaunch(1, 1, 1),
            powergpu::ReferenceAngleArgs{50.0 * binsPerFundamental, 50.0, 0.8, dSpectrum.get(), dAngle.get()});
        finish();
        double angle = 0.0;
        cpu::kernelReferenceAngle(rowsLaunch(1, 1, 1), powergpu::ReferenceAngleArgs{50.0 * binsPerFundamental, 50.0,
                                                                                    0.8, spectrum.data(), &angle});
        EXPECT_NEAR(kernel_test::angleDifference(angle, dAngle.download()[0]), 0.0, 1e-4) << binsPerFundamental;
    }
    const int rows = 9, count = 1025;
    const std::vector<Bin> spectra = bins(rows * count, 20.0f);
    DeviceArray<Bin> dSpectra(spectra);
    // Bins per fundamental, half width, orders; the last case has orders centred beyond the row.
    for (const auto& c : {std::make_tuple(10.3, 3, 51), std::make_tuple(20.0, 6, 51), std::make_tuple(25.5, 8, 45)}) {
        const int orders = std::get<2>(c);
        const std::vector<float> table(rows * orders, -1.0f);
        DeviceArray<float> dMagnitudes(table), dInter(table), dPhases(table);
        DeviceArray<double> dReference(std::vector<double>(1, 33.0));
        const Launch launch = rowsLaunch(rows, static_cast<unsigned>((orders + 31) >> 5));
        const double frequency = 50.0 * std::get<0>(c);
        cuda::launchHarmonics(launch, powergpu::HarmonicsArgs{count, orders, std::get<1>(c), true, frequency, 50.0,
                                                              0.75, dReference.get(), dSpectra.get(), dMagnitudes.get(),
                                                              dInter.get(), dPhases.get()});
        finish();
        std::vector<float> magnitudes = table, inter = table, phases = table;
        const double reference = 33.0;
        cpu::CpuKernelContext context;
        cpu::kernelHarmonics(
            context, launch,
            powergpu::HarmonicsArgs{count, orders, std::get<1>(c), true, frequency, 50.0, 0.75, &reference,
                                    spectra.data(), magnitudes.data(), inter.data(), phases.data()});
        expectClose(magnitudes, dMagnitudes.download(), 0.0, "magnitudes");
        expectClose(inter, dInter.download(), 0.0, "interharmonics");
        const std::vector<float> gPhases = dPhases.download();
        for (std::size_t k = 0; k < phases.size(); ++k) {
            ASSERT_NEAR(kernel_test::angleDifference(phases[k], gPhases[k]), 0.0, 2e-3) << "phase " << k;
        }
    }
    const int block = 3 * 51;
    std::vector<float> magnitudes = floats(2 * block, 300.0f, true);
    magnitudes[block + 4] = 0.001f;  // the impedance boundary
    magnitudes[block + 5] = 0.0f;
    const std::vector<float> phases = floats(2 * block, 180.0f), powers(3 * block, -1.0f), impedances(block, -1.0f);
    DeviceArray<float> dMagnitudes(magnitudes), dPhases(phases), dPowers(powers), dImpedances(impedances);
    cuda::launchPQSZ(rowsLaunch(3, 2),
                     powergpu::PQSZArgs{3, 51, dMagnitudes.get(), dPhases.get(), dPowers.get(), dImpedances.get()});
    finish();
    std::vector<float> cPowers = powers, cImpedances = impedances;
    cpu::kernelPQSZ(rowsLaunch(3, 2),
                    powergpu::PQSZArgs{3, 51, magnitudes.data(), phases.data(), cPowers.data(), cImpedances.data()});
    expectClose(cImpedances, dImpedances.download(), 0.0, "impedances");
    const std::vector<float> gPowers = dPowers.download();
    for (int k = 0; k < block; ++k) {
        const float s = cPowers[k + 2 * block];
        ASSERT_EQ(s, gPowers[k + 2 * block]) << "S " << k;
        ASSERT_NEAR(cPowers[k], gPowers[k], 1e-6f * s + 1e-30f) << "P " << k;
        ASSERT_NEAR(cPowers[k + block], gPowers[k + block], 1e-6f * s + 1e-30f) << "Q " << k;
    }
}

TEST_F(CudaKernelsDifferential, ThdSumsSequenceSumsAndFundamentalComponents) {
    const int records = 18, orders = 51;
    const std::vector<float> magnitudes = floats(records * orders, 50.0f);
    DeviceArray<float> dMagnitudes(magnitudes);
    DeviceArray<PowerResultsThd> dThd(std::vector<PowerResultsThd>(records, PowerResultsThd{}));
    cuda::launchSumOfHarmonicsSquared(rowsLaunch(1, 1, records),
                                      powergpu::SumOfHarmonicsSquaredArgs{40, orders, dMagnitudes.get(), dThd.get()});
    finish();
    std::vector<PowerResultsThd> thd(records, PowerResultsThd{});
    cpu::kernelSumOfHarmonicsSquared(rowsLaunch(1, 1, records),
                                     powergpu::SumOfHarmonicsSquaredArgs{40, orders, magnitudes.data(), thd.data()});
    const std::vector<PowerResultsThd> gThd = dThd.download();
    EXPECT_EQ(std::memcmp(thd.data(), gThd.data(), thd.size() * sizeof(PowerResultsThd)), 0) << "sums of squares";
    // The scheduler's shapes: bin blocks of min(bins - 1, 256); small FFTs give
    // blocks narrower than a warp, two groups sharing one.
    for (const int count : {3, 9, 33, 129, 513, 4097}) {
        const std::vector<Bin> spectra = bins(6 * count, 10.0f);
        const int width = std::min(count - 1, 256);
        const Launch launch = rowsLaunch(2, static_cast<unsigned>((count - 2 + width) / width), width);
        DeviceArray<Bin> dSpectra(spectra);
        DeviceArray<double> dSums(std::vector<double>(6, 0.0));
        cuda::launchSymmetricalComponents(launch,
                                          powergpu::SymmetricalComponentsArgs{count, dSpectra.get(), dSums.get()});
        finish();
        std::vector<double> sums(6, 0.0);
        cpu::kernelSymmetricalComponents(launch,
                                         powergpu::SymmetricalComponentsArgs{count, spectra.data(), sums.data()});
        const std::vector<double> gSums = dSums.download();
        for (int k = 0; k < 6; ++k) {
            EXPECT_NEAR(sums[k], gSums[k], 1e-10 * std::max(std::fabs(sums[k]), 1e-300)) << count << " bins, sum " << k;
        }
    }
    std::vector<float> h1 = floats(6 * 21, 300.0f, true), angles = floats(6 * 21, 180.0f);
    angles[1] = 0.0f;  // angles whose phasors have exact zeros
    angles[22] = 90.0f;
    angles[43] = -180.0f;
    const Launch launch = rowsLaunch(2, 1, 1);
    DeviceArray<float> dH1(h1), dAngles(angles);
    DeviceArray<ComplexDouble> dComponents(std::vector<ComplexDouble>(6)), dClarke(std::vector<ComplexDouble>(6));
    DeviceArray<double> dPark(std::vector<double>(6, 0.0));
    cuda::launchSymmetricalComponentsH1(
        launch, powergpu::SymmetricalComponentsH1Args{21, dH1.get(), dAngles.get(), dComponents.get()});
    cuda::launchClarkeH1AndParkAve(
        launch, powergpu::ClarkeH1AndParkAveArgs{21, dH1.get(), dAngles.get(), true, true, dClarke.get(), dPark.get()});
    finish();
    std::vector<ComplexDouble> components(6), clarke(6);
    std::vector<double> park(6, 0.0);
    cpu::kernelSymmetricalComponentsH1(
        launch, powergpu::SymmetricalComponentsH1Args{21, h1.data(), angles.data(), components.data()});
    cpu::kernelClarkeH1AndParkAve(
        launch, powergpu::ClarkeH1AndParkAveArgs{21, h1.data(), angles.data(), true, true, clarke.data(), park.data()});
    const std::vector<ComplexDouble> gComponents = dComponents.download(), gClarke = dClarke.download();
    const std::vector<double> gPark = dPark.download();
    const double tolerance = 1e-14 * 300.0;  // the device's sincospi against the host's exact reduction
    for (int k = 0; k < 6; ++k) {
        EXPECT_NEAR(components[k].x, gComponents[k].x, tolerance) << "component " << k;
        EXPECT_NEAR(components[k].y, gComponents[k].y, tolerance) << "component " << k;
        EXPECT_NEAR(clarke[k].x, gClarke[k].x, tolerance) << "Clarke " << k;
        EXPECT_NEAR(clarke[k].y, gClarke[k].y, tolerance) << "Clarke " << k;
        EXPECT_NEAR(park[k], gPark[k], tolerance) << "Park " << k;
    }
}

// Device memory released at the end of a test.
struct DeviceMemory {
    DeviceMemory(const DeviceMemory&) = delete;
    DeviceMemory& operator=(const DeviceMemory&) = delete;
    explicit DeviceMemory(std::size_t bytes) {
        if (cudaMalloc(&data, bytes) != cudaSuccess) {
            data = nullptr;
            (void)cudaGetLastError();
        }
    }
    ~DeviceMemory() { cudaFree(data); }
    template <typename T>
    T* as() const {
        return static_cast<T*>(data);
    }
    void* data = nullptr;
};

// A ring of 2^30 + 4096 samples: its third row starts past 2^31 elements,
// and a whole-ring window that starts 1000 samples before the ring end
// reaches i + offset = 2^31 near window sample 2^30 - 3096. Both pass the
// int range. Rows of constants (byte patterns) give known answers: the
// derived third current is -(a + b) at every ring position, its windowed
// row follows the window, and the RMS sums of row c are n |v_c| and n v_c^2.
// Needs 24 GiB of device memory.
TEST_F(CudaKernelsDifferential, RingsBeyondTwoToThe30SamplesAreAddressedIn64Bits) {
    const int ring = (1 << 30) + 4096, n = ring, offset = ring - 1000;
    const std::size_t row = static_cast<std::size_t>(ring);
    DeviceMemory currents(3 * row * sizeof(float)), rows(3 * row * sizeof(float)), record(sizeof(PowerResultsGeneral));
    ASSERT_TRUE(currents.data != nullptr && rows.data != nullptr && record.data != nullptr)
        << "24 GiB of device memory";
    float* ringRows = currents.as<float>();
    ASSERT_EQ(cudaMemset(ringRows, 0x3F, row * sizeof(float)), cudaSuccess);
    ASSERT_EQ(cudaMemset(ringRows + row, 0x40, row * sizeof(float)), cudaSuccess);
    ASSERT_EQ(cudaMemset(ringRows + 2 * row, 0xFF, row * sizeof(float)), cudaSuccess);  // NaN until derived
    ASSERT_EQ(cudaMemset(rows.data, 0xFF, 3 * row * sizeof(float)), cudaSuccess);
    ASSERT_EQ(cudaMemset(record.data, 0, sizeof(PowerResultsGeneral)), cudaSuccess);
    float value[3];
    const uint32_t patterns[2] = {0x3F3F3F3Fu, 0x40404040u};
    std::memcpy(&value[0], &patterns[0], sizeof(float));
    std::memcpy(&value[1], &patterns[1], sizeof(float));
    value[2] = math::thirdCurrent(value[0], value[1]);

    const float scale = kernel_test::fftScaleFor(n, ring);
    cuda::launchWaveformsI3(rowsLaunch(1, gridFor(n)),
                            powergpu::WaveformsI3Args{{n, offset, ring}, ring, scale, ringRows, rows.as<float>()});
    cuda::launchRmsU(rowsLaunch(3, gridFor(n)),
                     powergpu::RmsUArgs{{n, offset, ring}, ringRows, record.as<PowerResultsGeneral>()});
    finish();

    const auto at = [](const float* base, std::size_t index) {
        float sample = 0.0f;
        EXPECT_EQ(cudaMemcpy(&sample, base + index, sizeof sample, cudaMemcpyDeviceToHost), cudaSuccess);
        return sample;
    };
    const std::size_t crossing = (std::size_t{1} << 30) - 3096;  // window sample where i + offset = 2^31
    for (const std::size_t i : {std::size_t{0}, std::size_t{999}, std::size_t{1000}, crossing - 1, crossing,
                                crossing + 1, row / 2, row - 1}) {
        const std::size_t j = (i + static_cast<std::size_t>(offset)) % row;
        EXPECT_EQ(at(ringRows + 2 * row, j), value[2]) << "third current at ring position " << j;
        const float expected = math::windowedSample(value[2], math::blackmanWindow(static_cast<int>(i), n), scale);
        // The window's single-precision cosines may differ in their last bits.
        EXPECT_NEAR(at(rows.as<float>() + 2 * row, i), expected, 4e-7 * scale * std::fabs(value[2]))
            << "windowed row at window sample " << i;
    }
    PowerResultsGeneral sums{};
    ASSERT_EQ(cudaMemcpy(&sums, record.data, sizeof sums, cudaMemcpyDeviceToHost), cudaSuccess);
    for (int c = 0; c < 3; ++c) {
        const double absolute = n * math::rmsAbsoluteTerm(value[c]), square = n * math::rmsSquareTerm(value[c]);
        EXPECT_NEAR(sums.channels[c].meanAbsU, absolute, 1e-10 * absolute) << "row " << c;
        EXPECT_NEAR(sums.channels[c].rmsU, square, 1e-10 * square) << "row " << c;
    }
}

}  // namespace powergpu

#endif  // POWERGPU_HAVE_CUDA
