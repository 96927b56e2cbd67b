// A mix of message kinds by weight, as the load tools take it on their
// command lines ("name:weight,...") and send it.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>
#include <vector>

namespace testkit {

// The pieces of `Text` between commas; a comma at the end adds no empty piece.
inline std::vector<std::string_view> ListItems(std::string_view Text) {
  std::vector<std::string_view> items;
  while (!Text.empty()) {
    const size_t comma = Text.find(',');
    items.push_back(Text.substr(0, comma));
    Text = comma == std::string_view::npos ? std::string_view() : Text.substr(comma + 1);
  }
  return items;
}

// The index of `Name` in `Names`; N when it is none of them.
template <size_t N>
size_t IndexOfName(const char* const (&Names)[N], std::string_view Name) {
  return size_t(std::find(Names, Names + N, Name) - Names);
}

template <size_t N>
bool AnyWeight(const std::array<int, N>& Weights) {
  return std::any_of(Weights.begin(), Weights.end(), [](int w) { return w > 0; });
}

// Picks kinds in proportion to their weights, spread out evenly (a smooth
// weighted round robin), so that a 1:1 mix alternates. `Kind` numbers its N
// kinds from 0; without any weight the first is picked.
template <class Kind, size_t N>
class WeightedPicker {
 public:
  explicit WeightedPicker(const std::array<int, N>& Weights) : weights_(Weights) {
    for (int w : weights_) total_ += w > 0 ? w : 0;
  }

  Kind Next() {
    size_t best = N;
    for (size_t k = 0; k < N; ++k) {
      if (weights_[k] <= 0) continue;
      current_[k] += weights_[k];
      if (best == N || current_[k] > current_[best]) best = k;
    }
    if (best == N) return Kind{};
    current_[best] -= total_;
    return static_cast<Kind>(best);
  }

  bool Empty() const { return total_ == 0; }

 private:
  std::array<int, N> weights_;
  std::array<int, N> current_{};
  int total_ = 0;
};

}  // namespace testkit
