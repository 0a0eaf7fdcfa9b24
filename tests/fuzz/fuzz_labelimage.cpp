// fuzz_labelimage.cpp -- fuzzes hybtrace's image readers and the tracing of
// what they accept.  Each input is written to a scratch file and read as a
// label image; a refusal is a valid outcome.  An accepted image has as many
// pixels as its size says; small ones are traced for a round label and for
// the box, and the traced view must be one the dump reader takes: counts
// within the record, curve indices inside their face, finite coordinates.
#include <cmath>

#include "label_image.h"
#include "support.h"
#include "trace.h"

namespace {

const int MAX_TRACED_PIXELS = 1 << 14;  // larger images are read, not traced

void check_view(const synth_view &v) {
  fuzz::check(v.n_face >= 0 && v.n_face <= MAX_FACES, "face count outside 0..6");
  for (int f = 0; f < v.n_face; f++) {
    const synth_face &fc = v.face[f];
    fuzz::check(fc.n_points >= -1, "point count below -1");
    if (fc.n_points < 0) continue;
    fuzz::check(fc.n_curve >= 0 && fc.n_curve <= MAX_CURVES, "curve count outside 0..5");
    for (int j = 0; j < fc.n_points; j++)
      fuzz::check(std::isfinite(fc.row[j]) && std::isfinite(fc.col[j]), "a point is not finite");
    for (int c = 0; c < fc.n_curve; c++) {
      if (fc.begin[c] == -1) continue;
      fuzz::check(fc.begin[c] >= 0 && fc.begin[c] <= fc.end[c] && fc.end[c] < fc.n_points,
                  "curve indices outside the face");
    }
  }
}

// A colour image: its first colours name the faces (-F); the rest is taken
// as their mixtures for label 5, as background (-B) for the box.
void trace_as(const label_image &img, int label) {
  trace_options o;
  init_trace_options(&o);
  o.label = label;
  for (size_t i = 0; img.colour && i < img.pixels.size() && o.n_values < 3; i++) {
    int c = FACE_COLOUR | (int)img.pixels[i];
    bool named = img.pixels[i] == 0;
    for (int f = 0; f < o.n_values; f++) named = named || o.face_value[f] == c;
    if (!named) o.face_value[o.n_values++] = c;
  }
  o.others_background = img.colour && label == 1;
  synth_view v;
  trace_report r;
  char err[LABEL_ERROR_SIZE];
  if (trace_label_image(&img, &o, &v, &r, err)) check_view(v);
  free_synth_view(&v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = fuzz::scratch_dir() + "/label.img";
  fuzz::write_bytes(path, data, size);
  label_image img;
  char err[LABEL_ERROR_SIZE];
  if (!read_label_image(path.c_str(), &img, err)) return 0;
  fuzz::check(img.width >= 1 && img.height >= 1 &&
                  img.pixels.size() == (size_t)img.width * img.height,
              "pixel count does not match the size");
  if (img.pixels.size() <= (size_t)MAX_TRACED_PIXELS) {
    trace_as(img, 5);
    trace_as(img, 1);
  }
  return 0;
}
