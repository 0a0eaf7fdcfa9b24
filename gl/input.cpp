// input.cpp -- the input side of the graphics layer: device numbers, key
// state, button and pointer state, the FIFO event queue, and the X
// connection that everything else shares.
//
// Keys belong to the window: their state comes only from the window's own
// KeyPress and KeyRelease events (a FocusOut releases every key, and a key
// already down when the focus comes stays up until pressed again), taken in
// whenever events are read (qtest, qread, getsize, reshapeviewport), so
// reading a key costs no server round trip and keys typed into other
// windows are never seen.  Without a window no key is ever down.  Besides
// "down now" the layer remembers, for each key, that it was pressed during
// the current frame (until swapbuffers), so that a press shorter than a
// frame is still seen once, and it counts presses for keypressed, which
// reports each press once however long the key is held.  Mouse buttons and
// the pointer are read live from the server.  The display is opened lazily;
// when there is none, everything reads as up and 0, silently.
//
// Start with the device table, then getbutton, keypressed and on_key.
#include <X11/XKBlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <dlfcn.h>
#include <poll.h>

#include <cstdlib>
#include <cstring>

#include "gl_internal.h"

gl_connection gl_conn = {nullptr, 0, 0};

// Opening the display: attempts, and the pause between them in milliseconds.
static const int kOpenAttempts = 5;
static const int kOpenRetryMs = 20;

// ---------------------------------------------------------------------------
// Device table: the keys the program reads, by X keysym.  A letter lists its
// lower- and upper-case keysyms so that Shift does not change the device.
// ---------------------------------------------------------------------------
struct key_device {
  unsigned long lower, upper;  // keysyms (upper = lower when caseless)
  Device dev;
};

//  lower        upper         device
static const key_device key_table[] = {
  {XK_Escape,    XK_Escape,    DEV_ESC},
  {XK_0,         XK_0,         DEV_0},
  {XK_1,         XK_1,         DEV_1},
  {XK_2,         XK_2,         DEV_2},
  {XK_3,         XK_3,         DEV_3},
  {XK_4,         XK_4,         DEV_4},
  {XK_5,         XK_5,         DEV_5},
  {XK_6,         XK_6,         DEV_6},
  {XK_7,         XK_7,         DEV_7},
  {XK_8,         XK_8,         DEV_8},
  {XK_a,         XK_A,         DEV_A},
  {XK_b,         XK_B,         DEV_B},
  {XK_c,         XK_C,         DEV_C},
  {XK_d,         XK_D,         DEV_D},
  {XK_e,         XK_E,         DEV_E},
  {XK_f,         XK_F,         DEV_F},
  {XK_g,         XK_G,         DEV_G},
  {XK_i,         XK_I,         DEV_I},
  {XK_j,         XK_J,         DEV_J},
  {XK_l,         XK_L,         DEV_L},
  {XK_n,         XK_N,         DEV_N},
  {XK_o,         XK_O,         DEV_O},
  {XK_p,         XK_P,         DEV_P},
  {XK_r,         XK_R,         DEV_R},
  {XK_s,         XK_S,         DEV_S},
  {XK_t,         XK_T,         DEV_T},
  {XK_u,         XK_U,         DEV_U},
  {XK_v,         XK_V,         DEV_V},
  {XK_x,         XK_X,         DEV_X},
  {XK_y,         XK_Y,         DEV_Y},
  {XK_z,         XK_Z,         DEV_Z},
  {XK_Left,      XK_Left,      DEV_LEFTARROW},
  {XK_Down,      XK_Down,      DEV_DOWNARROW},
  {XK_Right,     XK_Right,     DEV_RIGHTARROW},
  {XK_Up,        XK_Up,        DEV_UPARROW},
  {XK_space,     XK_space,     DEV_SPACE},
};
static const int key_table_size = sizeof key_table / sizeof key_table[0];

Device gl_keysym_device(unsigned long keysym) {
  if (keysym >= XK_F1 && keysym <= XK_F12) return (Device)(DEV_F1 + (keysym - XK_F1));
  for (int i = 0; i < key_table_size; i++)
    if (keysym == key_table[i].lower || keysym == key_table[i].upper) return key_table[i].dev;
  return 0;
}

Device gl_pointer_button_device(unsigned int b) {
  return (b >= 1 && b <= 3) ? (Device)(104 - b) : 0;
}

// ---------------------------------------------------------------------------
// Input state
// ---------------------------------------------------------------------------
struct gl_input_state {
  Device keycode_device[GL_KEYCODE_LIMIT];      // device of each X keycode, 0 none
  int keymap_loaded;                            // keycode_device valid for gl_conn.dpy
  unsigned char enabled[GL_DEVICE_LIMIT];       // qdevice flags
  unsigned char key_down[GL_BUTTON_LIMIT];      // down now, from the window's key events
  unsigned char key_seen[GL_BUTTON_LIMIT];      // down at some moment of this frame
  unsigned char presses[GL_BUTTON_LIMIT];       // presses not yet taken by keypressed
  unsigned char pressed_elsewhere[GL_BUTTON_LIMIT];  // down when the focus came, not yet released
  Device queue_dev[GL_QUEUE_SIZE];              // ring buffer of entries
  short queue_val[GL_QUEUE_SIZE];
  int queue_head, queue_count;
  signed char button_override[GL_BUTTON_LIMIT];  // -1 none, else the forced state
  int valuator_override_set[2];                 // for 266 and 267
  long valuator_override[2];
};

static gl_input_state input;
static int overrides_initialised = 0;

static void clear_overrides() {
  memset(input.button_override, -1, sizeof input.button_override);
  input.valuator_override_set[0] = input.valuator_override_set[1] = 0;
  overrides_initialised = 1;
}

static void ensure_overrides() {
  if (!overrides_initialised) clear_overrides();
}

// ---------------------------------------------------------------------------
// Connection
// ---------------------------------------------------------------------------
// Xft registers its own close-display hook before it initialises the RENDER
// extension, so at XCloseDisplay RENDER's hook runs first and Xft's hook then
// frees glyph sets and pictures through a RENDER that has already let go of
// the display: RENDER then keeps a stale record of the connection, and a
// connection opened later at the same address sends requests with a wrong
// opcode.  Initialising RENDER before Xft touches the display puts its hook
// last.  The function is looked up at run time because the program links
// RENDER only through Xft.
static void init_render_first(Display *dpy) {
  typedef Bool (*query_fn)(Display *, int *, int *);
  query_fn query = (query_fn)dlsym(RTLD_DEFAULT, "XRenderQueryExtension");
  int event_base, error_base;
  if (query) query(dpy, &event_base, &error_base);
}

// A server may drop a connection made right after another client of the
// same process closed its own, so a refused open is tried a few times more.
// Without a DISPLAY setting there is nothing to retry.
static Display *open_with_retries() {
  const char *name = getenv("DISPLAY");
  int attempts = (name && *name) ? kOpenAttempts : 1;
  for (int i = 0; i < attempts; i++) {
    if (i > 0) poll(nullptr, 0, kOpenRetryMs);
    Display *dpy = XOpenDisplay(nullptr);
    if (dpy) return dpy;
  }
  return nullptr;
}

Display *gl_open_display() {
  if (gl_conn.dpy || gl_conn.tried) return gl_conn.dpy;
  gl_conn.tried = 1;
  gl_conn.dpy = open_with_retries();
  if (!gl_conn.dpy) return nullptr;
  gl_conn.screen = DefaultScreen(gl_conn.dpy);
  init_render_first(gl_conn.dpy);
  // Held keys then send repeated presses without releases, which are dropped.
  XkbSetDetectableAutoRepeat(gl_conn.dpy, True, nullptr);
  input.keymap_loaded = 0;
  return gl_conn.dpy;
}

static void forget_keys() {
  memset(input.key_down, 0, sizeof input.key_down);
  memset(input.key_seen, 0, sizeof input.key_seen);
  memset(input.presses, 0, sizeof input.presses);
  memset(input.pressed_elsewhere, 0, sizeof input.pressed_elsewhere);
}

// Also forgets every key: without the window no key is down.
void gl_close_display() {
  if (gl_conn.dpy) XCloseDisplay(gl_conn.dpy);
  gl_conn.dpy = nullptr;
  gl_conn.tried = 0;
  input.keymap_loaded = 0;
  forget_keys();
}

// Builds keycode -> device from the server's keyboard mapping, looking at the
// unshifted and shifted keysym of every key.  Keypad keys carry other keysyms
// and so stay unmapped.
static void load_keymap(Display *dpy) {
  memset(input.keycode_device, 0, sizeof input.keycode_device);
  int min_code = 0, max_code = 0, per_code = 0;
  XDisplayKeycodes(dpy, &min_code, &max_code);
  if (min_code < 0) min_code = 0;
  if (max_code >= GL_KEYCODE_LIMIT) max_code = GL_KEYCODE_LIMIT - 1;
  if (max_code < min_code) return;
  KeySym *syms = XGetKeyboardMapping(dpy, (KeyCode)min_code, max_code - min_code + 1, &per_code);
  if (!syms) return;
  for (int code = min_code; code <= max_code; code++) {
    const KeySym *row = syms + (code - min_code) * per_code;
    for (int level = 0; level < per_code && level < 2; level++) {
      Device dev = gl_keysym_device(row[level]);
      if (dev && !input.keycode_device[code]) input.keycode_device[code] = dev;
    }
  }
  XFree(syms);
  input.keymap_loaded = 1;
}

static Device keycode_device(Display *dpy, unsigned int code) {
  if (!input.keymap_loaded) load_keymap(dpy);
  return code < GL_KEYCODE_LIMIT ? input.keycode_device[code] : 0;
}

int keyboard_available() { return gl_win.win != 0; }

// ---------------------------------------------------------------------------
// Polling
// ---------------------------------------------------------------------------
static long poll_pointer_button(Display *dpy, Device dev) {
  static const unsigned int masks[3] = {Button3Mask, Button2Mask, Button1Mask};  // 101..103
  Window root, child;
  int rx, ry, wx, wy;
  unsigned int state = 0;
  if (!XQueryPointer(dpy, RootWindow(dpy, gl_conn.screen), &root, &child, &rx, &ry, &wx, &wy,
                     &state))
    return 0;
  return (state & masks[dev - DEV_RIGHTMOUSE]) ? 1 : 0;
}

static int is_mouse_button(Device dev) { return dev >= DEV_RIGHTMOUSE && dev <= DEV_LEFTMOUSE; }

long getbutton(Device dev) {
  ensure_overrides();
  if (dev == 0 || dev >= GL_BUTTON_LIMIT) return 0;
  if (input.button_override[dev] >= 0) return input.button_override[dev];
  if (!is_mouse_button(dev)) return input.key_down[dev] || input.key_seen[dev];
  Display *dpy = gl_open_display();
  return dpy ? poll_pointer_button(dpy, dev) : 0;
}

long keypressed(Device dev) {
  if (dev == 0 || dev >= GL_BUTTON_LIMIT || input.presses[dev] == 0) return 0;
  input.presses[dev]--;
  return 1;
}

void gl_end_input_frame() {
  memcpy(input.key_seen, input.key_down, sizeof input.key_seen);
}

void gl_release_keys() { memset(input.key_down, 0, sizeof input.key_down); }

long getvaluator(Device dev) {
  ensure_overrides();
  if (dev != DEV_MOUSEX && dev != DEV_MOUSEY) return 0;
  int k = dev - DEV_MOUSEX;
  if (input.valuator_override_set[k]) return input.valuator_override[k];
  Display *dpy = gl_open_display();
  if (!dpy) return 0;
  Window root, child;
  int rx = 0, ry = 0, wx, wy;
  unsigned int state;
  XQueryPointer(dpy, RootWindow(dpy, gl_conn.screen), &root, &child, &rx, &ry, &wx, &wy, &state);
  // Screen pixels with the origin at the lower-left corner, y upwards.
  return k == 0 ? rx : DisplayHeight(dpy, gl_conn.screen) - ry;
}

// ---------------------------------------------------------------------------
// Queue
// ---------------------------------------------------------------------------
static void queue_append(Device dev, short value) {
  if (input.queue_count >= GL_QUEUE_SIZE) return;  // full: the newest entry is lost
  int tail = (input.queue_head + input.queue_count) % GL_QUEUE_SIZE;
  input.queue_dev[tail] = dev;
  input.queue_val[tail] = value;
  input.queue_count++;
}

static Device queue_last_device() {
  if (input.queue_count == 0) return 0;
  return input.queue_dev[(input.queue_head + input.queue_count - 1) % GL_QUEUE_SIZE];
}

int gl_queue_event(Device dev, short value) {
  if (dev >= GL_DEVICE_LIMIT || !input.enabled[dev]) return 0;
  // A burst of exposures and resizes asks for one redraw, not many.
  if (dev == DEV_REDRAW && queue_last_device() == DEV_REDRAW) return 1;
  queue_append(dev, value);
  return 1;
}

void gl_queue_remove(Device dev, short value) {
  int kept = 0;
  for (int i = 0; i < input.queue_count; i++) {
    int from = (input.queue_head + i) % GL_QUEUE_SIZE;
    if (input.queue_dev[from] == dev && input.queue_val[from] == value) continue;
    int to = (input.queue_head + kept) % GL_QUEUE_SIZE;
    input.queue_dev[to] = input.queue_dev[from];
    input.queue_val[to] = input.queue_val[from];
    kept++;
  }
  input.queue_count = kept;
}

void gl_enable_device(Device dev, int on) {
  if (dev < GL_DEVICE_LIMIT) input.enabled[dev] = on ? 1 : 0;
}

void qdevice(Device dev) { gl_enable_device(dev, 1); }

long qtest() {
  gl_pump_events();
  return input.queue_count ? input.queue_dev[input.queue_head] : 0;
}

// Waits for the next X event and handles it; 0 when there is nothing to wait
// for (no window, so no event could ever arrive).
static int wait_for_event() {
  if (!gl_conn.dpy || !gl_win.win) return 0;
  XEvent ev;
  XNextEvent(gl_conn.dpy, &ev);
  gl_dispatch_event(&ev);
  return 1;
}

long qread(short *val) {
  gl_pump_events();
  while (input.queue_count == 0)
    if (!wait_for_event()) {
      if (val) *val = 0;
      return 0;
    }
  Device dev = input.queue_dev[input.queue_head];
  if (val) *val = input.queue_val[input.queue_head];
  input.queue_head = (input.queue_head + 1) % GL_QUEUE_SIZE;
  input.queue_count--;
  return dev;
}

// ---------------------------------------------------------------------------
// Window-system events -> queue entries
// ---------------------------------------------------------------------------
// More presses than this between two polls count as this many.
static const unsigned char kMaxPendingPresses = 8;

// Without detectable autorepeat the server repeats a held key as a release
// and a press with the same time stamp; such a release is dropped together
// with its press, so a held key never looks like repeated presses.  The
// press can reach the connection a little after its release (about one
// held key in ten under Xvfb read them apart), so a release that ends what
// has arrived waits up to kRepeatWaitMs for more before it counts.
static const int kRepeatWaitMs = 5;

static int is_autorepeat_release(XKeyEvent *e) {
  if (XEventsQueued(e->display, QueuedAfterReading) == 0) {
    struct pollfd p = {ConnectionNumber(e->display), POLLIN, 0};
    if (poll(&p, 1, kRepeatWaitMs) <= 0 || XEventsQueued(e->display, QueuedAfterReading) == 0)
      return 0;
  }
  XEvent next;
  XPeekEvent(e->display, &next);
  if (next.type != KeyPress || next.xkey.keycode != e->keycode || next.xkey.time != e->time)
    return 0;
  XNextEvent(e->display, &next);
  return 1;
}

static void on_key(XKeyEvent *e, int down) {
  if (!down && is_autorepeat_release(e)) return;
  Device dev = keycode_device(e->display, e->keycode);
  if (!dev) return;
  if (down && input.pressed_elsewhere[dev]) return;  // its autorepeat
  input.pressed_elsewhere[dev] = 0;
  if (down && input.key_down[dev]) return;  // a repeat of a held key
  if (!down && !input.key_down[dev]) return;  // the release of a press made elsewhere
  input.key_down[dev] = (unsigned char)down;
  if (down) {
    input.key_seen[dev] = 1;
    if (input.presses[dev] < kMaxPendingPresses) input.presses[dev]++;
  }
  gl_queue_event(dev, (short)down);
}

static void on_button(const XButtonEvent *e, int down) {
  Device dev = gl_pointer_button_device(e->button);
  if (dev) gl_queue_event(dev, (short)down);
}

static void on_crossing(const XCrossingEvent *e, int entered) {
  if (e->mode != NotifyNormal || e->detail == NotifyInferior) return;
  gl_queue_event(DEV_INPUTCHANGE, entered ? GL_WINDOW_ID : 0);
}

// With the focus (and on entering) the server reports the keys already down:
// they were pressed elsewhere, and their autorepeat is not a press here.
static void on_keymap(XKeymapEvent *e) {
  for (int code = 0; code < GL_KEYCODE_LIMIT; code++) {
    if (!(e->key_vector[code >> 3] & (1 << (code & 7)))) continue;
    Device dev = keycode_device(e->display, (unsigned int)code);
    if (dev && !input.key_down[dev]) input.pressed_elsewhere[dev] = 1;
  }
}

static void on_mapping(XMappingEvent *e) {
  XRefreshKeyboardMapping(e);
  input.keymap_loaded = 0;
}

void gl_dispatch_event(XEvent *ev) {
  switch (ev->type) {
    case KeyPress:        on_key(&ev->xkey, 1); break;
    case KeyRelease:      on_key(&ev->xkey, 0); break;
    case ButtonPress:     on_button(&ev->xbutton, 1); break;
    case ButtonRelease:   on_button(&ev->xbutton, 0); break;
    case EnterNotify:     on_crossing(&ev->xcrossing, 1); break;
    case LeaveNotify:     on_crossing(&ev->xcrossing, 0); break;
    case FocusOut:        gl_release_keys(); break;  // its keys now go elsewhere
    case KeymapNotify:    on_keymap(&ev->xkeymap); break;
    case Expose:          gl_window_on_expose(&ev->xexpose); break;
    case ConfigureNotify: gl_window_on_configure(&ev->xconfigure); break;
    case MappingNotify:   on_mapping(&ev->xmapping); break;
    default: break;
  }
}

void gl_pump_events() {
  Display *dpy = gl_conn.dpy;
  if (!dpy) return;
  while (XPending(dpy)) {
    XEvent ev;
    XNextEvent(dpy, &ev);
    gl_dispatch_event(&ev);
  }
}

// ---------------------------------------------------------------------------
// Test hooks
// ---------------------------------------------------------------------------
// Forcing a button down that was not forced down counts as one press.
void gl_test_set_button(Device dev, int state) {
  ensure_overrides();
  if (dev == 0 || dev >= GL_BUTTON_LIMIT) return;
  if (state && input.button_override[dev] != 1 && input.presses[dev] < kMaxPendingPresses)
    input.presses[dev]++;
  input.button_override[dev] = state ? 1 : 0;
}

void gl_test_set_valuator(Device dev, long value) {
  ensure_overrides();
  if (dev != DEV_MOUSEX && dev != DEV_MOUSEY) return;
  input.valuator_override_set[dev - DEV_MOUSEX] = 1;
  input.valuator_override[dev - DEV_MOUSEX] = value;
}

void gl_test_queue(Device dev, short value) { queue_append(dev, value); }

void gl_test_reset() {
  clear_overrides();
  input.queue_head = input.queue_count = 0;
  memset(input.enabled, 0, sizeof input.enabled);
  forget_keys();
  if (gl_win.win) {
    gl_enable_device(DEV_REDRAW, 1);
    gl_enable_device(DEV_INPUTCHANGE, 1);
  }
}
