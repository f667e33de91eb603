#!/usr/bin/env bash
# Writes the small pictures of the kinds phones and cameras give today into tests/data/
# (committed; rerun by hand): bash tests/data/make-phone-pictures.sh
# Needs ImageMagick, exiftool (libimage-exiftool-perl), cwebp (webp), heif-enc (libheif-examples).
# portrait.png is the upright reference, 36 x 48 pixels of chelsea.png; every other file
# shows that picture once read upright; sizes-48.png is the largest image of sizes.ico.
set -euo pipefail
data=$(cd "$(dirname "$0")" && pwd)
im=/usr/bin/convert
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

$im "$data/chelsea.png" -crop 210x280+120+10 +repage -resize '36x48!' -strip "$data/portrait.png"

# Stored sideways as a phone does, with the turn that shows it upright in the EXIF
# Orientation tag: 6 turns the stored pixels a quarter clockwise, 8 anticlockwise.
$im "$data/portrait.png" -rotate -90 -quality 95 -sampling-factor 1x1 "$data/portrait-6.jpg"
$im "$data/portrait.png" -rotate 90 -quality 95 -sampling-factor 1x1 "$data/portrait-8.jpg"
exiftool -q -overwrite_original -n -Orientation=6 -Make=Velmora -Model=Test "$data/portrait-6.jpg"
exiftool -q -overwrite_original -n -Orientation=8 -Make=Velmora -Model=Test "$data/portrait-8.jpg"

# TIFF: the same sideways pixels (deflate) with its own Orientation tag.
$im "$data/portrait.png" -rotate -90 -compress zip "$data/portrait-6.tif"
exiftool -q -overwrite_original -n -IFD0:Orientation=6 "$data/portrait-6.tif"

cwebp -quiet -lossless "$data/portrait.png" -o "$data/portrait.webp"
heif-enc -q 90 -p chroma=444 -o "$data/portrait.heic" "$data/portrait.png" >/dev/null

# An icon of three sizes, the largest in the middle: 16, 48 and 32 pixels square.
$im "$data/portrait.png" -crop 36x36+0+0 +repage -resize '48x48!' "$tmp/48.png"
$im "$tmp/48.png" -resize 16x16 "$tmp/16.png"
$im "$tmp/48.png" -resize 32x32 "$tmp/32.png"
$im "$tmp/16.png" "$tmp/48.png" "$tmp/32.png" "$data/sizes.ico"
cp "$tmp/48.png" "$data/sizes-48.png"
