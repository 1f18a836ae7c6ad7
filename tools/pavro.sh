#!/usr/bin/env bash
# Runs the pavro command-line tool in .venv-<major.minor> (created on first
# use), building and installing the project first when its sources changed.
#
#   tools/pavro.sh                    a walk through the tool on the built-in
#                                     text: train, info, say, convert, info
#   tools/pavro.sh COMMAND [ARG...]   `pavro COMMAND ARG...`; see --help
#
# The interpreter is python3 unless PYTHON names another one.  Exits with
# the tool's status, or non-zero if set-up or build fails.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"

pjson_venv "${PYTHON:-python3}"
pjson_install
if [ $# -gt 0 ]; then
    # Run from where we were called, so relative paths mean what the
    # caller meant; the installed package is the one imported.
    exec "$VENV_PYTHON" -m pavro "$@"
fi

# The walk-through works in a directory of its own, removed at the end.
work=$(mktemp -d "${TMPDIR:-/tmp}/pavro-tour.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
step() {
    printf '\n$ pavro %s\n' "$*"
    "$VENV_PYTHON" -m pavro "$@"
}
echo "The pavro tool on the built-in text, in $work (removed afterwards)."
echo "Run any of these yourself as: tools/pavro.sh COMMAND ARG..."
step train --builtin -o model.json
step info model.json
step say model.json -n 3 --seed 6
step convert model.json plain.json --plain
step info plain.json
