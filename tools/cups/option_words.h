// Printer-description choices into vormel option words. The front end marks
// the queue's defaults and the job's options in the PPD, then asks here which
// words the marked choices stand for.
#pragma once

#include <cups/ppd.h>

#include <functional>
#include <string>
#include <vector>

// The choice of a printer setting by its PPD option keyword ("Darkness",
// "Sensing", ...), or nullptr when the setting is left to the printer.
using SettingChoice = std::function<const char*(const char* keyword)>;

// Appends to `words`, in the same fixed order as collectOptionWords, the
// option words for every setting for which `choiceOf` names a choice other
// than "PrinterDefault", under the same rules. Used by front ends that hold
// the settings in other terms than a PPD.
void collectSettingWords(const SettingChoice& choiceOf, std::vector<std::string>& words);

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
