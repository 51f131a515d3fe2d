#!/usr/bin/env bash
# Uses the installed Debian packages once, the way the field does (CI runs it after
# `apt-get install ./build-deb/*.deb`): the installed program on the test bed's demo card along
# the session road to the ATR, and a CT-API program of someone else's built against the installed
# library through pkg-config and through the CMake package, all in the installed quorvane-bed;
# then the installed quorvane-card on pcscd as the system starts it, with vsmartcard-vpcd's
# configuration, inside the test bed's sandbox; last the installed PIN-pad reader in the bed.
#   packages_test.sh BUILD_DIR    (BUILD_DIR holds the test bed's tool bed-readers)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
examples=/usr/share/doc/quorvane/examples
in_bed() { /usr/bin/quorvane-bed --card 0="$examples/demo.card" -- "$@"; }

# The packaged programs, not those of a build tree: in the system's path, without a run path.
for name in quorvane quorvane-run quorvane-atr quorvane-card quorvane-bed; do
    found=$(command -v "$name") || fail "$name is not on the path"
    [ "$found" = "/usr/bin/$name" ] || fail "$name found at $found"
    if grep -q 'R.*PATH' <<<"$(objdump -p "$found")"; then
        fail "the installed $name carries a run path"
    fi
done
program=/usr/bin/quorvane
runner=/usr/bin/quorvane-run
[ "$(/usr/bin/quorvane-atr 3B00 | tail -n 1)" = "  verdict: well formed" ] || fail "quorvane-atr 3B00"

# Choices 1 (reader 1), 2, 3, then 8; the program always ends with status 255.
status=0
printf '1\n1\n2\n3\n8\n' | in_bed "$program" >"$work/session.out" 2>&1 || status=$?
[ $status -eq 255 ] || { cat "$work/session.out"; fail "the program ended with status $status"; }
for line in "value of CT_init is 0" "ATR Received :90 00 " \
            "ATR Received : 3B 88 80 01 51 56 52 4E 44 45 4D 4F 11 90 01 " "value of CT_close is 0"; do
    grep -qF -- "$line" "$work/session.out" || { cat "$work/session.out"; fail "no '$line'"; }
done

# The packaged runner runs the packaged demo scenario on the demo card; status 0: all passed.
status=0
in_bed "$runner" /usr/share/doc/quorvane/examples/demo-pass.req >"$work/runner.out" 2>&1 || status=$?
[ $status -eq 0 ] || { cat "$work/runner.out"; fail "quorvane-run ended with status $status"; }
grep -qF "PASSED: 5 tests, 5 passed, 0 failed" "$work/runner.out" || { cat "$work/runner.out"; fail "no summary"; }
# The packaged example of every extension, with its include, where the package put them.
status=0
in_bed "$runner" /usr/share/doc/quorvane/examples/demo-extensions.req >"$work/extended.out" 2>&1 || status=$?
[ $status -eq 0 ] || { cat "$work/extended.out"; fail "quorvane-run ended with status $status on the extended example"; }
grep -qF "PASSED: 22 tests, 22 passed, 0 failed" "$work/extended.out" || { cat "$work/extended.out"; fail "no summary"; }

# The consumer opens the demo card's reader, powers the card and reads its 16-byte file.
cat >"$work/consumer.c" <<'C'
#include <ctapi.h>
#include <stdio.h>
int main(void) {
    uint8_t reset_icc[] = {0x20, 0x11, 0x01, 0x01, 0x00};
    uint8_t read_binary[] = {0x00, 0xB0, 0x00, 0x00, 0x10};
    uint8_t response[64];
    uint8_t dad = CT, sad = HOST;
    uint16_t length = sizeof response;
    int8_t init = CT_init(0, 0);
    int8_t reset = CT_data(0, &dad, &sad, sizeof reset_icc, reset_icc, &length, response);
    dad = ICC1;
    sad = HOST;
    length = sizeof response;
    int8_t read = CT_data(0, &dad, &sad, sizeof read_binary, read_binary, &length, response);
    printf("%d %d %d ", init, reset, read);
    for (uint16_t i = 0; read == OK && i < length; ++i) {
        printf("%02X", response[i]);
    }
    printf(" %d\n", CT_close(0));
    return 0;
}
C
# shellcheck disable=SC2046
cc -Wall -Werror "$work/consumer.c" -o "$work/consumer" $(pkg-config --cflags --libs ctapi-pcsc) ||
    fail "the consumer does not build through pkg-config"
expected="0 0 0 51756F7276616E652064656D6F20210A9000 0"
answer=$(in_bed "$work/consumer")
[ "$answer" = "$expected" ] || fail "the pkg-config consumer answered '$answer'"

# The same consumer through the installed CMake package, found in the system's default places.
mkdir "$work/cm"
cat >"$work/cm/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(ctapi-pcsc 1.0 REQUIRED)
add_executable(consumer ../consumer.c)
target_link_libraries(consumer PRIVATE ctapi-pcsc::ctapi-pcsc)
CM
{ cmake -S "$work/cm" -B "$work/cm/build" && cmake --build "$work/cm/build"; } >"$work/cm.log" 2>&1 ||
    { cat "$work/cm.log"; fail "the consumer does not build through find_package(ctapi-pcsc)"; }
answer=$(in_bed "$work/cm/build/consumer")
[ "$answer" = "$expected" ] || fail "the CMake consumer answered '$answer'"
# The installed card on pcscd started as the system starts it (no options: the configuration in
# /etc/reader.conf.d, vpcd's among it), in a sandbox so that the machine's own pcscd is not met.
cat >"$work/system.sh" <<SH
/usr/sbin/pcscd --foreground >"$work/pcscd.log" 2>&1 & pcscd=\$!
/usr/bin/quorvane-card "$examples/demo.card" & card=\$!
"$build/bin/bed-readers" --wait-card 0 20000 || echo "no card"
/usr/bin/quorvane-run "$examples/demo-pass.req"
kill \$card \$pcscd; wait
SH
answer=$("$root/testbed/sandbox" /bin/sh "$work/system.sh" 2>&1) || true
grep -qF "PASSED: 5 tests, 5 passed, 0 failed" <<<"$answer" ||
    { echo "$answer"; cat "$work/pcscd.log"; fail "the installed card on the system-like pcscd"; }
# The packaged PIN-pad reader, found by the installed bed beside itself, with the packaged
# example reader script: the installed program's feature query (choice 11) lists its four
# features at their control codes.
answer=$(printf '11\n1\nq\n' | /usr/bin/quorvane-bed --reader 0="$examples/pinpad.reader" \
    --card 0="$examples/demo.card" -- "$program" 2>&1) || true
grep -qF "[06][04][42][33][00][06][07][04][42][33][00][07][0A][04][42][33][00][0A][12][04][42][33][00][12]" \
    <<<"$answer" || { echo "$answer"; fail "the installed PIN-pad reader's features"; }
echo "packages test: all checks passed"
