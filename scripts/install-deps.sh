#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Idempotent: packages already present are left alone; nothing but apt is used.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libfuse3-dev fuse3
  libcurl4-openssl-dev libssl-dev libxml2-dev libssh-dev libx11-dev xvfb
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev apache2 apache2-utils lighttpd lighttpd-mod-webdav openssl
  nginx
  python3 python3-pyftpdlib openssh-server curl
  # The SFTP benchmark's peer.
  sshfs
  # FTP tests and benchmarks: vsftpd (LIST, explicit and implicit TLS) and rclone beside it.
  vsftpd rclone
  # The automatic proxy: libproxy is loaded at run time; the webkit plugin
  # runs automatic configuration scripts.
  libproxy1v5 libproxy1-plugin-webkit
  # The desktop front end (Qt 6 Widgets; its tests run on the offscreen
  # platform and draw their screenshots with a font of their own).
  qt6-base-dev fonts-dejavu-core
  # The fuzz targets: clang with libFuzzer and the sanitizer runtimes.
  clang libclang-rt-14-dev
  # The shell tools' tests read the drives' attributes with getfattr; the package test
  # builds and unpacks a .deb.
  attr dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
