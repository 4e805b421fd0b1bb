// The service's client connections from accept to their one request.  Each
// has a deadline to send it by, and at most `capacity` wait at once.  Known
// by a serial that is never reused, so an event or a deadline meant for a
// connection that has gone never acts on a later one.  Takes the time as an
// argument: no clock here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "wire/unique_fd.h"

namespace elevmod {

class ConnectionTable {
 public:
  struct Client {
    UniqueFd fd;
    // 0 to serve its request; else the errno it is answered with (EPERM:
    // a peer of another user; EAGAIN, EMFILE: the service has no room).
    int refusal = 0;
    int64_t deadline_ms = 0;
  };

  ConnectionTable(size_t capacity, int64_t idle_ms)
      : capacity_(capacity), idle_ms_(idle_ms) {}

  // Takes a connection accepted at `now_ms`, to be answered with `refusal`
  // unless it is 0; returns its serial, which `first_serial` and up number.
  uint64_t add(UniqueFd fd, int refusal, int64_t now_ms);
  Client* find(uint64_t serial);
  // Gives the connection up (its fd to the caller); empty if unknown.
  UniqueFd remove(uint64_t serial);

  size_t size() const { return clients_.size(); }
  bool full() const { return clients_.size() >= capacity_; }

  // Serials, oldest first (the first to have had to send).
  std::vector<uint64_t> oldest_first() const;
  // Serials whose time to send is up at `now_ms`, oldest first.
  std::vector<uint64_t> expired(int64_t now_ms) const;
  // Milliseconds until the next deadline, -1 with none.
  int next_timeout_ms(int64_t now_ms) const;

  void set_first_serial(uint64_t serial) { next_serial_ = serial; }
  // Serials are shared with the service's other objects (the tracers).
  uint64_t take_serial() { return next_serial_++; }

 private:
  size_t capacity_;
  int64_t idle_ms_;
  uint64_t next_serial_ = 1;
  // By serial, which is also the order of their deadlines.
  std::map<uint64_t, Client> clients_;
};

}  // namespace elevmod
