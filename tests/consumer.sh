# consumer: its answers for every service result, its command-line
# complaints, the fingerprint, hostile invocation paths and the stock kernel.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

mkdir "$scratch/bin"
cp "$CONSUMER" "$scratch/bin/consumer"
cd "$scratch/bin" || exit 1
digest=$(digest_of consumer)
usage=$'  call using ./consumer <--start | --stop>\n'

# Every row of the result table: message, stream and status.
while read -r arg reply status message; do
  check "$arg with result ${reply#*=}" "$status" \
    "$digest"$'\n'"${message//_/ }"$'\n' "" \
    "$ELEVMOD" run --reply "$reply" -- "${FAST[@]}" ./consumer "$arg"
done <<'EOF_CASES'
--start 323=0  0 Elevator_successfully_started
--start 323=1  1 Elevator_has_already_started!
--start 323=2  2 Module_is_not_loaded!
--start 323=-1 2 Module_is_not_loaded!
--stop  325=0  0 Elevator_is_now_stopped
--stop  325=1  1 Elevator_has_already_been_issued_to_stop!
--stop  325=2  2 Module_is_not_loaded!
--stop  325=-1 2 Module_is_not_loaded!
EOF_CASES

# Against a real service: starting twice, stopping twice, then unloaded.
load
while read -r arg status message; do
  check "service: $arg" "$status" "$digest"$'\n'"${message//_/ }"$'\n' "" \
    "$ELEVMOD" run -- "${FAST[@]}" ./consumer "$arg"
done <<'EOF_CASES'
--start 0 Elevator_successfully_started
--start 1 Elevator_has_already_started!
--stop  0 Elevator_is_now_stopped
--stop  1 Elevator_has_already_been_issued_to_stop!
EOF_CASES
expect "one call per run" "$(json_field start),$(json_field stop)" 2,2
unload
check "unloaded: --start" 2 "$digest"$'\nModule is not loaded!\n' "" \
  "${UNNAMED[@]}" "$ELEVMOD" run -- "${FAST[@]}" ./consumer --start

# A wrong count of arguments: the two lines, status 3, no digest, no pause.
begin=$(date +%s%N)
check "no argument" 3 "" $'Wrong number of arguments!\n'"$usage" ./consumer
check "two arguments" 3 "" $'Wrong number of arguments!\n'"$usage" \
  ./consumer --start --stop
end=$(date +%s%N)
expect "no pause on a wrong count" "$(( (end - begin) / 1000000 < 2000 ))" 1
# (Linux runs such a program with a single empty argument.)
check "empty argument vector" 3 "" \
  $'Wrong number of arguments!\n  call using consumer <--start | --stop>\n' \
  "$BIN/tests/execempty" ./consumer
check "usage names the path as typed" 3 "" \
  $'Wrong number of arguments!\n  call using ../bin//consumer <--start | --stop>\n' \
  ../bin//consumer

# An argument that is neither option costs the fingerprint, then status 3.
for arg in --START -start start --start= ""; do
  check "not understood: '$arg'" 3 "$digest"$'\n' \
    $'Did not understand provided argument!\n'"$usage" \
    "$ELEVMOD" run --reply 323=0 -- "${FAST[@]}" ./consumer "$arg"
done

# The digest is md5sum's, and changes with the bytes of the binary.
cp consumer changed
printf '\0' >>changed
changed_digest=$(digest_of changed)
expect "changed binary, changed digest" \
  "$( [ "$changed_digest" != "$digest" ] && echo differs)" differs
check "digest of the changed binary" 2 \
  "$changed_digest"$'\nModule is not loaded!\n' "" \
  "${FAST[@]}" ./changed --start

# The pause really lasts about three seconds, after the digest.
begin=$(date +%s%N)
./consumer --stop >"$scratch/slow" 2>&1
end=$(date +%s%N)
ms=$(( (end - begin) / 1000000 ))
expect "real pause ($ms ms)" "$(( ms >= 2900 && ms < 10000 ))" 1
expect "real run output" "$(cat "$scratch/slow")" \
  "$digest"$'\nModule is not loaded!'

# With no heap for the command buffer: no digest line, still the pause (at
# a hundredfold speed, three seconds are 30 ms), and the run goes on.
begin=$(date +%s%N)
check "no memory for the digest" 2 $'Module is not loaded!\n' "" \
  env NOMALLOC_SIZE=100 FAKETIME="+0 x100" \
  LD_PRELOAD="$BIN/tests/libnomalloc.so:$FAKETIME_LIB" ./consumer --start
end=$(date +%s%N)
expect "no memory: still pauses" "$(( (end - begin) / 1000000 >= 29 ))" 1

# Hostile invocation paths: nothing in them runs, the digest stays right.
long=$scratch/bin/a-directory-name-that-is-long/and-another-that-is-longer-still
mkdir -p "$long"
hostile=(
  "./a b" "./it's" "./\$(touch MARK)" "./\`touch MARK\`" "./x;touch MARK"
  "./x|touch MARK" "./x&touch MARK" "./x&&touch MARK #" $'./new\nline'
  "./*" "./?" "./'; touch MARK; '" "./\\" "-" "-rf" "--version"
  "$long/consumer"
)
for path in "${hostile[@]}"; do
  cp -- consumer "$path"
  # A bare name is found along PATH, and reaches the tool as typed.
  if [ "${path:0:1}" == / ]; then
    want=$(digest_of "$path")
  else
    want=$(digest_of "./${path#./}")
  fi
  check "hostile path $(printf %q "$path")" 0 \
    "$want"$'\nElevator successfully started\n' "" \
    env PATH="$PATH:." "${FAST_TREE[@]}" \
    "$ELEVMOD" run --reply 323=0 -- "$path" --start
  rm -f -- "$path"
done
expect "long path is over 72 characters" "$(( ${#long} > 72 ))" 1
expect "no injected command ran" "$(ls MARK 2>&1)" \
  "ls: cannot access 'MARK': No such file or directory"

# A path md5sum can't open: its complaint, no digest line, the run goes on.
check "unreadable path" 2 $'Module is not loaded!\n' \
  $'md5sum: consumer: No such file or directory\n' \
  sh -c 'cd / && exec "$@"' sh env LD_PRELOAD="$FAKETIME_LIB" \
  FAKETIME="+0 x100" PATH="$scratch/bin:$PATH" consumer --start

# On the stock kernel, outside elevmod: 323 and 325 fail, also with the
# standard descriptors closed (userfaultfd would hand out fd 0).
for arg in --start --stop; do
  check "stock kernel: $arg" 2 "$digest"$'\nModule is not loaded!\n' "" \
    "${FAST[@]}" ./consumer "$arg"
  "${FAST[@]}" ./consumer "$arg" 0<&- >/dev/null
  expect "stock kernel, stdin closed: $arg" "$?" 2
  "${FAST[@]}" ./consumer "$arg" 0<&- 1>&- 2>/dev/null
  expect "stock kernel, stdin and stdout closed: $arg" "$?" 2
done

finish
