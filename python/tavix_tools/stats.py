"""Latency figures: percentiles by nearest rank and a one-line summary."""

import bisect
import collections
import itertools
import math

SUMMARY_PERCENTILES = (50, 90, 99, 99.9)


def nearest_rank(p, count):
    """The 1-based rank of the ``p``-th percentile (0 < p <= 100) among ``count`` values: the
    smallest value with at least p percent of the values at or below it."""
    return max(1, math.ceil(p / 100 * count))


def latency_summary(round_trips_us):
    """{"p50": ..., "p90": ..., "p99": ..., "p99.9": ..., "max": ...} in microseconds; empty
    when there are no round trips."""
    if not round_trips_us:
        return {}
    ordered = sorted(round_trips_us)
    return _figures(lambda rank: ordered[rank - 1], len(ordered))


def _figures(value_of_rank, count):
    """The summary's percentiles and maximum, from the value of each 1-based rank."""
    figures = {f"p{p:g}": value_of_rank(nearest_rank(p, count)) for p in SUMMARY_PERCENTILES}
    figures["max"] = value_of_rank(count)
    return figures


class LatencyTally:
    """Round trips counted by their value at the 0.1 us that format_latency prints, so that
    the summary of any number of them takes memory bounded by their spread, not their count.
    Rounding keeps the order: the figures are latency_summary's, rounded."""

    def __init__(self):
        self.counts = collections.Counter()

    def add(self, round_trip_us):
        self.counts[round(round_trip_us, 1)] += 1

    def summary(self):
        """latency_summary of the round trips added, each rounded to 0.1 us."""
        if not self.counts:
            return {}
        values = sorted(self.counts)
        cumulative = list(itertools.accumulate(self.counts[value] for value in values))
        return _figures(lambda rank: values[bisect.bisect_left(cumulative, rank)], cumulative[-1])


def format_latency(figures):
    return ", ".join(f"{name} {value:.1f}" for name, value in figures.items()) if figures else "none"
