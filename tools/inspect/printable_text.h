// Shows bytes taken from a printer stream (or a file name) as plain text:
// printable ASCII as it is, everything else as an escape, so that nothing the
// inspector prints can act as a terminal control. Used by the stream parser's
// messages and the report writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Printable ASCII (0x20..0x7E) stays, except that '"' and '\' get a
// backslash; CR, LF and tab become \r, \n and \t; every other byte \xNN
// (two upper-case hex digits).
std::string printableText(const uint8_t* bytes, size_t size);
std::string printableText(const std::string& text);
