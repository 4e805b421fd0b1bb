#include "wire/errors.h"

#include <string.h>

namespace elevmod {

std::string errno_text(int error) {
  char buffer[128];
  // GNU strerror_r: the text, in `buffer` or a static string.
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace elevmod
