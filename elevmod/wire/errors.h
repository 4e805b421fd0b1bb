// The text of an errno value, safe from any thread (strerror() is not).
#pragma once

#include <string>

namespace elevmod {

std::string errno_text(int error);

}  // namespace elevmod
