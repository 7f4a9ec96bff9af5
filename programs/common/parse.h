#ifndef PRJSLICE_TOOLS_PARSE_H
#define PRJSLICE_TOOLS_PARSE_H

// Whole-argument number parsing for the companion programs' options: the
// text must be one number and nothing else.

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

// A finite double in strtod's syntax.
inline bool ParseDouble(const char* text, double* value)
{
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

// A decimal int.
inline bool ParseInt(const char* text, int* value)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    *value = static_cast<int>(v);
    return true;
}

#endif
