// The scene drawing in the program's window on a real X server: colours of
// the layers read back from the frame's pixels where their world points
// project.
#include "xtest_gl_util.h"  // first: its gtest include must precede the X headers

#include <cmath>

#include "model_fixture.h"

namespace {

enum { BLACK = 0, RED = 1, GREEN = 2, YELLOW = 3, MAGENTA = 5, CYAN = 6, WHITE = 7 };

// Lines are 2 pixels wide and endpoints are rounded: a colour is looked for
// within this many pixels of where its world point projects.
const int kPixelSlack = 1;

class SceneDrawing : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    focal_length = 0.1;
    sgi_init(10, 600, 10, 800, 0);
  }
  static void TearDownTestSuite() { sgi_exit(); }

  void SetUp() override {
    namespace d = display;
    d::debug_flag = 0;
    d::draw_force_flag = 0;
    d::draw_surface_vector_flag = 0;
    d::draw_projected_mesh_flag = 0;
    d::draw_axis_flag = 0;
    d::draw_projection_ray_flag = 0;
    user_reset();
    zoom = 60;
  }

  // One frame as the run loop draws it, with h the active model.
  void draw_frame(hybroid *h) {
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
  void TearDown() override {
    if (image) XDestroyImage(image);
    image = nullptr;
  }

  // Window pixel (origin lower-left) where world point p appears.
  void project(vector p, int *x, int *y) {
    double clip[4], px, py;
    gl_transform_point(p.x, p.y, p.z, clip);
    ASSERT_TRUE(gl_clip_inside(clip));
    gl_clip_to_window(clip, &px, &py);
    *x = (int)std::lround(px);
    *y = (int)std::lround(py);
  }
  unsigned long pixel_at(int x, int y) { return XGetPixel(image, x, gl_win.height - 1 - y); }

  // Is colour index c found within kPixelSlack of the projection of p?
  ::testing::AssertionResult colour_near(vector p, int c) {
    int x = 0, y = 0;
    project(p, &x, &y);
    for (int dy = -kPixelSlack; dy <= kPixelSlack; dy++)
      for (int dx = -kPixelSlack; dx <= kPixelSlack; dx++)
        if (pixel_at(x + dx, y + dy) == gl_win.pixel[c]) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "colour " << c << " not found near pixel (" << x
                                         << ", " << y << ") of world point (" << p.x << ", "
                                         << p.y << ", " << p.z << ")";
  }
  int count_colour(int c, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y <= y1; y++)
      for (int x = x0; x <= x1; x++) n += pixel_at(x, y) == gl_win.pixel[c];
    return n;
  }

  // Text is antialiased: count pixels that are mostly yellow (TrueColor).
  int count_yellowish(int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y <= y1; y++)
      for (int x = x0; x <= x1; x++) {
        unsigned long p = pixel_at(x, y);
        int r = (p >> 16) & 255, g = (p >> 8) & 255, b = p & 255;
        n += r > 128 && g > 128 && b < 64;
      }
    return n;
  }

  XImage *image = nullptr;
};

// A sphere of radius 2 in front of the camera at the origin.
testmodel::Model sphere_model(double focal) {
  testmodel::Shape shape;
  shape.sc = 2.0;
  testmodel::Model m = testmodel::make_model(7, 8, shape);
  m->focal_length = focal;
  m->x_dim = 256;
  m->x_scale = 0.05;
  m->translation = {0.0, 0.0, -20.0};
  m->perspective_flag = 1;
  testmodel::refresh_model(m.get());
  compute_world_positions(m.get());
  compute_world_projected_positions(m.get());
  return m;
}

TEST_F(SceneDrawing, TheWindowHasTheProgramsTitleAndSize) {
  char *name = nullptr;
  ASSERT_TRUE(XFetchName(gl_conn.dpy, gl_win.win, &name));
  EXPECT_STREQ(name, "Deformable Model Fitting");
  XFree(name);
  long w = 0, h = 0;
  getsize(&w, &h);
  EXPECT_EQ(w, 591);
  EXPECT_EQ(h, 791);
}

TEST_F(SceneDrawing, FocalPlaneCornersAndRaysAreMagentaWhereTheyProject) {
  testmodel::Model m = sphere_model(5.0);
  display::draw_projection_ray_flag = 1;
  draw_frame(m.get());
  const double half = 6.4;  // 256 pixels of 0.05 units, halved
  EXPECT_TRUE(colour_near({-half, 0.0, -5.0}, MAGENTA));       // left edge
  EXPECT_TRUE(colour_near({half, 0.0, -5.0}, MAGENTA));        // right edge
  EXPECT_TRUE(colour_near({0.0, half, -5.0}, MAGENTA));        // top edge
  EXPECT_TRUE(colour_near({0.0, -half, -5.0}, MAGENTA));       // bottom edge
  EXPECT_TRUE(colour_near({half / 2, half / 2, -2.5}, MAGENTA));  // a ray, halfway
  EXPECT_FALSE(colour_near({half / 2, 0.0, -5.0}, MAGENTA));   // inside the plane: empty
}

TEST_F(SceneDrawing, CameraAxesAreRedGreenAndBlue) {
  testmodel::Model m = sphere_model(5.0);
  display::draw_axis_flag = 1;
  draw_frame(m.get());
  EXPECT_TRUE(colour_near({1.5, 0.0, 0.0}, RED));
  EXPECT_TRUE(colour_near({0.0, 1.5, 0.0}, GREEN));
}

TEST_F(SceneDrawing, DataCubesAreGreenAtTheirWorldPositions) {
  testmodel::Model m = sphere_model(0.1);
  testmodel::add_face_points(m.get(), 0, {{3.0, 2.0, -0.1}, {-4.0, -1.0, -0.1}});
  compute_data_position_wrt_world(m.get());
  draw_frame(m.get());
  EXPECT_TRUE(colour_near({3.0, 2.0, -0.1}, GREEN));
  EXPECT_TRUE(colour_near({-4.0, -1.0, -0.1}, GREEN));
  EXPECT_FALSE(colour_near({0.0, 5.0, -0.1}, GREEN));
}

TEST_F(SceneDrawing, TheActiveMeshIsWhiteAtItsNodes) {
  testmodel::Model m = sphere_model(5.0);
  draw_frame(m.get());
  EXPECT_TRUE(colour_near(testmodel::grid(m.get(), 3, 0).wposit, WHITE));
  EXPECT_TRUE(colour_near(testmodel::grid(m.get(), 3, 4).wposit, WHITE));
}

TEST_F(SceneDrawing, AStereoPartnerAddsASecondYellowProjectedMesh) {
  testmodel::Model left = sphere_model(5.0);
  testmodel::Model right = sphere_model(5.0);
  left->camera_translation = {-4.0, 0.0, 0.0};
  right->camera_translation = {4.0, 0.0, 0.0};
  compute_world_positions(left.get());
  compute_world_projected_positions(left.get());
  display::draw_projected_mesh_flag = 1;

  draw_frame(left.get());
  const node &n = testmodel::grid(left.get(), 3, 2);
  EXPECT_TRUE(colour_near(n.proj_wposit, YELLOW));
  int alone = count_colour(YELLOW, 0, 0, gl_win.width - 1, gl_win.height - 1);

  left->h_neigh = right.get();
  draw_frame(left.get());
  EXPECT_TRUE(colour_near(n.proj_wposit, YELLOW));
  EXPECT_TRUE(colour_near(testmodel::grid(left.get(), 3, 2).proj_wrposit, YELLOW));
  int paired = count_colour(YELLOW, 0, 0, gl_win.width - 1, gl_win.height - 1);
  EXPECT_GT(paired, alone * 3 / 2);
}

TEST_F(SceneDrawing, ThePanelIsYellowTextAtTheTopLeft) {
  testmodel::Model m = sphere_model(5.0);
  draw_frame(m.get());
  int top = gl_win.height - 1;
  EXPECT_EQ(count_yellowish(0, top - 13 * 31, 200, top), 0);
  display::debug_flag = 1;
  draw_frame(m.get());
  EXPECT_GT(count_yellowish(0, top - 13 * 31, 200, top), 500);
  EXPECT_EQ(count_yellowish(0, top - 13 * 31, 3, top), 0);  // text starts at x = 5
}

TEST_F(SceneDrawing, DisplayKeysFlipTheirSwitchesOncePerPress) {
  gl_test_reset();
  display::draw_force_flag = 2;
  gl_test_set_button(DEV_F, 1);
  toggle_display_attributes();
  EXPECT_EQ(display::draw_force_flag, 0);
  toggle_display_attributes();  // still held
  EXPECT_EQ(display::draw_force_flag, 0);
  gl_test_set_button(DEV_F, 0);
  gl_test_set_button(DEV_F, 1);
  gl_test_set_button(DEV_G, 1);
  toggle_display_attributes();
  EXPECT_EQ(display::draw_force_flag, 1);
  EXPECT_EQ(display::draw_surface_vector_flag, 1);
  gl_test_reset();
}

}  // namespace
