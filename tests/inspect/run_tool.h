// Runs a program through the shell for the command-line tests and collects
// its exit status, standard output and standard error.
#pragma once

#include <string>

struct ToolRun {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// A fresh directory under /tmp, removed by removeTree.
std::string makeTempDir();
void removeTree(const std::string& dir);

// Runs `command` (a shell command line) in `dir`, with `stdinFile` (may be
// empty: no input) as standard input.
ToolRun runTool(const std::string& dir, const std::string& command,
                const std::string& stdinFile = "");

// Single-quoted for the shell.
std::string quoted(const std::string& text);
