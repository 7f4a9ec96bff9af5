#ifndef PRJSLICE_ERROR_H
#define PRJSLICE_ERROR_H

// Writes message and one newline on standard error and ends the process with
// exit status 1. Every failure the driver detects ends here.
[[noreturn]] void Error(const char* message);

#endif
