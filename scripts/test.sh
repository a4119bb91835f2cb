#!/bin/bash
# test.sh: builds the project and runs every test (installs what the machine lacks).
set -euo pipefail
. "$(dirname "$0")/need.sh"
need cmake g++ make zlib1g-dev libgtest-dev ghostscript libpng-dev man-db groff-base lprng
build "$root/build"
cd "$root/build"
ctest -j "$(nproc)" --output-on-failure
