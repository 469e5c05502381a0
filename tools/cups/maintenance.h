// Maintenance commands sent to the queue as a command file (the spooler's
// application/vnd.cups-command). The printer supports one: printing a
// self-test label. Used by the front end's main.
#pragma once

#include <string>
#include <vector>

#include "label_page.h"

// The content type of a command file, as the spooler names it in CONTENT_TYPE.
constexpr char kCommandContentType[] = "application/vnd.cups-command";

// The one command the printer supports.
constexpr char kSelfTestCommand[] = "PrintSelfTestPage";

// Reads a command file from `fd` to its end: a first line "#CUPS-COMMAND",
// then commands one per line, "#" lines being comments. Returns true with the
// first command word in `command`, or false with `problem` set (not a
// command file, no command, a read error).
bool readMaintenanceCommand(int fd, std::string& command, std::string& problem);

// A one-page PostScript self-test label: a frame at the label's edge, a scale
// in millimetres along its top edge and the queue's settings in text scaled to
// the label: queue name, label size, resolution, rotation and the option words.
std::string selfTestJob(const LabelPage& page, const std::string& queue,
                        const std::vector<std::string>& words);
