#!/bin/sh
# Installs what building and testing prjslice needs on Debian: a C++17
# compiler and CMake; the HDF5 C library, with the filter plugins that read
# compressed scans, and libtiff, for the scan importer prjsino; GoogleTest;
# the independent TIFF readers the tests open our files with (libtiff's
# tools, Python's numpy, tifffile and Pillow, and ImageJ's jar with a JDK to
# compile against it); h5py, pytest and tqdm for the importer's and the
# Python package's tests; GNU parallel for prjstack -S (other machines); groff and mandoc
# to check the man pages; valgrind, and clang with its sanitizer and
# libFuzzer runtimes (libclang-rt-14-dev), for the robustness checks of
# .ci/run. Installs only what is missing, so it can be run again at no cost.
# Runs apt-get through sudo unless root.
#
#   scripts/deps.sh          everything the tests need
#   scripts/deps.sh build    only what building the programs needs
set -e
packages="cmake make g++ libhdf5-dev libtiff-dev hdf5-filter-plugin hdf5-filter-plugin-blosc-serial"
[ "${1:-}" = build ] || packages="$packages libgtest-dev
    libtiff-tools python3-numpy python3-tifffile python3-pil libij-java default-jdk-headless
    python3-h5py python3-pytest python3-tqdm
    parallel groff-base mandoc
    valgrind clang libclang-rt-14-dev"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q $missing
