// A job touches only its own files. Staged as an attacker would: a print job
// whose PostScript goes after another job's files in the shared temporary
// directory, files planted by another user where the job writes its logs,
// directories other users can write into, a job that asks for more than a
// label printer can print, and line breaks in directory names. Each case
// shows what the job may not do and that it did not.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "diagnostics/debug_blocks.h"
#include "diagnostics/error_log.h"
#include "job_support.h"
#include "state/job_settings.h"

namespace {

mode_t modeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 07777;
}

// A PostScript job that tries, one after the other, to read, list, write,
// rename and delete files that are not its own. Every attempt that works
// prints a page of its own, so a job that could do none of it prints exactly
// one page, the label itself.
std::string hostileJob(const std::string& shared, const std::string& victimCapture) {
  const std::string victimPage = shared + "/vdqVICTIM/vdqVICTIM_1";
  std::string job =
      "%!PS\n%%BoundingBox: 0 0 288 144\n"
      "/attempt { mark exch stopped { cleartomark } { cleartomark showpage } ifelse } def\n"
      "/listed { /found false def { pop /found true def } 256 string filenameforall found { "
      "showpage } if } def\n";
  // A job may see its own capture file; a listing counts only when it shows
  // another's file.
  for (const std::string& readable :
       {shared + "/secret.txt", victimCapture, victimPage, std::string("/etc/passwd")})
    job += "{ (" + readable + ") (r) file 16 string readstring pop pop } attempt\n";
  for (const std::string& pattern :
       {shared + "/*secret*", shared + "/*VICTIM*", std::string("/tmp/*VICTIM*")})
    job += "(" + pattern + ") listed\n";
  job += "{ (" + shared + "/planted) (w) file (x) writestring } attempt\n";
  job += "{ (" + victimPage + ") (w) file (x) writestring } attempt\n";
  job += "{ (" + victimPage + ") (" + shared + "/stolen) renamefile } attempt\n";
  job += "{ (" + shared + "/secret.txt) deletefile } attempt\n";
  job += "{ (" + victimCapture + ") deletefile } attempt\n";
  job += "{ null (w) .tempfile pop pop } attempt\n";
  job += "0 0 moveto 100 100 lineto stroke showpage\n";
  return job;
}

TEST(JobIsolation, a_hostile_job_can_touch_no_file_but_its_own_page_images) {
  // The shared temporary directory as on a print server: sticky, open to
  // all, holding another job's directory and a capture file of another job.
  JobPlace place;
  ASSERT_EQ(chmod(place.work.path.c_str(), 01777), 0);
  const std::string shared = place.work.path;
  ASSERT_EQ(mkdir((shared + "/vdqVICTIM").c_str(), 0700), 0);
  writeFile(shared + "/vdqVICTIM/vdqVICTIM_1", "the other customer's label");
  writeFile(shared + "/secret.txt", "another user's file");
  const std::string victimCapture = place.capture.path + "/In_vdqVICTIM.ps";
  writeFile(victimCapture, "%!PS another customer's job");

  const ChildResult r = runChild(jobSpec(place, {}, hostileJob(shared, victimCapture), ""));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::vector<StreamPage> parsed;
  ASSERT_EQ(streamProblem(r.out, &parsed), "");
  EXPECT_EQ(parsed.size(), 1u) << "every page beyond the first is an attempt that worked";
  EXPECT_EQ(readFile(shared + "/vdqVICTIM/vdqVICTIM_1"), "the other customer's label");
  EXPECT_EQ(readFile(shared + "/secret.txt"), "another user's file");
  EXPECT_EQ(readFile(victimCapture), "%!PS another customer's job");
  EXPECT_EQ(listDir(shared), (std::vector<std::string>{"secret.txt", "vdqVICTIM"}));
  EXPECT_EQ(listDir(place.capture.path), std::vector<std::string>{"In_vdqVICTIM.ps"});
}

TEST(JobIsolation, page_images_live_in_a_directory_no_other_user_can_enter_whatever_the_umask) {
  JobPlace place;
  ASSERT_EQ(chmod(place.work.path.c_str(), 01777), 0);
  const mode_t oldMask = umask(022);
  const ChildResult r = runChild(jobSpec(place, {"-debug"}, postscriptJob(3), ""));
  umask(oldMask);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const std::string jobDir = jobDirIn(place.work.path);
  ASSERT_FALSE(jobDir.empty());
  EXPECT_EQ(modeOf(jobDir), 0700u);
  const std::vector<std::string> images = pageImagesIn(place.work.path);
  ASSERT_EQ(images.size(), 3u);
  for (const std::string& image : images) EXPECT_EQ(modeOf(image) & 077, 0u) << image;

  // Another user can neither read a page, plant one, nor list the directory.
  const int outcome = asNobody([&] {
    if (open(images[0].c_str(), O_RDONLY) >= 0 || errno != EACCES) return 1;
    if (open((jobDir + "/" + jobDir.substr(jobDir.rfind('/') + 1) + "_9").c_str(),
             O_WRONLY | O_CREAT, 0666) >= 0)
      return 2;
    if (opendir(jobDir.c_str()) != nullptr) return 3;
    return 0;
  });
  if (outcome == -1) VORMEL_CANNOT_RUN("needs root and the user nobody to try it as");
  EXPECT_EQ(outcome, 0);
}

TEST(JobIsolation, a_job_run_by_another_user_with_umask_022_keeps_its_pages_to_itself) {
  uid_t uid;
  gid_t gid;
  if (!nobodyUser(&uid, &gid) || geteuid() != 0)
    VORMEL_CANNOT_RUN("needs root and the user nobody to run a job as nobody");
  ScratchDir shared("vhshared");
  ASSERT_EQ(chmod(shared.path.c_str(), 01777), 0);
  ChildSpec runSpec;
  runSpec.program = vormelBin();
  runSpec.args = {"-debug", "-dir", shared.path};
  runSpec.input = postscriptJob(2);
  runSpec.env = {{"TMPDIR", shared.path}, {"PATH", pathFor("")}};
  runSpec.uid = uid;
  runSpec.gid = gid;
  const mode_t oldMask = umask(022);
  const ChildResult r = runChild(runSpec);
  umask(oldMask);
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const std::string jobDir = jobDirIn(shared.path);
  ASSERT_FALSE(jobDir.empty());
  struct stat st;
  ASSERT_EQ(lstat(jobDir.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, uid);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  const std::vector<std::string> images = pageImagesIn(shared.path);
  ASSERT_EQ(images.size(), 2u);
  for (const std::string& image : images) EXPECT_EQ(modeOf(image) & 077, 0u) << image;
  for (const std::string& name : listDir(shared.path)) {
    if (name.rfind("In_vdq", 0) == 0) {
      EXPECT_EQ(modeOf(shared.path + "/" + name), 0600u) << name;
    }
  }
}

// Files another user may plant where the job writes its error log or, in
// debug mode, reopens its capture file: none is written through, read or
// waited on.
TEST(JobIsolation, files_planted_at_a_log_name_are_never_written_through_or_waited_on) {
  ScratchDir dir("vhplant");
  ScratchDir elsewhere("vhvictim");
  const std::string victim = elsewhere.path + "/victim";
  struct Row {
    const char* claim;
    std::function<void(const std::string&)> plant;
  };
  const Row rows[] = {
      {"a link to another file",
       [&](const std::string& at) { ASSERT_EQ(symlink(victim.c_str(), at.c_str()), 0); }},
      {"a FIFO nobody reads",
       [](const std::string& at) { ASSERT_EQ(mkfifo(at.c_str(), 0666), 0); }},
      {"a directory", [](const std::string& at) { ASSERT_EQ(mkdir(at.c_str(), 0777), 0); }},
      {"another user's file open to all",
       [](const std::string& at) {
         writeFile(at, "");
         ASSERT_EQ(chmod(at.c_str(), 0666), 0);
         if (geteuid() == 0) {
           ASSERT_EQ(chown(at.c_str(), 65534, 65534), 0);
         }
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.claim);
    if (std::string(row.claim) == "another user's file open to all" && geteuid() != 0)
      continue;  // only root can make a file another user's
    setUpJobGlobals(dir.path);
    writeFile(victim, "precious");
    const std::string log = dir.path + "/err_vdqTEST.txt";
    row.plant(log);
    logMsg(true, "ERROR-1 ... unable to remove file [x]");
    // The debug blocks reopen the capture file by name.
    saveFname = log;
    writeCompletionBlock();
    EXPECT_EQ(readFile(victim), "precious");
    struct stat st;
    ASSERT_EQ(lstat(log.c_str(), &st), 0);
    if (S_ISREG(st.st_mode)) {
      EXPECT_EQ(st.st_size, 0) << "the planted file received the job's text";
    }
    removeTree(log);
    unlink(log.c_str());
  }
}

TEST(JobIsolation, a_job_asking_for_more_than_a_label_printer_prints_is_refused_before_gs_starts) {
  struct Row {
    const char* claim;
    std::string job;
    bool refused;
  };
  const Row rows[] = {
      {"99999 dpi", "%!PS\n<< /HWResolution [99999 99999] >> setpagedevice\nshowpage\n", true},
      {"601 dpi", "%!PS\n<< /HWResolution [601 601] >> setpagedevice\nshowpage\n", true},
      {"a page wider than 40 inches", "%!PS\n%%BoundingBox: 0 0 2881 432\nshowpage\n", true},
      {"a page longer than 40 inches", "%!PS\n%%BoundingBox: 0 0 288 99999\nshowpage\n", true},
      {"600 dpi and 40 inches are printed",
       "%!PS\n%%BoundingBox: 0 0 2880 2880\n<< /HWResolution [600 600] >>\n", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.claim);
    JobPlace place;
    ScratchDir meta("vhmeta");
    const ChildResult r =
        runChild(jobSpec(place, {}, row.job, stubGsDir(),
                         {{"STUB_GS_PAGES", "1"}, {"STUB_GS_ARGS", meta.path + "/args"}}));
    if (row.refused) {
      EXPECT_EQ(r.exitStatus, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find("nothing was printed"), std::string::npos) << r.err;
      EXPECT_FALSE(fileExists(meta.path + "/args")) << "gs was started";
    } else {
      EXPECT_EQ(r.exitStatus, 0) << r.err;
      EXPECT_TRUE(fileExists(meta.path + "/args"));
    }
    EXPECT_EQ(listDir(place.work.path), std::vector<std::string>{});
    EXPECT_EQ(listDir(place.capture.path), std::vector<std::string>{});
  }
}

TEST(JobIsolation, a_page_growing_past_the_disk_limit_stops_gs_and_fails_the_job) {
  // 40 by 40 inches at 600 dpi of bytes that PCX's run-length coding cannot
  // shorten: 89 MB as an image, past the 64 MiB a page image may take. The
  // page size is set by the job itself, where no scan of the job sees it.
  JobPlace place;
  const std::string job =
      "%!PS\n<< /HWResolution [600 600] >> setpagedevice\n"
      "/s 3001 string def 0 1 3000 { s exch dup 7919 mul 13 add 251 mod put } for\n"
      "<< /PageSize [2880 2880] >> setpagedevice 2880 2880 scale\n"
      "24000 24000 1 [24000 0 0 -24000 0 24000] { s } image showpage\n";
  const ChildResult r = runChild(jobSpec(place, {}, job, ""));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("ERROR: a page image grew past 64 MiB, so gs was stopped"),
            std::string::npos)
      << r.err;
  std::vector<StreamPage> parsed;
  ASSERT_EQ(streamProblem(r.out, &parsed), "");
  EXPECT_EQ(parsed.size(), 0u) << "a page cut short was sent";
  EXPECT_EQ(listDir(place.work.path), std::vector<std::string>{});
  EXPECT_EQ(listDir(place.capture.path), std::vector<std::string>{});
}

TEST(JobIsolation, line_breaks_in_directory_names_never_become_postscript) {
  // In debug mode the directories are written into the capture file, which
  // Ghostscript runs: a line break there would end the comment.
  ScratchDir root("vhnl");
  const std::string tmpdir = root.path + "/t\nquit";
  const std::string capdir = root.path + "/c\r(injected) print\fquit";
  ASSERT_EQ(mkdir(tmpdir.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(capdir.c_str(), 0700), 0);
  ChildSpec runSpec;
  runSpec.program = vormelBin();
  runSpec.args = {"-debug", "-dir", capdir};
  runSpec.input = postscriptJob(2);
  runSpec.env = {{"TMPDIR", tmpdir}, {"PATH", pathFor("")}};
  const ChildResult r = runChild(runSpec);
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  std::vector<StreamPage> parsed;
  ASSERT_EQ(streamProblem(r.out, &parsed), "");
  EXPECT_EQ(parsed.size(), 2u) << "a directory name ended the job";
  const std::vector<std::string> captures = listDir(capdir);
  ASSERT_EQ(captures.size(), 1u);
  const std::string capture = readFile(capdir + "/" + captures[0]);
  for (size_t at = 0; at < capture.size();) {
    const size_t end = capture.find('\n', at);
    const std::string line = capture.substr(at, end - at);
    EXPECT_NE(line, "quit");
    if (line.find("(injected) print") != std::string::npos) {
      EXPECT_EQ(line.rfind("% ", 0), 0u) << "not a comment: " << line;
    }
    if (end == std::string::npos) break;
    at = end + 1;
  }
}

TEST(JobIsolation, a_file_of_no_job_is_ever_removed) {
  // A fixed name in /tmp belongs to whoever made it, not to a print job.
  const std::string fixed = "/tmp/vdq_gs.log";
  const bool ours = !fileExists(fixed);
  if (ours) writeFile(fixed, "");
  JobPlace place;
  const ChildResult r =
      runChild(jobSpec(place, {}, postscriptJob(1), stubGsDir(), {{"STUB_GS_PAGES", "1"}}));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  EXPECT_TRUE(fileExists(fixed));
  if (ours) unlink(fixed.c_str());
}

}  // namespace
