// The graphics layer's pure parts, without an X server: the key table, the
// event queue and its enabled-devices rule, the test hooks, what polling
// reports when no display can be opened, the matrices, clipping, the
// menu-string parser and the swap-interval setting.
// gtest comes before the X headers, whose macros (None, Bool) clash with it.
#include <gtest/gtest.h>
#include <X11/Xlib.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

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

// ---------------------------------------------------------------------------
// Matrices
// ---------------------------------------------------------------------------
namespace {

// Matrices are single precision: a clip coordinate carries about 7
// significant digits of the values that built it.
const double kFloatRelTol = 2e-6;

::testing::AssertionResult near_clip(const double expected[4], const double actual[4]) {
  for (int i = 0; i < 4; i++) {
    double tol = kFloatRelTol * std::fmax(1.0, std::fabs(expected[i]));
    if (!(std::fabs(expected[i] - actual[i]) <= tol))
      return ::testing::AssertionFailure()
             << "component " << i << ": expected " << expected[i] << " but got " << actual[i];
  }
  return ::testing::AssertionSuccess();
}

const Matrix kIdentity = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

class Transform : public ::testing::Test {
 protected:
  void SetUp() override { gl_reset_matrices(); }
  void TearDown() override { gl_reset_matrices(); }
  void clip_of(double x, double y, double z, double out[4]) { gl_transform_point(x, y, z, out); }
};

TEST_F(Transform, PerspectiveGivesTheFrustumClipCoordinates) {
  const double aspect = 591.0 / 791.0, n = 0.1, f = 3000.0;
  perspective(60, (float)aspect, (float)n, (float)f);
  loadmatrix(kIdentity);
  const double c = 1.0 / std::tan(3.0 * M_PI / 180.0);
  const double points[][3] = {{1.0, 2.0, -10.0}, {-3.0, 0.5, -300.0}, {0.0, 0.0, -0.1}};
  for (const auto &p : points) {
    double got[4];
    clip_of(p[0], p[1], p[2], got);
    double a = (float)aspect, nn = (float)n;  // the arguments arrive as floats
    double want[4] = {c * p[0] / a, c * p[1], ((f + nn) * p[2] + 2 * f * nn) / (nn - f), -p[2]};
    EXPECT_TRUE(near_clip(want, got)) << "point z " << p[2];
  }
}

TEST_F(Transform, PerspectiveMapsTheNearAndFarPlanesOntoTheClipVolume) {
  perspective(300, 1.0f, 2.0f, 50.0f);
  double near_pt[4], far_pt[4];
  clip_of(0, 0, -2.0, near_pt);
  clip_of(0, 0, -50.0, far_pt);
  EXPECT_NEAR(near_pt[2] / near_pt[3], -1.0, 1e-5);
  EXPECT_NEAR(far_pt[2] / far_pt[3], 1.0, 1e-5);
}

TEST_F(Transform, FieldOfViewBelowTwoTenthsActsAsTwo) {
  double two[4], zero[4], one[4], negative[4];
  perspective(2, 1.3f, 0.1f, 100.0f);
  clip_of(1, 1, -5, two);
  perspective(0, 1.3f, 0.1f, 100.0f);
  clip_of(1, 1, -5, zero);
  perspective(1, 1.3f, 0.1f, 100.0f);
  clip_of(1, 1, -5, one);
  perspective(-40, 1.3f, 0.1f, 100.0f);
  clip_of(1, 1, -5, negative);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(zero[i], two[i]) << i;
    EXPECT_EQ(one[i], two[i]) << i;
    EXPECT_EQ(negative[i], two[i]) << i;
  }
  // 0.2 degrees: c = cot(0.1 degrees), about 573.
  EXPECT_NEAR(two[1], 1.0 / std::tan(0.1 * M_PI / 180.0), 573 * kFloatRelTol);
}

TEST_F(Transform, FieldOfViewAboveEighteenHundredActsAsEighteenHundred) {
  double limit[4], above[4];
  perspective(1800, 1.0f, 1.0f, 10.0f);
  clip_of(1, 1, -5, limit);
  perspective(3000, 1.0f, 1.0f, 10.0f);
  clip_of(1, 1, -5, above);
  for (int i = 0; i < 4; i++) EXPECT_EQ(above[i], limit[i]) << i;
}

TEST_F(Transform, DegenerateProjectionsLeaveThePreviousOneInForce) {
  ortho2(0, 10, 0, 10);
  double before[4], after[4];
  clip_of(5, 5, 0, before);
  perspective(60, 0.0f, 0.1f, 10.0f);
  perspective(60, 1.0f, 3.0f, 3.0f);
  ortho2(1, 1, 0, 10);
  clip_of(5, 5, 0, after);
  for (int i = 0; i < 4; i++) EXPECT_EQ(after[i], before[i]) << i;
}

TEST_F(Transform, Ortho2MapsTheRectangleOntoMinusOneToOne) {
  ortho2(-0.5f, 590.5f, -0.5f, 790.5f);
  double lo[4], hi[4], mid[4];
  clip_of(-0.5, -0.5, 0, lo);
  clip_of(590.5, 790.5, 0.25, hi);
  clip_of(295, 395, 0, mid);
  const double want_lo[4] = {-1, -1, 0, 1}, want_hi[4] = {1, 1, -0.25, 1},
               want_mid[4] = {0, 0, 0, 1};
  EXPECT_TRUE(near_clip(want_lo, lo));
  EXPECT_TRUE(near_clip(want_hi, hi));
  EXPECT_TRUE(near_clip(want_mid, mid));
}

TEST_F(Transform, PolarviewAtDistanceThreeHundredMovesPointsAlongMinusZ) {
  loadmatrix(kIdentity);
  polarview(300.0f, 0, 0, 0);
  const double points[][3] = {{0, 0, 0}, {1, -2, 3}, {10, 20, -30}};
  for (const auto &p : points) {
    double got[4], want[4] = {p[0], p[1], p[2] - 300.0, 1.0};
    clip_of(p[0], p[1], p[2], got);
    EXPECT_TRUE(near_clip(want, got));
  }
}

// Turning points by -azim about z: with a right-handed rotation, azim = 90
// degrees takes the x axis to -y.
TEST_F(Transform, PolarviewRotationsAreRightHanded) {
  double got[4];
  polarview(0, 900, 0, 0);
  clip_of(1, 0, 0, got);
  const double azim_x[4] = {0, -1, 0, 1};
  EXPECT_TRUE(near_clip(azim_x, got));

  loadmatrix(kIdentity);
  polarview(0, 0, 900, 0);  // -90 degrees about x takes y to -z
  clip_of(0, 1, 0, got);
  const double inc_y[4] = {0, 0, -1, 1};
  EXPECT_TRUE(near_clip(inc_y, got));

  loadmatrix(kIdentity);
  polarview(0, 0, 0, 450);  // -45 degrees about z
  clip_of(1, 0, 0, got);
  const double twist_x[4] = {std::sqrt(0.5), -std::sqrt(0.5), 0, 1};
  EXPECT_TRUE(near_clip(twist_x, got));
}

// azim acts first, then inc: x -> -y (azim 90) -> +z (inc 90).  The other
// order would leave x at -y.
TEST_F(Transform, PolarviewTurnsByAzimuthBeforeInclination) {
  polarview(0, 900, 900, 0);
  double got[4];
  clip_of(1, 0, 0, got);
  const double want[4] = {0, 0, 1, 1};
  EXPECT_TRUE(near_clip(want, got));
}

TEST_F(Transform, TheTransformIssuedLastActsOnPointsFirst) {
  loadmatrix(kIdentity);
  polarview(300.0f, 900, 0, 0);
  translate(1, 0, 0);
  double got[4];
  clip_of(0, 0, 0, got);  // moved to (1, 0, 0), then turned to (0, -1, 0), then pushed back
  const double want[4] = {0, -1, -300, 1};
  EXPECT_TRUE(near_clip(want, got));
}

TEST_F(Transform, LoadmatrixReplacesTheCurrentViewingMatrix) {
  translate(5, 5, 5);
  Matrix scale = {{2, 0, 0, 0}, {0, 3, 0, 0}, {0, 0, 4, 0}, {1, 1, 1, 1}};
  loadmatrix(scale);
  double got[4];
  clip_of(1, 1, 1, got);
  const double want[4] = {3, 4, 5, 1};
  EXPECT_TRUE(near_clip(want, got));
}

TEST_F(Transform, PopmatrixRestoresThePushedMatrixAndTheLastOneStays) {
  translate(1, 2, 3);
  pushmatrix();
  translate(10, 0, 0);
  double got[4];
  clip_of(0, 0, 0, got);
  EXPECT_NEAR(got[0], 11.0, 1e-6);
  popmatrix();
  clip_of(0, 0, 0, got);
  EXPECT_NEAR(got[0], 1.0, 1e-6);
  popmatrix();  // only one left: nothing happens
  clip_of(0, 0, 0, got);
  const double want[4] = {1, 2, 3, 1};
  EXPECT_TRUE(near_clip(want, got));
}

TEST_F(Transform, TheProjectionIsNotOnTheViewingStack) {
  ortho2(0, 2, 0, 2);
  pushmatrix();
  perspective(60, 1, 1, 10);
  popmatrix();
  double got[4];
  clip_of(1, 1, -5, got);
  EXPECT_NEAR(got[3], 5.0, 1e-5);  // still the perspective: w = -z
}

// ---------------------------------------------------------------------------
// Clipping in homogeneous clip space
// ---------------------------------------------------------------------------
TEST(ClipSegment, AnInsideSegmentIsUnchanged) {
  double a[4] = {-0.5, 0.2, 0.1, 1}, b[4] = {0.3, -0.4, 0.9, 2};
  const double a0[4] = {-0.5, 0.2, 0.1, 1}, b0[4] = {0.3, -0.4, 0.9, 2};
  ASSERT_EQ(gl_clip_segment(a, b), 1);
  EXPECT_TRUE(testutil::near_array(a0, a, 4, 0.0));
  EXPECT_TRUE(testutil::near_array(b0, b, 4, 0.0));
}

TEST(ClipSegment, ASegmentLeavingThroughASideEndsOnThatSide) {
  double a[4] = {0, 0, 0, 1}, b[4] = {3, 0, 0, 1};
  ASSERT_EQ(gl_clip_segment(a, b), 1);
  const double want[4] = {1, 0, 0, 1};
  EXPECT_TRUE(testutil::near_array(want, b, 4, 1e-12));
  double c[4] = {-2, 2, 0, 1}, d[4] = {2, 2.5, 0, 1};  // entirely above y = w
  EXPECT_EQ(gl_clip_segment(c, d), 0);
}

TEST(ClipSegment, ASegmentCrossingTheVolumeIsCutAtBothEnds) {
  double a[4] = {-3, 0, 0, 1}, b[4] = {3, 0, 0, 1};
  ASSERT_EQ(gl_clip_segment(a, b), 1);
  EXPECT_NEAR(a[0], -1.0, 1e-12);
  EXPECT_NEAR(b[0], 1.0, 1e-12);
}

// Seen through a perspective, a segment from in front of the eye to behind
// it must stay on its own side of the picture: the naive divide of the far
// end (w < 0) would throw it to the opposite side.
TEST(ClipSegment, ASegmentPassingBehindTheEyeKeepsOnlyItsVisiblePart) {
  gl_reset_matrices();
  perspective(600, 1.0f, 0.1f, 100.0f);
  double front[4], behind[4];
  gl_transform_point(0.2, 0.1, -5.0, front);
  gl_transform_point(0.2, 0.1, 5.0, behind);
  ASSERT_LT(behind[3], 0.0);
  ASSERT_EQ(gl_clip_segment(front, behind), 1);
  EXPECT_GT(behind[3], 0.0);
  EXPECT_GE(front[0] / front[3], 0.0);
  EXPECT_GE(behind[0] / behind[3], 0.0);
  EXPECT_LE(std::fabs(behind[0] / behind[3]), 1.0 + 1e-9);
  gl_reset_matrices();
}

TEST(ClipSegment, ASegmentEntirelyBehindTheEyeIsDropped) {
  double a[4] = {0.1, 0.1, 1, -1}, b[4] = {0.5, -0.2, 3, -2};
  EXPECT_EQ(gl_clip_segment(a, b), 0);
}

TEST(ClipSegment, InsideTestNeedsPositiveWAndAllSixPlanes) {
  const double in[4] = {0.5, -0.5, 1, 1}, out_x[4] = {1.5, 0, 0, 1}, at_eye[4] = {0, 0, 0, 0},
               out_z[4] = {0, 0, -2, 1};
  EXPECT_EQ(gl_clip_inside(in), 1);
  EXPECT_EQ(gl_clip_inside(out_x), 0);
  EXPECT_EQ(gl_clip_inside(at_eye), 0);
  EXPECT_EQ(gl_clip_inside(out_z), 0);
}

// ---------------------------------------------------------------------------
// Menu strings
// ---------------------------------------------------------------------------
struct ExpectedItem {
  const char *label;
  long value;
};

void expect_items(const gl_menu &m, const std::vector<ExpectedItem> &want) {
  ASSERT_EQ(m.n_items, (int)want.size());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_STREQ(m.items[i].label, want[i].label) << "item " << i;
    EXPECT_EQ(m.items[i].value, want[i].value) << "item " << i;
  }
}

TEST(MenuString, SuperquadricMenuHasATitleAMenuFunctionAndElevenValues) {
  gl_menu m;
  ASSERT_EQ(gl_parse_menu("Superquadric Parameters %t %F|sc %x1|a1 %x2|a2 %x3|a3 %x4|e1 %x5|"
                          "e2 %x6|tapx %x7|tapy %x8|bend1 %x9|bend2 %x10|bend3 %x11",
                          &m),
            0);
  EXPECT_EQ(m.has_title, 1);
  EXPECT_STREQ(m.title, "Superquadric Parameters ");
  EXPECT_EQ(m.n_args, 1);
  EXPECT_EQ(m.arg_kind[0], 'f');
  EXPECT_EQ(m.menu_function_arg, 0);
  expect_items(m, {{"sc ", 1}, {"a1 ", 2}, {"a2 ", 3}, {"a3 ", 4}, {"e1 ", 5}, {"e2 ", 6},
                   {"tapx ", 7}, {"tapy ", 8}, {"bend1 ", 9}, {"bend2 ", 10}, {"bend3 ", 11}});
  for (int i = 0; i < m.n_items; i++) {
    EXPECT_EQ(m.items[i].function_arg, -1);
    EXPECT_EQ(m.items[i].submenu_arg, -1);
  }
}

TEST(MenuString, PositionMenuReadsTheValueBeforeATrailingBlank) {
  gl_menu m;
  ASSERT_EQ(gl_parse_menu("Position %t %F|x-y %x12|z %x13|rotx %x14|roty %x15 |rotz %x16", &m), 0);
  EXPECT_STREQ(m.title, "Position ");
  EXPECT_EQ(m.menu_function_arg, 0);
  expect_items(m, {{"x-y ", 12}, {"z ", 13}, {"rotx ", 14}, {"roty ", 15}, {"rotz ", 16}});
}

TEST(MenuString, FittingMenuKeepsBlanksInsideLabels) {
  gl_menu m;
  ASSERT_EQ(gl_parse_menu("Fitting Params %t %F|Change euler_step %x17|Reset euler_step %x18", &m),
            0);
  EXPECT_STREQ(m.title, "Fitting Params ");
  expect_items(m, {{"Change euler_step ", 17}, {"Reset euler_step ", 18}});
}

TEST(MenuString, MainMenuTakesThreeSubmenusThenTwoFunctionsInStringOrder) {
  gl_menu m;
  ASSERT_EQ(gl_parse_menu("Main Menu %t|Superquadric Menu %m|Position Menu %m|Fitting Menu %m|"
                          "Reset Viewpoint %f|Quit %f",
                          &m),
            0);
  EXPECT_STREQ(m.title, "Main Menu ");
  EXPECT_EQ(m.menu_function_arg, -1);
  ASSERT_EQ(m.n_args, 5);
  EXPECT_EQ(std::string(m.arg_kind, 5), "mmmff");
  ASSERT_EQ(m.n_items, 5);
  const char *labels[] = {"Superquadric Menu ", "Position Menu ", "Fitting Menu ",
                          "Reset Viewpoint ", "Quit "};
  for (int i = 0; i < 5; i++) EXPECT_STREQ(m.items[i].label, labels[i]);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(m.items[i].submenu_arg, i);
    EXPECT_EQ(m.items[i].function_arg, -1);
  }
  EXPECT_EQ(m.items[3].function_arg, 3);
  EXPECT_EQ(m.items[4].function_arg, 4);
}

TEST(MenuString, ItemsWithoutAValueAreNumberedByPosition) {
  gl_menu m;
  ASSERT_EQ(gl_parse_menu("  first|second %x40|third", &m), 0);
  EXPECT_EQ(m.has_title, 0);
  expect_items(m, {{"first", 1}, {"second ", 40}, {"third", 3}});
}

TEST(MenuString, EmptySegmentsMakeNoItems) {
  gl_menu m;
  ASSERT_EQ(gl_parse_menu("", &m), 0);
  EXPECT_EQ(m.n_items, 0);
  ASSERT_EQ(gl_parse_menu("a||  |b|", &m), 0);
  expect_items(m, {{"a", 1}, {"b", 2}});
  ASSERT_EQ(gl_parse_menu(nullptr, &m), 0);
  EXPECT_EQ(m.n_items, 0);
}

TEST(MenuString, TooManyItemsIsRefusedAndLongLabelsAreCut) {
  std::string many;
  for (int i = 0; i <= GL_MENU_ITEMS; i++) many += "x|";
  gl_menu m;
  EXPECT_EQ(gl_parse_menu(many.c_str(), &m), -1);
  std::string long_label(300, 'L');
  ASSERT_EQ(gl_parse_menu((long_label + " %x2").c_str(), &m), 0);
  EXPECT_EQ(strlen(m.items[0].label), (size_t)GL_MENU_LABEL - 1);
  EXPECT_EQ(m.items[0].value, 2);
}

// Records the calls of the menu functions.
std::vector<std::pair<char, int>> menu_calls;
int item_fn(int v) { menu_calls.push_back({'f', v}); return 100 + v; }
int menu_fn(int v) { menu_calls.push_back({'F', v}); return 200 + v; }
int other_fn(int v) { menu_calls.push_back({'o', v}); return 300 + v; }

TEST(MenuChoice, ASubmenuItemReachesTheSubmenusMenuFunction) {
  gl_reset_menus();
  menu_calls.clear();
  long sub = defpup("Position %t %F|x-y %x12|z %x13|rotx %x14|roty %x15 |rotz %x16", menu_fn);
  long top = defpup("Main Menu %t|Position Menu %m|Quit %f", sub, other_fn);
  ASSERT_GT(sub, 0);
  ASSERT_GT(top, 0);
  gl_menu *s = gl_find_menu(sub), *t = gl_find_menu(top);
  ASSERT_NE(s, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->items[0].submenu, sub);
  EXPECT_EQ(gl_menu_choose(s, 3), 215);
  EXPECT_EQ(gl_menu_choose(t, 1), 302);  // "Quit" has no %x: its position, 2
  ASSERT_EQ(menu_calls.size(), 2u);
  EXPECT_EQ(menu_calls[0], std::make_pair('F', 15));
  EXPECT_EQ(menu_calls[1], std::make_pair('o', 2));
  gl_reset_menus();
}

TEST(MenuChoice, AnItemFunctionComesBeforeTheMenuFunction) {
  gl_reset_menus();
  menu_calls.clear();
  long id = defpup("T %t %F|a %f %x3|b %x4|c", menu_fn, item_fn);
  gl_menu *m = gl_find_menu(id);
  ASSERT_NE(m, nullptr);
  gl_menu_choose(m, 0);
  gl_menu_choose(m, 1);
  EXPECT_EQ(gl_menu_choose(m, 7), -1);  // no such item: nothing is called
  ASSERT_EQ(menu_calls.size(), 2u);
  EXPECT_EQ(menu_calls[0], std::make_pair('f', 3));
  EXPECT_EQ(menu_calls[1], std::make_pair('F', 4));
  gl_reset_menus();
}

TEST(MenuChoice, AnItemWithoutFunctionsReturnsItsValue) {
  gl_reset_menus();
  long id = defpup("a %x9|b");
  EXPECT_EQ(gl_menu_choose(gl_find_menu(id), 0), 9);
  EXPECT_EQ(gl_find_menu(id + 1), nullptr);
  EXPECT_EQ(gl_find_menu(0), nullptr);
  gl_reset_menus();
}

TEST(MenuChoice, DopupWithoutAWindowChoosesNothing) {
  gl_reset_menus();
  menu_calls.clear();
  long id = defpup("a %f", item_fn);
  EXPECT_EQ(dopup(id), -1);
  EXPECT_EQ(dopup(999), -1);
  EXPECT_TRUE(menu_calls.empty());
  gl_reset_menus();
}

// ---------------------------------------------------------------------------
// Frame pacing setting, and the window without a display
// ---------------------------------------------------------------------------
TEST(SwapInterval, ParsesSixtiethsWithOneAsTheDefault) {
  EXPECT_EQ(gl_swap_interval(nullptr), 1);
  EXPECT_EQ(gl_swap_interval(""), 1);
  EXPECT_EQ(gl_swap_interval("0"), 0);
  EXPECT_EQ(gl_swap_interval("4"), 4);
  EXPECT_EQ(gl_swap_interval("-3"), 1);
  EXPECT_EQ(gl_swap_interval("2x"), 1);
  EXPECT_EQ(gl_swap_interval("99999999999999999999"), 1);
  EXPECT_EQ(gl_swap_interval("100000"), 600);
}

TEST(WindowWithoutDisplay, WinopenPrintsOneLineNamingTheDisplayAndExitsWithOne) {
  EXPECT_EXIT(
      {
        setenv("DISPLAY", ":64999", 1);
        gl_close_display();
        prefposition(10, 600, 10, 800);
        winopen("Deformable Model Fitting");
      },
      ::testing::ExitedWithCode(1), "^winopen: cannot open the display on X display \":64999\"\n$");
}

TEST(WindowWithoutDisplay, GexitWithoutAWindowIsHarmlessAndDrawingIsIgnored) {
  use_no_display();
  gexit();
  gexit();
  color(3);
  EXPECT_EQ(getcolor(), 3);
  linewidth(2);
  bgnclosedline();
  const double v[3] = {0, 0, 0};
  v3d(v);
  endclosedline();
  clear();
  swapbuffers();
  long w = -1, h = -1;
  getsize(&w, &h);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 0);
  color(0);
}

}  // namespace
