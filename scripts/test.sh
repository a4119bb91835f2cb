#!/bin/bash
# test.sh: builds the project and runs every test twice: the normal build (build/) and a
# build with AddressSanitizer, LeakSanitizer and UndefinedBehaviorSanitizer
# (build-sanitize/), where any report fails the test that caused it (installs what the
# machine lacks).
set -euo pipefail
. "$(dirname "$0")/need.sh"
need cmake g++ make zlib1g-dev libcups2-dev libgtest-dev ghostscript paps img2pdf fonts-dejavu-core libpng-dev man-db groff-base lprng clang libclang-rt-14-dev libpappl-dev
# The CUPS test's daemon and IPP client; Debian's cups and cups-client would remove lprng,
# and without --no-install-recommends these pull in avahi, colord and udev.
need --no-install-recommends cups-daemon cups-ipp-utils cups-filters

build "$root/build"
(cd "$root/build" && ctest -j 2 --output-on-failure)

# The programs the tests start get these options too (tests/support/filterrun.cpp passes
# them on); a report stops the program with an error status.
export ASAN_OPTIONS=halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:abort_on_error=1:print_stacktrace=1
export LSAN_OPTIONS=report_objects=1
build "$root/build-sanitize" -DVELNORA_SANITIZE=ON
(cd "$root/build-sanitize" && ctest -j 2 --output-on-failure)
bash "$root/fuzz/smoke.sh"
