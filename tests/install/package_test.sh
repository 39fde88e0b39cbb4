#!/bin/sh
# Builds the Debian packages from the build tree, unpacks each one, checks its
# control fields and file list, starts the unpacked programs, and runs lintian:
# no errors, and every warning left is one the README names.
# usage: package_test.sh BUILD_DIR SOURCE_DIR VERSION GUI(0|1)
set -eu
build=$1 src=$2 version=$3 gui=$4
work=$(mktemp -d /tmp/brevane-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack"; }
arch=$(dpkg --print-architecture)
for pkg in brevane libtavikapi1 libtavikapi-dev; do
    deb="$work/out/${pkg}_${version}_$arch.deb"
    [ -f "$deb" ] || fail "$deb not built: $(ls "$work/out")"
    [ "$(dpkg-deb -f "$deb" Package)" = "$pkg" ] || fail "$deb: Package"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "$deb: Version $(dpkg-deb -f "$deb" Version)"
    dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' | grep -v '/$' | sort >"$work/$pkg.files"
    dpkg-deb -x "$deb" "$work/root"
done
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=/usr/lib/$multiarch

has() {  # has PACKAGE FILE...
    p=$1
    shift
    for f in "$@"; do grep -qx -- "$f" "$work/$p.files" || fail "$p lacks $f"; done
}
has brevane /usr/bin/brevane-cli /usr/lib/udev/rules.d/70-brevane-instruments.rules \
    /usr/lib/udev/rules.d/71-brevane-access.rules /usr/share/applications/brevane.desktop \
    /usr/share/icons/hicolor/scalable/apps/brevane.svg /usr/share/icons/hicolor/48x48/apps/brevane.png \
    /usr/share/man/man1/brevane.1.gz /usr/share/man/man1/brevane-cli.1.gz \
    /usr/share/bash-completion/completions/brevane-cli /usr/share/doc/brevane/copyright
[ "$gui" = 1 ] && has brevane /usr/bin/brevane
has libtavikapi1 "$lib/libTavikAPI.so.1.0.0" "$lib/libTavikAPI.so.1" "$lib/brevane/libmpusbapi.so" \
    /usr/share/doc/libtavikapi1/copyright
has libtavikapi-dev "$lib/libTavikAPI.so" /usr/include/tavikapi.h "$lib/pkgconfig/tavikapi.pc" \
    /usr/share/doc/libtavikapi-dev/examples/tavik_identity.c
# Each file in one package only; the library package holds no program.
dups=$(sort "$work"/*.files | uniq -d | grep -v '^/usr/share/doc/$' || true)
[ -z "$dups" ] || fail "in more than one package: $dups"
! grep -q '^/usr/bin/' "$work/libtavikapi1.files" "$work/libtavikapi-dev.files" || fail "programs in a library package"
! grep -qi 'lab\|test' "$work"/*.files || fail "lab or test files packaged"

# Dependencies from the binaries (shlibdeps) and between the packages.
depends=$(dpkg-deb -f "$work/out/brevane_${version}_$arch.deb" Depends)
for d in "libtavikapi1 (= $version)" libc6 libstdc++6; do
    echo "$depends" | grep -qF "$d" || fail "brevane Depends lacks $d: $depends"
done
[ "$gui" = 1 ] && { echo "$depends" | grep -q libqt6widgets6 || fail "brevane Depends lacks Qt: $depends"; }
echo "$(dpkg-deb -f "$work/out/libtavikapi1_${version}_$arch.deb" Depends)" | grep -q "libusb-1.0-0" ||
    fail "libtavikapi1 does not depend on libusb"
dpkg-deb -f "$work/out/libtavikapi-dev_${version}_$arch.deb" Depends | grep -qF "libtavikapi1 (= $version)" ||
    fail "libtavikapi-dev Depends"
dpkg-deb -I "$work/out/libtavikapi1_${version}_$arch.deb" shlibs | grep -q "libTavikAPI 1 libtavikapi1" ||
    fail "libtavikapi1 has no shlibs entry"
# The maintainer scripts reload the udev rules.
dpkg-deb -I "$work/out/brevane_${version}_$arch.deb" postinst | grep -q "udevadm control --reload-rules" ||
    fail "postinst does not reload udev"

# The unpacked programs start, with only the unpacked libraries.
for p in brevane-cli brevane; do
    [ -x "$work/root/usr/bin/$p" ] || continue
    out=$(env -u LD_LIBRARY_PATH "$work/root/usr/bin/$p" --version) || fail "$p --version"
    [ "$out" = "$p $version" ] || fail "$p --version said: $out"
done
out=$(env -u LD_LIBRARY_PATH "$work/root/usr/bin/brevane-cli" families --json)
echo "$out" | grep -q '"name":"Tesk - 100"' || fail "unpacked brevane-cli families: $out"
file "$work/root/usr/bin/brevane-cli" | grep -q "stripped" && ! file "$work/root/usr/bin/brevane-cli" | grep -q "not stripped" ||
    fail "programs not stripped"

# lintian: no error; each warning's tag is named in the README.
if command -v lintian >/dev/null 2>&1; then
    lintian --no-tag-display-limit "$work"/out/*.deb >"$work/lintian.log" 2>&1 || true
    cat "$work/lintian.log"
    ! grep -q '^E: ' "$work/lintian.log" || fail "lintian errors"
    for tag in $(sed -n 's/^W: [^:]*: \([a-z0-9-]*\).*/\1/p' "$work/lintian.log" | sort -u); do
        grep -q -- "$tag" "$src/README.md" || fail "lintian warning $tag not named in README.md"
    done
else
    fail "lintian missing (scripts/install-deps installs it)"
fi
echo "packages OK: $(ls "$work/out"/*.deb | wc -l) built and checked"
