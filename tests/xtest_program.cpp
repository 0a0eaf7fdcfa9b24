// The interactive program as a user meets it: build/hybfit runs in its own
// process on the private X server, and the test drives it with real keys,
// buttons and pointer motion through XTest and reads its window's pixels.
#include "xtest_gl_util.h"  // first: its gtest include must precede the X headers

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
  // Waits for the process to end; returns false on timeout.
  bool wait_exit(double timeout) {
    double end = now_seconds() + timeout;
    while (now_seconds() < end) {
      int st;
      if (waitpid(pid, &st, WNOHANG) == pid) {
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        pid = -1;
        return true;
      }
      sleep_seconds(0.01);
    }
    return false;
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

// Top-level windows of the server that are mapped, optionally only the
// override-redirect ones (popup menus).
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

// The pixels of the panel area (top left of the window).
std::vector<unsigned long> panel_pixels(Display *dpy, Window w) {
  std::vector<unsigned long> px;
  XImage *img = XGetImage(dpy, w, 0, 0, 420, 420, AllPlanes, ZPixmap);
  if (!img) return px;
  for (int y = 0; y < 420; y++)
    for (int x = 0; x < 420; x++) px.push_back(XGetPixel(img, x, y));
  XDestroyImage(img);
  return px;
}

// Values printed as "<name> = <value>" lines.
std::vector<double> printed_values(const std::string &text, const std::string &name) {
  std::vector<double> values;
  std::string key = name + " = ";
  for (size_t pos = text.find(key); pos != std::string::npos; pos = text.find(key, pos + 1))
    if (pos == 0 || text[pos - 1] == '\n') values.push_back(atof(text.c_str() + pos + key.size()));
  return values;
}

class InteractiveProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(inject.dpy, nullptr);
    program.start(arguments());
    window = find_program_window(inject.dpy, kStartTimeoutSeconds);
    ASSERT_NE(window, 0u) << "no window; stderr:\n" << program.err();
    sleep_seconds(0.3);  // let the first frames through
  }
  virtual std::vector<std::string> arguments() { return {kSample}; }
  void tap(KeySym key, double hold = 0.005) {
    inject.key(key, true);
    sleep_seconds(hold);
    inject.key(key, false);
  }
  // Pointer to window pixel (x, y), origin top-left of the window.
  void point_at(int x, int y) {
    Geometry g = geometry_of(inject.dpy, window);
    inject.move_to(g.x + x, g.y + y);
  }
  void quit_with_escape() {
    inject.key(XK_Escape, true);
    bool ended = program.wait_exit(kExitTimeoutSeconds);
    inject.key(XK_Escape, false);
    ASSERT_TRUE(ended) << "the program did not end on Escape";
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

TEST_F(AutomaticProgram, StartsPausedAndTStartsTheFitAndEscapeEndsIt) {
  std::vector<unsigned long> a = panel_pixels(inject.dpy, window);
  sleep_seconds(0.3);
  EXPECT_EQ(a, panel_pixels(inject.dpy, window)) << "the panel changed while paused";
  // A held key flips T on every frame it is seen: tap until the fit runs.
  bool running = false;
  for (int attempt = 0; attempt < 20 && !running; attempt++) {
    tap(XK_t);
    sleep_seconds(0.2);
    std::vector<unsigned long> b = panel_pixels(inject.dpy, window);
    sleep_seconds(0.2);
    running = b != panel_pixels(inject.dpy, window);
  }
  EXPECT_TRUE(running) << "the panel never changed after T";
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
  sleep_seconds(0.1);
  inject.button(3, false);
  sleep_seconds(0.2);

  point_at(g.w / 2, g.h / 2);
  inject.button(1, true);
  sleep_seconds(0.1);
  for (int step = 1; step <= 10; step++) {
    point_at(g.w / 2, g.h / 2 - 10 * step);  // up: larger y for the program
    sleep_seconds(0.03);
  }
  sleep_seconds(0.2);
  inject.button(1, false);
  sleep_seconds(0.2);

  // A middle click disarms the edit: a second drag moves the view instead.
  inject.button(2, true);
  sleep_seconds(0.1);
  inject.button(2, false);
  sleep_seconds(0.1);
  size_t lines_before = printed_values(program.out(), "sc").size();
  inject.button(1, true);
  point_at(g.w / 2, g.h / 2 - 150);
  sleep_seconds(0.2);
  inject.button(1, false);
  sleep_seconds(0.2);
  quit_with_escape();

  std::vector<double> sc = printed_values(program.out(), "sc");
  ASSERT_GE(sc.size(), 2u) << program.out();
  EXPECT_NEAR(sc.back() - sc.front(), 1.0, 1e-6);
  for (double v : sc) {
    EXPECT_GE(v, 0.01);
    EXPECT_LE(v, 10.0);
  }
  EXPECT_EQ(sc.size(), lines_before);
}

TEST_F(InteractiveProgram, ZoomKeyOStopsAtZero) {
  inject.key(XK_o, true);
  double end = now_seconds() + 20.0;
  while (now_seconds() < end && program.err().find("zoom = 0.000000") == std::string::npos)
    sleep_seconds(0.05);
  sleep_seconds(0.2);
  inject.key(XK_o, false);
  std::string err = program.err();
  quit_with_escape();
  std::vector<double> zooms = printed_values(err, "zoom");
  ASSERT_FALSE(zooms.empty());
  EXPECT_EQ(zooms.back(), 0.0);
  for (double z : zooms) EXPECT_GE(z, 0.0);
}

}  // namespace
