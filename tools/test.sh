#!/usr/bin/env bash
# The test suite on each interpreter named (default python3), as
# `tools/run tests-<minor>...`; PYTEST_ARGS are passed to pytest.
#   tools/test.sh python3 ~/.pyenv/versions/3.7.16/bin/python
set -euo pipefail
sessions=()
for python in "${@:-python3}"; do
    sessions+=("tests-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')")
done
read -r -a args <<<"${PYTEST_ARGS:-}"
exec "$(dirname "${BASH_SOURCE[0]}")/run" "${sessions[@]}" ${args[@]+-- "${args[@]}"}
