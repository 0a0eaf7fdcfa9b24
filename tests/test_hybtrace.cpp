// Tracing face-label images (tools/trace.cpp, tools/label_image.cpp and
// tools/hybtrace.cpp): where hand-drawn images are cut into curves, which
// images are refused or warned about, and rendered images of known models
// that are traced and fitted back to their truth.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"
#include "trace.h"

using testutil::RunResult;
using testutil::ScratchDir;

namespace {

// An image drawn in characters: '.' background, a digit its pixel value.
label_image drawn(const std::vector<std::string> &art) {
  label_image img;
  img.height = (int)art.size();
  img.width = (int)art[0].size();
  for (const std::string &row : art)
    for (char ch : row) img.pixels.push_back(ch == '.' ? 0 : ch - '0');
  return img;
}

// Traces with dump pixels = image pixels (scale 1, centre at 128, 128) and
// one point a pixel; face_values as -F gives them.
synth_view trace_drawn(const label_image &img, int label, int others_background = 0,
                       const std::vector<int> &face_values = {}) {
  trace_options o;
  init_trace_options(&o);
  o.label = label;
  o.others_background = others_background;
  o.n_values = (int)face_values.size();
  for (size_t f = 0; f < face_values.size(); f++) o.face_value[f] = face_values[f];
  o.scale = 1.0;
  o.center_given = 1;
  o.center_row = o.center_col = 128.0;
  o.spacing = 1.0;
  synth_view v;
  trace_report r;
  char err[LABEL_ERROR_SIZE];
  EXPECT_EQ(1, trace_label_image(&img, &o, &v, &r, err)) << err;
  return v;
}

// Where a curve is expected: absent, or along the crack line row = at or
// column = at, from the crack corner (r0, c0) to (r1, c1).
struct Cut {
  int face, curve;
  char along;  // 'r', 'c', or '-' for absent
  double at;
  double r0, c0, r1, c1;
};

// A curve's points away from its ends lie on the crack line (one 1-2-1
// smoothing moves a point next to a corner by a quarter pixel at most),
// and its ends are the expected corners.
const double kOnCrack = 0.3;
const double kAtCorner = 0.3;

void expect_cut(const synth_view &v, const Cut &c, double slack = 0.0) {
  const synth_face &f = v.face[c.face];
  SCOPED_TRACE("face " + std::to_string(c.face) + " curve " + std::to_string(c.curve));
  if (c.along == '-') {
    EXPECT_TRUE(f.n_points < 0 || f.begin[c.curve] == -1);
    return;
  }
  ASSERT_GE(f.n_points, 0);
  int b = f.begin[c.curve], e = f.end[c.curve];
  ASSERT_GE(b, 0);
  EXPECT_NEAR(c.r0, f.row[b], kAtCorner + slack);
  EXPECT_NEAR(c.c0, f.col[b], kAtCorner + slack);
  EXPECT_NEAR(c.r1, f.row[e], kAtCorner + slack);
  EXPECT_NEAR(c.c1, f.col[e], kAtCorner + slack);
  for (int j = b + 1; j < e; j++)
    EXPECT_NEAR(c.at, c.along == 'r' ? f.row[j] : f.col[j], kOnCrack + slack);
}

struct DrawnCase {
  const char *name;
  int label;
  std::vector<std::string> art;
  std::vector<Cut> cuts;
};

}  // namespace

// Round labels run anticlockwise as seen, lower rim first; boxes clockwise
// from the edge they share with the next face.
static std::vector<DrawnCase> drawn_cases() {
  return {
      {"cap over side, square bottom", 5,
       {"............",
        "..11111111..",
        "..11111111..",
        "..11111111..",
        "..22222222..",
        "..22222222..",
        "..22222222..",
        "..22222222..",
        "..22222222..",
        "..22222222..",
        "..22222222..",
        "..22222222..",
        "............"},
       {{0, 0, 'r', 4, 4, 2, 4, 10},     // the rim, anticlockwise: left to right
        {1, 2, 'r', 4, 4, 10, 4, 2},     // the same rim, the other way
        {1, 3, 'c', 2, 4, 2, 12, 2},     // down the left silhouette
        {1, 0, 'r', 12, 12, 2, 12, 10},  // the lower rim, cut at the corners
        {1, 1, 'c', 10, 12, 10, 4, 10}}},  // up the right silhouette
      {"both caps", 6,
       {"..........",
        ".11111111.",
        ".11111111.",
        ".22222222.",
        ".22222222.",
        ".22222222.",
        ".22222222.",
        ".22222222.",
        ".22222222.",
        ".22222222.",
        ".22222222.",
        ".33333333.",
        ".33333333.",
        ".........."},
       {{1, 0, 'r', 11, 11, 1, 11, 9},
        {1, 1, 'c', 9, 11, 9, 3, 9},
        {1, 2, 'r', 3, 3, 9, 3, 1},
        {1, 3, 'c', 1, 3, 1, 11, 1},
        {2, 0, 'r', 11, 11, 1, 11, 9}}},  // the lower cap runs clockwise
      {"box: top over two sides", 1,
       {"................",
        "..555555555555..",
        "..555555555555..",
        "..555555555555..",
        "..222222111111..",
        "..222222111111..",
        "..222222111111..",
        "..222222111111..",
        "..222222111111..",
        "..222222111111..",
        "..222222111111..",
        "..222222111111..",
        "................"},
       {{0, 0, 'c', 8, 12, 8, 4, 8},     // up the edge shared with face 1
        {0, 1, 'r', 4, 4, 8, 4, 14},     // along the top
        {0, 2, 'c', 14, 4, 14, 12, 14},  // down the silhouette to the corner
        {0, 3, 'r', 12, 12, 14, 12, 8},
        {1, 0, 'c', 8, 4, 8, 12, 8},     // face 1: down the shared edge first
        {1, 1, 'r', 12, 12, 8, 12, 2},
        {1, 2, 'c', 2, 12, 2, 4, 2},
        {1, 3, 'r', 4, 4, 2, 4, 8},
        {4, 0, 'r', 4, 4, 14, 4, 8},     // the top: along face 0, then face 1
        {4, 1, 'r', 4, 4, 8, 4, 2}}},
  };
}

// The rim of a side without its cap, where it meets the silhouettes at
// corners, is cut there.
TEST(TraceCuts, HandDrawnImagesAreCutWhereTheNeighbourOrTheCornerIs) {
  for (const DrawnCase &c : drawn_cases()) {
    SCOPED_TRACE(c.name);
    synth_view v = trace_drawn(drawn(c.art), c.label);
    for (const Cut &cut : c.cuts) expect_cut(v, cut);
    free_synth_view(&v);
  }
}

// The same images as a segmentation of a whole scene may give them, with a
// pixel of background between adjoining faces and another part (value 7,
// -B: background) in the last column: the gaps are closed, and the curves
// are cut where they were, give or take the pixel.
TEST(TraceCuts, GapsAndOtherPartsOfASegmentationLeaveTheCuts) {
  for (DrawnCase c : drawn_cases()) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> gapped = c.art;
    for (size_t r = 0; r + 1 < c.art.size(); r++)
      for (size_t k = 0; k + 1 < c.art[r].size(); k++) {
        char p = c.art[r][k], right = c.art[r][k + 1], below = c.art[r + 1][k];
        if (p != '.' && ((right != '.' && right != p) || (below != '.' && below != p)))
          gapped[r][k] = '.';
      }
    for (std::string &row : gapped) row.back() = '7';
    synth_view v = trace_drawn(drawn(gapped), c.label, 1);
    for (const Cut &cut : c.cuts) expect_cut(v, cut, 1.0);
    free_synth_view(&v);
  }
}

// A colour segmentation is cut as its grey twin when -F names the faces'
// colours, also when its edges and corners are drawn anti-aliased (each
// pixel mixed with its right and lower neighbours, keeping most of its own
// colour), and refused without them.
TEST(TraceCuts, ColourImagesAreTracedByTheColoursFNames) {
  const uint32_t kColour[6] = {0, 0xe6194b, 0x3cb44b, 0x0082c8, 0xf58231, 0x911eb4};  // of value v
  for (const DrawnCase &c : drawn_cases()) {
    SCOPED_TRACE(c.name);
    label_image img = drawn(c.art), mixed;
    img.colour = 1;
    for (uint32_t &p : img.pixels) p = kColour[p];
    mixed = img;
    auto mix = [&](int i) {  // 0.6 of pixel i, 0.2 of each of its right and lower neighbours
      uint32_t out = 0;
      for (int ch = 0; ch < 24; ch += 8)
        out |= (uint32_t)lround(0.6 * (img.pixels[i] >> ch & 0xff) +
                                0.2 * (img.pixels[i + 1] >> ch & 0xff) +
                                0.2 * (img.pixels[i + img.width] >> ch & 0xff)) << ch;
      return out;
    };
    for (int r = 0; r + 1 < img.height; r++)
      for (int k = 0; k + 1 < img.width; k++) mixed.pixels[r * img.width + k] = mix(r * img.width + k);
    std::vector<int> colours;
    for (int v = 1; v <= (c.label == 1 ? 5 : 3); v++) colours.push_back(FACE_COLOUR | kColour[v]);
    for (const label_image *drawn_so : {&img, &mixed}) {
      synth_view v = trace_drawn(*drawn_so, c.label, 0, colours);
      for (const Cut &cut : c.cuts) expect_cut(v, cut);
      free_synth_view(&v);
    }
    synth_view v;
    trace_options o;
    init_trace_options(&o);
    o.label = c.label;
    trace_report r;
    char err[LABEL_ERROR_SIZE];
    EXPECT_EQ(0, trace_label_image(&img, &o, &v, &r, err));
    EXPECT_NE(nullptr, strstr(err, "give each face's colour with -F")) << err;
  }
}

// An unlabelled spot of a segmentation on the edge two box faces share is
// a hole in the part, not background: it is filled and the edge stays whole.
TEST(TraceCuts, HolesInThePartAreFilled) {
  DrawnCase c = drawn_cases()[2];
  for (int r = 6; r < 10; r++) c.art[r].replace(6, 4, "....");
  synth_view v = trace_drawn(drawn(c.art), c.label);
  for (const Cut &cut : c.cuts) expect_cut(v, cut);
  free_synth_view(&v);
}

// A side whose outline below the cap bends smoothly has no corner where a
// lower rim could meet the silhouettes: the two silhouettes share it.
TEST(TraceCuts, SmoothSideWithoutItsCapHasNoLowerRim) {
  const int kRadius = 12;  // a cap over a half disk
  std::vector<std::string> art(kRadius + 6, std::string(2 * kRadius + 4, '.'));
  for (int r = 1; r <= 3; r++) art[r].replace(2, 2 * kRadius, 2 * kRadius, '1');
  for (int r = 0; r < kRadius; r++) {
    int half = (int)lround(sqrt((double)kRadius * kRadius - (r + 0.5) * (r + 0.5)));
    art[4 + r].replace(2 + kRadius - half, 2 * half, 2 * half, '2');
  }
  synth_view v = trace_drawn(drawn(art), 5);
  const synth_face &f = v.face[1];
  EXPECT_EQ(-1, f.begin[0]);
  ASSERT_NE(-1, f.begin[1]);
  ASSERT_NE(-1, f.begin[3]);
  EXPECT_EQ(f.row[f.end[3]], f.row[f.begin[1]]);  // the silhouettes meet
  EXPECT_EQ(f.col[f.end[3]], f.col[f.begin[1]]);
  free_synth_view(&v);
}

// Small PNGs (the fuzz seeds) give their palette indices or grey values,
// unscaled at any depth, and a transparent pixel is background; a colour
// PNG gives grey values when every pixel is grey, else its colours.
TEST(LabelImageFiles, PngsGiveTheirIndicesGreyValuesOrColours) {
  const std::string seeds = std::string(HYBFIT_SOURCE_DIR) + "/tests/fuzz/corpus/labelimage/";
  struct Case {
    const char *file;
    std::vector<uint32_t> row1;
  } cases[] = {{"indexed4.png", {0, 1, 1, 1, 2, 2, 0, 0}},
               {"grey2.png", {0, 1, 1, 2, 2, 3, 3, 0}},
               {"grey16bit.png", {0, 1, 1, 258, 2, 3, 3, 0}},
               {"greyalpha.png", {0, 1, 1, 2, 2, 3, 0, 0}},
               {"rgbgrey.png", {0, 1, 1, 2, 2, 3, 3, 0}},
               {"colour.png", {0, 0x010101, 0x010901, 0x020202, 0x020202, 0x030303, 0x030303, 0}}};
  for (const Case &c : cases) {
    label_image img;
    char err[LABEL_ERROR_SIZE];
    ASSERT_EQ(1, read_label_image((seeds + c.file).c_str(), &img, err)) << err;
    ASSERT_EQ(8, img.width) << c.file;
    for (int x = 0; x < 8; x++) EXPECT_EQ(c.row1[x], img.pixels[8 + x]) << c.file << x;
  }
}

// ---------------------------------------------------------------------------
// Refusals and warnings, one line each
// ---------------------------------------------------------------------------

namespace {
std::string hybtrace_path() {
  std::string p = HYBFIT_PATH;
  return p.substr(0, p.rfind('/') + 1) + "hybtrace";
}
}  // namespace

TEST(TraceRefusals, BadImagesGetOneLineAndTheRightStatus) {
  ScratchDir dir;
  struct Case {
    const char *file, *content, *options, *says;
    int status;
  } cases[] = {
      {"none.png", nullptr, "", "unreadable: cannot read the file", 1},
      {"text.png", "hello", "", "unreadable: neither a PNG nor a PGM", 1},
      {"cut.pgm", "P5\n40 40\n255\n\1\2", "", "the PGM is cut short", 1},
      {"empty.pgm", "P2\n3 2\n9\n0 0 0\n0 0 0\n", "", "empty", 1},
      {"many.pgm", "P2\n3 3\n9\n0 0 0\n0 4 0\n0 0 0\n", "-l 5", "more faces than label 5", 1},
      {"unnamed.pgm", "P2\n3 3\n9\n0 0 0\n0 7 0\n0 0 0\n", "-F 2,3", "value 7 names no face", 1},
      {"unnamed.pgm", nullptr, "-F 2,3,7,8", "-F gives 4 values, the label 3 faces", 1},
      {"split.pgm", "P2\n8 3\n9\n0 0 0 0 0 0 0 0\n0 1 0 0 0 1 1 0\n0 0 0 0 0 0 0 0\n", "",
       "face 0 is split into 2 regions; the largest (2 pixels) is kept", 0},
      {"border.pgm", "P2\n3 2\n9\n0 2 0\n0 2 0\n", "", "face 1 touches the image border", 0},
  };
  for (const Case &c : cases) {
    if (c.content) testutil::write_file(dir.file(c.file), c.content);
    RunResult r = testutil::run_shell("'" + hybtrace_path() + "' " + c.options + " '" +
                                      dir.file(c.file) + "' -o '" + dir.file("out.dump") + "'");
    EXPECT_EQ(c.status, r.status) << c.file << ": " << r.err;
    EXPECT_NE(std::string::npos, r.err.find(c.says)) << r.err;
    EXPECT_EQ(1, testutil::count_occurrences(r.err, "\n")) << r.err;
  }
}

// ---------------------------------------------------------------------------
// Rendered images of known models: trace, fit, truth
// ---------------------------------------------------------------------------

namespace {
std::string tool_path(const char *name) {
  std::string p = HYBFIT_PATH;
  return p.substr(0, p.rfind('/') + 1) + name;
}

double reported(const std::string &log, const char *name) {
  size_t at = log.rfind(std::string(" ") + name + " = ");
  return at == std::string::npos ? NAN : atof(log.c_str() + at + strlen(name) + 4);
}

struct RoundTrip {
  const char *name;
  int label;
  const char *shape_and_pose;
  double size_error;  // allowed relative error of sc*a1 and sc*a2
};
void PrintTo(const RoundTrip &c, std::ostream *os) { *os << c.name; }
class TracedFit : public ::testing::TestWithParam<RoundTrip> {};
}  // namespace

// The fit from the traced label image recovers the image-plane sizes: round
// labels as closely as the accuracy targets ask with noise; the rounded box,
// whose outline the shipped schedule matches to its silhouette (outline),
// as closely as the traced targets ask.
TEST_P(TracedFit, RecoversTheTrueSizes) {
  const RoundTrip &c = GetParam();
  ScratchDir dir;
  std::string label = std::to_string(c.label);
  RunResult synth = testutil::run_shell("'" + tool_path("hybsynth") + "' -l " + label + " " +
                                        c.shape_and_pose + " --label-image '" +
                                        dir.file("a.png") + "'");
  ASSERT_EQ(0, synth.status) << synth.err;
  RunResult trace = testutil::run_shell("'" + tool_path("hybtrace") + "' -l " + label + " '" +
                                        dir.file("a.png") + "' -o '" + dir.file("a.dump") + "'");
  ASSERT_EQ(0, trace.status) << trace.err;
  RunResult fit = testutil::run_shell(std::string("env -u DISPLAY '") + HYBFIT_PATH + "' -g -a '" +
                                          dir.file("a.dump") + "'",
                                      "0\n", std::string(HYBFIT_SOURCE_DIR) + "/samples");
  ASSERT_EQ(0, fit.status);
  ASSERT_NE(std::string::npos, fit.err.find("Fit finished after"));
  double sc = reported(fit.err, "sc"), a1 = reported(fit.err, "a1"), a2 = reported(fit.err, "a2");
  std::vector<double> truth(4);
  std::string s = c.shape_and_pose;
  sscanf(s.c_str() + s.find("-S ") + 3, "%lf,%lf,%lf,%lf", &truth[0], &truth[1], &truth[2],
         &truth[3]);
  EXPECT_NEAR(1.0, sc * a1 / (truth[0] * truth[1]), c.size_error);
  EXPECT_NEAR(1.0, sc * a2 / (truth[0] * truth[2]), c.size_error);
}

INSTANTIATE_TEST_SUITE_P(
    Labels, TracedFit,
    ::testing::Values(RoundTrip{"ell5", 5, "-S 2,0.8,0.8,1.5,1,1 -R -20,0,0 -T 1,0.5,-0.1", 0.05},
                      RoundTrip{"ell6", 6, "-S 2,0.8,0.8,1.5,1,1 -R -20,0,0 -T 1,0.5,-0.1", 0.05},
                      RoundTrip{"box1", 1, "-S 2,0.8,0.8,0.8,1,1 -A 1,-1,0,40.107 -T 1,0.5,-0.1",
                                0.03},
                      RoundTrip{"bent10", 10,
                                "-S 2,0.8,0.8,1.6,1,1,0,0,0.2,0 -R -45,0,30 -T 0.5,0,-0.1", 0.05}),
    [](const ::testing::TestParamInfo<RoundTrip> &info) { return std::string(info.param.name); });

namespace {
struct LayoutCase {
  const char *name;
  std::vector<const char *> args;  // hybsynth options
  int size;                        // of the label image, pixels
};
void PrintTo(const LayoutCase &c, std::ostream *os) { *os << c.name; }
class TracedLayout : public ::testing::TestWithParam<LayoutCase> {};
}  // namespace

// hybsynth's contours of the scene (hybsynth's options args) and the trace
// of its label image of size x size pixels.
void synth_and_trace(const std::vector<const char *> &args, int size, synth_view *truth,
                     synth_view *v) {
  synth_scene s;
  init_synth_scene(&s);
  std::vector<const char *> argv = {"hybsynth", "-d", "0.5", "-o", "x"};
  argv.insert(argv.end(), args.begin(), args.end());
  char err[SYNTH_ERROR_SIZE];
  ASSERT_EQ(0, parse_synth_command_line((int)argv.size(), (char **)argv.data(), &s, err)) << err;
  ASSERT_EQ(1, make_synth_view(&s, 0, truth, err)) << err;
  std::vector<unsigned char> bytes((size_t)size * size);
  ASSERT_EQ(1, make_synth_label_image(&s, 0, size, bytes.data(), err)) << err;
  label_image img = {size, size, std::vector<uint32_t>(bytes.begin(), bytes.end())};
  trace_options o;
  init_trace_options(&o);
  o.label = s.label;
  trace_report r;
  ASSERT_EQ(1, trace_label_image(&img, &o, v, &r, err)) << err;
}

// The traced dump is compared with hybsynth's contours: the same faces and
// curves are seen, and the traced points lie on the true curves of their
// face.  A bent label 10 and an image twice the dump's size, mapped back by
// the default scale.
TEST_P(TracedLayout, MatchesHybsynthsContours) {
  const double kOnTrueCurve = 1.5;  // dump pixels: cracks, smoothing, the pixel grid
  // Where the silhouettes of the side meet below it, hybsynth leaves a gap
  // of a few pixels that the trace closes.
  const double kOnTrueShare = 0.9;
  const LayoutCase &c = GetParam();
  synth_view truth, v;
  synth_and_trace(c.args, c.size, &truth, &v);
  for (int f = 0; f < 3; f++) {
    SCOPED_TRACE("face " + std::to_string(f));
    const synth_face &a = truth.face[f], &b = v.face[f];
    ASSERT_EQ(a.n_points < 0, b.n_points < 0);
    if (a.n_points < 0) continue;
    for (int k = 0; k < a.n_curve; k++) EXPECT_EQ(a.begin[k] < 0, b.begin[k] < 0) << k;
    int on = 0;
    for (int j = 0; j < b.n_points; j++) {
      double nearest = HUGE_VAL;
      for (int k = 0; k < a.n_points; k++)
        nearest = std::min(nearest, hypot(a.row[k] - b.row[j], a.col[k] - b.col[j]));
      on += nearest < kOnTrueCurve;
    }
    EXPECT_GE(on, kOnTrueShare * b.n_points);
  }
  // Each silhouette ends nearer its own true end at the upper rim than the
  // other's (stray pixels of the side along the cap's outline once carried
  // them past each other across it).
  const synth_face &a = truth.face[1], &b = v.face[1];
  auto apart = [&](int i, int j) { return hypot(a.row[i] - b.row[j], a.col[i] - b.col[j]); };
  if (a.begin[1] >= 0 && a.begin[3] >= 0 && b.begin[1] >= 0 && b.begin[3] >= 0) {
    EXPECT_LT(apart(a.end[1], b.end[1]), apart(a.begin[3], b.end[1]));
    EXPECT_LT(apart(a.begin[3], b.begin[3]), apart(a.end[1], b.begin[3]));
  }
  free_synth_view(&truth);
  free_synth_view(&v);
}

// A rim meets the silhouettes tangentially, and the band of the side
// between them vanishes from the pixels a few pixels before the rim's true
// ends (2 to 8 dump pixels here): the traced rim still ends where
// hybsynth's does.
TEST(TracedRims, EndWhereTheyTouchTheSilhouettes) {
  const double kAtTrueEnd = 1.5;  // dump pixels
  const std::vector<std::vector<const char *>> scenes = {
      {"-l", "5", "-S", "2,0.9,0.9,1.5,1,1", "-R", "-45,0,20", "-T", "1,0.5,-0.1"},
      {"-l", "5", "-S", "2,0.9,0.9,1.5,0.3,1", "-R", "-60,0,-20", "-p", "-f", "10", "-T",
       "0.5,-0.5,-20"}};
  for (const auto &args : scenes) {
    synth_view truth, v;
    synth_and_trace(args, 256, &truth, &v);
    const synth_face &a = truth.face[0], &b = v.face[0];
    ASSERT_GE(b.n_points, 2);
    EXPECT_NEAR(0.0, hypot(a.row[0] - b.row[0], a.col[0] - b.col[0]), kAtTrueEnd);
    int m = a.n_points - 1, n = b.n_points - 1;
    EXPECT_NEAR(0.0, hypot(a.row[m] - b.row[n], a.col[m] - b.col[n]), kAtTrueEnd);
    free_synth_view(&truth);
    free_synth_view(&v);
  }
}

// A bent model seen from its upper end: the upper rim touches the outline,
// the band beyond it lost, and is whole; the lower cap shows only as specks
// in the middle of its rim, which still reaches its true ends.
TEST(TracedRims, BentModelsUpperRimIsWholeAndLowerRimReachesItsEnds) {
  const double kOnTrue = 1.5, kAtTrueEnd = 2.0;  // dump pixels
  synth_view truth, v;
  synth_and_trace({"-l", "10", "-S", "2,0.8,0.8,1.5,1,1,0,0,0.2,0", "-R", "-20,0,0", "-T",
                   "1,0.5,-0.1"},
                  256, &truth, &v);
  const synth_face &a = truth.face[0], &b = v.face[0];
  ASSERT_GE(b.n_points, 2);
  for (int j = 0; j < a.n_points; j++) {
    double nearest = HUGE_VAL;
    for (int k = 0; k < b.n_points; k++)
      nearest = std::min(nearest, hypot(a.row[j] - b.row[k], a.col[j] - b.col[k]));
    EXPECT_LT(nearest, kOnTrue) << "upper rim point " << j;
  }
  const synth_face &s = truth.face[1], &t = v.face[1];
  ASSERT_GE(t.begin[0], 0);
  for (int end = 0; end < 2; end++) {
    int i = end ? s.end[0] : s.begin[0], j = end ? t.end[0] : t.begin[0];
    EXPECT_NEAR(0.0, hypot(s.row[i] - t.row[j], s.col[i] - t.col[j]), kAtTrueEnd) << end;
  }
  free_synth_view(&truth);
  free_synth_view(&v);
}

// Near its axis the cap bulges over the far rim; the side's band thins into stray
// specks, and the silhouette runs on its true curve to the last (10.6 px short without).
TEST(TracedRims, SilhouetteRunsOnThroughTheBandsSpecks) {
  const double kOnTrue = 1.5, kNearTrueEnd = 8.0;  // dump pixels
  synth_view truth, v;
  synth_and_trace({"-l", "6", "-S", "2,1,1,1.5,1,1,0.3,0.3", "-R", "-20,0,0", "-p", "-f", "10",
                   "-T", "1,0.5,-20"}, 256, &truth, &v);
  const synth_face &a = truth.face[1], &b = v.face[1];
  ASSERT_GE(b.begin[3], 0);
  int j = b.begin[3];
  double nearest = HUGE_VAL;
  for (int k = a.begin[3]; k <= a.end[3]; k++)
    nearest = std::min(nearest, hypot(a.row[k] - b.row[j], a.col[k] - b.col[j]));
  EXPECT_LT(nearest, kOnTrue);
  EXPECT_LT(hypot(a.row[a.begin[3]] - b.row[j], a.col[a.begin[3]] - b.col[j]), kNearTrueEnd);
  free_synth_view(&truth);
  free_synth_view(&v);
}

// A cap bulging over its far rim hides the thin end of the side's band and
// the rim's hidden arc: the rim carries on along the outline, as far as the
// band's growth puts the tangent points (7 and 8 px short without).
TEST(TracedRims, ReachOnAlongTheOutlineWhereTheBandThinsOut) {
  const double kNearTrueEnd = 6.0;  // dump pixels
  synth_view truth, v;
  synth_and_trace({"-l", "6", "-S", "2,1,1,1.5,1,1,0.3,0.3", "-R", "-20,0,0", "-p", "-f", "10",
                   "-T", "1,0.5,-20"}, 256, &truth, &v);
  const synth_face &a = truth.face[0], &b = v.face[0];
  ASSERT_GE(b.n_points, 2);
  EXPECT_LT(hypot(a.row[0] - b.row[0], a.col[0] - b.col[0]), kNearTrueEnd);
  int m = a.n_points - 1, n = b.n_points - 1;
  EXPECT_LT(hypot(a.row[m] - b.row[n], a.col[m] - b.col[n]), kNearTrueEnd);
  free_synth_view(&truth);
  free_synth_view(&v);
}

INSTANTIATE_TEST_SUITE_P(
    Scenes, TracedLayout,
    ::testing::Values(
        LayoutCase{"bent10", {"-l", "10", "-S", "2,0.8,0.8,1.5,1,1,0,0,0.2,0", "-R", "-20,0,0",
                              "-T", "1,0.5,-0.1"}, 256},
        LayoutCase{"ell5_twice", {"-l", "5", "-S", "2,1.2,1.2,1.6,1,1", "-R", "-30,0,30", "-T",
                                  "-1.5,1,-0.1"}, 512},
        // the lower end faces away, its cap a crescent beyond the rim: not a face
        LayoutCase{"crescent", {"-l", "10", "-S", "2,0.8,0.8,1.6,0.4,1,0,0,0.25,0", "-R",
                                "-60,0,90", "-T", "0,0,-0.1"}, 512}),
    [](const ::testing::TestParamInfo<LayoutCase> &info) { return std::string(info.param.name); });
