#!/usr/bin/env bash
# Packaging check: builds the sdist and the wheel with `python -m build`,
# checks what each carries, then installs the sdist into a fresh venv
# outside the checkout, once per interpreter, and runs the test suite
# against the installed package from a copy of tests/ made elsewhere.  A
# file the sdist lacks therefore fails the build or the tests here, not on
# a user's machine; nothing of the source tree is importable during the run.
#
#   tools/package.sh [PYTHON ...]        default: python3
#
# PYTEST_ARGS selects tests as for tools/test.sh (paths start with tests/).
# The sdist and wheel are built with python3 unless PJSON_BUILD_PYTHON names
# another interpreter; PJSON_DIST keeps them in that directory.  Exits
# non-zero if the build, the contents check, or any interpreter fails.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
root=$(pjson_root)
cd "$root" || exit 1

if [ $# -eq 0 ]; then
    set -- python3
fi
read -r -a pytest_args <<<"${PYTEST_ARGS:-}"
[ ${#pytest_args[@]} -gt 0 ] || pytest_args=(tests)

fail() {
    pjson_log "package: $*"
    exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/pjson-package.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
dist=${PJSON_DIST:-$work/dist}
mkdir -p "$dist" || exit 1

# Prints "MAJOR.MINOR" of an interpreter.
version_of() {
    "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'
}

# --- build -----------------------------------------------------------------------------
# `python -m build` makes the sdist first and the wheel from the unpacked
# sdist, each in an isolated environment: the wheel comes out only if the
# sdist holds everything the build needs.
build_python=${PJSON_BUILD_PYTHON:-python3}
command -v "$build_python" >/dev/null 2>&1 || fail "no interpreter $build_python"
tools=$work/build-venv
pjson_log "setting up $tools ($("$build_python" -c 'import sys; print(sys.executable)'))"
pjson_quietly "$build_python" -m venv "$tools" || fail "could not create $tools"
pjson_quietly "$tools/bin/python" -m pip install --upgrade pip build || fail "could not install build"
rm -f "$dist"/pavro_cjson-*.tar.gz "$dist"/pavro_cjson-*.whl
pjson_log "building the sdist and the wheel into $dist"
pjson_quietly "$tools/bin/python" -m build --outdir "$dist" "$root" || fail "python -m build failed"
sdists=("$dist"/pavro_cjson-*.tar.gz)
wheels=("$dist"/pavro_cjson-*.whl)
[ ${#sdists[@]} -eq 1 ] && [ -f "${sdists[0]}" ] || fail "expected one sdist in $dist"
[ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || fail "expected one wheel in $dist"
sdist=${sdists[0]}
wheel=${wheels[0]}

# --- contents --------------------------------------------------------------------------
# The sdist must carry every tracked file the build and the package are made
# of; the wheel the module, its stub, the model package and its typing
# marker, and no C++ sources.
pjson_log "checking $(basename "$sdist") and $(basename "$wheel")"
if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    sources=$(git -C "$root" ls-files common pjson pmodel pavro CMakeLists.txt pyproject.toml README.md)
else
    sources=$(find common pjson pmodel pavro CMakeLists.txt pyproject.toml README.md -type f -not -path '*/__pycache__/*')
fi
"$tools/bin/python" - "$sdist" "$wheel" "$sources" <<'EOF' || fail "the sdist or the wheel is incomplete"
import fnmatch, sys, tarfile, zipfile

sdist, wheel, sources = sys.argv[1], sys.argv[2], sys.argv[3].split()
problems = []

with tarfile.open(sdist) as tar:
    # Every member sits under one directory, "pavro_cjson-VERSION/".
    in_sdist = {name.partition("/")[2] for name in tar.getnames()}
for name in sorted(set(sources) | {"PKG-INFO", "pjson/pavro_cjson.pyi", "pmodel/_pavro_model.pyi", "pavro/py.typed"}):
    if name not in in_sdist:
        problems.append("sdist lacks " + name)

with zipfile.ZipFile(wheel) as whl:
    in_wheel = set(whl.namelist())
wanted = ["pavro_cjson.*.so", "pavro_cjson.pyi", "_pavro_model.*.so", "_pavro_model.pyi",
          "pavro/__init__.py", "pavro/bag.py",
          "pavro/demo.py", "pavro/py.typed", "*.dist-info/METADATA"]
for pattern in wanted:
    if not fnmatch.filter(in_wheel, pattern):
        problems.append("wheel lacks " + pattern)
for name in sorted(in_wheel):
    if name.endswith((".cpp", ".hpp")):
        problems.append("wheel carries the source " + name)

for problem in problems:
    print(problem, file=sys.stderr)
sys.exit(1 if problems else 0)
EOF

# The wheel on the interpreter that built it: it installs with its declared
# dependencies, the stub lies beside the module, and the demo round-trips.
pjson_log "installing $(basename "$wheel") and running the demo"
pjson_quietly "$tools/bin/python" -m pip install "$wheel" || fail "the wheel does not install"
(cd "$work" && pjson_quietly "$tools/bin/python" - <<'EOF') || fail "the installed wheel is incomplete"
import os, pavro
import pavro_cjson
here = os.path.dirname(pavro_cjson.__file__)
assert os.path.isfile(os.path.join(here, "pavro_cjson.pyi")), "no stub beside " + pavro_cjson.__file__
assert os.path.isfile(os.path.join(os.path.dirname(pavro.__file__), "py.typed")), "no py.typed"
EOF
(cd "$work" && pjson_quietly "$tools/bin/python" -m pavro.demo) || fail "the demo failed on the installed wheel"

# --- the sdist on each interpreter -------------------------------------------------------
summaries=()
failed=0

# Installs the sdist into a fresh venv and runs the tests; leaves a one-line
# result in $result.
run_one() {
    local python=$1 version venv run log status closing
    result=
    if ! command -v "$python" >/dev/null 2>&1; then
        result="FAIL  no such interpreter"
        return 1
    fi
    version=$(version_of "$python") || { result="FAIL  interpreter does not run"; return 1; }
    venv=$work/venv-$version
    run=$work/run-$version
    pjson_log "installing the sdist into $venv ($("$python" -c 'import sys; print(sys.executable)'))"
    rm -rf "$venv" "$run"
    if ! pjson_quietly "$python" -m venv "$venv" ||
            ! pjson_quietly "$venv/bin/python" -m pip install --upgrade pip; then
        result="FAIL  could not set up a venv"
        return 1
    fi
    # Warnings are errors here as in tools/test.sh; the dependencies come
    # from the sdist's metadata, the test tools from the extra.
    if ! pjson_quietly "$venv/bin/python" -m pip install \
            --config-settings=cmake.define.PJSON_WERROR=ON "$sdist[test]"; then
        result="FAIL  the sdist does not build or install"
        return 1
    fi
    (cd "$work" && "$venv/bin/python" -c 'if True:
        import cffi, ijson, ujson, pavro_cjson
        print("==> with ujson %s, ijson %s, cffi %s; parser %s" % (ujson.__version__,
              ijson.__version__, cffi.__version__, pavro_cjson.ijson.__name__))') >&2
    # The tests run from a copy in a directory that holds nothing else: the
    # interpreter puts the working directory first on sys.path, and the
    # children some tests start inherit it.  conftest.py checks where the
    # package came from.
    mkdir -p "$run" && cp -R "$root/tests" "$run/tests" || return 1
    pjson_log "running the tests with $("$venv/bin/python" -c 'import sys; print("Python", sys.version.split()[0])') against the installed sdist"
    log=$(mktemp)
    (cd "$run" && PJSON_TEST_INSTALLED=1 "$venv/bin/python" -m pytest -q -ra -p no:cacheprovider \
        "${pytest_args[@]}") 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    closing=$(grep -E '(passed|failed|error|no tests ran)' "$log" | tail -n 1 | sed -E 's/^=+ *//; s/ *=+$//')
    rm -f "$log"
    case $status in
        0) result="ok    $closing" ;;
        5) result="FAIL  no tests were collected" ;;
        *) result="FAIL  ${closing:-pytest exited with status $status}" ;;
    esac
    rm -rf "$venv" "$run"
    [ "$status" -eq 0 ]
}

for python in "$@"; do
    started=$SECONDS
    if ! run_one "$python"; then
        failed=1
    fi
    summaries+=("$(printf '%-40s %s (%ds)' "$python" "$result" $((SECONDS - started)))")
done

echo
echo "Summary (sdist $(basename "$sdist")):"
for line in "${summaries[@]}"; do
    echo "  $line"
done
exit "$failed"
