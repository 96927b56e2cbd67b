#include "gamesim/LoadDriver.h"

#include <chrono>
#include <cstddef>
#include <cstring>
#include <vector>

#include "gamesim/LoadProtocol.h"
#include "testkit/GateCodec.h"

namespace gamesim {

namespace {

constexpr auto kLoadTick = std::chrono::milliseconds(2);

uint64_t NowUs() {
  return uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count());
}

}  // namespace

LoadDriver::LoadDriver(boost::asio::io_context& Io, const Links& LinkMap, SessionTable& Sessions,
                       std::function<void(int LinkId)> OnFull)
    : links_(LinkMap), sessions_(Sessions), onFull_(std::move(OnFull)), timer_(Io) {}

void LoadDriver::Start(const LoadSpec& Spec) {
  timer_.cancel();
  spec_ = Spec;
  frames_ = std::make_unique<LoadFrames>(Spec);
  picker_ = std::make_unique<KindPicker>(Spec.Mix);
  const uint64_t now = NowUs();
  user_.Start(Spec.UserRate, now);
  heavy_.Start(Spec.HeavyRate, now);
  broadcast_.Start(Spec.BroadcastRate, now);
  ref_.Start(Spec.RefRate, now);
  if (Spec.Active()) Arm();
}

void LoadDriver::Stop() {
  stopped_ = true;
  timer_.cancel();
}

void LoadDriver::Arm() {
  timer_.expires_after(kLoadTick);
  timer_.async_wait([this](boost::system::error_code ec) {
    if (ec || stopped_) return;
    Tick();
    Arm();
  });
}

void LoadDriver::Tick() {
  const uint64_t now = NowUs();
  const size_t cap = spec_.MaxLinkQueue;
  auto linkOpen = [&](int id) -> GateLink* {
    auto it = links_.find(id);
    if (it == links_.end() || it->second->Queued() > cap) return nullptr;
    return it->second.get();
  };

  std::vector<Session*> all;
  if (spec_.UserRate > 0 || spec_.HeavyRate > 0) {
    for (Session* s : sessions_.All())
      if (s->LoggedIn) all.push_back(s);
  }
  auto sendUser = [&](Session& s, LoadKind kind, uint64_t& sent) {
    GateLink* link = linkOpen(s.Link);
    if (!link) {
      ++skipped_;
      return;
    }
    frames_->AppendUser(link->Pending(), kind, s.Slot, s.Handle, s.UserIndex, ++s.LoadSeq);
    ++sent;
    ++sentByKind_[size_t(kind)];
  };

  if (uint64_t due = user_.Take(now)) {
    if (all.empty()) {
      skipped_ += due;
    } else {
      for (; due > 0; --due) {
        if (nextUser_ >= all.size()) nextUser_ = 0;
        sendUser(*all[nextUser_++], picker_->Next(), sentUser_);
      }
    }
  }
  if (uint64_t due = heavy_.Take(now)) {
    // The rate is per heavy session: each of them gets `due` messages.
    for (Session* s : all) {
      if (s->Account.compare(0, loadproto::kHeavyAccountPrefix.size(),
                             loadproto::kHeavyAccountPrefix) != 0)
        continue;
      // Text lines: the gateway does not compress them, so they fill queues.
      for (uint64_t i = 0; i < due; ++i) sendUser(*s, LoadKind::Text, sentHeavy_);
    }
  }
  if (uint64_t due = broadcast_.Take(now)) {
    for (; due > 0; --due) {
      ++broadcastSeq_;
      for (auto& [id, link] : links_) {
        if (link->Queued() > cap) {
          ++skipped_;
          continue;
        }
        frames_->AppendBroadcast(link->Pending(), broadcastSeq_);
        ++sentBroadcast_;
      }
    }
  }
  if (uint64_t due = ref_.Take(now)) {
    std::map<int, std::string> lists;
    for (Session* s : sessions_.All()) {
      if (!s->LoggedIn) continue;
      std::string& list = lists[s->Link];
      if (!list.empty()) list.push_back('/');
      list += std::to_string(s->Slot);
    }
    for (; due > 0; --due) {
      ++refSeq_;
      for (auto& [id, list] : lists) {
        GateLink* link = linkOpen(id);
        if (!link) {
          ++skipped_;
          continue;
        }
        LoadFrames::AppendRefMsg(link->Pending(), refSeq_, list);
        ++sentRef_;
      }
    }
  }

  std::vector<int> full;
  for (auto& [id, link] : links_)
    if (!link->FlushPending()) full.push_back(id);
  for (int id : full) onFull_(id);
}

void LoadDriver::Echo(GateLink& Link, const TMsgHeader& H, const std::string& Payload) {
  std::string& out = Link.Pending();
  const size_t at = out.size();
  // The gateway's GM_H5DATA payload (header, body, zero) is already a GM_DATA payload.
  out += BuildFrame(GM_DATA, H.nSocket, H.wGSocketIdx, H.wUserListIndex, Payload);
  const int32_t reply = loadproto::kEchoReplyIdent;
  std::memcpy(out.data() + at + sizeof(TMsgHeader) + offsetof(TDefaultMessage, Ident), &reply,
              sizeof reply);
  ++echoed_;
}

std::string LoadDriver::Stats() const {
  std::string kinds;
  for (size_t k = 0; k < kLoadKinds; ++k)
    kinds += std::string(" ") + LoadKindName(LoadKind(k)) + "=" + std::to_string(sentByKind_[k]);
  const uint64_t dropped =
      user_.Dropped() + heavy_.Dropped() + broadcast_.Dropped() + ref_.Dropped();
  return "load sent user=" + std::to_string(sentUser_) + " heavy=" + std::to_string(sentHeavy_) +
         " bcast=" + std::to_string(sentBroadcast_) + " ref=" + std::to_string(sentRef_) +
         " skipped=" + std::to_string(skipped_ + dropped) + " echo=" + std::to_string(echoed_) +
         " bcast_seq=" + std::to_string(broadcastSeq_) + " ref_seq=" + std::to_string(refSeq_) +
         " sessions=" + std::to_string(sessions_.Size()) +
         " logged_in=" + std::to_string(sessions_.LoggedInCount()) + kinds;
}

}  // namespace gamesim
