// The input side of the graphics layer against a real X server: keys read
// from the window's own events, live pointer state read without any window,
// and the event queue of the window, with input injected through XTest.
// gtest comes before the X headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>
#include <X11/Xlib.h>
#include <X11/XKBlib.h>

#include <vector>

#include "gl.h"
#include "gl_internal.h"
#include "xtest_gl_util.h"

namespace {

using xtestutil::Injector;
using xtestutil::wait_for_entry;

class LiveInput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(inject.dpy, nullptr) << "no X server: run under tests/with-xvfb";
    gl_test_reset();
  }
  Injector inject;
};

TEST_F(LiveInput, PointerValuatorsAreScreenPixelsWithYUpwards) {
  int h = inject.screen_height();
  inject.move_to(100, 200);
  EXPECT_EQ(getvaluator(DEV_MOUSEX), 100);
  EXPECT_EQ(getvaluator(DEV_MOUSEY), h - 200);
  inject.move_to(130, 150);
  EXPECT_EQ(getvaluator(DEV_MOUSEX), 130);
  EXPECT_EQ(getvaluator(DEV_MOUSEY), h - 150);
}

TEST_F(LiveInput, MouseButtonsPollWithoutAWindow) {
  inject.button(1, true);
  EXPECT_EQ(getbutton(DEV_LEFTMOUSE), 1);
  EXPECT_EQ(getbutton(DEV_RIGHTMOUSE), 0);
  inject.button(1, false);
  inject.button(3, true);
  EXPECT_EQ(getbutton(DEV_RIGHTMOUSE), 1);
  EXPECT_EQ(getbutton(DEV_LEFTMOUSE), 0);
  inject.button(3, false);
  EXPECT_EQ(getbutton(DEV_RIGHTMOUSE), 0);
}

TEST_F(LiveInput, TestOverridesTakePrecedenceOverTheLiveState) {
  gl_test_set_button(DEV_S, 1);
  EXPECT_EQ(getbutton(DEV_S), 1);
  gl_test_reset();
  EXPECT_EQ(getbutton(DEV_S), 0);
}

// Keys of the window: the window has the input focus; every check waits
// (reading events, one frame per try) until the state it expects is seen.
class WindowKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(inject.dpy, nullptr) << "no X server: run under tests/with-xvfb";
    gl_test_reset();
    xtestutil::open_program_window();
    XSetInputFocus(inject.dpy, gl_win.win, RevertToPointerRoot, CurrentTime);
    XSync(inject.dpy, False);
  }
  void TearDown() override {
    gexit();
    gl_test_reset();
  }
  // Waits until getbutton(dev) reads state at the start of a frame.
  bool wait_until_reads(Device dev, long state) {
    double end = xtestutil::now_seconds() + xtestutil::kEventTimeoutSeconds;
    while (xtestutil::now_seconds() < end) {
      qtest();
      if (getbutton(dev) == state) return true;
      swapbuffers();
    }
    return false;
  }
  Injector inject;
};

TEST_F(WindowKeys, APressShorterThanAFrameIsSeenForOneFrameAndPressedOnce) {
  inject.key(XK_d, true);
  inject.key(XK_d, false);
  ASSERT_TRUE(wait_until_reads(DEV_D, 1));
  EXPECT_EQ(keypressed(DEV_D), 1);
  EXPECT_EQ(keypressed(DEV_D), 0);
  swapbuffers();
  EXPECT_EQ(getbutton(DEV_D), 0);
}

// Without detectable autorepeat a held key arrives as release-press pairs
// with one time stamp; with a fast repeat rate it is held for many repeats,
// reading down on every frame and pressed once.
TEST_F(WindowKeys, AHeldKeyReadsDownEveryFrameAndItsAutorepeatIsNotAPress) {
  EXPECT_EQ(keyboard_available(), 1);
  XkbSetDetectableAutoRepeat(gl_conn.dpy, False, nullptr);
  unsigned int old_delay = 660, old_interval = 40;
  XkbGetAutoRepeatRate(inject.dpy, XkbUseCoreKbd, &old_delay, &old_interval);
  XkbSetAutoRepeatRate(inject.dpy, XkbUseCoreKbd, 30, 10);
  XSync(inject.dpy, False);
  inject.key(XK_t, true);
  ASSERT_TRUE(wait_until_reads(DEV_T, 1));
  int presses = 0;
  double end = xtestutil::now_seconds() + 0.3;  // about 25 repeats
  while (xtestutil::now_seconds() < end) {
    qtest();
    presses += (int)keypressed(DEV_T);
    EXPECT_EQ(getbutton(DEV_T), 1);
    swapbuffers();
  }
  inject.key(XK_t, false);
  XkbSetAutoRepeatRate(inject.dpy, XkbUseCoreKbd, old_delay, old_interval);
  XSync(inject.dpy, False);
  EXPECT_EQ(presses, 1);
  EXPECT_TRUE(wait_until_reads(DEV_T, 0));
}

TEST_F(WindowKeys, LosingTheFocusReleasesEveryKey) {
  inject.key(XK_x, true);
  ASSERT_TRUE(wait_until_reads(DEV_X, 1));
  XSetInputFocus(inject.dpy, PointerRoot, RevertToPointerRoot, CurrentTime);
  inject.move_to(1200, 5);  // outside the window: keys go to the root window
  EXPECT_TRUE(wait_until_reads(DEV_X, 0));
  inject.key(XK_x, false);
}

TEST_F(WindowKeys, ShiftDigitsFunctionKeysArrowsAndSpaceReadTheirDevices) {
  inject.key(XK_Shift_L, true);
  inject.key(XK_d, true);
  EXPECT_TRUE(wait_until_reads(DEV_D, 1));
  inject.key(XK_d, false);
  inject.key(XK_Shift_L, false);
  EXPECT_TRUE(wait_until_reads(DEV_D, 0));
  struct {
    KeySym sym;
    Device dev;
  } keys[] = {{XK_1, DEV_1}, {XK_0, DEV_0}, {XK_F1, DEV_F1}, {XK_F12, DEV_F12},
              {XK_Left, DEV_LEFTARROW}, {XK_Up, DEV_UPARROW}, {XK_space, DEV_SPACE},
              {XK_Escape, DEV_ESC}};
  for (auto &k : keys) {
    if (inject.code(k.sym) == 0) continue;  // not on this server's keyboard
    inject.key(k.sym, true);
    EXPECT_TRUE(wait_until_reads(k.dev, 1)) << k.dev;
    inject.key(k.sym, false);
    EXPECT_TRUE(wait_until_reads(k.dev, 0)) << k.dev;
  }
}

TEST_F(WindowKeys, AKeypadDigitIsNotTheMainKeyboardDigit) {
  if (inject.code(XK_KP_1) == 0 || inject.code(XK_KP_1) == inject.code(XK_1))
    GTEST_SKIP() << "the server's keyboard has no separate keypad";
  inject.key(XK_KP_1, true);
  inject.key(XK_2, true);  // a marker that is seen after the keypad key
  EXPECT_TRUE(wait_until_reads(DEV_2, 1));
  EXPECT_EQ(getbutton(DEV_1), 0);
  inject.key(XK_2, false);
  inject.key(XK_KP_1, false);
}

// The window's queue: the pointer is moved into the window first, so that
// button and key events go to it.
class WindowQueue : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(inject.dpy, nullptr) << "no X server: run under tests/with-xvfb";
    gl_test_reset();
    xtestutil::open_program_window();
    int rx, ry;
    xtestutil::window_to_root(200, 300, &rx, &ry);
    inject.move_to(rx, ry);
    xtestutil::drain_queue();
  }
  void TearDown() override {
    gexit();
    gl_test_reset();
  }
  Injector inject;
};

TEST_F(WindowQueue, OpeningTheWindowEnablesTheRedrawDevice) {
  gexit();
  gl_test_reset();
  xtestutil::open_program_window();
  short val = 0;
  ASSERT_TRUE(wait_for_entry(DEV_REDRAW, &val));
  EXPECT_EQ(val, GL_WINDOW_ID);
}

TEST_F(WindowQueue, AQueuedLeftButtonGivesPressThenRelease) {
  qdevice(DEV_LEFTMOUSE);
  EXPECT_EQ(qtest(), 0);
  inject.button(1, true);
  short val = -1;
  ASSERT_TRUE(wait_for_entry(DEV_LEFTMOUSE, &val));
  EXPECT_EQ(val, 1);
  inject.button(1, false);
  ASSERT_TRUE(wait_for_entry(DEV_LEFTMOUSE, &val));
  EXPECT_EQ(val, 0);
}

TEST_F(WindowQueue, QtestReportsTheLeftButtonAndQreadReturnsIt) {
  qdevice(DEV_LEFTMOUSE);
  inject.button(1, true);
  double end = xtestutil::now_seconds() + xtestutil::kEventTimeoutSeconds;
  long dev = 0;
  while (xtestutil::now_seconds() < end) {
    dev = qtest();
    if (dev == DEV_LEFTMOUSE) break;
    short skip;
    if (dev) qread(&skip);  // the window's own 534 entry
    xtestutil::sleep_seconds(0.002);
  }
  EXPECT_EQ(dev, DEV_LEFTMOUSE);
  short val = 0;
  EXPECT_EQ(qread(&val), DEV_LEFTMOUSE);
  EXPECT_EQ(val, 1);
  inject.button(1, false);
}

// A queued marker after the unqueued button proves the button's events were
// handled before the queue was read.
TEST_F(WindowQueue, AnUnqueuedButtonProducesNothing) {
  qdevice(DEV_LEFTMOUSE);
  inject.button(2, true);
  inject.button(2, false);
  inject.button(1, true);
  inject.button(1, false);
  short val;
  long first = 0;
  double end = xtestutil::now_seconds() + xtestutil::kEventTimeoutSeconds;
  while (!first && xtestutil::now_seconds() < end) {
    while (qtest()) {
      long d = qread(&val);
      if (d != DEV_INPUTCHANGE && d != DEV_REDRAW) {
        first = d;
        break;
      }
    }
    xtestutil::sleep_seconds(0.002);
  }
  EXPECT_EQ(first, DEV_LEFTMOUSE);
}

TEST_F(WindowQueue, AQueuedEscapeGivesPressThenReleaseAndARepeatIsNotQueued) {
  qdevice(DEV_ESC);
  qdevice(DEV_LEFTMOUSE);
  XSetInputFocus(gl_conn.dpy, gl_win.win, RevertToParent, CurrentTime);
  XSync(gl_conn.dpy, False);
  // Held for several repeat intervals of a fast autorepeat.
  unsigned int old_delay = 660, old_interval = 40;
  XkbGetAutoRepeatRate(inject.dpy, XkbUseCoreKbd, &old_delay, &old_interval);
  XkbSetAutoRepeatRate(inject.dpy, XkbUseCoreKbd, 30, 10);
  XSync(inject.dpy, False);
  inject.key(XK_Escape, true);
  xtestutil::sleep_seconds(0.2);
  inject.key(XK_Escape, false);
  XkbSetAutoRepeatRate(inject.dpy, XkbUseCoreKbd, old_delay, old_interval);
  XSync(inject.dpy, False);
  inject.button(1, true);       // marker
  inject.button(1, false);
  short val = -1;
  ASSERT_TRUE(wait_for_entry(DEV_ESC, &val));
  EXPECT_EQ(val, 1);
  // The next Escape entry is the release, and the marker follows it.
  std::vector<std::pair<long, short>> rest;
  double end = xtestutil::now_seconds() + xtestutil::kEventTimeoutSeconds;
  while (xtestutil::now_seconds() < end && (rest.empty() || rest.back().first != DEV_LEFTMOUSE)) {
    while (qtest()) {
      short v;
      long d = qread(&v);
      if (d == DEV_ESC || d == DEV_LEFTMOUSE) rest.push_back({d, v});
    }
    xtestutil::sleep_seconds(0.002);
  }
  ASSERT_GE(rest.size(), 2u);
  EXPECT_EQ(rest[0], std::make_pair(long(DEV_ESC), short(0)));
  EXPECT_EQ(rest[1], std::make_pair(long(DEV_LEFTMOUSE), short(1)));
}

TEST_F(WindowQueue, ThePointerLeavingAndEnteringQueuesInputChange) {
  inject.move_to(1200, 5);  // outside the window
  EXPECT_TRUE(xtestutil::wait_for_value(DEV_INPUTCHANGE, 0));
  int rx, ry;
  xtestutil::window_to_root(100, 100, &rx, &ry);
  inject.move_to(rx, ry);
  EXPECT_TRUE(xtestutil::wait_for_value(DEV_INPUTCHANGE, GL_WINDOW_ID));
}

}  // namespace
