# Short words for people; each target runs the set-up it needs.
# BUILD names the build folder (use your own when several people build at once).
BUILD ?= build
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)
B := $(abspath $(BUILD))
# Where the kernel cannot start 32-bit programs, Wine runs the x86_64 build of every test program
# while the shipped 32-bit program is still built and checked.
TEST_ARCH ?= $(shell scripts/test_arch.sh)
# The shipped program (win/) is built with the win32 thread model; the tests need the posix one, so they
# have their own build folder even where they run the 32-bit build. Where 32-bit programs cannot run, the
# 32-bit test tree is still compiled (not run), so that a fault only the i686 compiler sees fails the build.
I686_TESTS := $(B)/win-tests
ifeq ($(TEST_ARCH),i686)
TESTDIR := $(I686_TESTS)
COMPILE_ONLY :=
else
TESTDIR := $(B)/win64
COMPILE_ONLY := $(I686_TESTS)
endif
WIN_OPTS := -DOV_TOOLS_DIR=$(B)/tools -DOV_NATIVE_DIR=$(B)/native -DOV_FUZZ_DIR=$(B)/fuzz

.PHONY: setup configure banner build test fuzz clean release bench robustness demo screenshots

setup:
	@scripts/setup.sh $(BUILD)

$(B)/native/build.ninja:
	cmake --preset native -B $(B)/native >/dev/null
$(B)/fuzz/build.ninja:
	cmake --preset fuzz -B $(B)/fuzz >/dev/null
$(B)/win/build.ninja:
	cmake --preset windows -B $(B)/win $(WIN_OPTS) >/dev/null
$(I686_TESTS)/build.ninja:
	cmake --preset windows -DOV_THREADS=posix -B $(I686_TESTS) $(WIN_OPTS) -DOV_PRODUCT_EXE=$(B)/win/OVPatcher.exe >/dev/null
$(B)/win64/build.ninja:
	cmake --preset windows64 -B $(B)/win64 $(WIN_OPTS) -DOV_PRODUCT_EXE=$(B)/win/OVPatcher.exe >/dev/null

configure: setup $(B)/native/build.ninja $(B)/fuzz/build.ninja $(B)/win/build.ninja $(TESTDIR)/build.ninja \
           $(if $(COMPILE_ONLY),$(COMPILE_ONLY)/build.ninja)

build: configure
	cmake --build $(B)/native -j $(JOBS)
	cmake --build $(B)/fuzz -j $(JOBS)
	cmake --build $(B)/win -j $(JOBS)
	cmake --build $(TESTDIR) -j $(JOBS)
	$(if $(COMPILE_ONLY),cmake --build $(COMPILE_ONLY) -j $(JOBS))

# Says, before anything is compiled, which Windows programs the tests run here.
banner: configure
	@scripts/test_banner.sh $(TEST_ARCH) $(TESTDIR)

test: banner build
	scripts/run_tests.sh $(BUILD) $(TESTDIR)

fuzz: build
	@for t in $(B)/fuzz/fuzz_*; do \
	    [ -x "$$t" ] || continue; \
	    n=$$(basename $$t); echo "== $$n for $(FUZZ_SECONDS) s"; \
	    scripts/fuzz_run.sh $$t fuzz/corpus/$${n#fuzz_} $(FUZZ_SECONDS) 2>&1 | grep -E '^(stat::|INFO: Done|==|SUMMARY)' || exit 1; \
	done

# The shipped 32-bit program, its companions and a zip with its SHA-256, in dist/.
release: configure
	cmake --build $(B)/win -j $(JOBS) --target OVPatcher
	scripts/release.sh $(BUILD)

# Every benchmark in one Wine session; each prints its ratio against a reference measured in the same run.
bench: build
	scripts/run_windows.sh $(BUILD) $(TESTDIR) --each "$$(echo $(TESTDIR)/bench/bench_*.exe)"

# The mutated-patch test with its full count (make test runs a sample of it).
robustness: configure
	cmake --build $(B)/win -j $(JOBS) --target OVPatcher
	cmake --build $(TESTDIR) -j $(JOBS) --target robustness_e2e
	OV_ROBUSTNESS_COUNT=$${OV_ROBUSTNESS_COUNT:-1000} scripts/run_windows.sh $(BUILD) $(TESTDIR) $(TESTDIR)/robustness_e2e.exe

# A sample installation under build/demo/, a patch made with the maker's window and applied as a user would.
demo: configure
	cmake --build $(B)/win -j $(JOBS) --target OVPatcher
	cmake --build $(TESTDIR) -j $(JOBS) --target demo_driver
	scripts/demo.sh $(BUILD) $(TESTDIR)

# Pictures of the patcher window for an English and a French user, and of the maker window, at 96 and
# 144 DPI, in BUILD/screenshots/.
screenshots: configure
	cmake --build $(TESTDIR) -j $(JOBS) --target patcher_start_e2e OVPatcher
	scripts/screenshots.sh $(BUILD)
	scripts/screenshots_maker.sh $(BUILD)

clean:
	rm -rf $(B) dist
