"""Makes the printer application's test documents from two label pictures.

Usage: documents.py FIRST.png SECOND.png OUTDIR
Writes OUTDIR/first.jpg (the first picture as a grey JPEG) and OUTDIR/pages.pdf (a PDF with
each picture on a page of its own size, one point per pixel).
"""
import sys

import cairo
from PIL import Image


def main(first, second, outdir):
    Image.open(first).convert("L").save(f"{outdir}/first.jpg", quality=90)
    pictures = [cairo.ImageSurface.create_from_png(p) for p in (first, second)]
    pdf = cairo.PDFSurface(f"{outdir}/pages.pdf", pictures[0].get_width(),
                           pictures[0].get_height())
    context = cairo.Context(pdf)
    for picture in pictures:
        pdf.set_size(picture.get_width(), picture.get_height())
        context.set_source_rgb(1, 1, 1)
        context.paint()
        context.set_source_surface(picture, 0, 0)
        context.paint()
        context.show_page()
    pdf.finish()


if __name__ == "__main__":
    main(*sys.argv[1:4])
