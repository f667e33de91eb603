#!/usr/bin/env bash
# Writes the BMP reader's seed corpus into tests/fuzz/corpus/bmp/ (committed):
# a corner of a test photo in each kind of BMP the converter may be given, each
# whole and cut at two lengths. Needs ImageMagick: bash tests/fuzz/make-bmp-corpus.sh
set -euo pipefail
here=$(dirname "$0")
dir=$here/corpus/bmp
photo=$here/../data/chelsea.png
rm -rf "$dir"
mkdir -p "$dir"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

crop=(-crop 7x5+200+120 +repage)
convert "$photo" "${crop[@]}" -type truecolor BMP3:"$tmp/rgb24.bmp"            # 40-byte header, 24 bits
convert "$photo" "${crop[@]}" -colors 16 -type palette BMP3:"$tmp/pal4.bmp"   # 16-colour palette
convert "$photo" "${crop[@]}" -colors 60 -type palette BMP3:"$tmp/pal8.bmp"   # 8 bits, short palette
convert "$photo" "${crop[@]}" -monochrome BMP3:"$tmp/mono.bmp"                 # 1 bit
convert "$photo" "${crop[@]}" -colors 60 -type palette -compress RLE BMP3:"$tmp/rle8.bmp" # left to Qt
convert "$photo" "${crop[@]}" -define bmp:subtype=RGB565 BMP:"$tmp/rgb565.bmp" # 16-bit bit fields
convert "$photo" "${crop[@]}" -alpha set -channel A -evaluate set 50% BMP:"$tmp/argb32.bmp" # V5, 32 bits
convert "$photo" "${crop[@]}" -type truecolor BMP2:"$tmp/core24.bmp"           # old 12-byte header
# Top-down rows: the height field negated in a copy of the 24-bit file.
python3 - "$tmp/rgb24.bmp" "$tmp/topdown.bmp" <<'PY'
import struct, sys
b = bytearray(open(sys.argv[1], 'rb').read())
h = struct.unpack_from('<i', b, 22)[0]
struct.pack_into('<i', b, 22, -h)
open(sys.argv[2], 'wb').write(b)
PY
for f in "$tmp"/*.bmp; do
  name=$(basename "$f" .bmp)
  size=$(stat -c %s "$f")
  cp "$f" "$dir/$name"
  head -c $((size * 2 / 3)) "$f" >"$dir/$name-cut"
  head -c 40 "$f" >"$dir/$name-header"
done
