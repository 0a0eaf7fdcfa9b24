// fuzz_param.cpp -- fuzzes the primitive parameter reader.  Each input is
// written to a scratch file and read into a cleared parameter table.  A
// short file ends the reader with status -1 (seen as 255), a missing one
// with 1; a file that is accepted fills all ten records.
#include <cstring>

#include "hybroid.h"
#include "support.h"

namespace {

void read_params(void *arg) { read_primitive_hybroid_parameter((const char *)arg); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = fuzz::scratch_dir() + "/hyb";
  fuzz::write_bytes(path, data, size);
  memset(hybroid_parameter, 0, sizeof hybroid_parameter);
  int status = 0;
  if (fuzz::run_catching_exit(read_params, (void *)path.c_str(), &status))
    fuzz::check(status == -1, "a refused parameter file with a status other than -1");
  return 0;
}
