// The facade: every method forwards to the implementation or one of its
// parts (settings, window scheduler, period engine).
#include <limits>
#include <memory>
#include <string>
#include <utility>

#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"

namespace {

std::unique_ptr<powergpu::Runtime> runtimeFor(int32_t backend) {
    if (backend < POWER_BACKEND_AUTOMATIC || backend > POWER_BACKEND_CUDA) {
        throw PowerInvalidCall("unknown backend " + std::to_string(backend) + " (0 automatic, 1 CPU, 2 CUDA).");
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

PowerModule::PowerModule(PowerModule&& other) noexcept : impl_(other.impl_) {
    other.impl_ = nullptr;
}

PowerModule& PowerModule::operator=(PowerModule&& other) noexcept {
    if (this != &other) {
        PowerModuleImpl* previous = impl_;
        impl_ = other.impl_;
        other.impl_ = nullptr;
        delete previous;
    }
    return *this;
}

PowerModule::~PowerModule() {
    delete impl_;
}

namespace {

// The implementation of a module; a moved-from one has none.
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

void PowerModule::getFrequencyRange(double& lowest, double& highest) const {
    const powergpu::PowerConfig& stored = use(impl_).settings().getConfig();
    lowest = stored.minFrequency;
    highest = stored.maxFrequency;
}

void PowerModule::beginUpdate() {
    use(impl_).beginUpdate();
}
void PowerModule::endUpdate() {
    use(impl_).endUpdate();
}
void PowerModule::writeSamples(unsigned int count) {
    use(impl_).writeSamples(count);
}
void PowerModule::skipSamples(unsigned int count) {
    use(impl_).scheduler().skipSamples(count);
}
void PowerModule::scheduleForCalculation(uint64_t firstSampleIndex, int length, double frequency) const {
    use(impl_).scheduler().scheduleForCalculation(firstSampleIndex, static_cast<uint32_t>(length), frequency);
}
void PowerModule::scheduleForPeriodCalculation(int count, uint64_t* starts, int* lengths, double* frequencies,
                                               bool* valid) {
    use(impl_).scheduleForPeriodCalculation(count, starts, lengths, frequencies, valid);
}
bool PowerModule::isAnyResultReady() const {
    return use(impl_).scheduler().isAnyResultReady();
}
std::vector<PowerResultsGeneral> PowerModule::getResults(int maxCount) {
    return use(impl_).scheduler().getResults(maxCount);
}
void PowerModule::getPeriodResults(int* count, bool* more, PowerResultsPeriod** records) {
    use(impl_).getPeriodResults(count, more, records);
}
void PowerModule::sync() {
    use(impl_).syncCuda();
}
void PowerModule::reset(uint64_t firstSampleIndex) const {
    use(impl_).reset(firstSampleIndex);
}

// The host rings of the channels belong to the settings part.
#define POWERGPU_FORWARD_WAVEFORM(Name)               \
    float* PowerModule::Name(uint8_t channel) const { \
        return use(impl_).settings().Name(channel);   \
    }

POWERGPU_FORWARD_WAVEFORM(getWaveformBufferUInput)
POWERGPU_FORWARD_WAVEFORM(getWaveformBufferUStar)
POWERGPU_FORWARD_WAVEFORM(getWaveformBufferUDelta)
POWERGPU_FORWARD_WAVEFORM(getWaveformBufferI)
POWERGPU_FORWARD_WAVEFORM(getWaveformBufferClarkeU)
POWERGPU_FORWARD_WAVEFORM(getWaveformBufferClarkeI)
POWERGPU_FORWARD_WAVEFORM(getWaveformBufferParkU)
POWERGPU_FORWARD_WAVEFORM(getWaveformBufferParkI)

#undef POWERGPU_FORWARD_WAVEFORM

float* PowerModule::getWaveformBufferMechAngles() const {
    return use(impl_).settings().getWaveformBufferMechAngles();
}

// ------------------------------------------------------------------ settings

void PowerModule::setBufferLength(uint64_t length) {
    PowerModuleImpl& impl = use(impl_);
    // Kernels address the rings with 32-bit signed indices.
    if (length > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
        throw PowerInvalidCall("setBufferLength: " + std::to_string(static_cast<int64_t>(length)) +
                               " is not a buffer length (0 to 2147483647 samples).");
    }
    impl.change([&](powergpu::ModuleSettings& s) {
        s.setBufferLengthAndDuration(length, static_cast<double>(length) / s.getSampleRate());
    });
}
uint64_t PowerModule::getBufferLength() const {
    return use(impl_).settings().getBufferLength();
}
void PowerModule::setSampleRate(double sampleRate, int positionsPerSample) {
    PowerModuleImpl& impl = use(impl_);
    const uint64_t length = impl.settings().getBufferLength();
    impl.change([&](powergpu::ModuleSettings& s) { s.setSampleRate(sampleRate, positionsPerSample); });
    impl.change([&](powergpu::ModuleSettings& s) {
        s.setBufferLengthAndDuration(length, static_cast<double>(length) / sampleRate);
    });
}
double PowerModule::getSampleRate() const {
    return use(impl_).settings().getSampleRate();
}

void PowerModule::setStaticFrequency(double frequency, double tolerance) {
    use(impl_).change([&](powergpu::ModuleSettings& s) { s.setStaticFrequency(frequency, tolerance); });
}
void PowerModule::setVariableFrequency(double lowest, double highest) {
    use(impl_).change([&](powergpu::ModuleSettings& s) { s.setVariableFrequency(lowest, highest); });
}
void PowerModule::setGridConfigType(PowerGridConfigType type) {
    use(impl_).change([&](powergpu::ModuleSettings& s) { s.setGridConfigType(type); });
}
void PowerModule::setPeriodCount(uint16_t count) {
    use(impl_).change([&](powergpu::ModuleSettings& s) { s.setPeriodCount(count); });
}
uint16_t PowerModule::getPeriodCount() const {
    return use(impl_).settings().getPeriodCount();
}

uint8_t PowerModule::getPhasesCount() const {
    return use(impl_).settings().getPhasesCount();
}
uint8_t PowerModule::getVoltagesCount() const {
    return use(impl_).settings().getVoltagesCount();
}
uint8_t PowerModule::getCurrentsCount() const {
    return use(impl_).settings().getCurrentsCount();
}

// A setting whose change rebuilds the module (unless an update bracket is open).
#define POWERGPU_FORWARD_REBUILDING_SETTING(Name, type)                              \
    void PowerModule::set##Name(type value) {                                        \
        use(impl_).change([&](powergpu::ModuleSettings& s) { s.set##Name(value); }); \
    }                                                                                \
    type PowerModule::get##Name() const {                                            \
        return use(impl_).settings().get##Name();                                    \
    }

// A plain store: stored and applied at once, or a setting read at the next reset.
#define POWERGPU_FORWARD_PLAIN_SETTING(Name, type) \
    void PowerModule::set##Name(type value) {      \
        use(impl_).settings().set##Name(value);    \
    }                                              \
    type PowerModule::get##Name() const {          \
        return use(impl_).settings().get##Name();  \
    }

POWERGPU_FORWARD_REBUILDING_SETTING(PeriodValuesEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(FundamentalPeriodValuesEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(PeriodSymmetricalComponentsEnabled, bool)
POWERGPU_FORWARD_PLAIN_SETTING(HalfPeriodValuesCount, uint16_t)
POWERGPU_FORWARD_PLAIN_SETTING(PeriodValuesOverlapInPercent, uint16_t)
POWERGPU_FORWARD_REBUILDING_SETTING(CurrentEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(LineToLineResultsEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(WaveformsEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(InterHarmonicsEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(FullFftEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(ThdEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(HighestRequestedHarmonic, int)
POWERGPU_FORWARD_REBUILDING_SETTING(ThdHighestHarmonic, int)
POWERGPU_FORWARD_REBUILDING_SETTING(SymmetricalComponentsEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(RvcEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(RvcSteadyStateLength, int)
POWERGPU_FORWARD_REBUILDING_SETTING(RvcThreshold, double)
POWERGPU_FORWARD_REBUILDING_SETTING(RvcThresholdHysteresis, double)
POWERGPU_FORWARD_REBUILDING_SETTING(ClarkeTransformEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(ParkTransformEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(ClarkeOrParkVoltagesEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(ClarkeOrParkCurrentsEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(ClarkeOrParkWaveformsEnabled, bool)
POWERGPU_FORWARD_PLAIN_SETTING(MechanicalAngleUsed, bool)
POWERGPU_FORWARD_PLAIN_SETTING(PolePairs, int)
POWERGPU_FORWARD_PLAIN_SETTING(MechAngleOffset, double)

// ---- dips, swells and interruptions
POWERGPU_FORWARD_PLAIN_SETTING(VoltageEventsEnabled, bool)
POWERGPU_FORWARD_PLAIN_SETTING(VoltageEventDeclaredVoltage, double)
POWERGPU_FORWARD_PLAIN_SETTING(VoltageDipThreshold, double)
POWERGPU_FORWARD_PLAIN_SETTING(VoltageSwellThreshold, double)
POWERGPU_FORWARD_PLAIN_SETTING(VoltageInterruptionThreshold, double)
POWERGPU_FORWARD_PLAIN_SETTING(VoltageEventHysteresis, double)
POWERGPU_FORWARD_PLAIN_SETTING(VoltageEventSlidingReferenceEnabled, bool)

std::vector<PowerVoltageEvent> PowerModule::getVoltageEvents(const std::size_t maxCount) {
    return use(impl_).period().takeVoltageEvents(maxCount);
}
std::size_t PowerModule::getVoltageEventsWaiting() const {
    return use(impl_).period().getVoltageEventsWaiting();
}
std::vector<PowerVoltageEvent> PowerModule::getVoltageEventsInProgress() const {
    return use(impl_).period().getVoltageEventsInProgress();
}

// ---- flicker
POWERGPU_FORWARD_REBUILDING_SETTING(IecHarmonicsEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(IecHarmonicsHighestOrder, int32_t)
POWERGPU_FORWARD_REBUILDING_SETTING(IecHarmonicsCurrentsEnabled, bool)

std::vector<PowerIecHarmonics> PowerModule::getIecHarmonics(const std::size_t maxCount) {
    return use(impl_).scheduler().takeIecHarmonics(maxCount);
}
std::size_t PowerModule::getIecHarmonicsWaiting() const {
    return use(impl_).scheduler().getIecHarmonicsWaiting();
}

POWERGPU_FORWARD_REBUILDING_SETTING(FlickerEnabled, bool)
POWERGPU_FORWARD_REBUILDING_SETTING(FlickerLamp, int32_t)
POWERGPU_FORWARD_REBUILDING_SETTING(FlickerSystemFrequency, double)
POWERGPU_FORWARD_REBUILDING_SETTING(FlickerIntervalStart, uint64_t)

uint8_t PowerModule::getFlickerChannelsCount() const {
    return use(impl_).period().getFlickerChannelsCount();
}
std::size_t PowerModule::getFlickerPinst(uint8_t channel, std::size_t capacity, PowerFlickerPinst* records) {
    return use(impl_).period().getFlickerPinst(channel, capacity, records);
}
std::size_t PowerModule::getFlickerPst(uint8_t channel, std::size_t capacity, PowerFlickerPst* records) {
    return use(impl_).period().getFlickerPst(channel, capacity, records);
}

// ---- the 10-s frequency
POWERGPU_FORWARD_PLAIN_SETTING(TenSecondFrequencyEnabled, bool)
POWERGPU_FORWARD_PLAIN_SETTING(ClockTimeAtSampleIndexZero, double)

std::vector<PowerTenSecondFrequency> PowerModule::getTenSecondFrequencies(const std::size_t maxCount) {
    return use(impl_).period().takeTenSecondFrequencies(maxCount);
}
std::size_t PowerModule::getTenSecondFrequenciesWaiting() const {
    return use(impl_).period().getTenSecondFrequenciesWaiting();
}

#undef POWERGPU_FORWARD_REBUILDING_SETTING
#undef POWERGPU_FORWARD_PLAIN_SETTING
