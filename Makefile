# The two commands a newcomer needs: `make demo` and `make test`.
# Both install what is missing (Debian packages), then build.

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
# Seconds each fuzz target runs: in `make test`, and in `make fuzz`.
TEST_FUZZ_SECONDS ?= 3
FUZZ_SECONDS ?= 120
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?=
PREFIX     ?= /usr/local

.PHONY: all deps build build-asan build-fuzz test test-plain test-asan test-fuzz fuzz demo bench clean install uninstall

all: build

deps:
	scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_WERROR=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DOSTREL_WERROR=ON -DOSTREL_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)

test-plain: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The fuzz targets with libFuzzer, in a clang build of their own (the plain
# and sanitizer builds only replay their seeds).
build-fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTREL_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target ostrel_fuzzers

# Each fuzz target for a few seconds from its seeds, so that the targets keep
# building and their seeds keep passing.
test-fuzz: build-fuzz
	OSTREL_FUZZ_SECONDS=$(TEST_FUZZ_SECONDS) ctest --test-dir $(FUZZ_BUILD) -L fuzz --output-on-failure -j $(JOBS)

# Every test, once in a plain build and once under ASan + UBSan, then the
# short fuzz runs.
test: test-plain test-asan test-fuzz

# Each fuzz target for FUZZ_SECONDS; what a run finds is kept in
# $(FUZZ_BUILD)/fuzz-work/TARGET/ (corpus/, and crash-* inputs that fail).
fuzz: build-fuzz
	OSTREL_FUZZ_SECONDS=$(FUZZ_SECONDS) ctest --test-dir $(FUZZ_BUILD) -L fuzz --output-on-failure -j $(JOBS) --timeout $$(( $(FUZZ_SECONDS) + 120 ))

demo: build
	scripts/demo/run $(BUILD)

bench: build
	bench/run $(BUILD)

# Installs under PREFIX (default /usr/local); DESTDIR, when set, is put in
# front of every path (for packaging).  The list of installed files is kept
# in $(BUILD)/install_manifest.txt, which `make uninstall` removes again.
install: build
	cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j $(JOBS)
	DESTDIR=$(DESTDIR) cmake --install $(BUILD)

uninstall:
	@test -f $(BUILD)/install_manifest.txt || { echo "nothing installed from $(BUILD)"; exit 1; }
	sed 's|^|$(DESTDIR)|' $(BUILD)/install_manifest.txt | xargs -d '\n' rm -f --
	sed -n 's,^\(.*/\(ostrel\|grevolt\)\)/[^/]*$$,$(DESTDIR)\1,p' $(BUILD)/install_manifest.txt | \
	  sort -u | xargs -r -d '\n' rmdir --ignore-fail-on-non-empty --
	rm -f $(BUILD)/install_manifest.txt

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
