#!/usr/bin/env bash
# Line coverage of the module's C++: builds pavro_cjson with gcov
# instrumentation into its own venv (.venv-cov in the project root, on the
# default python3), runs the test suite, and prints the line coverage of
# every source file followed by the failure returns no test reached
# (tools/uncovered_failures.py).  Child interpreters that tests start add
# their counts to the same data.
#
#   tools/coverage.sh [pytest arguments]        default: the whole suite
#
# PJSON_COV_PYTHON names another interpreter; PJSON_COV_VENV puts the venv
# elsewhere.  It reports and does not judge: it exits non-zero only if
# set-up or build fails, not when tests fail or lines go unreached.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
root=$(pjson_root)
cd "$root" || exit 1

python=${PJSON_COV_PYTHON:-python3}
venv=${PJSON_COV_VENV:-$root/.venv-cov}
venv_python=$venv/bin/python
gcov=${GCOV:-gcov}

fail() {
    pjson_log "coverage: $*"
    exit 1
}

command -v "$gcov" >/dev/null 2>&1 || fail "no $gcov (it comes with g++)"

# --- the venv -------------------------------------------------------------------------
pjson_venv "$python" "$venv" || fail "could not set up $venv"

# --- the module ------------------------------------------------------------------------
# A fixed build folder, made afresh: gcov needs the notes (.gcno) the
# compiler leaves beside the objects, and the counts (.gcda) land there too.
build=$venv/build
rm -rf "$build" || exit 1
pjson_log "building pavro_cjson with gcov instrumentation"
(PATH="$venv/bin:$PATH" pjson_quietly "$venv_python" -m pip install --no-build-isolation \
    --force-reinstall --no-deps --config-settings=cmake.define.PJSON_COVERAGE=ON \
    --config-settings=cmake.build-type=Debug --config-settings=build-dir="$build" .) ||
    fail "build failed"

# --- the run ------------------------------------------------------------------------------
pjson_log "running the tests"
if [ $# -eq 0 ]; then
    set -- tests
fi
"$venv_python" -m pytest -q -p no:cacheprovider "$@"
status=$?
[ "$status" -eq 0 ] || pjson_log "the tests failed (status $status); the counts cover what ran"

# --- the report ---------------------------------------------------------------------------
# One JSON file per object, with branch counts; -p keeps the two reader.cpp
# (and writer.cpp) apart.
out=$build/gcov
rm -rf "$out" && mkdir -p "$out" || exit 1
mapfile -t data < <(find "$build" -name '*.gcda')
[ "${#data[@]}" -gt 0 ] || fail "no coverage data under $build"
(cd "$out" && "$gcov" --preserve-paths --branch-probabilities --json-format "${data[@]}" >/dev/null) ||
    fail "gcov failed"
"$venv_python" "$root/tools/uncovered_failures.py" --root "$root" "$out"/*.gcov.json.gz
