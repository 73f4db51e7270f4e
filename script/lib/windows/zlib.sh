# Sourced by script/windows: zlib for each toolchain, static, so that nothing
# links zlib1.dll. The msvcrt toolchain has Debian 12's libz-mingw-w64; the
# UCRT one builds its own from Debian 12's source package (build_zlib, in
# ../static-libraries.sh).

# A folder $1 holding only mingw's static zlib (libz-mingw-w64): given to
# builds that must not find the DLL import library.
static_zlib() {
  local dir=$1
  mkdir -p "$dir/lib" "$dir/include"
  cp /usr/$host/lib/libz.a "$dir/lib/"
  cp /usr/$host/include/zlib.h /usr/$host/include/zconf.h "$dir/include/"
}
