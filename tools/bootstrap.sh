#!/usr/bin/env bash
# Brings a machine up to what the build and the tests need: the Debian packages
# that are missing, and .venv (Python 3.8 that sees Debian's pure-Python packages
# and this checkout). Does nothing that is already done.
set -eu
cd "$(dirname "$0")/.."

python_pkgs="python3-pytest python3-hypothesis python3-exceptiongroup python3-tomli python3-tornado python3-jupyter-server"
native_pkgs="cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev valgrind clang-format clang-tidy"
# Only for the end-to-end test in the real Jupyter server under Debian's own
# Python (with python3-jupyter-server); it skips where they are missing.
e2e_pkgs="python3-venv python3-pip"

not_installed() {
  for p in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in *"ok installed"*) ;; *) printf ' %s' "$p" ;; esac
  done
}

missing=""
optional=""
if command -v dpkg-query >/dev/null 2>&1; then
  missing=$(not_installed $python_pkgs $native_pkgs)
  optional=$(not_installed $e2e_pkgs)
fi

can_install=""
if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then can_install=1; fi

if [ -n "$missing$optional" ] && [ -n "$can_install" ]; then
  echo "velmora: installing Debian packages:$missing$optional"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing $optional
elif [ -n "$missing" ]; then
  echo "velmora: these Debian packages are missing:$missing$optional" >&2
  echo "velmora: install them (as root: apt-get install$missing$optional) and run again." >&2
  exit 1
elif [ -n "$optional" ]; then
  echo "velmora: without$optional the test in the real Jupyter server is skipped" >&2
elif ! command -v dpkg-query >/dev/null 2>&1; then
  cat >&2 <<MSG
velmora: this machine has no apt. Install a C++17 compiler, cmake, ninja,
pkg-config and GoogleTest yourself, then install into .venv (after this script
made it): .venv/bin/python -m pip install pytest hypothesis tornado "jupyter_server<2"
MSG
fi

py=$(tools/find_python.sh)

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != (3, 8))' 2>/dev/null; then
  rm -rf .venv
  "$py" -m venv .venv
fi

site=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
# The checkout first (the package and its built modules), Debian's packages last.
printf '%s\n' "$PWD" > "$site/00-velmora-checkout.pth"
if [ -d /usr/lib/python3/dist-packages ]; then
  printf '%s\n' /usr/lib/python3/dist-packages > "$site/debian-dist-packages.pth"
fi

if ! .venv/bin/python -c 'import pytest, hypothesis, tornado, jupyter_server.base.handlers' 2>/tmp/velmora-import-check.$$; then
  cat /tmp/velmora-import-check.$$ >&2; rm -f /tmp/velmora-import-check.$$
  echo "velmora: .venv cannot import pytest, hypothesis, tornado and jupyter_server." >&2
  echo "velmora: install them into .venv: .venv/bin/python -m pip install pytest hypothesis tornado 'jupyter_server<2'" >&2
  exit 1
fi
rm -f /tmp/velmora-import-check.$$
touch .venv/.bootstrapped
