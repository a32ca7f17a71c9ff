# shellcheck shell=bash
# Sourced by the set-up scripts: installs the Debian packages they need.
# As root it runs apt-get; otherwise it prints the command to run and stops.
#   ensure_packages "${BUILD_PACKAGES[@]}" "${RUN_PACKAGES[@]}" ...

# shellcheck disable=SC2034  # read by the scripts that source this file
# gettext compiles the catalogues of the texts people read.
BUILD_PACKAGES=(g++ cmake make pkg-config libcurl4-openssl-dev libgtk-3-dev libgtest-dev libgmock-dev libsodium-dev libglib2.0-dev
  gettext)
# What the demo and the tests run: unzip and sh for the agent, zip and
# openssl and nginx for a sample product and its server, makeself for the
# single-file installer, minisign for signed agents, GIO with GNOME's proxy
# settings and PAC support for the desktop's proxy, desktop-file-utils to
# check the launcher make-bundle.sh writes.
# shellcheck disable=SC2034
RUN_PACKAGES=(libcurl4 libsodium23 unzip zip openssl nginx-light ca-certificates makeself minisign
  libglib2.0-0 glib-networking gsettings-desktop-schemas desktop-file-utils)
# What the tests add: Python for the fault server, Xvfb for the window,
# weston to show it under a Wayland compositor as well, xdotool to press its
# keys from outside, fonts for the window's Chinese and Arabic texts,
# the locale sources the language tests make their locales from, and squid
# for a proxy that asks Basic, Digest and Negotiate credentials, with a
# Kerberos KDC and its tools for the last.
# shellcheck disable=SC2034
TEST_PACKAGES=(python3 xvfb xauth weston xdotool fonts-wqy-microhei fonts-noto-core locales squid
  krb5-kdc krb5-admin-server krb5-user)

ensure_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]} ..." >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null && apt-get install -y -qq "${missing[@]}" >/dev/null
}

build_setup() {
  cmake -S "$1" -B "$1/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build "$1/build" -j"$(nproc)" >/dev/null
}

# The program and its window module alone (what a product ships), with
# the compiler's progress shown: no tests, no benchmarks.
build_program() {
  cmake -S "$1" -B "$1/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || return
  local targets=(--target setup)
  grep -q '^GTK3_FOUND:INTERNAL=1' "$1/build/CMakeCache.txt" && targets+=(--target setup-gtk)
  # A build with nothing left to do prints no such line: that is no failure.
  cmake --build "$1/build" -j"$(nproc)" "${targets[@]}" |
    { grep --line-buffered -E '^\[ *[0-9]+%\] (Building|Linking)' || true; }
}
