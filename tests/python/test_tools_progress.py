"""The tools' progress bar: drawn on a terminal once the work has lasted
long enough, never on a pipe."""

import os
import select

import pytest

from tavrin_ahrs_tools import progress


@pytest.mark.parametrize(
    "terminal, delay, shown",
    [
        (True, 0.0, True),
        (True, 3600.0, False),  # work that ends before the delay shows nothing
        (False, 0.0, False),
    ],
    ids=["terminal", "short-work", "pipe"],
)
def test_bar_only_on_a_terminal_after_the_delay(monkeypatch, terminal, delay, shown):
    monkeypatch.setattr(progress, "_REDRAW", 0.0)
    read_end, write_end = os.openpty() if terminal else os.pipe()
    with os.fdopen(write_end, "w") as stream:
        with progress.Progress(100, "flight.bin", stream=stream, delay=delay) as bar:
            for done in (10, 50, 100):
                bar.update(done)
        stream.write("END")  # what comes before it is the bar's
        stream.flush()
        out = ""
        while not out.endswith("END"):
            assert select.select([read_end], [], [], 5)[0], out
            out += os.read(read_end, 4096).decode()
    os.close(read_end)
    out = out[: -len("END")]
    if shown:
        assert "flight.bin [" in out and " 10%" in out and "100%" in out and out.endswith("\n")
    else:
        assert out == ""
