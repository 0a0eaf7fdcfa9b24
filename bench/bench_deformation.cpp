// bench_deformation.cpp -- the cost of the shape dynamics of one step: the
// generalized forces and the shape update with its new geometry, on the
// bundled tapered sample (primitive 6) after one full automatic step has
// gathered its data forces.
//
// Three ways of running them (the argument): 0 the built-in forces and
// geometry; 1 the same with the squareness exponents freed under the
// extended shape dynamics; 2 exact mode, true normals and every force on the
// true derivatives, exponents freed.  The shape keeps its values (time step
// 0) so that every iteration does the same work.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_util.h"
#include "hybroid.h"

namespace {

const std::string SAMPLES = std::string(HYBFIT_SOURCE_DIR) + "/samples/";

// The shade6 sample, initialised as the batch run does it, tapered and bent
// so that every term counts, with the data forces of the last schedule entry.
hybroid *build_forced_model() {
  graphics_off = 1;
  hybroid *h = nullptr;
  benchutil::quietly([&] {
    read_primitive_hybroid_parameter((SAMPLES + "hyb").c_str());
    read_primitive_dof_mapping((SAMPLES + "forcemap").c_str());
    h = hybroid_alloc();
    setup_param(&h, 1);
    read_ascii_xy_data_dump((SAMPLES + "shade6.dump").c_str(), h, 1.0);
    init_hybroid(h);
  });
  h->tapx = 0.2;
  h->bend1 = 0.3;
  h->bend3 = 0.5;
  compute_superquadric_taper_bend_normal(h);
  compute_superquadric_taper_bend_new_center(h);
  int last = 0;
  while (last + 1 < MAX_SEQUENCE && h->fitting_sequence[last + 1]) last++;
  h->fitting_index = last;
  compute_motion_auto(h);
  return h;
}

void BM_ShapeDynamicsOfOneStep(benchmark::State &state) {
  hybroid *h = build_forced_model();
  int mode = (int)state.range(0);
  h->df_mask = DF_SC | DF_A1 | DF_A2 | DF_A3 | DF_TAPX | DF_TAPY | DF_BEND1 | DF_BEND3;
  if (mode >= 1) h->df_mask |= DF_E1 | DF_E2;
  h->extended_shape = mode >= 1;
  h->exact_geometry = mode == 2;
  h->dt = 0.0;
  for (auto _ : state) {
    compute_superquadric_generalized_force(h);
    compute_superquadric_deformation(h);
    benchmark::DoNotOptimize(h->nodes[0].normal);
  }
  state.SetItemsProcessed(state.iterations());
  free_hybroid(h);
}
BENCHMARK(BM_ShapeDynamicsOfOneStep)->Arg(0)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
