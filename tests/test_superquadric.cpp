// Node geometry of the tapered and bent superquadric, the centre rules, and
// the camera-frame tangents and normals.
#include <cmath>
#include <string>
#include <tuple>

#include "model_fixture.h"
#include "test_util.h"

using testmodel::grid;
using testmodel::make_model;
using testmodel::north_pole;
using testmodel::Shape;
using testmodel::south_pole;
using testutil::near_vector;

// Closed-form values against the same formula evaluated in another order:
// a few units in the last place of numbers of size one.
static const double GEOM_TOL = 1e-13;
// A unit vector's length after normalisation.
static const double UNIT_TOL = 1e-12;
// Bent positions: the bending radius R (about 6) enters twice and cancels,
// so errors of a few ulps of R remain.
static const double BEND_TOL = 1e-12;
// Row latitudes come from repeated addition of the row step.
static const double ANGLE_TOL = 1e-14;
// Central differences with step 1e-5: truncation ~1e-10, cancellation ~1e-11.
static const double FD_STEP = 1e-5;
static const double FD_TOL = 1e-7;

static double dot(vector a, vector b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
static double norm(vector a) { return sqrt(dot(a, a)); }
static vector sub(vector a, vector b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
static vector unit(vector a) {
  double l = norm(a);
  return {a.x / l, a.y / l, a.z / l};
}
static vector cross(vector a, vector b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// A stand-alone node at (u, v) evaluated on model h's shape.
static node node_at(hybroid *h, double sinu, double cosu, double sinv, double cosv) {
  node n = {};
  n.sinu = sinu;
  n.cosu = cosu;
  n.sinv = sinv;
  n.cosv = cosv;
  compute_superquadric_node_taper_bend_normal(h, &n, h->sc * h->a1, h->sc * h->a2,
                                              h->sc * h->a3, h->e1, h->e2, 0);
  return n;
}
static node node_at(hybroid *h, double u, double v) {
  return node_at(h, sin(u), cos(u), sin(v), cos(v));
}

static Shape shape_of(double sc, double a1, double a2, double a3, double e1, double e2) {
  Shape s;
  s.sc = sc; s.a1 = a1; s.a2 = a2; s.a3 = a3; s.e1 = e1; s.e2 = e2;
  return s;
}

// ---------------------------------------------------------------------------
// Node geometry
// ---------------------------------------------------------------------------

TEST(NodeGeometry, UntaperedUnbentNodeIsThePlainSuperquadricPoint) {
  auto m = make_model(1, 2, shape_of(2.0, 1.0, 1.5, 2.0, 0.5, 1.5));
  // cos u = 0.8, sin u = 0.6; cos v = 0.96, sin v = -0.28; radii 2, 3, 4
  node n = node_at(m.get(), 0.6, 0.8, -0.28, 0.96);
  EXPECT_NEAR(n.spcue1cve2, sqrt(0.8) * pow(0.96, 1.5), GEOM_TOL);
  EXPECT_NEAR(n.spcue1sve2, -sqrt(0.8) * pow(0.28, 1.5), GEOM_TOL);
  EXPECT_NEAR(n.spsue1, sqrt(0.6), GEOM_TOL);
  EXPECT_TRUE(near_vector({2.0 * sqrt(0.8) * pow(0.96, 1.5), -3.0 * sqrt(0.8) * pow(0.28, 1.5),
                           4.0 * sqrt(0.6)},
                          n.refer, GEOM_TOL));
}

TEST(NodeGeometry, EllipsoidNormalsAreParallelToTheScaledPosition) {
  auto m = make_model(7, 12, shape_of(1.5, 1.0, 2.0, 3.0, 1.0, 1.0));
  double r1 = 1.5, r2 = 3.0, r3 = 4.5;
  for (int i = 0; i < m->numnodes; i++) {
    vector p = m->nodes[i].refer;
    vector expected = unit({p.x / (r1 * r1), p.y / (r2 * r2), p.z / (r3 * r3)});
    EXPECT_TRUE(near_vector(expected, m->nodes[i].normal, UNIT_TOL)) << "node " << i;
  }
}

// Nodes with chosen cos u, sin u: z0 = r3 (top), 0 (middle), -r3 (bottom),
// each with x0 = r1 cos v and y0 = r2 sin v.
TEST(NodeGeometry, TaperingScalesXByOneHalfAndZeroFromTopToBottom) {
  Shape s = shape_of(1.0, 2.0, 3.0, 4.0, 1.0, 1.0);
  s.tapx = 0.5;
  s.tapy = -0.4;
  auto m = make_model(1, 2, s);
  const double c = sqrt(0.5);
  const double sinu[3] = {1.0, 0.0, -1.0};
  const double xfactor[3] = {1.0, 0.5, 0.0};
  const double yfactor[3] = {1.0, 1.4, 1.8};
  for (int k = 0; k < 3; k++) {
    node n = node_at(m.get(), sinu[k], 1.0, c, c);
    EXPECT_NEAR(n.refer.x, xfactor[k] * 2.0 * c, GEOM_TOL) << k;
    EXPECT_NEAR(n.refer.y, yfactor[k] * 3.0 * c, GEOM_TOL) << k;
    EXPECT_NEAR(n.refer.z, 4.0 * sinu[k], GEOM_TOL) << k;
  }
}

// With bending radius R = 1/k about the centre (R, z_top) of the bending
// plane, a point keeps its distance from that centre and the axis, an arc of
// length 2 z_top, turns through bend1 * pi.
TEST(NodeGeometry, BendingKeepsTheTopAndTurnsTheFullHeightThroughBend1Pi) {
  const double bend3s[2] = {0.0, 0.7};
  for (double b3 : bend3s) {
    SCOPED_TRACE("bend3 = " + std::to_string(b3));
    Shape s = shape_of(2.0, 0.5, 0.8, 1.5, 1.0, 1.0);
    s.bend1 = 0.3;
    s.bend3 = b3;
    auto plain_shape = s;
    plain_shape.bend1 = 0.0;
    auto m = make_model(5, 8, s);
    auto plain = make_model(5, 8, plain_shape);
    double z_top = 3.0, k = 0.3 * M_PI / 2 / z_top, R = 1 / k;
    EXPECT_NEAR(m->bend_curv, k, GEOM_TOL);

    EXPECT_TRUE(near_vector({0, 0, z_top}, north_pole(m.get()).refer, GEOM_TOL));
    vector bottom = south_pole(m.get()).refer;
    double chord = norm(sub(bottom, north_pole(m.get()).refer));
    EXPECT_NEAR(chord, 2 * R * sin(0.3 * M_PI / 2), GEOM_TOL);
    // the bending plane is the vertical plane of direction (cos b3, -sin b3)
    EXPECT_NEAR(bottom.x * sin(b3) + bottom.y * cos(b3), 0.0, GEOM_TOL);
    // seen from the centre, the axis runs from the top at angle pi to the
    // bottom at angle pi + bend1 * pi (towards +rx, downwards)
    double phi = 0.3 * M_PI;
    EXPECT_NEAR(bottom.x * cos(b3) - bottom.y * sin(b3), R - R * cos(phi), BEND_TOL);
    EXPECT_NEAR(bottom.z, z_top - R * sin(phi), BEND_TOL);

    for (int i = 0; i < m->numnodes; i++) {
      vector p = plain->nodes[i].refer, q = m->nodes[i].refer;
      double rx = cos(b3) * p.x - sin(b3) * p.y, ry = sin(b3) * p.x + cos(b3) * p.y;
      double qx = cos(b3) * q.x - sin(b3) * q.y, qy = sin(b3) * q.x + cos(b3) * q.y;
      EXPECT_NEAR(qy, ry, GEOM_TOL) << "node " << i;
      EXPECT_NEAR(hypot(qx - R, q.z - z_top), fabs(rx - R), BEND_TOL) << "node " << i;
    }
  }
}

TEST(NodeGeometry, TinyBendingIsIgnoredAndLeavesTheCurvatureAlone) {
  Shape s = shape_of(1.0, 1.0, 1.0, 2.0, 1.0, 1.0);
  s.bend1 = -0.00001;
  auto m = make_model(3, 4, s);
  m->bend_curv = 42.0;
  compute_superquadric_taper_bend_normal(m.get());
  EXPECT_EQ(m->bend_curv, 42.0);
  EXPECT_TRUE(near_vector({0, 0, -2}, south_pole(m.get()).refer, 0.0));
  m->bend1 = -0.00002;
  compute_superquadric_taper_bend_normal(m.get());
  EXPECT_NEAR(m->bend_curv, -0.00002 * M_PI / 4, GEOM_TOL * 1e-5);
  EXPECT_NE(south_pole(m.get()).refer.x, 0.0);
}

// Unit sphere, tapx 0.5, tapy 0.25, at u = 0, v = pi/4: the point
// (0.5 c, 0.75 c, 0) with c = sqrt(1/2); the gradient (2X, 2Y, 0) divided by
// the taper factors 0.5 and 0.75 gives (sqrt 2, sqrt 2) in x and y, and z
// loses (tap/r3) x0 n / f^2 = 1 for x and 1/3 for y.
TEST(NodeGeometry, TaperingCorrectsTheNormal) {
  Shape s;
  s.tapx = 0.5;
  s.tapy = 0.25;
  auto m = make_model(1, 2, s);
  const double c = sqrt(0.5);
  node n = node_at(m.get(), 0.0, 1.0, c, c);
  EXPECT_TRUE(near_vector({0.5 * c, 0.75 * c, 0.0}, n.refer, GEOM_TOL));
  EXPECT_TRUE(near_vector(unit({sqrt(2.0), sqrt(2.0), -4.0 / 3.0}), n.normal, GEOM_TOL));
}

// Where a coordinate is exactly 0 and its power negative, the infinite
// component wins (e2 > 2 on the plane x = 0: a cusp of the cross-section)
// and undefined products 0 * inf drop out (the poles with e2 < e1).
TEST(NodeGeometry, SingularGradientKeepsTheDominantDirection) {
  auto cusp = make_model(1, 2, shape_of(1.0, 1.0, 2.0, 3.0, 1.0, 2.5));
  EXPECT_TRUE(near_vector({1, 0, 0}, node_at(cusp.get(), 0.0, 1.0, 1.0, 0.0).normal, 0.0));
  // e2 < e1: the power g is infinite at the poles, but x and y carry 0 * inf
  auto pointed = make_model(3, 4, shape_of(1.0, 1.0, 2.0, 3.0, 3.0, 1.0));
  EXPECT_TRUE(near_vector({0, 0, -1}, south_pole(pointed.get()).normal, 0.0));
  EXPECT_TRUE(near_vector({0, 0, 1}, north_pole(pointed.get()).normal, 0.0));
  // tapx 1 shrinks x to nothing at z = 0: dividing by the zero taper factor
  // makes x and z infinite, and both are kept
  Shape s = shape_of(1.0, 1.0, 2.0, 3.0, 1.0, 2.5);
  s.tapx = 1.0;
  auto pinched = make_model(1, 2, s);
  EXPECT_TRUE(near_vector({sqrt(0.5), 0, -sqrt(0.5)},
                          node_at(pinched.get(), 0.0, 1.0, 0.8, 0.6).normal, UNIT_TOL));
}

// With e2 < 2 and e1 <= e2 the poles' normals are the axis, tapered or not.
TEST(NodeGeometry, PoleNormalsPointAlongTheAxis) {
  const double e[][2] = {{1.0, 1.0}, {0.5, 1.5}, {1.0, 1.9}, {0.2, 0.2}};
  for (auto &ee : e) {
    Shape s = shape_of(1.0, 1.0, 2.0, 3.0, ee[0], ee[1]);
    s.tapx = 0.3;
    s.tapy = -0.2;
    auto m = make_model(3, 6, s);
    EXPECT_TRUE(near_vector({0, 0, -1}, south_pole(m.get()).normal, 0.0)) << ee[0] << " " << ee[1];
    EXPECT_TRUE(near_vector({0, 0, 1}, north_pole(m.get()).normal, 0.0)) << ee[0] << " " << ee[1];
  }
}

// Without tapering and bending the normal is the surface's, and in exact
// mode that of the tapered and bent surface: perpendicular to both surface
// tangents, which central differences approximate.
class NormalAgainstTangents : public ::testing::TestWithParam<std::tuple<double, double, int>> {};

// Allowed misalignment of a pole normal with a one-sided difference of step
// POLE_STEP along the bent axis: the step times the axis' curvature.
static const double POLE_STEP = 1e-7;
static const double POLE_TOL = 1e-6;

TEST_P(NormalAgainstTangents, NormalIsPerpendicularToTheSurfaceTangents) {
  auto [e1, e2, exact] = GetParam();
  Shape s = shape_of(1.3, 1.2, 0.8, 1.5, e1, e2);
  if (exact) s.tapx = 0.4, s.tapy = -0.3, s.bend1 = 0.5, s.bend3 = 0.6;
  auto m = make_model(1, 2, s);
  m->exact_geometry = exact;
  const double us[] = {-1.1, -0.5, 0.4, 0.9};
  const double vs[] = {-2.6, -1.9, -0.7, 0.5, 1.2, 2.3};
  for (double u : us)
    for (double v : vs) {
      node n = node_at(m.get(), u, v);
      vector tu = unit(sub(node_at(m.get(), u + FD_STEP, v).refer,
                           node_at(m.get(), u - FD_STEP, v).refer));
      vector tv = unit(sub(node_at(m.get(), u, v + FD_STEP).refer,
                           node_at(m.get(), u, v - FD_STEP).refer));
      EXPECT_NEAR(dot(n.normal, tu), 0.0, FD_TOL) << "u " << u << " v " << v;
      EXPECT_NEAR(dot(n.normal, tv), 0.0, FD_TOL) << "u " << u << " v " << v;
      EXPECT_GT(dot(n.normal, cross(tv, tu)), 0.0) << "outward at u " << u << " v " << v;
      EXPECT_NEAR(norm(n.normal), 1.0, UNIT_TOL);
    }
  if (!exact) return;
  EXPECT_TRUE(near_vector({0, 0, 1}, node_at(m.get(), 1, 0, 0, 1).normal, UNIT_TOL))
      << "the top is neither tapered nor bent";
  vector bottom = node_at(m.get(), -1, 0, 0, 1).refer;
  vector axis = unit(sub(node_at(m.get(), -1 + POLE_STEP, 0, 0, 1).refer, bottom));
  EXPECT_TRUE(near_vector({-axis.x, -axis.y, -axis.z}, node_at(m.get(), -1, 0, 0, 1).normal,
                          POLE_TOL))
      << "the south pole's normal points down the bent axis";
}

INSTANTIATE_TEST_SUITE_P(
    Exponents, NormalAgainstTangents,
    ::testing::Values(std::make_tuple(1.0, 1.0, 0), std::make_tuple(0.5, 1.5, 0),
                      std::make_tuple(2.0, 0.7, 0), std::make_tuple(0.3, 2.5, 0),
                      std::make_tuple(3.0, 3.0, 0), std::make_tuple(1.7, 1.2, 0),
                      std::make_tuple(1.0, 1.0, 1), std::make_tuple(0.5, 1.5, 1),
                      std::make_tuple(2.0, 0.7, 1), std::make_tuple(0.3, 1.9, 1),
                      std::make_tuple(1.7, 1.2, 1)));

// Zero raised to a negative power (e2 > 2 on the axis planes and at the
// poles, e2 < e1 at the poles) and zero taper factors must still give
// finite normals: unit length, or zero.
class FiniteNormals : public ::testing::TestWithParam<std::tuple<double, double, double>> {};

static void expect_finite_unit_or_zero(const node &n, const std::string &where) {
  vector v = n.normal;
  ASSERT_TRUE(std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z)) << where;
  double l = norm(v);
  EXPECT_TRUE(l == 0.0 || fabs(l - 1.0) <= UNIT_TOL) << where << " length " << l;
}

TEST_P(FiniteNormals, EveryNormalIsFiniteWithUnitLengthOrZero) {
  auto [e1, e2, bend1] = GetParam();
  Shape s = shape_of(1.0, 1.0, 1.5, 2.0, e1, e2);
  s.tapx = 0.5;  // zero taper factor at the unbent bottom
  s.tapy = -0.3;
  s.bend1 = bend1;
  s.bend3 = 0.3;
  auto m = make_model(9, 8, s);
  for (int exact = 0; exact <= 1; exact++) {
    m->exact_geometry = exact;
    compute_superquadric_taper_bend_normal(m.get());
    std::string mode = exact ? "exact " : "";
    for (int i = 0; i < m->numnodes; i++)
      expect_finite_unit_or_zero(m->nodes[i], mode + "node " + std::to_string(i));
    // exact zeros of cos v, sin v and sin u
    const double special[][4] = {{0, 1, 0, 1}, {0.5, sqrt(0.75), 1, 0}, {0, 1, -1, 0},
                                 {-0.5, sqrt(0.75), 0, -1}, {1, 0, 0, 1}, {-1, 0, 1, 0}};
    for (auto &sp : special)
      expect_finite_unit_or_zero(node_at(m.get(), sp[0], sp[1], sp[2], sp[3]), mode + "special node");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Exponents, FiniteNormals,
    ::testing::Combine(::testing::Values(0.1, 0.5, 1.0, 2.0, 2.5, 3.0),
                       ::testing::Values(0.1, 0.5, 1.0, 2.0, 2.5, 3.0),
                       ::testing::Values(0.0, 0.4)));

// ---------------------------------------------------------------------------
// Centre
// ---------------------------------------------------------------------------

static vector mean_refer(hybroid *h, int a, int b) {
  vector p = h->nodes[a].refer, q = h->nodes[b].refer;
  return {(p.x + q.x) / 2, (p.y + q.y) / 2, (p.z + q.z) / 2};
}

TEST(Centre, RulesOneAndTwoTakeTheAxisPointOfRowsEightAndTwoOfEleven) {
  auto m = make_model(11, 8, shape_of(1.0, 1.0, 1.3, 2.0, 0.7, 1.0));
  hybroid *h = m.get();
  h->center = 1;
  compute_new_center(h);
  EXPECT_TRUE(near_vector(mean_refer(h, 8 * 8, 8 * 8 + 4), h->model_center, 0.0));
  EXPECT_NEAR(grid(h, 8, 0).uu, M_PI / 4, ANGLE_TOL);
  EXPECT_NEAR(h->model_center.x, 0.0, GEOM_TOL);
  EXPECT_NEAR(h->model_center.y, 0.0, GEOM_TOL);
  EXPECT_NEAR(h->model_center.z, 2.0 * pow(sqrt(0.5), 0.7), GEOM_TOL);
  h->center = 2;
  compute_new_center(h);
  EXPECT_TRUE(near_vector(mean_refer(h, 2 * 8, 2 * 8 + 4), h->model_center, 0.0));
  EXPECT_NEAR(h->model_center.z, -2.0 * pow(sqrt(0.5), 0.7), GEOM_TOL);
}

TEST(Centre, RuleTwoOnThreeRowsOfFourIsTheMeanOfNodesZeroAndTwo) {
  Shape s;
  s.tapx = 0.3;
  s.bend1 = 0.2;
  auto m = make_model(3, 4, s);
  m->center = 2;
  compute_new_center(m.get());
  EXPECT_TRUE(near_vector(mean_refer(m.get(), 0, 2), m->model_center, 0.0));
}

TEST(Centre, RuleThreeTakesTheChosenNodeAndRuleFourTheOrigin) {
  auto m = make_model(5, 6, shape_of(1.0, 1.0, 2.0, 3.0, 1.0, 1.0));
  m->center = 3;
  m->u_center = 3;
  m->v_center = 5;
  compute_new_center(m.get());
  EXPECT_TRUE(near_vector(grid(m.get(), 3, 5).refer, m->model_center, 0.0));
  m->center = 4;
  compute_new_center(m.get());
  EXPECT_TRUE(near_vector({0, 0, 0}, m->model_center, 0.0));
}

TEST(Centre, UnknownRulesAndNodesOutsideTheGridLeaveTheCentre) {
  auto small = make_model(1, 4);
  auto m = make_model(5, 6);
  const vector kept = {0.25, -0.5, 0.75};
  struct { hybroid *h; int rule, u, v; } cases[] = {
      {m.get(), 0, 0, 0},      {m.get(), 7, 0, 0},      {m.get(), 3, 5, 0},
      {m.get(), 3, -1, 2},     {m.get(), 3, 2, 6},      {small.get(), 1, 0, 0},
      {small.get(), 2, 0, 0}};
  for (auto &c : cases) {
    c.h->model_center = kept;
    c.h->center = c.rule;
    c.h->u_center = c.u;
    c.h->v_center = c.v;
    compute_new_center(c.h);
    EXPECT_TRUE(near_vector(kept, c.h->model_center, 0.0)) << "rule " << c.rule;
  }
}

TEST(Centre, ShapePositionsAreMeasuredFromTheCentre) {
  auto m = make_model(5, 6, shape_of(1.0, 1.0, 2.0, 3.0, 1.0, 1.0));
  m->center = 3;
  m->u_center = 1;
  m->v_center = 2;
  compute_superquadric_taper_bend_new_center(m.get());
  vector c = grid(m.get(), 1, 2).refer;
  for (int i = 0; i < m->numnodes; i++)
    EXPECT_TRUE(near_vector(sub(m->nodes[i].refer, c), m->nodes[i].refer1, 0.0)) << i;
}

// ---------------------------------------------------------------------------
// Camera-frame normals and tangents
// ---------------------------------------------------------------------------

TEST(CameraNormals, AreTheModelNormalsTurnedByTheRotation) {
  auto m = make_model(3, 5, shape_of(1.0, 1.0, 2.0, 3.0, 0.8, 1.2));
  // 90 degrees about z
  double R[3][3] = {{0, -1, 0}, {1, 0, 0}, {0, 0, 1}};
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) m->rotation[r][c] = R[r][c];
  unrotate_normal(m.get());
  for (int i = 0; i < m->numnodes; i++) {
    vector n = m->nodes[i].normal;
    EXPECT_TRUE(near_vector({-n.y, n.x, n.z}, m->nodes[i].rnormal, 0.0)) << i;
  }
}

// On a sphere the chord between a node's two neighbours along a row or a
// column is parallel to the surface tangent at the node.
TEST(Tangents, FollowIncreasingLatitudeAndLongitudeOnASphere) {
  auto m = make_model(7, 10, shape_of(2.0, 1.0, 1.0, 1.0, 1.0, 1.0));
  for (int i = 1; i < 6; i++)
    for (int j = 0; j < 10; j++) {
      node &n = grid(m.get(), i, j);
      vector east = {-n.sinv, n.cosv, 0.0};
      vector north = {-n.sinu * n.cosv, -n.sinu * n.sinv, n.cosu};
      EXPECT_NEAR(dot(n.dXdv, east), 1.0, UNIT_TOL) << i << "," << j;
      EXPECT_NEAR(dot(n.dXdu, north), 1.0, UNIT_TOL) << i << "," << j;
    }
}

TEST(Tangents, FirstRowRunsFromTheSouthPoleAndLastRowToTheNorthPole) {
  Shape s = shape_of(1.0, 1.0, 1.5, 2.0, 0.6, 1.3);
  s.tapx = 0.2;
  auto m = make_model(4, 6, s);
  m->translation = {0.5, -1.0, -4.0};
  m->rotation[0][0] = m->rotation[1][1] = 0.6;
  m->rotation[0][1] = -0.8;
  m->rotation[1][0] = 0.8;
  testmodel::refresh_model(m.get());
  hybroid *h = m.get();
  for (int j = 0; j < 6; j++) {
    EXPECT_TRUE(near_vector(unit(sub(grid(h, 1, j).posit, south_pole(h).posit)),
                            grid(h, 0, j).dXdu, 0.0));
    EXPECT_TRUE(near_vector(unit(sub(north_pole(h).posit, grid(h, 2, j).posit)),
                            grid(h, 3, j).dXdu, 0.0));
  }
  EXPECT_TRUE(near_vector({0, 0, 0}, south_pole(h).dXdu, 0.0));
  EXPECT_TRUE(near_vector({0, 0, 0}, north_pole(h).dXdv, 0.0));
}

TEST(Tangents, CoincidentNeighboursGiveAZeroTangent) {
  auto m = make_model(3, 2);  // both column neighbours are the other column
  for (int i = 0; i < m->numnodes - 2; i++) {
    EXPECT_TRUE(near_vector({0, 0, 0}, m->nodes[i].dXdv, 0.0)) << i;
    EXPECT_NEAR(norm(m->nodes[i].dXdu), 1.0, UNIT_TOL) << i;
  }
}

TEST(TangentNormals, PointOutwardsAndEachPoleAveragesTwoOppositeNodes) {
  auto m = make_model(6, 8, shape_of(1.0, 1.0, 1.5, 2.0, 1.0, 1.0));
  compute_normal(m.get());
  for (int i = 0; i < m->numnodes - 2; i++)
    EXPECT_GT(dot(m->nodes[i].rnormal, m->nodes[i].posit), 0.0) << i;
  EXPECT_TRUE(near_vector({0, 0, -1}, south_pole(m.get()).rnormal, UNIT_TOL));
  EXPECT_TRUE(near_vector({0, 0, 1}, north_pole(m.get()).rnormal, UNIT_TOL));
  // the grid normals are the plain cross product, not normalised
  node &n = grid(m.get(), 2, 3);
  EXPECT_TRUE(near_vector(cross(n.dXdv, n.dXdu), n.rnormal, 0.0));
}
