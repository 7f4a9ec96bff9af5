// Default run-time options of the sanitizer build, linked into each of its
// programs (the environment's ASAN_OPTIONS and UBSAN_OPTIONS still add to
// them).
//
// allocator_may_return_null, max_allocation_size_mb: an allocation larger
// than 4 GiB returns a null pointer, as malloc does on a machine short of
// memory, so that the programs report it as they would without the sanitizer
// ("memory allocation error."). The sanitizer notes it with one warning line
// on standard error, which the tests' process runner drops. Without the cap a
// header asking for an absurd workspace would have the leak checker read
// through many GiB of untouched pages at exit.
// exitcode: a sanitizer finding ends the process with status 86, never with
// the programs' own failure status 1.
// Everything else stays at its strict default: the first invalid access, leak
// or undefined operation ends the run.

extern "C" const char* __asan_default_options()
{
    return "allocator_may_return_null=1:max_allocation_size_mb=4096:detect_leaks=1:exitcode=86";
}

extern "C" const char* __ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1:exitcode=86";
}
