// Node positions and projections in the model's and the partner's camera,
// contour points in the world frame, and the rigid Euler step.
#include <cmath>
#include <random>
#include <string>

#include "model_fixture.h"
#include "test_util.h"

using testmodel::grid;
using testmodel::make_model;
using testmodel::north_pole;
using testmodel::set_identity;
using testmodel::south_pole;
using testutil::near_vector;

// Sums of a few products of numbers of size ten.
static const double FRAME_TOL = 1e-13;

static void set_matrix(double m[3][3], const double v[3][3]) {
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) m[r][c] = v[r][c];
}

static const double QUARTER_TURN_Z[3][3] = {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}};
static const double QUARTER_TURN_X[3][3] = {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}};

// ---------------------------------------------------------------------------
// Positions and projections
// ---------------------------------------------------------------------------

TEST(Positions, ApplyTheModelPoseThenTheCameraPose) {
  auto m = make_model(3, 4, {});
  hybroid *h = m.get();
  set_matrix(h->rotation, QUARTER_TURN_Z);
  h->translation = {1, 2, -10};
  set_matrix(h->camera_rotation, QUARTER_TURN_X);
  h->camera_translation = {5, 0, 0};
  node &n = grid(h, 1, 2);  // (1, 0, 0) on the unit sphere
  n.displ = {0, 0.5, 0};
  compute_positions(h);
  // model (1, 0.5, 0) -> camera (-0.5, 1, 0) + (1, 2, -10) -> world
  EXPECT_TRUE(near_vector({0.5, 3, -10}, n.posit, FRAME_TOL));
  EXPECT_TRUE(near_vector({5.5, 10, 3}, n.wposit, FRAME_TOL));
  EXPECT_TRUE(near_vector({1, 2, -9}, north_pole(h).posit, FRAME_TOL));
  EXPECT_TRUE(near_vector({6, 9, 2}, north_pole(h).wposit, FRAME_TOL));
}

TEST(Positions, AnEmptyModelIsLeftAlone) {
  hybroid *h = hybroid_alloc();
  compute_positions(h);
  compute_projected_positions(h);
  h->h_neigh = h;
  h->perspective_flag = 1;
  compute_projected_positions_right(h);
  EXPECT_EQ(h->numnodes, 0);
  free_hybroid(h);
}

// Restricts the loops to the first n nodes for one test; the full count is
// back before the model is released.
struct FirstNodesOnly {
  hybroid *h;
  int saved;
  FirstNodesOnly(hybroid *model, int n) : h(model), saved(model->numnodes) { h->numnodes = n; }
  ~FirstNodesOnly() { h->numnodes = saved; }
};

// Three nodes placed by hand in the camera frame.
static void place_nodes(hybroid *h, vector a, vector b, vector c) {
  h->nodes[0].posit = a;
  h->nodes[1].posit = b;
  h->nodes[2].posit = c;
}

TEST(Projection, PerspectiveMeetsTheImagePlaneOnTheRayThroughTheCamera) {
  auto m = make_model(1, 2, {});
  hybroid *h = m.get();
  FirstNodesOnly only(h, 3);  // the nodes placed below
  h->perspective_flag = 1;
  h->focal_length = 5;
  h->camera_translation = {0, 0, 1};
  const vector old = {7, 7, 7};
  for (int i = 0; i < 3; i++) h->nodes[i].proj_posit = old;
  place_nodes(h, {2, 4, -10}, {3, 1, 0}, {1, 1, 2});
  compute_projected_positions(h);
  EXPECT_TRUE(near_vector({1, 2, -5}, h->nodes[0].proj_posit, 0.0));
  EXPECT_TRUE(near_vector({1, 2, -4}, h->nodes[0].proj_wposit, 0.0));
  // on and behind the camera plane: the old projection stays
  EXPECT_TRUE(near_vector(old, h->nodes[1].proj_posit, 0.0));
  EXPECT_TRUE(near_vector(old, h->nodes[2].proj_posit, 0.0));
  EXPECT_TRUE(near_vector({7, 7, 8}, h->nodes[2].proj_wposit, 0.0));
}

TEST(Projection, OrthographicDropsEveryNodeOntoTheImagePlane) {
  auto m = make_model(1, 2, {});
  hybroid *h = m.get();
  FirstNodesOnly only(h, 3);
  h->focal_length = 2.5;
  set_matrix(h->camera_rotation, QUARTER_TURN_Z);
  place_nodes(h, {2, 4, -10}, {3, 1, 0}, {1, -1, 2});
  compute_projected_positions(h);
  EXPECT_TRUE(near_vector({2, 4, -2.5}, h->nodes[0].proj_posit, 0.0));
  EXPECT_TRUE(near_vector({3, 1, -2.5}, h->nodes[1].proj_posit, 0.0));
  EXPECT_TRUE(near_vector({1, -1, -2.5}, h->nodes[2].proj_posit, 0.0));
  EXPECT_TRUE(near_vector({1, 1, -2.5}, h->nodes[2].proj_wposit, 0.0));
}

// Unit sphere 3 x 4 at (0, 0, -0.5) seen by a partner camera at the origin:
// row 2 (z = 0.707 - 0.5) and the north pole (z = 0.5) are behind it.
TEST(PartnerProjection, PrintsOnePanicLinePerNodeBehindThePartnerCamera) {
  auto m = make_model(3, 4, {});
  auto partner = make_model(1, 2, {});
  hybroid *h = m.get();
  h->h_neigh = partner.get();
  h->perspective_flag = 1;
  h->translation = {0, 0, -0.5};
  compute_positions(h);
  ::testing::internal::CaptureStderr();
  compute_projected_positions_right(h);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(testutil::count_occurrences(err, "Panic ***\a\a\a, model above z = 0 plane\n"), 5);
  EXPECT_EQ(err.size(), 5 * std::string("Panic ***\a\a\a, model above z = 0 plane\n").size());
  for (int i = 0; i < h->numnodes; i++) {
    ASSERT_TRUE(std::isfinite(h->nodes[i].proj_rposit.z)) << i;
    ASSERT_TRUE(std::isfinite(h->nodes[i].proj_wrposit.x)) << i;
  }
}

// The partner camera sits at (2, 0, 0) turned a quarter about z, focal
// length 2; the model node at world (2, 1, -4) is (1, 0, -4) in its frame.
TEST(PartnerProjection, UsesThePartnersCameraAndFocalLengthSilently) {
  auto m = make_model(1, 2, {});
  auto partner = make_model(1, 2, {});
  hybroid *h = m.get(), *p = partner.get();
  h->h_neigh = p;
  FirstNodesOnly only(h, 1);
  h->focal_length = 100;  // not used: the partner's applies
  p->focal_length = 2;
  set_matrix(p->camera_rotation, QUARTER_TURN_Z);
  p->camera_translation = {2, 0, 0};
  h->nodes[0].wposit = {2, 1, -4};

  h->perspective_flag = 1;
  ::testing::internal::CaptureStderr();
  compute_projected_positions_right(h);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(near_vector({1, 0, -4}, h->nodes[0].rposit, 0.0));
  EXPECT_TRUE(near_vector({0.5, 0, -2}, h->nodes[0].proj_rposit, 0.0));
  EXPECT_TRUE(near_vector({2, 0.5, -2}, h->nodes[0].proj_wrposit, 0.0));

  h->perspective_flag = 0;
  compute_projected_positions_right(h);
  EXPECT_TRUE(near_vector({1, 0, -2}, h->nodes[0].proj_rposit, 0.0));
  EXPECT_TRUE(near_vector({2, 1, -2}, h->nodes[0].proj_wrposit, 0.0));
}

// A node exactly on the partner's camera plane has no projection: it is
// reported and keeps the projection it had, so nothing infinite is drawn.
TEST(PartnerProjection, NodeOnThePartnerCameraPlaneKeepsItsProjection) {
  auto m = make_model(1, 2, {});
  auto partner = make_model(1, 2, {});
  hybroid *h = m.get();
  h->h_neigh = partner.get();
  FirstNodesOnly only(h, 1);
  h->perspective_flag = 1;
  h->nodes[0].wposit = {1, 1, 0};
  h->nodes[0].proj_rposit = {3, 3, -1};
  ::testing::internal::CaptureStderr();
  compute_projected_positions_right(h);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Panic ***\a\a\a, model above z = 0 plane\n");
  EXPECT_TRUE(near_vector({3, 3, -1}, h->nodes[0].proj_rposit, 0.0));
}

TEST(PartnerProjection, WithoutAPartnerNothingHappens) {
  auto m = make_model(2, 3, {});
  m->perspective_flag = 1;
  m->nodes[0].proj_rposit = {1, 2, 3};
  compute_projected_positions_right(m.get());
  compute_world_projected_positions_right(m.get());
  EXPECT_TRUE(near_vector({1, 2, 3}, m->nodes[0].proj_rposit, 0.0));
}

TEST(DataPositions, ContourPointsAreCarriedIntoTheWorldFrameFaceByFace) {
  auto m = make_model(1, 2, {});
  hybroid *h = m.get();
  set_matrix(h->camera_rotation, QUARTER_TURN_Z);
  h->camera_translation = {10, 0, -1};
  testmodel::add_face_points(h, 0, {{1, 2, 3}, {0, 0, -1}});
  h->face[1].n_points = -1;  // no data, no points array
  testmodel::add_face_points(h, 2, {{-1, 0, 0}});
  h->n_face = 3;
  compute_data_position_wrt_world(h);
  EXPECT_TRUE(near_vector({8, 1, 2}, h->face[0].points[0].wposition, 0.0));
  EXPECT_TRUE(near_vector({10, 0, -2}, h->face[0].points[1].wposition, 0.0));
  EXPECT_TRUE(near_vector({10, -1, -1}, h->face[2].points[0].wposition, 0.0));
}

TEST(DataPositions, FacesBeyondTheCountAreNotTouched) {
  auto m = make_model(1, 2, {});
  hybroid *h = m.get();
  testmodel::add_face_points(h, 1, {{1, 2, 3}});
  h->n_face = 1;
  compute_data_position_wrt_world(h);
  EXPECT_TRUE(near_vector({0, 0, 0}, h->face[1].points[0].wposition, 0.0));
  h->n_face = 2;  // free_hybroid releases face 1's points
}

// ---------------------------------------------------------------------------
// Rigid motion
// ---------------------------------------------------------------------------

// Rounding of a unit quaternion step: a few ulps.
static const double ROT_TOL = 1e-15;
// Drift allowed after 10,000 steps, each renormalised: far below any use.
static const double DRIFT_TOL = 1e-12;
// What the single-precision |omega| moves w by in the example below.
static const double FLOAT_SPEED_EFFECT = 1e-10;

static void multiply(const double a[3][3], const double b[3][3], double out[3][3]) {
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) out[r][c] = a[r][0] * b[0][c] + a[r][1] * b[1][c] + a[r][2] * b[2][c];
}

static ::testing::AssertionResult near_matrix(const double e[3][3], const double a[3][3],
                                              double tol) {
  return testutil::near_array(&e[0][0], &a[0][0], 9, tol);
}

static testmodel::Model rigid_model(double c_inv, double dt) {
  auto m = make_model(1, 2, {});
  m->c_inv_rot = m->c_inv_roty = m->c_inv_rotz = c_inv;
  m->dt = dt;
  return m;
}

TEST(Translation, MovesByDtTimesTheDampedForceAndKeepsTheVelocity) {
  auto m = make_model(1, 2, {});
  m->c_inv_trans = 2;
  m->c_inv_transz = 1;
  m->dt = 0.5;
  m->translation = {1, 2, 3};
  m->net_applied_force = {1, 1, 1};
  compute_translation(m.get());
  EXPECT_TRUE(near_vector({2, 3, 3.5}, m->translation, 0.0));
  EXPECT_TRUE(near_vector({2, 2, 1}, m->net_applied_force, 0.0));
}

TEST(Rotation, ClampedTorqueTurnsOneTenthRadianInOneStep) {
  auto m = rigid_model(1.0, 0.1);
  m->net_applied_torque = {5, 0, 0};
  compute_rotation(m.get());
  EXPECT_TRUE(near_vector({1, 0, 0}, m->net_applied_torque, 0.0));
  EXPECT_NEAR(m->orientation.w, cos(0.05), ROT_TOL);
  EXPECT_TRUE(near_vector({sin(0.05), 0, 0}, m->orientation.v, ROT_TOL));
  const double turned[3][3] = {{1, 0, 0}, {0, cos(0.1), -sin(0.1)}, {0, sin(0.1), cos(0.1)}};
  EXPECT_TRUE(near_matrix(turned, m->rotation, ROT_TOL));
}

TEST(Rotation, DampingScalesEachAxisAndLimitsOnlyBeyondOne) {
  auto m = rigid_model(1.0, 0.0);
  m->c_inv_rot = 0.5;
  m->c_inv_roty = -2.0;
  m->c_inv_rotz = 4.0;
  m->net_applied_torque = {-2, 0.5, -0.25};
  compute_rotation(m.get());
  EXPECT_TRUE(near_vector({-1, -1, -1}, m->net_applied_torque, 0.0));
  m->net_applied_torque = {-3, 0.25, 0.1};
  compute_rotation(m.get());
  EXPECT_TRUE(near_vector({-1, -0.5, 0.4}, m->net_applied_torque, 0.0));
}

// |omega| = 0.1 becomes the float 0.100000001490116..., which sets the half
// angle of a step of dt = 10; a double |omega| would move w by 5.7e-10.
TEST(Rotation, AngularSpeedIsRoundedToSinglePrecision) {
  auto m = rigid_model(1.0, 10.0);
  m->net_applied_torque = {0, 0, 0.1};
  compute_rotation(m.get());
  double L = (double)(float)0.1, half = L * 10.0 / 2.0;
  double z = sin(half) / L * 0.1, norm = sqrt(cos(half) * cos(half) + z * z);
  EXPECT_NEAR(m->orientation.w, cos(half) / norm, ROT_TOL);
  EXPECT_GT(fabs(m->orientation.w - cos(0.5)), FLOAT_SPEED_EFFECT);
}

TEST(Rotation, ZeroTorqueKeepsTheOrientation) {
  auto m = rigid_model(1.0, 0.3);
  m->orientation = {0.5, {0.5, -0.5, 0.5}};
  m->net_applied_torque = {0, 0, 0};
  compute_rotation(m.get());
  EXPECT_NEAR(m->orientation.w, 0.5, ROT_TOL);
  EXPECT_TRUE(near_vector({0.5, -0.5, 0.5}, m->orientation.v, ROT_TOL));
  // a third of a turn about (1, -1, 1): x -> z, y -> -x, z -> -y
  const double expected[3][3] = {{0, -1, 0}, {0, 0, -1}, {1, 0, 0}};
  EXPECT_TRUE(near_matrix(expected, m->rotation, ROT_TOL));
}

// The increment multiplies from the left: it turns about the camera's axes,
// whatever the model's orientation.
TEST(Rotation, IncrementTurnsAboutTheCameraAxes) {
  auto m = rigid_model(1.0, M_PI / 2);
  m->orientation = {sqrt(0.5), {0, 0, sqrt(0.5)}};  // a quarter turn about z
  m->net_applied_torque = {1, 0, 0};
  compute_rotation(m.get());
  double expected[3][3];
  multiply(QUARTER_TURN_X, QUARTER_TURN_Z, expected);
  EXPECT_TRUE(near_matrix(expected, m->rotation, ROT_TOL));
}

static void expect_orthonormal(const double R[3][3], double tol) {
  double Rt[3][3], RRt[3][3], I[3][3];
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) Rt[r][c] = R[c][r];
  multiply(R, Rt, RRt);
  set_identity(I);
  EXPECT_TRUE(near_matrix(I, RRt, tol));
}

TEST(Rotation, StaysUnitAndOrthonormalOverTenThousandRandomSteps) {
  auto m = rigid_model(1.0, 0.1);
  std::mt19937 rng(20240611);
  std::uniform_real_distribution<double> torque(-3.0, 3.0), damping(0.0, 2.0), step(0.0, 0.5);
  for (int i = 0; i < 10000; i++) {
    m->net_applied_torque = {torque(rng), torque(rng), torque(rng)};
    m->c_inv_rot = m->c_inv_roty = damping(rng);
    m->c_inv_rotz = i % 7 == 0 ? 0.0 : damping(rng);
    m->dt = step(rng);
    compute_rotation(m.get());
  }
  quaternion q = m->orientation;
  EXPECT_NEAR(q.w * q.w + q.v.x * q.v.x + q.v.y * q.v.y + q.v.z * q.v.z, 1.0, DRIFT_TOL);
  expect_orthonormal(m->rotation, DRIFT_TOL);
  EXPECT_NEAR(m->rotation[2][1] - m->rotation[1][2], 4 * q.w * q.v.x, DRIFT_TOL);
}

TEST(Rotation, BookkeepingSavesThePoseOfTheStepStart) {
  auto m = rigid_model(1.0, 0.1);
  m->translation = {1, 2, 3};
  m->net_applied_torque = {0.3, -0.2, 0.1};
  compute_rotation(m.get());
  bookkeep_trans_rot(m.get());
  quaternion q = m->orientation;
  double R[3][3];
  set_matrix(R, m->rotation);
  m->net_applied_torque = {0.3, 0.4, 0.1};
  m->net_applied_force = {1, 1, 1};
  m->c_inv_trans = m->c_inv_transz = 1;
  compute_rotation(m.get());
  compute_translation(m.get());
  EXPECT_TRUE(near_vector({1, 2, 3}, m->translation_pr, 0.0));
  EXPECT_EQ(m->orientation_pr.w, q.w);
  EXPECT_TRUE(near_vector(q.v, m->orientation_pr.v, 0.0));
  EXPECT_TRUE(near_matrix(R, m->rotation_pr, 0.0));
}

TEST(RollPitchYaw, ZeroAnglesGiveTheIdentityAndPitchTurnsXDown) {
  double R[3][3], I[3][3];
  set_identity(I);
  mat_from_rpy(R, 0, 0, 0);
  EXPECT_TRUE(near_matrix(I, R, 0.0));
  mat_from_rpy(R, 0, M_PI / 2, 0);
  EXPECT_EQ(R[2][0], -1.0);
  EXPECT_NEAR(R[2][1], 0.0, ROT_TOL);
  EXPECT_NEAR(R[2][2], 0.0, ROT_TOL);
}

TEST(RollPitchYaw, IsYawAfterPitchAfterRoll) {
  double roll = 0.3, pitch = -1.1, yaw = 2.4;
  const double Rx[3][3] = {{1, 0, 0}, {0, cos(roll), -sin(roll)}, {0, sin(roll), cos(roll)}};
  const double Ry[3][3] = {{cos(pitch), 0, sin(pitch)}, {0, 1, 0}, {-sin(pitch), 0, cos(pitch)}};
  const double Rz[3][3] = {{cos(yaw), -sin(yaw), 0}, {sin(yaw), cos(yaw), 0}, {0, 0, 1}};
  double RyRx[3][3], expected[3][3], R[3][3];
  multiply(Ry, Rx, RyRx);
  multiply(Rz, RyRx, expected);
  mat_from_rpy(R, roll, pitch, yaw);
  EXPECT_TRUE(near_matrix(expected, R, ROT_TOL));
}

// ---------------------------------------------------------------------------
// The per-node loops allocate nothing
// ---------------------------------------------------------------------------
//
// This test program replaces malloc, calloc and realloc (glibc allows an
// executable to do so) with versions that count calls while `counting` is
// set and pass on to the C library.  The sanitizer build brings its own
// allocator, so there the test is skipped.
#if !defined(__SANITIZE_ADDRESS__)
extern "C" {
void *__libc_malloc(size_t n);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *p, size_t n);
void __libc_free(void *p);
}
static bool counting = false;
static int allocations = 0;
extern "C" void *malloc(size_t n) noexcept {
  if (counting) allocations++;
  return __libc_malloc(n);
}
extern "C" void *calloc(size_t count, size_t size) noexcept {
  if (counting) allocations++;
  return __libc_calloc(count, size);
}
extern "C" void *realloc(void *p, size_t n) noexcept {
  if (counting) allocations++;
  return __libc_realloc(p, n);
}
extern "C" void free(void *p) noexcept { __libc_free(p); }
#endif

TEST(NodeLoops, AllocateNothing) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator cannot be counted";
#else
  testmodel::Shape s;
  s.tapx = 0.2;
  s.bend1 = 0.3;
  auto m = make_model(9, 12, s);
  auto partner = make_model(1, 2, {});
  hybroid *h = m.get();
  h->h_neigh = partner.get();
  h->perspective_flag = 1;
  h->translation = {0, 0, -10};
  h->center = 1;
  h->dt = 0.1;
  h->c_inv_rot = h->c_inv_roty = h->c_inv_rotz = h->c_inv_trans = h->c_inv_transz = 1;
  h->net_applied_torque = {0.1, 0.2, 0.3};
  testmodel::add_face_points(h, 0, {{1, 2, -1}, {2, 1, -1}});

  counting = true;
  Mqfree(Mqcalloc_checked(1, 8));  // the counter is live
  int control = allocations;
  compute_superquadric_taper_bend_normal(h);
  compute_superquadric_taper_bend_new_center(h);
  compute_positions(h);
  compute_projected_positions(h);
  compute_projected_positions_right(h);
  compute_tangent(h);
  unrotate_normal(h);
  compute_normal(h);
  compute_data_position_wrt_world(h);
  bookkeep_trans_rot(h);
  compute_translation(h);
  compute_rotation(h);
  counting = false;
  EXPECT_EQ(control, 1);
  EXPECT_EQ(allocations - control, 0);
#endif
}
