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

// ---- surfmap ----
void init_primitive_hybroid_parameter(hybroid *h) { not_built("init_primitive_hybroid_parameter"); }

void init_primitive_damping_parameter(hybroid *h) { not_built("init_primitive_damping_parameter"); }

void init_primitive_initial_parameter(hybroid *h) { not_built("init_primitive_initial_parameter"); }

void init_dof_uv_mapping(hybroid *h) { not_built("init_dof_uv_mapping"); }

void init_model_center(hybroid *h) { not_built("init_model_center"); }

int set_uv_mapping(hybroid *h, struct force_map *fmp, int volume_label, int volume_node_label, int curve_label) { not_built("set_uv_mapping"); }

void map_region_to_uv_ranges(hybroid *h, struct force_map *fmp, int region) { not_built("map_region_to_uv_ranges"); }

void set_dof_mapping(struct force_map *fmp, int volume_label, int volume_node_label, int curve_label) { not_built("set_dof_mapping"); }

int curved_occluding_contour(int primitive, int face, int curve) { not_built("curved_occluding_contour"); }

// ---- damping ----
void zeroize_damping_factor(hybroid *h) { not_built("zeroize_damping_factor"); }

void compute_damping_factor(hybroid *h) { not_built("compute_damping_factor"); }

int compute_average_linear_dimension(hybroid *h) { not_built("compute_average_linear_dimension"); }

// ---- gl ----
void foreground() { not_built("foreground"); }

void prefposition(long x1, long x2, long y1, long y2) { not_built("prefposition"); }

void noborder() { not_built("noborder"); }

long winopen(const char *title) { not_built("winopen"); }

void winconstraints() { not_built("winconstraints"); }

void cmode() { not_built("cmode"); }

void doublebuffer() { not_built("doublebuffer"); }

void gconfig() { not_built("gconfig"); }

void frontbuffer(long flag) { not_built("frontbuffer"); }

void clear() { not_built("clear"); }

void swapbuffers() { not_built("swapbuffers"); }

void getsize(long *x, long *y) { not_built("getsize"); }

void reshapeviewport() { not_built("reshapeviewport"); }

void getscrmask(Screencoord *left, Screencoord *right, Screencoord *bottom, Screencoord *top) { not_built("getscrmask"); }

void pushviewport() { not_built("pushviewport"); }

void popviewport() { not_built("popviewport"); }

void gexit() { not_built("gexit"); }

void mmode(short mode) { not_built("mmode"); }

void perspective(Angle fovy, Coord aspect, Coord near_, Coord far_) { not_built("perspective"); }

void ortho2(Coord left, Coord right, Coord bottom, Coord top) { not_built("ortho2"); }

void loadmatrix(const Matrix m) { not_built("loadmatrix"); }

void pushmatrix() { not_built("pushmatrix"); }

void popmatrix() { not_built("popmatrix"); }

void translate(Coord x, Coord y, Coord z) { not_built("translate"); }

void polarview(Coord dist, Angle azim, Angle inc, Angle twist) { not_built("polarview"); }

void color(Colorindex c) { not_built("color"); }

long getcolor() { not_built("getcolor"); }

void linewidth(short n) { not_built("linewidth"); }

void bgnline() { not_built("bgnline"); }

void endline() { not_built("endline"); }

void bgnclosedline() { not_built("bgnclosedline"); }

void endclosedline() { not_built("endclosedline"); }

void v3d(const double v[3]) { not_built("v3d"); }

void move(Coord x, Coord y, Coord z) { not_built("move"); }

void draw(Coord x, Coord y, Coord z) { not_built("draw"); }

void cmov2i(long x, long y) { not_built("cmov2i"); }

void charstr(const char *s) { not_built("charstr"); }

long defpup(const char *str, ...) { not_built("defpup"); }

long dopup(long menu) { not_built("dopup"); }

