# Drives CMake. `make` builds build/sendal; `make test` builds and runs every test (unit,
# end-to-end, fuzz seed replay, and the sanitizer builds); `make demo` sends sample mail to a
# demo relay on 127.0.0.1.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_GEN  := $(shell command -v ninja >/dev/null 2>&1 && echo -G Ninja)

PREFIX     ?= /usr/local

.PHONY: all build deps test install package test-main test-asan test-tsan demo fuzz bench clean

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

# The unit tests, and the TLS tests end to end with sendal built for ThreadSanitizer (a race
# ends the run with exit code 66, which fails the test that saw it).
test-tsan:
	@cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DSENDAL_SANITIZE=thread >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target unit_tests sendal sendal-enqueue tls_relay
	cd $(TSAN_BUILD) && ctest --output-on-failure -j $(JOBS) -L unit -LE fuzz
	cd $(TSAN_BUILD) && TSAN_OPTIONS="halt_on_error=1 exitcode=66" \
	  ctest --output-on-failure -j $(JOBS) -R '^e2e_test_(tls|bounded|credentials)$$'


# DESTDIR=/tmp/x make install PREFIX=/usr lays the files out below /tmp/x.
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian package, with the manual page compressed as Debian wants it.
package:
	@cmake -S . -B build-package $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr -DSENDAL_COMPRESS_MAN=ON >/dev/null
	@cmake --build build-package -j $(JOBS) --target sendal sendal-enqueue manpage
	@cd build-package && cpack -G DEB >/dev/null && ls -1 $$PWD/*.deb

demo: deps build
	/usr/bin/python3 tools/demo.py $(BUILD)/sendal

# Each fuzz target runs FUZZ_SECONDS on a copy of its seed corpus; findings land in $(FUZZ_BUILD).
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := $(basename $(notdir $(wildcard tests/fuzz/*_fuzz.cpp)))

fuzz: deps
	@dpkg-query -W libclang-rt-14-dev >/dev/null 2>&1 || apt-get install -y -qq clang libclang-rt-14-dev >/dev/null
	@CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DSENDAL_SANITIZE=fuzzer >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/findings/$$t; \
	  cp -n tests/fuzz/corpus/$$t/* $(FUZZ_BUILD)/corpus/$$t/ 2>/dev/null || true; \
	  echo "== $$t: $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/$$t -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -print_final_stats=1 \
	    -artifact_prefix=$(CURDIR)/$(FUZZ_BUILD)/findings/$$t/ $(CURDIR)/$(FUZZ_BUILD)/corpus/$$t 2>&1 | \
	    grep -E '^(stat::number_of_executed_units|Done|==.*ERROR|SUMMARY|invariant)' || true; \
	done; ls $(FUZZ_BUILD)/findings/*/ 2>/dev/null | grep -v '^$$' || true

bench: deps build
	@bench/install-tools
	@echo "== round trip of one command"; $(BUILD)/bench/roundtrip_bench
	@/usr/bin/python3 bench/compare.py $(BUILD)/sendal
	@/usr/bin/python3 bench/tls.py $(BUILD)/sendal
	@/usr/bin/python3 bench/memory.py $(BUILD)/sendal
	@/usr/bin/python3 bench/latency.py $(BUILD)/sendal
	@/usr/bin/python3 bench/reader.py $(BUILD)/sendal
	@/usr/bin/python3 bench/chunking.py $(BUILD)/sendal
	@/usr/bin/python3 bench/sandbox.py $(BUILD)/sendal

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) build-package
