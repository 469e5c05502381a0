// Maintenance commands: reads the spooler's command file and writes the
// self-test label, which then prints through vormel like any job. Called by
// the front end's main.
#include "maintenance.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "label_stocks.h"

namespace {

constexpr size_t kCommandFileLimit = 65536;  // a command file is a few lines

// Text as a PostScript string literal: parentheses and backslashes escaped,
// anything but printable ASCII shown as '?'.
std::string psString(const std::string& text) {
  std::string out = "(";
  for (const char c : text) {
    if (c == '(' || c == ')' || c == '\\') {
      out += '\\';
      out += c;
    } else {
      out += c >= ' ' && c <= '~' ? c : '?';
    }
  }
  return out + ")";
}

}  // namespace

bool readMaintenanceCommand(int fd, std::string& command, std::string& problem) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      problem = std::string("reading the command file failed: ") + strerror(errno);
      return false;
    }
    if (n == 0) break;
    text.append(buffer, size_t(n));
    if (text.size() > kCommandFileLimit) {
      problem = "the command file is too long to be one";
      return false;
    }
  }
  if (text.compare(0, 13, "#CUPS-COMMAND") != 0) {
    problem = "the command file does not begin with #CUPS-COMMAND";
    return false;
  }
  size_t start = text.find('\n');
  while (start != std::string::npos && start < text.size()) {
    ++start;
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    const size_t first = line.find_first_not_of(" \t\r");
    if (first != std::string::npos && line[first] != '#') {
      const size_t last = line.find_first_of(" \t\r", first);
      command = line.substr(first, last == std::string::npos ? std::string::npos : last - first);
      return true;
    }
    start = end;
  }
  problem = "the command file holds no command";
  return false;
}

std::string selfTestJob(const LabelPage& page, const std::string& queue,
                        const std::vector<std::string>& words) {
  std::string settings;
  for (const std::string& w : words) settings += (settings.empty() ? "" : " ") + w;
  if (settings.empty()) settings = "printer's own";
  const std::vector<std::string> lines = {
      "vormel self-test",
      "Queue: " + (queue.empty() ? std::string("-") : queue),
      "Label: " + formatSize(page.width / 72) + " x " + formatSize(page.length / 72) + " in (" +
          page.sizeName + ")",
      std::to_string(page.resolution) + " dpi, " + std::to_string(labelWidthDots(page)) + " x " +
          std::to_string(labelLengthDots(page)) + " dots",
      "Rotation: " + std::to_string(page.rotation),
      "Settings: " + settings,
  };
  const std::string w = formatSize(page.width), l = formatSize(page.length);

  std::string text = "%!PS-Adobe-3.0\n%%Title: Self-test label\n%%Pages: 1\n%%EndComments\n";
  text += "%%Page: 1 1\n<< /PageSize [" + w + " " + l + "] >> setpagedevice\n";
  text += "/W " + w + " def /L " + l + " def\n";
  // A frame at the edge shows where the label begins and ends; the scale
  // (a tick every millimetre, longer every 5 and 10) shows its true size.
  text +=
      "2 setlinewidth 1 1 W 2 sub L 2 sub rectstroke\n"
      "0.5 setlinewidth 0 1 W 72 div 25.4 mul { dup 72 mul 25.4 div exch\n"
      "  dup 10 mod 0 eq { pop 6 } { 5 mod 0 eq { 4 } { 2 } ifelse } ifelse\n"
      "  exch L moveto 0 exch neg rlineto stroke } for\n";
  // Lines of text as tall as the label allows, each squeezed to its width.
  text +=
      "/margin W L lt { W } { L } ifelse 0.06 mul def\n"
      "/avail W margin 2 mul sub def\n"
      "/fs L margin 2 mul sub " +
      std::to_string(lines.size()) +
      " 1.2 mul div def\n"
      "fs 14 gt { /fs 14 def } if\n"
      "/Helvetica findfont fs scalefont setfont\n"
      "/y L margin sub fs sub def\n"
      "/line { /s exch def gsave margin y translate\n"
      "  s stringwidth pop dup avail gt { avail exch div 1 scale } { pop } ifelse\n"
      "  0 0 moveto s show grestore /y y fs 1.2 mul sub def } def\n";
  for (const std::string& line : lines) text += psString(line) + " line\n";
  text += "showpage\n%%EOF\n";
  return text;
}
