// hybsynth.cpp -- writes the contour dump file of a known model, for hybfit.
//
//   hybsynth -l 5 -S 2,1.2,1.2,1.6,1,1 -R -30,0,30 -T -1.5,1,-0.1 -o ell5.dump
//   echo 0 | hybfit -g -a ell5.dump
//   hybsynth -l 5 ... --label-image ell5.png      (its face-label image)
//
// The true model is sampled with the program's own geometry and its seen
// contours are written in the face and curve layout the model initialisation
// expects for the label, with the true values in the file's comment lines.
// The work is done by tools/synth.cpp (make_synth_view, write_synth_dump);
// this file runs it for one view or for the two views of a stereo pair.
// Exit status 0, or 1 on a bad argument, a view that sees nothing of the
// model or a file that cannot be written.
#include <cstdio>
#include <vector>

#include "bound.h"
#include "label_image.h"
#include "synth.h"

// Where the contours lie.  The fit pulls each data curve onto one patch of its
// own mesh: a rim onto the row u_offset or usize - u_offset - 1, a box edge
// onto the column vsize * k / 8, an occluding contour onto the band between
// the two rows.  So the contours written here are the true model's points at
// exactly those latitudes and longitudes of the fitting mesh (option -m;
// +-45 degrees and multiples of 45 degrees for the bundled parameter file):
// the seen arcs of the two rim rings (faces 0 and 2, and curves 0 and 2 of
// face 1), the occluding contours between them (curves 1 and 3 of face 1),
// and for a box the edges of its +y side, +x side and top (faces 0, 1, 4).
// Only what the camera sees is written (the model is convex: where the true
// surface faces the camera); a face not seen has -1 points, a curve not seen
// a first index of -1.  The pose (-T, -R or -A) places the superquadric's own
// origin; "truth translation" in the file is the point that the fitted
// model's translation stands for, its centre by the rule the model
// initialisation picks from the seen faces.  A perfect fit reports it.

static int write_view(const synth_scene *s, int view) {
  char err[SYNTH_ERROR_SIZE];
  synth_view v;
  if (!make_synth_view(s, view, &v, err)) {
    fprintf(stderr, "hybsynth: %s\n", err);
    return 0;
  }
  const char *name = s->output[view];
  FILE *fp = fopen(name, "w");
  if (!fp) {
    fprintf(stderr, "hybsynth: cannot write %s\n", name);
    free_synth_view(&v);
    return 0;
  }
  write_synth_dump(fp, s, view, &v);
  bool ok = fclose(fp) == 0;
  if (!ok) fprintf(stderr, "hybsynth: cannot write %s\n", name);
  int points = 0;
  for (int f = 0; f < v.n_face; f++)
    if (v.face[f].n_points > 0) points += v.face[f].n_points;
  fprintf(stderr, "hybsynth: %s: label %d, %d points", name, v.label, points);
  if (v.outside > 0) fprintf(stderr, ", %d of them outside the image", v.outside);
  fprintf(stderr, "\n");
  free_synth_view(&v);
  return ok;
}

// The face-label image of one view, when one is asked for.
static int write_label_image(const synth_scene *s, int view) {
  const char *name = s->label_image[view];
  if (!name) return 1;
  char err[LABEL_ERROR_SIZE];
  std::vector<unsigned char> pixels((size_t)s->label_size * s->label_size);
  if (!make_synth_label_image(s, view, s->label_size, pixels.data(), err) ||
      !write_grey_png(name, s->label_size, s->label_size, pixels.data(), err)) {
    fprintf(stderr, "hybsynth: %s\n", err);
    return 0;
  }
  return 1;
}

// --bound: how precisely each view's data determine the model, on stdout.
static int print_bounds(const synth_scene *s) {
  char err[SYNTH_ERROR_SIZE];
  for (int view = 0; view < (s->stereo_flag ? 2 : 1); view++) {
    synth_bound b;
    if (!bound_synth_view(s, view, &b, err)) {
      fprintf(stderr, "hybsynth: %s\n", err);
      return 0;
    }
    print_synth_bound(stdout, s, view, &b);
  }
  return 1;
}

int main(int argc, char **argv) {
  synth_scene s;
  char err[SYNTH_ERROR_SIZE];
  init_synth_scene(&s);
  int rc = parse_synth_command_line(argc, argv, &s, err);
  if (rc == 2) {
    print_synth_usage(stdout, argv[0]);
    return 0;
  }
  if (rc != 0) {
    fprintf(stderr, "hybsynth: %s\n", err);
    print_synth_usage(stderr, argv[0]);
    return 1;
  }
  if (s.bound) return print_bounds(&s) ? 0 : 1;
  for (int view = 0; view < (s.stereo_flag ? 2 : 1); view++) {
    if (s.output[view] && !write_view(&s, view)) return 1;
    if (!write_label_image(&s, view)) return 1;
  }
  return 0;
}
