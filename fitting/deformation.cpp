// deformation.cpp -- shape dynamics: generalized forces on the shape
// parameters and their Euler update.
//
// Reads each node's latitude/longitude (sinu, cosu, sinv, cosv) and its
// model-frame data forces rForce, left by the data-force pass and
// unrotate_force.  Writes the model's generalized forces fsc .. fb3 (and
// qforce_pr when bookkept), bend_curv, and the shape parameters sc .. bend3,
// after which the node geometry and the model centre are recomputed.
//
// Start with compute_superquadric_generalized_force: each shape parameter's
// force is the sum over all nodes of the node's force projected on the
// derivative of its position; compute_superquadric_deformation then moves
// each enabled parameter by its inverse damping times its force.  A pass
// works out the per-model terms once and remembers the powers of the node
// angles, which repeat along the rows and columns of the grid.
//
// Two switches of the model extend this.  exact_geometry: every force is the
// projection on the true derivative of the position as the geometry computes
// it (compute_shape_derivatives), where the built-in rows taper the sizes
// about the middle, bend the untapered point and give bend1 the force on the
// curvature.  extended_shape: the squareness exponents get forces too, and
// the parameters a step frees are held within the shape bounds.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "hybroid.h"
#include "vector_ops.h"

static const double PI = 3.141592653589793;
static const double HALF_PI = 1.5707963267948966;

// The shape dynamics step with a tenth of the rigid motion's time step.
static const double SHAPE_STEP_FACTOR = 0.1;

// Semi-axes and scale are held at or above this after every step.
static const double SHAPE_LOWER_BOUND = 0.01;

// -1 for w < 0, +1 otherwise.
static double sign_of(double w) { return w < 0.0 ? -1.0 : 1.0; }

// abs(w)^e, taken as 0 when w is 0.
static double power_abs(power_table *t, double w, double e) {
  return w == 0.0 ? 0.0 : tabled_pow(t, fabs(w), e);
}


// Terms of the derivatives that do not depend on the node, worked out once
// per pass.  Each is the very expression the per-node formulas contain
// (same operands, same order), so it has the same bits.
struct model_terms {
  double sc_a1, sc_a2, sa3;  // sc * a1, sc * a2, sc * a3
  double pi_bend3;           // pi * bend3, first factor of comb
  double bend2_sa3;          // bend2 / sa3, inside comb
  double bend_scale;         // pi * bend1 * bend2 * bend3, the scale row's bending factor
  double sc_sa3;             // sc * sa3, its divisor
  double k, R;               // curvature bend1 * (pi/2) / (a3 * sc) and radius 1 / k
  double cb3, sb3;           // direction of the bending plane
};

static model_terms compute_model_terms(const hybroid *h) {
  model_terms m;
  m.sc_a1 = h->sc * h->a1;
  m.sc_a2 = h->sc * h->a2;
  m.sa3 = h->sc * h->a3;
  m.pi_bend3 = PI * h->bend3;
  m.bend2_sa3 = h->bend2 / m.sa3;
  m.bend_scale = PI * h->bend1 * h->bend2 * h->bend3;
  m.sc_sa3 = h->sc * m.sa3;
  m.k = h->bend1 * HALF_PI / (h->a3 * h->sc);
  m.R = 1 / m.k;
  m.cb3 = cos(h->bend3);
  m.sb3 = sin(h->bend3);
  return m;
}

// Per-node quantities the derivatives are built from.
struct shape_terms {
  double Px, Py, Pz;  // plain superquadric point for unit radii
  double kx, ky;      // tapering about the model's middle
  double comb;        // argument of the scale row's bending term
  double x0, y0;      // untapered x and y
  double rz;          // height below the top, never positive
};

static shape_terms compute_shape_terms(const hybroid *h, const model_terms *m, const node *nd,
                                       power_table *powers) {
  double cu = nd->cosu, su = nd->sinu, cv = nd->cosv, sv = nd->sinv;
  double pcu = power_abs(powers, cu, h->e1);
  shape_terms t;
  t.Px = sign_of(cu * cv) * pcu * power_abs(powers, cv, h->e2);
  t.Py = sign_of(cu * sv) * pcu * power_abs(powers, sv, h->e2);
  t.Pz = sign_of(su) * power_abs(powers, su, h->e1);
  t.kx = 1 + h->tapx * t.Pz;
  t.ky = 1 + h->tapy * t.Pz;
  t.comb = m->pi_bend3 * (t.Pz + m->bend2_sa3);
  t.x0 = m->sc_a1 * t.Px;
  t.y0 = m->sc_a2 * t.Py;
  t.rz = m->sa3 * t.Pz - m->sa3;
  return t;
}

// Derivative of the position with respect to sc: the axis sizes with the
// tapering about the middle, plus the derivative of an extra bending term
// bend1 * cos(comb) of x.
static vector scale_derivative(const hybroid *h, const model_terms *m, const shape_terms *t) {
  return {h->a1 * t->kx * t->Px + m->bend_scale * sin(t->comb) / m->sc_sa3,
          h->a2 * t->ky * t->Py, h->a3 * t->Pz};
}

// Bending derivatives of one node, the bending applied to the untapered
// point: d_k is the derivative with respect to the curvature k itself (no
// factor dk/dbend1); d_bend3 the derivative with respect to the bending
// direction, set only for a bent model (returns false otherwise).  Stores
// the curvature into bend_curv when bent.
static bool bending_derivatives(hybroid *h, const model_terms *m, const shape_terms *t,
                                vector *d_k, vector *d_bend3) {
  double cb3 = m->cb3, sb3 = m->sb3, rz = t->rz;
  double rx = cb3 * t->x0 - sb3 * t->y0;
  double ry = sb3 * t->x0 + cb3 * t->y0;
  if (h->bend1 == 0.0) {
    double Lx = rz * rz / 2;  // limit for vanishing curvature
    double Lz = -rx * rz;
    *d_k = {cb3 * Lx, -sb3 * Lx, Lz};
    return false;
  }
  double k = m->k, R = m->R;
  h->bend_curv = k;
  double theta = rz * k;
  double st = sin(theta), ct = cos(theta);
  double radius = rx - R;
  double Lx = -rz * st * radius - R * R * (1 - ct);
  double Lz = -rz * ct * radius - R * R * st;
  *d_k = {cb3 * Lx, -sb3 * Lx, Lz};
  double drx = -sb3 * t->x0 - cb3 * t->y0;  // d rx / d bend3
  double rx_bent = ct * radius + R;
  *d_bend3 = {cb3 * ct * drx + sb3 * rx - sb3 * rx_bent + cb3 * ry,
              -sb3 * ct * drx + cb3 * rx - cb3 * rx_bent - sb3 * ry, -st * drx};
  return true;
}

struct generalized_forces {
  double fsc, fa1, fa2, fa3, ftx, fty, fb1, fb3;
};

// Adds one node's projections for every bit of the model's df_mask.
static void add_node_generalized_forces(hybroid *h, const model_terms *m, const node *nd,
                                        const shape_terms &t, generalized_forces *g) {
  int mask = h->df_mask;
  const vector *F = nd->rForce;
  if (mask & DF_SC) g->fsc += dot_vector(F[SLOT_SC], scale_derivative(h, m, &t));
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
  bool bent = bending_derivatives(h, m, &t, &d_k, &d_bend3);
  if (mask & DF_BEND1) g->fb1 += dot_vector(F[SLOT_BEND1], d_k);
  if ((mask & DF_BEND3) && bent) g->fb3 += dot_vector(F[SLOT_BEND3], d_bend3);
}

// Bits whose sums this pass adds to.
static const int FORCE_BITS = DF_SC | DF_A1 | DF_A2 | DF_A3 | DF_TAPX | DF_TAPY | DF_BEND1 |
                              DF_BEND3;
static const int EXPONENT_BITS = DF_E1 | DF_E2;

// The squareness exponents have no force slot of their own.  They take the
// scale's slot: every force map that acts adds its forces there (a map that
// has acted drives the scale), so the slot holds the whole data force of the
// step's active maps, already in the model frame; and like the scale, the
// exponents move every node in all three directions.
static const int EXPONENT_SLOT = SLOT_SC;

// Adds one node's projections on the true derivatives of its position, for
// every bit of the model's df_mask (exact mode); the exponents' only when
// the model's extended shape dynamics give them forces.
static void add_node_exact_forces(hybroid *h, const node *nd, shape_pass *pass,
                                  double *fe1, double *fe2, generalized_forces *g) {
  int mask = h->df_mask;
  bool exact = h->exact_geometry, exponents = h->extended_shape && (mask & EXPONENT_BITS);
  shape_derivatives d;
  compute_shape_derivatives(h, nd, pass, exact ? mask : mask & EXPONENT_BITS, &d);
  const vector *F = nd->rForce;
  if (exponents) {
    if (mask & DF_E1) *fe1 += dot_vector(F[EXPONENT_SLOT], d.e1);
    if (mask & DF_E2) *fe2 += dot_vector(F[EXPONENT_SLOT], d.e2);
  }
  if (!exact) return;
  if (mask & DF_SC) g->fsc += dot_vector(F[SLOT_SC], d.sc);
  if (mask & DF_A1) g->fa1 += dot_vector(F[SLOT_A1], d.a1);
  if (mask & DF_A2) g->fa2 += dot_vector(F[SLOT_A2], d.a2);
  if (mask & DF_A3) g->fa3 += dot_vector(F[SLOT_A3], d.a3);
  if (mask & DF_TAPX) g->ftx += dot_vector(F[SLOT_TAPX], d.tapx);
  if (mask & DF_TAPY) g->fty += dot_vector(F[SLOT_TAPY], d.tapy);
  if (mask & DF_BEND1) g->fb1 += dot_vector(F[SLOT_BEND1], d.bend1);
  if (mask & DF_BEND3) g->fb3 += dot_vector(F[SLOT_BEND3], d.bend3);
}

// ---------------------------------------------------------------------------
// Nodes without force
// ---------------------------------------------------------------------------

// Only a few nodes pull data points; the others hold zero vectors in every
// slot, and a pass may pass them by without changing a bit of any sum: the
// dot product of a zero vector with a finite derivative is a signed zero,
// and adding a signed zero to a sum that starts at +0 leaves it as it is (a
// sum of such terms is never -0).  A derivative that is not finite would
// give NaN (0 * inf), so nodes are passed by only when every derivative is
// sure to be finite: parameters within these bounds, node angles within
// [-1, 1].
static const double MODERATE_MAX = 1e6;    // |sc|, |a1| .. |bend3| at most this
static const double MODERATE_MIN = 1e-6;   // |sc|, |a3| and a non-zero |bend1| at least
static const double EXPONENT_LOW = 1e-3;   // e1, e2 within [EXPONENT_LOW, EXPONENT_HIGH]
static const double EXPONENT_HIGH = 1e3;

static bool moderate(double v) { return fabs(v) <= MODERATE_MAX; }  // false for NaN

// Whether every node's derivatives are finite for the model's parameters.
static bool derivatives_surely_finite(const hybroid *h) {
  const double values[] = {h->sc, h->a1, h->a2, h->a3, h->tapx, h->tapy, h->bend1, h->bend2,
                           h->bend3};
  for (double v : values)
    if (!moderate(v)) return false;
  if (!(fabs(h->sc) >= MODERATE_MIN && fabs(h->a3) >= MODERATE_MIN)) return false;
  if (h->bend1 != 0.0 && !(fabs(h->bend1) >= MODERATE_MIN)) return false;
  return h->e1 >= EXPONENT_LOW && h->e1 <= EXPONENT_HIGH && h->e2 >= EXPONENT_LOW &&
         h->e2 <= EXPONENT_HIGH;
}

// The force slots a pass reads.
struct slot_list {
  int slot[NUM_SLOTS];
  int n;
};

static void add_slot(slot_list *l, int slot) { l->slot[l->n++] = slot; }

static slot_list slots_read(int mask, bool shape_rows, bool exponents) {
  static const struct { int bit, slot; } rows[] = {
      {DF_SC, SLOT_SC},     {DF_A1, SLOT_A1},       {DF_A2, SLOT_A2},
      {DF_A3, SLOT_A3},     {DF_TAPX, SLOT_TAPX},   {DF_TAPY, SLOT_TAPY},
      {DF_BEND1, SLOT_BEND1}, {DF_BEND3, SLOT_BEND3}};
  slot_list l = {{0}, 0};
  if (shape_rows)
    for (const auto &r : rows)
      if (mask & r.bit) add_slot(&l, r.slot);
  if (exponents) add_slot(&l, EXPONENT_SLOT);
  return l;
}

static bool is_zero_vector(const vector &v) { return v.x == 0.0 && v.y == 0.0 && v.z == 0.0; }

static bool unit_range(double w) { return fabs(w) <= 1.0; }

// A node the pass may pass by (see above; finite_shape says the parameters
// are within bounds).
static bool adds_nothing(const node *nd, const slot_list &read, bool finite_shape) {
  if (!finite_shape) return false;
  if (!(unit_range(nd->cosu) && unit_range(nd->sinu) && unit_range(nd->cosv) &&
        unit_range(nd->sinv)))
    return false;
  for (int k = 0; k < read.n; k++)
    if (!is_zero_vector(nd->rForce[read.slot[k]])) return false;
  return true;
}

// Whether every node's angles are within [-1, 1].
static bool angles_in_unit_range(const hybroid *h) {
  bool in_range = true;
  for (int i = 0; i < h->numnodes; i++) {
    const node *nd = &h->nodes[i];
    in_range &= unit_range(nd->cosu) & unit_range(nd->sinu) & unit_range(nd->cosv) &
                unit_range(nd->sinv);
  }
  return in_range;
}

// The nodes a pass visits, in index order: the marked nodes of the force
// list when every other node is sure to be passed by (its model-frame forces
// are zeros and its angles and the parameters keep the derivatives finite),
// else every node (*index is then null).  Returns their number.
static int nodes_to_visit(const hybroid *h, bool finite_shape, const int **index) {
  *index = nullptr;
  const force_nodes *f = rotated_force_nodes(h);
  if (!finite_shape || !f || !is_zero_vector(f->zero_image) || !angles_in_unit_range(h))
    return h->numnodes;
  *index = f->index;
  return list_marked_nodes(f);
}

// The built-in pass: the rows of the derivatives as written above.  A bent
// model's pass leaves the curvature in bend_curv, whichever nodes it visits.
static void add_built_in_forces(hybroid *h, generalized_forces *g) {
  model_terms m = compute_model_terms(h);
  power_table powers;
  clear_power_table(&powers);
  slot_list read = slots_read(h->df_mask, true, false);
  bool finite_shape = derivatives_surely_finite(h);
  if (h->numnodes > 0 && (h->df_mask & (DF_BEND1 | DF_BEND3)) && h->bend1 != 0.0)
    h->bend_curv = m.k;
  const int *index;
  int n = nodes_to_visit(h, finite_shape, &index);
  for (int k = 0; k < n; k++) {
    const node *nd = &h->nodes[index ? index[k] : k];
    if (adds_nothing(nd, read, finite_shape)) continue;
    shape_terms t = compute_shape_terms(h, &m, nd, &powers);
    add_node_generalized_forces(h, &m, nd, t, g);
  }
}

// The pass over the true derivatives: the exponents' forces, and in exact
// mode every other one.
static void add_exact_forces(hybroid *h, double *fe1, double *fe2, generalized_forces *g) {
  shape_pass pass;
  begin_shape_pass(h, &pass);
  bool exponents = h->extended_shape && (h->df_mask & EXPONENT_BITS);
  slot_list read = slots_read(h->df_mask, h->exact_geometry != 0, exponents);
  bool finite_shape = derivatives_surely_finite(h);
  const int *index;
  int n = nodes_to_visit(h, finite_shape, &index);
  for (int k = 0; k < n; k++) {
    const node *nd = &h->nodes[index ? index[k] : k];
    if (adds_nothing(nd, read, finite_shape)) continue;
    add_node_exact_forces(h, nd, &pass, fe1, fe2, g);
  }
}

void compute_superquadric_generalized_force(hybroid *h) {
  generalized_forces g = {0, 0, 0, 0, 0, 0, 0, 0};
  double fe1 = 0.0, fe2 = 0.0;
  bool exact = h->exact_geometry != 0;
  bool shape_bits = (h->df_mask & FORCE_BITS) != 0;  // without a bit every sum stays 0
  bool exponents = h->extended_shape && (h->df_mask & EXPONENT_BITS);
  if (h->nodes && shape_bits && !exact) add_built_in_forces(h, &g);
  if (h->nodes && (exponents || (exact && shape_bits))) add_exact_forces(h, &fe1, &fe2, &g);
  h->fsc = g.fsc;
  h->fa1 = g.fa1;
  h->fa2 = g.fa2;
  h->fa3 = g.fa3;
  h->ftx = g.ftx;
  h->fty = g.fty;
  h->fb1 = g.fb1;
  h->fb3 = g.fb3;
  // The exponents move only under the extended shape dynamics; bend2, which
  // the geometry does not use, never.
  h->fe1 = fe1;
  h->fe2 = fe2;
  h->fb2 = 0.0;
}

void bookkeep_generalized_force(hybroid *h) {
  h->qforce_pr[0] = h->fsc;
  h->qforce_pr[1] = h->fa1;
  h->qforce_pr[2] = h->fa2;
  h->qforce_pr[3] = h->fa3;
  h->qforce_pr[4] = h->ftx;
  h->qforce_pr[5] = h->fty;
}

// One trace line per call: a running call number, the main shape
// parameters, the degrees of freedom being fitted and their forces.
void fprintf_suq_force_params(FILE *fp, hybroid *h) {
  static int calls = 0;
  calls++;
  fprintf(fp,
          "%d %8.4f %8.4f %8.4f %8.4f %8.4f %8.4f %d %8.4f %8.4f %8.4f %8.4f %8.4f %8.4f\n",
          calls, h->sc, h->a1, h->a2, h->a3, h->tapx, h->tapy, h->df_mask, h->fsc, h->fa1,
          h->fa2, h->fa3, h->ftx, h->fty);
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

// ---------------------------------------------------------------------------
// Shape bounds of the extended shape dynamics
// ---------------------------------------------------------------------------

// Squareness: at 0 the poles leave the axis (0^0 = 1) and below 0.1 the
// normal's powers 2/e - 1 pass 19, so that every mesh node sits on a flat
// face or a crease; above 2 the shape pinches in (concave), and the normal
// direction's powers 2 - e turn negative, singular at the poles, the equator
// and the meridians of the axes.
static const double EXPONENT_MIN = 0.1;
static const double EXPONENT_MAX = 2.0;

// Tapering about the top scales the bottom by 1 - 2 tap: above 0.5 the lower
// end turns inside out through the axis.  Below -1 the bottom is more than
// three times the top: such a shape is the model turned over, tapered the
// other way.
static const double TAPER_MIN = -1.0;
static const double TAPER_MAX = 0.5;

// The full height turns through bend1 * pi: at most a half turn.
static const double BEND1_MAX = 1.0;

// The bending radius 1/|k| must exceed the model's half width across the
// bending plane, or the inner side folds through the arc's centre (the
// crease where |k| times the half width is 1): |k| times the half width is
// held at or below this.
static const double BEND_FOLD_MARGIN = 0.9;

double squareness_within_bounds(double e) {
  return fmin(fmax(e, EXPONENT_MIN), EXPONENT_MAX);
}

// The parameters as they were before the step.
struct shape_values {
  double e1, e2, tapx, tapy, bend1, bend3;
};

static shape_values save_shape_values(const hybroid *h) {
  return {h->e1, h->e2, h->tapx, h->tapy, h->bend1, h->bend3};
}

// A step that gave no number keeps the value before it; the result is held
// within [lo, hi] (a value before the step that is no number gives lo).
static void hold_within(double *value, double before, double lo, double hi) {
  if (std::isnan(*value)) *value = before;
  *value = fmin(fmax(*value, lo), hi);
}

// Largest distance of the model's cross-sections from its axis along the
// bending direction: the support function of the superellipse of exponent
// e2 with the radii of the taper's widest end, (p^m + q^m)^(1/m) with
// m = 2 / (2 - e2) (max(p, q) from e2 = 2 on), scaled by the larger term so
// that no power overflows.
static double bending_half_width(const hybroid *h) {
  double wx = fmax(1.0, fabs(1.0 - 2.0 * h->tapx)), wy = fmax(1.0, fabs(1.0 - 2.0 * h->tapy));
  double p = h->sc * h->a1 * wx * fabs(cos(h->bend3));
  double q = h->sc * h->a2 * wy * fabs(sin(h->bend3));
  double big = fmax(p, q);
  if (h->e2 >= 2.0 || !(big > 0.0)) return big;
  double m = 2.0 / (2.0 - h->e2);
  return big * pow(pow(p / big, m) + pow(q / big, m), 1.0 / m);
}

// Holds every parameter the step freed within its bound (the sizes have
// their lower bound already).  Tapers and squareness first: the bending
// bound depends on them.
static void hold_within_shape_bounds(hybroid *h, const shape_values *before) {
  int mask = h->df_mask;
  bool taper_pair = h->txy_symmetric && (mask & (DF_TAPX | DF_TAPY));
  if (mask & DF_E1) hold_within(&h->e1, before->e1, EXPONENT_MIN, EXPONENT_MAX);
  if (mask & DF_E2) hold_within(&h->e2, before->e2, EXPONENT_MIN, EXPONENT_MAX);
  if (taper_pair || (mask & DF_TAPX)) hold_within(&h->tapx, before->tapx, TAPER_MIN, TAPER_MAX);
  if (taper_pair || (mask & DF_TAPY)) hold_within(&h->tapy, before->tapy, TAPER_MIN, TAPER_MAX);
  if ((mask & DF_BEND3) && !std::isfinite(h->bend3)) h->bend3 = before->bend3;
  if (mask & DF_BEND1) {
    // |k| = |bend1| (pi/2) / (sc a3)
    double fold = BEND_FOLD_MARGIN * (h->sc * h->a3) / (HALF_PI * bending_half_width(h));
    double limit = fold < BEND1_MAX ? fold : BEND1_MAX;  // a NaN fold gives BEND1_MAX
    hold_within(&h->bend1, before->bend1, -limit, limit);
  }
}

void compute_superquadric_deformation(hybroid *h) {
  shape_values before = save_shape_values(h);
  step_shape_parameters(h, h->dt * SHAPE_STEP_FACTOR);
  hold_above_lower_bound(&h->a1);
  hold_above_lower_bound(&h->a2);
  hold_above_lower_bound(&h->a3);
  hold_above_lower_bound(&h->sc);
  if (h->extended_shape) hold_within_shape_bounds(h, &before);
  compute_superquadric_taper_bend_normal(h);
  compute_superquadric_taper_bend_new_center(h);
}
