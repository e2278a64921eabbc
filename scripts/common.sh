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

find_python312() {
  if command -v pyenv >/dev/null 2>&1; then
    local v candidate
    for v in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$' | sort -V -r); do
      candidate="$(pyenv root)/versions/$v/bin/python3.12"
      [ -x "$candidate" ] && { echo "$candidate"; return 0; }
    done
  fi
  if command -v python3.12 >/dev/null 2>&1 &&
      python3.12 -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
    command -v python3.12
    return 0
  fi
  echo "setup: CPython 3.12 not found (pyenv or python3.12 on PATH)" >&2
  return 1
}

# make_venv DIR REQUIREMENTS: a CPython 3.12 environment with those packages,
# reinstalled only when the requirements file changes.
make_venv() {
  local dir=$1 requirements=$2 stamp="$1/.mave-requirements" python
  if [ ! -x "$dir/bin/python" ]; then
    echo "setup: creating $dir"
    python=$(find_python312) || return 1
    "$python" -m venv "$dir" || return 1
  fi
  if ! cmp -s "$requirements" "$stamp"; then
    echo "setup: installing Python packages into $dir"
    "$dir/bin/python" -m pip install -q --disable-pip-version-check -r "$requirements" || return 1
    cp "$requirements" "$stamp"
  fi
}
