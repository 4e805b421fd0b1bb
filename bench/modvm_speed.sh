#!/usr/bin/env bash
# The module bench's speed, an earlier bench beside this one in one run:
# every check of the project's elevator and of each faulty module beside
# it (the kasan kernel's: the data race needs the kcsan one), each module
# checked by the old bench then the new one, with the wall time of each
# verdict and the check that failed first (a fault must be named by the
# same check by both).
#
#   bench/modvm_speed.sh [OLD]     (OLD: a commit of this repository,
#                                   by default the one before the bench
#                                   resumed a saved guest)
#
# Prints a line per module, then the correct module's times and the
# faulty ones' medians, and their ratios; exits 1 when a fault's first
# failing check differs.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
old_ref=${1:-3501bc5}
work=$(mktemp -d)
trap 'git -C "$root" worktree remove --force "$work/old" >/dev/null 2>&1; rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

git -C "$root" worktree add --detach "$work/old" "$old_ref" >/dev/null 2>&1 ||
  { echo "modvm_speed: no commit $old_ref" >&2; exit 2; }
tree=$("$root/scripts/modvm" build | tail -n 1) || exit 1
cp -r "$root/modvm/modules/." "$work/modules"
make -C "$tree" M="$work/modules" modules >"$work/make.log" 2>&1 ||
  { echo "modvm_speed: the modules did not build" >&2; exit 1; }
modules=(elevator)
for c in "$root"/modvm/modules/fault_*.c; do
  name=$(basename "$c" .c)
  [ "$name" == fault_unlocked_list ] || modules+=("$name")
done

# One run of each first: the programs, and the new bench's saved guest
# (its one-time cost, stated), are made outside the times.
for side in old new; do
  bench=$root/scripts/modvm
  [ $side == new ] || bench=$work/old/scripts/modvm
  start=$(date +%s.%N)
  "$bench" check --module "$work/modules/elevator.ko" --only contract >/dev/null 2>&1
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
  read -r t_old f_old < <(verdict "$work/old/scripts/modvm" "$work/modules/$m.ko")
  read -r t_new f_new < <(verdict "$root/scripts/modvm" "$work/modules/$m.ko")
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
