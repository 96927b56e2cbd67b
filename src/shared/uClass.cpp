#include "shared/uClass.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <utility>

TMyLock::TMyLock(std::string strId) : m_id(std::move(strId)) {}

TMyLock::~TMyLock() = default;

void TMyLock::Enter() {
  for (int i = 0; i < kSpinCount; ++i) {
    if (m_crits.try_lock()) return;
  }
  m_crits.lock();
}

void TMyLock::Leave() {
  m_crits.unlock();
}

bool TMyLock::TryEnter() {
  return m_crits.try_lock();
}

TGStringList::TGStringList() = default;

TGStringList::~TGStringList() = default;

namespace {

[[noreturn]] void ListIndexError(int Index) {
  char text[64];
  std::snprintf(text, sizeof(text), "List index out of bounds (%d)", Index);
  throw std::out_of_range(text);
}

unsigned char FoldAscii(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? c - 32 : c;
}

// Folding only ASCII letters keeps UTF-8 sequences intact (their bytes are all
// above 0x7F), which is what the lists hold.
bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(static_cast<unsigned char>(a[i])) != FoldAscii(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

}  // namespace

int TGStringList::Add(std::string S) {
  m_items.push_back(std::move(S));
  return Count() - 1;
}

void TGStringList::Insert(int Index, std::string S) {
  if (Index < 0 || Index > Count()) ListIndexError(Index);
  m_items.insert(m_items.begin() + Index, std::move(S));
}

void TGStringList::Delete(int Index) {
  if (Index < 0 || Index >= Count()) ListIndexError(Index);
  m_items.erase(m_items.begin() + Index);
}

const std::string& TGStringList::Strings(int Index) const {
  if (Index < 0 || Index >= Count()) ListIndexError(Index);
  return m_items[static_cast<size_t>(Index)];
}

void TGStringList::SetStrings(int Index, std::string S) {
  if (Index < 0 || Index >= Count()) ListIndexError(Index);
  m_items[static_cast<size_t>(Index)] = std::move(S);
}

int TGStringList::IndexOf(std::string_view S) const {
  for (size_t i = 0; i < m_items.size(); ++i) {
    if (SameTextAscii(m_items[i], S)) return static_cast<int>(i);
  }
  return -1;
}

void TGStringList::MoveTo(std::vector<std::string>& Dest) {
  if (Dest.empty()) {
    Dest.swap(m_items);
  } else {
    Dest.reserve(Dest.size() + m_items.size());
    for (auto& line : m_items) Dest.push_back(std::move(line));
  }
  m_items.clear();
}

int64_t LocalNowSec() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return static_cast<int64_t>(now) + local.tm_gmtoff;
}
