// synth.h -- the synthetic-scene engine of the tools (tools/synth.cpp):
// synthetic contour data and face-label images of a known model.
// hybsynth writes it, the tests and tools/accuracy compare fits with it;
// the program itself (build/hybfit) does not link this code.
#ifndef HYBFIT_TOOLS_SYNTH_H
#define HYBFIT_TOOLS_SYNTH_H

#include <cstdio>
#include <random>

#include "hybroid.h"

// A scene is one true model with its pose and camera; each view of it (one,
// or the left and right of a stereo pair) becomes the contour data of one
// dump file, in pixels, in the face and curve layout of the model's label.
struct synth_shape {
  double sc, a1, a2, a3, e1, e2, tapx, tapy, bend1, bend3;
};
struct synth_scene {
  int label;                    // primitive label: 1, 5, 6 or 10
  synth_shape shape;
  vector translation;           // model-frame origin; world frame in stereo
  double rotation[3][3];        // model frame to camera (world in stereo) frame
  int translation_given;        // 0: the start depth of the fit (-f, or -2f)
  int perspective_flag;
  double focal_length;
  int stereo_flag;              // two views, cameras placed as the fit places them
  double base_line, verge_angle, elev_angle;  // stereo cameras; angles radians
  double theta_deg;             // image rotation, the answer to "Enter theta = "
  double noise;                 // Gaussian pixel noise, standard deviation
  unsigned long seed;           // of the noise
  double spacing;               // pixels between neighbouring contour points
  int mesh_usize, mesh_vsize;   // the fitting model's mesh: rims lie on its rows
  const char *output[2];        // dump file of view 0 (left) and view 1 (right)
  const char *label_image[2];   // face-label PNG of view 0 and view 1, or null
  int label_size;               // its width and height, pixels (256)
  int label_gap;                // background pixels between adjoining faces there (0)
  int bound;                    // report how precisely the data determine the
                                // model (tools/bound.h) instead of writing files
};
struct synth_face {
  int n_points;                 // -1: the camera does not see the face
  double *row, *col;            // pixels, n_points each
  int n_curve;
  int begin[MAX_CURVES], end[MAX_CURVES];  // begin -1: absent curve
};
struct synth_view {
  int label;
  int n_face;
  synth_face face[MAX_FACES];
  int center;                   // centre rule the model initialisation picks
  vector fit_translation;       // the model centre in this camera's frame
  double fit_rotation[3][3];    // the model's rotation in this camera's frame
  int outside;                  // points that fall outside the 256 x 256 image
};
enum { SYNTH_ERROR_SIZE = 256 };
void init_synth_scene(synth_scene *s);
void print_synth_usage(FILE *fp, const char *prog);
int parse_synth_command_line(int argc, char **argv, synth_scene *s, char *err);
int make_synth_view(const synth_scene *s, int view, synth_view *v, char *err);
void write_synth_dump(FILE *fp, const synth_scene *s, int view, const synth_view *v);
// One comment line of a dump file, "# " and the text cut to what the dump
// reader skips whole.
void write_comment(FILE *fp, const char *fmt, ...);
// The dump file items of a view (no truth lines): faces, curves, neighbours.
void write_synth_contours(FILE *fp, const synth_view *v);
void free_synth_view(synth_view *v);
// The face-label image of a view: size x size pixels over the 256 x 256
// image of the dump, value face + 1 of the face nearest the camera, 0 for
// background.  pixels holds size * size bytes, row by row from the top.
// Returns 1, or 0 with err filled.
int make_synth_label_image(const synth_scene *s, int view, int size, unsigned char *pixels,
                           char *err);
// A standard normal deviate by the Box-Muller transform over 53-bit uniforms,
// so that a seed gives the same noise on every platform.
double synth_normal_deviate(std::mt19937_64 *rng);
void synth_camera_frame(const synth_scene *s, int view, double rot[3][3], vector *tr);
void synth_pixel_from_image_point(double x, double y, double theta, double *row,
                                  double *col);

#endif
