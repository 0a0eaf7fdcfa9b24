// Per-step rescaling of the inverse damping coefficients and the average
// linear dimension.
#include <cmath>
#include <cstring>

#include "Mqmalloc.h"
#include "test_util.h"

namespace {

// Each rescaled coefficient is one or two divisions and a product of exact
// inputs; a few ulps of the unit scale.
const double kRounding = 1e-15;

// A label-5 model whose primitive has distinct damping coefficients, so that
// a coefficient taken from the wrong slot shows.
class DampingFactor : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(hybroid_parameter, 0, sizeof hybroid_parameter);
    hyb_param &p = hybroid_parameter[4];
    p.c_inv_trans = 2.0;  p.c_inv_transz = 3.0; p.c_inv_rot = 5.0;  p.c_inv_rotz = 7.0;
    p.c_inv_sc = 11.0;    p.c_inv_a1 = 13.0;    p.c_inv_a2 = 17.0;  p.c_inv_a3 = 19.0;
    p.c_inv_tx = 23.0;    p.c_inv_ty = 29.0;    p.c_inv_b1 = 31.0;  p.c_inv_b3 = 37.0;
    h = (hybroid *)Mqcalloc_checked(1, sizeof(hybroid));
    h->primitive_label = 5;
    h->avg_dim = 4.0;
    h->sc = 1.5;
  }
  void TearDown() override {
    Mqfree(h);
    memset(hybroid_parameter, 0, sizeof hybroid_parameter);
  }
  hybroid *h = nullptr;
};

TEST_F(DampingFactor, ZeroizeClearsAllSixteenCounts) {
  for (int k = 0; k < NUM_SLOTS; k++) h->force_cnt[k] = k + 1;
  zeroize_damping_factor(h);
  for (int k = 0; k < NUM_SLOTS; k++) EXPECT_EQ(h->force_cnt[k], 0) << "slot " << k;
}

TEST_F(DampingFactor, TheFactorFollowsTheDegreesOfFreedomBeingFitted) {
  h->force_cnt[SLOT_TRANS] = 4;
  struct { int mask; double fac; } cases[] = {
      {0x380e, 0.3},            // translation, both rotations, a1, a2, a3
      {0x380e | 0x10000, 0.3},  // the first rule wins
      {0x380c, 1.0},            // a1 missing: not the full set
      {0x10000, 0.15},          // whole-force mode
      {0x30000, 1.0},           // normal force off comes before whole force
      {0x2, 1.0},
  };
  for (auto c : cases) {
    h->df_mask = c.mask;
    compute_damping_factor(h);
    EXPECT_NEAR(h->c_inv_trans, c.fac / 4 * 2.0, kRounding) << std::hex << "mask " << c.mask;
  }
}

TEST_F(DampingFactor, EachCoefficientIsDividedByTheCountOfItsOwnSlot) {
  h->df_mask = DF_A1;  // factor 1
  int counts[NUM_SLOTS] = {2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0, 13, 0, 0, 99};
  memcpy(h->force_cnt, counts, sizeof counts);
  compute_damping_factor(h);
  EXPECT_NEAR(h->c_inv_sc, 1.0 / 2 * 1.5 / 4.0 * 11.0, kRounding);
  EXPECT_NEAR(h->c_inv_a1, 13.0 / 3, kRounding);
  EXPECT_NEAR(h->c_inv_a2, 17.0 / 4, kRounding);
  EXPECT_NEAR(h->c_inv_a3, 19.0 / 5, kRounding);
  EXPECT_NEAR(h->c_inv_tx, 23.0 / 6, kRounding);
  EXPECT_NEAR(h->c_inv_ty, 29.0 / 7, kRounding);
  EXPECT_NEAR(h->c_inv_trans, 2.0 / 8, kRounding);
  EXPECT_NEAR(h->c_inv_transz, 3.0 / 9, kRounding);
  EXPECT_NEAR(h->c_inv_rot, 5.0 / 10 / 4.0, kRounding);
  EXPECT_NEAR(h->c_inv_rotz, 7.0 / 11 / 4.0, kRounding);
  EXPECT_NEAR(h->c_inv_b1, 31.0 / 12, kRounding);
  EXPECT_NEAR(h->c_inv_b3, 37.0 / 13, kRounding);
  EXPECT_EQ(h->c_inv_roty, h->c_inv_rot);
}

TEST_F(DampingFactor, WithoutCountsCoefficientsKeepThePrimitiveValuesButRotationAboutZStops) {
  h->c_inv_e1 = 0.25;  // not the primitive's business
  compute_damping_factor(h);
  EXPECT_EQ(h->c_inv_trans, 2.0);
  EXPECT_EQ(h->c_inv_rot, 5.0);
  EXPECT_EQ(h->c_inv_roty, 5.0);
  EXPECT_EQ(h->c_inv_rotz, 0.0);
  EXPECT_EQ(h->c_inv_sc, 11.0);
  EXPECT_EQ(h->c_inv_b3, 37.0);
  EXPECT_EQ(h->c_inv_e1, 0.25);
}

TEST_F(DampingFactor, RepeatedCallsDoNotAccumulate) {
  h->df_mask = DF_TRANS;
  h->force_cnt[SLOT_TRANS] = 4;
  h->force_cnt[SLOT_ROT] = 2;
  compute_damping_factor(h);
  EXPECT_EQ(h->c_inv_trans, 0.5);
  double rot = h->c_inv_rot;
  compute_damping_factor(h);
  EXPECT_EQ(h->c_inv_trans, 0.5);
  EXPECT_EQ(h->c_inv_rot, rot);
}

TEST_F(DampingFactor, HeightDampingDoublesWhenTheTopOrTheBottomIsMissing) {
  h->force_cnt[SLOT_A3] = 1;
  h->n_face = 3;
  h->face[1].n_points = 10;
  h->face[1].begin[0] = 0;  // lower rim seen
  h->face[1].begin[2] = 5;  // upper rim seen
  compute_damping_factor(h);
  EXPECT_EQ(h->c_inv_a3, 19.0);  // both rims seen
  h->face[0].n_points = -1;
  h->face[1].begin[2] = -1;  // no top at all
  compute_damping_factor(h);
  EXPECT_EQ(h->c_inv_a3, 38.0);
  h->face[0].n_points = 4;  // the top face itself is seen
  compute_damping_factor(h);
  EXPECT_EQ(h->c_inv_a3, 19.0);
  h->face[2].n_points = -1;
  h->face[1].begin[0] = -1;  // no bottom at all
  compute_damping_factor(h);
  EXPECT_EQ(h->c_inv_a3, 38.0);
  h->n_face = 2;  // only a three-face model is judged
  compute_damping_factor(h);
  EXPECT_EQ(h->c_inv_a3, 19.0);
}

// ---------------------------------------------------------------------------
// Average linear dimension
// ---------------------------------------------------------------------------

class AverageDimension : public ::testing::Test {
 protected:
  void SetUp() override { h = (hybroid *)Mqcalloc_checked(1, sizeof(hybroid)); }
  void TearDown() override {
    for (int f = 0; f < MAX_FACES; f++) Mqfree(h->face[f].points);
    Mqfree(h);
  }
  // Face f with n points; point j at (j, j^2 / 10, -0.1) so that every pair
  // of points has its own distance.
  Face &make_face(int f, int n) {
    Face &fc = h->face[f];
    fc.n_points = n;
    fc.points = (range_datapoint *)Mqcalloc_checked(n, sizeof(range_datapoint));
    for (int j = 0; j < n; j++) fc.points[j].position = {(double)j, j * j / 10.0, -0.1};
    for (int c = 0; c < MAX_CURVES; c++) fc.begin[c] = fc.end[c] = -1;
    if (h->n_face < f + 1) h->n_face = f + 1;
    return fc;
  }
  static double dist(const Face &fc, int a, int b) {
    return std::hypot(fc.points[a].position.x - fc.points[b].position.x,
                      fc.points[a].position.y - fc.points[b].position.y);
  }
  int run(std::string *err) {
    testing::internal::CaptureStderr();
    int r = compute_average_linear_dimension(h);
    *err = testing::internal::GetCapturedStderr();
    return r;
  }
  hybroid *h = nullptr;
};

TEST_F(AverageDimension, AFaceWithOneCurveIsMeasuredToTheMiddleOfTheCurve) {
  Face &fc = make_face(0, 10);
  fc.n_curve = 1;
  fc.begin[0] = 0;
  fc.end[0] = 9;
  std::string err;
  int r = run(&err);
  EXPECT_NEAR(h->avg_dim, dist(fc, 0, 4), kRounding);
  EXPECT_EQ(r, (int)dist(fc, 0, 4));
  char expected[64];
  snprintf(expected, sizeof expected, "Average dimension = %lf\n", dist(fc, 0, 4));
  EXPECT_EQ(err, expected);
}

TEST_F(AverageDimension, CurvesOfAFaceWithSeveralAreMeasuredEndToEndAndAveraged) {
  Face &fc = make_face(1, 20);
  fc.n_curve = 3;
  fc.begin[0] = 0;  fc.end[0] = 9;
  fc.begin[2] = 10; fc.end[2] = 19;  // curve 1 absent
  h->face[0].n_points = -1;          // face 0 unseen
  std::string err;
  run(&err);
  EXPECT_NEAR(h->avg_dim, (dist(fc, 0, 9) + dist(fc, 10, 19)) / 2, kRounding);
}

TEST_F(AverageDimension, AWrappingSingleCurveUsesTheIndexHalfWayBetweenItsEnds) {
  Face &fc = make_face(0, 20);
  fc.n_curve = 1;
  fc.begin[0] = 16;
  fc.end[0] = 3;  // 16..19, 0..3
  std::string err;
  run(&err);
  EXPECT_NEAR(h->avg_dim, dist(fc, 16, 9), kRounding);
}

TEST_F(AverageDimension, AModelWithoutCurvesGetsOne) {
  Face &fc = make_face(0, 5);
  fc.n_curve = 2;  // both absent
  std::string err;
  EXPECT_EQ(run(&err), 1);
  EXPECT_EQ(h->avg_dim, 1.0);
  EXPECT_EQ(err, "Average dimension = 1.000000\n");
}

TEST_F(AverageDimension, CurvesWithoutExtentGetOneSoThatTheDampingStaysFinite) {
  Face &fc = make_face(0, 5);
  fc.n_curve = 2;
  fc.begin[0] = fc.end[0] = 2;  // a single point
  fc.begin[1] = 3;
  fc.end[1] = 4;
  fc.points[4].position = fc.points[3].position;  // two points that coincide
  std::string err;
  EXPECT_EQ(run(&err), 1);
  EXPECT_EQ(h->avg_dim, 1.0);
  // The rotational damping is divided by it.
  h->primitive_label = 5;
  hybroid_parameter[4].c_inv_rot = 0.5;
  h->force_cnt[SLOT_ROT] = 1;
  compute_damping_factor(h);
  EXPECT_TRUE(std::isfinite(h->c_inv_rot));
  hybroid_parameter[4] = hyb_param{};
}

}  // namespace
