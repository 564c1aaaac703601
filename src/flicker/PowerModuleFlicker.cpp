// The facade's flicker methods: each forwards to the implementation.
#include "module/PowerModuleImpl.h"
#include "powergpu.hpp"

namespace {

PowerModule::PowerModuleImpl& use(PowerModule::PowerModuleImpl* impl) {
    if (impl == nullptr) {
        throw PowerInvalidCall("this module was moved from and holds no implementation");
    }
    return *impl;
}

}  // namespace

void PowerModule::setFlickerEnabled(bool enabled) {
    use(impl_).setFlickerEnabled(enabled);
}
bool PowerModule::getFlickerEnabled() const {
    return use(impl_).getFlickerEnabled();
}
void PowerModule::setFlickerLamp(int32_t lamp) {
    use(impl_).setFlickerLamp(lamp);
}
int32_t PowerModule::getFlickerLamp() const {
    return use(impl_).getFlickerLamp();
}
void PowerModule::setFlickerSystemFrequency(double frequency) {
    use(impl_).setFlickerSystemFrequency(frequency);
}
double PowerModule::getFlickerSystemFrequency() const {
    return use(impl_).getFlickerSystemFrequency();
}
void PowerModule::setFlickerIntervalStart(uint64_t firstSampleIndex) {
    use(impl_).setFlickerIntervalStart(firstSampleIndex);
}
uint64_t PowerModule::getFlickerIntervalStart() const {
    return use(impl_).getFlickerIntervalStart();
}
uint8_t PowerModule::getFlickerChannelsCount() const {
    return use(impl_).getFlickerChannelsCount();
}
std::size_t PowerModule::getFlickerPinst(uint8_t channel, std::size_t capacity, PowerFlickerPinst* records) {
    return use(impl_).getFlickerPinst(channel, capacity, records);
}
std::size_t PowerModule::getFlickerPst(uint8_t channel, std::size_t capacity, PowerFlickerPst* records) {
    return use(impl_).getFlickerPst(channel, capacity, records);
}
