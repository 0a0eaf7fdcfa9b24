// fuzz_dump.cpp -- fuzzes the contour dump reader.  Each input is written to
// a scratch file and read into a fresh model with the run loop's image
// settings.  A refusal (exit) is a valid outcome; a file that is accepted
// must leave a record the rest of the program can trust: counts within the
// record's arrays, curve indices inside their face, finite points on the
// image plane, no more seen curves than force maps.
#include <cmath>
#include <cstring>

#include "Mqmalloc.h"
#include "hybroid.h"
#include "support.h"

namespace {

struct dump_call {
  const char *path;
  hybroid *h;
};

void read_dump(void *arg) {
  dump_call *c = (dump_call *)arg;
  read_ascii_xy_data_dump(c->path, c->h, 1.0);
}

void check_face(const hybroid *h, const Face &f, int *seen_curves) {
  fuzz::check(f.n_points >= -1, "point count below -1");
  if (f.n_points == -1) {
    fuzz::check(f.points == nullptr, "an absent face holds points");
    return;
  }
  fuzz::check((f.points != nullptr) == (f.n_points > 0), "points do not match the count");
  for (int j = 0; j < f.n_points; j++) {
    const vector &p = f.points[j].position;
    fuzz::check(std::isfinite(p.x) && std::isfinite(p.y), "a point is not finite");
    fuzz::check(p.z == -h->focal_length, "a point is off the image plane");
  }
  fuzz::check(f.n_curve >= 0 && f.n_curve <= MAX_CURVES, "curve count outside 0..5");
  for (int c = 0; c < MAX_CURVES; c++) {
    if (f.begin[c] == -1) continue;
    fuzz::check(c < f.n_curve, "a curve slot beyond the count is present");
    fuzz::check(f.begin[c] >= 0 && f.begin[c] < f.n_points, "first index outside the face");
    fuzz::check(f.end[c] >= 0 && f.end[c] < f.n_points, "last index outside the face");
    ++*seen_curves;
  }
  fuzz::check(f.n_neighbor >= 0 && f.n_neighbor <= MAX_NEIGHBORS &&
                  f.n_neighbor <= f.n_curve,
              "neighbour count outside the curve slots");
}

void check_model(const hybroid *h) {
  fuzz::check(h->n_face >= 0 && h->n_face <= MAX_FACES, "face count outside 0..6");
  int seen = 0;
  for (int f = 0; f < h->n_face; f++) check_face(h, h->face[f], &seen);
  fuzz::check(seen <= MAX_FORCE_MAPS, "more seen curves than force maps");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = fuzz::scratch_dir() + "/model.dump";
  fuzz::write_bytes(path, data, size);
  hybroid *h = (hybroid *)Mqcalloc_checked(1, sizeof(hybroid));
  // The image settings the run loop gives every model before reading.
  h->x_scale = h->y_scale = 0.05;
  h->x_center = h->y_center = 128.0;
  h->x_dim = h->y_dim = 256;
  h->focal_length = 0.1;
  theta = 0.0;
  dump_call call = {path.c_str(), h};
  int status = 0;
  if (!fuzz::run_catching_exit(read_dump, &call, &status)) check_model(h);
  else fuzz::check(status == 1, "a refusal with a status other than 1");
  for (int f = 0; f < MAX_FACES; f++) Mqfree(h->face[f].points);
  Mqfree(h);
  return 0;
}
