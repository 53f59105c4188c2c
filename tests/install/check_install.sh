#!/usr/bin/env bash
# What `cmake --install` gives a user: the files, their links, the manual
# pages and the systemd units, checked in a prefix and a staged tree.
#   check_install.sh ROOT CMAKE BUILD_DIR HOST_EXPECTED
# ROOT is a private folder: the prefix, a staged (DESTDIR) tree and the home
# of the programs run all lie in it, so nothing outside it is read or written.
# Shell completion itself is checked by the CLI tests, from the source tree.
set -euo pipefail

root=$1 cmake=$2 build=$3 host_expected=$4
[[ $root == /* ]] || root=$PWD/$root
prefix=$root/prefix stage=$root/stage home=$root/home

fail() {
  printf 'FAIL: %s\n' "$*" >&2
  exit 1
}

# Runs a command in an environment holding only what is given, so that the
# developer's own shell set-up can neither help nor break a check.
clean() {
  env -i HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    PATH="$prefix/bin:/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin" TERM=dumb LANG=C.UTF-8 "$@"
}

# Runs a check; it must succeed and write nothing at all.
silent() {
  local out
  out=$("$@" 2>&1) || fail "$* exited with status $?: $out"
  [[ -z $out ]] || fail "$* wrote: $out"
}

rm -rf "$root"
mkdir -p "$home"
out=$("$cmake" --install "$build" --prefix "$prefix" 2>&1) || fail "install failed: $out"
out=$(DESTDIR=$stage "$cmake" --install "$build" --prefix /usr/local 2>&1) || fail "staged install failed: $out"

expected=(
  bin/tesselo bin/tesselo-cli bin/tesselo-mcp
  share/man/man1/tesselo.1 share/man/man1/tesselo-cli.1 share/man/man1/tesselo-mcp.1
  share/bash-completion/completions/tesselo share/bash-completion/completions/tesselo-cli
  share/zsh/site-functions/_tesselo
  share/fish/vendor_completions.d/tesselo.fish share/fish/vendor_completions.d/tesselo-cli.fish
  share/doc/tesselo/LICENSE
)
if [[ $host_expected == 1 ]]; then
  expected+=(bin/tesselo-host share/man/man1/tesselo-host.1
    lib/systemd/user/tesselo-host.socket lib/systemd/user/tesselo-host.service)
fi
want=$(printf '%s\n' "${expected[@]}" | sort)
got=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | sort)
[[ $got == "$want" ]] || fail "installed files differ from the expected ones:
$(diff <(printf '%s\n' "$want") <(printf '%s\n' "$got") || true)"
unrunnable=$(find -L "$prefix/bin" -type f ! -perm -u+x)
[[ -z $unrunnable ]] || fail "not executable: $unrunnable"
# Relative links keep working wherever the tree is moved or staged.
for link in bin/tesselo:tesselo-cli share/man/man1/tesselo-cli.1:tesselo.1 \
  share/bash-completion/completions/tesselo-cli:tesselo \
  share/fish/vendor_completions.d/tesselo-cli.fish:tesselo.fish; do
  [[ $(readlink "$prefix/${link%%:*}") == "${link#*:}" ]] ||
    fail "${link%%:*} points to $(readlink "$prefix/${link%%:*}"), not ${link#*:}"
done
[[ $(readlink "$stage/usr/local/bin/tesselo") == tesselo-cli && -x $stage/usr/local/bin/tesselo-cli ]] ||
  fail "the staged tree under DESTDIR lacks bin/tesselo or bin/tesselo-cli"
usage=$(cd / && clean "$prefix/bin/tesselo" 2>&1) && [[ $usage == usage:* ]] || fail "tesselo printed: $usage"
silent clean "$prefix/bin/tesselo-mcp" </dev/null

# Debian has both formatters (scripts/bootstrap); recent macOS only mandoc.
# With neither, every page renders nothing and fails below.
for page in "$prefix"/share/man/man1/*.1; do
  ! command -v mandoc >/dev/null || silent mandoc -T lint -W warning "$page"
  ! command -v groff >/dev/null || silent groff -ww -mandoc -z "$page"
  [[ $({ mandoc -T ascii "$page" || groff -mandoc -T ascii "$page"; } 2>/dev/null | wc -l) -gt 20 ]] ||
    fail "$page renders almost nothing (scripts/bootstrap installs mandoc and groff)"
done
# Every command word of the usage text, and what the command line reads
# from the environment, has its place in the page.
page=$prefix/share/man/man1/tesselo.1
for word in $(tr -d '\n ' <<<"$usage" | sed 's/.*<\(.*\)>.*/\1/' | tr '|' ' '); do
  grep -q "^\.Cm $word\$" "$page" || fail "tesselo.1 has no synopsis line for $word"
  grep -Eq "^\.It Cm $word( |\$)" "$page" || fail "tesselo.1 does not describe $word"
done
for variable in TESSELO_SOCKET TESSELO_PANE_ID HOME XDG_DATA_HOME; do
  grep -q "^\.It Ev $variable\$" "$page" || fail "tesselo.1 does not describe $variable"
done
for name in tesselo tesselo-cli tesselo-mcp; do
  command -v man >/dev/null || { echo "man is not installed: pages checked with mandoc and groff only"; break; }
  found=$(clean MANPATH="$prefix/share/man" man -w "$name" 2>/dev/null) || fail "man cannot find $name"
  [[ $found == "$prefix"/share/man/man1/* ]] || fail "man finds $name at $found"
  err=$(clean MANWIDTH=80 MANPATH="$prefix/share/man" man "$name" 2>&1 >/dev/null) && [[ -z $err ]] ||
    fail "man $name: $err"
done

[[ $host_expected == 1 ]] || exit 0
# The service runs the host of this prefix; systemd finds nothing wrong
# with either unit (it needs a runtime folder, and no manual page lookup).
units=$prefix/lib/systemd/user
grep -qx "ExecStart=$prefix/bin/tesselo-host" "$units/tesselo-host.service" ||
  fail "tesselo-host.service does not start $prefix/bin/tesselo-host"
grep -qx "ExecStart=/usr/local/bin/tesselo-host" "$stage/usr/local/lib/systemd/user/tesselo-host.service" ||
  fail "the staged tesselo-host.service does not start /usr/local/bin/tesselo-host"
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is not installed: units not verified"; exit 0; }
mkdir -p "$root/run" && chmod 700 "$root/run"
silent clean XDG_RUNTIME_DIR="$root/run" systemd-analyze verify --man=no --user \
  "$units/tesselo-host.socket" "$units/tesselo-host.service"
