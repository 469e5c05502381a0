// The job pieces of the test harness; see job_support.h.
#include "job_support.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "state/job_settings.h"
#include "state/printer_output.h"

std::string vormelBin() { return VORMEL_BIN; }

std::vector<std::string> JobPlace::left() const {
  std::vector<std::string> names;
  for (const std::string& name : listDir(work.path)) names.push_back("work/" + name);
  for (const std::string& name : listDir(capture.path)) names.push_back("capture/" + name);
  return names;
}

ChildSpec jobSpec(const JobPlace& place, const std::vector<std::string>& args,
                  const std::string& input, const std::string& gsDir, const Env& env) {
  ChildSpec runSpec;
  runSpec.program = vormelBin();
  runSpec.argv0 = "vormel";
  runSpec.args = {"-dir", place.capture.path};
  runSpec.args.insert(runSpec.args.end(), args.begin(), args.end());
  runSpec.input = input;
  runSpec.env = {{"TMPDIR", place.work.path}, {"PATH", pathFor(gsDir)}};
  runSpec.env.insert(runSpec.env.end(), env.begin(), env.end());
  return runSpec;
}

std::string postscriptJob(int pages, int width, int length) {
  std::string job = "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 " + std::to_string(width) + " " +
                    std::to_string(length) + "\n%%Pages: " + std::to_string(pages) + "\n";
  job += "<< /PageSize [" + std::to_string(width) + " " + std::to_string(length) +
         "] >> setpagedevice\n/Helvetica findfont 24 scalefont setfont\n";
  for (int p = 1; p <= pages; ++p) {
    job += "%%Page: " + std::to_string(p) + " " + std::to_string(p) + "\n";
    job += "20 40 moveto (Label " + std::to_string(p) + ") show\n";
    job += "10 10 moveto " + std::to_string(10 + 20 * p) + " 100 lineto 4 setlinewidth stroke\n";
    job += "showpage\n";
  }
  return job + "%%EOF\n";
}

std::string stubPage(int n, size_t size) {
  std::string text;
  while (text.size() < size) text += "page " + std::to_string(n) + "\n";
  return text.substr(0, size);
}

std::string imageBytes(int kind, size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    const bool random = kind == 1 || (kind == 2 && (i / 4096) % 2 == 1);
    if (random)
      bytes[i] = static_cast<char>(rng());
    else
      bytes[i] = static_cast<char>((i % 97 < 60) ? 0xff : (i / 97 + seed) % 7);
  }
  return bytes;
}

bool nobodyUser(uid_t* uid, gid_t* gid) {
  const passwd* entry = getpwnam("nobody");
  if (entry == nullptr) return false;
  *uid = entry->pw_uid;
  *gid = entry->pw_gid;
  return true;
}

int asNobody(const std::function<int()>& body) {
  uid_t uid;
  gid_t gid;
  if (!nobodyUser(&uid, &gid) || geteuid() != 0) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(gid, gid, gid) != 0 ||
        setresuid(uid, uid, uid) != 0)
      _exit(100);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
  if (savedFd < 0) return readFile(file);
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

bool isTimeStamp(const std::string& t) {
  if (t.size() != 19) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    const char want = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '0';
    if (want == '0' ? !isdigit(static_cast<unsigned char>(t[i])) : t[i] != want) return false;
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
