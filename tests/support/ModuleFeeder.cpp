#include "support/ModuleFeeder.h"

#include <algorithm>

#include "module/PowerConfig.h"
#include "module/PowerModuleImpl.h"

namespace powergpu::test {

void ModuleFeeder::write(uint32_t count) {
    const PowerModule::PowerModuleImpl& impl = *module_.implementation();
    const PowerConfig& config = impl.getConfig();
    const PowerGridConfig grid = config.getGridConfig();
    const uint64_t ring = module_.getBufferLength();
    const double rate = module_.getSampleRate();
    const auto fill = [&](float* base, char kind, int channel) {
        for (uint32_t k = 0; k < count; ++k) {
            const uint64_t index = written_ + k;
            base[index % ring] = static_cast<float>(signal_(kind, channel, static_cast<double>(index) / rate));
        }
    };
    for (int c = 0; c < grid.voltagesCount; ++c) {
        fill(module_.getWaveformBufferUInput(static_cast<uint8_t>(c)), 'U', c);
    }
    if (config.currentEnabled) {
        for (int c = 0; c < grid.currentsCount; ++c) {
            fill(module_.getWaveformBufferI(static_cast<uint8_t>(c)), 'I', c);
        }
    }
    if (config.mechanicalAngleUsed && module_.getWaveformBufferMechAngles() != nullptr) {
        fill(module_.getWaveformBufferMechAngles(), 'A', 0);
    }
    module_.writeSamples(count);
    written_ += count;
}

void ModuleFeeder::writeAll(uint64_t total, uint32_t block) {
    while (total > 0) {
        const auto count = static_cast<uint32_t>(std::min<uint64_t>(total, block));
        write(count);
        total -= count;
    }
}

}  // namespace powergpu::test
