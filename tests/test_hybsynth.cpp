// Synthetic contour data (tools/synth.cpp and tools/hybsynth.cpp): files
// written by hybsynth's code read back through the program's own reader;
// their points lie on the true model's outline, on the rows of the fitting
// mesh and where the stereo cameras see the model; the fitting model set to
// the true values matches every point within a pixel; the bundled synthetic
// scenes are fitted to the end; and the tool refuses bad arguments.
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "bound.h"
#include "synth.h"
#include "test_util.h"

using testutil::ScratchDir;
using testutil::RunResult;

namespace {

const double kDegree = 0.017453292519943295;
const double kPixel = 0.05;  // camera units per pixel
// Points are written with six decimals of a pixel and lie on dense
// polylines whose chords sag by less than a thousandth of a pixel.
const double kOnOutline = 2e-3 * kPixel;
// A node of the fitting mesh against a polyline of points half a pixel
// apart: where a slanted ring's ellipse turns tightest (a radius of about
// 2 pixels) the chord between two points sags by 0.015 pixel.
const double kOnPolyline = 0.02 * kPixel;

struct ModelDeleter {
  void operator()(hybroid *h) const { free_hybroid(h); }
};
using Model = std::unique_ptr<hybroid, ModelDeleter>;

struct ViewDeleter {
  void operator()(synth_view *v) const {
    free_synth_view(v);
    delete v;
  }
};
using View = std::unique_ptr<synth_view, ViewDeleter>;

synth_scene scene_of(int label, const synth_shape &shape) {
  synth_scene s;
  init_synth_scene(&s);
  s.label = label;
  s.shape = shape;
  s.translation = {0.0, 0.0, -0.1};
  s.translation_given = 1;
  return s;
}

// Turns the scene about an axis, "x,y,z,degrees", as option -A does.
void set_axis_angle(synth_scene *s, const char *axis_angle) {
  const char *argv[] = {"hybsynth", "-A", axis_angle, "-o", "x"};
  char err[SYNTH_ERROR_SIZE];
  ASSERT_EQ(0, parse_synth_command_line(5, (char **)argv, s, err)) << err;
}

// The start orientation of a box: 0.7 radians about (1, -1, 0).
const char kBoxStart[] = "1,-1,0,40.10704565915762";

View make_view(const synth_scene &s, int view = 0) {
  View v(new synth_view);
  char err[SYNTH_ERROR_SIZE] = "";
  bool ok = make_synth_view(&s, view, v.get(), err);
  EXPECT_TRUE(ok) << err;
  return v;
}

// Writes the view to a file and reads it back with the image constants of
// the run loop, the scene's focal length and the given image rotation.
Model write_and_read(const synth_scene &s, const synth_view &v, const ScratchDir &dir,
                     double theta_deg, int view = 0) {
  std::string path = dir.file("view" + std::to_string(view) + ".dump");
  FILE *fp = fopen(path.c_str(), "w");
  write_synth_dump(fp, &s, view, &v);
  fclose(fp);
  Model h(hybroid_alloc());
  h->x_scale = h->y_scale = kPixel;
  h->x_center = h->y_center = 128.0;
  h->x_dim = h->y_dim = 256;
  h->focal_length = s.focal_length;
  theta = theta_deg * kDegree;
  read_ascii_xy_data_dump(path.c_str(), h.get(), 1.0);
  theta = 0.0;
  return h;
}

std::vector<vector> curve_points(const hybroid *h, int f, int c) {
  std::vector<vector> pts;
  const Face &face = h->face[f];
  for (int j = face.begin[c]; j <= face.end[c]; j++) pts.push_back(face.points[j].position);
  return pts;
}

double distance_to_polyline(vector p, const std::vector<vector> &line) {
  double best = 1e30;
  for (size_t i = 1; i < line.size(); i++) {
    double ax = line[i - 1].x, ay = line[i - 1].y;
    double dx = line[i].x - ax, dy = line[i].y - ay;
    double len2 = dx * dx + dy * dy;
    double t = len2 > 0 ? ((p.x - ax) * dx + (p.y - ay) * dy) / len2 : 0.0;
    t = t < 0 ? 0 : t > 1 ? 1 : t;
    best = std::min(best, std::hypot(p.x - ax - t * dx, p.y - ay - t * dy));
  }
  return best;
}

vector apply(const double R[3][3], vector v) {
  return {R[0][0] * v.x + R[0][1] * v.y + R[0][2] * v.z,
          R[1][0] * v.x + R[1][1] * v.y + R[1][2] * v.z,
          R[2][0] * v.x + R[2][1] * v.y + R[2][2] * v.z};
}

const synth_shape kSphere = {2.0, 1.0, 1.0, 1.0, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0};
const synth_shape kCylinder = {1.5, 1.0, 1.0, 1.6, 0.3, 1.0, 0.0, 0.0, 0.0, 0.0};
const synth_shape kBox = {1.5, 1.0, 1.3, 0.8, 0.2, 0.2, 0.0, 0.0, 0.0, 0.0};

}  // namespace

// ---------------------------------------------------------------------------
// Round trip through the program's reader
// ---------------------------------------------------------------------------

TEST(SynthDump, EveryLabelReadsBackSilentlyInItsFaceLayout) {
  struct Case {
    int label;
    synth_shape shape;
    double roll;
  } cases[] = {{1, kBox, 0.0}, {5, kCylinder, -70.0}, {6, kCylinder, -70.0}, {10, kCylinder, -70.0}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    synth_scene s = scene_of(c.label, c.shape);
    if (c.label == 1) {
      set_axis_angle(&s, kBoxStart);
    } else {
      mat_from_rpy(s.rotation, c.roll * kDegree, 0.0, 0.0);
    }
    View v = make_view(s);
    testing::internal::CaptureStderr();
    Model h = write_and_read(s, *v, dir, 0.0);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ(c.label, h->primitive_label);
    ASSERT_EQ(v->n_face, h->n_face);
    for (int f = 0; f < v->n_face; f++) {
      EXPECT_EQ(v->face[f].n_points, h->face[f].n_points) << "face " << f;
      if (v->face[f].n_points < 0) continue;
      ASSERT_EQ(v->face[f].n_curve, h->face[f].n_curve);
      for (int k = 0; k < h->face[f].n_curve; k++) {
        EXPECT_EQ(v->face[f].begin[k], h->face[f].begin[k]);
        EXPECT_EQ(v->face[f].end[k], h->face[f].end[k]);
      }
    }
    // The layouts the model initialisation knows: round objects seen from
    // above, the box from its start orientation.
    if (c.label == 1) {
      EXPECT_EQ(5, h->n_face);
      EXPECT_EQ(4, h->face[0].n_curve);
      EXPECT_EQ(4, h->face[1].n_curve);
      EXPECT_EQ(-1, h->face[2].n_points);
      EXPECT_EQ(-1, h->face[3].n_points);
      EXPECT_EQ(4, h->face[4].n_curve);
    } else {
      EXPECT_EQ(1, h->face[0].n_curve);
      EXPECT_EQ(4, h->face[1].n_curve);
      EXPECT_EQ(-1, h->face[2].n_points);
      EXPECT_EQ(1, h->face[1].n_neighbor);  // curve 2 meets the top
    }
  }
}

TEST(SynthDump, LongTruthLinesStillReadBack) {
  // Every value at nine significant digits, a stereo view and a turned
  // image: the comment lines stay within what the reader skips whole.
  ScratchDir dir;
  synth_scene s = scene_of(6, {1.23456789, 0.987654321, 0.987654321, 1.23456789, 0.987654321,
                               1.23456789, -0.123456789, -0.123456789, -0.123456789,
                               -0.123456789});
  mat_from_rpy(s.rotation, -65.4321 * kDegree, 1.23456789 * kDegree, -12.3456789 * kDegree);
  s.stereo_flag = 1;
  s.perspective_flag = 1;
  s.focal_length = 12.3456789;
  s.base_line = 123.456789;
  s.verge_angle = -0.123456789;
  s.elev_angle = -0.0123456789;
  s.theta_deg = -123.456789;
  s.noise = 0.123456789;
  s.translation = {-1.23456789, -1.23456789, -23.456789};
  View v = make_view(s, 1);
  testing::internal::CaptureStderr();
  Model h = write_and_read(s, *v, dir, s.theta_deg, 1);
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_EQ(6, h->primitive_label);
  EXPECT_EQ(v->face[1].n_points, h->face[1].n_points);
}

TEST(SynthDump, TheReadersImageRotationIsUndone) {
  ScratchDir dir;
  synth_scene s = scene_of(5, kCylinder);
  mat_from_rpy(s.rotation, -70 * kDegree, 0.0, 20 * kDegree);
  View upright = make_view(s);
  Model a = write_and_read(s, *upright, dir, 0.0, 0);
  s.theta_deg = 37.0;
  View turned = make_view(s);
  Model b = write_and_read(s, *turned, dir, 37.0, 1);
  ASSERT_EQ(a->face[1].n_points, b->face[1].n_points);
  for (int j = 0; j < a->face[1].n_points; j++)
    ASSERT_TRUE(testutil::near_vector(a->face[1].points[j].position,
                                      b->face[1].points[j].position, kOnOutline))
        << "point " << j;
  // The file itself holds the turned image.
  EXPECT_GT(std::fabs(turned->face[1].col[0] - upright->face[1].col[0]), 1.0);
}

// ---------------------------------------------------------------------------
// Contours on the true outline
// ---------------------------------------------------------------------------

TEST(SynthContours, OrthographicSphereOutlineIsACircleOfItsRadius) {
  ScratchDir dir;
  synth_scene s = scene_of(5, kSphere);
  s.translation = {0.3, -0.2, -0.1};
  mat_from_rpy(s.rotation, -60 * kDegree, 10 * kDegree, 0.0);
  s.spacing = 1.0;
  View v = make_view(s);
  Model h = write_and_read(s, *v, dir, 0.0);
  for (int c : {1, 3})
    for (vector p : curve_points(h.get(), 1, c))
      ASSERT_NEAR(2.0, std::hypot(p.x - 0.3, p.y + 0.2), kOnOutline) << "curve " << c;
}

// Seen along its axis, a sphere's label image is a disk of its radius (40
// pixels) with the cap above the +45 degree rim a disk of 40 cos 45 inside;
// the cap below is hidden.  Twice the size covers the same frame.
TEST(SynthLabelImage, SphereAlongItsAxisShowsTheDisksOfItsOutlineAndRim) {
  // A digital disk's area is within a quarter pixel per pixel of its rim of
  // pi r^2 (the true count differs by a few pixels).
  synth_scene s = scene_of(5, kSphere);
  char err[SYNTH_ERROR_SIZE];
  for (int size : {256, 512}) {
    std::vector<unsigned char> px((size_t)size * size);
    ASSERT_EQ(1, make_synth_label_image(&s, 0, size, px.data(), err)) << err;
    double r = 40.0 * size / 256, rim = r * std::cos(45 * kDegree);
    int count[4] = {0, 0, 0, 0};
    for (unsigned char v : px) count[v < 4 ? v : 0]++;
    EXPECT_NEAR(M_PI * rim * rim, count[1], 0.5 * M_PI * rim) << size;
    EXPECT_NEAR(M_PI * (r * r - rim * rim), count[2], 0.5 * M_PI * (r + rim)) << size;
    EXPECT_EQ(0, count[3]) << size;
  }
}

TEST(SynthContours, OrthographicRimIsTheEllipseOfTheRingAtFortyFiveDegrees) {
  ScratchDir dir;
  synth_scene s = scene_of(5, kSphere);
  mat_from_rpy(s.rotation, -60 * kDegree, 0.0, 30 * kDegree);
  View v = make_view(s);
  Model h = write_and_read(s, *v, dir, 0.0);
  // Ring of radius rho = 2 cos 45 around the axis point 2 sin 45 up; seen
  // along z it is an ellipse with half-axes rho and rho |n.z|.
  vector n = apply(s.rotation, {0.0, 0.0, 1.0});
  vector c = apply(s.rotation, {0.0, 0.0, 2.0 * std::sin(M_PI / 4)});
  c = {c.x + s.translation.x, c.y + s.translation.y, 0.0};
  double rho = 2.0 * std::cos(M_PI / 4), len = std::hypot(n.x, n.y);
  vector a = {n.x / len, n.y / len, 0.0}, b = {-a.y, a.x, 0.0};
  std::vector<vector> ring = curve_points(h.get(), 0, 0);
  ASSERT_GT(ring.size(), 20u);
  for (vector p : ring) {
    double qa = (p.x - c.x) * a.x + (p.y - c.y) * a.y, qb = (p.x - c.x) * b.x + (p.y - c.y) * b.y;
    ASSERT_NEAR(1.0, qb * qb / (rho * rho) + qa * qa / (rho * rho * n.z * n.z), 1e-4);
  }
}

TEST(SynthContours, PerspectiveOutlineRaysTouchTheSphere) {
  ScratchDir dir;
  synth_scene s = scene_of(5, kSphere);
  s.perspective_flag = 1;
  s.focal_length = 10.0;
  s.translation = {1.0, -0.5, -20.0};
  mat_from_rpy(s.rotation, -75 * kDegree, 0.0, 0.0);
  View v = make_view(s);
  Model h = write_and_read(s, *v, dir, 0.0);
  const double kTouch = 1e-4;  // sphere units at depth 20: a hundredth of a pixel
  for (int c : {1, 3})
    for (vector p : curve_points(h.get(), 1, c)) {
      // distance from the centre to the ray through p: |T x p| / |p|
      vector t = s.translation;
      double cx = t.y * p.z - t.z * p.y, cy = t.z * p.x - t.x * p.z, cz = t.x * p.y - t.y * p.x;
      double d = std::sqrt(cx * cx + cy * cy + cz * cz) /
                 std::sqrt(p.x * p.x + p.y * p.y + p.z * p.z);
      ASSERT_NEAR(2.0, d, kTouch) << "curve " << c;
    }
}

TEST(SynthContours, PointsAreSpacedAsAsked) {
  synth_scene s = scene_of(6, kCylinder);
  mat_from_rpy(s.rotation, -70 * kDegree, 0.0, 0.0);
  s.spacing = 3.0;
  View v = make_view(s);
  const synth_face &f = v->face[1];
  for (int c = 0; c < f.n_curve; c++)
    for (int j = f.begin[c] + 1; j <= f.end[c]; j++) {
      double d = std::hypot(f.row[j] - f.row[j - 1], f.col[j] - f.col[j - 1]);
      // Arc length per step is spacing within rounding of the point count;
      // chords are a little shorter where the curve bends.
      ASSERT_GT(d, 0.6 * s.spacing) << "curve " << c;
      ASSERT_LT(d, 1.5 * s.spacing) << "curve " << c;
    }
}

TEST(SynthContours, SideFaceLoopRunsRoundWithSharedCorners) {
  synth_scene s = scene_of(5, kCylinder);
  mat_from_rpy(s.rotation, -70 * kDegree, 0.0, 25 * kDegree);
  View v = make_view(s);
  const synth_face &f = v->face[1];
  ASSERT_EQ(4, f.n_curve);
  double area = 0.0;
  for (int c = 0; c < 4; c++) {
    int next = f.begin[(c + 1) % 4];
    EXPECT_NEAR(f.row[f.end[c]], f.row[next], 1e-4) << "corner after curve " << c;
    EXPECT_NEAR(f.col[f.end[c]], f.col[next], 1e-4) << "corner after curve " << c;
  }
  for (int j = 0; j < f.n_points; j++) {
    int k = (j + 1) % f.n_points;
    // rows grow downwards: in (col, -row) the loop is anticlockwise
    area += f.col[j] * -f.row[k] - f.col[k] * -f.row[j];
  }
  EXPECT_GT(area, 0.0);
}

// ---------------------------------------------------------------------------
// What the camera sees
// ---------------------------------------------------------------------------

TEST(SynthVisibility, TopOrBottomIsLeftOutWhenTurnedAway) {
  synth_scene s = scene_of(5, kCylinder);
  mat_from_rpy(s.rotation, -70 * kDegree, 0.0, 0.0);  // axis tipped towards the camera
  View above = make_view(s);
  EXPECT_GT(above->face[0].n_points, 0);
  EXPECT_EQ(-1, above->face[2].n_points);
  EXPECT_EQ(1, above->center);
  mat_from_rpy(s.rotation, -110 * kDegree, 0.0, 0.0);  // and away from it
  View below = make_view(s);
  EXPECT_EQ(-1, below->face[0].n_points);
  EXPECT_GT(below->face[2].n_points, 0);
  EXPECT_EQ(1, below->center);  // the upper rim arc of face 1 is still seen
}

TEST(SynthVisibility, ViewAlongTheAxisHasNoOccludingContours) {
  synth_scene s = scene_of(5, kCylinder);  // identity: the axis points at the camera
  View v = make_view(s);
  ASSERT_GT(v->face[0].n_points, 0);
  EXPECT_EQ(0, v->face[0].begin[0]);  // the whole upper ring, once round
  EXPECT_EQ(v->face[0].n_points - 1, v->face[0].end[0]);
  const synth_face &side = v->face[1];
  ASSERT_EQ(4, side.n_curve);
  EXPECT_EQ(-1, side.begin[0]);  // the lower rim faces away
  EXPECT_EQ(-1, side.begin[1]);
  EXPECT_NE(-1, side.begin[2]);  // the upper rim bounds the side too
  EXPECT_EQ(-1, side.begin[3]);
  EXPECT_EQ(-1, v->face[2].n_points);
}

TEST(SynthVisibility, SteepViewKeepsTheOccludingContoursOfTheMiddle) {
  synth_scene s = scene_of(5, {2.0, 1.0, 1.0, 1.5, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0});
  mat_from_rpy(s.rotation, -25 * kDegree, 0.0, 0.0);  // 65 degrees above the equator
  View v = make_view(s);
  const synth_face &side = v->face[1];
  ASSERT_EQ(4, side.n_curve);
  EXPECT_EQ(-1, side.begin[0]);  // the lower rim is hidden
  ASSERT_NE(-1, side.begin[1]);
  ASSERT_NE(-1, side.begin[3]);
  EXPECT_GT(side.end[1] - side.begin[1], 5);
}

TEST(SynthVisibility, BoxSeenFromBehindKeepsOnlyItsTop) {
  synth_scene s = scene_of(1, kBox);
  set_axis_angle(&s, "-1,1,0,40");  // turned the other way: -x, -y sides seen
  View v = make_view(s);
  EXPECT_EQ(-1, v->face[0].n_points);
  EXPECT_EQ(-1, v->face[1].n_points);
  EXPECT_GT(v->face[4].n_points, 0);
}

TEST(SynthVisibility, ModelBehindAPerspectiveCameraIsRefused) {
  synth_scene s = scene_of(5, kCylinder);
  s.perspective_flag = 1;
  s.translation = {0.0, 0.0, 1.0};
  synth_view v;
  char err[SYNTH_ERROR_SIZE];
  EXPECT_FALSE(make_synth_view(&s, 0, &v, err));
  EXPECT_NE(nullptr, strstr(err, "not in front of the camera"));
}

// ---------------------------------------------------------------------------
// The fitting model at the true values
// ---------------------------------------------------------------------------

// A fitting mesh of the given size with the true shape, the view's centre
// rule and the pose a perfect fit would report.
Model fitting_model_at_truth(const synth_scene &s, const synth_view &v, int usize, int vsize) {
  Model h(hybroid_alloc());
  h->usize = usize;
  h->vsize = vsize;
  testing::internal::CaptureStderr();  // the mesh reports its element counts
  allocate_hybroid(h.get());
  assemble_hybroid_rectangular_mesh(h.get());
  testing::internal::GetCapturedStderr();
  const synth_shape &p = s.shape;
  h->sc = p.sc; h->a1 = p.a1; h->a2 = p.a2; h->a3 = p.a3; h->e1 = p.e1; h->e2 = p.e2;
  h->tapx = p.tapx; h->tapy = p.tapy; h->bend1 = p.bend1; h->bend3 = p.bend3;
  h->center = v.center;
  h->u_center = usize - (usize + 1) / 4;
  h->v_center = vsize * 5 / 8;
  memcpy(h->rotation, v.fit_rotation, sizeof h->rotation);
  h->translation = v.fit_translation;
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) h->camera_rotation[r][c] = r == c;
  h->focal_length = s.focal_length;
  h->perspective_flag = s.perspective_flag;
  compute_superquadric_taper_bend_normal(h.get());
  compute_superquadric_taper_bend_new_center(h.get());
  compute_positions(h.get());
  compute_projected_positions(h.get());
  unrotate_normal(h.get());
  return h;
}

// Whether a node's surface faces the camera by more than rounding.
bool node_faces_camera(const hybroid *h, const node &n) {
  const double kFacing = 1e-6;
  vector toward = {0.0, 0.0, 1.0};
  if (h->perspective_flag) toward = {-n.posit.x, -n.posit.y, -n.posit.z};
  double len = std::sqrt(toward.x * toward.x + toward.y * toward.y + toward.z * toward.z);
  return (n.rnormal.x * toward.x + n.rnormal.y * toward.y + n.rnormal.z * toward.z) / len >
         kFacing;
}

TEST(SynthConvention, RimsLieOnTheFittingMeshRimRows) {
  struct Case {
    int usize, vsize, perspective;
  } cases[] = {{15, 16, 0}, {23, 24, 1}, {13, 12, 0}};  // the last puts rims off 45 degrees
  for (const Case &c : cases) {
    SCOPED_TRACE(c.usize);
    ScratchDir dir;
    synth_scene s = scene_of(6, {1.5, 1.0, 1.0, 1.6, 0.4, 1.0, 0.3, 0.3, 0.0, 0.0});
    mat_from_rpy(s.rotation, -65 * kDegree, 0.0, 15 * kDegree);
    s.mesh_usize = c.usize;
    s.mesh_vsize = c.vsize;
    s.spacing = 0.5;
    if (c.perspective) {
      s.perspective_flag = 1;
      s.focal_length = 10.0;
      s.translation = {0.5, 0.2, -18.0};
    }
    View v = make_view(s);
    Model data = write_and_read(s, *v, dir, 0.0);
    Model fit = fitting_model_at_truth(s, *v, c.usize, c.vsize);
    int u_offset = (c.usize + 1) / 4 - 1, top = c.usize - u_offset - 1;
    std::vector<vector> arc = curve_points(data.get(), 0, 0);
    int checked = 0;
    for (int j = 0; j < c.vsize; j++) {
      const node &n = fit->nodes[top * c.vsize + j];
      if (!node_faces_camera(fit.get(), n)) continue;
      ASSERT_LT(distance_to_polyline(n.proj_posit, arc), kOnPolyline) << "column " << j;
      checked++;
    }
    EXPECT_GT(checked, c.vsize / 2);
  }
}

TEST(SynthConvention, BoxCornerOfFaceZeroIsTheFittedCentre) {
  // The model initialisation starts a box at the last point of face 0's
  // first edge; that corner is the centre node of the box's rule.
  synth_scene s = scene_of(1, kBox);
  set_axis_angle(&s, kBoxStart);
  s.translation = {0.4, 0.7, -0.1};
  View v = make_view(s);
  ASSERT_EQ(3, v->center);
  double row, col;
  synth_pixel_from_image_point(v->fit_translation.x, v->fit_translation.y, 0.0, &row, &col);
  const synth_face &f = v->face[0];
  EXPECT_NEAR(row, f.row[f.end[0]], 1e-5);
  EXPECT_NEAR(col, f.col[f.end[0]], 1e-5);
  // and the edges of the box's sides and top lie on the mesh's edge nodes
  Model fit = fitting_model_at_truth(s, *v, 15, 16);
  node &corner = fit->nodes[11 * 16 + 10];
  EXPECT_NEAR(v->fit_translation.x, corner.proj_posit.x, 1e-9);
  EXPECT_NEAR(v->fit_translation.y, corner.proj_posit.y, 1e-9);
}

// ---------------------------------------------------------------------------
// Stereo pairs and noise
// ---------------------------------------------------------------------------

TEST(SynthStereo, CamerasSitWhereTheRunLoopPutsThem) {
  synth_scene s = scene_of(5, kCylinder);
  s.stereo_flag = 1;
  double R[3][3];
  vector t;
  synth_camera_frame(&s, 0, R, &t);
  EXPECT_DOUBLE_EQ(-7.529411764705882, t.x);
  EXPECT_EQ(0.0, t.y);
  synth_camera_frame(&s, 1, R, &t);
  EXPECT_DOUBLE_EQ(7.529411764705882, t.x);
  EXPECT_EQ(-0.2, t.y);
  s.verge_angle = 0.3;
  s.elev_angle = 0.1;
  synth_camera_frame(&s, 0, R, &t);
  double expected[3][3];
  mat_from_rpy(expected, -0.1, -0.3, 0.0);
  EXPECT_TRUE(testutil::near_array(&expected[0][0], &R[0][0], 9, 0.0));
}

TEST(SynthStereo, BothViewsPlaceTheModelAtOneWorldPoint) {
  synth_scene s = scene_of(6, kCylinder);
  s.stereo_flag = 1;
  s.perspective_flag = 1;
  s.focal_length = 10.0;
  s.verge_angle = 0.36;
  s.translation = {0.2, 0.1, -20.0};
  mat_from_rpy(s.rotation, -70 * kDegree, 0.0, 0.0);
  View left = make_view(s, 0), right = make_view(s, 1);
  vector w[2];
  const synth_view *views[2] = {left.get(), right.get()};
  for (int k = 0; k < 2; k++) {
    double R[3][3];
    vector t;
    synth_camera_frame(&s, k, R, &t);
    vector p = apply(R, views[k]->fit_translation);
    w[k] = {p.x + t.x, p.y + t.y, p.z + t.z};
  }
  EXPECT_TRUE(testutil::near_vector(w[0], w[1], 1e-9));
  // Each camera sees the model turned by its own vergence.
  EXPECT_NEAR(std::sin(0.72), std::fabs(left->fit_rotation[0][0] * right->fit_rotation[2][0] -
                                         left->fit_rotation[2][0] * right->fit_rotation[0][0]),
              1e-9);
}

TEST(SynthNoise, IsSeededAndHasTheAskedDeviation) {
  synth_scene s = scene_of(5, kCylinder);
  mat_from_rpy(s.rotation, -70 * kDegree, 0.0, 0.0);
  s.spacing = 0.5;
  View clean = make_view(s);
  s.noise = 0.8;
  View a = make_view(s), b = make_view(s);
  s.seed = 2;
  View c = make_view(s);
  const synth_face &f0 = clean->face[1], &fa = a->face[1], &fb = b->face[1], &fc = c->face[1];
  double sum2 = 0.0;
  int differ = 0;
  for (int j = 0; j < f0.n_points; j++) {
    ASSERT_EQ(fa.row[j], fb.row[j]);
    ASSERT_EQ(fa.col[j], fb.col[j]);
    differ += fa.row[j] != fc.row[j];
    sum2 += (fa.row[j] - f0.row[j]) * (fa.row[j] - f0.row[j]) +
            (fa.col[j] - f0.col[j]) * (fa.col[j] - f0.col[j]);
  }
  EXPECT_EQ(f0.n_points, differ);
  double sd = std::sqrt(sum2 / (2 * f0.n_points));
  // 2n > 1000 deviates: the sample deviation is within 10 % of sigma.
  EXPECT_NEAR(0.8, sd, 0.08);
}

// ---------------------------------------------------------------------------
// How precisely the data can determine the model (--bound)
// ---------------------------------------------------------------------------

namespace {
synth_bound bound_of(const synth_scene &s) {
  synth_bound b;
  char err[SYNTH_ERROR_SIZE] = "";
  EXPECT_EQ(1, bound_synth_view(&s, 0, &b, err)) << err;
  return b;
}
}  // namespace

TEST(SynthBound, GrowsWithTheNoiseAndShrinksWithMorePoints) {
  synth_scene s = scene_of(1, kBox);
  set_axis_angle(&s, kBoxStart);
  s.noise = 1.0;
  synth_bound one = bound_of(s);
  s.noise = 2.0;
  synth_bound two = bound_of(s);
  s.noise = 1.0;
  s.spacing = 1.0;
  synth_bound dense = bound_of(s);
  EXPECT_EQ(10, one.free_count);  // orthographic: the depth is not determined
  EXPECT_GT(one.sd_size[0], 0.0);
  EXPECT_NEAR(2 * one.sd_size[0], two.sd_size[0], 1e-9 * one.sd_size[0]);
  EXPECT_NEAR(2 * one.sd_e[1], two.sd_e[1], 1e-9 * one.sd_e[1]);
  EXPECT_LT(two.met_all, one.met_all);
  // Twice the points: the deviations fall by about the square root of 2.
  EXPECT_NEAR(one.sd_size[1] / std::sqrt(2.0), dense.sd_size[1], 0.1 * dense.sd_size[1]);
  EXPECT_NEAR(one.sd_axis / std::sqrt(2.0), dense.sd_axis, 0.1 * dense.sd_axis);

  s.perspective_flag = 1;
  s.focal_length = 10;
  s.translation = {0.5, 0.0, -20.0};
  EXPECT_EQ(11, bound_of(s).free_count);
  s.noise = 0.0;
  synth_bound b;
  char err[SYNTH_ERROR_SIZE] = "";
  EXPECT_EQ(0, bound_synth_view(&s, 0, &b, err));
  EXPECT_STREQ("--bound needs the noise of the data (-n)", err);
}

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

namespace {
int parse(std::vector<const char *> args, synth_scene *s, std::string *err) {
  args.insert(args.begin(), "hybsynth");
  char buf[SYNTH_ERROR_SIZE] = "";
  init_synth_scene(s);
  int rc = parse_synth_command_line((int)args.size(), (char **)args.data(), s, buf);
  *err = buf;
  return rc;
}

std::string hybsynth_path() {
  std::string p = HYBFIT_PATH;
  return p.substr(0, p.rfind('/') + 1) + "hybsynth";
}
}  // namespace

TEST(SynthCommandLine, ReadsEveryOption) {
  synth_scene s;
  std::string err;
  ASSERT_EQ(0, parse({"-l", "6", "-S", "1.5,1,1,2,0.3", "-T", "1,2,-3", "-R", "0,90,0", "-p",
                      "-f", "10", "-t", "15", "-n", "0.5", "-r", "7", "-d", "1.5", "-m", "23,24",
                      "-s", "-b", "200", "-v", "0.3", "-e", "0.1", "-o", "l", "-O", "r"},
                     &s, &err))
      << err;
  EXPECT_EQ(6, s.label);
  EXPECT_EQ(1.5, s.shape.sc);
  EXPECT_EQ(2.0, s.shape.a3);
  EXPECT_EQ(0.3, s.shape.e1);
  EXPECT_EQ(1.0, s.shape.e2);  // left out: kept
  EXPECT_TRUE(testutil::near_vector({1, 2, -3}, s.translation, 0.0));
  EXPECT_NEAR(-1.0, s.rotation[2][0], 1e-15);  // pitch 90: row 2 is (-1, 0, 0)
  EXPECT_EQ(1, s.perspective_flag);
  EXPECT_EQ(10.0, s.focal_length);
  EXPECT_EQ(15.0, s.theta_deg);
  EXPECT_EQ(0.5, s.noise);
  EXPECT_EQ(7u, s.seed);
  EXPECT_EQ(1.5, s.spacing);
  EXPECT_EQ(23, s.mesh_usize);
  EXPECT_EQ(24, s.mesh_vsize);
  EXPECT_EQ(1, s.stereo_flag);
  EXPECT_EQ(200.0, s.base_line);
  EXPECT_EQ(0.3, s.verge_angle);
  EXPECT_EQ(0.1, s.elev_angle);
  EXPECT_STREQ("r", s.output[1]);
}

TEST(SynthCommandLine, DefaultDepthIsTheFitsStartDepth) {
  synth_scene s;
  std::string err;
  ASSERT_EQ(0, parse({"-f", "5", "-o", "x"}, &s, &err));
  EXPECT_EQ(-5.0, s.translation.z);
  ASSERT_EQ(0, parse({"-p", "-f", "5", "-o", "x"}, &s, &err));
  EXPECT_EQ(-10.0, s.translation.z);
}

TEST(SynthCommandLine, BadArgumentsAreRefusedWithAReason) {
  struct Case {
    std::vector<const char *> args;
    const char *reason;
  } cases[] = {
      {{"-x", "-o", "f"}, "unknown option"},
      {{"-o"}, "needs a value"},
      {{"out.dump"}, "not an option"},
      {{"-l", "7", "-o", "f"}, "1, 5, 6 or 10"},
      {{"-l", "1e30", "-o", "f"}, "1, 5, 6 or 10"},
      {{"-S", "1,2,3,4,5,6,7,8,9,10,11", "-o", "f"}, "1 to 10 numbers"},
      {{"-S", "2,-1", "-o", "f"}, "must be positive"},
      {{"-S", "2,1,1,1,0.01", "-o", "f"}, "between 0.05 and 4"},
      {{"-S", "2,1,1,1,1,1,1.5", "-o", "f"}, "tapx and tapy"},
      {{"-T", "1,2", "-o", "f"}, "give x,y,z"},
      {{"-A", "0,0,0,30", "-o", "f"}, "non-zero axis"},
      {{"-f", "0", "-o", "f"}, "focal length"},
      {{"-f", "abc", "-o", "f"}, "not a number"},
      {{"-d", "0", "-o", "f"}, "spacing"},
      {{"-m", "15.5,16", "-o", "f"}, "usize,vsize"},
      {{"-r", "-1", "-o", "f"}, "whole number"},
      {{"-l", "5"}, "no output file"},
      {{"-s", "-o", "f"}, "needs -O"},
      {{"-O", "g", "-o", "f"}, "-O needs -s"},
      {{"--label-size", "8", "--label-image", "a.png"}, "16 to 8192"},
      {{"--label-image-right", "b.png", "-o", "f"}, "needs -s"},
      {{"--label", "a.png"}, "unknown option"},
  };
  for (const Case &c : cases) {
    synth_scene s;
    std::string err;
    EXPECT_EQ(1, parse(c.args, &s, &err)) << c.reason;
    EXPECT_NE(std::string::npos, err.find(c.reason)) << err;
  }
  synth_scene s;
  std::string err;
  EXPECT_EQ(2, parse({"-l", "5", "-h"}, &s, &err));
}

TEST(SynthCommandLine, ToolExitsOneWithUsageOnBadArguments) {
  RunResult bad = testutil::run_shell("'" + hybsynth_path() + "' -l 3 -o x.dump");
  EXPECT_EQ(1, bad.status);
  EXPECT_NE(std::string::npos, bad.err.find("hybsynth: -l 3"));
  EXPECT_NE(std::string::npos, bad.err.find("usage:"));
  RunResult help = testutil::run_shell("'" + hybsynth_path() + "' -h");
  EXPECT_EQ(0, help.status);
  EXPECT_NE(std::string::npos, help.out.find("-m usize,vsize"));
  ScratchDir dir;
  RunResult unwritable =
      testutil::run_shell("'" + hybsynth_path() + "' -o '" + dir.file("no/such/dir.dump") + "'");
  EXPECT_EQ(1, unwritable.status);
  EXPECT_NE(std::string::npos, unwritable.err.find("cannot write"));
}

TEST(SynthCommandLine, ToolWritesAFileTheProgramReads) {
  ScratchDir dir;
  RunResult r = testutil::run_shell("'" + hybsynth_path() +
                                    "' -l 6 -S 1.5,1,1,1.6,0.3 -R -70,0,10 -n 0.5 -o '" +
                                    dir.file("a.dump") + "'");
  ASSERT_EQ(0, r.status) << r.err;
  Model h(hybroid_alloc());
  h->x_scale = h->y_scale = kPixel;
  h->x_center = h->y_center = 128.0;
  h->x_dim = h->y_dim = 256;
  testing::internal::CaptureStderr();
  read_ascii_xy_data_dump(dir.file("a.dump").c_str(), h.get(), 1.0);
  EXPECT_EQ("", testing::internal::GetCapturedStderr());
  EXPECT_EQ(6, h->primitive_label);
  EXPECT_GT(h->face[1].n_points, 40);
}

// ---------------------------------------------------------------------------
// The fitting model at the true values matches every data point
// ---------------------------------------------------------------------------

namespace {

// Unit quaternion of a rotation matrix (the largest of w, x, y, z first, so
// that no division is by a small number).
quaternion quaternion_of(const double R[3][3]) {
  double t = R[0][0] + R[1][1] + R[2][2];
  quaternion q;
  if (t > 0) {
    double s = 2 * std::sqrt(1 + t);
    q = {s / 4, {(R[2][1] - R[1][2]) / s, (R[0][2] - R[2][0]) / s, (R[1][0] - R[0][1]) / s}};
  } else if (R[0][0] > R[1][1] && R[0][0] > R[2][2]) {
    double s = 2 * std::sqrt(1 + R[0][0] - R[1][1] - R[2][2]);
    q = {(R[2][1] - R[1][2]) / s, {s / 4, (R[0][1] + R[1][0]) / s, (R[0][2] + R[2][0]) / s}};
  } else if (R[1][1] > R[2][2]) {
    double s = 2 * std::sqrt(1 + R[1][1] - R[0][0] - R[2][2]);
    q = {(R[0][2] - R[2][0]) / s, {(R[0][1] + R[1][0]) / s, s / 4, (R[1][2] + R[2][1]) / s}};
  } else {
    double s = 2 * std::sqrt(1 + R[2][2] - R[0][0] - R[1][1]);
    q = {(R[1][0] - R[0][1]) / s, {(R[0][2] + R[2][0]) / s, (R[1][2] + R[2][1]) / s, s / 4}};
  }
  return q;
}

// A model read from the written file and initialised as the run loop does it
// with the bundled parameter files, then moved to the true shape and pose.
Model fitted_model_at_truth(const synth_scene &s, const synth_view &v, const ScratchDir &dir) {
  testing::internal::CaptureStderr();  // the readers echo what they read
  read_primitive_hybroid_parameter(testutil::sample_path("hyb").c_str());
  read_primitive_dof_mapping(testutil::sample_path("forcemap").c_str());
  hybroid_parameter[s.label - 1].usize = s.mesh_usize;  // the mesh the data were made for
  hybroid_parameter[s.label - 1].vsize = s.mesh_vsize;
  Model h = write_and_read(s, v, dir, 0.0);
  h->ftol = 0.001;
  h->dt = 1.0;
  h->perspective_flag = s.perspective_flag;
  set_camera_frame(h.get());
  init_hybroid(h.get());
  testing::internal::GetCapturedStderr();
  const synth_shape &p = s.shape;
  h->sc = p.sc; h->a1 = p.a1; h->a2 = p.a2; h->a3 = p.a3; h->e1 = p.e1; h->e2 = p.e2;
  h->tapx = p.tapx; h->tapy = p.tapy; h->bend1 = p.bend1; h->bend3 = p.bend3;
  memcpy(h->rotation, v.fit_rotation, sizeof h->rotation);
  h->orientation = quaternion_of(v.fit_rotation);
  h->translation = v.fit_translation;
  compute_superquadric_taper_bend_normal(h.get());
  compute_superquadric_taper_bend_new_center(h.get());
  return h;
}

// One data-force pass over every force map and every point, with the
// normal forces of the fit's later stages.
void run_data_force_pass(hybroid *h) {
  h->df_mask = DF_WHOLE_FORCE | DF_TRANS;
  h->subsample = 0;
  h->normal_force_flag = 1;
  prepare_geometry(h);
  measure_data_forces(h);
}

struct TruthCase {
  const char *name;
  int label;
  synth_shape shape;
  const char *rotation;  // -R roll,pitch,yaw or -A axis,angle, in degrees
  int perspective;
  int usize, vsize;      // the label's mesh in samples/hyb
};

void PrintTo(const TruthCase &c, std::ostream *os) { *os << c.name; }

class DataForcesAtTruth : public ::testing::TestWithParam<TruthCase> {};

}  // namespace

// The contours lie where the fitting model's patches are: with the model at
// the true values, every data point finds a node, and its normal distance to
// the model's contour is below a pixel.
TEST_P(DataForcesAtTruth, MatchEveryPointWithinAPixel) {
  const TruthCase &c = GetParam();
  // A data point between two nodes of a rim row, or beside the nearest
  // silhouette node, keeps the sag of the model's polygon: 0.75 pixel at
  // most in these scenes.  (Not so for tapered models, whose node normals
  // lean by up to 7 degrees from the true ones and so shift the silhouette
  // nodes, nor for edges of boxes with round squareness, pulled along the
  // surface normal: single points there reach 1.3 to 2.5 pixels.  A long
  // side seen at a slant can also reach 1.05 pixels on the 15 x 16 mesh,
  // whose silhouette nodes lie up to 8 degrees off the true contour; that
  // scene runs on the 23 x 24 mesh.)
  const double kSubPixel = 1.0 * kPixel;
  ScratchDir dir;
  synth_scene s = scene_of(c.label, c.shape);
  s.mesh_usize = c.usize;
  s.mesh_vsize = c.vsize;
  s.spacing = 1.0;
  if (c.rotation[1] == 'A') set_axis_angle(&s, c.rotation + 3);
  else {
    const char *argv[] = {"hybsynth", "-R", c.rotation + 3, "-o", "x"};
    char err[SYNTH_ERROR_SIZE];
    ASSERT_EQ(0, parse_synth_command_line(5, (char **)argv, &s, err)) << err;
  }
  if (c.perspective) {
    s.perspective_flag = 1;
    s.focal_length = 10.0;
    s.translation = {0.5, 0.3, -20.0};
  } else {
    s.translation = {0.5, 0.3, -0.1};
  }
  View v = make_view(s);
  Model h = fitted_model_at_truth(s, *v, dir);
  ASSERT_EQ(v->center, h->center) << "the model picked another centre rule";
  run_data_force_pass(h.get());
  int points = 0;
  for (int i = 0; i < h->n_force; i++) {
    const force_map &m = h->force_map[i];
    const Face &f = h->face[m.face];
    for (int j = f.begin[m.curve]; j <= f.end[m.curve]; j++) {
      const range_datapoint &p = f.points[j];
      ASSERT_NE(nullptr, p.nearest_node) << "face " << m.face << " curve " << m.curve << " point " << j;
      ASSERT_LT(p.mag_force, kSubPixel) << "face " << m.face << " curve " << m.curve << " point " << j;
      points++;
    }
  }
  EXPECT_GT(points, 100);
  EXPECT_EQ(points, h->force_cnt[SLOT_TOTAL]);
  EXPECT_LT(h->gof, 0.25 * kPixel);
}

INSTANTIATE_TEST_SUITE_P(
    Labels, DataForcesAtTruth,
    ::testing::Values(
        TruthCase{"box", 1, {2, 0.8, 0.9, 0.8, 0.2, 0.2, 0, 0, 0, 0}, "-A 1,-1,0,40.107", 0, 15, 16},
        TruthCase{"box_persp", 1, {2, 0.8, 0.9, 0.8, 0.2, 0.2, 0, 0, 0, 0}, "-A 1,-1,0,35", 1, 15, 16},
        TruthCase{"round5", 5, {2, 0.9, 0.9, 1.5, 1, 1, 0, 0, 0, 0}, "-R -60,0,20", 0, 15, 16},
        TruthCase{"round5_steep", 5, {2, 0.9, 0.9, 1.5, 1, 1, 0, 0, 0, 0}, "-R -25,0,0", 0, 15, 16},
        TruthCase{"round5_persp", 5, {2, 0.9, 0.9, 1.5, 1, 1, 0, 0, 0, 0}, "-R -60,0,20", 1, 15, 16},
        TruthCase{"round6", 6, {2, 1, 1, 1.6, 1, 1, 0, 0, 0, 0}, "-R -65,0,-10", 0, 23, 24},
        TruthCase{"round6_persp", 6, {2, 1, 1, 1.6, 1, 1, 0, 0, 0, 0}, "-R -40,0,-10", 1, 15, 16},
        TruthCase{"round10", 10, {2, 0.8, 0.8, 1.5, 1, 1, 0, 0, 0, 0}, "-R -70,0,0", 0, 23, 24}),
    [](const ::testing::TestParamInfo<TruthCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The bundled scenes
// ---------------------------------------------------------------------------

namespace {
struct BundledScene {
  const char *name;
  const char *args;  // hybfit options and dump files
  int fitted;        // 1 when the label has an automatic schedule
};
void PrintTo(const BundledScene &c, std::ostream *os) { *os << c.name; }
class BundledSyntheticScene : public ::testing::TestWithParam<BundledScene> {};
}  // namespace

// Every bundled synthetic scene is fitted to the end in an unattended batch
// run in samples/, whose schedule file fits every label (label 10 too, which
// the built-in schedules leave unmoved), to a final mean distance of a few
// pixels.
TEST_P(BundledSyntheticScene, IsFittedToTheEnd) {
  const double kFittedGof = 2.5 * kPixel;  // the measured worst is 2 pixels
  const BundledScene &c = GetParam();
  RunResult r = testutil::run_shell(std::string("env -u DISPLAY '") + HYBFIT_PATH + "' -g -a " +
                                        c.args,
                                    "0\n", std::string(HYBFIT_SOURCE_DIR) + "/samples");
  ASSERT_EQ(0, r.status) << r.err.substr(r.err.size() > 1500 ? r.err.size() - 1500 : 0);
  EXPECT_NE(std::string::npos, r.err.find("Fit finished after"));
  size_t at = 0;
  int models = 0;
  while ((at = r.err.find(" GOF = ", at)) != std::string::npos) {
    double gof = atof(r.err.c_str() + at + 7);
    if (c.fitted) {
      EXPECT_LT(gof, kFittedGof) << "model " << models;
    }
    at++;
    models++;
  }
  EXPECT_EQ(models, testutil::count_occurrences(c.args, ".dump"));
}

INSTANTIATE_TEST_SUITE_P(
    Samples, BundledSyntheticScene,
    ::testing::Values(
        BundledScene{"box1_ortho", "syn_box1_ortho.dump", 1},
        BundledScene{"box1_persp", "-p -f 10 syn_box1_persp.dump", 1},
        BundledScene{"ell5_ortho", "syn_ell5_ortho.dump", 1},
        BundledScene{"ell5_persp", "-p -f 10 syn_ell5_persp.dump", 1},
        BundledScene{"ell6_ortho", "syn_ell6_ortho.dump", 1},
        BundledScene{"ell6_persp", "-p -f 10 syn_ell6_persp.dump", 1},
        BundledScene{"bent10_ortho", "syn_bent10_ortho.dump", 1},
        BundledScene{"bent10_persp", "-p -f 10 syn_bent10_persp.dump", 1},
        BundledScene{"stereo5", "-s -p -f 10 -v 0.36 syn_stereo5_left.dump syn_stereo5_right.dump",
                     1},
        BundledScene{"trio", "syn_trio_ell5.dump syn_trio_box1.dump syn_trio_ell6.dump", 1}),
    [](const ::testing::TestParamInfo<BundledScene> &info) { return std::string(info.param.name); });
