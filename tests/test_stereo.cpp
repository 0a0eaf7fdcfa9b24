// Stereo coupling: linking a pair, the depth-coupling step with its
// degenerate cases, the automatic stereo step and the stereo fitting loop.
#include <cmath>

#include "built_model.h"
#include "test_util.h"

namespace {

using testutil::near_vector;

// Exact-arithmetic cases: every quantity below is a small dyadic fraction.
const double EXACT = 0.0;
// Cases whose factor 1 + 0.05 s is not a dyadic fraction.
const double ROUNDING = 1e-15;

void set_identity(double m[3][3]) {
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) m[r][c] = (r == c);
}

// Two models with identity cameras and focal length 1, linked as a pair.
struct Pair {
  hybroid left{}, right{};
  Pair() {
    set_identity(left.camera_rotation);
    set_identity(right.camera_rotation);
    left.focal_length = right.focal_length = 1.0;
    stereo_couple(&left, &right);
  }
};

}  // namespace

TEST(StereoCouple, LinksTheTwoModelsToEachOther) {
  hybroid a{}, b{};
  stereo_couple(&a, &b);
  EXPECT_EQ(a.h_neigh, &b);
  EXPECT_EQ(b.h_neigh, &a);
}

TEST(StereoCouple, AMissingModelLeavesBothLinksAsTheyWere) {
  hybroid a{}, old{};
  a.h_neigh = &old;
  stereo_couple(&a, nullptr);
  stereo_couple(nullptr, &a);
  EXPECT_EQ(a.h_neigh, &old);
}

TEST(StereoMotion, IdenticalCamerasAndTranslationsDoNotMove) {
  Pair p;
  p.left.translation = p.right.translation = vector{0.5, -0.25, -4.0};
  compute_stereo_motion(&p.left);
  EXPECT_TRUE(near_vector({0.5, -0.25, -4.0}, p.left.translation, EXACT));
}

TEST(StereoMotion, ADiscrepancyOfTwoAlongTheRayImageScalesByOnePointOne) {
  // The partner camera sits 2 units to the right.  The model's origin
  // (0, 0, -2) images at (-1, 0) in the partner image and would move along
  // +x there if the model slid along its own ray; the partner's own origin
  // images at (1, 0), two units further along that direction.
  Pair p;
  p.right.camera_translation = vector{2.0, 0.0, 0.0};
  p.left.translation = vector{0.0, 0.0, -2.0};
  p.right.translation = vector{2.0, 0.0, -2.0};
  compute_stereo_motion(&p.left);
  EXPECT_TRUE(near_vector({0.0, 0.0, -1.0}, p.left.proj_trans, EXACT));
  EXPECT_TRUE(near_vector({1.0, 0.0, -1.0}, p.right.proj_trans, EXACT));
  EXPECT_TRUE(near_vector({-2.0, 0.0, -2.0}, p.left.rtranslation, EXACT));
  EXPECT_TRUE(near_vector({-1.0, 0.0, -1.0}, p.left.proj_rtrans, EXACT));
  EXPECT_TRUE(near_vector({0.0, 0.0, -2.0 * 1.1}, p.left.translation, ROUNDING));
}

TEST(StereoMotion, ADiscrepancyAgainstTheRayImageBringsTheModelCloser) {
  Pair p;
  p.right.camera_translation = vector{2.0, 0.0, 0.0};
  p.left.translation = vector{0.0, 0.0, -2.0};
  p.right.translation = vector{-6.0, 0.0, -2.0};  // images at (-3, 0): 2 units against E
  compute_stereo_motion(&p.left);
  EXPECT_TRUE(near_vector({0.0, 0.0, -2.0 * 0.9}, p.left.translation, ROUNDING));
}

TEST(StereoMotion, WithoutAPartnerNothingHappens) {
  hybroid h{};
  h.focal_length = 1.0;
  h.translation = vector{1.0, 2.0, -3.0};
  compute_stereo_motion(&h);
  EXPECT_TRUE(near_vector({1.0, 2.0, -3.0}, h.translation, EXACT));
}

TEST(StereoMotion, ZeroDepthInEitherCameraLeavesTheTranslationUnchanged) {
  {  // the model on its own camera plane
    Pair p;
    p.right.camera_translation = vector{2.0, 0.0, 0.0};
    p.left.translation = vector{1.0, 0.0, 0.0};
    p.right.translation = vector{2.0, 0.0, -2.0};
    compute_stereo_motion(&p.left);
    EXPECT_TRUE(near_vector({1.0, 0.0, 0.0}, p.left.translation, EXACT));
  }
  {  // the partner on its camera plane
    Pair p;
    p.right.camera_translation = vector{2.0, 0.0, 0.0};
    p.left.translation = vector{0.0, 0.0, -2.0};
    p.right.translation = vector{2.0, 0.0, 0.0};
    compute_stereo_motion(&p.left);
    EXPECT_TRUE(near_vector({0.0, 0.0, -2.0}, p.left.translation, EXACT));
  }
  {  // the model on the partner camera's plane
    Pair p;
    p.right.camera_translation = vector{0.0, 0.0, -2.0};
    p.left.translation = vector{0.0, 0.0, -2.0};
    p.right.translation = vector{0.0, 0.0, -2.0};
    compute_stereo_motion(&p.left);
    EXPECT_TRUE(near_vector({0.0, 0.0, -2.0}, p.left.translation, EXACT));
  }
}

TEST(StereoMotion, AnOriginOnItsOwnImagePlaneHasNoDirectionAndStays) {
  // Where orthographic fitting keeps every model (depth = -focal length),
  // sliding along the ray does not move the image: E has zero length.
  Pair p;
  p.right.camera_translation = vector{2.0, 0.0, 0.0};
  p.left.translation = vector{0.25, 0.0, -1.0};
  p.right.translation = vector{2.0, 0.5, -2.0};
  compute_stereo_motion(&p.left);
  EXPECT_TRUE(near_vector({0.25, 0.0, -1.0}, p.left.translation, EXACT));
  EXPECT_FALSE(std::isnan(p.left.translation.x));
}

TEST(StereoMotion, ProjectionsArePerspectiveWhateverTheFlag) {
  Pair p;
  p.left.perspective_flag = p.right.perspective_flag = 0;
  p.right.camera_translation = vector{2.0, 0.0, 0.0};
  p.left.translation = vector{0.0, 0.0, -2.0};
  p.right.translation = vector{2.0, 0.0, -2.0};
  compute_stereo_motion(&p.left);
  EXPECT_TRUE(near_vector({0.0, 0.0, -2.0 * 1.1}, p.left.translation, ROUNDING));
}

TEST(StereoMotion, ThePartnerCameraRotationIsUndone) {
  // The partner camera is turned a quarter turn about y and stands at
  // (4, 0, -2), looking along world -x at the model's origin (0, 0, -2),
  // which it sees at its image centre.  Sliding the model along its own ray
  // moves that image along the partner's +x; the partner's own origin
  // images 0.25 further that way.
  Pair p;
  double (*r)[3] = p.right.camera_rotation;
  r[0][0] = 0.0; r[0][2] = 1.0;
  r[2][0] = -1.0; r[2][2] = 0.0;
  p.right.camera_translation = vector{4.0, 0.0, -2.0};
  p.left.translation = vector{0.0, 0.0, -2.0};
  p.right.translation = vector{0.5, 0.0, -2.0};
  compute_stereo_motion(&p.left);
  EXPECT_TRUE(near_vector({0.0, 0.0, -4.0}, p.left.rtranslation, EXACT));
  EXPECT_TRUE(near_vector({0.0, 0.0, -1.0}, p.left.proj_rtrans, EXACT));
  EXPECT_TRUE(near_vector({0.0, 0.0, -2.0 * (1 + 0.05 * 0.25)}, p.left.translation, ROUNDING));
}

// ---- automatic stereo step ----

class StereoAuto : public ::testing::Test {
 protected:
  void SetUp() override {
    SKIP_UNLESS_FITTING_STEP_IS_BUILT();
    left = testmodel::build_model_without_data(5);
    right = testmodel::build_model_without_data(5);
    left->focal_length = right->focal_length = 1.0;
    right->camera_translation = vector{2.0, 0.0, 0.0};
  }
  void TearDown() override {
    if (left) free_hybroid(left);
    if (right) free_hybroid(right);
  }
  hybroid *left = nullptr, *right = nullptr;
};

TEST_F(StereoAuto, NothingChangingReturnsOne) {
  right->camera_translation = vector{0.0, 0.0, 0.0};  // identical cameras
  left->translation = right->translation = vector{0.0, 0.0, -2.0};
  EXPECT_EQ(compute_stereo_motion_auto(left, right), 1);
  EXPECT_EQ(left->df_mask, 0x100001);
  EXPECT_EQ(right->df_mask, 0x100001);
  EXPECT_EQ(left->h_neigh, right);
}

TEST_F(StereoAuto, ReturnsZeroWhileOnlyTheRightModelChanges) {
  left->translation = vector{0.0, 0.0, -1.0};   // on its image plane: cannot move
  right->translation = vector{2.0, 0.0, -2.0};
  EXPECT_EQ(compute_stereo_motion_auto(left, right), 0);
  EXPECT_EQ(left->diff, 0);
  EXPECT_EQ(right->diff & DF_TRANS, DF_TRANS);
}

TEST_F(StereoAuto, ReturnsZeroWhileOnlyTheLeftModelChanges) {
  left->translation = vector{0.0, 0.0, -2.0};
  right->translation = vector{2.0, 0.0, -1.0};  // on its image plane: cannot move
  EXPECT_EQ(compute_stereo_motion_auto(left, right), 0);
  EXPECT_EQ(left->diff & DF_TRANS, DF_TRANS);
  EXPECT_EQ(right->diff, 0);
}

TEST_F(StereoAuto, TheRightModelSeesTheLeftModelsNewTranslation) {
  left->translation = vector{0.0, 0.0, -2.0};
  right->translation = vector{2.0, 0.0, -2.0};
  compute_stereo_motion_auto(left, right);
  EXPECT_TRUE(near_vector({0.0, 0.0, -2.2}, left->translation, ROUNDING));
  // The left origin still images at (0, 0); the right origin images at
  // (2, 0) in the left image and would move along -x there, so the
  // discrepancy (0, 0) - (2, 0) is 2 along that direction.
  EXPECT_TRUE(near_vector({0.0, 0.0, -1.0}, left->proj_trans, ROUNDING));
  EXPECT_TRUE(near_vector({2.0 * 1.1, 0.0, -2.0 * 1.1}, right->translation, ROUNDING));
}

TEST(FitStereoViews, WithoutGraphicsItEndsWhenTheCouplingStopsChanging) {
  SKIP_UNLESS_FITTING_STEP_IS_BUILT();
  hybroid *left = testmodel::build_model_without_data(10);  // no schedule
  hybroid *right = testmodel::build_model_without_data(10);
  left->translation = right->translation = vector{0.0, 0.0, -2.0};
  fit_stereo_views(left, right);
  EXPECT_EQ(left->h_neigh, right);
  EXPECT_EQ(right->h_neigh, left);
  EXPECT_EQ(left->df_mask, 0x100001);  // the stereo step ran
  EXPECT_EQ(stop_flag, 0);
  free_hybroid(left);
  free_hybroid(right);
}
