// The elevator service: the model behind one lock, a thread per attached
// listener that answers calls (attachments.h), and a main loop that
// dispatches the requests of its clients (clients.h), hands the tracers to
// tracers.h, and reads the timer that moves the car and the signals that
// end the service.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "service/attachments.h"
#include "service/connections.h"
#include "model/elevator.h"
#include "wire/notify.h"
#include "wire/framing.h"
#include "wire/service_socket.h"
#include "wire/wire.h"
#include "model/trace.h"
#include "model/trace_hub.h"
#include "service/tracers.h"
#include "wire/unique_fd.h"

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
  // What an epoll event is tagged with: these for the service's own
  // descriptors, and from kFirstSerial on the serial of a connection (a
  // client, later perhaps a tracer), never reused, so that an event left
  // over for a connection that has gone finds nothing to act on.
  enum Tag : uint64_t {
    kSocketTag = 1,
    kTimerTag,
    kSignalTag,
    kFlushTag,
    kFirstSerial = 16
  };

  bool set_up(std::string* err);
  void raise_descriptor_limit();
  bool watch(int fd, uint64_t tag);
  void on_event(uint64_t tag, uint32_t events);
  void accept_clients();
  void make_room();
  void drop_client(uint64_t serial);
  void expire_clients();
  int next_timeout();
  void serve_client(uint64_t serial);
  void attach(UniqueFd fd, Reply* reply);
  void answer_call(int listener, Notifier& notifier, const Notification& note);
  void tick();
  void sync_timer();  // with model_mutex_ held
  void add_tracer(uint64_t serial, UniqueFd fd, Reply* reply);
  void record_car(const std::vector<CarEvent>& events);  // model_mutex_ held
  Snapshot snapshot();
  void shut_down();

  std::string path_;
  ServiceOptions options_;
  Listening listening_;
  UniqueFd epoll_;
  UniqueFd timer_;
  UniqueFd signal_;
  bool done_ = false;
  bool warned_full_ = false;
  // After accept() ran out of descriptors, the socket rests until then.
  int64_t accept_resumes_ms_ = 0;

  std::mutex model_mutex_;  // guards elevator_, timer_armed_ and hub_
  Elevator elevator_;
  bool timer_armed_ = false;
  TraceHub hub_;
  // Lets calls skip the trace's work while nobody traces.
  std::atomic<bool> tracing_{false};
  std::vector<CarEvent> car_events_;  // scratch, under model_mutex_

  ConnectionTable clients_;
  Tracers tracers_;

  // Last, so that its threads end before the model they use goes.
  Attachments attachments_;
};

}  // namespace elevmod
