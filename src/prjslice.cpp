// Command-line driver: checks the arguments and the sinogram header, reads the
// samples into the engine's rows, reconstructs, writes the TIFF and prints the
// value range. Every failure ends the process through Error (exit status 1).

#include "prjslice.h"

#include "cbp.h"
#include "error.h"
#include "sif_f_fast.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

int main(int argc, char** argv)
{
#ifdef SIGPIPE
    // A reader that closes the pipe on standard output makes a write fail
    // (reported below as for any other output), rather than ending the run
    // unreported by a signal.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (argc != 6)
        Error("usage : prjslice SG dr r0/dr ra TG");
    const char* SG = argv[1];
    const char* TG = argv[5];

    FILE* in = SG[0] == '-' ? stdin : std::fopen(SG, "rb");
    if (!in)
        Error("sinogram not found.");

    int N, M;
    if (!ReadSinogramHeader(in, N, M))
        Error("bad sinogram size.");

    const double dr = std::atof(argv[2]);
    if ((dr > -1e-9 && dr < 1e-9) || !std::isfinite(dr))
        Error("bad detector interval.");
    const double r0dr = std::atof(argv[3]);
    if (r0dr >= 0 || r0dr <= 1 - N || !std::isfinite(r0dr))
        Error("bad detector offset (unit in detector interval).");
    if (static_cast<uint64_t>(N) * static_cast<uint64_t>(N) * 4 + tiffOverhead >= tiffLimit)
        Error("image too large for TIFF.");

    // A regular file that holds fewer rows than its header claims fails at its
    // first missing row. The workspace is then sized for the rows the file
    // holds and that one: the run reports as with the whole workspace (in the
    // full build the pass bands, then the read error), but a damaged header
    // cannot make it claim, and touch, memory for rows that are not there, nor
    // fail for want of it. Standard input cannot be measured ahead.
    int held = M;
    std::error_code error;
    const long at = in == stdin ? -1 : std::ftell(in);
    if (at >= 0 && std::filesystem::is_regular_file(SG, error)) {
        const uintmax_t size = std::filesystem::file_size(SG, error);
        if (!error && size >= static_cast<uintmax_t>(at)) {
            const uintmax_t inFile = (size - static_cast<uintmax_t>(at)) / 8 / static_cast<uintmax_t>(N);
            if (inFile < static_cast<uintmax_t>(M))
                held = static_cast<int>(inFile) + 1;
        }
    }

    double** rows = InitCBP(N, held);
    if (!rows)
        Error("memory allocation error.");
    for (int m = 0; m < M; ++m)
        if (m == held || std::fread(rows[m], 8, N, in) < static_cast<size_t>(N))
            Error("sinogram read error");
    if (in != stdin)
        std::fclose(in);

    const double ra = std::atof(argv[4]) * 3.141592653589793 / 180;
    if (!std::isfinite(ra))
        Error("bad start angle.");

    double** image = CBP(dr, r0dr, ra);
    StoreImageFile_Float(TG, N, N, image, SIF_F_desc);

    // The value line completes the run: standard output that refuses it (a
    // full device, a closed pipe) fails the run as an unwritable TIFF does,
    // and the output file already stored is removed (never a device or other
    // special file named as the output).
    if (std::puts(SIF_F_desc) == EOF || std::fflush(stdout) != 0) {
        if (std::strcmp(TG, "-") != 0 && std::filesystem::is_regular_file(TG, error))
            std::remove(TG);
        Error("- : file not stored.");
    }
    TermCBP();
    return 0;
}
