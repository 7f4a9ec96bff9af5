#include "angles.h"

#include "parse.h"

#include <fstream>

// One angle of the file and the line it stands on (counted from 1).
struct Line {
    double angle;
    long number;
};

static std::string Lines(const std::vector<Line>& lines, size_t first, size_t last)
{
    return first == last ? "line " + std::to_string(lines[first].number)
                         : "lines " + std::to_string(lines[first].number) + " to " +
                               std::to_string(lines[last].number);
}

static std::string Degrees(double angle)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", angle);
    return text;
}

static std::vector<Line> ReadLines(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw ScanError(path + ": cannot open the angle file");
    std::vector<Line> lines;
    std::string text;
    for (long number = 1; std::getline(in, text); ++number) {
        std::string value = text.substr(0, text.find('#'));
        const size_t begin = value.find_first_not_of(" \t\r");
        if (begin == std::string::npos)
            continue;
        value = value.substr(begin, value.find_last_not_of(" \t\r") + 1 - begin);
        double angle;
        if (!ParseDouble(value.c_str(), &angle))
            throw ScanError(path + " line " + std::to_string(number) + ": not an angle in degrees: \"" + value +
                            "\"");
        lines.push_back(Line{angle, number});
    }
    if (in.bad())
        throw ScanError(path + ": cannot read the angle file");
    return lines;
}

std::vector<double> ReadAnglesFile(const std::string& path, const Scan& scan, std::string& from)
{
    const std::vector<Line> lines = ReadLines(path);
    const size_t n = lines.size(), P = scan.projections.size();
    std::vector<double> angles;
    if (n == P) {
        for (const Line& line : lines)
            angles.push_back(line.angle);
        from = path + ", one line per projection";
        return angles;
    }
    if (n > 0 && scan.frameCount > 0 && n == size_t(scan.frameCount)) {
        for (const Frame& f : scan.projections)
            angles.push_back(lines[f.order].angle);
        from = path + ", one line per frame";
        return angles;
    }
    // Reference frames at the end positions: runs of the first and the last
    // angle, of which all but one line each are the reference frames'.
    size_t lead = 0, trail = 0;
    while (lead < n && lines[lead].angle == lines[0].angle)
        ++lead;
    while (trail < n && lines[n - 1 - trail].angle == lines[n - 1].angle)
        ++trail;
    if (n > P && P >= 2 && lead < n && (lead - 1) + (trail - 1) == n - P) {
        for (size_t k = lead - 1; k <= n - trail; ++k)
            angles.push_back(lines[k].angle);
        from = path + ", " + Lines(lines, lead - 1, n - trail);
        if (lead > 1)
            from += "; " + Lines(lines, 0, lead - 2) + " (repeats of the first angle)";
        if (trail > 1)
            from += "; " + Lines(lines, n - trail + 1, n - 1) + " (repeats of the last angle)";
        from += " skipped as reference frames";
        return angles;
    }
    std::string message = path + " holds " + std::to_string(n) + " angles for " + std::to_string(P) +
                          " projections";
    if (n > P)
        message += ", and repeats of its first and last angle (the rows of reference frames) do not make up the " +
                   std::to_string(n - P) + " extra";
    // The first line out of order between the runs of the end angles: where
    // the layout of one line per projection breaks.
    const double direction = n > 0 ? lines[n - 1].angle - lines[0].angle : 0;
    for (size_t k = lead; k < n && k <= n - trail; ++k)
        if (!((lines[k].angle - lines[k - 1].angle) * direction > 0)) {
            message += "; line " + std::to_string(lines[k].number) + " is out of order: " +
                       Degrees(lines[k].angle) + " after " + Degrees(lines[k - 1].angle);
            break;
        }
    throw ScanError(message);
}
