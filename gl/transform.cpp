// transform.cpp -- the projection matrix, the viewing-matrix stack and
// clipping in homogeneous clip space.  Pure arithmetic: no X calls.
//
// Matrices follow the row-vector convention: a point is (x, y, z, 1) * M, the
// translation sits in row 3, and every transformation call premultiplies
// (M becomes T * M), so the transformation issued last acts on points first.
// A vertex reaches clip space as (v * viewing) * projection; draw.cpp clips
// segments there, before the perspective divide, so that a segment passing
// behind the eye never turns into a streak across the window.
//
// Start with gl_transform_point and gl_clip_segment.
#include <cmath>
#include <cstring>

#include "gl_internal.h"

gl_matrix_state gl_mat;

// Field of view limits of perspective, tenths of degrees.
static const int kMinFovy = 2;
static const int kMaxFovy = 1800;

static void set_identity(Matrix m) {
  memset(m, 0, sizeof(Matrix));
  for (int i = 0; i < 4; i++) m[i][i] = 1.0f;
}

static Matrix &current() { return gl_mat.stack[gl_mat.depth - 1]; }

void gl_reset_matrices() {
  gl_mat.mode = 0;
  set_identity(gl_mat.projection);
  gl_mat.depth = 1;
  set_identity(gl_mat.stack[0]);
  gl_mat.composite_valid = 0;
}

static void ensure_initialised() {
  if (gl_mat.depth == 0) gl_reset_matrices();
}

void gl_matrix_multiply(const Matrix a, const Matrix b, Matrix out) {
  for (int i = 0; i < 4; i++)
    for (int j = 0; j < 4; j++) {
      double s = 0.0;
      for (int k = 0; k < 4; k++) s += (double)a[i][k] * (double)b[k][j];
      out[i][j] = (float)s;
    }
}

// current = t * current.
static void premultiply(const Matrix t) {
  ensure_initialised();
  Matrix product;
  gl_matrix_multiply(t, current(), product);
  memcpy(current(), product, sizeof(Matrix));
  gl_mat.composite_valid = 0;
}

void gl_transform_point(double x, double y, double z, double clip[4]) {
  ensure_initialised();
  if (!gl_mat.composite_valid) {
    gl_matrix_multiply(current(), gl_mat.projection, gl_mat.composite);
    gl_mat.composite_valid = 1;
  }
  const Matrix &m = gl_mat.composite;
  for (int j = 0; j < 4; j++)
    clip[j] = x * m[0][j] + y * m[1][j] + z * m[2][j] + m[3][j];
}

void mmode(short mode) {
  ensure_initialised();
  gl_mat.mode = mode;
}

void perspective(Angle fovy, Coord aspect, Coord near_, Coord far_) {
  if (aspect == 0.0f || near_ == far_) return;  // no frustum: keep the old one
  ensure_initialised();
  int f = fovy < kMinFovy ? kMinFovy : (fovy > kMaxFovy ? kMaxFovy : fovy);
  // c = cot(fovy / 2), fovy in tenths of degrees
  double c = 1.0 / tan((f / 20.0) * M_PI / 180.0);
  double n = near_, fa = far_;
  Matrix &p = gl_mat.projection;
  memset(p, 0, sizeof(Matrix));
  p[0][0] = (float)(c / aspect);
  p[1][1] = (float)c;
  p[2][2] = (float)((fa + n) / (n - fa));  // z' = ((far + near) z + 2 far near) / (near - far)
  p[3][2] = (float)(2.0 * fa * n / (n - fa));
  p[2][3] = -1.0f;                         // w' = -z
  gl_mat.composite_valid = 0;
}

void ortho2(Coord left, Coord right, Coord bottom, Coord top) {
  if (left == right || bottom == top) return;
  ensure_initialised();
  double l = left, r = right, b = bottom, t = top;
  Matrix &p = gl_mat.projection;
  memset(p, 0, sizeof(Matrix));
  p[0][0] = (float)(2.0 / (r - l));  // x' = 2 (x - left) / (right - left) - 1
  p[3][0] = (float)(-(r + l) / (r - l));
  p[1][1] = (float)(2.0 / (t - b));
  p[3][1] = (float)(-(t + b) / (t - b));
  p[2][2] = -1.0f;
  p[3][3] = 1.0f;
  gl_mat.composite_valid = 0;
}

void loadmatrix(const Matrix m) {
  ensure_initialised();
  memcpy(current(), m, sizeof(Matrix));
  gl_mat.composite_valid = 0;
}

void pushmatrix() {
  ensure_initialised();
  if (gl_mat.depth >= GL_MATRIX_DEPTH) return;  // full: the push is lost
  memcpy(gl_mat.stack[gl_mat.depth], current(), sizeof(Matrix));
  gl_mat.depth++;
}

void popmatrix() {
  ensure_initialised();
  if (gl_mat.depth <= 1) return;
  gl_mat.depth--;
  gl_mat.composite_valid = 0;
}

void translate(Coord x, Coord y, Coord z) {
  Matrix t;
  set_identity(t);
  t[3][0] = x;
  t[3][1] = y;
  t[3][2] = z;
  premultiply(t);
}

// Right-handed rotation by a tenths of degrees about the z axis (axis 'z') or
// the x axis (axis 'x'), row-vector form: a positive angle about z takes the
// x axis towards the y axis.
static void rotation(double tenths, char axis, Matrix r) {
  double a = tenths * M_PI / 1800.0;
  double c = cos(a), s = sin(a);
  int i = axis == 'z' ? 0 : 1, j = axis == 'z' ? 1 : 2;
  set_identity(r);
  r[i][i] = (float)c;
  r[i][j] = (float)s;
  r[j][i] = (float)-s;
  r[j][j] = (float)c;
}

void polarview(Coord dist, Angle azim, Angle inc, Angle twist) {
  // Points are turned by -azim about z, then -inc about x, then -twist about
  // z, then moved -dist along z: with premultiplication the steps are issued
  // in the reverse order.
  Matrix m;
  translate(0.0f, 0.0f, -dist);
  rotation(-twist, 'z', m);
  premultiply(m);
  rotation(-inc, 'x', m);
  premultiply(m);
  rotation(-azim, 'z', m);
  premultiply(m);
}

// ---------------------------------------------------------------------------
// Clipping
// ---------------------------------------------------------------------------
// Signed distance of clip point c from plane k of the clip volume (inside
// where >= 0): w + x, w - x, w + y, w - y, w + z, w - z.
static double plane_distance(const double c[4], int k) {
  double s = (k & 1) ? -c[k / 2] : c[k / 2];
  return c[3] + s;
}

int gl_clip_inside(const double c[4]) {
  if (!(c[3] > 0.0)) return 0;
  for (int k = 0; k < 6; k++)
    if (!(plane_distance(c, k) >= 0.0)) return 0;
  return 1;
}

int gl_clip_segment(double a[4], double b[4]) {
  double t0 = 0.0, t1 = 1.0;  // the kept part a + t (b - a), t0 <= t <= t1
  for (int k = 0; k < 6; k++) {
    double da = plane_distance(a, k), db = plane_distance(b, k);
    if (da < 0.0 && db < 0.0) return 0;
    if (da < 0.0) t0 = fmax(t0, da / (da - db));
    if (db < 0.0) t1 = fmin(t1, da / (da - db));
    if (t0 > t1) return 0;
  }
  double na[4], nb[4];  // ends that were inside stay exactly as they were
  for (int j = 0; j < 4; j++) {
    na[j] = t0 > 0.0 ? a[j] + t0 * (b[j] - a[j]) : a[j];
    nb[j] = t1 < 1.0 ? a[j] + t1 * (b[j] - a[j]) : b[j];
  }
  // Both ends satisfy all six planes, so w >= |x|; w = 0 is the eye itself.
  if (!(na[3] > 0.0) || !(nb[3] > 0.0)) return 0;
  memcpy(a, na, sizeof na);
  memcpy(b, nb, sizeof nb);
  return 1;
}
