#!/usr/bin/env bash
# Tests a wheel the way a user gets it: installed into a new virtual
# environment that holds nothing else of the project, then the Python suite
# against the installed module (tests/suite.sh).
#
#   tests/wheel.sh PIP WHEEL PYTHON VENV [pip install arguments...]
#
# PIP installs into the new environment (pip --python), so the environment
# needs no pip of its own: the AArch64 root file system's CPython has none.
# Arguments after VENV go to that pip install (the test extra, a NumPy
# version); --system-site-packages there makes the environment see the
# interpreter's own packages instead.
set -euo pipefail
pip=$1 wheel=$2 python=$3 venv=$4
shift 4
venv_args=(--without-pip) install_args=()
for arg in "$@"; do
  if [ "$arg" = --system-site-packages ]; then venv_args+=("$arg"); else install_args+=("$arg"); fi
done

# The module needs nothing beyond the manylinux system libraries, so the wheel
# must carry no other shared library (auditwheel would have copied one in).
"$python" - "${wheel%\[*}" <<'PY'
import sys, zipfile
libraries = [n for n in zipfile.ZipFile(sys.argv[1]).namelist() if ".so" in n.rsplit("/", 1)[-1]]
if libraries != ["ostrel_py.abi3.so"]:
    sys.exit(f"wheel test: {sys.argv[1]} carries {libraries}, expected only ostrel_py.abi3.so")
PY
rm -rf "$venv"
"$python" -m venv "${venv_args[@]}" "$venv"
"$pip" --python "$venv/bin/python" install -q --disable-pip-version-check "$wheel" "${install_args[@]}"
echo "wheel: $(basename "${wheel%\[*}")"
tests/suite.sh "$venv/bin/python" "$venv/lib"
