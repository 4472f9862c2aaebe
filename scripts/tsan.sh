#!/usr/bin/env bash
# Runs the C++ tests of the parallel paths (worker-pool maps, concurrent
# fits, the network caches) under ThreadSanitizer, in its own build folder.
# Any race report fails the run. Extra arguments go to the test binary.
#
# The sanitizer only sees synchronisation in instrumented code, and the
# worker pool hands work between threads inside libtbb; against Debian's
# uninstrumented build every pool task reads as a race. So oneTBB is built
# from Debian's source, instrumented, once (build/tsan-tbb).
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"
root="$PWD/build/tsan-tbb"
jobs="${KELVARA_JOBS:-2}"

if [ ! -f "$root/prefix/lib/cmake/TBB/TBBConfig.cmake" ]; then
  command -v dpkg-source >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dpkg-dev
  # Debian's source index, kept private to this folder.
  mkdir -p "$root/lists/partial" "$root/src"
  printf 'deb-src http://deb.debian.org/debian bookworm main\n' >"$root/sources.list"
  apt=(-o "Dir::Etc::SourceList=$root/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o "Dir::State::Lists=$root/lists")
  # The same version as the installed headers, when they are Debian's.
  version="$(dpkg-query -W -f='${Version}' libtbb-dev 2>/dev/null || true)"
  if ! (apt-get "${apt[@]}" update -qq && cd "$root/src" && apt-get "${apt[@]}" source -qq "onetbb${version:+=$version}"); then
    echo "tsan.sh: could not fetch oneTBB's source; ThreadSanitizer cannot run here" >&2
    exit 0
  fi
  cmake -S "$(echo "$root"/src/onetbb-*/)" -B "$root/build" -G Ninja -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTBB_SANITIZE=thread -DTBB_TEST=OFF -DTBB_EXAMPLES=OFF \
    -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF -DCMAKE_INSTALL_PREFIX="$root/prefix" >/dev/null
  cmake --build "$root/build" -j "$jobs"
  cmake --install "$root/build" >/dev/null
fi

cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVARA_BUILD_TESTS=ON \
  -DTBB_DIR="$root/prefix/lib/cmake/TBB" -DCMAKE_CXX_FLAGS="-fsanitize=thread" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" >/dev/null
cmake --build build/tsan -j "$jobs" --target kelvara_core_tests
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" build/tsan/tests/cpp/kelvara_core_tests \
  --gtest_filter='Concurrency.*:ImpedanceSpectrum.*:PoolSize.*:LoadExternal.*:ModelGuesser*' "$@"
