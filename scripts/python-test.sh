#!/usr/bin/env bash
# Builds the ordel_py wheel once (stable ABI, cp312-abi3) and tests it on
# every CPython from 3.12 on that is found: a venv per version under build/,
# the wheel, mypy's stubtest against the shipped stub, then pytest. The
# awaitable operations are tested on asyncio's own loop and on uvloop.
# CPython 3.12 is required; 3.13 is tested when present.
set -euo pipefail
cd "$(dirname "$0")/.."

# Prints the first interpreter for version $1 (for example 3.12) that
# actually runs: python$1 on PATH, then pyenv's version directories.
find_python() {
  local version="$1" candidate
  local candidates=()
  if candidate=$(command -v "python$version" 2>/dev/null); then
    candidates+=("$candidate")
  fi
  local pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
  for candidate in "$pyenv_root"/versions/"$version".*/bin/python"$version"; do
    [[ -x "$candidate" ]] && candidates+=("$candidate")
  done
  for candidate in "${candidates[@]}"; do
    if "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" \
        >/dev/null 2>&1; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

declare -A pythons=()
for version in 3.12 3.13; do
  if python=$(find_python "$version"); then
    pythons[$version]="$python"
  fi
done
if [[ -z "${pythons[3.12]:-}" ]]; then
  echo "python-test: CPython 3.12 not found (on PATH or under pyenv)" >&2
  exit 1
fi
[[ -n "${pythons[3.13]:-}" ]] || echo "python-test: CPython 3.13 not found; testing 3.12 only"

wheel_dir=build/wheels
rm -rf "$wheel_dir"
"${pythons[3.12]}" -m pip wheel . -w "$wheel_dir" --no-deps --quiet
wheels=("$wheel_dir"/ordel_py-*-cp312-abi3-*.whl)
wheel="${wheels[0]}"

for version in 3.12 3.13; do
  python="${pythons[$version]:-}"
  [[ -n "$python" ]] || continue
  venv="build/venv-$version"
  echo "== CPython $version ($python)"
  [[ -x "$venv/bin/python" ]] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet pytest pytest-asyncio mypy uvloop
  "$venv/bin/python" -m pip install --quiet --force-reinstall --no-deps "$wheel"
  "$venv/bin/python" -m mypy.stubtest ordel_py
  "$venv/bin/python" -m pytest tests/python -q -p no:cacheprovider
done
