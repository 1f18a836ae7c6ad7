#!/usr/bin/env bash
# Builds pavro_cjson with warnings as errors and runs the test suite, once
# per interpreter, each in its own venv (.venv-<major.minor> in the project
# root, created on first use and reused after).
#
#   tools/test.sh [PYTHON ...]        default: python3
#
# Extra pytest arguments can be given in PYTEST_ARGS, e.g.
#   PYTEST_ARGS="-x tests/test_streaming.py" tools/test.sh
# Exits non-zero if any interpreter fails to set up, build, or pass.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
root=$(pjson_root)
cd "$root" || exit 1

if [ $# -eq 0 ]; then
    set -- python3
fi

read -r -a pytest_args <<<"${PYTEST_ARGS:-}"
summaries=()
failed=0

# Runs setup, build and tests for one interpreter; prints the test output
# and leaves a one-line result in $result.
run_one() {
    local python=$1 log status
    result=
    if ! pjson_venv "$python"; then
        result="FAIL  could not set up a venv"
        return 1
    fi
    if ! pjson_install --config-settings=cmake.define.PJSON_WERROR=ON; then
        result="FAIL  build or install failed"
        return 1
    fi
    pjson_log "running the tests with $("$VENV_PYTHON" -c 'import sys; print("Python", sys.version.split()[0])')"
    log=$(mktemp)
    "$VENV_PYTHON" -m pytest -q "${pytest_args[@]}" 2>&1 | tee "$log"
    status=${PIPESTATUS[0]}
    # pytest's closing line, e.g. "12 passed, 1 skipped in 3.41s".
    local closing
    closing=$(grep -E '(passed|failed|error|no tests ran)' "$log" | tail -n 1 | sed -E 's/^=+ *//; s/ *=+$//')
    rm -f "$log"
    case $status in
        0) result="ok    $closing" ;;
        5) result="FAIL  no tests were collected" ;;
        *) result="FAIL  ${closing:-pytest exited with status $status}" ;;
    esac
    [ "$status" -eq 0 ]
}

for python in "$@"; do
    if run_one "$python"; then
        :
    else
        failed=1
    fi
    pjson_release
    summaries+=("$(printf '%-40s %s' "$python" "$result")")
done

echo
echo "Summary:"
for line in "${summaries[@]}"; do
    echo "  $line"
done
exit "$failed"
