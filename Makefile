# make test: build everything, run the C++ unit tests and the Python tests.
# make demo: build, then compose, save and print an example protocol.
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
CPP_BUILD := build/cpp
export PATH := $(CURDIR)/$(VENV)/bin:$(PATH)

.PHONY: all venv install cpp-test pytest test demo clean

all: install

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q "scikit-build-core>=0.10" ninja
	command -v cmake >/dev/null 2>&1 || $(PIP) install -q "cmake>=3.20"
	touch $@

venv: $(VENV)/.ready

install: venv
	$(PIP) install -q --no-build-isolation ".[test]"

cpp-test: venv
	cmake -S . -B $(CPP_BUILD) -G Ninja -DBUILD_TESTING=ON -DPYVEXA_BUILD_MODULE=OFF >/dev/null
	cmake --build $(CPP_BUILD)
	ctest --test-dir $(CPP_BUILD) --output-on-failure

pytest: install
	$(PY) -m pytest -q

test: cpp-test pytest

demo: install
	$(PY) examples/demo.py

clean:
	rm -rf build $(VENV)
