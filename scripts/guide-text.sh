#!/usr/bin/env bash
# Turns the operator's guide (Markdown, standard input) into plain text for
# README.txt: headings underlined, no backticks or emphasis marks; with "crlf"
# every line ends in CR LF (Notepad before Windows 10 shows nothing else as
# line breaks).  The guide must be ASCII: a Windows 7 Notepad reads a file
# without a byte order mark in the ANSI code page.
# Usage: scripts/guide-text.sh crlf|lf <GUIDE.md >README.txt
set -euo pipefail
case "${1:-}" in
    crlf) end=$'\r' ;;
    lf) end= ;;
    *) echo "usage: guide-text.sh crlf|lf <GUIDE.md >README.txt" >&2; exit 2 ;;
esac
guide=$(cat)
if LC_ALL=C grep -n '[^[:print:][:space:]]' <<<"$guide" >&2; then
    echo "guide-text.sh: the guide has characters outside ASCII (lines above)" >&2
    exit 1
fi
LC_ALL=C awk -v end="$end" '
    function underline(text, mark,   line) {
        line = text
        gsub(/./, mark, line)
        print text end
        print line end
    }
    {
        gsub(/`/, "")
        gsub(/\*\*/, "")
    }
    /^# / { underline(substr($0, 3), "="); next }
    /^## / { underline(substr($0, 4), "-"); next }
    /^### / { underline(substr($0, 5), "~"); next }
    { print $0 end }
' <<<"$guide"
