#!/usr/bin/env bash
# End-to-end test of the shipped program: starts it in its own Xvfb server and
# uses it the way a person does, with real pointer and key events (xdotool),
# the X clipboard (xclip) and Qt's own Save dialog.
#   usage: run_e2e.sh VELMORA PICTURE_CHECK SOURCE_DIR ARTIFACT_DIR
# A screenshot of every stage lands in ARTIFACT_DIR as NN-stage.png.
set -euo pipefail

if [ $# -ne 4 ]; then
    echo "usage: $0 VELMORA PICTURE_CHECK SOURCE_DIR ARTIFACT_DIR" >&2
    exit 2
fi
VELMORA=$(realpath "$1")
CHECK=$(realpath "$2")
SOURCE_DIR=$(realpath "$3")
ARTIFACTS=$4

# First run: start a private X server and run this script again inside it.
if [ -z "${VELMORA_E2E_INSIDE_X:-}" ]; then
    for tool in Xvfb xauth xdotool xclip; do
        command -v "$tool" >/dev/null ||
            { echo "e2e: $tool is missing; run scripts/setup.sh" >&2; exit 1; }
    done
    mkdir -p "$ARTIFACTS"
    ARTIFACTS=$(realpath "$ARTIFACTS")
    rm -f "$ARTIFACTS"/*.png "$ARTIFACTS"/*.log
    export VELMORA_E2E_INSIDE_X=1
    XDIR=$(mktemp -d "${TMPDIR:-/tmp}/velmora-x.XXXXXX")
    XVFB_PID=""
    stop_server() {
        [ -z "$XVFB_PID" ] || { kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null; }
        XVFB_PID=""
    }
    trap 'stop_server; rm -rf "$XDIR"' EXIT

    # With -displayfd the server takes the first display number whose lock file
    # and sockets (the abstract one too, which other containers on the host may
    # hold) are all free, and writes it once clients can connect. Choosing the
    # number ourselves, as xvfb-run -a does, can race another server for it.
    start_server() {  # sets DISPLAY and XAUTHORITY
        local cookie i
        cookie=$(od -An -N16 -tx1 /dev/urandom | tr -d " \n")
        rm -f "$XDIR"/*
        # The server accepts every cookie in its file, whatever display it names.
        xauth -q -f "$XDIR/server" add :0 MIT-MAGIC-COOKIE-1 "$cookie" 2>/dev/null
        Xvfb -displayfd 3 -auth "$XDIR/server" -screen 0 1280x1024x24 -dpi 96 \
            -nolisten tcp 3>"$XDIR/display" 2>"$ARTIFACTS/xvfb.log" &
        XVFB_PID=$!
        for i in $(seq 150); do
            if grep -qE '^[0-9]+$' "$XDIR/display"; then
                export DISPLAY=":$(cat "$XDIR/display")" XAUTHORITY="$XDIR/client"
                xauth -q -f "$XAUTHORITY" add "$DISPLAY" MIT-MAGIC-COOKIE-1 "$cookie" 2>/dev/null
                return 0
            fi
            kill -0 "$XVFB_PID" 2>/dev/null || return 1
            sleep 0.1
        done
        return 1
    }

    # The inner run exits 3 when its display does not answer as ours should.
    for attempt in 1 2 3; do
        status=3
        if start_server; then
            status=0
            bash "$0" "$VELMORA" "$CHECK" "$SOURCE_DIR" "$ARTIFACTS" || status=$?
        fi
        stop_server
        [ "$status" -eq 3 ] || exit "$status"
        echo "e2e: the X server did not start or did not answer (try $attempt); starting another" >&2
        sleep 1
    done
    echo "e2e: could not start a private X server; see $ARTIFACTS/xvfb.log" >&2
    exit 1
fi

# Our own server answers, has the screen asked for and shows no one else's windows.
[ "$(xdotool getdisplaygeometry 2>/dev/null)" = "1280 1024" ] || exit 3
[ -z "$(xdotool search --onlyvisible --name . 2>/dev/null)" ] || exit 3

SAMPLE="$(dirname "$VELMORA")/Samples/sample.jpg"
WORK=$(mktemp -d "${TMPDIR:-/tmp}/velmora-e2e.XXXXXX")
APP_PID=""
CLIP_PID=""
STAGE_NO=0
STAGE="start-up"

cleanup() {
    set +e
    [ -z "$CLIP_PID" ] || kill "$CLIP_PID" 2>/dev/null || true
    [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null && wait "$APP_PID" 2>/dev/null
    cp "$WORK/app.log" "$ARTIFACTS/velmora.log" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

# The program and the screenshot helper see only this run's folders and settings.
mkdir -p "$WORK"/{home,config,cache,data,temp,cwd,out} "$WORK"/runtime
chmod 700 "$WORK"/runtime
APP_ENV=(env -i PATH="$PATH" DISPLAY="$DISPLAY" XAUTHORITY="${XAUTHORITY:-}" LANG=C.UTF-8
         HOME="$WORK/home" XDG_CONFIG_HOME="$WORK/config" XDG_CACHE_HOME="$WORK/cache"
         XDG_DATA_HOME="$WORK/data" XDG_RUNTIME_DIR="$WORK/runtime"
         TEMP="$WORK/temp" TMPDIR="$WORK/temp" QT_QPA_PLATFORM=xcb
         VELMORA_CONTROL_MAP="$WORK/controls.txt")

# ---- reporting -------------------------------------------------------------

stage() {
    STAGE_NO=$((STAGE_NO + 1))
    STAGE=$1
    printf '== stage %02d: %s\n' "$STAGE_NO" "$STAGE"
    program_gone && fail "the program is no longer running"
    return 0
}

program_gone() { [ -n "$APP_PID" ] && ! kill -0 "$APP_PID" 2>/dev/null; }

pc() { "${APP_ENV[@]}" "$CHECK" "$@"; }

shot() {  # shot LABEL: a screenshot of the whole screen for this stage
    local file
    file=$(printf '%s/%02d-%s.png' "$ARTIFACTS" "$STAGE_NO" "$1")
    pc grab "$file" 2>/dev/null || echo "e2e: no screenshot $file" >&2
}

fail() {
    shot failed
    {
        printf 'e2e FAILED in stage %02d (%s): %s\n' "$STAGE_NO" "$STAGE" "$*"
        echo "screenshots of every stage: $ARTIFACTS"
        if [ -s "$WORK/app.log" ]; then
            echo "--- end of the program's output"
            tail -n 20 "$WORK/app.log"
        fi
    } >&2
    exit 1
}

check() {  # check WHAT COMMAND...: runs a picture_check command, fails with its output
    local what=$1 output
    shift
    if ! output=$(pc "$@" 2>&1); then
        fail "$what: $output"
    fi
    echo "   $what: $(tr '\n' ' ' <<<"$output")"
}

# check_screen WHAT COMMAND ARGS...: a fresh screenshot passes the picture_check
# COMMAND (given the screenshot first); retried a while, as a tooltip may linger.
check_screen() {
    local what=$1 command=$2 deadline=$((SECONDS + 10)) output
    shift 2
    while :; do
        grab "$WORK/screen.png"
        if output=$(pc "$command" "$WORK/screen.png" "$@" 2>&1); then
            echo "   $what: $(tr '\n' ' ' <<<"$output")"
            return 0
        fi
        [ "$SECONDS" -lt "$deadline" ] || fail "$what: $output"
        sleep 0.5
    done
}

wait_for() {  # wait_for SECONDS WHAT COMMAND...: polls until COMMAND succeeds
    local limit=$1 what=$2 deadline
    shift 2
    deadline=$((SECONDS + limit))
    until "$@"; do
        if program_gone; then
            # Losing the display is the machine's fault, not the program's: retry.
            grep -q "could not connect to display" "$WORK/app.log" 2>/dev/null &&
                { echo "e2e: the program lost the X server" >&2; exit 3; }
            fail "the program ended while waiting for $what"
        fi
        error_box_shown && fail "the program reported an error while waiting for $what"
        [ "$SECONDS" -lt "$deadline" ] || fail "no $what within $limit s"
        sleep 0.2
    done
}

# ---- the window and its controls ---------------------------------------------

# Places come from the running program: told where by VELMORA_CONTROL_MAP, it
# writes each control's name, left, top, width and height in pixels from the
# window's client area when the window first shows.
CONTROL_MAP="$WORK/controls.txt"
# Fusion, the style Qt uses here, draws scroll-bar arrows 14 pixels long at 96 dpi.
ARROW=14

place_of() {  # place_of CONTROL: sets PL PT PW PH, its place within the window
    local line
    line=$(grep -E "^$1 " "$CONTROL_MAP" 2>/dev/null) || fail "the program did not place $1"
    read -r _ PL PT PW PH <<<"$line"
}

rect_of() {  # rect_of CONTROL: sets L T W H on the screen
    place_of "$1"
    L=$((WIN_X + PL)) T=$((WIN_Y + PT)) W=$PW H=$PH
}

centre_of() {  # centre_of CONTROL: sets CX CY
    rect_of "$1"
    CX=$((L + W / 2)) CY=$((T + H / 2))
}

click() {  # click X Y [BUTTON]
    xdotool mousemove --sync "$1" "$2" sleep 0.1 click "${3:-1}"
    sleep 0.2
}

press_control() {  # press_control CONTROL
    centre_of "$1"
    click "$CX" "$CY"
}

park_pointer() {  # away from the window, so no hover look or tooltip shows
    xdotool mousemove --sync 1200 1000
    sleep 0.6
}

visible_windows() { xdotool search --onlyvisible --name "$1" 2>/dev/null || true; }

error_box_shown() { [ -n "$(visible_windows '^Application Error')" ]; }

other_window() {  # the first visible window named like $1 that is not the main window
    local id
    for id in $(visible_windows "$1"); do
        [ "$id" != "$MAIN" ] && { echo "$id"; return 0; }
    done
    return 1
}

message_box_shown() { other_window '^Velmora$' >/dev/null; }
message_box_gone() { ! message_box_shown; }

grab() {  # grab FILE [X Y W H]
    pc grab "$@" 2>/dev/null
}

# same_as REFERENCE X Y W H: the screen area looks exactly like the reference shot.
same_as() { grab "$WORK/area.png" "${@:2}" && pc same "$1" "$WORK/area.png" 2>/dev/null; }

grab_view() { grab "$1" "$VIEW_X" "$VIEW_Y" "$VIEW_W" "$VIEW_H"; }

view_differs_from() { grab_view "$WORK/now.png" && ! pc same "$1" "$WORK/now.png" 2>/dev/null; }

# The picture view shows PICTURE from its point PX,PY (after a paste, load or undo).
view_shows() {
    grab "$WORK/view.png" && pc shows "$WORK/view.png" \
        "$VIEW_X,$VIEW_Y,$VIEW_W,$VIEW_H" "$1" "$2,$3" >/dev/null 2>&1
}

# The visible part of a picture of WxH in the view, as the program lays out its scroll bars.
arrange_view() {
    rect_of pictureView
    VIEW_X=$L VIEW_Y=$T
    local wv=$W hv=$H
    VIEW_W=$(( $1 + BAR < wv - BAR ? $1 : wv - BAR ))
    VIEW_H=$(( $2 + BAR < hv - BAR ? $2 : hv - BAR ))
    # A picture shorter (narrower) than its bar's length shows whole.
    VIEW_W=$(( $1 < VIEW_W ? $1 : VIEW_W ))
    VIEW_H=$(( $2 < VIEW_H ? $2 : VIEW_H ))
}

dismiss_message_box() {
    local box
    box=$(other_window '^Velmora$') || fail "no message box to dismiss"
    xdotool windowfocus --sync "$box" 2>/dev/null || true
    xdotool key Return
    wait_for 20 "closing of the message box" message_box_gone
}

save_as() {  # save_as FILE: the Save button, Qt's Save dialog, the PNG type, the full path
    local file=$1 dialog X Y WIDTH HEIGHT SCREEN WINDOW
    press_control saveButton
    # The title exactly, with nothing appended.
    wait_for 30 "Save dialog titled 'Save File'" other_window '^Save File$' >/dev/null
    dialog=$(other_window '^Save File$')
    xdotool windowfocus --sync "$dialog" 2>/dev/null || true
    sleep 0.5
    eval "$(xdotool getwindowgeometry --shell "$dialog")"
    xdotool key ctrl+a
    xdotool type --delay 20 "$file"
    # The "Files of type" box is the dialog's bottom row; PNG is its last entry.
    click $((X + WIDTH / 3)) $((Y + HEIGHT - 22))
    sleep 0.5
    xdotool key End
    sleep 0.2
    xdotool key Return
    sleep 0.3
    shot save-dialog
    xdotool key Return
    # With the wrong type chosen the program would write a BMP of the same name.
    wait_for 60 "saved file $file" eval '[ -s "$file" ] || [ -e "${file%.png}.bmp" ]'
    [ ! -e "${file%.png}.bmp" ] || fail "a BMP file was saved instead of a PNG"
    wait_for 30 "closing of the Save dialog" eval '! other_window "^Save File" >/dev/null'
    sleep 0.5
    error_box_shown && fail "the program reported an error while saving"
    cp "$file" "$ARTIFACTS/"
}

# ---- stages ------------------------------------------------------------------

start_program() {
    stage "start the program"
    (cd "$WORK/cwd" && exec "${APP_ENV[@]}" "$VELMORA" >"$WORK/app.log" 2>&1) &
    APP_PID=$!
    wait_for 60 "Velmora window" eval '[ -n "$(visible_windows "^Velmora$")" ]'
    MAIN=$(visible_windows '^Velmora$' | head -n 1)
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$MAIN")"
    WIN_X=$X WIN_Y=$Y
    place_of mainWindow
    [ "$WIDTH" -eq 536 ] && [ "$HEIGHT" -eq 738 ] && [ "$PW" -eq 536 ] && [ "$PH" -eq 738 ] ||
        fail "the window is ${WIDTH}x$HEIGHT (${PW}x$PH by its own account), not 536x738"
    # The scroll bars' thickness, from a bar not yet shown.
    place_of horizontalScrollBar
    BAR=$PH
    local screen_w screen_h
    read -r screen_w screen_h <<<"$(xdotool getdisplaygeometry)"
    [ "$X" -eq $(((screen_w - WIDTH) / 2)) ] && [ "$Y" -eq $(((screen_h - HEIGHT) / 2)) ] ||
        fail "the window opens at $X,$Y, not centred on the ${screen_w}x$screen_h screen"
    park_pointer
    shot started
    # How the Start button and the disabled Undo button look when idle.
    rect_of removeButton
    START_BUTTON=("$L" "$T" "$W" "$H")
    grab "$WORK/start-idle.png" "${START_BUTTON[@]}"
    rect_of undoButton
    UNDO_BUTTON=("$L" "$T" "$W" "$H")
    grab "$WORK/undo-disabled.png" "${UNDO_BUTTON[@]}"
}

load_sample() {
    stage "load the sample picture"
    press_control loadSampleButton
    wait_for 30 "tip message box" message_box_shown
    shot tip
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$(other_window '^Velmora$')")"
    TIP_WIDTH=$WIDTH
    dismiss_message_box
    read -r SAMPLE_W SAMPLE_H <<<"$(pc size "$SAMPLE" 2>/dev/null)"
    arrange_view "$SAMPLE_W" "$SAMPLE_H"
    park_pointer
    wait_for 20 "sample picture in the view" view_shows "$SAMPLE" 0 0
    # The whole sample shows: no scroll bar beside or below it, only the view's white.
    [ "$VIEW_W" -eq "$SAMPLE_W" ] && [ "$VIEW_H" -eq "$SAMPLE_H" ] ||
        fail "the ${SAMPLE_W}x$SAMPLE_H sample does not fit the view whole"
    check_screen "view right of the sample" solid \
        "$((VIEW_X + SAMPLE_W)),$VIEW_Y,$((L + W - VIEW_X - SAMPLE_W)),$H" 255,255,255
    check_screen "view below the sample" solid \
        "$VIEW_X,$((VIEW_Y + SAMPLE_H)),$W,$((T + H - VIEW_Y - SAMPLE_H))" 255,255,255
    SCROLL_X=0 SCROLL_Y=0
    shot loaded
}

drag_over_view() {  # drag_over_view URL: prints what the drag source says of the drop
    local source
    # The drag source is test tooling: libdbus keeps its connection until exit, which
    # LeakSanitizer would count against it in the sanitized run.
    "${APP_ENV[@]}" ASAN_OPTIONS=detect_leaks=0 "$CHECK" drag "$1" >"$WORK/drag.log" 2>&1 &
    source=$!
    wait_for 20 "drag source window" eval '[ -n "$(visible_windows "^drag source$")" ]'
    xdotool mousemove --sync 70 70 sleep 0.2 mousedown 1 sleep 0.2
    local i
    for i in 1 2 3 4 5 6 7 8; do
        xdotool mousemove --sync $((70 + (VIEW_X + 100 - 70) * i / 8)) \
            $((70 + (VIEW_Y + 100 - 70) * i / 8)) sleep 0.15
    done
    xdotool mouseup 1
    wait "$source" || fail "the drag source failed: $(cat "$WORK/drag.log")"
    cat "$WORK/drag.log"
}

drop_link_and_file() {
    stage "drag a web link, then the sample file, onto the picture"
    local result
    result=$(drag_over_view "https://example.com/photo.jpg")
    [ "$result" = refused ] || fail "a web link was offered a drop ($result)"
    result=$(drag_over_view "file://$SAMPLE")
    [ "$result" = dropped ] || fail "a local picture file was not taken ($result)"
    park_pointer
    message_box_shown && fail "a message box shows after dropping the sample"
    wait_for 20 "dropped sample in the view" view_shows "$SAMPLE" 0 0
    shot dropped
}

scroll_to_corner_and_back() {
    stage "scroll to the bottom-right corner and back"
    # One press on each scroll bar's track, beside its far arrow: a page is the whole picture.
    click $((VIEW_X + VIEW_W - ARROW - 4)) $((VIEW_Y + VIEW_H + BAR / 2))
    click $((VIEW_X + VIEW_W + BAR / 2)) $((VIEW_Y + VIEW_H - ARROW - 4))
    park_pointer
    wait_for 20 "bottom-right part of the pasted picture in the view" \
        view_shows "$PASTED" $((PASTED_W - VIEW_W)) $((PASTED_H - VIEW_H))
    shot scrolled
    click $((VIEW_X + ARROW + 4)) $((VIEW_Y + VIEW_H + BAR / 2))
    click $((VIEW_X + VIEW_W + BAR / 2)) $((VIEW_Y + ARROW + 4))
    park_pointer
    wait_for 20 "pasted picture back at the top-left" view_shows "$PASTED" 0 0
}

# The date stamp's letters lie within 429-495 x 313-324 of the sample.
STAMP="425,309,499,328"
STAMP_BOX=(420 304 503 333)

mark_stamp() {
    stage "mark the date stamp with a box"
    local x0=$((VIEW_X + STAMP_BOX[0] - SCROLL_X)) y0=$((VIEW_Y + STAMP_BOX[1] - SCROLL_Y))
    local x1=$((VIEW_X + STAMP_BOX[2] - SCROLL_X)) y1=$((VIEW_Y + STAMP_BOX[3] - SCROLL_Y))
    xdotool mousemove --sync "$x0" "$y0" sleep 0.1 mousedown 1 sleep 0.1 \
        mousemove --sync $(((x0 + x1) / 2)) $(((y0 + y1) / 2)) sleep 0.1 \
        mousemove --sync "$x1" "$y1" sleep 0.1 mouseup 1
    park_pointer
    check_screen "marked box on screen" solid \
        "$x0,$y0,$((x1 - x0 + 1)),$((y1 - y0 + 1))" 0,255,0
    shot marked
}

remove_stamp() {
    stage "remove the date stamp"
    press_control removeButton
    wait_for 120 "message at the end of the removal" message_box_shown
    shot done-message
    local X Y WIDTH HEIGHT SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$(other_window '^Velmora$')")"
    # "Done." makes a far narrower box than the tip or the "Nothing was removed" text.
    [ "$WIDTH" -lt $((TIP_WIDTH / 2)) ] ||
        fail "the message after the removal is ${WIDTH} pixels wide, not the short 'Done.'"
    dismiss_message_box
    park_pointer
    wait_for 20 "Start Removing caption after the run" \
        same_as "$WORK/start-idle.png" "${START_BUTTON[@]}"
}

save_removed() {
    stage "save the result as PNG"
    save_as "$WORK/out/removed.png"
    check "saved result" removed "$SAMPLE" "$WORK/out/removed.png" \
        "$(IFS=,; echo "${STAMP_BOX[*]}")" "$STAMP"
    shot saved
}

paste_picture() {
    stage "paste a picture from the clipboard"
    PASTED="$WORK/pasted.png"
    pc enlarge "$SOURCE_DIR/tests/data/chelsea.png" 4 "$PASTED" 2>/dev/null ||
        fail "cannot make the picture to paste"
    paste_file "$PASTED"
    read -r PASTED_W PASTED_H <<<"$(pc size "$PASTED" 2>/dev/null)"
    arrange_view "$PASTED_W" "$PASTED_H"
    park_pointer
    wait_for 30 "pasted picture in the view" view_shows "$PASTED" 0 0
    # The undo copy of the sample's removal must not come back over the pasted picture.
    same_as "$WORK/undo-disabled.png" "${UNDO_BUTTON[@]}" ||
        fail "Undo Remove is still enabled after the paste"
    shot pasted
}

paste_file() {  # paste_file FILE: offers FILE as a PNG on the clipboard and presses Ctrl+V
    [ -z "$CLIP_PID" ] || kill "$CLIP_PID" 2>/dev/null || true
    xclip -quiet -selection clipboard -t image/png -i "$1" >"$WORK/xclip.log" 2>&1 &
    CLIP_PID=$!
    wait_for 20 "data on the clipboard" \
        eval 'xclip -o -selection clipboard -t TARGETS 2>/dev/null | grep -qx image/png'
    xdotool windowfocus --sync "$MAIN" 2>/dev/null || true
    sleep 0.3
    xdotool key ctrl+v
}

paste_unreadable() {
    stage "paste unreadable picture data with the focus on a button"
    # The last click left the focus on a push button.
    printf 'not a picture' >"$WORK/garbage.png"
    paste_file "$WORK/garbage.png"
    wait_for 20 "message about the clipboard" message_box_shown
    shot unreadable
    dismiss_message_box
    sleep 1.5
    message_box_shown && fail "one Ctrl+V showed its message more than once"
    return 0
}

paste_awkward_sizes() {
    stage "paste pictures just taller or wider than a scroll bar"
    local size w h picture
    for size in 400x365 500x200; do
        w=${size%x*} h=${size#*x}
        picture="$WORK/paste-$size.png"
        pc fit "$SOURCE_DIR/tests/data/coffee.png" "$w" "$h" "$picture" 2>/dev/null ||
            fail "cannot make the $size picture"
        paste_file "$picture"
        arrange_view "$w" "$h"
        park_pointer
        wait_for 20 "$size picture at the view's corner" view_shows "$picture" 0 0
        shot "pasted-$size"
    done
}

# A large four-sided region in the visible top-left part of the pasted picture.
POLYGON=(60 50 420 60 440 320 80 330)
POLYGON_BOUNDS="58,48,442,332"

mark_polygon() {
    stage "mark a polygon"
    press_control polygonOption
    local i
    for i in 0 2 4; do
        click $((VIEW_X + POLYGON[i])) $((VIEW_Y + POLYGON[i + 1]))
    done
    xdotool mousemove --sync $((VIEW_X + POLYGON[6])) $((VIEW_Y + POLYGON[7])) sleep 0.1 \
        click --repeat 2 --delay 80 1
    sleep 0.3
    # The double-click's last release begins a new outline; a right-click drops it.
    click $((VIEW_X + 250)) $((VIEW_Y + 200)) 3
    park_pointer
    check_screen "inside of the polygon on screen" solid \
        "$((VIEW_X + 150)),$((VIEW_Y + 120)),200,150" 0,255,0
    check_screen "picture above the polygon" shows \
        "$VIEW_X,$VIEW_Y,$VIEW_W,45" "$PASTED" 0,0
    shot polygon
}

widen_scan_border() {
    stage "set the smallest block size and the largest scan border"
    # The smallest blocks make the most steps, so the run lasts long enough to stop.
    rect_of blockSizeSlider
    xdotool mousemove --sync $((L + ARROW / 2)) $((T + H / 2)) click --repeat 3 --delay 150 1
    rect_of scanBorderSlider
    # Presses on the track beside the right arrow page the value up to its maximum.
    xdotool mousemove --sync $((L + W - ARROW - 4)) $((T + H / 2)) \
        click --repeat 60 --delay 40 1
    park_pointer
    shot scan-border
}

start_and_stop() {
    stage "start removing and stop mid-run"
    # Preview is on by default; only with it does a stopped run show its filled blocks.
    grab_view "$WORK/before-run.png"
    press_control removeButton
    park_pointer
    wait_for 90 "first filled block in the view" view_differs_from "$WORK/before-run.png"
    message_box_shown && fail "the removal ended before Stop could be pressed"
    same_as "$WORK/start-idle.png" "${START_BUTTON[@]}" &&
        fail "the Start Removing button does not read Stop during the run"
    shot running
    press_control removeButton
    park_pointer
    wait_for 60 "Start Removing caption after Stop" \
        same_as "$WORK/start-idle.png" "${START_BUTTON[@]}"
    # Stopped: the view stays as it is and no "Done." follows.
    local deadline=$((SECONDS + 60))
    grab_view "$WORK/stopped-a.png"
    while :; do
        sleep 2
        grab_view "$WORK/stopped-b.png"
        pc same "$WORK/stopped-a.png" "$WORK/stopped-b.png" 2>/dev/null && break
        [ "$SECONDS" -lt "$deadline" ] || fail "the removal went on after Stop"
        mv "$WORK/stopped-b.png" "$WORK/stopped-a.png"
    done
    message_box_shown && fail "a message box shows after Stop; the run was not stopped"
    error_box_shown && fail "the program reported an error after Stop"
    shot stopped
}

save_stopped() {
    stage "save the stopped picture"
    save_as "$WORK/out/stopped.png"
    check "stopped picture" partial "$PASTED" "$WORK/out/stopped.png" "$POLYGON_BOUNDS"
    shot saved-stopped
}

undo_removal() {
    stage "undo the removal"
    press_control undoButton
    park_pointer
    wait_for 30 "pasted picture back in the view" view_shows "$PASTED" 0 0
    same_as "$WORK/undo-disabled.png" "${UNDO_BUTTON[@]}" ||
        fail "Undo Remove is still enabled after the undo"
    shot undone
}

save_undone() {
    stage "save the picture after the undo"
    save_as "$WORK/out/undone.png"
    check "picture after the undo" identical "$PASTED" "$WORK/out/undone.png"
    shot saved-undone
}

# The fitting zoom is ZOOM_NUM / ZOOM_DEN screen pixels per picture pixel; the
# picture pixels under screen pixels S0 to S1 of the view run from the first to
# the last of these, as each screen pixel covers [s, s + 1) and each picture
# pixel [p, p + 1) times the zoom.
first_pixel_under() { echo $(($1 * ZOOM_DEN / ZOOM_NUM)); }
last_pixel_under() { echo $(((($1 + 1) * ZOOM_DEN + ZOOM_NUM - 1) / ZOOM_NUM - 1)); }

zoom_to_fit_and_remove() {
    stage "fit the picture in the view with Ctrl+0 and remove a box marked there"
    press_control boxOption
    # A click on its left arrow gives the Scan Border slider the focus; Home sets
    # its least value, which keeps this removal short.
    rect_of scanBorderSlider
    click $((L + ARROW / 2)) $((T + H / 2))
    xdotool key Home
    xdotool windowfocus --sync "$MAIN" 2>/dev/null || true
    xdotool key ctrl+0
    rect_of pictureView
    # The narrower of the view's and the picture's ratios across and down.
    if ((W * PASTED_H <= H * PASTED_W)); then
        ZOOM_NUM=$W ZOOM_DEN=$PASTED_W
    else
        ZOOM_NUM=$H ZOOM_DEN=$PASTED_H
    fi
    local shown_w=$(((PASTED_W * ZOOM_NUM + ZOOM_DEN - 1) / ZOOM_DEN))
    local shown_h=$(((PASTED_H * ZOOM_NUM + ZOOM_DEN - 1) / ZOOM_DEN))
    [ "$shown_w" -lt "$W" ] || [ "$shown_h" -lt "$H" ] || fail "the picture fills the view exactly"
    park_pointer
    # The whole picture at the view's corner, the rest white, with no scroll bar.
    [ "$shown_h" -ge "$H" ] || check_screen "view below the fitted picture" solid \
        "$L,$((T + shown_h)),$W,$((H - shown_h))" 255,255,255
    [ "$shown_w" -ge "$W" ] || check_screen "view right of the fitted picture" solid \
        "$((L + shown_w)),$T,$((W - shown_w)),$H" 255,255,255
    shot fitted
    # A box near the top-left corner, from screen pixel 20,20 to 33,31 of the view.
    local x0=20 y0=20 x1=33 y1=31
    xdotool mousemove --sync $((L + x0)) $((T + y0)) sleep 0.1 mousedown 1 sleep 0.1 \
        mousemove --sync $((L + x1)) $((T + y1)) sleep 0.1 mouseup 1
    park_pointer
    check_screen "box marked at the fitted zoom" solid \
        "$((L + x0)),$((T + y0)),$((x1 - x0 + 1)),$((y1 - y0 + 1))" 0,255,0
    ZOOMED_BOX="$(first_pixel_under $x0),$(first_pixel_under $y0),"
    ZOOMED_BOX+="$(last_pixel_under $x1),$(last_pixel_under $y1)"
    shot marked-fitted
    press_control removeButton
    wait_for 120 "message at the end of the removal" message_box_shown
    dismiss_message_box
    park_pointer
}

back_to_full_size() {
    stage "show the picture at full size with Ctrl+1"
    xdotool windowfocus --sync "$MAIN" 2>/dev/null || true
    xdotool key ctrl+1
    rect_of pictureView
    # The picture point at the view's centre (W / 2, H / 2) stays there: the view
    # scrolls to that point at full size less the centre, to the nearest pixel.
    local sx=$(((W * (ZOOM_DEN - ZOOM_NUM) + ZOOM_NUM) / (2 * ZOOM_NUM)))
    local sy=$(((H * (ZOOM_DEN - ZOOM_NUM) + ZOOM_NUM) / (2 * ZOOM_NUM)))
    arrange_view "$PASTED_W" "$PASTED_H"
    sx=$((sx < PASTED_W - VIEW_W ? sx : PASTED_W - VIEW_W))
    sy=$((sy < PASTED_H - VIEW_H ? sy : PASTED_H - VIEW_H))
    park_pointer
    wait_for 20 "full-size picture from $sx,$sy in the view" view_shows "$PASTED" "$sx" "$sy"
    shot full-size
}

save_zoomed_removal() {
    stage "save the removal marked at the fitted zoom"
    save_as "$WORK/out/zoomed.png"
    # Within one screen pixel's worth of picture pixels of the box expected.
    check "removal marked at the fitted zoom" filled "$PASTED" "$WORK/out/zoomed.png" \
        "$ZOOMED_BOX" $(((ZOOM_DEN + ZOOM_NUM - 1) / ZOOM_NUM))
    shot saved-zoomed
}

start_program
load_sample
drop_link_and_file
mark_stamp
remove_stamp
save_removed
paste_unreadable
paste_awkward_sizes
paste_picture
scroll_to_corner_and_back
mark_polygon
widen_scan_border
start_and_stop
save_stopped
undo_removal
save_undone
zoom_to_fit_and_remove
back_to_full_size
save_zoomed_removal
echo "e2e passed: $STAGE_NO stages; screenshots in $ARTIFACTS"
