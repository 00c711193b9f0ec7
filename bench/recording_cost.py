"""Cost of recording on the benchmark models, and the memory a long recording needs.

B1 (2-D sorting, 200 x 200) records labels and the cell table every MCS; B2 (3-D, 100^3) every 10
MCS. Each repetition runs the same number of MCS from the same start without and with a recording,
one after the other, so the ratio compares like with like on a shared machine; the script prints
the medians. Memory: the resident set size is sampled while a recording grows; it must stay flat.

    python bench/recording_cost.py [--repeats 5] [--b1-mcs 300] [--b2-mcs 40] [--only B1|B2|memory]
"""

import argparse
import pathlib
import statistics
import tempfile
import time

import morva


def b1():
    model = morva.Model((200, 200), temperature=20, neighborhood="moore")
    model.add_type("t1", volume=100, lambda_volume=1).add_type("t2", volume=100, lambda_volume=1)
    for a, b, j in [("medium", "t1", 16), ("medium", "t2", 16), ("t1", "t1", 2), ("t2", "t2", 14), ("t1", "t2", 11)]:
        model.set_contact(a, b, j)
    return model.add_tiling(["t1", "t2"], (20, 20), (180, 180), 10)


def b2():
    model = morva.Model((100, 100, 100), temperature=20, neighborhood="full")
    model.add_type("t1", volume=500, lambda_volume=1).set_contact("medium", "t1", 20).set_contact("t1", "t1", 10)
    return model.add_tiling("t1", (10, 10, 10), (90, 90, 90), 8)


def rss_mib():
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) / 1024
    return float("nan")


def timed_run(model, mcs, warmup, folder=None, every=1, cpu=None):
    sim = model.build(seed=1)
    sim.run(warmup, progress=False)
    if folder is not None:
        recorder = sim.record(folder, every=every, checkpoint_every=None, overwrite=True)
        if cpu is not None:
            watch_cpu(recorder, cpu)
    started, cpu_started = time.perf_counter(), time.process_time()
    sim.run(mcs, progress=False)
    if sim.recorder is not None:
        sim.recorder.close()
    return time.perf_counter() - started, time.process_time() - cpu_started


def watch_cpu(recorder, cpu):
    """Add the CPU time of the engine thread's and the writer thread's share of each frame to `cpu`.

    The writer stores a chunk of frames at a time (and the cell table, lineage and checkpoints at
    flushes); its CPU time is shared out equally over the frames.
    """
    writer, record = recorder._writer, recorder.record

    def on_writer(work):
        def timed(*args):
            started = time.thread_time()
            work(*args)
            cpu["writer"][0] += time.thread_time() - started

        return timed

    def timed_record(sim):
        started = time.thread_time()
        record(sim)
        cpu["engine thread"].append(time.thread_time() - started)
        cpu["frames"] += 1

    writer._store, writer._flush = on_writer(writer._store), on_writer(writer._flush)
    recorder.record = timed_record


def overhead(name, model, mcs, warmup, every, repeats, scratch):
    plain, recorded, plain_cpu, recorded_cpu = [], [], [], []
    cpu = {"engine thread": [], "writer": [0.0], "frames": 0}
    for i in range(repeats):
        wall, used = timed_run(model, mcs, warmup)
        plain.append(wall)
        plain_cpu.append(used)
        wall, used = timed_run(model, mcs, warmup, scratch / f"{name}-{i}", every, cpu)
        recorded.append(wall)
        recorded_cpu.append(used)
    ratios = [r / p for p, r in zip(plain, recorded)]
    cpu_ratios = [r / p for p, r in zip(plain_cpu, recorded_cpu)]
    print(f"{name}: {mcs} MCS, a frame every {every} MCS: without {statistics.median(plain):.3f} s "
          f"({mcs / statistics.median(plain):.1f} MCS/s), with {statistics.median(recorded):.3f} s; "
          f"recording costs {100 * (statistics.median(ratios) - 1):+.1f}% (median of {repeats}, per-run "
          f"{', '.join(f'{100 * (r - 1):+.0f}%' for r in ratios)})", flush=True)
    print(f"    CPU time of the whole process: {100 * (statistics.median(cpu_ratios) - 1):+.1f}% with recording",
          flush=True)
    per_mcs = statistics.median(plain_cpu) / mcs
    for thread in ("engine thread", "writer"):
        frame = sum(cpu[thread]) / cpu["frames"]
        share = 100 * frame / (every * per_mcs)
        print(f"    CPU per frame in the {thread}: {1e3 * frame:.3f} ms (mean) = {share:.1f}% "
              f"of the engine's CPU time between frames", flush=True)


def memory(model, frames, scratch, samples=8):
    import pyarrow.parquet  # noqa: F401  (libraries loaded before the baseline: only data counts)
    import zarr  # noqa: F401

    sim = model.build(seed=1)
    sim.record(scratch / "warm-up", every=1, overwrite=True)
    sim.run(50, progress=False)
    sim.recorder.close()
    world_only = rss_mib()
    sim.record(scratch / "memory", every=1, overwrite=True)
    sizes = []
    for _ in range(samples):
        sim.run(frames // samples, progress=False)
        sizes.append(rss_mib())
    sim.recorder.close()
    print(f"memory: {world_only:.1f} MiB before recording; every {frames // samples} frames up to {frames}: "
          f"{', '.join(f'{s:.1f}' for s in sizes)} MiB", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--b1-mcs", type=int, default=300)
    parser.add_argument("--b2-mcs", type=int, default=40)
    parser.add_argument("--only", choices=["B1", "B2", "memory"], help="run one part only")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        if args.only in (None, "B1"):
            overhead("B1", b1(), args.b1_mcs, 50, 1, args.repeats, scratch)
        if args.only in (None, "B2"):
            overhead("B2", b2(), args.b2_mcs, 5, 10, args.repeats, scratch)
        if args.only in (None, "memory"):
            memory(b1(), 4000, scratch)


if __name__ == "__main__":
    main()
