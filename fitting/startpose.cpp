// startpose.cpp -- a starting pose read from the model's own contour data.
//
// The model initialisation starts every round model looking along its axis
// and every box from one fixed corner view; the fit then has to turn the
// model the whole way to the true pose, and a model seen far off its axis
// stops short.  init_pose_from_data reads the pose from the data instead,
// once, before a fit begins:
//   Round models (labels 5, 6, 10): the rims are circles, so each seen rim
//   is an ellipse in the image whose minor axis lies along the image of the
//   model's axis and whose axis ratio is the cosine of the tilt.  Both rims
//   are fitted together (they are parallel circles: one shape, one
//   direction), the seen end (face 0 or face 2) tells whether the axis leans
//   towards or away from the camera, and the line from the lower to the upper
//   rim centre (or from the occluding contours to the rim) tells which way it
//   points in the image.  The rim radius and the distance between the rims
//   give a1, a2 and a3; the centre rim gives the translation.
//   Boxes (label 1): the edges of the seen sides run along the model's three
//   axes; their image directions, with signs from where the edges lie, give
//   the rotation of an orthographic view, and their lengths the sizes.
// Perspective views are read as orthographic ones seen along the line of
// sight through the model.  Writes orientation, rotation, translation (x, y)
// and a1, a2, a3; reads the force maps, the faces and the mesh.
//
// Start with init_pose_from_data.
#include <cmath>
#include <vector>

#include "hybroid.h"

namespace {
struct point2 {
  double x, y;  // image plane, camera units
};
typedef std::vector<point2> points2;

// One rim ellipse of a given shape (direction of the minor axis, ratio c).
struct rim_fit {
  bool used;
  point2 centre;   // image plane
  double radius;   // semi-major axis, image plane
};

struct rim_shape {
  double phi;      // image direction of the minor axis, radians, mod pi
  double ratio;    // minor / major axis = cosine of the tilt
  rim_fit rim[2];  // upper, lower
};
}  // namespace

static const double PI = 3.141592653589793;
static const double DEGREE = PI / 180.0;

enum { UPPER = 0, LOWER = 1 };
// Fewest points that can tell an ellipse's shape apart from its position.
static const int MIN_RIM_POINTS = 6;
// Search of the rim shape: a coarse grid, then two finer ones about the best.
static const double COARSE_STEP = 2.0 * DEGREE;
static const size_t COARSE_POINTS = 40;
static const double FINE_SPAN = 2.0 * DEGREE;
static const int FINE_STEPS = 20;
// Below this axis ratio the ellipse's extent along its major axis is read
// from the points rather than from the fitted conic (which loses it as the
// rim turns edge-on).
static const double EDGE_ON_RATIO = 0.3;
// Size factors outside these bounds are not believed.
static const double MIN_SIZE_FACTOR = 0.25;
static const double MAX_SIZE_FACTOR = 4.0;
// The height of a round model is read from its rims only when the axis is
// tilted by at least 30 degrees (sin 30 = 0.5).
static const double MIN_SIN_TILT_FOR_HEIGHT = 0.5;
// A box edge shorter than this fraction of its length in the image is too
// foreshortened to give a size.
static const double MIN_EDGE_FORESHORTENING = 0.4;

// ---------------------------------------------------------------------------
// Small geometry
// ---------------------------------------------------------------------------

static vector sub3(vector a, vector b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
static double dot3(vector a, vector b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
static double norm3(vector a) { return sqrt(dot3(a, a)); }
static vector cross3(vector a, vector b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
static vector scale3(vector a, double s) { return {a.x * s, a.y * s, a.z * s}; }
static vector mat_times(const double M[3][3], vector v) {
  return {M[0][0] * v.x + M[0][1] * v.y + M[0][2] * v.z,
          M[1][0] * v.x + M[1][1] * v.y + M[1][2] * v.z,
          M[2][0] * v.x + M[2][1] * v.y + M[2][2] * v.z};
}

static double clamp(double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; }

// Solves the 3 x 3 system A x = b by Gaussian elimination with partial
// pivoting; false when A is singular.
static bool solve3(double A[3][3], double b[3], double x[3]) {
  double M[3][4];
  for (int r = 0; r < 3; r++) {
    for (int c = 0; c < 3; c++) M[r][c] = A[r][c];
    M[r][3] = b[r];
  }
  for (int c = 0; c < 3; c++) {
    int p = c;
    for (int r = c + 1; r < 3; r++)
      if (fabs(M[r][c]) > fabs(M[p][c])) p = r;
    if (!(fabs(M[p][c]) > 0.0)) return false;
    for (int k = 0; k < 4; k++) std::swap(M[c][k], M[p][k]);
    for (int r = 0; r < 3; r++) {
      if (r == c) continue;
      double f = M[r][c] / M[c][c];
      for (int k = c; k < 4; k++) M[r][k] -= f * M[c][k];
    }
  }
  for (int r = 0; r < 3; r++) x[r] = M[r][3] / M[r][r];
  return std::isfinite(x[0]) && std::isfinite(x[1]) && std::isfinite(x[2]);
}

// Adds a small multiple of the mean diagonal to the diagonal, so that a
// direction the data do not constrain gets 0 instead of an arbitrary value.
static void add_ridge(double A[3][3]) {
  const double RIDGE = 1e-9;
  double d = RIDGE * (A[0][0] + A[1][1] + A[2][2]) / 3.0;
  if (!(d > 0.0)) d = RIDGE;
  for (int k = 0; k < 3; k++) A[k][k] += d;
}

// Unit quaternion of a rotation matrix (the largest of the four candidate
// divisors is used, so that none is close to zero).
static quaternion quaternion_from_rotation(const double R[3][3]) {
  double tr = R[0][0] + R[1][1] + R[2][2];
  quaternion q;
  if (tr >= R[0][0] && tr >= R[1][1] && tr >= R[2][2]) {
    double s = 2.0 * sqrt(1.0 + tr);
    q = {s / 4, {(R[2][1] - R[1][2]) / s, (R[0][2] - R[2][0]) / s, (R[1][0] - R[0][1]) / s}};
  } else if (R[0][0] >= R[1][1] && R[0][0] >= R[2][2]) {
    double s = 2.0 * sqrt(1.0 + R[0][0] - R[1][1] - R[2][2]);
    q = {(R[2][1] - R[1][2]) / s, {s / 4, (R[0][1] + R[1][0]) / s, (R[0][2] + R[2][0]) / s}};
  } else if (R[1][1] >= R[2][2]) {
    double s = 2.0 * sqrt(1.0 + R[1][1] - R[0][0] - R[2][2]);
    q = {(R[0][2] - R[2][0]) / s, {(R[0][1] + R[1][0]) / s, s / 4, (R[1][2] + R[2][1]) / s}};
  } else {
    double s = 2.0 * sqrt(1.0 + R[2][2] - R[0][0] - R[1][1]);
    q = {(R[1][0] - R[0][1]) / s, {(R[0][2] + R[2][0]) / s, (R[1][2] + R[2][1]) / s, s / 4}};
  }
  double n = sqrt(q.w * q.w + dot3(q.v, q.v));
  return {q.w / n, scale3(q.v, 1.0 / n)};
}

// Rotation about the unit axis k by the angle whose cosine and sine are c, s.
static void rotation_about(vector k, double c, double s, double R[3][3]) {
  quaternion q = {sqrt((1.0 + c) / 2.0), {0.0, 0.0, 0.0}};
  double half_sin = sqrt((1.0 - c) / 2.0);
  if (s < 0.0) half_sin = -half_sin;
  q.v = scale3(k, half_sin);
  rotation_from_quaternion(q, R);
}

// The smallest rotation that takes the unit vector a to the unit vector b.
static void rotation_between(vector a, vector b, double R[3][3]) {
  vector k = cross3(a, b);
  double s = norm3(k), c = dot3(a, b);
  if (s > 0.0) {
    rotation_about(scale3(k, 1.0 / s), c, s, R);
    return;
  }
  // Parallel: the identity; opposite: half a turn about any perpendicular.
  vector perp = fabs(a.x) < 0.9 ? vector{1.0, 0.0, 0.0} : vector{0.0, 1.0, 0.0};
  perp = cross3(a, perp);
  rotation_about(scale3(perp, 1.0 / norm3(perp)), c < 0.0 ? -1.0 : 1.0, 0.0, R);
}

static void multiply3(const double A[3][3], const double B[3][3], double C[3][3]) {
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) C[r][c] = A[r][0] * B[0][c] + A[r][1] * B[1][c] + A[r][2] * B[2][c];
}

// Sets orientation from a rotation matrix and rebuilds rotation from it, so
// that the two agree as the rigid motion keeps them.
static void set_pose_rotation(hybroid *h, const double R[3][3]) {
  h->orientation = quaternion_from_rotation(R);
  rotation_from_quaternion(h->orientation, h->rotation);
}

// ---------------------------------------------------------------------------
// The model's data and mesh
// ---------------------------------------------------------------------------

// Image points of the curve that force map m pulls on (its contour may wrap
// past the last point of its face).
static points2 map_points(const hybroid *h, const force_map *m) {
  points2 p;
  if (m->face < 0 || m->face >= MAX_FACES || m->face >= h->n_face) return p;
  if (m->curve < 0 || m->curve >= MAX_CURVES) return p;
  const Face *f = &h->face[m->face];
  if (f->n_points <= 0 || !f->points || m->curve >= f->n_curve) return p;
  long b = f->begin[m->curve], e = f->end[m->curve];
  if (b < 0 || b >= f->n_points || e < 0 || e >= f->n_points) return p;
  if (e < b) e += f->n_points;
  for (long j = b; j <= e; j++) {
    const vector &q = f->points[j % f->n_points].position;
    p.push_back({q.x, q.y});
  }
  return p;
}

static point2 centroid(const points2 &p) {
  point2 c = {0.0, 0.0};
  for (const point2 &q : p) {
    c.x += q.x;
    c.y += q.y;
  }
  if (!p.empty()) {
    c.x /= p.size();
    c.y /= p.size();
  }
  return c;
}

static bool face_seen(const hybroid *h, int f) {
  return f < h->n_face && h->face[f].n_points > 0;
}

// Model-frame position of grid node (row, column), or of the origin when
// the node lies outside the grid.
static vector node_refer(const hybroid *h, int row, int col) {
  if (!h->nodes || row < 0 || row >= h->usize || col < 0 || col >= h->vsize) return {0, 0, 0};
  return h->nodes[row * h->vsize + col].refer;
}

// Centre of a grid row (the mean of its columns 0 and vsize / 2, as the
// centre rules of the model take it).
static vector row_centre(const hybroid *h, int row) {
  vector a = node_refer(h, row, 0), b = node_refer(h, row, h->vsize / 2);
  return {(a.x + b.x) / 2.0, (a.y + b.y) / 2.0, (a.z + b.z) / 2.0};
}

static int upper_row(const hybroid *h) { return h->usize - h->u_offset - 1; }
static int lower_row(const hybroid *h) { return h->u_offset; }

// Camera units on the image plane to camera units at the model's depth.
static double depth_factor(const hybroid *h) {
  if (!h->perspective_flag || !(h->focal_length > 0.0) || !(h->translation.z < 0.0)) return 1.0;
  return -h->translation.z / h->focal_length;
}

// The rotation from the frame of an orthographic view along the line of
// sight through image point c to the camera frame (the identity without
// perspective).
static void line_of_sight_frame(const hybroid *h, point2 c, double Q[3][3]) {
  vector sight = {0.0, 0.0, -1.0};
  if (h->perspective_flag) {
    vector ray = {c.x, c.y, -h->focal_length};
    sight = scale3(ray, 1.0 / norm3(ray));
  }
  rotation_between({0.0, 0.0, -1.0}, sight, Q);
}

static void refresh_geometry(hybroid *h) {
  compute_superquadric_taper_bend_normal(h);
  compute_superquadric_taper_bend_new_center(h);
}

// ---------------------------------------------------------------------------
// Rim ellipses of a round model
// ---------------------------------------------------------------------------

// Points of one rim in the frame of a candidate ellipse: b across the image
// of the axis, a along it, both about the rim's centroid.
struct rim_points {
  points2 p;
  point2 mean;
};

// The conic c^2 b^2 + a^2 + E a + F = 0 of one rim in the frame turned by
// phi, about the rim's centroid: E, F by linear least squares, and the sum
// of the squared first-order (Sampson) distances of the points to it.  The
// centre is taken on the line along the axis through the centroid: a rim's
// seen arc is mirror-symmetric about the image of the axis.  (Left free,
// the term in b would let a flat parabola pass for an edge-on rim of any
// direction.)
static double fit_rim_conic(const rim_points &r, double phi, double c, double ef[2]) {
  double cp = cos(phi), sp = sin(phi), c2 = c * c;
  double saa = 0.0, sa = 0.0, n = 0.0, sat = 0.0, st = 0.0;
  for (const point2 &q : r.p) {
    double x = q.x - r.mean.x, y = q.y - r.mean.y;
    double a = cp * x + sp * y, b = -sp * x + cp * y;
    double t = -(c2 * b * b + a * a);
    saa += a * a;
    sa += a;
    n += 1.0;
    sat += a * t;
    st += t;
  }
  double det = saa * n - sa * sa;
  if (!(det > 0.0)) det = saa * n * 1e-12 + 1e-300;  // all points on one line across
  ef[0] = (sat * n - sa * st) / det;
  ef[1] = (saa * st - sa * sat) / det;
  double sum = 0.0;
  for (const point2 &q : r.p) {
    double x = q.x - r.mean.x, y = q.y - r.mean.y;
    double a = cp * x + sp * y, b = -sp * x + cp * y;
    double f = c2 * b * b + a * a + ef[0] * a + ef[1];
    double gb = 2.0 * c2 * b, ga = 2.0 * a + ef[0];
    sum += f * f / (gb * gb + ga * ga + 1e-30);
  }
  return sum;
}

static double rim_shape_cost(const rim_points rims[2], double phi, double tilt) {
  double ef[2], cost = 0.0;
  for (int k = 0; k < 2; k++)
    if (rims[k].p.size() >= (size_t)MIN_RIM_POINTS) cost += fit_rim_conic(rims[k], phi, cos(tilt), ef);
  return cost;
}

// Best (phi, tilt) on a grid of the given steps about a centre.
static void search_rim_shape(const rim_points rims[2], double phi0, double tilt0, double span,
                             int steps, double *phi, double *tilt) {
  double best = HUGE_VAL;
  double bp = phi0, bt = tilt0;
  for (int i = -steps; i <= steps; i++)
    for (int j = -steps; j <= steps; j++) {
      double p = phi0 + span * i / steps;
      double t = clamp(tilt0 + span * j / steps, 0.0, PI / 2);
      double cost = rim_shape_cost(rims, p, t);
      if (cost < best) {
        best = cost;
        bp = p;
        bt = t;
      }
    }
  *phi = bp;
  *tilt = bt;
}

// Centre and semi-major axis of one rim for the found shape.
static rim_fit finish_rim(const rim_points &r, double phi, double c) {
  rim_fit out = {false, {0.0, 0.0}, 0.0};
  double ef[2];
  if (r.p.size() < (size_t)MIN_RIM_POINTS) return out;
  fit_rim_conic(r, phi, c, ef);
  double cp = cos(phi), sp = sin(phi);
  double bmin = HUGE_VAL, bmax = -HUGE_VAL;
  for (const point2 &q : r.p) {
    double b = -sp * (q.x - r.mean.x) + cp * (q.y - r.mean.y);
    bmin = b < bmin ? b : bmin;
    bmax = b > bmax ? b : bmax;
  }
  // c^2 b^2 + (a - a0)^2 = g: semi-axes sqrt(g) / c across and sqrt(g) along.
  double a0 = -ef[0] / 2.0, g = a0 * a0 - ef[1];
  double radius = (bmax - bmin) / 2.0;
  if (c >= EDGE_ON_RATIO && g > 0.0) radius = sqrt(g) / c;
  out.used = radius > 0.0;
  out.centre = {r.mean.x + cp * a0, r.mean.y + sp * a0};
  out.radius = radius;
  return out;
}

// Every k-th point of a rim, at most COARSE_POINTS of them, about the same
// centroid: enough to find the basin of the best shape on the coarse grid.
static rim_points thinned(const rim_points &r) {
  rim_points t;
  size_t k = (r.p.size() + COARSE_POINTS - 1) / COARSE_POINTS;
  if (k < 1) k = 1;
  for (size_t j = 0; j < r.p.size(); j += k) t.p.push_back(r.p[j]);
  t.mean = r.mean;
  if (t.p.size() < (size_t)MIN_RIM_POINTS) t.p = r.p;
  return t;
}

static void fit_rim_shape(const rim_points rims[2], rim_shape *s) {
  double phi = 0.0, tilt = 0.0;
  double best = HUGE_VAL;
  rim_points coarse[2] = {thinned(rims[0]), thinned(rims[1])};
  for (int i = 0; i * COARSE_STEP < PI; i++)
    for (int j = 0; j * COARSE_STEP <= PI / 2 + 1e-9; j++) {
      double p = i * COARSE_STEP, t = j * COARSE_STEP;
      double cost = rim_shape_cost(coarse, p, t);
      if (cost < best) {
        best = cost;
        phi = p;
        tilt = t;
      }
    }
  search_rim_shape(rims, phi, tilt, FINE_SPAN, FINE_STEPS, &phi, &tilt);
  search_rim_shape(rims, phi, tilt, FINE_SPAN / FINE_STEPS, FINE_STEPS, &phi, &tilt);
  s->phi = phi;
  s->ratio = cos(tilt);
  for (int k = 0; k < 2; k++) s->rim[k] = finish_rim(rims[k], phi, s->ratio);
}

// ---------------------------------------------------------------------------
// Round models
// ---------------------------------------------------------------------------

struct round_data {
  rim_points rim[2];  // upper, lower
  points2 contour;    // occluding contours
};

static void collect_round_data(const hybroid *h, round_data *d) {
  int up = upper_row(h), low = lower_row(h);
  for (int i = 0; i < h->n_force && i < MAX_FORCE_MAPS; i++) {
    const force_map *m = &h->force_map[i];
    points2 p = map_points(h, m);
    points2 *into = nullptr;
    if (m->u1 == up && m->u2 == up) into = &d->rim[UPPER].p;
    else if (m->u1 == low && m->u2 == low) into = &d->rim[LOWER].p;
    else if (m->u1 == low && m->u2 == up) into = &d->contour;
    if (into) into->insert(into->end(), p.begin(), p.end());
  }
  for (rim_points &r : d->rim) r.mean = centroid(r.p);
}

// Which way the image of the axis points (from the lower towards the upper
// rim): +1 along (cos phi, sin phi), -1 against it.
static double axis_image_sign(const round_data &d, const rim_shape &s) {
  point2 a = {cos(s.phi), sin(s.phi)};
  double along = 0.0;
  const rim_fit &up = s.rim[UPPER], &low = s.rim[LOWER];
  if (up.used && low.used) {
    along = (up.centre.x - low.centre.x) * a.x + (up.centre.y - low.centre.y) * a.y;
  } else if (!d.contour.empty() && (up.used || low.used)) {
    point2 m = centroid(d.contour);
    const rim_fit &r = up.used ? up : low;
    along = ((r.centre.x - m.x) * a.x + (r.centre.y - m.y) * a.y) * (up.used ? 1.0 : -1.0);
  }
  return along < 0.0 ? -1.0 : 1.0;
}

// Axis direction in the frame of the view along the line of sight: tilt from
// the axis ratio, image direction from phi and its sign, and towards the
// camera when the top (face 0) is seen, away from it when only the bottom
// (face 2) is.
static vector local_axis(const hybroid *h, const round_data &d, const rim_shape &s) {
  double sin_tilt = sqrt(1.0 - s.ratio * s.ratio);
  double sign = axis_image_sign(d, s);
  double toward = !face_seen(h, 0) && face_seen(h, 2) ? -1.0 : 1.0;
  return {sign * sin_tilt * cos(s.phi), sign * sin_tilt * sin(s.phi), toward * s.ratio};
}

// a1, a2 from the rim radius; a3 from the distance between the rims when the
// axis is tilted enough for it to show.
static void size_round_model(hybroid *h, const rim_shape &s, vector axis) {
  double k = depth_factor(h);
  int which = s.rim[UPPER].used ? UPPER : LOWER;
  int row = which == UPPER ? upper_row(h) : lower_row(h);
  vector centre = row_centre(h, row);
  double model_radius = norm3(sub3(node_refer(h, row, 0), centre));
  if (model_radius > 0.0) {
    double f = clamp(k * s.rim[which].radius / model_radius, MIN_SIZE_FACTOR, MAX_SIZE_FACTOR);
    h->a1 *= f;
    h->a2 *= f;
  }
  double sin_tilt = sqrt(axis.x * axis.x + axis.y * axis.y);
  if (!s.rim[UPPER].used || !s.rim[LOWER].used || sin_tilt < MIN_SIN_TILT_FOR_HEIGHT) return;
  refresh_geometry(h);
  double model_height = norm3(sub3(row_centre(h, upper_row(h)), row_centre(h, lower_row(h))));
  double seen = hypot(s.rim[UPPER].centre.x - s.rim[LOWER].centre.x,
                      s.rim[UPPER].centre.y - s.rim[LOWER].centre.y);
  if (model_height > 0.0)
    h->a3 *= clamp(k * seen / sin_tilt / model_height, MIN_SIZE_FACTOR, MAX_SIZE_FACTOR);
}

// Places the model so that the centre of a fitted rim lies on its ellipse's
// centre (at the model's depth in perspective).
static void place_round_model(hybroid *h, const rim_shape &s) {
  int which = s.rim[UPPER].used ? UPPER : LOWER;
  if (h->center == 2 && s.rim[LOWER].used) which = LOWER;
  int row = which == UPPER ? upper_row(h) : lower_row(h);
  vector offset = mat_times(h->rotation, sub3(row_centre(h, row), h->model_center));
  double k = depth_factor(h);
  h->translation.x = k * s.rim[which].centre.x - offset.x;
  h->translation.y = k * s.rim[which].centre.y - offset.y;
}

static void start_round_model(hybroid *h) {
  round_data d;
  collect_round_data(h, &d);
  if (d.rim[UPPER].p.size() < (size_t)MIN_RIM_POINTS &&
      d.rim[LOWER].p.size() < (size_t)MIN_RIM_POINTS)
    return;  // no rim to read the tilt from
  rim_shape s;
  fit_rim_shape(d.rim, &s);
  if (!s.rim[UPPER].used && !s.rim[LOWER].used) return;
  vector axis = local_axis(h, d, s);
  size_round_model(h, s, axis);
  double Q[3][3], turn[3][3], R[3][3];
  line_of_sight_frame(h, s.rim[s.rim[UPPER].used ? UPPER : LOWER].centre, Q);
  rotation_between({0.0, 0.0, 1.0}, axis, turn);
  multiply3(Q, turn, R);
  set_pose_rotation(h, R);
  refresh_geometry(h);
  place_round_model(h, s);
}

// ---------------------------------------------------------------------------
// Boxes
// ---------------------------------------------------------------------------

// The model axis a box edge runs along: meridian strips along z, arcs of a
// ring along x (centred at +-pi/2) or y (centred at 0 or pi); -1 for others.
static int edge_axis(const hybroid *h, const force_map *m) {
  if (m->u1 < 0 || m->v1 < 0) return -1;
  if (m->u1 != m->u2 && m->v1 == m->v2) return 2;
  if (m->u1 != m->u2 || m->v1 == m->v2 || h->vsize <= 0) return -1;
  int span = (m->v2 - m->v1 + h->vsize) % h->vsize;
  double mid = m->v1 + span / 2.0;
  double longitude = -PI + mid * 2.0 * PI / h->vsize;
  return fabs(sin(longitude)) > fabs(cos(longitude)) ? 0 : 1;
}

// Model-frame mean of the nodes of a map's patch (a meridian strip or an
// arc of one ring).
static vector patch_anchor(const hybroid *h, const force_map *m) {
  vector sum = {0.0, 0.0, 0.0};
  int n = 0;
  int span = (m->v2 - m->v1 + h->vsize) % h->vsize;
  for (int u = m->u1; u <= m->u2; u++)
    for (int k = 0; k <= span; k++) {
      vector r = node_refer(h, u, (m->v1 + k) % h->vsize);
      sum = {sum.x + r.x, sum.y + r.y, sum.z + r.z};
      n++;
    }
  return n > 0 ? scale3(sum, 1.0 / n) : sum;
}

namespace {
struct box_edges {
  point2 dir[3];        // image direction of each model axis (unit, or zero)
  double length[3];     // mean image length of the edges along it
  double model_len[3];  // the model's own length of the same edges
  int count[3];
  std::vector<int> axis;         // per edge: the model axis
  std::vector<point2> middle;    // per edge: image centroid
  std::vector<vector> anchor;    // per edge: model-frame anchor
};
}  // namespace

// Image chords of the edges, summed per axis with their signs made to agree.
static void collect_box_edges(const hybroid *h, box_edges *e) {
  *e = box_edges();
  for (int i = 0; i < h->n_force && i < MAX_FORCE_MAPS; i++) {
    const force_map *m = &h->force_map[i];
    int ax = edge_axis(h, m);
    points2 p = map_points(h, m);
    if (ax < 0 || p.size() < 2) continue;
    point2 chord = {p.back().x - p.front().x, p.back().y - p.front().y};
    if (chord.x * e->dir[ax].x + chord.y * e->dir[ax].y < 0.0) chord = {-chord.x, -chord.y};
    e->dir[ax] = {e->dir[ax].x + chord.x, e->dir[ax].y + chord.y};
    e->length[ax] += hypot(chord.x, chord.y);
    int span = (m->v2 - m->v1 + h->vsize) % h->vsize;
    vector a = node_refer(h, m->u1, m->v1), b = node_refer(h, m->u2, (m->v1 + span) % h->vsize);
    e->model_len[ax] += norm3(sub3(b, a));
    e->count[ax]++;
    e->axis.push_back(ax);
    e->middle.push_back(centroid(p));
    e->anchor.push_back(patch_anchor(h, m));
  }
  for (int ax = 0; ax < 3; ax++) {
    double n = hypot(e->dir[ax].x, e->dir[ax].y);
    e->dir[ax] = n > 0.0 ? point2{e->dir[ax].x / n, e->dir[ax].y / n} : point2{0.0, 0.0};
    if (e->count[ax] > 0) {
      e->length[ax] /= e->count[ax];
      e->model_len[ax] /= e->count[ax];
    }
  }
}

// Turns each axis direction so that the edges' image positions grow along
// it as their model positions grow along the axis: the least-squares fit of
// middle = t + sum over axes of g * dir * anchor, whose g must be positive.
static void orient_box_edges(box_edges *e) {
  size_t n = e->middle.size();
  if (n < 2) return;
  point2 mc = {0.0, 0.0};
  vector ac = {0.0, 0.0, 0.0};
  for (size_t k = 0; k < n; k++) {
    mc = {mc.x + e->middle[k].x / n, mc.y + e->middle[k].y / n};
    ac = {ac.x + e->anchor[k].x / n, ac.y + e->anchor[k].y / n, ac.z + e->anchor[k].z / n};
  }
  double A[3][3] = {{0}}, rhs[3] = {0}, g[3];
  for (size_t k = 0; k < n; k++) {
    vector d = sub3(e->anchor[k], ac);
    double m[3] = {d.x, d.y, d.z};
    point2 col[3];
    for (int i = 0; i < 3; i++) col[i] = {e->dir[i].x * m[i], e->dir[i].y * m[i]};
    point2 y = {e->middle[k].x - mc.x, e->middle[k].y - mc.y};
    for (int i = 0; i < 3; i++) {
      for (int j = 0; j < 3; j++) A[i][j] += col[i].x * col[j].x + col[i].y * col[j].y;
      rhs[i] += col[i].x * y.x + col[i].y * y.y;
    }
  }
  add_ridge(A);
  if (!solve3(A, rhs, g)) return;
  for (int i = 0; i < 3; i++)
    if (g[i] < 0.0) e->dir[i] = {-e->dir[i].x, -e->dir[i].y};
}

// Squared image lengths w of the three unit axes from their directions: the
// two image rows of a rotation are orthonormal, sum of w d d^T = identity.
// An axis without edges, or one the solution would make negative, gets 0.
static void axis_foreshortening(const box_edges &e, double w[3]) {
  bool use[3];
  for (int i = 0; i < 3; i++) use[i] = e.count[i] > 0;
  for (int pass = 0; pass < 3; pass++) {
    double A[3][3] = {{0}}, rhs[3] = {0};
    double rows[3][3], target[3] = {1.0, 0.0, 1.0};
    for (int i = 0; i < 3; i++) {
      point2 d = use[i] ? e.dir[i] : point2{0.0, 0.0};
      rows[0][i] = d.x * d.x;
      rows[1][i] = d.x * d.y;
      rows[2][i] = d.y * d.y;
    }
    for (int i = 0; i < 3; i++)
      for (int j = 0; j < 3; j++) {
        for (int k = 0; k < 3; k++) A[i][j] += rows[k][i] * rows[k][j];
      }
    for (int i = 0; i < 3; i++)
      for (int k = 0; k < 3; k++) rhs[i] += rows[k][i] * target[k];
    add_ridge(A);
    if (!solve3(A, rhs, w)) w[0] = w[1] = w[2] = 0.0;
    bool again = false;
    for (int i = 0; i < 3; i++) {
      if (!use[i]) w[i] = 0.0;
      if (use[i] && w[i] < 0.0) {
        use[i] = false;
        again = true;
      }
      w[i] = clamp(w[i], 0.0, 1.0);
    }
    if (!again) return;
  }
}

// Rotation whose image rows hold the axes' images; the third row completes a
// right-handed frame.  False when the image rows are degenerate.
static bool box_rotation(const box_edges &e, const double w[3], double R[3][3]) {
  vector r0, r1;
  double l[3] = {sqrt(w[0]), sqrt(w[1]), sqrt(w[2])};
  r0 = {l[0] * e.dir[0].x, l[1] * e.dir[1].x, l[2] * e.dir[2].x};
  r1 = {l[0] * e.dir[0].y, l[1] * e.dir[1].y, l[2] * e.dir[2].y};
  double n0 = norm3(r0);
  if (!(n0 > 0.0)) return false;
  r0 = scale3(r0, 1.0 / n0);
  r1 = sub3(r1, scale3(r0, dot3(r0, r1)));
  double n1 = norm3(r1);
  if (!(n1 > 1e-6)) return false;
  r1 = scale3(r1, 1.0 / n1);
  vector r2 = cross3(r0, r1);
  vector rows[3] = {r0, r1, r2};
  for (int r = 0; r < 3; r++) {
    R[r][0] = rows[r].x;
    R[r][1] = rows[r].y;
    R[r][2] = rows[r].z;
  }
  return true;
}

// a1, a2, a3 from the edges' image lengths over their foreshortening, for
// the edges that are not seen too nearly end-on.
static void size_box(hybroid *h, const box_edges &e, const double w[3]) {
  double *size[3] = {&h->a1, &h->a2, &h->a3};
  double k = depth_factor(h);
  for (int i = 0; i < 3; i++) {
    double l = sqrt(w[i]);
    if (e.count[i] == 0 || l < MIN_EDGE_FORESHORTENING || !(e.model_len[i] > 0.0)) continue;
    *size[i] *= clamp(k * e.length[i] / l / e.model_len[i], MIN_SIZE_FACTOR, MAX_SIZE_FACTOR);
  }
}

static void start_box(hybroid *h) {
  box_edges e;
  collect_box_edges(h, &e);
  orient_box_edges(&e);
  double w[3], local[3][3], Q[3][3], R[3][3];
  axis_foreshortening(e, w);
  if (!box_rotation(e, w, local)) return;
  point2 middle = {0.0, 0.0};
  for (const point2 &m : e.middle) middle = {middle.x + m.x, middle.y + m.y};
  middle = {middle.x / e.middle.size(), middle.y / e.middle.size()};
  line_of_sight_frame(h, middle, Q);
  multiply3(Q, local, R);
  set_pose_rotation(h, R);
  size_box(h, e, w);
  refresh_geometry(h);
}

// ---------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------

void init_pose_from_data(hybroid *h) {
  if (!h || !h->nodes || h->usize < 3 || h->vsize < 8) return;
  if (h->primitive_label == 1) start_box(h);
  else if (h->primitive_label == 5 || h->primitive_label == 6 || h->primitive_label == 10)
    start_round_model(h);
  else
    return;
  compute_positions(h);
}
