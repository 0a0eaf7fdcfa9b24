// bench_interactive.cpp -- whole passes of the interactive loop: the front
// end's event handling, one automatic fitting step and the redraw of the
// frame (meshes, data, forces, rays, axes, panel), in the program's window on
// the X server named by DISPLAY, on the bundled upright-cylinder sample.
// Frame pacing is turned off (HYBROID_SWAP_INTERVAL=0) so that the figure is
// the program's own cost.  Target: at least 200 passes per second.  The
// counters key_state_requests_per_pass and pointer_requests_per_pass count
// the server round trips that read the keyboard (XQueryKeymap) and the
// pointer (XQueryPointer), caught by the wrappers below: keys come from the
// window's events, so the first must be 0.
#include <X11/Xlib.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "gl.h"
#include "hybroid.h"
#include "bench_util.h"

namespace {
long key_state_requests = 0;
long pointer_requests = 0;
}  // namespace

// The graphics layer is linked into this program statically, so its calls of
// these two Xlib functions come here first; the real ones do the work.
extern "C" int XQueryKeymap(Display *dpy, char keys[32]) {
  typedef int (*fn)(Display *, char *);
  static fn real = (fn)dlsym(RTLD_NEXT, "XQueryKeymap");
  key_state_requests++;
  return real(dpy, keys);
}

extern "C" Bool XQueryPointer(Display *dpy, Window w, Window *root, Window *child, int *rx,
                              int *ry, int *wx, int *wy, unsigned int *mask) {
  typedef Bool (*fn)(Display *, Window, Window *, Window *, int *, int *, int *, int *,
                     unsigned int *);
  static fn real = (fn)dlsym(RTLD_NEXT, "XQueryPointer");
  pointer_requests++;
  return real(dpy, w, root, child, rx, ry, wx, wy, mask);
}

namespace {

const std::string SAMPLES = std::string(HYBFIT_SOURCE_DIR) + "/samples/";

hybroid *open_window_and_model() {
  hybroid *h = nullptr;
  benchutil::quietly([&] {
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

// One pass of the run loop with graphics on and automatic fitting, with the
// driver's keys read as the run loop reads them; a model whose schedule
// finished starts over so that every pass does real work.
void run_pass(hybroid *h) {
  user(h);
  toggle_fitting_attributes(h);
  adjust_camera_frames(Hybroids, Num_Hybroids);
  if (compute_motion_auto(h)) init_fitting_rules(h);
  sgi_clear();
  draw_on_hybroids();
  display_range_data_hybroid_2Ds(Hybroids, Num_Hybroids);
  toggle_display_attributes();
  draw_fitting_hybroid(h);
  sgi_flush();
}

void BM_InteractivePass(benchmark::State &state) {
  const char *display = getenv("DISPLAY");
  if (!display || !*display) {
    state.SkipWithError("no X display: run under tests/with-xvfb");
    return;
  }
  setenv("HYBROID_SWAP_INTERVAL", "0", 1);
  static hybroid *h = open_window_and_model();
  key_state_requests = pointer_requests = 0;
  for (auto _ : state) run_pass(h);
  state.counters["passes_per_second"] =
      benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
  state.counters["key_state_requests_per_pass"] =
      benchmark::Counter((double)key_state_requests, benchmark::Counter::kAvgIterations);
  state.counters["pointer_requests_per_pass"] =
      benchmark::Counter((double)pointer_requests, benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_InteractivePass)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
