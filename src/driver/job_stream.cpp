// The printer job stream: everything the printer receives around the page
// images, in stream order, and the end of the run. Each block's printer
// literals stay together in one function so they can be read against the
// printer's command set line by line.
#include "driver/job_stream.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "diagnostics/debug_blocks.h"
#include "diagnostics/error_log.h"
#include "driver/render.h"
#include "state/job_settings.h"
#include "state/printer_output.h"
#include "transfer/page_transfer.h"

namespace {

// Why the page loop stopped, for the end-of-job message.
int failedPageResult = 0;

// Thousandths of an inch from points, in 32-bit signed arithmetic as the
// printer has always been sent it (the product wraps, the division truncates
// toward zero), the same on every platform.
int32_t thousandthsOfInch(int32_t points) {
  const int32_t product = static_cast<int32_t>(static_cast<uint32_t>(points) * 1000u);
  return product / 72;
}

// One paper-line item; the first one opens the line with "<sfcc>PAPER".
void writePaperItem(bool* started, const char* format, int32_t value = 0) {
  if (!*started) {
    printerPrintf("%cPAPER", newSFCC);
    *started = true;
  }
  printerPrintf(format, value);
}

}  // namespace

int reportMissingImages(const std::string& reason) {
  if (bDebug) writeMissingImageBlock();
  printerPrintf("Unable to find image file: %s/%s\n", dirLoc.c_str(), baseName().c_str());
  printerFlush();
  if (reason.empty())
    reportJobError("no page image was rendered (Unable to find image file: " + dirLoc + "/" +
                   baseName() + ")");
  else
    reportJobError(reason + "; nothing was printed");
  return 1;
}

void writeSetupBlock() {
  printerPrintf("!QXR_SETUP\r\n");
  printerPrintf("ENGINE-LENGTH;%d:WIDTH;%d\r\n", thousandthsOfInch(pageLen),
                thousandthsOfInch(pageWid));
  printerPrintf("WINMODE-BEGIN\r\nSAVESTATE\r\nQXR_END\r\n");
}

void writeConfigBlock() {
  printerPrintf("%cCONFIG\r\n", newSFCC);
  if (slashzero == 1)
    printerPrintf("SLASH ZERO;0\r\n");
  else if (slashzero == 2)
    printerPrintf("SLASH ZERO;1\r\n");
  printerPrintf("END\r\n");
}

void writePaperLine() {
  // Items in this fixed order; the line end is sent even when no item is, so
  // a job without media settings sends an empty line here.
  bool started = false;
  if (intensity <= 98) writePaperItem(&started, ";INTENSITY %d", intensity);

  switch (mediaHandling) {
    case 1:
      writePaperItem(&started, ";MEDIA 0");
      break;
    case 2:
      if (labelCut > 0)
        writePaperItem(&started, ";CUT %d", labelCut);
      else
        writePaperItem(&started, ";MEDIA 4");
      break;
    case 4:
      writePaperItem(&started, ";MEDIA 3");
      break;
    case 5:
      writePaperItem(&started, ";MEDIA 2");
      break;
    case 6:
      writePaperItem(&started, ";MEDIA 1");
      break;
    case 7:
      writePaperItem(&started, ";MEDIA 5");
      break;
    default:
      break;  // 0, and 3 (cut once, sent after the pages)
  }
  if (mediaHandling != 1 && tearOffset <= 98)
    writePaperItem(&started, ";FEED SHIFT %d", tearOffset);
  // A cut count of 0 is sent whatever the media handling.
  if (labelCut == 0) writePaperItem(&started, ";CUT 0");

  switch (pauseMode) {
    case 1:
      writePaperItem(&started, ";PAUSE 0");
      break;
    case 2:
      writePaperItem(&started, ";PAUSE 1");
      break;
    case 3:
      if (batchSize > 0)
        writePaperItem(&started, ";PAUSE %d", batchSize);
      else
        writePaperItem(&started, ";PAUSE 1");
      break;
    default:
      break;
  }
  switch (gapSensing) {
    case 1:
      writePaperItem(&started, ";LABELS 2");
      break;
    case 2:
      writePaperItem(&started, ";LABELS 1");
      break;
    case 3:
      writePaperItem(&started, ";LABELS 0");
      break;
    case 4:
      writePaperItem(&started, ";LABELS 3");
      break;
    case 5:
      writePaperItem(&started, ";LABELS 4");
      break;
    default:
      break;
  }
  if (mediaType == 1)
    writePaperItem(&started, ";TYPE 0");
  else if (mediaType == 2)
    writePaperItem(&started, ";TYPE 1");
  if (printSpeed > 0) writePaperItem(&started, ";SPEED IPS %d", printSpeed);
  if (slewSpeed > 0) writePaperItem(&started, ";SLEW IPS %d", slewSpeed);
  if (orient == 1)
    writePaperItem(&started, ";INVERT 0");
  else if (orient == 2)
    writePaperItem(&started, ";INVERT 1");
  if (mirror == 1)
    writePaperItem(&started, ";MIRROR 0");
  else if (mirror == 2)
    writePaperItem(&started, ";MIRROR 1");
  printerPrintf("\r\n");
}

void writeWindrv() { printerPrintf("%cWINDRV\r\n", newSFCC); }

int sendPage(int page) {
  const std::string path = pageImageName(page);
  // An image at the size limit is one that gs was stopped in the middle of.
  struct stat info;
  const bool atLimit = lstat(path.c_str(), &info) == 0 && info.st_size >= kPageFileLimit;
  const int result = atLimit ? kPageUnreadable : outputFile(path.c_str());
  if (result != 0) failedPageResult = result;
  return result;
}

void reportPageFailure(int page) {
  if (!bDebug) return;
  const std::string path = pageImageName(page);
  writePageErrorBlock(path);
  logMsg(true, "ERROR-2 ... unable to open file [" + path + "]");
}

void writeTrailer() {
  printerPrintf("WINDRVEND\r\n");
  if (mediaHandling == 3) printerPrintf("%cPAPER;CUTONCE\r\n", newSFCC);
  printerPrintf("!QXR_SETUP\r\nWINMODE-END\r\nRESTORESTATE\r\nQXR_END\r\n");
}

std::string describeJobFailure(int renderStatus, int pageCount, int pagesSent) {
  std::string text;
  if (printerFailed()) text = "writing to the printer failed (" + printerFailureText() + ")";
  if (renderStatus != 0) {
    if (!text.empty()) text += "; ";
    if (renderStatus == kRenderNotStarted)
      text += "gs could not be started";
    else if (renderStatus == kRenderPageTooLarge)
      text += "a page image grew past " + std::to_string(kPageFileLimit >> 20) +
              " MiB, so gs was stopped";
    else
      text += "gs failed with exit status " + std::to_string(renderStatus >> 8);
    const std::string message = firstRenderError();
    if (!message.empty() && renderStatus != kRenderNotStarted) text += " (" + message + ")";
  }
  if (pagesSent < pageCount && failedPageResult != kPagePrinterFailed) {
    if (!text.empty()) text += "; ";
    const int page = pagesSent + 1;
    text += "page " + std::to_string(page) + " of " + std::to_string(pageCount) +
            (failedPageResult == kPageNoMemory ? " could not be sent, out of memory ("
                                               : " could not be sent, its image cannot be read (") +
            pageImageName(page) + "); " + std::to_string(pageCount - pagesSent) +
            " page(s) not printed";
  }
  return text;
}

int finishJob(int renderStatus, int pageCount, int pagesSent) {
  printerFlush();
  if (bDebug) {
    writeCompletionBlock();
  } else {
    remove(saveFname.c_str());
  }

  const std::string failure = describeJobFailure(renderStatus, pageCount, pagesSent);
  if (failure.empty()) return 0;
  reportJobError(failure);
  return 1;
}
