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
//   give a1, a2 and a3, the ratio of the two radii the taper of label 6, two
//   rims that are not parallel the bend of label 10 (under noise the bend's
//   direction is chosen among one per sector, fitted to both rims or to the
//   less-seen one about the better-seen one's normal, by the distance of the
//   whole model to all the data); the centre rim gives the translation.
//   Boxes (label 1): the edges of the seen sides run along the model's three
//   axes; their image directions, with signs from where the edges lie, give
//   the rotation of an orthographic view (with the stage option inner only
//   the edges between two seen faces, where an axis has one: the outline of
//   a rounded box is its silhouette), and their lengths the sizes.
// In perspective each rim (and a box's edges) is read in a camera turned to
// look straight at it, as an orthographic view.  When a stage of the
// label's schedule file frees the squareness, the start also tries e1 (and
// e2 of a box) over their range and keeps the value whose model lies
// clearly closest to all the data.  Writes orientation, rotation,
// translation (x, y), a1, a2, a3, e1, e2, and tapx, tapy (label 6) or
// bend1, bend3 (label 10); reads the force maps, the faces and the mesh.
//
// Start with init_pose_from_data.
#include <cmath>
#include <vector>

#include "hybroid.h"
#include "vector_ops.h"

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
  double phi;      // image direction of the axis (the minor axis), radians
  double ratio;    // minor / major axis = cosine of the tilt
  double cost;     // sum of the squared distances of the points to the fit
  rim_fit rim[2];  // upper, lower
};
}  // namespace

static const double PI = 3.141592653589793;
static const double DEGREE = PI / 180.0;

enum { UPPER = 0, LOWER = 1 };
// Fewest points that can tell an ellipse's shape apart from its position.
static const int MIN_RIM_POINTS = 6;
// Search of the rim shape: a coarse grid, then finer ones about the best,
// each FINE_STEPS times finer than the one before, down to a few thousandths
// of a degree.
static const double COARSE_STEP = 2.0 * DEGREE;
static const size_t COARSE_POINTS = 40;
static const double FINE_SPAN = 2.0 * DEGREE;
static const int FINE_STEPS = 5;
static const int FINE_LEVELS = 4;
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
// The least angle between the rims' normals read as a bend.
static const double MIN_BEND_ANGLE = 5.0 * DEGREE;
// The squareness the start tries (the range a fitting stage keeps it in).
static const double SQUARENESS_MIN = 0.1;
static const double SQUARENESS_MAX = 2.0;
// A bend of another direction than the rims' must lie this share closer to
// the data: the bends tried differ by tens of degrees in direction, far
// more than the matching's small preferences move the distance.
static const double MIN_BEND_GAIN = 0.1;
// The contour matching takes a node on the occluding contour only when its
// normal's cosine with the line of sight is at most this (as forces.cpp).
static const double CONTOUR_NODE_COSINE = 0.14;

// ---------------------------------------------------------------------------
// Small geometry
// ---------------------------------------------------------------------------


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
quaternion quaternion_from_rotation(const double R[3][3]) {
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
  double n = sqrt(q.w * q.w + dot_vector(q.v, q.v));
  return {q.w / n, scaled_vector(q.v, 1.0 / n)};
}

// Rotation about the unit axis k by the angle whose cosine and sine are c, s.
static void rotation_about(vector k, double c, double s, double R[3][3]) {
  quaternion q = {sqrt((1.0 + c) / 2.0), {0.0, 0.0, 0.0}};
  double half_sin = sqrt((1.0 - c) / 2.0);
  if (s < 0.0) half_sin = -half_sin;
  q.v = scaled_vector(k, half_sin);
  rotation_from_quaternion(q, R);
}

// The smallest rotation that takes the unit vector a to the unit vector b.
static void rotation_between(vector a, vector b, double R[3][3]) {
  vector k = cross_vector(a, b);
  double s = length_vector(k), c = dot_vector(a, b);
  if (s > 0.0) {
    rotation_about(scaled_vector(k, 1.0 / s), c, s, R);
    return;
  }
  // Parallel: the identity; opposite: half a turn about any perpendicular.
  vector perp = fabs(a.x) < 0.9 ? vector{1.0, 0.0, 0.0} : vector{0.0, 1.0, 0.0};
  perp = cross_vector(a, perp);
  rotation_about(scaled_vector(perp, 1.0 / length_vector(perp)), c < 0.0 ? -1.0 : 1.0, 0.0, R);
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

// The camera the data are read in: in perspective the real camera turned to
// look straight at the data, so that the model lies at the centre of its
// view, where reading the ellipses and edges as an orthographic view holds
// best; the real camera itself without perspective.
struct view_frame {
  bool perspective;
  double f;        // focal length
  double Q[3][3];  // this camera's frame to the real camera's frame
  double k;        // its image-plane units to camera units at the model's depth
};

static vector mat_transposed_times(const double M[3][3], vector v) {
  return {M[0][0] * v.x + M[1][0] * v.y + M[2][0] * v.z,
          M[0][1] * v.x + M[1][1] * v.y + M[2][1] * v.z,
          M[0][2] * v.x + M[1][2] * v.y + M[2][2] * v.z};
}

// A real image point seen in the turned camera (central projection onto its
// image plane), and back.
static point2 to_view(const view_frame &v, point2 p) {
  if (!v.perspective) return p;
  vector q = mat_transposed_times(v.Q, {p.x, p.y, -v.f});
  if (!(q.z < 0.0)) return p;
  return {-v.f * q.x / q.z, -v.f * q.y / q.z};
}

static point2 from_view(const view_frame &v, point2 p) {
  if (!v.perspective) return p;
  vector q = matrix_times_vector(v.Q, {p.x, p.y, -v.f});
  if (!(q.z < 0.0)) return p;
  return {-v.f * q.x / q.z, -v.f * q.y / q.z};
}

// Image points of the curve that force map m pulls on (its contour may wrap
// past the last point of its face), in the camera of view v.
static points2 map_points(const hybroid *h, const force_map *m, const view_frame &v) {
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
    p.push_back(to_view(v, {q.x, q.y}));
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
    sight = scaled_vector(ray, 1.0 / length_vector(ray));
  }
  rotation_between({0.0, 0.0, -1.0}, sight, Q);
}

// The camera that looks at real image point c (the real camera without
// perspective).
static view_frame view_towards(const hybroid *h, point2 c) {
  view_frame v;
  v.perspective = h->perspective_flag && h->focal_length > 0.0;
  v.f = h->focal_length;
  v.k = 1.0;
  line_of_sight_frame(h, c, v.Q);
  // depth along the turned camera's axis: the real depth over the cosine of
  // the angle between the two axes
  if (v.perspective) v.k = depth_factor(h) * length_vector({c.x, c.y, -v.f}) / v.f;
  return v;
}

// The camera that looks at the centroid of all the model's data points.
static view_frame view_of_data(const hybroid *h) {
  view_frame real = view_towards(h, {0.0, 0.0});
  real.perspective = false;
  points2 all;
  for (int i = 0; i < h->n_force && i < MAX_FORCE_MAPS; i++) {
    points2 p = map_points(h, &h->force_map[i], real);
    all.insert(all.end(), p.begin(), p.end());
  }
  return view_towards(h, centroid(all));
}

static void refresh_geometry(hybroid *h) {
  compute_superquadric_taper_bend_normal(h);
  compute_superquadric_taper_bend_new_center(h);
}

// ---------------------------------------------------------------------------
// Rim ellipses of a round model
// ---------------------------------------------------------------------------

// The points of one rim, seen in a camera of its own that looks straight at
// them (in perspective; the real camera otherwise).  The rim's normal is
// searched in a reference camera (view_of_data) and turned into this one.
struct rim_points {
  points2 p;            // image plane of the rim's camera
  point2 mean;          // their centroid
  view_frame view;      // the rim's camera
  double to_rim[3][3];  // the reference camera's frame to the rim camera's frame
};

// The conic c^2 b^2 + a^2 + E a + F = 0 of one rim in the frame turned by
// phi (b across the image of the axis, a along it), about the rim's
// centroid: E, F by linear least squares, and the sum of the squared
// first-order (Sampson) distances of the points to it.  The centre is taken
// on the line along the axis through the centroid: a rim's seen arc is
// mirror-symmetric about the image of the axis.  (Left free, the term in b
// would let a flat parabola pass for an edge-on rim of any direction.)
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

// The rim's image direction phi and axis ratio c for the normal n (reference
// camera frame).
static void rim_view_of_normal(const rim_points &r, vector n, double *phi, double *c) {
  vector m = matrix_times_vector(r.to_rim, n);
  *phi = atan2(m.y, m.x);
  *c = fabs(m.z) < 1.0 ? fabs(m.z) : 1.0;
}

// How well a circle with normal n (reference camera frame) fits the rim.
static double normal_cost(const rim_points &r, vector n) {
  double phi, c, ef[2];
  rim_view_of_normal(r, n, &phi, &c);
  return fit_rim_conic(r, phi, c, ef);
}

// The unit normal at image direction phi and tilt, towards the camera
// (toward = 1) or away from it (-1).
static vector tilted_normal(double phi, double tilt, double toward) {
  return {sin(tilt) * cos(phi), sin(tilt) * sin(phi), toward * cos(tilt)};
}

static double rim_shape_cost(const rim_points rims[2], double phi, double tilt, double toward) {
  double cost = 0.0;
  vector n = tilted_normal(phi, tilt, toward);
  for (int k = 0; k < 2; k++)
    if (rims[k].p.size() >= (size_t)MIN_RIM_POINTS) cost += normal_cost(rims[k], n);
  return cost;
}

// Best (phi, tilt) on a grid of the given steps about a centre.
static void search_rim_shape(const rim_points rims[2], double toward, double span, int steps,
                             double *phi, double *tilt) {
  double best = HUGE_VAL;
  double phi0 = *phi, tilt0 = *tilt;
  for (int i = -steps; i <= steps; i++)
    for (int j = -steps; j <= steps; j++) {
      double p = phi0 + span * i / steps;
      double t = clamp(tilt0 + span * j / steps, 0.0, PI / 2);
      double cost = rim_shape_cost(rims, p, t, toward);
      if (cost < best) {
        best = cost;
        *phi = p;
        *tilt = t;
      }
    }
}

// Centre (in the reference camera's image) and semi-major axis of one rim
// whose circle has the normal n (reference camera frame).
static rim_fit finish_rim(const rim_points &r, vector n, const view_frame &reference) {
  rim_fit out = {false, {0.0, 0.0}, 0.0};
  double phi, c, ef[2];
  if (r.p.size() < (size_t)MIN_RIM_POINTS) return out;
  rim_view_of_normal(r, n, &phi, &c);
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
  point2 centre = {r.mean.x + cp * a0, r.mean.y + sp * a0};
  out.centre = to_view(reference, from_view(r.view, centre));
  out.radius = radius;
  return out;
}

// Every k-th point of a rim, at most COARSE_POINTS of them, about the same
// centroid: enough to find the basin of the best shape on the coarse grid.
static rim_points thinned(const rim_points &r) {
  rim_points t = r;
  t.p.clear();
  size_t k = (r.p.size() + COARSE_POINTS - 1) / COARSE_POINTS;
  if (k < 1) k = 1;
  for (size_t j = 0; j < r.p.size(); j += k) t.p.push_back(r.p[j]);
  if (t.p.size() < (size_t)MIN_RIM_POINTS) t.p = r.p;
  return t;
}

// Refines the shape from (s->phi, tilt) and fits the rims' centres and radii.
static void refine_rim_shape(const rim_points rims[2], double toward, double tilt,
                             const view_frame &reference, rim_shape *s) {
  double phi = s->phi;
  double span = FINE_SPAN;
  for (int level = 0; level < FINE_LEVELS; level++, span /= FINE_STEPS)
    search_rim_shape(rims, toward, span, FINE_STEPS, &phi, &tilt);
  s->phi = phi;
  s->ratio = cos(tilt);
  s->cost = rim_shape_cost(rims, phi, tilt, toward);
  vector n = tilted_normal(phi, tilt, toward);
  for (int k = 0; k < 2; k++) s->rim[k] = finish_rim(rims[k], n, reference);
}

// The shape (image direction mod pi, tilt) shared by the rims: a coarse grid
// over thinned points, then finer grids about the best.
static void fit_rim_shape(const rim_points rims[2], double toward, const view_frame &reference,
                          rim_shape *s) {
  double best = HUGE_VAL, tilt = 0.0;
  s->phi = 0.0;
  rim_points coarse[2] = {thinned(rims[0]), thinned(rims[1])};
  for (int i = 0; i * COARSE_STEP < PI; i++)
    for (int j = 0; j * COARSE_STEP <= PI / 2 + 1e-9; j++) {
      double p = i * COARSE_STEP, t = j * COARSE_STEP;
      double cost = rim_shape_cost(coarse, p, t, toward);
      if (cost < best) {
        best = cost;
        s->phi = p;
        tilt = t;
      }
    }
  refine_rim_shape(rims, toward, tilt, reference, s);
}

// ---------------------------------------------------------------------------
// Round models
// ---------------------------------------------------------------------------

struct round_data {
  rim_points rim[2];  // upper, lower
  points2 contour;    // occluding contours, reference camera's image
};

// A rim's points (real image) seen in its own camera, which looks at their
// centroid.
static void set_rim_camera(const hybroid *h, const view_frame &reference, rim_points *r) {
  if (r->p.empty()) return;
  r->view = view_towards(h, centroid(r->p));
  for (point2 &q : r->p) q = to_view(r->view, q);
  r->mean = centroid(r->p);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++)  // view.Q^T reference.Q
      r->to_rim[i][j] = r->view.Q[0][i] * reference.Q[0][j] + r->view.Q[1][i] * reference.Q[1][j] +
                        r->view.Q[2][i] * reference.Q[2][j];
}

static void collect_round_data(const hybroid *h, const view_frame &reference, round_data *d) {
  int up = upper_row(h), low = lower_row(h);
  view_frame real = view_towards(h, {0.0, 0.0});
  real.perspective = false;
  for (int i = 0; i < h->n_force && i < MAX_FORCE_MAPS; i++) {
    const force_map *m = &h->force_map[i];
    points2 *into = nullptr;
    if (m->u1 == up && m->u2 == up) into = &d->rim[UPPER].p;
    else if (m->u1 == low && m->u2 == low) into = &d->rim[LOWER].p;
    else if (m->u1 == low && m->u2 == up) into = &d->contour;
    if (!into) continue;
    points2 p = map_points(h, m, into == &d->contour ? reference : real);
    into->insert(into->end(), p.begin(), p.end());
  }
  for (rim_points &r : d->rim) set_rim_camera(h, reference, &r);
}

// The image direction from the lower towards the upper end of the model:
// from the lower to the upper rim centre, else from the occluding contours
// to the seen rim (or back), else none (a view along the axis).
static point2 upward_in_image(const round_data &d, const rim_shape &s) {
  const rim_fit &up = s.rim[UPPER], &low = s.rim[LOWER];
  if (up.used && low.used) return {up.centre.x - low.centre.x, up.centre.y - low.centre.y};
  if (d.contour.empty() || (!up.used && !low.used)) return {0.0, 0.0};
  point2 m = centroid(d.contour);
  const rim_fit &r = up.used ? up : low;
  double sign = up.used ? 1.0 : -1.0;
  return {sign * (r.centre.x - m.x), sign * (r.centre.y - m.y)};
}

// Turns the shape's image direction half round when it points against
// upward (the fit reads it modulo pi; in perspective the other half differs
// a little, so the shape is refined again there).
static void orient_rim_shape(const rim_points rims[2], double toward, point2 upward,
                             const view_frame &reference, rim_shape *s) {
  if (cos(s->phi) * upward.x + sin(s->phi) * upward.y >= 0.0) return;
  s->phi += PI;
  refine_rim_shape(rims, toward, acos(s->ratio), reference, s);
}

// The upward unit normal of the rims of shape s (reference camera frame).
static vector shape_normal(const rim_shape &s, double toward) {
  return tilted_normal(s.phi, acos(clamp(s.ratio, 0.0, 1.0)), toward);
}

// +1 when the top end of the model faces the camera (face 0 seen), -1 when
// only the bottom end does (face 2).
static double toward_camera(const hybroid *h) {
  return !face_seen(h, 0) && face_seen(h, 2) ? -1.0 : 1.0;
}

// The rotation of a straight model: the smallest turn from the model's z
// axis to the rims' common normal.
static void straight_rotation(const hybroid *h, const rim_shape &s, double R[3][3]) {
  rotation_between({0.0, 0.0, 1.0}, shape_normal(s, toward_camera(h)), R);
}

// Two unit vectors that make a right-handed frame with the unit vector N;
// beta of a bend is measured from e1 towards e2.
static void perpendicular_basis(vector N, vector *e1, vector *e2) {
  vector across = fabs(N.x) < 0.9 ? vector{1.0, 0.0, 0.0} : vector{0.0, 1.0, 0.0};
  *e1 = cross_vector(N, across);
  *e1 = scaled_vector(*e1, 1.0 / length_vector(*e1));
  *e2 = cross_vector(N, *e1);
}

// The rim normals of a bend: the common normal N turned by +alpha/2 (upper
// rim) and -alpha/2 (lower rim) towards the direction at angle beta about N.
static void split_normal(vector N, double alpha, double beta, vector *nu, vector *nl) {
  vector e1, e2;
  perpendicular_basis(N, &e1, &e2);
  vector w = {cos(beta) * e1.x + sin(beta) * e2.x, cos(beta) * e1.y + sin(beta) * e2.y,
              cos(beta) * e1.z + sin(beta) * e2.z};
  double c = cos(alpha / 2), s = sin(alpha / 2);
  *nu = {c * N.x + s * w.x, c * N.y + s * w.y, c * N.z + s * w.z};
  *nl = {c * N.x - s * w.x, c * N.y - s * w.y, c * N.z - s * w.z};
}

// Whether the split fits the rims' points so much better than one shape
// (joint) that the rims are not parallel: the F statistic of the two extra
// parameters against the scatter left about the split fit.
static bool rims_differ(double joint, double split, size_t points) {
  static const double MIN_F = 20.0;
  static const int SPLIT_PARAMETERS = 8;  // alpha, beta, N (2), E and F of each rim
  if (points <= (size_t)SPLIT_PARAMETERS) return false;
  double gain = (joint - split) / 2.0;
  double scatter = split / (double)(points - SPLIT_PARAMETERS);
  return gain > MIN_F * scatter;
}

// Parameters of a bend: the common normal N at image direction phi and
// tilt (towards the camera, or away), and the split alpha towards beta.
struct bend_fit {
  double x[4];  // phi, tilt, alpha, beta
  double toward;
};

static vector bend_normal(const bend_fit &b) {
  double st = sin(b.x[1]);
  return {st * cos(b.x[0]), st * sin(b.x[0]), b.toward * cos(b.x[1])};
}

static double bend_cost(const round_data &d, const bend_fit &b) {
  vector nu, nl;
  split_normal(bend_normal(b), b.x[2], b.x[3], &nu, &nl);
  return normal_cost(d.rim[UPPER], nu) + normal_cost(d.rim[LOWER], nl);
}

// Pattern search over the four parameters of a bend from b: each step tried
// both ways, the steps halved when none helps; the direction beta within
// [beta_lo, beta_hi].  Returns the cost reached.  Along a curved valley the
// search crawls at small steps: rims fitted well take a few thousand rounds,
// and rims that are no ellipses could crawl for seconds, so it stops after
// MAX_ROUNDS, where it stands.
static double refine_bend(const round_data &d, bend_fit *b, double beta_lo = -HUGE_VAL,
                          double beta_hi = HUGE_VAL) {
  static const double MIN_STEP = 0.005 * DEGREE;
  static const int MAX_ROUNDS = 10000;
  double step[4] = {2.0 * DEGREE, 2.0 * DEGREE, 2.0 * DEGREE, 6.0 * DEGREE};
  double best = bend_cost(d, *b);
  for (int round = 0; step[0] > MIN_STEP && round < MAX_ROUNDS; round++) {
    bool moved = false;
    for (int k = 0; k < 4; k++)
      for (int sign = -1; sign <= 1; sign += 2) {
        bend_fit t = *b;
        t.x[k] += sign * step[k];
        if (t.x[2] < 0.0 || t.x[3] < beta_lo || t.x[3] > beta_hi) continue;
        double cost = bend_cost(d, t);
        if (cost < best) {
          best = cost;
          *b = t;
          moved = true;
        }
      }
    if (!moved)
      for (double &st : step) st /= 2;
  }
  return best;
}

// The best split of the common normal N on a coarse grid of alpha and beta;
// with sectors, also the best of each of BEND_SECTORS equal ranges of beta.
enum { BEND_SECTORS = 6 };
static bend_fit split_on_grid(const round_data &d, vector N, bend_fit *sectors = nullptr) {
  static const double ALPHA_STEP = 2.0 * DEGREE, BETA_STEP = 6.0 * DEGREE;
  static const int ALPHA_STEPS = 45, BETA_STEPS = 60;
  bend_fit start = {{atan2(N.y, N.x), acos(clamp(fabs(N.z), 0.0, 1.0)), 0.0, 0.0},
                    N.z < 0.0 ? -1.0 : 1.0};
  bend_fit b = start;
  double best = HUGE_VAL, sector_best[BEND_SECTORS];
  for (double &c : sector_best) c = HUGE_VAL;
  for (int i = 0; i <= ALPHA_STEPS; i++)
    for (int j = 0; j < BETA_STEPS; j++) {
      bend_fit t = start;
      t.x[2] = i * ALPHA_STEP;
      t.x[3] = j * BETA_STEP;
      double cost = bend_cost(d, t);
      if (cost < best) {
        best = cost;
        b = t;
      }
      int k = j * BEND_SECTORS / BETA_STEPS;
      if (sectors && cost < sector_best[k]) {
        sector_best[k] = cost;
        sectors[k] = t;
      }
    }
  return b;
}

// The bend whose split normals are nu and nl (upward, in the view frame).
static bend_fit bend_from_normals(vector nu, vector nl) {
  vector N = {nu.x + nl.x, nu.y + nl.y, nu.z + nl.z};
  N = scaled_vector(N, 1.0 / length_vector(N));
  vector e1, e2;
  perpendicular_basis(N, &e1, &e2);
  vector w = sub_vector(nu, nl);
  return {{atan2(N.y, N.x), acos(clamp(fabs(N.z), 0.0, 1.0)),
           acos(clamp(dot_vector(nu, nl), -1.0, 1.0)), atan2(dot_vector(w, e2), dot_vector(w, e1))},
          N.z < 0.0 ? -1.0 : 1.0};
}

// The upward normals of the two rims, each fitted alone (an ellipse of its
// own; the line between their centres tells which way is up).
static void rim_normals_apart(const round_data &d, double toward, const view_frame &reference,
                              vector normal[2]) {
  rim_points one[2][2] = {{d.rim[UPPER], rim_points()}, {d.rim[LOWER], rim_points()}};
  rim_shape su, sl;
  fit_rim_shape(one[0], toward, reference, &su);
  fit_rim_shape(one[1], toward, reference, &sl);
  point2 up = {su.rim[0].centre.x - sl.rim[0].centre.x, su.rim[0].centre.y - sl.rim[0].centre.y};
  orient_rim_shape(one[0], toward, up, reference, &su);
  orient_rim_shape(one[1], toward, up, reference, &sl);
  normal[UPPER] = shape_normal(su, toward);
  normal[LOWER] = shape_normal(sl, toward);
}

// The bend that fits the two rims best, searched from two starts: the split
// of the rims' common normal, and the normals of the rims fitted apart
// (better when the bend is large, worse when a rim's arc is short).  Of the
// two, the smaller bend is kept unless the larger one fits better by more
// than the scatter of the points explains.
static double search_bend(const round_data &d, vector N, double toward,
                          const view_frame &reference, bend_fit *out) {
  static const double SCATTER_MARGIN = 10.0;
  round_data coarse = d;
  for (rim_points &r : coarse.rim) r = thinned(r);
  bend_fit a = split_on_grid(coarse, N);
  double cost_a = refine_bend(d, &a);
  vector apart[2];
  rim_normals_apart(d, toward, reference, apart);
  bend_fit b = bend_from_normals(apart[UPPER], apart[LOWER]);
  double cost_b = refine_bend(d, &b);
  size_t n = d.rim[UPPER].p.size() + d.rim[LOWER].p.size();
  double scatter = (cost_a < cost_b ? cost_a : cost_b) / (double)(n > 8 ? n - 8 : 1);
  bool a_smaller = a.x[2] <= b.x[2];
  const bend_fit &small = a_smaller ? a : b, &large = a_smaller ? b : a;
  double cost_small = a_smaller ? cost_a : cost_b, cost_large = a_smaller ? cost_b : cost_a;
  bool keep_large = cost_large < cost_small - SCATTER_MARGIN * scatter;
  *out = keep_large ? large : small;
  return keep_large ? cost_large : cost_small;
}

static bool rotation_of_bend(hybroid *h, const round_data &d, const view_frame &reference,
                             const bend_fit &b, rim_shape *shape, double R[3][3]);

// A bent model (label 10): its rims are not parallel.  With bending about
// the top, the ring at height z turns by theta = bend1 (pi/2) (z / r3 - 1)
// in the bending plane, so the upper and lower rims (z = +-s r3) turn by
// theta_u and theta_l and their normals n = sin(theta) U + cos(theta) Z span
// the plane of the bending direction U and the model's axis Z; the angle
// between them is bend1 pi s.  Writes the rotation (bending along the model's
// x axis, bend3 = 0), bend1 and the rims' own centres and radii into shape.
// When the bend is within what the scatter of the points explains, the
// model is taken as straight along the rims' common normal (bend1 is left);
// returns false when that fits no better than the shared shape.  The bend
// read goes to *bend (alpha 0 when none).
static bool bent_rotation(hybroid *h, const round_data &d, const view_frame &reference,
                          rim_shape *shape, double R[3][3], bend_fit *bend) {
  if (d.rim[UPPER].p.size() < (size_t)MIN_RIM_POINTS ||
      d.rim[LOWER].p.size() < (size_t)MIN_RIM_POINTS)
    return false;
  vector N = shape_normal(*shape, toward_camera(h));
  bend_fit b;
  double split = search_bend(d, N, toward_camera(h), reference, &b);
  if (!rims_differ(shape->cost, split, d.rim[UPPER].p.size() + d.rim[LOWER].p.size())) {
    if (!(split < shape->cost)) return false;
    // Not bent beyond doubt, but the rims' common normal of the bend fits
    // better than one shared shape, which rims turned apart can mislead.
    N = bend_normal(b);
    rotation_between({0.0, 0.0, 1.0}, N, R);
    shape->rim[UPPER] = finish_rim(d.rim[UPPER], N, reference);
    shape->rim[LOWER] = finish_rim(d.rim[LOWER], N, reference);
    return true;
  }
  if (!rotation_of_bend(h, d, reference, b, shape, R)) return false;
  *bend = b;
  return true;
}

// The rotation (bending along the model's x axis, bend3 = 0) and bend1 of
// the bend b, and the rims' own centres and radii; false when b bends too
// little to read.
static bool rotation_of_bend(hybroid *h, const round_data &d, const view_frame &reference,
                             const bend_fit &b, rim_shape *shape, double R[3][3]) {
  double alpha = b.x[2];
  vector nu, nl;
  split_normal(bend_normal(b), alpha, b.x[3], &nu, &nl);
  double s = h->nodes[upper_row(h) * h->vsize].spsue1;
  if (alpha < MIN_BEND_ANGLE || !(s > 0.0)) return false;
  double bend1 = clamp(alpha / (PI * s), 0.0, 1.0);
  double tu = bend1 * PI / 2 * (s - 1.0), tl = bend1 * PI / 2 * (-s - 1.0);
  double det = sin(tu - tl);
  vector U = scaled_vector(sub_vector(scaled_vector(nu, cos(tl)), scaled_vector(nl, cos(tu))), 1.0 / det);
  vector Z = scaled_vector(sub_vector(scaled_vector(nl, sin(tu)), scaled_vector(nu, sin(tl))), 1.0 / det);
  Z = scaled_vector(Z, 1.0 / length_vector(Z));
  U = sub_vector(U, scaled_vector(Z, dot_vector(U, Z)));
  if (!(length_vector(U) > 0.0)) return false;
  U = scaled_vector(U, 1.0 / length_vector(U));
  vector Y = cross_vector(Z, U);
  vector cols[3] = {U, Y, Z};
  for (int c = 0; c < 3; c++) {
    R[0][c] = cols[c].x;
    R[1][c] = cols[c].y;
    R[2][c] = cols[c].z;
  }
  h->bend1 = bend1;
  h->bend3 = 0.0;
  shape->rim[UPPER] = finish_rim(d.rim[UPPER], nu, reference);
  shape->rim[LOWER] = finish_rim(d.rim[LOWER], nl, reference);
  return true;
}

// Tapering of a tapered kind (label 6, tapx = tapy) from the two rim radii:
// the ring at z = +-s r3 is scaled by 1 + t (+-s - 1), so their ratio q gives
// t = (q - 1) / (s - 1 + q (1 + s)).
static void taper_from_rims(hybroid *h, const rim_shape &s) {
  static const double MAX_TAPER = 0.9;
  if (h->primitive_label != 6 || !s.rim[UPPER].used || !s.rim[LOWER].used) return;
  double q = s.rim[UPPER].radius / s.rim[LOWER].radius;
  double z = h->nodes[upper_row(h) * h->vsize].spsue1;
  double den = z - 1.0 + q * (1.0 + z);
  if (!(den > 0.0) || !std::isfinite(q)) return;
  h->tapx = h->tapy = clamp((q - 1.0) / den, -MAX_TAPER, MAX_TAPER);
}

// a1, a2 from the radius of a fitted rim against the model's radius at its row.
static void size_round_section(hybroid *h, const view_frame &v, const rim_shape &s) {
  int which = s.rim[UPPER].used ? UPPER : LOWER;
  int row = which == UPPER ? upper_row(h) : lower_row(h);
  double model_radius = length_vector(sub_vector(node_refer(h, row, 0), row_centre(h, row)));
  if (!(model_radius > 0.0)) return;
  double f = v.k * s.rim[which].radius / model_radius;
  f = clamp(f, MIN_SIZE_FACTOR, MAX_SIZE_FACTOR);
  h->a1 *= f;
  h->a2 *= f;
}

// a3 from the image distance of the two rim centres against the model's own
// (in its new pose), when the axis is tilted enough for the distance to
// show; false when it is not (or a rim is not seen).
static bool size_round_height(hybroid *h, const view_frame &v, const rim_shape &s) {
  if (!s.rim[UPPER].used || !s.rim[LOWER].used) return false;
  vector chord = sub_vector(row_centre(h, upper_row(h)), row_centre(h, lower_row(h)));
  vector seen_chord = mat_transposed_times(v.Q, matrix_times_vector(h->rotation, chord));
  double predicted = hypot(seen_chord.x, seen_chord.y);
  if (!(predicted > MIN_SIN_TILT_FOR_HEIGHT * length_vector(chord))) return false;
  double seen = hypot(s.rim[UPPER].centre.x - s.rim[LOWER].centre.x,
                      s.rim[UPPER].centre.y - s.rim[LOWER].centre.y);
  h->a3 *= clamp(v.k * seen / predicted, MIN_SIZE_FACTOR, MAX_SIZE_FACTOR);
  return true;
}

// Mean image distance of the data to the model as it stands: one pass of
// the step's own matching over every force map, with all points and normal
// forces.  The model's step settings are kept; the forces and counts it
// leaves are those every step recomputes first.
static double data_distance(hybroid *h) {
  int mask = h->df_mask, subsample = h->subsample, normal = h->normal_force_flag;
  h->df_mask = DF_WHOLE_FORCE;
  h->subsample = 0;
  h->normal_force_flag = 1;
  prepare_geometry(h);
  measure_data_forces(h);
  h->df_mask = mask;
  h->subsample = subsample;
  h->normal_force_flag = normal;
  return h->gof;
}


// Places the model so that the centre of a fitted rim lies on its ellipse's
// centre (at the model's depth in perspective).
static void place_round_model(hybroid *h, const view_frame &v, const rim_shape &s) {
  int which = s.rim[UPPER].used ? UPPER : LOWER;
  if (h->center == 2 && s.rim[LOWER].used) which = LOWER;
  int row = which == UPPER ? upper_row(h) : lower_row(h);
  vector offset = matrix_times_vector(h->rotation, sub_vector(row_centre(h, row), h->model_center));
  double k = depth_factor(h);
  point2 c = from_view(v, s.rim[which].centre);
  h->translation.x = k * c.x - offset.x;
  h->translation.y = k * c.y - offset.y;
}

// What the rims cannot give (the height in a view near the axis, the taper
// of label 6 when one rim is not seen), chosen by the data: the value whose
// model, placed on its rim, lies closest to all the data (the occluding
// contours are what a3 and the taper move).  One parameter at a time: a scan
// over its range, then golden sections about the best.
struct data_search {
  hybroid *h;
  const view_frame *v;
  const rim_shape *s;
  double a3;      // the height the factors of the search apply to
  double radius;  // squareness search: the rim radius and the distance of
  double chord;   // the rims (model frame) that each tried value keeps
};

enum { SEARCH_HEIGHT, SEARCH_TAPER, SEARCH_E1 };

// Model-frame radius of the rim a round model is sized by, and the distance
// between its rims' centres.
static int sizing_row(const hybroid *h, const rim_shape &s) {
  return s.rim[UPPER].used ? upper_row(h) : lower_row(h);
}
static double rim_radius(const hybroid *h, const rim_shape &s) {
  int row = sizing_row(h, s);
  return length_vector(sub_vector(node_refer(h, row, 0), row_centre(h, row)));
}
static double rim_chord(const hybroid *h) {
  return length_vector(sub_vector(row_centre(h, upper_row(h)), row_centre(h, lower_row(h))));
}

// Scales a1, a2 and a3 so that the rim radius and the rims' distance are
// the given ones again (a new squareness moves the rims' rows).
static void keep_rims(hybroid *h, const data_search &d) {
  double r = rim_radius(h, *d.s);
  if (r > 0.0 && d.radius > 0.0) {
    h->a1 *= d.radius / r;
    h->a2 *= d.radius / r;
    refresh_geometry(h);
  }
  double c = rim_chord(h);
  if (c > 0.0 && d.chord > 0.0) h->a3 *= d.chord / c;
}

static double distance_with(const data_search &d, int which, double x) {
  hybroid *h = d.h;
  if (which == SEARCH_HEIGHT) {
    h->a3 = d.a3 * exp(x);
  } else if (which == SEARCH_TAPER) {  // the taper scales the rim: a1, a2 follow
    h->tapx = h->tapy = x;
    refresh_geometry(h);
    size_round_section(h, *d.v, *d.s);
  } else {  // the rims stay as the data show them; the taper follows their radii
    h->e1 = x;
    refresh_geometry(h);
    taper_from_rims(h, *d.s);
    refresh_geometry(h);
    keep_rims(h, d);
  }
  refresh_geometry(h);
  place_round_model(h, *d.v, *d.s);
  return data_distance(h);
}

// Best x in [lo, hi] for distance(x): a scan over the range, then golden
// sections about the best.  Leaves the model set to it.
template <class Distance>
static double minimise(Distance distance, double lo, double hi) {
  static const int SCAN = 9, SECTIONS = 12;
  static const double GOLDEN = 0.6180339887498949;
  double best_x = lo, best = HUGE_VAL, step = (hi - lo) / (SCAN - 1);
  for (int i = 0; i < SCAN; i++) {
    double x = lo + i * step, dist = distance(x);
    if (dist < best) {
      best = dist;
      best_x = x;
    }
  }
  double a = clamp(best_x - step, lo, hi), b = clamp(best_x + step, lo, hi);
  for (int i = 0; i < SECTIONS; i++) {
    double x1 = b - GOLDEN * (b - a), x2 = a + GOLDEN * (b - a);
    if (distance(x1) < distance(x2)) b = x2;
    else a = x1;
  }
  double x = (a + b) / 2.0;
  if (!(distance(x) <= best)) x = best_x;
  distance(x);
  return x;
}

// Best x in [lo, hi] for one parameter of a round model.
static double minimise_distance(const data_search &d, int which, double lo, double hi) {
  return minimise([&](double x) { return distance_with(d, which, x); }, lo, hi);
}

// The height and the taper together, from where the searches one at a time
// left them: both change the occluding contours alike, so that one at a
// time they creep along the valley between them.  A pattern search over
// log a3 and the taper, along the axes and the diagonals, the steps halved
// when no move helps; the height within a factor of 4 of where it starts
// (data far off the model would draw it out without end).
static void refine_height_and_taper(hybroid *h, data_search d, double max_taper) {
  static const double START_STEP = 0.05, MIN_STEP = 1e-4;
  static const double MAX_LOG_HEIGHT = 1.3862943611198906;  // ln 4
  static const int MOVES[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1},
                                  {1, 1}, {-1, -1}, {1, -1}, {-1, 1}};
  auto distance = [&](double x, double t) {
    h->a3 = d.a3 * exp(x);
    return distance_with(d, SEARCH_TAPER, t);
  };
  d.a3 = h->a3;
  double x = 0.0, t = h->tapx, best = distance(x, t);
  for (double step = START_STEP; step > MIN_STEP;) {
    bool moved = false;
    for (const auto &m : MOVES) {
      double xt = x + m[0] * step, tt = t + m[1] * step;
      if (fabs(tt) > max_taper || fabs(xt) > MAX_LOG_HEIGHT) continue;
      double cost = distance(xt, tt);
      if (cost < best) {
        best = cost;
        x = xt;
        t = tt;
        moved = true;
      }
    }
    if (!moved) step /= 2;
  }
  distance(x, t);
}

static void fit_to_data(hybroid *h, const view_frame &v, const rim_shape &s, bool height,
                        bool taper) {
  static const double HEIGHT_SPAN = 0.6931471805599453;  // factors of 1/2 to 2
  static const double MAX_TAPER = 0.9;
  double gof = h->gof;
  data_search d = {h, &v, &s, h->a3, 0.0, 0.0};
  if (height) minimise_distance(d, SEARCH_HEIGHT, -HEIGHT_SPAN, HEIGHT_SPAN);
  if (taper) {
    minimise_distance(d, SEARCH_TAPER, -MAX_TAPER, MAX_TAPER);
    d.a3 = h->a3;
    if (height) minimise_distance(d, SEARCH_HEIGHT, -HEIGHT_SPAN / 2, HEIGHT_SPAN / 2);
    if (height) refine_height_and_taper(h, d, MAX_TAPER);
  }
  h->gof = gof;
}

// Whether a model found by the data fits them clearly better than the one
// before, by at least min_gain of its distance: the matching of data to the
// nearest nodes favours one squareness or another by a little, so a small
// gain is no evidence.
static bool clearly_closer(double found, double before, double min_gain = 0.3) {
  return found < (1.0 - min_gain) * before;
}

// Whether a stage of the label's schedule file frees any of the parameters
// of mask with all the options given (never with the built-in schedules).
static bool schedule_frees(const hybroid *h, int mask, int options = 0) {
  const label_schedule *ls = schedule_of_label(h->primitive_label);
  if (!ls) return false;
  for (int k = 0; k < ls->n_stages && k < MAX_SEQUENCE; k++)
    if ((ls->mask[k] & mask) && (ls->options[k] & options) == options) return true;
  return false;
}

// The squareness searches measure the distance with the normals of the
// stages that fit e1: the true normals of a tapered or bent surface lean
// from the plain ones by degrees, enough to choose other nodes for the
// occluding contours, so that the plain ones can favour a rounder model
// than the data show.  Returns the switch to restore.
static int use_squareness_normals(hybroid *h) {
  int before = h->exact_geometry;
  h->exact_geometry = schedule_frees(h, DF_E1, STAGE_EXACT) ? 1 : 0;
  return before;
}

static void restore_normals(hybroid *h, int exact) {
  if (h->exact_geometry == exact) return;
  h->exact_geometry = exact;
  refresh_geometry(h);
}

// The squareness e1 of a round model, when a stage will fit it: the value
// whose model, with the rims the data show, lies closest to all the data
// (the occluding contours between the rims are what e1 bends).  Only in a
// view far enough off the axis to read the height from the rims: nearer the
// axis a squarer or rounder model covers the contours from inside as well.
static void round_squareness(hybroid *h, const view_frame &v, const rim_shape &s) {
  if (!schedule_frees(h, DF_E1)) return;
  double gof = h->gof, e1 = h->e1;
  int exact = use_squareness_normals(h);
  data_search d = {h, &v, &s, h->a3, rim_radius(h, s), rim_chord(h)};
  double before = distance_with(d, SEARCH_E1, e1);
  minimise_distance(d, SEARCH_E1, SQUARENESS_MIN, SQUARENESS_MAX);
  if (!clearly_closer(data_distance(h), before)) distance_with(d, SEARCH_E1, e1);
  restore_normals(h, exact);
  h->gof = gof;
}

// Turns a straight round model about its own axis (rotation R, in the
// frame of a view along -z) so that a column of the mesh lies on the
// occluding contour, when none lies near enough to it.  The turn leaves the
// shape as seen, but the contours pull only on nodes whose normals are
// nearly across the line of sight: seen far off the axis with the columns
// half a step off, no node qualifies and the contours pull on nothing.
static void twist_to_silhouette(const hybroid *h, double R[3][3]) {
  if (h->bend1 != 0.0 || h->vsize <= 0) return;
  vector n = {R[0][2], R[1][2], R[2][2]};
  vector across = {n.y, -n.x, 0.0};  // n x line of sight
  if (!(length_vector(across) > 1e-6)) return;
  vector m = mat_transposed_times(R, across);
  vector first = node_refer(h, lower_row(h), 0);
  double step = 2.0 * PI / h->vsize;
  double turn = remainder(atan2(m.y, m.x) - atan2(first.y, first.x), step);
  double seen_off = fabs(sin(turn)) * length_vector(across);  // the nearest column's normal, along the sight
  if (!(seen_off > CONTOUR_NODE_COSINE)) return;
  double Z[3][3] = {{cos(turn), -sin(turn), 0.0}, {sin(turn), cos(turn), 0.0}, {0.0, 0.0, 1.0}};
  double T[3][3];
  multiply3(R, Z, T);
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) R[r][c] = T[r][c];
}

// Tapering, sizes, rotation (local, in the frame of view v) and position
// of a round model whose rims are s; true when the height was read from the
// rims.
static bool finish_round_model(hybroid *h, const view_frame &v, const round_data &d,
                               const rim_shape &s, const double straight[3][3]) {
  double R[3][3], local[3][3];
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) local[r][c] = straight[r][c];
  twist_to_silhouette(h, local);
  taper_from_rims(h, s);
  refresh_geometry(h);
  size_round_section(h, v, s);
  multiply3(v.Q, local, R);
  set_pose_rotation(h, R);
  refresh_geometry(h);
  bool height_from_rims = size_round_height(h, v, s);
  refresh_geometry(h);
  place_round_model(h, v, s);
  bool taper_from_rim_radii = s.rim[UPPER].used && s.rim[LOWER].used;
  bool taper = h->primitive_label == 6 && !taper_from_rim_radii;
  if (!d.contour.empty() && (!height_from_rims || taper))
    fit_to_data(h, v, s, !height_from_rims, taper);
  return height_from_rims;
}

// What the start sets on a round model, to try one pose after another.
struct round_state {
  double a1, a2, a3, tapx, tapy, bend1, bend3;
  vector translation;
  quaternion orientation;
};

static round_state save_round_state(const hybroid *h) {
  return {h->a1, h->a2, h->a3, h->tapx, h->tapy, h->bend1, h->bend3, h->translation,
          h->orientation};
}

static void restore_round_state(hybroid *h, const round_state &r) {
  h->a1 = r.a1;
  h->a2 = r.a2;
  h->a3 = r.a3;
  h->tapx = r.tapx;
  h->tapy = r.tapy;
  h->bend1 = r.bend1;
  h->bend3 = r.bend3;
  h->translation = r.translation;
  h->orientation = r.orientation;
  rotation_from_quaternion(h->orientation, h->rotation);
  refresh_geometry(h);
}

// The model of bend b made anew from the initial state (all but the
// squareness); s gets its rims.  True when the height came from the rims.
static bool apply_bend(hybroid *h, const view_frame &v, const round_data &d,
                       const round_state &initial, const rim_shape &shape0, const bend_fit &b,
                       rim_shape *s) {
  double local[3][3];
  restore_round_state(h, initial);
  *s = shape0;
  rotation_of_bend(h, d, v, b, s, local);
  return finish_round_model(h, v, d, *s, local);
}

// The squareness e1 of a bent model, when a stage will fit it: as for a
// straight one, but each value tried makes the bent model anew from its
// rims, since the bend and the height read from them depend on e1.
static void bent_squareness(hybroid *h, const view_frame &v, const round_data &d,
                            const round_state &initial, const rim_shape &shape0,
                            const bend_fit &bend) {
  if (!schedule_frees(h, DF_E1)) return;
  double gof = h->gof, e1 = h->e1;
  int exact = use_squareness_normals(h);
  auto distance = [&](double x) {
    rim_shape s;
    h->e1 = x;
    refresh_geometry(h);
    apply_bend(h, v, d, initial, shape0, bend, &s);
    return data_distance(h);
  };
  double before = distance(e1);
  minimise(distance, SQUARENESS_MIN, SQUARENESS_MAX);
  if (!clearly_closer(data_distance(h), before)) distance(e1);
  restore_normals(h, exact);
  h->gof = gof;
}

// The bend whose rim `anchor` has the normal n and whose other rim's normal
// is n turned by alpha towards the direction at angle beta about n.
static bend_fit anchored_bend(int anchor, vector n, double alpha, double beta) {
  vector e1, e2;
  perpendicular_basis(n, &e1, &e2);
  vector w = add_vector(scaled_vector(e1, cos(beta)), scaled_vector(e2, sin(beta)));
  vector m = add_vector(scaled_vector(n, cos(alpha)), scaled_vector(w, sin(alpha)));
  return anchor == UPPER ? bend_from_normals(n, m) : bend_from_normals(m, n);
}

// Per sector of the bend's direction, the bend that fits the other rim best
// when the rim with more points keeps the normal it has alone.  Under noise
// a short arc fits an ellipse of almost any tilt, and a joint fit of both
// rims lets it turn the well-seen rim's normal too; a model seen obliquely
// with one rim's arc short is then bent the wrong way.
static void anchored_sectors(const round_data &d, double toward, const view_frame &reference,
                             bend_fit sectors[BEND_SECTORS]) {
  static const double ALPHA_STEP = 2.0 * DEGREE, BETA_STEP = 3.0 * DEGREE;
  static const int ALPHA_STEPS = 35, BETA_STEPS = 120;
  vector apart[2];
  rim_normals_apart(d, toward, reference, apart);
  int anchor = d.rim[UPPER].p.size() >= d.rim[LOWER].p.size() ? UPPER : LOWER;
  double best[BEND_SECTORS];
  for (double &c : best) c = HUGE_VAL;
  for (int i = 1; i <= ALPHA_STEPS; i++)
    for (int j = 0; j < BETA_STEPS; j++) {
      bend_fit b = anchored_bend(anchor, apart[anchor], i * ALPHA_STEP, j * BETA_STEP);
      vector n[2];
      split_normal(bend_normal(b), b.x[2], b.x[3], &n[UPPER], &n[LOWER]);
      double cost = normal_cost(d.rim[1 - anchor], n[1 - anchor]);
      int k = j * BEND_SECTORS / BETA_STEPS;
      if (cost < best[k]) {
        best[k] = cost;
        sectors[k] = b;
      }
    }
}

// Under noise the rims alone may not tell which way a model bends (a short
// arc of one rim fits a turn either way).  The occluding contours do: the
// best bend of the rims in each of BEND_SECTORS ranges of its direction,
// fitted to both rims and with the better-seen rim's own normal kept, is
// made into a whole model, and the one closest to all the data replaces the
// model chosen from the rims when it is clearly closer.  Sets the rims
// and whether the height came from them, of the model kept; true when it
// replaced the model.
static bool try_bend_directions(hybroid *h, const view_frame &v, const round_data &d,
                                const round_state &initial, const rim_shape &shape0,
                                rim_shape *s, bool *height_from_rims, bend_fit *bend) {
  if (d.contour.empty() || d.rim[UPPER].p.size() < (size_t)MIN_RIM_POINTS ||
      d.rim[LOWER].p.size() < (size_t)MIN_RIM_POINTS)
    return false;
  double gof = h->gof, chosen = data_distance(h), best = HUGE_VAL;
  round_state kept = save_round_state(h);
  round_data coarse = d;
  for (rim_points &r : coarse.rim) r = thinned(r);
  bend_fit sectors[2 * BEND_SECTORS], winner;
  split_on_grid(coarse, shape_normal(shape0, toward_camera(h)), sectors);
  anchored_sectors(d, toward_camera(h), v, sectors + BEND_SECTORS);
  for (int k = 0; k < 2 * BEND_SECTORS; k++) {
    bend_fit &b = sectors[k];
    if (k < BEND_SECTORS)
      refine_bend(d, &b, 2 * PI * k / BEND_SECTORS, 2 * PI * (k + 1) / BEND_SECTORS);
    restore_round_state(h, initial);
    rim_shape t = shape0;
    double local[3][3];
    if (!rotation_of_bend(h, d, v, b, &t, local)) continue;
    finish_round_model(h, v, d, t, local);
    double dist = data_distance(h);
    if (dist < best) {
      best = dist;
      winner = b;
    }
  }
  h->gof = gof;
  if (!clearly_closer(best, chosen, MIN_BEND_GAIN)) {
    restore_round_state(h, kept);
    return false;
  }
  *bend = winner;
  *height_from_rims = apply_bend(h, v, d, initial, shape0, winner, s);
  return true;
}

// Rims seen edge on show which way their normals turn in the image but not
// how far they lean out of it: an ellipse's width within the points'
// scatter reads as any small tilt either way, and the bend read from the
// rims leans out of the image by what the noise makes of it.  When each rim
// fitted alone lies within EDGE_ON_BEND_SINE of edge on, both rims' normals
// are laid into the image plane (of the reference camera) and b becomes
// their bend; false when it is left as it was (also when the bend laid in
// the image is too small to read).
static bool lay_bend_in_image(const round_data &d, double toward, const view_frame &reference,
                              bend_fit *b) {
  static const double EDGE_ON_BEND_SINE = 0.1;
  vector apart[2], n[2];
  rim_normals_apart(d, toward, reference, apart);
  if (fabs(apart[UPPER].z) >= EDGE_ON_BEND_SINE || fabs(apart[LOWER].z) >= EDGE_ON_BEND_SINE)
    return false;
  split_normal(bend_normal(*b), b->x[2], b->x[3], &n[UPPER], &n[LOWER]);
  for (vector &m : n) {
    m.z = 0.0;
    double l = length_vector(m);
    if (!(l > 0.0)) return false;
    m = scaled_vector(m, 1.0 / l);
  }
  bend_fit laid = bend_from_normals(n[UPPER], n[LOWER]);
  if (laid.x[2] < MIN_BEND_ANGLE) return false;
  *b = laid;
  b->toward = toward;
  return true;
}

// Back to state r with the squareness e1, which round_state leaves out (a
// bend is made anew from the initial state for each e1 tried).
static void restore_round_start(hybroid *h, const round_state &r, double e1) {
  restore_round_state(h, r);
  h->e1 = e1;
  refresh_geometry(h);
}

// The start of bend `bend` (none: straight) made on from where
// finish_round_model left it: its bend laid into the image when the rims are
// seen edge on, then its squareness.
static void finish_start(hybroid *h, const view_frame &v, const round_data &d,
                         const round_state &initial, const rim_shape &shape0, bend_fit bend,
                         rim_shape s, bool height_from_rims) {
  if (bend.x[2] > 0.0 && lay_bend_in_image(d, toward_camera(h), v, &bend))
    height_from_rims = apply_bend(h, v, d, initial, shape0, bend, &s);
  double e1 = h->e1;
  bool bent = bend.x[2] > 0.0;
  if (!d.contour.empty() && height_from_rims) {
    if (bent) bent_squareness(h, v, d, initial, shape0, bend);
    else round_squareness(h, v, s);
  }
  // bend1 reads the rims' angle against their height on the model, which
  // the squareness moves
  if (bent && h->e1 != e1) apply_bend(h, v, d, initial, shape0, bend, &s);
}

// The distance the squareness search measures.
static double squareness_distance(hybroid *h) {
  int exact = use_squareness_normals(h);
  refresh_geometry(h);
  double found = data_distance(h);
  restore_normals(h, exact);
  return found;
}

// The model from the rim shape s: its rotation, bend, sizes, squareness and
// position.  The bend directions are weighed at the squareness the start
// began with; a model squarer than that can lie closer to the data with a
// bend far off the rims' (a squared end bent more fills the same outline),
// so when a stage fits the squareness, a replaced bend is weighed again
// against the rims' own, each with its squareness found, and kept only when
// it is still clearly closer.
static void start_from_rim_shape(hybroid *h, const view_frame &v, const round_data &d,
                                 rim_shape s) {
  orient_rim_shape(d.rim, toward_camera(h), upward_in_image(d, s), v, &s);
  round_state initial = save_round_state(h);
  rim_shape shape0 = s;
  double local[3][3];
  bend_fit bend = {{0.0, 0.0, 0.0, 0.0}, 1.0};
  if (h->primitive_label != 10 || !bent_rotation(h, d, v, &s, local, &bend))
    straight_rotation(h, s, local);
  bool height_from_rims = finish_round_model(h, v, d, s, local);
  round_state read = save_round_state(h);
  bend_fit read_bend = bend;
  rim_shape read_s = s;
  bool read_height = height_from_rims;
  double e1 = h->e1;
  bool replaced = h->primitive_label == 10 &&
                  try_bend_directions(h, v, d, initial, shape0, &s, &height_from_rims, &bend);
  finish_start(h, v, d, initial, shape0, bend, s, height_from_rims);
  if (!replaced || !schedule_frees(h, DF_E1)) return;
  double gof = h->gof, found = squareness_distance(h), found_e1 = h->e1;
  round_state kept = save_round_state(h);
  restore_round_start(h, read, e1);
  finish_start(h, v, d, initial, shape0, read_bend, read_s, read_height);
  if (clearly_closer(found, squareness_distance(h), MIN_BEND_GAIN))
    restore_round_start(h, kept, found_e1);
  h->gof = gof;
}

// Whether every rim with enough points lies on a straight line (the
// scatter across it under ratio of the spread along it), and the image
// direction across the lines (the axis of a model seen side on).
static bool rims_straight(const round_data &d, double *phi) {
  static const double STRAIGHT_RATIO = 0.05;
  double sxx = 0.0, sxy = 0.0, syy = 0.0;
  bool straight = true, any = false;
  for (const rim_points &r : d.rim) {
    if (r.p.size() < (size_t)MIN_RIM_POINTS) continue;
    double xx = 0.0, xy = 0.0, yy = 0.0;
    for (const point2 &q : r.p) {
      double x = q.x - r.mean.x, y = q.y - r.mean.y;
      xx += x * x, xy += x * y, yy += y * y;
    }
    double half = (xx + yy) / 2.0, root = sqrt((xx - yy) * (xx - yy) / 4.0 + xy * xy);
    straight = straight && half - root <= STRAIGHT_RATIO * STRAIGHT_RATIO * (half + root);
    sxx += xx, sxy += xy, syy += yy;
    any = true;
  }
  // the direction of least spread: across the lines
  *phi = 0.5 * atan2(2.0 * sxy, sxx - syy) + PI / 2;
  return any && straight;
}

// The shape of rim `only` alone, with both rims' centres and radii fitted
// for its normal.
static void fit_one_rim_shape(const rim_points rims[2], int only, double toward,
                              const view_frame &v, rim_shape *s) {
  rim_points one[2] = {rims[0], rims[1]};
  one[1 - only].p.clear();
  fit_rim_shape(one, toward, v, s);
  vector n = tilted_normal(s->phi, acos(s->ratio), toward);
  for (int k = 0; k < 2; k++) s->rim[k] = finish_rim(rims[k], n, v);
}

// The start from the rims' shared shape s, or from the shape of one rim
// alone where that model lies clearly closer to the data: two short arcs,
// traced from pixels, can together fit a wide circle seen face on better
// than the tilted one that each arc alone gives.  The model's gof is kept.
static void start_from_rims(hybroid *h, const view_frame &v, const round_data &d,
                            const rim_shape &s) {
  round_state initial = save_round_state(h);
  double gof = h->gof, e1 = h->e1;
  start_from_rim_shape(h, v, d, s);
  if (d.rim[UPPER].p.size() < (size_t)MIN_RIM_POINTS ||
      d.rim[LOWER].p.size() < (size_t)MIN_RIM_POINTS) {
    h->gof = gof;
    return;
  }
  double best = data_distance(h), kept_e1 = h->e1;
  round_state kept = save_round_state(h);
  for (int k = 0; k < 2; k++) {
    rim_shape one;
    fit_one_rim_shape(d.rim, k, toward_camera(h), v, &one);
    if (!one.rim[UPPER].used && !one.rim[LOWER].used) continue;
    restore_round_start(h, initial, e1);
    start_from_rim_shape(h, v, d, one);
    double found = data_distance(h);
    if (clearly_closer(found, best)) {
      best = found;
      kept = save_round_state(h);
      kept_e1 = h->e1;
    }
  }
  restore_round_start(h, kept, kept_e1);
  h->gof = gof;
}

// Rims seen edge on are straight lines, which an ellipse of any tilt fits
// about as well (a long flat one): their pixel staircase can tip the
// ellipse fit to any tilt.  When the rims are straight, the start from the
// side-on shape (tilt 90 degrees, the axis across the lines) is made too,
// and replaces the start from the fit when its model lies clearly closer
// to all the data.
static void start_round_model(hybroid *h) {
  static const double MIN_SIDE_ON_GAIN = 0.1;
  view_frame v = view_of_data(h);
  round_data d = round_data();
  collect_round_data(h, v, &d);
  if (d.rim[UPPER].p.size() < (size_t)MIN_RIM_POINTS &&
      d.rim[LOWER].p.size() < (size_t)MIN_RIM_POINTS)
    return;  // no rim to read the tilt from
  rim_shape s, side;
  double toward = toward_camera(h);
  fit_rim_shape(d.rim, toward, v, &s);
  bool fit_used = s.rim[UPPER].used || s.rim[LOWER].used;
  if (!rims_straight(d, &side.phi) || d.contour.empty()) {
    if (fit_used) start_from_rims(h, v, d, s);
    return;
  }
  round_state initial = save_round_state(h);
  double gof = h->gof, e1 = h->e1, fitted = HUGE_VAL;
  if (fit_used) {
    start_from_rims(h, v, d, s);
    fitted = data_distance(h);
  }
  round_state kept = save_round_state(h);
  double kept_e1 = h->e1;
  restore_round_start(h, initial, e1);
  refine_rim_shape(d.rim, toward, PI / 2, v, &side);
  if (side.rim[UPPER].used || side.rim[LOWER].used) {
    start_from_rim_shape(h, v, d, side);
    if (clearly_closer(data_distance(h), fitted, MIN_SIDE_ON_GAIN)) {
      h->gof = gof;
      return;
    }
  }
  restore_round_start(h, kept, kept_e1);
  h->gof = gof;
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
  return n > 0 ? scaled_vector(sum, 1.0 / n) : sum;
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
  std::vector<double> seen;      // per edge: image length of its chord
};
}  // namespace

// The chord of an edge's points: from the mean of its first eighth to the
// mean of its last (a few points at each end, so that one noisy end point
// moves it little; both ends alike, so that it stays along the chord of a
// curved edge).
static point2 edge_chord(const points2 &p) {
  size_t k = p.size() / 8 > 0 ? p.size() / 8 : 1;
  point2 a = {0.0, 0.0}, b = {0.0, 0.0};
  for (size_t j = 0; j < k; j++) {
    a = {a.x + p[j].x / k, a.y + p[j].y / k};
    b = {b.x + p[p.size() - 1 - j].x / k, b.y + p[p.size() - 1 - j].y / k};
  }
  // the means lie inside the ends: stretch back to the whole length
  double stretch = (p.size() - 1.0) / (p.size() - k);
  return {(b.x - a.x) * stretch, (b.y - a.y) * stretch};
}

// Whether a map's curve runs between two seen faces of the box (its
// neighbour record names a face): an inner edge, seen whole and where it
// is, while a curve along the background is the model's outline, which on a
// rounded box is its silhouette, up to a few pixels outside the edge line
// and, on a short edge, turned from it.
static bool inner_edge(const hybroid *h, const force_map *m) {
  return curve_outline_mark(h, m->face, m->curve) == 0;
}

// The axes along which an inner edge of at least two points is seen.
static void axes_with_inner_edges(const hybroid *h, const view_frame &v, bool inner[3]) {
  inner[0] = inner[1] = inner[2] = false;
  for (int i = 0; i < h->n_force && i < MAX_FORCE_MAPS; i++) {
    const force_map *m = &h->force_map[i];
    int ax = edge_axis(h, m);
    if (ax >= 0 && inner_edge(h, m) && map_points(h, m, v).size() >= 2) inner[ax] = true;
  }
}

// Image chords of the edges, summed per axis with their signs made to agree.
// With inner_only, an axis that has an inner edge takes its inner edges
// alone.
static void collect_box_edges(const hybroid *h, const view_frame &v, box_edges *e,
                              bool inner_only = false) {
  *e = box_edges();
  bool inner[3] = {false, false, false};
  if (inner_only) axes_with_inner_edges(h, v, inner);
  for (int i = 0; i < h->n_force && i < MAX_FORCE_MAPS; i++) {
    const force_map *m = &h->force_map[i];
    int ax = edge_axis(h, m);
    if (ax >= 0 && inner[ax] && !inner_edge(h, m)) continue;
    points2 p = map_points(h, m, v);
    if (ax < 0 || p.size() < 2) continue;
    point2 chord = edge_chord(p);
    if (chord.x * e->dir[ax].x + chord.y * e->dir[ax].y < 0.0) chord = {-chord.x, -chord.y};
    e->dir[ax] = {e->dir[ax].x + chord.x, e->dir[ax].y + chord.y};
    e->length[ax] += hypot(chord.x, chord.y);
    e->seen.push_back(hypot(chord.x, chord.y));
    int span = (m->v2 - m->v1 + h->vsize) % h->vsize;
    vector a = node_refer(h, m->u1, m->v1), b = node_refer(h, m->u2, (m->v1 + span) % h->vsize);
    e->model_len[ax] += length_vector(sub_vector(b, a));
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
    vector d = sub_vector(e->anchor[k], ac);
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
  double n0 = length_vector(r0);
  if (!(n0 > 0.0)) return false;
  r0 = scaled_vector(r0, 1.0 / n0);
  r1 = sub_vector(r1, scaled_vector(r0, dot_vector(r0, r1)));
  double n1 = length_vector(r1);
  if (!(n1 > 1e-6)) return false;
  r1 = scaled_vector(r1, 1.0 / n1);
  vector r2 = cross_vector(r0, r1);
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
// In perspective, the edges' mean image lengths per axis as they would be
// seen at the depth of the model's centre: an edge nearer the camera looks
// longer by the ratio of the depths (its depth from the model's rotation
// and its anchor on the model as it stands).
static void lengths_at_centre_depth(const hybroid *h, const view_frame &v, const box_edges &e,
                                    double length[3]) {
  for (int i = 0; i < 3; i++) length[i] = e.length[i];
  if (!v.perspective || !(h->translation.z < 0.0)) return;
  double sum[3] = {0.0, 0.0, 0.0};
  for (size_t k = 0; k < e.seen.size(); k++) {
    vector offset = matrix_times_vector(h->rotation, sub_vector(e.anchor[k], h->model_center));
    sum[e.axis[k]] += e.seen[k] * (1.0 + offset.z / h->translation.z);
  }
  for (int i = 0; i < 3; i++)
    if (e.count[i] > 0) length[i] = sum[i] / e.count[i];
}

static void size_box(hybroid *h, const view_frame &v, const box_edges &e, const double w[3]) {
  double *size[3] = {&h->a1, &h->a2, &h->a3};
  double k = v.k, length[3];
  lengths_at_centre_depth(h, v, e, length);
  for (int i = 0; i < 3; i++) {
    double l = sqrt(w[i]);
    if (e.count[i] == 0 || l < MIN_EDGE_FORESHORTENING || !(e.model_len[i] > 0.0)) continue;
    *size[i] *= clamp(k * length[i] / l / e.model_len[i], MIN_SIZE_FACTOR, MAX_SIZE_FACTOR);
  }
}

// Sizes a box from its edges; in perspective twice, the second time with
// the edges' depths on the model of the first.
static void size_box_from_edges(hybroid *h, const view_frame &v, const double w[3]) {
  for (int pass = 0; pass < (v.perspective ? 2 : 1); pass++) {
    box_edges e;
    collect_box_edges(h, v, &e);
    size_box(h, v, e, w);
    refresh_geometry(h);
  }
}

// What a box is sized from: the camera, the axes' foreshortening and the
// sizes before sizing.
struct box_sizing {
  const view_frame *v;
  const double *w;
  double a[3];
};

// Mean distance of the data to the box of squareness e1, e2, sized anew
// from its edges (the model's own edge lengths change with the squareness).
static double box_distance_with(hybroid *h, const box_sizing &b, double e1, double e2) {
  h->e1 = e1;
  h->e2 = e2;
  h->a1 = b.a[0];
  h->a2 = b.a[1];
  h->a3 = b.a[2];
  refresh_geometry(h);
  size_box_from_edges(h, *b.v, b.w);
  return data_distance(h);
}

// The squareness of a box, when a stage will fit it: e2 (the corners of
// the cross-section), e1, then e2 again, each the value whose model lies
// closest to all the data.  e1 bends the edges along z: it is read only
// when they are seen long enough to size the box along them (else any e1
// fits as well), and otherwise follows e2 (a box is mostly as square along
// its height as across it).  Kept only when clearly closer to the data.
static void box_squareness(hybroid *h, const view_frame &v, const double w[3],
                           const double a[3]) {
  bool free1 = schedule_frees(h, DF_E1), free2 = schedule_frees(h, DF_E2);
  bool read1 = free1 && sqrt(w[2]) >= MIN_EDGE_FORESHORTENING;
  if (!free1 && !free2) return;
  double gof = h->gof, e1_before = h->e1, e2_before = h->e2;
  int exact = use_squareness_normals(h);
  box_sizing b = {&v, w, {a[0], a[1], a[2]}};
  double before = box_distance_with(h, b, e1_before, e2_before);
  for (int pass = 0; pass < 3; pass++) {
    double e1 = h->e1, e2 = h->e2;
    if (pass % 2 == 0 && free2)
      minimise([&](double x) { return box_distance_with(h, b, e1, x); }, SQUARENESS_MIN,
               SQUARENESS_MAX);
    if (pass % 2 == 1 && read1)
      minimise([&](double x) { return box_distance_with(h, b, x, e2); }, SQUARENESS_MIN,
               SQUARENESS_MAX);
  }
  if (free1 && free2 && !read1) box_distance_with(h, b, h->e2, h->e2);
  if (!clearly_closer(data_distance(h), before)) box_distance_with(h, b, e1_before, e2_before);
  restore_normals(h, exact);
  h->gof = gof;
}

// The rotation from the edges' image directions (with inner_edges those of
// the inner edges, where an axis has one), then the sizes from all edges'
// lengths and the squareness from all the data.
static void start_box(hybroid *h, bool inner_edges) {
  view_frame v = view_of_data(h);
  box_edges e;
  collect_box_edges(h, v, &e, inner_edges);
  orient_box_edges(&e);
  double w[3], local[3][3], R[3][3];
  axis_foreshortening(e, w);
  if (!box_rotation(e, w, local)) return;
  multiply3(v.Q, local, R);
  set_pose_rotation(h, R);
  double unsized[3] = {h->a1, h->a2, h->a3};
  refresh_geometry(h);
  size_box_from_edges(h, v, w);
  box_squareness(h, v, w, unsized);
}

// ---------------------------------------------------------------------------
// Entry
// ---------------------------------------------------------------------------

void init_pose_from_data(hybroid *h, bool inner_edges) {
  if (!h || !h->nodes || h->usize < 3 || h->vsize < 8) return;
  if (h->primitive_label == 1) start_box(h, inner_edges);
  else if (h->primitive_label == 5 || h->primitive_label == 6 || h->primitive_label == 10)
    start_round_model(h);
  else
    return;
  compute_positions(h);
}
