// Cost of tracing a 1024 x 1024 face-label image into a contour dump (the
// target is under 50 ms), and of reading it from a PNG file.  The image is
// hybsynth's rendering of a tilted label-5 model filling a good part of the
// frame, made once before timing.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "label_image.h"
#include "trace.h"

static const int SIZE = 1024;

static const label_image &rendered_image() {
  static label_image img;
  if (img.pixels.empty()) {
    synth_scene s;
    init_synth_scene(&s);
    const char *argv[] = {"hybsynth", "-l", "5", "-S", "4,1.2,1.2,1.6,1,1", "-R", "-30,0,30",
                          "-o", "x"};
    char err[SYNTH_ERROR_SIZE];
    parse_synth_command_line(9, (char **)argv, &s, err);
    std::vector<unsigned char> px((size_t)SIZE * SIZE);
    make_synth_label_image(&s, 0, SIZE, px.data(), err);
    img.width = img.height = SIZE;
    img.pixels.assign(px.begin(), px.end());
  }
  return img;
}

static void BM_TraceLabelImage1024(benchmark::State &state) {
  const label_image &img = rendered_image();
  trace_options o;
  init_trace_options(&o);
  o.label = 5;
  char err[LABEL_ERROR_SIZE];
  for (auto _ : state) {
    synth_view v;
    trace_report r;
    if (!trace_label_image(&img, &o, &v, &r, err)) state.SkipWithError(err);
    free_synth_view(&v);
  }
}
BENCHMARK(BM_TraceLabelImage1024)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

static void BM_ReadLabelPng1024(benchmark::State &state) {
  const label_image &img = rendered_image();
  std::string path = "/tmp/bench_trace_" + std::to_string(getpid()) + ".png";
  std::vector<unsigned char> bytes(img.pixels.begin(), img.pixels.end());
  char err[LABEL_ERROR_SIZE];
  if (!write_grey_png(path.c_str(), SIZE, SIZE, bytes.data(), err)) state.SkipWithError(err);
  for (auto _ : state) {
    label_image in;
    if (!read_label_image(path.c_str(), &in, err)) state.SkipWithError(err);
  }
  remove(path.c_str());
}
BENCHMARK(BM_ReadLabelPng1024)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
