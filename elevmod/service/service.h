// The elevator service: the shared elevator (shared_elevator.h), a thread
// per attached listener that answers calls (attachments.h), and a loop that
// serves the requests of its clients (connections.h), hands the tracers to
// tracers.h, and reads the car's timer and the signals that end the service.
// Nothing a peer sent is released on the loop: the releaser (releaser.h)
// closes it.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "model/elevator.h"
#include "service/attachments.h"
#include "service/connections.h"
#include "service/event_loop.h"
#include "service/shared_elevator.h"
#include "service/tracers.h"
#include "wire/releaser.h"
#include "wire/service_socket.h"
#include "wire/unique_fd.h"
#include "wire/wire.h"

namespace elevmod {

struct ServiceOptions {
  Config config;
  uint32_t step_ms = 1000;
  // The clients' clock runs this many times as fast as the wall clock (as
  // under faketime -f '+0 xSPEED'): the car's steps are that much shorter,
  // and every time the service shows is on the clients' clock.
  uint32_t speed = 1;
};

class Service {
 public:
  // At most this many tracers at once; when a new one finds them all taken,
  // one that has left what it was sent unread this long makes room.
  static constexpr size_t kMaxTracers = 64;
  static constexpr int64_t kStaleTracerMs = 3000;

  Service(std::string socket_path, ServiceOptions options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Takes the socket, so that clients can connect as soon as this returns
  // true, and sees to the signals: those that end the service are blocked
  // (to be read by run()), the others that would end it are ignored.  *busy
  // is set when another service holds the socket.  Call before going to the
  // background.
  bool prepare(bool* busy, std::string* err);

  // Sets up the event loop and serves until unloaded or sent SIGINT,
  // SIGTERM, SIGHUP or SIGQUIT.  Call in the process that serves, after any
  // fork: the signals are read by the process that sets this up.  Returns
  // the exit status.
  int run();

 private:
  // What an event is tagged with: these for the service's own descriptors,
  // and from kFirstSerial on the serial of a connection (a client, later
  // perhaps a tracer), never reused, so that an event left over for a
  // connection that has gone finds nothing to act on.
  enum Tag : uint64_t {
    kSocketTag = 1,
    kTimerTag,
    kSignalTag,
    kFlushTag,
    kFirstSerial = 16
  };

  bool set_up(std::string* err);
  void on_event(uint64_t tag, uint32_t events);
  void accept_clients();
  // Why a new client cannot be served now (0: it can): the releaser holds
  // too much.
  int room_for_client();
  // With the releaser full: answers a new client that the service is busy
  // and keeps its connection for release_parked().  False when no more may
  // be kept.
  bool refuse_and_park(UniqueFd fd);
  bool room_to_park() const;
  // Hands what was kept to the releaser as it has room (all of it: at once).
  void release_parked(bool all);
  void pause_accepting();
  void resume_accepting();
  void make_room();
  void drop_client(uint64_t serial);
  void expire_clients();
  int next_timeout();
  // requests.cc: one client's request.
  void serve_client(uint64_t serial);
  void handle(uint64_t serial, const Request& request,
              std::vector<UniqueFd>& passed, Reply* reply);
  void attach(UniqueFd fd, Reply* reply);
  void add_tracer(uint64_t serial, UniqueFd fd, Reply* reply);
  Snapshot snapshot();
  void shut_down();

  std::string path_;
  ServiceOptions options_;
  Listening listening_;
  EventLoop loop_;
  UniqueFd signal_;
  // Held back, so that when the table is full there is one descriptor to
  // accept a client with and tell it so.
  UniqueFd spare_;
  bool done_ = false;
  bool accepting_ = false;
  bool warned_full_ = false;
  // While paused, the socket is looked at again then.
  int64_t accept_resumes_ms_ = 0;

  Releaser releaser_;
  // Connections answered while the releaser was full, for it to release.
  std::deque<UniqueFd> parked_;
  SharedElevator elevator_;
  ConnectionTable clients_;
  Tracers tracers_;
  // Last, so that its threads end before the model they use goes.
  Attachments attachments_;
};

}  // namespace elevmod
