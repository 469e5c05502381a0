// Writing a whole buffer to a file descriptor, for the job capture's files.
#pragma once

#include <cstddef>

// Writes all `n` bytes to `fd`, going on after interrupted and partial
// writes; false on a write error.
bool writeAll(int fd, const char* data, size_t n);
