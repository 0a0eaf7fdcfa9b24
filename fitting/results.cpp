// results.cpp -- what a run leaves behind for scripts and 3-D viewers: the
// fit as one JSON document in the -o file, the fitted surfaces as a
// Wavefront OBJ in the -m file (written by mesh_obj.cpp) and, in a batch
// run, the final frame as PNG (HYBROID_SNAPSHOT, drawn by the graphics
// layer's image back end).
//
// The run loop tells this module about every pass (count_fitting_pass) and
// calls write_run_outputs once, after the last pass and before the models are
// released.  The document holds the program version, the settings of the
// run, how it ended, and per model its shape, its pose in its camera frame
// and in the world frame, its camera, its goodness of fit, its steps and
// whether its schedule finished.  Numbers are written with round-trip
// precision; a value that is not finite is written as null and makes the
// output count as failed (exit status 5).  Every file is written under a
// temporary name in its own directory and renamed, so a reader never sees
// half a document.  Start with write_run_outputs.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "gl.h"
#include "hybroid.h"
#include "vector_ops.h"

#ifndef HYBFIT_VERSION
#define HYBFIT_VERSION "unknown"
#endif

using json = nlohmann::ordered_json;

char *mesh_file = nullptr;              // -m

static int model_steps[MAX_HYBROIDS];  // fitting steps each model took
static int loop_passes = 0;            // passes of the run loop

// Like the -o file, the -m file is created (or emptied) at start-up, so that
// a path that cannot be written is refused before any work.
void open_mesh_file() {
  if (!mesh_file) return;
  FILE *fp = fopen(mesh_file, "w");
  if (!fp) {
    fprintf(stderr, "Cannot open mesh file %s\n", mesh_file);
    exit(1);
  }
  fclose(fp);
}

static int model_index(const hybroid *h) {
  for (int i = 0; i < Num_Hybroids; i++)
    if (Hybroids[i] == h) return i;
  return -1;
}

void count_fitting_pass(const hybroid *h) {
  loop_passes++;
  if (stop_fitting) return;  // paused: forces only, nothing moved
  if (auto_fitting && stereo_flag && Num_Hybroids == 2) {  // both views step
    model_steps[0]++;
    model_steps[1]++;
    return;
  }
  int i = model_index(h);
  if (i >= 0) model_steps[i]++;
}

// ---------------------------------------------------------------------------
// Frames
// ---------------------------------------------------------------------------

static void camera_to_world(const hybroid *h, vector p, vector *w) {
  vector r = matrix_times_vector(h->camera_rotation, p);
  *w = {r.x + h->camera_translation.x, r.y + h->camera_translation.y,
        r.z + h->camera_translation.z};
}

// out = a b
static void multiply(const double a[3][3], const double b[3][3], double out[3][3]) {
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++)
      out[r][c] = a[r][0] * b[0][c] + a[r][1] * b[1][c] + a[r][2] * b[2][c];
}

// The unit quaternion of a rotation matrix (the inverse of the program's
// rotation_from_quaternion), by the largest of w, x, y, z so that no
// division is by a small number.  The identity gives exactly (1, 0, 0, 0).
static quaternion quaternion_of(const double m[3][3]) {
  double t = m[0][0] + m[1][1] + m[2][2];
  quaternion q;
  if (t > 0.0) {
    double s = 2.0 * sqrt(t + 1.0);  // 4 w
    q = {0.25 * s, {(m[2][1] - m[1][2]) / s, (m[0][2] - m[2][0]) / s, (m[1][0] - m[0][1]) / s}};
  } else if (m[0][0] > m[1][1] && m[0][0] > m[2][2]) {
    double s = 2.0 * sqrt(1.0 + m[0][0] - m[1][1] - m[2][2]);  // 4 x
    q = {(m[2][1] - m[1][2]) / s, {0.25 * s, (m[0][1] + m[1][0]) / s, (m[0][2] + m[2][0]) / s}};
  } else if (m[1][1] > m[2][2]) {
    double s = 2.0 * sqrt(1.0 + m[1][1] - m[0][0] - m[2][2]);  // 4 y
    q = {(m[0][2] - m[2][0]) / s, {(m[0][1] + m[1][0]) / s, 0.25 * s, (m[1][2] + m[2][1]) / s}};
  } else {
    double s = 2.0 * sqrt(1.0 + m[2][2] - m[0][0] - m[1][1]);  // 4 z
    q = {(m[1][0] - m[0][1]) / s, {(m[0][2] + m[2][0]) / s, (m[1][2] + m[2][1]) / s, 0.25 * s}};
  }
  return q;
}

// ---------------------------------------------------------------------------
// The document
// ---------------------------------------------------------------------------

static json vector_json(vector v) { return json::array({v.x, v.y, v.z}); }

static json matrix_json(const double m[3][3]) {
  json rows = json::array();
  for (int r = 0; r < 3; r++) rows.push_back(json::array({m[r][0], m[r][1], m[r][2]}));
  return rows;
}

static json pose_json(vector translation, quaternion q, const double rotation[3][3]) {
  return json{{"translation", vector_json(translation)},
              {"quaternion", {{"w", q.w}, {"x", q.v.x}, {"y", q.v.y}, {"z", q.v.z}}},
              {"rotation", matrix_json(rotation)}};
}

// Model frame to world frame: rotation Rc R and translation Rc t + tc, with
// the orientation composed as quaternions (camera's, then the model's).
static json world_pose_json(const hybroid *h) {
  double rotation[3][3];
  multiply(h->camera_rotation, h->rotation, rotation);
  vector translation;
  camera_to_world(h, h->translation, &translation);
  quaternion c = quaternion_of(h->camera_rotation);
  quaternion q = quaternion_left_multiply(c.w, c.v, h->orientation);
  return pose_json(translation, q, rotation);
}

static json shape_json(const hybroid *h) {
  return json{{"sc", h->sc},       {"a1", h->a1},       {"a2", h->a2},   {"a3", h->a3},
              {"e1", h->e1},       {"e2", h->e2},       {"tapx", h->tapx}, {"tapy", h->tapy},
              {"bend1", h->bend1}, {"bend2", h->bend2}, {"bend3", h->bend3}};
}

// A schedule ends at its first 0 entry: the built-in tables end so, and a
// schedule file's stages (each of which moves something) are followed by 0s.
static int schedule_finished(const hybroid *h) {
  if (h->fitting_index < 0 || h->fitting_index >= MAX_SEQUENCE) return 1;
  return h->fitting_sequence[h->fitting_index] == 0;
}

static json model_json(int i) {
  const hybroid *h = Hybroids[i];
  int partner = h->h_neigh ? model_index(h->h_neigh) : -1;
  return json{
      {"dump_file", filenames[i]},
      {"label", h->primitive_label},
      {"projection", h->perspective_flag ? "perspective" : "orthographic"},
      {"shape", shape_json(h)},
      {"camera_frame", pose_json(h->translation, h->orientation, h->rotation)},
      {"world_frame", world_pose_json(h)},
      {"camera", {{"translation", vector_json(h->camera_translation)},
                  {"rotation", matrix_json(h->camera_rotation)}}},
      {"gof", h->gof},
      {"gof_pixels", h->gof / h->x_scale},
      {"passes", model_steps[i]},
      {"schedule_finished", schedule_finished(h) != 0},
      {"stereo_partner", partner >= 0 ? json(partner) : json(nullptr)}};
}

static const char *end_name(int status) {
  switch (status) {
    case 0: return "finished";
    case 2: return "pass_limit";
    case 3: return "no_data_force";
    case 4: return "non_finite";
    case RUN_ENDED_BY_USER: return "ended_by_user";
    default: return "stopped";
  }
}

static json options_json() {
  return json{
      {"projection", perspective_flag ? "perspective" : "orthographic"},
      {"focal_length", focal_length},
      {"tolerance", fitting_tol},
      {"euler_step", euler_step},
      {"theta", theta},
      {"automatic", auto_fitting != 0},
      {"stereo", {{"on", stereo_flag != 0},
                  {"base_line", base_line},
                  {"verge_angle", verge_angle},
                  {"elev_angle", elev_angle}}},
      {"schedule", schedule_file_used ? json(schedule_file_used) : json(nullptr)}};
}

static json run_document(int status) {
  json models = json::array();
  for (int i = 0; i < Num_Hybroids; i++) models.push_back(model_json(i));
  return json{{"program", "hybfit"},
              {"version", HYBFIT_VERSION},
              {"options", options_json()},
              {"run", {{"end", end_name(status)}, {"passes", loop_passes}}},
              {"models", models}};
}

// Number of numbers in j that are not finite (dump() writes them as null).
static int count_non_finite(const json &j) {
  if (j.is_number_float()) return std::isfinite(j.get<double>()) ? 0 : 1;
  int n = 0;
  if (j.is_structured())
    for (const auto &item : j) n += count_non_finite(item);
  return n;
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

static mode_t current_umask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Writes through write(fp) into fp, then closes it; 0 when all went well.
static int write_and_close(FILE *fp, int (*write)(FILE *fp, void *arg), void *arg) {
  int failed = write(fp, arg) != 0;
  failed |= fflush(fp) != 0 || ferror(fp);
  failed |= fclose(fp) != 0;
  return failed;
}

// Writes a file through write(fp) under a temporary name in the directory
// of its target (a symbolic link is followed), then renames it into place.
// A path that is no regular file (/dev/stdout, a pipe) is written directly.
// Returns 0, or 1 after one line on the standard error stream.
static int write_file_atomically(const char *path, int (*write)(FILE *fp, void *arg),
                                 void *arg) {
  struct stat st;
  if (stat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
    FILE *fp = fopen(path, "w");
    if (fp && write_and_close(fp, write, arg) == 0) return 0;
    fprintf(stderr, "Cannot write %s\n", path);
    return 1;
  }
  char *real = realpath(path, nullptr);
  std::string target = real ? real : path;
  free(real);
  std::string tmp = target + ".XXXXXX";
  int fd = mkstemp(&tmp[0]);
  if (fd >= 0) fchmod(fd, 0666 & ~current_umask());  // as fopen would create it
  FILE *fp = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (!fp && fd >= 0) close(fd);
  if (fp && write_and_close(fp, write, arg) == 0 && rename(tmp.c_str(), target.c_str()) == 0)
    return 0;
  if (fd >= 0) unlink(tmp.c_str());
  fprintf(stderr, "Cannot write %s\n", path);
  return 1;
}

static void report_non_finite(const char *path, int n, const char *how) {
  if (n > 0) fprintf(stderr, "%s: %d values are not finite%s\n", path, n, how);
}

static int put_text(FILE *fp, void *text) {
  const std::string &s = *static_cast<const std::string *>(text);
  return fwrite(s.data(), 1, s.size(), fp) == s.size() ? 0 : 1;
}

// Returns 0, or 1 when the document could not be written or holds a value
// that is not finite.
static int write_results_json(const char *path, int status) {
  json doc = run_document(status);
  std::string text = doc.dump(2) + "\n";
  int failed = write_file_atomically(path, put_text, &text);
  int bad = count_non_finite(doc);
  report_non_finite(path, bad, " (written as null)");
  return failed || bad > 0;
}

static int put_meshes(FILE *fp, void *non_finite) {
  return write_mesh_obj(fp, static_cast<int *>(non_finite));
}

// Returns 0, or 1 when the file could not be written or holds a vertex or
// normal that is not finite.
static int write_mesh_file(const char *path) {
  int bad = 0;
  int failed = write_file_atomically(path, put_meshes, &bad);
  report_non_finite(path, bad, "");
  return failed || bad > 0;
}

// The final frame of a batch run as PNG (HYBROID_SNAPSHOT): the window's
// frame, with the view the window starts with, drawn by the graphics layer
// into an image in memory, so that no X server is needed.  Returns 0, or 1
// after one line on the standard error stream.
static int write_batch_snapshot() {
  const char *path = getenv("HYBROID_SNAPSHOT");
  if (!graphics_off || !path || !*path || active_hybroid < 0) return 0;
  gl_offscreen(1);
  open_window();
  load_viewing_matrix();
  draw_frame(Hybroids[active_hybroid]);
  int failed = gl_write_png(path) != 0;
  sgi_exit();
  gl_offscreen(0);
  if (failed) fprintf(stderr, "Cannot write snapshot %s\n", path);
  return failed;
}

// The JSON first, then the picture of the frame as the last pass left it,
// then the meshes, which bring the node positions up to the final pose.
int write_run_outputs(int status) {
  int failed = 0;
  if (ofile) failed |= write_results_json(ofile, status);
  failed |= write_batch_snapshot();
  if (mesh_file) failed |= write_mesh_file(mesh_file);
  return failed ? OUTPUT_FAILED_STATUS : 0;
}
