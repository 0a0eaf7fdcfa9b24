// fuzz_forcemap.cpp -- fuzzes the force-mapping reader.  The input is cut at
// form feeds into up to ten files, prim1 .. prim10 in a scratch directory;
// labels without a part have no file.  The reader never ends the program;
// every mask it stores is made only of the bits a mapping file can set.
#include <unistd.h>

#include <cstring>
#include <string>

#include "hybroid.h"
#include "support.h"

namespace {

const int settable_bits = DF_TRANS | DF_ROT | DF_ROTZ | DF_A1 | DF_A2 | DF_A3 | DF_TAPX |
                          DF_TAPY | DF_BEND1 | DF_BEND3;

void read_maps(void *arg) { read_primitive_dof_mapping((const char *)arg); }

// Writes the parts of the input between form feeds to base1, base2, ...
void write_parts(const std::string &base, const uint8_t *data, size_t size) {
  size_t start = 0;
  int label = 1;
  for (; label <= NUM_PRIMITIVES && start <= size; label++) {
    const void *ff = size > start ? memchr(data + start, '\f', size - start) : nullptr;
    size_t end = ff ? (size_t)((const uint8_t *)ff - data) : size;
    fuzz::write_bytes(base + std::to_string(label), data + start, end - start);
    start = end + 1;
  }
  for (; label <= NUM_PRIMITIVES; label++) unlink((base + std::to_string(label)).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string base = fuzz::scratch_dir() + "/prim";
  write_parts(base, data, size);
  memset(dof_map, 0, sizeof dof_map);
  int status = 0;
  fuzz::check(!fuzz::run_catching_exit(read_maps, (void *)base.c_str(), &status),
              "the mapping reader ended the program");
  for (int i = 0; i < NUM_PRIMITIVES; i++)
    for (int j = 0; j < MAX_DOF_MAPS; j++)
      fuzz::check((dof_map[i][j] & ~settable_bits) == 0, "a mask bit no mapping file can set");
  return 0;
}
