// fuzz_cmdline.cpp -- fuzzes the command-line parser.  The input is split at
// white space and NUL bytes into argument words after the program name.
// Every "/" becomes "_" and the process works in a scratch directory, so
// that an output file named by -o or -m can only be created there (and it
// is removed after each input).  An option error ends the parser with status 1;
// a line that is accepted leaves at most 32 file names, none starting "-",
// an open output stream, and only finite numbers in the settings.
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "hybroid.h"
#include "support.h"

namespace {

struct command_line {
  std::vector<std::string> words;
  std::vector<char *> argv;
};

void split_words(const uint8_t *data, size_t size, command_line *cl) {
  cl->words.assign(1, "hybfit");
  std::string word;
  for (size_t i = 0; i <= size; i++) {
    int c = i < size ? data[i] : ' ';
    if (c == '\0' || isspace(c)) {
      if (!word.empty()) cl->words.push_back(word);
      word.clear();
    } else {
      word += c == '/' ? '_' : (char)c;
    }
  }
  for (std::string &w : cl->words) cl->argv.push_back(&w[0]);
  cl->argv.push_back(nullptr);
}

// The settings parse_command_line writes, back at their start values.
void reset_settings() {
  fitting_tol = 0.001;
  euler_step = 1.0;
  focal_length = 0.1;
  perspective_flag = graphics_off = auto_fitting = stereo_flag = debug_flag = 0;
  base_line = 250.0;
  verge_angle = elev_angle = 0.0;
  ofile = nullptr;
  mesh_file = nullptr;
  ofs = nullptr;
  nfiles = 0;
  for (char *&name : filenames) name = nullptr;
}

void parse(void *arg) {
  command_line *cl = (command_line *)arg;
  parse_command_line((int)cl->argv.size() - 1, cl->argv.data());
}

void check_accepted_line() {
  fuzz::check(ofs != nullptr, "no output stream after an accepted line");
  fuzz::check(nfiles >= 0 && nfiles <= MAX_FILENAMES, "more file names than slots");
  for (int i = 0; i < nfiles; i++)
    fuzz::check(filenames[i] && filenames[i][0] != '-', "a file name that starts with -");
  const double numbers[] = {fitting_tol, euler_step, focal_length, base_line, verge_angle,
                            elev_angle};
  for (double v : numbers) fuzz::check(std::isfinite(v), "a setting that is not a finite number");
}

void close_output_file() {
  if (ofs && ofs != stdout) fclose(ofs);
  if (ofile) unlink(ofile);
  if (mesh_file) unlink(mesh_file);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (chdir(fuzz::scratch_dir().c_str()) != 0) fuzz::check(false, "cannot enter the scratch directory");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  command_line cl;
  split_words(data, size, &cl);
  reset_settings();
  int status = 0;
  if (fuzz::run_catching_exit(parse, &cl, &status)) {
    fuzz::check(status == 1, "an option error with a status other than 1");
    ofs = nullptr;  // a refusal after -o was opened: closed with the abandoned files
  } else
    check_accepted_line();
  close_output_file();
  reset_settings();
  return 0;
}
