// Where the stub Ghostscript is (tests/support/gs; its knobs are listed at
// its top) and the holds through which a test decides when it goes on.
#pragma once

#include <sys/types.h>

#include <string>

#include "test_files.h"

// Directory of the stub gs.
std::string stubGsDir();
// PATH with the stub first, then ours.
std::string stubPath();
// PATH with `gsDir` first and the system's directories after it ("" for the
// system's real gs only).
std::string pathFor(const std::string& gsDir);
// PATH on which no gs can be found.
std::string pathWithoutGs();

// The stub's holds (STUB_GS_GATE). A point is a page number n ("n": just
// before page n is begun; pages + 1 is the end) or a piece of a page
// ("n.i": before piece i of page n). A held point stops the stub there until
// released; a point not held is only marked.
class StubGate {
 public:
  StubGate();
  ~StubGate();  // lets any stub still held go on
  StubGate(const StubGate&) = delete;
  StubGate& operator=(const StubGate&) = delete;
  // The value for STUB_GS_GATE.
  const std::string& dir() const { return scratch_.path; }
  // Holds the stub at `point` (before it starts).
  void hold(const std::string& point) const;
  // True once the stub has reached `point`.
  bool reached(const std::string& point) const;
  // Waits until the stub has reached `point`; false when the process
  // `watched` (when given) ended first.
  bool waitAt(const std::string& point, pid_t watched = -1) const;
  // Lets the stub held at `point` go on; it must have reached it.
  void release(const std::string& point) const;

 private:
  ScratchDir scratch_{"vtgate"};
};
