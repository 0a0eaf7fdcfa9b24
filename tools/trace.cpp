// trace.cpp -- traces a face-label image into the face and curve layout that
// hybsynth writes for a label (tools/synth.cpp), so that segmented images
// can be fitted by hybfit.
//
// Start with trace_label_image.  The steps, one function each:
//   1. map pixel values to faces (classify_pixels), refuse what is not a
//      label image for the options; fill the holes in the part (fill_holes)
//      and the thin gaps of background that annotations leave between faces
//      (close_gaps);
//   2. keep the largest 4-connected piece of every face (keep_largest_pieces),
//      filling the holes the dropped pieces leave;
//      a face that is only specks is not traced, but its specks still mark
//      the rim they lie along (drop_specks, span_speck);
//   3. trace each face's outer boundary along the pixel cracks, the face on
//      the right (trace_outline), noting which face lies across every crack;
//   4. orient it as hybsynth orients the face and cut it into the layout's
//      curves (cut_into_curves): where the face across changes, and, inside a
//      stretch against the background that holds several curves of the
//      layout (a rim and a silhouette, two box edges), where the outline
//      turns most (share_background, split_by_turning) -- a rim without
//      corners is not seen, two box edges without a corner take the lengths
//      of the opposite edges;
//   5. smooth each curve a little, resample it at the spacing and map it
//      into the dump's 256 x 256 pixel frame (store_face).
// The records are plain: outlines of crack corners with the face across
// each crack, curves of image points; the result is a synth_view, written
// by write_synth_contours like hybsynth's.
#include "trace.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <unordered_map>

#include "Mqmalloc.h"

static const double FRAME_SIZE = 256.0;    // the dump's image, pixels
static const double FRAME_CENTER = 128.0;  // its centre, on the optical axis
static const double SPECK_SHARE = 0.01;    // a face with less of the face pixels is a speck
static const int NEAR_HOLE = 3;            // pixels: outline stretches this close to an
                                           // enclosed cap are that cap's rim
static const int TURN_WINDOW = 3;          // fewest cracks either side when judging a turn
static const int TURN_WINDOW_DIVISOR = 10;  // window = stretch length / this, if longer
static const int SILHOUETTE_CHORD = 6;      // cracks: the chord giving a silhouette's direction
static const double RIM_REACH_SHARE = 0.12;  // a rim is carried on by at most this share of
                                             // its pixels' length
static const int RIM_FEWEST = 12;           // cracks: a shorter rim is not fitted an ellipse
static const int ELLIPSE_STEPS = 12;       // refinement steps of a rim's ellipse
static const double LEAST_RIM_ARC = 1.5;   // radians of its ellipse a rim spans to give its shape
static const double EDGE_ON_RATIO = 0.15;  // a flatter rim ellipse is seen edge on: its ends
                                           // are corners, not tangent points
static const double BLEND_OFF = 8.0;       // colour levels: a mixture of named colours lies
                                           // this close to one of their weighted sums
static const double BLEND_WEIGHT_SLACK = 0.05;  // a mixture's weight may fall this far below 0
static const int GAP_WIDTH = 2;            // pixels: a narrower gap between faces is closed
static const double HOLE_SHARE = 0.25;     // a larger hole in the part is background
static const double PI = 3.141592653589793;
static const size_t MAX_RIM_PATH = 4096;    // points a rim is carried on by, at most
static const double BAND_FIT_SHARE = 0.25;  // the share of a rim's length, either side of its
                                            // pixel end, whose band tells its tangent point
static const double BAND_FIT_OFF = 2.0;     // pixels: a thin band lies within this of the
                                            // rim's ellipse
static const int BAND_FIT_FEWEST = 8;       // band pixels that give the tangent point, at least
static const double BAND_SPECK_OFF = 1.0;  // pixels: a stray side pixel this close to a rim's
                                           // ellipse beyond its end is the band's last
static const double RING_TOLERANCE = 1.0;  // pixels: a cap outline this close to its rim's
                                           // ellipse all round is the whole rim ring,
static const double RING_BULGE = 0.1;      // unless it lies outside it by this on average
static const double SPECK_RIM_GROWTH = 3.0;  // a speck cap's rim is at most this many
                                            // times the stretch its specks span
static const double SPECK_SHOWN_AREA = 1.0;  // pixels of a crescent's area before its tip
                                            // shows a pixel
static const int CHORD_STEP = 3;           // corners: the chords that judge a rim's turning
static const double CORNER_RATIO = 3.0;     // a corner turns this much more than the
                                            // stretch's median (a smooth outline's
                                            // ends of a flat ellipse: under 2)

namespace {
struct corner {
  int r, c;  // pixel corner: row and column of the crack grid
};
struct outline {
  std::vector<corner> v;    // v[i] starts crack i, which ends at v[i + 1] (cyclic)
  std::vector<int> across;  // layout face across crack i, -1 for the background
};
struct point {
  double x, y;  // image column and row
};
struct curve {
  std::vector<point> pts;
  bool closed;
};
// A face's curves: how many, which face each runs along (-1: the background),
// and whether hybsynth runs round the face anticlockwise as seen (against
// the tracing's clockwise turn): the round faces 0 and 1 do.
struct face_layout {
  int n_curve;
  int along[4];
  bool reverse;
};
}  // namespace

//                                   curves  along          reverse
static const face_layout ROUND_LAYOUT[3] = {{1, {1}, true},
                                            {4, {2, -1, 0, -1}, true},
                                            {1, {1}, false}};
static const face_layout BOX_SIDE_0 = {4, {1, 4, -1, -1}, false};
static const face_layout BOX_SIDE_1 = {4, {0, -1, -1, 4}, false};
static const face_layout BOX_TOP = {4, {0, 1, -1, -1}, false};

static int label_faces(int label) { return label == 1 ? 5 : 3; }

// The layout of a face, or null for a face the label writes as not seen.
static const face_layout *layout_of(int label, int face) {
  if (label != 1) return face < 3 ? &ROUND_LAYOUT[face] : nullptr;
  if (face == 0) return &BOX_SIDE_0;
  if (face == 1) return &BOX_SIDE_1;
  if (face == 4) return &BOX_TOP;
  return nullptr;
}

static int fail(char *err, const char *fmt, int a = 0, int b = 0, int c = 0) {
  snprintf(err, LABEL_ERROR_SIZE, fmt, a, b, c);
  return 0;
}

void init_trace_options(trace_options *o) {
  memset(o, 0, sizeof *o);
  o->label = 5;
  o->spacing = 2.0;
  for (int f = 0; f < MAX_FACES; f++) o->face_value[f] = -1;
}

// ---------------------------------------------------------------------------
// 1, 2: faces of the pixels, one piece each
// ---------------------------------------------------------------------------

// The value that -F's entry e names in img: a number itself; a colour,
// in a colour image, its 0xRRGGBB, in a grey one its grey when red, green
// and blue are alike (else none, -1).
static long value_named(const label_image *img, int e) {
  if (e < 0 || !(e & FACE_COLOUR)) return e;
  long rgb = e & 0xffffff, r = rgb >> 16, g = rgb >> 8 & 0xff, b = rgb & 0xff;
  if (img->colour) return rgb;
  return r == g && g == b ? r : -1;
}

// The face of pixel value v (-1 background), or -2 when it names none.
static int face_of_colour(const label_image *img, const trace_options *o, uint32_t v) {
  if (v == 0) return -1;
  for (int f = 0; f < o->n_values; f++)
    if (value_named(img, o->face_value[f]) == (long)v) return f;
  return -2;
}

// The squared distance of colour p from the nearest mixture of the colours
// c[mix[0..n-1]] (n = 2 or 3) with weights w of sum 1, none below
// -BLEND_WEIGHT_SLACK (else HUGE_VAL).
static double mixture_off(const double c[][3], const int mix[3], int n, const double p[3],
                          double w[3]) {
  const double *o = c[mix[0]];
  double d[2][3], r[3], M[2][2] = {{0, 0}, {0, 0}}, b[2] = {0, 0}, x[2] = {0, 0};
  for (int k = 0; k < 3; k++) {
    r[k] = p[k] - o[k];
    for (int a = 0; a < n - 1; a++) d[a][k] = c[mix[a + 1]][k] - o[k];
  }
  for (int a = 0; a < n - 1; a++) {
    for (int k = 0; k < 3; k++) b[a] += d[a][k] * r[k];
    for (int e = 0; e < n - 1; e++)
      for (int k = 0; k < 3; k++) M[a][e] += d[a][k] * d[e][k];
  }
  if (n == 2) {
    if (!(M[0][0] > 0.0)) return HUGE_VAL;
    x[0] = b[0] / M[0][0];
  } else {
    double det = M[0][0] * M[1][1] - M[0][1] * M[1][0];
    if (!(fabs(det) > 1e-9 * M[0][0] * M[1][1])) return HUGE_VAL;
    x[0] = (b[0] * M[1][1] - b[1] * M[0][1]) / det;
    x[1] = (M[0][0] * b[1] - M[1][0] * b[0]) / det;
  }
  w[0] = 1.0 - x[0] - x[1];
  w[1] = x[0];
  w[2] = x[1];
  for (int a = 0; a < n; a++)
    if (w[a] < -BLEND_WEIGHT_SLACK) return HUGE_VAL;
  double off = 0.0;
  for (int k = 0; k < 3; k++) {
    double e = r[k] - x[0] * d[0][k] - (n == 3 ? x[1] * d[1][k] : 0.0);
    off += e * e;
  }
  return off;
}

// The face of colour v when it mixes two or three of the named colours (or
// the black background), as an anti-aliased mask draws the edges and
// corners where they meet: the one it holds most of, -1 for the
// background; -2 when v lies farther than BLEND_OFF from every such mixture.
static int blended_face(const trace_options *o, uint32_t v) {
  double c[MAX_FACES + 1][3], p[3] = {double(v >> 16), double(v >> 8 & 0xff), double(v & 0xff)};
  int of[MAX_FACES + 1], n = 0;
  for (int f = -1; f < o->n_values; f++) {
    int e = f < 0 ? FACE_COLOUR : o->face_value[f];
    if (e < 0) continue;
    for (int k = 0; k < 3; k++) c[n][k] = e >> (16 - 8 * k) & 0xff;
    of[n++] = f;
  }
  double best = BLEND_OFF * BLEND_OFF;
  int face = -2;
  for (int i = 0; i < n; i++)
    for (int j = i + 1; j < n; j++)
      for (int k = j + 1; k <= n; k++) {  // k == n: the pair i, j alone
        int mix[3] = {i, j, k};
        double w[3];
        double off = mixture_off(c, mix, k < n ? 3 : 2, p, w);
        if (!(off < best)) continue;
        best = off;
        int most = 0;
        for (int m = 1; m < (k < n ? 3 : 2); m++)
          if (w[m] > w[most]) most = m;
        face = of[mix[most]];
      }
  return face;
}

namespace {
struct colour_class {
  int face;    // as face_of_colour
  bool blend;  // a mixture, taken as the colour it holds most of
};
}  // namespace

// The face of each colour of a colour image, found once per colour.
static int colour_face(const label_image *img, const trace_options *o, uint32_t v,
                       std::unordered_map<uint32_t, colour_class> *known, long *blends) {
  auto at = known->find(v);
  if (at == known->end()) {
    colour_class c = {face_of_colour(img, o, v), false};
    if (c.face == -2 && !o->others_background) {
      c.face = blended_face(o, v);
      c.blend = c.face != -2;
    }
    at = known->emplace(v, c).first;
  }
  if (at->second.blend) ++*blends;
  return at->second.face;
}

// face[i] = face of pixel i, -1 for the background; *blends counts the
// pixels of a colour image taken as the colour of a mixture they hold most of.
static int classify_pixels(const label_image *img, const trace_options *o,
                           std::vector<signed char> *face, long *blends, char *err) {
  int n_face = label_faces(o->label);
  if (o->n_values > n_face)
    return fail(err, "more faces than label %d has: -F gives %d values, the label %d faces",
                o->label, o->n_values, n_face);
  bool colours_named = o->n_values > 0;
  for (int f = 0; f < o->n_values; f++)
    colours_named = colours_named && (o->face_value[f] < 0 || (o->face_value[f] & FACE_COLOUR));
  if (img->colour && !colours_named)
    return fail(err, "not a label image for these options: a colour image; give each face's "
                     "colour with -F #rrggbb,...");
  std::vector<signed char> of_value(img->colour ? 0 : 65536, -2);
  if (!img->colour) {
    of_value[0] = -1;
    if (o->n_values == 0)
      for (int v = 1; v <= n_face; v++) of_value[v] = (signed char)(v - 1);
    for (int f = 0; f < o->n_values; f++) {
      long v = value_named(img, o->face_value[f]);
      if (v >= 0 && v < 65536) of_value[v] = (signed char)f;
    }
  }
  face->resize(img->pixels.size());
  std::unordered_map<uint32_t, colour_class> known;
  *blends = 0;
  bool any = false;
  for (size_t i = 0; i < img->pixels.size(); i++) {
    uint32_t v = img->pixels[i];
    int f = img->colour ? colour_face(img, o, v, &known, blends) : v < 65536 ? of_value[v] : -2;
    if (f == -2 && o->others_background) f = -1;
    if (f == -2) {
      if (img->colour)
        return fail(err, "not a label image for these options: colour #%06x names no face", (int)v);
      if (o->n_values == 0 && v > (uint32_t)n_face)
        return fail(err, "more faces than label %d has: value %d would be face %d", o->label,
                    (int)v, (int)v - 1);
      return fail(err, "not a label image for these options: value %d names no face", (int)v);
    }
    (*face)[i] = (signed char)f;
    any = any || f >= 0;
  }
  if (!any) return fail(err, "empty: no pixel shows a face");
  return 1;
}

namespace {
struct pixel_box {
  int r0, r1, c0, c1;  // rows r0..r1, columns c0..c1; empty when r0 > r1
};
}  // namespace

// The rows and columns that hold face pixels, grown by a pixel within the
// image.  Filling gaps and holes adds face pixels only inside it, and
// dropping pieces takes them away, so it bounds the faces to the end.
static pixel_box faces_box(int width, int height, const std::vector<signed char> &f) {
  pixel_box b = {height, -1, width, -1};
  for (int r = 0; r < height; r++) {
    const signed char *row = &f[(size_t)r * width];
    int first = 0, last = width - 1;
    while (first < width && row[first] < 0) first++;
    if (first == width) continue;
    while (row[last] < 0) last--;
    b = {std::min(b.r0, r), r, std::min(b.c0, first), std::max(b.c1, last)};
  }
  if (b.r0 > b.r1) return b;
  return {std::max(0, b.r0 - 1), std::min(height - 1, b.r1 + 1), std::max(0, b.c0 - 1),
          std::min(width - 1, b.c1 + 1)};
}

// The four lines through a pixel: its row, its column, its two diagonals.
static const int AXIS_R[4] = {0, 1, 1, 1}, AXIS_C[4] = {1, 0, 1, -1};

// A background pixel in a gap at most GAP_WIDTH wide between face pixels,
// along its row or its column, or along a diagonal between two different
// faces (so that gaps along slanted edges close too), is not background:
// annotation tools and segmentations leave such gaps between adjoining
// faces.  It takes the nearer face, at equal distance the one more of its
// eight neighbours show (then the lower).  Decided on the image as given,
// then applied.
static long close_gaps(int width, int height, const pixel_box &b,
                       std::vector<signed char> *face) {
  const std::vector<signed char> &f = *face;
  auto at = [&](int r, int c) {
    return r < 0 || c < 0 || r >= height || c >= width ? -1 : f[(size_t)r * width + c];
  };
  std::vector<std::pair<size_t, signed char>> fills;
  for (int r = b.r0; r <= b.r1; r++)
    for (int c = b.c0; c <= b.c1; c++) {
      if (at(r, c) >= 0) continue;
      bool next_to_face = false;  // else no gap's edge
      for (int k = 0; k < 9 && !next_to_face; k++)
        next_to_face = at(r + k / 3 - 1, c + k % 3 - 1) >= 0;
      if (!next_to_face) continue;
      int best = -1, best_d = GAP_WIDTH + 1, best_n = -1;
      for (int axis = 0; axis < 4; axis++) {
        int dr = AXIS_R[axis], dc = AXIS_C[axis], d0 = 1, d1 = 1;
        while (d0 <= GAP_WIDTH && at(r - d0 * dr, c - d0 * dc) < 0) d0++;
        while (d1 <= GAP_WIDTH && at(r + d1 * dr, c + d1 * dc) < 0) d1++;
        if (d0 + d1 - 1 > GAP_WIDTH) continue;
        // along a diagonal, one face either side is a step of its outline
        if (axis >= 2 && at(r - d0 * dr, c - d0 * dc) == at(r + d1 * dr, c + d1 * dc)) continue;
        for (int side = 0; side < 2; side++) {
          int d = side ? d1 : d0, s = side ? 1 : -1;
          int g = at(r + s * d * dr, c + s * d * dc), n = 0;
          for (int k = 0; k < 9; k++) n += at(r + k / 3 - 1, c + k % 3 - 1) == g;
          if (d < best_d || (d == best_d && (n > best_n || (n == best_n && g < best))))
            best = g, best_d = d, best_n = n;
        }
      }
      if (best >= 0) fills.push_back({(size_t)r * width + c, (signed char)best});
    }
  for (const auto &p : fills) (*face)[p.first] = p.second;
  return (long)fills.size();
}

namespace {
// What fill_holes knows of a pixel of the faces' box.
enum hole_state : char { UNSEEN, OUTSIDE, HOLE, TO_FILL, QUEUED };
}  // namespace

// The faces grow into the hole pixels marked TO_FILL, from ring (those next
// to a face, QUEUED): each pixel of a ring takes the face most of its four
// neighbours show (then the lower), and the next ring is what it reaches.
static long grow_into_holes(int width, std::vector<signed char> *face,
                            std::vector<char> *state, std::vector<size_t> ring) {
  std::vector<signed char> &f = *face;
  long grown = 0;
  while (!ring.empty()) {
    std::vector<std::pair<size_t, signed char>> fills;
    for (size_t i : ring) {
      int count[MAX_FACES] = {0}, best = -1;
      for (size_t j : {i - 1, i + 1, i - width, i + width})
        if (f[j] >= 0) count[f[j]]++;
      for (int g = 0; g < MAX_FACES; g++)
        if (count[g] > 0 && (best < 0 || count[g] > count[best])) best = g;
      fills.push_back({i, (signed char)best});
    }
    ring.clear();
    grown += (long)fills.size();
    for (const auto &p : fills) f[p.first] = p.second;
    for (const auto &p : fills)
      for (size_t j : {p.first - 1, p.first + 1, p.first - width, p.first + width})
        if ((*state)[j] == TO_FILL) (*state)[j] = QUEUED, ring.push_back(j);
  }
  return grown;
}

// Background that no path of background joins to the image border is a hole
// in the part (an unlabelled spot of a segmentation, the place of a piece
// dropped from a face), when it is at most HOLE_SHARE of the part's pixels
// (a larger one is the background a ring-shaped part encloses): the faces
// around it grow into it (grow_into_holes).  With seen, a speck face's
// pixels stay (they mark a rim).  The background beyond the faces' box is
// outside, and so is all that joins the ring just beyond the box; a hole
// lies within the ring, so its pixels' neighbours are in the image.
static long fill_holes(int width, const pixel_box &b, std::vector<signed char> *face,
                       const std::vector<signed char> *seen = nullptr,
                       const bool *speck = nullptr) {
  std::vector<signed char> &f = *face;
  std::vector<char> state(f.size(), UNSEEN);
  std::vector<size_t> todo, hole, ring;
  // marks the background joined to from; collects it into hole while it
  // holds at most `most` pixels (a larger hole is kept: no need to hold it)
  auto flood = [&](size_t from, char mark, size_t most) {
    state[from] = mark;
    todo.assign(1, from);
    bool small = most > 0;
    hole.clear();
    if (small) hole.push_back(from);
    while (!todo.empty()) {
      size_t i = todo.back();
      todo.pop_back();
      int r = (int)(i / width), c = (int)(i % width);
      const int nr[4] = {r, r, r - 1, r + 1}, nc[4] = {c - 1, c + 1, c, c};
      for (int k = 0; k < 4; k++) {
        if (nr[k] < b.r0 || nc[k] < b.c0 || nr[k] > b.r1 || nc[k] > b.c1) continue;
        size_t j = (size_t)nr[k] * width + nc[k];
        if (f[j] >= 0 || state[j] != UNSEEN) continue;
        state[j] = mark;
        todo.push_back(j);
        if (small && hole.size() == most) small = false, hole.clear();
        if (small) hole.push_back(j);
      }
    }
    return small;
  };
  long part = 0;
  for (int r = b.r0; r <= b.r1; r++)
    for (int c = b.c0; c <= b.c1; c++) {
      size_t i = (size_t)r * width + c;
      part += f[i] >= 0;
      bool edge = r == b.r0 || r == b.r1 || c == b.c0 || c == b.c1;
      if (edge && f[i] < 0 && state[i] == UNSEEN) flood(i, OUTSIDE, 0);
    }
  size_t most = (size_t)(HOLE_SHARE * part);
  for (int r = b.r0; r <= b.r1; r++)
    for (int c = b.c0; c <= b.c1; c++) {
      size_t i = (size_t)r * width + c;
      if (f[i] >= 0 || state[i] != UNSEEN || !flood(i, HOLE, most)) continue;
      for (size_t j : hole)
        if (!(seen && (*seen)[j] >= 0 && speck[(*seen)[j]])) state[j] = TO_FILL;
      for (size_t j : hole)
        if (state[j] == TO_FILL &&
            (f[j - 1] >= 0 || f[j + 1] >= 0 || f[j - width] >= 0 || f[j + width] >= 0))
          state[j] = QUEUED, ring.push_back(j);
    }
  return grow_into_holes(width, face, &state, ring);
}

static int find_root(std::vector<int> &parent, int i) {
  while (parent[i] != i) i = parent[i] = parent[parent[i]];
  return i;
}

// A face whose kept piece is a speck beside the others (a few pixels of a
// cap peeking out at the silhouette) has no outline worth a curve: it
// becomes background, with a warning.
static void drop_specks(const int best[], const std::vector<int> &size,
                        std::vector<signed char> *face, bool speck[], trace_report *report) {
  long total = 0;
  for (int f = 0; f < MAX_FACES; f++)
    if (best[f] >= 0) total += size[best[f]];
  char line[160];
  for (int f = 0; f < MAX_FACES; f++)
    if ((speck[f] = best[f] >= 0 && size[best[f]] < SPECK_SHARE * total)) {
      speck[f] = true;
      snprintf(line, sizeof line, "face %d shows only %d pixels; it is left out", f,
               size[best[f]]);
      report->warnings.push_back(line);
    }
  for (signed char &f : *face)
    if (f >= 0 && speck[f]) f = -1;
}

// Every face keeps its largest 4-connected piece; the others become
// background, with a warning.
static void keep_largest_pieces(int width, std::vector<signed char> *face, bool speck[],
                                trace_report *report) {
  size_t n = face->size();
  std::vector<int> parent(n);
  for (size_t i = 0; i < n; i++) {
    parent[i] = (int)i;
    int f = (*face)[i];
    if (f < 0) continue;
    int x = (int)(i % width);
    if (x > 0 && (*face)[i - 1] == f) parent[i] = find_root(parent, (int)i - 1);
    if (i >= (size_t)width && (*face)[i - width] == f) {
      int a = find_root(parent, (int)i), b = find_root(parent, (int)(i - width));
      if (a != b) parent[std::max(a, b)] = std::min(a, b);
    }
  }
  std::vector<int> size(n, 0);
  for (size_t i = 0; i < n; i++)
    if ((*face)[i] >= 0) size[find_root(parent, (int)i)]++;
  int best[MAX_FACES], pieces[MAX_FACES] = {0};
  for (int f = 0; f < MAX_FACES; f++) best[f] = -1;
  for (size_t i = 0; i < n; i++) {
    int f = (*face)[i];
    if (f < 0 || parent[i] != (int)i) continue;
    pieces[f]++;
    if (best[f] < 0 || size[i] > size[best[f]]) best[f] = (int)i;
  }
  for (size_t i = 0; i < n; i++) {
    int f = (*face)[i];
    if (f >= 0 && pieces[f] > 1 && find_root(parent, (int)i) != best[f]) (*face)[i] = -1;
  }
  char line[160];
  for (int f = 0; f < MAX_FACES; f++)
    if (pieces[f] > 1) {
      snprintf(line, sizeof line, "face %d is split into %d regions; the largest (%d pixels) is kept",
               f, pieces[f], size[best[f]]);
      report->warnings.push_back(line);
    }
  drop_specks(best, size, face, speck, report);
}

static void warn_border(int width, int height, const std::vector<signed char> &face,
                        trace_report *report) {
  bool touches[MAX_FACES] = {false};
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) {
      if (y > 0 && y < height - 1 && x == 1) x = width - 1;
      int f = face[(size_t)y * width + x];
      if (f >= 0) touches[f] = true;
    }
  char line[160];
  for (int f = 0; f < MAX_FACES; f++)
    if (touches[f]) {
      snprintf(line, sizeof line,
               "face %d touches the image border: its outline there is the border's", f);
      report->warnings.push_back(line);
    }
}

// ---------------------------------------------------------------------------
// 3: outlines
// ---------------------------------------------------------------------------

// Headings east, south, west, north (screen: rows grow downwards); a right
// turn adds 1.  For a heading, the pixel ahead on the right and on the left
// of a corner, as offsets of their top-left corners.
static const int STEP_R[4] = {0, 1, 0, -1}, STEP_C[4] = {1, 0, -1, 0};
static const int RIGHT_R[4] = {0, 0, -1, -1}, RIGHT_C[4] = {0, -1, -1, 0};
static const int LEFT_R[4] = {-1, 0, 0, -1}, LEFT_C[4] = {0, 0, -1, -1};

namespace {
struct face_grid {
  int width, height;
  const std::vector<signed char> *face;  // the kept piece of every face
  const std::vector<signed char> *seen;  // every pixel's face, specks included
  const bool *speck;                     // faces that are only specks
  int at(int r, int c) const {
    if (r < 0 || c < 0 || r >= height || c >= width) return -1;
    return (*face)[(size_t)r * width + c];
  }
  int speck_at(int r, int c) const {
    if (r < 0 || c < 0 || r >= height || c >= width) return -1;
    int s = (*seen)[(size_t)r * width + c];
    return s >= 0 && speck[s] ? s : -1;
  }
  // The face across a crack: a kept piece, or a speck face's pixel.
  int across_at(int r, int c) const {
    int f = at(r, c);
    return f >= 0 ? f : speck_at(r, c);
  }
};
}  // namespace

// The outer boundary of face f's one piece, which starts at pixel first (the
// first in raster order): cracks with the face on the right, clockwise as
// seen.  across holds the face on the other side (-1 for the background);
// a speck face's pixel counts there also one pixel farther out, since a thin
// crescent of it is often cut off from the face by a pixel of background.
static outline trace_outline(const face_grid &g, int f, int first) {
  outline o;
  corner start = {first / g.width, first % g.width}, p = start;
  int d = 0;
  do {
    int lr = p.r + LEFT_R[d], lc = p.c + LEFT_C[d], out = (d + 3) % 4;
    int other = g.across_at(lr, lc);
    if (other < 0) other = g.speck_at(lr + STEP_R[out], lc + STEP_C[out]);
    o.v.push_back(p);
    o.across.push_back(other);
    p.r += STEP_R[d];
    p.c += STEP_C[d];
    bool right = g.at(p.r + RIGHT_R[d], p.c + RIGHT_C[d]) == f;
    bool left = g.at(p.r + LEFT_R[d], p.c + LEFT_C[d]) == f;
    if (!right) d = (d + 1) % 4;
    else if (left) d = (d + 3) % 4;
  } while (!(p.r == start.r && p.c == start.c && d == 0));
  return o;
}

static void reverse_outline(outline *o) {
  size_t n = o->v.size();
  outline r;
  for (size_t k = 0; k < n; k++) {
    r.v.push_back(o->v[(n - k) % n]);
    r.across.push_back(o->across[(2 * n - k - 1) % n]);
  }
  *o = r;
}

// ---------------------------------------------------------------------------
// 4: curves
// ---------------------------------------------------------------------------

namespace {
struct run {
  int first, count;  // cracks first .. first + count - 1 (cyclic)
  int across;
};
}  // namespace

static point corner_point(const outline &o, int i) {
  const corner &c = o.v[((i % (int)o.v.size()) + o.v.size()) % o.v.size()];
  return {(double)c.c, (double)c.r};
}

// A speck face (a cap seen as a thin crescent of scattered pixels along its
// rim) runs along the outline from its first stretch to its last, the
// largest gap between them left out, unless another face lies between.
static void span_speck(outline *o, const std::vector<run> &runs, int f) {
  int n = (int)o->v.size(), m = (int)runs.size();
  std::vector<int> mine;
  for (int j = 0; j < m; j++)
    if (runs[j].across == f) mine.push_back(j);
  if (mine.size() < 2) return;
  int widest = -1, after = 0;
  for (size_t k = 0; k < mine.size(); k++) {
    const run &a = runs[mine[k]], &b = runs[mine[(k + 1) % mine.size()]];
    int gap = ((b.first - (a.first + a.count)) % n + n) % n;
    if (gap > widest) widest = gap, after = mine[(k + 1) % mine.size()];
  }
  int last = mine[(std::find(mine.begin(), mine.end(), after) - mine.begin() + mine.size() - 1) %
                  mine.size()];
  for (int j = after; j != last; j = (j + 1) % m)
    if (runs[j].across >= 0 && runs[j].across != f) return;
  int from = runs[after].first, to = runs[last].first + runs[last].count;
  for (int i = from; i != to % n; i = (i + 1) % n) o->across[i] = f;
}

// Maximal stretches of cracks with one face across.  A speck face spans its
// stretches; any other face that shows up in several keeps its longest, the
// others count as background.
static std::vector<run> find_runs(outline *o, const bool speck[]) {
  int n = (int)o->v.size();
  for (int pass = 0; pass < 2; pass++) {
    std::vector<run> runs;
    int start = 0;
    while (start < n && o->across[start] == o->across[(start + n - 1) % n]) start++;
    if (start == n) return {{0, n, o->across[0]}};
    for (int k = 0; k < n;) {
      int i = (start + k) % n, len = 1;
      while (k + len < n && o->across[(start + k + len) % n] == o->across[i]) len++;
      runs.push_back({i, len, o->across[i]});
      k += len;
    }
    if (pass == 1) return runs;
    for (int f = 0; f < MAX_FACES; f++)
      if (speck[f]) span_speck(o, runs, f);
    int longest[MAX_FACES] = {0};
    for (const run &r : runs)
      if (r.across >= 0 && !speck[r.across]) longest[r.across] = std::max(longest[r.across], r.count);
    for (const run &r : runs)
      if (r.across >= 0 && !speck[r.across] && r.count < longest[r.across])
        for (int k = 0; k < r.count; k++) o->across[(r.first + k) % n] = -1;
  }
  return {};
}

static int turn_window(int count) { return std::max(TURN_WINDOW, count / TURN_WINDOW_DIVISOR); }

// Turning of the outline at crack corner i, judged over w cracks each side:
// the angle between the chords before and after it.
static double turning(const outline &o, int i, int w) {
  point a = corner_point(o, i - w), b = corner_point(o, i), c = corner_point(o, i + w);
  double ux = b.x - a.x, uy = b.y - a.y, vx = c.x - b.x, vy = c.y - b.y;
  return fabs(atan2(ux * vy - uy * vx, ux * vx + uy * vy));
}

// Cuts the stretch of cracks first .. first + count (cyclic) into pieces:
// returns the cut corners, count of them, in order, at the corners where
// the outline turns most (greedily, each at least a window from the others
// and from the ends, unless closed); evenly where the stretch is too short.
static std::vector<int> split_by_turning(const outline &o, int first, int count, int cuts,
                                         bool closed) {
  int w = turn_window(count);
  std::vector<std::pair<double, int>> score;
  int lo = closed ? 0 : w, hi = closed ? count - 1 : count - w;
  for (int k = lo; k <= hi; k++) score.push_back({turning(o, first + k, w), k});
  std::sort(score.begin(), score.end(), [](const std::pair<double, int> &a, const std::pair<double, int> &b) {
    return a.first > b.first || (a.first == b.first && a.second < b.second);
  });
  std::vector<int> chosen;
  for (const auto &s : score) {
    if ((int)chosen.size() == cuts) break;
    bool apart = true;
    for (int c : chosen) {
      int d = abs(c - s.second);
      if (closed) d = std::min(d, count - d);
      apart = apart && d >= w;
    }
    if (apart) chosen.push_back(s.second);
  }
  if ((int)chosen.size() < cuts) {
    chosen.clear();
    for (int k = 1; k <= cuts; k++) chosen.push_back(count * k / (cuts + (closed ? 0 : 1)));
  }
  std::sort(chosen.begin(), chosen.end());
  for (int &c : chosen) c = first + c;
  return chosen;
}

// The corners from crack first up to corner last (cyclic, last > first).
static curve corners_between(const outline &o, int first, int last) {
  curve c = {{}, false};
  for (int i = first; i <= last; i++) c.pts.push_back(corner_point(o, i));
  return c;
}

static curve whole_outline(const outline &o) {
  curve c = corners_between(o, 0, (int)o.v.size() - 1);
  c.closed = true;
  return c;
}

// Whether the turning at every cut stands out from the stretch's median
// turning: a corner of the outline, not a smooth bend.
static bool cuts_are_corners(const outline &o, int first, int count, const std::vector<int> &cuts) {
  int w = turn_window(count);
  std::vector<double> t;
  for (int k = w; k <= count - w; k++) t.push_back(turning(o, first + k, w));
  if (t.empty()) return false;
  std::nth_element(t.begin(), t.begin() + t.size() / 2, t.end());
  double median = t[t.size() / 2];
  for (int c : cuts)
    if (turning(o, c, w) < CORNER_RATIO * median) return false;
  return true;
}

// The corner of most turning within a fifth of the stretch from its crack
// guess (the box corner the opposite edges' lengths point to).
static int turn_near(const outline &o, int first, int count, int guess) {
  int w = turn_window(count);
  int reach = count / 5, best = guess;
  double most = -1.0;
  for (int k = std::max(1, guess - reach); k <= std::min(count - 1, guess + reach); k++) {
    double t = turning(o, first + k, std::min(w, std::min(k, count - k)));
    if (t > most) most = t, best = k;
  }
  return first + best;
}

namespace {
// Cracks first .. first + count along the background, for the layout's
// consecutive curves slots[0 .. n-1].
struct background_stretch {
  int first, count;
  int slots[4];
  int n;
};
}  // namespace

// Gives a background stretch to its curves, split where the outline turns
// most.  A rim between two silhouettes (the side of a round label) that
// meets them without a corner is not seen: the two silhouettes share the
// stretch.  Two box edges that meet without a corner share it as the
// opposite edges of the face do, when those are known.
static void share_background(const outline &o, const background_stretch &b, bool round,
                             curve out[4], bool present[4]) {
  std::vector<int> cuts = split_by_turning(o, b.first, b.count, b.n - 1, false);
  bool corners = cuts_are_corners(o, b.first, b.count, cuts);
  int opposite0 = (b.slots[0] + 2) % 4, opposite1 = (b.slots[b.n - 1] + 2) % 4;
  if (round && b.n == 3 && !corners) {
    out[b.slots[0]] = corners_between(o, b.first, b.first + b.count / 2);
    out[b.slots[2]] = corners_between(o, b.first + b.count / 2, b.first + b.count);
    present[b.slots[0]] = present[b.slots[2]] = true;
    return;
  }
  if (!round && b.n == 2 && present[opposite0] && present[opposite1]) {
    double l0 = (double)out[opposite0].pts.size(), l1 = (double)out[opposite1].pts.size();
    int guess = (int)lround(b.count * l0 / (l0 + l1));
    cuts[0] = b.first + guess;
    if (corners) cuts[0] = turn_near(o, b.first, b.count, guess);
  }
  int from = b.first;
  for (int k = 0; k < b.n; k++) {
    int to = k + 1 < b.n ? cuts[k] : b.first + b.count;
    out[b.slots[k]] = corners_between(o, from, to);
    present[b.slots[k]] = true;
    from = to;
  }
}

// A face whose outline runs only along the background: cut at the four
// corners where it turns most; curve 0 is the piece lowest in the image.
static void cut_closed_background(const outline &o, const face_layout &L, curve out[4],
                                  bool present[4]) {
  int n = (int)o.v.size();
  std::vector<int> cuts = split_by_turning(o, 0, n, L.n_curve, true);
  int lowest = 0;
  double lowest_row = -1.0;
  for (int k = 0; k < L.n_curve; k++) {
    int from = cuts[k], to = k + 1 < L.n_curve ? cuts[k + 1] : cuts[0] + n;
    curve c = corners_between(o, from, to);
    double row = 0.0;
    for (const point &p : c.pts) row += p.y / c.pts.size();
    if (row > lowest_row) lowest_row = row, lowest = k;
    out[k] = c;
  }
  std::rotate(out, out + lowest, out + L.n_curve);
  for (int k = 0; k < L.n_curve; k++) present[k] = true;
}

// Matches the stretches of the outline to the layout's curves in order,
// starting from a stretch along another face.
static void cut_into_curves(outline *o, const face_layout &L, const bool face_present[],
                            const bool speck[], curve out[4], bool present[4]) {
  for (int k = 0; k < 4; k++) present[k] = false;
  int along[4];
  for (int k = 0; k < 4; k++)
    along[k] = k < L.n_curve && L.along[k] >= 0 && (face_present[L.along[k]] || speck[L.along[k]])
                   ? L.along[k]
                   : -1;
  for (int &a : o->across)  // a face no curve runs along counts as background
    if (a >= 0 && a != along[0] && a != along[1] && a != along[2] && a != along[3]) a = -1;
  std::vector<run> runs = find_runs(o, speck);
  if (L.n_curve == 1) {  // a cap: its rim is the stretch along the side
    for (const run &r : runs)
      if (r.across == L.along[0]) {
        out[0] = corners_between(*o, r.first, r.first + r.count);
        present[0] = true;
      }
    if (!present[0]) out[0] = whole_outline(*o), present[0] = true;
    return;
  }
  size_t anchor = 0;
  while (anchor < runs.size() && runs[anchor].across < 0) anchor++;
  if (anchor == runs.size()) return cut_closed_background(*o, L, out, present);
  int slot = 0;
  while (along[slot] != runs[anchor].across) slot++;
  int used = 0;  // layout slots passed, from the anchor's
  std::vector<background_stretch> stretches;
  for (size_t k = 0; k < runs.size() && used < 4; k++) {
    const run &r = runs[(anchor + k) % runs.size()];
    if (r.across >= 0) {
      int skip = 0;
      while (used + skip < 4 && along[(slot + used + skip) % 4] != r.across) skip++;
      if (used + skip == 4) continue;  // a face the layout has met already
      used += skip;
      int s = (slot + used) % 4;
      out[s] = corners_between(*o, r.first, r.first + r.count);
      present[s] = true;
      used++;
      continue;
    }
    background_stretch b = {r.first, r.count, {0, 0, 0, 0}, 0};
    while (used + b.n < 4 && along[(slot + used + b.n) % 4] < 0)
      b.slots[b.n] = (slot + used + b.n) % 4, b.n++;
    if (b.n == 0) continue;  // background the layout has no curve for
    stretches.push_back(b);
    used += b.n;
  }
  for (const background_stretch &b : stretches)  // after the face stretches: their lengths
    share_background(*o, b, &L == &ROUND_LAYOUT[1], out, present);
}

// ---------------------------------------------------------------------------
// 5: points
// ---------------------------------------------------------------------------

// The curve's points after passes 1-2-1 smoothings (the ends of an open
// curve stay).
static std::vector<point> smoothed(const curve &c, int passes) {
  size_t n = c.pts.size();
  std::vector<point> s(c.pts), t(n);
  for (int pass = 0; pass < passes; pass++) {
    for (size_t i = 0; i < n; i++) {
      t[i] = s[i];
      if (!c.closed && (i == 0 || i + 1 == n)) continue;
      const point &a = s[(i + n - 1) % n], &b = s[i], &d = s[(i + 1) % n];
      t[i] = {(a.x + 2 * b.x + d.x) / 4, (a.y + 2 * b.y + d.y) / 4};
    }
    s.swap(t);
  }
  return s;
}

// One 1-2-1 smoothing of the crack corners (the ends of an open curve stay),
// then points spacing apart along it, both ends of an open curve kept.
static std::vector<point> resample_curve(const curve &c, double spacing) {
  std::vector<point> s = smoothed(c, 1);
  if (c.closed) s.push_back(s[0]);
  std::vector<double> at(1, 0.0);
  for (size_t i = 1; i < s.size(); i++)
    at.push_back(at.back() + hypot(s[i].x - s[i - 1].x, s[i].y - s[i - 1].y));
  double len = at.back();
  int pieces = std::max(c.closed ? 3 : 1, (int)lround(len / spacing));
  std::vector<point> out;
  size_t seg = 1;
  for (int k = 0; k <= pieces - (c.closed ? 1 : 0); k++) {
    double t = len * k / pieces;
    while (seg + 1 < s.size() && at[seg] < t) seg++;
    double span = at[seg] - at[seg - 1];
    double w = span > 0.0 ? (t - at[seg - 1]) / span : 0.0;
    out.push_back({s[seg - 1].x + w * (s[seg].x - s[seg - 1].x),
                   s[seg - 1].y + w * (s[seg].y - s[seg - 1].y)});
  }
  return out;
}

namespace {
struct frame_map {
  double scale, center_row, center_col;
};
}  // namespace

// Appends a face's curves, as dump pixels, to its slot of the view.
static void store_face(const curve out[4], const bool present[4], int n_curve,
                       const frame_map &m, double spacing, synth_face *f) {
  std::vector<point> all;
  f->n_curve = n_curve;
  for (int k = 0; k < n_curve; k++) {
    f->begin[k] = f->end[k] = -1;
    if (!present[k] || out[k].pts.size() < 2) continue;
    std::vector<point> pts = resample_curve(out[k], spacing / m.scale);
    f->begin[k] = (int)all.size();
    all.insert(all.end(), pts.begin(), pts.end());
    f->end[k] = (int)all.size() - 1;
  }
  if (all.empty()) {
    f->n_points = -1;
    return;
  }
  f->n_points = (int)all.size();
  f->row = (double *)Mqcalloc_checked(all.size(), sizeof(double));
  f->col = (double *)Mqcalloc_checked(all.size(), sizeof(double));
  for (size_t j = 0; j < all.size(); j++) {
    f->row[j] = FRAME_CENTER + (all[j].y - m.center_row) * m.scale;
    f->col[j] = FRAME_CENTER + (all[j].x - m.center_col) * m.scale;
  }
}

// ---------------------------------------------------------------------------
// Rim ends
// ---------------------------------------------------------------------------
//
// A rim meets the silhouette tangentially: the band of one face between the
// rim and the background thins towards the rim's true end, and its last
// stretch, under about half a pixel wide, shows no pixel.  The rim's pixels
// so end short of the true end -- by a few pixels, the ends that tell the
// rim ellipse's long axis.  A rim is a circle of the model, an ellipse in
// the image: fitted to the rim's pixels, the ellipse is followed on from the
// pixel end to the point where the silhouette leaving that end would touch
// it.  The rim's curves (the cap's and the side's) and the silhouettes that
// end there are carried on to it.  A rim seen edge on (a straight line) meets
// the silhouettes at corners and keeps its pixel ends, as does a rim whose
// end lies farther off than a lost band explains (a cap bulging over the far
// rim hides the rim, it does not end it).

namespace {
// The outline corners from a rim's pixel end (first) to its estimated end.
struct rim_end {
  bool found;
  std::vector<point> path;
};
// An ellipse: centre, unit axes and semi-axes.
struct ellipse {
  point c, u, v;
  double a, b;
};
}  // namespace

// Solves the n x n system M x = r (M row-major, n <= 5) by elimination with
// partial pivoting; false when singular.
static bool solve_small(double M[5][5], double r[5], int n, double x[5]) {
  for (int k = 0; k < n; k++) {
    int p = k;
    for (int i = k + 1; i < n; i++)
      if (fabs(M[i][k]) > fabs(M[p][k])) p = i;
    if (fabs(M[p][k]) < 1e-12) return false;
    std::swap(M[p], M[k]);
    std::swap(r[p], r[k]);
    for (int i = k + 1; i < n; i++) {
      double f = M[i][k] / M[k][k];
      for (int j = k; j < n; j++) M[i][j] -= f * M[k][j];
      r[i] -= f * r[k];
    }
  }
  for (int k = n - 1; k >= 0; k--) {
    double t = r[k];
    for (int j = k + 1; j < n; j++) t -= M[k][j] * x[j];
    x[k] = t / M[k][k];
  }
  return true;
}

// The conic A x^2 + B xy + C y^2 + D x + E y + F = 0 with A + C = 1 nearest
// the points (least squares, about their centroid), as an ellipse; false
// when the points do not lie on one.
static bool fit_ellipse(const std::vector<point> &pts, ellipse *e) {
  double mx = 0, my = 0, M[5][5] = {{0}}, r[5] = {0}, q[5];
  for (const point &p : pts) mx += p.x / pts.size(), my += p.y / pts.size();
  for (const point &p : pts) {
    double x = p.x - mx, y = p.y - my, row[5] = {x * x - y * y, x * y, x, y, 1.0};
    for (int i = 0; i < 5; i++) {
      for (int j = 0; j < 5; j++) M[i][j] += row[i] * row[j];
      r[i] -= row[i] * y * y;
    }
  }
  if (!solve_small(M, r, 5, q)) return false;
  double A = q[0], B = q[1], C = 1.0 - A, D = q[2], E = q[3], F = q[4];
  double det = 4 * A * C - B * B;
  if (det <= 0.0) return false;
  double cx = (B * E - 2 * C * D) / det, cy = (B * D - 2 * A * E) / det;
  double F0 = F + 0.5 * (D * cx + E * cy);
  double th = 0.5 * atan2(B, A - C), co = cos(th), si = sin(th);
  double l1 = A * co * co + B * si * co + C * si * si, l2 = A * si * si - B * si * co + C * co * co;
  if (-F0 / l1 <= 0.0 || -F0 / l2 <= 0.0) return false;
  *e = {{cx + mx, cy + my}, {co, si}, {-si, co}, sqrt(-F0 / l1), sqrt(-F0 / l2)};
  return true;
}

// The circle x^2 + y^2 + D x + E y + F = 0 nearest the points (least
// squares): a start for a rim too short for the conic.
static bool fit_circle(const std::vector<point> &pts, ellipse *e) {
  double mx = 0, my = 0, M[5][5] = {{0}}, r[5] = {0}, q[5];
  for (const point &p : pts) mx += p.x / pts.size(), my += p.y / pts.size();
  for (const point &p : pts) {
    double x = p.x - mx, y = p.y - my, row[3] = {x, y, 1.0};
    for (int i = 0; i < 3; i++) {
      for (int j = 0; j < 3; j++) M[i][j] += row[i] * row[j];
      r[i] -= row[i] * (x * x + y * y);
    }
  }
  if (!solve_small(M, r, 3, q)) return false;
  double cx = -q[0] / 2, cy = -q[1] / 2, rr = cx * cx + cy * cy - q[2];
  if (rr <= 0.0) return false;
  *e = {{cx + mx, cy + my}, {1.0, 0.0}, {0.0, 1.0}, sqrt(rr), sqrt(rr)};
  return true;
}

// Distance of p from ellipse (cx, cy, a, b, angle q[4]), to first order.
static double ellipse_residual(const double q[5], point p) {
  double co = cos(q[4]), si = sin(q[4]), dx = p.x - q[0], dy = p.y - q[1];
  double X = dx * co + dy * si, Y = -dx * si + dy * co;
  double f = X * X / (q[2] * q[2]) + Y * Y / (q[3] * q[3]) - 1.0;
  double gx = 2 * X / (q[2] * q[2]), gy = 2 * Y / (q[3] * q[3]);
  return f / std::max(hypot(gx, gy), 1e-12);
}

// The ellipse's parameters (cx, cy, a, b, angle) from the n free ones: all
// five, or with the shape of `shape` kept, the centre and the size (3).
static void full_parameters(const double *free, int n, const ellipse &shape, double q[5]) {
  for (int k = 0; k < n; k++) q[k] = free[k];
  if (n == 5) return;
  q[3] = free[2] * shape.b / shape.a;
  q[4] = atan2(shape.u.y, shape.u.x);
}

// Refines the ellipse to the least sum of squared distances of the points
// (damped Gauss-Newton steps), since the algebraic fit of a half ellipse's
// arc comes out too small; with keep_shape only its centre and size, the
// shape of `shape` kept.  False when it runs off.
static bool refine_ellipse(const std::vector<point> &pts, bool keep_shape, const ellipse &shape,
                           ellipse *e) {
  int n = keep_shape ? 3 : 5;
  double x[5] = {e->c.x, e->c.y, e->a, e->b, atan2(e->u.y, e->u.x)}, q[5];
  for (int iter = 0; iter < ELLIPSE_STEPS; iter++) {
    double M[5][5] = {{0}}, r[5] = {0}, step[5];
    for (const point &p : pts) {
      full_parameters(x, n, shape, q);
      double f = ellipse_residual(q, p), J[5];
      for (int k = 0; k < n; k++) {
        double h = 1e-6 * std::max(1.0, fabs(x[k])), save = x[k];
        x[k] = save + h;
        full_parameters(x, n, shape, q);
        J[k] = (ellipse_residual(q, p) - f) / h;
        x[k] = save;
      }
      for (int i = 0; i < n; i++) {
        for (int j = 0; j < n; j++) M[i][j] += J[i] * J[j];
        r[i] -= J[i] * f;
      }
    }
    for (int i = 0; i < n; i++) M[i][i] = M[i][i] * 1.001 + 1e-6;
    if (!solve_small(M, r, n, step)) return false;
    for (int k = 0; k < n; k++) x[k] += step[k];
    full_parameters(x, n, shape, q);
    if (!(q[2] > 0.0 && q[3] > 0.0)) return false;
  }
  double co = cos(q[4]), si = sin(q[4]);
  *e = {{q[0], q[1]}, {co, si}, {-si, co}, q[2], q[3]};
  return std::isfinite(q[0] + q[1] + q[2] + q[3] + q[4]);
}

static point ellipse_point(const ellipse &e, double t) {
  double x = e.a * cos(t), y = e.b * sin(t);
  return {e.c.x + x * e.u.x + y * e.v.x, e.c.y + x * e.u.y + y * e.v.y};
}

static double ellipse_angle(const ellipse &e, point p) {
  double dx = p.x - e.c.x, dy = p.y - e.c.y;
  return atan2((dx * e.v.x + dy * e.v.y) / e.b, (dx * e.u.x + dy * e.u.y) / e.a);
}

// Distance of p outside ellipse e (negative inside), to first order.
static double off_ellipse(const ellipse &e, point p) {
  double q[5] = {e.c.x, e.c.y, e.a, e.b, atan2(e.u.y, e.u.x)};
  return ellipse_residual(q, p);
}

// How far the angle of ellipse e turns from back on the rim to the rim's
// pixel end (corner `end` of cap outline o, the rim lying on the side of
// -step from it): its sign is the way the rim runs on past the end.
static double onward_turn(const outline &o, const ellipse &e, int end, int step) {
  point inside = corner_point(o, end - step * SILHOUETTE_CHORD);  // back on the rim
  return remainder(ellipse_angle(e, corner_point(o, end)) - ellipse_angle(e, inside), 2 * PI);
}

// The direction of the silhouette that leaves corner p of the side's outline
// (the side's first SILHOUETTE_CHORD cracks along the background from it),
// or false when p is no corner of it next to the background.
static bool silhouette_direction(const outline &side, point p, point *d) {
  int n = (int)side.v.size();
  for (int i = 0; i < n; i++) {
    if (side.v[i].c != p.x || side.v[i].r != p.y) continue;
    int step = side.across[i] < 0 ? 1 : side.across[(i + n - 1) % n] < 0 ? -1 : 0;
    if (step == 0) return false;
    point q = corner_point(side, i + step * SILHOUETTE_CHORD);
    *d = {q.x - p.x, q.y - p.y};
    return d->x != 0.0 || d->y != 0.0;
  }
  return false;
}

// The rim end carried from pe (at angle t0 of ellipse e) along it by span
// radians, in steps of about half a pixel, to its point last there.
static rim_end along_ellipse(const ellipse &e, point pe, double t0, double span, point last) {
  rim_end out = {true, {pe}};
  double dt = 0.5 / std::max(e.a, e.b);
  // the reach tests keep the arc short; the cap on the steps keeps a wild
  // ellipse fitted to odd pixels from filling memory
  for (double k = 1; k * dt < fabs(span) && out.path.size() < MAX_RIM_PATH; k++)
    out.path.push_back(ellipse_point(e, t0 + (span > 0 ? k : -k) * dt));
  out.path.push_back(last);
  return out;
}

// From the rim's pixel end (corner end of cap outline o, the rim lying on
// the side of -step from it) along the rim's ellipse to its tangent point
// with the silhouette that leaves the end: the point of the ellipse farthest
// out across that silhouette's direction.
static rim_end follow_rim(const outline &side, const outline &o, const ellipse &e, int end,
                          int step, double rim_length) {
  rim_end out = {false, {}};
  point pe = corner_point(o, end), d;
  if (!silhouette_direction(side, pe, &d)) return out;
  double len = hypot(d.x, d.y), nx = -d.y / len, ny = d.x / len;
  if (nx * (pe.x - e.c.x) + ny * (pe.y - e.c.y) < 0.0) nx = -nx, ny = -ny;
  // the support point: in the ellipse's own axes the normal scales by a, b
  double nu = nx * e.u.x + ny * e.u.y, nv = nx * e.v.x + ny * e.v.y;
  double tt = atan2(e.b * nv, e.a * nu), t0 = ellipse_angle(e, pe);
  point T = ellipse_point(e, tt);
  double span = remainder(tt - t0, 2 * PI);
  bool back = span * onward_turn(o, e, end, step) <= 0.0;
  if (back || hypot(T.x - pe.x, T.y - pe.y) > RIM_REACH_SHARE * rim_length)
    return out;  // back over the rim, or too far for a lost band: no tangent point
  return along_ellipse(e, pe, t0, span, T);
}

// The side's pixel across crack i of the cap's outline o, when it is one of
// the side's stray pieces (not its kept piece): its centre, else false.
static bool stray_side_across(const face_grid &g, const outline &o, int i, point *centre) {
  int n = (int)o.v.size();
  const corner &p = o.v[((i % n) + n) % n], &q = o.v[(((i + 1) % n) + n) % n];
  int d = q.c > p.c ? 0 : q.r > p.r ? 1 : q.c < p.c ? 2 : 3;
  int r = p.r + LEFT_R[d], c = p.c + LEFT_C[d];
  if (r < 0 || c < 0 || r >= g.height || c >= g.width) return false;
  *centre = {c + 0.5, r + 0.5};
  return (*g.seen)[(size_t)r * g.width + c] == 1 && g.at(r, c) != 1;
}

// The side's band thins to nothing towards the rim's end, so that its last
// pixels are often cut off from the side as stray specks along the cap's
// outline: the band, and so the rim and the silhouette, reach at least the
// farthest of them.  From the rim's pixel end (corner `end` of cap outline
// o, onward in direction step) along the background, within the reach of a
// lost band, the farthest stray side pixel; the end (`found`) is carried on
// along the ellipse to it when it lies farther on and the ellipse passes
// within BAND_SPECK_OFF of the speck's centre, as the thin band's pixels
// lie (a rim ellipse fitted to a short arc can run off the speck).
static void reach_band_specks(const face_grid &g, const outline &o, const ellipse &e, int end,
                              int step, double rim_length, rim_end *found) {
  int n = (int)o.v.size();
  point pe = corner_point(o, end), s = pe, centre;
  bool seen = false;
  for (int k = 0; k < n; k++) {
    int crack = step > 0 ? end + k : end - k - 1;
    if (o.across[((crack % n) + n) % n] >= 0) break;  // another face: not the band's
    if (!stray_side_across(g, o, crack, &centre)) continue;
    if (hypot(centre.x - pe.x, centre.y - pe.y) > RIM_REACH_SHARE * rim_length) break;
    s = centre;
    seen = true;
  }
  if (!seen) return;
  if (fabs(off_ellipse(e, s)) > BAND_SPECK_OFF) return;
  double t0 = ellipse_angle(e, pe), ts = ellipse_angle(e, s);
  double span = remainder(ts - t0, 2 * PI);
  if (span * onward_turn(o, e, end, step) <= 0.0) return;
  double reached = found->found ? remainder(ellipse_angle(e, found->path.back()) - t0, 2 * PI) : 0;
  if (fabs(reached) >= fabs(span)) return;  // the tangent point lies farther on already
  *found = along_ellipse(e, pe, t0, span, ellipse_point(e, ts));
}

// The side's band between the rim and the silhouette thins to nothing at the
// tangent point, with a width growing as the square of the distance u from
// it (two curves touching), so the band's pixels counted from its far end
// grow as u^3: the cube root of the count is linear in the arc length along
// the rim, and its zero is the tangent point.  From the rim's pixel end
// (corner `end` of cap outline o, onward in direction step): the arc length
// past it to the tangent point so estimated from the side's pixels (every
// piece) just outside the rim's ellipse within BAND_FIT_SHARE of the rim's
// length of the end; 0 when the band's pixels do not show that growth.
static double band_end_by_area(const face_grid &g, const outline &o, const ellipse &e, int end,
                               int step, double rim_length) {
  point pe = corner_point(o, end);
  double t0 = ellipse_angle(e, pe);
  double onward = onward_turn(o, e, end, step) > 0.0 ? 1.0 : -1.0;
  double speed = hypot(e.a * sin(t0), e.b * cos(t0));  // pixels per radian at pe
  double window = BAND_FIT_SHARE * rim_length;
  int reach = (int)ceil(2 * window) + 1;
  std::vector<std::pair<double, double>> band;  // arc length past pe, distance off the ellipse
  int r0 = std::max(0, (int)pe.y - reach), r1 = std::min(g.height - 1, (int)pe.y + reach);
  int c0 = std::max(0, (int)pe.x - reach), c1 = std::min(g.width - 1, (int)pe.x + reach);
  for (int r = r0; r <= r1; r++)
    for (int c = c0; c <= c1; c++) {
      if ((*g.seen)[(size_t)r * g.width + c] != 1) continue;
      point p = {c + 0.5, r + 0.5};
      double off = off_ellipse(e, p);
      if (off <= 0.0 || off > 2 * BAND_FIT_OFF) continue;
      double s = remainder(ellipse_angle(e, p) - t0, 2 * PI) * onward * speed;
      if (fabs(s) <= window) band.push_back({s, off});
    }
  std::sort(band.begin(), band.end(), std::greater<std::pair<double, double>>());
  // the band's pixels from its far end up to the first beyond BAND_FIT_OFF,
  // where the band has grown wider than a thin band
  std::vector<double> along;
  for (const auto &b : band) {
    if (b.second > BAND_FIT_OFF) break;
    along.push_back(b.first);
  }
  // least squares of cbrt(count) = a + b s over the counts from 2 on
  double n = 0, ms = 0, my = 0, sss = 0, ssy = 0;
  for (size_t k = 1; k < along.size(); k++) n++, ms += along[k], my += cbrt(k + 1.0);
  if (n < BAND_FIT_FEWEST) return 0.0;
  ms /= n, my /= n;
  for (size_t k = 1; k < along.size(); k++) {
    double ds = along[k] - ms;
    sss += ds * ds, ssy += ds * (cbrt(k + 1.0) - my);
  }
  if (sss <= 0.0 || ssy >= 0.0) return 0.0;
  double b = ssy / sss, past = ms - my / b;
  return past > 0.0 && past <= window ? past : 0.0;
}

// The rim end carried from the pixel end (corner `end` of cap outline o)
// along the cap's outline onward (direction step, across the background) by
// `length` pixels: there the band is under half a pixel wide, so the
// outline is the rim.
static rim_end along_outline(const outline &o, int end, int step, double length) {
  rim_end out = {true, {corner_point(o, end)}};
  int n = (int)o.v.size();
  double run = 0.0;
  for (int k = 0; k < n && run < length && out.path.size() < MAX_RIM_PATH; k++) {
    int crack = step > 0 ? end + k : end - k - 1;
    if (o.across[((crack % n) + n) % n] >= 0) break;  // another face: no band beyond
    point a = out.path.back(), b = corner_point(o, end + step * (k + 1));
    run += hypot(b.x - a.x, b.y - a.y);
    out.path.push_back(b);
  }
  if (out.path.size() < 2) out.found = false;
  return out;
}

namespace {
// A cap's rim as its pixels show it: its longest stretch along the side.
struct rim_run {
  int first, count;  // cracks of the cap's outline; count 0: none
  bool fitted;
  bool edge_on;      // its own ellipse is flatter than a rim seen at a slant
  ellipse e;
};
}  // namespace

// The longest stretch of outline o along face `along`.
static rim_run find_rim_run(const outline &o, int along) {
  rim_run run = {0, 0, false, false, {}};
  int n = (int)o.v.size(), start = 0;
  while (start < n && o.across[start] == along) start++;  // a crack off the rim
  if (start == n) return run;  // the whole ring: no ends
  for (int k = 0; k < n; k++) {
    int i = (start + k) % n, len = 0;
    if (o.across[i] != along) continue;
    while (len < n && o.across[(i + len) % n] == along) len++;
    if (len > run.count) run.count = len, run.first = i;
    k += len;
  }
  return run;
}

// The rim's smoothed pixel corners, less two at either end (bent by the
// junction).
static std::vector<point> rim_points(const outline &cap, const rim_run &run) {
  std::vector<point> pts = smoothed(corners_between(cap, run.first, run.first + run.count), 2);
  if (pts.size() < 5) return {};
  pts.erase(pts.end() - 2, pts.end());
  pts.erase(pts.begin(), pts.begin() + 2);
  return pts;
}

// Fits the rim's ellipse: freely, or, for a rim too short for its own shape
// (a crescent's), with the shape of the other end's rim (parallel circles).
static void fit_rim(const outline &cap, const ellipse *shape, rim_run *run) {
  if (run->count < RIM_FEWEST) return;
  std::vector<point> pts = rim_points(cap, *run);
  ellipse e;
  if (shape) {
    if (!fit_circle(pts, &e)) return;
    e.u = shape->u, e.v = shape->v;
    if (!refine_ellipse(pts, true, *shape, &e)) return;
  } else if (!fit_ellipse(pts, &e) || !refine_ellipse(pts, false, e, &e)) {
    return;
  }
  double span = 0.0;  // the angle the rim's points run through
  for (size_t i = 1; i < pts.size(); i++)
    span += remainder(ellipse_angle(e, pts[i]) - ellipse_angle(e, pts[i - 1]), 2 * PI);
  span = fabs(span);
  run->edge_on = std::min(e.a, e.b) < EDGE_ON_RATIO * std::max(e.a, e.b);
  run->fitted = !run->edge_on && (shape || span >= LEAST_RIM_ARC);
  run->e = e;
}

// Whether the cap's outline off its rim stretch (the smoothed corners along
// the background) lies on the rim's ellipse: within RING_TOLERANCE of it
// everywhere and not outside it on the whole (RING_BULGE), so that the
// side's band beyond it is lost, not hidden by a cap bulging over the rim.
static bool outline_on_rim(const outline &cap, const rim_run &run) {
  int n = (int)cap.v.size(), rest = n - run.count;
  if (rest < 1) return false;
  for (int k = 0; k < rest; k++)
    if (cap.across[(run.first + run.count + k) % n] >= 0) return false;
  std::vector<point> pts = smoothed(corners_between(cap, run.first + run.count, run.first + n), 2);
  double sum = 0.0;
  for (const point &p : pts) {
    double d = off_ellipse(run.e, p);
    if (fabs(d) > RING_TOLERANCE) return false;
    sum += d;
  }
  return sum <= RING_BULGE * pts.size();
}

// How many cracks of the side's outline, from corner `end` on in direction
// step, make up `length` pixels (of the smoothed corners pts), before
// another face's crack and at most `most`.
static int cracks_for_length(const outline &side, const std::vector<point> &pts, int end,
                             int step, double length, int most, int cap) {
  int n = (int)side.v.size(), k = 0;
  double run = 0.0;
  for (; k < most && run < length; k++) {
    int crack = (((end + (step > 0 ? k : -k - 1)) % n) + n) % n;
    if (side.across[crack] >= 0 && side.across[crack] != cap) break;
    const point &a = pts[(((end + step * k) % n) + n) % n];
    const point &b = pts[(((end + step * (k + 1)) % n) + n) % n];
    run += hypot(b.x - a.x, b.y - a.y);
  }
  return k;
}

// A cap seen only as specks along the side's outline: the side's stretch
// from its first speck to its last is the middle of the rim, where the
// cap's crescent shows pixels; towards the rim's ends it thins to nothing.
// The crescent lies between two curves that touch at the rim's ends, so
// its width grows with the square of the distance from either end:
// w(s) = 16 W u^2 (1 - u)^2, u = s / L, holding n = 8 W L / 15 pixels.  A
// pixel shows once about one pixel of its area has passed, 10 n (x / L)^3
// = 1 from either end: the specks span L (1 - 2 x / L), and the stretch is
// carried on by the rest, half at either end, at most SPECK_RIM_GROWTH
// times its length in all.  The side's cracks there are marked as the
// cap's.
static void extend_speck_rim(outline *side, int cap, int n_shown, const bool speck[]) {
  outline s = *side;
  find_runs(&s, speck);  // spans the specks
  rim_run run = find_rim_run(s, cap);
  if (run.count < 2) return;
  int n = (int)side->v.size(), most = (n - run.count) / 2;
  std::vector<point> pts = smoothed(whole_outline(s), 2);
  double seen = 0.0;
  for (int k = 0; k < run.count; k++) {
    const point &a = pts[(run.first + k) % n], &b = pts[(run.first + k + 1) % n];
    seen += hypot(b.x - a.x, b.y - a.y);
  }
  double shown_share = 1.0 - 2.0 * cbrt(SPECK_SHOWN_AREA / (10.0 * std::max(n_shown, 1)));
  double growth = shown_share > 1.0 / SPECK_RIM_GROWTH ? 1.0 / shown_share : SPECK_RIM_GROWTH;
  double each = 0.5 * (growth - 1.0) * seen;
  int ahead = cracks_for_length(s, pts, run.first + run.count, +1, each, most, cap);
  int back = cracks_for_length(s, pts, run.first, -1, each, most, cap);
  for (int k = -back; k < run.count + ahead; k++) side->across[((run.first + k) % n + n) % n] = cap;
}

// The turning of the smoothed corners pts (radians, positive clockwise as
// seen), over chords of CHORD_STEP points.
static double total_turning(const std::vector<point> &pts, bool closed) {
  int n = (int)pts.size(), last = closed ? n : n - 2 * CHORD_STEP;
  double sum = 0.0;
  for (int i = 0; i < last; i += CHORD_STEP) {
    const point &a = pts[i], &b = pts[(i + CHORD_STEP) % n], &c = pts[(i + 2 * CHORD_STEP) % n];
    double ux = b.x - a.x, uy = b.y - a.y, vx = c.x - b.x, vy = c.y - b.y;
    sum += atan2(ux * vy - uy * vx, ux * vx + uy * vy);
  }
  return sum;
}

// Whether the cap lies on the outer side of its rim (a crescent between the
// rim and the cap's silhouette): its outline turns the other way along the
// rim than all round.
static bool cap_outside_rim(const outline &cap, const rim_run &run) {
  if (run.count < 4 * CHORD_STEP) return false;
  double rim = total_turning(smoothed(corners_between(cap, run.first, run.first + run.count), 2),
                             false);
  double all = total_turning(smoothed(whole_outline(cap), 2), true);
  return rim * all < 0.0;
}

static double path_length(const std::vector<point> &p) {
  double len = 0.0;
  for (size_t i = 1; i < p.size(); i++) len += hypot(p[i].x - p[i - 1].x, p[i].y - p[i - 1].y);
  return len;
}

// The rim's end carried along the cap's outline to where its band's growth
// puts the tangent point, when that lies farther on than found already.
static void band_reach(const face_grid &g, const outline &o, const ellipse &e, int end, int step,
                       double rim_length, rim_end *found) {
  double past = band_end_by_area(g, o, e, end, step, rim_length);
  if (past <= (found->found ? path_length(found->path) : 0.0)) return;
  rim_end r = along_outline(o, end, step, past);
  if (r.found) *found = r;
}

// The angle of ellipse e that the path of rim end r runs through.
static double carried_angle(const ellipse &e, const rim_end &r) {
  if (!r.found) return 0.0;
  return fabs(remainder(ellipse_angle(e, r.path.back()) - ellipse_angle(e, r.path[0]), 2 * PI));
}

// Stray side pixels can lie all along the cap's outline between the rim's
// pixel ends (pixels of the side's far part, folding away behind the cap
// there, win the odd pixel centre), and band_reach and reach_band_specks then
// carry each end past the other: the two silhouettes overlap across the
// cap's own outline.  Ends that cross keep the tangent points alone, and
// their pixel ends when those cross too.
static void keep_ends_apart(const outline &side, const outline &cap, const rim_run &r,
                            rim_end *back, rim_end *ahead) {
  int n = (int)cap.v.size();
  double gap = 0.0;  // the angle between the pixel ends, off the rim
  for (int k = r.count; k < n; k++)
    gap += remainder(ellipse_angle(r.e, corner_point(cap, r.first + k + 1)) -
                         ellipse_angle(r.e, corner_point(cap, r.first + k)),
                     2 * PI);
  gap = fabs(gap);
  if (carried_angle(r.e, *back) + carried_angle(r.e, *ahead) <= gap) return;
  *back = follow_rim(side, cap, r.e, r.first, -1, r.count);
  *ahead = follow_rim(side, cap, r.e, r.first + r.count, +1, r.count);
  if (carried_angle(r.e, *back) + carried_angle(r.e, *ahead) <= gap) return;
  back->found = ahead->found = false;
}

// Both ends of the rims of the caps that show part of their rim ring;
// ends[2 cap / 2 + k] of cap 0 or 2.  ringed[cap / 2]: the cap's outline off
// the rim stretch lies on the rim's ellipse (the side's band beyond it is
// lost, not hidden by a bulging cap), so the whole outline is the rim.
static void find_rim_ends(const face_grid &g, outline outlines[], const bool present[],
                          const bool speck[],
                          const int shown[], rim_end ends[4], bool ringed[2],
                          bool crescent[2]) {
  rim_run runs[2];
  for (int k = 0; k < 4; k++) ends[k].found = false;
  for (int j = 0; j < 2; j++) {
    runs[j] = {0, 0, false, false, {}};
    if (present[2 * j] && present[1]) runs[j] = find_rim_run(outlines[2 * j], 1);
    fit_rim(outlines[2 * j], nullptr, &runs[j]);
  }
  for (int j = 0; j < 2; j++)
    if (!runs[j].fitted && !runs[j].edge_on && runs[1 - j].fitted)
      fit_rim(outlines[2 * j], &runs[1 - j].e, &runs[j]);
  for (int j = 0; j < 2; j++) {
    const rim_run &r = runs[j];
    ringed[j] = r.fitted && outline_on_rim(outlines[2 * j], r);
    crescent[j] = present[1] && (speck[2 * j] ||
                                 (!ringed[j] && !r.edge_on && cap_outside_rim(outlines[2 * j], r)));
    if (crescent[j]) extend_speck_rim(&outlines[1], 2 * j, shown[2 * j], speck);
  }
  for (int j = 0; j < 2; j++) {
    const rim_run &r = runs[j];
    if (!r.fitted || crescent[j]) continue;
    ends[2 * j] = follow_rim(outlines[1], outlines[2 * j], r.e, r.first, -1, r.count);
    ends[2 * j + 1] = follow_rim(outlines[1], outlines[2 * j], r.e, r.first + r.count, +1, r.count);
    reach_band_specks(g, outlines[2 * j], r.e, r.first, -1, r.count, &ends[2 * j]);
    reach_band_specks(g, outlines[2 * j], r.e, r.first + r.count, +1, r.count, &ends[2 * j + 1]);
    band_reach(g, outlines[2 * j], r.e, r.first, -1, r.count, &ends[2 * j]);
    band_reach(g, outlines[2 * j], r.e, r.first + r.count, +1, r.count, &ends[2 * j + 1]);
    keep_ends_apart(outlines[1], outlines[2 * j], r, &ends[2 * j], &ends[2 * j + 1]);
  }
}

static bool same_point(const point &a, const point &b) { return a.x == b.x && a.y == b.y; }

// Carries every curve that starts or ends at a rim's pixel end on to the
// rim's estimated end.
static void carry_to_rim_ends(const rim_end ends[], int n_end, curve c[4], const bool have[4]) {
  for (int k = 0; k < 4; k++) {
    if (!have[k] || c[k].closed || c[k].pts.size() < 2) continue;
    for (int j = 0; j < n_end; j++) {
      const rim_end &e = ends[j];
      if (!e.found) continue;
      if (same_point(c[k].pts.back(), e.path[0]))
        c[k].pts.insert(c[k].pts.end(), e.path.begin() + 1, e.path.end());
      else if (same_point(c[k].pts.front(), e.path[0]))
        c[k].pts.insert(c[k].pts.begin(), e.path.rbegin(), e.path.rend() - 1);
    }
  }
}

// ---------------------------------------------------------------------------
// The whole image
// ---------------------------------------------------------------------------

// An enclosed cap (the whole rim ring seen): the side's rim curve is the
// cap's outline, run the side's way, and the side's outline close to the cap
// is that rim's (the thin band beyond the cap), not a silhouette.
static bool take_enclosed_cap(const face_grid &g, const outline *outlines, int cap,
                              outline *side, curve *rim) {
  for (int a : side->across)
    if (a == cap) return false;
  outline o = outlines[cap];
  reverse_outline(&o);
  *rim = whole_outline(o);
  for (size_t i = 0; i < side->v.size(); i++)
    for (int dr = -NEAR_HOLE; dr <= NEAR_HOLE && side->across[i] < 0; dr++)
      for (int dc = -NEAR_HOLE; dc <= NEAR_HOLE; dc++)
        if (g.at(side->v[i].r + dr, side->v[i].c + dc) == cap) {
          side->across[i] = cap;
          break;
        }
  return true;
}

// The whole outline of a cap, its rim ring, run as the cap's own curve runs
// (the side runs it the other way).
static curve ring_of(const outline &cap, int label, int cap_face, bool for_side) {
  outline o = cap;
  if (layout_of(label, cap_face)->reverse != for_side) reverse_outline(&o);
  return whole_outline(o);
}

// A crescent cap's rim as the side's outline shows it, carried on past the
// cap's pixels, run as the cap's own curve runs (against the side's turn).
static curve side_rim(const outline &side, int label, int cap) {
  rim_run r = find_rim_run(side, cap);
  curve c = corners_between(side, r.first, r.first + r.count);
  if (!layout_of(label, cap)->reverse) std::reverse(c.pts.begin(), c.pts.end());
  return c;
}

static void trace_face(const face_grid &g, outline *outlines, const bool present[], int label,
                       int f, const rim_end ends[4], const bool ringed[2],
                       const bool crescent[2], const frame_map &m, double spacing,
                       synth_face *out) {
  const face_layout *L = layout_of(label, f);
  outline o = outlines[f];
  curve rims[3];
  bool enclosed[3] = {false, false, false};
  if (label != 1 && f == 1)
    for (int cap = 0; cap <= 2; cap += 2)
      if (present[cap]) enclosed[cap] = take_enclosed_cap(g, outlines, cap, &o, &rims[cap]);
  if (L->reverse) reverse_outline(&o);
  curve c[4];
  bool have[4];
  cut_into_curves(&o, *L, present, g.speck, c, have);
  for (int cap = 0; cap <= 2; cap += 2)
    if (enclosed[cap]) {
      int slot = cap == 0 ? 2 : 0;
      c[slot] = rims[cap];
      have[slot] = true;
    }
  if (label != 1 && f == 1)
    for (int cap = 0; cap <= 2; cap += 2)
      if (ringed[cap / 2]) {
        int slot = cap == 0 ? 2 : 0;
        c[slot] = ring_of(outlines[cap], label, cap, true);
        have[slot] = true;
      }
  if (label != 1 && f != 1 && ringed[f / 2]) c[0] = ring_of(outlines[f], label, f, false);
  if (label != 1 && f != 1 && crescent[f / 2]) c[0] = side_rim(outlines[1], label, f);
  if (label != 1) carry_to_rim_ends(ends, 4, c, have);
  store_face(c, have, L->n_curve, m, spacing, out);
}

static frame_map choose_frame(const label_image *img, const trace_options *o) {
  frame_map m;
  m.scale = o->scale > 0.0 ? o->scale : FRAME_SIZE / std::max(img->width, img->height);
  m.center_row = o->center_given ? o->center_row : img->height / 2.0;
  m.center_col = o->center_given ? o->center_col : img->width / 2.0;
  return m;
}

int trace_label_image(const label_image *img, const trace_options *o, synth_view *v,
                      trace_report *report, char *err) {
  memset(v, 0, sizeof *v);
  std::vector<signed char> face;
  if (!classify_pixels(img, o, &face, &report->blend_pixels, err)) return 0;
  pixel_box box = faces_box(img->width, img->height, face);
  report->hole_pixels = fill_holes(img->width, box, &face);
  report->gap_pixels = close_gaps(img->width, img->height, box, &face);
  std::vector<signed char> seen(face);
  int shown[MAX_FACES] = {0};  // pixels of every face, all pieces
  for (signed char f : seen)
    if (f >= 0) shown[f]++;
  bool speck[MAX_FACES] = {false};
  keep_largest_pieces(img->width, &face, speck, report);
  // where pieces were dropped, and what the closed gaps sealed off
  report->hole_pixels += fill_holes(img->width, box, &face, &seen, speck);
  warn_border(img->width, img->height, face, report);
  face_grid g = {img->width, img->height, &face, &seen, speck};
  int first[MAX_FACES];
  bool present[MAX_FACES];
  for (int f = 0; f < MAX_FACES; f++) first[f] = -1;
  for (size_t i = 0; i < face.size(); i++)
    if (face[i] >= 0 && first[face[i]] < 0) first[face[i]] = (int)i;
  outline outlines[MAX_FACES];
  for (int f = 0; f < MAX_FACES; f++) {
    present[f] = first[f] >= 0;
    if (present[f] && layout_of(o->label, f)) outlines[f] = trace_outline(g, f, first[f]);
  }
  rim_end ends[4];  // the pixel ends of the rims of caps 0 and 2
  bool ringed[2] = {false, false}, crescent[2] = {false, false};
  for (int k = 0; k < 4; k++) ends[k].found = false;
  if (o->label != 1) find_rim_ends(g, outlines, present, speck, shown, ends, ringed, crescent);
  frame_map m = choose_frame(img, o);
  report->scale = m.scale;
  report->center_row = m.center_row;
  report->center_col = m.center_col;
  v->label = o->label;
  v->n_face = label_faces(o->label);
  for (int f = 0; f < v->n_face; f++) {
    v->face[f].n_points = -1;
    // a cap that lies outside its rim is the far side of a model end that
    // faces away from the camera: not seen, its rim is the side's
    if (o->label != 1 && f != 1 && crescent[f / 2]) continue;
    if (present[f] && layout_of(o->label, f))
      trace_face(g, outlines, present, o->label, f, ends, ringed, crescent, m, o->spacing,
                 &v->face[f]);
  }
  return 1;
}

// ---------------------------------------------------------------------------
// Picture
// ---------------------------------------------------------------------------

static const unsigned char CURVE_COLOR[4][3] = {
    {230, 40, 40}, {40, 200, 40}, {60, 90, 255}, {250, 200, 0}};

static void put_pixel(std::vector<unsigned char> *rgb, int w, int h, int x, int y,
                      const unsigned char *color) {
  if (x < 0 || y < 0 || x >= w || y >= h) return;
  memcpy(&(*rgb)[((size_t)y * w + x) * 3], color, 3);
}

void draw_trace_picture(const label_image *img, const trace_report *report, const synth_view *v,
                        std::vector<unsigned char> *rgb) {
  static const unsigned char FACE_GREY[8] = {215, 165, 120, 190, 140, 100, 230, 80};
  int w = img->width, h = img->height;
  rgb->assign((size_t)w * h * 3, 255);
  for (size_t i = 0; i < img->pixels.size(); i++) {
    uint32_t p = img->pixels[i];
    if (p == 0) continue;
    if (!img->colour) {
      memset(&(*rgb)[i * 3], FACE_GREY[(p - 1) % 8], 3);
      continue;
    }
    for (int k = 0; k < 3; k++)  // a colour image's own colours, paled under the curves
      (*rgb)[i * 3 + k] = (unsigned char)((255 + (p >> (16 - 8 * k) & 0xff)) / 2);
  }
  for (int f = 0; f < v->n_face; f++) {
    const synth_face &fc = v->face[f];
    for (int c = 0; c < fc.n_curve && fc.n_points > 0; c++) {
      if (fc.begin[c] < 0) continue;
      for (int j = fc.begin[c]; j <= fc.end[c]; j++) {
        int x = (int)floor(report->center_col + (fc.col[j] - FRAME_CENTER) / report->scale);
        int y = (int)floor(report->center_row + (fc.row[j] - FRAME_CENTER) / report->scale);
        for (int dy = -1; dy <= 1; dy++)
          for (int dx = -1; dx <= 1; dx++) put_pixel(rgb, w, h, x + dx, y + dy, CURVE_COLOR[c]);
      }
    }
  }
}
