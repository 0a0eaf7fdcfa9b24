// The graphics layer's pure parts, without an X server: the key table, the
// event queue and its enabled-devices rule, the test hooks, and what polling
// reports when no display can be opened.
// gtest comes before the X headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>
#include <X11/Xlib.h>

#include <cstdlib>

#include "gl.h"
#include "gl_internal.h"
#include "test_util.h"

namespace {

// Points the layer at a display that cannot exist and drops any open one.
void use_no_display() {
  setenv("DISPLAY", ":64999", 1);
  gl_close_display();
}

struct NamedKey {
  const char *keysym;  // X keysym name
  Device dev;
};

// Every key device the program reads, by the keysym of its unshifted key.
//  keysym     device
const NamedKey program_keys[] = {
  {"Escape",   DEV_ESC},        {"1", DEV_1},  {"2", DEV_2},  {"3", DEV_3},
  {"4",        DEV_4},          {"5", DEV_5},  {"6", DEV_6},  {"7", DEV_7},
  {"8",        DEV_8},          {"0", DEV_0},
  {"a", DEV_A}, {"b", DEV_B}, {"c", DEV_C}, {"d", DEV_D}, {"e", DEV_E}, {"f", DEV_F},
  {"g", DEV_G}, {"i", DEV_I}, {"j", DEV_J}, {"l", DEV_L}, {"n", DEV_N}, {"o", DEV_O},
  {"p", DEV_P}, {"r", DEV_R}, {"s", DEV_S}, {"t", DEV_T}, {"u", DEV_U}, {"v", DEV_V},
  {"x", DEV_X}, {"y", DEV_Y}, {"z", DEV_Z},
  {"Left",     DEV_LEFTARROW},  {"Down", DEV_DOWNARROW},
  {"Right",    DEV_RIGHTARROW}, {"Up",   DEV_UPARROW},
  {"space",    DEV_SPACE},
};

// The numbers the program's own code is written against.
TEST(DeviceTable, ProgramDevicesHaveTheirFixedNumbers) {
  EXPECT_EQ(DEV_ESC, 7);
  EXPECT_EQ(DEV_A, 11);
  EXPECT_EQ(DEV_0, 46);
  EXPECT_EQ(DEV_SPACE, 83);
  EXPECT_EQ(DEV_LEFTMOUSE, 103);
  EXPECT_EQ(DEV_F12, 157);
  EXPECT_EQ(DEV_MOUSEY, 267);
  EXPECT_EQ(DEV_REDRAW, 528);
}

TEST(KeysymDevice, EveryProgramKeyMapsToItsDeviceInBothLetterCases) {
  for (const NamedKey &k : program_keys) {
    KeySym lower = XStringToKeysym(k.keysym);
    ASSERT_NE(lower, (KeySym)NoSymbol) << k.keysym;
    KeySym lower_case, upper_case;
    XConvertCase(lower, &lower_case, &upper_case);
    EXPECT_EQ(gl_keysym_device(lower_case), k.dev) << k.keysym;
    EXPECT_EQ(gl_keysym_device(upper_case), k.dev) << k.keysym << " with Shift";
  }
}

TEST(KeysymDevice, FunctionKeysAreConsecutiveFromF1ToF12) {
  for (int n = 1; n <= 12; n++) {
    std::string name = "F" + std::to_string(n);
    EXPECT_EQ(gl_keysym_device(XStringToKeysym(name.c_str())), DEV_F1 + n - 1) << name;
  }
  EXPECT_EQ(gl_keysym_device(XStringToKeysym("F12")), DEV_F12);
  EXPECT_EQ(gl_keysym_device(XStringToKeysym("F13")), 0);
}

TEST(KeysymDevice, KeypadDigitsAndUnusedKeysHaveNoDevice) {
  const char *unmapped[] = {"KP_1", "KP_0", "KP_8", "KP_Left", "q", "Q", "Shift_L",
                            "Return"};
  for (const char *name : unmapped)
    EXPECT_EQ(gl_keysym_device(XStringToKeysym(name)), 0) << name;
}

TEST(PointerButtonDevice, IsOneHundredAndFourMinusTheXButton) {
  EXPECT_EQ(gl_pointer_button_device(1), DEV_LEFTMOUSE);
  EXPECT_EQ(gl_pointer_button_device(2), DEV_MIDDLEMOUSE);
  EXPECT_EQ(gl_pointer_button_device(3), DEV_RIGHTMOUSE);
  EXPECT_EQ(gl_pointer_button_device(4), 0);  // wheel
  EXPECT_EQ(gl_pointer_button_device(0), 0);
}

class EventQueue : public ::testing::Test {
 protected:
  void SetUp() override { gl_test_reset(); }
  void TearDown() override { gl_test_reset(); }
};

TEST_F(EventQueue, EmptyQueueTestsZero) { EXPECT_EQ(qtest(), 0); }

TEST_F(EventQueue, EntriesComeOutOldestFirstAndQtestDoesNotRemove) {
  gl_test_queue(DEV_LEFTMOUSE, 1);
  gl_test_queue(DEV_ESC, 1);
  gl_test_queue(DEV_LEFTMOUSE, 0);
  EXPECT_EQ(qtest(), DEV_LEFTMOUSE);
  EXPECT_EQ(qtest(), DEV_LEFTMOUSE);
  short val = -5;
  EXPECT_EQ(qread(&val), DEV_LEFTMOUSE);
  EXPECT_EQ(val, 1);
  EXPECT_EQ(qtest(), DEV_ESC);
  EXPECT_EQ(qread(&val), DEV_ESC);
  EXPECT_EQ(val, 1);
  EXPECT_EQ(qread(&val), DEV_LEFTMOUSE);
  EXPECT_EQ(val, 0);
  EXPECT_EQ(qtest(), 0);
}

TEST_F(EventQueue, OnlyEnabledDevicesProduceEntries) {
  EXPECT_EQ(gl_queue_event(DEV_MIDDLEMOUSE, 1), 0);
  EXPECT_EQ(qtest(), 0);
  qdevice(DEV_MIDDLEMOUSE);
  EXPECT_EQ(gl_queue_event(DEV_MIDDLEMOUSE, 1), 1);
  EXPECT_EQ(gl_queue_event(DEV_LEFTMOUSE, 1), 0);
  short val = 0;
  EXPECT_EQ(qread(&val), DEV_MIDDLEMOUSE);
  EXPECT_EQ(val, 1);
  EXPECT_EQ(qtest(), 0);
}

TEST_F(EventQueue, ConsecutiveRedrawRequestsCollapseIntoOne) {
  qdevice(DEV_REDRAW);
  qdevice(DEV_ESC);
  gl_queue_event(DEV_REDRAW, GL_WINDOW_ID);
  gl_queue_event(DEV_REDRAW, GL_WINDOW_ID);
  gl_queue_event(DEV_ESC, 1);
  gl_queue_event(DEV_REDRAW, GL_WINDOW_ID);
  short val;
  EXPECT_EQ(qread(&val), DEV_REDRAW);
  EXPECT_EQ(qread(&val), DEV_ESC);
  EXPECT_EQ(qread(&val), DEV_REDRAW);
  EXPECT_EQ(qtest(), 0);
}

TEST_F(EventQueue, AFullQueueDropsTheNewestEntries) {
  for (int i = 0; i < GL_QUEUE_SIZE + 10; i++) gl_test_queue(DEV_ESC, (short)i);
  short val = -1;
  for (int i = 0; i < GL_QUEUE_SIZE; i++) {
    ASSERT_EQ(qread(&val), DEV_ESC);
    ASSERT_EQ(val, i);
  }
  EXPECT_EQ(qtest(), 0);
}

TEST_F(EventQueue, RemovingADeviceValueKeepsTheOrderOfTheRest) {
  gl_test_queue(DEV_RIGHTMOUSE, 0);
  gl_test_queue(DEV_ESC, 1);
  gl_test_queue(DEV_RIGHTMOUSE, 1);
  gl_test_queue(DEV_RIGHTMOUSE, 0);
  gl_test_queue(DEV_LEFTMOUSE, 1);
  gl_queue_remove(DEV_RIGHTMOUSE, 0);
  short val;
  EXPECT_EQ(qread(&val), DEV_ESC);
  EXPECT_EQ(qread(&val), DEV_RIGHTMOUSE);
  EXPECT_EQ(val, 1);
  EXPECT_EQ(qread(&val), DEV_LEFTMOUSE);
  EXPECT_EQ(qtest(), 0);
}

TEST_F(EventQueue, ResetEmptiesTheQueueAndDisablesDevices) {
  qdevice(DEV_ESC);
  gl_test_queue(DEV_ESC, 1);
  gl_test_reset();
  EXPECT_EQ(qtest(), 0);
  EXPECT_EQ(gl_queue_event(DEV_ESC, 1), 0);
}

TEST_F(EventQueue, QreadOnAnEmptyQueueWithoutAWindowReturnsAtOnce) {
  use_no_display();
  short val = 7;
  EXPECT_EQ(qread(&val), 0);
  EXPECT_EQ(val, 0);
}

class TestHooks : public ::testing::Test {
 protected:
  void SetUp() override {
    use_no_display();
    gl_test_reset();
  }
  void TearDown() override { gl_test_reset(); }
};

TEST_F(TestHooks, ForcedButtonStateHoldsOnEveryPollUntilReset) {
  gl_test_set_button(DEV_T, 1);
  for (int poll = 0; poll < 3; poll++) EXPECT_EQ(getbutton(DEV_T), 1);
  EXPECT_EQ(getbutton(DEV_P), 0);
  gl_test_set_button(DEV_T, 0);
  EXPECT_EQ(getbutton(DEV_T), 0);
  gl_test_set_button(DEV_LEFTMOUSE, 1);
  gl_test_reset();
  EXPECT_EQ(getbutton(DEV_LEFTMOUSE), 0);
}

TEST_F(TestHooks, ForcedValuatorsReadBackAndOtherValuatorsStayZero) {
  gl_test_set_valuator(DEV_MOUSEX, 123);
  gl_test_set_valuator(DEV_MOUSEY, -4);
  EXPECT_EQ(getvaluator(DEV_MOUSEX), 123);
  EXPECT_EQ(getvaluator(DEV_MOUSEY), -4);
  gl_test_set_valuator(300, 9);
  EXPECT_EQ(getvaluator(300), 0);
  gl_test_reset();
  EXPECT_EQ(getvaluator(DEV_MOUSEX), 0);
}

TEST_F(TestHooks, OutOfRangeDevicesAreIgnored) {
  gl_test_set_button(0, 1);
  gl_test_set_button(600, 1);
  EXPECT_EQ(getbutton(0), 0);
  EXPECT_EQ(getbutton(600), 0);
  qdevice(60000);  // beyond the device range: no effect, no crash
  EXPECT_EQ(gl_queue_event(60000, 1), 0);
}

TEST(NoDisplay, KeyboardIsUnavailableAndEverythingReadsZero) {
  use_no_display();
  gl_test_reset();
  EXPECT_EQ(keyboard_available(), 0);
  const Device devices[] = {DEV_ESC, DEV_A, DEV_1, DEV_SPACE, DEV_F1, DEV_F12,
                            DEV_LEFTMOUSE, DEV_RIGHTMOUSE, DEV_UPARROW};
  for (Device d : devices) EXPECT_EQ(getbutton(d), 0) << d;
  EXPECT_EQ(getvaluator(DEV_MOUSEX), 0);
  EXPECT_EQ(getvaluator(DEV_MOUSEY), 0);
  EXPECT_EQ(qtest(), 0);
}

TEST(NoDisplay, PollingPrintsNothing) {
  use_no_display();
  testing::internal::CaptureStderr();
  keyboard_available();
  getbutton(DEV_ESC);
  getvaluator(DEV_MOUSEX);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
