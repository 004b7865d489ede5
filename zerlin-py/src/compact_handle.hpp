// Access to a CompactBbox handle's content for other parts of the module
// (an Evaluator side built from a handle shares its snapshot and columns).
#pragma once

#include "binding.hpp"

#include "zerlin/compact.hpp"

namespace zpy {

// The handle's content, or nullptr when `o` is not a CompactBbox. Valid while
// the handle lives; copy the shared pointers to keep the data longer.
const zerlin::CompactData* compact_data(PyObject* o);

}  // namespace zpy
