#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Stands in for the program named by CORVANE_MAN_PROGRAM when help2man runs it, and hands on its
# --help in the shape help2man reads: the usage lines after the first as "or:" lines, so all go
# into SYNOPSIS, and without the closing exit status paragraph, which the include file's EXIT
# STATUS section gives in full. Anything else (--version) goes to the program unchanged.
set -euo pipefail
program="${CORVANE_MAN_PROGRAM:?names the program}"
[[ ${1-} == --help ]] || exec "$program" "$@"
"$program" --help | awk '
    /^Usage: / { usage = 1; print; next }
    usage && /^ +[^ ]/ { sub(/^ +/, "   or: "); print; next }
    { usage = 0 }
    /^Exit status:/ { skip = 1 }
    skip && /^$/ { skip = 0; next }
    !skip { print }
'
