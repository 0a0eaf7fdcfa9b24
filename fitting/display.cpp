// display.cpp -- draws the scene of one frame: the contour data of all
// models as small cubes, and for the active model its mesh, its projection
// onto the image plane (and into the stereo partner's camera), the surface
// vectors, the projection rays, the camera axes, the focal plane and the text
// panel.  Six display switches, toggled by keys, choose what is drawn.
//
// Everything is drawn in world coordinates under the viewing matrix that
// user() loaded for the frame.  It also converts a model's data points from
// camera to world coordinates.  Start with draw_fitting_hybroid.
#include "gl.h"
#include "hybroid.h"

namespace display {
//  switch                        start  key  when non-zero, draws
int debug_flag               = 1;  // D   the text panel
int draw_force_flag          = 1;  // F   1 fitted forces, 2 all forces
int draw_surface_vector_flag = 0;  // G   tangents and normals at the nodes
int draw_projected_mesh_flag = 1;  // J   the projected mesh(es)
int draw_axis_flag           = 1;  // A   the camera axes
int draw_projection_ray_flag = 1;  // R   projection rays and the focal plane
}  // namespace display

// Colour indices of the default colour map.
enum { BLACK = 0, RED = 1, GREEN = 2, YELLOW = 3, BLUE = 4, MAGENTA = 5, CYAN = 6, WHITE = 7 };

static const short mesh_line_width = 2;
static const double data_cube_half_size = 0.016;
static const double surface_vector_scale = 0.2;
static const double north_normal_scale = 0.4;
static const double camera_axis_length = 3.0;
static const int projection_ray_stride = 3;  // every third row and column

// Each key flips its switch once per press, however long it is held.
void toggle_display_attributes() {
  namespace d = display;
  if (keypressed(DEV_D)) d::debug_flag = 1 - d::debug_flag;
  if (keypressed(DEV_F)) d::draw_force_flag = (d::draw_force_flag + 1) % 3;
  if (keypressed(DEV_G)) d::draw_surface_vector_flag = 1 - d::draw_surface_vector_flag;
  if (keypressed(DEV_J)) d::draw_projected_mesh_flag = 1 - d::draw_projected_mesh_flag;
  if (keypressed(DEV_A)) d::draw_axis_flag = 1 - d::draw_axis_flag;
  if (keypressed(DEV_R)) d::draw_projection_ray_flag = 1 - d::draw_projection_ray_flag;
}

// ---------------------------------------------------------------------------
// Small drawing helpers
// ---------------------------------------------------------------------------

static vector add_scaled(vector p, double s, vector v) {
  return {p.x + s * v.x, p.y + s * v.y, p.z + s * v.z};
}

// mat * v + tr: a camera-frame point taken to the world.
static vector to_world(const double mat[3][3], vector v, vector tr) {
  return {mat[0][0] * v.x + mat[0][1] * v.y + mat[0][2] * v.z + tr.x,
          mat[1][0] * v.x + mat[1][1] * v.y + mat[1][2] * v.z + tr.y,
          mat[2][0] * v.x + mat[2][1] * v.y + mat[2][2] * v.z + tr.z};
}

static void move_to(vector p) { move((Coord)p.x, (Coord)p.y, (Coord)p.z); }
static void draw_to(vector p) { draw((Coord)p.x, (Coord)p.y, (Coord)p.z); }

static void vertex(vector p) {
  double v[3] = {p.x, p.y, p.z};
  v3d(v);
}

void draw_vector(vector v, vector p, double s, int vector_color) {
  long old = getcolor();
  color((Colorindex)vector_color);
  move_to(p);
  draw_to(add_scaled(p, s, v));
  color((Colorindex)old);
}

void draw_cube_p(vector p, double size) {
  double lo[3] = {p.x - size, p.y - size, p.z - size};
  double hi[3] = {p.x + size, p.y + size, p.z + size};
  // Corner k has x from bit 0, y from bit 1, z from bit 2 of k.
  auto corner = [&](int k) {
    return vector{(k & 1) ? hi[0] : lo[0], (k & 2) ? hi[1] : lo[1], (k & 4) ? hi[2] : lo[2]};
  };
  for (int k = 0; k < 8; k++)
    for (int bit = 1; bit < 8; bit <<= 1)
      if (!(k & bit)) {  // each edge once, from its lower corner
        move_to(corner(k));
        draw_to(corner(k | bit));
      }
}

// Rings of every row, then meridians from the south pole to the north pole,
// through the node positions held in field.
static void draw_mesh_wireframe(hybroid *h, vector node::*field) {
  if (!h->nodes) return;
  for (int u = 0; u < h->usize; u++) {
    bgnclosedline();
    for (int v = 0; v < h->vsize; v++) vertex(h->nodes[u * h->vsize + v].*field);
    endclosedline();
  }
  for (int v = 0; v < h->vsize; v++) {
    bgnline();
    vertex(h->nodes[h->numnodes - 2].*field);
    for (int u = 0; u < h->usize; u++) vertex(h->nodes[u * h->vsize + v].*field);
    vertex(h->nodes[h->numnodes - 1].*field);
    endline();
  }
}

// ---------------------------------------------------------------------------
// Data points
// ---------------------------------------------------------------------------

void compute_data_position_wrt_world(hybroid *h) {
  for (int f = 0; f < h->n_face && f < MAX_FACES; f++) {
    Face &face = h->face[f];
    if (!face.points) continue;
    for (int j = 0; j < face.n_points; j++)
      face.points[j].wposition = to_world(h->camera_rotation, face.points[j].position,
                                          h->camera_translation);
  }
}

void display_range_data_cube_wrt_world(range_datapoint *data, int num_data_points) {
  color(GREEN);
  for (int j = 0; j < num_data_points; j++) draw_cube_p(data[j].wposition, data_cube_half_size);
}

void display_range_data_hybroid_2D(hybroid *h) {
  color(GREEN);
  for (int f = 0; f < h->n_face && f < MAX_FACES; f++)
    if (h->face[f].points) display_range_data_cube_wrt_world(h->face[f].points, h->face[f].n_points);
}

void display_range_data_hybroid_2Ds(hybroid **hs, int num) {
  for (int i = 0; i < num; i++) display_range_data_hybroid_2D(hs[i]);
}

// ---------------------------------------------------------------------------
// The active model's layers
// ---------------------------------------------------------------------------

void display_perspective_projection(hybroid *h) {
  color(CYAN);
  if (!h->nodes) return;
  for (int u = 0; u < h->usize; u += projection_ray_stride)
    for (int v = 0; v < h->vsize; v += projection_ray_stride) {
      move_to(h->nodes[u * h->vsize + v].wposit);
      draw_to(h->camera_translation);
    }
}

void draw_transformed_xyz_axes(vector tr, double mat[3][3], double size) {
  static const int axis_colors[3] = {RED, GREEN, BLUE};
  long old = getcolor();
  for (int k = 0; k < 3; k++) {
    vector column = {mat[0][k], mat[1][k], mat[2][k]};
    color(axis_colors[k]);
    move_to(tr);
    draw_to(add_scaled(tr, size, column));
  }
  color((Colorindex)old);
}

// The image-plane rectangle one focal length in front of the camera, and the
// four rays from the camera centre to its corners.
void draw_transformed_focal_plane(vector tr, double mat[3][3], double focal, double size) {
  double half = size / 2;
  auto corner = [&](double sx, double sy) {
    return to_world(mat, vector{sx * half, sy * half, -focal}, tr);
  };
  vector top_left = corner(-1, +1), bottom_left = corner(-1, -1);
  vector bottom_right = corner(+1, -1), top_right = corner(+1, +1);
  long old = getcolor();
  color(MAGENTA);
  move_to(top_left);
  draw_to(bottom_left);
  move_to(tr);
  draw_to(bottom_left);
  draw_to(bottom_right);
  move_to(tr);
  draw_to(bottom_right);
  draw_to(top_right);
  move_to(tr);
  draw_to(top_right);
  draw_to(top_left);
  move_to(tr);
  draw_to(top_left);
  color((Colorindex)old);
}

static void draw_projected_meshes(hybroid *h) {
  color(YELLOW);
  linewidth(mesh_line_width);
  draw_mesh_wireframe(h, &node::proj_wposit);
  if (h->h_neigh) {
    compute_projected_positions_right(h);
    linewidth(mesh_line_width);
    draw_mesh_wireframe(h, &node::proj_wrposit);
  }
}

static void draw_surface_vectors(hybroid *h) {
  int grid = h->numnodes - 2;
  if (!h->nodes || grid < 0) return;
  for (int i = 0; i < grid; i++) draw_vector(h->nodes[i].dXdu, h->nodes[i].wposit, surface_vector_scale, GREEN);
  for (int i = 0; i < grid; i++) draw_vector(h->nodes[i].dXdv, h->nodes[i].wposit, surface_vector_scale, BLUE);
  for (int i = 0; i <= grid; i++) draw_vector(h->nodes[i].normal, h->nodes[i].wposit, surface_vector_scale, RED);
  node &north = h->nodes[h->numnodes - 1];
  draw_vector(north.normal, north.wposit, north_normal_scale, YELLOW);
}

void draw_fitting_hybroid(hybroid *h) {
  namespace d = display;
  color(WHITE);
  linewidth(mesh_line_width);
  draw_mesh_wireframe(h, &node::wposit);
  if (d::draw_projected_mesh_flag) draw_projected_meshes(h);
  if (d::draw_force_flag == 1) draw_force(h, h->df_mask);
  if (d::draw_force_flag == 2) draw_force(h, 0xffff);
  if (d::draw_surface_vector_flag) draw_surface_vectors(h);
  if (d::draw_projection_ray_flag) display_perspective_projection(h);
  if (d::draw_axis_flag) draw_transformed_xyz_axes(h->camera_translation, h->camera_rotation, camera_axis_length);
  if (d::draw_projection_ray_flag)
    draw_transformed_focal_plane(h->camera_translation, h->camera_rotation, h->focal_length,
                                 h->x_dim * h->x_scale);
  if (d::debug_flag) display_hybroid_info(h);
}
