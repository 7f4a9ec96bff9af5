// Command-line driver: checks the arguments and the sinogram header, reads the
// samples into the engine's rows, reconstructs, writes the TIFF and prints the
// value range. Every failure ends the process through Error (exit status 1).

#include "prjslice.h"

#include "cbp.h"
#include "error.h"
#include "sif_f_fast.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
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

    double** rows = InitCBP(N, M);
    if (!rows)
        Error("memory allocation error.");
    for (int m = 0; m < M; ++m)
        if (std::fread(rows[m], 8, N, in) < static_cast<size_t>(N))
            Error("sinogram read error");
    if (in != stdin)
        std::fclose(in);

    const double ra = std::atof(argv[4]) * 3.141592653589793 / 180;
    if (!std::isfinite(ra))
        Error("bad start angle.");

    double** image = CBP(dr, r0dr, ra);
    StoreImageFile_Float(TG, N, N, image, SIF_F_desc);
    std::puts(SIF_F_desc);
    TermCBP();
    return 0;
}
