#!/usr/bin/env bash
# Sets up a fresh machine and builds the library: system packages the build
# needs, the CMake build (with the CUDA backend when a toolkit is found),
# and the Python environment with the package installed.
#
#   scripts/setup.sh            # build into build/
#   BUILD_DIR=... scripts/setup.sh
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-$(nproc)}

need_packages=()
command -v cmake >/dev/null || need_packages+=(cmake)
command -v g++ >/dev/null || need_packages+=(g++)
command -v pkg-config >/dev/null || need_packages+=(pkg-config)
pkg-config --exists fftw3f 2>/dev/null || need_packages+=(libfftw3-dev)
[ -f /usr/include/gtest/gtest.h ] || need_packages+=(libgtest-dev)
[ -f /usr/include/benchmark/benchmark.h ] || need_packages+=(libbenchmark-dev)
if [ ${#need_packages[@]} -gt 0 ]; then
  echo "== installing system packages: ${need_packages[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need_packages[@]}" >/dev/null
fi

cuda_args=()
if command -v nvcc >/dev/null; then
  cuda_args+=(-DCMAKE_CUDA_ARCHITECTURES="${CUDA_ARCHITECTURES:-80;90}")
else
  cuda_args+=(-DPOWERGPU_CUDA=OFF)
fi

echo "== configuring and building in ${BUILD_DIR}"
cmake -S . -B "${BUILD_DIR}" -DCMAKE_BUILD_TYPE=Release "${cuda_args[@]}" >/dev/null
cmake --build "${BUILD_DIR}" -j "${JOBS}"

if [ -f python/pyproject.toml ]; then
  echo "== Python package in .venv (builds and bundles libpowergpu.so)"
  if ! python3 -c 'import venv, ensurepip' 2>/dev/null; then
    SUDO=""
    [ "$(id -u)" -ne 0 ] && SUDO=sudo
    $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq python3-venv >/dev/null
  fi
  [ -x .venv/bin/python ] || python3 -m venv .venv
  .venv/bin/python -m pip install -q --upgrade pip
  # Without build isolation the wheel's CMake build folder (build-wheel/)
  # stays valid between runs, so a second set-up rebuilds nothing.
  .venv/bin/python -m pip install -q "scikit-build-core>=0.10"
  cuda_define=()
  command -v nvcc >/dev/null && cuda_define+=(--config-settings=cmake.define.CMAKE_CUDA_ARCHITECTURES="${CUDA_ARCHITECTURES:-80;90}")
  command -v nvcc >/dev/null || cuda_define+=(--config-settings=cmake.define.POWERGPU_CUDA=OFF)
  .venv/bin/python -m pip install -q --no-build-isolation "${cuda_define[@]}" ./python
fi
echo "== setup done"
