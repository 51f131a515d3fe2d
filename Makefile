# The README's two commands: `make run` and `make test`. Both install what is missing first.
# CMake's own makes below ours say nothing about the folders they enter.
MAKEFLAGS += --no-print-directory
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build configure run test test-sanitize test-tsan bench fuzz fuzz-reqlang fuzz-ctbcs \
  fuzz-atr fuzz-pinpad deb clean

all: build

# The tests' build directory, warnings as errors; one configured by hand without them gets them here.
configure:
	@scripts/install-deps build
	@grep -qs '^QUORVANE_WERROR:BOOL=ON' $(BUILD)/CMakeCache.txt || \
	  cmake -S . -B $(BUILD) -DQUORVANE_TESTS=ON -DQUORVANE_WERROR=ON $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

# Every program the README names (the menu, quorvane-run, quorvane-card, quorvane-bed), the
# library and the bed's reader probe. Where `make test` or `make build` has configured $(BUILD),
# they are built there, beside what those built; otherwise in a directory of their own that never
# has the tests (no GoogleTest, no libvterm, no benchmarks) and treats no warning as an error, so
# a newer compiler cannot stop a user's first run. $(BUILD)'s warnings as errors change every
# compile command, so `make test` cannot take over what `make run` built in $(RUN_BUILD).
RUN_BUILD ?= build-run
RUN_TARGETS = quorvane quorvane-run quorvane-card quorvane-bed bed-readers
run:
	@scripts/install-deps run
	@if [ -f $(BUILD)/CMakeCache.txt ]; then dir=$(BUILD); else dir=$(RUN_BUILD); \
	  test -f $$dir/CMakeCache.txt || cmake -S . -B $$dir -DQUORVANE_TESTS=OFF $(CMAKE_FLAGS) || exit; fi; \
	  cmake --build $$dir -j$(JOBS) --target $(RUN_TARGETS) && scripts/run-quorvane $$dir

test:
	@scripts/install-deps test
	@$(MAKE) --no-print-directory build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

bench:
	@scripts/install-deps bench
	@$(MAKE) --no-print-directory build
	@scripts/run-bench $(BUILD)

clean:
	rm -rf $(BUILD) $(RUN_BUILD) $(DEB_BUILD) build-fuzz

# The Debian packages quorvane, libctapi-pcsc1 and libctapi-pcsc-dev in $(DEB_BUILD), checked by
# lintian; install them with `apt-get install ./$(DEB_BUILD)/*.deb`.
DEB_BUILD ?= build-deb
deb:
	@scripts/install-deps deb
	JOBS=$(JOBS) scripts/build-deb $(DEB_BUILD)

# The fuzz targets under libFuzzer, ASan and UBSan, built with clang in build-fuzz/ (fuzz/run):
# the REQ reader (or the one FUZZ_TARGET names), quorvane-run's REQ language, the CT-API
# library's CT-BCS interpreter, the ATR decoder and the PIN-pad reader's PIN structures.
# FUZZ_SECONDS or FUZZ_RUNS bound a run.
fuzz:
	@scripts/install-deps fuzz
	JOBS=$(JOBS) fuzz/run $(FUZZ_SECONDS)
fuzz-reqlang fuzz-ctbcs fuzz-atr fuzz-pinpad: fuzz-%:
	@$(MAKE) --no-print-directory fuzz FUZZ_TARGET=$*

# The whole test suite again under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer.
test-sanitize:
	@scripts/install-deps test
	@$(MAKE) --no-print-directory build BUILD=build-asan CMAKE_FLAGS="-DQUORVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j$(JOBS)

# The CT-API library's tests under ThreadSanitizer: its interpreter, its bed tests (several
# terminals from several threads) and the C client that loads it by path; and quorvane-run, a
# process per reader that calls the library, in its bed tests.
TSAN_TESTS = unit_ctapi_ctbcs_test e2e_ctapi_library_test e2e_ctapi_dlopen_test e2e_ctapi_pin_test ctapi_dlopen_client \
  quorvane-run e2e_runner_test
test-tsan:
	@scripts/install-deps test
	@$(MAKE) --no-print-directory configure BUILD=build-tsan CMAKE_FLAGS="-DQUORVANE_TSAN=ON -DCMAKE_BUILD_TYPE=Debug"
	cmake --build build-tsan -j$(JOBS) --target $(TSAN_TESTS)
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --output-on-failure -j$(JOBS) -R '^((unit|e2e)\.ctapi_|e2e\.runner_test)'
