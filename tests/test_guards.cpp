// Numeric guards found by the fuzzers, the option sweeps and the input storm:
// the command line refuses numbers that are not finite, a stereo pair with a
// base line of 0 gets usable cameras, camera step keys held for hundreds of
// passes keep the stereo geometry finite, and degenerate contour data fit
// to finite reports.
#include <cctype>
#include <cmath>
#include <cstring>

#include "gl.h"
#include "test_util.h"

#include <tuple>

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

TEST(CommandLineNumbers, AWordAWrongSignOrANonFiniteNumberIsAnOptionErrorNamingIt) {
  // atof reads these as infinities or NaN; 1e999 overflows to infinity.
  const struct {
    const char *line, *says;
  } cases[] = {{"-t inf", "-t: inf is not a finite number\n"},
               {"-u nan", "-u: nan is not a finite number\n"},
               {"-b 1e999", "-b: 1e999 is not a finite number\n"},
               {"-t abc", "-t: abc is not a number\n"},
               {"-v 2x", "-v: 2x is not a number\n"},
               {"-u -1", "-u: -1 must be a positive number\n"},
               {"-f 0", "-f: 0 must be a positive number\n"},
               {"-t -0.5", "-t: -0.5 must be a number of at least 0\n"}};
  for (const auto &c : cases) {
    auto r = testutil::run_hybfit(std::string(c.line) + " -g -a model.dump");
    EXPECT_EQ(r.status, 1) << c.line;
    EXPECT_EQ(r.err.find(c.says), 0u) << c.line << ": " << r.err;
    EXPECT_NE(r.err.find(" -h : print this help info"), std::string::npos) << c.line;
    EXPECT_EQ(r.err.find("Enter theta"), std::string::npos) << c.line;
  }
}

TEST(CommandLineNumbers, FiniteExtremesAreStillAccepted) {
  auto r = testutil::run_hybfit("-t 0 -b 1e300 -v -1e300 -u 1e-300 -f 1e300 -g -a", "");
  EXPECT_EQ(r.err, "No dump file given\n");
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

// ---------------------------------------------------------------------------
// A fitted sample model with a parameter edited to the end of its range
// ---------------------------------------------------------------------------

namespace {

// What the panel and the report of h show, and every node position.
::testing::AssertionResult model_is_finite(const hybroid *h) {
  const double values[] = {h->sc, h->a1, h->a2, h->a3, h->e1, h->e2, h->tapx, h->tapy,
                           h->bend1, h->bend2, h->bend3, h->fsc, h->fa1, h->fa2, h->fa3,
                           h->fe1, h->fe2, h->ftx, h->fty, h->fb1, h->fb3, h->gof, h->d_ang,
                           h->orientation.w};
  for (double v : values)
    if (!std::isfinite(v)) return ::testing::AssertionFailure() << "a shape, force or fit value";
  if (!finite_vector(h->translation) || !finite_vector(h->net_applied_force) ||
      !finite_vector(h->net_applied_torque) || !finite_vector(h->orientation.v) ||
      !all_finite(h->rotation))
    return ::testing::AssertionFailure() << "the pose or the net force and torque";
  for (int i = 0; i < h->numnodes; i++)
    if (!finite_vector(h->nodes[i].posit) || !finite_vector(h->nodes[i].proj_posit))
      return ::testing::AssertionFailure() << "node " << i;
  return ::testing::AssertionSuccess();
}

// The bundled parameter and force-mapping files, read once.
void read_bundled_tables() {
  static bool done = false;
  if (done) return;
  testing::internal::CaptureStderr();
  read_primitive_hybroid_parameter(testutil::sample_path("hyb").c_str());
  read_primitive_dof_mapping(testutil::sample_path("forcemap").c_str());
  testing::internal::GetCapturedStderr();
  done = true;
}

// A bundled sample read and initialised as the run loop does.
hybroid *load_sample(const char *name, int perspective) {
  read_bundled_tables();
  hybroid *h = hybroid_alloc();
  theta = 0.0;
  perspective_flag = perspective;
  setup_param(&h, 1);
  perspective_flag = 0;
  testing::internal::CaptureStderr();
  read_ascii_xy_data_dump(testutil::sample_path(name).c_str(), h, 1.0);
  init_hybroid(h);
  testing::internal::GetCapturedStderr();
  return h;
}

// The geometry calls every interactive edit ends with.
void recompute_geometry(hybroid *h) {
  compute_superquadric_taper_bend_normal(h);
  compute_superquadric_taper_bend_new_center(h);
  compute_positions(h);
  compute_world_positions(h);
}

// Automatic steps, and the paused pass's force computation.
void fit_steps(hybroid *h, int n) {
  for (int i = 0; i < n; i++) compute_motion_auto(h);
  zeroize_force(h);
  zeroize_damping_factor(h);
  compute_range_data_forces_projection(h);
}

// The clamped ranges of the shape edits.
struct edit_bound {
  const char *name;
  double hybroid::*field;
  double lo, hi;
};

const edit_bound edit_bounds[] = {
    {"sc", &hybroid::sc, 0.01, 10.0},       {"a1", &hybroid::a1, 0.01, 10.0},
    {"a2", &hybroid::a2, 0.01, 10.0},       {"a3", &hybroid::a3, 0.01, 10.0},
    {"e1", &hybroid::e1, 0.01, 3.0},        {"e2", &hybroid::e2, 0.01, 3.0},
    {"tapx", &hybroid::tapx, -2.0, 2.0},    {"tapy", &hybroid::tapy, -2.0, 2.0},
    {"bend1", &hybroid::bend1, -4.0, 4.0},  {"bend2", &hybroid::bend2, -1.0, 1.0},
    {"bend3", &hybroid::bend3, -3.141592653589793, 3.141592653589793},
};

const char *const sample_names[] = {"box1.dump", "cylinder5.dump", "shade6.dump",
                                    "cylinder10.dump"};

// sample, perspective
class EditedSample : public ::testing::TestWithParam<std::tuple<const char *, int>> {};

}  // namespace

TEST_P(EditedSample, EveryShapeParameterAtEitherEndOfItsRangeFitsToFiniteNumbers) {
  const char *name = std::get<0>(GetParam());
  int perspective = std::get<1>(GetParam());
  for (const edit_bound &e : edit_bounds)
    for (double value : {e.lo, e.hi}) {
      hybroid *h = load_sample(name, perspective);
      h->*e.field = value;
      recompute_geometry(h);
      EXPECT_TRUE(model_is_finite(h)) << e.name << " = " << value << " after the edit";
      fit_steps(h, 30);
      EXPECT_TRUE(model_is_finite(h)) << e.name << " = " << value << " after fitting";
      free_hybroid(h);
    }
}

TEST_P(EditedSample, AModelMovedOntoOrBehindTheCameraFitsToFiniteNumbers) {
  const char *name = std::get<0>(GetParam());
  int perspective = std::get<1>(GetParam());
  // The camera looks along -z: z = 0 puts the model's origin in the camera,
  // z > 0 behind it.
  for (double z : {0.0, 1.0, 50.0}) {
    hybroid *h = load_sample(name, perspective);
    h->translation.z = z;
    recompute_geometry(h);
    fit_steps(h, 30);
    EXPECT_TRUE(model_is_finite(h)) << "translation z = " << z;
    free_hybroid(h);
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, EditedSample,
                         ::testing::Combine(::testing::ValuesIn(sample_names),
                                            ::testing::Values(0, 1)));

// An orientation of length 0 (no rotation can be read from it) must not turn
// into NaN, neither through a rotation edit nor through the fitting steps.
TEST(ZeroQuaternion, RotationEditsAndStepsKeepAUsablePose) {
  hybroid *h = load_sample("cylinder5.dump", 0);
  double rotation_before[3][3];
  memcpy(rotation_before, h->rotation, sizeof rotation_before);
  h->orientation = quaternion{0.0, {0.0, 0.0, 0.0}};
  gl_test_reset();
  gl_test_set_valuator(DEV_MOUSEX, 0);
  gl_test_set_valuator(DEV_MOUSEY, 0);
  active_parameter = 16;  // rotz
  gl_test_queue(DEV_LEFTMOUSE, 1);
  user(h);
  gl_test_set_valuator(DEV_MOUSEY, 157);  // a quarter turn
  user(h);
  gl_test_queue(DEV_LEFTMOUSE, 0);
  user(h);
  active_parameter = 0;
  gl_test_reset();
  EXPECT_EQ(memcmp(rotation_before, h->rotation, sizeof rotation_before), 0)
      << "the rotation is kept";
  fit_steps(h, 30);
  EXPECT_TRUE(model_is_finite(h));
  free_hybroid(h);
}
