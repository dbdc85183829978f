# The files an installation holds, relative to its prefix: sourced by the install and package checks.
installed_files=(
    bin/vinzal
    bin/vinzal-db
    share/applications/it.vinzal.Vinzal.desktop
    share/metainfo/it.vinzal.Vinzal.metainfo.xml
    share/icons/hicolor/16x16/apps/it.vinzal.Vinzal.png
    share/icons/hicolor/32x32/apps/it.vinzal.Vinzal.png
    share/icons/hicolor/48x48/apps/it.vinzal.Vinzal.png
    share/icons/hicolor/64x64/apps/it.vinzal.Vinzal.png
    share/icons/hicolor/128x128/apps/it.vinzal.Vinzal.png
    share/icons/hicolor/256x256/apps/it.vinzal.Vinzal.png
    share/icons/hicolor/scalable/apps/it.vinzal.Vinzal.svg
    share/man/man1/vinzal.1.gz
    share/man/man1/vinzal-db.1.gz
    share/doc/vinzal/README.md
    share/doc/vinzal/docs/scheda.png
    share/doc/vinzal/docs/anteprima-importazione.png
    share/doc/vinzal/docs/file-formats.md
    share/doc/vinzal/docs/reliability.md
    share/doc/vinzal/docs/server.md
    share/doc/vinzal/docs/duplicates.md
    share/doc/vinzal/copyright
    share/doc/vinzal/changelog.Debian.gz
)

# When set, the window check writes there the files the running vinzal has mapped.
loaded_files=""

fail() {
    echo "ERRORE: $*" >&2
    exit 1
}

# Checks the tree under $1 (a prefix such as /usr or /usr/local): exactly the files above, the
# programs runnable, each icon as large as its folder says, the menu entry and metadata valid.
check_tree() {
    local prefix="$1"
    local file
    for file in "${installed_files[@]}"; do
        [ -s "$prefix/$file" ] || fail "manca o è vuoto: $file"
    done
    local expected actual
    expected="$(printf '%s\n' "${installed_files[@]}" | sort)"
    actual="$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)"
    [ "$expected" = "$actual" ] || fail "file installati diversi da quelli attesi:
$(diff <(echo "$expected") <(echo "$actual"))"
    [ -x "$prefix/bin/vinzal" ] && [ -x "$prefix/bin/vinzal-db" ] || fail "i programmi non sono eseguibili"

    local size width height
    for size in 16 32 48 64 128 256; do
        file="$prefix/share/icons/hicolor/${size}x${size}/apps/it.vinzal.Vinzal.png"
        [ "$(head -c 8 "$file" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "non è un PNG: $file"
        read -r width height < <(od -An -tu1 -j16 -N8 "$file" |
            awk '{ print $1 * 16777216 + $2 * 65536 + $3 * 256 + $4, $5 * 16777216 + $6 * 65536 + $7 * 256 + $8 }')
        [ "$width" = "$size" ] && [ "$height" = "$size" ] || fail "$file è di ${width}x${height} pixel"
    done
    grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/it.vinzal.Vinzal.svg" || fail "icona SVG non valida"

    desktop-file-validate "$prefix/share/applications/it.vinzal.Vinzal.desktop" || fail "voce del menu non valida"
    grep -qx 'Exec=vinzal --personale %f' "$prefix/share/applications/it.vinzal.Vinzal.desktop" ||
        fail "la voce del menu non avvia vinzal --personale"
    grep -qx 'Icon=it.vinzal.Vinzal' "$prefix/share/applications/it.vinzal.Vinzal.desktop" ||
        fail "la voce del menu non nomina l'icona installata"
    grep -q '<launchable type="desktop-id">it.vinzal.Vinzal.desktop</launchable>' \
        "$prefix/share/metainfo/it.vinzal.Vinzal.metainfo.xml" || fail "i metadati non nominano la voce del menu"

    local page
    for page in vinzal vinzal-db; do
        [ "$(zcat "$prefix/share/man/man1/$page.1.gz" | head -c 100 | grep -c .)" -gt 0 ] || fail "pagina $page vuota"
        local warnings
        warnings="$(zcat "$prefix/share/man/man1/$page.1.gz" | groff -ww -z -man -Kutf8 2>&1)"
        [ -z "$warnings" ] || fail "pagina $page: $warnings"
    done
    # The user's guide: what the programs do, not how the repository builds them; its links work.
    local guide="$prefix/share/doc/vinzal/README.md" link
    grep 'vinzal-db import' "$guide" >/dev/null || fail "la guida non spiega vinzal-db"
    ! grep -E 'scripts/|build/|cpack|## Per chi sviluppa' "$guide" >/dev/null || fail "la guida parla del repository"
    while IFS= read -r link; do
        [ -f "$prefix/share/doc/vinzal/$link" ] || fail "la guida rimanda a $link, che non è installato"
    done < <(grep -oE '\]\([^)#]+\)' "$guide" | sed 's/^](//; s/)$//' | grep -v '://')
    cmp -s "$prefix/share/doc/vinzal/copyright" "$source/packaging/debian/copyright" || fail "copyright diverso"

    # Both programs answer without a display.
    local version
    version="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/vinzal-db" --version)"
    [ "$version" = "vinzal-db $project_version" ] || fail "vinzal-db --version: $version"
    version="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$prefix/bin/vinzal" --version)"
    [ "$version" = "vinzal $project_version" ] || fail "vinzal --version: $version"
    # And the installed vinzal-db makes a book that it then finds sound.
    local scratch
    scratch="$(mktemp -d)"
    "$prefix/bin/vinzal-db" create "$scratch/Vinzal.mdb" >/dev/null || fail "vinzal-db create non riesce"
    "$prefix/bin/vinzal-db" check "$scratch/Vinzal.mdb" >/dev/null || fail "vinzal-db check non riesce"
    check_window_class "$prefix" "$scratch/Vinzal.mdb"
    rm -rf "$scratch"
}

# On a private X server, with no window manager, the window of the installed vinzal has the class
# the menu entry names as its StartupWMClass: docks link the window to the entry by it.
check_window_class() (
    local prefix="$1" book="$2" server="" program="" display="" window="" class
    trap 'kill $program $server 2>/dev/null; wait; rm -f "$book.display"' EXIT
    command -v Xvfb >/dev/null && command -v xprop >/dev/null || fail "mancano Xvfb o xprop (xvfb, x11-utils)"
    : >"$book.display"
    Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$book.display" >/dev/null 2>&1 &
    server=$!
    for _ in $(seq 100); do
        display="$(cat "$book.display")"
        [ -n "$display" ] && break
        sleep 0.1
    done
    [ -n "$display" ] || fail "Xvfb non parte"
    env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=":$display" "$prefix/bin/vinzal" "$book" >/dev/null 2>&1 &
    program=$!
    for _ in $(seq 300); do
        window="$(DISPLAY=":$display" xwininfo -root -tree | awk '/"Nomelia elettronica"/ && !found { print $1; found = 1 }')"
        [ -n "$window" ] && break
        sleep 0.1
    done
    [ -n "$window" ] || fail "la finestra di vinzal non compare"
    class="$(DISPLAY=":$display" xprop -id "$window" -notype WM_CLASS)"
    local entry="$prefix/share/applications/it.vinzal.Vinzal.desktop"
    [ "$class" = "WM_CLASS = \"vinzal\", \"$(sed -n 's/^StartupWMClass=//p' "$entry")\"" ] ||
        fail "la classe della finestra ($class) non è StartupWMClass della voce del menu"
    if [ -n "$loaded_files" ]; then
        awk '$6 ~ /^\// { print $6 }' "/proc/$program/maps" | sort -u >"$loaded_files"
    fi
)
