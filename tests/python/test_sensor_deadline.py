"""Sensor.samples(): iteration that ends on a deadline or a count, threaded
and in asyncio, also while the device is away."""

import asyncio
import time

import pytest
import test_sensor
from test_sensor import number, stamped, wait_for

from tavrin_ahrs_tools import Sensor

plug = test_sensor.plug  # the fixture, shared


def collect(iterator, in_asyncio):
    if not in_asyncio:
        return list(iterator)

    async def gather():
        return [sample async for sample in iterator]

    return asyncio.run(gather())


@pytest.mark.parametrize("in_asyncio", [False, True], ids=["thread", "asyncio"])
class TestSamples:
    def test_count_ends_after_that_many_in_order(self, plug, in_asyncio):
        with Sensor(plug.link, configure=False) as s:
            plug.send(b"".join(stamped(i) for i in range(10)))
            got = collect(s.samples(count=4, seconds=30), in_asyncio)
            assert [number(x) for x in got] == [0, 1, 2, 3]
            assert number(s.read(timeout=5)) == 4  # what was not taken stays queued

    def test_deadline_ends_iteration_while_the_device_is_away(self, plug, in_asyncio):
        with Sensor(plug.link, configure=False) as s:
            plug.send(stamped(0))
            assert number(s.read(timeout=5)) == 0
            plug.unplug()
            wait_for(lambda: s.status == "reconnecting")
            started = time.monotonic()
            assert collect(s.samples(seconds=0.5), in_asyncio) == []
            assert 0.4 <= time.monotonic() - started < 10


def test_bad_arguments_name_themselves(plug):
    with Sensor(plug.link, configure=False) as s:
        with pytest.raises(ValueError, match="timeout"):
            s.samples(seconds=-1)
        with pytest.raises(TypeError, match="count"):
            s.samples(count=1.5)
