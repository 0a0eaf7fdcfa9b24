// The output side of the graphics layer against a real X server: the window's
// geometry, real pixels of lines, text and clears, double buffering, resizes,
// exposures, snapshots, frame pacing and popup menus driven through XTest.
#include <gtest/gtest.h>  // before the X headers, whose macros clash with it
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <cairo.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "gl.h"
#include "gl_internal.h"
#include "test_util.h"
#include "xtest_gl_util.h"

namespace {

using xtestutil::Injector;
using xtestutil::now_seconds;
using xtestutil::sleep_seconds;
using xtestutil::wait_for_entry;

// The menu test drives the pointer from a second thread with its own
// connection; Xlib must know before any other call.
const int threads_initialised = XInitThreads();

const int kWidth = 591, kHeight = 791;

class GlWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(inject.dpy, nullptr) << "no X server: run under tests/with-xvfb";
    ASSERT_TRUE(threads_initialised);
    setenv("HYBROID_SWAP_INTERVAL", "0", 1);
    unsetenv("HYBROID_SNAPSHOT");
    gl_test_reset();
    xtestutil::open_program_window();
    pixel_ortho();
  }
  void TearDown() override {
    gexit();
    gl_test_reset();
    unsetenv("HYBROID_SWAP_INTERVAL");
  }
  // One unit per pixel, pixel centres on integers, origin lower-left.
  void pixel_ortho() {
    ortho2(-0.5f, gl_win.width - 0.5f, -0.5f, gl_win.height - 0.5f);
    Matrix id = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    loadmatrix(id);
  }
  // Colour index shown by the window at pixel (x, y) from the lower left, or
  // -1 for a colour outside the map.
  int shown(int x, int y) {
    XSync(gl_conn.dpy, False);
    XImage *img = XGetImage(gl_conn.dpy, gl_win.win, x, gl_win.height - 1 - y, 1, 1, AllPlanes,
                            ZPixmap);
    if (!img) return -2;
    unsigned long p = XGetPixel(img, 0, 0);
    XDestroyImage(img);
    for (int i = 0; i < GL_COLORS; i++)
      if (gl_win.pixel[i] == p) return i;
    return -1;
  }
  // How many pixels of the rectangle (window pixels from the lower left)
  // show colour index c.
  int count_shown(int x0, int y0, int x1, int y1, int c) {
    XSync(gl_conn.dpy, False);
    XImage *img = XGetImage(gl_conn.dpy, gl_win.win, x0, gl_win.height - 1 - y1,
                            (unsigned)(x1 - x0 + 1), (unsigned)(y1 - y0 + 1), AllPlanes, ZPixmap);
    if (!img) return -1;
    int n = 0;
    for (int y = 0; y < img->height; y++)
      for (int x = 0; x < img->width; x++) n += XGetPixel(img, x, y) == gl_win.pixel[c];
    XDestroyImage(img);
    return n;
  }
  // How many pixels of the rectangle show antialiased yellow text: mostly
  // red and green, little blue, over a black or blue background.
  int count_yellowish(int x0, int y0, int x1, int y1) {
    XSync(gl_conn.dpy, False);
    XImage *img = XGetImage(gl_conn.dpy, gl_win.win, x0, gl_win.height - 1 - y1,
                            (unsigned)(x1 - x0 + 1), (unsigned)(y1 - y0 + 1), AllPlanes, ZPixmap);
    if (!img) return -1;
    int n = 0;
    for (int y = 0; y < img->height; y++)
      for (int x = 0; x < img->width; x++) {
        unsigned long p = XGetPixel(img, x, y);
        int r = channel(p, img->red_mask), g = channel(p, img->green_mask),
            b = channel(p, img->blue_mask);
        n += r > 150 && g > 150 && b < 110;
      }
    XDestroyImage(img);
    return n;
  }
  static int channel(unsigned long p, unsigned long mask) {
    if (!mask) return 0;
    int shift = 0;
    while (!((mask >> shift) & 1)) shift++;
    unsigned long v = (p & mask) >> shift, max = mask >> shift;
    return (int)(v * 255 / max);
  }
  void line(double x0, double y0, double x1, double y1) {
    const double a[3] = {x0, y0, 0}, b[3] = {x1, y1, 0};
    bgnline();
    v3d(a);
    v3d(b);
    endline();
  }
  Injector inject;
};

TEST_F(GlWindow, OpensAtTheRequestedPositionAndSize) {
  XWindowAttributes attr;
  XGetWindowAttributes(gl_conn.dpy, gl_win.win, &attr);
  EXPECT_EQ(attr.width, kWidth);
  EXPECT_EQ(attr.height, kHeight);
  EXPECT_EQ(attr.map_state, IsViewable);
  int rx, ry;
  Window child;
  XTranslateCoordinates(gl_conn.dpy, gl_win.win, DefaultRootWindow(gl_conn.dpy), 0, 0, &rx, &ry,
                        &child);
  EXPECT_EQ(rx, 10);
  EXPECT_EQ(ry, inject.screen_height() - 10 - kHeight);  // lower edge 10 pixels up
  long w, h;
  getsize(&w, &h);
  EXPECT_EQ(w, kWidth);
  EXPECT_EQ(h, kHeight);
  Screencoord l, r, b, t;
  getscrmask(&l, &r, &b, &t);
  EXPECT_EQ(l, 0);
  EXPECT_EQ(r, kWidth - 1);
  EXPECT_EQ(b, 0);
  EXPECT_EQ(t, kHeight - 1);
}

TEST_F(GlWindow, TheTextFontFitsLinesThirteenPixelsApart) {
  ASSERT_NE(gl_win.font, nullptr);
  EXPECT_LE(gl_win.font->ascent + gl_win.font->descent, 13);
  EXPECT_GE(gl_win.font->ascent + gl_win.font->descent, 9);
}

TEST_F(GlWindow, AClosedPolylineDrawsItsThreeSidesAndAnOpenOneTwo) {
  color(1);
  const double a[3] = {100, 100, 0}, b[3] = {300, 100, 0}, c[3] = {100, 300, 0};
  bgnclosedline();
  v3d(a);
  v3d(b);
  v3d(c);
  endclosedline();
  color(2);
  const double d[3] = {400, 100, 0}, e[3] = {550, 100, 0}, f[3] = {400, 250, 0};
  bgnline();
  v3d(d);
  v3d(e);
  v3d(f);
  endline();
  swapbuffers();
  EXPECT_EQ(shown(200, 100), 1);  // AB
  EXPECT_EQ(shown(200, 200), 1);  // BC
  EXPECT_EQ(shown(100, 200), 1);  // CA
  EXPECT_EQ(shown(150, 150), 0);  // inside
  EXPECT_EQ(shown(475, 100), 2);
  EXPECT_EQ(shown(475, 175), 2);
  EXPECT_EQ(shown(400, 175), 0);  // no closing side
}

TEST_F(GlWindow, ARedLineYellowTextAndTheClearedBackgroundShowWhereExpected) {
  color(4);
  clear();
  color(1);
  line(50, 400, 250, 400);
  color(3);
  cmov2i(50, 600);
  charstr("Hybroid");
  swapbuffers();
  EXPECT_EQ(shown(150, 400), 1);
  EXPECT_EQ(shown(150, 401), 4);
  EXPECT_EQ(shown(5, 5), 4);
  EXPECT_EQ(shown(kWidth - 1, kHeight - 1), 4);
  EXPECT_GT(count_yellowish(50, 600, 120, 612), 10);  // glyphs stand on the baseline
  EXPECT_EQ(count_yellowish(50, 580, 120, 596), 0);   // nothing well below it
  EXPECT_EQ(count_yellowish(300, 380, 500, 420), 0);
}

// Two calls in a row draw exactly what one call with the joined text draws.
TEST_F(GlWindow, CharstrAdvancesTheCharacterPosition) {
  color(3);
  cmov2i(50, 300);
  charstr("MM");
  charstr("WW");
  cmov2i(50, 200);
  charstr("MMWW");
  swapbuffers();
  XSync(gl_conn.dpy, False);
  XImage *split = XGetImage(gl_conn.dpy, gl_win.win, 45, gl_win.height - 1 - 312, 80, 16,
                            AllPlanes, ZPixmap);
  XImage *joined = XGetImage(gl_conn.dpy, gl_win.win, 45, gl_win.height - 1 - 212, 80, 16,
                             AllPlanes, ZPixmap);
  ASSERT_NE(split, nullptr);
  ASSERT_NE(joined, nullptr);
  int differing = 0;
  for (int y = 0; y < 16; y++)
    for (int x = 0; x < 80; x++) differing += XGetPixel(split, x, y) != XGetPixel(joined, x, y);
  XDestroyImage(split);
  XDestroyImage(joined);
  EXPECT_EQ(differing, 0);
  EXPECT_GT(count_yellowish(50, 298, 60, 312), 5);   // "MM"
  EXPECT_GT(count_yellowish(64, 298, 120, 312), 5);  // "WW" after it
}

TEST_F(GlWindow, NothingIsVisibleBeforeSwapbuffersAndAllOfItAfter) {
  color(1);
  line(10, 500, 500, 500);
  color(3);
  cmov2i(20, 520);
  charstr("frame");
  XSync(gl_conn.dpy, False);
  EXPECT_EQ(shown(200, 500), 0);
  EXPECT_EQ(count_yellowish(20, 520, 70, 532), 0);
  swapbuffers();
  EXPECT_EQ(shown(200, 500), 1);
  EXPECT_GT(count_yellowish(20, 520, 70, 532), 10);
}

TEST_F(GlWindow, FrontbufferDrawsOnTheVisibleFrameAsWell) {
  frontbuffer(1);
  color(6);
  line(10, 50, 300, 50);
  frontbuffer(0);
  XSync(gl_conn.dpy, False);
  EXPECT_EQ(shown(100, 50), 6);
  swapbuffers();
  EXPECT_EQ(shown(100, 50), 6);  // it went into the back buffer too
}

TEST_F(GlWindow, ClearFillsOnlyTheScreenMask) {
  color(5);
  clear();
  swapbuffers();
  EXPECT_EQ(shown(0, 0), 5);
  EXPECT_EQ(shown(kWidth - 1, kHeight - 1), 5);
  EXPECT_EQ(shown(kWidth / 2, kHeight / 2), 5);
}

TEST_F(GlWindow, ANonFiniteVertexBreaksThePolyline) {
  color(7);
  const double a[3] = {50, 200, 0}, b[3] = {150, 200, 0}, bad[3] = {NAN, 200, 0},
               c[3] = {250, 200, 0}, d[3] = {350, 200, 0}, inf[3] = {INFINITY, 0, 0};
  bgnline();
  v3d(a);
  v3d(b);
  v3d(bad);
  v3d(c);
  v3d(d);
  v3d(inf);
  endline();
  swapbuffers();
  EXPECT_EQ(shown(100, 200), 7);
  EXPECT_EQ(shown(200, 200), 0);  // b to c would cross here
  EXPECT_EQ(shown(300, 200), 7);
  EXPECT_EQ(count_shown(351, 150, kWidth - 1, 250, 7), 0);
}

// Through the program's perspective, a line from a point in front of the eye
// to one behind it keeps to its own side of the picture.
TEST_F(GlWindow, ALinePassingBehindTheEyeMakesNoStreakAcrossTheWindow) {
  perspective(60, (float)kWidth / kHeight, 0.1f, 3000.0f);
  Matrix id = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  loadmatrix(id);
  color(1);
  linewidth(2);
  move(0.5f, 0.0f, -300.0f);
  draw(0.5f, 0.0f, 50.0f);
  swapbuffers();
  EXPECT_GT(count_shown(kWidth / 2, kHeight / 2 - 3, kWidth - 1, kHeight / 2 + 3, 1), 0);
  EXPECT_EQ(count_shown(0, 0, kWidth / 2 - 3, kHeight - 1, 1), 0);
}

TEST_F(GlWindow, LinewidthTwoDrawsTwoPixelsThick) {
  color(2);
  linewidth(2);
  line(100, 300, 400, 300);
  swapbuffers();
  EXPECT_EQ(count_shown(250, 296, 250, 304, 2), 2);
  linewidth(1);
  color(2);
  line(100, 200, 400, 200);
  swapbuffers();
  EXPECT_EQ(count_shown(250, 196, 250, 204, 2), 1);
}

TEST_F(GlWindow, AResizeByTheWindowSystemQueuesRedrawAndChangesTheSize) {
  ::Window xw = gl_win.win;
  xtestutil::drain_queue();
  XResizeWindow(inject.dpy, xw, 400, 300);
  XSync(inject.dpy, False);
  short val = 0;
  ASSERT_TRUE(wait_for_entry(DEV_REDRAW, &val));
  EXPECT_EQ(val, GL_WINDOW_ID);
  long w = 0, h = 0;
  getsize(&w, &h);
  EXPECT_EQ(w, 400);
  EXPECT_EQ(h, 300);
  reshapeviewport();
  Screencoord l, r, b, t;
  getscrmask(&l, &r, &b, &t);
  EXPECT_EQ(r, 399);
  EXPECT_EQ(t, 299);
  // The new buffers work at the new size.
  pixel_ortho();
  color(2);
  clear();
  color(1);
  line(0, 150, 399, 150);
  swapbuffers();
  EXPECT_EQ(shown(200, 150), 1);
  EXPECT_EQ(shown(399, 299), 2);
}

TEST_F(GlWindow, AnExposedRegionIsRepairedWithoutARedraw) {
  color(1);
  line(20, 400, 500, 400);
  swapbuffers();
  ASSERT_EQ(shown(300, 400), 1);
  int rx, ry;
  xtestutil::window_to_root(250, 450, &rx, &ry);
  ::Window cover = XCreateSimpleWindow(inject.dpy, DefaultRootWindow(inject.dpy), rx, ry, 200,
                                       100, 0, 0, WhitePixel(inject.dpy, 0));
  XSetWindowAttributes a;
  a.override_redirect = True;
  XChangeWindowAttributes(inject.dpy, cover, CWOverrideRedirect, &a);
  XMapRaised(inject.dpy, cover);
  XSync(inject.dpy, False);
  xtestutil::drain_queue();
  XDestroyWindow(inject.dpy, cover);
  XSync(inject.dpy, False);
  short val;
  ASSERT_TRUE(wait_for_entry(DEV_REDRAW, &val));
  EXPECT_EQ(shown(300, 400), 1);
  EXPECT_EQ(shown(300, 420), 0);
}

TEST_F(GlWindow, PushAndPopViewportRestoreTheScreenMask) {
  pushviewport();
  XResizeWindow(inject.dpy, gl_win.win, 300, 200);
  XSync(inject.dpy, False);
  short val;
  ASSERT_TRUE(wait_for_entry(DEV_REDRAW, &val));
  reshapeviewport();
  Screencoord l, r, b, t;
  getscrmask(&l, &r, &b, &t);
  EXPECT_EQ(r, 299);
  popviewport();
  getscrmask(&l, &r, &b, &t);
  EXPECT_EQ(r, kWidth - 1);
  EXPECT_EQ(t, kHeight - 1);
  popviewport();  // nothing left to pop
  getscrmask(&l, &r, &b, &t);
  EXPECT_EQ(r, kWidth - 1);
}

TEST_F(GlWindow, EverySwapWritesTheShownFrameAsAPngSnapshot) {
  testutil::ScratchDir dir;
  std::string path = dir.file("frame.png");
  setenv("HYBROID_SNAPSHOT", path.c_str(), 1);
  color(4);
  clear();
  color(1);
  line(0, 100, kWidth - 1, 100);
  swapbuffers();
  cairo_surface_t *png = cairo_image_surface_create_from_png(path.c_str());
  ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
  EXPECT_EQ(cairo_image_surface_get_width(png), kWidth);
  EXPECT_EQ(cairo_image_surface_get_height(png), kHeight);
  cairo_surface_flush(png);
  const unsigned char *data = cairo_image_surface_get_data(png);
  int stride = cairo_image_surface_get_stride(png);
  auto rgb = [&](int x, int y_from_bottom) {  // 0xRRGGBB
    const uint32_t *row = (const uint32_t *)(data + (kHeight - 1 - y_from_bottom) * stride);
    return row[x] & 0xffffffu;
  };
  EXPECT_EQ(rgb(300, 100), 0xff0000u);
  EXPECT_EQ(rgb(300, 300), 0x0000ffu);
  cairo_surface_destroy(png);
  // The next frame replaces the file; no temporary file stays behind.
  color(2);
  clear();
  swapbuffers();
  png = cairo_image_surface_create_from_png(path.c_str());
  ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
  cairo_surface_flush(png);
  data = cairo_image_surface_get_data(png);
  stride = cairo_image_surface_get_stride(png);
  EXPECT_EQ(rgb(300, 100), 0x00ff00u);
  cairo_surface_destroy(png);
  unsetenv("HYBROID_SNAPSHOT");
  auto listing = testutil::run_shell("ls '" + dir.path + "'");
  EXPECT_EQ(listing.out, "frame.png\n");
}

TEST_F(GlWindow, AnUnwritableSnapshotIsReportedOnceAndDrawingGoesOn) {
  setenv("HYBROID_SNAPSHOT", "/nonexistent-dir/frame.png", 1);
  testing::internal::CaptureStderr();
  swapbuffers();
  swapbuffers();
  std::string err = testing::internal::GetCapturedStderr();
  unsetenv("HYBROID_SNAPSHOT");
  EXPECT_EQ(testutil::count_occurrences(err, "\n"), 1);
  EXPECT_NE(err.find("/nonexistent-dir/frame.png"), std::string::npos);
}

// Paced swaps never come sooner than the interval (a loaded machine only
// makes them later, so this lower bound is safe).
TEST_F(GlWindow, SwapsArePacedByTheSwapInterval) {
  setenv("HYBROID_SWAP_INTERVAL", "3", 1);
  swapbuffers();
  double start = now_seconds();
  for (int i = 0; i < 4; i++) swapbuffers();
  EXPECT_GE(now_seconds() - start, 4 * 3 / 60.0 - 1e-3);
}

// ---------------------------------------------------------------------------
// Popup menus
// ---------------------------------------------------------------------------
struct Rect {
  int x, y, w, h;  // root coordinates, origin top-left
};

// The popup windows now shown, bottom to top (each new level is on top).
std::vector<Rect> menu_windows(Display *dpy) {
  std::vector<Rect> out;
  ::Window root, parent, *kids = nullptr;
  unsigned int n = 0;
  XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &kids, &n);
  for (unsigned int i = 0; i < n; i++) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(dpy, kids[i], &a)) continue;
    if (a.override_redirect && a.map_state == IsViewable)
      out.push_back({a.x, a.y, a.width, a.height});
  }
  if (kids) XFree(kids);
  return out;
}

// Waits until at least n popup windows are shown; false on timeout.
bool wait_for_menus(Display *dpy, size_t n, std::vector<Rect> *shown) {
  double end = now_seconds() + xtestutil::kEventTimeoutSeconds;
  while (now_seconds() < end) {
    *shown = menu_windows(dpy);
    if (shown->size() >= n) return true;
    sleep_seconds(0.005);
  }
  return false;
}

// Centre of row `row` (0 = the title) of a menu window with `rows` rows.
void row_centre(const Rect &r, int rows, int row, int *x, int *y) {
  *x = r.x + r.w / 2;
  *y = r.y + (2 * row + 1) * r.h / (2 * rows);
}

// A user's hand in a second thread: follows `path` (for each level, the row
// to move to in a menu of so many rows) and releases the right button, or
// clicks it when `click`.  Moves away and releases on a timeout so that dopup
// always ends.
struct MenuHand {
  std::vector<std::pair<int, int>> path;  // (rows, row) per level
  bool release_outside = false;
  bool click = false;
  KeySym release_key = 0;  // a key to release while the menu is up
  std::atomic<bool> ok{true};
  void operator()() {
    Injector hand;
    std::vector<Rect> shown;
    if (release_key) {
      ok = wait_for_menus(hand.dpy, 1, &shown);
      hand.key(release_key, false);
    }
    for (size_t level = 0; level < path.size(); level++) {
      if (!wait_for_menus(hand.dpy, level + 1, &shown)) {
        ok = false;
        break;
      }
      int x, y;
      row_centre(shown[level], path[level].first, path[level].second, &x, &y);
      hand.move_to(x, y);
    }
    if (release_outside || !ok) hand.move_to(1270, 1015);
    sleep_seconds(0.05);  // let the menu follow the pointer before the button
    if (click) hand.button(3, true);
    hand.button(3, false);
  }
};

std::vector<std::pair<char, int>> calls;
int top_fn(int v) { calls.push_back({'t', v}); return 1000 + v; }
int mid_fn(int v) { calls.push_back({'m', v}); return 2000 + v; }
int deep_fn(int v) { calls.push_back({'d', v}); return 3000 + v; }
int quit_fn(int v) { calls.push_back({'q', v}); return 4000 + v; }

class Popup : public GlWindow {
 protected:
  void SetUp() override {
    GlWindow::SetUp();
    calls.clear();
    deep = defpup("Deep %t %F|d1 %x41|d2 %x42|d3 %x43", deep_fn);
    mid = defpup("Mid %t %F|m1 %x31|Third %m|m3 %x33", mid_fn, deep);
    top = defpup("Top %t %F|t1 %x21|Second %m|t3 %x23", top_fn, mid);
    qdevice(DEV_RIGHTMOUSE);
    int rx, ry;
    xtestutil::window_to_root(290, 400, &rx, &ry);
    inject.move_to(rx, ry);
    xtestutil::drain_queue();
  }
  // Presses the right button in the window and reads its queue entry, as the
  // program does before it calls dopup.
  void press_right() {
    inject.button(3, true);
    short val = 0;
    ASSERT_TRUE(wait_for_entry(DEV_RIGHTMOUSE, &val));
    ASSERT_EQ(val, 1);
  }
  long run_dopup(long menu, MenuHand &hand) {
    std::thread t(std::ref(hand));
    long r = dopup(menu);
    t.join();
    return r;
  }
  // Right-button entries left in the queue after everything was delivered.
  int right_button_entries() {
    XSync(gl_conn.dpy, False);
    sleep_seconds(0.05);
    int n = 0;
    short v;
    while (qtest())
      if (qread(&v) == DEV_RIGHTMOUSE) n++;
    return n;
  }
  long deep = 0, mid = 0, top = 0;
};

TEST_F(Popup, DraggingIntoAThirdLevelItemCallsItsMenuFunctionOnce) {
  press_right();
  MenuHand hand;
  hand.path = {{4, 2}, {4, 2}, {4, 2}};  // Second -> Third -> d2
  long r = run_dopup(top, hand);
  EXPECT_TRUE(hand.ok);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], std::make_pair('d', 42));
  EXPECT_EQ(r, 3042);
  EXPECT_EQ(right_button_entries(), 0);
  EXPECT_TRUE(menu_windows(inject.dpy).empty());
}

TEST_F(Popup, ReleasingOnASecondLevelItemCallsThatMenusFunction) {
  press_right();
  MenuHand hand;
  hand.path = {{4, 2}, {4, 3}};  // Second -> m3
  run_dopup(top, hand);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], std::make_pair('m', 33));
  EXPECT_EQ(right_button_entries(), 0);
}

TEST_F(Popup, ReleasingOutsideTheMenuCallsNothing) {
  press_right();
  MenuHand hand;
  hand.path = {{4, 2}, {4, 2}};
  hand.release_outside = true;
  EXPECT_EQ(run_dopup(top, hand), -1);
  EXPECT_TRUE(hand.ok);
  EXPECT_TRUE(calls.empty());
  EXPECT_EQ(right_button_entries(), 0);
}

TEST_F(Popup, ReleasingWithoutMovingChoosesNothing) {
  press_right();
  MenuHand hand;  // no path: release where the menu opened (on its title)
  EXPECT_EQ(run_dopup(top, hand), -1);
  EXPECT_TRUE(calls.empty());
}

TEST_F(Popup, QuitInTheProgramsMainMenuIsCalledOnceAndLeavesNoRightButtonEntry) {
  long sq = defpup("Superquadric Parameters %t %F|sc %x1|a1 %x2", top_fn);
  long pos = defpup("Position %t %F|x-y %x12|z %x13|rotx %x14|roty %x15 |rotz %x16", mid_fn);
  long fit = defpup("Fitting Params %t %F|Change euler_step %x17|Reset euler_step %x18", deep_fn);
  long main_menu = defpup("Main Menu %t|Superquadric Menu %m|Position Menu %m|Fitting Menu %m|"
                          "Reset Viewpoint %f|Quit %f",
                          sq, pos, fit, top_fn, quit_fn);
  press_right();
  MenuHand hand;
  hand.path = {{6, 5}};  // Quit
  run_dopup(main_menu, hand);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].first, 'q');
  EXPECT_EQ(right_button_entries(), 0);
}

// A quick click: the release is already queued when the program calls dopup.
// The menu stays up, and the next click chooses.
TEST_F(Popup, AfterAQuickClickTheMenuStaysUpUntilTheNextClick) {
  inject.button(3, true);
  inject.button(3, false);
  short val = 0;
  ASSERT_TRUE(wait_for_entry(DEV_RIGHTMOUSE, &val));
  ASSERT_EQ(val, 1);
  MenuHand hand;
  hand.path = {{4, 3}};  // t3
  hand.click = true;
  run_dopup(top, hand);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], std::make_pair('t', 23));
  EXPECT_EQ(right_button_entries(), 0);
}

// Escape is released while the menu has the keyboard, so the window never
// sees that release; the next press must still be queued.
TEST_F(Popup, AKeyReleasedWhileTheMenuIsUpIsQueuedWhenPressedAgain) {
  qdevice(DEV_ESC);
  XSetInputFocus(gl_conn.dpy, gl_win.win, RevertToParent, CurrentTime);
  XSync(gl_conn.dpy, False);
  inject.key(XK_Escape, true);
  ASSERT_TRUE(xtestutil::wait_for_value(DEV_ESC, 1));
  press_right();
  MenuHand hand;
  hand.release_key = XK_Escape;
  hand.release_outside = true;
  EXPECT_EQ(run_dopup(top, hand), -1);
  EXPECT_TRUE(hand.ok);
  XSetInputFocus(gl_conn.dpy, gl_win.win, RevertToParent, CurrentTime);
  XSync(gl_conn.dpy, False);
  inject.key(XK_Escape, true);
  EXPECT_TRUE(xtestutil::wait_for_value(DEV_ESC, 1));
  inject.key(XK_Escape, false);
}

}  // namespace
