#!/usr/bin/env bash
# cmake --install into a scratch prefix holds exactly the files a user needs, and they work.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build="$1" source="$2" project_version="$3"
. "$(dirname "${BASH_SOURCE[0]}")/installed_files.sh"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
check_tree "$prefix"
echo "Installazione completa in $prefix"
