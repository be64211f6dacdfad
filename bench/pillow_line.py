#!/usr/bin/python3
"""The host-font line through Pillow, for comparison with windowsfont.

Usage: pillow_line.py FONT_FILE SIZE TEXT
Draws TEXT in FONT_FILE at SIZE points without antialiasing, converts the
image to 1 bit a pixel and takes its bytes, as often as fits in about half a
second of processor time after one warm-up, and prints the processor seconds
one line took. The font is opened once, outside the timing.
"""
import sys
import time

from PIL import Image, ImageDraw, ImageFont


def line(font, text):
    width = int(font.getlength(text))
    ascent, descent = font.getmetrics()
    image = Image.new("L", (width + 8 - width % 8, ascent + descent + 1), 0)
    draw = ImageDraw.Draw(image)
    draw.fontmode = "1"
    draw.text((0, 0), text, font=font, fill=255)
    return image.convert("1").tobytes()


def main():
    path, size, text = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    font = ImageFont.truetype(path, size)
    line(font, text)
    count = 0
    start = time.process_time()
    while count < 20 or time.process_time() - start < 0.5:
        line(font, text)
        count += 1
    print((time.process_time() - start) / count)


if __name__ == "__main__":
    main()
