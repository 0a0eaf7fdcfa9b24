// The force display on a real X server: each sampled data point's force is
// a line from the point toward its node, coloured by the degrees of freedom
// shown; colours are read back from the frame's pixels.
#include "xtest_gl_util.h"  // first: its gtest include must precede the X headers

#include <cmath>

#include "model_fixture.h"

namespace {

enum { RED = 1, YELLOW = 3, MAGENTA = 5, CYAN = 6, WHITE = 7 };

// Lines are 2 pixels wide and endpoints are rounded: a colour is looked for
// within this many pixels of where its world point projects.
const int kPixelSlack = 1;

// A data point at P = (4, 4, -0.1) whose stored force F = (0, 2, 0) makes the
// force line run from P down to (4, 2, -0.1); its middle is M.
const vector P = {4.0, 4.0, -0.1};
const vector M = {4.0, 3.0, -0.1};

class ForceDrawing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    focal_length = 0.1;
    sgi_init(10, 600, 10, 800, 0);
  }
  static void TearDownTestSuite() { sgi_exit(); }

  void SetUp() override {
    namespace d = display;
    d::debug_flag = 0;
    d::draw_force_flag = 1;
    d::draw_surface_vector_flag = 0;
    d::draw_projected_mesh_flag = 0;
    d::draw_axis_flag = 0;
    d::draw_projection_ray_flag = 0;
    user_reset();
    zoom = 60;
    model = testmodel::make_model(5, 8);
    h = model.get();
    h->focal_length = 0.1;
    h->translation = {0.0, 0.0, -20.0};
    testmodel::refresh_model(h);
    testmodel::add_face_points(h, 0, {P});
    compute_data_position_wrt_world(h);
    h->face[0].points[0].force = {0.0, 2.0, 0.0};
    h->force_map[0] = {DF_TRANS, 0, 0, 0, 4, 0, 7, 0};
    h->n_force = 1;
  }
  void TearDown() override {
    if (image) XDestroyImage(image);
    image = nullptr;
  }

  // One frame as the run loop draws it.
  void draw_frame() {
    user(h);
    sgi_clear();
    display_range_data_hybroid_2Ds(&h, 1);
    draw_fitting_hybroid(h);
    sgi_flush();
    XSync(gl_conn.dpy, False);
    if (image) XDestroyImage(image);
    image = XGetImage(gl_conn.dpy, gl_win.win, 0, 0, gl_win.width, gl_win.height, AllPlanes,
                      ZPixmap);
    ASSERT_NE(image, nullptr);
  }

  // Colour index c within kPixelSlack of the projection of world point p?
  bool colour_near(vector p, int c) {
    double clip[4], px, py;
    gl_transform_point(p.x, p.y, p.z, clip);
    if (!gl_clip_inside(clip)) return false;
    gl_clip_to_window(clip, &px, &py);
    int x = (int)std::lround(px), y = (int)std::lround(py);
    for (int dy = -kPixelSlack; dy <= kPixelSlack; dy++)
      for (int dx = -kPixelSlack; dx <= kPixelSlack; dx++)
        if (XGetPixel(image, x + dx, gl_win.height - 1 - (y + dy)) == gl_win.pixel[c])
          return true;
    return false;
  }

  testmodel::Model model;
  hybroid *h = nullptr;
  XImage *image = nullptr;
};

TEST_F(ForceDrawing, TranslationForcesAreMagentaFromThePointTowardItsNode) {
  h->df_mask = DF_TRANS;
  draw_frame();
  EXPECT_TRUE(colour_near(M, MAGENTA));
  EXPECT_FALSE(colour_near({4.0, 5.0, -0.1}, MAGENTA)) << "the line runs toward the node";
}

TEST_F(ForceDrawing, TheFirstShownBitChoosesTheColour) {
  h->force_map[0].df_mode = DF_A1 | DF_ROT;
  h->df_mask = DF_A1 | DF_ROT;
  draw_frame();
  EXPECT_TRUE(colour_near(M, CYAN)) << "rotation comes before a1";
  h->df_mask = DF_A1 | DF_A3;
  draw_frame();
  EXPECT_TRUE(colour_near(M, RED));
  h->df_mask = DF_BEND1;
  h->force_map[0].df_mode = DF_BEND1;
  draw_frame();
  EXPECT_TRUE(colour_near(M, YELLOW));
}

TEST_F(ForceDrawing, MapsOutsideTheMaskShowOnlyInWholeForceMode) {
  h->force_map[0].df_mode = DF_A3;
  h->df_mask = DF_A1;
  draw_frame();
  EXPECT_FALSE(colour_near(M, WHITE));
  h->df_mask = DF_A1 | DF_WHOLE_FORCE;
  draw_frame();
  EXPECT_TRUE(colour_near(M, WHITE));
}

TEST_F(ForceDrawing, MapsWithoutAPatchAreNotDrawn) {
  h->df_mask = DF_TRANS;
  h->force_map[0].u1 = -1;
  draw_frame();
  EXPECT_FALSE(colour_near(M, MAGENTA));
}

TEST_F(ForceDrawing, TheForceIsTurnedIntoTheWorldByTheCameraRotation) {
  // Camera turned a quarter about z: the camera-frame force (2, 0, 0)
  // becomes the world direction (0, 2, 0).  The point's world position is
  // given directly.
  double turn[3][3] = {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}};
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) h->camera_rotation[r][c] = turn[r][c];
  h->face[0].points[0].force = {2.0, 0.0, 0.0};
  h->face[0].points[0].wposition = P;
  h->df_mask = DF_TRANS;
  draw_frame();
  EXPECT_TRUE(colour_near(M, MAGENTA));
  EXPECT_FALSE(colour_near({3.0, 4.0, -0.1}, MAGENTA));
}

}  // namespace
