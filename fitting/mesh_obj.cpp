// mesh_obj.cpp -- the fitted surfaces as a Wavefront OBJ file (-m), for 3-D
// viewers.
//
// One named object per model: its mesh nodes at their final tapered and bent
// positions in the world frame (the model's final pose, then its camera's
// pose), with the nodes' unit normals taken to the world frame, and the mesh
// elements as triangles (each grid quadrilateral split in two, the pole caps
// as they are), so the surface is closed.  The elements of the mesh all turn
// the same way; the writer turns them outwards by the sign of the enclosed
// volume.  Vertex numbers run on across the objects, as OBJ wants.
// Start with write_mesh_obj.
#include <cmath>
#include <cstdio>

#include "hybroid.h"
#include "vector_ops.h"

static vector world_normal(const hybroid *h, vector model_normal) {
  return matrix_times_vector(h->camera_rotation, matrix_times_vector(h->rotation, model_normal));
}

static int finite3(vector v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}

static int index_of(const hybroid *h, const node *n) { return (int)(n - h->nodes); }

// The triangles of element e as node indices, turned as the element runs;
// returns their number (0 for an element without its corners).
static int element_triangles(const hybroid *h, const elem &e, int tri[2][3]) {
  for (int k = 0; k < e.nomnodes; k++)
    if (!e.vertices[k]) return 0;
  int a = index_of(h, e.vertices[0]), b = index_of(h, e.vertices[1]);
  int c = index_of(h, e.vertices[2]);
  tri[0][0] = a, tri[0][1] = b, tri[0][2] = c;
  if (e.nomnodes != 4) return 1;
  tri[1][0] = a, tri[1][1] = c, tri[1][2] = index_of(h, e.vertices[3]);
  return 2;
}

// Six times the volume the elements enclose, signed: positive when they
// turn counter-clockwise seen from outside.
static double signed_volume(const hybroid *h) {
  double v6 = 0.0;
  for (int i = 0; i < h->numelems; i++) {
    int tri[2][3];
    int n = element_triangles(h, h->elems[i], tri);
    for (int t = 0; t < n; t++) {
      vector a = h->nodes[tri[t][0]].wposit, b = h->nodes[tri[t][1]].wposit;
      vector c = h->nodes[tri[t][2]].wposit;
      v6 += a.x * (b.y * c.z - b.z * c.y) + a.y * (b.z * c.x - b.x * c.z) +
            a.z * (b.x * c.y - b.y * c.x);
    }
  }
  return v6;
}

static void write_faces(FILE *fp, const hybroid *h, int first) {
  int reverse = signed_volume(h) < 0.0;
  for (int i = 0; i < h->numelems; i++) {
    int tri[2][3];
    int n = element_triangles(h, h->elems[i], tri);
    for (int t = 0; t < n; t++) {
      int a = tri[t][0] + first, b = tri[t][1] + first, c = tri[t][2] + first;
      if (reverse) {
        int s = b;
        b = c;
        c = s;
      }
      fprintf(fp, "f %d//%d %d//%d %d//%d\n", a, a, b, b, c, c);
    }
  }
}

// One object: vertices, normals and faces of model i; first is the OBJ
// number of its first vertex.  Returns the number of vertices and normals
// that are not finite.
static int write_model(FILE *fp, int i, int first) {
  hybroid *h = Hybroids[i];
  compute_positions(h);  // the final pose: the last step moved the model after its positions
  fprintf(fp, "# model %d: %s, label %d\no model%d\n", i, filenames[i], h->primitive_label, i);
  int bad = 0;
  for (int k = 0; k < h->numnodes; k++) {
    vector p = h->nodes[k].wposit;
    bad += !finite3(p);
    fprintf(fp, "v %.17g %.17g %.17g\n", p.x, p.y, p.z);
  }
  for (int k = 0; k < h->numnodes; k++) {
    vector n = world_normal(h, h->nodes[k].normal);
    bad += !finite3(n);
    fprintf(fp, "vn %.17g %.17g %.17g\n", n.x, n.y, n.z);
  }
  write_faces(fp, h, first);
  return bad;
}

int write_mesh_obj(FILE *fp, int *non_finite) {
  fprintf(fp, "# hybfit: fitted surfaces, world frame\n");
  int first = 1;
  *non_finite = 0;
  for (int i = 0; i < Num_Hybroids; i++) {
    if (!Hybroids[i] || !Hybroids[i]->nodes || !Hybroids[i]->elems) continue;
    *non_finite += write_model(fp, i, first);
    first += Hybroids[i]->numnodes;
  }
  return 0;
}
