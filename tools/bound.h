// bound.h -- how precisely a scene's noisy contours can give its model back
// (tools/bound.cpp): the Cramer-Rao bound of the fitted parameters, and how
// often a fit that reaches it would meet the accuracy targets.
#ifndef HYBFIT_TOOLS_BOUND_H
#define HYBFIT_TOOLS_BOUND_H

#include <cstdio>

#include "synth.h"

// The smallest standard deviations any unbiased fit of one view's data can
// have at the scene's noise, in the measures of tools/accuracy, and the share
// of fits distributed by that bound that meet each of its targets.
struct synth_bound {
  int points;                 // data points of the view
  int free_count;             // parameters the data determine
  double sd_size[2];          // image-plane sizes sc*a1, sc*a2, percent
  double sd_axis;             // model axis, degrees (root mean square angle)
  double sd_tap[2], sd_bend, sd_e[2];
  double met_size, met_axis, met_tap, met_bend, met_e;  // shares, 0..1
  double met_all;             // every target at once
};

// Returns 1 with b filled, or 0 with err filled (no noise, a view that
// cannot be made).
int bound_synth_view(const synth_scene *s, int view, synth_bound *b, char *err);
void print_synth_bound(FILE *fp, const synth_scene *s, int view, const synth_bound *b);

#endif
