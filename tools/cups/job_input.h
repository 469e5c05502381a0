// The job file named on the front end's command line: opened once, checked
// to be a job, and read by the relay from that one descriptor. Its first
// bytes tell whether the job is PDF or PostScript.
#pragma once

#include <cstddef>
#include <string>

// Opens `path` for reading without blocking on a FIFO or device, and accepts
// it only when it is a regular file. Returns the descriptor (blocking again,
// close-on-exec), or -1 with `problem` set to the text of the spooler's
// ERROR line (without the prefix); nothing else is written anywhere.
int openJobFile(const char* path, std::string& problem);

// The job's first bytes: enough to tell a PDF job (it begins "%PDF-") from
// a PostScript one.
constexpr size_t kJobHeadLength = 5;

// Reads the first kJobHeadLength bytes of the job from `fd` (fewer only when
// the job is shorter) into `head`, waiting on the notification pipe
// `signalFd` of installRelaySignals as well. Returns 0 when they are read,
// 1 when a cancel signal came first, -1 on a read error with `problem` set
// to the text of the spooler's ERROR line. The bytes read are the caller's
// to feed on: nothing is put back.
int readJobHead(int fd, int signalFd, std::string& head, std::string& problem);

// Whether a job that begins with `head` is a PDF document.
bool isPdfJob(const std::string& head);
