# Everyday entry points. `make test` is what CI runs.
PYTHON310 ?= $(shell PYENV_VERSION=3.10.13 pyenv which python3.10 2>/dev/null || command -v python3.10)
VENV ?= .venv
PY := $(VENV)/bin/python
NATIVE_BUILD := build/native

.PHONY: all venv install native-test py-test test demo clean

all: install

$(VENV)/.ready: requirements-dev.txt
	$(PYTHON310) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: $(VENV)/.ready

# Builds the extension and installs it into the virtual environment.
install: venv
	$(PY) -m pip install -q --no-build-isolation --force-reinstall --no-deps .

native-test: venv
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -G Ninja -DAHRS_PYTHON=OFF -DAHRS_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(VENV)/bin/cmake --build $(NATIVE_BUILD)
	cd $(NATIVE_BUILD) && ctest --output-on-failure -j2

py-test: install
	$(PY) -m pytest -q tests/python

test: native-test py-test

# DEVICE=/dev/ttyACM0 BAUD=115200 make demo  uses a real sensor instead.
demo: install
	$(PY) tools/demo.py

clean:
	rm -rf build $(VENV)
