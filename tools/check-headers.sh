#!/usr/bin/env bash
# Compiles every module source against the headers of each CPython found
# (pyenv versions, or the interpreters given as arguments), warnings as
# errors, without linking: proves the version guards hold from 3.7 up.
set -euo pipefail
cd "$(dirname "$0")/.."

interpreters=("$@")
if [ ${#interpreters[@]} -eq 0 ]; then
    for candidate in "$HOME"/.pyenv/versions/3.*/bin/python3 python3; do
        [ -x "$candidate" ] || command -v "$candidate" >/dev/null 2>&1 || continue
        interpreters+=("$candidate")
    done
fi

cxx=${CXX:-g++}
status=0
seen=" "
for python in "${interpreters[@]}"; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    case "$version" in 3.[0-6]) continue ;; esac
    case "$seen" in *" $version "*) continue ;; esac
    seen="$seen$version "
    include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    failed=0
    for source in common/*.cpp pjson/*.cpp pjson/*/*.cpp pmodel/*.cpp; do
        if ! "$cxx" -std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Wshadow \
            -Wno-missing-field-initializers -Wno-cast-function-type -Werror \
            -I"${source%%/*}" -isystem "$include" "$source"; then
            failed=1
        fi
    done
    if [ $failed -eq 0 ]; then
        echo "headers $version: ok"
    else
        echo "headers $version: FAILED"
        status=1
    fi
done
exit $status
