# Shared by scripts that fetch Debian packages without touching the machine's
# own apt setup. Source it; it defines functions only (they call the
# sourcing script's die).

# The mirror URIs the machine's apt sources use for Debian itself and for its
# security updates, read from deb822 files (*.sources) and one-line lists.
# Prints "main URI" and "security URI" lines.
host_mirrors() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && enabled != "no" && uri != "")
          print ((suites ~ /-security/) ? "security " : "main ") uri
        types = ""; uri = ""; suites = ""; enabled = ""
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      tolower($1) == "types:"   { $1 = ""; types = $0 }
      tolower($1) == "uris:"    { uri = $2 }
      tolower($1) == "suites:"  { $1 = ""; suites = $0 }
      tolower($1) == "enabled:" { enabled = tolower($2) }
      END { flush() }
    ' "$f"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" | awk '
      $1 == "deb" && NF >= 3 { print (($3 ~ /-security/) ? "security " : "main ") $2 }
    '
  done
}

# Sets up a private apt state in folder $1 whose sources are the machine's
# mirrors with the given "type suite" pairs (for example "deb bullseye" or
# "deb-src bookworm"; a suite's -security counterpart is added when the machine
# has a security mirror, unless private_apt_no_security is set or the suite is
# experimental, which has none), fetches the
# package lists, and fills the array private_apt with the apt options that use
# that state.
private_apt_setup() {
  local aptdir=$1; shift
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  [ -f "$keyring" ] || { echo "$keyring is missing (Debian package debian-archive-keyring)" >&2; return 1; }

  local mirrors main security pair type suite
  mirrors=$(host_mirrors)
  main=$(awk '$1 == "main" { print $2; exit }' <<<"$mirrors")
  security=$(awk '$1 == "security" { print $2; exit }' <<<"$mirrors")
  [ -n "$main" ] || { echo "found no Debian mirror in /etc/apt/sources.list{,.d}" >&2; return 1; }

  rm -rf "$aptdir"
  mkdir -p "$aptdir/lists/partial" "$aptdir/cache/archives/partial"
  : >"$aptdir/status"
  for pair in "$@"; do
    read -r type suite <<<"$pair"
    echo "$type [signed-by=$keyring] ${main%/} $suite main"
    [ -z "$security" ] || [ -n "${private_apt_no_security:-}" ] || [ "$suite" = experimental ] || echo "$type [signed-by=$keyring] ${security%/} $suite-security main"
  done >"$aptdir/sources.list"

  private_apt=(
    -o Dir::Etc::SourceList="$aptdir/sources.list"
    -o Dir::Etc::SourceParts=/dev/null
    -o Dir::Etc::Preferences=/dev/null
    -o Dir::Etc::PreferencesParts=/dev/null
    -o Dir::State="$aptdir"
    -o Dir::State::Lists="$aptdir/lists"
    -o Dir::State::status="$aptdir/status"
    -o Dir::Cache="$aptdir/cache"
    -o Acquire::Languages=none
    -o APT::Sandbox::User="$(id -un)"
    -o Debug::NoLocking=true
  )
  apt-get "${private_apt[@]}" -qq update >/dev/null
}

# Fetches Debian source package $1 (optionally =version) from suite $2 into
# folder $3 and unpacks it there with Debian's patches applied; prints the
# unpacked folder.
fetch_source() {
  local package=$1 suite=$2 into=$3 private_apt_no_security=
  # Some mirrors of the security archive serve no source files: then the
  # suite's own version is taken.
  while :; do
    rm -rf "$into"
    mkdir -p "$into"
    private_apt_setup "$into/apt" "deb-src $suite" >&2 || die "could not fetch the $suite source lists"
    (cd "$into" && apt-get "${private_apt[@]}" -qq source "$package" >/dev/null 2>&1) && break
    [ -z "$private_apt_no_security" ] || die "apt-get source $package failed"
    private_apt_no_security=1
  done
  ls -d "$into"/*/ | grep -v '/apt/$' | head -n 1
}
