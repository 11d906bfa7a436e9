// The map drawing: sections and boxes of the grid as the keyword input asks.
#pragma once

namespace trovan {

// Box file names (prefix + ".win", prefix + ".rho").
void setboxnames(const char* win, const char* rho);
void drwmap(int ldev);

}  // namespace trovan
