#!/usr/bin/env bash
# Runs the Python suite with PYTHON against the module it imports, which must
# be the one under DIR (a virtual environment, a build folder): -P keeps the
# working directory off sys.path, so no other copy can be picked up unseen.
#
#   tests/suite.sh PYTHON DIR [pytest arguments...]
set -euo pipefail
python=$1 dir=$(cd "$2" && pwd)
shift 2
where=$("$python" -P -c 'import platform, numpy, ostrel_py
print(f"{ostrel_py.__file__}\nCPython {platform.python_version()}, NumPy {numpy.__version__}, {platform.machine()}")')
case ${where%%$'\n'*} in
  "$dir"/*) echo "suite: ${where/$'\n'/ on }" ;;
  *) echo "suite: imported ${where%%$'\n'*}, not the module under $dir" >&2; exit 1 ;;
esac
exec "$python" -P -m pytest "$@" tests/python
