#!/usr/bin/env bash
# The linters, apart from the test suite: the stubs against the built module
# (mypy.stubtest), mypy over the examples and benchmarks and --strict over
# kelvara_lab, ruff over the Python and clang-format over the C++ (both as
# checks: nothing is changed). Needs the module built into .venv
# (scripts/setup.sh) and the test dependency group.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq clang-format
fi
py="$PWD/.venv/bin/python"
cache=$(mktemp -d)
trap 'rm -rf "$cache"' EXIT
# The stubs in the tree win over an installed copy; the module is the one under test.
module=$("$py" -c 'import kelvara, os; print(os.path.dirname(kelvara.__file__))')
export MYPYPATH="$PWD/stubs" PYTHONPATH="$module"
(cd "$cache" && "$py" -m mypy.stubtest kelvara)
"$py" -m mypy --cache-dir "$cache" --ignore-missing-imports examples bench
"$py" -m mypy --cache-dir "$cache" --strict python/kelvara_lab
scripts/format.sh --check
