# Booting a kernel of ours under QEMU, shared by scripts/kernels and
# scripts/modvm.  Source it, then call vm_boot.
#
# vm_boot LOG TIMEOUT KERNEL INITRD APPEND [QEMU-ARG...]
#   Boots KERNEL (with INITRD, unless that is empty) with the command line
#   APPEND and the serial console written to LOG (- for the terminal, to
#   use the guest interactively; with VM_CONSOLE_LOG set, also written
#   there), and waits for the guest to power off, TIMEOUT seconds at most.
#   KVM is tried first where the CPU offers virtualisation (vmx or svm),
#   with a short bound on reaching the kernel's first line; then TCG.  A
#   /dev/kvm without them is a paravirtual one (kvm_pvm, on cloud
#   machines that are guests themselves), which runs only kernels built
#   for it: a stock kernel stalls after "early console in setup code", so
#   it is not tried.  The guest ends itself
#   (reboot or sysrq power-off, with -no-reboot).  Returns 0 once QEMU ended
#   by itself, 124 on the timeout (QEMU is killed), another status if QEMU
#   failed.  Nothing is left running.

# Replaces the calling (sub)shell with QEMU under timeout(1), which passes
# a TERM on to QEMU.
vm_qemu() {
  local accel=$1 log=$2 timeout=$3 kernel=$4 initrd=$5 append=$6
  shift 6
  local args=(-accel "$accel" -smp 2 -m "${VM_MEMORY:-4096}" -nographic
              -no-reboot -kernel "$kernel" -append "$append" -display none)
  [ "$accel" == tcg ] && args+=(-cpu max) || args+=(-cpu host)
  [ -n "$initrd" ] && args+=(-initrd "$initrd")
  if [ "$log" == - ]; then
    local console=(-serial mon:stdio)
    [ -z "${VM_CONSOLE_LOG:-}" ] ||
      console=(-chardev "stdio,id=console,mux=on,logfile=$VM_CONSOLE_LOG"
               -serial chardev:console -mon chardev=console)
    exec timeout --foreground "$timeout" qemu-system-x86_64 "${args[@]}" \
      "${console[@]}" "$@"
  fi
  args+=(-serial "file:$log" -monitor none)
  exec timeout --kill-after=5 "$timeout" qemu-system-x86_64 "${args[@]}" \
    "$@" </dev/null >"$log.qemu" 2>&1
}

vm_boot() {
  local log=$1 timeout=$2 kernel=$3 initrd=$4 append=$5
  shift 5
  if [ -w /dev/kvm ] && [ -z "${VM_NO_KVM:-}" ] && [ "$log" != - ] &&
    grep -q -w -E 'vmx|svm' /proc/cpuinfo; then
    # KVM gets 20 seconds to show that the kernel runs at all.  The shell's
    # own note on a QEMU that aborts is not for the user.
    : >"$log"
    exec 9>&2 2>/dev/null
    vm_qemu kvm "$log" "$timeout" "$kernel" "$initrd" "$append" "$@" &
    local qemu=$!
    vm_wait_for "$log" 'Linux version' 20 $qemu || true
    if grep -q 'Linux version' "$log" 2>/dev/null || ! kill -0 $qemu 2>/dev/null; then
      wait $qemu 2>/dev/null
      local status=$?
      # KVM that ran the guest to its end is the answer; one that failed to
      # start at all falls back to TCG below.
      if grep -q 'Linux version' "$log"; then
        exec 2>&9 9>&-
        return $status
      fi
    else
      kill -TERM $qemu 2>/dev/null
      wait $qemu 2>/dev/null
    fi
    exec 2>&9 9>&-
    echo "vm: KVM did not boot this kernel; using TCG" >&2
  fi
  [ "$log" == - ] || : >"$log"
  if [ "$log" == - ]; then
    (vm_qemu tcg "$log" "$timeout" "$kernel" "$initrd" "$append" "$@")
    return
  fi
  # In the background and waited for: a caller's trap on INT or TERM runs
  # at once, not after the guest's end.
  vm_qemu tcg "$log" "$timeout" "$kernel" "$initrd" "$append" "$@" &
  wait $!
}

# A guest saved once and restored many times: started with a monitor on
# the pipe chardev MON (MON.in written, its answers copied to MON.log), it
# is saved with vm_save and later resumed by QEMU run with the same
# machine (memory, CPUs, devices, kernel and initrd) and
# -incoming "exec:cat FILE".

# vm_monitor_until MON COMMAND PATTERN SECONDS: sends COMMAND to the
# monitor every 0.1 s until its answers match PATTERN (an extended regular
# expression, on the last answer's lines); fails after SECONDS.
vm_monitor_until() {
  local mon=$1 command=$2 pattern=$3 tries=$(($4 * 10))
  while [ "$tries" -gt 0 ]; do
    : >"$mon.log"
    echo "$command" >"$mon.in"
    sleep 0.1
    tr -d '\r' <"$mon.log" | grep -q -E "$pattern" && return 0
    tries=$((tries - 1))
  done
  return 1
}

# vm_save MON FILE: saves the running guest to FILE (written whole or not
# at all) and ends QEMU.
vm_save() {
  local mon=$1 file=$2
  echo "migrate_set_parameter max-bandwidth 64G" >"$mon.in"
  echo "migrate \"exec:cat >'$file.part'\"" >"$mon.in"
  vm_monitor_until "$mon" "info migrate" '^Migration status: (completed|failed|cancelled)' 300 &&
    tr -d '\r' <"$mon.log" | grep -q '^Migration status: completed' &&
    mv "$file.part" "$file"
  local status=$?
  rm -f "$file.part"
  echo quit >"$mon.in"
  return $status
}

# vm_restored MON: waits until a guest started with -incoming runs again
# (60 s at most).
vm_restored() {
  vm_monitor_until "$1" "info status" '^VM status: running' 60
}

# vm_wait_for LOG TEXT SECONDS [PID]: waits until LOG holds TEXT, SECONDS
# at most, or until PID ends; fails unless LOG holds it.
vm_wait_for() {
  local log=$1 text=$2 tries=$(($3 * 10)) pid=${4:-}
  until grep -q -F -e "$text" "$log" 2>/dev/null; do
    [ "$tries" -gt 0 ] && { [ -z "$pid" ] || kill -0 "$pid" 2>/dev/null; } || return 1
    sleep 0.1
    tries=$((tries - 1))
  done
}

# vm_tail LOG: the guest's last lines, for a failure.
vm_tail() {
  tail -n 25 "$1" | sed 's/^/  | /' >&2
}
