// The module's callables, in the order initialisation creates them.
#pragma once

#include "signature.hpp"

namespace clipweave {

const Signature* callables_begin();
const Signature* callables_end();

}  // namespace clipweave
