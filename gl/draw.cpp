// draw.cpp -- colour, line width, polylines, move/draw and text.
//
// Vertices go through the current matrices to clip space (transform.cpp),
// each segment is clipped there and mapped through the viewport to window
// pixels, and the segments are collected into one batch per run of equal
// colour and width; a batch becomes a single XDrawSegments request per target
// buffer when the colour or width of the next segment differs, when text,
// a clear or a swap comes, or when the batch is full.  Lines a few pixels
// wide are drawn as stacked thin lines, which X renders far faster than its
// wide lines.  Text is drawn with Xft in the layer's fixed-width font.  In
// the image back end (image.cpp) the same segments and text go to Cairo.  A
// vertex with a non-finite coordinate breaks the polyline: no segment
// touches it.
//
// Start with v3d and emit_segment.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "gl_internal.h"

enum { SEGMENT_BATCH = 4096 };

struct gl_draw_state {
  Colorindex color;           // current colour index
  short width;                // current line width, pixels
  // the polyline being built
  int in_line, closed;
  int have_prev;              // prev holds the last finite vertex of an unbroken run
  double prev[4];             // clip coordinates
  int have_first, vertices;   // closed lines: the first vertex, and how many came
  double first[4];
  // current graphics position (move/draw)
  int have_pos;
  double pos[4];
  // current character position, window pixels (origin lower-left)
  int char_valid;
  double char_x, char_y;
  // pending segments, all in seg_color at seg_width
  XSegment segs[SEGMENT_BATCH];
  int n_segs;
  Colorindex seg_color;
  short seg_width;
  short gc_width;             // width the GC was last set to, -1 unknown
};

static gl_draw_state ds = {0, 1, 0, 0, 0, {0, 0, 0, 0}, 0, 0, {0, 0, 0, 0}, 0, {0, 0, 0, 0},
                           0, 0, 0, {}, 0, 0, 1, -1};

static int finite4(const double c[4]) {
  return std::isfinite(c[0]) && std::isfinite(c[1]) && std::isfinite(c[2]) &&
         std::isfinite(c[3]);
}

void gl_reset_drawing() {
  ds.color = 0;
  ds.width = 1;
  ds.in_line = ds.closed = ds.have_prev = ds.have_first = ds.vertices = 0;
  ds.have_pos = ds.char_valid = 0;
  ds.n_segs = 0;
  ds.gc_width = -1;
}

// ---------------------------------------------------------------------------
// Segment batches
// ---------------------------------------------------------------------------
static unsigned long pixel_of(Colorindex c) { return gl_win.pixel[c % GL_COLORS]; }

// Widths up to this are drawn as stacked thin lines (add_segment).
static const int kMaxStackedWidth = 4;

static void set_gc_width(Display *dpy, short width) {
  short x_width = width <= kMaxStackedWidth ? 0 : width;  // 0: X's fast thin lines
  if (ds.gc_width == x_width) return;
  // Wide lines get projecting caps so the joints of a polyline drawn as
  // separate segments have no notches.
  XSetLineAttributes(dpy, gl_win.gc, x_width, LineSolid, x_width ? CapProjecting : CapButt,
                     JoinMiter);
  ds.gc_width = x_width;
}

void gl_flush_segments() {
  if (ds.n_segs == 0) return;
  Drawable d[3];
  XftDraw *x[3];
  int n = gl_targets(d, x);
  Display *dpy = gl_conn.dpy;
  if (gl_img.back) gl_image_segments(ds.segs, ds.n_segs, ds.seg_color, ds.seg_width);
  if (n > 0) {
    XSetForeground(dpy, gl_win.gc, pixel_of(ds.seg_color));
    set_gc_width(dpy, ds.seg_width);
    for (int i = 0; i < n; i++) XDrawSegments(dpy, d[i], gl_win.gc, ds.segs, ds.n_segs);
  }
  ds.n_segs = 0;
}

void gl_clip_to_window(const double c[4], double *px, double *py) {
  const gl_rect &v = gl_win.viewport;
  double nx = c[0] / c[3], ny = c[1] / c[3];
  double w = v.right - v.left + 1, h = v.top - v.bottom + 1;
  *px = v.left + (nx + 1.0) * 0.5 * w;
  *py = v.bottom + (ny + 1.0) * 0.5 * h;
}

// Integer pixel of a continuous window coordinate, kept inside [lo, hi].
static int to_pixel(double p, int lo, int hi) {
  double f = floor(p);
  if (f < lo) return lo;
  if (f > hi) return hi;
  return (int)f;
}

static void push_segment(int x1, int y1, int x2, int y2) {
  if (ds.n_segs == SEGMENT_BATCH) gl_flush_segments();
  XSegment &s = ds.segs[ds.n_segs++];
  s.x1 = (short)x1;
  s.y1 = (short)y1;
  s.x2 = (short)x2;
  s.y2 = (short)y2;
}

// Queues one segment at the current colour and width.  Lines up to
// kMaxStackedWidth pixels wide are drawn as that many thin lines side by side,
// offset along the minor axis: X draws thin lines many times faster than wide
// ones, and the result is as thick across the minor axis.
static void add_segment(int x1, int y1, int x2, int y2) {
  if (ds.n_segs > 0 && (ds.seg_color != ds.color || ds.seg_width != ds.width))
    gl_flush_segments();
  ds.seg_color = ds.color;
  ds.seg_width = ds.width;
  if (ds.width <= 1 || ds.width > kMaxStackedWidth) {
    push_segment(x1, y1, x2, y2);
    return;
  }
  int steep = abs(y2 - y1) > abs(x2 - x1);
  for (int k = 0; k < ds.width; k++) {
    int off = k - (ds.width - 1) / 2;
    if (steep) push_segment(x1 + off, y1, x2 + off, y2);
    else push_segment(x1, y1 + off, x2, y2 + off);
  }
}

// Clips the clip-space segment a-b and queues what is left, in X pixel
// coordinates (origin top-left).
static void emit_segment(const double a[4], const double b[4]) {
  double ca[4], cb[4];
  memcpy(ca, a, sizeof ca);
  memcpy(cb, b, sizeof cb);
  if (!gl_clip_segment(ca, cb)) return;
  const gl_rect &v = gl_win.viewport;
  double ax, ay, bx, by;
  gl_clip_to_window(ca, &ax, &ay);
  gl_clip_to_window(cb, &bx, &by);
  int top = gl_win.height - 1;
  add_segment(to_pixel(ax, v.left, v.right), top - to_pixel(ay, v.bottom, v.top),
              to_pixel(bx, v.left, v.right), top - to_pixel(by, v.bottom, v.top));
}

// ---------------------------------------------------------------------------
// Colour and width
// ---------------------------------------------------------------------------
void color(Colorindex c) { ds.color = c; }

long getcolor() { return ds.color; }

void linewidth(short n) { ds.width = n < 1 ? 1 : n; }

// ---------------------------------------------------------------------------
// Polylines
// ---------------------------------------------------------------------------
static void begin_polyline(int closed) {
  ds.in_line = 1;
  ds.closed = closed;
  ds.have_prev = ds.have_first = ds.vertices = 0;
}

void bgnline() { begin_polyline(0); }
void bgnclosedline() { begin_polyline(1); }

void endline() { ds.in_line = 0; }

void endclosedline() {
  if (ds.in_line && ds.closed && gl_has_target() && ds.vertices >= 2 && ds.have_prev &&
      ds.have_first)
    emit_segment(ds.prev, ds.first);
  ds.in_line = 0;
}

void v3d(const double v[3]) {
  if (!gl_has_target() || !ds.in_line) return;
  double c[4];
  gl_transform_point(v[0], v[1], v[2], c);
  int ok = finite4(c);
  if (ds.vertices++ == 0 && ok) {
    memcpy(ds.first, c, sizeof c);
    ds.have_first = 1;
  }
  if (!ok) {
    ds.have_prev = 0;  // the line breaks here
    return;
  }
  if (ds.have_prev) emit_segment(ds.prev, c);
  memcpy(ds.prev, c, sizeof c);
  ds.have_prev = 1;
}

void move(Coord x, Coord y, Coord z) {
  gl_transform_point(x, y, z, ds.pos);
  ds.have_pos = finite4(ds.pos);
}

void draw(Coord x, Coord y, Coord z) {
  double c[4];
  gl_transform_point(x, y, z, c);
  int ok = finite4(c);
  if (gl_has_target() && ok && ds.have_pos) emit_segment(ds.pos, c);
  memcpy(ds.pos, c, sizeof c);
  ds.have_pos = ok;
}

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------
void cmov2i(long x, long y) {
  double c[4];
  gl_transform_point((double)x, (double)y, 0.0, c);
  ds.char_valid = gl_has_target() && gl_clip_inside(c);  // a clipped position draws no text
  if (ds.char_valid) gl_clip_to_window(c, &ds.char_x, &ds.char_y);
}

void charstr(const char *s) {
  if (!s || !*s || !ds.char_valid) return;
  if (gl_img.back) {
    gl_flush_segments();
    ds.char_x += gl_image_text(floor(ds.char_x), gl_win.height - 1 - floor(ds.char_y), s,
                               ds.color);
    return;
  }
  if (!gl_win.win || !gl_win.font) return;
  int len = (int)strlen(s);
  gl_flush_segments();
  Drawable d[3];
  XftDraw *x[3];
  int n = gl_targets(d, x);
  int px = (int)floor(ds.char_x);
  int baseline = gl_win.height - 1 - (int)floor(ds.char_y);
  const XftColor *col = &gl_win.xft_color[ds.color % GL_COLORS];
  for (int i = 0; i < n; i++)
    XftDrawString8(x[i], col, gl_win.font, px, baseline, (const FcChar8 *)s, len);
  XGlyphInfo ext;
  XftTextExtents8(gl_conn.dpy, gl_win.font, (const FcChar8 *)s, len, &ext);
  ds.char_x += ext.xOff;
}
