#ifndef PRJSINO_ANGLES_H
#define PRJSINO_ANGLES_H

// Angle files: a text file of projection angles in degrees, one per line,
// given for a scan whose container holds none (TIFF) or holds wrong ones.

#include "scan.h"

#include <string>
#include <vector>

// The angle of every projection of the scan, from the file at path. The file
// holds one number per line in degrees; text after '#' is a comment, and
// lines that are empty or comment only are passed over. Three layouts are
// read:
// - one line per projection;
// - one line per frame of the acquisition (a scan that records the order of
//   its frames), the projections' lines taken by their frame order;
// - one line per frame of an acquisition that took its reference frames
//   (flats, darks) at the rotation's start and end positions and kept only
//   some of them: the projections' lines, with the first angle repeated at
//   the start and the last at the end, once per reference frame. The repeats
//   beyond each end projection's own line are skipped.
// Any other count is refused, with both counts and the first line out of
// order if there is one; so is a line that is not one finite number.
// `from` tells where the angles came from and what was skipped.
std::vector<double> ReadAnglesFile(const std::string& path, const Scan& scan, std::string& from);

#endif
