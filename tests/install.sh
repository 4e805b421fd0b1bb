# What `cmake --install` lays out: the programs, man pages that render
# without warnings, the library that C programs link through pkg-config and
# through find_package, bash and zsh completion, the user units (the service takes
# a socket-activated socket), the licence.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

# Installing here rewrites the build tree's lists of what was installed,
# which a user's own `cmake --install` left for their uninstall: they are
# put back as they were, whatever ends the test.
lists=(install_manifest.txt install_dirs.txt)
for list in "${lists[@]}"; do
  [ ! -e "$BIN/$list" ] || cp -p "$BIN/$list" "$scratch/users-$list"
done
restore_lists() {
  local list
  for list in "${lists[@]}"; do
    if [ -e "$scratch/users-$list" ]; then
      cp -p "$scratch/users-$list" "$BIN/$list.restoring" &&
        mv -f "$BIN/$list.restoring" "$BIN/$list"
    else
      rm -f "$BIN/$list"
    fi
  done
}
trap 'restore_lists; cleanup' EXIT

prefix=$scratch/prefix
cmake --install "$BIN" --prefix "$prefix" >/dev/null ||
  { fail "cmake --install"; finish; exit 1; }
libdir=$(dirname "$(find "$prefix" -name libcabgate.a)")
for guide in README.md modules.md; do
  expect "the guide $guide is there to read" \
    "$(zcat "$prefix/share/doc/cabgate/$guide.gz" 2>&1 | head -n 1 | cut -c1-2)" "# "
done
for file in Makefile skeleton.c; do
  expect "the module skeleton's $file is there to copy" \
    "$(cmp "$prefix/share/doc/cabgate/examples/skeleton/$file" \
      "$(dirname "$0")/../modvm/skeleton/$file" 2>&1 && echo same)" same
done
for file in bin/consumer bin/producer bin/elevmod \
    share/man/man1/consumer.1.gz share/man/man1/producer.1.gz \
    share/man/man1/elevmod.1.gz include/cabgate.h \
    "${libdir#"$prefix"/}/libcabgate.a" \
    "${libdir#"$prefix"/}/pkgconfig/cabgate.pc" \
    "${libdir#"$prefix"/}/cmake/cabgate/cabgateConfig.cmake" \
    share/bash-completion/completions/elevmod share/zsh/vendor-completions/_elevmod \
    share/systemd/user/elevmod.socket share/systemd/user/elevmod.service \
    share/doc/cabgate/copyright share/doc/cabgate/changelog.gz \
    share/doc/libcabgate-dev/copyright; do
  expect "installed $file" "$(test -f "$prefix/$file" && echo yes)" yes
done

for page in consumer producer elevmod; do
  check "man page $page renders without warnings" 0 "" "" \
    sh -c 'man --warnings -l "$1" >/dev/null' sh \
    "$prefix/share/man/man1/$page.1.gz"
done

# A C program reaches the elevator through the installed library: -1 with
# no service, the answers of elevmod run --reply under it.
cat >"$scratch/prog.c" <<'EOF_C'
#include <cabgate.h>
#include <stdio.h>

int main(void) {
  printf("%d %d %d\n", start_elevator(), issue_request(0, 1, 2),
         stop_elevator());
  return 0;
}
EOF_C
export PKG_CONFIG_PATH=$libdir/pkgconfig
read -ra pc_flags <<<"$(pkg-config --cflags --libs cabgate)"
cc -Wall -Werror -o "$scratch/prog-pc" "$scratch/prog.c" "${pc_flags[@]}" ||
  fail "C program built through pkg-config"
check "pkg-config: no service" 0 $'-1 -1 -1\n' "" "$scratch/prog-pc"
check "pkg-config: under elevmod run" 0 $'7 8 9\n' "" "$prefix/bin/elevmod" \
  run --reply 323=7 --reply 324=8 --reply 325=9 "$scratch/prog-pc"
mkdir "$scratch/proj"
cp "$scratch/prog.c" "$scratch/proj/"
cat >"$scratch/proj/CMakeLists.txt" <<'EOF_CMAKE'
cmake_minimum_required(VERSION 3.25)
project(prog C)
find_package(cabgate 0.4 REQUIRED)
add_executable(prog prog.c)
target_link_libraries(prog PRIVATE cabgate::cabgate)
EOF_CMAKE
cmake -S "$scratch/proj" -B "$scratch/proj/build" \
  -DCMAKE_PREFIX_PATH="$prefix" >/dev/null &&
  cmake --build "$scratch/proj/build" >/dev/null ||
  fail "CMake project built through find_package"
check "find_package: no service" 0 $'-1 -1 -1\n' "" "$scratch/proj/build/prog"

# Completion offers the verbs and each verb's options.  With
# COMPOPTS=1, what it asked of compopt (which works only inside a
# completion) comes first, as "compopt OPTIONS;".
complete_words() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    asked=
    compopt() { asked+="compopt $*;"; }
    _elevmod; echo "${COMPOPTS:+$asked}${COMPREPLY[*]}"' bash \
    "$prefix/share/bash-completion/completions/elevmod" "$@"
}
expect "completes verbs" "$(complete_words elevmod "")" \
  "load unload status run trace draw help --help --version"
expect "completes load's options" "$(complete_words elevmod load --)" \
  "--foreground --capacity --step-ms --max-waiting --speed --socket --help"
expect "completes status's options" "$(complete_words elevmod status --w)" \
  "--watch"
# Bash splits words at '=', as it does on the command line.
mkdir "$scratch/cmds"
touch "$scratch/sockfile"
printf '#!/bin/sh\n' >"$scratch/cmds/prodtest1"
chmod +x "$scratch/cmds/prodtest1"
for words in \
  "--socket $scratch/sockf" \
  "--socket = $scratch/sockf"; do
  # shellcheck disable=SC2086
  expect "completes a path after $words" \
    "$(complete_words elevmod status $words)" "$scratch/sockfile"
done
# Paths as bash completes files: a directory gets a slash and no space.
mkdir "$scratch/runs"
expect "a directory after --socket" \
  "$(COMPOPTS=1 complete_words elevmod status --socket "$scratch/ru")" \
  "compopt -o filenames;$scratch/runs"
expect "a path as run's command" \
  "$(COMPOPTS=1 complete_words elevmod run "$scratch/cm")" \
  "compopt -o filenames;$scratch/cmds"

# zsh's completion, from the installed _elevmod, in a zsh on a terminal.
zsh_words() {
  zsh "$(dirname "$0")/zsh_complete.zsh" "$prefix/share/zsh/vendor-completions" \
    "$scratch/zsh.done" "$@" | tr '\n' ' '
}
expect "zsh completes verbs" "$(zsh_words elevmod st)" "status "
expect "zsh completes status's options" "$(zsh_words elevmod status --)" \
  "--help --json --socket --watch "
expect "zsh completes a path after --socket" \
  "$(zsh_words elevmod status --socket "$scratch/ru")" "runs "
expect "zsh completes load's options" "$(zsh_words elevmod load --c)" "--capacity "
expect "completes a path after --socket=" \
  "$(cd "$scratch" && complete_words elevmod status --socket = | tr ' ' '\n' | grep -c '^sockfile$')" 1
for words in "--reply 324 = 1" "--reply = 324 = 1" "--socket = $scratch/s --reply 323=0"; do
  # shellcheck disable=SC2086
  expect "completes the command after $words" \
    "$(PATH=$scratch/cmds:$PATH complete_words elevmod run $words prodtest)" \
    prodtest1
done
expect "nothing inside a --reply value" \
  "$(complete_words elevmod run --reply 324 = "")" ""
expect "help completes the verbs it describes" \
  "$(complete_words elevmod help "")" "load unload status run trace draw"
expect "help takes one verb" "$(complete_words elevmod help load "")" ""

# The user units start the service on a socket systemd holds.
expect "socket unit listens for seqpacket" \
  "$(grep -c '^ListenSequentialPacket=%t/elevmod/socket$' \
    "$prefix/share/systemd/user/elevmod.socket")" 1
expect "service unit runs the installed program in the foreground" \
  "$(grep -c "^ExecStart=$prefix/bin/elevmod load --foreground\$" \
    "$prefix/share/systemd/user/elevmod.service")" 1
if command -v systemd-socket-activate >/dev/null; then
  activated=$scratch/activated
  systemd-socket-activate --seqpacket -l "$activated" \
    "$prefix/bin/elevmod" load --foreground 2>/dev/null &
  activator=$!
  wait_until test -S "$activated"
  check "socket-activated service answers" 0 $'0\n' "" \
    "$prefix/bin/elevmod" run --socket "$activated" "$RAWCALL" 323
  check "socket-activated service counts" 0 $'1\n' "" \
    sh -c '"$1" status --json --socket "$2" | grep -c "\"start\":1,"' sh \
    "$prefix/bin/elevmod" "$activated"
  "$prefix/bin/elevmod" unload --socket "$activated" >/dev/null
  wait $activator
  expect "socket-activated service ends cleanly" "$?" 0
  expect "systemd's socket left in place" "$(test -S "$activated" && echo yes)" yes
else
  echo "skipped: socket activation needs systemd-socket-activate"
fi

# The module bench, cabgate-modvm: its data and programs where the
# installed script looks for them, its man page, and what it does before a
# kernel is built (its build and checks run under the modvm label).
for file in bin/cabgate-modvm share/man/man1/cabgate-modvm.1.gz \
    share/cabgate/modvm/patches/0003-cabgate-add-KUnit-tests.patch \
    share/cabgate/modvm/kernel.config share/cabgate/modvm/guest/init \
    share/cabgate/modvm/testmod/cabgate_test.c share/cabgate/modvm/lib/vm.sh \
    libexec/cabgate/modvm/modreport libexec/cabgate/modvm/modcheck.static; do
  expect "installed $file" "$(test -f "$prefix/$file" && echo yes)" yes
done
expect "no working elevator installed" "$(find "$prefix" -name 'elevator*' -o -name 'fault_*' | wc -l)" 0
expect "the guest's programs are static" \
  "$(file -b "$prefix/libexec/cabgate/modvm/consumer.static" | grep -c 'statically linked')" 1
check "man page cabgate-modvm renders without warnings" 0 "" "" \
  sh -c 'man --warnings -l "$1" >/dev/null' sh "$prefix/share/man/man1/cabgate-modvm.1.gz"
modvm=$prefix/bin/cabgate-modvm
expect "cabgate-modvm --help" "$("$modvm" --help | head -n 1)" \
  "The module bench: Debian's kernel with the three elevator system calls"
check "cabgate-modvm: an unknown verb" 2 "" \
  "usage: cabgate-modvm build | run [--module FILE.ko]... [--gdb] [-- COMMAND] | check [--module FILE.ko|DIR]... [--proc PATH] [--only CHECK,...] [--keep-going] [--keep] [--seed N] [--format text|ktap] [--junit FILE] [--jobs N] [--html FILE] [--coverage] | export FILE; each with [--kernel 6.1|6.12] [--flavour kasan|kcsan], build, run and check with [--bundle FILE]
" "$modvm" bogus
# Without the packages its build needs, it names them and stops: no sudo,
# no apt-get, nothing on standard output where a tree's path would go.
mkdir "$scratch/nopkgs"
printf '#!/bin/sh\nexit 1\n' >"$scratch/nopkgs/dpkg-query"
printf '#!/bin/sh\necho "$0 $*" >>"%s/asked"\nexit 1\n' "$scratch" >"$scratch/nopkgs/sudo"
cp "$scratch/nopkgs/sudo" "$scratch/nopkgs/apt-get"
chmod +x "$scratch/nopkgs"/*
check "cabgate-modvm build without its packages" 1 "" \
  "cabgate-modvm: needs packages that are not installed; as root: apt-get install linux-source-6.1 busybox-static qemu-system-x86 gcc make bc bison flex libelf-dev libssl-dev cpio xz-utils kmod binutils
" env PATH="$scratch/nopkgs:$PATH" XDG_CACHE_HOME="$scratch/cache" "$modvm" build
expect "...nothing run as root" "$(cat "$scratch/asked" 2>/dev/null)" ""
cp "$modvm" "$scratch/cabgate-modvm"
check "cabgate-modvm apart from its files" 1 "" \
  "cabgate-modvm: its files are missing from $(cd "$scratch/.." && pwd)/share/cabgate/modvm
" "$scratch/cabgate-modvm" build

# Uninstalling as README says leaves nothing behind: no file, and none of
# the directories the install made.  One that was there before stays.
check "uninstall" 0 "" "" sh -c 'cmake --build "$1" --target uninstall >/dev/null' \
  sh "$BIN"
expect "uninstalled: nothing left" "$(ls -A "$prefix" 2>&1)" \
  "ls: cannot access '$prefix': No such file or directory"
mkdir -p "$prefix/share/man/man1"
touch "$prefix/share/man/man1/theirs.1"
cmake --install "$BIN" --prefix "$prefix" >/dev/null
cmake --build "$BIN" --target uninstall >/dev/null
expect "uninstalled: what was there before stays" \
  "$(cd "$prefix" && find . | sort | tr '\n' ' ')" \
  ". ./share ./share/man ./share/man/man1 ./share/man/man1/theirs.1 "
restore_lists
for list in "${lists[@]}"; do
  if [ -e "$scratch/users-$list" ]; then
    cmp -s "$scratch/users-$list" "$BIN/$list" ||
      fail "the user's $list was not put back"
  else
    expect "no $list where the user had none" "$(ls "$BIN/$list" 2>&1)" \
      "ls: cannot access '$BIN/$list': No such file or directory"
  fi
done

finish
