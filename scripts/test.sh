#!/usr/bin/env bash
# Sets everything up, then runs the test suite: the C++ unit tests
# (GoogleTest through CTest) and the Python tests (pytest). The linters
# (scripts/lint.sh), the fuzzers and the sanitizers run in CI (.ci/run).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python -m pip install -q --group test

export PATH="$PWD/.venv/bin:$PATH"
cmake -S . -B build/cpp-tests -G Ninja -DKELVARA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cpp-tests
ctest --test-dir build/cpp-tests --output-on-failure
.venv/bin/python -m pytest "$@"
