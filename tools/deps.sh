#!/bin/sh
# Installs what building and testing prjslice needs on Debian: a C++17
# compiler, CMake and GoogleTest. Runs apt-get through sudo unless root.
set -e
packages="cmake make g++ libgtest-dev"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then sudo=""; else sudo="sudo"; fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q $missing
