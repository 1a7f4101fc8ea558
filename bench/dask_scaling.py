#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""dask_scaling.py - batch decoding on a Dask LocalCluster with 1 and 2 workers.

Seals RECORDS short notes with `trirotor encode --jsonl` (each under a key
of its own, as bench/batch_scaling.sh does), then decodes them and prints
records per second, best of three runs each:
  the tool:      trirotor decode --jsonl -j 1 FILE -o OUT
  Dask, files:   trirotor.dask.decode_files on a LocalCluster of 1 worker
                 process, then of 2 (one thread each): the workers read a
                 block of the file each, answer it in one call and write it
  Dask, bag:     decode_bag over dask.bag.read_text, then Bag.to_textfiles
and the ratios: 2 workers / 1 worker (goal on two free cores: >= 1.7) and one
worker / the tool (goal: >= 0.8). Every run's output must equal the tool's.

Only the decoding job is timed: each cluster is started, and its workers have
imported trirotor and run a first small job, before the clock starts (the
start-up is printed apart). Beside the wall-clock time it prints the CPU time
the run took: the tool's process; the workers' processes, and this one, which
holds the client and the scheduler. On a busy machine the wall-clock ratios
show the neighbours, while the CPU time per record shows what each road costs.

    PYTHONPATH=build/python /usr/bin/python3 bench/dask_scaling.py [build/trirotor] [RECORDS ...]
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
    out = work / f"sealed-{count}.jsonl"
    with open(out, "w") as f:
        for line in sealed.splitlines():
            number = line[len('{"id":'):line.index(",")]
            f.write(line.replace(",", f',"key":"key-{number}",', 1) + "\n")
    return out


def cpu_seconds(usage) -> float:
    return usage.ru_utime + usage.ru_stime


def own_cpu() -> float:
    return cpu_seconds(resource.getrusage(resource.RUSAGE_SELF))


def best_of_three(run, cpu) -> tuple:
    """(wall, CPU...) seconds of the run with the least wall-clock time;
    cpu() gives a tuple of CPU clocks."""
    runs = []
    for _ in range(3):
        before = cpu()
        start = time.perf_counter()
        run()
        wall = time.perf_counter() - start
        runs.append((wall, *(b - a for a, b in zip(before, cpu()))))
    return min(runs)


def joined(out: pathlib.Path) -> bytes:
    return b"".join(p.read_bytes() for p in sorted(out.iterdir(), key=lambda p: int(p.stem)))


def measure(tool: str, count: int, work: pathlib.Path) -> dict:
    sealed = make_records(tool, count, work)
    size = sealed.stat().st_size
    expected = subprocess.run([tool, "decode", "--jsonl", "--quiet", "-j", "1", str(sealed)],
                              check=True, capture_output=True).stdout

    def run_tool():
        subprocess.run([tool, "decode", "--jsonl", "--quiet", "-j", "1", str(sealed),
                        "-o", str(work / "tool.jsonl")], check=True)

    rows = {"tool --jsonl -j 1": best_of_three(
        run_tool, lambda: (cpu_seconds(resource.getrusage(resource.RUSAGE_CHILDREN)), 0.0))}
    warm = work / "warm.jsonl"
    warm.write_bytes(sealed.read_bytes()[:100_000].rpartition(b"\n")[0] + b"\n")
    for workers in (1, 2):
        start = time.perf_counter()
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                          dashboard_address=":0") as cluster, Client(cluster) as client:
            client.run(lambda: __import__("trirotor.dask"))
            trirotor.dask.decode_files(str(warm), blocksize=len(warm.read_bytes()) // workers)
            print(f"  cluster of {workers} started and warmed in {time.perf_counter() - start:.2f} s (not timed)")

            def cpu():
                return sum(client.run(own_cpu).values()), own_cpu()

            # One block (one partition) per worker: read_bytes makes size // blocksize blocks.
            blocksize = size // workers
            out = work / f"files-{workers}"

            def run_files():
                shutil.rmtree(out, ignore_errors=True)
                trirotor.dask.decode_files(str(sealed), str(out / "*.jsonl"), blocksize=blocksize)

            rows[f"Dask files, {workers}w"] = best_of_three(run_files, cpu)
            assert len(list(out.iterdir())) == workers
            if joined(out) != expected:
                raise SystemExit(f"decode_files with {workers} workers wrote other lines than the tool")

            out_bag = work / f"bag-{workers}"

            def run_bag():
                shutil.rmtree(out_bag, ignore_errors=True)
                lines = db.read_text(str(sealed), blocksize=blocksize)
                trirotor.dask.decode_bag(lines).to_textfiles(str(out_bag / "*.jsonl"), last_endline=True)

            rows[f"Dask bag, {workers}w"] = best_of_three(run_bag, cpu)
            assert len(list(out_bag.iterdir())) == workers
            if joined(out_bag) != expected:
                raise SystemExit(f"decode_bag with {workers} workers wrote other lines than the tool")
    sealed.unlink()
    return rows


def report(count: int, rows: dict) -> None:
    print(f"{count} records, best of three runs each; CPU: workers + client and scheduler")
    for name, (wall, cpu, client_cpu) in rows.items():
        print(f"  {name:18s} {wall:6.2f} s wall {count / wall:8.0f} records/s   "
              f"{cpu:6.2f} s CPU {count / cpu:8.0f} records/CPU-s   + {client_cpu:4.2f} s")
    wall_tool, cpu_tool, _ = rows["tool --jsonl -j 1"]
    for road in ("files", "bag"):
        wall1, cpu1, _ = rows[f"Dask {road}, 1w"]
        wall2, cpu2, _ = rows[f"Dask {road}, 2w"]
        print(f"  {road:5s} 2 workers / 1: {wall1 / wall2:.2f} wall (goal >= 1.7), "
              f"{2 * cpu1 / cpu2:.2f} with a free core per worker (2 x workers' CPU, 1 / 2);  "
              f"1 worker / the tool: {wall_tool / wall1:.2f} wall, {cpu_tool / cpu1:.2f} CPU (goal >= 0.8)")


def main() -> int:
    tool = sys.argv[1] if len(sys.argv) > 1 else "build/trirotor"
    counts = [int(n) for n in sys.argv[2:]] or [200_000]
    work = pathlib.Path(tempfile.mkdtemp())
    try:
        print("load average: %.2f %.2f %.2f on %d cores" % (*os.getloadavg(), os.cpu_count()))
        results = [(count, measure(tool, count, work)) for count in counts]
        print("load average: %.2f %.2f %.2f" % os.getloadavg())
        for count, rows in results:
            report(count, rows)
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
