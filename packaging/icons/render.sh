#!/bin/sh
# Renders the committed PNG icons from pdulink.svg (run after editing the SVG).
# ImageMagick's own SVG renderer is enough: the drawing uses flat colours only.
set -eu
cd "$(dirname "$0")"
for size in 48 256; do
  convert -background none -density 96 pdulink.svg -resize "${size}x${size}" \
    -define png:bit-depth=8 -strip "pdulink-${size}.png"
done
