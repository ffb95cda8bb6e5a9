# Short words for people; each target runs the set-up it needs.
# BUILD names the build folder (use your own when several people build at once).
BUILD ?= build
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)
B := $(abspath $(BUILD))
# Each step's time goes to one file, printed at the end of `make test`.
TIMES := $(B)/times.txt
T := scripts/timed.sh $(TIMES)
# Set-up runs before anything else is decided, so that the choice below sees what it installed. A goal
# other than setup and clean runs it once, here.
ifneq ($(filter-out clean setup,$(or $(MAKECMDGOALS),setup)),)
ifndef OV_SETUP_DONE
ifneq ($(shell mkdir -p $(B) && echo "start $$(date +%s)" >$(TIMES) && $(T) set-up scripts/setup.sh $(BUILD) >&2; echo $$?),0)
$(error set-up failed (see above))
endif
export OV_SETUP_DONE := 1
endif
endif
# Where 32-bit Wine cannot run (the kernel cannot start 32-bit programs, or 32-bit Wine could not be
# installed), Wine runs the x86_64 build of every test program while the shipped 32-bit program is
# still built and checked. TEST_ARCH=i686 or TEST_ARCH=x86_64 forces either.
TEST_ARCH ?= $(shell scripts/test_arch.sh $(BUILD))
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
WIN_OPTS := -DOV_TOOLS_DIR=$(B)/tools -DOV_NATIVE_DIR=$(B)/native -DOV_FUZZ_DIR=$(B)/fuzz -DOV_CLI_DIR=$(B)/cli

.PHONY: setup configure banner build build-run test fuzz clean release bench robustness demo screenshots

setup:
	@$(if $(OV_SETUP_DONE),:,scripts/setup.sh $(BUILD))

$(B)/native/build.ninja:
	cmake --preset native -B $(B)/native >/dev/null
$(B)/fuzz/build.ninja:
	cmake --preset fuzz -B $(B)/fuzz >/dev/null
$(B)/cli/build.ninja:
	cmake --preset cli -B $(B)/cli >/dev/null
$(B)/win/build.ninja:
	cmake --preset windows -B $(B)/win $(WIN_OPTS) >/dev/null
$(I686_TESTS)/build.ninja:
	cmake --preset windows -DOV_THREADS=posix -B $(I686_TESTS) $(WIN_OPTS) -DOV_PRODUCT_EXE=$(B)/win/OVPatcher.exe >/dev/null
$(B)/win64/build.ninja:
	cmake --preset windows64 -B $(B)/win64 $(WIN_OPTS) -DOV_PRODUCT_EXE=$(B)/win/OVPatcher.exe >/dev/null

configure: setup $(B)/native/build.ninja $(B)/fuzz/build.ninja $(B)/cli/build.ninja $(B)/win/build.ninja \
           $(TESTDIR)/build.ninja $(if $(COMPILE_ONLY),$(COMPILE_ONLY)/build.ninja)

# What the tests run; `build` adds the i686 test tree where it is only compiled.
build-run: configure
	@$(T) "build native" cmake --build $(B)/native -j $(JOBS)
	@$(T) "build fuzz" cmake --build $(B)/fuzz -j $(JOBS)
	@$(T) "build cli" cmake --build $(B)/cli -j $(JOBS)
	@$(T) "build win" cmake --build $(B)/win -j $(JOBS)
	@$(T) "build $(notdir $(TESTDIR))" cmake --build $(TESTDIR) -j $(JOBS)

build: build-run
	$(if $(COMPILE_ONLY),cmake --build $(COMPILE_ONLY) -j $(JOBS))

# Says, before anything is compiled, which Windows programs the tests run here.
banner: configure
	@scripts/test_banner.sh "make test" $(TEST_ARCH) $(TESTDIR) $(BUILD) $(origin TEST_ARCH)

# The tree that is only compiled is compiled beside the test run, at the lowest priority; a fault in it
# fails the run as a failing test does.
test: banner build-run
	@rc=0; \
	$(if $(COMPILE_ONLY),nice -n 19 $(T) "build $(notdir $(COMPILE_ONLY)) (compiled only, beside the tests)" \
	    cmake --build $(COMPILE_ONLY) -j $(JOBS) >$(B)/compile-only.log 2>&1 & compiling=$$!;) \
	$(T) tests scripts/run_tests.sh $(BUILD) $(TESTDIR) || rc=$$?; \
	$(if $(COMPILE_ONLY),wait $$compiling || { grep -E -B2 -A8 'error|FAILED' $(B)/compile-only.log | head -80; \
	    echo "make test: the i686 test tree does not compile (all of it in $(B)/compile-only.log)"; rc=1; };) \
	scripts/timed.sh --report $(TIMES); exit $$rc

fuzz: build
	@for t in $(B)/fuzz/fuzz_*; do \
	    [ -x "$$t" ] || continue; \
	    n=$$(basename $$t); echo "== $$n for $(FUZZ_SECONDS) s"; \
	    scripts/fuzz_run.sh $$t fuzz/corpus/$${n#fuzz_} $(FUZZ_SECONDS) 2>&1 | grep -E '^(stat::|INFO: Done|==|SUMMARY)' || exit 1; \
	done

# The shipped 32-bit program, its companions and a zip with its SHA-256, and ovpatch for Linux x86_64 with
# its own, in dist/.
release: configure
	cmake --build $(B)/win -j $(JOBS) --target OVPatcher
	cmake --build $(B)/cli -j $(JOBS) --target ovpatch
	scripts/release.sh $(BUILD)

# Every benchmark in one Wine session; each prints its ratio against a reference measured in the same run.
bench: build
	scripts/run_windows.sh $(BUILD) $(TESTDIR) --each "$$(echo $(TESTDIR)/bench/bench_*.exe)"
	$(B)/cli/bench_delta
	bench/delta_apply.sh $(BUILD) $(TESTDIR)

# The robustness run with its full counts (make test runs a sample of each): OV_ROBUSTNESS_COUNT damaged
# patches, then OV_ROBUSTNESS_JOURNALS damaged and planted journals met at start-up (1,000 each unless told;
# 0 leaves a half out). OV_ROBUSTNESS_SEED and OV_ROBUSTNESS_FIRST run one case again alone.
robustness: configure
	cmake --build $(B)/win -j $(JOBS) --target OVPatcher
	cmake --build $(TESTDIR) -j $(JOBS) --target robustness_e2e OVPatcher
	OV_ROBUSTNESS_COUNT=$${OV_ROBUSTNESS_COUNT:-1000} OV_ROBUSTNESS_JOURNALS=$${OV_ROBUSTNESS_JOURNALS:-1000} \
	    scripts/run_windows.sh $(BUILD) $(TESTDIR) $(TESTDIR)/robustness_e2e.exe

# A sample installation under build/demo/, a patch made with the maker's window and applied as a user would.
demo: configure
	cmake --build $(B)/win -j $(JOBS) --target OVPatcher
	cmake --build $(TESTDIR) -j $(JOBS) --target demo_driver
	@scripts/test_banner.sh "make demo" $(TEST_ARCH) $(TESTDIR) $(BUILD) $(origin TEST_ARCH)
	scripts/demo.sh $(BUILD) $(TESTDIR)

# Pictures of the patcher window for an English and a French user, and of the maker window, at 96 and
# 144 DPI, in BUILD/screenshots/.
screenshots: configure
	cmake --build $(TESTDIR) -j $(JOBS) --target patcher_start_e2e maker_build_e2e OVPatcher
	scripts/screenshots.sh $(BUILD)
	scripts/screenshots_maker.sh $(BUILD)

clean:
	rm -rf $(B) dist
