// display.cpp -- draws the scene after every fitting step: the contour data of
// all models, and for the active model its mesh, its projections, the data
// forces, the surface vectors, the camera axes, the focal plane and the text
// panel, all in world coordinates.
//
// Reads the models' node positions and projections, their contour points and
// camera poses; the only model field it writes is each contour point's
// wposition (compute_data_position_wrt_world), from which the data are drawn.
//
// Start with compute_data_position_wrt_world.
#include "hybroid.h"

// wposition = camera_rotation position + camera_translation for every point
// of the model's faces; a face without a points array is skipped.
void compute_data_position_wrt_world(hybroid *h) {
  const double(*R)[3] = h->camera_rotation;
  const vector t = h->camera_translation;
  int faces = h->n_face < MAX_FACES ? h->n_face : MAX_FACES;
  for (int f = 0; f < faces; f++) {
    Face *fc = &h->face[f];
    if (!fc->points) continue;
    for (int i = 0; i < fc->n_points; i++) {
      vector p = fc->points[i].position;
      fc->points[i].wposition = {R[0][0] * p.x + R[0][1] * p.y + R[0][2] * p.z + t.x,
                                 R[1][0] * p.x + R[1][1] * p.y + R[1][2] * p.z + t.y,
                                 R[2][0] * p.x + R[2][1] * p.y + R[2][2] * p.z + t.z};
    }
  }
}
