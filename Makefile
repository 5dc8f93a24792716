# make test: build everything, run the C++ unit tests and the Python tests.
# make demo: build, then compose, save and print an example protocol.
# make sanitize: C++ and Python tests against an ASan/UBSan build.
# make test-numpy1, make test-py312, make test-py313: the Python tests on another NumPy line
# or interpreter, each in a venv of its own.
# make wheel: a manylinux wheel for PYTHON in dist/; make test-wheel: the Python
# tests against it; make wheel-cpp-test: the C++ tests built by the wheel's
# compiler; make smoke-wheel: the wheel installed and used where no compiler
# can be reached (make wheel-smoke: the same on CPython 3.13).
# make test-py314, wheel-py314, test-wheel-py314: the same on CPython 3.14 in a
# Debian sid chroot; make test-arm64, wheel-arm64, test-wheel-arm64,
# wheel-cpp-test-arm64: on aarch64 in a Debian bookworm chroot under
# qemu-user-static (scripts/in-chroot; root only, skipped elsewhere).
PYTHON ?= python3
VENV ?= .venv
NUMPY_SPEC ?=
EXTRAS ?= test,plot
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null)
PY312 ?= $(firstword $(wildcard $(PYENV_ROOT)/versions/3.12*/bin/python3))
PY313 ?= $(firstword $(wildcard $(PYENV_ROOT)/versions/3.13*/bin/python3))
PY := $(VENV)/bin/python
# The Python tests run in one worker per CPU (pytest-xdist); PYTEST_JOBS=0 runs them in this process.
PYTEST_JOBS ?= auto
PYTEST := -P -m pytest -q -n $(PYTEST_JOBS) -p no:cacheprovider
PIP := $(PY) -m pip
CPP_BUILD := build/cpp
CPP_OPTIONS :=
# The project's own builds treat warnings as errors; a plain pip install does not.
WERROR_SETTING := --config-settings=cmake.define.PYVEXA_WERROR=ON
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

# make test-browser: the reports rendered in headless Chromium (skipped, with a
# message, where Chromium is missing); screenshots and PDFs in build/report-screens.
.PHONY: all venv install cpp-test pytest test test-browser demo bench bench-reader sanitize test-numpy1 test-py312 test-py313 \
  wheel wheel-cpp-test test-wheel smoke-wheel wheel-smoke fuzz fuzz-smoke clean \
  test-py314 cpp-test-py314 wheel-py314 test-wheel-py314 test-arm64 wheel-arm64 test-wheel-arm64 wheel-cpp-test-arm64 \
  same-bytes-arm64 test-scalar test-scalar-arm64

all: install

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q "scikit-build-core>=0.11" ninja
	command -v cmake >/dev/null 2>&1 || $(PIP) install -q "cmake>=3.20"
	touch $@

venv: $(VENV)/.ready

install: venv
	$(PIP) install -q --no-build-isolation $(WERROR_SETTING) ".[$(EXTRAS)]" $(if $(NUMPY_SPEC),"$(NUMPY_SPEC)")

# GoogleTest comes from the system's packages: scripts/need-gtest installs
# it when it can (root with apt-get) and otherwise says what to install.
cpp-test: venv
	scripts/need-gtest
	cmake -S . -B $(CPP_BUILD) -G Ninja -DBUILD_TESTING=ON -DPYVEXA_BUILD_MODULE=OFF -DPYVEXA_WERROR=ON $(CPP_OPTIONS) >/dev/null
	cmake --build $(CPP_BUILD)
	ctest --test-dir $(CPP_BUILD) --output-on-failure

# -P: the tests import the installed packages (with vexafile's compiled
# decoder), not the source directory that python -m would put first.
pytest: install
	$(PY) $(PYTEST)

# The Python tests run even when the C++ ones cannot; the result fails if either does.
test:
	@status=0; \
	$(MAKE) --no-print-directory cpp-test || status=1; \
	$(MAKE) --no-print-directory pytest || status=1; \
	exit $$status

# One worker: the tests share one browser.
BROWSER_SHOTS := build/report-screens
test-browser: install
	@if ! command -v chromium >/dev/null 2>&1 && ! command -v chromium-browser >/dev/null 2>&1; then \
	  echo "test-browser: skipped: Chromium is not installed (apt-get install chromium)"; \
	  if [ -n "$$CI" ]; then exit 1; else exit 0; fi; fi; \
	VEXA_BROWSER_TESTS=1 VEXA_SCREENSHOTS=$(BROWSER_SHOTS) $(PY) -P -m pytest -q -n 0 -p no:cacheprovider \
	  tests/test_report_browser.py

test-numpy1:
	$(MAKE) --no-print-directory pytest VENV=.venv-numpy1 EXTRAS=test NUMPY_SPEC='numpy<2'

test-py312 test-py313: test-py%:
	@interpreter="$(PY$*)"; if [ -z "$$interpreter" ]; then echo "$@: no CPython $* under pyenv; skipped"; \
	else $(MAKE) --no-print-directory pytest VENV=.venv-py$* PYTHON=$$interpreter EXTRAS=test NUMPY_SPEC='numpy>=2'; fi

# The wheel is built by Zig's clang (scripts/zig-cc) against glibc 2.28's
# symbols with its C++ runtime linked in, from tools pinned in
# scripts/wheel-tools.txt in a venv of PYTHON; auditwheel then refuses it
# unless it meets the manylinux_2_28 policy, and tags it. The intermediate
# wheel stays under build/.
WHEEL_PLAT := manylinux_2_28_$(shell uname -m)
WHEEL_ABI = $(shell $(PYTHON) -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
WHEEL_TOOLS = build/wheel-tools-$(WHEEL_ABI)
WHEEL_RAW = build/wheel-raw-$(WHEEL_ABI)
WHEEL_FILE = dist/pyvexa-*-$(WHEEL_ABI)-$(WHEEL_ABI)-$(WHEEL_PLAT).whl
WHEEL_VENV = .venv-wheel-$(WHEEL_ABI)

$(WHEEL_TOOLS)/.ready: scripts/wheel-tools.txt
	rm -rf $(WHEEL_TOOLS)
	$(PYTHON) -m venv $(WHEEL_TOOLS)
	$(WHEEL_TOOLS)/bin/pip install -q -r scripts/wheel-tools.txt
	touch $@

WHEEL_PYINCLUDE = build/zig-pyinclude-$(WHEEL_ABI)

wheel: $(WHEEL_TOOLS)/.ready
	rm -rf $(WHEEL_RAW) $(WHEEL_FILE)
	scripts/zig-pyinclude $(PYTHON) $(abspath $(WHEEL_PYINCLUDE))
	PATH=$(abspath $(WHEEL_TOOLS))/bin:$$PATH PYVEXA_ZIG_PYTHON=$(abspath $(WHEEL_TOOLS))/bin/python \
	  PYVEXA_ZIG_INCLUDE=$(abspath $(WHEEL_PYINCLUDE)) \
	  CC=$(abspath scripts/zig-cc) CXX=$(abspath scripts/zig-c++) \
	  $(WHEEL_TOOLS)/bin/python -m pip wheel -q --no-deps --no-build-isolation -w $(WHEEL_RAW) \
	  $(WERROR_SETTING) --config-settings=build-dir=build/zig-{wheel_tag} .
	PATH=$(abspath $(WHEEL_TOOLS))/bin:$$PATH auditwheel repair --plat $(WHEEL_PLAT) --only-plat -w dist $(WHEEL_RAW)/*.whl
	PATH=$(abspath $(WHEEL_TOOLS))/bin:$$PATH auditwheel show $(WHEEL_FILE)

# The whole Python suite against the installed wheel, its extras included.
test-wheel: wheel
	test -x $(WHEEL_VENV)/bin/python || $(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/pip install -q "$$(ls $(WHEEL_FILE))[test,plot]"
	$(WHEEL_VENV)/bin/pip install -q --force-reinstall --no-deps $(WHEEL_FILE)
	$(WHEEL_VENV)/bin/python $(PYTEST)

smoke-wheel: wheel
	scripts/wheel-smoke $(PYTHON) $(WHEEL_FILE) build/wheel-smoke-$(WHEEL_ABI)

# CI's smoke test: the wheel of CPython 3.13.
wheel-smoke:
	@if [ -z "$(PY313)" ]; then echo "$@: no CPython 3.13 under pyenv"; exit 1; fi
	$(MAKE) --no-print-directory smoke-wheel PYTHON=$(PY313)

# The C++ tests built by the wheel's toolchain (GoogleTest from the sources
# the system's package ships): the vector loops it selects, against guard pages.
ZIG_CPP_BUILD := build/zig-cpp
GTEST_SOURCES ?= /usr/src/googletest
wheel-cpp-test: $(WHEEL_TOOLS)/.ready
	scripts/need-gtest
	export PYVEXA_ZIG_PYTHON=$(abspath $(WHEEL_TOOLS))/bin/python; \
	cmake -S . -B $(ZIG_CPP_BUILD) -G Ninja -DCMAKE_C_COMPILER=$(abspath scripts/zig-cc) \
	  -DCMAKE_CXX_COMPILER=$(abspath scripts/zig-c++) -DPYVEXA_GTEST_SOURCE_DIR=$(GTEST_SOURCES) \
	  -DBUILD_TESTING=ON -DPYVEXA_BUILD_MODULE=OFF -DPYVEXA_WERROR=ON >/dev/null && \
	cmake --build $(ZIG_CPP_BUILD) && ctest --test-dir $(ZIG_CPP_BUILD) --output-on-failure

# The sanitized modules are found first through PYTHONPATH (vexafile as its
# sources beside the sanitized _native in build/asan/site); CPython itself is
# not built with ASan, so its runtime (and libstdc++, whose exception entry
# ASan must intercept) is preloaded, and leak reports (which
# would list the interpreter's own allocations) are left to the C++ tests.
ASAN_BUILD := build/asan
SANITIZER_ENV := UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitize: install
	scripts/need-gtest
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPYVEXA_SANITIZE=ON -DPYVEXA_WERROR=ON \
	  -DBUILD_TESTING=ON -DPYVEXA_BUILD_MODULE=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	cmake --build $(ASAN_BUILD)
	rm -rf $(ASAN_BUILD)/site && mkdir -p $(ASAN_BUILD)/site/vexafile
	cp -r python/vexafile/. $(ASAN_BUILD)/site/vexafile/
	rm -rf $(ASAN_BUILD)/site/vexafile/__pycache__ $(ASAN_BUILD)/site/vexafile/*/__pycache__
	cp $(ASAN_BUILD)/vexafile_native/_native*.so $(ASAN_BUILD)/site/vexafile/
	$(SANITIZER_ENV) ASAN_OPTIONS=detect_leaks=1 ctest --test-dir $(ASAN_BUILD) --output-on-failure
	$(SANITIZER_ENV) ASAN_OPTIONS=detect_leaks=0 PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	  PYTHONPATH=$(abspath $(ASAN_BUILD)/pyvexa):$(abspath $(ASAN_BUILD)/site) \
	  $(PY) $(PYTEST)

demo: install
	$(PY) examples/demo.py

bench: install
	$(PY) bench/run.py
	$(PY) bench/reader.py
	$(PY) bench/edit.py
	$(PY) bench/builder.py
	$(PY) bench/study.py

# The reader against the writer: load, the command line, memory, /dev/zero.
bench-reader: install
	$(PY) bench/reader.py

# make fuzz: build the encoder and decoder fuzz targets, then run each for
# FUZZ_SECONDS (new corpus entries and crash inputs go to build/fuzz/);
# fuzz-smoke is the short run CI makes.
FUZZ_SECONDS ?= 60
fuzz:
	fuzz/build.sh
	mkdir -p build/fuzz/corpus build/fuzz/decoder_corpus
	build/fuzz/encoder_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	  -artifact_prefix=build/fuzz/ build/fuzz/corpus fuzz/corpus
	build/fuzz/decoder_fuzz -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -rss_limit_mb=1024 \
	  -artifact_prefix=build/fuzz/decoder- build/fuzz/decoder_corpus fuzz/decoder_corpus

fuzz-smoke:
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=10

# The whole suite with every sample loop dispatched to its scalar version
# (PYVEXA_SCALAR_LOOPS), as on a CPU without vector loops; on aarch64,
# where NEON is always there: make test-scalar-arm64.
SCALAR_SETTING := --config-settings=cmake.define.PYVEXA_SCALAR_LOOPS=ON --config-settings=build-dir=build/scalar-{wheel_tag}
test-scalar:
	@status=0; \
	$(MAKE) --no-print-directory cpp-test CPP_BUILD=build/cpp-scalar CPP_OPTIONS=-DPYVEXA_SCALAR_LOOPS=ON || status=1; \
	$(MAKE) --no-print-directory pytest VENV=.venv-scalar WERROR_SETTING="$(WERROR_SETTING) $(SCALAR_SETTING)" || status=1; \
	exit $$status

# The chroots (scripts/in-chroot): its status 77 says this machine cannot run
# them, which skips here and fails in CI.
IN_CHROOT = status=0; scripts/in-chroot $(1) $(2) || status=$$?; \
  if [ $$status = 77 ] && [ -z "$${CI:-}" ]; then exit 0; fi; exit $$status

test-py314:
	@$(call IN_CHROOT,py314,make test)
# CI's half of it: sid's GCC builds both modules and the C++ tests with
# warnings as errors, and the C++ tests run; the Python suite runs on the wheel.
cpp-test-py314:
	@$(call IN_CHROOT,py314,make install cpp-test)
wheel-py314:
	@$(call IN_CHROOT,py314,make wheel)
test-wheel-py314:
	@$(call IN_CHROOT,py314,make test-wheel)
test-arm64:
	@export PYVEXA_CHROOT_EXTRA="g++ cmake ninja-build"; $(call IN_CHROOT,arm64,make test)
wheel-arm64:
	@$(call IN_CHROOT,arm64,make wheel)
test-wheel-arm64:
	@$(call IN_CHROOT,arm64,make test-wheel)
wheel-cpp-test-arm64:
	@$(call IN_CHROOT,arm64,make wheel-cpp-test)
test-scalar-arm64:
	@export PYVEXA_CHROOT_EXTRA="g++ cmake ninja-build"; $(call IN_CHROOT,arm64,make test-scalar)

# One script's file and text, written here and by the aarch64 wheel (after
# test-wheel-arm64), byte for byte the same.
ARM64_WHEEL_PY := .venv-wheel-cp311/bin/python
same-bytes-arm64: install
	rm -rf build/same-bytes build/arm64
	$(PY) scripts/same_bytes.py build/same-bytes
	@$(call IN_CHROOT,arm64,$(ARM64_WHEEL_PY) scripts/same_bytes.py out/same-bytes)
	@if [ -d build/arm64 ]; then \
	  cmp build/same-bytes/protocol.vexa build/arm64/same-bytes/protocol.vexa && \
	  cmp build/same-bytes/protocol.txt build/arm64/same-bytes/protocol.txt && \
	  echo "$@: the aarch64 file and text are the same as here"; fi

clean:
	rm -rf build dist $(VENV) .venv-numpy1 .venv-py312 .venv-py313 .venv-wheel-* .venv-scalar
