#!/usr/bin/env python3
"""Export and verify against their copy floors, side by side in one run.

usage: parallel_budgets.py TVR_WRITER DATA_DIR TVR [TVR ...]
  DATA_DIR holds big.bin and small/ from bench/writer/make_writer_dataset.py (one 512 MiB
  file of 1 MiB blocks, 60 % log text and 40 % random; 20,000 files of 1-64 KiB in 1,111
  folders). Several tvr binaries (before and after a change) run against the same two
  repositories, which TVR_WRITER writes once.
  ROUNDS (default 5) rounds; WORK (default a new temporary folder) for repositories and copies.

Each round, in this order and each step after `sync`: cp of big.bin; per tvr, export of the
big-file repository; cp -a of small/; per tvr, export of the small-tree repository; per tvr,
verify of the big-file repository. Every step runs under /usr/bin/time (wall, user + system
CPU, max RSS). The first round checks that every export equals its source (cmp / diff -r).
Prints the medians and the budget ratios: export big / cp, export small / cp -a,
verify big / cp, CPU / wall of the big export, and the peak RSS of each step.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

PASSWORD = "bench password\n"


def timed(command, work):
    """Runs the command after sync; returns (wall s, cpu s, max RSS KiB)."""
    subprocess.run(["sync"], check=True)
    out = os.path.join(work, "time.txt")
    subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", "-o", out] + command, check=True,
                   stdout=subprocess.DEVNULL)
    with open(out) as f:
        wall, user, system, rss = f.read().split()[-4:]
    return float(wall), float(user) + float(system), int(rss)


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    writer, data, tvrs = sys.argv[1], sys.argv[2], sys.argv[3:]
    rounds = int(os.environ.get("ROUNDS", "5"))
    work = os.environ.get("WORK") or tempfile.mkdtemp(prefix="tvr-parallel-bench-")
    os.makedirs(work, exist_ok=True)
    password = os.path.join(work, "password")
    with open(password, "w") as f:
        f.write(PASSWORD)
    big_source = os.path.join(work, "bigsrc")
    os.makedirs(big_source, exist_ok=True)
    big_file = os.path.join(big_source, "big.bin")
    if not os.path.exists(big_file):
        try:
            os.link(os.path.join(data, "big.bin"), big_file)
        except OSError:
            shutil.copyfile(os.path.join(data, "big.bin"), big_file)
    repos = {"big": os.path.join(work, "repo-big"), "small": os.path.join(work, "repo-small")}
    sources = {"big": big_source, "small": os.path.join(data, "small")}
    for name, repo in repos.items():
        if not os.path.exists(repo):
            subprocess.run([writer, "--repository", repo, "--plan", "bench", "--source", sources[name],
                            "--recovery-password-file", password], check=True, stdout=subprocess.DEVNULL)

    results = {}  # label -> list of (wall, cpu, rss)

    def record(label, figures):
        results.setdefault(label, []).append(figures)

    copy = os.path.join(work, "copy")
    out = os.path.join(work, "out")
    for round_number in range(1, rounds + 1):
        remove(copy)
        record("cp big", timed(["cp", big_file, copy], work))
        remove(copy)
        for i, tvr in enumerate(tvrs):
            remove(out)
            record("export big #%d" % i, timed([tvr, "export", repos["big"], "--plan", "bench", "--run", "1",
                                                "--to", out, "--recovery-password-file", password], work))
            if round_number == 1:
                subprocess.run(["cmp", big_file, os.path.join(out, "big.bin")], check=True)
            remove(out)
        record("cp -a small", timed(["cp", "-a", sources["small"], copy], work))
        remove(copy)
        for i, tvr in enumerate(tvrs):
            remove(out)
            record("export small #%d" % i, timed([tvr, "export", repos["small"], "--plan", "bench", "--run", "1",
                                                  "--to", out, "--recovery-password-file", password], work))
            if round_number == 1:
                subprocess.run(["diff", "-r", sources["small"], out], check=True)
            remove(out)
        for i, tvr in enumerate(tvrs):
            record("verify big #%d" % i, timed([tvr, "verify", repos["big"], "--recovery-password-file", password],
                                               work))
        print("round %d: %s" % (round_number, ", ".join(
            "%s %.2f s" % (label, figures[-1][0]) for label, figures in results.items())), flush=True)

    def med(label, column):
        return statistics.median(f[column] for f in results[label])

    print()
    print("medians of %d rounds (wall s, cpu s, max RSS MiB):" % rounds)
    for label in results:
        print("  %-16s %7.3f %7.3f %7.1f" % (label, med(label, 0), med(label, 1),
                                             max(f[2] for f in results[label]) / 1024))
    print()
    for i, tvr in enumerate(tvrs):
        print("tvr #%d = %s" % (i, tvr))
        print("  export big / cp           %5.2f  (budget <= 2.5)" % (med("export big #%d" % i, 0) / med("cp big", 0)))
        print("  export small / cp -a      %5.2f  (budget <= 1.0)" %
              (med("export small #%d" % i, 0) / med("cp -a small", 0)))
        print("  verify big / cp           %5.2f  (budget <= 3)" % (med("verify big #%d" % i, 0) / med("cp big", 0)))
        print("  export big cpu / wall     %5.2f  (budget >= 1.7)" %
              (med("export big #%d" % i, 1) / med("export big #%d" % i, 0)))
        print("  peak RSS MiB: export big %.1f, export small %.1f, verify big %.1f  (budget <= 256)" % tuple(
            max(f[2] for f in results[label % i]) / 1024
            for label in ("export big #%d", "export small #%d", "verify big #%d")))


if __name__ == "__main__":
    main()
