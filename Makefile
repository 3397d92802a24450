# The two set-up commands: `make demo` and `make test`. Both install what is missing first.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")

.PHONY: all deps build demo test install bench check-sanitize fuzz clean

all: build

deps:
	@scripts/install-deps.sh build test

build: deps
	@cmake -S . -B $(BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j2

demo: build
	@scripts/demo.sh $(BUILD)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j2

install: build
	@cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX))

bench: build
	@scripts/install-deps.sh bench
	@bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
