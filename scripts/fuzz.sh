#!/usr/bin/env bash
# Builds the fuzzers (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, CPU backend) and runs them for a bounded time:
# the module's flat interface from the committed seed corpus, then the cycle
# detector's flat functions. Any crash, sanitizer report, hang or broken
# invariant stops the run with a non-zero status and leaves the input in
# build-fuzz/artifacts/.
#
#   scripts/fuzz.sh                          # 120 s of the module, 60 s of the detector
#   FUZZ_SECONDS=3600 scripts/fuzz.sh        # longer (the detector gets half of it)
#   FUZZ_JOBS=16 FUZZ_SECONDS=3600 scripts/fuzz.sh   # 16 processes in parallel
#   scripts/fuzz.sh build-fuzz/artifacts/crash-...   # replay inputs, printing the calls as C
#   FUZZ_TARGET=cycle_detector scripts/fuzz.sh build-fuzz/artifacts/crash-...   # a detector input
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
FUZZ_SECONDS=${FUZZ_SECONDS:-120}
DETECTOR_SECONDS=${DETECTOR_FUZZ_SECONDS:-$((FUZZ_SECONDS / 2))}
FUZZ_JOBS=${FUZZ_JOBS:-1}
JOBS=${JOBS:-$(nproc)}

if ! command -v clang++ >/dev/null || ! command -v clang >/dev/null; then
  echo "fuzz.sh: clang and clang++ are needed (libFuzzer comes with clang)" >&2
  exit 2
fi

echo "== building the fuzzers in ${BUILD_DIR}"
CC=clang CXX=clang++ cmake -S . -B "${BUILD_DIR}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOWERGPU_CUDA=OFF \
  -DPOWERGPU_FUZZ=ON -DPOWERGPU_BUILD_TESTS=OFF -DPOWERGPU_BUILD_BENCHMARKS=OFF \
  -DPOWERGPU_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "${BUILD_DIR}" -j "${JOBS}" --target powergpu_flat_fuzzer powergpu_cycle_detector_fuzzer

# Allocations above 256 MiB fail as if memory ran out, so that huge settings
# exercise the library's failure paths instead of the machine's memory;
# shorter allocation stacks keep the allocator's bookkeeping cheap.
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:max_allocation_size_mb=256:detect_leaks=1:malloc_context_size=8:quarantine_size_mb=16}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

if [ $# -gt 0 ]; then
  POWERGPU_FUZZ_TRACE=1 exec "${BUILD_DIR}/bin/powergpu_${FUZZ_TARGET:-flat}_fuzzer" "$@"
fi

# fuzz NAME SECONDS [committed corpus and options...]: new inputs go to
# BUILD_DIR/corpus-NAME; the committed seeds stay as they are.
fuzz() {
  local name=$1 seconds=$2
  shift 2
  local corpus="${BUILD_DIR}/corpus-${name}" log="${BUILD_DIR}/fuzz-${name}.log"
  mkdir -p "${corpus}" "${BUILD_DIR}/artifacts"
  echo "== fuzzing ${name} for ${seconds} s"
  local status=0 parallel=()
  [ "${FUZZ_JOBS}" -gt 1 ] && parallel+=(-fork="${FUZZ_JOBS}")
  "${BUILD_DIR}/bin/powergpu_${name}_fuzzer" "${corpus}" "$@" "${parallel[@]}" \
    -max_total_time="${seconds}" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="${BUILD_DIR}/artifacts/" 2>"${log}" || status=$?
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec)|^Done|^#[0-9]+: cov' "${log}" | tail -n 3 || true
  if [ "${status}" -ne 0 ]; then
    tail -n 60 "${log}"
    echo "fuzz.sh: finding (status ${status}); replay it with: FUZZ_TARGET=${name} scripts/fuzz.sh ${BUILD_DIR}/artifacts/<file>" >&2
    exit "${status}"
  fi
}

# the module's corpus folder of earlier runs keeps its name
[ -d "${BUILD_DIR}/corpus" ] && [ ! -e "${BUILD_DIR}/corpus-flat" ] && mv "${BUILD_DIR}/corpus" "${BUILD_DIR}/corpus-flat"
fuzz flat "${FUZZ_SECONDS}" tests/fuzz/corpus -dict=tests/fuzz/flat_calls.dict
fuzz cycle_detector "${DETECTOR_SECONDS}" tests/fuzz/cycle_detector_corpus
echo "== no finding"
