# The Python module against the batch program: the same maps and files, the
# same messages, runs that do not disturb one another, and the MEM progress
# callback. The physics is the C++ suite's; here the layer between.
#
# TROVAN_EXE names the batch program (tools/test.sh sets it); PYTHONPATH
# must hold the built package (<build>/python).
import os
import shutil
import subprocess
import threading
from pathlib import Path

import numpy as np
import pytest

import trovan

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


@pytest.fixture(scope="session")
def exe():
    path = os.environ.get("TROVAN_EXE", str(ROOT / "build" / "trovan"))
    if not os.access(path, os.X_OK):
        pytest.fail("no batch program at %s: set TROVAN_EXE" % path)
    return path


def copy_example(tmp_path, crystal, name):
    """A private copy of an example's folder; the path of its input `name`."""
    folder = tmp_path / (crystal + "-" + name.replace(".inp", ""))
    shutil.copytree(EXAMPLES / crystal, folder)
    return folder / name


def run_batch(exe, inp):
    """The batch program on inp in its folder: (exit status, stderr)."""
    p = subprocess.run([exe, inp.name], cwd=inp.parent, capture_output=True, text=True)
    return p.returncode, p.stderr


def density_file(path):
    """The values of a density file: one record of 4-byte reals."""
    raw = np.fromfile(path, dtype="<f4")
    assert raw[:1].view("<i4")[0] == 4 * (raw.size - 2)
    return raw[1:-1]


def batch_density(exe, tmp_path, crystal, name):
    inp = copy_example(tmp_path / "batch", crystal, name)
    status, err = run_batch(exe, inp)
    assert status == 0, err
    return inp.parent


@pytest.mark.parametrize("crystal,name", [("perovskite", "perovskite.inp"), ("modulated", "modulated_mem.inp")])
def test_map_and_files_are_the_batch_programs(exe, tmp_path, crystal, name):
    folder = batch_density(exe, tmp_path, crystal, name)
    den = folder / name.replace(".inp", ".den")
    r = trovan.Job.from_file(copy_example(tmp_path, crystal, name)).run()
    # [i1, i2, ...] is the point (i1/n1, i2/n2, ...): the file's grid order,
    # first index fastest.
    assert np.array_equal(r.density.ravel(order="F"), density_file(den))
    r.write_density(tmp_path / "again.den")
    assert (tmp_path / "again.den").read_bytes() == den.read_bytes()
    if crystal == "perovskite":
        # The example's box (its iax=3 drawing), written from the result.
        names = r.write_box(str(tmp_path / "box"), [0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1],
                            box=(0, 1, 0, 1, 0, 1), points=(17, 17, 17))
        for made, ext in zip(names, (".win", ".rho", ".ccp4")):
            # The CCP4 label numbers the box among the drawings: the
            # example's box is its third.
            got = Path(made).read_bytes().replace(b"trovan box 1:", b"trovan box 3:")
            assert got == (folder / ("perovskite" + ext)).read_bytes()


# Jobs of the examples built in code: the keys of their input files.
PEROVSKITE = dict(title="SrTiO3-type perovskite", cell=(3.905, 3.905, 3.905, 90, 90, 90),
                  symmetry=["-y,x,z,t,u,v", "y,x,-z,t,u,v", "z,x,y,t,u,v"], centric=True, f000=84,
                  grid=(16, 16, 16), pkmin=0.15, qimax=1.8018)
DECAGONAL = dict(title="decagonal quasicrystal, circular domains", system=3, cell=(3.8, 4.1),
                 symmetry=["-t,x+y+z+t,-x,-y,u+1/2,v", "t,z,y,x,u,v"], centric=True, f000=96,
                 grid=(15, 15, 15, 15, 8), pkmin=0.3, qimax=1.3013)
MEM = dict(method="mem", ex=(0.1, 0.1), cycles=(20, 980))


@pytest.mark.parametrize("crystal,name,keys", [
    ("perovskite", "perovskite.inp", PEROVSKITE),
    ("perovskite", "perovskite_mem.inp", dict(PEROVSKITE, **MEM)),
    ("decagonal", "decagonal.inp", DECAGONAL),
], ids=["perovskite", "perovskite-mem", "decagonal"])
def test_job_built_in_code_is_the_job_of_its_file(tmp_path, crystal, name, keys):
    nidx = 5 if keys.get("system", 0) > 2 else 6
    table = np.loadtxt(EXAMPLES / crystal / name.replace(".inp", ".hkl"))
    idx, cols = table[:, :nidx].astype(int), table[:, nidx:]
    sigma = cols[:, 3] if cols.shape[1] > 3 else None
    built = trovan.Job.build(indices=idx, fo=cols[:, 0], fc=cols[:, 1], phase=cols[:, 2], sigma=sigma,
                             **keys).run()
    read = trovan.Job.from_file(copy_example(tmp_path, crystal, name)).run()
    assert np.array_equal(built.density, read.density)
    assert [(p.position, p.multiplicity, p.height) for p in built.peaks] == \
           [(p.position, p.multiplicity, p.height) for p in read.peaks]
    assert (built.cycles, built.c2) == (read.cycles, read.c2)


def edit(old, new):
    return lambda text: text.replace(old, new, 1)


# An input error: the module raises the message the batch program stops
# with, and the batch program's exit status.
@pytest.mark.parametrize("change", [
    edit("pkmin=0.15", "pkmin=-1"),
    edit("z,x,y,t,u,v", "z,x,q,t,u,v"),
    edit("hmax=16 16 16", "hmax=16 0 16"),
    edit("file1='perovskite.hkl'", "file1='missing.hkl'"),
], ids=["pkmin", "operator", "hmax", "missing-file"])
def test_input_error_raises_the_batch_message(exe, tmp_path, change):
    inp = copy_example(tmp_path, "perovskite", "perovskite.inp")
    inp.write_text(change(inp.read_text()))
    status, err = run_batch(exe, inp)
    assert status != 0
    with pytest.raises(trovan.Error) as e:
        trovan.Job.from_file(inp).run()
    assert "trovan: " + str(e.value) in err
    assert e.value.status == status


def test_built_job_error_is_the_batch_message(exe, tmp_path):
    job = trovan.Job.build(cell=(4, 4, 4, 90, 90, 90), symmetry=["-x,y,z,t,u,v"], centring="k",
                           indices=[[1, 0, 0]], fo=[1.0], grid=(8, 8, 8))
    status, err = run_batch(exe, Path(job.write(tmp_path)))
    with pytest.raises(trovan.Error) as e:
        job.run()
    assert "trovan: " + str(e.value) in err and e.value.status == status == 2


def test_runs_keep_their_own_maps(exe, tmp_path):
    mem_dir = batch_density(exe, tmp_path, "perovskite", "perovskite_mem.inp")
    fou_dir = batch_density(exe, tmp_path, "modulated", "modulated.inp")
    mem = trovan.Job.from_file(copy_example(tmp_path, "perovskite", "perovskite_mem.inp"))
    fou = trovan.Job.from_file(copy_example(tmp_path, "modulated", "modulated.inp"))
    first = mem.run()
    cut = first.section([0, 0, 0.5], [1, 0, 0], [0, 1, 0], div=(20, 20))
    second = fou.run()
    third = mem.run()
    expected_mem = density_file(mem_dir / "perovskite_mem.den")
    for r in (first, third):
        assert np.array_equal(r.density.ravel(order="F"), expected_mem)
    assert np.array_equal(second.density.ravel(order="F"), density_file(fou_dir / "modulated.den"))
    # The first result's section is still cut from its own map.
    assert np.array_equal(first.section([0, 0, 0.5], [1, 0, 0], [0, 1, 0], div=(20, 20)), cut)
    # Two threads at once: the runs are serialised, each gets its own map.
    got = {}
    threads = [threading.Thread(target=lambda j=j, k=k: got.__setitem__(k, j.run())) for k, j in
               (("mem", mem), ("fou", fou))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert np.array_equal(got["mem"].density, first.density)
    assert np.array_equal(got["fou"].density, second.density)


def test_progress_sees_every_cycle(tmp_path):
    seen = []
    r = trovan.Job.from_file(copy_example(tmp_path, "perovskite", "perovskite_mem.inp")).run(
        lambda cycle, c2, rfact: seen.append((cycle, c2, rfact)))
    assert [s[0] for s in seen] == list(range(1, r.cycles + 1))
    assert seen[-1][1] == pytest.approx(r.c2) and seen[-1][2] == pytest.approx(r.rfact)
    assert r.stopped_because == "c2 <= c2min" and not r.stopped_early
    assert "mem stopped after   %3d cycles: c2 <= c2min" % r.cycles in r.listing


def interrupt():
    raise KeyboardInterrupt


# A stop from the callback ends the run cleanly after that cycle: the map is
# the one a run limited to those cycles makes.
@pytest.mark.parametrize("stop,why", [
    (lambda: False, "stopped by the caller"),
    (interrupt, "interrupted (KeyboardInterrupt)"),
])
def test_progress_stops_the_run(tmp_path, stop, why):
    inp = copy_example(tmp_path, "perovskite", "perovskite_mem.inp")
    r = trovan.Job.from_file(inp).run(lambda cycle, c2, rfact: stop() if cycle == 5 else True)
    assert (r.cycles, r.stopped_because, r.stopped_early) == (5, why, True)
    short = trovan.Job.from_text(inp.read_text().replace("nex2=980", "nex2=0").replace("nex1=20", "nex1=5"),
                                 inp.parent).run()
    assert short.cycles == 5 and np.array_equal(r.density, short.density)
    # The run limited to five cycles warns that its fit stopped short; each
    # of a run's warnings is a warning line of its listing, and a run stopped
    # by the caller is not told it met its cycle limit.
    assert [w for w in short.warnings if w.startswith("mem stopped by its cycle limit nex1+nex2=5 ")]
    for res in (r, short):
        assert all(" warning: " + w + "\n" in res.listing for w in res.warnings)
        assert len(res.warnings) == res.listing.count(" warning:")
    assert not [w for w in r.warnings if "cycle limit" in w]


def test_error_in_progress_propagates(tmp_path):
    def bad(cycle, c2, rfact):
        raise ValueError("from the callback")
    with pytest.raises(ValueError, match="from the callback"):
        trovan.Job.from_file(copy_example(tmp_path, "perovskite", "perovskite_mem.inp")).run(bad)
