#!/usr/bin/env bash
# Prepares a machine for building and testing: Debian packages, a CPython 3.12
# virtual environment in .venv with the Python packages. Safe to run again;
# it only installs what is missing. Source it to get $ROOT, $VENV and $PY.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"

apt_packages=(g++ libtomlplusplus-dev libgtest-dev clang libclang-rt-14-dev)
missing=()
for p in "${apt_packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

find_python312() {
  if command -v pyenv >/dev/null 2>&1; then
    local v
    for v in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$' | sort -V -r); do
      local candidate
      candidate="$(pyenv root)/versions/$v/bin/python3.12"
      [ -x "$candidate" ] && { echo "$candidate"; return; }
    done
  fi
  if command -v python3.12 >/dev/null 2>&1 && python3.12 -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    command -v python3.12
    return
  fi
  echo "setup: CPython 3.12 not found (pyenv or python3.12 on PATH)" >&2
  exit 1
}

# make_venv DIR REQUIREMENTS: a CPython 3.12 environment with those packages,
# reinstalled only when the requirements file changes.
make_venv() {
  local dir=$1 requirements=$2 stamp="$1/.mave-requirements"
  if [ ! -x "$dir/bin/python" ]; then
    echo "setup: creating $dir"
    "$(find_python312)" -m venv "$dir"
  fi
  if ! cmp -s "$requirements" "$stamp"; then
    echo "setup: installing Python packages into $dir"
    "$dir/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements"
    cp "$requirements" "$stamp"
  fi
}

make_venv "$VENV" "$ROOT/scripts/requirements-dev.txt"
PY="$VENV/bin/python"
# A second environment with NumPy 1.26: the tests run in both, against the one
# extension built with NumPy 2's headers.
VENV_NUMPY1="$ROOT/.venv-np1"
make_venv "$VENV_NUMPY1" "$ROOT/scripts/requirements-numpy1.txt"
PY_NUMPY1="$VENV_NUMPY1/bin/python"
export ROOT VENV PY VENV_NUMPY1 PY_NUMPY1
