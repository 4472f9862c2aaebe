#!/usr/bin/env bash
# Runs the whole test suite (C++ and Python) against a build instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer, in its own build folder.
# Any report fails the run. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || scripts/setup.sh
.venv/bin/python -m pip install -q --group test

export PATH="$PWD/.venv/bin:$PATH"
# float-cast-overflow is real undefined behaviour that g++ leaves out of
# "undefined"; float division by zero is IEEE behaviour the formulas rely on.
flags="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVARA_BUILD_TESTS=ON \
  -DKELVARA_BUILD_MODULE=ON -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build/sanitize -j "${KELVARA_JOBS:-2}"

# Reports go to files as well: pytest captures the output of a test that aborts.
reports=build/sanitize/reports
rm -rf "$reports" && mkdir -p "$reports"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$PWD/$reports/ubsan"
show_reports() {
  cat "$reports"/* 2>/dev/null || true
  exit 1
}
# Forking a process whose other threads are inside the sanitizer's runtime can leave the
# child waiting on a runtime lock the parent held; under this build the forked child of the
# pool's fork test hung, while it passes in the plain build of scripts/test.sh, which runs it.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" ctest --test-dir build/sanitize --output-on-failure -E PoolFork || show_reports

# The interpreter itself is not instrumented: the runtime must come first,
# and CPython's arena allocations would drown real leaks in noise.
# The tests that spawn worker processes (a process pool, a Dask cluster) are left out: each
# child starts a fresh interpreter under the preloaded runtime, which multiplies their time
# many-fold, and the fits they run are the ones the serial tests already cover here.
spawning=(
  --deselect tests/test_fork.py
  --deselect tests/lab/test_batch.py::test_a_lost_task_fails_its_rows_not_the_batch
  --deselect tests/lab/test_batch.py::test_a_process_pool_gives_the_serial_numbers
  --deselect tests/lab/test_batch.py::test_dask_local_cluster_with_two_worker_processes
)
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$PWD/$reports/asan" PYTHONPATH=build/sanitize \
  .venv/bin/python -m pytest -q -p no:cacheprovider "${spawning[@]}" "$@" || show_reports
