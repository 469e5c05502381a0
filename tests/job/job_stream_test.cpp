// The printer job stream around the pages, driven in-process from the job
// settings: setup block arithmetic, CONFIG block, every paper-line rule, the
// page loop's stop on a failed page, the trailer and the end-of-job verdict.
#include "driver/job_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

#include "job_support.h"
#include "state/job_settings.h"
#include "state/printer_output.h"

namespace {

class JobStream : public ::testing::Test {
 protected:
  void SetUp() override { setUpJobGlobals(dir.path); }
  ScratchDir dir;
};

TEST_F(JobStream, setup_block_gives_the_page_in_thousandths_of_an_inch) {
  struct Row {
    int32_t len, wid;
    const char* engine;
  } rows[] = {
      {432, 288, "ENGINE-LENGTH;6000:WIDTH;4000"},
      {792, 612, "ENGINE-LENGTH;11000:WIDTH;8500"},
      {452, 298, "ENGINE-LENGTH;6277:WIDTH;4138"},
      {-72, 0, "ENGINE-LENGTH;-1000:WIDTH;0"},
      {-100, 1, "ENGINE-LENGTH;-1388:WIDTH;13"},                     // truncation toward zero
      {2147483, 2147484, "ENGINE-LENGTH;29826152:WIDTH;-29826156"},  // 32-bit product wraps
  };
  for (const Row& row : rows) {
    pageLen = row.len;
    pageWid = row.wid;
    StdoutCapture capture;
    writeSetupBlock();
    EXPECT_EQ(std::string("!QXR_SETUP\r\n") + row.engine +
                  "\r\nWINMODE-BEGIN\r\nSAVESTATE\r\nQXR_END\r\n",
              capture.finish());
  }
}

TEST_F(JobStream, config_block_carries_the_slash_zero_choice) {
  const char* expected[] = {"~CONFIG\r\nEND\r\n", "~CONFIG\r\nSLASH ZERO;0\r\nEND\r\n",
                            "~CONFIG\r\nSLASH ZERO;1\r\nEND\r\n"};
  for (int value = 0; value <= 2; ++value) {
    slashzero = value;
    StdoutCapture capture;
    writeConfigBlock();
    EXPECT_EQ(expected[value], capture.finish());
  }
  newSFCC = '#';
  slashzero = 0;
  StdoutCapture capture;
  writeConfigBlock();
  writeWindrv();
  EXPECT_EQ("#CONFIG\r\nEND\r\n#WINDRV\r\n", capture.finish());
}

TEST_F(JobStream, paper_line_items_follow_each_rule_in_order) {
  struct Row {
    const char* name;
    std::function<void()> set;
    const char* line;  // without CR LF
  } rows[] = {
      {"nothing given", [] {}, ""},
      {"intensity 98", [] { intensity = 98; }, "~PAPER;INTENSITY 98"},
      {"intensity 99 is unset", [] { intensity = 99; }, ""},
      {"negative intensity", [] { intensity = -5; }, "~PAPER;INTENSITY -5"},
      {"cont", [] { mediaHandling = 1; }, "~PAPER;MEDIA 0"},
      {"cutlabel with count",
       [] {
         mediaHandling = 2;
         labelCut = 3;
       },
       "~PAPER;CUT 3"},
      {"cutlabel without count", [] { mediaHandling = 2; }, "~PAPER;MEDIA 4"},
      {"cutlabel count 0",
       [] {
         mediaHandling = 2;
         labelCut = 0;
       },
       "~PAPER;MEDIA 4;CUT 0"},
      {"cutjob", [] { mediaHandling = 3; }, ""},
      {"peel", [] { mediaHandling = 4; }, "~PAPER;MEDIA 3"},
      {"tearoff", [] { mediaHandling = 5; }, "~PAPER;MEDIA 2"},
      {"tearoffstrip", [] { mediaHandling = 6; }, "~PAPER;MEDIA 1"},
      {"rewind", [] { mediaHandling = 7; }, "~PAPER;MEDIA 5"},
      {"tear offset alone", [] { tearOffset = 0; }, "~PAPER;FEED SHIFT 0"},
      {"tear offset with cont",
       [] {
         mediaHandling = 1;
         tearOffset = 5;
       },
       "~PAPER;MEDIA 0"},
      {"tear offset with peel",
       [] {
         mediaHandling = 4;
         tearOffset = -3;
       },
       "~PAPER;MEDIA 3;FEED SHIFT -3"},
      {"tear offset 99 is unset", [] { tearOffset = 99; }, ""},
      {"cut count 0 alone", [] { labelCut = 0; }, "~PAPER;CUT 0"},
      {"cut count without cutlabel", [] { labelCut = 4; }, ""},
      {"pauseoff", [] { pauseMode = 1; }, "~PAPER;PAUSE 0"},
      {"labelpause", [] { pauseMode = 2; }, "~PAPER;PAUSE 1"},
      {"batchpause with size",
       [] {
         pauseMode = 3;
         batchSize = 7;
       },
       "~PAPER;PAUSE 7"},
      {"batchpause without size", [] { pauseMode = 3; }, "~PAPER;PAUSE 1"},
      {"batch size alone", [] { batchSize = 7; }, ""},
      {"gap", [] { gapSensing = 1; }, "~PAPER;LABELS 2"},
      {"mark", [] { gapSensing = 2; }, "~PAPER;LABELS 1"},
      {"nogap", [] { gapSensing = 3; }, "~PAPER;LABELS 0"},
      {"advgap", [] { gapSensing = 4; }, "~PAPER;LABELS 3"},
      {"advnotch", [] { gapSensing = 5; }, "~PAPER;LABELS 4"},
      {"tm", [] { mediaType = 1; }, "~PAPER;TYPE 0"},
      {"dt", [] { mediaType = 2; }, "~PAPER;TYPE 1"},
      {"speed", [] { printSpeed = 6; }, "~PAPER;SPEED IPS 6"},
      {"speed 0 is unset", [] { printSpeed = 0; }, ""},
      {"slew", [] { slewSpeed = 8; }, "~PAPER;SLEW IPS 8"},
      {"negative slew", [] { slewSpeed = -8; }, ""},
      {"normOrient", [] { orient = 1; }, "~PAPER;INVERT 0"},
      {"invertOrient", [] { orient = 2; }, "~PAPER;INVERT 1"},
      {"normImage", [] { mirror = 1; }, "~PAPER;MIRROR 0"},
      {"mirrorImage", [] { mirror = 2; }, "~PAPER;MIRROR 1"},
      {"other control character",
       [] {
         newSFCC = '#';
         gapSensing = 1;
       },
       "#PAPER;LABELS 2"},
      {"example job",
       [] {
         mediaHandling = 2;
         labelCut = 3;
         gapSensing = 1;
         printSpeed = 6;
       },
       "~PAPER;CUT 3;LABELS 2;SPEED IPS 6"},
      {"every rule at once",
       [] {
         intensity = 10;
         mediaHandling = 6;
         tearOffset = 2;
         labelCut = 0;
         pauseMode = 3;
         batchSize = 4;
         gapSensing = 5;
         mediaType = 2;
         printSpeed = 3;
         slewSpeed = 9;
         orient = 2;
         mirror = 2;
       },
       "~PAPER;INTENSITY 10;MEDIA 1;FEED SHIFT 2;CUT 0;PAUSE 4;LABELS 4;TYPE 1;SPEED IPS 3;"
       "SLEW IPS 9;INVERT 1;MIRROR 1"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    setUpJobGlobals(dir.path);
    row.set();
    StdoutCapture capture;
    writePaperLine();
    EXPECT_EQ(std::string(row.line) + "\r\n", capture.finish());
  }
}

TEST_F(JobStream, trailer_adds_the_cut_once_line_only_when_cutting_after_the_job) {
  for (int handling = 0; handling <= 7; ++handling) {
    mediaHandling = handling;
    StdoutCapture capture;
    writeTrailer();
    EXPECT_EQ(std::string("WINDRVEND\r\n") + (handling == 3 ? "~PAPER;CUTONCE\r\n" : "") +
                  "!QXR_SETUP\r\nWINMODE-END\r\nRESTORESTATE\r\nQXR_END\r\n",
              capture.finish());
  }
}

TEST_F(JobStream, verdict_names_every_cause_in_one_line) {
  EXPECT_EQ("", describeJobFailure(0, 2, 2));
  EXPECT_EQ("gs failed with exit status 1", describeJobFailure(256, 1, 1));
  EXPECT_EQ("gs could not be started", describeJobFailure(127 << 8, 1, 1));
  StdoutCapture capture;
  int full = open("/dev/full", O_WRONLY);
  dup2(full, 1);
  close(full);
  printerPrintf("x");
  printerFlush();
  const std::string text = describeJobFailure(3 << 8, 1, 1);
  capture.finish();
  EXPECT_EQ("writing to the printer failed (No space left on device); gs failed with exit status 3",
            text);
}

TEST_F(JobStream, finishing_removes_the_capture_file_unless_debugging) {
  for (const bool debug : {false, true}) {
    bDebug = debug;
    writeFile(saveFname, "% job\n");
    StdoutCapture capture;
    EXPECT_EQ(0, finishJob(0, 1, 1));
    capture.finish();
    EXPECT_EQ(debug, fileExists(saveFname));
    if (debug) {
      EXPECT_EQ("% job\n% \n% PROCESS COMPLETE \n% \n", readFile(saveFname));
    }
  }
}

TEST_F(JobStream, missing_images_are_reported_on_standard_output_with_status_1) {
  bDebug = true;
  writeFile(saveFname, "% job\n");
  StdoutCapture capture;
  EXPECT_EQ(1, reportMissingImages(""));
  EXPECT_EQ("Unable to find image file: " + dir.path + "/vdqTEST\n", capture.finish());
  EXPECT_EQ("% job\n% \n% ERROR: Unable to find image file: " + dir.path + "/vdqTEST\n% \n",
            readFile(saveFname));
}

}  // namespace
