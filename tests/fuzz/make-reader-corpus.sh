#!/usr/bin/env bash
# Writes the seed corpora of the reader targets into tests/fuzz/corpus/{picture,wmf,clipboard}/
# (committed; rerun by hand, needs ImageMagick, exiftool, cwebp and heif-enc):
# bash tests/fuzz/make-reader-corpus.sh
# Seeds are small real files, whole and cut at a quarter, a half, three quarters
# and one byte short: a 20 x 14 crop of tests/data/chelsea.png as PNG, JPEG (also
# stored sideways with EXIF Orientation 6), GIF, BMP, ICO (also of three sizes),
# TIFF, WebP and HEIC, and the metafiles in wmf-seeds/ (see README.md).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

convert "$here/../data/chelsea.png" -crop 20x14+200+120 +repage "$tmp/cat.png"
convert "$tmp/cat.png" -quality 80 "$tmp/cat.jpg"
convert "$tmp/cat.png" "$tmp/cat.gif"
convert "$tmp/cat.png" -type TrueColor "BMP3:$tmp/cat.bmp"
convert "$tmp/cat.png" "$tmp/cat.ico"
convert "$tmp/cat.png" -rotate -90 -quality 80 "$tmp/cat-6.jpg"
exiftool -q -overwrite_original -n -Orientation=6 "$tmp/cat-6.jpg"
convert "$tmp/cat.png" -resize '16x16!' "$tmp/16.png"
convert "$tmp/cat.png" -resize '24x24!' "$tmp/24.png"
convert "$tmp/16.png" "$tmp/24.png" "$tmp/cat-sizes.ico"
rm "$tmp/16.png" "$tmp/24.png"
convert "$tmp/cat.png" -compress zip "$tmp/cat.tif"
cwebp -quiet -q 80 "$tmp/cat.png" -o "$tmp/cat.webp"
heif-enc -q 50 -o "$tmp/cat.heic" "$tmp/cat.png" >/dev/null
cp "$here"/wmf-seeds/*.wmf "$tmp/"
# The same drawings without their placeable header: sized by their window extent.
# Their writer counts the placeable header into the stated size; these must not.
for f in "$here"/wmf-seeds/*.wmf; do
  python3 - "$f" "$tmp/$(basename "$f" .wmf)-standard.wmf" <<'PY'
import struct, sys
b = bytearray(open(sys.argv[1], 'rb').read()[22:])
struct.pack_into('<I', b, 6, len(b) // 2)
open(sys.argv[2], 'wb').write(b)
PY
done

# cuts FILE DIR [PREFIX]: FILE whole and cut, into DIR; PREFIX (hex) goes first.
cuts() {
  local file=$1 dir=$2 prefix=${3:-} name n
  name=$(basename "$file")
  n=$(stat -c %s "$file")
  for length in "$n" $((n / 4)) $((n / 2)) $((n * 3 / 4)) $((n - 1)); do
    { printf "$(sed 's/../\\x&/g' <<<"$prefix")"; head -c "$length" "$file"; } >"$dir/$name-$length"
  done
}

# Inputs the fuzzer found (finding-*) stay.
for target in picture wmf clipboard; do
  mkdir -p "$here/corpus/$target"
  find "$here/corpus/$target" -type f ! -name 'finding-*' -delete
done
for f in "$tmp"/*; do cuts "$f" "$here/corpus/picture"; done
for f in "$tmp"/*.wmf; do cuts "$f" "$here/corpus/wmf"; done
# Metafiles written by other programs: text at per-character advances, a window
# in twips without a placeable header, escapement. Not poi-60677: its Japanese
# font names send Qt to fontconfig's fallback list, which the sanitized replay
# (no leak suppressions there) reports as leaked.
for f in formula1 p0000001 fulltest; do cuts "$here/../data/wmf/$f.wmf" "$here/corpus/wmf"; done

# Clipboard inputs: byte 0 picks the offered formats (bit 0 PNG, 1 BMP, 2 JPEG,
# 3 GIF, 4 WMF, 5 ICO, 6 WebP, 7 HEIC), "|VLM|" separates their bytes.
sep=$(printf '|VLM|')
cuts "$tmp/cat.png" "$here/corpus/clipboard" 01
cuts "$tmp/cat.bmp" "$here/corpus/clipboard" 02
cuts "$tmp/cat.jpg" "$here/corpus/clipboard" 04
cuts "$tmp/cat.gif" "$here/corpus/clipboard" 08
cuts "$tmp/shapes-libuemf.wmf" "$here/corpus/clipboard" 10
cuts "$tmp/cat.ico" "$here/corpus/clipboard" 20
cuts "$tmp/cat.webp" "$here/corpus/clipboard" 40
cuts "$tmp/cat.heic" "$here/corpus/clipboard" 80
# A damaged PNG offered before a sound BMP: the BMP is the one pasted.
{ printf '\x03'; head -c 40 "$tmp/cat.png"; printf '%s' "$sep"; cat "$tmp/cat.bmp"; } \
  >"$here/corpus/clipboard/damaged-png-then-bmp"
# Every format offered, the last with no bytes.
{ printf '\x3f'; for f in cat.png cat.bmp cat.jpg cat.gif shapes-libuemf.wmf; do
    cat "$tmp/$f"; printf '%s' "$sep"; done; } >"$here/corpus/clipboard/all-formats"
