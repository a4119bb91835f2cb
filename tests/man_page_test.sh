#!/bin/sh
# man_page_test.sh PAGE: the man page renders with man -l into text, without one warning
# from man or groff.
set -u
page=$1
export LC_ALL=C.UTF-8 MANWIDTH=80
warnings=$(man --warnings=w -l "$page" 2>&1 > /dev/null) || {
    echo "man -l failed on $page: $warnings"
    exit 1
}
if [ -n "$warnings" ]; then
    echo "$page: $warnings"
    exit 1
fi
text=$(man -l "$page" 2> /dev/null)
case $text in
*NAME*SYNOPSIS*DESCRIPTION*) ;;
*)
    echo "$page: rendered without NAME, SYNOPSIS and DESCRIPTION"
    exit 1
    ;;
esac
