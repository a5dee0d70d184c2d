#!/usr/bin/env python3
"""Several clients on one index, each in its own process, on a throwaway
redis-server and PostgreSQL (tests/python/servers.py).

An IVFFlat index of 64-d float32 vectors is preloaded with --items items
(distinct ids) and trained with 128 lists; every child process (spawned)
opens its own Client and loads that index by name and key. Each figure is
printed next to its reference from the same run, with the ratio:

  1. writers: one writer upserting one new item per call for --seconds
     alone, then three at once: ops/s each and in total; total / alone.
  2. reader: single queries (top_k 10, n_probes 8) alone, then beside one
     writer at full speed: queries/s; beside / alone.
  3. change checks: the lone writer with the change-stamp check on and off
     (nivoradb_core._testing.set_change_checks in the writer), twice each in
     the order on, off, off, on; the mean of each, off / on.
  4. training: train() (128 lists) of a fresh index of --items items alone,
     then of another one while a writer upserts into it at full speed: time,
     or the message train() raised; every id acknowledged to the writer is
     then looked up with get (missing count); time beside / alone.

A phase that fails is reported in its row and the others still run; every
wait is bounded and a child that outlives its phase is killed.

Usage: shared_index_clients.py [--stores redis,postgres] [--items N]
                               [--seconds S] [--quick]
Needs numpy and the module installed (pip install .).
"""
import os

# Both sides of every comparison, and every child, run with these.
os.environ["OPENBLAS_CORETYPE"] = "Haswell"
os.environ["OMP_WAIT_POLICY"] = "passive"
os.environ["NIVORA_TESTING_HOOKS"] = "1"

import argparse  # noqa: E402
import multiprocessing  # noqa: E402
import queue  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tests", "python"))

import nivoradb_core as nv  # noqa: E402
from servers import PostgresServer, RedisServer  # noqa: E402

KEY = bytes(range(1, 33))
DIM, N_LISTS, N_PROBES, TOP_K = 64, 128, 8, 10
ID_BLOCK = 10_000_000  # each writer's ids start at its own multiple of this
READY_TIMEOUT = 120     # seconds a child may take to open the index
TRAIN_TIMEOUT = 900     # seconds a training may take
SPAWN = multiprocessing.get_context("spawn")


def vectors(n, seed):
    """Clustered rows, so that 128 lists have something to find."""
    rng = np.random.default_rng(seed)
    centres = np.random.default_rng(0).standard_normal((N_LISTS, DIM)).astype(np.float32) * 3
    return (centres[rng.integers(0, N_LISTS, n)]
            + rng.standard_normal((n, DIM), dtype=np.float32)).astype(np.float32)


def client_of(store):
    location, table, connection = store
    return nv.Client("bench", *[
        nv.DBConfig(location, table_name=f"{table}_{kind}", connection_string=connection)
        for kind in ("index", "config", "items")])


def open_index(store, name):
    return client_of(store).load_index(name, KEY)


# ---- child processes ----------------------------------------------------------
# Each reports ("ready", None) once its index is open, waits for `go`, works,
# and reports ("done", figures) or ("error", message).

def write_loop(index, job, stop, deadline):
    """Upserts one new item per call: the upserts acknowledged by this call
    ("ops"), and every id acknowledged and every refusal so far."""
    bank = vectors(1024, seed=job["first_id"])
    done = job.setdefault("written", {"next": job["first_id"], "ids": [], "errors": 0,
                                      "first_error": None})
    ops = 0
    while time.monotonic() < deadline and not stop.is_set():
        next_id = done["next"]
        done["next"] += 1
        try:
            index.upsert(np.array([next_id], dtype=np.int64), bank[next_id % len(bank)][None, :])
        except RuntimeError as e:
            done["errors"] += 1
            done["first_error"] = done["first_error"] or str(e)
            continue
        done["ids"].append(next_id)
        ops += 1
    return dict(done, ops=ops)


def read_loop(index, job, stop, deadline):
    bank = vectors(1000, seed=99) + 0.1
    done = 0
    while time.monotonic() < deadline and not stop.is_set():
        index.query_numpy(bank[done % len(bank)], top_k=TOP_K, n_probes=N_PROBES)
        done += 1
    return {"queries": done}


def train_once(index, job, stop, deadline):
    start = time.perf_counter()
    index.train(n_lists=N_LISTS)
    return {"seconds": time.perf_counter() - start}


ROLES = {"writer": write_loop, "reader": read_loop, "trainer": train_once}


def child(role, job, go, stop, results):
    try:
        if not job.get("change_checks", True):
            nv._core._testing.set_change_checks(False)
        index = open_index(job["store"], job["name"])
        if role != "trainer":
            ROLES[role](index, job, stop, time.monotonic() + 0.2)  # quantizers and caches in
        results.put((job["slot"], "ready", None))
        if not go.wait(READY_TIMEOUT):
            raise RuntimeError("no go signal")
        if stop.is_set():
            return  # the phase was given up before this child's turn
        start = time.monotonic()
        figures = ROLES[role](index, job, stop, start + job["seconds"])
        figures["elapsed"] = time.monotonic() - start
        results.put((job["slot"], "done", figures))
    except Exception as e:  # reported in the table, the run goes on
        results.put((job["slot"], "error", f"{type(e).__name__}: {e}"))


# ---- the parent -----------------------------------------------------------------

class Children:
    """Child processes of one phase: started, released together, collected
    with bounded waits; whichever is still alive at the end is killed."""

    def __init__(self, jobs):
        self.results = SPAWN.Queue()
        self.stop = SPAWN.Event()
        self.procs = []
        self.jobs = jobs
        self.got = {}  # figures (or the RuntimeError) of each child that finished
        for slot, (role, job) in enumerate(jobs):
            job["slot"] = slot
            go = SPAWN.Event()
            proc = SPAWN.Process(target=child, args=(role, job, go, self.stop, self.results),
                                 daemon=True)
            proc.start()
            self.procs.append((proc, go))

    def _next(self, timeout):
        """The next report of a child; a child that died without one (a
        crash) or a silence of `timeout` seconds ends the phase."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                return self.results.get(timeout=min(1.0, max(0.01, deadline - time.monotonic())))
            except queue.Empty:
                pass
            crashed = [p.exitcode for p, _ in self.procs if p.exitcode not in (None, 0)]
            if crashed:
                raise RuntimeError(f"a child process died (exit codes {crashed})")
            if time.monotonic() >= deadline:
                raise RuntimeError(f"no answer from a child in {timeout:.0f} s")

    def wait_ready(self):
        pending = set(range(len(self.procs)))
        while pending:
            slot, state, payload = self._next(READY_TIMEOUT)
            if state != "ready":
                raise RuntimeError(f"{self.jobs[slot][0]}: {payload}")
            pending.discard(slot)

    def go(self, slots=None):
        for slot in slots if slots is not None else range(len(self.procs)):
            self.procs[slot][1].set()

    def collect(self, timeout, slots=None):
        """Figures of the given children (all by default), by slot."""
        wanted = set(slots if slots is not None else range(len(self.procs)))
        deadline = time.monotonic() + timeout
        while wanted - set(self.got):
            slot, state, payload = self._next(max(1.0, deadline - time.monotonic()))
            self.got[slot] = (payload if state == "done"
                              else RuntimeError(f"{self.jobs[slot][0]}: {payload}"))
        return {slot: self.got[slot] for slot in wanted}

    def close(self):
        self.stop.set()
        for proc, go in self.procs:
            go.set()
        for proc, _ in self.procs:
            proc.join(timeout=30)
            if proc.is_alive():
                proc.kill()
                proc.join(timeout=10)
        self.results.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def checked(figures):
    if isinstance(figures, Exception):
        raise figures
    return figures


class Bench:
    def __init__(self, kind, server, items, seconds):
        table = f"bench_shared_{kind}_{os.getpid()}"
        self.store = (kind, table, server.connection_string())
        self.kind, self.items, self.seconds = kind, items, seconds
        self.next_writer = 1
        self.rows = []  # (measure, value, reference, ratio, target)

    def fresh_index(self, name):
        index = client_of(self.store).create_index(name, KEY, nv.IndexIVFFlat(DIM))
        rows = vectors(self.items, seed=1)
        for start in range(0, self.items, 10_000):
            stop = min(self.items, start + 10_000)
            index.upsert(np.arange(start, stop), rows[start:stop])
        return index

    def job(self, name, **extra):
        return dict(store=self.store, name=name, seconds=self.seconds) | extra

    def writer(self, name, **extra):
        first_id = self.next_writer * ID_BLOCK
        self.next_writer += 1
        return "writer", self.job(name, first_id=first_id, **extra)

    def run(self, jobs, timeout=None):
        """Runs the jobs together for --seconds; their figures, by slot."""
        with Children(jobs) as children:
            children.wait_ready()
            children.go()
            return [checked(f) for _, f in sorted(
                children.collect(timeout or self.seconds + 60).items())]

    def row(self, measure, value="", reference="", ratio="", target=""):
        self.rows.append((measure, value, reference, ratio, target))

    def phase(self, title, fn, *args):
        try:
            fn(*args)
        except Exception as e:  # noqa: BLE001 - reported, the next phase runs
            self.row(f"{title}: FAILED", f"{type(e).__name__}: {e}")

    def writers(self, name):
        """1: three writers at once against one alone."""
        lone = self.run([self.writer(name)])
        three = self.run([self.writer(name) for _ in range(3)])
        alone, each = rate(lone[0]), [rate(f) for f in three]
        self.row("1 writer alone, ops/s", f"{alone:.1f}")
        self.row("3 writers, ops/s each", " / ".join(f"{r:.1f}" for r in each))
        self.row("3 writers, ops/s total", f"{sum(each):.1f}", f"alone {alone:.1f}",
                 f"{sum(each) / alone:.3f}", ">= 0.8")
        self.refusals(lone + three)

    def reader(self, name):
        """2: a reader beside a writer against the reader alone."""
        alone = self.run([("reader", self.job(name))])[0]
        beside = self.run([("reader", self.job(name)), self.writer(name)])
        q_alone = alone["queries"] / alone["elapsed"]
        q_beside = beside[0]["queries"] / beside[0]["elapsed"]
        self.row("reader beside a writer, queries/s", f"{q_beside:.1f}", f"alone {q_alone:.1f}",
                 f"{q_beside / q_alone:.3f}", ">= 0.5")
        self.row("  (the writer beside it, ops/s)", f"{rate(beside[1]):.1f}")
        self.refusals(beside[1:])

    def change_checks(self, name):
        """3: the lone writer with change checks off against on."""
        # on, off, off, on: a drift over the four runs (the index grows) falls on both sides
        runs = {True: [], False: []}
        for checks in (True, False, False, True):
            runs[checks] += self.run([self.writer(name, change_checks=checks)])
        on, off = (sum(rate(f) for f in runs[c]) / 2 for c in (True, False))
        self.row("lone writer, checks off, ops/s", f"{off:.1f}", f"on {on:.1f}",
                 f"{off / on:.3f}", "<= 1.2")
        self.refusals(runs[True] + runs[False])

    def training(self, name):
        """4: training beside a writer against training alone."""
        alone_name, beside_name = f"{name}-train-alone", f"{name}-train-beside"
        self.fresh_index(alone_name)
        alone = self.run([("trainer", self.job(alone_name))], TRAIN_TIMEOUT)[0]["seconds"]
        self.row("train alone, s", f"{alone:.2f}")
        self.fresh_index(beside_name)
        jobs = [("trainer", self.job(beside_name)),
                self.writer(beside_name, seconds=TRAIN_TIMEOUT)]
        with Children(jobs) as children:
            children.wait_ready()
            children.go([1])
            time.sleep(min(0.5, self.seconds / 4))  # the writer at full speed first
            children.go([0])
            trained = children.collect(TRAIN_TIMEOUT, [0])[0]
            children.stop.set()
            written = checked(children.collect(60, [1])[1])
        acknowledged = written["ids"]
        missing = count_missing(open_index(self.store, beside_name), acknowledged)
        if isinstance(trained, Exception):
            self.row("train beside a writer: FAILED", str(trained))
        else:
            self.row("train beside a writer, s", f"{trained['seconds']:.2f}", f"alone {alone:.2f}",
                     f"{trained['seconds'] / alone:.3f}", "<= 2")
        self.row("  writer's acknowledged ids / missing", f"{len(acknowledged)} / {missing}",
                 "", "", "missing 0")
        self.refusals([written])

    def measure(self):
        name = f"shared-{self.kind}-{os.getpid()}"
        start = time.monotonic()
        index = self.fresh_index(name)
        index.train(n_lists=N_LISTS)
        self.row("preload and train (setup), s", f"{time.monotonic() - start:.2f}")
        self.phase("1 writers", self.writers, name)
        self.phase("2 reader", self.reader, name)
        self.phase("3 change checks", self.change_checks, name)
        self.phase("4 training", self.training, name)
        return self.rows

    def refusals(self, written):
        """A row for upserts the writers saw refused, with the first message."""
        refused = [f for f in written if f["errors"]]
        if refused:
            self.row(f"  upserts refused: {sum(f['errors'] for f in refused)}",
                     refused[0]["first_error"])


def rate(figures):
    """Acknowledged upserts per second; refused ones are not counted."""
    return figures["ops"] / figures["elapsed"]


def count_missing(index, ids):
    found = 0
    for start in range(0, len(ids), 1000):
        found += len(index.get([str(i) for i in ids[start:start + 1000]], include=[]))
    return len(ids) - found


def print_table(kind, rows):
    print(f"\n{kind}")
    print(f"  {'measure':38s} {'value':>22s} {'reference':>16s} {'ratio':>7s}  target")
    for measure, value, reference, ratio, target in rows:
        if len(value) > 22:  # a message: on its own line
            print(f"  {measure:38s} {value}")
        else:
            print(f"  {measure:38s} {value:>22s} {reference:>16s} {ratio:>7s}  {target}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stores", default="redis,postgres")
    parser.add_argument("--items", type=int, default=20_000)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 10,000 items (the least training takes), 1 s phases")
    args = parser.parse_args()
    if args.quick:
        args.items, args.seconds = 10_000, 1.0
    servers = {"redis": RedisServer, "postgres": PostgresServer}
    print(f"{args.items} items of {DIM} floats, IVFFlat {N_LISTS} lists, n_probes {N_PROBES}, "
          f"{args.seconds:g} s per phase; OPENBLAS_CORETYPE=Haswell OMP_WAIT_POLICY=passive")
    for kind in args.stores.split(","):
        server = servers[kind]()
        try:
            print_table(kind, Bench(kind, server, args.items, args.seconds).measure())
        finally:
            server.stop()


if __name__ == "__main__":
    main()
