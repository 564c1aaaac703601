// The implementation behind PowerModule: it owns the runtime and three
// parts, and wires them together.
//   settings/   ModuleSettings   stored and applied settings, buffers, FFT plans
//   pipeline/   WindowScheduler  sample copies, windows, results queue, records
//   period/     PeriodEngine     cycles, period values, RVC, voltage events,
//                                the 10-s frequency, the flickermeters
// What crosses the parts happens here: a rebuild (settings applied, detectors
// configured, queued work dropped and restarted), a reset, and writing
// samples (copied by the scheduler, fed to the flickermeters).
//
// Locks (module/ModuleLocks.h): settings before calculation before results;
// nothing takes them in another order.
#pragma once

#include <cstdint>
#include <memory>

#include "module/ModuleLocks.h"
#include "period/PeriodEngine.h"
#include "pipeline/WindowScheduler.h"
#include "powergpu.hpp"
#include "runtime/Runtime.h"
#include "settings/ModuleSettings.h"

// Hidden: nested in the exported PowerModule, it would otherwise be exported too.
class __attribute__((visibility("hidden"))) PowerModule::PowerModuleImpl {
public:
    // The runtime is shared so that tools and tests may outlive the module with it.
    explicit PowerModuleImpl(std::shared_ptr<powergpu::Runtime> runtime);
    PowerModuleImpl(const PowerModuleImpl&) = delete;
    PowerModuleImpl& operator=(const PowerModuleImpl&) = delete;
    ~PowerModuleImpl();

    powergpu::Runtime& runtime() const { return *runtime_; }

    // A module around a given runtime, for the library's own tests (a test
    // runtime wrapping a backend's): not part of the exported interface.
    static PowerModule moduleAround(std::shared_ptr<powergpu::Runtime> runtime);

    // ---- the parts
    powergpu::ModuleSettings& settings() { return settings_; }
    const powergpu::ModuleSettings& settings() const { return settings_; }
    powergpu::WindowScheduler& scheduler() { return scheduler_; }
    const powergpu::WindowScheduler& scheduler() const { return scheduler_; }
    powergpu::PeriodEngine& period() { return period_; }
    const powergpu::PeriodEngine& period() const { return period_; }

    // ---- settings and rebuild
    // Stores a rebuilding setting with `store(settings())` and rebuilds
    // unless an update bracket is open.
    template <typename Store>
    void change(Store store) {
        store(settings_);
        lazyInitialize();
    }
    void beginUpdate() { settings_.beginUpdate(); }
    void endUpdate();

    // ---- samples, windows, period values
    void writeSamples(uint32_t count);
    void reset(uint64_t firstSampleIndex);
    void syncCuda();
    void scheduleForPeriodCalculation(int count, const uint64_t* starts, const int* lengths, const double* frequencies,
                                      const bool* valid);
    void getPeriodResults(int* count, bool* more, PowerResultsPeriod** records);

private:
    void lazyInitialize();
    // Applies the stored settings and brings the scheduler and the period
    // engine in line (the settings lock is held).
    void initialize();
    // After a rebuild that replaced buffers: drops the windows and period
    // values that refer to them and starts the chains again at the next
    // sample to write (when the module had been reset).
    void restartAfterRebuild(bool ringsReplaced);
    void dropPendingWork();

    std::shared_ptr<powergpu::Runtime> runtime_;
    powergpu::ModuleLocks locks_;
    powergpu::ModuleSettings settings_;
    powergpu::WindowScheduler scheduler_;
    powergpu::PeriodEngine period_;
    // Whether reset has ever been called: a rebuild then re-creates the
    // pending window so that writing and scheduling go on.
    bool resetDone = false;
};
