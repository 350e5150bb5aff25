# The two commands of the README. Both install what is missing, then build incrementally.
BUILD ?= build
RELEASE ?= build-release
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local

.PHONY: test run deps configure build bench clean install

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Debug

test: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

$(RELEASE)/CMakeCache.txt: | deps
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release

run: deps $(RELEASE)/CMakeCache.txt
	cmake --build $(RELEASE) -j $(JOBS)
	@if [ -x $(RELEASE)/app/needlerec ]; then \
	  exec $(RELEASE)/app/needlerec; \
	else \
	  echo "Built everything; the program needlerec does not exist yet (the engine libraries and tests are built)."; \
	fi

# The Release programs with their menu entry, icon and manual pages under $(PREFIX); DESTDIR
# stages them elsewhere (make install PREFIX=/usr DESTDIR=/tmp/root).
install: deps $(RELEASE)/CMakeCache.txt
	cmake --build $(RELEASE) -j $(JOBS) --target needlerec needlerec-cli
	DESTDIR="$(DESTDIR)" cmake --install $(RELEASE) --prefix "$(PREFIX)"

bench: deps $(RELEASE)/CMakeCache.txt
	cmake --build $(RELEASE) -j $(JOBS)
	bench/run-all $(RELEASE)

clean:
	rm -rf $(BUILD) $(RELEASE) build-asan build-tsan
