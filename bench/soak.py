#!/usr/bin/env python3
"""Soak: bench_program.py for 10 minutes at the 2,000,000 bit/s line rate, with `cat` and
`picocom --logfile` reading the same stream from pseudo-terminals of their own in the same run,
and a plot of CPU and latency over the run.

usage: soak.py [--build DIR] [--minutes 10] [--plot docs/soak.png] [--json FILE]"""

import argparse
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import bench_program  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    parser.add_argument("--minutes", type=float, default=10)
    parser.add_argument("--plot", default=os.path.join(HERE, "..", "docs", "soak.png"))
    parser.add_argument("--json")
    options = parser.parse_args()
    sys.argv = [sys.argv[0], "--build", options.build, "--seconds", str(options.minutes * 60),
                "--references", "--plot", options.plot] + (["--json", options.json] if options.json else [])
    return bench_program.main()


if __name__ == "__main__":
    sys.exit(main())
