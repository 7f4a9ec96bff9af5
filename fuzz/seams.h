#ifndef PRJSLICE_FUZZ_SEAMS_H
#define PRJSLICE_FUZZ_SEAMS_H

// What the fuzz targets put in place of the process end. The modules under
// test are built with PRJSLICE_FUZZ_SEAMS: the band module and the writer
// then call FuzzFail where they would end the process (after printing their
// message, as always); the error module is replaced at link time by
// seams.cpp, whose Error records its message and calls FuzzFail too. FuzzFail
// throws Unwound, which the target catches: one process tries many inputs.

#include <string>

struct Unwound {};

[[noreturn]] void FuzzFail();

// The message of the last Error, without its newline; empty when the last
// failure did not come through Error.
extern std::string lastError;

// Ends the fuzzing run with a report: a broken expectation is a finding.
[[noreturn]] void Finding(const std::string& what);

// Checks an expectation; a false one is a finding. The description is built
// only then.
#define Expect(holds, what)   \
    do {                      \
        if (!(holds))         \
            Finding(what);    \
    } while (false)

#endif
