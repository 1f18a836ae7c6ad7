# Virtual environment set-up shared by tools/test.sh, tools/demo.sh and
# tools/pavro.sh.
# Source it from bash; it defines functions and changes nothing by itself.
#
#   pjson_root            the project root (the directory above tools/)
#   pjson_venv PYTHON [DIR]
#                         create or reuse DIR (default .venv-<major.minor>)
#                         for PYTHON, with the build and test requirements;
#                         sets VENV_DIR and VENV_PYTHON
#   pjson_release         let other runs use the venv again
#   pjson_install [ARG..] build and install the project into that venv,
#                         passing ARGs to pip (e.g. config settings), unless
#                         it holds a build of the same sources and ARGs
#
# Set PJSON_QUIET=0 to see pip's and the build's full output.

PJSON_REQUIREMENTS=(scikit-build-core ujson ijson cffi pytest hypothesis tqdm)

pjson_root() {
    (cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
}

pjson_log() {
    printf '==> %s\n' "$*" >&2
}

# Runs a command quietly; its output is shown only when it fails, so a CI
# log stays short but a broken install still explains itself.
pjson_quietly() {
    if [ "${PJSON_QUIET:-1}" = 0 ]; then
        "$@"
        return
    fi
    local log status=0
    log=$(mktemp)
    "$@" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$log" >&2
    fi
    rm -f "$log"
    return "$status"
}

pjson_venv() {
    local python=$1 root version
    root=$(pjson_root)
    if ! command -v "$python" >/dev/null 2>&1; then
        pjson_log "no such interpreter: $python"
        return 1
    fi
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])') || return 1
    VENV_DIR=${2:-$root/.venv-$version}
    VENV_PYTHON="$VENV_DIR/bin/python"

    # Two runs sharing a venv would reinstall the module under each other's
    # tests; the second waits.  The lock is held until pjson_release.
    mkdir -p "$VENV_DIR" || return 1
    exec {PJSON_LOCK_FD}>"$VENV_DIR/.pjson-lock" || return 1
    if ! flock -n "$PJSON_LOCK_FD"; then
        pjson_log "waiting for another run using $VENV_DIR"
        flock "$PJSON_LOCK_FD" || return 1
    fi

    # The marker records what the venv was set up with; a venv that lacks
    # it (new, or interrupted half-way) is set up again.
    local marker="$VENV_DIR/.pjson-requirements"
    local wanted="${PJSON_REQUIREMENTS[*]}"
    if [ -x "$VENV_PYTHON" ] && [ -f "$marker" ] && [ "$(cat "$marker")" = "$wanted" ]; then
        return 0
    fi
    pjson_log "setting up $VENV_DIR ($("$python" -c 'import sys; print(sys.executable)'))"
    rm -f "$VENV_DIR/.pjson-installed"
    pjson_quietly "$python" -m venv "$VENV_DIR" || return 1
    pjson_quietly "$VENV_PYTHON" -m pip install --upgrade pip || return 1
    pjson_quietly "$VENV_PYTHON" -m pip install --upgrade "${PJSON_REQUIREMENTS[@]}" || return 1
    # The build runs without isolation, so CMake must be on PATH; where the
    # system has none, the PyPI wheel serves.
    if ! command -v cmake >/dev/null 2>&1; then
        pjson_quietly "$VENV_PYTHON" -m pip install cmake || return 1
    fi
    printf '%s\n' "$wanted" >"$marker"
}

pjson_release() {
    if [ -n "${PJSON_LOCK_FD:-}" ]; then
        exec {PJSON_LOCK_FD}>&-
        PJSON_LOCK_FD=
    fi
}

# scikit-build-core builds in a fresh temporary directory unless the
# project sets build-dir, so every install compiles the current sources.
# An install is skipped when the venv already holds one built from the same
# sources with the same pip arguments and build environment (the stamp)
# and the module imports from the venv; anything else builds again.
pjson_install() {
    local root stamp wanted
    root=$(pjson_root)
    stamp="$VENV_DIR/.pjson-installed"
    wanted=$(pjson_build_stamp "$@") || return 1
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ] && pjson_check_import 2>/dev/null; then
        pjson_log "pavro_cjson in $VENV_DIR is up to date with the sources"
        return 0
    fi
    # Gone first: an install that fails or is interrupted must not look current.
    rm -f "$stamp"
    pjson_log "building and installing pavro_cjson into $VENV_DIR"
    (cd "$root" && PATH="$VENV_DIR/bin:$PATH" pjson_quietly "$VENV_PYTHON" -m pip install \
        --no-build-isolation --force-reinstall --no-deps "$@" .) || return 1
    pjson_check_import || return 1
    printf '%s\n' "$wanted" >"$stamp"
}

# Prints a digest of everything that goes into a build: the pip arguments,
# the compiler settings from the environment, and the name and content of
# every file the build reads, tracked by git or not.
pjson_build_stamp() {
    local root
    root=$(pjson_root)
    (
        cd "$root" || exit 1
        printf 'arg %s\n' "$@"
        printf 'env %s\n' "CC=${CC:-}" "CXX=${CXX:-}" "CFLAGS=${CFLAGS:-}" \
            "CXXFLAGS=${CXXFLAGS:-}" "LDFLAGS=${LDFLAGS:-}" "CMAKE_ARGS=${CMAKE_ARGS:-}"
        find common pjson pmodel pavro CMakeLists.txt pyproject.toml -type f \
            ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 | LC_ALL=C sort -z |
            xargs -0 sha256sum
    ) | sha256sum | cut -d ' ' -f 1
}

# Run from the project root, as the tests are: the module must come from
# the venv, not from a stray build lying in the tree.
pjson_check_import() {
    local root
    root=$(pjson_root)
    (cd "$root" && "$VENV_PYTHON" - "$VENV_DIR" <<'EOF'
import os, sys
import pavro_cjson
where = os.path.realpath(pavro_cjson.__file__)
venv = os.path.realpath(sys.argv[1])
if not where.startswith(venv + os.sep):
    sys.exit("pavro_cjson imports from %s, not from the venv %s" % (where, venv))
EOF
    )
}
