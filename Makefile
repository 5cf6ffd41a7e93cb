# Build, run and test Rugon. `make run` analyses the bundled example and shows the window (or,
# without a display, saves a screenshot of it); `make test` builds and runs every test.
BUILD ?= build
SAN_BUILD ?= build-sanitize
JOBS ?= 2

.PHONY: all build python run test test-sanitized-all fuzz bench validate format clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

# The Python package alone, in $(BUILD)/python: PYTHONPATH=$(BUILD)/python /usr/bin/python3
# (docs/python.md). `make build` builds it too.
python: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target python

run: build
	tools/run-example.sh $(BUILD)/rugon examples

test: build
	tools/check-format.sh
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 600
	tools/test-sanitized.sh $(SAN_BUILD)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer (`make test` runs the
# tests of everything a file from outside reaches), and a short libFuzzer run of every target.
test-sanitized-all:
	tools/test-sanitized.sh --all $(SAN_BUILD)

fuzz:
	tools/fuzz.sh --short

bench: build
	tools/bench.sh $(BUILD)
	tools/bench-batch.sh $(BUILD)

# Recovery of known roughness from generated images: table, verdict and picture in
# $(BUILD)/validation (see docs/validation.md).
validate: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS) --target rugon-validate
	$(BUILD)/tools/validate/rugon-validate --output-dir $(BUILD)/validation

format:
	clang-format -i $$(git ls-files 'src/*.h' 'src/*.cpp' 'tests/*.h' 'tests/*.cpp' 'tools/*.h' 'tools/*.cpp' 'python/*.cpp')

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
