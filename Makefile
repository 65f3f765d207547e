# Entry points; CMake does the building. `make demo` and `make test` work on a
# fresh Debian 12 machine: both install what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc)

SANITIZE_BUILD ?= build-sanitize
FUZZ_SECONDS ?= 60

.PHONY: deps configure build demo test test-sanitize fuzz-smoke bench bench-smoke readme-image clean

deps:
	./scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(BUILD)/bag_cloud_dump $(BUILD)/sample.bag

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite against a build with AddressSanitizer and UBSan, clang's:
# the same build is instrumented for the libFuzzer targets, so the fuzzers
# need no build of their own.
SANITIZE_CONFIGURE = CC=clang CXX=clang++ cmake -S . -B $(SANITIZE_BUILD) \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBAG_CLOUD_DUMP_SANITIZE=ON -DBAG_CLOUD_DUMP_FUZZ=ON

test-sanitize: deps
	$(SANITIZE_CONFIGURE)
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS)

# The libFuzzer targets for FUZZ_SECONDS each; crashing inputs of the
# bag library are replayed through the tool, which must contain them.
fuzz-smoke: build
	$(SANITIZE_CONFIGURE)
	cmake --build $(SANITIZE_BUILD) -j $(JOBS) --target cloud_message_fuzzer cdr_cloud_fuzzer \
	  mcap_file_fuzzer unindexed_bag_fuzzer bag_file_fuzzer write_fuzz_seeds
	tests/fuzz/smoke.sh $(SANITIZE_BUILD) $(BUILD)/bag_cloud_dump $(FUZZ_SECONDS)

# Speed and memory against the floor and the Python peer (writes ~2.5 GB of
# bags under bench/cache once).
bench: build
	bench/bench.py --build $(BUILD)

bench-smoke: build
	bench/bench.py --build $(BUILD) --smoke

# The README's pictures: the first sweep of the sample bag, and the timeline
# of a 30 s sample that lost one sweep.
readme-image: build
	rm -rf $(BUILD)/readme-images
	$(BUILD)/bag_cloud_dump --image $(BUILD)/readme-images --image-width 512 \
	  --image-range 0:40 -n 0 $(BUILD)/sample.bag >/dev/null
	cp $(BUILD)/readme-images/000000_*.png docs/sample-sweep.png
	$(BUILD)/write_sample_bag $(BUILD)/readme-timeline.bag --sweeps 300 --columns 64 --drop-sweep 170
	$(BUILD)/bag_cloud_dump -n 0 --timeline docs/sample-timeline.png --timeline-width 1000 \
	  $(BUILD)/readme-timeline.bag >/dev/null

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
