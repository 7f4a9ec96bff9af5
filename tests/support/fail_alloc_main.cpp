// prjslice with one of its allocations failing, for the fault-injection tests:
//   prjslice-failalloc K SG dr r0/dr ra TG
// The K-th call of malloc made by the program's own code returns a null
// pointer (K = 0: none fails). The link wraps those calls (-Wl,--wrap=malloc
// applies to the objects of this program, not to the C and C++ libraries, whose
// own allocations are not counted); the engine makes all of them, one per
// workspace block. When PRJSLICE_ALLOC_LOG names a file, the byte count asked
// by each call is appended to it, one per line, the failing one included.

#include <cstddef>
#include <cstdio>
#include <cstdlib>

extern "C" void* __real_malloc(size_t size);

int prjslice_main(int argc, char** argv);

static long fail = 0;   // the call that fails, counted from 1; 0: none
static long calls = 0;  // calls so far
static const char* logPath = nullptr;

extern "C" void* __wrap_malloc(size_t size)
{
    ++calls;
    if (logPath) {
        if (FILE* f = std::fopen(logPath, "a")) {
            std::fprintf(f, "%zu\n", size);
            std::fclose(f);
        }
    }
    return calls == fail ? nullptr : __real_malloc(size);
}

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    fail = std::atol(argv[1]);
    logPath = std::getenv("PRJSLICE_ALLOC_LOG");
    argv[1] = argv[0];
    return prjslice_main(argc - 1, argv + 1);
}
