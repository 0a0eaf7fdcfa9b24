// main.cpp -- the driver: global settings, the command line, the run loop that
// owns the models, the stereo camera frames and the driver's polled keys.
//
// Settings live in the globals below with their start values; the run loop
// copies the per-model ones into every hybroid (setup_param) and later code
// reads the copies.  Start with parse_command_line, then run_fitting.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>

#include "hybroid.h"

//     name               start value
double fitting_tol        = 0.001;
double euler_step         = 1.0;
double focal_length       = 0.1;
int perspective_flag      = 0;
int graphics_off          = 0;
int auto_fitting          = 0;
int stereo_flag           = 0;
int debug_flag            = 0;
double base_line          = 250.0;
double verge_angle        = 0.0;
double elev_angle         = 0.0;
double bstep              = 1.0;
double vstep              = 0.01;
double estep              = 0.01;
int stop_fitting          = 1;
int dump_data_flag        = 0;
int dump_contour_flag     = 0;
int active_hybroid        = -1;
char *ofile               = nullptr;
FILE *ofs                 = nullptr;
int nfiles                = 0;
char *filenames[MAX_FILENAMES];
int Num_Hybroids          = 0;
hybroid *Hybroids[MAX_HYBROIDS];
int hybroid_on[MAX_HYBROIDS];
vector rpy                = {0.0, 0.0, 0.0};
double theta              = 0.0;

// "+" keeps glibc's getopt from permuting: option parsing stops at the first
// argument that is not an option.
static const char option_string[] = "+o:aht:n:gpf:u:sdb:v:e:";

static void print_usage(const char *prog) {
  fprintf(stderr,
          "%s [-a] [-t tol] [-e euler_step] [-h] [-n eps] [-g] [-p] [-o file] "
          "[-f focal_length] [-s] file(s)\n",
          prog);
  fprintf(stderr, " -a : switch auto fitting\n");
  fprintf(stderr, " -g : switch graphics OFF\n");
  fprintf(stderr, " -h : print this help info\n");
  fprintf(stderr, " -p : set perspective_flag\n");
  fprintf(stderr, " -f : set focal length\n");
  fprintf(stderr, " -u : eUler_step\n");
  fprintf(stderr, " -d : set debug_flag\n");
  fprintf(stderr, " -s : stereo_flag, expect 2 dump files only\n");
  fprintf(stderr, " -v : verge_angle\n");
  fprintf(stderr, " -e : elev_angle\n");
  fprintf(stderr, " -b : base_line\n");
  fprintf(stderr, "e.g. %s -a -t 0.01  lamp?.dump\n", prog);
}

// Applies one option; returns 1 when it counts as an error.
static int apply_option(int c, const char *arg) {
  switch (c) {
    case 'a': auto_fitting = 1; return 0;
    case 'b': base_line = atof(arg); return 0;
    case 'd': debug_flag = 1; return 0;
    case 'e': elev_angle = atof(arg); return 0;
    case 'f': focal_length = atof(arg); return 0;
    case 'g': graphics_off = 1; return 0;
    case 'n': return 0;
    case 'o': ofile = const_cast<char *>(arg); return 0;
    case 'p': perspective_flag = 1; return 0;
    case 's': stereo_flag = 1; return 0;
    case 't': fitting_tol = atof(arg); return 0;
    case 'u': euler_step = atof(arg); return 0;
    case 'v': verge_angle = atof(arg); return 0;
    default: return 1;  // -h, an unknown option or a missing argument
  }
}

static void open_output_file() {
  if (!ofile) {
    ofs = stdout;
    return;
  }
  ofs = fopen(ofile, "w");
  if (!ofs) {
    fprintf(stderr, "Cannot open ofile\n");
    exit(1);
  }
}

static void collect_file_names(int argc, char **argv, int first) {
  for (int i = first; i < argc; i++) {
    if (argv[i][0] == '-') continue;
    if (nfiles >= MAX_FILENAMES) continue;
    filenames[nfiles++] = argv[i];
    fprintf(stderr, "filename %s read in\n", argv[i]);
  }
}

void parse_command_line(int argc, char **argv) {
  int errors = 0, c;
  optind = 0;  // full re-initialisation, so that the parser can run again
  while ((c = getopt(argc, argv, option_string)) != -1) errors += apply_option(c, optarg);
  if (errors > 0) {
    print_usage(argv[0]);
    exit(1);
  }
  open_output_file();
  collect_file_names(argc, argv, optind);
}

// Placeholder until the run loop lands.
void run_fitting() {}
