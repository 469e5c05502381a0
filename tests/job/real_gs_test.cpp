// Multi-page jobs rendered by the real Ghostscript at 203, 300 and 600 dpi,
// with and without bounding box and resolution request, upright and rotated:
// the stream's fixed parts byte for byte, and every page put back together
// from its bands (COMP1 through the band decoder) equal to the PCX file that
// Ghostscript writes for the same command.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "job_support.h"

namespace {

std::string findGs() {
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t at = 0; at <= dirs.size();) {
    size_t colon = dirs.find(':', at);
    if (colon == std::string::npos) colon = dirs.size();
    const std::string candidate = dirs.substr(at, colon - at) + "/gs";
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
    at = colon + 1;
  }
  return "";
}

struct JobShape {
  const char* name;
  int pages;
  int dpi;           // the resolution request in the job, 0 for none (gs gets 300)
  bool boundingBox;  // "%%BoundingBox: 0 0 286 430"
  bool labelSize;    // a 4x6 inch page; otherwise gs's default page
  int rotate;        // -rotate value, or -1 for none
  bool debug;
  std::vector<std::string> extraArgs;
};

// A label job: text, a frame and bars that differ on every page, so that the
// pages are told apart and the bands hold both runs and detail.
std::string labelJob(const JobShape& shape) {
  std::string job = "%!PS-Adobe-3.0\n";
  if (shape.boundingBox) job += "%%BoundingBox: 0 0 286 430\n";
  job += "%%Pages: " + std::to_string(shape.pages) + "\n%%EndComments\n";
  if (shape.dpi != 0)
    job += "<< /HWResolution [" + std::to_string(shape.dpi) + " " + std::to_string(shape.dpi) +
           "]" + (shape.labelSize ? " /PageSize [288 432]" : "") + " >> setpagedevice\n";
  else if (shape.labelSize)
    job += "<< /PageSize [288 432] >> setpagedevice\n";
  for (int page = 1; page <= shape.pages; ++page) {
    const std::string n = std::to_string(page);
    job += "%%Page: " + n + " " + n + "\n";
    job += "/Helvetica-Bold findfont 26 scalefont setfont\n";
    job += "20 380 moveto (LABEL " + n + " OF " + std::to_string(shape.pages) + ") show\n";
    job += "/Helvetica findfont 12 scalefont setfont\n";
    job += "20 350 moveto (Ship to: Dock " + n + ", Row " + std::to_string(page * 7) + ") show\n";
    job += "3 setlinewidth 8 8 272 416 rectstroke\n";
    job += "0 1 " + std::to_string(20 + page * 5) + " { dup 5 mul 24 add 40 moveto 3 mod 1 add " +
           n + " add setlinewidth 0 140 rlineto stroke } for\n";
    job += "showpage\n";
  }
  job += "%%EOF\n";
  return job;
}

class RealGs : public ::testing::TestWithParam<JobShape> {};

TEST_P(RealGs, pages_match_what_gs_writes_for_the_same_command) {
  const JobShape& shape = GetParam();
  const std::string gs = findGs();
  if (gs.empty()) VORMEL_CANNOT_RUN("Ghostscript is not installed");

  ScratchDir work("vtgswork"), cap("vtgscap"), ref("vtgsref");
  std::vector<std::string> args = {"-dir", cap.path};
  if (shape.rotate != -1) args.insert(args.end(), {"-rotate", std::to_string(shape.rotate)});
  if (shape.debug) args.push_back("-debug");
  args.insert(args.end(), shape.extraArgs.begin(), shape.extraArgs.end());

  ChildSpec runSpec;
  runSpec.program = VORMEL_BIN;
  runSpec.args = args;
  runSpec.input = labelJob(shape);
  runSpec.env = {{"TMPDIR", work.path}};
  const ChildResult run = runChild(runSpec);
  ASSERT_EQ(0, run.exitStatus) << run.err;
  EXPECT_EQ("", run.err);

  // The file gs rendered: kept in debug mode, otherwise formed again from its
  // header (argument 0 and every argument after one space) and the job.
  std::string capture = cap.path + "/again.ps";
  if (shape.debug) {
    const std::vector<std::string> left = listDir(cap.path);
    ASSERT_EQ(1u, left.size());
    capture = cap.path + "/" + left[0];
  } else {
    EXPECT_EQ(std::vector<std::string>{}, listDir(cap.path));
    EXPECT_EQ(std::vector<std::string>{}, listDir(work.path));
    std::string header = "% \n%  " + std::string(VORMEL_BIN);
    for (const std::string& arg : args) header += " " + arg;
    writeFile(capture, header + runSpec.input);
  }

  // The same command, writing into a directory of our own.
  const int orientation = shape.rotate == 90    ? 1
                          : shape.rotate == 180 ? 2
                          : shape.rotate == 270 ? 3
                                                : 0;
  ChildSpec render;
  render.program = gs;
  render.args = {"-q",
                 "-sDEVICE=pcxmono",
                 "-dNOPAUSE",
                 "-dBATCH",
                 "-dEPSCrop",
                 "-r" + std::to_string(shape.dpi != 0 ? shape.dpi : 300),
                 "-sOutputFile=" + ref.path + "/p_%d",
                 "-c",
                 "<< /Orientation " + std::to_string(orientation) + " >> setpagedevice",
                 "-f" + capture};
  ASSERT_EQ(0, runChild(render).exitStatus);
  ASSERT_EQ(static_cast<size_t>(shape.pages), listDir(ref.path).size());

  std::vector<StreamPage> parsed;
  ASSERT_EQ("", streamProblem(run.out, &parsed));
  ASSERT_EQ(static_cast<size_t>(shape.pages), parsed.size());

  const bool rotated = shape.rotate == 90 || shape.rotate == 270;
  std::string expected = "!QXR_SETUP\r\n" +
                         std::string(shape.boundingBox ? "ENGINE-LENGTH;5972:WIDTH;3972"
                                                       : "ENGINE-LENGTH;6000:WIDTH;4000") +
                         "\r\nWINMODE-BEGIN\r\nSAVESTATE\r\nQXR_END\r\n~CONFIG\r\nEND\r\n\r\n"
                         "~WINDRV\r\n";
  for (int page = 1; page <= shape.pages; ++page) {
    SCOPED_TRACE(page);
    const std::string pcx = readFile(ref.path + "/p_" + std::to_string(page));
    ASSERT_GT(pcx.size(), 128u);
    expected += "REPEAT;1\r\nPCX" + std::to_string(pcx.size()) + ";ROW1\r\n";
    const bool rawPages = !shape.extraArgs.empty() && shape.extraArgs[0] == "-PCX";
    for (size_t at = 0; at < pcx.size(); at += rawPages ? pcx.size() : 32768) expected += "<band>";
    if (!rawPages) {
      const std::vector<std::string>& kinds = parsed[page - 1].bandKinds;
      EXPECT_NE(kinds.end(), std::find(kinds.begin(), kinds.end(), "COMP1"))
          << "a label page should have bands that shrink";
    }
    expected += "ENDPCX\nPRINT\r\n";
    EXPECT_EQ("", describeDifference(pcx, parsed[page - 1].bytes));

    // The page has the size the job asked for, at the resolution it asked for.
    const int dpi = shape.dpi != 0 ? shape.dpi : 300;
    const int width = (static_cast<uint8_t>(pcx[8]) | static_cast<uint8_t>(pcx[9]) << 8) + 1;
    const int height = (static_cast<uint8_t>(pcx[10]) | static_cast<uint8_t>(pcx[11]) << 8) + 1;
    if (shape.labelSize) {
      EXPECT_EQ(4 * dpi, rotated ? height : width);
      EXPECT_EQ(6 * dpi, rotated ? width : height);
    }
    if (shape.debug) {
      const std::vector<std::string> images = pageImagesIn(work.path);
      ASSERT_EQ(static_cast<size_t>(shape.pages), images.size());
      EXPECT_EQ(pcx, readFile(images[page - 1]));
    }
  }
  expected += "WINDRVEND\r\n!QXR_SETUP\r\nWINMODE-END\r\nRESTORESTATE\r\nQXR_END\r\n";
  EXPECT_EQ("", describeDifference(expected, streamSkeleton(run.out)));
}

INSTANTIATE_TEST_SUITE_P(
    Jobs, RealGs,
    ::testing::Values(JobShape{"dpi203_bbox", 3, 203, true, true, -1, false, {}},
                      JobShape{"dpi300_no_request_rotate90", 2, 0, true, true, 90, true, {}},
                      JobShape{"dpi600_bbox_rotate180", 2, 600, true, true, 180, false, {}},
                      JobShape{"dpi203_no_bbox_rotate270", 2, 203, false, true, 270, true, {}},
                      JobShape{"dpi300_letter_no_bbox", 2, 300, false, false, -1, false, {}},
                      JobShape{"dpi203_raw_page_mode", 2, 203, true, true, 0, true, {"-PCX"}}),
    [](const ::testing::TestParamInfo<JobShape>& shape) { return std::string(shape.param.name); });

}  // namespace

namespace {

TEST(RealGsPaths, shell_characters_in_both_directories_render_and_run_nothing_else) {
  if (findGs().empty()) VORMEL_CANNOT_RUN("Ghostscript is not installed");
  ScratchDir work("vtgswork"), cap("vtgscap"), cwd("vtgscwd");
  const std::string tmpdir = work.path + "/t\"$(touch pwned1)`touch pwned2`'$HOME\\ x";
  const std::string capdir = cap.path + "/c\"$(touch pwned3)`touch pwned4`;touch pwned5";
  ASSERT_EQ(0, mkdir(tmpdir.c_str(), 0700));
  ASSERT_EQ(0, mkdir(capdir.c_str(), 0700));

  ChildSpec runSpec;
  runSpec.program = VORMEL_BIN;
  runSpec.args = {"-dir", capdir, "-debug"};
  runSpec.input = labelJob(JobShape{"", 2, 203, true, true, -1, true, {}});
  runSpec.env = {{"TMPDIR", tmpdir}};
  runSpec.cwd = cwd.path;
  const ChildResult run = runChild(runSpec);
  EXPECT_EQ(0, run.exitStatus) << run.err;
  EXPECT_EQ(std::vector<std::string>{}, listDir(cwd.path));
  std::vector<StreamPage> parsed;
  ASSERT_EQ("", streamProblem(run.out, &parsed));
  ASSERT_EQ(2u, parsed.size());
  // The images gs wrote into the odd directory are the pages that were sent.
  const std::vector<std::string> images = pageImagesIn(tmpdir);
  ASSERT_EQ(2u, images.size());
  for (int page = 0; page < 2; ++page) {
    const std::string pcx = readFile(images[page]);
    EXPECT_EQ(pcx, parsed[page].bytes);
  }
  EXPECT_EQ(1u, listDir(capdir).size());
}

TEST(RealGsPaths, a_job_that_renders_no_page_sends_no_printer_command_and_says_why) {
  if (findGs().empty()) VORMEL_CANNOT_RUN("Ghostscript is not installed");
  struct Row {
    const char* claim;
    std::string job;
    std::string error;
  } rows[] = {
      {"a PostScript error before the first page", "%!PS\nnosuchoperator\nshowpage\n",
       "ERROR: Ghostscript rendered no page (Error: /undefined in nosuchoperator); nothing was "
       "printed\n"},
      {"a job without pages", "%!PS\n%%BoundingBox: 0 0 288 432\n",
       "ERROR: Ghostscript rendered no page (the job has no pages); nothing was printed\n"},
      {"no job at all", "",
       "ERROR: Ghostscript rendered no page (the job has no pages); nothing was printed\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.claim);
    ScratchDir work("vtgswork");
    ChildSpec runSpec;
    runSpec.program = VORMEL_BIN;
    runSpec.input = row.job;
    runSpec.env = {{"TMPDIR", work.path}};
    const ChildResult run = runChild(runSpec);
    EXPECT_EQ(1, run.exitStatus);
    EXPECT_EQ(row.error, run.err);
    EXPECT_EQ(0u, run.out.rfind("Unable to find image file: ", 0)) << run.out;
    EXPECT_EQ(std::string::npos, run.out.find('\r')) << "a printer command was sent";
    EXPECT_EQ(std::vector<std::string>{}, listDir(work.path));
  }
}

TEST(RealGsPaths, a_pdf_job_is_rendered_as_pdf_page_for_page) {
  // A PDF made by Ghostscript from a two-page 4 x 6 inch label, followed by
  // the two lines a print queue adds for the label size and resolution.
  const std::string gs = findGs();
  if (gs.empty()) VORMEL_CANNOT_RUN("Ghostscript is not installed");
  ScratchDir work("vtgswork"), ref("vtgsref");
  writeFile(ref.path + "/label.ps", labelJob(JobShape{"", 2, 0, true, true, -1, false, {}}));
  ChildSpec makePdf;
  makePdf.program = gs;
  makePdf.args = {"-q",
                  "-sDEVICE=pdfwrite",
                  "-dNOPAUSE",
                  "-dBATCH",
                  "-sOutputFile=" + ref.path + "/label.pdf",
                  ref.path + "/label.ps"};
  ASSERT_EQ(0, runChild(makePdf).exitStatus);
  const std::string pdf = readFile(ref.path + "/label.pdf");
  ASSERT_EQ(0u, pdf.rfind("%PDF-", 0));

  // Option words enough to push the PDF header past the first KiB, where
  // Ghostscript no longer looks for it.
  std::vector<std::string> words;
  for (int i = 0; i < 150; ++i) words.insert(words.end(), {"-speed", "4"});
  for (const bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "job from a file" : "job from a pipe");
    ChildSpec runSpec;
    runSpec.program = fromFile ? "/bin/sh" : VORMEL_BIN;
    const std::string job = pdf + "%%BoundingBox: 0 0 288 432\n<< /HWResolution [203 203] >>\n";
    if (fromFile) {
      writeFile(ref.path + "/job.pdf", job);
      runSpec.args = {"-c", "job=$1; shift; exec \"$0\" \"$@\" < \"$job\"", VORMEL_BIN,
                      ref.path + "/job.pdf"};
    } else {
      runSpec.input = job;
    }
    runSpec.args.insert(runSpec.args.end(), words.begin(), words.end());
    runSpec.env = {{"TMPDIR", work.path}};
    const ChildResult run = runChild(runSpec);
    ASSERT_EQ(0, run.exitStatus) << run.err;
    std::vector<StreamPage> parsed;
    ASSERT_EQ("", streamProblem(run.out, &parsed));
    ASSERT_EQ(2u, parsed.size());
    EXPECT_EQ(0u, run.out.find("!QXR_SETUP\r\nENGINE-LENGTH;6000:WIDTH;4000\r\n"));
    EXPECT_NE(std::string::npos, run.out.find("~PAPER;SPEED IPS 4\r\n"));

    // Ghostscript's own rendering of the PDF, page for page.
    ChildSpec render;
    render.program = gs;
    render.args = {"-q",
                   "-sDEVICE=pcxmono",
                   "-dNOPAUSE",
                   "-dBATCH",
                   "-r203",
                   "-sOutputFile=" + ref.path + "/p_%d",
                   ref.path + "/label.pdf"};
    ASSERT_EQ(0, runChild(render).exitStatus);
    for (int page = 0; page < 2; ++page) {
      const std::string pcx = readFile(ref.path + "/p_" + std::to_string(page + 1));
      EXPECT_EQ("", describeDifference(pcx, parsed[page].bytes));
      const int width = (static_cast<uint8_t>(pcx[8]) | static_cast<uint8_t>(pcx[9]) << 8) + 1;
      const int height = (static_cast<uint8_t>(pcx[10]) | static_cast<uint8_t>(pcx[11]) << 8) + 1;
      EXPECT_EQ(4 * 203, width);
      EXPECT_EQ(6 * 203, height);
    }
  }
}

TEST(RealGsPaths, a_job_gs_rejects_fails_without_its_messages_reaching_the_printer) {
  if (findGs().empty()) VORMEL_CANNOT_RUN("Ghostscript is not installed");
  ScratchDir work("vtgswork");
  ChildSpec runSpec;
  runSpec.program = VORMEL_BIN;
  runSpec.input =
      "%!PS\n%%BoundingBox: 0 0 288 432\n<< /PageSize [288 432] >> setpagedevice\n"
      "20 20 moveto 100 100 lineto stroke showpage\nnosuchoperator\n";
  runSpec.env = {{"TMPDIR", work.path}};
  const ChildResult run = runChild(runSpec);
  EXPECT_EQ(1, run.exitStatus);
  // Ghostscript's own first error is named; nothing of it reaches the printer.
  EXPECT_EQ("ERROR: gs failed with exit status 1 (Error: /undefined in nosuchoperator)\n", run.err);
  EXPECT_EQ(std::string::npos, run.out.find("nosuchoperator"));
  EXPECT_EQ(0u, run.out.find("!QXR_SETUP\r\n"));
  std::vector<StreamPage> parsed;
  ASSERT_EQ("", streamProblem(run.out, &parsed));
  EXPECT_EQ(1u, parsed.size());  // the page rendered before the error
}

}  // namespace
