// The contour dump reader, the shared comment skipper and the damping
// coefficient reader.  Refusals end the process, so they run in a forked
// child whose exit status and standard error are collected.
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "Mqmalloc.h"
#include "test_util.h"

using testutil::ScratchDir;
using testutil::count_occurrences;
using testutil::near_vector;
using testutil::write_file;

using testutil::ChildResult;
using testutil::run_in_child;

namespace {

// Conversions are a subtraction and a product of exact pixel values; a
// rotation by a computed angle leaves a few ulps of the unit scale.
const double kExact = 1e-12;
const double kRotated = 1e-12;

// The example model: a primitive-5 model of which only face 1 is seen.
const char *const kExampleDump =
    "1\n5\n3\n"
    "-1\n"
    "4\n10 20 30 40\n50 60 70 80\n2\n0 1\n2 3\n"
    "-1\n"
    "1 0 -1 -1\n1 1 -1 -1\n";

// All three faces of a primitive-5 model, with comments, an absent curve,
// a wrapping curve and neighbour records with and without a neighbour.
const char *const kFullDump =
    "1\n5\n3\n"
    "# face 0: the top\n"
    "4\n10 10 20 20\n50 60 60 50\n1\n0 3\n"
    "# face 1: the side\n"
    "6\n30 30 40 40 50 50\n40 70 40 70 40 70\n4\n0 1\n2 3\n-1\n4 2\n"
    "# face 2: not seen\n"
    "-1\n"
    "# neighbours of face 0, then of face 1\n"
    "0 0 1 2\n"
    "1 0 0 0\n1 1 -1 -1\n1 2 -1 -1\n1 3 2 0\n";

class DumpReader : public ::testing::Test {
 protected:
  void SetUp() override {
    h = (hybroid *)Mqcalloc_checked(1, sizeof(hybroid));
    h->x_scale = h->y_scale = 0.05;
    h->x_center = h->y_center = 128.0;
    h->x_dim = h->y_dim = 256;
    h->focal_length = 0.1;
    theta = 0.0;
  }
  void TearDown() override {
    for (int f = 0; f < MAX_FACES; f++) Mqfree(h->face[f].points);
    Mqfree(h);
    theta = 0.0;
  }
  // Writes text to a scratch file and reads it into h; returns stderr.
  std::string read(const std::string &text, double strength = 1.0) {
    path = dir.file("model.dump");
    write_file(path, text);
    testing::internal::CaptureStderr();
    read_ascii_xy_data_dump(path.c_str(), h, strength);
    return testing::internal::GetCapturedStderr();
  }
  // Reads text in a child; the child's status and stderr.
  ChildResult read_in_child(const std::string &text) {
    path = dir.file("bad.dump");
    write_file(path, text);
    std::string p = path;
    hybroid *m = h;
    return run_in_child([p, m] { read_ascii_xy_data_dump(p.c_str(), m, 1.0); });
  }
  hybroid *h = nullptr;
  ScratchDir dir;
  std::string path;
};

TEST_F(DumpReader, ReadsTheExampleModelItemByItem) {
  EXPECT_EQ(read(kExampleDump), "");
  EXPECT_EQ(h->primitive_label, 5);
  ASSERT_EQ(h->n_face, 3);
  EXPECT_EQ(h->face[0].n_points, -1);
  EXPECT_EQ(h->face[0].points, nullptr);
  EXPECT_EQ(h->face[2].n_points, -1);
  const Face &f = h->face[1];
  ASSERT_EQ(f.n_points, 4);
  EXPECT_EQ(f.n_curve, 2);
  EXPECT_EQ(f.begin[0], 0);
  EXPECT_EQ(f.end[0], 1);
  EXPECT_EQ(f.begin[1], 2);
  EXPECT_EQ(f.end[1], 3);
  EXPECT_EQ(f.n_neighbor, 0);
  // Row 10, column 50: x = (50 - 128) * 0.05, y = (256 - 10 - 128) * 0.05.
  EXPECT_TRUE(near_vector({-3.9, 5.9, -0.1}, f.points[0].position, kExact));
  EXPECT_TRUE(near_vector({-2.4, 4.4, -0.1}, f.points[3].position, kExact));
  EXPECT_EQ(f.points[3].strength_force, 1.0);
}

TEST_F(DumpReader, CurveSlotsTheFileDoesNotDescribeAreAbsent) {
  read(kExampleDump);
  for (int c = 2; c < MAX_CURVES; c++) EXPECT_EQ(h->face[1].begin[c], -1) << "curve " << c;
  for (int c = 0; c < MAX_CURVES; c++) {
    EXPECT_EQ(h->face[0].begin[c], -1) << "absent face 0, curve " << c;
    EXPECT_EQ(h->face[2].begin[c], -1) << "absent face 2, curve " << c;
  }
}

TEST_F(DumpReader, ReadsAbsentCurvesWrappingCurvesAndNeighbourRecords) {
  EXPECT_EQ(read(kFullDump, 0.5), "");
  const Face &top = h->face[0], &side = h->face[1];
  ASSERT_EQ(top.n_points, 4);
  EXPECT_EQ(top.n_curve, 1);
  EXPECT_EQ(top.end[0], 3);
  ASSERT_EQ(top.n_neighbor, 1);
  EXPECT_EQ(top.neighbor_face[0], 1);
  EXPECT_EQ(top.neighbor_curve[0], 2);

  ASSERT_EQ(side.n_points, 6);
  EXPECT_EQ(side.n_curve, 4);
  EXPECT_EQ(side.begin[2], -1);
  EXPECT_EQ(side.begin[3], 4);  // wraps: 4, 5, 0, 1, 2
  EXPECT_EQ(side.end[3], 2);
  // Records (1 0 0 0) and (1 3 2 0) name neighbours; the two with -1 do not.
  ASSERT_EQ(side.n_neighbor, 2);
  EXPECT_EQ(side.neighbor_face[0], 0);
  EXPECT_EQ(side.neighbor_curve[0], 0);
  EXPECT_EQ(side.neighbor_face[1], 2);
  EXPECT_EQ(side.neighbor_curve[1], 0);
  EXPECT_EQ(side.points[5].strength_force, 0.5);
  EXPECT_EQ(h->face[2].n_points, -1);
}

TEST_F(DumpReader, AFaceWithNoPointsKeepsItsCurveSlotsAndNeighbourRecords) {
  EXPECT_EQ(read("1 5 2\n"
                 "0\n2\n-1\n-1\n"        // face 0: no points, two absent curves
                 "1\n100\n100\n1\n0 0\n"  // face 1: one point
                 "0 0 1 0\n0 1 -1 -1\n"   // face 0's records
                 "1 0 0 1\n"),           // face 1's record
            "");
  EXPECT_EQ(h->face[0].n_points, 0);
  EXPECT_EQ(h->face[0].points, nullptr);
  EXPECT_EQ(h->face[0].n_curve, 2);
  EXPECT_EQ(h->face[0].n_neighbor, 1);
  EXPECT_EQ(h->face[0].neighbor_face[0], 1);
  EXPECT_EQ(h->face[1].n_neighbor, 1);
  EXPECT_EQ(h->face[1].neighbor_curve[0], 1);
}

TEST_F(DumpReader, CommentsMayStandWhereverANumberIsExpected) {
  EXPECT_EQ(read("# a model\n# of one face\n1\n# label\n5\n1 # faces\n"
                 "3\n# rows\n0 10\n# between two rows\n20\n# columns\n0 # first column\n"
                 "10 20\n1 0 2\n"
                 "# neighbour record\n0 0 -1 -1\n"),
            "");
  ASSERT_EQ(h->face[0].n_points, 3);
  EXPECT_TRUE(near_vector({-6.4, 6.4, -0.1}, h->face[0].points[0].position, kExact));
  EXPECT_TRUE(near_vector({-5.4, 5.4, -0.1}, h->face[0].points[2].position, kExact));
  EXPECT_EQ(h->face[0].end[0], 2);
}

TEST_F(DumpReader, ACommentLineLongerThanSeventyNineCharactersGoesOnAsTheNextItem) {
  // The skipper takes 79 characters of a comment line; what follows them is
  // read as an item.  Here the 80th character is the primitive label 6.
  std::string comment = "#" + std::string(78, '-');
  ASSERT_EQ(comment.size(), 79u);
  read("1\n" + comment + "6\n1\n-1\n");
  EXPECT_EQ(h->primitive_label, 6);
  EXPECT_EQ(h->n_face, 1);
  // A line of exactly 79 characters is skipped whole, its last digit too.
  read("1\n#" + std::string(77, '-') + "7\n6\n1\n-1\n");
  EXPECT_EQ(h->primitive_label, 6);
}

TEST_F(DumpReader, TheImageCornerBecomesTheUpperLeftOfThePlane) {
  read("1 5 1\n1\n0\n0\n0\n");
  EXPECT_TRUE(near_vector({-6.4, 6.4, -0.1}, h->face[0].points[0].position, kExact));
}

TEST_F(DumpReader, ThetaRotatesEveryPointInTheImagePlane) {
  theta = 90 * 0.017453292519943295;
  read("1 5 1\n2\n0 40\n0 200\n0\n");
  // (x, y) becomes (y, -x).
  EXPECT_TRUE(near_vector({6.4, 6.4, -0.1}, h->face[0].points[0].position, kRotated));
  EXPECT_TRUE(near_vector({4.4, -3.6, -0.1}, h->face[0].points[1].position, kRotated));
}

TEST_F(DumpReader, AFileThatCannotBeOpenedLeavesTheModelWithoutData) {
  testing::internal::CaptureStderr();
  read_ascii_xy_data_dump("/nonexistent/x.dump", h, 1.0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Input file /nonexistent/x.dump can't be opened\n");
  EXPECT_EQ(h->n_face, 0);
  EXPECT_EQ(h->primitive_label, 0);
}

// A dump of n_faces faces, each with one point and curves_per_face curves.
std::string dump_with_curves(int n_faces, int curves_per_face) {
  std::string s = "1 1 " + std::to_string(n_faces) + "\n";
  for (int f = 0; f < n_faces; f++) {
    s += "1\n5\n5\n" + std::to_string(curves_per_face) + "\n";
    for (int c = 0; c < curves_per_face; c++) s += "0 0\n";
  }
  for (int f = 0; f < n_faces; f++)
    for (int c = 0; c < curves_per_face; c++) s += "0 0 -1 -1\n";
  return s;
}

TEST_F(DumpReader, TwentyFourSeenCurvesFitTheForceMapsAndTwentyFiveAreRefused) {
  auto ok = read_in_child(dump_with_curves(6, 4));
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.err, "");
  auto bad = read_in_child(dump_with_curves(5, 5));
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, path + ": malformed dump file: more than 24 curves seen, the model has "
                            "only 24 force maps (curve 4 of face 4), at line 46\n");
}

TEST_F(DumpReader, ARefusalNamesTheFileWhatIsWrongAndWhere) {
  auto r = read_in_child("1 5 3\n-1\n4\n10 20 30 40\n50 60 70 80\n7\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, path + ": malformed dump file: face 1 has 7 curves (at most 5), at line 6\n");
}

// One malformed file and a fragment of the message it must give.
struct BadDump {
  const char *name;
  std::string text;
  const char *message;
};

void PrintTo(const BadDump &d, std::ostream *os) { *os << d.name; }

// A comment long enough that the point counts of the short files below fit
// the file size, so that the reader gets as far as the fault.
const std::string kPadding = "# padding, padding, padding, padding\n";

class MalformedDump : public DumpReader, public ::testing::WithParamInterface<BadDump> {};

TEST_P(MalformedDump, EndsWithOneLineAndStatusOne) {
  auto r = read_in_child(GetParam().text);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(count_occurrences(r.err, "\n"), 1) << r.err;
  EXPECT_EQ(r.err.rfind(path + ": malformed dump file: ", 0), 0u) << r.err;
  EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
}

const BadDump kBadDumps[] = {
    {"TooManyFaces", "1 5 7\n", "7 faces (at most 6)"},
    {"NegativeFaceCount", "1 5 -2\n", "-2 faces (at least 0)"},
    {"PointCountBelowMinusOne", "1 5 1\n-2\n", "face 0 has -2 points (at least -1)"},
    {"PointCountBeyondTheFile", "1 5 1\n1000000\n1 2\n",
     "face 0 has 1000000 points but the file can hold at most 1 more"},
    {"HugePointCount", "1 5 1\n2147483647\n", "face 0 has 2147483647 points"},
    {"TooManyCurves", "1 5 1\n1\n1\n1\n6\n", "face 0 has 6 curves (at most 5)"},
    {"NegativeCurveCount", "1 5 1\n1\n1\n1\n-1\n", "face 0 has -1 curves (at least 0)"},
    {"FirstIndexPastTheFace", "1 5 1\n2\n1 2\n1 2\n1\n2 0\n",
     "curve 0 of face 0: first point 2 is outside the face's 2 points"},
    {"FirstIndexBelowMinusOne", "1 5 1\n2\n1 2\n1 2\n1\n-2\n",
     "first point -2 is outside"},
    {"LastIndexMinusOne", "1 5 1\n2\n1 2\n1 2\n1\n0 -1\n",
     "curve 0 of face 0: last point -1 is outside the face's 2 points"},
    {"CurveOnAFaceWithoutPoints", "1 5 1\n0\n1\n0 0\n",
     "curve 0 of face 0: first point 0 is outside the face's 0 points"},
    {"MissingLabel", "1\n", "primitive label is missing or not an integer"},
    {"MissingColumns", "1 5 1\n3\n1 2 3\n1 2\n" + kPadding, "column 2 of face 0 is missing"},
    {"MissingNeighbourRecord", "1 5 1\n1\n1\n1\n1\n0 0\n",
     "neighbour record of curve 0 of face 0 is short or not numeric"},
    {"ShortNeighbourRecord", "1 5 1\n1\n1\n1\n1\n0 0\n0 0 -1\n", "neighbour record of curve 0"},
    {"CommentInsideANeighbourRecord", "1 5 1\n1\n1\n1\n1\n0 0\n0 0\n# no\n-1 -1\n",
     "neighbour record of curve 0 of face 0 is short"},
    {"WordForACount", "1 5 three\n", "number of faces is missing or not an integer"},
    {"FractionForACount", "1 5 1\n1.5\n", "number of points of face 0 is missing"},
    {"IntegerOverflow", "1 5 99999999999\n", "number of faces is missing or not an integer"},
    {"WordForACoordinate", "1 5 1\n2\n1 x\n" + kPadding, "row 1 of face 0 is missing or not a finite"},
    {"NotANumberCoordinate", "1 5 1\n1\nnan\n", "row 0 of face 0 is missing or not a finite"},
    {"OverflowingCoordinate", "1 5 1\n1\n1\n1e400\n", "column 0 of face 0 is missing"},
    {"FarOutsideTheImage", "1 5 1\n1\n-2e6\n" + kPadding, "row 0 of face 0 is -2e+06 pixels"},
    {"OverlongToken", "1 5 " + std::string(70, '1') + "\n", "number of faces is missing"},
    {"NulInsideANumber", std::string("1 5 1\n1\n1\0002\n", 12), "row 0 of face 0"},
    {"EmptyFile", "", "number of primitives is missing"},
    {"OnlyComments", "# nothing\n# at all\n", "number of primitives is missing"},
};

INSTANTIATE_TEST_SUITE_P(Dumps, MalformedDump, ::testing::ValuesIn(kBadDumps),
                         [](const ::testing::TestParamInfo<BadDump> &i) { return i.param.name; });

TEST_F(DumpReader, EveryTruncationOfAValidFileIsRefusedWithOneLine) {
  std::string full = kFullDump;
  ASSERT_EQ(read_in_child(full).status, 0);
  size_t last = full.find_last_not_of('\n');
  for (size_t len = 0; len <= last; len++) {
    auto r = read_in_child(full.substr(0, len));
    ASSERT_EQ(r.status, 1) << "cut at " << len << ": " << r.err;
    ASSERT_EQ(count_occurrences(r.err, "\n"), 1) << "cut at " << len << ": " << r.err;
    ASSERT_NE(r.err.find("malformed dump file: "), std::string::npos) << r.err;
  }
}

TEST_F(DumpReader, BinaryGarbageIsRefusedWithOneLine) {
  std::mt19937 rng(20240611);
  for (int trial = 0; trial < 24; trial++) {
    // Half the files start with a valid header, so that the garbage reaches
    // the point and curve readers.
    std::string text = trial % 2 ? "1 5 2\n3\n10 20 " : "";
    for (int i = 0; i < 300; i++) text += (char)(rng() & 0xff);
    auto r = read_in_child(text);
    ASSERT_EQ(r.status, 1) << "trial " << trial << ": " << r.err;
    ASSERT_EQ(count_occurrences(r.err, "\n"), 1) << "trial " << trial << ": " << r.err;
  }
}

// ---------------------------------------------------------------------------
// The damping coefficient file
// ---------------------------------------------------------------------------

TEST(DampingCoefficientFile, GivesEachModelItsEightValuesInFileOrder) {
  ScratchDir dir;
  std::string path = dir.file("coeff");
  write_file(path, "1 2 3 4 5 6 7 8\n0.5 0.25 0.125 1 1 1 2 2\n");
  hybroid a = {}, b = {};
  hybroid *hs[2] = {&a, &b};
  testing::internal::CaptureStderr();
  read_damping_coeff(path.c_str(), hs, 2);
  std::string err = testing::internal::GetCapturedStderr();
  double expected_a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  double got_a[8] = {a.c_inv_trans, a.c_inv_rot, a.c_inv_rotz, a.c_inv_a1,
                     a.c_inv_a2,    a.c_inv_a3,  a.c_inv_tx,   a.c_inv_ty};
  EXPECT_TRUE(testutil::near_array(expected_a, got_a, 8, 0.0));
  EXPECT_EQ(b.c_inv_rotz, 0.125);
  EXPECT_EQ(b.c_inv_ty, 2.0);
  EXPECT_EQ(a.c_inv_transz, 0.0);  // not in the file
  EXPECT_EQ(err,
            "Damping coefficient read from " + path + "\n"
            "Num of c factor read = 8\n"
            "1.000000 2.000000 3.000000 4.000000 5.000000 6.000000 7.000000 8.000000\n"
            "Num of c factor read = 8\n"
            "0.500000 0.250000 0.125000 1.000000 1.000000 1.000000 2.000000 2.000000\n");
}

TEST(DampingCoefficientFile, AShortFileReportsItsCountAndLeavesTheRestAlone) {
  ScratchDir dir;
  std::string path = dir.file("coeff");
  write_file(path, "1 2 3\n");
  hybroid a = {};
  a.c_inv_a1 = 9.0;
  hybroid *hs[1] = {&a};
  testing::internal::CaptureStderr();
  read_damping_coeff(path.c_str(), hs, 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Num of c factor read = 3\n"), std::string::npos);
  EXPECT_EQ(a.c_inv_rotz, 3.0);
  EXPECT_EQ(a.c_inv_a1, 9.0);
}

TEST(DampingCoefficientFile, AMissingFileEndsTheProgramWithStatusMinusOne) {
  auto r = run_in_child([] { read_damping_coeff("/nonexistent/coeff", nullptr, 0); });
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.err, "Cannot open /nonexistent/coeff\n");
}

}  // namespace
