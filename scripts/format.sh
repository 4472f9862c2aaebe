#!/usr/bin/env bash
# Formats the C++ (clang-format, .clang-format) and the Python (ruff) sources in place;
# with --check, changes nothing and fails when anything would change.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t cpp < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'fuzz/*.cpp')
ruff=".venv/bin/ruff"
[ -x "$ruff" ] || ruff="ruff"
python=(python tests bench examples training scripts)
if [ "${1:-}" = "--check" ]; then
  clang-format --dry-run --Werror "${cpp[@]}"
  "$ruff" format --check "${python[@]}"
  "$ruff" check "${python[@]}"
else
  clang-format -i "${cpp[@]}"
  "$ruff" format "${python[@]}"
  "$ruff" check --fix "${python[@]}"
fi
