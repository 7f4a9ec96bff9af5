#ifndef PRJSLICE_TOOLS_PARSE_H
#define PRJSLICE_TOOLS_PARSE_H

// The companion programs' command lines: operands apart from options, and
// whole-argument number parsing for the options' values (the text must be
// one number and nothing else).

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

// Takes argv[n] into operands if it is one: "-" (standard input or output)
// or a word that does not start with "-"; "--" ends the options, and every
// word after it is an operand (n then moves to the last word). Returns
// whether argv[n] was taken; if not, it is an option.
inline bool TakeOperand(int& n, int argc, char** argv, std::vector<std::string>& operands)
{
    const std::string word = argv[n];
    if (word == "--") {
        operands.insert(operands.end(), argv + n + 1, argv + argc);
        n = argc - 1;
        return true;
    }
    if (word == "-" || word.compare(0, 1, "-") != 0) {
        operands.push_back(word);
        return true;
    }
    return false;
}

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
