// Rendering and diagnostics in-process: the render command text and the
// argument vector it names, gs's status as a shell would report it, page
// counting by prefix, the error log and the debug blocks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "diagnostics/debug_blocks.h"
#include "diagnostics/error_log.h"
#include "driver/render.h"
#include "job_support.h"
#include "state/job_settings.h"

namespace {

class Render : public ::testing::Test {
 protected:
  void SetUp() override {
    setUpJobGlobals(dir.path);
    const char* path = getenv("PATH");
    savedPath = path != nullptr ? path : "";
  }
  void TearDown() override {
    setenv("PATH", savedPath.c_str(), 1);
    for (const char* name : {"STUB_GS_ARGS", "STUB_GS_EXIT", "STUB_GS_KILL"}) unsetenv(name);
  }
  ScratchDir dir;
  std::string savedPath;
};

TEST_F(Render, command_text_takes_resolution_and_orientation_from_the_job) {
  struct Row {
    int32_t rotate, res;
    const char* pieces;
  } rows[] = {
      {-1, 300, "-r300 -sOutputFile=\"P_%d\" -c \"<< /Orientation 0 >> setpagedevice\""},
      {0, 203, "-r203 -sOutputFile=\"P_%d\" -c \"<< /Orientation 0 >> setpagedevice\""},
      {90, 600, "-r600 -sOutputFile=\"P_%d\" -c \"<< /Orientation 1 >> setpagedevice\""},
      {180, 300, "-r300 -sOutputFile=\"P_%d\" -c \"<< /Orientation 2 >> setpagedevice\""},
      {270, 300, "-r300 -sOutputFile=\"P_%d\" -c \"<< /Orientation 3 >> setpagedevice\""},
      {45, 300, "-r300 -sOutputFile=\"P_%d\" -c \"<< /Orientation 0 >> setpagedevice\""},
      {-90, 300, "-r300 -sOutputFile=\"P_%d\" -c \"<< /Orientation 0 >> setpagedevice\""},
  };
  for (const Row& row : rows) {
    rotateimage = row.rotate;
    xRes = row.res;
    std::string pieces = row.pieces;
    pieces.replace(pieces.find('P'), 1, pTmpFname);
    const std::string command = buildRenderCommand();
    EXPECT_EQ(
        "gs -q -dSAFER -sBandListStorage=memory -sDEVICE=pcxmono -dNOPAUSE -dBATCH -dEPSCrop " +
            pieces + " -f\"" + saveFname + "\" 2>/dev/null",
        command);
    // Everything but the paths and the resolution piece: 159 characters.
    const size_t resolutionPiece = std::to_string(row.res).size() + 3;  // "-r%d "
    EXPECT_EQ(159u, command.size() - pTmpFname.size() - saveFname.size() - resolutionPiece);
  }
}

TEST_F(Render, arguments_are_the_words_a_shell_would_make_of_the_command_text) {
  // With paths a shell leaves alone, the shell's own word splitting of the
  // command text must give exactly the vector gs is started with.
  xRes = 203;
  rotateimage = 90;
  ChildSpec shell;
  shell.program = "/bin/sh";
  std::string command = buildRenderCommand();
  shell.args = {"-c", "printf '%s\\n' " + command};
  const ChildResult split = runChild(shell);
  ASSERT_EQ(0, split.exitStatus);
  std::string joined;
  for (const std::string& arg : buildRenderArguments()) joined += arg + "\n";
  EXPECT_EQ(split.out, joined);
}

// Renders the whole job, then returns gs's status.
int renderJob() { return finishRender(startRender()); }

TEST_F(Render, status_is_reported_as_a_shell_would) {
  const std::string argsFile = dir.path + "/args";
  setenv("STUB_GS_ARGS", argsFile.c_str(), 1);
  setenv("PATH", stubPath().c_str(), 1);
  EXPECT_EQ(0, renderJob());
  std::string joined;
  for (const std::string& arg : buildRenderArguments()) joined += arg + "\n";
  EXPECT_EQ(joined.substr(3), readFile(argsFile));  // the stub does not list argument 0

  setenv("STUB_GS_EXIT", "3", 1);
  EXPECT_EQ(3 * 256, renderJob());
  unsetenv("STUB_GS_EXIT");
  setenv("STUB_GS_KILL", "15", 1);
  EXPECT_EQ((128 + 15) * 256, renderJob());
  setenv("PATH", pathWithoutGs().c_str(), 1);
  EXPECT_EQ(127 * 256, renderJob());
}

TEST_F(Render, debug_blocks_show_the_command_text_and_its_status) {
  bDebug = true;
  setenv("PATH", pathWithoutGs().c_str(), 1);
  writeFile(saveFname, "% job\n");
  EXPECT_EQ(127 * 256, renderJob());
  EXPECT_EQ("% job\n% \n% tmpDir=[" + pTmpFname + "_1]\n% \n% gsCmd=[" + buildRenderCommand() +
                "]\n% \n% \n% gsCmd RC=[32512]\n% \n",
            readFile(saveFname));
}

TEST_F(Render, pages_are_counted_by_the_base_name_prefix) {
  for (const char* name : {"vdqTEST_1", "vdqTEST_2", "vdqTEST_10", "vdqTEST", "xvdqTEST_3",
                           "err_vdqTEST.txt", "log_vdqTEST.txt", "In_vdqTEST.ps", "vdqTES_4"})
    writeFile(dir.path + "/" + name, "");
  mkdir((dir.path + "/vdqTESTdir").c_str(), 0700);
  EXPECT_EQ(5, searchDir(dir.path, "vdqTEST"));
  EXPECT_EQ(0, searchDir(dir.path + "/missing", "vdqTEST"));
}

TEST_F(Render, error_log_lines_are_time_stamped_and_appended_in_call_order) {
  const std::string stamp = getTime();
  EXPECT_TRUE(isTimeStamp(stamp)) << stamp;
  logMsg(true, "first");
  logMsg(true, "second [x]");
  logMsg(false, "general");
  const std::string log = readFile(dir.path + "/err_vdqTEST.txt");
  ASSERT_EQ(2 * 19u + 7 + 12, log.size()) << log;
  EXPECT_TRUE(isTimeStamp(log.substr(0, 19)));
  EXPECT_EQ(" first\n", log.substr(19, 7));
  EXPECT_TRUE(isTimeStamp(log.substr(26, 19)));
  EXPECT_EQ(" second [x]\n", log.substr(45));
  EXPECT_EQ(" general\n", readFile(dir.path + "/log_vdqTEST.txt").substr(19));

  // A work directory that is gone loses the line and nothing else happens.
  dirLoc = dir.path + "/gone";
  logMsg(true, "lost");
  EXPECT_FALSE(fileExists(dirLoc));
}

TEST_F(Render, directory_block_ends_the_header_line_and_names_the_files) {
  strcpy(debugDirLoc, "/cap");
  saveFile = fopen(saveFname.c_str(), "w");
  ASSERT_NE(nullptr, saveFile);
  fputs("% \n%  prog -debug", saveFile);
  writeDirectoryBlock();
  fclose(saveFile);
  saveFile = nullptr;
  EXPECT_EQ("% \n%  prog -debug\n% \n% ImageFileDirLoc=[" + dir.path +
                "]\n% debugDirLoc=[/cap]\n% ImageFileName=[/vdqTEST_1]\n\n% \n",
            readFile(saveFname));
  // A capture file that cannot be reopened loses later blocks silently.
  saveFname = dir.path + "/gone/In.ps";
  writeCompletionBlock();
  EXPECT_FALSE(fileExists(saveFname));
}

}  // namespace

namespace {

TEST_F(Render, log_and_debug_blocks_never_write_through_a_planted_link) {
  // Another user's file, and links to it where the error log and the capture
  // file of this run will be appended to.
  const std::string victim = dir.path + "/victim.txt";
  writeFile(victim, "untouched");
  ASSERT_EQ(0, symlink(victim.c_str(), (dir.path + "/err_vdqTEST.txt").c_str()));
  saveFname = dir.path + "/In_link.ps";
  ASSERT_EQ(0, symlink(victim.c_str(), saveFname.c_str()));

  logMsg(true, "ERROR-1 ... unable to remove file [x]");
  writeReturnCodeBlock(0);
  EXPECT_EQ("untouched", readFile(victim));
}

}  // namespace
