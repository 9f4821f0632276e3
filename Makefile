# make test: installs what is missing, builds, runs the C++ and Python suites.
BUILD ?= build/cmake
VENV := .venv
PY := $(VENV)/bin/python
CMAKE_ARGS ?=

.PHONY: test deps cpp-build cpp-test venv py-test bench clean run

test: cpp-test py-test

deps:
	@scripts/install-deps

cpp-build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD)

cpp-test: cpp-build
	ctest --test-dir $(BUILD) --output-on-failure -j2 --timeout 300

venv: deps
	@scripts/setup-venv

# the Python suite joins once the module has a build
py-test: deps
	@if [ -f vyre_python/CMakeLists.txt ]; then \
		scripts/setup-venv && $(PY) -m pytest -q vyre_python/tests $(wildcard vyre_tools/tests); \
	fi

# make run: set up .venv (with the cli extra) and take the tour on a simulated device
run: deps
	@scripts/setup-venv
	$(VENV)/bin/vyre demo

bench: cpp-build
	$(BUILD)/bench/core_bench

clean:
	rm -rf build .venv
