#ifndef PRJSLICE_BPF_H
#define PRJSLICE_BPF_H

// Band-limited kernels: the Ramachandran, Shepp and Chesler kernels with their
// frequency response kept only on the pass bands of BPF_RANGE (cycles per
// detector interval, 0 <= lo < hi <= 0.5; the whole band 0 to 0.5 when the
// variable is unset). The first call of any of them reads, checks and echoes
// the bands on standard error.
double BPF_R(int n);
double BPF_S(int n);
double BPF_C(int n);

#endif
