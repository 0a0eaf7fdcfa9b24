// The fitting schedule file (fitting/schedule.cpp): what the reader refuses,
// what a stage line means, and that the shipped samples/schedule recovers
// known models of each label from hybsynth's contours.
#include <cmath>
#include <cstdlib>
#include <string>

#include "test_util.h"

using testutil::RunResult;
using testutil::ScratchDir;

namespace {

struct Refusal {
  const char *what;     // the case
  const char *text;     // the file
  const char *problem;  // the expected message after "file:line: "
  int line;
};

std::string many_stages(int n) {
  std::string s = "label 5\n";
  for (int i = 0; i < n; i++) s += "trans sparse\n";
  return s;
}

}  // namespace

TEST(ScheduleReader, RefusesEachFaultWithTheFileTheLineAndTheProblem) {
  const std::string sixteen = many_stages(16);
  const Refusal cases[] = {
      {"unknown word", "label 5\n# fine\ntrans wobble\n", "unknown word \"wobble\"", 3},
      {"label too high", "label 11\n", "label \"11\" is not one of 1..10", 1},
      {"label zero", "label 0\n", "label \"0\" is not one of 1..10", 1},
      {"label not a number", "label five\n", "label \"five\" is not one of 1..10", 1},
      {"stage before label", "trans\n", "stage before any label", 1},
      {"too many stages", sixteen.c_str(), "more than 15 stages for label 5", 17},
      {"stage of options only", "label 1\nsparse settle\n", "the stage moves nothing", 2},
      {"bad limit", "label 1\ntrans limit 0\n",
       "limit needs a whole number of steps from 1 to 1000000", 2},
      {"label twice", "label 6\ntrans\nlabel 6\n", "label 6 is given twice", 3},
      {"unknown damping", "label 6\ndamping e3 1\n", "unknown damping parameter \"e3\"", 2},
      {"negative damping", "label 6\ndamping e1 -1\n", "damping of e1 needs a number >= 0", 2},
  };
  ScratchDir dir;
  for (const Refusal &c : cases) {
    std::string path = dir.file("schedule");
    testutil::write_file(path, c.text);
    char err[SCHEDULE_ERROR_SIZE] = "";
    EXPECT_EQ(-1, load_schedule_file(path.c_str(), err)) << c.what;
    EXPECT_EQ(path + ":" + std::to_string(c.line) + ": " + c.problem, std::string(err)) << c.what;
  }
}

TEST(ScheduleReader, ANamedFileThatCannotBeReadEndsTheProgramWithStatusOne) {
  ScratchDir dir;
  std::string missing = dir.file("none");
  setenv("HYBROID_SCHEDULE_FILE", missing.c_str(), 1);
  testutil::ChildResult r = testutil::run_in_child([] { read_fitting_schedule(); });
  unsetenv("HYBROID_SCHEDULE_FILE");
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(missing + ": cannot read the schedule file\n", r.err);
}

TEST(ScheduleReader, AStageLineGivesItsBitsOptionsAndLimitAndUnlistedLabelsKeepTheirOwn) {
  ScratchDir dir;
  std::string path = dir.file("schedule");
  testutil::write_file(path, "label 10  # bent\n damping e1 0.5 bend1 0.2\n"
                             "a1 a2 sparse settle limit 30\n\nbend1 bend3 allcurves exact gradient\n");
  char err[SCHEDULE_ERROR_SIZE] = "";
  ASSERT_EQ(0, load_schedule_file(path.c_str(), err)) << err;
  const label_schedule &s = schedule_table[9];
  ASSERT_EQ(2, s.n_stages);
  EXPECT_EQ(DF_A1 | DF_A2 | DF_SPARSE, s.mask[0]);
  EXPECT_EQ(STAGE_FROM_FILE | STAGE_SETTLE, s.options[0]);
  EXPECT_EQ(30, s.limit[0]);
  EXPECT_EQ(DF_BEND1 | DF_BEND3, s.mask[1]);
  EXPECT_EQ(STAGE_FROM_FILE | STAGE_ALL_CURVES | STAGE_EXACT | STAGE_GRADIENT, s.options[1]);
  EXPECT_EQ(0.5, s.c_inv_e1);
  EXPECT_EQ(0.2, s.c_inv_b1);
  EXPECT_LT(s.c_inv_e2, 0.0);  // not given: the parameter file's value stays
  EXPECT_EQ(0, schedule_table[4].given);
}

TEST(SchedulePanel, ShowsTheStageOfAFileOnlyInAnAutomaticFit) {
  hybroid h = {};
  h.fitting_sequence[1] = DF_A3 | DF_TAPX | DF_TAPY;
  h.stage_options[1] = STAGE_FROM_FILE | STAGE_SETTLE | STAGE_EXACT;
  h.stage_limit[1] = 40;
  h.fitting_index = 1;
  char line[PANEL_LINE_SIZE];
  int saved = auto_fitting;
  auto_fitting = 1;
  EXPECT_EQ(1, format_stage_line(&h, line));
  EXPECT_STREQ("stage 2: a3 tapx tapy settle exact limit 40", line);
  h.stage_options[1] = 0;  // a built-in entry: the panel keeps its lines
  EXPECT_EQ(0, format_stage_line(&h, line));
  h.stage_options[1] = STAGE_FROM_FILE;
  auto_fitting = 0;  // manual fitting
  EXPECT_EQ(0, format_stage_line(&h, line));
  auto_fitting = saved;
}

// ---- the shipped schedule, end to end ----

namespace {

const double kDegree = 0.017453292519943295;

struct Fit {
  double sc, a1, a2, a3, tapx, bend1, bend3;
  double axis[3];  // column 2 of the rotation: the model axis in the camera frame
  double gof_px;
};

Fit read_fit(const std::string &e);

// Makes a scene with hybsynth and fits it with samples/schedule in the
// samples directory (its parameter and force-mapping files).
Fit fit_scene(int label, const std::string &synth_args, const std::string &mesh) {
  ScratchDir dir;
  std::string bin = HYBFIT_PATH;
  std::string synth = bin.substr(0, bin.rfind('/') + 1) + "hybsynth";
  std::string dump = dir.file("scene.dump");
  RunResult made = testutil::run_shell("'" + synth + "' -l " + std::to_string(label) + " " +
                                       synth_args + " -m " + mesh + " -o '" + dump + "'");
  EXPECT_EQ(0, made.status) << made.err;
  std::string samples = std::string(HYBFIT_SOURCE_DIR) + "/samples";
  RunResult r = testutil::run_shell("env -u DISPLAY HYBROID_SCHEDULE_FILE=schedule '" +
                                        std::string(HYBFIT_PATH) + "' -g -a '" + dump + "'",
                                    "0\n", samples);
  EXPECT_EQ(0, r.status) << r.err.substr(r.err.size() > 1500 ? r.err.size() - 1500 : 0);
  return read_fit(r.err);
}

// The last report of a model in a fit's log.
Fit read_fit(const std::string &e) {
  Fit f = {};
  auto value = [&e](const char *key) {
    size_t at = e.rfind(key);
    return at == std::string::npos ? NAN : atof(e.c_str() + at + strlen(key));
  };
  f.sc = value(" sc = ");
  f.a1 = value(" a1 = ");
  f.a2 = value(" a2 = ");
  f.a3 = value(" a3 = ");
  f.tapx = value(" tapx = ");
  f.bend1 = value(" bend1 = ");
  f.bend3 = value(" bend3 = ");
  f.gof_px = value(" GOF = ") / 0.05;
  size_t at = e.rfind(" Rotation Matrix  = ");
  double R[3][3] = {};
  if (at != std::string::npos) {
    const char *p = e.c_str() + at + 20;
    for (int i = 0; i < 3; i++) {
      if (i > 0) p = strstr(p, "[19C") + 4;
      char *end;
      for (int j = 0; j < 3; j++) R[i][j] = strtod(p, &end), p = end;
    }
  }
  for (int i = 0; i < 3; i++) f.axis[i] = R[i][2];
  return f;
}

// Angle between the fitted axis and the true one, the axis of a model
// turned by -tilt degrees about x.
double axis_error_degrees(const Fit &f, double tilt) {
  double t[3] = {0.0, sin(tilt * kDegree), cos(tilt * kDegree)};
  double d = f.axis[0] * t[0] + f.axis[1] * t[1] + f.axis[2] * t[2];
  return acos(fmin(1.0, fabs(d))) / kDegree;
}

const double kSizeTolerance = 0.02;   // image-plane sizes, noise-free data
const double kAxisDegrees = 3.0;      // direction of the model axis
const double kTaperTolerance = 0.05;  // absolute
const double kGofPixels = 1.0;        // mean data-to-model distance

}  // namespace

TEST(ShippedSchedule, RecoversARoundModelSeenThirtyDegreesOffItsAxis) {
  Fit f = fit_scene(5, "-S 2,1.2,1.2,1.6,1,1 -R -30,0,0 -T -1.5,1,-0.1", "15,16");
  EXPECT_NEAR(f.sc * f.a1, 2.4, 2.4 * kSizeTolerance);
  EXPECT_LT(axis_error_degrees(f, 30), kAxisDegrees);
  EXPECT_LT(f.gof_px, kGofPixels);
}

TEST(ShippedSchedule, RecoversABox) {
  Fit f = fit_scene(1, "-S 2,1,1.2,0.8,1,1 -A 1,-1,0,40.107 -T 1,0.5,-0.1", "15,16");
  EXPECT_NEAR(f.sc * f.a1, 2.0, 2.0 * kSizeTolerance);
  EXPECT_NEAR(f.sc * f.a2, 2.4, 2.4 * kSizeTolerance);
  EXPECT_LT(f.gof_px, kGofPixels);
}

// Fitted from squareness 1, a pinched box settles 6 % small unless its
// squareness is probed from above.
TEST(ShippedSchedule, RecoversTheSizesOfAPinchedBox) {
  Fit f = fit_scene(1, "-S 2,1,1.2,0.8,1.5,1.5 -A 1,-1,0,45 -T 0.5,0.5,-0.1", "15,16");
  EXPECT_NEAR(f.sc * f.a1, 2.0, 2.0 * kSizeTolerance);
  EXPECT_NEAR(f.sc * f.a2, 2.4, 2.4 * kSizeTolerance);
}

TEST(ShippedSchedule, RecoversTheTaperOfAConeSeenFromTheSide) {
  Fit f = fit_scene(6, "-S 2,0.8,0.8,1.6,1,1,-0.5,-0.5 -R -90,0,-30 -T 0,0.5,-0.1", "15,16");
  EXPECT_NEAR(f.tapx, -0.5, kTaperTolerance);
  EXPECT_NEAR(f.sc * f.a1, 1.6, 1.6 * kSizeTolerance);
  EXPECT_LT(f.gof_px, kGofPixels);
}

TEST(ShippedSchedule, RecoversTheBendingOfATubeSeenFromTheSide) {
  Fit f = fit_scene(10, "-S 2,0.7,0.7,1.8,1,1,0,0,0.3,0 -R -90,0,-20 -T 0,0,-0.1", "23,24");
  EXPECT_NEAR(f.bend1, 0.3, 0.03);  // within 10 %
  EXPECT_NEAR(f.sc * f.a1, 1.4, 1.4 * kSizeTolerance);
  EXPECT_LT(f.gof_px, kGofPixels);
}

// Its rims drive no bending by the force-mapping file: without gradient the
// fit settled with the bending plane 2.7 degrees aside, twice as far off.
TEST(ShippedSchedule, BendsATubeSeenFortyFiveDegreesOffItsAxisInTheTruePlane) {
  Fit f = fit_scene(10, "-S 2,0.8,0.8,1.6,1,1,0,0,0.2,0 -R -45,0,30 -T 0.5,0,-0.1", "23,24");
  EXPECT_NEAR(f.bend1, 0.2, 0.01);
  EXPECT_NEAR(f.bend3, 0.0, 0.02);  // radians
  EXPECT_LT(f.gof_px, 0.02);
}

// Each view of a noisy stereo pair reads the tilt on its own to within a
// few degrees; with pair (samples/schedule) both views set one orientation.
// Under a pixel of noise no unbiased fit reads either view's axis closer
// than 3.1 to 3.6 degrees (one standard deviation, hybsynth --bound), so
// the test allows twice that.  Under this draw the right view turned on its
// own ends 14 degrees off.
static const double kPairAxisDegrees = 7.0;

TEST(ShippedSchedule, TurnsBothViewsOfANoisyStereoPairToTheTrueAxis) {
  ScratchDir dir;
  std::string bin = HYBFIT_PATH, left = dir.file("l.dump"), right = dir.file("r.dump");
  std::string synth = bin.substr(0, bin.rfind('/') + 1) + "hybsynth";
  std::string pair = " -s -p -f 10 -v 0.36 ";
  RunResult made = testutil::run_shell("'" + synth + "' -l 5 -S 2,0.9,0.9,1.5,1,1 -R -60,0,40" +
                                       pair + "-T 0.3,0.5,-20 -m 15,16 -n 1 -r 4 -o '" + left +
                                       "' -O '" + right + "'");
  ASSERT_EQ(0, made.status) << made.err;
  RunResult r = testutil::run_shell("env -u DISPLAY HYBROID_SCHEDULE_FILE=schedule '" + bin +
                                        "' -g -a" + pair + "'" + left + "' '" + right + "'",
                                    "0\n", std::string(HYBFIT_SOURCE_DIR) + "/samples");
  size_t second = r.err.rfind("Model 1:");
  ASSERT_NE(std::string::npos, second) << r.err;
  Fit views[2] = {read_fit(r.err.substr(0, second)), read_fit(r.err.substr(second))};
  for (int k = 0; k < 2; k++) {
    std::string truth = testutil::read_file(k == 0 ? left : right);
    double t[3];
    for (int i = 0; i < 3; i++) {  // column 2 of the true rotation
      size_t at = truth.find("# truth rotation row " + std::to_string(i) + ":");
      sscanf(truth.c_str() + at + 24, "%*f %*f %lf", &t[i]);
    }
    double d = fabs(views[k].axis[0] * t[0] + views[k].axis[1] * t[1] + views[k].axis[2] * t[2]);
    EXPECT_LT(acos(fmin(1.0, d)) / kDegree, kPairAxisDegrees) << "view " << k;
  }
}

// pair couples the turning of the two views: on a stage that does not turn
// them it must change nothing, even while the partner still turns.
TEST(ShippedSchedule, PairOnAStageThatDoesNotTurnChangesNothing) {
  ScratchDir dir;
  const char *stages[2] = {"a1 a2 a3 stereo pair settle adapt limit 300\n",
                           "a1 a2 a3 stereo settle adapt limit 300\n"};
  std::string ends[2];
  for (int k = 0; k < 2; k++) {
    std::string file = dir.file(k == 0 ? "with_pair" : "without");
    testutil::write_file(file, std::string("label 5\n") +
                                   "trans start sparse stereo settle adapt limit 300\n" +
                                   "trans rot rotz turn stereo pair settle adapt limit 300\n" +
                                   stages[k]);
    RunResult r = testutil::run_shell(
        "env -u DISPLAY HYBROID_SCHEDULE_FILE='" + file + "' '" + HYBFIT_PATH +
            "' -g -a -s syn_stereo5_left.dump syn_stereo5_right.dump",
        "0\n", std::string(HYBFIT_SOURCE_DIR) + "/samples");
    ASSERT_EQ(0, r.status) << r.err;
    ends[k] = r.err.substr(r.err.find("Fit finished"));
  }
  EXPECT_EQ(ends[0], ends[1]);
}
