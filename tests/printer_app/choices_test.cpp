// The printer application's choices on the way to the printer: a darkness
// goes out only when the job or the printer's owner chose one, and a PDF page
// of another size is fitted to the label. A server of its own on a loopback
// port with a 203 dpi printer and a 300 dpi printer that cuts, each on a
// file device, driven by ipptool; what the device receives is read with the
// stream parser.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app_server.h"
#include "cups_test_support.h"
#include "inspect/job_stream_parser.h"
#include "inspect/pcx_reader.h"
#include "label_page.h"

namespace {

const std::string kJobs = std::string(VORMEL_SOURCE_DIR) + "/tests/cups/jobs";
constexpr const char* kLabel = "oe_4x6in_4x6in";

AppServer* server = nullptr;

// The 300 dpi printer cuts its labels, for the settings of a cutter.
class ServerEnvironment : public AppServerEnvironment {
 public:
  ServerEnvironment() : AppServerEnvironment(&server, "pchoice", {203, 300}) {}
  void SetUp() override {
    AppServerEnvironment::SetUp();
    std::string out;
    if (server->problem.empty() &&
        !runIppTest(appPrinterUri(*server, "label300"), "set-label-settings.test",
                    {"-d", "mode=cutter", "-d", "darkness=50"}, out))
      server->problem = "the 300 dpi printer does not cut: " + out;
  }
};
::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new ServerEnvironment);

// Prints `job` (a PDF) as `name` on the 4 x 6 in label on the printer
// label<dpi> of `on`, with print-darkness when `darkness` is given; returns
// what the device received.
std::string printPdfOn(const AppServer& on, int dpi, const std::string& job,
                       const std::string& name, const std::string& darkness) {
  std::vector<std::string> options = {
      "-f", job,           "-d", "format=application/pdf", "-d", std::string("media=") + kLabel,
      "-d", "name=" + name};
  if (!darkness.empty()) {
    options.push_back("-d");
    options.push_back("darkness=" + darkness);
  }
  const std::string printer = "label" + std::to_string(dpi);
  std::string out;
  EXPECT_TRUE(runIppTest(appPrinterUri(on, printer), "print-choices.test", options, out)) << out;
  return readFile(on.dir->path + "/dev" + std::to_string(dpi) + "/" + name + ".prn");
}

std::string printPdf(const std::string& job, const std::string& name, const std::string& darkness) {
  return printPdfOn(*server, 203, job, name, darkness);
}

// Sets the vendor attribute defaults of the printer label<dpi> of `on`:
// each variable of set-vendor-defaults.test given in `values` (as
// "variable=keyword") to its keyword, every other one to printer-default;
// true when the printer took them.
bool setVendorDefaults(const AppServer& on, int dpi, const std::vector<std::string>& values) {
  std::vector<std::string> options;
  for (const std::string& v : values) options.insert(options.end(), {"-d", v});
  std::string out;
  const bool ok = runIppTest(appPrinterUri(on, "label" + std::to_string(dpi)),
                             "set-vendor-defaults.test", options, out);
  EXPECT_TRUE(ok) << out;
  return ok;
}

// A PDF of the PostScript job `source` made by Ghostscript in `dir`.
std::string makePdf(const std::string& source, const std::string& dir, const std::string& name) {
  const std::string out = dir + "/" + name + ".pdf";
  const ChildResult r =
      runChild(commandSpec({"/usr/bin/gs", "-q", "-dNOPAUSE", "-dBATCH", "-dSAFER",
                            "-sDEVICE=pdfwrite", "-sOutputFile=" + out, source}));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return out;
}

// What vormel writes for the PDF `job` on the 4 x 6 in label at 203 dpi
// with the option words `words`: the job as it is, then the lines that
// announce the label.
std::string vormelStream(const std::string& job, const std::vector<std::string>& words,
                         const std::string& dir) {
  LabelPage label;
  label.width = 288;
  label.length = 432;
  label.resolution = 203;
  const std::string input = dir + "/vormel-input";
  writeFile(input, readFile(job) + "\n" + labelTrailer(label));
  std::vector<std::string> argv = {VORMEL_BIN};
  argv.insert(argv.end(), words.begin(), words.end());
  const ChildResult r = runChild(commandSpec(argv, {{"TMPDIR", dir}}, input));
  EXPECT_EQ(r.exitStatus, 0) << r.err;
  return r.out;
}

class LabelChoices : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(server->problem, ""); }
};

// ---- darkness ---------------------------------------------------------------

TEST_F(LabelChoices, job_without_darkness_leaves_the_printer_its_own_and_is_what_vormel_writes) {
  ScratchDir work("pchoice-dark", 0755);
  const std::string job = makePdf(kJobs + "/three_labels.ps", work.path, "three");
  const std::string printed = printPdf(job, "no_darkness", "");
  const PrintedStream p = readPrinted(printed);
  ASSERT_TRUE(p.valid) << "byte " << p.error.offset << ": " << p.error.message;
  EXPECT_EQ(p.report.paperLine, "~PAPER;LABELS 2");
  EXPECT_EQ(p.report.pageCount, 3u);
  // A PDF page of the label's own size comes out as vormel renders the PDF.
  EXPECT_EQ(describeDifference(vormelStream(job, {"-gap"}, work.path), printed), "");
}

TEST_F(LabelChoices, job_darkness_is_sent_added_to_the_printer_darkness) {
  ScratchDir work("pchoice-dark", 0755);
  const std::string job = makePdf(kJobs + "/label.ps", work.path, "label");
  struct Case {
    const char* darkness;
    const char* paperLine;
  };
  // The printer's darkness is 50 of 100; 50 + 20 is 21 of 30 levels.
  for (const Case& c :
       {Case{"20", "~PAPER;INTENSITY 21;LABELS 2"}, Case{"0", "~PAPER;INTENSITY 15;LABELS 2"},
        Case{"-100", "~PAPER;INTENSITY 0;LABELS 2"}}) {
    const PrintedStream p = readPrinted(printPdf(
        job, std::string("darkness_") + (c.darkness[0] == '-' ? "minus" : c.darkness), c.darkness));
    ASSERT_TRUE(p.valid) << c.darkness << ": byte " << p.error.offset << ": " << p.error.message;
    EXPECT_EQ(p.report.paperLine, c.paperLine) << c.darkness;
  }
}

// ---- PDF pages fitted to the label ------------------------------------------

// Rows of `image` (decoded) in which at least one dot is black.
std::vector<bool> blackRows(const PcxImage& image) {
  std::vector<bool> rows(static_cast<size_t>(image.height), false);
  const uint8_t white = image.oneIsWhite ? 0xff : 0x00;
  const int32_t fullBytes = image.width / 8;
  for (int32_t y = 0; y < image.height; ++y) {
    const uint8_t* line = image.lines.data() + static_cast<size_t>(y) * image.bytesPerLine;
    for (int32_t x = 0; x < fullBytes && !rows[y]; ++x) rows[y] = line[x] != white;
  }
  return rows;
}

TEST_F(LabelChoices, letter_pdf_page_is_scaled_to_fit_the_label_and_centred) {
  ScratchDir work("pchoice-fit", 0755);
  // A letter page framed 20 points inside its edges.
  writeFile(work.path + "/letter.ps",
            "%!PS\n<< /PageSize [612 792] >> setpagedevice\n10 setlinewidth 20 20 572 752 "
            "rectstroke showpage\n");
  const std::string job = makePdf(work.path + "/letter.ps", work.path, "letter");
  const PrintedStream p = readPrinted(printPdf(job, "letter", ""));
  ASSERT_TRUE(p.valid) << "byte " << p.error.offset << ": " << p.error.message;
  ASSERT_EQ(p.images.size(), 1u);
  EXPECT_EQ(p.report.engineWidth, 4000);
  EXPECT_EQ(p.report.engineLength, 6000);

  PcxImage image;
  std::string message;
  ASSERT_TRUE(readPcx(reinterpret_cast<const uint8_t*>(p.images[0].data()), p.images[0].size(),
                      &image, &message))
      << message;
  EXPECT_EQ(image.width, 812);
  EXPECT_EQ(image.height, 1218);

  // The page is 8.5 in wide on a 4 in label: scaled by 4 / 8.5 it is
  // 11 * 4 / 8.5 = 5.18 in long, 1051 of the label's 1218 rows, with 83 or
  // 84 blank rows above and below. The frame lies 20 points inside the page,
  // so its top and bottom lines are black a few rows inside those bands.
  const std::vector<bool> rows = blackRows(image);
  int first = -1, last = -1;
  for (int y = 0; y < image.height; ++y)
    if (rows[y]) {
      if (first < 0) first = y;
      last = y;
    }
  ASSERT_GE(first, 0) << "the label is blank";
  const double scale = 4.0 / 8.5 * 203 / 72;  // dots per point of the page
  const double top = (1218 - 792 * scale) / 2;
  EXPECT_NEAR(first, top + 15 * scale, 3);
  EXPECT_NEAR(last, top + 777 * scale, 3);
  // Scaled to fit, the page is as wide as the label: the frame's sides,
  // 15 to 25 points in from the page's edges, are dots 20 to 33 in from the
  // label's (bytes 2 to 4 of the middle row, and 97 to 99 on the right),
  // with nothing between them.
  const uint8_t* middle =
      image.lines.data() + static_cast<size_t>(image.height / 2) * image.bytesPerLine;
  const uint8_t white = image.oneIsWhite ? 0xff : 0x00;
  auto blackIn = [&](int32_t from, int32_t to) {
    for (int32_t x = from; x < to; ++x)
      if (middle[x] != white) return true;
    return false;
  };
  EXPECT_FALSE(blackIn(0, 2));
  EXPECT_TRUE(blackIn(2, 5));
  EXPECT_FALSE(blackIn(5, 97));
  EXPECT_TRUE(blackIn(97, 100));
}

// ---- media type and print orientation ----------------------------------------

// The printer's own settings until its owner chooses: then each choice goes
// out as the spooler front end's word for it (TYPE 1 is direct thermal,
// TYPE 0 thermal transfer, INVERT 1 inverted print).
TEST_F(LabelChoices, media_type_and_orientation_chosen_for_the_printer_reach_the_paper_line) {
  ScratchDir work("pchoice-vendor", 0755);
  const std::string job = makePdf(kJobs + "/label.ps", work.path, "label");
  struct Case {
    const char* type;
    const char* orientation;
    const char* paperLine;
  };
  for (const Case& c : {Case{"direct-thermal", "inverted", "~PAPER;LABELS 2;TYPE 1;INVERT 1"},
                        Case{"thermal-transfer", "normal", "~PAPER;LABELS 2;TYPE 0;INVERT 0"},
                        Case{"printer-default", "printer-default", "~PAPER;LABELS 2"}}) {
    std::string out;
    ASSERT_TRUE(runIppTest(
        appPrinterUri(*server, "label203"), "set-vendor-defaults.test",
        {"-d", std::string("type=") + c.type, "-d", std::string("orientation=") + c.orientation},
        out))
        << out;
    const PrintedStream p = readPrinted(printPdf(job, std::string("vendor_") + c.type, ""));
    ASSERT_TRUE(p.valid) << c.type << ": byte " << p.error.offset << ": " << p.error.message;
    EXPECT_EQ(p.report.paperLine, c.paperLine) << c.type;
  }
}

// ---- the other settings of the printer descriptions ---------------------------

// Each setting offered as a vendor attribute: its default, set by the
// printer's owner, reaches the printer as the front end's word for it (seen
// on the paper line, or as the slashed zero setting); set back to
// "printer-default" it sends nothing again. `companion` is a setting the
// row's own needs to show (a batch size counts only for pausing by batch;
// the cutting printer cuts each label, MEDIA 4, until a count is chosen).
struct VendorRow {
  const char* chosen;       // variable=keyword of set-vendor-defaults.test
  int dpi;                  // 300: the printer that cuts its labels
  const char* companion;    // another variable=keyword, or nullptr
  const char* paperLine;    // with the value chosen
  int slashZero;            // SLASH ZERO with the value chosen, -1 for none
  const char* defaultLine;  // with "printer-default" again
};

TEST_F(LabelChoices,
       every_vendor_setting_default_reaches_the_printer_and_printer_default_sends_none) {
  ScratchDir work("pchoice-more", 0755);
  const std::string job = makePdf(kJobs + "/label.ps", work.path, "label");
  const VendorRow rows[] = {
      {"tear_offset=-10", 203, nullptr, "~PAPER;FEED SHIFT -10;LABELS 2", -1, "~PAPER;LABELS 2"},
      {"pause_mode=each-label", 203, nullptr, "~PAPER;PAUSE 1;LABELS 2", -1, "~PAPER;LABELS 2"},
      {"batch_size=5", 203, "pause_mode=batch", "~PAPER;PAUSE 5;LABELS 2", -1, "~PAPER;LABELS 2"},
      {"labels_per_cut=3", 300, nullptr, "~PAPER;CUT 3;LABELS 2", -1, "~PAPER;MEDIA 4;LABELS 2"},
      {"slashed_zero=on", 203, nullptr, "~PAPER;LABELS 2", 1, "~PAPER;LABELS 2"},
      {"mirror_image=mirrored", 203, nullptr, "~PAPER;LABELS 2;MIRROR 1", -1, "~PAPER;LABELS 2"},
      {"slew_speed=7", 203, nullptr, "~PAPER;LABELS 2;SLEW IPS 7", -1, "~PAPER;LABELS 2"},
  };
  for (const VendorRow& r : rows) {
    const std::string name(r.chosen, strcspn(r.chosen, "="));
    std::vector<std::string> values = {r.chosen};
    if (r.companion != nullptr) values.push_back(r.companion);
    ASSERT_TRUE(setVendorDefaults(*server, r.dpi, values));
    const PrintedStream chosen = readPrinted(printPdfOn(*server, r.dpi, job, name + "_chosen", ""));
    ASSERT_TRUE(chosen.valid) << r.chosen << ": byte " << chosen.error.offset << ": "
                              << chosen.error.message;
    EXPECT_EQ(chosen.report.paperLine, r.paperLine) << r.chosen;
    EXPECT_EQ(chosen.report.slashZero, r.slashZero) << r.chosen;

    ASSERT_TRUE(setVendorDefaults(*server, r.dpi, {}));
    const PrintedStream unset = readPrinted(printPdfOn(*server, r.dpi, job, name + "_default", ""));
    ASSERT_TRUE(unset.valid) << r.chosen << ": byte " << unset.error.offset << ": "
                             << unset.error.message;
    EXPECT_EQ(unset.report.paperLine, r.defaultLine) << r.chosen;
    EXPECT_EQ(unset.report.slashZero, -1) << r.chosen;
  }
}

// The rotation turns a PDF job's picture on the label about its centre, as
// the front end's prolog does: a bar across one end of a label-sized page
// lies across the other end when turned half round, and along one side
// (shrunk to fit the long label) when turned a quarter.
TEST_F(LabelChoices, rotation_chosen_for_the_printer_turns_the_picture_on_the_label) {
  ScratchDir work("pchoice-turn", 0755);
  writeFile(work.path + "/bar.ps",
            "%!PS\n<< /PageSize [288 432] >> setpagedevice\n0 382 288 50 rectfill showpage\n");
  const std::string job = makePdf(work.path + "/bar.ps", work.path, "bar");
  struct Extent {
    int firstRow = -1, lastRow = -1, firstByte = -1, lastByte = -1;
  };
  auto printTurned = [&](const char* rotation) {
    Extent e;
    if (!setVendorDefaults(*server, 203, {std::string("rotation=") + rotation})) return e;
    const PrintedStream p = readPrinted(printPdf(job, std::string("turned_") + rotation, ""));
    EXPECT_TRUE(p.valid) << rotation << ": byte " << p.error.offset << ": " << p.error.message;
    if (p.images.size() != 1) {
      ADD_FAILURE() << rotation << ": " << p.images.size() << " pages";
      return e;
    }
    EXPECT_EQ(p.report.paperLine, "~PAPER;LABELS 2") << rotation;
    PcxImage image;
    std::string message;
    EXPECT_TRUE(readPcx(reinterpret_cast<const uint8_t*>(p.images[0].data()), p.images[0].size(),
                        &image, &message))
        << message;
    EXPECT_EQ(image.width, 812) << rotation;
    EXPECT_EQ(image.height, 1218) << rotation;
    const uint8_t white = image.oneIsWhite ? 0xff : 0x00;
    for (int32_t y = 0; y < image.height; ++y) {
      const uint8_t* line = image.lines.data() + static_cast<size_t>(y) * image.bytesPerLine;
      for (int32_t x = 0; x < image.width / 8; ++x) {
        if (line[x] == white) continue;
        if (e.firstRow < 0) e.firstRow = y;
        e.lastRow = y;
        if (e.firstByte < 0 || x < e.firstByte) e.firstByte = x;
        if (x > e.lastByte) e.lastByte = x;
      }
    }
    return e;
  };
  // The bar is 50 of the page's 432 points long: 141 rows at 203 dpi.
  const Extent none = printTurned("printer-default");
  const Extent half = printTurned("180");
  const Extent quarter = printTurned("90");
  ASSERT_TRUE(setVendorDefaults(*server, 203, {}));

  ASSERT_GE(none.firstRow, 0) << "the label is blank";
  const bool atStart = none.firstRow < 10;
  EXPECT_NEAR(none.lastRow - none.firstRow, 141, 3);
  EXPECT_NEAR(atStart ? none.firstRow : 1217 - none.lastRow, 0, 2);
  EXPECT_LE(none.firstByte, 1);
  EXPECT_GE(none.lastByte, 100);

  ASSERT_GE(half.firstRow, 0) << "the label is blank";
  EXPECT_NEAR(half.lastRow - half.firstRow, 141, 3);
  EXPECT_NEAR(atStart ? 1217 - half.lastRow : half.firstRow, 0, 2);
  EXPECT_LE(half.firstByte, 1);
  EXPECT_GE(half.lastByte, 100);

  // Turned a quarter, the 6 in page is shrunk to the label's 4 in width:
  // the bar runs along the label, as long as the shrunk page is wide
  // (4 * 4 / 6 in = 541 rows, centred), and 141 * 4 / 6 = 94 dots across.
  ASSERT_GE(quarter.firstRow, 0) << "the label is blank";
  EXPECT_NEAR(quarter.lastRow - quarter.firstRow, 541, 4);
  EXPECT_NEAR(quarter.firstRow, (1218 - 541) / 2, 4);
  EXPECT_NEAR((quarter.lastByte - quarter.firstByte + 1) * 8, 94, 16);
  EXPECT_TRUE(quarter.firstByte <= 1 || quarter.lastByte >= 100)
      << quarter.firstByte << ".." << quarter.lastByte;
}

// A default the owner set is kept in the state file: after the server is
// stopped and started again on the same file, jobs still get it.
TEST_F(LabelChoices, vendor_defaults_survive_a_restart_of_the_server) {
  AppServer own;
  struct StopAtEnd {
    AppServer& s;
    ~StopAtEnd() { stopAppServer(s); }
  } stopAtEnd{own};
  startAppServer(own, "prestart", {203});
  ASSERT_EQ(own.problem, "");
  ScratchDir work("pchoice-restart", 0755);
  const std::string job = makePdf(kJobs + "/label.ps", work.path, "label");
  ASSERT_TRUE(setVendorDefaults(own, 203, {"slew_speed=7", "type=direct-thermal"}));
  restartAppServer(own);
  ASSERT_EQ(own.problem, "");
  const PrintedStream p = readPrinted(printPdfOn(own, 203, job, "after_restart", ""));
  ASSERT_TRUE(p.valid) << "byte " << p.error.offset << ": " << p.error.message;
  EXPECT_EQ(p.report.paperLine, "~PAPER;LABELS 2;TYPE 1;SLEW IPS 7");
}

}  // namespace
