#!/usr/bin/env bash
# Checks the published types, as a user of the installed package meets them:
#   1. the stub pavro_cjson.pyi against the built module (mypy's stubtest);
#   2. the README's example with mypy --strict, and then runs it;
#   3. tests/typing_usage.py with mypy --strict: users' own models and files
#      that the stub must accept, and misuses it must reject;
#   4. the pavro package with mypy --strict.
# Steps 1 to 3 run outside the project tree, so the module, its stub and
# pavro's py.typed marker can only come from the venv they were installed in.
#
#   tools/typecheck.sh [PYTHON]       default: python3
#
# Uses the venv of tools/test.sh (.venv-<major.minor>), adding mypy to it.
# Exits non-zero if the set-up, the build or any check fails.
set -uo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/venv.sh"
root=$(pjson_root)
cd "$root" || exit 1

python=${1:-python3}
# Pinned: a new mypy may judge the same code differently, and a check that
# changes its mind by itself is no check.
mypy_version=${PJSON_MYPY_VERSION:-2.4.1}

pjson_venv "$python" || exit 1
trap pjson_release EXIT
if ! "$VENV_PYTHON" -c 'import sys; from importlib.metadata import version
sys.exit(version("mypy") != sys.argv[1])' "$mypy_version" 2>/dev/null; then
    pjson_log "installing mypy $mypy_version into $VENV_DIR"
    pjson_quietly "$VENV_PYTHON" -m pip install "mypy==$mypy_version" || exit 1
fi
pjson_install || exit 1

work=$(mktemp -d)
trap 'rm -rf "$work"; pjson_release' EXIT
cache=(--cache-dir "$VENV_DIR/.mypy-cache")
failed=()

# The first ```python block of the README's "## Example" section.
if ! "$VENV_PYTHON" - "$root/README.md" "$work/readme_example.py" <<'EOF'
import re
import sys
text = open(sys.argv[1], encoding="utf-8").read()
section = re.search(r"^## Example\n(.*?)(?=^## |\Z)", text, re.M | re.S)
block = section and re.search(r"^```python\n(.*?)^```", section.group(1), re.M | re.S)
if not block:
    sys.exit("README.md: no ```python block under '## Example'")
open(sys.argv[2], "w", encoding="utf-8").write(block.group(1))
EOF
then
    failed+=("README example not found")
fi

pjson_log "stubtest: pavro_cjson.pyi and _pavro_model.pyi against the built modules"
if ! (cd "$work" && "$VENV_PYTHON" -m mypy.stubtest pavro_cjson _pavro_model); then
    failed+=("stubtest")
fi

if [ -f "$work/readme_example.py" ]; then
    pjson_log "mypy --strict on the README example, then running it"
    if ! (cd "$work" && "$VENV_PYTHON" -m mypy --strict "${cache[@]}" readme_example.py); then
        failed+=("mypy --strict README example")
    elif ! (cd "$work" && "$VENV_PYTHON" readme_example.py); then
        failed+=("running the README example")
    fi
fi

pjson_log "mypy --strict on tests/typing_usage.py"
cp "$root/tests/typing_usage.py" "$work/" || exit 1
if ! (cd "$work" && "$VENV_PYTHON" -m mypy --strict "${cache[@]}" typing_usage.py); then
    failed+=("mypy --strict tests/typing_usage.py")
fi

pjson_log "mypy --strict on pavro"
if ! "$VENV_PYTHON" -m mypy --strict "${cache[@]}" pavro; then
    failed+=("mypy --strict pavro")
fi

if [ ${#failed[@]} -ne 0 ]; then
    printf 'typecheck FAILED: %s\n' "${failed[@]}"
    exit 1
fi
echo "typecheck ok: stubtest, README example, typing_usage, pavro"
