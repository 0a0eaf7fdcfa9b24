// dynamics.cpp -- where a model's nodes are and how it moves: node positions
// in the camera and world frames with their image-plane projections (own
// camera and the stereo partner's), and the rigid Euler step of translation
// and orientation.
//
// Reads a model's pose (translation, rotation), camera (camera_rotation,
// camera_translation, focal_length, perspective_flag) and each node's refer1
// + displ; writes the node fields posit .. proj_wrposit.  The rigid step reads
// net_applied_force / net_applied_torque (leaving the velocities in them) and
// the inverse damping coefficients, and writes translation, orientation and
// rotation.  Matrices are row-major and act on column vectors.
//
// Start with compute_positions, then compute_rotation.
#include <cmath>
#include <cstdio>

#include "hybroid.h"

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
void compute_positions(hybroid *h) {
  for (int i = 0; i < h->numnodes; i++) {
    node *n = &h->nodes[i];
    vector shape = {n->refer1.x + n->displ.x, n->refer1.y + n->displ.y,
                    n->refer1.z + n->displ.z};
    n->posit = transform(h->rotation, shape, h->translation);
  }
  compute_world_positions(h);
}

void compute_world_positions(hybroid *h) {
  for (int i = 0; i < h->numnodes; i++)
    h->nodes[i].wposit = transform(h->camera_rotation, h->nodes[i].posit, h->camera_translation);
}

// Perspective: the ray through the camera centre meets z = -f; a node on or
// behind the camera plane keeps its previous projection.  Orthographic: the
// node is dropped straight onto z = -f.
void compute_projected_positions(hybroid *h) {
  double f = h->focal_length;
  for (int i = 0; i < h->numnodes; i++) {
    node *n = &h->nodes[i];
    if (h->perspective_flag) {
      if (n->posit.z < 0.0) n->proj_posit = scaled(-f / n->posit.z, n->posit);
    } else {
      n->proj_posit = {n->posit.x, n->posit.y, -f};
    }
  }
  compute_world_projected_positions(h);
}

void compute_world_projected_positions(hybroid *h) {
  for (int i = 0; i < h->numnodes; i++)
    h->nodes[i].proj_wposit =
        transform(h->camera_rotation, h->nodes[i].proj_posit, h->camera_translation);
}

// The nodes seen from the stereo partner's camera (h_neigh), projected with
// this model's projection mode and the partner's focal length.  Every node on
// or behind the partner's camera plane is reported; one exactly on the plane
// has no projection and keeps its previous one.
void compute_projected_positions_right(hybroid *h) {
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
  compute_world_projected_positions_right(h);
}

void compute_world_projected_positions_right(hybroid *h) {
  const hybroid *hr = h->h_neigh;
  if (!hr) return;
  for (int i = 0; i < h->numnodes; i++)
    h->nodes[i].proj_wrposit =
        transform(hr->camera_rotation, h->nodes[i].proj_rposit, hr->camera_translation);
}

// ---------------------------------------------------------------------------
// Rigid motion
// ---------------------------------------------------------------------------

void bookkeep_trans_rot(hybroid *h) {
  h->orientation_pr = h->orientation;
  h->translation_pr = h->translation;
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) h->rotation_pr[r][c] = h->rotation[r][c];
}

// velocity = force * inverse damping (kept in net_applied_force);
// translation += dt * velocity
void compute_translation(hybroid *h) {
  vector &v = h->net_applied_force;
  v.x = v.x * h->c_inv_trans;
  v.y = v.y * h->c_inv_trans;
  v.z = v.z * h->c_inv_transz;
  h->translation.x += h->dt * v.x;
  h->translation.y += h->dt * v.y;
  h->translation.z += h->dt * v.z;
}

static double clamp_speed(double w) {
  if (w < -ANGULAR_SPEED_LIMIT) return -ANGULAR_SPEED_LIMIT;
  if (w > ANGULAR_SPEED_LIMIT) return ANGULAR_SPEED_LIMIT;
  return w;
}

void rotation_from_quaternion(quaternion q, double R[3][3]) {
  double w = q.w, x = q.v.x, y = q.v.y, z = q.v.z;
  R[0][0] = 1.0 - 2.0 * (y * y + z * z);
  R[0][1] = 2.0 * (x * y - w * z);
  R[0][2] = 2.0 * (x * z + w * y);
  R[1][0] = 2.0 * (x * y + w * z);
  R[1][1] = 1.0 - 2.0 * (x * x + z * z);
  R[1][2] = 2.0 * (y * z - w * x);
  R[2][0] = 2.0 * (x * z - w * y);
  R[2][1] = 2.0 * (y * z + w * x);
  R[2][2] = 1.0 - 2.0 * (x * x + y * y);
}

// dq (x) q with dq = (c, a): w' = c w - a.v, v' = c v + w a + a x v.
quaternion quaternion_left_multiply(double c, vector a, quaternion q) {
  vector v = q.v;
  quaternion r;
  r.w = c * q.w - (a.x * v.x + a.y * v.y + a.z * v.z);
  r.v.x = c * v.x + q.w * a.x + (a.y * v.z - a.z * v.y);
  r.v.y = c * v.y + q.w * a.y + (a.z * v.x - a.x * v.z);
  r.v.z = c * v.z + q.w * a.z + (a.x * v.y - a.y * v.x);
  return r;
}

// One Euler step of the orientation: angular velocity = torque * inverse
// damping, each component clamped to [-1, 1] (kept in net_applied_torque);
// the increment turns by |omega| dt about omega in the camera frame.
void compute_rotation(hybroid *h) {
  vector &om = h->net_applied_torque;
  om.x = clamp_speed(om.x * h->c_inv_rot);
  om.y = clamp_speed(om.y * h->c_inv_roty);
  om.z = clamp_speed(om.z * h->c_inv_rotz);

  double L = (double)(float)sqrt(om.x * om.x + om.y * om.y + om.z * om.z);
  double half = L * h->dt / 2.0;
  vector a = om;
  if (L != 0.0) a = scaled(sin(half) / L, om);

  quaternion q = quaternion_left_multiply(cos(half), a, h->orientation);
  double norm = sqrt(((q.w * q.w + q.v.x * q.v.x) + q.v.y * q.v.y) + q.v.z * q.v.z);
  // Only a broken input (a zero orientation, a NaN torque) gets here without
  // a positive finite norm; the pose is then left as it was.
  if (!(norm > 0.0) || !std::isfinite(norm)) return;
  q = {q.w / norm, {q.v.x / norm, q.v.y / norm, q.v.z / norm}};
  h->orientation = q;
  rotation_from_quaternion(q, h->rotation);
}

// Rz(yaw) Ry(pitch) Rx(roll)
void mat_from_rpy(double mat[3][3], double roll, double pitch, double yaw) {
  double sf = sin(roll), cf = cos(roll);
  double st = sin(pitch), ct = cos(pitch);
  double sp = sin(yaw), cp = cos(yaw);
  mat[0][0] = cp * ct;
  mat[0][1] = cp * st * sf - sp * cf;
  mat[0][2] = cp * st * cf + sp * sf;
  mat[1][0] = sp * ct;
  mat[1][1] = sp * st * sf + cp * cf;
  mat[1][2] = sp * st * cf - cp * sf;
  mat[2][0] = -st;
  mat[2][1] = ct * sf;
  mat[2][2] = ct * cf;
}
