// Cancelling a job with SIGTERM (and SIGINT and SIGHUP, which end a job the
// same way) at every stage: while the job is read, while
// gs renders, while pages go out, and at a sweep of moments over a whole job.
// Every time: a non-zero status (unless the job had already finished), on
// standard output nothing or a whole stream ending with the trailer (a page
// already started is completed, no new one starts), no job file left, gs gone.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <string>
#include <vector>

#include "hardening_support.h"

namespace {

std::vector<std::string> leftIn(const JobPlace& place) {
  std::vector<std::string> left = listDir(place.work.path);
  for (const std::string& name : listDir(place.capture.path))
    left.push_back("capture/" + name);
  return left;
}

pid_t pidFrom(const std::string& file) {
  const std::string text = readFile(file);
  return text.empty() ? -1 : static_cast<pid_t>(std::stol(text));
}

// Checks what a cancelled run must leave; `pages` receives the pages sent.
void expectCleanCancel(const ChildResult& r, const JobPlace& place, std::vector<std::string>* pages) {
  EXPECT_EQ(r.signal, 0) << "killed by signal " << r.signal;
  EXPECT_NE(r.exitStatus, 0);
  // A cancel is reported, but not as an error.
  EXPECT_EQ(r.err.rfind("INFO: job cancelled", 0), 0u) << r.err;
  EXPECT_EQ(r.err.find("ERROR: "), std::string::npos) << r.err;
  if (!r.out.empty()) {
    EXPECT_EQ(streamProblem(r.out), "");
  }
  *pages = streamPages(r.out);
  EXPECT_EQ(leftIn(place), std::vector<std::string>{});
}

// The signals that cancel a job.
constexpr int kCancelSignals[] = {SIGTERM, SIGINT, SIGHUP};

TEST(Cancel, while_the_job_is_read_nothing_is_sent_and_no_file_stays) {
  for (const int signal : kCancelSignals) {
    SCOPED_TRACE(strsignal(signal));
    JobPlace place;
    ChildSpec runSpec = jobSpec(place, {}, "", stubGsDir(), {{"STUB_GS_PAGES", "1"}});
    runSpec.inputWriter = [](int fd) {
      const std::string start = "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 288 144\n";
      (void)!write(fd, start.data(), start.size());
    };
    runSpec.holdInputOpen = true;
    Child child;
    ASSERT_TRUE(startChild(runSpec, &child));
    // The capture file exists: the job files are made (a request meanwhile
    // is held until they are noted) and the job is being read (the input
    // stays open).
    EXPECT_TRUE(waitFor([&] { return !listDir(place.capture.path).empty(); }, 10));
    kill(child.pid, signal);
    const ChildResult r = finishChild(&child);
    std::vector<std::string> pages;
    expectCleanCancel(r, place, &pages);
    EXPECT_EQ(r.out, "");
  }
}

TEST(Cancel, while_gs_renders_the_pages_sent_stay_whole_and_gs_is_stopped) {
  for (int pagesBefore : {0, 2}) {
    SCOPED_TRACE(pagesBefore);
    JobPlace place;
    ScratchDir marks("vhm");
    const std::string pidFile = marks.path + "/gs.pid";
    ChildSpec runSpec = jobSpec(place, {}, postscriptJob(4), faultGsDir(),
                             {{"FAULT_GS_PAGES", std::to_string(pagesBefore)},
                              {"FAULT_GS_HANG", "30"},
                              {"FAULT_GS_PIDFILE", pidFile}});
    Child child;
    ASSERT_TRUE(startChild(runSpec, &child));
    ASSERT_TRUE(waitFor([&] { return pidFrom(pidFile) > 0; }, 10));
    const pid_t gs = pidFrom(pidFile);
    // Let the pages gs has finished go out first (the stream's first lines
    // stay in the output buffer until a band is flushed).
    if (pagesBefore > 0) {
      EXPECT_TRUE(waitFor([&] { return child.outBytes.load() > 0; }, 10));
    }
    usleep(500 * 1000);
    const double sent = nowSeconds();
    kill(child.pid, SIGTERM);
    const ChildResult r = finishChild(&child);
    EXPECT_LT(nowSeconds() - sent, 5.0) << "cancel was not prompt";
    std::vector<std::string> pages;
    expectCleanCancel(r, place, &pages);
    EXPECT_EQ(pages.size(), static_cast<size_t>(pagesBefore));
    for (size_t i = 0; i < pages.size(); ++i)
      EXPECT_EQ(pages[i].size(), 5000u);
    EXPECT_TRUE(waitFor([&] { return !processAlive(gs); }, 3)) << "gs still runs";
    if (processAlive(gs))
      kill(gs, SIGKILL);
  }
}

TEST(Cancel, while_pages_are_sent_the_page_under_way_is_completed_and_no_new_one_starts) {
  ScratchDir source("vhs");
  const std::string image = imageBytes(2, 3 << 20, 11);  // slow to code, partly random
  writeFile(source.path + "/page", image);
  for (const int signal : kCancelSignals) {
    SCOPED_TRACE(strsignal(signal));
    JobPlace place;
    ChildSpec runSpec = jobSpec(place, {}, postscriptJob(1), stubGsDir(),
                                {{"STUB_GS_PAGES", "12"}, {"STUB_GS_SOURCE", source.path + "/page"}});
    Child child;
    ASSERT_TRUE(startChild(runSpec, &child));
    // Well into the first page, but not at its end.
    ASSERT_TRUE(waitFor([&] { return child.outBytes.load() > 300000; }, 60));
    kill(child.pid, signal);
    const ChildResult r = finishChild(&child);
    std::vector<std::string> pages;
    expectCleanCancel(r, place, &pages);
    ASSERT_GE(pages.size(), 1u);
    EXPECT_LT(pages.size(), 12u);
    for (const std::string& page : pages)
      EXPECT_TRUE(page == image) << "a page went out changed";
  }
}

TEST(Cancel, at_any_moment_of_a_job_the_run_ends_cleanly) {
  // A sweep of moments from the start of the run to its end: before the job
  // files exist, while reading, while gs starts, while pages go out.
  ScratchDir source("vhs");
  const std::string image = imageBytes(0, 200000, 3);
  writeFile(source.path + "/page", image);
  int finished = 0;
  for (int delayMs : {0, 1, 2, 4, 7, 10, 15, 20, 30, 45, 60, 90, 130, 200}) {
    SCOPED_TRACE(delayMs);
    JobPlace place;
    ChildSpec runSpec = jobSpec(place, {"-gap"}, postscriptJob(3), faultGsDir(),
                             {{"FAULT_GS_PAGES", "6"}, {"FAULT_GS_DELAY", "0.02"},
                              {"FAULT_GS_SOURCE", source.path + "/page"}});
    Child child;
    ASSERT_TRUE(startChild(runSpec, &child));
    usleep(delayMs * 1000);
    kill(child.pid, SIGTERM);
    const ChildResult r = finishChild(&child);
    if (r.signal == SIGTERM) {
      // Only before the program could set up its handler (the moment depends
      // on the machine's load): then nothing may have been written or
      // created yet, which the check of the directories below confirms.
      EXPECT_EQ(r.out, "");
    } else if (r.exitStatus == 0) {
      ++finished;  // finished before the request came: the whole job
      EXPECT_EQ(streamPages(r.out).size(), 6u);
    } else {
      std::vector<std::string> pages;
      expectCleanCancel(r, place, &pages);
      for (const std::string& page : pages)
        EXPECT_TRUE(page == image);
    }
    EXPECT_EQ(leftIn(place), std::vector<std::string>{});
  }
  EXPECT_LT(finished, 14) << "no run was cancelled at all";
}

}  // namespace
