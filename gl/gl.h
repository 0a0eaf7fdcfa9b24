// gl.h -- the immediate-mode graphics interface the program draws and reads
// input through, implemented over Xlib (window, input, lines), Xft (text) and
// Cairo (PNG snapshots, and the image back end of runs without a display).
//
// The layer knows nothing of models.  It offers the calls below with their
// classic names and semantics: device numbers for keys, buttons and pointer
// valuators, a FIFO event queue, a colour-index double-buffered window, a
// projection matrix plus a viewing-matrix stack (row-vector convention,
// premultiplying transforms), polylines, text and popup menus.
//
// Start with input.cpp (devices, polling and the queue), then window.cpp.
#ifndef HYBFIT_GL_H
#define HYBFIT_GL_H

typedef unsigned short Device;
typedef float Coord;
typedef short Angle;
typedef short Screencoord;
typedef unsigned short Colorindex;
typedef float Matrix[4][4];

// Device numbers the program uses.
//        name             number
enum {
  DEV_ESC          = 7,
  DEV_1            = 8,
  DEV_A            = 11,
  DEV_S            = 12,
  DEV_2            = 14,
  DEV_3            = 15,
  DEV_E            = 17,
  DEV_D            = 18,
  DEV_F            = 19,
  DEV_Z            = 20,
  DEV_X            = 21,
  DEV_4            = 22,
  DEV_5            = 23,
  DEV_R            = 24,
  DEV_T            = 25,
  DEV_G            = 26,
  DEV_C            = 28,
  DEV_V            = 29,
  DEV_6            = 30,
  DEV_7            = 31,
  DEV_Y            = 32,
  DEV_U            = 33,
  DEV_J            = 34,
  DEV_B            = 36,
  DEV_N            = 37,
  DEV_8            = 38,
  DEV_I            = 40,
  DEV_O            = 41,
  DEV_L            = 42,
  DEV_0            = 46,
  DEV_P            = 48,
  DEV_LEFTARROW    = 73,
  DEV_DOWNARROW    = 74,
  DEV_RIGHTARROW   = 80,
  DEV_UPARROW      = 81,
  DEV_SPACE        = 83,
  DEV_RIGHTMOUSE   = 101,
  DEV_MIDDLEMOUSE  = 102,
  DEV_LEFTMOUSE    = 103,
  DEV_F1           = 146,  // Fn is DEV_F1 + n - 1
  DEV_F12          = 157,
  DEV_MOUSEX       = 266,
  DEV_MOUSEY       = 267,
  DEV_REDRAW       = 528,
  DEV_INPUTCHANGE  = 534
};

// Input: devices, polling and the event queue.
void qdevice(Device dev);
long qtest();
long qread(short *val);
long getbutton(Device dev);
long getvaluator(Device dev);

// Window and frame buffer.
void foreground();
void prefposition(long x1, long x2, long y1, long y2);
void noborder();
long winopen(const char *title);
void winconstraints();
void cmode();
void doublebuffer();
void gconfig();
void frontbuffer(long flag);
void clear();
void swapbuffers();
void getsize(long *x, long *y);
void reshapeviewport();
void getscrmask(Screencoord *left, Screencoord *right, Screencoord *bottom,
                Screencoord *top);
void pushviewport();
void popviewport();
void gexit();

// Transformations.
void mmode(short mode);
void perspective(Angle fovy, Coord aspect, Coord near_, Coord far_);
void ortho2(Coord left, Coord right, Coord bottom, Coord top);
void loadmatrix(const Matrix m);
void pushmatrix();
void popmatrix();
void translate(Coord x, Coord y, Coord z);
void polarview(Coord dist, Angle azim, Angle inc, Angle twist);

// Drawing.
void color(Colorindex c);
long getcolor();
void linewidth(short n);
void bgnline();
void endline();
void bgnclosedline();
void endclosedline();
void v3d(const double v[3]);
void move(Coord x, Coord y, Coord z);
void draw(Coord x, Coord y, Coord z);
void cmov2i(long x, long y);
void charstr(const char *s);

// Menus.  A menu function receives the chosen item's value.
typedef int (*menu_function)(int);
long defpup(const char *str, ...);
long dopup(long menu);

// Beyond the classic interface.
// 1 when the layer can see a keyboard, that is while its window is open:
// keys are read from the window's own events, so without a window every key
// reads as up.
int keyboard_available();
// 1 once for every press of key dev in the window (also a press released
// before the call), else 0: for keys that act once per press, however long
// they are held.  getbutton(dev) answers "is it down now" (or was it pressed
// during this frame, so that a press shorter than a frame is seen once).
long keypressed(Device dev);

// A second back end for runs without an X server: while gl_offscreen(1) is
// in force, winopen opens no window but draws the window's frame, call for
// call, into an image of the window's size in memory (nothing reads input
// from it).  gl_write_png saves the frame the last swapbuffers showed, under
// a temporary name renamed into place; it returns 0, or -1 when there is no
// such image or the file cannot be written.
void gl_offscreen(int on);
int gl_write_png(const char *path);

// Test hooks, compiled into the library but used only by tests: they let the
// program's key-driven logic run without an X server.  gl_test_set_button
// overrides the live state of one device (state 0 or 1) until
// gl_test_reset(), forcing it down counting as one press;
// gl_test_set_valuator does the same for a valuator; gl_test_queue appends
// an entry to the event queue regardless of qdevice.
void gl_test_set_button(Device dev, int state);
void gl_test_set_valuator(Device dev, long value);
void gl_test_queue(Device dev, short value);
void gl_test_reset();

#endif
