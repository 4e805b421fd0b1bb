// The elevator module's three system calls on x86-64: one place for the
// library that makes them, the stand-in service that answers them and the
// bench's guest programs.  Not part of the library's interface.
#ifndef CABGATE_CALLS_H
#define CABGATE_CALLS_H

namespace cabgate {

inline constexpr int kStartCall = 323;
inline constexpr int kRequestCall = 324;
inline constexpr int kStopCall = 325;

}  // namespace cabgate

#endif
