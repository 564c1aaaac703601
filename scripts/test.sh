#!/usr/bin/env bash
# Sets up the machine and runs every test: the C++ and C test suites on the
# CPU backend (CUDA tests skip without a device), the suite again under
# AddressSanitizer + UndefinedBehaviorSanitizer, the concurrency tests under
# ThreadSanitizer, the Python package's tests, and a bounded fuzzing run of
# the flat interface (scripts/fuzz.sh, when clang is installed).
#
#   scripts/test.sh               # everything
#   QUICK=1 scripts/test.sh       # without the sanitizer builds and fuzzing
#   FUZZ_SECONDS=600 scripts/test.sh   # a longer fuzzing run
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
export POWERGPU_TEST_BACKEND=${POWERGPU_TEST_BACKEND:-}

./scripts/setup.sh

echo "== tests (Release build)"
ctest --test-dir build --output-on-failure -j "${JOBS}"

if [ -x .venv/bin/python ] && [ -d python/tests ]; then
  echo "== Python tests"
  ./scripts/setup-test-deps.sh
  .venv/bin/python -m pip install -q -r python/requirements-test.txt
  .venv/bin/python -m pytest -q python/tests
fi

if [ "${QUICK:-0}" != "1" ]; then
  echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOWERGPU_CUDA=OFF \
        -DPOWERGPU_SANITIZE="address;undefined" -DPOWERGPU_BUILD_BENCHMARKS=OFF >/dev/null
  cmake --build build-asan -j "${JOBS}"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j "${JOBS}"

  echo "== concurrency tests under ThreadSanitizer"
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPOWERGPU_CUDA=OFF \
        -DPOWERGPU_SANITIZE=thread -DPOWERGPU_BUILD_BENCHMARKS=OFF -DPOWERGPU_BUILD_EXAMPLES=OFF >/dev/null
  cmake --build build-tsan -j "${JOBS}" --target powergpu_tests
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ./build-tsan/bin/powergpu_tests --gtest_filter='*Concurren*:*Thread*'

  echo "== hostile call sequences through the flat interface (libFuzzer)"
  if command -v clang++ >/dev/null && command -v clang >/dev/null; then
    FUZZ_SECONDS=${FUZZ_SECONDS:-120} ./scripts/fuzz.sh
  else
    echo "skipped: clang is not installed (libFuzzer comes with it)"
  fi
else
  echo "== sanitizer builds and fuzzing skipped (QUICK=1)"
fi

echo "== all tests passed"
