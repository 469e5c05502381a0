// Real jobs through the real filter: PostScript rendered by Ghostscript,
// sent by vormel with a range of option words, then inspected. The reported
// settings must match the option words, and every extracted page must be
// byte for byte what Ghostscript writes for that page with the same command.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "inspect/job_stream_parser.h"
#include "inspect/pcx_reader.h"
#include "job_support.h"
#include "stream_builder.h"

namespace {

const std::string kVormel = VORMEL_BIN;
const std::string kInspect = VORMEL_INSPECT_BIN;

struct Job {
  const char* name;
  std::string text;
  int xRes;
  int32_t engineLength, engineWidth;
};

const std::vector<Job>& jobs() {
  static const std::vector<Job> list = {
      {"label",
       [] {
         const std::vector<uint8_t> t =
             readFileBytes(std::string(VORMEL_SOURCE_DIR) + "/docs/examples/label.ps");
         return std::string(t.begin(), t.end());
       }(),
       203, 6000, 4000},
      // No bounding box: default geometry and resolution, two full pages of
      // the default label's size.
      {"two-pages",
       "%!PS\n<< /PageSize [288 432] >> setpagedevice\n/Helvetica findfont 40 scalefont setfont\n"
       "72 600 moveto (First page) show 10 10 200 300 rectfill showpage\n"
       "72 500 moveto (Second page) show 5 setlinewidth 50 50 400 400 rectstroke showpage\n",
       300, 6000, 4000},
      {"small-600dpi",
       "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 216 144\n"
       "<< /HWResolution [600 600] /PageSize [216 144] >> setpagedevice\n"
       "/Courier findfont 18 scalefont setfont 10 100 moveto (600 dpi) show\n"
       "0 1 70 { 3 mul 10 add 10 moveto 0 60 rlineto 1 setlinewidth stroke } for showpage\n",
       600, 2000, 3000},
  };
  return list;
}

struct Options {
  const char* words;
  const char* paperLine;  // as sent, without CR LF
  uint8_t control;
  int slashZero;
  bool cutOnce;
  bool rawPages;
};

const std::vector<Options>& optionRows() {
  static const std::vector<Options> rows = {
      {"", "", '~', -1, false, false},
      {"-cutlabel -labelpercut 3 -gap -speed 6", "~PAPER;CUT 3;LABELS 2;SPEED IPS 6", '~', -1,
       false, false},
      {"-sfcc 35 -slashzero -tearoffset 0 -dt -slew 4 -invertOrient -mirrorImage",
       "#PAPER;FEED SHIFT 0;TYPE 1;SLEW IPS 4;INVERT 1;MIRROR 1", '#', 1, false, false},
      {"-cutjob -batchpause -batchsize 5 -intensity 10 -mark -tm",
       "~PAPER;INTENSITY 10;PAUSE 5;LABELS 1;TYPE 0", '~', -1, true, false},
      {"-PCX -noslashzero -cont -tearoffset 5 -labelpause -nogap -normOrient -normImage",
       "~PAPER;MEDIA 0;PAUSE 1;LABELS 0;INVERT 0;MIRROR 0", '~', 0, false, true},
      {"-cutlabel -labelpercut 0 -peel -advgap", "~PAPER;MEDIA 3;CUT 0;LABELS 3", '~', -1, false,
       false},
      {"-tearoffstrip -pauseoff -advnotch -tearoffset -3",
       "~PAPER;MEDIA 1;FEED SHIFT -3;PAUSE 0;LABELS 4", '~', -1, false, false},
      {"-rewind -batchpause", "~PAPER;MEDIA 5;PAUSE 1", '~', -1, false, false},
  };
  return rows;
}

class VormelRoundTrip : public ::testing::Test {
 protected:
  // Ghostscript's own pages for `job`, rendered with the filter's command.
  std::vector<std::vector<uint8_t>> referencePages(const Job& job) {
    const std::string sub = dir + "/ref-" + job.name;
    EXPECT_EQ(runShell(dir, "mkdir -p " + shellQuoted(sub)).exitStatus, 0);
    writeFileBytes(sub + "/job.ps", std::vector<uint8_t>(job.text.begin(), job.text.end()));
    const ChildResult gs = runShell(
        sub, "gs -q -sDEVICE=pcxmono -dNOPAUSE -dBATCH -dEPSCrop -r" + std::to_string(job.xRes) +
                 " -sOutputFile=ref_%d -c \"<< /Orientation 0 >> setpagedevice\" -f job.ps");
    EXPECT_EQ(gs.exitStatus, 0) << gs.err;
    std::vector<std::vector<uint8_t>> pages;
    for (int n = 1;; ++n) {
      const std::string path = sub + "/ref_" + std::to_string(n);
      if (runShell(dir, "test -f " + shellQuoted(path)).exitStatus != 0) break;
      pages.push_back(readFileBytes(path));
    }
    return pages;
  }

  // Runs vormel on `job` with `words`; returns the stream file's path.
  std::string runVormel(const Job& job, const std::string& words, const std::string& tag) {
    const std::string jobFile = dir + "/" + tag + ".ps";
    const std::string prn = dir + "/" + tag + ".prn";
    writeFileBytes(jobFile, std::vector<uint8_t>(job.text.begin(), job.text.end()));
    const ChildResult run = runShell(dir, kVormel + " " + words, jobFile);
    EXPECT_EQ(run.exitStatus, 0) << words << ": " << run.err;
    writeFileBytes(prn, std::vector<uint8_t>(run.out.begin(), run.out.end()));
    return prn;
  }

  ScratchDir scratch{"vti"};
  const std::string dir = scratch.path;
};

TEST_F(VormelRoundTrip, settings_match_the_option_words_and_pages_match_ghostscript) {
  int runs = 0;
  for (const Job& job : jobs()) {
    const std::vector<std::vector<uint8_t>> reference = referencePages(job);
    ASSERT_FALSE(reference.empty()) << job.name;
    for (size_t r = 0; r < optionRows().size(); ++r) {
      // Every option row on the label; plain and raw-page runs on the others.
      const Options& opt = optionRows()[r];
      if (std::string(job.name) != "label" && r != 0 && !opt.rawPages) continue;
      const std::string tag = std::string(job.name) + "-" + std::to_string(r);
      const std::string where = tag + " [" + opt.words + "]";
      const std::string prn = runVormel(job, opt.words, tag);
      ++runs;

      const ChildResult inspect = runShell(
          dir, kInspect + " --json --extract " + shellQuoted(tag) + " " + shellQuoted(prn));
      ASSERT_EQ(inspect.exitStatus, 0) << where << ": " << inspect.err;
      EXPECT_NE(inspect.out.find("\"paperLine\":\"" + std::string(opt.paperLine) + "\""),
                std::string::npos)
          << where << ": " << inspect.out.substr(0, 600);

      const std::vector<uint8_t> stream = readFileBytes(prn);
      JobReport report;
      StreamError error;
      ASSERT_TRUE(parseJobStream(stream.data(), stream.size(), &report, &error))
          << where << ": byte " << error.offset << ": " << error.message;
      EXPECT_EQ(report.paperLine, opt.paperLine) << where;
      EXPECT_EQ(report.controlChar, opt.control) << where;
      EXPECT_EQ(report.slashZero, opt.slashZero) << where;
      EXPECT_EQ(report.cutOnce, opt.cutOnce) << where;
      EXPECT_EQ(report.engineLength, job.engineLength) << where;
      EXPECT_EQ(report.engineWidth, job.engineWidth) << where;
      ASSERT_EQ(report.pages.size(), reference.size()) << where;
      for (size_t p = 0; p < reference.size(); ++p) {
        const std::string base = dir + "/" + tag + "/page-" + std::to_string(p + 1);
        EXPECT_EQ(report.pages[p].rawPageMode, opt.rawPages) << where;
        const std::vector<uint8_t> extracted = readFileBytes(base + ".pcx");
        ASSERT_EQ(extracted.size(), reference[p].size()) << where << " page " << p + 1;
        EXPECT_TRUE(extracted == reference[p]) << where << " page " << p + 1 << " differs";
        // The picture has the page's pixel dimensions.
        PcxImage image;
        std::string message;
        ASSERT_TRUE(readPcx(reference[p].data(), reference[p].size(), &image, &message, false));
        const std::vector<uint8_t> png = readFileBytes(base + ".png");
        ASSERT_GE(png.size(), 24u) << where;
        const uint32_t w = png[16] << 24 | png[17] << 16 | png[18] << 8 | png[19];
        const uint32_t h = png[20] << 24 | png[21] << 16 | png[22] << 8 | png[23];
        EXPECT_EQ(w, static_cast<uint32_t>(image.width)) << where;
        EXPECT_EQ(h, static_cast<uint32_t>(image.height)) << where;
        EXPECT_EQ(image.xDpi, job.xRes) << where;
      }
    }
  }
  EXPECT_GE(runs, 12);
}

// Broken copies of a real job: each is refused with a message and status 1.
TEST_F(VormelRoundTrip, corrupted_real_streams_are_refused) {
  const Job& job = jobs()[0];
  const std::string prn = runVormel(job, "-cutlabel -labelpercut 3 -gap", "real");
  const std::vector<uint8_t> good = readFileBytes(prn);
  ASSERT_EQ(runShell(dir, kInspect + " " + shellQuoted(prn)).exitStatus, 0);

  // Cut at every line boundary.
  int cuts = 0;
  for (const size_t end : lineEnds(good)) {
    if (end == good.size()) continue;
    writeFileBytes(dir + "/cut.prn", std::vector<uint8_t>(good.begin(), good.begin() + end));
    const ChildResult run = runShell(dir, kInspect + " cut.prn");
    EXPECT_EQ(run.exitStatus, 1) << "cut at " << end;
    EXPECT_NE(run.err.find("cut.prn: byte "), std::string::npos) << run.err;
    ++cuts;
  }
  EXPECT_GT(cuts, 20);

  // Lying counts in the PCX and BAND headers.
  const std::string text(good.begin(), good.end());
  const size_t pcx = text.find("PCX");
  const size_t pcxEnd = text.find(';', pcx);
  const int32_t size = std::stoi(text.substr(pcx + 3, pcxEnd - pcx - 3));
  const size_t band = text.find("BAND");
  const size_t bandEnd = text.find(';', band);
  const int32_t count = std::stoi(text.substr(band + 4, bandEnd - band - 4));
  // A page image count beyond the largest page taken is refused unread.
  struct Lie {
    size_t at, end;
    int32_t value;
    int status;
  };
  for (const Lie& lie :
       {Lie{pcx + 3, pcxEnd, size + 1, 1}, Lie{pcx + 3, pcxEnd, size - 1, 1},
        Lie{pcx + 3, pcxEnd, 2147483647, 2}, Lie{band + 4, bandEnd, count + 1, 1},
        Lie{band + 4, bandEnd, count - 1, 1}, Lie{band + 4, bandEnd, 2000000000, 1}}) {
    std::string bad = text;
    bad.replace(lie.at, lie.end - lie.at, std::to_string(lie.value));
    writeFileBytes(dir + "/lie.prn", std::vector<uint8_t>(bad.begin(), bad.end()));
    const ChildResult run = runShell(dir, kInspect + " lie.prn");
    EXPECT_EQ(run.exitStatus, lie.status) << lie.value << ": " << run.out;
    EXPECT_NE(run.err.find("lie.prn: byte "), std::string::npos) << run.err;
  }

  // Flipped bytes inside the first compressed band.
  const size_t data = text.find("\r\n", band) + 2;
  int reported = 0, total = 0;
  for (size_t i = data; i < data + static_cast<size_t>(count); i += 3) {
    std::vector<uint8_t> bad = good;
    bad[i] ^= 0xFF;
    JobReport report;
    StreamError error;
    ++total;
    if (!parseJobStream(bad.data(), bad.size(), &report, &error)) ++reported;
  }
  std::printf("real job: %d of %d flipped band bytes reported\n", reported, total);
  EXPECT_GE(reported * 100, total * 90);
  // A flipped byte as the program reports it.
  std::vector<uint8_t> bad = good;
  bad[data + 20] ^= 0xFF;
  writeFileBytes(dir + "/flip.prn", bad);
  const ChildResult run = runShell(dir, kInspect + " flip.prn");
  EXPECT_EQ(run.exitStatus, 1) << run.out;
  EXPECT_NE(run.err.find("flip.prn: byte "), std::string::npos) << run.err;
}

// The label size announced comes from the job's bounding box; the page
// Ghostscript renders has the size the job itself sets. Only a job that has
// both, alike, prints right; an EPS job is no exception, since the capture
// file begins with the filter's own comment line.
TEST_F(VormelRoundTrip, the_label_size_holds_only_when_the_job_sets_its_page_size_too) {
  const std::string draw =
      "/Helvetica findfont 20 scalefont setfont 10 10 moveto (label) show showpage\n";
  struct Row {
    const char* name;
    std::string job;
    int status;
    std::string inReport;
  };
  const std::vector<Row> table = {
      {"bounding box and page size alike",
       "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 216 144\n<< /PageSize [216 144] >> setpagedevice\n" +
           draw,
       0, "900 x 600 pixels at 300 x 300 dpi (3.000 x 2.000 in)"},
      {"a page size alone, smaller than the default label",
       "%!PS\n<< /PageSize [144 216] >> setpagedevice\n" + draw, 0, "(2.000 x 3.000 in)"},
      {"a bounding box alone", "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 216 144\n" + draw, 1,
       "wider than the 3.000 in label"},
      {"an EPS job with a bounding box alone",
       "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 216 144\n" + draw, 1,
       "longer than the 2.000 in label"},
  };
  for (const Row& row : table) {
    const Job job{row.name, row.job, 300, 0, 0};
    const std::string prn = runVormel(job, "", "size");
    const ChildResult run = runShell(dir, kInspect + " " + shellQuoted(prn));
    EXPECT_EQ(run.exitStatus, row.status) << row.name << "\n" << run.out << run.err;
    EXPECT_NE(run.out.find(row.inReport), std::string::npos) << row.name << ": " << run.out;
  }
}

}  // namespace
