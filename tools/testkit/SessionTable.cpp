#include "testkit/SessionTable.h"

#include <set>

namespace testkit {

bool ParseLoginText(std::string_view Payload, LoginText& Out) {
  // Trailing zero bytes are the frame's terminator, not text.
  while (!Payload.empty() && Payload.back() == '\0') Payload.remove_suffix(1);
  if (Payload.size() < 2 || Payload.front() != '#' || Payload.back() != '!') return false;
  std::string_view inner = Payload.substr(1, Payload.size() - 2);
  size_t digits = 0;
  while (digits < inner.size() && inner[digits] >= '0' && inner[digits] <= '9') ++digits;
  if (digits == 0 || digits > 9) return false;
  LoginText login;
  login.PacketIndex = std::stoi(std::string(inner.substr(0, digits)));
  login.Text = std::string(inner.substr(digits));
  if (login.Text.rfind("*#", 0) == 0) {
    std::string_view fields = std::string_view(login.Text).substr(2);
    std::string* targets[] = {&login.Account, &login.CharName, &login.UserId};
    for (std::string* target : targets) {
      const size_t slash = fields.find('/');
      *target = std::string(fields.substr(0, slash));
      if (slash == std::string_view::npos) break;
      fields.remove_prefix(slash + 1);
    }
  }
  Out = std::move(login);
  return true;
}

Session& SessionTable::Open(int Link, int32_t Slot, int32_t Handle, std::string Addr) {
  Session& s = sessions_[{Link, Handle}];
  s = Session{};
  s.Link = Link;
  s.Slot = Slot;
  s.Handle = Handle;
  s.Addr = std::move(Addr);
  return s;
}

Session& SessionTable::Touch(int Link, int32_t Slot, int32_t Handle) {
  auto it = sessions_.find({Link, Handle});
  if (it != sessions_.end()) return it->second;
  return Open(Link, Slot, Handle, "");
}

bool SessionTable::Close(int Link, int32_t Handle) {
  return sessions_.erase({Link, Handle}) > 0;
}

Session* SessionTable::Find(int Link, int32_t Handle) {
  auto it = sessions_.find({Link, Handle});
  return it == sessions_.end() ? nullptr : &it->second;
}

Session* SessionTable::FindHandle(int Link, int32_t Handle) {
  if (Link != 0) return Find(Link, Handle);
  for (auto& [key, s] : sessions_)
    if (key.second == Handle) return &s;
  return nullptr;
}

void SessionTable::DropLink(int Link) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    if (it->first.first == Link)
      it = sessions_.erase(it);
    else
      ++it;
  }
}

uint16_t SessionTable::AssignUserIndex(Session& S) {
  std::set<uint16_t> used;
  for (auto& [key, s] : sessions_)
    if (&s != &S && s.UserIndex != 0) used.insert(s.UserIndex);
  for (int tries = 0; tries < 65535; ++tries) {
    lastIndex_ = lastIndex_ == 65535 ? 1 : uint16_t(lastIndex_ + 1);
    if (!used.count(lastIndex_)) break;
  }
  S.UserIndex = lastIndex_;
  return lastIndex_;
}

std::vector<Session*> SessionTable::All() {
  std::vector<Session*> out;
  out.reserve(sessions_.size());
  for (auto& [key, s] : sessions_) out.push_back(&s);
  return out;
}

size_t SessionTable::LoggedInCount() const {
  size_t n = 0;
  for (auto& [key, s] : sessions_) n += s.LoggedIn ? 1 : 0;
  return n;
}

}  // namespace testkit
