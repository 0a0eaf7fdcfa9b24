// model_fixture.h -- small models for the tests, built without the parameter
// files: a mesh of any size, a shape, an identity pose and camera.
//
//   testmodel::Model m = testmodel::make_model(3, 4, shape);
//
// gives a model whose nodes carry refer, normal, refer1 (centre rule 4: the
// superquadric's origin), posit and wposit; refresh_model redoes that chain
// plus projections, tangents and camera-frame normals after a test changes
// the shape, pose or camera.  The model is released when m goes out of scope.
#ifndef HYBFIT_MODEL_FIXTURE_H
#define HYBFIT_MODEL_FIXTURE_H

#include <memory>
#include <vector>

#include "Mqmalloc.h"
#include "hybroid.h"

namespace testmodel {

struct Shape {
  double sc = 1.0, a1 = 1.0, a2 = 1.0, a3 = 1.0;
  double e1 = 1.0, e2 = 1.0;
  double tapx = 0.0, tapy = 0.0;
  double bend1 = 0.0, bend3 = 0.0;
};

struct ModelDeleter {
  void operator()(hybroid *h) const { free_hybroid(h); }
};
using Model = std::unique_ptr<hybroid, ModelDeleter>;

inline void set_identity(double m[3][3]) {
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) m[r][c] = r == c ? 1.0 : 0.0;
}

inline void set_shape(hybroid *h, const Shape &s) {
  h->sc = s.sc; h->a1 = s.a1; h->a2 = s.a2; h->a3 = s.a3;
  h->e1 = s.e1; h->e2 = s.e2;
  h->tapx = s.tapx; h->tapy = s.tapy;
  h->bend1 = s.bend1; h->bend3 = s.bend3;
}

// Geometry, centre, positions, projections, tangents and camera normals, in
// the order of one fitting step.
inline void refresh_model(hybroid *h) {
  compute_superquadric_taper_bend_normal(h);
  compute_superquadric_taper_bend_new_center(h);
  compute_positions(h);
  compute_projected_positions(h);
  compute_tangent(h);
  unrotate_normal(h);
}

// A model with a usize x vsize mesh of the given shape, centre rule 4,
// identity orientation and camera, zero translation, orthographic projection
// with focal length 1.
inline Model make_model(int usize, int vsize, const Shape &shape = Shape()) {
  Model m(hybroid_alloc());
  hybroid *h = m.get();
  h->usize = usize;
  h->vsize = vsize;
  allocate_hybroid(h);
  assemble_hybroid_rectangular_mesh(h);
  set_shape(h, shape);
  h->center = 4;
  h->orientation = {1.0, {0.0, 0.0, 0.0}};
  set_identity(h->rotation);
  set_identity(h->camera_rotation);
  h->camera_orientation = {1.0, {0.0, 0.0, 0.0}};
  h->focal_length = 1.0;
  refresh_model(h);
  return m;
}

// Grid node (row i, column j).
inline node &grid(hybroid *h, int i, int j) { return h->nodes[i * h->vsize + j]; }
inline node &south_pole(hybroid *h) { return h->nodes[h->numnodes - 2]; }
inline node &north_pole(hybroid *h) { return h->nodes[h->numnodes - 1]; }

// Gives face f the points at the given camera-frame positions (owned by the
// model, released by free_hybroid) and raises n_face to cover it.
inline void add_face_points(hybroid *h, int f, const std::vector<vector> &positions) {
  Face &face = h->face[f];
  face.n_points = (int)positions.size();
  face.points = (range_datapoint *)Mqcalloc_checked(positions.size(), sizeof(range_datapoint));
  for (size_t i = 0; i < positions.size(); i++) face.points[i].position = positions[i];
  if (h->n_face < f + 1) h->n_face = f + 1;
}

}  // namespace testmodel

#endif
