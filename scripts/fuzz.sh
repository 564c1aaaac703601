#!/usr/bin/env bash
# Builds the flat-interface fuzzer (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, CPU backend) and runs it for a bounded time
# from the committed seed corpus. Any crash, sanitizer report, hang or broken
# invariant stops the run with a non-zero status and leaves the input in
# build-fuzz/artifacts/.
#
#   scripts/fuzz.sh                          # 120 seconds
#   FUZZ_SECONDS=3600 scripts/fuzz.sh        # longer
#   FUZZ_JOBS=16 FUZZ_SECONDS=3600 scripts/fuzz.sh   # 16 processes in parallel
#   scripts/fuzz.sh build-fuzz/artifacts/crash-...   # replay inputs, printing the calls as C
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${FUZZ_BUILD_DIR:-build-fuzz}
FUZZ_SECONDS=${FUZZ_SECONDS:-120}
FUZZ_JOBS=${FUZZ_JOBS:-1}
JOBS=${JOBS:-$(nproc)}

if ! command -v clang++ >/dev/null || ! command -v clang >/dev/null; then
  echo "fuzz.sh: clang and clang++ are needed (libFuzzer comes with clang)" >&2
  exit 2
fi

echo "== building the fuzzer in ${BUILD_DIR}"
CC=clang CXX=clang++ cmake -S . -B "${BUILD_DIR}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOWERGPU_CUDA=OFF \
  -DPOWERGPU_FUZZ=ON -DPOWERGPU_BUILD_TESTS=OFF -DPOWERGPU_BUILD_BENCHMARKS=OFF \
  -DPOWERGPU_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "${BUILD_DIR}" -j "${JOBS}" --target powergpu_flat_fuzzer

# Allocations above 256 MiB fail as if memory ran out, so that huge settings
# exercise the library's failure paths instead of the machine's memory;
# shorter allocation stacks keep the allocator's bookkeeping cheap.
export ASAN_OPTIONS=${ASAN_OPTIONS:-allocator_may_return_null=1:max_allocation_size_mb=256:detect_leaks=1:malloc_context_size=8:quarantine_size_mb=16}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
fuzzer="${BUILD_DIR}/bin/powergpu_flat_fuzzer"

if [ $# -gt 0 ]; then
  POWERGPU_FUZZ_TRACE=1 exec "${fuzzer}" "$@"
fi

# New inputs go to the first folder; the committed seeds stay as they are.
mkdir -p "${BUILD_DIR}/corpus" "${BUILD_DIR}/artifacts"
echo "== fuzzing for ${FUZZ_SECONDS} s"
status=0
parallel=()
[ "${FUZZ_JOBS}" -gt 1 ] && parallel+=(-fork="${FUZZ_JOBS}")
"${fuzzer}" "${BUILD_DIR}/corpus" tests/fuzz/corpus -dict=tests/fuzz/flat_calls.dict "${parallel[@]}" \
  -max_total_time="${FUZZ_SECONDS}" -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="${BUILD_DIR}/artifacts/" 2>"${BUILD_DIR}/fuzz.log" || status=$?
grep -E '^stat::(number_of_executed_units|average_exec_per_sec)|^Done|^#[0-9]+: cov' "${BUILD_DIR}/fuzz.log" | tail -n 3 || true
if [ "${status}" -ne 0 ]; then
  tail -n 60 "${BUILD_DIR}/fuzz.log"
  echo "fuzz.sh: finding (status ${status}); replay it with: scripts/fuzz.sh ${BUILD_DIR}/artifacts/<file>" >&2
  exit "${status}"
fi
echo "== no finding"
