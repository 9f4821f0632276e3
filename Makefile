# make test: installs what is missing, builds, lints, runs the C++ and Python suites.
BUILD ?= build/cmake
VENV := .venv
PY := $(VENV)/bin/python
CMAKE_ARGS ?=
# The Python suites mostly wait on devices, so they run on more workers than
# the machine has cores; PYTEST_WORKERS=0 runs them in this process.
PYTEST_WORKERS ?= 4
# (a module that shares one server in file order is one xdist group)
PYTEST_ARGS ?= -n $(PYTEST_WORKERS) --dist loadgroup
# ccache, where it is, lets the module's build in .venv reuse the objects of
# this one (same build type and flags) and a rebuild in a fresh clone reuse
# the last one's.
LAUNCHER := $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
# ccache tells compilers apart by name: both builds use CXX (make's g++ unless set)
export CXX
# paths inside the tree taken as relative, so that another clone's build hits too
export CCACHE_BASEDIR ?= $(CURDIR)

.PHONY: test deps cpp-build cpp-test venv py-test py-suite lint bench clean run docs

# The C++ suites and the short soak mostly wait on pseudo-terminals: they run
# side by side, once the C++ build (which does not wait) is done.
test: lint cpp-build
	@$(MAKE) --no-print-directory -j2 cpp-test soak-short
	@$(MAKE) --no-print-directory py-suite

deps:
	@scripts/install-deps

cpp-build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release $(LAUNCHER) $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD)

cpp-test: cpp-build
	ctest --test-dir $(BUILD) --output-on-failure -j2 --timeout 300

venv: deps
	@scripts/setup-venv

# The checks that read the code rather than run it: ruff over the Python, the
# runtime's parts including each other one way only, the type checks (the
# stubs against the built module, a user's program under mypy --strict), which
# py-test then leaves out, and last mypy --strict over the tools themselves
# (their tests aside; settings in pyproject.toml's [tool.mypy]).
TYPE_CHECKS := vyre_python/tests/test_stubs.py vyre_tools/tests/test_typing.py

# mypy's cache outside the clone: a fresh clone's analysis of the same files
# (known by their hashes) is read back rather than redone
lint: export MYPY_CACHE_DIR ?= $(shell scripts/cache-dir)/mypy
lint: venv
	$(VENV)/bin/ruff check --quiet .
	$(VENV)/bin/ruff format --check --quiet .
	@scripts/check-layers
	$(PY) -m pytest -q -p no:cacheprovider $(TYPE_CHECKS)
	$(PY) -m mypy --strict vyre_tools --exclude vyre_tools/tests

py-test: py-suite
	@$(MAKE) --no-print-directory soak-short

py-suite: venv
	$(PY) -m pytest -q $(PYTEST_ARGS) $(addprefix --ignore=,$(TYPE_CHECKS)) vyre_python/tests vyre_tools/tests bench/tests

# make run: set up .venv (with the cli extra) and take the tour on a simulated device
run: deps
	@scripts/setup-venv
	$(VENV)/bin/vyre demo

# make docs: the documentation site in docs/_build/html, warnings as errors.
# The docs extra of pyproject.toml goes into .venv (without building the module,
# which the docs never import).
DOCS_BUILD ?= docs/_build

docs:
	@[ -x $(PY) ] || { py=$$(scripts/find-python) && "$$py" -m venv $(VENV); }
	@$(PY) -c 'import sphinx, furo, autoapi, sphinxarg, myst_parser' 2>/dev/null || \
		$(PY) -m pip install -q $$($(PY) -c 'import tomllib; \
			print(*tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["docs"])')
	$(PY) -m sphinx -E -W --keep-going -q -b html docs $(DOCS_BUILD)/html
	@echo "open $(DOCS_BUILD)/html/index.html"

# Distributions in dist/: the source distribution (its contents checked), and
# from it a manylinux wheel for the Python scripts/find-python picks.
# make wheel-check installs that wheel into a fresh environment without a
# compiler and smokes it: import, stubs, vyre demo, a stream (CI runs it
# after make test, which ran the suites on the same sources).
.PHONY: sdist wheel wheel-check

sdist: deps
	@scripts/build-sdist

wheel: deps
	@scripts/build-wheel "$$(scripts/build-sdist)"

wheel-check: wheel
	@scripts/wheel-check "$$(ls -t dist/*.whl | head -1)"

bench: cpp-build
	$(BUILD)/bench/core_bench

clean:
	rm -rf build .venv dist

# Fuzzing: clang's libFuzzer with ASan + UBSan over the framer, the frame decoder,
# response decoding and the mock-log parser (see fuzz/run-fuzz for the knobs).
FUZZ_SECONDS ?= 15

.PHONY: fuzz sanitize sanitize-asan sanitize-py-asan sanitize-tsan

fuzz:
	@FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run-fuzz

# Sanitizers: the C++ suites under ASan + UBSan, the Python suite under ASan, the
# runtime suite under TSan. Any report fails the run.
ASAN_BUILD ?= build/asan
TSAN_BUILD ?= build/tsan
ASAN_FLAGS := -fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer
TSAN_FLAGS := -fsanitize=thread -fno-omit-frame-pointer
SANITIZED_CONFIG = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYRE_BUILD_BENCH=OFF
# gcc's TSan maps its shadow at fixed places; a kernel that randomises mmap more
# than it expects makes it abort, so run it without address randomisation.
NO_ASLR = $(shell setarch $$(uname -m) -R true 2>/dev/null && echo setarch $$(uname -m) -R)

sanitize: sanitize-asan sanitize-py-asan sanitize-tsan

sanitize-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(SANITIZED_CONFIG) -DCMAKE_CXX_FLAGS="$(ASAN_FLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$(ASAN_FLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(ASAN_FLAGS)" >/dev/null
	cmake --build $(ASAN_BUILD) -j2 --target vyre_core_tests client_runtime_tests
	ASAN_OPTIONS=abort_on_error=1:detect_stack_use_after_return=1:strict_init_order=1 \
	UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j2 --timeout 300

sanitize-py-asan: sanitize-python

sanitize-tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(SANITIZED_CONFIG) -DCMAKE_CXX_FLAGS="$(TSAN_FLAGS)" \
		-DCMAKE_EXE_LINKER_FLAGS="$(TSAN_FLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(TSAN_FLAGS)" >/dev/null
	cmake --build $(TSAN_BUILD) -j2 --target client_runtime_tests
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(NO_ASLR) \
		$(TSAN_BUILD)/client_runtime/client_runtime_tests --gtest_brief=1

# Soak: telemetry at the link's rate with a command every half second; make test
# runs it for 12 s (the memory watched for the last 7), a long run is e.g.
# `make soak-short SOAK_SECONDS=600 SOAK_COMMAND_INTERVAL=1`.
SOAK_SECONDS ?= 12
SOAK_COMMAND_INTERVAL ?= 0.5

.PHONY: soak-short sanitize-python

soak-short:
	@[ -x $(PY) ] || scripts/setup-venv
	$(PY) bench/soak.py --seconds $(SOAK_SECONDS) --command-interval $(SOAK_COMMAND_INTERVAL)

# The Python suite under ASan + UBSan: the module built on its own with ASAN_FLAGS
# and found ahead of the installed one. The sanitizer runtime is preloaded (with
# libstdc++, so that its C++ exception hook finds the real one); the interpreter
# allocates with plain malloc so that ASan watches Python objects too; leak
# detection is off, as the interpreter's own allocations would be reported.
ASAN_PY_BUILD ?= build/asan-python
ASAN_PY_ENV = LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 PYTHONMALLOC=malloc \
	PYTHONPATH=$(abspath $(ASAN_PY_BUILD))/vyre_python:$(CURDIR)

sanitize-python: deps
	@[ -x $(PY) ] || scripts/setup-venv
	cmake -S . -B $(ASAN_PY_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVYRE_BUILD_PYTHON=ON \
		-DVYRE_BUILD_TESTS=OFF -DVYRE_BUILD_BENCH=OFF -DPython_EXECUTABLE=$(abspath $(PY)) \
		-DCMAKE_CXX_FLAGS="$(ASAN_FLAGS)" -DCMAKE_SHARED_LINKER_FLAGS="$(ASAN_FLAGS)" >/dev/null
	cmake --build $(ASAN_PY_BUILD) -j2 --target vyre_client_module
	$(ASAN_PY_ENV) $(PY) -c 'import sys, vyre_client; "$(ASAN_PY_BUILD)" in vyre_client.__file__ or sys.exit("not the sanitized module: " + vyre_client.__file__)'
	$(ASAN_PY_ENV) $(PY) -m pytest -q -p no:cacheprovider vyre_python/tests vyre_tools/tests
