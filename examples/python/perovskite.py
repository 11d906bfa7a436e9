"""The cubic perovskite of examples/perovskite built in code: a Fourier map
and a maximum-entropy map, their z = 1/2 sections side by side in a PNG, the
MEM map's cell as a CCP4 map, and the peaks of both.

    PYTHONPATH=<build>/python /usr/bin/python3 perovskite.py [output folder]
"""
import sys
from pathlib import Path

import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import trovan

here = Path(__file__).resolve().parent
data = here.parent / "perovskite"
out = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
out.mkdir(parents=True, exist_ok=True)


def reflections(name):
    """indices, Fo, Fc, phase (degrees) and, for the MEM data, sigma."""
    t = np.loadtxt(data / name)
    return t[:, :6].astype(int), t[:, 6:]


def perovskite(hkl, **method):
    idx, c = reflections(hkl)
    return trovan.Job.build(
        title="SrTiO3-type perovskite",
        cell=(3.905, 3.905, 3.905, 90, 90, 90),
        # Generating elements of m-3m: 4 along z, 2 along [110], 3 along [111].
        symmetry=["-y,x,z,t,u,v", "y,x,-z,t,u,v", "z,x,y,t,u,v"], centric=True,
        f000=84, indices=idx, fo=c[:, 0], fc=c[:, 1], phase=c[:, 2],
        sigma=c[:, 3] if c.shape[1] > 3 else None,
        grid=(16, 16, 16), pkmin=0.15, qimax=1.8018, **method)


fourier = perovskite("perovskite.hkl", method="fourier").run()
cycles = []
mem_job = perovskite("perovskite_mem.hkl", method="mem", ex=(0.1, 0.1), cycles=(20, 980))
mem = mem_job.run(progress=lambda cycle, c2, rfact: cycles.append((cycle, c2, rfact)))
print("MEM: %d cycles, c2 = %.4f, R = %.4f, stopped: %s" % (mem.cycles, mem.c2, mem.rfact, mem.stopped_because))

for name, r in (("Fourier", fourier), ("MEM", mem)):
    print("%s map %s, max %.1f at the origin; peaks:" % (name, r.density.shape, r.density.max()))
    for p in r.peaks:
        print("   (%.4f %.4f %.4f)  multiplicity %d  height %.1f" % (*p.position, p.multiplicity, p.height))

# The z = 1/2 section (Ti at the centre, O at the edge centres) through
# both maps, 61 x 61 points, averaged over the symmetry images.
fig, axes = plt.subplots(1, 2, figsize=(9, 4.2))
for ax, (name, r) in zip(axes, (("Fourier", fourier), ("MEM", mem))):
    s = r.section(origin=[0, 0, 0.5], u=[1, 0, 0], v=[0, 1, 0], div=(60, 60))
    levels = np.linspace(0.05, 1, 10) * s.max()
    ax.contour(np.linspace(0, 1, s.shape[0]), np.linspace(0, 1, s.shape[1]), s.T, levels=levels)
    ax.set_title("%s, z = 1/2" % name)
    ax.set_xlabel("x")
    ax.set_ylabel("y")
    ax.set_aspect("equal")
fig.tight_layout()
fig.savefig(out / "perovskite_sections.png", dpi=80)

# The MEM map's cell as a box: perovskite_mem.ccp4 (with .win and .rho).
files = mem.write_box(out / "perovskite_mem", origin=[0, 0, 0], u=[1, 0, 0], v=[0, 1, 0], q=[0, 0, 1],
                      points=(17, 17, 17))
print("wrote", out / "perovskite_sections.png", *files)

# Sr, the heaviest atom, is the highest peak of both maps, at the origin.
assert all(np.allclose(r.peaks[0].position, 0, atol=1e-3) for r in (fourier, mem))
