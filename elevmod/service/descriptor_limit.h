// How many descriptors the service may spend on attached listeners.
#pragma once

#include <cstddef>
#include <string>

namespace elevmod {

// Raises this process's soft limit on open descriptors to its hard limit
// (each attached process tree holds one), and returns the room it leaves
// for listeners once `reserved` are kept for everything else.  When the
// limit cannot be read or raised, *warning says so and the limit as it
// stands counts.
size_t listener_room(size_t reserved, std::string* warning);

}  // namespace elevmod
