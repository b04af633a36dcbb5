"""The benchmark's three pictures, as SVG beside RESULTS.md: how the arrival offsets spread, by
both readings of the carried time; what a cycle costs against the number of adapters, with the
fitted line; and what a process holds against the cycles it has run. The same numbers give the
same bytes: text is kept as text in one named
font, the SVG's ids come from a fixed salt, and no date is written."""

import matplotlib

matplotlib.use("svg")
import matplotlib.pyplot as plt  # noqa: E402

plt.rcParams.update({"svg.fonttype": "none", "svg.hashsalt": "ostrival-bench",
                     "font.family": "DejaVu Sans", "font.size": 9})


def save(figure, path):
    figure.tight_layout()
    figure.savefig(path, metadata={"Date": None, "Creator": None})
    plt.close(figure)


def arrival(path, standard, meant):
    """The offsets (ns) by the standard rule and by the sender's milliseconds, in µs."""
    figure, ax = plt.subplots(figsize=(7, 3.2))
    readings = {"by the standard rule (fraction / 2^32)": [v / 1000 for v in standard],
                "as the sender meant it (fraction / 4299266 ms)": [v / 1000 for v in meant]}
    ax.hist(list(readings.values()), bins=25, histtype="step", linewidth=1.5,
            label=list(readings))
    ax.set_xlabel("arrival − carried time (µs); positive: it arrived after the time it states")
    ax.set_ylabel("broadcasts")
    ax.legend(frameon=False)
    save(figure, path)


def cycles(path, points, medians, fit):
    """POINTS and MEDIANS: (adapters, µs); FIT: (slope, intercept) in µs. Drawn in ms."""
    figure, ax = plt.subplots(figsize=(7, 3.2))
    ax.plot([n for n, _ in points], [v / 1000 for _, v in points], "o", alpha=0.35,
            label="each cycle")
    ax.plot([n for n, _ in medians], [v / 1000 for _, v in medians], "s", color="black",
            label="median of its cycles")
    ends = [0, max(n for n, _ in points)]
    ax.plot(ends, [(fit[1] + fit[0] * n) / 1000 for n in ends], "-", color="black", linewidth=1,
            label="least squares over the medians: %.1f µs per adapter" % fit[0])
    ax.set_xlabel("adapters")
    ax.set_ylabel("last datagram − carried time (ms)")
    ax.legend(frameon=False)
    save(figure, path)


def leaks(path, figures):
    """FIGURES: {label: [(cycles, value)]}, one panel each, over one cycle axis."""
    figure, axes = plt.subplots(len(figures), 1, sharex=True, figsize=(7, 1.5 * len(figures)))
    for ax, (label, points) in zip(axes, figures.items()):
        values = [v for _, v in points]
        ax.plot([n for n, _ in points], values, ".-", color="black", linewidth=1, markersize=3)
        # Room around a flat line, which matplotlib would otherwise spread over the panel.
        ax.set_ylim(min(values) - max(2, 0.05 * min(values)),
                    max(values) + max(2, 0.05 * max(values)))
        ax.set_title(label, loc="left")
    axes[-1].set_xlabel("cycles run in the one process")
    save(figure, path)
