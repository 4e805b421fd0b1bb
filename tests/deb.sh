# The .deb that `cpack -G DEB` makes installs with apt on a fresh Debian 12
# root (debootstrap) and runs the scenario from PATH there: load, consumer
# --start, producer, consumer --stop, status, unload; then a user's
# cabgate-modvm build, and a check with a bundle exported here.  Needs root and
# Debian's mirror; everything is mounted in a mount namespace of its own, so
# nothing stays mounted.
# shellcheck source=lib.sh
source "$(dirname "$0")/lib.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: needs root"
  finish
  exit
fi
for tool in debootstrap lintian file; do
  command -v $tool >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $tool >/dev/null
done
mirror=$(sed -n 's/^URIs: *\(http[^ ]*debian\)$/\1/p' \
  /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
mirror=${mirror:-http://deb.debian.org/debian}

root_dir=$(cd "$(dirname "$0")/.." && pwd)
"$root_dir/scripts/package" "$scratch/deb" >/dev/null || fail "scripts/package"
deb=$(ls "$scratch"/deb/cabgate_*_amd64.deb)
dev=$(ls "$scratch"/deb/libcabgate-dev_*_amd64.deb)

# Debian's own checks: no error and no warning.
lintian --allow-root "$deb" "$dev" >"$scratch/lintian" 2>&1
expect "lintian: no E: or W: tag" "$(grep -E '^[EW]: ' "$scratch/lintian")" ""
expect "the library and its files in libcabgate-dev" \
  "$(dpkg-deb -c "$dev" | awk '{print $6}' | grep -E '\.(h|a|pc)$|Config\.cmake$')" \
"./usr/include/cabgate.h
./usr/lib/x86_64-linux-gnu/cmake/cabgate/cabgateConfig.cmake
./usr/lib/x86_64-linux-gnu/libcabgate.a
./usr/lib/x86_64-linux-gnu/pkgconfig/cabgate.pc"
expect "the programs alone in cabgate" \
  "$(dpkg-deb -c "$deb" | awk '{print $6}' | grep -c -E '\.(h|a|pc)$')" 0
mkdir "$scratch/x"
dpkg-deb -x "$deb" "$scratch/x"
for program in consumer producer elevmod; do
  expect "$program: stripped and bound now" \
    "$(file -b "$scratch/x/usr/bin/$program" | grep -c ', stripped$');$(readelf -d "$scratch/x/usr/bin/$program" | grep -c 'BIND_NOW')" "1;1"
done
expect "elevmod: fortified" \
  "$(( $(nm -D "$scratch/x/usr/bin/elevmod" | grep -c '_chk@') > 0 ))" 1
root=$scratch/root
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$scratch/bootstrap" 2>&1 ||
  { fail "debootstrap (see below)"; tail -n 5 "$scratch/bootstrap" >&2; finish; exit 1; }
# in_root NAME: runs the script /tmp/NAME in the root, in mount and PID
# namespaces of its own: nothing stays mounted, nothing it started
# outlives it.
in_root() {
  unshare --mount --pid --fork bash -c '
    mount -t proc proc "$1/proc"
    mount --rbind /dev "$1/dev"
    chroot "$1" bash "/tmp/$2"
  ' bash "$root" "$1"
}
cp "$deb" "$root/tmp/cabgate.deb"
cp "$dev" "$root/tmp/libcabgate-dev.deb"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cat >"$root/tmp/scenario" <<'EOF_SCENARIO'
set -u
unset ELEVMOD_SOCKET XDG_RUNTIME_DIR  # the default socket, as a user has it
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq && apt-get install -y -qq /tmp/cabgate.deb /tmp/libcabgate-dev.deb faketime \
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
test -f /usr/lib/x86_64-linux-gnu/pkgconfig/cabgate.pc && echo "library: installed"
cat /tmp/start.err
EOF_SCENARIO
in_root scenario >"$scratch/out" 2>&1
expect "scenario from PATH in a fresh Debian 12" "$(cat "$scratch/out")" \
"load: 0
Elevator successfully started
start: 0
producer: 0 Time is up!!!
Elevator is now stopped
stop: 0
\"accepted\":10000
unload: 0
library: installed
md5sum: consumer: No such file or directory"

# The module bench as a user has it: the package's Recommends came with
# it; a normal user's `cabgate-modvm build` runs without root, keeps its
# tree in ~/.cache/cabgate, says where it is, and gets as far as compiling
# (a whole build takes 8 to 13 minutes: README has the time of a full run); the
# build ends with the root's PID namespace.
cat >"$root/tmp/bench" <<'EOF_BENCH'
set -u
useradd -m student
cd /home/student
runuser -l student -c 'cabgate-modvm build' >/tmp/build.out 2>/tmp/build.err &
build=$!
log=/home/student/.cache/cabgate/modvm/linux-6.1-kasan.log
for _ in $(seq 600); do
  grep -q '^  CC ' "$log" 2>/dev/null && break
  kill -0 $build 2>/dev/null || break
  sleep 1
done
grep -q '^  CC ' "$log" && echo "compiling"
stat -c '%U' /home/student/.cache/cabgate/modvm/linux-6.1-kasan
dpkg-query -W -f='${Status}\n' linux-source-6.1 qemu-system-x86 busybox-static gcc | sort -u
head -n 2 /tmp/build.err
cat /tmp/build.out
EOF_BENCH
in_root bench >"$scratch/bench" 2>&1
expect "a user's cabgate-modvm build in a fresh Debian 12" "$(cat "$scratch/bench")" \
"compiling
student
install ok installed
cabgate-modvm: building the 6.1 kernel, flavour kasan, in /home/student/.cache/cabgate/modvm/linux-6.1-kasan (8 to 13 minutes on 2 cores): unpacking
cabgate-modvm: configuring"

# Built once, checked where no kernel was built: a bundle exported here
# (the kernel built here, if it is not yet) checks a module in the fresh
# root, with the .deb and its Recommends alone, as a normal user.
if "$root_dir/scripts/modvm" export "$root/tmp/modvm.tar.xz" 2>"$scratch/export"; then
  cp -r "$root_dir/modvm/testmod" "$root/tmp/testmod"
  cat >"$root/tmp/bundle" <<'EOF_BUNDLE'
set -u
cp -r /tmp/testmod /home/student/testmod && chown -R student: /home/student/testmod
runuser -l student -c '
  tree=$(cabgate-modvm build --bundle /tmp/modvm.tar.xz 2>/dev/null | tail -n 1)
  make -C "$tree" M="$HOME/testmod" modules >/tmp/make.log 2>&1 && echo "built against $tree"
  cd testmod && cabgate-modvm check --bundle /tmp/modvm.tar.xz --only contract \
    --module cabgate_test.ko 2>&1 | tail -n 2'
EOF_BUNDLE
  in_root bundle >"$scratch/bundle" 2>&1
  key=$(sha256sum <"$root/tmp/modvm.tar.xz" | cut -c1-16)
  expect "a bundle checks a module in a fresh Debian 12" \
    "$(sed 's/ ([0-9.]* s)$//' "$scratch/bundle")" \
    "built against /home/student/.cache/cabgate/modvm/bundle-$key/tree
PASS contract
1 passed, 0 failed"
else
  fail "export"
  tail -n 5 "$scratch/export" >&2
fi
expect "nothing left mounted" "$(grep -c "$root" /proc/mounts)" 0

finish
