#!/usr/bin/env bash
# The module bench's word on correct modules under load: every check of
# each correct design the project has (its elevator, the skeleton that
# authors start from, the test modules' small elevator) ROUNDS times
# while BUSY other processes keep the host's cores busy, and how many
# verdicts failed, which for a correct module is the bench's own failure.
#
#   bench/modvm_soak.sh [ROUNDS]     (BUSY: default, one per core)
#
# Prints a line per verdict with its time, then "false failures: K of N"
# and the times' range; exits 1 when K is not 0.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
modvm=$root/scripts/modvm
rounds=${1:-3}
busy=${BUSY:-$(nproc)}
work=$(mktemp -d)
hogs=()
cleanup() {
  kill "${hogs[@]}" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

tree=$("$modvm" build | tail -n 1) || exit 1
built() {
  cp -r "$1/." "$work/$2" && make -C "$tree" M="$work/$2" modules >"$work/$2.log" 2>&1 ||
    { echo "modvm_soak: the modules of $1 did not build" >&2; exit 1; }
}
built "$root/modvm/modules" modules
built "$root/modvm/skeleton" skeleton
built "$root/modvm/testmod" testmod
designs=("$work/modules/elevator.ko" "$work/skeleton/skeleton.ko" "$work/testmod/cabgate_test.ko")

for _ in $(seq "$busy"); do
  sh -c 'while :; do :; done' &
  hogs+=($!)
done
echo "soak: ${#designs[@]} correct modules, $rounds rounds, $busy busy processes beside"
failures=0 verdicts=0 times=()
for round in $(seq "$rounds"); do
  for ko in "${designs[@]}"; do
    began=$(date +%s)
    "$modvm" check --module "$ko" >"$work/out" 2>&1
    status=$?
    seconds=$(($(date +%s) - began))
    times+=("$seconds")
    verdicts=$((verdicts + 1))
    name=$(basename "$ko" .ko)
    if [ $status -eq 0 ]; then
      echo "round $round: $name passed every check in $seconds s"
    else
      failures=$((failures + 1))
      echo "round $round: $name FAILED in $seconds s:"
      grep -E '^(FAIL|SKIP|KUnit)|^  \|' "$work/out" | head -n 20 | sed 's/^/  /'
    fi
  done
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
echo "false failures: $failures of $verdicts (each verdict $(head -n 1 <<<"$sorted") to" \
  "$(tail -n 1 <<<"$sorted") s, with $busy busy processes beside)"
[ "$failures" -eq 0 ]
