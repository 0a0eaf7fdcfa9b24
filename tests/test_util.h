// test_util.h -- helpers shared by the tests: running the program as a
// subprocess, scratch directories and files, and vector comparisons.
#ifndef HYBFIT_TEST_UTIL_H
#define HYBFIT_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "hybroid.h"

namespace testutil {

struct RunResult {
  int status;       // exit status, or 128 + signal number
  std::string out;  // standard output
  std::string err;  // standard error
};

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write_file(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// A fresh scratch directory, removed with its contents at destruction.
struct ScratchDir {
  std::string path;
  ScratchDir() {
    char tmpl[] = "/tmp/hybfit-test-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~ScratchDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string file(const std::string &name) const { return path + "/" + name; }
};

// Runs a shell command line with the given text on its standard input, in
// directory dir, and collects its exit status, stdout and stderr.
inline RunResult run_shell(const std::string &cmd, const std::string &input = "",
                           const std::string &dir = ".") {
  ScratchDir io;
  write_file(io.file("in"), input);
  std::string full = "cd '" + dir + "' && (" + cmd + ") <'" + io.file("in") + "' >'" +
                     io.file("out") + "' 2>'" + io.file("err") + "'";
  int raw = std::system(full.c_str());
  RunResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.out = read_file(io.file("out"));
  r.err = read_file(io.file("err"));
  return r;
}

struct ChildResult {
  int status;       // exit status, or 128 + signal number
  std::string err;  // standard error of the child
};

// Runs f in a forked child with its standard error captured: for code that
// ends the process (a reader refusing a file) without ending the test.
template <class F>
ChildResult run_in_child(F f) {
  ScratchDir dir;
  std::string path = dir.file("err");
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(path.c_str(), "w", stderr)) _exit(99);
    f();
    fflush(stderr);
    _exit(0);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  ChildResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.err = read_file(path);
  return r;
}

// Runs the program with an argument string (shell words).
inline RunResult run_hybfit(const std::string &args, const std::string &input = "",
                            const std::string &dir = ".") {
  return run_shell(std::string("'") + HYBFIT_PATH + "' " + args, input, dir);
}

inline std::string sample_path(const std::string &name) {
  return std::string(HYBFIT_SOURCE_DIR) + "/samples/" + name;
}

inline int count_occurrences(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1)) n++;
  return n;
}

// Compares two vectors component by component within tol.
inline ::testing::AssertionResult near_vector(const vector &expected, const vector &actual,
                                              double tol) {
  if (std::abs(expected.x - actual.x) <= tol && std::abs(expected.y - actual.y) <= tol &&
      std::abs(expected.z - actual.z) <= tol)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "expected (" << expected.x << ", " << expected.y << ", " << expected.z
         << ") but got (" << actual.x << ", " << actual.y << ", " << actual.z << ")";
}

// Compares n doubles and reports the first index that differs by more than tol.
inline ::testing::AssertionResult near_array(const double *expected, const double *actual,
                                             int n, double tol) {
  for (int i = 0; i < n; i++)
    if (!(std::abs(expected[i] - actual[i]) <= tol))
      return ::testing::AssertionFailure()
             << "index " << i << ": expected " << expected[i] << " but got " << actual[i];
  return ::testing::AssertionSuccess();
}

}  // namespace testutil

#endif
