#!/usr/bin/python3
"""Figures of repeated benchmark runs, shared by the bench scripts.

    figures.py median V...                 the median of the values
    figures.py ratio A B                   A / B with two decimals
    figures.py ratios A1,A2,... B1,B2,...  the ratio of each pair, space separated
    figures.py record KEY V...             "KEY=<median>" and "KEY_runs=<values>" lines for run-all.sh
"""
import statistics
import sys


def median(values):
    return statistics.median(float(v) for v in values)


def main():
    command, args = sys.argv[1], sys.argv[2:]
    if command == "median":
        print(f"{median(args):.3f}")
    elif command == "ratio":
        print(f"{float(args[0]) / float(args[1]):.2f}")
    elif command == "ratios":
        tops, bottoms = args[0].split(","), args[1].split(",")
        print(" ".join(f"{float(a) / float(b):.2f}" for a, b in zip(tops, bottoms)))
    elif command == "record":
        key, values = args[0], args[1:]
        print(f"{key}={median(values):g}")
        print(f"{key}_runs={' '.join(f'{float(v):g}' for v in values)}")
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
