// The error reporter and its directive parser.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "error.h"
#include "test_util.h"

// Each test runs in its own scratch directory, where "vorlan.error" is written.
class ErrorReport : public ::testing::Test {
 protected:
  void SetUp() override {
    char buf[4096];
    old_dir = getcwd(buf, sizeof buf);
    ASSERT_EQ(chdir(dir.path.c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(chdir(old_dir.c_str()), 0); }
  std::string log() { return testutil::read_file(dir.file("vorlan.error")); }
  testutil::ScratchDir dir;
  std::string old_dir;
};

// Runs Error with the arguments given and returns its stderr output.
#define REPORT(...)                                  \
  ([&] {                                             \
    testing::internal::CaptureStderr();              \
    Error(__VA_ARGS__);                              \
    return testing::internal::GetCapturedStderr();   \
  }())

TEST_F(ErrorReport, AppendsTheMainLineAndAnEmptyDetailLine) {
  std::string err = REPORT("sgi_init", "couldn't get the desired glx config", "");
  std::string expected = "Error from: sgi_init: couldn't get the desired glx config\n\n";
  EXPECT_EQ(log(), expected);
  EXPECT_EQ(err, expected);
}

TEST_F(ErrorReport, NullFormatCountsAsEmpty) {
  REPORT("op", "problem", nullptr);
  EXPECT_EQ(log(), "Error from: op: problem\n\n");
}

TEST_F(ErrorReport, TwoCallsAppendFourLinesAndKeepEarlierContents) {
  testutil::write_file(dir.file("vorlan.error"), "earlier\n");
  REPORT("a", "b", "first");
  REPORT("c", "d", "second");
  EXPECT_EQ(log(), "earlier\nError from: a: b\nfirst\nError from: c: d\nsecond\n");
}

TEST_F(ErrorReport, DetailLineFormatsEachDirective) {
  REPORT("op", "msg", "%d word", 3);
  REPORT("op", "msg", "%5.2f|%s|%c|%-4x|%ld", 3.14159, "text", 'z', 0x41, 123456789012L);
  EXPECT_EQ(log(),
            "Error from: op: msg\n3 word\n"
            "Error from: op: msg\n 3.14|text|z|41  |123456789012\n");
}

TEST_F(ErrorReport, MalformedDirectivesAreCopiedWithoutTakingAnArgument) {
  REPORT("op", "msg", "50%");
  REPORT("op", "msg", "100%% sure");
  REPORT("op", "msg", "%+d then %d", 7);
  EXPECT_EQ(log(),
            "Error from: op: msg\n50%\n"
            "Error from: op: msg\n100%% sure\n"
            "Error from: op: msg\n%+d then 7\n");
}

TEST_F(ErrorReport, LongTextsAreCutAt1023Characters) {
  std::string huge(3000, 'x');
  std::string err = REPORT("op", huge.c_str(), huge.c_str());
  size_t first_end = err.find('\n');
  EXPECT_EQ(first_end, 1023u);
  EXPECT_EQ(err.size() - first_end - 2, 1023u);
}

TEST_F(ErrorReport, AnArgumentThatDoesNotFitEndsTheDetailLine) {
  std::string prefix(1000, 'p');
  REPORT("op", "msg", (prefix + "%40d tail").c_str(), 5);
  EXPECT_EQ(log(), "Error from: op: msg\n" + prefix + "\n");
}

TEST_F(ErrorReport, UnwritableLogStillReportsOnStderr) {
  ASSERT_EQ(mkdir(dir.file("vorlan.error").c_str(), 0755), 0);  // a directory cannot be opened
  std::string err = REPORT("op", "msg", "detail");
  EXPECT_NE(err.find("Error: "), std::string::npos);
  EXPECT_NE(err.find("Error from: op: msg\ndetail\n"), std::string::npos);
}

TEST(GetNextFormat, ParsesAValidDirective) {
  char buf[ERROR_LINE_SIZE];
  GetNextFormat("%-12.3lf rest", buf);
  EXPECT_EQ(buf[0], 'f');
  EXPECT_STREQ(buf + 1, "%-12.3lf");
}

TEST(GetNextFormat, EndsAnInvalidDirectiveWithTheOffendingCharacter) {
  char buf[ERROR_LINE_SIZE];
  GetNextFormat("%5-d", buf);
  EXPECT_EQ(buf[0], 0);
  EXPECT_STREQ(buf + 1, "%5-");
  GetNextFormat("%l5d", buf);
  EXPECT_EQ(buf[0], 0);
  EXPECT_STREQ(buf + 1, "%l5");
  GetNextFormat("%", buf);
  EXPECT_EQ(buf[0], 0);
  EXPECT_STREQ(buf + 1, "%");
}

TEST(GetNextFormat, WritesNothingButTheMarkForTextWithoutPercent) {
  char buf[ERROR_LINE_SIZE] = "untouched";
  GetNextFormat("plain", buf);
  EXPECT_EQ(buf[0], 0);
  EXPECT_STREQ(buf + 1, "ntouched");
}
