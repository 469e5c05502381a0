// Cancelling a job at every stage, as the spooler does (SIGTERM, and SIGINT
// and SIGHUP, which end a job the same way), streamed and render-first, with
// and without debug mode; and the filter killed outright. Each stage is
// reached through a marker, never a wait of some length: the stub gs held at
// a page, the printer's reader paused inside a page, gs seen stopped.
// Every cancel: a non-zero status and one "INFO: job cancelled" line, on
// standard output nothing or a whole stream ending with the trailer (the page
// under way completed, no new page begun), no job file left, gs gone.
#include <gtest/gtest.h>
#include <signal.h>

#include <cctype>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "job_support.h"

namespace {

enum class Stage {
  AtStart,           // at once after the program was started
  ReadingJob,        // the job half read, its standard input held open
  GsStarted,         // gs held before its first page
  GsBetweenPages,    // gs held before page 3 of 4, pages 1 and 2 finished
  GsAfterLastPage,   // gs held after its last page (2), before it ends
  SendingPage,       // the printer stalled inside page 1 of 12
  GsPausedByFilter,  // the printer stalled, gs stopped by the filter for being ahead
};

struct Row {
  const char* claim;
  Stage stage;
  int signal;
  bool sequential;  // render every page first (VORMEL_SEQUENTIAL=1)
  bool debug;
  int pagesSent;  // whole pages on standard output after the cancel
};

// Bytes the printer's reader takes before it stalls: inside the first page,
// whose coded form is several times larger.
constexpr size_t kStallAt = 100000;
constexpr size_t kPageSize = 5000;

const std::string kJobStart = "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 288 144\n";

size_t countOf(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
    ++count;
  return count;
}

const Row kRows[] = {
    {"a request at once ends the run by its handler or before anything exists", Stage::AtStart,
     SIGTERM, false, false, 0},
    {"while the job is read sigterm prints nothing and leaves nothing", Stage::ReadingJob, SIGTERM,
     false, false, 0},
    {"while the job is read sigint prints nothing and leaves nothing", Stage::ReadingJob, SIGINT,
     false, false, 0},
    {"while the job is read sighup prints nothing and leaves nothing", Stage::ReadingJob, SIGHUP,
     false, false, 0},
    {"while the job is read in debug mode nothing is printed and nothing stays", Stage::ReadingJob,
     SIGTERM, false, true, 0},
    {"while gs starts streamed no page is sent and gs is stopped", Stage::GsStarted, SIGTERM, false,
     false, 0},
    {"while gs starts streamed in debug mode no page is sent and gs is stopped", Stage::GsStarted,
     SIGTERM, false, true, 0},
    {"while gs starts render first nothing is written and gs is stopped", Stage::GsStarted, SIGTERM,
     true, false, 0},
    {"while gs starts render first in debug mode nothing is written and gs is stopped",
     Stage::GsStarted, SIGTERM, true, true, 0},
    {"between pages streamed the finished pages stay whole and no new page begins",
     Stage::GsBetweenPages, SIGTERM, false, false, 2},
    {"between pages render first nothing is written", Stage::GsBetweenPages, SIGTERM, true, false,
     0},
    {"after the last page but before gs ends every finished page is sent whole",
     Stage::GsAfterLastPage, SIGTERM, false, false, 2},
    {"after the last page render first nothing is written", Stage::GsAfterLastPage, SIGTERM, true,
     false, 0},
    {"while a page is sent sigterm completes it and begins no other", Stage::SendingPage, SIGTERM,
     false, false, 1},
    {"while a page is sent sigint completes it and begins no other", Stage::SendingPage, SIGINT,
     false, false, 1},
    {"while a page is sent sighup completes it and begins no other", Stage::SendingPage, SIGHUP,
     false, false, 1},
    {"while a page is sent render first it is completed and no other begins", Stage::SendingPage,
     SIGTERM, true, false, 1},
    {"while gs is stopped for being ahead the page under way is completed", Stage::GsPausedByFilter,
     SIGTERM, false, false, 1},
    {"a filter killed outright takes a stopped gs with it", Stage::GsPausedByFilter, SIGKILL, false,
     false, 0},
    {"a filter killed outright takes a running gs with it", Stage::GsStarted, SIGKILL, false, false,
     0},
};

void PrintTo(const Row& row, std::ostream* os) { *os << row.claim; }

class Cancel : public ::testing::TestWithParam<Row> {};

TEST_P(Cancel, ends_the_run_cleanly) {
  const Row& row = GetParam();
  JobPlace place;
  StubGate gate;
  ScratchDir meta("vtm");
  const std::string pidFile = meta.path + "/gs.pid";
  const std::string image = imageBytes(2, 1 << 20, 11);  // partly random: coded at length
  writeFile(meta.path + "/page", image);

  ChildSpec runSpec =
      jobSpec(place, row.debug ? std::vector<std::string>{"-debug"} : std::vector<std::string>{},
              kJobStart + "showpage\n", stubGsDir(),
              {{"STUB_GS_PIDFILE", pidFile},
               {"STUB_GS_GATE", gate.dir()},
               {"VORMEL_SEQUENTIAL", row.sequential ? "1" : kUnset}});
  auto set = [&runSpec](const std::string& name, const std::string& value) {
    runSpec.env.emplace_back(name, value);
  };
  switch (row.stage) {
    case Stage::AtStart:
    case Stage::ReadingJob:
      runSpec.input = kJobStart;
      runSpec.holdInputOpen = true;
      set("STUB_GS_PAGES", "1");
      break;
    case Stage::GsStarted:
      set("STUB_GS_PAGES", "1");
      gate.hold("1");
      break;
    case Stage::GsBetweenPages:
      set("STUB_GS_PAGES", "4");
      set("STUB_GS_SIZE", std::to_string(kPageSize));
      gate.hold("3");
      break;
    case Stage::GsAfterLastPage:
      set("STUB_GS_PAGES", "2");
      set("STUB_GS_SIZE", std::to_string(kPageSize));
      gate.hold("3");
      break;
    case Stage::SendingPage:
    case Stage::GsPausedByFilter:
      set("STUB_GS_PAGES", row.stage == Stage::SendingPage ? "12" : "40");
      set("STUB_GS_SOURCE", meta.path + "/page");
      runSpec.output = Output::ReaderPauses;
      runSpec.readerAfter = kStallAt;
      break;
  }

  Child child;
  ASSERT_TRUE(startChild(runSpec, &child));
  const pid_t pid = child.pid;
  bool reached = true;
  switch (row.stage) {
    case Stage::AtStart:
      break;
    case Stage::ReadingJob:
      // Both job files exist once the capture has begun; the input stays open.
      reached = waitFor(
          [&] { return !listDir(place.work.path).empty() && !listDir(place.capture.path).empty(); },
          pid);
      break;
    case Stage::GsStarted:
      reached = gate.waitAt("1", pid);
      break;
    case Stage::GsBetweenPages:
    case Stage::GsAfterLastPage:
      reached = gate.waitAt("3", pid);
      // Streamed, the pages gs finished go out while it is held, and each
      // page image is removed once it is sent.
      if (reached && !row.sequential)
        reached = waitFor([&] { return pageImagesIn(place.work.path).empty(); }, pid);
      break;
    case Stage::SendingPage:
      reached = waitFor([&] { return child.outBytes.load() >= kStallAt; }, pid);
      break;
    case Stage::GsPausedByFilter:
      reached = waitFor([&] { return pidFrom(pidFile) > 0; }, pid) &&
                waitFor([&] { return processState(pidFrom(pidFile)) == 'T'; }, pid);
      break;
  }
  const pid_t gs = pidFrom(pidFile);
  kill(pid, row.signal);
  const ChildResult r = finishChild(&child);
  ASSERT_TRUE(reached) << "the run ended before the stage was reached: " << r.err;

  if (row.signal == SIGKILL) {
    EXPECT_EQ(r.signal, SIGKILL);
    ASSERT_GT(gs, 0);
    // gs is started with a parent-death signal; stopped or not, it goes.
    EXPECT_TRUE(waitFor([&] { return !processAlive(gs); }));
    return;
  }
  EXPECT_EQ(place.left(), std::vector<std::string>{});
  if (row.stage == Stage::AtStart && r.signal == row.signal) {
    // Only before the program has set up its handler: then nothing was
    // written or created yet.
    EXPECT_EQ(r.out, "");
    return;
  }
  EXPECT_EQ(r.signal, 0) << "ended by signal " << strsignal(r.signal);
  EXPECT_NE(r.exitStatus, 0);
  // A cancel is reported in one line, and not as an error.
  EXPECT_EQ(r.err.rfind("INFO: job cancelled", 0), 0u) << r.err;
  EXPECT_EQ(countOf(r.err, "\n"), 1u) << r.err;
  if (gs > 0) {
    EXPECT_FALSE(processAlive(gs)) << "gs still runs";
  }
  if (row.sequential || row.stage == Stage::ReadingJob || row.stage == Stage::AtStart) {
    if (row.pagesSent == 0) {
      EXPECT_EQ(r.out, "");
    }
  }
  if (!r.out.empty()) {
    EXPECT_EQ(streamProblem(r.out), "");
  }
  const std::vector<std::string> pages = streamPages(r.out);
  ASSERT_EQ(pages.size(), static_cast<size_t>(row.pagesSent));
  for (size_t i = 0; i < pages.size(); ++i) {
    if (row.stage == Stage::SendingPage || row.stage == Stage::GsPausedByFilter) {
      EXPECT_TRUE(pages[i] == image) << "a page went out changed";
    } else {
      EXPECT_EQ(describeDifference(stubPage(static_cast<int>(i) + 1, kPageSize), pages[i]), "");
    }
  }
}

std::string rowName(const ::testing::TestParamInfo<Row>& info) {
  std::string name = info.param.claim;
  for (char& c : name)
    if (!isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(EveryStage, Cancel, ::testing::ValuesIn(kRows), rowName);

}  // namespace
