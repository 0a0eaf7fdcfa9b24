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
// out once per pass); the others are short loops over the node array.  With
// the model's exact_geometry set, the node normal is the true normal of the
// deformed surface instead of the taper-corrected gradient; the derivatives
// of the deformed surface (compute_shape_derivatives) also serve the
// generalized forces.
#include <cmath>
#include <cstdint>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "hybroid.h"
#include "vector_ops.h"

static const double HALF_PI = 1.5707963267948966;
static const double BEND_THRESHOLD = 0.00001;  // |bend1| at or below: not bent

// ---------------------------------------------------------------------------
// Small vector helpers
// ---------------------------------------------------------------------------

static double sign_of(double w) { return w < 0.0 ? -1.0 : 1.0; }

static double length_of(vector w) { return sqrt(w.x * w.x + w.y * w.y + w.z * w.z); }

// Two doubles taken through an operation lane by lane, in one instruction
// where the machine has one (SSE2 on x86-64).  Each lane is the IEEE
// operation on its own operands, so the bits are those of two separate
// operations; the node loops pair their divisions, which dominate them.
typedef double double_pair __attribute__((vector_size(16)));

// (a / c, b / d)
static inline double_pair divide_pair(double a, double b, double c, double d) {
  return double_pair{a, b} / double_pair{c, d};
}

// (sqrt a, sqrt b), correctly rounded in each lane as sqrt is.
static inline double_pair sqrt_pair(double a, double b) {
#ifdef __SSE2__
  return (double_pair)_mm_sqrt_pd(_mm_set_pd(b, a));
#else
  return double_pair{sqrt(a), sqrt(b)};
#endif
}



// unit() of a vector whose length is 0, not finite or not a number.
__attribute__((noinline)) static vector unit_of_odd_length(vector w) {
  double len;
  double big = fmax(fabs(w.x), fmax(fabs(w.y), fabs(w.z)));
  if (!(big > 0.0) || !std::isfinite(big)) return {0.0, 0.0, 0.0};
  vector s = {w.x / big, w.y / big, w.z / big};
  len = length_of(s);
  return {s.x / len, s.y / len, s.z / len};
}

// w divided by its length; a zero vector stays zero.  Components so large or
// so small that their squares overflow or vanish are first scaled by the
// largest magnitude, so a finite non-zero vector always gives a unit one.
// The common case is inline; the rare ones are out of line.
static inline vector unit(vector w) {
  double len = length_of(w);
  if (!(len > 0.0 && std::isfinite(len))) return unit_of_odd_length(w);
  double_pair xy = divide_pair(w.x, w.y, len, len);
  return {xy[0], xy[1], w.z / len};
}

// unit(a) and unit(b), their divisions paired.
static inline void unit_both(vector a, vector b, vector *ua, vector *ub) {
  double_pair l = sqrt_pair(a.x * a.x + a.y * a.y + a.z * a.z, b.x * b.x + b.y * b.y + b.z * b.z);
  double la = l[0], lb = l[1];
  if (!(la > 0.0 && std::isfinite(la) && lb > 0.0 && std::isfinite(lb))) {
    *ua = unit(a);
    *ub = unit(b);
    return;
  }
  double_pair a_xy = divide_pair(a.x, a.y, la, la), b_xy = divide_pair(b.x, b.y, lb, lb);
  double_pair z = divide_pair(a.z, b.z, la, lb);
  *ua = {a_xy[0], a_xy[1], z[0]};
  *ub = {b_xy[0], b_xy[1], z[1]};
}

// finite_direction() of a vector with an infinite or NaN component.
__attribute__((noinline)) static vector finite_direction_of_odd(vector n) {
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

// Where the gradient is singular (zero to a negative power, zero taper
// factor) the raw normal holds infinities or NaNs.  The dominant direction is
// kept: infinite components become +-1 and finite ones 0 when any component
// is infinite; a NaN component becomes 0.  The common case is inline.
static inline vector finite_direction(vector n) {
  if (std::isfinite(n.x) && std::isfinite(n.y) && std::isfinite(n.z)) return n;
  return finite_direction_of_odd(n);
}

// 1 + a / b.  A zero a over a b that is neither zero nor NaN is a zero, and 1
// plus a zero of either sign is 1: the division is passed by then (an
// untapered model's taper factors).
static inline double one_plus_ratio(double a, double b) {
  if (a == 0.0 && b != 0.0 && !std::isnan(b)) return 1.0;
  return 1.0 + a / b;
}

// a / b, passed by for b = 1, which leaves every a as it is (a quiet NaN
// keeps its bits).
static inline double over(double a, double b) { return b == 1.0 ? a : a / b; }

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
// hash to it.  Finds the slot of the argument bits (wb, eb); false when it
// held other arguments, in which case it now belongs to these and the caller
// stores the value.
static inline bool table_slot(power_table *t, uint64_t wb, uint64_t eb, int *slot) {
  uint64_t mix = (wb ^ (eb * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
  *slot = (int)(mix >> (64 - POWER_TABLE_BITS));
  if (t->known[*slot] && t->w[*slot] == wb && t->e[*slot] == eb) return true;
  t->known[*slot] = true;
  t->w[*slot] = wb;
  t->e[*slot] = eb;
  return false;
}

static double remembered_pow(power_table *t, double w, double e) {
  int slot;
  if (!table_slot(t, bits_of(w), bits_of(e), &slot)) t->value[slot] = pow(w, e);
  return t->value[slot];
}

// A first power is w itself: pow errs by less than an ulp and w is exactly
// representable, so pow(w, 1) is w to the last bit (also for zeros of either
// sign, infinities and NaN).  The common exponents of a round or box-like
// model (e1 = e2 = 1) make every power of a pass a first power, taken here
// without a call.
static inline double power_of(power_table *t, double w, double e) {
  if (e == 1.0) return w;
  return remembered_pow(t, w, e);
}

double tabled_pow(power_table *t, double w, double e) { return power_of(t, w, e); }

// The node's cached products of S(w, e) = sign(w) * |w|^e:
// S(cos u, e1) S(cos v, e2), S(cos u, e1) S(sin v, e2) and S(sin u, e1).
static void store_signed_powers(node *nde, double e1, double e2, power_table *t) {
  double scu = sign_of(nde->cosu) * power_of(t, fabs(nde->cosu), e1);
  nde->spcue1cve2 = scu * (sign_of(nde->cosv) * power_of(t, fabs(nde->cosv), e2));
  nde->spcue1sve2 = scu * (sign_of(nde->sinv) * power_of(t, fabs(nde->sinv), e2));
  nde->spsue1 = sign_of(nde->sinu) * power_of(t, fabs(nde->sinu), e1);
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

// The parts of the two-node geometry are inlined into it, so that the two
// nodes' chains interleave (as separate calls they run one after the other).
#define ALWAYS_INLINE __attribute__((always_inline)) inline

// A node's deformed point p and its untapered coordinates x0, y0: what its
// normal is computed from.
struct taper_point {
  vector p;
  double x0, y0;
};

// The gradient of the inside-outside function at a node's point before its
// divisions by r1, r2 and r3: the x and y numerators in *num_xy, the z one
// returned; q = (p.x / r1, p.y / r2) and qz = p.z / r3.
ALWAYS_INLINE static double gradient_numerators(const shape_constants *c, const node *nde, double_pair q,
                                                double qz, power_table *t,
                                                double_pair *num_xy) {
  double qx = fabs(q[0]), qy = fabs(q[1]);
  double g;
  if (c->e1 != c->e2)
    g = c->two_e1 *
        power_of(t, power_of(t, qx, c->two_e2) + power_of(t, qy, c->two_e2), c->g_power);
  else
    g = c->two_e2;
  *num_xy = double_pair{sign_of(nde->cosv) * g * power_of(t, qx, c->xy_power),
                        sign_of(nde->sinv) * g * power_of(t, qy, c->xy_power)};
  return sign_of(nde->sinu) * c->two_e1 * power_of(t, fabs(qz), c->z_power);
}

// The gradient corrected for tapering, finite, not yet of unit length.
ALWAYS_INLINE static vector taper_corrected(const hybroid *h, const shape_constants *c,
                                            const taper_point &tp, vector grad, double qz) {
  // A singular gradient is reduced to its direction before the taper
  // correction, so that 0 * inf cannot spoil the correction terms.
  grad = finite_direction(grad);
  double nx = grad.x, ny = grad.y, nz = grad.z;
  double fx = 1.0 + h->tapx * (qz - 1.0);
  double fy = 1.0 + h->tapy * (qz - 1.0);
  vector n;
  n.x = over(nx, fx);
  n.y = over(ny, fy);
  n.z = nz - over(c->tapx_r3 * tp.x0 * nx, fx * fx) - over(c->tapy_r3 * tp.y0 * ny, fy * fy);
  return finite_direction(n);  // a zero taper factor divides by 0
}

// Unit outward normals at the deformed points of two nodes a and b (a may
// be b): the gradient of the inside-outside function at the point with the
// signs of the node's angles, corrected for tapering.  The two nodes'
// divisions and square roots are paired, each with the bits of its own.
static void taper_normals(const hybroid *h, const shape_constants *c, const node *a,
                          const node *b, const taper_point &ta, const taper_point &tb,
                          power_table *t, vector *na, vector *nb) {
  double r1 = c->r1, r2 = c->r2, r3 = c->r3;
  double_pair qa = divide_pair(ta.p.x, ta.p.y, r1, r2), qb = divide_pair(tb.p.x, tb.p.y, r1, r2);
  double_pair qz = divide_pair(ta.p.z, tb.p.z, r3, r3);
  double_pair num_a, num_b;
  double za = gradient_numerators(c, a, qa, qz[0], t, &num_a);
  double zb = gradient_numerators(c, b, qb, qz[1], t, &num_b);
  double_pair ga = num_a / double_pair{r1, r2}, gb = num_b / double_pair{r1, r2};
  double_pair gz = divide_pair(za, zb, r3, r3);
  unit_both(taper_corrected(h, c, ta, {ga[0], ga[1], gz[0]}, qz[0]),
            taper_corrected(h, c, tb, {gb[0], gb[1], gz[1]}, qz[1]), na, nb);
}

// ---------------------------------------------------------------------------
// Derivatives of the deformed surface
// ---------------------------------------------------------------------------

// Keys of other functions remembered in a power table: NaN patterns that no
// exponent of a remembered power carries.
static const uint64_t LOG_KEY = 0x7ff4c0ffee10ab1eull;
static const uint64_t COS_KEY = 0x7ff4c0ffee10ab2eull;
static const uint64_t SIN_KEY = 0x7ff4c0ffee10ab3eull;

// log w for w > 0, remembered in the power table like the powers.
static double tabled_log(power_table *t, double w) {
  int slot;
  if (!table_slot(t, bits_of(w), LOG_KEY, &slot)) t->value[slot] = log(w);
  return t->value[slot];
}

// cos x and sin x, remembered: the bending angle repeats along a grid row.
static double tabled_cos(power_table *t, double x) {
  int slot;
  if (!table_slot(t, bits_of(x), COS_KEY, &slot)) t->value[slot] = cos(x);
  return t->value[slot];
}

static double tabled_sin(power_table *t, double x) {
  int slot;
  if (!table_slot(t, bits_of(x), SIN_KEY, &slot)) t->value[slot] = sin(x);
  return t->value[slot];
}

// log |w|, the derivative of |w|^e with respect to e over |w|^e; 0 at w = 0,
// where |w|^e stays 0 for every positive e.
static double log_abs(power_table *t, double w) {
  return w == 0.0 ? 0.0 : tabled_log(t, fabs(w));
}

void begin_shape_pass(const hybroid *h, shape_pass *p) {
  clear_power_table(&p->powers);
  p->bent = fabs(h->bend1) > BEND_THRESHOLD;
  p->cb = cos(h->bend3);
  p->sb = sin(h->bend3);
  p->z_top = h->sc * h->a3;
  p->k = h->bend1 * HALF_PI / p->z_top;
  p->R = 1.0 / p->k;
}

// The bending at one tapered point p1 = (x1, y1, z1), with what its
// derivatives need.  An unbent model leaves every point where it is: its
// Jacobian is the identity.
struct bend_frame {
  const shape_pass *m;  // the model's bending
  double rx, ry;        // p1 turned into the bending plane
  double ct, st;        // cos and sin of theta = k (z1 - z_top)
  double k_offset;      // k (rx - R) = k rx - 1: minus the stretch across the arc
};

static bend_frame compute_bend_frame(shape_pass *m, vector p1) {
  bend_frame b;
  b.m = m;
  b.rx = m->cb * p1.x - m->sb * p1.y;
  b.ry = m->sb * p1.x + m->cb * p1.y;
  double theta = m->k * (p1.z - m->z_top);
  b.ct = m->bent ? tabled_cos(&m->powers, theta) : 1.0;
  b.st = m->bent ? tabled_sin(&m->powers, theta) : 0.0;
  b.k_offset = m->k * (b.rx - m->R);
  return b;
}

// Turns a change (dx, dy) in the bending plane back into the model frame.
static inline vector turn_back(const bend_frame *b, double drx, double dry, double dz) {
  return {b->m->cb * drx + b->m->sb * dry, -b->m->sb * drx + b->m->cb * dry, dz};
}

// J d, J the Jacobian of the bending at the frame's point:
//   rx' = cos(theta) (rx - R) + R,  z2 = -sin(theta) (rx - R) + z_top,
// with d theta = k d z1.
static inline vector bend_change(const bend_frame *b, vector d) {
  if (!b->m->bent) return d;
  double cb = b->m->cb, sb = b->m->sb;
  double drx = cb * d.x - sb * d.y;
  double dry = sb * d.x + cb * d.y;
  double drx_bent = b->ct * drx - b->st * b->k_offset * d.z;
  double dz = -b->st * drx - b->ct * b->k_offset * d.z;
  return turn_back(b, drx_bent, dry, dz);
}

// Derivative of the bent point with respect to the curvature k (R = 1/k):
//   d rx' / dk = -rz sin(theta) (rx - R) - R^2 (1 - cos(theta))
//   d z2 / dk  = -rz cos(theta) (rx - R) - R^2 sin(theta),   rz = z1 - z_top;
// for an unbent model its limit k -> 0: (rz^2 / 2, -rx rz).
static vector bend_curvature_change(const bend_frame *b, double rz) {
  if (!b->m->bent) return turn_back(b, rz * rz / 2, 0.0, -b->rx * rz);
  double radius = b->rx - b->m->R;
  double R2 = b->m->R * b->m->R;
  return turn_back(b, -rz * b->st * radius - R2 * (1 - b->ct),
                   0.0, -rz * b->ct * radius - R2 * b->st);
}

// Derivative of the bent point with respect to the top z_top the arc is
// anchored at (d theta = -k d z_top); 0 when unbent.
static vector bend_top_change(const bend_frame *b) {
  if (!b->m->bent) return {0.0, 0.0, 0.0};
  return turn_back(b, b->st * b->k_offset, 0.0, b->ct * b->k_offset + 1.0);
}

// Derivative of the bent point with respect to bend3, the plane's angle
// (d rx = -ry, d ry = rx); 0 when unbent.
static vector bend_direction_change(const bend_frame *b) {
  if (!b->m->bent) return {0.0, 0.0, 0.0};
  double cb = b->m->cb, sb = b->m->sb;
  double rx_bent = b->ct * (b->rx - b->m->R) + b->m->R;
  double drx_bent = b->ct * -b->ry;
  return {-sb * rx_bent + cb * drx_bent + cb * b->ry + sb * b->rx,
          -cb * rx_bent - sb * drx_bent - sb * b->ry + cb * b->rx, -b->st * -b->ry};
}


static vector sum3(vector a, vector b, vector c) {
  return {a.x + b.x + c.x, a.y + b.y + c.y, a.z + b.z + c.z};
}

// One node's untapered point (x0, y0, z0) = (r1 Px, r2 Py, r3 Pz), its taper
// factors and its tapered point p1, as the geometry computes them.
struct node_shape {
  double Px, Py, Pz, x0, y0, z0, fx, fy;
  vector p1;
};

static node_shape compute_node_shape(const hybroid *h, double r1, double r2, double r3,
                                     double Px, double Py, double Pz) {
  node_shape s;
  s.Px = Px, s.Py = Py, s.Pz = Pz;
  s.x0 = r1 * Px;
  s.y0 = r2 * Py;
  s.z0 = r3 * Pz;
  s.fx = one_plus_ratio(h->tapx * (s.z0 - r3), r3);
  s.fy = one_plus_ratio(h->tapy * (s.z0 - r3), r3);
  s.p1 = {s.fx * s.x0, s.fy * s.y0, s.z0};
  return s;
}

// The parameters among the bits of mask that act on the tapered point only
// (sizes along x and y, squareness, tapering): their change of p1, carried
// through the bending.
static void add_point_derivatives(const hybroid *h, const node *nde, const node_shape *s,
                                  const bend_frame *b, power_table *t, int mask,
                                  shape_derivatives *d) {
  double r3 = h->sc * h->a3;
  if (mask & DF_E1) {
    // d x0 = x0 log|cos u|, d z0 = z0 log|sin u|, and the taper factors
    // follow z0: d fx = tapx d z0 / r3.
    double lcu = log_abs(t, nde->cosu), dz0 = s->z0 * log_abs(t, nde->sinu);
    d->e1 = bend_change(b, {s->fx * (s->x0 * lcu) + h->tapx * dz0 / r3 * s->x0,
                            s->fy * (s->y0 * lcu) + h->tapy * dz0 / r3 * s->y0, dz0});
  }
  if (mask & DF_E2)
    d->e2 = bend_change(b, {s->p1.x * log_abs(t, nde->cosv), s->p1.y * log_abs(t, nde->sinv), 0.0});
  if (mask & DF_A1) d->a1 = bend_change(b, {h->sc * s->fx * s->Px, 0.0, 0.0});
  if (mask & DF_A2) d->a2 = bend_change(b, {0.0, h->sc * s->fy * s->Py, 0.0});
  if (mask & DF_TAPX) d->tapx = bend_change(b, {(s->z0 - r3) / r3 * s->x0, 0.0, 0.0});
  if (mask & DF_TAPY) d->tapy = bend_change(b, {0.0, (s->z0 - r3) / r3 * s->y0, 0.0});
}

// The parameters among the bits of mask that also move the bending arc:
// k = bend1 (pi/2) / (sc a3) and z_top = sc a3, so dk/dsc = -k/sc,
// dk/da3 = -k/a3, dz_top/dsc = a3, dz_top/da3 = sc.  An unbent shape does not
// depend on k or z_top.
static void add_arc_derivatives(const hybroid *h, const node_shape *s, const bend_frame *b,
                                int mask, shape_derivatives *d) {
  const shape_pass *p = b->m;
  vector d_k = bend_curvature_change(b, s->z0 - p->z_top);
  vector d_top = bend_top_change(b);
  double kb = p->bent ? p->k : 0.0;
  if (mask & DF_SC)
    d->sc = sum3(bend_change(b, scaled_vector(s->p1, 1.0 / h->sc)), scaled_vector(d_k, -kb / h->sc),
                 scaled_vector(d_top, h->a3));
  if (mask & DF_A3)
    d->a3 = sum3(bend_change(b, {0.0, 0.0, h->sc * s->Pz}), scaled_vector(d_k, -kb / h->a3),
                 scaled_vector(d_top, h->sc));
  if (mask & DF_BEND1) d->bend1 = scaled_vector(d_k, HALF_PI / p->z_top);
  if (mask & DF_BEND3) d->bend3 = bend_direction_change(b);
}

void compute_shape_derivatives(const hybroid *h, const node *nde, shape_pass *p, int mask,
                               shape_derivatives *d) {
  power_table *t = &p->powers;
  double scu = sign_of(nde->cosu) * power_of(t, fabs(nde->cosu), h->e1);
  node_shape s = compute_node_shape(h, h->sc * h->a1, h->sc * h->a2, h->sc * h->a3,
                                    scu * (sign_of(nde->cosv) * power_of(t, fabs(nde->cosv), h->e2)),
                                    scu * (sign_of(nde->sinv) * power_of(t, fabs(nde->sinv), h->e2)),
                                    sign_of(nde->sinu) * power_of(t, fabs(nde->sinu), h->e1));
  bend_frame b = compute_bend_frame(p, s.p1);
  add_point_derivatives(h, nde, &s, &b, t, mask, d);
  if (mask & (DF_SC | DF_A3 | DF_BEND1 | DF_BEND3)) add_arc_derivatives(h, &s, &b, mask, d);
}

// S(w, e) for the normal direction, with S(0, 0) = 0: at e = 2 a zero
// coordinate (a pole, a corner of the cross-section) takes the limit from
// below, the direction of the axis or the corner's bisector.
static double normal_power(power_table *t, double w, double e) {
  if (w == 0.0 && e == 0.0) return 0.0;
  return sign_of(w) * power_of(t, fabs(w), e);
}

// Cofactor matrix of J (columns j1, j2, j3) times n: n.x (j2 x j3) +
// n.y (j3 x j1) + n.z (j1 x j2).  For the surface point X(u, v) = D(P(u, v))
// the cross product of the tangents is (J Pv) x (J Pu) = cof(J) (Pv x Pu).
static vector cofactor_times(vector j1, vector j2, vector j3, vector n) {
  return sum3(scaled_vector(cross_vector(j2, j3), n.x), scaled_vector(cross_vector(j3, j1), n.y), scaled_vector(cross_vector(j1, j2), n.z));
}

// True outward normal of the tapered and bent surface at the node: the
// superquadric's own normal direction
//   (S(cu, 2-e1) S(cv, 2-e2) / r1, S(cu, 2-e1) S(sv, 2-e2) / r2, S(su, 2-e1) / r3),
// a positive multiple of Pv x Pu that stays finite at the poles and edges
// for e1, e2 <= 2, carried through the Jacobian of tapering and bending.
static vector exact_normal(const shape_constants *c, const node *nde, const node_shape *s,
                           const bend_frame *b, power_table *t) {
  double pe1 = 2.0 - c->e1, pe2 = 2.0 - c->e2;
  double scu = normal_power(t, nde->cosu, pe1);
  vector n0 = {scu * normal_power(t, nde->cosv, pe2) / c->r1,
               scu * normal_power(t, nde->sinv, pe2) / c->r2, normal_power(t, nde->sinu, pe1) / c->r3};
  n0 = finite_direction(n0);  // above 2 the powers are negative
  // Columns of the tapering's Jacobian: x1 = fx x0, y1 = fy y0 with
  // fx = 1 + tapx (z0 - r3) / r3.
  vector j1 = bend_change(b, {s->fx, 0.0, 0.0});
  vector j2 = bend_change(b, {0.0, s->fy, 0.0});
  vector j3 = bend_change(b, {c->tapx_r3 * s->x0, c->tapy_r3 * s->y0, 1.0});
  return unit(finite_direction(cofactor_times(j1, j2, j3, n0)));
}

// Exact mode: the point and the true normal from one bending frame (the
// point by the very expressions of bend_point).
static void compute_exact_point_and_normal(hybroid *h, const shape_constants *c, node *nde,
                                           shape_pass *p) {
  node_shape s = compute_node_shape(h, c->r1, c->r2, c->r3, nde->spcue1cve2, nde->spcue1sve2,
                                    nde->spsue1);
  bend_frame b = compute_bend_frame(p, s.p1);
  nde->refer = s.p1;
  if (c->bent) {
    h->bend_curv = c->k;
    double rx_bent = b.ct * (b.rx - c->R) + c->R;
    double z2 = -b.st * (b.rx - c->R) + c->z_top;
    nde->refer = {c->cb * rx_bent + c->sb * b.ry, -c->sb * rx_bent + c->cb * b.ry, z2};
  }
  nde->normal = exact_normal(c, nde, &s, &b, &p->powers);
}

// The node's point (superquadric, tapered, bent), from the signed powers
// stored in it.
ALWAYS_INLINE static taper_point compute_taper_point(hybroid *h, const shape_constants *c,
                                                     node *nde) {
  double r1 = c->r1, r2 = c->r2, r3 = c->r3;
  // plain superquadric point
  double x0 = r1 * nde->spcue1cve2;
  double y0 = r2 * nde->spcue1sve2;
  double z0 = r3 * nde->spsue1;
  // tapering about the top: z = r3 keeps its cross-section
  double x1 = one_plus_ratio(h->tapx * (z0 - r3), r3) * x0;
  double y1 = one_plus_ratio(h->tapy * (z0 - r3), r3) * y0;
  double z1 = z0;

  vector p = {x1, y1, z1};
  if (c->bent) p = bend_point(h, c, x1, y1, z1);
  nde->refer = p;
  return {p, x0, y0};
}

// The points and unit normals of nodes a and b (a may be b).
static void compute_points_and_normals(hybroid *h, const shape_constants *c, node *a, node *b,
                                       shape_pass *pass) {
  if (h->exact_geometry) {
    compute_exact_point_and_normal(h, c, a, pass);
    if (b != a) compute_exact_point_and_normal(h, c, b, pass);
    return;
  }
  taper_point ta = compute_taper_point(h, c, a);
  taper_point tb = b != a ? compute_taper_point(h, c, b) : ta;
  vector na, nb;
  taper_normals(h, c, a, b, ta, tb, &pass->powers, &na, &nb);
  a->normal = na;
  b->normal = nb;
}

void compute_superquadric_node_taper_bend_normal(hybroid *h, node *nde, double r1, double r2,
                                                 double r3, double e1, double e2,
                                                 int same_e12) {
  shape_pass pass;
  begin_shape_pass(h, &pass);
  if (!same_e12) store_signed_powers(nde, e1, e2, &pass.powers);
  shape_constants c = compute_shape_constants(h, r1, r2, r3, e1, e2);
  compute_points_and_normals(h, &c, nde, nde, &pass);
}

// Every node in index order, as the node operation with same_e12 = 0 would
// do it, with the per-model terms worked out once and the repeated powers
// remembered; two nodes at a time, their divisions paired.
void compute_superquadric_taper_bend_normal(hybroid *h) {
  double r1 = h->sc * h->a1, r2 = h->sc * h->a2, r3 = h->sc * h->a3;
  shape_constants c = compute_shape_constants(h, r1, r2, r3, h->e1, h->e2);
  shape_pass pass;
  begin_shape_pass(h, &pass);
  for (int i = 0; i < h->numnodes; i += 2) {
    node *a = &h->nodes[i], *b = i + 1 < h->numnodes ? &h->nodes[i + 1] : a;
    store_signed_powers(a, c.e1, c.e2, &pass.powers);
    if (b != a) store_signed_powers(b, c.e1, c.e2, &pass.powers);
    compute_points_and_normals(h, &c, a, b, &pass);
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
    h->nodes[i].refer1 = sub_vector(h->nodes[i].refer, h->model_center);
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
    unit_both(sub_vector(n->neighbors[3]->posit, n->neighbors[0]->posit),
              sub_vector(n->neighbors[2]->posit, n->neighbors[1]->posit), &n->dXdu, &n->dXdv);
  }
}

// Normals from the tangents: dXdv x dXdu at the grid nodes (not normalised);
// each pole takes the unit sum of two opposite nodes of its adjacent row.
void compute_normal(hybroid *h) {
  for (int i = 0; i < h->numnodes - 2; i++)
    h->nodes[i].rnormal = cross_vector(h->nodes[i].dXdv, h->nodes[i].dXdu);
  for (int p = h->numnodes - 2; p >= 0 && p < h->numnodes; p++) {
    node *pole = &h->nodes[p];
    if (!pole->many_neighbors || h->vsize < 1) continue;
    if (!pole->many_neighbors[0] || !pole->many_neighbors[h->vsize / 2]) continue;
    vector a = pole->many_neighbors[0]->rnormal;
    vector b = pole->many_neighbors[h->vsize / 2]->rnormal;
    pole->rnormal = unit({a.x + b.x, a.y + b.y, a.z + b.z});
  }
}
