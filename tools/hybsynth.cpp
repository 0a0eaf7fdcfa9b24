// hybsynth.cpp -- writes the contour dump file of a known model, for hybfit.
//
//   hybsynth -l 5 -S 2,1,1,1.5,0.3,1 -R -70,0,20 -o cyl5.dump
//   echo 0 | hybfit -g -a cyl5.dump
//
// The true model (label, shape, pose) is sampled densely with the program's
// own geometry, its contours are projected into the 256 x 256 image in the
// face and curve layout the model initialisation expects for the label, and
// written with the true values in the file's comment lines.  The contours
// lie where the fit looks for them: rims on the rows usize - u_offset - 1 and
// u_offset of the fitting mesh (latitudes +-pi/4 for the bundled parameter
// file; -m names another mesh), box edges on its columns vsize * k / 8,
// occluding contours where the true surface's normal is perpendicular to the
// line of sight.  The pose (-T, -R or -A) places the superquadric's own
// origin; "truth translation" in the file is where the fitted model's centre
// point lies.  The work is done by fitting/synth.cpp (make_synth_view,
// write_synth_dump); this file only runs it.  Exit status 0, or 1 on a bad
// argument, a view that sees nothing or a file that cannot be written.
#include <cstdio>

#include "hybroid.h"

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
  for (int view = 0; view < (s.stereo_flag ? 2 : 1); view++)
    if (!write_view(&s, view)) return 1;
  return 0;
}
