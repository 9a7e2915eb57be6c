#!/usr/bin/env bash
# Draws the launcher's icon and packs it as resources/orbex.ico with the seven
# images the executable carries: 16x16 4-bit; 32x32 and 16x16 8-bit; 256x256
# (PNG-compressed), 48x48, 32x32 and 16x16 32-bit.
# Needs Debian's imagemagick and icoutils; the result is checked in, so a
# build does not.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert=/usr/bin/convert  # the real one, not a stand-in earlier on PATH

# A blue rounded tile with a white ring and an orange dot on it: an orbit.
"$convert" -size 256x256 xc:none \
  -fill '#1f5fbf' -draw 'roundrectangle 8,8 247,247 48,48' \
  -fill none -stroke white -strokewidth 22 -draw 'ellipse 128,128 78,78 0,360' \
  -stroke none -fill '#ff9b1a' -draw 'circle 184,72 184,100' \
  "$tmp/master.png"

for size in 16 32 48 256; do
  "$convert" "$tmp/master.png" -resize ${size}x${size} "PNG32:$tmp/rgba$size.png"
done
# Palette images for old displays: 8-bit (256 colours) and 4-bit (16 colours).
for size in 16 32; do
  "$convert" "$tmp/rgba$size.png" -background white -alpha remove -colors 256 "PNG8:$tmp/pal8_$size.png"
done
"$convert" "$tmp/rgba16.png" -background white -alpha remove -colors 16 "PNG8:$tmp/pal4_16.png"

icotool -c -o "$here/orbex.ico" \
  -b 4 "$tmp/pal4_16.png" \
  -b 8 "$tmp/pal8_32.png" -b 8 "$tmp/pal8_16.png" \
  -r "$tmp/rgba256.png" \
  -b 32 "$tmp/rgba48.png" -b 32 "$tmp/rgba32.png" -b 32 "$tmp/rgba16.png"
icotool -l "$here/orbex.ico"
