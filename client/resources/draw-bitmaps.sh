#!/usr/bin/env bash
# Draws the banner (134, 379x92, 24-bit) and the corner image (135, 158x24,
# 32-bit) with ImageMagick and writes them as plain BITMAPINFOHEADER files,
# the form the resource compiler and LoadImage handle everywhere.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Banner: the title blue fading to a brighter blue, a scan-mark logo, the
# product name and a tag line.
convert -size 92x379 gradient:'rgb(0,44,119)-rgb(0,98,178)' -rotate -90 \
  -fill 'rgba(255,255,255,0.06)' -draw 'circle 330,20 330,110' \
  -fill 'rgba(255,255,255,0.05)' -draw 'circle 372,88 372,150' \
  -fill none -stroke white -strokewidth 4 -draw 'circle 46,46 46,20' \
  -stroke 'rgb(120,200,90)' -strokewidth 3 \
  -draw 'polyline 26,47 36,47 41,36 48,58 54,42 58,47 66,47' \
  -stroke white -strokewidth 5 -draw 'line 65,65 78,78' \
  -stroke none -fill white -font DejaVu-Sans-Bold -pointsize 36 -annotate +90+52 'Zorvane' \
  -fill 'rgb(190,212,244)' -font DejaVu-Sans -pointsize 12 -annotate +92+74 'Know every process your PC is running' \
  -fill 'rgba(255,255,255,0.35)' -draw 'rectangle 92,80 300,81' \
  -alpha off "$work/banner.rgba.png"
convert "$work/banner.rgba.png" -depth 8 rgba:"$work/banner.raw"

# Corner image: a small logo and the product name on the dialog colour.
convert -size 158x24 xc:'rgb(236,233,216)' \
  -fill 'rgb(0,44,119)' -draw 'circle 12,12 12,3' \
  -fill none -stroke white -strokewidth 1.5 -draw 'polyline 6,12 9,12 11,8 13,16 15,10 18,12' \
  -stroke none -fill 'rgb(0,44,119)' -font DejaVu-Sans-Bold -pointsize 12 -annotate +26+16 'Zorvane' \
  -fill 'rgb(110,110,110)' -font DejaVu-Sans -pointsize 10 -annotate +86+16 'process scan' \
  "$work/corner.png"
convert "$work/corner.png" -alpha set -depth 8 rgba:"$work/corner.raw"

python3 - "$work" <<'PY'
import struct, sys
work = sys.argv[1]

def write_bmp(raw, width, height, bits, out):
    data = open(raw, 'rb').read()
    bpp = bits // 8
    stride = (width * bpp + 3) & ~3
    rows = []
    for y in range(height - 1, -1, -1):
        row = bytearray()
        for x in range(width):
            r, g, b, a = data[(y * width + x) * 4:(y * width + x) * 4 + 4]
            row += bytes((b, g, r)) + (bytes((a,)) if bpp == 4 else b'')
        row += b'\0' * (stride - len(row))
        rows.append(bytes(row))
    pixels = b''.join(rows)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, bits, 0, len(pixels), 2835, 2835, 0, 0)
    header = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    open(out, 'wb').write(header + info + pixels)

write_bmp(f'{work}/banner.raw', 379, 92, 24, 'banner.bmp')
write_bmp(f'{work}/corner.raw', 158, 24, 32, 'corner.bmp')
PY
