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

// Three nodes placed by hand in the camera frame.
static void place_nodes(hybroid *h, vector a, vector b, vector c) {
  h->nodes[0].posit = a;
  h->nodes[1].posit = b;
  h->nodes[2].posit = c;
}

TEST(Projection, PerspectiveMeetsTheImagePlaneOnTheRayThroughTheCamera) {
  auto m = make_model(1, 2, {});
  hybroid *h = m.get();
  h->numnodes = 3;  // only the nodes placed below
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
  h->numnodes = 3;
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
  h->numnodes = 1;
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
  h->numnodes = 1;
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
