#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds and runs a project
# that finds it with find_package, and one that uses pkg-config.
set -euo pipefail
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "${prefix}"' EXIT
cmake --install "${build_dir}" --prefix "${prefix}" >/dev/null
cmake -S "${source_dir}" -B "${prefix}/consumer-build" -DCMAKE_PREFIX_PATH="${prefix}" >/dev/null
cmake --build "${prefix}/consumer-build" >/dev/null
LD_LIBRARY_PATH="${prefix}/lib:${LD_LIBRARY_PATH:-}" "${prefix}/consumer-build/consumer"
libdir=$(ls -d "${prefix}"/lib*/pkgconfig | head -n 1)
cc "${source_dir}/consumer.c" -o "${prefix}/consumer-pc" $(PKG_CONFIG_PATH="${libdir}" pkg-config --cflags --libs powergpu)
LD_LIBRARY_PATH="$(dirname "${libdir}"):${LD_LIBRARY_PATH:-}" "${prefix}/consumer-pc"
