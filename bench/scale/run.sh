#!/usr/bin/env bash
# Scale benchmark: generates a large synthetic repository (tvr_scale_gen) and a small one with
# every blob real, runs each tvr command on them under /usr/bin/time -v, once for a run read
# through its checkpoint (the last run) and once for a run read through the history (the run
# before it), and prints wall time and peak memory (max RSS) per operation.
#
#   bench/scale/run.sh [--files N] [--runs R] [--changes C] [--real-files N] [--repeat K]
#                      [--work DIR] [--reuse] [--build DIR]
#
# Defaults: N=100000, R=30, C=300, 10000 real files, K=1, work folder /tmp/tvr-scale.
# --reuse keeps repositories already generated in the work folder with the same settings.
# With K > 1 each cell is the median of K runs (wall time and max RSS taken separately).
# The recovery password is a fixed test password written to a file in the work folder.
set -euo pipefail

files=100000 runs=30 changes=300 real_files=10000 repeat=1 reuse=0
work=/tmp/tvr-scale
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$root/build"
while [ $# -gt 0 ]; do
  case "$1" in
    --files) files="$2"; shift 2 ;;
    --runs) runs="$2"; shift 2 ;;
    --changes) changes="$2"; shift 2 ;;
    --real-files) real_files="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --reuse) reuse=1; shift ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

tvr="$build/BackupCLI/tvr"
gen="$build/bench/scale/tvr_scale_gen"
for tool in "$tvr" "$gen" /usr/bin/time; do
  [ -x "$tool" ] || { echo "run.sh: $tool is missing (build tvr and tvr_scale_gen; install package time)" >&2; exit 2; }
done

mkdir -p "$work"
password="$work/password"
(umask 077 && printf 'scale benchmark password\n' >"$password")
plan=scale-plan
big="$work/big-$files-$runs-$changes"
stubs="$big.objects"
small="$work/real-$real_files"
out="$work/out"
rm -rf "$out"
mkdir -p "$out"

if [ "$reuse" -eq 0 ] || [ ! -f "$big/catalog.sqlite" ] || [ ! -d "$stubs" ]; then
  rm -rf "$big" "$big.source" "$stubs"
  echo "generating $big" >&2
  /usr/bin/time -f 'generator: %e s, %M KiB' "$gen" --repository "$big" --recovery-password-file "$password" \
    --files "$files" --runs "$runs" --changes "$changes" --checkpoint --object-stubs "$stubs" >&2
fi
small_runs=3
if [ "$reuse" -eq 0 ] || [ ! -f "$small/catalog.sqlite" ]; then
  rm -rf "$small" "$small.source"
  echo "generating $small" >&2
  "$gen" --repository "$small" --recovery-password-file "$password" --files "$real_files" --runs "$small_runs" \
    --changes $((real_files / 100)) --checkpoint --all-real >&2
fi

# Both repositories' newest run has the checkpoint; the run before it is read from history.
big_ck=$(sqlite3 "$big/catalog.sqlite" "SELECT max(run_id) FROM checkpoints WHERE plan_id='$plan';")
big_hist=$((big_ck - 1))
small_ck=$(sqlite3 "$small/catalog.sqlite" "SELECT max(run_id) FROM checkpoints WHERE plan_id='$plan';")
small_hist=$((small_ck - 1))
# A real file (its blob exists) and a synthetic folder of 100 files; normalised paths.
real_file='échantillons/réel/fichier réel 03.txt'
folder='projets 00/album 00000'

declare -A wall rss
rows=()

# measure <row> <column> <command...>: runs the command K times under /usr/bin/time -v;
# stdout goes to a file in the output folder; "{i}" in an argument becomes the repetition.
measure() {
  local row="$1" col="$2"
  shift 2
  [[ " ${rows[*]} " == *" $row "* ]] || rows+=("$row")
  local walls=() rsss=() status=0 i
  for ((i = 1; i <= repeat; i++)); do
    local args=() a
    for a in "$@"; do args+=("${a//\{i\}/$i}"); done
    local log="$out/time.$row.$col.$i"
    set +e
    /usr/bin/time -v -o "$log" "${args[@]}" >"$out/stdout.$row.$col.$i" 2>"$out/stderr.$row.$col.$i"
    status=$?
    set -e
    walls+=("$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); s = 0; for (j = 1; j <= n; j++) s = s * 60 + p[j]; print s}' "$log")")
    rsss+=("$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")")
    if [ "$status" -ne 0 ]; then
      echo "run.sh: $row ($col) exited $status: $(head -c 300 "$out/stderr.$row.$col.$i")" >&2
      break
    fi
  done
  local median_wall median_rss
  median_wall=$(printf '%s\n' "${walls[@]}" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
  median_rss=$(printf '%s\n' "${rsss[@]}" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
  wall[$row.$col]="$median_wall s"
  rss[$row.$col]=$(awk -v k="$median_rss" 'BEGIN {if (k >= 1048576) printf "%.2f GiB", k / 1048576; else printf "%.0f MiB", k / 1024}')
  [ "$status" -eq 0 ] || wall[$row.$col]="${wall[$row.$col]} (exit $status)"
  echo "$row [$col]: ${wall[$row.$col]}, ${rss[$row.$col]}" >&2
}

pw=(--recovery-password-file "$password")
for col in checkpoint history; do
  if [ "$col" = checkpoint ]; then run=$big_ck srun=$small_ck; else run=$big_hist srun=$small_hist; fi
  measure restore-one-file $col "$tvr" restore "$big" --plan $plan --run "$run" --path "$real_file" \
    --to "$out/restored-$col-{i}.txt" "${pw[@]}"
  measure list-path $col "$tvr" list "$big" --plan $plan --run "$run" --path "$folder" "${pw[@]}"
  measure list $col "$tvr" list "$big" --plan $plan --run "$run" "${pw[@]}"
  measure search $col "$tvr" search "$big" --plan $plan --run "$run" --name photo "${pw[@]}"
  measure export-dry-run $col "$tvr" export "$big" --plan $plan --run "$run" --to "$out/export-dry-$col-{i}" \
    --dry-run "${pw[@]}"
  measure export-small $col "$tvr" export "$small" --plan $plan --run "$srun" --to "$out/export-$col-{i}" "${pw[@]}"
  rm -rf "$out"/export-"$col"-*
done
measure list-runs repo "$tvr" list-runs "$big" --plan $plan
measure verify-small repo "$tvr" verify "$small" "${pw[@]}"
measure hydrate-local-dry-run repo "$tvr" hydrate-local "$stubs" --to "$out/hydrated-{i}" --dry-run
measure checkpoint-writer repo "$gen" --write-checkpoint --repository "$big" "${pw[@]}" --plan $plan \
  --run "$big_ck"
# The floor: reading the catalog file once, for a sense of this machine's speed in this run.
measure floor-read-catalog repo cat "$big/catalog.sqlite"

catalog_size=$(du -h "$big/catalog.sqlite" | cut -f1)
events=$(sqlite3 "$big/catalog.sqlite" "SELECT count(*) FROM file_events;")
small_events=$(sqlite3 "$small/catalog.sqlite" "SELECT count(*) FROM file_events;")
stub_count=$(find "$stubs" -type f | wc -l)
echo
echo "N=$files files, R=$runs runs, C=$changes changes per run: $events events, catalog $catalog_size;" \
  "checkpoint run $big_ck, history run $big_hist; median of $repeat"
echo "export-small and verify-small: all-real repository of $real_files files, $small_runs runs, $small_events events" \
  "(checkpoint run $small_ck, history run $small_hist); hydrate-local lists $stub_count objects;" \
  "list-runs, verify, hydrate-local, the checkpoint writer and the floor work on a whole repository (first column)"
echo
printf '| %-22s | %-28s | %-28s |\n' operation "checkpoint run" "history run"
printf '|%s|%s|%s|\n' "------------------------" "------------------------------" "------------------------------"
for row in "${rows[@]}"; do
  col=checkpoint; [ -n "${wall[$row.checkpoint]:-}" ] || col=repo
  c="${wall[$row.$col]:-}"; [ -z "$c" ] || c="$c, ${rss[$row.$col]}"
  h="${wall[$row.history]:-}"; [ -z "$h" ] || h="$h, ${rss[$row.history]}"
  printf '| %-22s | %-28s | %-28s |\n' "$row" "$c" "$h"
done
