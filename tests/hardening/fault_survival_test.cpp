// Faults around a job, one table per family: gs missing, failing, killed or
// writing cut-short pages; work and capture directories unwritable or full;
// the printer connection closed or dropped. Each row states the exit status,
// the standard error, what standard output holds (nothing, or a whole stream
// ending with the trailer) and which files remain afterwards.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "job_support.h"

namespace {

const std::string kJob = postscriptJob(1);
// The job of the golden stream: no bounding box, so the default label size.
const std::string kPlainJob = "%!PS-Adobe-3.0\n%%Pages: 1\nshowpage\n";
const std::string kGolden =
    readFile(std::string(VORMEL_SOURCE_DIR) + "/tests/job/golden/no_options.prn");

struct GsFaultRow {
  const char* claim;
  Env env;     // the stub's knobs, or a PATH without gs
  bool debug;  // debug mode: the capture file stays and tells the gs status
  int exitStatus;
  std::string err;                 // standard error, whole
  std::vector<std::string> pages;  // pages sent, byte for byte
  std::string lastPage;            // a page that may follow them (what gs left of the next)
  bool printerCommands;            // false: no printer command at all, only the message
  std::string captureRc;           // debug mode: the status line of gs in the capture file
};

const GsFaultRow kGsFaults[] = {
    {"missing gs renders no page and sends no printer command",
     {{"PATH", pathWithoutGs()}},
     false,
     1,
     "ERROR: gs could not be started; nothing was printed\n",
     {},
     "",
     false,
     ""},
    {"missing gs in debug mode notes the shell's status and the missing image",
     {{"PATH", pathWithoutGs()}},
     true,
     1,
     "ERROR: gs could not be started; nothing was printed\n",
     {},
     "",
     false,
     "32512"},
    {"gs exiting non zero still sends every page it wrote and fails",
     {{"STUB_GS_PAGES", "2"}, {"STUB_GS_SIZE", "5000"}, {"STUB_GS_EXIT", "3"}},
     false,
     1,
     "ERROR: gs failed with exit status 3\n",
     {stubPage(1, 5000), stubPage(2, 5000)},
     "",
     true,
     ""},
    {"gs exiting non zero in debug mode notes its status and completes the job",
     {{"STUB_GS_PAGES", "1"}, {"STUB_GS_EXIT", "2"}},
     true,
     1,
     "ERROR: gs failed with exit status 2\n",
     {stubPage(1, 100)},
     "",
     true,
     "512"},
    {"gs killed after its page in debug mode notes the signal and completes the job",
     {{"STUB_GS_PAGES", "1"}, {"STUB_GS_KILL", "9"}},
     true,
     1,
     "ERROR: gs failed with exit status 137\n",
     {stubPage(1, 100)},
     "",
     true,
     "35072"},
    {"gs killed while writing page 3 of 5 sends the pages before and fails",
     {{"STUB_GS_PAGES", "5"},
      {"STUB_GS_SIZE", "5000"},
      {"STUB_GS_SHORT", "3"},
      {"STUB_GS_DIE_AFTER", "3"}},
     false,
     1,
     "ERROR: gs failed with exit status 137\n",
     {stubPage(1, 5000), stubPage(2, 5000)},
     stubPage(3, 2500),
     true,
     ""},
    {"gs killed inside page 3 of 5 with its page still open sends the pages before and fails",
     {{"STUB_GS_PAGES", "5"},
      {"STUB_GS_SIZE", "5000"},
      {"STUB_GS_CHUNKS", "2"},
      {"STUB_GS_DIE_IN_PAGE", "3"}},
     false,
     1,
     "ERROR: gs failed with exit status 137\n",
     {stubPage(1, 5000), stubPage(2, 5000)},
     stubPage(3, 2500),
     true,
     ""},
    // Page images are sent byte for byte, never parsed: a short image from a
    // gs that reports success goes out as it is, the pages around it intact.
    {"cut short page is sent exactly as gs left it",
     {{"STUB_GS_PAGES", "3"}, {"STUB_GS_SIZE", "5000"}, {"STUB_GS_SHORT", "2"}},
     false,
     0,
     "",
     {stubPage(1, 5000), stubPage(2, 2500), stubPage(3, 5000)},
     "",
     true,
     ""},
};

void PrintTo(const GsFaultRow& row, std::ostream* os) { *os << row.claim; }

class FailingGs : public ::testing::TestWithParam<GsFaultRow> {};

TEST_P(FailingGs, fails_the_job_as_the_row_says_and_leaves_no_file) {
  const GsFaultRow& row = GetParam();
  JobPlace place;
  const ChildResult r = runChild(
      jobSpec(place, row.debug ? std::vector<std::string>{"-debug"} : std::vector<std::string>{},
              kPlainJob, stubGsDir(), row.env));
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exitStatus, row.exitStatus);
  EXPECT_EQ(r.err, row.err);
  if (!row.printerCommands) {
    EXPECT_EQ(r.out.rfind("Unable to find image file: ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\r'), std::string::npos) << "a printer command was sent";
  } else {
    ASSERT_EQ(streamProblem(r.out), "");
    std::vector<std::string> pages = streamPages(r.out);
    if (!row.lastPage.empty() && pages.size() == row.pages.size() + 1) {
      EXPECT_EQ(describeDifference(row.lastPage, pages.back()), "");
      pages.pop_back();
    }
    EXPECT_EQ(pages, row.pages);
    if (row.debug && row.pages == std::vector<std::string>{stubPage(1, 100)}) {
      EXPECT_EQ(describeDifference(kGolden, r.out), "");
    }
  }
  if (!row.debug) {
    EXPECT_EQ(place.left(), std::vector<std::string>{});
    return;
  }
  // Debug mode keeps the capture file, which tells what gs did.
  const std::vector<std::string> captures = listDir(place.capture.path);
  ASSERT_EQ(captures.size(), 1u);
  const std::string capture = readFile(place.capture.path + "/" + captures[0]);
  EXPECT_NE(capture.find("\n% gsCmd RC=[" + row.captureRc + "]\n"), std::string::npos) << capture;
  if (row.printerCommands) {
    EXPECT_NE(capture.find("\n% PROCESS COMPLETE \n"), std::string::npos);
  } else {
    EXPECT_NE(capture.find("\n% ERROR: Unable to find image file: "), std::string::npos);
  }
}

std::string claimName(const char* claim) {
  std::string name = claim;
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Faults, FailingGs, ::testing::ValuesIn(kGsFaults),
                         [](const ::testing::TestParamInfo<GsFaultRow>& row) {
                           return claimName(row.param.claim);
                         });

// A small tmpfs mounted at `mountPoint`, unmounted on destruction.
struct SmallFs {
  SmallFs(const std::string& mountPoint, const std::string& size) : dir(mountPoint) {
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
  if (!fs.mounted) VORMEL_CANNOT_RUN("cannot mount a tmpfs here (needs root and mount rights)");
  // Pages of 40000 bytes: the first fits, the second fills the directory.
  // Render-first order, so that every page is on disk at once; sent pages
  // streamed out early would free the space the second page needs.
  const ChildResult r = runChild(
      jobSpec(place, {}, kJob, stubGsDir(),
              {{"STUB_GS_PAGES", "3"}, {"STUB_GS_SIZE", "40000"}, {"VORMEL_SEQUENTIAL", "1"}}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("ERROR: gs failed with exit status 1"), std::string::npos) << r.err;
  ASSERT_EQ(streamProblem(r.out), "");
  const std::vector<std::string> pages = streamPages(r.out);
  ASSERT_GE(pages.size(), 1u) << r.out.size();

  EXPECT_EQ(pages[0], stubPage(1, 40000));
  EXPECT_EQ(place.left(), std::vector<std::string>{});
}

TEST(FaultDirectories, full_work_directory_with_real_gs_fails_and_leaves_nothing) {
  JobPlace place;
  SmallFs fs(place.work.path, "16k");
  if (!fs.mounted) VORMEL_CANNOT_RUN("cannot mount a tmpfs here (needs root and mount rights)");
  // Render-first order: streamed pages, sent and removed early, could free
  // the room the later pages need.
  const ChildResult r =
      runChild(jobSpec(place, {}, postscriptJob(3), "", {{"VORMEL_SEQUENTIAL", "1"}}));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("ERROR: gs failed"), std::string::npos) << r.err;
  EXPECT_EQ(streamProblem(r.out), "");
  EXPECT_EQ(place.left(), std::vector<std::string>{});
}

// The capture directory fills up while the job is copied: gs would render a
// cut-off job, so the run must not end as a printed job (status 0), and the
// cut-off capture file must not stay.
TEST(FaultDirectories, full_capture_directory_does_not_pass_for_a_printed_job) {
  JobPlace place;
  SmallFs fs(place.capture.path, "64k");
  if (!fs.mounted) VORMEL_CANNOT_RUN("cannot mount a tmpfs here (needs root and mount rights)");
  std::string job = postscriptJob(1);
  job.insert(job.find("%%Page:"), std::string(300000, '%') + "\n");
  const ChildResult r = runChild(jobSpec(place, {}, job, ""));
  EXPECT_NE(r.exitStatus, 0);
  EXPECT_NE(r.err.find("ERROR: "), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty() || streamProblem(r.out).empty());
  EXPECT_EQ(place.left(), std::vector<std::string>{});
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
    if (lstat(("/tmp/" + name).c_str(), &info) == 0 && info.st_uid == uid) names.push_back(name);
  }
  return names;
}

NobodyRun runAsNobody(uid_t uid, gid_t gid, const std::string& tmpdir,
                      const std::string& captureDir) {
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
  if (!nobodyUser(&uid, &gid)) VORMEL_CANNOT_RUN("no user nobody to run the job as");
  if (access(vormelBin().c_str(), X_OK) != 0) VORMEL_CANNOT_RUN("the program is not reachable");
  // Directories nobody may read and enter but not write.
  ScratchDir locked("vhl");
  chmod(locked.path.c_str(), 0755);
  const NobodyRun run = runAsNobody(uid, gid, locked.path, locked.path);
  EXPECT_EQ(run.result.exitStatus, 0) << run.result.err;
  std::vector<StreamPage> parsed;
  ASSERT_EQ(streamProblem(run.result.out, &parsed), "");
  EXPECT_EQ(parsed.size(), 2u);
  EXPECT_EQ(listDir(locked.path), std::vector<std::string>{});
  // Everything went to /tmp instead, and was removed from there.
  EXPECT_EQ(run.leftInTmp, std::vector<std::string>{});
}

struct PrinterFaultRow {
  const char* claim;
  Output output;
  size_t readerAfter;  // bytes the printer's reader takes before it goes
  std::string err;
};

const PrinterFaultRow kPrinterFaults[] = {
    {"closed standard output fails the job and leaves no file behind", Output::Closed, 0,
     "ERROR: writing to the printer failed (Bad file descriptor)\n"},
    {"reader gone after 1 byte fails the job without a signal death", Output::ReaderQuits, 1,
     "ERROR: writing to the printer failed (Broken pipe)\n"},
    {"reader gone after 100 bytes fails the job without a signal death", Output::ReaderQuits, 100,
     "ERROR: writing to the printer failed (Broken pipe)\n"},
    {"reader gone after 200 bytes fails the job without a signal death", Output::ReaderQuits, 200,
     "ERROR: writing to the printer failed (Broken pipe)\n"},
    {"reader gone inside the first page fails the job without a signal death", Output::ReaderQuits,
     70000, "ERROR: writing to the printer failed (Broken pipe)\n"},
};

void PrintTo(const PrinterFaultRow& row, std::ostream* os) { *os << row.claim; }

class FailingPrinter : public ::testing::TestWithParam<PrinterFaultRow> {};

TEST_P(FailingPrinter, fails_the_job_and_removes_every_file) {
  const PrinterFaultRow& row = GetParam();
  // Pages of noise: more than a pipe holds, so the program is still writing
  // when the reader has gone.
  ScratchDir source("vts");
  writeFile(source.path + "/page", imageBytes(1, 100000, 5));
  JobPlace place;
  ChildSpec runSpec = jobSpec(place, {}, kJob, stubGsDir(),
                              {{"STUB_GS_PAGES", "3"}, {"STUB_GS_SOURCE", source.path + "/page"}});
  runSpec.output = row.output;
  runSpec.readerAfter = row.readerAfter;
  const ChildResult r = runChild(runSpec);
  EXPECT_EQ(r.signal, 0);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.err, row.err);
  EXPECT_EQ(r.out.size(), row.readerAfter);
  // No page reached the printer whole; the spooler sends the whole job
  // again, so no image of it stays (it would only hold the customer's label
  // on disk).
  EXPECT_EQ(place.left(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Faults, FailingPrinter, ::testing::ValuesIn(kPrinterFaults),
                         [](const ::testing::TestParamInfo<PrinterFaultRow>& row) {
                           return claimName(row.param.claim);
                         });

}  // namespace
