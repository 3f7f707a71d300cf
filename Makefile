# Build, test and demo tolvar2 on a fresh Debian 12 machine.
#   make build   system packages (if missing), .venv, editable install
#   make test    build, then the test suite (extra pytest options: PYTEST_ARGS=...)
#   make demo    build, then examples/tour.py against a throwaway server
#   make bench   build, the benchmark peers, then bench/run.py (extra options: BENCH_ARGS=...)
#   make clean   stop leftover throwaway servers, remove build products and .venv

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
PG_BINDIR ?= /usr/lib/postgresql/15/bin
PYTEST_ARGS ?=
BENCH_ARGS ?=

# Stamps live inside the venv so deleting .venv invalidates them too.
TOOLS_STAMP := $(VENV)/.stamp-tools
INSTALL_STAMP := $(VENV)/.stamp-install
BENCH_STAMP := $(VENV)/.stamp-bench
BUILD_INPUTS := pyproject.toml $(wildcard meson.build) $(shell find src -name meson.build 2>/dev/null)
# A separate state file keeps `make demo` away from a server started by hand.
DEMO_STATE := .pgserver/demo.json

.PHONY: build test demo bench clean deps

build: deps $(INSTALL_STAMP)

deps:
	@pkgs=""; \
	command -v pg_config >/dev/null 2>&1 \
	  && test -f "$$(pg_config --includedir 2>/dev/null)/libpq-fe.h" || pkgs="$$pkgs libpq-dev"; \
	test -x $(PG_BINDIR)/initdb || pkgs="$$pkgs postgresql-15"; \
	command -v pkg-config >/dev/null 2>&1 || pkgs="$$pkgs pkg-config"; \
	command -v c++ >/dev/null 2>&1 || pkgs="$$pkgs g++"; \
	$(PYTHON) -c 'import venv, ensurepip' >/dev/null 2>&1 || pkgs="$$pkgs python3-venv"; \
	if [ -z "$$pkgs" ]; then exit 0; fi; \
	if [ "$$(id -u)" -ne 0 ]; then \
	  echo "missing system packages:$$pkgs" >&2; \
	  echo "install them as root: apt-get install -y$$pkgs" >&2; \
	  exit 1; \
	fi; \
	echo "installing system packages:$$pkgs"; \
	apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y $$pkgs

$(VPY): | deps
	$(PYTHON) -m venv $(VENV)

$(TOOLS_STAMP): | $(VPY)
	$(VPY) -m pip install -U pip meson-python meson ninja
	touch $@

pyproject.toml:
	@echo "pyproject.toml is missing: nothing to build" >&2; exit 1

# --no-build-isolation needs the build requirements in the venv itself;
# read them from pyproject.toml so new ones are picked up.
$(INSTALL_STAMP): $(TOOLS_STAMP) $(BUILD_INPUTS)
	$(VPY) -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb")).get("build-system", {}).get("requires", [])))' > $(VENV)/build-requires.txt
	$(VPY) -m pip install -r $(VENV)/build-requires.txt
	$(VPY) -m pip install --no-build-isolation -e '.[test]'
	touch $@

test: build
	$(VPY) -m pytest tests -q $(PYTEST_ARGS)

demo: build
	@export TOLVAR_PGSERVER_STATE=$(DEMO_STATE); \
	dsn="$$($(VPY) -m tools.pgserver start)" || exit $$?; \
	trap '$(VPY) -m tools.pgserver stop' EXIT; \
	trap 'exit 130' INT TERM; \
	$(VPY) examples/tour.py "$$dsn"

# The peers come from the `bench` extras in pyproject.toml; installing them
# by name keeps the editable tolvar2 install as it is.
$(BENCH_STAMP): $(INSTALL_STAMP) pyproject.toml
	$(VPY) -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"]))' > $(VENV)/bench-requires.txt
	$(VPY) -m pip install -r $(VENV)/bench-requires.txt
	touch $@

# bench/run.py starts and stops its own throwaway server.
bench: build $(BENCH_STAMP)
	$(VPY) bench/run.py $(BENCH_ARGS)

clean:
	@for st in .pgserver/*.json; do \
	  [ -e "$$st" ] && TOLVAR_PGSERVER_STATE="$$st" $(PYTHON) -m tools.pgserver stop; \
	done; true
	rm -rf build builddir dist $(VENV) .pgserver .stamp* .pytest_cache .hypothesis .benchmarks *.egg-info
	find . -path ./.git -prune -o -name __pycache__ -type d -prune -exec rm -rf {} +
