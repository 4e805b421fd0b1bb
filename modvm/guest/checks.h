// modcheck's checks of an elevator module, in the order they run.
#ifndef MODVM_GUEST_CHECKS_H_
#define MODVM_GUEST_CHECKS_H_

#include <vector>

#include "harness.h"

namespace modcheck {

struct Entry {
  const char* name;
  void (*run)(Check&);
  double seconds;  // what it may take beyond its storms
};

const std::vector<Entry>& all_checks();

}  // namespace modcheck

#endif  // MODVM_GUEST_CHECKS_H_
