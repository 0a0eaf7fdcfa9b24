// forces.cpp -- data forces: which node each contour point pulls on, how the
// pull is gathered per degree of freedom, and what rigid motion and the shape
// dynamics take from it.
//
// Reads a model's node positions (posit, proj_posit), camera-frame normals and
// tangents (rnormal, dXdu, dXdv), its force maps and faces.  Writes each node's
// force and Force slots, the model's force_cnt and gof, the net force and
// torque, and the model-frame copies rforce and rForce.  Each data point keeps
// the node it matched, its distance and its force from the last pass.  The
// model's force_nodes list marks the nodes that carry force, so that the
// reset, the turn into the model frame and the sums walk only those.
//
// Start with compute_range_data_forces_projection: it walks every active force
// map's sampled points, finds each point's nearest node (the three searches at
// the top, each map's candidates listed once per pass) and hands the
// separation to perform_force_mapping (a box's outline curve, with the
// outline stage option, may take a silhouette node of its face instead:
// see nearer_across_outline).  With the smooth stage option the separation
// is taken across the contour curved between the nodes (contours.cpp).
// draw_force walks the same points to show the forces.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Mqmalloc.h"
#include "hybroid.h"
#include "vector_ops.h"

// Start value of the best squared distance of a search: larger than any
// image-plane distance, so "no node" is a distance of sqrt(1e41).
static const double NO_MATCH_SQUARED_DISTANCE = 1e41;

// On the occluding contour of a curved surface a node takes part only when
// the cosine between its normal and the line of sight is at most this.
static const double SILHOUETTE_COSINE = 0.14;

// Force slot of each degree-of-freedom bit that has one.
//        bit         slot
static const struct {
  int bit, slot;
} force_slots[] = {
    {DF_SC,       SLOT_SC},
    {DF_A1,       SLOT_A1},
    {DF_A2,       SLOT_A2},
    {DF_A3,       SLOT_A3},
    {DF_TAPX,     SLOT_TAPX},
    {DF_TAPY,     SLOT_TAPY},
    {DF_BEND1,    SLOT_BEND1},
    {DF_BEND3,    SLOT_BEND3},
    {DF_TRANS,    SLOT_TRANS},
    {DF_ROT,      SLOT_ROT},
    {DF_ROTZ,     SLOT_ROTZ},
};

// Slots that carry data forces and are cleared before each pass.
static const int used_slots[] = {SLOT_SC,    SLOT_A1,   SLOT_A2,  SLOT_A3,
                                 SLOT_TAPX,  SLOT_TAPY, SLOT_TRANS, SLOT_ROT,
                                 SLOT_ROTZ,  SLOT_BEND1, SLOT_BEND3};

// Slots that unrotate_force turns into the model frame (the shape slots).
static const int shape_slots[] = {SLOT_SC,   SLOT_A1,   SLOT_A2,    SLOT_A3,
                                  SLOT_TAPX, SLOT_TAPY, SLOT_BEND1, SLOT_BEND3};

// Colour of a drawn force: the first bit of the display mask found in this
// order decides.
//        bit        colour index
static const struct {
  int bit, colour;
} force_colours[] = {
    {DF_TRANS,  5},
    {DF_ROT,    6},
    {DF_ROTZ,   6},
    {DF_A1,     1},
    {DF_A2,     2},
    {DF_A3,     4},
    {DF_SC,     3},
    {DF_TAPX,   3},
    {DF_TAPY,   3},
    {DF_BEND1,  3},
    {DF_BEND3,  3},
};
// Colour of a drawn force whose mask matches the map through a bit that has
// no entry above (0x10, 0x20, 0x200: shape bits, drawn like the others), and
// of a whole-force point.
static const int OTHER_SHAPE_COLOUR = 3;
static const int WHOLE_FORCE_COLOUR = 7;

#define COUNT_OF(a) (int)(sizeof(a) / sizeof((a)[0]))

// ---------------------------------------------------------------------------
// Small vector helpers
// ---------------------------------------------------------------------------






// Scales v to unit length, the length rounded to single precision; a zero
// vector stays zero.
static void normalize_single(vector *v) {
  double len = (double)(float)length_vector(*v);
  double factor = len == 0.0 ? 0.0 : 1.0 / len;
  v->x *= factor;
  v->y *= factor;
  v->z *= factor;
}

// i mod n in 0 .. n-1, also for negative i (n > 0).
static int wrap_index(long i, int n) {
  long r = i % n;
  return (int)(r < 0 ? r + n : r);
}

// True when every component of v is +0 (not -0).
static bool is_plus_zero(const vector &v) {
  uint64_t x, y, z;
  memcpy(&x, &v.x, sizeof x);
  memcpy(&y, &v.y, sizeof y);
  memcpy(&z, &v.z, sizeof z);
  return (x | y | z) == 0;
}

// ---------------------------------------------------------------------------
// The nodes that carry force
// ---------------------------------------------------------------------------

void alloc_force_nodes(hybroid *h) {
  if (!h->nodes || h->numnodes <= 0) return;
  force_nodes *f = (force_nodes *)Mqcalloc_checked(1, sizeof(force_nodes));
  f->size = h->numnodes;
  f->marked = (unsigned char *)Mqcalloc_checked(h->numnodes, sizeof(unsigned char));
  f->index = (int *)Mqcalloc_checked(h->numnodes, sizeof(int));
  h->forced = f;
}

void free_force_nodes(hybroid *h) {
  force_nodes *f = h->forced;
  if (!f) return;
  Mqfree(f->marked);
  Mqfree(f->index);
  Mqfree(f);
  h->forced = nullptr;
}

void forget_force_nodes(hybroid *h) {
  if (!h->forced) return;
  h->forced->known = 0;
  h->forced->rotated_known = 0;
}

static bool covers_nodes(const hybroid *h) {
  return h->forced && h->nodes && h->forced->size == h->numnodes;
}

// The model's list when it covers its node array, else null.  A list that
// does not cover them forgets what it knew: forces written meanwhile go
// unmarked, and would be missed if the node count came back.
static force_nodes *force_list(hybroid *h) {
  if (covers_nodes(h)) return h->forced;
  forget_force_nodes(h);
  return nullptr;
}

static inline void mark_node(hybroid *h, const node *nd) {
  force_nodes *f = force_list(h);
  if (!f) return;
  long i = nd - h->nodes;
  if (i >= 0 && i < f->size)
    f->marked[i] = 1;
  else
    forget_force_nodes(h);
}

void mark_force_node(hybroid *h, const node *nd) { mark_node(h, nd); }

const force_nodes *rotated_force_nodes(const hybroid *h) {
  return covers_nodes(h) && h->forced->rotated_known ? h->forced : nullptr;
}

int list_marked_nodes(const force_nodes *f) {
  int n = 0;
  for (int i = 0; i < f->size; i++) {
    f->index[n] = i;  // kept only when marked
    n += f->marked[i] != 0;
  }
  return n;
}

// ---------------------------------------------------------------------------
// Nearest-node correspondence
// ---------------------------------------------------------------------------

// A search offers nodes in a fixed order and keeps the first of the
// nearest: only a strictly nearer node replaces the best.  So a node that
// the search skips for lying off the silhouette, and a second offer of a
// node already offered, can never win.  The candidates of a map are
// therefore listed once per pass, in the order of the first offers, with
// the image positions copied beside them, and each of the map's points
// scans the short list.
struct candidate {
  node *nd;
  vector pos;  // the position the search measures: posit or proj_posit
};

typedef std::vector<candidate> candidate_list;

static void add_candidate(candidate_list *l, node *nd, vector pos) { l->push_back({nd, pos}); }

// Every node in index order, for a map without a patch.
static void list_all_nodes(const hybroid *h, candidate_list *l) {
  l->clear();
  if (!h->nodes) return;
  for (int i = 0; i < h->numnodes; i++) add_candidate(l, &h->nodes[i], h->nodes[i].posit);
}

// True when the node's normal is too far from perpendicular to the line of
// sight for the node to lie on the silhouette.
static bool off_silhouette(const node *nd, int perspective) {
  if (!perspective) return fabs(nd->rnormal.z) > SILHOUETTE_COSINE;
  double len = (double)(float)length_vector(nd->posit);
  return fabs(dot_vector(nd->rnormal, nd->posit)) > SILHOUETTE_COSINE * len;
}

// Number of grid rows whose nodes all exist in the node array.
static int valid_rows(const hybroid *h) {
  if (!h->nodes || h->vsize <= 0 || h->usize <= 0) return 0;
  long rows = h->numnodes / h->vsize;
  return (int)(rows < h->usize ? rows : h->usize);
}

// Grid node (row, column), the column wrapped; null outside the grid.
static node *grid_node_at(hybroid *h, int row, long column) {
  if (row < 0 || row >= valid_rows(h)) return nullptr;
  return &h->nodes[(long)row * h->vsize + wrap_index(column, h->vsize)];
}

// How squarely a node faces the camera: the cosine between its normal and
// the line of sight, positive when its side faces it.
double facing_cosine(const node *nd, int perspective) {
  if (!perspective) return nd->rnormal.z;
  double len = length_vector(nd->posit);
  return len > 0.0 ? -dot_vector(nd->rnormal, nd->posit) / len : 0.0;
}

// Whether grid node (row, column) faces the camera the other way from
// one of its four grid neighbours (rows beyond the grid have none): the
// occluding contour passes between them.
static bool on_discrete_silhouette(hybroid *h, int row, long column, int perspective) {
  bool front = facing_cosine(grid_node_at(h, row, column), perspective) > 0.0;
  const int steps[4][2] = {{-1, 0}, {1, 0}, {0, -1}, {0, 1}};
  for (const auto &s : steps) {
    node *other = grid_node_at(h, row + s[0], column + s[1]);
    if (other && (facing_cosine(other, perspective) > 0.0) != front) return true;
  }
  return false;
}

// Lists the nodes first .. last of one row, in that order.  On a curved
// occluding contour only the nodes near it: those that nearly face across
// the line of sight, and with smooth_contours also those beside a turn, so
// that every grid line that crosses the contour offers a node there.
static void list_columns(hybroid *h, candidate_list *l, node *first, node *last,
                         bool silhouette_only, int perspective) {
  for (node *nd = first; nd <= last; nd++) {
    long i = nd - h->nodes;
    if (silhouette_only && off_silhouette(nd, perspective) &&
        !(h->smooth_contours &&
          on_discrete_silhouette(h, (int)(i / h->vsize), i % h->vsize, perspective)))
      continue;
    add_candidate(l, nd, perspective ? nd->proj_posit : nd->posit);
  }
}

// Calls visit(first, last) for the runs of the patch's nodes: rows u1 .. u2
// (clipped to the grid), and in each row the columns v1 .. v2, wrapping past
// the last column when v2 < v1.  A row is taken as runs of adjacent columns,
// each run up to the row's end (the order of stepping the column and
// wrapping it); a patch wider than the grid offers each column of a row
// once, the later offers being repeats.
template <class Visit>
static void for_each_patch_run(hybroid *h, const force_map *fmp, Visit visit) {
  int rows = valid_rows(h);
  int u_first = fmp->u1 < 0 ? 0 : fmp->u1;
  int u_last = fmp->u2 < rows - 1 ? fmp->u2 : rows - 1;
  long v_end = fmp->v2 < fmp->v1 ? (long)fmp->v2 + h->vsize : (long)fmp->v2;
  long columns = v_end - fmp->v1 + 1;  // columns offered per row
  if (columns > h->vsize) columns = h->vsize;
  for (int u = u_first; u <= u_last; u++) {
    node *row = &h->nodes[(long)u * h->vsize];
    int column = wrap_index(fmp->v1, h->vsize);
    for (long left = columns; left > 0; column = 0) {
      long run = left < h->vsize - column ? left : h->vsize - column;
      visit(row + column, row + column + run - 1);
      left -= run;
    }
  }
}

// The map's patch, the nodes off the silhouette skipped on a curved
// occluding contour.
static void list_patch(hybroid *h, const force_map *fmp, int perspective, candidate_list *l) {
  l->clear();
  bool silhouette_only = curved_occluding_contour(h->primitive_label, fmp->face, fmp->curve);
  for_each_patch_run(h, fmp, [&](node *first, node *last) {
    list_columns(h, l, first, last, silhouette_only, perspective);
  });
}

// ---------------------------------------------------------------------------
// Outline curves of a box (the outline stage option)
// ---------------------------------------------------------------------------
//
// A curve with the background across it is the model's outline in the
// image.  On a sharp box that is the edge line its map names; on a rounded
// one it is the occluding contour, which runs across the face up to a few
// pixels outside the edge line.  With outline_match set, such a curve also
// offers the face's silhouette nodes: the nodes whose normal faces the
// camera while a grid neighbour's faces away, or the other way round (both
// of each pair, so that the nearer of them to the true contour can win).
// Each point takes the nearest node of the edge line or the nearest
// silhouette node, whichever lies nearer across the outline (the distance
// the shaped force measures: across the edge line, along the silhouette
// node's normal), so that on either kind of outline the true model leaves
// every point where it is.

static bool matches_outline(const hybroid *h, const force_map *fmp) {
  if (!h->outline_match || h->primitive_label != 1) return false;
  return curve_outline_mark(h, fmp->face, fmp->curve) == 1;
}

// The silhouette nodes of the map's face.
static void list_face_silhouette(hybroid *h, const force_map *fmp, int perspective,
                                 candidate_list *l) {
  l->clear();
  force_map patch = {};
  if (!box_face_patch(h, fmp->face, &patch)) return;
  for_each_patch_run(h, &patch, [&](node *first, node *last) {
    for (node *nd = first; nd <= last; nd++) {
      long i = nd - h->nodes;
      if (on_discrete_silhouette(h, (int)(i / h->vsize), i % h->vsize, perspective))
        add_candidate(l, nd, perspective ? nd->proj_posit : nd->posit);
    }
  });
}

// Whether n is a node of the map's own patch (every node is, for a map
// without a patch).
static bool in_own_patch(const hybroid *h, const force_map *fmp, const node *n) {
  if (fmp->u1 == -1) return true;
  long i = n - h->nodes;
  if (i < 0 || i >= (long)valid_rows(h) * h->vsize) return false;
  int row = (int)(i / h->vsize);
  if (row < fmp->u1 || row > fmp->u2) return false;
  long v_end = fmp->v2 < fmp->v1 ? (long)fmp->v2 + h->vsize : (long)fmp->v2;
  long span = v_end - fmp->v1;
  return span >= h->vsize - 1 || wrap_index(i % h->vsize - fmp->v1, h->vsize) <= span;
}

// The candidates of a map's searches in the model's projection.
static void list_candidates(hybroid *h, const force_map *fmp, candidate_list *l) {
  if (fmp->u1 == -1)
    list_all_nodes(h, l);
  else
    list_patch(h, fmp, h->perspective_flag, l);
}

// The nearest listed node to point in the image plane, or null.
static node *nearest_listed_node(const candidate_list &l, vector point, vector *separation,
                                 double *distance) {
  node *best = nullptr;
  double best_d2 = NO_MATCH_SQUARED_DISTANCE;
  for (const candidate &c : l) {
    double dx = point.x - c.pos.x;
    double dy = point.y - c.pos.y;
    double dz = point.z - c.pos.z;
    double d2 = dx * dx + dy * dy;
    if (d2 < best_d2) {
      best_d2 = d2;
      best = c.nd;
      *separation = {dx, dy, dz};
    }
  }
  *distance = sqrt(best_d2);
  return best;
}

node *nearest_hybroid_node2D(hybroid *h, vector point, vector *separation,
                             double *distance) {
  candidate_list l;
  list_all_nodes(h, &l);
  return nearest_listed_node(l, point, separation, distance);
}

static node *search_patch(hybroid *h, force_map *fmp, vector point, int perspective,
                          vector *separation, double *distance) {
  candidate_list l;
  list_patch(h, fmp, perspective, &l);
  return nearest_listed_node(l, point, separation, distance);
}

node *nearest_hybroid_node_ortho_projection(hybroid *h, struct force_map *fmp,
                                            vector point, vector *separation,
                                            double *distance) {
  return search_patch(h, fmp, point, 0, separation, distance);
}

node *nearest_hybroid_node_perspective_projection(hybroid *h, struct force_map *fmp,
                                                  vector point, vector *separation,
                                                  double *distance) {
  return search_patch(h, fmp, point, 1, separation, distance);
}

// ---------------------------------------------------------------------------
// Data-force pass
// ---------------------------------------------------------------------------

static void zeroize_node_force(node *nd) {
  nd->force = {0.0, 0.0, 0.0};
  for (int k = 0; k < COUNT_OF(used_slots); k++) nd->Force[used_slots[k]] = {0.0, 0.0, 0.0};
}

// A node not marked already holds the +0 vectors, while the list is known.
void zeroize_force(hybroid *h) {
  if (!h->nodes) return;
  force_nodes *f = force_list(h);
  if (f && f->known) {
    int n = list_marked_nodes(f);
    for (int k = 0; k < n; k++) zeroize_node_force(&h->nodes[f->index[k]]);
    return;
  }
  for (int i = 0; i < h->numnodes; i++) zeroize_node_force(&h->nodes[i]);
  if (f) f->known = 1;
}

void zeroize_gof(hybroid *h) {
  h->gof = 0.0;
  h->gof_square = 0.0;
}

// A map acts when it drives something and mask selects it, directly or
// through whole-force mode.
static bool map_is_active(const force_map *fmp, int mask) {
  if (fmp->df_mode == 0) return false;
  return (mask & fmp->df_mode) != 0 || (mask & DF_WHOLE_FORCE) != 0;
}

// The points of one map's contour that a pass uses: indices first, first +
// step, ... up to last, each taken modulo the face's point count.
struct contour_walk {
  Face *face;
  long first, last;
  int step;
};

// Plans the walk of a map's contour.  Returns false for a map that names no
// face or curve, a face without data, or an absent curve.
static bool plan_contour_walk(hybroid *h, const force_map *fmp, contour_walk *w) {
  if (fmp->face < 0 || fmp->face >= MAX_FACES) return false;
  if (fmp->curve < 0 || fmp->curve >= MAX_CURVES) return false;
  Face *f = &h->face[fmp->face];
  if (f->n_points <= 0 || !f->points) return false;
  long b = f->begin[fmp->curve];
  long e = f->end[fmp->curve];
  if (b < 0) return false;
  if (e < b) e += f->n_points;  // the contour wraps past the last point
  int s = 0;
  if (h->subsample != 0) s = (int)((e - b - 7) / 8);  // about 8 points per contour
  if (s < 0) s = 0;
  *w = {f, b, e, 1 + s};
  return true;
}

static range_datapoint *walk_point(const contour_walk *w, long j) {
  return &w->face->points[wrap_index(j, w->face->n_points)];
}

// The candidates of the map being walked; the buffer keeps its room from
// pass to pass.
static candidate_list pass_candidates;

// The silhouette nodes of the outline curve being walked.
static candidate_list pass_silhouette;

static double distance_across(hybroid *h, const force_map *fmp, node *n, vector separation);

// An outline point whose nearest node on the edge line is n (separation *s,
// distance *d): the nearest silhouette node instead when that lies nearer
// across the outline.
static node *nearer_across_outline(hybroid *h, const force_map *fmp, vector point, node *n,
                                   vector *s, double *d) {
  vector s2 = {0.0, 0.0, 0.0};
  double d2 = 0.0;
  node *m = nearest_listed_node(pass_silhouette, point, &s2, &d2);
  if (!m) return n;
  if (n && distance_across(h, fmp, n, *s) <= distance_across(h, fmp, m, s2)) return n;
  *s = s2;
  *d = d2;
  return m;
}

// Calls match(fmp, dp, node, separation) for every sampled point of every
// active map, in the pass's order, with the point's nearest node (null
// when none) and its separation; the point's mag_force is set to the
// distance.  Node positions and normals stay as they are meanwhile.
template <class Match>
static void for_each_nearest_node(hybroid *h, Match match) {
  int n_maps = h->n_force < MAX_FORCE_MAPS ? h->n_force : MAX_FORCE_MAPS;
  int silhouette_face = -1;  // the face pass_silhouette lists in this pass
  for (int i = 0; i < n_maps; i++) {
    force_map *fmp = &h->force_map[i];
    contour_walk w;
    if (!map_is_active(fmp, h->df_mask) || !plan_contour_walk(h, fmp, &w)) continue;
    list_candidates(h, fmp, &pass_candidates);
    bool outline = fmp->u1 != -1 && matches_outline(h, fmp);
    if (outline && fmp->face != silhouette_face) {  // a face's curves come one after another
      list_face_silhouette(h, fmp, h->perspective_flag, &pass_silhouette);
      silhouette_face = fmp->face;
    }
    for (long j = w.first; j <= w.last; j += w.step) {
      range_datapoint *dp = walk_point(&w, j);
      vector s = {0.0, 0.0, 0.0};
      node *n = nearest_listed_node(pass_candidates, dp->position, &s, &dp->mag_force);
      if (outline) n = nearer_across_outline(h, fmp, dp->position, n, &s, &dp->mag_force);
      match(fmp, dp, n, s);
    }
  }
}

int nearest_node_searches_of_pass(hybroid *h) {
  int found = 0;
  for_each_nearest_node(h, [&](force_map *, range_datapoint *, node *n, vector) {
    found += n != nullptr;
  });
  return found;
}

// Perspective: tilt the image-plane force s so that it is perpendicular to
// the line of sight through the node at p.  A node at the camera centre has
// no line of sight and leaves s in the image plane.
static void perpendicular_to_sight(vector p, vector *s) {
  if (p.z != 0.0) s->z = -(p.x * s->x + p.y * s->y) / p.z;
}

// The last unit force direction of a pass and what it was made from (see
// unit_force_direction).
struct direction_memo {
  bool known;
  vector from, at;  // direction taken from the mesh, node position
  vector unit;
  touch_memo *touches;  // smooth: the last silhouette node's touching points, or null
};

static void shape_normal_force(hybroid *h, force_map *fmp, range_datapoint *dp,
                               vector *separation, double *distance, direction_memo *memo);

// One data point of one map, matched to its nearest node n (separation s):
// shape its force, distribute it.
static void apply_data_point(hybroid *h, force_map *fmp, range_datapoint *dp, node *n,
                             vector s, direction_memo *memo) {
  dp->nearest_node = n;
  if (!dp->nearest_node) return;
  s.z = 0.0;
  if (h->normal_force_flag > 0) shape_normal_force(h, fmp, dp, &s, &dp->mag_force, memo);
  dp->force = s;
  if (h->perspective_flag) perpendicular_to_sight(dp->nearest_node->posit, &s);
  perform_force_mapping(h, fmp, dp, s, dp->mag_force);
}

void compute_range_data_forces_projection(hybroid *h) {
  touch_memo touches;
  touches.n = nullptr;
  direction_memo memo = {};
  memo.touches = &touches;
  zeroize_gof(h);
  for_each_nearest_node(h, [&](force_map *fmp, range_datapoint *dp, node *n, vector s) {
    apply_data_point(h, fmp, dp, n, s, &memo);
  });
  compute_gof(h);
}

// Direction that shapes the force of a point matched to n.  Sets *tangent
// when the force must lose its component along the direction (a contour
// along one row or one column of the patch), clears it when only the
// component along the direction (the normal) remains.  A mid-patch node
// outside the grid falls back on n's own tangent.
static vector choose_force_direction(hybroid *h, const force_map *fmp, node *n, bool *tangent) {
  *tangent = true;
  if (h->outline_match && !in_own_patch(h, fmp, n)) {
    *tangent = false;  // a silhouette node of an outline curve: the normal alone
    return n->rnormal;
  }
  if (fmp->u1 == fmp->u2) {
    long v2 = fmp->v2 < fmp->v1 ? (long)fmp->v2 + h->vsize : (long)fmp->v2;
    node *mid = h->e2 >= 0.5 ? nullptr : grid_node_at(h, fmp->u1, ((long)fmp->v1 + v2) / 2);
    return mid ? mid->dXdv : n->dXdv;
  }
  if (fmp->v1 == fmp->v2 && h->e1 >= 0.5 && h->smooth_contours) return n->dXdu;
  if (fmp->v1 == fmp->v2 && h->e1 < 0.5) {
    node *mid = h->e2 >= 0.5 ? nullptr : grid_node_at(h, (fmp->u1 + fmp->u2) / 2, fmp->v1);
    return mid ? mid->dXdu : n->dXdu;
  }
  *tangent = false;
  return n->rnormal;
}

// Direction a taken from the mesh at node position at, as a unit image-plane
// direction: projected in perspective, laid onto the image plane otherwise.
// The result depends on the bits of a and at alone (the projection mode
// stays as it is during a pass), and consecutive points of a contour mostly
// pull the same node: a repeat of the last inputs takes the last result.
static vector unit_force_direction(const hybroid *h, vector a, vector at,
                                   direction_memo *memo) {
  if (memo->known && same_vector_bits(memo->from, a) && same_vector_bits(memo->at, at))
    return memo->unit;
  memo->known = true;
  memo->from = a;
  memo->at = at;
  if (h->perspective_flag) {
    project_vector(at, &a);
  } else {
    a.z = 0.0;
    normalize_single(&a);
  }
  memo->unit = a;
  return a;
}

// Separation s of a point matched to n, shaped: without its component
// along the contour, or only its component along the normal.
static vector shaped_separation(hybroid *h, const force_map *fmp, node *n, vector s,
                                direction_memo *memo) {
  bool tangent;
  vector a = unit_force_direction(h, choose_force_direction(h, fmp, n, &tangent), n->posit, memo);
  double along = dot_vector(s, a);
  vector shaped = tangent ? vector{s.x - along * a.x, s.y - along * a.y, s.z - along * a.z}  // S - (S . A) A
                          : vector{along * a.x, along * a.y, along * a.z};                // (S . A) A
  return h->smooth_contours ? smooth_separation(h, fmp, n, tangent, a, s, shaped, memo->touches)
                            : shaped;
}

// compute_normal_force with the pass's direction memory.
static void shape_normal_force(hybroid *h, force_map *fmp, range_datapoint *dp,
                               vector *separation, double *distance, direction_memo *memo) {
  node *n = dp->nearest_node;
  if (!n) return;
  *separation = shaped_separation(h, fmp, n, *separation, memo);
  *distance = (double)(float)length_vector(*separation);
}

// Length of the force a point at separation s from n would get (the image
// plane's part of s): across the edge line, or along the normal.
static double distance_across(hybroid *h, const force_map *fmp, node *n, vector s) {
  direction_memo memo = {};
  s.z = 0.0;
  return length_vector(shaped_separation(h, fmp, n, s, &memo));
}

void compute_normal_force(hybroid *h, struct force_map *fmp, range_datapoint *dp,
                          vector *separation, double *distance) {
  direction_memo memo = {};
  shape_normal_force(h, fmp, dp, separation, distance, &memo);
}

// Image of direction V at camera point P under perspective, as a unit
// image-plane direction.  A point at the camera centre (P.z = 0) leaves the
// direction's x and y as they are.
void project_vector(vector point, vector *direction) {
  if (point.z != 0.0) {
    direction->x = direction->x - point.x * direction->z / point.z;
    direction->y = direction->y - point.y * direction->z / point.z;
  }
  direction->z = 0.0;
  normalize_single(direction);
}

void perform_force_mapping(hybroid *h, struct force_map *fmp, range_datapoint *dp,
                           vector separation, double distance) {
  node *n = dp->nearest_node;
  if (!n) return;
  mark_node(h, n);
  fmp->df_mode |= DF_SC;  // lasting: a map that has acted also drives the scale
  if (h->df_mask != 0) {
    h->gof += distance;
    h->gof_square += distance * distance;
    h->force_cnt[SLOT_TOTAL]++;
    if (h->df_mask & DF_WHOLE_FORCE) n->force = add_vector(n->force, separation);
  }
  for (int k = 0; k < COUNT_OF(force_slots); k++) {
    if (!(fmp->df_mode & force_slots[k].bit)) continue;
    int slot = force_slots[k].slot;
    n->Force[slot] = add_vector(n->Force[slot], separation);
    h->force_cnt[slot]++;
  }
}

void compute_gof(hybroid *h) {
  int n = h->force_cnt[SLOT_TOTAL];
  if (n != 0) h->gof = h->gof / n;
  if (n != 0) h->gof_square = h->gof_square / n;
}

// ---------------------------------------------------------------------------
// Net force and torque, model-frame forces
// ---------------------------------------------------------------------------

// Adds one node's share: whole-force mode takes the total force for every
// rigid bit; otherwise each rigid bit takes its own slot, and the in-plane
// rotation only the z component of its torque.
static void add_node_force_and_torque(hybroid *h, const node *nd) {
  int mask = h->df_mask;
  vector r = {nd->posit.x - h->translation.x, nd->posit.y - h->translation.y,
              nd->posit.z - h->translation.z};
  if (mask & DF_WHOLE_FORCE) {
    if (mask & DF_TRANS) h->net_applied_force = add_vector(h->net_applied_force, nd->force);
    if (mask & (DF_ROT | DF_ROTZ))
      h->net_applied_torque = add_vector(h->net_applied_torque, cross_vector(r, nd->force));
    return;
  }
  if (mask & DF_TRANS)
    h->net_applied_force = add_vector(h->net_applied_force, nd->Force[SLOT_TRANS]);
  if (mask & DF_ROT)
    h->net_applied_torque = add_vector(h->net_applied_torque, cross_vector(r, nd->Force[SLOT_ROT]));
  if (mask & DF_ROTZ) h->net_applied_torque.z += cross_vector(r, nd->Force[SLOT_ROTZ]).z;
}

// Whether the lever arm posit - translation of every node is finite, or
// the step takes no torque.
static bool lever_arms_finite(const hybroid *h) {
  if (!(h->df_mask & (DF_ROT | DF_ROTZ))) return true;
  const vector t = h->translation;
  bool finite = true;
  for (int i = 0; i < h->numnodes; i++) {
    const vector &p = h->nodes[i].posit;
    finite &= std::isfinite(p.x - t.x) & std::isfinite(p.y - t.y) & std::isfinite(p.z - t.z);
  }
  return finite;
}

// A node without force adds +0 to the force and, with a finite lever arm,
// zeros of either sign to the torque; the sums start at +0 and so never
// become -0, and adding a zero leaves them as they are.  With the list known
// and every lever arm finite, the sums take the marked nodes alone, in the
// same order.  (An infinite or NaN lever arm makes a torque of NaN, inf * 0.)
void compute_net_applied_force_and_torque(hybroid *h) {
  h->net_applied_force = {0.0, 0.0, 0.0};
  h->net_applied_torque = {0.0, 0.0, 0.0};
  if (!h->nodes) return;
  force_nodes *f = force_list(h);
  if (f && f->known && lever_arms_finite(h)) {
    int n = list_marked_nodes(f);
    for (int k = 0; k < n; k++) add_node_force_and_torque(h, &h->nodes[f->index[k]]);
    return;
  }
  for (int i = 0; i < h->numnodes; i++) add_node_force_and_torque(h, &h->nodes[i]);
}

// Rotation matrix of the quaternion (-w, x, y, z): the inverse of the
// model's orientation, taking camera-frame directions into the model frame.
static void inverse_orientation_matrix(const quaternion *q, double m[3][3]) {
  double w = -q->w, x = q->v.x, y = q->v.y, z = q->v.z;
  double x2 = 2 * x, y2 = 2 * y, z2 = 2 * z;
  m[0][0] = 1 - y * y2 - z * z2;
  m[0][1] = x * y2 - w * z2;
  m[0][2] = x * z2 + w * y2;
  m[1][0] = x * y2 + w * z2;
  m[1][1] = 1 - x * x2 - z * z2;
  m[1][2] = y * z2 - w * x2;
  m[2][0] = x * z2 - w * y2;
  m[2][1] = y * z2 + w * x2;
  m[2][2] = 1 - x * x2 - y * y2;
}

// m v, where zero_image is m times the +0 vector: rotating any +0 vector
// multiplies and adds the same bits, so it gives zero_image exactly.
static vector rotate_force(const double m[3][3], const vector &v, const vector &zero_image) {
  return is_plus_zero(v) ? zero_image : matrix_times_vector(m, v);
}

static void unrotate_node_force(const double m[3][3], node *nd, const vector &zero_image) {
  nd->rforce = rotate_force(m, nd->force, zero_image);
  for (int k = 0; k < COUNT_OF(shape_slots); k++)
    nd->rForce[shape_slots[k]] = rotate_force(m, nd->Force[shape_slots[k]], zero_image);
}

// Whether any of the node's forces a pass writes is other than +0.
static bool carries_force(const node *nd) {
  if (!is_plus_zero(nd->force)) return true;
  for (int k = 0; k < COUNT_OF(used_slots); k++)
    if (!is_plus_zero(nd->Force[used_slots[k]])) return true;
  return false;
}

// Most nodes pull no data point, and their forces keep the +0 vectors the
// reset left in them: those share one image.  A node not marked already
// holds that image when the list knows it and it has the same bits as
// before; only the marked nodes are then turned, and those whose forces
// are +0 again leave the list.  A walk over every node learns the list.
void unrotate_force(hybroid *h) {
  if (!h->nodes) return;
  double m[3][3];
  inverse_orientation_matrix(&h->orientation, m);
  vector zero_image = matrix_times_vector(m, {0.0, 0.0, 0.0});
  force_nodes *f = force_list(h);
  if (f && f->known && f->rotated_known && same_vector_bits(f->zero_image, zero_image)) {
    int n = list_marked_nodes(f);
    for (int k = 0; k < n; k++) {
      node *nd = &h->nodes[f->index[k]];
      unrotate_node_force(m, nd, zero_image);
      f->marked[f->index[k]] = carries_force(nd);
    }
    return;
  }
  for (int i = 0; i < h->numnodes; i++) {
    unrotate_node_force(m, &h->nodes[i], zero_image);
    if (f) f->marked[i] = carries_force(&h->nodes[i]);
  }
  if (!f) return;
  f->known = f->rotated_known = 1;
  f->zero_image = zero_image;
}

// ---------------------------------------------------------------------------
// Force display
// ---------------------------------------------------------------------------

// Colour of a sampled point of a map under display mask m, or -1 when the
// point is not drawn.
static int force_colour(const hybroid *h, const force_map *fmp, int mask) {
  if (mask & fmp->df_mode) {
    for (int k = 0; k < COUNT_OF(force_colours); k++)
      if (mask & force_colours[k].bit) return force_colours[k].colour;
    return OTHER_SHAPE_COLOUR;
  }
  if (h->df_mask & DF_WHOLE_FORCE) return WHOLE_FORCE_COLOUR;
  return -1;
}

// Draws each sampled point's force as a world-frame line from the point
// toward the node it pulls.
void draw_force(hybroid *h, int mask) {
  int n_maps = h->n_force < MAX_FORCE_MAPS ? h->n_force : MAX_FORCE_MAPS;
  for (int i = 0; i < n_maps; i++) {
    force_map *fmp = &h->force_map[i];
    contour_walk w;
    if (fmp->u1 == -1 || !map_is_active(fmp, mask) || !plan_contour_walk(h, fmp, &w)) continue;
    int colour = force_colour(h, fmp, mask);
    if (colour < 0) continue;
    for (long j = w.first; j <= w.last; j += w.step) {
      range_datapoint *dp = walk_point(&w, j);
      draw_vector(matrix_times_vector(h->camera_rotation, dp->force), dp->wposition, -1.0, colour);
    }
  }
}
