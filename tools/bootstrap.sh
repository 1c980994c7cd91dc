#!/usr/bin/env bash
# Brings a machine up to what the build, the demo or the tests need, and makes
# the venv of one Python version: .venv for 3.8, .venv-3.X for the others, each
# seeing this checkout and Debian's pure-Python packages. Does nothing that is
# already done.
#
#   tools/bootstrap.sh                 make, make demo: never installs system
#                                      packages; says what is missing and how
#                                      to install it
#   tools/bootstrap.sh --install       make test: installs the missing Debian
#                                      packages as root, where apt exists
#   tools/bootstrap.sh --venv 3.X      only the venv of 3.X (after --install)
set -eu
cd "$(dirname "$0")/.."

mode=build
version=3.8
while [ $# -gt 0 ]; do
  case "$1" in
    --install) mode=install ;;
    --venv) mode=venv; version=${2:?--venv needs a version}; shift ;;
    *) echo "usage: $0 [--install | --venv 3.X]" >&2; exit 2 ;;
  esac
  shift
done

# What make and make demo need (the build includes the C++ tests and the
# benchmark), what only make test needs, and what only the test in the real
# Jupyter server under Debian's own Python needs (it skips without them;
# python3-dev lets pip build the compiled handlers there).
build_pkgs="cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev python3-tornado python3-jupyter-server"
test_pkgs="python3-pytest python3-hypothesis python3-exceptiongroup python3-tomli valgrind clang-format clang-tidy"
e2e_pkgs="python3-venv python3-pip python3-dev"

not_installed() {
  for p in "$@"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    case "$status" in *"ok installed"*) ;; *) printf ' %s' "$p" ;; esac
  done
}

check_system() {
  if ! command -v dpkg-query >/dev/null 2>&1; then
    cat >&2 <<MSG
velmora: this machine has no apt. Install a C++17 compiler, cmake, ninja,
pkg-config, GoogleTest and Google Benchmark yourself, then install into .venv
(after this script made it): .venv/bin/python -m pip install pytest hypothesis tornado "jupyter_server<2"
MSG
    return 0
  fi
  local missing optional tests_missing
  missing=$(not_installed $build_pkgs)
  tests_missing=$(not_installed $test_pkgs)
  optional=$(not_installed $e2e_pkgs)
  if [ "$mode" = install ]; then
    missing="$missing$tests_missing"
    tests_missing=""
    if [ -n "$missing$optional" ] && command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
      echo "velmora: installing Debian packages:$missing$optional"
      apt-get update -qq
      DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing $optional
      missing=""
      optional=""
    fi
  fi
  if [ -n "$missing" ]; then
    echo "velmora: these Debian packages are missing:$missing" >&2
    echo "velmora: install them (as root: apt-get install$missing$optional$tests_missing) and run again." >&2
    exit 1
  fi
  if [ -n "$tests_missing" ]; then
    echo "velmora: make test needs$tests_missing too (make test installs them as root; or: apt-get install$tests_missing$optional)" >&2
  fi
  if [ -n "$optional" ]; then
    echo "velmora: without$optional the test in the real Jupyter server is skipped or serves the interpreted handlers (as root: apt-get install$optional)" >&2
  fi
}

make_venv() {
  local venv=.venv py site
  [ "$version" != 3.8 ] && venv=.venv-$version
  py=$(tools/find_python.sh "$version")
  if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "import sys; sys.exit(sys.version_info[:2] != (3, ${version#3.}))" 2>/dev/null; then
    rm -rf "$venv"
    "$py" -m venv "$venv"
  fi
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  # The checkout first (the package and its built modules), Debian's packages last.
  printf '%s\n' "$PWD" > "$site/00-velmora-checkout.pth"
  if [ -d /usr/lib/python3/dist-packages ]; then
    printf '%s\n' /usr/lib/python3/dist-packages > "$site/debian-dist-packages.pth"
  fi

  local needed="tornado, jupyter_server.base.handlers" errors
  [ "$mode" != build ] && needed="pytest, hypothesis, $needed"
  errors=$(mktemp)
  if ! "$venv/bin/python" -c "import $needed" 2>"$errors"; then
    cat "$errors" >&2; rm -f "$errors"
    echo "velmora: $venv cannot import ${needed//jupyter_server.base.handlers/jupyter_server}." >&2
    echo "velmora: install them into $venv: $venv/bin/python -m pip install pytest hypothesis tornado 'jupyter_server<2'" >&2
    exit 1
  fi
  rm -f "$errors"
  touch "$venv/.bootstrapped"
}

[ "$mode" != venv ] && check_system
make_venv
