# `make bench`: every benchmark side by side in one run (a few minutes).
# Prints the table and writes bench/results.json. Included by the Makefile.
.PHONY: bench bench-quick

bench: install
	$(PY) bench/run_bench.py --json bench/results.json

# The same with small runs: checks that everything works, figures are rough.
bench-quick: install
	$(PY) bench/run_bench.py --quick --json bench/results.json
