// Where the front end finds the vormel program.
#pragma once

#include <string>

// Returns the path of the vormel program to run: the path in the environment
// variable VORMEL_CUPS_PROGRAM when it is set and not empty (for tests and
// unusual installations), else "vormel" in the front end's own directory,
// else `installedPath`. Returns an empty string when none of these is an
// executable file.
std::string locateVormel(const char* installedPath);

// The same search for any program of the package: the path in the
// environment variable `overrideVariable` when it is set and not empty,
// else `name` in the calling program's own directory, else `installedPath`.
// Returns an empty string when none of these is an executable file.
std::string locateProgram(const char* name, const char* overrideVariable,
                          const char* installedPath);
