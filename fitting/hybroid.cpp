// hybroid.cpp -- life of a model: allocation, initialisation, the mesh, the
// release, the text reports of its state and the on-screen panel.
//
// A model is allocated zero-filled (hybroid_alloc) and built by init_hybroid,
// which sizes it from the primitive parameters, builds the latitude-longitude
// mesh here (allocate_hybroid, assemble_hybroid_rectangular_mesh) and hands
// the rest of the set-up to the parameter, damping, mapping and centre
// modules.  The mesh writes the model's usize..elems fields and each node's
// angles, sines, cosines and neighbour links; nothing changes them later.
// free_hybroid releases everything the model owns.
//
// Start with init_hybroid, then assemble_hybroid_rectangular_mesh; the grid
// layout is described at hybroid.h's node record.
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "Mqmalloc.h"
#include "gl.h"
#include "hybroid.h"

static const double PI = 3.141592653589793;
static const double HALF_PI = 1.5707963267948966;

hybroid *hybroid_alloc() { return (hybroid *)Mqcalloc_checked(1, sizeof(hybroid)); }

void init_hybroid(hybroid *h) {
  h->subsample = 0;
  h->normal_force_flag = 1;
  init_primitive_hybroid_parameter(h);  // usize, vsize, shape
  allocate_hybroid(h);
  assemble_hybroid_rectangular_mesh(h);
  init_primitive_damping_parameter(h);
  init_primitive_initial_parameter(h);  // pose, centre rule, geometry, positions
  init_dof_uv_mapping(h);
  init_fitting_rules(h);
  init_model_center(h);
  compute_average_linear_dimension(h);
  compute_data_position_wrt_world(h);  // contour points in the world frame
}

// ---------------------------------------------------------------------------
// Mesh
// ---------------------------------------------------------------------------

// A grid of at least one row and one column whose node and element counts
// fit an int.  Smaller grids are refused by the model initialisation; here
// they merely get no mesh.
static bool mesh_size_is_valid(const hybroid *h) {
  return h->usize >= 1 && h->vsize >= 1 &&
         (long long)(h->usize + 1) * h->vsize + 2 <= (long long)INT_MAX;
}

void allocate_hybroid(hybroid *h) {
  h->numnodes = 0;
  h->numelems = 0;
  h->nodes = nullptr;
  h->elems = nullptr;
  h->forced = nullptr;
  if (mesh_size_is_valid(h)) {
    h->numnodes = h->usize * h->vsize + 2;
    h->numelems = (h->usize - 1) * h->vsize + 2 * h->vsize;
    h->nodes = (node *)Mqcalloc_checked(h->numnodes, sizeof(node));
    h->elems = (elem *)Mqcalloc_checked(h->numelems, sizeof(elem));
  }
  fprintf(stderr, "Element number:elems = %d\n", h->numelems);
  if (!h->nodes) return;
  h->nodes[h->numnodes - 2].many_neighbors = (node **)Mqcalloc_checked(h->vsize, sizeof(node *));
  h->nodes[h->numnodes - 1].many_neighbors = (node **)Mqcalloc_checked(h->vsize, sizeof(node *));
  alloc_force_nodes(h);
}

static void set_node_angles(node *n, double u, double v) {
  n->uu = u;
  n->vv = v;
  n->cosu = cos(u);
  n->cosv = cos(v);
  n->sinu = sin(u);
  n->sinv = sin(v);
}

static void set_pole_angles(node *pole, double u, double sinu) {
  pole->uu = u;
  pole->vv = 0.0;
  pole->cosu = 0.0;
  pole->cosv = 1.0;
  pole->sinu = sinu;
  pole->sinv = 0.0;
}

void init_rect_uv_coords(hybroid *h) {
  if (!h->nodes || !mesh_size_is_valid(h) || h->numnodes != h->usize * h->vsize + 2) return;
  h->ustep = PI / (h->usize + 1);
  h->vstep = 2.0 * PI / h->vsize;
  h->ubegin = -HALF_PI + h->ustep;
  h->uend = HALF_PI - h->ustep;
  h->vbegin = -PI;
  h->vend = PI - h->vstep;
  double u = h->ubegin;
  for (int i = 0; i < h->usize; i++) {
    double v = h->vbegin;
    for (int j = 0; j < h->vsize; j++) {
      set_node_angles(&h->nodes[i * h->vsize + j], u, v);
      v += h->vstep;
    }
    u += h->ustep;
  }
  set_pole_angles(&h->nodes[h->numnodes - 2], -HALF_PI, -1.0);
  set_pole_angles(&h->nodes[h->numnodes - 1], HALF_PI, 1.0);
}

// Appends one element; the caller's count never passes numelems, the guard
// only keeps a miscounted grid from writing past the array.
static void add_element(hybroid *h, int *count, int type, node *a, node *b, node *c, node *d) {
  if (*count >= h->numelems) return;
  elem *e = &h->elems[(*count)++];
  e->vertices[0] = a;
  e->vertices[1] = b;
  e->vertices[2] = c;
  e->vertices[3] = d;
  e->nomnodes = d ? 4 : 3;
  e->elemtype = type;
}

// Row and column links with wrap-around (the caps replace the wrapped row
// links later), and the quadrilaterals (i, j), (i+1, j), (i+1, j+1), (i, j+1).
static void link_grid(hybroid *h, int *count) {
  int umax = h->usize - 1, vmax = h->vsize - 1, vs = h->vsize;
  node *nd = h->nodes;
  for (int i = 0; i <= umax; i++) {
    int ip = i == 0 ? umax : i - 1, in = i == umax ? 0 : i + 1;
    for (int j = 0; j <= vmax; j++) {
      int jp = j == 0 ? vmax : j - 1, jn = j == vmax ? 0 : j + 1;
      node *n = &nd[i * vs + j];
      n->neighbors[0] = &nd[ip * vs + j];
      n->neighbors[1] = &nd[i * vs + jp];
      n->neighbors[2] = &nd[i * vs + jn];
      n->neighbors[3] = &nd[in * vs + j];
      n->num_neighbors = 4;
      if (i < umax)
        add_element(h, count, 0, n, &nd[in * vs + j], &nd[in * vs + jn], &nd[i * vs + jn]);
    }
  }
}

// Joins the first row to the south pole and the last row to the north pole;
// per column a south then a north triangle.
static void link_caps(hybroid *h, int *count) {
  int umax = h->usize - 1, vmax = h->vsize - 1, vs = h->vsize;
  node *nd = h->nodes;
  node *S = &nd[h->numnodes - 2], *N = &nd[h->numnodes - 1];
  for (int j = 0; j <= vmax; j++) {
    int jn = j == vmax ? 0 : j + 1;
    node *first = &nd[j], *last = &nd[umax * vs + j];
    first->neighbors[0] = S;
    S->many_neighbors[j] = first;
    last->neighbors[3] = N;
    N->many_neighbors[j] = last;
    add_element(h, count, 1, S, first, &nd[jn], nullptr);
    add_element(h, count, 2, last, N, &nd[umax * vs + jn], nullptr);
  }
  S->num_neighbors = vs;
  N->num_neighbors = vs;
}

void assemble_hybroid_rectangular_mesh(hybroid *h) {
  if (!h->nodes || !h->elems || !mesh_size_is_valid(h) ||
      h->numnodes != h->usize * h->vsize + 2 ||
      !h->nodes[h->numnodes - 2].many_neighbors || !h->nodes[h->numnodes - 1].many_neighbors)
    return;
  init_rect_uv_coords(h);
  int count = 0;
  link_grid(h, &count);
  link_caps(h, &count);
  fprintf(stderr, "Made number of elemnts:celm = %d\n", count);
}

// ---------------------------------------------------------------------------
// Release
// ---------------------------------------------------------------------------

void free_contour_data(hybroid *h) {
  int n = h->n_face < MAX_FACES ? h->n_face : MAX_FACES;
  for (int f = 0; f < n; f++) {
    if (h->face[f].points) Mqfree(h->face[f].points);
    h->face[f].points = nullptr;
  }
}

void free_hybroid(hybroid *h) {
  if (!h) return;
  if (h->nodes && h->numnodes >= 2) {
    Mqfree(h->nodes[h->numnodes - 2].many_neighbors);
    Mqfree(h->nodes[h->numnodes - 1].many_neighbors);
  }
  free_force_nodes(h);
  Mqfree(h->nodes);
  Mqfree(h->elems);
  Mqfree(h->range_data);
  free_contour_data(h);
  Mqfree(h);
}

// ---------------------------------------------------------------------------
// Reports
// ---------------------------------------------------------------------------

enum { REPORT_SIZE = 4096 };

// Formats into buf at *used, cutting at the end of the buffer; *used never
// passes the place of the terminator.
__attribute__((format(printf, 3, 4)))
static void append_report(char *buf, int *used, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf + *used, REPORT_SIZE - *used, fmt, ap);
  va_end(ap);
  if (n < 0) n = 0;
  *used = (long long)*used + n >= REPORT_SIZE - 1 ? REPORT_SIZE - 1 : *used + n;
}

static void append_shape_block(char *buf, int *used, const hybroid *h) {
  append_report(buf, used,
                " sc = %12.6f, fsc = %12.6f\n a1 = %12.6f, fa1 = %12.6f\n"
                " a2 = %12.6f, fa2 = %12.6f\n a3 = %12.6f, fa3 = %12.6f\n"
                " e1 = %12.6f, fe1 = %12.6f\n e2 = %12.6f, fe2 = %12.6f\n"
                " tapx = %12.6f, ftx = %12.6f\n tapy = %12.6f, fty = %12.6f\n"
                " bend1 = %12.6f, fb1 = %12.6f\n bend3 = %12.6f, fb3 = %12.6f\n",
                h->sc, h->fsc, h->a1, h->fa1, h->a2, h->fa2, h->a3, h->fa3, h->e1, h->fe1,
                h->e2, h->fe2, h->tapx, h->ftx, h->tapy, h->fty, h->bend1, h->fb1, h->bend3,
                h->fb3);
}

// "\033[19C" moves a terminal cursor 19 columns right, lining the second and
// third matrix rows up under the first.
static void append_state_block(char *buf, int *used, const hybroid *h) {
  const vector &f = h->net_applied_force, &t = h->net_applied_torque, &tr = h->translation;
  const double(*R)[3] = h->rotation;
  const quaternion &q = h->orientation;
  append_report(buf, used,
                " Net Force %12.6f %12.6f %12.6f\n Net Applied torque %12.6f %12.6f %12.6f\n"
                " Translation = %12.6f %12.6f %12.6f\n"
                " Rotation Matrix  = %12.6f %12.6f %12.6f\n"
                " \033[19C%12.6f %12.6f %12.6f\n \033[19C%12.6f %12.6f %12.6f\n"
                " Quaternion(w,v) = %12.6f  %12.6f %12.6f %12.6f\n"
                " Persp = %d\n Normal_force = %d\n fit_ind = %d\n"
                " df_mask = 0x%-4x\n diff = 0x%-4x\n d_ang = %12.6f\n"
                " axis = %12.6f %12.6f %12.6f\n GOF = %12.6f\n",
                f.x, f.y, f.z, t.x, t.y, t.z, tr.x, tr.y, tr.z, R[0][0], R[0][1], R[0][2],
                R[1][0], R[1][1], R[1][2], R[2][0], R[2][1], R[2][2], q.w, q.v.x, q.v.y, q.v.z,
                h->perspective_flag, h->normal_force_flag, h->fitting_index,
                (unsigned)h->df_mask, (unsigned)h->diff, h->d_ang, h->axis_diff.x,
                h->axis_diff.y, h->axis_diff.z, h->gof);
}

// The report of one model, cut at the end of its 4096-character buffer when
// the values are absurdly large.
void fprintf_hybroid_info(FILE *fp, hybroid *h) {
  char buf[REPORT_SIZE];
  int used = 0;
  buf[0] = '\0';
  append_shape_block(buf, &used, h);
  append_state_block(buf, &used, h);
  fprintf(fp, "%s", buf);
  fflush(fp);
}

// One trace line per call, numbered from 1.
void fprintf_superquadric_params(FILE *fp, hybroid *h) {
  static int calls = 0;
  calls++;
  fprintf(fp, "%d %8.4f %8.4f %8.4f %8.4f %8.4f %8.4f\n", calls, h->sc, h->a1, h->a2, h->a3,
          h->tapx, h->tapy);
}

// ---------------------------------------------------------------------------
// The on-screen panel
// ---------------------------------------------------------------------------

enum { PANEL_LINE_SPACING = 13 };  // pixels between the baselines of two lines

static Matrix IdentityMatrix = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

// Formats the 31 panel lines of model h; the spaces inside the formats align
// related values in the fixed-width font.
void format_panel_lines(const hybroid *h, char lines[][PANEL_LINE_SIZE]) {
  const double(*r)[3] = h->rotation;
  const double(*c)[3] = h->camera_rotation;
  int n = 0;
#define LINE(...) snprintf(lines[n++], PANEL_LINE_SIZE, __VA_ARGS__)
  LINE("sc = %12.6f, fsc = %12.6f", h->sc, h->fsc);
  LINE("a1 = %12.6f, fa1 = %12.6f", h->a1, h->fa1);
  LINE("a2 = %12.6f, fa2 = %12.6f", h->a2, h->fa2);
  LINE("a3 = %12.6f, fa3 = %12.6f", h->a3, h->fa3);
  LINE("b1 = %12.6f, fb1 = %12.6f", h->bend1, h->fb1);
  LINE("b3 = %12.6f, fb3 = %12.6f", h->bend3, h->fb3);
  LINE("tx = %12.6f, ftx = %12.6f", h->tapx, h->ftx);
  LINE("ty = %12.6f, fty = %12.6f", h->tapy, h->fty);
  LINE("e1 = %12.6f, fe1 = %12.6f", h->e1, h->fe1);
  LINE("e2 = %12.6f, fe2 = %12.6f", h->e2, h->fe2);
  LINE("Net Applied Force  = %12.6f %12.6f %12.6f", h->net_applied_force.x,
       h->net_applied_force.y, h->net_applied_force.z);
  LINE("Net Applied Torque = %12.6f %12.6f %12.6f", h->net_applied_torque.x,
       h->net_applied_torque.y, h->net_applied_torque.z);
  LINE("Translation = %12.6f %12.6f %12.6f", h->translation.x, h->translation.y,
       h->translation.z);
  LINE("Rotation    = %12.6f %12.6f %12.6f", r[0][0], r[0][1], r[0][2]);
  LINE("              %12.6f %12.6f %12.6f", r[1][0], r[1][1], r[1][2]);
  LINE("              %12.6f %12.6f %12.6f", r[2][0], r[2][1], r[2][2]);
  LINE("Quaternion =  (%8.4f, <%8.4f %8.4f %8.4f>)", h->orientation.w, h->orientation.v.x,
       h->orientation.v.y, h->orientation.v.z);
  LINE("Perspective_flag  = %d", h->perspective_flag);
  LINE("Normal_force_flag = %d", h->normal_force_flag);
  LINE("Subsample = %d", h->subsample);
  LINE("Euler_step = %f", h->dt);
  LINE("fitting_index     = %d", h->fitting_index);
  LINE("df_mask = 0x%-4x", h->df_mask);
  LINE("diff    = 0x%-4x", h->diff);
  LINE("d_ang     = %12.6f", h->d_ang);
  LINE("Axis diff = %12.6f %12.6f %12.6f", h->axis_diff.x, h->axis_diff.y, h->axis_diff.z);
  LINE("GOF       = %12.6f", h->gof);
  LINE("Camera Tran = %12.6f %12.6f %12.6f", h->camera_translation.x,
       h->camera_translation.y, h->camera_translation.z);
  LINE("Camera Rot  = %12.6f %12.6f %12.6f", c[0][0], c[0][1], c[0][2]);
  LINE("              %12.6f %12.6f %12.6f", c[1][0], c[1][1], c[1][2]);
  LINE("              %12.6f %12.6f %12.6f", c[2][0], c[2][1], c[2][2]);
#undef LINE
}

// The panel's extra line in an automatic fit whose current stage comes
// from a schedule file: the stage number and its words.  Returns 0 (line
// left empty) otherwise, so that the built-in panel keeps its 31 lines.
int format_stage_line(const hybroid *h, char line[PANEL_LINE_SIZE]) {
  line[0] = '\0';
  int i = h->fitting_index;
  if (!auto_fitting || i < 0 || i >= MAX_SEQUENCE) return 0;
  if (!(h->stage_options[i] & STAGE_FROM_FILE) || h->fitting_sequence[i] == 0) return 0;
  int n = snprintf(line, PANEL_LINE_SIZE, "stage %d: ", i + 1);
  describe_stage(h->fitting_sequence[i], h->stage_options[i], h->stage_limit[i], line + n,
                 PANEL_LINE_SIZE - n);
  return 1;
}

void display_hybroid_info(hybroid *h) {
  char lines[PANEL_LINES + 1][PANEL_LINE_SIZE];
  format_panel_lines(h, lines);
  int count = PANEL_LINES + format_stage_line(h, lines[PANEL_LINES]);
  long old = getcolor();
  color(3);
  Screencoord left, right, bottom, top;
  getscrmask(&left, &right, &bottom, &top);
  pushmatrix();
  pushviewport();
  loadmatrix(IdentityMatrix);
  ortho2(-0.5f, (right - left) + 0.5f, -0.5f, (top - bottom) + 0.5f);
  int x = h->h_index == 0 ? 5 : 605;
  for (int n = 1; n <= count; n++) {
    cmov2i(x, top - PANEL_LINE_SPACING * n);
    charstr(lines[n - 1]);
  }
  popviewport();
  popmatrix();
  color((Colorindex)old);
  set_projection();
}
