// The owning, reference-counted handle shared between the registry's entries
// and the tasks: the last holder destroys the object.
#pragma once

#include <memory>

template <class T>
using shared_pointer = std::shared_ptr<T>;
