// On two cores the band-coding helper runs on the core Ghostscript renders on.
// It pays only when coding needs clearly more CPU than rendering: then
// Ghostscript often waits, paused, for the pages to be sent, and the helper
// fills that time. When the two need about the same, the helper only slows
// Ghostscript down. So the helper is held back while gs renders, and let go
// once the CPU times of both show that coding is the heavier by far.
#pragma once

#include <sys/types.h>

// Whether the helper should share gs's core, from the CPU seconds spent on
// coding and on rendering over the same pages, and whether it shares it now
// (the thresholds differ, so that it does not flip back and forth).
bool shareRenderCore(double codingSeconds, double renderSeconds, bool sharingNow);

// gs (pid) has started on a streamed job: the helper is held back until
// reviewCoreSharing lets it go.
void startCoreSharing(pid_t gs);

// After a page is sent while gs renders: weighs coding against rendering
// since the first page and holds the helper back or lets it go.
void reviewCoreSharing();

// gs has ended (or the page loop ends): the helper codes freely again.
void endCoreSharing();
