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

