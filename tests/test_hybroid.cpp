// Model allocation, mesh construction, release and the text reports.
#include <cmath>
#include <string>

#include "model_fixture.h"
#include "test_util.h"

using testmodel::grid;
using testmodel::make_model;
using testmodel::north_pole;
using testmodel::south_pole;

// Angles come from repeated addition of the row and column steps; a few
// rounding errors of pi-sized values.
static const double ANGLE_TOL = 1e-14;

// The 3 x 4 mesh (rows south to north, columns from longitude -pi):
//
//          N (13)
//   row 2:  8   9  10  11     u =  pi/4
//   row 1:  4   5   6   7     u =  0
//   row 0:  0   1   2   3     u = -pi/4
//          S (12)
//   v:     -pi -pi/2 0  pi/2
TEST(Mesh, ThreeRowsOfFourColumnsGiveFourteenNodesAndSixteenElements) {
  ::testing::internal::CaptureStderr();
  auto m = make_model(3, 4);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(m->numnodes, 14);
  EXPECT_EQ(m->numelems, 16);
  EXPECT_NE(err.find("Element number:elems = 16\n"), std::string::npos);
  EXPECT_NE(err.find("Made number of elemnts:celm = 16\n"), std::string::npos);
  int quads = 0, tris = 0;
  for (int e = 0; e < m->numelems; e++) (m->elems[e].nomnodes == 4 ? quads : tris)++;
  EXPECT_EQ(quads, 8);
  EXPECT_EQ(tris, 8);
}

TEST(Mesh, RowsAndColumnsLieAtTheirLatitudesAndLongitudes) {
  auto m = make_model(3, 4);
  hybroid *h = m.get();
  const double rows[3] = {-M_PI / 4, 0.0, M_PI / 4};
  const double cols[4] = {-M_PI, -M_PI / 2, 0.0, M_PI / 2};
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 4; j++) {
      node &n = grid(h, i, j);
      EXPECT_NEAR(n.uu, rows[i], ANGLE_TOL) << i << "," << j;
      EXPECT_NEAR(n.vv, cols[j], ANGLE_TOL) << i << "," << j;
      EXPECT_EQ(n.sinu, sin(n.uu));
      EXPECT_EQ(n.cosu, cos(n.uu));
      EXPECT_EQ(n.sinv, sin(n.vv));
      EXPECT_EQ(n.cosv, cos(n.vv));
    }
  EXPECT_NEAR(h->ustep, M_PI / 4, ANGLE_TOL);
  EXPECT_NEAR(h->vend, M_PI / 2, ANGLE_TOL);
  node &S = south_pole(h), &N = north_pole(h);
  EXPECT_EQ(S.uu, -M_PI / 2);
  EXPECT_EQ(N.uu, M_PI / 2);
  EXPECT_EQ(S.cosu, 0.0);
  EXPECT_EQ(S.sinu, -1.0);
  EXPECT_EQ(N.sinu, 1.0);
  EXPECT_EQ(S.cosv, 1.0);
  EXPECT_EQ(N.sinv, 0.0);
}

TEST(Mesh, QuadrilateralsComeFirstRowByRowThenAlternatingCapTriangles) {
  auto m = make_model(3, 4);
  hybroid *h = m.get();
  node *S = &south_pole(h), *N = &north_pole(h);
  int e = 0;
  for (int i = 0; i < 2; i++)
    for (int j = 0; j < 4; j++, e++) {
      const elem &q = h->elems[e];
      int jn = (j + 1) % 4;
      EXPECT_EQ(q.elemtype, 0) << e;
      EXPECT_EQ(q.nomnodes, 4) << e;
      EXPECT_EQ(q.vertices[0], &grid(h, i, j)) << e;
      EXPECT_EQ(q.vertices[1], &grid(h, i + 1, j)) << e;
      EXPECT_EQ(q.vertices[2], &grid(h, i + 1, jn)) << e;
      EXPECT_EQ(q.vertices[3], &grid(h, i, jn)) << e;
    }
  for (int j = 0; j < 4; j++) {
    int jn = (j + 1) % 4;
    const elem &s = h->elems[e++], &n = h->elems[e++];
    EXPECT_EQ(s.elemtype, 1);
    EXPECT_EQ(s.nomnodes, 3);
    EXPECT_EQ(s.vertices[0], S);
    EXPECT_EQ(s.vertices[1], &grid(h, 0, j));
    EXPECT_EQ(s.vertices[2], &grid(h, 0, jn));
    EXPECT_EQ(s.vertices[3], nullptr);
    EXPECT_EQ(n.elemtype, 2);
    EXPECT_EQ(n.vertices[0], &grid(h, 2, j));
    EXPECT_EQ(n.vertices[1], N);
    EXPECT_EQ(n.vertices[2], &grid(h, 2, jn));
    EXPECT_EQ(n.vertices[3], nullptr);
  }
}

TEST(Mesh, ColumnNeighboursWrapAndRowNeighboursStopAtThePoles) {
  auto m = make_model(3, 4);
  hybroid *h = m.get();
  node *S = &south_pole(h), *N = &north_pole(h);
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 4; j++) {
      node &n = grid(h, i, j);
      EXPECT_EQ(n.num_neighbors, 4);
      EXPECT_EQ(n.neighbors[0], i == 0 ? S : &grid(h, i - 1, j)) << i << "," << j;
      EXPECT_EQ(n.neighbors[1], &grid(h, i, (j + 3) % 4)) << i << "," << j;
      EXPECT_EQ(n.neighbors[2], &grid(h, i, (j + 1) % 4)) << i << "," << j;
      EXPECT_EQ(n.neighbors[3], i == 2 ? N : &grid(h, i + 1, j)) << i << "," << j;
      EXPECT_EQ(n.many_neighbors, nullptr);
    }
  EXPECT_EQ(S->num_neighbors, 4);
  EXPECT_EQ(N->num_neighbors, 4);
  for (int j = 0; j < 4; j++) {
    EXPECT_EQ(S->many_neighbors[j], &grid(h, 0, j));
    EXPECT_EQ(N->many_neighbors[j], &grid(h, 2, j));
  }
}

TEST(Mesh, ASingleRowIsJoinedToBothPolesByTriangles) {
  auto m = make_model(1, 5);
  hybroid *h = m.get();
  EXPECT_EQ(h->numnodes, 7);
  ASSERT_EQ(h->numelems, 10);
  for (int e = 0; e < 10; e++) EXPECT_EQ(h->elems[e].elemtype, 1 + e % 2) << e;
  for (int j = 0; j < 5; j++) {
    EXPECT_EQ(grid(h, 0, j).neighbors[0], &south_pole(h));
    EXPECT_EQ(grid(h, 0, j).neighbors[3], &north_pole(h));
  }
  EXPECT_NEAR(grid(h, 0, 0).uu, 0.0, ANGLE_TOL);
}

// Such grids are refused when a model is initialised from its parameters; the
// mesh operations and the per-node loops must still survive them.
TEST(Mesh, GridsTooSmallToBuildGetNoMeshAndDoNotCrash) {
  const int sizes[][2] = {{0, 4}, {3, 0}, {-2, 4}, {3, -1}, {0, 0}, {70000, 70000}};
  for (auto &s : sizes) {
    SCOPED_TRACE(std::to_string(s[0]) + " x " + std::to_string(s[1]));
    auto m = make_model(s[0], s[1]);
    EXPECT_EQ(m->numnodes, 0);
    EXPECT_EQ(m->nodes, nullptr);
    m->center = 1;
    compute_normal(m.get());
    compute_new_center(m.get());
  }
}

TEST(Release, FreeingAModelReleasesItsContourDataAndToleratesNull) {
  auto m = make_model(2, 3);
  testmodel::add_face_points(m.get(), 0, {{1, 2, 3}});
  testmodel::add_face_points(m.get(), 2, {{4, 5, 6}, {7, 8, 9}});
  m->face[1].n_points = -1;
  free_contour_data(m.get());
  for (int f = 0; f < 3; f++) EXPECT_EQ(m->face[f].points, nullptr) << f;
  testmodel::add_face_points(m.get(), 1, {{1, 1, 1}});
  m.reset();  // free_hybroid; the sanitizer build checks nothing leaks
  free_hybroid(nullptr);
}

TEST(Release, AllocatedModelIsZeroFilled) {
  hybroid *h = hybroid_alloc();
  const unsigned char *bytes = (const unsigned char *)h;
  size_t nonzero = 0;
  for (size_t i = 0; i < sizeof(hybroid); i++) nonzero += bytes[i] != 0;
  EXPECT_EQ(nonzero, 0u);
  free_hybroid(h);
}

// ---------------------------------------------------------------------------
// Reports
// ---------------------------------------------------------------------------

// The report as it reaches the file: read before the stream is closed, so
// the report must have flushed it.
static std::string report_of(hybroid *h) {
  testutil::ScratchDir dir;
  FILE *fp = fopen(dir.file("report").c_str(), "w");
  fprintf_hybroid_info(fp, h);
  std::string text = testutil::read_file(dir.file("report"));
  fclose(fp);
  return text;
}

TEST(Report, ShowsEveryShapeParameterWithItsForceButNotBend2) {
  auto m = make_model(2, 4);
  m->sc = 1.5;
  m->fsc = -0.25;
  m->bend3 = 2.0;
  m->bend2 = 7.0;
  std::string r = report_of(m.get());
  EXPECT_EQ(r.rfind(" sc =     1.500000, fsc =    -0.250000\n a1 =     1.000000, fa1 = ", 0),
            0u);
  EXPECT_NE(r.find("\n bend3 =     2.000000, fb3 =     0.000000\n Net Force "), std::string::npos);
  EXPECT_EQ(r.find("bend2"), std::string::npos);
  EXPECT_EQ(r.find("7.000000"), std::string::npos);
  EXPECT_EQ(testutil::count_occurrences(r, "\n"), 25);
  EXPECT_EQ(r.substr(r.size() - 21), "\n GOF =     0.000000\n");
}

TEST(Report, PrintsMasksAsHexLeftAlignedInFourColumns) {
  auto m = make_model(2, 4);
  m->df_mask = 0x41;
  m->diff = 0x1800;
  std::string r = report_of(m.get());
  EXPECT_NE(r.find("\n df_mask = 0x41  \n diff = 0x1800\n"), std::string::npos);
}

TEST(Report, LinesUpTheMatrixRowsWithACursorMove) {
  auto m = make_model(2, 4);
  m->rotation[1][2] = -0.5;
  m->orientation = {0.5, {0.1, 0.2, 0.3}};
  std::string r = report_of(m.get());
  EXPECT_NE(r.find(" Rotation Matrix  =     1.000000     0.000000     0.000000\n"
                   " \033[19C    0.000000     1.000000    -0.500000\n"
                   " \033[19C    0.000000     0.000000     1.000000\n"
                   " Quaternion(w,v) =     0.500000      0.100000     0.200000     0.300000\n"),
            std::string::npos)
      << r;
}

// 1e300 printed with %12.6f takes 308 characters: the twenty values of the
// shape block alone need far more than the 4096-character buffer.
TEST(Report, HugeValuesAreCutAtTheEndOfTheBuffer) {
  auto m = make_model(2, 4);
  double *shape[] = {&m->sc, &m->fsc, &m->a1, &m->fa1, &m->a2, &m->fa2, &m->a3,
                     &m->fa3, &m->e1, &m->fe1, &m->e2, &m->fe2, &m->tapx, &m->ftx,
                     &m->tapy, &m->fty, &m->bend1, &m->fb1, &m->bend3, &m->fb3};
  for (double *v : shape) *v = 1e300;
  std::string r = report_of(m.get());
  EXPECT_EQ(r.size(), 4095u);
  EXPECT_EQ(r.rfind(" sc = 1", 0), 0u);
  EXPECT_NE(r.find(".000000, fsc = 1"), std::string::npos);
}

// The first block alone fits; the state block that follows it does not.
TEST(Report, StateBlockIsCutWhereTheBufferEnds) {
  auto m = make_model(2, 4);
  m->sc = m->a1 = m->a2 = m->a3 = 1e250;
  m->net_applied_force = m->net_applied_torque = m->translation = {1e300, 1e300, 1e300};
  std::string r = report_of(m.get());
  EXPECT_EQ(r.size(), 4095u);
  EXPECT_NE(r.find(" bend3 =     0.000000, fb3 =     0.000000\n Net Force 1"), std::string::npos);
  EXPECT_EQ(r.find("GOF"), std::string::npos);
}

TEST(TraceLine, NumbersItsLinesOnePerCall) {
  auto m = make_model(2, 4);
  m->sc = 2.5;
  m->tapy = -0.125;
  testutil::ScratchDir dir;
  FILE *fp = fopen(dir.file("trace").c_str(), "w");
  fprintf_superquadric_params(fp, m.get());
  fprintf_superquadric_params(fp, m.get());
  fclose(fp);
  std::string t = testutil::read_file(dir.file("trace"));
  int first = 0;
  ASSERT_EQ(sscanf(t.c_str(), "%d", &first), 1);
  ASSERT_GE(first, 1);
  std::string line = "  2.5000   1.0000   1.0000   1.0000   0.0000  -0.1250\n";
  EXPECT_EQ(t, std::to_string(first) + " " + line + std::to_string(first + 1) + " " + line);
}
