#!/bin/sh
# Installs the library into a fresh prefix and builds the example program
# against the installed header, library and pkg-config file only.
#   install_example.sh BUILD_DIR OUT_DIR EXAMPLE_SOURCE
set -eu
BUILD=$1
OUT=$2
SRC=$3
rm -rf "$OUT"
mkdir -p "$OUT"
PREFIX="$OUT/prefix"
# The library's two packages: the run-time library and the development files.
cmake --install "$BUILD" --prefix "$PREFIX" --component Runtime >/dev/null
cmake --install "$BUILD" --prefix "$PREFIX" --component Development >/dev/null
PC=$(find "$PREFIX" -name tavikapi.pc | head -n 1)
[ -n "$PC" ] || { echo "tavikapi.pc not installed"; exit 1; }
LIBDIR=$(dirname "$(dirname "$PC")")
[ -f "$LIBDIR/libTavikAPI.so" ] || { echo "libTavikAPI.so not in $LIBDIR"; exit 1; }
[ -f "$PREFIX/include/tavikapi.h" ] || { echo "tavikapi.h not installed"; exit 1; }
export PKG_CONFIG_PATH="$(dirname "$PC")"
# shellcheck disable=SC2046
cc -std=c99 -Wall -Wextra -Wpedantic -Werror -o "$OUT/tavik_identity" "$SRC" \
   $(pkg-config --cflags --libs tavikapi) -Wl,-rpath,"$LIBDIR"
# The program links the installed library, not the build tree's.
ldd "$OUT/tavik_identity" | grep -q "$LIBDIR/libTavikAPI.so" || { ldd "$OUT/tavik_identity"; exit 1; }
# Outside any lab there is no device: it says so and exits 1; a bad type gives 2.
set +e
"$OUT/tavik_identity" 1 >/dev/null 2>&1; rc1=$?
"$OUT/tavik_identity" 7 >/dev/null 2>&1; rc7=$?
set -e
[ "$rc7" -eq 2 ] || { echo "type 7: exit $rc7"; exit 1; }
echo "installed and built: $OUT/tavik_identity (no-device run exit $rc1)"
