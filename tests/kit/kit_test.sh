#!/usr/bin/env bash
# The vendor's kit, run for real: configure refusals, a build with other
# names against nginx, the README's first hour as it stands (a build with a
# key built in, its bundle and launcher), the installed program with its
# window, and what scripts/make-bundle.sh makes (and refuses to make).
#   kit_test.sh SOURCE_DIR BUILD_DIR PROGRAM HAVE_GTK_MODULE(0|1)
set -uo pipefail
[ $# -eq 4 ] || { sed -n 5p "$0" >&2; exit 2; }
src=$1 build=$2 program=$3 gtk=$4 failed=0 passed=0 server=
mounts=()  # the file systems mounted for a test, unmounted on exit
scratch=$(mktemp -d "${TMPDIR:-/tmp}/kit_test.XXXXXX")
chmod 755 "$scratch"  # nginx's workers, another user, read www/ below it
finish() {
  [ -z "$server" ] || kill "$server" 2>/dev/null
  wait
  local mounted
  for mounted in ${mounts[@]+"${mounts[@]}"}; do umount "$mounted"; done
  rm -rf "$scratch"
}
trap finish EXIT
trap 'exit 1' INT TERM HUP
# shellcheck disable=SC2016  # the shell must not expand them: they go to the agent as they are
hostile=("" " " "a b" "'" '"' '$HOME' '`touch x`' "\\" '*' -- --target -q $'a\nb' ä)

check() {  # NAME COMMAND...: one expectation; a failure is named and counted
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)) && echo "FAIL: $name" >&2; fi
}
not() { ! "$@"; }
exits() { local want=$1; shift; "$@"; [ $? -eq "$want" ]; }
has() { [[ $(<"$1")$'\n' == *"$2"* ]]; }  # FILE TEXT
says() { [[ $(tr -s ' \n' ' ' <"$1") == *"$2"* ]]; }  # FILE TEXT, as CMake wraps it over lines
exists_iff() { if [ "$1" = 1 ]; then [ -e "$2" ]; else [ ! -e "$2" ]; fi; }  # FLAG PATH
listing() { find "$1" -mindepth 1 ! -name .lock -printf '%P\n' | LC_ALL=C sort; }
etag() { printf '"%x-%x"' "$(stat -c %Y "$1")" "$(stat -c %s "$1")"; }  # as nginx makes it
args_are() { cmp -s "$1/out/args" <(printf '%s\0' "${@:2}"); }  # USER ARGS...
# USER ARGS...: what the agent got after -installbundle and the bundle's path.
user_args_are() { cmp -s <(tail -z -n +3 "$1/out/args") <(printf '%s\0' "${@:2}"); }
one_line() { [ "$(wc -l <"$1")" -eq 1 ] && [[ $(<"$1") == "make-bundle: "*"$2"* ]]; }  # FILE TEXT

make_zip() {  # ZIP NAME CONTENT: a one-file archive, made with the real zip
  local dir; dir=$(mktemp -d "$scratch/zip.XXXXXX") && printf '%s' "$3" >"$dir/$2" && zip -q -X -j "$1" "$dir/$2"
}
make_agent() {  # ZIP TAG: its install script logs TAG, and its arguments NUL-separated
  make_zip "$1" install "echo $2 >>\"\$AGENT_OUT/runs\"; printf '%s\\0' \"\$@\" >\"\$AGENT_OUT/args\""
}
new_user() {  # DIR [PROGRAM]: own HOME and TMPDIR, and a copy of PROGRAM in DIR/product
  mkdir -p "$1"/{home,tmp,out,product}
  [ -z "${2:-}" ] || { cp "$2" "$1/product/setup" && echo "the product" >"$1/product/bundle.zip"; }
}
as_user() {  # USER [VAR=VALUE...] COMMAND...: run in a bare environment; output in USER/std{out,err}
  local user=$1; shift
  (cd "$user/home" && timeout 60 env -i PATH="$PATH" HOME="$user/home" TMPDIR="$user/tmp" \
    AGENT_OUT="$user/out" CURL_CA_BUNDLE="$SERVER_CA" "$@" </dev/null >"$user/stdout" 2>"$user/stderr") ||
    { local status=$? && tail -n 5 "$user/stderr" >&2 && return $status; }
}
configure() { cmake -S "$src" -B "$1" -DBUILD_TESTING=OFF "${@:2}" >"$1.out" 2>"$1.err"; }  # DIR OPTIONS...
make_bundle() {  # ARGS...: make-bundle.sh around the built program; output in $scratch/mb.{out,err}
  env -i PATH="$PATH" "$src/scripts/make-bundle.sh" --program "$program" "$@" >"$scratch/mb.out" 2>"$scratch/mb.err"
}
readme_block() {  # README: the block the README says this test runs
  awk '/^<!-- tests\/kit\/kit_test.sh runs the block below/ { on = 1; next }
       on && /^    / { print substr($0, 5); seen = 1; next }
       on && seen { exit }' "$1"
}

www=$scratch/www && mkdir -p "$www"
for tag in vendor override installed app; do make_agent "$www/$tag.zip" "$tag"; done
# In the foreground under timeout, so that it does not outlive a killed test long.
mkdir "$scratch/server"
# shellcheck disable=SC2016  # expanded by that shell
timeout 600 bash -c '. "$0" && run_https_server "$1" "$2"' "$src/scripts/https_server.sh" \
  "$scratch/server" "$www" >"$scratch/server/port" &
server=$!
for _ in $(seq 1 200); do [ -s "$scratch/server/port" ] && break; sleep 0.05; done
[ -s "$scratch/server/port" ] || { echo "nginx did not start" >&2; exit 1; }
url=https://127.0.0.1:$(<"$scratch/server/port")
SERVER_CA=$scratch/server/cert.pem

# Configure: each bad value stops it before anything is generated.
: >"$scratch/empty.pub"
printf 'untrusted comment: one\nRWQ\n' >"$scratch/short.pub"
configure_refuses() {  # OPTION MESSAGE
  local dir; dir=$(mktemp -d "$scratch/configure.XXXXXX")
  check "configure ${1@Q}: refused" not configure "$dir" "$1"
  check "configure ${1@Q}: says '$2'" says "$dir.err" "$2"
  check "configure ${1@Q}: no build_config.h" not test -e "$dir/generated/util/build_config.h"
}
configure_refuses $'-DSETUP_PRODUCT_NAME=Sample\tProduct' "a backslash or control characters"
while IFS='|' read -r option message; do configure_refuses "$option" "$message"; done <<CASES
-DSETUP_RELEASE_TAG=|SETUP_RELEASE_TAG is empty
-DSETUP_PLATFORM_TAG=a b|white space
-DSETUP_RELEASE_TAG=it's|quote
-DSETUP_PLATFORM_TAG=a/b|single name
-DSETUP_INSTALL_AGENT_URL=http://127.0.0.1/a|not an https:// URL
-DSETUP_CACHE_DIR=/var/cache|relative to the home
-DSETUP_CACHE_DIR=a/../../b|'..'
-DSETUP_PUBLIC_KEYS=$scratch/none.pub|no such file
-DSETUP_PUBLIC_KEYS=$scratch/empty.pub|no minisign public key in it
-DSETUP_PUBLIC_KEYS=$scratch/short.pub|line 2 is not a minisign public key
-DSETUP_PRODUCT_NAME=Sample "Product"|SETUP_PRODUCT_NAME has quote characters
-DSETUP_PRODUCT_NAME=Sample\\Product|a backslash
CASES
check "configure with tags" configure "$scratch/tags" -DSETUP_RELEASE_TAG=R9 -DSETUP_PLATFORM_TAG=lin64 \
  "-DSETUP_PRODUCT_NAME=Sample Product"
check "configure prints the product name" has "$scratch/tags.out" $'Product name:       Sample Product\n'
check "configure prints the URL" has "$scratch/tags.out" $'https://downloads.korvex.com/pi_install_agent_pi_R9_lin64\n'
check "configure prints the cache" has "$scratch/tags.out" $'$HOME/.korvex/app_installer_cache/R9/lin64/\n'
check "configure names what is still stock" has "$scratch/tags.out" \
  $'Still stock:        SETUP_INSTALL_AGENT_URL SETUP_CACHE_DIR (a product'

# A build with every name changed fetches its own URL into its own cache.
vendor=$scratch/vendor-build
check "vendor configure" configure "$vendor" -DSETUP_RELEASE_TAG=R9 -DSETUP_PLATFORM_TAG=lin64 \
  "-DSETUP_INSTALL_AGENT_URL=$url/vendor.zip" -DSETUP_CACHE_DIR=.vendor/cache//
check "vendor configure: nothing stock" has "$vendor.out" $'Still stock:        none\n'
check "vendor configure: no product name" has "$vendor.out" $'Product name:       none (SETUP_PRODUCT_NAME)\n'
check "vendor build" cmake --build "$vendor" --target setup -j2 >/dev/null
u=$scratch/vendor && new_user "$u" "$vendor/setup"
check "vendor: runs" as_user "$u" "$u/product/setup" "${hostile[@]}"
check "vendor: agent's arguments" args_are "$u" -installbundle "$u/product/bundle.zip" "${hostile[@]}"
check "vendor: stamp holds the ETag" cmp -s "$u/home/.vendor/cache/.validatestring" <(etag "$www/vendor.zip")
check "vendor: no stock cache" not test -e "$u/home/.korvex"
check "vendor: override runs" as_user "$u" ZV_INTERNAL_INSTALL_AGENT_URL="$url/override.zip" "$u/product/setup"
check "vendor: the override wins" cmp -s "$u/out/runs" <(printf '%s\n' vendor override)

# The README's first hour, its block run as it stands in a copy of the
# source tree (what a fresh clone holds, local changes included), with a
# product, an agent, a splash and an icon of the test's own.
clone=$scratch/clone && mkdir "$clone"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$src" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh |
    xargs -0 cp --parents -t "$clone")
else
  tar -C "$src" --exclude='./build*' -cf - . | tar -C "$clone" -xf -
fi
make_zip "$clone/product.zip" product.txt "the product" && make_agent "$clone/agent.zip" readme
cp "$src/demo/splash.png" "$clone/splash.png" && cp "$src/demo/splash.png" "$clone/icon.png"
readme_block "$src/README.md" >"$scratch/first-hour.sh"
first_hour() {  # the block, in the copy, in a bare environment (builds as parallel as the machine)
  (cd "$clone" && env -i PATH="$PATH" HOME="$scratch" CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)" \
    bash -e -o pipefail "$scratch/first-hour.sh") >"$scratch/first-hour.out" 2>"$scratch/first-hour.err" ||
    { local status=$? && tail -n 5 "$scratch/first-hour.err" >&2 && return $status; }
}
check "README: has the first hour" grep -q "^scripts/make-bundle.sh" "$scratch/first-hour.sh"
check "README: the first hour runs" first_hour
check "README: nothing stock" has "$scratch/first-hour.out" $'Still stock:        none\n'
check "README: one key built in" has "$scratch/first-hour.out" "Public keys:        1 built in"
secret_keys_in_clone() {
  find "$clone" -path "$clone/build-vendor" -prune -o -type f -exec \
    grep -l "^untrusted comment: minisign .*secret key" {} + | grep -q .
}
check "README: the secret key stays out of the clone" not secret_keys_in_clone
dist=$clone/dist app="$clone/dist/Sample Product.app/Contents"
check "README: no key file in the bundle" not test -e "$app/Resources/InstallAgent.pub"
check "README: the icon in the bundle" cmp -s "$app/Resources/icon.png" "$clone/icon.png"
check "README: the single file" test -x "$dist/sample-product.run"
check "README: the launcher validates" desktop-file-validate "$dist/sample-product.desktop"
check "README: the launcher's class" has "$dist/sample-product.desktop" $'StartupWMClass=sample-product\n'
cp "$clone/agent.zip" "$www/readme.zip" && cp "$clone/agent.zip.minisig" "$www/readme.zip.minisig"
u=$scratch/readme-signed && new_user "$u"
check "built-in key: signed runs" as_user "$u" ZV_INTERNAL_INSTALL_AGENT_URL="$url/readme.zip" "$app/MacOS/setup"
check "the terminal names the product first" test "$(head -n 1 "$u/stderr")" = "Sample Product Setup"
check "built-in key: the agent ran" cmp -s "$u/out/runs" <(echo readme)
check "built-in key: its own cache" test -s "$u/home/.cache/sample-product/installer/R1/.validatestring"
u=$scratch/readme-unsigned && new_user "$u"
check "built-in key: unsigned refused" exits 255 as_user "$u" ZV_INTERNAL_INSTALL_AGENT_URL="$url/vendor.zip" "$app/MacOS/setup"
check "built-in key: says why" has "$u/stderr" "No signature for the archive (HTTP status 404)."
check "built-in key: no agent ran" not test -e "$u/out/runs"
# A key file beside the program adds its keys and takes none away.
minisign -G -W -p "$scratch/added.pub" -s "$scratch/added.sec" >/dev/null
cp "$www/vendor.zip" "$www/added.zip" && minisign -S -s "$scratch/added.sec" -m "$www/added.zip" >/dev/null
cp "$scratch/added.pub" "$app/Resources/InstallAgent.pub"
for agent in added readme vendor; do
  u=$scratch/readme-file-$agent && new_user "$u"
  check "key file beside: $agent" exits "$([ $agent = vendor ] && echo 255 || echo 0)" \
    as_user "$u" ZV_INTERNAL_INSTALL_AGENT_URL="$url/$agent.zip" "$app/MacOS/setup"
done
rm "$app/Resources/InstallAgent.pub"
# The launcher started as GNOME starts one (GIO's own launch, field codes
# and all, waited for) runs the program in the bundle.
cat >"$scratch/gio-launch.c" <<'C'
#include <gio/gdesktopappinfo.h>
#include <sys/wait.h>
static void started(GDesktopAppInfo* info, GPid pid, gpointer out) { *(GPid*)out = pid; }
int main(int argc, char** argv) {
  GDesktopAppInfo* info = g_desktop_app_info_new_from_filename(argv[1]);
  GPid pid = 0;
  int status = 0;
  if (!info || !g_desktop_app_info_launch_uris_as_manager(info, NULL, NULL, G_SPAWN_DO_NOT_REAP_CHILD,
                                                          NULL, NULL, started, &pid, NULL))
    return 99;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 98;
}
C
# shellcheck disable=SC2046  # pkg-config's words
check "launcher: a GIO launch to test with" cc -o "$scratch/gio-launch" "$scratch/gio-launch.c" \
  $(pkg-config --cflags --libs gio-unix-2.0)
mv "$clone/dist" "$scratch/moved dist"  # a launcher finds the bundle wherever the folder is
u=$scratch/launched && new_user "$u"
check "launcher: runs the program" as_user "$u" ZV_INTERNAL_INSTALL_AGENT_URL="$url/readme.zip" \
  "$scratch/gio-launch" "$scratch/moved dist/sample-product.desktop"
check "launcher: the agent ran" cmp -s "$u/out/runs" <(echo readme)

# The installed program finds its window module in lib/setup/.
p=$scratch/prefix
check "install" cmake --install "$build" --prefix "$p" >/dev/null
check "install: window module iff built" exists_iff "$gtk" "$p/lib/setup/libsetup-gtk.so"
u=$scratch/installed && new_user "$u"
check "installed: runs" as_user "$u" ZV_INTERNAL_INSTALL_AGENT_URL="$url/installed.zip" "$p/bin/setup" x
check "installed: agent's arguments" args_are "$u" -installbundle "$p/bin/bundle.zip" x
check "installed, no display: the terminal one" has "$u/stderr" "Downloading 100%"
check "installed: says bundle.zip is missing" has "$u/stderr" \
  "Warning: $p/bin/bundle.zip does not exist; the install agent is started all the same."
check "install: the catalogues" test -s "$p/share/locale/ar/LC_MESSAGES/setup.mo" \
  -a -s "$p/share/locale/zh_CN/LC_MESSAGES/setup.mo" -a ! -e "$p/share/locale/en@pseudo"
check "installed: in the user's language" as_user "$u" LOCPATH="$build/locales" LANG=de_DE.UTF-8 \
  ZV_INTERNAL_INSTALL_AGENT_URL="$url/installed.zip" "$p/bin/setup" x
check "installed: says so in German" has "$u/stderr" "Warnung: $p/bin/bundle.zip existiert nicht"
echo "the product" >"$p/bin/bundle.zip"
check "installed with bundle.zip: runs" as_user "$u" ZV_INTERNAL_INSTALL_AGENT_URL="$url/installed.zip" "$p/bin/setup" x
check "installed with bundle.zip: no warning" not has "$u/stderr" "Warning"
rm "$p/bin/bundle.zip"
if [ "$gtk" != 1 ]; then echo "SKIP: the installed program's window: no window module built" >&2
elif ! command -v xvfb-run >/dev/null; then echo "SKIP: the installed program's window: no xvfb-run" >&2
else
  u=$scratch/windowed && new_user "$u"
  check "installed, display: runs" as_user "$u" ZV_INTERNAL_INSTALL_AGENT_URL="$url/installed.zip" \
    xvfb-run -a -s "-screen 0 1024x768x24" "$p/bin/setup" y
  check "installed, display: agent's arguments" args_are "$u" -installbundle "$p/bin/bundle.zip" y
  check "installed, display: the window" not has "$u/stderr" "Downloading"
fi

# make-bundle's inputs, made with the real zip and minisign: two keys (the
# current and the next) with a blank line between them and CRLF line ends.
k=$scratch/kit && mkdir -p "$k"
make_zip "$k/bundle.zip" product.txt "the product" && make_agent "$k/agent.zip" local
minisign -G -W -p "$k/k1" -s "$k/s1" >/dev/null && minisign -G -W -p "$k/k2" -s "$k/s2" >/dev/null
{ cat "$k/k1" && echo && echo && cat "$k/k2"; } | sed 's/$/\r/' >"$k/keys.pub"

flat=(.made-by-make-bundle InstallAgent.pub InstallAgent.zip bundle.zip setup splash.png)
[ "$gtk" != 1 ] || flat+=(libsetup-gtk.so)
# The catalogues beside the program, but the tests' pseudo-translation.
mapfile -t -O ${#flat[@]} flat < <(cd "$(dirname "$program")" && find locale ! -path '*@pseudo*')
check "bundle: made" make_bundle --out "$k/flat" --bundle-zip "$k/bundle.zip" --agent "$k/agent.zip" \
  --keys "$k/keys.pub" --splash "$src/demo/splash.png" --run "$k/one.run"
check "bundle: flat listing" cmp -s <(listing "$k/flat") <(printf '%s\n' "${flat[@]}" | LC_ALL=C sort)
check "bundle: keys byte for byte" cmp -s "$k/flat/InstallAgent.pub" "$k/keys.pub"
u=$scratch/runner && new_user "$u"
runs_hostile() {  # COMMAND...: the hostile arguments reach the agent, and nothing stays behind
  check "${*##*/}: runs" as_user "$u" "$@" "${hostile[@]}"
  check "${*##*/}: agent's arguments" user_args_are "$u" "${hostile[@]}"
  check "${*##*/}: nothing left in TMPDIR" test -z "$(ls -A "$u/tmp")"
}
runs_hostile sh "$k/one.run" --
runs_hostile "$k/one.run" --
runs_hostile "$k/flat/setup"
# Under a TMPDIR too small for the bundle (makeself refuses before it
# unpacks) or mounted noexec (the program cannot start), the single file
# fails and leaves nothing there. Each TMPDIR is a tmpfs of its own, which
# only root can mount.
for kind in full noexec; do
  tmp=$scratch/tmpdir-$kind && mkdir "$tmp"
  options=size=64k status=1
  [ $kind = full ] || options=size=64m,noexec status=126
  if [ "$(id -u)" -ne 0 ]; then echo "SKIP: the single file under a $kind TMPDIR: a tmpfs needs root" >&2; continue; fi
  if ! mount -t tmpfs -o "$options" kit-test "$tmp"; then
    echo "SKIP: the single file under a $kind TMPDIR: cannot mount a tmpfs" >&2 && continue
  fi
  mounts+=("$tmp")
  check "one.run, $kind TMPDIR: fails" exits "$status" as_user "$u" TMPDIR="$tmp" sh "$k/one.run" --
  check "one.run, $kind TMPDIR: nothing left in it" test -z "$(ls -A "$tmp")"
done
# The single file passes on the agent's exit status, as setup does.
make_zip "$k/failing.zip" install "exit 3"
check "bundle: an agent that fails" make_bundle --out "$k/failing" --bundle-zip "$k/bundle.zip" \
  --agent "$k/failing.zip" --run "$k/failing.run"
check "failing.run: the agent's status" exits 3 as_user "$u" sh "$k/failing.run" --
# The packer's own lines are whole lines on the stream they go to: the
# program's standard error is not glued to them.
check "failing.run: standard error clean" not grep -q "checksums" "$u/stderr"
check "failing.run: the packer's line whole" has "$u/stdout" $' MD5 checksums are OK. All good.\n'
app="$k/flat/Odd 'Name'.app/Contents"
check "app: made" make_bundle --out "$k/flat" --name "Odd 'Name'" --bundle-zip "$k/bundle.zip"
check "app: its launcher validates" desktop-file-validate "$k/flat/odd-name.desktop"
check "app: the launcher's name" has "$k/flat/odd-name.desktop" $'Name=Odd \'Name\'\nComment=Installs Odd \'Name\''
check "app: the launcher's stock icon" has "$k/flat/odd-name.desktop" $'Icon=system-software-install\n'
check "app: window module iff built" exists_iff "$gtk" "$app/MacOS/libsetup-gtk.so"
check "app: runs" as_user "$u" ZV_INTERNAL_INSTALL_AGENT_URL="$url/app.zip" "$app/MacOS/setup" z
check "app: agent's arguments" args_are "$u" -installbundle "$app/Resources/bundle.zip" z

# Refusals: exit 1, one line saying why, and no output directory.
printf 'untrusted comment: not a zip\nRWQ\n' >"$k/text"
printf 'untrusted comment: x\n%s\n' "$(printf 'A%.0s' {1..56})" >"$k/noEd.pub"
out=$k/out base=(--out "$k/out" --bundle-zip "$k/bundle.zip")
refused() {  # MESSAGE ARGS...
  local message=$1 last=${!#}; shift
  local what="$message [${last##*/}]"
  check "refused $what: exit 1" exits 1 make_bundle "$@"
  check "refused $what: one line saying so" one_line "$scratch/mb.err" "$message"
  check "refused $what: no output" not test -e "$out"
}
refused "--out DIR is required" --bundle-zip "$k/bundle.zip"
refused "--bundle-zip FILE is required" --out "$out"
refused "--out needs a value" "${base[@]}" --out
refused "no such readable file" --out "$out" --bundle-zip "$k/none.zip"
refused "is not a zip archive" --out "$out" --bundle-zip "$k/text"
refused "is not a PNG image" "${base[@]}" --splash "$k/bundle.zip"
refused "no 'install' script" "${base[@]}" --agent "$k/bundle.zip"
refused "line 2 is not a minisign public key" "${base[@]}" --keys "$k/text"
refused "line 2 is not a minisign public key" "${base[@]}" --keys "$k/noEd.pub"
refused 'is not an "untrusted comment:" line' "${base[@]}" --keys "$k/bundle.zip"
refused "has '/'" "${base[@]}" --name a/b
refused "exists (--force replaces it)" "${base[@]}" --run "$k/bundle.zip"
refused "is not a PNG image" "${base[@]}" --icon "$k/bundle.zip"
refused "no such directory $k/elsewhere" "${base[@]}" --run "$k/elsewhere/one.run"
check "--run inside a new --out" make_bundle --out "$k/new" --bundle-zip "$k/bundle.zip" --run "$k/new/sub/one.run"
check "--run inside a new --out: written" test -x "$k/new/sub/one.run"
check "bundle with an agent" make_bundle "${base[@]}" --agent "$k/agent.zip"
check "not empty: refused" exits 1 make_bundle "${base[@]}"
check "not empty: says so" has "$scratch/mb.err" "exists and is not empty (--force"
check "not empty: kept" test -e "$out/InstallAgent.zip"
check "--force: replaces" make_bundle "${base[@]}" --force
check "--force: the agent is gone" not test -e "$out/InstallAgent.zip"
check "--force on a non-bundle: refused" exits 1 make_bundle --out "$k" --bundle-zip "$k/bundle.zip" --force
check "--force on a non-bundle: says so" has "$scratch/mb.err" "is not a bundle"
mkdir -p "$k/builddir" && echo x >"$k/builddir/setup" && echo y >"$k/builddir/CMakeCache.txt"
check "--force on a build directory: refused" exits 1 make_bundle --out "$k/builddir" \
  --bundle-zip "$k/bundle.zip" --force
check "--force on a build directory: its files stay" test -f "$k/builddir/CMakeCache.txt"

printf '%d passed, %d failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
