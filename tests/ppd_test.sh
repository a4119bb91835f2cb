#!/bin/bash
# ppd_test.sh BUILD_DIR: every generated PPD passes CUPS's cupstestppd, run on the PPDs of
# this build installed into a private prefix (cupstestppd looks for the filter of
# *cupsFilter2 under $CUPS_SERVERBIN/filter). cupstestppd comes from the PATH, or, as
# root, from Debian's cups-client package unpacked into the test's folder (installing it
# would remove LPRng). Exit 77 (skipped) when it cannot be had.
set -u
build=$1
work=$(mktemp -d "${TMPDIR:-/tmp}/ppdtest.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
tester=$(command -v cupstestppd)
if [ -z "$tester" ] && [ "$(id -u)" = 0 ] && command -v apt-get > /dev/null; then
    (cd "$work" && apt-get download -q cups-client > /dev/null 2>&1 && dpkg -x cups-client_*.deb client) &&
        tester=$work/client/usr/bin/cupstestppd
fi
if [ -z "$tester" ] || [ ! -x "$tester" ]; then
    echo "skipped: no cupstestppd (apt-get download cups-client and dpkg -x it, or run as root with network)"
    exit 77
fi
cmake --install "$build" --prefix "$work/prefix" > /dev/null || exit 1
ppds=("$work"/prefix/share/ppd/velnora/*.ppd)
[ -e "${ppds[0]}" ] || { echo "no PPD installed"; exit 1; }
status=0
for ppd in "${ppds[@]}"; do
    CUPS_SERVERBIN=$work/prefix/lib/cups "$tester" -W all "$ppd" || status=1
done
exit $status
