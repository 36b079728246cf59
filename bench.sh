#!/usr/bin/env bash
# Benchmark: mirava-cli against cp, libvips and gdal_translate on the same
# data, and batch mode against a loop of single jobs and GNU parallel. Not part
# of the tests. Usage: ./bench.sh [runs] [sizes] [case] [output]
#   runs   how many times each command runs (median reported), default 3
#   sizes  "small", "large" (256 MiB / 1 GiB of cells), "batch" (64 files of
#          16 MiB) or "both" (all three), default both; "ooc" (4 GiB in a
#          1 GiB memory cgroup), "linear" (256 MiB to 4 GiB, in memory and
#          out of core), "jpeg" (8000 x 8000 JPEGs placed without loss,
#          beside jpegtran), "compressed" (1 GiB Deflate-compressed tiled
#          GeoTIFFs into uncompressed and Deflate TIFFs) or "tight" (quarter
#          turns of 256 MiB in memory cgroups of 32 to 96 MiB: each finishes or
#          is reported killed; "tight formats": the formats that hold whole
#          images or tiles, 183 MiB in 32 MiB), "jp2" (a Sentinel-2 band as
#          JPEG 2000 into GeoTIFF beside gdal_translate and opj_decompress, and
#          an 8-bit RGB raster encoded losslessly beside gdal_translate) or "cog"
#          (an 8-bit RGB GeoTIFF into a Deflate cloud-optimised GeoTIFF with
#          AVERAGE overviews, kinds 0 and 3, beside GDAL's COG driver)
#   case   with "compressed": "8" (8-bit RGB) or "16" (16-bit elevation)
#          alone, default both; with "small" or "large" the same, "32"
#          (32-bit float) or "rgba" (16-bit RGBA) alone, default all, so that
#          "./bench.sh 1 large 8" fits a turn of the benchmark lock; with
#          "linear", "memory" leaves out the runs out of core; with "cog" the
#          raster's side in pixels, default 18918 (1 GiB of cells)
#   output with "compressed": "none" (uncompressed TIFF outputs) or "deflate"
#          alone, default both. One case into one output takes two to five
#          minutes, the 16-bit case into Deflate some eleven: each fits a turn
#          of the shared benchmark lock where the whole mode does not
set -euo pipefail
cd "$(dirname "$0")"
# The kernel shares the processors between sessions (autogroups) whatever the
# nice values of their tasks, so a build at nice 19 in another session took an
# equal share from the benchmark. The benchmark runs in a session of its own,
# weighted against the others as a nice 0 task is against nice 19 ones.
if [ -z "${BENCH_SESSION:-}" ] && [ -w /proc/self/autogroup ]; then
  exec env BENCH_SESSION=1 setsid -w bash -c 'echo -19 > /proc/self/autogroup; exec "$0" "$@"' "$0" "$@"
fi
RUNS=${1:-3}
SIZES=${2:-both}
CASE=${3:-both}
OUTPUT=${4:-both}
scripts/install-deps.sh
missing=()
wanted_packages=(libvips-tools bc parallel time libjpeg-turbo-progs libopenjp2-tools)
# GDAL is the COG section's only peer.
[ "$SIZES" = cog ] && wanted_packages=(bc time)
for p in "${wanted_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
fi
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build --target mirava-cli >/dev/null
CLI=$PWD/build/mirava-cli
WORK=${BENCH_DIR:-$(mktemp -d /var/tmp/mirava-bench.XXXXXX)}
trap 'rm -rf "$WORK"' EXIT

echo "# Machine"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores"
echo "memory: $(free -g | awk '/Mem:/ {print $2}') GiB; disk: $(df -h "$WORK" | awk 'NR==2 {print $1, $2}')"
echo "tools: $(vips --version 2>/dev/null || echo "no vips"), $(gdal_translate --version | cut -d, -f1)"
echo "load before: $(cut -d" " -f1-3 /proc/loadavg) (other sessions' builds and tests may run beside it, at nice 19)"
if [ "$SIZES" = linear ]; then
  echo "runs per command: $RUNS (in memory the best shown, files warm; out of core the median, the files' cached pages dropped before each run)"
elif [ "$SIZES" = ooc ] || [ "$SIZES" = tight ]; then
  echo "runs per command: $RUNS (median shown); the files' cached pages dropped before each run"
else
  echo "runs per command: $RUNS (median shown); files warm in the page cache"
fi
echo

# The command's wall time in seconds.
timed() {
  local start end
  start=$(date +%s.%N)
  "$@" >/dev/null 2>&1
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

# Peak memory that is not file mapping (anonymous RSS) in MiB, sampled while
# the command runs. Sampling forks a reader every 10 ms, so it has a run of
# its own rather than disturbing the timed ones.
peak_anon() {
  local pid peak=0 anon
  "$@" >/dev/null 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    anon=$(awk '/RssAnon/ {print $2}' /proc/$pid/status 2>/dev/null || echo 0)
    [ -n "$anon" ] && [ "$anon" -gt "$peak" ] && peak=$anon
    sleep 0.01
  done
  wait "$pid" || true
  echo $((peak / 1024))
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# run NAME CLEANUP COMMAND...: prints "NAME median_seconds peak_MiB"
run() {
  local name=$1 cleanup=$2; shift 2
  local times=() peak
  for ((i = 0; i < RUNS; i++)); do
    rm -f $cleanup
    # Earlier runs' dirty pages would otherwise throttle this one's writes.
    sync
    times+=("$(timed "$@")")
  done
  rm -f $cleanup
  sync
  peak=$(peak_anon "$@")
  rm -f $cleanup
  printf '%s %s %s\n' "$name" "$(printf '%s\n' "${times[@]}" | median)" "$peak"
}

make_ers() {  # name columns rows bands celltype bytes
  local name=$1 cols=$2 rows=$3 bands=$4 type=$5 bytes=$6
  head -c $((cols * rows * bands * bytes)) /dev/urandom > "$WORK/$name"
  printf 'DatasetHeader Begin\n\tVersion = "6.0"\n\tDataSetType = ERStorage\n\tDataType = Raster\n\tByteOrder = LSBFirst\n\tCoordinateSpace Begin\n\t\tDatum = "WGS84"\n\t\tProjection = "GEODETIC"\n\t\tCoordinateType = EN\n\tCoordinateSpace End\n\tRasterInfo Begin\n\t\tCellType = %s\n\t\tNrOfLines = %d\n\t\tNrOfCellsPerLine = %d\n\t\tNrOfBands = %d\n\t\tCellInfo Begin\n\t\t\tXdimension = 0.5\n\t\t\tYdimension = 0.5\n\t\tCellInfo End\n\t\tRegistrationCoord Begin\n\t\t\tEastings = 500000\n\t\t\tNorthings = 6000000\n\t\tRegistrationCoord End\n\tRasterInfo End\nDatasetHeader End\n' \
    "$type" "$rows" "$cols" "$bands" > "$WORK/$name.ers"
}

report() {  # reads "name seconds peak" lines; ratios to cp and to the peer
  awk -v cp="$1" '
    { name[NR]=$1; t[NR]=$2; m[NR]=$3; peer[NR]=$4 }
    END {
      printf "%-34s %9s %8s %9s %9s\n", "command", "median s", "x cp", "x peer", "peak MiB"
      for (i = 1; i <= NR; i++) {
        pv = ""
        np = split(peer[i], peers, ",")
        for (k = 1; k <= np; k++)
          for (j = 1; j <= NR; j++)
            if (name[j] == peers[k]) pv = pv (pv == "" ? "" : "/") sprintf("%.2f", t[i] / t[j])
        printf "%-34s %9.3f %8.2f %9s %9d\n", name[i], t[i], t[i] / cp, pv, m[i]
      }
    }'
}

bench_case() {  # label cols rows bands celltype bytes vipsformat
  local label=$1 cols=$2 rows=$3 bands=$4 type=$5 bytes=$6
  echo "## $label: $cols x $rows x $bands, $((cols * rows * bands * bytes / 1048576)) MiB of cells"
  make_ers in "$cols" "$rows" "$bands" "$type" "$bytes"
  gdal_translate -q -of GTiff -co TILED=NO -co COMPRESS=NONE "$WORK/in.ers" "$WORK/in.tif"
  vips copy "$WORK/in.tif" "$WORK/in.v" 2>/dev/null
  # The files just made are still on their way to the disk, and memory freed
  # long ago is slow to touch again on this virtual machine: an untimed copy
  # first, so that the timed cp meets what every later command meets (the
  # first cp took up to four times its usual time).
  sync
  cp "$WORK/in" "$WORK/copy"
  rm -f "$WORK/copy"
  sync
  local lines=()
  lines+=("$(run cp "$WORK/copy" cp "$WORK/in" "$WORK/copy")")
  # Kind 2 turns counterclockwise, as vips's d270 does.
  local kinds=(0 1 4 5 2 3)
  local names=(none hflip vflip rot180 rot90ccw rot90cw)
  local peers=(- vips-flip-h.v vips-flip-v.v vips-rot180.v vips-rot270.v vips-rot90.v)
  for n in 0 1 2 3 4 5; do
    lines+=("$(run "mirava-ers-${names[$n]}" "$WORK/o $WORK/o.ers" "$CLI" "$WORK/in.ers" "$WORK/o.ers" "/${kinds[$n]}") ${peers[$n]}")
  done
  local tiff_ok=0
  "$CLI" "$WORK/in.tif" "$WORK/probe.tif" /0 >/dev/null 2>&1 && tiff_ok=1
  # The probe's gigabyte would otherwise still be written back during the
  # first timed TIFF runs.
  rm -f "$WORK/probe.tif" "$WORK/probe.tfw"
  sync
  if ((tiff_ok)); then
    local tpeers=(gdal_translate vips-flip-h.tif vips-flip-v.tif vips-rot180.tif vips-rot270.tif vips-rot90.tif)
    for n in 0 1 2 3 4 5; do
      lines+=("$(run "mirava-tif-${names[$n]}" "$WORK/o.tif $WORK/o.tfw" "$CLI" "$WORK/in.tif" "$WORK/o.tif" "/${kinds[$n]}") ${tpeers[$n]}")
    done
  fi
  lines+=("$(run gdal_translate "$WORK/g.tif" gdal_translate -q -of GTiff -co COMPRESS=NONE "$WORK/in.tif" "$WORK/g.tif")")
  for fmt in v tif; do
    lines+=("$(run vips-flip-h.$fmt "$WORK/vo.$fmt" vips flip "$WORK/in.$fmt" "$WORK/vo.$fmt" horizontal)")
    lines+=("$(run vips-flip-v.$fmt "$WORK/vo.$fmt" vips flip "$WORK/in.$fmt" "$WORK/vo.$fmt" vertical)")
    lines+=("$(run vips-rot180.$fmt "$WORK/vo.$fmt" vips rot "$WORK/in.$fmt" "$WORK/vo.$fmt" d180)")
    lines+=("$(run vips-rot90.$fmt "$WORK/vo.$fmt" vips rot "$WORK/in.$fmt" "$WORK/vo.$fmt" d90)")
    lines+=("$(run vips-rot270.$fmt "$WORK/vo.$fmt" vips rot "$WORK/in.$fmt" "$WORK/vo.$fmt" d270)")
  done
  local cp_time
  cp_time=$(printf '%s\n' "${lines[0]}" | awk '{print $2}')
  printf '%s\n' "${lines[@]}" | report "$cp_time"
  echo
  rm -f "$WORK"/in* "$WORK"/o* "$WORK"/vo* "$WORK"/g.tif
}

# Runs a command in a memory cgroup of its own, created here and removed
# after it, limited to OOC_LIMIT_MIB (cgroup v2 memory.max or v1
# memory.limit_in_bytes).
OOC_LIMIT_MIB=${OOC_LIMIT_MIB:-1024}
in_cgroup() {
  local cg limit=$((OOC_LIMIT_MIB << 20)) rc=0
  if [ -f /sys/fs/cgroup/cgroup.controllers ]; then
    grep -qw memory /sys/fs/cgroup/cgroup.subtree_control ||
      echo +memory > /sys/fs/cgroup/cgroup.subtree_control
    cg=/sys/fs/cgroup/mirava-bench.$$
    mkdir "$cg" && echo "$limit" > "$cg/memory.max"
    [ -f "$cg/memory.swap.max" ] && echo 0 > "$cg/memory.swap.max"
  else
    cg=/sys/fs/cgroup/memory/mirava-bench.$$
    mkdir "$cg" && echo "$limit" > "$cg/memory.limit_in_bytes"
  fi
  sh -c 'echo $$ > "$0/cgroup.procs" && exec "$@"' "$cg" "$@" || rc=$?
  # The cgroup can be removed once its last process has gone.
  for ((t = 0; t < 50; t++)); do rmdir "$cg" 2>/dev/null && break; sleep 0.1; done
  return "$rc"
}

# Drops the given files' pages from the page cache (not the whole
# machine's: other work shares it).
drop_cached() {
  local f
  for f; do [ -f "$f" ] && dd if="$f" iflag=nocache count=0 status=none; done
  return 0
}

# ooc_run NAME SECONDS CLEANUP COMMAND...: prints "NAME median_seconds [cut]";
# a command still running after SECONDS is stopped and reported as cut off.
ooc_run() {
  local name=$1 limit=$2 cleanup=$3; shift 3
  local times=() cut="" start end rc
  for ((i = 0; i < RUNS; i++)); do
    rm -f $cleanup
    sync
    drop_cached "$WORK"/big*
    rc=0
    start=$(date +%s.%N)
    in_cgroup timeout "$limit" "$@" >/dev/null 2>&1 || rc=$?
    end=$(date +%s.%N)
    [ "$rc" = 124 ] && cut="cut-off-at-${limit}s"
    [ "$rc" != 0 ] && [ "$rc" != 124 ] && cut="failed-$rc"
    times+=("$(echo "$end - $start" | bc -l)")
  done
  rm -f $cleanup
  sync
  printf '%s %s %s\n' "$name" "$(printf '%s\n' "${times[@]}" | median)" "$cut"
}

bench_out_of_core() {
  local side=65536  # 4 GiB of 8-bit cells
  echo "## Out of core: $side x $side x 1 8-bit, 4 GiB, memory cgroup of $OOC_LIMIT_MIB MiB"
  make_ers big "$side" "$side" 1 Unsigned8BitInteger 1
  vips rawload "$WORK/big" "$WORK/big.v" "$side" "$side" 1
  local lines=()
  lines+=("$(ooc_run cp 600 "$WORK/copy" cp "$WORK/big" "$WORK/copy")")
  local kinds=(0 1 4 5 2 3)
  local names=(none hflip vflip rot180 rot90ccw rot90cw)
  for n in 0 1 2 3 4 5; do
    lines+=("$(ooc_run "mirava-ers-${names[$n]}" 600 "$WORK/o $WORK/o.ers" \
      "$CLI" "$WORK/big.ers" "$WORK/o.ers" "/${kinds[$n]}")")
  done
  lines+=("$(ooc_run vips-rot90.v "${OOC_VIPS_SECONDS:-120}" "$WORK/vo.v" \
    vips rot "$WORK/big.v" "$WORK/vo.v" d90)")
  local cp_time
  cp_time=$(printf '%s\n' "${lines[0]}" | awk '{print $2}')
  printf '%s\n' "${lines[@]}" | awk -v cp="$cp_time" '
    BEGIN { printf "%-34s %9s %8s\n", "command", "median s", "x cp" }
    { printf "%-34s %9.3f %8.2f %s\n", $1, $2, $2 / cp, $3 }'
  echo
  rm -f "$WORK"/big* "$WORK"/o* "$WORK"/vo*
}

# Time against cells: 8-bit rasters of 256 MiB, 1 GiB and 4 GiB, cp and
# every kind, in memory (files warm, best of RUNS) and out of core (a memory
# cgroup of a quarter of the raster, the files' pages dropped, median of
# RUNS). Seconds per GiB, and how that grew from the smallest raster.
bench_linear() {
  local sides=(16384 32768 65536) kinds=(0 1 4 5 2 3)
  local names=(none hflip vflip rot180 rot90ccw rot90cw)
  echo "## Time against cells: 8-bit rasters of 256 MiB, 1 GiB and 4 GiB, seconds per GiB"
  local lines=() side mib t n
  for side in "${sides[@]}"; do
    mib=$((side * side >> 20))
    make_ers big "$side" "$side" 1 Unsigned8BitInteger 1
    cat "$WORK/big" >/dev/null
    t=$(for ((i = 0; i < RUNS; i++)); do rm -f "$WORK/copy"; sync; timed cp "$WORK/big" "$WORK/copy"; done | sort -n | head -1)
    lines+=("cp memory $mib $t")
    for n in 0 1 2 3 4 5; do
      t=$(for ((i = 0; i < RUNS; i++)); do
        rm -f "$WORK/o" "$WORK/o.ers"; sync
        timed "$CLI" "$WORK/big.ers" "$WORK/o.ers" "/${kinds[$n]}"
      done | sort -n | head -1)
      lines+=("mirava-${names[$n]} memory $mib $t")
    done
    if [ "$CASE" = memory ]; then
      rm -f "$WORK"/big* "$WORK"/o* "$WORK/copy"
      continue
    fi
    OOC_LIMIT_MIB=$((mib / 4))
    lines+=("$(ooc_run cp 600 "$WORK/copy" cp "$WORK/big" "$WORK/copy" | awk -v m="$mib" '{print $1, "ooc", m, $2, $3}')")
    for n in 0 1 2 3 4 5; do
      lines+=("$(ooc_run "mirava-${names[$n]}" 600 "$WORK/o $WORK/o.ers" \
        "$CLI" "$WORK/big.ers" "$WORK/o.ers" "/${kinds[$n]}" | awk -v m="$mib" '{print $1, "ooc", m, $2, $3}')")
    done
    rm -f "$WORK"/big* "$WORK"/o* "$WORK/copy"
  done
  printf '%s\n' "${lines[@]}" | awk '
    { key = $1 " " $2; if (!(key in first)) { order[++n] = key; first[key] = $4 * 1024 / $3 }
      row[key] = row[key] sprintf(" %8.3f", $4 * 1024 / $3) ($5 ? "(" $5 ")" : ""); last[key] = $4 * 1024 / $3 }
    END {
      printf "%-24s %8s %8s %8s %12s\n", "command", "256 MiB", "1 GiB", "4 GiB", "4 GiB/256"
      for (i = 1; i <= n; i++) printf "%-24s%s %12.2f\n", order[i], row[order[i]], last[order[i]] / first[order[i]]
    }'
  echo
}

# Quarter turns in memory cgroups far smaller than their input, where the
# process and the page cache need a fair share beside the stripe: each run
# must finish (a kill by the cgroup's out-of-memory killer shows as
# failed-137).
bench_tight() {
  local side=16384  # 256 MiB of 8-bit cells
  echo "## Tight memory: $side x $side x 1 8-bit, 256 MiB, memory cgroups of 32 to 96 MiB"
  make_ers big "$side" "$side" 1 Unsigned8BitInteger 1
  local lines=() limit
  for limit in 32 48 64 96; do
    OOC_LIMIT_MIB=$limit
    lines+=("$(ooc_run "cp-in-$limit-MiB" 600 "$WORK/copy" cp "$WORK/big" "$WORK/copy")")
    lines+=("$(ooc_run "mirava-ers-rot90ccw-in-$limit-MiB" 600 "$WORK/o $WORK/o.ers" \
      "$CLI" "$WORK/big.ers" "$WORK/o.ers" /2)")
    lines+=("$(ooc_run "mirava-ers-rot90cw-in-$limit-MiB" 600 "$WORK/o $WORK/o.ers" \
      "$CLI" "$WORK/big.ers" "$WORK/o.ers" /3)")
  done
  printf '%s\n' "${lines[@]}" | awk '
    BEGIN { printf "%-34s %9s %s\n", "command", "median s", "x cp in the same limit" }
    /^cp-/ { cp = $2 }
    { printf "%-34s %9.3f %8.2f %s\n", $1, $2, $2 / cp, $3 }'
  echo
  rm -f "$WORK"/big* "$WORK"/o* "$WORK/copy"
}

if [ "$SIZES" = ooc ]; then
  bench_out_of_core
fi
# Every output and input that holds a whole image or takes its cells in
# tiles, for a 192 MB raster in a memory cgroup of 32 MiB beside the same
# job without a limit: each must finish (failed-137 is the out-of-memory
# killer), and within a few times its time without the limit.
bench_tight_formats() {
  echo "## Tight memory, formats: 8000 x 8000 x 3 8-bit, 183 MiB, memory cgroup of 32 MiB"
  make_ers big 8000 8000 3 Unsigned8BitInteger 1
  "$CLI" "$WORK/big.ers" "$WORK/big.jpg" >/dev/null 2>&1
  "$CLI" "$WORK/big.ers" "$WORK/big-deflate.tif" -co COMPRESS=DEFLATE >/dev/null 2>&1
  local lines=() name args limit
  local cases=("jpeg-out:big.ers o.jpg" "ecw-out:big.ers o.ecw" "jpeg-in:big.jpg o.ers"
    "deflate-in-rot90cw:big-deflate.tif o.ers /3" "deflate-out-rot90cw:big.ers o.tif /3 -co COMPRESS=DEFLATE"
    "bmp-rot90cw:big.ers o.bmp /3" "rsw-rot90cw:big.ers o.rsw /3")
  for c in "${cases[@]}"; do
    name=${c%%:*}
    read -ra args <<< "${c#*:}"
    for limit in 0 32; do
      OOC_LIMIT_MIB=$([ "$limit" = 0 ] && echo 1048576 || echo "$limit")
      lines+=("$(ooc_run "$name-$([ "$limit" = 0 ] && echo free || echo "in-$limit-MiB")" 600 \
        "$WORK/o $WORK/o.*" env -C "$WORK" "$CLI" "${args[@]}")")
    done
  done
  printf '%s\n' "${lines[@]}" | awk '
    BEGIN { printf "%-34s %9s %s\n", "command", "median s", "x without a limit" }
    /-free / { free = $2 }
    { printf "%-34s %9.3f %8.2f %s\n", $1, $2, $2 / free, $3 }'
  echo
  rm -f "$WORK"/big* "$WORK"/o*
}

if [ "$SIZES" = tight ]; then
  if [ "$CASE" = formats ]; then bench_tight_formats; else bench_tight; fi
fi
if [ "$SIZES" = linear ]; then
  bench_linear
fi
# The cases of "small" and "large" that CASE selects.
wanted() { [ "$CASE" = both ] || [ "$CASE" = "$1" ]; }
if [ "$SIZES" = small ] || [ "$SIZES" = both ]; then
  if wanted 8; then bench_case "8-bit RGB, 256 MiB" 9459 9459 3 Unsigned8BitInteger 1; fi
  if wanted 16; then bench_case "16-bit elevation, 256 MiB" 11585 11585 1 Signed16BitInteger 2; fi
  if wanted 32; then bench_case "32-bit float, 256 MiB" 8192 8192 1 IEEE4ByteReal 4; fi
  # 8-byte pixels in TIFF (ER Mapper keeps the bands apart).
  if wanted rgba; then bench_case "16-bit RGBA, 256 MiB" 5792 5792 4 Unsigned16BitInteger 2; fi
fi
if [ "$SIZES" = large ] || [ "$SIZES" = both ]; then
  if wanted 8; then bench_case "8-bit RGB, 1 GiB" 18918 18918 3 Unsigned8BitInteger 1; fi
  if wanted 16; then bench_case "16-bit elevation, 1 GiB" 23170 23170 1 Signed16BitInteger 2; fi
  if wanted 32; then bench_case "32-bit float, 1 GiB" 16384 16384 1 IEEE4ByteReal 4; fi
  if wanted rgba; then bench_case "16-bit RGBA, 1 GiB" 11585 11585 4 Unsigned16BitInteger 2; fi
fi

# A 1 GiB Deflate-compressed tiled GeoTIFF (horizontal predictor) into an
# uncompressed TIFF and into a Deflate TIFF of the same layout (or the one of
# them OUTPUT names), beside vips with the same compression and gdal_translate.
# Its cells are a sample stretched over it with some noise, which compresses
# about as real imagery does; GDAL gives it a georeference.
compressed_case() {  # label sample bands gdaltype vipstype cols rows
  local label=$1 sample=$2 bands=$3 type=$4 vtype=$5 cols=$6 rows=$7
  local co=(-co COMPRESS=DEFLATE -co TILED=YES -co PREDICTOR=2)
  local vco="[compression=deflate,predictor=horizontal,tile,tile-width=256,tile-height=256]"
  {
    gdal_translate -q -r bilinear -outsize "$cols" "$rows" -ot "$type" "samples/$sample" "$WORK/s.tif"
    vips gaussnoise "$WORK/n.v" "$cols" "$rows" --sigma 3
    vips add "$WORK/s.tif" "$WORK/n.v" "$WORK/sum.v"
    rm -f "$WORK/s.tif" "$WORK/n.v"
    vips cast "$WORK/sum.v" "$WORK/in.tif$vco" "$vtype"
    rm -f "$WORK/sum.v"
    gdal_edit.py -a_srs EPSG:32632 -a_ullr 500000 6000000 $((500000 + cols)) $((6000000 - rows)) \
      "$WORK/in.tif"
  } 2>/dev/null
  echo "## $label: $cols x $rows x $bands, Deflate tiled, $(($(stat -c %s "$WORK/in.tif") / 1048576)) MiB on disk"
  # Memory freed long ago is slow to touch again on this virtual machine
  # (the host took it back): an untimed gigabyte written and removed first,
  # as every later command finds one freed by the command before it.
  gdal_translate -q -co COMPRESS=NONE "$WORK/in.tif" "$WORK/warm.tif"
  rm -f "$WORK/warm.tif"
  sync
  local lines=()
  lines+=("$(run cp "$WORK/copy" cp "$WORK/in.tif" "$WORK/copy")")
  local kinds=(0 1 3) names=(none hflip rot90cw) vips_ops=(copy flip-h rot90)
  local out suffix opts gopts n
  for out in none deflate; do
    [ "$OUTPUT" = both ] || [ "$OUTPUT" = $out ] || continue
    # gdal_translate takes the first of two COMPRESS options.
    suffix="" opts=() gopts=(-co COMPRESS=NONE)
    [ $out = deflate ] && suffix=-deflate opts=("${co[@]}") gopts=("${co[@]}")
    # Kind 0's peers: gdal_translate and vips copy.
    for n in 0 1 2; do
      local peer=vips-${vips_ops[$n]}$suffix
      ((n == 0)) && peer=gdal_translate$suffix,$peer
      lines+=("$(run "mirava-${names[$n]}$suffix" "$WORK/o.tif $WORK/o.tfw" \
        "$CLI" "$WORK/in.tif" "$WORK/o.tif" "/${kinds[$n]}" "${opts[@]}") $peer")
    done
    lines+=("$(run "gdal_translate$suffix" "$WORK/g.tif" gdal_translate -q "${gopts[@]}" \
      "$WORK/in.tif" "$WORK/g.tif")")
    local vopt=""
    [ $out = deflate ] && vopt=$vco
    lines+=("$(run "vips-copy$suffix" "$WORK/vo.tif" vips copy "$WORK/in.tif" "$WORK/vo.tif$vopt")")
    lines+=("$(run "vips-flip-h$suffix" "$WORK/vo.tif" vips flip "$WORK/in.tif" "$WORK/vo.tif$vopt" horizontal)")
    lines+=("$(run "vips-rot90$suffix" "$WORK/vo.tif" vips rot "$WORK/in.tif" "$WORK/vo.tif$vopt" d90)")
  done
  local cp_time
  cp_time=$(printf '%s\n' "${lines[0]}" | awk '{print $2}')
  printf '%s\n' "${lines[@]}" | report "$cp_time"
  echo
  rm -f "$WORK"/in* "$WORK"/o* "$WORK"/vo* "$WORK"/g.tif "$WORK/copy"
}

if [ "$SIZES" = compressed ]; then
  if [ "$CASE" = both ] || [ "$CASE" = 8 ]; then
    compressed_case "8-bit RGB, 1 GiB" logo.tif 3 Byte uchar 18918 18918
  fi
  if [ "$CASE" = both ] || [ "$CASE" = 16 ]; then
    compressed_case "16-bit elevation, 1 GiB" elev.tif 1 Int16 short 23170 23170
  fi
fi

# Many files: 64 rasters of 16 MiB turned by 90 degrees, by batch mode with one
# and two jobs at a time, by a shell loop of single jobs and by GNU parallel.
batch_case() {
  echo "## Batch: 64 files of 4096 x 4096 x 1 (16 MiB of cells each), kind 3"
  make_ers in 4096 4096 1 Unsigned8BitInteger 1
  mkdir -p "$WORK/many" "$WORK/bout"
  for i in $(seq -w 1 64); do
    cp "$WORK/in" "$WORK/many/sheet$i"
    cp "$WORK/in.ers" "$WORK/many/sheet$i.ers"
  done
  local out="$WORK/bout" lines=()
  local cleanup="$out/* $out/.*.complete"
  lines+=("$(run shell-loop "$cleanup" bash -c "for f in '$WORK'/many/*.ers; do '$CLI' \"\$f\" '$out'/\$(basename \"\$f\") /3; done")")
  lines+=("$(run batch-j1 "$cleanup" "$CLI" -o "$out" -e .ers -j 1 /3 "$WORK"/many/*.ers)")
  lines+=("$(run batch-j2 "$cleanup" "$CLI" -o "$out" -e .ers -j 2 /3 "$WORK"/many/*.ers)")
  lines+=("$(run parallel-j2 "$cleanup" parallel --will-cite -j 2 "$CLI" {} "$out"/{/} /3 ::: "$WORK"/many/*.ers)")
  local loop_time
  loop_time=$(printf '%s\n' "${lines[0]}" | awk '{print $2}')
  printf '%s\n' "${lines[@]}" | awk -v loop="$loop_time" '
    BEGIN { printf "%-34s %9s %12s %9s\n", "command", "median s", "loop / this", "peak MiB" }
    { printf "%-34s %9.3f %12.2f %9d\n", $1, $2, loop / $2, $3 }'
  echo
  rm -rf "$WORK"/in* "$WORK/many" "$out"
}

if [ "$SIZES" = batch ] || [ "$SIZES" = both ]; then
  batch_case
fi

# JPEG to JPEG without loss beside jpegtran on the same transform: median
# time, output size and peak resident memory (GNU time's maximum RSS, file
# pages included) of both, and our figure as a multiple of jpegtran's.
max_rss_kib() {
  local out
  out=$(mktemp)
  /usr/bin/time -f %M -o "$out" "$@" >/dev/null 2>&1 || true
  tail -1 "$out"
  rm -f "$out"
}

jpeg_case() {  # label file
  local label=$1 in=$2 k op ours theirs
  echo "## $label: $(stat -c %s "$in") bytes"
  printf '%-6s %9s %9s %7s %7s %9s %9s %7s\n' kind "mirava s" "jpegtran" "x time" "x size" \
    "mirava MiB" "jpegtran MiB" "x mem"
  for k in 1 3 5; do
    case $k in
      1) op=(-flip horizontal) ;;
      3) op=(-rotate 90) ;;
      5) op=(-rotate 180) ;;
    esac
    ours=$(run mirava "$WORK/m.jpg $WORK/m.jgw" "$CLI" "$in" "$WORK/m.jpg" "/$k" | awk '{print $2}')
    local oursSize oursRss theirSize theirRss
    oursRss=$(max_rss_kib "$CLI" "$in" "$WORK/m.jpg" "/$k")
    oursSize=$(stat -c %s "$WORK/m.jpg")
    theirs=$(run jpegtran "$WORK/t.jpg" jpegtran -copy all "${op[@]}" -outfile "$WORK/t.jpg" "$in" |
      awk '{print $2}')
    theirRss=$(max_rss_kib jpegtran -copy all "${op[@]}" -outfile "$WORK/t.jpg" "$in")
    theirSize=$(stat -c %s "$WORK/t.jpg")
    awk -v k="$k" -v a="$ours" -v b="$theirs" -v sa="$oursSize" -v sb="$theirSize" \
      -v ma="$oursRss" -v mb="$theirRss" 'BEGIN {
        printf "%-6s %9.3f %9.3f %7.2f %7.3f %9d %9d %7.2f\n", k, a, b, a / b, sa / sb,
          ma / 1024, mb / 1024, ma / mb }'
    rm -f "$WORK/m.jpg" "$WORK/m.jgw" "$WORK/t.jpg"
  done
  echo
}

# Photograph-like pictures: smooth noise of three scales with grain, as a
# quality 90 JPEG, RGB with 4:2:0 chroma and grey.
bench_jpeg() {
  local side=8000
  vips perlin "$WORK/r.v" $side $side --cell-size 97
  vips perlin "$WORK/g.v" $side $side --cell-size 211 --seed 3
  vips perlin "$WORK/b.v" $side $side --cell-size 53 --seed 7
  vips gaussnoise "$WORK/n.v" $side $side --sigma 6 --mean 0
  vips bandjoin "$WORK/r.v $WORK/g.v $WORK/b.v" "$WORK/rgb.v"
  vips linear "$WORK/rgb.v" "$WORK/lin.v" 110 128
  rm -f "$WORK/r.v" "$WORK/g.v" "$WORK/b.v" "$WORK/rgb.v"
  vips add "$WORK/lin.v" "$WORK/n.v" "$WORK/sum.v"
  vips cast "$WORK/sum.v" "$WORK/u.v" uchar
  rm -f "$WORK/lin.v" "$WORK/n.v" "$WORK/sum.v"
  vips jpegsave "$WORK/u.v" "$WORK/rgb.jpg" --Q 90 --subsample-mode on
  vips extract_band "$WORK/u.v" "$WORK/grey.v" 1
  vips jpegsave "$WORK/grey.v" "$WORK/grey.jpg" --Q 90
  rm -f "$WORK"/*.v
  jpeg_case "JPEG $side x $side RGB 4:2:0, quality 90" "$WORK/rgb.jpg"
  jpeg_case "JPEG $side x $side grey, quality 90" "$WORK/grey.jpg"
  rm -f "$WORK/rgb.jpg" "$WORK/grey.jpg"
}

if [ "$SIZES" = jpeg ]; then
  bench_jpeg
fi

# JPEG 2000 as Sentinel-2 ships a 10 m band: 10980 x 10980 16-bit cells of
# 12-bit values, lossless, tiles of 1024. Decoded into an uncompressed
# GeoTIFF by kinds 0 and 3, beside gdal_translate and opj_decompress (which
# writes the TIFF itself); peak resident memory (GNU time) of kind 0 and the
# peers. Then an 8-bit RGB raster encoded losslessly beside gdal_translate.
# OpenJPEG decodes and encodes for all three: where the times are alike, its
# codec is the limit.
bench_jp2() {
  local side=10980 rgb=8000 threads
  threads=$(nproc)
  {
    gdal_translate -q -r bilinear -outsize $side $side -ot UInt16 -scale -100 1500 0 4000 \
      samples/elev.tif "$WORK/s.tif"
    vips gaussnoise "$WORK/n.v" $side $side --sigma 20 --mean 40
    vips add "$WORK/s.tif" "$WORK/n.v" "$WORK/sum.v"
    vips cast "$WORK/sum.v" "$WORK/c.tif" ushort
    rm -f "$WORK/s.tif" "$WORK/n.v" "$WORK/sum.v"
    gdal_edit.py -a_srs EPSG:32632 -a_ullr 600000 5300040 709800 5190240 "$WORK/c.tif"
    gdal_translate -q -of JP2OpenJPEG -co REVERSIBLE=YES -co QUALITY=100 -co NBITS=12 \
      -co BLOCKXSIZE=1024 -co BLOCKYSIZE=1024 -co RESOLUTIONS=6 "$WORK/c.tif" "$WORK/in.jp2"
    rm -f "$WORK/c.tif"
  } 2>/dev/null
  echo "## Sentinel-2 band: $side x $side x 1, 12-bit values in 16-bit cells, lossless JPEG 2000, tiles 1024, $(($(stat -c %s "$WORK/in.jp2") / 1048576)) MiB on disk"
  local lines=()
  lines+=("$(run mirava-none "$WORK/o.tif $WORK/o.tfw" "$CLI" "$WORK/in.jp2" "$WORK/o.tif" /0) gdal_translate,opj_decompress")
  lines+=("$(run mirava-rot90cw "$WORK/o.tif $WORK/o.tfw" "$CLI" "$WORK/in.jp2" "$WORK/o.tif" /3) mirava-none")
  lines+=("$(run gdal_translate "$WORK/g.tif" gdal_translate -q -co COMPRESS=NONE "$WORK/in.jp2" "$WORK/g.tif")")
  lines+=("$(run opj_decompress "$WORK/d.tif" opj_decompress -threads "$threads" -i "$WORK/in.jp2" -o "$WORK/d.tif")")
  printf '%s\n' "${lines[@]}" | report "$(printf '%s\n' "${lines[0]}" | awk '{print $2}')"
  printf '%-16s %12s\n' "kind 0" "max RSS MiB"
  printf '%-16s %12d\n' mirava $(($(max_rss_kib "$CLI" "$WORK/in.jp2" "$WORK/o.tif" /0) / 1024))
  printf '%-16s %12d\n' gdal_translate $(($(max_rss_kib gdal_translate -q -co COMPRESS=NONE "$WORK/in.jp2" "$WORK/g.tif") / 1024))
  printf '%-16s %12d\n' opj_decompress $(($(max_rss_kib opj_decompress -threads "$threads" -i "$WORK/in.jp2" -o "$WORK/d.tif") / 1024))
  echo
  rm -f "$WORK"/in.jp2 "$WORK"/o.* "$WORK"/g.tif "$WORK"/d.tif
  {
    gdal_translate -q -r bilinear -outsize $rgb $rgb samples/logo.tif "$WORK/s.tif"
    vips gaussnoise "$WORK/n.v" $rgb $rgb --sigma 3
    vips add "$WORK/s.tif" "$WORK/n.v" "$WORK/sum.v"
    vips cast "$WORK/sum.v" "$WORK/rgb.tif" uchar
    rm -f "$WORK/s.tif" "$WORK/n.v" "$WORK/sum.v"
  } 2>/dev/null
  echo "## Lossless encoding: $rgb x $rgb x 3 bytes from an uncompressed TIFF"
  lines=()
  lines+=("$(run mirava-jp2 "$WORK/o.jp2" "$CLI" "$WORK/rgb.tif" "$WORK/o.jp2") gdal_translate-jp2")
  lines+=("$(run gdal_translate-jp2 "$WORK/g.jp2" gdal_translate -q -of JP2OpenJPEG -co REVERSIBLE=YES -co QUALITY=100 "$WORK/rgb.tif" "$WORK/g.jp2")")
  printf '%s\n' "${lines[@]}" | report "$(printf '%s\n' "${lines[0]}" | awk '{print $2}')"
  "$CLI" "$WORK/rgb.tif" "$WORK/o.jp2" >/dev/null 2>&1
  gdal_translate -q -of JP2OpenJPEG -co REVERSIBLE=YES -co QUALITY=100 "$WORK/rgb.tif" "$WORK/g.jp2"
  echo "sizes: mirava $(stat -c %s "$WORK/o.jp2") bytes, gdal_translate $(stat -c %s "$WORK/g.jp2") bytes"
  echo
  rm -f "$WORK"/rgb.tif "$WORK"/o.jp2 "$WORK"/g.jp2
}

if [ "$SIZES" = jp2 ]; then
  bench_jp2
fi

# An 8-bit RGB GeoTIFF (a sample stretched over it, with noise) into a Deflate
# COG with AVERAGE overviews: kind 0 beside gdal_translate -of COG, kind 3
# beside GDAL's turn (gdalwarp over the input with a quarter-turned
# geotransform, nearest, which gives the turned cells) followed by
# gdal_translate -of COG, the two timed together and their peak the larger.
# GDAL is asked for what Mirava does by default: a predictor and AVERAGE.
cog_case() {  # side
  local side=$1
  {
    gdal_translate -q -r bilinear -outsize "$side" "$side" -a_srs EPSG:32632 \
      -a_ullr 500000 6000000 $((500000 + side)) $((6000000 - side)) samples/logo.tif "$WORK/in.tif"
    /usr/bin/python3 -c '
import sys, numpy as np
from osgeo import gdal
d = gdal.Open(sys.argv[1], gdal.GA_Update)
rng = np.random.default_rng(1)
for y in range(0, d.RasterYSize, 512):
    n = min(512, d.RasterYSize - y)
    for b in range(d.RasterCount):
        band = d.GetRasterBand(b + 1)
        a = band.ReadAsArray(0, y, d.RasterXSize, n).astype(np.int16)
        a += rng.integers(-3, 4, a.shape, dtype=np.int16)
        band.WriteArray(np.clip(a, 0, 255).astype(np.uint8), 0, y)
' "$WORK/in.tif"
    gdal_translate -q -of VRT "$WORK/in.tif" "$WORK/turned.vrt"
    /usr/bin/python3 -c '
import sys
from osgeo import gdal
d = gdal.Open(sys.argv[1], gdal.GA_Update)
x0, size, _, y0, _, _ = d.GetGeoTransform()
d.SetGeoTransform([x0 + d.RasterYSize * size, 0, -size, y0, -size, 0])
' "$WORK/turned.vrt"
  } 2>/dev/null
  echo "## 8-bit RGB, $side x $side x 3, $((side * side * 3 / 1048576)) MiB of cells, into a Deflate COG"
  gdal_translate -q -co COMPRESS=NONE "$WORK/in.tif" "$WORK/warm.tif"
  rm -f "$WORK/warm.tif"
  sync
  local co=(-of COG -co COMPRESS=DEFLATE) gco=(-co PREDICTOR=YES -co RESAMPLING=AVERAGE -co NUM_THREADS=ALL_CPUS)
  local lines=() warp cog
  lines+=("$(run cp "$WORK/copy" cp "$WORK/in.tif" "$WORK/copy")")
  lines+=("$(run mirava-cog-kind0 "$WORK/o.tif $WORK/o.tfw" "$CLI" -q "${co[@]}" "$WORK/in.tif" "$WORK/o.tif") gdal-cog")
  lines+=("$(run mirava-cog-kind3 "$WORK/o.tif $WORK/o.tfw" "$CLI" -q /3 "${co[@]}" "$WORK/in.tif" "$WORK/o.tif") gdal-turn+cog")
  lines+=("$(run gdal-cog "$WORK/g.tif" gdal_translate -q "${co[@]}" "${gco[@]}" "$WORK/in.tif" "$WORK/g.tif")")
  warp=$(run gdalwarp-turn "$WORK/t.tif" gdalwarp -q -r near -multi -wo NUM_THREADS=ALL_CPUS \
    "$WORK/turned.vrt" "$WORK/t.tif")
  gdalwarp -q -r near -multi -wo NUM_THREADS=ALL_CPUS "$WORK/turned.vrt" "$WORK/t.tif" >/dev/null 2>&1
  cog=$(run gdal-cog-of-turned "$WORK/g.tif" gdal_translate -q "${co[@]}" "${gco[@]}" "$WORK/t.tif" "$WORK/g.tif")
  lines+=("$warp" "$cog")
  lines+=("$(printf '%s\n%s\n' "$warp" "$cog" |
    awk '{t += $2; if ($3 > m) m = $3} END {printf "gdal-turn+cog %s %d\n", t, m}')")
  local cp_time
  cp_time=$(printf '%s\n' "${lines[0]}" | awk '{print $2}')
  printf '%s\n' "${lines[@]}" | report "$cp_time"
  echo
  rm -f "$WORK"/in.tif "$WORK"/turned.vrt "$WORK"/[otg].tif "$WORK"/o.tfw "$WORK/copy"
}

if [ "$SIZES" = cog ]; then
  [ "$CASE" = both ] && CASE=18918
  cog_case "$CASE"
fi
