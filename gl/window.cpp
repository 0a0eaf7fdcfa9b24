// window.cpp -- the one window and its double-buffered frame: opening and
// closing it, the colour map, the two pixmap buffers, viewports, exposures and
// resizes, swapbuffers with its frame pacing and PNG snapshots.
//
// The back buffer is a Pixmap of the window's size; a second Pixmap, `front`,
// always holds what the window shows, so an exposure is repaired by copying
// the damaged rectangle from it without a redraw by the program.
// swapbuffers copies the back buffer to the window in one request and then
// exchanges the two pixmaps.  Until gconfig turns double buffering on, and
// while frontbuffer(1) is in force, drawing also goes to the front copy and
// the window.  Coordinates of viewports and masks are window pixels with the
// origin at the lower-left corner.
//
// Start with winopen, then swapbuffers.
#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <cairo-xlib.h>
#include <cairo.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gl_internal.h"

gl_window_state gl_win;

// Window used when prefposition was not called.
static const int kDefaultWidth = 640;
static const int kDefaultHeight = 480;
// How long winopen waits for the window to be mapped.
static const double kMapTimeoutSeconds = 5.0;
// Text lines of the program are 13 pixels apart; the font must fit them.
static const int kLineSpacing = 13;
// Longest swap interval accepted, sixtieths of a second.
static const int kMaxSwapInterval = 600;

//  index  colour     red  green blue
const unsigned char gl_colormap_rgb[GL_COLORS][3] = {
  /* 0 black   */ {0,   0,   0},
  /* 1 red     */ {255, 0,   0},
  /* 2 green   */ {0,   255, 0},
  /* 3 yellow  */ {255, 255, 0},
  /* 4 blue    */ {0,   0,   255},
  /* 5 magenta */ {255, 0,   255},
  /* 6 cyan    */ {0,   255, 255},
  /* 7 white   */ {255, 255, 255},
};

//  menu colour          red  green blue
static const unsigned char menu_rgb[GL_MENU_COLORS][3] = {
  /* background */ {224, 224, 224},
  /* title      */ {160, 160, 176},
  /* highlight  */ {48,  80,  160},
  /* text       */ {0,   0,   0},
};

static double monotonic_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

[[noreturn]] static void fail_window(const char *what) {
  const char *name = XDisplayName(nullptr);
  fprintf(stderr, "winopen: %s on X display \"%s\"\n", what, name ? name : "");
  exit(1);
}

// ---------------------------------------------------------------------------
// Requests made before the window opens
// ---------------------------------------------------------------------------
void foreground() {}

void prefposition(long x1, long x2, long y1, long y2) {
  gl_win.pref_set = 1;
  gl_win.pref_x = x1 < x2 ? x1 : x2;
  gl_win.pref_y = y1 < y2 ? y1 : y2;
  gl_win.pref_w = labs(x2 - x1) + 1;
  gl_win.pref_h = labs(y2 - y1) + 1;
}

void noborder() { gl_win.no_border = 1; }

void cmode() {}

void doublebuffer() { gl_win.double_requested = 1; }

void gconfig() {
  gl_flush_segments();
  gl_win.double_mode = gl_win.double_requested;
}

void frontbuffer(long flag) {
  gl_flush_segments();
  gl_win.front_flag = flag ? 1 : 0;
}

int gl_targets(Drawable drawable[3], XftDraw *xft[3]) {
  if (!gl_win.win) return 0;
  int n = 0;
  if (gl_win.double_mode) {
    drawable[n] = gl_win.back;
    xft[n++] = gl_win.xft_back;
    if (!gl_win.front_flag) return n;
  }
  drawable[n] = gl_win.front;
  xft[n++] = gl_win.xft_front;
  drawable[n] = gl_win.win;
  xft[n++] = gl_win.xft_win;
  return n;
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------
static int alloc_color(Display *dpy, const unsigned char rgb[3], unsigned long *pixel,
                       XftColor *xft) {
  XColor xc;
  xc.red = (unsigned short)(rgb[0] * 257);
  xc.green = (unsigned short)(rgb[1] * 257);
  xc.blue = (unsigned short)(rgb[2] * 257);
  xc.flags = DoRed | DoGreen | DoBlue;
  if (!XAllocColor(dpy, gl_win.colormap, &xc)) return 0;
  *pixel = xc.pixel;
  XRenderColor rc = {xc.red, xc.green, xc.blue, 0xffff};
  return XftColorAllocValue(dpy, gl_win.visual, gl_win.colormap, &rc, xft);
}

// The default visual serves if the eight colours (and the menu colours)
// can be allocated in the default colour map.
static void alloc_colors(Display *dpy) {
  int s = gl_conn.screen;
  gl_win.visual = DefaultVisual(dpy, s);
  gl_win.colormap = DefaultColormap(dpy, s);
  gl_win.depth = DefaultDepth(dpy, s);
  for (int i = 0; i < GL_COLORS; i++)
    if (!alloc_color(dpy, gl_colormap_rgb[i], &gl_win.pixel[i], &gl_win.xft_color[i]))
      fail_window("no usable visual (cannot allocate the colour map)");
  for (int i = 0; i < GL_MENU_COLORS; i++)
    if (!alloc_color(dpy, menu_rgb[i], &gl_win.menu_pixel[i], &gl_win.menu_xft[i]))
      fail_window("no usable visual (cannot allocate the menu colours)");
  gl_win.colors_allocated = 1;
}

// The largest DejaVu Sans Mono (or other monospace) whose lines fit.
static XftFont *open_font(Display *dpy) {
  const char *families[] = {"DejaVu Sans Mono", "monospace"};
  for (const char *family : families)
    for (int size = 12; size >= 6; size--) {
      std::string name = std::string(family) + ":pixelsize=" + std::to_string(size);
      XftFont *f = XftFontOpenName(dpy, gl_conn.screen, name.c_str());
      if (!f) continue;
      if (f->ascent + f->descent <= kLineSpacing) return f;
      XftFontClose(dpy, f);
    }
  return nullptr;
}

static void set_size_hints(int constrained) {
  XSizeHints hints;
  memset(&hints, 0, sizeof hints);
  hints.flags = USPosition | USSize;
  if (constrained) {
    hints.flags |= PMinSize | PMaxSize;
    hints.min_width = hints.max_width = gl_win.width;
    hints.min_height = hints.max_height = gl_win.height;
  }
  XSetWMNormalHints(gl_conn.dpy, gl_win.win, &hints);
}

// Asks the window manager for no decoration; the window keeps its focus hint.
static void remove_decoration(Display *dpy) {
  struct {
    unsigned long flags, functions, decorations;
    long input_mode;
    unsigned long status;
  } hints = {2 /* decorations field valid */, 0, 0 /* none */, 0, 0};
  Atom prop = XInternAtom(dpy, "_MOTIF_WM_HINTS", False);
  XChangeProperty(dpy, gl_win.win, prop, prop, 32, PropModeReplace,
                  (unsigned char *)&hints, 5);
}

static void create_window(Display *dpy, const char *title) {
  int screen_h = DisplayHeight(dpy, gl_conn.screen);
  int w = gl_win.pref_set ? (int)gl_win.pref_w : kDefaultWidth;
  int h = gl_win.pref_set ? (int)gl_win.pref_h : kDefaultHeight;
  int x = gl_win.pref_set ? (int)gl_win.pref_x : 0;
  int y = gl_win.pref_set ? screen_h - (int)(gl_win.pref_y + h) : 0;  // X counts from the top
  XSetWindowAttributes attr;
  attr.background_pixel = gl_win.pixel[0];
  attr.colormap = gl_win.colormap;
  attr.event_mask = ExposureMask | StructureNotifyMask | KeyPressMask | KeyReleaseMask |
                    ButtonPressMask | ButtonReleaseMask | EnterWindowMask | LeaveWindowMask |
                    FocusChangeMask | KeymapStateMask;
  gl_win.win = XCreateWindow(dpy, RootWindow(dpy, gl_conn.screen), x, y, (unsigned)w,
                             (unsigned)h, 0, gl_win.depth, InputOutput, gl_win.visual,
                             CWBackPixel | CWColormap | CWEventMask, &attr);
  gl_win.width = w;
  gl_win.height = h;
  XStoreName(dpy, gl_win.win, title ? title : "");
  XWMHints wm;
  memset(&wm, 0, sizeof wm);
  wm.flags = InputHint | StateHint;
  wm.input = True;
  wm.initial_state = NormalState;
  XSetWMHints(dpy, gl_win.win, &wm);
  set_size_hints(gl_win.pref_set);
  if (gl_win.no_border) remove_decoration(dpy);
}

static Pixmap new_buffer(Display *dpy, int w, int h) {
  return XCreatePixmap(dpy, gl_win.win, (unsigned)w, (unsigned)h, (unsigned)gl_win.depth);
}

static void fill_black(Display *dpy, Drawable d, int w, int h) {
  XSetForeground(dpy, gl_win.copy_gc, gl_win.pixel[0]);
  XFillRectangle(dpy, d, gl_win.copy_gc, 0, 0, (unsigned)w, (unsigned)h);
}

static void create_buffers(Display *dpy) {
  gl_win.gc = XCreateGC(dpy, gl_win.win, 0, nullptr);
  gl_win.copy_gc = XCreateGC(dpy, gl_win.win, 0, nullptr);
  XSetGraphicsExposures(dpy, gl_win.copy_gc, False);
  XSetGraphicsExposures(dpy, gl_win.gc, False);
  gl_win.back = new_buffer(dpy, gl_win.width, gl_win.height);
  gl_win.front = new_buffer(dpy, gl_win.width, gl_win.height);
  fill_black(dpy, gl_win.back, gl_win.width, gl_win.height);
  fill_black(dpy, gl_win.front, gl_win.width, gl_win.height);
  gl_win.xft_back = XftDrawCreate(dpy, gl_win.back, gl_win.visual, gl_win.colormap);
  gl_win.xft_front = XftDrawCreate(dpy, gl_win.front, gl_win.visual, gl_win.colormap);
  gl_win.xft_win = XftDrawCreate(dpy, gl_win.win, gl_win.visual, gl_win.colormap);
}

// Maps the window and waits (handling other events) until the server says
// it is mapped, so that drawing right after winopen is seen.
static void map_and_wait(Display *dpy) {
  XMapRaised(dpy, gl_win.win);
  XSync(dpy, False);
  double end = monotonic_seconds() + kMapTimeoutSeconds;
  for (int mapped = 0; !mapped && monotonic_seconds() < end;) {
    while (XPending(dpy)) {
      XEvent ev;
      XNextEvent(dpy, &ev);
      if (ev.type == MapNotify && ev.xmap.window == gl_win.win) mapped = 1;
      gl_dispatch_event(&ev);
    }
    if (mapped) break;
    pollfd p = {ConnectionNumber(dpy), POLLIN, 0};
    poll(&p, 1, 20);
  }
}

static void set_whole_window_viewport() {
  gl_rect r = {0, gl_win.width - 1, 0, gl_win.height - 1};
  gl_win.viewport = gl_win.mask = r;
  gl_apply_mask();
}

// The image back end: the window's size and modes, drawing into images.
// Images that cannot be made leave the layer without a target, so that the
// drawing does nothing and gl_write_png reports the failure.
static long open_image() {
  if (gl_img.back) return GL_WINDOW_ID;
  gl_win.width = gl_win.pref_set ? (int)gl_win.pref_w : kDefaultWidth;
  gl_win.height = gl_win.pref_set ? (int)gl_win.pref_h : kDefaultHeight;
  gl_image_create(gl_win.width, gl_win.height);
  gl_win.double_mode = 0;
  gl_win.front_flag = 0;
  gl_win.vp_depth = 0;
  gl_reset_drawing();
  gl_reset_matrices();
  set_whole_window_viewport();
  return GL_WINDOW_ID;
}

long winopen(const char *title) {
  if (gl_img.requested) return open_image();
  if (gl_win.win) return GL_WINDOW_ID;  // the layer has one window
  Display *dpy = gl_open_display();
  if (!dpy) fail_window("cannot open the display");
  alloc_colors(dpy);
  create_window(dpy, title);
  create_buffers(dpy);
  gl_win.font = open_font(dpy);
  gl_win.double_mode = 0;
  gl_win.front_flag = 0;
  gl_win.vp_depth = 0;
  gl_reset_drawing();
  gl_reset_matrices();
  gl_enable_device(DEV_REDRAW, 1);
  gl_enable_device(DEV_INPUTCHANGE, 1);
  set_whole_window_viewport();
  map_and_wait(dpy);
  return GL_WINDOW_ID;
}

void winconstraints() {
  if (!gl_win.win) return;
  set_size_hints(0);
  XFlush(gl_conn.dpy);
}

// ---------------------------------------------------------------------------
// Viewport and screen mask
// ---------------------------------------------------------------------------
void gl_apply_mask() {
  if (!gl_win.win) return;
  gl_flush_segments();
  const gl_rect &m = gl_win.mask;
  XRectangle r;
  r.x = (short)m.left;
  r.y = (short)(gl_win.height - 1 - m.top);
  r.width = (unsigned short)(m.right >= m.left ? m.right - m.left + 1 : 0);
  r.height = (unsigned short)(m.top >= m.bottom ? m.top - m.bottom + 1 : 0);
  XSetClipRectangles(gl_conn.dpy, gl_win.gc, 0, 0, &r, 1, Unsorted);
  XftDraw *draws[3] = {gl_win.xft_back, gl_win.xft_front, gl_win.xft_win};
  for (XftDraw *d : draws)
    if (d) XftDrawSetClipRectangles(d, 0, 0, &r, 1);
}

void getsize(long *x, long *y) {
  gl_pump_events();
  if (x) *x = gl_has_target() ? gl_win.width : 0;
  if (y) *y = gl_has_target() ? gl_win.height : 0;
}

void reshapeviewport() {
  if (!gl_has_target()) return;
  gl_pump_events();
  set_whole_window_viewport();
}

void getscrmask(Screencoord *left, Screencoord *right, Screencoord *bottom,
                Screencoord *top) {
  const gl_rect &m = gl_win.mask;
  if (left) *left = (Screencoord)m.left;
  if (right) *right = (Screencoord)m.right;
  if (bottom) *bottom = (Screencoord)m.bottom;
  if (top) *top = (Screencoord)m.top;
}

void pushviewport() {
  if (gl_win.vp_depth >= GL_VIEWPORT_DEPTH) return;
  gl_win.vp_stack[gl_win.vp_depth] = gl_win.viewport;
  gl_win.mask_stack[gl_win.vp_depth] = gl_win.mask;
  gl_win.vp_depth++;
}

void popviewport() {
  if (gl_win.vp_depth == 0) return;
  gl_win.vp_depth--;
  gl_win.viewport = gl_win.vp_stack[gl_win.vp_depth];
  gl_win.mask = gl_win.mask_stack[gl_win.vp_depth];
  gl_apply_mask();
}

// ---------------------------------------------------------------------------
// Clearing and swapping
// ---------------------------------------------------------------------------
void clear() {
  gl_flush_segments();
  if (gl_img.back) {
    const gl_rect &m = gl_win.mask;
    if (m.right >= m.left && m.top >= m.bottom) gl_image_clear((Colorindex)getcolor());
    return;
  }
  if (!gl_win.win) return;
  Drawable d[3];
  XftDraw *x[3];
  int n = gl_targets(d, x);
  const gl_rect &m = gl_win.mask;
  if (m.right < m.left || m.top < m.bottom) return;
  XSetForeground(gl_conn.dpy, gl_win.gc, gl_win.pixel[getcolor() % GL_COLORS]);
  for (int i = 0; i < n; i++)
    XFillRectangle(gl_conn.dpy, d[i], gl_win.gc, m.left, gl_win.height - 1 - m.top,
                   (unsigned)(m.right - m.left + 1), (unsigned)(m.top - m.bottom + 1));
}

int gl_swap_interval(const char *text) {
  if (!text || !*text) return 1;
  char *end = nullptr;
  errno = 0;
  long n = strtol(text, &end, 10);
  if (errno || *end != '\0' || n < 0) return 1;
  return n > kMaxSwapInterval ? kMaxSwapInterval : (int)n;
}

// Waits until the configured interval has passed since the previous swap.
static void pace_frame() {
  int interval = gl_swap_interval(getenv("HYBROID_SWAP_INTERVAL"));
  double now = monotonic_seconds();
  double due = gl_win.last_swap + interval / 60.0;
  if (gl_win.last_swap > 0.0 && now < due) {
    double wait = due - now;
    timespec ts;
    ts.tv_sec = (time_t)wait;
    ts.tv_nsec = (long)((wait - (double)ts.tv_sec) * 1e9);
    while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
    }
    now = monotonic_seconds();
  }
  gl_win.last_swap = now;
}

// Writes the front copy as PNG to a temporary name, then renames it, so a
// reader never sees half a file.  A failure is reported once.
static void write_snapshot(const char *path) {
  cairo_surface_t *s = cairo_xlib_surface_create(gl_conn.dpy, gl_win.front, gl_win.visual,
                                                 gl_win.width, gl_win.height);
  int st = gl_write_surface_png(s, path);
  cairo_surface_destroy(s);
  if (st == 0) return;
  if (!gl_win.snapshot_failed)
    fprintf(stderr, "swapbuffers: cannot write snapshot %s\n", path);
  gl_win.snapshot_failed = 1;
}

void swapbuffers() {
  gl_flush_segments();
  if (gl_img.back) {
    gl_image_swap();
    return;
  }
  if (!gl_win.win) return;
  Display *dpy = gl_conn.dpy;
  if (gl_win.double_mode) {
    XCopyArea(dpy, gl_win.back, gl_win.win, gl_win.copy_gc, 0, 0, (unsigned)gl_win.width,
              (unsigned)gl_win.height, 0, 0);
    Pixmap p = gl_win.back;
    gl_win.back = gl_win.front;
    gl_win.front = p;
    XftDraw *x = gl_win.xft_back;
    gl_win.xft_back = gl_win.xft_front;
    gl_win.xft_front = x;
  }
  XSync(dpy, False);
  gl_end_input_frame();
  const char *snap = getenv("HYBROID_SNAPSHOT");
  if (snap && *snap) write_snapshot(snap);
  pace_frame();
}

// ---------------------------------------------------------------------------
// Window-system events
// ---------------------------------------------------------------------------
void gl_window_on_expose(const XExposeEvent *e) {
  if (!gl_win.win || e->window != gl_win.win) return;
  XCopyArea(gl_conn.dpy, gl_win.front, gl_win.win, gl_win.copy_gc, e->x, e->y,
            (unsigned)e->width, (unsigned)e->height, e->x, e->y);
  if (e->count == 0) gl_queue_event(DEV_REDRAW, GL_WINDOW_ID);
}

static int trapped_error = 0;
static int trap_error(Display *, XErrorEvent *) {
  trapped_error = 1;
  return 0;
}

// New buffers of the new size, checked and cleared before the old ones go;
// the front copy keeps the old picture, anchored at the lower-left corner.
static void resize_buffers(Display *dpy, int w, int h) {
  gl_flush_segments();
  XSync(dpy, False);
  trapped_error = 0;
  XErrorHandler old = XSetErrorHandler(trap_error);
  Pixmap back = new_buffer(dpy, w, h), front = new_buffer(dpy, w, h);
  fill_black(dpy, back, w, h);
  fill_black(dpy, front, w, h);
  XSync(dpy, False);
  XSetErrorHandler(old);
  if (trapped_error) {  // out of server memory: keep drawing into the old size
    XFreePixmap(dpy, back);
    XFreePixmap(dpy, front);
    return;
  }
  XCopyArea(dpy, gl_win.front, front, gl_win.copy_gc, 0, 0, (unsigned)gl_win.width,
            (unsigned)gl_win.height, 0, h - gl_win.height);
  XftDrawChange(gl_win.xft_back, back);
  XftDrawChange(gl_win.xft_front, front);
  XFreePixmap(dpy, gl_win.back);
  XFreePixmap(dpy, gl_win.front);
  gl_win.back = back;
  gl_win.front = front;
  gl_win.width = w;
  gl_win.height = h;
  gl_apply_mask();
}

void gl_window_on_configure(const XConfigureEvent *e) {
  if (!gl_win.win || e->window != gl_win.win) return;
  if (e->width > 0 && e->height > 0 && (e->width != gl_win.width || e->height != gl_win.height))
    resize_buffers(gl_conn.dpy, e->width, e->height);
  gl_queue_event(DEV_REDRAW, GL_WINDOW_ID);
}

// ---------------------------------------------------------------------------
// Closing
// ---------------------------------------------------------------------------
static void free_colors(Display *dpy) {
  if (!gl_win.colors_allocated) return;
  for (int i = 0; i < GL_COLORS; i++)
    XftColorFree(dpy, gl_win.visual, gl_win.colormap, &gl_win.xft_color[i]);
  for (int i = 0; i < GL_MENU_COLORS; i++)
    XftColorFree(dpy, gl_win.visual, gl_win.colormap, &gl_win.menu_xft[i]);
  XFreeColors(dpy, gl_win.colormap, gl_win.pixel, GL_COLORS, 0);
  XFreeColors(dpy, gl_win.colormap, gl_win.menu_pixel, GL_MENU_COLORS, 0);
}

static void destroy_window(Display *dpy) {
  XftDraw *draws[3] = {gl_win.xft_back, gl_win.xft_front, gl_win.xft_win};
  for (XftDraw *d : draws)
    if (d) XftDrawDestroy(d);
  if (gl_win.font) XftFontClose(dpy, gl_win.font);
  XFreePixmap(dpy, gl_win.back);
  XFreePixmap(dpy, gl_win.front);
  XFreeGC(dpy, gl_win.gc);
  XFreeGC(dpy, gl_win.copy_gc);
  XDestroyWindow(dpy, gl_win.win);
  free_colors(dpy);
}

void gexit() {
  if (gl_win.win && gl_conn.dpy) destroy_window(gl_conn.dpy);
  gl_image_close();
  memset(&gl_win, 0, sizeof gl_win);
  gl_enable_device(DEV_REDRAW, 0);
  gl_enable_device(DEV_INPUTCHANGE, 0);
  gl_reset_drawing();
  gl_reset_matrices();
  gl_reset_menus();
  gl_close_display();
}
