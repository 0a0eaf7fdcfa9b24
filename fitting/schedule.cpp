// schedule.cpp -- the fitting schedule file: the stages of the automatic fit
// of each primitive label, as readable words, instead of the built-in table.
//
// Owns schedule_table (one label_schedule per primitive label) and
// schedule_file_used (the name of the file read, or null when the built-in
// schedules apply).  init_fitting_rules (dynamics.cpp) installs a listed
// label's stages into a model; the automatic step reads the stage options
// and the inverse dampings from the model and from this table.
//
// The file is found like the parameter files: the name in
// HYBROID_SCHEDULE_FILE, else "schedule" in the current directory.  A
// missing default file (or an empty variable) means the built-in schedules;
// anything else that is wrong ends the program with one line naming the
// file, the line and the problem (exit status 1).
//
// Start with read_fitting_schedule, then parse_line.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "hybroid.h"

label_schedule schedule_table[NUM_PRIMITIVES];
const char *schedule_file_used = nullptr;

static const char DEFAULT_SCHEDULE_FILE[] = "schedule";
static const int MAX_STAGES = MAX_SEQUENCE - 1;  // the last entry ends the sequence
static const long MAX_STAGE_LIMIT = 1000000;

// The words of a stage line: degrees of freedom and options.
//        word         df_mask bits       stage options
static const struct { const char *word; int bits; int options; } stage_words[] = {
  {"trans",      DF_TRANS,          0},
  {"rot",        DF_ROT,            0},
  {"rotz",       DF_ROTZ,           0},
  {"sc",         DF_SC,             0},
  {"a1",         DF_A1,             0},
  {"a2",         DF_A2,             0},
  {"a3",         DF_A3,             0},
  {"e1",         DF_E1,             0},
  {"e2",         DF_E2,             0},
  {"tapx",       DF_TAPX,           0},
  {"tapy",       DF_TAPY,           0},
  {"bend1",      DF_BEND1,          0},
  {"bend3",      DF_BEND3,          0},
  {"whole",      DF_WHOLE_FORCE,    0},
  {"nonormal",   DF_NO_NORMAL,      0},
  {"loose",      DF_LOOSE_TOL,      0},
  {"sparse",     DF_SPARSE,         0},
  {"stereo",     DF_STEREO,         0},
  {"turn",       0,                 STAGE_TURN},
  {"all",        0,                 STAGE_ALL},
  {"settle",     0,                 STAGE_SETTLE},
  {"start",      0,                 STAGE_START},
  {"exact",      0,                 STAGE_EXACT},
  {"allcurves",  0,                 STAGE_ALL_CURVES},
  {"adapt",      0,                 STAGE_ADAPT},
  {"pair",       0,                 STAGE_PAIR},
  {"outline",    0,                 STAGE_OUTLINE},
  {"inner",      0,                 STAGE_INNER},
  {"probe",      0,                 STAGE_PROBE},
  {"patient",    0,                 STAGE_PATIENT},
  {"square",     0,                 STAGE_SQUARE},
  {"smooth",     0,                 STAGE_SMOOTH},
  {"gradient",   0,                 STAGE_GRADIENT},
};

static const int MOVING_BITS = DF_SC | DF_A1 | DF_A2 | DF_A3 | DF_E1 | DF_E2 | DF_TAPX |
                               DF_TAPY | DF_BEND1 | DF_BEND3 | DF_TRANS | DF_ROT | DF_ROTZ;

// What the reader is in the middle of.
struct reader_state {
  label_schedule table[NUM_PRIMITIVES];
  int label;     // 1..10 once a label line was read, else 0
  char *err;     // SCHEDULE_ERROR_SIZE bytes
  const char *fname;
  int line;
};

static int refuse(reader_state *r, const std::string &problem) {
  snprintf(r->err, SCHEDULE_ERROR_SIZE, "%s:%d: %s", r->fname, r->line, problem.c_str());
  return -1;
}

// A whole word as a number; false when it is not one (or not finite).
static bool parse_number(const std::string &w, double *value) {
  char *end = nullptr;
  errno = 0;
  double v = strtod(w.c_str(), &end);
  if (w.empty() || *end != '\0' || errno != 0 || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

// "label N": the stages that follow belong to label N.
static int parse_label(reader_state *r, std::istringstream &in) {
  std::string w, extra;
  double v = 0;
  if (!(in >> w)) return refuse(r, "label needs a number");
  if (!parse_number(w, &v) || v != floor(v) || v < 1 || v > NUM_PRIMITIVES)
    return refuse(r, "label \"" + w + "\" is not one of 1..10");
  if (in >> extra) return refuse(r, "unexpected \"" + extra + "\" after the label");
  r->label = (int)v;
  label_schedule *s = &r->table[r->label - 1];
  if (s->given) return refuse(r, "label " + w + " is given twice");
  s->given = 1;
  return 0;
}

// "damping e1 V e2 V bend1 V bend3 V", any of the four, each V >= 0.
static int parse_damping(reader_state *r, std::istringstream &in) {
  if (r->label == 0) return refuse(r, "damping before any label");
  label_schedule *s = &r->table[r->label - 1];
  std::string name, value;
  int pairs = 0;
  while (in >> name) {
    double *field = name == "e1"      ? &s->c_inv_e1
                    : name == "e2"    ? &s->c_inv_e2
                    : name == "bend1" ? &s->c_inv_b1
                    : name == "bend3" ? &s->c_inv_b3
                                      : nullptr;
    if (!field) return refuse(r, "unknown damping parameter \"" + name + "\"");
    double v = 0;
    if (!(in >> value) || !parse_number(value, &v) || v < 0)
      return refuse(r, "damping of " + name + " needs a number >= 0");
    *field = v;
    pairs++;
  }
  if (pairs == 0) return refuse(r, "damping needs a parameter and a value");
  return 0;
}

// "limit N" inside a stage line.
static int parse_limit(reader_state *r, std::istringstream &in, int *limit) {
  std::string w;
  double v = 0;
  if (!(in >> w) || !parse_number(w, &v) || v != floor(v) || v < 1 || v > MAX_STAGE_LIMIT)
    return refuse(r, "limit needs a whole number of steps from 1 to 1000000");
  *limit = (int)v;
  return 0;
}

// One stage: its words in any order.
static int parse_stage(reader_state *r, const std::string &first, std::istringstream &in) {
  if (r->label == 0) return refuse(r, "stage before any label");
  label_schedule *s = &r->table[r->label - 1];
  if (s->n_stages >= MAX_STAGES)
    return refuse(r, "more than " + std::to_string(MAX_STAGES) + " stages for label " +
                         std::to_string(r->label));
  int mask = 0, options = STAGE_FROM_FILE, limit = 0;
  std::string w = first;
  do {
    if (w == "limit") {
      if (parse_limit(r, in, &limit) != 0) return -1;
      continue;
    }
    bool known = false;
    for (const auto &sw : stage_words)
      if (w == sw.word) {
        mask |= sw.bits;
        options |= sw.options;
        known = true;
      }
    if (!known) return refuse(r, "unknown word \"" + w + "\"");
  } while (in >> w);
  if (!(mask & MOVING_BITS)) return refuse(r, "the stage moves nothing");
  s->mask[s->n_stages] = mask;
  s->options[s->n_stages] = options;
  s->limit[s->n_stages] = limit;
  s->n_stages++;
  return 0;
}

// One line, its comment ("#" to the end) removed.
static int parse_line(reader_state *r, std::string text) {
  size_t hash = text.find('#');
  if (hash != std::string::npos) text.erase(hash);
  std::istringstream in(text);
  std::string first;
  if (!(in >> first)) return 0;  // blank
  if (first == "label") return parse_label(r, in);
  if (first == "damping") return parse_damping(r, in);
  return parse_stage(r, first, in);
}

static void clear_schedules(label_schedule *table) {
  for (int i = 0; i < NUM_PRIMITIVES; i++) {
    label_schedule *s = &table[i];
    memset(s, 0, sizeof *s);
    s->c_inv_e1 = s->c_inv_e2 = s->c_inv_b1 = s->c_inv_b3 = -1.0;
  }
}

// Reads fname into schedule_table.  Returns 0, or -1 with the one-line
// reason in err (the table is then left as it was).
int load_schedule_file(const char *fname, char *err) {
  std::ifstream in(fname);
  if (!in) {
    snprintf(err, SCHEDULE_ERROR_SIZE, "%s: cannot read the schedule file", fname);
    return -1;
  }
  reader_state *r = new reader_state;
  clear_schedules(r->table);
  r->label = 0;
  r->err = err;
  r->fname = fname;
  r->line = 0;
  std::string text;
  int status = 0;
  while (status == 0 && std::getline(in, text)) {
    r->line++;
    status = parse_line(r, text);
  }
  if (status == 0 && in.bad()) {
    snprintf(err, SCHEDULE_ERROR_SIZE, "%s: cannot read the schedule file", fname);
    status = -1;
  }
  if (status == 0) memcpy(schedule_table, r->table, sizeof schedule_table);
  delete r;
  return status;
}

// Finds and reads the schedule file, or keeps the built-in schedules.
void read_fitting_schedule() {
  clear_schedules(schedule_table);
  schedule_file_used = nullptr;
  const char *env = getenv("HYBROID_SCHEDULE_FILE");
  if (env && !*env) return;  // set but empty: the built-in schedules
  const char *fname = env ? env : DEFAULT_SCHEDULE_FILE;
  if (!env) {
    FILE *probe = fopen(fname, "r");
    if (!probe && errno == ENOENT) return;  // no file here: the built-in schedules
    if (probe) fclose(probe);
  }
  char err[SCHEDULE_ERROR_SIZE];
  if (load_schedule_file(fname, err) != 0) {
    fprintf(stderr, "%s\n", err);
    exit(1);
  }
  schedule_file_used = fname;
  fprintf(stderr, "Fitting schedule read from %s\n", fname);
}

// The file's schedule of a label, or null when the label keeps its
// built-in one.
const label_schedule *schedule_of_label(int label) {
  if (!schedule_file_used || label < 1 || label > NUM_PRIMITIVES) return nullptr;
  const label_schedule *s = &schedule_table[label - 1];
  return s->given ? s : nullptr;
}

// The words of a stage, as a stage line would give them.
void describe_stage(int mask, int options, int limit, char *out, int size) {
  int n = 0;
  out[0] = '\0';
  for (const auto &sw : stage_words) {
    bool on = sw.bits ? (mask & sw.bits) != 0 : (options & sw.options) != 0;
    if (!on || n >= size) continue;
    n += snprintf(out + n, size - n, "%s%s", n ? " " : "", sw.word);
  }
  if (limit > 0 && n < size) snprintf(out + n, size - n, "%slimit %d", n ? " " : "", limit);
}
