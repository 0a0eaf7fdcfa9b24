// hybtrace.cpp -- traces a face-label image into a contour dump file for hybfit.
//
//   hybtrace -l 5 part.png -o part.dump
//   echo 0 | hybfit -g -a part.dump
//
// The image holds in every pixel the value of the model face it shows (0 for
// the background, v for face v - 1, or the values -F gives).  The outline of
// every face is written in the face and curve layout hybsynth writes for the
// label (tools/trace.cpp does the work; this file reads the options, the
// image, and writes the dump and the optional picture).  Exit status 0 (with
// a warning line for a face split into pieces or touching the border), or 1
// with one line saying why: a bad option, an unreadable image, one that is
// not a label image for the options, an empty one, more faces than the label
// has, or an output file that cannot be written.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "label_image.h"
#include "trace.h"

namespace {
struct trace_command {
  trace_options o;
  const char *input, *output, *picture;
};
}  // namespace

static void print_usage(FILE *fp, const char *prog) {
  fprintf(fp,
          "usage: %s [options] image.png|image.pgm [-o file.dump]\n"
          "Traces a face-label image into a contour dump file for hybfit.\n"
          " -l label      primitive label: 1, 5, 6 or 10 (5)\n"
          " -F v0,v1,...  pixel value or colour #rrggbb of face 0, 1, ... (-1: none);\n"
          "               default face v-1\n"
          " -B            a value that names no face is background (other parts or\n"
          "               classes of a segmentation); without it such an image is refused\n"
          " -s scale      dump pixels per image pixel (256 / the longer side)\n"
          " -c row,col    image point placed at the dump's centre (the image centre)\n"
          " -d spacing    dump pixels between neighbouring points (2)\n"
          " -o file       dump file to write (standard output)\n"
          " -P file.png   picture of the image with the traced curves coloured\n"
          " -h            this text\n",
          prog);
}

static bool parse_number(const char *text, double *value) {
  char *end;
  double v = strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

// The comma-separated items of text, at most max, each handed to take
// with its index; how many, or -1 when there are more or take refuses one.
static int split_list(const char *text, int max,
                      const std::function<bool(int, const std::string &)> &take) {
  for (int n = 0;; n++) {
    const char *comma = strchr(text, ',');
    if (n == max || !take(n, std::string(text, comma ? (size_t)(comma - text) : strlen(text))))
      return -1;
    if (!comma) return n + 1;
    text = comma + 1;
  }
}

// Comma-separated numbers, at most max; how many, or -1 when malformed.
static int parse_list(const char *text, double *values, int max) {
  return split_list(text, max,
                    [&](int n, const std::string &e) { return parse_number(e.c_str(), &values[n]); });
}

// -F's entries: values 1 to 65535, or colours #rrggbb (not black), -1 for
// a face that is not shown; how many, or -1 when one is malformed or the
// list mixes values and colours.
static int parse_face_values(const char *text, int value[MAX_FACES]) {
  int colours = 0, values = 0;
  int n = split_list(text, MAX_FACES, [&](int k, const std::string &e) {
    double v;
    if (e.size() == 7 && e[0] == '#' && strspn(e.c_str() + 1, "0123456789abcdefABCDEF") == 6) {
      long rgb = strtol(e.c_str() + 1, nullptr, 16);
      value[k] = FACE_COLOUR | (int)rgb;
      colours++;
      return rgb != 0;
    }
    if (!parse_number(e.c_str(), &v) || v < -1 || v > 65535 || v != floor(v) || v == 0)
      return false;
    value[k] = (int)v;
    values += v > 0;
    return true;
  });
  return colours > 0 && values > 0 ? -1 : n;
}

// One option with its value; false with a message when it is bad.
static bool apply_option(trace_command *c, char opt, const char *val) {
  double v[MAX_FACES];
  int n;
  switch (opt) {
    case 'l':
      if (parse_number(val, &v[0]) && (v[0] == 1 || v[0] == 5 || v[0] == 6 || v[0] == 10)) {
        c->o.label = (int)v[0];
        return true;
      }
      fprintf(stderr, "hybtrace: -l %s: the label must be 1, 5, 6 or 10\n", val);
      return false;
    case 'F':
      n = parse_face_values(val, c->o.face_value);
      if (n < 1) {
        fprintf(stderr,
                "hybtrace: -F %s: give up to %d whole values 1 to 65535, or colours #rrggbb "
                "other than black (-1: none)\n",
                val, MAX_FACES);
        return false;
      }
      c->o.n_values = n;
      return true;
    case 's':
      if (parse_number(val, &v[0]) && v[0] > 0 && v[0] <= 1000) {
        c->o.scale = v[0];
        return true;
      }
      fprintf(stderr, "hybtrace: -s %s: the scale must be positive\n", val);
      return false;
    case 'c':
      if (parse_list(val, v, 2) == 2) {
        c->o.center_given = 1;
        c->o.center_row = v[0];
        c->o.center_col = v[1];
        return true;
      }
      fprintf(stderr, "hybtrace: -c %s: give row,col\n", val);
      return false;
    case 'd':
      if (parse_number(val, &v[0]) && v[0] >= 0.1) {
        c->o.spacing = v[0];
        return true;
      }
      fprintf(stderr, "hybtrace: -d %s: the spacing must be at least 0.1 pixel\n", val);
      return false;
    case 'o': c->output = val; return true;
    case 'P': c->picture = val; return true;
  }
  fprintf(stderr, "hybtrace: -%c: unknown option\n", opt);
  return false;
}

// 0 when the command line is good, 1 when not, 2 for -h.
static int parse_command_line(int argc, char **argv, trace_command *c) {
  for (int i = 1; i < argc; i++) {
    const char *a = argv[i];
    if (a[0] != '-' || a[1] == '\0') {
      if (c->input) {
        fprintf(stderr, "hybtrace: %s: only one image\n", a);
        return 1;
      }
      c->input = a;
      continue;
    }
    if (a[1] == 'h' && a[2] == '\0') return 2;
    if (a[1] == 'B' && a[2] == '\0') {
      c->o.others_background = 1;
      continue;
    }
    if (a[2] != '\0' || !strchr("lFscdoP", a[1])) {
      fprintf(stderr, "hybtrace: %s: unknown option\n", a);
      return 1;
    }
    if (i + 1 >= argc) {
      fprintf(stderr, "hybtrace: %s needs a value\n", a);
      return 1;
    }
    if (!apply_option(c, a[1], argv[++i])) return 1;
  }
  if (!c->input) {
    fprintf(stderr, "hybtrace: no image\n");
    return 1;
  }
  return 0;
}

static void write_dump(FILE *fp, const trace_command *c, const label_image *img,
                       const trace_report *r, const synth_view *v) {
  write_comment(fp, "Traced by hybtrace from %s", c->input);
  write_comment(fp, "image %d x %d, label %d, spacing %.9g px", img->width, img->height,
                c->o.label, c->o.spacing);
  write_comment(fp, "image point %.9g,%.9g at dump pixel 128,128, scale %.9g", r->center_row,
                r->center_col, r->scale);
  if (c->o.n_values > 0) {
    char list[80] = "";
    for (int f = 0; f < c->o.n_values; f++) {
      int e = c->o.face_value[f];
      if (e > 0 && (e & FACE_COLOUR))
        snprintf(list + strlen(list), sizeof list - strlen(list), "%s#%06x", f ? "," : "",
                 e & 0xffffff);
      else
        snprintf(list + strlen(list), sizeof list - strlen(list), "%s%d", f ? "," : "", e);
    }
    write_comment(fp, "face values -F %s", list);
  }
  if (c->o.others_background) write_comment(fp, "values naming no face taken as background (-B)");
  if (r->blend_pixels > 0)
    write_comment(fp, "blended colours taken as the nearer face: %ld pixels", r->blend_pixels);
  if (r->gap_pixels > 0 || r->hole_pixels > 0)
    write_comment(fp, "background taken as face: %ld pixels of gaps between faces, %ld of holes",
                  r->gap_pixels, r->hole_pixels);
  for (const std::string &w : r->warnings) write_comment(fp, "warning: %s", w.c_str());
  write_synth_contours(fp, v);
}

static bool write_picture(const trace_command *c, const label_image *img, const trace_report *r,
                          const synth_view *v) {
  std::vector<unsigned char> rgb;
  draw_trace_picture(img, r, v, &rgb);
  char err[LABEL_ERROR_SIZE];
  if (write_rgb_png(c->picture, img->width, img->height, rgb.data(), err)) return true;
  fprintf(stderr, "hybtrace: %s\n", err);
  return false;
}

static bool write_output(const trace_command *c, const label_image *img, const trace_report *r,
                         const synth_view *v) {
  FILE *fp = c->output ? fopen(c->output, "w") : stdout;
  if (!fp) {
    fprintf(stderr, "hybtrace: %s: cannot write\n", c->output);
    return false;
  }
  write_dump(fp, c, img, r, v);
  bool ok = fflush(fp) == 0 && !ferror(fp);
  if (c->output && fclose(fp) != 0) ok = false;
  if (!ok) fprintf(stderr, "hybtrace: %s: cannot write\n", c->output ? c->output : "stdout");
  return ok;
}

int main(int argc, char **argv) {
  trace_command c;
  memset(&c, 0, sizeof c);
  init_trace_options(&c.o);
  int rc = parse_command_line(argc, argv, &c);
  if (rc == 2) print_usage(stdout, argv[0]);
  if (rc == 1) print_usage(stderr, argv[0]);
  if (rc) return rc == 2 ? 0 : 1;
  label_image img;
  char err[LABEL_ERROR_SIZE];
  if (!read_label_image(c.input, &img, err)) {
    fprintf(stderr, "hybtrace: %s\n", err);
    return 1;
  }
  synth_view v;
  trace_report report;
  if (!trace_label_image(&img, &c.o, &v, &report, err)) {
    fprintf(stderr, "hybtrace: %s: %s\n", c.input, err);
    return 1;
  }
  for (const std::string &w : report.warnings)
    fprintf(stderr, "hybtrace: %s: warning: %s\n", c.input, w.c_str());
  bool ok = write_output(&c, &img, &report, &v) && (!c.picture || write_picture(&c, &img, &report, &v));
  free_synth_view(&v);
  return ok ? 0 : 1;
}
