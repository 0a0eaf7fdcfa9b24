// The outputs of a run: the JSON results (-o), the fitted meshes (-m) and
// the batch snapshot (HYBROID_SNAPSHOT), each read back, and the refusals
// of paths that cannot be written.
#include <cairo.h>

#include <array>
#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "model_fixture.h"
#include "vector_ops.h"
#include "test_util.h"

using json = nlohmann::json;
using testutil::RunResult;
using testutil::ScratchDir;

namespace {

// An unattended batch run from the samples directory, with no X display.
RunResult run_batch(const std::string &args, const std::string &env = "") {
  return testutil::run_shell("env -u DISPLAY " + env + " '" + HYBFIT_PATH + "' -g -a " + args,
                             "0\n", std::string(HYBFIT_SOURCE_DIR) + "/samples");
}

// The text after "key" in the final report of model i, up to the line end.
std::string report_line(const std::string &err, int i, const std::string &key) {
  size_t at = err.find(key, err.find("Model " + std::to_string(i) + ": "));
  if (at == std::string::npos) return "";
  at += key.size();
  return err.substr(at, err.find('\n', at) - at);
}

// The words of a report line; and JSON values as the report prints them.
std::string words(const std::string &line) {
  std::istringstream in(line);
  std::string w, out;
  while (in >> w) out += w + " ";
  return out;
}
std::string printed(const json &values) {  // a number or an array of them
  std::string out;
  char buf[64];
  for (const json &v : values) out += (snprintf(buf, sizeof buf, "%.6f ", v.get<double>()), buf);
  return out;
}

// Makes h the run's only model, as the run loop holds it, for one scope.
struct OnlyModel {
  char name[8] = "x.dump";
  explicit OnlyModel(hybroid *h) { Hybroids[0] = h, filenames[0] = name, Num_Hybroids = 1; }
  ~OnlyModel() { Num_Hybroids = 0, Hybroids[0] = nullptr, ofile = mesh_file = nullptr; }
};

struct ObjFile {
  std::vector<vector> v, vn;
  std::vector<std::array<int, 3>> f;  // vertex numbers from 0
  int objects = 0;
};

ObjFile read_obj(const std::string &path) {
  ObjFile obj;
  std::istringstream in(testutil::read_file(path));
  for (std::string line; std::getline(in, line);) {
    vector p;
    int a, b, c;
    obj.objects += line.rfind("o ", 0) == 0;
    if (sscanf(line.c_str(), "v %lf %lf %lf", &p.x, &p.y, &p.z) == 3) obj.v.push_back(p);
    if (sscanf(line.c_str(), "vn %lf %lf %lf", &p.x, &p.y, &p.z) == 3) obj.vn.push_back(p);
    if (sscanf(line.c_str(), "f %d//%*d %d//%*d %d//%*d", &a, &b, &c) == 3)
      obj.f.push_back({a - 1, b - 1, c - 1});
  }
  return obj;
}

}  // namespace

TEST(ResultsJson, HoldsTheValuesTheFinalReportPrintsAndTheMeshesFollow) {
  ScratchDir dir;
  std::string path = dir.file("fit.json");
  RunResult r = run_batch("-o '" + path + "' -m '" + dir.file("fit.obj") +
                          "' syn_trio_box1.dump syn_trio_ell5.dump");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_obj(dir.file("fit.obj")).objects, 2);
  json doc = json::parse(testutil::read_file(path));
  EXPECT_EQ(doc["run"]["end"], "finished");
  EXPECT_EQ(doc["options"]["schedule"], "schedule");  // samples/schedule, found in the directory
  for (int i = 0; i < 2; i++) {
    const json &m = doc["models"][i];
    EXPECT_EQ(m["dump_file"], i == 0 ? "syn_trio_box1.dump" : "syn_trio_ell5.dump");
    for (const char *p : {"sc", "a1", "a2", "a3", "e1", "e2", "tapx", "tapy", "bend1", "bend3"})
      EXPECT_EQ(words(report_line(r.err, i, std::string(" ") + p + " = ").substr(0, 12)),
                printed(m["shape"][p]));
    const json &pose = m["camera_frame"], &q = pose["quaternion"];
    EXPECT_EQ(words(report_line(r.err, i, " Translation =")), printed(pose["translation"]));
    EXPECT_EQ(words(report_line(r.err, i, " Quaternion(w,v) =")),
              printed({q["w"], q["x"], q["y"], q["z"]}));
    EXPECT_EQ(words(report_line(r.err, i, " GOF =")), printed(m["gof"]));
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
  OnlyModel only(h);
  ofile = &path[0];
  EXPECT_EQ(write_run_outputs(0), 0);
  json doc = json::parse(testutil::read_file(path));
  const json &model = doc["models"][0];
  EXPECT_TRUE(doc["options"]["schedule"].is_null());  // the built-in schedules
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
}

// A tapered, bent model, turned, seen by a turned and shifted camera.
TEST(ResultsObj, ReadsBackAsAClosedOutwardSurfaceThroughTheModelsOwnNodes) {
  ScratchDir dir;
  std::string path = dir.file("fit.obj");
  testmodel::Shape shape;
  shape.a3 = 1.5, shape.e1 = 0.7, shape.tapx = 0.3, shape.bend1 = 0.2, shape.bend3 = 0.5;
  testmodel::Model m = testmodel::make_model(5, 6, shape);
  hybroid *h = m.get();
  h->orientation = {cos(0.4), {sin(0.4), 0.0, 0.0}};
  rotation_from_quaternion(h->orientation, h->rotation);
  h->translation = {0.5, -0.25, -7.0};
  mat_from_rpy(h->camera_rotation, 0.1, 0.3, 0.0);
  h->camera_translation = {2.0, 0.0, 1.0};
  OnlyModel only(h);
  mesh_file = &path[0];
  ASSERT_EQ(write_run_outputs(0), 0);
  ObjFile obj = read_obj(path);
  ASSERT_EQ((int)obj.v.size(), h->numnodes);
  ASSERT_EQ(obj.vn.size(), obj.v.size());
  EXPECT_EQ((int)obj.f.size(), 2 * (h->usize - 1) * h->vsize + 2 * h->vsize);

  // Closed and consistently turned: each edge is run once each way.
  std::map<std::pair<int, int>, int> edges;
  double volume6 = 0.0;
  for (auto &t : obj.f) {
    for (int k = 0; k < 3; k++) edges[{t[k], t[(k + 1) % 3]}]++;
    vector a = obj.v[t[0]], b = obj.v[t[1]], c = obj.v[t[2]];
    volume6 += a.x * (b.y * c.z - b.z * c.y) + a.y * (b.z * c.x - b.x * c.z) +
               a.z * (b.x * c.y - b.y * c.x);
  }
  for (auto &e : edges) EXPECT_TRUE(e.second == 1 && edges.count({e.first.second, e.first.first}));
  EXPECT_GT(volume6, 0.0);  // turned outwards: the enclosed volume is positive

  // Vertex k is the surface point of node k: camera R (R (refer - centre) + t) + camera t.
  const double kTol = 1e-12;  // a few roundings of numbers near 10
  for (int k = 0; k < h->numnodes; k++) {
    const vector &p = h->nodes[k].refer, &o = h->model_center;
    vector c = matrix_times_vector(h->rotation, {p.x - o.x, p.y - o.y, p.z - o.z});
    vector w = matrix_times_vector(h->camera_rotation, {c.x + 0.5, c.y - 0.25, c.z - 7.0});
    w = {w.x + 2.0, w.y, w.z + 1.0};
    EXPECT_TRUE(testutil::near_vector(w, obj.v[k], kTol)) << "vertex " << k;
    vector nv = obj.vn[k];
    EXPECT_NEAR(nv.x * nv.x + nv.y * nv.y + nv.z * nv.z, 1.0, kTol) << "normal " << k;
  }
}

TEST(ResultsRefusals, AMeshPathThatCannotBeWrittenIsRefusedBeforeThePrompt) {
  RunResult r = run_batch("-m /nonexistent-dir/fit.obj cylinder5.dump");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot open mesh file /nonexistent-dir/fit.obj\n");
}

// Window pixel (column, row from the top) of world point p in the view the
// window starts with: 300 units away, a 6-degree field of view, 591 x 791.
static void window_pixel(const json &p, int *col, int *row) {
  const double kWidth = 591, kHeight = 791, kDistance = 300;
  double c = 1.0 / tan(3.0 * M_PI / 180.0);
  double w = kDistance - p[2].get<double>();
  double nx = c * p[0].get<double>() / (kWidth / kHeight) / w, ny = c * p[1].get<double>() / w;
  *col = (int)floor((nx + 1) / 2 * kWidth);
  *row = (int)(kHeight - 1 - floor((ny + 1) / 2 * kHeight));
}

TEST(ResultsSnapshot, ABatchRunDrawsTheWindowsFrameWithTheModelWhereItIs) {
  ScratchDir dir;
  RunResult r = run_batch("-o '" + dir.file("fit.json") + "' cylinder5.dump",
                          "HYBROID_SNAPSHOT='" + dir.file("fit.png") + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  cairo_surface_t *png = cairo_image_surface_create_from_png(dir.file("fit.png").c_str());
  ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
  const int width = 591, height = 791;
  ASSERT_EQ(cairo_image_surface_get_width(png), width);
  ASSERT_EQ(cairo_image_surface_get_height(png), height);
  const unsigned char *data = cairo_image_surface_get_data(png);
  int stride = cairo_image_surface_get_stride(png);
  json doc = json::parse(testutil::read_file(dir.file("fit.json")));
  int col, row;
  window_pixel(doc["models"][0]["world_frame"]["translation"], &col, &row);
  ASSERT_TRUE(col >= 5 && col < width - 5 && row >= 5 && row < height - 5);
  auto count_lit = [&](int x0, int x1, int y0, int y1) {  // pixels not black
    int n = 0;
    for (int y = y0; y <= y1; y++)
      for (int x = x0; x <= x1; x++)
        n += (*(const uint32_t *)(data + y * stride + 4 * x) & 0xffffff) != 0;
    return n;
  };
  // The mesh, its projection and the rays cover the model's centre; the
  // first panel line is text at the top left; below the image plane the
  // frame stays black.
  EXPECT_GT(count_lit(col - 5, col + 5, row - 5, row + 5), 30);
  EXPECT_GT(count_lit(5, 230, 0, 12), 100);
  EXPECT_EQ(count_lit(0, width - 1, height - 150, height - 1), 0);
  cairo_surface_destroy(png);
}

TEST(ResultsRefusals, AnUnwritableSnapshotIsOneLineAndStatusFiveWithTheFitKept) {
  ScratchDir dir;
  RunResult r = run_batch("-o '" + dir.file("fit.json") + "' -m '" + dir.file("fit.obj") +
                              "' cylinder5.dump",
                          "HYBROID_SNAPSHOT=/nonexistent-dir/fit.png");
  EXPECT_EQ(r.status, 5);
  EXPECT_NE(r.err.find("Cannot write snapshot /nonexistent-dir/fit.png\n"), std::string::npos);
  EXPECT_EQ(json::parse(testutil::read_file(dir.file("fit.json")))["run"]["end"], "finished");
  EXPECT_EQ(read_obj(dir.file("fit.obj")).objects, 1);
}
