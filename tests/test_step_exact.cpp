// test_step_exact.cpp -- guards that the fitting step gives the same bits as
// the straightforward code it was first written as.
//
// The numerics of a step are fixed to the last bit (evaluation order, single
// precision roundings) and runs must be reproducible, so any speed-up of the
// geometry, the generalized forces, the data-force pass or the position
// loops must leave every result unchanged.  Namespace `reference` below holds
// a copy of those modules' code as it was before any speed-up (commit
// 30115fe), unchanged except that the operations carry the prefix ref_, each
// file lives in its own namespace, and what no step calls (compute_normal,
// the trace line, the force display) is left out.  Operations the copy does
// not contain (the damping rescale, the rigid Euler step, the convergence
// test, the region table) are called in the product.
//
// The tests run the product and the reference side by side on two models
// built the same way and compare every node field, every data point and
// every model field bit for bit (so -0.0 against 0.0 counts; only a NaN may
// meet a NaN of another sign, see same_value) after every step: automatic
// fits of the bundled samples in both projections, manual steps under
// several masks with tapering and bending, seeded random shapes and poses,
// and single operations on odd inputs.
//
// A deliberate change of the step's results must change the reference copy
// with it; a speed-up must never need to.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "gl.h"
#include "hybroid.h"

// ===========================================================================
// Reference code: the step's modules before any speed-up
// ===========================================================================
namespace reference {

namespace geometry {

static const double HALF_PI = 1.5707963267948966;
static const double BEND_THRESHOLD = 0.00001;  // |bend1| at or below: not bent

// ---------------------------------------------------------------------------
// Small vector helpers
// ---------------------------------------------------------------------------

static double sign_of(double w) { return w < 0.0 ? -1.0 : 1.0; }

// S(w, e) = sign(w) * |w|^e
static double signed_power(double w, double e) { return sign_of(w) * pow(fabs(w), e); }

static double length_of(vector w) { return sqrt(w.x * w.x + w.y * w.y + w.z * w.z); }

static vector difference(vector a, vector b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

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
// Node geometry
// ---------------------------------------------------------------------------

// Global bending of (x1, y1, z1) in the plane at angle bend3 about z: the top
// z_top stays fixed and the axis becomes a circular arc of curvature k.
static vector bend_point(hybroid *h, double x1, double y1, double z1) {
  double z_top = h->sc * h->a3;
  double k = h->bend1 * HALF_PI / (h->sc * h->a3);
  h->bend_curv = k;
  double cb = cos(h->bend3), sb = sin(h->bend3);
  double rx = cb * x1 - sb * y1;
  double ry = sb * x1 + cb * y1;
  double theta = k * (z1 - z_top);
  double R = 1.0 / k;
  double rx_bent = cos(theta) * (rx - R) + R;
  double z2 = -sin(theta) * (rx - R) + z_top;
  return {cb * rx_bent + sb * ry, -sb * rx_bent + cb * ry, z2};
}

// Unit outward normal at the deformed point p: the gradient of the
// inside-outside function at p with the signs of the node's angles, corrected
// for tapering (x0, y0 are the untapered coordinates).
static vector taper_normal(const hybroid *h, const node *nde, vector p, double x0, double y0,
                           double r1, double r2, double r3, double e1, double e2) {
  double g;
  if (e1 != e2)
    g = (2.0 / e1) * pow(pow(fabs(p.x / r1), 2.0 / e2) + pow(fabs(p.y / r2), 2.0 / e2),
                         e2 / e1 - 1.0);
  else
    g = 2.0 / e2;
  vector grad;
  grad.x = sign_of(nde->cosv) * g * pow(fabs(p.x / r1), 2.0 / e2 - 1.0) / r1;
  grad.y = sign_of(nde->sinv) * g * pow(fabs(p.y / r2), 2.0 / e2 - 1.0) / r2;
  grad.z = sign_of(nde->sinu) * (2.0 / e1) * pow(fabs(p.z / r3), 2.0 / e1 - 1.0) / r3;
  // A singular gradient is reduced to its direction before the taper
  // correction, so that 0 * inf cannot spoil the correction terms.
  grad = finite_direction(grad);
  double nx = grad.x, ny = grad.y, nz = grad.z;

  double fx = 1.0 + h->tapx * (p.z / r3 - 1.0);
  double fy = 1.0 + h->tapy * (p.z / r3 - 1.0);
  vector n;
  n.x = nx / fx;
  n.y = ny / fy;
  n.z = nz - (h->tapx / r3) * x0 * nx / (fx * fx) - (h->tapy / r3) * y0 * ny / (fy * fy);
  return unit(finite_direction(n));  // a zero taper factor divides by 0
}

void ref_compute_superquadric_node_taper_bend_normal(hybroid *h, node *nde, double r1, double r2,
                                                 double r3, double e1, double e2,
                                                 int same_e12) {
  if (!same_e12) {
    double scu = signed_power(nde->cosu, e1);
    nde->spcue1cve2 = scu * signed_power(nde->cosv, e2);
    nde->spcue1sve2 = scu * signed_power(nde->sinv, e2);
    nde->spsue1 = signed_power(nde->sinu, e1);
  }
  // plain superquadric point
  double x0 = r1 * nde->spcue1cve2;
  double y0 = r2 * nde->spcue1sve2;
  double z0 = r3 * nde->spsue1;
  // tapering about the top: z = r3 keeps its cross-section
  double x1 = (1.0 + h->tapx * (z0 - r3) / r3) * x0;
  double y1 = (1.0 + h->tapy * (z0 - r3) / r3) * y0;
  double z1 = z0;

  vector p = {x1, y1, z1};
  if (fabs(h->bend1) > BEND_THRESHOLD) p = bend_point(h, x1, y1, z1);
  nde->refer = p;
  nde->normal = taper_normal(h, nde, p, x0, y0, r1, r2, r3, e1, e2);
}

void ref_compute_superquadric_taper_bend_normal(hybroid *h) {
  double r1 = h->sc * h->a1, r2 = h->sc * h->a2, r3 = h->sc * h->a3;
  for (int i = 0; i < h->numnodes; i++)
    ref_compute_superquadric_node_taper_bend_normal(h, &h->nodes[i], r1, r2, r3, h->e1, h->e2, 0);
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
void ref_compute_new_center(hybroid *h) {
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

void ref_compute_superquadric_taper_bend_new_center(hybroid *h) {
  ref_compute_new_center(h);
  for (int i = 0; i < h->numnodes; i++)
    h->nodes[i].refer1 = difference(h->nodes[i].refer, h->model_center);
}

// ---------------------------------------------------------------------------
// Camera-frame normals and tangents
// ---------------------------------------------------------------------------

void ref_unrotate_normal(hybroid *h) {
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
void ref_compute_tangent(hybroid *h) {
  for (int i = 0; i < h->numnodes - 2; i++) {
    node *n = &h->nodes[i];
    if (!n->neighbors[0] || !n->neighbors[1] || !n->neighbors[2] || !n->neighbors[3]) continue;
    n->dXdu = unit(difference(n->neighbors[3]->posit, n->neighbors[0]->posit));
    n->dXdv = unit(difference(n->neighbors[2]->posit, n->neighbors[1]->posit));
  }
}

// Normals from the tangents: dXdv x dXdu at the grid nodes (not normalised);
// each pole takes the unit sum of two opposite nodes of its adjacent row.

}  // namespace geometry

namespace deformation {

using namespace geometry;

static const double PI = 3.141592653589793;
static const double HALF_PI = 1.5707963267948966;

// The shape dynamics step with a tenth of the rigid motion's time step.
static const double SHAPE_STEP_FACTOR = 0.1;

// Semi-axes and scale are held at or above this after every step.
static const double SHAPE_LOWER_BOUND = 0.01;

// -1 for w < 0, +1 otherwise.
static double sign_of(double w) { return w < 0.0 ? -1.0 : 1.0; }

// abs(w)^e, taken as 0 when w is 0.
static double power_abs(double w, double e) { return w == 0.0 ? 0.0 : pow(fabs(w), e); }

static double dot_vector(vector a, vector b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// Per-node quantities the derivatives are built from.
struct shape_terms {
  double Px, Py, Pz;  // plain superquadric point for unit radii
  double kx, ky;      // tapering about the model's middle
  double comb;        // argument of the scale row's bending term
  double x0, y0;      // untapered x and y
  double rz;          // height below the top, never positive
  double cb3, sb3;    // direction of the bending plane
};

static shape_terms compute_shape_terms(const hybroid *h, const node *nd) {
  double cu = nd->cosu, su = nd->sinu, cv = nd->cosv, sv = nd->sinv;
  shape_terms t;
  t.Px = sign_of(cu * cv) * power_abs(cu, h->e1) * power_abs(cv, h->e2);
  t.Py = sign_of(cu * sv) * power_abs(cu, h->e1) * power_abs(sv, h->e2);
  t.Pz = sign_of(su) * power_abs(su, h->e1);
  t.kx = 1 + h->tapx * t.Pz;
  t.ky = 1 + h->tapy * t.Pz;
  double sa3 = h->sc * h->a3;
  t.comb = PI * h->bend3 * (t.Pz + h->bend2 / sa3);
  t.x0 = h->sc * h->a1 * t.Px;
  t.y0 = h->sc * h->a2 * t.Py;
  t.rz = h->sc * h->a3 * t.Pz - h->sc * h->a3;
  t.cb3 = cos(h->bend3);
  t.sb3 = sin(h->bend3);
  return t;
}

// Derivative of the position with respect to sc: the axis sizes with the
// tapering about the middle, plus the derivative of an extra bending term
// bend1 * cos(comb) of x.
static vector scale_derivative(const hybroid *h, const shape_terms *t) {
  double sa3 = h->sc * h->a3;
  return {h->a1 * t->kx * t->Px +
              PI * h->bend1 * h->bend2 * h->bend3 * sin(t->comb) / (h->sc * sa3),
          h->a2 * t->ky * t->Py, h->a3 * t->Pz};
}

// Bending derivatives of one node, the bending applied to the untapered
// point: d_k is the derivative with respect to the curvature k itself (no
// factor dk/dbend1); d_bend3 the derivative with respect to the bending
// direction, set only for a bent model (returns false otherwise).  Stores
// the curvature into bend_curv when bent.
static bool bending_derivatives(hybroid *h, const shape_terms *t, vector *d_k, vector *d_bend3) {
  double cb3 = t->cb3, sb3 = t->sb3, rz = t->rz;
  double rx = cb3 * t->x0 - sb3 * t->y0;
  double ry = sb3 * t->x0 + cb3 * t->y0;
  if (h->bend1 == 0.0) {
    double Lx = rz * rz / 2;  // limit for vanishing curvature
    double Lz = -rx * rz;
    *d_k = {cb3 * Lx, -sb3 * Lx, Lz};
    return false;
  }
  double k = h->bend1 * HALF_PI / (h->a3 * h->sc);
  h->bend_curv = k;
  double theta = rz * k;
  double R = 1 / k;
  double radius = rx - R;
  double Lx = -rz * sin(theta) * radius - R * R * (1 - cos(theta));
  double Lz = -rz * cos(theta) * radius - R * R * sin(theta);
  *d_k = {cb3 * Lx, -sb3 * Lx, Lz};
  double drx = -sb3 * t->x0 - cb3 * t->y0;  // d rx / d bend3
  double rx_bent = cos(theta) * radius + R;
  *d_bend3 = {cb3 * cos(theta) * drx + sb3 * rx - sb3 * rx_bent + cb3 * ry,
              -sb3 * cos(theta) * drx + cb3 * rx - cb3 * rx_bent - sb3 * ry,
              -sin(theta) * drx};
  return true;
}

struct generalized_forces {
  double fsc, fa1, fa2, fa3, ftx, fty, fb1, fb3;
};

// Adds one node's projections for every bit of the model's df_mask.
static void add_node_generalized_forces(hybroid *h, const node *nd, generalized_forces *g) {
  int mask = h->df_mask;
  shape_terms t = compute_shape_terms(h, nd);
  const vector *F = nd->rForce;
  if (mask & DF_SC) g->fsc += dot_vector(F[SLOT_SC], scale_derivative(h, &t));
  if (mask & DF_A1) g->fa1 += dot_vector(F[SLOT_A1], {h->sc * t.kx * t.Px, 0.0, 0.0});
  if (mask & DF_A2) g->fa2 += dot_vector(F[SLOT_A2], {0.0, h->sc * t.ky * t.Py, 0.0});
  if (mask & DF_A3) g->fa3 += dot_vector(F[SLOT_A3], {0.0, 0.0, h->sc * t.Pz});
  // The tapering rows differentiate the tapering about the top.
  if (mask & DF_TAPX)
    g->ftx += dot_vector(F[SLOT_TAPX], {(t.Pz - 1) * h->sc * h->a1 * t.Px, 0.0, 0.0});
  if (mask & DF_TAPY)
    g->fty += dot_vector(F[SLOT_TAPY], {0.0, (t.Pz - 1) * h->sc * h->a2 * t.Py, 0.0});
  if (!(mask & (DF_BEND1 | DF_BEND3))) return;
  vector d_k, d_bend3;
  bool bent = bending_derivatives(h, &t, &d_k, &d_bend3);
  if (mask & DF_BEND1) g->fb1 += dot_vector(F[SLOT_BEND1], d_k);
  if ((mask & DF_BEND3) && bent) g->fb3 += dot_vector(F[SLOT_BEND3], d_bend3);
}

void ref_compute_superquadric_generalized_force(hybroid *h) {
  generalized_forces g = {0, 0, 0, 0, 0, 0, 0, 0};
  if (h->nodes)
    for (int i = 0; i < h->numnodes; i++) add_node_generalized_forces(h, &h->nodes[i], &g);
  h->fsc = g.fsc;
  h->fa1 = g.fa1;
  h->fa2 = g.fa2;
  h->fa3 = g.fa3;
  h->ftx = g.ftx;
  h->fty = g.fty;
  h->fb1 = g.fb1;
  h->fb3 = g.fb3;
  // The exponents and bend2 are never moved by the dynamics.
  h->fe1 = 0.0;
  h->fe2 = 0.0;
  h->fb2 = 0.0;
}

void ref_bookkeep_generalized_force(hybroid *h) {
  h->qforce_pr[0] = h->fsc;
  h->qforce_pr[1] = h->fa1;
  h->qforce_pr[2] = h->fa2;
  h->qforce_pr[3] = h->fa3;
  h->qforce_pr[4] = h->ftx;
  h->qforce_pr[5] = h->fty;
}


// Moves every enabled parameter by ddt * inverse damping * force; the
// symmetric pairs move together by the sum of both steps.
static void step_shape_parameters(hybroid *h, double ddt) {
  int mask = h->df_mask;
  if (mask & DF_SC) h->sc += ddt * h->c_inv_sc * h->fsc;
  if (h->a12_symmetric) {
    if (mask & (DF_A1 | DF_A2)) {
      double d = ddt * h->c_inv_a1 * h->fa1 + ddt * h->c_inv_a2 * h->fa2;
      h->a1 += d;
      h->a2 += d;
    }
  } else {
    if (mask & DF_A1) h->a1 += ddt * h->c_inv_a1 * h->fa1;
    if (mask & DF_A2) h->a2 += ddt * h->c_inv_a2 * h->fa2;
  }
  if (mask & DF_A3) h->a3 += ddt * h->c_inv_a3 * h->fa3;
  if (mask & DF_E1) h->e1 += ddt * h->c_inv_e1 * h->fe1;
  if (mask & DF_E2) h->e2 += ddt * h->c_inv_e2 * h->fe2;
  if (h->txy_symmetric) {
    if (mask & (DF_TAPX | DF_TAPY)) {
      double d = ddt * h->c_inv_tx * h->ftx + ddt * h->c_inv_ty * h->fty;
      h->tapx += d;
      h->tapy += d;
    }
  } else {
    if (mask & DF_TAPX) h->tapx += ddt * h->c_inv_tx * h->ftx;
    if (mask & DF_TAPY) h->tapy += ddt * h->c_inv_ty * h->fty;
  }
  if (mask & DF_BEND1) h->bend1 += ddt * h->c_inv_b1 * h->fb1;
  if (mask & DF_BEND2) h->bend2 += ddt * h->c_inv_b2 * h->fb2;
  if (mask & DF_BEND3) h->bend3 += ddt * h->c_inv_b3 * h->fb3;
}

// A value not above the bound, or not a number, becomes the bound.
static void hold_above_lower_bound(double *value) {
  if (!(*value > SHAPE_LOWER_BOUND)) *value = SHAPE_LOWER_BOUND;
}

void ref_compute_superquadric_deformation(hybroid *h) {
  step_shape_parameters(h, h->dt * SHAPE_STEP_FACTOR);
  hold_above_lower_bound(&h->a1);
  hold_above_lower_bound(&h->a2);
  hold_above_lower_bound(&h->a3);
  hold_above_lower_bound(&h->sc);
  ref_compute_superquadric_taper_bend_normal(h);
  ref_compute_superquadric_taper_bend_new_center(h);
}

}  // namespace deformation

namespace forces {

// Defined further down, used before.
void ref_compute_normal_force(hybroid *h, struct force_map *fmp, range_datapoint *dp,
                              vector *separation, double *distance);
void ref_project_vector(vector point, vector *direction);
void ref_perform_force_mapping(hybroid *h, struct force_map *fmp, range_datapoint *dp,
                               vector separation, double distance);
void ref_compute_gof(hybroid *h);

// Start value of the best squared distance of a search: larger than any
// image-plane distance, so "no node" is a distance of sqrt(1e41).
static const double NO_MATCH_SQUARED_DISTANCE = 1e41;

// On the occluding contour of a curved surface a node takes part only when
// the cosine between its normal and the line of sight is at most this.
static const double SILHOUETTE_COSINE = 0.14;

// Force slot of each degree-of-freedom bit that has one.
//        bit         slot
static const struct {
  int bit, slot;
} force_slots[] = {
    {DF_SC,       SLOT_SC},
    {DF_A1,       SLOT_A1},
    {DF_A2,       SLOT_A2},
    {DF_A3,       SLOT_A3},
    {DF_TAPX,     SLOT_TAPX},
    {DF_TAPY,     SLOT_TAPY},
    {DF_BEND1,    SLOT_BEND1},
    {DF_BEND3,    SLOT_BEND3},
    {DF_TRANS,    SLOT_TRANS},
    {DF_ROT,      SLOT_ROT},
    {DF_ROTZ,     SLOT_ROTZ},
};

// Slots that carry data forces and are cleared before each pass.
static const int used_slots[] = {SLOT_SC,    SLOT_A1,   SLOT_A2,  SLOT_A3,
                                 SLOT_TAPX,  SLOT_TAPY, SLOT_TRANS, SLOT_ROT,
                                 SLOT_ROTZ,  SLOT_BEND1, SLOT_BEND3};

// Slots that ref_unrotate_force turns into the model frame (the shape slots).
static const int shape_slots[] = {SLOT_SC,   SLOT_A1,   SLOT_A2,    SLOT_A3,
                                  SLOT_TAPX, SLOT_TAPY, SLOT_BEND1, SLOT_BEND3};

// Colour of a drawn force: the first bit of the display mask found in this
// order decides.
//        bit        colour index
static const struct {
  int bit, colour;
} force_colours[] = {
    {DF_TRANS,  5},
    {DF_ROT,    6},
    {DF_ROTZ,   6},
    {DF_A1,     1},
    {DF_A2,     2},
    {DF_A3,     4},
    {DF_SC,     3},
    {DF_TAPX,   3},
    {DF_TAPY,   3},
    {DF_BEND1,  3},
    {DF_BEND3,  3},
};
// Colour of a drawn force whose mask matches the map through a bit that has
// no entry above (0x10, 0x20, 0x200: shape bits, drawn like the others), and
// of a whole-force point.
static const int OTHER_SHAPE_COLOUR = 3;
static const int WHOLE_FORCE_COLOUR = 7;

#define COUNT_OF(a) (int)(sizeof(a) / sizeof((a)[0]))

// ---------------------------------------------------------------------------
// Small vector helpers
// ---------------------------------------------------------------------------

static vector add_vector(vector a, vector b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }

static double dot_vector(vector a, vector b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

static double length_vector(vector a) { return sqrt(a.x * a.x + a.y * a.y + a.z * a.z); }

// Right-handed cross product a x b.
static vector cross_vector(vector a, vector b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// m v for a row-major 3x3 matrix.
static vector rotate_vector(const double m[3][3], vector v) {
  return {m[0][0] * v.x + m[0][1] * v.y + m[0][2] * v.z,
          m[1][0] * v.x + m[1][1] * v.y + m[1][2] * v.z,
          m[2][0] * v.x + m[2][1] * v.y + m[2][2] * v.z};
}

// Scales v to unit length, the length rounded to single precision; a zero
// vector stays zero.
static void normalize_single(vector *v) {
  double len = (double)(float)length_vector(*v);
  double factor = len == 0.0 ? 0.0 : 1.0 / len;
  v->x *= factor;
  v->y *= factor;
  v->z *= factor;
}

// i mod n in 0 .. n-1, also for negative i (n > 0).
static int wrap_index(long i, int n) {
  long r = i % n;
  return (int)(r < 0 ? r + n : r);
}

// ---------------------------------------------------------------------------
// Nearest-node correspondence
// ---------------------------------------------------------------------------

struct nearest_search {
  vector point;     // data point, camera frame
  node *best;       // nearest node so far, or null
  double best_d2;   // its squared image-plane distance
  vector *separation;
};

static nearest_search start_search(vector point, vector *separation) {
  return {point, nullptr, NO_MATCH_SQUARED_DISTANCE, separation};
}

// Offers one node at image position pos; only a strictly nearer node
// replaces the best, so ties go to the node met first.
static void consider_node(nearest_search *s, node *nd, vector pos) {
  double dx = s->point.x - pos.x;
  double dy = s->point.y - pos.y;
  double dz = s->point.z - pos.z;
  double d2 = dx * dx + dy * dy;
  if (d2 < s->best_d2) {
    s->best_d2 = d2;
    s->best = nd;
    *s->separation = {dx, dy, dz};
  }
}

static node *finish_search(const nearest_search *s, double *distance) {
  *distance = sqrt(s->best_d2);
  return s->best;
}

node *ref_nearest_hybroid_node2D(hybroid *h, vector point, vector *separation,
                             double *distance) {
  nearest_search s = start_search(point, separation);
  if (h->nodes)
    for (int i = 0; i < h->numnodes; i++) consider_node(&s, &h->nodes[i], h->nodes[i].posit);
  return finish_search(&s, distance);
}

// True when the node's normal is too far from perpendicular to the line of
// sight for the node to lie on the silhouette.
static bool off_silhouette(const node *nd, int perspective) {
  if (!perspective) return fabs(nd->rnormal.z) > SILHOUETTE_COSINE;
  double len = (double)(float)length_vector(nd->posit);
  return fabs(dot_vector(nd->rnormal, nd->posit)) > SILHOUETTE_COSINE * len;
}

// Number of grid rows whose nodes all exist in the node array.
static int valid_rows(const hybroid *h) {
  if (!h->nodes || h->vsize <= 0 || h->usize <= 0) return 0;
  long rows = h->numnodes / h->vsize;
  return (int)(rows < h->usize ? rows : h->usize);
}

// Scans the map's patch: rows u1 .. u2 (clipped to the grid), and in each
// row the columns v1 .. v2, wrapping past the last column when v2 < v1.
static node *search_patch(hybroid *h, force_map *fmp, vector point, int perspective,
                          vector *separation, double *distance) {
  nearest_search s = start_search(point, separation);
  bool silhouette_only = curved_occluding_contour(h->primitive_label, fmp->face, fmp->curve);
  int rows = valid_rows(h);
  int u_first = fmp->u1 < 0 ? 0 : fmp->u1;
  int u_last = fmp->u2 < rows - 1 ? fmp->u2 : rows - 1;
  long v_end = fmp->v2 < fmp->v1 ? (long)fmp->v2 + h->vsize : (long)fmp->v2;
  for (int u = u_first; u <= u_last; u++) {
    node *row = &h->nodes[(long)u * h->vsize];
    int column = wrap_index(fmp->v1, h->vsize);
    for (long v = fmp->v1; v <= v_end; v++, column = column + 1 < h->vsize ? column + 1 : 0) {
      node *nd = &row[column];
      if (silhouette_only && off_silhouette(nd, perspective)) continue;
      consider_node(&s, nd, perspective ? nd->proj_posit : nd->posit);
    }
  }
  return finish_search(&s, distance);
}

node *ref_nearest_hybroid_node_ortho_projection(hybroid *h, struct force_map *fmp,
                                            vector point, vector *separation,
                                            double *distance) {
  return search_patch(h, fmp, point, 0, separation, distance);
}

node *ref_nearest_hybroid_node_perspective_projection(hybroid *h, struct force_map *fmp,
                                                  vector point, vector *separation,
                                                  double *distance) {
  return search_patch(h, fmp, point, 1, separation, distance);
}

// ---------------------------------------------------------------------------
// Data-force pass
// ---------------------------------------------------------------------------

void ref_zeroize_force(hybroid *h) {
  if (!h->nodes) return;
  for (int i = 0; i < h->numnodes; i++) {
    node *nd = &h->nodes[i];
    nd->force = {0.0, 0.0, 0.0};
    for (int k = 0; k < COUNT_OF(used_slots); k++) nd->Force[used_slots[k]] = {0.0, 0.0, 0.0};
  }
}

void ref_zeroize_gof(hybroid *h) { h->gof = 0.0; }

// A map acts when it drives something and mask selects it, directly or
// through whole-force mode.
static bool map_is_active(const force_map *fmp, int mask) {
  if (fmp->df_mode == 0) return false;
  return (mask & fmp->df_mode) != 0 || (mask & DF_WHOLE_FORCE) != 0;
}

// The points of one map's contour that a pass uses: indices first, first +
// step, ... up to last, each taken modulo the face's point count.
struct contour_walk {
  Face *face;
  long first, last;
  int step;
};

// Plans the walk of a map's contour.  Returns false for a map that names no
// face or curve, a face without data, or an absent curve.
static bool plan_contour_walk(hybroid *h, const force_map *fmp, contour_walk *w) {
  if (fmp->face < 0 || fmp->face >= MAX_FACES) return false;
  if (fmp->curve < 0 || fmp->curve >= MAX_CURVES) return false;
  Face *f = &h->face[fmp->face];
  if (f->n_points <= 0 || !f->points) return false;
  long b = f->begin[fmp->curve];
  long e = f->end[fmp->curve];
  if (b < 0) return false;
  if (e < b) e += f->n_points;  // the contour wraps past the last point
  int s = 0;
  if (h->subsample != 0) s = (int)((e - b - 7) / 8);  // about 8 points per contour
  if (s < 0) s = 0;
  *w = {f, b, e, 1 + s};
  return true;
}

static range_datapoint *walk_point(const contour_walk *w, long j) {
  return &w->face->points[wrap_index(j, w->face->n_points)];
}

// The search a map's point uses: over all nodes for a map without a patch,
// otherwise over the patch in the model's projection.
static node *find_nearest_node(hybroid *h, force_map *fmp, vector point, vector *separation,
                               double *distance) {
  if (fmp->u1 == -1) return ref_nearest_hybroid_node2D(h, point, separation, distance);
  if (h->perspective_flag)
    return ref_nearest_hybroid_node_perspective_projection(h, fmp, point, separation, distance);
  return ref_nearest_hybroid_node_ortho_projection(h, fmp, point, separation, distance);
}

// Perspective: tilt the image-plane force s so that it is perpendicular to
// the line of sight through the node at p.  A node at the camera centre has
// no line of sight and leaves s in the image plane.
static void perpendicular_to_sight(vector p, vector *s) {
  if (p.z != 0.0) s->z = -(p.x * s->x + p.y * s->y) / p.z;
}

// One data point of one map: match it, shape its force, distribute it.
static void apply_data_point(hybroid *h, force_map *fmp, range_datapoint *dp) {
  vector s = {0.0, 0.0, 0.0};
  dp->nearest_node = find_nearest_node(h, fmp, dp->position, &s, &dp->mag_force);
  if (!dp->nearest_node) return;
  s.z = 0.0;
  if (h->normal_force_flag > 0) ref_compute_normal_force(h, fmp, dp, &s, &dp->mag_force);
  dp->force = s;
  if (h->perspective_flag) perpendicular_to_sight(dp->nearest_node->posit, &s);
  ref_perform_force_mapping(h, fmp, dp, s, dp->mag_force);
}

void ref_compute_range_data_forces_projection(hybroid *h) {
  ref_zeroize_gof(h);
  int n_maps = h->n_force < MAX_FORCE_MAPS ? h->n_force : MAX_FORCE_MAPS;
  for (int i = 0; i < n_maps; i++) {
    force_map *fmp = &h->force_map[i];
    contour_walk w;
    if (!map_is_active(fmp, h->df_mask) || !plan_contour_walk(h, fmp, &w)) continue;
    for (long j = w.first; j <= w.last; j += w.step) apply_data_point(h, fmp, walk_point(&w, j));
  }
  ref_compute_gof(h);
}

// Grid node (row, column), the column wrapped; null outside the grid.
static node *grid_node(hybroid *h, int row, long column) {
  if (row < 0 || row >= valid_rows(h)) return nullptr;
  return &h->nodes[(long)row * h->vsize + wrap_index(column, h->vsize)];
}

// Direction that shapes the force of a point matched to n.  Sets *tangent
// when the force must lose its component along the direction (a contour
// along one row or one column of the patch), clears it when only the
// component along the direction (the normal) remains.  A mid-patch node
// outside the grid falls back on n's own tangent.
static vector choose_force_direction(hybroid *h, const force_map *fmp, node *n, bool *tangent) {
  *tangent = true;
  if (fmp->u1 == fmp->u2) {
    long v2 = fmp->v2 < fmp->v1 ? (long)fmp->v2 + h->vsize : (long)fmp->v2;
    node *mid = h->e2 >= 0.5 ? nullptr : grid_node(h, fmp->u1, ((long)fmp->v1 + v2) / 2);
    return mid ? mid->dXdv : n->dXdv;
  }
  if (fmp->v1 == fmp->v2 && h->e1 < 0.5) {
    node *mid = h->e2 >= 0.5 ? nullptr : grid_node(h, (fmp->u1 + fmp->u2) / 2, fmp->v1);
    return mid ? mid->dXdu : n->dXdu;
  }
  *tangent = false;
  return n->rnormal;
}

void ref_compute_normal_force(hybroid *h, struct force_map *fmp, range_datapoint *dp,
                          vector *separation, double *distance) {
  node *n = dp->nearest_node;
  if (!n) return;
  bool tangent;
  vector a = choose_force_direction(h, fmp, n, &tangent);
  if (h->perspective_flag) {
    ref_project_vector(n->posit, &a);
  } else {
    a.z = 0.0;
    normalize_single(&a);
  }
  vector s = *separation;
  double along = dot_vector(s, a);
  if (tangent)  // S - (S . A) A
    *separation = {s.x - along * a.x, s.y - along * a.y, s.z - along * a.z};
  else  // (S . A) A
    *separation = {along * a.x, along * a.y, along * a.z};
  *distance = (double)(float)length_vector(*separation);
}

// Image of direction V at camera point P under perspective, as a unit
// image-plane direction.  A point at the camera centre (P.z = 0) leaves the
// direction's x and y as they are.
void ref_project_vector(vector point, vector *direction) {
  if (point.z != 0.0) {
    direction->x = direction->x - point.x * direction->z / point.z;
    direction->y = direction->y - point.y * direction->z / point.z;
  }
  direction->z = 0.0;
  normalize_single(direction);
}

void ref_perform_force_mapping(hybroid *h, struct force_map *fmp, range_datapoint *dp,
                           vector separation, double distance) {
  node *n = dp->nearest_node;
  if (!n) return;
  fmp->df_mode |= DF_SC;  // lasting: a map that has acted also drives the scale
  if (h->df_mask != 0) {
    h->gof += distance;
    h->force_cnt[SLOT_TOTAL]++;
    if (h->df_mask & DF_WHOLE_FORCE) n->force = add_vector(n->force, separation);
  }
  for (int k = 0; k < COUNT_OF(force_slots); k++) {
    if (!(fmp->df_mode & force_slots[k].bit)) continue;
    int slot = force_slots[k].slot;
    n->Force[slot] = add_vector(n->Force[slot], separation);
    h->force_cnt[slot]++;
  }
}

void ref_compute_gof(hybroid *h) {
  int n = h->force_cnt[SLOT_TOTAL];
  if (n != 0) h->gof = h->gof / n;
}

// ---------------------------------------------------------------------------
// Net force and torque, model-frame forces
// ---------------------------------------------------------------------------

// Adds one node's share: whole-force mode takes the total force for every
// rigid bit; otherwise each rigid bit takes its own slot, and the in-plane
// rotation only the z component of its torque.
static void add_node_force_and_torque(hybroid *h, const node *nd) {
  int mask = h->df_mask;
  vector r = {nd->posit.x - h->translation.x, nd->posit.y - h->translation.y,
              nd->posit.z - h->translation.z};
  if (mask & DF_WHOLE_FORCE) {
    if (mask & DF_TRANS) h->net_applied_force = add_vector(h->net_applied_force, nd->force);
    if (mask & (DF_ROT | DF_ROTZ))
      h->net_applied_torque = add_vector(h->net_applied_torque, cross_vector(r, nd->force));
    return;
  }
  if (mask & DF_TRANS)
    h->net_applied_force = add_vector(h->net_applied_force, nd->Force[SLOT_TRANS]);
  if (mask & DF_ROT)
    h->net_applied_torque = add_vector(h->net_applied_torque, cross_vector(r, nd->Force[SLOT_ROT]));
  if (mask & DF_ROTZ) h->net_applied_torque.z += cross_vector(r, nd->Force[SLOT_ROTZ]).z;
}

void ref_compute_net_applied_force_and_torque(hybroid *h) {
  h->net_applied_force = {0.0, 0.0, 0.0};
  h->net_applied_torque = {0.0, 0.0, 0.0};
  if (!h->nodes) return;
  for (int i = 0; i < h->numnodes; i++) add_node_force_and_torque(h, &h->nodes[i]);
}

// Rotation matrix of the quaternion (-w, x, y, z): the inverse of the
// model's orientation, taking camera-frame directions into the model frame.
static void inverse_orientation_matrix(const quaternion *q, double m[3][3]) {
  double w = -q->w, x = q->v.x, y = q->v.y, z = q->v.z;
  double x2 = 2 * x, y2 = 2 * y, z2 = 2 * z;
  m[0][0] = 1 - y * y2 - z * z2;
  m[0][1] = x * y2 - w * z2;
  m[0][2] = x * z2 + w * y2;
  m[1][0] = x * y2 + w * z2;
  m[1][1] = 1 - x * x2 - z * z2;
  m[1][2] = y * z2 - w * x2;
  m[2][0] = x * z2 - w * y2;
  m[2][1] = y * z2 + w * x2;
  m[2][2] = 1 - x * x2 - y * y2;
}

void ref_unrotate_force(hybroid *h) {
  if (!h->nodes) return;
  double m[3][3];
  inverse_orientation_matrix(&h->orientation, m);
  for (int i = 0; i < h->numnodes; i++) {
    node *nd = &h->nodes[i];
    nd->rforce = rotate_vector(m, nd->force);
    for (int k = 0; k < COUNT_OF(shape_slots); k++)
      nd->rForce[shape_slots[k]] = rotate_vector(m, nd->Force[shape_slots[k]]);
  }
}


}  // namespace forces

namespace dynamics {

using namespace geometry;
using namespace deformation;
using namespace forces;

// Defined further down, used before.
void ref_compute_world_positions(hybroid *h);
void ref_compute_world_projected_positions(hybroid *h);
void ref_compute_world_projected_positions_right(hybroid *h);

static const double ANGULAR_SPEED_LIMIT = 1.0;  // per component, after damping

// M v + t, each row summed left to right.
static vector transform(const double M[3][3], vector v, vector t) {
  return {M[0][0] * v.x + M[0][1] * v.y + M[0][2] * v.z + t.x,
          M[1][0] * v.x + M[1][1] * v.y + M[1][2] * v.z + t.y,
          M[2][0] * v.x + M[2][1] * v.y + M[2][2] * v.z + t.z};
}

// M^T v
static vector transpose_times(const double M[3][3], vector v) {
  return {M[0][0] * v.x + M[1][0] * v.y + M[2][0] * v.z,
          M[0][1] * v.x + M[1][1] * v.y + M[2][1] * v.z,
          M[0][2] * v.x + M[1][2] * v.y + M[2][2] * v.z};
}

static vector scaled(double s, vector v) { return {s * v.x, s * v.y, s * v.z}; }

// ---------------------------------------------------------------------------
// Positions and projections
// ---------------------------------------------------------------------------

// posit = rotation (refer1 + displ) + translation
void ref_compute_positions(hybroid *h) {
  for (int i = 0; i < h->numnodes; i++) {
    node *n = &h->nodes[i];
    vector shape = {n->refer1.x + n->displ.x, n->refer1.y + n->displ.y,
                    n->refer1.z + n->displ.z};
    n->posit = transform(h->rotation, shape, h->translation);
  }
  ref_compute_world_positions(h);
}

void ref_compute_world_positions(hybroid *h) {
  for (int i = 0; i < h->numnodes; i++)
    h->nodes[i].wposit = transform(h->camera_rotation, h->nodes[i].posit, h->camera_translation);
}

// Perspective: the ray through the camera centre meets z = -f; a node on or
// behind the camera plane keeps its previous projection.  Orthographic: the
// node is dropped straight onto z = -f.
void ref_compute_projected_positions(hybroid *h) {
  double f = h->focal_length;
  for (int i = 0; i < h->numnodes; i++) {
    node *n = &h->nodes[i];
    if (h->perspective_flag) {
      if (n->posit.z < 0.0) n->proj_posit = scaled(-f / n->posit.z, n->posit);
    } else {
      n->proj_posit = {n->posit.x, n->posit.y, -f};
    }
  }
  ref_compute_world_projected_positions(h);
}

void ref_compute_world_projected_positions(hybroid *h) {
  for (int i = 0; i < h->numnodes; i++)
    h->nodes[i].proj_wposit =
        transform(h->camera_rotation, h->nodes[i].proj_posit, h->camera_translation);
}

// The nodes seen from the stereo partner's camera (h_neigh), projected with
// this model's projection mode and the partner's focal length.  Every node on
// or behind the partner's camera plane is reported; one exactly on the plane
// has no projection and keeps its previous one.
void ref_compute_projected_positions_right(hybroid *h) {
  const hybroid *hr = h->h_neigh;
  if (!hr) return;
  double fr = hr->focal_length;
  for (int i = 0; i < h->numnodes; i++) {
    node *n = &h->nodes[i];
    vector w = n->wposit, t = hr->camera_translation;
    n->rposit = transpose_times(hr->camera_rotation, {w.x - t.x, w.y - t.y, w.z - t.z});
    if (h->perspective_flag) {
      if (n->rposit.z >= 0.0) fprintf(stderr, "Panic ***\a\a\a, model above z = 0 plane\n");
      if (n->rposit.z != 0.0) n->proj_rposit = scaled(-fr / n->rposit.z, n->rposit);
    } else {
      n->proj_rposit = {n->rposit.x, n->rposit.y, -fr};
    }
  }
  ref_compute_world_projected_positions_right(h);
}

void ref_compute_world_projected_positions_right(hybroid *h) {
  const hybroid *hr = h->h_neigh;
  if (!hr) return;
  for (int i = 0; i < h->numnodes; i++)
    h->nodes[i].proj_wrposit =
        transform(hr->camera_rotation, h->nodes[i].proj_rposit, hr->camera_translation);
}


static const Device STEREO_PARTNER_KEY = DEV_F1 + 9;  // F10

static const int RIGID_BITS = DF_TRANS | DF_ROT | DF_ROTZ;
// The manual step also deforms for the bending keys alone (F9, 0): a step
// that skipped them left those keys without effect.
static const int MANUAL_SHAPE_BITS = DF_SC | DF_A1 | DF_A2 | DF_A3 | DF_TAPX | DF_TAPY |
                                     DF_BEND1 | DF_BEND3;
// The automatic step deforms for these only: a step whose only shape bit is
// tapy does not deform.
static const int AUTO_SHAPE_BITS = DF_SC | DF_A1 | DF_A2 | DF_A3 | DF_TAPX;

static const int SPARSE_SUBSAMPLE = 5;

// Positions, projections, camera-frame tangents and normals for this step.
static void ref_prepare_geometry(hybroid *h) {
  ref_compute_positions(h);
  ref_compute_projected_positions(h);
  ref_compute_tangent(h);
  ref_unrotate_normal(h);
}

// The data-force pass with its counts, the damping rescaled from the counts,
// and the node forces brought into the model frame.
static void gather_forces(hybroid *h) {
  ref_zeroize_force(h);
  zeroize_damping_factor(h);
  ref_compute_range_data_forces_projection(h);
  compute_damping_factor(h);
  ref_unrotate_force(h);
}

void ref_compute_motion(hybroid *h) {
  ref_prepare_geometry(h);
  gather_forces(h);
  if (h->df_mask & RIGID_BITS) {
    ref_compute_net_applied_force_and_torque(h);
    bookkeep_trans_rot(h);
    compute_translation(h);
    compute_rotation(h);
  }
  if (h->df_mask & MANUAL_SHAPE_BITS) {
    ref_bookkeep_generalized_force(h);
    ref_compute_superquadric_generalized_force(h);
    bookkeep_superquadric_parameters(h);
    ref_compute_superquadric_deformation(h);
  }
  if (h->df_mask & DF_STEREO) compute_stereo_motion(h);
  hybroid *partner = h->h_neigh;
  if (getbutton(STEREO_PARTNER_KEY) && partner) {  // no partner: nothing to couple
    ref_compute_positions(partner);
    ref_compute_projected_positions(partner);
    compute_stereo_motion(partner);
  }
}

// The current schedule entry, or 0 when the index has run off the table.
static int current_schedule_entry(const hybroid *h) {
  if (h->fitting_index < 0 || h->fitting_index >= MAX_SEQUENCE) return 0;
  return h->fitting_sequence[h->fitting_index];
}

int ref_compute_motion_auto(hybroid *h) {
  h->df_mask = current_schedule_entry(h);
  if (h->df_mask == 0) return 1;  // schedule finished
  bookkeep_superquadric_parameters(h);
  bookkeep_trans_rot(h);
  ref_prepare_geometry(h);
  h->normal_force_flag = (h->df_mask & DF_NO_NORMAL) ? 0 : 1;
  h->subsample = (h->df_mask & DF_SPARSE) ? SPARSE_SUBSAMPLE : 0;
  gather_forces(h);
  if (h->df_mask & RIGID_BITS) ref_compute_net_applied_force_and_torque(h);
  if (h->df_mask & DF_TRANS) compute_translation(h);
  if (h->df_mask & (DF_ROT | DF_ROTZ)) compute_rotation(h);
  if (h->df_mask & AUTO_SHAPE_BITS) {
    ref_compute_superquadric_generalized_force(h);
    ref_compute_superquadric_deformation(h);
  }
  if (fit_changing(h) == 0) h->fitting_index += 1;
  return 0;
}


}  // namespace dynamics

}  // namespace reference

using reference::deformation::ref_compute_superquadric_generalized_force;
using reference::dynamics::ref_compute_motion;
using reference::dynamics::ref_compute_motion_auto;
using reference::geometry::ref_compute_superquadric_taper_bend_new_center;
using reference::geometry::ref_compute_superquadric_taper_bend_normal;

// ===========================================================================
// Comparing two models bit for bit
// ===========================================================================
namespace {

using ::testing::AssertionFailure;
using ::testing::AssertionResult;
using ::testing::AssertionSuccess;

bool same_bytes(const void *a, const void *b, size_t n) { return memcmp(a, b, n) == 0; }

// Two doubles are the same when their bits are, or when both are NaNs:
// which NaN an operation with two NaN operands passes on (its sign and
// payload) depends on the operand order the compiler picks for a
// commutative operation, which the source does not fix.  The same code
// built with and without the sanitizers gives NaNs of either sign.
bool same_value(double a, double b) {
  return same_bytes(&a, &b, sizeof a) || (std::isnan(a) && std::isnan(b));
}
bool same_value(int a, int b) { return a == b; }
bool same_value(const vector &a, const vector &b) {
  return same_value(a.x, b.x) && same_value(a.y, b.y) && same_value(a.z, b.z);
}
bool same_value(const quaternion &a, const quaternion &b) {
  return same_value(a.w, b.w) && same_value(a.v, b.v);
}
bool same_value(const force_map &a, const force_map &b) { return same_bytes(&a, &b, sizeof a); }
template <class T, size_t N>
bool same_value(const T (&a)[N], const T (&b)[N]) {
  for (size_t i = 0; i < N; i++)
    if (!same_value(a[i], b[i])) return false;
  return true;
}

// Every field of a node except the neighbour pointers, which are compared as
// indices.
#define NODE_FIELDS(X)                                                                     \
  X(uu) X(vv) X(mass) X(damp) X(refer) X(refer1) X(displ) X(ddispl) X(posit) X(wposit)     \
  X(force) X(rforce) X(Force) X(rForce) X(sinu) X(cosu) X(sinv) X(cosv) X(spcue1cve2)      \
  X(spcue1sve2) X(spsue1) X(num_neighbors) X(bnormal) X(normal) X(rnormal) X(dXdu)         \
  X(rdXdu) X(dXdv) X(rdXdv) X(proj_posit) X(proj_wposit) X(rposit) X(proj_rposit)          \
  X(proj_wrposit)

#define FIELD_SIZE(f) +sizeof(node::f)
// The list is complete: its fields, the five pointers and the padding after
// the int num_neighbors make up the whole node.
static_assert(0 NODE_FIELDS(FIELD_SIZE) + 5 * sizeof(void *) + sizeof(void *) - sizeof(int) ==
                  sizeof(node),
              "a node field is missing from NODE_FIELDS");

// Index of p in the node array of h, -1 for null.
long node_index(const hybroid *h, const node *p) { return p ? (long)(p - h->nodes) : -1; }

AssertionResult same_node(const hybroid *ha, const node &a, const hybroid *hb, const node &b) {
#define COMPARE_NODE_FIELD(f) \
  if (!same_value(a.f, b.f)) return AssertionFailure() << "field " #f;
  NODE_FIELDS(COMPARE_NODE_FIELD)
  for (int k = 0; k < 4; k++)
    if (node_index(ha, a.neighbors[k]) != node_index(hb, b.neighbors[k]))
      return AssertionFailure() << "neighbour " << k;
  return AssertionSuccess();
}

// Every field of the model record except its pointers and its faces.
#define MODEL_FIELDS(X)                                                                        \
  X(usize) X(vsize) X(ubegin) X(uend) X(ustep) X(vbegin) X(vend) X(vstep) X(numnodes)          \
  X(numelems) X(sc) X(a1) X(a2) X(a3) X(e1) X(e2) X(sc_pr) X(a1_pr) X(a2_pr) X(a3_pr)          \
  X(e1_pr) X(e2_pr) X(tapx) X(tapy) X(bend1) X(bend2) X(bend3) X(tapx_pr) X(tapy_pr)           \
  X(bend1_pr) X(bend2_pr) X(bend3_pr) X(bend_curv) X(angle) X(angle_vstep) X(translation)      \
  X(orientation) X(rotation) X(translation_pr) X(orientation_pr) X(rotation_pr)                \
  X(camera_translation) X(camera_orientation) X(camera_rotation) X(net_applied_force)          \
  X(net_applied_torque) X(net_applied_force_pr) X(net_applied_torque_pr)                       \
  X(net_damping_force) X(net_damping_torque) X(numdatapoints) X(primitive_label)               \
  X(aspect_label) X(n_face) X(c_inv) X(c_inv_sc) X(c_inv_a1) X(c_inv_a2) X(c_inv_a3)           \
  X(c_inv_e1) X(c_inv_e2) X(c_inv_tx) X(c_inv_ty) X(c_inv_b1) X(c_inv_b2) X(c_inv_b3)          \
  X(c_inv_trans) X(c_inv_transz) X(c_inv_rot) X(c_inv_roty) X(c_inv_rotz) X(force_cnt)         \
  X(avg_dim) X(strength_image_force) X(center) X(u_center) X(v_center) X(model_center)         \
  X(a12_symmetric) X(txy_symmetric) X(u_offset) X(df_mask) X(fitting_index)                    \
  X(fitting_sequence) X(n_force) X(force_map) X(fsc) X(fa1) X(fa2) X(fa3) X(fe1) X(fe2)        \
  X(ftx) X(fty) X(fb1) X(fb2) X(fb3) X(qforce_pr) X(gof) X(gof_pr) X(normal_eps) X(diff)       \
  X(d_ang) X(axis_diff) X(h_index) X(proj_trans) X(rtranslation) X(proj_rtrans)                \
  X(normal_force_flag) X(subsample) X(graphics_flag) X(ftol) X(dt) X(perspective_flag)         \
  X(focal_length) X(x_scale) X(y_scale) X(x_center) X(y_center) X(x_dim) X(y_dim)              \
  X(display_scale)

#define FACE_FIELDS(X) X(n_points) X(n_curve) X(begin) X(end) X(n_neighbor) X(neighbor_face) X(neighbor_curve)

#define POINT_FIELDS(X) X(position) X(wposition) X(u) X(v) X(strength_force) X(force) X(mag_force) X(type)

AssertionResult same_face(const hybroid *a, const hybroid *b, int f) {
  const Face &fa = a->face[f], &fb = b->face[f];
#define COMPARE_FACE_FIELD(x) \
  if (!same_value(fa.x, fb.x)) return AssertionFailure() << "face " << f << " " #x;
  FACE_FIELDS(COMPARE_FACE_FIELD)
  if (!fa.points || !fb.points) {
    if (fa.points != fb.points) return AssertionFailure() << "face " << f << " points";
    return AssertionSuccess();
  }
  for (int i = 0; i < fa.n_points; i++) {
    const range_datapoint &pa = fa.points[i], &pb = fb.points[i];
#define COMPARE_POINT_FIELD(x) \
  if (!same_value(pa.x, pb.x))  \
    return AssertionFailure() << "face " << f << " point " << i << " " #x;
    POINT_FIELDS(COMPARE_POINT_FIELD)
    if (node_index(a, pa.nearest_node) != node_index(b, pb.nearest_node))
      return AssertionFailure() << "face " << f << " point " << i << " nearest_node";
  }
  return AssertionSuccess();
}

// The whole state of two models, bit for bit.
AssertionResult same_model(const hybroid *a, const hybroid *b) {
#define COMPARE_MODEL_FIELD(f) \
  if (!same_value(a->f, b->f)) return AssertionFailure() << "model field " #f;
  MODEL_FIELDS(COMPARE_MODEL_FIELD)
  for (int f = 0; f < MAX_FACES; f++) {
    AssertionResult r = same_face(a, b, f);
    if (!r) return r;
  }
  if (!a->nodes || !b->nodes) return AssertionSuccess();
  for (int i = 0; i < a->numnodes; i++) {
    AssertionResult r = same_node(a, a->nodes[i], b, b->nodes[i]);
    if (!r) return r << " of node " << i;
  }
  return AssertionSuccess();
}

// ===========================================================================
// Models to run
// ===========================================================================

const std::string SAMPLES = std::string(HYBFIT_SOURCE_DIR) + "/samples/";

// Runs f with the standard error stream sent to /dev/null: the readers and
// the initialisation report on it.
template <class F>
void quietly(F f) {
  fflush(stderr);
  int saved = dup(2);
  int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 2);
  f();
  fflush(stderr);
  dup2(saved, 2);
  close(null_fd);
  close(saved);
}

void load_tables_once() {
  static bool loaded = false;
  if (loaded) return;
  quietly([] {
    read_primitive_hybroid_parameter((SAMPLES + "hyb").c_str());
    read_primitive_dof_mapping((SAMPLES + "forcemap").c_str());
  });
  loaded = true;
}

// Focal length of the perspective runs: with it the samples' fits stay in
// front of the camera (the default 0.1 drives them far away).
const double PERSPECTIVE_FOCAL_LENGTH = 20.0;

// A sample model read and initialised as the batch run does it, in the
// given projection.
hybroid *build_sample_model(const std::string &dump, int perspective) {
  load_tables_once();
  graphics_off = 1;
  int saved_perspective = perspective_flag;
  double saved_focal_length = focal_length;
  perspective_flag = perspective;
  if (perspective) focal_length = PERSPECTIVE_FOCAL_LENGTH;
  hybroid *h = nullptr;
  quietly([&] {
    h = hybroid_alloc();
    setup_param(&h, 1);
    read_ascii_xy_data_dump((SAMPLES + dump).c_str(), h, 1.0);
    init_hybroid(h);
  });
  perspective_flag = saved_perspective;
  focal_length = saved_focal_length;
  return h;
}

// Two models built the same way: one stepped by the product, one by the
// reference.
struct ModelPair {
  hybroid *product, *reference;
  ModelPair(const std::string &dump, int perspective)
      : product(build_sample_model(dump, perspective)),
        reference(build_sample_model(dump, perspective)) {}
  ~ModelPair() {
    free_hybroid(product);
    free_hybroid(reference);
  }
  ModelPair(const ModelPair &) = delete;
  ModelPair &operator=(const ModelPair &) = delete;
  // Applies the same edit to both models.
  template <class F>
  void edit(F f) {
    f(product);
    f(reference);
  }
  // Shape geometry and centre, each model by its own code.
  void recompute_shape() {
    compute_superquadric_taper_bend_normal(product);
    compute_superquadric_taper_bend_new_center(product);
    ref_compute_superquadric_taper_bend_normal(reference);
    ref_compute_superquadric_taper_bend_new_center(reference);
  }
};

// Samples with a schedule (labels 1, 5, 6) and one without (label 10).
const char *const SAMPLE_DUMPS[] = {"cylinder5.dump", "box1.dump", "shade6.dump",
                                    "stereo_left.dump", "cylinder10.dump"};
const char *const SHAPED_SAMPLES[] = {"cylinder5.dump", "box1.dump", "shade6.dump"};

// More than any sample needs to finish its automatic fit.
const int MAX_AUTOMATIC_STEPS = 1000;

// Deterministic numbers for the random trials: the same sequence on every
// platform.
struct Random {
  std::mt19937 engine;
  explicit Random(unsigned seed) : engine(seed) {}
  double uniform(double lo, double hi) { return lo + (hi - lo) * (engine() / 4294967296.0); }
  int below(int n) { return (int)(engine() % (unsigned)n); }
  bool chance(double p) { return uniform(0.0, 1.0) < p; }
};

// Tapering and bending switched on, so that every term of the geometry and
// of the generalized forces takes part.
void set_tapered_and_bent(hybroid *h) {
  h->tapx = 0.2;
  h->tapy = -0.15;
  h->bend1 = 0.3;
  h->bend2 = 0.1;
  h->bend3 = 0.7;
}

// Runs one manual step under mask on both models and compares them.
AssertionResult manual_step_matches(ModelPair &m, int mask) {
  m.edit([mask](hybroid *h) { h->df_mask = mask; });
  compute_motion(m.product);
  ref_compute_motion(m.reference);
  return same_model(m.product, m.reference);
}

// Masks of manual steps: rigid only, axes and scale, tapering and bending,
// whole-force mode, everything, nothing.
const int MANUAL_MASKS[] = {
    DF_TRANS | DF_ROT | DF_ROTZ,
    DF_SC | DF_A1 | DF_A2 | DF_A3,
    DF_TAPX | DF_TAPY | DF_BEND1 | DF_BEND3 | DF_A1,
    DF_WHOLE_FORCE | DF_TRANS | DF_ROT | DF_SC,
    DF_SC | DF_A1 | DF_A2 | DF_A3 | DF_TAPX | DF_TAPY | DF_BEND1 | DF_BEND3 | DF_TRANS |
        DF_ROT | DF_ROTZ,
    DF_BEND3 | DF_SC,
    0,
};

}  // namespace

// ===========================================================================
// Tests
// ===========================================================================

TEST(StepExactness, TheComparisonSeesEveryBitOfTheState) {
  ModelPair m("cylinder5.dump", 0);
  ASSERT_TRUE(same_model(m.product, m.reference));
  // A cached power one unit in the last place off.
  node &n = m.product->nodes[17];
  n.spsue1 = nextafter(n.spsue1, 2.0);
  EXPECT_FALSE(same_model(m.product, m.reference));
  n.spsue1 = m.reference->nodes[17].spsue1;
  // A negative zero is not a zero.
  m.product->nodes[3].rForce[SLOT_BEND3].x = -0.0;
  m.reference->nodes[3].rForce[SLOT_BEND3].x = 0.0;
  EXPECT_FALSE(same_model(m.product, m.reference));
  m.product->nodes[3].rForce[SLOT_BEND3].x = 0.0;
  // A data point's force and a model field.
  m.product->face[1].points[5].force.y += 1e-12;
  EXPECT_FALSE(same_model(m.product, m.reference));
  m.product->face[1].points[5].force = m.reference->face[1].points[5].force;
  m.product->fb3 = 1.0;
  EXPECT_FALSE(same_model(m.product, m.reference));
}

TEST(StepExactness, AutomaticFitsOfTheSamplesMatchTheReferenceAfterEveryStep) {
  long steps = 0;
  for (const char *dump : SAMPLE_DUMPS)
    for (int perspective = 0; perspective <= 1; perspective++) {
      ModelPair m(dump, perspective);
      ASSERT_TRUE(same_model(m.product, m.reference)) << dump;
      for (int step = 0; step < MAX_AUTOMATIC_STEPS; step++) {
        int done = compute_motion_auto(m.product);
        ASSERT_EQ(done, ref_compute_motion_auto(m.reference));
        ASSERT_TRUE(same_model(m.product, m.reference))
            << dump << " perspective " << perspective << " step " << step;
        if (done) break;
        steps++;
      }
    }
  // The fits really ran: each orthographic one takes hundreds of steps.
  EXPECT_GT(steps, 2000);
}

TEST(StepExactness, ManualStepsUnderSeveralMasksWithTaperingAndBendingMatch) {
  for (const char *dump : SHAPED_SAMPLES)
    for (int perspective = 0; perspective <= 1; perspective++) {
      ModelPair m(dump, perspective);
      m.edit(set_tapered_and_bent);
      m.recompute_shape();
      ASSERT_TRUE(same_model(m.product, m.reference)) << dump;
      int round = 0;
      for (int mask : MANUAL_MASKS)
        for (int step = 0; step < 4; step++, round++) {
          m.edit([round](hybroid *h) {
            h->normal_force_flag = round % 3 != 0;
            h->subsample = round % 2 ? 5 : 0;
          });
          ASSERT_TRUE(manual_step_matches(m, mask))
              << dump << " perspective " << perspective << " mask 0x" << std::hex << mask;
        }
    }
}

namespace {

// A random shape: squareness from blunt to pinched (sometimes e1 = e2,
// sometimes above 2 where the gradient is singular), tapering, bending
// below, at and above the threshold.
void randomize_shape(Random &r, hybroid *h) {
  static const double exponents[] = {0.1, 0.5, 1.0, 1.0, 2.0, 2.5, 3.7};
  h->sc = r.uniform(0.5, 3.0);
  h->a1 = r.uniform(0.3, 1.5);
  h->a2 = r.chance(0.3) ? h->a1 : r.uniform(0.3, 1.5);
  h->a3 = r.uniform(0.3, 1.5);
  h->e1 = r.chance(0.5) ? exponents[r.below(7)] : r.uniform(0.05, 4.0);
  h->e2 = r.chance(0.3) ? h->e1 : r.chance(0.5) ? exponents[r.below(7)] : r.uniform(0.05, 4.0);
  h->tapx = r.chance(0.3) ? 0.0 : r.uniform(-0.9, 0.9);
  h->tapy = r.chance(0.3) ? 0.0 : r.uniform(-0.9, 0.9);
  static const double bends[] = {0.0, 0.00001, -0.00001, 0.0000100001};
  h->bend1 = r.chance(0.3) ? bends[r.below(4)] : r.uniform(-0.8, 0.8);
  h->bend2 = r.chance(0.5) ? 0.0 : r.uniform(-0.5, 0.5);
  h->bend3 = r.uniform(-3.2, 3.2);
}

// A random turn and shift of the pose, kept in front of the camera.
void randomize_pose(Random &r, hybroid *h) {
  quaternion q = {r.uniform(-1, 1), {r.uniform(-1, 1), r.uniform(-1, 1), r.uniform(-1, 1)}};
  double len = sqrt(q.w * q.w + q.v.x * q.v.x + q.v.y * q.v.y + q.v.z * q.v.z);
  h->orientation = {q.w / len, {q.v.x / len, q.v.y / len, q.v.z / len}};
  rotation_from_quaternion(h->orientation, h->rotation);
  h->translation.x += r.uniform(-1.0, 1.0);
  h->translation.y += r.uniform(-1.0, 1.0);
  h->translation.z *= r.uniform(0.8, 1.3);
}

}  // namespace

TEST(StepExactness, RandomShapesAndPosesMatchUnderRandomMasks) {
  static const int MASK_BITS[] = {DF_SC,   DF_A1,    DF_A2,    DF_A3,    DF_TAPX,
                                  DF_TAPY, DF_BEND1, DF_BEND3, DF_TRANS, DF_ROT,
                                  DF_ROTZ, DF_E1,    DF_E2,    DF_WHOLE_FORCE};
  Random r(20240817);
  for (int trial = 0; trial < 40; trial++) {
    ModelPair m(SHAPED_SAMPLES[trial % 3], trial % 2);
    Random shape = r;  // the same numbers for both models
    randomize_shape(shape, m.product);
    randomize_pose(shape, m.product);
    randomize_shape(r, m.reference);
    randomize_pose(r, m.reference);
    m.recompute_shape();
    ASSERT_TRUE(same_model(m.product, m.reference)) << "trial " << trial;
    for (int step = 0; step < 6; step++) {
      int mask = 0;
      for (int bit : MASK_BITS)
        if (r.chance(0.4)) mask |= bit;
      bool sparse = r.chance(0.5), normal = r.chance(0.7);
      m.edit([&](hybroid *h) {
        h->subsample = sparse ? 5 : 0;
        h->normal_force_flag = normal;
      });
      ASSERT_TRUE(manual_step_matches(m, mask))
          << "trial " << trial << " step " << step << " mask 0x" << std::hex << mask;
    }
    // And a few automatic steps from the random state.
    for (int step = 0; step < 5; step++) {
      ASSERT_EQ(compute_motion_auto(m.product), ref_compute_motion_auto(m.reference));
      ASSERT_TRUE(same_model(m.product, m.reference)) << "trial " << trial << " auto " << step;
    }
  }
}

namespace {

const double INF = std::numeric_limits<double>::infinity();
const double NAN_VALUE = std::numeric_limits<double>::quiet_NaN();

// Odd angles on a few nodes: signed zeros where the mesh has tiny cosines,
// a negative zero sine, and an angle pair no other node has.
void set_odd_angles(hybroid *h) {
  node *n = h->nodes;
  n[0].cosu = -0.0;
  n[1].cosv = -0.0;
  n[2].sinv = -0.0;
  n[3].sinu = 0.0;
  n[4].cosu = 0.0;
  n[4].cosv = -0.0;
  n[5].cosv = -1e-170;  // products of the angles underflow to zero
  n[5].sinv = 1e-170;
  n[5].cosu = -1e-170;
  n[6].cosu = 0.123456789;
  n[6].sinv = -0.987654321;
}

}  // namespace

TEST(StepExactness, GeometryOfOddExponentsAndAnglesMatches) {
  // e1, e2 pairs: equal, singular gradients, zero, negative, not a number,
  // infinite, tiny and huge exponents.
  static const double pairs[][2] = {
      {1.0, 1.0}, {0.1, 3.7}, {3.0, 0.2}, {2.0, 2.0},       {0.0, 1.0},
      {1.0, 0.0}, {-0.5, 1.5}, {1.0, -2.0}, {NAN_VALUE, 1.0}, {1.0, NAN_VALUE},
      {INF, 1.0}, {1.0, INF},  {1e-300, 1.0}, {1.0, 400.0},  {-0.0, 0.0}};
  static const double tapers[] = {0.0, 1.0, -0.7};
  static const double bends[] = {0.0, 0.00001, -0.0000100001, 0.6};
  for (const auto &e : pairs)
    for (double tap : tapers)
      for (double bend : bends) {
        ModelPair m("box1.dump", 0);
        m.edit([&](hybroid *h) {
          set_odd_angles(h);
          h->e1 = e[0];
          h->e2 = e[1];
          h->tapx = tap;
          h->tapy = -tap;
          h->bend1 = bend;
          h->bend3 = 0.4;
        });
        m.recompute_shape();
        ASSERT_TRUE(same_model(m.product, m.reference))
            << "e1 " << e[0] << " e2 " << e[1] << " tap " << tap << " bend " << bend;
        // A second run over the results of the first.
        m.recompute_shape();
        ASSERT_TRUE(same_model(m.product, m.reference));
      }
}

namespace {

// The same random model-frame forces in every shape slot of both models.
void set_random_forces(ModelPair &m, Random &r) {
  static const int slots[] = {SLOT_SC,   SLOT_A1,   SLOT_A2,    SLOT_A3,
                              SLOT_TAPX, SLOT_TAPY, SLOT_BEND1, SLOT_BEND3};
  for (int i = 0; i < m.product->numnodes; i++)
    for (int s : slots) {
      vector f = {r.uniform(-1, 1), r.uniform(-1, 1), r.uniform(-1, 1)};
      if (r.chance(0.1)) f = {0.0, -0.0, 0.0};
      m.product->nodes[i].rForce[s] = f;
      m.reference->nodes[i].rForce[s] = f;
    }
}

const int ALL_SHAPE_BITS = DF_SC | DF_A1 | DF_A2 | DF_A3 | DF_TAPX | DF_TAPY | DF_BEND1 | DF_BEND3;

}  // namespace

TEST(StepExactness, GeneralizedForcesMatchWhenTheCachedPowersAreStale) {
  // The generalized forces are defined from the node angles and the current
  // exponents, whatever the geometry last stored in the node: change the
  // exponents, the angles or the stored products after the geometry ran.
  Random r(7);
  for (int trial = 0; trial < 24; trial++) {
    ModelPair m(SHAPED_SAMPLES[trial % 3], 0);
    m.edit(set_tapered_and_bent);
    if (trial % 4 == 3) m.edit([](hybroid *h) { h->bend1 = 0.0; });
    m.recompute_shape();
    set_random_forces(m, r);
    int kind = trial % 3;
    double e1 = r.uniform(0.1, 3.0), e2 = r.uniform(0.1, 3.0);
    m.edit([&](hybroid *h) {
      h->df_mask = ALL_SHAPE_BITS;
      if (kind == 0) {  // new exponents, geometry not rerun
        h->e1 = e1;
        h->e2 = e2;
      } else if (kind == 1) {  // new angles, geometry not rerun
        set_odd_angles(h);
      } else {  // stored products overwritten
        h->nodes[9].spcue1cve2 = NAN_VALUE;
        h->nodes[10].spcue1sve2 = -0.0;
        h->nodes[11].spsue1 = 12.5;
      }
    });
    compute_superquadric_generalized_force(m.product);
    ref_compute_superquadric_generalized_force(m.reference);
    ASSERT_TRUE(same_model(m.product, m.reference)) << "trial " << trial;
  }
}

TEST(StepExactness, GeneralizedForcesOfOddExponentsAndAnglesMatchForEveryMask) {
  static const double exponents[] = {1.0, 0.3, 2.5, 0.0, -1.0, NAN_VALUE, INF};
  Random r(11);
  for (double e1 : exponents)
    for (double e2 : exponents) {
      ModelPair m("cylinder5.dump", 0);
      m.edit([&](hybroid *h) {
        set_tapered_and_bent(h);
        set_odd_angles(h);
        h->e1 = e1;
        h->e2 = e2;
      });
      m.recompute_shape();
      set_random_forces(m, r);
      for (int mask : {ALL_SHAPE_BITS, (int)DF_SC, DF_A1 | DF_TAPY, (int)DF_BEND1, (int)DF_BEND3, 0}) {
        m.edit([mask](hybroid *h) { h->df_mask = mask; });
        compute_superquadric_generalized_force(m.product);
        ref_compute_superquadric_generalized_force(m.reference);
        ASSERT_TRUE(same_model(m.product, m.reference))
            << "e1 " << e1 << " e2 " << e2 << " mask 0x" << std::hex << mask;
      }
    }
}

TEST(StepExactness, PositionsOfNodesBehindThePerspectiveCameraMatch) {
  // The camera plane cuts the model: nodes behind it keep their previous
  // projection in both codes.
  ModelPair m("cylinder5.dump", 1);
  m.edit([](hybroid *h) { h->translation.z = 0.5; });
  for (int step = 0; step < 3; step++)
    ASSERT_TRUE(manual_step_matches(m, DF_TRANS | DF_SC)) << "step " << step;
}

namespace {

// One search of the product and of the reference agree: the same node, and
// the same bits of separation and distance.
AssertionResult same_search(const hybroid *h, node *product, vector product_separation,
                            double product_distance, node *reference,
                            vector reference_separation, double reference_distance) {
  if (product != reference)
    return AssertionFailure() << "node " << node_index(h, product) << " against "
                              << node_index(h, reference);
  if (!same_value(product_separation, reference_separation))
    return AssertionFailure() << "separation";
  if (!same_value(product_distance, reference_distance))
    return AssertionFailure() << "distance";
  return AssertionSuccess();
}

}  // namespace

TEST(StepExactness, PatchSearchesOverOddPatchesMatch) {
  // Patches clipped at the grid, wrapping once or several times, starting
  // at negative columns, single nodes and empty ranges; on the side face
  // (curves 1 and 3 keep only silhouette nodes) and on the top.
  //                                 u1  u2   v1   v2  face curve
  static const int patches[][6] = {{-3, 40, -5,  3,   1,   1},
                                   { 2,  5, 14,  2,   1,   0},
                                   { 0, 14,  0, 15,   1,   3},
                                   { 3,  3,  7,  7,   0,   0},
                                   { 5,  2,  0,  4,   1,   1},
                                   { 0, 14,  3, 51,   1,   2},
                                   { 0, 14, -20, -18, 1,   1},
                                   { 1, 13, 15, 15,   2,   0}};
  Random r(3);
  for (int perspective = 0; perspective <= 1; perspective++) {
    ModelPair m("cylinder5.dump", perspective);
    hybroid *h = m.product;
    compute_motion_auto(h);  // positions, projections and normals of a step
    for (const auto &p : patches) {
      force_map fmp = {DF_TRANS, p[4], p[5], p[0], p[1], p[2], p[3], 0};
      for (int k = 0; k < 50; k++) {
        // Points over the model's image, some exactly on a node's image.
        const node &aim = h->nodes[r.below(h->numnodes)];
        vector at = perspective ? aim.proj_posit : aim.posit;
        vector point = {at.x + (k % 3 ? r.uniform(-0.5, 0.5) : 0.0),
                        at.y + (k % 3 ? r.uniform(-0.5, 0.5) : 0.0), at.z};
        vector sep_p = {7, 7, 7}, sep_r = {7, 7, 7};
        double dist_p = 7, dist_r = 7;
        node *np, *nr;
        if (perspective) {
          np = nearest_hybroid_node_perspective_projection(h, &fmp, point, &sep_p, &dist_p);
          nr = reference::forces::ref_nearest_hybroid_node_perspective_projection(
              h, &fmp, point, &sep_r, &dist_r);
        } else {
          np = nearest_hybroid_node_ortho_projection(h, &fmp, point, &sep_p, &dist_p);
          nr = reference::forces::ref_nearest_hybroid_node_ortho_projection(h, &fmp, point,
                                                                            &sep_r, &dist_r);
        }
        ASSERT_TRUE(same_search(h, np, sep_p, dist_p, nr, sep_r, dist_r))
            << "patch " << p[0] << ".." << p[1] << " x " << p[2] << ".." << p[3]
            << " perspective " << perspective;
      }
    }
  }
}

TEST(StepExactness, NormalForcesOfSinglePointsMatch) {
  // compute_normal_force called on its own, point by point, as after a
  // data-force pass, in both projections.
  for (int perspective = 0; perspective <= 1; perspective++) {
    ModelPair m("shade6.dump", perspective);
    compute_motion_auto(m.product);
    ref_compute_motion_auto(m.reference);
    for (int i = 0; i < m.product->n_force; i++) {
      force_map *fp = &m.product->force_map[i], *fr = &m.reference->force_map[i];
      Face &face_p = m.product->face[fp->face], &face_r = m.reference->face[fr->face];
      for (int j = 0; j < face_p.n_points; j++) {
        range_datapoint *dp = &face_p.points[j], *dr = &face_r.points[j];
        if (!dp->nearest_node) continue;
        vector sep_p = {0.3, -0.2, 0.0}, sep_r = sep_p;
        double dist_p = 0, dist_r = 0;
        compute_normal_force(m.product, fp, dp, &sep_p, &dist_p);
        reference::forces::ref_compute_normal_force(m.reference, fr, dr, &sep_r, &dist_r);
        ASSERT_TRUE(same_value(sep_p, sep_r)) << "map " << i << " point " << j;
        ASSERT_TRUE(same_value(dist_p, dist_r)) << "map " << i << " point " << j;
      }
    }
  }
}
