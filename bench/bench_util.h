// bench_util.h -- helpers shared by the benchmarks.
#ifndef HYBFIT_BENCH_UTIL_H
#define HYBFIT_BENCH_UTIL_H

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace benchutil {

// Runs f with the standard error stream sent to /dev/null: the readers and
// the initialisation report on it.
template <class F>
void quietly(F f) {
  fflush(stderr);
  int saved = dup(2);
  int null_fd = open("/dev/null", O_WRONLY);
  dup2(null_fd, 2);
  f();
  fflush(stderr);
  dup2(saved, 2);
  close(null_fd);
  close(saved);
}

}  // namespace benchutil

#endif
