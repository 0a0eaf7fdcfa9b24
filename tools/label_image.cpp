// label_image.cpp -- reads face-label images (PNG through libpng, PGM by
// hand) and writes grey and colour PNGs.
//
// read_label_image takes the whole file into memory, tells the format by its
// first bytes and hands it to read_png or read_pgm.  Every count (width,
// height, maximum value, pixel values, bytes left) is checked before it is
// used, so a damaged or hostile file ends in a one-line refusal.
#include "label_image.h"

#include <png.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const long MAX_FILE_BYTES = 1L << 30;

static int refuse(char *err, const char *path, const char *what) {
  snprintf(err, LABEL_ERROR_SIZE, "%s: %s", path, what);
  return 0;
}

static bool read_whole_file(const char *path, std::vector<unsigned char> *bytes) {
  FILE *fp = fopen(path, "rb");
  if (!fp) return false;
  bool ok = fseek(fp, 0, SEEK_END) == 0;
  long n = ok ? ftell(fp) : -1;
  ok = ok && n >= 0 && n <= MAX_FILE_BYTES && fseek(fp, 0, SEEK_SET) == 0;
  if (ok) {
    bytes->resize((size_t)n);
    ok = n == 0 || fread(bytes->data(), 1, (size_t)n, fp) == (size_t)n;
  }
  fclose(fp);
  return ok;
}

static bool size_ok(long w, long h) {
  return w >= 1 && h >= 1 && w <= LABEL_MAX_SIDE && h <= LABEL_MAX_SIDE &&
         w * h <= LABEL_MAX_PIXELS;
}

// ---------------------------------------------------------------------------
// PNG
// ---------------------------------------------------------------------------

namespace {
struct png_source {
  const unsigned char *data;
  size_t size, at;
};
}  // namespace

static void read_png_bytes(png_structp png, png_bytep out, png_size_t n) {
  png_source *src = (png_source *)png_get_io_ptr(png);
  if (n > src->size - src->at) png_error(png, "the file ends inside the image");
  memcpy(out, src->data + src->at, n);
  src->at += n;
}

static void png_quiet(png_structp, png_const_charp) {}

// The checks and transforms before the pixels: grey (1 to 16 bits), palette
// indices, grey or colour with alpha; a transparent colour (tRNS) of an
// image of 8 or 16 bits becomes an alpha channel.  Returns the reason for
// refusing, or null.
static const char *prepare_png(png_structp png, png_infop info) {
  png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
  int depth = png_get_bit_depth(png, info), type = png_get_color_type(png, info);
  if (!size_ok(w, h)) return "the image is too large to be a label image";
  if (depth < 8) png_set_packing(png);
  // (grey of fewer bits keeps its values unscaled and its tRNS unread: made
  // an alpha channel, it would be widened to 8 bits and its values scaled)
  if (type != PNG_COLOR_TYPE_PALETTE && depth >= 8 && png_get_valid(png, info, PNG_INFO_tRNS))
    png_set_tRNS_to_alpha(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  int bytes = png_get_bit_depth(png, info) / 8 * png_get_channels(png, info);
  if (bytes < 1 || png_get_rowbytes(png, info) != (size_t)w * bytes)
    return "unreadable: a damaged PNG";
  return nullptr;
}

// The label value of each pixel of rows of PNG samples (big-endian when of
// 16 bits): its grey, or its palette index; a transparent pixel is
// background.  A colour image whose every pixel is grey (as tools that save
// grey as colour write it) gives its grey values too; any other gives each
// pixel's colour 0xRRGGBB, of the samples' upper 8 bits, and sets *colour.
static void png_values(const unsigned char *data, png_uint_32 w, png_uint_32 h, int channels,
                       int depth, std::vector<uint32_t> *values, int *colour) {
  size_t n = (size_t)w * h, sample = depth / 8, stride = channels * sample;
  auto at = [&](size_t i, int k) -> uint32_t {
    const unsigned char *p = data + i * stride + k * sample;
    return sample == 1 ? p[0] : (uint32_t)(p[0] << 8 | p[1]);
  };
  *colour = 0;
  if (channels == 1 && sample == 1) {  // grey or palette indices of a byte: most label images
    values->assign(data, data + n);
    return;
  }
  for (size_t i = 0; i < n && channels >= 3 && !*colour; i++)
    *colour = at(i, 1) != at(i, 0) || at(i, 2) != at(i, 0);
  int shift = 8 * ((int)sample - 1);
  values->resize(n);
  for (size_t i = 0; i < n; i++) {
    uint32_t v = at(i, 0);
    if (*colour) v = (v >> shift) << 16 | (at(i, 1) >> shift) << 8 | at(i, 2) >> shift;
    if ((channels == 2 || channels == 4) && at(i, channels - 1) == 0) v = 0;
    (*values)[i] = v;
  }
}

// Only plain data lives in this frame across png's longjmp.
static int read_png(const char *path, const std::vector<unsigned char> &bytes, label_image *img,
                    char *err) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, png_quiet, png_quiet);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return refuse(err, path, "out of memory reading the PNG");
  }
  png_source src = {bytes.data(), bytes.size(), 0};
  unsigned char *volatile data = nullptr;
  png_bytep *volatile rows = nullptr;
  const char *volatile why = "unreadable: a damaged PNG";
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_set_read_fn(png, &src, read_png_bytes);
    png_set_user_limits(png, LABEL_MAX_SIDE, LABEL_MAX_SIDE);
    png_read_info(png, info);
    why = prepare_png(png, info);
    if (!why) {
      why = "unreadable: a damaged PNG";
      png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
      size_t row_bytes = png_get_rowbytes(png, info);
      data = (unsigned char *)malloc(row_bytes * h);
      rows = (png_bytep *)malloc(h * sizeof(png_bytep));
      if (data && rows) {
        for (png_uint_32 y = 0; y < h; y++) rows[y] = data + row_bytes * y;
        png_read_image(png, rows);
        png_values(data, w, h, png_get_channels(png, info), png_get_bit_depth(png, info),
                   &img->pixels, &img->colour);
        img->width = (int)w;
        img->height = (int)h;
        why = nullptr;
      }
    }
  }
  free(data);
  free(rows);
  png_destroy_read_struct(&png, &info, nullptr);
  return why ? refuse(err, path, why) : 1;
}

// Writes rows of width * channels bytes; 1, or 0 with err filled.
static int write_png(const char *path, int width, int height, int channels,
                     const unsigned char *data, char *err) {
  FILE *fp = fopen(path, "wb");
  if (!fp) return refuse(err, path, "cannot write");
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, png_quiet, png_quiet);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  volatile int ok = 0;
  if (info && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, fp);
    png_set_IHDR(png, info, width, height, 8,
                 channels == 1 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; y++)
      png_write_row(png, (png_const_bytep)(data + (size_t)y * width * channels));
    png_write_end(png, nullptr);
    ok = 1;
  }
  png_destroy_write_struct(&png, &info);
  if (fclose(fp) != 0) ok = 0;
  return ok ? 1 : refuse(err, path, "cannot write");
}

int write_grey_png(const char *path, int width, int height, const unsigned char *pixels,
                   char *err) {
  return write_png(path, width, height, 1, pixels, err);
}

int write_rgb_png(const char *path, int width, int height, const unsigned char *rgb, char *err) {
  return write_png(path, width, height, 3, rgb, err);
}

// ---------------------------------------------------------------------------
// PGM
// ---------------------------------------------------------------------------

namespace {
struct pgm_cursor {
  const unsigned char *p, *end;
};
}  // namespace

// Skips white space and comment lines ("#" to the end of the line).
static void skip_pgm_space(pgm_cursor *c) {
  while (c->p < c->end) {
    if (*c->p == '#') {
      while (c->p < c->end && *c->p != '\n') c->p++;
    } else if (isspace(*c->p)) {
      c->p++;
    } else {
      return;
    }
  }
}

// A decimal number of at most max; false when there is none or it is larger.
static bool read_pgm_number(pgm_cursor *c, long max, long *value) {
  skip_pgm_space(c);
  if (c->p == c->end || !isdigit(*c->p)) return false;
  long v = 0;
  while (c->p < c->end && isdigit(*c->p)) {
    v = v * 10 + (*c->p++ - '0');
    if (v > max) return false;
  }
  *value = v;
  return true;
}

static int read_pgm(const char *path, const std::vector<unsigned char> &bytes, label_image *img,
                    char *err) {
  pgm_cursor c = {bytes.data() + 2, bytes.data() + bytes.size()};
  bool ascii = bytes[1] == '2';
  long w, h, maxval;
  if (!read_pgm_number(&c, LABEL_MAX_SIDE, &w) || !read_pgm_number(&c, LABEL_MAX_SIDE, &h) ||
      !read_pgm_number(&c, 65535, &maxval) || maxval < 1)
    return refuse(err, path, "unreadable: a damaged PGM header");
  if (!size_ok(w, h)) return refuse(err, path, "the image is too large to be a label image");
  size_t n = (size_t)w * h;
  img->pixels.resize(n);
  if (ascii) {
    for (size_t i = 0; i < n; i++) {
      long v;
      if (!read_pgm_number(&c, maxval, &v))
        return refuse(err, path, "unreadable: the PGM holds too few or too large values");
      img->pixels[i] = (uint32_t)v;
    }
  } else {
    if (c.p == c.end || !isspace(*c.p)) return refuse(err, path, "unreadable: a damaged PGM header");
    c.p++;  // the one white space character before the pixels
    size_t width = maxval < 256 ? 1 : 2;
    if ((size_t)(c.end - c.p) < n * width) return refuse(err, path, "unreadable: the PGM is cut short");
    for (size_t i = 0; i < n; i++) {
      long v = width == 1 ? c.p[i] : c.p[2 * i] << 8 | c.p[2 * i + 1];
      if (v > maxval) return refuse(err, path, "unreadable: a PGM value above its maximum");
      img->pixels[i] = (uint32_t)v;
    }
  }
  img->width = (int)w;
  img->height = (int)h;
  return 1;
}

int read_label_image(const char *path, label_image *img, char *err) {
  static const unsigned char png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<unsigned char> bytes;
  img->width = img->height = img->colour = 0;
  img->pixels.clear();
  if (!read_whole_file(path, &bytes)) return refuse(err, path, "unreadable: cannot read the file");
  if (bytes.size() >= 8 && memcmp(bytes.data(), png_signature, 8) == 0)
    return read_png(path, bytes, img, err);
  if (bytes.size() >= 2 && bytes[0] == 'P' && (bytes[1] == '5' || bytes[1] == '2'))
    return read_pgm(path, bytes, img, err);
  return refuse(err, path, "unreadable: neither a PNG nor a PGM image");
}
