# Entry points. `make test` and `make run` work from a fresh clone on Debian 12.
JOBS ?= $(shell nproc)

.PHONY: deps test run demo screenshots build release bench fuzz asan tsan format clean

deps:
	@scripts/install-deps.sh

build: deps
	cmake --preset debug
	cmake --build --preset debug -j $(JOBS)

test: build
	ctest --preset debug -j $(JOBS)

run: build
	@scripts/run-manager.sh build/debug

demo: build
	@scripts/demo.sh build/debug

screenshots: build
	@scripts/screenshots.sh build/debug build/screenshots

release: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)

bench: release
	@scripts/run-bench.sh build/release
	@scripts/run-manager-bench.sh build/release
	build/release/bin/certs_core_bench
	build/release/bin/certs_view_bench
	build/release/bin/control_sign_bench
	build/release/bin/verify_bench
	/usr/bin/python3 bench/bridge_page_bench.py build/release/bin
	build/release/bin/bridge_sign_bench
	build/release/bin/peer_uid_bench

asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS) -R 'softtoken|slot'

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	@scripts/run-fuzz.sh build/fuzz

.PHONY: deb package-test
deb: deps
	@scripts/make-deb.sh

package-test: deb
	@scripts/package-test.sh

format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf build
