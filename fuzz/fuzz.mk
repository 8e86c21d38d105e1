# libFuzzer targets, built with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer from the protocol sources, the port's attempt
# buffer and the recording scanner (no Python). `make fuzz` is the full run, `make fuzz-smoke` the short
# one CI runs. New corpus entries go to build/fuzz/corpus, crashes to
# build/fuzz/artifacts; the committed seeds in fuzz/corpus are only read.
FUZZ_CXX ?= clang++-14
FUZZ_BUILD := build/fuzz
FUZZ_TARGETS := fuzz_packet fuzz_resync fuzz_recording
FUZZ_RUNS ?= 1000000
FUZZ_SMOKE_RUNS ?= 50000
FUZZ_CXXFLAGS := -std=c++20 -O1 -g -fno-omit-frame-pointer -Wall -Wextra -Isrc -Itests \
	-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
FUZZ_LIB_SOURCES := $(wildcard src/protocol/*.cpp) src/device/attempt_buffer.cpp src/recording/recording_scan.cpp \
	src/device/files.cpp src/device/interrupts.cpp \
	$(wildcard tests/reference/*.cpp)
FUZZ_LIB_OBJECTS := $(FUZZ_LIB_SOURCES:%.cpp=$(FUZZ_BUILD)/%.o)
FUZZ_BINARIES := $(FUZZ_TARGETS:%=$(FUZZ_BUILD)/%)

.PHONY: fuzz-build fuzz fuzz-smoke fuzz-deps
# Kept between runs: pattern-built objects would otherwise be deleted.
.SECONDARY: $(FUZZ_LIB_OBJECTS) $(FUZZ_TARGETS:%=$(FUZZ_BUILD)/fuzz/%.o)

fuzz-build: $(FUZZ_BINARIES)

# clang and its fuzzing runtime, when missing.
fuzz-deps:
	$(DEPS) fuzz

$(FUZZ_BUILD)/%.o: %.cpp | fuzz-deps
	@mkdir -p $(@D)
	$(FUZZ_CXX) $(FUZZ_CXXFLAGS) -MMD -MP -c $< -o $@

$(FUZZ_BUILD)/fuzz_%: $(FUZZ_BUILD)/fuzz/fuzz_%.o $(FUZZ_LIB_OBJECTS)
	$(FUZZ_CXX) $(FUZZ_CXXFLAGS) $^ -o $@

-include $(FUZZ_LIB_OBJECTS:.o=.d) $(FUZZ_TARGETS:%=$(FUZZ_BUILD)/fuzz/%.d)

fuzz: $(FUZZ_BINARIES)
	@for t in $(FUZZ_TARGETS); do FUZZ_BUILD=$(FUZZ_BUILD) fuzz/run.sh $$t $(FUZZ_RUNS) || exit 1; done

fuzz-smoke: FUZZ_RUNS = $(FUZZ_SMOKE_RUNS)
fuzz-smoke: fuzz
