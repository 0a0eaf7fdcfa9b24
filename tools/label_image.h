// label_image.h -- face-label images on disk (tools/label_image.cpp): the
// readers of hybtrace and the PNG writers of hybsynth and hybtrace.
#ifndef HYBFIT_TOOLS_LABEL_IMAGE_H
#define HYBFIT_TOOLS_LABEL_IMAGE_H

#include <cstdint>
#include <vector>

// A label image: one value per pixel, row by row from the top.
struct label_image {
  int width, height;
  std::vector<uint32_t> pixels;  // width * height values
  int colour = 0;                // 1: the values are colours 0xRRGGBB
};

enum { LABEL_ERROR_SIZE = 512 };
enum { LABEL_MAX_SIDE = 16384 };          // widest and tallest image read
enum { LABEL_MAX_PIXELS = 64 << 20 };     // most pixels of an image read

// Reads a grey PNG of 1 to 16 bits (values unscaled), an indexed PNG (a
// pixel's value is its palette index), a colour PNG (grey values when every
// pixel is grey, else colours 0xRRGGBB of the upper 8 bits of each sample),
// or a binary (P5) or ASCII (P2) PGM; a PNG's transparent pixels are
// background (0).  Returns 1, or 0 with a one-line reason in err that names
// the file.
int read_label_image(const char *path, label_image *img, char *err);

// Writes width x height bytes as an 8-bit grey PNG; 1, or 0 with err filled.
int write_grey_png(const char *path, int width, int height, const unsigned char *pixels,
                   char *err);

// Writes width x height RGB triples as a colour PNG; 1, or 0 with err filled.
int write_rgb_png(const char *path, int width, int height, const unsigned char *rgb,
                  char *err);

#endif
