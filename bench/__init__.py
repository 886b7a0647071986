"""Benchmarks: each scenario beside the straightforward Python way of the same work, in one run."""
