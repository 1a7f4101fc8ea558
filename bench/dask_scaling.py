#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""dask_scaling.py - batch decoding on a Dask LocalCluster with 1 and 2 workers.

Seals RECORDS short notes with `trirotor encode --jsonl` (each under a key
of its own, as bench/batch_scaling.sh does), then decodes them three ways and
prints records per second (best of three runs each):
  the tool:   trirotor decode --jsonl -j 1
  Dask:       trirotor.dask.decode_bag on a LocalCluster of 1 worker process, then of 2
and the ratios: 2 workers / 1 worker (goal on two free cores: >= 1.7) and one
worker / the tool (goal: >= 0.8). Every run's output must equal the tool's.
Beside the wall-clock time it prints the CPU time the run took (the tool's
process; the workers' processes and this one, which holds the scheduler):
on a busy machine the wall-clock ratios show the neighbours, while the CPU
time per record shows what each road costs.

    PYTHONPATH=build/python /usr/bin/python3 bench/dask_scaling.py [build/trirotor] [RECORDS]
"""

import os
import pathlib
import random
import resource
import shutil
import subprocess
import sys
import tempfile
import time

import dask.bag as db
from distributed import Client, LocalCluster

import trirotor.dask

WORDS = "the of message and key rotor a sealed text letter is by harbour wind mill".split()


def make_records(tool: str, count: int, work: pathlib.Path) -> pathlib.Path:
    rng = random.Random(7)
    plain = work / "plain.jsonl"
    with open(plain, "w") as f:
        for i in range(count):
            text = " ".join(rng.choice(WORDS) for _ in range(3 + rng.randrange(35)))
            f.write(f'{{"id":{i},"text":"{text}","key":"key-{i}"}}\n')
    sealed = subprocess.run([tool, "encode", "--jsonl", "--quiet", str(plain)], check=True,
                            capture_output=True, text=True).stdout
    out = work / "sealed.jsonl"
    with open(out, "w") as f:
        for line in sealed.splitlines():
            number = line[len('{"id":'):line.index(",")]
            f.write(line.replace(",", f',"key":"key-{number}",', 1) + "\n")
    return out


def cpu_seconds(usage) -> float:
    return usage.ru_utime + usage.ru_stime


def best_of_three(run, cpu) -> tuple:
    """(wall, CPU) seconds of the run with the least wall-clock time."""
    runs = []
    for _ in range(3):
        cpu_before = cpu()
        start = time.perf_counter()
        run()
        runs.append((time.perf_counter() - start, cpu() - cpu_before))
    return min(runs)


def main() -> int:
    tool = sys.argv[1] if len(sys.argv) > 1 else "build/trirotor"
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 200_000
    work = pathlib.Path(tempfile.mkdtemp())
    try:
        sealed = make_records(tool, count, work)
        expected = subprocess.run([tool, "decode", "--jsonl", "--quiet", "-j", "1", str(sealed)],
                                  check=True, capture_output=True).stdout

        def run_tool():
            subprocess.run([tool, "decode", "--jsonl", "--quiet", "-j", "1", str(sealed),
                            "-o", str(work / "tool.jsonl")], check=True)

        tool_seconds = best_of_three(run_tool, lambda: cpu_seconds(resource.getrusage(resource.RUSAGE_CHILDREN)))
        seconds = {}
        for workers in (1, 2):
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                              dashboard_address=":0") as cluster, Client(cluster) as client:
                out = work / f"dask-{workers}"

                def cpu():
                    on_workers = client.run(lambda: cpu_seconds(resource.getrusage(resource.RUSAGE_SELF)))
                    return sum(on_workers.values()) + cpu_seconds(resource.getrusage(resource.RUSAGE_SELF))

                def run_dask():
                    shutil.rmtree(out, ignore_errors=True)
                    lines = db.read_text(str(sealed), blocksize=1 << 20)
                    trirotor.dask.decode_bag(lines).to_textfiles(str(out / "*.jsonl"), last_endline=True)

                seconds[workers] = best_of_three(run_dask, cpu)
                got = b"".join(p.read_bytes() for p in sorted(out.iterdir(), key=lambda p: int(p.stem)))
                if got != expected:
                    print(f"Dask with {workers} workers wrote other lines than the tool", file=sys.stderr)
                    return 1
        print("load average: %.2f %.2f %.2f on %d cores" % (*os.getloadavg(), os.cpu_count()))
        print(f"{count} records, best of three runs each")
        rows = [("tool --jsonl -j 1", tool_seconds)] + [
            (f"Dask, {n} worker{'s' if n > 1 else ''}", seconds[n]) for n in (1, 2)]
        for name, (wall, cpu_time) in rows:
            print(f"{name:18s} {wall:6.2f} s wall {count / wall:8.0f} records/s   "
                  f"{cpu_time:6.2f} s CPU {count / cpu_time:8.0f} records/CPU-s")
        (wall_tool, cpu_tool), (wall1, cpu1), (wall2, cpu2) = (r[1] for r in rows)
        print(f"2 workers / 1 worker: {wall1 / wall2:.2f} wall (goal >= 1.7); CPU per record {cpu2 / cpu1:.2f}x")
        print(f"1 worker / the tool:  {wall_tool / wall1:.2f} wall, {cpu_tool / cpu1:.2f} CPU (goal >= 0.8)")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
