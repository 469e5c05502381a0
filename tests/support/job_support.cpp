// Helpers for the job tests; see job_support.h.
#include "job_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "band_decoder/band_decoder.h"
#include "state/job_settings.h"
#include "state/printer_output.h"

extern char** environ;

ScratchDir::ScratchDir(const std::string& tag) {
  std::string pattern = "/tmp/" + tag + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) != nullptr)
    path = buffer.data();
}

ScratchDir::~ScratchDir() {
  if (!path.empty())
    removeTree(path);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool fileExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
        names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string jobDirIn(const std::string& tmpdir) {
  for (const std::string& name : listDir(tmpdir)) {
    struct stat info;
    if (name.compare(0, 3, "vdq") == 0 && lstat((tmpdir + "/" + name).c_str(), &info) == 0 &&
        S_ISDIR(info.st_mode))
      return tmpdir + "/" + name;
  }
  return "";
}

std::vector<std::string> pageImagesIn(const std::string& tmpdir) {
  const std::string dir = jobDirIn(tmpdir);
  std::vector<std::pair<long, std::string>> pages;
  if (dir.empty())
    return {};
  const std::string prefix = dir.substr(dir.rfind('/') + 1) + "_";
  for (const std::string& name : listDir(dir)) {
    if (name.compare(0, prefix.size(), prefix) == 0)
      pages.emplace_back(strtol(name.c_str() + prefix.size(), nullptr, 10), dir + "/" + name);
  }
  std::sort(pages.begin(), pages.end());
  std::vector<std::string> paths;
  for (const auto& page : pages)
    paths.push_back(page.second);
  return paths;
}

void removeTree(const std::string& path) {
  nftw(
      path.c_str(),
      [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

std::string stubPath() {
  const char* path = getenv("PATH");
  return std::string(VORMEL_TEST_SUPPORT) + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

std::string pathWithoutGs() { return "/nonexistent-vormel-test-dir"; }

RunResult runProgram(const RunSpec& runSpec) {
  RunResult result;
  char inName[] = "/tmp/vtinXXXXXX";
  char outName[] = "/tmp/vtoutXXXXXX";
  char errName[] = "/tmp/vterrXXXXXX";
  const int inFd = mkstemp(inName);
  const int outFd = mkstemp(outName);
  const int errFd = mkstemp(errName);
  if (write(inFd, runSpec.input.data(), runSpec.input.size()) != static_cast<ssize_t>(runSpec.input.size()))
    return result;
  lseek(inFd, 0, SEEK_SET);

  int pipeFds[2] = {-1, -1};
  if (runSpec.stdoutMode == StdoutMode::BrokenPipe && pipe(pipeFds) != 0)
    return result;

  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(inFd, 0);
    dup2(errFd, 2);
    if (runSpec.stdoutMode == StdoutMode::File)
      dup2(outFd, 1);
    else if (runSpec.stdoutMode == StdoutMode::Closed)
      close(1);
    else {
      dup2(pipeFds[1], 1);
      close(pipeFds[0]);
      close(pipeFds[1]);
    }
    close(inFd);
    close(outFd);
    close(errFd);
    signal(SIGPIPE, SIG_DFL);
    for (const auto& [name, value] : runSpec.env) {
      if (value == "\x01")
        unsetenv(name.c_str());
      else
        setenv(name.c_str(), value.c_str(), 1);
    }
    if (!runSpec.cwd.empty() && chdir(runSpec.cwd.c_str()) != 0)
      _exit(125);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(runSpec.program.c_str()));
    for (const std::string& arg : runSpec.args)
      argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    execv(runSpec.program.c_str(), argv.data());
    _exit(126);
  }

  if (runSpec.stdoutMode == StdoutMode::BrokenPipe) {
    // The reader takes a few bytes and goes away, as a dropped printer
    // connection does.
    close(pipeFds[1]);
    std::string got;
    char buffer[4096];
    while (got.size() < runSpec.brokenPipeAfter) {
      const size_t want = std::min(sizeof buffer, runSpec.brokenPipeAfter - got.size());
      const ssize_t n = read(pipeFds[0], buffer, want);
      if (n <= 0)
        break;
      got.append(buffer, static_cast<size_t>(n));
    }
    close(pipeFds[0]);
    result.out = got;
  }

  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status))
    result.exitStatus = WEXITSTATUS(status);
  else if (WIFSIGNALED(status))
    result.signal = WTERMSIG(status);
  if (runSpec.stdoutMode == StdoutMode::File)
    result.out = readFile(outName);
  result.err = readFile(errName);
  close(inFd);
  close(outFd);
  close(errFd);
  unlink(inName);
  unlink(outName);
  unlink(errName);
  return result;
}

StdoutCapture::StdoutCapture() {
  char name[] = "/tmp/vtcapXXXXXX";
  const int fd = mkstemp(name);
  file = name;
  fflush(stdout);
  savedFd = dup(1);
  dup2(fd, 1);
  close(fd);
  resetPrinterOutput();
}

std::string StdoutCapture::finish() {
  if (savedFd < 0)
    return readFile(file);
  fflush(stdout);
  resetPrinterOutput();
  dup2(savedFd, 1);
  close(savedFd);
  savedFd = -1;
  return readFile(file);
}

StdoutCapture::~StdoutCapture() {
  finish();
  unlink(file.c_str());
}

namespace {

std::string hexWindow(const std::string& s, size_t at) {
  const size_t from = at >= 16 ? at - 16 : 0;
  const size_t to = std::min(s.size(), at + 16);
  std::string text;
  char cell[4];
  for (size_t i = from; i < to; ++i) {
    snprintf(cell, sizeof cell, i == at ? "[%02x" : " %02x", static_cast<unsigned char>(s[i]));
    text += cell;
    if (i == at)
      text += "]";
  }
  return text;
}

// Reads a header line ending in CR LF (or LF when lfOnly) starting at *pos.
bool takeLine(const std::string& s, size_t* pos, std::string* line, bool* crlf) {
  const size_t lf = s.find('\n', *pos);
  if (lf == std::string::npos)
    return false;
  *crlf = lf > *pos && s[lf - 1] == '\r';
  *line = s.substr(*pos, lf - *pos - (*crlf ? 1 : 0));
  *pos = lf + 1;
  return true;
}

}  // namespace

std::string describeDifference(const std::string& expected, const std::string& actual) {
  if (expected == actual)
    return "";
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
    ++at;
  return "sizes " + std::to_string(expected.size()) + " and " + std::to_string(actual.size()) +
         ", first difference at offset " + std::to_string(at) + "\n  expected:" +
         hexWindow(expected, at) + "\n  actual:  " + hexWindow(actual, at);
}

std::string parseStream(const std::string& s, ParsedStream* parsed) {
  size_t pos = 0;
  std::string line;
  bool crlf = false;
  while (pos < s.size()) {
    const size_t lineStart = pos;
    if (!takeLine(s, &pos, &line, &crlf)) {
      parsed->skeleton += s.substr(lineStart);
      break;
    }
    parsed->skeleton += s.substr(lineStart, pos - lineStart);
    int32_t size = 0;
    int row = 0;
    if (sscanf(line.c_str(), "PCX%d;ROW%d", &size, &row) != 2 || !crlf)
      continue;

    StreamPage page;
    page.announcedSize = size;
    for (;;) {
      const size_t headerAt = pos;
      if (!takeLine(s, &pos, &line, &crlf))
        return "page ends before ENDPCX at offset " + std::to_string(headerAt);
      if (line == "ENDPCX" && !crlf) {
        parsed->skeleton += "ENDPCX\n";
        break;
      }
      int32_t count = 0;
      char kind[8] = "";
      if (sscanf(line.c_str(), "BAND%d;COMP%1[01]", &count, kind) != 2 || count < 0 ||
          static_cast<size_t>(count) > s.size() - pos)
        return "bad band header at offset " + std::to_string(headerAt) + ": " + line;
      const std::string payload = s.substr(pos, static_cast<size_t>(count));
      pos += static_cast<size_t>(count);
      parsed->skeleton += "<band>";
      if (!crlf) {
        if (kind[0] != '0')
          return "line-feed-ended band header must be COMP0 at " + std::to_string(headerAt);
        page.bandKinds.push_back("RAW");
        page.bytes.insert(page.bytes.end(), payload.begin(), payload.end());
        continue;
      }
      std::vector<uint8_t> band;
      if (kind[0] == '0') {
        page.bandKinds.push_back("COMP0");
        band.assign(payload.begin(), payload.end());
      } else {
        page.bandKinds.push_back("COMP1");
        BandDecodeError error;
        if (!decodeBand(reinterpret_cast<const uint8_t*>(payload.data()), payload.size(), &band,
                        &error, 32768))
          return "COMP1 band at offset " + std::to_string(headerAt) + " does not decode: " +
                 error.message + " (band byte " + std::to_string(error.byteOffset) + ")";
        if (payload.size() >= band.size())
          return "COMP1 band at offset " + std::to_string(headerAt) + " is not shorter";
      }
      if (band.size() > 32768)
        return "band longer than 32768 at offset " + std::to_string(headerAt);
      if (!page.bandKinds.empty() && page.bytes.size() % 32768 != 0)
        return "a band other than the last is short, before offset " + std::to_string(headerAt);
      page.bytes.insert(page.bytes.end(), band.begin(), band.end());
    }
    if (page.bytes.size() != static_cast<size_t>(page.announcedSize))
      return "page " + std::to_string(parsed->pages.size() + 1) + " announces " +
             std::to_string(page.announcedSize) + " bytes and carries " +
             std::to_string(page.bytes.size());
    parsed->pages.push_back(std::move(page));
  }
  return "";
}

bool isTimeStamp(const std::string& t) {
  if (t.size() != 19)
    return false;
  for (size_t i = 0; i < t.size(); ++i) {
    const char want = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '0';
    if (want == '0' ? !isdigit(static_cast<unsigned char>(t[i])) : t[i] != want)
      return false;
  }
  const int month = std::stoi(t.substr(5, 2)), day = std::stoi(t.substr(8, 2));
  const int hour = std::stoi(t.substr(11, 2)), minute = std::stoi(t.substr(14, 2));
  return month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour < 24 && minute < 60 &&
         std::stoi(t.substr(17, 2)) < 61;
}

void setUpJobGlobals(const std::string& dir) {
  bDebug = bRaw = PCXraw = false;
  newSFCC = '~';
  debugDirLoc[0] = '\0';
  printSpeed = slewSpeed = batchSize = 0;
  intensity = tearOffset = 99;
  labelCut = rotateimage = -1;
  sRow = sCol = 1;
  mediaHandling = gapSensing = mediaType = pauseMode = slashzero = orient = mirror = 0;
  pageLen = 432;
  pageWid = 288;
  xRes = yRes = 300;
  tmpDirLoc = dir;
  pTmpFname = dir + "/vdqTEST";
  dirLoc = dir;
  saveFname = dir + "/In_vdqTEST.ps";
  saveFile = nullptr;
}
