# The project's own checks, run in the modvm guest by busybox sh: the real consumer,
# producer and rawcall against the test module (/lib/cabgate_test.ko), then
# the unload race.  Ends with "N passed, M failed".
passed=0
failed=0
expect() {
  if [ "$2" = "$3" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $1: got '$2', want '$3'"
  fi
}
# wait_for COMMAND...: up to a minute.
wait_for() {
  i=0
  until "$@"; do
    i=$((i + 1))
    [ $i -lt 600 ] || return 1
    sleep 0.1
  done
}

cd /bin || exit 1
echo "<5>modvm: checks begin" >/dev/kmsg
digest=$(md5sum consumer | awk '{print $1}')
consumer_says() {
  out=$(./consumer "$1" 2>&1)
  echo "$? $out" | tr '\n' '|'
}
module_count() { cat /sys/module/cabgate_test/parameters/accepted; }

expect "start without a module" "$(consumer_says --start)" \
  "2 $digest|Module is not loaded!|"
insmod /lib/cabgate_test.ko
expect "insmod" "$?" 0
expect "start" "$(consumer_says --start)" "0 $digest|Elevator successfully started|"
expect "start again" "$(consumer_says --start)" \
  "1 $digest|Elevator has already started!|"
for request in "3 1 2" "-1 1 2" "0 0 2" "0 11 2" "0 1 0" "0 1 11" "0 5 5"; do
  expect "invalid request $request" "$(./rawcall 324 $request)" 1
done
expect "valid request" "$(./rawcall 324 0 1 2)" 0

# The producer's whole run; its window passes at once (the guest's init
# runs modcheck --skip-windows for this command).
./producer >/tmp/producer.out 2>/tmp/producer.err
expect "producer: status" "$?" 0
expect "producer: stderr" "$(cat /tmp/producer.err)" ""
expect "producer: digest first" "$(head -n 1 /tmp/producer.out)" \
  "$(md5sum producer | awk '{print $1}')"
expect "producer: all added" "$(grep -c '^Successfully added$' /tmp/producer.out)" 10000
expect "producer: the window passed at once" \
  "$(grep -c -E '^Waiting for the remaining (0|-[0-9]+) seconds$' /tmp/producer.out)" 1
expect "producer: last line" "$(tail -n 1 /tmp/producer.out)" "Time is up!!!"

expect "stop" "$(consumer_says --stop)" "0 $digest|Elevator is now stopped|"
expect "stop again" "$(consumer_says --stop)" \
  "1 $digest|Elevator has already been issued to stop!|"
expect "module's count is what the tools were told" "$(module_count)" 10001
rmmod cabgate_test
expect "rmmod" "$?" 0
expect "start after rmmod" "$(consumer_says --start)" \
  "2 $digest|Module is not loaded!|"

# The unload race: rmmod while a call sleeps inside the module fails, the
# call returns its answer, and rmmod then succeeds; nothing crashes.
insmod /lib/cabgate_test.ko start_delay_ms=3000
./rawcall 323 >/tmp/race &
caller=$!
in_call() { [ "$(cut -d' ' -f1 /proc/$caller/syscall 2>/dev/null)" = 323 ]; }
wait_for in_call
rmmod cabgate_test 2>/dev/null
expect "rmmod during a call fails" "$?" 1
wait $caller
expect "the call in flight is answered" "$(cat /tmp/race)" 0
rmmod cabgate_test
expect "rmmod after the call" "$?" 0
expect "call after the race" "$(./rawcall 323)" -1

# The system calls hold against careless modules.
# busybox's insmod tries twice (finit_module, then init_module), so a
# refused module is warned about twice.
careless() { insmod /lib/careless.ko mode=$1 2>/dev/null || echo refused; }
logged() { [ "$(dmesg | grep -c -F "$1")" -ge 1 ] && echo logged; }
expect "a careful load" "$(careless big_answer)" ""
expect "an answer of 1 << 32 is no start" "$(consumer_says --start)" \
  "2 $digest|Module is not loaded!|"
expect "an answer of 1 << 32 is an error" "$(./rawcall -e 323)" "-1 EPROTO"
expect "an answer of 1 << 32 is warned about" \
  "$(logged 'cabgate: careless_start [careless] returned 4294967296, not 0, 1 or an error')" logged
rmmod careless
expect "a failed init fails insmod" "$(careless fail_init)" refused
expect "a failed init leaves nothing registered" "$(./rawcall -e 323)" "-1 ENOSYS"
expect "a failed init is warned about" \
  "$(logged 'cabgate: module careless went away with its operations registered')" logged
expect "operations without an owner are refused" "$(careless no_owner)" refused
expect "...and warned about" "$(logged 'operations without .owner = THIS_MODULE refused')" logged
# Unregistering operations that are not registered waits for no call into
# another module's.
insmod /lib/cabgate_test.ko start_delay_ms=20000
./rawcall 323 >/tmp/race &
caller=$!
wait_for in_call
expect "a careful load" "$(careless unregister_idle)" ""
expect "unregistering what is not registered does not wait" "$(in_call && echo waiting)" waiting
expect "...and is warned about" "$(logged 'unregistering operations that are not registered')" logged
wait $caller
rmmod careless cabgate_test
expect "the careless modules unload" "$?" 0
# Two unregisterings at once while a call is inside: neither returns
# before the call does.
expect "a careful load" "$(careless unregister_twice)" ""
./rawcall 323 >/tmp/race &
caller=$!
wait_for in_call
expect "...has the unregisterings start while the call is inside" \
  "$(./rawcall 324 0 1 2)" 0
wait $caller
rmmod careless
expect "two unregisterings both wait for the call" \
  "$(logged 'careless: both unregisters waited for the call')" logged
# Nothing else from the kernel: no warning, BUG or report.
# What counts as a report is the module checks' own judgement.
expect "the checks' judgement keeps a warning, drops noise" \
  "$(printf '%s\n' '[    1.0] clocksource: x' '[    2.0] WARNING: y' | ./modcheck --reported)" \
  "WARNING: y"
expect "the kernel's other warnings" "$(dmesg -r | sed -n '/modvm: checks begin/,$p' |
  grep -E '^<[0-4]>' | sed 's/^<[0-4]>//' | ./modcheck --reported | grep -v -e 'cabgate: ')" ""
expect "two CPUs" "$(grep -c ^processor /proc/cpuinfo)" 2

# The checks' helper counts the timers, hrtimers and work items of the
# module it watches that are armed or running: the checks' wait after an
# rmmod ends early when there are none.
insmod /lib/modvm_watch.ko watch=armed
pending() { cut -d' ' -f1 /sys/module/modvm_watch/parameters/pending; }
none_pending() { [ "$(pending)" = 0 ]; }
insmod /lib/armed.ko
expect "a timer, an hrtimer and a delayed work armed" "$(pending)" 3
echo 1 >/sys/module/armed/parameters/fire
wait_for none_pending
expect "...ran, and none is pending" "$(pending)|$(cat /sys/module/armed/parameters/ran)" "0|3"
rmmod armed
insmod /lib/armed.ko
expect "armed again" "$(pending)" 3
rmmod armed
expect "a careful exit leaves none pending" "$(pending)" 0

# What a call costs, against getpid, and on two CPUs at once.
insmod /lib/cabgate_test.ko
./callcost
rmmod cabgate_test

# What the system calls refuse or lockdep reports, last: their warnings
# would be taken for faults above, and lockdep reports once a boot.
expect "a careful load" "$(careless unregister_own)" ""
expect "unregistering from inside stop returns" "$(./rawcall 325)" 0
expect "...is refused" "$(./rawcall -e 323)" 0
expect "...and warned about" \
  "$(logged 'unregisters the operations it was called through; refused')" logged
rmmod careless
expect "...and the exit unregisters them" "$?|$(./rawcall -e 323)" "0|-1 ENOSYS"
expect "a careful load" "$(careless unregister_locked)" ""
expect "a call takes the module's lock" "$(./rawcall 323)" 0
rmmod careless
expect "unregistering while holding it unloads" "$?" 0
expect "...and lockdep reports the deadlock" \
  "$(logged 'WARNING: possible circular locking dependency detected')" logged
expect "...naming the lock" "$(logged '(careless_lock)')" logged
expect "...and the wait for the calls" "$(logged '(cabgate_call)')" logged

echo "$passed passed, $failed failed"
