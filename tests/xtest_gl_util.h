// xtest_gl_util.h -- helpers for the graphics layer's tests against a real X
// server (the private Xvfb of with-xvfb): a second connection that injects
// keys, buttons and pointer motion with XTest, and waits with timeouts.
#ifndef HYBFIT_XTEST_GL_UTIL_H
#define HYBFIT_XTEST_GL_UTIL_H

#include <gtest/gtest.h>  // before the X headers, whose macros clash with it
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <time.h>

#include "gl.h"
#include "gl_internal.h"

namespace xtestutil {

// Long enough for a loaded 2-core machine; a passing test never waits it out.
const double kEventTimeoutSeconds = 10.0;

inline double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

inline void sleep_seconds(double s) {
  timespec ts;
  ts.tv_sec = (time_t)s;
  ts.tv_nsec = (long)((s - (double)ts.tv_sec) * 1e9);
  nanosleep(&ts, nullptr);
}

// A connection of its own, so injected input travels through the server
// exactly as a user's would.  Every call waits until the server has
// processed the request.
struct Injector {
  Display *dpy = nullptr;
  // Xvfb may drop a connection opened right after another one closed; the
  // layer retries the same way.
  Injector() {
    for (int i = 0; i < 5 && !dpy; i++) {
      if (i > 0) sleep_seconds(0.02);
      dpy = XOpenDisplay(nullptr);
    }
  }
  ~Injector() {
    if (dpy) XCloseDisplay(dpy);
  }
  KeyCode code(KeySym sym) { return XKeysymToKeycode(dpy, sym); }
  void key(KeySym sym, bool down) {
    XTestFakeKeyEvent(dpy, code(sym), down, CurrentTime);
    XSync(dpy, False);
  }
  void button(unsigned int b, bool down) {
    XTestFakeButtonEvent(dpy, b, down, CurrentTime);
    XSync(dpy, False);
  }
  void move_to(int x, int y) {  // root coordinates, origin top-left
    XTestFakeMotionEvent(dpy, DefaultScreen(dpy), x, y, CurrentTime);
    XSync(dpy, False);
  }
  int screen_height() { return DisplayHeight(dpy, DefaultScreen(dpy)); }
};

// Reads queue entries until one for dev arrives (skipping others, such as the
// window's own 528 and 534 entries), or the timeout passes.  Returns 1 and
// stores the value when found.
inline int wait_for_entry(Device dev, short *value, double timeout = kEventTimeoutSeconds) {
  double end = now_seconds() + timeout;
  while (now_seconds() < end) {
    while (qtest()) {
      short v = 0;
      long d = qread(&v);
      if (d == dev) {
        *value = v;
        return 1;
      }
    }
    sleep_seconds(0.002);
  }
  return 0;
}

// Like wait_for_entry, for an entry of dev with the given value.
inline int wait_for_value(Device dev, short value, double timeout = kEventTimeoutSeconds) {
  double end = now_seconds() + timeout;
  short v = 0;
  while (now_seconds() < end && wait_for_entry(dev, &v, end - now_seconds()))
    if (v == value) return 1;
  return 0;
}

// Empties the queue of everything already delivered.
inline void drain_queue() {
  XSync(gl_conn.dpy, False);
  short v;
  while (qtest()) qread(&v);
}

// Opens the window the way the program does: 591 x 791 pixels with its
// lower-left corner at (10, 10), double-buffered, both buffers cleared.
inline void open_program_window() {
  foreground();
  prefposition(10, 600, 10, 800);
  noborder();
  winopen("Deformable Model Fitting");
  winconstraints();
  cmode();
  doublebuffer();
  gconfig();
  mmode(2);
  frontbuffer(1);
  clear();
  frontbuffer(0);
}

// Root coordinates (origin top-left) of window pixel (x, y), origin lower-left.
inline void window_to_root(int x, int y, int *rx, int *ry) {
  Window child;
  XTranslateCoordinates(gl_conn.dpy, gl_win.win, DefaultRootWindow(gl_conn.dpy), x,
                        gl_win.height - 1 - y, rx, ry, &child);
}

}  // namespace xtestutil

#endif
