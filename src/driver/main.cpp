// vormel: print filter for a thermal label printer. Reads a PostScript job on
// standard input and option words on the command line, has Ghostscript render
// each page to a monochrome PCX image, and writes the printer's command
// stream, with every page image cut into (compressed) bands, on standard output.
#include <csignal>
#include <cstdio>

#include "driver/job_capture.h"
#include "driver/job_files.h"
#include "driver/job_settings.h"
#include "driver/job_stream.h"
#include "driver/options.h"
#include "driver/render.h"
#include "transfer/printer_output.h"

int main(int argc, char** argv) {
  // A printer connection that drops must show up as a write error that the
  // job can report, not as a silent death by signal.
  signal(SIGPIPE, SIG_IGN);
  guardPrinterOutput();

  parseOptions(argc, argv);
  if (makeJobFiles(argc, argv) != 0) {
    fprintf(stderr, "ERROR: cannot create the job's temporary files\n");
    return 1;
  }
  captureJob(stdin);
  if (bRaw)
    return sendRawJob();

  const int renderStatus = renderJob();
  const int pageCount = searchDir(dirLoc, baseName());
  if (pageCount == 0)
    return reportMissingImages();

  writeSetupBlock();
  writeConfigBlock();
  writePaperLine();
  writeWindrv();
  const int pagesSent = sendPages(pageCount);
  writeTrailer();
  return finishJob(renderStatus, pageCount, pagesSent);
}
