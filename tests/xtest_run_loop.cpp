// The batch run on a machine whose input layer sees a keyboard (the private
// Xvfb of with-xvfb): it starts paused, T starts the fit and Escape ends the
// run; it never ends by itself.
#include "xtest_gl_util.h"  // gtest and the X headers first

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "test_util.h"

namespace {

using xtestutil::Injector;
using xtestutil::now_seconds;
using xtestutil::sleep_seconds;

// The program running a batch fit of the label-5 sample with reports after
// every pass, its error stream collected in a scratch file.
struct BatchRun {
  testutil::ScratchDir dir;
  pid_t pid = -1;

  BatchRun() {
    testutil::write_file(dir.file("in"), "0\n");
    std::string in = dir.file("in"), err = dir.file("err");
    std::string samples = std::string(HYBFIT_SOURCE_DIR) + "/samples";
    pid = fork();
    if (pid == 0) {
      if (chdir(samples.c_str()) != 0) _exit(126);
      int in_fd = open(in.c_str(), O_RDONLY);
      int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(in_fd, 0);
      dup2(err_fd, 2);
      execl(HYBFIT_PATH, HYBFIT_PATH, "-g", "-a", "-d", "cylinder5.dump", (char *)nullptr);
      _exit(127);
    }
  }
  ~BatchRun() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  std::string err() const { return testutil::read_file(dir.file("err")); }
  int reports() const { return testutil::count_occurrences(err(), " GOF = "); }

  // Waits until at least n reports have been written.
  bool wait_for_reports(int n) const {
    double end = now_seconds() + xtestutil::kEventTimeoutSeconds;
    while (now_seconds() < end) {
      if (reports() >= n) return true;
      sleep_seconds(0.01);
    }
    return false;
  }
  // Waits for the program to end; returns its exit status, or -1.
  int wait_for_exit() {
    double end = now_seconds() + xtestutil::kEventTimeoutSeconds;
    int status = 0;
    while (now_seconds() < end) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      sleep_seconds(0.01);
    }
    return -1;
  }
};

// The Translation lines of all reports so far.
std::vector<std::string> translations(const std::string &err) {
  std::vector<std::string> lines;
  for (size_t at = err.find(" Translation = "); at != std::string::npos;
       at = err.find(" Translation = ", at + 1))
    lines.push_back(err.substr(at, err.find('\n', at) - at));
  return lines;
}

}  // namespace

TEST(AttendedBatchRun, StartsPausedAndEndsOnlyWhenEscapeIsHeld) {
  Injector inject;
  ASSERT_NE(inject.dpy, nullptr) << "no X server: run under tests/with-xvfb";
  BatchRun run;
  ASSERT_TRUE(run.wait_for_reports(50));
  std::vector<std::string> t = translations(run.err());
  for (const std::string &line : t) EXPECT_EQ(line, t.front());  // paused: nothing moves
  EXPECT_EQ(run.err().find("Fit finished"), std::string::npos);
  inject.key(XK_Escape, true);
  int status = run.wait_for_exit();
  inject.key(XK_Escape, false);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(run.err().find("Fit "), std::string::npos);  // no unattended end report
}

TEST(AttendedBatchRun, HoldingTStartsTheFit) {
  Injector inject;
  ASSERT_NE(inject.dpy, nullptr) << "no X server: run under tests/with-xvfb";
  BatchRun run;
  ASSERT_TRUE(run.wait_for_reports(5));
  // While T is held the pause flips on every pass, so every other pass fits.
  inject.key(XK_t, true);
  int held_from = run.reports();
  ASSERT_TRUE(run.wait_for_reports(held_from + 20));
  inject.key(XK_t, false);
  std::vector<std::string> t = translations(run.err());
  EXPECT_NE(t.back(), t.front());
  inject.key(XK_Escape, true);
  EXPECT_EQ(run.wait_for_exit(), 0);
  inject.key(XK_Escape, false);
}
