#!/usr/bin/env python3
"""Status readings through the orbitane package, for the benchmark.

With --count N it makes N readings, base.status() in a loop, with no
warm-up, and prints nothing: the benchmark takes its CPU time. With --timed
N it iterates base.monitor("status", count=N) after 100 readings of
warm-up and prints the rate of those N readings.

    python_reading.py --package BUILD/python --uri tcp://127.0.0.1:PORT --count N
    python_reading.py --package BUILD/python --uri serial:///dev/pts/N --timed N
"""
import argparse
import sys
import time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--package", required=True)
    parser.add_argument("--uri", required=True)
    parser.add_argument("--count", type=int)
    parser.add_argument("--timed", type=int)
    args = parser.parse_args()
    sys.path.insert(0, args.package)
    import orbitane

    with orbitane.connect(args.uri, sync_pauses=(0, 0)) as base:
        if args.count is not None:
            for _ in range(args.count):
                base.status()
            return
        for _ in range(100):  # warm up
            base.status()
        start = time.monotonic()
        for _ in base.monitor("status", count=args.timed):
            pass
        print("%.1f" % (args.timed / (time.monotonic() - start)))


if __name__ == "__main__":
    main()
