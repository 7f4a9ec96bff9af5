// prjslice with its back-projection path chosen on the command line, for the
// tests that compare the paths through the whole program:
//   prjslice-path PATH SG dr r0/dr ra TG
// PATH is 0 (scalar), 1 (AVX2) or 2 (AVX-512); exit status 77 when the CPU
// cannot run it.

#include "cbp.h"

#include <cstdlib>

int prjslice_main(int argc, char** argv);

int main(int argc, char** argv)
{
    if (argc < 2 || !SetPathCBP(std::atoi(argv[1])))
        return 77;
    argv[1] = argv[0];
    return prjslice_main(argc - 1, argv + 1);
}
