# Short words for people; each target runs the set-up it needs.
# BUILD names the build folder (use your own when several people build at once).
BUILD ?= build
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)
B := $(abspath $(BUILD))

.PHONY: setup build test fuzz bench demo release screenshots robustness clean

setup:
	@scripts/setup.sh $(BUILD)

$(B)/native/build.ninja:
	cmake --preset native -B $(B)/native >/dev/null
$(B)/fuzz/build.ninja:
	cmake --preset fuzz -B $(B)/fuzz >/dev/null
$(B)/win/build.ninja:
	cmake --preset windows -B $(B)/win -DOV_TOOLS_DIR=$(B)/tools -DOV_NATIVE_DIR=$(B)/native -DOV_FUZZ_DIR=$(B)/fuzz >/dev/null

build: setup $(B)/native/build.ninja $(B)/fuzz/build.ninja $(B)/win/build.ninja
	cmake --build $(B)/native -j $(JOBS)
	cmake --build $(B)/fuzz -j $(JOBS)
	cmake --build $(B)/win -j $(JOBS)

test: build
	scripts/run_tests.sh $(BUILD)

fuzz: build
	@for t in $(B)/fuzz/fuzz_*; do \
	    [ -x "$$t" ] || continue; \
	    n=$$(basename $$t); echo "== $$n for $(FUZZ_SECONDS) s"; \
	    scripts/fuzz_run.sh $$t fuzz/corpus/$${n#fuzz_} $(FUZZ_SECONDS) 2>&1 | grep -E '^(stat::|INFO: Done|==|SUMMARY)' || exit 1; \
	done

clean:
	rm -rf $(B) dist
