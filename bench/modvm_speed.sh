#!/usr/bin/env bash
# The module bench's speed, an earlier bench beside this one in one run:
# every check of the project's elevator and of each faulty module beside
# it (the kasan kernel's: the data race needs the kcsan one), each module
# checked by the old bench then the new one, with the wall time of each
# verdict and the check that failed first (a fault must be named by the
# same check by both).
#
#   bench/modvm_speed.sh [OLD [MODULE...]]
#                 OLD: a commit of this repository, by default the one
#                 before the bench resumed a saved guest; MODULE: the
#                 modules to check (elevator first), by default all
#
# The old bench keeps its kernel in a cache of its own
# (~/.cache/cabgate-speed-old), since its patches and options may differ:
# the first run builds it, outside the times.  Each bench checks modules
# built against its own kernel, from the same sources.
#
# Prints a line per module, then the correct module's times and the
# faulty ones' medians, and their ratios; exits 1 when a fault's first
# failing check differs.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
old_ref=${1:-3501bc5}
[ $# -eq 0 ] || shift
old_cache=${MODVM_SPEED_OLD_CACHE:-${HOME:-~}/.cache/cabgate-speed-old}
work=$(mktemp -d)
trap 'git -C "$root" worktree remove --force "$work/old" >/dev/null 2>&1; rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

git -C "$root" worktree add --detach "$work/old" "$old_ref" >/dev/null 2>&1 ||
  { echo "modvm_speed: no commit $old_ref" >&2; exit 2; }
old_bench() { XDG_CACHE_HOME=$old_cache "$work/old/scripts/modvm" "$@"; }
new_bench() { "$root/scripts/modvm" "$@"; }
for side in old new; do
  tree=$("${side}_bench" build | tail -n 1) || exit 1
  cp -r "$root/modvm/modules/." "$work/modules-$side"
  make -C "$tree" M="$work/modules-$side" modules >"$work/make-$side.log" 2>&1 ||
    { echo "modvm_speed: the modules did not build against $tree" >&2; exit 1; }
done
modules=("$@")
if [ ${#modules[@]} -eq 0 ]; then
  modules=(elevator)
  for c in "$root"/modvm/modules/fault_*.c; do
    name=$(basename "$c" .c)
    [ "$name" == fault_unlocked_list ] || modules+=("$name")
  done
fi

# One run of each first: the programs, and the new bench's saved guest
# (its one-time cost, stated), are made outside the times.
for side in old new; do
  start=$(date +%s.%N)
  "${side}_bench" check --module "$work/modules-$side/elevator.ko" --only contract >/dev/null 2>&1
  printf '%s bench, first run (its programs built, and the saved guest made, when missing): %.0f s\n' $side \
    "$(echo "$(date +%s.%N) - $start" | bc)"
done

# verdict BENCH KO: "SECONDS FIRST-FAILING-CHECK" (- when none failed).
verdict() {
  local start out first
  start=$(date +%s.%N)
  out=$("$1" check --module "$2" 2>/dev/null)
  first=$(grep -m 1 '^FAIL ' <<<"$out" | cut -d' ' -f2)
  printf '%.1f %s\n' "$(echo "$(date +%s.%N) - $start" | bc)" "${first:--}"
}

status=0
printf '%-24s %8s %8s %6s  %s\n' module old new ratio "first failing check (old, new)"
: >"$work/faulty"
for m in "${modules[@]}"; do
  read -r t_old f_old < <(verdict old_bench "$work/modules-old/$m.ko")
  read -r t_new f_new < <(verdict new_bench "$work/modules-new/$m.ko")
  same=same
  [ "$f_old" == "$f_new" ] || { same=DIFFERENT; status=1; }
  printf '%-24s %7ss %7ss %5.2fx  %s, %s: %s\n' "$m" "$t_old" "$t_new" \
    "$(echo "$t_old / $t_new" | bc -l)" "$f_old" "$f_new" "$same"
  if [ "$m" == elevator ]; then
    correct="$t_old $t_new"
  else
    echo "$t_old $t_new" >>"$work/faulty"
  fi
done
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
read -r c_old c_new <<<"$correct"
m_old=$(cut -d' ' -f1 "$work/faulty" | median)
m_new=$(cut -d' ' -f2 "$work/faulty" | median)
printf 'correct module: %s s -> %s s (%.2fx)\n' "$c_old" "$c_new" "$(echo "$c_old / $c_new" | bc -l)"
printf 'faulty modules, median of %d: %s s -> %s s (%.2fx)\n' "$(wc -l <"$work/faulty")" \
  "$m_old" "$m_new" "$(echo "$m_old / $m_new" | bc -l)"
exit $status
