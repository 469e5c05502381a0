// Faults around a job: gs missing, failing, killed or writing cut-short pages;
// work and capture directories unwritable or full; the printer connection
// closed or dropped. Each case states the exit status, what standard output
// holds (nothing, or a whole stream ending with the trailer) and which files
// remain afterwards.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "job_support.h"

namespace {

const std::string kJob = postscriptJob(1);

// Files left in a job's directories.
std::vector<std::string> leftIn(const JobPlace& place) {
  std::vector<std::string> left;
  for (const std::string& name : listDir(place.work.path))
    left.push_back("work/" + name);
  for (const std::string& name : listDir(place.capture.path))
    left.push_back("capture/" + name);
  return left;
}

std::string pageOf(int n, size_t size) {
  std::string page;
  while (page.size() < size)
    page += "page " + std::to_string(n) + "\n";
  return page.substr(0, size);
}

TEST(FaultGs, missing_gs_renders_no_page_and_sends_no_printer_command) {
  JobPlace place;
  const ChildResult r = runChild(jobSpec(place, {}, kJob, "", {{"PATH", pathWithoutGs()}}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, "ERROR: gs could not be started; nothing was printed\n");
  EXPECT_EQ(r.out.rfind("Unable to find image file: ", 0), 0u) << r.out;
  EXPECT_EQ(r.out.find('\r'), std::string::npos) << "a printer command was sent";
  EXPECT_EQ(leftIn(place), std::vector<std::string>{});
}

TEST(FaultGs, gs_exiting_non_zero_still_sends_every_page_it_wrote_and_fails) {
  JobPlace place;
  const ChildResult r = runChild(
      jobSpec(place, {}, kJob, faultGsDir(), {{"FAULT_GS_PAGES", "2"}, {"FAULT_GS_EXIT", "3"}}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("ERROR: gs failed with exit status 3"), std::string::npos) << r.err;
  ASSERT_EQ(streamProblem(r.out), "");
  EXPECT_EQ(streamPages(r.out), (std::vector<std::string>{pageOf(1, 5000), pageOf(2, 5000)}));
  EXPECT_EQ(leftIn(place), std::vector<std::string>{});
}

TEST(FaultGs, gs_killed_while_writing_page_3_of_5_sends_the_pages_before_and_fails) {
  JobPlace place;
  const ChildResult r = runChild(jobSpec(place, {}, kJob, faultGsDir(),
                                         {{"FAULT_GS_PAGES", "5"}, {"FAULT_GS_DIE_AT", "3"}}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("gs failed with exit status 137"), std::string::npos) << r.err;
  ASSERT_EQ(streamProblem(r.out), "");
  // Pages 1 and 2 whole; what gs left of page 3 (half of it) may follow as it
  // stands, but no page 4 or 5 appears from nowhere.
  const std::vector<std::string> pages = streamPages(r.out);
  ASSERT_GE(pages.size(), 2u);
  ASSERT_LE(pages.size(), 3u);
  EXPECT_EQ(pages[0], pageOf(1, 5000));
  EXPECT_EQ(pages[1], pageOf(2, 5000));
  if (pages.size() == 3) {
    EXPECT_EQ(pages[2], pageOf(3, 2500));
  }
  EXPECT_EQ(leftIn(place), std::vector<std::string>{});
}

TEST(FaultGs, cut_short_page_is_sent_exactly_as_gs_left_it) {
  // Page images are sent byte for byte, never parsed: a short image from a gs
  // that reports success goes out as it is, the pages around it intact.
  JobPlace place;
  const ChildResult r = runChild(jobSpec(place, {}, kJob, faultGsDir(),
                                         {{"FAULT_GS_PAGES", "3"}, {"FAULT_GS_SHORT", "2"}}));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  ASSERT_EQ(streamProblem(r.out), "");
  EXPECT_EQ(streamPages(r.out),
            (std::vector<std::string>{pageOf(1, 5000), pageOf(2, 2500), pageOf(3, 5000)}));
  EXPECT_EQ(leftIn(place), std::vector<std::string>{});
}

// A small tmpfs mounted at `dir`, unmounted on destruction.
struct SmallFs {
  SmallFs(const std::string& dir, const std::string& size) : dir(dir) {
    mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0700").c_str()) == 0;
  }
  ~SmallFs() {
    if (mounted) umount2(dir.c_str(), MNT_DETACH);
  }
  std::string dir;
  bool mounted = false;
};

TEST(FaultDirectories, full_work_directory_fails_the_render_and_leaves_nothing) {
  JobPlace place;
  SmallFs fs(place.work.path, "64k");
  if (!fs.mounted)
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root and mount rights)";
  // Pages of 40000 bytes: the first fits, the second fills the directory.
  // Render-first order, so that every page is on disk at once; sent pages
  // streamed out early would free the space the second page needs.
  const ChildResult r = runChild(jobSpec(place, {}, kJob, faultGsDir(),
                                         {{"FAULT_GS_PAGES", "3"}, {"FAULT_GS_SIZE", "40000"},
                                          {"VORMEL_SEQUENTIAL", "1"}}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("ERROR: gs failed with exit status 1"), std::string::npos) << r.err;
  ASSERT_EQ(streamProblem(r.out), "");
  const std::vector<std::string> pages = streamPages(r.out);
  ASSERT_GE(pages.size(), 1u) << r.out.size();

  EXPECT_EQ(pages[0], pageOf(1, 40000));
  EXPECT_EQ(leftIn(place), std::vector<std::string>{});
}

TEST(FaultDirectories, full_work_directory_with_real_gs_fails_and_leaves_nothing) {
  JobPlace place;
  SmallFs fs(place.work.path, "16k");
  if (!fs.mounted)
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root and mount rights)";
  // Render-first order: streamed pages, sent and removed early, could free
  // the room the later pages need.
  const ChildResult r =
      runChild(jobSpec(place, {}, postscriptJob(3), "", {{"VORMEL_SEQUENTIAL", "1"}}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("ERROR: gs failed"), std::string::npos) << r.err;
  EXPECT_EQ(streamProblem(r.out), "");
  EXPECT_EQ(leftIn(place), std::vector<std::string>{});
}

// The capture directory fills up while the job is copied: gs would render a
// cut-off job, so the run must not end as a printed job (status 0), and the
// cut-off capture file must not stay.
TEST(FaultDirectories, full_capture_directory_does_not_pass_for_a_printed_job) {
  JobPlace place;
  SmallFs fs(place.capture.path, "64k");
  if (!fs.mounted)
    GTEST_SKIP() << "cannot mount a tmpfs here (needs root and mount rights)";
  std::string job = postscriptJob(1);
  job.insert(job.find("%%Page:"), std::string(300000, '%') + "\n");
  const ChildResult r = runChild(jobSpec(place, {}, job, ""));
  EXPECT_NE(r.exitStatus, 0);
  EXPECT_NE(r.err.find("ERROR: "), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty() || streamProblem(r.out).empty());
  EXPECT_EQ(leftIn(place), std::vector<std::string>{});
}

// Runs a job as "nobody" with `tmpdir` as TMPDIR and `captureDir` as -dir;
// returns the result and the entries of /tmp that user left behind.
struct NobodyRun {
  ChildResult result;
  std::vector<std::string> leftInTmp;
};

std::vector<std::string> tmpEntriesOwnedBy(uid_t uid) {
  std::vector<std::string> names;
  for (const std::string& name : listDir("/tmp")) {
    struct stat info;
    if (lstat(("/tmp/" + name).c_str(), &info) == 0 && info.st_uid == uid)
      names.push_back(name);
  }
  return names;
}

NobodyRun runAsNobody(uid_t uid, gid_t gid, const std::string& tmpdir, const std::string& captureDir) {
  NobodyRun run;
  const std::vector<std::string> before = tmpEntriesOwnedBy(uid);
  ChildSpec runSpec;
  runSpec.program = vormelBin();
  runSpec.argv0 = "vormel";
  runSpec.args = {"-dir", captureDir, "-gap"};
  runSpec.input = kJob;
  runSpec.env = {{"TMPDIR", tmpdir}, {"PATH", pathFor(stubGsDir())}, {"STUB_GS_PAGES", "2"}};
  runSpec.uid = uid;
  runSpec.gid = gid;
  run.result = runChild(runSpec);
  for (const std::string& name : tmpEntriesOwnedBy(uid))
    if (std::find(before.begin(), before.end(), name) == before.end())
      run.leftInTmp.push_back(name);
  return run;
}

TEST(FaultDirectories, unwritable_work_and_capture_directories_fall_back_to_tmp) {
  uid_t uid;
  gid_t gid;
  if (!nobodyUser(&uid, &gid))
    GTEST_SKIP() << "no user nobody to run the job as";
  if (access(vormelBin().c_str(), X_OK) != 0)
    GTEST_SKIP() << "the program is not reachable";
  // Directories nobody may read and enter but not write.
  ScratchDir locked("vhl");
  chmod(locked.path.c_str(), 0755);
  const NobodyRun run = runAsNobody(uid, gid, locked.path, locked.path);
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
  ParsedStream parsed;
  ASSERT_EQ(streamProblem(run.result.out, &parsed), "");
  EXPECT_EQ(parsed.pages.size(), 2u);
  EXPECT_EQ(listDir(locked.path), std::vector<std::string>{});
  // Everything went to /tmp instead, and was removed from there.
  EXPECT_EQ(run.leftInTmp, std::vector<std::string>{});
}

TEST(FaultPrinter, closed_standard_output_fails_the_job_and_leaves_no_file_behind) {
  JobPlace place;
  ChildSpec runSpec = jobSpec(place, {}, kJob, stubGsDir(), {{"STUB_GS_PAGES", "3"}});
  runSpec.output = Output::Closed;
  const ChildResult r = runChild(runSpec);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("ERROR: writing to the printer failed"), std::string::npos) << r.err;
  // No page reached the printer; the spooler sends the whole job again, so
  // no image of it stays (it would only hold the customer's label on disk).
  EXPECT_EQ(leftIn(place), std::vector<std::string>{});
}

TEST(FaultPrinter, reader_gone_after_the_first_bytes_fails_the_job_without_a_signal_death) {
  for (size_t after : {size_t{1}, size_t{200}, size_t{70000}}) {
    SCOPED_TRACE(after);
    JobPlace place;
    const std::string image = imageBytes(1, 100000, 5);
    ScratchDir source("vhs");
    writeFile(source.path + "/page", image);
    ChildSpec runSpec = jobSpec(place, {}, kJob, stubGsDir(),
                             {{"STUB_GS_PAGES", "2"}, {"STUB_GS_SOURCE", source.path + "/page"}});
    runSpec.output = Output::ReaderQuits;
    runSpec.readerQuitsAfter = after;
    const ChildResult r = runChild(runSpec);
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_NE(r.err.find("ERROR: writing to the printer failed (Broken pipe)"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.size(), after);
    EXPECT_EQ(leftIn(place), std::vector<std::string>{});
  }
}

}  // namespace
