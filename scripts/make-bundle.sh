#!/usr/bin/env bash
# Assembles a product bundle around a built setup program, and optionally
# wraps it as one self-extracting file.
#
#   scripts/make-bundle.sh --out DIR --bundle-zip FILE [--splash PNG]
#       [--icon PNG] [--agent ZIP] [--keys FILE] [--name NAME] [--run FILE]
#       [--program FILE] [--force]
#
#   --out DIR         where the bundle goes: DIR itself (flat), or DIR/NAME.app
#   --bundle-zip FILE the product, placed as bundle.zip
#   --splash PNG      the download window's picture, placed as splash.png
#   --icon PNG        the product's icon, placed as icon.png: the window's
#                     icon, and the launcher's once installed (see README)
#   --agent ZIP       a local install agent, placed as InstallAgent.zip
#   --keys FILE       minisign public keys, placed as InstallAgent.pub
#   --name NAME       make NAME.app/Contents/{MacOS,Resources} inside DIR,
#                     and the launcher DIR/ID.desktop beside it (ID: NAME in
#                     lower case, each run of other characters one "-")
#   --run FILE        also write FILE: one file that unpacks the bundle into
#                     a temporary directory and starts setup there; run it as
#                     `sh FILE -- ARGS...` (ARGS reach the agent unchanged);
#                     its directory is made when it lies inside DIR
#   --program FILE    the setup program (default: build/setup); its window
#                     module is taken from beside it or from ../lib/setup/
#   --force           replace an earlier bundle or single file
#
# Every input is checked before anything is written; the work happens in a
# directory inside DIR that is removed on any exit.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
me=make-bundle

die() {
  printf '%s: %s\n' "$me" "$*" >&2
  exit 1
}

out="" bundle_zip="" splash="" icon="" agent="" keys="" name="" run="" force=""
program=$top/build/setup

while [ $# -gt 0 ]; do
  case $1 in
    --force) force=1; shift; continue ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    --out | --bundle-zip | --splash | --icon | --agent | --keys | --name | --run | --program)
      [[ $# -ge 2 && -n $2 ]] || die "$1 needs a value" ;;
    *) die "unknown argument '$1' (see --help)" ;;
  esac
  case $1 in
    --out) out=$2 ;;
    --bundle-zip) bundle_zip=$2 ;;
    --splash) splash=$2 ;;
    --icon) icon=$2 ;;
    --agent) agent=$2 ;;
    --keys) keys=$2 ;;
    --name) name=$2 ;;
    --run) run=$2 ;;
    --program) program=$2 ;;
  esac
  shift 2
done

need_file() {  # OPTION PATH
  [[ -f $2 && -r $2 ]] || die "$1 $2: no such readable file"
}

is_zip() {  # 0: a zip archive; 1: an empty one, which unzip only warns about
  local status=0
  unzip -l "$1" >/dev/null 2>&1 || status=$?
  [ "$status" -le 1 ]
}

is_png() {
  [ "$(head -c 8 "$1" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ]
}

# A minisign public key line: base64 of 42 bytes (the "Ed" algorithm tag, an
# 8-byte key id and a 32-byte Ed25519 key).
is_key_line() {
  [[ $1 =~ ^[A-Za-z0-9+/]{56}$ ]] && [ "$(printf %s "$1" | base64 -d 2>/dev/null | head -c 2 | od -An -tx1 | tr -d " \n")" = 4564 ]
}

# As minisign -G writes them, one or more: an "untrusted comment:" line, then
# the key line. Blank lines and CRLF line ends are accepted; anything else is
# refused, so that a damaged next key is found now rather than at rotation.
check_keys() {
  local line number=0 count=0 want=comment
  while IFS= read -r line || [ -n "$line" ]; do
    number=$((number + 1))
    line=${line%$'\r'}
    [[ $line =~ ^[[:space:]]*$ ]] && continue
    if [ $want = comment ]; then
      [[ $line == "untrusted comment:"* ]] ||
        die "--keys $1: line $number is not an \"untrusted comment:\" line"
      want=key
    else
      is_key_line "$line" || die "--keys $1: line $number is not a minisign public key"
      count=$((count + 1)) want=comment
    fi
  done <"$1"
  [ $want = comment ] || die "--keys $1: a comment line with no key after it"
  [ $count -gt 0 ] || die "--keys $1: no minisign public key in it"
}

# The application id the program takes from NAME.app (download/identity.cc
# makes it the same way): the launcher's name, so that the desktop matches
# the window with it.
app_id() {
  local id
  id=$(printf '%s' "$1" | LC_ALL=C tr 'A-Z' 'a-z' | LC_ALL=C tr -c 'a-z0-9' - | tr -s -)
  id=${id#-} id=${id%-}
  printf '%s\n' "${id:-product}"
}

# Whether path $1 is $2 or lies below it, neither need exist.
inside() {
  case "$(realpath -m -- "$1")/" in "$(realpath -m -- "$2")"/*) return 0 ;; esac
  return 1
}

# The name ends up in paths and, for --run, in the self-extracting script.
check_name() {
  local unsafe='[/"$`\]'
  case $1 in
    . | .. | -*) die "--name '$1' is not a usable bundle name" ;;
  esac
  if [[ $1 =~ $unsafe || $1 == *[[:cntrl:]]* ]]; then
    die "--name '$1' has '/', a double quote, '\$', a backquote, a backslash or a control character"
  fi
}

[ -n "$out" ] || die "--out DIR is required"
[ -n "$bundle_zip" ] || die "--bundle-zip FILE is required"
need_file --program "$program"
[ -x "$program" ] || die "--program $program is not executable"
need_file --bundle-zip "$bundle_zip"
is_zip "$bundle_zip" || die "--bundle-zip $bundle_zip is not a zip archive"
if [ -n "$splash" ]; then
  need_file --splash "$splash"
  is_png "$splash" || die "--splash $splash is not a PNG image"
fi
if [ -n "$icon" ]; then
  need_file --icon "$icon"
  is_png "$icon" || die "--icon $icon is not a PNG image"
fi
if [ -n "$agent" ]; then
  need_file --agent "$agent"
  is_zip "$agent" || die "--agent $agent is not a zip archive"
  unzip -Z1 "$agent" 2>/dev/null | grep -qx install ||
    die "--agent $agent has no 'install' script at its top level"
fi
if [ -n "$keys" ]; then
  need_file --keys "$keys"
  check_keys "$keys"
fi
[ -z "$name" ] || check_name "$name"
if [ -n "$run" ]; then
  command -v makeself >/dev/null || die "--run needs makeself (apt-get install makeself)"
  if [ -e "$run" ] || [ -L "$run" ]; then
    [ -n "$force" ] || die "--run $run exists (--force replaces it)"
    [[ -f $run && ! -L $run ]] || die "--run $run exists and is not a regular file"
  fi
  # Made with the bundle when it lies inside --out; elsewhere it must exist.
  [ -d "$(dirname "$run")" ] || inside "$(dirname "$run")" "$out" ||
    die "--run $run: no such directory $(dirname "$run")"
fi
launcher=""
if [ -n "$name" ]; then
  launcher=$out/$(app_id "$name").desktop
  if [ -e "$launcher" ] || [ -L "$launcher" ]; then
    [ -n "$force" ] || die "$launcher exists (--force replaces it)"
    [[ -f $launcher && ! -L $launcher ]] || die "$launcher exists and is not a regular file"
  fi
fi

# An existing output is replaced only with --force, and only when this
# script made it (it leaves its mark there): --force never empties an
# unrelated directory, not even a build directory that holds a setup.
module=""
for candidate in "$(dirname "$program")/libsetup-gtk.so" "$(dirname "$program")/../lib/setup/libsetup-gtk.so"; do
  [ -f "$candidate" ] && module=$candidate && break
done
# The program's catalogues, from a build tree's locale/ or an installed
# share/locale/ (the pseudo-translation of the tests left out).
catalogues=""
for candidate in "$(dirname "$program")/locale" "$(dirname "$program")/../share/locale"; do
  [ -d "$candidate" ] && catalogues=$candidate && break
done
if [ -n "$name" ]; then
  target=$out/$name.app
  program_dir=Contents/MacOS resource_dir=Contents/Resources
else
  target=$out
  program_dir=. resource_dir=.
fi
[[ ! -e $out || ( -d $out && -w $out ) ]] || die "--out $out is not a writable directory"
if [ -e "$target" ] || [ -L "$target" ]; then
  [[ -d $target && ! -L $target ]] || die "$target exists and is not a directory"
  if [ -n "$(ls -A "$target")" ]; then
    [ -n "$force" ] || die "$target exists and is not empty (--force replaces a bundle)"
    [ -f "$target/.made-by-make-bundle" ] ||
      die "$target is not a bundle made by this script: --force will not replace it"
  fi
fi

made_out=""
[ -d "$out" ] || { mkdir -p "$out" && made_out=1; }
stage=$(mktemp -d "$out/.make-bundle.XXXXXX")
stage=$(cd "$stage" && pwd)  # makeself changes directory
finish() {
  local status=$?
  rm -rf "$stage"
  if [ "$status" -ne 0 ] && [ -n "$made_out" ]; then rm -rf "$out"; fi
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

bundle=$stage/bundle${name:+/$name.app}
mkdir -p "$bundle/$program_dir" "$bundle/$resource_dir"
: >"$bundle/.made-by-make-bundle"
cp "$program" "$bundle/$program_dir/setup"
chmod 755 "$bundle/$program_dir/setup"
[ -z "$module" ] || cp "$module" "$bundle/$program_dir/libsetup-gtk.so"
if [ -n "$catalogues" ]; then
  for mo in "$catalogues"/*/LC_MESSAGES/setup.mo; do
    [ -f "$mo" ] || continue
    language=${mo#"$catalogues"/} language=${language%%/*}
    [ "${language#*@pseudo}" = "$language" ] || continue
    mkdir -p "$bundle/$program_dir/locale/$language/LC_MESSAGES"
    cp "$mo" "$bundle/$program_dir/locale/$language/LC_MESSAGES/setup.mo"
  done
fi
cp "$bundle_zip" "$bundle/$resource_dir/bundle.zip"
[ -z "$splash" ] || cp "$splash" "$bundle/$resource_dir/splash.png"
[ -z "$icon" ] || cp "$icon" "$bundle/$resource_dir/icon.png"
[ -z "$agent" ] || cp "$agent" "$bundle/$resource_dir/InstallAgent.zip"
[ -z "$keys" ] || cp "$keys" "$bundle/$resource_dir/InstallAgent.pub"

# The Desktop Entry format takes no path relative to the launcher, but its
# %k is the launcher's own path: a shell started with it finds the bundle
# beside the launcher wherever the folder was unpacked (desktops that start
# launchers from a folder: KDE, Xfce). An applications menu needs a launcher
# with the bundle's absolute path, written where it is installed (README).
# Exec's quoting: \\" and \\$ for a quote and a dollar inside a quoted
# argument, %% for a percent sign.
if [ -n "$launcher" ]; then
  id=$(app_id "$name") icon_name=system-software-install
  [ -z "$icon" ] || icon_name=$id
  cat >"$stage/launcher.desktop" <<DESKTOP
[Desktop Entry]
Type=Application
Version=1.4
Name=$name
Comment=Installs $name
Exec=sh -c "exec \\\\"\\\\\${1%%/*}/${name//[%]/%%}.app/Contents/MacOS/setup\\\\"" sh %k
Icon=$icon_name
Terminal=false
StartupNotify=true
StartupWMClass=$id
DESKTOP
fi

# makeself's script removes the directory it unpacks into (selfgz* under
# $TMPDIR) once the program has run, but not when it stops before: a TMPDIR
# too small for the bundle, a damaged file, a failed decompression. The line
# that follows the directory's making gets a trap that removes it on every
# exit; only the directory the script made, never the one of --keep or
# --target, which unpack where the user said. The line count stays, and
# with it the payload's offset (its checksums cover the payload alone).
# False when the script has no such line.
clean_up_on_every_exit() {  # FILE
  local line
  # shellcheck disable=SC2016  # the script's own text
  line=$(grep -a -n -m 1 -F -x 'location="`pwd`"' "$1" | cut -d: -f1)
  [ -n "$line" ] || return 1
  {
    head -n $((line - 1)) "$1"
    # shellcheck disable=SC2016
    printf '%s\n' 'location="`pwd`"; test x"$keep" = xy || test x"$tmpdir" = x. || trap '\''cd "$TMPROOT"; rm -rf "$tmpdir"'\'' 0'
    tail -n +$((line + 1)) "$1"
  } >"$1.new" && mv "$1.new" "$1"
}

if [ -n "$run" ]; then
  # makeself unpacks into a private directory under $TMPDIR, runs the
  # program from there with the arguments after "--", removes the directory
  # and exits with the program's status. Its own temporary files go to the
  # stage, and it never opens a terminal window of its own (--nox11).
  # Its header says "Verifying archive integrity... MD5 checksums are OK.
  # All good." as one line, but writes the middle to standard error, which
  # a log that keeps the two streams apart then leaves unended, the
  # program's first line glued to it: the header used here writes it all
  # to standard output.
  header_args=()
  for header in /usr/share/makeself/makeself-header.sh \
    "$(dirname "$(command -v makeself)")/makeself-header.sh"; do
    [ -f "$header" ] || continue
    sed 's/^\([[:space:]]*MS_Printf " [A-Z0-9]* checksums are OK."\) >&2$/\1/' "$header" \
      >"$stage/header.sh"
    header_args=(--header "$stage/header.sh")
    break
  done
  TMPDIR=$stage makeself --quiet --nox11 --noprogress --tar-quietly "${header_args[@]}" \
    "$stage/bundle" "$stage/single.run" "${name:-product}" "./${name:+$name.app/Contents/MacOS/}setup" ||
    die "makeself could not write the single file"
  clean_up_on_every_exit "$stage/single.run" ||
    die "makeself $(makeself --version 2>/dev/null | sed -n 's/.*version //p') wrote a script this one cannot make clean up after a failure"
  chmod 755 "$stage/single.run"
fi

# Into place: the bundle first, then the single file.
if [ -n "$name" ]; then
  rm -rf "$target"
  mv "$bundle" "$target"
else
  find "$target" -mindepth 1 -maxdepth 1 ! -name "${stage##*/}" -exec rm -rf {} +
  find "$bundle" -mindepth 1 -maxdepth 1 -exec mv -t "$target" {} +
fi
[ -z "$launcher" ] || mv -f "$stage/launcher.desktop" "$launcher"
if [ -n "$run" ]; then
  mkdir -p "$(dirname "$run")"
  mv -f "$stage/single.run" "$run"
fi

printf 'bundle: %s\n' "$target"
[ -z "$launcher" ] || printf 'launcher: %s\n' "$launcher"
[ -z "$module" ] || printf '  with the window module from %s\n' "$module"
[ -n "$module" ] || printf '  no window module beside %s: downloads show the terminal display\n' "$program"
[ -z "$run" ] || printf 'single file: %s (%s bytes; run it as: sh %s -- ARGS...)\n' "$run" "$(wc -c <"$run")" "$run"
