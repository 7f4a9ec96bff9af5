#!/bin/sh
# Installs what building and testing prjslice needs on Debian: a C++17
# compiler, CMake and GoogleTest; the HDF5 C library and libtiff, which the
# phantom generator writes raw scans with, and the HDF5 filter plugins it can
# compress them with; the independent readers the tests open our files with
# (libtiff's tools, Python's numpy, tifffile, Pillow and h5py, and ImageJ's
# jar with a JDK to compile against it); GNU parallel for
# tools/prjstack; groff and mandoc to check the man page; valgrind, and clang
# with its sanitizer and libFuzzer runtimes (libclang-rt-14-dev), for the
# robustness checks of .ci/run. Installs only what is missing, so it can be
# run again at no cost. Runs apt-get through sudo unless root.
#
#   tools/deps.sh          everything the tests need
#   tools/deps.sh build    only what building the programs needs
set -e
packages="cmake make g++ libhdf5-dev libtiff-dev"
[ "${1:-}" = build ] || packages="$packages libgtest-dev
    hdf5-filter-plugin hdf5-filter-plugin-blosc-serial
    libtiff-tools python3-numpy python3-tifffile python3-pil python3-h5py libij-java default-jdk-headless
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
