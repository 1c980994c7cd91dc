#!/usr/bin/env bash
# Prints the path of a CPython interpreter of the given minor version (3.8 by
# default) that has its C headers, or explains on stderr what is missing and
# exits 1. The first line of the explanation is the short reason; make test
# prints it beside each version it skips.
set -u

version=${1:-3.8}
case "$version" in
  3.[0-9] | 3.[1-9][0-9]) ;;
  *) echo "usage: $0 [3.X]" >&2; exit 2 ;;
esac
minor=${version#3.}
# PYTHON names the 3.8 interpreter; PYTHON_3_11 and the like name the others.
override_var=PYTHON_3_$minor
[ "$version" = 3.8 ] && override_var=PYTHON
override=${!override_var:-}

# Yes only when it says so: a program that ignores its arguments also exits 0.
runs_version() {
  [ "$("$1" -c "import platform, sys; print(sys.version_info[:2] == (3, $minor) and platform.python_implementation() == 'CPython')" 2>/dev/null)" = True ]
}

candidates=()
if [ -n "$override" ]; then
  candidates+=("$override")
else
  # pyenv's own builds first: the PATH may hold shims that refuse or a
  # python3.X without headers.
  if command -v pyenv >/dev/null 2>&1; then
    for p in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do
      [ -x "$p" ] && candidates+=("$p")
    done
  fi
  for p in "$HOME"/.pyenv/versions/"$version".*/bin/python"$version"; do
    [ -x "$p" ] && candidates+=("$p")
  done
  if command -v "python$version" >/dev/null 2>&1; then candidates+=("$(command -v "python$version")"); fi
  for p in /usr/bin/python"$version" /usr/local/bin/python"$version"; do
    [ -x "$p" ] && candidates+=("$p")
  done
fi

no_headers=""
for p in "${candidates[@]}"; do
  if runs_version "$p"; then
    inc=$("$p" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    if [ -f "$inc/Python.h" ]; then
      # The real interpreter, not a shim or a venv wrapper.
      "$p" -c 'import sys, os; print(os.path.realpath(sys.executable))'
      exit 0
    fi
    [ -z "$no_headers" ] && no_headers="$p ($inc/Python.h is missing)"
  fi
done

if [ -n "$no_headers" ]; then
  cat >&2 <<MSG
Python $version has no C headers: $no_headers
The native modules are built against the interpreter's headers and its shared
library: install the development files of that Python (on Debian,
python$version-dev; with pyenv, reinstall the version with its default options),
or point $override_var at a Python $version that has them:
make test $override_var=/path/to/python$version
MSG
  exit 1
fi

if [ -n "$override" ]; then
  echo "$override_var=$override does not run as CPython $version" >&2
  exit 1
fi
cat >&2 <<MSG
no CPython $version interpreter found
Looked at \$$override_var, pyenv's versions/$version.*, and a python$version on the
PATH or in /usr/bin and /usr/local/bin that runs. Install CPython $version (for
example with pyenv: pyenv install $version) and run again, or point
$override_var at one: make test $override_var=/path/to/python$version
MSG
exit 1
