#!/usr/bin/python3
"""Writes the picture files of the picture tests into the folder named first.

Each file holds a few areas of known grey, so that a test can check what a
loader made of it:
  gradient.png   8-bit grey, 256 x 8, grey x in column x
  logo.png       RGBA 64 x 32: opaque black, half-transparent black, clear
  deep.png       16-bit grey, 4 x 1: 0, 0x8000, 0xFFFF, 0x4000
  palette.png    palette, 4 x 1: red, green, blue, and white made clear by tRNS
  bilevel.png    1-bit grey, 16 x 1: black and white by turns
  photo.jpg      RGB JPEG 64 x 64: left half (200, 100, 50), right half grey 240
  twopages.pdf   two pages of 72 x 36 points: left half black; all black
  huge.png       a header of 100000 x 100000 pixels and no pixels
  locked.pdf     a one-page PDF whose reading needs a password
"""
import struct
import sys
import zlib
from pathlib import Path

import cairo
from PIL import Image


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))


def main():
    out = Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)

    Image.frombytes("L", (256, 8), bytes(range(256)) * 8).save(out / "gradient.png")

    logo = cairo.ImageSurface(cairo.FORMAT_ARGB32, 64, 32)
    cr = cairo.Context(logo)
    cr.rectangle(0, 0, 32, 32)
    cr.set_source_rgba(0, 0, 0, 1)
    cr.fill()
    cr.rectangle(32, 0, 16, 32)
    cr.set_source_rgba(0, 0, 0, 128 / 255)
    cr.fill()
    logo.write_to_png(str(out / "logo.png"))

    Image.frombytes("I;16", (4, 1), struct.pack("<4H", 0, 0x8000, 0xFFFF, 0x4000)).save(
        out / "deep.png")

    palette = Image.frombytes("P", (4, 1), bytes([0, 1, 2, 3]))
    palette.putpalette([255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0])
    palette.save(out / "palette.png", transparency=3)

    Image.frombytes("1", (16, 1), bytes([0x55, 0x55])).save(out / "bilevel.png")

    photo = Image.new("RGB", (64, 64), (240, 240, 240))
    photo.paste((200, 100, 50), (0, 0, 32, 64))
    photo.save(out / "photo.jpg", quality=95)

    pdf = cairo.PDFSurface(str(out / "twopages.pdf"), 72, 36)
    cr = cairo.Context(pdf)
    cr.rectangle(0, 0, 36, 36)
    cr.fill()
    cr.show_page()
    cr.rectangle(0, 0, 72, 36)
    cr.fill()
    cr.show_page()
    pdf.finish()

    ihdr = struct.pack(">IIBBBBB", 100000, 100000, 8, 0, 0, 0, 0)
    (out / "huge.png").write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) +
                                   chunk(b"IDAT", zlib.compress(b"\0" * 64)))

    # The standard security handler with keys that no empty password opens.
    objects = [b"<< /Type /Catalog /Pages 2 0 R >>",
               b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
               b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 72 36] >>",
               b"<< /Filter /Standard /V 1 /R 2 /P -4 /O <" + b"11" * 32 + b"> /U <" +
               b"22" * 32 + b"> >>"]
    body = b"%PDF-1.4\n"
    offsets = []
    for number, text in enumerate(objects, 1):
        offsets.append(len(body))
        body += b"%d 0 obj\n%s\nendobj\n" % (number, text)
    xref = len(body)
    body += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objects) + 1)
    body += b"".join(b"%010d 00000 n \n" % offset for offset in offsets)
    body += (b"trailer\n<< /Size %d /Root 1 0 R /Encrypt 4 0 R /ID [<00> <00>] >>\n"
             b"startxref\n%d\n%%%%EOF\n" % (len(objects) + 1, xref))
    (out / "locked.pdf").write_bytes(body)


if __name__ == "__main__":
    main()
