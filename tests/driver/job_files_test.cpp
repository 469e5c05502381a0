// Job files: naming with and without TMPDIR, the capture directory choice,
// the header comment, and the safety of file creation (exclusive, mode 0600,
// never through a planted link, fresh names on a clash, the -dir probe that
// leaves existing files alone). In-process calls of makeJobFiles, plus runs
// of the program as the spooler starts it.
#include "driver/job_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "job_support.h"
#include "state/job_settings.h"

namespace {

// "vdq" followed by six letters or digits.
bool hasBaseNameForm(const std::string& name) {
  if (name.size() != 9 || name.compare(0, 3, "vdq") != 0) return false;
  for (size_t i = 3; i < name.size(); ++i)
    if (!isalnum(static_cast<unsigned char>(name[i]))) return false;
  return true;
}

mode_t permissions(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return 07777;
  return st.st_mode & 07777;
}

std::string linkTarget(const std::string& path) {
  char buffer[4096];
  const ssize_t n = readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? "" : std::string(buffer, static_cast<size_t>(n));
}

void setTmpdir(const char* value) {
  if (value == nullptr)
    unsetenv("TMPDIR");
  else
    setenv("TMPDIR", value, 1);
}

// Runs makeJobFiles as main would, with `dir` as the -dir value ("" for
// none), and closes the capture file so that it can be read.
int makeFiles(const std::string& dir, const std::vector<std::string>& args = {"vormel"},
              bool debug = false) {
  resetJobSettings();
  bDebug = debug;
  if (!dir.empty()) {
    EXPECT_LT(dir.size(), sizeof debugDirLoc);
    strcpy(debugDirLoc, dir.c_str());
  }
  std::vector<std::string> storage = args;
  std::vector<char*> argv;
  for (std::string& a : storage) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  const int result = makeJobFiles(static_cast<int>(storage.size()), argv.data());
  if (saveFile != nullptr) fclose(saveFile);
  saveFile = nullptr;
  return result;
}

class DriverJobFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmpdir = getenv("TMPDIR");
    hadTmpdir = tmpdir != nullptr;
    if (hadTmpdir) savedTmpdir = tmpdir;
    work = scratch.path + "/tmp";
    capture = scratch.path + "/capture";
    mkdir(work.c_str(), 0700);
    mkdir(capture.c_str(), 0700);
    setTmpdir(work.c_str());
  }
  void TearDown() override {
    removeJobFiles();
    setTmpdir(hadTmpdir ? savedTmpdir.c_str() : nullptr);
    baseNameSource = makeBaseName;
    resetJobSettings();
  }
  ScratchDir scratch{"vtfiles"};
  std::string work, capture, savedTmpdir;
  bool hadTmpdir = false;
};

TEST_F(DriverJobFiles, names_follow_tmpdir_and_the_capture_directory) {
  ASSERT_EQ(makeFiles(capture), 0);
  const std::string base = baseName();
  EXPECT_TRUE(hasBaseNameForm(base)) << base;
  EXPECT_EQ(tmpDirLoc, work);
  EXPECT_EQ(dirLoc, work + "/" + base);
  EXPECT_EQ(pTmpFname, work + "/" + base + "/" + base);
  EXPECT_EQ(saveFname, capture + "/In_" + base + ".ps");
  EXPECT_EQ(listDir(work), std::vector<std::string>{base});
  EXPECT_EQ(permissions(dirLoc), 0700u);
  EXPECT_EQ(listDir(dirLoc), std::vector<std::string>{base + "_1"});
  EXPECT_EQ(readFile(pTmpFname + "_1"), "");
  EXPECT_EQ(listDir(capture), std::vector<std::string>{"In_" + base + ".ps"});
}

TEST_F(DriverJobFiles, temporary_directory_falls_back_to_tmp_unless_tmpdir_is_usable_and_safe) {
  const std::string file = scratch.path + "/plain-file";
  writeFile(file, "x");
  const std::string slashed = work + "//";
  // Directories other users could swap the job's files in: writable by all
  // without the sticky bit, owned by another user, or below such a one.
  const std::string open = scratch.path + "/open";
  const std::string sticky = scratch.path + "/sticky";
  const std::string foreign = scratch.path + "/foreign";
  const std::string below = open + "/below";
  for (const std::string& dir : {open, sticky, foreign, below})
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
  // Only root can give a directory away; as another user, theirs is not
  // at hand.
  const bool foreignMade = chown(foreign.c_str(), 65534, static_cast<gid_t>(-1)) == 0;
  struct Row {
    const char* claim;
    const char* tmpdir;
    std::string expectedDir;
  };
  const Row rows[] = {
      {"unset TMPDIR gives /tmp", nullptr, "/tmp"},
      {"empty TMPDIR gives /tmp", "", "/tmp"},
      {"missing directory gives /tmp", "/nonexistent-vormel-dir", "/tmp"},
      {"a plain file gives /tmp", file.c_str(), "/tmp"},
      {"trailing slashes are dropped", slashed.c_str(), work},
      {"writable by all without the sticky bit gives /tmp", open.c_str(), "/tmp"},
      {"writable by all with the sticky bit is used", sticky.c_str(), sticky},
      {"below a directory writable by all gives /tmp", below.c_str(), "/tmp"},
      {"another user's directory gives /tmp", foreignMade ? foreign.c_str() : nullptr, "/tmp"},
  };
  for (const Row& row : rows) {
    setTmpdir(row.tmpdir);
    ASSERT_EQ(makeFiles(capture), 0) << row.claim;
    EXPECT_EQ(tmpDirLoc, row.expectedDir) << row.claim;
    EXPECT_EQ(pTmpFname, row.expectedDir + "/" + baseName() + "/" + baseName()) << row.claim;
    EXPECT_EQ(permissions(pTmpFname + "_1"), 0600u) << row.claim;
    removeJobFiles();
  }
}

TEST_F(DriverJobFiles, unwritable_tmpdir_is_not_used) {
  const std::string locked = scratch.path + "/locked";
  ASSERT_EQ(mkdir(locked.c_str(), 0500), 0);
  setTmpdir(locked.c_str());
  if (geteuid() != 0) {
    ASSERT_EQ(makeFiles(capture), 0);
    EXPECT_EQ(tmpDirLoc, "/tmp");
    return;
  }
  // Root may write anywhere: the job is made by a child running as nobody,
  // to whom root's directory (entered, not written) is closed.
  ASSERT_EQ(chmod(scratch.path.c_str(), 0755), 0);
  const int outcome = asNobody([] {
    const int made = makeFiles("");
    const bool fellBack = tmpDirLoc == "/tmp";
    removeJobFiles();
    return made != 0 ? 1 : fellBack ? 0 : 2;
  });
  if (outcome == -1) VORMEL_CANNOT_RUN("no user nobody to make the job as");
  EXPECT_EQ(outcome, 0) << "1: makeJobFiles failed, 2: another directory than /tmp was used";
}

TEST_F(DriverJobFiles, job_files_are_created_with_mode_0600_whatever_the_umask) {
  const mode_t old = umask(0);
  const int result = makeFiles(capture);
  umask(old);
  ASSERT_EQ(result, 0);
  EXPECT_EQ(permissions(dirLoc), 0700u);
  EXPECT_EQ(permissions(pTmpFname + "_1"), 0600u);
  EXPECT_EQ(permissions(saveFname), 0600u);
}

TEST_F(DriverJobFiles, header_lists_argument_0_first_and_leaves_the_line_open) {
  struct Row {
    std::vector<std::string> args;
    std::string header;
  };
  const Row rows[] = {
      {{"/usr/lib/cups/filter/vormel"}, "% \n%  /usr/lib/cups/filter/vormel"},
      {{"vormel", "-gap", "two words", ""}, "% \n%  vormel -gap two words "},
      // A line break would end the comment and run the rest as PostScript.
      {{"vormel", "t\n(x) show\r\fquit"}, "% \n%  vormel t (x) show  quit"},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(makeFiles(capture, row.args), 0);
    const std::string got = readFile(saveFname);
    EXPECT_EQ(describeDifference(row.header, got), "");
    removeJobFiles();
  }
}

TEST_F(DriverJobFiles, debug_mode_ends_the_header_line_with_the_directory_block) {
  ASSERT_EQ(makeFiles(capture, {"vormel", "-debug"}, true), 0);
  const std::string header = "% \n%  vormel -debug";
  const std::string got = readFile(saveFname);
  ASSERT_GT(got.size(), header.size());
  EXPECT_EQ(got.substr(0, header.size() + 1), header + "\n");
  EXPECT_NE(got.find("% ImageFileDirLoc=[" + work + "/" + baseName() + "]"), std::string::npos)
      << got;
}

TEST_F(DriverJobFiles, capture_directory_is_chosen_from_dir_or_the_fallbacks) {
  const std::string file = scratch.path + "/plain-file";
  writeFile(file, "x");
  // A directory path of exactly 254 characters still fits.
  std::string deep = scratch.path + "/";
  deep += std::string(kDebugDirSize - 1 - deep.size(), 'f');
  ASSERT_EQ(deep.size(), static_cast<size_t>(kDebugDirSize - 1));
  ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  const std::string open = scratch.path + "/open";
  ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
  ASSERT_EQ(chmod(open.c_str(), 0777), 0);
  struct Row {
    const char* claim;
    std::string dir;
    std::string expected;
  };
  const Row rows[] = {
      {"writable -dir is used", capture, capture},
      {"254-character -dir is used", deep, deep},
      {"missing -dir falls back to /tmp", scratch.path + "/missing", "/tmp"},
      {"a plain file as -dir falls back to /tmp", file, "/tmp"},
      {"-dir writable by all without the sticky bit falls back to /tmp", scratch.path + "/open",
       "/tmp"},
      {"no -dir gives /tmp", "", "/tmp"},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(makeFiles(row.dir), 0) << row.claim;
    EXPECT_STREQ(debugDirLoc, row.expected.c_str()) << row.claim;
    EXPECT_EQ(saveFname, row.expected + "/In_" + baseName() + ".ps") << row.claim;
    EXPECT_TRUE(fileExists(saveFname)) << row.claim;
    removeJobFiles();
  }
}

TEST_F(DriverJobFiles, dir_probe_leaves_an_existing_testfile_alone) {
  writeFile(capture + "/testfile.txt", "the user's own file\n");
  ASSERT_EQ(makeFiles(capture), 0);
  EXPECT_EQ(readFile(capture + "/testfile.txt"), "the user's own file\n");
  // Nothing but the user's file and the capture file: the probe is gone.
  EXPECT_EQ(listDir(capture),
            (std::vector<std::string>{"In_" + baseName() + ".ps", "testfile.txt"}));
}

// Base names handed out in order, to plant files where makeJobFiles looks.
std::vector<std::string> scriptedNames;
size_t scriptedNext = 0;
std::string scriptedBaseName() {
  return scriptedNames[scriptedNext < scriptedNames.size() ? scriptedNext++
                                                           : scriptedNames.size() - 1];
}

TEST_F(DriverJobFiles, planted_links_are_never_followed_and_a_fresh_name_is_taken) {
  const std::string target = scratch.path + "/victim.txt";
  writeFile(target, "precious");
  const std::string absent = scratch.path + "/would-be-created";
  // The first name's capture path is a link to an existing file, the second
  // name's job directory a dangling link; the third name is free.
  ASSERT_EQ(symlink(target.c_str(), (capture + "/In_vdqAAAAAA.ps").c_str()), 0);
  ASSERT_EQ(symlink(absent.c_str(), (work + "/vdqBBBBBB").c_str()), 0);
  scriptedNames = {"vdqAAAAAA", "vdqBBBBBB", "vdqCCCCCC"};
  scriptedNext = 0;
  baseNameSource = scriptedBaseName;

  ASSERT_EQ(makeFiles(capture, {"vormel", "secret"}), 0);
  EXPECT_EQ(pTmpFname, work + "/vdqCCCCCC/vdqCCCCCC");
  EXPECT_EQ(saveFname, capture + "/In_vdqCCCCCC.ps");
  EXPECT_EQ(readFile(target), "precious");
  EXPECT_FALSE(fileExists(absent));
  EXPECT_EQ(linkTarget(capture + "/In_vdqAAAAAA.ps"), target);
  EXPECT_EQ(linkTarget(work + "/vdqBBBBBB"), absent);
  // The job directory made for the first name was taken back with it.
  EXPECT_EQ(listDir(work), (std::vector<std::string>{"vdqBBBBBB", "vdqCCCCCC"}));
  EXPECT_EQ(readFile(saveFname), "% \n%  vormel secret");
}

TEST_F(DriverJobFiles, existing_capture_file_is_not_truncated) {
  writeFile(capture + "/In_vdqAAAAAA.ps", "another job");
  scriptedNames = {"vdqAAAAAA", "vdqDDDDDD"};
  scriptedNext = 0;
  baseNameSource = scriptedBaseName;
  ASSERT_EQ(makeFiles(capture), 0);
  EXPECT_EQ(baseName(), "vdqDDDDDD");
  EXPECT_EQ(readFile(capture + "/In_vdqAAAAAA.ps"), "another job");
}

TEST_F(DriverJobFiles, no_free_name_at_all_is_reported) {
  writeFile(work + "/vdqAAAAAA", "");
  scriptedNames = {"vdqAAAAAA"};
  scriptedNext = 0;
  baseNameSource = scriptedBaseName;
  EXPECT_NE(makeFiles(capture), 0);
  EXPECT_EQ(listDir(capture), std::vector<std::string>{});
  dirLoc.clear();  // nothing of ours to remove
  saveFname.clear();
}

TEST(DriverJobFileNames, base_names_differ_and_keep_their_form) {
  const std::string a = makeBaseName();
  const std::string b = makeBaseName();
  EXPECT_NE(a, b);
  EXPECT_TRUE(hasBaseNameForm(a)) << a;
}

// The program as the spooler runs it, in raw mode so that no rendering
// happens (in debug mode the job files stay for inspection).
struct ProgramRun {
  ChildResult result;
  std::string base;  // from the job directory left in TMPDIR
};

ProgramRun runRaw(const std::string& tmpdir, const std::vector<std::string>& args,
                  const std::string& input) {
  ChildSpec runSpec;
  runSpec.program = VORMEL_BIN;
  runSpec.args = args;
  runSpec.input = input;
  runSpec.env = {{"TMPDIR", tmpdir}, {"PATH", pathWithoutGs()}};
  ProgramRun run;
  run.result = runChild(runSpec);
  const std::string jobDir = jobDirIn(tmpdir);
  if (!jobDir.empty()) run.base = jobDir.substr(jobDir.rfind('/') + 1);
  return run;
}

TEST(DriverJobFilesProgram, too_long_dir_falls_back_to_tmp) {
  ScratchDir scratch("vtlong");
  // A real, writable directory whose path has 300 characters: only its
  // length can make it unusable.
  std::string longDir = scratch.path + "/" + std::string(150, 'a');
  ASSERT_EQ(mkdir(longDir.c_str(), 0700), 0);
  longDir += "/" + std::string(300 - longDir.size() - 1, 'b');
  ASSERT_EQ(longDir.size(), 300u);
  ASSERT_EQ(mkdir(longDir.c_str(), 0700), 0);
  const std::string work = scratch.path + "/work";
  mkdir(work.c_str(), 0700);

  const ProgramRun run = runRaw(work, {"-raw", "-debug", "-dir", longDir}, "%!PS\n");
  ASSERT_EQ(run.result.exitStatus, 0) << run.result.err;
  ASSERT_FALSE(run.base.empty());
  const std::string captured = "/tmp/In_" + run.base + ".ps";
  const std::string got = readFile(captured);
  EXPECT_EQ(got.substr(0, got.find('\n', 3)), "% \n%  " VORMEL_BIN " -raw -debug -dir " + longDir);
  removeTree(work + "/" + run.base);
  EXPECT_EQ(listDir(longDir), std::vector<std::string>{});
  unlink(captured.c_str());
}

TEST(DriverJobFilesProgram, debug_raw_run_keeps_its_files_private_and_spares_testfile) {
  ScratchDir scratch("vtleft");
  const std::string work = scratch.path + "/work";
  const std::string capture = scratch.path + "/capture";
  mkdir(work.c_str(), 0700);
  mkdir(capture.c_str(), 0755);
  writeFile(capture + "/testfile.txt", "keep me");

  const ProgramRun run = runRaw(work, {"-raw", "-debug", "-dir", capture}, "A\n");
  ASSERT_EQ(run.result.exitStatus, 0) << run.result.err;
  EXPECT_EQ(listDir(work), std::vector<std::string>{run.base});
  EXPECT_EQ(listDir(work + "/" + run.base), std::vector<std::string>{run.base + "_1"});
  EXPECT_EQ(listDir(capture), (std::vector<std::string>{"In_" + run.base + ".ps", "testfile.txt"}));
  EXPECT_EQ(readFile(capture + "/testfile.txt"), "keep me");
  EXPECT_EQ(permissions(work + "/" + run.base), 0700u);
  EXPECT_EQ(permissions(work + "/" + run.base + "/" + run.base + "_1"), 0600u);
  EXPECT_EQ(permissions(capture + "/In_" + run.base + ".ps"), 0600u);
}

TEST(DriverJobFilesProgram, raw_run_leaves_no_file_of_the_job_behind) {
  ScratchDir scratch("vtrawleft");
  const std::string work = scratch.path + "/work";
  const std::string capture = scratch.path + "/capture";
  mkdir(work.c_str(), 0700);
  mkdir(capture.c_str(), 0700);
  const ProgramRun run = runRaw(work, {"-raw", "-dir", capture}, "A\n");
  ASSERT_EQ(run.result.exitStatus, 0) << run.result.err;
  EXPECT_EQ(run.result.out, "A\r\n\n");
  EXPECT_EQ(listDir(work), std::vector<std::string>{});
  EXPECT_EQ(listDir(capture), std::vector<std::string>{});
}

}  // namespace
