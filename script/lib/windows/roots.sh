# Sourced by script/windows: where each toolchain runs. Debian 12's mingw-w64
# (msvcrt) runs on the host. The Universal C Runtime (UCRT) one, which the
# Windows Rubies from 3.1 on are built with, does not exist for Debian 12
# (its mingw-w64, libstdc++ and libgcc included, is built for msvcrt); Debian
# 13 ships one, but it needs Debian 13's C library. So it runs in a Debian 13
# root made with debootstrap from the machine's own Debian mirror and kept in
# the cache. Builds run in that root (in_root_at), seeing the work tree and
# the cache at their usual paths; the host's Ruby 3.1 is reachable from there
# as the base Ruby for building the Windows Ruby 3.1.

# The msvcrt toolchain's versions, part of its cache folders' names.
toolchain_id() {
  echo "gcc$(package_version gcc-mingw-w64-x86-64-posix)-z$(package_version libz-mingw-w64-dev)"
}

ucrt_root_suite=trixie  # Debian 13
# Raise when the root's package list changes.
ucrt_root_recipe=2
ucrt_root=$cache/debian13-root-r$ucrt_root_recipe
# What builds run with in the root: the compilers, cmake, nasm (ISA-L's
# assembly) and Ruby 3.3, the base Ruby for the Windows Ruby 3.3.
ucrt_root_packages=(g++-mingw-w64-ucrt64 cmake ninja-build make nasm pkgconf ruby3.3 xz-utils)

# The Debian 13 root, made once (about 2 minutes, 600 MB).
prepare_ucrt_root() {
  [ -f "$ucrt_root/.ready" ] && return 0
  local work=$ucrt_root.work mirror
  command -v debootstrap >/dev/null || die "debootstrap is missing (run script/setup)"
  mirror=$(host_mirrors | awk '$1 == "main" { print $2; exit }')
  [ -n "$mirror" ] || die "found no Debian mirror in /etc/apt/sources.list{,.d}"
  say "making a Debian 13 root for the UCRT toolchain (a few minutes, once)"
  rm -rf "$work"
  debootstrap --variant=minbase "$ucrt_root_suite" "$work" "$mirror" >"$ucrt_root.log" 2>&1 ||
    die "debootstrap failed: $ucrt_root.log"
  cp /etc/resolv.conf "$work/etc/resolv.conf"
  ucrt_root_dir=$work in_root_at / sh -c \
    "apt-get -qq update && DEBIAN_FRONTEND=noninteractive apt-get -qq install -y --no-install-recommends ${ucrt_root_packages[*]} && apt-get clean" \
    >>"$ucrt_root.log" 2>&1 || die "installing the UCRT toolchain in the Debian 13 root failed: $ucrt_root.log"
  rm -rf "$ucrt_root"
  mv "$work" "$ucrt_root"
  touch "$ucrt_root/.ready"
}

# The UCRT toolchain's versions, part of its cache folders' names.
ucrt_toolchain_id() {
  local admin=$ucrt_root/var/lib/dpkg
  echo "ucrt-gcc$(dpkg-query --admindir="$admin" -W -f='${Version}' g++-mingw-w64-ucrt64)-crt$(dpkg-query --admindir="$admin" -W -f='${Version}' mingw-w64-ucrt64-dev)"
}

# Runs a command in the Debian 13 root, in folder $1. In there the work tree,
# the cache, /proc and /dev are the host's, and the host's whole file system
# is at /host; the mounts vanish with the command.
in_root_at() {
  local dir=$1; shift
  [ "$(id -u)" -eq 0 ] || die "the UCRT toolchain runs in a chroot of its own: this needs root"
  unshare -m --propagation private /bin/sh -c '
    set -e
    root=$1 dir=$2 top=$3 cache=$4; shift 4
    for d in /proc /dev /dev/pts "$top" "$cache"; do
      mkdir -p "$root$d"
      mount --bind "$d" "$root$d"
    done
    # After the others: the host seen from the root holds the root as seen
    # from the host, mounts and all.
    mkdir -p "$root/host"
    mount --rbind / "$root/host"
    exec chroot "$root" /usr/bin/env -C "$dir" PATH=/usr/local/bin:/usr/bin:/bin TMPDIR=/tmp "$@"
  ' in_root "${ucrt_root_dir:-$ucrt_root}" "$dir" "$top" "$cache" "$@"
}

# Runs a command in folder $2 where toolchain $1's programs run: the host for
# Debian 12's mingw-w64, the Debian 13 root for the UCRT one.
run_with() {
  local toolchain=$1 dir=$2; shift 2
  if [ "$toolchain" = "$ucrt_host" ]; then
    in_root_at "$dir" "$@"
  else
    (cd "$dir" && "$@")
  fi
}
