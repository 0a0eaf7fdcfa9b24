// Data forces: nearest-node searches, the data-force pass, normal forces,
// force mapping, net force and torque, and model-frame forces.  The models
// are built by hand (nodes placed directly), so no geometry is involved,
// except in the outline matching of a box, which takes a real sphere.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "hybroid.h"
#include "built_model.h"
#include "model_fixture.h"
#include "test_util.h"
#include "vector_ops.h"

using testutil::near_vector;

// Sums of a few exact binary fractions: only rounding of the last bit.
static const double ROUNDING_TOL = 1e-12;

// The distance a search reports when no node qualified.
static const double NO_MATCH_DISTANCE = std::sqrt(1e41);

// A hand-built model: a usize x vsize grid and the two poles, every field
// zero.  Node (row u, column v) is nodes[u * vsize + v]:
//
//     row 2   8  9 10 11
//     row 1   4  5  6  7        south pole 12, north pole 13
//     row 0   0  1  2  3
//
// Every node starts parked far from the data at its own spot; a test moves
// the nodes it needs.  Faces get their points through add_face.
struct HandModel {
  hybroid h = {};
  std::vector<node> nodes;
  std::vector<range_datapoint> points[MAX_FACES];

  explicit HandModel(int usize = 3, int vsize = 4) {
    h.usize = usize;
    h.vsize = vsize;
    h.numnodes = usize * vsize + 2;
    nodes.assign(h.numnodes, node{});
    for (int i = 0; i < h.numnodes; i++) place(i, {100.0 + i, 100.0, -10.0});
    h.nodes = nodes.data();
    h.e1 = h.e2 = 1.0;
  }
  node &at(int u, int v) { return nodes[u * h.vsize + v]; }
  void place(int i, vector p) {
    nodes[i].posit = p;
    nodes[i].proj_posit = {p.x, p.y, -0.1};
  }
  // Face f with n points, all at p; its curve 0 runs from begin to end.
  range_datapoint *add_face(int f, int n, vector p, int begin, int end) {
    points[f].assign(n, range_datapoint{});
    for (auto &dp : points[f]) dp.position = p;
    Face &F = h.face[f];
    F.n_points = n;
    F.points = points[f].data();
    F.n_curve = 1;
    F.begin[0] = begin;
    F.end[0] = end;
    if (h.n_face <= f) h.n_face = f + 1;
    return F.points;
  }
  // A map without a patch (all-node search) on curve 0 of face f; its rows
  // and columns differ, so normal forces act along the node's normal.
  force_map *add_map(int df_mode, int f) {
    force_map *m = &h.force_map[h.n_force++];
    *m = {df_mode, f, 0, -1, 2, 0, 3, 0};
    return m;
  }
  int points_used(int f) {
    int n = 0;
    for (auto &dp : points[f]) n += dp.nearest_node != nullptr;
    return n;
  }
};

// ---------------------------------------------------------------------------
// Nearest node over all nodes
// ---------------------------------------------------------------------------

TEST(NearestNode, TiesGoToTheFirstNodeInScanOrder) {
  HandModel m;
  m.place(2, {1.0, 0.0, -1.0});
  m.place(5, {-1.0, 0.0, -1.0});
  vector sep;
  double d;
  EXPECT_EQ(nearest_hybroid_node2D(&m.h, {0.0, 0.0, -0.1}, &sep, &d), &m.nodes[2]);
  m.place(2, {-1.0, 0.0, -1.0});
  m.place(5, {1.0, 0.0, -1.0});
  EXPECT_EQ(nearest_hybroid_node2D(&m.h, {0.0, 0.0, -0.1}, &sep, &d), &m.nodes[2]);
  EXPECT_EQ(d, 1.0);
}

TEST(NearestNode, SeparationKeepsTheDepthDifferenceButDistanceIgnoresIt) {
  HandModel m;
  m.place(7, {0.5, 0.25, -3.0});
  vector sep;
  double d;
  ASSERT_EQ(nearest_hybroid_node2D(&m.h, {0.5, 1.25, -0.5}, &sep, &d), &m.nodes[7]);
  EXPECT_TRUE(near_vector({0.0, 1.0, 2.5}, sep, 0.0));
  EXPECT_EQ(d, 1.0);
}

TEST(NearestNode, AModelWithoutNodesGivesNoneAndLeavesTheSeparationUntouched) {
  hybroid h = {};
  vector sep = {7.0, 8.0, 9.0};
  double d = 0.0;
  EXPECT_EQ(nearest_hybroid_node2D(&h, {0.0, 0.0, 0.0}, &sep, &d), nullptr);
  EXPECT_TRUE(near_vector({7.0, 8.0, 9.0}, sep, 0.0));
  EXPECT_EQ(d, NO_MATCH_DISTANCE);
}

TEST(NearestNode, APointFartherThanTheStartDistanceFindsNothing) {
  HandModel m;
  vector sep = {1.0, 2.0, 3.0};
  double d;
  EXPECT_EQ(nearest_hybroid_node2D(&m.h, {1e25, 0.0, 0.0}, &sep, &d), nullptr);
  EXPECT_TRUE(near_vector({1.0, 2.0, 3.0}, sep, 0.0));
  EXPECT_EQ(d, NO_MATCH_DISTANCE);
}

// ---------------------------------------------------------------------------
// The data-force pass (maps without a patch, so the all-node search)
// ---------------------------------------------------------------------------

// A model with one node near the data: node 5 at (1, 1, -5); face 0 holds n
// points at (1.3, 1.4, -0.1), so each point's separation is (0.3, 0.4, 4.9).
struct OneNodeModel : HandModel {
  static constexpr vector node_at = {1.0, 1.0, -5.0};
  static constexpr vector point_at = {1.3, 1.4, -0.1};
  explicit OneNodeModel(int n = 1) {
    place(5, node_at);
    add_face(0, n, point_at, 0, n - 1);
  }
  vector separation() const {
    return {point_at.x - node_at.x, point_at.y - node_at.y, 0.0};
  }
};
constexpr vector OneNodeModel::node_at;
constexpr vector OneNodeModel::point_at;

TEST(ForcePass, AMapWithModeZeroIsNeverUsedEvenInWholeForceMode) {
  OneNodeModel m;
  m.add_map(0, 0);
  m.h.df_mask = DF_WHOLE_FORCE | DF_TRANS | DF_SC;
  compute_range_data_forces_projection(&m.h);
  EXPECT_EQ(m.points_used(0), 0);
  EXPECT_EQ(m.h.force_cnt[SLOT_TOTAL], 0);
  EXPECT_EQ(m.h.force_map[0].df_mode, 0);
  EXPECT_EQ(m.h.gof, 0.0);
}

TEST(ForcePass, AMapOutsideTheMaskActsOnlyInWholeForceMode) {
  OneNodeModel m;
  force_map *fmp = m.add_map(DF_A1, 0);
  m.h.df_mask = DF_TRANS;
  compute_range_data_forces_projection(&m.h);
  EXPECT_EQ(m.points_used(0), 0);
  EXPECT_EQ(fmp->df_mode, DF_A1);

  m.h.df_mask = DF_TRANS | DF_WHOLE_FORCE;
  compute_range_data_forces_projection(&m.h);
  node &n = m.nodes[5];
  vector s = m.separation();
  EXPECT_TRUE(near_vector(s, n.Force[SLOT_A1], 0.0));
  EXPECT_TRUE(near_vector(s, n.Force[SLOT_SC], 0.0));
  EXPECT_TRUE(near_vector({0, 0, 0}, n.Force[SLOT_TRANS], 0.0));
  EXPECT_TRUE(near_vector(s, n.force, 0.0)) << "the translation comes from the total force";
  EXPECT_EQ(m.h.force_cnt[SLOT_A1], 1);
  EXPECT_EQ(m.h.force_cnt[SLOT_SC], 1);
  EXPECT_EQ(m.h.force_cnt[SLOT_TRANS], 0);
  EXPECT_EQ(m.h.force_cnt[SLOT_TOTAL], 1);
}

TEST(ForcePass, AContourThatEndsBeforeItBeginsWrapsPastTheLastPoint) {
  OneNodeModel m(50);
  m.h.face[0].begin[0] = 40;
  m.h.face[0].end[0] = 3;
  m.add_map(DF_TRANS, 0);
  m.h.df_mask = DF_TRANS;
  compute_range_data_forces_projection(&m.h);
  for (int i = 0; i < 50; i++)
    EXPECT_EQ(m.points[0][i].nearest_node != nullptr, i >= 40 || i <= 3) << "point " << i;
  EXPECT_EQ(m.h.force_cnt[SLOT_TOTAL], 14);
}

// Which points of face 0 a pass uses for a curve from begin to end.
static std::vector<int> used_points(int begin, int end, int subsample) {
  OneNodeModel m(40);
  m.h.face[0].begin[0] = begin;
  m.h.face[0].end[0] = end;
  m.add_map(DF_TRANS, 0);
  m.h.df_mask = DF_TRANS;
  m.h.subsample = subsample;
  compute_range_data_forces_projection(&m.h);
  std::vector<int> used;
  for (int i = 0; i < 40; i++)
    if (m.points[0][i].nearest_node) used.push_back(i);
  return used;
}

TEST(ForcePass, SubsamplingTakesAboutEightPointsPerContour) {
  EXPECT_EQ(used_points(5, 28, 1), (std::vector<int>{5, 8, 11, 14, 17, 20, 23, 26}));
  EXPECT_EQ(used_points(5, 15, 3).size(), 11u) << "a short contour keeps every point";
  EXPECT_EQ(used_points(5, 28, 0).size(), 24u) << "without subsampling every point is used";
}

TEST(ForcePass, AMapDrivesTheScaleOnlyAfterItContributed) {
  OneNodeModel m;
  m.add_face(1, 3, {1e25, 0.0, -0.1}, 0, 2);  // too far for any node
  force_map *acting = m.add_map(DF_TRANS, 0);
  force_map *unmatched = m.add_map(DF_TRANS, 1);
  force_map *skipped = m.add_map(DF_ROT, 0);
  m.h.df_mask = DF_TRANS;
  compute_range_data_forces_projection(&m.h);
  EXPECT_EQ(acting->df_mode, DF_TRANS | DF_SC);
  EXPECT_EQ(unmatched->df_mode, DF_TRANS);
  EXPECT_EQ(skipped->df_mode, DF_ROT);
  EXPECT_EQ(m.h.force_cnt[SLOT_TOTAL], 1) << "points without a node are not counted";
  EXPECT_EQ(m.points[1][0].mag_force, NO_MATCH_DISTANCE);
}

TEST(ForcePass, AllPointsWithoutANodeGiveNoForceAndAZeroGof) {
  HandModel m;
  m.add_face(0, 4, {1e25, 0.0, -0.1}, 0, 3);
  m.add_map(DF_TRANS, 0);
  m.h.df_mask = DF_TRANS;
  m.h.gof = 5.0;
  compute_range_data_forces_projection(&m.h);
  EXPECT_EQ(m.h.gof, 0.0);
  EXPECT_EQ(m.h.force_cnt[SLOT_TOTAL], 0);
  EXPECT_EQ(m.h.force_cnt[SLOT_TRANS], 0);
  for (auto &n : m.nodes) EXPECT_TRUE(near_vector({0, 0, 0}, n.Force[SLOT_TRANS], 0.0));
}

TEST(ForcePass, GofIsTheMeanDistanceOfTheCountedPoints) {
  HandModel m;
  m.place(0, {0.0, 0.0, -5.0});
  range_datapoint *p = m.add_face(0, 4, {0.0, 0.0, -0.1}, 0, 3);
  p[0].position.x = 1.0;
  p[1].position.x = 2.0;
  p[2].position.y = 3.0;
  p[3].position.x = 1e25;  // finds nothing, not counted
  m.add_map(DF_TRANS, 0);
  m.h.df_mask = DF_TRANS;
  compute_range_data_forces_projection(&m.h);
  EXPECT_EQ(m.h.force_cnt[SLOT_TOTAL], 3);
  EXPECT_NEAR(m.h.gof, 2.0, ROUNDING_TOL);
}

TEST(ForcePass, InPerspectiveTheForceIsTiltedPerpendicularToTheLineOfSight) {
  HandModel m;
  m.place(0, {5.0, 0.0, -10.0});
  m.place(9, {0.0, 3.0, -10.0});
  m.place(11, {0.0, 0.0, -10.0});
  m.add_face(0, 1, {6.0, 0.0, -0.1}, 0, 0);
  m.add_face(1, 1, {0.0, 2.0, -0.1}, 0, 0);
  m.add_face(2, 1, {0.0, -1.0, -0.1}, 0, 0);
  m.add_map(DF_TRANS, 0);
  m.add_map(DF_ROT, 1);
  m.add_map(DF_A1, 2);
  m.h.df_mask = DF_TRANS | DF_ROT | DF_A1;
  m.h.perspective_flag = 1;
  compute_range_data_forces_projection(&m.h);
  // Node at (5, 0, -10), S = (1, 0, 0): S.z = -(5 * 1) / -10 = 0.5.
  EXPECT_TRUE(near_vector({1.0, 0.0, 0.5}, m.nodes[0].Force[SLOT_TRANS], 0.0));
  EXPECT_TRUE(near_vector({1.0, 0.0, 0.0}, m.points[0][0].force, 0.0))
      << "the point keeps the force before the tilt";
  // Node at (0, 3, -10), S = (0, -1, 0): S.z = -(3 * -1) / -10 = -0.3.
  EXPECT_TRUE(near_vector({0.0, -1.0, -0.3}, m.nodes[9].Force[SLOT_ROT], ROUNDING_TOL));
  // A node on the optical axis keeps the force in the image plane.
  EXPECT_TRUE(near_vector({0.0, -1.0, 0.0}, m.nodes[11].Force[SLOT_A1], 0.0));
}

TEST(ForcePass, WithoutNormalForcesTheSeparationAndDistanceAreKept) {
  OneNodeModel m;
  m.nodes[5].rnormal = {1.0, 0.0, 0.0};
  m.add_map(DF_TRANS, 0);
  m.h.df_mask = DF_TRANS;
  compute_range_data_forces_projection(&m.h);
  vector s = m.separation();
  range_datapoint &dp = m.points[0][0];
  EXPECT_TRUE(near_vector(s, dp.force, 0.0));
  EXPECT_EQ(dp.mag_force, std::sqrt(s.x * s.x + s.y * s.y));
  EXPECT_EQ(m.h.gof, dp.mag_force);
}

TEST(ForcePass, NormalForcesKeepOnlyTheComponentAlongTheProjectedNormal) {
  OneNodeModel m;
  m.nodes[5].rnormal = {2.0, 0.0, 7.0};  // projects to (1, 0, 0)
  m.add_map(DF_TRANS, 0);
  m.h.df_mask = DF_TRANS;
  m.h.normal_force_flag = 1;
  compute_range_data_forces_projection(&m.h);
  range_datapoint &dp = m.points[0][0];
  vector s = m.separation();
  EXPECT_TRUE(near_vector({s.x, 0.0, 0.0}, dp.force, ROUNDING_TOL));
  EXPECT_EQ(dp.mag_force, (double)(float)std::fabs(dp.force.x)) << "single-precision length";
  EXPECT_TRUE(near_vector(dp.force, m.nodes[5].Force[SLOT_TRANS], 0.0));
}

TEST(ForcePass, ANormalAlongTheLineOfSightGivesAZeroForceThatStillCounts) {
  OneNodeModel m;
  m.nodes[5].rnormal = {0.0, 0.0, 1.0};
  m.add_map(DF_TRANS, 0);
  m.h.df_mask = DF_TRANS;
  m.h.normal_force_flag = 1;
  compute_range_data_forces_projection(&m.h);
  EXPECT_TRUE(near_vector({0, 0, 0}, m.points[0][0].force, 0.0));
  EXPECT_EQ(m.points[0][0].mag_force, 0.0);
  EXPECT_EQ(m.h.force_cnt[SLOT_TOTAL], 1);
  EXPECT_EQ(m.h.gof, 0.0);
}

TEST(ForcePass, MapsNamingNoDataAreSkippedSafely) {
  OneNodeModel m;
  m.h.face[1].n_points = -1;  // a face the dump file marks empty
  m.h.face[1].begin[0] = 0;
  m.h.face[1].end[0] = 4;
  m.h.face[2].n_points = 0;
  m.h.face[2].end[0] = 2;
  m.add_face(3, 5, OneNodeModel::point_at, -1, 4);  // absent curve
  m.add_map(DF_TRANS, 1);
  m.add_map(DF_TRANS, 2);
  m.add_map(DF_TRANS, 3);
  m.add_map(DF_TRANS, 7);                         // no such face
  m.add_map(DF_TRANS, 0)->curve = MAX_CURVES + 2;  // no such curve
  m.add_map(DF_TRANS, 0)->face = -1;
  m.h.df_mask = DF_TRANS | DF_WHOLE_FORCE;
  compute_range_data_forces_projection(&m.h);
  EXPECT_EQ(m.h.force_cnt[SLOT_TOTAL], 0);
  for (int i = 0; i < m.h.n_force; i++) EXPECT_EQ(m.h.force_map[i].df_mode, DF_TRANS) << i;
}

TEST(ForcePass, ZeroizeForceClearsTheTotalAndEveryUsedSlot) {
  HandModel m;
  const int used[] = {0, 1, 2, 3, 4, 5, 6, 8, 9, 10, 12};
  for (auto &n : m.nodes) {
    n.force = {1, 2, 3};
    for (int k : used) n.Force[k] = {1, 2, 3};
  }
  zeroize_force(&m.h);
  for (auto &n : m.nodes) {
    EXPECT_TRUE(near_vector({0, 0, 0}, n.force, 0.0));
    for (int k : used) EXPECT_TRUE(near_vector({0, 0, 0}, n.Force[k], 0.0)) << "slot " << k;
  }
}

// ---------------------------------------------------------------------------
// Force mapping
// ---------------------------------------------------------------------------

TEST(ForceMapping, EverySlotOfTheMapsModeGetsTheForceAndACount) {
  HandModel m;
  force_map fm = {DF_A3 | DF_BEND1 | DF_BEND3 | DF_ROT | DF_ROTZ | DF_E1, 0, 0, 0, 0, 0, 0, 0};
  range_datapoint dp = {};
  dp.nearest_node = &m.nodes[3];
  m.h.df_mask = DF_ROT;
  perform_force_mapping(&m.h, &fm, &dp, {1.0, 2.0, 3.0}, 0.5);
  perform_force_mapping(&m.h, &fm, &dp, {1.0, 2.0, 3.0}, 0.25);
  const int driven[] = {SLOT_SC, SLOT_A3, SLOT_BEND1, SLOT_BEND3, SLOT_ROT, SLOT_ROTZ};
  for (int k : driven) {
    EXPECT_TRUE(near_vector({2.0, 4.0, 6.0}, m.nodes[3].Force[k], 0.0)) << "slot " << k;
    EXPECT_EQ(m.h.force_cnt[k], 2) << "slot " << k;
  }
  for (int k : {1, 2, 4, 5, 6, 7, 11}) EXPECT_EQ(m.h.force_cnt[k], 0) << "slot " << k;
  EXPECT_EQ(m.h.force_cnt[SLOT_TOTAL], 2);
  EXPECT_EQ(m.h.gof, 0.75);
  EXPECT_TRUE(near_vector({0, 0, 0}, m.nodes[3].force, 0.0)) << "not in whole-force mode";
}

TEST(ForceMapping, WithNothingBeingFittedTheSlotsFillButNothingIsCounted) {
  HandModel m;
  force_map fm = {DF_TRANS, 0, 0, 0, 0, 0, 0, 0};
  range_datapoint dp = {};
  dp.nearest_node = &m.nodes[0];
  perform_force_mapping(&m.h, &fm, &dp, {1.0, 0.0, 0.0}, 1.0);
  EXPECT_EQ(fm.df_mode, DF_TRANS | DF_SC);
  EXPECT_TRUE(near_vector({1, 0, 0}, m.nodes[0].Force[SLOT_TRANS], 0.0));
  EXPECT_EQ(m.h.force_cnt[SLOT_TRANS], 1);
  EXPECT_EQ(m.h.force_cnt[SLOT_TOTAL], 0);
  EXPECT_EQ(m.h.gof, 0.0);
}

// ---------------------------------------------------------------------------
// Normal and tangent forces, called directly on a matched point
// ---------------------------------------------------------------------------

// A 5 x 16 model whose matched node n is (2, 5); the point's separation is
// (3, 4, 0).  The nodes carry distinct tangents so the chosen one shows.
struct TangentModel : HandModel {
  range_datapoint dp = {};
  vector s = {3.0, 4.0, 0.0};
  double d = -1.0;
  TangentModel() : HandModel(5, 16) {
    for (auto &n : nodes) n.dXdu = n.dXdv = {0.0, 1.0, 0.0};
    dp.nearest_node = &at(2, 5);
  }
  void apply(force_map fm) { compute_normal_force(&h, &fm, &dp, &s, &d); }
};

TEST(NormalForce, AlongARowTheMidPatchTangentIsRemoved) {
  TangentModel m;
  m.h.e2 = 0.3;
  m.at(1, 2).dXdv = {1.0, 0.0, 0.0};  // row 1, column (1 + 3) / 2
  m.apply({DF_TRANS, 1, 1, 1, 1, 1, 3, 0});
  EXPECT_TRUE(near_vector({0.0, 4.0, 0.0}, m.s, ROUNDING_TOL));
  EXPECT_EQ(m.d, 4.0);
}

TEST(NormalForce, AlongAWrappingRowTheMidColumnWrapsToo) {
  TangentModel m;
  m.h.e2 = 0.3;
  m.at(1, 0).dXdv = {1.0, 0.0, 0.0};  // (14 + 2 + 16) / 2 = 16 -> column 0
  m.apply({DF_TRANS, 1, 1, 1, 1, 14, 2, 0});
  EXPECT_TRUE(near_vector({0.0, 4.0, 0.0}, m.s, ROUNDING_TOL));
}

TEST(NormalForce, RoundedOrSquareShapesUseTheMatchedNodesOwnTangent) {
  TangentModel m;
  m.h.e2 = 0.5;
  m.at(1, 2).dXdv = {0.0, 1.0, 0.0};
  m.at(2, 5).dXdv = {1.0, 0.0, 0.0};
  m.apply({DF_TRANS, 1, 1, 1, 1, 1, 3, 0});
  EXPECT_TRUE(near_vector({0.0, 4.0, 0.0}, m.s, ROUNDING_TOL));
}

TEST(NormalForce, AlongAColumnTheMidRowTangentIsRemovedOnlyForSquareLatitudes) {
  TangentModel m;
  m.h.e1 = 0.3;
  m.h.e2 = 0.3;
  m.at(2, 7).dXdu = {0.0, 1.0, 0.0};
  m.at(1, 7).dXdu = {0.6, 0.8, 0.0};  // row (0 + 3) / 2, column 7
  m.apply({DF_TRANS, 1, 1, 0, 3, 7, 7, 0});
  // S - (S . A) A = (3, 4) - 5 (0.6, 0.8) = (0, 0).
  EXPECT_TRUE(near_vector({0.0, 0.0, 0.0}, m.s, ROUNDING_TOL));

  TangentModel round;
  round.h.e1 = 0.5;
  round.at(2, 5).rnormal = {0.0, 1.0, 0.0};
  round.apply({DF_TRANS, 1, 1, 0, 3, 7, 7, 0});
  EXPECT_TRUE(near_vector({0.0, 4.0, 0.0}, round.s, ROUNDING_TOL)) << "normal mode";
}

TEST(NormalForce, AMidPatchNodeOutsideTheGridFallsBackOnTheMatchedNode) {
  TangentModel m;
  m.h.e2 = 0.3;
  m.at(2, 5).dXdv = {1.0, 0.0, 0.0};
  m.apply({DF_TRANS, 1, 1, -1, -1, 0, 3, 0});  // a map without a patch
  EXPECT_TRUE(near_vector({0.0, 4.0, 0.0}, m.s, ROUNDING_TOL));
  m.s = {3.0, 4.0, 0.0};
  m.apply({DF_TRANS, 1, 1, 9, 9, 0, 3, 0});  // a row below the grid
  EXPECT_TRUE(near_vector({0.0, 4.0, 0.0}, m.s, ROUNDING_TOL));
}

TEST(NormalForce, InPerspectiveTheNormalIsProjectedAtTheNode) {
  TangentModel m;
  m.h.perspective_flag = 1;
  m.at(2, 5).posit = {1.0, 0.0, -1.0};
  m.at(2, 5).rnormal = {0.0, 0.0, 1.0};  // projects to (1, 0, 0) at (1, 0, -1)
  m.apply({DF_TRANS, 1, 1, 0, 3, 0, 3, 0});
  EXPECT_TRUE(near_vector({3.0, 0.0, 0.0}, m.s, ROUNDING_TOL));
  EXPECT_EQ(m.d, 3.0);
}

TEST(ProjectVector, TheImageOfADirectionDependsOnWhereItStarts) {
  vector v = {0.0, 0.0, 1.0};
  project_vector({1.0, 2.0, -4.0}, &v);
  // (0 - 1 * 1 / -4, 0 - 2 * 1 / -4) = (0.25, 0.5), then unit length.
  double len = (double)(float)std::sqrt(0.25 * 0.25 + 0.5 * 0.5);
  EXPECT_TRUE(near_vector({0.25 * (1.0 / len), 0.5 * (1.0 / len), 0.0}, v, 0.0));
}

TEST(ProjectVector, TheLengthIsRoundedToSinglePrecision) {
  vector v = {1.0, 1.0, 0.0};
  project_vector({0.0, 0.0, -1.0}, &v);
  EXPECT_EQ(v.x, 1.0 / 1.4142135381698608);
  EXPECT_NE(v.x, 1.0 / std::sqrt(2.0));
}

TEST(ProjectVector, AZeroDirectionStaysZero) {
  vector v = {0.0, 0.0, 0.0};
  project_vector({3.0, 1.0, -2.0}, &v);
  EXPECT_TRUE(near_vector({0, 0, 0}, v, 0.0));
  EXPECT_FALSE(std::isnan(v.x));
}

// ---------------------------------------------------------------------------
// Net force and torque
// ---------------------------------------------------------------------------

// One node at lever arm r = (1, 0, 0) from the model origin (2, 3, -4).
struct LeverModel : HandModel {
  LeverModel() : HandModel(1, 1) {
    h.translation = {2.0, 3.0, -4.0};
    for (auto &n : nodes) n.posit = h.translation;
    nodes[0].posit = {3.0, 3.0, -4.0};
  }
  node &n() { return nodes[0]; }
};

TEST(NetTorque, TheInPlaneRotationKeepsOnlyTheZComponent) {
  LeverModel m;
  m.n().Force[SLOT_ROTZ] = {0.0, 1.0, 1.0};
  m.h.df_mask = DF_ROTZ;
  compute_net_applied_force_and_torque(&m.h);
  EXPECT_TRUE(near_vector({0.0, 0.0, 1.0}, m.h.net_applied_torque, 0.0));
}

TEST(NetTorque, FullRotationTakesTheWholeCrossProduct) {
  LeverModel m;
  m.n().Force[SLOT_ROT] = {0.0, 1.0, 1.0};
  m.h.df_mask = DF_ROT;
  compute_net_applied_force_and_torque(&m.h);
  EXPECT_TRUE(near_vector({0.0, -1.0, 1.0}, m.h.net_applied_torque, 0.0));
}

TEST(NetTorque, BothRotationsAdd) {
  LeverModel m;
  m.n().Force[SLOT_ROT] = {0.0, 1.0, 1.0};
  m.n().Force[SLOT_ROTZ] = {0.0, 1.0, 1.0};
  m.h.df_mask = DF_ROT | DF_ROTZ;
  compute_net_applied_force_and_torque(&m.h);
  EXPECT_TRUE(near_vector({0.0, -1.0, 2.0}, m.h.net_applied_torque, 0.0));
}

TEST(NetForce, TranslationSumsSlotSixOverAllNodes) {
  HandModel m;
  m.nodes[0].Force[SLOT_TRANS] = {1.0, 2.0, 0.5};
  m.nodes[13].Force[SLOT_TRANS] = {1.0, -1.0, 0.25};
  m.nodes[4].Force[SLOT_ROT] = {9.0, 9.0, 9.0};
  m.nodes[4].force = {9.0, 9.0, 9.0};
  m.h.net_applied_force = {5.0, 5.0, 5.0};
  m.h.df_mask = DF_TRANS;
  compute_net_applied_force_and_torque(&m.h);
  EXPECT_TRUE(near_vector({2.0, 1.0, 0.75}, m.h.net_applied_force, 0.0));
  EXPECT_TRUE(near_vector({0, 0, 0}, m.h.net_applied_torque, 0.0));
}

TEST(NetForce, WholeForceModeWithoutRigidBitsLeavesBothZero) {
  LeverModel m;
  m.n().force = {0.0, 1.0, 1.0};
  m.n().Force[SLOT_TRANS] = m.n().Force[SLOT_ROT] = m.n().Force[SLOT_ROTZ] = {0.0, 1.0, 1.0};
  m.h.df_mask = DF_WHOLE_FORCE;
  compute_net_applied_force_and_torque(&m.h);
  EXPECT_TRUE(near_vector({0, 0, 0}, m.h.net_applied_force, 0.0));
  EXPECT_TRUE(near_vector({0, 0, 0}, m.h.net_applied_torque, 0.0));
}

TEST(NetForce, WholeForceModeUsesTheTotalForceForEveryRigidBit) {
  LeverModel m;
  m.n().force = {0.0, 1.0, 1.0};
  m.n().Force[SLOT_TRANS] = m.n().Force[SLOT_ROT] = {5.0, 5.0, 5.0};
  m.h.df_mask = DF_WHOLE_FORCE | DF_TRANS | DF_ROTZ;
  compute_net_applied_force_and_torque(&m.h);
  EXPECT_TRUE(near_vector({0.0, 1.0, 1.0}, m.h.net_applied_force, 0.0));
  EXPECT_TRUE(near_vector({0.0, -1.0, 1.0}, m.h.net_applied_torque, 0.0))
      << "all three components, also for the in-plane rotation bit";
}

// ---------------------------------------------------------------------------
// Model-frame forces
// ---------------------------------------------------------------------------

TEST(UnrotateForce, TheIdentityOrientationKeepsEveryForce) {
  HandModel m(1, 2);
  m.h.orientation = {1.0, {0.0, 0.0, 0.0}};
  m.nodes[1].force = {1.0, -2.0, 3.0};
  m.nodes[1].Force[SLOT_BEND3] = {4.0, 5.0, -6.0};
  unrotate_force(&m.h);
  EXPECT_TRUE(near_vector(m.nodes[1].force, m.nodes[1].rforce, 0.0));
  EXPECT_TRUE(near_vector(m.nodes[1].Force[SLOT_BEND3], m.nodes[1].rForce[SLOT_BEND3], 0.0));
}

TEST(UnrotateForce, AQuarterTurnAboutZIsUndone) {
  HandModel m(1, 2);
  m.h.orientation = {std::cos(M_PI / 4), {0.0, 0.0, std::sin(M_PI / 4)}};
  for (auto &n : m.nodes) {
    n.force = {0.0, 1.0, 0.0};
    for (int k = 0; k < NUM_SLOTS; k++) n.Force[k] = {0.0, 1.0, 0.0};
  }
  unrotate_force(&m.h);
  for (auto &n : m.nodes) {
    EXPECT_TRUE(near_vector({1.0, 0.0, 0.0}, n.rforce, ROUNDING_TOL));
    for (int k : {0, 1, 2, 3, 4, 5, 10, 12})
      EXPECT_TRUE(near_vector({1.0, 0.0, 0.0}, n.rForce[k], ROUNDING_TOL)) << "slot " << k;
    for (int k : {6, 8, 9})
      EXPECT_TRUE(near_vector({0, 0, 0}, n.rForce[k], 0.0)) << "rigid slot " << k << " converted";
  }
}

// ---------------------------------------------------------------------------
// Nearest node within a force map's patch
// ---------------------------------------------------------------------------

// A 5 x 16 model of primitive kind 5: curve 1 of face 1 is an occluding
// contour of its curved side, curve 0 of face 0 is not.
struct PatchModel : HandModel {
  PatchModel() : HandModel(5, 16) { h.primitive_label = 5; }
  node *ortho(force_map fm, vector p, vector *sep = nullptr, double *d = nullptr) {
    vector s;
    double dist;
    return nearest_hybroid_node_ortho_projection(&h, &fm, p, sep ? sep : &s, d ? d : &dist);
  }
  node *perspective(force_map fm, vector p) {
    vector s;
    double d;
    return nearest_hybroid_node_perspective_projection(&h, &fm, p, &s, &d);
  }
};

//                          df_mode  face curve u1 u2  v1 v2
static const force_map PLAIN_WRAP = {DF_TRANS, 0, 0, 1, 2, 14, 1, 0};
static const force_map SILHOUETTE = {DF_TRANS, 1, 1, 0, 4, 0, 15, 0};

TEST(PatchSearch, AWrappingPatchScansToTheLastColumnAndOnFromTheFirst) {
  PatchModel m;
  m.place(1 * 16 + 15, {1.0, 0.0, -5.0});
  m.place(1 * 16 + 0, {-1.0, 0.0, -5.0});
  m.place(1 * 16 + 5, {0.0, 0.0, -5.0});  // nearer, but outside the patch
  m.place(3 * 16 + 15, {0.0, 0.0, -5.0});  // nearer, but on a row outside
  vector sep;
  double d;
  EXPECT_EQ(m.ortho(PLAIN_WRAP, {0.0, 0.0, -0.1}, &sep, &d), &m.at(1, 15))
      << "column 15 is met before column 0";
  EXPECT_EQ(d, 1.0);
  EXPECT_TRUE(near_vector({-1.0, 0.0, 4.9}, sep, ROUNDING_TOL));
  m.place(2 * 16 + 1, {0.0, 0.5, -5.0});
  EXPECT_EQ(m.ortho(PLAIN_WRAP, {0.0, 0.0, -0.1}), &m.at(2, 1)) << "the last column is scanned";
}

TEST(PatchSearch, OnAnOccludingContourOnlySilhouetteNodesAreCandidates) {
  PatchModel m;
  m.place(0, {0.0, 0.0, -5.0});
  m.nodes[0].rnormal = {0.0, 0.0, 0.15};
  m.place(1, {0.0, 2.0, -5.0});
  m.nodes[1].rnormal = {0.0, 0.0, -0.15};
  m.place(2, {0.0, 3.0, -5.0});
  m.nodes[2].rnormal = {1.0, 0.0, 0.14};
  for (int i = 3; i < 80; i++) m.nodes[i].rnormal = {0.0, 0.0, 1.0};
  EXPECT_EQ(m.ortho(SILHOUETTE, {0.0, 0.0, -0.1}), &m.nodes[2]);
  force_map plain = SILHOUETTE;
  plain.curve = 0;
  EXPECT_EQ(m.ortho(plain, {0.0, 0.0, -0.1}), &m.nodes[0]) << "other contours take every node";
}

TEST(PatchSearch, APatchWithEveryNodeOffTheSilhouetteFindsNothing) {
  PatchModel m;
  for (auto &n : m.nodes) n.rnormal = {0.0, 0.0, 1.0};
  vector sep = {1.0, 2.0, 3.0};
  double d;
  EXPECT_EQ(m.ortho(SILHOUETTE, {100.0, 100.0, -0.1}, &sep, &d), nullptr);
  EXPECT_TRUE(near_vector({1.0, 2.0, 3.0}, sep, 0.0));
  EXPECT_EQ(d, NO_MATCH_DISTANCE);
}

TEST(PatchSearch, PerspectiveComparesImagesAndRoundsTheSightLength) {
  PatchModel m;
  m.place(0, {0.0, 0.0, -5.0});
  m.nodes[0].proj_posit = {3.0, 0.0, -0.1};
  m.place(1, {3.0, 0.0, -5.0});
  m.nodes[1].proj_posit = {0.0, 0.0, -0.1};
  force_map row0 = {DF_TRANS, 0, 0, 0, 0, 0, 15, 0};
  EXPECT_EQ(m.perspective(row0, {0.0, 0.0, -0.1}), &m.nodes[1]);

  // |posit| = sqrt(3) is 1.7320507764816284 in single precision: the limit
  // 0.14 |posit| is 0.2424871087, below this node's 0.24248711 (the limit
  // with the double length, 0.2424871131, would keep it).
  for (auto &n : m.nodes) n.rnormal = {0.0, 0.0, 1.0};
  m.nodes[1].posit = {1.0, 1.0, -1.0};
  m.nodes[1].rnormal = {0.0, 0.0, -0.24248711};
  m.nodes[2].posit = {1.0, 1.0, -1.0};
  m.nodes[2].rnormal = {0.0, 0.0, -0.2424871};
  m.nodes[2].proj_posit = {1.0, 0.0, -0.1};
  force_map silhouette_row0 = SILHOUETTE;
  silhouette_row0.u2 = 0;
  EXPECT_EQ(m.perspective(silhouette_row0, {0.0, 0.0, -0.1}), &m.nodes[2]);
}

TEST(PatchSearch, RowsOutsideTheGridAreNotScanned) {
  PatchModel m;
  m.place(4 * 16 + 3, {0.0, 0.0, -5.0});
  force_map wide = {DF_TRANS, 0, 0, -2, 99, 0, 15, 0};
  EXPECT_EQ(m.ortho(wide, {0.0, 0.0, -0.1}), &m.at(4, 3));
  force_map above = {DF_TRANS, 0, 0, 7, 9, 0, 15, 0};
  EXPECT_EQ(m.ortho(above, {0.0, 0.0, -0.1}), nullptr);
  force_map negative_columns = {DF_TRANS, 0, 0, 4, 4, -13, -13, 0};  // column 3
  EXPECT_EQ(m.ortho(negative_columns, {0.0, 0.0, -0.1}), &m.at(4, 3));
}

TEST(ForcePass, ThePatchAndTheProjectionChooseTheSearch) {
  PatchModel m;
  m.place(0, {0.0, 0.0, -5.0});  // its image is far away
  m.nodes[0].proj_posit = {50.0, 0.0, -0.1};
  m.place(1, {50.0, 0.0, -5.0});
  m.nodes[1].proj_posit = {0.0, 0.0, -0.1};
  m.add_face(0, 1, {0.0, 0.0, -0.1}, 0, 0);
  force_map *fmp = m.add_map(DF_TRANS, 0);
  *fmp = {DF_TRANS, 0, 0, 0, 1, 0, 15, 0};
  m.h.df_mask = DF_TRANS;
  compute_range_data_forces_projection(&m.h);
  EXPECT_EQ(m.points[0][0].nearest_node, &m.nodes[0]) << "orthographic: positions";
  m.h.perspective_flag = 1;
  compute_range_data_forces_projection(&m.h);
  EXPECT_EQ(m.points[0][0].nearest_node, &m.nodes[1]) << "perspective: images";
  fmp->u1 = -1;
  compute_range_data_forces_projection(&m.h);
  EXPECT_EQ(m.points[0][0].nearest_node, &m.nodes[0]) << "no patch: positions, all nodes";
}

TEST(ForcePass, PointsOffEverySilhouetteExertNoForceAndLeaveTheMapUnchanged) {
  PatchModel m;
  for (auto &n : m.nodes) n.rnormal = {0.0, 0.0, 1.0};
  m.add_face(1, 6, {0.0, 0.0, -0.1}, 0, 5);
  m.h.face[1].n_curve = 2;
  m.h.face[1].begin[1] = 0;
  m.h.face[1].end[1] = 5;
  force_map *fmp = m.add_map(DF_TRANS, 1);
  *fmp = SILHOUETTE;
  m.h.df_mask = DF_TRANS;
  compute_range_data_forces_projection(&m.h);
  EXPECT_EQ(fmp->df_mode, DF_TRANS);
  EXPECT_EQ(m.h.force_cnt[SLOT_TOTAL], 0);
  EXPECT_EQ(m.h.force_cnt[SLOT_TRANS], 0);
  EXPECT_EQ(m.points_used(1), 0);
  for (auto &n : m.nodes) EXPECT_TRUE(near_vector({0, 0, 0}, n.Force[SLOT_TRANS], 0.0));
}

// ---------------------------------------------------------------------------
// A model built by the geometry, pulled by data taken from its own images
// ---------------------------------------------------------------------------

// Data at the images of a model's own grid nodes, matched through a patch
// over the whole grid (perspective: images) or without a patch (all nodes).
static void expect_own_images_match_exactly(int perspective, int patch) {
  testmodel::Shape shape;
  shape.a1 = 0.8;
  shape.a3 = 1.4;
  shape.e1 = 0.6;
  shape.tapx = 0.2;
  testmodel::Model m = testmodel::make_model(7, 8, shape);
  hybroid *h = m.get();
  h->translation = {0.3, -0.2, -5.0};
  h->perspective_flag = perspective;
  testmodel::refresh_model(h);
  std::vector<vector> images;
  for (int i = 0; i < h->numnodes - 2; i++) images.push_back(h->nodes[i].proj_posit);
  testmodel::add_face_points(h, 0, images);
  h->face[0].begin[0] = 0;
  h->face[0].end[0] = (int)images.size() - 1;
  h->force_map[0] = {DF_TRANS | DF_A1, 0, 0, patch ? 0 : -1, 6, 0, 7, 0};
  h->n_force = 1;
  h->df_mask = DF_TRANS | DF_A1;
  h->normal_force_flag = 1;
  compute_range_data_forces_projection(h);
  EXPECT_EQ(h->force_cnt[SLOT_TOTAL], (int)images.size());
  EXPECT_EQ(h->gof, 0.0);
  for (size_t i = 0; i < images.size(); i++) {
    EXPECT_EQ(h->face[0].points[i].mag_force, 0.0) << "point " << i;
    EXPECT_TRUE(near_vector({0, 0, 0}, h->face[0].points[i].force, 0.0)) << "point " << i;
  }
}

TEST(ForcePass, DataOnTheModelsOwnImagesFindNodesAtDistanceZero) {
  expect_own_images_match_exactly(0, 0);
  expect_own_images_match_exactly(0, 1);
  expect_own_images_match_exactly(1, 1);
}

// ---------------------------------------------------------------------------
// The nodes that carry force
// ---------------------------------------------------------------------------

// One pass's walks over the forces: reset, forces on the nodes pulled, the
// model-frame turn, net force and torque, generalized forces.  every_node
// forgets the force list before each walk, so that each takes every node.
static void walk_forces(hybroid *h, std::vector<int> pulled, bool every_node) {
  auto walk = [&](void (*f)(hybroid *)) {
    if (every_node) forget_force_nodes(h);
    f(h);
  };
  h->df_mask = DF_TRANS | DF_ROT | DF_A1 | DF_SC;
  h->orientation = {std::cos(0.3), {0.0, std::sin(0.3), 0.0}};
  walk(zeroize_force);
  force_map fm = {DF_TRANS | DF_ROT | DF_A1, 0, 0, -1, 0, 0, 0, 0};
  for (int i : pulled) {
    range_datapoint dp = {};
    dp.nearest_node = &h->nodes[i];
    perform_force_mapping(h, &fm, &dp, {0.5, -0.25, 0.125}, 0.5);
  }
  walk(unrotate_force);
  walk(compute_net_applied_force_and_torque);
  walk(compute_superquadric_generalized_force);
}

static bool same_bits(const vector &a, const vector &b) { return memcmp(&a, &b, sizeof a) == 0; }

TEST(ForceNodes, WalksOverTheMarkedNodesGiveTheBitsOfWalksOverEveryNode) {
  testmodel::Model listed = testmodel::make_model(3, 4), full = testmodel::make_model(3, 4);
  // The second pass no longer pulls node 1: it must leave every sum.
  const std::vector<int> passes[] = {{1, 9, 9}, {9, 5}};
  for (const auto &pulled : passes) {
    walk_forces(listed.get(), pulled, false);
    walk_forces(full.get(), pulled, true);
    hybroid *a = listed.get(), *b = full.get();
    EXPECT_TRUE(same_bits(a->net_applied_force, b->net_applied_force));
    EXPECT_TRUE(same_bits(a->net_applied_torque, b->net_applied_torque));
    EXPECT_EQ(memcmp(&a->fsc, &b->fsc, sizeof a->fsc), 0);
    EXPECT_EQ(memcmp(&a->fa1, &b->fa1, sizeof a->fa1), 0);
    for (int i = 0; i < a->numnodes; i++)
      for (int s : {SLOT_SC, SLOT_A1, SLOT_TRANS})
        EXPECT_TRUE(same_bits(a->nodes[i].Force[s], b->nodes[i].Force[s]) &&
                    same_bits(a->nodes[i].rForce[s], b->nodes[i].rForce[s]))
            << "node " << i << " slot " << s;
  }
  EXPECT_NE(listed->net_applied_torque.x, 0.0);  // the forces did act
}

// A unit sphere (a box of squareness 1, 15 x 16 mesh) in its start pose,
// orthographic; face 0 has one curve c along the background, its points on
// the true occluding contour, 5 degrees apart about the image direction of
// the face's middle (the model's +y axis).
struct OutlineSphere {
  hybroid *h = testmodel::build_model_without_data(1, 15, 16);
  std::vector<range_datapoint> points = std::vector<range_datapoint>(7);
  explicit OutlineSphere(int c) {
    vector centre = {0.0, 0.0, 0.0};
    for (int i = 0; i < h->numnodes; i++) centre = add_vector(centre, h->nodes[i].posit);
    double middle = atan2(h->rotation[1][1], h->rotation[0][1]);
    for (int k = 0; k < 7; k++)
      points[k].position = {centre.x / h->numnodes + cos(middle + (k - 3) * M_PI / 36),
                            centre.y / h->numnodes + sin(middle + (k - 3) * M_PI / 36),
                            -h->focal_length};
    Face &f = h->face[0];
    f = {7, points.data(), c + 1, {}, {}, 0, {}, {}, {}};
    for (int k = 0; k < c; k++) f.begin[k] = -1;
    f.end[c] = 6;
    f.outline[c] = 1;
    h->n_face = 1;
    init_dof_uv_mapping(h);
    h->force_map[0].df_mode = h->df_mask = DF_TRANS;
    prepare_geometry(h);
  }
  ~OutlineSphere() { h->face[0].points = nullptr; free_hybroid(h); }  // the vector owns them
  double largest_distance(int outline_match) {  // across the outline, of one pass
    h->outline_match = outline_match;
    compute_range_data_forces_projection(h);
    double most = 0.0;
    for (auto &dp : points) most = fmax(most, dp.mag_force);
    return most;
  }
};

// A silhouette node's normal lies within one mesh step (at most 22.5
// degrees) of the image plane: the node lies at most 1 - cos(22.5 degrees)
// of the radius inside the contour.  The face's edge lines run a tenth of
// the radius or more inside it, many times that.
static const double SILHOUETTE_SAGITTA = 1.0 - cos(M_PI / 8);
static const double EDGE_OVER_SILHOUETTE = 5.0;

TEST(OutlineMatch, ContourPointsOfARoundedBoxFindTheSilhouetteNotTheEdgesInside) {
  for (int c = 0; c < 4; c++) {
    OutlineSphere m(c);
    double edges = m.largest_distance(0);
    double outline = m.largest_distance(1);
    EXPECT_LT(outline, SILHOUETTE_SAGITTA) << "curve " << c;
    EXPECT_GT(edges, EDGE_OVER_SILHOUETTE * outline) << "curve " << c;
  }
}

// ---------------------------------------------------------------------------
// Distances across the contour curved between the nodes (smooth)
// ---------------------------------------------------------------------------

// A unit sphere (label 5) on a 15 x v mesh, turned by ax degrees about x and
// then ay about y: seen orthographically, its outline is the unit circle.
// With squareness e under 1 it is a rounded box (label 1) instead.
static testmodel::Model turned_sphere(double ax, double ay, int vsize = 16, double e = 1.0) {
  testmodel::Shape shape;
  shape.e1 = shape.e2 = e;
  testmodel::Model m = testmodel::make_model(15, vsize, shape);
  hybroid *h = m.get();
  h->primitive_label = e < 1.0 ? 1 : 5;
  double cx = cos(ax * M_PI / 180), sx = sin(ax * M_PI / 180);
  double cy = cos(ay * M_PI / 180), sy = sin(ay * M_PI / 180);
  double R[3][3] = {{cy, sx * sy, cx * sy}, {0.0, cx, -sx}, {-sy, sx * cy, cx * cy}};
  h->orientation = quaternion_from_rotation(R);
  rotation_from_quaternion(h->orientation, h->rotation);
  testmodel::refresh_model(h);
  return m;
}

// The distance of point p from node n of h across map fm, as the force
// pass measures it, with the option smooth or without.
static double distance_across_map(hybroid *h, force_map fm, node *n, vector p, bool smooth) {
  h->smooth_contours = smooth;
  range_datapoint dp = {};
  dp.nearest_node = n;
  vector s = {p.x - n->posit.x, p.y - n->posit.y, 0.0};
  double d = -1.0;
  compute_normal_force(h, &fm, &dp, &s, &d);
  return d;
}

// Points of a tilted ring halfway between the nodes, on a sphere and on one
// side of a rounded box (squareness 0.3), whose edge turns at the corners.
TEST(SmoothContours, APointOfATiltedRingBetweenTwoNodesLiesOnTheRing) {
  const struct { double e; int v1, v2; double gain; } rings[] = {{1.0, 0, 15, 20}, {0.3, 10, 14, 2}};
  for (const auto &r : rings) {
    testmodel::Model coarse = turned_sphere(60, 0, 16, r.e), fine = turned_sphere(60, 0, 32, r.e);
    const int row = 11;
    force_map rim = {DF_TRANS, 0, 0, row, row, r.v1, r.v2, 0};
    double plain = 0.0, smooth = 0.0;  // sums of squares, as the fit weighs them
    for (int j = r.v1; j < r.v2; j++) {  // fine column 2j + 1 lies halfway to coarse column j + 1
      vector p = testmodel::grid(fine.get(), row, 2 * j + 1).posit;
      node *n = &testmodel::grid(coarse.get(), row, j);
      plain += pow(distance_across_map(coarse.get(), rim, n, p, false), 2);
      smooth += pow(distance_across_map(coarse.get(), rim, n, p, true), 2);
    }
    EXPECT_GT(plain, 1e-4) << r.e;
    EXPECT_LT(sqrt(smooth), sqrt(plain) / r.gain) << r.e;
  }
}

TEST(SmoothContours, APointOnASpheresOutlineLiesOnItSeenFromAnySide) {
  const double turns[][2] = {{20, 0}, {50, 30}, {90, 10}};
  for (const auto &t : turns) {
    testmodel::Model m = turned_sphere(t[0], t[1]);
    hybroid *h = m.get();
    force_map outline = {DF_TRANS, 1, 1, 3, 11, 0, 15, 0};  // an occluding contour
    double mean[2] = {0.0, 0.0};                            // without smooth, with it
    int points = 0;
    for (int k = 0; k < 64; k++) {
      vector p = {cos(k * M_PI / 32), sin(k * M_PI / 32), 0.0}, s;
      // The contour runs between the map's rows (latitudes -45 .. 45 degrees).
      double model_z = h->rotation[0][2] * p.x + h->rotation[1][2] * p.y;
      if (fabs(model_z) > sin(M_PI / 4)) continue;
      points++;
      for (int smooth = 0; smooth < 2; smooth++) {
        h->smooth_contours = smooth;  // the option also widens the search
        double d;
        node *n = nearest_hybroid_node_ortho_projection(h, &outline, p, &s, &d);
        ASSERT_NE(nullptr, n);
        mean[smooth] += distance_across_map(h, outline, n, p, smooth);
      }
    }
    ASSERT_GT(points, 0);
    EXPECT_GT(mean[0] / points, 0.003) << t[0] << " " << t[1];
    EXPECT_LT(mean[1], mean[0] / 8) << t[0] << " " << t[1];
  }
}
