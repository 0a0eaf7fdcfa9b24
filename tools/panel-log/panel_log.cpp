// panel_log.cpp -- linked into hybfit-panel, the program built with the
// product's own entry point and library, plus -Wl,--wrap for charstr and
// swapbuffers (C++ names).  Every text line the program draws passes here
// on its way to the real charstr and is checked for a number printed as nan
// or inf; every swap counts a frame.  At exit a summary goes to the file
// named by HYBFIT_PANEL_LOG:
//   frames <n>
//   text_lines <n>
//   nonfinite_lines <n>
// followed by the first few lines that held a non-finite number.
// The input-storm driver (tools/hybstorm.cpp) reads it.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
void __real__Z7charstrPKc(const char *s);
void __real__Z11swapbuffersv();
}

namespace {

enum { KEPT_LINES = 5, LINE_SIZE = 256 };

long frames = 0, text_lines = 0, nonfinite = 0;
char kept[KEPT_LINES][LINE_SIZE];

// True when a word of s (a run of letters) is nan, inf or infinity.
bool has_nonfinite(const char *s) {
  char word[16];
  size_t n = 0;
  for (const char *p = s;; p++) {
    if (*p && isalpha((unsigned char)*p)) {
      if (n < sizeof word - 1) word[n++] = (char)tolower((unsigned char)*p);
      continue;
    }
    word[n] = '\0';
    if (!strcmp(word, "nan") || !strcmp(word, "inf") || !strcmp(word, "infinity")) return true;
    n = 0;
    if (!*p) return false;
  }
}

void write_summary() {
  const char *path = getenv("HYBFIT_PANEL_LOG");
  if (!path || !*path) return;
  FILE *fp = fopen(path, "w");
  if (!fp) return;
  fprintf(fp, "frames %ld\ntext_lines %ld\nnonfinite_lines %ld\n", frames, text_lines, nonfinite);
  for (long i = 0; i < nonfinite && i < KEPT_LINES; i++) fprintf(fp, "%s\n", kept[i]);
  fclose(fp);
}

void register_summary() {
  static bool done = false;
  if (!done) atexit(write_summary);
  done = true;
}

}  // namespace

extern "C" void __wrap__Z7charstrPKc(const char *s) {
  register_summary();
  if (s) {
    text_lines++;
    if (has_nonfinite(s) && nonfinite++ < KEPT_LINES)
      snprintf(kept[nonfinite - 1], LINE_SIZE, "%s", s);
  }
  __real__Z7charstrPKc(s);
}

extern "C" void __wrap__Z11swapbuffersv() {
  register_summary();
  frames++;
  __real__Z11swapbuffersv();
}
