// Option words of the command line into the job settings.
#pragma once

// Reads argv[1..argc-1] into the job settings. Never fails, prints nothing;
// unknown words are ignored. A word that fills a pending value is still
// compared with the option words afterwards.
void parseOptions(int argc, char** argv);
