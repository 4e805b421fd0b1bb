# The module checks name each classic fault of an elevator module: each
# faulty module under modvm/modules (the project's elevator with one bug)
# fails, first on the check that owns the fault, with a title naming it and
# the kernel's report.  One case per fault ($CASE); slow (a kernel under emulation).
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

root=$(cd "$(dirname "$0")/.." && pwd)

# fault FAULT FLAVOUR CHECK PATTERN...: the checks of fault_FAULT.ko, on
# the flavour's kernel, fail, CHECK (a regular expression) is the first
# check to fail, and each PATTERN is found in its verdict (the FAIL line
# with its title, then the report).
fault() {
  local name=$1 flavour=$2 check=$3
  shift 3
  want "$name" || return 0
  local tree dir
  tree=$("$root/scripts/modvm" build --flavour "$flavour" | tail -n 1)
  dir=$(modules_built "$root/modvm/modules" "$tree") ||
    { fail "$name: the modules did not build"; return; }
  local status=0
  "$root/scripts/modvm" check --flavour "$flavour" --module "$dir/fault_$name.ko" \
    --proc /proc/elevator >"$scratch/out" 2>&1 || status=$?
  expect "$name: the checks fail" "$status" 1
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
  if [[ $(head -n 1 <<<"$verdict") =~ ^FAIL\ ($check)\ \([0-9.]+\ s\):\  ]]; then ok; else
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
  grep -q -E '^[0-9]+ passed, [1-9][0-9]* failed(, [0-9]+ not run)?$' "$scratch/out" && ok ||
    fail "$name: no total"
}

fault einval kasan 'unload|contract' \
  'a refusal must be the plain value 1, not an error code' '-1 EINVAL'
fault leak kasan leaks \
  '^FAIL leaks .*: memory leak in elevator_request \(elevator\.c:[0-9]+\)$' \
  'kmemleak: objects allocated through the module are unreferenced'
fault sleep_in_spinlock kasan 'init-error|unload' \
  'BUG: (sleeping function called from invalid context|scheduling while atomic) in car_fn \(elevator\.c:[0-9]+\)'
fault lock_order kasan unload \
  'lockdep: circular locking dependency between (car_lock and waiting_lock|waiting_lock and car_lock) in [a-z_]+ \(elevator\.c:[0-9]+\)' \
  '\[fault_lock_order\] \(elevator\.c:[0-9]+'
fault use_after_free kasan 'unload|contract|scenario' \
  'KASAN: use-after-free (Read|Write) in [a-z_]+ \(elevator\.c:[0-9]+\)'
fault thread_left kasan unload \
  'of the unloaded fault_thread_left: a thread|a thread still runs after rmmod'
fault no_unregister kasan unload \
  'module fault_no_unregister went away with its operations registered'
fault work_left kasan unload \
  'ODEBUG: free active (timer_list|work_struct).*left armed|sample_fn\+0x[0-9a-f]+ (\(elevator\.c:[0-9]+\) )?of the unloaded fault_work_left'
fault init_overflow kasan init-error \
  'KASAN: slab-out-of-bounds Write in elevator_init \(elevator\.c:[0-9]+\)'
fault proc_count kasan stress \
  'reading /proc/elevator [0-9]+ bytes at a time.*: a read (returned [0-9]+ bytes|wrote past).*must honour count'
fault timer_del kasan unload \
  'ODEBUG: free active timer_list, hint rate_fn.*left armed|rate_fn\+0x[0-9a-f]+ (\(elevator\.c:[0-9]+\) )?of the unloaded fault_timer_del'
fault task_ref kasan leaks \
  "^FAIL leaks .*: the task_struct of the module's thread elevator_car \\(pid [0-9]+\\) is still referenced after rmmod: a get_task_struct\\(\\) without its put_task_struct\\(\\)$"
fault proc_left kasan unload \
  '^FAIL unload .*: /proc/elevator is still there after rmmod of the idle module$'
fault init_error kasan init-error \
  'of the unloaded fault_init_error: a thread|(a thread still runs|/proc/elevator is still there) after the failed init' \
  'elevator\.c:[0-9]+'
# Its timer fires a second after the failed init, into the freed module:
# init-error waits for it while the helper counts it armed.
fault init_timer kasan init-error \
  'BUG: unable to handle page fault in warmup_fn\+0x0 of the unloaded fault_init_timer: a thread, timer'
fault unlocked_list kcsan 'unload|stress' \
  'KCSAN: data-race|list_[a-z]+ corruption' '\[fault_unlocked_list\]'
finish
