# Everyday entry points. `make test` is what CI runs.
#
# Python comes from PATH (tools/python.sh): python3.10 when it runs, since the
# wheel is built for its stable ABI, else python3 when it is 3.10 or later;
# PYTHON=/path/to/python picks another. The Python tests run again on a second
# version (another python3.N on PATH) when there is one.
PYTHON ?=
VENV ?= .venv
PY := $(VENV)/bin/python
NATIVE_BUILD := build/native
WHEELS := build/wheel
# What `make test` ran, for its closing line.
RESULTS := build/test-results
# pip's own progress on a terminal (CMake's and Ninja's steps come through
# it with -v); a quiet line on a pipe, so CI logs stay short.
ON_TTY := $(shell [ -t 1 ] && echo tty)
PIP_PROGRESS := $(if $(ON_TTY),,-q)
BUILD_PROGRESS := $(if $(ON_TTY),-v,-q)
# Extras installed with the wheel, e.g. `make install EXTRAS=plot`.
EXTRAS ?=

.PHONY: all deps venv install native-test py-test py-test-other test demo clean verify-floats lint format typecheck docs wheel wire-table

all: install

# System packages: tools/deps.sh holds the one list, by group, and installs
# what is missing (as root) or names the command to run.
DEPS := $(if $(PYTHON),PYTHON="$(PYTHON)" )bash tools/deps.sh
deps:
	$(DEPS) all

# An environment whose interpreter still runs is kept, whichever it is; one
# that does not (or none) is made afresh from the interpreter tools/python.sh
# finds.
$(VENV)/.ready: requirements-dev.txt
	@$(PY) -c '' 2>/dev/null || { \
		$(DEPS) python && found=$$(PYTHON="$(PYTHON)" bash tools/python.sh) && \
		echo "virtual environment $(VENV): Python $${found}" && \
		rm -rf $(VENV) && "$${found#* }" -m venv $(VENV); }
	@echo "venv: installing the Python packages of requirements-dev.txt (a minute or two the first time)"
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install $(PIP_PROGRESS) -r requirements-dev.txt
	touch $@

venv: $(VENV)/.ready

# Builds the one abi3 wheel and installs it into the virtual environment, when
# something that goes into it changed since the last time. The build directory
# (build/<wheel tag>) is kept, so only what changed is compiled again.
WHEEL_SOURCES := CMakeLists.txt pyproject.toml README.md \
	$(shell find src python -name __pycache__ -prune -o -type f -print)
$(VENV)/.installed: $(VENV)/.ready $(WHEEL_SOURCES)
	$(DEPS) build
	rm -rf $(WHEELS)
	@echo "install: compiling the C++ extensions into a wheel (about 2 minutes the first time, seconds after a small change)"
	$(PY) -m pip wheel $(BUILD_PROGRESS) --no-build-isolation --no-deps -w $(WHEELS) .
	$(PY) -m pip install -q --force-reinstall --no-deps $(WHEELS)/*.whl
	touch $@

install: $(VENV)/.installed
	$(if $(EXTRAS),$(PY) -m pip install -q "$$(echo $(WHEELS)/*.whl)[$(EXTRAS)]")

# The simulator runs on the standard library alone: it reads the wire format
# from a module generated from the native record catalogue, checked in, and
# held equal to it by a test. Run after changing the catalogue.
WIRE_TABLE := python/tavrin_ahrs_tools/wire_table.py
wire-table: install
	$(PY) tools/wire_table.py $(WIRE_TABLE)
	$(VENV)/bin/ruff format --quiet $(WIRE_TABLE)
	$(MAKE) install

# $(call quietly,LOG,COMMAND): COMMAND's output goes to LOG, and is shown only
# when it fails.
quietly = { $(2); } >$(1) 2>&1 || { cat $(1); echo "failed: see $(1)" >&2; exit 1; }

# Built and run twice: shortest digits from Dragonbox, and from std::to_chars
# (what a machine without Dragonbox builds). $(call native_tests,DIR,DRAGONBOX)
CMAKE := $(VENV)/bin/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DAHRS_PYTHON=OFF
define native_tests
	@mkdir -p $(RESULTS) && rm -f $(RESULTS)/native-dragonbox-$(2).xml
	@echo "native tests, AHRS_DRAGONBOX=$(2): building in $(1)"
	@$(call quietly,$(1).log,$(CMAKE) -S . -B $(1) -DAHRS_TESTS=ON -DAHRS_DRAGONBOX=$(2) -DCMAKE_BUILD_TYPE=Debug \
		&& $(VENV)/bin/cmake --build $(1))
	@$(call quietly,$(1)/ctest.log,$(VENV)/bin/ctest --test-dir $(1) --output-on-failure -j2 \
		--output-junit $(abspath $(RESULTS))/native-dragonbox-$(2).xml)
	@grep 'tests passed' $(1)/ctest.log
endef
native-test: venv
	$(DEPS) build test
	$(call native_tests,$(NATIVE_BUILD),ON)
	$(call native_tests,$(NATIVE_BUILD)-to-chars,OFF)

# Every float32 and 100 million random float64 through the float writers,
# against std::to_chars, on both cores (a few minutes). DRAGONBOX=OFF checks
# the std::to_chars build instead.
DRAGONBOX ?= ON
verify-floats: venv
	$(DEPS) build
	$(CMAKE) -S . -B build/verify-floats -DAHRS_VERIFY_FLOATS=ON -DAHRS_DRAGONBOX=$(DRAGONBOX) -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(VENV)/bin/cmake --build build/verify-floats --target verify_floats
	build/verify-floats/verify_floats --float64 100000000 --threads 2

# The Python tests, with the interpreter's version in their results.
# $(call pytest,PYTHON,RESULT NAME)
pytest = mkdir -p $(RESULTS) && rm -f $(RESULTS)/$(2).xml && \
	version=$$($(1) -c 'import platform; print(platform.python_version())') && \
	echo "Python tests on $$version: $(1) -m pytest -q tests/python" && \
	$(1) -m pytest -q tests/python --junitxml=$(RESULTS)/$(2).xml -o junit_suite_name="$$version"

py-test: install wheel
	$(DEPS) docs
	@echo "Python tests: a few minutes"
	@$(call pytest,$(PY),python)

# The same wheel on a second Python version, in its own environment
# (.venv<version>), when PATH has one.
py-test-other: install
	@mkdir -p $(RESULTS) && rm -f $(RESULTS)/python-other.*
	@found=$$(bash tools/python.sh other "$$($(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])')"); \
	if [ -z "$$found" ]; then \
		echo "the one Python found (no second 3.10 or later on PATH to repeat them on)" | tee $(RESULTS)/python-other.none; \
		exit 0; \
	fi; \
	venv=$(VENV)$$(echo $${found%% *} | tr -d .); \
	$$venv/bin/python -c '' 2>/dev/null || { PYTHON="$${found#* }" bash tools/deps.sh python && \
		rm -rf $$venv && "$${found#* }" -m venv $$venv; } && \
	if [ ! -f $$venv/.ready ] || [ requirements-dev.txt -nt $$venv/.ready ]; then \
		$$venv/bin/python -m pip install -q --upgrade pip && \
		$$venv/bin/python -m pip install -q -r requirements-dev.txt && touch $$venv/.ready; \
	fi && \
	$$venv/bin/python -m pip install -q --force-reinstall --no-deps $(WHEELS)/*.whl && \
	$(call pytest,$$venv/bin/python,python-other)

# Layout and lint: ruff for Python, clang-format for C++, with the settings in
# pyproject.toml and .clang-format (versions pinned in requirements-dev.txt,
# so every machine formats alike). `make format` rewrites the tree to them.
CPP_SOURCES = $(shell find src tests fuzz bench sanitize \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) 2>/dev/null)
lint: venv
	@echo "lint: ruff check, ruff format --check, clang-format --dry-run"
	@$(VENV)/bin/ruff check --quiet --output-format concise .
	@$(VENV)/bin/ruff format --check .
	@$(VENV)/bin/clang-format --dry-run -Werror $(CPP_SOURCES)

format: venv
	$(VENV)/bin/ruff check --fix --exit-zero --quiet .
	$(VENV)/bin/ruff format --quiet .
	$(VENV)/bin/clang-format -i $(CPP_SOURCES)

# Types of the package (strictly: every function annotated) and of the
# examples; the driver's types come from its installed stub.
typecheck: install
	@echo "typecheck: mypy over python/tavrin_ahrs_tools and examples (about 15 s the first time)"
	@$(PY) -m mypy

# The documentation site, into site/: any warning (a broken link, a page
# missing from the nav, a docstring that does not render) fails it.
docs: install
	@echo "docs: building the site into site/ (mkdocs --strict, about 10 s)"
	@$(call quietly,build/docs.log,NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build --strict --site-dir site)
	@echo "docs: site/index.html"

# A wheel for a colleague's Linux machine: the abi3 wheel, repaired by
# auditwheel into a manylinux tag, in build/dist.
wheel: install
	@echo "wheel: repairing $$(basename $(WHEELS)/*.whl) with auditwheel"
	@rm -rf build/dist && PATH=$(abspath $(VENV)/bin):$$PATH $(VENV)/bin/auditwheel repair -w build/dist $(WHEELS)/*.whl 2>&1 | tail -1
	@ls build/dist/*.whl

# Ends with one line: what ran and passed.
test: typecheck lint native-test py-test py-test-other docs
	@$(PY) tools/test_summary.py $(RESULTS)

# DEVICE=/dev/ttyACM0 BAUD=115200 make demo  uses a real sensor instead.
demo: install
	$(PY) tools/demo.py

clean:
	rm -rf build $(VENV) $(VENV)[0-9]*
include sanitize.mk
include bench/bench.mk
include fuzz/fuzz.mk
