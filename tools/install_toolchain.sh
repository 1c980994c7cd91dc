#!/usr/bin/env bash
# What make test needs from Debian's packages, which PyPI does not carry: the
# compiler and build tools, GoogleTest, Google Benchmark, valgrind, and
# debootstrap for the CPython 3.14 and 3.15 root. Installs what is missing as
# root, and says what; elsewhere it says what to install.
set -eu
pkgs="g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libbenchmark-dev valgrind debootstrap python3-dev python3-venv"
if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "velmora: no apt here: install a C++17 compiler, cmake, ninja, GoogleTest, Google Benchmark and valgrind yourself" >&2
  exit 0
fi
missing=""
for p in $pkgs; do
  case "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)" in
    *"ok installed"*) ;;
    *) missing="$missing $p" ;;
  esac
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" != 0 ]; then
  echo "velmora: make test needs these Debian packages:$missing (as root: apt-get install$missing)" >&2
  exit 1
fi
echo "velmora: installing Debian packages:$missing"
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
