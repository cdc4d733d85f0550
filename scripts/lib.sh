# shellcheck shell=bash
# What several scripts share; sourced, not run:
#
#   source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
#
#   package_installed PACKAGE       whether dpkg has the package installed
#   as_root COMMAND...              runs a command as root (sudo unless root)
#   install_missing NAME PACKAGE... installs with apt the packages that are
#                                   missing, saying so on a line led by NAME
#   find_wine, find_wineserver      print wine64's and its server's path
#                                   (Debian's own first), or fail with 127

package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}

as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  else
    sudo "$@"
  fi
}

# Refreshes apt's package lists. A mirror caught mid-sync serves an index
# of the wrong size and apt-get update fails; it is asked again a few
# times, and then the lists it could read are used: a package that is
# really missing fails its own download.
apt_update() {
  local attempt
  for attempt in 1 2 3 4 5; do
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq && return 0
    echo "apt-get update failed (attempt $attempt); trying again" >&2
    sleep $((attempt * 10))
  done
  echo "apt-get update kept failing; going on with the lists it has" >&2
}

install_missing() {
  local name="$1"
  shift
  local missing=() package
  for package in "$@"; do
    package_installed "$package" || missing+=("$package")
  done
  [[ ${#missing[@]} -gt 0 ]] || return 0
  echo "$name: installing ${missing[*]}"
  # apt and dpkg need the system folders on PATH, which a clean
  # environment may lack.
  export PATH="${PATH:+$PATH:}/usr/local/sbin:/usr/sbin:/sbin"
  apt_update
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends "${missing[@]}" >/dev/null
}

# wine's programs: Debian's own in /usr/lib/wine first, else the one on PATH.
wine_tool() {
  local debian_name="$1" name="$2"
  if [[ -x /usr/lib/wine/$debian_name ]]; then
    echo "/usr/lib/wine/$debian_name"
  elif command -v "$name" >/dev/null 2>&1; then
    command -v "$name"
  else
    echo "$name not found (install the wine64 package)" >&2
    return 127
  fi
}

find_wine() { wine_tool wine64 wine64; }
find_wineserver() { wine_tool wineserver64 wineserver; }
