// The facade: every method forwards to the implementation.
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"

namespace {

std::unique_ptr<powergpu::Runtime> runtimeFor(int32_t backend) {
    if (backend < POWER_BACKEND_AUTOMATIC || backend > POWER_BACKEND_CUDA) {
        throw PowerInvalidCall("unknown backend " + std::to_string(backend) +
                               " (0 automatic, 1 CPU, 2 CUDA).");
    }
    auto runtime = powergpu::createRuntime(static_cast<powergpu::Backend>(backend));
    if (runtime == nullptr) {
        throw PowerInvalidCall(backend == POWER_BACKEND_CUDA
                                   ? "the CUDA backend is not available: no usable CUDA device or FFT library"
                                   : "the requested backend is not available");
    }
    return runtime;
}

}  // namespace

PowerModule::PowerModule() : PowerModule(POWER_BACKEND_AUTOMATIC) {}

PowerModule::PowerModule(int32_t backend) : impl_(new PowerModuleImpl(runtimeFor(backend))) {}
PowerModule PowerModule::PowerModuleImpl::moduleAround(std::shared_ptr<powergpu::Runtime> runtime) {
    // The public constructors choose a backend; this one swaps in the given
    // runtime's implementation before any caller can see the module.
    PowerModule module(POWER_BACKEND_CPU);
    auto* replacement = new PowerModuleImpl(std::move(runtime));
    delete module.impl_;
    module.impl_ = replacement;
    return module;
}

PowerModule::PowerModule(PowerModule&& other) noexcept : impl_(other.impl_) { other.impl_ = nullptr; }

PowerModule& PowerModule::operator=(PowerModule&& other) noexcept {
    if (this != &other) {
        PowerModuleImpl* previous = impl_;
        impl_ = other.impl_;
        other.impl_ = nullptr;
        delete previous;
    }
    return *this;
}

PowerModule::~PowerModule() { delete impl_; }

namespace {

PowerModule::PowerModuleImpl& use(PowerModule::PowerModuleImpl* impl) {
    if (impl == nullptr) {
        throw PowerInvalidCall("this module was moved from and holds no implementation");
    }
    return *impl;
}

}  // namespace

int32_t PowerModule::getBackend() const {
    return use(impl_).runtime().backend() == powergpu::Backend::Cuda ? POWER_BACKEND_CUDA : POWER_BACKEND_CPU;
}

void PowerModule::beginUpdate() { use(impl_).beginUpdate(); }
void PowerModule::endUpdate() { use(impl_).endUpdate(); }
void PowerModule::writeSamples(unsigned int count) { use(impl_).copyAddedSamplesToDevice(count); }
void PowerModule::skipSamples(unsigned int count) { use(impl_).skipSamples(count); }
void PowerModule::scheduleForCalculation(uint64_t firstSampleIndex, int length, double frequency) const {
    use(impl_).scheduleForCalculation(firstSampleIndex, static_cast<uint32_t>(length), frequency);
}
void PowerModule::scheduleForPeriodCalculation(int count, uint64_t* starts, int* lengths, double* frequencies,
                                               bool* valid) {
    use(impl_).scheduleForPeriodCalculation(count, starts, lengths, frequencies, valid);
}
bool PowerModule::isAnyResultReady() const { return use(impl_).isAnyResultReady(); }
std::vector<PowerResultsGeneral> PowerModule::getResults(int maxCount) { return use(impl_).getResults(maxCount); }
void PowerModule::getPeriodResults(int* count, bool* more, PowerResultsPeriod** records) {
    use(impl_).getPeriodResults(count, more, records);
}
void PowerModule::sync() { use(impl_).syncCuda(); }
void PowerModule::reset(uint64_t firstSampleIndex) const { use(impl_).reset(firstSampleIndex); }

float* PowerModule::getWaveformBufferUInput(uint8_t channel) const { return use(impl_).getWaveformBufferUInput(channel); }
float* PowerModule::getWaveformBufferUStar(uint8_t channel) const { return use(impl_).getWaveformBufferUStar(channel); }
float* PowerModule::getWaveformBufferUDelta(uint8_t channel) const { return use(impl_).getWaveformBufferUDelta(channel); }
float* PowerModule::getWaveformBufferI(uint8_t channel) const { return use(impl_).getWaveformBufferI(channel); }
float* PowerModule::getWaveformBufferClarkeU(uint8_t channel) const { return use(impl_).getWaveformBufferClarkeU(channel); }
float* PowerModule::getWaveformBufferClarkeI(uint8_t channel) const { return use(impl_).getWaveformBufferClarkeI(channel); }
float* PowerModule::getWaveformBufferParkU(uint8_t channel) const { return use(impl_).getWaveformBufferParkU(channel); }
float* PowerModule::getWaveformBufferParkI(uint8_t channel) const { return use(impl_).getWaveformBufferParkI(channel); }
float* PowerModule::getWaveformBufferMechAngles() const { return use(impl_).getWaveformBufferMechAngles(); }

void PowerModule::setBufferLength(uint64_t length) {
    PowerModuleImpl& impl = use(impl_);
    // Kernels address the rings with 32-bit signed indices.
    if (length > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        throw PowerInvalidCall("setBufferLength: " + std::to_string(static_cast<int64_t>(length)) +
                               " is not a buffer length (0 to 2147483647 samples).");
    }
    impl.setBufferLengthAndDuration(length, static_cast<double>(length) / impl.getSampleRate());
}
uint64_t PowerModule::getBufferLength() const { return use(impl_).getBufferLength(); }
void PowerModule::setSampleRate(double sampleRate, int positionsPerSample) {
    PowerModuleImpl& impl = use(impl_);
    const uint64_t length = impl.getBufferLength();
    impl.setSampleRate(sampleRate, positionsPerSample);
    impl.setBufferLengthAndDuration(length, static_cast<double>(length) / sampleRate);
}
double PowerModule::getSampleRate() const { return use(impl_).getSampleRate(); }

void PowerModule::setStaticFrequency(double frequency, double tolerance) {
    use(impl_).setStaticFrequency(frequency, tolerance);
}
void PowerModule::setVariableFrequency(double lowest, double highest) { use(impl_).setVariableFrequency(lowest, highest); }
void PowerModule::setGridConfigType(PowerGridConfigType type) { use(impl_).setGridConfigType(type); }
void PowerModule::setPeriodCount(uint16_t count) { use(impl_).setPeriodCount(count); }
uint16_t PowerModule::getPeriodCount() const { return use(impl_).getPeriodCount(); }

uint8_t PowerModule::getPhasesCount() const { return use(impl_).getPhasesCount(); }
uint8_t PowerModule::getVoltagesCount() const { return use(impl_).getVoltagesCount(); }
uint8_t PowerModule::getCurrentsCount() const { return use(impl_).getCurrentsCount(); }

#define POWERGPU_FORWARD_SETTING(Name, type)                                       \
    void PowerModule::set##Name(type value) { use(impl_).set##Name(value); }      \
    type PowerModule::get##Name() const { return use(impl_).get##Name(); }

POWERGPU_FORWARD_SETTING(PeriodValuesEnabled, bool)
POWERGPU_FORWARD_SETTING(FundamentalPeriodValuesEnabled, bool)
POWERGPU_FORWARD_SETTING(PeriodSymmetricalComponentsEnabled, bool)
POWERGPU_FORWARD_SETTING(HalfPeriodValuesCount, uint16_t)
POWERGPU_FORWARD_SETTING(PeriodValuesOverlapInPercent, uint16_t)
POWERGPU_FORWARD_SETTING(CurrentEnabled, bool)
POWERGPU_FORWARD_SETTING(LineToLineResultsEnabled, bool)
POWERGPU_FORWARD_SETTING(WaveformsEnabled, bool)
POWERGPU_FORWARD_SETTING(InterHarmonicsEnabled, bool)
POWERGPU_FORWARD_SETTING(FullFftEnabled, bool)
POWERGPU_FORWARD_SETTING(ThdEnabled, bool)
POWERGPU_FORWARD_SETTING(HighestRequestedHarmonic, int)
POWERGPU_FORWARD_SETTING(ThdHighestHarmonic, int)
POWERGPU_FORWARD_SETTING(SymmetricalComponentsEnabled, bool)
POWERGPU_FORWARD_SETTING(RvcEnabled, bool)
POWERGPU_FORWARD_SETTING(RvcSteadyStateLength, int)
POWERGPU_FORWARD_SETTING(RvcThreshold, double)
POWERGPU_FORWARD_SETTING(RvcThresholdHysteresis, double)
POWERGPU_FORWARD_SETTING(ClarkeTransformEnabled, bool)
POWERGPU_FORWARD_SETTING(ParkTransformEnabled, bool)
POWERGPU_FORWARD_SETTING(ClarkeOrParkVoltagesEnabled, bool)
POWERGPU_FORWARD_SETTING(ClarkeOrParkCurrentsEnabled, bool)
POWERGPU_FORWARD_SETTING(ClarkeOrParkWaveformsEnabled, bool)
POWERGPU_FORWARD_SETTING(MechanicalAngleUsed, bool)
POWERGPU_FORWARD_SETTING(PolePairs, int)
POWERGPU_FORWARD_SETTING(MechAngleOffset, double)

#undef POWERGPU_FORWARD_SETTING
