// vormel: print filter for a thermal label printer. Reads a PostScript job on
// standard input and option words on the command line, has Ghostscript render
// each page to a monochrome PCX image, and writes the printer's command
// stream, with every page image cut into (compressed) bands, on standard
// output, each page as soon as Ghostscript has finished it.
#include <csignal>
#include <cstdio>

#include "driver/job_cancel.h"
#include "driver/job_capture.h"
#include "driver/job_files.h"
#include "driver/job_run.h"
#include "driver/job_settings.h"
#include "driver/options.h"
#include "transfer/printer_output.h"

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
  if (filesMade != 0) {
    fprintf(stderr, "ERROR: cannot create the job's temporary files\n");
    return 1;
  }
  const int captured = captureJob(stdin);
  if (bRaw)
    return sendRawJob();
  if (captured != 0) {
    // Rendering what did reach the disk would print a job cut short and call
    // it done; nothing has gone to the printer yet, so the job ends here.
    if (!bDebug)
      removeJobFiles();
    fprintf(stderr, "ERROR: the job could not be copied to its capture file %s\n", saveFname.c_str());
    return 1;
  }

  enterCancellableJob();
  if (streamingWanted())
    return streamJob();
  return renderThenSendJob();
}
