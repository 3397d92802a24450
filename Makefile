# The two set-up commands: `make demo` and `make test`. Both install what is missing first.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
# Seconds each fuzz target runs under `make fuzz`.
FUZZ_SECONDS ?= 60
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")
# Warnings are errors for developers and CI (test, check-sanitize, fuzz, bench), not for a user's
# build with a newer compiler (demo, install).
WERROR ?= OFF
test check-sanitize check-tsan fuzz bench: WERROR = ON

.PHONY: all deps build demo test install bench check-sanitize check-tsan fuzz clean

all: build

deps:
	@scripts/install-deps.sh build test

build: deps
	@cmake -S . -B $(BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=Release \
	  -DPLUGIN_SIGN_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD) -j2

demo: build
	@scripts/demo.sh $(BUILD)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j2

install: build
	@cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

# Builds only the tools: the bench needs neither the tests nor their libraries.
# BENCH_PART=verify (or sign) times one tool only.
bench:
	@scripts/install-deps.sh build bench
	@cmake -S . -B $(BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=Release \
	  -DPLUGIN_SIGN_WERROR=$(WERROR) >/dev/null
	@cmake --build $(BUILD) -j2 --target plugin_sign plugin_verify
	@bench/run.sh $(BUILD)

# Every test, built in Debug under AddressSanitizer and UndefinedBehaviorSanitizer.
check-sanitize: deps
	@cmake -S . -B $(SANITIZE_BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=Debug -DPLUGIN_SIGN_SANITIZE=ON \
	  -DPLUGIN_SIGN_WERROR=$(WERROR) >/dev/null
	@cmake --build $(SANITIZE_BUILD) -j2
	@ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j2

# The archive tests, whose block compression runs on worker threads, under ThreadSanitizer.
check-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=Debug -DPLUGIN_SIGN_TSAN=ON \
	  -DPLUGIN_SIGN_WERROR=$(WERROR) >/dev/null
	@cmake --build $(TSAN_BUILD) -j2 --target archive_test
	@TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/tests/archive/archive_test --gtest_brief=1

# Each libFuzzer target for FUZZ_SECONDS, with clang and the sanitizers (not part of CI).
fuzz: deps
	@scripts/install-deps.sh fuzz
	@cmake -S . -B $(FUZZ_BUILD) -G "$(GENERATOR)" -DCMAKE_CXX_COMPILER=clang++-19 \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPLUGIN_SIGN_SANITIZE=ON -DPLUGIN_SIGN_FUZZ=ON \
	  -DPLUGIN_SIGN_TESTS=OFF -DPLUGIN_SIGN_WERROR=$(WERROR) >/dev/null
	@cmake --build $(FUZZ_BUILD) -j2
	@fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD)

# Each one-line mutation in scripts/mutations.txt, tried on a copy of the committed tree: the
# tests must catch every one. Slow (a build and a test run per mutation); not part of test.
.PHONY: mutate
mutate:
	@scripts/mutate.sh
