// built_model.h -- test helpers for the fitting-control, stereo and run-loop
// tests: building a real model without contour data.
#ifndef HYBFIT_BUILT_MODEL_H
#define HYBFIT_BUILT_MODEL_H

#include <gtest/gtest.h>

#include <cstdio>

#include "hybroid.h"

namespace testmodel {


// Parameter record of a label: a usize x vsize mesh (7 x 8 unless given) of
// a unit sphere-like superquadric with unit damping coefficients.
inline void install_primitive(int label, int usize = 7, int vsize = 8) {
  hyb_param &p = hybroid_parameter[label - 1];
  p = hyb_param{};
  p.usize = usize;
  p.vsize = vsize;
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
inline hybroid *build_model_without_data(int label, int usize = 7, int vsize = 8) {
  install_primitive(label, usize, vsize);
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

}  // namespace testmodel

#endif
