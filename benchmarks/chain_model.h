// The gear-chain example's model for N gears, as text: a torque source of
// 5 Nm and a motor inertia on shaft0, N gears with K = 2 and 500m in turn,
// an inertia of 1e-4 on every inner shaft, a load of 1 kg m^2 damped with
// 0.5 Nm s/rad.
#pragma once

#include <sstream>
#include <string>

inline std::string ChainModelText(long gears, double stop, double interval) {
    std::ostringstream text;
    text << R"({"simulation": {"start": 0, "stop": )" << stop << R"(, "step": 0.001, "output_interval": )"
         << interval << R"(, "method": "bdf2"},)";
    text << R"("nodes": [)";
    for (long i = 0; i <= gears; ++i) text << (i ? ", " : "") << "\"shaft" << i << "\"";
    text << R"(], "elements": [{"type": "torque_source", "node": "shaft0", "torque": 5.0},)";
    text << R"({"type": "inertia", "node": "shaft0", "J": 0.01},)";
    for (long i = 1; i < gears; ++i) text << R"({"type": "inertia", "node": "shaft)" << i << R"(", "J": 1e-4},)";
    text << R"({"type": "inertia", "node": "shaft)" << gears << R"(", "J": 1.0},)";
    text << R"({"type": "damper", "a": "shaft)" << gears << R"(", "b": "ground", "d": 0.5}],)";
    text << R"("instances": [)";
    for (long i = 1; i <= gears; ++i)
        text << (i > 1 ? ", " : "") << R"({"name": "g)" << i << R"(", "parameters": ")"
             << (i % 2 ? "2" : "500m") << R"(", "ROT1": "shaft)" << i - 1 << R"(", "ROT2": "shaft)" << i << "\"}";
    text << "]}";
    return text.str();
}

// A fixed-free chain of n inertias J joined by springs c, the first spring to
// the ground; each spring reached from the inertia before it through a gear
// of K = 1 and a node without inertia. Its natural frequencies have a closed
// form, which the tests of the modes check and the benchmarks time.
inline std::string SpringChainModelText(long n, double j, double c) {
    std::ostringstream m;
    m.precision(17);
    m << R"({"nodes": [)";
    for (long i = 1; i <= n; ++i) {
        m << (i > 1 ? ", " : "") << "\"m" << i << "\"";
        if (i < n) m << ", \"p" << i << "\"";
    }
    m << R"(], "elements": [{"type": "spring", "a": "m1", "c": )" << c << "}";
    for (long i = 1; i <= n; ++i) {
        m << R"(, {"type": "inertia", "node": "m)" << i << R"(", "J": )" << j << "}";
        if (i < n) m << R"(, {"type": "spring", "a": "p)" << i << R"(", "b": "m)" << i + 1 << R"(", "c": )" << c << "}";
    }
    m << R"(], "instances": [)";
    for (long i = 1; i < n; ++i)
        m << (i > 1 ? ", " : "") << R"({"name": "g)" << i << R"(", "parameters": "1", "ROT1": "m)" << i
          << R"(", "ROT2": "p)" << i << "\"}";
    m << "]}";
    return m.str();
}
