#!/usr/bin/env bash
# Installs what building and testing Postwain needs, when it is missing (Debian).
set -euo pipefail
needed=(cmake ninja-build g++ clang libgtest-dev libgmock-dev libclang-rt-14-dev libssl-dev libcurl4-openssl-dev openssl)
missing=()
for package in "${needed[@]}" "$@"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -q
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
fi
