# The two set-up commands: `make demo` and `make test`. Both install what is missing first.
# demo, test, install and package share one build in $(BUILD): none of them reconfigures it
# or compiles again what another one compiled.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
# Seconds each fuzz target runs under `make fuzz`.
FUZZ_SECONDS ?= 60
# Warnings as errors: off for a user's build (a newer compiler's new warning must not break
# it), on in CI (`WERROR=ON make test`) and in the developer builds of their own directories.
WERROR ?= OFF
# The tools and the library, with the compressed manual pages and changelog that install and
# package take: all that demo, install and package need.
PRODUCTS := plugin_sign plugin_verify plugin_key plugin_sign_verify_shared plugin_sign_man_pages \
  plugin_sign_package_changelog

.PHONY: all deps configure tools build demo test install bench check-sanitize check-tsan fuzz clean

all: build

deps:
	@scripts/install-deps.sh build test

configure: deps
	@scripts/configure.sh $(BUILD) -DCMAKE_BUILD_TYPE=Release -DPLUGIN_SIGN_WERROR=$(WERROR)

tools: configure
	@cmake --build $(BUILD) -j2 --target $(PRODUCTS)

build: configure
	@cmake --build $(BUILD) -j2

# The demo also runs the Node package's example host, when Node is installed.
demo: tools
	@cmake --build $(BUILD) -j2 --target plugin_sign_verify_node
	@scripts/demo.sh $(BUILD)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j2

install: tools
	@cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# Debian packages of the same build into $(BUILD)/packages, checked by lintian.
.PHONY: package
package: tools
	@scripts/install-deps.sh package
	@scripts/package.sh $(BUILD) $(BUILD)/packages
	@lintian --fail-on error $(BUILD)/packages/*.deb

# Builds only the tools: the bench needs neither the tests nor their libraries.
# BENCH_PART=verify (or sign) times one tool only.
bench: configure
	@scripts/install-deps.sh build bench
	@cmake --build $(BUILD) -j2 --target plugin_sign plugin_verify
	@bench/run.sh $(BUILD)

# Every test, built in Debug under AddressSanitizer and UndefinedBehaviorSanitizer.
check-sanitize: deps
	@scripts/configure.sh $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPLUGIN_SIGN_SANITIZE=ON \
	  -DPLUGIN_SIGN_WERROR=ON
	@cmake --build $(SANITIZE_BUILD) -j2
	@ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j2

# The tests of what runs on threads of its own, under ThreadSanitizer: the archive's block
# compression, and the verifier's inflater beside its digest (the reader's and the verifier's
# tests).
TSAN_TESTS := archive/archive_test archive/zip_reader_test verify/verify_test
check-tsan: deps
	@scripts/configure.sh $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPLUGIN_SIGN_TSAN=ON \
	  -DPLUGIN_SIGN_WERROR=ON
	@cmake --build $(TSAN_BUILD) -j2 --target $(notdir $(TSAN_TESTS))
	@for t in $(TSAN_TESTS); do \
	  echo "check-tsan: $$t"; \
	  TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/tests/$$t --gtest_brief=1 || exit 1; \
	done

# Each libFuzzer target for FUZZ_SECONDS, with clang and the sanitizers (not part of CI).
fuzz: deps
	@scripts/install-deps.sh fuzz
	@CXX=clang++-19 scripts/configure.sh $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPLUGIN_SIGN_SANITIZE=ON -DPLUGIN_SIGN_FUZZ=ON -DPLUGIN_SIGN_TESTS=OFF -DPLUGIN_SIGN_WERROR=ON
	@cmake --build $(FUZZ_BUILD) -j2
	@fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD)

# Each one-line mutation in scripts/mutations.txt, tried on a copy of the committed tree: the
# tests must catch every one. Slow (a build and a test run per mutation); not part of test.
.PHONY: mutate
mutate:
	@scripts/mutate.sh

# Generated one-line mutants of src/*.cpp (scripts/mutants.py), each tested by the tests that
# can see its file; MUTANTS_ARGS chooses a sample, e.g. "--files src/io --limit 50 --seed 1".
# Results accumulate in build-mutants/results.json; survivors not listed in
# scripts/mutants-equivalent.txt fail it. Slow: not part of test.
.PHONY: mutants
mutants: deps
	@scripts/mutants.py $(MUTANTS_ARGS)
