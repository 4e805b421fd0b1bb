#include "service/service.h"

#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "service/clock.h"
#include "service/log.h"
#include "wire/errors.h"
#include "wire/framing.h"
#include "wire/notify.h"

// Serving one client's request: what it may carry, what it is answered.
// The loop, accepting and the service's life are in service.cc.

namespace elevmod {

void Service::serve_client(uint64_t serial) {
  ConnectionTable::Client* client = clients_.find(serial);
  if (!client)
    return;
  int fd = client->fd.get();
  Reply reply;
  if (client->refusal != 0) {
    // Nothing of it is read: its request, and whatever came with it, go
    // with the connection.
    reply.error = client->refusal;
    send(fd, &reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL);
    drop_client(serial);
    return;
  }
  // A peek copies the descriptors that came; the kernel releases its own
  // references when the message is taken, and never the last one: the
  // copies hold each.  Only a message with more than fit is not taken here:
  // it goes, unread, with its connection.
  Request request;
  std::vector<UniqueFd> passed;
  bool more = false;
  ssize_t n = peek_message(fd, &request, sizeof request, &passed, &more);
  if (n < 0 && (errno == EAGAIN || errno == EINTR))
    return;  // nothing there after all
  if (n <= 0) {
    drop_client(serial);  // EOF or a broken connection: nothing to say
    return;
  }
  if (more && passed.size() < kMaxPassedFds) {
    // Not for want of room in the message: our table is full.
    warn("descriptor table full: refusing a request that carries one");
    reply.error = EMFILE;
  } else if (more) {
    warn("refused a request that carried more than %zu descriptors",
         kMaxPassedFds);
    reply.error = EINVAL;
  } else if (!discard_message(fd)) {
    reply.error = EPROTO;
  } else if (n != sizeof request || request.magic != kMagic) {
    warn("ignored a malformed request of %zd bytes", n);
    reply.error = EPROTO;
  } else {
    handle(serial, request, passed, &reply);
    if (!clients_.find(serial))
      return;  // a tracer now, answered by add_tracer()
  }
  releaser_.release(std::move(passed));
  // Non-blocking: a client that never reads cannot hold the loop.
  send(fd, &reply, sizeof reply, MSG_DONTWAIT | MSG_NOSIGNAL);
  drop_client(serial);
}

void Service::handle(uint64_t serial, const Request& request,
                     std::vector<UniqueFd>& passed, Reply* reply) {
  if (request.verb == Verb::attach) {
    if (passed.size() != 1 || !is_seccomp_listener(passed.front().get())) {
      warn("refused an attach without a seccomp listener");
      reply->error = EINVAL;
    } else {
      attach(std::move(passed.front()), reply);
    }
  } else if (!passed.empty()) {
    warn("refused a request that carried descriptors");
    reply->error = EINVAL;
  } else if (request.verb == Verb::status) {
    reply->snapshot = snapshot();
  } else if (request.verb == Verb::trace) {
    add_tracer(serial, clients_.remove(serial), reply);
  } else if (request.verb == Verb::unload) {
    // Detach everyone before saying so: once unload returns, the three calls
    // fail for every attached process, and the figures are final.
    shut_down();
    reply->snapshot = snapshot();
  } else {
    warn("ignored a request with unknown verb %u",
         static_cast<uint32_t>(request.verb));
    reply->error = EPROTO;
  }
}

void Service::attach(UniqueFd fd, Reply* reply) {
  int rc = attachments_.add(std::move(fd));
  if (rc == EEXIST) {
    warn("refused a listener that is attached already");
  } else if (rc == EMFILE && !warned_full_) {
    warned_full_ = true;
    warn("descriptor limit reached with %zu processes attached: refusing "
         "further attaches (raise the hard limit, ulimit -Hn)",
         attachments_.count());
  } else if (rc != 0 && rc != EMFILE) {
    warn("cannot serve a listener: %s", errno_text(rc).c_str());
  }
  reply->error = rc;
}

Snapshot Service::snapshot() {
  Snapshot s = elevator_.snapshot();
  s.listeners = static_cast<uint32_t>(attachments_.count());
  s.tracers = static_cast<uint32_t>(tracers_.count());
  return s;
}

void Service::add_tracer(uint64_t serial, UniqueFd fd, Reply* reply) {
  if (!fd)
    return;
  if (tracers_.count() >= kMaxTracers &&
      !tracers_.evict_stalest(monotonic_ms(), kStaleTracerMs)) {
    warn("refused a tracer: %zu are tracing already", tracers_.count());
    reply->error = EBUSY;
  } else {
    reply->snapshot = snapshot();
  }
  bool sent = send(fd.get(), reply, sizeof *reply,
                   MSG_DONTWAIT | MSG_NOSIGNAL) ==
              static_cast<ssize_t>(sizeof *reply);
  if (!sent || reply->error != 0) {
    loop_.forget(fd.get());
    releaser_.release_connection(std::move(fd));
    return;
  }
  tracers_.add(serial, std::move(fd));  // same serial, so its tag stays
}

}  // namespace elevmod
