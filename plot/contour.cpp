#include "plot/contour.hpp"

#include <array>
#include <cmath>
#include <unordered_map>

namespace trovan {

namespace {

struct Segment {
  long long edge[2];
  float x[2], y[2];
};

}  // namespace

std::vector<ContourLine> contourlines(const float* v, int nx, int ny, double level) {
  std::vector<ContourLine> lines;
  if (nx < 2 || ny < 2) return lines;
  auto val = [&](int i, int j) { return static_cast<double>(v[static_cast<long long>(j) * nx + i]); };
  auto above = [&](double a) { return a > level; };  // NaN is below

  // Edge ids: the edge from (i, j) to (i+1, j) is 2*(i + nx*j), the edge
  // from (i, j) to (i, j+1) is 2*(i + nx*j) + 1. Neighbouring squares
  // compute the same crossing point on a shared edge from the same values.
  std::vector<Segment> segs;
  for (int j = 0; j + 1 < ny; ++j)
    for (int i = 0; i + 1 < nx; ++i) {
      // Corners counter-clockwise from the lower left.
      const int ci[4] = {i, i + 1, i + 1, i};
      const int cj[4] = {j, j, j + 1, j + 1};
      double c[4];
      bool up[4];
      int nup = 0;
      for (int k = 0; k < 4; ++k) {
        c[k] = val(ci[k], cj[k]);
        up[k] = above(c[k]);
        nup += up[k];
      }
      if (nup == 0 || nup == 4) continue;
      // Edges e0 bottom (c0-c1), e1 right (c1-c2), e2 top (c3-c2), e3 left
      // (c0-c3): which corners, and the edge id.
      const int ea[4] = {0, 1, 3, 0}, eb[4] = {1, 2, 2, 3};
      const long long base = 2LL * (static_cast<long long>(j) * nx + i);
      const long long eid[4] = {base, 2LL * (static_cast<long long>(j) * nx + i + 1) + 1,
                                2LL * (static_cast<long long>(j + 1) * nx + i), base + 1};
      bool cut[4];
      float px[4] = {}, py[4] = {};
      for (int e = 0; e < 4; ++e) {
        const int a = ea[e], b = eb[e];
        cut[e] = up[a] != up[b];
        if (!cut[e]) continue;
        double f = (level - c[a]) / (c[b] - c[a]);
        if (!(f >= 0)) f = 0;  // a NaN corner: the cut sits on the other corner
        if (f > 1) f = 1;
        if (!std::isfinite(c[a])) f = 0;
        if (!std::isfinite(c[b])) f = 1;
        px[e] = static_cast<float>(ci[a] + f * (ci[b] - ci[a]));
        py[e] = static_cast<float>(cj[a] + f * (cj[b] - cj[a]));
      }
      auto add = [&](int e1, int e2) {
        segs.push_back(Segment{{eid[e1], eid[e2]}, {px[e1], px[e2]}, {py[e1], py[e2]}});
      };
      int ncut = 0, list[4];
      for (int e = 0; e < 4; ++e)
        if (cut[e]) list[ncut++] = e;
      if (ncut == 2) {
        add(list[0], list[1]);
      } else {
        // A saddle: c0 and c2 on one side, c1 and c3 on the other. When the
        // centre is on c0's side, c0 and c2 connect through the square and
        // the lines cut off c1 (e0-e1) and c3 (e2-e3); otherwise they cut
        // off c0 (e3-e0) and c2 (e1-e2).
        const double centre = 0.25 * (c[0] + c[1] + c[2] + c[3]);
        if (above(centre) == up[0]) {
          add(0, 1);
          add(2, 3);
        } else {
          add(3, 0);
          add(1, 2);
        }
      }
    }

  // Join the pieces: every crossed edge is shared by at most two pieces.
  std::unordered_map<long long, std::array<int, 2>> at_edge;
  at_edge.reserve(segs.size() * 2);
  for (int s = 0; s < static_cast<int>(segs.size()); ++s)
    for (int e = 0; e < 2; ++e) {
      auto it = at_edge.find(segs[s].edge[e]);
      if (it == at_edge.end()) at_edge.emplace(segs[s].edge[e], std::array<int, 2>{2 * s + e, -1});
      else it->second[1] = 2 * s + e;
    }
  std::vector<char> used(segs.size(), 0);
  auto trace = [&](int s, int end) {
    ContourLine ln;
    const long long first = segs[s].edge[end];
    ln.x.push_back(segs[s].x[end]);
    ln.y.push_back(segs[s].y[end]);
    long long last = first;
    while (true) {
      used[s] = 1;
      const int other = 1 - end;
      ln.x.push_back(segs[s].x[other]);
      ln.y.push_back(segs[s].y[other]);
      last = segs[s].edge[other];
      const auto& pair = at_edge.at(last);
      const int me = 2 * s + other;
      const int next = pair[0] == me ? pair[1] : pair[0];
      if (next < 0 || used[next / 2]) break;
      s = next / 2;
      end = next % 2;
    }
    ln.closed = last == first && ln.x.size() > 2;
    lines.push_back(std::move(ln));
  };
  // Open lines first, from an end on the border of the section; what is
  // left are closed loops.
  for (int s = 0; s < static_cast<int>(segs.size()); ++s)
    for (int e = 0; e < 2 && !used[s]; ++e)
      if (at_edge.at(segs[s].edge[e])[1] < 0) trace(s, e);
  for (int s = 0; s < static_cast<int>(segs.size()); ++s)
    if (!used[s]) trace(s, 0);
  return lines;
}

std::vector<double> contourlevels(double vmax, double hmin, int lf) {
  std::vector<double> lv;
  if (lf < 1 || !(vmax > 0)) return lv;
  const double step = (1 - hmin) * vmax / lf;
  for (int k = 0; k < lf; ++k) lv.push_back(hmin * vmax + k * step);
  return lv;
}

}  // namespace trovan
