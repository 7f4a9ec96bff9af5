#!/usr/bin/python3
"""Checks scripts/pictures on small phantoms:

    check_pictures.py PICTURES PRJPHANTOM

- the grey scales stated in the README: slice value 0 is grey 21, 1 is 234
  (-0.1 to 1.1 over 0 to 255), and a difference of 0 is grey 128;
- the pictures have the image's size, one pixel per pixel, row 0 at the top;
- a value outside its scale is refused, and no picture is written.
Exit 77 (skipped) when numpy or Pillow is missing, except under CI.
"""

import os
import subprocess
import sys
import tempfile

try:
    import numpy as np
    from PIL import Image
except ImportError as e:
    if os.environ.get("CI"):
        print("FAILED: %s (scripts/deps.sh installs it)" % e)
        sys.exit(1)
    print("SKIPPED: %s" % e)
    sys.exit(77)

pictures, phantom = sys.argv[1], sys.argv[2]
failures = []


def check(condition, what):
    print(("ok - " if condition else "FAILED: ") + what)
    if not condition:
        failures.append(what)


with tempfile.TemporaryDirectory() as tmp:
    def phantom_truth(name, density):
        # Two ellipses: the upper one of the given density, a lower one of 0.4;
        # the sinogram is not needed.
        truth = os.path.join(tmp, name)
        subprocess.run([phantom, "--ellipse", "0,6,8,4,0,%g" % density, "--ellipse", "0,-7,5,3,0,0.4",
                        "32", "8", "0", "1", "-15.5", os.devnull, truth], check=True)
        return truth

    truth = phantom_truth("truth.tif", 1.0)
    out = os.path.join(tmp, "out")
    result = subprocess.run([sys.executable, pictures, truth, truth, out], capture_output=True, text=True)
    check(result.returncode == 0, "pictures of a slice equal to its truth: %s" % result.stderr.strip())
    with Image.open(truth) as t:
        values = np.asarray(t, dtype=np.float64)
    with Image.open(os.path.join(out, "example.png")) as p:
        check(p.mode == "L" and p.size == (32, 32), "slice picture is 8-bit grey, 32 x 32")
        grey = np.asarray(p)
    with Image.open(os.path.join(out, "example-difference.png")) as p:
        check(p.mode == "L" and p.size == (32, 32), "difference picture is 8-bit grey, 32 x 32")
        difference = np.asarray(p)
    expected = np.select([values == 0, values == 1.0, values == np.float32(0.4)], [21, 234, 106], -1)
    check(np.count_nonzero(expected == -1) == 0, "truth holds only 0, 0.4 and 1")
    check(np.array_equal(grey, expected), "slice greys: 0 -> 21, 0.4 -> 106, 1 -> 234, in place")
    check(grey[10, 16] == 234 and grey[22, 16] == 106, "upper ellipse at the top, lower at the bottom")
    check(np.all(difference == 128), "a zero difference is mid grey 128 everywhere")

    bright = phantom_truth("bright.tif", 1.2)
    refused = os.path.join(tmp, "refused")
    result = subprocess.run([sys.executable, pictures, bright, truth, refused], capture_output=True, text=True)
    check(result.returncode != 0 and "outside the grey scale" in result.stderr
          and not os.path.exists(os.path.join(refused, "example.png")),
          "a slice value of 1.2 is refused, not clipped, and nothing is written")

sys.exit(1 if failures else 0)
