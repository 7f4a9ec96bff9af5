// Fuzz target: the whole program on arbitrary arguments and sinogram bytes.
//
// Input: three lines holding the arguments dr, r0/dr and ra; a fourth line of
// option letters ('i': the sinogram on standard input, 'o': the TIFF on
// standard output, 'u': one argument short); then the bytes of the sinogram.
// The sinogram is handed over as a file in memory (/proc/self/fd/K of a
// memfd) or as standard input; the output goes to a file in /dev/shm or to a
// stream in memory standing in for standard output.
//
// Every run must either succeed, with a TIFF that the independent reader of
// the tests accepts (N x N, its description equal to the printed value line),
// or end through Error with one of the driver's messages, leaving no output
// file. A read error must mean that the bytes after the header are fewer than
// N M 8; a success, that they are not. Headers whose image exceeds 128 x 128
// (or that claim more than 4096 rows on standard input) are skipped: their
// checks are the same, only slower.

#include "seams.h"

#include "cbp.h"
#include "prjslice.h"
#include "sif_f_fast.h"
#include "tiff_read.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

int prjslice_main(int argc, char** argv);

// The streams the program opens, so that those an Error leaves open (as the
// program may: the process would end there) are closed before the next input.
// The link wraps fopen and fclose (-Wl,--wrap=fopen,--wrap=fclose).
static std::vector<FILE*> streams;
extern "C" FILE* __real_fopen(const char* path, const char* mode);
extern "C" int __real_fclose(FILE* stream);
extern "C" FILE* __wrap_fopen(const char* path, const char* mode)
{
    FILE* f = __real_fopen(path, mode);
    if (f)
        streams.push_back(f);
    return f;
}
extern "C" int __wrap_fclose(FILE* stream)
{
    for (size_t k = 0; k < streams.size(); ++k)
        if (streams[k] == stream) {
            streams.erase(streams.begin() + static_cast<long>(k));
            break;
        }
    return __real_fclose(stream);
}

static int sinogramFd = -1;
static std::string scratch;  // a directory in /dev/shm for the output file

static void RemoveScratch()
{
    std::remove((scratch + "/out.tif").c_str());
    rmdir(scratch.c_str());
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    sinogramFd = memfd_create("sinogram", 0);
    char pattern[] = "/dev/shm/prjslice-fuzz-XXXXXX";
    if (sinogramFd < 0 || !mkdtemp(pattern))
        Finding("no memory file or scratch directory");
    scratch = pattern;
    std::atexit(RemoveScratch);
    return 0;
}

static std::string Bytes(char* data, size_t size)
{
    std::string s(data ? data : "", data ? size : 0);
    std::free(data);
    return s;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The four lines, then the sinogram.
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string lines[4];
    size_t at = 0;
    for (std::string& line : lines) {
        const size_t end = input.find('\n', at);
        if (end == std::string::npos) {
            line = input.substr(at);
            at = input.size();
        } else {
            line = input.substr(at, end - at);
            at = end + 1;
        }
    }
    const std::string sinogram = input.substr(at);
    const bool fromStdin = lines[3].find('i') != std::string::npos;
    const bool toStdout = lines[3].find('o') != std::string::npos;
    const bool short1 = lines[3].find('u') != std::string::npos;

    // The header as the program reads it, and where the samples begin.
    int N = 0, M = 0;
    long samplesAt = -1;
    bool header = false;
    if (!sinogram.empty()) {
        FILE* f = fmemopen(const_cast<char*>(sinogram.data()), sinogram.size(), "rb");
        if (f) {
            header = ReadSinogramHeader(f, N, M);
            samplesAt = std::ftell(f);
            std::fclose(f);
        }
    }
    if (header && N < 32768 && (N > 128 || (fromStdin && M > 4096)))
        return 0;

    if (ftruncate(sinogramFd, 0) != 0 ||
        pwrite(sinogramFd, sinogram.data(), sinogram.size(), 0) != static_cast<ssize_t>(sinogram.size()))
        Finding("cannot write the memory file");
    const std::string fdPath = "/proc/self/fd/" + std::to_string(sinogramFd);
    const std::string tg = toStdout ? "-" : scratch + "/out.tif";
    std::remove((scratch + "/out.tif").c_str());

    std::vector<std::string> args = {"prjslice", fromStdin ? "-" : fdPath, lines[0], lines[1], lines[2], tg};
    if (short1)
        args.pop_back();
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    // Standard input and output stand in memory for the run.
    FILE* const savedIn = stdin;
    FILE* const savedOut = stdout;
    FILE* in = sinogram.empty() ? __real_fopen("/dev/null", "rb")
                                : fmemopen(const_cast<char*>(sinogram.data()), sinogram.size(), "rb");
    char* outData = nullptr;
    size_t outSize = 0;
    FILE* out = open_memstream(&outData, &outSize);
    if (!in || !out)
        Finding("cannot open the memory streams");
    stdin = in;
    stdout = out;
    lastError.clear();
    int status = 1;
    try {
        status = prjslice_main(static_cast<int>(args.size()), argv.data());
    } catch (const Unwound&) {
        status = 1;
    }
    stdin = savedIn;
    stdout = savedOut;
    __real_fclose(in);
    __real_fclose(out);
    const std::string printed = Bytes(outData, outSize);
    while (!streams.empty())  // what an Error left open
        __wrap_fclose(streams.back());

    const std::string file = scratch + "/out.tif";
    const uint64_t held = header && samplesAt >= 0 ? sinogram.size() - static_cast<uint64_t>(samplesAt) : 0;
    const uint64_t needed = static_cast<uint64_t>(N) * static_cast<uint64_t>(M) * 8;
    if (status == 0) {
        Expect(lastError.empty(), "success after Error " + lastError);
        Expect(header, "success on a header the program's reader rejects");
        Expect(held >= needed, "success with fewer sample bytes than N M 8");
        std::string tiff;
        if (toStdout) {
            tiff = printed;
        } else {
            FILE* f = __real_fopen(file.c_str(), "rb");
            Expect(f != nullptr, "success without an output file");
            char buffer[65536];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
                tiff.append(buffer, n);
            __real_fclose(f);
        }
        const std::string line = std::string(SIF_F_desc) + "\n";
        Expect(tiff.size() > line.size(), "output shorter than the value line");
        if (toStdout) {
            Expect(tiff.compare(tiff.size() - line.size(), line.size(), line) == 0,
                   "standard output does not end with the value line");
            tiff.resize(tiff.size() - line.size());
        } else {
            Expect(printed == line, "the printed line is not the description");
        }
        TiffImage image;
        std::string why;
        Expect(ReadTiff(tiff, &image, &why), "the reader rejects the TIFF: " + why);
        Expect(image.width == static_cast<uint32_t>(N) && image.height == static_cast<uint32_t>(N),
               "the TIFF is not N x N");
        Expect(image.has_description && image.description == SIF_F_desc, "the description differs");
    } else {
        static const std::set<std::string> messages = {
            "usage : prjslice SG dr r0/dr ra TG",
            "bad sinogram size.",
            "bad detector interval.",
            "bad detector offset (unit in detector interval).",
            "image too large for TIFF.",
            "sinogram read error",
            "bad start angle.",
        };
        Expect(messages.count(lastError) == 1, "unexpected failure: \"" + lastError + "\"");
        Expect(printed.empty(), "a failed run printed on standard output");
        Expect(access(file.c_str(), F_OK) != 0, "a failed run left an output file");
        if (lastError == "sinogram read error")
            Expect(held < needed, "read error with all N M 8 sample bytes present");
        // The workspace exists after these; the process would end, here it is freed.
        if (lastError == "sinogram read error" || lastError == "bad start angle.")
            TermCBP();
    }
    return 0;
}
