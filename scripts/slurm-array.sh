#!/usr/bin/env bash
# Runs a list of Mirava jobs (input, output and kind separated by tabs, one a
# line) as a Slurm job array: each array task converts one slice of the list
# with mirava-cli's batch mode, and a last job gathers the tasks' reports.
#
#   scripts/slurm-array.sh LIST REPORT [TASKS [SBATCH OPTIONS...]]
#
# TASKS (default 10) array tasks each take every TASKS-th line of LIST; a task
# runs as many jobs at once as it has CPUs (sbatch -c N). Each task checks the
# whole list first, so a bad line or a clash stops every task before anything
# is written. Tasks skip outputs that are complete (--skip-existing), so the
# same command resumes a stopped or partly failed array. REPORT gets one JSON
# line per file once the array has ended; the tasks' own reports and logs are
# in REPORT.parts/. MIRAVA_CLI names the program (default: mirava-cli on the
# PATH, else build/mirava-cli of this checkout). Prints the array's job id and
# the gathering job's id.
set -euo pipefail

case "${1:-}" in
  --task)  # inside an array task: LIST PARTS CLI
    exec "$4" -l "$2" --slice "$SLURM_ARRAY_TASK_ID/$SLURM_ARRAY_TASK_COUNT" \
      -j "${SLURM_CPUS_PER_TASK:-1}" --skip-existing \
      --report "$3/task-$SLURM_ARRAY_TASK_ID.jsonl"
    ;;
  --gather)  # after the array: PARTS REPORT
    cat "$2"/task-*.jsonl > "$3"
    for status in succeeded failed skipped aborted "not started"; do
      printf '%s %s\n' "$(grep -c "\"status\":\"$status\"" "$3" || true)" "$status"
    done
    exit 0
    ;;
esac

if [ $# -lt 2 ]; then
  sed -n '2,18s/^# \{0,1\}//p' "$0" >&2
  exit 2
fi
list=$(realpath "$1")
report=$(realpath -m "$2")
tasks=${3:-10}
shift $(($# < 3 ? $# : 3))
self=$(realpath "$0")
cli=${MIRAVA_CLI:-$(command -v mirava-cli || echo "$(dirname "$self")/../build/mirava-cli")}
cli=$(realpath "$cli")
parts="$report.parts"
rm -rf "$parts"
mkdir -p "$parts"
array=$(sbatch --parsable --job-name=mirava --array="0-$((tasks - 1))" \
  --output="$parts/task-%a.log" "$@" "$self" --task "$list" "$parts" "$cli")
gather=$(sbatch --parsable --job-name=mirava-gather --dependency="afterany:$array" \
  --output="$parts/gather.log" "$self" --gather "$parts" "$report")
echo "$array $gather"
