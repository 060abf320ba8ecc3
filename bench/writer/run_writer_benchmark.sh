#!/usr/bin/env bash
# The writer benchmark, paired in one run so that machine noise hits both sides alike.
#
# usage: run_writer_benchmark.sh TVR_WRITER TVR_SEAL_TIMER DATA_DIR [ROUNDS] [WORK_DIR]
#
# DATA_DIR holds small/ and big.bin from make_writer_dataset.py. Each round, in this order:
#   1. cp -a of small/ (20,000 files of 1-64 KiB in 1,111 folders) into a new folder;
#   2. tvr-writer backing up small/ into a new local repository;
#   3. tvr-writer backing up a folder holding only big.bin (512 MiB) into a new repository;
#   4. tvr-seal-timer: big.bin sealed in process on one core (EncryptedBlobCodec::sealFile).
# Each step starts after `sync`, so no step pays for the writeback of the one before it.
# Prints every time, then the medians and the two ratios the budget is about:
#   small tree: tvr-writer / cp -a        (budget <= 2)
#   big file:   tvr-writer / one-core seal (budget <= 0.7)
set -euo pipefail
writer=${1:?tvr-writer binary}
sealer=${2:?tvr-seal-timer binary}
data=${3:?data folder with small/ and big.bin}
rounds=${4:-5}
work=${5:-$(mktemp -d /tmp/tvr-writer-bench.XXXXXX)}
mkdir -p "$work"
printf 'bench password' >"$work/password"
mkdir -p "$work/bigsrc"
ln -f "$data/big.bin" "$work/bigsrc/big.bin" 2>/dev/null || cp "$data/big.bin" "$work/bigsrc/big.bin"

now() { date +%s.%N; }
timed() {  # prints the wall seconds of the command
  sync
  local start end
  start=$(now)
  "$@" >/dev/null
  end=$(now)
  echo "$end - $start" | bc -l
}

cp_times=() ; small_times=() ; big_times=() ; seal_times=()
for round in $(seq 1 "$rounds"); do
  t=$(timed cp -a "$data/small" "$work/copy"); cp_times+=("$t")
  rm -rf "$work/copy"
  t=$(timed "$writer" --repository "$work/repo" --plan bench --source "$data/small" \
        --recovery-password-file "$work/password"); small_times+=("$t")
  rm -rf "$work/repo"
  t=$(timed "$writer" --repository "$work/repo" --plan bench --source "$work/bigsrc" \
        --recovery-password-file "$work/password"); big_times+=("$t")
  rm -rf "$work/repo"
  sync
  t=$("$sealer" "$data/big.bin" "$work/sealed.blob"); seal_times+=("$t")
  printf 'round %d: cp -a %.2f s, tvr-writer small %.2f s, tvr-writer big %.2f s, one-core seal %.2f s\n' \
    "$round" "${cp_times[-1]}" "${small_times[-1]}" "${big_times[-1]}" "${seal_times[-1]}"
done

python3 - "${cp_times[*]}" "${small_times[*]}" "${big_times[*]}" "${seal_times[*]}" <<'PY'
import statistics, sys
cp, small, big, seal = ([float(x) for x in arg.split()] for arg in sys.argv[1:5])
m = [statistics.median(v) for v in (cp, small, big, seal)]
print("medians: cp -a %.2f s, tvr-writer small %.2f s, tvr-writer big %.2f s, one-core seal %.2f s" % tuple(m))
print("small tree: tvr-writer / cp -a = %.2f (budget <= 2)" % (m[1] / m[0]))
print("big file: tvr-writer / one-core seal = %.2f (budget <= 0.7)" % (m[2] / m[3]))
print("per-round ratios small: %s" % " ".join("%.2f" % (s / c) for s, c in zip(small, cp)))
print("per-round ratios big: %s" % " ".join("%.2f" % (b / s) for b, s in zip(big, seal)))
PY
rm -rf "$work"
