# Front door: `make run` builds and starts the console, `make test` builds and runs every test.
# Each target installs only what its own work needs (scripts/install-deps.sh).
JOBS     ?= $(shell nproc)
BUILD    ?= build
ASAN     ?= build-asan
FUZZ     ?= build-fuzz
GENERATOR = -G Ninja

.PHONY: all deps deps-test deps-fuzz deps-bench build build-tests run test test-asan test-gc-stress bench fuzz clean

all: build

deps:
	@bash scripts/install-deps.sh run
deps-test:
	@bash scripts/install-deps.sh test
deps-fuzz:
	@bash scripts/install-deps.sh fuzz
deps-bench:
	@bash scripts/install-deps.sh bench

$(BUILD)/build.ninja: | deps
	@cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

# A folder configured before GoogleTest (or Google Benchmark) was installed
# is configured again once it is, so that the target it lacked appears.
reconfigure = grep -q '^build $(2)[: ]' $(1)/build.ninja || cmake -S . -B $(1) >/dev/null

build: deps $(BUILD)/build.ninja
	@cmake --build $(BUILD) -j $(JOBS)

build-tests: deps-test $(BUILD)/build.ninja
	@$(call reconfigure,$(BUILD),zav_unit_tests)
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@./$(BUILD)/zav

# Every test, then every test again with a collection at every node and series
# allocation, then the language-level scripts under the reference evaluator.
# Tests labelled `once` read only the sources: the later passes leave them out.
test: build-tests
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@cd $(BUILD) && ZAV_GC_STRESS=1 ctest --output-on-failure -j $(JOBS) -LE '^once$$'
	@cd $(BUILD) && ZAV_REFERENCE_EVAL=1 ctest --output-on-failure -j $(JOBS) -L '^script$$'

$(ASAN)/build.ninja: | deps-test
	@cmake -S . -B $(ASAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DZAV_SANITIZE=ON >/dev/null

test-asan: deps-test $(ASAN)/build.ninja
	@$(call reconfigure,$(ASAN),zav_unit_tests)
	@cmake --build $(ASAN) -j $(JOBS)
	@# An unoptimised sanitizer build's machine frames are about twenty times
	@# larger: the scripts that go deep need a bigger stack to reach their depth.
	@cd $(ASAN) && ulimit -s 65536 && ctest --output-on-failure -j $(JOBS)

# Only the run with a collection at every node and series allocation.
test-gc-stress: build-tests
	@cd $(BUILD) && ZAV_GC_STRESS=1 ctest --output-on-failure -j $(JOBS) -LE '^once$$'

bench: deps-bench $(BUILD)/build.ninja
	@$(call reconfigure,$(BUILD),zav_bench)
	@cmake --build $(BUILD) -j $(JOBS)
	@bash bench/run.sh $(BUILD)

# libFuzzer targets (clang, with AddressSanitizer). The evaluation fuzzer runs
# for hours on its own: each input has a budget of evaluation steps and of
# memory, so endless or huge programs end as normal outcomes. Run it niced,
# seeded with the script tests, keeping what it learns in build-fuzz/eval-corpus:
#   mkdir -p build-fuzz/eval-corpus
#   nice -n 10 ./build-fuzz/eval_fuzz -dict=fuzz/eval.dict -timeout=10 -max_total_time=3600 \
#       build-fuzz/eval-corpus tests/fuzz-corpus/eval tests/scripts/*/
# With ZAV_GC_STRESS=1 in front it collects at every allocation (slower, finds
# unprotected values). A finding goes to tests/fuzz-corpus/eval/ once mended.
# eval_diff_fuzz, run the same way, is its differential mode: each input
# with the interpreter's fast paths and under the reference evaluator (a
# forked copy of the same state); a difference in output, value or error
# aborts with both outcomes.
# image_fuzz runs the image codecs' decoder the same way, seeded with
# tests/fuzz-corpus/image and tests/fixtures/pngsuite/png.
$(FUZZ)/build.ninja: | deps-fuzz
	@cmake -S . -B $(FUZZ) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAV_FUZZ=ON \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null

fuzz: deps-fuzz $(FUZZ)/build.ninja
	@cmake --build $(FUZZ) -j $(JOBS) --target lexer_fuzz eval_fuzz eval_diff_fuzz crush_fuzz inflate_fuzz zlib_fuzz gunzip_fuzz zavbin_fuzz \
		json_fuzz csv_fuzz url_fuzz image_fuzz

clean:
	@rm -rf $(BUILD) $(ASAN) $(FUZZ)
