// Graphics layer speed against the X server named by DISPLAY: key polls per
// second (each one X round trip).  Without a display every benchmark is
// skipped with a message.
#include <benchmark/benchmark.h>

#include "gl.h"
#include "gl_internal.h"

namespace {

bool need_display(benchmark::State &state) {
  if (keyboard_available()) return true;
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
BENCHMARK(BM_GetbuttonPoll);

void BM_GetvaluatorPoll(benchmark::State &state) {
  if (!need_display(state)) return;
  long sum = 0;
  for (auto _ : state) sum += getvaluator(DEV_MOUSEX);
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GetvaluatorPoll);

}  // namespace

BENCHMARK_MAIN();
