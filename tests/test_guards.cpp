// Numeric guards found by the fuzzers, the option sweeps and the input storm:
// the command line refuses numbers that are not finite, a stereo pair with a
// base line of 0 gets usable cameras, camera step keys held for hundreds of
// passes keep the stereo geometry finite, and degenerate contour data fit
// to finite reports.
#include <cctype>
#include <cmath>

#include "gl.h"
#include "test_util.h"

namespace {

// True when text holds a number printed as nan or inf.
bool has_nonfinite(const std::string &text) {
  std::string word;
  for (size_t i = 0; i <= text.size(); i++) {
    char c = i < text.size() ? (char)tolower((unsigned char)text[i]) : ' ';
    if (isalpha((unsigned char)c)) {
      word += c;
      continue;
    }
    if (word == "nan" || word == "inf") return true;
    word.clear();
  }
  return false;
}

// An unattended fit of the given dump text with the bundled parameter files;
// stderr of the run.
testutil::RunResult fit_dump(const std::string &dump, const std::string &options) {
  testutil::ScratchDir dir;
  testutil::write_file(dir.file("model.dump"), dump);
  std::string env = "env -u DISPLAY HYBROID_MAX_PASSES=60 HYBROID_INIT_FILE='" +
                    testutil::sample_path("hyb") + "' FORCEMAP_FILE='" +
                    testutil::sample_path("forcemap") + "' ";
  return testutil::run_shell(env + "'" + HYBFIT_PATH + "' -g -a -d " + options + " model.dump",
                             "0\n", dir.path);
}

bool all_finite(const double m[3][3]) {
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++)
      if (!std::isfinite(m[r][c])) return false;
  return true;
}

bool finite_vector(const vector &v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

// The stereo settings back at their start values after each test.
class StereoGuards : public ::testing::Test {
 protected:
  void SetUp() override {
    gl_test_reset();
    for (auto &h : models) {
      h = hybroid{};
      h.focal_length = 0.1;
    }
    hs[0] = &models[0];
    hs[1] = &models[1];
    stereo_flag = 1;
  }
  void TearDown() override {
    gl_test_reset();
    stereo_flag = 0;
    base_line = 250.0;
    verge_angle = elev_angle = 0.0;
    bstep = 1.0;
    vstep = 0.01;
    estep = 0.01;
    rpy = vector{0.0, 0.0, 0.0};
  }
  void hold(std::initializer_list<Device> keys) {
    gl_test_reset();
    for (Device k : keys) gl_test_set_button(k, 1);
  }
  void passes(int n) {
    for (int i = 0; i < n; i++) adjust_camera_frames(hs, 2);
  }
  void expect_finite_cameras() {
    for (const hybroid &h : models) {
      EXPECT_TRUE(all_finite(h.camera_rotation)) << "model " << h.h_index;
      EXPECT_TRUE(finite_vector(h.camera_translation)) << "model " << h.h_index;
    }
  }
  hybroid models[2];
  hybroid *hs[2];
};

}  // namespace

TEST(CommandLineNumbers, ANumberThatIsNotFiniteIsAnOptionError) {
  // atof reads these as infinities or NaN; 1e999 overflows to infinity.
  const char *const lines[] = {"-t inf", "-u nan", "-f -Infinity", "-b 1e999",
                               "-v NAN", "-e infinity1"};
  for (const char *line : lines) {
    auto r = testutil::run_hybfit(std::string(line) + " -g -a model.dump");
    EXPECT_EQ(r.status, 1) << line;
    EXPECT_NE(r.err.find("is not a finite number\n"), std::string::npos) << line << ": " << r.err;
    EXPECT_NE(r.err.find(" -h : print this help info\n"), std::string::npos) << line;
    EXPECT_EQ(r.err.find("Enter theta"), std::string::npos) << line;
  }
}

TEST(CommandLineNumbers, FiniteExtremesAndWordsAreStillAccepted) {
  // A word still reads as 0, silently; large finite values pass.
  auto r = testutil::run_hybfit("-t abc -b 1e300 -f -0 -g -a", "");
  EXPECT_EQ(r.err.find("finite"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("No dump file given\n"), std::string::npos) << r.err;
}

TEST_F(StereoGuards, AZeroBaseLinePutsBothCamerasAtOnePoint) {
  base_line = 0.0;
  setup_param(hs, 2);
  expect_finite_cameras();
  EXPECT_EQ(models[0].camera_translation.x, 0.0);
  EXPECT_EQ(models[1].camera_translation.x, 0.0);
  EXPECT_EQ(models[1].camera_translation.y, -0.2);
  // The base line keys then move the cameras apart by the default scale.
  hold({DEV_B, DEV_UPARROW});
  passes(1);
  EXPECT_DOUBLE_EQ(models[0].camera_translation.x, -1.0 / 2 / 16.6015625);
  EXPECT_DOUBLE_EQ(models[1].camera_translation.x, 1.0 / 2 / 16.6015625);
}

TEST_F(StereoGuards, VergenceStepsHeldForAThousandPassesStayFinite) {
  setup_param(hs, 2);
  hold({DEV_V, DEV_LEFTARROW, DEV_UPARROW});  // the step grows 100 times per pass
  passes(1000);
  EXPECT_TRUE(std::isfinite(vstep));
  EXPECT_TRUE(std::isfinite(verge_angle));
  expect_finite_cameras();
  hold({DEV_V, DEV_RIGHTARROW});  // and shrinks 100 times per pass
  passes(1000);
  EXPECT_GT(vstep, 0.0);  // never vanishes: Left can bring it back
  hold({DEV_V, DEV_LEFTARROW});
  passes(200);
  EXPECT_GT(vstep, 1.0);
}

TEST_F(StereoGuards, ElevationStepsHeldForThousandsOfPassesStayFinite) {
  setup_param(hs, 2);
  hold({DEV_E, DEV_RIGHTARROW, DEV_DOWNARROW});  // the step doubles per pass
  passes(3000);
  EXPECT_TRUE(std::isfinite(estep));
  EXPECT_TRUE(std::isfinite(elev_angle));
  expect_finite_cameras();
  hold({DEV_E, DEV_LEFTARROW});
  passes(3000);
  EXPECT_GT(estep, 0.0);
}

// Every curve a single point: the model has no extent to measure, and its
// rotational damping was divided by a dimension of 0.
TEST(DegenerateData, AModelWhoseCurvesAreSinglePointsFitsToFiniteReports) {
  const std::string dump = "1 5 2\n0\n2\n-1\n-1\n1\n100\n100\n1\n0 0\n0 0 1 0\n0 1 -1 -1\n1 0 0 1\n";
  for (const char *options : {"", "-p"}) {
    auto r = fit_dump(dump, options);
    EXPECT_NE(r.status, 1) << options << ": " << r.err;
    EXPECT_NE(r.err.find("GOF"), std::string::npos) << options;
    EXPECT_FALSE(has_nonfinite(r.err)) << options;
  }
}
