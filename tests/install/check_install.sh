#!/usr/bin/env bash
# Installs the build into a fresh prefix and checks what it holds: menu entry,
# metadata, icons, man pages, command lines. A hardened build is also packaged:
# lintian, hardening and stripping of every program, the dependencies, and that
# installing it leaves pictures with the viewer they had. Then the prefix moves
# elsewhere and the installed program runs from there in its own Xvfb server: a
# picture named on its command line opens, the sample loads from the installed
# copy, and the settings of an earlier version are taken over.
#   usage: check_install.sh BUILD_DIR PICTURE_CHECK SOURCE_DIR PACKAGE(ON/OFF)
set -euo pipefail
BUILD=$(realpath "$1") CHECK=$(realpath "$2") SOURCE=$(realpath "$3") PACKAGE=${4:-OFF}
WORK=$(mktemp -d "${TMPDIR:-/tmp}/velmora-install.XXXXXX")
XVFB_PID="" APP_PID=""
cleanup() {
    [ -z "$APP_PID" ] || kill "$APP_PID" 2>/dev/null || true
    [ -z "$XVFB_PID" ] || kill "$XVFB_PID" 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT
fail() {
    echo "check_install: $*" >&2
    [ ! -s "$WORK/app.log" ] || tail -n 20 "$WORK/app.log" >&2
    exit 1
}

cmake --install "$BUILD" --prefix "$WORK/staged" >/dev/null
P=$WORK/staged
APP=app.velmora.Velmora
desktop-file-validate "$P/share/applications/$APP.desktop" || fail "menu entry"
# Started from a menu, the program is found wherever the prefix is.
grep -qx "Exec=$P/bin/velmora %f" "$P/share/applications/$APP.desktop" || fail "menu entry's Exec"
appstreamcli validate --no-net "$P/share/metainfo/$APP.metainfo.xml" >/dev/null ||
    fail "metadata: $(appstreamcli validate --no-net "$P"/share/metainfo/*.xml)"
for size in 16 24 32 48 64 128 256; do
    [ -s "$P/share/icons/hicolor/${size}x$size/apps/$APP.png" ] || fail "no $size px icon"
done
grep -q "<svg" "$P/share/icons/hicolor/scalable/apps/$APP.svg" || fail "no scalable icon"
for program in velmora velmora-erase; do
    version=$("$P/bin/$program" --version)
    grep -qx "$program [0-9.]*" <<<"$version" && grep -q "Copyright (c) 2026 The Velmora developers" \
        <<<"$version" && grep -q MIT <<<"$version" || fail "$program --version: $version"
    help=$("$P/bin/$program" --help)
    [[ $help == "Usage: $program"* ]] || fail "$program --help"
    page=$(MANWIDTH=200 man -l "$P/share/man/man1/$program.1.gz" 2>&1) || fail "no man page for $program"
    for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" "SEE ALSO"; do
        grep -qx "$section" <<<"$page" || fail "$program(1) has no $section"
    done
    # Every option the program offers is described in its page.
    for option in $(grep -oE -- '--[a-z-]+' <<<"$help" | sort -u); do
        grep -qF -- "$option" <<<"$page" || fail "$program(1) does not describe $option"
    done
done
for section in FILES ENVIRONMENT; do
    grep -qx "$section" <<<"$(man -l "$P/share/man/man1/velmora.1.gz" 2>&1)" || fail "velmora(1) has no $section"
done
# A wrong command line is named, with the way to the help.
for wrong in "--bogus" "one two"; do
    # shellcheck disable=SC2086 # "one two" is two files
    said=$("$P/bin/velmora" $wrong 2>&1) && fail "velmora $wrong was accepted"
    [[ $said == "velmora: error: "*"'${wrong%% *}'"*$'\n'"Try 'velmora --help' for more information." ]] ||
        fail "velmora $wrong: $said"
done
dashed=$("$P/bin/velmora-erase" -- -dash.png out.png 2>&1) && fail "a missing -dash.png was read"
[[ $dashed == *-dash.png* && $dashed != *option* && $dashed != *argument* ]] ||
    fail "velmora-erase does not take files after --: $dashed"

is_elf() { [ "$(head -c 4 "$1" | od -An -c | tr -d ' ')" = '177ELF' ]; }
# check_hardened FILE: stripped and built as Debian hardens its programs.
check_hardened() {
    local headers dynamic symbols
    headers=$(readelf -W --file-header --program-headers --sections "$1")
    dynamic=$(readelf -W --dynamic "$1")
    symbols=$(readelf -W --dyn-syms "$1")
    ! grep -qE '\.symtab|\.debug_|\.comment' <<<"$headers" || fail "$1 is not stripped"
    grep -q 'Type: *DYN' <<<"$headers" && grep -q 'FLAGS_1.*PIE' <<<"$dynamic" || fail "$1 is not PIE"
    grep -q GNU_RELRO <<<"$headers" || fail "$1 has no RELRO"
    grep -qE 'BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic" || fail "$1 is not bound now"
    grep -q __stack_chk_fail <<<"$symbols" || fail "$1 has no stack protector"
    grep -qE '__[a-z_]+_chk@' <<<"$symbols" || fail "$1 calls no checked functions"
}

if [ "$PACKAGE" = ON ]; then
    cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$WORK/deb" >"$WORK/cpack.log" 2>&1 ||
        fail "cpack: $(tail -n 20 "$WORK/cpack.log")"
    DEB=$(echo "$WORK"/deb/velmora_*.deb)
    [ -f "$DEB" ] || fail "no package"
    lintian --pedantic --info --fail-on error,warning,info,pedantic \
        "$DEB" >"$WORK/lintian.log" 2>&1 || fail "lintian: $(cat "$WORK/lintian.log")"
    dpkg-deb -x "$DEB" "$WORK/root"
    R=$WORK/root
    elves=0
    while IFS= read -r -d '' file; do
        is_elf "$file" || continue
        check_hardened "$file"
        elves=$((elves + 1))
    done < <(find "$R" -type f -print0)
    [ "$elves" -eq 3 ] || fail "$elves programs in the package, not velmora, velmora-erase and the converter"
    [ -x "$R/usr/libexec/velmora/velmora-convert" ] || fail "no converter in usr/libexec/velmora"
    embedded=$BUILD/src/saving/embedded/velmora-convert
    [ ! -f "$embedded" ] || check_hardened "$embedded"
    # The converter's own libraries come from dpkg-shlibdeps, which read it.
    depends=$(dpkg-deb -f "$DEB" Depends)
    for library in libgif7 libjpeg62-turbo libdeflate0; do
        grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
    done
    zcat "$R/usr/share/doc/velmora/changelog.Debian.gz" | head -n 1 | grep -q "^velmora (" ||
        fail "no changelog"
    grep -q "^License: Expat" "$R/usr/share/doc/velmora/copyright" || fail "no copyright file"

    # Another viewer is installed and is the default, as a desktop's list makes it.
    V=$WORK/viewer
    mkdir -p "$V/applications" "$WORK/fresh"
    printf '[Desktop Entry]\nType=Application\nName=Viewer\nExec=/bin/true %%f\nMimeType=%s\n' \
        'image/png;image/jpeg;image/gif;image/bmp;' >"$V/applications/org.example.Viewer.desktop"
    printf '[Default Applications]\nimage/png=org.example.Viewer.desktop\n' >"$V/applications/mimeapps.list"
    update-desktop-database "$V/applications" "$R/usr/share/applications"
    # A fresh user: the viewer stays the default, Velmora is offered beside it.
    fresh=(env -i PATH=/usr/bin:/bin HOME="$WORK/fresh" XDG_DATA_DIRS="$R/usr/share:$V")
    default=$("${fresh[@]}" xdg-mime query default image/png)
    [ "$default" = org.example.Viewer.desktop ] || fail "the default for PNG is now $default"
    grep -q "^image/png=.*$APP.desktop" "$R/usr/share/applications/mimeinfo.cache" ||
        fail "not offered for PNG"
    ! grep -rqs "$APP" "$R"/usr/share/applications/*mimeapps.list "$R"/usr/share/applications/defaults.list ||
        fail "the package names itself a default"
    # Debian's update-mime turns menu entries into mailcap rules; none for Velmora.
    # It is run with its folders and mailcap moved into the scratch root.
    sed -e "s|^my \$mimedir\t= .*|my \$mimedir = \"$R/usr/lib/mime/packages\";|" \
        -e "s|^my \$appsdir\t= .*|my \$appsdir = \"$R/usr/share/applications:$V/applications\";|" \
        -e "s|^my \$mailcap\t= .*|my \$mailcap = \"$WORK/mailcap\";|" \
        -e "s|^my \$conffile\t= .*|my \$conffile = \"$WORK/none\";|" /usr/sbin/update-mime >"$WORK/update-mime"
    perl "$WORK/update-mime"
    grep -q "^image/png; /bin/true" "$WORK/mailcap" || fail "update-mime did not run"
    ! grep -q velmora "$WORK/mailcap" || fail "a mailcap rule opens pictures in Velmora"
fi

mv "$WORK/staged" "$WORK/prefix"
P=$WORK/prefix
Xvfb -displayfd 3 -screen 0 1280x1024x24 -dpi 96 -nolisten tcp 3>"$WORK/display" 2>/dev/null &
XVFB_PID=$!
for _ in $(seq 100); do grep -qE '^[0-9]+$' "$WORK/display" && break; sleep 0.1; done
grep -qE '^[0-9]+$' "$WORK/display" || fail "Xvfb did not start"
export DISPLAY=":$(cat "$WORK/display")"
# The program and the screenshots see this X server and nothing of the test's environment.
mkdir -p -m 700 "$WORK"/{home,temp,photos}
X_ENV=(env -i PATH=/usr/bin:/bin DISPLAY="$DISPLAY" HOME="$WORK/home" XDG_RUNTIME_DIR="$WORK/temp"
       TEMP="$WORK/temp" QT_QPA_PLATFORM=xcb VELMORA_CONTROL_MAP="$WORK/controls.txt")
# The picture is given by a name relative to where the program starts.
cp "$SOURCE/tests/data/coffee.png" "$WORK/photos/"
# The Polygon choice of an earlier version, kept where it kept it.
mkdir -p "$WORK/home/.config/Korvane"
printf '[Velmora]\nOption1=True\nOption2=False\n' >"$WORK/home/.config/Korvane/Velmora.conf"
(cd "$WORK/photos" && exec "${X_ENV[@]}" "$P/bin/velmora" coffee.png >"$WORK/app.log" 2>&1) &
APP_PID=$!

MAIN=""
for _ in $(seq 150); do
    MAIN=$(xdotool search --onlyvisible --name '^Velmora$' 2>/dev/null | head -n 1 || true)
    [ -z "$MAIN" ] || break
    sleep 0.2
done
[ -n "$MAIN" ] || fail "the window did not show"
eval "$(xdotool getwindowgeometry --shell "$MAIN")"
# Places on the screen of controls the program reports (VELMORA_CONTROL_MAP): the
# window's top-left corner plus the control's left and top within it.
place_of() {  # place_of NAME: left and top on the screen
    local name left top
    while read -r name left top _; do
        [ "$name" = "$1" ] && { echo $((X + left)) $((Y + top)); return 0; }
    done <"$WORK/controls.txt"
    fail "the program did not place $1"
}
read -r VIEW_X VIEW_Y <<<"$(place_of pictureView)"
read -r SAMPLE_X SAMPLE_Y <<<"$(place_of loadSampleButton)"
view_shows() {  # view_shows PICTURE: the view's top-left 200 x 200 pixels show it
    local deadline=$((SECONDS + 30))
    until "${X_ENV[@]}" "$CHECK" grab "$WORK/screen.png" >/dev/null 2>&1 &&
        "$CHECK" shows "$WORK/screen.png" "$VIEW_X,$VIEW_Y,200,200" "$1" 0,0 >/dev/null 2>&1; do
        kill -0 "$APP_PID" 2>/dev/null || fail "the program ended"
        [ "$SECONDS" -lt "$deadline" ] || fail "the view does not show $1"
        sleep 0.3
    done
}
view_shows "$WORK/photos/coffee.png"
# Start-up writes the choice it read back, now into the settings' own folder.
grep -qx "Option1=True" "$WORK/home/.config/velmora/velmora.conf" ||
    fail "the earlier Polygon choice was not taken over"
xdotool mousemove --sync $((SAMPLE_X + 20)) $((SAMPLE_Y + 10)) click 1
# The tip that follows the sample is a second window of the same title.
for _ in $(seq 100); do
    [ "$(xdotool search --onlyvisible --name '^Velmora$' | wc -l)" -lt 2 ] || break
    sleep 0.2
done
xdotool key Return
xdotool mousemove 1200 1000
view_shows "$P/share/velmora/Samples/sample.jpg"

# A settings folder that cannot be made: the program runs and says so once.
kill "$APP_PID"
wait "$APP_PID" 2>/dev/null || true
touch "$WORK/not-a-folder"
"${X_ENV[@]}" XDG_CONFIG_HOME="$WORK/not-a-folder" "$P/bin/velmora" >"$WORK/app.log" 2>&1 &
APP_PID=$!
for _ in $(seq 100); do
    grep -q "settings cannot be kept" "$WORK/app.log" && break
    kill -0 "$APP_PID" 2>/dev/null || fail "the program ended with no settings folder"
    sleep 0.2
done
sleep 0.5
[ "$(grep -c "^velmora: warning: the settings cannot be kept in $WORK/not-a-folder/velmora/velmora.conf" \
    "$WORK/app.log")" -eq 1 ] || fail "no word on settings that cannot be kept"
echo "check_install: installed copy validated, opened its command-line picture and its sample"
