#!/usr/bin/python3
"""Makes the README's pictures of the dither modes in docs/dither/.

  scripts/make_dither_pictures.py [QUILL]      (QUILL: build/cli/quill by default)

Draws source.png, a small grey picture with a shaded ball, a grey ramp, text
and bars (cairo), then renders it once per dither mode with `quill preview`,
one pixel a dot, as the printer would print it: MODE.png.
"""
import subprocess
import sys
from pathlib import Path

import cairo
from PIL import Image

MODES = ["label", "threshold", "ordered", "floyd-steinberg", "atkinson"]
WIDTH, HEIGHT = 240, 120


def draw_source(path):
    surface = cairo.ImageSurface(cairo.FORMAT_RGB24, WIDTH, HEIGHT)
    cr = cairo.Context(surface)
    cr.set_source_rgb(1, 1, 1)
    cr.paint()
    # A ball lit from the top left.
    ball = cairo.RadialGradient(38, 34, 4, 50, 46, 42)
    ball.add_color_stop_rgb(0, 0.97, 0.97, 0.97)
    ball.add_color_stop_rgb(1, 0.1, 0.1, 0.1)
    cr.arc(50, 46, 40, 0, 6.2832)
    cr.set_source(ball)
    cr.fill()
    # A ramp from black to white along the bottom.
    ramp = cairo.LinearGradient(0, 0, WIDTH, 0)
    ramp.add_color_stop_rgb(0, 0, 0, 0)
    ramp.add_color_stop_rgb(1, 1, 1, 1)
    cr.rectangle(0, 96, WIDTH, 24)
    cr.set_source(ramp)
    cr.fill()
    # Text and bars, which should stay crisp.
    cr.set_source_rgb(0, 0, 0)
    cr.select_font_face("DejaVu Sans", cairo.FONT_SLANT_NORMAL, cairo.FONT_WEIGHT_BOLD)
    cr.set_font_size(22)
    cr.move_to(104, 30)
    cr.show_text("quillkit")
    x = 106
    for i, width in enumerate([2, 1, 3, 1, 1, 2, 3, 1, 2, 2, 1, 3, 2, 1, 1, 3, 2, 1, 2, 1]):
        if i % 2 == 0:
            cr.rectangle(x, 42, width * 2, 40)
            cr.fill()
        x += width * 2 + 2
    surface.flush()
    # Stored as 8-bit grey, which keeps the file small.
    rgb = Image.frombuffer("RGBA", (WIDTH, HEIGHT), bytes(surface.get_data()), "raw", "BGRA", 0, 1)
    rgb.convert("L").save(path, optimize=True)


def main():
    quill = sys.argv[1] if len(sys.argv) > 1 else "build/cli/quill"
    out = Path(__file__).resolve().parent.parent / "docs" / "dither"
    out.mkdir(parents=True, exist_ok=True)
    source = out / "source.png"
    draw_source(source)
    for mode in MODES:
        subprocess.run([quill, "preview", str(source), "--dither", mode, "-o", str(out / f"{mode}.png")],
                       check=True, stdout=subprocess.DEVNULL)
    for path in sorted(out.glob("*.png")):
        print(f"{path}: {path.stat().st_size} bytes")


if __name__ == "__main__":
    main()
