// synth.cpp -- synthetic contour data of a known model: the hybsynth tool, the
// tests and the accuracy benchmark make their dump files here.
//
// A synth_scene is one true model (label, shape, pose) in front of a camera
// (orthographic, perspective, or a stereo pair placed as the run loop places
// it).  make_synth_view evaluates the true surface with the program's own
// geometry, compute_superquadric_node_taper_bend_normal, at any latitude and
// longitude (no mesh is involved), traces the contours that the label's face
// layout expects (see "Where the contours lie" below), projects them into the
// 256 x 256 image, resamples them at the requested spacing and adds seeded
// Gaussian noise into a synth_view.  write_synth_dump writes a synth_view as
// a contour dump file with the true values in its comment lines.
//
// Start with make_synth_view; parse_synth_command_line reads the options.
#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "Mqmalloc.h"
#include "synth.h"

// ---------------------------------------------------------------------------
// Where the contours lie.  The fit pulls a rim curve onto one row of its
// mesh, u_offset or usize - u_offset - 1, and an edge onto one column
// q(k) = vsize * k / 8, so the data must be the true surface at that same
// latitude and longitude: rows sit at latitude -pi/2 + (row + 1) pi/(usize + 1)
// and columns at longitude -pi + column 2 pi / vsize of the fitting mesh
// (mesh_usize, mesh_vsize; +-pi/4 and multiples of pi/4 whenever usize + 1 is
// a multiple of 4 and vsize one of 8, as in the bundled parameter file).
// Only what the camera sees is written: the model is convex, so a point is
// seen where its true surface normal faces the camera.
//   Labels 5, 6, 10: face 0 the seen arc of the upper rim ring (all of it
//   when the whole ring faces the camera), written when the top of the axis
//   faces the camera; face 1 a loop round the side: curve 0 the seen arc of
//   the lower rim, curve 1 one occluding contour (the points between the rims
//   whose normal is perpendicular to the line of sight), curve 2 the seen arc
//   of the upper rim, curve 3 the other occluding contour, anticlockwise in
//   the image, each left out (first index -1) where it is not seen; face 2
//   the lower rim like face 0.  In a view close to the axis the occluding
//   contours exist only over part of the side, or not at all.
//   Label 1: faces 0 (+y side, between the columns q(5) and q(7)), 1 (+x side,
//   between q(3) and q(5)) and 4 (top), each with its four edges in the order
//   of the region table, when the face faces the camera; faces 2 and 3 are
//   always written as not seen.
// A face the camera does not see is written with -1 points.
//
// Pose.  The scene's translation and rotation place the superquadric's own
// origin.  The fitted model's translation is that of its centre point (the
// rule the model initialisation picks from the seen faces), so each view
// also carries fit_translation = R C + T: what a perfect fit reports.
// ---------------------------------------------------------------------------

// Image constants of the run loop: 0.05 camera units per pixel, optical axis
// at pixel (128, 128), 256 rows.
static const double PIXEL_SIZE = 0.05;
static const double IMAGE_CENTER = 128.0;
static const int IMAGE_DIM = 256;
static const double DEGREE = 0.017453292519943295;  // pi / 180
static const double PI = 3.141592653589793;

// Stereo cameras: display_scale = base_line / 12.8 * 0.85; the right camera
// sits 0.2 below the left.
static const double STEREO_SCALE_WIDTH = 12.8;
static const double STEREO_SCALE_FACTOR = 0.85;
static const double RIGHT_CAMERA_DROP = -0.2;

// Sampling of the true surface.
static const int RING_SAMPLES = 1440;        // dense samples of a whole ring
static const int SILHOUETTE_ROWS = 160;      // latitudes between the two rims
static const int SILHOUETTE_SCAN = 180;      // longitudes scanned for a sign change
static const int BISECTION_STEPS = 44;       // halvings of a root's bracket
static const double NORMAL_STEP = 1e-6;      // radians, central differences
static const double AXIS_STEP = 1e-4;        // sin u step along the axis at a pole

// ---------------------------------------------------------------------------
// Scene and options
// ---------------------------------------------------------------------------

static void set_identity(double m[3][3]) {
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) m[r][c] = r == c ? 1.0 : 0.0;
}

void init_synth_scene(synth_scene *s) {
  memset(s, 0, sizeof *s);
  s->label = 5;
  s->shape = {2.0, 1.0, 1.0, 1.0, 1.0, 1.0, 0.0, 0.0, 0.0, 0.0};
  set_identity(s->rotation);
  s->focal_length = 0.1;
  s->base_line = 250.0;
  s->seed = 1;
  s->spacing = 2.0;
  s->mesh_usize = 15;
  s->mesh_vsize = 16;
  s->label_size = IMAGE_DIM;
  s->label_gap = 0;
}

void print_synth_usage(FILE *fp, const char *prog) {
  fprintf(fp,
          "usage: %s [options] -o file.dump\n"
          "Writes the contour dump file of a known model for hybfit.\n"
          " -l label      primitive label: 1, 5, 6 or 10 (5)\n"
          " -S sc,a1,a2,a3,e1,e2,tapx,tapy,bend1,bend3\n"
          "               true shape; values left out keep (2,1,1,1,1,1,0,0,0,0)\n"
          " -T x,y,z      translation of the model's own origin (0,0,-f; 0,0,-2f with -p)\n"
          " -R r,p,y      rotation: roll, pitch, yaw in degrees, Rz(y) Ry(p) Rx(r) (0,0,0)\n"
          " -A x,y,z,a    rotation about the axis (x,y,z) by a degrees, instead of -R\n"
          " -p            perspective projection (orthographic)\n"
          " -f focal      focal length (0.1)\n"
          " -s            stereo pair: -o names the left view, -O the right;\n"
          "               -T and -R are then given in the world frame\n"
          " -b base_line  stereo base line (250)\n"
          " -v angle      stereo vergence angle, radians (0)\n"
          " -e angle      stereo elevation angle, radians (0)\n"
          " -t theta      image rotation in degrees, the answer to \"Enter theta = \" (0)\n"
          " -n sigma      Gaussian pixel noise, standard deviation in pixels (0)\n"
          " -r seed       seed of the noise (1)\n"
          " -d spacing    pixels between neighbouring contour points (2)\n"
          " -m usize,vsize  mesh of the fitting model: rims and edges lie on its\n"
          "               rows and columns (15,16)\n"
          " -o file       dump file to write (the left view with -s)\n"
          " -O file       dump file of the right view (with -s)\n"
          " --label-image file.png        the true model's face-label image (the\n"
          "               left view with -s): value face + 1, 0 background\n"
          " --label-image-right file.png  that of the right view (with -s)\n"
          " --label-size n  width and height of the label images, pixels (256)\n"
          " --label-gap n   background n pixels wide (1 or 2) between adjoining\n"
          "               faces of the label images, as annotation tools leave (0)\n"
          " --bound       instead of files, print how precisely each view's data\n"
          "               (noise -n) can determine the model at best\n"
          " -h            this text\n"
          "e.g. %s -l 5 -S 2,1.2,1.2,1.6,1,1 -R -30,0,30 -T -1.5,1,-0.1 -o ell5.dump\n",
          prog, prog);
}

// Converts a whole argument to a finite double.
static int parse_number(const char *text, double *value) {
  char *end;
  double v = strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v)) return 0;
  *value = v;
  return 1;
}

// Reads a comma-separated list of at least min and at most max numbers into
// values; returns how many were read, or -1 on a malformed list.
static int parse_list(const char *text, double *values, int min, int max) {
  char buf[512];
  if (strlen(text) >= sizeof buf) return -1;
  strcpy(buf, text);
  int n = 0;
  char *item = buf;
  for (;;) {
    char *comma = strchr(item, ',');
    if (comma) *comma = '\0';
    if (n == max || !parse_number(item, &values[n])) return -1;
    n++;
    if (!comma) break;
    item = comma + 1;
  }
  return n >= min ? n : -1;
}

// Rotation about a unit axis by an angle (Rodrigues' formula).
static void rotation_about_axis(const double axis[3], double angle, double m[3][3]) {
  double len = sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
  double k[3] = {axis[0] / len, axis[1] / len, axis[2] / len};
  double c = cos(angle), s = sin(angle), t = 1.0 - c;
  m[0][0] = c + k[0] * k[0] * t;
  m[0][1] = k[0] * k[1] * t - k[2] * s;
  m[0][2] = k[0] * k[2] * t + k[1] * s;
  m[1][0] = k[1] * k[0] * t + k[2] * s;
  m[1][1] = c + k[1] * k[1] * t;
  m[1][2] = k[1] * k[2] * t - k[0] * s;
  m[2][0] = k[2] * k[0] * t - k[1] * s;
  m[2][1] = k[2] * k[1] * t + k[0] * s;
  m[2][2] = c + k[2] * k[2] * t;
}

static int fail(char *err, const char *fmt, const char *what) {
  snprintf(err, SYNTH_ERROR_SIZE, fmt, what);
  return 1;
}

// Options whose value is a list of numbers (or a label): 0 when applied,
// 1 with err filled when the value is bad, -1 when opt is not one of them.
static int apply_list_option(synth_scene *s, char opt, const char *val, char *err) {
  double v[10];
  switch (opt) {
    case 'l':
      if (!parse_number(val, &v[0]) ||
          (v[0] != 1.0 && v[0] != 5.0 && v[0] != 6.0 && v[0] != 10.0))
        return fail(err, "-l %s: the label must be 1, 5, 6 or 10", val);
      s->label = (int)v[0];
      return 0;
    case 'S': {
      int n = parse_list(val, v, 1, 10);
      if (n < 0) return fail(err, "-S %s: give 1 to 10 numbers separated by commas", val);
      double *dst[10] = {&s->shape.sc, &s->shape.a1, &s->shape.a2, &s->shape.a3, &s->shape.e1,
                         &s->shape.e2, &s->shape.tapx, &s->shape.tapy, &s->shape.bend1,
                         &s->shape.bend3};
      for (int i = 0; i < n; i++) *dst[i] = v[i];
      return 0;
    }
    case 'T':
      if (parse_list(val, v, 3, 3) < 0) return fail(err, "-T %s: give x,y,z", val);
      s->translation = {v[0], v[1], v[2]};
      s->translation_given = 1;
      return 0;
    case 'R':
      if (parse_list(val, v, 3, 3) < 0) return fail(err, "-R %s: give roll,pitch,yaw", val);
      mat_from_rpy(s->rotation, v[0] * DEGREE, v[1] * DEGREE, v[2] * DEGREE);
      return 0;
    case 'A':
      if (parse_list(val, v, 4, 4) < 0 || (v[0] == 0.0 && v[1] == 0.0 && v[2] == 0.0))
        return fail(err, "-A %s: give a non-zero axis x,y,z and an angle", val);
      rotation_about_axis(v, v[3] * DEGREE, s->rotation);
      return 0;
    case 'm':
      if (parse_list(val, v, 2, 2) < 0 || !(v[0] >= 3 && v[0] <= 1000) ||
          !(v[1] >= 8 && v[1] <= 1000) || v[0] != floor(v[0]) || v[1] != floor(v[1]))
        return fail(err, "-m %s: give usize,vsize, at least 3 and 8 and at most 1000", val);
      s->mesh_usize = (int)v[0];
      s->mesh_vsize = (int)v[1];
      return 0;
  }
  return -1;
}

// Options whose value is one number: 0 when applied, 1 with err filled.
static int apply_number_option(synth_scene *s, char opt, const char *val, char *err) {
  double v;
  if (!parse_number(val, &v)) {
    snprintf(err, SYNTH_ERROR_SIZE, "-%c %s: not a number", opt, val);
    return 1;
  }
  switch (opt) {
    case 'f': s->focal_length = v; break;
    case 'b': s->base_line = v; break;
    case 'v': s->verge_angle = v; break;
    case 'e': s->elev_angle = v; break;
    case 't': s->theta_deg = v; break;
    case 'n': s->noise = v; break;
    case 'd': s->spacing = v; break;
    case 'r':
      if (!(v >= 0 && v <= 4294967295.0) || v != floor(v))
        return fail(err, "-r %s: the seed is a whole number, at least 0", val);
      s->seed = (unsigned long)v;
      break;
  }
  return 0;
}

// Applies one option with its value (null for a flag); returns 0 when it is
// good, 1 with err filled when not.
static int apply_synth_option(synth_scene *s, char opt, const char *val, char *err) {
  switch (opt) {
    case 'p': s->perspective_flag = 1; return 0;
    case 's': s->stereo_flag = 1; return 0;
    case 'o': s->output[0] = val; return 0;
    case 'O': s->output[1] = val; return 0;
  }
  int rc = apply_list_option(s, opt, val, err);
  return rc >= 0 ? rc : apply_number_option(s, opt, val, err);
}

// Checks the values that the geometry and the camera need.
static int check_synth_scene(const synth_scene *s, char *err) {
  const synth_shape &p = s->shape;
  if (!(p.sc > 0 && p.a1 > 0 && p.a2 > 0 && p.a3 > 0))
    return fail(err, "%s: sc, a1, a2 and a3 must be positive", "-S");
  if (!(p.e1 >= 0.05 && p.e1 <= 4 && p.e2 >= 0.05 && p.e2 <= 4))
    return fail(err, "%s: e1 and e2 must lie between 0.05 and 4", "-S");
  if (!(fabs(p.tapx) < 1 && fabs(p.tapy) < 1))
    return fail(err, "%s: tapx and tapy must lie strictly between -1 and 1", "-S");
  if (!(fabs(p.bend1) <= 1)) return fail(err, "%s: bend1 must lie between -1 and 1", "-S");
  if (!(s->focal_length > 0)) return fail(err, "%s: the focal length must be positive", "-f");
  if (!(s->noise >= 0)) return fail(err, "%s: the noise must be at least 0", "-n");
  if (!(s->spacing >= 0.1)) return fail(err, "%s: the spacing must be at least 0.1 pixel", "-d");
  if (s->stereo_flag && !(s->base_line > 0))
    return fail(err, "%s: the base line must be positive", "-b");
  if (!s->output[0] && !s->label_image[0] && !s->bound) return fail(err, "%s: no output file", "-o");
  if (s->stereo_flag && s->output[0] && !s->output[1])
    return fail(err, "%s: a stereo pair needs -O", "-s");
  if (!s->stereo_flag && s->label_image[1])
    return fail(err, "%s needs -s", "--label-image-right");
  if (!s->stereo_flag && s->output[1]) return fail(err, "%s: -O needs -s", "-O");
  return 0;
}

// The long options, all with a value: 0 when applied, 1 with err filled,
// -1 when a is not one of them.
static int apply_long_option(synth_scene *s, const char *a, const char *val, char *err) {
  if (strcmp(a, "--label-image") && strcmp(a, "--label-image-right") &&
      strcmp(a, "--label-size") && strcmp(a, "--label-gap"))
    return -1;
  if (!val) return fail(err, "%s needs a value", a);
  if (strcmp(a, "--label-image") == 0) {
    s->label_image[0] = val;
  } else if (strcmp(a, "--label-image-right") == 0) {
    s->label_image[1] = val;
  } else if (strcmp(a, "--label-gap") == 0) {
    double v;
    if (!parse_number(val, &v) || (v != 0 && v != 1 && v != 2))
      return fail(err, "--label-gap %s: give 0, 1 or 2", val);
    s->label_gap = (int)v;
  } else {
    double v;
    if (!parse_number(val, &v) || v != floor(v) || v < 16 || v > 8192)
      return fail(err, "--label-size %s: give a whole number from 16 to 8192", val);
    s->label_size = (int)v;
  }
  return 0;
}

int parse_synth_command_line(int argc, char **argv, synth_scene *s, char *err) {
  static const char flags[] = "ps";
  static const char valued[] = "lSTRAfbvetnrdmoO";
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (strcmp(a, "--bound") == 0) {
      s->bound = 1;
      continue;
    }
    if (a[0] == '-' && a[1] == '-') {
      int rc = apply_long_option(s, a, i + 1 < argc ? argv[i + 1] : nullptr, err);
      if (rc < 0) return fail(err, "%s: unknown option", a);
      if (rc > 0) return 1;
      i++;
      continue;
    }
    if (a[0] != '-' || a[1] == '\0' || a[2] != '\0')
      return fail(err, "%s: not an option", a);
    if (a[1] == 'h') return 2;
    if (strchr(flags, a[1])) {
      apply_synth_option(s, a[1], nullptr, err);
    } else if (strchr(valued, a[1])) {
      if (i + 1 >= argc) return fail(err, "%s needs a value", a);
      if (apply_synth_option(s, a[1], argv[++i], err)) return 1;
    } else {
      return fail(err, "%s: unknown option", a);
    }
  }
  if (!s->translation_given)
    s->translation = {0.0, 0.0, (s->perspective_flag ? -2.0 : -1.0) * s->focal_length};
  return check_synth_scene(s, err);
}

// ---------------------------------------------------------------------------
// Cameras and the image
// ---------------------------------------------------------------------------

// The camera of a view in the world frame, as the run loop sets it up: the
// identity without stereo; with stereo the left (view 0) and right (view 1)
// cameras turned by elevation and vergence and moved by half the base line
// over display_scale.
void synth_camera_frame(const synth_scene *s, int view, double rot[3][3], vector *tr) {
  set_identity(rot);
  *tr = {0.0, 0.0, 0.0};
  if (!s->stereo_flag) return;
  double display_scale = s->base_line / STEREO_SCALE_WIDTH * STEREO_SCALE_FACTOR;
  double sign = view == 0 ? -1.0 : 1.0;
  mat_from_rpy(rot, sign * s->elev_angle, sign * s->verge_angle, 0.0);
  tr->x = sign * s->base_line / 2.0 / display_scale;
  if (view == 1) tr->y = RIGHT_CAMERA_DROP;
}

// Inverse of the dump reader's conversion: the camera-frame image point
// (x, y), rotated by theta when read, comes from pixel (row, col).
void synth_pixel_from_image_point(double x, double y, double theta, double *row,
                                  double *col) {
  double xr = cos(theta) * x - sin(theta) * y;  // undo x' = cos x + sin y
  double yr = sin(theta) * x + cos(theta) * y;  // undo y' = -sin x + cos y
  *col = xr / PIXEL_SIZE + IMAGE_CENTER;
  *row = IMAGE_DIM - (yr / PIXEL_SIZE + IMAGE_CENTER);
}

// ---------------------------------------------------------------------------
// The true model seen from one camera
// ---------------------------------------------------------------------------

namespace {
struct point2 {
  double x, y;  // camera frame, on the image plane
};

struct true_view {
  hybroid *h;          // shape only: the geometry's scratch record
  node scratch;        // the node the geometry is evaluated at
  double r1, r2, r3;
  double R[3][3];      // model frame to this camera's frame
  vector T;            // model origin in this camera's frame
  int perspective_flag;
  double f;
  int behind;          // set when a perspective point is not in front of the camera
};
}  // namespace

static vector rotate(const double M[3][3], vector v) {
  return {M[0][0] * v.x + M[0][1] * v.y + M[0][2] * v.z,
          M[1][0] * v.x + M[1][1] * v.y + M[1][2] * v.z,
          M[2][0] * v.x + M[2][1] * v.y + M[2][2] * v.z};
}

static vector rotate_transposed(const double M[3][3], vector v) {
  return {M[0][0] * v.x + M[1][0] * v.y + M[2][0] * v.z,
          M[0][1] * v.x + M[1][1] * v.y + M[2][1] * v.z,
          M[0][2] * v.x + M[1][2] * v.y + M[2][2] * v.z};
}

static vector minus(vector a, vector b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }

static vector unit(vector w) {
  double len = sqrt(w.x * w.x + w.y * w.y + w.z * w.z);
  if (!(len > 0.0)) return {0.0, 0.0, 0.0};
  return {w.x / len, w.y / len, w.z / len};
}

static vector cross(vector a, vector b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

static double dot(vector a, vector b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// Model-frame point of the true surface for the given sines and cosines.
static vector model_point_sc(true_view *m, double su, double cu, double sv, double cv) {
  node *n = &m->scratch;
  n->sinu = su;
  n->cosu = cu;
  n->sinv = sv;
  n->cosv = cv;
  compute_superquadric_node_taper_bend_normal(m->h, n, m->r1, m->r2, m->r3, m->h->e1, m->h->e2, 0);
  return n->refer;
}

static vector model_point(true_view *m, double u, double v) {
  return model_point_sc(m, sin(u), cos(u), sin(v), cos(v));
}

static vector camera_point(true_view *m, vector model) {
  vector p = rotate(m->R, model);
  return {p.x + m->T.x, p.y + m->T.y, p.z + m->T.z};
}

// Where a camera-frame point lies on the image plane.
static point2 image_point(true_view *m, vector p) {
  if (!m->perspective_flag) return {p.x, p.y};
  if (!(p.z < 0.0)) {
    m->behind = 1;
    return {0.0, 0.0};
  }
  double s = -m->f / p.z;
  return {s * p.x, s * p.y};
}

static point2 surface_image(true_view *m, double u, double v) {
  return image_point(m, camera_point(m, model_point(m, u, v)));
}

// Camera-frame unit outward normal of the true (tapered and bent) surface,
// from central differences: (dX/dv x dX/du) points outwards.
static vector camera_normal(true_view *m, double u, double v) {
  vector du = unit(minus(model_point(m, u + NORMAL_STEP, v), model_point(m, u - NORMAL_STEP, v)));
  vector dv = unit(minus(model_point(m, u, v + NORMAL_STEP), model_point(m, u, v - NORMAL_STEP)));
  return unit(rotate(m->R, cross(dv, du)));
}

// Direction from a camera-frame point towards the camera.
static vector toward_camera(const true_view *m, vector p) {
  if (!m->perspective_flag) return {0.0, 0.0, 1.0};
  return unit({-p.x, -p.y, -p.z});
}

// Positive where the surface faces the camera, zero on its occluding contour.
static double facing(true_view *m, double u, double v) {
  vector p = camera_point(m, model_point(m, u, v));
  return dot(camera_normal(m, u, v), toward_camera(m, p));
}

// Whether the end of the axis at the north (pole = 1) or south (pole = -1)
// pole faces the camera; the axis tangent there comes from two axis points
// (cos u = 0), so bending is taken into account.
static bool pole_faces_camera(true_view *m, int pole) {
  vector end = model_point_sc(m, pole, 0.0, 0.0, 1.0);
  vector near = model_point_sc(m, pole * (1.0 - AXIS_STEP), 0.0, 0.0, 1.0);
  vector outward = unit(rotate(m->R, minus(end, near)));
  return dot(outward, toward_camera(m, camera_point(m, end))) > 0.0;
}

// ---------------------------------------------------------------------------
// Rows and columns of the fitting mesh
// ---------------------------------------------------------------------------

namespace {
struct mesh_angles {
  double lat_top, lat_bottom;  // rows usize - u_offset - 1 and u_offset
  int usize, vsize;
};
}  // namespace

// Latitude of a row, by the mesh's own repeated addition of its row step.
static double row_latitude(int usize, int row) {
  double step = PI / (usize + 1);
  double u = -PI / 2 + step;
  for (int i = 0; i < row; i++) u += step;
  return u;
}

// Longitude of a column, by repeated addition of the column step.
static double column_longitude(int vsize, int column) {
  double step = 2 * PI / vsize;
  double v = -PI;
  for (int j = 0; j < column; j++) v += step;
  return v;
}

// Longitude of q(k) = vsize * k / 8 (integer, truncated toward zero); q(-1)
// lies one eighth of a turn before -pi.
static double eighth_longitude(int vsize, int k) {
  int q = vsize * k / 8;
  if (q < 0) return column_longitude(vsize, q + vsize) - 2 * PI;
  return column_longitude(vsize, q);
}

static mesh_angles fitting_mesh_angles(const synth_scene *s) {
  int u_offset = (s->mesh_usize + 1) / 4 - 1;
  mesh_angles a;
  a.usize = s->mesh_usize;
  a.vsize = s->mesh_vsize;
  a.lat_top = row_latitude(s->mesh_usize, s->mesh_usize - u_offset - 1);
  a.lat_bottom = row_latitude(s->mesh_usize, u_offset);
  return a;
}

// ---------------------------------------------------------------------------
// Curves: dense image polylines, resampled at the requested spacing
// ---------------------------------------------------------------------------

typedef std::vector<point2> polyline;

// The arc of latitude u from longitude v0 to v1 (either direction).
static polyline trace_ring(true_view *m, double u, double v0, double v1) {
  int n = (int)ceil(RING_SAMPLES * fabs(v1 - v0) / (2 * PI));
  if (n < 8) n = 8;
  polyline p;
  for (int k = 0; k <= n; k++) p.push_back(surface_image(m, u, v0 + (v1 - v0) * k / n));
  return p;
}

// The meridian of longitude v from latitude u0 to u1.
static polyline trace_meridian(true_view *m, double v, double u0, double u1) {
  int n = RING_SAMPLES / 4;
  polyline p;
  for (int k = 0; k <= n; k++) p.push_back(surface_image(m, u0 + (u1 - u0) * k / n, v));
  return p;
}

// Root of facing(u, .) between lo and hi, where the sign of facing at lo is
// the opposite of that at hi (rising: non-positive at lo).
static double bisect_contour(true_view *m, double u, double lo, double hi, bool rising) {
  for (int i = 0; i < BISECTION_STEPS; i++) {
    double mid = 0.5 * (lo + hi);
    bool positive = facing(m, u, mid) > 0.0;
    if (positive == rising) hi = mid;
    else lo = mid;
  }
  return 0.5 * (lo + hi);
}

namespace {
// The part of one latitude that faces the camera.
enum { ARC_NONE, ARC_PART, ARC_WHOLE };
struct facing_arc {
  int kind;           // ARC_NONE, ARC_PART or ARC_WHOLE
  double rise, fall;  // ARC_PART: from rise up to fall (> rise), longitudes
};

struct contour_rows {
  std::vector<double> u, rise, fall;  // per latitude, from the lower rim up
};
}  // namespace

// Scans latitude u for the longitudes where the surface turns from facing
// away to facing the camera (rise) and back (fall).  A latitude that faces the
// camera in more than one arc (a concave cross-section) counts as none.
static facing_arc find_facing_arc(true_view *m, double u) {
  int n_rise = 0, n_fall = 0;
  bool any_away = false;
  double rise = 0.0, fall = 0.0;
  double step = 2 * PI / SILHOUETTE_SCAN;
  double v_prev = -PI;
  bool pos_prev = facing(m, u, v_prev) > 0.0;
  for (int i = 1; i <= SILHOUETTE_SCAN; i++) {
    double v = -PI + i * step;
    bool pos = facing(m, u, v) > 0.0;
    any_away = any_away || !pos;
    if (pos && !pos_prev) {
      rise = bisect_contour(m, u, v_prev, v, true);
      n_rise++;
    } else if (!pos && pos_prev) {
      fall = bisect_contour(m, u, v_prev, v, false);
      n_fall++;
    }
    v_prev = v;
    pos_prev = pos;
  }
  facing_arc arc = {ARC_NONE, 0.0, 0.0};
  if (n_rise == 0 && n_fall == 0 && !any_away) arc.kind = ARC_WHOLE;
  if (n_rise == 1 && n_fall == 1) arc = {ARC_PART, rise, fall < rise ? fall + 2 * PI : fall};
  return arc;
}

// The occluding contours between the two rims: the longest run of latitudes
// that each turn towards and away from the camera once.  Views close to the
// axis have none, or only near the middle of the side.
static void trace_contours(true_view *m, const mesh_angles &a, contour_rows *best) {
  contour_rows run;
  for (int k = 0; k <= SILHOUETTE_ROWS + 1; k++) {
    double u = a.lat_bottom + (a.lat_top - a.lat_bottom) * k / SILHOUETTE_ROWS;
    facing_arc arc = {ARC_NONE, 0.0, 0.0};
    if (k <= SILHOUETTE_ROWS) arc = find_facing_arc(m, u);
    if (arc.kind == ARC_PART) {
      run.u.push_back(u);
      run.rise.push_back(arc.rise);
      run.fall.push_back(arc.fall);
      continue;
    }
    if (run.u.size() >= 2 && run.u.size() > best->u.size()) *best = run;
    run = contour_rows();
  }
}

// The facing part of latitude u as a dense polyline, from its rising to its
// falling longitude or the reverse; a whole ring starts at -pi.
static polyline trace_facing_arc(true_view *m, double u, const facing_arc &arc, bool reverse) {
  double v0 = arc.kind == ARC_WHOLE ? -PI : arc.rise;
  double v1 = arc.kind == ARC_WHOLE ? PI : arc.fall;
  return reverse ? trace_ring(m, u, v1, v0) : trace_ring(m, u, v0, v1);
}

static polyline contour_polyline(true_view *m, const contour_rows &c, bool use_rise, bool upward) {
  polyline p;
  int n = (int)c.u.size();
  for (int k = 0; k < n; k++) {
    int i = upward ? k : n - 1 - k;
    p.push_back(surface_image(m, c.u[i], use_rise ? c.rise[i] : c.fall[i]));
  }
  return p;
}

static double polyline_length(const polyline &p) {
  double len = 0.0;
  for (size_t i = 1; i < p.size(); i++) len += hypot(p[i].x - p[i - 1].x, p[i].y - p[i - 1].y);
  return len;
}

// Point at arc length t along p.
static point2 point_at_length(const polyline &p, double t) {
  for (size_t i = 1; i < p.size(); i++) {
    double seg = hypot(p[i].x - p[i - 1].x, p[i].y - p[i - 1].y);
    if (t <= seg && seg > 0.0) {
      double w = t / seg;
      return {p[i - 1].x + w * (p[i].x - p[i - 1].x), p[i - 1].y + w * (p[i].y - p[i - 1].y)};
    }
    t -= seg;
  }
  return p.back();
}

// Evenly spaced points along p about spacing apart (camera units): both ends
// of an open curve; a closed ring (last point = first) without the repeat.
static polyline resample(const polyline &p, double spacing, bool closed) {
  double len = polyline_length(p);
  int n = (int)lround(len / spacing);
  if (n < (closed ? 3 : 1)) n = closed ? 3 : 1;
  polyline out;
  int last = closed ? n - 1 : n;
  for (int k = 0; k <= last; k++) out.push_back(point_at_length(p, len * k / n));
  return out;
}

// ---------------------------------------------------------------------------
// Faces
// ---------------------------------------------------------------------------

namespace {
// One face being assembled: image points and curve ranges.
struct face_build {
  bool seen = false;
  polyline points;
  int n_curve = 0;
  int begin[MAX_CURVES], end[MAX_CURVES];
};
}  // namespace

static void add_curve(face_build *f, const polyline &dense, double spacing, bool closed) {
  polyline pts = resample(dense, spacing, closed);
  f->seen = true;
  f->begin[f->n_curve] = (int)f->points.size();
  f->points.insert(f->points.end(), pts.begin(), pts.end());
  f->end[f->n_curve] = (int)f->points.size() - 1;
  f->n_curve++;
}

static void add_absent_curve(face_build *f) {
  f->begin[f->n_curve] = f->end[f->n_curve] = -1;
  f->n_curve++;
}

static double signed_area(const polyline &p) {
  double a = 0.0;
  for (size_t i = 0; i < p.size(); i++) {
    const point2 &s = p[i], &t = p[(i + 1) % p.size()];
    a += s.x * t.y - t.x * s.y;
  }
  return 0.5 * a;
}

// Face 1 of labels 5, 6, 10, as a loop round the side: the facing arc of the
// lower rim, one occluding contour up, the facing arc of the upper rim back,
// the other contour down, anticlockwise in the image.  A part the camera
// does not see is an absent curve.
static void build_side_face(true_view *m, const mesh_angles &a, double spacing, face_build *f) {
  facing_arc bottom = find_facing_arc(m, a.lat_bottom), top = find_facing_arc(m, a.lat_top);
  contour_rows c;
  trace_contours(m, a, &c);
  bool contours = !c.u.empty();
  polyline loop[4];
  for (int reverse = 0; reverse < 2; reverse++) {
    for (polyline &part : loop) part.clear();
    if (bottom.kind != ARC_NONE) loop[0] = trace_facing_arc(m, a.lat_bottom, bottom, reverse);
    if (contours) loop[1] = contour_polyline(m, c, reverse, true);
    if (top.kind != ARC_NONE) loop[2] = trace_facing_arc(m, a.lat_top, top, !reverse);
    if (contours) loop[3] = contour_polyline(m, c, !reverse, false);
    polyline all;
    for (const polyline &part : loop) all.insert(all.end(), part.begin(), part.end());
    if (signed_area(all) >= 0.0) break;
  }
  bool whole[4] = {bottom.kind == ARC_WHOLE, false, top.kind == ARC_WHOLE, false};
  for (int k = 0; k < 4; k++) {
    if (loop[k].empty()) add_absent_curve(f);
    else add_curve(f, loop[k], spacing, whole[k]);
  }
}

// Face 0 (pole 1) or face 2 (pole -1): the facing arc of the rim, written
// when the end of the model it bounds faces the camera.
static void build_cap_face(true_view *m, double u, int pole, double spacing, face_build *f) {
  if (!pole_faces_camera(m, pole)) return;
  facing_arc arc = find_facing_arc(m, u);
  if (arc.kind != ARC_NONE)
    add_curve(f, trace_facing_arc(m, u, arc, false), spacing, arc.kind == ARC_WHOLE);
}

static void build_round_faces(true_view *m, const synth_scene *s, face_build faces[]) {
  mesh_angles a = fitting_mesh_angles(s);
  double spacing = s->spacing * PIXEL_SIZE;
  build_cap_face(m, a.lat_top, 1, spacing, &faces[0]);
  build_side_face(m, a, spacing, &faces[1]);
  build_cap_face(m, a.lat_bottom, -1, spacing, &faces[2]);
}

// Label 1: one side face bounded by the columns at eighths k0 < k1, with its
// edges in the region order of the face (first = face 0's order).
static void build_box_side(true_view *m, const mesh_angles &a, int k0, int k1, bool face0,
                           double spacing, face_build *f) {
  double v0 = eighth_longitude(a.vsize, k0), v1 = eighth_longitude(a.vsize, k1);
  if (facing(m, 0.0, 0.5 * (v0 + v1)) <= 0.0) return;
  double lo = a.lat_bottom, hi = a.lat_top;
  if (face0) {  // meridian q5 up, top edge, meridian q7 down, bottom edge
    add_curve(f, trace_meridian(m, v0, lo, hi), spacing, false);
    add_curve(f, trace_ring(m, hi, v0, v1), spacing, false);
    add_curve(f, trace_meridian(m, v1, hi, lo), spacing, false);
    add_curve(f, trace_ring(m, lo, v1, v0), spacing, false);
  } else {  // meridian q5 down, bottom edge, meridian q3 up, top edge
    add_curve(f, trace_meridian(m, v1, hi, lo), spacing, false);
    add_curve(f, trace_ring(m, lo, v1, v0), spacing, false);
    add_curve(f, trace_meridian(m, v0, lo, hi), spacing, false);
    add_curve(f, trace_ring(m, hi, v0, v1), spacing, false);
  }
}

static void build_box_faces(true_view *m, const synth_scene *s, face_build faces[]) {
  mesh_angles a = fitting_mesh_angles(s);
  double spacing = s->spacing * PIXEL_SIZE;
  build_box_side(m, a, 5, 7, true, spacing, &faces[0]);
  build_box_side(m, a, 3, 5, false, spacing, &faces[1]);
  if (!pole_faces_camera(m, 1)) return;
  // Top: the four quarter arcs of the upper row, centred at pi/2, 0, -pi/2, pi.
  static const int arc_from[4] = {7, 5, 3, 1};
  for (int k = 0; k < 4; k++)
    add_curve(&faces[4],
              trace_ring(m, a.lat_top, eighth_longitude(a.vsize, arc_from[k]),
                         eighth_longitude(a.vsize, arc_from[k] - 2)),
              spacing, false);
}

// ---------------------------------------------------------------------------
// Centre and pose of the fitted model
// ---------------------------------------------------------------------------

// The centre rule the model initialisation picks for the seen faces.
static int pick_center_rule(int label, const face_build faces[]) {
  if (label == 1) return 3;
  if (faces[0].seen) return 1;
  if (faces[1].seen && faces[1].begin[2] != -1) return 1;  // upper rim arc seen
  if (faces[1].seen && faces[1].begin[0] != -1) return 2;  // lower rim arc seen
  if (faces[2].seen) return 2;
  return label == 10 ? 1 : 2;
}

// Model-frame centre point of the rule, at the fitting mesh's own nodes.
static vector center_point(true_view *m, const synth_scene *s, int rule) {
  int u = s->mesh_usize, v = s->mesh_vsize;
  int off = (u + 1) / 4;
  if (rule == 3) {
    double lat = row_latitude(u, u - off), lon = column_longitude(v, v * 5 / 8);
    return model_point(m, lat, lon);
  }
  double lat = row_latitude(u, rule == 1 ? u - off : off - 1);
  vector p = model_point(m, lat, column_longitude(v, 0));
  vector q = model_point(m, lat, column_longitude(v, v / 2));
  return {(p.x + q.x) / 2.0, (p.y + q.y) / 2.0, (p.z + q.z) / 2.0};
}

// ---------------------------------------------------------------------------
// Pixels and noise
// ---------------------------------------------------------------------------

// Standard normal deviates by the Box-Muller transform over 53-bit uniforms,
// so that a seed gives the same noise on every platform.
double synth_normal_deviate(std::mt19937_64 *rng) {
  double u1, u2;
  do u1 = (double)((*rng)() >> 11) * 0x1.0p-53;
  while (u1 <= 0.0);
  u2 = (double)((*rng)() >> 11) * 0x1.0p-53;
  return sqrt(-2.0 * log(u1)) * cos(2 * PI * u2);
}

static void store_face(const face_build &b, const synth_scene *s, std::mt19937_64 *rng,
                       synth_face *f, int *outside) {
  if (!b.seen) {
    f->n_points = -1;
    return;
  }
  int n = (int)b.points.size();
  f->n_points = n;
  f->row = (double *)Mqcalloc_checked(n, sizeof(double));
  f->col = (double *)Mqcalloc_checked(n, sizeof(double));
  for (int j = 0; j < n; j++) {
    synth_pixel_from_image_point(b.points[j].x, b.points[j].y, s->theta_deg * DEGREE,
                                 &f->row[j], &f->col[j]);
    if (s->noise > 0.0) {
      f->row[j] += s->noise * synth_normal_deviate(rng);
      f->col[j] += s->noise * synth_normal_deviate(rng);
    }
    if (f->row[j] < 0 || f->row[j] > IMAGE_DIM || f->col[j] < 0 || f->col[j] > IMAGE_DIM)
      (*outside)++;
  }
  f->n_curve = b.n_curve;
  for (int c = 0; c < b.n_curve; c++) {
    f->begin[c] = b.begin[c];
    f->end[c] = b.end[c];
  }
}

// ---------------------------------------------------------------------------
// A view
// ---------------------------------------------------------------------------

static void set_true_view(const synth_scene *s, int view, hybroid *shape, true_view *m) {
  shape->sc = s->shape.sc;
  shape->a1 = s->shape.a1;
  shape->a2 = s->shape.a2;
  shape->a3 = s->shape.a3;
  shape->e1 = s->shape.e1;
  shape->e2 = s->shape.e2;
  shape->tapx = s->shape.tapx;
  shape->tapy = s->shape.tapy;
  shape->bend1 = s->shape.bend1;
  shape->bend3 = s->shape.bend3;
  memset(m, 0, sizeof *m);
  m->h = shape;
  m->r1 = shape->sc * shape->a1;
  m->r2 = shape->sc * shape->a2;
  m->r3 = shape->sc * shape->a3;
  m->perspective_flag = s->perspective_flag;
  m->f = s->focal_length;
  // Camera-frame pose: Rc = Rcam^T Rw, Tc = Rcam^T (Tw - Tcam).
  double cam[3][3];
  vector cam_t;
  synth_camera_frame(s, view, cam, &cam_t);
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++)
      m->R[r][c] = cam[0][r] * s->rotation[0][c] + cam[1][r] * s->rotation[1][c] +
                   cam[2][r] * s->rotation[2][c];
  m->T = rotate_transposed(cam, minus(s->translation, cam_t));
}

// Whether every point of the true surface lies in front of a perspective
// camera (always true for an orthographic one), on a grid of latitudes and
// longitudes fine enough for any shape the options allow.
static bool model_in_front(true_view *m) {
  enum { ROWS = 90, COLUMNS = 180 };
  if (!m->perspective_flag) return true;
  for (int i = 0; i <= ROWS; i++)
    for (int j = 0; j < COLUMNS; j++) {
      double u = -PI / 2 + PI * i / ROWS, v = -PI + 2 * PI * j / COLUMNS;
      vector p = camera_point(m, model_point(m, u, v));
      if (!(p.z < 0.0)) return false;
    }
  return true;
}

int make_synth_view(const synth_scene *s, int view, synth_view *v, char *err) {
  memset(v, 0, sizeof *v);
  hybroid shape;
  memset(&shape, 0, sizeof shape);
  true_view m;
  set_true_view(s, view, &shape, &m);
  if (!model_in_front(&m))
    return !fail(err, "%s: part of the model is not in front of the camera", "-T");
  face_build faces[MAX_FACES];
  if (s->label == 1) build_box_faces(&m, s, faces);
  else build_round_faces(&m, s, faces);
  if (m.behind) return !fail(err, "%s: part of the model is not in front of the camera", "-T");
  bool any = false;
  for (auto &f : faces) any = any || f.seen;
  if (!any) return !fail(err, "%s: the camera sees none of the faces the label's layout has", "-R");

  v->label = s->label;
  v->n_face = s->label == 1 ? 5 : 3;
  v->center = pick_center_rule(s->label, faces);
  vector c = rotate(m.R, center_point(&m, s, v->center));
  v->fit_translation = {c.x + m.T.x, c.y + m.T.y, c.z + m.T.z};
  memcpy(v->fit_rotation, m.R, sizeof m.R);
  std::mt19937_64 rng(s->seed * 2 + (unsigned long)view);
  for (int f = 0; f < v->n_face; f++) store_face(faces[f], s, &rng, &v->face[f], &v->outside);
  return 1;
}

void free_synth_view(synth_view *v) {
  for (int f = 0; f < MAX_FACES; f++) {
    Mqfree(v->face[f].row);
    Mqfree(v->face[f].col);
    v->face[f].row = v->face[f].col = nullptr;
  }
}

// ---------------------------------------------------------------------------
// The dump file
// ---------------------------------------------------------------------------

enum { NUMBERS_PER_LINE = 8 };

static void write_numbers(FILE *fp, const double *x, int n) {
  for (int j = 0; j < n; j++)
    fprintf(fp, "%.6f%s", x[j], (j + 1) % NUMBERS_PER_LINE == 0 || j == n - 1 ? "\n" : " ");
}

// The dump reader skips a comment line whole when it has at most 79
// characters; after the "# " that leaves 77.  Longer text is cut (numbers
// have at most nine digits, so no line here comes near it).
enum { COMMENT_WIDTH = 77 };

void write_comment(FILE *fp, const char *fmt, ...) {
  char line[COMMENT_WIDTH + 1];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  fprintf(fp, "# %s\n", line);
}

// The true values, as comment lines.
static void write_truth(FILE *fp, const synth_scene *s, int view, const synth_view *v) {
  const synth_shape &p = s->shape;
  write_comment(fp, "Contours of a known model, written by hybsynth.");
  write_comment(fp, "label %d, %s, focal length %.9g, theta %.9g degrees", s->label,
                s->perspective_flag ? "perspective" : "orthographic", s->focal_length,
                s->theta_deg);
  if (s->stereo_flag)
    write_comment(fp, "stereo %s view: base line %.9g, vergence %.9g,",
                  view == 0 ? "left" : "right", s->base_line, s->verge_angle);
  if (s->stereo_flag) write_comment(fp, "elevation %.9g", s->elev_angle);
  write_comment(fp, "truth sc a1 a2 a3: %.9g %.9g %.9g %.9g", p.sc, p.a1, p.a2, p.a3);
  write_comment(fp, "truth e1 e2: %.9g %.9g", p.e1, p.e2);
  write_comment(fp, "truth tapx tapy bend1 bend3: %.9g %.9g %.9g %.9g", p.tapx, p.tapy,
                p.bend1, p.bend3);
  write_comment(fp, "truth sc*a1 sc*a2: %.9g %.9g", p.sc * p.a1, p.sc * p.a2);
  write_comment(fp, "truth centre rule: %d", v->center);
  write_comment(fp, "truth translation: %.9g %.9g %.9g", v->fit_translation.x,
                v->fit_translation.y, v->fit_translation.z);
  for (int r = 0; r < 3; r++)
    write_comment(fp, "truth rotation row %d: %.9g %.9g %.9g", r, v->fit_rotation[r][0],
                  v->fit_rotation[r][1], v->fit_rotation[r][2]);
  write_comment(fp, "noise %.9g px, seed %lu, spacing %.9g px, fitting mesh %d x %d", s->noise,
                s->seed, s->spacing, s->mesh_usize, s->mesh_vsize);
}

// Neighbouring curve of (face, curve) in the label's layout, if that face is
// present: the shared rims of labels 5, 6, 10 and the shared edges of label 1.
static bool neighbor_of(const synth_view *v, int face, int curve, int *nf, int *nc) {
  //                        face curve  neighbour face curve
  static const int round_pairs[][4] = {{0, 0, 1, 2}, {1, 2, 0, 0}, {1, 0, 2, 0}, {2, 0, 1, 0}};
  static const int box_pairs[][4] = {{0, 0, 1, 0}, {1, 0, 0, 0}, {0, 1, 4, 0},
                                     {4, 0, 0, 1}, {1, 3, 4, 1}, {4, 1, 1, 3}};
  const int(*pairs)[4] = v->label == 1 ? box_pairs : round_pairs;
  int n = v->label == 1 ? 6 : 4;
  for (int i = 0; i < n; i++)
    if (pairs[i][0] == face && pairs[i][1] == curve && v->face[face].begin[curve] != -1 &&
        v->face[pairs[i][2]].n_points >= 0 && v->face[pairs[i][2]].begin[pairs[i][3]] != -1) {
      *nf = pairs[i][2];
      *nc = pairs[i][3];
      return true;
    }
  return false;
}

void write_synth_dump(FILE *fp, const synth_scene *s, int view, const synth_view *v) {
  write_truth(fp, s, view, v);
  write_synth_contours(fp, v);
}

void write_synth_contours(FILE *fp, const synth_view *v) {
  fprintf(fp, "1  # primitives\n%d  # primitive label\n%d  # faces\n", v->label, v->n_face);
  for (int f = 0; f < v->n_face; f++) {
    const synth_face *fc = &v->face[f];
    if (fc->n_points < 0) {
      fprintf(fp, "# face %d: not seen\n-1\n", f);
      continue;
    }
    fprintf(fp, "# face %d: %d points\n%d\n# rows\n", f, fc->n_points, fc->n_points);
    write_numbers(fp, fc->row, fc->n_points);
    fprintf(fp, "# columns\n");
    write_numbers(fp, fc->col, fc->n_points);
    fprintf(fp, "# curves: first and last point\n%d\n", fc->n_curve);
    for (int c = 0; c < fc->n_curve; c++) {
      if (fc->begin[c] == -1) fprintf(fp, "-1\n");  // absent: no last index
      else fprintf(fp, "%d %d\n", fc->begin[c], fc->end[c]);
    }
  }
  fprintf(fp, "# neighbours: face, curve, neighbour face, neighbour curve\n");
  for (int f = 0; f < v->n_face; f++) {
    if (v->face[f].n_points < 0) continue;
    for (int c = 0; c < v->face[f].n_curve; c++) {
      int nf = -1, nc = -1;
      neighbor_of(v, f, c, &nf, &nc);
      fprintf(fp, "%d %d %d %d\n", f, c, nf, nc);
    }
  }
}

// ---------------------------------------------------------------------------
// The face-label image
// ---------------------------------------------------------------------------
//
// The true surface as a grid of small triangles, each drawn with the value
// of its face into a depth buffer, so that the face nearest the camera wins
// at every pixel centre.  The faces are the bands and sides of the label's
// layout: labels 5, 6, 10 the cap above the upper rim row (face 0), the band
// between the rims (1) and the cap below the lower rim row (2); label 1 the
// sides between the columns q(5)..q(7) (0), q(3)..q(5) (1), q(7)..q(9) (2),
// q(1)..q(3) (3) and the top above the upper row (4); its bottom, which the
// layout does not have, is background.  Grid lines run along the rim rows
// and the eighth columns, so no triangle straddles two faces.

static const int LABEL_GRID_ROWS = 360;     // latitude steps over the whole surface
static const int LABEL_GRID_COLUMNS = 720;  // longitude steps round it

// Face of a grid cell whose centre lies at latitude u, longitude v; -1 for a
// part of the surface that no face of the layout covers.
static int label_face_of(int label, const mesh_angles &a, double u, double v) {
  if (label != 1) return u > a.lat_top ? 0 : u < a.lat_bottom ? 2 : 1;
  if (u > a.lat_top) return 4;
  if (u < a.lat_bottom) return -1;
  if (v >= eighth_longitude(a.vsize, 5) && v < eighth_longitude(a.vsize, 7)) return 0;
  if (v >= eighth_longitude(a.vsize, 3) && v < eighth_longitude(a.vsize, 5)) return 1;
  if (v >= eighth_longitude(a.vsize, 1) && v < eighth_longitude(a.vsize, 3)) return 3;
  return 2;
}

// Steps from breaks[0] to breaks[n-1], about total of them in all, with one
// step boundary at every break.
static std::vector<double> grid_steps(const double *breaks, int n, int total) {
  std::vector<double> out;
  double span = breaks[n - 1] - breaks[0];
  for (int i = 0; i + 1 < n; i++) {
    int k = (int)ceil(total * (breaks[i + 1] - breaks[i]) / span);
    if (k < 1) k = 1;
    for (int j = 0; j < k; j++) out.push_back(breaks[i] + (breaks[i + 1] - breaks[i]) * j / k);
  }
  out.push_back(breaks[n - 1]);
  return out;
}

namespace {
struct label_vertex {
  double x, y, z;  // image column and row (pixel centres at +0.5), camera depth
};
struct label_canvas {
  int size;
  unsigned char *pixels;
  std::vector<double> depth;  // camera z of the face drawn; larger is nearer
};
}  // namespace

static double edge_function(const label_vertex &a, const label_vertex &b, double x, double y) {
  return (b.x - a.x) * (y - a.y) - (b.y - a.y) * (x - a.x);
}

// Draws one triangle: every pixel centre inside it (or on its edge) where
// the triangle lies nearer than what is drawn there takes the value.
static void draw_label_triangle(label_canvas *c, const label_vertex &p, const label_vertex &q,
                                const label_vertex &r, unsigned char value) {
  double area = edge_function(p, q, r.x, r.y);
  if (area == 0.0) return;
  int x0 = std::max(0, (int)floor(std::min({p.x, q.x, r.x}) - 0.5));
  int x1 = std::min(c->size - 1, (int)ceil(std::max({p.x, q.x, r.x}) - 0.5));
  int y0 = std::max(0, (int)floor(std::min({p.y, q.y, r.y}) - 0.5));
  int y1 = std::min(c->size - 1, (int)ceil(std::max({p.y, q.y, r.y}) - 0.5));
  for (int y = y0; y <= y1; y++)
    for (int x = x0; x <= x1; x++) {
      double cx = x + 0.5, cy = y + 0.5;
      double wp = edge_function(q, r, cx, cy) / area, wq = edge_function(r, p, cx, cy) / area;
      double wr = 1.0 - wp - wq;
      if (wp < 0.0 || wq < 0.0 || wr < 0.0) continue;
      double z = wp * p.z + wq * q.z + wr * r.z;
      size_t at = (size_t)y * c->size + x;
      if (z > c->depth[at]) {
        c->depth[at] = z;
        c->pixels[at] = value;
      }
    }
}

// Image position and depth of the true surface at latitude u, longitude v.
static label_vertex label_vertex_at(true_view *m, const synth_scene *s, double u, double v,
                                    double scale) {
  vector p = camera_point(m, model_point(m, u, v));
  point2 q = image_point(m, p);
  double row, col;
  synth_pixel_from_image_point(q.x, q.y, s->theta_deg * DEGREE, &row, &col);
  return {col * scale, row * scale, p.z};
}

// Background between adjoining faces, as an annotation tool's polygons leave
// it: a face pixel next to another face's on its right or below becomes
// background, and with a gap of 2 also one next to another face's on its
// left or above (judged on the image as rendered).
static void open_label_gaps(int size, int gap, unsigned char *pixels) {
  if (gap <= 0) return;
  std::vector<unsigned char> was(pixels, pixels + (size_t)size * size);
  auto other = [&](size_t i, int r, int c) {
    if (r < 0 || c < 0 || r >= size || c >= size) return false;
    unsigned char v = was[(size_t)r * size + c];
    return v != 0 && v != was[i];
  };
  for (int r = 0; r < size; r++)
    for (int c = 0; c < size; c++) {
      size_t i = (size_t)r * size + c;
      if (was[i] == 0) continue;
      bool ahead = other(i, r, c + 1) || other(i, r + 1, c);
      bool behind = gap > 1 && (other(i, r, c - 1) || other(i, r - 1, c));
      if (ahead || behind) pixels[i] = 0;
    }
}

int make_synth_label_image(const synth_scene *s, int view, int size, unsigned char *pixels,
                           char *err) {
  hybroid shape;
  memset(&shape, 0, sizeof shape);
  true_view m;
  set_true_view(s, view, &shape, &m);
  if (!model_in_front(&m))
    return !fail(err, "%s: part of the model is not in front of the camera", "-T");
  mesh_angles a = fitting_mesh_angles(s);
  const double lat[4] = {-PI / 2, a.lat_bottom, a.lat_top, PI / 2};
  const double lon[6] = {-PI, eighth_longitude(a.vsize, 1), eighth_longitude(a.vsize, 3),
                         eighth_longitude(a.vsize, 5), eighth_longitude(a.vsize, 7), PI};
  std::vector<double> us = grid_steps(lat, 4, LABEL_GRID_ROWS);
  std::vector<double> vs = grid_steps(lon, 6, LABEL_GRID_COLUMNS);
  double scale = (double)size / IMAGE_DIM;
  size_t nv = vs.size();
  std::vector<label_vertex> grid(us.size() * nv);
  for (size_t i = 0; i < us.size(); i++)
    for (size_t j = 0; j < nv; j++) grid[i * nv + j] = label_vertex_at(&m, s, us[i], vs[j], scale);
  label_canvas c = {size, pixels, std::vector<double>((size_t)size * size, -HUGE_VAL)};
  memset(pixels, 0, (size_t)size * size);
  for (size_t i = 0; i + 1 < us.size(); i++)
    for (size_t j = 0; j + 1 < nv; j++) {
      int face = label_face_of(s->label, a, 0.5 * (us[i] + us[i + 1]), 0.5 * (vs[j] + vs[j + 1]));
      unsigned char value = (unsigned char)(face + 1);
      const label_vertex *g = &grid[i * nv + j];
      draw_label_triangle(&c, g[0], g[1], g[nv + 1], value);
      draw_label_triangle(&c, g[0], g[nv + 1], g[nv], value);
    }
  open_label_gaps(size, s->label_gap, pixels);
  return 1;
}
