"""Latency figures: percentiles by nearest rank and a one-line summary."""

import math

SUMMARY_PERCENTILES = (50, 90, 99, 99.9)


def percentile(ordered, p):
    """The ``p``-th percentile (0 < p <= 100) of an ascending, non-empty sequence: the
    smallest value with at least p percent of the values at or below it."""
    rank = max(1, math.ceil(p / 100 * len(ordered)))
    return ordered[rank - 1]


def latency_summary(round_trips_us):
    """{"p50": ..., "p90": ..., "p99": ..., "p99.9": ..., "max": ...} in microseconds; empty
    when there are no round trips."""
    if not round_trips_us:
        return {}
    ordered = sorted(round_trips_us)
    figures = {f"p{p:g}": percentile(ordered, p) for p in SUMMARY_PERCENTILES}
    figures["max"] = ordered[-1]
    return figures


def format_latency(figures):
    return ", ".join(f"{name} {value:.1f}" for name, value in figures.items()) if figures else "none"
