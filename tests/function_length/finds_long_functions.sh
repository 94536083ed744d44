#!/bin/sh
# finds_long_functions.sh CHECKER: the length check, run on a tree made here, names the
# functions over 100 lines (free, wrapped, a member, a named lambda) and nothing else: not one
# of 100 lines, a table, a class, nor anything under tests/ or in a folder outside the build.
set -eu
checker=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
mkdir "$tree/product" "$tree/tests" "$tree/notes"
touch "$tree/product/CMakeLists.txt" "$tree/tests/CMakeLists.txt"

# body N INDENT: N lines of a body.
body() {
    i=0
    while [ "$i" -lt "$1" ]; do
        echo "$2x();"
        i=$((i + 1))
    done
}
{
    echo "int Long(int a) {"; body 99 "    "; echo "}"; echo
    echo "int Fits(int a) {"; body 98 "    "; echo "}"; echo
    echo "QString Wrapped(int a,"; echo "                int b) {"; body 99 "    "; echo "}"; echo
    echo "constexpr int Table[] = {"; body 120 "    "; echo "};"; echo
    echo "namespace {"; echo
    echo "const auto named = [](int a) {"; body 99 "    "; echo "};"; echo
    echo "class Sample {"; echo "public:"
    echo "    void member() {"; body 99 "        "; echo "    }"
    echo "    void fits() {"; body 98 "        "; echo "    }"
    body 120 "    "; echo "};"; echo
    echo "} // namespace"
} >"$tree/product/long.cpp"
cp "$tree/product/long.cpp" "$tree/tests/long.cpp"
cp "$tree/product/long.cpp" "$tree/notes/long.cpp"

found=$(sh "$checker" "$tree" | grep -v "known exception" || true)
expected="product/long.cpp:1: Long runs 101 lines (at most 100)
product/long.cpp:204: Wrapped runs 102 lines (at most 100)
product/long.cpp:432: named runs 101 lines (at most 100)
product/long.cpp:536: member runs 101 lines (at most 100)"
if [ "$found" != "$expected" ]; then
    printf 'The check found:\n%s\nExpected:\n%s\n' "$found" "$expected"
    exit 1
fi
