# Shared by the project's scripts (sourced, never run): the paths of the
# checkout and its virtual environments, and the helpers that install what is
# missing. It sets no shell options and never exits the shell it is read into.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"
PY="$VENV/bin/python"
# A second environment with NumPy 1.26, for the test command only: the tests
# run in both, against the one extension built with NumPy 2's headers.
VENV_NUMPY1="$ROOT/.venv-np1"
PY_NUMPY1="$VENV_NUMPY1/bin/python"
export ROOT VENV PY VENV_NUMPY1 PY_NUMPY1

# apt_install PACKAGE...: installs the Debian packages that are missing.
apt_install() {
  local missing=() p
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "setup: installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq || return 1
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

# The CPython versions mave supports and is tested on: the wheel is built for
# the stable ABI of the first and runs unchanged on the others.
PYTHON_VERSIONS="3.11 3.12 3.13"
export PYTHON_VERSIONS

# find_python [X.Y]: the path of a CPython X.Y (default 3.12, the version of
# the development environment), from pyenv or PATH.
find_python() {
  local want=${1:-3.12} v candidate
  if command -v pyenv >/dev/null 2>&1; then
    for v in $(pyenv versions --bare 2>/dev/null | grep -E "^${want//./\\.}(\.[0-9]+)?\$" | sort -V -r); do
      candidate="$(pyenv root)/versions/$v/bin/python$want"
      [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
  fi
  if command -v "python$want" >/dev/null 2>&1 &&
      "python$want" -c "import sys; assert sys.version_info[:2] == tuple(map(int, '$want'.split('.')))" 2>/dev/null; then
    command -v "python$want"
    return 0
  fi
  echo "setup: CPython $want not found (pyenv or python$want on PATH)" >&2
  return 1
}

# make_venv DIR REQUIREMENTS [X.Y]: a CPython X.Y (default 3.12) environment
# with those packages, reinstalled only when the requirements file changes.
make_venv() {
  local dir=$1 requirements=$2 stamp="$1/.mave-requirements" python
  if [ ! -x "$dir/bin/python" ]; then
    echo "setup: creating $dir"
    python=$(find_python "${3:-3.12}") || return 1
    "$python" -m venv "$dir" || return 1
  fi
  if ! cmp -s "$requirements" "$stamp"; then
    echo "setup: installing Python packages into $dir"
    "$dir/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements" || return 1
    cp "$requirements" "$stamp"
  fi
}

# zig_program: the zig compiler of the ziglang package in .venv.
zig_program() {
  "$PY" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'
}

# enable_binfmt: lets the kernel run aarch64 programs through qemu-user
# (Debian's qemu-user-static registers itself once binfmt_misc is mounted).
enable_binfmt() {
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || return 1
  fi
  [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] || update-binfmts --enable qemu-aarch64
}
