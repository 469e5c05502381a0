// vormel-cups run as the spooler runs it, with a stand-in vormel that records
// what it was given: option words from the PPD choices only, the job on its
// standard input, page accounting, failures, refused job files and
// cancellation, also while the printer is not reading.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "cups_test_support.h"
#include "label_page.h"

namespace {

const std::string kPpd = std::string(VORMEL_PPD_DIR) + "/vormel-300dpi.ppd";
const std::string kFake = std::string(VORMEL_SOURCE_DIR) + "/tests/cups/fake_vormel";
const std::string kJob = "%!PS-Adobe-3.0\n%%Pages: 1\nshowpage\n%%EOF";  // no final line feed
// The stand-in's trailer, the end of every stream it writes.
const std::string kTrailer =
    "WINDRVEND\r\n!QXR_SETUP\r\nWINMODE-END\r\nRESTORESTATE\r\nQXR_END\r\n";

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

struct FrontEnd {
  ScratchDir dir{"vcfront", 0755};
  std::vector<std::pair<std::string, std::string>> env(const std::string& mode) const {
    return {{"PPD", kPpd},
            {"VORMEL_CUPS_PROGRAM", kFake},
            {"FAKE_VORMEL_DIR", dir.path},
            {"FAKE_VORMEL_MODE", mode},
            {"TMPDIR", dir.path}};
  }
  // The spooler's arguments; the job comes as a file argument unless `viaStdin`.
  ChildResult run(const std::string& options, const std::string& mode = "stream",
                  const std::string& title = "label", bool viaStdin = false,
                  const std::string& jobText = kJob) {
    const std::string job = dir.path + "/job.ps";
    writeFile(job, jobText);
    std::vector<std::string> argv = {VORMEL_CUPS_BIN, "17", "alice", title, "3", options};
    if (!viaStdin) argv.push_back(job);
    return runChild(commandSpec(argv, env(mode), viaStdin ? job : ""));
  }
  // vormel's arguments, without the capture directory the front end always adds.
  std::string args() const {
    std::string text = readFile(dir.path + "/args");
    const std::string capture = "-dir\n" + dir.path + "\n";
    return endsWith(text, capture) ? text.substr(0, text.size() - capture.size())
                                   : "(no -dir)\n" + text;
  }
  std::string input() const { return readFile(dir.path + "/stdin"); }
};

int countErrorLines(const std::string& text) {
  int count = 0;
  size_t at = 0;
  while (at < text.size()) {
    if (text.compare(at, 7, "ERROR: ") == 0) ++count;
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return count;
}

std::string findSetpriv() {
  for (const char* path : {"/usr/bin/setpriv", "/bin/setpriv"})
    if (access(path, X_OK) == 0) return path;
  return std::string();
}

struct WordsRow {
  const char* options;
  const char* words;  // one per line, as the stand-in records them
};

TEST(FrontEnd, marked_choices_become_option_words_and_nothing_else) {
  const WordsRow rows[] = {
      {"", ""},
      {"MediaHandling=CutLabel LabelsPerCut=3 Sensing=Gap PrintSpeed=6",
       "-cutlabel\n-labelpercut\n3\n-gap\n-speed\n6\n"},
      {"MediaHandling=TearOff TearOffset=-5 Darkness=12",
       "-tearoff\n-intensity\n12\n-tearoffset\n-5\n"},
      {"MediaType=DirectThermal PauseMode=Batch BatchSize=25 SlashZero=On",
       "-dt\n-batchpause\n-batchsize\n25\n-slashzero\n"},
      // The front end turns the picture itself: no -rotate.
      {"PrintOrientation=Inverted MirrorImage=Mirrored SlewSpeed=8 Rotation=270",
       "-invertOrient\n-mirrorImage\n-slew\n8\n"},
      {"Sensing=AdvancedNotch MediaHandling=Rewind MediaType=ThermalTransfer PauseMode=Off",
       "-rewind\n-advnotch\n-tm\n-pauseoff\n"},
      {"MediaHandling=Peel SlashZero=Off PrintOrientation=Normal MirrorImage=Normal",
       "-peel\n-noslashzero\n-normOrient\n-normImage\n"},
      // Unknown options, free text and the resolution or size give no words.
      {"foo=-debug bar=-raw Resolution=300dpi PageSize=w144h72", ""},
      {"Sensing=Mark Sensing=NoGap PauseMode=EachLabel MediaHandling=CutJob",
       "-cutjob\n-nogap\n-labelpause\n"},
      {"Sensing=AdvancedGap MediaHandling=Continuous MediaHandling=TearOffStrip",
       "-tearoffstrip\n-advgap\n"},
  };
  for (const WordsRow& row : rows) {
    FrontEnd fe;
    const ChildResult r = fe.run(row.options);
    EXPECT_EQ(r.exitStatus, 0) << row.options << "\n" << r.err;
    EXPECT_EQ(fe.args(), row.words) << row.options;
  }
}

TEST(FrontEnd, job_title_user_and_copies_never_reach_vormel) {
  for (const char* title : {"-raw", "-debug", "-dir", "-diag -PCX"}) {
    FrontEnd fe;
    const ChildResult r = fe.run("MediaHandling=Peel", "stream", title);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(fe.args(), "-peel\n") << title;
  }
}

// The text fed to vormel: the label prolog, the job, then the trailer.
struct Fed {
  std::string prolog, job, trailer;
};

Fed splitFed(const std::string& input) {
  Fed fed;
  const size_t job = input.find("%!PS-Adobe-3.0");
  const size_t trailer = input.rfind("<< /HWResolution");
  if (job == std::string::npos || trailer == std::string::npos || trailer < job) return fed;
  fed.prolog = input.substr(0, job);
  fed.job = input.substr(job, trailer - job);
  fed.trailer = input.substr(trailer);
  return fed;
}

TEST(FrontEnd, job_is_fed_between_the_label_prolog_and_the_label_size_from_file_or_stdin) {
  for (bool viaStdin : {false, true}) {
    FrontEnd fe;
    const ChildResult r = fe.run("PageSize=w144h72 landscape", "stream", "t", viaStdin);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    const Fed fed = splitFed(fe.input());
    // The job as it came, its unterminated last line ended.
    EXPECT_EQ(fed.job, kJob + "\n") << "stdin " << viaStdin;
    // The label is 2 x 1 inch whatever the job's orientation, at the model's 300 dpi.
    EXPECT_NE(fed.prolog.find("\n<< /HWResolution [300 300] >> setpagedevice\n"),
              std::string::npos);
    EXPECT_NE(fed.prolog.find("/PageSize [144 72]"), std::string::npos) << fed.prolog;
    EXPECT_EQ(fed.trailer,
              "<< /HWResolution [300 300] >> setpagedevice\n%%BoundingBox: 0 0 144 72\n");
  }
  struct Row {
    const char* options;
    const char* boundingBox;
  };
  const Row rows[] = {
      {"", "%%BoundingBox: 0 0 288 432\n"},  // the queue's default 4 x 6 in
      {"media=w283h425", "%%BoundingBox: 0 0 283 425\n"},
      {"media=4x3in", "%%BoundingBox: 0 0 288 216\n"},
      {"media=oe_2x1-label_2x1in", "%%BoundingBox: 0 0 144 72\n"},
      {"media=100x150mm,DirectThermal", "%%BoundingBox: 0 0 283 425\n"},
      {"PageSize=Custom.3.5x7.25in", "%%BoundingBox: 0 0 252 522\n"},
      {"media=Custom.62x40mm", "%%BoundingBox: 0 0 176 113\n"},
      {"PageSize=Custom.4x3in", "%%BoundingBox: 0 0 288 216\n"},
  };
  for (const Row& row : rows) {
    FrontEnd fe;
    const ChildResult r = fe.run(row.options);
    EXPECT_EQ(r.exitStatus, 0) << row.options << "\n" << r.err;
    EXPECT_TRUE(endsWith(fe.input(), row.boundingBox)) << row.options << "\n"
                                                       << splitFed(fe.input()).trailer;
  }
}

// A PDF as the spooler's PDF filter hands it on: laid on the label already,
// and without a final line feed.
const std::string kPdfJob =
    "%PDF-1.7\n%\xe2\xe3\xcf\xd3\n1 0 obj\n<< /Type /Catalog >>\nendobj\n%%EOF";

TEST(FrontEnd, pdf_job_is_fed_alone_then_the_label_size_from_file_or_stdin) {
  struct Row {
    const char* options;
    bool viaStdin;
    const char* trailer;
  };
  const Row rows[] = {
      {"", false, "<< /HWResolution [300 300] >> setpagedevice\n%%BoundingBox: 0 0 288 432\n"},
      {"", true, "<< /HWResolution [300 300] >> setpagedevice\n%%BoundingBox: 0 0 288 432\n"},
      {"PageSize=w144h72 landscape", true,
       "<< /HWResolution [300 300] >> setpagedevice\n%%BoundingBox: 0 0 144 72\n"},
      {"media=Custom.62x40mm", false,
       "<< /HWResolution [300 300] >> setpagedevice\n%%BoundingBox: 0 0 176 113\n"},
  };
  for (const Row& row : rows) {
    FrontEnd fe;
    const ChildResult r = fe.run(row.options, "stream", "t", row.viaStdin, kPdfJob);
    EXPECT_EQ(r.exitStatus, 0) << row.options << "\n" << r.err;
    // The PDF first and whole, its last line ended, then only the two lines vormel reads.
    EXPECT_EQ(fe.input(), kPdfJob + "\n" + row.trailer) << row.options << " stdin " << row.viaStdin;
    EXPECT_EQ(fe.args(), "") << row.options;
  }
}

TEST(FrontEnd, job_shorter_than_the_pdf_header_is_fed_as_postscript) {
  LabelPage page;
  page.width = 288;
  page.length = 432;
  page.resolution = 300;
  // Shorter than the header, or a PDF header that is not at the job's start.
  for (const std::string job : {"%PDF", "%!", "", "%!PS\n%PDF-1.7\n"}) {
    FrontEnd fe;
    const ChildResult r = fe.run("", "stream", "t", true, job);
    EXPECT_EQ(r.exitStatus, 0) << job << "\n" << r.err;
    const std::string expected = labelProlog(page) + job +
                                 (job.empty() || job.back() == '\n' ? "" : "\n") +
                                 labelTrailer(page);
    EXPECT_EQ(describeDifference(expected, fe.input()), "") << job;
  }
}

TEST(FrontEnd, pdf_job_is_turned_by_vormel_only_where_the_page_keeps_its_size) {
  struct Row {
    const char* options;
    const char* words;    // one per line; nullptr: refused
    const char* message;  // the ERROR line of a refusal
  };
  const Row rows[] = {
      {"Rotation=PrinterDefault", "", ""},
      {"Rotation=180", "-rotate\n180\n", ""},
      {"Rotation=180 PageSize=w144h72 MediaHandling=Peel", "-peel\n-rotate\n180\n", ""},
      {"Rotation=90 PageSize=w288h288", "-rotate\n90\n", ""},
      {"Rotation=270 media=w216h216", "-rotate\n270\n", ""},
      {"Rotation=90", nullptr,
       "ERROR: a PDF job is not turned by 90 degrees on a label that is not square (4 x 6 in); "
       "print it "
       "with -o Rotation=PrinterDefault -o orientation-requested=4 -o nopdfAutoRotate -o "
       "print-scaling=fit"},
      {"Rotation=270 PageSize=w144h72", nullptr,
       "ERROR: a PDF job is not turned by 270 degrees on a label that is not square (2 x 1 in); "
       "print it "
       "with -o Rotation=PrinterDefault -o orientation-requested=5"},
  };
  for (const Row& row : rows) {
    FrontEnd fe;
    const ChildResult r = fe.run(row.options, "stream", "t", false, kPdfJob);
    if (row.words != nullptr) {
      EXPECT_EQ(r.exitStatus, 0) << row.options << "\n" << r.err;
      EXPECT_EQ(fe.args(), row.words) << row.options;
      continue;
    }
    EXPECT_EQ(r.exitStatus, 1) << row.options;
    EXPECT_EQ(r.out, "") << row.options;
    EXPECT_EQ(countErrorLines(r.err), 1) << row.options << ":\n" << r.err;
    EXPECT_NE(r.err.find(row.message), std::string::npos) << row.options << ":\n" << r.err;
    EXPECT_FALSE(fileExists(fe.dir.path + "/args")) << row.options << ": vormel was started";
  }
  // A PostScript job is turned by the prolog, never by vormel.
  FrontEnd fe;
  EXPECT_EQ(fe.run("Rotation=90").exitStatus, 0);
  EXPECT_EQ(fe.args(), "");
}

TEST(FrontEnd, size_choice_or_resolution_the_queue_cannot_print_is_refused_before_vormel_runs) {
  struct Row {
    const char* options;
    const char* message;
  };
  const Row rows[] = {
      {"PageSize=bogus", "ERROR: the label size \"bogus\" is not known to this printer"},
      {"media=iso_a4_210x297mm",
       "ERROR: the label size \"iso_a4_210x297mm\" (8.27 x 11.69 in) is not offered"},
      {"media=Letter", "ERROR: the label size \"Letter\" (8.5 x 11 in) is not offered"},
      {"PageSize=Custom.5x3in",
       "ERROR: the custom label size 5 x 3 in is outside what this printer takes: "
       "0.5 to 4.1 in wide, 0.25 to 40 in long"},
      {"PageSize=Custom.4x41in", "ERROR: the custom label size 4 x 41 in is outside"},
      {"media=Custom.4x0.1in", "ERROR: the custom label size 4 x 0.1 in is outside"},
      {"Darkness=97", "ERROR: \"97\" is not a choice of this printer's Darkness (Darkness)"},
      {"PrintSpeed=abc",
       "ERROR: \"abc\" is not a choice of this printer's Print Speed (PrintSpeed)"},
      {"MediaHandling=-raw", "ERROR: \"-raw\" is not a choice of this printer's Media Handling"},
      {"Rotation=45", "ERROR: \"45\" is not a choice of this printer's Rotate Image (Rotation)"},
      {"Resolution=600dpi", "ERROR: this printer prints at 300 dpi only, not at \"600dpi\""},
      {"Resolution=203x203dpi", "ERROR: this printer prints at 300 dpi only"},
  };
  for (const Row& row : rows) {
    FrontEnd fe;
    const ChildResult r = fe.run(row.options);
    EXPECT_EQ(r.exitStatus, 1) << row.options;
    EXPECT_EQ(r.out, "") << row.options;
    EXPECT_EQ(countErrorLines(r.err), 1) << row.options << ":\n" << r.err;
    EXPECT_NE(r.err.find(row.message), std::string::npos) << row.options << ":\n" << r.err;
    EXPECT_FALSE(fileExists(fe.dir.path + "/args")) << row.options << ": vormel was started";
  }
}

TEST(FrontEnd, capture_directory_is_the_spoolers_temporary_directory_when_absolute) {
  struct Row {
    const char* tmpdir;  // nullptr: not set
    bool passed;
  };
  const Row rows[] = {{"/var/spool/cups/tmp", true},
                      {nullptr, false},
                      {"", false},
                      {"relative/tmp", false},
                      {"-raw", false}};
  for (const Row& row : rows) {
    FrontEnd fe;
    const std::string job = fe.dir.path + "/job.ps";
    writeFile(job, kJob);
    std::vector<std::pair<std::string, std::string>> env = fe.env("stream");
    env.pop_back();  // TMPDIR
    if (row.tmpdir != nullptr) env.emplace_back("TMPDIR", row.tmpdir);
    const std::vector<std::string> argv = {VORMEL_CUPS_BIN,      "17", "alice", "t", "1",
                                           "MediaHandling=Peel", job};
    const ChildResult r =
        row.tmpdir == nullptr
            ? runChild(commandSpec({"/usr/bin/env", "-u", "TMPDIR", argv[0], argv[1], argv[2],
                                    argv[3], argv[4], argv[5], argv[6]},
                                   env))
            : runChild(commandSpec(argv, env));
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    const std::string expected =
        row.passed ? std::string("-peel\n-dir\n") + row.tmpdir + "\n" : std::string("-peel\n");
    EXPECT_EQ(readFile(fe.dir.path + "/args"), expected) << (row.tmpdir ? row.tmpdir : "unset");
  }
}

TEST(FrontEnd, self_test_command_prints_a_label_and_other_commands_are_refused) {
  struct Row {
    const char* commandFile;
    bool printed;
    const char* message;
  };
  const Row rows[] = {
      {"#CUPS-COMMAND\nPrintSelfTestPage\n", true, "INFO: Sent 2 label(s) to the printer"},
      {"#CUPS-COMMAND\n# comment\n\n  PrintSelfTestPage  \n", true,
       "INFO: Printing a self-test label"},
      {"#CUPS-COMMAND\nClean all\n", false,
       "ERROR: this printer has no command \"Clean\"; it offers only PrintSelfTestPage"},
      {"#CUPS-COMMAND\nReportLevels\n", false,
       "ERROR: this printer has no command \"ReportLevels\""},
      {"#CUPS-COMMAND\n", false, "ERROR: the command file holds no command"},
      {"PrintSelfTestPage\n", false, "ERROR: the command file does not begin with #CUPS-COMMAND"},
  };
  for (const Row& row : rows) {
    FrontEnd fe;
    const std::string file = fe.dir.path + "/command";
    writeFile(file, row.commandFile);
    std::vector<std::pair<std::string, std::string>> env = fe.env("stream");
    env.emplace_back("CONTENT_TYPE", "application/vnd.cups-command");
    env.emplace_back("PRINTER", "shelf-labels");
    const ChildResult r = runChild(commandSpec(
        {VORMEL_CUPS_BIN, "9", "root", "test", "1", "PageSize=w144h72 MediaHandling=Peel", file},
        env));
    EXPECT_NE(r.err.find(row.message), std::string::npos) << row.commandFile << "\n" << r.err;
    if (!row.printed) {
      EXPECT_EQ(r.exitStatus, 1) << row.commandFile;
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(countErrorLines(r.err), 1) << r.err;
      EXPECT_FALSE(fileExists(fe.dir.path + "/args")) << "vormel was started";
      continue;
    }
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(fe.args(), "-peel\n");
    // The self-test label replaces the command file, on the queue's label.
    const Fed fed = splitFed(fe.input());
    EXPECT_EQ(fed.job.find("#CUPS-COMMAND"), std::string::npos);
    EXPECT_NE(fed.job.find("<< /PageSize [144 72] >> setpagedevice"), std::string::npos) << fed.job;
    for (const char* text : {"(Queue: shelf-labels)", "(Label: 2 x 1 in \\(w144h72\\))",
                             "(300 dpi, 600 x 300 dots)", "(Settings: -peel)", "showpage"})
      EXPECT_NE(fed.job.find(text), std::string::npos) << text << "\n" << fed.job;
    EXPECT_EQ(fed.trailer,
              "<< /HWResolution [300 300] >> setpagedevice\n%%BoundingBox: 0 0 144 72\n");
  }
}

TEST(FrontEnd, stream_is_relayed_unchanged_with_one_page_line_per_print) {
  FrontEnd fe;
  const ChildResult r = fe.run("");
  ASSERT_EQ(r.exitStatus, 0) << r.err;
  const ChildResult direct =
      runChild(commandSpec({kFake}, fe.env("stream")));  // the stand-in's own output
  EXPECT_EQ(describeDifference(direct.out, r.out), "");
  EXPECT_EQ(countLines(r.err, "PAGE: 1 1"), 1) << r.err;
  EXPECT_EQ(countLines(r.err, "PAGE: 2 1"), 1) << r.err;
  EXPECT_EQ(r.err.find("PAGE: 3"), std::string::npos) << r.err;
  // It says what went out, not what the printer made of it.
  EXPECT_NE(r.err.find("INFO: Sent 2 label(s) to the printer\n"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("Printed"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("ERROR: "), std::string::npos);
}

TEST(FrontEnd, vormel_failure_is_an_error_and_its_message_stays_off_the_printer) {
  FrontEnd fe;
  const ChildResult r = fe.run("", "fail");
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("ERROR: vormel: Unable to find image file"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("ERROR: vormel failed with exit status 3"), std::string::npos) << r.err;
}

TEST(FrontEnd, setup_failures_are_errors) {
  FrontEnd fe;
  const std::string job = fe.dir.path + "/job.ps";
  writeFile(job, kJob);
  struct Case {
    std::vector<std::string> argv;
    std::vector<std::pair<std::string, std::string>> env;
    const char* message;
  };
  const Case cases[] = {
      {{VORMEL_CUPS_BIN, "1", "u", "t", "1"}, fe.env("stream"), "Usage:"},
      {{VORMEL_CUPS_BIN, "1", "u", "t", "1", "", job},
       {{"PPD", "/nonexistent.ppd"}},
       "ERROR: cannot read the printer description"},
      {{VORMEL_CUPS_BIN, "1", "u", "t", "1", "", job},
       {{"PPD", kPpd}, {"VORMEL_CUPS_PROGRAM", fe.dir.path + "/missing"}},
       "ERROR: cannot find the vormel program"},
  };
  for (const Case& c : cases) {
    const ChildResult r = runChild(commandSpec(c.argv, c.env));
    EXPECT_EQ(r.exitStatus, 1) << c.message;
    EXPECT_EQ(r.out, "") << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

struct RefusedRow {
  const char* what;
  std::string path;
  const char* message;
};

TEST(FrontEnd, job_file_that_is_not_a_readable_regular_file_is_refused_before_vormel_runs) {
  FrontEnd fe;
  const std::string d = fe.dir.path;
  ASSERT_EQ(mkdir((d + "/folder").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo((d + "/fifo").c_str(), 0644), 0);
  writeFile(d + "/plain.ps", kJob);
  ASSERT_EQ(symlink((d + "/gone.ps").c_str(), (d + "/dangling.ps").c_str()), 0);
  ASSERT_EQ(symlink((d + "/folder").c_str(), (d + "/folder-link").c_str()), 0);
  const RefusedRow rows[] = {
      {"directory", d + "/folder", "ERROR: the job file is a directory, not a print job"},
      {"link to a directory", d + "/folder-link", "ERROR: the job file is a directory"},
      // Nobody writes to it: a front end that waits for a writer never ends.
      {"FIFO", d + "/fifo", "ERROR: the job file is a FIFO, not a print job"},
      {"device", "/dev/null", "ERROR: the job file is a character device"},
      {"missing file", d + "/missing.ps", "ERROR: cannot open the job file: No such file"},
      {"dangling link", d + "/dangling.ps", "ERROR: cannot open the job file: No such file"},
      {"name under a file", d + "/plain.ps/job.ps", "ERROR: cannot open the job file: Not a dir"},
  };
  for (const RefusedRow& row : rows) {
    const ChildResult r = runChild(
        commandSpec({VORMEL_CUPS_BIN, "5", "u", "t", "1", "", row.path}, fe.env("stream")));
    EXPECT_EQ(r.exitStatus, 1) << row.what;
    EXPECT_EQ(r.out, "") << row.what;
    EXPECT_EQ(countErrorLines(r.err), 1) << row.what << ":\n" << r.err;
    EXPECT_NE(r.err.find(row.message), std::string::npos) << row.what << ":\n" << r.err;
  }
  EXPECT_FALSE(fileExists(d + "/args")) << "vormel was started";
}

TEST(FrontEnd, job_file_the_filter_may_not_read_is_refused) {
  FrontEnd fe;
  const std::string job = fe.dir.path + "/secret.ps";
  writeFile(job, kJob, 0);
  // Root reads any file, so as root the front end runs as nobody (the
  // spooler runs filters as an unprivileged user too).
  std::vector<std::string> argv;
  if (geteuid() == 0) {
    const std::string setpriv = findSetpriv();
    if (setpriv.empty()) VORMEL_CANNOT_RUN("running as root without setpriv to drop to nobody");
    argv = {setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups", VORMEL_CUPS_BIN};
    const ChildResult probe = runChild(commandSpec(argv));
    if (probe.err.find("Usage:") == std::string::npos)
      VORMEL_CANNOT_RUN("the front end cannot be run as nobody here: " << probe.err);
  } else {
    argv = {VORMEL_CUPS_BIN};
  }
  argv.insert(argv.end(), {"5", "u", "t", "1", "", job});
  const ChildResult r = runChild(commandSpec(argv, fe.env("stream")));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(countErrorLines(r.err), 1) << r.err;
  EXPECT_NE(r.err.find("ERROR: cannot open the job file: Permission denied"), std::string::npos)
      << r.err;
  EXPECT_FALSE(fileExists(fe.dir.path + "/args")) << "vormel was started";
}

TEST(FrontEnd, job_file_that_fails_to_read_stops_vormel_without_the_label_size_line) {
  FrontEnd fe;
  // A regular file whose first read fails: the reading process's memory at address 0.
  const ChildResult r = runChild(
      commandSpec({VORMEL_CUPS_BIN, "5", "u", "t", "1", "", "/proc/self/mem"}, fe.env("stream")));
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_NE(r.err.find("ERROR: reading the job failed: Input/output error"), std::string::npos)
      << r.err;
  EXPECT_EQ(fe.input(), "");
}

TEST(FrontEnd, every_cancel_signal_is_passed_on_and_vormel_finishes_its_trailer) {
  for (const int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
    FrontEnd fe;
    const std::string job = fe.dir.path + "/job.ps", out = fe.dir.path + "/out",
                      err = fe.dir.path + "/err";
    writeFile(job, kJob);
    ChildSpec runSpec = commandSpec({VORMEL_CUPS_BIN, "5", "u", "t", "1", "", job}, fe.env("term"));
    runSpec.output = Output::File;
    runSpec.outputFile = out;
    runSpec.errorFile = err;
    Child child;
    ASSERT_TRUE(startChild(runSpec, &child));
    // Cancel once the first page has gone out.
    const bool paged =
        waitFor([&] { return readFile(err).find("PAGE: 1 1") != std::string::npos; }, child.pid);
    kill(child.pid, signalNumber);
    const ChildResult r = finishChild(&child);
    ASSERT_TRUE(paged) << readFile(err);
    EXPECT_EQ(r.exitStatus, 1) << signalNumber;
    EXPECT_TRUE(fileExists(fe.dir.path + "/terminated")) << "not passed on: " << signalNumber;
    EXPECT_TRUE(endsWith(readFile(out), kTrailer)) << signalNumber;
    EXPECT_EQ(readFile(err).find("PAGE: 2"), std::string::npos) << signalNumber;
    // A cancel is not an error: one INFO line with the labels sent.
    EXPECT_NE(readFile(err).find("INFO: Job cancelled after 1 label(s) were sent\n"),
              std::string::npos)
        << readFile(err);
    EXPECT_EQ(countErrorLines(readFile(err)), 0) << readFile(err);
  }
}

TEST(FrontEnd, cancel_while_the_printer_is_stalled_stops_vormel_and_ends_the_front_end) {
  FrontEnd fe;
  const std::string job = fe.dir.path + "/job.ps", err = fe.dir.path + "/err";
  writeFile(job, kJob);
  int printer[2];
  ASSERT_EQ(pipe2(printer, O_CLOEXEC), 0);
  ChildSpec runSpec = commandSpec({VORMEL_CUPS_BIN, "5", "u", "t", "1", "", job}, fe.env("flood"));
  runSpec.output = Output::Descriptor;
  runSpec.outputFd = printer[1];
  runSpec.errorFile = err;
  Child child;
  ASSERT_TRUE(startChild(runSpec, &child));
  // The printer never reads and the stand-in writes without end: wait until
  // the pipe has no room left, so that no write of the front end can finish.
  const auto printerFull = [&] {
    struct pollfd room = {printer[1], POLLOUT, 0};
    return poll(&room, 1, 0) == 0;
  };
  const bool full = waitFor(printerFull, child.pid);
  kill(child.pid, SIGTERM);
  // Returns once the front end has ended.
  const ChildResult r = finishChild(&child);
  close(printer[1]);
  std::string stream;
  char buffer[65536];
  ssize_t n;
  while ((n = read(printer[0], buffer, sizeof buffer)) > 0) stream.append(buffer, size_t(n));
  close(printer[0]);
  ASSERT_TRUE(full) << "the front end ended before the printer was full:\n" << readFile(err);
  EXPECT_EQ(r.exitStatus, 1);
  EXPECT_TRUE(fileExists(fe.dir.path + "/terminated")) << "SIGTERM was not passed on";
  const pid_t vormel = pid_t(std::stol(readFile(fe.dir.path + "/pid")));
  errno = 0;
  EXPECT_TRUE(kill(vormel, 0) != 0 && errno == ESRCH) << "vormel " << vormel << " is still there";
  // The end of the stream either reached the printer or is logged as dropped.
  const std::string log = readFile(err);
  EXPECT_NE(endsWith(stream, kTrailer),
            log.find("WARNING: the printer did not take the end of the cancelled job") !=
                std::string::npos)
      << log;
  EXPECT_NE(log.find("INFO: Job cancelled"), std::string::npos) << log;
}

}  // namespace
