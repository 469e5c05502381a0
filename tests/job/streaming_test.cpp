// Pages sent while gs renders: every observable result (standard output,
// standard error, exit status, capture file with its debug blocks, error log,
// files left behind) equal to the render-everything-first order, selected
// with VORMEL_SEQUENTIAL=1, for stub gs runs of every kind (pages one by one,
// pages written in pieces, a gs killed inside a page, missing pages, failures) and
// for real Ghostscript jobs; and at most a few page images on disk at once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "job_support.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

const std::string kJob = "%!PS-Adobe-3.0\n%%Pages: 1\nshowpage\n";

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
}

// Every time stamp at the start of an error log line becomes "<time>".
std::string maskTimeStamps(const std::string& log) {
  std::string masked;
  for (size_t at = 0; at < log.size();) {
    size_t end = log.find('\n', at);
    end = end == std::string::npos ? log.size() : end + 1;
    std::string line = log.substr(at, end - at);
    if (line.size() >= 19 && isTimeStamp(line.substr(0, 19))) line.replace(0, 19, "<time>");
    masked += line;
    at = end;
  }
  return masked;
}

// Everything a run leaves that people or the printer see, with the run's own
// base name and directories replaced by fixed words so that two runs compare.
struct Outcome {
  int exitStatus = -1;
  int signal = 0;
  std::string out, err;
  std::vector<std::string> workFiles, captureFiles;
  std::string capture, log;

  std::string describe() const {
    std::string text = "exit " + std::to_string(exitStatus) + " signal " + std::to_string(signal) +
                       "\nstderr: " + err + "work:";
    for (const std::string& f : workFiles) text += " " + f;
    text += "\ncapture dir:";
    for (const std::string& f : captureFiles) text += " " + f;
    return text + "\nlog:\n" + log;
  }
};

// The value of `name` in `env`, or `otherwise`.
std::string knob(const Env& env, const std::string& name, const std::string& otherwise) {
  for (const auto& [key, value] : env)
    if (key == name) return value;
  return otherwise;
}

class Streaming : public ::testing::Test {
 protected:
  // One run of the program in fresh directories, streamed or sequential.
  // Paced: the stub is held before each page after the first, at its end and
  // before each piece after a page's first, until the program waits for it
  // with nothing of its own to do; so pages come one by one, each after the
  // program has dealt with what came before.
  Outcome run(bool sequential, const std::vector<std::string>& args, const Env& env,
              const std::string& input = kJob, bool stubGs = true, Output mode = Output::Collect,
              bool paced = false) {
    ScratchDir work("vtswork"), cap("vtscap"), meta("vtsmeta");
    ChildSpec runSpec;
    runSpec.program = VORMEL_BIN;
    runSpec.args = {"-dir", cap.path};
    runSpec.args.insert(runSpec.args.end(), args.begin(), args.end());
    runSpec.input = input;
    runSpec.output = mode;
    runSpec.readerAfter = 100;
    runSpec.env = {{"TMPDIR", work.path},
                   {"STUB_GS_ARGS", meta.path + "/args"},
                   {"VORMEL_SEQUENTIAL", sequential ? "1" : kUnset},
                   // The render-first run codes every band on its own thread,
                   // the streamed one with the most helper threads, or with as
                   // many as the machine gives it.
                   {"VORMEL_CODER_THREADS", sequential       ? "0"
                                            : defaultHelpers ? kUnset
                                                             : "3"}};
    if (stubGs) runSpec.env.push_back({"PATH", stubPath()});
    runSpec.env.insert(runSpec.env.end(), env.begin(), env.end());
    StubGate gate;
    const std::string pidFile = meta.path + "/gs.pid";
    std::vector<std::string> holds;
    if (paced) {
      runSpec.env.push_back({"STUB_GS_GATE", gate.dir()});
      runSpec.env.push_back({"STUB_GS_PIDFILE", pidFile});
      const int pages = std::stoi(knob(env, "STUB_GS_PAGES", "0"));
      const int pieces = std::stoi(knob(env, "STUB_GS_CHUNKS", "1"));
      for (int page = 1; page <= pages + 1; ++page) {
        if (page > 1) holds.push_back(std::to_string(page));
        for (int piece = 2; piece <= pieces && page <= pages; ++piece)
          holds.push_back(std::to_string(page) + "." + std::to_string(piece));
      }
      for (const std::string& point : holds) gate.hold(point);
    }
    Child child;
    EXPECT_TRUE(startChild(runSpec, &child));
    if (paced && waitFor([&] { return pidFrom(pidFile) > 0; }, child.pid)) {
      const pid_t gs = pidFrom(pidFile);
      for (const std::string& point : holds) {
        // A stub that died or was stopped by the program reaches no more
        // points.
        if (!gate.waitAt(point, gs)) break;
        waitFor([&] { return processIdle(child.pid); }, child.pid);
        gate.release(point);
      }
    }
    const ChildResult r = finishChild(&child);

    Outcome o;
    o.exitStatus = r.exitStatus;
    o.signal = r.signal;
    o.out = r.out;
    o.err = r.err;
    o.workFiles = listDir(work.path);
    o.captureFiles = listDir(cap.path);
    // The base name: from the capture file's name when it is left, else
    // from the output pattern the stub was given.
    std::string base;
    for (const std::string& name : o.captureFiles)
      if (name.rfind("In_", 0) == 0) base = name.substr(3, name.size() - 6);
    const std::string args0 = readFile(meta.path + "/args");
    const size_t pattern = args0.find("-sOutputFile=");
    if (base.empty() && pattern != std::string::npos) {
      const size_t end = args0.find("_%d", pattern);
      base = args0.substr(args0.rfind('/', end) + 1, end - args0.rfind('/', end) - 1);
    }
    // Else from a message that names the job's directory.
    for (const std::string* text : {&r.out, &r.err}) {
      const size_t at = text->find(work.path + "/vdq");
      if (base.empty() && at != std::string::npos)
        base = text->substr(at + work.path.size() + 1, 9);
    }
    if (!base.empty()) {
      o.capture = readFile(cap.path + "/In_" + base + ".ps");
      o.log = maskTimeStamps(readFile(work.path + "/err_" + base + ".txt"));
    }
    for (std::string* text : {&o.out, &o.err, &o.capture, &o.log}) {
      replaceAll(*text, work.path, "<work>");
      replaceAll(*text, cap.path, "<cap>");
      replaceAll(*text, base, "<base>");
    }
    for (std::vector<std::string>* names : {&o.workFiles, &o.captureFiles})
      for (std::string& name : *names) replaceAll(name, base, "<base>");
    return o;
  }

  // Runs both ways and requires the same outcome; returns the streamed one.
  Outcome expectSameBothWays(const std::vector<std::string>& args, const Env& env,
                             const std::string& input = kJob, bool stubGs = true,
                             Output mode = Output::Collect, bool paced = false) {
    const Outcome sequential = run(true, args, env, input, stubGs, mode, paced);
    const Outcome streamed = run(false, args, env, input, stubGs, mode, paced);
    EXPECT_EQ(sequential.exitStatus, streamed.exitStatus);
    EXPECT_EQ(0, streamed.signal);
    EXPECT_EQ("", describeDifference(sequential.out, streamed.out)) << "standard output";
    EXPECT_EQ(sequential.err, streamed.err);
    EXPECT_EQ(sequential.workFiles, streamed.workFiles);
    EXPECT_EQ(sequential.captureFiles, streamed.captureFiles);
    EXPECT_EQ("", describeDifference(sequential.capture, streamed.capture)) << "capture file";
    EXPECT_EQ(sequential.log, streamed.log);
    EXPECT_EQ(sequential.describe(), streamed.describe());
    return streamed;
  }

  ScratchDir data{"vtsdata"};
  bool defaultHelpers = false;  // streamed runs choose their helpers themselves
};

// Incompressible bytes, so that pages take several bands and a pipe fills.
std::string noise(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& c : bytes) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 23);
  }
  return bytes;
}

TEST_F(Streaming, stub_gs_runs_of_every_kind_give_the_sequential_result) {
  const std::string noiseFile = data.path + "/noise";
  writeFile(noiseFile, noise(150000, 11));
  struct Row {
    const char* name;
    Env env;
    Output mode;
    bool paced;
  } rows[] = {
      {"no page written: the placeholder is the page", {}, Output::Collect, false},
      {"three pages of several bands",
       {{"STUB_GS_PAGES", "3"}, {"STUB_GS_SIZE", "70000"}},
       Output::Collect,
       false},
      {"noise pages",
       {{"STUB_GS_PAGES", "2"}, {"STUB_GS_SOURCE", noiseFile}},
       Output::Collect,
       false},
      {"missing page 2 of 3",
       {{"STUB_GS_PAGES", "3"}, {"STUB_GS_SKIP", "2"}},
       Output::Collect,
       false},
      {"missing page 2 while gs goes on page by page",
       {{"STUB_GS_PAGES", "4"}, {"STUB_GS_SKIP", "2"}},
       Output::Collect,
       true},
      {"placeholder removed, no page",
       {{"STUB_GS_PAGES", "1"}, {"STUB_GS_SKIP", "1"}},
       Output::Collect,
       false},
      {"placeholder removed, later pages written page by page",
       {{"STUB_GS_PAGES", "3"}, {"STUB_GS_SKIP", "1"}},
       Output::Collect,
       true},
      {"gs fails after two pages",
       {{"STUB_GS_PAGES", "2"}, {"STUB_GS_EXIT", "2"}},
       Output::Collect,
       false},
      {"gs killed after two pages",
       {{"STUB_GS_PAGES", "2"}, {"STUB_GS_KILL", "9"}},
       Output::Collect,
       false},
      {"gs not found", {{"PATH", pathWithoutGs()}}, Output::Collect, false},
      {"pages one by one",
       {{"STUB_GS_PAGES", "4"}, {"STUB_GS_SIZE", "40000"}},
       Output::Collect,
       true},
      {"pages written in pieces, the program waiting between them",
       {{"STUB_GS_PAGES", "3"}, {"STUB_GS_SIZE", "90000"}, {"STUB_GS_CHUNKS", "4"}},
       Output::Collect,
       true},
      {"gs killed inside page 3, its descriptor still open",
       {{"STUB_GS_PAGES", "5"},
        {"STUB_GS_SIZE", "60000"},
        {"STUB_GS_CHUNKS", "3"},
        {"STUB_GS_DIE_IN_PAGE", "3"}},
       Output::Collect,
       true},
      {"printer gone while gs still renders",
       {{"STUB_GS_PAGES", "3"}, {"STUB_GS_SOURCE", noiseFile}},
       Output::ReaderQuits,
       true},
      {"printer connection closed", {{"STUB_GS_PAGES", "2"}}, Output::Closed, false},
  };
  for (const Row& row : rows) {
    for (const bool debug : {false, true}) {
      SCOPED_TRACE(std::string(row.name) + (debug ? ", debug mode" : ""));
      std::vector<std::string> args;
      if (debug) args.push_back("-debug");
      const Outcome o = expectSameBothWays(args, row.env, kJob, true, row.mode, row.paced);
      if (row.mode == Output::Collect && o.exitStatus != 1) {
        std::vector<StreamPage> parsed;
        EXPECT_EQ("", streamProblem(o.out, &parsed));
      }
    }
  }
}

TEST_F(Streaming, a_page_failure_while_gs_runs_is_logged_after_its_return_code) {
  // The printer goes away at page 1 while gs still renders pages 2 and 3:
  // the page-error block must follow the return-code block, as it does when
  // every page is rendered first.
  const std::string noiseFile = data.path + "/noise";
  writeFile(noiseFile, noise(150000, 5));
  const Outcome o =
      expectSameBothWays({"-debug"}, {{"STUB_GS_PAGES", "3"}, {"STUB_GS_SOURCE", noiseFile}}, kJob,
                         true, Output::ReaderQuits, true);
  const size_t rc = o.capture.find("% gsCmd RC=[0]\n");
  const size_t pageError =
      o.capture.find("% ERROR-2 ... unable to open file [<work>/<base>/<base>_1]\n");
  ASSERT_NE(std::string::npos, rc);
  ASSERT_NE(std::string::npos, pageError);
  EXPECT_LT(rc, pageError);
  EXPECT_EQ("<time> ERROR-2 ... unable to open file [<work>/<base>/<base>_1]\n", o.log);
}

TEST_F(Streaming, at_most_three_page_images_exist_at_once) {
  // The stub notes, just before it begins each page and at its end, how many
  // page images stand in the work directory.
  const std::string streamedSnap = data.path + "/streamed", sequentialSnap = data.path + "/seq";
  // gs is never held: it runs as far ahead as the program lets it.
  const Env env = {{"STUB_GS_PAGES", "8"}, {"STUB_GS_SIZE", "50000"}};
  Env streamedEnv = env, sequentialEnv = env;
  streamedEnv.push_back({"STUB_GS_SNAPSHOT", streamedSnap});
  sequentialEnv.push_back({"STUB_GS_SNAPSHOT", sequentialSnap});
  const Outcome streamed = run(false, {}, streamedEnv);
  const Outcome sequential = run(true, {}, sequentialEnv);
  ASSERT_EQ(0, streamed.exitStatus) << streamed.err;
  EXPECT_EQ("", describeDifference(sequential.out, streamed.out));

  auto counts = [](const std::string& text) {
    std::vector<int> values;
    for (size_t at = 0, lf; (lf = text.find('\n', at)) != std::string::npos; at = lf + 1)
      values.push_back(std::stoi(text.substr(at, lf - at)));
    return values;
  };
  const std::vector<int> s = counts(readFile(streamedSnap));
  const std::vector<int> q = counts(readFile(sequentialSnap));
  ASSERT_EQ(9u, s.size());
  ASSERT_EQ(9u, q.size());
  EXPECT_EQ(8, q.back()) << "rendering first keeps every page until the end";
  EXPECT_LE(*std::max_element(s.begin(), s.end()), 3);
}

// A label job whose pages differ, as in the real Ghostscript tests.
std::string labelJob(int pages, int dpi) {
  std::string job =
      "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 288 432\n%%Pages: " + std::to_string(pages) +
      "\n%%EndComments\n<< /HWResolution [" + std::to_string(dpi) + " " + std::to_string(dpi) +
      "] /PageSize [288 432] >> setpagedevice\n";
  for (int page = 1; page <= pages; ++page) {
    const std::string n = std::to_string(page);
    job += "%%Page: " + n + " " + n +
           "\n/Helvetica-Bold findfont 26 scalefont setfont\n"
           "20 380 moveto (LABEL " +
           n +
           ") show\n3 setlinewidth 8 8 272 416 rectstroke\n"
           "0 1 " +
           std::to_string(20 + page * 5) + " { dup 5 mul 24 add 40 moveto 3 mod 1 add " + n +
           " add setlinewidth 0 140 rlineto stroke } for\nshowpage\n";
  }
  return job + "%%EOF\n";
}

bool haveGs() {
  ChildSpec probe;
  probe.program = "/bin/sh";
  probe.args = {"-c", "command -v gs"};
  return runChild(probe).exitStatus == 0;
}

TEST_F(Streaming, real_ghostscript_jobs_give_the_sequential_result) {
  if (!haveGs()) VORMEL_CANNOT_RUN("Ghostscript is not installed");
  struct Row {
    int dpi;
    int pages;
    std::vector<std::string> args;
  } rows[] = {
      {203, 6, {}},
      {300, 5, {"-debug"}},
      {600, 3, {"-rotate", "90"}},
      {600, 2, {"-debug", "-PCX"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.dpi);
    const Outcome o = expectSameBothWays(row.args, {}, labelJob(row.pages, row.dpi), false);
    EXPECT_EQ(0, o.exitStatus) << o.err;
    std::vector<StreamPage> parsed;
    ASSERT_EQ("", streamProblem(o.out, &parsed));
    EXPECT_EQ(static_cast<size_t>(row.pages), parsed.size());
  }
  // The helpers as the machine sets them: on two cores one shares gs's core
  // and is let go once coding proves the heavier, some pages into the job.
  defaultHelpers = true;
  const Outcome own = expectSameBothWays({}, {}, labelJob(16, 600), false);
  EXPECT_EQ(0, own.exitStatus) << own.err;
  defaultHelpers = false;
  // A job gs gives up on halfway: the page before the error, then failure.
  const std::string broken = labelJob(2, 300) + "nosuchoperator\n";
  const Outcome o = expectSameBothWays({"-debug"}, {}, broken, false);
  EXPECT_EQ(1, o.exitStatus);
}

}  // namespace
