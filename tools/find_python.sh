#!/usr/bin/env bash
# Prints the path of a Python 3.8 interpreter that has its C headers, or explains
# on stderr what is missing and exits 1.
set -u

runs_38() {
  "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 8) else 1)' >/dev/null 2>&1
}

candidates=()
if [ -n "${PYTHON:-}" ]; then
  candidates+=("$PYTHON")
else
  if command -v python3.8 >/dev/null 2>&1; then candidates+=("$(command -v python3.8)"); fi
  if command -v pyenv >/dev/null 2>&1; then
    for p in "$(pyenv root)"/versions/3.8.*/bin/python3.8; do
      [ -x "$p" ] && candidates+=("$p")
    done
  fi
  for p in "$HOME"/.pyenv/versions/3.8.*/bin/python3.8 /usr/bin/python3.8 /usr/local/bin/python3.8; do
    [ -x "$p" ] && candidates+=("$p")
  done
fi

for p in "${candidates[@]}"; do
  if runs_38 "$p"; then
    inc=$("$p" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    if [ -f "$inc/Python.h" ]; then
      # The real interpreter, not a shim or a venv wrapper.
      "$p" -c 'import sys, os; print(os.path.realpath(sys.executable))'
      exit 0
    fi
    cat >&2 <<MSG
velmora: $p is Python 3.8 but has no C headers ($inc/Python.h is missing).
The native modules are built against the interpreter's headers and its shared
library: install the development files of that Python (on Debian, python3.8-dev;
with pyenv, reinstall the version with its default options), or point PYTHON at
a Python 3.8 that has them, for example: make test PYTHON=/path/to/python3.8
MSG
    exit 1
  fi
done

if [ -n "${PYTHON:-}" ]; then
  echo "velmora: PYTHON=$PYTHON does not run as Python 3.8." >&2
fi
cat >&2 <<MSG
velmora: no Python 3.8 interpreter was found. The native modules target CPython
3.8 exactly and need its headers and libpython3.8. Looked at \$PYTHON, a
python3.8 on the PATH that runs, and pyenv's versions/3.8.*. Install CPython 3.8
(for example with pyenv: pyenv install 3.8.18) and run again, or point PYTHON at
one: make test PYTHON=/path/to/python3.8
MSG
exit 1
