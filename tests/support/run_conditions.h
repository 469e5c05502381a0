// Tests that cannot run on every machine: one that needs a tool, root rights
// or a kernel feature says so with VORMEL_CANNOT_RUN. It skips, except where
// every test must run: with VORMEL_TESTS_REQUIRED=1 in the environment
// (scripts/test sets it when it runs as root, after installing every
// package) it fails instead, so that a machine without a tool cannot pass the
// suite by skipping the tests that need it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

inline bool everyTestRequired() {
  const char* value = std::getenv("VORMEL_TESTS_REQUIRED");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

// Ends the test, skipped or failed; `why` may be a chain of `<<` operands.
#define VORMEL_CANNOT_RUN(why)                                \
  do {                                                        \
    if (everyTestRequired()) FAIL() << "cannot run: " << why; \
    GTEST_SKIP() << why;                                      \
  } while (0)
