# velmo's commands. `make demo` and `make test` set everything up on a fresh machine.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
BUILD ?= build/dev
STAMP := $(VENV)/.velmo-deps
export PATH := $(abspath $(VENV))/bin:$(PATH)

# The first CPython 3.13 that really runs (a pyenv shim may exist and fail).
find_python = $(firstword $(foreach p,python3.13 $(wildcard $(HOME)/.pyenv/versions/3.13*/bin/python3.13) \
	$(wildcard /usr/local/bin/python3.13 /usr/bin/python3.13),\
	$(shell "$(p)" -c 'import sys; assert sys.version_info[:2] == (3, 13); print("$(p)")' 2>/dev/null)))

.PHONY: demo test bench asan dev install format clean

$(PY):
	@py="$(call find_python)"; \
	if [ -z "$$py" ]; then echo "CPython 3.13 not found (python3.13 on PATH or ~/.pyenv/versions/3.13*)" >&2; exit 1; fi; \
	echo "using $$py"; "$$py" -m venv $(VENV)

$(STAMP): pyproject.toml Makefile | $(PY)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" "SQLAlchemy[asyncio]>=2,<3" "pydantic>=2,<3" regex \
		"pytest>=8" "PyMySQL>=1.1" "psycopg[binary]>=3.1" "mypy>=1.10" types-regex "clang-format==19.1.7" \
		"aiosqlite>=0.20" "aiomysql>=0.2" "fastapi>=0.121" "httpx>=0.27"
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

bench: install
	@for b in benchmarks/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

# A development build laid out in $(BUILD)/stage: PYTHONPATH=$(BUILD)/stage imports it.
dev: $(STAMP)
	cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DVELMO_WERROR=ON $(CMAKE_ARGS) >/dev/null
	cmake --build $(BUILD)

# The test suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
asan: $(STAMP)
	$(MAKE) dev BUILD=build/asan CMAKE_ARGS="-DVELMO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"
	cd tests && LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		PYTHONPATH=$(abspath build/asan/stage) ../$(PY) -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)

# Formats the C++ of src/ as .clang-format says (the test suite checks it).
format: $(STAMP)
	$(VENV)/bin/clang-format -i src/*/*.cpp src/*/*.hpp

clean:
	rm -rf build
