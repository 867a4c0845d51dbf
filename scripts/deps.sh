#!/usr/bin/env bash
# Installs the Debian packages the build, the emulated host and the tests need, when missing,
# and the packages named as arguments (scripts/test.sh adds the packaging tools).
set -euo pipefail
pkgs=(build-essential cmake ninja-build pkg-config libxml2-dev libxml2-utils
      libgtest-dev libgmock-dev umockdev libumockdev-dev libglib2.0-dev nlohmann-json3-dev libssl-dev
      clang libclang-rt-14-dev valgrind groff-base tmux clang-format "$@")
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}" >&2
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi
