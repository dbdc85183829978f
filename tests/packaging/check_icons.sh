#!/usr/bin/env bash
# The icons in the repository are what resources/make_icon.py draws today.
set -euo pipefail
source="$1"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
python3 "$source/resources/make_icon.py" "$scratch"
status=0
while IFS= read -r file; do
    cmp -s "$scratch/$file" "$source/$file" || { echo "diverso da quello che disegna make_icon.py: $file" >&2; status=1; }
done < <(cd "$scratch" && find . -type f | sed 's|^\./||')
exit $status
