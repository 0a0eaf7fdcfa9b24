// Shape dynamics: generalized forces on the shape parameters, their
// bookkeeping and trace line.  The derivatives are checked against central
// differences of a deformed superquadric evaluated here, forward, from its
// definition (tapering about the top, then circular bending).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "hybroid.h"
#include "model_fixture.h"
#include "test_util.h"

// Central differences with step FD_STEP of sums of about 60 node terms of
// size one: truncation about FD_STEP^2, rounding about 1e-16 / FD_STEP.
static const double FD_STEP = 1e-5;
static const double FD_TOL = 1e-7;

// Around bend1 = 0 the geometry skips bending below 1e-5, so the curvature
// limit is checked with wider steps: truncation about LIMIT_FD_STEP^2 times
// a third derivative of order ten.
static const double LIMIT_FD_STEP = 1e-3;
static const double LIMIT_FD_TOL = 1e-4;

// Closed-form values compared with the same expression evaluated here.
static const double ROUNDING_TOL = 1e-12;

static const int SHAPE_BITS = DF_SC | DF_A1 | DF_A2 | DF_A3 | DF_E1 | DF_E2 | DF_TAPX |
                              DF_TAPY | DF_BEND1 | DF_BEND2 | DF_BEND3;

// A model of usize x vsize grid nodes and two poles at the mesh's latitudes
// and longitudes (only the angles are set), with a fixed pseudo-random
// model-frame force on every node, the same in every slot.
struct ShapeModel {
  hybroid h = {};
  std::vector<node> nodes;

  ShapeModel(int usize = 5, int vsize = 8) {
    h.usize = usize;
    h.vsize = vsize;
    h.numnodes = usize * vsize + 2;
    nodes.assign(h.numnodes, node{});
    for (int i = 0; i < usize; i++)
      for (int j = 0; j < vsize; j++)
        set_angles(nodes[i * vsize + j], -M_PI / 2 + (i + 1) * M_PI / (usize + 1),
                   -M_PI + j * 2 * M_PI / vsize);
    set_pole(nodes[usize * vsize], -1.0);
    set_pole(nodes[usize * vsize + 1], 1.0);
    for (int i = 0; i < h.numnodes; i++)
      set_force(i, {std::sin(1.0 + i), std::cos(2.0 * i), 0.5 - std::sin(0.7 * i)});
    h.nodes = nodes.data();
    h.sc = 1.5;
    h.a1 = 0.8;
    h.a2 = 1.1;
    h.a3 = 1.3;
    h.e1 = 0.7;
    h.e2 = 1.2;
  }
  static void set_angles(node &n, double u, double v) {
    n.uu = u;
    n.vv = v;
    n.sinu = std::sin(u);
    n.cosu = std::cos(u);
    n.sinv = std::sin(v);
    n.cosv = std::cos(v);
  }
  // A pole lies exactly on the axis: cos u = 0.
  static void set_pole(node &n, double sinu) {
    n.uu = sinu * M_PI / 2;
    n.sinu = sinu;
    n.cosv = 1.0;
  }
  void set_force(int i, vector f) {
    for (int k = 0; k < NUM_SLOTS; k++) nodes[i].rForce[k] = f;
  }
};

// Signed power S(w, e) = sign(w) |w|^e.
static double signed_power(double w, double e) {
  return (w < 0 ? -1.0 : 1.0) * std::pow(std::fabs(w), e);
}

// Model-frame position of node n on the tapered (about the top) and bent
// superquadric with the shape of h.
static vector deformed_point(const hybroid &h, const node &n) {
  double r1 = h.sc * h.a1, r2 = h.sc * h.a2, r3 = h.sc * h.a3;
  double x = r1 * signed_power(n.cosu, h.e1) * signed_power(n.cosv, h.e2);
  double y = r2 * signed_power(n.cosu, h.e1) * signed_power(n.sinv, h.e2);
  double z = r3 * signed_power(n.sinu, h.e1);
  x *= 1 + h.tapx * (z - r3) / r3;
  y *= 1 + h.tapy * (z - r3) / r3;
  if (std::fabs(h.bend1) <= 1e-5) return {x, y, z};
  double k = h.bend1 * (M_PI / 2) / r3, R = 1 / k;
  double c3 = std::cos(h.bend3), s3 = std::sin(h.bend3);
  double rx = c3 * x - s3 * y, ry = s3 * x + c3 * y;
  double theta = k * (z - r3);
  double bx = std::cos(theta) * (rx - R) + R;
  double bz = -std::sin(theta) * (rx - R) + r3;
  return {c3 * bx + s3 * ry, -s3 * bx + c3 * ry, bz};
}

// Work of the node forces (slot 0, the same in every slot) over the
// positions: its derivative with respect to a parameter is that parameter's
// generalized force where the derivatives agree with the geometry.
static double work(const ShapeModel &m) {
  double w = 0;
  for (const node &n : m.nodes) {
    vector p = deformed_point(m.h, n);
    w += n.rForce[0].x * p.x + n.rForce[0].y * p.y + n.rForce[0].z * p.z;
  }
  return w;
}

// Central difference of the work with respect to the parameter *q.
static double work_derivative(ShapeModel &m, double *q) {
  double saved = *q;
  *q = saved + FD_STEP;
  double up = work(m);
  *q = saved - FD_STEP;
  double down = work(m);
  *q = saved;
  return (up - down) / (2 * FD_STEP);
}

TEST(GeneralizedForce, ScaleAndAxisForcesMatchTheGeometryWithoutTaperOrBending) {
  ShapeModel m;
  m.h.df_mask = SHAPE_BITS;
  compute_superquadric_generalized_force(&m.h);
  EXPECT_NEAR(m.h.fsc, work_derivative(m, &m.h.sc), FD_TOL);
  EXPECT_NEAR(m.h.fa1, work_derivative(m, &m.h.a1), FD_TOL);
  EXPECT_NEAR(m.h.fa2, work_derivative(m, &m.h.a2), FD_TOL);
  EXPECT_NEAR(m.h.fa3, work_derivative(m, &m.h.a3), FD_TOL);
  EXPECT_GT(std::fabs(m.h.fa1) + std::fabs(m.h.fa2) + std::fabs(m.h.fa3), 0.1)
      << "the forces must not vanish for the check to mean anything";
}

TEST(GeneralizedForce, TaperForcesDifferentiateTheTaperingAboutTheTop) {
  ShapeModel m;
  m.h.tapx = 0.3;
  m.h.tapy = -0.2;
  m.h.df_mask = DF_TAPX | DF_TAPY;
  compute_superquadric_generalized_force(&m.h);
  EXPECT_NEAR(m.h.ftx, work_derivative(m, &m.h.tapx), FD_TOL);
  EXPECT_NEAR(m.h.fty, work_derivative(m, &m.h.tapy), FD_TOL);
  EXPECT_NE(m.h.ftx, 0.0);
}

TEST(GeneralizedForce, BendingForcesMatchTheBentGeometry) {
  ShapeModel m;
  m.h.bend1 = 0.3;
  m.h.bend3 = 0.4;
  m.h.df_mask = DF_BEND1 | DF_BEND3;
  compute_superquadric_generalized_force(&m.h);
  double dk_dbend1 = (M_PI / 2) / (m.h.sc * m.h.a3);
  EXPECT_NEAR(m.h.fb1 * dk_dbend1, work_derivative(m, &m.h.bend1), FD_TOL)
      << "fb1 is the force on the curvature itself";
  EXPECT_NEAR(m.h.fb3, work_derivative(m, &m.h.bend3), FD_TOL);
  EXPECT_EQ(m.h.bend_curv, 0.3 * (M_PI / 2) / (m.h.a3 * m.h.sc));
}

TEST(GeneralizedForce, AnUnbentModelGetsTheLimitOfTheCurvatureForce) {
  ShapeModel m;
  m.h.bend3 = 0.4;
  m.h.bend_curv = 7.0;
  m.h.df_mask = DF_BEND1 | DF_BEND3;
  compute_superquadric_generalized_force(&m.h);
  double dk_dbend1 = (M_PI / 2) / (m.h.sc * m.h.a3);
  m.h.bend1 = LIMIT_FD_STEP;
  double up = work(m);
  m.h.bend1 = -LIMIT_FD_STEP;
  double down = work(m);
  EXPECT_NEAR(m.h.fb1 * dk_dbend1, (up - down) / (2 * LIMIT_FD_STEP), LIMIT_FD_TOL);
  EXPECT_NE(m.h.fb1, 0.0);
  EXPECT_EQ(m.h.fb3, 0.0) << "no bending direction force while unbent";
  EXPECT_EQ(m.h.bend_curv, 7.0) << "curvature is only stored when bent";
}

TEST(GeneralizedForce, ScaleRowTapersAboutTheMiddleAndHasNoBendingTermWithoutBend2) {
  // At the equator (Pz = 0) the middle-tapered scale row ignores tapering.
  ShapeModel m(1, 8);
  m.h.tapx = 0.5;
  m.h.tapy = 0.25;
  m.h.bend1 = 0.3;  // with bend2 = 0 the extra bending term vanishes
  m.h.bend3 = 0.4;
  m.h.df_mask = DF_SC;
  compute_superquadric_generalized_force(&m.h);
  double fsc = m.h.fsc;
  m.h.tapx = m.h.tapy = m.h.bend1 = m.h.bend3 = 0.0;
  compute_superquadric_generalized_force(&m.h);
  EXPECT_EQ(fsc, m.h.fsc);
  EXPECT_NEAR(m.h.fsc * m.h.sc, work(m), ROUNDING_TOL) << "D = (a1 Px, a2 Py, a3 Pz)";
}

TEST(GeneralizedForce, APoleAddsOnlyItsHeightAndTheBendingTermToTheScale) {
  ShapeModel m(1, 4);
  for (int i = 0; i < m.h.numnodes; i++) m.set_force(i, {0, 0, 0});
  int north = m.h.numnodes - 1;
  m.set_force(north, {2.0, 3.0, 5.0});
  m.h.tapx = m.h.tapy = 0.5;
  m.h.bend1 = 0.3;
  m.h.bend2 = 0.2;
  m.h.bend3 = 0.4;
  m.h.df_mask = SHAPE_BITS;
  compute_superquadric_generalized_force(&m.h);
  EXPECT_EQ(m.h.fa1, 0.0);
  EXPECT_EQ(m.h.fa2, 0.0);
  EXPECT_EQ(m.h.ftx, 0.0);
  EXPECT_EQ(m.h.fty, 0.0);
  double sa3 = m.h.sc * m.h.a3;
  double comb = M_PI * 0.4 * (1.0 + 0.2 / sa3);
  double bending = M_PI * 0.3 * 0.2 * 0.4 * std::sin(comb) / (m.h.sc * sa3);
  EXPECT_NEAR(m.h.fsc, 2.0 * bending + 5.0 * m.h.a3, ROUNDING_TOL);
  EXPECT_NEAR(m.h.fa3, 5.0 * m.h.sc, ROUNDING_TOL);
}

TEST(GeneralizedForce, NothingBeingFittedGivesZeroForces) {
  ShapeModel m;
  m.h.bend1 = 0.3;
  double *forces[] = {&m.h.fsc, &m.h.fa1, &m.h.fa2, &m.h.fa3, &m.h.fe1, &m.h.fe2,
                      &m.h.ftx, &m.h.fty, &m.h.fb1, &m.h.fb2, &m.h.fb3};
  for (double *f : forces) *f = 9.0;
  m.h.df_mask = 0;
  compute_superquadric_generalized_force(&m.h);
  for (double *f : forces) EXPECT_EQ(*f, 0.0) << "force " << f - &m.h.fsc;
}

// The squareness forces (both modes) and, in exact mode, every force are the
// true derivatives of the tapered and bent geometry.
TEST(GeneralizedForce, TrueDerivativesOfTheTaperedAndBentGeometry) {
  for (int exact = 0; exact <= 1; exact++) {
    ShapeModel m;
    m.h.tapx = 0.3;
    m.h.tapy = -0.2;
    m.h.bend1 = 0.35;
    m.h.bend2 = 0.2;  // not part of the geometry: no extra scale term
    m.h.bend3 = 0.4;
    m.h.exact_geometry = exact;
    m.h.extended_shape = 1;
    m.h.df_mask = SHAPE_BITS;
    compute_superquadric_generalized_force(&m.h);
    struct {
      const char *name;
      double force, *parameter;
    } rows[] = {{"e1", m.h.fe1, &m.h.e1}, {"e2", m.h.fe2, &m.h.e2},   {"sc", m.h.fsc, &m.h.sc},
                {"a1", m.h.fa1, &m.h.a1}, {"a2", m.h.fa2, &m.h.a2},   {"a3", m.h.fa3, &m.h.a3},
                {"tapx", m.h.ftx, &m.h.tapx}, {"tapy", m.h.fty, &m.h.tapy},
                {"bend1", m.h.fb1, &m.h.bend1}, {"bend3", m.h.fb3, &m.h.bend3}};
    for (int i = 0; i < (exact ? 10 : 2); i++) {
      EXPECT_NEAR(rows[i].force, work_derivative(m, rows[i].parameter), FD_TOL) << rows[i].name;
      EXPECT_GT(std::fabs(rows[i].force), 0.01) << rows[i].name << " must not vanish";
    }
  }
}

// The exact forces summed the plain way: every node in index order, its
// force on each true derivative.
static void every_node_exact_forces(hybroid &h, double f[10]) {
  for (int k = 0; k < 10; k++) f[k] = 0.0;
  shape_pass pass;
  begin_shape_pass(&h, &pass);
  auto dot = [](vector a, vector b) { return a.x * b.x + a.y * b.y + a.z * b.z; };
  for (int i = 0; i < h.numnodes; i++) {
    shape_derivatives d;
    compute_shape_derivatives(&h, &h.nodes[i], &pass, SHAPE_BITS, &d);
    const vector *F = h.nodes[i].rForce;
    f[0] += dot(F[SLOT_SC], d.e1), f[1] += dot(F[SLOT_SC], d.e2);
    f[2] += dot(F[SLOT_SC], d.sc), f[3] += dot(F[SLOT_A1], d.a1), f[4] += dot(F[SLOT_A2], d.a2);
    f[5] += dot(F[SLOT_A3], d.a3), f[6] += dot(F[SLOT_TAPX], d.tapx);
    f[7] += dot(F[SLOT_TAPY], d.tapy), f[8] += dot(F[SLOT_BEND1], d.bend1);
    f[9] += dot(F[SLOT_BEND3], d.bend3);
  }
}

// Most nodes carry no force and the pass goes by them; the sums keep every
// bit, also when a node without force has an infinite derivative (a
// squareness below 0 at the poles: 0 * inf is NaN).
TEST(GeneralizedForce, ExactForcesKeepEveryBitOfTheSumOverEveryNode) {
  for (double e1 : {0.7, -0.5}) {
    ShapeModel m;
    m.h.e1 = e1;
    m.h.tapx = 0.3, m.h.bend1 = 0.35, m.h.bend3 = 0.4;
    m.h.exact_geometry = m.h.extended_shape = 1;
    m.h.df_mask = SHAPE_BITS;
    for (int i = 0; i < m.h.numnodes; i++)
      if (i != 3 && i != 10) m.set_force(i, {i % 2 ? -0.0 : 0.0, 0.0, -0.0});
    compute_superquadric_generalized_force(&m.h);
    double got[10] = {m.h.fe1, m.h.fe2, m.h.fsc, m.h.fa1, m.h.fa2,
                      m.h.fa3, m.h.ftx, m.h.fty, m.h.fb1, m.h.fb3};
    double want[10];
    every_node_exact_forces(m.h, want);
    for (int k = 0; k < 10; k++) {
      if (std::isnan(want[k])) {
        EXPECT_TRUE(std::isnan(got[k])) << "force " << k << ", e1 " << e1;
      } else {
        EXPECT_EQ(std::memcmp(&got[k], &want[k], sizeof got[k]), 0) << "force " << k;
        EXPECT_NE(want[k], 0.0) << "force " << k;
      }
    }
    if (e1 < 0) {
      EXPECT_TRUE(std::isnan(want[2])) << "the singular case must be singular";
    }
  }
}

TEST(GeneralizedForce, ExponentsAndBend2NeverGetAForce) {
  ShapeModel m;
  m.h.bend1 = 0.3;
  m.h.bend2 = 0.2;
  m.h.fe1 = m.h.fe2 = m.h.fb2 = 9.0;
  m.h.df_mask = SHAPE_BITS;
  compute_superquadric_generalized_force(&m.h);
  EXPECT_EQ(m.h.fe1, 0.0);
  EXPECT_EQ(m.h.fe2, 0.0);
  EXPECT_EQ(m.h.fb2, 0.0);
  EXPECT_NE(m.h.fb3, 0.0);
}

TEST(GeneralizedForce, EachForceReadsOnlyItsOwnSlot) {
  ShapeModel m;
  m.h.tapx = 0.3;
  m.h.tapy = -0.2;
  m.h.bend1 = 0.3;
  m.h.bend3 = 0.4;
  m.h.df_mask = SHAPE_BITS;
  compute_superquadric_generalized_force(&m.h);
  double before[] = {m.h.fsc, m.h.fa1, m.h.fa2, m.h.fa3, m.h.ftx, m.h.fty, m.h.fb1, m.h.fb3};
  const int slots[] = {SLOT_SC, SLOT_A1, SLOT_A2, SLOT_A3, SLOT_TAPX, SLOT_TAPY,
                       SLOT_BEND1, SLOT_BEND3};
  for (int k = 0; k < 8; k++) {
    for (node &n : m.nodes) n.rForce[slots[k]] = {0, 0, 0};
    compute_superquadric_generalized_force(&m.h);
    double after[] = {m.h.fsc, m.h.fa1, m.h.fa2, m.h.fa3, m.h.ftx, m.h.fty, m.h.fb1, m.h.fb3};
    for (int j = 0; j < 8; j++) {
      if (j <= k)
        EXPECT_EQ(after[j], 0.0) << "force " << j << " after clearing slot " << slots[k];
      else
        EXPECT_EQ(after[j], before[j]) << "force " << j << " after clearing slot " << slots[k];
    }
  }
}

TEST(GeneralizedForce, ForcesAreSumsNotMeans) {
  ShapeModel one(2, 2), two(2, 2);
  for (int i = 0; i < one.h.numnodes; i++) {
    one.set_force(i, {0, 0, 0});
    two.set_force(i, {0, 0, 0});
  }
  // Node 3 of both models carries the force; the second model also has it on
  // node 0, moved to node 3's place.
  one.set_force(3, {1.0, 2.0, 3.0});
  two.set_force(3, {1.0, 2.0, 3.0});
  two.nodes[0] = two.nodes[3];
  one.h.df_mask = two.h.df_mask = DF_SC | DF_A1 | DF_A2 | DF_A3;
  compute_superquadric_generalized_force(&one.h);
  compute_superquadric_generalized_force(&two.h);
  EXPECT_EQ(two.h.fsc, 2 * one.h.fsc);
  EXPECT_EQ(two.h.fa1, 2 * one.h.fa1);
  EXPECT_EQ(two.h.fa3, 2 * one.h.fa3);
  EXPECT_NE(one.h.fa1, 0.0);
}

TEST(GeneralizedForce, BookkeepingKeepsTheSixMainForcesInOrder) {
  hybroid h = {};
  h.fsc = 1;
  h.fa1 = 2;
  h.fa2 = 3;
  h.fa3 = 4;
  h.fe1 = 99;
  h.ftx = 5;
  h.fty = 6;
  bookkeep_generalized_force(&h);
  const double expected[] = {1, 2, 3, 4, 5, 6};
  EXPECT_TRUE(testutil::near_array(expected, h.qforce_pr, 6, 0.0));
}

// The trace line of one call, read back from a scratch file.
static std::string trace_line(hybroid *h) {
  FILE *fp = tmpfile();
  fprintf_suq_force_params(fp, h);
  rewind(fp);
  char buf[512] = {0};
  if (!fgets(buf, sizeof buf, fp)) buf[0] = 0;
  fclose(fp);
  return buf;
}

TEST(GeneralizedForce, TraceLineCountsCallsAndShowsTheFittedBits) {
  hybroid h = {};
  h.sc = 1.5;
  h.a1 = 0.25;
  h.tapy = -0.125;
  h.df_mask = DF_A1 | DF_TRANS;
  h.fsc = 2.0;
  h.fty = -3.5;
  int first = 0, second = 0;
  sscanf(trace_line(&h).c_str(), "%d", &first);
  std::string line = trace_line(&h);
  sscanf(line.c_str(), "%d", &second);
  EXPECT_EQ(second, first + 1);
  char expected[256];
  snprintf(expected, sizeof expected,
           "%d   1.5000   0.2500   0.0000   0.0000   0.0000  -0.1250 2050   2.0000   0.0000"
           "   0.0000   0.0000   0.0000  -3.5000\n",
           second);
  EXPECT_EQ(line, expected);
}

// ---------------------------------------------------------------------------
// Shape update (recomputes the node geometry afterwards)
// ---------------------------------------------------------------------------

// A ShapeModel ready for an update: centre at the superquadric's origin,
// unit inverse damping for every parameter, time step 1 (shape step 0.1).
struct UpdateModel : ShapeModel {
  UpdateModel() {
    h.center = 4;
    h.dt = 1.0;
    double *c_inv[] = {&h.c_inv_sc, &h.c_inv_a1, &h.c_inv_a2, &h.c_inv_a3, &h.c_inv_e1,
                       &h.c_inv_e2, &h.c_inv_tx, &h.c_inv_ty, &h.c_inv_b1, &h.c_inv_b2,
                       &h.c_inv_b3};
    for (double *c : c_inv) *c = 1.0;
  }
};

TEST(ShapeUpdate, ParametersMoveByATenthOfTheStepTimesDampingTimesForce) {
  UpdateModel m;
  m.h.dt = 0.5;
  m.h.c_inv_sc = 2.0;
  m.h.fsc = 3.0;
  m.h.c_inv_a3 = 4.0;
  m.h.fa3 = -0.5;
  m.h.fb1 = 1.0;
  m.h.fb3 = -2.0;
  m.h.df_mask = DF_SC | DF_A3 | DF_BEND1 | DF_BEND3;
  compute_superquadric_deformation(&m.h);
  EXPECT_EQ(m.h.sc, 1.5 + 0.05 * 2.0 * 3.0);
  EXPECT_EQ(m.h.a3, 1.3 + 0.05 * 4.0 * -0.5);
  EXPECT_EQ(m.h.bend1, 0.05 * 1.0 * 1.0);
  EXPECT_EQ(m.h.bend3, 0.05 * 1.0 * -2.0);
  EXPECT_EQ(m.h.a1, 0.8);
  EXPECT_EQ(m.h.a2, 1.1);
}

TEST(ShapeUpdate, SymmetricAxesMoveTogetherByBothSteps) {
  UpdateModel m;
  m.h.a12_symmetric = 1;
  m.h.c_inv_a2 = 0.5;
  m.h.fa1 = 2.0;
  m.h.fa2 = 3.0;  // stale, still added
  m.h.df_mask = DF_A1;
  compute_superquadric_deformation(&m.h);
  double d = 0.1 * 1.0 * 2.0 + 0.1 * 0.5 * 3.0;
  EXPECT_EQ(m.h.a1, 0.8 + d);
  EXPECT_EQ(m.h.a2, 1.1 + d);

  UpdateModel apart;
  apart.h.fa1 = 2.0;
  apart.h.fa2 = 3.0;
  apart.h.df_mask = DF_A1;
  compute_superquadric_deformation(&apart.h);
  EXPECT_EQ(apart.h.a1, 0.8 + 0.1 * 2.0);
  EXPECT_EQ(apart.h.a2, 1.1);
}

TEST(ShapeUpdate, SymmetricTaperingMovesTogether) {
  UpdateModel m;
  m.h.txy_symmetric = 1;
  m.h.ftx = 1.0;
  m.h.fty = -3.0;
  m.h.df_mask = DF_TAPY;
  compute_superquadric_deformation(&m.h);
  EXPECT_EQ(m.h.tapx, 0.1 * 1.0 + 0.1 * -3.0);
  EXPECT_EQ(m.h.tapy, m.h.tapx);
}

TEST(ShapeUpdate, SizesAreHeldAtTheLowerBoundButTaperingIsNot) {
  UpdateModel m;
  m.h.a1 = 0.01;
  m.h.fa3 = -100.0;
  m.h.ftx = -100.0;
  m.h.fa2 = std::nan("");
  m.h.df_mask = DF_A1 | DF_A2 | DF_A3 | DF_TAPX;
  compute_superquadric_deformation(&m.h);
  EXPECT_EQ(m.h.a1, 0.01) << "exactly at the bound stays";
  EXPECT_EQ(m.h.a2, 0.01) << "not a number becomes the bound";
  EXPECT_EQ(m.h.a3, 0.01);
  EXPECT_EQ(m.h.tapx, 0.1 * -100.0);
  EXPECT_EQ(m.h.sc, 1.5);

  UpdateModel above;
  above.h.a1 = 0.0100001;
  above.h.df_mask = 0;
  compute_superquadric_deformation(&above.h);
  EXPECT_EQ(above.h.a1, 0.0100001);
}

TEST(ShapeUpdate, ExponentsAndBend2KeepTheirValuesThroughAFullStep) {
  UpdateModel m;
  m.h.bend1 = 0.2;
  m.h.bend2 = 0.3;
  m.h.df_mask = SHAPE_BITS;
  compute_superquadric_generalized_force(&m.h);
  compute_superquadric_deformation(&m.h);
  EXPECT_EQ(m.h.e1, 0.7);
  EXPECT_EQ(m.h.e2, 1.2);
  EXPECT_EQ(m.h.bend2, 0.3);
}

TEST(ShapeUpdate, HugeForcesLeaveTheFreedParametersWithinTheShapeBounds) {
  for (double sign : {1.0, -1.0}) {
    UpdateModel m;
    m.h.extended_shape = 1;
    m.h.a1 = 2.0, m.h.a3 = 0.8;  // wide and short: the fold comes before a half turn
    m.h.bend3 = 0.3;
    m.h.fe1 = m.h.fe2 = m.h.ftx = m.h.fty = m.h.fb1 = sign * 1e9;
    m.h.fb3 = std::nan("");
    m.h.df_mask = DF_E1 | DF_E2 | DF_TAPX | DF_TAPY | DF_BEND1 | DF_BEND3;
    compute_superquadric_deformation(&m.h);
    EXPECT_TRUE(m.h.e1 >= 0.1 && m.h.e1 <= 2.0 && m.h.e2 >= 0.1 && m.h.e2 <= 2.0);
    EXPECT_TRUE(m.h.tapx >= -1.0 && m.h.tapx <= 0.5) << "above 0.5 the bottom turns inside out";
    EXPECT_EQ(m.h.bend3, 0.3) << "a step that gives no number is not taken";
    EXPECT_EQ(m.h.bend1 > 0.0, sign > 0.0) << "bent the way the force pulls";
    EXPECT_LT(std::fabs(m.h.bend1), 1.0);
    // No node lies beyond the centre of its bending arc: k rx < 1 for the
    // tapered point turned into the bending plane.
    hybroid flat = m.h;
    flat.bend1 = 0.0;
    double k = m.h.bend1 * (M_PI / 2) / (m.h.sc * m.h.a3);
    for (const node &n : m.nodes) {
      vector p = deformed_point(flat, n);
      EXPECT_LT(k * (std::cos(m.h.bend3) * p.x - std::sin(m.h.bend3) * p.y), 1.0);
      EXPECT_TRUE(std::isfinite(n.refer.x + n.refer.y + n.refer.z + n.normal.x + n.normal.y));
    }
  }
}

TEST(ShapeUpdate, NothingFittedStillRecomputesTheGeometry) {
  UpdateModel m;
  m.h.tapx = 0.3;
  m.h.tapy = -0.2;
  m.h.bend1 = 0.3;
  m.h.bend3 = 0.4;
  m.h.df_mask = 0;
  compute_superquadric_deformation(&m.h);
  for (const node &n : m.nodes) {
    vector p = deformed_point(m.h, n);
    EXPECT_TRUE(testutil::near_vector(p, n.refer, ROUNDING_TOL));
    EXPECT_TRUE(testutil::near_vector(p, n.refer1, ROUNDING_TOL)) << "centre at the origin";
  }
}

// ---------------------------------------------------------------------------
// Shape dynamics end to end: data forces, model-frame forces, generalized
// forces and updates, repeated
// ---------------------------------------------------------------------------

// A quarter turn about x: the model's x-z plane becomes the image plane, so
// the meridians of columns 0 and vsize / 2 are the silhouette in an
// orthographic image, and a2 lies along the line of sight.
static void turn_on_its_side(hybroid *h) {
  double c = std::cos(M_PI / 4), s = std::sin(M_PI / 4);
  h->orientation = {c, {s, 0.0, 0.0}};
  double r[3][3] = {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}};
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) h->rotation[i][j] = r[i][j];
  h->translation = {0.0, 0.0, -5.0};
  testmodel::refresh_model(h);
}

// Images of the silhouette nodes of a model turned on its side.
static std::vector<vector> silhouette_images(hybroid *h) {
  std::vector<vector> images;
  for (int i = 0; i < h->usize; i++) {
    images.push_back(testmodel::grid(h, i, 0).proj_posit);
    images.push_back(testmodel::grid(h, i, h->vsize / 2).proj_posit);
  }
  images.push_back(testmodel::south_pole(h).proj_posit);
  images.push_back(testmodel::north_pole(h).proj_posit);
  return images;
}

// One shape step as the fitting cycle takes it, without rigid motion.
static void take_shape_step(hybroid *h) {
  testmodel::refresh_model(h);
  zeroize_force(h);
  for (int k = 0; k < NUM_SLOTS; k++) h->force_cnt[k] = 0;
  compute_range_data_forces_projection(h);
  unrotate_force(h);
  compute_superquadric_generalized_force(h);
  compute_superquadric_deformation(h);
}

// Steps of 0.01 times forces of order one: a few hundred steps settle.
static const int SHAPE_STEPS = 400;
static const double SIZE_TOL = 0.02;  // relative

TEST(ShapeDynamics, VisibleAxisSizesGrowToMatchDataFromALargerModel) {
  testmodel::Shape truth;
  truth.a1 = 1.2;
  truth.a3 = 1.5;
  testmodel::Model target = testmodel::make_model(9, 12, truth);
  turn_on_its_side(target.get());
  std::vector<vector> images = silhouette_images(target.get());

  testmodel::Shape start = truth;
  start.a1 /= 1.2;
  start.a3 /= 1.2;
  testmodel::Model model = testmodel::make_model(9, 12, start);
  hybroid *h = model.get();
  turn_on_its_side(h);
  testmodel::add_face_points(h, 0, images);
  h->face[0].begin[0] = 0;
  h->face[0].end[0] = (int)images.size() - 1;
  h->force_map[0] = {DF_A1 | DF_A3, 0, 0, -1, 8, 0, 11, 0};
  h->n_force = 1;
  h->df_mask = DF_A1 | DF_A3;
  h->dt = 0.1;
  h->c_inv_a1 = h->c_inv_a3 = 1.0;

  take_shape_step(h);
  double first_gof = h->gof;
  for (int step = 1; step < SHAPE_STEPS; step++) take_shape_step(h);
  EXPECT_LT(h->gof, first_gof / 10);
  EXPECT_NEAR(h->a1, truth.a1, SIZE_TOL * truth.a1);
  EXPECT_NEAR(h->a3, truth.a3, SIZE_TOL * truth.a3);
  EXPECT_EQ(h->a2, 1.0) << "not fitted";
}

// Exact mode with the squareness free: two silhouette meridians of a model
// turned on its side, each mapped to its own column of the mesh, give back
// sizes, squareness, taper and bend (the built-in forces, which taper the
// sizes about the middle, settle short of the first shape).
TEST(ShapeDynamics, ExactFitRecoversSquarenessTaperAndBendFromTwoSilhouettes) {
  const double truths[][3] = {{0.4, 0.2, 0.3}, {1.5, -0.3, 0.2}};  // e1, tapx, bend1
  for (auto &t : truths) {
    testmodel::Shape truth;
    truth.a1 = 1.2, truth.a3 = 1.5, truth.e1 = t[0], truth.tapx = t[1], truth.bend1 = t[2];
    testmodel::Model target = testmodel::make_model(15, 16, truth);
    turn_on_its_side(target.get());
    testmodel::Model model = testmodel::make_model(15, 16);
    hybroid *h = model.get();
    turn_on_its_side(h);
    for (int f = 0; f < 2; f++) {
      std::vector<vector> meridian;
      for (int i = 0; i < 15; i++)
        meridian.push_back(testmodel::grid(target.get(), i, 8 * f).proj_posit);
      testmodel::add_face_points(h, f, meridian);
      h->face[f].end[0] = 14;  // one curve of all points
      h->force_map[f] = {DF_A1 | DF_A3 | DF_TAPX | DF_BEND1, f, 0, 0, 14, 8 * f, 8 * f, 0};
    }
    h->n_force = 2;
    h->exact_geometry = h->extended_shape = h->normal_force_flag = 1;
    h->df_mask = DF_A1 | DF_A3 | DF_E1 | DF_TAPX | DF_BEND1;
    h->dt = 0.1;  // shape steps of 0.01
    h->c_inv_a1 = h->c_inv_a3 = h->c_inv_e1 = h->c_inv_tx = h->c_inv_b1 = 1.0;
    for (int step = 0; step < 4000 && (step == 0 || h->gof > 1e-7); step++) take_shape_step(h);
    const double got[] = {h->a1, h->a3, h->e1, h->tapx, h->bend1};
    const double want[] = {1.2, 1.5, t[0], t[1], t[2]};
    EXPECT_TRUE(testutil::near_array(want, got, 5, 1e-4)) << "e1 " << t[0];
  }
}
