// Link-time replacement of the error module for the fuzz targets, and the
// unwinding that stands in for the process end (see seams.h).

#include "seams.h"

#include "error.h"

#include <cstdlib>
#include <unistd.h>

std::string lastError;

void FuzzFail()
{
    throw Unwound();
}

// The program's Error writes the message and ends the process; here the
// message is kept for the target to check, and the run unwinds to it.
void Error(const char* message)
{
    lastError = message;
    FuzzFail();
}

// Written straight to descriptor 2: a target may have standard error's stream
// pointed elsewhere at the time.
void Finding(const std::string& what)
{
    const std::string text = "\nFINDING: " + what + "\n";
    if (write(2, text.data(), text.size()) < 0) {
    }
    std::abort();
}
