// Graphics layer speed against the X server named by DISPLAY: key polls per
// second (the state kept from the window's key events, no round trip),
// pointer polls (one round trip each), and whole frames like the program's at its
// window size, 591 x 791: clear, about 5,000 line segments in 8 colours at
// width 2, 31 text lines, swap (frame pacing off).  Without a display every
// benchmark is skipped with a message.  Run under tests/with-xvfb for a
// private server.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "gl.h"
#include "gl_internal.h"

namespace {

bool need_display(benchmark::State &state) {
  if (gl_open_display()) return true;
  state.SkipWithError("no X display (set DISPLAY, e.g. run under tests/with-xvfb)");
  return false;
}

void BM_GetbuttonPoll(benchmark::State &state) {
  if (!need_display(state)) return;
  long held = 0;
  for (auto _ : state) held += getbutton(DEV_T);
  benchmark::DoNotOptimize(held);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetbuttonPoll)->UseRealTime();

void BM_GetvaluatorPoll(benchmark::State &state) {
  if (!need_display(state)) return;
  long sum = 0;
  for (auto _ : state) sum += getvaluator(DEV_MOUSEX);
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetvaluatorPoll)->UseRealTime();

// ---------------------------------------------------------------------------
// A frame like the program's
// ---------------------------------------------------------------------------
const int kGrid = 20;        // nodes per ring and rings per mesh
const int kCubes = 150;      // data points drawn as 12-edge cubes
const int kForces = 740;     // single force segments, colour changing each time
const int kTextLines = 31;
// Sizes as the program draws them at its initial view (31.4 units from the
// bottom of the window to the top, about 25 pixels a unit): models a few
// units across, data cubes of half-size 0.016, forces about a unit long.
const double kMeshRadius = 4.0;
const double kCubeHalfSize = 0.016;

void open_window() {
  setenv("HYBROID_SWAP_INTERVAL", "0", 1);
  prefposition(10, 600, 10, 800);
  noborder();
  winopen("bench");
  cmode();
  doublebuffer();
  gconfig();
  mmode(2);
}

// A wire sphere of radius r at (cx, cy, cz): closed rings and open meridians.
void draw_mesh(double cx, double cy, double cz, double r) {
  for (int u = 0; u < kGrid; u++) {
    double lat = M_PI * (u + 1) / (kGrid + 1) - M_PI / 2;
    bgnclosedline();
    for (int v = 0; v < kGrid; v++) {
      double lon = 2 * M_PI * v / kGrid;
      double p[3] = {cx + r * cos(lat) * cos(lon), cy + r * cos(lat) * sin(lon),
                     cz + r * sin(lat)};
      v3d(p);
    }
    endclosedline();
  }
  for (int v = 0; v < kGrid; v++) {
    double lon = 2 * M_PI * v / kGrid;
    bgnline();
    for (int u = -1; u <= kGrid; u++) {
      double lat = M_PI * (u + 1) / (kGrid + 1) - M_PI / 2;
      double p[3] = {cx + r * cos(lat) * cos(lon), cy + r * cos(lat) * sin(lon),
                     cz + r * sin(lat)};
      v3d(p);
    }
    endline();
  }
}

// The 12 edges of the cube of half-size s at c; corner k has bit j of k set
// where its coordinate j is c[j] + s.
void draw_cube(const double c[3], double s) {
  const int edges[12][2] = {{0, 1}, {1, 3}, {3, 2}, {2, 0}, {4, 5}, {5, 7},
                            {7, 6}, {6, 4}, {0, 4}, {1, 5}, {2, 6}, {3, 7}};
  for (const auto &e : edges) {
    float a[3], b[3];
    for (int k = 0; k < 3; k++) {
      a[k] = (float)(c[k] + (((e[0] >> k) & 1) ? s : -s));
      b[k] = (float)(c[k] + (((e[1] >> k) & 1) ? s : -s));
    }
    move(a[0], a[1], a[2]);
    draw(b[0], b[1], b[2]);
  }
}

void draw_scene() {
  perspective(60, 591.0f / 791.0f, 0.1f, 3000.0f);
  Matrix id = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  loadmatrix(id);
  polarview(300.0f, 150, 200, 0);
  linewidth(2);
  color(7);
  draw_mesh(0, 0, 0, kMeshRadius);
  color(3);
  draw_mesh(-1, 1, 0, kMeshRadius);
  draw_mesh(1, -1, 0, kMeshRadius);
  color(2);
  for (int i = 0; i < kCubes; i++) {
    double c[3] = {-6 + 12.0 * i / kCubes, 5 * sin(i * 0.3), cos(i * 0.7)};
    draw_cube(c, kCubeHalfSize);
  }
  for (int i = 0; i < kForces; i++) {
    double t = i * 2 * M_PI / kForces;
    color((Colorindex)(1 + i % 6));
    move((float)(4 * cos(t)), (float)(4 * sin(t)), 0.0f);
    draw((float)(5 * cos(t)), (float)(5 * sin(t)), 0.5f);
  }
}

void draw_text_panel() {
  ortho2(-0.5f, 590.5f, -0.5f, 790.5f);
  Matrix id = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  loadmatrix(id);
  color(3);
  char line[80];
  for (int i = 0; i < kTextLines; i++) {
    snprintf(line, sizeof line, "param %2d  sc = %9.6f  a1 = %9.6f  tapx = %8.5f", i, 1.0 + i,
             0.25 * i, -0.01 * i);
    cmov2i(10, 775 - 13 * i);
    charstr(line);
  }
}

void BM_ProgramFrame(benchmark::State &state) {
  if (!need_display(state)) return;
  open_window();
  for (auto _ : state) {
    color(0);
    clear();
    draw_scene();
    draw_text_panel();
    swapbuffers();
  }
  state.counters["frames_per_second"] =
      benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
  state.counters["segments_per_frame"] =
      3 * (kGrid * kGrid + kGrid * (kGrid + 1)) + 12 * kCubes + kForces;
  gexit();
}
BENCHMARK(BM_ProgramFrame)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
