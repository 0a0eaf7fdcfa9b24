// The outputs of a run: the JSON results (-o), the fitted meshes (-m) and
// the batch snapshot (HYBROID_SNAPSHOT), each read back, and the refusals
// of paths that cannot be written.
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "model_fixture.h"
#include "test_util.h"

using json = nlohmann::json;
using testutil::RunResult;
using testutil::ScratchDir;

namespace {

std::string samples_dir() { return std::string(HYBFIT_SOURCE_DIR) + "/samples"; }

// An unattended batch run from the samples directory, with no X display.
RunResult run_batch(const std::string &args, const std::string &env = "") {
  return testutil::run_shell("env -u DISPLAY " + env + " '" + HYBFIT_PATH + "' -g -a " + args,
                             "0\n", samples_dir());
}

// The text after "key" in the final report of model i, up to the line end.
std::string report_line(const std::string &err, int i, const std::string &key) {
  size_t at = err.find("Model " + std::to_string(i) + ": ");
  at = err.find(key, at);
  if (at == std::string::npos) return "";
  at += key.size();
  return err.substr(at, err.find('\n', at) - at);
}

std::string printed(double v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%12.6f", v);
  return buf;
}

}  // namespace

// ---- JSON ----

TEST(ResultsJson, HoldsTheValuesTheFinalReportPrints) {
  ScratchDir dir;
  std::string path = dir.file("fit.json");
  RunResult r = run_batch("-o '" + path + "' syn_trio_box1.dump syn_trio_ell5.dump");
  ASSERT_EQ(r.status, 0) << r.err;
  json doc = json::parse(testutil::read_file(path));
  ASSERT_EQ(doc["models"].size(), 2u);
  EXPECT_EQ(doc["run"]["end"], "finished");
  for (int i = 0; i < 2; i++) {
    const json &m = doc["models"][i];
    EXPECT_EQ(m["dump_file"], i == 0 ? "syn_trio_box1.dump" : "syn_trio_ell5.dump");
    for (const char *p : {"sc", "a1", "a2", "a3", "e1", "e2", "tapx", "tapy", "bend1", "bend3"})
      EXPECT_EQ(report_line(r.err, i, std::string(" ") + p + " = ").substr(0, 12),
                printed(m["shape"][p].get<double>()))
          << p;
    const json &pose = m["camera_frame"];
    std::string t;
    for (int k = 0; k < 3; k++) t += " " + printed(pose["translation"][k].get<double>());
    EXPECT_EQ(report_line(r.err, i, " Translation ="), t);
    const json &q = pose["quaternion"];
    EXPECT_EQ(report_line(r.err, i, " Quaternion(w,v) ="),
              " " + printed(q["w"].get<double>()) + "  " + printed(q["x"].get<double>()) + " " +
                  printed(q["y"].get<double>()) + " " + printed(q["z"].get<double>()));
    EXPECT_EQ(report_line(r.err, i, " GOF ="), " " + printed(m["gof"].get<double>()));
    EXPECT_EQ(m["gof_pixels"].get<double>(), m["gof"].get<double>() / 0.05);
    EXPECT_TRUE(m["schedule_finished"].get<bool>());
    EXPECT_GT(m["passes"].get<int>(), 0);
  }
}

// In-process: every double comes back bit for bit, a camera turn reaches
// the world pose, and a value that is not finite is null and fails.
TEST(ResultsJson, KeepsEveryBitAndWritesNonFiniteValuesAsNullWithStatusFive) {
  ScratchDir dir;
  std::string path = dir.file("r.json");
  testmodel::Model m = testmodel::make_model(3, 4, testmodel::Shape{});
  hybroid *h = m.get();
  h->a1 = 0.1 + 0.2;
  h->bend3 = 1.0 / 3.0;
  h->translation = {0.5, -0.25, -7.0};
  h->x_scale = 0.05;  // as the run loop sets it
  mat_from_rpy(h->camera_rotation, 0.0, 0.3, 0.0);  // turn the camera about y
  char name[] = "x.dump";
  Hybroids[0] = h;
  filenames[0] = name;
  Num_Hybroids = 1;
  ofile = &path[0];
  EXPECT_EQ(write_run_outputs(0), 0);
  json doc = json::parse(testutil::read_file(path));
  const json &model = doc["models"][0];
  EXPECT_EQ(model["shape"]["a1"].get<double>(), 0.1 + 0.2);
  EXPECT_EQ(model["shape"]["bend3"].get<double>(), 1.0 / 3.0);
  const json &world = model["world_frame"];
  EXPECT_NEAR(world["translation"][0].get<double>(), cos(0.3) * 0.5 + sin(0.3) * -7.0, 1e-15);
  EXPECT_NEAR(world["quaternion"]["w"].get<double>(), cos(0.15), 1e-15);
  EXPECT_NEAR(world["quaternion"]["y"].get<double>(), sin(0.15), 1e-15);

  h->sc = NAN;
  EXPECT_EQ(write_run_outputs(0), 5);
  doc = json::parse(testutil::read_file(path));
  EXPECT_TRUE(doc["models"][0]["shape"]["sc"].is_null());
  Num_Hybroids = 0;
  Hybroids[0] = nullptr;
  ofile = nullptr;
}
