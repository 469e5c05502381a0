// The printer application end to end: a server on a loopback port with two
// printers on file devices, driven by ipptool as an IPP Everywhere client.
// What each job leaves on its device is read with the stream parser and set
// against what vormel writes for the same job (a PostScript job laid on the
// label as the spooler front end lays it), or, for raster jobs, against
// Ghostscript's own PCX image of the same page.
#include <arpa/inet.h>
#include <cups/cups.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app_server.h"
#include "cups_test_support.h"
#include "inspect/job_stream_parser.h"
#include "inspect/label_fit.h"
#include "inspect/pcx_reader.h"
#include "label_page.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

const std::string kIppTests = std::string(VORMEL_SOURCE_DIR) + "/tests/printer_app/ipp";
const std::string kJobs = std::string(VORMEL_SOURCE_DIR) + "/tests/cups/jobs";

// The server for all tests of this file: started once, stopped at the end.
AppServer* server = nullptr;

std::string printerUri(const std::string& printer) {
  return "ipp://" + server->host + "/ipp/print/" + printer;
}

ChildResult runIppTool(const std::string& uri, const std::string& testFile,
                       const std::vector<std::string>& options) {
  std::vector<std::string> argv = {IPPTOOL, "-t", "-T", "60"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(uri);
  argv.push_back(kIppTests + "/" + testFile);
  return runChild(commandSpec(argv));
}

// ipptool ran its test file through and every test in it passed (it exits
// with 0 also when it cannot read the file).
bool ippPassed(const ChildResult& r) {
  return r.exitStatus == 0 && r.out.find("[PASS]") != std::string::npos &&
         r.out.find("[FAIL]") == std::string::npos && r.err.find("ipptool:") == std::string::npos;
}

ChildResult runApp(const std::vector<std::string>& args) { return ::runApp(*server, args); }

std::string gsRender(const std::string& job, const char* device, int dpi, const std::string& out) {
  const ChildResult r = runChild(commandSpec(
      {"/usr/bin/gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER", std::string("-sDEVICE=") + device,
       "-r" + std::to_string(dpi), "-sOutputFile=" + out, job}));
  return r.exitStatus == 0 ? std::string() : "gs " + std::string(device) + " failed: " + r.err;
}

// Starts the server before the first test and stops it after the last.
::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new AppServerEnvironment(&server, "papp", {203, 300, 600}));

class PrinterApp : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(server->problem, ""); }
};

// ---- the printer's attributes ----------------------------------------------

TEST_F(PrinterApp, each_model_advertises_its_resolution_label_settings_and_formats) {
  for (const char* dpi : {"203", "300", "600"}) {
    const ChildResult r = runIppTool(printerUri(std::string("label") + dpi),
                                     "label-attributes.test", {"-d", std::string("dpi=") + dpi});
    EXPECT_TRUE(ippPassed(r)) << r.out << r.err;
  }
}

// The sizes of the printer description, in points.
std::vector<std::pair<double, double>> ppdSizes() {
  std::vector<std::pair<double, double>> sizes;
  const std::string ppd = readFile(std::string(VORMEL_PPD_DIR) + "/vormel-300dpi.ppd");
  for (size_t at = ppd.find("*PaperDimension "); at != std::string::npos;
       at = ppd.find("*PaperDimension ", at + 1)) {
    double w = 0, l = 0;
    if (sscanf(ppd.c_str() + ppd.find('"', at), "\"%lf %lf\"", &w, &l) == 2)
      sizes.push_back({w, l});
  }
  return sizes;
}

TEST_F(PrinterApp, offers_the_label_sizes_of_the_printer_description) {
  const ChildResult r =
      runIppTool(printerUri("label300"), "label-attributes.test", {"-d", "dpi=300"});
  const size_t at = r.out.find("media-supported (1setOf keyword) = ");
  ASSERT_NE(at, std::string::npos) << r.out;
  const size_t from = at + strlen("media-supported (1setOf keyword) = ");
  const std::string list = r.out.substr(from, r.out.find('\n', from) - from);
  std::vector<std::pair<double, double>> offered;
  int custom = 0;
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string name = list.substr(start, end - start);
    start = end + 1;
    if (name.rfind("custom_", 0) == 0) {
      ++custom;
      continue;
    }
    const pwg_media_t* media = pwgMediaForPWG(name.c_str());
    ASSERT_NE(media, nullptr) << name;
    offered.push_back({media->width * 72.0 / 2540, media->length * 72.0 / 2540});
  }
  EXPECT_EQ(custom, 2);

  // One offered size for each size of the description, the same within the
  // rounding of either (two decimals of a point, hundredths of a millimetre).
  const std::vector<std::pair<double, double>> described = ppdSizes();
  ASSERT_FALSE(described.empty());
  EXPECT_EQ(offered.size(), described.size());
  for (const auto& size : described) {
    int matches = 0;
    for (const auto& o : offered)
      if (std::fabs(o.first - size.first) < 0.02 && std::fabs(o.second - size.second) < 0.02)
        ++matches;
    EXPECT_EQ(matches, 1) << size.first << " x " << size.second << " pt";
  }
}

// ---- jobs ------------------------------------------------------------------

// How a job's stream is checked beyond its settings, size and fit: against
// vormel's stream for the job, against Ghostscript's PCX image of the page,
// against the job itself; a lossy image (JPEG) by those alone; a refused job
// by its message and an empty device.
enum class Oracle { VormelStream, GhostscriptImage, SameBytes, LabelOnly, Refused };

struct JobRow {
  const char* claim;
  const char* printer;  // label203 or label300
  int dpi;
  const char* source;  // a PostScript job of tests/cups/jobs
  const char* format;  // what it is sent as, made from the source when not PostScript;
                       // "image/png;grey" is an 8-bit grey PNG, "image/png" a 1-bit one, a
                       // printer stream is what vormel writes for the source with `words`
  const char* media;
  const char* tracking;
  int darkness, speed;  // print-darkness, print-speed
  int copies;
  int pages;  // pages printed, every copy counted
  const char* paperLine;
  const char* words;      // the option words vormel is run with for the job
  int32_t width, length;  // label in thousandths of an inch
  Oracle oracle;
  const char* message;  // for a refused job: part of its job-state-message
};

const JobRow kJobRows[] = {
    {"pdf_job_is_what_vormel_writes_for_it", "label300", 300, "three_labels.ps", "application/pdf",
     "oe_4x6in_4x6in", "gap", 0, 0, 1, 3, "~PAPER;INTENSITY 15;LABELS 2", "-gap -intensity 15",
     4000, 6000, Oracle::VormelStream, ""},
    {"postscript_job_is_what_vormel_writes_for_it", "label203", 203, "label.ps",
     "application/postscript", "om_100x150mm_100x150mm", "continuous", 0, 5080, 1, 1,
     "~PAPER;INTENSITY 15;LABELS 0;SPEED IPS 2", "-nogap -speed 2 -intensity 15", 3930, 5902,
     Oracle::VormelStream, ""},
    {"pdf_copies_are_whole_streams_one_after_the_other", "label300", 300, "three_labels.ps",
     "application/pdf", "oe_4x6in_4x6in", "gap", 0, 0, 2, 6, "~PAPER;INTENSITY 15;LABELS 2",
     "-gap -intensity 15", 4000, 6000, Oracle::VormelStream, ""},
    {"png_copies_are_pages_of_one_stream", "label300", 300, "label.ps", "image/png;grey",
     "oe_4x6in_4x6in", "gap", 0, 0, 2, 2, "~PAPER;INTENSITY 15;LABELS 2", "", 4000, 6000,
     Oracle::GhostscriptImage, ""},
    {"one_bit_png_job_page_is_the_bitmap_ghostscript_renders", "label300", 300, "label.ps",
     "image/png", "oe_4x6in_4x6in", "mark", 20, 7620, 1, 1,
     "~PAPER;INTENSITY 21;LABELS 1;SPEED IPS 3", "", 4000, 6000, Oracle::GhostscriptImage, ""},
    {"grey_png_job_page_is_the_bitmap_ghostscript_renders", "label300", 300, "label.ps",
     "image/png;grey", "oe_4x6in_4x6in", "gap", 0, 0, 1, 1, "~PAPER;INTENSITY 15;LABELS 2", "",
     4000, 6000, Oracle::GhostscriptImage, ""},
    {"jpeg_job_is_one_label_of_the_chosen_size", "label300", 300, "label.ps", "image/jpeg",
     "oe_4x6in_4x6in", "gap", 0, 0, 1, 1, "~PAPER;INTENSITY 15;LABELS 2", "", 4000, 6000,
     Oracle::LabelOnly, ""},
    {"pwg_raster_job_page_is_the_bitmap_ghostscript_renders", "label300", 300, "label.ps",
     "image/pwg-raster", "oe_4x6in_4x6in", "gap", -50, 0, 1, 1, "~PAPER;INTENSITY 0;LABELS 2", "",
     4000, 6000, Oracle::GhostscriptImage, ""},
    {"finished_printer_stream_goes_out_unchanged", "label203", 203, "three_labels.ps",
     "application/vnd.vormel-label", "oe_4x6in_4x6in", "gap", 0, 0, 1, 3,
     "~PAPER;LABELS 1;SPEED IPS 4", "-mark -speed 4", 4000, 6000, Oracle::SameBytes, ""},
    {"job_without_pages_is_aborted_naming_the_cause", "label300", 300, "", "application/postscript",
     "oe_4x6in_4x6in", "gap", 0, 0, 1, 0, "", "", 0, 0, Oracle::Refused,
     "Ghostscript rendered no page"},
};

void PrintTo(const JobRow& row, std::ostream* os) { *os << row.claim; }

// What vormel writes for `job` on the label `mediaName` at `dpi` with the
// option words `words` (separated by spaces): the job followed by the lines
// announcing the label, a PostScript job laid on the label first as the
// spooler front end lays it. Sets `problem` when vormel fails.
std::string vormelStream(const std::string& job, bool postScript, const char* mediaName, int dpi,
                         const std::string& words, const std::string& scratch,
                         std::string& problem) {
  const pwg_media_t* media = pwgMediaForPWG(mediaName);
  if (media == nullptr) {
    problem = std::string("unknown media ") + mediaName;
    return std::string();
  }
  LabelPage label;
  label.width = media->width * 72.0 / 2540;
  label.length = media->length * 72.0 / 2540;
  label.resolution = dpi;
  const std::string input = scratch + "/vormel-input";
  writeFile(input, (postScript ? labelProlog(label) : std::string()) + readFile(job) + "\n" +
                       labelTrailer(label));
  std::vector<std::string> argv = {VORMEL_BIN};
  for (size_t at = 0; at < words.size();) {
    size_t end = words.find(' ', at);
    if (end == std::string::npos) end = words.size();
    argv.push_back(words.substr(at, end - at));
    at = end + 1;
  }
  const ChildResult direct = runChild(commandSpec(argv, {{"TMPDIR", scratch}}, input));
  if (direct.exitStatus != 0) problem = "vormel failed: " + direct.err;
  return direct.out;
}

// Every page image has a resolution and lies within the announced label.
void expectPagesFitTheLabel(const PrintedStream& p) {
  ASSERT_EQ(p.images.size(), p.report.pageCount);
  for (size_t i = 0; i < p.images.size(); ++i) {
    PcxImage image;
    std::string message;
    ASSERT_TRUE(readPcxHeader(reinterpret_cast<const uint8_t*>(p.images[i].data()),
                              p.images[i].size(), &image, &message))
        << "page " << i + 1 << ": " << message;
    for (const std::string& fault : findLabelFaults(p.report, image))
      ADD_FAILURE() << "page " << i + 1 << ": " << fault;
  }
}

// The job file the row sends, made in `dir` from its PostScript source.
std::string makeJobFile(const JobRow& row, const std::string& dir, std::string& problem) {
  if (row.source[0] == '\0') {
    writeFile(dir + "/empty.ps", "%!PS-Adobe-3.0\n%%Pages: 0\n%%EOF\n");
    return dir + "/empty.ps";
  }
  const std::string source = kJobs + "/" + row.source;
  const std::string format = row.format;
  if (format == "application/postscript") return source;
  if (format == "application/vnd.vormel-label") {
    const std::string stream =
        vormelStream(source, true, row.media, row.dpi, row.words, dir, problem);
    writeFile(dir + "/job.prn", stream);
    return dir + "/job.prn";
  }
  const char* device = format == "application/pdf"  ? "pdfwrite"
                       : format == "image/png"      ? "pngmono"
                       : format == "image/png;grey" ? "pnggray"
                       : format == "image/jpeg"     ? "jpeggray"
                                                    : "pwgraster";
  const std::string out = dir + "/job." + device;
  problem = gsRender(source, device, row.dpi, out);
  return out;
}

class PrintsJob : public PrinterApp, public ::testing::WithParamInterface<JobRow> {};

TEST_P(PrintsJob, device_receives_the_expected_stream) {
  const JobRow& row = GetParam();
  ScratchDir work("pjob", 0755);
  std::string problem;
  const std::string job = makeJobFile(row, work.path, problem);
  ASSERT_EQ(problem, "");

  const bool refused = row.oracle == Oracle::Refused;
  std::vector<std::string> speed;
  if (row.speed > 0) speed = {"-d", "speed=" + std::to_string(row.speed)};
  const std::string format = std::string(row.format).substr(0, std::string(row.format).find(';'));
  std::vector<std::string> options = {"-f", job,
                                      "-d", "format=" + format,
                                      "-d", std::string("media=") + row.media,
                                      "-d", std::string("tracking=") + row.tracking,
                                      "-d", "darkness=" + std::to_string(row.darkness),
                                      "-d", std::string("name=") + row.claim,
                                      "-d", "pages=" + std::to_string(row.pages),
                                      "-d", "copies=" + std::to_string(row.copies),
                                      "-d", refused ? "state=8" : "state=9"};
  options.insert(options.end(), speed.begin(), speed.end());
  const ChildResult r = runIppTool(printerUri(row.printer), "print-label.test", options);
  EXPECT_TRUE(ippPassed(r)) << r.out << r.err;
  const std::string device =
      server->dir->path + "/dev" + std::to_string(row.dpi) + "/" + row.claim + ".prn";
  if (refused) {
    EXPECT_NE(r.out.find(row.message), std::string::npos) << r.out;
    EXPECT_EQ(readFile(device), "");
    return;
  }

  // Copies of a PDF or PostScript job are whole streams one after the other
  // (compared whole below); the first one is read here.
  const std::string printed = readFile(device);
  const int streams = row.oracle == Oracle::VormelStream ? row.copies : 1;
  const PrintedStream p = readPrinted(printed.substr(0, printed.size() / streams));
  ASSERT_TRUE(p.valid) << "byte " << p.error.offset << ": " << p.error.message;
  EXPECT_EQ(p.report.pageCount, static_cast<size_t>(row.pages / streams));
  EXPECT_EQ(p.report.paperLine, row.paperLine);
  EXPECT_EQ(p.report.engineWidth, row.width);
  EXPECT_EQ(p.report.engineLength, row.length);
  expectPagesFitTheLabel(p);

  if (row.oracle == Oracle::VormelStream) {
    std::string why;
    const std::string expected =
        vormelStream(job, std::string(row.format) == "application/postscript", row.media, row.dpi,
                     row.words, work.path, why);
    ASSERT_EQ(why, "");
    std::string copies;
    for (int copy = 0; copy < row.copies; ++copy) copies += expected;
    EXPECT_EQ(describeDifference(copies, printed), "");
  } else if (row.oracle == Oracle::LabelOnly) {
    // Settings, size, page count and fit are checked above.
  } else if (row.oracle == Oracle::SameBytes) {
    EXPECT_EQ(describeDifference(readFile(job), printed), "");
  } else {
    const std::string expected = work.path + "/expected.pcx";
    ASSERT_EQ(gsRender(kJobs + "/" + row.source, "pcxmono", row.dpi, expected), "");
    ASSERT_EQ(p.images.size(), static_cast<size_t>(row.pages));
    for (const std::string& image : p.images)
      EXPECT_EQ(describeDifference(readFile(expected), image), "");
  }
}

INSTANTIATE_TEST_SUITE_P(Jobs, PrintsJob, ::testing::ValuesIn(kJobRows),
                         [](const ::testing::TestParamInfo<JobRow>& row) {
                           return row.param.claim;
                         });

TEST_F(PrinterApp, cancelled_held_job_sends_nothing_to_the_printer) {
  const ChildResult r =
      runIppTool(printerUri("label300"), "cancel-held-job.test",
                 {"-f", kJobs + "/label.ps", "-d", "format=application/postscript"});
  EXPECT_TRUE(ippPassed(r)) << r.out << r.err;
  EXPECT_FALSE(fileExists(server->dir->path + "/dev300/held.prn"));
}

// ---- a CUPS queue set up driverless -----------------------------------------

// A private scheduler makes a queue with "lpadmin -m everywhere" from what the
// printer advertises, and a PostScript label printed to it with lp reaches
// the printer as one label of the chosen size.
TEST_F(PrinterApp, cups_prints_to_it_as_a_driverless_queue) {
  if (getuid() != 0)
    VORMEL_CANNOT_RUN("the private scheduler must run as root to run filters as lp");
  for (const char* tool : {CUPSD_PROGRAM, LPADMIN_PROGRAM, LP_PROGRAM, LPSTAT_PROGRAM})
    if (!fileExists(tool)) VORMEL_CANNOT_RUN(tool << " is not installed (cups, cups-client)");
  ScratchDir root("pappcups", 0755);
  Scheduler cups;
  const std::string why = startScheduler(
      {root.path, CUPS_SERVERBIN, CUPS_DATADIR, CUPSD_PROGRAM, LPSTAT_PROGRAM}, cups);
  struct Stop {
    Scheduler& s;
    ~Stop() { stopScheduler(s); }
  } stop{cups};
  ASSERT_EQ(why, "");
  const Env client = {{"CUPS_SERVER", cups.host}};

  const ChildResult added = runChild(commandSpec(
      {LPADMIN_PROGRAM, "-p", "dq", "-E", "-v", printerUri("label300"), "-m", "everywhere"},
      client));
  ASSERT_EQ(added.exitStatus, 0) << added.out << added.err;
  // The scheduler asks the printer and writes the queue's PPD; the PPD is the marker.
  const std::string ppd = root.path + "/conf/ppd/dq.ppd";
  waitFor([&] { return readFile(ppd).find("*DefaultResolution: 300dpi") != std::string::npos; });
  const std::string description = readFile(ppd);
  ASSERT_NE(description.find("*DefaultResolution: 300dpi"), std::string::npos) << description;
  EXPECT_NE(description.find("*DefaultPageSize: 4x6"), std::string::npos);

  const ChildResult printed = runChild(commandSpec(
      {LP_PROGRAM, "-d", "dq", "-t", "driverless", "-o", "media=4x6", kJobs + "/label.ps"},
      client));
  ASSERT_EQ(printed.exitStatus, 0) << printed.out << printed.err;
  // Done when the scheduler lists the job as completed.
  waitFor([&] {
    return runChild(commandSpec({LPSTAT_PROGRAM, "-W", "not-completed", "-o", "dq"}, client))
               .out.find("dq-1") == std::string::npos;
  });
  const bool completed =
      runChild(commandSpec({LPSTAT_PROGRAM, "-W", "completed", "-o", "dq"}, client))
          .out.find("dq-1") != std::string::npos;
  ASSERT_TRUE(completed) << readFile(cups.errorLog);

  const PrintedStream p = readPrinted(readFile(server->dir->path + "/dev300/driverless.prn"));
  ASSERT_TRUE(p.valid) << "byte " << p.error.offset << ": " << p.error.message;
  EXPECT_EQ(p.report.pageCount, 1u);
  // The queue asks for no darkness, so none is sent: the printer keeps its own.
  EXPECT_EQ(p.report.paperLine, "~PAPER;LABELS 2");
  EXPECT_EQ(p.report.engineWidth, 4000);
  EXPECT_EQ(p.report.engineLength, 6000);
  expectPagesFitTheLabel(p);
}

// ---- the printer's own settings ---------------------------------------------

struct PrinterSettingsRow {
  const char* claim;
  const char* mode;  // label-mode-configured
  int darkness;      // printer-darkness-configured
  const char* paperLine;
  bool cutOnce;  // the cut-once line after the pages
};

const PrinterSettingsRow kPrinterSettingsRows[] = {
    {"peel_off_mode_and_full_darkness", "peel-off", 100, "~PAPER;INTENSITY 30;MEDIA 3;LABELS 2",
     false},
    {"rewind_mode_and_middle_darkness", "rewind", 50, "~PAPER;INTENSITY 15;MEDIA 5;LABELS 2",
     false},
    {"tear_off_mode_and_no_darkness", "tear-off", 0, "~PAPER;INTENSITY 0;MEDIA 2;LABELS 2", false},
    {"cutter_mode_cuts_each_label", "cutter", 50, "~PAPER;INTENSITY 15;MEDIA 4;LABELS 2", false},
    {"delayed_cutter_mode_cuts_once_after_the_job", "cutter-delayed", 50,
     "~PAPER;INTENSITY 15;LABELS 2", true},
};

void PrintTo(const PrinterSettingsRow& row, std::ostream* os) { *os << row.claim; }

class PrinterSettings : public PrinterApp,
                        public ::testing::WithParamInterface<PrinterSettingsRow> {};

// Settings of the printer (set over IPP, as the web interface sets them)
// reach every job's paper line.
TEST_P(PrinterSettings, printer_settings_reach_the_paper_line) {
  const PrinterSettingsRow& row = GetParam();
  const std::string printer = std::string("set-") + row.claim;
  const ChildResult added = runApp(
      {"add", "-d", printer, "-m", "vormel_203", "-v", "file://" + server->dir->path + "/dev203"});
  ASSERT_EQ(added.exitStatus, 0) << added.out << added.err;
  const ChildResult set = runIppTool(
      printerUri(printer), "set-label-settings.test",
      {"-d", std::string("mode=") + row.mode, "-d", "darkness=" + std::to_string(row.darkness)});
  ASSERT_TRUE(ippPassed(set)) << set.out << set.err;
  const ChildResult r = runIppTool(
      printerUri(printer), "print-label.test",
      {"-f", kJobs + "/label.ps", "-d", "format=application/postscript", "-d",
       "media=oe_4x6in_4x6in", "-d", "tracking=gap", "-d", "darkness=0", "-d",
       std::string("name=") + printer, "-d", "pages=1", "-d", "copies=1", "-d", "state=9"});
  ASSERT_TRUE(ippPassed(r)) << r.out << r.err;
  const PrintedStream p = readPrinted(readFile(server->dir->path + "/dev203/" + printer + ".prn"));
  ASSERT_TRUE(p.valid) << "byte " << p.error.offset << ": " << p.error.message;
  EXPECT_EQ(p.report.paperLine, row.paperLine);
  EXPECT_EQ(p.report.cutOnce, row.cutOnce);
}

INSTANTIATE_TEST_SUITE_P(Settings, PrinterSettings, ::testing::ValuesIn(kPrinterSettingsRows),
                         [](const ::testing::TestParamInfo<PrinterSettingsRow>& row) {
                           return row.param.claim;
                         });

// ---- an AppSocket printer ----------------------------------------------------

// A printer on a loopback port that takes one connection and keeps what it
// is sent; it gives up by itself after kListenSeconds.
constexpr int kListenSeconds = 300;

struct SocketPrinter {
  int listener = -1;
  int port = 0;
  std::string received;
  std::thread thread;
  // With holdAfterFirstBytes, the printer stops reading once the first
  // bytes are in until release(): a printer that is busy with a label.
  bool holdAfterFirstBytes = false;
  std::mutex mutex;
  std::condition_variable changed;
  bool gotFirstBytes = false;
  bool released = false;
  bool finished = false;  // the serving thread has ended

  // Binds a free loopback port without listening on it: until serve(),
  // connections to it are refused, as by a printer that is switched off.
  // The receive buffer is kept small, so that a held printer soon stops
  // taking bytes.
  bool reserve() {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return false;
    port = ntohs(addr.sin_port);
    return true;
  }

  // Takes the connection on a thread and reads it to its end.
  void serve() {
    if (listen(listener, 1) != 0) return;
    thread = std::thread([this] {
      struct Finish {
        SocketPrinter* printer;
        ~Finish() {
          std::lock_guard<std::mutex> lock(printer->mutex);
          printer->finished = true;
          printer->changed.notify_all();
        }
      } finish{this};
      pollfd ready = {listener, POLLIN, 0};
      if (poll(&ready, 1, kListenSeconds * 1000) != 1) return;
      const int connection = accept(listener, nullptr, nullptr);
      if (connection < 0) return;
      char buffer[65536];
      for (;;) {
        pollfd data = {connection, POLLIN, 0};
        if (poll(&data, 1, kListenSeconds * 1000) != 1) break;
        const ssize_t n = read(connection, buffer, sizeof buffer);
        if (n <= 0) break;
        std::unique_lock<std::mutex> lock(mutex);
        received.append(buffer, static_cast<size_t>(n));
        if (!gotFirstBytes) {
          gotFirstBytes = true;
          changed.notify_all();
        }
        if (holdAfterFirstBytes)
          changed.wait_for(lock, std::chrono::seconds(kListenSeconds), [this] { return released; });
      }
      close(connection);
    });
  }
  // Waits until the first bytes have come (true) or the printer has
  // stopped serving without any (false); no time limit of its own.
  bool waitForFirstBytes() {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [this] { return gotFirstBytes || finished; });
    return gotFirstBytes;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    changed.notify_all();
  }
  ~SocketPrinter() {
    release();
    if (thread.joinable()) thread.join();
    if (listener >= 0) close(listener);
  }
};

// The printer is switched off when the job comes: the queue stops, and once
// the printer answers the job goes out to it whole, as vormel writes it.
TEST_F(PrinterApp, appsocket_printer_that_comes_up_late_gets_the_whole_job) {
  SocketPrinter printer;
  ASSERT_TRUE(printer.reserve());
  const ChildResult added = runApp({"add", "-d", "sock203", "-m", "vormel_203", "-v",
                                    "socket://127.0.0.1:" + std::to_string(printer.port)});
  ASSERT_EQ(added.exitStatus, 0) << added.out << added.err;

  const std::string job = kJobs + "/three_labels.ps";
  ChildResult submitted;
  std::thread submit([&] {
    submitted = runIppTool(printerUri("sock203"), "print-label.test",
                           {"-f", job, "-d", "format=application/postscript", "-d",
                            "media=oe_4x6in_4x6in", "-d", "tracking=gap", "-d", "darkness=0", "-d",
                            "name=late", "-d", "pages=3", "-d", "copies=1", "-d", "state=9"});
  });
  const ChildResult stopped =
      runIppTool(printerUri("sock203"), "printer-state.test", {"-d", "state=5"});
  EXPECT_TRUE(ippPassed(stopped)) << stopped.out;
  printer.serve();
  submit.join();
  EXPECT_TRUE(ippPassed(submitted)) << submitted.out << submitted.err;
  const ChildResult idle =
      runIppTool(printerUri("sock203"), "printer-state.test", {"-d", "state=3"});
  EXPECT_TRUE(ippPassed(idle)) << idle.out;
  printer.thread.join();

  const PrintedStream p = readPrinted(printer.received);
  ASSERT_TRUE(p.valid) << "byte " << p.error.offset << ": " << p.error.message;
  EXPECT_EQ(p.report.pageCount, 3u);
  EXPECT_EQ(p.report.engineWidth, 4000);
  EXPECT_EQ(p.report.engineLength, 6000);
  expectPagesFitTheLabel(p);
  ScratchDir work("pappsock", 0755);
  std::string why;
  const std::string expected =
      vormelStream(job, true, "oe_4x6in_4x6in", 203, "-gap -intensity 15", work.path, why);
  ASSERT_EQ(why, "");
  EXPECT_EQ(describeDifference(expected, printer.received), "");
}

// Ten labels of noise: about a megabyte of page image each at 600 dpi,
// which no band compresses, so the stream is far larger than what the
// connection to the printer holds.
const char kNoiseJob[] =
    "%!PS\n<< /PageSize [288 432] >> setpagedevice\n1 srand /row 300 string def\n"
    "1 1 10 { pop gsave 288 432 scale 2400 3600 1 [2400 0 0 -3600 0 3600]\n"
    "  { 0 1 299 { row exch rand 255 and put } for row } image grestore showpage } for\n";

// A job cancelled while the printer is busy taking it: vormel is stopped,
// the page under way is finished and the stream ends with its trailer, so
// the printer is never left inside a command; the job ends cancelled.
TEST_F(PrinterApp, job_cancelled_while_printing_ends_its_stream_with_the_trailer) {
  SocketPrinter printer;
  printer.holdAfterFirstBytes = true;
  ASSERT_TRUE(printer.reserve());
  printer.serve();
  const ChildResult added = runApp({"add", "-d", "sock600", "-m", "vormel_600", "-v",
                                    "socket://127.0.0.1:" + std::to_string(printer.port)});
  ASSERT_EQ(added.exitStatus, 0) << added.out << added.err;

  ScratchDir work("pappcancel", 0755);
  writeFile(work.path + "/noise.ps", kNoiseJob);
  const ChildResult submitted = runIppTool(
      printerUri("sock600"), "submit-label.test",
      {"-f", work.path + "/noise.ps", "-d", "format=application/postscript", "-d", "name=noise"});
  ASSERT_TRUE(ippPassed(submitted)) << submitted.out << submitted.err;
  const size_t at = submitted.out.find("job-id (integer) = ");
  ASSERT_NE(at, std::string::npos) << submitted.out;
  const std::string job =
      std::to_string(atoi(submitted.out.c_str() + at + strlen("job-id (integer) = ")));
  ASSERT_TRUE(printer.waitForFirstBytes());

  const ChildResult cancelled =
      runIppTool(printerUri("sock600"), "cancel-job.test", {"-d", "job=" + job});
  EXPECT_TRUE(ippPassed(cancelled)) << cancelled.out << cancelled.err;
  printer.release();
  const ChildResult ended =
      runIppTool(printerUri("sock600"), "job-state.test", {"-d", "job=" + job, "-d", "state=7"});
  EXPECT_TRUE(ippPassed(ended)) << ended.out << ended.err;
  printer.thread.join();

  const PrintedStream p = readPrinted(printer.received);
  ASSERT_TRUE(p.valid) << "byte " << p.error.offset << ": " << p.error.message;
  EXPECT_TRUE(p.report.complete);
  EXPECT_GE(p.report.pageCount, 1u);
  EXPECT_LT(p.report.pageCount, 10u);
  expectPagesFitTheLabel(p);
}

// ---- the web interface in a browser -----------------------------------------

struct WebPageRow {
  const char* claim;
  const char* path;
  std::vector<std::string> fragments;  // each must be in the page as the browser builds it
};

const WebPageRow kWebPages[] = {
    {"home_page_lists_each_printer_with_its_model",
     "/",
     {"label203", "label300", "Vormel Label Printer 203 dpi", "Vormel Label Printer 300 dpi"}},
    {"media_page_offers_the_label_sizes_and_media_tracking",
     "/label300/media",
     {"<option value=\"oe_4x6in_4x6in\" selected=\"\">4 x 6\"",
      "<option value=\"om_100x150mm_100x150mm\">", "<option value=\"custom\">",
      "<select name=\"ready0-tracking\">", "<option value=\"gap\" selected=\"\">Gap",
      "<option value=\"mark\">Mark", "<option value=\"continuous\">Continuous"}},
    {"printing_defaults_page_offers_darkness_and_speed",
     "/label300/printing",
     {"<select name=\"print-darkness\">",
      "<select name=\"print-speed\"><option value=\"0\">Auto</option>",
      "<option value=\"12\">12 inches/sec</option>",
      "name=\"print-color-mode\" value=\"monochrome\" checked"}},
};

class WebInterface : public PrinterApp, public ::testing::WithParamInterface<WebPageRow> {};

TEST_P(WebInterface, page_shows_the_printers_settings) {
  if (!fileExists(CHROMIUM_PROGRAM)) VORMEL_CANNOT_RUN("chromium is not installed");
  const WebPageRow& row = GetParam();
  ScratchDir profile("pappweb", 0755);
  // Root may run the browser only without its sandbox.
  const ChildResult page = runChild(commandSpec(
      {CHROMIUM_PROGRAM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
       "--user-data-dir=" + profile.path, "--dump-dom", "http://" + server->host + row.path},
      {{"HOME", profile.path}}));
  ASSERT_EQ(page.exitStatus, 0) << page.err;
  for (const std::string& fragment : row.fragments)
    EXPECT_NE(page.out.find(fragment), std::string::npos) << fragment << "\n" << page.out;
}

void PrintTo(const WebPageRow& row, std::ostream* os) { *os << row.claim; }

INSTANTIATE_TEST_SUITE_P(Pages, WebInterface, ::testing::ValuesIn(kWebPages),
                         [](const ::testing::TestParamInfo<WebPageRow>& row) {
                           return row.param.claim;
                         });

}  // namespace
