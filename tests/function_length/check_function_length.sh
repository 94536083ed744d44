#!/bin/sh
# check_function_length.sh ROOT: fails when a function of the product (every top-level folder
# with a CMakeLists.txt, save tests/) runs over 100 lines, from the first line of its definition
# to its closing brace. The sources are clang-formatted, so a definition outside a class starts
# at column 0 and ends at the next "}" at column 0; one inside a class at column 0 is indented
# by four, and so is its closing brace.
set -eu
root=$1
limit=100

# "file name": functions still over the limit while their rewrite is under way elsewhere. Take
# each off as it is split; the check fails for one that has come under the limit.
known="
station_window/station_controls.cpp StationControls::StationControls
station/board_run.cpp RunBoard
"

cd "$root"
files=$(for dir in */; do
    dir=${dir%/}
    [ "$dir" != tests ] && [ -f "$dir/CMakeLists.txt" ] && find "$dir" -name '*.cpp' -o -name '*.h'
done | sort)
if [ -z "$files" ]; then
    echo "no sources of the product under $root"
    exit 1
fi

# shellcheck disable=SC2086
awk -v limit="$limit" -v known="$known" '
BEGIN {
    n = split(known, lines, "\n")
    for (i = 1; i <= n; ++i)
        if (lines[i] != "")
            allowed[lines[i]] = 1
}
# The name a definition gives: the last name before its first parenthesis.
function nameOf(head,    before) {
    before = head
    sub(/\(.*/, "", before)
    sub(/[ \t]*=[ \t]*\[[^]]*\][ \t]*$/, "", before)
    if (match(before, /[A-Za-z_~][A-Za-z0-9_:~<>]*[ \t]*$/))
        before = substr(before, RSTART, RLENGTH)
    sub(/[ \t]+$/, "", before)
    return before
}
function ends(    n) {
    n = FNR - start + 1
    key = FILENAME " " nameOf(head)
    if (key in allowed) {
        seen[key] = n
    } else if (n > limit) {
        printf "%s:%d: %s runs %d lines (at most %d)\n", FILENAME, start, nameOf(head), n, limit
        failed = 1
    }
}
# A line that may begin a definition at this indent: code, not a comment, a directive, a label
# ("public:") or a brace.
function begins(line, indent) {
    if (substr(line, 1, length(indent)) != indent)
        return 0
    line = substr(line, length(indent) + 1)
    if (line ~ /^[ \t}#\/]/ || line ~ /^[A-Za-z_]+:[ \t]*$/)
        return 0
    return line !~ /^(namespace|extern|using|typedef|static_assert|friend)([^A-Za-z0-9_]|$)/
}
FNR == 1 { state = 0; gathered = "" }
# state 0: between definitions, gathering a head; 1: in a function; 2: in a class; 3: in
# something else (a table, an enum), skipped.
{
    # The indent of the members of a class, inside and between them.
    indent = (state == 2 || ((state == 1 || state == 3) && outer == 2)) ? "    " : ""
    closing = indent "}"
    if (state == 1) {
        if (substr($0, 1, length(closing)) == closing) {
            ends()
            state = outer
        }
        next
    }
    if (state == 3) {
        if (substr($0, 1, length(closing)) == closing)
            state = outer
        next
    }
    if (state == 2 && $0 ~ /^}/) {
        state = 0
        gathered = ""
        next
    }
    if ($0 ~ /^[ \t]*$/) {
        gathered = ""
        next
    }
    if (gathered == "" && !begins($0, indent))
        next
    if (gathered == "")
        start = FNR
    gathered = gathered " " $0
    if ($0 ~ /\{[ \t]*(\/\/.*)?$/) {
        head = gathered
        gathered = ""
        outer = state
        if (head ~ /^ *(template *<.*> *)?(class|struct|union)([^A-Za-z0-9_]|$)/ && state == 0)
            state = 2
        else if (head ~ /\(/ && (head !~ /^[^(]*=/ || head ~ /=[ \t]*\[[^]]*\][ \t]*\(/) &&
                 head !~ /^ *(template *<.*> *)?(class|struct|union|enum)([^A-Za-z0-9_]|$)/)
            # A function, or a lambda given a name
            state = 1
        else
            state = 3
    } else if ($0 ~ /[;}][ \t]*(\/\/.*)?$/) {
        gathered = ""
    }
}
END {
    for (key in allowed) {
        if (!(key in seen)) {
            printf "%s is a known exception but no such function was found: take it off the list\n", key
            failed = 1
        } else if (seen[key] <= limit) {
            printf "%s runs %d lines now: take it off the list of known exceptions\n", key, seen[key]
            failed = 1
        }
    }
    exit failed
}
' $files </dev/null
