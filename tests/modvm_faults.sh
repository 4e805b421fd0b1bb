# The module battery names each classic fault of an elevator module: each
# faulty module under modvm/modules (the project's elevator with one bug)
# fails the battery, on the check that should catch it, with the kernel's
# report.  One case per fault ($CASE); slow (a kernel under emulation).
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

root=$(cd "$(dirname "$0")/.." && pwd)

# fault FAULT FLAVOUR CHECK PATTERN...: the battery on fault_FAULT.ko, on
# the flavour's kernel, fails, CHECK (a regular expression) is the first
# check to fail, and each PATTERN is found in what it printed for it.
fault() {
  local name=$1 flavour=$2 check=$3
  shift 3
  want "$name" || return 0
  local tree dir
  tree=$("$root/scripts/modvm" build --flavour "$flavour" | tail -n 1)
  dir=$scratch/modules
  rm -rf "$dir"
  cp -r "$root/modvm/modules" "$dir"
  make -C "$tree" M="$dir" modules >"$scratch/make.log" 2>&1 ||
    { fail "$name: the modules did not build"; cat "$scratch/make.log" >&2; return; }
  local status=0
  "$root/scripts/modvm" check --flavour "$flavour" --module "$dir/fault_$name.ko" \
    --proc /proc/elevator >"$scratch/out" 2>&1 || status=$?
  expect "$name: the battery fails" "$status" 1
  local first
  first=$(grep -n -m 1 '^FAIL ' "$scratch/out" | cut -d: -f1)
  if [ -z "$first" ]; then
    fail "$name: no check failed"
    cat "$scratch/out" >&2
    return
  fi
  # The first failing check's line and its report.
  local verdict
  verdict=$(tail -n +"$first" "$scratch/out" | awk 'NR > 1 && !/^  / { exit } { print }')
  if [[ $(head -n 1 <<<"$verdict") =~ ^FAIL\ ($check): ]]; then ok; else
    fail "$name: the first check to fail is not $check"
    cat "$scratch/out" >&2
  fi
  local pattern
  for pattern in "$@"; do
    if grep -q -E -e "$pattern" <<<"$verdict"; then ok; else
      fail "$name: '$pattern' not in its report"
      echo "$verdict" >&2
    fi
  done
  grep -q -E '^[0-9]+ passed, [1-9][0-9]* failed$' "$scratch/out" && ok ||
    fail "$name: no total"
}

fault einval kasan contract \
  'a refusal must be the plain value 1, not an error code' '-1 EINVAL'
fault leak kasan leaks \
  'kmemleak: objects allocated through the module are unreferenced' \
  'elevator_request\+0x[0-9a-f]+/0x[0-9a-f]+ \[fault_leak\]'
fault sleep_in_spinlock kasan unload \
  'BUG: (sleeping function called from invalid context|scheduling while atomic)' \
  'car_fn.*\[fault_sleep_in_spinlock\]'
fault lock_order kasan unload \
  'possible circular locking dependency' 'car_lock' 'waiting_lock' \
  '\[fault_lock_order\]'
fault use_after_free kasan 'unload|contract|scenario' \
  'KASAN: [a-z-]*use-after-free in' '\[fault_use_after_free\]'
fault thread_left kasan unload \
  'after rmmod|in rmmod|a thread still runs after rmmod' \
  'Comm: elevator_car|car_fn.*\[fault_thread_left\]'
fault no_unregister kasan unload \
  'module fault_no_unregister went away with its operations registered'
fault unlocked_list kcsan 'unload|stress' \
  'KCSAN: data-race|list_[a-z]+ corruption' '\[fault_unlocked_list\]'
finish
