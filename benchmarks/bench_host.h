// Shared set-up of the benchmarks that drive the real built library: the
// library next to the benchmark program, registered with a recorder that
// answers queries without keeping them, as a long simulation would.
#pragma once

#include "hostsim/kit/instance.h"
#include "hostsim/kit/native_library.h"
#include "hostsim/kit/recorder.h"

namespace dvx::bench {

struct BenchHost {
    host::NativeLibrary library{host::LibraryBesideProgram()};
    host::HostRecorder recorder;

    BenchHost() {
        recorder.recordQueries = false;
        recorder.Activate();
        ModelDescriptor descriptor{};
        library.Init(&host::HostRecorder::Message, &host::HostRecorder::Query, &descriptor);
    }
};

// One library and one recorder for the whole run. The simulator's sessions
// make their own recorder the active one, so each use takes it back.
inline BenchHost& Host() {
    static BenchHost host;
    host.recorder.Activate();
    return host;
}

} // namespace dvx::bench
