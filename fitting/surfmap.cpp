// surfmap.cpp -- the primitive tables and the surface regions of a model.
//
// Owns two tables that live for the whole run: hybroid_parameter (mesh size,
// start shape and damping coefficients of each of the ten primitive kinds,
// read from the primitive parameter file) and dof_map (for each kind, the
// degree-of-freedom mask of each mapping slot, read from the ten
// force-mapping files).  A model's initialisation copies its kind's record
// into the model and builds one force map per seen data curve: the patch of
// the (u, v) mesh the curve pulls on and the degrees of freedom it drives.
//
// Start with read_primitive_hybroid_parameter and read_primitive_dof_mapping;
// the model initialisation begins at init_primitive_hybroid_parameter.
#include <limits.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hybroid.h"

hyb_param hybroid_parameter[NUM_PRIMITIVES];
int dof_map[NUM_PRIMITIVES][MAX_DOF_MAPS];
const char *parameter_file_origin = nullptr;

// ---------------------------------------------------------------------------
// Primitive parameter file: ten records of three groups each.
// ---------------------------------------------------------------------------

enum { NUM_SHAPE_VALUES = 10, NUM_DAMPING_VALUES = 12 };

// After the failure lines of a missing or short parameter file: one line that
// names the file and where it was looked for, when the run loop has said
// where (parameter_file_origin).
static void explain_parameter_file(const char *fname, int missing) {
  if (!parameter_file_origin) return;
  char where[PATH_MAX + 64] = "named by HYBROID_INIT_FILE";
  int from_env = strcmp(parameter_file_origin, "HYBROID_INIT_FILE") == 0;
  if (!from_env) {
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) snprintf(cwd, sizeof cwd, "?");
    snprintf(where, sizeof where, "looked for in the current directory, %s", cwd);
  }
  if (missing && from_env)
    fprintf(stderr, "%s: no such primitive parameter file (%s)\n", fname, where);
  else if (missing)
    fprintf(stderr,
            "%s: no such primitive parameter file (%s); run where it is (for example "
            "samples/) or set HYBROID_INIT_FILE\n",
            fname, where);
  else
    fprintf(stderr,
            "%s: the primitive parameter file (%s) is short: it needs 10 records of 2, 10 and "
            "12 numbers\n",
            fname, where);
}

// Group 2: sc a1 a2 a3 e1 e2 tapx tapy bend1 bend3, single precision.
static void read_shape_group(FILE *fp, const char *fname, hyb_param *p) {
  float v[NUM_SHAPE_VALUES] = {0};
  ignore_comment(fp, '#');
  int n = fscanf(fp, "%f %f %f %f %f %f %f %f %f %f", &v[0], &v[1], &v[2], &v[3], &v[4],
                 &v[5], &v[6], &v[7], &v[8], &v[9]);
  fprintf(stderr, "Num of superquad paramters read = %d\n", n);
  if (n != NUM_SHAPE_VALUES) {
    fprintf(stderr, "%d superquad parameters read\n", n);
    explain_parameter_file(fname, 0);
    exit(-1);
  }
  fprintf(stderr, "%f %f %f %f %f %f %f %f %f %f\n", v[0], v[1], v[2], v[3], v[4], v[5], v[6],
          v[7], v[8], v[9]);
  p->sc = v[0]; p->a1 = v[1]; p->a2 = v[2]; p->a3 = v[3]; p->e1 = v[4]; p->e2 = v[5];
  p->tapx = v[6]; p->tapy = v[7]; p->bend1 = v[8]; p->bend3 = v[9];
}

// Group 3: c_inv_trans c_inv_transz c_inv_rot c_inv_rotz c_inv_sc c_inv_a1
// c_inv_a2 c_inv_a3 c_inv_tx c_inv_ty c_inv_b1 c_inv_b3, double precision.
static void read_damping_group(FILE *fp, const char *fname, hyb_param *p) {
  double v[NUM_DAMPING_VALUES] = {0};
  ignore_comment(fp, '#');
  int n = fscanf(fp, "%lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2],
                 &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11]);
  fprintf(stderr, "Num of c factor read = %d\n", n);
  if (n != NUM_DAMPING_VALUES) {
    fprintf(stderr, "%d damping parameters read\n", n);
    explain_parameter_file(fname, 0);
    exit(-1);
  }
  fprintf(stderr, "%lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf\n", v[0], v[1], v[2], v[3],
          v[4], v[5], v[6], v[7], v[8], v[9], v[10], v[11]);
  p->c_inv_trans = v[0]; p->c_inv_transz = v[1]; p->c_inv_rot = v[2]; p->c_inv_rotz = v[3];
  p->c_inv_sc = v[4]; p->c_inv_a1 = v[5]; p->c_inv_a2 = v[6]; p->c_inv_a3 = v[7];
  p->c_inv_tx = v[8]; p->c_inv_ty = v[9]; p->c_inv_b1 = v[10]; p->c_inv_b3 = v[11];
}

void read_primitive_hybroid_parameter(const char *fname) {
  FILE *fp = fopen(fname, "r");
  if (!fp) {
    fprintf(stderr, "Cannot open %s\n", fname);
    explain_parameter_file(fname, 1);
    exit(1);
  }
  for (int i = 0; i < NUM_PRIMITIVES; i++) {
    hyb_param *p = &hybroid_parameter[i];
    int mesh[2] = {0, 0};
    ignore_comment(fp, '#');
    // A short mesh group leaves the reading position at the offending item,
    // so the shape group right after it reports the failure with its count.
    int got = fscanf(fp, "%d %d", &mesh[0], &mesh[1]);
    if (got >= 1) p->usize = mesh[0];
    if (got == 2) p->vsize = mesh[1];
    read_shape_group(fp, fname, p);
    read_damping_group(fp, fname, p);
  }
  fclose(fp);
}

// ---------------------------------------------------------------------------
// Force-mapping files: one mask per record, the record's position its slot.
// ---------------------------------------------------------------------------

enum { NUM_FLAGS = 10 };

// Mask bit of each flag, in record order.
//                                     trans      rot      rotz     a1     a2     a3
static const int flag_bit[NUM_FLAGS] = {DF_TRANS, DF_ROT, DF_ROTZ, DF_A1, DF_A2, DF_A3,
//                                     tapx     tapy     bend1     bend3
                                        DF_TAPX, DF_TAPY, DF_BEND1, DF_BEND3};

static int flags_to_mask(const int flags[NUM_FLAGS]) {
  int mask = 0;
  for (int k = 0; k < NUM_FLAGS; k++)
    if (flags[k]) mask |= flag_bit[k];
  return mask;
}

// Reads the records of one open mapping file into row; returns how many
// were stored.  Entries missing from a short record count as 0 (off).
static int read_dof_records(FILE *fp, const char *name, int row[MAX_DOF_MAPS]) {
  int stored = 0;
  for (;;) {
    int f[NUM_FLAGS] = {0};
    ignore_comment(fp, '#');
    int n = fscanf(fp, "%d %d %d %d %d %d %d %d %d %d", &f[0], &f[1], &f[2], &f[3], &f[4],
                   &f[5], &f[6], &f[7], &f[8], &f[9]);
    if (n == -1) break;
    if (n == 0) {
      fprintf(stderr, "%s: record %d is not a list of integers; the rest of the file is "
              "ignored\n", name, stored + 1);
      break;
    }
    if (stored == MAX_DOF_MAPS) {
      fprintf(stderr, "%s: more than %d records; the rest of the file is ignored\n", name,
              (int)MAX_DOF_MAPS);
      break;
    }
    if (n != NUM_FLAGS)
      fprintf(stderr, "*** Error\a\a\a: Number of entries only %d in %s\n", n, name);
    fprintf(stderr, "%d %d %d %d %d %d %d %d %d %d\n", f[0], f[1], f[2], f[3], f[4], f[5], f[6],
            f[7], f[8], f[9]);
    row[stored++] = flags_to_mask(f);
  }
  return stored;
}

void read_primitive_dof_mapping(const char *basename) {
  for (int label = 1; label <= NUM_PRIMITIVES; label++) {
    std::string name = std::string(basename) + std::to_string(label);
    FILE *fp = fopen(name.c_str(), "r");
    if (!fp) {
      fprintf(stderr, "Cannot open %s\n", name.c_str());
      continue;
    }
    if (read_dof_records(fp, name.c_str(), dof_map[label - 1]) == 0)
      fprintf(stderr, "*** Error\a\a\a: No line read from %s\n", name.c_str());
    fclose(fp);
  }
}

// ---------------------------------------------------------------------------
// Copying a primitive's record into a model
// ---------------------------------------------------------------------------

// The parameter record of the model's primitive, or null for a label outside
// 1 .. 10 (the run loop refuses such a model before initialising it).
static const hyb_param *primitive_record(const hybroid *h) {
  if (h->primitive_label < 1 || h->primitive_label > NUM_PRIMITIVES) return nullptr;
  return &hybroid_parameter[h->primitive_label - 1];
}

void init_primitive_hybroid_parameter(hybroid *h) {
  const hyb_param *p = primitive_record(h);
  if (!p) return;
  h->usize = p->usize;
  h->vsize = p->vsize;
  h->sc = p->sc;
  h->a1 = p->a1;
  h->a2 = p->a2;
  h->a3 = p->a3;
  h->e1 = p->e1;
  h->e2 = p->e2;
  h->tapx = p->tapx;
  h->tapy = p->tapy;
  h->bend1 = p->bend1;
  h->bend3 = p->bend3;
}

void init_primitive_damping_parameter(hybroid *h) {
  const hyb_param *p = primitive_record(h);
  if (!p) return;
  h->c_inv_trans = p->c_inv_trans;
  h->c_inv_transz = p->c_inv_transz;
  h->c_inv_rot = p->c_inv_rot;
  h->c_inv_rotz = p->c_inv_rotz;
  h->c_inv_sc = p->c_inv_sc;
  h->c_inv_a1 = p->c_inv_a1;
  h->c_inv_a2 = p->c_inv_a2;
  h->c_inv_a3 = p->c_inv_a3;
  h->c_inv_tx = p->c_inv_tx;
  h->c_inv_ty = p->c_inv_ty;
  h->c_inv_b1 = p->c_inv_b1;
  h->c_inv_b3 = p->c_inv_b3;
  h->c_inv_roty = h->c_inv_rot;
}

// ---------------------------------------------------------------------------
// Start pose, symmetry options and centre rule
// ---------------------------------------------------------------------------

// Symmetry options, centre rule and the axis and angle of the start
// orientation, by primitive kind.  Labels 5 and 6 centre on the upper ring
// (rule 1) when face 0 is described, else on the lower one (rule 2); a box
// centres on the node (u_center, v_center) of its upper ring (rule 3).
static void set_kind_options(hybroid *h, vector *axis) {
  int top_seen = h->face[0].n_points >= 0;
  *axis = {1.0, 0.0, 0.0};
  h->angle = 0.0;
  switch (h->primitive_label) {
    case 1:
      h->a12_symmetric = 0; h->txy_symmetric = 0; h->center = 3;
      h->u_center = h->usize - h->u_offset - 1;
      h->v_center = h->vsize * 5 / 8;
      *axis = {1.0, -1.0, 0.0};
      h->angle = 0.7;
      break;
    case 5:
    case 6:
      h->a12_symmetric = 1;
      h->txy_symmetric = h->primitive_label == 6;
      h->center = top_seen ? 1 : 2;
      h->u_center = h->usize;
      h->v_center = top_seen ? 1 : 0;
      break;
    case 10:
      h->a12_symmetric = 1; h->txy_symmetric = 1; h->center = 1;
      break;
    default:
      break;  // no face layout: the identity orientation, nothing else
  }
}

// orientation = (cos(angle/2); axis * sin(angle/2) / |axis|), where |axis| is
// rounded to single precision; a zero axis is taken as it is.
static void set_orientation(hybroid *h, vector axis) {
  double length = (double)(float)sqrt(axis.x * axis.x + axis.y * axis.y + axis.z * axis.z);
  h->orientation.w = cos(h->angle / 2);
  if (length == 0.0) {
    h->orientation.v = axis;
    return;
  }
  double s = sin(h->angle / 2);
  h->orientation.v.x = axis.x * s / length;
  h->orientation.v.y = axis.y * s / length;
  h->orientation.v.z = axis.z * s / length;
}

// Rotation matrix of the unit quaternion (w; x, y, z).
static void set_rotation_from_orientation(hybroid *h) {
  double w = h->orientation.w, x = h->orientation.v.x, y = h->orientation.v.y,
         z = h->orientation.v.z;
  double(*r)[3] = h->rotation;
  r[0][0] = 1 - 2 * y * y - 2 * z * z;
  r[0][1] = 2 * x * y - 2 * w * z;
  r[0][2] = 2 * x * z + 2 * w * y;
  r[1][0] = 2 * x * y + 2 * w * z;
  r[1][1] = 1 - 2 * x * x - 2 * z * z;
  r[1][2] = 2 * y * z - 2 * w * x;
  r[2][0] = 2 * x * z - 2 * w * y;
  r[2][1] = 2 * y * z + 2 * w * x;
  r[2][2] = 1 - 2 * x * x - 2 * y * y;
}

// The last point of curve 0 of face 0, or null when face 0 has no such point.
static const range_datapoint *end_of_first_curve(const hybroid *h) {
  const Face *f = &h->face[0];
  if (h->n_face < 1 || f->n_points <= 0 || !f->points || f->n_curve < 1) return nullptr;
  if (f->begin[0] == -1 || f->end[0] < 0 || f->end[0] >= f->n_points) return nullptr;
  return &f->points[f->end[0]];
}

// In front of the camera on its axis (twice as far in perspective); a box
// (label 1) is moved across to the last point of the first curve of its
// face 0, scaled like the depth in perspective.
static void set_start_translation(hybroid *h) {
  double depth = h->perspective_flag ? 2 * h->focal_length : h->focal_length;
  h->translation = {0.0, 0.0, -depth};
  if (h->primitive_label != 1 || h->face[0].n_points == -1) return;
  const range_datapoint *p = end_of_first_curve(h);
  if (!p) return;  // face 0 holds no points: stay on the axis
  h->translation.x = p->position.x;
  h->translation.y = p->position.y;
  if (h->perspective_flag) {
    h->translation.x *= 2;
    h->translation.y *= 2;
  }
}

void init_primitive_initial_parameter(hybroid *h) {
  vector axis;
  h->u_offset = (h->usize + 1) / 4 - 1;
  set_kind_options(h, &axis);
  set_orientation(h, axis);
  set_rotation_from_orientation(h);
  set_start_translation(h);
  compute_superquadric_taper_bend_normal(h);
  compute_superquadric_taper_bend_new_center(h);
  compute_positions(h);
}

// ---------------------------------------------------------------------------
// Surface regions and force maps
// ---------------------------------------------------------------------------

// Rows of the regions: the lower ring Ub = u_offset and the upper ring
// Ut = usize - u_offset - 1.  Columns in eighths of the ring, q(k) = vsize * k / 8
// truncated toward zero; regions 1 to 8 take v1 modulo vsize.
enum { RING_LOW, RING_HIGH };
struct region_def {
  int u1, u2;  // RING_LOW or RING_HIGH
  int k1, k2;  // v1 = q(k1), v2 = q(k2)
};
enum { NUM_REGIONS = 15, LAST_ARC_REGION = 8 };

static const region_def region_table[NUM_REGIONS + 1] = {
    //  u1         u2         k1  k2
    {RING_LOW, RING_LOW, 0, 0},     //  0: unused
    {RING_HIGH, RING_HIGH, 5, 7},   //  1: upper ring, arc about +pi/2
    {RING_HIGH, RING_HIGH, 3, 5},   //  2: upper ring, arc about 0
    {RING_HIGH, RING_HIGH, 1, 3},   //  3: upper ring, arc about -pi/2
    {RING_HIGH, RING_HIGH, -1, 1},  //  4: upper ring, arc about pi
    {RING_LOW, RING_LOW, 5, 7},     //  5: lower ring, arc about +pi/2
    {RING_LOW, RING_LOW, 3, 5},     //  6: lower ring, arc about 0
    {RING_LOW, RING_LOW, 1, 3},     //  7: lower ring, arc about -pi/2
    {RING_LOW, RING_LOW, -1, 1},    //  8: lower ring, arc about pi
    {RING_LOW, RING_HIGH, 7, 7},    //  9: meridian strip at 3pi/4
    {RING_LOW, RING_HIGH, 5, 5},    // 10: meridian strip at pi/4
    {RING_LOW, RING_HIGH, 3, 3},    // 11: meridian strip at -pi/4
    {RING_LOW, RING_HIGH, 1, 1},    // 12: meridian strip at -3pi/4
    {RING_HIGH, RING_HIGH, 0, 8},   // 13: the whole upper ring
    {RING_LOW, RING_LOW, 0, 8},     // 14: the whole lower ring
    {RING_LOW, RING_HIGH, 0, 8},    // 15: the band between the rings
};

// Region of each curve (0 = none).  The box (label 1) has faces 0, 1 and 4;
// the round kinds (labels 5, 6, 10) faces 0 (top), 1 (side) and 2 (bottom).
enum { BOX_FACES = 5, ROUND_FACES = 3, REGION_CURVES = 4 };
//                                                   curve 0   1   2   3
static const int box_regions[BOX_FACES][REGION_CURVES] = {{10, 1, 9, 5},     // face 0
                                                          {10, 6, 11, 2},    // face 1
                                                          {0, 0, 0, 0},      // face 2
                                                          {0, 0, 0, 0},      // face 3
                                                          {1, 2, 3, 4}};     // face 4
static const int round_regions[ROUND_FACES][REGION_CURVES] = {{13, 0, 0, 0},     // top
                                                              {14, 15, 13, 15},  // side
                                                              {14, 0, 0, 0}};    // bottom

static int is_round_kind(int label) { return label == 5 || label == 6 || label == 10; }

static int region_of_curve(int label, int face, int curve) {
  if (face < 0 || curve < 0 || curve >= REGION_CURVES) return 0;
  if (label == 1 && face < BOX_FACES) return box_regions[face][curve];
  if (is_round_kind(label) && face < ROUND_FACES) return round_regions[face][curve];
  return 0;
}

void map_region_to_uv_ranges(hybroid *h, struct force_map *fmp, int region) {
  if (region < 1 || region > NUM_REGIONS) return;
  const region_def *r = &region_table[region];
  int V = h->vsize;
  int ring[2] = {h->u_offset, h->usize - h->u_offset - 1};  // Ub, Ut
  fmp->u1 = ring[r->u1];
  fmp->u2 = ring[r->u2];
  fmp->v1 = V * r->k1 / 8;
  fmp->v2 = V * r->k2 / 8;
  if (region <= LAST_ARC_REGION && V > 0) fmp->v1 = (V + fmp->v1) % V;
}

int set_uv_mapping(hybroid *h, struct force_map *fmp, int volume_label, int volume_node_label,
                   int curve_label) {
  int region = region_of_curve(volume_label, volume_node_label, curve_label);
  if (region > 0)
    map_region_to_uv_ranges(h, fmp, region);
  else
    fprintf(stderr, "region <= 0 in set_uv_mapping()\n");
  return region;
}

// Mapping slot of a curve: the box numbers its curves face by face; the
// round kinds give the top slot 0, the side curves 1 to 4, the bottom 5.
// Returns -1 when the curve has no slot.
static int slot_of_curve(int label, int face, int curve) {
  if (face < 0 || curve < 0) return -1;
  if (label == 1) return face * 4 + curve;
  if (!is_round_kind(label)) return -1;
  switch (face) {
    case 0: return 0;
    case 1: return curve + 1;
    case 2: return 5;
    default: return -1;
  }
}

void set_dof_mapping(struct force_map *fmp, int volume_label, int volume_node_label,
                     int curve_label) {
  int slot = slot_of_curve(volume_label, volume_node_label, curve_label);
  if (slot < 0 || slot >= MAX_DOF_MAPS) {
    fmp->df_mode = 0;  // a curve without a slot drives nothing
    return;
  }
  fmp->df_mode = dof_map[volume_label - 1][slot];
}

// Top unseen and the side's upper rim (curve 2) missing: the side's curves
// are numbered from the other rim, so they take the slots two further on.
static int top_and_upper_rim_missing(const hybroid *h) {
  return h->n_face == 3 && h->face[0].n_points == -1 && h->face[1].begin[2] == -1;
}

// Bottom unseen and the side's lower rim (curve 0) missing.
static int bottom_and_lower_rim_missing(const hybroid *h) {
  return h->n_face == 3 && h->face[2].n_points == -1 && h->face[1].begin[0] == -1;
}

// Fills the next force map for curve c of face f.
static void map_curve(hybroid *h, force_map *m, int f, int c, int a, int b) {
  int label = h->primitive_label;
  int round_side = (label == 5 || label == 6) && f == 1;
  m->face = f;
  m->curve = c;
  set_uv_mapping(h, m, label, f, c);
  set_dof_mapping(m, label, f, round_side && a ? (c + 2) % 4 : c);
  // With both rims seen, the silhouettes (odd curves) leave the height alone.
  if (round_side && !a && !b && c % 2 == 1) m->df_mode &= ~DF_A3;
}

void init_dof_uv_mapping(hybroid *h) {
  int a = top_and_upper_rim_missing(h), b = bottom_and_lower_rim_missing(h);
  int n = 0, n_face = h->n_face < MAX_FACES ? h->n_face : MAX_FACES;
  for (int f = 0; f < n_face; f++) {
    const Face *fc = &h->face[f];
    if (fc->n_points == -1) continue;
    int n_curve = fc->n_curve < MAX_CURVES ? fc->n_curve : MAX_CURVES;
    for (int c = 0; c < n_curve; c++) {
      if (fc->begin[c] == -1) continue;
      if (n == MAX_FORCE_MAPS) {
        // The dump reader refuses such files; a model built otherwise keeps
        // its first 24 curves.
        fprintf(stderr, "more than %d curves seen: curve %d of face %d gets no force map\n",
                (int)MAX_FORCE_MAPS, c, f);
        continue;
      }
      map_curve(h, &h->force_map[n++], f, c, a, b);
    }
  }
  h->n_force = n;
}

// Labels 5, 6 and 10: the centre follows the top when it is seen (face 0,
// or the side's upper rim), else the bottom; label 1 keeps rule 3.
void init_model_center(hybroid *h) {
  if (!is_round_kind(h->primitive_label)) return;
  if (h->face[0].n_points > 0)
    h->center = 1;
  else if (h->face[1].begin[2] != -1)
    h->center = 1;
  else if (h->face[1].begin[0] != -1)
    h->center = 2;
  else if (h->face[2].n_points > 0)
    h->center = 2;
}

int curved_occluding_contour(int primitive, int face, int curve) {
  return is_round_kind(primitive) && face == 1 && curve % 2 != 0;
}

// The mesh patch of each face of a box (label 1), edges included: the four
// sides between the rings, each between two of the meridians at odd
// multiples of pi/4, and the top above the upper ring (the layout has no
// bottom face).  Columns in eighths of the ring as in the region table.
enum { BOX_SIDE_LOW, BOX_SIDE_HIGH, BOX_TOP_ROW };
//                                                 u1             u2            k1  k2
static const region_def box_face_patches[BOX_FACES] = {{BOX_SIDE_LOW, BOX_SIDE_HIGH, 5, 7},   // 0
                                                       {BOX_SIDE_LOW, BOX_SIDE_HIGH, 3, 5},   // 1
                                                       {BOX_SIDE_LOW, BOX_SIDE_HIGH, 7, 9},   // 2
                                                       {BOX_SIDE_LOW, BOX_SIDE_HIGH, 1, 3},   // 3
                                                       {BOX_SIDE_HIGH, BOX_TOP_ROW, 0, 8}};   // 4

int box_face_patch(const hybroid *h, int face, struct force_map *patch) {
  if (h->primitive_label != 1 || face < 0 || face >= BOX_FACES || h->vsize <= 0) return 0;
  const region_def *r = &box_face_patches[face];
  int V = h->vsize;
  int row[3] = {h->u_offset, h->usize - h->u_offset - 1, h->usize - 1};  // Ub, Ut, top row
  patch->u1 = row[r->u1];
  patch->u2 = row[r->u2];
  patch->v1 = V * r->k1 / 8;
  patch->v2 = V * r->k2 / 8;
  return 1;
}

// What lies across curve `curve` of face `face`, as its neighbour record
// says: 1 the background (the curve is the model's outline), 0 a face; -1
// for a face or curve the model cannot have.
int curve_outline_mark(const hybroid *h, int face, int curve) {
  if (face < 0 || face >= MAX_FACES || face >= h->n_face) return -1;
  if (curve < 0 || curve >= MAX_CURVES) return -1;
  return h->face[face].outline[curve] ? 1 : 0;
}
