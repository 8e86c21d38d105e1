# `make bench`: every benchmark side by side in one run (a few minutes).
# Prints the table and writes bench/results.json. Included by the Makefile.
.PHONY: bench bench-quick bench-to-chars bench-analysis bench-sensor bench-time

bench: install bench-to-chars
	$(PY) bench/run_bench.py --json bench/results.json

# The driver built with std::to_chars digits instead of Dragonbox, beside the
# installed one, so recorded-file decoding is timed both ways in one run.
bench-to-chars: venv
	rm -rf build/bench/to-chars-wheel build/bench/to_chars
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -C cmake.define.AHRS_DRAGONBOX=OFF \
		-C build-dir=build/to-chars -w build/bench/to-chars-wheel .
	$(PY) -m pip install -q --no-deps --target build/bench/to_chars build/bench/to-chars-wheel/*.whl

# The same with small runs: checks that everything works, figures are rough.
bench-quick: install bench-to-chars
	$(PY) bench/run_bench.py --quick --json bench/results.json

# The analysis rows alone: Parquet export against load(), to_arrow()'s memory,
# ahrs-dataset on two workers against one.
bench-analysis: install
	$(PY) bench/run_bench.py --only analysis --json bench/results-analysis.json

# The live Sensor rows alone: latency and CPU at 1,000 packets/s beside
# take() and read(), a busy thread beside the loop, flat out, resuming.
bench-sensor: install
	$(PY) bench/run_bench.py --only sensor --json bench/results-sensor.json

# The time row alone: a live sample's time_ns, its raw host_ns and a
# recording's host_time against the simulator's truth, 20 s at 500 packets/s.
bench-time: install
	$(PY) bench/run_bench.py --only time --json bench/results-time.json
