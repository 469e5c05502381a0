// vormel-cups: the spooler's filter for vormel queues. Takes the spooler's
// arguments (job id, user, title, copies, options, optional file), turns the
// marked PPD choices into vormel option words, lays the pages of a
// PostScript job on the chosen label (a PDF job comes laid on it by the
// spooler), runs vormel on it and relays its printer stream with page
// accounting. A command file asking for a self-test prints a self-test label.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "job_input.h"
#include "job_relay.h"
#include "label_page.h"
#include "maintenance.h"
#include "option_words.h"
#include "queue_ppd.h"
#include "relay_signals.h"
#include "vormel_location.h"

#ifndef VORMEL_INSTALLED_PATH
#define VORMEL_INSTALLED_PATH "/usr/local/bin/vormel"
#endif

namespace {

// Longest capture directory vormel keeps (its limit less the terminator).
constexpr size_t kCaptureDirLimit = 254;

void logWords(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& w : words) text += " " + w;
  fprintf(stderr, "DEBUG: vormel option words:%s\n", text.c_str());
}

// Passes on vormel's withheld message (not a printer stream) to the job log.
void logHeldText(const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) fprintf(stderr, "ERROR: vormel: %s\n", line.c_str());
    start = end + 1;
  }
}

// Turns the outcome of the run into the spooler's messages and an exit status.
int reportOutcome(const RelayResult& result, const char* program) {
  if (result.startFailed) {
    fprintf(stderr, "ERROR: cannot start %s\n", program);
    return 1;
  }
  logHeldText(result.heldText);
  if (result.cancelled) {
    if (result.streamCut)
      fprintf(stderr, "WARNING: the printer did not take the end of the cancelled job\n");
    fprintf(stderr, "INFO: Job cancelled after %d label(s) were sent\n", result.pagesSent);
    return 1;
  }
  if (result.outputFailed) {
    fprintf(stderr, "ERROR: writing to the printer failed: %s\n", strerror(result.outputError));
    return 1;
  }
  if (result.inputFailed) {
    fprintf(stderr, "ERROR: reading the job failed: %s\n", strerror(result.inputError));
    return 1;
  }
  if (result.signalNumber != 0) {
    fprintf(stderr, "ERROR: vormel was ended by signal %d\n", result.signalNumber);
    return 1;
  }
  if (result.exitStatus != 0) {
    fprintf(stderr, "ERROR: vormel failed with exit status %d\n", result.exitStatus);
    return 1;
  }
  fprintf(stderr, "INFO: Sent %d label(s) to the printer\n", result.pagesSent);
  return 0;
}

// vormel keeps its capture file where the spooler keeps the job's
// temporary files. Only an absolute path is passed: vormel would read a
// value beginning with '-' as an option word too.
void addCaptureDirectory(std::vector<std::string>& words) {
  const char* dir = getenv("TMPDIR");
  if (dir == nullptr || dir[0] != '/' || strlen(dir) > kCaptureDirLimit) return;
  words.emplace_back("-dir");
  words.emplace_back(dir);
}

bool isCommandFile() {
  const char* type = getenv("CONTENT_TYPE");
  return type != nullptr && strcmp(type, kCommandContentType) == 0;
}

// A command file stands for a job of its own: the self-test label. Returns
// false (after the ERROR line) for any other command.
bool makeCommandJob(int inputFd, const LabelPage& page, const std::vector<std::string>& words,
                    std::string& job) {
  std::string command, problem;
  if (!readMaintenanceCommand(inputFd, command, problem)) {
    fprintf(stderr, "ERROR: %s\n", problem.c_str());
    return false;
  }
  if (command != kSelfTestCommand) {
    fprintf(stderr, "ERROR: this printer has no command \"%s\"; it offers only %s\n",
            command.c_str(), kSelfTestCommand);
    return false;
  }
  const char* queue = getenv("PRINTER");
  job = selfTestJob(page, queue != nullptr ? queue : "", words);
  fprintf(stderr, "INFO: Printing a self-test label\n");
  return true;
}

// The text fed to vormel before the rest of the job: the job's first bytes,
// after the label prolog for PostScript. A PDF job must begin with its own
// header, so it gets no prolog; it comes laid on the label already, and a
// turn is asked of vormel. Returns false (after the ERROR or INFO line) when
// the job cannot be printed or was cancelled while its head was awaited.
bool makeJobLead(int inputFd, int signalFd, const LabelPage& page, std::vector<std::string>& words,
                 std::string& lead) {
  std::string head, problem;
  const int status = readJobHead(inputFd, signalFd, head, problem);
  if (status == 1) {
    fprintf(stderr, "INFO: Job cancelled after 0 label(s) were sent\n");
    return false;
  }
  if (status != 0) {
    fprintf(stderr, "ERROR: %s\n", problem.c_str());
    return false;
  }
  if (!isPdfJob(head)) {
    lead = labelProlog(page) + head;
    return true;
  }
  if (!addPdfRotationWords(page, words, problem)) {
    fprintf(stderr, "ERROR: %s\n", problem.c_str());
    return false;
  }
  lead = head;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // A vanished printer connection must come back as a write error.
  signal(SIGPIPE, SIG_IGN);
  if (argc < 6 || argc > 7) {
    fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
    return 1;
  }
  const int signalFd = installRelaySignals();
  if (signalFd < 0) {
    fprintf(stderr, "ERROR: cannot set up cancellation: %s\n", strerror(errno));
    return 1;
  }
  // The job file is checked before anything else, so that what is not a job
  // gives one error line and nothing for the printer.
  int inputFd = 0;
  if (argc == 7) {
    std::string problem;
    inputFd = openJobFile(argv[6], problem);
    if (inputFd < 0) {
      fprintf(stderr, "ERROR: %s\n", problem.c_str());
      return 1;
    }
  }

  // Option words come from the PPD choices only; the title (argv[3]) and the
  // user name never reach vormel's command line. Copies (argv[4]) are made
  // by the spooler before the job gets here, so they are not repeated.
  ppd_file_t* ppd = openMarkedPpd(argv[5]);
  if (ppd == nullptr) {
    fprintf(stderr, "ERROR: cannot read the printer description (PPD) of this queue\n");
    return 1;
  }
  std::vector<std::string> words;
  collectOptionWords(ppd, words);
  // A label size, choice or resolution the queue cannot print is refused
  // here, before anything reaches the printer: never replaced by another.
  LabelPage page;
  std::string problem;
  const bool printable = readLabelPage(ppd, argv[5], page, problem);
  ppdClose(ppd);
  if (!printable) {
    fprintf(stderr, "ERROR: %s\n", problem.c_str());
    return 1;
  }
  std::string lead;
  if (isCommandFile()) {
    std::string job;
    if (!makeCommandJob(inputFd, page, words, job)) return 1;
    lead = labelProlog(page) + job;
    inputFd = -1;
  } else if (!makeJobLead(inputFd, signalFd, page, words, lead)) {
    return 1;
  }
  addCaptureDirectory(words);

  const std::string program = locateVormel(VORMEL_INSTALLED_PATH);
  if (program.empty()) {
    fprintf(stderr, "ERROR: cannot find the vormel program\n");
    return 1;
  }
  logWords(words);
  fprintf(stderr, "INFO: Rendering labels\n");
  fflush(stderr);

  RelayResult result;
  relayJob(program.c_str(), words, lead, inputFd, labelTrailer(page), signalFd, result);
  return reportOutcome(result, program.c_str());
}
