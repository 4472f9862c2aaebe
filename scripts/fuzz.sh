#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each from its seeds.
#   scripts/fuzz.sh                 a fixed, short run of each (the test command's)
#   FUZZ_RUNS=2000000 scripts/fuzz.sh     longer runs by hand
#   FUZZ_SECONDS=600 scripts/fuzz.sh      or by time
# Inputs that fail are written to build/fuzz/ as crash-*, leak-*, timeout-*
# or oom-*; replay one with build/fuzz/fuzz/<target> <file>.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang++ >/dev/null || ! dpkg-query -W -f='${Status}' libclang-rt-dev 2>/dev/null | grep -q "ok installed"; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang libclang-rt-dev
fi

flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g"
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ \
  -DKELVARA_BUILD_FUZZERS=ON -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build/fuzz -j "${KELVARA_JOBS:-2}" --target notation_fuzzer weight_file_fuzzer formula_fuzzer

# Seeds: well-formed circuits and small valid weight files of each encoding.
seeds=build/fuzz/seeds
mkdir -p "$seeds/notation" "$seeds/weight_file" "$seeds/formula"
for text in "R0" "R0-(R1,C1)" "L0-R0-p(R1-W1,CPE1)" "((R1,C1),(R2-C2,L3))" "R0-Zarc1-TLMQ2-Gs3-T4-La5-Wo6-Ws7-K8-G9"; do
  printf '%s' "$text" >"$seeds/notation/$(printf '%s' "$text" | md5sum | cut -c1-16)"
done
for text in "R / (1 + (j*w*tau)**alpha)**0.8" "1/(R*(j*w)^alpha)" "R*tanh(sqrt(j*2*pi*f*tau))/sqrt(j*w*tau)" \
  "exp(-R) + log(tau) - sin(alpha)*cos(1j) + coth(2.5e-3*w)"; do
  printf '%s' "$text" >"$seeds/formula/$(printf '%s' "$text" | md5sum | cut -c1-16)"
done
.venv/bin/python - "$seeds/weight_file" <<'PY'
import sys
sys.path.insert(0, "tests")
from support.eisnn_format import ENCODINGS, encode_eisnn, random_guesser
for encoding in ENCODINGS:
    metadata, tensors = random_guesser("R0-(R1,C1)", ["R0.r", "R1.r", "C1.c"], 4, encoding=encoding,
                                       n_grid=8, kernel=3, groups=2, dilations=(1, 2))
    with open(f"{sys.argv[1]}/rc_{encoding}", "wb") as handle:
        handle.write(encode_eisnn(metadata, tensors))
PY

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
limit=(-runs="${FUZZ_RUNS:-20000}")
[ -z "${FUZZ_SECONDS:-}" ] || limit=(-max_total_time="$FUZZ_SECONDS")
# At most 512 MiB in one allocation and 1 GiB in all: a forged count that asks for
# more is a finding, not a slow run.
common=(-rss_limit_mb=1024 -malloc_limit_mb=512 -timeout=10 -print_final_stats=1 "${limit[@]}")
mkdir -p build/fuzz/corpus/notation build/fuzz/corpus/weight_file build/fuzz/corpus/formula
cd build/fuzz
fuzz/notation_fuzzer "${common[@]}" -max_len=256 -dict=../../fuzz/notation.dict "$@" \
  corpus/notation seeds/notation
fuzz/weight_file_fuzzer "${common[@]}" -max_len=65536 "$@" corpus/weight_file seeds/weight_file
fuzz/formula_fuzzer "${common[@]}" -max_len=512 -dict=../../fuzz/formula.dict "$@" \
  corpus/formula seeds/formula
