#!/usr/bin/env bash
# Restore throughput of `tvr restore` on one large file, against `cp` of the same plaintext
# (the floor), side by side in one run so machine noise hits both alike.
#
# usage: bench/restore/restore_throughput.sh <tvr-writer> <tvr> [<tvr> ...]
#   SIZE_MIB (default 512) size of the file, RUNS (default 5) timed runs per tool,
#   WORK (default a new temporary folder) where the file, repository and copies go.
# Prints, per tool, the median wall seconds, MB/s (MiB per second) and ratio to the cp
# median over RUNS runs, and the median CPU seconds (user + system, all threads), which a
# loaded machine disturbs much less than wall time. Several tvr binaries (say, before and
# after a change) are timed against the same repository.
set -euo pipefail

if [[ $# -lt 2 ]]; then
  sed -n '2,10p' "$0" >&2
  exit 2
fi
writer=$1
shift
size_mib=${SIZE_MIB:-512}
runs=${RUNS:-5}
work=${WORK:-$(mktemp -d "${TMPDIR:-/tmp}/tvr-restore-bench-XXXXXX")}
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/source"
# Half random, half repetitive text: neither all-compressible nor all-incompressible.
head -c $((size_mib * 1024 * 1024 / 2)) /dev/urandom >"$work/source/big.bin"
head -c $((size_mib * 1024 * 1024 / 2)) < <(yes 'the quick brown fox jumps over the lazy dog 0123456789') \
  >>"$work/source/big.bin"
printf 'bench password\n' >"$work/password"
"$writer" --repository "$work/repo" --plan bench --source "$work/source" \
  --recovery-password-file "$work/password" >/dev/null

# Runs a command; appends "wall cpu" seconds to the named list.
timed() {
  local label=$1
  shift
  /usr/bin/time -f '%e %U %S' -o "$work/time" "$@" >/dev/null
  read -r wall user system <"$work/time"
  times[$label]+="$wall"$'\n'
  cpus[$label]+="$(echo "$user + $system" | bc -l)"$'\n'
}
median() { sort -g | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

declare -A times cpus
labels=(cp)
for i in $(seq 1 "$runs"); do
  rm -f "$work/copy"
  sync
  timed cp cp "$work/source/big.bin" "$work/copy"
  index=0
  for tvr in "$@"; do
    index=$((index + 1))
    label="tvr#$index"
    [[ $i -eq 1 ]] && labels+=("$label")
    rm -f "$work/restored"
    sync
    timed "$label" "$tvr" restore "$work/repo" --plan bench --run 1 --path big.bin --to "$work/restored" \
      --recovery-password-file "$work/password"
    cmp -s "$work/source/big.bin" "$work/restored" || { echo "restore by $tvr differs" >&2; exit 1; }
  done
done

cp_median=$(printf '%s' "${times[cp]}" | median)
printf '%-8s %10s %10s %8s %10s  %s\n' tool median_s MB/s vs_cp cpu_s binary
index=0
for label in "${labels[@]}"; do
  m=$(printf '%s' "${times[$label]}" | median)
  c=$(printf '%s' "${cpus[$label]}" | median)
  binary=cp
  if [[ $label != cp ]]; then
    index=$((index + 1))
    binary=${!index}
  fi
  printf '%-8s %10.3f %10.1f %8.2f %10.3f  %s\n' "$label" "$m" "$(echo "$size_mib / $m" | bc -l)" \
    "$(echo "$m / $cp_median" | bc -l)" "$c" "$binary"
done
