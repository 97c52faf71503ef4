# Every target keeps its tools in virtual environments under the project root.
# PYTHON may be overridden; by default the first working python3.12 is used
# (a pyenv shim that is not active for this folder does not count).
PYTHON ?= $(shell for p in python3.12 $$(ls -d /root/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12 2>/dev/null); do \
	"$$p" -c 'import sys; assert sys.version_info[:2] == (3, 12)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)

VENV ?= .venv
VENV_NP1 ?= .venv-numpy1
PY := $(VENV)/bin/python
PY_NP1 := $(VENV_NP1)/bin/python
WHEEL_DIR ?= dist
CPP_BUILD ?= build/cpp
# scikit-build-core's build folder; separate ones let builds run side by side.
BUILD_DIR ?= build/{wheel_tag}

.PHONY: build test test-python test-numpy1 test-cpp demo bench clean

$(VENV)/.ready: Makefile
	@test -n "$(PYTHON)" || { echo "python3.12 not found; set PYTHON=" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.10" cmake ninja "numpy>=2" pytest
	touch $@

$(VENV_NP1)/.ready: Makefile
	@test -n "$(PYTHON)" || { echo "python3.12 not found; set PYTHON=" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV_NP1)
	$(PY_NP1) -m pip install -q --upgrade pip
	$(PY_NP1) -m pip install -q "numpy>=1.26,<2" pytest
	touch $@

# One wheel serves both NumPy lines: the module reaches NumPy only at run time.
build: $(VENV)/.ready
	rm -rf $(WHEEL_DIR)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -C build-dir=$(BUILD_DIR) -w $(WHEEL_DIR) .
	$(PY) -m pip install -q --no-deps --force-reinstall $(WHEEL_DIR)/kiv_rs-*.whl
	$(PY) -m pip install -q "$$(ls $(WHEEL_DIR)/kiv_rs-*.whl)[plot,dask]" pandas

test: build test-python test-numpy1 test-cpp

test-python: build
	$(PY) -m pytest -q tests

test-numpy1: build $(VENV_NP1)/.ready
	$(PY_NP1) -m pip install -q --no-deps --force-reinstall $(WHEEL_DIR)/kiv_rs-*.whl
	$(PY_NP1) -m pip install -q "$$(ls $(WHEEL_DIR)/kiv_rs-*.whl)[numpy1,plot,dask]"
	$(PY_NP1) -m pytest -q tests

# GoogleTest comes from Debian's libgtest-dev, installed here when missing.
test-cpp: $(VENV)/.ready
	@dpkg -s libgtest-dev >/dev/null 2>&1 || { apt-get update -q && apt-get install -y -q libgtest-dev; }
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DKIV_BUILD_MODULE=OFF -DKIV_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && $(abspath $(VENV)/bin/ctest) --output-on-failure

demo: build
	$(PY) scripts/make_demo_pool.py build/demo/pool.parquet
	$(VENV)/bin/kiv-rank build/demo/pool.parquet --top 5 --plot build/demo/scores.png

bench: build
	$(PY) bench/run.py
	$(PY) bench/pool_bench.py

clean:
	rm -rf build $(WHEEL_DIR) $(VENV) $(VENV_NP1)
