#!/usr/bin/env bash
# Installs the Debian packages of the named lists (scripts/packages/NAME.txt) that are
# not installed yet: scripts/install-deps.sh build test ...
set -euo pipefail
cd "$(dirname "$0")/packages"
[ $# -gt 0 ] || { echo "usage: install-deps.sh LIST..." >&2; exit 2; }
files=()
for list in "$@"; do files+=("$list.txt"); done
missing=()
for pkg in $(grep -hv '^\s*#' "${files[@]}"); do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing ${#missing[@]} packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages and not root: apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
