# Front door: `make run` builds and starts the console, `make test` builds and runs every test.
JOBS     ?= $(shell nproc)
BUILD    ?= build
ASAN     ?= build-asan
FUZZ     ?= build-fuzz
GENERATOR = -G Ninja

.PHONY: all deps build run test test-asan test-gc-stress bench fuzz clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	@cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: deps $(BUILD)/build.ninja
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@./$(BUILD)/zav

# Every test, then every test again with a collection at every node and series allocation.
test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@cd $(BUILD) && ZAV_GC_STRESS=1 ctest --output-on-failure -j $(JOBS)

$(ASAN)/build.ninja: | deps
	@cmake -S . -B $(ASAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DZAV_SANITIZE=ON >/dev/null

test-asan: deps $(ASAN)/build.ninja
	@cmake --build $(ASAN) -j $(JOBS)
	@cd $(ASAN) && ctest --output-on-failure -j $(JOBS)

# Only the run with a collection at every node and series allocation.
test-gc-stress: build
	@cd $(BUILD) && ZAV_GC_STRESS=1 ctest --output-on-failure -j $(JOBS)

bench: build
	@bash bench/run.sh $(BUILD)

# libFuzzer targets (clang); run e.g. ./build-fuzz/eval_fuzz -timeout=2 -max_total_time=600 corpus/
$(FUZZ)/build.ninja: | deps
	@cmake -S . -B $(FUZZ) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAV_FUZZ=ON \
		-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null

fuzz: deps $(FUZZ)/build.ninja
	@cmake --build $(FUZZ) -j $(JOBS) --target lexer_fuzz eval_fuzz crush_fuzz inflate_fuzz zlib_fuzz gunzip_fuzz zavbin_fuzz

clean:
	@rm -rf $(BUILD) $(ASAN) $(FUZZ)
