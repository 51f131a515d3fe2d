#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and uses it the way a tester or another CT-API
# program would: the program, the library with its soname, pkg-config, the CMake package and the
# man pages (checked for warnings).
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dest=$work/dest
prefix=/usr/local
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$dest cmake --install "$build" --prefix "$prefix" > "$work/install.log"
root=$dest$prefix
for f in bin/quorvane lib/libctapi-pcsc.so.1 lib/libctapi-pcsc.so lib/pkgconfig/ctapi-pcsc.pc \
         lib/cmake/ctapi-pcsc/ctapi-pcsc-config.cmake share/man/man1/quorvane.1 \
         share/man/man3/ctapi-pcsc.3 share/doc/quorvane/examples/demo-pass.req; do
    [ -e "$root/$f" ] || fail "$f not installed"
done
[ "$(readlink "$root/lib/libctapi-pcsc.so.1")" = libctapi-pcsc.so.1.0.0 ] || fail "soname link"
grep -q 'SONAME *libctapi-pcsc.so.1' <<<"$(objdump -p "$root/lib/libctapi-pcsc.so.1.0.0")" || fail "soname"
exported=$(nm -D --defined-only "$root/lib/libctapi-pcsc.so.1" | awk '$2 == "T" {print $3}' | sort | tr '\n' ' ')
[ "$exported" = "CT_close CT_data CT_init " ] || fail "exported symbols: $exported"

for page in "$root/share/man/man1/quorvane.1" "$root/share/man/man3/ctapi-pcsc.3"; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man warnings in $page: $warnings"
done

# A CT-API program of someone else's, compiled against the installed library via pkg-config.
# Without a PC/SC service CT_init answers ERR_CT (-8); closing a terminal never opened: -1.
cat > "$work/probe.c" <<'C'
#include <ctapi.h>
#include <stdio.h>
int main(void) {
    int8_t init = CT_init(0, 0);
    int8_t close = CT_close(7);
    printf("%d %d\n", init, close);
    return 0;
}
C
# A library built with the sanitizers needs their runtime loaded first in a program built without.
preload=
if grep -q 'NEEDED *libasan' <<<"$(objdump -p "$root/lib/libctapi-pcsc.so.1.0.0")"; then
    preload=$(cc -print-file-name=libasan.so)
fi
probe() { LD_PRELOAD=$preload LD_LIBRARY_PATH=$root/lib "$@"; }
export PKG_CONFIG_SYSROOT_DIR=$dest PKG_CONFIG_PATH=$root/lib/pkgconfig
# shellcheck disable=SC2046
cc "$work/probe.c" -o "$work/probe-pc" $(pkg-config --cflags --libs ctapi-pcsc)
answer=$(probe "$work/probe-pc")
[ "$answer" = "-8 -1" ] || fail "pkg-config probe answered '$answer'"

# The same through the CMake package.
mkdir -p "$work/cm"
cp "$work/probe.c" "$work/cm/probe.c"
cat > "$work/cm/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(probe C)
find_package(ctapi-pcsc 1.0 REQUIRED)
add_executable(probe probe.c)
target_link_libraries(probe PRIVATE ctapi-pcsc::ctapi-pcsc)
CM
cmake -S "$work/cm" -B "$work/cm/build" -DCMAKE_PREFIX_PATH="$root" > "$work/cm.log" || { cat "$work/cm.log"; fail "find_package"; }
cmake --build "$work/cm/build" > "$work/cm-build.log" || { cat "$work/cm-build.log"; fail "CMake probe build"; }
answer=$(probe "$work/cm/build/probe")
[ "$answer" = "-8 -1" ] || fail "CMake probe answered '$answer'"

# The installed program finds its library through its run path once installed where it says.
# grep -q reads the whole text from a string: in a pipe it would stop early and, under
# pipefail, the writer's broken pipe would fail the check.
grep -q "NEEDED *libctapi-pcsc.so.1" <<<"$(objdump -p "$root/bin/quorvane")" || fail "program not linked to the library"
echo "install test: all checks passed"
