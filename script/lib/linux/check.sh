# Sourced by script/linux-gem: the gem checked where it will be used. In a
# clean Debian 12 root (debootstrap, minbase, with Ruby 3.1: no compiler, no
# -dev package) it is installed with `gem install --local`, its parvox.so may
# need only the C library's files (ldd), and the spine runs
# (script/lib/gem-spine.rb). Each other Ruby of linux_rubies installs it on
# the host and runs the spine too.

# Raise when the root's recipe changes.
check_root_recipe=1
check_root=$cache/debian12-root-r$check_root_recipe
check_root_ruby=3.1

# The Debian 12 root, made once (about a minute, 250 MB).
prepare_check_root() {
  [ -f "$check_root/.ready" ] && return 0
  local work=$check_root.work mirror dev
  mkdir -p "$cache"
  exec 7>"$cache/.lock-root"
  flock 7
  [ ! -f "$check_root/.ready" ] || { flock -u 7; return 0; }
  command -v debootstrap >/dev/null || die "debootstrap is missing (run script/setup)"
  mirror=$(host_mirrors | awk '$1 == "main" { print $2; exit }')
  [ -n "$mirror" ] || die "found no Debian mirror in /etc/apt/sources.list{,.d}"
  say "making a clean Debian 12 root with Ruby $check_root_ruby for the gem check (once)"
  rm -rf "$work"
  debootstrap --variant=minbase --include=ruby bookworm "$work" "$mirror" >"$check_root.log" 2>&1 ||
    die "debootstrap failed: $check_root.log"
  rm -f "$work"/var/cache/apt/archives/*.deb
  dev=$(dpkg-query --admindir="$work/var/lib/dpkg" -W -f='${Package}\n' |
        grep -E -- '-dev$|^(gcc|g\+\+|cpp|clang|make)(-[0-9]+)?$' || true)
  [ -z "$dev" ] || die "the check root is not clean: it has $(echo $dev)"
  mv "$work" "$check_root"
  touch "$check_root/.ready"
  flock -u 7
}

# Runs a command in the check root with a clean environment; /proc, /sys and
# /dev are the host's, the mounts vanishing with the command.
in_check_root() {
  [ "$(id -u)" -eq 0 ] || die "the gem check runs in a chroot: this needs root"
  unshare -m --propagation private /bin/sh -c '
    set -e
    root=$1; shift
    for d in /proc /sys /dev; do mount --bind "$d" "$root$d"; done
    exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LC_ALL=C.UTF-8 "$@"
  ' in_check_root "$check_root" "$@"
}

# The library names of ldd's output on standard input that are not the C
# library's own.
not_glibc() {
  awk '{ print $1 }' | sed 's|.*/||' |
    grep -v -E '^(linux-vdso|libc|libm|libpthread|libdl|librt|ld-linux-x86-64)\.so\.[0-9.]+$' || true
}

# The gem built again when its sources are newer than it.
fresh_linux_gem() {
  local sources=(ext archive fsutil lib parvox.gemspec script/lib/linux/{libraries,extension,gem}.sh
                 script/lib/static-libraries.sh script/lib/platform-gems.sh)
  if [ ! -f "$gem_file" ] || [ -n "$(find "${sources[@]}" -newer "$gem_file" -print -quit)" ]; then
    build_linux_gem
  fi
}

# In folder $1, peer.txt and peer.zip, which holds it encrypted by zip(1)
# with ZipCrypto under password "peer": the spine reads it with the static
# libarchive.
make_peer_archive() {
  local i
  for i in $(seq 200); do echo "line $i, read by libarchive"; done >"$1/peer.txt"
  (cd "$1" && zip -q -P peer peer.zip peer.txt) || die "zip could not make $1/peer.zip (run script/setup)"
}

check_linux_gem() {
  fresh_linux_gem
  prepare_check_root
  local scratch=$check_root/tmp/parvox-check minor home others
  rm -rf "$scratch"
  mkdir -p "$scratch"
  trap "rm -rf '$scratch'" EXIT
  cp "$gem_file" script/lib/gem-spine.rb "$scratch/"
  make_peer_archive "$scratch"
  say "installing ${gem_file##*/} into the clean Debian 12 root, running it with Ruby $check_root_ruby"
  in_check_root sh -c '
    set -e
    cd /tmp/parvox-check
    gem install --local --no-document --install-dir gems "$1" >install.log
    ruby -e "exit RUBY_VERSION.start_with?(\"$2.\")" || { echo "the root has Ruby $(ruby -e "print RUBY_VERSION")"; exit 1; }
    GEM_HOME=$PWD/gems ruby gem-spine.rb peer.zip peer.txt
    ldd gems/gems/parvox-1.0.0-x86_64-linux/lib/parvox/$2/parvox.so >ldd.log
  ' sh "${gem_file##*/}" "$check_root_ruby" || die "the gem check in the Debian 12 root failed"
  others=$(not_glibc <"$scratch/ldd.log")
  [ -z "$others" ] || die "in the Debian 12 root, parvox.so loads $(echo $others): $(cat "$scratch/ldd.log")"
  say "in the Debian 12 root, parvox.so loads only $(awk '{ print $1 }' "$scratch/ldd.log" | tr '\n' ' ')"
  for minor in "${linux_rubies[@]}"; do
    [ "$minor" != "$check_root_ruby" ] || continue
    linux_ruby "$minor"
    home=$scratch/gems-$minor
    if "$ruby_command" -e 'require "openssl"' 2>/dev/null; then
      "$ruby_command" -e '
        require "rubygems/installer"
        Gem::Installer.at(ARGV[0], install_dir: ARGV[1], document: []).install
      ' "$gem_file" "$home" || die "Ruby $minor did not install ${gem_file##*/}"
    else
      # RubyGems checks a gem's digests with OpenSSL: a Ruby built without
      # it has the host's RubyGems install the gem for it.
      say "Ruby $minor has no openssl: the host's gem installs ${gem_file##*/} for it"
      gem install --local --no-document --install-dir "$home" "$gem_file" >/dev/null ||
        die "${gem_file##*/} did not install into $home"
    fi
    GEM_HOME=$home "$ruby_command" script/lib/gem-spine.rb "$scratch/peer.zip" "$scratch/peer.txt" || die "the gem check under Ruby $minor failed"
  done
}
