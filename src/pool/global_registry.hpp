// The process-wide pool, made by the first run of each process.
#pragma once

#include "pool/registry.hpp"

namespace kiv::pool {

// The pool of this process. The first call creates it, sized from the
// environment; if that fails, this call and every later one fail (as
// kiv::Failure) and creation is never tried again. A forked child gets a
// pool of its own on its first call: the parent's threads do not exist there.
Registry& global_registry();

}  // namespace kiv::pool
