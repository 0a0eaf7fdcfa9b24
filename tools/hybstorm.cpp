// hybstorm.cpp -- the input storm: starts the program with a window on the
// X server named by DISPLAY (a private Xvfb, see tools/storm), answers the
// theta prompt, and for a given time sends random input through XTest: keys
// of every binding (alone and in chords, held for random numbers of frames),
// drags with each mouse button (with the X, Y, Z and space modifiers), popup
// menu choices (right button press, moves over the items and cascades,
// release) and window resizes.  Then it releases everything and sends
// Escape.  The program must stay alive the whole time and exit with status
// 0 within a few seconds of the Escape.
//
// What the program shows is checked for non-finite numbers in three places:
// the panel text (the program is run as hybfit-panel, which logs every text
// line it draws, see tools/panel-log/panel_log.cpp), the model reports it
// writes when L is held (the driver keeps model report names waiting on its
// standard input), and its standard output and error streams.
//
// Usage: hybstorm [-t seconds] [-s seed] [-d dir] -- program [args...]
// Prints what it sent and what it found; exit status 0 when all is well.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

const char window_title[] = "Deformable Model Fitting";
const double frame_seconds = 1.0 / 60.0;   // the program's default frame pacing
const double window_wait_seconds = 60.0;   // start-up, sanitizer build included
const double exit_wait_seconds = 10.0;     // after the first Escape
const int max_hold_frames = 40;
const int max_lean_frames = 600;
const int menu_rows_level0 = 6;            // title and five items; Quit is the last

// ---------------------------------------------------------------------------
// Settings, counters and the program under test
// ---------------------------------------------------------------------------

struct options {
  double seconds = 30.0;
  unsigned seed = 0;
  std::string dir;
  std::vector<char *> command;
};

struct counters {
  long key_presses = 0, chords = 0, drags[4] = {0, 0, 0, 0}, motions = 0;
  long menus = 0, menu_misses = 0, menu_choices = 0, resizes = 0, idles = 0, x_errors = 0;
};

struct program {
  pid_t pid = -1;
  int stdin_fd = -1;
  int exited = 0, status = 0;  // status as from waitpid
  long names_fed = 0;
};

Display *dpy = nullptr;
counters count;
std::mt19937 rng;

int x_error(Display *, XErrorEvent *) {
  count.x_errors++;  // a window may vanish or resize between two requests
  return 0;
}

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

void sleep_seconds(double s) {
  timespec ts;
  ts.tv_sec = (time_t)s;
  ts.tv_nsec = (long)((s - (double)ts.tv_sec) * 1e9);
  while (nanosleep(&ts, &ts) == -1) {}
}

void sleep_frames(int n) { sleep_seconds(n * frame_seconds); }

int uniform(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }

// ---------------------------------------------------------------------------
// Starting and watching the program
// ---------------------------------------------------------------------------

void start_program(const options &o, program *p) {
  int in[2];
  if (pipe(in) != 0) { perror("hybstorm: pipe"); exit(1); }
  p->pid = fork();
  if (p->pid < 0) { perror("hybstorm: fork"); exit(1); }
  if (p->pid == 0) {
    dup2(in[0], 0);
    close(in[0]);
    close(in[1]);
    std::string out = o.dir + "/stdout", err = o.dir + "/stderr";
    if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
    setenv("HYBFIT_PANEL_LOG", (o.dir + "/panel").c_str(), 1);
    execv(o.command[0], o.command.data());
    perror("hybstorm: exec");
    _exit(127);
  }
  close(in[0]);
  p->stdin_fd = in[1];
  fcntl(p->stdin_fd, F_SETFL, O_NONBLOCK);
  signal(SIGPIPE, SIG_IGN);
}

// Writes the theta answer: a random angle in degrees.
void answer_theta(program *p) {
  char line[64];
  int n = snprintf(line, sizeof line, "%d\n", uniform(-180, 180));
  if (write(p->stdin_fd, line, (size_t)n) != n) perror("hybstorm: theta");
}

// Keeps model report names waiting on the program's standard input, for
// the passes in which L is held.
void feed_report_names(const options &o, program *p) {
  for (int k = 0; k < 64; k++) {
    char line[512];
    int n = snprintf(line, sizeof line, "%s/report-%06ld\n", o.dir.c_str(), p->names_fed);
    if (write(p->stdin_fd, line, (size_t)n) != n) return;  // the pipe is full
    p->names_fed++;
  }
}

bool program_alive(program *p) {
  if (p->exited) return false;
  if (waitpid(p->pid, &p->status, WNOHANG) == p->pid) p->exited = 1;
  return !p->exited;
}

// ---------------------------------------------------------------------------
// Windows
// ---------------------------------------------------------------------------

struct rect {
  int x, y, w, h;  // root coordinates
};

bool viewable(Window w, XWindowAttributes *a) {
  return XGetWindowAttributes(dpy, w, a) && a->map_state == IsViewable;
}

bool has_title(Window w, const char *title) {
  char *name = nullptr;
  bool same = XFetchName(dpy, w, &name) && name && strcmp(name, title) == 0;
  if (name) XFree(name);
  return same;
}

// The viewable top-level windows: the program's window, and its menus.
void list_windows(Window *main_window, std::vector<Window> *menus) {
  Window root_return, parent, *children = nullptr;
  unsigned n = 0;
  *main_window = 0;
  menus->clear();
  if (!XQueryTree(dpy, DefaultRootWindow(dpy), &root_return, &parent, &children, &n)) return;
  for (unsigned i = 0; i < n; i++) {
    XWindowAttributes a;
    if (!viewable(children[i], &a)) continue;
    if (has_title(children[i], window_title)) *main_window = children[i];
    else if (a.override_redirect) menus->push_back(children[i]);
  }
  if (children) XFree(children);
}

rect window_rect(Window w) {
  XWindowAttributes a;
  rect r = {0, 0, 0, 0};
  if (!XGetWindowAttributes(dpy, w, &a)) return r;
  Window child;
  XTranslateCoordinates(dpy, w, DefaultRootWindow(dpy), 0, 0, &r.x, &r.y, &child);
  r.w = a.width;
  r.h = a.height;
  return r;
}

Window wait_for_window(program *p) {
  double give_up = now_seconds() + window_wait_seconds;
  std::vector<Window> menus;
  while (now_seconds() < give_up && program_alive(p)) {
    Window w;
    list_windows(&w, &menus);
    if (w) return w;
    sleep_seconds(0.1);
  }
  return 0;
}

// The program reads keys only from its own window: it gets the input focus
// (a menu's keyboard grab takes it for a while, and gives it back).
void focus_program_window() {
  Window w;
  std::vector<Window> menus;
  list_windows(&w, &menus);
  if (w) XSetInputFocus(dpy, w, RevertToPointerRoot, CurrentTime);
  XSync(dpy, False);
}

// ---------------------------------------------------------------------------
// Input through XTest
// ---------------------------------------------------------------------------

// The keys the program reads (the device table of gl/gl.h), Escape apart:
// it ends the program and is sent only at the end.
const KeySym storm_keys[] = {
    XK_0, XK_1, XK_2, XK_3, XK_4, XK_5, XK_6, XK_7, XK_8,
    XK_a, XK_b, XK_c, XK_d, XK_e, XK_f, XK_g, XK_i, XK_j, XK_l, XK_n, XK_o, XK_p,
    XK_r, XK_s, XK_t, XK_u, XK_v, XK_x, XK_y, XK_z,
    XK_Left, XK_Down, XK_Right, XK_Up, XK_space,
    XK_F1, XK_F2, XK_F3, XK_F4, XK_F5, XK_F6, XK_F7, XK_F8, XK_F9, XK_F10, XK_F11, XK_F12};
const int n_storm_keys = sizeof storm_keys / sizeof storm_keys[0];

const KeySym camera_keys[] = {XK_b, XK_v, XK_e};
const KeySym arrow_keys[] = {XK_Left, XK_Right, XK_Up, XK_Down};

void send_key(KeySym sym, bool down) {
  KeyCode code = XKeysymToKeycode(dpy, sym);
  if (!code) return;
  XTestFakeKeyEvent(dpy, code, down, CurrentTime);
  if (down) count.key_presses++;
}

void send_button(unsigned button, bool down) {
  XTestFakeButtonEvent(dpy, button, down, CurrentTime);
}

void move_pointer(int x, int y) {
  XTestFakeMotionEvent(dpy, DefaultScreen(dpy), x, y, CurrentTime);
  count.motions++;
}

// A random point inside r (r has at least one pixel).
void point_in(const rect &r, int *x, int *y) {
  *x = r.x + uniform(0, r.w > 0 ? r.w - 1 : 0);
  *y = r.y + uniform(0, r.h > 0 ? r.h - 1 : 0);
}

// Mostly short presses, now and then a long hold, and rarely a key leaned
// on for seconds (a step size that multiplies every frame runs away then).
int hold_frames() {
  if (chance(0.7)) return uniform(1, 8);
  return chance(0.9) ? uniform(9, max_hold_frames) : uniform(max_hold_frames, max_lean_frames);
}

// One key, or a chord of two or three (often a camera key with arrows),
// held for a random number of frames.
void storm_keys_once() {
  std::vector<KeySym> chord;
  if (chance(0.25)) {
    chord.push_back(camera_keys[uniform(0, 2)]);
    int arrows = uniform(1, 2);
    for (int k = 0; k < arrows; k++) chord.push_back(arrow_keys[uniform(0, 3)]);
  } else {
    int n = chance(0.2) ? uniform(2, 3) : 1;
    for (int k = 0; k < n; k++) chord.push_back(storm_keys[uniform(0, n_storm_keys - 1)]);
  }
  if (chord.size() > 1) count.chords++;
  for (KeySym s : chord) send_key(s, true);
  XFlush(dpy);
  sleep_frames(hold_frames());
  for (KeySym s : chord) send_key(s, false);
  XFlush(dpy);
}

// A drag with button 1 (left) or 2 (middle): press inside the window, move
// in steps, release; sometimes with modifier keys held throughout.
void storm_drag(Window main_window) {
  rect r = window_rect(main_window);
  if (r.w < 1 || r.h < 1) return;
  unsigned button = (unsigned)uniform(1, 2);
  std::vector<KeySym> mods;
  if (button == 1 && chance(0.4)) {
    static const KeySym axes[] = {XK_x, XK_y, XK_z};
    int n = uniform(1, 3);
    for (int k = 0; k < n; k++) mods.push_back(axes[uniform(0, 2)]);
  }
  if (button == 2 && chance(0.4)) mods.push_back(XK_space);
  int x, y;
  point_in(r, &x, &y);
  move_pointer(x, y);
  for (KeySym s : mods) send_key(s, true);
  send_button(button, true);
  XFlush(dpy);
  int steps = uniform(3, 30);
  for (int k = 0; k < steps; k++) {
    sleep_frames(uniform(0, 3));
    // Mostly small moves, now and then a jump across the screen.
    int span = chance(0.1) ? 600 : 40;
    x = std::max(0, std::min(DisplayWidth(dpy, DefaultScreen(dpy)) - 1, x + uniform(-span, span)));
    y = std::max(0, std::min(DisplayHeight(dpy, DefaultScreen(dpy)) - 1, y + uniform(-span, span)));
    move_pointer(x, y);
    XFlush(dpy);
  }
  sleep_frames(uniform(0, 5));
  send_button(button, false);
  for (KeySym s : mods) send_key(s, false);
  XFlush(dpy);
  count.drags[button]++;
}

// Waits up to a few frames for the menu windows to change from what they were.
std::vector<Window> wait_for_menus(size_t at_least, int frames) {
  std::vector<Window> menus;
  Window w;
  for (int k = 0; k <= frames; k++) {
    XSync(dpy, False);
    list_windows(&w, &menus);
    if (menus.size() >= at_least) break;
    sleep_frames(1);
  }
  return menus;
}

// A point on row `row` of a menu window of `rows` rows.
void menu_row_point(const rect &m, int rows, int row, int *x, int *y) {
  *x = m.x + m.w / 2 + uniform(-m.w / 4, m.w / 4);
  *y = m.y + (2 * row + 1) * m.h / (2 * rows);
}

bool inside(const rect &r, int x, int y) {
  return x >= r.x && x < r.x + r.w && y >= r.y && y < r.y + r.h;
}

// A screen corner outside every menu window.
void point_outside_menus(const std::vector<Window> &menus, int *x, int *y) {
  int sw = DisplayWidth(dpy, DefaultScreen(dpy)), sh = DisplayHeight(dpy, DefaultScreen(dpy));
  const int corners[4][2] = {{sw - 1, sh - 1}, {0, sh - 1}, {sw - 1, 0}, {0, 0}};
  for (const auto &c : corners) {
    bool clear = true;
    for (Window m : menus) clear = clear && !inside(window_rect(m), c[0], c[1]);
    *x = c[0];
    *y = c[1];
    if (clear) return;
  }
}

// Leaves no menu up: a click away from every menu chooses nothing.
void dismiss_menus() {
  std::vector<Window> menus = wait_for_menus(0, 0);
  for (int tries = 0; tries < 5 && !menus.empty(); tries++) {
    int x, y;
    point_outside_menus(menus, &x, &y);
    move_pointer(x, y);
    send_button(1, true);
    send_button(1, false);
    XFlush(dpy);
    sleep_frames(3);
    menus = wait_for_menus(0, 0);
  }
}

// Right button pressed in the window; the pointer visits rows of the main
// menu and of a cascade; the release lands on a submenu item, on a harmless
// row of the main menu (title, a cascade row, Reset Viewpoint) or outside.
// The main menu's last row, Quit, is never chosen.
void storm_menu(Window main_window) {
  rect r = window_rect(main_window);
  if (r.w < 1 || r.h < 1) return;
  int x, y;
  point_in(r, &x, &y);
  move_pointer(x, y);
  send_button(3, true);
  XFlush(dpy);
  std::vector<Window> menus = wait_for_menus(1, 120);
  if (menus.empty()) {
    send_button(3, false);
    XFlush(dpy);
    count.menu_misses++;
    return;
  }
  count.menus++;
  rect top = window_rect(menus[0]);
  int visits = uniform(1, 5);
  for (int k = 0; k < visits; k++) {
    menu_row_point(top, menu_rows_level0, uniform(0, menu_rows_level0 - 2), &x, &y);
    move_pointer(x, y);
    XFlush(dpy);
    sleep_frames(uniform(1, 4));
  }
  // Open a cascade (rows 1 to 3) and go into it.
  menu_row_point(top, menu_rows_level0, uniform(1, 3), &x, &y);
  move_pointer(x, y);
  XFlush(dpy);
  menus = wait_for_menus(2, 10);
  int choice = uniform(0, 9);
  if (menus.size() >= 2 && choice < 7) {
    rect sub = window_rect(menus.back());
    move_pointer(sub.x + sub.w / 2, y);
    XFlush(dpy);
    sleep_frames(2);
    // Submenus have a title and 2 to 11 items: any row but the title.
    int rows = std::max(2, sub.h / std::max(1, top.h / menu_rows_level0));
    menu_row_point(sub, rows, uniform(1, rows - 1), &x, &y);
    move_pointer(x, y);
    count.menu_choices++;
  } else if (choice < 9) {
    menu_row_point(top, menu_rows_level0, uniform(0, menu_rows_level0 - 2), &x, &y);
    move_pointer(x, y);
    count.menu_choices++;
  } else {
    point_outside_menus(menus, &x, &y);
    move_pointer(x, y);
  }
  XFlush(dpy);
  sleep_frames(2);
  send_button(3, false);
  XFlush(dpy);
  sleep_frames(3);
  dismiss_menus();
}

// A new size (sometimes tiny, sometimes most of the screen) and place.
void storm_resize(Window main_window) {
  int sw = DisplayWidth(dpy, DefaultScreen(dpy)), sh = DisplayHeight(dpy, DefaultScreen(dpy));
  int w = chance(0.2) ? uniform(1, 16) : uniform(17, sw - 10);
  int h = chance(0.2) ? uniform(1, 16) : uniform(17, sh - 10);
  XMoveResizeWindow(dpy, main_window, uniform(0, sw - w), uniform(0, sh - h), (unsigned)w,
                    (unsigned)h);
  XFlush(dpy);
  count.resizes++;
  sleep_frames(uniform(1, 10));
}

void release_everything() {
  for (KeySym s : storm_keys) send_key(s, false);
  for (unsigned b = 1; b <= 3; b++) send_button(b, false);
  XFlush(dpy);
}

// ---------------------------------------------------------------------------
// The end: a final report, Escape, and the checks
// ---------------------------------------------------------------------------

// Presses key sym for a few frames.
void tap(KeySym sym, int frames) {
  send_key(sym, true);
  XFlush(dpy);
  sleep_frames(frames);
  send_key(sym, false);
  XFlush(dpy);
}

// Sends Escape until the program ends or the time is up; seconds waited,
// or -1 when it did not end.
double end_with_escape(program *p) {
  double start = now_seconds(), next_escape = start;
  while (now_seconds() - start < exit_wait_seconds) {
    if (!program_alive(p)) return now_seconds() - start;
    if (now_seconds() >= next_escape) {
      dismiss_menus();
      focus_program_window();
      tap(XK_Escape, 3);
      next_escape = now_seconds() + 2.0;
    }
    sleep_seconds(0.05);
  }
  return program_alive(p) ? -1.0 : now_seconds() - start;
}

// True when text holds a number printed as nan or inf (any sign or case).
bool has_nonfinite(const std::string &text) {
  std::string t;
  for (size_t i = 0; i <= text.size(); i++) {
    char c = i < text.size() ? (char)tolower((unsigned char)text[i]) : ' ';
    if (isalpha((unsigned char)c)) {
      t += c;
      continue;
    }
    if (t == "nan" || t == "inf" || t == "infinity") return true;
    t.clear();
  }
  return false;
}

std::string read_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Counts the lines of a file that hold a non-finite number; prints the first.
long nonfinite_lines(const std::string &path, const char *what) {
  std::ifstream in(path);
  std::string line;
  long bad = 0;
  while (std::getline(in, line))
    if (has_nonfinite(line) && bad++ == 0)
      printf("  non-finite number in %s: %s\n", what, line.c_str());
  return bad;
}

long count_matches(const std::string &path, const char *needle) {
  std::ifstream in(path);
  std::string line;
  long n = 0;
  while (std::getline(in, line))
    if (line.find(needle) != std::string::npos) n++;
  return n;
}

// The panel summary written by hybfit-panel at exit: "key value" lines.
long panel_value(const std::string &summary, const char *key) {
  size_t at = summary.find(std::string(key) + " ");
  return at == std::string::npos ? -1 : atol(summary.c_str() + at + strlen(key) + 1);
}

struct findings {
  int failures = 0;
  void fail(const char *what) {
    printf("  FAILED: %s\n", what);
    failures++;
  }
};

void check_reports(const options &o, findings *f, long *n_reports) {
  *n_reports = 0;
  long bad = 0;
  if (DIR *d = opendir(o.dir.c_str())) {
    while (dirent *e = readdir(d))
      if (strncmp(e->d_name, "report-", 7) == 0) {
        (*n_reports)++;
        bad += nonfinite_lines(o.dir + "/" + e->d_name, e->d_name);
      }
    closedir(d);
  }
  if (bad) f->fail("a model report holds a non-finite number");
}

void check_streams(const options &o, findings *f) {
  std::string out = o.dir + "/stdout", err = o.dir + "/stderr";
  if (nonfinite_lines(out, "standard output")) f->fail("standard output holds a non-finite number");
  if (nonfinite_lines(err, "standard error")) f->fail("standard error holds a non-finite number");
  long reports = count_matches(err, "ERROR: AddressSanitizer") + count_matches(err, "runtime error:") +
                 count_matches(err, "ERROR: LeakSanitizer");
  if (reports) f->fail("sanitizer report on standard error");
}

void check_panel(const options &o, findings *f, long *frames, long *lines) {
  std::string summary = read_text(o.dir + "/panel");
  *frames = panel_value(summary, "frames");
  *lines = panel_value(summary, "text_lines");
  long bad = panel_value(summary, "nonfinite_lines");
  if (*frames < 0) return f->fail("no panel summary (was the program hybfit-panel, and did it exit?)");
  if (bad != 0) {
    printf("%s", summary.c_str());
    f->fail("the panel showed a non-finite number");
  }
  if (*lines <= 0) f->fail("the panel drew no text");
}

void describe_exit(const program &p, double waited, findings *f) {
  if (waited < 0) return f->fail("the program did not end after Escape (hang)");
  if (WIFSIGNALED(p.status)) {
    printf("  program killed by signal %d\n", WTERMSIG(p.status));
    return f->fail("the program crashed");
  }
  if (WEXITSTATUS(p.status) != 0) {
    printf("  program exit status %d\n", WEXITSTATUS(p.status));
    f->fail("the program did not exit with status 0");
  }
}

// ---------------------------------------------------------------------------
// Driver
// ---------------------------------------------------------------------------

void parse_options(int argc, char **argv, options *o) {
  int c;
  o->seed = (unsigned)time(nullptr) ^ (unsigned)getpid();
  while ((c = getopt(argc, argv, "+t:s:d:")) != -1) {
    if (c == 't') o->seconds = atof(optarg);
    else if (c == 's') o->seed = (unsigned)strtoul(optarg, nullptr, 10);
    else if (c == 'd') o->dir = optarg;
    else {
      fprintf(stderr, "usage: hybstorm [-t seconds] [-s seed] [-d dir] -- program [args...]\n");
      exit(2);
    }
  }
  for (int i = optind; i < argc; i++) o->command.push_back(argv[i]);
  if (o->command.empty()) {
    fprintf(stderr, "hybstorm: no program to run\n");
    exit(2);
  }
  o->command.push_back(nullptr);
  if (o->dir.empty()) {
    char tmpl[] = "/tmp/hybstorm-XXXXXX";
    if (!mkdtemp(tmpl)) { perror("hybstorm: mkdtemp"); exit(2); }
    o->dir = tmpl;
  }
}

void open_display() {
  dpy = XOpenDisplay(nullptr);
  int ev, err, major, minor;
  if (!dpy || !XTestQueryExtension(dpy, &ev, &err, &major, &minor)) {
    fprintf(stderr, "hybstorm: needs an X display with the XTEST extension\n");
    exit(2);
  }
  XSetErrorHandler(x_error);
}

// The storm itself; returns false when the program died during it.
bool run_storm(const options &o, program *p, Window main_window) {
  double end = now_seconds() + o.seconds, next_check = 0;
  while (now_seconds() < end) {
    if (now_seconds() >= next_check) {
      if (!program_alive(p)) return false;
      feed_report_names(o, p);
      Window w;
      std::vector<Window> menus;
      list_windows(&w, &menus);
      if (w) main_window = w;
      focus_program_window();
      next_check = now_seconds() + 0.5;
    }
    dismiss_menus();  // one that opened late would take the next input
    int action = uniform(0, 99);
    if (action < 50) storm_keys_once();
    else if (action < 78) storm_drag(main_window);
    else if (action < 88) storm_menu(main_window);
    else if (action < 96) storm_resize(main_window);
    else { sleep_frames(uniform(1, 20)); count.idles++; }
  }
  return program_alive(p);
}

}  // namespace

int main(int argc, char **argv) {
  options o;
  parse_options(argc, argv, &o);
  rng.seed(o.seed);
  open_display();
  printf("storm: seed %u, %.0f s, program %s, files in %s\n", o.seed, o.seconds, o.command[0],
         o.dir.c_str());
  fflush(stdout);
  program p;
  start_program(o, &p);
  answer_theta(&p);
  feed_report_names(o, &p);
  findings f;
  Window main_window = wait_for_window(&p);
  double waited = -1;
  if (!main_window) {
    f.fail(program_alive(&p) ? "no window appeared" : "the program ended before its window appeared");
    if (program_alive(&p)) kill(p.pid, SIGKILL);
    waitpid(p.pid, &p.status, 0);
  } else if (!run_storm(o, &p, main_window)) {
    describe_exit(p, 0, &f);
    if (!f.failures) f.fail("the program ended during the storm");
  } else {
    release_everything();
    dismiss_menus();
    sleep_frames(5);
    feed_report_names(o, &p);
    tap(XK_l, 3);  // one last model report
    sleep_frames(5);
    waited = end_with_escape(&p);
    if (waited < 0) {
      kill(p.pid, SIGKILL);
      waitpid(p.pid, &p.status, 0);
    }
    describe_exit(p, waited, &f);
  }
  close(p.stdin_fd);
  long frames = -1, lines = -1, reports = 0;
  check_panel(o, &f, &frames, &lines);
  check_reports(o, &f, &reports);
  check_streams(o, &f);
  printf("storm: %ld key presses (%ld chords), drags %ld left %ld middle, %ld pointer moves, "
         "%ld menus (%ld choices, %ld presses without a menu), %ld resizes, %ld pauses; %ld frames, %ld panel lines, "
         "%ld model reports checked; X errors %ld\n",
         count.key_presses, count.chords, count.drags[1], count.drags[2], count.motions,
         count.menus, count.menu_choices, count.menu_misses, count.resizes, count.idles, frames, lines, reports,
         count.x_errors);
  if (waited >= 0) printf("storm: the program exited %.1f s after Escape\n", waited);
  printf("storm: %s\n", f.failures ? "FAILED" : "passed");
  XCloseDisplay(dpy);
  return f.failures ? 1 : 0;
}
