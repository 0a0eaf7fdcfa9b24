// bench_fit.cpp -- the cost of fitting: one automatic step, a whole
// automatic fit (built-in schedule and samples/schedule), and the bare
// nearest-node searches that one step contains,
// all on the bundled upright-cylinder sample (primitive 5).
//
// After the runs it prints the steps per second and the ratio of the step
// time to the time of its searches: the searches should dominate a step
// (target: a step costs at most 1.5 times its searches).  It does so for
// the real and for the CPU times.  The searches are the pass's own (its
// candidate lists and their scans, nearest_node_searches_of_pass).  Run
// with --benchmark_repetitions=N to get the ratios of the medians.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "hybroid.h"
#include "bench_util.h"

namespace {

const std::string SAMPLES = std::string(HYBFIT_SOURCE_DIR) + "/samples/";
const char *SAMPLE = "cylinder5.dump";
// The last entry of primitive 5's schedule: every degree of freedom of the
// schedule, all data points, normal forces.
const int FULL_ENTRY = 7;

void load_tables_once() {
  static bool loaded = false;
  if (loaded) return;
  benchutil::quietly([] {
    read_primitive_hybroid_parameter((SAMPLES + "hyb").c_str());
    read_primitive_dof_mapping((SAMPLES + "forcemap").c_str());
  });
  loaded = true;
}

// A model read and initialised as the batch run does it.
hybroid *build_sample_model() {
  load_tables_once();
  graphics_off = 1;
  hybroid *h = nullptr;
  benchutil::quietly([&] {
    h = hybroid_alloc();
    setup_param(&h, 1);
    read_ascii_xy_data_dump((SAMPLES + SAMPLE).c_str(), h, 1.0);
    init_hybroid(h);
  });
  return h;
}

void BM_AutomaticStep(benchmark::State &state) {
  hybroid *h = build_sample_model();
  for (auto _ : state) {
    h->fitting_index = FULL_ENTRY;
    benchmark::DoNotOptimize(compute_motion_auto(h));
  }
  state.SetItemsProcessed(state.iterations());
  free_hybroid(h);
}
BENCHMARK(BM_AutomaticStep);

void BM_SearchesOfOneStep(benchmark::State &state) {
  hybroid *h = build_sample_model();
  h->fitting_index = FULL_ENTRY;
  compute_motion_auto(h);  // positions, normals, df_mask and sampling of the step
  h->fitting_index = FULL_ENTRY;
  h->df_mask = h->fitting_sequence[FULL_ENTRY];
  compute_positions(h);
  compute_projected_positions(h);
  compute_tangent(h);
  unrotate_normal(h);
  int found = 0;
  for (auto _ : state) benchmark::DoNotOptimize(found = nearest_node_searches_of_pass(h));
  state.counters["searches"] = found;
  free_hybroid(h);
}
BENCHMARK(BM_SearchesOfOneStep);

// Times whole automatic fits of the sample model, building and freeing it
// outside the timing, and counts the steps of a fit.
static void time_whole_fits(benchmark::State &state) {
  long steps = 0;
  for (auto _ : state) {
    state.PauseTiming();
    hybroid *h = build_sample_model();
    state.ResumeTiming();
    while (!compute_motion_auto(h)) steps++;
    state.PauseTiming();
    free_hybroid(h);
    state.ResumeTiming();
  }
  state.counters["steps_per_fit"] =
      benchmark::Counter((double)steps / (double)state.iterations());
}

void BM_WholeAutomaticFit(benchmark::State &state) {
  time_whole_fits(state);
}
BENCHMARK(BM_WholeAutomaticFit)->Unit(benchmark::kMillisecond);

// The same fit with the bundled schedule file instead of the built-in
// schedule (model initialisation included: the first stage reads the start
// pose from the data).
void BM_WholeFitWithShippedSchedule(benchmark::State &state) {
  static std::string path = SAMPLES + "schedule";
  char err[SCHEDULE_ERROR_SIZE];
  if (load_schedule_file(path.c_str(), err) != 0) {
    state.SkipWithError(err);
    return;
  }
  schedule_file_used = path.c_str();
  time_whole_fits(state);
  schedule_file_used = nullptr;
}
BENCHMARK(BM_WholeFitWithShippedSchedule)->Unit(benchmark::kMillisecond);

// Console output plus the real and CPU time per iteration of each
// benchmark, kept for the summary.  With repetitions the medians are kept.
class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> seconds, cpu_seconds;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      std::string name = r.benchmark_name();
      const std::string median = "_median";
      if (r.run_type == Run::RT_Aggregate) {
        if (name.size() < median.size() ||
            name.compare(name.size() - median.size(), median.size(), median) != 0)
          continue;
        name.erase(name.size() - median.size());
      }
      double unit = benchmark::GetTimeUnitMultiplier(r.time_unit);
      seconds[name] = r.GetAdjustedRealTime() / unit;
      cpu_seconds[name] = r.GetAdjustedCPUTime() / unit;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

// Steps per second, the ratio to the searches and the time of a step
// beyond its searches, from real or CPU times (on a busy machine the real
// times also count the waits for a processor).
void print_summary(const char *kind, std::map<std::string, double> &times) {
  double step = times["BM_AutomaticStep"];
  double search = times["BM_SearchesOfOneStep"];
  if (!(step > 0 && search > 0)) return;
  printf("%s time: steps per second: %.0f; step %.1f us, searches %.1f us, rest %.1f us\n", kind,
         1 / step, step * 1e6, search * 1e6, (step - search) * 1e6);
  printf("%s time: step time / search time: %.3f (target <= 1.5)\n", kind, step / search);
}

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  RecordingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_summary("real", reporter.seconds);
  print_summary("CPU", reporter.cpu_seconds);
  benchmark::Shutdown();
  return 0;
}
