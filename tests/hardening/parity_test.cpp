// The i386 program against the x86-64 one: both run the same corpus (every
// option word, every kind of band, odd jobs, failing gs, real Ghostscript
// jobs) and must give the same standard output byte for byte, the same exit
// status, the same standard error and the same job files left behind, names
// and contents alike (with the run's own directory and base name, and time
// stamps, put aside). The i386 program is named by VORMEL_I386_BIN; without
// it the test is skipped, unless VORMEL_PARITY_REQUIRED=1 (as in CI).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "job_support.h"

namespace {

struct ParityCase {
  std::string name;
  std::vector<std::string> args;
  std::string input;
  enum Gs { Stub, Real, Missing } gs = Stub;
  std::string image;  // bytes of every page the stub writes ("" = its own)
  int pages = 1;
  std::vector<std::pair<std::string, std::string>> env;
};

struct Outcome {
  int exitStatus = -1;
  int signal = 0;
  std::string out;
  std::string err;
  std::map<std::string, std::string> files;
};

void replaceAll(std::string* text, const std::string& from, const std::string& to) {
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, at + to.size()))
    text->replace(at, from.size(), to);
}

// The run's base name ("vdq" and six letters or digits) and local time stamps
// differ from run to run; everything else must not.
std::string normalized(std::string text, const std::string& workDir,
                       const std::string& captureDir) {
  replaceAll(&text, workDir, "<work>");
  replaceAll(&text, captureDir, "<capture>");
  for (size_t at = text.find("vdq"); at != std::string::npos; at = text.find("vdq", at + 1)) {
    size_t n = 0;
    while (n < 6 && at + 3 + n < text.size() &&
           isalnum(static_cast<unsigned char>(text[at + 3 + n])))
      ++n;
    if (n == 6) text.replace(at + 3, 6, "XXXXXX");
  }
  for (size_t at = 0; at + 19 <= text.size(); ++at)
    if (isTimeStamp(text.substr(at, 19))) text.replace(at, 19, "<time>             ");
  return text;
}

Outcome runCase(const std::string& program, const ParityCase& c) {
  JobPlace place;
  ScratchDir source("vhp");
  std::vector<std::pair<std::string, std::string>> env = c.env;
  std::string gsDir = stubGsDir();
  if (c.gs == ParityCase::Real) gsDir = "";
  if (c.gs == ParityCase::Missing) env.push_back({"PATH", pathWithoutGs()});
  env.push_back({"STUB_GS_PAGES", std::to_string(c.pages)});
  env.push_back({"STUB_GS_ARGS", place.capture.path + "/gs-arguments"});
  if (!c.image.empty()) {
    writeFile(source.path + "/page", c.image);
    env.push_back({"STUB_GS_SOURCE", source.path + "/page"});
  }
  ChildSpec runSpec = jobSpec(place, c.args, c.input, gsDir, env);
  runSpec.program = program;
  const ChildResult r = runChild(runSpec);
  Outcome o;
  o.exitStatus = r.exitStatus;
  o.signal = r.signal;
  o.out = r.out.compare(0, 6, "Unable") == 0
              ? normalized(r.out, place.work.path, place.capture.path)
              : r.out;
  o.err = normalized(r.err, place.work.path, place.capture.path);
  for (const auto& [dir, tag] : {std::pair<std::string, std::string>{place.work.path, "work/"},
                                 {place.capture.path, "capture/"}})
    for (const std::string& name : listDir(dir))
      o.files[normalized(tag + name, place.work.path, place.capture.path)] =
          normalized(readFile(dir + "/" + name), place.work.path, place.capture.path);
  return o;
}

const char kBinaryJob[] = "\0\xff\r\n\x1b%%BoundingBox: 0 0 7 8\0\n\xfe";

ParityCase makeCase(const std::string& name, const std::vector<std::string>& args,
                    const std::string& input, ParityCase::Gs gs = ParityCase::Stub,
                    const std::string& image = "", int pages = 1,
                    const std::vector<std::pair<std::string, std::string>>& env = {}) {
  ParityCase c;
  c.name = name;
  c.args = args;
  c.input = input;
  c.gs = gs;
  c.image = image;
  c.pages = pages;
  c.env = env;
  return c;
}

std::vector<ParityCase> corpus() {
  std::vector<ParityCase> cases;
  const std::string job = postscriptJob(1);
  // Every option word alone, standalone words and value words with values
  // that convert oddly.
  for (const char* word :
       {"-debug",     "-raw",        "-gap",          "-mark",       "-nogap",
        "-advgap",    "-advnotch",   "-tm",           "-dt",         "-cont",
        "-cutlabel",  "-cutjob",     "-peel",         "-tearoff",    "-tearoffstrip",
        "-rewind",    "-pauseoff",   "-labelpause",   "-batchpause", "-noslashzero",
        "-slashzero", "-normOrient", "-invertOrient", "-normImage",  "-mirrorImage",
        "-PCX",       "-diag",       "-Debug",        "--gap",       "-speed"})
    cases.push_back(makeCase(std::string("word ") + word, {word}, job));
  const std::vector<std::vector<std::string>> valued = {{"-sr", "5"},
                                                        {"-sc", "x"},
                                                        {"-sfcc", "35"},
                                                        {"-sfcc", "300"},
                                                        {"-sfcc", "-1"},
                                                        {"-speed", "6"},
                                                        {"-slew", "-3"},
                                                        {"-intensity", "12"},
                                                        {"-intensity", "-2147483649"},
                                                        {"-labelpercut", "3", "-cutlabel"},
                                                        {"-labelpercut", "0"},
                                                        {"-batchsize", "4", "-batchpause"},
                                                        {"-tearoffset", "0"},
                                                        {"-tearoffset", "5", "-cont"},
                                                        {"-rotate", "90"},
                                                        {"-rotate", "180"},
                                                        {"-rotate", "270"},
                                                        {"-rotate", "45"},
                                                        {"-rotate", "abc"},
                                                        {"-speed", "99999999999"},
                                                        {"-speed", " +12x"},
                                                        {"-dir", std::string(300, 'd')},
                                                        {"-dir", "-gap"},
                                                        {"-speed", "-debug"},
                                                        {"-cutlabel",
                                                         "-labelpercut",
                                                         "3",
                                                         "-gap",
                                                         "-speed",
                                                         "6",
                                                         "-slew",
                                                         "8",
                                                         "-intensity",
                                                         "40",
                                                         "-tearoffset",
                                                         "7",
                                                         "-batchpause",
                                                         "-batchsize",
                                                         "9",
                                                         "-dt",
                                                         "-slashzero",
                                                         "-invertOrient",
                                                         "-mirrorImage",
                                                         "-sfcc",
                                                         "35",
                                                         "-cutjob"}};
  for (const std::vector<std::string>& args : valued)
    cases.push_back(makeCase("words " + args[0] + " " + args[1], args, job));

  // Every kind of band: compressed runs over several bands, incompressible,
  // exactly one band, one byte over, a single byte, empty, mixed, raw pages.
  struct Image {
    const char* name;
    std::string bytes;
  };
  const std::vector<Image> images = {{"compressible 100000", imageBytes(0, 100000, 1)},
                                     {"random 40000", imageBytes(1, 40000, 2)},
                                     {"32768", imageBytes(0, 32768, 3)},
                                     {"32769", imageBytes(2, 32769, 4)},
                                     {"one byte", "\x0a"},
                                     {"mixed 300000", imageBytes(2, 300000, 5)},
                                     {"zeros 65536", std::string(65536, '\0')}};
  for (const Image& image : images) {
    cases.push_back(
        makeCase("image " + std::string(image.name), {}, job, ParityCase::Stub, image.bytes, 2));
    cases.push_back(makeCase("raw page " + std::string(image.name), {"-PCX"}, job, ParityCase::Stub,
                             image.bytes, 1));
  }
  cases.push_back(makeCase("no page image", {}, job, ParityCase::Stub, "", 0));
  cases.push_back(
      makeCase("debug pages", {"-debug"}, job, ParityCase::Stub, imageBytes(2, 70000, 6), 3));

  // Jobs with odd geometry and odd bytes.
  const std::vector<std::pair<const char*, std::string>> inputs = {
      {"letter", "%!PS\n%%BoundingBox: 0 0 612 792\n"},
      {"fraction", "%%BoundingBox: 10 20 298.7 452\n"},
      {"huge size", "%%BoundingBox: 0 0 99999999 3000000\n"},
      {"negative size", "%%BoundingBox: 0 0 -288 -432\n"},
      {"resolution", "<< /HWResolution [203 203] /PageSize [288 432] >> setpagedevice\n"},
      {"atend then box", "%%BoundingBox: (atend)\nx\n%%BoundingBox: 0 0 144 72\n"},
      {"long box line", "%%BoundingBox: 0 0 " + std::string(300, ' ') + "300 400\n"},
      {"binary", std::string(kBinaryJob, sizeof kBinaryJob - 1)},
      {"no final newline", "%!PS\n%%BoundingBox: 0 0 100 200"},
      {"cr lf lines", "%!PS\r\n%%BoundingBox: 0 0 100 200\r\n"},
      {"empty", ""}};
  for (const auto& [name, input] : inputs) {
    cases.push_back(makeCase(std::string("input ") + name, {}, input));
    cases.push_back(makeCase(std::string("raw input ") + name, {"-raw"}, input));
  }

  // gs failing in its ways.
  cases.push_back(makeCase("page 2 of 3 missing", {"-debug"}, job, ParityCase::Stub, "", 3,
                           {{"STUB_GS_SKIP", "2"}}));
  cases.push_back(
      makeCase("gs exits 3", {}, job, ParityCase::Stub, "", 2, {{"STUB_GS_EXIT", "3"}}));
  cases.push_back(makeCase("gs missing", {"-debug"}, job, ParityCase::Missing));

  // Real Ghostscript.
  cases.push_back(makeCase("real gs", {"-gap"}, postscriptJob(2), ParityCase::Real));
  cases.push_back(makeCase("real gs 203 dpi rotated", {"-rotate", "90", "-debug"},
                           "<< /HWResolution [203 203] >> setpagedevice\n" + postscriptJob(1),
                           ParityCase::Real));
  cases.push_back(
      makeCase("real gs raw pages", {"-PCX"}, postscriptJob(1, 144, 72), ParityCase::Real));
  cases.push_back(makeCase("real gs label", {"-peel"},
                           readFile(std::string(VORMEL_SOURCE_DIR) + "/docs/examples/label.ps"),
                           ParityCase::Real));
  return cases;
}

bool isElf32(const std::string& path) {
  const std::string head = readFile(path).substr(0, 5);
  return head.size() == 5 &&
         head.compare(0, 4,
                      "\x7f"
                      "ELF") == 0 &&
         head[4] == 1;
}

TEST(Parity, i386_and_x86_64_programs_give_the_same_bytes_status_and_files) {
  const char* i386 = getenv("VORMEL_I386_BIN");
  if (i386 == nullptr || access(i386, X_OK) != 0)
    VORMEL_CANNOT_RUN("set VORMEL_I386_BIN to the i386 vormel (scripts/test does)");
  ASSERT_TRUE(isElf32(i386)) << i386 << " is not an i386 program";
  ASSERT_FALSE(isElf32(vormelBin()));
  int compared = 0;
  for (const ParityCase& c : corpus()) {
    SCOPED_TRACE(c.name);
    const Outcome native = runCase(vormelBin(), c);
    const Outcome other = runCase(i386, c);
    EXPECT_EQ(native.signal, 0);
    EXPECT_EQ(native.exitStatus, other.exitStatus);
    EXPECT_EQ(native.signal, other.signal);
    EXPECT_EQ(describeDifference(native.out, other.out), "");
    EXPECT_EQ(native.err, other.err);
    EXPECT_EQ(native.files.size(), other.files.size());
    for (const auto& [name, bytes] : native.files) {
      const auto found = other.files.find(name);
      if (found == other.files.end()) {
        ADD_FAILURE() << name << " is missing from the i386 run";
        continue;
      }
      EXPECT_EQ(describeDifference(bytes, found->second), "") << name;
    }
    ++compared;
  }
  EXPECT_GE(compared, 100);
}

}  // namespace
