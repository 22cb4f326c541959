# Sourced by the other scripts: installs what the build and the tests need on a
# fresh Debian machine and leaves PYTHON pointing at the project's venv.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="$ROOT/.venv"

# Debian packages: headers and tools that are installed, never copied in.
DEB_PACKAGES=(rapidjson-dev libgtest-dev zlib1g-dev libisal-dev libbz2-dev bzip2 cmake ninja-build g++ pkg-config)

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

# Prints the path of a working Python 3.13 interpreter.
find_python313() {
  local candidates=()
  command -v python3.13 >/dev/null 2>&1 && candidates+=("$(command -v python3.13)")
  candidates+=(/usr/bin/python3.13 /usr/local/bin/python3.13)
  if command -v pyenv >/dev/null 2>&1; then
    for p in "$(pyenv root)"/versions/3.13.*/bin/python3.13; do candidates+=("$p"); done
  fi
  for p in "$HOME"/.pyenv/versions/3.13.*/bin/python3.13; do candidates+=("$p"); done
  for p in "${candidates[@]}"; do
    if [ -x "$p" ] && "$p" -c 'import sys, venv; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
      echo "$p"
      return 0
    fi
  done
  return 1
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
    if ! PY313="$(find_python313)"; then
      # A Debian 13 machine ships it as a package.
      install_debian_packages python3.13 python3.13-venv python3.13-dev
      PY313="$(find_python313)" || { echo "error: no Python 3.13 found" >&2; exit 1; }
    fi
    # Debian's own interpreter needs its headers package to build extensions.
    case "$PY313" in /usr/bin/*) install_debian_packages python3.13-dev python3.13-venv ;; esac
    rm -rf "$VENV"
    "$PY313" -m venv "$VENV"
  fi
  "$PYTHON" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
  "$PYTHON" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "cmake>=3.24" ninja
  export MARROWFIN_SETUP_DONE="$ROOT"
fi

# Builds and installs the project into the venv with the extras named (default: test).
install_project() {
  MARROWFIN_DEV="${MARROWFIN_DEV:-ON}" "$PYTHON" -m pip install -q --disable-pip-version-check \
    --no-build-isolation "$ROOT[${1:-test}]"
}
