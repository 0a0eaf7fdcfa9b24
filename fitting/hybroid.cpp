// hybroid.cpp -- life of a model: allocation, initialisation, the mesh, the
// release, and the text reports of its state.
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
  Mqfree(h->nodes);
  Mqfree(h->elems);
  Mqfree(h->range_data);
  free_contour_data(h);
  Mqfree(h);
}

