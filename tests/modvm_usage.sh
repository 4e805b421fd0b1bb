# The module bench's usage errors: each named in one line, status 2,
# before anything is installed or built (these run in the default suite,
# with no kernel tree).
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

root=$(cd "$(dirname "$0")/.." && pwd)
modvm=$root/scripts/modvm
mods=$root/modvm/modules
# The checks as the guest's program runs them: the bench's own list must
# name the same.
checks=$("$BIN/modvm-build/guest/modcheck.static" --list)
expect "modcheck lists its checks" "${checks:+listed}" listed

while IFS='|' read -r name err args; do
  read -r -a argv <<<"$args"
  check "$name" 2 "" "modvm: $err
" "$modvm" "${argv[@]}"
done <<EOF_CASES
an unknown check|unknown check 'bogus' (the checks: $checks)|check --only contract,bogus --module $mods
a seed that is not a number|--seed wants a number, not 'abc'|check --seed abc --module $mods
an unknown format|unknown format 'xml' (want text or ktap)|check --format xml --module $mods
a module without its value|--module wants a value|check --module
a value that is an option|--proc wants a value|check --proc --module $mods
--proc without --module|--proc names the /proc file of the modules given with --module|check --proc /proc/elevator
an option of check given to run|--keep is an option of check, not of run|run --keep
an option of run given to check|--gdb is an option of run, not of check|check --gdb
a module given to build|--module is not an option of build|build --module $mods
an unknown option|unknown option '--bogus' (scripts/modvm --help lists them)|check --bogus
an unknown kernel|unknown kernel '5.10' (want 6.1 or 6.12)|build --kernel 5.10
a module that is not there|no module /nonexistent|run --module /nonexistent
a folder without modules|no .ko files in $root/man|check --module $root/man
no guests at all|--jobs wants a number of guests, not '0'|check --jobs 0 --module $mods
--jobs given to run|--jobs is an option of check, not of run|run --jobs 2
export without a file|export wants a FILE to write|export
export with two files|unexpected argument 'b.tar.xz'|export a.tar.xz b.tar.xz
a bundle that is not there|no bundle /nonexistent.tar.xz|check --bundle /nonexistent.tar.xz
a bundle given to export|--bundle is not an option of export|export --bundle $root/README.md x.tar.xz
a module given to export|--module is not an option of export|export x.tar.xz --module $mods
EOF_CASES

version=$(sed -n 's/^project(cabgate VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
check "--version" 0 "modvm (cabgate) $version
" "" "$modvm" --version
finish
