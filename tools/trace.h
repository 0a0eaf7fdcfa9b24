// trace.h -- from a face-label image to the contours of a dump file
// (tools/trace.cpp), for hybtrace, its tests and its benchmark.
#ifndef HYBFIT_TOOLS_TRACE_H
#define HYBFIT_TOOLS_TRACE_H

#include <string>
#include <vector>

#include "label_image.h"
#include "synth.h"

// A face_value with this bit names the colour 0xRRGGBB of its lower bits.
enum { FACE_COLOUR = 1 << 24 };

struct trace_options {
  int label;                 // primitive label: 1, 5, 6 or 10
  int n_values;              // 0: value v is face v - 1; else face_value holds them
  int face_value[MAX_FACES]; // -F: the pixel value or colour of each face, -1 for none
  int others_background;     // -B: a value that names no face is background
  double scale;              // dump pixels per image pixel; 0: 256 / the longer side
  int center_given;          // 0: the image centre lies at the dump's centre
  double center_row, center_col;  // image point at dump pixel (128, 128)
  double spacing;            // dump pixels between neighbouring points (2)
};

// What tracing found, beside the contours: one line per problem that did not
// stop it (a face split into pieces, a face touching the border).
struct trace_report {
  std::vector<std::string> warnings;
  double scale, center_row, center_col;  // the mapping used
  long gap_pixels, hole_pixels;          // background taken as face: gaps, holes
  long blend_pixels;                     // mixed colours taken as the one they hold most of
};

void init_trace_options(trace_options *o);

// Traces img into v (label, faces, curves in dump pixels, as hybsynth lays
// them out; release with free_synth_view).  Returns 1, or 0 with a one-line
// reason in err (not a label image for these options, empty, too many faces).
int trace_label_image(const label_image *img, const trace_options *o, synth_view *v,
                      trace_report *report, char *err);

// An RGB picture of the label image (faces in grey, a colour image's in its
// own colours, paled) with each traced curve drawn in its own colour; rgb
// gets width * height * 3 bytes.
void draw_trace_picture(const label_image *img, const trace_report *report, const synth_view *v,
                        std::vector<unsigned char> *rgb);

#endif
