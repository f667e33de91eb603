#!/usr/bin/env bash
# Writes the engine's seed corpus into tests/fuzz/corpus/inpaint/ (committed; rerun after a change
# of the input layout in inpaint_check.h): bash tests/fuzz/make-corpus.sh
# Each seed is hex: width-1 height-1 radius border flags k0 k1, palette (B G R byte3
# per colour), then the pixel indices when flag 0x08 is set, then 5-byte operations.
set -euo pipefail
here=$(dirname "$0")
dir=$here/corpus/inpaint
mkdir -p "$dir"

# rep HEX N: HEX repeated N times.
rep() { local s=""; for ((i = 0; i < $2; i++)); do s+="$1 "; done; echo "$s"; }
seed() {
  local name=$1; shift
  local hex
  hex=$(echo "$*" | tr -d ' \n')
  printf "$(sed 's/../\\x&/g' <<<"$hex")" >"$dir/$name"
}

# Nothing marked: the picture must come back as it went in, in 0 steps.
seed nothing-marked   09 09 02 03 12 00 00  40 80 c0 ff 10 20 30 ff  08 02 02 03 03
# One marked pixel in a 4-colour texture: exactly one step.
seed single-pixel     13 13 01 0a 38 00 00  10 20 30 01 f0 e0 d0 02 80 80 80 03 00 00 00 04 \
                      "$(rep '1b e4 72 8d' 25)" 05 0a 0a 0a 0a
# A hole in a flat picture.
seed flat-hole        1d 13 02 4a 02 00 00  30 60 90 ff  03 08 06 09 05
# Everything marked: no source area.
seed all-marked       07 07 00 00 12 00 00  11 22 33 ff 44 55 66 ff  06 00 00 00 00
# Regions grown to the left and the top edge, watched with preview.
seed edges-preview    18 18 01 45 2b 00 00  00 00 00 ff ff ff ff 7f 80 40 20 00 \
                      "$(rep '24 92 49' 52)" 24 04 05 08 06 07 14 0f 03 04 02
# A block wider than the whole picture: no source area.
seed block-too-big    02 02 84 00 02 00 00  50 50 50 ff  05 01 01 01 01
# Stopped after 7 yields with preview off: the picture must stay untouched.
seed stop-early       13 13 01 04 1c 07 00  20 40 60 ff a0 b0 c0 ff \
                      "$(rep 'c3 3c 5a a5' 25)" 03 06 06 06 06
# Stopped after 40 yields with preview on: the picture is the last preview state.
seed stop-preview     13 13 01 04 1d 28 00  20 40 60 ff a0 b0 c0 ff \
                      "$(rep 'c3 3c 5a a5' 25)" 03 06 06 06 06
# Stopped at the very first yield.
seed stop-at-once     0f 0f 00 00 14 00 00  10 10 10 ff 90 90 90 ff  03 04 04 03 03
# The largest picture, a scan border past its edges, diagonal strokes and a column.
seed strokes-40x40    27 27 03 85 3a 00 00  10 20 30 ff 60 50 40 ff 90 a0 b0 ff e0 d0 c0 ff \
                      "$(rep '1e 87 d2 4b 2d b4' 66)" 1e 87 d2 4b \
                      07 05 05 14 00 0f 22 03 10 00 0e 11 00 00 00
# Colours one step from the mask colour are known pixels, not holes.
seed near-green       0f 0f 01 43 2a 00 00  01 ff 00 ff 00 ff 01 80 00 fe 00 ff \
                      "$(rep '06 21 18 09' 16)" 05 03 04 0a 0b 05 08 08 08 09
# A single row: no whole block fits.
seed one-row          27 00 00 00 02 00 00  77 66 55 ff  05 05 00 14 00
# Three rows, holes in the middle one, scan border 0.
seed three-rows       27 02 00 00 1a 00 00  00 00 ff 10 ff 00 00 20 "$(rep 'e4 1b' 15)" \
                      05 03 01 10 01
# Stripes with equal matches everywhere, scattered holes and a rectangle, preview on.
seed ties-stripes     17 17 00 00 1b 00 00  00 00 00 01 ff ff ff 02 "$(rep '44' 144)" \
                      05 03 03 09 0c 05 11 05 02 14 03 0a 0a 04 03
# Byte 3 differs between colours and must travel with each copied pixel.
seed byte3-travels    0b 0b 01 02 11 00 00  40 40 40 00 c0 c0 c0 7f  08 06 00 05 0b 03 05 05 01 01
# All marked but three repainted rows: a single row of source blocks.
seed three-known-rows 09 09 00 0a 02 00 00  33 66 99 ff  06 00 00 00 00 00 00 00 09 02
# Bad options and buffers, refused without touching anything: block size 0, a
# negative scan border, a byte missing from the buffer.
seed refused-block-0     09 09 00 00 c6 00 00  40 40 40 ff  03 02 02 02 02
seed refused-border      09 09 03 00 c6 00 00  40 40 40 ff  03 02 02 02 02
seed refused-short-buffer 09 09 05 01 c6 00 00  40 40 40 ff  03 02 02 02 02
# Scan border INT_MAX: the search window's right and bottom edges once overflowed int.
seed scan-border-int-max 13 13 01 ff 3a 00 00  10 20 30 ff 60 50 40 ff 90 a0 b0 ff e0 d0 c0 ff \
                      "$(rep '1e 87 d2 4b' 25)" 03 06 06 06 06
