// dynamics.cpp -- where a model's nodes are and how it moves: node positions
// in the camera and world frames with their image-plane projections (own
// camera and the stereo partner's), the rigid Euler step of translation
// and orientation, the fitting control (which degrees of freedom a manual or
// automatic step moves, the per-primitive schedules and the convergence
// test) and the depth coupling of a stereo pair.
//
// Reads a model's pose (translation, rotation), camera (camera_rotation,
// camera_translation, focal_length, perspective_flag) and each node's refer1
// + displ; writes the node fields posit .. proj_wrposit.  The rigid step reads
// net_applied_force / net_applied_torque (leaving the velocities in them) and
// the inverse damping coefficients, and writes translation, orientation and
// rotation.  Matrices are row-major and act on column vectors.
//
// The fitting control reads the model's shape, pose and their _pr copies
// and writes df_mask, fitting_index, diff, d_ang and axis_diff; the stereo
// coupling writes translation, proj_trans, rtranslation and proj_rtrans.
// A stage read from a schedule file (schedule.cpp) also has options beside
// its df_mask bits (stage_options: start pose, exact geometry, the angle
// turned, the end when the gof stops improving, adaptive dampings); their
// state lives in the model's stage_ fields.  Built-in entries have none and
// run exactly as the fixed schedules always did.
//
// The option pair turns the two models of a stereo pair as one object
// (share_orientation, add_partner_torque).
//
// Start with compute_positions, then compute_rotation, then
// compute_motion_auto.
#include <cmath>
#include <cstdio>

#include "gl.h"
#include "hybroid.h"
#include "vector_ops.h"

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


// ---------------------------------------------------------------------------
// Positions and projections
// ---------------------------------------------------------------------------

static void set_world_position(const hybroid *h, node *n) {
  n->wposit = transform(h->camera_rotation, n->posit, h->camera_translation);
}

static void set_world_projected_position(const hybroid *h, node *n) {
  n->proj_wposit = transform(h->camera_rotation, n->proj_posit, h->camera_translation);
}

// posit = rotation (refer1 + displ) + translation, and with it wposit as
// compute_world_positions sets it (one pass over the nodes instead of two;
// each node's values depend on that node alone).
void compute_positions(hybroid *h) {
  for (int i = 0; i < h->numnodes; i++) {
    node *n = &h->nodes[i];
    vector shape = {n->refer1.x + n->displ.x, n->refer1.y + n->displ.y,
                    n->refer1.z + n->displ.z};
    n->posit = transform(h->rotation, shape, h->translation);
    set_world_position(h, n);
  }
}

void compute_world_positions(hybroid *h) {
  for (int i = 0; i < h->numnodes; i++) set_world_position(h, &h->nodes[i]);
}

// Perspective: the ray through the camera centre meets z = -f; a node on or
// behind the camera plane keeps its previous projection.  Orthographic: the
// node is dropped straight onto z = -f.  proj_wposit follows in the same
// pass, as compute_world_projected_positions sets it.
void compute_projected_positions(hybroid *h) {
  double f = h->focal_length;
  for (int i = 0; i < h->numnodes; i++) {
    node *n = &h->nodes[i];
    if (h->perspective_flag) {
      if (n->posit.z < 0.0) n->proj_posit = scaled_vector(n->posit, -f / n->posit.z);
    } else {
      n->proj_posit = {n->posit.x, n->posit.y, -f};
    }
    set_world_projected_position(h, n);
  }
}

void compute_world_projected_positions(hybroid *h) {
  for (int i = 0; i < h->numnodes; i++) set_world_projected_position(h, &h->nodes[i]);
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
      if (n->rposit.z != 0.0) n->proj_rposit = scaled_vector(n->rposit, -fr / n->rposit.z);
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
  if (L != 0.0) a = scaled_vector(om, sin(half) / L);

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

// ---------------------------------------------------------------------------
// Fitting control: which degrees of freedom move, one manual or automatic
// step, the convergence test and the per-primitive schedules
// ---------------------------------------------------------------------------

// Manual degrees of freedom: each key held adds its bits.
//        key              bits added
static const struct { Device key; int bits; } manual_dof_keys[] = {
  {DEV_F1,           DF_TRANS},
  {DEV_F1 + 1,       DF_ROT},
  {DEV_F1 + 2,       DF_ROTZ},
  {DEV_F1 + 3,       DF_A1},
  {DEV_F1 + 4,       DF_A2},
  {DEV_F1 + 5,       DF_A3},
  {DEV_F1 + 6,       DF_TAPX | DF_TAPY},
  {DEV_F1 + 7,       DF_SC},
  {DEV_F1 + 8,       DF_BEND1},
  {DEV_F1 + 9,       DF_STEREO},
  {DEV_F1 + 10,      DF_WHOLE_FORCE},
  {DEV_0,            DF_BEND3},
};

static const Device STEREO_PARTNER_KEY = DEV_F1 + 9;  // F10

static const int RIGID_BITS = DF_TRANS | DF_ROT | DF_ROTZ;
// Every shape parameter a step can move.  The manual step deforms for any
// that a key frees (so F9 or 0 alone bends; no key frees e1 or e2).
static const int SHAPE_BITS = DF_SC | DF_A1 | DF_A2 | DF_A3 | DF_E1 | DF_E2 | DF_TAPX | DF_TAPY |
                              DF_BEND1 | DF_BEND3;
static const int MANUAL_SHAPE_BITS = SHAPE_BITS & ~(DF_E1 | DF_E2);
// A built-in schedule entry deforms for these: one whose only shape bit is
// tapy does not deform.  A stage of a schedule file deforms for SHAPE_BITS.
static const int AUTO_SHAPE_BITS = SHAPE_BITS & ~DF_TAPY;

static const int SPARSE_SUBSAMPLE = 5;

// Automatic schedules, one row per primitive label, each ended by a 0 entry
// (the rest of the row is 0).  A label without a row gets an all-zero
// schedule: its automatic fit is finished at once.
//      label   entry 0   entry 1   entry 2   entry 3   entry 4   entry 5   entry 6   entry 7
static const struct { int label; int entries[MAX_SEQUENCE]; } fitting_schedules[] = {
  {  1,      {0x1b3000, 0x123000, 0x103000, 0x103800, 0x10000e, 0x10380e, 0x00380e, 0       }},
  {  5,      {0x100800, 0x100006, 0x191000, 0x101000, 0x181806, 0x001806, 0x102008, 0x00380e}},
  {  6,      {0x100800, 0x100006, 0x191000, 0x101806, 0x1000c8, 0x102000, 0x1038ce, 0x0038ce}},
};

void choose_fitting_dof(hybroid *h) {
  h->df_mask = 0;
  for (const auto &k : manual_dof_keys)
    if (getbutton(k.key)) h->df_mask |= k.bits;
}

// Positions, projections, camera-frame tangents and normals for this step.
void prepare_geometry(hybroid *h) {
  compute_positions(h);
  compute_projected_positions(h);
  compute_tangent(h);
  unrotate_normal(h);
}

// The data-force pass from cleared forces and counts: the node forces in the
// camera frame, the counts and the gof.
void measure_data_forces(hybroid *h) {
  zeroize_force(h);
  zeroize_damping_factor(h);
  compute_range_data_forces_projection(h);
}

// The data-force pass with its counts, the damping rescaled from the counts,
// and the node forces brought into the model frame.
static void gather_forces(hybroid *h) {
  measure_data_forces(h);
  compute_damping_factor(h);
  unrotate_force(h);
}

void compute_motion(hybroid *h) {
  prepare_geometry(h);
  gather_forces(h);
  if (h->df_mask & RIGID_BITS) {
    compute_net_applied_force_and_torque(h);
    bookkeep_trans_rot(h);
    compute_translation(h);
    compute_rotation(h);
  }
  if (h->df_mask & MANUAL_SHAPE_BITS) {
    bookkeep_generalized_force(h);
    compute_superquadric_generalized_force(h);
    bookkeep_superquadric_parameters(h);
    compute_superquadric_deformation(h);
  }
  if (h->df_mask & DF_STEREO) compute_stereo_motion(h);
  hybroid *partner = h->h_neigh;
  if (getbutton(STEREO_PARTNER_KEY) && partner) {  // no partner: nothing to couple
    compute_positions(partner);
    compute_projected_positions(partner);
    compute_stereo_motion(partner);
  }
}

// The current schedule entry, or 0 when the index has run off the table.
static int current_schedule_entry(const hybroid *h) {
  if (h->fitting_index < 0 || h->fitting_index >= MAX_SEQUENCE) return 0;
  return h->fitting_sequence[h->fitting_index];
}

// The stage options of the current entry: 0 for a built-in schedule.
static int current_stage_options(const hybroid *h) {
  if (h->fitting_index < 0 || h->fitting_index >= MAX_SEQUENCE) return 0;
  return h->stage_options[h->fitting_index];
}

// A stage that ends when the fit stops improving: it goes on while some
// step of the last SETTLE_STEPS lowered the gof by more than SETTLE_GAIN of
// the best value seen since the previous such step.
static const double SETTLE_GAIN = 0.005;
static const int SETTLE_STEPS = 12;
// patient: under noise the gof of a flat valley (squareness against size,
// bend against tilt and height) falls by less than SETTLE_GAIN over
// SETTLE_STEPS while the fit still creeps towards its floor.
static const double PATIENT_GAIN = 0.001;
static const int PATIENT_STEPS = 30;

// The stage's bits among `bits` join every curve that drives anything.
static void drive_from_every_curve(hybroid *h, int bits) {
  bits &= h->df_mask;
  for (int i = 0; i < h->n_force && i < MAX_FORCE_MAPS; i++)
    if (h->force_map[i].df_mode != 0) h->force_map[i].df_mode |= bits;
}

// allcurves: the bending slots receive the forces of all the data.
static void drive_bending_from_every_curve(hybroid *h) {
  drive_from_every_curve(h, DF_BEND1 | DF_BEND3);
}

// gradient: every curve drives every size, taper, bend and the pose the
// stage frees, so that a step goes down the distances of all the data.  The
// force-mapping files leave some curves out of some parameters (a rim out of
// the bending, a silhouette out of the height, every curve of a round model
// out of the turn in the image plane, which then takes only the part of
// the rotation's torque about the line of sight), and the fit could settle
// where the forces they keep balance, away from the least distance: a bent
// model seen 45 degrees off its axis stopped with its bend 0.018 off and its
// points on average 0.027 pixel away, where the truth lies at 0.010.  The
// squareness and the scale take every active curve's forces already.
static void drive_everything_from_every_curve(hybroid *h) {
  drive_from_every_curve(h, DF_A1 | DF_A2 | DF_A3 | DF_TAPX | DF_TAPY | DF_BEND1 | DF_BEND3 |
                                DF_TRANS | DF_ROT | DF_ROTZ);
}

// adapt: each degree of freedom has its own gain on its inverse damping.
// It grows by ADAPT_GROW while the force on the degree of freedom keeps its
// direction from step to step (the parameter is still on its way) and
// shrinks by ADAPT_SHRINK when the force turns back (it overshot), or when
// the last step made the fit worse (a higher gof), within
// [ADAPT_MIN_GAIN, the most for its kind].  So each parameter moves at the
// pace the data allow, whatever inverse damping the parameter file holds.
static const double ADAPT_GROW = 1.2;
static const double ADAPT_SHRINK = 0.5;
static const double ADAPT_MIN_GAIN = 1e-3;
// The rigid motion's gain stays lower: a large turn in one step can flip a
// model into a pose the data cannot bring back.  It still lets the turn
// outpace the shape under a small inverse damping of the rotation: held to
// 10, a bent model's last stages, with the parameter file's dampings x 0.1,
// bent its bending plane 4 degrees aside to make up for the tilt the turn
// had not yet reached, and ran into their step limit still creeping back.
static const double ADAPT_MAX_RIGID_GAIN = 20.0;
static const double ADAPT_MAX_SHAPE_GAIN = 100.0;

// Updates the gain of term k from its force f and scales c by it.
static void adapt_term(hybroid *h, int k, vector f, double *c) {
  vector p = h->stage_force_pr[k];
  double d = f.x * p.x + f.y * p.y + f.z * p.z;
  double g = h->stage_gain[k];
  if (h->stage_worse || d < 0)
    g *= ADAPT_SHRINK;
  else if (d > 0)
    g *= ADAPT_GROW;
  double most = k >= ADAPT_TRANS ? ADAPT_MAX_RIGID_GAIN : ADAPT_MAX_SHAPE_GAIN;
  h->stage_gain[k] = g > most ? most : g < ADAPT_MIN_GAIN ? ADAPT_MIN_GAIN : g;
  h->stage_force_pr[k] = f;
  *c *= h->stage_gain[k];
}

// Whether the last step raised the gof; called once per step of an adapt
// stage, after the data-force pass.  square judges by the mean square of the
// distances instead: the quantity the step descends.  Close to the fit's end
// the mean can rise a little while the squares still fall, and judged by the
// mean every gain would shrink to its least and the stage stand still.
static void judge_last_step(hybroid *h, int options) {
  double measure = (options & STAGE_SQUARE) ? h->gof_square : h->gof;
  h->stage_worse = h->stage_steps > 0 && measure > h->stage_gof_pr;
  h->stage_gof_pr = measure;
}

// The rigid terms, from the net force and torque (model frame).
static void adapt_rigid_damping(hybroid *h) {
  vector F = h->net_applied_force, T = h->net_applied_torque;
  adapt_term(h, ADAPT_TRANS, {F.x, F.y, 0.0}, &h->c_inv_trans);
  adapt_term(h, ADAPT_TRANSZ, {0.0, 0.0, F.z}, &h->c_inv_transz);
  adapt_term(h, ADAPT_ROT, {T.x, T.y, 0.0}, &h->c_inv_rot);
  h->c_inv_roty = h->c_inv_rot;
  adapt_term(h, ADAPT_ROTZ, {0.0, 0.0, T.z}, &h->c_inv_rotz);
}

// The shape terms, from the generalized forces.
static void adapt_shape_damping(hybroid *h) {
  const struct { int k; double f; double *c; } terms[] = {
    {ADAPT_SC,    h->fsc, &h->c_inv_sc}, {ADAPT_A1,    h->fa1, &h->c_inv_a1},
    {ADAPT_A2,    h->fa2, &h->c_inv_a2}, {ADAPT_A3,    h->fa3, &h->c_inv_a3},
    {ADAPT_E1,    h->fe1, &h->c_inv_e1}, {ADAPT_E2,    h->fe2, &h->c_inv_e2},
    {ADAPT_TAPX,  h->ftx, &h->c_inv_tx}, {ADAPT_TAPY,  h->fty, &h->c_inv_ty},
    {ADAPT_BEND1, h->fb1, &h->c_inv_b1}, {ADAPT_BEND3, h->fb3, &h->c_inv_b3},
  };
  for (const auto &t : terms) adapt_term(h, t.k, {t.f, 0.0, 0.0}, t.c);
}

// A stage of a schedule file keeps the shape parameters it frees within
// their bounds and gives e1, e2 forces (extended_shape); exact asks for the
// true normals and derivatives, outline for a box's outline curves to pull
// on its silhouette too (outline_match).  The node normals follow at once
// when exact_geometry changes.  Built-in stages leave the switches 0.
static void set_geometry_switches(hybroid *h, int options) {
  h->extended_shape = (options & STAGE_FROM_FILE) ? 1 : 0;
  h->outline_match = (options & STAGE_OUTLINE) ? 1 : 0;
  h->smooth_contours = (options & STAGE_SMOOTH) ? 1 : 0;
  int exact = (options & STAGE_EXACT) ? 1 : 0;
  if (h->exact_geometry == exact) return;
  h->exact_geometry = exact;
  compute_superquadric_taper_bend_normal(h);
  compute_superquadric_taper_bend_new_center(h);
}

// First step of a stage read from a schedule file.
static void begin_file_stage(hybroid *h, int options) {
  h->stage_best_gof = 0.0;
  h->stage_stall = 0;
  for (int k = 0; k < ADAPT_TERMS; k++) {
    h->stage_gain[k] = 1.0;
    h->stage_force_pr[k] = {0.0, 0.0, 0.0};
  }
  if (options & STAGE_ALL_CURVES) drive_bending_from_every_curve(h);
  if (options & STAGE_GRADIENT) drive_everything_from_every_curve(h);
  if (options & STAGE_START) init_pose_from_data(h, (options & STAGE_INNER) != 0);
}

// The shape values the built-in bookkeeping leaves alone, for the test of
// every freed parameter.
static void bookkeep_free_shape(hybroid *h) {
  h->e1_pr = h->e1;
  h->e2_pr = h->e2;
  h->bend1_pr = h->bend1;
  h->bend3_pr = h->bend3;
}

// value / n, or value itself without forces; a negative value (not given)
// leaves c as the parameter file set it.
static void set_schedule_damping(double *c, double value, int n) {
  if (value < 0.0) return;
  *c = n != 0 ? value / n : value;
}

// The schedule file's inverse dampings, divided by the number of forces as
// the parameter file's are.
static void apply_schedule_damping(hybroid *h) {
  const label_schedule *s = schedule_of_label(h->primitive_label);
  if (!s) return;
  // e1 and e2 take the forces of the scale's slot, which every acting curve drives.
  set_schedule_damping(&h->c_inv_e1, s->c_inv_e1, h->force_cnt[SLOT_SC]);
  set_schedule_damping(&h->c_inv_e2, s->c_inv_e2, h->force_cnt[SLOT_SC]);
  set_schedule_damping(&h->c_inv_b1, s->c_inv_b1, h->force_cnt[SLOT_BEND1]);
  set_schedule_damping(&h->c_inv_b3, s->c_inv_b3, h->force_cnt[SLOT_BEND3]);
}

// settle: 1 while the gof still improves (see SETTLE_GAIN); patient, by
// PATIENT_GAIN within PATIENT_STEPS.
static int gof_still_improving(hybroid *h, bool patient) {
  double gain = patient ? PATIENT_GAIN : SETTLE_GAIN;
  if (h->stage_steps == 1 || h->gof < h->stage_best_gof * (1 - gain)) {
    h->stage_best_gof = h->gof;
    h->stage_stall = 0;
    return 1;
  }
  h->stage_stall++;
  return h->stage_stall < (patient ? PATIENT_STEPS : SETTLE_STEPS);
}

// pair: the two views of a stereo pair see one object.  Each view alone
// reads the tilt of a round model only to within a few degrees under noise,
// and the two readings are independent; so at the first step of the right
// model's stage both take the mean of their two orientations in the world
// frame (while the left model's stage asks for it too), and from then on
// both turn by the torques of both (add_partner_torque).
static quaternion world_orientation(const hybroid *h) {
  double world[3][3];
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++)
      world[r][c] = h->camera_rotation[r][0] * h->rotation[0][c] +
                    h->camera_rotation[r][1] * h->rotation[1][c] +
                    h->camera_rotation[r][2] * h->rotation[2][c];
  return quaternion_from_rotation(world);
}

// Sets the model's orientation to the world-frame rotation W: camera_rotation^T W.
static void set_world_orientation(hybroid *h, const double W[3][3]) {
  double own[3][3];
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++)
      own[r][c] = h->camera_rotation[0][r] * W[0][c] + h->camera_rotation[1][r] * W[1][c] +
                  h->camera_rotation[2][r] * W[2][c];
  h->orientation = quaternion_from_rotation(own);
  rotation_from_quaternion(h->orientation, h->rotation);
}

// Whether the partner's own stage turns it as one of a pair: only then do
// its orientation and its torque stand for the object's.
static bool turns_as_pair(hybroid *p) {
  return p && (current_stage_options(p) & STAGE_PAIR) &&
         (current_schedule_entry(p) & (DF_ROT | DF_ROTZ));
}

static void share_orientation(hybroid *right) {
  hybroid *left = right->h_neigh;
  if (right->h_index != 1 || !turns_as_pair(left)) return;
  quaternion a = world_orientation(left), b = world_orientation(right);
  double sign = a.w * b.w + a.v.x * b.v.x + a.v.y * b.v.y + a.v.z * b.v.z < 0.0 ? -1.0 : 1.0;
  quaternion m = {a.w + sign * b.w, {a.v.x + sign * b.v.x, a.v.y + sign * b.v.y,
                                     a.v.z + sign * b.v.z}};
  double n = sqrt(m.w * m.w + m.v.x * m.v.x + m.v.y * m.v.y + m.v.z * m.v.z);
  if (!(n > 0.0)) return;
  double mean[3][3];
  rotation_from_quaternion({m.w / n, scaled_vector(m.v, 1.0 / n)}, mean);
  set_world_orientation(left, mean);
  set_world_orientation(right, mean);
}

// pair: the torque on the model is its own plus its partner's of the
// partner's last step (both views pull one object round), turned into this
// model's camera frame.
static void add_partner_torque(hybroid *h) {
  h->pair_torque = h->net_applied_torque;
  hybroid *p = h->h_neigh;
  if (!turns_as_pair(p)) return;
  vector w = transform(p->camera_rotation, p->pair_torque, {0.0, 0.0, 0.0});
  vector own = transpose_times(h->camera_rotation, w);
  h->net_applied_torque = {h->net_applied_torque.x + own.x, h->net_applied_torque.y + own.y,
                           h->net_applied_torque.z + own.z};
}

// Whether a stage of a schedule file goes on after this step: its step
// limit, then either the gof (settle) or the convergence test's verdict.
static int file_stage_goes_on(hybroid *h, int options, int changing) {
  h->stage_steps++;
  int limit = h->stage_limit[h->fitting_index];
  if (limit > 0 && h->stage_steps >= limit) return 0;
  if (options & STAGE_SETTLE) return gof_still_improving(h, (options & STAGE_PATIENT) != 0);
  return changing;
}

// probe: how far the rerun raises e1 and e2 from where the first run ended.
// The squareness and the sizes of a box trade against each other along a
// valley whose floor, with the data matched to the nearest nodes, can have
// two dips; a run that comes from squareness 1 (where the start may leave
// it) settles in the first one it meets, and a pinched box ends there with
// its sizes small.
static const double PROBE_STEP = 0.15;

static double *shape_value(hybroid *h, int k) {
  double *v[10] = {&h->sc, &h->a1, &h->a2, &h->a3, &h->e1,
                   &h->e2, &h->tapx, &h->tapy, &h->bend1, &h->bend3};
  return v[k];
}

static void save_probe(hybroid *h, probe_snapshot *p) {
  for (int k = 0; k < 10; k++) p->shape[k] = *shape_value(h, k);
  p->translation = h->translation;
  p->orientation = h->orientation;
  p->gof = h->gof;
}

static void restore_probe(hybroid *h, const probe_snapshot &p) {
  for (int k = 0; k < 10; k++) *shape_value(h, k) = p.shape[k];
  h->translation = p.translation;
  h->orientation = p.orientation;
  h->gof = p.gof;
  rotation_from_quaternion(h->orientation, h->rotation);
  compute_superquadric_taper_bend_normal(h);
  compute_superquadric_taper_bend_new_center(h);
}

// At the end of each run of a probe stage (round 0, 1, 2): after the
// first, the stage runs again from where it ended with the freed e1, e2
// raised by PROBE_STEP (within their bounds) and held there (the sizes and
// the pose settle to them), then once more with them free; of the first
// and the last run the one that ended with the lower gof stays.  True
// while the stage goes on.
static bool probe_goes_on(hybroid *h, int stage_mask) {
  if (h->probe_round == 0) {
    save_probe(h, &h->probe_first);
    if (stage_mask & DF_E1) h->e1 = squareness_within_bounds(h->e1 + PROBE_STEP);
    if (stage_mask & DF_E2) h->e2 = squareness_within_bounds(h->e2 + PROBE_STEP);
    compute_superquadric_taper_bend_normal(h);
    compute_superquadric_taper_bend_new_center(h);
  }
  if (h->probe_round < 2) {
    h->probe_round++;
    return true;
  }
  if (!(h->gof < h->probe_first.gof)) restore_probe(h, h->probe_first);
  h->probe_round = 0;
  return false;
}

int compute_motion_auto(hybroid *h) {
  h->df_mask = current_schedule_entry(h);
  if (h->df_mask == 0) return 1;  // schedule finished
  int options = current_stage_options(h);
  bool from_file = (options & STAGE_FROM_FILE) != 0;
  int stage_mask = h->df_mask;
  if ((options & STAGE_PROBE) && h->probe_round == 1) h->df_mask &= ~(DF_E1 | DF_E2);
  set_geometry_switches(h, options);
  if (from_file && h->stage_steps == 0) begin_file_stage(h, options);
  bookkeep_superquadric_parameters(h);
  if (from_file) bookkeep_free_shape(h);
  bookkeep_trans_rot(h);
  prepare_geometry(h);
  h->normal_force_flag = (h->df_mask & DF_NO_NORMAL) ? 0 : 1;
  h->subsample = (h->df_mask & DF_SPARSE) ? SPARSE_SUBSAMPLE : 0;
  gather_forces(h);
  if (from_file) apply_schedule_damping(h);
  bool adapt = (options & STAGE_ADAPT) != 0;
  if (adapt) judge_last_step(h, options);
  if (h->df_mask & RIGID_BITS) {
    compute_net_applied_force_and_torque(h);
    if ((options & STAGE_PAIR) && (h->df_mask & (DF_ROT | DF_ROTZ))) add_partner_torque(h);
    if (adapt) adapt_rigid_damping(h);
  }
  if (h->df_mask & DF_TRANS) compute_translation(h);
  if (h->df_mask & (DF_ROT | DF_ROTZ)) compute_rotation(h);
  if (h->df_mask & (from_file ? SHAPE_BITS : AUTO_SHAPE_BITS)) {
    compute_superquadric_generalized_force(h);
    if (adapt) adapt_shape_damping(h);
    compute_superquadric_deformation(h);
  }
  // A stage of a schedule file that asks for it couples the depth of a
  // stereo pair after each step, as the manual step does.
  if (from_file && (h->df_mask & DF_STEREO)) compute_stereo_motion(h);
  if ((options & STAGE_PAIR) && (h->df_mask & (DF_ROT | DF_ROTZ)) && h->stage_steps == 0)
    share_orientation(h);
  int changing = fit_changing(h) != 0;
  if (from_file) changing = file_stage_goes_on(h, options, changing);
  bool probing = (options & STAGE_PROBE) && (stage_mask & (DF_E1 | DF_E2));
  if (!changing && probing && probe_goes_on(h, stage_mask)) {
    h->stage_steps = 0;
    return 0;
  }
  if (!changing) {
    h->fitting_index += 1;
    h->stage_steps = 0;
  }
  return 0;
}

static double single_precision_length(const vector &v) {
  return (double)(float)sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
}


// The vector part of q divided by its length rounded to single precision;
// a zero vector stays zero.
static vector unit_axis(const quaternion &q) {
  double len = single_precision_length(q.v);
  if (len == 0.0) return q.v;
  return vector{q.v.x / len, q.v.y / len, q.v.z / len};
}

// Bits of the shape parameters that moved by more than tolerance t: scale
// and axes relative to their previous values, tapers absolutely.
static int shape_changes(const hybroid *h, double t) {
  int diff = 0;
  if (fabs(h->sc - h->sc_pr) > t * h->sc_pr) diff |= DF_SC;
  if (fabs(h->a1 - h->a1_pr) > t * h->a1_pr) diff |= DF_A1;
  if (fabs(h->a2 - h->a2_pr) > t * h->a2_pr) diff |= DF_A2;
  if (fabs(h->a3 - h->a3_pr) > t * h->a3_pr) diff |= DF_A3;
  if (fabs(h->tapx - h->tapx_pr) > t) diff |= DF_TAPX;
  if (fabs(h->tapy - h->tapy_pr) > t) diff |= DF_TAPY;
  return diff;
}

// Orientation tests: the change of the quaternion's scalar part and of its
// unit axis.  Records d_ang and axis_diff.
static int orientation_changes(hybroid *h, double t) {
  int diff = 0;
  h->d_ang = h->orientation.w - h->orientation_pr.w;
  if (fabs(h->d_ang) > t) diff |= DF_ROT;
  vector axis_change = sub_vector(unit_axis(h->orientation), unit_axis(h->orientation_pr));
  if (single_precision_length(axis_change) > t) diff |= DF_ROT;
  h->axis_diff = axis_change;
  return diff;
}

// e1, e2 and the bending parameters, absolutely (option all).
static int free_shape_changes(const hybroid *h, double t) {
  int diff = 0;
  if (fabs(h->e1 - h->e1_pr) > t) diff |= DF_E1;
  if (fabs(h->e2 - h->e2_pr) > t) diff |= DF_E2;
  if (fabs(h->bend1 - h->bend1_pr) > t) diff |= DF_BEND1;
  if (fabs(h->bend3 - h->bend3_pr) > t) diff |= DF_BEND3;
  return diff;
}



// Option turn: the angle the model turned in the step, radians, judged
// against t.  For a model with a1 = a2 only its axis (column 2 of the
// rotation) counts; otherwise the whole turn, from the quaternion
// q * conj(q_pr).  Records the angle in d_ang and the turn's axis times its
// sine in axis_diff.
static int turn_changes(hybroid *h, double t) {
  const quaternion &q = h->orientation, &p = h->orientation_pr;
  double angle;
  vector axis;
  if (h->a12_symmetric) {
    vector z = {h->rotation[0][2], h->rotation[1][2], h->rotation[2][2]};
    vector z_pr = {h->rotation_pr[0][2], h->rotation_pr[1][2], h->rotation_pr[2][2]};
    axis = cross_vector(z_pr, z);
    angle = atan2(length_vector(axis), z.x * z_pr.x + z.y * z_pr.y + z.z * z_pr.z);
  } else {
    double w = q.w * p.w + q.v.x * p.v.x + q.v.y * p.v.y + q.v.z * p.v.z;
    vector c = cross_vector(q.v, p.v);
    axis = {p.w * q.v.x - q.w * p.v.x - c.x, p.w * q.v.y - q.w * p.v.y - c.y,
            p.w * q.v.z - q.w * p.v.z - c.z};
    angle = 2 * atan2(length_vector(axis), fabs(w));
  }
  h->d_ang = angle;
  h->axis_diff = axis;
  return angle > t ? DF_ROT : 0;
}

int fit_changing(hybroid *h) {
  int options = current_stage_options(h);
  double t = (current_schedule_entry(h) & DF_LOOSE_TOL) ? 10 * h->ftol : h->ftol;
  int diff = shape_changes(h, t);
  if (options & STAGE_ALL) diff |= free_shape_changes(h, t);
  vector dt = sub_vector(h->translation, h->translation_pr);
  if (single_precision_length(dt) > t * single_precision_length(h->translation_pr))
    diff |= DF_TRANS;
  if (options & STAGE_TURN) {
    diff |= turn_changes(h, t);
    h->diff = diff;
    return diff;
  }
  // A turn about the model's own axis leaves row 2 of the rotation unchanged;
  // for a model with a1 = a2 such a turn is no change of the fit.
  vector row2 = {h->rotation[2][0], h->rotation[2][1], h->rotation[2][2]};
  vector row2_pr = {h->rotation_pr[2][0], h->rotation_pr[2][1], h->rotation_pr[2][2]};
  vector d_row2 = sub_vector(row2, row2_pr);
  double s = sqrt(d_row2.x * d_row2.x + d_row2.y * d_row2.y + d_row2.z * d_row2.z);
  if (s > t || h->a12_symmetric == 0)
    diff |= orientation_changes(h, t);
  else
    h->axis_diff = dt;
  h->diff = diff;
  return diff;
}

// Installs a schedule file's stages for the model's label.
static void install_file_schedule(hybroid *h, const label_schedule *s) {
  for (int i = 0; i < s->n_stages && i < MAX_SEQUENCE - 1; i++) {
    h->fitting_sequence[i] = s->mask[i];
    h->stage_options[i] = s->options[i];
    h->stage_limit[i] = s->limit[i];
  }
}

// A label the schedule file lists gets the file's stages; any other label
// its built-in schedule (or none).
void init_fitting_rules(hybroid *h) {
  for (int i = 0; i < MAX_SEQUENCE; i++) {
    h->fitting_sequence[i] = 0;
    h->stage_options[i] = 0;
    h->stage_limit[i] = 0;
  }
  const label_schedule *file = schedule_of_label(h->primitive_label);
  if (file) {
    install_file_schedule(h, file);
  } else {
    for (const auto &s : fitting_schedules)
      if (s.label == h->primitive_label)
        for (int i = 0; i < MAX_SEQUENCE; i++) h->fitting_sequence[i] = s.entries[i];
  }
  h->fitting_index = 0;
  h->stage_steps = 0;
}

void bookkeep_superquadric_parameters(hybroid *h) {
  h->sc_pr = h->sc;
  h->a1_pr = h->a1;
  h->a2_pr = h->a2;
  h->a3_pr = h->a3;
  h->tapx_pr = h->tapx;
  h->tapy_pr = h->tapy;
}

// ---------------------------------------------------------------------------
// Stereo coupling: each model of a pair moves along its own viewing ray so
// that the image of its origin in the partner camera approaches the image
// of the partner's origin.  Projections here are always perspective.
// ---------------------------------------------------------------------------

static const double STEREO_GAIN = 0.05;  // fraction of the distance per unit of discrepancy
static const int STEREO_AUTO_MASK = DF_SC | DF_SPARSE;

void stereo_couple(hybroid *left, hybroid *right) {
  if (!left || !right) return;
  left->h_neigh = right;
  right->h_neigh = left;
}

// Perspective image of camera-frame point p on the image plane of focal
// length f; false when p has zero depth.
static bool project_point(const vector &p, double f, vector *image) {
  if (p.z == 0.0) return false;
  *image = scaled_vector(p, -f / p.z);
  return true;
}

// Camera-frame point p of model h seen in the camera of model r:
// Rr^T (Rh p + Th - Tr).
static vector to_partner_camera(const hybroid *h, const hybroid *r, const vector &p) {
  vector w = transform(h->camera_rotation, p, h->camera_translation);
  const vector &tr = r->camera_translation;
  return transpose_times(r->camera_rotation, {w.x - tr.x, w.y - tr.y, w.z - tr.z});
}

// Degenerate geometry (a zero depth in either camera, or no direction E
// because the model's origin lies on its own image plane) leaves the
// translation unchanged.
void compute_stereo_motion(hybroid *h) {
  hybroid *r = h->h_neigh;
  if (!r) return;
  double f = h->focal_length, fr = r->focal_length;
  if (!project_point(h->translation, f, &h->proj_trans)) return;
  if (!project_point(r->translation, fr, &r->proj_trans)) return;
  h->rtranslation = to_partner_camera(h, r, h->translation);
  if (!project_point(h->rtranslation, fr, &h->proj_rtrans)) return;
  // D: where the partner's origin lies in the partner image, minus where
  // this model's origin lies there.
  vector trans_rdiff = sub_vector(r->proj_trans, h->proj_rtrans);
  // E: how this model's origin image moves in the partner image when the
  // model slides along its own viewing ray.
  vector proj_rorig;
  if (!project_point(to_partner_camera(h, r, h->proj_trans), fr, &proj_rorig)) return;
  vector e = sub_vector(h->proj_rtrans, proj_rorig);
  double len = single_precision_length(e);
  if (len == 0.0) return;
  e = vector{e.x / len, e.y / len, e.z / len};
  double s = e.x * trans_rdiff.x + e.y * trans_rdiff.y + e.z * trans_rdiff.z;
  double factor = 1 + STEREO_GAIN * s;
  h->translation = scaled_vector(h->translation, factor);
}

int compute_stereo_motion_auto(hybroid *left, hybroid *right) {
  stereo_couple(left, right);
  left->df_mask = right->df_mask = STEREO_AUTO_MASK;
  hybroid *views[2] = {left, right};
  for (hybroid *h : views) {
    bookkeep_superquadric_parameters(h);
    bookkeep_trans_rot(h);
    compute_motion(h);
    compute_stereo_motion(h);
  }
  int left_changes = fit_changing(left);
  int right_changes = fit_changing(right);
  return left_changes == 0 && right_changes == 0;
}
