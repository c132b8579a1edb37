# Drives CMake. `make` builds build/sendal; `make test` builds and runs every test (unit,
# end-to-end, fuzz seed replay, and the sanitizer builds); `make demo` sends sample mail to a
# demo relay on 127.0.0.1.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)

.PHONY: all build deps test test-main test-asan test-tsan demo fuzz bench clean

all: build

deps:
	@tools/install-deps

build:
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: deps
	@$(MAKE) --no-print-directory test-main test-asan test-tsan

test-main: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	@cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DSENDAL_SANITIZE=address >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

test-tsan:
	@cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DSENDAL_SANITIZE=thread >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target unit_tests
	cd $(TSAN_BUILD) && ctest --output-on-failure -j $(JOBS) -L unit

demo: deps build
	/usr/bin/python3 tools/demo.py $(BUILD)/sendal

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
