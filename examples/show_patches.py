#!/usr/bin/env python3
"""Cut a file into entropy patches and show them.

On a terminal the patches are printed in alternating colours; elsewhere (a pipe or
a file) they are separated by a visible marker. A summary follows. (`qelt-corpus show`
draws the same document as a page, with its entropies.)

    python examples/show_patches.py                      # the bundled sample text
    python examples/show_patches.py FILE -k 2 --theta 1.5 --theta-r 0.5
"""

import argparse
import os
import pathlib
import statistics
import sys
import time

import qelt
import qelt_corpus

SAMPLE = pathlib.Path(__file__).with_name("sample.txt")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", type=pathlib.Path, default=SAMPLE,
                        help="file to patch (default: the bundled sample text)")
    parser.add_argument("-k", type=int, default=2, help="context length in bytes (default 2)")
    parser.add_argument("--theta", type=float, default=2.0,
                        help="close a patch where the entropy exceeds this (default 2.0)")
    parser.add_argument("--theta-r", type=float, default=1.0,
                        help="close a patch where the entropy rises by more (default 1.0)")
    parser.add_argument("--show", type=int, default=3000, metavar="BYTES",
                        help="show at most this many bytes of patches; 0 shows all (default 3000)")
    parser.add_argument("--separator", default="|", help="marker between patches off a terminal")
    parser.add_argument("--colour", choices=("auto", "always", "never"), default="auto")
    args = parser.parse_args(argv)
    if not -(2**31) <= args.k < 2**31:
        parser.error(f"argument -k: {args.k} is outside the 32-bit integer range")
    if args.show < 0:
        parser.error("argument --show: must not be negative")
    return args


def summary(data, patches, seconds):
    lengths = [len(p) for p in patches]
    mean = statistics.fmean(lengths) if lengths else 0.0
    median = statistics.median(lengths) if lengths else 0.0
    rate = len(data) / seconds / 1e6 if seconds > 0 else float("inf")
    return (f"bytes: {len(data)}  patches: {len(patches)}  mean length: {mean:.2f}  "
            f"median length: {median:g}  time: {seconds * 1e3:.2f} ms ({rate:.1f} MB/s)")


def main(argv=None):
    args = parse_args(argv)
    try:
        data = args.file.read_bytes()
    except OSError as error:
        print(f"show_patches: cannot read {args.file}: {error.strerror or error}", file=sys.stderr)
        return 1
    start = time.perf_counter()
    patches = qelt.patch_sequence(bytearray(data), args.k, args.theta, args.theta_r)
    seconds = time.perf_counter() - start
    colour = args.colour == "always" or (
        args.colour == "auto" and sys.stdout.isatty() and "NO_COLOR" not in os.environ)
    # The view of `qelt-corpus show`, drawn with this document's own model of k.
    view = qelt_corpus.show(data, args.k, args.theta, args.theta_r)
    print(view.to_terminal(colour=colour, limit=args.show, separator=args.separator))
    print()
    print(f"{args.file}  k={args.k} theta={args.theta} theta_r={args.theta_r}")
    print(summary(data, patches, seconds))
    return 0


def quietly(status_of):
    """The exit status of status_of(), ending quietly if the reader of standard output
    has gone (``| head``)."""
    try:
        status = status_of()
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # What is still buffered would fail again at exit: its descriptor leads nowhere now.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0


if __name__ == "__main__":
    sys.exit(quietly(main))
