// The job after its capture, as one loop: start gs, then send page k as soon
// as it is finished (streamed) or once gs has ended (render first), stop at
// the first page that cannot be sent, and end with the trailer. The loop owns
// the page numbers: it learns from the page watch which pages are finished
// and hands page k to the page transfer by its name. The debug blocks come in
// job order whichever way: the return-code block when gs returns, the
// page-error and completion blocks after it.
#include "driver/job_run.h"

#include <stdio_ext.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/job_cancel.h"
#include "driver/job_files.h"
#include "driver/job_stream.h"
#include "driver/page_watch.h"
#include "driver/render.h"
#include "state/job_settings.h"
#include "state/printer_output.h"

namespace {

struct Run {
  bool streaming = false;
  pid_t gs = -1;
  bool rendered = false;  // gs has ended and been reaped
  int renderStatus = 0;
  bool streamStarted = false;
  int page = 1;  // next page to send
  int sent = 0;
  int removed = 0;      // pages sent and removed from the work directory
  int pageCount = 0;    // known once rendered
  bool failed = false;  // a page could not be sent: no further page
};

// Whether page `page`'s image is an empty regular file: the placeholder as
// it was made, untouched by gs (a page image always has a header).
bool pageImageEmpty(int page) {
  struct stat info;
  return lstat(pageImageName(page).c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         info.st_size == 0;
}

std::string renderedNothingReason(int renderStatus) {
  if (renderStatus == kRenderNotStarted) return "gs could not be started";
  const std::string message = firstRenderError();
  return "Ghostscript rendered no page (" +
         (message.empty() ? std::string("the job has no pages") : message) + ")";
}

bool entryExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

void startStream(Run& run) {
  writeSetupBlock();
  writeConfigBlock();
  writePaperLine();
  writeWindrv();
  run.streamStarted = true;
}

// gs has ended. Pages already sent and removed still count: the count is
// that of every page gs wrote. A page failure found while gs ran is reported
// only now, after the return-code block.
void endRender(Run& run) {
  run.renderStatus = finishRender(run.gs);
  run.rendered = true;
  run.pageCount = searchDir(dirLoc, baseName()) + run.removed;
  if (run.failed) reportPageFailure(run.page);
}

void sendNextPage(Run& run) {
  if (run.streaming) pacePages(run.page, false);
  if (sendPage(run.page) != 0) {
    run.failed = true;
    if (run.rendered) reportPageFailure(run.page);
    return;
  }
  ++run.sent;
  if (!entryExists(pageImageName(run.page))) ++run.removed;
  ++run.page;
}

// The page watch ends with the page loop: it must not signal gs once gs is
// reaped.
void endPageLoop() { closePageWatch(); }

// A cancelled job: gs is stopped and waited for, no further page starts, the
// stream once started gets its trailer (the printer is never left inside a
// command), and every file of the run goes, in debug mode too: debug mode
// keeps files to look into a job that ended normally, and a cancelled job
// must leave nothing behind on the print server. The error log stays.
int endCancelledJob(Run& run) {
  endPageLoop();
  if (!run.rendered && run.gs > 0) {
    kill(run.gs, SIGKILL);
    waitRender(run.gs);
  }
  if (run.streamStarted) {
    writeTrailer();
    printerFlush();
  }
  removeJobFiles();
  // Not an error: someone asked for it. The status stays non-zero, since
  // the job was not printed whole.
  fprintf(stderr, "INFO: job cancelled; %d page(s) were sent to the printer\n", run.sent);
  fflush(stderr);
  return 1;
}

int runJob(bool streaming) {
  Run run;
  run.streaming = streaming;
  openPageWatch();  // before gs starts: no page close may be missed
  run.gs = startRender();
  watchRender(run.gs);
  // The stream's opening lines stay in the output buffer (it is fully
  // buffered and much larger) until the first band of page 1 is flushed, so
  // they can still be taken back should no page image be found after all.
  if (streaming) startStream(run);

  for (;;) {
    if (cancelRequested()) return endCancelledJob(run);
    if (!run.rendered && renderExited()) {
      endRender(run);
      // No page image at all (someone removed the placeholder and gs wrote
      // nothing), or only the placeholder as it was made (gs rendered no
      // page: a broken job, or one without pages): nothing has been flushed,
      // so the printer sees no command at all and no label is wasted.
      if (run.pageCount == 0 || (run.sent == 0 && run.pageCount == 1 && pageImageEmpty(1))) {
        __fpurge(stdout);
        endPageLoop();
        return reportMissingImages(run.pageCount == 0 ? ""
                                                      : renderedNothingReason(run.renderStatus));
      }
      if (!run.streamStarted) startStream(run);
    }
    if (run.rendered && (run.failed || run.page > run.pageCount)) break;
    if (!run.failed && (run.rendered || (streaming && pageFinished(run.page)))) {
      sendNextPage(run);
      continue;
    }
    // Waiting for gs (for page `page` to be finished, or for its end): it
    // runs until that page is finished, even when pages beyond are there
    // already (a page that gs skipped is decided only by its end). After a
    // failed page, and when rendering first, only gs's end is awaited, and
    // gs runs freely.
    pacePages(run.streaming && !run.failed ? run.page : 0, true);
    waitForProgress();
  }
  endPageLoop();
  writeTrailer();
  return finishJob(run.renderStatus, run.pageCount, run.sent);
}

}  // namespace

bool streamingWanted() {
  // VORMEL_SEQUENTIAL=1 is a switch for tests and benchmarks only, to compare
  // against the render-everything-first order; it is not a job setting.
  const char* sequential = getenv("VORMEL_SEQUENTIAL");
  if (sequential != nullptr && strcmp(sequential, "1") == 0) return false;
  return entryExists(pageImageName(1));
}

int streamJob() { return runJob(true); }

int renderThenSendJob() { return runJob(false); }
