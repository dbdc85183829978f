#!/usr/bin/env bash
# scripts/start without a display says so before building anything (a build takes minutes on a new
# clone). It runs here on a copy whose scripts/setup only records that it was called.
# Usage: check_start.sh SOURCE_DIR
set -euo pipefail
source="$1"
copy="$(mktemp -d)"
trap 'rm -rf "$copy"' EXIT
mkdir "$copy/scripts"
cp "$source/scripts/start" "$copy/scripts/start"
printf '#!/bin/sh\ntouch "%s/built"\nexit 1\n' "$copy" >"$copy/scripts/setup"
chmod +x "$copy/scripts/setup"
status=0
errors="$(cd "$copy" && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM scripts/start 2>&1 >/dev/null)" || status=$?
[ "$status" -eq 1 ] || { echo "scripts/start senza schermo: stato $status" >&2; exit 1; }
grep -q "schermo grafico" <<<"$errors" || { echo "scripts/start senza schermo non lo dice: $errors" >&2; exit 1; }
[ ! -e "$copy/built" ] || { echo "scripts/start costruisce prima di cercare lo schermo" >&2; exit 1; }
