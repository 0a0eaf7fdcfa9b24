// contours.cpp -- how far a contour point lies across the model's contour
// curved between the mesh nodes (the stage option smooth).
//
// The data force of a point measures its separation from the nearest node:
// across the node's tangent line on a rim or an edge, along the node's
// normal on an occluding contour.  A point between two nodes of a curved
// contour lies off that line by about s^2 / 2R (s along it, R the radius of
// curvature): up to a pixel on a tilted rim ring, more on an occluding
// contour, whose nodes sample it only where a node happens to lie near it.
// The fit then shrinks or swells the model to meet those points, and the
// truth is not where the distances are least.  With smooth_contours set
// (forces.cpp asks smooth_separation) the separation is taken across the
// contour itself, interpolated between the nodes:
//   - a rim or an edge along one row or column of the grid: across the
//     parabola through the node and its two grid neighbours along it (also
//     where a rounded box's edge turns at its corner: the node's tangent
//     line, or the straight edge's, lies far off the turn);
//   - an occluding contour, and the silhouette node an outline curve of a
//     box matched: across the parabola through the nearest of the points
//     where the grid lines near the node touch it (see contour_touches); the
//     search for the nearest node then also offers every node beside such a
//     touch (forces.cpp, list_columns).
// Every helper falls back on the separation as shaped without the option
// where the grid gives it nothing to interpolate.
//
// Start with smooth_separation.
#include <cmath>

#include "hybroid.h"
#include "vector_ops.h"

// Position of a node as the nearest-node searches see it.
static vector seen_position(const hybroid *h, const node *n) {
  return h->perspective_flag ? n->proj_posit : n->posit;
}

// A curve y(x) in the frame of an image point: x along a unit direction,
// y square to it.
struct local_frame {
  vector origin, along, across;
};

static local_frame frame_at(vector origin, vector along) {
  return {origin, along, {-along.y, along.x, 0.0}};
}

static double frame_x(const local_frame &f, vector p) {
  return (p.x - f.origin.x) * f.along.x + (p.y - f.origin.y) * f.along.y;
}

static double frame_y(const local_frame &f, vector p) {
  return (p.x - f.origin.x) * f.across.x + (p.y - f.origin.y) * f.across.y;
}

// The separation of the point (xd, yd) of frame f from the curve whose
// height at x is curve with slope slope: across the curve, as an image
// vector.
static vector across_curve(const local_frame &f, double yd, double curve, double slope) {
  double norm = sqrt(1 + slope * slope);
  double d = (yd - curve) / (norm * norm);
  return {d * (f.across.x - slope * f.along.x), d * (f.across.y - slope * f.along.y), 0.0};
}

// Separation of the point at frame coordinates (xd, yd) from the parabola
// through the points (x[i], y[i]), i = 0, 1, 2 with x ascending, or the line
// through two, or the level through one; xd is held within them.
static vector across_interpolant(const local_frame &f, const double x[], const double y[],
                                 int count, double xd, double yd) {
  double xc = xd < x[0] ? x[0] : xd > x[count - 1] ? x[count - 1] : xd;
  if (count == 1) return across_curve(f, yd, y[0], 0.0);
  double d01 = (y[1] - y[0]) / (x[1] - x[0]);
  if (count == 2) return across_curve(f, yd, y[0] + d01 * (xc - x[0]), d01);
  double c = ((y[2] - y[1]) / (x[2] - x[1]) - d01) / (x[2] - x[0]);  // Newton's form
  return across_curve(f, yd, y[0] + d01 * (xc - x[0]) + c * (xc - x[0]) * (xc - x[1]),
                      d01 + c * (2 * xc - x[0] - x[1]));
}

// The parabola through a grid node p0 and its neighbours before and after
// on one grid line, in the line's own parameter: P(t) = p0 + l t + k t^2,
// P(-1) = before, P(1) = after.  Evenly spaced nodes of a ring or a meridian
// follow it closely even where the line turns sharply in the image.
struct line_parabola {
  vector p0, l, k;
};

static line_parabola parabola_of(vector p0, vector before, vector after) {
  return {p0,
          {(after.x - before.x) / 2, (after.y - before.y) / 2, 0.0},
          {(after.x + before.x) / 2 - p0.x, (after.y + before.y) / 2 - p0.y, 0.0}};
}

static vector point_at(const line_parabola &q, double t) {
  return {q.p0.x + q.l.x * t + q.k.x * t * t, q.p0.y + q.l.y * t + q.k.y * t * t, 0.0};
}

static vector tangent_at(const line_parabola &q, double t) {
  return {q.l.x + 2 * q.k.x * t, q.l.y + 2 * q.k.y * t, 0.0};
}

// The image point d less the nearest point of the parabola within its
// neighbours, without its part along the parabola there: Newton's steps on
// (P(t) - d) . P'(t) = 0 from the point's place along the chord.
static const int NEAREST_STEPS = 4;

static vector off_parabola(const line_parabola &q, vector d) {
  double ll = q.l.x * q.l.x + q.l.y * q.l.y;
  if (!(ll > 0.0)) return {d.x - q.p0.x, d.y - q.p0.y, 0.0};
  double t = ((d.x - q.p0.x) * q.l.x + (d.y - q.p0.y) * q.l.y) / ll;
  for (int i = 0; i < NEAREST_STEPS; i++) {
    t = t < -1.0 ? -1.0 : t > 1.0 ? 1.0 : t;
    vector p = point_at(q, t), v = tangent_at(q, t);
    double f = (p.x - d.x) * v.x + (p.y - d.y) * v.y;
    double df = v.x * v.x + v.y * v.y + 2 * ((p.x - d.x) * q.k.x + (p.y - d.y) * q.k.y);
    if (!(df > 0.0)) break;
    t -= f / df;
  }
  t = t < -1.0 ? -1.0 : t > 1.0 ? 1.0 : t;
  vector p = point_at(q, t), v = tangent_at(q, t);
  vector e = {d.x - p.x, d.y - p.y, 0.0};
  double vv = v.x * v.x + v.y * v.y;
  if (!(vv > 0.0)) return e;
  double along = (e.x * v.x + e.y * v.y) / vv;
  return {e.x - along * v.x, e.y - along * v.y, 0.0};
}

// Separation s of a point from node n across the grid line through n with
// neighbours before and after; shaped without them.
static vector across_grid_line(const hybroid *h, const node *n, const node *before,
                               const node *after, vector s, vector shaped) {
  if (!before || !after) return shaped;
  vector o = seen_position(h, n);
  line_parabola q = parabola_of(o, seen_position(h, before), seen_position(h, after));
  return off_parabola(q, {o.x + s.x, o.y + s.y, 0.0});
}

// ---------------------------------------------------------------------------
// Occluding contours
// ---------------------------------------------------------------------------
//
// The occluding contour is the envelope of the projected grid lines: a row
// or a column that crosses it touches it where the surface turns away from
// the camera.  Seen from the side the rows touch it, seen near the axis the
// columns; the touching points near a silhouette node sample the contour
// far more densely than the nodes do.

// Below this the facing cosines along a grid line are taken as linear.
static const double LINEAR_FACING = 1e-12;

// Where the grid line through n (neighbours before and after) turns away
// from the camera: the root nearest n, between the neighbours, of the
// parabola through the three facing cosines, placed on the parabola
// through the three positions.  False where the line does not turn there.
static bool grid_line_touch(const hybroid *h, const node *n, const node *before,
                            const node *after, vector *touch) {
  if (!n || !before || !after) return false;
  int p = h->perspective_flag;
  double g0 = facing_cosine(n, p), gb = facing_cosine(before, p), ga = facing_cosine(after, p);
  double gl = (ga - gb) / 2, gk = (ga + gb) / 2 - g0;  // g(t) = g0 + gl t + gk t^2
  double t;
  if (fabs(gk) < LINEAR_FACING) {
    if (gl == 0.0) return false;
    t = -g0 / gl;
  } else {
    double disc = gl * gl - 4 * gk * g0;
    if (disc < 0.0) return false;
    double r = sqrt(disc), t1 = (-gl - r) / (2 * gk), t2 = (-gl + r) / (2 * gk);
    t = fabs(t1) < fabs(t2) ? t1 : t2;
  }
  if (!(t >= -1.0 && t <= 1.0)) return false;
  *touch = point_at(parabola_of(seen_position(h, n), seen_position(h, before),
                                seen_position(h, after)), t);
  return true;
}

static bool row_touch(const hybroid *h, const node *n, vector *touch) {
  return n && grid_line_touch(h, n, n->neighbors[1], n->neighbors[2], touch);
}

static bool column_touch(const hybroid *h, const node *n, vector *touch) {
  return n && grid_line_touch(h, n, n->neighbors[0], n->neighbors[3], touch);
}

// Touches closer along the contour than SAME_TOUCH of the node spacing are
// one: the grid lines of neighbouring nodes find the same touch a little
// apart, and two so close would bend the interpolant wildly.
static const double SAME_TOUCH = 0.25;

// The larger of the image spacings of n's row and column, about n.
static double node_spacing(const hybroid *h, const node *n) {
  double most = 0.0;
  for (int k = 0; k < 2; k++) {
    const node *b = n->neighbors[k == 0 ? 1 : 0], *a = n->neighbors[k == 0 ? 2 : 3];
    if (!a || !b) continue;
    vector pa = seen_position(h, a), pb = seen_position(h, b);
    most = fmax(most, hypot(pa.x - pb.x, pa.y - pb.y) / 2);
  }
  return most;
}

// The touching points of the rows and the columns through n and its eight
// grid neighbours, in frame f: sorted along it, one per place.  Returns how
// many.
static int contour_touches(const hybroid *h, const node *n, const local_frame &f, double x[],
                           double y[]) {
  const node *block[9] = {n, n->neighbors[0], n->neighbors[3]};
  for (int i = 0; i < 3; i++) {  // each of the three rows: its nodes before and after
    block[3 + 2 * i] = block[i] ? block[i]->neighbors[1] : nullptr;
    block[4 + 2 * i] = block[i] ? block[i]->neighbors[2] : nullptr;
  }
  int count = 0;
  for (const node *b : block) {
    vector at[2];
    bool found[2] = {row_touch(h, b, &at[0]), column_touch(h, b, &at[1])};
    for (int i = 0; i < 2; i++) {
      if (!found[i]) continue;
      double xi = frame_x(f, at[i]), yi = frame_y(f, at[i]);
      int j = count++;
      for (; j > 0 && x[j - 1] > xi; j--) {
        x[j] = x[j - 1];
        y[j] = y[j - 1];
      }
      x[j] = xi;
      y[j] = yi;
    }
  }
  int kept = 0;
  double apart = SAME_TOUCH * node_spacing(h, n);
  for (int i = 0; i < count; i++) {
    if (kept > 0 && x[i] - x[kept - 1] <= apart) continue;
    x[kept] = x[i];
    y[kept] = y[i];
    kept++;
  }
  return kept;
}

// Separation s of a point from silhouette node n (m: its unit image normal)
// across the contour through the up to three touching points nearest it
// along the contour; shaped without any.
static vector across_occluding_contour(const hybroid *h, const node *n, vector m, vector s,
                                       vector shaped, touch_memo *memo) {
  local_frame f = frame_at(seen_position(h, n), {m.y, -m.x, 0.0});  // across = m
  touch_memo own;
  own.n = nullptr;
  if (!memo) memo = &own;
  if (memo->n != n || !same_vector_bits(memo->across, m)) {
    memo->n = n;
    memo->across = m;
    memo->count = contour_touches(h, n, f, memo->x, memo->y);
  }
  const double *x = memo->x, *y = memo->y;
  int count = memo->count;
  if (count == 0) return shaped;
  vector d = {f.origin.x + s.x, f.origin.y + s.y, 0.0};
  double xd = frame_x(f, d);
  int width = count < 3 ? count : 3, first = 0;
  while (first + width < count && fabs(x[first + width] - xd) < fabs(x[first] - xd)) first++;
  return across_interpolant(f, x + first, y + first, width, xd, frame_y(f, d));
}

// The separation s of a point from node n across the contour curved
// between the nodes, for the force shaped by direction a: along the contour
// when tangent (shaped: s without that component), the normal otherwise
// (shaped: s along it).  The point's map says which contour it is on.
vector smooth_separation(const hybroid *h, const force_map *fmp, const node *n, bool tangent,
                         vector a, vector s, vector shaped, touch_memo *memo) {
  vector out = shaped;
  if (!tangent) {
    // A round model's occluding contour, or the silhouette node an outline
    // curve of a box matched (the only other points shaped along a normal).
    if (curved_occluding_contour(h->primitive_label, fmp->face, fmp->curve) || h->outline_match)
      out = across_occluding_contour(h, n, a, s, shaped, memo);
  } else if (fmp->u1 == fmp->u2) {
    out = across_grid_line(h, n, n->neighbors[1], n->neighbors[2], s, shaped);
  } else if (fmp->v1 == fmp->v2) {
    out = across_grid_line(h, n, n->neighbors[0], n->neighbors[3], s, shaped);
  }
  return std::isfinite(out.x) && std::isfinite(out.y) ? out : shaped;
}
