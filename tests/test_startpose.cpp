// Starting pose from the data (fitting/startpose.cpp): a model made from the
// contours of a known pose, initialised as the run loop initialises it, has
// its axis (and a box all three axes) within a few degrees of the truth after
// init_pose_from_data, whatever the tilt, the turn in the image and the
// projection, and the taper and bend its rims show.
#include <algorithm>
#include <cmath>
#include <memory>
#include <string>

#include "synth.h"
#include "test_util.h"
#include "trace.h"

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

// A dump file read and initialised as the run loop does it with the bundled
// parameter files.
Model initialised_model(const std::string &path, int perspective, double focal_length) {
  testing::internal::CaptureStderr();  // the readers echo what they read
  read_primitive_hybroid_parameter(testutil::sample_path("hyb").c_str());
  read_primitive_dof_mapping(testutil::sample_path("forcemap").c_str());
  Model h(hybroid_alloc());
  h->x_scale = h->y_scale = kPixel;
  h->x_center = h->y_center = 128.0;
  h->x_dim = h->y_dim = 256;
  h->focal_length = focal_length;
  h->perspective_flag = perspective;
  h->ftol = 0.001;
  h->dt = 1.0;
  read_ascii_xy_data_dump(path.c_str(), h.get(), 1.0);
  set_camera_frame(h.get());
  init_hybroid(h.get());
  testing::internal::GetCapturedStderr();
  return h;
}

// The scene's dump file, read and initialised; truth is the translation a
// perfect fit reports.
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
  return initialised_model(path, s.perspective_flag, s.focal_length);
}

// Angle between column c of two rotations, degrees.
double column_angle(const double A[3][3], const double B[3][3], int c) {
  double d = A[0][c] * B[0][c] + A[1][c] * B[1][c] + A[2][c] * B[2][c];
  return acos(d > 1 ? 1 : d < -1 ? -1 : d) / kDegree;
}

// The initialised model of the case's scene (*s), with pixel noise of the
// given deviation, before the start.
Model case_model(const PoseCase &c, const testutil::ScratchDir &dir, synth_scene *s,
                 vector *centre, double noise = 0.0) {
  init_synth_scene(s);
  const char *argv[] = {"hybsynth", c.rotation, c.rotation + 3, "-o", "x"};
  std::string opt(c.rotation, 2), val(c.rotation + 3);
  argv[1] = opt.c_str();
  argv[2] = val.c_str();
  char err[SYNTH_ERROR_SIZE];
  EXPECT_EQ(0, parse_synth_command_line(5, (char **)argv, s, err)) << err;
  s->label = c.label;
  s->shape = c.shape;
  s->noise = noise;
  s->translation = {0.8, -0.4, -0.1};
  if (c.perspective) {
    s->perspective_flag = 1;
    s->focal_length = 10.0;
    s->translation = {0.8, -0.4, -20.0};
  }
  return initialised_model(*s, dir, centre);
}

class StartPose : public ::testing::TestWithParam<PoseCase> {};

}  // namespace

TEST_P(StartPose, FindsTheTrueAxisFromTheData) {
  const PoseCase &c = GetParam();
  synth_scene s;
  testutil::ScratchDir dir;
  vector centre;
  Model h = case_model(c, dir, &s, &centre);
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
  // The height the rims (or, near the axis, the occluding contours) show,
  // for round models of the model's own squareness seen off their axis.
  const double kHeight = 0.05;  // relative; the 15 x 16 mesh's outline is coarse
  bool height_seen = fabs(s.rotation[2][2]) < cos(10 * kDegree);
  if (c.label != 1 && c.shape.e1 == 1.0 && !c.perspective && height_seen) {
    EXPECT_NEAR(1.0, h->sc * h->a3 / (c.shape.sc * c.shape.a3), kHeight);
  }
  // Tapers and bends the rims show: the bend as bend1 times the camera-frame
  // direction of its plane (cos bend3, -sin bend3, 0), which the rotation
  // about the axis and bend3 share.
  const double kShape = 0.03;
  EXPECT_NEAR(c.shape.tapx, h->tapx, kShape);
  for (int r = 0; r < 3; r++) {
    double truth = c.shape.bend1 * (s.rotation[r][0] * cos(c.shape.bend3) -
                                    s.rotation[r][1] * sin(c.shape.bend3));
    double fitted = h->bend1 * (h->rotation[r][0] * cos(h->bend3) -
                                h->rotation[r][1] * sin(h->bend3));
    EXPECT_NEAR(truth, fitted, kShape) << "bend, row " << r;
  }
  // The occluding contours pull only on nodes whose normals lie across the
  // line of sight (a cosine of 0.14 at most): a column of them is there.
  if (c.label != 1 && c.label != 10 && !c.perspective) {
    unrotate_normal(h.get());
    double least = 1.0;
    for (int j = 0; j < h->vsize; j++)
      least = std::min(least, fabs(h->nodes[h->usize / 2 * h->vsize + j].rnormal.z));
    EXPECT_LE(least, 0.14);
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
        PoseCase{"round_tilt20", 5, {2, 0.8, 0.8, 1.5, 1, 1, 0, 0, 0, 0}, "-R -20,0,75", 0},
        PoseCase{"round_tilt45_turned", 5, {2, 0.9, 0.9, 1.5, 1, 1, 0, 0, 0, 0}, "-R -45,0,120", 0},
        PoseCase{"round_tilt60_turned", 5, {2, 0.9, 0.9, 1.5, 1, 1, 0, 0, 0, 0}, "-R -60,0,20", 0},
        PoseCase{"round_side_on", 5, {2, 0.8, 0.8, 1.5, 1, 1, 0, 0, 0, 0}, "-R -90,0,-35", 0},
        PoseCase{"round_from_below", 5, {2, 0.8, 0.8, 1.5, 1, 1, 0, 0, 0, 0}, "-R -120,0,50", 0},
        PoseCase{"cylinder_tilt60_persp", 5, {2, 0.9, 0.9, 1.5, 0.3, 1, 0, 0, 0, 0}, "-R -60,0,200", 1},
        PoseCase{"cone_tilt45", 6, {2, 1, 1, 1.5, 1, 1, 0.4, 0.4, 0, 0}, "-R -45,0,-60", 0},
        PoseCase{"bent_tilt45", 10, {2, 0.8, 0.8, 1.6, 1, 1, 0, 0, 0.2, 0}, "-R -45,0,30", 0},
        PoseCase{"bent_side_on_persp", 10, {2, 0.7, 0.7, 1.8, 1, 1, 0, 0, 0.3, 0}, "-R -90,0,-20", 1},
        PoseCase{"box_start", 1, {2, 0.8, 1, 0.7, 0.5, 0.5, 0, 0, 0, 0}, "-A 1,-1,0,40.107", 0},
        PoseCase{"box_steep_turned", 1, {2, 1, 1.2, 0.8, 0.3, 0.3, 0, 0, 0, 0}, "-A 1,-1.5,0.4,70", 0},
        PoseCase{"box_flat_persp", 1, {2, 1, 1.2, 0.8, 0.3, 0.3, 0, 0, 0, 0}, "-A 1,-0.6,0.2,25", 1}),
    [](const ::testing::TestParamInfo<PoseCase> &info) { return std::string(info.param.name); });

// Data no pose can be read from (a rim of one repeated point, rims on one
// straight line, box edges of coincident points) leave a finite model.
TEST(StartPose, DegenerateDataLeaveAFiniteModel) {
  const char *dumps[] = {
      "1 5 3\n10\n" "100 100 100 100 100 100 100 100 100 100\n"
      "120 120 120 120 120 120 120 120 120 120\n1\n0 9\n-1\n-1\n0 0 -1 -1\n",
      "1 10 3\n-1\n12\n" "100 100 100 100 100 100 100 100 100 100 100 100\n"
      "100 101 102 103 104 105 120 121 122 123 124 125\n4\n0 5\n-1\n6 11\n-1\n-1\n"
      "1 0 -1 -1\n1 1 -1 -1\n1 2 -1 -1\n1 3 -1 -1\n",
      "1 1 5\n8\n100 100 100 100 100 100 100 100\n120 120 120 120 120 120 120 120\n4\n"
      "0 1\n2 3\n4 5\n6 7\n-1\n-1\n-1\n-1\n0 0 -1 -1\n0 1 -1 -1\n0 2 -1 -1\n0 3 -1 -1\n"};
  testutil::ScratchDir dir;
  for (const char *text : dumps)
    for (int perspective = 0; perspective < 2; perspective++) {
      testutil::write_file(dir.file("odd.dump"), text);
      Model h = initialised_model(dir.file("odd.dump"), perspective, perspective ? 10.0 : 0.1);
      init_pose_from_data(h.get());
      const double values[] = {h->a1, h->a2, h->a3, h->tapx, h->bend1, h->translation.x,
                               h->translation.y, h->orientation.w, h->rotation[0][0],
                               h->rotation[2][2]};
      for (double v : values) EXPECT_TRUE(std::isfinite(v)) << text;
      for (int i = 0; i < h->numnodes; i++) ASSERT_TRUE(std::isfinite(h->nodes[i].posit.x)) << text;
    }
}

// A schedule that fits the squareness gets a start that reads it, and the
// sizes that go with it (the parameter file starts at e1 = e2 = 1); without
// such a schedule the start leaves the squareness alone.  A tapered or bent
// model is measured with the true normals its schedule fits e1 by.
TEST(StartPose, ReadsTheSquarenessOnlyWhenAStageFitsIt) {
  const PoseCase cases[] = {
      {"square_box", 1, {2, 1, 1.2, 0.8, 0.3, 0.3, 0, 0, 0, 0}, "-A 1,-1,0,60", 0},
      {"square_box_persp", 1, {2, 1, 1.2, 0.8, 0.3, 0.3, 0, 0, 0, 0}, "-A 1,-1,0,60", 1},
      {"cylinder", 5, {2, 0.9, 0.9, 1.5, 0.3, 1, 0, 0, 0, 0}, "-R -60,0,120", 0},
      {"pinched", 5, {2, 1, 1, 1.4, 1.5, 1, 0, 0, 0, 0}, "-R -45,0,70", 0},
      {"squared_cone", 6, {2, 1, 1, 1.5, 0.5, 1, 0.4, 0.4, 0, 0}, "-R -60,0,150", 0},
      {"squared_bent", 10, {2, 0.8, 0.8, 1.6, 0.4, 1, 0, 0, 0.25, 0}, "-R -60,0,90", 0}};
  testutil::ScratchDir dir;
  std::string file = dir.file("schedule");
  testutil::write_file(file, "label 1\ntrans start e1 e2\nlabel 5\ntrans start e1\n"
                             "label 6\ntrans start e1 exact\nlabel 10\ntrans start e1 exact\n");
  char err[SCHEDULE_ERROR_SIZE] = "";
  ASSERT_EQ(0, load_schedule_file(file.c_str(), err)) << err;
  for (const PoseCase &c : cases)
    for (int fitted = 0; fitted < 2; fitted++) {
      schedule_file_used = fitted ? file.c_str() : nullptr;
      synth_scene s;
      vector centre;
      Model h = case_model(c, dir, &s, &centre);
      double e1 = h->e1, e2 = h->e2;
      init_pose_from_data(h.get());
      if (!fitted) {
        EXPECT_EQ(e1, h->e1) << c.name;
        EXPECT_EQ(e2, h->e2) << c.name;
        continue;
      }
      EXPECT_NEAR(c.shape.e1, h->e1, 0.1) << c.name;
      EXPECT_NEAR(c.shape.e2, h->e2, 0.1) << c.name;
      // image-plane size: in perspective over the depth of the centre
      double depth = c.perspective ? h->translation.z / centre.z : 1.0;
      EXPECT_NEAR(1.0, h->sc * h->a1 / depth / (c.shape.sc * c.shape.a1), 0.04) << c.name;
    }
  schedule_file_used = nullptr;
}

// Outline curves traced off a rounded box's edges (its silhouette; here each
// mirrored, which tilts the plain start by degrees) leave inner's start true.
TEST(StartPose, InnerEdgesSetABoxRotationWhateverItsOutline) {
  synth_scene s;
  testutil::ScratchDir dir;
  vector centre;
  Model h = case_model({"box", 1, {2, 1, 1.2, 0.8, 0.3, 0.3, 0, 0, 0, 0}, "-A 1,-1,0,20", 0}, dir,
                       &s, &centre);
  for (Face *f = h->face; f < h->face + h->n_face; f++)
    for (int k = 0; k < f->n_curve; k++)
      for (int i = f->begin[k]; f->outline[k] && i >= 0 && i <= f->end[k]; i++)
        f->points[i].position.y = 2 * f->points[f->begin[k]].position.y - f->points[i].position.y;
  init_pose_from_data(h.get(), true);
  for (int c = 0; c < 3; c++) EXPECT_LT(column_angle(s.rotation, h->rotation, c), kAxisDegrees);
}

// Under a pixel of noise a short arc of a rim fits an ellipse of almost any
// tilt, and a rim seen edge on leans either way out of the image: the bend
// is still read the right way, from the better-seen rim and the occluding
// contours, and for rims seen edge on in the image plane they lie in
// (axis and bending plane within the given degrees of the truth).
TEST(StartPose, ReadsTheBendUnderNoise) {
  struct NoisyCase { PoseCase pose; double axis, direction; } cases[] = {
      {{"bent_persp", 10, {2, 0.8, 0.8, 1.6, 1, 1, 0, 0, 0.2, 0}, "-R -45,0,-30", 1}, 6.0, 10.0},
      {{"bent_side_on", 10, {2, 0.7, 0.7, 1.8, 1, 1, 0, 0, 0.3, 0}, "-R -90,0,-20", 0}, 3.0, 3.0}};
  testutil::ScratchDir dir;
  for (const NoisyCase &n : cases) {
    const PoseCase &c = n.pose;
    synth_scene s;
    vector centre;
    Model h = case_model(c, dir, &s, &centre, 1.0);
    init_pose_from_data(h.get());
    EXPECT_LT(column_angle(s.rotation, h->rotation, 2), n.axis) << c.name;
    // the directions of the bending plane (cos bend3, -sin bend3, 0)
    double cosine = 0.0;
    for (int r = 0; r < 3; r++)
      cosine += (s.rotation[r][0] * cos(c.shape.bend3) - s.rotation[r][1] * sin(c.shape.bend3)) *
                (h->rotation[r][0] * cos(h->bend3) - h->rotation[r][1] * sin(h->bend3));
    EXPECT_LT(acos(std::min(1.0, cosine)) / kDegree, n.direction) << c.name;
  }
}

// The model traced from the label image (size x size pixels) of view `view`
// of hybsynth's scene args, read and initialised; truth gets hybsynth's own
// contours of that view.
Model traced_model(const std::vector<const char *> &args, int view, int size,
                   const testutil::ScratchDir &dir, synth_view *truth) {
  synth_scene s;
  init_synth_scene(&s);
  char err[SYNTH_ERROR_SIZE] = "";
  EXPECT_EQ(0, parse_synth_command_line((int)args.size(), (char **)args.data(), &s, err)) << err;
  synth_view traced;
  std::vector<unsigned char> bytes((size_t)size * size);
  EXPECT_TRUE(make_synth_view(&s, view, truth, err) &&
              make_synth_label_image(&s, view, size, bytes.data(), err)) << err;
  label_image img = {size, size, std::vector<uint32_t>(bytes.begin(), bytes.end())};
  trace_options o;
  init_trace_options(&o);
  o.label = s.label;
  trace_report r;
  EXPECT_EQ(1, trace_label_image(&img, &o, &traced, &r, err)) << err;
  FILE *fp = fopen(dir.file("traced.dump").c_str(), "w");
  write_synth_contours(fp, &traced);
  fclose(fp);
  free_synth_view(&traced);
  return initialised_model(dir.file("traced.dump"), s.perspective_flag, s.focal_length);
}

// Two short rim arcs traced from pixels (the right view of a stereo pair
// seen 60 degrees off its axis) fit a wide circle seen face on better than
// any tilted pair; each arc alone gives the tilt, and the start keeps the
// model closer to the data: 6 degrees off, which the fit mends (without it,
// a circle 3 times too wide seen face on, 71 degrees off).
TEST(StartPose, TwoShortTracedRimsKeepTheTiltEachGives) {
  testutil::ScratchDir dir;
  synth_view truth;
  Model h = traced_model({"hybsynth", "-l", "5", "-S", "2,0.9,0.9,1.5,1,1", "-R", "-60,0,40",
                          "-s", "-p", "-f", "10", "-v", "0.36", "-T", "0.3,0.5,-20", "-o", "x",
                          "-O", "y"},
                         1, 256, dir, &truth);
  init_pose_from_data(h.get());
  EXPECT_LT(column_angle(truth.fit_rotation, h->rotation, 2), 10.0);
  free_synth_view(&truth);
}

// A squared bent model, traced: at the squareness the start begins with, a
// bend a third stronger in another direction lies closer to the outline;
// with each bend's own squareness the rims' bend does, and the start keeps
// it (0.34 for 0.25 without).
TEST(StartPose, WeighsAnotherBendWithItsOwnSquareness) {
  testutil::ScratchDir dir;
  std::string file = dir.file("schedule");
  testutil::write_file(file, "label 10\ntrans start e1 exact\n");
  char err[SCHEDULE_ERROR_SIZE] = "";
  ASSERT_EQ(0, load_schedule_file(file.c_str(), err)) << err;
  schedule_file_used = file.c_str();
  synth_view truth;
  Model h = traced_model({"hybsynth", "-l", "10", "-S", "2,0.8,0.8,1.6,0.4,1,0,0,0.25,0", "-R",
                          "-70,0,90", "-T", "0,0,-0.1", "-m", "23,24", "-o", "x"},
                         0, 384, dir, &truth);
  init_pose_from_data(h.get());
  EXPECT_NEAR(0.25, h->bend1, 0.05);
  schedule_file_used = nullptr;
  free_synth_view(&truth);
}
