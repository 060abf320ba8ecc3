#!/usr/bin/env python3
"""Fixed cost of each tvr command against its floors, side by side in one run.

Runs every command of the table below N times on the sample repository, interleaved
(one round runs each command once, so noise on this shared machine spreads over all of
them), and prints for each the median wall time and the median CPU time (user + system,
from wait4; steadier than wall time when other builds share the cores). The floors are
`/bin/true` and tvr_link_floor (an empty program loading the shared libraries tvr loads),
timed the same way, and the recovery-key derivation (210,000 PBKDF2 iterations) timed
inside a fresh process by tvr_kdf_floor (OpenSSL's first use included, as in a command).
"beyond true" is the command's median CPU time minus that of /bin/true and, for commands that unlock the repository, minus the CPU time of the
in-process derivation: what the command costs beyond key derivation, start-up included.
"beyond libs" subtracts the empty program linked against the same libraries instead of
/bin/true: the part that is the tool's own.

With --instructions, each command and floor also runs once under valgrind's callgrind,
which counts the user-space instructions executed: a figure that other work on the
machine does not move (for the floors' key derivation, the whole floor process counts).

With --baseline, a second tvr binary (for example a build of the previous commit) runs in
the same rounds, so before and after are measured side by side.

Usage: bench/startup/run.py [--tvr build/BackupCLI/tvr] [--baseline OTHER_TVR]
                            [--build build] [--runs 21] [--instructions]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIXTURES = os.path.join(ROOT, "tests", "fixtures")
REPOSITORY = os.path.join(FIXTURES, "sample-repository")
PASSWORD = os.path.join(FIXTURES, "sample-repository.password")
ITERATIONS = 210000  # the sample repository's recovery-key iteration count

# name, arguments after the binary, whether the command derives the key
COMMANDS = [
    ("--version", ["--version"], False),
    ("commands --json", ["commands", "--json"], False),
    ("info", ["info", REPOSITORY], False),
    ("list-plans", ["list-plans", REPOSITORY], False),
    ("list-runs", ["list-runs", REPOSITORY, "--plan", "family-archive"], False),
    ("list", ["list", REPOSITORY, "--plan", "family-archive", "--run", "2", "--recovery-password-file", PASSWORD],
     True),
    ("restore one file", ["restore", REPOSITORY, "--plan", "family-archive", "--run", "2", "--path",
                          "letters/to grandma.txt", "--to", "{destination}", "--recovery-password-file", PASSWORD],
     True),
]


def timed(argv):
    """Wall and CPU milliseconds of one run of argv; fails on a non-zero exit."""
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ,
                         file_actions=[(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])
    _, status, usage = os.wait4(pid, 0)
    wall = (time.perf_counter() - start) * 1000
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed ({os.waitstatus_to_exitcode(status)}): {' '.join(argv)}")
    return wall, (usage.ru_utime + usage.ru_stime) * 1000


def instructions(argv):
    """User-space instructions of one run of argv, counted by callgrind."""
    with tempfile.TemporaryDirectory(prefix="tvr-callgrind-") as folder:
        output = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={folder}/out"] + argv,
                                check=True, capture_output=True, text=True).stderr
    for line in output.splitlines():
        if "Collected :" in line:
            return int(line.split(":")[-1].strip())
    sys.exit(f"no instruction count from callgrind for {' '.join(argv)}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tvr", default=os.path.join(ROOT, "build", "BackupCLI", "tvr"))
    parser.add_argument("--baseline", help="a second tvr binary measured in the same rounds")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="where the floor programs were built")
    parser.add_argument("--runs", type=int, default=21)
    parser.add_argument("--instructions", action="store_true", help="also count instructions under callgrind")
    args = parser.parse_args()

    binaries = [("", os.path.abspath(args.tvr))]
    if args.baseline:
        binaries.insert(0, ("baseline ", os.path.abspath(args.baseline)))

    link_floor = os.path.join(args.build, "bench", "startup", "tvr_link_floor")
    kdf_floor = os.path.join(args.build, "bench", "startup", "tvr_kdf_floor")
    scratch = tempfile.mkdtemp(prefix="tvr-startup-")
    samples = {}  # label -> list of (wall, cpu)
    derivation = []  # (wall, cpu) of the in-process key derivation
    counts = {}  # label -> instructions
    try:
        for _ in range(args.runs):
            jobs = [("floor /bin/true", ["/bin/true"]), ("floor libraries", [link_floor])]
            for prefix, binary in binaries:
                for name, arguments, _ in COMMANDS:
                    destination = os.path.join(scratch, f"{prefix.strip() or 'tvr'}-{len(jobs)}", "out.txt")
                    argv = [binary] + [a.replace("{destination}", destination) for a in arguments]
                    jobs.append((prefix + name, argv))
            if args.instructions and not counts:
                jobs.append(("floor key derivation", [kdf_floor, str(ITERATIONS), "1"]))
                for label, argv in jobs:
                    counts[label] = instructions(argv)
                jobs.pop()
                shutil.rmtree(scratch)  # the restore's destination is free again
                os.mkdir(scratch)
            for label, argv in jobs:
                samples.setdefault(label, []).append(timed(argv))
            # One derivation in a fresh process, as a command makes it (OpenSSL's first use
            # included), timed inside that process.
            wall, cpu = subprocess.run([kdf_floor, str(ITERATIONS), "1"], check=True, capture_output=True,
                                       text=True).stdout.split()
            derivation.append((float(wall), float(cpu)))
            shutil.rmtree(scratch)
            os.mkdir(scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    kdf_wall = statistics.median(wall for wall, _ in derivation)
    kdf = statistics.median(cpu for _, cpu in derivation)
    def medians(label):
        return (statistics.median(wall for wall, _ in samples[label]),
                statistics.median(cpu for _, cpu in samples[label]))

    true_cpu = medians("floor /bin/true")[1]
    libraries_cpu = medians("floor libraries")[1]
    unlocks = {name: derives for name, _, derives in COMMANDS}

    print(f"medians of {args.runs} runs; key derivation in process ({ITERATIONS} iterations): "
          f"{kdf_wall:.1f} ms wall, {kdf:.1f} ms cpu")
    print(f"{'command':<30}{'wall ms':>9}{'cpu ms':>9}{'beyond true':>13}{'beyond libs':>13}")
    for label in samples:
        wall, cpu = medians(label)
        if label.startswith("floor "):
            print(f"{label:<30}{wall:>9.1f}{cpu:>9.1f}")
            continue
        derivation = kdf if unlocks[label.removeprefix("baseline ")] else 0.0
        print(f"{label:<30}{wall:>9.1f}{cpu:>9.1f}{cpu - true_cpu - derivation:>13.1f}"
              f"{cpu - libraries_cpu - derivation:>13.1f}")
    if counts:
        print("\ninstructions (callgrind, one run each)")
        for label, count in counts.items():
            print(f"{label:<30}{count:>15,}")


if __name__ == "__main__":
    main()
