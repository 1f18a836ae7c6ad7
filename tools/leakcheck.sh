#!/usr/bin/env bash
# Reference-leak check: builds pavro_cjson against Debian's debug
# interpreter (python3.11-dbg, which has sys.gettotalrefcount) in its own
# venv, .venv-dbg in the project root, and runs tests/leakcheck.py with it.
#
#   tools/leakcheck.sh [leakcheck.py arguments, e.g. -k load_json_big -n 500]
#
# Missing Debian packages are installed with apt-get (as root, as in CI).
# PJSON_DEBUG_PYTHON names another debug interpreter; PJSON_LEAK_VENV puts
# the venv elsewhere.  Exits non-zero if set-up, build or any case fails.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
root=$(pjson_root)
cd "$root" || exit 1

python=${PJSON_DEBUG_PYTHON:-python3.11-dbg}
venv=${PJSON_LEAK_VENV:-$root/.venv-dbg}
venv_python=$venv/bin/python

fail() {
    pjson_log "leakcheck: $*"
    exit 1
}

# --- Debian packages ----------------------------------------------------------
# The debug interpreter and its headers; the release headers they point
# into; ensurepip for the venv; what cffi, ujson and ijson need to build
# from source (see below); the yajl library, with its headers so that
# ijson gets its compiled backend here as it does from a wheel elsewhere
# (tests/leakcheck.py checks that backend before it trusts it).
packages=(python3.11-dbg libpython3.11-dbg python3.11-dev python3.11-venv g++
          libffi-dev libyajl2 libyajl-dev)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        fail "missing Debian packages (install them as root): ${missing[*]}"
    fi
    pjson_log "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    pjson_quietly apt-get update -qq || fail "apt-get update failed"
    pjson_quietly apt-get install -y -qq "${missing[@]}" || fail "apt-get install failed"
fi
command -v "$python" >/dev/null 2>&1 || fail "no interpreter $python"
"$python" -c 'import sys; sys.exit(not hasattr(sys, "gettotalrefcount"))' ||
    fail "$python is not a debug build (no sys.gettotalrefcount)"

# --- the venv ---------------------------------------------------------------------
# Every C extension in it is compiled here against the debug headers: a
# release wheel would load (the ABI is shared since 3.8) but its reference
# counting would not reach the interpreter's total, and objects it frees
# would look leaked.  pip's own warnings are silenced: a debug interpreter
# shows every ResourceWarning.
mkdir -p "$venv" || exit 1
exec {lock}>"$venv/.pjson-lock" || exit 1
if ! flock -n "$lock"; then
    pjson_log "waiting for another run using $venv"
    flock "$lock" || exit 1
fi
requirements=(scikit-build-core ujson ijson cffi)
marker="$venv/.pjson-requirements"
wanted="${requirements[*]} (C extensions from source)"
if ! [ -x "$venv_python" ] || ! [ -f "$marker" ] || [ "$(cat "$marker")" != "$wanted" ]; then
    pjson_log "setting up $venv ($python)"
    pjson_quietly "$python" -m venv "$venv" || fail "could not create $venv"
    PYTHONWARNINGS=ignore pjson_quietly "$venv_python" -m pip install --upgrade pip ||
        fail "could not upgrade pip"
    PYTHONWARNINGS=ignore pjson_quietly "$venv_python" -m pip install \
        --no-binary ujson,cffi,ijson "${requirements[@]}" || fail "could not install ${requirements[*]}"
    if ! command -v cmake >/dev/null 2>&1; then
        PYTHONWARNINGS=ignore pjson_quietly "$venv_python" -m pip install cmake ||
            fail "could not install cmake"
    fi
    printf '%s\n' "$wanted" >"$marker"
fi

# --- the module ---------------------------------------------------------------------
# Debian's debug include directory is a tree of symlinks into the release
# one; GCC resolves symlinks in system include paths by default, so
# Python.h would pick up the release pyconfig.h (no Py_DEBUG) and the
# module's own reference counting would go uncounted.  Built as Debug, the
# C API's assertions are on as well.
cxxflags=${CXXFLAGS:-}
if ${CXX:-c++} -fno-canonical-system-headers -x c++ -E - </dev/null >/dev/null 2>&1; then
    cxxflags="$cxxflags -fno-canonical-system-headers"
fi
pjson_log "building pavro_cjson against $("$venv_python" -c 'import sys; print("Python", sys.version.split()[0], "(debug)")')"
(PATH="$venv/bin:$PATH" CXXFLAGS="$cxxflags" PYTHONWARNINGS=ignore pjson_quietly \
    "$venv_python" -m pip install --no-build-isolation --force-reinstall --no-deps \
    --config-settings=cmake.build-type=Debug .) || fail "build failed"

# --- the check ------------------------------------------------------------------------
pjson_log "running tests/leakcheck.py"
"$venv_python" tests/leakcheck.py "$@"
