// The three locks of a module. Whoever takes more than one takes them in
// the order of declaration: settings before calculation before results;
// nothing takes them in another order.
//   settings     a rebuild (stored settings applied)
//   calculation  writing samples, scheduling a window, reset, a rebuild
//   results      the results queue: fetching, polling, queueing a window
#pragma once

#include <mutex>

namespace powergpu {

struct ModuleLocks {
    std::mutex settings;
    std::mutex calculation;
    std::mutex results;
};

}  // namespace powergpu
