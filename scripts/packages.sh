#!/usr/bin/env bash
# Makes sure the system packages of the named parts of system-packages.txt are
# installed.
#   scripts/packages.sh PART...    for example "test" or "ci"
# Installed packages are found with dpkg-query, so a machine that has them all
# never calls apt. Missing ones are installed with apt-get when running as root
# or when sudo works without a password; otherwise the script prints the
# command that installs them and exits with status 2. Without dpkg-query (not
# Debian or Ubuntu) it only names the packages and lets the build report what
# is missing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
list="$root/system-packages.txt"
(($#)) || { echo "usage: scripts/packages.sh PART..." >&2; exit 2; }

wanted=()
for part in "$@"; do
  found=$(awk -v part="[$part]" '
    { sub(/#.*/, ""); gsub(/^[ \t]+|[ \t]+$/, "") }
    /^\[/ { inside = ($0 == part); seen = seen || inside; next }
    inside && NF { print $1 }
    END { exit !seen }' "$list") || { echo "packages.sh: no part [$part] in $list" >&2; exit 2; }
  wanted+=($found)
done

if ! command -v dpkg-query >/dev/null; then
  echo "packages.sh: no dpkg-query here to check for: ${wanted[*]} (or their equivalents)" >&2
  exit 0
fi
missing=()
for package in "${wanted[@]}"; do
  [[ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" == installed ]] || missing+=("$package")
done
((${#missing[@]})) || exit 0

if ((EUID == 0)); then
  apt=(apt-get)
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  apt=(sudo -n apt-get)
else
  echo "Missing system packages: ${missing[*]}. Install them, then run this again:" >&2
  echo "    sudo apt-get install -y ${missing[*]}" >&2
  exit 2
fi
echo "Installing system packages: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${apt[@]}" update -qq
"${apt[@]}" install -y -qq "${missing[@]}" >/dev/null
