#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and uses it the way a tester or another CT-API
# program would: the program, the library with its soname, pkg-config, the CMake package and the
# man pages (checked for warnings).
# The prefix differs from the configured one, as with `cmake --install --prefix`: nothing
# installed may name the configured prefix. The answers checked do not depend on whether the
# machine runs a PC/SC service.
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dest=$work/dest
prefix=/opt/qv
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR=$dest cmake --install "$build" --prefix "$prefix" > "$work/install.log"
root=$dest$prefix
for f in bin/quorvane bin/quorvane-run share/man/man1/quorvane-run.1 bin/quorvane-atr share/man/man1/quorvane-atr.1 \
         lib/libctapi-pcsc.so.1 lib/libctapi-pcsc.so lib/pkgconfig/ctapi-pcsc.pc \
         lib/cmake/ctapi-pcsc/ctapi-pcsc-config.cmake share/man/man1/quorvane.1 \
         share/man/man3/ctapi-pcsc.3 share/man/man5/quorvane-req.5 \
         share/doc/quorvane/examples/demo-pass.req \
         bin/quorvane-card bin/quorvane-bed libexec/quorvane/sandbox share/man/man1/quorvane-card.1 \
         share/man/man1/quorvane-bed.1 share/man/man5/quorvane-card.5 \
         share/doc/quorvane/examples/demo.card lib/quorvane/libifdpinpad.so \
         share/man/man5/quorvane-reader.5 share/doc/quorvane/examples/pinpad.reader; do
    [ -e "$root/$f" ] || fail "$f not installed"
done
# The installed bed enters its namespaces with the sandbox installed beside it, not the source
# tree's (77: this machine makes no private namespace; the path was found all the same).
status=0
inside=$(cd / && "$root/bin/quorvane-bed" --readers 0 -- sh -c 'echo "$QUORVANE_SANDBOX"' 2>"$work/bed.err") || status=$?
if [ $status -eq 77 ]; then
    grep -q "cannot create a private mount and network namespace" "$work/bed.err" || fail "bed: $(cat "$work/bed.err")"
else
    [ $status -eq 0 ] && [ "$inside" = 1 ] || fail "the installed bed ran '$inside', status $status: $(cat "$work/bed.err")"
fi
"$root/bin/quorvane-card" --check "$root/share/doc/quorvane/examples/demo.card" >/dev/null || fail "demo.card"
grep -qx "  verdict: well formed" <<<"$("$root/bin/quorvane-atr" 3B00)" || fail "quorvane-atr 3B00"
examples=$(find "$dest" -name demo-pass.req | wc -l)
[ "$examples" -eq 1 ] || fail "the examples are installed $examples times"
configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
if grep -rlF "$configured/" "$root/lib/pkgconfig" "$root/lib/cmake"; then
    fail "package files name the configured prefix $configured"
fi
[ "$(readlink "$root/lib/libctapi-pcsc.so.1")" = libctapi-pcsc.so.1.0.0 ] || fail "soname link"
grep -q 'SONAME *libctapi-pcsc.so.1' <<<"$(objdump -p "$root/lib/libctapi-pcsc.so.1.0.0")" || fail "soname"
exported=$(nm -D --defined-only "$root/lib/libctapi-pcsc.so.1" | awk '$2 == "T" {print $3}' | sort | tr '\n' ' ')
[ "$exported" = "CT_close CT_data CT_init " ] || fail "exported symbols: $exported"

for page in "$root/share/man/man1/quorvane.1" "$root/share/man/man1/quorvane-run.1" \
            "$root/share/man/man1/quorvane-atr.1" \
            "$root/share/man/man3/ctapi-pcsc.3" "$root/share/man/man5/quorvane-req.5" \
            "$root/share/man/man1/quorvane-card.1" \
            "$root/share/man/man1/quorvane-bed.1" "$root/share/man/man5/quorvane-card.5" \
            "$root/share/man/man5/quorvane-reader.5"; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man warnings in $page: $warnings"
done

# A CT-API program of someone else's, compiled against the installed library via pkg-config.
# Closing a terminal never opened answers ERR_INVALID (-1); port number 2 is none of the
# library's (0 shared, 1 exclusive: -1). Terminal 0 opens when the machine lists a reader (then it closes: 0) and answers ERR_CT
# (-8) without a PC/SC service or without readers.
cat > "$work/probe.c" <<'C'
#include <ctapi.h>
#include <stdio.h>
int main(void) {
    int unopened = CT_close(7);
    int port = CT_init(0, 2);
    int first = CT_init(0, 0);
    if (first == OK)
        first = CT_close(0);
    printf("%d %d %s\n", unopened, port, first == OK || first == ERR_CT ? "ok" : "wrong");
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
grep -qx "prefix=$prefix" "$root/lib/pkgconfig/ctapi-pcsc.pc" || fail "ctapi-pcsc.pc names another prefix"
# <ctapi.h> is the system's; pcsc-lite's headers are none of a CT-API program's business.
cflags=$(pkg-config --cflags ctapi-pcsc)
[ -z "$cflags" ] || fail "pkg-config --cflags gives '$cflags'"
# shellcheck disable=SC2046
cc "$work/probe.c" -o "$work/probe-pc" $(pkg-config --cflags --libs ctapi-pcsc)
answer=$(probe "$work/probe-pc")
[ "$answer" = "-1 -1 ok" ] || fail "pkg-config probe answered '$answer'"

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
[ "$answer" = "-1 -1 ok" ] || fail "CMake probe answered '$answer'"

# The installed program finds the library installed beside it, wherever the tree is (here
# below DESTDIR), through a run path relative to itself.
# grep -q reads the whole text from a string: in a pipe it would stop early and, under
# pipefail, the writer's broken pipe would fail the check.
grep -q "NEEDED *libctapi-pcsc.so.1" <<<"$(objdump -p "$root/bin/quorvane")" || fail "program not linked to the library"
grep -q 'RUNPATH *\$ORIGIN/\.\./lib$' <<<"$(objdump -p "$root/bin/quorvane")" || fail "run path not relative"
loaded=$(env -u LD_LIBRARY_PATH ldd "$root/bin/quorvane" | sed -n 's/^\s*libctapi-pcsc\.so\.1 => \(\S*\).*/\1/p')
[ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$root/lib/libctapi-pcsc.so.1")" ] \
    || fail "the installed program loads '$loaded', not the installed library"
# The runner beside it starts from there too.
version=$(env -u LD_LIBRARY_PATH "$root/bin/quorvane-run" --version 2>&1) || fail "installed quorvane-run: $version"
[ "$version" = "quorvane-run 1.0.0" ] || fail "installed quorvane-run says '$version'"
echo "install test: all checks passed"
