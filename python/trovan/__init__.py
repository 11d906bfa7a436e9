"""trovan from Python: superspace density maps of aperiodic crystals.

A job is the keyword input of the batch program ``trovan``: read from its
file (``Job.from_file``), or built in code (``Job.build``), which writes the
same keyword text and reflection records and hands them to the same reader,
so that every check and message is the batch program's. ``job.run()`` runs
it and returns a result with the map as a numpy array, the peaks, for
maximum entropy the agreement and why the iteration ended, and the listing.
A stop of the run raises ``trovan.Error`` with the batch program's message.

Runs hold no state between them: each starts from a clean state, and the
result keeps its own map. Runs are serialised (one at a time per process;
other threads wait) and release the GIL while they compute. During a run
the current directory is the job's folder, as for a batch run started there.
Pages are drawn with the page prolog of $CLCMPPATH, else the package's own.
"""

import math
import os
import tempfile

import numpy as np

from ._trovan import Error, Peak, Result, run_text

# The page prolog of the sections drawn on pages: the package's own copy,
# unless CLCMPPATH already names a folder (as for the batch program).
if "CLCMPPATH" not in os.environ and os.path.isfile(os.path.join(os.path.dirname(__file__), "gprim.ps")):
    os.environ["CLCMPPATH"] = os.path.dirname(os.path.abspath(__file__))

__all__ = ["Error", "Job", "Peak", "Result", "METHODS"]

# Map kinds by name: the batch program's iplot=.
METHODS = {"patterson": 1, "fourier": 2, "difference": 3, "mem": 4}

# Records of a reflection file written for a job built in code: six indices
# and nine significant digits, which carry every single-precision value.
_INDEX_FIELD = 6
_REAL_FIELD = "%16.8E"


def _num(x):
    """A real as the keyword reader takes it, exact to double precision."""
    return repr(float(x))


def _nums(values):
    return " ".join(_num(v) for v in values)


class Job:
    """A job: the keyword text, the folder its files are named relative to,
    and for a job built in code the reflection records it reads."""

    def __init__(self, text, folder=".", reflections=None):
        self._text = text
        self._folder = os.path.abspath(folder)
        # (file name, record text): written into a private folder at each run.
        self._reflections = reflections

    @classmethod
    def from_file(cls, path):
        """The job of a keyword input file; its reflection file (and the
        files the run writes) are named relative to the file's folder."""
        with open(path, encoding="latin-1") as f:
            text = f.read()
        return cls(text, os.path.dirname(os.path.abspath(path)))

    @classmethod
    def from_text(cls, text, folder="."):
        """The job of keyword text whose files are named relative to folder."""
        return cls(text, folder)

    @classmethod
    def build(cls, *, cell, symmetry, indices, fo, phase=None, sigma=None, fc=None,
              grid, method="fourier", f000=0.0, title="trovan job", wave_vectors=(),
              centric=False, centring="p", isetting=3, v=None, sg=(0.0, 0.0, 0.0),
              fmag=1.0, jbc=0, pkmin=0.1, qimax=1000.0, phsign=1, ex=(0.1, 0.1),
              cycles=(20, 980), c2min=None, rwmin=None, iwhkl=0, system=0, ismtr=0):
        """A job built in code.

        system: 0 the general setting (isys=0), 1 or 2 icosahedral (6-D), 3, 4,
        5 decagonal, octagonal, dodecagonal (5-D), the batch program's isys;
        cell: for the general setting a, b, c (Angstrom) and alpha, beta,
        gamma (degrees), for the built-in ones (a,) or (a, c);
        wave_vectors: up to three modulation wave vectors on a*, b*, c*;
        symmetry: the generating operators as strings ("-y,x,z,t,u,v"),
        centric: the inversion at the origin implied, centring: the letter;
        isetting and v: the setting of the reciprocal basis (v, 18 reals,
        defaults to the internal axes one per wave vector); f000, sg (sg00,
        sg0, sg1) and fmag: the F(000) block;
        indices (n x idm integers), fo, phase (degrees), sigma, fc (default
        fo): the reflections; grid: the grid sizes (n1, n2, ...);
        method: "patterson", "fourier", "difference", "mem" (or iplot);
        for MEM ex=(ex1, ex2), cycles=(nex1, nex2), c2min, rwmin; ismtr:
        the superstructure multiplier of a built-in setting.
        """
        iplot = METHODS[method] if isinstance(method, str) else int(method)
        if rwmin is not None:
            iplot = 5 if iplot > 0 else -5
        mem = abs(iplot) >= 4
        idx = np.asarray(indices, dtype=np.int64)
        if idx.ndim != 2 or not 1 <= idx.shape[1] <= 6:
            raise ValueError("indices: an array of n rows of 1 to 6 integers")
        n = idx.shape[0]
        fo = np.broadcast_to(np.asarray(fo, dtype=np.float64), (n,))
        phase = np.zeros(n) if phase is None else np.broadcast_to(np.asarray(phase, dtype=np.float64), (n,))
        fc = fo if fc is None else np.broadcast_to(np.asarray(fc, dtype=np.float64), (n,))
        if mem and sigma is None:
            raise ValueError("a maximum-entropy job needs sigma")
        cols = [fo, fc, phase]
        if mem:
            cols.append(np.broadcast_to(np.asarray(sigma, dtype=np.float64), (n,)))
        # The records hold six indices, five in the 5-D settings.
        nidx = 5 if system > 2 else 6
        if idx.shape[1] > nidx:
            raise ValueError("indices: at most %d per reflection for system=%d" % (nidx, system))
        if n and np.abs(idx).max() >= 10 ** (_INDEX_FIELD - 1):
            raise ValueError("indices: each below %d in magnitude" % 10 ** (_INDEX_FIELD - 1))
        if "'" in title:
            raise ValueError("title: no apostrophe (it ends the text on the title= line)")
        full = np.zeros((n, nidx), dtype=np.int64)
        full[:, : idx.shape[1]] = idx
        records = []
        for k in range(n):
            records.append("".join("%*d" % (_INDEX_FIELD, h) for h in full[k])
                           + "".join(_REAL_FIELD % c[k] for c in cols) + "\n")
        frmt = "(%di%d,%de16.8)" % (nidx, _INDEX_FIELD, len(cols))

        hmax = list(grid) + [1] * (6 - len(grid))
        if v is None:
            v = [0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1]
        ex1, ex2 = ex
        nex1, nex2 = cycles
        t = ["file1='reflections.hkl'", "file2='density.den'", "title='%s'" % title]
        if system == 0:
            a, b, c, al, be, ga = cell
            cosines = [round(math.cos(math.radians(x)), 12) + 0.0 for x in (al, be, ga)]
            t += ["isys=0",
                  "a=%s b=%s c=%s cosa=%s cosb=%s cosc=%s" % (_num(a), _num(b), _num(c), *map(_num, cosines)),
                  "ndm=%d" % len(wave_vectors)]
            t += ["k=" + _nums(k) for k in wave_vectors]
        else:
            t.append("isys=%d a=%s" % (system, _num(cell[0])) + (" c=%s" % _num(cell[1]) if system > 2 else ""))
        t += ["nsymo=%d icent=%d brv='%s'" % (len(symmetry), 1 if centric else 0, centring),
              "symmetry operator"]
        t += list(symmetry)
        t += ["f000=%s sg00=%s sg0=%s sg1=%s fmag=%s" % (_num(f000), *map(_num, sg), _num(fmag)),
              "jbc=%d" % jbc]
        if system == 0:
            t += ["isetting=%d" % isetting, "iseging=0", "v= " + _nums(v)]
        head = "iplot=%d hmax=%s" % (iplot, " ".join(str(int(h)) for h in hmax))
        if system != 0:
            head += " ismtr=%d" % ismtr
        head += " pkmin=%s" % _num(pkmin)
        if abs(iplot) == 5:
            head += " rwmin=%s" % _num(rwmin)
        t.append(head)
        if mem:
            m = "ex1=%s ex2=%s nex1=%d nex2=%d" % (_num(ex1), _num(ex2), nex1, nex2)
            if c2min is not None:
                m += " c2min=%s" % _num(c2min)
            t.append(m)
        t += ["icont=0", "qimax=%s frmt='%s' phsign=%d" % (_num(qimax), frmt, phsign),
              "ldev=1 iwhkl=%d iprj=0" % iwhkl, "ng=0"]
        return cls("\n".join(t) + "\n", ".", ("reflections.hkl", "".join(records)))

    def to_input(self):
        """The keyword text of the job, as the batch program reads it."""
        return self._text

    def write(self, folder, name="job.inp"):
        """Writes the keyword input (and the reflection file of a job built
        in code) into folder, for the batch program; returns the input's path."""
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, name)
        with open(path, "w") as f:
            f.write(self._text)
        if self._reflections:
            with open(os.path.join(folder, self._reflections[0]), "w") as f:
                f.write(self._reflections[1])
        return path

    def run(self, progress=None):
        """Runs the job and returns its Result.

        progress(cycle, c2, rfact), when given, is called after every
        maximum-entropy cycle; returning False, or a KeyboardInterrupt,
        ends the iteration cleanly after that cycle (result.stopped_because
        says so, result.stopped_early is True). A stop of the run raises
        trovan.Error with the batch program's message.
        """
        if self._reflections is None:
            return run_text(self._text, self._folder, progress)
        # A job built in code runs in a folder of its own: its reflection
        # file, and the density file every run writes, go there and away.
        with tempfile.TemporaryDirectory(prefix="trovan-") as folder:
            with open(os.path.join(folder, self._reflections[0]), "w") as f:
                f.write(self._reflections[1])
            return run_text(self._text, folder, progress)
