// tiff_pattern W H PATH [desc]
//
// Writes a W x H test pattern through the float TIFF writer, so that the
// reader tests can open files that the program itself never makes: images
// that are not square, and images without a description (null description,
// 13 directory entries). With "desc" the writer's own buffer is passed and is
// filled with the minimum and maximum, as the program does. PATH "-" writes
// standard output, and nothing else goes there.
//
// Sample k = i * W + j (row i, column j) is
//   ((k * 7919) % 1000 - 500) / 37.0
// except for k = 1, 2, 3, which hold 3e38 (near the largest float), -2.5e-40
// (a float subnormal) and 1e-30. The checking script computes the same
// doubles and rounds them to float32 on its own, so the pixels read back are
// compared with values that do not come from the writer.

#include "sif_f_fast.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 4 && !(argc == 5 && std::strcmp(argv[4], "desc") == 0)) {
        std::fputs("usage : tiff_pattern W H PATH [desc]\n", stderr);
        return 2;
    }
    const int W = std::atoi(argv[1]);
    const int H = std::atoi(argv[2]);
    if (W < 2 || H < 2) {
        std::fputs("tiff_pattern : W and H must be at least 2\n", stderr);
        return 2;
    }

    std::vector<double> samples(static_cast<size_t>(W) * H);
    std::vector<const double*> rows(H);
    for (size_t k = 0; k < samples.size(); ++k)
        samples[k] = static_cast<double>(static_cast<long>(k * 7919 % 1000) - 500) / 37.0;
    samples[1] = 3e38;
    samples[2] = -2.5e-40;
    samples[3] = 1e-30;
    for (int i = 0; i < H; ++i)
        rows[i] = samples.data() + static_cast<size_t>(i) * W;

    StoreImageFile_Float(argv[3], W, H, rows.data(), argc == 5 ? SIF_F_desc : nullptr);
    return 0;
}
