// The label a job is printed on, and the PostScript around the job that lays
// every page on it. The front end reads the label from the marked PPD, checks
// that the job's options ask for nothing the queue cannot print, and feeds
// vormel the prolog, the job and the trailer.
#pragma once

#include <cups/ppd.h>

#include <string>
#include <vector>

struct LabelPage {
  std::string sizeName;  // the PPD size name, or "Custom"
  double width = 0;      // points, across the print head
  double length = 0;     // points, along the feed
  int resolution = 0;    // dots per inch, the printer model's native resolution
  int rotation = 0;      // degrees the picture is turned on the label: 0, 90, 180 or 270
};

// Fills `page` from `ppd` (defaults and job options already marked) and
// checks the job's options `optionsText` (the spooler's fifth argument):
// every size asked for by PageSize, PageRegion or media must be the marked
// label size, every choice of a PPD option must be one the PPD offers, a
// custom size must lie within the PPD's custom size limits, and a Resolution
// option must name the model's resolution. Returns true, or false with
// `problem` set to a sentence for the spooler's ERROR line.
bool readLabelPage(ppd_file_t* ppd, const char* optionsText, LabelPage& page, std::string& problem);

// The label in dots at the model's resolution, as the renderer sizes its page.
int labelWidthDots(const LabelPage& page);
int labelLengthDots(const LabelPage& page);

// PostScript lines put before the job. They fix the render resolution (in
// the form vormel's job scan reads) and the page to the label: a page size
// the job asks for is laid on the label instead, turned when its orientation
// differs and scaled to fit; the job's own resolution, orientation, media
// and policy requests are dropped. A rotation turns the fitted picture about
// the label's centre, shrunk to fit when it is turned by 90 or 270 degrees
// on a label that is not square.
std::string labelProlog(const LabelPage& page);

// Lines put after the job, PostScript or PDF: the resolution line again and
// a bounding box of the label in whole points, so that the last of each in
// the job, the ones vormel goes by, announce this label whatever the job
// wrote. Ghostscript reads a PDF up to its end-of-file marker and ignores
// these lines after it.
std::string labelTrailer(const LabelPage& page);

// A PDF job reaches the front end with its pages already laid on the label
// by the spooler's PDF filter, and is fed to vormel as it is: no prolog can
// turn it. vormel's own turn does, and keeps the page's size when the turn
// is 180 degrees or the label is square. Appends "-rotate" and the degrees
// to `words` for such a turn (nothing for none) and returns true; returns
// false with `problem` set to a sentence for the spooler's ERROR line for 90
// or 270 degrees on a label that is not square, which only the spooler's
// PDF filter can turn and shrink (the sentence names its job options).
bool addPdfRotationWords(const LabelPage& page, std::vector<std::string>& words,
                         std::string& problem);
