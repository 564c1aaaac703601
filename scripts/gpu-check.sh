#!/usr/bin/env bash
# Builds powergpu with its CUDA backend on a machine with an NVIDIA GPU and
# runs every check that needs the device:
#
#   versions    nvidia-smi, nvcc, cmake and the cuFFT the loader will find
#   build       configure (Release, CUDA architectures "native" where CMake
#               supports it, else 90) and build into build-gpu
#   device      the built library's own answer: is its CUDA backend usable,
#               and if not, why (device query, driver and runtime versions,
#               cuFFT files tried)
#   test-cuda   the ctest suite with POWERGPU_TEST_BACKEND=cuda: the CUDA
#               variants of the backend suites, the CUDA kernel, runtime and
#               CPU-versus-CUDA differential tests, and every test that does
#               not depend on a backend. A CUDA test that cannot run fails;
#               the step also fails unless every CUDA test the binary lists
#               ran, none was skipped and at least the build's minimum
#               passed (it prints the counts)
#   test-cpu    the ctest suite with POWERGPU_TEST_BACKEND=cpu
#   bench       every build-gpu/bin/*_bench, JSON results next to the logs
#   memcheck    compute-sanitizer memcheck on the CUDA tests that run the
#               module's streams, events and cuFFT (physics, concurrency,
#               differential) and on the kernel and runtime tests
#   racecheck   compute-sanitizer racecheck on the kernel tests and the
#               CUDA physics tests (the pipeline's own launch shapes)
#
# Each step logs to $OUT/<step>.log when OUT is set, else to
# ./gpu-check-logs/<step>.log. A failed step does not stop the others; the
# script ends with a one-screen summary and exits non-zero when any step
# failed or could not run in the time budget. Where there is no CUDA device
# it exits 1 at once with "no CUDA device" and the reason (nvidia-smi's, and
# the library's own when a build is at hand), checking nothing.
#
# Settings (environment):
#   BUILD_DIR          build folder (default: <repo>/build-gpu)
#   JOBS               build parallelism (default: 16)
#   CTEST_JOBS         test parallelism (default: 8)
#   GPU_CHECK_BUDGET   seconds for all steps together (default: 540)
#   MEMCHECK_FILTER    gtest filter of the memcheck run
#   RACECHECK_FILTER   gtest filter of the racecheck run
#   SANITIZER_WINDOWS  windows of the concurrency test under the sanitizers
#                      (default: 200; every launch is slow there)
#   GPU_CHECK_BUNDLE   1: pack the step logs and JSON files into one
#                      gpu-check.tar.gz at the end, beside summary.txt (for
#                      callers that can only take a few files back)

# The step functions run through "bash -c" under timeout, not directly.
# shellcheck disable=SC2317
set -u -o pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD_DIR:-$ROOT/build-gpu}"
if [[ -n "${OUT:-}" ]]; then
    LOGS="$OUT"
else
    LOGS="$PWD/gpu-check-logs"
fi
JOBS="${JOBS:-16}"
CTEST_JOBS="${CTEST_JOBS:-8}"
BUDGET="${GPU_CHECK_BUDGET:-540}"
# The CUDA tests under memcheck: the physics, concurrency and differential
# suites run the module's streams, events and cuFFT; the kernel and runtime
# tests every kernel and seam call. Left out: tests that provoke runtime
# errors on purpose (the sanitizer would report their API errors) and the
# 24 GiB ring of the 64-bit addressing test.
MEMCHECK_FILTER="${MEMCHECK_FILTER:-Backends/*/Cuda:*GeneralResultsDifferential.*:CudaKernelsDifferential.*:CudaRuntimeTest.*-*FailedLaunch*:*PlanOfLengthZero*:*BeyondTwoToThe30*}"
RACECHECK_FILTER="${RACECHECK_FILTER:-CudaKernelsDifferential.*:Backends/GeneralResultsPhysics.*/Cuda-*BeyondTwoToThe30*}"
SANITIZER_WINDOWS="${SANITIZER_WINDOWS:-200}"
TEST_BINARY="$BUILD/bin/powergpu_tests"
# Test names that contain "Cuda" are the tests that need a CUDA device.
CUDA_TESTS="*Cuda*"

mkdir -p "$LOGS" || {
    echo "gpu-check: cannot create the log folder $LOGS" >&2
    exit 1
}

# --- is there a GPU at all? -------------------------------------------------

# What the built library says of its CUDA backend: "usable", or its reason
# (the message of a failed powerModule_createOnBackend, read with a null
# handle). Exit status 0 when usable.
cuda_backend_answer() {
    local library=$1
    if ! command -v python3 >/dev/null 2>&1; then
        echo "python3 not found: cannot ask $library"
        return 2
    fi
    python3 - "$library" <<'PYTHON'
import ctypes
import sys

lib = ctypes.CDLL(sys.argv[1])
lib.powerModule_createOnBackend.restype = ctypes.c_void_p
lib.powerModule_createOnBackend.argtypes = [ctypes.c_int32]
lib.powerModule_destroy.argtypes = [ctypes.c_void_p]
lib.getLastErrorMessage.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int32,
                                    ctypes.POINTER(ctypes.c_int32)]
handle = lib.powerModule_createOnBackend(2)
if handle:
    lib.powerModule_destroy(handle)
    print("usable")
    sys.exit(0)
text = ctypes.create_string_buffer(4096)
length = ctypes.c_int32(0)
lib.getLastErrorMessage(None, text, len(text), ctypes.byref(length))
print(text.value.decode("utf-8", "replace") or "no reason given")
sys.exit(1)
PYTHON
}

no_cuda_device() {
    echo "gpu-check: no CUDA device: $1; nothing was checked." >&2
    local library
    for library in "$BUILD/lib/libpowergpu.so" "$ROOT/build/lib/libpowergpu.so"; do
        if [[ -f "$library" ]]; then
            echo "gpu-check: the library $library says: $(cuda_backend_answer "$library")" >&2
            break
        fi
    done
    exit 1
}

if ! command -v nvidia-smi >/dev/null 2>&1; then
    no_cuda_device "nvidia-smi not found, so no NVIDIA driver is installed on this machine"
fi
if ! nvidia-smi -L 2>/dev/null | grep -q '^GPU '; then
    no_cuda_device "nvidia-smi lists no GPU ($(nvidia-smi -L 2>&1 | head -n 1))"
fi

# nvcc may be installed without being on PATH.
NVCC="$(command -v nvcc 2>/dev/null || true)"
if [[ -z "$NVCC" ]]; then
    for candidate in "${CUDA_HOME:-}/bin/nvcc" "${CUDA_PATH:-}/bin/nvcc" /usr/local/cuda/bin/nvcc; do
        if [[ -x "$candidate" ]]; then
            NVCC="$candidate"
            break
        fi
    done
fi
SANITIZER="$(command -v compute-sanitizer 2>/dev/null || true)"
if [[ -z "$SANITIZER" && -n "$NVCC" && -x "$(dirname "$NVCC")/compute-sanitizer" ]]; then
    SANITIZER="$(dirname "$NVCC")/compute-sanitizer"
fi

export ROOT BUILD LOGS JOBS CTEST_JOBS MEMCHECK_FILTER RACECHECK_FILTER SANITIZER_WINDOWS TEST_BINARY CUDA_TESTS \
    NVCC SANITIZER

# --- steps ------------------------------------------------------------------
# Each runs in its own bash under a time limit, output to its log. Exit
# status 0: passed; 77: skipped; any other: failed. The last "NOTE:" line
# of a log goes into the summary.

step_versions() {
    local rc=0
    echo "--- nvidia-smi"
    nvidia-smi || rc=1
    nvidia-smi --query-gpu=name,driver_version,memory.total,compute_cap --format=csv 2>/dev/null ||
        nvidia-smi --query-gpu=name,driver_version,memory.total --format=csv || true
    echo "--- nvcc"
    if [[ -n "$NVCC" ]]; then
        "$NVCC" --version || rc=1
    else
        echo "nvcc not found (PATH, CUDA_HOME, CUDA_PATH, /usr/local/cuda)"
        rc=1
    fi
    echo "--- cmake"
    cmake --version || rc=1
    echo "--- cuFFT libraries the loader can find"
    ldconfig -p 2>/dev/null | grep -i 'libcufft\.so' || echo "(none in the loader cache)"
    echo "--- compute-sanitizer"
    if [[ -n "$SANITIZER" ]]; then "$SANITIZER" --version; else echo "not found"; fi
    return "$rc"
}

cmake_supports_native() {
    # CMAKE_CUDA_ARCHITECTURES=native needs CMake 3.24.
    local version major minor
    version="$(cmake --version | head -n 1 | sed -E 's/[^0-9]*([0-9]+)\.([0-9]+).*/\1 \2/')"
    read -r major minor <<<"$version"
    [[ -n "${major:-}" && -n "${minor:-}" ]] || return 1
    ((major > 3 || (major == 3 && minor >= 24)))
}

step_build() {
    local arch=90
    if cmake_supports_native; then arch=native; fi
    local args=(-S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DPOWERGPU_CUDA=ON)
    if [[ -n "$NVCC" ]]; then args+=(-DCMAKE_CUDA_COMPILER="$NVCC"); fi
    local output rc
    echo "--- configure (CUDA architectures: $arch)"
    output="$(cmake "${args[@]}" -DCMAKE_CUDA_ARCHITECTURES="$arch" 2>&1)"
    rc=$?
    echo "$output"
    if [[ $rc -ne 0 && "$arch" == native ]]; then
        echo "--- configure with 'native' failed; again with architecture 90"
        output="$(cmake "${args[@]}" -DCMAKE_CUDA_ARCHITECTURES=90 2>&1)"
        rc=$?
        echo "$output"
    fi
    [[ $rc -eq 0 ]] || return 1
    if ! grep -q 'powergpu: CUDA backend ON' <<<"$output"; then
        echo "CMake did not enable the CUDA backend (no CUDA toolkit found?)"
        return 1
    fi
    echo "--- build"
    cmake --build "$BUILD" -j "$JOBS" || return 1
    if [[ ! -x "$TEST_BINARY" ]]; then
        echo "the build produced no $TEST_BINARY"
        return 1
    fi
}

require_build() {
    if [[ ! -f "$BUILD/CTestTestfile.cmake" || ! -x "$TEST_BINARY" ]]; then
        echo "no usable build in $BUILD (did the build step fail?)"
        return 1
    fi
}

step_device() {
    require_build || return 1
    local answer
    answer="$(cuda_backend_answer "$BUILD/lib/libpowergpu.so")"
    local rc=$?
    echo "CUDA backend of $BUILD/lib/libpowergpu.so: $answer"
    echo "NOTE: $answer"
    return "$rc"
}

# Counts, in a ctest log, the CUDA tests whose result matches the pattern.
count_cuda_results() {
    grep -cE "Test +#[0-9]+: [^ ]*Cuda[^ ]* .*$1" "$2"
}

step_test_cuda() {
    require_build || return 1
    local log
    log="$(mktemp)"
    POWERGPU_TEST_BACKEND=cuda ctest --test-dir "$BUILD" --output-on-failure --no-tests=error -j "$CTEST_JOBS" |
        tee "$log"
    local rc=${PIPESTATUS[0]}
    local listed passed failed skipped minimum
    listed="$("$TEST_BINARY" --gtest_list_tests --gtest_filter="$CUDA_TESTS" | grep -c '^  ')"
    passed="$(count_cuda_results ' Passed ' "$log")"
    failed="$(count_cuda_results '\*\*\*(Failed|Timeout|Exception)' "$log")"
    skipped="$(count_cuda_results '(\*\*\*Skipped|Not Run)' "$log")"
    minimum="$(sed -n 's/^POWERGPU_MINIMUM_CUDA_TESTS:INTERNAL=//p' "$BUILD/CMakeCache.txt")"
    minimum="${minimum:-30}"
    rm -f "$log"
    echo "NOTE: CUDA tests: $passed passed, $failed failed, $skipped skipped of $listed listed (at least $minimum must pass)"
    if ((passed + failed < listed || skipped > 0 || passed < minimum)); then
        echo "the CUDA tests did not all run and pass: $passed passed of $listed listed, at least $minimum required"
        return 1
    fi
    return "$rc"
}

step_test_cpu() {
    require_build || return 1
    POWERGPU_TEST_BACKEND=cpu ctest --test-dir "$BUILD" --output-on-failure --no-tests=error -j "$CTEST_JOBS"
}

# compute-sanitizer <tool> over the gtest filter; the sanitizer's own error
# count decides, and a filter that selects no test is a failure (it would
# check nothing).
sanitize() {
    local tool=$1 filter=$2
    shift 2
    require_build || return 1
    if [[ -z "$SANITIZER" ]]; then
        echo "NOTE: compute-sanitizer not found; $tool not run"
        return 77
    fi
    local count
    count="$("$TEST_BINARY" --gtest_list_tests --gtest_filter="$filter" | grep -c '^  ')"
    echo "--- $tool over $count tests: $filter"
    echo "NOTE: $count tests"
    if [[ "$count" -eq 0 ]]; then
        echo "the filter selects no test"
        return 1
    fi
    # POWERGPU_TEST_BACKEND=cuda: a CUDA test that cannot run fails, so the
    # sanitizer cannot pass over skipped tests.
    POWERGPU_TEST_BACKEND=cuda POWERGPU_TEST_CONCURRENCY_WINDOWS="$SANITIZER_WINDOWS" \
        "$SANITIZER" --tool "$tool" --error-exitcode 86 "$@" "$TEST_BINARY" --gtest_filter="$filter"
}

step_memcheck() { sanitize memcheck "$MEMCHECK_FILTER" --leak-check no; }

step_racecheck() { sanitize racecheck "$RACECHECK_FILTER"; }

step_bench() {
    local benches=() bench name rc=0
    require_build || return 1
    for bench in "$BUILD"/bin/*_bench; do
        [[ -x "$bench" ]] && benches+=("$bench")
    done
    if [[ ${#benches[@]} -eq 0 ]]; then
        echo "NOTE: no benchmarks built (Google Benchmark missing?)"
        return 77
    fi
    for bench in "${benches[@]}"; do
        name="$(basename "$bench")"
        echo "--- $name"
        "$bench" --benchmark_min_time=0.2 --benchmark_out="$LOGS/$name.json" --benchmark_out_format=json || {
            echo "$name failed"
            rc=1
        }
    done
    return "$rc"
}

export -f cuda_backend_answer step_versions cmake_supports_native step_build require_build step_device \
    count_cuda_results step_test_cuda step_test_cpu sanitize step_memcheck step_racecheck step_bench

# --- driver -----------------------------------------------------------------

DEADLINE=$((SECONDS + BUDGET))
NAMES=()
RESULTS=()
TIMES=()
NOTES=()
FAILED=0

record() {
    NAMES+=("$1")
    RESULTS+=("$2")
    TIMES+=("$3")
    NOTES+=("$4")
    case "$2" in
    PASS | SKIP) ;;
    *) FAILED=1 ;;
    esac
}

# run_step <name> <limit in seconds> <function>
run_step() {
    local name=$1 limit=$2 function=$3
    local log="$LOGS/$name.log"
    local remaining=$((DEADLINE - SECONDS))
    if ((remaining < 15)); then
        echo "==> $name: not run, the budget of ${BUDGET}s is spent"
        record "$name" "NOT RUN" 0 "budget of ${BUDGET}s spent"
        return
    fi
    ((limit > remaining)) && limit=$remaining
    echo "==> $name (at most ${limit}s; log: $log)"
    local start=$SECONDS
    timeout --kill-after=15 "$limit" bash -c "set -u -o pipefail; $function" >"$log" 2>&1
    local rc=$?
    local took=$((SECONDS - start))
    local note
    note="$(grep '^NOTE:' "$log" | tail -n 1 | sed 's/^NOTE: *//')"
    case $rc in
    0) record "$name" PASS "$took" "$note" ;;
    77) record "$name" SKIP "$took" "$note" ;;
    124 | 137) record "$name" TIMEOUT "$took" "stopped after ${limit}s${note:+; $note}" ;;
    *) record "$name" FAIL "$took" "exit status $rc${note:+; $note}" ;;
    esac
    if [[ $rc -ne 0 && $rc -ne 77 ]]; then
        echo "---- last lines of $log"
        tail -n 40 "$log" | sed 's/^/    /'
    fi
}

echo "gpu-check: repository $ROOT, build $BUILD, logs $LOGS, budget ${BUDGET}s"
run_step versions 30 step_versions
run_step build 300 step_build
run_step device 20 step_device
run_step test-cuda 150 step_test_cuda
run_step test-cpu 90 step_test_cpu
run_step bench 90 step_bench
run_step memcheck 200 step_memcheck
run_step racecheck 150 step_racecheck

SUMMARY="$(
    echo "gpu-check summary ($(nvidia-smi --query-gpu=name --format=csv,noheader 2>/dev/null | head -n 1))"
    printf '  %-13s %-8s %6s  %s\n' step result seconds note
    for i in "${!NAMES[@]}"; do
        printf '  %-13s %-8s %6s  %s\n' "${NAMES[$i]}" "${RESULTS[$i]}" "${TIMES[$i]}" "${NOTES[$i]}"
    done
    if [[ $FAILED -eq 0 ]]; then echo "  all steps passed or were skipped"; else echo "  FAILED: see the logs in $LOGS"; fi
)"
echo
echo "$SUMMARY"
echo "$SUMMARY" >"$LOGS/summary.txt"

if [[ "${GPU_CHECK_BUNDLE:-0}" == 1 ]]; then
    (
        cd "$LOGS" &&
            files=(*.log *.json) &&
            tar -czf gpu-check.tar.gz --ignore-failed-read "${files[@]}" 2>/dev/null &&
            rm -f -- "${files[@]}"
    ) || echo "gpu-check: could not bundle the logs; they stay in $LOGS"
fi

exit $FAILED
