// The batch run on a machine with an X display (the private Xvfb of
// with-xvfb): it has no window and so no keyboard, and runs unattended to the
// end of its fit whatever keys are held.
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

}  // namespace

TEST(BatchRunWithADisplay, FinishesByItselfWhileEscapeIsHeldOnTheKeyboard) {
  Injector inject;
  ASSERT_NE(inject.dpy, nullptr) << "no X server: run under tests/with-xvfb";
  inject.key(XK_Escape, true);
  BatchRun run;
  int status = run.wait_for_exit();
  inject.key(XK_Escape, false);
  EXPECT_EQ(status, 0) << run.err();
  EXPECT_NE(run.err().find("Fit finished after "), std::string::npos);
  EXPECT_GT(run.reports(), 2);  // it ran passes, not stopped at once by Escape
}
