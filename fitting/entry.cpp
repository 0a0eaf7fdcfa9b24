// entry.cpp -- the program's entry point; everything else lives in the
// library.  To understand the program, read run_fitting() in main.cpp next.
#include "hybroid.h"

int main(int argc, char **argv) {
  focal_length = 0.1;
  parse_command_line(argc, argv);
  run_fitting();
  return 0;
}
