#ifndef PRJSLICE_TESTUTIL_H
#define PRJSLICE_TESTUTIL_H

// Helpers shared by the tests that run programs as processes and handle files.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace testutil {

// A fresh directory under /tmp, removed with its contents on destruction.
class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/prjslice-test-XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made ? made : "";
    }
    ~TempDir()
    {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Little-endian bytes of doubles, as the sinogram format stores them.
inline std::string DoubleBytes(const std::vector<double>& values)
{
    std::string bytes;
    for (double v : values) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        for (int k = 0; k < 8; ++k)
            bytes.push_back(static_cast<char>((bits >> (8 * k)) & 0xff));
    }
    return bytes;
}

// A whole sinogram file: the header line "N M\n" and the samples, row by row.
inline std::string SinogramBytes(int N, int M, const std::vector<double>& samples)
{
    return std::to_string(N) + " " + std::to_string(M) + "\n" + DoubleBytes(samples);
}

// In the sanitizer build an allocation beyond its cap returns a null pointer,
// as malloc would, and the sanitizer says so in one line on standard error:
// "==<pid>==WARNING: AddressSanitizer failed to allocate 0x<hex> bytes". Such
// lines are not the program's output and are dropped; everything else stays.
inline std::string DropSanitizerNotices(const std::string& err)
{
    static const char notice[] = "==WARNING: AddressSanitizer failed to allocate 0x";
    std::string kept;
    size_t at = 0;
    while (at < err.size()) {
        size_t end = err.find('\n', at);
        end = end == std::string::npos ? err.size() : end + 1;
        const std::string line = err.substr(at, end - at);
        const size_t mark = line.find(notice);
        // "==", the digits of the pid, the notice, the size, " bytes\n".
        const bool drop = mark != std::string::npos && mark > 2 && line.compare(0, 2, "==") == 0 &&
                          line.find_first_not_of("0123456789", 2) == mark &&
                          line.compare(line.size() - 7, 7, " bytes\n") == 0;
        if (!drop)
            kept += line;
        at = end;
    }
    return kept;
}

// An uneven small sinogram, row by row, so that rows, bins and byte order all
// matter: samples and the whole file.
inline std::vector<double> Samples(int N, int M)
{
    std::vector<double> s;
    for (int m = 0; m < M; ++m)
        for (int k = 0; k < N; ++k)
            s.push_back(1.0 + 0.125 * ((7 * k + 3 * m) % 5) + 0.5 * (k == m));
    return s;
}

inline std::string Sinogram(int N, int M) { return SinogramBytes(N, M, Samples(N, M)); }

// Text quoted for the shell.
inline std::string Quote(const std::string& text)
{
    std::string q = "'";
    for (char c : text)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct Result {
    int status = -1;  // exit status, or -1 when the process did not exit normally
    std::string out;  // standard output, bytes
    std::string err;  // standard error, bytes
};

// Runs a shell command line (environment assignments may lead it) with
// standard input from stdin_path and standard output and error captured.
inline Result Run(const std::string& command, const std::string& stdin_path = "/dev/null")
{
    char pattern[] = "/tmp/prjslice-run-XXXXXX";
    Result r;
    if (!mkdtemp(pattern))
        return r;
    const std::string dir = pattern;
    const std::string line = "( " + command + " ) <'" + stdin_path + "' >'" + dir + "/out' 2>'" +
                             dir + "/err'";
    const int raw = std::system(line.c_str());
    if (raw != -1 && WIFEXITED(raw))
        r.status = WEXITSTATUS(raw);
    r.out = ReadFile(dir + "/out");
    r.err = DropSanitizerNotices(ReadFile(dir + "/err"));
    std::system(("rm -rf '" + dir + "'").c_str());
    return r;
}

}  // namespace testutil

#endif
