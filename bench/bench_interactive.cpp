// bench_interactive.cpp -- whole passes of the interactive loop: the front
// end's event handling, one automatic fitting step and the redraw of the
// frame (meshes, data, forces, rays, axes, panel), in the program's window on
// the X server named by DISPLAY, on the bundled upright-cylinder sample.
// Frame pacing is turned off (HYBROID_SWAP_INTERVAL=0) so that the figure is
// the program's own cost.  Target: at least 200 passes per second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "gl.h"
#include "hybroid.h"

namespace {

const std::string SAMPLES = std::string(HYBFIT_SOURCE_DIR) + "/samples/";

// Runs f with stderr sent to /dev/null (the readers report on it).
template <class F>
void quietly(F f) {
  fflush(stderr);
  int saved = dup(2), null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 2);
  f();
  fflush(stderr);
  dup2(saved, 2);
  close(null_fd);
  close(saved);
}

hybroid *open_window_and_model() {
  hybroid *h = nullptr;
  quietly([&] {
    read_primitive_hybroid_parameter((SAMPLES + "hyb").c_str());
    read_primitive_dof_mapping((SAMPLES + "forcemap").c_str());
    graphics_off = 0;
    sgi_init(10, 600, 10, 800, 0);
    h = hybroid_alloc();
    setup_param(&h, 1);
    read_ascii_xy_data_dump((SAMPLES + "cylinder5.dump").c_str(), h, 1.0);
    init_hybroid(h);
  });
  Hybroids[0] = h;
  Num_Hybroids = 1;
  hybroid_on[0] = 1;
  return h;
}

// One pass of the run loop with graphics on and automatic fitting; a model
// whose schedule finished starts over so that every pass does real work.
void run_pass(hybroid *h) {
  user(h);
  if (compute_motion_auto(h)) init_fitting_rules(h);
  sgi_clear();
  draw_on_hybroids();
  display_range_data_hybroid_2Ds(Hybroids, Num_Hybroids);
  toggle_display_attributes();
  draw_fitting_hybroid(h);
  sgi_flush();
}

void BM_InteractivePass(benchmark::State &state) {
  if (!getenv("DISPLAY") || !keyboard_available()) {
    state.SkipWithError("no X display: run under tests/with-xvfb");
    return;
  }
  setenv("HYBROID_SWAP_INTERVAL", "0", 1);
  static hybroid *h = open_window_and_model();
  for (auto _ : state) run_pass(h);
  state.counters["passes_per_second"] =
      benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_InteractivePass)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
