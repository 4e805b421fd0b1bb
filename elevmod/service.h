// The elevator service: the model behind one lock, a thread per attached
// listener that answers calls (see attachments.h), and a main loop over the
// socket, its clients, the timer that moves the car and the signals that end
// the service.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "attachments.h"
#include "elevator.h"
#include "notify.h"
#include "protocol.h"
#include "trace.h"

namespace elevmod {

struct ServiceOptions {
  Config config;
  uint32_t step_ms = 1000;
};

class Service {
 public:
  Service(std::string socket_path, ServiceOptions options);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Takes the socket, so that clients can connect as soon as this returns
  // true, and blocks the signals that end the service.  *busy is set when
  // another service holds the socket.  Call before going to the background.
  bool prepare(bool* busy, std::string* err);

  // Sets up the event loop and serves until unloaded or sent SIGINT, SIGTERM
  // or SIGHUP.  Call in the process that serves, after any fork: the signals
  // are read by the process that sets this up.  Returns the exit status.
  int run();

 private:
  enum class Kind : uint32_t { socket, client, timer, signal, tracer, flush };

  struct Client {
    bool allowed;     // the peer is this service's user or root
    uint64_t serial;  // tells a reused descriptor from the one that timed out
  };
  struct Deadline {
    int64_t at_ms;
    int fd;
    uint64_t serial;
  };
  // A connection that follows the trace.  Events wait in `pending` (under
  // model_mutex_) until the loop moves them to `unsent` and sends them; a
  // tracer that does not keep up loses what does not fit, and is told.
  struct Tracer {
    std::vector<TraceEvent> pending;
    uint64_t lost = 0;
    std::vector<TraceEvent> unsent;  // the loop's alone
    size_t sent = 0;                 // how much of unsent has gone out
    size_t room = 0;                 // the connection's send buffer
  };

  bool set_up(std::string* err);
  void raise_descriptor_limit();
  bool watch(int fd, Kind kind);
  void drop_client(int fd);
  void accept_clients();
  void expire_clients();
  // True while the client that `deadline` was set for still waits to send.
  bool waiting(const Deadline& deadline) const;
  int next_timeout();
  void serve_client(int fd);
  void attach(int fd, Reply* reply);
  void answer_call(int listener, Notifier& notifier, const Notification& note);
  void tick();
  void sync_timer();  // with model_mutex_ held
  void add_tracer(int fd, Reply* reply);
  void record(const TraceEvent& event);  // with model_mutex_ held
  void record_car(const std::vector<CarEvent>& events);  // likewise
  void flush_tracers();
  bool send_unsent(int fd, Tracer& tracer);
  void drop_tracer(int fd);
  // Events that wait for some tracer, a lost count counting as one.
  size_t unsent_events() const;
  // Waits up to timeout_ms for room at a tracer that is behind; false when
  // none is behind or the time is up.
  bool poll_tracers_behind(int64_t timeout_ms);
  Snapshot snapshot();
  void shut_down();

  std::string path_;
  ServiceOptions options_;
  Listening listening_;
  int epoll_fd_ = -1;
  int timer_fd_ = -1;
  int signal_fd_ = -1;
  int flush_fd_ = -1;  // a timer that sends the tracers what waits
  bool done_ = false;
  bool warned_full_ = false;

  std::mutex model_mutex_;  // guards elevator_ and timer_armed_
  Elevator elevator_;
  bool timer_armed_ = false;

  // Tracers by connection; the map changes only on the loop's thread, and
  // then under model_mutex_.  tracing_ lets calls skip the lock's work for
  // them when there are none.
  std::unordered_map<int, Tracer> tracers_;
  std::atomic<bool> tracing_{false};
  std::vector<CarEvent> car_events_;  // scratch, under model_mutex_

  // Open client connections, oldest first in deadlines_.
  std::unordered_map<int, Client> clients_;
  std::deque<Deadline> deadlines_;
  uint64_t next_serial_ = 0;

  // Last, so that its threads end before the model they use goes.
  Attachments attachments_;
};

}  // namespace elevmod
