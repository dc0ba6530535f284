# The two commands: `make demo` and `make test`. Everything else is a helper.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build demo test deps test-linux format format-check clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

demo: deps build
	scripts/demo.sh $(BUILD)/logharvest

deps:
	scripts/install-deps.sh

test: deps format-check test-linux

test-linux: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD)
