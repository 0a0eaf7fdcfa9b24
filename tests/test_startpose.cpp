// Starting pose from the data (fitting/startpose.cpp): a model made from the
// contours of a known pose, initialised as the run loop initialises it, has
// its axis (and a box all three axes) within a few degrees of the truth after
// init_pose_from_data, whatever the tilt, the turn in the image and the
// projection.
#include <cmath>
#include <memory>
#include <string>

#include "test_util.h"

namespace {

const double kDegree = 0.017453292519943295;
const double kPixel = 0.05;
// The rims are fitted as ellipses of an orthographic view; a perspective
// view along the line of sight through the model bends them by a little
// more than a degree at the depths used here.
const double kAxisDegrees = 3.0;

struct ModelDeleter {
  void operator()(hybroid *h) const { free_hybroid(h); }
};
using Model = std::unique_ptr<hybroid, ModelDeleter>;

struct PoseCase {
  const char *name;
  int label;
  synth_shape shape;
  const char *rotation;  // hybsynth's -R roll,pitch,yaw or -A x,y,z,angle
  int perspective;
};
void PrintTo(const PoseCase &c, std::ostream *os) { *os << c.name; }

// The scene's dump file, read and initialised as the run loop does it with
// the bundled parameter files; truth is the translation a perfect fit reports.
Model initialised_model(const synth_scene &s, const testutil::ScratchDir &dir, vector *truth) {
  synth_view v;
  char err[SYNTH_ERROR_SIZE] = "";
  EXPECT_TRUE(make_synth_view(&s, 0, &v, err)) << err;
  std::string path = dir.file("scene.dump");
  FILE *fp = fopen(path.c_str(), "w");
  write_synth_dump(fp, &s, 0, &v);
  fclose(fp);
  *truth = v.fit_translation;
  free_synth_view(&v);
  testing::internal::CaptureStderr();  // the readers echo what they read
  read_primitive_hybroid_parameter(testutil::sample_path("hyb").c_str());
  read_primitive_dof_mapping(testutil::sample_path("forcemap").c_str());
  Model h(hybroid_alloc());
  h->x_scale = h->y_scale = kPixel;
  h->x_center = h->y_center = 128.0;
  h->x_dim = h->y_dim = 256;
  h->focal_length = s.focal_length;
  h->perspective_flag = s.perspective_flag;
  h->ftol = 0.001;
  h->dt = 1.0;
  read_ascii_xy_data_dump(path.c_str(), h.get(), 1.0);
  set_camera_frame(h.get());
  init_hybroid(h.get());
  testing::internal::GetCapturedStderr();
  return h;
}

// Angle between column c of two rotations, degrees.
double column_angle(const double A[3][3], const double B[3][3], int c) {
  double d = A[0][c] * B[0][c] + A[1][c] * B[1][c] + A[2][c] * B[2][c];
  return acos(d > 1 ? 1 : d < -1 ? -1 : d) / kDegree;
}

class StartPose : public ::testing::TestWithParam<PoseCase> {};

}  // namespace

TEST_P(StartPose, FindsTheTrueAxisFromTheData) {
  const PoseCase &c = GetParam();
  synth_scene s;
  init_synth_scene(&s);
  const char *argv[] = {"hybsynth", c.rotation, c.rotation + 3, "-o", "x"};
  std::string opt(c.rotation, 2), val(c.rotation + 3);
  argv[1] = opt.c_str();
  argv[2] = val.c_str();
  char err[SYNTH_ERROR_SIZE];
  ASSERT_EQ(0, parse_synth_command_line(5, (char **)argv, &s, err)) << err;
  s.label = c.label;
  s.shape = c.shape;
  s.translation = {0.8, -0.4, -0.1};
  if (c.perspective) {
    s.perspective_flag = 1;
    s.focal_length = 10.0;
    s.translation = {0.8, -0.4, -20.0};
  }
  testutil::ScratchDir dir;
  vector centre;
  Model h = initialised_model(s, dir, &centre);
  init_pose_from_data(h.get());
  if (!c.perspective) {  // the model's centre is put where the data place it
    EXPECT_NEAR(centre.x, h->translation.x, kPixel);
    EXPECT_NEAR(centre.y, h->translation.y, kPixel);
  }
  EXPECT_LT(column_angle(s.rotation, h->rotation, 2), kAxisDegrees);
  if (c.label == 1) {
    EXPECT_LT(column_angle(s.rotation, h->rotation, 0), kAxisDegrees);
    EXPECT_LT(column_angle(s.rotation, h->rotation, 1), kAxisDegrees);
  }
  // The quaternion and the matrix describe one rotation.
  double fromq[3][3];
  rotation_from_quaternion(h->orientation, fromq);
  for (int r = 0; r < 3; r++)
    for (int k = 0; k < 3; k++) EXPECT_NEAR(fromq[r][k], h->rotation[r][k], 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Views, StartPose,
    ::testing::Values(
        PoseCase{"round_along_axis", 5, {2, 0.8, 0.8, 1.5, 1, 1, 0, 0, 0, 0}, "-R 0,0,0", 0},
        PoseCase{"round_tilt45_turned", 5, {2, 0.9, 0.9, 1.5, 1, 1, 0, 0, 0, 0}, "-R -45,0,120", 0},
        PoseCase{"round_tilt60_turned", 5, {2, 0.9, 0.9, 1.5, 1, 1, 0, 0, 0, 0}, "-R -60,0,20", 0},
        PoseCase{"round_side_on", 5, {2, 0.8, 0.8, 1.5, 1, 1, 0, 0, 0, 0}, "-R -90,0,-35", 0},
        PoseCase{"round_from_below", 5, {2, 0.8, 0.8, 1.5, 1, 1, 0, 0, 0, 0}, "-R -120,0,50", 0},
        PoseCase{"cylinder_tilt60_persp", 5, {2, 0.9, 0.9, 1.5, 0.3, 1, 0, 0, 0, 0}, "-R -60,0,200", 1},
        PoseCase{"cone_tilt45", 6, {2, 1, 1, 1.5, 1, 1, 0.4, 0.4, 0, 0}, "-R -45,0,-60", 0},
        PoseCase{"box_start", 1, {2, 0.8, 1, 0.7, 0.5, 0.5, 0, 0, 0, 0}, "-A 1,-1,0,40.107", 0},
        PoseCase{"box_steep_turned", 1, {2, 1, 1.2, 0.8, 0.3, 0.3, 0, 0, 0, 0}, "-A 1,-1.5,0.4,70", 0},
        PoseCase{"box_flat_persp", 1, {2, 1, 1.2, 0.8, 0.3, 0.3, 0, 0, 0, 0}, "-A 1,-0.6,0.2,25", 1}),
    [](const ::testing::TestParamInfo<PoseCase> &info) { return std::string(info.param.name); });
