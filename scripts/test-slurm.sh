#!/usr/bin/env bash
# Tests scripts/slurm-array.sh on a one-node Slurm cluster started on this
# machine: munged, slurmctld and slurmd with a configuration generated under a
# temporary folder. Converts 20 files as an array of 4 tasks and compares every
# output byte for byte with batch mode's own. Stops the daemons by their
# process ids and removes the folder, whatever happens. Needs root (the
# daemons run as root) and build/mirava-cli (./test.sh builds it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cli=$(realpath "${MIRAVA_CLI:-$root/build/mirava-cli}")
if [ "$(id -u)" != 0 ]; then
  echo "test-slurm: not run, the Slurm and munge daemons it starts need root" >&2
  exit 0
fi
"$root/scripts/install-deps.sh"
[ -x "$cli" ] || { echo "test-slurm: $cli is not built" >&2; exit 1; }

tmp=$(mktemp -d /tmp/mirava-slurm.XXXXXX)
pids=()
cleanup() {
  for pidfile in "$tmp"/slurmd.pid "$tmp"/slurmctld.pid "$tmp"/munge/pid; do
    [ -s "$pidfile" ] || continue
    pid=$(cat "$pidfile")
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  done
  rm -rf "$tmp"
}
trap cleanup EXIT

# Twenty inputs in four formats, each a different window of the samples.
mkdir -p "$tmp/in" "$tmp/out-batch" "$tmp/out-slurm"
formats=(ERS GTiff BMP ERS)
extensions=(ers tif bmp ers)
: > "$tmp/batch.txt"
: > "$tmp/slurm.txt"
for i in $(seq 0 19); do
  f=$((i % 4))
  name="sheet$i.${extensions[$f]}"
  if [ "${formats[$f]}" = BMP ]; then
    gdal_translate -q -a_nodata none -of BMP -srcwin "$i" 0 40 30 "$root/samples/logo.tif" "$tmp/in/$name"
  else
    gdal_translate -q -of "${formats[$f]}" -srcwin "$i" "$i" 50 40 "$root/samples/elev.ers" "$tmp/in/$name"
  fi
  out=$([ $((i % 2)) = 0 ] && echo tif || echo ers)
  printf '%s\t%s\t%s\n' "$tmp/in/$name" "$tmp/out-batch/sheet$i.$out" $((i % 6)) >> "$tmp/batch.txt"
  printf '%s\t%s\t%s\n' "$tmp/in/$name" "$tmp/out-slurm/sheet$i.$out" $((i % 6)) >> "$tmp/slurm.txt"
done
"$cli" -l "$tmp/batch.txt" -j 2 > /dev/null 2>&1

# The cluster: one node with this machine's processors.
mkdir -p "$tmp/munge" "$tmp/state" "$tmp/spool" "$tmp/log"
dd if=/dev/urandom of="$tmp/munge/key" bs=1024 count=1 status=none
chmod 400 "$tmp/munge/key"
munged --force --key-file="$tmp/munge/key" --socket="$tmp/munge/socket" \
  --pid-file="$tmp/munge/pid" --log-file="$tmp/munge/log" --seed-file="$tmp/munge/seed"
host=$(hostname -s)
port=$((20000 + RANDOM % 20000))
cat > "$tmp/slurm.conf" <<CONF
ClusterName=mirava-test
SlurmctldHost=$host
SlurmUser=root
SlurmdUser=root
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
AuthInfo=socket=$tmp/munge/socket
CredType=cred/munge
StateSaveLocation=$tmp/state
SlurmdSpoolDir=$tmp/spool
SlurmctldPidFile=$tmp/slurmctld.pid
SlurmdPidFile=$tmp/slurmd.pid
SlurmctldLogFile=$tmp/log/slurmctld.log
SlurmdLogFile=$tmp/log/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
MpiDefault=none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
NodeName=$host CPUs=$(nproc) State=UNKNOWN
PartitionName=main Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$tmp/slurm.conf"
slurmctld -f "$SLURM_CONF"
slurmd -f "$SLURM_CONF"
for _ in $(seq 100); do
  sinfo -h -o %t 2>/dev/null | grep -q idle && break
  sleep 0.2
done

read -r array gather < <(MIRAVA_CLI="$cli" "$root/scripts/slurm-array.sh" \
  "$tmp/slurm.txt" "$tmp/report.jsonl" 4)
for _ in $(seq 600); do
  [ -z "$(squeue -h -j "$array,$gather" 2>/dev/null)" ] && break
  sleep 0.2
done

fail() { echo "test-slurm: $*" >&2; tail -n 20 "$tmp"/log/*.log "$tmp"/report.jsonl.parts/* >&2 || true; exit 1; }
[ -f "$tmp/report.jsonl" ] || fail "no gathered report"
[ "$(grep -c '"status":"succeeded"' "$tmp/report.jsonl")" = 20 ] || fail "not 20 files succeeded"
[ "$(ls "$tmp/out-batch")" = "$(ls "$tmp/out-slurm")" ] || fail "the outputs' names differ"
# ER Mapper headers carry the time they were written, and nothing else differs.
for f in "$tmp"/out-batch/*; do
  cmp -s <(grep -av '^  LastUpdated = ' "$f") \
    <(grep -av '^  LastUpdated = ' "$tmp/out-slurm/$(basename "$f")") ||
    fail "$(basename "$f") differs"
done
echo "test-slurm: 20 files through a 4-task Slurm array, byte for byte as batch mode"
