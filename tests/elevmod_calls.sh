# What the raw calls 323, 324 and 325 get from elevmod, by the elevator's
# rules, with --reply, after unload and with no service at all.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

raw() { "$ELEVMOD" run -- "$RAWCALL" "$@"; }

# Does every start, stop and request rule give the documented answer?
load --step-ms 3600000
while read -r name want args; do
  check "$name" 0 "$want"$'\n' "" raw $args
done <<'EOF_CASES'
stop-while-offline      1 325
start                   0 323
start-again             1 323
valid-request-0         0 324 0 1 10
valid-request-2         0 324 2 10 1
type-too-high           1 324 3 1 2
type-negative           1 324 -1 1 2
start-floor-zero        1 324 0 0 2
start-floor-eleven      1 324 0 11 2
dest-floor-zero         1 324 0 2 0
dest-floor-eleven       1 324 0 2 11
same-floor              1 324 1 4 4
wide-argument-narrowed  0 324 0x100000001 1 2
stop                    0 325
stop-again              1 325
request-while-offline   0 324 1 5 6
start-after-stop        0 323
EOF_CASES
expect "accepted" "$(json_field accepted)" 4
expect "refused" "$(json_field refused)" 7
expect "start calls" "$(json_field start)" 3
expect "stop calls" "$(json_field stop)" 3
expect_invariant
unload

# Does --max-waiting refuse the request beyond it, and nothing before it?
load --max-waiting 100
check "fill to max-waiting" 0 $'0 100\n1 5\n' "" raw -n 105 324 0 2 1
expect "accepted at max-waiting" "$(json_field accepted)" 100
expect "waiting at max-waiting" "$(json_field waiting)" 100

# After unload, and with no service at all, every call fails with -1; run
# says so when the socket was named (here by $ELEVMOD_SOCKET), not of the
# default one.
unload
for nr in 323 325 "324 0 1 2"; do
  check "no service: $nr" 0 $'-1\n' "" "${UNNAMED[@]}" "$ELEVMOD" run \
    "$RAWCALL" $nr
done
check "no service on a named socket" 0 $'-1\n' \
  "elevmod: run: no service is loaded on $ELEVMOD_SOCKET; $RAWCALL runs without one (its calls fail with -1)"$'\n' \
  raw 323
check "no service on a named file that is no socket" 0 $'-1\n' \
  "elevmod: run: no service is loaded on /etc/passwd; $RAWCALL runs without one (its calls fail with -1)"$'\n' \
  "$ELEVMOD" run --socket /etc/passwd "$RAWCALL" 323

# Does --reply answer exactly what it is told, and -1 for the others?
# (Arguments are joined by _ in the table.)
while read -r reply args want; do
  check "--reply $reply: $args" 0 "$want"$'\n' "" \
    "$ELEVMOD" run --reply "$reply" -- "$RAWCALL" ${args//_/ }
done <<'EOF_CASES'
323=1           323       1
323=0           323       0
324=2           324_1_2_3 2
325=-1          325       -1
324=2147483647  324       2147483647
323=-2147483648 323       -2147483648
324=2           323       -1
324=2           325       -1
EOF_CASES
check "--reply several" 0 $'7\n8\n' "" "$ELEVMOD" run --reply 323=7 \
  --reply=325=8 -- sh -c '"$1" 323; "$1" 325' sh "$RAWCALL"

# Do two clients at once keep accepted = waiting + aboard + delivered?
load --step-ms 1
raw 323 >/dev/null
raw -n 3000 324 0 1 7 >"$scratch/a" &
raw -n 3000 324 2 9 2 >"$scratch/b" &
raw -n 500 324 0 0 0 >"$scratch/c" &
wait
expect "client a" "$(cat "$scratch/a")" "0 3000"
expect "client b" "$(cat "$scratch/b")" "0 3000"
expect "client c" "$(cat "$scratch/c")" "1 500"
expect "accepted from both" "$(json_field accepted)" 6000
expect "refused" "$(json_field refused)" 500
expect_invariant
delivering() { [ "$(json_field delivered)" -gt 0 ]; }
wait_until delivering
expect_invariant
expect "delivering" "$(delivering && echo yes)" yes
unload

# Does --speed run the car on its clients' clock?  A minute a floor a
# thousand times as fast: a passenger from floor 3 is delivered within
# wait_until's minute, and the times shown are minutes a step.
load --step-ms 60000 --speed 1000
raw 323 >/dev/null
raw 324 0 3 1 >/dev/null
delivered_one() { [ "$(json_field delivered)" == 1 ]; }
wait_until delivered_one
json=$("$ELEVMOD" status --json)
expect "the wait in the scenario's time" "$(field_of "$json" longest_wait_ms)" \
  $(( $(field_of "$json" longest_wait_steps) * 60000 ))
expect "a wait of whole steps" "$(( $(field_of "$json" longest_wait_steps) > 0 ))" 1
unload

finish
