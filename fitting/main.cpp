// main.cpp -- the driver: global settings, the command line, the run loop that
// owns the models, the stereo camera frames and the driver's keys.
//
// Settings live in the globals below with their start values; the run loop
// copies the per-model ones into every hybroid (setup_param) and later code
// reads the copies.  The run loop owns the models in Hybroids[] from their
// allocation to their release at its end.  A batch run (-g) has no window
// and so no keyboard: it cannot be paused, resumed or ended by keys, so it
// runs unattended: it starts fitting at once and ends when the automatic
// schedule has finished (or after HYBROID_MAX_PASSES passes).  The exit
// status tells how the run ended (EXIT_FINISHED and the others below).
// Start with parse_command_line, then run_fitting.
#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "gl.h"
#include "hybroid.h"

//     name               start value
double fitting_tol        = 0.001;
double euler_step         = 1.0;
double focal_length       = 0.1;
int perspective_flag      = 0;
int graphics_off          = 0;
int auto_fitting          = 0;
int stereo_flag           = 0;
int debug_flag            = 0;
double base_line          = 250.0;
double verge_angle        = 0.0;
double elev_angle         = 0.0;
double bstep              = 1.0;
double vstep              = 0.01;
double estep              = 0.01;
int stop_fitting          = 1;
int dump_data_flag        = 0;
int dump_contour_flag     = 0;
int active_hybroid        = -1;
char *ofile               = nullptr;
FILE *ofs                 = nullptr;
int nfiles                = 0;
char *filenames[MAX_FILENAMES];
int Num_Hybroids          = 0;
hybroid *Hybroids[MAX_HYBROIDS];
int hybroid_on[MAX_HYBROIDS];
vector rpy                = {0.0, 0.0, 0.0};
double theta              = 0.0;

// "+" keeps glibc's getopt from permuting: option parsing stops at the first
// argument that is not an option.
static const char option_string[] = "+o:m:aht:n:gpf:u:sdb:v:e:";

// One line per option: the program's traditional short description, then
// what the option takes and its default.
static const char *const option_help[] = {
  " -a : switch auto fitting (automatic schedule; otherwise the function keys choose what moves)",
  " -g : switch graphics OFF (batch run: no window and no keyboard; needs -a)",
  " -h : print this help info",
  " -p : set perspective_flag (perspective projection; default orthographic)",
  " -f : set focal length (positive, default 0.1; perspective data usually need 10 or more)",
  " -u : eUler_step (the Euler time step, positive, default 1.0)",
  " -t : fitting tolerance (at least 0, default 0.001)",
  " -d : set debug_flag (batch run: print the model report after every pass)",
  " -s : stereo_flag, expect 2 dump files only (left view, then right view)",
  " -v : verge_angle (vergence of the stereo cameras, radians, default 0)",
  " -e : elev_angle (elevation of the stereo cameras, radians, default 0)",
  " -b : base_line (stereo base line, default 250)",
  " -o : the JSON results file",
  " -m : write the fitted meshes as Wavefront OBJ",
  " -n : accepted and ignored",
};

static void print_usage(const char *prog) {
  fprintf(stderr,
          "%s [-a] [-t tol] [-u euler_step] [-h] [-n eps] [-g] [-p] [-o file] "
          "[-f focal_length] [-s] file(s)\n",
          prog);
  for (const char *line : option_help) fprintf(stderr, "%s\n", line);
  fprintf(stderr, "e.g. %s -a -t 0.01  lamp?.dump\n", prog);
}

// What a number option accepts.
enum number_rule { ANY_FINITE, POSITIVE, NOT_NEGATIVE };

// Reads option c's argument as one finite number (strtod: the same value atof
// gives for a number, but a word, a trailing word or an overflow such as 1e999
// is seen) and checks it against rule.  Prints one line naming the option and
// returns 1 when the argument is refused.
static int set_number(int c, const char *arg, number_rule rule, double *setting) {
  char *end = nullptr;
  double value = strtod(arg, &end);
  while (end != arg && isspace((unsigned char)*end)) end++;
  const char *fault = nullptr;
  if (end == arg || *end != '\0')
    fault = "is not a number";
  else if (!std::isfinite(value))
    fault = "is not a finite number";
  else if (rule == POSITIVE && !(value > 0.0))
    fault = "must be a positive number";
  else if (rule == NOT_NEGATIVE && value < 0.0)
    fault = "must be a number of at least 0";
  if (fault) {
    fprintf(stderr, "-%c: %s %s\n", c, arg, fault);
    return 1;
  }
  *setting = value;
  return 0;
}

// Applies one option; returns 1 when it counts as an error.
static int apply_option(int c, const char *arg) {
  switch (c) {
    case 'a': auto_fitting = 1; return 0;
    case 'b': return set_number(c, arg, ANY_FINITE, &base_line);
    case 'd': debug_flag = 1; return 0;
    case 'e': return set_number(c, arg, ANY_FINITE, &elev_angle);
    case 'f': return set_number(c, arg, POSITIVE, &focal_length);
    case 'g': graphics_off = 1; return 0;
    case 'n': return 0;
    case 'o': ofile = const_cast<char *>(arg); return 0;
    case 'm': mesh_file = const_cast<char *>(arg); return 0;
    case 'p': perspective_flag = 1; return 0;
    case 's': stereo_flag = 1; return 0;
    case 't': return set_number(c, arg, NOT_NEGATIVE, &fitting_tol);
    case 'u': return set_number(c, arg, POSITIVE, &euler_step);
    case 'v': return set_number(c, arg, ANY_FINITE, &verge_angle);
    default: return 1;  // -h, an unknown option or a missing argument
  }
}

static void open_output_file() {
  if (!ofile) {
    ofs = stdout;
    return;
  }
  ofs = fopen(ofile, "w");
  if (!ofs) {
    fprintf(stderr, "Cannot open ofile\n");
    exit(1);
  }
}

static void collect_file_names(int argc, char **argv, int first) {
  for (int i = first; i < argc; i++) {
    if (argv[i][0] == '-') continue;
    if (nfiles >= MAX_FILENAMES) continue;
    filenames[nfiles++] = argv[i];
    fprintf(stderr, "filename %s read in\n", argv[i]);
  }
}

void parse_command_line(int argc, char **argv) {
  int errors = 0, c;
  optind = 0;  // full re-initialisation, so that the parser can run again
  while ((c = getopt(argc, argv, option_string)) != -1) errors += apply_option(c, optarg);
  if (errors > 0) {
    print_usage(argv[0]);
    exit(1);
  }
  open_output_file();
  open_mesh_file();
  collect_file_names(argc, argv, optind);
}


// ---------------------------------------------------------------------------
// Refusals: command lines and models the run loop cannot serve
// ---------------------------------------------------------------------------

[[noreturn]] static void refuse(const char *message) {
  fputs(message, stderr);
  exit(1);
}

static const int DEFAULT_MAX_PASSES = 100000;

// HYBROID_MAX_PASSES bounds an unattended run: a whole number from 0 to
// INT_MAX; unset or empty means the default.  Anything else is refused, since
// a misread bound (atoi gives 0 for 99999999999999999999) would silently
// change the run.
static int read_max_passes() {
  const char *value = getenv("HYBROID_MAX_PASSES");
  if (!value || !*value) return DEFAULT_MAX_PASSES;
  char *end = nullptr;
  errno = 0;
  long n = strtol(value, &end, 10);
  if (errno != 0 || *end != '\0' || n < 0 || n > INT_MAX || !isdigit((unsigned char)*value)) {
    fprintf(stderr, "HYBROID_MAX_PASSES: %s is not a whole number from 0 to %d\n", value,
            INT_MAX);
    exit(1);
  }
  return (int)n;
}

// Checked right after the command line, before the theta prompt.  A batch run
// has no window and so no keyboard: it can only run unattended, which needs
// the automatic schedule.
static void refuse_unrunnable_setup() {
  if (graphics_off && !auto_fitting) refuse("A batch run without a keyboard needs -a\n");
  if (nfiles == 0) refuse("No dump file given\n");
  if (nfiles > MAX_HYBROIDS) refuse("At most 20 dump files can be fitted\n");
  if (stereo_flag && nfiles != 2) refuse("Stereo fitting needs exactly 2 dump files\n");
  if (graphics_off) read_max_passes();
}

static const double USUAL_PERSPECTIVE_FOCAL_LENGTH = 10.0;
static const double SHORT_FOCAL_LENGTH = 1.0;

// The default focal length 0.1 suits orthographic data; perspective data fit
// with it take very many passes to a poor fit.
static void warn_short_focal_length() {
  if (perspective_flag && focal_length < SHORT_FOCAL_LENGTH)
    fprintf(stderr,
            "Warning: focal length %g with -p; perspective data are usually fitted with "
            "-f %g or more\n",
            focal_length, USUAL_PERSPECTIVE_FOCAL_LENGTH);
}

static int is_supported_label(int label) {
  return label == 1 || label == 5 || label == 6 || label == 10;
}

// Only labels 1, 5, 6 and 10 have face layouts, regions and start poses, and
// the centre rules need at least 3 grid rows.  Checked just before model i is
// initialised, against the parameter table its mesh size comes from.
static void refuse_unsupported_model(int i) {
  int label = Hybroids[i]->primitive_label;
  if (!is_supported_label(label)) {
    fprintf(stderr, "%s: no supported primitive label (%d)\n", filenames[i], label);
    exit(1);
  }
  const hyb_param *p = &hybroid_parameter[label - 1];
  if (p->usize < 3 || p->vsize < 2) {
    fprintf(stderr, "%s: mesh %d x %d is too small to fit\n", filenames[i], p->usize,
            p->vsize);
    exit(1);
  }
}

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------

static const double DEGREES_TO_RADIANS = 0.017453292519943295;  // pi / 180

// One number, white space (line ends included) skipped; none read means 0.
// An infinite or NaN angle would turn every data point into NaN, which no
// node can match: it is refused.
static void read_theta() {
  double degrees = 0.0;
  fprintf(stderr, "Enter theta = ");
  if (scanf("%lf", &degrees) != 1) degrees = 0.0;
  if (!std::isfinite(degrees)) refuse("theta must be a finite number of degrees\n");
  theta = degrees * DEGREES_TO_RADIANS;
}

static const char *env_or_default(const char *name, const char *fallback) {
  const char *value = getenv(name);
  return value ? value : fallback;
}

static void read_parameter_files() {
  const char *init_file = getenv("HYBROID_INIT_FILE");
  parameter_file_origin = init_file ? "HYBROID_INIT_FILE" : "the current directory";
  read_primitive_hybroid_parameter(init_file ? init_file : "hyb");
  read_primitive_dof_mapping(env_or_default("FORCEMAP_FILE", "forcemap"));
  read_fitting_schedule();
}

static void create_models() {
  for (int i = 0; i < Num_Hybroids; i++) Hybroids[i] = hybroid_alloc();
}

// A dump file that cannot be opened ends the run with the reader's own line:
// a model without data could not be fitted, and its missing label is not the
// fault to report.
static void read_model_data(int i) {
  FILE *probe = fopen(filenames[i], "r");
  if (probe) fclose(probe);
  read_ascii_xy_data_dump(filenames[i], Hybroids[i], 1.0);
  if (!probe) exit(1);
}

static void read_and_initialise_models() {
  for (int i = 0; i < Num_Hybroids; i++) {
    read_model_data(i);
    refuse_unsupported_model(i);
    init_hybroid(Hybroids[i]);
  }
}

static void release_models() {
  for (int i = 0; i < Num_Hybroids; i++) {
    free_hybroid(Hybroids[i]);
    Hybroids[i] = nullptr;
  }
}

// ---------------------------------------------------------------------------
// Models that cannot be fitted: no data force, or a state gone non-finite
// ---------------------------------------------------------------------------

//     exit status                 meaning
enum { EXIT_FINISHED       = 0,    // the fit finished (or the user ended it)
       EXIT_PASS_LIMIT     = 2,    // an unattended run hit HYBROID_MAX_PASSES
       EXIT_NO_DATA_FORCE  = 3,    // a model never received a data force
       EXIT_NON_FINITE     = 4 };  // a model's state became non-finite

// A curve pulls on the model when its map drives some degree of freedom and
// its face holds points.
static int map_pulls(const hybroid *h, const force_map *m) {
  if (m->df_mode == 0 || m->face < 0 || m->face >= MAX_FACES) return 0;
  return h->face[m->face].n_points > 0;
}

static int label_has_force_map(int label) {
  if (label < 1 || label > NUM_PRIMITIVES) return 0;
  for (int slot = 0; slot < MAX_DOF_MAPS; slot++)
    if (dof_map[label - 1][slot]) return 1;
  return 0;
}

// Prints one line for every model that no data point can ever pull on;
// returns 1 if there was one.
static int report_models_without_data_force() {
  int found = 0;
  for (int i = 0; i < Num_Hybroids; i++) {
    const hybroid *h = Hybroids[i];
    int pulled = 0;
    for (int k = 0; k < h->n_force && k < MAX_FORCE_MAPS; k++)
      pulled |= map_pulls(h, &h->force_map[k]);
    if (pulled) continue;
    found = 1;
    if (!label_has_force_map(h->primitive_label))
      fprintf(stderr, "Model %d (%s) never received a data force: no force map for label %d\n",
              i, filenames[i], h->primitive_label);
    else
      fprintf(stderr, "Model %d (%s) never received a data force: none of its curves is mapped\n",
              i, filenames[i]);
  }
  return found;
}

static int state_is_finite(const hybroid *h) {
  const double v[] = {h->sc, h->a1, h->a2, h->a3, h->e1, h->e2, h->tapx, h->tapy,
                      h->bend1, h->bend2, h->bend3, h->translation.x, h->translation.y,
                      h->translation.z, h->orientation.w, h->orientation.v.x,
                      h->orientation.v.y, h->orientation.v.z, h->gof};
  for (double x : v)
    if (!std::isfinite(x)) return 0;
  return 1;
}

// The models as they were before the pass's step, so that one whose state
// becomes non-finite can be put back.  Node arrays are rebuilt, not copied.
static hybroid state_before_step[MAX_HYBROIDS];
static int non_finite_pass = 0;  // pass in which a model went non-finite, 0 none

void remember_model_states() {
  for (int i = 0; i < Num_Hybroids; i++) state_before_step[i] = *Hybroids[i];
}

static void restore_state(int i) {
  hybroid *h = Hybroids[i];
  *h = state_before_step[i];
  compute_superquadric_taper_bend_normal(h);
  compute_superquadric_taper_bend_new_center(h);
  compute_positions(h);
  compute_projected_positions(h);
  compute_world_positions(h);
}

// After a step: a model whose state is no longer finite goes back to its
// state before the step and the fit stops there (paused, so that the window
// shows the last finite state).  Returns 1 when that happened.
int stop_non_finite_models(int pass) {
  int stopped = 0;
  for (int i = 0; i < Num_Hybroids; i++) {
    if (state_is_finite(Hybroids[i])) continue;
    restore_state(i);
    fprintf(stderr,
            "Model %d (%s): its state became non-finite in pass %d; it stopped at its last "
            "finite state\n",
            i, filenames[i], pass);
    stopped = 1;
  }
  if (stopped) {
    stop_fitting = 1;
    non_finite_pass = pass;
  }
  return stopped;
}

// ---------------------------------------------------------------------------
// The passes
// ---------------------------------------------------------------------------

// Exactly one fitting step for the pass.  Returns 1 when this step finished
// the automatic fit: the last model's schedule (single view) or the stereo
// coupling (stereo pair).
static int take_fitting_step(hybroid *h) {
  if (stop_fitting) {  // paused: forces only, for the display
    zeroize_force(h);
    zeroize_damping_factor(h);
    compute_range_data_forces_projection(h);
    return 0;
  }
  if (!auto_fitting) {
    choose_fitting_dof(h);
    compute_motion(h);
    return 0;
  }
  if (stereo_flag) {  // both schedules always step
    int left_done = compute_motion_auto(Hybroids[0]);
    int right_done = compute_motion_auto(Hybroids[1]);
    return left_done && right_done && compute_stereo_motion_auto(Hybroids[0], Hybroids[1]);
  }
  if (!compute_motion_auto(h)) return 0;
  if (h == Hybroids[Num_Hybroids - 1]) return 1;  // the last model stays active
  // F12 may already have moved the active model during this pass.
  if (active_hybroid + 1 < Num_Hybroids) active_hybroid += 1;
  return 0;
}

static void show_pass(hybroid *h) {
  if (graphics_off) {
    if (debug_flag) fprintf_hybroid_info(stderr, h);
    return;
  }
  draw_frame(h);
}

// The program's window: 591 x 791 pixels, no border.
long open_window() { return sgi_init(10, 600, 10, 800, 0); }

// One frame of the window with h the active model.
void draw_frame(hybroid *h) {
  sgi_clear();
  draw_on_hybroids();
  display_range_data_hybroid_2Ds(Hybroids, Num_Hybroids);
  toggle_display_attributes();
  draw_fitting_hybroid(h);
  sgi_flush();
}

// Pass number pass on the active model.  Returns 1 when the front end asks
// to quit; *finished tells whether this pass finished the automatic fit.
static int run_pass(int pass, int *finished) {
  hybroid_on[active_hybroid] = 1;
  hybroid *h = Hybroids[active_hybroid];
  if (!graphics_off && user(h)) return 1;
  toggle_fitting_attributes(h);
  adjust_camera_frames(Hybroids, Num_Hybroids);
  remember_model_states();
  *finished = take_fitting_step(h);
  count_fitting_pass(h);
  if (stop_non_finite_models(pass)) *finished = 0;
  show_pass(h);
  if (dump_data_flag) {
    dump_data(h);
    dump_data_flag = 0;
  }
  return 0;
}

static void report_unattended_end(int passes, int finished) {
  if (finished)
    fprintf(stderr, "Fit finished after %d passes\n", passes);
  else
    fprintf(stderr, "Fit stopped after %d passes without finishing\n", passes);
  for (int i = 0; i < Num_Hybroids; i++) {
    fprintf(stderr, "Model %d: %s\n", i, filenames[i]);
    fprintf_hybroid_info(stderr, Hybroids[i]);
  }
}

// Runs passes until Escape is held or the front end quits.  A batch run has
// no keyboard: it runs unattended, starts unpaused and ends by itself (the
// fit finished, the pass limit, or a model gone non-finite).  Returns the
// exit status the passes call for.
static int run_passes() {
  int unattended = graphics_off;
  int max_passes = unattended ? read_max_passes() : 0;
  int passes = 0, finished = 0;
  if (unattended) stop_fitting = 0;
  while (unattended || !getbutton(DEV_ESC)) {
    if (unattended && (passes >= max_passes || non_finite_pass)) break;
    passes++;
    if (run_pass(passes, &finished)) break;
    if (unattended && finished) break;
  }
  if (unattended) report_unattended_end(passes, finished);
  if (non_finite_pass) return EXIT_NON_FINITE;
  if (unattended && !finished) return EXIT_PASS_LIMIT;
  return EXIT_FINISHED;
}

// The exit status of the whole run: a fault of a model outranks the pass
// limit, and a non-finite state outranks a missing data force.
static int final_status(int passes_status) {
  int no_force = report_models_without_data_force();
  if (passes_status == EXIT_NON_FINITE) return EXIT_NON_FINITE;
  if (no_force) return EXIT_NO_DATA_FORCE;
  return passes_status;
}

void run_fitting() {
  refuse_unrunnable_setup();
  warn_short_focal_length();
  read_theta();
  Num_Hybroids = nfiles;
  read_parameter_files();
  if (!graphics_off) open_window();
  create_models();
  setup_param(Hybroids, Num_Hybroids);
  read_and_initialise_models();
  active_hybroid = 0;
  int status = final_status(run_passes());
  // An output that cannot be written (status 5) outranks every fit status.
  int output_status = write_run_outputs(graphics_off ? status : RUN_ENDED_BY_USER);
  release_models();
  sgi_exit();
  if (output_status) exit(output_status);
  if (status != EXIT_FINISHED) exit(status);
}

// ---------------------------------------------------------------------------
// Per-model settings and camera frames
// ---------------------------------------------------------------------------

//     image constants                       value
static const double PIXEL_SIZE             = 0.05;   // camera units per pixel
static const double IMAGE_CENTER           = 128.0;  // optical centre, pixels
static const int IMAGE_SIZE                = 256;    // pixels
static const double BASE_LINE_TO_SCALE     = 12.8;   // display_scale = base_line / 12.8 * 0.85
static const double DISPLAY_SCALE_FACTOR   = 0.85;
static const double RIGHT_CAMERA_Y         = -0.2;   // the right camera sits slightly lower
static const double DEFAULT_BASE_LINE      = 250.0;  // start value of base_line

static void copy_settings(hybroid *h) {
  h->ftol = fitting_tol;
  h->dt = euler_step;
  h->graphics_flag = graphics_off ? 0 : 1;
  h->perspective_flag = perspective_flag;
  h->focal_length = focal_length;
  h->x_scale = h->y_scale = PIXEL_SIZE;
  h->x_center = h->y_center = IMAGE_CENTER;
  h->x_dim = h->y_dim = IMAGE_SIZE;
  h->display_scale = base_line / BASE_LINE_TO_SCALE * DISPLAY_SCALE_FACTOR;
  // A base line of 0 gives no scale, and the camera offsets base_line / 2 /
  // display_scale would be 0 / 0: the start value's scale is used instead,
  // so the two cameras start at one point and the B keys still move them.
  if (h->display_scale == 0.0)
    h->display_scale = DEFAULT_BASE_LINE / BASE_LINE_TO_SCALE * DISPLAY_SCALE_FACTOR;
}

// Rotation and horizontal offset of one stereo camera (side 0 left, 1 right):
// elevation about the camera x axis and vergence about its y axis, of
// opposite signs for the two views.
static void place_stereo_camera(hybroid *h, int side) {
  if (side == 0) {
    rpy.x = -elev_angle;
    rpy.y = -verge_angle;
  } else {
    rpy.x = elev_angle;
    rpy.y = verge_angle;
  }
  mat_from_rpy(h->camera_rotation, rpy.x, rpy.y, rpy.z);
  if (side == 0)
    h->camera_translation.x = -base_line / 2 / h->display_scale;
  else
    h->camera_translation.x = base_line / 2 / h->display_scale;
}

void setup_param(hybroid **hs, int n) {
  for (int i = 0; i < n; i++) {
    hybroid *h = hs[i];
    copy_settings(h);
    if (n == 2 && stereo_flag) {
      h->h_index = i;
      place_stereo_camera(h, i);
      if (i == 1) h->camera_translation.y = RIGHT_CAMERA_Y;
      stereo_couple(hs[0], hs[1]);
    } else {
      set_camera_frame(h);
    }
  }
}

void set_camera_frame(hybroid *h) {
  h->camera_translation = vector{0.0, 0.0, 0.0};
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++) h->camera_rotation[r][c] = (r == c) ? 1.0 : 0.0;
}

static void compute_all_data_positions(hybroid **hs, int n) {
  for (int i = 0; i < n; i++) compute_data_position_wrt_world(hs[i]);
}

// Up raises the setting by its step, else Down lowers it.  A result that is
// not finite is not stored: a step key held for hundreds of passes would
// otherwise turn the camera frames into NaN.
static void step_with_arrows(double *setting, double step) {
  double value = *setting;
  if (getbutton(DEV_UPARROW))
    value += step;
  else if (getbutton(DEV_DOWNARROW))
    value -= step;
  if (std::isfinite(value)) *setting = value;
}

// Stores a new step unless it overflowed or vanished: the vergence step
// changes 100-fold and the elevation step 2-fold on every pass its arrow is
// held, and a step of 0 could never be brought back.
static void set_step(double *step, double value) {
  if (std::isfinite(value) && value != 0.0) *step = value;
}

void adjust_camera_frames(hybroid **hs, int n) {
  int b_held = getbutton(DEV_B) != 0;
  int v_held = getbutton(DEV_V) != 0;
  int e_held = getbutton(DEV_E) != 0;
  if (b_held) {  // base line: arrows right/left change the step by 1
    if (getbutton(DEV_RIGHTARROW)) bstep += 1.0;
    if (getbutton(DEV_LEFTARROW)) bstep -= 1.0;
    step_with_arrows(&base_line, bstep);
    compute_all_data_positions(hs, n);
  }
  if (v_held) {  // vergence: right makes the step 100 times finer
    if (getbutton(DEV_RIGHTARROW)) set_step(&vstep, vstep * 0.01);
    if (getbutton(DEV_LEFTARROW)) set_step(&vstep, vstep / 0.01);
    step_with_arrows(&verge_angle, vstep);
  }
  if (e_held) {  // elevation: right doubles the step, left halves it
    if (getbutton(DEV_RIGHTARROW)) set_step(&estep, estep * 2.0);
    if (getbutton(DEV_LEFTARROW)) set_step(&estep, estep / 2.0);
    step_with_arrows(&elev_angle, estep);
  }
  if ((b_held || v_held || e_held) && n >= 2) {
    place_stereo_camera(hs[0], 0);
    place_stereo_camera(hs[1], 1);
    compute_all_data_positions(hs, n);
  }
  if (keypressed(DEV_C))  // once per press
    fprintf(stderr, "verge_angle = %f, elev_angle = %f, base_line = %f\n", verge_angle,
            elev_angle, base_line);
}

// ---------------------------------------------------------------------------
// Driver keys, model dumps, wire meshes
// ---------------------------------------------------------------------------

static void flip(int *flag) { *flag = 1 - *flag; }

// Each key acts once per press, however long it is held.
void toggle_fitting_attributes(hybroid *h) {
  if (keypressed(DEV_F12) && Num_Hybroids > 0)
    active_hybroid = (active_hybroid + 1) % Num_Hybroids;
  if (keypressed(DEV_P)) flip(&h->perspective_flag);
  if (keypressed(DEV_N)) flip(&h->normal_force_flag);
  if (keypressed(DEV_S)) h->subsample = (h->subsample + 1) % 20;
  if (keypressed(DEV_T)) flip(&stop_fitting);
  if (keypressed(DEV_L)) flip(&dump_data_flag);
  if (keypressed(DEV_U)) flip(&dump_contour_flag);
}

void dump_data(hybroid *h) {
  char name[80];
  fprintf(stderr, "Input dump file name : ");
  if (scanf("%79s", name) != 1) {
    fprintf(stderr, "No dump file name read\n");
    return;
  }
  FILE *fp = fopen(name, "w");
  if (!fp) {
    fprintf(stderr, "Cannot open %s\n", name);
    return;
  }
  fprintf_hybroid_info(fp, h);
  fclose(fp);
}

static void send_vertex(const vector &p) {
  const double v[3] = {p.x, p.y, p.z};
  v3d(v);
}

// One closed line per grid row, one open line per column from the south
// pole to the north pole, through the nodes' world positions.
static void draw_wire_mesh(const hybroid *h) {
  const node *nodes = h->nodes;
  if (!nodes || h->numnodes < 2) return;
  for (int u = 0; u < h->usize; u++) {
    bgnclosedline();
    for (int v = 0; v < h->vsize; v++) send_vertex(nodes[u * h->vsize + v].wposit);
    endclosedline();
  }
  for (int v = 0; v < h->vsize; v++) {
    bgnline();
    send_vertex(nodes[h->numnodes - 2].wposit);
    for (int u = 0; u < h->usize; u++) send_vertex(nodes[u * h->vsize + v].wposit);
    send_vertex(nodes[h->numnodes - 1].wposit);
    endline();
  }
}

void draw_on_hybroids() {
  color(7);  // white
  for (int i = 0; i < Num_Hybroids; i++) {
    if (!hybroid_on[i] || !Hybroids[i]) continue;
    linewidth(2);
    draw_wire_mesh(Hybroids[i]);
  }
}

// ---------------------------------------------------------------------------
// Simulated forces (a debugging aid; the run loop does not call it)
// ---------------------------------------------------------------------------

void swap(double *a, double *b) {
  double t = *a;
  *a = *b;
  *b = t;
}

static const double SIMULATED_ANGLE_STEP = 0.15707963267948966;  // pi / 20

// Keys 8, 2, 3, 4, 5 adjust the force; keys 1, 6, 7 apply it to the south
// pole's model-frame force slots of bend1, bend3 and a3.
void add_simulated_force(hybroid *h) {
  static double ang = 0.0, mag = 1.0, mmag = 0.0;
  if (getbutton(DEV_8)) swap(&mag, &mmag);
  if (getbutton(DEV_2)) mag *= 2.0;
  if (getbutton(DEV_3)) mag /= 2.0;
  if (getbutton(DEV_4)) ang += SIMULATED_ANGLE_STEP;
  if (getbutton(DEV_5)) ang -= SIMULATED_ANGLE_STEP;
  if (!h->nodes || h->numnodes < 2) return;
  node *south = &h->nodes[h->numnodes - 2];
  mark_force_node(h, south);  // its model-frame forces change below
  if (getbutton(DEV_1)) {
    h->df_mask |= DF_BEND1;
    south->rForce[SLOT_BEND1].x += cos(ang) * mag;
    south->rForce[SLOT_BEND1].y += sin(ang) * mag;
  }
  if (getbutton(DEV_6)) {
    h->df_mask |= DF_BEND3;
    south->rForce[SLOT_BEND3].x += cos(ang) * mag;
    south->rForce[SLOT_BEND3].y += sin(ang) * mag;
  }
  if (getbutton(DEV_7)) {
    h->df_mask |= DF_A3;
    south->rForce[SLOT_A3] = vector{0.0, 0.0, -mag};
  }
}
