# The .deb that `cpack -G DEB` makes installs with apt on a fresh Debian 12
# root (debootstrap) and runs the scenario from PATH there: load, consumer
# --start, producer, consumer --stop, status, unload.  Needs root and
# Debian's mirror; everything is mounted in a mount namespace of its own, so
# nothing stays mounted.
source "$(dirname "$0")/lib.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root"
  finish
  exit
fi
command -v debootstrap >/dev/null ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
mirror=$(sed -n 's/^URIs: *\(http[^ ]*debian\)$/\1/p' \
  /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
mirror=${mirror:-http://deb.debian.org/debian}

(cd "$BIN" && cpack -G DEB -B "$scratch/deb" >/dev/null) || fail "cpack -G DEB"
deb=$(ls "$scratch"/deb/cabgate_*_amd64.deb)
root=$scratch/root
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$scratch/bootstrap" 2>&1 ||
  { fail "debootstrap (see below)"; tail -n 5 "$scratch/bootstrap" >&2; finish; exit 1; }
cp "$deb" "$root/tmp/cabgate.deb"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cat >"$root/tmp/scenario" <<'EOF_SCENARIO'
set -u
unset ELEVMOD_SOCKET XDG_RUNTIME_DIR  # the default socket, as a user has it
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq && apt-get install -y -qq /tmp/cabgate.deb faketime \
  >/tmp/apt.log 2>&1 || { echo "apt failed"; tail -n 5 /tmp/apt.log; exit 1; }
cd /
fast=(faketime -f '+0 x100')
elevmod load --step-ms 2 && echo "load: $?"
elevmod run -- "${fast[@]}" consumer --start 2>/tmp/start.err
echo "start: $?"
elevmod run -- "${fast[@]}" producer >/tmp/producer.log 2>/dev/null
echo "producer: $? $(tail -n 1 /tmp/producer.log)"
elevmod run -- "${fast[@]}" consumer --stop 2>/dev/null
echo "stop: $?"
elevmod status --json | grep -o '"accepted":[0-9]*'
elevmod unload && echo "unload: $?"
cat /tmp/start.err
EOF_SCENARIO
unshare --mount bash -c '
  root=$1
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  chroot "$root" bash /tmp/scenario
' bash "$root" >"$scratch/out" 2>&1
expect "scenario from PATH in a fresh Debian 12" "$(cat "$scratch/out")" \
"load: 0
Elevator successfully started
start: 0
producer: 0 Time is up!!!
Elevator is now stopped
stop: 0
\"accepted\":10000
unload: 0
md5sum: consumer: No such file or directory"
expect "nothing left mounted" "$(grep -c "$root" /proc/mounts)" 0

finish
