// The interactive program as a user meets it: build/hybfit runs in its own
// process on the private X server, and the test drives it with real keys,
// buttons and pointer motion through XTest and reads its window's pixels.
#include "xtest_gl_util.h"  // first: its gtest include must precede the X headers
#include <X11/XKBlib.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

using xtestutil::Injector;
using xtestutil::now_seconds;
using xtestutil::sleep_seconds;

const char kSample[] = "cylinder5.dump";
const double kStartTimeoutSeconds = 30.0;  // start-up includes reading the files
const double kExitTimeoutSeconds = 10.0;

// The program in its own process, with its output collected in files.
struct Program {
  pid_t pid = -1;
  int stdin_fd = -1;
  testutil::ScratchDir dir;
  int status = -1;

  void start(const std::vector<std::string> &args) {
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    std::string out = dir.file("out"), err = dir.file("err");
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dup2(in[0], 0);
      close(in[1]);
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(o, 1);
      dup2(e, 2);
      if (chdir(HYBFIT_SOURCE_DIR "/samples") != 0) _exit(126);
      std::vector<char *> argv = {(char *)HYBFIT_PATH};
      for (const std::string &a : args) argv.push_back((char *)a.c_str());
      argv.push_back(nullptr);
      execv(HYBFIT_PATH, argv.data());
      _exit(127);
    }
    close(in[0]);
    stdin_fd = in[1];
    ASSERT_EQ(write(stdin_fd, "0\n", 2), 2);  // the answer to "Enter theta = "
  }
  // Waits for the process to end (looks at least once); false on timeout.
  bool wait_exit(double timeout) {
    double end = now_seconds() + timeout;
    for (;;) {
      int st;
      if (waitpid(pid, &st, WNOHANG) == pid) {
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        pid = -1;
        return true;
      }
      if (now_seconds() >= end) return false;
      sleep_seconds(0.01);
    }
  }
  std::string out() { return testutil::read_file(dir.file("out")); }
  std::string err() { return testutil::read_file(dir.file("err")); }
  ~Program() {
    if (stdin_fd >= 0) close(stdin_fd);
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

int ignore_x_error(Display *, XErrorEvent *) { return 0; }

// Top-level windows of the server that are mapped, optionally only the
// override-redirect ones (popup menus).  A menu may close while the windows
// are being looked at: its error is ignored (see SetUp) and it is skipped.
std::vector<Window> mapped_windows(Display *dpy, bool popups_only) {
  std::vector<Window> found;
  Window root, parent, *children = nullptr;
  unsigned int n = 0;
  if (!XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &n)) return found;
  for (unsigned int i = 0; i < n; i++) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(dpy, children[i], &a) || a.map_state != IsViewable) continue;
    if (popups_only && !a.override_redirect) continue;
    found.push_back(children[i]);
  }
  if (children) XFree(children);
  return found;
}

Window find_program_window(Display *dpy, double timeout) {
  double end = now_seconds() + timeout;
  while (now_seconds() < end) {
    for (Window w : mapped_windows(dpy, false)) {
      char *name = nullptr;
      bool match = XFetchName(dpy, w, &name) && name &&
                   strcmp(name, "Deformable Model Fitting") == 0;
      if (name) XFree(name);
      if (match) return w;
    }
    sleep_seconds(0.02);
  }
  return 0;
}

// Waits until the number of mapped popups reaches count; returns the newest.
Window wait_for_popups(Display *dpy, size_t count, double timeout = 10.0) {
  double end = now_seconds() + timeout;
  while (now_seconds() < end) {
    std::vector<Window> popups = mapped_windows(dpy, true);
    if (popups.size() >= count) return popups.back();  // stacking order: newest on top
    sleep_seconds(0.01);
  }
  return 0;
}

struct Geometry {
  int x, y, w, h;  // root coordinates, origin top-left
};

Geometry geometry_of(Display *dpy, Window w) {
  XWindowAttributes a;
  XGetWindowAttributes(dpy, w, &a);
  int x, y;
  Window child;
  XTranslateCoordinates(dpy, w, DefaultRootWindow(dpy), 0, 0, &x, &y, &child);
  return {x, y, a.width, a.height};
}

// The pixels of the window's top-left width x height rectangle.
std::vector<unsigned long> window_pixels(Display *dpy, Window w, int width, int height) {
  std::vector<unsigned long> px;
  XImage *img = XGetImage(dpy, w, 0, 0, width, height, AllPlanes, ZPixmap);
  if (!img) return px;
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) px.push_back(XGetPixel(img, x, y));
  XDestroyImage(img);
  return px;
}

// The yellowish pixels of the panel's text area (top left of the window):
// 31 lines of 13 pixels, the names and first values within 125 pixels of the
// left edge (the scene, centred, stays to the right of it).
std::vector<bool> panel_text(Display *dpy, Window w) {
  std::vector<bool> yellow;
  for (unsigned long p : window_pixels(dpy, w, 125, 13 * 31))
    yellow.push_back(((p >> 16) & 255) > 128 && ((p >> 8) & 255) > 128 && (p & 255) < 64);
  return yellow;
}

long count_set(const std::vector<bool> &px) { return std::count(px.begin(), px.end(), true); }

// Waits until pred() holds or the timeout passes.
template <class Pred>
bool wait_for(Pred pred, double timeout = kExitTimeoutSeconds) {
  double end = now_seconds() + timeout;
  while (now_seconds() < end) {
    if (pred()) return true;
    sleep_seconds(0.005);
  }
  return pred();
}

// Values printed as "<name> = <value>" lines.
std::vector<double> printed_values(const std::string &text, const std::string &name) {
  std::vector<double> values;
  std::string key = name + " = ";
  for (size_t pos = text.find(key); pos != std::string::npos; pos = text.find(key, pos + 1))
    if (pos == 0 || text[pos - 1] == '\n') values.push_back(atof(text.c_str() + pos + key.size()));
  return values;
}

const long kPanelShown = 500;   // yellowish pixels of the 31 text lines, at least
const long kPanelHidden = 100;  // at most: a stray yellow line of the scene

class InteractiveProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(inject.dpy, nullptr);
    XSetErrorHandler(ignore_x_error);
    program.start(arguments());
    window = find_program_window(inject.dpy, kStartTimeoutSeconds);
    ASSERT_NE(window, 0u) << "no window; stderr:\n" << program.err();
    focus(window);
    ASSERT_TRUE(wait_for([&] { return panel() >= kPanelShown; }, kStartTimeoutSeconds))
        << "no panel drawn";
  }
  virtual std::vector<std::string> arguments() { return {kSample}; }
  void focus(Window w) {
    XSetInputFocus(inject.dpy, w, RevertToPointerRoot, CurrentTime);
    XSync(inject.dpy, False);
  }
  long panel() { return count_set(panel_text(inject.dpy, window)); }
  void tap(KeySym key, double hold = 0.03) {
    inject.key(key, true);
    sleep_seconds(hold);  // the length of the press is what is tested
    inject.key(key, false);
  }
  // Lets n more frames pass: I, held, widens the view and prints a line on
  // every frame.
  void wait_frames(int n) {
    size_t before = printed_values(program.err(), "zoom").size();
    inject.key(XK_i, true);
    bool passed =
        wait_for([&] { return printed_values(program.err(), "zoom").size() >= before + n; });
    inject.key(XK_i, false);
    ASSERT_TRUE(passed) << "no frames drawn";
  }
  bool alive() { return program.pid > 0 && !program.wait_exit(0.0); }
  // Waits until the panel of a running fit has changed n times; false when
  // the program ended (or stopped drawing) first.
  bool survives_frames(int n) {
    for (int frame = 0; frame < n; frame++) {
      std::vector<bool> now = panel_text(inject.dpy, window);
      if (!wait_for([&] { return !alive() || panel_text(inject.dpy, window) != now; }))
        return false;
    }
    return alive();
  }
  // Pointer to window pixel (x, y), origin top-left of the window.
  void point_at(int x, int y) {
    Geometry g = geometry_of(inject.dpy, window);
    inject.move_to(g.x + x, g.y + y);
  }
  void quit_with_escape() {  // a short tap, 50 ms, is enough
    focus(window);
    tap(XK_Escape, 0.05);
    ASSERT_TRUE(program.wait_exit(kExitTimeoutSeconds)) << "the program did not end on Escape";
    EXPECT_EQ(program.status, 0) << program.err();
  }
  Injector inject;
  Program program;
  Window window = 0;
};

// The automatic schedule, so that a running fit moves without function keys.
class AutomaticProgram : public InteractiveProgram {
 protected:
  std::vector<std::string> arguments() override { return {"-a", kSample}; }
};

TEST_F(AutomaticProgram, StartsPausedAndOneTapOfTStartsTheFitForGood) {
  std::vector<bool> paused = panel_text(inject.dpy, window);
  wait_frames(3);
  EXPECT_EQ(paused, panel_text(inject.dpy, window)) << "the panel changed while paused";
  tap(XK_t);
  ASSERT_TRUE(wait_for([&] { return panel_text(inject.dpy, window) != paused; }))
      << "the panel never changed after T";
  std::vector<bool> running = panel_text(inject.dpy, window);
  EXPECT_TRUE(wait_for([&] { return panel_text(inject.dpy, window) != running; }))
      << "the fit stopped again after one tap of T";
  quit_with_escape();
}

TEST_F(InteractiveProgram, AThirtyMillisecondTapOfDTogglesThePanelExactlyOnce) {
  tap(XK_d);
  ASSERT_TRUE(wait_for([&] { return panel() <= kPanelHidden; })) << "D did not hide the panel";
  wait_frames(3);
  EXPECT_LE(panel(), kPanelHidden) << "the panel came back without a second press";
  tap(XK_d);
  EXPECT_TRUE(wait_for([&] { return panel() >= kPanelShown; }));
  quit_with_escape();
}

// The fit runs, so that frames can be seen passing without pressing a key (a
// key pressed would end the autorepeat of the held Escape).
TEST_F(AutomaticProgram, EscapeTypedIntoAnotherWindowDoesNotQuit) {
  Window other = XCreateSimpleWindow(inject.dpy, DefaultRootWindow(inject.dpy), 700, 100, 200,
                                     100, 0, 0, 0);
  XMapWindow(inject.dpy, other);
  XSync(inject.dpy, False);
  ASSERT_TRUE(wait_for([&] {
    XWindowAttributes a;
    return XGetWindowAttributes(inject.dpy, other, &a) && a.map_state == IsViewable;
  }));
  unsigned int delay = 660, interval = 40;
  XkbGetAutoRepeatRate(inject.dpy, XkbUseCoreKbd, &delay, &interval);
  XkbSetAutoRepeatRate(inject.dpy, XkbUseCoreKbd, 30, 10);  // repeats within a frame or two
  tap(XK_t);
  focus(other);
  inject.key(XK_Escape, true);
  focus(window);  // Escape still held: the program's window sees only its repeats
  EXPECT_TRUE(survives_frames(10)) << program.err();
  inject.key(XK_Escape, false);  // nor is its release an Escape
  EXPECT_TRUE(survives_frames(3)) << program.err();
  XkbSetAutoRepeatRate(inject.dpy, XkbUseCoreKbd, delay, interval);
  XDestroyWindow(inject.dpy, other);
  quit_with_escape();
}

TEST_F(InteractiveProgram, MenuChosenScaleEditFollowsALeftDragOnStdout) {
  Geometry g = geometry_of(inject.dpy, window);
  point_at(g.w / 2, g.h / 2);
  inject.button(3, true);
  Window main_menu = wait_for_popups(inject.dpy, 1);
  ASSERT_NE(main_menu, 0u) << "no popup menu";
  Geometry m = geometry_of(inject.dpy, main_menu);
  int row = m.h / 6;  // title and five items
  inject.move_to(m.x + m.w / 2, m.y + row + row / 2);  // "Superquadric Menu"
  Window sub = wait_for_popups(inject.dpy, 2);
  ASSERT_NE(sub, 0u) << "no submenu";
  Geometry s = geometry_of(inject.dpy, sub);
  int srow = s.h / 12;  // title and eleven items
  inject.move_to(s.x + s.w / 2, s.y + srow + srow / 2);  // "sc"
  inject.button(3, false);
  ASSERT_TRUE(wait_for([&] { return mapped_windows(inject.dpy, true).empty(); }));

  // While the left button is down the edit prints sc on every frame.
  auto sc_values = [&] { return printed_values(program.out(), "sc"); };
  point_at(g.w / 2, g.h / 2);
  inject.button(1, true);
  ASSERT_TRUE(wait_for([&] { return !sc_values().empty(); })) << "the edit never ran";
  double sc0 = sc_values().front();
  for (int step = 1; step <= 10; step++) {
    point_at(g.w / 2, g.h / 2 - 10 * step);  // up: larger y for the program
    ASSERT_TRUE(wait_for([&] { return fabs(sc_values().back() - (sc0 + 0.1 * step)) < 1e-6; }))
        << "step " << step;
  }
  inject.button(1, false);

  // A middle click disarms the edit: a second drag moves the view instead.
  // The queue is read in order, so once the view has moved the release and
  // the middle click have been handled too.
  inject.button(2, true);
  inject.button(2, false);
  std::vector<unsigned long> before = window_pixels(inject.dpy, window, g.w, g.h);
  inject.button(1, true);
  int dy = 0;
  bool moved = wait_for([&] {
    point_at(g.w / 2, g.h / 2 - (dy += 5));
    return window_pixels(inject.dpy, window, g.w, g.h) != before;
  });
  inject.button(1, false);
  ASSERT_TRUE(moved) << "the view never moved";
  size_t lines = sc_values().size();
  wait_frames(3);
  quit_with_escape();

  std::vector<double> sc = sc_values();
  EXPECT_EQ(sc.size(), lines) << "the edit ran after the middle click";
  EXPECT_NEAR(sc.back() - sc.front(), 1.0, 1e-6);
  for (double v : sc) {
    EXPECT_GE(v, 0.01);
    EXPECT_LE(v, 10.0);
  }
}

TEST_F(InteractiveProgram, ZoomKeyOStopsAtZero) {
  inject.key(XK_o, true);
  bool at_zero = wait_for(
      [&] { return testutil::count_occurrences(program.err(), "zoom = 0.000000") >= 3; }, 20.0);
  inject.key(XK_o, false);
  ASSERT_TRUE(at_zero);
  std::string err = program.err();
  quit_with_escape();
  std::vector<double> zooms = printed_values(err, "zoom");
  ASSERT_FALSE(zooms.empty());
  EXPECT_EQ(zooms.back(), 0.0);
  for (double z : zooms) EXPECT_GE(z, 0.0);
}

}  // namespace
