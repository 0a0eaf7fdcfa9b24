// replay.cpp -- main() of the replay programs: runs a fuzz target once on
// every file of the directories (or the files) named on the command line,
// in name order, so that the seed corpus and every kept finding run with
// each test suite, without libFuzzer.  Prints how many inputs it ran.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

static void add_inputs(const std::string &path, std::vector<std::string> *inputs) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    inputs->push_back(path);
    return;
  }
  std::vector<std::string> names;
  if (DIR *d = opendir(path.c_str())) {
    while (struct dirent *e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(path + "/" + e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  inputs->insert(inputs->end(), names.begin(), names.end());
}

static std::vector<uint8_t> read_input(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

int main(int argc, char **argv) {
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; i++) add_inputs(argv[i], &inputs);
  // Read everything first: a target may change directory when it starts.
  std::vector<std::vector<uint8_t>> data;
  for (const std::string &path : inputs) data.push_back(read_input(path));
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  for (const std::vector<uint8_t> &d : data) LLVMFuzzerTestOneInput(d.data(), d.size());
  fprintf(stderr, "replay: %zu inputs run\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
