// gl_internal.h -- state and helpers shared by the files of the graphics layer,
// and the pure functions its unit tests call directly.
//
// One X connection serves everything: input.cpp opens it lazily (the pointer
// can be read without a window; keys come from the window's events), window.cpp adds the one window with its two pixmap
// buffers, draw.cpp batches line segments into them, menu.cpp shows popup
// menus on the same connection.  transform.cpp and the menu-string parser are
// pure and need no X server.
//
// Start with gl_conn and gl_input below, then gl_win.
#ifndef HYBFIT_GL_INTERNAL_H
#define HYBFIT_GL_INTERNAL_H

#include <X11/Xft/Xft.h>
#include <X11/Xlib.h>
#include <cairo.h>

#include "gl.h"

// ---------------------------------------------------------------------------
// Connection (input.cpp)
// ---------------------------------------------------------------------------
struct gl_connection {
  Display *dpy;      // null until opened, or when no display could be opened
  int tried;         // 1 once an open was attempted (reset by gexit)
  int screen;        // default screen of dpy
};
extern gl_connection gl_conn;

// Opens the display named by DISPLAY on first use; null when there is none.
// Never prints and never exits.
Display *gl_open_display();
// Closes the connection (if open) and forgets the keyboard mapping and every
// key's state, so the next use opens a fresh one.
void gl_close_display();

// ---------------------------------------------------------------------------
// Devices and the event queue (input.cpp)
// ---------------------------------------------------------------------------
enum {
  GL_DEVICE_LIMIT = 1024,   // qdevice accepts devices below this
  GL_BUTTON_LIMIT = 256,    // buttons are 1..255
  GL_QUEUE_SIZE   = 1024,   // entries beyond this are dropped
  GL_KEYCODE_LIMIT = 256    // X keycodes are 8..255
};

// The device of an X keysym (letters in either case, main-keyboard digits,
// F1..F12, arrows, space, Escape), or 0 when the program has no such device.
Device gl_keysym_device(unsigned long keysym);
// The device of X pointer button b (1 left, 2 middle, 3 right), or 0.
Device gl_pointer_button_device(unsigned int b);

// Appends (dev, value) when dev is enabled; returns 1 if it was queued.
int gl_queue_event(Device dev, short value);
// Removes every entry for dev whose value equals value.
void gl_queue_remove(Device dev, short value);
// Enables or disables dev in the queue (winopen enables 528 and 534).
void gl_enable_device(Device dev, int on);
// Marks every key up: its events now go elsewhere (a FocusOut, a popup
// menu's grab), so its release would never be seen.
void gl_release_keys();
// Ends the input frame (swapbuffers): a key pressed and released during the
// frame stops reading as down.
void gl_end_input_frame();
// Takes pending X events into the queue (and repairs or resizes the window).
void gl_pump_events();
// Handles one X event of the main window.
void gl_dispatch_event(XEvent *ev);

// ---------------------------------------------------------------------------
// Window and frame buffer (window.cpp)
// ---------------------------------------------------------------------------
enum { GL_VIEWPORT_DEPTH = 16, GL_WINDOW_ID = 1, GL_COLORS = 8, GL_MENU_COLORS = 4 };

// Colours of the popup menus, after the eight colour-map entries.
enum { MENU_BACKGROUND = 0, MENU_TITLE = 1, MENU_HIGHLIGHT = 2, MENU_TEXT = 3 };

struct gl_rect {
  int left, right, bottom, top;  // window pixels, origin lower-left, inclusive
};

struct gl_window_state {
  Window win;                 // 0 while no window is open
  int width, height;          // size of the window and of both pixmaps
  Pixmap back, front;         // back buffer; copy of what the window shows
  XftDraw *xft_back, *xft_front, *xft_win;
  GC gc;                      // line and fill drawing, clipped to the mask
  GC copy_gc;                 // unclipped copies between buffers
  Visual *visual;
  Colormap colormap;
  int depth;
  unsigned long pixel[GL_COLORS];
  XftColor xft_color[GL_COLORS];
  unsigned long menu_pixel[GL_MENU_COLORS];
  XftColor menu_xft[GL_MENU_COLORS];
  int colors_allocated;       // 1 once all of the above are allocated
  XftFont *font;              // null if no font could be opened
  // requested before winopen
  int pref_set;
  long pref_x, pref_y, pref_w, pref_h;  // lower-left corner from screen bottom-left
  int no_border;
  // modes
  int double_requested;       // doublebuffer() called
  int double_mode;            // in force after gconfig
  int front_flag;             // frontbuffer(1)
  // viewport, screen mask and the viewport stack
  gl_rect viewport, mask;
  gl_rect vp_stack[GL_VIEWPORT_DEPTH], mask_stack[GL_VIEWPORT_DEPTH];
  int vp_depth;
  // frame pacing
  double last_swap;           // monotonic seconds at the end of the last swap, 0 before
  int snapshot_failed;        // 1 after a snapshot could not be written (reported once)
};
extern gl_window_state gl_win;

//  index  colour     red  green blue: the colour map the window starts with
extern const unsigned char gl_colormap_rgb[GL_COLORS][3];

// The buffers that drawing goes to now (back buffer, and front copy plus
// window while the front buffer is enabled or in single-buffered mode), with
// their Xft draws.  Returns their number, 0 without a window.
int gl_targets(Drawable drawable[3], XftDraw *xft[3]);
// Repairs the exposed rectangle from the front copy and queues 528.
void gl_window_on_expose(const XExposeEvent *e);
// Follows a size change: new buffers, and 528 in the queue.
void gl_window_on_configure(const XConfigureEvent *e);
// Applies the current screen mask to the GC and the Xft draws.
void gl_apply_mask();
// Parses HYBROID_SWAP_INTERVAL: sixtieths of a second between swaps.
int gl_swap_interval(const char *text);

// ---------------------------------------------------------------------------
// The image back end (image.cpp): the window's frame in memory
// ---------------------------------------------------------------------------
struct gl_image_state {
  int requested;              // gl_offscreen(1): winopen makes images, no window
  cairo_surface_t *back;      // back buffer; null while no image is open
  cairo_surface_t *front;     // what the last swapbuffers showed
  double font_size;           // pixels, chosen to fit 13-pixel lines
};
extern gl_image_state gl_img;

// 1 when drawing has somewhere to go: a window or the images.
inline int gl_has_target() { return gl_win.win || gl_img.back; }

// Opens (or reopens) black images of the given size; 0 when they cannot be
// made, and no image is open then.
int gl_image_create(int width, int height);
// Releases the images (harmless when none are open).
void gl_image_close();
// Strokes n one-pixel (or, beyond the stacked widths, width-pixel) segments
// in X pixel coordinates, clipped to the screen mask.
void gl_image_segments(const XSegment *segs, int n, Colorindex c, short width);
// Fills the screen mask of the image(s) drawn to.
void gl_image_clear(Colorindex c);
// Draws text with its baseline starting at X pixel (x, y); returns the advance.
double gl_image_text(double x, double y, const char *text, Colorindex c);
// Shows the back image: copies it to the front copy.
void gl_image_swap();
// Writes s as PNG to a temporary name next to path, then renames it; 0 or -1.
int gl_write_surface_png(cairo_surface_t *s, const char *path);

// ---------------------------------------------------------------------------
// Matrices and clipping (transform.cpp, pure)
// ---------------------------------------------------------------------------
enum { GL_MATRIX_DEPTH = 32 };

struct gl_matrix_state {
  short mode;
  Matrix projection;
  Matrix stack[GL_MATRIX_DEPTH];  // viewing matrices; stack[depth-1] is current
  int depth;
  Matrix composite;               // viewing * projection
  int composite_valid;
};
extern gl_matrix_state gl_mat;

// Resets both matrices to the identity and empties the stack.
void gl_reset_matrices();
// Clip coordinates of the object-space point (x, y, z):
// (x, y, z, 1) * viewing * projection.
void gl_transform_point(double x, double y, double z, double clip[4]);
// Clips the segment a-b to -w <= x, y, z <= w (w > 0) in homogeneous clip
// space, moving the endpoints inwards.  Returns 0 when nothing is left.
int gl_clip_segment(double a[4], double b[4]);
// Clip coordinates inside the clip volume (all of x, y, z within +-w, w > 0)?
int gl_clip_inside(const double c[4]);
// Row-vector product out = a * b (out may alias neither).
void gl_matrix_multiply(const Matrix a, const Matrix b, Matrix out);

// ---------------------------------------------------------------------------
// Drawing (draw.cpp)
// ---------------------------------------------------------------------------
// Sends the pending line segments to the buffers.
void gl_flush_segments();
// Resets colour, width, positions and the pending segments.
void gl_reset_drawing();
// Window pixel (origin lower-left, continuous) of a point inside the clip
// volume, through the current viewport.
void gl_clip_to_window(const double c[4], double *px, double *py);

// ---------------------------------------------------------------------------
// Menus (menu.cpp)
// ---------------------------------------------------------------------------
enum { GL_MENU_ITEMS = 64, GL_MENU_LABEL = 96, GL_MENU_ARGS = 128, GL_MENUS = 64 };

struct gl_menu_item {
  char label[GL_MENU_LABEL];
  long value;
  int function_arg;         // argument index of its "%f" function, or -1
  int submenu_arg;          // argument index of its "%m" submenu, or -1
  menu_function function;   // bound by defpup
  long submenu;             // bound by defpup; 0 for none
};

struct gl_menu {
  int has_title;
  char title[GL_MENU_LABEL];
  int menu_function_arg;    // argument index of the "%F" function, or -1
  menu_function menu_fn;    // bound by defpup
  int n_items;
  gl_menu_item items[GL_MENU_ITEMS];
  int n_args;
  char arg_kind[GL_MENU_ARGS];  // 'f' a function, 'm' a submenu identifier
};

// Parses a menu string into menu (functions and submenus left unbound).
// Returns 0, or -1 when the string has more items or arguments than fit.
int gl_parse_menu(const char *str, gl_menu *menu);
// Runs the bound function of a chosen item: its "%f" function, otherwise the
// "%F" function of menu.  Returns the function's result, or the value.
long gl_menu_choose(const gl_menu *menu, int item);
// The menu with identifier id, or null.
gl_menu *gl_find_menu(long id);
// Forgets every menu (gexit).
void gl_reset_menus();

#endif
