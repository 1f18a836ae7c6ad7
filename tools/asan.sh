#!/usr/bin/env bash
# Memory-error run: builds pavro_cjson with AddressSanitizer and
# UndefinedBehaviorSanitizer into its own venv (.venv-asan in the project
# root, on the default python3) and runs the test suite with the sanitizer
# runtime preloaded.  Any report aborts the process that made it, so the
# run fails; a test's child interpreters inherit the sanitizers too.
#
#   tools/asan.sh [pytest arguments]        default: the whole suite
#
# PJSON_ASAN_PYTHON names another interpreter; PJSON_ASAN_VENV puts the
# venv elsewhere.  Exits non-zero if set-up, build or any test fails.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
root=$(pjson_root)
cd "$root" || exit 1

python=${PJSON_ASAN_PYTHON:-python3}
venv=${PJSON_ASAN_VENV:-$root/.venv-asan}
venv_python=$venv/bin/python
cxx=${CXX:-g++}

fail() {
    pjson_log "asan: $*"
    exit 1
}

# --- the sanitizer runtimes --------------------------------------------------------
# The interpreter is not built with them, so they must be loaded before
# anything else: ASan refuses to start otherwise.  They come with g++.
runtime() {
    local path
    path=$("$cxx" -print-file-name="$1" 2>/dev/null) || return 1
    case "$path" in /*) [ -e "$path" ] && printf '%s\n' "$path" ;; *) return 1 ;; esac
}
if ! runtime libasan.so >/dev/null || ! runtime libubsan.so >/dev/null; then
    [ "$(id -u)" -eq 0 ] || fail "no sanitizer runtimes for $cxx; install g++ as root"
    pjson_log "installing g++ for the sanitizer runtimes"
    export DEBIAN_FRONTEND=noninteractive
    pjson_quietly apt-get update -qq || fail "apt-get update failed"
    pjson_quietly apt-get install -y -qq g++ || fail "apt-get install g++ failed"
fi
libasan=$(runtime libasan.so) || fail "$cxx has no libasan.so"
libubsan=$(runtime libubsan.so) || fail "$cxx has no libubsan.so"

# --- the venv -------------------------------------------------------------------------
pjson_venv "$python" "$venv" || fail "could not set up $venv"

# --- the module ------------------------------------------------------------------------
# With debug information, so that a report names files and lines.
pjson_log "building pavro_cjson with AddressSanitizer and UBSan"
(PATH="$venv/bin:$PATH" pjson_quietly "$venv_python" -m pip install --no-build-isolation \
    --force-reinstall --no-deps --config-settings=cmake.define.PJSON_ASAN=ON \
    --config-settings=cmake.build-type=RelWithDebInfo .) || fail "build failed"

# --- the run ------------------------------------------------------------------------------
# PYTHONMALLOC=malloc: every Python object then comes from malloc, so a
# reference released once too often becomes a heap-use-after-free that
# ASan sees, instead of a reuse inside the interpreter's own pools.
# detect_leaks=0: the interpreter keeps memory until exit by design, and
# reference leaks are tools/leakcheck.sh's business.
# allocator_may_return_null=1: an impossible allocation gives MemoryError,
# as it would without the sanitizer, instead of a report.
# PJSON_SANITIZER tells tests what they run under: a test that caps its
# child's address space (RLIMIT_AS) cannot do so here, since ASan reserves
# terabytes of shadow memory at start-up.
# Reports go to files, one per process: pytest captures the test's stderr
# and a process that aborts takes the captured text with it, and a child
# interpreter's stderr is often a pipe the test reads.  They are shown
# after the run, and any report fails it.
reports=$(mktemp -d "${TMPDIR:-/tmp}/pjson-asan.XXXXXX") || exit 1
trap 'rm -rf "$reports"' EXIT
pjson_log "running the tests under AddressSanitizer and UBSan"
if [ $# -eq 0 ]; then
    set -- tests
fi
env LD_PRELOAD="$libasan $libubsan${LD_PRELOAD:+ $LD_PRELOAD}" \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
    PYTHONMALLOC=malloc \
    PJSON_SANITIZER=address \
    "$venv_python" -m pytest -q -p no:cacheprovider "$@"
status=$?

found=("$reports"/*)
if [ -e "${found[0]}" ]; then
    for report in "${found[@]}"; do
        printf '\n==> sanitizer report %s\n' "${report##*/}" >&2
        cat "$report" >&2
    done
    pjson_log "sanitizer reports: ${#found[@]}"
    grep -h -E '^SUMMARY|ERROR: |runtime error: ' "${found[@]}" | sed -E 's/^==[0-9]+==//' |
        sort | uniq -c >&2
    [ "$status" -ne 0 ] || status=1
else
    pjson_log "sanitizer reports: 0"
fi
exit "$status"
