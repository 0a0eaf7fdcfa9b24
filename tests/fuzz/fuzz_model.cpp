// fuzz_model.cpp -- fuzzes a whole unattended fit of one model: the input is
// its dump file, read with the bundled parameter and force-mapping files,
// initialised as the run loop does (a label without face layout is refused
// there, and skipped here), then fitted automatically for a few dozen steps,
// orthographic or perspective (by the input's length).  Whatever the data,
// the steps must not crash, and every number the panel and the report show
// (shape, forces, pose, fit), and every node position, must stay finite.
#include <cmath>
#include <cstring>
#include <string>

#include "hybroid.h"
#include "support.h"

namespace {

const int fitting_steps = 40;

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

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  std::string samples = std::string(HYBFIT_SOURCE_DIR) + "/samples/";
  FILE *keep = stderr;  // the readers echo every record
  stderr = fopen("/dev/null", "w");
  read_primitive_hybroid_parameter((samples + "hyb").c_str());
  read_primitive_dof_mapping((samples + "forcemap").c_str());
  fclose(stderr);
  stderr = keep;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = fuzz::scratch_dir() + "/model.dump";
  fuzz::write_bytes(path, data, size);
  hybroid *h = hybroid_alloc();
  perspective_flag = (int)(size % 2);
  theta = 0.0;
  setup_param(&h, 1);
  model_call call = {path.c_str(), h};
  int status = 0;
  if (!fuzz::run_catching_exit(read_model, &call, &status) && is_supported(h)) {
    init_hybroid(h);
    check_finite(h);
    for (int step = 0; step < fitting_steps; step++) compute_motion_auto(h);
    check_finite(h);
  }
  free_hybroid(h);
  perspective_flag = 0;
  return 0;
}
