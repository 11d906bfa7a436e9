// The Python module's core (`trovan._trovan`): a whole job run from its
// keyword text in its folder, and what the run leaves for a script: the map
// as a numpy array, the peaks, the MEM agreement and why it ended, the
// listing; sections, boxes and the density file made from that map.
//
// A thin layer over the driver (driver/trovan.hpp): the job is the keyword
// text the batch program reads, read by the same reader, so every check and
// message is the batch program's. A job and its result are values: the
// result holds the driver's JobResult (crystal, observations, density, work
// grid with the map, peaks), and its sections, boxes and density file are
// made from that alone. A run works in the job's folder: the process's
// current directory is that folder during the run, as for a batch run
// started there, and is restored after it. The job's file names stay as
// given, since the listing and the messages name them so (a missing
// reflection file is "can't open missing.hkl", as the batch program says),
// and the page files (calcomp1.ps, the EPS pages) have fixed names in the
// current directory.
//
// What is still shared by the runs of a process: the listing stream the
// library writes to (out()), the current directory, and the library's
// caches (the input marks of a pruned synthesis, the transform plans). One
// mutex serialises the runs and the writers for them: two Python threads
// may call them, one waits.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "crystal/gridindex.hpp"
#include "crystal/lattice.hpp"
#include "crystal/symmetry.hpp"
#include "density/mem.hpp"
#include "driver/trovan.hpp"
#include "maps/densityfile.hpp"
#include "maps/peaks.hpp"
#include "plot/drwmap.hpp"
#include "util/runstate.hpp"
#include "util/stop.hpp"
#include "util/tempfiles.hpp"
#include "util/workgrid.hpp"

namespace py = pybind11;

namespace {

// One run or writer at a time: the listing stream, the current directory
// and the library's caches are per process. Always taken with the GIL
// released, so that a progress callback (which takes the GIL while this is
// held) cannot deadlock with a thread that waits here.
std::mutex g_library;

// The exception type trovan.Error, made at import.
PyObject* g_error = nullptr;

// The batch program's stop as trovan.Error: its one-line message, the exit
// status the program would have ended with, and the listing up to the stop.
[[noreturn]] void raise_error(const trovan::Stop& s, const std::string& listing) {
  py::object e = py::reinterpret_borrow<py::object>(g_error)(s.what());
  e.attr("status") = s.status;
  e.attr("listing") = listing;
  PyErr_SetObject(g_error, e.ptr());
  throw py::error_already_set();
}

// The listing bound to a string while the library works; back to standard
// output when it ends, however it ends.
struct Session {
  std::ostringstream listing;
  Session() { trovan::set_out_stream(&listing); }
  ~Session() { trovan::set_out_stream(nullptr); }
};

// The folder of a job as the current directory during its run; the
// previous one back when the run ends, however it ends.
struct InFolder {
  std::optional<std::filesystem::path> home;
  explicit InFolder(const std::string& folder) {
    if (folder.empty()) return;
    home = std::filesystem::current_path();
    std::filesystem::current_path(folder);
  }
  ~InFolder() {
    std::error_code ec;
    if (home) std::filesystem::current_path(*home, ec);
  }
};

struct PeakView {
  std::vector<float> position, grid_position;
  float height = 0, grid_value = 0;
  int multiplicity = 0;
};

// What a run leaves: the driver's result (its work grid holds the map in
// the real half, grid index order, first axis fastest), the geometry, symmetry and peaks the drawings need (ctx, whose grid views
// the result's map), the listing, and for MEM the end of the iteration.
struct Result {
  trovan::JobResult job;
  trovan::MapContext ctx;
  std::vector<PeakView> peaks;
  std::string listing, kind;
  int iplot = 0;
  // The axes of the map as a script sees it: the crystal's own (3 + ndm in
  // the general setting), and any further axis the grid samples; the
  // placeholder axes of one point of the 6-D grid are left out.
  int dim = 0;
  bool mem = false;
  trovan::MemCycle end;
  std::string stopped_because;
  bool stopped_early = false;
  long long points() const { return ctx.grid.points(); }
};

// The run with the GIL released; the MEM watcher takes it back to call the
// progress callback (or, without one, to see a Ctrl-C) after every cycle.
std::shared_ptr<Result> run_text(const std::string& text, const std::string& folder,
                                 const py::object& progress) {
  auto r = std::make_shared<Result>();
  std::optional<py::error_already_set> raised;  // from the callback, raised after the run
  bool interrupted = false;
  const trovan::MemWatch watch = [&](const trovan::MemCycle& c) {
    if (c.end) {
      r->end = c;
      // A stop asked for in the cycle that met another criterion ends for that one.
      r->stopped_early = std::string(c.end) == "stopped by the caller";
      r->stopped_because = r->stopped_early && interrupted ? "interrupted (KeyboardInterrupt)" : c.end;
      return true;
    }
    py::gil_scoped_acquire gil;
    try {
      if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      if (!progress.is_none()) {
        py::object go = progress(c.cycle, c.c2, c.rfact);
        // None (a callback that returns nothing) goes on; False stops.
        if (!go.is_none() && !go.cast<bool>()) return false;
      }
      return true;
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_KeyboardInterrupt))
        interrupted = true;
      else
        raised.emplace(std::move(e));
      return false;
    }
  };
  std::optional<trovan::Stop> stop;
  std::string listing;
  {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> lock(g_library);
    // The folder first: when it cannot be entered, nothing is bound yet.
    InFolder here(folder);
    Session s;
    try {
      // trovan::run in its two steps, with the job kept for its switches.
      std::istringstream in(text);
      const trovan::Job job = trovan::read_job(in);
      r->job = trovan::run(job, watch);
      // The result's own values from here: the map where the result keeps it.
      const trovan::Crystal& cr = r->job.crystal;
      r->iplot = job.run.iplot;
      r->mem = trovan::ismem(job.run);
      r->kind = trovan::mapkindlabel(job.run);
      r->ctx = trovan::mapcontext(cr, job.run, trovan::getabcdr(std::as_const(r->job.map)), r->job.peaks);
      r->dim = trovan::activedim(cr.lattice.isys, cr.lattice.ndm);
      for (int d = r->dim; d < r->ctx.grid.idm; ++d)
        if (r->ctx.grid.n[d] > 1) r->dim = d + 1;
      r->dim = std::min(r->dim, r->ctx.grid.idm);
      for (const trovan::Peak& p : r->job.peaks.list) {
        PeakView v;
        v.position.assign(p.xr, p.xr + r->dim);
        v.grid_position.assign(p.x, p.x + r->dim);
        v.height = p.pr;
        v.grid_value = p.p;
        v.multiplicity = p.mult;
        r->peaks.push_back(v);
      }
    } catch (const trovan::Stop& e) {
      trovan::removetemps();
      stop.emplace(e);
    } catch (...) {
      trovan::removetemps();
      throw;
    }
    listing = s.listing.str();
  }
  if (raised) throw std::move(*raised);
  if (stop) raise_error(*stop, listing);
  r->listing = std::move(listing);
  while (!r->kind.empty() && r->kind.back() == ' ') r->kind.pop_back();
  return r;
}

// A writer or sampler on a result's map, serialised with the runs; a stop
// (a bad box, a file that cannot be written) raises trovan.Error.
template <class F>
auto with_library(F f) {
  std::optional<trovan::Stop> stop;
  std::string listing;
  decltype(f()) value{};
  {
    py::gil_scoped_release nogil;
    std::lock_guard<std::mutex> lock(g_library);
    Session s;
    try {
      value = f();
    } catch (const trovan::Stop& e) {
      trovan::removetemps();
      stop.emplace(e);
    }
    listing = s.listing.str();
  }
  if (stop) raise_error(*stop, listing);
  return value;
}

std::array<double, 6> vec6(const std::vector<double>& v, const char* what) {
  if (v.empty() || v.size() > 6) throw py::value_error(std::string(what) + " takes 1 to 6 components");
  std::array<double, 6> a{};
  std::copy(v.begin(), v.end(), a.begin());
  return a;
}

// A drawing request of the batch program's kind (ipers = 0: origin and axes
// in fractions of the setting cell), placed on the result's geometry.
trovan::DrawRequest request(int iax, const std::vector<double>& origin,
                            const std::vector<std::vector<double>>& axes, bool average, int smooth) {
  trovan::DrawRequest rq;
  rq.number = 1;
  rq.iax = iax;
  rq.iaver = average ? 1 : 0;
  if (smooth < 0 || smooth > 2) throw py::value_error("smooth should be 0, 1 or 2");
  rq.ismth = smooth;
  const auto x0 = vec6(origin, "origin");
  std::copy(x0.begin(), x0.end(), rq.x0);
  for (std::size_t a = 0; a < axes.size(); ++a) {
    const auto ax = vec6(axes[a], "an axis");
    std::copy(ax.begin(), ax.end(), rq.given[a]);
  }
  return rq;
}

py::array_t<float> section(const Result& r, const std::vector<double>& origin, const std::vector<double>& u,
                           const std::vector<double>& v, std::array<int, 2> div, bool average, int smooth) {
  trovan::DrawRequest rq = request(2, origin, {u, v}, average, smooth);
  if (div[0] < 1 || div[1] < 1) throw py::value_error("div should be at least 1 along each axis");
  rq.div[0] = div[0];
  rq.div[1] = div[1];
  int n[3] = {1, 1, 1};
  std::vector<float> vals = with_library([&] {
    trovan::placedrawing(r.ctx, rq);
    return trovan::samplerequest(r.ctx, rq, n);
  });
  // Values first axis fastest: [s, t] with s along u.
  py::array_t<float> a({n[0], n[1]}, {sizeof(float), sizeof(float) * n[0]});
  std::copy(vals.begin(), vals.end(), a.mutable_data());
  return a;
}

std::vector<std::string> write_box(Result& r, const std::filesystem::path& prefix, const std::vector<double>& origin,
                                   const std::vector<double>& u, const std::vector<double>& v,
                                   const std::vector<double>& q, std::array<double, 6> box,
                                   std::array<int, 3> points, double hscl, bool average, int smooth) {
  trovan::DrawRequest rq = request(3, origin, {u, v, q}, average, smooth);
  for (int a = 0; a < 3; ++a) {
    if (points[a] < 1) throw py::value_error("points should be at least 1 along each axis");
    rq.bdiv[a] = points[a];
  }
  std::copy(box.begin(), box.end(), rq.box);
  rq.hscl = hscl;
  trovan::MapContext ctx = r.ctx;
  ctx.win = prefix.string() + ".win";
  ctx.rho = prefix.string() + ".rho";
  with_library([&] {
    trovan::placedrawing(ctx, rq);
    trovan::writebox(ctx, rq, 1);
    return 0;
  });
  const auto names = trovan::boxfilenames(ctx.win, 1);
  return {names.begin(), names.end()};
}

py::object density_array(py::object self) {
  const Result& r = self.cast<const Result&>();
  const int idm = r.dim;
  std::vector<py::ssize_t> shape(idm), strides(idm);
  py::ssize_t stride = sizeof(float);
  for (int d = 0; d < idm; ++d) {
    shape[d] = r.ctx.grid.n[d];
    strides[d] = stride;
    stride *= r.ctx.grid.n[d];
  }
  // A view of the result's own buffer, kept alive by the result; read-only,
  // since the sections and boxes of the result are cut from it.
  py::array_t<float> a(shape, strides, r.ctx.grid.rho, self);
  a.attr("flags").attr("writeable") = false;
  return a;
}

py::object mem_value(const Result& r, double v) { return r.mem ? py::object(py::float_(v)) : py::none(); }

}  // namespace

PYBIND11_MODULE(_trovan, m) {
  m.doc() = "trovan's core: jobs run from keyword text, and their maps";
  g_error = PyErr_NewExceptionWithDoc("trovan.Error",
                                      "A stop of the run: the batch program's message (str(e)), its exit "
                                      "status (e.status) and the listing up to the stop (e.listing).",
                                      PyExc_RuntimeError, nullptr);
  m.attr("Error") = py::reinterpret_borrow<py::object>(g_error);

  py::class_<PeakView>(m, "Peak", "An independent peak of the map, as the listing gives it.")
      .def_readonly("position", &PeakView::position, "refined coordinates (fractions of the setting cell)")
      .def_readonly("height", &PeakView::height, "refined height")
      .def_readonly("multiplicity", &PeakView::multiplicity)
      .def_readonly("grid_position", &PeakView::grid_position, "coordinates of the highest grid point")
      .def_readonly("grid_value", &PeakView::grid_value, "map value at that grid point")
      .def("__repr__", [](const PeakView& p) {
        std::ostringstream s;
        s << "Peak(position=(";
        for (std::size_t i = 0; i < p.position.size(); ++i) s << (i ? ", " : "") << p.position[i];
        s << "), multiplicity=" << p.multiplicity << ", height=" << p.height << ")";
        return s.str();
      });

  py::class_<Result, std::shared_ptr<Result>>(m, "Result", "What a run leaves: the map and its peaks.")
      .def_property_readonly("density", &density_array,
                             "the map, float32, shape (n1, n2, ...): [i1, i2, ...] is the point (i1/n1, "
                             "i2/n2, ...); a read-only view of the result's own buffer")
      .def_readonly("peaks", &Result::peaks)
      .def_property_readonly(
          "warnings", [](const Result& r) { return r.job.warnings; },
          "the run's warnings in order (also in the listing and on standard error)")
      .def_readonly("listing", &Result::listing)
      .def_readonly("kind", &Result::kind)
      .def_readonly("iplot", &Result::iplot)
      .def_property_readonly("cycles",
                             [](const Result& r) { return r.mem ? py::object(py::int_(r.end.cycle)) : py::none(); })
      .def_property_readonly("c2", [](const Result& r) { return mem_value(r, r.end.c2); })
      .def_property_readonly("rfact", [](const Result& r) { return mem_value(r, r.end.rfact); })
      .def_property_readonly("rwfact", [](const Result& r) { return mem_value(r, r.end.rwfact); })
      .def_property_readonly(
          "stopped_because",
          [](const Result& r) { return r.mem ? py::object(py::str(r.stopped_because)) : py::none(); })
      .def_readonly("stopped_early", &Result::stopped_early,
                    "True when the progress callback or Ctrl-C ended the MEM iteration")
      .def(
          "write_density",
          [](const Result& r, const std::filesystem::path& path) {
            with_library([&] {
              trovan::wrtdxyz(path.string(), trovan::getabcdr(r.job.map), r.points());
              return 0;
            });
          },
          py::arg("path"), "writes the density file, as the batch program writes file2=")
      .def("section", &section, py::arg("origin"), py::arg("u"), py::arg("v"),
           py::arg("div") = std::array<int, 2>{60, 60}, py::arg("average") = true, py::arg("smooth") = 0,
           "the values of the section origin + s u + t v, 0 <= s, t <= 1, at div+1 points along each axis, "
           "as the batch program draws it: an array [s, t]")
      .def("write_box", &write_box, py::arg("prefix"), py::arg("origin"), py::arg("u"), py::arg("v"),
           py::arg("q"), py::arg("box") = std::array<double, 6>{0, 1, 0, 1, 0, 1},
           py::arg("points") = std::array<int, 3>{17, 17, 17}, py::arg("hscl") = 1.0, py::arg("average") = false, py::arg("smooth") = 0,
           "writes the box files prefix.win, prefix.rho and the CCP4 map prefix.ccp4, as the batch program "
           "writes a box; returns their names");

  m.def("run_text", &run_text, py::arg("text"), py::arg("folder"), py::arg("progress") = py::none(),
        "runs the job of the keyword text whose files are named relative to the folder");
}
