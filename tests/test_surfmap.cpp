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

namespace {

struct ChildResult {
  int status;       // exit status, or 128 + signal number
  std::string err;  // standard error of the child
};

// Runs f in a forked child with its standard error captured.
template <class F>
ChildResult run_in_child(F f) {
  ScratchDir dir;
  std::string path = dir.file("err");
  fflush(stdout);
  fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    if (!freopen(path.c_str(), "w", stderr)) _exit(99);
    f();
    fflush(stderr);
    _exit(0);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  ChildResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.err = testutil::read_file(path);
  return r;
}

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

}  // namespace
