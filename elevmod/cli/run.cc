#include "cli/run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "model/elevator.h"
#include "wire/notify.h"
#include "wire/service_client.h"
#include "cli/detach.h"
#include "cli/exit_status.h"
#include "wire/framing.h"
#include "wire/socket_path.h"
#include "wire/unique_fd.h"

namespace elevmod {

namespace {

bool has_replies(const RunOptions& options) {
  for (const auto& reply : options.replies)
    if (reply)
      return true;
  return false;
}

// The answering side of --reply.  It runs outside the filter, so the
// listener hangs up once the command and all its children are gone.
// detach() keeps it answering when a terminal's ^C reaches the command.
[[noreturn]] void answer_fixed(int channel, const RunOptions& options) {
  int listener = -1;
  bool truncated = false;
  char byte;
  if (receive_message(channel, &byte, 1, &listener, &truncated) <= 0 ||
      listener < 0)
    _exit(0);
  close(channel);
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
    *err = std::string("socketpair: ") + std::strerror(errno);
    return UniqueFd();
  }
  UniqueFd ours(ends[0]), theirs(ends[1]);
  int helper_end = theirs.get(), our_end = ours.get();
  if (!detach([&options, helper_end, our_end] {
        close(our_end);  // so that the helper sees us hang up
        answer_fixed(helper_end, options);
        return 0;
      })) {
    *err = std::string("fork: ") + std::strerror(errno);
    return UniqueFd();
  }
  return ours;
}

}  // namespace

int run_command(const RunOptions& options, std::string* err) {
  // Hold closed standard descriptors with /dev/null, so that nothing of
  // ours lands on them (libseccomp takes a listener on fd 0 for none), and
  // close them again for the command.
  bool was_closed[3] = {false, false, false};
  for (int fd = 0; fd < 3; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      was_closed[fd] = true;
      int null_fd = open("/dev/null", O_RDWR);
      if (null_fd != fd) {
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

  int listener_fd = -1;
  int rc = install_filter(&listener_fd, err);
  // With no service loaded, the closed listener makes the three calls fail
  // with ENOSYS, as on a kernel without the module.
  UniqueFd listener(listener_fd);
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
    channel.reset();
    listener.reset();
    if (!sent) {
      *err = std::string("cannot hand the listener to the --reply helper: ") +
             std::strerror(errno);
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
    if (asked == EMFILE || asked == EAGAIN)
      why = "the service on " + path + " has no room for another process "
            "tree (" + std::strerror(asked) + ")";
    // A service that went away while we asked it is no service either.
    if (asked != 0 && asked != ENOENT && asked != ECONNREFUSED &&
        asked != ECONNRESET && asked != EPIPE) {
      *err = "cannot attach: " + why;
      return kRunFailed;
    }
  }

  for (int fd = 0; fd < 3; ++fd)
    if (was_closed[fd])
      close(fd);
  execvp(options.command[0], options.command);
  int saved = errno;
  *err = std::string("cannot run ") + options.command[0] + ": " +
         std::strerror(saved);
  return saved == ENOENT || saved == ENOTDIR ? kNotFound : kCannotExecute;
}

}  // namespace elevmod
