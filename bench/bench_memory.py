"""Memory under long runs: resident size (VmRSS) must stop growing.

1,000,000 packets through each client (AHRSClient.read() from a recorded
file, BufferedAHRSClient.take() from a pseudo-terminal): the growth of VmRSS
from the moment the first 10,000 packets are through to its highest value
afterwards.  And 10,000 calls of parse_data_stream_py on a small file.
"""

import os
import sys
import time

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import harness  # noqa: E402
import live_packets  # noqa: E402
from make_recording import make_recording  # noqa: E402

SAMPLE_EVERY = 10_000


class RssTrack:
    """VmRSS when the warm-up is done, and its highest value afterwards."""

    def __init__(self, warmup):
        self.warmup = warmup
        self.at_warmup = None
        self.highest = None
        self.next_sample = warmup

    def passed(self, done):
        if done < self.next_sample:
            return
        rss = harness.rss_kib()
        if self.at_warmup is None:
            self.at_warmup = rss
        self.highest = max(self.highest or rss, rss)
        self.next_sample = done + SAMPLE_EVERY

    def figures(self, done):
        end = harness.rss_kib()
        self.highest = max(self.highest or end, end)
        return {
            "packets": done,
            "rss_after_warmup_kib": self.at_warmup,
            "rss_highest_kib": self.highest,
            "rss_end_kib": end,
            "growth_kib": self.highest - self.at_warmup,
        }


def file_client(path, packets, warmup):
    """Child: read() over a recorded file of `packets` packets."""
    import tavrin_ahrs_driver

    client = tavrin_ahrs_driver.AHRSClient()
    client.open_file(path)
    track = RssTrack(warmup)
    done = 0
    read = client.read
    with harness.silenced(1):  # "Parsed packet: ..." per read
        while done < packets:
            if not read():
                break
            done += 1
            track.passed(done)
    return track.figures(done)


def buffered_client(templates, packets, warmup, buffer_size):
    """Child: take() from a pseudo-terminal streaming `packets` packets."""
    from bench_live import REST_SECONDS, SMALL_BATCH, Writer

    import tavrin_ahrs_driver

    writer = Writer(templates, packets)
    client = tavrin_ahrs_driver.BufferedAHRSClient(writer.path, 115200, buffer_size, False)
    track = RssTrack(warmup)
    done = 0
    deadline = time.monotonic() + 120
    while done < packets and time.monotonic() < deadline:
        items = client.take()
        done += len(items)
        small = len(items) < SMALL_BATCH
        del items
        track.passed(done)
        if small:
            time.sleep(REST_SECONDS)
    figures = track.figures(done)
    del client
    writer.wait()
    return figures


def parse_calls(path, calls, warmup):
    """Child: parse_data_stream_py called `calls` times on one file."""
    import tavrin_ahrs_driver

    parse = tavrin_ahrs_driver.parse_data_stream_py
    with harness.silenced(1, 2):  # every packet's line, and one closing line per call
        parse(path)
        first = harness.rss_kib()
        for _ in range(warmup - 1):
            parse(path)
        at_warmup = harness.rss_kib()
        highest = at_warmup
        for i in range(calls - warmup):
            parse(path)
            if i % 100 == 0:
                highest = max(highest, harness.rss_kib())
        end = harness.rss_kib()
    return {
        "calls": calls,
        "rss_after_first_kib": first,
        "rss_after_warmup_kib": at_warmup,
        "rss_highest_kib": max(highest, end),
        "rss_end_kib": end,
        "growth_kib": max(highest, end) - at_warmup,
    }


def concatenate(source, copies, path):
    with open(source, "rb") as f:
        data = f.read()
    with open(path, "wb") as out:
        for _ in range(copies):
            out.write(data)


def measure(workdir, recording, recording_packets, packets=1_000_000, warmup=10_000, calls=10_000, call_warmup=100):
    copies = -(-packets // recording_packets)
    long_file = os.path.join(workdir, "long.bin")
    concatenate(recording, copies, long_file)
    file_figures, _ = harness.run_child("bench_memory", "file_client", path=long_file, packets=packets, warmup=warmup)
    os.unlink(long_file)

    templates = os.path.join(workdir, "memory-templates.bin")
    live_packets.write_templates(templates)
    buffered, _ = harness.run_child(
        "bench_memory", "buffered_client", templates=templates, packets=packets, warmup=warmup, buffer_size=1000
    )

    small = os.path.join(workdir, "small.bin")
    make_recording(small, 20)
    parse, _ = harness.run_child("bench_memory", "parse_calls", path=small, calls=calls, warmup=call_warmup)
    return {"file_client": file_figures, "buffered_client": buffered, "parse_calls": parse}
