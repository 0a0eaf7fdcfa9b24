// The primitive tables (parameter and force-mapping files), the surface
// regions and the model initialisation that builds on them.  Readers that
// end the process run in a forked child whose exit status and standard
// error are collected.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>

#include "Mqmalloc.h"
#include "test_util.h"

using testutil::ScratchDir;
using testutil::count_occurrences;
using testutil::write_file;

using testutil::ChildResult;
using testutil::run_in_child;

namespace {

void clear_tables() {
  memset(hybroid_parameter, 0, sizeof hybroid_parameter);
  memset(dof_map, 0, sizeof dof_map);
}

// ---------------------------------------------------------------------------
// Primitive parameter file
// ---------------------------------------------------------------------------

const char *const kMesh = "15 16\n";
const char *const kShape = "1.1 0.9 0.8 1.2 0.5 0.25 0.1 -0.1 0.2 0.3\n";
const char *const kDamping = "0.5 0.4 0.3 0.2 0.1 0.11 0.12 0.13 0.05 0.06 0.01 0.02\n";

// Ten records (an eleventh one on request), each group after a comment.
std::string parameter_file(int records) {
  std::string s = "# parameter file\n# for ten primitives\n";
  for (int i = 0; i < records; i++)
    s += "# mesh\n" + std::string(kMesh) + "# shape\n" + kShape + "# damping\n" + kDamping;
  return s;
}

class ParameterFile : public ::testing::Test {
 protected:
  void SetUp() override { clear_tables(); }
  void TearDown() override { clear_tables(); }
  ChildResult read_in_child(const std::string &text) {
    std::string path = dir.file("hyb");
    write_file(path, text);
    return run_in_child([path] { read_primitive_hybroid_parameter(path.c_str()); });
  }
  ScratchDir dir;
};

TEST_F(ParameterFile, ReadsTenRecordsWithCommentsBeforeEveryGroup) {
  std::string path = dir.file("hyb");
  write_file(path, parameter_file(11) + "this eleventh record is never read\n");
  testing::internal::CaptureStderr();
  read_primitive_hybroid_parameter(path.c_str());
  std::string err = testing::internal::GetCapturedStderr();
  std::string one_record =
      "Num of superquad paramters read = 10\n"
      "1.100000 0.900000 0.800000 1.200000 0.500000 0.250000 0.100000 -0.100000 0.200000 "
      "0.300000\n"
      "Num of c factor read = 12\n"
      "0.500000 0.400000 0.300000 0.200000 0.100000 0.110000 0.120000 0.130000 0.050000 "
      "0.060000 0.010000 0.020000\n";
  std::string expected;
  for (int i = 0; i < NUM_PRIMITIVES; i++) expected += one_record;
  EXPECT_EQ(err, expected);
  const hyb_param &p = hybroid_parameter[NUM_PRIMITIVES - 1];
  EXPECT_EQ(p.usize, 15);
  EXPECT_EQ(p.vsize, 16);
  EXPECT_EQ(p.sc, 1.1f);  // single precision
  EXPECT_EQ(p.e2, 0.25f);
  EXPECT_EQ(p.tapy, -0.1f);
  EXPECT_EQ(p.bend1, 0.2f);
  EXPECT_EQ(p.bend2, 0.0f);
  EXPECT_EQ(p.bend3, 0.3f);
  // Damping values, double precision, in file order.
  EXPECT_EQ(p.c_inv_trans, 0.5);
  EXPECT_EQ(p.c_inv_transz, 0.4);
  EXPECT_EQ(p.c_inv_rot, 0.3);
  EXPECT_EQ(p.c_inv_rotz, 0.2);
  EXPECT_EQ(p.c_inv_sc, 0.1);
  EXPECT_EQ(p.c_inv_a1, 0.11);
  EXPECT_EQ(p.c_inv_a3, 0.13);
  EXPECT_EQ(p.c_inv_tx, 0.05);
  EXPECT_EQ(p.c_inv_ty, 0.06);
  EXPECT_EQ(p.c_inv_b1, 0.01);
  EXPECT_EQ(p.c_inv_b3, 0.02);
  EXPECT_EQ(p.c_inv_e1, 0.0);
  EXPECT_EQ(p.c_inv_b2, 0.0);
}

TEST_F(ParameterFile, ACommentInsideTheShapeGroupStopsTheProgramWithItsCount) {
  auto r = read_in_child("15 16\n1.0 1.0 1.0\n# not here\n1.0 1.0 1.0 1.0 1.0 1.0 1.0\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Num of superquad paramters read = 3\n3 superquad parameters read\n");
}

TEST_F(ParameterFile, AShortDampingGroupStopsTheProgramWithItsCount) {
  auto r = read_in_child(std::string(kMesh) + kShape + "0.5 0.4 0.3 0.2 0.1\n# too soon\n");
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("Num of c factor read = 5\n5 damping parameters read\n"),
            std::string::npos);
}

TEST_F(ParameterFile, AFileOfFewerThanTenRecordsEndsAtTheFileEnd) {
  auto r = read_in_child(parameter_file(9));
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(count_occurrences(r.err, "Num of c factor read = 12\n"), 9);
  std::string tail = "Num of superquad paramters read = -1\n-1 superquad parameters read\n";
  ASSERT_GE(r.err.size(), tail.size());
  EXPECT_EQ(r.err.substr(r.err.size() - tail.size()), tail);
}

TEST_F(ParameterFile, AMissingFileEndsTheProgramWithStatusOne) {
  auto r = run_in_child([] { read_primitive_hybroid_parameter("/nonexistent/hyb"); });
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot open /nonexistent/hyb\n");
}

// ---------------------------------------------------------------------------
// Force-mapping files
// ---------------------------------------------------------------------------

class MappingFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_tables();
    mkdir(dir.file("maps").c_str(), 0755);
    base = dir.file("maps/prim");
  }
  void TearDown() override { clear_tables(); }
  void write_map(int label, const std::string &text) {
    write_file(base + std::to_string(label), text);
  }
  std::string read_maps() {
    testing::internal::CaptureStderr();
    read_primitive_dof_mapping(base.c_str());
    return testing::internal::GetCapturedStderr();
  }
  ScratchDir dir;
  std::string base;
};

TEST_F(MappingFiles, FlagsBecomeMaskBitsInSlotOrder) {
  for (int label = 1; label <= NUM_PRIMITIVES; label++) write_map(label, "0 0 0 0 0 0 0 0 0 0\n");
  write_map(5, "# slot 0\n1 1 0 1 1 0 0 0 0 0\n# slot 1\n0 0 0 0 0 0 0 0 0 0\n"
               "# slot 2: every flag, any non-zero value is on\n1 -1 2 1 1 1 1 1 1 7\n");
  std::string err = read_maps();
  EXPECT_EQ(dof_map[4][0], 0x1806);
  EXPECT_EQ(dof_map[4][1], 0);
  EXPECT_EQ(dof_map[4][2], 0x800 | 0x1000 | 0x2000 | 0x2 | 0x4 | 0x8 | 0x40 | 0x80 | 0x100 |
                               0x400);
  EXPECT_EQ(dof_map[4][3], 0);
  EXPECT_NE(err.find("1 1 0 1 1 0 0 0 0 0\n0 0 0 0 0 0 0 0 0 0\n1 -1 2 1 1 1 1 1 1 7\n"),
            std::string::npos);
  EXPECT_EQ(err.find("Error"), std::string::npos);
}

TEST_F(MappingFiles, TheLabelIsAppendedToTheBaseName) {
  for (int label = 1; label <= NUM_PRIMITIVES; label++)
    write_map(label, std::string(label, ' ') + "0 0 0 1 0 0 0 0 0 0\n");
  std::string err = read_maps();
  EXPECT_EQ(err.find("Cannot open"), std::string::npos) << err;
  for (int i = 0; i < NUM_PRIMITIVES; i++) EXPECT_EQ(dof_map[i][0], 0x2) << "row " << i;
}

TEST_F(MappingFiles, MissingFilesAreReportedAndTheOthersAreStillRead) {
  for (int label = 1; label <= NUM_PRIMITIVES; label += 2) write_map(label, "1 0 0 0 0 0 0 0 0 0\n");
  std::string err = read_maps();
  EXPECT_EQ(count_occurrences(err, "Cannot open "), 5);
  EXPECT_NE(err.find("Cannot open " + base + "10\n"), std::string::npos);
  for (int i = 0; i < NUM_PRIMITIVES; i++)
    EXPECT_EQ(dof_map[i][0], i % 2 == 0 ? 0x800 : 0) << "row " << i;
}

TEST_F(MappingFiles, AShortRecordIsReportedAndUsedWithTheMissingFlagsOff) {
  write_map(1, "1 1 1\n");
  std::string err = read_maps();
  EXPECT_NE(err.find("*** Error\a\a\a: Number of entries only 3 in " + base + "1\n"
                     "1 1 1 0 0 0 0 0 0 0\n"),
            std::string::npos);
  EXPECT_EQ(dof_map[0][0], 0x3800);
}

TEST_F(MappingFiles, AFileWithoutRecordsIsReported) {
  write_map(2, "# nothing but a comment\n");
  std::string err = read_maps();
  EXPECT_NE(err.find("*** Error\a\a\a: No line read from " + base + "2\n"), std::string::npos);
}

TEST_F(MappingFiles, RecordsBeyondThirtyAreRefusedWithOneMessage) {
  std::string text;
  for (int r = 0; r < 33; r++) text += r < 30 ? "0 0 0 0 0 0 0 0 0 1\n" : "1 1 1 1 1 1 1 1 1 1\n";
  write_map(3, text);
  std::string err = read_maps();
  EXPECT_EQ(count_occurrences(err, base + "3: more than 30 records"), 1);
  for (int j = 0; j < MAX_DOF_MAPS; j++) ASSERT_EQ(dof_map[2][j], 0x400) << "entry " << j;
  EXPECT_EQ(dof_map[3][0], 0);  // the next row is untouched
}

TEST_F(MappingFiles, AWordStopsTheReadingOfItsFile) {
  write_map(4, "1 0 0 0 0 0 0 0 0 0\n1 0 oops 0 0 0 0 0 0 0\n0 1 0 0 0 0 0 0 0 0\n");
  write_map(5, "0 1 0 0 0 0 0 0 0 0\n");
  std::string err = read_maps();
  EXPECT_NE(err.find("*** Error\a\a\a: Number of entries only 2 in " + base + "4\n"),
            std::string::npos);
  EXPECT_NE(err.find(base + "4: record 3 is not a list of integers"), std::string::npos);
  EXPECT_EQ(dof_map[3][0], 0x800);
  EXPECT_EQ(dof_map[3][1], 0x800);  // the short record as read
  EXPECT_EQ(dof_map[3][2], 0);
  EXPECT_EQ(dof_map[4][0], 0x1000);  // the next file is still read
}

// ---------------------------------------------------------------------------
// The sample files
// ---------------------------------------------------------------------------

TEST(SampleFiles, TheParameterFileHasTenRecordsAndUsableMeshes) {
  clear_tables();
  std::string path = testutil::sample_path("hyb");
  auto r = run_in_child([path] { read_primitive_hybroid_parameter(path.c_str()); });
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(count_occurrences(r.err, "Num of c factor read = 12\n"), 10);
  testing::internal::CaptureStderr();
  read_primitive_hybroid_parameter(path.c_str());
  testing::internal::GetCapturedStderr();
  for (int label : {1, 5, 6, 10}) {
    const hyb_param &p = hybroid_parameter[label - 1];
    EXPECT_GE(p.usize, 15) << "label " << label;
    EXPECT_EQ((p.usize + 1) % 4, 0) << "label " << label;
    EXPECT_GE(p.vsize, 16) << "label " << label;
    EXPECT_GT(p.sc, 0.0f) << "label " << label;
    EXPECT_GT(p.c_inv_trans, 0.0) << "label " << label;
  }
  clear_tables();
}

TEST(SampleFiles, TheMappingFilesHaveTheirSlotsAndNoErrors) {
  clear_tables();
  testing::internal::CaptureStderr();
  read_primitive_dof_mapping(testutil::sample_path("forcemap").c_str());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.find("Cannot open"), std::string::npos) << err;
  EXPECT_EQ(err.find("Error"), std::string::npos) << err;
  EXPECT_EQ(count_occurrences(err, "\n"), 20 + 9 * 6);
  EXPECT_NE(dof_map[0][19], 0);  // face 4, curve 3 of the box
  EXPECT_EQ(dof_map[0][8], 0);   // face 2 has no region
  for (int label : {5, 6, 10})
    for (int slot = 0; slot < 6; slot++)
      EXPECT_NE(dof_map[label - 1][slot] & DF_TRANS, 0) << "label " << label << " slot " << slot;
  clear_tables();
}

// ---------------------------------------------------------------------------
// Copying a primitive's record into a model
// ---------------------------------------------------------------------------

class PrimitiveRecord : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_tables();
    hyb_param &p = hybroid_parameter[5];  // label 6
    p.usize = 19; p.vsize = 20;
    p.sc = 1.1f; p.a1 = 0.9f; p.a2 = 0.8f; p.a3 = 1.2f; p.e1 = 0.3f; p.e2 = 0.7f;
    p.tapx = 0.1f; p.tapy = -0.2f; p.bend1 = 0.05f; p.bend2 = 0.5f; p.bend3 = 0.4f;
    p.c_inv_trans = 2; p.c_inv_transz = 3; p.c_inv_rot = 5; p.c_inv_rotz = 7;
    p.c_inv_sc = 11; p.c_inv_a1 = 13; p.c_inv_a2 = 17; p.c_inv_a3 = 19;
    p.c_inv_e1 = 41; p.c_inv_e2 = 43; p.c_inv_b2 = 47;
    p.c_inv_tx = 23; p.c_inv_ty = 29; p.c_inv_b1 = 31; p.c_inv_b3 = 37;
    h = (hybroid *)Mqcalloc_checked(1, sizeof(hybroid));
    h->primitive_label = 6;
  }
  void TearDown() override {
    Mqfree(h);
    clear_tables();
  }
  hybroid *h = nullptr;
};

TEST_F(PrimitiveRecord, ShapeValuesAreWidenedFromSinglePrecisionAndBend2IsNotCopied) {
  h->bend2 = 0.25;
  init_primitive_hybroid_parameter(h);
  EXPECT_EQ(h->usize, 19);
  EXPECT_EQ(h->vsize, 20);
  EXPECT_EQ(h->sc, (double)1.1f);
  EXPECT_NE(h->sc, 1.1);
  EXPECT_EQ(h->a1, (double)0.9f);
  EXPECT_EQ(h->a2, (double)0.8f);
  EXPECT_EQ(h->a3, (double)1.2f);
  EXPECT_EQ(h->e1, (double)0.3f);
  EXPECT_EQ(h->e2, (double)0.7f);
  EXPECT_EQ(h->tapx, (double)0.1f);
  EXPECT_EQ(h->tapy, (double)-0.2f);
  EXPECT_EQ(h->bend1, (double)0.05f);
  EXPECT_EQ(h->bend3, (double)0.4f);
  EXPECT_EQ(h->bend2, 0.25);
  EXPECT_EQ(h->c_inv_trans, 0.0);  // damping is a separate step
}

TEST_F(PrimitiveRecord, DampingIsCopiedAndRotationAboutYFollowsRotation) {
  h->c_inv_e1 = h->c_inv_e2 = h->c_inv_b2 = h->c_inv = -1.0;
  init_primitive_damping_parameter(h);
  double expected[] = {2, 3, 5, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};
  double got[] = {h->c_inv_trans, h->c_inv_transz, h->c_inv_rot, h->c_inv_roty, h->c_inv_rotz,
                  h->c_inv_sc,    h->c_inv_a1,     h->c_inv_a2,  h->c_inv_a3,   h->c_inv_tx,
                  h->c_inv_ty,    h->c_inv_b1,     h->c_inv_b3};
  EXPECT_TRUE(testutil::near_array(expected, got, 13, 0.0));
  EXPECT_EQ(h->c_inv_e1, -1.0);
  EXPECT_EQ(h->c_inv_e2, -1.0);
  EXPECT_EQ(h->c_inv_b2, -1.0);
  EXPECT_EQ(h->c_inv, -1.0);
}

TEST_F(PrimitiveRecord, ALabelWithoutARecordLeavesTheModelAlone) {
  for (int label : {0, 11, -3}) {
    h->primitive_label = label;
    init_primitive_hybroid_parameter(h);
    init_primitive_damping_parameter(h);
    EXPECT_EQ(h->usize, 0) << "label " << label;
    EXPECT_EQ(h->c_inv_trans, 0.0) << "label " << label;
  }
}

// ---------------------------------------------------------------------------
// Surface regions
// ---------------------------------------------------------------------------

struct Ranges {
  int u1, u2, v1, v2;
};

Ranges ranges_of(const force_map &m) { return {m.u1, m.u2, m.v1, m.v2}; }

::testing::AssertionResult same_ranges(const Ranges &e, const force_map &m) {
  if (e.u1 == m.u1 && e.u2 == m.u2 && e.v1 == m.v1 && e.v2 == m.v2)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "expected rows " << e.u1 << ".." << e.u2
                                       << ", columns " << e.v1 << ".." << e.v2 << " but got rows "
                                       << m.u1 << ".." << m.u2 << ", columns " << m.v1 << ".."
                                       << m.v2;
}

hybroid mesh_model(int usize, int vsize) {
  hybroid h = {};
  h.usize = usize;
  h.vsize = vsize;
  h.u_offset = (usize + 1) / 4 - 1;
  return h;
}

TEST(SurfaceRegions, AFifteenBySixteenMeshHasRingsAtRowsThreeAndEleven) {
  hybroid h = mesh_model(15, 16);
  ASSERT_EQ(h.u_offset, 3);
  const Ranges expected[16] = {
      {0, 0, 0, 0},
      {11, 11, 10, 14}, {11, 11, 6, 10}, {11, 11, 2, 6}, {11, 11, 14, 2},   // upper arcs
      {3, 3, 10, 14},   {3, 3, 6, 10},   {3, 3, 2, 6},   {3, 3, 14, 2},     // lower arcs
      {3, 11, 14, 14},  {3, 11, 10, 10}, {3, 11, 6, 6},  {3, 11, 2, 2},     // meridians
      {11, 11, 0, 16},  {3, 3, 0, 16},   {3, 11, 0, 16}};                   // rings, band
  for (int region = 1; region <= 15; region++) {
    force_map m = {};
    map_region_to_uv_ranges(&h, &m, region);
    EXPECT_TRUE(same_ranges(expected[region], m)) << "region " << region;
  }
}

TEST(SurfaceRegions, EighthsOfTheRingAreTruncatedTowardZero) {
  hybroid h = mesh_model(11, 12);  // q(k) = 12 k / 8: q(-1) = -1, q(5) = 7, q(7) = 10
  force_map m = {};
  map_region_to_uv_ranges(&h, &m, 4);
  EXPECT_TRUE(same_ranges({8, 8, 11, 1}, m));
  map_region_to_uv_ranges(&h, &m, 1);
  EXPECT_TRUE(same_ranges({8, 8, 7, 10}, m));
  map_region_to_uv_ranges(&h, &m, 9);
  EXPECT_TRUE(same_ranges({2, 8, 10, 10}, m));
}

TEST(SurfaceRegions, ARegionOutsideTheTableChangesNothing) {
  hybroid h = mesh_model(15, 16);
  force_map m = {0, 0, 0, 1, 2, 3, 4, 0};
  map_region_to_uv_ranges(&h, &m, 0);
  map_region_to_uv_ranges(&h, &m, 16);
  EXPECT_TRUE(same_ranges({1, 2, 3, 4}, m));
}

// Region of (label, face, curve) as set_uv_mapping returns it, and its stderr.
int region_for(int label, int face, int curve, std::string *err) {
  hybroid h = mesh_model(15, 16);
  force_map m = {};
  testing::internal::CaptureStderr();
  int region = set_uv_mapping(&h, &m, label, face, curve);
  *err = testing::internal::GetCapturedStderr();
  if (region > 0) {
    force_map direct = {};
    map_region_to_uv_ranges(&h, &direct, region);
    EXPECT_TRUE(same_ranges(ranges_of(direct), m)) << "region " << region;
  } else {
    EXPECT_TRUE(same_ranges({0, 0, 0, 0}, m)) << "no region, ranges stay as they were";
  }
  return region;
}

TEST(SurfaceRegions, EachCurveOfTheSupportedKindsHasItsRegion) {
  struct { int label, face; int regions[4]; } rows[] = {
      {1, 0, {10, 1, 9, 5}},    {1, 1, {10, 6, 11, 2}},   {1, 4, {1, 2, 3, 4}},
      {5, 0, {13, 0, 0, 0}},    {5, 1, {14, 15, 13, 15}}, {5, 2, {14, 0, 0, 0}},
      {6, 1, {14, 15, 13, 15}}, {10, 0, {13, 0, 0, 0}},   {10, 2, {14, 0, 0, 0}},
  };
  for (auto &r : rows)
    for (int c = 0; c < 4; c++) {
      std::string err;
      EXPECT_EQ(region_for(r.label, r.face, c, &err), r.regions[c])
          << "label " << r.label << " face " << r.face << " curve " << c;
      EXPECT_EQ(err, r.regions[c] > 0 ? "" : "region <= 0 in set_uv_mapping()\n");
    }
}

TEST(SurfaceRegions, CurvesWithoutARegionAreReported) {
  struct { int label, face, curve; } none[] = {
      {1, 2, 0}, {1, 3, 1}, {1, 0, 4}, {1, 5, 0}, {5, 3, 0}, {5, 1, 4}, {3, 0, 0}, {0, 1, 1}};
  for (auto &n : none) {
    std::string err;
    EXPECT_LE(region_for(n.label, n.face, n.curve, &err), 0)
        << "label " << n.label << " face " << n.face << " curve " << n.curve;
    EXPECT_EQ(err, "region <= 0 in set_uv_mapping()\n");
  }
}

TEST(SurfaceRegions, OnlyTheSideSilhouettesOfTheRoundKindsAreCurvedOccludingContours) {
  for (int label : {5, 6, 10}) {
    EXPECT_EQ(curved_occluding_contour(label, 1, 1), 1);
    EXPECT_EQ(curved_occluding_contour(label, 1, 3), 1);
    EXPECT_EQ(curved_occluding_contour(label, 1, 0), 0);
    EXPECT_EQ(curved_occluding_contour(label, 1, 2), 0);
    EXPECT_EQ(curved_occluding_contour(label, 0, 1), 0);
    EXPECT_EQ(curved_occluding_contour(label, 2, 3), 0);
  }
  for (int face = 0; face < 5; face++)
    for (int curve = 0; curve < 4; curve++) EXPECT_EQ(curved_occluding_contour(1, face, curve), 0);
}

// ---------------------------------------------------------------------------
// Mapping slots and force maps
// ---------------------------------------------------------------------------

// Every dof_map entry distinct: row * 1000 + slot, with the a3 bit set.
void fill_distinct_dof_map() {
  for (int i = 0; i < NUM_PRIMITIVES; i++)
    for (int j = 0; j < MAX_DOF_MAPS; j++) dof_map[i][j] = ((i * 1000 + j) << 16) | DF_A3 | DF_TRANS;
}

int slot_entry(int label, int slot) { return dof_map[label - 1][slot]; }

TEST(MappingSlots, EachCurveTakesTheEntryOfItsSlot) {
  fill_distinct_dof_map();
  force_map m = {};
  struct { int label, face, curve, slot; } cases[] = {
      {1, 0, 0, 0}, {1, 1, 2, 6}, {1, 4, 3, 19}, {1, 2, 1, 9},  // face * 4 + curve
      {5, 0, 0, 0}, {5, 1, 0, 1}, {5, 1, 3, 4},  {5, 2, 0, 5},
      {6, 1, 1, 2}, {10, 1, 2, 3}, {10, 2, 0, 5}};
  for (auto &c : cases) {
    set_dof_mapping(&m, c.label, c.face, c.curve);
    EXPECT_EQ(m.df_mode, slot_entry(c.label, c.slot))
        << "label " << c.label << " face " << c.face << " curve " << c.curve;
  }
  clear_tables();
}

TEST(MappingSlots, ARoundKindCurveOnAnotherFaceDrivesNothing) {
  fill_distinct_dof_map();
  force_map m = {};
  for (int label : {5, 6, 10}) {
    m.df_mode = -1;
    set_dof_mapping(&m, label, 3, 0);
    EXPECT_EQ(m.df_mode, 0) << "label " << label;
  }
  m.df_mode = -1;
  set_dof_mapping(&m, 4, 0, 0);  // a kind without a face layout
  EXPECT_EQ(m.df_mode, 0);
  clear_tables();
}

// A label-5 model on a 15 x 16 mesh whose faces are described by hand:
//   face 0 (top):    4 points, curve 0
//   face 1 (side):  40 points, curves 0..3 of 10 points each
//   face 2 (bottom): 4 points, curve 0
class ForceMaps : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_tables();
    fill_distinct_dof_map();
    h = (hybroid *)Mqcalloc_checked(1, sizeof(hybroid));
    h->primitive_label = 5;
    h->usize = 15;
    h->vsize = 16;
    h->u_offset = 3;
    h->n_face = 3;
    int counts[3] = {4, 40, 4};
    for (int f = 0; f < 3; f++) {
      Face &fc = h->face[f];
      fc.n_points = counts[f];
      for (int c = 0; c < MAX_CURVES; c++) fc.begin[c] = fc.end[c] = -1;
      fc.n_curve = f == 1 ? 4 : 1;
      for (int c = 0; c < fc.n_curve; c++) {
        fc.begin[c] = f == 1 ? c * 10 : 0;
        fc.end[c] = f == 1 ? c * 10 + 9 : 3;
      }
    }
  }
  void TearDown() override {
    Mqfree(h);
    clear_tables();
  }
  std::string map_curves() {
    testing::internal::CaptureStderr();
    init_dof_uv_mapping(h);
    return testing::internal::GetCapturedStderr();
  }
  // Expects map i to serve (face, curve) on region with the entry of slot,
  // minus the bits in cleared.
  void expect_map(int i, int face, int curve, int region, int slot, int cleared = 0) {
    const force_map &m = h->force_map[i];
    EXPECT_EQ(m.face, face) << "map " << i;
    EXPECT_EQ(m.curve, curve) << "map " << i;
    force_map direct = {};
    map_region_to_uv_ranges(h, &direct, region);
    EXPECT_TRUE(same_ranges(ranges_of(direct), m)) << "map " << i << ", region " << region;
    EXPECT_EQ(m.df_mode, slot_entry(h->primitive_label, slot) & ~cleared) << "map " << i;
  }
  hybroid *h = nullptr;
};

TEST_F(ForceMaps, AllFacesSeenGiveSixMapsAndTheSilhouettesLeaveTheHeightAlone) {
  EXPECT_EQ(map_curves(), "");
  ASSERT_EQ(h->n_force, 6);
  expect_map(0, 0, 0, 13, 0);
  expect_map(1, 1, 0, 14, 1);
  expect_map(2, 1, 1, 15, 2, DF_A3);
  expect_map(3, 1, 2, 13, 3);
  expect_map(4, 1, 3, 15, 4, DF_A3);
  expect_map(5, 2, 0, 14, 5);
}

TEST_F(ForceMaps, WithoutTheTopAndTheUpperRimTheSideCurvesShiftTwoSlots) {
  h->face[0].n_points = -1;
  h->face[1].begin[2] = -1;
  map_curves();
  ASSERT_EQ(h->n_force, 4);
  expect_map(0, 1, 0, 14, 3);
  expect_map(1, 1, 1, 15, 4);
  expect_map(2, 1, 3, 15, 2);
  expect_map(3, 2, 0, 14, 5);
}

TEST_F(ForceMaps, WithoutTheBottomAndTheLowerRimNoBitIsCleared) {
  h->face[2].n_points = -1;
  h->face[1].begin[0] = -1;
  map_curves();
  ASSERT_EQ(h->n_force, 4);
  expect_map(0, 0, 0, 13, 0);
  expect_map(1, 1, 1, 15, 2);
  expect_map(2, 1, 2, 13, 3);
  expect_map(3, 1, 3, 15, 4);
}

TEST_F(ForceMaps, LabelTenNeitherShiftsSlotsNorClearsBits) {
  h->primitive_label = 10;
  map_curves();
  ASSERT_EQ(h->n_force, 6);
  expect_map(2, 1, 1, 15, 2);
  expect_map(4, 1, 3, 15, 4);
  h->face[0].n_points = -1;
  h->face[1].begin[2] = -1;
  map_curves();
  ASSERT_EQ(h->n_force, 4);
  expect_map(0, 1, 0, 14, 1);
}

TEST_F(ForceMaps, ABoxCurveOnAFaceWithoutARegionStillGetsAMapAndItsSlot) {
  h->primitive_label = 1;
  h->face[0].n_points = -1;
  h->face[1].n_points = -1;  // only face 2, curve 0, is seen
  EXPECT_EQ(map_curves(), "region <= 0 in set_uv_mapping()\n");
  ASSERT_EQ(h->n_force, 1);
  EXPECT_TRUE(same_ranges({0, 0, 0, 0}, h->force_map[0]));
  EXPECT_EQ(h->force_map[0].df_mode, slot_entry(1, 8));
}

TEST_F(ForceMaps, NoMapIsWrittenPastTheTwentyFourth) {
  h->primitive_label = 1;
  h->n_face = MAX_FACES;
  for (int f = 0; f < MAX_FACES; f++) {
    Face &fc = h->face[f];
    fc.n_points = 5;
    fc.n_curve = MAX_CURVES;
    for (int c = 0; c < MAX_CURVES; c++) fc.begin[c] = fc.end[c] = c;
  }
  h->fsc = 0.5;  // the field right after the maps
  std::string err = map_curves();
  EXPECT_EQ(h->n_force, MAX_FORCE_MAPS);
  EXPECT_EQ(h->fsc, 0.5);
  EXPECT_EQ(count_occurrences(err, "gets no force map"), 6);
}

// ---------------------------------------------------------------------------
// Centre rule
// ---------------------------------------------------------------------------

TEST_F(ForceMaps, TheCentreFollowsTheTopWhenItIsSeenAndElseTheBottom) {
  h->center = 9;
  init_model_center(h);
  EXPECT_EQ(h->center, 1);  // rule 1: face 0 has points
  h->face[0].n_points = 0;
  h->center = 9;
  init_model_center(h);
  EXPECT_EQ(h->center, 1);  // rule 2: the side's upper rim
  h->face[1].begin[2] = -1;
  init_model_center(h);
  EXPECT_EQ(h->center, 2);  // rule 3: the side's lower rim
  h->face[1].begin[0] = -1;
  h->center = 9;
  init_model_center(h);
  EXPECT_EQ(h->center, 2);  // rule 4: face 2 has points
  h->face[2].n_points = -1;
  h->center = 9;
  init_model_center(h);
  EXPECT_EQ(h->center, 9);  // no rule applies
}

TEST_F(ForceMaps, TheBoxKeepsItsCentreRule) {
  h->primitive_label = 1;
  h->center = 3;
  init_model_center(h);
  EXPECT_EQ(h->center, 3);
}

// ---------------------------------------------------------------------------
// Start pose
// ---------------------------------------------------------------------------

// Products and sums of a handful of doubles of order one.
const double kPoseRounding = 1e-14;

// A model with a built 15 x 16 mesh of the given kind; face 0 holds three
// points, its curve 0 running from point 0 to point 2.
class StartPose : public ::testing::Test {
 protected:
  void SetUp() override { clear_tables(); }
  void TearDown() override {
    free_hybroid(h);
    clear_tables();
  }
  void build(int label, int perspective = 0) {
    h = (hybroid *)Mqcalloc_checked(1, sizeof(hybroid));
    h->primitive_label = label;
    h->usize = 15;
    h->vsize = 16;
    h->sc = 1.5; h->a1 = 1.0; h->a2 = 0.8; h->a3 = 1.2; h->e1 = 1.0; h->e2 = 1.0;
    h->focal_length = 0.1;
    h->perspective_flag = perspective;
    h->n_face = 3;
    for (int f = 0; f < 3; f++)
      for (int c = 0; c < MAX_CURVES; c++) h->face[f].begin[c] = h->face[f].end[c] = -1;
    Face &top = h->face[0];
    top.n_points = 3;
    top.points = (range_datapoint *)Mqcalloc_checked(3, sizeof(range_datapoint));
    top.points[0].position = {-1.0, 2.0, -0.1};
    top.points[2].position = {0.75, -1.25, -0.1};
    top.n_curve = 1;
    top.begin[0] = 0;
    top.end[0] = 2;
    h->face[1].n_points = h->face[2].n_points = -1;
    testing::internal::CaptureStderr();
    allocate_hybroid(h);
    assemble_hybroid_rectangular_mesh(h);
    testing::internal::GetCapturedStderr();
  }
  void init() {
    testing::internal::CaptureStderr();
    init_primitive_initial_parameter(h);
    err = testing::internal::GetCapturedStderr();
  }
  vector rotate(vector p) const {
    const double(*r)[3] = h->rotation;
    return {r[0][0] * p.x + r[0][1] * p.y + r[0][2] * p.z,
            r[1][0] * p.x + r[1][1] * p.y + r[1][2] * p.z,
            r[2][0] * p.x + r[2][1] * p.y + r[2][2] * p.z};
  }
  hybroid *h = nullptr;
  std::string err;
};

TEST_F(StartPose, TheBoxTurnsAboutTheDiagonalAxisAndStartsAtTheEndOfItsFirstCurve) {
  build(1);
  init();
  EXPECT_EQ(h->u_offset, 3);
  EXPECT_EQ(h->a12_symmetric, 0);
  EXPECT_EQ(h->txy_symmetric, 0);
  EXPECT_EQ(h->center, 3);
  EXPECT_EQ(h->u_center, 11);
  EXPECT_EQ(h->v_center, 10);
  EXPECT_EQ(h->angle, 0.7);
  // The axis length is rounded to single precision before the division.
  EXPECT_EQ(h->orientation.w, cos(0.35));
  EXPECT_EQ(h->orientation.v.x, sin(0.35) / 1.4142135381698608);
  EXPECT_EQ(h->orientation.v.y, -sin(0.35) / 1.4142135381698608);
  EXPECT_EQ(h->orientation.v.z, 0.0);
  EXPECT_TRUE(testutil::near_vector({0.75, -1.25, -0.1}, h->translation, 0.0));
}

TEST_F(StartPose, TheRotationMatrixTurnsByTheAngleAboutTheAxis) {
  build(1);
  init();
  double r = 1 / sqrt(2.0);
  // The axis stays put; z turns by 0.7 about it (Rodrigues' formula:
  // z cos t + (n x z) sin t, with n x z = (-r, -r, 0)).
  EXPECT_TRUE(testutil::near_vector({r, -r, 0}, rotate({r, -r, 0}), 1e-7));
  EXPECT_TRUE(testutil::near_vector({-r * sin(0.7), -r * sin(0.7), cos(0.7)}, rotate({0, 0, 1}),
                                    1e-7));
  // The single-precision axis length leaves the quaternion unit to about 1e-8.
  const double kSinglePrecisionAxis = 1e-7;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) {
      double dot = 0;
      for (int k = 0; k < 3; k++) dot += h->rotation[i][k] * h->rotation[j][k];
      EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, kSinglePrecisionAxis) << "rows " << i << ", " << j;
    }
}

TEST_F(StartPose, InPerspectiveTheModelStartsTwiceAsFarAndTwiceAsWide) {
  build(1, 1);
  init();
  EXPECT_TRUE(testutil::near_vector({1.5, -2.5, -0.2}, h->translation, 0.0));
}

TEST_F(StartPose, ABoxWhoseFirstFaceHoldsNoPointStaysOnTheAxis) {
  build(1);
  h->face[0].n_points = 0;
  init();
  EXPECT_TRUE(testutil::near_vector({0, 0, -0.1}, h->translation, 0.0));
  h->face[0].n_points = 3;
  h->face[0].begin[0] = -1;  // its first curve absent
  init();
  EXPECT_TRUE(testutil::near_vector({0, 0, -0.1}, h->translation, 0.0));
  h->face[0].n_points = -1;
  init();
  EXPECT_TRUE(testutil::near_vector({0, 0, -0.1}, h->translation, 0.0));
}

TEST_F(StartPose, RoundKindsStartUprightOnTheAxisWithTheirSymmetries) {
  struct { int label, a12, txy; } kinds[] = {{5, 1, 0}, {6, 1, 1}, {10, 1, 1}};
  for (auto k : kinds) {
    build(k.label);
    init();
    EXPECT_EQ(h->a12_symmetric, k.a12) << "label " << k.label;
    EXPECT_EQ(h->txy_symmetric, k.txy) << "label " << k.label;
    EXPECT_EQ(h->center, 1) << "label " << k.label;
    EXPECT_EQ(h->orientation.w, 1.0);
    EXPECT_TRUE(testutil::near_vector({0, 0, 0}, h->orientation.v, 0.0));
    EXPECT_TRUE(testutil::near_vector({0, 0, 1}, rotate({0, 0, 1}), 0.0));
    EXPECT_TRUE(testutil::near_vector({0, 0, -0.1}, h->translation, 0.0)) << "label " << k.label;
    free_hybroid(h);
    h = nullptr;
  }
}

TEST_F(StartPose, LabelsFiveAndSixCentreOnTheTopOnlyWhenFaceZeroIsDescribed) {
  build(5);
  init();
  EXPECT_EQ(h->center, 1);
  EXPECT_EQ(h->u_center, 15);
  EXPECT_EQ(h->v_center, 1);
  h->face[0].n_points = -1;
  init();
  EXPECT_EQ(h->center, 2);
  EXPECT_EQ(h->v_center, 0);
  free_hybroid(h);
  build(10);
  h->u_center = h->v_center = 7;
  h->face[0].n_points = -1;
  init();
  EXPECT_EQ(h->center, 1);
  EXPECT_EQ(h->u_center, 7);  // label 10 does not use them
  EXPECT_EQ(h->v_center, 7);
}

TEST_F(StartPose, TheGeometryAndTheCameraPositionsFollowThePose) {
  build(1, 1);
  init();
  EXPECT_EQ(err, "");
  // Rule 3 centres the model on node (11, 10).
  EXPECT_TRUE(testutil::near_vector(h->nodes[11 * 16 + 10].refer, h->model_center, 0.0));
  double spread = 0;
  for (int i = 0; i < h->numnodes; i++) {
    const node &n = h->nodes[i];
    vector r = rotate(n.refer1);
    vector expected = {r.x + h->translation.x, r.y + h->translation.y, r.z + h->translation.z};
    ASSERT_TRUE(testutil::near_vector(expected, n.posit, kPoseRounding)) << "node " << i;
    spread += fabs(n.refer1.x) + fabs(n.refer1.y) + fabs(n.refer1.z);
  }
  EXPECT_GT(spread, 1.0);  // the surface was built, not left at the origin
}

// ---------------------------------------------------------------------------
// From a dump file to force maps
// ---------------------------------------------------------------------------

// A side face that the file describes with two curve slots: the slots it
// does not describe count as absent curves, so the rules that ask for the
// upper rim (curve 2) see it missing.
TEST(ReadModel, CurveSlotsADumpDoesNotDescribeCountAsMissingRims) {
  clear_tables();
  fill_distinct_dof_map();
  ScratchDir dir;
  std::string path = dir.file("side.dump");
  write_file(path, "1\n5\n3\n-1\n4\n10 20 30 40\n50 60 70 80\n2\n0 1\n2 3\n-1\n"
                   "1 0 -1 -1\n1 1 -1 -1\n");
  hybroid *h = (hybroid *)Mqcalloc_checked(1, sizeof(hybroid));
  h->x_scale = h->y_scale = 0.05;
  h->x_center = h->y_center = 128.0;
  h->y_dim = 256;
  h->usize = 15;
  h->vsize = 16;
  h->u_offset = 3;
  read_ascii_xy_data_dump(path.c_str(), h, 1.0);
  init_dof_uv_mapping(h);
  ASSERT_EQ(h->n_force, 2);
  EXPECT_EQ(h->force_map[0].df_mode, slot_entry(5, 3));  // top and upper rim missing
  EXPECT_EQ(h->force_map[1].df_mode, slot_entry(5, 4));
  init_model_center(h);
  EXPECT_EQ(h->center, 2);  // the lower rim is the one seen
  free_contour_data(h);
  Mqfree(h);
  clear_tables();
}

}  // namespace
