// The input side of the graphics layer against a real X server: live key and
// pointer state read without any window, injected with XTest.
// gtest comes before the X headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>
#include <X11/Xlib.h>

#include "gl.h"
#include "gl_internal.h"
#include "xtest_gl_util.h"

namespace {

using xtestutil::Injector;

class LiveInput : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(inject.dpy, nullptr) << "no X server: run under tests/with-xvfb";
    gl_test_reset();
  }
  Injector inject;
};

TEST_F(LiveInput, KeyboardIsAvailableOnAServer) { EXPECT_EQ(keyboard_available(), 1); }

TEST_F(LiveInput, AHeldKeyReadsOneOnEveryPollAndZeroAfterRelease) {
  EXPECT_EQ(getbutton(DEV_T), 0);
  inject.key(XK_t, true);
  for (int poll = 0; poll < 5; poll++) EXPECT_EQ(getbutton(DEV_T), 1) << "poll " << poll;
  EXPECT_EQ(getbutton(DEV_P), 0);
  inject.key(XK_t, false);
  EXPECT_EQ(getbutton(DEV_T), 0);
}

TEST_F(LiveInput, ALetterHeldWithShiftIsTheSameDevice) {
  inject.key(XK_Shift_L, true);
  inject.key(XK_d, true);
  EXPECT_EQ(getbutton(DEV_D), 1);
  inject.key(XK_d, false);
  EXPECT_EQ(getbutton(DEV_D), 0);
  inject.key(XK_Shift_L, false);
}

TEST_F(LiveInput, MainKeyboardDigitsFunctionKeysArrowsAndSpaceReadTheirDevices) {
  struct {
    KeySym sym;
    Device dev;
  } keys[] = {{XK_1, DEV_1}, {XK_0, DEV_0}, {XK_F1, DEV_F1}, {XK_F12, DEV_F12},
              {XK_Left, DEV_LEFTARROW}, {XK_Up, DEV_UPARROW}, {XK_space, DEV_SPACE},
              {XK_Escape, DEV_ESC}};
  for (auto &k : keys) {
    if (inject.code(k.sym) == 0) continue;  // not on this server's keyboard
    inject.key(k.sym, true);
    EXPECT_EQ(getbutton(k.dev), 1) << k.dev;
    inject.key(k.sym, false);
    EXPECT_EQ(getbutton(k.dev), 0) << k.dev;
  }
}

TEST_F(LiveInput, AKeypadDigitIsNotTheMainKeyboardDigit) {
  if (inject.code(XK_KP_1) == 0 || inject.code(XK_KP_1) == inject.code(XK_1))
    GTEST_SKIP() << "the server's keyboard has no separate keypad";
  inject.key(XK_KP_1, true);
  EXPECT_EQ(getbutton(DEV_1), 0);
  inject.key(XK_KP_1, false);
}

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

}  // namespace
