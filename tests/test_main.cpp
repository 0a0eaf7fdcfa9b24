// Command line and global settings, tested by running the program.
#include "test_util.h"

using testutil::count_occurrences;
using testutil::run_hybfit;

TEST(CommandLine, HelpExplainsEveryOptionOnItsOwnLineAndExitsOne) {
  auto r = run_hybfit("-h a.dump b.dump");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(std::string(HYBFIT_PATH) + " [-a] [-t tol] [-u euler_step]"),
            std::string::npos);
  for (char c : std::string("abdefghmnopstuv"))
    EXPECT_EQ(count_occurrences(r.err, std::string("\n -") + c + " : "), 1) << c;
  EXPECT_NE(r.err.find("e.g. " + std::string(HYBFIT_PATH) + " -a -t 0.01  lamp?.dump\n"),
            std::string::npos);
  EXPECT_EQ(r.err.find("filename"), std::string::npos);
}

TEST(CommandLine, UnknownOptionsAndMissingArgumentsAreErrors) {
  EXPECT_EQ(run_hybfit("-q a.dump").status, 1);
  auto r = run_hybfit("-t");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(" -b : base_line"), std::string::npos);
}

TEST(CommandLine, UnopenableOutputFileEndsTheProgram) {
  auto r = run_hybfit("-o /nonexistent-dir/out a.dump");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Cannot open ofile\n"), std::string::npos);
}

class ParseCommandLine : public ::testing::Test {
 protected:
  void SetUp() override { reset_settings(); }
  void TearDown() override { reset_settings(); }
  static void reset_settings() {
    fitting_tol = 0.001; euler_step = 1.0; focal_length = 0.1;
    perspective_flag = graphics_off = auto_fitting = stereo_flag = debug_flag = 0;
    base_line = 250.0; verge_angle = elev_angle = 0.0;
    if (ofs && ofs != stdout) fclose(ofs);
    ofile = nullptr; ofs = nullptr; nfiles = 0;
  }
  void parse(std::vector<std::string> args) {
    argv_store = args;
    argv_ptrs.clear();
    for (auto &a : argv_store) argv_ptrs.push_back(&a[0]);
    argv_ptrs.push_back(nullptr);
    testing::internal::CaptureStderr();
    parse_command_line((int)argv_store.size(), argv_ptrs.data());
    err = testing::internal::GetCapturedStderr();
  }
  std::vector<std::string> argv_store;
  std::vector<char *> argv_ptrs;
  std::string err;
};

TEST_F(ParseCommandLine, WithoutOptionsEverySettingKeepsItsStartValue) {
  parse({"hybfit", "a.dump"});
  EXPECT_EQ(fitting_tol, 0.001);
  EXPECT_EQ(euler_step, 1.0);
  EXPECT_EQ(focal_length, 0.1);
  EXPECT_EQ(base_line, 250.0);
  EXPECT_EQ(verge_angle, 0.0);
  EXPECT_EQ(elev_angle, 0.0);
  EXPECT_EQ(perspective_flag, 0);
  EXPECT_EQ(graphics_off, 0);
  EXPECT_EQ(auto_fitting, 0);
  EXPECT_EQ(stop_fitting, 1);
  EXPECT_EQ(ofs, stdout);
  ASSERT_EQ(nfiles, 1);
  EXPECT_STREQ(filenames[0], "a.dump");
  EXPECT_EQ(err, "filename a.dump read in\n");
}

TEST_F(ParseCommandLine, EveryOptionSetsItsSetting) {
  parse({"hybfit", "-a", "-b", "120", "-d", "-e", "0.25", "-f", "5", "-g", "-n", "x",
         "-p", "-s", "-t", "0.01", "-u", "0.5", "-v", "-0.125", "f1", "f2"});
  EXPECT_EQ(auto_fitting, 1);
  EXPECT_EQ(base_line, 120.0);
  EXPECT_EQ(debug_flag, 1);
  EXPECT_EQ(elev_angle, 0.25);  // -e is the elevation, whatever the usage line says
  EXPECT_EQ(focal_length, 5.0);
  EXPECT_EQ(graphics_off, 1);
  EXPECT_EQ(perspective_flag, 1);
  EXPECT_EQ(stereo_flag, 1);
  EXPECT_EQ(fitting_tol, 0.01);
  EXPECT_EQ(euler_step, 0.5);  // -u is the Euler step
  EXPECT_EQ(verge_angle, -0.125);
  EXPECT_EQ(nfiles, 2);
}

TEST_F(ParseCommandLine, OptionsAfterTheFirstFileNameAreSkippedNotParsed) {
  parse({"hybfit", "a.dump", "-p", "b.dump"});
  EXPECT_EQ(perspective_flag, 0);
  ASSERT_EQ(nfiles, 2);
  EXPECT_STREQ(filenames[0], "a.dump");
  EXPECT_STREQ(filenames[1], "b.dump");
}

TEST_F(ParseCommandLine, AtMostThirtyTwoNamesAreCollectedAndEachIsReportedOnce) {
  std::vector<std::string> args = {"hybfit"};
  for (int i = 0; i < 33; i++) args.push_back("m" + std::to_string(i) + ".dump");
  parse(args);
  EXPECT_EQ(nfiles, 32);
  EXPECT_STREQ(filenames[31], "m31.dump");
  EXPECT_EQ(count_occurrences(err, "read in\n"), 32);
  EXPECT_EQ(err.find("m32.dump"), std::string::npos);
}

TEST_F(ParseCommandLine, OutputFileIsCreatedEmpty) {
  testutil::ScratchDir dir;
  testutil::write_file(dir.file("out.txt"), "old contents");
  std::string path = dir.file("out.txt");
  parse({"hybfit", "-o", path, "a.dump"});
  ASSERT_NE(ofs, nullptr);
  EXPECT_NE(ofs, stdout);
  EXPECT_EQ(testutil::read_file(path), "");
}
