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

# Build and test requirements come from pyproject.toml, the one place they are kept.
requirements() {
  "$python" -c 'import sys, tomllib
p = tomllib.load(open("pyproject.toml", "rb"))
print("\n".join(p["build-system"]["requires"] if sys.argv[1] == "build" else p["project"]["optional-dependencies"]["test"]))' "$1"
}
mapfile -t build_requires < <(requirements build; echo "cmake>=3.21"; echo ninja)
mapfile -t test_requires < <(requirements test)

fresh_venv() {  # fresh_venv INTERPRETER DIR
  rm -rf "$2"
  "$1" -m venv "$2"
  "$2/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
}

run_suite() {  # run_suite DIR [PYTHONPATH]
  local versions
  versions=$(PYTHONPATH=${2:-} "$1/bin/python" -c \
    'import platform, numpy, ostrel_py; print(f"CPython {platform.python_version()}, NumPy {numpy.__version__}")')
  echo "compat: $versions"
  PYTHONPATH=${2:-} "$1/bin/python" -m pytest -q -p no:cacheprovider tests/python
}

# ---- numpy1: the installed module, NumPy 1.26 underneath ----
fresh_venv "$python" "$out/numpy1"
"$out/numpy1/bin/python" -m pip install -q "numpy==1.26.*" "${test_requires[@]}"
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
run_suite "$out/numpy1"

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
"$out/newest/bin/python" -m pip install -q "${build_requires[@]}" "${test_requires[@]}"
"$out/newest/bin/python" -m pip install -q --no-build-isolation --no-deps -C build-dir="$out/newest/build" .
run_suite "$out/newest"
