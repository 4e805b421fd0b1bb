#include "cli/run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/detach.h"
#include "cli/exit_status.h"
#include "model/elevator.h"
#include "wire/errors.h"
#include "wire/framing.h"
#include "wire/notify.h"
#include "wire/service_client.h"
#include "wire/socket_path.h"
#include "wire/unique_fd.h"

namespace elevmod {

namespace {

// Whether the user named the socket (--socket, $ELEVMOD_SOCKET) rather than
// leaving it to the default.
bool socket_named(const RunOptions& options) {
  const char* env = std::getenv("ELEVMOD_SOCKET");
  return !options.socket.empty() || (env && *env);
}

bool has_replies(const RunOptions& options) {
  for (const auto& reply : options.replies)
    if (reply)
      return true;
  return false;
}

// The answering side of --reply.  It runs outside the filter, so the
// listener hangs up once the command and all its children are gone.
// detach() keeps it answering when a terminal's ^C reaches the command.
[[noreturn]] void answer_fixed(UniqueFd channel, const RunOptions& options) {
  UniqueFd owned;
  bool truncated = false;
  char byte;
  if (receive_message(channel.get(), &byte, 1, &owned, &truncated) <= 0 ||
      !owned)
    _exit(0);
  channel.reset();
  int listener = owned.get();
  Notifier notifier;
  std::string err;
  if (!notifier.usable(&err))
    _exit(1);
  set_sync_wakeup(listener);
  for (;;) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) {
      if (errno == EINTR)
        continue;
      _exit(1);
    }
    if (!(p.revents & POLLIN))
      _exit(0);
    Notification note;
    if (notifier.receive(listener, &note) != 0)
      continue;
    int index = note.call.nr - kNrStart;
    if (note.ours && options.replies[index])
      notifier.respond(listener, note.id, *options.replies[index], 0);
    else
      notifier.respond(listener, note.id, 0, ENOSYS);
  }
}

// Starts the --reply helper as a grandchild, so that the command never sees
// a child it did not start.  Returns our end of the channel that carries the
// listener to it, or none.
UniqueFd start_helper(const RunOptions& options, std::string* err) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    *err = std::string("socketpair: ") + errno_text(errno);
    return UniqueFd();
  }
  UniqueFd ours(ends[0]), theirs(ends[1]);
  if (!detach([&options, &ours, &theirs] {
        ours.reset();  // so that the helper sees us hang up
        answer_fixed(std::move(theirs), options);
        return 0;
      })) {
    *err = std::string("fork: ") + errno_text(errno);
    return UniqueFd();
  }
  return ours;
}

}  // namespace

int run_command(const RunOptions& options, std::string* err) {
  // Hold closed standard descriptors with /dev/null, so that nothing of
  // ours lands on them (libseccomp takes a listener on fd 0 for none), and
  // close them again for the command.
  UniqueFd placeholders[3];
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      placeholders[fd].reset(open("/dev/null", O_RDWR));
      if (placeholders[fd].get() != fd) {
        *err = "cannot hold closed descriptor " + std::to_string(fd);
        return kRunFailed;
      }
    }
  }

  bool fixed = has_replies(options);
  UniqueFd channel;
  std::string path;
  if (fixed) {
    channel = start_helper(options, err);
    if (!channel)
      return kRunFailed;
  } else if (!resolve_socket_path(options.socket, false, &path, err)) {
    return kRunFailed;
  }

  // With no service loaded, the closed listener makes the three calls fail
  // with ENOSYS, as on a kernel without the module.
  UniqueFd listener;
  int rc = install_filter(&listener, err);
  if (rc == EBUSY && !fixed) {
    // Already under an elevmod run: the outer one answers for us.
  } else if (rc != 0) {
    if (rc == EBUSY)
      *err = "--reply cannot attach: this process already runs under "
             "elevmod run (one listener per process tree)";
    return kRunFailed;
  } else if (fixed) {
    char byte = 0;
    bool sent = send_message(channel.get(), &byte, 1, listener.get());
    int send_error = errno;
    channel.reset();
    listener.reset();
    if (!sent) {
      *err = "cannot hand the listener to the --reply helper: " +
             errno_text(send_error);
      return kRunFailed;
    }
  } else {
    Reply reply;
    std::string why;
    int asked = ask_service(path, Verb::attach, listener.get(), &reply, &why);
    listener.reset();
    if (asked == EACCES) {
      *err = why;
      return kRunFailed;
    }
    if (asked == EMFILE)
      why = "the service on " + path + " has no room for another process "
            "tree (" + errno_text(asked) + ")";
    // No service: the command runs without one, as on a kernel without the
    // module.  A service that is there but refuses, hangs up or does not
    // answer is a failure: running unattached would look like success.
    if (asked != 0 && !no_service(asked)) {
      *err = "cannot attach: " + why;
      return kRunFailed;
    }
    if (asked != 0 && socket_named(options))
      std::fprintf(stderr,
                   "elevmod: run: no service is loaded on %s; %s runs "
                   "without one (its calls fail with -1)\n",
                   path.c_str(), options.command[0]);
  }

  for (UniqueFd& placeholder : placeholders)
    placeholder.reset();
  execvp(options.command[0], options.command);
  int saved = errno;
  *err = std::string("cannot run ") + options.command[0] + ": " +
         errno_text(saved);
  return saved == ENOENT || saved == ENOTDIR ? kNotFound : kCannotExecute;
}

}  // namespace elevmod
