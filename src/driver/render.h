// Has Ghostscript render the capture file into one monochrome PCX image per
// page, named pTmpFname + "_" + page number, and counts the images it wrote.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// Largest page image Ghostscript may write, in bytes. A label 8.5 inches wide
// and 40 inches long at 600 dpi is 15 MB as a bitmap, and PCX run-length
// coding at worst doubles that; a page past this is not a label.
constexpr int64_t kPageFileLimit = int64_t{64} << 20;

// Render statuses, as a shell reports them: gs could not be started, and gs
// was ended by SIGXFSZ because a page image reached kPageFileLimit.
constexpr int kRenderNotStarted = 127 << 8;
constexpr int kRenderPageTooLarge = (128 + 25) << 8;

// Highest resolution rendered, in dots per inch, and the longest side of a
// page, in points (40 inches): beyond what any label printer prints.
constexpr int32_t kMaxResolution = 600;
constexpr int32_t kMaxPageSide = 40 * 72;

// Why the job's page geometry cannot be rendered (a resolution or a page side
// beyond the limits above), or empty when it can.
std::string checkPageGeometry();

// The render command as shell text (the form shown in the debug block): the
// output pattern and the capture file stand in double quotes, followed by the
// redirection of error output. Never handed to a shell.
std::string buildRenderCommand();

// The argument vector the command text names, argument 0 "gs" included:
// the words between the spaces, with the quotes taken away (the paths appear
// exactly as they are, whatever characters they hold).
std::vector<std::string> buildRenderArguments();

// Starts gs (looked up on PATH) with buildRenderArguments(), standard output
// and standard error to a file in the job's own directory (read back by
// firstRenderError), TMPDIR naming a directory that does not
// exist (so that the job's PostScript can touch no file but its own page
// images), umask 077 and page images limited to kPageFileLimit bytes, without
// waiting for it; in debug mode the
// render-command debug block comes first. Returns gs's process id, or -1 when
// gs cannot be started.
pid_t startRender();

// Waits for the gs of startRender (returns at once when it has already
// exited) and returns its status as a shell would report it: 0 on success,
// exit code x 256, (128 + signal) x 256 when gs was killed, 127 x 256 when gs
// could not be started (pid -1). Writes no debug block.
int waitRender(pid_t pid);

// waitRender, then in debug mode the return-code debug block. Returns the
// status.
int finishRender(pid_t pid);

// The first error Ghostscript reported on its standard output or error
// output for this job (its first line of text when none names an error),
// control characters as spaces, at most about 200 characters; empty when it
// said nothing.
std::string firstRenderError();

// Number of entries of `dir` whose names begin with `prefix` (byte-wise; every
// kind of entry, the name equal to the prefix included); 0 when the directory
// cannot be opened.
int searchDir(const std::string& dir, const std::string& prefix);
