#!/usr/bin/env bash
# Packs an install agent directory into the archive the program downloads,
# reproducibly, so that an update by delta fetches only what changed: the
# entries in sorted order, every file with one fixed time, no directory
# entries and no extra fields (zip -X: Info-ZIP's local extra field holds
# an access time that changes each time, and would make every local header
# differ). With a minisign secret key it signs the archive too
# (<archive>.minisig beside it).
#   scripts/make-agent.sh <agent directory> <archive.zip> [<minisign secret key>]
# SOURCE_DATE_EPOCH, when set, is the time given to every file.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 <agent directory> <archive.zip> [<secret key>]" >&2; exit 2; }
dir=$1 out=$2 key=${3:-}
[ -f "$dir/install" ] || { echo "make-agent.sh: $dir has no top-level install script" >&2; exit 1; }
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp -a "$dir/." "$stage/agent"
find "$stage/agent" -exec touch -h -d "@${SOURCE_DATE_EPOCH:-946684800}" {} +
(cd "$stage/agent" &&
  find . -mindepth 1 \( -type f -o -type l \) -printf '%P\n' | LC_ALL=C sort |
  zip -q -X -D -y -@ "$stage/agent.zip")
mv "$stage/agent.zip" "$out"
if [ -n "$key" ]; then
  minisign -S -s "$key" -m "$out" -x "$out.minisig" >/dev/null
fi
echo "$out: $(unzip -Z -1 "$out" | wc -l) entries, $(wc -c <"$out") bytes${key:+, signed}"
