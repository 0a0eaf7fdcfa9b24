// image.cpp -- the second back end of the layer: the window's frame drawn
// into images in memory with Cairo, so that a run without any X server (a
// batch fit on a server) can still save its picture as PNG.
//
// While gl_offscreen(1) is in force, winopen opens no window: window.cpp
// gives the layer two Cairo image surfaces of the window's size instead, the
// back buffer and the front copy, and every call keeps its meaning.  The
// line segments that draw.cpp batches (already clipped, in window pixels
// with the origin at the top left, wide lines already stacked) are stroked
// here as one-pixel lines without antialiasing, as X draws them; text is
// drawn with Cairo's own font support in the layer's fixed-width family, 13
// pixels a line like the window's; clear fills the screen mask;
// swapbuffers copies the back image to the front copy, which gl_write_png
// saves.  Colours are those of the window's colour map.
//
// Start with gl_image_create, then gl_image_segments.
#include <cairo.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "gl_internal.h"

gl_image_state gl_img;

// Text lines of the program are 13 pixels apart; the font must fit them.
static const double kLineSpacing = 13.0;
static const char kFontFamily[] = "DejaVu Sans Mono";
// Line widths up to this arrive as stacked one-pixel segments (draw.cpp).
static const int kMaxStackedWidth = 4;

void gl_offscreen(int on) { gl_img.requested = on ? 1 : 0; }

static void set_color(cairo_t *cr, Colorindex c) {
  const unsigned char *rgb = gl_colormap_rgb[c % GL_COLORS];
  cairo_set_source_rgb(cr, rgb[0] / 255.0, rgb[1] / 255.0, rgb[2] / 255.0);
}

// A drawing context on s, clipped to the current screen mask.
static cairo_t *begin(cairo_surface_t *s) {
  cairo_t *cr = cairo_create(s);
  const gl_rect &m = gl_win.mask;
  int w = m.right >= m.left ? m.right - m.left + 1 : 0;
  int h = m.top >= m.bottom ? m.top - m.bottom + 1 : 0;
  cairo_rectangle(cr, m.left, gl_win.height - 1 - m.top, w, h);
  cairo_clip(cr);
  return cr;
}

// The largest font size (pixels) whose lines fit the program's spacing.
static double choose_font_size(cairo_surface_t *s) {
  cairo_t *cr = cairo_create(s);
  cairo_select_font_face(cr, kFontFamily, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  double size = 12.0;
  for (; size > 6.0; size -= 1.0) {
    cairo_font_extents_t fe;
    cairo_set_font_size(cr, size);
    cairo_font_extents(cr, &fe);
    if (fe.ascent + fe.descent <= kLineSpacing) break;
  }
  cairo_destroy(cr);
  return size;
}

static cairo_surface_t *new_image(int width, int height) {
  cairo_surface_t *s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) return s;
  cairo_surface_destroy(s);
  return nullptr;
}

static void fill_black(cairo_surface_t *s) {
  cairo_t *cr = cairo_create(s);
  set_color(cr, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
}

int gl_image_create(int width, int height) {
  gl_image_close();
  gl_img.back = new_image(width, height);
  gl_img.front = new_image(width, height);
  if (!gl_img.back || !gl_img.front) {
    gl_image_close();
    return 0;
  }
  fill_black(gl_img.back);
  fill_black(gl_img.front);
  gl_img.font_size = choose_font_size(gl_img.back);
  return 1;
}

void gl_image_close() {
  if (gl_img.back) cairo_surface_destroy(gl_img.back);
  if (gl_img.front) cairo_surface_destroy(gl_img.front);
  gl_img.back = gl_img.front = nullptr;
}

// The images that drawing goes to now, as gl_targets chooses the buffers of
// the window: the back image, and the front copy while the front buffer is
// enabled or before double buffering.
static int targets(cairo_surface_t *s[2]) {
  if (!gl_img.back) return 0;
  int n = 0;
  if (gl_win.double_mode) {
    s[n++] = gl_img.back;
    if (!gl_win.front_flag) return n;
  }
  s[n++] = gl_img.front;
  return n;
}

void gl_image_segments(const XSegment *segs, int n, Colorindex c, short width) {
  cairo_surface_t *s[2];
  int nt = targets(s);
  for (int t = 0; t < nt; t++) {
    cairo_t *cr = begin(s[t]);
    set_color(cr, c);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_line_width(cr, width > kMaxStackedWidth ? width : 1);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);  // X lines include both ends
    for (int i = 0; i < n; i++) {
      cairo_move_to(cr, segs[i].x1 + 0.5, segs[i].y1 + 0.5);
      cairo_line_to(cr, segs[i].x2 + 0.5, segs[i].y2 + 0.5);
    }
    cairo_stroke(cr);
    cairo_destroy(cr);
  }
}

void gl_image_clear(Colorindex c) {
  cairo_surface_t *s[2];
  int nt = targets(s);
  for (int t = 0; t < nt; t++) {
    cairo_t *cr = begin(s[t]);
    set_color(cr, c);
    cairo_paint(cr);
    cairo_destroy(cr);
  }
}

double gl_image_text(double x, double y, const char *text, Colorindex c) {
  cairo_surface_t *s[2];
  int nt = targets(s);
  double advance = 0.0;
  for (int t = 0; t < nt; t++) {
    cairo_t *cr = begin(s[t]);
    cairo_select_font_face(cr, kFontFamily, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, gl_img.font_size);
    set_color(cr, c);
    cairo_move_to(cr, x, y);
    cairo_show_text(cr, text);
    cairo_text_extents_t te;
    cairo_text_extents(cr, text, &te);
    advance = te.x_advance;
    cairo_destroy(cr);
  }
  return advance;
}

void gl_image_swap() {
  if (!gl_win.double_mode) return;
  cairo_t *cr = cairo_create(gl_img.front);
  cairo_set_source_surface(cr, gl_img.back, 0, 0);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
}

// ---------------------------------------------------------------------------
// PNG files
// ---------------------------------------------------------------------------

int gl_write_surface_png(cairo_surface_t *s, const char *path) {
  std::string tmp = std::string(path) + ".tmp" + std::to_string((long)getpid());
  cairo_status_t st = cairo_surface_write_to_png(s, tmp.c_str());
  if (st == CAIRO_STATUS_SUCCESS && rename(tmp.c_str(), path) == 0) return 0;
  unlink(tmp.c_str());
  return -1;
}

int gl_write_png(const char *path) {
  if (!gl_img.front || !path) return -1;
  cairo_surface_flush(gl_img.front);
  return gl_write_surface_png(gl_img.front, path);
}
