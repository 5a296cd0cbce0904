#!/usr/bin/env python3
"""Writes model.json: a motor driving a load through N gears in series.

Gear i joins shaft i-1 (ROT1) to shaft i (ROT2); odd gears have K = 2, even
gears K = 500m (0.5 in engineering notation), so the speeds alternate and the
whole chain has the ratio 1. Usage: generate.py [N] > model.json
"""
import json
import sys

n = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
nodes = [f"shaft{i}" for i in range(n + 1)]
elements = [
    {"type": "torque_source", "node": "shaft0", "torque": 5.0},
    {"type": "inertia", "node": "shaft0", "J": 0.01},
]
elements += [{"type": "inertia", "node": f"shaft{i}", "J": 1e-4} for i in range(1, n)]
elements += [
    {"type": "inertia", "node": f"shaft{n}", "J": 1.0},
    {"type": "damper", "a": f"shaft{n}", "b": "ground", "d": 0.5},
]
instances = [
    {"name": f"g{i}", "parameters": "2" if i % 2 else "500m", "ROT1": f"shaft{i - 1}", "ROT2": f"shaft{i}"}
    for i in range(1, n + 1)
]
model = {
    "simulation": {"start": 0, "stop": 5, "step": 0.001, "output_interval": 0.1},
    "nodes": nodes,
    "elements": elements,
    "instances": instances,
    "record": ["g1", f"g{n}"],
}
out = ["{"]
out.append(f'  "simulation": {json.dumps(model["simulation"])},')
out.append(f'  "record": {json.dumps(model["record"])},')
out.append('  "nodes": [')
out.append(",\n".join("    " + ", ".join(json.dumps(x) for x in nodes[i:i + 10]) for i in range(0, len(nodes), 10)))
out.append("  ],")
for key in ("elements", "instances"):
    out.append(f'  "{key}": [')
    out.append(",\n".join("    " + json.dumps(x) for x in model[key]))
    out.append("  ]" + ("," if key == "elements" else ""))
out.append("}")
print("\n".join(out))
