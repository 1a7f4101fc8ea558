#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""dask_recover.py - a key search with trirotor.dask.recover on a Dask
LocalCluster of 1 worker process and of 2 (one thread each), against
trirotor.recover on one thread in process.

The search is MASK (default ?l?l?l?l?d, 4,569,760 candidates) over a 10 KB
message that none of them opens, so every part runs. Each cluster is started
and its workers have run a first small search before the clock starts.
Prints wall time, the workers' CPU time (the workers' processes, read from
/proc before and after) and candidates per second, and the ratio 2 workers /
1 worker; on a busy machine the wall-clock ratio shows the neighbours, the
CPU time per candidate what the road costs.

    PYTHONPATH=build/python /usr/bin/python3 bench/dask_recover.py [MASK]
"""

import os
import sys
import time

import distributed

import trirotor
import trirotor.dask


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat", encoding="ascii") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def worker_cpu(client) -> float:
    return sum(client.run(lambda: cpu_seconds(os.getpid())).values())


def main() -> None:
    mask = sys.argv[1] if len(sys.argv) > 1 else "?l?l?l?l?d"
    message = trirotor.encode("ferry road " * 931, "the right key")
    count = trirotor._core.recover_count(message.encode(), trirotor._recover_options(mask=mask))[0]
    start, cpu = time.monotonic(), time.process_time()
    assert trirotor.recover(message, mask=mask, threads=1) is None
    wall, used = time.monotonic() - start, time.process_time() - cpu
    print(f"{count:,} candidates of {mask}")
    print(f"in process, 1 thread: {wall:6.2f} s wall, {used:6.2f} s CPU, {count / used:>10,.0f} per CPU-second")
    walls = {}
    for workers in (1, 2):
        with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                      dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
            trirotor.dask.recover(client, message, mask="?l?l", parts=workers)  # warm the workers
            before = worker_cpu(client)
            start = time.monotonic()
            assert trirotor.dask.recover(client, message, mask=mask) is None
            wall = time.monotonic() - start
            used = worker_cpu(client) - before
            walls[workers] = wall
            print(f"Dask, {workers} worker{'s' if workers > 1 else ' '}:    {wall:6.2f} s wall, {used:6.2f} s CPU, "
                  f"{count / used:>10,.0f} per CPU-second, {count / wall:>10,.0f} per second")
    print(f"2 workers / 1 worker, wall: {walls[1] / walls[2]:.2f}x")


if __name__ == "__main__":
    main()
