# The module bench as its users see it: what `scripts/modvm run` promises
# (a command's output and status back from the guest; a panic, a hang, a
# module that does not load and a kernel warning named as failures), and
# what `scripts/modvm check` gives a course (several modules, a table,
# KTAP that the kernel's kunit.py reads, JUnit XML).  One case per
# behaviour ($CASE); slow (a kernel under emulation).
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

root=$(cd "$(dirname "$0")/.." && pwd)
modvm=$root/scripts/modvm
tree=$("$modvm" build | tail -n 1)
# The system calls' KUnit cases, each to be reported passing.
kunit_cases=$(cat "$root"/modvm/patches/*.patch | grep -c '^+[[:space:]]*KUNIT_CASE(')

built() {
  modules_built "$1" "$tree" || { fail "the modules of $1 did not build"; exit 1; }
}

case $CASE in
  table)
    # The elevator calls take 323 to 325 in the bench's kernel alone: its
    # table has them, its UAPI headers name the stock calls, and the
    # series' table gives a kernel without the option the stock one.
    expect "the bench's table has the elevator calls" \
      "$(grep -c 'sys_cabgate_' "$tree/arch/x86/include/generated/asm/syscalls_64.h")" 3
    expect "its UAPI names the stock calls" \
      "$(grep -E -c '__NR_(userfaultfd 323|membarrier 324|mlock2 325)$' \
        "$tree/arch/x86/include/generated/uapi/asm/unistd_64.h")" 3
    expect "checksyscalls finds every stock call" \
      "$(grep -c 'warning syscall .* not implemented' "$tree.log")" 0
    version=$(sed -n 's/^VERSION = //p; s/^PATCHLEVEL = //p' "$tree/Makefile" | paste -sd.)
    tar -xOJf "/usr/src/linux-source-$version.tar.xz" \
      "linux-source-$version/arch/x86/entry/syscalls/syscall_64.tbl" >"$scratch/stock.tbl"
    for abi in 64 x32; do
      sh "$tree/scripts/syscalltbl.sh" --abis "common,$abi" "$scratch/stock.tbl" \
        "$scratch/stock_$abi.h"
      sh "$tree/scripts/syscalltbl.sh" --abis "common,$abi,stock" \
        "$tree/arch/x86/entry/syscalls/syscall_64.tbl" "$scratch/off_$abi.h"
      expect "without the option, the $abi table is the stock one" \
        "$(cmp "$scratch/stock_$abi.h" "$scratch/off_$abi.h" && echo same)" same
    done
    ;;
  run)
    # A module and a command go to the guest; the command's output and
    # status come back.
    testmod=$(built "$root/modvm/testmod")
    check "run --module" 7 $'0\n1\n' "" \
      "$modvm" run --module "$testmod/cabgate_test.ko" -- 'rawcall 323; rawcall 323; exit 7'
    ;;
  panic)
    testmod=$(built "$root/modvm/testmod")
    "$modvm" run --module "$testmod/crash_test.ko" -- true >/dev/null 2>"$scratch/panic.err"
    expect "a panic fails the run" "$?" 1
    expect "a panic is named" "$(head -n 1 "$scratch/panic.err")" \
      "modvm: the kernel crashed: Kernel panic: modvm: crash test"
    grep -q '^  |  crash_test_init+0x[0-9a-f]*/0x[0-9a-f]* \[crash_test\]$' "$scratch/panic.err" &&
      ok || fail "the report does not show where it crashed"
    ;;
  hang)
    # A call blocked in the module for good is named as a hang, well before
    # the boot's time runs out.
    testmod=$(built "$root/modvm/testmod")
    SECONDS=0
    "$modvm" run --module "$testmod/hang_test.ko" -- 'rawcall 324 0 1 2' \
      >/dev/null 2>"$scratch/hang.err"
    expect "a hang fails the run" "$?" 1
    [ $SECONDS -lt 240 ] && ok || fail "the hang took $SECONDS s to be named"
    expect "a hang is named by where it waits" "$(head -n 1 "$scratch/hang.err")" \
      "modvm: the guest hung, and the kernel's detector ended it: INFO: task hung in hang_request"
    ;;
  insmod)
    # A module that fails to load fails the run; the command does not run
    # against no module.
    testmod=$(built "$root/modvm/testmod")
    "$modvm" run --module "$testmod/init_fails.ko" -- 'echo ran' \
      >"$scratch/fails.out" 2>"$scratch/fails.err"
    expect "a failed insmod fails the run" "$?" 1
    expect "the command did not run" "$(cat "$scratch/fails.out")" ""
    expect "the failed insmod is named" "$(head -n 1 "$scratch/fails.err" | cut -d: -f1-2)" \
      "modvm: insmod init_fails.ko"
    ;;
  output)
    # The command's output untouched, even where it looks like the kernel's;
    # bare tool names fingerprint; standard error apart.
    "$modvm" run -- 'echo "[    1.000000] not the kernel"; echo oops >&2; consumer --stop' \
      >"$scratch/plain.out" 2>"$scratch/plain.err"
    expect "a refused stop's status" "$?" 2
    expect "a kernel-like line" "$(sed -n 1p "$scratch/plain.out")" "[    1.000000] not the kernel"
    [[ $(sed -n 2p "$scratch/plain.out") =~ ^[0-9a-f]{32}$ ]] && ok || fail "no fingerprint"
    expect "the consumer's line" "$(sed -n 3p "$scratch/plain.out")" "Module is not loaded!"
    expect "standard error apart" "$(cat "$scratch/plain.err")" oops
    ;;
  warning)
    # A kernel warning while the command runs fails the run and is shown.
    check "a kernel warning" 1 "" \
      $'modvm: the kernel warned while the command ran:\n  | a test warning from the command\n' \
      "$modvm" run -- 'echo "<4>a test warning from the command" >/dev/kmsg'
    ;;
  window)
    # The producer's window passes at once in run, and its whole run comes
    # back; two runs at once keep to themselves.
    testmod=$(built "$root/modvm/testmod")
    "$modvm" run --module "$testmod/cabgate_test.ko" -- 'consumer --start >/dev/null; producer' \
      >"$scratch/one.out" 2>&1 &
    first=$!
    check "a run beside another" 0 $'two\n' "" "$modvm" run -- 'echo two'
    wait $first
    expect "the producer's run" "$?" 0
    expect "every passenger added" "$(grep -c '^Successfully added$' "$scratch/one.out")" 10000
    expect "the window passed at once" \
      "$(grep -c -E '^Waiting for the remaining (0|-[0-9]+) seconds$' "$scratch/one.out")" 1
    expect "the window passed" "$(tail -n 1 "$scratch/one.out")" "Time is up!!!"
    ;;
  formats)
    # Two modules in one command: KTAP that kunit.py reads, JUnit that an
    # XML parser reads, and, as text, a verdict each and a table.
    modules=$(built "$root/modvm/modules")
    "$modvm" check --module "$modules/elevator.ko" --module "$modules/fault_einval.ko" \
      --only contract --format ktap --junit "$scratch/junit.xml" >"$scratch/ktap" 2>"$scratch/err"
    expect "a failed module fails the command" "$?" 1
    expect "the system calls' KUnit suite, on standard error beside KTAP" \
      "$(grep '^KUnit suite' "$scratch/err")" \
      "KUnit suite cabgate of the bench's kernel, not of the module: $kunit_cases passed, 0 failed"
    python3 "$tree/tools/testing/kunit/kunit.py" parse "$scratch/ktap" >"$scratch/parsed" 2>&1
    grep -q 'Ran 2 tests: passed: 1, failed: 1' "$scratch/parsed" && ok ||
      { fail "kunit.py did not read the KTAP"; cat "$scratch/ktap" "$scratch/parsed" >&2; }
    grep -q '^# modvm: Linux 6\.1\.[0-9]* (kasan)$' "$scratch/ktap" && ok ||
      fail "the KTAP does not name the kernel"
    python3 - "$scratch/junit.xml" >"$scratch/junit" <<'EOF_PY' || fail "the JUnit XML does not parse"
import sys, xml.etree.ElementTree as tree
root = tree.parse(sys.argv[1]).getroot()
for case in root.iter('testcase'):
    failure = case.find('failure')
    print(case.get('classname'), case.get('name'),
          failure.get('message') if failure is not None else 'passed')
EOF_PY
    expect "the JUnit testcases" "$(cat "$scratch/junit")" \
      "modvm.elevator contract passed
modvm.fault_einval contract request(3, 1, 2) answered -1 EINVAL: a refusal must be the plain value 1, not an error code (and 10 more)"
    mkdir "$scratch/two"
    cp "$modules"/{elevator,fault_einval}.ko "$scratch/two/"
    "$modvm" check --module "$scratch/two" --only contract >"$scratch/text" 2>"$scratch/text.err"
    expect "a directory of modules" "$?" 1
    expect "the KUnit suite in one line before the verdicts, its cases hidden as they passed" \
      "$(head -n 3 "$scratch/text")" \
      "KUnit suite cabgate of the bench's kernel, not of the module: $kunit_cases passed, 0 failed
elevator on Linux $(cat "$tree/include/config/kernel.release") (kasan):
  not looked for on this kernel: data races (--flavour kcsan looks for them)"
    expect "the table" "$(tail -n 3 "$scratch/text" | sed 's/ *$//')" \
      "module        contract
elevator      PASS
fault_einval  FAIL"
    ;;
  jobs)
    # Two guests at a time: the same verdicts, table, JUnit and status as
    # one at a time, in the same order, and the output says how many.
    modules=$(built "$root/modvm/modules")
    mkdir "$scratch/three"
    cp "$modules"/{elevator,fault_einval,fault_init_overflow}.ko "$modules"/*.c "$scratch/three/"
    for n in 1 2; do
      "$modvm" check --module "$scratch/three" --only init-error,contract --jobs $n \
        --junit "$scratch/junit$n.xml" --html "$scratch/page$n.html" \
        >"$scratch/out$n" 2>"$scratch/err$n"
      echo "status $?" >>"$scratch/out$n"
      # Times and the reports' addresses differ from run to run; the
      # verdicts, their titles and their order may not.
      sed -i '/^  | /d; s/ ([0-9.]* s)//' "$scratch/out$n"
      python3 - "$scratch/junit$n.xml" >"$scratch/cases$n" <<'EOF_PY' || fail "JUnit $n does not parse"
import sys, xml.etree.ElementTree as tree
for case in tree.parse(sys.argv[1]).getroot().iter('testcase'):
    said = [e.get('message') for e in case if e.tag in ('failure', 'skipped')]
    print(case.get('classname'), case.get('name'), *said)
EOF_PY
    done
    expect "the output as one at a time" "$(diff "$scratch/out1" "$scratch/out2" && echo same)" same
    expect "...the JUnit too" "$(diff "$scratch/cases1" "$scratch/cases2" && echo same)" same
    expect "...and a failure" "$(tail -n 1 "$scratch/out2")" "status 1"
    expect "the table" "$(tail -n 5 "$scratch/out2" | head -n 4 | sed 's/ *$//')" \
      "module               init-error  contract
elevator             PASS        PASS
fault_einval         PASS        FAIL
fault_init_overflow  FAIL        SKIP"
    # The page: a row per module, and the overflow's report with the
    # module's source around the line it names.
    expect "the page's rows" "$(grep -o '<tr id="m-[a-z_]*"' "$scratch/page2.html" | paste -sd' ')" \
      '<tr id="m-elevator" <tr id="m-fault_einval" <tr id="m-fault_init_overflow"'
    grep -q '<figcaption>elevator\.c:[0-9]*</figcaption>' "$scratch/page2.html" && ok ||
      fail "the page does not show the overflow's source line"
    grep -q -x "modvm: 2 guest(s) at a time, each with 2 CPUs and 512 MiB (this machine: [0-9]* cores, [0-9]* MiB available)" \
      "$scratch/err2" && ok || { fail "the guests at a time are not stated"; cat "$scratch/err2" >&2; }
    ;;
  snapshot)
    # The checks' boots resume a guest saved once, also the fresh boot
    # after a report; a saved guest that no longer loads is booted
    # around, with the same verdicts, never blamed on the module.
    modules=$(built "$root/modvm/modules")
    for state in intact broken; do
      "$modvm" check --module "$modules/fault_init_overflow.ko" --only init-error,contract \
        --keep-going >"$scratch/out" 2>"$scratch/err"
      expect "$state: the status" "$?" 1
      # Its init overflows on every load: each boot names it.
      expect "$state: the verdicts" "$(grep -E '^(PASS|FAIL) ' "$scratch/out" | sed 's/ (.*//')" \
        "FAIL init-error
FAIL contract"
      [ "$state" == broken ] || {
        expect "$state: both boots resumed" "$(grep -c 'booting instead' "$scratch/err")" 0
        # The saved guest just used: each use touches its directory.
        state_file=$(ls -td "${XDG_CACHE_HOME:-$HOME/.cache}"/cabgate/modvm/snapshot-*/ | head -n 1)state
        cp "$state_file" "$scratch/state"
        truncate -s 1M "$state_file"
        continue
      }
      expect "$state: both booted instead" "$(grep -c -x 'modvm: the saved guest did not resume; booting instead' "$scratch/err")" 2
      cp "$scratch/state" "$state_file"
    done
    # A guest that is not ready in time to be saved is booted again, then
    # the checks boot: the same verdict.
    MODVM_MEMORY=1000 MODVM_BOOT_SECONDS=1 "$modvm" check --module "$modules/elevator.ko" \
      --only contract >"$scratch/out" 2>"$scratch/err"
    expect "not saved: the status" "$?" 0
    expect "not saved: the verdict" "$(grep -E '^(PASS|FAIL) ' "$scratch/out" | sed 's/ (.*//')" \
      "PASS contract"
    expect "not saved: said" "$(cat "$scratch/err")" \
      "modvm: the guest was not ready within 1 s of its boot; booting it again
modvm: the guest could not be saved for the checks to resume; each boots instead"
    ;;
  bundle)
    # Built once, checked anywhere: a bundle of the kernel, what modules
    # build against and the guest's programs, far below the tree; with it
    # alone (an empty cache, no tree), a normal user builds a module and
    # checks it.
    "$modvm" export "$scratch/modvm.tar.xz" 2>"$scratch/export.err"
    expect "export" "$?" 0
    size=$(du -m "$scratch/modvm.tar.xz" | cut -f1)
    expect "its size stated" "$(tail -n 1 "$scratch/export.err" | sed 's/: [0-9]* MiB (the tree alone: [0-9]* MiB)$/: SIZE/')" \
      "modvm: wrote $scratch/modvm.tar.xz: SIZE"
    [ "$size" -lt 200 ] && ok || fail "the bundle takes $size MiB"
    user=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$scratch/home"
          XDG_CACHE_HOME="$scratch/cache" PATH=/usr/local/bin:/usr/bin:/bin)
    mkdir -p "$scratch/home" "$scratch/cache" "$scratch/mod"
    cp "$root"/modvm/testmod/* "$scratch/mod/"
    chown -R 65534:65534 "$scratch/home" "$scratch/cache" "$scratch/mod"
    chmod a+rx "$scratch"
    built_tree=$("${user[@]}" "$modvm" build --bundle "$scratch/modvm.tar.xz" 2>/dev/null | tail -n 1)
    expect "the bundle's tree, in the user's cache" "${built_tree#"$scratch/cache/cabgate/modvm/bundle-"}" \
      "$(sha256sum <"$scratch/modvm.tar.xz" | cut -c1-16)/tree"
    "${user[@]}" make -C "$built_tree" M="$scratch/mod" modules >"$scratch/make" 2>&1 &&
      ok || { fail "a module does not build against the bundle"; tail -n 5 "$scratch/make" >&2; }
    (cd "$scratch/mod" && "${user[@]}" "$modvm" check --bundle "$scratch/modvm.tar.xz" \
      --only contract --module cabgate_test.ko) >"$scratch/checked" 2>&1
    expect "its checks pass" "$?" 0
    expect "...as checks on the tree's kernel" "$(tail -n 2 "$scratch/checked" | sed 's/ ([0-9.]* s)$//')" \
      "PASS contract
1 passed, 0 failed"
    [ ! -e "$scratch/cache/cabgate/modvm/linux-6.1-kasan" ] && ok || fail "it built a tree"
    ;;
  coverage)
    # --coverage: the module rebuilt with gcov from the Makefile beside it,
    # every check, then the share of its lines they ran and the ranges none
    # ran, by function.  The fault in fault_error_path lies in an error
    # path (the car's thread failing to start): every check passes, and
    # the coverage names that path as run by none.
    modules=$(built "$root/modvm/modules")
    "$modvm" check --module "$modules/fault_error_path.ko" --coverage \
      --format ktap --junit "$scratch/junit.xml" --html "$scratch/page.html" \
      >"$scratch/ktap" 2>"$scratch/err"
    expect "every check passes" "$?" 0
    grep -q "^    # coverage: [0-9]*% of the module's lines ran ([0-9]* of [0-9]*)$" "$scratch/ktap" &&
      ok || { fail "no coverage in the KTAP"; cat "$scratch/ktap" "$scratch/err" >&2; }
    share=$(sed -n "s/^    # coverage: \([0-9]*\)% .*/\1/p" "$scratch/ktap")
    [ "${share:-0}" -ge 50 ] && [ "${share:-100}" -lt 100 ] && ok ||
      fail "the checks ran ${share:-no}% of the module's lines"
    # The faulty goto's line, inside a range none ran.
    fault=$(grep -n 'goto out_work;' "$root/modvm/modules/elevator.c" | head -n 1 | cut -d: -f1)
    found=''
    while read -r first last; do
      [ "$first" -le "$fault" ] && [ "$fault" -le "$last" ] && found=yes
    done < <(sed -n 's/^    # not run by any check: elevator\.c:\([0-9]*\)-*\([0-9]*\) in elevator_init$/\1 \2/p' \
      "$scratch/ktap" | awk '{ print $1, ($2 == "" ? $1 : $2) }')
    expect "the error path's fault (elevator.c:$fault) is named as run by no check" "$found" yes
    grep -q '<property name="not_run_by_any_check" value="[^"]*elevator.c:[0-9-]* in elevator_init' \
      "$scratch/junit.xml" && ok || fail "no coverage property in the JUnit"
    grep -q '<span class="unrun">' "$scratch/page.html" && ok || fail "the page shades no line"
    python3 "$tree/tools/testing/kunit/kunit.py" parse "$scratch/ktap" >"$scratch/parsed" 2>&1
    grep -q -E 'Ran ([0-9]+) tests: passed: \1$' "$scratch/parsed" && ok ||
      { fail "kunit.py did not read the KTAP"; cat "$scratch/parsed" >&2; }
    ;;
  installed)
    # cabgate-modvm as `cmake --install` lays it out: the same kernel tree
    # (the cache is shared), its own data and programs, a module named
    # relative to where the command runs, run as a user would.
    testmod=$(built "$root/modvm/testmod")
    cmake --install "$BIN" --prefix "$scratch/prefix" >/dev/null || fail "cmake --install"
    installed=$scratch/prefix/bin/cabgate-modvm
    expect "the same tree" "$("$installed" build 2>/dev/null | tail -n 1)" "$tree"
    # A normal user's PATH, without /usr/sbin (modinfo).
    (cd "$testmod" && PATH=/usr/local/bin:/usr/bin:/bin "$installed" check --only contract \
      --module cabgate_test.ko) >"$scratch/installed" 2>&1
    expect "the installed checks pass" "$?" 0
    expect "...after the KUnit suite" "$(head -n 1 "$scratch/installed")" \
      "KUnit suite cabgate of the bench's kernel, not of the module: $kunit_cases passed, 0 failed"
    expect "...on the module named from its directory" \
      "$(tail -n 4 "$scratch/installed" | sed 's/ ([0-9.]* s)$//')" \
      "cabgate_test on Linux $(cat "$tree/include/config/kernel.release") (kasan):
  not looked for on this kernel: data races (--flavour kcsan looks for them)
PASS contract
1 passed, 0 failed"
    ;;
  checkout)
    # Two checkouts share the kernel but not their programs: each builds
    # and runs its own, whichever built first.
    check "this checkout" 0 $'here\n' "" "$modvm" run -- 'echo here'
    mkdir "$scratch/copy"
    tar -C "$root" --exclude=./.git --exclude=./build -cf - . | tar -C "$scratch/copy" -xf -
    check "another checkout" 0 $'there\n' "" "$scratch/copy/scripts/modvm" run -- 'echo there'
    # Once that checkout is gone, the next run removes its programs.
    key=$(printf '%s' "$scratch/copy" | sha256sum | cut -c1-16)
    cache=${XDG_CACHE_HOME:-$HOME/.cache}/cabgate/modvm
    expect "its programs' tree" "$(ls -d "$cache/programs-$key" "$cache/bin-$key" | wc -l)" 2
    rm -rf "$scratch/copy"
    check "this checkout again" 0 $'here\n' "" "$modvm" run -- 'echo here'
    expect "the gone checkout's programs are removed" \
      "$(ls -d "$cache/programs-$key"* "$cache/bin-$key" 2>/dev/null)" ""
    ;;
  build_fails)
    # A series that does not apply fails the build plainly: the patch's own
    # message, nothing on standard output where the tree's path would go,
    # and the next build starts afresh.
    mkdir "$scratch/checkout"
    cp -r "$root/scripts" "$root/modvm" "$scratch/checkout/"
    sed -i 's/^+config CABGATE$/+config CABGATE_X/; s/^ config MEMBARRIER$/ config MEMBARRIER_X/' \
      "$scratch/checkout/modvm/patches/0001-"*.patch
    cache=$scratch/cache/cabgate/modvm
    XDG_CACHE_HOME=$scratch/cache "$scratch/checkout/scripts/modvm" build \
      >"$scratch/out" 2>"$scratch/err"
    expect "a failed build fails" "$?" 1
    expect "...with nothing on standard output" "$(cat "$scratch/out")" ""
    expect "...and the patch's failure last" "$(tail -n 2 "$scratch/err")" \
      "modvm: the kernel build failed; the last lines of $cache/linux-6.1-kasan.log:
1 out of 1 hunk FAILED -- saving rejects to file init/Kconfig.rej"
    expect "...and no stamp of a build" "$(ls "$cache")" "linux-6.1-kasan
linux-6.1-kasan.log"
    ;;
  signals)
    # Ctrl-C (INT), TERM and HUP end the guest and everything the bench
    # started at once, and say so.  INT is let through to a background
    # job as a terminal would deliver it.
    descendants() {
      local child
      for child in $(pgrep -P "$1"); do echo "$child"; descendants "$child"; done
    }
    for signal in INT TERM HUP; do
      python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.execvp(sys.argv[1], sys.argv[1:])' "$modvm" run -- sleep 600 \
        >"$scratch/out" 2>"$scratch/err" &
      bench=$!
      guest=''
      for _ in $(seq 600); do
        for pid in $(descendants $bench); do
          [ "$(cat "/proc/$pid/comm" 2>/dev/null)" != qemu-system-x86 ] || guest=$pid
        done
        [ -z "$guest" ] || break
        sleep 0.1
      done
      [ -n "$guest" ] || { fail "$signal: no guest started"; kill -KILL $bench; continue; }
      kill -"$signal" $bench
      for _ in $(seq 100); do kill -0 $bench 2>/dev/null || break; sleep 0.1; done
      if kill -0 $bench 2>/dev/null; then
        fail "$signal: the bench still runs 10 s after"
        kill -KILL $bench
      fi
      wait $bench
      status=$?
      for _ in $(seq 100); do kill -0 "$guest" 2>/dev/null || break; sleep 0.1; done
      expect "$signal: the status" $status $((128 + $(kill -l "$signal")))
      expect "$signal: what it says" "$(cat "$scratch/err")" \
        "modvm: interrupted (SIG$signal): stopping the guest and everything it started"
      expect "$signal: the guest is gone" "$(kill -0 "$guest" 2>/dev/null && echo running)" ""
    done
    # With two guests at once, Ctrl-C ends both, and each guest's runs
    # are removed.
    modules=$(built "$root/modvm/modules")
    mkdir "$scratch/two"
    cp "$modules"/{elevator,fault_einval}.ko "$scratch/two/"
    runs() { find "${XDG_CACHE_HOME:-$HOME/.cache}/cabgate/modvm" -maxdepth 1 -name 'run.*' | wc -l; }
    before=$(runs)
    python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.execvp(sys.argv[1], sys.argv[1:])' "$modvm" check --module "$scratch/two" --jobs 2 \
      >"$scratch/out" 2>"$scratch/err" &
    bench=$!
    guests=()
    for _ in $(seq 1200); do
      guests=()
      for pid in $(descendants $bench); do
        [ "$(cat "/proc/$pid/comm" 2>/dev/null)" != qemu-system-x86 ] || guests+=("$pid")
      done
      [ ${#guests[@]} -lt 2 ] || break
      sleep 0.1
    done
    expect "two guests at once" "${#guests[@]}" 2
    kill -INT $bench
    for _ in $(seq 100); do kill -0 $bench 2>/dev/null || break; sleep 0.1; done
    kill -0 $bench 2>/dev/null && { fail "--jobs 2: the bench still runs 10 s after"; kill -KILL $bench; }
    wait $bench
    expect "--jobs 2: the status" $? 130
    expect "--jobs 2: what it says last" "$(tail -n 1 "$scratch/err")" \
      "modvm: interrupted (SIGINT): stopping the guest and everything it started"
    for _ in $(seq 100); do
      [ -n "$(for g in "${guests[@]}"; do kill -0 "$g" 2>/dev/null && echo x; done)" ] || break
      sleep 0.1
    done
    expect "--jobs 2: both guests are gone" \
      "$(for g in "${guests[@]}"; do kill -0 "$g" 2>/dev/null && echo "$g running"; done)" ""
    expect "--jobs 2: their runs are removed" "$(runs)" "$before"
    # A check that ends by itself leaves nothing it started running: a
    # caller reading its output to the end is not held by a helper's
    # sleep.
    testmod=$(built "$root/modvm/testmod")
    setsid --wait bash -c 'echo $$ >"$1"; shift; exec "$@"' _ "$scratch/sid" \
      "$modvm" check --module "$testmod/cabgate_test.ko" --only contract >/dev/null 2>&1
    expect "a check that ended leaves nothing running" \
      "$(ps -o stat=,args= -s "$(cat "$scratch/sid")" | grep -v '^Z')" ""
    ;;
esac
finish
