"""Two maximum-entropy schedules on the modulated crystal of
examples/modulated: the input's (20 cycles of the first stage at ex1 = 0.1,
then the second stage) against a bolder one (ex = 0.3 in both stages). Each
run reports its cycles to a callback; the script compares how fast c2 falls,
where the runs stop, and the atomic string each map shows: the x of the
density maximum along t against the wave x(t) = A sin(2 pi t), A = 0.08,
that the data were made from. A PNG shows c2 per cycle and the two strings.

    PYTHONPATH=<build>/python /usr/bin/python3 mem_schedules.py [output folder]
"""
import re
import sys
from pathlib import Path

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import trovan

here = Path(__file__).resolve().parent
out = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
out.mkdir(parents=True, exist_ok=True)
job = trovan.Job.from_file(here.parent / "modulated" / "modulated_mem.inp")
text = job.to_input()

schedules = {
    "input (ex 0.1, 20 + 980 cycles)": "ex1=0.1 ex2=0.1 nex1=20 nex2=980",
    "bold (ex 0.3, 5 + 995 cycles)": "ex1=0.3 ex2=0.3 nex1=5 nex2=995",
}
# The runs read their reflection file in the output folder and write their
# density file and section page there.
(out / "modulated_mem.hkl").write_bytes((here.parent / "modulated" / "modulated_mem.hkl").read_bytes())
results, histories = {}, {}
for name, steps in schedules.items():
    # The same job with another MEM line.
    edited = trovan.Job.from_text(re.sub(r"(?m)^ex1=.*$", steps, text), out)
    history = []
    results[name] = edited.run(progress=lambda cycle, c2, rfact: history.append((cycle, c2, rfact)))
    histories[name] = np.array(history)

# The string: along t (the fourth grid axis) the centre of the density on
# the line y = z = 0, within four grid steps of its maximum.
def string_x(rho):
    line = rho[:, 0, 0, :]  # [x, t]
    n = line.shape[0]
    steps = np.arange(-4, 5)
    xs = []
    for col in line.T:
        i = int(np.argmax(col))
        w = col[(i + steps) % n]
        xs.append((i + np.sum(w * steps) / np.sum(w)) / n)
    x = np.array(xs)
    return np.where(x > 0.5, x - 1, x)


nt = next(iter(results.values())).density.shape[3]
t = np.arange(nt) / nt
wave = 0.08 * np.sin(2 * np.pi * t)
fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(10, 4))
for name, r in results.items():
    x = string_x(r.density)
    err = np.max(np.abs(x - wave))
    print("%-34s %4d cycles, c2 = %.4f, R = %.4f (%s); string off the wave by %.4f of a at most"
          % (name, r.cycles, r.c2, r.rfact, r.stopped_because, err))
    h = histories[name]
    ax1.semilogy(h[:, 0], h[:, 1], label=name)
    ax2.plot(t, x, "o-", label=name)
    # Within a grid step of the wave (the x axis has 32 points).
    assert r.stopped_because == "c2 <= c2min" and err < 1 / 32
ax2.plot(t, wave, "k--", label="x(t) = 0.08 sin(2 pi t)")
ax1.set_xlabel("cycle")
ax1.set_ylabel("c2")
ax1.legend()
ax2.set_xlabel("t")
ax2.set_ylabel("x of the string (fractions of a)")
ax2.legend(fontsize=8)
fig.tight_layout()
fig.savefig(out / "mem_schedules.png", dpi=80)
a, b = (r.density for r in results.values())
print("largest difference of the two maps: %.2f %% of the maximum" % (100 * np.abs(a - b).max() / a.max()))
print("wrote", out / "mem_schedules.png")
