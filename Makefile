# Entry points for people and CI. Everything goes through the CMake presets.
.PHONY: demo test deps native sanitize fuzz windows bench dist clean

JOBS ?= 2

deps:
	@scripts/install-deps.sh

native: deps
	cmake --preset native >/dev/null
	cmake --build --preset native -j $(JOBS)

sanitize: deps
	cmake --preset sanitize >/dev/null
	cmake --build --preset sanitize -j $(JOBS)

# The libFuzzer targets only (clang, ASan and UBSan); CTest runs each for 20 s.
fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS)

# The Wine prefix is made here where Wine can run (not in the first test).
windows: deps
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS)
	cmake/wine-run.sh cmd /c exit 0 >/dev/null 2>&1 || true

# The main job: the host simulator runs a car that pulls away and shifts
# through four gears, the component as its gearbox and final drive. The plot
# shows the engine, the gearbox's speeds, torques and shifting K, the wheels
# and the clutch's mode.
demo: native
	build/native/dolvanex-host run examples/vehicle-launch/model.json --output engine.omega --output 'gearbox.*' \
	  --output final_drive.OMEGA2 --output clutch.mode --csv build/demo.csv --plot build/demo.png

# Builds everything on both targets and runs every suite; the sanitizer build
# included. The DLL is tested under Wine where the machine runs 32-bit code
# and on the emulated i386 CPU where it does not; the last line says which.
test: native sanitize fuzz windows
	ctest --preset native -j $(JOBS)
	ctest --preset sanitize -j $(JOBS)
	ctest --preset fuzz -j $(JOBS)
	JOBS=$(JOBS) scripts/test-dll.sh

bench: native
	build/native/dolvanex-bench
	DOLVANEX_HOST=build/native/dolvanex-host PYTHONPATH=build/native/python /usr/bin/python3 -P benchmarks/bench_sweep.py

# The two release bundles: build/native/Dolvanex-<version>-linux-x86_64.tar.gz
# and build/windows/Dolvanex-<version>-win32.zip.
dist: native windows
	cd build/native && cpack
	cd build/windows && cpack

clean:
	rm -rf build
