#include "wire/notify.h"

#include <linux/audit.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "wire/errors.h"

// Not yet in Debian 12's kernel headers.
#ifndef SECCOMP_IOCTL_NOTIF_SET_FLAGS
#define SECCOMP_IOCTL_NOTIF_SET_FLAGS SECCOMP_IOW(4, __u64)
#endif
#ifndef SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP
#define SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP (1UL << 0)
#endif

namespace elevmod {

bool notification_supported(std::string* err) {
  // Notifications fail with EOPNOTSUPP until libseccomp has probed the API.
  if (seccomp_api_get() >= 5)
    return true;
  *err = "this kernel or libseccomp lacks seccomp user notification "
         "(it needs Linux 5.0 or later with CONFIG_SECCOMP_FILTER, and "
         "libseccomp 2.5 or later)";
  return false;
}

int install_filter(UniqueFd* listener, std::string* err) {
  listener->reset();
  if (!notification_supported(err))
    return EOPNOTSUPP;
  scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
  if (!ctx) {
    *err = "seccomp_init failed";
    return ENOMEM;
  }
  // Other ABIs (i386, x32) have other numbers for these calls: leave them be.
  int rc = seccomp_attr_set(ctx, SCMP_FLTATR_ACT_BADARCH, SCMP_ACT_ALLOW);
  if (rc == 0)
    rc = seccomp_attr_set(ctx, SCMP_FLTATR_API_SYSRAWRC, 1);
  for (int nr : {kNrStart, kNrRequest, kNrStop})
    if (rc == 0)
      rc = seccomp_rule_add_exact(ctx, SCMP_ACT_NOTIFY, nr, 0);
  if (rc != 0) {
    *err = std::string("cannot build the seccomp filter: ") +
           errno_text(-rc);
    seccomp_release(ctx);
    return -rc;
  }
  errno = 0;
  rc = seccomp_load(ctx);
  if (rc != 0) {
    // libseccomp 2.5 can report a stale code here (EFAULT from its own
    // probing); the kernel's answer to the load itself is left in errno.
    if (errno != 0)
      rc = -errno;
    *err = std::string("seccomp_load: ") + errno_text(-rc);
    if (rc == -EBUSY)
      *err += " (already under a seccomp listener, e.g. inside elevmod run)";
    seccomp_release(ctx);
    return -rc;
  }
  listener->reset(seccomp_notify_fd(ctx));
  seccomp_release(ctx);
  if (!*listener) {
    *err = "seccomp_notify_fd: no listener";
    return EIO;
  }
  return 0;
}

Notifier::Notifier() {
  // The kernel may grow these structures; size the buffers as it says.
  seccomp_notif_sizes sizes{};
  request_size_ = sizeof(seccomp_notif);
  size_t response_size = sizeof(seccomp_notif_resp);
  if (syscall(SYS_seccomp, SECCOMP_GET_NOTIF_SIZES, 0, &sizes) == 0) {
    if (sizes.seccomp_notif > request_size_)
      request_size_ = sizes.seccomp_notif;
    if (sizes.seccomp_notif_resp > response_size)
      response_size = sizes.seccomp_notif_resp;
  }
  request_ = std::calloc(1, request_size_);
  response_ = std::calloc(1, response_size);
}

Notifier::~Notifier() {
  std::free(request_);
  std::free(response_);
}

bool is_seccomp_listener(int fd) {
  char link[64];
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  ssize_t n = readlink(proc.c_str(), link, sizeof link - 1);
  if (n < 0)
    return false;
  link[n] = '\0';
  return std::strcmp(link, "anon_inode:seccomp notify") == 0;
}

bool Notifier::usable(std::string* err) const {
  if (!request_ || !response_) {
    *err = "out of memory";
    return false;
  }
  return notification_supported(err);
}

int Notifier::receive(int listener, Notification* out) {
  auto* req = static_cast<seccomp_notif*>(request_);
  // The kernel refuses a receive buffer that is not zeroed.
  std::memset(req, 0, request_size_);
  errno = 0;
  if (seccomp_notify_receive(listener, req) != 0)
    return errno ? errno : ECANCELED;  // libseccomp flattens to -ECANCELED
  out->id = req->id;
  out->pid = req->pid;
  out->call.nr = req->data.nr;
  out->ours = req->data.arch == AUDIT_ARCH_X86_64 &&
              (req->data.nr == kNrStart || req->data.nr == kNrRequest ||
               req->data.nr == kNrStop);
  for (int i = 0; i < 3; ++i)
    out->call.args[i] = static_cast<int32_t>(req->data.args[i]);
  return 0;
}

int Notifier::respond(int listener, uint64_t id, int64_t value, int error) {
  auto* resp = static_cast<seccomp_notif_resp*>(response_);
  std::memset(resp, 0, sizeof *resp);
  resp->id = id;
  resp->val = error ? 0 : value;
  resp->error = error ? -error : 0;
  errno = 0;
  if (seccomp_notify_respond(listener, resp) != 0)
    return errno ? errno : ECANCELED;
  return 0;
}

bool listener_hung_up(int listener) {
  pollfd p{listener, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

bool set_sync_wakeup(int listener) {
  // EINVAL on kernels before 6.6, which simply lack the flag.
  return ioctl(listener, SECCOMP_IOCTL_NOTIF_SET_FLAGS,
               SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP) == 0;
}

}  // namespace elevmod
