// 32 jobs at once in one temporary directory and one capture directory, with
// different inputs and options, stub gs and real Ghostscript: each job's
// standard output, status and the capture copy its gs read must be exactly
// those of the same job run alone, and nothing may remain afterwards.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "job_support.h"

namespace {

struct SharedJob {
  std::vector<std::string> args;
  std::string input;
  bool realGs = false;
  int pages = 1;
  std::string imageFile;  // stub page bytes ("" = the stub's own)
};

// Runs `job` with TMPDIR `work` and -dir `capture`; the stub copies the input
// it was given to `copyFile`.
ChildSpec sharedSpec(const SharedJob& job, const std::string& work, const std::string& capture,
                     const std::string& copyFile) {
  ChildSpec runSpec;
  runSpec.program = vormelBin();
  runSpec.argv0 = "vormel";
  runSpec.args = {"-dir", capture};
  runSpec.args.insert(runSpec.args.end(), job.args.begin(), job.args.end());
  runSpec.input = job.input;
  runSpec.env = {{"TMPDIR", work},
                 {"PATH", pathFor(job.realGs ? "" : stubGsDir())},
                 {"STUB_GS_PAGES", std::to_string(job.pages)},
                 {"STUB_GS_COPY", copyFile}};
  if (!job.imageFile.empty()) runSpec.env.push_back({"STUB_GS_SOURCE", job.imageFile});
  return runSpec;
}

TEST(ConcurrentJobs, thirty_two_jobs_in_one_directory_match_their_runs_alone) {
  ScratchDir images("vhi");
  const char* const words[] = {"-gap",     "-cutlabel", "-peel",   "-PCX",
                               "-tearoff", "-mark",     "-cutjob", "-dt"};
  std::vector<SharedJob> jobs;
  for (int i = 0; i < 32; ++i) {
    SharedJob job;
    job.args = {words[i % 8], "-speed", std::to_string(i)};
    job.realGs = i % 8 == 3;  // four jobs through real Ghostscript
    job.input = postscriptJob(1 + i % 3, 144 + 8 * i, 72 + 4 * i);
    job.pages = 1 + i % 4;
    if (i % 2 == 0) {
      job.imageFile = images.path + "/image" + std::to_string(i);
      writeFile(job.imageFile, imageBytes(i % 3, 20000 + 3000 * i, i));
    }
    jobs.push_back(job);
  }

  // Alone, one after the other, each in private directories.
  std::vector<ChildResult> alone;
  std::vector<std::string> aloneCopies;
  for (const SharedJob& job : jobs) {
    JobPlace place;
    ScratchDir copies("vhk");
    alone.push_back(
        runChild(sharedSpec(job, place.work.path, place.capture.path, copies.path + "/c")));
    aloneCopies.push_back(readFile(copies.path + "/c"));
    ASSERT_EQ(alone.back().exitStatus, 0) << alone.back().err;
  }

  // All at once, sharing one work and one capture directory.
  JobPlace shared;
  ScratchDir copies("vhk");
  std::vector<std::unique_ptr<Child>> children;
  for (size_t i = 0; i < jobs.size(); ++i) {
    children.push_back(std::make_unique<Child>());
    ASSERT_TRUE(startChild(sharedSpec(jobs[i], shared.work.path, shared.capture.path,
                                      copies.path + "/c" + std::to_string(i)),
                           children.back().get()));
  }
  for (size_t i = 0; i < jobs.size(); ++i) {
    SCOPED_TRACE(i);
    const ChildResult r = finishChild(children[i].get());
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(describeDifference(alone[i].out, r.out), "");
    EXPECT_EQ(streamProblem(r.out), "");
    // gs of this job read this job's capture (the header names its own -dir,
    // which is why only the job text after the header is compared).
    const std::string copy = readFile(copies.path + "/c" + std::to_string(i));
    if (!jobs[i].realGs) {
      ASSERT_GE(copy.size(), jobs[i].input.size());
      EXPECT_EQ(copy.substr(copy.size() - jobs[i].input.size()), jobs[i].input);
      EXPECT_EQ(copy.size(), aloneCopies[i].size());  // directory names of one length
    }
  }
  EXPECT_EQ(listDir(shared.work.path), std::vector<std::string>{});
  EXPECT_EQ(listDir(shared.capture.path), std::vector<std::string>{});
}

}  // namespace
