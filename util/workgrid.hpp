// The complex work grid: real parts of 2^24 entries followed by imaginary
// parts of 2^24 entries. Entry j of both halves is the coefficient (or the
// density) at grid index j. Static zero storage: only the first nt entries
// of each half are ever touched, so a small run costs no more memory.
#pragma once

namespace trovan {

constexpr int kGridMax = 16777216;

float* getabcdr();  // real half, kGridMax entries
float* getabcdi();  // imaginary half, kGridMax entries

// Asks for a large static table to be backed by 2 MiB pages where the
// system allows it (Linux, transparent huge pages in "madvise" mode): a run
// on a 2^24-point grid then takes a few hundred page faults instead of a
// hundred thousand, and the walks over the grid miss the address cache far
// less. Only pages a run touches are ever allocated either way.
void usehugepages(void* table, unsigned long long bytes);

// Both halves back to zero, as at the start of the program.
void resetworkgrid();

}  // namespace trovan
