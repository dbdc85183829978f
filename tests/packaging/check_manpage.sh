#!/usr/bin/env bash
# A manual page renders with no warning from man or groff.
set -euo pipefail
page="$1"
warnings="$( (LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=all -l "$page" >/dev/null) 2>&1)"
warnings+="$(groff -ww -z -man -Kutf8 "$page" 2>&1)"
if [ -n "$warnings" ]; then
    echo "$warnings" >&2
    exit 1
fi
