// Tells when Ghostscript has finished a page image while it goes on with the
// next ones: close-after-write events on the work directory for this run's
// page names, the next page's file appearing, and gs's exit, all in one poll
// together with the cancellation pipe. Used by the streamed page loop.
#pragma once

#include <sys/types.h>

// Starts watching dirLoc for this run's page images. Call before gs starts,
// so that no close of a page can be missed; the placeholder, made earlier,
// gives no event. Returns 0, or -1 when the directory cannot be watched:
// pages are then found finished by the other signs alone, checked often.
int openPageWatch();

// Follows the gs process `pid` from startRender (-1: gs never started).
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

// Keeps gs at most one finished page ahead of `page`, the page being sent:
// gs is stopped (SIGSTOP) once it has finished page + 1 (or begun page + 2,
// should that close have been missed), so that no more than three page images
// stand on disk at once, and continued once it is no longer ahead. From the
// next call on, a pacing thread applies the rule as page events come.
void paceRender(int page);

// The same while the job waits for `page`, not yet finished, or for gs's
// end: gs is stopped only once `page` is finished as pageFinished tells, so a
// wait for a page gs skipped (decided only by gs's end) never stalls. With
// `page` 0 only gs's end is awaited: gs runs freely.
void paceWhileWaiting(int page);

// Sleeps until something happened that may change the answers above (a page
// event, gs's end, a cancellation request) or a short while has passed.
void waitForProgress();

// Stops watching; closes every descriptor opened here.
void closePageWatch();
