# Developer entry points.  Everything runs in .venv with CPython 3.12.
PYTHON312 ?= $(shell command -v python3.12 2>/dev/null || ls -d $$HOME/.pyenv/versions/3.12*/bin/python3.12 2>/dev/null | tail -n 1)
VENV := .venv
PY := $(VENV)/bin/python

.PHONY: venv install example test bench dev sanitize clean

$(PY):
	@test -n "$(PYTHON312)" || { echo "CPython 3.12 not found: install it (pyenv install 3.12) or set PYTHON312=/path/to/python3.12" >&2; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

venv: $(PY)

install: $(PY)
	$(PY) -m pip install -q ".[test]"

# Format the bundled example result as a report.
example: install
	$(VENV)/bin/rufus-answer-report examples/result.json

test: install
	$(PY) -m pytest

bench: install
	$(PY) benchmarks/run.py

# Fast rebuild for development: compiles into build/dev and drops the
# extension next to the package sources (use PYTHONPATH=python).
dev:
	cmake -S . -B build/dev -G Ninja -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(PYTHON312)
	cmake --build build/dev
	for f in build/dev/answer_report_formatter*.so; do cp $$f python/quorin/amazon_rufus/services/.tmp.so && mv -f python/quorin/amazon_rufus/services/.tmp.so python/quorin/amazon_rufus/services/$$(basename $$f); done

# The test suite against an AddressSanitizer + UBSan build (any report fails
# the run).  The command-line tests start subprocesses and are left out.
SAN_PKG := build/asan/pkg/quorin/amazon_rufus/services
sanitize: install
	cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DARF_SANITIZE=ON -DPython_EXECUTABLE=$(PYTHON312)
	cmake --build build/asan
	rm -rf build/asan/pkg && mkdir -p $(SAN_PKG)
	cp python/quorin/amazon_rufus/services/*.py python/quorin/amazon_rufus/services/*.pyi build/asan/answer_report_formatter*.so $(SAN_PKG)/
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=build/asan/pkg $(PY) -m pytest -p no:cacheprovider tests --deselect tests/test_cli.py

clean:
	rm -rf build dist $(VENV) python/quorin/amazon_rufus/services/*.so
