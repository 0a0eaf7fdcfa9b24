// The outputs of a run: the JSON results (-o), the fitted meshes (-m) and
// the batch snapshot (HYBROID_SNAPSHOT), each read back, and the refusals
// of paths that cannot be written.
#include <cairo.h>

#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>
#include <vector>
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

namespace {

struct ObjFile {
  std::vector<vector> v, vn;
  std::vector<std::array<int, 3>> f;  // vertex numbers from 0
  int objects = 0;
};

ObjFile read_obj(const std::string &path) {
  ObjFile obj;
  std::istringstream in(testutil::read_file(path));
  for (std::string line; std::getline(in, line);) {
    char kind[4] = {0};
    vector p;
    int a, b, c;
    if (sscanf(line.c_str(), "%3s", kind) != 1) continue;
    if (!strcmp(kind, "o")) obj.objects++;
    if (!strcmp(kind, "v") && sscanf(line.c_str(), "v %lf %lf %lf", &p.x, &p.y, &p.z) == 3)
      obj.v.push_back(p);
    if (!strcmp(kind, "vn") && sscanf(line.c_str(), "vn %lf %lf %lf", &p.x, &p.y, &p.z) == 3)
      obj.vn.push_back(p);
    if (!strcmp(kind, "f") &&
        sscanf(line.c_str(), "f %d//%*d %d//%*d %d//%*d", &a, &b, &c) == 3)
      obj.f.push_back({a - 1, b - 1, c - 1});
  }
  return obj;
}

}  // namespace

// ---- JSON ----

TEST(ResultsJson, HoldsTheValuesTheFinalReportPrintsAndTheMeshesFollow) {
  ScratchDir dir;
  std::string path = dir.file("fit.json");
  RunResult r = run_batch("-o '" + path + "' -m '" + dir.file("fit.obj") +
                          "' syn_trio_box1.dump syn_trio_ell5.dump");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_obj(dir.file("fit.obj")).objects, 2);
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

// ---- OBJ ----


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
  char name[] = "x.dump";
  Hybroids[0] = h;
  filenames[0] = name;
  Num_Hybroids = 1;
  mesh_file = &path[0];
  ASSERT_EQ(write_run_outputs(0), 0);
  ObjFile obj = read_obj(path);
  EXPECT_EQ(obj.objects, 1);
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
  for (auto &e : edges) {
    EXPECT_EQ(e.second, 1);
    EXPECT_EQ(edges.count({e.first.second, e.first.first}), 1u);
  }
  EXPECT_GT(volume6, 0.0);  // outwards: positive volume about the origin

  // Vertex k is the surface point of node k: camera R (R (refer - centre) + t) + camera t.
  const double kTol = 1e-12;  // a few roundings of numbers near 10
  for (int k = 0; k < h->numnodes; k++) {
    const node &n = h->nodes[k];
    vector s = {n.refer.x - h->model_center.x, n.refer.y - h->model_center.y,
                n.refer.z - h->model_center.z};
    vector c = matrix_times_vector(h->rotation, s);
    c = {c.x + h->translation.x, c.y + h->translation.y, c.z + h->translation.z};
    vector w = matrix_times_vector(h->camera_rotation, c);
    w = {w.x + 2.0, w.y, w.z + 1.0};
    EXPECT_TRUE(testutil::near_vector(w, obj.v[k], kTol)) << "vertex " << k;
    vector nv = obj.vn[k];
    EXPECT_NEAR(nv.x * nv.x + nv.y * nv.y + nv.z * nv.z, 1.0, kTol) << "normal " << k;
  }
  Num_Hybroids = 0;
  Hybroids[0] = nullptr;
  mesh_file = nullptr;
}

// ---- refusals ----

TEST(ResultsRefusals, AMeshPathThatCannotBeWrittenIsRefusedBeforeThePrompt) {
  RunResult r = run_batch("-m /nonexistent-dir/fit.obj cylinder5.dump");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find("Enter theta"), std::string::npos);
  EXPECT_NE(r.err.find("Cannot open mesh file /nonexistent-dir/fit.obj\n"), std::string::npos);
}

// ---- PNG ----

namespace {

// Window pixel (column, row from the top) of world point p in the view the
// window starts with: 300 units away, a 6-degree field of view, 591 x 791.
void window_pixel(const json &p, int *col, int *row) {
  const double kWidth = 591, kHeight = 791, kDistance = 300;
  double c = 1.0 / tan(3.0 * M_PI / 180.0);
  double w = kDistance - p[2].get<double>();
  double nx = c * p[0].get<double>() / (kWidth / kHeight) / w, ny = c * p[1].get<double>() / w;
  *col = (int)floor((nx + 1) / 2 * kWidth);
  *row = (int)(kHeight - 1 - floor((ny + 1) / 2 * kHeight));
}

}  // namespace

TEST(ResultsSnapshot, ABatchRunDrawsTheWindowsFrameWithTheModelWhereItIs) {
  ScratchDir dir;
  RunResult r = run_batch("-o '" + dir.file("fit.json") + "' cylinder5.dump",
                          "HYBROID_SNAPSHOT='" + dir.file("fit.png") + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  cairo_surface_t *png = cairo_image_surface_create_from_png(dir.file("fit.png").c_str());
  ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
  int width = cairo_image_surface_get_width(png), height = cairo_image_surface_get_height(png);
  EXPECT_EQ(width, 591);
  EXPECT_EQ(height, 791);
  const unsigned char *data = cairo_image_surface_get_data(png);
  int stride = cairo_image_surface_get_stride(png);
  auto lit = [&](int col, int row) {
    uint32_t px = *(const uint32_t *)(data + row * stride + 4 * col);
    return (px & 0xffffff) != 0;
  };
  json doc = json::parse(testutil::read_file(dir.file("fit.json")));
  int col, row;
  window_pixel(doc["models"][0]["world_frame"]["translation"], &col, &row);
  ASSERT_TRUE(col >= 5 && col < width - 5 && row >= 5 && row < height - 5);
  auto count_lit = [&](int x0, int x1, int y0, int y1) {
    int n = 0;
    for (int y = y0; y <= y1; y++)
      for (int x = x0; x <= x1; x++) n += lit(x, y);
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
  EXPECT_EQ(testutil::count_occurrences(r.err, "/nonexistent-dir/fit.png"), 1);
  EXPECT_NE(r.err.find("Cannot write snapshot /nonexistent-dir/fit.png\n"), std::string::npos);
  EXPECT_EQ(json::parse(testutil::read_file(dir.file("fit.json")))["run"]["end"], "finished");
  EXPECT_EQ(read_obj(dir.file("fit.obj")).objects, 1);
}
