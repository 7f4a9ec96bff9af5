// prjslice with its back-projection path chosen on the command line, for the
// tests that compare the paths through the whole program:
//   prjslice-path PATH SG dr r0/dr ra TG
// PATH is 0 (scalar), 1 (AVX2) or 2 (AVX-512); exit status 77 (skipped) when
// the CPU cannot run it, 2 with a usage line for any other PATH.

#include "cbp.h"

#include <cstdio>
#include <cstring>

int prjslice_main(int argc, char** argv);

int main(int argc, char** argv)
{
    if (argc < 2 || std::strlen(argv[1]) != 1 || argv[1][0] < '0' || argv[1][0] > '2') {
        std::fputs("usage : prjslice-path 0|1|2 SG dr r0/dr ra TG\n", stderr);
        return 2;
    }
    if (!SetPathCBP(argv[1][0] - '0'))
        return 77;
    argv[1] = argv[0];
    return prjslice_main(argc - 1, argv + 1);
}
