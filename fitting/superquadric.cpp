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
// Start with compute_superquadric_node_taper_bend_normal; the others are short
// loops over the node array.
#include <cmath>

#include "hybroid.h"

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

void compute_superquadric_node_taper_bend_normal(hybroid *h, node *nde, double r1, double r2,
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

void compute_superquadric_taper_bend_normal(hybroid *h) {
  double r1 = h->sc * h->a1, r2 = h->sc * h->a2, r3 = h->sc * h->a3;
  for (int i = 0; i < h->numnodes; i++)
    compute_superquadric_node_taper_bend_normal(h, &h->nodes[i], r1, r2, r3, h->e1, h->e2, 0);
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
