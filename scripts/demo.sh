#!/usr/bin/env bash
# Runs the installed agent for real on this machine, against a naming service and
# a stand-in DB2 database of its own, driven by the test Coordinator:
#   open a session, list, back up the database into a Zip64 file, damage the
#   database, restore it from the file, compare with a copy taken before, close.
# Everything it starts is stopped again and its temporary folder removed.
#
#   scripts/demo.sh [BUILD_DIR] [SIZE_MIB]
#
# BUILD_DIR holds the built test Coordinator (default: build); SIZE_MIB is the
# size of the stand-in database (default: 300). The agent is the installed
# wsagent with the plug-ins installed in /usr/lib/zr/Plugins/.
set -euo pipefail

build=${1:-build}
size_mib=${2:-300}
coordinator="$build/tests/coordinator/test_coordinator"
wsagent=$(command -v wsagent || true)
[ -n "$wsagent" ] || wsagent=/usr/sbin/wsagent

fail() { echo "demo: $*" >&2; exit 1; }
[ -x "$coordinator" ] || fail "no test Coordinator at $coordinator (build the project first)"
[ -x "$wsagent" ] || fail "no installed wsagent (run cmake --install first)"
ls /usr/lib/zr/Plugins/*.so >/dev/null 2>&1 || fail "no plug-in in /usr/lib/zr/Plugins/ (run cmake --install first)"
command -v omniNames >/dev/null || fail "omniNames missing (Debian package omniorb-nameserver)"

work=$(mktemp -d "${TMPDIR:-/tmp}/wsagent-demo-XXXXXX")
naming_pid=""
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && kill -KILL "$agent_pid" 2>/dev/null || true
  [ -n "$naming_pid" ] && kill -TERM "$naming_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.2f s", b - a }'; }
answers() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
wait_for() {  # wait_for SECONDS COMMAND...
  local limit=$(( $1 * 10 )); shift
  for _ in $(seq "$limit"); do "$@" && return 0; sleep 0.1; done
  return 1
}
step() { echo; echo "== $*"; }

start=$(now)
step "naming service"
port=""
for _ in $(seq 50); do
  candidate=$(( 20000 + RANDOM % 40000 ))
  answers "$candidate" || { port=$candidate; break; }
done
[ -n "$port" ] || fail "no free loopback port"
mkdir -p "$work/naming"
: > "$work/omniORB.cfg"
OMNIORB_CONFIG="$work/omniORB.cfg" omniNames -start "$port" -always -datadir "$work/naming" \
  -ORBendPoint "giop:tcp:127.0.0.1:$port" > "$work/naming/omniNames.out" 2>&1 &
naming_pid=$!
wait_for 10 answers "$port" || fail "omniNames did not start"
echo "omniNames on 127.0.0.1:$port (pid $naming_pid)"

step "stand-in DB2 database SAMPLE of $size_mib MiB"
t=$(now)
db2root="$work/db2"
database="$db2root/databases/SAMPLE"
mkdir -p "$database" "$work/snapshot" "$work/temp/"
echo DB2INST1 > "$db2root/instance"
random_mib=$(( size_mib * 2 / 3 ))
head -c "$(( random_mib * 1048576 ))" /dev/urandom > "$database/SQLT0000.0"
{ yes "row of table STAFF with some text that compresses" || true; } | head -c "$(( (size_mib - random_mib) * 1048576 ))" \
  > "$database/SQLT0001.0"
echo "catalog of SAMPLE" > "$database/SQLDBCON"
cp -a "$database" "$work/snapshot/"
echo "made in $(since "$t"): $(du -sh "$database" | cut -f1) in $(ls "$database" | wc -l) files"

step "agent $wsagent"
name="demo-$$"
home="$work/home"
mkdir -p "$home/.ze7/Settings/Services"
cat > "$home/.ze7/Settings/Services/workstation.zrl" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<link>
	<header>
		<related_object>Workstation</related_object>
		<version>7.3.4.12277</version>
	</header>
	<parameters>
		<param name="Name">$name</param>
		<param name="TempFolder">$work/temp/</param>
	</parameters>
</link>
XML
log="$home/.ze7/logs/ws.$name.log"
t=$(now)
HOME="$home" OMNIORB_CONFIG="$work/omniORB.cfg" ZR_DB2_STANDIN_ROOT="$db2root" \
  "$wsagent" --CoordinatorHost 127.0.0.1 --CoordinatorPort "$port" -h 127.0.0.1 \
  > "$work/wsagent.out" 2> "$work/wsagent.err" &
agent_pid=$!
started() { grep -q "==== STARTED ====" "$log" 2>/dev/null; }
if ! wait_for 30 started; then
  cat "$log" "$work/wsagent.err" 2>/dev/null || true
  fail "the agent did not start"
fi
echo "started in $(since "$t") (pid $agent_pid), registered as '$name'"

drive() {
  OMNIORB_CONFIG="$work/omniORB.cfg" "$coordinator" \
    --drive "corbaloc::127.0.0.1:$port/NameService" "$name" "$@"
}

step "session 1: list and back up (test Coordinator)"
# Paths in the test Coordinator's escaped form: "\\" stands for one backslash.
drive --open --list "" --list 'DB2' --list 'DB2\\DB2INST1' \
  --backup 'DB2\\DB2INST1\\SAMPLE' "$work/SAMPLE.zip" --close || fail "session 1 failed"
echo "backup file: $(du -h "$work/SAMPLE.zip" | cut -f1)"
if command -v unzip >/dev/null; then
  unzip -l "$work/SAMPLE.zip" | sed 's/^/    /'
  unzip -tq "$work/SAMPLE.zip" | sed 's/^/    /'
fi

step "damage the database"
dd if=/dev/zero of="$database/SQLT0000.0" bs=1M count=4 conv=notrunc status=none
rm -f "$database/SQLDBCON"
cmp -s "$database/SQLT0000.0" "$work/snapshot/SAMPLE/SQLT0000.0" && fail "damage did not take"
echo "SQLT0000.0 overwritten in part, SQLDBCON removed"

step "session 2: restore and compare (test Coordinator)"
drive --open --restore "$work/SAMPLE.zip" 'DB2\\DB2INST1\\SAMPLE' \
  --compare "$work/snapshot/SAMPLE" "$database" --close || fail "session 2 failed"

step "stop the agent"
t=$(now)
kill -INT "$agent_pid"
status=0
wait "$agent_pid" || status=$?
agent_pid=""
echo "exit code $status after $(since "$t")"
echo "--- agent log ($log)"
sed 's/^/    /' "$log"
[ "$status" -eq 0 ] || fail "the agent exited with $status"

kill -TERM "$naming_pid" 2>/dev/null || true
wait "$naming_pid" 2>/dev/null || true
naming_pid=""
echo
echo "demo done in $(since "$start"): backup, restore and compare succeeded; everything started was stopped"
