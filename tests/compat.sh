#!/usr/bin/env bash
# The Python suite at the other ends of the supported range, each in a virtual
# environment of its own under build/compat:
#   numpy1  the module as installed for PYTHON (built against NumPy 2), on NumPy 1.26,
#           which is how a wheel built today is used by a NumPy 1.x service;
#   newest  the module built by and run on the newest CPython this machine
#           offers besides PYTHON (3.13, else 3.12, from PATH or pyenv), on the
#           newest NumPy.
# An entry whose interpreter is missing is skipped with a message saying so.
#
#   tests/compat.sh PYTHON     (PYTHON has the module installed: make develop)
set -euo pipefail
python=$1
out=build/compat
mkdir -p "$out"

fresh_venv() {  # fresh_venv INTERPRETER DIR
  rm -rf "$2"
  "$1" -m venv "$2"
  "$2/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
}

# ---- numpy1: the installed module, NumPy 1.26 underneath ----
fresh_venv "$python" "$out/numpy1"
.ci/requirements test | "$out/numpy1/bin/python" -m pip install -q "numpy==1.26.*" -r /dev/stdin
# Every file of the installation (module, stubs, metadata) is carried over as
# it is, as installing the same wheel would.
"$python" - "$("$out/numpy1/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')" <<'PY'
import importlib.metadata, pathlib, shutil, sys
dist = importlib.metadata.distribution("ostrel_py")
for name in dist.files:
    target = pathlib.Path(sys.argv[1], name)
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy2(dist.locate_file(name), target)
PY
tests/suite.sh "$out/numpy1/bin/python" "$out/numpy1"

# ---- newest: another CPython minor version, built from source ----
own=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
newest=""
for version in 3.13 3.12; do
  [ "$version" = "$own" ] && break
  newest=$(tests/find_python.sh "$version") && break
done
if [ -z "$newest" ]; then
  echo "compat: SKIPPED the newer CPython: no interpreter newer than $own found on PATH or under pyenv"
  exit 0
fi
fresh_venv "$newest" "$out/newest"
.ci/requirements build test | "$out/newest/bin/python" -m pip install -q -r /dev/stdin
"$out/newest/bin/python" -m pip install -q --no-build-isolation --no-deps -C build-dir="$out/newest/build" .
tests/suite.sh "$out/newest/bin/python" "$out/newest"
