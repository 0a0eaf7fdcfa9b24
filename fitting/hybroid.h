// hybroid.h -- the records of a deformable model and the program-wide settings.
//
// Everything in the fitting program revolves around one record, `hybroid`: a
// superquadric with global tapering and bending, sampled as a latitude-longitude
// grid of `node`s, together with the contour data it is fitted to (`Face`s of
// `range_datapoint`s), its pose, its camera, its damping coefficients, its
// generalized forces and its fitting settings.  The records are plain structs
// with public fields in a fixed order; every module is a set of free functions
// over them, declared below, grouped by the source file that defines them.
//
// Start with `hybroid` and the degree-of-freedom bits, then read main.cpp.
#ifndef HYBFIT_HYBROID_H
#define HYBFIT_HYBROID_H

#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------------------
// Small shared types
// ---------------------------------------------------------------------------

struct vector {
  double x, y, z;
};

struct quaternion {
  double w;  // scalar part
  vector v;  // vector part
};

// ---------------------------------------------------------------------------
// Degree-of-freedom bits, shared by a model's df_mask, a force map's df_mode
// and the convergence result diff.
// ---------------------------------------------------------------------------
//        name             bit          force slot  damping field
enum {
  DF_SC          = 0x1,       //  0   c_inv_sc
  DF_A1          = 0x2,       //  1   c_inv_a1
  DF_A2          = 0x4,       //  2   c_inv_a2
  DF_A3          = 0x8,       //  3   c_inv_a3
  DF_E1          = 0x10,      //  -   c_inv_e1
  DF_E2          = 0x20,      //  -   c_inv_e2
  DF_TAPX        = 0x40,      //  4   c_inv_tx
  DF_TAPY        = 0x80,      //  5   c_inv_ty
  DF_BEND1       = 0x100,     // 10   c_inv_b1
  DF_BEND2       = 0x200,     //  -   c_inv_b2
  DF_BEND3       = 0x400,     // 12   c_inv_b3
  DF_TRANS       = 0x800,     //  6   c_inv_trans, c_inv_transz
  DF_ROT         = 0x1000,    //  8   c_inv_rot, c_inv_roty, c_inv_rotz
  DF_ROTZ        = 0x2000,    //  9   c_inv_rot, c_inv_roty, c_inv_rotz
  DF_WHOLE_FORCE = 0x10000,   // every map acts; rigid motion uses node.force
  DF_NO_NORMAL   = 0x20000,   // automatic step: normal force off
  DF_LOOSE_TOL   = 0x80000,   // automatic step: tolerance ten times ftol
  DF_SPARSE      = 0x100000,  // automatic step: subsample = 5
  DF_STEREO      = 0x200000   // stereo depth coupling after the step
};

// Force slots: indices into node.Force / node.rForce and hybroid.force_cnt.
enum {
  SLOT_SC = 0, SLOT_A1 = 1, SLOT_A2 = 2, SLOT_A3 = 3, SLOT_TAPX = 4,
  SLOT_TAPY = 5, SLOT_TRANS = 6, SLOT_TRANSZ = 7, SLOT_ROT = 8, SLOT_ROTZ = 9,
  SLOT_BEND1 = 10, SLOT_BEND3 = 12, SLOT_TOTAL = 15, NUM_SLOTS = 16
};

// Degrees of freedom whose inverse damping the stage option adapt scales,
// each by its own gain; the rigid ones come last (from ADAPT_TRANS on).
enum {
  ADAPT_SC, ADAPT_A1, ADAPT_A2, ADAPT_A3, ADAPT_E1, ADAPT_E2, ADAPT_TAPX, ADAPT_TAPY,
  ADAPT_BEND1, ADAPT_BEND3, ADAPT_TRANS, ADAPT_TRANSZ, ADAPT_ROT, ADAPT_ROTZ, ADAPT_TERMS
};

// Bounds of the fixed arrays of the records.
enum {
  MAX_FACES = 6,
  MAX_CURVES = 5,
  MAX_NEIGHBORS = 5,
  MAX_FORCE_MAPS = 24,
  MAX_SEQUENCE = 16,
  MAX_HYBROIDS = 20,
  MAX_FILENAMES = 32,
  NUM_PRIMITIVES = 10,
  MAX_DOF_MAPS = 30
};

// Options of a stage read from a schedule file, beside its df_mask bits.
//        name             bit     word        meaning
enum {
  STAGE_FROM_FILE  = 0x1,   //  -          the stage comes from a schedule file
  STAGE_TURN       = 0x2,   //  turn       orientation judged by the angle turned
  STAGE_ALL        = 0x4,   //  all        e1, e2, bend1, bend3 judged too
  STAGE_SETTLE     = 0x8,   //  settle     ends when the gof stops improving
  STAGE_START      = 0x10,  //  start      start pose from the data, once
  STAGE_EXACT      = 0x20,  //  exact      true normals and derivatives
  STAGE_ALL_CURVES = 0x40,  //  allcurves  every curve drives bend1, bend3
  STAGE_ADAPT      = 0x80,   //  adapt      inverse dampings follow the gof
  STAGE_PAIR       = 0x100,  //  pair       a stereo pair shares one orientation
  STAGE_OUTLINE    = 0x200,  //  outline    a box's outline curves pull its silhouette too
  STAGE_INNER      = 0x400,  //  inner      start: a box's rotation from its inner edges
  STAGE_PROBE      = 0x800,  //  probe      reruns from e1, e2 raised, keeps the better end
  STAGE_PATIENT    = 0x1000,  //  patient    settle waits longer for smaller gains
  STAGE_SQUARE     = 0x2000,  //  square     adapt judges a step by the mean square distance
  STAGE_SMOOTH     = 0x4000,  //  smooth     distances to the contour curved between the nodes
  STAGE_GRADIENT   = 0x8000   //  gradient   every curve drives every freed size, taper, bend and the pose
};

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// One mesh node.  Grid node (row i, column j) is nodes[i * vsize + j]; the
// south pole is nodes[usize * vsize], the north pole nodes[usize * vsize + 1].
// The fields every step reads and writes come first, so that the loops over
// the nodes stream through as few cache lines as they can; the data forces
// follow, and the fields a step never touches close the record.
struct node {
  vector refer1;               // refer - model_center
  vector displ;                // local displacement, zero unless set
  vector posit;                // camera frame
  vector wposit;               // world frame
  vector proj_posit;           // camera frame, on the image plane
  vector proj_wposit;          // proj_posit in the world frame
  vector rnormal;              // camera frame normal
  vector normal;               // model frame unit outward normal
  vector dXdu;                 // camera frame unit tangent along u
  vector dXdv;                 // camera frame unit tangent along v
  node *neighbors[4];          // grid nodes: south, previous column, next column, north
  double sinu, cosu, sinv, cosv;  // fixed at mesh construction
  double spcue1cve2;           // S(cos u, e1) * S(cos v, e2)
  double spcue1sve2;           // S(cos u, e1) * S(sin v, e2)
  double spsue1;               // S(sin u, e1)
  vector refer;                // model frame, on the tapered and bent surface
  vector force;                // total data force, camera frame
  vector rforce;               // force in the model frame
  vector Force[NUM_SLOTS];     // data force per force slot, camera frame
  vector rForce[NUM_SLOTS];    // Force in the model frame (slots 0..5, 10, 12)
  double uu;                   // latitude, -pi/2 .. pi/2
  double vv;                   // longitude, -pi .. pi
  double mass;                 // not used by the first-order dynamics
  double damp;                 // not used
  vector ddispl;               // not used
  vector bnormal;              // not used
  vector rdXdu;                // not used
  vector rdXdv;                // not used
  vector rposit;               // position in the stereo partner's camera frame
  vector proj_rposit;          // rposit projected onto the partner's image plane
  vector proj_wrposit;         // proj_rposit in the world frame
  int num_neighbors;           // 4 for grid nodes, vsize for the poles
  node **many_neighbors;       // poles: the vsize nodes of the adjacent row
};

// The nodes that may carry data force, kept by forces.cpp so that the walks
// over the forces pass by the others.  It lives in model memory beside the
// nodes: a copy of the model record shares it with them.  While known, a
// node not marked holds +0 in force and in every Force slot a pass uses;
// while rotated_known, it also holds zero_image (the model-frame image of
// the +0 vector) in rforce and in the shape slots of rForce.  The data-force
// pass marks each node it adds a force to; unrotate_force unmarks the nodes
// whose forces are +0 again.  Code that writes a node's forces otherwise
// must mark the node (mark_force_node) or forget the list (forget_force_nodes).
struct force_nodes {
  int size;               // entries of marked: numnodes when allocated
  int known;              // 0: nothing known, every walk takes every node
  int rotated_known;
  vector zero_image;      // valid while rotated_known
  unsigned char *marked;  // one flag per node
  int *index;             // scratch: marked nodes in index order
};

struct elem {
  node *vertices[4];  // corners in order; a triangle leaves the fourth null
  int nomnodes;       // 4 or 3
  int elemtype;       // 0 quadrilateral, 1 south cap triangle, 2 north cap triangle
};

struct range_datapoint {
  vector position;        // camera frame, on the image plane z = -focal_length
  vector wposition;       // world frame
  double u, v;            // not used
  node *nearest_node;     // matched in the last data-force pass, or null
  double strength_force;  // set by the reader, not used by the force law
  vector force;           // separation used as force in the last pass
  double mag_force;       // distance to the node, then normal-force magnitude
  int type;               // not used
};

struct Face {
  int n_points;                        // -1 marks a face without data
  range_datapoint *points;             // n_points points, owned by the model
  int n_curve;                         // at most MAX_CURVES
  int begin[MAX_CURVES];               // first point of each curve; -1 = absent
  int end[MAX_CURVES];                 // last point (may be below begin: wraps)
  int n_neighbor;                      // at most MAX_NEIGHBORS
  int neighbor_face[MAX_NEIGHBORS];
  int neighbor_curve[MAX_NEIGHBORS];
  int outline[MAX_CURVES];             // 1: the background lies across the curve
};

struct force_map {
  int df_mode;  // degree-of-freedom bits this curve's forces drive
  int face;     // index into hybroid.face
  int curve;    // curve index within that face
  int u1, u2;   // inclusive grid rows; u1 = -1 marks a map without a patch
  int v1, v2;   // inclusive grid columns; wraps when v2 < v1
  int tangent;  // not used
};

// A stage's end pose and shape with its gof, kept by the probe option.
struct probe_snapshot {
  double shape[10];  // sc a1 a2 a3 e1 e2 tapx tapy bend1 bend3
  vector translation;
  quaternion orientation;
  double gof;
};

struct hybroid {
  // Mesh.
  int usize, vsize;                // grid rows (poles excluded) and columns
  double ubegin, uend, ustep;
  double vbegin, vend, vstep;
  int numnodes;                    // usize * vsize + 2
  int numelems;                    // (usize - 1) * vsize + 2 * vsize
  node *nodes;
  elem *elems;
  force_nodes *forced;             // null: every force walk takes every node

  // Shape: current values, then previous values.
  double sc, a1, a2, a3, e1, e2;
  double sc_pr, a1_pr, a2_pr, a3_pr, e1_pr, e2_pr;
  double tapx, tapy, bend1, bend2, bend3;
  double tapx_pr, tapy_pr, bend1_pr, bend2_pr, bend3_pr;
  double bend_curv;                // curvature derived from bend1
  double angle;                    // angle of the initial orientation
  vector angle_vstep;              // not used

  // Pose and camera (camera frame unless stated).
  vector translation;
  quaternion orientation;
  double rotation[3][3];
  vector translation_pr;
  quaternion orientation_pr;
  double rotation_pr[3][3];
  vector camera_translation;       // camera pose in the world frame
  quaternion camera_orientation;
  double camera_rotation[3][3];

  // Rigid forces.
  vector net_applied_force, net_applied_torque;
  vector net_applied_force_pr, net_applied_torque_pr;  // not used
  vector net_damping_force, net_damping_torque;        // not used

  // Data.
  int numdatapoints;               // not used
  range_datapoint *range_data;     // stays null: the points live in face[]
  int primitive_label;             // 1, 5, 6 and 10 are supported
  int aspect_label;                // not used
  int n_face;                      // entries of face in use
  Face face[MAX_FACES];

  // Inverse damping coefficients.
  double c_inv, c_inv_sc, c_inv_a1, c_inv_a2, c_inv_a3, c_inv_e1, c_inv_e2;
  double c_inv_tx, c_inv_ty, c_inv_b1, c_inv_b2, c_inv_b3;
  double c_inv_trans, c_inv_transz, c_inv_rot, c_inv_roty, c_inv_rotz;

  // Fitting state and settings.
  int force_cnt[NUM_SLOTS];        // data points per force slot in this step
  double avg_dim;                  // average linear dimension
  double strength_image_force;     // not used
  int center;                      // centre rule 1..4
  int u_center, v_center;          // centre node of rule 3
  vector model_center;             // model frame
  int a12_symmetric;
  int txy_symmetric;
  int u_offset;
  int df_mask;                     // degrees of freedom being fitted
  int fitting_index;               // position in fitting_sequence
  int fitting_sequence[MAX_SEQUENCE];
  int n_force;                     // entries of force_map in use
  struct force_map force_map[MAX_FORCE_MAPS];
  double fsc, fa1, fa2, fa3, fe1, fe2, ftx, fty, fb1, fb2, fb3;
  double qforce_pr[NUM_SLOTS];     // 0..5: fsc, fa1, fa2, fa3, ftx, fty
  double gof;                      // mean data-to-node distance, last pass
  double gof_square;               // mean square of that distance, last pass
  double gof_pr;                   // not used
  double normal_eps;               // not used
  int diff;                        // bits whose last step exceeded the tolerance
  double d_ang;                    // change of orientation.w in the last step
  vector axis_diff;                // change of the rotation axis in the last step
  int h_index;                     // 0 left, 1 right model of a stereo pair
  hybroid *h_neigh;                // stereo partner (not owned)
  vector proj_trans, rtranslation, proj_rtrans;
  int normal_force_flag;
  int subsample;                   // 0 .. 19
  int graphics_flag;
  double ftol;                     // relative fitting tolerance
  double dt;                       // Euler time step
  int perspective_flag;            // 0 orthographic, else perspective
  double focal_length;
  double x_scale, y_scale;         // camera units per pixel
  double x_center, y_center;       // optical centre in pixels
  int x_dim, y_dim;                // image size in pixels
  double display_scale;            // divisor of the stereo base line
  int exact_geometry;              // 1: true normals and derivatives of the deformed surface
  int extended_shape;              // 1: e1, e2 get forces; freed shape parameters stay in bounds
  int outline_match;               // 1: a box's outline curves pull its silhouette nodes too
  int smooth_contours;             // 1: distances to the contour curved between the nodes

  // Stages read from a schedule file (all 0 with the built-in schedules).
  int stage_options[MAX_SEQUENCE]; // STAGE_ bits of each fitting_sequence entry
  int stage_limit[MAX_SEQUENCE];   // most steps of each entry, 0 = no limit
  int stage_steps;                 // steps taken in the current entry
  double stage_best_gof;           // lowest gof of the current entry so far
  int stage_stall;                 // steps since stage_best_gof last improved
  double stage_gain[ADAPT_TERMS];  // factor of each inverse damping (adapt)
  vector stage_force_pr[ADAPT_TERMS];  // its force in the previous step
  double stage_gof_pr;             // gof (square: its mean square) of the previous step
  int probe_round;                 // probe: 0 first run, 1 e1, e2 raised and held, 2 free
  probe_snapshot probe_first;      // probe: where the first run ended
  int stage_worse;                 // 1: this step's gof is above the previous one
  vector pair_torque;              // pair: own torque of the last step, camera frame
};

// One record of the primitive parameter file (index = primitive label - 1).
struct hyb_param {
  int usize, vsize;
  float sc, a1, a2, a3, e1, e2;
  float tapx, tapy;
  float bend1, bend2, bend3;
  double c_inv_sc, c_inv_a1, c_inv_a2, c_inv_a3;
  double c_inv_e1, c_inv_e2;
  double c_inv_tx, c_inv_ty, c_inv_b1;
  double c_inv_b2;
  double c_inv_b3, c_inv_trans, c_inv_transz, c_inv_rot, c_inv_rotz;
};

// ---------------------------------------------------------------------------
// Global settings of the driver (main.cpp)
// ---------------------------------------------------------------------------
extern double fitting_tol;       // -t
extern double euler_step;        // -u
extern double focal_length;      // -f; also the window's near distance
extern int perspective_flag;     // -p
extern int graphics_off;         // -g
extern int auto_fitting;         // -a
extern int stereo_flag;          // -s
extern int debug_flag;           // -d
extern double base_line;         // -b
extern double verge_angle;       // -v
extern double elev_angle;        // -e
extern double bstep, vstep, estep;
extern int stop_fitting;         // 1 = paused
extern int dump_data_flag;
extern int dump_contour_flag;
extern int active_hybroid;
extern char *ofile;
extern FILE *ofs;
extern int nfiles;
extern char *filenames[MAX_FILENAMES];
extern int Num_Hybroids;
extern hybroid *Hybroids[MAX_HYBROIDS];
extern int hybroid_on[MAX_HYBROIDS];
extern vector rpy;
extern double theta;             // radians

// main.cpp: command line, run loop, camera frames
void parse_command_line(int argc, char **argv);
void run_fitting();
void setup_param(hybroid **hs, int n);
void set_camera_frame(hybroid *h);
void adjust_camera_frames(hybroid **hs, int n);
void toggle_fitting_attributes(hybroid *h);
void dump_data(hybroid *h);
void draw_on_hybroids();
long open_window();
void draw_frame(hybroid *h);
void add_simulated_force(hybroid *h);
void swap(double *a, double *b);
// Keeps a copy of every model before the pass's fitting step; after it,
// stop_non_finite_models puts back any model whose state is no longer
// finite, reports it (pass is the pass number), pauses the fit and returns 1.
void remember_model_states();
int stop_non_finite_models(int pass);

// results.cpp: the outputs of a run (-o JSON, -m OBJ, the batch snapshot)
enum { OUTPUT_FAILED_STATUS = 5 };  // exit status: an output was not written
enum { RUN_ENDED_BY_USER = -1 };    // write_run_outputs: an interactive run ended
extern char *mesh_file;          // -m
void count_fitting_pass(const hybroid *h);
void open_mesh_file();
int write_run_outputs(int status);
// mesh_obj.cpp: the fitted surfaces as OBJ; counts values not finite
int write_mesh_obj(FILE *fp, int *non_finite);

// fitting.cpp: self-contained fitting loops
extern int stop_flag;
void fit_single_view(hybroid *h);
void fit_stereo_views(hybroid *h_left, hybroid *h_right);

// hybroid.cpp: allocation, mesh construction, release, reports
hybroid *hybroid_alloc();
void init_hybroid(hybroid *h);
void allocate_hybroid(hybroid *h);
void assemble_hybroid_rectangular_mesh(hybroid *h);
void init_rect_uv_coords(hybroid *h);
void free_contour_data(hybroid *h);
void free_hybroid(hybroid *h);
void fprintf_hybroid_info(FILE *fp, hybroid *h);
void display_hybroid_info(hybroid *h);
// The lines of the on-screen panel, formatted without drawing them.
enum { PANEL_LINES = 31, PANEL_LINE_SIZE = 256 };
void format_panel_lines(const hybroid *h, char lines[][PANEL_LINE_SIZE]);
int format_stage_line(const hybroid *h, char line[PANEL_LINE_SIZE]);
void fprintf_superquadric_params(FILE *fp, hybroid *h);

// superquadric.cpp: node geometry, centre, tangents, normals
void compute_superquadric_taper_bend_normal(hybroid *h);
void compute_superquadric_node_taper_bend_normal(hybroid *h, node *nde,
                                                 double r1, double r2, double r3,
                                                 double e1, double e2, int same_e12);
void compute_new_center(hybroid *h);
void compute_superquadric_taper_bend_new_center(hybroid *h);
void unrotate_normal(hybroid *h);
void compute_tangent(hybroid *h);
void compute_normal(hybroid *h);
// pow(w, e) remembered over a pass of the nodes, which asks for the same
// powers again and again (a grid row shares its latitude, a column its
// longitude, mirror-image nodes their coordinates up to sign).  pow depends
// on nothing but its arguments, so a remembered value is bit for bit what a
// new call would give.  Clear a table before each pass.
enum { POWER_TABLE_BITS = 9, POWER_TABLE_SIZE = 1 << POWER_TABLE_BITS };
struct power_table {
  bool known[POWER_TABLE_SIZE];
  uint64_t w[POWER_TABLE_SIZE], e[POWER_TABLE_SIZE];  // argument bits
  double value[POWER_TABLE_SIZE];                     // pow of them
};
void clear_power_table(power_table *t);
double tabled_pow(power_table *t, double w, double e);
// Derivatives of one node's position on the tapered and bent surface with
// respect to the shape parameters whose degree-of-freedom bits are in mask
// (the others are left as they are), model frame, exactly as the geometry
// computes the position (bend2 does not enter it).  A pass over the nodes
// shares the remembered powers and logarithms and the model's bending.
struct shape_derivatives {
  vector sc, a1, a2, a3, e1, e2, tapx, tapy, bend1, bend3;
};
struct shape_pass {
  power_table powers;
  bool bent;           // |bend1| above the bending threshold
  double cb, sb;       // cos and sin of bend3
  double k, R, z_top;  // curvature, radius and top of the bending arc
};
void begin_shape_pass(const hybroid *h, shape_pass *p);
void compute_shape_derivatives(const hybroid *h, const node *nde, shape_pass *p, int mask,
                               shape_derivatives *d);

// deformation.cpp: generalized forces and the shape update
void compute_superquadric_generalized_force(hybroid *h);
void bookkeep_generalized_force(hybroid *h);
void fprintf_suq_force_params(FILE *fp, hybroid *h);
void compute_superquadric_deformation(hybroid *h);
// A squareness exponent held within the bounds that keep the geometry finite.
double squareness_within_bounds(double e);

// forces.cpp: correspondence, data forces, net force and torque
node *nearest_hybroid_node2D(hybroid *h, vector point, vector *separation,
                             double *distance);
node *nearest_hybroid_node_ortho_projection(hybroid *h, struct force_map *fmp,
                                            vector point, vector *separation,
                                            double *distance);
node *nearest_hybroid_node_perspective_projection(hybroid *h, struct force_map *fmp,
                                                  vector point, vector *separation,
                                                  double *distance);
void alloc_force_nodes(hybroid *h);
void free_force_nodes(hybroid *h);
void mark_force_node(hybroid *h, const node *nd);
void forget_force_nodes(hybroid *h);
// The list while its model-frame forces are known, else null.
const force_nodes *rotated_force_nodes(const hybroid *h);
// Lists the marked nodes in index order into f->index; returns their number.
int list_marked_nodes(const force_nodes *f);
void zeroize_force(hybroid *h);
void zeroize_gof(hybroid *h);
void compute_range_data_forces_projection(hybroid *h);
// The nearest-node searches of one data-force pass, exactly as the pass
// makes them, without anything it does with the results: the number of
// points matched to a node (for the benchmarks).
int nearest_node_searches_of_pass(hybroid *h);
// How squarely a node faces the camera: the cosine between its normal and
// the line of sight, positive when its side faces it.
double facing_cosine(const node *nd, int perspective);
void compute_normal_force(hybroid *h, struct force_map *fmp, range_datapoint *dp,
                          vector *separation, double *distance);
void project_vector(vector point, vector *direction);
void perform_force_mapping(hybroid *h, struct force_map *fmp, range_datapoint *dp,
                           vector separation, double distance);
void compute_gof(hybroid *h);
void compute_net_applied_force_and_torque(hybroid *h);
void unrotate_force(hybroid *h);
void draw_force(hybroid *h, int mask);

// contours.cpp: separations across the contour curved between the nodes
// (smooth_contours): from the separation s of a point from node n, shaped
// by the force direction a (along the contour when tangent, else the
// normal) into shaped.  Consecutive points of a silhouette mostly pull the
// same node, so a pass keeps the last node's touching points in a
// touch_memo (n null at the start of the pass; memo null: none kept).
enum { MAX_CONTOUR_TOUCHES = 18 };  // a row's and a column's of 3 x 3 nodes
struct touch_memo {
  const node *n;  // null: nothing kept
  vector across;  // the image normal the touches were measured with
  int count;
  double x[MAX_CONTOUR_TOUCHES], y[MAX_CONTOUR_TOUCHES];
};
vector smooth_separation(const hybroid *h, const force_map *fmp, const node *n, bool tangent,
                         vector a, vector s, vector shaped, touch_memo *memo);

// dynamics.cpp: positions and projections, rigid motion, fitting control, stereo
void compute_positions(hybroid *h);
void compute_world_positions(hybroid *h);
void compute_projected_positions(hybroid *h);
void compute_world_projected_positions(hybroid *h);
void compute_projected_positions_right(hybroid *h);
void compute_world_projected_positions_right(hybroid *h);
void bookkeep_trans_rot(hybroid *h);
void compute_translation(hybroid *h);
void compute_rotation(hybroid *h);
void mat_from_rpy(double mat[3][3], double roll, double pitch, double yaw);
void choose_fitting_dof(hybroid *h);
void prepare_geometry(hybroid *h);
void measure_data_forces(hybroid *h);
void compute_motion(hybroid *h);
int compute_motion_auto(hybroid *h);
int fit_changing(hybroid *h);
void init_fitting_rules(hybroid *h);
void bookkeep_superquadric_parameters(hybroid *h);
void stereo_couple(hybroid *left, hybroid *right);
void compute_stereo_motion(hybroid *h);
int compute_stereo_motion_auto(hybroid *left, hybroid *right);
// The quaternion product dq * q with dq = (c, a): the increment acts on the
// left, in the camera frame.  Shared by the rigid motion and the rotation edits.
quaternion quaternion_left_multiply(double c, vector a, quaternion q);
// Rebuilds a rotation matrix from a unit quaternion (w, x, y, z) with the
// entries 1 - 2(y^2 + z^2), 2(xy - wz), ... as the rigid motion uses them.
void rotation_from_quaternion(quaternion q, double rot[3][3]);

// read_data.cpp: contour dump file and damping coefficient file
void read_ascii_xy_data_dump(const char *filename, hybroid *h,
                             double strength_data_force);
void ignore_comment(FILE *fp, int sym);
void read_damping_coeff(const char *file, hybroid **hs, int n);

// surfmap.cpp: primitive tables, surface regions, model initialisation
extern hyb_param hybroid_parameter[NUM_PRIMITIVES];
extern int dof_map[NUM_PRIMITIVES][MAX_DOF_MAPS];
// Where the run loop looked for the parameter file ("the current directory"
// or "HYBROID_INIT_FILE"), named in the hint after a missing or short file;
// null: no hint.
extern const char *parameter_file_origin;
void read_primitive_hybroid_parameter(const char *fname);
void read_primitive_dof_mapping(const char *basename);
void init_primitive_hybroid_parameter(hybroid *h);
void init_primitive_damping_parameter(hybroid *h);
void init_primitive_initial_parameter(hybroid *h);
void init_dof_uv_mapping(hybroid *h);
void init_model_center(hybroid *h);
int set_uv_mapping(hybroid *h, struct force_map *fmp, int volume_label,
                   int volume_node_label, int curve_label);
void map_region_to_uv_ranges(hybroid *h, struct force_map *fmp, int region);
void set_dof_mapping(struct force_map *fmp, int volume_label,
                     int volume_node_label, int curve_label);
int curved_occluding_contour(int primitive, int face, int curve);
int box_face_patch(const hybroid *h, int face, struct force_map *patch);
int curve_outline_mark(const hybroid *h, int face, int curve);

// schedule.cpp: the fitting schedule file.  Per primitive label: the stages
// (df_mask, options, step limit) and the inverse damping of the parameters
// the primitive parameter file lacks.
struct label_schedule {
  int given;                        // 1 when the file lists the label
  int n_stages;                     // at most MAX_SEQUENCE - 1
  int mask[MAX_SEQUENCE];
  int options[MAX_SEQUENCE];        // STAGE_ bits
  int limit[MAX_SEQUENCE];          // 0 = no limit
  double c_inv_e1, c_inv_e2, c_inv_b1, c_inv_b3;  // negative: not given
};
enum { SCHEDULE_ERROR_SIZE = 512 };
extern label_schedule schedule_table[NUM_PRIMITIVES];
extern const char *schedule_file_used;  // null: the built-in schedules
void read_fitting_schedule();
int load_schedule_file(const char *fname, char *err);
const label_schedule *schedule_of_label(int label);
void describe_stage(int mask, int options, int limit, char *out, int size);

// startpose.cpp: a starting pose, orientation, position and sizes, read from the data;
// inner_edges: a box's rotation from the edges between its seen faces (see start_box)
void init_pose_from_data(hybroid *h, bool inner_edges = false);
// Unit quaternion of a rotation matrix (row-major, acting on columns).
quaternion quaternion_from_rotation(const double R[3][3]);

// damping.cpp: damping factors and average dimension
void zeroize_damping_factor(hybroid *h);
void compute_damping_factor(hybroid *h);
int compute_average_linear_dimension(hybroid *h);

// user.cpp: window set-up and the interactive event loop
extern long gwid;
extern short zoom, incl, azim, twist;
extern double dist;
extern float X_Translation, Y_Translation, Z_Translation;
extern int return_val;
extern int active_parameter;
extern long main_menu, superquadric_menu, position_menu, fitting_menu;
long sgi_init(int llx, int urx, int lly, int ury, int hasBorder);
void set_projection();
void user_init();
int user_reset(int item = 0);
int quit(int item = 0);
int modify_superquadric_parameters(int item);
int modify_position_parameters(int item);
int modify_fitting_parameters(int item);
void sgi_clear();
void sgi_flush();
void sgi_exit();
int user(hybroid *h_user);
void load_viewing_matrix();  // the view of the frame: distance, angles, translation

// display.cpp: scene drawing.  The display's switches live in their own
// namespace: its debug_flag (the text panel) is not the driver's debug_flag.
namespace display {
extern int debug_flag;
extern int draw_force_flag;
extern int draw_surface_vector_flag;
extern int draw_projected_mesh_flag;
extern int draw_axis_flag;
extern int draw_projection_ray_flag;
}  // namespace display
void toggle_display_attributes();
void draw_fitting_hybroid(hybroid *h);
void display_range_data_hybroid_2Ds(hybroid **hs, int num);
void display_range_data_hybroid_2D(hybroid *h);
void display_range_data_cube_wrt_world(range_datapoint *data, int num_data_points);
void compute_data_position_wrt_world(hybroid *h);
void display_perspective_projection(hybroid *h);
void draw_vector(vector v, vector p, double s, int vector_color);
void draw_cube_p(vector p, double size);
void draw_transformed_xyz_axes(vector tr, double mat[3][3], double size);
void draw_transformed_focal_plane(vector tr, double mat[3][3], double focal,
                                  double size);

#endif
