// A real print queue: a private CUPS scheduler on loopback with its own
// configuration, the project installed into a staging directory, one queue
// per printer model (203, 300 and 600 dpi) on file: devices, and label jobs
// printed with lp. The device file must hold exactly what vormel writes for
// the same job, label and option words, and every page image must have the
// chosen label's size in dots, whatever the job's own page size.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cups_test_support.h"
#include "inspect/job_stream_parser.h"
#include "inspect/pcx_reader.h"
#include "label_page.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

const std::string kJobs = std::string(VORMEL_SOURCE_DIR) + "/tests/cups/jobs";
const char* const kTrailer =
    "WINDRVEND\r\n!QXR_SETUP\r\nWINMODE-END\r\nRESTORESTATE\r\nQXR_END\r\n";

// The decimal number that follows `prefix` in `text` (from `from` on), or -1.
int numberAfter(const std::string& text, const std::string& prefix, size_t from = 0) {
  const size_t at = text.find(prefix, from);
  if (at == std::string::npos) return -1;
  const size_t digits = at + prefix.size();
  const size_t end = text.find_first_not_of("0123456789", digits);
  if (end == digits) return -1;
  return std::stoi(text.substr(digits, end - digits));
}

bool copyExecutable(const std::string& from, const std::string& to) {
  const std::string bytes = readFile(from);
  if (bytes.empty()) return false;
  writeFile(to, bytes, 0755);
  return true;
}

// The private scheduler shared by the tests of this suite.
struct Server {
  std::unique_ptr<ScratchDir> root;
  std::string host;     // 127.0.0.1:port, for every client's -h
  std::string stage;    // DESTDIR of the installation
  std::string vormel;   // the installed (staged) vormel
  std::string outDir;   // the file: devices, one per queue
  std::string tempDir;  // the scheduler's TempDir, where filters keep job files
  std::string pageLog, errorLog;
  Scheduler scheduler;  // cupsd, stopped by stopServer
  std::string failure;  // why the server could not be set up
};

Server* server = nullptr;

ChildResult client(const std::vector<std::string>& argv) {
  return runChild(commandSpec(argv, {{"CUPS_SERVER", server->host}}));
}

// Installs the project into a staging directory, exactly as cmake --install
// lays it out, and checks the spooler's permission rules on the filter.
std::string stageInstall(Server& s) {
  s.stage = s.root->path + "/stage";
  const ChildResult r =
      runChild(commandSpec({CMAKE_COMMAND, "--install", VORMEL_BUILD_DIR}, {{"DESTDIR", s.stage}}));
  if (r.exitStatus != 0) return "cmake --install failed: " + r.out + r.err;
  const std::string filter = s.stage + VORMEL_INSTALLED_FILTER;
  const std::string ppds = s.stage + VORMEL_INSTALLED_PPD_DIR;
  for (const std::string& path :
       {filter, filter.substr(0, filter.rfind('/')), ppds + "/vormel-203dpi.ppd",
        ppds + "/vormel-300dpi.ppd", ppds + "/vormel-600dpi.ppd",
        s.stage + VORMEL_INSTALLED_PROGRAM}) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return "not installed: " + path;
    if (st.st_uid != 0 || (st.st_mode & 022) != 0)
      return "installed file not root-owned or group/world-writable: " + path;
  }
  s.vormel = s.stage + VORMEL_INSTALLED_PROGRAM;
  return std::string();
}

// ServerBin of the private scheduler: the system's helpers and filters by
// link, our filter with vormel beside it (copies, so each finds the other).
std::string makeServerBin(Server& s, const std::string& serverBin) {
  mkdir(serverBin.c_str(), 0755);
  for (const char* dir : {"backend", "cgi-bin", "daemon", "driver", "monitor", "notifier"})
    symlink((std::string(VORMEL_CUPS_SERVERBIN) + "/" + dir).c_str(),
            (serverBin + "/" + dir).c_str());
  const std::string filters = serverBin + "/filter";
  mkdir(filters.c_str(), 0755);
  const std::string systemFilters = std::string(VORMEL_CUPS_SERVERBIN) + "/filter";
  for (const std::string& name : listDir(systemFilters))
    if (name != "vormel-cups")
      symlink((systemFilters + "/" + name).c_str(), (filters + "/" + name).c_str());
  if (!copyExecutable(s.stage + VORMEL_INSTALLED_FILTER, filters + "/vormel-cups") ||
      !copyExecutable(s.vormel, filters + "/vormel"))
    return "cannot copy the filter into " + filters;
  return std::string();
}

std::string startServer(Server& s) {
  if (getuid() != 0) return "skip:the private scheduler must run as root to run filters as lp";
  if (!fileExists(CUPSD_PROGRAM)) return "skip:cupsd is not installed (Debian package cups)";
  for (const char* tool : {LP_PROGRAM, LPSTAT_PROGRAM, LPADMIN_PROGRAM, CANCEL_PROGRAM})
    if (!fileExists(tool)) return std::string("skip:") + tool + " is not installed (cups-client)";

  s.root = std::make_unique<ScratchDir>("vcqueue", 0755);
  if (s.root->path.empty()) return "cannot make a scratch directory";
  std::string why = stageInstall(s);
  if (!why.empty()) return why;
  const std::string serverBin = s.root->path + "/serverbin";
  why = makeServerBin(s, serverBin);
  if (!why.empty()) return why;
  Scheduler& scheduler = s.scheduler;
  why = startScheduler(
      {s.root->path, serverBin, VORMEL_CUPS_DATADIR, CUPSD_PROGRAM, LPSTAT_PROGRAM}, scheduler);
  s.host = scheduler.host;
  s.tempDir = scheduler.tempDir;
  s.pageLog = scheduler.pageLog;
  s.errorLog = scheduler.errorLog;
  s.outDir = scheduler.outDir;
  if (!why.empty()) return why;
  // vq is the 300 dpi model; vq203 and vq600 the others.
  for (const auto& queue :
       {std::make_pair("vq", 300), std::make_pair("vq203", 203), std::make_pair("vq600", 600)}) {
    const ChildResult added = client(
        {LPADMIN_PROGRAM, "-p", queue.first, "-E", "-v",
         "file://" + s.outDir + "/" + queue.first + ".prn", "-P",
         s.stage + VORMEL_INSTALLED_PPD_DIR + "/vormel-" + std::to_string(queue.second) + "dpi.ppd",
         "-o", "printer-error-policy=abort-job"});
    if (added.exitStatus != 0) return "lpadmin failed: " + added.out + added.err;
  }
  return std::string();
}

// The queue of a job id ("vq203-12" is on vq203).
std::string queueOf(const std::string& jobId) { return jobId.substr(0, jobId.rfind('-')); }

// What the file: device of a job's queue holds.
std::string deviceOf(const std::string& jobId) {
  return readFile(server->outDir + "/" + queueOf(jobId) + ".prn");
}

void stopServer(Server& s) { stopScheduler(s.scheduler); }

class PrintQueue : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new Server;
    server->failure = startServer(*server);
    if (!server->failure.empty()) stopServer(*server);
  }
  static void TearDownTestSuite() {
    stopServer(*server);
    delete server;
    server = nullptr;
  }
  void SetUp() override {
    if (server->failure.rfind("skip:", 0) == 0) VORMEL_CANNOT_RUN(server->failure.substr(5));
    ASSERT_EQ(server->failure, "");
  }

  // Prints `job` with the lp arguments `args`; returns the job id, "" on failure.
  static std::string print(const std::string& job, const std::vector<std::string>& args,
                           const std::string& queue = "vq") {
    std::vector<std::string> argv = {LP_PROGRAM, "-d", queue};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(job);
    const ChildResult r = client(argv);
    const int number = numberAfter(r.out, "request id is " + queue + "-");
    if (r.exitStatus != 0 || number < 0) {
      ADD_FAILURE() << "lp failed: " << r.out << r.err;
      return std::string();
    }
    return queue + "-" + std::to_string(number);
  }

  // Checks that `jobId` was refused with `message` and sent nothing. The
  // spooler keeps a job whose filter failed and holds its queue, so the job
  // is cancelled and the queue enabled again afterwards.
  static void expectRefused(const std::string& jobId, const std::string& message) {
    const std::string queue = queueOf(jobId);
    std::string status;
    // The job's alert is the marker that its filters have ended.
    waitFor([&] {
      status = client({LPSTAT_PROGRAM, "-l", "-o", queue}).out;
      const size_t at = status.find(jobId + " ");
      return at != std::string::npos &&
             status.find("job-completed-with-errors", at) != std::string::npos;
    });
    // The cause is the job's status, or, when the spooler has put its own
    // "Filter failed" there after the filter's line came in, in its log.
    const bool inStatus = status.find(message) != std::string::npos;
    const bool inLog = readFile(server->scheduler.errorLog).find(message) != std::string::npos;
    EXPECT_TRUE(inStatus || inLog) << jobId << "\n" << status;
    EXPECT_FALSE(client({LPSTAT_PROGRAM, "-W", "completed", "-o", queue}).out.find(jobId + " ") !=
                 std::string::npos)
        << jobId << " completed";
    EXPECT_EQ(deviceOf(jobId), "") << jobId << ": something reached the printer";
    EXPECT_LE(loggedPages(jobId), 0) << jobId;
    client({CANCEL_PROGRAM, jobId});
    client({LPADMIN_PROGRAM, "-p", queue, "-E"});
    EXPECT_TRUE(waitGone(jobId)) << jobId;
  }

  // Waits until `jobId` has left the queue, however it ended.
  static bool waitGone(const std::string& jobId) {
    waitFor([&] {
      return client({LPSTAT_PROGRAM, "-W", "not-completed", "-o", queueOf(jobId)})
                 .out.find(jobId + " ") == std::string::npos;
    });
    return true;
  }

  // Waits until `jobId` has left the queue; true when it completed.
  static bool waitDone(const std::string& jobId) {
    return waitGone(jobId) && client({LPSTAT_PROGRAM, "-W", "completed", "-o", queueOf(jobId)})
                                      .out.find(jobId + " ") != std::string::npos;
  }

  // The page count the page log gives for a job ("... <job number> ... total N ...").
  static int loggedPages(const std::string& jobId) {
    // Lines read "queue user job-number [time] total N ..."; the user is root.
    const std::string number = jobId.substr(jobId.rfind('-') + 1);
    const std::string log = readFile(server->pageLog);
    const size_t line = log.find(queueOf(jobId) + " root " + number + " [");
    if (line == std::string::npos) return -1;
    const size_t close = log.find("] ", line);
    return close == std::string::npos ? -1 : numberAfter(log, "] total ", close);
  }

  // What vormel writes for `jobText` and `words`, run by hand.
  static std::string vormelStream(const std::string& jobText,
                                  const std::vector<std::string>& words) {
    ScratchDir dir("vcexpect", 0755);
    writeFile(dir.path + "/job.ps", jobText);
    std::vector<std::string> argv = {server->vormel};
    argv.insert(argv.end(), words.begin(), words.end());
    const ChildResult r = runChild(commandSpec(argv, {{"TMPDIR", dir.path}}, dir.path + "/job.ps"));
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    // Never compare two empty or broken streams with each other.
    EXPECT_EQ(r.out.rfind("!QXR_SETUP\r\n", 0), 0u) << r.err;
    EXPECT_GE(countLines(r.out, "PRINT\r"), 1);
    return r.out;
  }
};

// The job as the front end feeds it to vormel for `page`.
std::string preparedJob(const std::string& job, const LabelPage& page) {
  return labelProlog(page) + job + (job.empty() || job.back() == '\n' ? "" : "\n") +
         labelTrailer(page);
}

LabelPage label(double width, double length, int dpi, int rotation = 0) {
  LabelPage page;
  page.sizeName = "label";
  page.width = width;
  page.length = length;
  page.resolution = dpi;
  page.rotation = rotation;
  return page;
}

// A printer stream read with the inspector's parser, with every page image
// decoded.
struct Printed {
  bool valid = false;
  std::string error;
  JobReport report;
  std::vector<PcxImage> images;
};

Printed readPrinted(const std::string& stream) {
  Printed p;
  StreamError error;
  std::vector<PcxImage>* images = &p.images;
  const auto sink = [images](const PageInfo&, const std::vector<uint8_t>& image,
                             std::string* message) {
    PcxImage pcx;
    if (!readPcx(image.data(), image.size(), &pcx, message)) return false;
    images->push_back(std::move(pcx));
    return true;
  };
  p.valid = parseJobStream(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(),
                           &p.report, &error, sink);
  if (!p.valid) p.error = "at byte " + std::to_string(error.offset) + ": " + error.message;
  return p;
}

// Black pixels in scan line `row` of a decoded page image.
int blackInRow(const PcxImage& image, int row) {
  int count = 0;
  const uint8_t* line = image.lines.data() + size_t(row) * size_t(image.bytesPerLine);
  for (int x = 0; x < image.width; ++x) {
    const bool set = (line[x / 8] >> (7 - x % 8)) & 1;
    if (set != image.oneIsWhite) ++count;
  }
  return count;
}

// Checks that every page of `stream` is `widthDots` x `lengthDots` and that
// the stream announces the label of `width` x `length` thousandths of an inch.
void expectLabel(const std::string& stream, int widthDots, int lengthDots, int width, int length,
                 int pages, const std::string& what) {
  const Printed p = readPrinted(stream);
  ASSERT_TRUE(p.valid) << what << ": " << p.error;
  EXPECT_EQ(p.report.engineWidth, width) << what;
  EXPECT_EQ(p.report.engineLength, length) << what;
  ASSERT_EQ(int(p.images.size()), pages) << what;
  for (const PcxImage& image : p.images) {
    EXPECT_EQ(image.width, widthDots) << what;
    EXPECT_EQ(image.height, lengthDots) << what;
  }
}

struct ChoiceRow {
  std::string queue;
  std::vector<std::string> lpArgs;
  std::vector<std::string> words;
  LabelPage page;
};

TEST_F(PrintQueue, device_gets_exactly_vormels_stream_for_the_chosen_settings) {
  const std::string job = readFile(kJobs + "/label.ps");
  const ChoiceRow rows[] = {
      {"vq", {}, {}, label(288, 432, 300)},
      // A title that is an option word must change nothing.
      {"vq",
       {"-t", "-raw", "-o", "MediaHandling=CutLabel", "-o", "LabelsPerCut=3", "-o", "Sensing=Gap",
        "-o", "PrintSpeed=6"},
       {"-cutlabel", "-labelpercut", "3", "-gap", "-speed", "6"},
       label(288, 432, 300)},
      {"vq",
       {"-t", "-debug", "-o", "MediaHandling=CutJob", "-o", "MediaType=DirectThermal", "-o",
        "PauseMode=Batch", "-o", "BatchSize=5", "-o", "SlashZero=On", "-o", "Darkness=12", "-o",
        "TearOffset=-5", "-o", "SlewSpeed=8"},
       {"-cutjob", "-dt", "-batchpause", "-batchsize", "5", "-slashzero", "-slew", "8",
        "-intensity", "12", "-tearoffset", "-5"},
       label(288, 432, 300)},
      {"vq203",
       {"-o", "MediaHandling=Peel", "-o", "PrintOrientation=Inverted", "-o", "MirrorImage=Mirrored",
        "-o", "Rotation=180"},
       {"-peel", "-invertOrient", "-mirrorImage"},
       label(288, 432, 203, 180)},
  };
  for (const ChoiceRow& row : rows) {
    const std::string id = print(kJobs + "/label.ps", row.lpArgs, row.queue);
    ASSERT_FALSE(id.empty());
    ASSERT_TRUE(waitDone(id)) << id << " did not complete\n" << readFile(server->errorLog);
    const std::string expected = vormelStream(preparedJob(job, row.page), row.words);
    EXPECT_EQ(describeDifference(expected, deviceOf(id)), "") << id;
    EXPECT_EQ(loggedPages(id), 1) << readFile(server->pageLog);
  }
}

TEST_F(PrintQueue, each_model_renders_the_label_at_its_own_resolution) {
  struct Row {
    const char* queue;
    int widthDots, lengthDots;
  };
  for (const Row& row :
       {Row{"vq203", 812, 1218}, Row{"vq", 1200, 1800}, Row{"vq600", 2400, 3600}}) {
    const std::string id = print(kJobs + "/label.ps", {}, row.queue);
    ASSERT_TRUE(waitDone(id)) << id;
    expectLabel(deviceOf(id), row.widthDots, row.lengthDots, 4000, 6000, 1, id);
  }
  // A resolution the model does not have is refused, not replaced.
  expectRefused(print(kJobs + "/label.ps", {"-o", "Resolution=600dpi"}, "vq203"),
                "this printer prints at 203 dpi only, not at \"600dpi\"");
}

TEST_F(PrintQueue, page_log_counts_pages_and_copies_are_made_once) {
  const std::string job = readFile(kJobs + "/three_labels.ps");
  const std::string once = vormelStream(preparedJob(job, label(288, 432, 300)), {"-tearoff"});
  const std::string id = print(kJobs + "/three_labels.ps", {"-o", "MediaHandling=TearOff"});
  ASSERT_TRUE(waitDone(id)) << id;
  EXPECT_EQ(describeDifference(once, deviceOf(id)), "");
  EXPECT_EQ(loggedPages(id), 3) << readFile(server->pageLog);

  // Two copies: the spooler repeats the pages, the front end adds none.
  const std::string copies =
      print(kJobs + "/three_labels.ps", {"-n", "2", "-o", "MediaHandling=TearOff"});
  ASSERT_TRUE(waitDone(copies)) << copies;
  const std::string got = deviceOf(copies);
  EXPECT_EQ(countLines(got, "PRINT\r"), 6);
  EXPECT_EQ(loggedPages(copies), 6) << readFile(server->pageLog);
}

TEST_F(PrintQueue, every_label_size_gives_pages_of_that_size_in_dots) {
  struct Row {
    std::string queue;
    std::vector<std::string> args;
    int widthDots, lengthDots, width, length;  // dots; thousandths of an inch
  };
  const Row rows[] = {
      {"vq", {"-o", "landscape"}, 1200, 1800, 4000, 6000},
      {"vq", {"-o", "landscape", "-o", "media=w288h144"}, 1200, 600, 4000, 2000},
      {"vq", {"-o", "orientation-requested=4", "-o", "PageSize=w216h144"}, 900, 600, 3000, 2000},
      {"vq", {"-o", "media=w283h425"}, 1181, 1772, 3930, 5902},
      {"vq203", {"-o", "media=100x150mm"}, 799, 1199, 3930, 5902},
      {"vq", {"-o", "media=4x3in"}, 1200, 900, 4000, 3000},
      {"vq203", {"-o", "media=w72h36"}, 203, 102, 1000, 500},
      {"vq600", {"-o", "media=w288h576"}, 2400, 4800, 4000, 8000},
      // Custom sizes, named in inches, points and millimetres.
      {"vq", {"-o", "PageSize=Custom.3x2in"}, 900, 600, 3000, 2000},
      {"vq203", {"-o", "PageSize=Custom.200x100"}, 564, 282, 2777, 1388},
      {"vq", {"-o", "PageSize=Custom.62x40mm"}, 732, 472, 2444, 1569},
  };
  for (const Row& row : rows) {
    const std::string id = print(kJobs + "/label.ps", row.args, row.queue);
    ASSERT_TRUE(waitDone(id))
        << id << "\n"
        << client({LPSTAT_PROGRAM, "-l", "-p", row.queue, "-o", row.queue}).out;
    expectLabel(deviceOf(id), row.widthDots, row.lengthDots, row.width, row.length, 1, id);
  }
}

TEST_F(PrintQueue, size_the_queue_cannot_print_is_refused_and_nothing_is_sent) {
  struct Row {
    std::vector<std::string> args;
    const char* message;
  };
  const Row rows[] = {
      {{"-o", "PageSize=bogus"}, "the label size \"bogus\" is not known to this printer"},
      {{"-o", "media=iso_a4_210x297mm"},
       "the label size \"iso_a4_210x297mm\" (8.27 x 11.69 in) is not offered"},
      {{"-o", "PageSize=Custom.6x4in"},
       "the custom label size 6 x 4 in is outside what this printer takes"},
  };
  for (const Row& row : rows) expectRefused(print(kJobs + "/label.ps", row.args), row.message);
}

// A 6 x 4 in page printed on a 4 x 6 in label at each rotation. The frame
// along the job's page edge lands on the label's edge when the picture is
// only laid on the label (0 and 180 degrees); turned by 90 or 270 degrees
// it is shrunk to fit, so the label's top and bottom stay blank.
void expectLandscapeOnLabel(const std::string& stream, int rotation, const std::string& what) {
  expectLabel(stream, 1200, 1800, 4000, 6000, 1, what);
  const Printed p = readPrinted(stream);
  if (p.images.size() != 1) return;
  const PcxImage& image = p.images[0];
  const bool turnedAndShrunk = rotation == 90 || rotation == 270;
  for (const int row : {4, 1795}) {
    if (turnedAndShrunk)
      EXPECT_EQ(blackInRow(image, row), 0) << what << " row " << row;
    else
      EXPECT_GT(blackInRow(image, row), 1000)
          << what << " row " << row << ": no frame at the label's edge";
  }
  // Not a blank label: the text is there in the middle.
  int middle = 0;
  for (int row = 700; row < 1100; ++row) middle += blackInRow(image, row);
  EXPECT_GT(middle, 2000) << what;
}

TEST_F(PrintQueue,
       landscape_job_with_its_own_page_size_is_turned_onto_the_label_at_every_rotation) {
  // The job as a PostScript program writes it, and as Ghostscript's ps2write
  // makes it from the same page.
  const std::string ps2write = server->root->path + "/landscape_ps2write.ps";
  const ChildResult made = runChild(
      commandSpec({"/usr/bin/env", "gs", "-q", "-dSAFER", "-dNOPAUSE", "-dBATCH",
                   "-sDEVICE=ps2write", "-sOutputFile=" + ps2write, kJobs + "/landscape_6x4.ps"}));
  ASSERT_EQ(made.exitStatus, 0) << made.err;
  chmod(ps2write.c_str(), 0644);
  for (const std::string& job : {kJobs + "/landscape_6x4.ps", ps2write}) {
    for (const int rotation : {0, 90, 180, 270}) {
      const std::string id = print(
          job,
          {"-o", "Rotation=" + std::string(rotation ? std::to_string(rotation) : "PrinterDefault"),
           "-o", "Sensing=Gap"});
      ASSERT_TRUE(waitDone(id)) << id << "\n" << readFile(server->errorLog);
      const std::string got = deviceOf(id);
      expectLandscapeOnLabel(got, rotation, job + " at " + std::to_string(rotation));
      EXPECT_EQ(readPrinted(got).report.paperLine, "~PAPER;LABELS 2") << id;
    }
  }
}

// Converts `source` with Ghostscript's `device` into `name` in the server's
// directory, readable by the spooler. Returns the path, "" on failure.
std::string convertWithGs(const std::string& device, const std::string& source,
                          const std::string& name, const std::vector<std::string>& extra = {}) {
  const std::string out = server->root->path + "/" + name;
  std::vector<std::string> argv = {
      "/usr/bin/env",       "gs", "-q", "-dSAFER", "-dNOPAUSE", "-dBATCH", "-sDEVICE=" + device,
      "-sOutputFile=" + out};
  argv.insert(argv.end(), extra.begin(), extra.end());
  argv.push_back(source);
  const ChildResult made = runChild(commandSpec(argv));
  EXPECT_EQ(made.exitStatus, 0) << device << " " << source << "\n" << made.err;
  chmod(out.c_str(), 0644);
  return made.exitStatus == 0 ? out : std::string();
}

// The filters the scheduler started for `jobId`, in order, by name.
std::vector<std::string> filtersOf(const std::string& jobId) {
  const std::string tag = "[Job " + jobId.substr(jobId.rfind('-') + 1) + "] Started filter ";
  const std::string log = readFile(server->errorLog);
  std::vector<std::string> names;
  for (size_t at = log.find(tag); at != std::string::npos; at = log.find(tag, at + 1)) {
    const size_t path = at + tag.size();
    const std::string program = log.substr(path, log.find(' ', path) - path);
    names.push_back(program.substr(program.rfind('/') + 1));
  }
  return names;
}

std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

// Ink in the upper and the lower half of a page image.
std::pair<long, long> inkByHalf(const PcxImage& image) {
  std::pair<long, long> halves{0, 0};
  for (int row = 0; row < image.height; ++row)
    (row < image.height / 2 ? halves.first : halves.second) += blackInRow(image, row);
  return halves;
}

TEST_F(PrintQueue,
       pdf_and_image_jobs_are_rendered_once_on_pages_of_the_label_size_with_the_chosen_settings) {
  const std::string labelPdf = convertWithGs("pdfwrite", kJobs + "/label.ps", "label.pdf");
  const std::string threePdf =
      convertWithGs("pdfwrite", kJobs + "/three_labels.ps", "three_labels.pdf");
  const std::string landscapePdf =
      convertWithGs("pdfwrite", kJobs + "/landscape_6x4.ps", "landscape_6x4.pdf");
  const std::string png = convertWithGs("pnggray", kJobs + "/label.ps", "label.png", {"-r100"});
  ASSERT_FALSE(labelPdf.empty() || threePdf.empty() || landscapePdf.empty() || png.empty());
  const bool imagesConvert = fileExists(std::string(VORMEL_CUPS_SERVERBIN) + "/filter/imagetopdf");

  struct Row {
    std::string job;
    std::string queue;
    std::vector<std::string> lpArgs;
    std::vector<std::string> words;  // the settings' words, as vormel is given them for PostScript
    const char* chain;               // the filters the scheduler runs
    int pages;
    int dpi, widthDots, lengthDots, width, length;  // dots per inch; dots; thousandths of an inch
  };
  const Row rows[] = {
      {labelPdf, "vq", {}, {}, "pdftopdf vormel-cups", 1, 300, 1200, 1800, 4000, 6000},
      {labelPdf,
       "vq203",
       {"-o", "MediaHandling=Peel", "-o", "Sensing=Gap", "-o", "SlashZero=On", "-o", "Darkness=12"},
       {"-peel", "-gap", "-slashzero", "-intensity", "12"},
       "pdftopdf vormel-cups",
       1,
       203,
       812,
       1218,
       4000,
       6000},
      {threePdf,
       "vq600",
       {"-o", "MediaHandling=TearOff", "-o", "PrintSpeed=4"},
       {"-tearoff", "-speed", "4"},
       "pdftopdf vormel-cups",
       3,
       600,
       2400,
       3600,
       4000,
       6000},
      {threePdf,
       "vq",
       {"-o", "media=w288h144", "-o", "MediaType=DirectThermal"},
       {"-dt"},
       "pdftopdf vormel-cups",
       3,
       300,
       1200,
       600,
       4000,
       2000},
      // Copies are made by the PDF filter, once.
      {threePdf, "vq203", {"-n", "2"}, {}, "pdftopdf vormel-cups", 6, 203, 812, 1218, 4000, 6000},
      // A 6 x 4 in page on the 4 x 6 in label: turned onto it by the PDF filter.
      {landscapePdf,
       "vq",
       {"-o", "Sensing=Mark"},
       {"-mark"},
       "pdftopdf vormel-cups",
       1,
       300,
       1200,
       1800,
       4000,
       6000},
      {png,
       "vq203",
       {"-o", "MediaHandling=CutLabel", "-o", "PageSize=w216h144"},
       {"-cutlabel"},
       "imagetopdf vormel-cups",
       1,
       203,
       609,
       406,
       3000,
       2000},
  };
  for (const Row& row : rows) {
    if (row.job == png && !imagesConvert) {
      ADD_FAILURE() << "no imagetopdf filter in " << VORMEL_CUPS_SERVERBIN << " (cups-filters)";
      continue;
    }
    const std::string id = print(row.job, row.lpArgs, row.queue);
    ASSERT_TRUE(waitDone(id)) << id << "\n" << readFile(server->errorLog);
    EXPECT_EQ(joined(filtersOf(id)), row.chain) << id;
    const std::string got = deviceOf(id);
    expectLabel(got, row.widthDots, row.lengthDots, row.width, row.length, row.pages, id);
    EXPECT_EQ(loggedPages(id), row.pages) << id << "\n" << readFile(server->pageLog);
    // The settings: the same paper line and configuration as for a PostScript job with these words.
    const LabelPage page = label(row.width * 0.072, row.length * 0.072, row.dpi);
    const Printed expected =
        readPrinted(vormelStream(preparedJob(readFile(kJobs + "/label.ps"), page), row.words));
    const Printed p = readPrinted(got);
    EXPECT_EQ(p.report.paperLine, expected.report.paperLine) << id;
    EXPECT_EQ(p.report.slashZero, expected.report.slashZero) << id;
    EXPECT_EQ(p.report.controlChar, expected.report.controlChar) << id;
    EXPECT_TRUE(p.report.complete) << id;
    // Not blank labels.
    for (const PcxImage& image : p.images) {
      const auto ink = inkByHalf(image);
      EXPECT_GT(ink.first + ink.second, 1000) << id << ": a blank label";
    }
  }
}

TEST_F(PrintQueue,
       pdf_job_is_turned_half_round_and_refused_a_quarter_turn_on_a_label_that_is_not_square) {
  const std::string labelPdf = convertWithGs("pdfwrite", kJobs + "/label.ps", "label_turned.pdf");
  const std::string landscapePdf =
      convertWithGs("pdfwrite", kJobs + "/landscape_6x4.ps", "landscape_turned.pdf");
  ASSERT_FALSE(labelPdf.empty() || landscapePdf.empty());
  // The label job's heading is in its upper half; turned half round, in its lower half.
  std::pair<long, long> upright{0, 0};
  for (const int rotation : {0, 180}) {
    const std::string id = print(
        labelPdf, {"-o", "Rotation=" + std::string(rotation ? "180" : "PrinterDefault")}, "vq203");
    ASSERT_TRUE(waitDone(id)) << id << "\n" << readFile(server->errorLog);
    const std::string got = deviceOf(id);
    expectLabel(got, 812, 1218, 4000, 6000, 1, id);
    const Printed p = readPrinted(got);
    ASSERT_EQ(p.images.size(), 1u) << id;
    const auto ink = inkByHalf(p.images[0]);
    if (rotation == 0) {
      upright = ink;
      EXPECT_GT(ink.second, ink.first * 2) << id;
    } else {
      EXPECT_NEAR(double(ink.first), double(upright.second), upright.second * 0.02) << id;
      EXPECT_NEAR(double(ink.second), double(upright.first), upright.first * 0.02) << id;
    }
  }
  for (const int rotation : {0, 180}) {
    const std::string id =
        print(landscapePdf, {"-o", "Rotation=" + std::string(rotation ? "180" : "PrinterDefault")});
    ASSERT_TRUE(waitDone(id)) << id << "\n" << readFile(server->errorLog);
    expectLandscapeOnLabel(deviceOf(id), rotation,
                           landscapePdf + " at " + std::to_string(rotation));
  }
  // The spooler's PDF filter turns and shrinks the page when the job asks:
  // the same label as a PostScript job turned by 90 degrees.
  const std::string ps = print(kJobs + "/label.ps", {"-o", "Rotation=90"}, "vq203");
  const std::string pdf =
      print(labelPdf,
            {"-o", "orientation-requested=4", "-o", "nopdfAutoRotate", "-o", "print-scaling=fit"},
            "vq203");
  ASSERT_TRUE(waitDone(ps) && waitDone(pdf)) << ps << " " << pdf;
  const Printed fromPs = readPrinted(deviceOf(ps)), fromPdf = readPrinted(deviceOf(pdf));
  ASSERT_EQ(fromPs.images.size(), 1u);
  ASSERT_EQ(fromPdf.images.size(), 1u);
  ASSERT_EQ(fromPdf.images[0].width, fromPs.images[0].width);
  ASSERT_EQ(fromPdf.images[0].height, fromPs.images[0].height);
  long differing = 0, black = 0;
  for (int row = 0; row < fromPs.images[0].height; ++row) {
    black += blackInRow(fromPs.images[0], row);
    differing += std::labs(blackInRow(fromPs.images[0], row) - blackInRow(fromPdf.images[0], row));
  }
  EXPECT_EQ(blackInRow(fromPdf.images[0], 4), 0) << "not shrunk to fit";
  EXPECT_LT(differing, black / 50)
      << "the PDF turned by the spooler is not the PostScript turned by 90 degrees";

  for (const int rotation : {90, 270})
    expectRefused(print(labelPdf, {"-o", "Rotation=" + std::to_string(rotation)}),
                  "a PDF job is not turned by " + std::to_string(rotation) +
                      " degrees on a label that is not square (4 x 6 in)");
}

TEST_F(PrintQueue, broken_pdf_sends_nothing_and_the_job_reports_an_error) {
  struct Row {
    const char* name;
    const char* bytes;
    const char* message;  // in the job's status once its filters have ended
  };
  const Row rows[] = {
      // The spooler's PDF filter cannot read it: the spooler marks the job.
      {"broken.pdf",
       "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\nnot a PDF body\n%%EOF\n",
       "Alerts: job-completed-with-errors"},
      // Repaired by the PDF filter into a document without pages: vormel renders none.
      {"no_pages.pdf",
       "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n2 0 obj\n<< /Type /Pages "
       "/Kids [] /Count 0 >>\n"
       "endobj\ntrailer\n<< /Root 1 0 R /Size 3 >>\n%%EOF\n",
       "Ghostscript rendered no page"},
  };
  for (const Row& row : rows) {
    const std::string path = server->root->path + "/" + row.name;
    writeFile(path, row.bytes);
    expectRefused(print(path, {}), row.message);
  }
}

// Ink in the left and right halves of the upper and of the lower half of a
// page image: where a mark in one corner has gone.
std::vector<long> inkByQuarter(const PcxImage& image) {
  std::vector<long> quarters(4, 0);
  for (int row = 0; row < image.height; ++row) {
    const uint8_t* line = image.lines.data() + size_t(row) * size_t(image.bytesPerLine);
    for (int x = 0; x < image.width; ++x)
      if (((line[x / 8] >> (7 - x % 8)) & 1) != image.oneIsWhite)
        ++quarters[(row < image.height / 2 ? 0 : 2) + (x < image.width / 2 ? 0 : 1)];
  }
  return quarters;
}

TEST_F(PrintQueue, turned_picture_on_a_square_label_keeps_its_size_for_postscript_and_pdf_alike) {
  // On a 4 x 4 in label a quarter turn needs no shrinking: the frame of a
  // square job stays on the label's edge, and the block in its lower left
  // corner goes the same way whether the job is PostScript or PDF.
  const std::string path = server->root->path + "/square.ps";
  writeFile(path,
            "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 288 288\n%%Pages: 1\n%%EndComments\n"
            "<< /PageSize [288 288] >> setpagedevice\n%%Page: 1 1\n"
            "4 setlinewidth 2 2 284 284 rectstroke 20 20 80 40 rectfill showpage\n%%EOF\n");
  const std::string pdf = convertWithGs("pdfwrite", path, "square.pdf");
  ASSERT_FALSE(pdf.empty());
  for (const int rotation : {90, 270}) {
    std::vector<std::vector<long>> quarters;
    for (const std::string& job : {path, pdf}) {
      const std::string id =
          print(job, {"-o", "PageSize=w288h288", "-o", "Rotation=" + std::to_string(rotation)});
      ASSERT_TRUE(waitDone(id)) << id;
      const std::string got = deviceOf(id);
      expectLabel(got, 1200, 1200, 4000, 4000, 1, id);
      const Printed p = readPrinted(got);
      ASSERT_EQ(p.images.size(), 1u);
      EXPECT_GT(blackInRow(p.images[0], 4), 1000) << id;
      EXPECT_GT(blackInRow(p.images[0], 1195), 1000) << id;
      quarters.push_back(inkByQuarter(p.images[0]));
    }
    for (size_t q = 0; q < 4; ++q)
      EXPECT_NEAR(double(quarters[1][q]), double(quarters[0][q]), quarters[0][q] * 0.02 + 100)
          << "quarter " << q << " at " << rotation;
  }
}

TEST_F(PrintQueue, self_test_command_prints_one_label_of_the_queues_size_and_clean_is_refused) {
  const std::string selfTest = server->root->path + "/selftest.cmd";
  writeFile(selfTest, "#CUPS-COMMAND\nPrintSelfTestPage\n");
  struct Row {
    std::string queue;
    std::vector<std::string> args;
    int widthDots, lengthDots, width, length;
    const char* paperLine;
  };
  const Row rows[] = {
      {"vq", {}, 1200, 1800, 4000, 6000, ""},
      {"vq203",
       {"-o", "PageSize=w144h72", "-o", "MediaHandling=Peel"},
       406,
       203,
       2000,
       1000,
       "~PAPER;MEDIA 3"},
  };
  for (const Row& row : rows) {
    const std::string id = print(selfTest, row.args, row.queue);
    ASSERT_TRUE(waitDone(id)) << id << "\n" << readFile(server->errorLog);
    const std::string got = deviceOf(id);
    expectLabel(got, row.widthDots, row.lengthDots, row.width, row.length, 1, id);
    const Printed p = readPrinted(got);
    ASSERT_EQ(p.images.size(), 1u);
    EXPECT_GT(blackInRow(p.images[0], 2), row.widthDots / 2) << id << ": no frame";
    EXPECT_EQ(p.report.paperLine, row.paperLine) << id;
    EXPECT_EQ(loggedPages(id), 1) << readFile(server->pageLog);
  }

  const std::string clean = server->root->path + "/clean.cmd";
  writeFile(clean, "#CUPS-COMMAND\nClean all\n");
  expectRefused(print(clean, {}),
                "this printer has no command \"Clean\"; it offers only PrintSelfTestPage");
}

TEST_F(PrintQueue, cancelled_long_job_leaves_no_job_file_behind) {
  // A long job: 40 labels at 600 dpi.
  std::string job =
      "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 288 432\n%%Pages: 40\n%%EndComments\n"
      "<< /PageSize [288 432] >> setpagedevice\n";
  for (int page = 1; page <= 40; ++page)
    job += "%%Page: " + std::to_string(page) + " " + std::to_string(page) +
           "\n0 1 60 { 4 mul 10 add 10 moveto 0 400 rlineto 1.5 setlinewidth stroke } for\n"
           "/Helvetica findfont 30 scalefont setfont 40 200 moveto (" +
           std::to_string(page) + ") show showpage\n";
  job += "%%EOF\n";
  const std::string path = server->root->path + "/long.ps";
  writeFile(path, job);
  const std::vector<std::string> before = listDir(server->tempDir);

  const std::string id = print(path, {}, "vq600");
  ASSERT_FALSE(id.empty());
  // Cancel once vormel is at work (its files have appeared in the spooler's TempDir).
  std::vector<std::string> during;
  waitFor([&] {
    during = listDir(server->tempDir);
    return during != before ||
           client({LPSTAT_PROGRAM, "-W", "not-completed", "-o", queueOf(id)}).out.find(id + " ") ==
               std::string::npos;
  });
  ASSERT_NE(during, before) << "vormel never started";
  // The capture file of the run is named after the base name of its page images.
  std::vector<std::string> captures;
  for (const std::string& name : during)
    if (name.rfind("vdq", 0) == 0 && name.find('_') != std::string::npos)
      captures.push_back("/tmp/In_" + name.substr(0, name.find('_')) + ".ps");
  EXPECT_EQ(client({CANCEL_PROGRAM, id}).exitStatus, 0);

  // The scheduler lists the job as ended before its filters have finished:
  // the job's files going is the marker that vormel has ended.
  waitGone(id);
  waitFor([&] { return listDir(server->tempDir) == before; });
  EXPECT_EQ(listDir(server->tempDir), before) << "job files left behind";
  for (const std::string& capture : captures) EXPECT_FALSE(fileExists(capture)) << capture;
  const std::string got = deviceOf(id);
  if (!got.empty()) {  // whatever reached the printer ends with the trailer
    ASSERT_GE(got.size(), strlen(kTrailer));
    EXPECT_EQ(got.substr(got.size() - strlen(kTrailer)), kTrailer);
  }
}

}  // namespace
