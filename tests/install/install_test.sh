#!/bin/sh
# Installs the build into a temporary root (DESTDIR), checks what landed
# where, then runs the installed brevane-cli inside the default lab: it must
# find the lab's instruments with the libraries of the installed tree only.
# usage: install_test.sh BUILD_DIR SOURCE_DIR LIBDIR UDEV_RULES_DIR VERSION GUI(0|1) STAND-IN-FILE...
set -eu
build=$1 src=$2 libdir=$3 udevdir=$4 version=$5 gui=$6
shift 6
root=$(mktemp -d /tmp/brevane-install.XXXXXX)
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

unset LD_LIBRARY_PATH
DESTDIR=$root cmake --install "$build" --prefix /usr >"$root/install.log" || { cat "$root/install.log"; fail "install"; }
cd "$root"

expect="usr/bin/brevane-cli
usr/$libdir/libTavikAPI.so.1
usr/$libdir/libTavikAPI.so
usr/include/tavikapi.h
usr/$libdir/pkgconfig/tavikapi.pc
usr/share/doc/libtavikapi-dev/examples/tavik_identity.c
usr/$udevdir/70-brevane-instruments.rules
usr/$udevdir/71-brevane-access.rules
usr/share/applications/brevane.desktop
usr/share/icons/hicolor/scalable/apps/brevane.svg
usr/share/man/man1/brevane.1.gz
usr/share/man/man1/brevane-cli.1.gz
usr/share/bash-completion/completions/brevane-cli"
for size in 16 24 32 48 64 128 256; do
    expect="$expect
usr/share/icons/hicolor/${size}x$size/apps/brevane.png"
done
[ "$gui" = 1 ] && expect="$expect
usr/bin/brevane"
for standin in "$@"; do
    expect="$expect
usr/$libdir/brevane/$standin"
done
echo "$expect" | while read -r f; do
    [ -e "$f" ] || fail "$f not installed"
done

# Nothing lab-only, no tests, no other programs.
bad=$(find usr \( -name 'brevane-lab*' -o -name '*-lab.ini' -o -name '*_test*' -o -name '*selftest*' \
            -o -name '*gtest*' -o -name '*bench*' -o -name 'lab' \) -print)
[ -z "$bad" ] || fail "lab or test files installed: $bad"
programs=$(ls usr/bin | tr '\n' ' ')
case "$programs" in
    "brevane brevane-cli " | "brevane-cli ") ;;
    *) fail "unexpected programs: $programs" ;;
esac

# The installed programs find the private directory from their own place
# (sanitizer builds write it as RPATH, which their dlopen needs).
for p in usr/bin/*; do
    readelf -d "$p" | grep -q "R\\(UN\\)\\?PATH.*\[\$ORIGIN:\$ORIGIN/../$libdir/brevane:\$ORIGIN/../$libdir\]" ||
        fail "$p: RUNPATH $(readelf -d "$p" | grep PATH)"
    out=$("$p" --version) || fail "$p --version"
    [ "$out" = "$(basename "$p") $version" ] || fail "$p --version said: $out"
done
readelf -d "usr/$libdir/libTavikAPI.so.1" | grep -q "R\\(UN\\)\\?PATH.*\[\$ORIGIN:\$ORIGIN/brevane\]" ||
    fail "libTavikAPI RUNPATH"

# The SDK: pkg-config from the installed tree compiles and links the example.
flags=$(PKG_CONFIG_PATH="$root/usr/$libdir/pkgconfig" pkg-config --cflags --libs tavikapi)
inc=$(PKG_CONFIG_PATH="$root/usr/$libdir/pkgconfig" pkg-config --variable=includedir tavikapi)
[ "$(readlink -f "$inc")" = "$root/usr/include" ] || fail "pkg-config includedir: $inc"
# shellcheck disable=SC2086
cc -o "$root/example" usr/share/doc/libtavikapi-dev/examples/tavik_identity.c $flags ||
    fail "example does not build against the installed SDK"

# The installed brevane-cli in the default lab, every family of the build. The
# loader's log shows where each library came from.
mkdir -p state data
XDG_DATA_HOME="$root/data" "$build/bin/brevane-lab" run --config "$src/lab/default-lab.ini" \
    --state "$root/state" -- env LD_DEBUG=libs LD_DEBUG_OUTPUT="$root/ld" \
    "$root/usr/bin/brevane-cli" discover --all --json >out.json 2>err.log ||
    { tail -40 err.log >&2; fail "discover in the lab"; }
cat "$root"/ld.* >ld.log
for serial in TK1A000123 TK2B000456 TKP0000789 EV1A000511 KL8S000633 PA1H000511 PB2L000622 \
              PC3L000733 PA4L000844; do
    grep -q "\"serial\":\"$serial\"" out.json || fail "$serial not found: $(cat out.json)"
done
# Where a library was loaded from, as a plain path.
loaded() {
    f=$(sed -n "s|.*calling init: \(.*/$1\)\$|\1|p" ld.log | head -n 1)
    [ -n "$f" ] && readlink -f "$f"
}
[ "$(loaded libTavikAPI.so.1)" = "$root/usr/$libdir/libTavikAPI.so.1.0.0" ] ||
    fail "libTavikAPI not from the installed tree: $(loaded libTavikAPI.so.1)"
[ "$(loaded libmpusbapi.so)" = "$root/usr/$libdir/brevane/libmpusbapi.so" ] ||
    fail "libmpusbapi.so not from the private directory: $(loaded libmpusbapi.so)"
if grep "calling init: " ld.log | grep -q "$build"; then
    fail "a library of the build tree was loaded: $(grep "calling init: $build" ld.log)"
fi
echo "installed tree OK: $(grep -o "\"serial\"" out.json | wc -l) modules found"
