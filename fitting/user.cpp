// user.cpp -- the interactive front end: the window, the view, the popup
// menus and user(), which handles one queued event, the zoom keys and the
// mouse drags of every pass of the run loop.
//
// The view state (distance, three angles in tenths of degrees, a translation
// and the field of view) lives in the globals below; sgi_init opens the window
// and builds the menus, user() changes the view or edits the active model's
// parameters from the mouse, and loads the viewing matrix for the frame.
// Start with sgi_init, then user().
#include <climits>
#include <cmath>
#include <cstdio>

#include "gl.h"
#include "hybroid.h"

//    name                      start value
long gwid                       = 0;
short zoom                      = 60;    // field of view, tenths of degrees
short incl                      = 0;     // tenths of degrees
short azim                      = 0;
short twist                     = 0;
double dist                     = 300.0;
float X_Translation             = 0.0f;
float Y_Translation             = 0.0f;
float Z_Translation             = 0.0f;
int return_val                  = 0;
int active_parameter            = 0;     // 0 none, 1..18 the menu items below
long main_menu                  = 0;
long superquadric_menu          = 0;
long position_menu              = 0;
long fitting_menu               = 0;

static Matrix Identity = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};

static const char window_title[] = "Deformable Model Fitting";
static const double far_distance = 3000.0;
static const double min_view_distance = 10.0;
static const double translation_per_pixel = 0.01;  // view and model translation
static const double radians_per_pixel = 0.01;      // model rotation edits
static const double pi = 3.141592653589793;

// Drag state between calls: the last left and middle button events and the
// pointer position at the previous drag step.
static int dist_adj = 0, pos_adj = 0;
static long xold = 0, yold = 0;

// ---------------------------------------------------------------------------
// Window set-up
// ---------------------------------------------------------------------------

long sgi_init(int llx, int urx, int lly, int ury, int hasBorder) {
  foreground();
  prefposition(llx, urx, lly, ury);
  if (hasBorder == 0) noborder();
  gwid = winopen(window_title);
  winconstraints();
  cmode();
  doublebuffer();
  gconfig();
  mmode(2);
  frontbuffer(1);
  clear();
  frontbuffer(0);
  user_init();
  set_projection();
  return gwid;
}

void user_init() {
  qdevice(DEV_ESC);
  qdevice(DEV_LEFTMOUSE);
  qdevice(DEV_MIDDLEMOUSE);
  qdevice(DEV_RIGHTMOUSE);
  user_reset();
  superquadric_menu = defpup(
      "Superquadric Parameters %t %F|sc %x1|a1 %x2|a2 %x3|a3 %x4|e1 %x5|e2 %x6|"
      "tapx %x7|tapy %x8|bend1 %x9|bend2 %x10|bend3 %x11",
      (menu_function)modify_superquadric_parameters);
  position_menu = defpup("Position %t %F|x-y %x12|z %x13|rotx %x14|roty %x15 |rotz %x16",
                         (menu_function)modify_position_parameters);
  fitting_menu = defpup("Fitting Params %t %F|Change euler_step %x17|Reset euler_step %x18",
                        (menu_function)modify_fitting_parameters);
  main_menu = defpup(
      "Main Menu %t|Superquadric Menu %m|Position Menu %m|Fitting Menu %m|"
      "Reset Viewpoint %f|Quit %f",
      superquadric_menu, position_menu, fitting_menu, (menu_function)user_reset,
      (menu_function)quit);
}

int user_reset(int) {
  incl = azim = twist = 0;
  dist = 300.0;
  X_Translation = Y_Translation = Z_Translation = 0.0f;
  return 0;
}

void set_projection() {
  long width = 0, height = 0;
  getsize(&width, &height);
  // A window cannot really be empty; a zero size (no window yet) must not
  // put an infinite aspect into the projection.
  if (width < 1) width = 1;
  if (height < 1) height = 1;
  float aspect = (float)((double)width / (double)height);
  perspective(zoom, aspect, (float)focal_length, (float)far_distance);
}

int quit(int) {
  return_val = 1;
  return 0;
}

int modify_superquadric_parameters(int item) { return active_parameter = item; }
int modify_position_parameters(int item) { return active_parameter = item; }
int modify_fitting_parameters(int item) { return active_parameter = item; }

void sgi_clear() {
  color(0);
  clear();
}

void sgi_flush() { swapbuffers(); }

void sgi_exit() { gexit(); }

// ---------------------------------------------------------------------------
// Parameter edits with the left button
// ---------------------------------------------------------------------------

// Shape and step edits: field += step * dy, clamped to [lo, hi].
struct shape_edit {
  int item;
  double hybroid::*field;
  double step, lo, hi;
  const char *message;  // printed on stdout with the new value
};

//   item  field               step   lower   upper  message
static const shape_edit shape_edits[] = {
    {1,  &hybroid::sc,    0.01,   0.01,   10.0, "sc = %f\n"},
    {2,  &hybroid::a1,    0.01,   0.01,   10.0, "a1 = %f\n"},
    {3,  &hybroid::a2,    0.01,   0.01,   10.0, "a2 = %f\n"},
    {4,  &hybroid::a3,    0.01,   0.01,   10.0, "a3 = %f\n"},
    {5,  &hybroid::e1,    0.01,   0.01,    3.0, "e1 = %f\n"},
    {6,  &hybroid::e2,    0.01,   0.01,    3.0, "e2 = %f\n"},
    {7,  &hybroid::tapx,  0.01,  -2.0,     2.0, "tapx = %f\n"},
    {8,  &hybroid::tapy,  0.01,  -2.0,     2.0, "tapy = %f\n"},
    {9,  &hybroid::bend1, 0.001, -4.0,     4.0, "bend1 = %f\n"},
    {10, &hybroid::bend2, 0.01,  -1.0,     1.0, "bend2 = %f\n"},
    {11, &hybroid::bend3, 0.01,  -pi,      pi,  "bend3 = %f\n"},
};

static void apply_shape_edit(hybroid *h, const shape_edit &e, long dy) {
  double value = h->*e.field + e.step * dy;
  if (value < e.lo) value = e.lo;
  if (value > e.hi) value = e.hi;
  h->*e.field = value;
  printf(e.message, value);
  fflush(stdout);
}

// Turns the model by angle radians about the camera-frame axis e (a unit
// vector), left-multiplying the orientation, and rebuilds the rotation.
static void rotate_model(hybroid *h, vector e, double angle) {
  double c = cos(angle / 2), s = sin(angle / 2);
  vector a = {s * e.x, s * e.y, s * e.z};
  quaternion q = quaternion_left_multiply(c, a, h->orientation);
  double len = sqrt(((q.w * q.w + q.v.x * q.v.x) + q.v.y * q.v.y) + q.v.z * q.v.z);
  if (!(len > 0.0) || !std::isfinite(len)) return;  // keep a usable orientation
  q.w /= len;
  q.v.x /= len;
  q.v.y /= len;
  q.v.z /= len;
  h->orientation = q;
  rotation_from_quaternion(h->orientation, h->rotation);
}

static void apply_pose_edit(hybroid *h, int item, long dx, long dy) {
  static const vector axes[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  switch (item) {
    case 12:
      h->translation.x += translation_per_pixel * dx;
      h->translation.y += translation_per_pixel * dy;
      break;
    case 13:
      h->translation.z += translation_per_pixel * dy;
      break;
    case 14: case 15: case 16:
      rotate_model(h, axes[item - 14], radians_per_pixel * dy);
      break;
    case 17:
      h->dt += 0.01 * dy;
      printf("dt = %f\n", h->dt);
      fflush(stdout);
      break;
    case 18:
      h->dt = 1.0;
      break;
    default:
      break;
  }
}

static void edit_parameter(hybroid *h, long dx, long dy) {
  bool done = false;
  for (const shape_edit &e : shape_edits)
    if (e.item == active_parameter) {
      apply_shape_edit(h, e, dy);
      done = true;
    }
  if (!done) apply_pose_edit(h, active_parameter, dx, dy);
  compute_superquadric_taper_bend_normal(h);
  compute_superquadric_taper_bend_new_center(h);
  compute_positions(h);
  compute_world_positions(h);
}

// ---------------------------------------------------------------------------
// View drags
// ---------------------------------------------------------------------------

static void move_float(float *f, long pixels) {
  *f = (float)(*f + translation_per_pixel * pixels);
}

// Left drag without an edit: the view distance, or with X, Y and/or Z held
// the view translation along those axes.
static void drag_view_distance(long dx, long dy) {
  bool x = getbutton(DEV_X), y = getbutton(DEV_Y), z = getbutton(DEV_Z);
  if (!x && !y && !z) {
    dist = dist + dx + dy;
    if (!(dist > min_view_distance)) dist = min_view_distance;
  } else if (x && z) {
    move_float(&X_Translation, dx);
    move_float(&Z_Translation, dy);
  } else if (x && y) {
    move_float(&X_Translation, dx);
    move_float(&Y_Translation, dy);
  } else if (y && z) {
    move_float(&Y_Translation, dx);
    move_float(&Z_Translation, dy);
  } else if (x) {
    move_float(&X_Translation, dx);
  } else if (y) {
    move_float(&Y_Translation, dy);
  } else {
    move_float(&Z_Translation, dy);
  }
}

// Adds pixels to a 16-bit angle, wrapping around modulo 65536.
static short add_wrapped(short angle, long pixels) {
  return (short)(unsigned short)(((long)angle + pixels) & 0xffff);
}

// Middle drag: azimuth and inclination, or the twist with the space bar held.
static void drag_view_rotation(long dx, long dy) {
  if (getbutton(DEV_SPACE)) {
    twist = add_wrapped(twist, dx);
  } else {
    azim = add_wrapped(azim, -dx);
    incl = add_wrapped(incl, dy);
  }
}

// ---------------------------------------------------------------------------
// One call per pass
// ---------------------------------------------------------------------------

static void read_pointer(long *x, long *y) {
  *x = getvaluator(DEV_MOUSEX);
  *y = getvaluator(DEV_MOUSEY);
}

// Handles one queued event; returns 1 when it was Escape.
static int handle_queued_event() {
  short val = 0;
  long dev = qread(&val);
  switch (dev) {
    case DEV_ESC:
      quit();
      return 1;
    case DEV_RIGHTMOUSE:
      dopup(main_menu);
      break;
    case DEV_MIDDLEMOUSE:
      read_pointer(&xold, &yold);
      pos_adj = val;
      active_parameter = 0;
      break;
    case DEV_LEFTMOUSE:
      read_pointer(&xold, &yold);
      dist_adj = val;
      break;
    case DEV_REDRAW:
      reshapeviewport();
      set_projection();
      break;
    default:
      break;
  }
  return 0;
}

static void poll_zoom_keys() {
  if (getbutton(DEV_O)) {
    zoom = (short)(int)(zoom - 0.1);
    fprintf(stderr, "zoom = %f  \n", (double)zoom);
    set_projection();
  }
  if (getbutton(DEV_I)) {
    if (zoom < SHRT_MAX) zoom = (short)(zoom + 1);
    fprintf(stderr, "zoom = %f  \n", (double)zoom);
    set_projection();
  }
}

int user(hybroid *h_user) {
  set_projection();
  return_val = 0;
  if (qtest() != 0 && handle_queued_event()) return 1;
  poll_zoom_keys();

  long x = xold, y = yold;
  if (active_parameter >= 1 && dist_adj) {
    if (!h_user) return 0;
    read_pointer(&x, &y);
    edit_parameter(h_user, x - xold, y - yold);
  } else if (dist_adj) {
    read_pointer(&x, &y);
    drag_view_distance(x - xold, y - yold);
  } else if (pos_adj) {
    read_pointer(&x, &y);
    drag_view_rotation(x - xold, y - yold);
  }
  xold = x;
  yold = y;
  load_viewing_matrix();
  return return_val;
}

void load_viewing_matrix() {
  loadmatrix(Identity);
  polarview((float)dist, azim, incl, twist);
  translate(X_Translation, Y_Translation, Z_Translation);
}
