# shellcheck shell=bash
# Sourced by bench/realistic.sh and bench/delta.sh: an agent made of the
# machine's own files. Uses run.sh's $work.

# Real binaries and translations, as an agent ships them: the machine's shared
# libraries (each hard-linked file once; the architecture's own first) up to
# 900 MiB, then translations (.mo) up to |max_files| files in all (1,800
# unless given), deflated. Sorted and zip -X, so one machine makes the same
# archive every time; on a Debian machine with a desktop and a toolchain,
# about 335 MiB.
make_realistic_agent() {
  local zip=$1 max_files=${2:-1800} dir=$work/realistic-src lib_bytes=$((900 << 20))
  [ -s "$zip" ] && return 0
  echo "making $zip (a minute or two, once)" >&2
  rm -rf "$dir" && mkdir -p "$dir"
  printf 'exit 0\n' >"$dir/install"
  local count=1 bytes=0 inode size path
  local -A seen=()
  while read -r inode size path && [ "$bytes" -lt "$lib_bytes" ]; do
    [ -z "${seen[$inode]:-}" ] || continue
    seen[$inode]=1 bytes=$((bytes + size)) count=$((count + 1))
    mkdir -p "$dir/lib/$(dirname "${path#/usr/lib/}")" && ln -s "$path" "$dir/lib/${path#/usr/lib/}"
  done < <(find /usr/lib/x86_64-linux-gnu -type f -name '*.so*' -printf '%i %s %p\n' | LC_ALL=C sort -k3
    find /usr/lib -path /usr/lib/x86_64-linux-gnu -prune -o -type f -name '*.so*' -printf '%i %s %p\n' | LC_ALL=C sort -k3)
  while read -r path && [ "$count" -lt "$max_files" ]; do
    count=$((count + 1))
    mkdir -p "$dir/share/$(dirname "${path#/usr/share/}")" && ln -s "$path" "$dir/share/${path#/usr/share/}"
  done < <(find /usr/share/locale -type f -name '*.mo' | LC_ALL=C sort)
  # zip follows the links; directories come before what they hold.
  (cd "$dir" && find . -mindepth 1 -printf '%P\n' | LC_ALL=C sort | zip -q -X -@ "$zip.part") && mv "$zip.part" "$zip"
  rm -rf "$dir"
}
