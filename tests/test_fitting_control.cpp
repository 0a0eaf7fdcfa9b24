// Fitting control: the schedules, the convergence test, the manual choice of
// degrees of freedom, the automatic step and the single-view fitting loop.
#include <cmath>
#include <memory>

#include "built_model.h"
#include "gl.h"
#include "test_util.h"

namespace {

// A zero-filled model with an identity pose saved as its previous pose, so
// that the convergence test sees "nothing moved" until a test changes a
// field.
std::unique_ptr<hybroid> still_model(double ftol) {
  auto h = std::make_unique<hybroid>();
  h->ftol = ftol;
  h->sc = h->sc_pr = 1.0;
  h->a1 = h->a1_pr = h->a2 = h->a2_pr = h->a3 = h->a3_pr = 1.0;
  h->translation = h->translation_pr = vector{0.0, 0.0, -1.0};
  h->orientation = h->orientation_pr = quaternion{1.0, {0.0, 0.0, 0.0}};
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) h->rotation[r][c] = h->rotation_pr[r][c] = (r == c);
  return h;
}

// Rotation matrix of a unit quaternion, row-major.
void rotation_of(const quaternion &q, double m[3][3]) {
  double w = q.w, x = q.v.x, y = q.v.y, z = q.v.z;
  m[0][0] = 1 - 2 * (y * y + z * z); m[0][1] = 2 * (x * y - w * z); m[0][2] = 2 * (x * z + w * y);
  m[1][0] = 2 * (x * y + w * z); m[1][1] = 1 - 2 * (x * x + z * z); m[1][2] = 2 * (y * z - w * x);
  m[2][0] = 2 * (x * z - w * y); m[2][1] = 2 * (y * z + w * x); m[2][2] = 1 - 2 * (x * x + y * y);
}

void turn_about_camera_z(hybroid *h, double angle) {
  h->orientation = quaternion{cos(angle / 2), {0.0, 0.0, sin(angle / 2)}};
  rotation_of(h->orientation, h->rotation);
}

}  // namespace

// ---- schedules ----

TEST(FittingRules, EachSupportedLabelGetsItsScheduleEndedByZero) {
  const std::vector<int> label1 = {0x1b3000, 0x123000, 0x103000, 0x103800,
                                   0x10000e, 0x10380e, 0x380e};
  const std::vector<int> label5 = {0x100800, 0x100006, 0x191000, 0x101000,
                                   0x181806, 0x1806, 0x102008, 0x380e};
  const std::vector<int> label6 = {0x100800, 0x100006, 0x191000, 0x101806,
                                   0x1000c8, 0x102000, 0x1038ce, 0x38ce};
  for (auto [label, expected] : {std::pair{1, label1}, {5, label5}, {6, label6}}) {
    hybroid h{};
    h.primitive_label = label;
    h.fitting_index = 3;
    init_fitting_rules(&h);
    EXPECT_EQ(h.fitting_index, 0);
    for (size_t i = 0; i < expected.size(); i++)
      EXPECT_EQ(h.fitting_sequence[i], expected[i]) << "label " << label << " entry " << i;
    for (int i = (int)expected.size(); i < MAX_SEQUENCE; i++)
      EXPECT_EQ(h.fitting_sequence[i], 0) << "label " << label << " entry " << i;
  }
}

TEST(FittingRules, OtherLabelsGetAnEmptySchedule) {
  for (int label : {0, 2, 10, 11}) {
    hybroid h{};
    h.fitting_sequence[0] = 0x800;  // left over from an earlier label
    h.primitive_label = label;
    init_fitting_rules(&h);
    for (int i = 0; i < MAX_SEQUENCE; i++) EXPECT_EQ(h.fitting_sequence[i], 0);
  }
}

// ---- convergence test ----

TEST(FitChanging, AModelThatDidNotMoveIsNotChanging) {
  auto h = still_model(0.001);
  h->diff = 0xffff;
  EXPECT_EQ(fit_changing(h.get()), 0);
  EXPECT_EQ(h->diff, 0);
}

TEST(FitChanging, AChangeEqualToTheBoundDoesNotCount) {
  auto h = still_model(0.125);
  h->sc_pr = 4.0;
  h->sc = 4.5;  // 0.5 is not greater than 0.125 * 4
  EXPECT_EQ(fit_changing(h.get()), 0);
  h->sc = 4.625;
  EXPECT_EQ(fit_changing(h.get()), DF_SC);
  EXPECT_EQ(h->diff, DF_SC);
}

TEST(FitChanging, AxesAreRelativeAndTapersAbsolute) {
  auto h = still_model(0.125);
  h->a1_pr = h->a2_pr = h->a3_pr = 8.0;
  h->a1 = 9.0;      // 1 = 0.125 * 8: not counted
  h->a2 = 9.0625;   // counted
  h->a3 = 6.875;    // shrinking counts too
  h->tapx_pr = 2.0;
  h->tapx = 2.125;  // equal to the bound
  h->tapy = -0.25;  // from 0: beyond the bound
  EXPECT_EQ(fit_changing(h.get()), DF_A2 | DF_A3 | DF_TAPY);
}

TEST(FitChanging, TranslationLengthsAreRoundedToSinglePrecision) {
  auto h = still_model(0.125);
  // |dt| = 0.125 + 1e-12 is beyond the bound in double precision but is
  // 0.125 in single precision, which equals the bound.
  h->translation = vector{0.125 + 1e-12, 0.0, -1.0};
  EXPECT_EQ(fit_changing(h.get()) & DF_TRANS, 0);
  h->translation = vector{0.126, 0.0, -1.0};
  EXPECT_EQ(fit_changing(h.get()) & DF_TRANS, DF_TRANS);
}

TEST(FitChanging, TheLooseToleranceBitOfTheCurrentEntryMultipliesByTen) {
  auto h = still_model(0.01);
  h->sc = 1.05;  // beyond 0.01, within 0.1
  h->fitting_sequence[0] = DF_SPARSE | DF_TRANS;
  h->fitting_sequence[1] = DF_LOOSE_TOL | DF_SPARSE | DF_TRANS;
  h->fitting_index = 0;
  EXPECT_EQ(fit_changing(h.get()), DF_SC);
  h->fitting_index = 1;
  EXPECT_EQ(fit_changing(h.get()), 0);
  h->sc = 1.11;
  EXPECT_EQ(fit_changing(h.get()), DF_SC);
}

TEST(FitChanging, ATurnAboutTheCameraAxisOfASymmetricModelIsNoChange) {
  auto h = still_model(0.125);
  h->a12_symmetric = 1;
  turn_about_camera_z(h.get(), 0.5);  // row 2 of the rotation stays (0, 0, 1)
  h->translation = vector{0.0625, 0.0, -1.0};
  h->d_ang = 7.0;
  EXPECT_EQ(fit_changing(h.get()), 0);
  EXPECT_EQ(h->d_ang, 7.0);  // the orientation tests were skipped
  EXPECT_TRUE(testutil::near_vector({0.0625, 0.0, 0.0}, h->axis_diff, 0.0));
}

TEST(FitChanging, TheSameTurnOfAnAsymmetricModelIsJudgedByTheQuaternion) {
  auto h = still_model(0.125);
  h->a12_symmetric = 0;
  turn_about_camera_z(h.get(), 0.5);
  // w changes by cos(0.25) - 1 (within the bound), but the unit axis jumps
  // from zero to (0, 0, 1).
  EXPECT_EQ(fit_changing(h.get()), DF_ROT);
  EXPECT_DOUBLE_EQ(h->d_ang, cos(0.25) - 1.0);
  EXPECT_TRUE(testutil::near_vector({0.0, 0.0, 1.0}, h->axis_diff, 1e-7));
}

TEST(FitChanging, ASymmetricModelTiltingItsAxisIsJudgedByTheQuaternion) {
  auto h = still_model(0.125);
  h->a12_symmetric = 1;
  h->orientation = quaternion{cos(0.25), {sin(0.25), 0.0, 0.0}};  // 0.5 rad about x
  rotation_of(h->orientation, h->rotation);
  EXPECT_EQ(fit_changing(h.get()), DF_ROT);
}

TEST(FitChanging, ASmallTurnWithinTheBoundIsNotCounted) {
  auto h = still_model(0.125);
  h->orientation_pr = quaternion{cos(0.25), {0.0, sin(0.25), 0.0}};
  rotation_of(h->orientation_pr, h->rotation_pr);
  h->orientation = quaternion{cos(0.3), {0.0, sin(0.3), 0.0}};  // same axis, a bit further
  rotation_of(h->orientation, h->rotation);
  EXPECT_EQ(fit_changing(h.get()), 0);
  EXPECT_TRUE(testutil::near_vector({0.0, 0.0, 0.0}, h->axis_diff, 1e-7));
}

// ---- automatic step ----

TEST(MotionAuto, ALabelWithoutScheduleIsFinishedAtOnceAndDoesNothingElse) {
  hybroid h{};  // no nodes: any geometry or force call would touch nothing
  h.primitive_label = 10;
  init_fitting_rules(&h);
  h.df_mask = 0x800;
  h.sc = 2.0;
  EXPECT_EQ(compute_motion_auto(&h), 1);
  EXPECT_EQ(h.df_mask, 0);
  EXPECT_EQ(h.sc_pr, 0.0);  // not even the bookkeeping ran
  EXPECT_EQ(compute_motion_auto(&h), 1);
}

TEST(MotionAuto, AnIndexPastTheTableCountsAsFinished) {
  hybroid h{};
  for (int &e : h.fitting_sequence) e = DF_TRANS;
  h.fitting_index = MAX_SEQUENCE;
  EXPECT_EQ(compute_motion_auto(&h), 1);
  EXPECT_EQ(h.df_mask, 0);
}

TEST(MotionAuto, AModelThatDoesNotMoveAdvancesThroughItsWholeSchedule) {
  SKIP_UNLESS_FITTING_STEP_IS_BUILT();
  hybroid *h = testmodel::build_model_without_data(5);
  vector start = h->translation;
  for (int i = 0; i < 8; i++) {
    ASSERT_EQ(compute_motion_auto(h), 0) << "entry " << i;
    EXPECT_EQ(h->fitting_index, i + 1);
    EXPECT_EQ(h->diff, 0);
  }
  EXPECT_EQ(compute_motion_auto(h), 1);
  EXPECT_EQ(h->df_mask, 0);
  EXPECT_TRUE(testutil::near_vector(start, h->translation, 0.0));
  free_hybroid(h);
}

TEST(MotionAuto, TheEntrySetsTheForceOptions) {
  SKIP_UNLESS_FITTING_STEP_IS_BUILT();
  hybroid *h = testmodel::build_model_without_data(1);
  compute_motion_auto(h);  // 0x1b3000: no normal force, sparse sampling
  EXPECT_EQ(h->df_mask, 0x1b3000);
  EXPECT_EQ(h->normal_force_flag, 0);
  EXPECT_EQ(h->subsample, 5);
  h->fitting_index = 6;    // 0x380e: normal force, all points
  compute_motion_auto(h);
  EXPECT_EQ(h->normal_force_flag, 1);
  EXPECT_EQ(h->subsample, 0);
  free_hybroid(h);
}

// ---- manual step ----

class ManualDof : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testmodel::is_built([] { gl_test_reset(); }))
      GTEST_SKIP() << "the input layer's test hooks are not built yet";
    gl_test_reset();
  }
  void TearDown() override {
    if (!IsSkipped()) gl_test_reset();
  }
  int mask_for(std::initializer_list<Device> keys) {
    gl_test_reset();
    for (Device k : keys) gl_test_set_button(k, 1);
    hybroid h{};
    h.df_mask = 0x7fffffff;
    choose_fitting_dof(&h);
    return h.df_mask;
  }
};

TEST_F(ManualDof, NoKeyHeldSelectsNothing) { EXPECT_EQ(mask_for({}), 0); }

TEST_F(ManualDof, EachFunctionKeyAndTheZeroKeyAddTheirBits) {
  const int expected[11] = {0x800, 0x1000, 0x2000, 0x2, 0x4, 0x8,
                            0xc0, 0x1, 0x100, 0x200000, 0x10000};
  for (int n = 0; n < 11; n++)
    EXPECT_EQ(mask_for({(Device)(DEV_F1 + n)}), expected[n]) << "F" << n + 1;
  EXPECT_EQ(mask_for({DEV_0}), 0x400);
}

TEST_F(ManualDof, KeysHeldTogetherCombineAndOtherKeysAddNothing) {
  EXPECT_EQ(mask_for({DEV_F1, (Device)(DEV_F1 + 1), (Device)(DEV_F1 + 3), DEV_F12, DEV_T, DEV_1}),
            0x1802);
}

TEST_F(ManualDof, F10WithoutAPartnerSkipsTheCoupling) {
  SKIP_UNLESS_FITTING_STEP_IS_BUILT();
  hybroid *h = testmodel::build_model_without_data(5);
  h->translation = vector{0.5, 0.25, -2.0};
  gl_test_set_button(DEV_F1 + 9, 1);
  choose_fitting_dof(h);
  ASSERT_EQ(h->df_mask, DF_STEREO);
  compute_motion(h);
  EXPECT_TRUE(testutil::near_vector({0.5, 0.25, -2.0}, h->translation, 0.0));
  free_hybroid(h);
}

TEST_F(ManualDof, F10CouplesThePartnerToo) {
  SKIP_UNLESS_FITTING_STEP_IS_BUILT();
  // The partner camera sits 2 units to the right; both focal lengths 1.  The
  // partner's origin image is 2 units off along the direction in which the
  // model's origin would move, so one coupling scales its translation by 1.1.
  hybroid *h = testmodel::build_model_without_data(5);
  hybroid *r = testmodel::build_model_without_data(5);
  stereo_couple(h, r);
  h->focal_length = r->focal_length = 1.0;
  h->camera_translation = vector{2.0, 0.0, 0.0};
  h->translation = vector{2.0, 0.0, -2.0};
  r->translation = vector{0.0, 0.0, -2.0};
  gl_test_set_button(DEV_F1 + 9, 1);
  h->df_mask = 0;  // only the partner steps of F10
  compute_motion(h);
  EXPECT_TRUE(testutil::near_vector({2.0, 0.0, -2.0}, h->translation, 0.0));
  EXPECT_TRUE(testutil::near_vector({0.0, 0.0, -2.0 * 1.1}, r->translation, 1e-15));
  free_hybroid(h);
  free_hybroid(r);
}

// ---- single-view fitting loop ----

TEST(FitSingleView, WithoutGraphicsItReturnsWhenTheScheduleIsFinished) {
  hybroid h{};  // no schedule: finished in the first step; user() is never called
  h.graphics_flag = 0;
  stop_flag = 1;
  fit_single_view(&h);
  EXPECT_EQ(stop_flag, 0);
  EXPECT_EQ(h.df_mask, 0);
}

TEST(FitSingleView, WithoutGraphicsItRunsTheWholeSchedule) {
  SKIP_UNLESS_FITTING_STEP_IS_BUILT();
  hybroid *h = testmodel::build_model_without_data(6);
  fit_single_view(h);
  EXPECT_EQ(h->fitting_index, 8);
  EXPECT_EQ(h->fitting_sequence[h->fitting_index], 0);
  free_hybroid(h);
}
