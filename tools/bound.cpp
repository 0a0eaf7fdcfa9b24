// bound.cpp -- how precisely a view's noisy contours determine the model:
// hybsynth --bound.
//
// Start with bound_synth_view.  Each data point of the view is the true
// contour plus Gaussian noise of the scene's standard deviation in row and
// column; only its component across the contour tells where the contour
// lies.  So the Fisher information of the parameters the fit frees for the
// label (sizes, squareness, tapers and bend as the shipped schedule frees
// them, translation, and a small turn about each of the model's axes) is the
// sum over
// the points of the outer product of the derivatives of their distance across
// the contour, divided by the variance.  The derivatives are central
// differences of the true contours (make_synth_view on a slightly changed
// scene, traced densely), the distance is taken to the line of the nearest
// segment of the same curve.  A parameter the data do not determine (depth
// without perspective) is left out by a pivoted Cholesky factorisation.  The
// inverse of the information bounds the covariance of any unbiased fit
// (the Cramer-Rao bound); drawing parameter errors from it and measuring them
// as tools/accuracy does gives the share of such fits that meet each target.
// A fit that starts from e1 1, no taper and no bend and hardly moves along
// what the data do not tell is biased towards those values, and can meet
// targets more often where the truth has them.
#include "bound.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace {
enum { P_A1, P_A2, P_A3, P_E1, P_E2, P_TAPX, P_TAPY, P_BEND1, P_BEND3,
       P_TX, P_TY, P_TZ, P_WX, P_WY, P_WZ, N_PARAM };
// Measures: log of the two image-plane sizes, the rotation's columns, the
// tapers, the squareness and the camera-frame bending vector.
enum { M_SIZE1, M_SIZE2, M_ROT, M_TAPX = M_ROT + 9, M_TAPY, M_E1, M_E2, M_BEND,
       N_MEASURE = M_BEND + 3 };
}  // namespace

static const double STEP = 3e-3;           // of every parameter, central differences
static const double DENSE_SPACING = 0.1;    // pixels, of the changed scenes' contours
static const double PIVOT_FLOOR = 1e-8;     // a smaller pivot of the scaled
                                           // information: not determined
static const int DRAWS = 20000;            // parameter errors drawn from the bound
static const double PI = 3.141592653589793;
// The targets of tools/accuracy with noise.
static const double SIZE_TARGET = 5.0;     // percent
static const double AXIS_TARGET = 3.0;     // degrees
static const double TAP_TARGET = 0.05;
static const double BEND_SHARE = 0.1, BEND_LEAST = 0.02;
static const double E_TARGET = 0.1;

// A round model (equal sizes and tapers across its axis, e2 1) keeps that
// shape in the fit's start, and its contours alone hardly tell one cross size
// or taper from the other or its turn about its own axis (seen side on, one of
// them lies along the line of sight): its two cross sizes and its two tapers
// are one parameter each here, and the turn is left out.
static bool is_round(const synth_scene *s) {
  const synth_shape &q = s->shape;
  return s->label != 1 && q.a1 == q.a2 && q.tapx == q.tapy && q.e2 == 1.0;
}

static bool is_free(const synth_scene *s, int p) {
  int label = s->label;
  if (is_round(s) && (p == P_A2 || p == P_TAPY || p == P_WZ)) return false;
  if (p == P_E2) return label == 1;
  if (p == P_TAPX || p == P_TAPY) return label == 6 || label == 10;
  if (p == P_BEND1 || p == P_BEND3) return label == 10;
  return true;
}

// Turns the scene's model by angle a about its own axis k (model frame).
static void turn_about_axis(synth_scene *s, int k, double a) {
  double c = cos(a), sn = sin(a), T[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  int i = (k + 1) % 3, j = (k + 2) % 3;
  T[i][i] = c, T[i][j] = -sn, T[j][i] = sn, T[j][j] = c;
  double R[3][3];
  for (int r = 0; r < 3; r++)
    for (int col = 0; col < 3; col++)
      R[r][col] = s->rotation[r][0] * T[0][col] + s->rotation[r][1] * T[1][col] +
                  s->rotation[r][2] * T[2][col];
  memcpy(s->rotation, R, sizeof R);
}

static void change(synth_scene *s, int p, double d) {
  synth_shape &q = s->shape;
  double *shape[] = {&q.a1, &q.a2, &q.a3, &q.e1, &q.e2, &q.tapx, &q.tapy, &q.bend1, &q.bend3};
  bool round = is_round(s);
  if (p <= P_BEND3) {
    *shape[p] += d;
    if (round && p == P_A1) q.a2 += d;
    if (round && p == P_TAPX) q.tapy += d;
  } else if (p == P_TX) s->translation.x += d;
  else if (p == P_TY) s->translation.y += d;
  else if (p == P_TZ) s->translation.z += d;
  else turn_about_axis(s, p - P_WX, d);
}

static void measure(const synth_scene *s, const synth_view *v, double m[N_MEASURE]) {
  double k = s->perspective_flag ? s->focal_length / -v->fit_translation.z : 1.0;
  m[M_SIZE1] = log(s->shape.sc * s->shape.a1 * k);
  m[M_SIZE2] = log(s->shape.sc * s->shape.a2 * k);
  const double(*R)[3] = v->fit_rotation;
  for (int c = 0; c < 3; c++)
    for (int r = 0; r < 3; r++) m[M_ROT + 3 * c + r] = R[r][c];
  m[M_TAPX] = s->shape.tapx, m[M_TAPY] = s->shape.tapy;
  m[M_E1] = s->shape.e1, m[M_E2] = s->shape.e2;
  double b1 = s->shape.bend1, b3 = s->shape.bend3;
  for (int r = 0; r < 3; r++) m[M_BEND + r] = b1 * (R[r][0] * cos(b3) - R[r][1] * sin(b3));
}

// Signed distance of pixel (row, col) from the line of the nearest segment of
// curve c of face f; NAN when the nearest point is an end of the curve (the
// ends of the changed curves move in steps of their tracing) or the curve has
// no segment.
static double across(const synth_face &f, int c, double row, double col) {
  if (f.n_points < 0 || f.begin[c] < 0 || f.end[c] <= f.begin[c]) return NAN;
  double best = INFINITY, d = NAN;
  for (int j = f.begin[c]; j < f.end[c]; j++) {
    double tr = f.row[j + 1] - f.row[j], tc = f.col[j + 1] - f.col[j];
    double len2 = tr * tr + tc * tc;
    if (len2 == 0.0) continue;
    double pr = row - f.row[j], pc = col - f.col[j];
    double t = (pr * tr + pc * tc) / len2;
    bool beyond = (t < 0 && j == f.begin[c]) || (t > 1 && j == f.end[c] - 1);
    t = t < 0 ? 0 : t > 1 ? 1 : t;
    double er = pr - t * tr, ec = pc - t * tc, e2 = er * er + ec * ec;
    if (e2 < best) best = e2, d = beyond ? NAN : (pr * tc - pc * tr) / sqrt(len2);
  }
  return d;
}

// The view of the scene changed by d in parameter p, densely traced.
static int changed_view(const synth_scene *s, int view, int p, double d, synth_view *v,
                        double m[N_MEASURE], char *err) {
  synth_scene c = *s;
  c.spacing = DENSE_SPACING;
  change(&c, p, d);
  if (!make_synth_view(&c, view, v, err)) return 0;
  measure(&c, v, m);
  return 1;
}

// Pivoted Cholesky factorisation of the information scaled to a unit
// diagonal; keeps the parameters it can pivot on in keep[], and L (row-major,
// n x n over the kept order) of the unscaled information of those.
static int factor_information(const std::vector<double> &I, int n, std::vector<int> *keep,
                              std::vector<double> *L) {
  std::vector<double> A = I, scale(n);
  for (int i = 0; i < n; i++) scale[i] = I[i * n + i] > 0 ? 1.0 / sqrt(I[i * n + i]) : 0.0;
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++) A[i * n + j] *= scale[i] * scale[j];
  std::vector<int> order(n);
  for (int i = 0; i < n; i++) order[i] = i;
  std::vector<double> G(n * n, 0.0);
  int k = 0;
  for (; k < n; k++) {
    int best = -1;
    double most = PIVOT_FLOOR;
    for (int i = k; i < n; i++) {
      int a = order[i];
      double r = A[a * n + a];
      for (int t = 0; t < k; t++) r -= G[a * n + t] * G[a * n + t];
      if (r > most) most = r, best = i;
    }
    if (best < 0) break;
    std::swap(order[k], order[best]);
    int a = order[k];
    G[a * n + k] = sqrt(most);
    for (int i = k + 1; i < n; i++) {
      int b = order[i];
      double r = A[b * n + a];
      for (int t = 0; t < k; t++) r -= G[b * n + t] * G[a * n + t];
      G[b * n + k] = r / G[a * n + k];
    }
  }
  keep->assign(order.begin(), order.begin() + k);
  L->assign(k * k, 0.0);
  for (int i = 0; i < k; i++)
    for (int j = 0; j <= i; j++) (*L)[i * k + j] = G[order[i] * n + j] / scale[order[i]];
  return k;
}

// Solves L^T x = z for x (L lower triangular, k x k).
static void solve_transposed(const std::vector<double> &L, int k, const double *z, double *x) {
  for (int i = k - 1; i >= 0; i--) {
    double r = z[i];
    for (int j = i + 1; j < k; j++) r -= L[j * k + i] * x[j];
    x[i] = r / L[i * k + i];
  }
}

// The measures' errors of one draw, judged by the targets; counts in met[].
static void judge_draw(const synth_scene *s, const double dm[N_MEASURE], double met[6]) {
  double size = 100 * std::max(fabs(dm[M_SIZE1]), fabs(dm[M_SIZE2]));
  double axis = 0.0;
  for (int c = s->label == 1 ? 0 : 2; c < 3; c++) {
    const double *r = dm + M_ROT + 3 * c;
    axis = std::max(axis, sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]) * 180 / PI);
  }
  double tap = std::max(fabs(dm[M_TAPX]), fabs(dm[M_TAPY]));
  double bend = sqrt(dm[M_BEND] * dm[M_BEND] + dm[M_BEND + 1] * dm[M_BEND + 1] +
                     dm[M_BEND + 2] * dm[M_BEND + 2]);
  double e = std::max(fabs(dm[M_E1]), fabs(dm[M_E2]));
  bool ok[5] = {size <= SIZE_TARGET, axis <= AXIS_TARGET, tap <= TAP_TARGET,
                bend <= std::max(BEND_SHARE * fabs(s->shape.bend1), BEND_LEAST), e <= E_TARGET};
  bool all = true;
  for (int i = 0; i < 5; i++) met[i] += ok[i], all = all && ok[i];
  met[5] += all;
}

namespace {
// The data points of a view, each with its face and curve.
struct view_points {
  std::vector<double> row, col;
  std::vector<int> face, curve;
};
}  // namespace

static void collect_points(const synth_view &v, view_points *p) {
  for (int f = 0; f < v.n_face; f++)
    for (int c = 0; v.face[f].n_points > 0 && c < v.face[f].n_curve; c++)
      for (int j = v.face[f].begin[c]; j >= 0 && j <= v.face[f].end[c]; j++) {
        p->row.push_back(v.face[f].row[j]), p->col.push_back(v.face[f].col[j]);
        p->face.push_back(f), p->curve.push_back(c);
      }
}

// Column i of J (each point's distance across its curve) and of G (the
// measures) by the derivative in parameter p.
static int differentiate(const synth_scene *s, int view, int p, const view_points &pts, int i,
                         int n, std::vector<double> *J, std::vector<double> *G, char *err) {
  synth_view v[2];
  double m[2][N_MEASURE];
  for (int side = 0; side < 2; side++)
    if (!changed_view(s, view, p, side ? -STEP : STEP, &v[side], m[side], err)) {
      if (side) free_synth_view(&v[0]);
      return 0;
    }
  for (size_t k = 0; k < pts.row.size(); k++) {
    double plus = across(v[0].face[pts.face[k]], pts.curve[k], pts.row[k], pts.col[k]);
    double minus = across(v[1].face[pts.face[k]], pts.curve[k], pts.row[k], pts.col[k]);
    (*J)[k * n + i] = (plus - minus) / (2 * STEP);
  }
  for (int q = 0; q < N_MEASURE; q++) (*G)[q * n + i] = (m[0][q] - m[1][q]) / (2 * STEP);
  free_synth_view(&v[0]);
  free_synth_view(&v[1]);
  return 1;
}

// The Fisher information J^T J at unit noise over the points whose distance
// is known in every derivative (a curve's ends are left out); returns their
// count.  The covariance at noise sigma is sigma^2 times its inverse.
static int information(const std::vector<double> &J, int npt, int n, std::vector<double> *I) {
  I->assign(n * n, 0.0);
  int used = 0;
  for (int k = 0; k < npt; k++) {
    const double *r = &J[(size_t)k * n];
    bool known = true;
    for (int i = 0; i < n; i++) known = known && std::isfinite(r[i]);
    if (!known) continue;
    used++;
    for (int i = 0; i < n; i++)
      for (int j = 0; j < n; j++) (*I)[i * n + j] += r[i] * r[j];
  }
  return used;
}

// C = (L L^T)^-1, k x k.
static void covariance(const std::vector<double> &L, int k, std::vector<double> *C) {
  C->assign(k * k, 0.0);
  std::vector<double> y(k), x(k);
  for (int j = 0; j < k; j++) {
    for (int i = 0; i < k; i++) {  // L y = unit vector j
      double r = i == j ? 1.0 : 0.0;
      for (int t = 0; t < i; t++) r -= L[i * k + t] * y[t];
      y[i] = r / L[i * k + i];
    }
    solve_transposed(L, k, y.data(), x.data());
    for (int i = 0; i < k; i++) (*C)[i * k + j] = x[i];
  }
}

// The shares of DRAWS parameter errors from the bound that meet each target.
static void judge_draws(const synth_scene *s, const std::vector<double> &L, int kept,
                        const std::vector<int> &keep, const std::vector<double> &G, int n,
                        synth_bound *b) {
  std::mt19937_64 rng(1);
  std::vector<double> z(kept), x(kept);
  double met[6] = {0, 0, 0, 0, 0, 0}, dm[N_MEASURE];
  for (int d = 0; d < DRAWS; d++) {
    for (int i = 0; i < kept; i++) z[i] = synth_normal_deviate(&rng);
    solve_transposed(L, kept, z.data(), x.data());
    for (int q = 0; q < N_MEASURE; q++) {
      dm[q] = 0.0;
      for (int i = 0; i < kept; i++) dm[q] += G[q * n + keep[i]] * x[i] * s->noise;
    }
    judge_draw(s, dm, met);
  }
  b->met_size = met[0] / DRAWS, b->met_axis = met[1] / DRAWS, b->met_tap = met[2] / DRAWS;
  b->met_bend = met[3] / DRAWS, b->met_e = met[4] / DRAWS, b->met_all = met[5] / DRAWS;
}

int bound_synth_view(const synth_scene *s, int view, synth_bound *b, char *err) {
  if (!(s->noise > 0)) {
    snprintf(err, SYNTH_ERROR_SIZE, "--bound needs the noise of the data (-n)");
    return 0;
  }
  synth_scene plain = *s;
  plain.noise = 0.0;
  synth_view base;
  if (!make_synth_view(&plain, view, &base, err)) return 0;
  view_points pts;
  collect_points(base, &pts);
  free_synth_view(&base);
  int npt = (int)pts.row.size();

  std::vector<int> params;
  for (int p = 0; p < N_PARAM; p++)
    if (is_free(s, p)) params.push_back(p);
  int n = (int)params.size();
  std::vector<double> J((size_t)npt * n), G(N_MEASURE * n), I, L, C;
  for (int i = 0; i < n; i++)
    if (!differentiate(&plain, view, params[i], pts, i, n, &J, &G, err)) return 0;
  b->points = information(J, npt, n, &I);
  std::vector<int> keep;
  int kept = factor_information(I, n, &keep, &L);
  if (kept == 0) {
    snprintf(err, SYNTH_ERROR_SIZE, "--bound: the view's contours determine none of the parameters");
    return 0;
  }
  b->free_count = kept;
  covariance(L, kept, &C);
  auto sd = [&](int q, int count) {  // of the sum of count measures' squares
    double v = 0.0;
    for (int m = q; m < q + count; m++)
      for (int i = 0; i < kept; i++)
        for (int j = 0; j < kept; j++)
          v += G[m * n + keep[i]] * C[i * kept + j] * G[m * n + keep[j]];
    return s->noise * sqrt(v);
  };
  b->sd_size[0] = 100 * sd(M_SIZE1, 1);
  b->sd_size[1] = 100 * sd(M_SIZE2, 1);
  b->sd_axis = sd(M_ROT + 6, 3) * 180 / PI;
  b->sd_tap[0] = sd(M_TAPX, 1), b->sd_tap[1] = sd(M_TAPY, 1);
  b->sd_bend = sd(M_BEND, 3);
  b->sd_e[0] = sd(M_E1, 1), b->sd_e[1] = sd(M_E2, 1);
  judge_draws(s, L, kept, keep, G, n, b);
  return 1;
}

void print_synth_bound(FILE *fp, const synth_scene *s, int view, const synth_bound *b) {
  fprintf(fp, "view %d: %d points, noise %g px, %d parameters determined\n", view, b->points,
          s->noise, b->free_count);
  fprintf(fp, "standard deviation at best: sizes %.2f %.2f %%, axis %.2f degrees, "
          "tapers %.3f %.3f, bend %.3f, e1 %.3f, e2 %.3f\n", b->sd_size[0], b->sd_size[1],
          b->sd_axis, b->sd_tap[0], b->sd_tap[1], b->sd_bend, b->sd_e[0], b->sd_e[1]);
  fprintf(fp, "targets met at best: size %.0f %%, axis %.0f %%, tap %.0f %%, bend %.0f %%, "
          "e %.0f %%, all %.0f %%\n", 100 * b->met_size, 100 * b->met_axis, 100 * b->met_tap,
          100 * b->met_bend, 100 * b->met_e, 100 * b->met_all);
}
