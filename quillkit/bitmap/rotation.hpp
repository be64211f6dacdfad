// Turning an image about its centre.
#pragma once

#include "quillkit/types.hpp"

namespace quillkit::bitmap {

// degree x pi / 180.
double degrees_to_radians(double degree);

// The image turned clockwise (rows running down) by `degree` about its centre.
// The canvas is h wide and w high when `degree` is exactly 90 or 270, else it
// keeps the source's size; the source's centre lands on the canvas's centre,
// uncovered pixels are transparent and source pixels falling outside are lost.
// Quarter turns (any angle that is a whole multiple of 90) move pixels exactly;
// other angles sample the nearest source pixel, so every pixel is a copy of a
// source pixel or transparent. A non-finite angle returns the image unturned;
// an image whose pixel buffer does not match its size returns an empty image.
Image rotate_image(const Image& image, double degree);

}  // namespace quillkit::bitmap
