// Launchers of the CUDA kernels, one per entry of POWERGPU_KERNELS: each
// enqueues its kernel with the given execution configuration on the given
// stream. Launch errors surface through the runtime's takeLastLaunchError,
// as after any kernel launch.
#pragma once

#include "kernels/KernelArgs.h"
#include "runtime/Runtime.h"

namespace powergpu::cuda {

#define POWERGPU_DECLARE_LAUNCHER(Name) void launch##Name(const Launch& launch, const Name##Args& args);
POWERGPU_KERNELS(POWERGPU_DECLARE_LAUNCHER)
#undef POWERGPU_DECLARE_LAUNCHER

}  // namespace powergpu::cuda
