// superquadric.cpp -- node geometry of the tapered and bent superquadric, the
// model centre, and the camera-frame normals and tangents of the mesh.
//
// The shape is a superquadric (sizes sc*a1, sc*a2, sc*a3, squareness e1, e2)
// tapered along z by tapx, tapy and bent in the plane at angle bend3 by bend1,
// evaluated at each node's fixed latitude and longitude.  Writes per node:
// refer, normal and the cached signed powers (geometry), refer1 (centre),
// rnormal, dXdu, dXdv (camera frame).  Writes per model: bend_curv and
// model_center.
//
// Start with compute_superquadric_taper_bend_normal and the node geometry it
// runs for every node (the per-model terms and the repeated powers are worked
// out once per pass); the others are short loops over the node array.
#include <cmath>
#include <cstdint>
#include <cstring>

#include "hybroid.h"

static const double HALF_PI = 1.5707963267948966;
static const double BEND_THRESHOLD = 0.00001;  // |bend1| at or below: not bent

// ---------------------------------------------------------------------------
// Small vector helpers
// ---------------------------------------------------------------------------

static double sign_of(double w) { return w < 0.0 ? -1.0 : 1.0; }

static double length_of(vector w) { return sqrt(w.x * w.x + w.y * w.y + w.z * w.z); }

static vector difference(vector a, vector b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

// a x b
static vector cross(vector a, vector b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// w divided by its length; a zero vector stays zero.  Components so large or
// so small that their squares overflow or vanish are first scaled by the
// largest magnitude, so a finite non-zero vector always gives a unit one.
static vector unit(vector w) {
  double len = length_of(w);
  if (len > 0.0 && std::isfinite(len)) return {w.x / len, w.y / len, w.z / len};
  double big = fmax(fabs(w.x), fmax(fabs(w.y), fabs(w.z)));
  if (!(big > 0.0) || !std::isfinite(big)) return {0.0, 0.0, 0.0};
  vector s = {w.x / big, w.y / big, w.z / big};
  len = length_of(s);
  return {s.x / len, s.y / len, s.z / len};
}

// Where the gradient is singular (zero to a negative power, zero taper
// factor) the raw normal holds infinities or NaNs.  The dominant direction is
// kept: infinite components become +-1 and finite ones 0 when any component
// is infinite; a NaN component becomes 0.
static vector finite_direction(vector n) {
  if (std::isfinite(n.x) && std::isfinite(n.y) && std::isfinite(n.z)) return n;
  double c[3] = {n.x, n.y, n.z};
  bool any_inf = std::isinf(c[0]) || std::isinf(c[1]) || std::isinf(c[2]);
  for (double &v : c) {
    if (std::isnan(v))
      v = 0.0;
    else if (any_inf)
      v = std::isinf(v) ? sign_of(v) : 0.0;
  }
  return {c[0], c[1], c[2]};
}

// ---------------------------------------------------------------------------
// Remembered powers
// ---------------------------------------------------------------------------

void clear_power_table(power_table *t) { memset(t->known, 0, sizeof t->known); }

static uint64_t bits_of(double x) {
  uint64_t b;
  memcpy(&b, &x, sizeof b);
  return b;
}

// The table is direct-mapped: each slot keeps the last call whose arguments
// hash to it.
double tabled_pow(power_table *t, double w, double e) {
  uint64_t wb = bits_of(w), eb = bits_of(e);
  uint64_t mix = (wb ^ (eb * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
  int slot = (int)(mix >> (64 - POWER_TABLE_BITS));
  if (!t->known[slot] || t->w[slot] != wb || t->e[slot] != eb) {
    t->known[slot] = true;
    t->w[slot] = wb;
    t->e[slot] = eb;
    t->value[slot] = pow(w, e);
  }
  return t->value[slot];
}

// The node's cached products of S(w, e) = sign(w) * |w|^e:
// S(cos u, e1) S(cos v, e2), S(cos u, e1) S(sin v, e2) and S(sin u, e1).
static void store_signed_powers(node *nde, double e1, double e2, power_table *t) {
  double scu = sign_of(nde->cosu) * tabled_pow(t, fabs(nde->cosu), e1);
  nde->spcue1cve2 = scu * (sign_of(nde->cosv) * tabled_pow(t, fabs(nde->cosv), e2));
  nde->spcue1sve2 = scu * (sign_of(nde->sinv) * tabled_pow(t, fabs(nde->sinv), e2));
  nde->spsue1 = sign_of(nde->sinu) * tabled_pow(t, fabs(nde->sinu), e1);
}

// ---------------------------------------------------------------------------
// Node geometry
// ---------------------------------------------------------------------------

// The terms of the node geometry that do not depend on the node, worked out
// once per pass.  Each is the very expression the per-node formulas contain
// (same operands, same order), so it has the same bits.
struct shape_constants {
  double r1, r2, r3, e1, e2;
  bool bent;                   // |bend1| above the threshold
  double z_top, k, R, cb, sb;  // bending: top, curvature, radius, cos and sin of bend3
  double two_e1, two_e2;       // 2/e1, 2/e2
  double g_power;              // e2/e1 - 1
  double xy_power, z_power;    // 2/e2 - 1, 2/e1 - 1
  double tapx_r3, tapy_r3;     // tapx/r3, tapy/r3
};

static shape_constants compute_shape_constants(const hybroid *h, double r1, double r2, double r3,
                                               double e1, double e2) {
  shape_constants c;
  c.r1 = r1, c.r2 = r2, c.r3 = r3, c.e1 = e1, c.e2 = e2;
  c.bent = fabs(h->bend1) > BEND_THRESHOLD;
  c.z_top = h->sc * h->a3;
  c.k = h->bend1 * HALF_PI / (h->sc * h->a3);
  c.R = 1.0 / c.k;
  c.cb = c.bent ? cos(h->bend3) : 0.0;
  c.sb = c.bent ? sin(h->bend3) : 0.0;
  c.two_e1 = 2.0 / e1;
  c.two_e2 = 2.0 / e2;
  c.g_power = e2 / e1 - 1.0;
  c.xy_power = 2.0 / e2 - 1.0;
  c.z_power = 2.0 / e1 - 1.0;
  c.tapx_r3 = h->tapx / r3;
  c.tapy_r3 = h->tapy / r3;
  return c;
}

// Global bending of (x1, y1, z1) in the plane at angle bend3 about z: the top
// z_top stays fixed and the axis becomes a circular arc of curvature k.
static vector bend_point(hybroid *h, const shape_constants *c, double x1, double y1, double z1) {
  h->bend_curv = c->k;
  double cb = c->cb, sb = c->sb;
  double rx = cb * x1 - sb * y1;
  double ry = sb * x1 + cb * y1;
  double theta = c->k * (z1 - c->z_top);
  double ct = cos(theta), st = sin(theta);
  double rx_bent = ct * (rx - c->R) + c->R;
  double z2 = -st * (rx - c->R) + c->z_top;
  return {cb * rx_bent + sb * ry, -sb * rx_bent + cb * ry, z2};
}

// Unit outward normal at the deformed point p: the gradient of the
// inside-outside function at p with the signs of the node's angles, corrected
// for tapering (x0, y0 are the untapered coordinates).
static vector taper_normal(const hybroid *h, const shape_constants *c, const node *nde, vector p,
                           double x0, double y0, power_table *t) {
  double r1 = c->r1, r2 = c->r2, r3 = c->r3;
  double g;
  if (c->e1 != c->e2)
    g = c->two_e1 * tabled_pow(t,
                               tabled_pow(t, fabs(p.x / r1), c->two_e2) +
                                   tabled_pow(t, fabs(p.y / r2), c->two_e2),
                               c->g_power);
  else
    g = c->two_e2;
  vector grad;
  grad.x = sign_of(nde->cosv) * g * tabled_pow(t, fabs(p.x / r1), c->xy_power) / r1;
  grad.y = sign_of(nde->sinv) * g * tabled_pow(t, fabs(p.y / r2), c->xy_power) / r2;
  grad.z = sign_of(nde->sinu) * c->two_e1 * tabled_pow(t, fabs(p.z / r3), c->z_power) / r3;
  // A singular gradient is reduced to its direction before the taper
  // correction, so that 0 * inf cannot spoil the correction terms.
  grad = finite_direction(grad);
  double nx = grad.x, ny = grad.y, nz = grad.z;

  double fx = 1.0 + h->tapx * (p.z / r3 - 1.0);
  double fy = 1.0 + h->tapy * (p.z / r3 - 1.0);
  vector n;
  n.x = nx / fx;
  n.y = ny / fy;
  n.z = nz - c->tapx_r3 * x0 * nx / (fx * fx) - c->tapy_r3 * y0 * ny / (fy * fy);
  return unit(finite_direction(n));  // a zero taper factor divides by 0
}

// The node's point (superquadric, tapered, bent) and unit normal, from the
// signed powers stored in it.
static void compute_node_point_and_normal(hybroid *h, const shape_constants *c, node *nde,
                                          power_table *t) {
  double r1 = c->r1, r2 = c->r2, r3 = c->r3;
  // plain superquadric point
  double x0 = r1 * nde->spcue1cve2;
  double y0 = r2 * nde->spcue1sve2;
  double z0 = r3 * nde->spsue1;
  // tapering about the top: z = r3 keeps its cross-section
  double x1 = (1.0 + h->tapx * (z0 - r3) / r3) * x0;
  double y1 = (1.0 + h->tapy * (z0 - r3) / r3) * y0;
  double z1 = z0;

  vector p = {x1, y1, z1};
  if (c->bent) p = bend_point(h, c, x1, y1, z1);
  nde->refer = p;
  nde->normal = taper_normal(h, c, nde, p, x0, y0, t);
}

void compute_superquadric_node_taper_bend_normal(hybroid *h, node *nde, double r1, double r2,
                                                 double r3, double e1, double e2,
                                                 int same_e12) {
  power_table t;
  clear_power_table(&t);
  if (!same_e12) store_signed_powers(nde, e1, e2, &t);
  shape_constants c = compute_shape_constants(h, r1, r2, r3, e1, e2);
  compute_node_point_and_normal(h, &c, nde, &t);
}

// Every node in index order, as the node operation with same_e12 = 0 would
// do it, with the per-model terms worked out once and the repeated powers
// remembered.
void compute_superquadric_taper_bend_normal(hybroid *h) {
  double r1 = h->sc * h->a1, r2 = h->sc * h->a2, r3 = h->sc * h->a3;
  shape_constants c = compute_shape_constants(h, r1, r2, r3, h->e1, h->e2);
  power_table t;
  clear_power_table(&t);
  for (int i = 0; i < h->numnodes; i++) {
    store_signed_powers(&h->nodes[i], c.e1, c.e2, &t);
    compute_node_point_and_normal(h, &c, &h->nodes[i], &t);
  }
}

// ---------------------------------------------------------------------------
// Centre
// ---------------------------------------------------------------------------

// Grid node (row, col), or null when it lies outside the grid.
static node *grid_node(hybroid *h, int row, int col) {
  if (!h->nodes || row < 0 || row >= h->usize || col < 0 || col >= h->vsize) return nullptr;
  return &h->nodes[row * h->vsize + col];
}

// Mean of the refer of columns 0 and vsize/2 of one row; false when the row
// is outside the grid.
static bool row_axis_point(hybroid *h, int row, vector *out) {
  node *a = grid_node(h, row, 0);
  node *b = grid_node(h, row, h->vsize / 2);
  if (!a || !b) return false;
  *out = {(a->refer.x + b->refer.x) / 2.0, (a->refer.y + b->refer.y) / 2.0,
          (a->refer.z + b->refer.z) / 2.0};
  return true;
}

// Rules: 1 axis point in the upper part, 2 the mirror row in the lower part,
// 3 node (u_center, v_center), 4 the origin.  Any other rule, or a node
// outside the grid, leaves model_center as it is.
void compute_new_center(hybroid *h) {
  int off = (h->usize + 1) / 4;
  switch (h->center) {
    case 1:
      row_axis_point(h, h->usize - off, &h->model_center);
      break;
    case 2:
      row_axis_point(h, off - 1, &h->model_center);
      break;
    case 3: {
      node *c = grid_node(h, h->u_center, h->v_center);
      if (c) h->model_center = c->refer;
      break;
    }
    case 4:
      h->model_center = {0.0, 0.0, 0.0};
      break;
    default:
      break;
  }
}

void compute_superquadric_taper_bend_new_center(hybroid *h) {
  compute_new_center(h);
  for (int i = 0; i < h->numnodes; i++)
    h->nodes[i].refer1 = difference(h->nodes[i].refer, h->model_center);
}

// ---------------------------------------------------------------------------
// Camera-frame normals and tangents
// ---------------------------------------------------------------------------

void unrotate_normal(hybroid *h) {
  const double(*R)[3] = h->rotation;
  for (int i = 0; i < h->numnodes; i++) {
    vector n = h->nodes[i].normal;
    h->nodes[i].rnormal = {R[0][0] * n.x + R[0][1] * n.y + R[0][2] * n.z,
                           R[1][0] * n.x + R[1][1] * n.y + R[1][2] * n.z,
                           R[2][0] * n.x + R[2][1] * n.y + R[2][2] * n.z};
  }
}

// Central differences of the camera-frame positions over the grid nodes; two
// neighbours at the same place give a zero tangent.
void compute_tangent(hybroid *h) {
  for (int i = 0; i < h->numnodes - 2; i++) {
    node *n = &h->nodes[i];
    if (!n->neighbors[0] || !n->neighbors[1] || !n->neighbors[2] || !n->neighbors[3]) continue;
    n->dXdu = unit(difference(n->neighbors[3]->posit, n->neighbors[0]->posit));
    n->dXdv = unit(difference(n->neighbors[2]->posit, n->neighbors[1]->posit));
  }
}

// Normals from the tangents: dXdv x dXdu at the grid nodes (not normalised);
// each pole takes the unit sum of two opposite nodes of its adjacent row.
void compute_normal(hybroid *h) {
  for (int i = 0; i < h->numnodes - 2; i++)
    h->nodes[i].rnormal = cross(h->nodes[i].dXdv, h->nodes[i].dXdu);
  for (int p = h->numnodes - 2; p >= 0 && p < h->numnodes; p++) {
    node *pole = &h->nodes[p];
    if (!pole->many_neighbors || h->vsize < 1) continue;
    if (!pole->many_neighbors[0] || !pole->many_neighbors[h->vsize / 2]) continue;
    vector a = pole->many_neighbors[0]->rnormal;
    vector b = pole->many_neighbors[h->vsize / 2]->rnormal;
    pole->rnormal = unit({a.x + b.x, a.y + b.y, a.z + b.z});
  }
}
