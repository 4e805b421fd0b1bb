#include "service/connections.h"

namespace elevmod {

uint64_t ConnectionTable::add(UniqueFd fd, int refusal, int64_t now_ms) {
  uint64_t serial = take_serial();
  Client& client = clients_[serial];
  client.fd = std::move(fd);
  client.refusal = refusal;
  client.deadline_ms = now_ms + idle_ms_;
  return serial;
}

ConnectionTable::Client* ConnectionTable::find(uint64_t serial) {
  auto it = clients_.find(serial);
  return it == clients_.end() ? nullptr : &it->second;
}

UniqueFd ConnectionTable::remove(uint64_t serial) {
  auto it = clients_.find(serial);
  if (it == clients_.end())
    return UniqueFd();
  UniqueFd fd = std::move(it->second.fd);
  clients_.erase(it);
  return fd;
}

std::vector<uint64_t> ConnectionTable::oldest_first() const {
  std::vector<uint64_t> out;
  out.reserve(clients_.size());
  for (const auto& [serial, client] : clients_)
    out.push_back(serial);
  return out;
}

std::vector<uint64_t> ConnectionTable::expired(int64_t now_ms) const {
  std::vector<uint64_t> out;
  for (const auto& [serial, client] : clients_) {
    if (client.deadline_ms > now_ms)
      break;
    out.push_back(serial);
  }
  return out;
}

int ConnectionTable::next_timeout_ms(int64_t now_ms) const {
  if (clients_.empty())
    return -1;
  int64_t wait = clients_.begin()->second.deadline_ms - now_ms;
  return wait < 0 ? 0 : static_cast<int>(wait) + 1;
}

}  // namespace elevmod
