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
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hybroid.h"

hyb_param hybroid_parameter[NUM_PRIMITIVES];
int dof_map[NUM_PRIMITIVES][MAX_DOF_MAPS];

// ---------------------------------------------------------------------------
// Primitive parameter file: ten records of three groups each.
// ---------------------------------------------------------------------------

enum { NUM_SHAPE_VALUES = 10, NUM_DAMPING_VALUES = 12 };

// Group 2: sc a1 a2 a3 e1 e2 tapx tapy bend1 bend3, single precision.
static void read_shape_group(FILE *fp, hyb_param *p) {
  float v[NUM_SHAPE_VALUES] = {0};
  ignore_comment(fp, '#');
  int n = fscanf(fp, "%f %f %f %f %f %f %f %f %f %f", &v[0], &v[1], &v[2], &v[3], &v[4],
                 &v[5], &v[6], &v[7], &v[8], &v[9]);
  fprintf(stderr, "Num of superquad paramters read = %d\n", n);
  if (n != NUM_SHAPE_VALUES) {
    fprintf(stderr, "%d superquad parameters read\n", n);
    exit(-1);
  }
  fprintf(stderr, "%f %f %f %f %f %f %f %f %f %f\n", v[0], v[1], v[2], v[3], v[4], v[5], v[6],
          v[7], v[8], v[9]);
  p->sc = v[0]; p->a1 = v[1]; p->a2 = v[2]; p->a3 = v[3]; p->e1 = v[4]; p->e2 = v[5];
  p->tapx = v[6]; p->tapy = v[7]; p->bend1 = v[8]; p->bend3 = v[9];
}

// Group 3: c_inv_trans c_inv_transz c_inv_rot c_inv_rotz c_inv_sc c_inv_a1
// c_inv_a2 c_inv_a3 c_inv_tx c_inv_ty c_inv_b1 c_inv_b3, double precision.
static void read_damping_group(FILE *fp, hyb_param *p) {
  double v[NUM_DAMPING_VALUES] = {0};
  ignore_comment(fp, '#');
  int n = fscanf(fp, "%lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf", &v[0], &v[1], &v[2],
                 &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10], &v[11]);
  fprintf(stderr, "Num of c factor read = %d\n", n);
  if (n != NUM_DAMPING_VALUES) {
    fprintf(stderr, "%d damping parameters read\n", n);
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
    read_shape_group(fp, p);
    read_damping_group(fp, p);
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
    if (n != NUM_FLAGS) fprintf(stderr, "*** Error\a\a\a: Number of entries only %d in %s\n", n, name);
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
