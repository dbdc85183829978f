#!/usr/bin/env bash
# cpack -G DEB makes a package with the right fields and files; extracted, its programs run; lintian
# (when installed) finds no error.
# Usage: check_deb.sh BUILD_DIR SOURCE_DIR VERSION
set -euo pipefail
build="$1" source="$2" project_version="$3"
. "$(dirname "${BASH_SOURCE[0]}")/installed_files.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out") >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack non riesce"; }
debs=("$work"/out/*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack non ha fatto un solo pacchetto: ${debs[*]}"
deb="${debs[0]}"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = vinzal ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$project_version-1" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
depends="$(field Depends)"
# What Qt loads at run time, which the library scan cannot see, and what the scan must have found.
for package in libqt6sql6-sqlite qt6-qpa-plugins qt6-translations-l10n fonts-liberation2 libqt6widgets6 \
               libqt6sql6 libsqlite3-0 libc6; do
    grep -Eq "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends non contiene $package: $depends"
done
# Books on a server need Qt's PostgreSQL driver, files do not: recommended, not required; so is Qt's
# Wayland plugin, without which a Wayland session shows the window through XWayland.
[ "$(field Recommends)" = "libqt6sql6-psql, qt6-wayland" ] || fail "Recommends: $(field Recommends)"
grep -q psql <<<"$depends" && fail "Depends non deve richiedere il driver PostgreSQL: $depends"

dpkg-deb -x "$deb" "$work/root"
check_tree "$work/root/usr"
# Stripped: no debugging sections in the programs.
for program in vinzal vinzal-db; do
    if readelf -S "$work/root/usr/bin/$program" | grep -q '\.debug_info'; then
        fail "$program non è ridotto (strip)"
    fi
done

if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 ||
        { cat "$work/lintian.log"; fail "lintian trova errori"; }
    cat "$work/lintian.log"
else
    echo "lintian non è installato: controllo saltato"
fi
echo "Pacchetto $(basename "$deb") controllato"
