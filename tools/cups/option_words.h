// Printer-description choices into vormel option words. The front end marks
// the queue's defaults and the job's options in the PPD, then asks here which
// words the marked choices stand for.
#pragma once

#include <cups/ppd.h>

#include <string>
#include <vector>

// Appends to `words`, in a fixed order, the option words for every printer
// setting whose marked choice in `ppd` is not "PrinterDefault". Choices that
// stand for a number (speed, darkness, counts, offsets) become the value word
// and the number; a number that is not a plain decimal integer is skipped.
// Nothing else is ever added: no job title, user name or free text. The
// rotation is not among them: the front end turns a PostScript job's
// picture itself and asks vormel to turn a PDF job (addPdfRotationWords).
void collectOptionWords(ppd_file_t* ppd, std::vector<std::string>& words);

// Checks that `text` is a decimal integer of at most 6 digits with an
// optional leading '-'. Returns true when it is.
bool isPlainInteger(const char* text);
