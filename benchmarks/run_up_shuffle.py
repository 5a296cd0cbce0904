#!/usr/bin/python3
"""A run-up of driveline-shuffle in first gear against campbell and order-response.

The engine is driven through a speed range by a constant mean torque, which
accelerates the whole driveline as a rigid body at a constant rate (there is
no road load), so its speed is the ramp rpm(t) = rpm0 + rate*t; on top of
it an order-O torque ripple, A*sin(O*angle(t)), the angle that of the ramp.
(A speed_source on the engine would hold the node, absorb the ripple and
change the modes.) The ripple is a table of N points per cycle, even in
phase; its fundamental is A*sinc(pi/N)^2, which the comparison divides out.
The springs start at the torques the mean acceleration needs, so that only
the ripple excites the driveline.

From the run's half-shaft torque, least squares over windows of a few
cycles give the ripple's amplitude over rpm; its peak is compared with the
crossing campbell gives for the shuffle and order O, and with the peak of
order-response, for each ramp rate given.

    run_up_shuffle.py build/native/dolvanex-host --rates 2,1,0.5,0.25
"""
from __future__ import annotations

import argparse
import json
import math
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "driveline-shuffle" / "model.json"
GEAR, FINAL = 3.5, 3.9
J = {"engine": 0.25 + 0.005, "gearbox_in": 0.01, "propshaft": 0.05, "wheels": 137.0}
RAD_PER_RPM = 2.0 * math.pi / 60.0


def equivalent_inertia() -> float:
    """The driveline's inertia seen at the engine, the gears reflecting by K^2."""
    return J["engine"] + J["gearbox_in"] + J["propshaft"] / GEAR**2 + J["wheels"] / (GEAR * FINAL) ** 2


def ripple_table(rpm0: float, rpm1: float, rate: float, order: float, amp: float, mean: float,
                 per_cycle: int) -> list[list[float]]:
    """Points of mean + amp*sin(order*angle(t)), per_cycle to a cycle."""
    w0, alpha = rpm0 * RAD_PER_RPM, rate * RAD_PER_RPM
    stop = (rpm1 - rpm0) / rate
    total = order * (w0 * stop + 0.5 * alpha * stop**2)
    points = []
    for k in range(int(total / (2.0 * math.pi) * per_cycle) + 1):
        phase = 2.0 * math.pi * k / per_cycle
        t = (-w0 + math.sqrt(w0 * w0 + 2.0 * alpha * phase / order)) / alpha
        points.append([t, mean + amp * math.sin(phase)])
    return points


def run_up_model(rpm0: float, rpm1: float, rate: float, order: float, amp: float, per_cycle: int) -> dict:
    model = json.loads(EXAMPLE.read_text())
    alpha = rate * RAD_PER_RPM
    mean = alpha * equivalent_inertia()
    w0 = rpm0 * RAD_PER_RPM
    speeds = {"engine": w0, "disc": w0, "gearbox_in": w0, "propshaft": w0 / GEAR, "axle": w0 / GEAR / FINAL,
              "wheels": w0 / GEAR / FINAL}
    model["nodes"] = [{"name": n, "omega0": speeds[n]} for n in speeds]
    model["quantities"][0]["value"] = GEAR
    behind_disc = J["gearbox_in"] + J["propshaft"] / GEAR**2 + J["wheels"] / (GEAR * FINAL) ** 2
    for e in model["elements"]:
        if e.get("name") == "engine":
            e["torque"] = {"type": "table", "points": ripple_table(rpm0, rpm1, rate, order, amp, mean, per_cycle)}
        elif e.get("name") == "clutch":
            e["torque"] = 400
        elif e.get("name") == "damper_spring":
            e["torque0"] = alpha * behind_disc
        elif e.get("name") == "halfshaft":
            e["torque0"] = J["wheels"] * alpha / (GEAR * FINAL)
    stop = (rpm1 - rpm0) / rate
    # atol 1e-6: over minutes and tens of thousands of table points (each a
    # time event) the final drive's equation drifts past the run's gear
    # check, 100*(rtol*|omega| + atol), at a tighter atol (1.8e-5 rad/s at
    # 73 s with 1e-7); the torques are hundreds of Nm, held by rtol.
    model["simulation"] = {"start": 0, "stop": stop, "output_interval": 0.004, "rtol": 1e-8, "atol": 1e-6,
                           "max_steps": 50000000}
    return model


def amplitude_over_rpm(t: np.ndarray, torque: np.ndarray, rpm0: float, rate: float, order: float,
                       cycles: int) -> tuple[np.ndarray, np.ndarray]:
    """The order's amplitude in windows of `cycles` cycles, with each window's rpm."""
    w0, alpha = rpm0 * RAD_PER_RPM, rate * RAD_PER_RPM
    phase = order * (w0 * t + 0.5 * alpha * t * t)
    cycle = np.floor(phase / (2.0 * math.pi)).astype(int)
    rpm, amp = [], []
    for start in range(0, int(cycle[-1]) - cycles, max(1, cycles // 2)):
        sel = (cycle >= start) & (cycle < start + cycles)
        if sel.sum() < 8 * cycles:
            continue
        ts = t[sel]
        basis = np.column_stack([np.ones_like(ts), ts - ts.mean(), np.sin(phase[sel]), np.cos(phase[sel])])
        coef, *_ = np.linalg.lstsq(basis, torque[sel], rcond=None)
        rpm.append(rpm0 + rate * ts.mean())
        amp.append(math.hypot(coef[2], coef[3]))
    return np.array(rpm), np.array(amp)


def peak(x: np.ndarray, y: np.ndarray) -> tuple[float, float]:
    """The largest value, refined by the parabola through it and its neighbours."""
    k = int(np.argmax(y))
    if 0 < k < len(y) - 1:
        a, b, c = y[k - 1], y[k], y[k + 1]
        shift = 0.5 * (a - c) / (a - 2.0 * b + c)
        return float(x[k] + shift * (x[k + 1] - x[k])), float(b - 0.25 * (a - c) * shift)
    return float(x[k]), float(y[k])


def tool(binary: Path, args: list[str], timeout: float) -> None:
    done = subprocess.run([str(binary), *args], capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise RuntimeError(f"{binary.name} {args[0]} failed ({done.returncode}): {done.stderr.strip()}")


def read_csv(path: Path) -> dict[str, np.ndarray]:
    data = np.genfromtxt(path, delimiter=",", names=True)
    return {name: data[name] for name in data.dtype.names}


def predictions(binary: Path, work: Path, rpm0: float, rpm1: float, order: float, amp: float) -> tuple[float, float, float]:
    """campbell's crossing of the shuffle with the order; order-response's peak (rpm, amplitude)."""
    model = work / "first-gear.json"
    base = json.loads(EXAMPLE.read_text())
    base["quantities"][0]["value"] = GEAR
    model.write_text(json.dumps(base))
    tool(binary, ["campbell", str(model), "--node", "engine", "--from", str(rpm0), "--to", str(rpm1), "--orders",
                  str(order), "--points", "61", "--crossings", str(work / "crossings.csv")], 120)
    crossings = read_csv(work / "crossings.csv")
    first = np.atleast_1d(crossings["mode"]) == 1
    crossing = float(np.atleast_1d(crossings["rpm"])[first][0])
    tool(binary, ["order-response", str(model), "--node", "engine", "--from", str(rpm0), "--to", str(rpm1),
                  "--points", "2001", "--order", str(order), "--input", f"engine:{amp}", "--output",
                  "halfshaft.torque", "--csv", str(work / "order.csv")], 120)
    response = read_csv(work / "order.csv")
    at, height = peak(response["rpm"], response["halfshafttorqueamplitude"])
    return crossing, at, height


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tool", type=Path)
    parser.add_argument("--rates", default="2,1,0.5,0.25", help="ramp rates [rpm/s]")
    parser.add_argument("--from-rpm", type=float, default=50.0)
    parser.add_argument("--to-rpm", type=float, default=110.0)
    parser.add_argument("--order", type=float, default=2.0)
    parser.add_argument("--amplitude", type=float, default=10.0, help="ripple [Nm]")
    parser.add_argument("--per-cycle", type=int, default=40)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="dvx-run-up-") as folder:
        work = Path(folder)
        crossing, at, height = predictions(args.tool, work, args.from_rpm, args.to_rpm, args.order, args.amplitude)
        print(f"campbell: shuffle meets order {args.order:g} at {crossing:.3f} rpm")
        print(f"order-response: half-shaft torque peaks at {at:.3f} rpm, {height:.5f} Nm")
        fundamental = math.sin(math.pi / args.per_cycle) / (math.pi / args.per_cycle)
        print(f"{'rate [rpm/s]':>12} {'run [s]':>8} {'peak [rpm]':>11} {'vs campbell':>12} {'peak [Nm]':>10} "
              f"{'vs order-response':>18}")
        for rate in (float(r) for r in args.rates.split(",")):
            model = work / "run-up.json"
            model.write_text(json.dumps(run_up_model(args.from_rpm, args.to_rpm, rate, args.order, args.amplitude,
                                                     args.per_cycle)))
            began = time.monotonic()
            tool(args.tool, ["run", str(model), "--output", "halfshaft.torque", "--csv", str(work / "run.csv")], 3600)
            took = time.monotonic() - began
            run = read_csv(work / "run.csv")
            rpm, amp = amplitude_over_rpm(run["time"], run["halfshafttorque"], args.from_rpm, rate, args.order, 6)
            p_rpm, p_amp = peak(rpm, amp / fundamental**2)
            print(f"{rate:>12g} {took:>8.1f} {p_rpm:>11.3f} {100 * (p_rpm / crossing - 1):>+11.3f}% {p_amp:>10.5f} "
                  f"{100 * (p_amp / height - 1):>+17.3f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
