// The error log: one line per logged error, appended to a file named after the
// run's base name in the temporary directory, beside the job's own directory,
// so that it outlives the job's files. Nothing stays open between lines.
#include "diagnostics/error_log.h"

#include <cstdio>
#include <ctime>

#include "diagnostics/append_file.h"
#include "state/job_settings.h"

std::string getTime() {
  const time_t now = time(nullptr);
  struct tm local;
  char stamp[21] = "";
  if (localtime_r(&now, &local) != nullptr)
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  return stamp;
}

void logMsg(bool isError, std::string message) {
  const std::string path = tmpDirLoc + (isError ? "/err_" : "/log_") + baseName() + ".txt";
  FILE* log = openForAppend(path);
  if (log == nullptr) return;
  const std::string line = getTime() + " " + message + "\n";
  fwrite(line.data(), 1, line.size(), log);
  fflush(log);
  fclose(log);
}

void reportJobError(const std::string& text) {
  fprintf(stderr, "ERROR: %s\n", text.c_str());
  fflush(stderr);
}
