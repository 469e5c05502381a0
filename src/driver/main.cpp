// vormel: print filter for a thermal label printer. Reads a PostScript job on
// standard input and option words on the command line, has Ghostscript render
// each page to a monochrome PCX image, and writes the printer's command
// stream, with every page image cut into (compressed) bands, on standard
// output, each page as soon as Ghostscript has finished it.
#include <csignal>
#include <cstdio>
#include <string>

#include "diagnostics/error_log.h"
#include "driver/job_cancel.h"
#include "driver/job_capture.h"
#include "driver/job_files.h"
#include "driver/job_run.h"
#include "driver/options.h"
#include "driver/raw_job.h"
#include "driver/render.h"
#include "state/job_settings.h"
#include "state/printer_output.h"

namespace {

// Every run ends here: outside debug mode no file of the job stays behind,
// whatever happened (the error log aside).
int endRun(int status) {
  if (!bDebug) removeJobFiles();
  return status;
}

int failRun(const std::string& why) {
  reportJobError(why);
  return endRun(1);
}

}  // namespace

int main(int argc, char** argv) {
  // A printer connection that drops must show up as a write error that the
  // job can report, not as a silent death by signal. gs must be waitable
  // even when the caller ignores SIGCHLD.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGCHLD, SIG_DFL);
  guardPrinterOutput();
  // Fully buffered whatever standard output is: nothing reaches the printer
  // before the first band of the first page is flushed.
  setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
  armCancellation();

  parseOptions(argc, argv);
  holdCancellation();
  const int filesMade = makeJobFiles(argc, argv);
  noteJobFilesForCancellation();
  if (filesMade != 0) return failRun("cannot create the job's temporary files");
  const int captured = captureJob(stdin);
  if (bRaw) return endRun(sendRawJob());
  // Rendering what did reach the disk would print a job cut short and call
  // it done; nothing has gone to the printer yet, so the job ends here.
  if (captured != 0) return failRun("the job could not be copied to its capture file " + saveFname);
  // A resolution or page size no label printer prints would only cost disk
  // and time: refused before anything is rendered or sent.
  const std::string geometry = checkPageGeometry();
  if (!geometry.empty()) return failRun(geometry + "; nothing was printed");

  enterCancellableJob();
  if (streamingWanted()) return endRun(streamJob());
  return endRun(renderThenSendJob());
}
