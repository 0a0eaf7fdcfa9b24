// fuzz_model.cpp -- fuzzes a whole unattended fit of one model: the input is
// its dump file, read with the bundled parameter and force-mapping files,
// initialised as the run loop does (a label without face layout is refused
// there, and skipped here), then fitted automatically for a few dozen steps.
// The input's length picks the set-up: one model orthographic, one model in
// perspective, or a perspective stereo pair of two models reading the same
// file, coupled in depth; and the schedule: the built-in one, or the
// bundled schedule file, whose stages start from a pose read from the data.
// Whatever the data, the steps must not crash, and every number the panel
// and the report show (shape, forces, pose, fit), and every node position,
// must stay finite.
#include <cmath>
#include <cstring>
#include <string>

#include "hybroid.h"
#include "support.h"

namespace {

const int fitting_steps = 40;
std::string schedule_path;  // the bundled schedule file, read once

struct model_call {
  const char *path;
  hybroid *h;
};

void read_model(void *arg) {
  model_call *c = (model_call *)arg;
  read_ascii_xy_data_dump(c->path, c->h, 1.0);
}

bool finite3(const vector &v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

void check_finite(const hybroid *h) {
  const double shape[] = {h->sc, h->a1, h->a2, h->a3, h->e1, h->e2, h->tapx, h->tapy,
                          h->bend1, h->bend2, h->bend3, h->fsc, h->fa1, h->fa2, h->fa3,
                          h->fe1, h->fe2, h->ftx, h->fty, h->fb1, h->fb3, h->gof, h->d_ang};
  for (double v : shape) fuzz::check(std::isfinite(v), "a shape, force or fit value is not finite");
  fuzz::check(finite3(h->translation) && finite3(h->net_applied_force) &&
                  finite3(h->net_applied_torque) && finite3(h->axis_diff),
              "the pose or the net force is not finite");
  fuzz::check(std::isfinite(h->orientation.w) && finite3(h->orientation.v),
              "the orientation is not finite");
  for (int r = 0; r < 3; r++)
    for (int c = 0; c < 3; c++)
      fuzz::check(std::isfinite(h->rotation[r][c]), "the rotation is not finite");
  for (int i = 0; i < h->numnodes; i++)
    fuzz::check(finite3(h->nodes[i].posit) && finite3(h->nodes[i].wposit),
                "a node position is not finite");
}

bool is_supported(const hybroid *h) {
  int label = h->primitive_label;
  return label == 1 || label == 5 || label == 6 || label == 10;
}

// Reads and initialises the n models of hs from path; false when the reader
// refused the file or a model is of a kind the run loop refuses.
bool read_models(const std::string &path, hybroid **hs, int n) {
  for (int i = 0; i < n; i++) {
    model_call call = {path.c_str(), hs[i]};
    int status = 0;
    if (fuzz::run_catching_exit(read_model, &call, &status) || !is_supported(hs[i])) return false;
  }
  for (int i = 0; i < n; i++) {
    init_hybroid(hs[i]);
    check_finite(hs[i]);
  }
  return true;
}

void fit(hybroid **hs, int n) {
  for (int step = 0; step < fitting_steps; step++) {
    if (n == 1) {
      compute_motion_auto(hs[0]);
      continue;
    }
    int left_done = compute_motion_auto(hs[0]);
    int right_done = compute_motion_auto(hs[1]);
    if (left_done && right_done) compute_stereo_motion_auto(hs[0], hs[1]);
  }
  for (int i = 0; i < n; i++) check_finite(hs[i]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::string samples = std::string(HYBFIT_SOURCE_DIR) + "/samples/";
  FILE *keep = stderr;  // the readers echo every record
  stderr = fopen("/dev/null", "w");
  read_primitive_hybroid_parameter((samples + "hyb").c_str());
  read_primitive_dof_mapping((samples + "forcemap").c_str());
  fclose(stderr);
  stderr = keep;
  char err[SCHEDULE_ERROR_SIZE];
  schedule_path = samples + "schedule";
  fuzz::check(load_schedule_file(schedule_path.c_str(), err) == 0,
              "the bundled schedule is refused");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = fuzz::scratch_dir() + "/model.dump";
  fuzz::write_bytes(path, data, size);
  int mode = (int)(size % 3);  // 0 orthographic, 1 perspective, 2 stereo pair
  int n = mode == 2 ? 2 : 1;
  schedule_file_used = size / 3 % 2 ? schedule_path.c_str() : nullptr;
  hybroid *hs[2] = {hybroid_alloc(), hybroid_alloc()};
  perspective_flag = mode != 0;
  stereo_flag = mode == 2;
  theta = 0.0;
  setup_param(hs, n);
  if (read_models(path, hs, n)) fit(hs, n);
  free_hybroid(hs[0]);
  free_hybroid(hs[1]);
  perspective_flag = stereo_flag = 0;
  return 0;
}
