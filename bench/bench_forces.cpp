// Cost of the nearest-node searches and of one data-force pass on a
// hand-built 15 x 16 model (an ellipsoid placed in front of the camera) with
// a few hundred contour points around its outline.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "hybroid.h"

static const int USIZE = 15, VSIZE = 16;
static const int POINTS_PER_CURVE = 100;

// The model, its nodes and its data, with three curves on face 1 of a
// primitive-5 model: rows 3 .. 11 whole (the side), row 11 and row 3.
struct BenchModel {
  hybroid h = {};
  std::vector<node> nodes;
  std::vector<range_datapoint> points;

  BenchModel() {
    h.usize = USIZE;
    h.vsize = VSIZE;
    h.numnodes = USIZE * VSIZE + 2;
    h.primitive_label = 5;
    h.e1 = h.e2 = 1.0;
    nodes.assign(h.numnodes, node{});
    h.nodes = nodes.data();
    for (int i = 0; i < USIZE; i++)
      for (int j = 0; j < VSIZE; j++)
        place(&nodes[i * VSIZE + j], -M_PI / 2 + (i + 1) * M_PI / (USIZE + 1),
              -M_PI + j * 2 * M_PI / VSIZE);
    place(&nodes[USIZE * VSIZE], -M_PI / 2, 0.0);
    place(&nodes[USIZE * VSIZE + 1], M_PI / 2, 0.0);
    add_data();
  }
  // Ellipsoid node with axes (3, 2, 4), lying on its side, 20 units deep.
  static void place(node *n, double u, double v) {
    vector m = {3 * cos(u) * cos(v), 2 * cos(u) * sin(v), 4 * sin(u)};
    n->posit = {m.z, m.y, m.x - 20.0};
    n->proj_posit = {n->posit.x * 0.1 / -n->posit.z, n->posit.y * 0.1 / -n->posit.z, -0.1};
    n->rnormal = {sin(u), cos(u) * sin(v), cos(u) * cos(v)};
    n->dXdu = {cos(u), -sin(u) * sin(v), -sin(u) * cos(v)};
    n->dXdv = {0.0, cos(v), -sin(v)};
  }
  void add_data() {
    points.assign(3 * POINTS_PER_CURVE, range_datapoint{});
    for (int i = 0; i < 3 * POINTS_PER_CURVE; i++) {
      double t = 2 * M_PI * i / (3 * POINTS_PER_CURVE);
      points[i].position = {4.2 * cos(t), 2.1 * sin(t), -0.1};
    }
    Face &f = h.face[1];
    f.n_points = 3 * POINTS_PER_CURVE;
    f.points = points.data();
    f.n_curve = 3;
    for (int c = 0; c < 3; c++) {
      f.begin[c] = c * POINTS_PER_CURVE;
      f.end[c] = (c + 1) * POINTS_PER_CURVE - 1;
    }
    h.n_face = 2;
    //            df_mode                  face curve  u1  u2  v1  v2
    h.force_map[0] = {DF_TRANS | DF_A1,      1,   0,    3, 11,  0, 16, 0};
    h.force_map[1] = {DF_TRANS | DF_A3,      1,   1,   11, 11,  0, 16, 0};
    h.force_map[2] = {DF_ROT | DF_A2,        1,   2,    3,  3,  0, 16, 0};
    h.n_force = 3;
  }
};

static void BM_NearestNodeOverAllNodes(benchmark::State &state) {
  BenchModel m;
  vector sep;
  double d;
  size_t i = 0;
  for (auto _ : state) {
    node *n = nearest_hybroid_node2D(&m.h, m.points[i++ % m.points.size()].position, &sep, &d);
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_NearestNodeOverAllNodes);

// arg 0: orthographic, 1: perspective.
static void BM_NearestNodeInAPatch(benchmark::State &state) {
  BenchModel m;
  vector sep;
  double d;
  size_t i = 0;
  for (auto _ : state) {
    range_datapoint &dp = m.points[i++ % m.points.size()];
    node *n = state.range(0)
                  ? nearest_hybroid_node_perspective_projection(&m.h, &m.h.force_map[0],
                                                                dp.position, &sep, &d)
                  : nearest_hybroid_node_ortho_projection(&m.h, &m.h.force_map[0], dp.position,
                                                          &sep, &d);
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_NearestNodeInAPatch)->Arg(0)->Arg(1);

// One pass over all three maps; arg 0 orthographic, 1 perspective; the
// normal forces are on and every point is used.
static void BM_DataForcePass(benchmark::State &state) {
  BenchModel m;
  m.h.perspective_flag = (int)state.range(0);
  m.h.normal_force_flag = 1;
  m.h.df_mask = DF_TRANS | DF_ROT | DF_A1 | DF_A2 | DF_A3;
  for (auto _ : state) {
    zeroize_force(&m.h);
    for (int k = 0; k < NUM_SLOTS; k++) m.h.force_cnt[k] = 0;
    compute_range_data_forces_projection(&m.h);
    benchmark::DoNotOptimize(m.h.gof);
  }
  state.counters["points"] = m.h.force_cnt[SLOT_TOTAL];
}
BENCHMARK(BM_DataForcePass)->Arg(0)->Arg(1);

// The same pass with the maps' patches removed: every point searches all
// nodes.
static void BM_DataForcePassOverAllNodes(benchmark::State &state) {
  BenchModel m;
  for (int i = 0; i < m.h.n_force; i++) m.h.force_map[i].u1 = -1;
  m.h.df_mask = DF_TRANS | DF_ROT | DF_A1 | DF_A2 | DF_A3;
  for (auto _ : state) {
    zeroize_force(&m.h);
    for (int k = 0; k < NUM_SLOTS; k++) m.h.force_cnt[k] = 0;
    compute_range_data_forces_projection(&m.h);
    benchmark::DoNotOptimize(m.h.gof);
  }
  state.counters["points"] = m.h.force_cnt[SLOT_TOTAL];
}
BENCHMARK(BM_DataForcePassOverAllNodes);

BENCHMARK_MAIN();
