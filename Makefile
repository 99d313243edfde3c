# Front door for building and testing. `make test` is the one command that
# installs what is missing, configures, builds and runs every test; CI runs it.
BUILD ?= build
JOBS ?= 2

.PHONY: all deps configure build test run install clean

all: build

deps:
	bash scripts/install-deps.sh

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The demo: the example recording's chapters as a table, then cut into out/example.
run: deps configure
	cmake --build $(BUILD) -j $(JOBS) --target silsplit
	$(BUILD)/tools/silsplit analyze --format table examples/audio/talk.wav
	$(BUILD)/tools/silsplit split examples/audio/talk.wav out/example

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX),)

clean:
	rm -rf $(BUILD)
