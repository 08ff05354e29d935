#!/usr/bin/env bash
# Runs every test: builds the libraries, the module and the GoogleTest suites,
# runs them through CTest, then runs pytest against the freshly built module.
#   scripts/test.sh            release build in build/release
#   scripts/test.sh --sanitize AddressSanitizer + UndefinedBehaviorSanitizer build in build/sanitize
# First it sets up what it needs: the [test] system packages of
# system-packages.txt (scripts/packages.sh) and the Python packages of
# requirements-test.txt, installed into the interpreter that runs the tests
# (PYTHON, default python3). When either cannot be installed from here it stops
# before building, with exit status 2 and the commands that would fix it.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
mode=release
cmake_args=(-DCMAKE_BUILD_TYPE=Release)
if [[ "${1:-}" == "--sanitize" ]]; then
  mode=sanitize
  cmake_args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORREL_SANITIZE=ON)
fi
build="$root/build/$mode"
python=${PYTHON:-python3}
command -v "$python" >/dev/null || { echo "test.sh: no $python found (set PYTHON to the interpreter for the tests)" >&2; exit 2; }

setup=0
bash "$root/scripts/packages.sh" test || setup=$?
# Python test packages: those missing or too old are installed with pip, unless
# the interpreter belongs to the system (PEP 668) and no virtual environment is
# active; pip is never told to override that.
"$python" - "$root/requirements-test.txt" "$python" <<'EOF' || setup=$((setup ? setup : $?))
import os, re, subprocess, sys, sysconfig
from importlib import metadata

try:
    from packaging.requirements import Requirement
except ImportError:
    try:
        from pip._vendor.packaging.requirements import Requirement
    except ImportError:
        Requirement = None

def satisfied(line):
    if Requirement is None:
        name, wanted = re.match(r"[\w.-]+", line).group(), None
    else:
        req = Requirement(line)
        name, wanted = req.name, req.specifier
    try:
        version = metadata.version(name)
    except metadata.PackageNotFoundError:
        return False
    return wanted is None or wanted.contains(version, prereleases=True)

requirements, python = sys.argv[1], sys.argv[2]
with open(requirements, encoding="utf-8") as f:
    lines = [l.split("#")[0].strip() for l in f]
missing = [l for l in lines if l and not satisfied(l)]
if not missing:
    sys.exit(0)
managed = os.path.exists(os.path.join(sysconfig.get_path("stdlib"), "EXTERNALLY-MANAGED"))
if managed and sys.prefix == sys.base_prefix:
    print(f"Missing Python packages: {' '.join(missing)}. {sys.executable} is managed by the system,\n"
          "so they go into a virtual environment: make one, enter it, then run this again:\n"
          f"    {python} -m venv .venv\n"
          "    . .venv/bin/activate", file=sys.stderr)
    sys.exit(2)
print(f"Installing Python packages: {' '.join(missing)}", file=sys.stderr)
sys.exit(subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                         "-r", requirements]).returncode)
EOF
((setup == 0)) || exit "$setup"

# cmake, ctest and ninja come from requirements-test.txt: use the ones pip put
# beside the interpreter, or in the user's scripts folder when it fell back to that.
while IFS= read -r dir; do
  if [[ -d "$dir" && ":$PATH:" != *":$dir:"* ]]; then PATH="$dir:$PATH"; fi
done < <("$python" -c 'import sysconfig; print(sysconfig.get_path("scripts", sysconfig.get_preferred_scheme("user"))); print(sysconfig.get_path("scripts"))')
export PATH

cmake -S "$root" -B "$build" -G Ninja "${cmake_args[@]}" -DPython_EXECUTABLE="$(command -v "$python")" >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"

export QUORREL_BUILD_DIR="$build"
export PYTHONPATH="$build/python:$root/python${PYTHONPATH:+:$PYTHONPATH}"
if [[ "$mode" == sanitize ]]; then
  LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$python" -m pytest "$root/python/tests" -q
else
  "$python" -m pytest "$root/python/tests" -q
fi
