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
# What Qt loads at run time, which the library scan cannot see, and what the scan must have found
# (libqt6gui6 holds the xcb platform plugin too).
for package in qt6-translations-l10n fonts-liberation2 libqt6gui6 libqt6widgets6 libsqlite3-0 libpq5 libc6; do
    grep -Eq "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends non contiene $package: $depends"
done
# The books are read through sqlite3 and libpq themselves: Qt's database drivers are not needed.
grep -q libqt6sql6 <<<"$depends" && fail "Depends non deve richiedere Qt SQL: $depends"
# Without Qt's Wayland plugin a Wayland session shows the window through XWayland: recommended.
[ "$(field Recommends)" = "qt6-wayland" ] || fail "Recommends: $(field Recommends)"

dpkg-deb -x "$deb" "$work/root"
loaded_files="$work/loaded"
check_tree "$work/root/usr"
# Every Qt plugin and translation the running program loaded comes from a package Depends names.
while IFS= read -r file; do
    package="$(dpkg -S "$file" | head -n1 | cut -d: -f1)"
    grep -Eq "(^|, )$package( |,|$)" <<<"$depends" || fail "vinzal carica $file, di $package, che Depends non nomina"
done < <(grep -E '/qt6/(plugins|translations)/' "$loaded_files")
grep -q '/platforms/libqxcb.so$' "$loaded_files" || fail "vinzal non ha caricato il modulo xcb di Qt"
# Stripped, without the compilers' notes, and hardened as Debian builds its packages: a
# position-independent executable, relocations read-only and resolved at start, a stack protector,
# and every file compiled with _FORTIFY_SOURCE (whether a call could be fortified is the compiler's
# judgement: a program may have none).
for program in vinzal vinzal-db; do
    readelf -SW "$work/root/usr/bin/$program" >"$work/sections"
    readelf -hlW --dyn-syms "$work/root/usr/bin/$program" >"$work/elf"
    readelf -dW "$work/root/usr/bin/$program" >"$work/dynamic"
    ! grep -E ' \.(debug_info|comment) ' "$work/sections" >/dev/null || fail "$program ha ancora .debug_info o .comment"
    grep -E 'Type: +DYN' "$work/elf" >/dev/null || fail "$program non è un eseguibile indipendente dalla posizione"
    grep GNU_RELRO "$work/elf" >/dev/null || fail "$program non ha la tabella delle rilocazioni in sola lettura"
    grep -E '\(FLAGS_1\).* NOW' "$work/dynamic" >/dev/null || fail "$program non risolve i simboli all'avvio"
    grep __stack_chk_fail "$work/elf" >/dev/null || fail "$program non ha la protezione della pila"
done
unfortified="$(python3 -c 'import json, sys
print("\n".join(e["file"] for e in json.load(open(sys.argv[1])) if "-D_FORTIFY_SOURCE=2" not in e["command"]))' \
    "$build/compile_commands.json")"
[ -z "$unfortified" ] || fail "compilati senza _FORTIFY_SOURCE: $unfortified"

# lintian, pedantic and with its informational tags, says nothing but what is allowed here, each
# with its reason:
#  - initial-upload-closes-no-bugs: the package is not uploaded to Debian, so no bug asks for it.
#  - hardening-no-fortify-functions: every file is compiled with _FORTIFY_SOURCE=2 (checked above),
#    but the compiler uses a checked call only where it knows the size of the buffer and cannot
#    prove the call safe; vinzal-db's calls (memcpy, read, ...) have none of that kind.
allowed='initial-upload-closes-no-bugs|hardening-no-fortify-functions'
command -v lintian >/dev/null || fail "lintian non è installato"
lintian --fail-on none --pedantic -I --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>"$work/lintian.err" ||
    { cat "$work/lintian.err"; fail "lintian non riesce"; }
cat "$work/lintian.log"
grep -E '^[EWIPX]: ' "$work/lintian.log" | grep -Ev "^.: vinzal: ($allowed) " >"$work/lintian.rest" || true
[ ! -s "$work/lintian.rest" ] || fail "lintian trova: $(cat "$work/lintian.rest")"
echo "Pacchetto $(basename "$deb") controllato"
