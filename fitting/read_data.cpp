// read_data.cpp -- the contour dump reader, the comment skipper shared by every
// parameter reader, and the per-model damping coefficient reader.
//
// read_ascii_xy_data_dump fills a model's primitive_label, n_face and face[]
// from one ASCII dump file, turning every (row, column) image point into a
// camera-frame point on the image plane z = -focal_length, rotated in that
// plane by the start-up angle theta.  The file is checked as it is read,
// every count and index before it is stored or sizes an allocation: a value
// that does not fit the model record, a missing or non-numeric item, or more
// curves than the model has force maps ends the program with one line naming
// the file, what is wrong and where (exit status 1).  Nothing is fitted
// before all dump files are read, so no work is lost.
//
// Start with read_ascii_xy_data_dump; read_face and read_neighbors do the
// per-face work, read_dump_int and read_dump_double the per-item checks.
#include <sys/stat.h>

#include <cerrno>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "Mqmalloc.h"
#include "hybroid.h"

// Longest comment line skipped whole, "#" and line end included.
enum { COMMENT_LINE_SIZE = 80 };

void ignore_comment(FILE *fp, int sym) {
  char line[COMMENT_LINE_SIZE];
  for (;;) {
    int c;
    do c = getc(fp);
    while (c != EOF && isspace(c));
    if (c == EOF) return;
    ungetc(c, fp);
    if (c != sym) return;
    if (!fgets(line, sizeof line, fp)) return;  // reads at most 79 characters
  }
}

// ---------------------------------------------------------------------------
// Checked reading of dump items
// ---------------------------------------------------------------------------

enum {
  DUMP_TOKEN_SIZE = 64,            // longest number accepted, terminator included
  MAX_PIXEL_COORDINATE = 1000000,  // farther from the image is not image data
  BYTES_PER_POINT = 4,             // two numbers, each a digit and a separator
  MAX_STREAM_POINTS = 1000000      // bound for a face read from a pipe
};

namespace {
// One dump file being read: its stream, its name for messages and its size,
// which bounds every point count it may announce.
struct dump_file {
  FILE *fp;
  const char *name;
  long size;  // bytes, or -1 when the file is not a regular file
};
}  // namespace

// Line number (from 1) of the reading position, or 0 when it cannot be told.
static int current_line(FILE *fp) {
  long pos = ftell(fp);
  if (pos < 0 || fseek(fp, 0, SEEK_SET) != 0) return 0;
  int line = 1;
  for (long i = 0; i < pos; i++) {
    int c = getc(fp);
    if (c == EOF) break;
    if (c == '\n') line++;
  }
  return line;
}

// Ends the program with "<file>: malformed dump file: <what>, at line <n>".
[[noreturn]] static void refuse_dump(const dump_file *df, const char *fmt, ...) {
  char what[256];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(what, sizeof what, fmt, ap);
  va_end(ap);
  int line = current_line(df->fp);
  if (line > 0)
    fprintf(stderr, "%s: malformed dump file: %s, at line %d\n", df->name, what, line);
  else
    fprintf(stderr, "%s: malformed dump file: %s\n", df->name, what);
  exit(1);
}

// Reads one white-space delimited token (a "#" also ends it) into buf.
// Returns its length, or -1 when it does not fit.
static int read_token(FILE *fp, char *buf) {
  int len = 0, c;
  while ((c = getc(fp)) != EOF && !isspace(c) && c != '#') {
    if (len == DUMP_TOKEN_SIZE - 1) return -1;
    buf[len++] = (char)c;
  }
  if (c != EOF) ungetc(c, fp);
  buf[len] = '\0';
  return len;
}

// Converts a whole token to an int; returns 0 when it is not one.
static int parse_int(const char *tok, int len, int *value) {
  if (len <= 0) return 0;
  char *end;
  errno = 0;
  long v = strtol(tok, &end, 10);
  if (end != tok + len || errno == ERANGE || v < INT_MIN || v > INT_MAX) return 0;
  *value = (int)v;
  return 1;
}

// Converts a whole token to a finite double; returns 0 when it is not one.
static int parse_double(const char *tok, int len, double *value) {
  if (len <= 0) return 0;
  char *end;
  double v = strtod(tok, &end);
  if (end != tok + len || !std::isfinite(v)) return 0;
  *value = v;
  return 1;
}

// Reads the integer item described by fmt (with up to two int arguments);
// comments may precede it.
static int read_dump_int(const dump_file *df, const char *fmt, int a = 0, int b = 0) {
  char tok[DUMP_TOKEN_SIZE], item[128];
  int value;
  ignore_comment(df->fp, '#');
  if (parse_int(tok, read_token(df->fp, tok), &value)) return value;
  snprintf(item, sizeof item, fmt, a, b);
  refuse_dump(df, "%s is missing or not an integer", item);
}

// Reads a coordinate item; comments may precede it.
static double read_dump_double(const dump_file *df, const char *fmt, int a, int b) {
  char tok[DUMP_TOKEN_SIZE], item[128];
  double value;
  ignore_comment(df->fp, '#');
  int ok = parse_double(tok, read_token(df->fp, tok), &value);
  if (ok && fabs(value) <= MAX_PIXEL_COORDINATE) return value;
  snprintf(item, sizeof item, fmt, a, b);
  if (!ok) refuse_dump(df, "%s is missing or not a finite number", item);
  refuse_dump(df, "%s is %g pixels, beyond %d", item, value, (int)MAX_PIXEL_COORDINATE);
}

// ---------------------------------------------------------------------------
// Faces
// ---------------------------------------------------------------------------

// Most points the rest of the file can hold.
static long max_points_left(const dump_file *df) {
  if (df->size < 0) return MAX_STREAM_POINTS;
  long pos = ftell(df->fp);
  if (pos < 0) return MAX_STREAM_POINTS;
  return (df->size - pos) / BYTES_PER_POINT;
}

static int read_point_count(const dump_file *df, int f) {
  int n = read_dump_int(df, "number of points of face %d", f);
  if (n < -1) refuse_dump(df, "face %d has %d points (at least -1)", f, n);
  long room = max_points_left(df);
  if (n > room)
    refuse_dump(df, "face %d has %d points but the file can hold at most %ld more", f, n,
                room);
  return n;
}

// Image point (row r, column k) into the camera frame, rotated by theta
// in the image plane.
static void convert_point(const hybroid *h, double cos_t, double sin_t,
                          double strength, range_datapoint *p) {
  double r = p->position.y, k = p->position.x;
  double y = (h->y_dim - r - h->y_center) * h->y_scale;
  double x = (k - h->x_center) * h->x_scale;
  p->position.x = cos_t * x + sin_t * y;
  p->position.y = -sin_t * x + cos_t * y;
  p->position.z = -h->focal_length;
  p->strength_force = strength;
}

static void read_points(const dump_file *df, hybroid *h, int f, double strength) {
  Face *fc = &h->face[f];
  int n = fc->n_points;
  fc->points = n > 0 ? (range_datapoint *)Mqcalloc_checked(n, sizeof(range_datapoint))
                     : nullptr;
  for (int j = 0; j < n; j++)
    fc->points[j].position.y = read_dump_double(df, "row %d of face %d", j, f);
  for (int j = 0; j < n; j++)
    fc->points[j].position.x = read_dump_double(df, "column %d of face %d", j, f);
  double cos_t = cos(theta), sin_t = sin(theta);
  for (int j = 0; j < n; j++) convert_point(h, cos_t, sin_t, strength, &fc->points[j]);
}

// Reads the first (first = 1) or last point index of curve c of face f.
static int read_point_index(const dump_file *df, const Face *fc, int f, int c, int first) {
  const char *which = first ? "first" : "last";
  int i = first ? read_dump_int(df, "first point of curve %d of face %d", c, f)
                : read_dump_int(df, "last point of curve %d of face %d", c, f);
  if (first && i == -1) return i;  // an absent curve
  if (i < 0 || i >= fc->n_points)
    refuse_dump(df, "curve %d of face %d: %s point %d is outside the face's %d points", c, f,
                which, i, fc->n_points);
  return i;
}

// Reads the curve count and the curves of a present face; *seen counts the
// curves present so far in the file, each of which will need a force map.
static void read_curves(const dump_file *df, Face *fc, int f, int *seen) {
  int n = read_dump_int(df, "number of curves of face %d", f);
  if (n < 0 || n > MAX_CURVES)
    refuse_dump(df, "face %d has %d curves (%s)", f, n, n < 0 ? "at least 0" : "at most 5");
  fc->n_curve = n;
  for (int c = 0; c < n; c++) {
    int b = read_point_index(df, fc, f, c, 1);
    if (b == -1) continue;  // end stays -1, as marked
    if (++*seen > MAX_FORCE_MAPS)
      refuse_dump(df, "more than %d curves seen, the model has only %d force maps (curve %d "
                  "of face %d)", (int)MAX_FORCE_MAPS, (int)MAX_FORCE_MAPS, c, f);
    fc->begin[c] = b;
    fc->end[c] = read_point_index(df, fc, f, c, 0);
  }
}

static void read_face(const dump_file *df, hybroid *h, int f, double strength, int *seen) {
  Face *fc = &h->face[f];
  fc->n_points = read_point_count(df, f);
  if (fc->n_points == -1) return;
  read_points(df, h, f, strength);
  read_curves(df, fc, f, seen);
}

// Reads the four integers of one neighbour record; no comment may stand
// between them.
static void read_neighbor_record(const dump_file *df, int f, int c, int rec[4]) {
  char tok[DUMP_TOKEN_SIZE];
  for (int k = 0; k < 4; k++) {
    if (k == 0) ignore_comment(df->fp, '#');
    else {
      int ch;
      while ((ch = getc(df->fp)) != EOF && isspace(ch)) {}
      if (ch != EOF) ungetc(ch, df->fp);
    }
    if (!parse_int(tok, read_token(df->fp, tok), &rec[k]))
      refuse_dump(df, "neighbour record of curve %d of face %d is short or not numeric", c, f);
  }
}

static void read_neighbors(const dump_file *df, hybroid *h) {
  for (int f = 0; f < h->n_face; f++) {
    Face *fc = &h->face[f];
    if (fc->n_points == -1) continue;
    fc->n_neighbor = 0;
    for (int c = 0; c < fc->n_curve; c++) {
      int rec[4];
      read_neighbor_record(df, f, c, rec);
      fc->outline[c] = rec[2] == -1;
      if (rec[2] == -1) continue;
      // At most one neighbour per curve slot: the arrays cannot overflow.
      static_assert(MAX_NEIGHBORS >= MAX_CURVES, "one neighbour per curve slot");
      fc->neighbor_face[fc->n_neighbor] = rec[2];
      fc->neighbor_curve[fc->n_neighbor] = rec[3];
      fc->n_neighbor++;
    }
  }
}

// Every curve slot the file does not describe counts as absent, so that
// later tests of "curve c of face f is absent" never see a stale index.
static void mark_curves_absent(hybroid *h) {
  for (int f = 0; f < MAX_FACES; f++)
    for (int c = 0; c < MAX_CURVES; c++) h->face[f].begin[c] = h->face[f].end[c] = -1;
}

static long file_size(FILE *fp) {
  struct stat st;
  if (fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return (long)st.st_size;
}

void read_ascii_xy_data_dump(const char *filename, hybroid *h, double strength_data_force) {
  FILE *fp = fopen(filename, "r");
  if (!fp) {
    fprintf(stderr, "Input file %s can't be opened\n", filename);
    return;
  }
  dump_file df = {fp, filename, file_size(fp)};
  read_dump_int(&df, "number of primitives");
  h->primitive_label = read_dump_int(&df, "primitive label");
  int n_face = read_dump_int(&df, "number of faces");
  if (n_face < 0 || n_face > MAX_FACES)
    refuse_dump(&df, "%d faces (%s)", n_face, n_face < 0 ? "at least 0" : "at most 6");
  h->n_face = n_face;
  mark_curves_absent(h);
  int seen = 0;
  for (int f = 0; f < n_face; f++) read_face(&df, h, f, strength_data_force, &seen);
  read_neighbors(&df, h);
  fclose(fp);
}

// ---------------------------------------------------------------------------
// Damping coefficient file: eight values per model, no comments, no checks.
// ---------------------------------------------------------------------------

void read_damping_coeff(const char *file, hybroid **hs, int n) {
  FILE *fp = fopen(file, "r");
  if (!fp) {
    fprintf(stderr, "Cannot open %s\n", file);
    exit(-1);
  }
  fprintf(stderr, "Damping coefficient read from %s\n", file);
  for (int k = 0; k < n; k++) {
    hybroid *h = hs[k];
    int count = fscanf(fp, "%lf %lf %lf %lf %lf %lf %lf %lf", &h->c_inv_trans, &h->c_inv_rot,
                       &h->c_inv_rotz, &h->c_inv_a1, &h->c_inv_a2, &h->c_inv_a3,
                       &h->c_inv_tx, &h->c_inv_ty);
    fprintf(stderr, "Num of c factor read = %d\n", count);
    fprintf(stderr, "%lf %lf %lf %lf %lf %lf %lf %lf\n", h->c_inv_trans, h->c_inv_rot,
            h->c_inv_rotz, h->c_inv_a1, h->c_inv_a2, h->c_inv_a3, h->c_inv_tx, h->c_inv_ty);
  }
  fclose(fp);
}
