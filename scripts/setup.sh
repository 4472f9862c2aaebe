#!/usr/bin/env bash
# Sets up everything kelvara needs on a Debian machine, then builds and
# installs it into .venv. Safe to run again: it only adds what is missing.
set -euo pipefail
cd "$(dirname "$0")/.."

system_packages=(libeigen3-dev libtbb-dev libgtest-dev g++ python3-venv python3-dev)
missing=()
for pkg in "${system_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
# python3-venv and python3-dev only matter for Debian's own interpreter.
if python3 -c 'import venv, sysconfig, os; assert os.path.exists(sysconfig.get_paths()["include"] + "/Python.h")' 2>/dev/null; then
  missing=("${missing[@]/python3-venv}")
  missing=("${missing[@]/python3-dev}")
fi
read -r -a missing <<<"${missing[*]:-}"
if ((${#missing[@]})); then
  echo "installing system packages: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi

[ -x .venv/bin/python ] || python3 -m venv .venv
.venv/bin/python -m pip install -q --upgrade "pip>=25.1"
.venv/bin/python -m pip install -q --group build
.venv/bin/python -m pip install -q --no-build-isolation .
