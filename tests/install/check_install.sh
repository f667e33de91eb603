#!/usr/bin/env bash
# Installs the build into a fresh prefix, validates its menu entry and metadata,
# then moves the prefix elsewhere and runs the installed program from there in
# its own Xvfb server: a picture named on its command line opens, and the
# sample loads from the installed copy.
#   usage: check_install.sh BUILD_DIR PICTURE_CHECK SOURCE_DIR
set -euo pipefail
BUILD=$(realpath "$1") CHECK=$(realpath "$2") SOURCE=$(realpath "$3")
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
mv "$WORK/staged" "$WORK/prefix"
P=$WORK/prefix
desktop-file-validate "$P/share/applications/app.velmora.Velmora.desktop" || fail "menu entry"
appstreamcli validate --no-net "$P/share/metainfo/app.velmora.Velmora.metainfo.xml" >/dev/null ||
    fail "metadata: $(appstreamcli validate --no-net "$P"/share/metainfo/*.xml)"
for size in 16 24 32 48 64; do
    [ -s "$P/share/icons/hicolor/${size}x$size/apps/app.velmora.Velmora.png" ] || fail "no $size px icon"
done
for program in velmora velmora-erase; do
    "$P/bin/$program" --version | grep -qx "$program [0-9.]*" || fail "$program --version"
    "$P/bin/$program" --help | grep -q "^Usage: $program" || fail "$program --help"
    ! command -v help2man >/dev/null || [ -s "$P/share/man/man1/$program.1.gz" ] ||
        fail "no man page for $program"
done
usage=$("$P/bin/velmora" one two 2>&1) && fail "two files were accepted"
[ "$(wc -l <<<"$usage")" -eq 1 ] && [[ $usage == Usage:* ]] || fail "not one usage line: $usage"

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
xdotool mousemove --sync $((SAMPLE_X + 20)) $((SAMPLE_Y + 10)) click 1
# The tip that follows the sample is a second window of the same title.
for _ in $(seq 100); do
    [ "$(xdotool search --onlyvisible --name '^Velmora$' | wc -l)" -lt 2 ] || break
    sleep 0.2
done
xdotool key Return
xdotool mousemove 1200 1000
view_shows "$P/share/velmora/Samples/sample.jpg"
echo "check_install: installed copy validated, opened its command-line picture and its sample"
