// The process-wide pseudo-random generator behind MIME boundaries: seeded from the clock on first
// use.
#pragma once

#include <functional>

namespace larkpost {

// A source of reals in [0, 1). Tests install one to make boundaries predictable.
using TLpRandomSource = std::function<double()>;

// The next real in [0, 1) from the installed source, or from the process-wide generator, which
// seeds itself from the clock the first time it is asked. Safe to call from any thread.
double RandomReal();

// Installs a source for every later RandomReal; an empty function restores the generator.
void SetRandomSource(TLpRandomSource source);

}  // namespace larkpost
