#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, skipping what is installed.
# Usage: scripts/deps.sh [build|test|bench|screenshots|fuzz|tidy]   (default: test)
# fuzz: clang 14 with its runtime libraries (libFuzzer, sanitizers) for scripts/fuzz.sh.
set -euo pipefail
kind=${1:-test}
pkgs=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libcli11-dev libbenchmark-dev nlohmann-json3-dev
      qt6-base-dev qt6-base-dev-tools)
case "$kind" in
  test)  pkgs+=(ffmpeg x264 mediainfo xvfb xauth openssl) ;;
  bench) pkgs+=(ffmpeg x264 mediainfo hyperfine) ;;
  screenshots) pkgs+=(xvfb xauth twm) ;;
  fuzz)  pkgs+=(clang-14 libclang-rt-14-dev) ;;
  tidy)  pkgs+=(clang-14 clang-tidy-14) ;;
esac
missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
