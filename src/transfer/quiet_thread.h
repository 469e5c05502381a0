// Threads that never take a signal, so that a cancel (and any other signal)
// is always handled by the thread running the job. Used by the band coder's
// helpers and by the page watch's pacing thread.
#pragma once

#include <thread>

// Starts body(arg) on a thread with every signal blocked.
std::thread startThreadWithoutSignals(void (*body)(int), int arg);
