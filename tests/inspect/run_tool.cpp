// Shell runner for the command-line tests; see run_tool.h.
#include "run_tool.h"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string makeTempDir() {
  char path[] = "/tmp/vormel-inspect-test-XXXXXX";
  const char* made = mkdtemp(path);
  return made ? made : "";
}

void removeTree(const std::string& dir) {
  if (dir.rfind("/tmp/vormel-inspect-test-", 0) == 0) {
    const int rc = std::system(("rm -rf " + quoted(dir)).c_str());
    (void)rc;
  }
}

ToolRun runTool(const std::string& dir, const std::string& command, const std::string& stdinFile) {
  const std::string out = dir + "/.run.out", err = dir + "/.run.err";
  const std::string line = "cd " + quoted(dir) + " && TMPDIR=" + quoted(dir) + " " + command +
                           " <" + quoted(stdinFile.empty() ? "/dev/null" : stdinFile) + " >" +
                           quoted(out) + " 2>" + quoted(err);
  const int raw = std::system(line.c_str());
  ToolRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = slurp(out);
  run.err = slurp(err);
  return run;
}
