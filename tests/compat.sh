#!/usr/bin/env bash
# The Python suite at the other ends of the supported range, each in a new
# virtual environment under build/compat:
#   numpy1  the module installed for PYTHON (built against NumPy 2) on NumPy
#           1.26, as a NumPy 1.x service uses a wheel built today;
#   newest  the module built by and run on the newest CPython besides PYTHON
#           (3.13, else 3.12, from PATH or pyenv) on the newest NumPy; skipped,
#           saying so, where there is none.
#
#   tests/compat.sh PYTHON     (PYTHON has the module installed: make develop)
set -euo pipefail
python=$1 out=build/compat

fresh_venv() {  # fresh_venv INTERPRETER DIR REQUIREMENT_SET... [-- pip arguments]
  rm -rf "$2" && "$1" -m venv "$2"
  "$2/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  local dir=$2 sets=() && shift 2
  while [ $# -gt 0 ] && [ "$1" != -- ]; do sets+=("$1") && shift; done
  .ci/requirements "${sets[@]}" | "$dir/bin/python" -m pip install -q -r /dev/stdin "${@:2}"
}

# Every file of the installation (module, stubs, metadata) is carried over as
# it is, as installing the same wheel would.
fresh_venv "$python" "$out/numpy1" test -- "numpy==1.26.*"
"$python" - "$("$out/numpy1/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')" <<'PY'
import importlib.metadata, pathlib, shutil, sys
dist = importlib.metadata.distribution("ostrel_py")
for name in dist.files:
    target = pathlib.Path(sys.argv[1], name)
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy2(dist.locate_file(name), target)
PY
tests/suite.sh "$out/numpy1/bin/python" "$out/numpy1"

own=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])') newest=""
for version in 3.13 3.12; do
  [ "$version" = "$own" ] && break
  newest=$(tests/find_python.sh "$version") && break
done
[ -n "$newest" ] || { echo "compat: SKIPPED the newer CPython: none newer than $own on PATH or under pyenv"; exit 0; }
fresh_venv "$newest" "$out/newest" build test
"$out/newest/bin/python" -m pip install -q --no-build-isolation --no-deps -C build-dir="$out/newest/build" .
tests/suite.sh "$out/newest/bin/python" "$out/newest"
