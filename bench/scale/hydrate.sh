#!/usr/bin/env bash
# Hydration at scale: makes a folder of N empty object stubs (blobs/<xx>/<64 hex> plus
# repo.json, plans.json and catalog.sqlite) and times three hydrate-local runs from it under
# /usr/bin/time -v: the dry run, a real run into a fresh folder, and the resumed run
# (--overwrite true into the folder the real run filled, which keeps every blob).
#
#   bench/scale/hydrate.sh [--objects N] [--repeat K] [--work DIR] [--dest DIR] [--build DIR]
#                          [--keep-stubs]
#
# Defaults: N=100000, K=3, work folder /dev/shm/tvr-hydrate (tmpfs: a million empty files
# cost about 1 GiB of memory there, and a tmpfs holds only so many files: put the
# destination elsewhere with --dest for two million), destination DIR/dest (removed first).
# Each cell is the median of K runs (wall time and max RSS taken separately). --keep-stubs
# reuses a stub folder of the same N left by an earlier call.
set -euo pipefail

objects=100000 repeat=3 keep=0 dest=
work=/dev/shm/tvr-hydrate
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$root/build"
while [ $# -gt 0 ]; do
  case "$1" in
    --objects) objects="$2"; shift 2 ;;
    --repeat) repeat="$2"; shift 2 ;;
    --work) work="$2"; shift 2 ;;
    --dest) dest="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    --keep-stubs) keep=1; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) echo "hydrate.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

tvr="$build/BackupCLI/tvr"
for tool in "$tvr" /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "hydrate.sh: $tool is missing (build tvr; install package time)" >&2; exit 2; }
done

mkdir -p "$work"
stubs="$work/stubs-$objects"
dest="${dest:-$work/dest}"
out="$work/out"
rm -rf "$out" "$dest"
mkdir -p "$out"

if [ "$keep" -eq 0 ] || [ ! -f "$stubs/repo.json" ]; then
  rm -rf "$stubs"
  echo "making $objects object stubs in $stubs" >&2
  python3 - "$stubs" "$objects" <<'EOF'
import hashlib, os, sys
root, count = sys.argv[1], int(sys.argv[2])
for shard in range(256):
    os.makedirs(os.path.join(root, "blobs", "%02x" % shard), exist_ok=True)
for name in ("repo.json", "plans.json", "catalog.sqlite"):
    with open(os.path.join(root, name), "w") as f:
        f.write("{}\n")
flags = os.O_CREAT | os.O_WRONLY | os.O_EXCL
for i in range(count - 3):
    key = hashlib.sha256(b"stub %d" % i).hexdigest()
    os.close(os.open(os.path.join(root, "blobs", key[:2], key), flags, 0o644))
EOF
fi

# measure <name> <prepare> <command...>: runs <prepare> (untimed), then the command under
# /usr/bin/time -v, K times; prints the median wall time and max RSS.
measure() {
  local name="$1" prepare="$2"
  shift 2
  local walls=() rsss=() i
  for ((i = 1; i <= repeat; i++)); do
    eval "$prepare"
    local log="$out/time.$name.$i"
    if ! /usr/bin/time -v -o "$log" "$@" >"$out/stdout.$name.$i" 2>"$out/stderr.$name.$i"; then
      echo "hydrate.sh: $name failed: $(head -c 300 "$out/stderr.$name.$i")" >&2
      exit 1
    fi
    walls+=("$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); s = 0; for (j = 1; j <= n; j++) s = s * 60 + p[j]; print s}' "$log")")
    rsss+=("$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")")
  done
  local wall kib
  wall=$(printf '%s\n' "${walls[@]}" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
  kib=$(printf '%s\n' "${rsss[@]}" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}')
  printf '%-10s %9s s %8.1f MiB   %s\n' "$name" "$wall" "$(awk -v k="$kib" 'BEGIN {print k / 1024}')" \
    "$(head -n 1 "$out/stdout.$name.$repeat")"
}

echo "hydrate-local of $objects objects from $stubs, median of $repeat:"
measure dry-run "rm -rf '$dest'" "$tvr" hydrate-local "$stubs" --to "$dest" --dry-run
measure real "rm -rf '$dest'" "$tvr" hydrate-local "$stubs" --to "$dest"
measure resume ":" "$tvr" hydrate-local "$stubs" --to "$dest" --overwrite true
rm -rf "$dest"
