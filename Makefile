# Front door: `make run` builds and starts the console, `make test` builds and runs every test.
JOBS     ?= $(shell nproc)
BUILD    ?= build
ASAN     ?= build-asan
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

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

$(ASAN)/build.ninja: | deps
	@cmake -S . -B $(ASAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DZAV_SANITIZE=ON >/dev/null

test-asan: deps $(ASAN)/build.ninja
	@cmake --build $(ASAN) -j $(JOBS)
	@cd $(ASAN) && ctest --output-on-failure -j $(JOBS)

bench: build
	@bash bench/run.sh $(BUILD)

clean:
	@rm -rf $(BUILD) $(ASAN)
