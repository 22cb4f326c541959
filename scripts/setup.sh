# Sourced by the other scripts: installs what the build and the tests need on a
# fresh Debian machine and leaves PYTHON pointing at the project's venv.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

# Debian packages: headers and tools that are installed, never copied in.
DEB_PACKAGES=(rapidjson-dev libgtest-dev zlib1g-dev libisal-dev libbz2-dev bzip2 libzstd-dev cmake ninja-build
  g++ pkg-config ccache)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_debian_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing Debian packages: ${missing[*]}" >&2
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

# The interpreters the project supports; the development venv is on the last.
PYTHON_VERSIONS=(3.11 3.12 3.13)

# Prints the path of a working Python interpreter of version $1 (such as 3.12)
# that can make venvs: on PATH, Debian's, /usr/local's, or a pyenv installation
# (pyenv's shims on PATH fail for a version that is not selected, so its
# versions folder is searched too).
find_python() {
  local version="$1" candidates=() p
  command -v "python$version" >/dev/null 2>&1 && candidates+=("$(command -v "python$version")")
  candidates+=("/usr/bin/python$version" "/usr/local/bin/python$version")
  if command -v pyenv >/dev/null 2>&1; then
    for p in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do candidates+=("$p"); done
  fi
  for p in "$HOME"/.pyenv/versions/"$version".*/bin/python"$version"; do candidates+=("$p"); done
  for p in "${candidates[@]}"; do
    # The interpreter itself, not a shim that runs it.
    if [ -x "$p" ] && "$p" -c "import sys, venv, ensurepip
assert sys.version_info[:2] == tuple(map(int, '$version'.split('.')))
print(sys.executable)" 2>/dev/null; then
      return 0
    fi
  done
  return 1
}

# Like find_python, but when none is found and Debian packages the version
# (Debian 12 has 3.11, Debian 13 has 3.13), installs it first. A Debian
# interpreter also gets its headers, which extensions are built against.
find_or_install_python() {
  local version="$1" found
  if ! found="$(find_python "$version")"; then
    if apt-cache show "python$version-venv" >/dev/null 2>&1 && apt-cache show "python$version-dev" >/dev/null 2>&1; then
      install_debian_packages "python$version" "python$version-venv" "python$version-dev" >&2
      found="$(find_python "$version")" || return 1
    else
      return 1
    fi
  fi
  case "$found" in /usr/bin/*) install_debian_packages "python$version-dev" "python$version-venv" >&2 ;; esac
  echo "$found"
}

# What the sanitizer and fuzzing passes add: clang with its libFuzzer runtime,
# and gcc's ASan runtime to preload into the interpreter.
install_check_tools() {
  install_debian_packages clang libasan8
  local major
  major="$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n 1)"
  install_debian_packages "libclang-rt-$major-dev"
}

PYTHON="$VENV/bin/python"

# scripts/test runs scripts/sanitize and scripts/fuzz, which source this again:
# the machine and the venv are set up once per run of this checkout.
if [ "${MARROWFIN_SETUP_DONE:-}" != "$ROOT" ]; then
  install_debian_packages "${DEB_PACKAGES[@]}"
  if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    PY313="$(find_or_install_python 3.13)" || { echo "error: no Python 3.13 found" >&2; exit 1; }
    rm -rf "$VENV"
    "$PY313" -m venv "$VENV"
  fi
  "$PYTHON" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
  "$PYTHON" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "cmake>=3.24" ninja
  export MARROWFIN_SETUP_DONE="$ROOT"
fi

# The core compiles alike in every wheel's build: its objects are compiled once
# per checkout and reused (a cache in the checkout's build folder).
if command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR="$ROOT/build/ccache" CCACHE_BASEDIR="$ROOT"
fi

# pytest's options for a whole run: one worker per core (pytest-xdist, at
# most four), each taking whole files, so a file's fixtures are made once.
PYTEST_WORKERS=(--numprocesses=auto --maxprocesses=4 --dist=loadfile)

# Builds and installs the project into the venv with the extras named (default: test).
install_project() {
  MARROWFIN_DEV="${MARROWFIN_DEV:-ON}" "$PYTHON" -m pip install -q --disable-pip-version-check \
    --no-build-isolation "$ROOT[${1:-test}]"
}
