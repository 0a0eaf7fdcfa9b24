// damping.cpp -- per-step rescaling of the inverse damping coefficients and
// the model's average linear dimension.
//
// The dynamics are first order: each degree of freedom moves by its force
// times an inverse damping coefficient.  Every step the coefficients are
// reset to the primitive's values (surfmap.cpp) and then divided by the
// number of data forces that acted on each degree of freedom (force_cnt,
// counted by the data-force pass), scaled by a factor that depends on which
// degrees of freedom are being fitted, and, for the rotations and the
// scale, divided by the average linear dimension avg_dim fixed at
// initialisation.  Start with compute_damping_factor.
#include <cmath>
#include <cstdio>

#include "hybroid.h"

// Factors of the rescaling, chosen from df_mask.
//                                 when
static const double FAC_ALL_RIGID_AND_AXES = 0.3;   // translation, rotations, a1..a3 together
static const double FAC_NORMAL_FORCE_OFF   = 1.0;   // option bit DF_NO_NORMAL
static const double FAC_WHOLE_FORCE        = 0.15;  // option bit DF_WHOLE_FORCE
static const double FAC_DEFAULT            = 1.0;
static const int ALL_RIGID_AND_AXES = DF_TRANS | DF_ROT | DF_ROTZ | DF_A1 | DF_A2 | DF_A3;

void zeroize_damping_factor(hybroid *h) {
  for (int k = 0; k < NUM_SLOTS; k++) h->force_cnt[k] = 0;
}

static double choose_factor(int df_mask) {
  if ((df_mask & ALL_RIGID_AND_AXES) == ALL_RIGID_AND_AXES) return FAC_ALL_RIGID_AND_AXES;
  if (df_mask & DF_NO_NORMAL) return FAC_NORMAL_FORCE_OFF;
  if (df_mask & DF_WHOLE_FORCE) return FAC_WHOLE_FORCE;
  return FAC_DEFAULT;
}

// c = (fac / n) * c when n forces acted on it; unchanged otherwise.
static void scale_by_count(double *c, double fac, int n) {
  if (n != 0) *c = (fac / n) * *c;
}

// Curve 2 of face 1 is the side's upper rim, curve 0 its lower rim.
static int top_or_bottom_missing(const hybroid *h) {
  if (h->n_face != 3) return 0;
  const Face *top = &h->face[0], *side = &h->face[1], *bottom = &h->face[2];
  return (top->n_points == -1 && side->begin[2] == -1) ||
         (bottom->n_points == -1 && side->begin[0] == -1);
}

void compute_damping_factor(hybroid *h) {
  init_primitive_damping_parameter(h);  // rescale from the primitive's values
  double fac = choose_factor(h->df_mask);
  const int *n = h->force_cnt;
  double A = h->avg_dim;
  scale_by_count(&h->c_inv_trans, fac, n[SLOT_TRANS]);
  scale_by_count(&h->c_inv_transz, fac, n[SLOT_TRANSZ]);
  if (n[SLOT_ROT] != 0) h->c_inv_rot = (fac / n[SLOT_ROT] / A) * h->c_inv_rot;
  // Without a force on it, the rotation about z does not move at all.
  h->c_inv_rotz = n[SLOT_ROTZ] != 0 ? (fac / n[SLOT_ROTZ] / A) * h->c_inv_rotz : 0.0;
  if (n[SLOT_SC] != 0) h->c_inv_sc = (fac / n[SLOT_SC] * h->sc / A) * h->c_inv_sc;
  scale_by_count(&h->c_inv_a1, fac, n[SLOT_A1]);
  scale_by_count(&h->c_inv_a2, fac, n[SLOT_A2]);
  scale_by_count(&h->c_inv_a3, fac, n[SLOT_A3]);
  scale_by_count(&h->c_inv_tx, fac, n[SLOT_TAPX]);
  scale_by_count(&h->c_inv_ty, fac, n[SLOT_TAPY]);
  scale_by_count(&h->c_inv_b1, fac, n[SLOT_BEND1]);
  scale_by_count(&h->c_inv_b3, fac, n[SLOT_BEND3]);
  h->c_inv_roty = h->c_inv_rot;
  // Without the top or the bottom the height has one rim to go by.
  if (top_or_bottom_missing(h)) h->c_inv_a3 *= 2;
}

// Image-plane (x, y) distance from point b of a face to its far point: the
// middle of the curve when the face has one curve, else its last point.
// Returns -1 when the indices do not lie in the face.
static double curve_extent(const Face *f, int c) {
  int b = f->begin[c], e = f->end[c];
  int far = f->n_curve == 1 ? (b + e) / 2 : e;
  if (b < 0 || b >= f->n_points || far < 0 || far >= f->n_points || !f->points) return -1.0;
  double dx = f->points[far].position.x - f->points[b].position.x;
  double dy = f->points[far].position.y - f->points[b].position.y;
  return sqrt(dx * dx + dy * dy);
}

int compute_average_linear_dimension(hybroid *h) {
  double length = 0.0;
  int num = 0;
  int n_face = h->n_face < MAX_FACES ? h->n_face : MAX_FACES;
  for (int i = 0; i < n_face; i++) {
    const Face *f = &h->face[i];
    if (f->n_points == -1) continue;
    int n_curve = f->n_curve < MAX_CURVES ? f->n_curve : MAX_CURVES;
    for (int c = 0; c < n_curve; c++) {
      if (f->begin[c] == -1) continue;
      double d = curve_extent(f, c);
      if (d < 0) continue;
      length += d;
      num += 1;
    }
  }
  // A model without curves, or whose curves have no extent (single points,
  // or points that coincide), has no dimension to go by: a neutral 1 keeps
  // the rotational and scale damping finite (they are divided by it).
  h->avg_dim = num > 0 && length > 0.0 ? length / num : 1.0;
  fprintf(stderr, "Average dimension = %lf\n", h->avg_dim);
  return num > 0 ? (int)h->avg_dim : 1;
}
