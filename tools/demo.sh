#!/usr/bin/env bash
# The smoke test: builds and installs pavro_cjson into .venv-<major.minor>
# (created on first use; built again only when the sources changed) and
# runs the demo: a chain model saved with every writer, compressed and
# plain, loaded back with every reader and checked.
#
#   tools/demo.sh [TEXT_FILE] [--out DIR] [--length N] [--seed N]
#
# The interpreter is python3 unless PYTHON names another one.  Arguments
# are passed to `python -m pavro.demo` (see --help).
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"

pjson_venv "${PYTHON:-python3}"
pjson_install
# Run from where we were called, so relative paths mean what the caller
# meant; the installed package is the one imported.
exec "$VENV_PYTHON" -m pavro.demo "$@"
