// The interactive front end without a window: queued events, zoom keys,
// drags and parameter edits, driven through the input layer's test hooks.
#include <gtest/gtest.h>

#include <cmath>

#include "gl.h"
#include "model_fixture.h"
#include "test_util.h"

namespace {

// Every key the front end polls, set up so that a live keyboard (when the
// tests run on a desktop) cannot leak into them.
const Device polled_keys[] = {DEV_O, DEV_I, DEV_X, DEV_Y, DEV_Z, DEV_SPACE};

// Rounding of a quantity edited in steps of 0.01 over a few hundred pixels.
const double kEditTolerance = 1e-9;

class FrontEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    gl_test_reset();
    for (Device d : polled_keys) gl_test_set_button(d, 0);
    pointer(0, 0);
    user_reset();
    zoom = 60;
    active_parameter = 0;
    release_buttons();
    model = testmodel::make_model(3, 8);
    model->dt = 0.5;
  }
  void TearDown() override {
    release_buttons();
    gl_test_reset();
  }
  // Runs one pass of the front end for the model.
  int pass(hybroid *h) { return user(h); }
  int pass() { return user(model.get()); }
  void pointer(long x, long y) {
    gl_test_set_valuator(DEV_MOUSEX, x);
    gl_test_set_valuator(DEV_MOUSEY, y);
  }
  // A button press or release as the queue delivers it, read by one pass.
  void button_event(Device button, short value) {
    gl_test_queue(button, value);
    pass();
  }
  void release_buttons() {
    gl_test_queue(DEV_LEFTMOUSE, 0);
    user(nullptr);
    gl_test_queue(DEV_MIDDLEMOUSE, 0);
    user(nullptr);
  }
  // A left-button drag from (x0, y0) to (x1, y1), one pass per end.
  std::string left_drag(long x0, long y0, long x1, long y1) {
    pointer(x0, y0);
    testing::internal::CaptureStdout();
    button_event(DEV_LEFTMOUSE, 1);
    pointer(x1, y1);
    pass();
    return testing::internal::GetCapturedStdout();
  }
  testmodel::Model model;
};

TEST_F(FrontEnd, EscapeQuitsAtOnceWithoutPollingTheZoomKeys) {
  gl_test_set_button(DEV_O, 1);
  gl_test_queue(DEV_ESC, 1);
  EXPECT_EQ(pass(), 1);
  EXPECT_EQ(return_val, 1);
  EXPECT_EQ(zoom, 60);
  gl_test_set_button(DEV_O, 0);
  EXPECT_EQ(pass(), 0);  // the next pass starts afresh
}

TEST_F(FrontEnd, ZoomKeyONarrowsTheViewButNotBelowZero) {
  zoom = 1;
  gl_test_set_button(DEV_O, 1);
  testing::internal::CaptureStderr();
  pass();
  pass();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(zoom, 0);
  EXPECT_EQ(err, "zoom = 0.000000  \nzoom = 0.000000  \n");
}

TEST_F(FrontEnd, ZoomKeysIAndOTogetherLeaveTheZoomAndPrintTwice) {
  gl_test_set_button(DEV_O, 1);
  gl_test_set_button(DEV_I, 1);
  testing::internal::CaptureStderr();
  pass();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(zoom, 60);
  EXPECT_EQ(err, "zoom = 59.000000  \nzoom = 60.000000  \n");
}

TEST_F(FrontEnd, ScaleEditFollowsTheVerticalDragAndIsPrintedOnStdout) {
  modify_superquadric_parameters(1);
  double sc = model->sc;
  std::string out = left_drag(50, 100, 80, 200);
  EXPECT_NEAR(model->sc, sc + 1.0, kEditTolerance);
  // The pass that reads the press already applies the (still zero) drag.
  EXPECT_EQ(out, "sc = 1.000000\nsc = 2.000000\n");
  // Geometry follows the edit: the north pole sits at sc * a3.
  EXPECT_NEAR(testmodel::north_pole(model.get()).refer.z, 2.0, kEditTolerance);
}

TEST_F(FrontEnd, HeldEditReprintsTheUnchangedValueEveryPass) {
  modify_superquadric_parameters(2);
  left_drag(0, 0, 0, 0);
  testing::internal::CaptureStdout();
  pass();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "a1 = 1.000000\n");
}

TEST_F(FrontEnd, ShapeEditsAreClampedToTheirBounds) {
  modify_superquadric_parameters(1);
  left_drag(0, 0, 0, 5000);
  EXPECT_EQ(model->sc, 10.0);
  pointer(0, -5000);
  pass();
  EXPECT_EQ(model->sc, 0.01);
  release_buttons();
  modify_superquadric_parameters(11);
  left_drag(0, 0, 0, 1000);
  EXPECT_EQ(model->bend3, 3.141592653589793);
}

TEST_F(FrontEnd, Bend1MovesTenTimesSlowerThanOtherParameters) {
  modify_superquadric_parameters(9);
  left_drag(0, 0, 0, 100);
  EXPECT_NEAR(model->bend1, 0.1, kEditTolerance);
}

TEST_F(FrontEnd, ResetEulerStepSetsOneEveryPassAndPrintsNothing) {
  modify_fitting_parameters(18);
  std::string out = left_drag(0, 0, 0, 40);
  EXPECT_EQ(model->dt, 1.0);
  EXPECT_EQ(out, "");
}

TEST_F(FrontEnd, TranslationEditMovesXWithHorizontalAndYWithVerticalMotion) {
  modify_position_parameters(12);
  left_drag(0, 0, 100, -50);
  EXPECT_NEAR(model->translation.x, 1.0, kEditTolerance);
  EXPECT_NEAR(model->translation.y, -0.5, kEditTolerance);
  EXPECT_NEAR(testmodel::north_pole(model.get()).posit.x, 1.0, kEditTolerance);
}

TEST_F(FrontEnd, RotationEditTurnsTheModelAndKeepsTheQuaternionUnit) {
  modify_position_parameters(16);
  left_drag(0, 0, 0, 157);
  const quaternion &q = model->orientation;
  EXPECT_NEAR(2 * std::atan2(q.v.z, q.w), 1.57, 1e-12);
  EXPECT_NEAR(q.w * q.w + q.v.x * q.v.x + q.v.y * q.v.y + q.v.z * q.v.z, 1.0, 1e-15);
  // The rotation matrix is the quaternion's: x turns towards y.
  EXPECT_NEAR(model->rotation[1][0], std::sin(1.57), 1e-12);
  EXPECT_NEAR(model->rotation[0][0], std::cos(1.57), 1e-12);
}

TEST_F(FrontEnd, LeftDragWithoutAnEditChangesTheViewDistanceDownToTen) {
  left_drag(0, 0, 30, 20);
  EXPECT_EQ(dist, 350.0);
  pointer(-1000, 20);
  pass();
  EXPECT_EQ(dist, 10.0);
}

TEST_F(FrontEnd, MiddlePressDisarmsTheEdit) {
  modify_superquadric_parameters(2);
  button_event(DEV_MIDDLEMOUSE, 1);
  button_event(DEV_MIDDLEMOUSE, 0);
  EXPECT_EQ(active_parameter, 0);
  left_drag(0, 0, 0, 100);
  EXPECT_EQ(model->a1, 1.0);
  EXPECT_EQ(dist, 400.0);
}

TEST_F(FrontEnd, LeftDragWithXAndZHeldMovesTheViewTranslation) {
  gl_test_set_button(DEV_X, 1);
  gl_test_set_button(DEV_Z, 1);
  left_drag(0, 0, 100, 200);
  EXPECT_FLOAT_EQ(X_Translation, 1.0f);
  EXPECT_FLOAT_EQ(Z_Translation, 2.0f);
  EXPECT_EQ(Y_Translation, 0.0f);
  EXPECT_EQ(dist, 300.0);
}

TEST_F(FrontEnd, MiddleDragTurnsTheViewAndWithTheSpaceBarOnlyTheTwist) {
  pointer(0, 0);
  button_event(DEV_MIDDLEMOUSE, 1);
  pointer(10, 20);
  pass();
  EXPECT_EQ(azim, -10);
  EXPECT_EQ(incl, 20);
  gl_test_set_button(DEV_SPACE, 1);
  pointer(15, 90);
  pass();
  EXPECT_EQ(twist, 5);
  EXPECT_EQ(azim, -10);
  EXPECT_EQ(incl, 20);
}

TEST_F(FrontEnd, ViewAnglesWrapAroundSixteenBits) {
  incl = 32760;
  pointer(0, 0);
  button_event(DEV_MIDDLEMOUSE, 1);
  pointer(0, 10);
  pass();
  EXPECT_EQ(incl, -32766);
}

TEST_F(FrontEnd, ResetViewpointRestoresTheViewButKeepsTheZoom) {
  dist = 42;
  azim = incl = twist = 7;
  X_Translation = 3;
  zoom = 12;
  user_reset();
  EXPECT_EQ(dist, 300.0);
  EXPECT_EQ(azim, 0);
  EXPECT_EQ(incl, 0);
  EXPECT_EQ(twist, 0);
  EXPECT_EQ(X_Translation, 0.0f);
  EXPECT_EQ(zoom, 12);
}

TEST_F(FrontEnd, AnEditWithoutAModelDoesNothing) {
  modify_superquadric_parameters(1);
  gl_test_queue(DEV_LEFTMOUSE, 1);
  EXPECT_EQ(user(nullptr), 0);
  pointer(0, 100);
  EXPECT_EQ(user(nullptr), 0);
}

TEST_F(FrontEnd, MenuChoicesArmTheMatchingEdit) {
  modify_superquadric_parameters(1);
  EXPECT_EQ(active_parameter, 1);
  modify_fitting_parameters(18);
  EXPECT_EQ(active_parameter, 18);
  return_val = 0;
  quit(0);
  EXPECT_EQ(return_val, 1);
}

}  // namespace
