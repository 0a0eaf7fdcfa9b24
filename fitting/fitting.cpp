// fitting.cpp -- two self-contained loops that run the automatic fitting
// schedule to its end: fit_single_view for one model, fit_stereo_views for
// the left and right models of a stereo pair.
//
// They read each model's graphics_flag, step the models with
// compute_motion_auto / compute_stereo_motion_auto (dynamics.cpp) and redraw
// like the run loop.  Their pause switch is the module flag stop_flag,
// toggled by T; it is not the run loop's stop_fitting.  Without graphics a
// loop returns as soon as the fit is finished; with graphics it keeps showing
// the finished fit until the front end reports a quit.
#include "gl.h"
#include "hybroid.h"

int stop_flag = 0;  // 1 = fitting paused

// The front end's turn: returns non-zero when the user asked to quit;
// otherwise each press of T toggles the pause.
static int handle_user(hybroid *h) {
  int user_quit = user(h);
  if (!user_quit && keypressed(DEV_T)) stop_flag = 1 - stop_flag;
  return user_quit;
}

static void redraw_single(hybroid *h) {
  sgi_clear();
  toggle_display_attributes();
  display_range_data_hybroid_2D(h);
  draw_fitting_hybroid(h);
  sgi_flush();
}

void fit_single_view(hybroid *h) {
  int fit_done = 0, user_quit = 1;
  stop_flag = h->graphics_flag ? 1 : 0;  // with graphics the fit starts paused
  for (;;) {
    if (h->graphics_flag) {
      user_quit = handle_user(h);
      if (user_quit) return;
    }
    if (stop_flag == 0) fit_done = compute_motion_auto(h);
    if (h->graphics_flag) redraw_single(h);
    if (fit_done && (user_quit || !h->graphics_flag)) return;
  }
}

static void redraw_stereo(hybroid *h_left, hybroid *h_right) {
  if (!h_left->graphics_flag && !h_right->graphics_flag) return;
  sgi_clear();
  toggle_display_attributes();
  hybroid *views[2] = {h_left, h_right};
  for (hybroid *h : views) {
    if (!h->graphics_flag) continue;
    display_range_data_hybroid_2D(h);
    draw_fitting_hybroid(h);
  }
  sgi_flush();
}

// Both single-view schedules run first (one step each per pass, both always
// called); once both report finished in the same pass, the stereo step
// takes over until neither model changes.
void fit_stereo_views(hybroid *h_left, hybroid *h_right) {
  int stereo_fit_done = 0, single_fit_done = 0, user_quit = 1;
  stop_flag = h_left->graphics_flag ? 1 : 0;
  stereo_couple(h_left, h_right);
  for (;;) {
    if (h_left->graphics_flag) {
      user_quit = handle_user(h_left);
      if (user_quit) return;
    }
    if (stop_flag == 0) {
      if (!single_fit_done) {
        int left_done = compute_motion_auto(h_left);
        int right_done = compute_motion_auto(h_right);
        single_fit_done = left_done && right_done;
      } else {
        stereo_fit_done = compute_stereo_motion_auto(h_left, h_right);
      }
    }
    redraw_stereo(h_left, h_right);
    if (stereo_fit_done && (user_quit || !h_left->graphics_flag)) return;
  }
}
