// support.cpp -- exit() and fopen()/fclose() wrappers for the fuzz targets
// and replay programs (linked with -Wl,--wrap=exit,--wrap=fopen,--wrap=fclose),
// and the scratch directory the file-name-based readers read from.
#include "support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
[[noreturn]] void __real_exit(int status);
FILE *__real_fopen(const char *path, const char *mode);
int __real_fclose(FILE *fp);
}

namespace {

enum { MAX_TRACKED_FILES = 64 };

std::jmp_buf *catching = nullptr;  // set while run_catching_exit runs a call
int exit_status = 0;
FILE *open_files[MAX_TRACKED_FILES];  // opened during the call, not yet closed
int n_open_files = 0;

void forget_file(FILE *fp) {
  for (int i = 0; i < n_open_files; i++)
    if (open_files[i] == fp) {
      open_files[i] = open_files[--n_open_files];
      return;
    }
}

void close_abandoned_files() {
  while (n_open_files > 0) __real_fclose(open_files[--n_open_files]);
}

}  // namespace

extern "C" [[noreturn]] void __wrap_exit(int status) {
  if (catching) {
    exit_status = status;
    std::longjmp(*catching, 1);
  }
  __real_exit(status);
}

extern "C" FILE *__wrap_fopen(const char *path, const char *mode) {
  FILE *fp = __real_fopen(path, mode);
  if (fp && catching) {
    fuzz::check(n_open_files < MAX_TRACKED_FILES, "more files open at once than tracked");
    open_files[n_open_files++] = fp;
  }
  return fp;
}

extern "C" int __wrap_fclose(FILE *fp) {
  forget_file(fp);
  return __real_fclose(fp);
}

namespace fuzz {

int run_catching_exit(void (*fn)(void *), void *arg, int *status) {
  std::jmp_buf here;
  n_open_files = 0;
  catching = &here;
  if (setjmp(here) != 0) {
    catching = nullptr;
    close_abandoned_files();
    *status = exit_status;
    return 1;
  }
  fn(arg);
  catching = nullptr;
  n_open_files = 0;  // whatever fn left open is its own business (and a leak)
  return 0;
}

static std::string make_scratch_dir() {
  struct stat st;
  std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
  std::string tmpl = base + "/hybfit-fuzz-XXXXXX";
  if (!mkdtemp(&tmpl[0])) {
    perror("fuzz: mkdtemp");
    abort();
  }
  return tmpl;
}

// The directory holds plain files only.
static void remove_scratch_dir() {
  const std::string &dir = scratch_dir();
  if (DIR *d = opendir(dir.c_str())) {
    while (struct dirent *e = readdir(d))
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) unlink((dir + "/" + e->d_name).c_str());
    closedir(d);
  }
  rmdir(dir.c_str());
}

const std::string &scratch_dir() {
  static const std::string dir = make_scratch_dir();
  static const int registered = atexit(remove_scratch_dir);
  (void)registered;
  return dir;
}

void write_bytes(const std::string &path, const uint8_t *data, size_t size) {
  FILE *fp = __real_fopen(path.c_str(), "wb");
  check(fp != nullptr, "cannot create a scratch file");
  check(size == 0 || fwrite(data, 1, size, fp) == size, "cannot write a scratch file");
  __real_fclose(fp);
}

void check(bool ok, const char *what) {
  if (ok) return;
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}

}  // namespace fuzz
