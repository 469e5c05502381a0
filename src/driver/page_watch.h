// Tells the page loop when Ghostscript has finished a page image and when it
// has ended, and keeps it from running too far ahead. One watcher thread owns
// every event (close-after-write and creation of page images in the work
// directory, gs's end through a pidfd) and is the only one that stops and
// continues gs; the page loop only reads what it found and says which page
// it is at.
#pragma once

#include <sys/types.h>

// Starts watching dirLoc for this run's page images. Call before gs starts,
// so that no close of a page can be missed; the placeholder, made earlier,
// gives no event. Returns 0, or -1 when the directory cannot be watched:
// the watcher then looks for the page images every few milliseconds.
int openPageWatch();

// Follows the gs process `pid` from startRender (-1: gs never started) and
// starts the watcher thread.
void watchRender(pid_t pid);

// True once gs has ended (or never started). gs is not reaped here:
// finishRender does that, with the status as a shell reports it.
bool renderExited();

// True when page `page` (1, 2, ...) is known to be finished while gs may
// still run: its file exists and gs has closed it after writing, or the file
// of the next page exists (gs writes one page at a time, in order). A page
// whose file does not exist is never finished here; only gs's end decides
// about it.
bool pageFinished(int page);

// The page loop is at `page`: sending it, or (`waiting`) waiting for it. gs
// is kept at most one finished page ahead: stopped (SIGSTOP) once it has
// finished page + 1 (or begun page + 2, should that close have been missed),
// so that no more than three page images stand on disk at once, and
// continued once it is no longer ahead. While the loop waits for `page`, gs
// is stopped only once that page is finished, so a wait for a page gs
// skipped (decided only by gs's end) never stalls. `page` 0: gs runs freely.
void pacePages(int page, bool waiting);

// Sleeps until the watcher saw something that may change the answers above
// (a page event, gs's end) or a cancellation request came.
void waitForProgress();

// Stops the watcher thread and closes every descriptor opened here; gs is
// left as it is (continued first, should it be stopped).
void closePageWatch();
