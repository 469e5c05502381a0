// Where the stub gs is, and its holds; see stub_gs.h.
#include "stub_gs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "child_process.h"

std::string stubGsDir() { return VORMEL_TEST_SUPPORT; }

std::string stubPath() {
  const char* path = getenv("PATH");
  return stubGsDir() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

std::string pathFor(const std::string& gsDir) {
  return gsDir.empty() ? "/usr/bin:/bin" : gsDir + ":/usr/bin:/bin";
}

std::string pathWithoutGs() { return "/nonexistent-vormel-test-dir"; }

StubGate::StubGate() = default;

StubGate::~StubGate() {
  // Opening a FIFO for reading and writing never blocks and ends the wait
  // of a stub blocked in opening it.
  for (const std::string& name : listDir(dir())) {
    if (name.compare(0, 3, "go-") != 0) continue;
    const int fd = open((dir() + "/" + name).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) close(fd);
  }
}

void StubGate::hold(const std::string& point) const {
  mkfifo((dir() + "/go-" + point).c_str(), 0600);
}

bool StubGate::reached(const std::string& point) const {
  return fileExists(dir() + "/at-" + point);
}

bool StubGate::waitAt(const std::string& point, pid_t watched) const {
  return waitFor([&] { return reached(point); }, watched);
}

void StubGate::release(const std::string& point) const {
  // A non-blocking open for writing succeeds once the stub has the FIFO
  // open for reading, and only then.
  const std::string fifo = dir() + "/go-" + point;
  int fd = -1;
  waitFor([&] {
    fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0 || errno != ENXIO;
  });
  if (fd >= 0) close(fd);
}
