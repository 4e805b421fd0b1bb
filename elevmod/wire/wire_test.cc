#include "wire/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>

namespace elevmod {
namespace {

// A message built over memory that held `fill`, as its bytes.
template <typename T>
std::string built_over(unsigned char fill) {
  alignas(T) unsigned char memory[sizeof(T)];
  std::memset(memory, fill, sizeof memory);
  new (memory) T;
  return std::string(reinterpret_cast<const char*>(memory), sizeof memory);
}

// Built over stale memory (0xAA, as a stack may hold) or over zeros, each
// message has the same bytes: every byte sent is set by an initialiser,
// so nothing of the process's memory leaves with it.
TEST(Wire, MessagesCarryNoStaleBytes) {
  EXPECT_EQ(built_over<Request>(0xAA), built_over<Request>(0));
  EXPECT_EQ(built_over<Reply>(0xAA), built_over<Reply>(0));
  EXPECT_EQ(built_over<TraceEvent>(0xAA), built_over<TraceEvent>(0));
}

}  // namespace
}  // namespace elevmod
