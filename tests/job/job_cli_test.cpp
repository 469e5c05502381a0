// The whole program run the way the spooler runs it (argv, stdin, its own
// TMPDIR, exit status, files left behind), with the stub gs first on PATH
// writing deterministic pages. A failing gs or printer is in
// tests/hardening/fault_survival_test.cpp.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "job_support.h"

namespace {

const std::string kJob = "%!PS-Adobe-3.0\n%%Pages: 1\nshowpage\n";

class Cli : public ::testing::Test {
 protected:
  struct Outcome {
    ChildResult run;
    std::vector<std::string> gsArgs;  // as the stub received them
    std::string base;                 // base name of the run
    std::string capture;              // capture file path
  };

  Outcome runJob(const std::vector<std::string>& args,
                 std::vector<std::pair<std::string, std::string>> env = {},
                 const std::string& input = kJob, Output mode = Output::Collect) {
    ChildSpec runSpec;
    runSpec.program = VORMEL_BIN;
    runSpec.args = args;
    runSpec.input = input;
    runSpec.cwd = cwd.path;
    runSpec.output = mode;
    runSpec.readerAfter = 100;
    // One page unless the test says otherwise.
    runSpec.env = {{"TMPDIR", work.path},
                   {"PATH", stubPath()},
                   {"STUB_GS_ARGS", argsFile},
                   {"STUB_GS_PAGES", "1"}};
    runSpec.env.insert(runSpec.env.end(), env.begin(), env.end());
    unlink(argsFile.c_str());
    Outcome outcome;
    outcome.run = runChild(runSpec);
    std::string all = readFile(argsFile);
    for (size_t at = 0, lf; (lf = all.find('\n', at)) != std::string::npos; at = lf + 1)
      outcome.gsArgs.push_back(all.substr(at, lf - at));
    for (const std::string& arg : outcome.gsArgs) {
      if (arg.rfind("-sOutputFile=", 0) == 0) {
        const std::string pattern = arg.substr(13);
        const size_t slash = pattern.rfind('/');
        outcome.base = pattern.substr(slash + 1, pattern.size() - slash - 1 - 3);
      }
      if (arg.rfind("-f", 0) == 0) outcome.capture = arg.substr(2);
    }
    return outcome;
  }

  // The stream from the paper line (8th line) to the end of WINDRV.
  static std::string paperLine(const std::string& stream) {
    size_t at = 0;
    for (int line = 0; line < 7; ++line) at = stream.find("\r\n", at) + 2;
    return stream.substr(at, stream.find("\r\n", at) - at);
  }

  ScratchDir work{"vtwork"};
  ScratchDir cap{"vtcap"};
  ScratchDir cwd{"vtcwd"};
  ScratchDir meta{"vtmeta"};
  std::string argsFile = meta.path + "/gsargs";
};

TEST_F(Cli, golden_stream_of_a_run_without_options) {
  const Outcome o = runJob({});
  const std::string golden =
      readFile(std::string(VORMEL_SOURCE_DIR) + "/tests/job/golden/no_options.prn");
  ASSERT_FALSE(golden.empty());
  EXPECT_EQ("", describeDifference(golden, o.run.out));
  EXPECT_EQ(0, o.run.exitStatus);
  EXPECT_EQ("", o.run.err);
  // The empty page image was sent and removed; the capture file is gone.
  EXPECT_EQ(std::vector<std::string>{}, listDir(work.path));
  ASSERT_FALSE(o.capture.empty());
  EXPECT_EQ(0u, o.capture.rfind("/tmp/In_vdq", 0));
  EXPECT_FALSE(fileExists(o.capture));
}

TEST_F(Cli, nothing_gs_prints_reaches_the_printer_or_standard_error) {
  const Outcome o = runJob({}, {{"STUB_GS_STDOUT", "Error: /undefined in x\n"},
                                {"STUB_GS_STDERR", "GPL Ghostscript: noise\n"}});
  EXPECT_EQ("", describeDifference(
                    readFile(std::string(VORMEL_SOURCE_DIR) + "/tests/job/golden/no_options.prn"),
                    o.run.out));
  EXPECT_EQ("", o.run.err);
  EXPECT_EQ(0, o.run.exitStatus);
}

TEST_F(Cli, option_words_reach_the_paper_line) {
  struct Row {
    std::vector<std::string> args;
    std::string line;
  } rows[] = {
      {{}, ""},
      {{"-tearoffset", "0"}, "~PAPER;FEED SHIFT 0"},
      {{"-cont", "-tearoffset", "5"}, "~PAPER;MEDIA 0"},
      {{"-cutlabel", "-labelpercut", "0"}, "~PAPER;MEDIA 4;CUT 0"},
      {{"-labelpercut", "0"}, "~PAPER;CUT 0"},
      {{"-cutlabel", "-labelpercut", "3", "-gap", "-speed", "6"},
       "~PAPER;CUT 3;LABELS 2;SPEED IPS 6"},
      {{"-cutlabel", "-cont"}, "~PAPER;MEDIA 0"},
      {{"-peel"}, "~PAPER;MEDIA 3"},
      {{"-tearoff"}, "~PAPER;MEDIA 2"},
      {{"-tearoffstrip"}, "~PAPER;MEDIA 1"},
      {{"-rewind"}, "~PAPER;MEDIA 5"},
      {{"-cutjob"}, ""},
      {{"-nogap"}, "~PAPER;LABELS 0"},
      {{"-mark"}, "~PAPER;LABELS 1"},
      {{"-advgap"}, "~PAPER;LABELS 3"},
      {{"-advnotch"}, "~PAPER;LABELS 4"},
      {{"-tm"}, "~PAPER;TYPE 0"},
      {{"-dt"}, "~PAPER;TYPE 1"},
      {{"-pauseoff"}, "~PAPER;PAUSE 0"},
      {{"-labelpause"}, "~PAPER;PAUSE 1"},
      {{"-batchpause"}, "~PAPER;PAUSE 1"},
      {{"-batchpause", "-batchsize", "12"}, "~PAPER;PAUSE 12"},
      {{"-intensity", "12", "-slew", "4"}, "~PAPER;INTENSITY 12;SLEW IPS 4"},
      {{"-intensity"}, ""},
      {{"-normOrient", "-mirrorImage"}, "~PAPER;INVERT 0;MIRROR 1"},
      {{"-invertOrient", "-normImage"}, "~PAPER;INVERT 1;MIRROR 0"},
      {{"-sfcc", "35", "-dt"}, "#PAPER;TYPE 1"},
      {{"-Debug", "-pcx", "-GAP"}, ""},
  };
  for (const Row& row : rows) {
    std::string name;
    for (const std::string& a : row.args) name += a + " ";
    SCOPED_TRACE(name);
    const Outcome o = runJob(row.args);
    ASSERT_EQ(0, o.run.exitStatus) << o.run.err;
    EXPECT_EQ(row.line, paperLine(o.run.out));
  }
}

TEST_F(Cli, control_character_cut_once_and_slash_zero_shape_the_fixed_lines) {
  const Outcome o = runJob({"-sfcc", "35", "-cutjob", "-slashzero"}, {{"STUB_GS_SIZE", "1"}},
                           "%!PS\n%%BoundingBox: 10 20 298 452\nshowpage\n");
  EXPECT_EQ("", describeDifference(
                    "!QXR_SETUP\r\nENGINE-LENGTH;6277:WIDTH;4138\r\nWINMODE-BEGIN\r\nSAVESTATE\r\n"
                    "QXR_END\r\n#CONFIG\r\nSLASH ZERO;1\r\nEND\r\n\r\n#WINDRV\r\nREPEAT;1\r\n"
                    "PCX1;ROW1\r\nBAND1;COMP0\r\npENDPCX\nPRINT\r\nWINDRVEND\r\n#PAPER;CUTONCE\r\n!"
                    "QXR_SETUP\r\n"
                    "WINMODE-END\r\nRESTORESTATE\r\nQXR_END\r\n",
                    o.run.out));
  EXPECT_EQ(0, o.run.exitStatus);
}

TEST_F(Cli, pages_go_out_in_order_and_are_removed) {
  const Outcome o = runJob({}, {{"STUB_GS_PAGES", "3"}, {"STUB_GS_SIZE", "70000"}});
  ASSERT_EQ(0, o.run.exitStatus) << o.run.err;
  std::vector<StreamPage> parsed;
  ASSERT_EQ("", streamProblem(o.run.out, &parsed));
  ASSERT_EQ(3u, parsed.size());
  for (int n = 1; n <= 3; ++n) {
    const std::string want = stubPage(n, 70000);
    EXPECT_EQ(want, parsed[n - 1].bytes);
    EXPECT_EQ(3u, parsed[n - 1].bandKinds.size());
    EXPECT_EQ("COMP1", parsed[n - 1].bandKinds[0]) << "repetitive text should shrink";
  }
  EXPECT_EQ(std::vector<std::string>{}, listDir(work.path));
}

TEST_F(Cli, raw_page_mode_and_render_options_reach_gs_and_the_bands) {
  const Outcome o =
      runJob({"-PCX", "-rotate", "270"}, {{"STUB_GS_PAGES", "1"}, {"STUB_GS_SIZE", "40000"}},
             "%!PS\n<< /HWResolution [203 203] >> setpagedevice\nshowpage\n");
  ASSERT_EQ(0, o.run.exitStatus);
  std::vector<StreamPage> parsed;
  ASSERT_EQ("", streamProblem(o.run.out, &parsed));
  ASSERT_EQ(1u, parsed.size());
  EXPECT_EQ(std::vector<std::string>{"RAW"}, parsed[0].bandKinds);
  const std::vector<std::string> want = {
      "-q",
      "-dSAFER",
      "-sBandListStorage=memory",
      "-sDEVICE=pcxmono",
      "-dNOPAUSE",
      "-dBATCH",
      "-dEPSCrop",
      "-r203",
      "-sOutputFile=" + work.path + "/" + o.base + "/" + o.base + "_%d",
      "-c",
      "<< /Orientation 3 >> setpagedevice",
      "-f" + o.capture};
  EXPECT_EQ(want, o.gsArgs);
}

TEST_F(Cli, debug_mode_writes_every_block_in_order_and_keeps_every_file) {
  const Outcome o = runJob({"-debug", "-dir", cap.path}, {{"STUB_GS_PAGES", "2"}});
  ASSERT_EQ(0, o.run.exitStatus) << o.run.err;
  const std::string base = o.base;
  const std::string jobDir = work.path + "/" + base;
  const std::string image = jobDir + "/" + base;
  const std::string capture = cap.path + "/In_" + base + ".ps";
  const std::string command =
      "gs -q -dSAFER -sBandListStorage=memory -sDEVICE=pcxmono -dNOPAUSE -dBATCH -dEPSCrop -r300 "
      "-sOutputFile=\"" +
      image +
      "_%d\" -c \"<< /Orientation 0 >> "
      "setpagedevice\" -f\"" +
      capture + "\" 2>/dev/null";
  const std::string expected = "% \n%  " + std::string(VORMEL_BIN) + " -debug -dir " + cap.path +
                               "\n% \n"
                               "% ImageFileDirLoc=[" +
                               jobDir + "]\n% debugDirLoc=[" + cap.path +
                               "]\n"
                               "% ImageFileName=[/" +
                               base + "_1]\n\n% \n" + kJob + "% \n% tmpDir=[" + image +
                               "_1]\n% \n% gsCmd=[" + command +
                               "]\n% \n"
                               "% \n% gsCmd RC=[0]\n% \n"
                               "% \n% PROCESS COMPLETE \n% \n";
  EXPECT_EQ("", describeDifference(expected, readFile(capture)));
  EXPECT_EQ(std::vector<std::string>{base}, listDir(work.path));
  EXPECT_EQ(std::vector<std::string>({"gs-messages.txt", base + "_1", base + "_2"}),
            listDir(jobDir));
  EXPECT_EQ(std::vector<std::string>{"In_" + base + ".ps"}, listDir(cap.path));
}

TEST_F(Cli, missing_page_2_of_3_sends_page_1_and_fails_the_job) {
  for (const bool debug : {false, true}) {
    SCOPED_TRACE(debug);
    std::vector<std::string> args = {"-dir", cap.path};
    if (debug) args.push_back("-debug");
    const Outcome o = runJob(args, {{"STUB_GS_PAGES", "3"}, {"STUB_GS_SKIP", "2"}});
    const std::string jobDir = work.path + "/" + o.base;
    const std::string image = jobDir + "/" + o.base;
    EXPECT_EQ(1, o.run.exitStatus);
    EXPECT_EQ("ERROR: page 2 of 2 could not be sent, its image cannot be read (" + image +
                  "_2); 1 page(s) not printed\n",
              o.run.err);
    std::vector<StreamPage> parsed;
    ASSERT_EQ("", streamProblem(o.run.out, &parsed));
    ASSERT_EQ(1u, parsed.size());
    EXPECT_EQ(stubPage(1, 100), parsed[0].bytes);
    EXPECT_EQ(0u, o.run.out.find("!QXR_SETUP\r\n"));
    const std::string end =
        "PRINT\r\nWINDRVEND\r\n!QXR_SETUP\r\nWINMODE-END\r\nRESTORESTATE\r\nQXR_END\r\n";
    ASSERT_GE(o.run.out.size(), end.size());
    EXPECT_EQ(end, o.run.out.substr(o.run.out.size() - end.size()));

    const std::string message = "ERROR-2 ... unable to open file [" + image + "_2]";
    const std::string capture = readFile(cap.path + "/In_" + o.base + ".ps");
    const std::string log = readFile(work.path + "/err_" + o.base + ".txt");
    if (debug) {
      EXPECT_EQ(std::vector<std::string>({"err_" + o.base + ".txt", o.base}), listDir(work.path));
      EXPECT_EQ(std::vector<std::string>({"gs-messages.txt", o.base + "_1", o.base + "_3"}),
                listDir(jobDir));
      const std::string tail = "% \n% " + message + "\n% \n% \n% PROCESS COMPLETE \n% \n";
      ASSERT_GE(capture.size(), tail.size());
      EXPECT_EQ(tail, capture.substr(capture.size() - tail.size()));
      ASSERT_EQ(19 + 1 + message.size() + 1, log.size());
      EXPECT_TRUE(isTimeStamp(log.substr(0, 19)));
      EXPECT_EQ(" " + message + "\n", log.substr(19));
    } else {
      // The page gs wrote but that was never sent does not stay either.
      EXPECT_EQ(std::vector<std::string>{}, listDir(work.path));
      EXPECT_EQ(std::vector<std::string>{}, listDir(cap.path));
    }
    removeTree(work.path);
    mkdir(work.path.c_str(), 0700);
    removeTree(cap.path);
    mkdir(cap.path.c_str(), 0700);
  }
}

TEST_F(Cli, no_page_image_is_reported_with_status_1_and_files_stay_only_in_debug_mode) {
  for (const bool debug : {false, true}) {
    SCOPED_TRACE(debug);
    std::vector<std::string> args = {"-dir", cap.path};
    if (debug) args.push_back("-debug");
    const Outcome o = runJob(args, {{"STUB_GS_PAGES", "1"}, {"STUB_GS_SKIP", "1"}});
    const std::string prefix = work.path + "/" + o.base + "/" + o.base;
    EXPECT_EQ(1, o.run.exitStatus);
    EXPECT_EQ("Unable to find image file: " + prefix + "\n", o.run.out);
    EXPECT_EQ("ERROR: no page image was rendered (Unable to find image file: " + prefix + ")\n",
              o.run.err);
    if (debug) {
      EXPECT_EQ(std::vector<std::string>{"In_" + o.base + ".ps"}, listDir(cap.path));
      const std::string capture = readFile(cap.path + "/In_" + o.base + ".ps");
      const std::string tail =
          "% \n% gsCmd RC=[0]\n% \n% \n% ERROR: Unable to find image file: " + prefix + "\n% \n";
      ASSERT_GE(capture.size(), tail.size());
      EXPECT_EQ(tail, capture.substr(capture.size() - tail.size()));
    } else {
      EXPECT_EQ(std::vector<std::string>{}, listDir(cap.path));
      EXPECT_EQ(std::vector<std::string>{}, listDir(work.path));
    }
    removeTree(cap.path);
    mkdir(cap.path.c_str(), 0700);
  }
}

TEST_F(Cli, paths_with_shell_characters_render_and_run_nothing_else) {
  const std::string tmpdir =
      work.path + "/a\"b$(touch pwned1)c`touch pwned2`d'e $HOME\\f;touch pwned3";
  ASSERT_EQ(0, mkdir(tmpdir.c_str(), 0700));
  const std::string capdir = cap.path + "/x\"$(touch pwned4)`touch pwned5`";
  ASSERT_EQ(0, mkdir(capdir.c_str(), 0700));

  const Outcome o =
      runJob({"-debug", "-dir", capdir}, {{"TMPDIR", tmpdir}, {"STUB_GS_PAGES", "2"}});
  EXPECT_EQ(0, o.run.exitStatus) << o.run.err;
  EXPECT_EQ(std::vector<std::string>{}, listDir(cwd.path));  // nothing was touched
  ASSERT_EQ(12u, o.gsArgs.size());
  EXPECT_EQ("-sOutputFile=" + tmpdir + "/" + o.base + "/" + o.base + "_%d", o.gsArgs[8]);
  EXPECT_EQ("-f" + capdir + "/In_" + o.base + ".ps", o.gsArgs[11]);
  std::vector<StreamPage> parsed;
  ASSERT_EQ("", streamProblem(o.run.out, &parsed));
  EXPECT_EQ(2u, parsed.size());
  // The debug block shows the command text with the paths as they are.
  const std::string capture = readFile(capdir + "/In_" + o.base + ".ps");
  EXPECT_NE(std::string::npos,
            capture.find("-sOutputFile=\"" + tmpdir + "/" + o.base + "/" + o.base + "_%d\" -c"));
}

}  // namespace
