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

