// Whether a page image will print right on the label the stream announces:
// its width and length in dots, at the resolution its PCX header gives,
// against ENGINE-LENGTH and WIDTH (thousandths of an inch). Used by
// vormel-inspect for every measured page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "inspect/job_stream_parser.h"
#include "inspect/pcx_reader.h"

// Dots an image may exceed the label by. The renderer rounds a page to whole
// dots (up to half a dot more), and the announced size is cut to whole
// thousandths of an inch (up to 0.6 dot less at 600 dpi).
constexpr int32_t kLabelToleranceDots = 2;

// Returns one message for an image wider than the label and one for an
// image longer than it; none when it fits. The width is the image's window
// (xMax - xMin + 1): the padding bits that round each scan line up to an
// even number of bytes are never printed and not counted. An image without
// a resolution in its header cannot be placed on the label, which is a
// fault too.
std::vector<std::string> findLabelFaults(const JobReport& job, const PcxImage& image);

// Width or length in inches of `dots` at `dpi`; 0 when dpi is 0.
double dotsToInches(int32_t dots, int32_t dpi);
