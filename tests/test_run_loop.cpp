// The run loop and the driver's small operations: refusals and exit
// statuses of whole runs, the unattended batch run from end to end on the
// bundled samples, the camera frames, the driver keys and model dumps.
#include <cmath>
#include <cstring>

#include "built_model.h"
#include "gl.h"
#include "test_util.h"

using testutil::count_occurrences;
using testutil::RunResult;
using testutil::ScratchDir;

namespace {

// Runs the program with no X display, as on a server or in CI.
RunResult run_without_display(const std::string &args, const std::string &input = "",
                              const std::string &dir = ".", const std::string &env = "") {
  return testutil::run_shell("env -u DISPLAY " + env + " '" + HYBFIT_PATH + "' " + args,
                             input, dir);
}

std::string samples_dir() { return std::string(HYBFIT_SOURCE_DIR) + "/samples"; }

// GOF values of all reports in a run's error stream, in order.
std::vector<double> gof_values(const std::string &err) {
  std::vector<double> v;
  const std::string key = " GOF = ";
  for (size_t at = err.find(key); at != std::string::npos; at = err.find(key, at + 1))
    v.push_back(strtod(err.c_str() + at + key.size(), nullptr));
  return v;
}

// N of "Fit finished after N passes", or -1.
int finished_passes(const std::string &err) {
  const std::string key = "Fit finished after ";
  size_t at = err.find(key);
  if (at == std::string::npos) return -1;
  char *end = nullptr;
  long n = strtol(err.c_str() + at + key.size(), &end, 10);
  return strncmp(end, " passes\n", 8) == 0 ? (int)n : -1;
}

// A parameter file of ten records: 7 x 8 meshes, except label 5's rows.
std::string parameter_file(int label5_usize) {
  std::string s;
  for (int i = 0; i < 10; i++)
    s += std::to_string(i == 4 ? label5_usize : 7) +
         " 8\n1 1 1 1 1 1 0 0 0 0\n1 1 1 1 1 1 1 1 1 1 1 1\n";
  return s;
}

// A dump file of the given label with one curve of four points on face 1.
std::string one_curve_dump(int label) {
  return "1\n" + std::to_string(label) +
         "\n3\n-1\n4\n10 20 30 40\n50 60 70 80\n1\n0 3\n-1\n1 0 -1 -1\n";
}

}  // namespace

// ---- refusals before the prompt ----

TEST(RunRefusals, NoDumpFileIsRefused) {
  auto r = testutil::run_hybfit("");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "No dump file given\n");
}

TEST(RunRefusals, MoreThanTwentyDumpFilesAreRefusedAfterTheNamesAreReported) {
  std::string names;
  for (int i = 0; i < 21; i++) names += " m" + std::to_string(i) + ".dump";
  auto r = testutil::run_hybfit(names);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(count_occurrences(r.err, " read in\n"), 21);
  EXPECT_NE(r.err.find("read in\nAt most 20 dump files can be fitted\n"), std::string::npos);
  EXPECT_EQ(r.err.find("Enter theta"), std::string::npos);
}

TEST(RunRefusals, StereoNeedsExactlyTwoDumpFiles) {
  for (const char *files : {"a.dump", "a.dump b.dump c.dump"}) {
    auto r = testutil::run_hybfit(std::string("-s ") + files);
    EXPECT_EQ(r.status, 1) << files;
    EXPECT_NE(r.err.find("Stereo fitting needs exactly 2 dump files\n"), std::string::npos);
  }
  auto r = testutil::run_hybfit("-s");  // no file at all is reported first
  EXPECT_EQ(r.err, "No dump file given\n");
}

TEST(RunRefusals, TheOutputFileIsOpenedBeforeTheRefusal) {
  ScratchDir dir;
  auto r = testutil::run_hybfit("-o out.txt", "", dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(access(dir.file("out.txt").c_str(), F_OK), 0);
}

TEST(RunRefusals, ABatchRunWithoutKeyboardNeedsAutomaticFitting) {
  auto r = run_without_display("-g -s");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "A batch run without a keyboard needs -a\n");  // checked first
  r = run_without_display("-g -a -s");
  EXPECT_EQ(r.err, "No dump file given\n");
}

// ---- refusals of models ----

class ModelRefusals : public ::testing::Test {
 protected:
  void SetUp() override { testutil::write_file(dir.file("hyb"), parameter_file(7)); }
  RunResult run(const std::string &files) {
    return run_without_display("-g -a " + files, "0\n", dir.path);
  }
  ScratchDir dir;
};

TEST_F(ModelRefusals, ALabelWithoutFaceLayoutIsRefused) {
  testutil::write_file(dir.file("three.dump"), one_curve_dump(3));
  auto r = run("three.dump");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("three.dump: no supported primitive label (3)\n"), std::string::npos);
  EXPECT_EQ(r.err.find("Element number"), std::string::npos);  // no model was built
}

TEST_F(ModelRefusals, AnUnreadableDumpFileEndsTheRunWithItsOwnLineOnly) {
  auto r = run("missing.dump");
  EXPECT_EQ(r.status, 1);
  std::string tail = "Input file missing.dump can't be opened\n";
  ASSERT_GE(r.err.size(), tail.size());
  EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);  // nothing else is blamed
}

TEST_F(ModelRefusals, AMissingOrShortParameterFileIsNamedWithWhereItWasLookedFor) {
  unlink(dir.file("hyb").c_str());
  auto r = run("five.dump");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Cannot open hyb\nhyb: no such primitive parameter file (looked for in "
                       "the current directory, " + dir.path + ")"),
            std::string::npos) << r.err;
  testutil::write_file(dir.file("short"), "7 8\n1 1 1\n");
  r = run_without_display("-g -a five.dump", "0\n", dir.path, "HYBROID_INIT_FILE=short");
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("3 superquad parameters read\nshort: the primitive parameter file "
                       "(named by HYBROID_INIT_FILE) is short"),
            std::string::npos) << r.err;
}

TEST_F(ModelRefusals, AModelNoDataCanPullOnEndsTheRunWithStatusThree) {
  testutil::write_file(dir.file("five.dump"), one_curve_dump(5));  // its curve is slot 1
  testutil::write_file(dir.file("forcemap5"), "1 0 0 0 0 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n");
  auto r = run("five.dump five.dump");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("Model 0 (five.dump) never received a data force: none of its curves "
                       "is mapped\n"),
            std::string::npos) << r.err;
  unlink(dir.file("forcemap5").c_str());
  r = run("five.dump");
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("Model 0 (five.dump) never received a data force: no force map for "
                       "label 5\n"),
            std::string::npos) << r.err;
}

TEST_F(ModelRefusals, ANonFiniteThetaIsRefused) {
  testutil::write_file(dir.file("five.dump"), one_curve_dump(5));
  auto r = run_without_display("-g -a five.dump", "nan\n", dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("theta must be a finite number of degrees\n"), std::string::npos);
}

TEST_F(ModelRefusals, AMeshWithFewerThanThreeRowsIsRefused) {
  testutil::write_file(dir.file("hyb"), parameter_file(2));
  testutil::write_file(dir.file("five.dump"), one_curve_dump(5));
  auto r = run("five.dump");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("five.dump: mesh 2 x 8 is too small to fit\n"), std::string::npos);
}

TEST_F(ModelRefusals, ALaterModelIsRefusedAfterTheEarlierOnesAreBuilt) {
  testutil::write_file(dir.file("five.dump"), one_curve_dump(5));
  testutil::write_file(dir.file("two.dump"), one_curve_dump(2));
  auto r = run("five.dump two.dump");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("two.dump: no supported primitive label (2)\n"), std::string::npos);
  EXPECT_EQ(count_occurrences(r.err, "Element number"), 1);
}

// ---- the unattended batch run ----

TEST(UnattendedRun, APassLimitOfZeroRunsNoPassAndEndsWithStatusTwo) {
  auto r = run_without_display("-g -a -d cylinder5.dump", "0\n", samples_dir(),
                               "HYBROID_MAX_PASSES=0");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Fit stopped after 0 passes without finishing\nModel 0: cylinder5.dump\n"
                       " sc = "),
            std::string::npos);
  EXPECT_EQ(gof_values(r.err).size(), 1u);  // the final report only
}

TEST(UnattendedRun, APassLimitThatIsNotAWholeNumberInRangeIsRefused) {
  for (const char *bad : {"abc", "-1", "99999999999999999999", "12x"}) {
    auto r = run_without_display("-g -a cylinder5.dump", "0\n", samples_dir(),
                                 std::string("HYBROID_MAX_PASSES=") + bad);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_NE(r.err.find(std::string("HYBROID_MAX_PASSES: ") + bad +
                         " is not a whole number from 0 to 2147483647\n"),
              std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Enter theta"), std::string::npos);
  }
}

TEST(UnattendedRun, PerspectiveWithAShortFocalLengthWarnsOnce) {
  auto r = run_without_display("-g -a -p cylinder5.dump", "0\n", samples_dir(),
                               "HYBROID_MAX_PASSES=1");
  EXPECT_EQ(count_occurrences(r.err, "perspective data are usually fitted with -f 10 or more"), 1);
}

TEST(UnattendedRun, WithDebugEveryPassPrintsTheReport) {
  auto r = run_without_display("-g -a -d cylinder5.dump", "0\n", samples_dir(),
                               "HYBROID_MAX_PASSES=3");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Fit stopped after 3 passes without finishing\n"), std::string::npos);
  EXPECT_EQ(gof_values(r.err).size(), 4u);  // three passes and the final report
  EXPECT_EQ(count_occurrences(r.err, "Enter theta = "), 1);
}

TEST(UnattendedRun, WithoutDebugOnlyTheFinalReportIsPrinted) {
  auto r = run_without_display("-g -a cylinder5.dump", "0\n", samples_dir(),
                               "HYBROID_MAX_PASSES=3");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(gof_values(r.err).size(), 1u);
}

TEST(UnattendedRun, ALabelWithoutScheduleFinishesInItsFirstPass) {
  // An empty HYBROID_SCHEDULE_FILE keeps the built-in schedules, which have
  // none for label 10 (samples/schedule has one).
  auto r = run_without_display("-g -a -d cylinder10.dump", "0\n", samples_dir(),
                               "HYBROID_SCHEDULE_FILE=");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(finished_passes(r.err), 1);
  EXPECT_NE(r.err.find("Model 0: cylinder10.dump\n"), std::string::npos);
}

// Each bundled single-view sample is fitted to the end, and the fit
// improves: the final mean data distance is below the first pass's.
class UnattendedFit : public ::testing::TestWithParam<const char *> {};

TEST_P(UnattendedFit, FinishesWithStatusZeroAndABetterFit) {
  std::string sample = GetParam();
  auto r = run_without_display("-g -a -d " + sample, "0\n", samples_dir());
  ASSERT_EQ(r.status, 0) << r.err.substr(r.err.size() > 2000 ? r.err.size() - 2000 : 0);
  int passes = finished_passes(r.err);
  EXPECT_GT(passes, 1);
  std::vector<double> gof = gof_values(r.err);
  ASSERT_EQ((int)gof.size(), passes + 1);
  EXPECT_LT(gof.back(), gof.front());
  EXPECT_NE(r.err.find("Model 0: " + sample + "\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Samples, UnattendedFit,
                         ::testing::Values("box1.dump", "cylinder5.dump", "shade6.dump"));

TEST(UnattendedRun, AStereoPairIsFittedToTheEnd) {
  auto r = run_without_display("-g -a -d -s stereo_left.dump stereo_right.dump", "0\n",
                               samples_dir());
  ASSERT_EQ(r.status, 0) << r.err.substr(r.err.size() > 2000 ? r.err.size() - 2000 : 0);
  EXPECT_GT(finished_passes(r.err), 1);
  EXPECT_NE(r.err.find("Model 0: stereo_left.dump\n"), std::string::npos);
  EXPECT_NE(r.err.find("Model 1: stereo_right.dump\n"), std::string::npos);
}

// ---- camera frames ----

namespace {

// Saves and restores the driver settings a test changes.
class DriverSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_stereo = stereo_flag;
    for (auto &h : models) {
      h = hybroid{};
      h.focal_length = 0.1;
    }
    hs[0] = &models[0];
    hs[1] = &models[1];
  }
  void TearDown() override {
    stereo_flag = saved_stereo;
    base_line = 250.0; verge_angle = elev_angle = 0.0;
    bstep = 1.0; vstep = 0.01; estep = 0.01;
    stop_fitting = 1; dump_data_flag = dump_contour_flag = 0;
    active_hybroid = -1; Num_Hybroids = 0;
    rpy = vector{0.0, 0.0, 0.0};
  }
  int saved_stereo = 0;
  hybroid models[2];
  hybroid *hs[2];
};

bool is_identity(const double m[3][3]) {
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++)
      if (m[r][c] != (r == c ? 1.0 : 0.0)) return false;
  return true;
}

}  // namespace

using CameraFrames = DriverSettings;

TEST_F(CameraFrames, SettingsAreCopiedIntoEveryModel) {
  models[0].camera_rotation[0][1] = 5.0;
  models[1].camera_translation = vector{1.0, 2.0, 3.0};
  stereo_flag = 0;
  setup_param(hs, 2);
  for (const hybroid &h : models) {
    EXPECT_EQ(h.ftol, fitting_tol);
    EXPECT_EQ(h.dt, euler_step);
    EXPECT_EQ(h.graphics_flag, 1);
    EXPECT_EQ(h.focal_length, focal_length);
    EXPECT_EQ(h.x_scale, 0.05);
    EXPECT_EQ(h.y_center, 128.0);
    EXPECT_EQ(h.x_dim, 256);
    EXPECT_DOUBLE_EQ(h.display_scale, 16.6015625);
    EXPECT_TRUE(is_identity(h.camera_rotation));  // two files without -s
    EXPECT_TRUE(testutil::near_vector({0.0, 0.0, 0.0}, h.camera_translation, 0.0));
    EXPECT_EQ(h.h_neigh, nullptr);
  }
}

TEST_F(CameraFrames, AStereoPairGetsCamerasOneBaseLineApart) {
  stereo_flag = 1;
  setup_param(hs, 2);
  EXPECT_DOUBLE_EQ(models[0].camera_translation.x, -7.529411764705882);
  EXPECT_EQ(models[0].camera_translation.y, 0.0);
  EXPECT_DOUBLE_EQ(models[1].camera_translation.x, 7.529411764705882);
  EXPECT_EQ(models[1].camera_translation.y, -0.2);
  EXPECT_TRUE(is_identity(models[0].camera_rotation));
  EXPECT_TRUE(is_identity(models[1].camera_rotation));
  EXPECT_EQ(models[0].h_index, 0);
  EXPECT_EQ(models[1].h_index, 1);
  EXPECT_EQ(models[0].h_neigh, &models[1]);
  EXPECT_EQ(models[1].h_neigh, &models[0]);
}

TEST_F(CameraFrames, ElevationAndVergenceTurnTheTwoCamerasOppositeWays) {
  stereo_flag = 1;
  elev_angle = 0.25;
  verge_angle = 0.125;
  setup_param(hs, 2);
  // Rz(0) Ry(pitch) Rx(roll): row 2 is (-sin pitch, cos pitch sin roll, cos pitch cos roll).
  EXPECT_DOUBLE_EQ(models[0].camera_rotation[2][0], sin(0.125));
  EXPECT_DOUBLE_EQ(models[0].camera_rotation[2][1], cos(0.125) * sin(-0.25));
  EXPECT_DOUBLE_EQ(models[1].camera_rotation[2][0], -sin(0.125));
  EXPECT_DOUBLE_EQ(models[1].camera_rotation[2][1], cos(0.125) * sin(0.25));
  EXPECT_EQ(rpy.z, 0.0);
}

class DriverKeys : public DriverSettings {
 protected:
  void SetUp() override {
    DriverSettings::SetUp();
    gl_test_reset();
  }
  void TearDown() override {
    gl_test_reset();
    DriverSettings::TearDown();
  }
  void hold(std::initializer_list<Device> keys) {
    gl_test_reset();
    for (Device k : keys) gl_test_set_button(k, 1);
  }
};

TEST_F(DriverKeys, HoldingTTogglesThePauseOncePerPress) {
  Num_Hybroids = 1;
  active_hybroid = 0;
  stop_fitting = 1;
  hold({DEV_T});
  int seen[4];
  for (int &s : seen) {
    toggle_fitting_attributes(&models[0]);
    s = stop_fitting;
  }
  for (int s : seen) EXPECT_EQ(s, 0);  // held for four passes: one toggle
  gl_test_set_button(DEV_T, 0);
  gl_test_set_button(DEV_T, 1);  // the next press
  toggle_fitting_attributes(&models[0]);
  EXPECT_EQ(stop_fitting, 1);
}

TEST_F(DriverKeys, TheModelTogglesActOnTheGivenModel) {
  Num_Hybroids = 2;
  active_hybroid = 1;
  models[0].subsample = 19;
  models[0].normal_force_flag = 1;
  hold({DEV_F12, DEV_P, DEV_N, DEV_S, DEV_L, DEV_U});
  toggle_fitting_attributes(&models[0]);
  EXPECT_EQ(active_hybroid, 0);  // wraps
  EXPECT_EQ(models[0].perspective_flag, 1);
  EXPECT_EQ(models[0].normal_force_flag, 0);
  EXPECT_EQ(models[0].subsample, 0);
  EXPECT_EQ(dump_data_flag, 1);
  EXPECT_EQ(dump_contour_flag, 1);
  EXPECT_EQ(stop_fitting, 1);
  EXPECT_EQ(models[1].perspective_flag, 0);
}

TEST_F(DriverKeys, NoKeyHeldChangesNothing) {
  Num_Hybroids = 2;
  active_hybroid = 1;
  hybroid before = models[0];
  toggle_fitting_attributes(&models[0]);
  adjust_camera_frames(hs, 2);
  EXPECT_EQ(active_hybroid, 1);
  EXPECT_EQ(memcmp(&before, &models[0], sizeof before), 0);
  EXPECT_EQ(base_line, 250.0);
}

class StereoKeys : public DriverKeys {
 protected:
  void SetUp() override {
    DriverKeys::SetUp();
    stereo_flag = 1;
    setup_param(hs, 2);
  }
};

TEST_F(StereoKeys, BaseLineUpOnceMovesBothCameras) {
  hold({DEV_B, DEV_UPARROW});
  adjust_camera_frames(hs, 2);
  EXPECT_EQ(base_line, 251.0);
  EXPECT_DOUBLE_EQ(models[0].camera_translation.x, -251.0 / 2 / 16.6015625);
  EXPECT_DOUBLE_EQ(models[1].camera_translation.x, 251.0 / 2 / 16.6015625);
  EXPECT_EQ(models[1].camera_translation.y, -0.2);  // y and z are kept
  EXPECT_DOUBLE_EQ(models[0].display_scale, 16.6015625);  // not recomputed
}

TEST_F(StereoKeys, RightArrowChangesTheStepBeforeItIsUsed) {
  hold({DEV_B, DEV_RIGHTARROW, DEV_DOWNARROW});
  adjust_camera_frames(hs, 2);
  EXPECT_EQ(bstep, 2.0);
  EXPECT_EQ(base_line, 248.0);
  hold({DEV_V, DEV_RIGHTARROW, DEV_UPARROW});
  adjust_camera_frames(hs, 2);
  EXPECT_DOUBLE_EQ(vstep, 0.0001);
  EXPECT_DOUBLE_EQ(verge_angle, 0.0001);
  hold({DEV_E, DEV_RIGHTARROW, DEV_UPARROW});
  adjust_camera_frames(hs, 2);
  EXPECT_EQ(estep, 0.02);
  EXPECT_EQ(elev_angle, 0.02);
  EXPECT_DOUBLE_EQ(models[1].camera_rotation[2][1], cos(0.0001) * sin(0.02));
}

TEST_F(StereoKeys, LeftArrowCoarsensTheStepsAndUpWinsOverDown) {
  hold({DEV_V, DEV_LEFTARROW, DEV_UPARROW, DEV_DOWNARROW});
  adjust_camera_frames(hs, 2);
  EXPECT_DOUBLE_EQ(vstep, 1.0);
  EXPECT_DOUBLE_EQ(verge_angle, 1.0);
  hold({DEV_E, DEV_LEFTARROW});
  adjust_camera_frames(hs, 2);
  EXPECT_EQ(estep, 0.005);
  EXPECT_EQ(elev_angle, 0.0);
}

TEST_F(StereoKeys, CPrintsTheStereoGeometry) {
  hold({DEV_C});
  testing::internal::CaptureStderr();
  adjust_camera_frames(hs, 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "verge_angle = 0.000000, elev_angle = 0.000000, base_line = 250.000000\n");
}

TEST_F(DriverKeys, WithOneModelTheCameraRebuildIsSkipped) {
  models[0].camera_translation = vector{1.0, 2.0, 3.0};
  hold({DEV_B, DEV_UPARROW});
  adjust_camera_frames(hs, 1);
  EXPECT_EQ(base_line, 251.0);
  EXPECT_TRUE(testutil::near_vector({1.0, 2.0, 3.0}, models[0].camera_translation, 0.0));
}

TEST_F(DriverSettings, AModelGoneNonFiniteIsPutBackPausedAndReported) {
  hybroid *h = testmodel::build_model_without_data(5);
  Hybroids[0] = h;
  Num_Hybroids = 1;
  char name[] = "m.dump";
  filenames[0] = name;
  stop_fitting = 0;
  remember_model_states();
  EXPECT_EQ(stop_non_finite_models(6), 0);  // still finite: nothing happens
  EXPECT_EQ(stop_fitting, 0);
  vector before = h->translation;
  double a1 = h->a1;
  h->translation.x = NAN;
  h->a1 = INFINITY;
  testing::internal::CaptureStderr();
  EXPECT_EQ(stop_non_finite_models(7), 1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Model 0 (m.dump): its state became non-finite in pass 7; it stopped at its last "
            "finite state\n");
  EXPECT_TRUE(testutil::near_vector(before, h->translation, 0.0));
  EXPECT_EQ(h->a1, a1);
  EXPECT_TRUE(std::isfinite(h->nodes[0].posit.x));
  EXPECT_EQ(stop_fitting, 1);
  free_hybroid(h);
  Hybroids[0] = nullptr;
}

// ---- model dumps ----

class DumpData : public ::testing::Test {
 protected:
  void answer(const std::string &text) {
    testutil::write_file(dir.file("stdin"), text);
    ASSERT_NE(freopen(dir.file("stdin").c_str(), "r", stdin), nullptr);
  }
  ScratchDir dir;
  hybroid h{};
};

TEST_F(DumpData, EndOfInputWritesNothingAndGoesOn) {
  answer("");
  testing::internal::CaptureStderr();
  dump_data(&h);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Input dump file name : No dump file name read\n");
}

TEST_F(DumpData, AFileThatCannotBeOpenedIsReported) {
  answer("  /nonexistent-dir/model.txt\n");
  testing::internal::CaptureStderr();
  dump_data(&h);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Input dump file name : Cannot open /nonexistent-dir/model.txt\n");
}

TEST_F(DumpData, TheReportIsWrittenIntoTheNamedFile) {
  std::string path = dir.file("model.txt");
  testutil::write_file(path, "old contents that must go");
  answer(path + "\n");
  h.df_mask = 0x41;
  testing::internal::CaptureStderr();
  dump_data(&h);
  testing::internal::GetCapturedStderr();
  std::string text = testutil::read_file(path);
  EXPECT_EQ(text.rfind(" sc = ", 0), 0u);
  EXPECT_NE(text.find("\n df_mask = 0x41  \n"), std::string::npos);
  EXPECT_EQ(text.find("old contents"), std::string::npos);
}

// ---- reports ----

TEST(Report, MasksPrintAsLeftAlignedHexadecimal) {
  hybroid h{};
  h.df_mask = 0x41;
  h.diff = 0x1b3000;
  ScratchDir dir;
  FILE *fp = fopen(dir.file("report").c_str(), "w");
  ASSERT_NE(fp, nullptr);
  fprintf_hybroid_info(fp, &h);
  fclose(fp);
  std::string text = testutil::read_file(dir.file("report"));
  EXPECT_NE(text.find("\n df_mask = 0x41  \n diff = 0x1b3000\n"), std::string::npos);
}

// ---- simulated forces ----

TEST_F(DriverKeys, SimulatedForcesGoIntoTheSouthPoleSlots) {
  node nodes[3] = {};
  hybroid h{};
  h.nodes = nodes;
  h.numnodes = 3;
  hold({DEV_1});
  add_simulated_force(&h);  // angle 0, magnitude 1
  EXPECT_EQ(h.df_mask, DF_BEND1);
  EXPECT_TRUE(testutil::near_vector({1.0, 0.0, 0.0}, nodes[1].rForce[SLOT_BEND1], 0.0));
  hold({DEV_2, DEV_7});  // doubles the magnitude, then sets the a3 slot
  add_simulated_force(&h);
  EXPECT_EQ(h.df_mask, DF_BEND1 | DF_A3);
  EXPECT_TRUE(testutil::near_vector({0.0, 0.0, -2.0}, nodes[1].rForce[SLOT_A3], 0.0));
  hold({DEV_8});  // the spare magnitude 0 swapped in: nothing more is added
  add_simulated_force(&h);
  hold({DEV_6});
  add_simulated_force(&h);
  EXPECT_EQ(h.df_mask, DF_BEND1 | DF_A3 | DF_BEND3);
  EXPECT_TRUE(testutil::near_vector({0.0, 0.0, 0.0}, nodes[1].rForce[SLOT_BEND3], 0.0));
  hold({DEV_8});  // magnitude 2 back
  add_simulated_force(&h);
  hold({DEV_3, DEV_4, DEV_6});  // halved to 1, turned a twentieth of a turn
  add_simulated_force(&h);
  EXPECT_TRUE(testutil::near_vector({cos(M_PI / 20), sin(M_PI / 20), 0.0},
                                    nodes[1].rForce[SLOT_BEND3], 1e-15));
  EXPECT_TRUE(testutil::near_vector({0.0, 0.0, 0.0}, nodes[0].rForce[SLOT_BEND1], 0.0));
}
