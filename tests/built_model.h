// built_model.h -- test helpers for the fitting-control, stereo and run-loop
// tests: building a real model without contour data, and telling whether an
// operation of a module that is still a placeholder can be called.
#ifndef HYBFIT_BUILT_MODEL_H
#define HYBFIT_BUILT_MODEL_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "hybroid.h"

namespace testmodel {

// Runs call in a child process and reports whether it returned normally.
// An operation that is not built yet aborts there, so a test can skip with
// a reason instead of crashing the whole test program.
template <class F>
bool is_built(F call) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen("/dev/null", "w", stderr)) _exit(3);
    call();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Parameter record of a label: a 7 x 8 mesh of a unit sphere-like
// superquadric with unit damping coefficients.
inline void install_primitive(int label) {
  hyb_param &p = hybroid_parameter[label - 1];
  p = hyb_param{};
  p.usize = 7;
  p.vsize = 8;
  p.sc = 1.0f;
  p.a1 = p.a2 = p.a3 = 1.0f;
  p.e1 = p.e2 = 1.0f;
  p.c_inv_sc = p.c_inv_a1 = p.c_inv_a2 = p.c_inv_a3 = 1.0;
  p.c_inv_tx = p.c_inv_ty = p.c_inv_b1 = p.c_inv_b3 = 1.0;
  p.c_inv_trans = p.c_inv_transz = p.c_inv_rot = p.c_inv_rotz = 1.0;
}

// A model of the given label with no contour data, set up and initialised
// like the run loop does (settings of the default command line, identity
// camera), except for the world positions of its (absent) data points,
// which only the display uses.
inline hybroid *build_model_without_data(int label) {
  install_primitive(label);
  hybroid *h = hybroid_alloc();
  h->ftol = 0.001;
  h->dt = 1.0;
  h->focal_length = 0.1;
  h->x_scale = h->y_scale = 0.05;
  h->x_center = h->y_center = 128.0;
  h->x_dim = h->y_dim = 256;
  set_camera_frame(h);
  h->primitive_label = label;
  h->subsample = 0;
  h->normal_force_flag = 1;
  init_primitive_hybroid_parameter(h);
  allocate_hybroid(h);
  assemble_hybroid_rectangular_mesh(h);
  init_primitive_damping_parameter(h);
  init_primitive_initial_parameter(h);
  init_dof_uv_mapping(h);
  init_fitting_rules(h);
  init_model_center(h);
  compute_average_linear_dimension(h);
  return h;
}

// Whether every module a fitting step on a built model calls exists yet.
inline bool fitting_step_is_built() {
  return is_built([] {
    hybroid *h = build_model_without_data(5);
    compute_motion_auto(h);
    h->df_mask = DF_TRANS | DF_ROT | DF_SC;
    compute_motion(h);
    free_hybroid(h);
  });
}

}  // namespace testmodel

#define SKIP_UNLESS_FITTING_STEP_IS_BUILT()                 \
  if (!testmodel::fitting_step_is_built())                   \
  GTEST_SKIP() << "an operation of the fitting step is not built yet"

#endif
