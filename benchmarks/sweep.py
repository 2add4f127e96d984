"""The regression sweep: reconstruct_mask in two builds of the module, the
tree's and a base commit's, over a few hundred seeded random masks, scales
and filters, interleaved in one process. It compares every result bit for
bit (and every refusal), and prints each shape where the tree is more than
1.2x slower or holds more than 1.2x the base's peak memory.

    python benchmarks/sweep.py TREE_MODULE BASE_MODULE [--shapes N] [--seed S]

The modules are the built extension files (ostrel_py.*.so); `make
bench-sweep BASE=<commit>` builds both and runs this. A call's peak memory
is the rise of the process's peak resident size over the call, from a
reset peak (/proc/self/clear_refs) after the C heap is trimmed.
"""

import argparse
import ctypes
import gc
import importlib.util
import math
import re
import statistics
import sys
import time

import msgpack
import numpy as np

KINDS = ["hard", "feathered", "checkerboard", "stripes", "noise", "tall", "wide", "face"]
FILTERS = ["nearest", "linear", "cubic", "gaussian"]
# Bounds that keep a few hundred shapes to minutes: records of runs are made
# in Python, and results beyond 2^24 pixels are scaled down to it.
MOST_RUNS = 2_000_000
MOST_RESULT = 1 << 24
SLOWER, HEAVIER = 1.2, 1.2
# Differences below these are timer and page noise, whatever their ratio.
NOISE_SECONDS, NOISE_BYTES = 30e-6, 1 << 20

libc = ctypes.CDLL(None)


def load(path, name):
    spec = importlib.util.spec_from_file_location("ostrel_py", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.__sweep_name__ = name
    return module


def size(rng, small=False):
    """An axis of 1 to 3000 pixels, small ones as likely as large ones."""
    return int(math.exp(rng.uniform(0.0, math.log(600 if small else 3000))))


def mask_of(kind, rng):
    """(mask, width, height) of one kind: an 8-bit image."""
    if kind == "tall":
        width, height = int(rng.integers(1, 40)), size(rng)
    elif kind == "wide":
        width, height = size(rng), int(rng.integers(1, 40))
    else:
        width, height = size(rng, small=kind == "noise"), size(rng, small=kind == "noise")
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    cx, cy = rng.uniform(0, width), rng.uniform(0, height)
    rx, ry = rng.uniform(0.1, 0.6) * width + 1, rng.uniform(0.1, 0.6) * height + 1
    d = (np.sqrt(((xx - cx) / rx) ** 2 + ((yy - cy) / ry) ** 2) - 1) * min(rx, ry)
    period = int(rng.integers(2, 40))
    if kind in ("hard", "tall", "wide"):
        mask = np.where(d <= 0, 255, 0)
    elif kind == "feathered":
        mask = np.clip(np.round(255 * (0.5 - d / rng.uniform(2, 30))), 0, 255)
    elif kind == "face":
        d = np.where(yy < cy, np.inf, d)
        mask = np.clip(np.round(255 * (0.5 - d / 12)), 0, 255)
    elif kind == "checkerboard":
        mask = np.where(((xx // period) + (yy // period)) % 2 == 1, 255, 0)
    elif kind == "stripes":
        along = xx if rng.random() < 0.5 else yy
        mask = np.where((along // period) % 2 == 1, int(rng.integers(1, 256)), 0)
    else:
        mask = rng.integers(0, 256, (height, width))
    return mask.astype(np.uint8), width, height


def record_of(mask):
    rows = []
    for row in mask:
        starts = np.flatnonzero(np.diff(row.astype(np.int16), prepend=np.int16(-1)))
        rows.append([[int(c), int(row[c])] for c in starts])
    return msgpack.packb([rows])


def shapes(count, seed):
    """(label, record, width, height, scale) of `count` seeded random cases."""
    rng = np.random.default_rng(seed)
    made = 0
    while made < count:
        kind = KINDS[made % len(KINDS)]
        mask, width, height = mask_of(kind, rng)
        if np.count_nonzero(np.diff(mask, axis=1)) + height > MOST_RUNS:
            continue
        factor = 1.0 if rng.random() < 0.08 else float(np.float32(math.exp(rng.uniform(math.log(0.05), math.log(4)))))
        pixels = width * height * factor * factor
        if pixels > MOST_RESULT:
            factor = float(np.float32(factor * math.sqrt(MOST_RESULT / pixels)))
        name = FILTERS[int(rng.integers(len(FILTERS)))]
        made += 1
        yield f"{kind} {width}x{height} x{factor:.4g} {name}", record_of(mask), width, height, (factor, name)


def call(module, case):
    _, record, width, height, scale = case
    try:
        return module.reconstruct_mask(record, width, height, scale)
    except BaseException as error:  # PanicException derives from BaseException
        return (type(error).__name__, str(error))


def same(a, b):
    if isinstance(a, tuple) or isinstance(b, tuple):
        return a == b
    return a.shape == b.shape and np.array_equal(a.view(np.uint32), b.view(np.uint32))


def peak_rss():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def peak_of(module, case):
    """The rise of the peak resident size over one call, result included."""
    gc.collect()
    libc.malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
    before = peak_rss()
    result = call(module, case)
    rise = peak_rss() - before
    del result
    return rise


def times_of(modules, case, reps):
    """Each module's median time, the calls interleaved."""
    times = [[] for _ in modules]
    for _ in range(reps):
        for i, module in enumerate(modules):
            start = time.perf_counter()
            call(module, case)
            times[i].append(time.perf_counter() - start)
    return [statistics.median(t) for t in times]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tree")
    parser.add_argument("base")
    parser.add_argument("--shapes", type=int, default=300)
    parser.add_argument("--seed", type=int, default=39)
    parser.add_argument("--only", default="", help="a pattern: time only the shapes whose label it finds")
    args = parser.parse_args()
    tree, base = load(args.tree, "tree"), load(args.base, "base")
    ratios, flagged, differ, worst = [], [], [], []
    for n, case in enumerate(shapes(args.shapes, args.seed)):
        label = case[0]
        if not re.search(args.only, label):
            continue
        if not same(call(tree, case), call(base, case)):
            differ.append(label)
            print(f"DIFFERENT RESULT: {label}", flush=True)
        t_tree, t_base = times_of([tree, base], case, 5)
        if t_tree > SLOWER * t_base and t_tree - t_base > NOISE_SECONDS:
            t_tree, t_base = times_of([tree, base], case, 21)  # a second look, longer
        m_tree, m_base = peak_of(tree, case), peak_of(base, case)
        if m_tree > HEAVIER * m_base and m_tree - m_base > NOISE_BYTES:
            # A second look, and a third: one page fault may map a 2 MiB huge page.
            m_tree = min([m_tree] + [peak_of(tree, case) for _ in range(2)])
            m_base = max([m_base] + [peak_of(base, case) for _ in range(2)])
        ratios.append(t_base / t_tree)
        worst.append((t_base / t_tree, label, t_tree, t_base))
        slow = t_tree > SLOWER * t_base and t_tree - t_base > NOISE_SECONDS
        heavy = m_tree > HEAVIER * m_base and m_tree - m_base > NOISE_BYTES
        if slow or heavy:
            flagged.append(label)
            print(f"{'SLOWER' if slow else 'HEAVIER'}: {label}: {t_tree * 1e3:.3f} ms against {t_base * 1e3:.3f} ms"
                  f" ({t_base / t_tree:.2f}x), peak {m_tree / 2**20:.1f} MiB against {m_base / 2**20:.1f} MiB", flush=True)
        if (n + 1) % 50 == 0:
            print(f"... {n + 1} shapes", flush=True)
    for ratio, label, t_tree, t_base in sorted(worst)[:5]:
        print(f"slowest against the base: {label}: {t_tree * 1e3:.3f} ms against {t_base * 1e3:.3f} ms ({ratio:.2f}x)")
    if not ratios:
        return 0
    geomean = math.exp(statistics.fmean(math.log(r) for r in ratios))
    print(f"sweep: {len(ratios)} shapes, seed {args.seed}; base / tree time: geometric mean {geomean:.2f}x, "
          f"lowest {min(ratios):.2f}x, highest {max(ratios):.2f}x; {len(flagged)} slower or heavier than "
          f"{SLOWER}x; {len(differ)} with different results")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
