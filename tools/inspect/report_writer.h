// The two views of an inspected job: a summary for people and JSON for
// scripts. Both are written while the stream is read (the settings before
// the first page, each page once it is done, the totals at the end), so that
// a report of any length is never held, and both show whatever was read,
// also when the stream is invalid. Bytes taken from the stream or from file
// names are escaped: nothing written can act as a terminal control.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "inspect/job_stream_parser.h"
#include "inspect/page_images.h"

// The outcome of one inspection, known at the end.
struct InspectResult {
  std::string source;  // file name as given, or "-" for standard input
  JobReport job;
  bool wellFormed = false;     // the parse ended without error
  StreamError error;           // when not wellFormed
  size_t pagesNotFitting = 0;  // measured pages wider or longer than the label
};

// The stream is valid: well formed, and every page fits the label.
bool isValid(const InspectResult& result);

struct ReportWriter {
  FILE* out = nullptr;
  bool json = false;
  std::string source;
  bool headWritten = false;
  int lastPageWritten = 0;  // number of the last page written
};

// Writes the job's settings (once); called before the first page, or by
// writeReportEnd when no page was written.
void writeReportHead(ReportWriter* writer, const JobReport& job);

// Writes one page: its place in the stream and bands, its image when
// measured (`image` may be null), the files written and its label faults.
void writeReportPage(ReportWriter* writer, const JobReport& job, const PageInfo& page,
                     const PageImageInfo* image, const std::vector<std::string>& labelFaults);

// Writes the page the parse stopped in, unless already written, and the
// totals with the verdict.
void writeReportEnd(ReportWriter* writer, const InspectResult& result);
