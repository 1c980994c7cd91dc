#!/usr/bin/env bash
# Prints "X.Y PATH" for the newest CPython of pyproject.toml's versions found
# here with its C headers (pyenv's, then a pythonX.Y on the PATH or in
# /usr/bin and /usr/local/bin), or says on stderr what it looked for.
# `tools/newest_python.sh 3.8` asks for one version.
set -u
cd "$(dirname "$0")/.."
if [ $# -gt 0 ]; then
  versions=$1
else
  versions=$(sed -n 's/.*"Programming Language :: Python :: \(3\.[0-9]*\)".*/\1/p' pyproject.toml | sort -t. -k2 -rn)
fi
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
for v in $versions; do
  # pyenv's shims answer to every name but may refuse a version: real
  # interpreters only.
  for p in $(ls -d "$pyenv_root"/versions/"$v".*/bin/python"$v" 2>/dev/null | sort -rV) \
           $(type -ap "python$v" | grep -v /shims/) /usr/bin/python"$v" /usr/local/bin/python"$v"; do
    [ -x "$p" ] || continue
    if [ "$("$p" -c 'import os, platform, sysconfig; print(platform.python_implementation() == "CPython" and os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null)" = True ]; then
      echo "$v $("$p" -c 'import os, sys; print(os.path.realpath(sys.executable))')"
      exit 0
    fi
  done
done
echo "no CPython with its C headers found (looked for: $(echo $versions)): install one, with its development files (on Debian: python3-dev)" >&2
exit 1
