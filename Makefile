# Everyday entry points. `make test` is what CI runs.
PYTHON310 ?= $(shell PYENV_VERSION=3.10.13 pyenv which python3.10 2>/dev/null || command -v python3.10)
PYTHON311 ?= $(shell PYENV_VERSION=3.11.7 pyenv which python3.11 2>/dev/null || command -v python3.11)
VENV ?= .venv
VENV311 ?= .venv311
PY := $(VENV)/bin/python
NATIVE_BUILD := build/native
WHEELS := build/wheel

.PHONY: all deps venv install native-test py-test py311-test test demo clean verify-floats

all: install

# System packages: tools/deps.sh holds the one list, by group, and installs
# what is missing (as root) or names the command to run.
DEPS := bash tools/deps.sh
deps:
	$(DEPS) all

$(VENV)/.ready: requirements-dev.txt
	$(PYTHON310) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.ready

# Builds the one abi3 wheel and installs it into the virtual environment.
install: venv
	$(DEPS) build
	rm -rf $(WHEELS)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEELS) .
	$(PY) -m pip install -q --force-reinstall --no-deps $(WHEELS)/*.whl

# The same wheel on the next interpreter version.
$(VENV311)/.ready: requirements-dev.txt
	$(PYTHON311) -m venv $(VENV311)
	$(VENV311)/bin/python -m pip install -q -r requirements-dev.txt
	touch $@

# Built and run twice: shortest digits from Dragonbox, and from std::to_chars
# (what a machine without Dragonbox builds).
CMAKE := $(VENV)/bin/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DAHRS_PYTHON=OFF
native-test: venv
	$(DEPS) build test
	$(CMAKE) -S . -B $(NATIVE_BUILD) -DAHRS_TESTS=ON -DAHRS_DRAGONBOX=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(VENV)/bin/cmake --build $(NATIVE_BUILD)
	cd $(NATIVE_BUILD) && ctest --output-on-failure -j2
	$(CMAKE) -S . -B $(NATIVE_BUILD)-to-chars -DAHRS_TESTS=ON -DAHRS_DRAGONBOX=OFF -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(VENV)/bin/cmake --build $(NATIVE_BUILD)-to-chars
	cd $(NATIVE_BUILD)-to-chars && ctest --output-on-failure -j2

# Every float32 and 100 million random float64 through the float writers,
# against std::to_chars, on both cores (a few minutes). DRAGONBOX=OFF checks
# the std::to_chars build instead.
DRAGONBOX ?= ON
verify-floats: venv
	$(DEPS) build
	$(CMAKE) -S . -B build/verify-floats -DAHRS_VERIFY_FLOATS=ON -DAHRS_DRAGONBOX=$(DRAGONBOX) -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(VENV)/bin/cmake --build build/verify-floats --target verify_floats
	build/verify-floats/verify_floats --float64 100000000 --threads 2

py-test: install
	$(PY) -m pytest -q tests/python

py311-test: install $(VENV311)/.ready
	$(VENV311)/bin/python -m pip install -q --force-reinstall --no-deps $(WHEELS)/*.whl
	$(VENV311)/bin/python -m pytest -q tests/python

test: native-test py-test py311-test

# DEVICE=/dev/ttyACM0 BAUD=115200 make demo  uses a real sensor instead.
demo: install
	$(PY) tools/demo.py

clean:
	rm -rf build $(VENV) $(VENV311)
include sanitize.mk
include bench/bench.mk
include fuzz/fuzz.mk
