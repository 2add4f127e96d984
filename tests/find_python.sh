#!/usr/bin/env bash
# Prints the path of a working CPython VERSION (3.12, say), from PATH or
# pyenv's versions; fails quietly when the machine has none.
#
#   tests/find_python.sh VERSION
set -uo pipefail
for candidate in "python$1" "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python3; do
  if "$candidate" -c 'import sys' >/dev/null 2>&1; then
    command -v "$candidate"
    exit 0
  fi
done
exit 1
