// pending.cpp -- placeholders for operations that are not built yet.
// Each aborts with a message if called.  Delete a placeholder when its real
// definition lands; this file disappears once everything is built.
#include <cstdio>
#include <cstdlib>

#include "gl.h"
#include "hybroid.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

[[noreturn]] static void not_built(const char *name) {
  fprintf(stderr, "%s is not built yet\n", name);
  abort();
}

// ---- fitting ----
int stop_flag = 0;
void fit_single_view(hybroid *h) { not_built("fit_single_view"); }

void fit_stereo_views(hybroid *h_left, hybroid *h_right) { not_built("fit_stereo_views"); }

// ---- hybroid ----

// ---- superquadric ----

// ---- deformation ----
void compute_superquadric_generalized_force(hybroid *h) { not_built("compute_superquadric_generalized_force"); }

void bookkeep_generalized_force(hybroid *h) { not_built("bookkeep_generalized_force"); }

void fprintf_suq_force_params(FILE *fp, hybroid *h) { not_built("fprintf_suq_force_params"); }

void compute_superquadric_deformation(hybroid *h) { not_built("compute_superquadric_deformation"); }

// ---- forces ----
node *nearest_hybroid_node2D(hybroid *h, vector point, vector *separation, double *distance) { not_built("nearest_hybroid_node2D"); }

node *nearest_hybroid_node_ortho_projection(hybroid *h, struct force_map *fmp, vector point, vector *separation, double *distance) { not_built("nearest_hybroid_node_ortho_projection"); }

node *nearest_hybroid_node_perspective_projection(hybroid *h, struct force_map *fmp, vector point, vector *separation, double *distance) { not_built("nearest_hybroid_node_perspective_projection"); }

void zeroize_force(hybroid *h) { not_built("zeroize_force"); }

void zeroize_gof(hybroid *h) { not_built("zeroize_gof"); }

void compute_range_data_forces_projection(hybroid *h) { not_built("compute_range_data_forces_projection"); }

void compute_normal_force(hybroid *h, struct force_map *fmp, range_datapoint *dp, vector *separation, double *distance) { not_built("compute_normal_force"); }

void project_vector(vector point, vector *direction) { not_built("project_vector"); }

void perform_force_mapping(hybroid *h, struct force_map *fmp, range_datapoint *dp, vector separation, double distance) { not_built("perform_force_mapping"); }

void compute_gof(hybroid *h) { not_built("compute_gof"); }

void compute_net_applied_force_and_torque(hybroid *h) { not_built("compute_net_applied_force_and_torque"); }

void unrotate_force(hybroid *h) { not_built("unrotate_force"); }

void draw_force(hybroid *h, int mask) { not_built("draw_force"); }

// ---- dynamics ----

void choose_fitting_dof(hybroid *h) { not_built("choose_fitting_dof"); }

void compute_motion(hybroid *h) { not_built("compute_motion"); }

int compute_motion_auto(hybroid *h) { not_built("compute_motion_auto"); }

int fit_changing(hybroid *h) { not_built("fit_changing"); }

void init_fitting_rules(hybroid *h) { not_built("init_fitting_rules"); }

void bookkeep_superquadric_parameters(hybroid *h) { not_built("bookkeep_superquadric_parameters"); }

void stereo_couple(hybroid *left, hybroid *right) { not_built("stereo_couple"); }

void compute_stereo_motion(hybroid *h) { not_built("compute_stereo_motion"); }

int compute_stereo_motion_auto(hybroid *left, hybroid *right) { not_built("compute_stereo_motion_auto"); }

// ---- gl ----

