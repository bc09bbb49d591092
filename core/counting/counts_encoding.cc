// The encoding of context counts, apart from the counting (its layout: "Context
// counts" in docs/formats.md). The windows are written in order of key, each as the
// difference from the previous key and its count, so that equal counts always give
// equal bytes and a table of a corpus takes a few bytes per window.

#include <cstring>
#include <limits>
#include <string>

#include "context_counts.h"
#include "counting/window_counts.h"
#include "util/window_key.h"
#include "counting/window_run.h"

namespace qelt {

namespace {

using Reason = ModelFormatError::Reason;

constexpr char kMagic[8] = {'Q', 'E', 'L', 'T', 'C', 'N', 'T', 'S'};
constexpr std::uint32_t kVersion = 1;
// Version 1 as first written: this magic, and no version field.
constexpr char kFirstMagic[8] = {'Q', 'E', 'L', 'T', 'C', 'N', 'T', '1'};

[[noreturn]] void refuse(Reason reason, const std::string& why) {
  throw ModelFormatError(reason, "not an encoding of context counts: " + why);
}

// Reads a varint of at most `bits` significant bits at `p`, advancing it.
template <typename Value>
Value get_varint(const std::uint8_t*& p, const std::uint8_t* end, int bits) {
  Value value = 0;
  for (int shift = 0;; shift += 7) {
    if (p == end) refuse(Reason::kTruncated, "it is truncated");
    const std::uint8_t byte = *p++;
    const Value part = byte & 0x7F;
    if (shift >= bits || (bits - shift < 7 && (part >> (bits - shift)) != 0)) {
      refuse(Reason::kLayout, "a number is out of range");
    }
    value |= part << shift;
    if ((byte & 0x80) == 0) {
      if (byte == 0 && shift > 0) refuse(Reason::kLayout, "a number is not in its shortest form");
      return value;
    }
  }
}

// Whether the `size` bytes at `data` could be the start of `magic`: what is left of an
// encoding cut short within it.
bool starts_magic(const std::uint8_t* data, std::size_t size, const char (&magic)[8]) {
  return size < 8 && std::memcmp(data, magic, size) == 0;
}

}  // namespace

std::string ContextCounts::serialize() const {
  internal::RunBytes head(kMagic, kMagic + 8);
  for (int i = 0; i < 4; ++i) head.push_back(static_cast<std::uint8_t>(kVersion >> (8 * i)));
  head.push_back(static_cast<std::uint8_t>(k_));
  std::uint64_t windows = 0;
  const internal::RunBytes run =
      std::visit([&](const auto& table) { return table->encoded(windows); }, table_);
  internal::put_varint(head, windows);
  std::string out(head.begin(), head.end());
  out.append(reinterpret_cast<const char*>(run.data()), run.size());
  return out;
}

ContextCounts ContextCounts::deserialize(const std::uint8_t* data, std::size_t size) {
  if (size == 0) refuse(Reason::kTruncated, "it is empty");
  std::size_t header = 0;
  if (size >= 8 && std::memcmp(data, kMagic, 8) == 0) {
    if (size < 12) refuse(Reason::kTruncated, "it is truncated");
    std::uint32_t version = 0;
    for (int i = 0; i < 4; ++i) version |= std::uint32_t{data[8 + i]} << (8 * i);
    if (version != kVersion) {
      refuse(Reason::kVersion, "unsupported version " + std::to_string(version) +
                                   " (this build reads version " + std::to_string(kVersion) + ")");
    }
    header = 12;
  } else if (size >= 8 && std::memcmp(data, kFirstMagic, 8) == 0) {
    header = 8;
  } else if (starts_magic(data, size, kMagic) || starts_magic(data, size, kFirstMagic)) {
    refuse(Reason::kTruncated, "it is truncated");
  } else {
    refuse(Reason::kForeign, "it does not start with \"QELTCNTS\"");
  }
  if (size <= header) refuse(Reason::kTruncated, "it is truncated");
  const int k = data[header];
  if (k > ContextModel::kMaxOrder) refuse(Reason::kLayout, "k is over 8");
  ContextCounts counts(k);
  const std::uint8_t* p = data + header + 1;
  const std::uint8_t* end = data + size;
  const int key_bits = 8 * (k + 1);
  std::visit(
      [&](auto& table) {
        using Key = typename std::remove_reference_t<decltype(*table)>::Key;
        const Key largest = internal::window_mask<Key>(static_cast<std::size_t>(k) + 1);
        const auto windows = get_varint<std::uint64_t>(p, end, 64);
        // Every window takes at least two bytes: a larger number is a lie.
        if (windows > static_cast<std::uint64_t>(end - p) / 2) {
          refuse(Reason::kTruncated, "it is truncated");
        }
        // Checked here, the windows are then taken as they are: they are the run of
        // the counts.
        const std::uint8_t* const first = p;
        Key key = 0;
        std::uint64_t positions = 0;
        for (std::uint64_t w = 0; w < windows; ++w) {
          const Key delta = get_varint<Key>(p, end, key_bits);
          if (w > 0 && delta == 0) refuse(Reason::kLayout, "windows are repeated or out of order");
          if (delta > largest - key) refuse(Reason::kLayout, "a window is longer than k + 1 bytes");
          key += delta;
          const std::uint64_t count = get_varint<std::uint64_t>(p, end, 64);
          if (count == 0) refuse(Reason::kLayout, "a count is zero");
          if (count > std::numeric_limits<std::uint64_t>::max() - positions) {
            refuse(Reason::kLayout, "the counts overflow");
          }
          if (count > internal::CountSlot<Key>::kMaxCount) {
            refuse(Reason::kLayout, "a count is larger than a window's count can be");
          }
          positions += count;
        }
        table->take_run(internal::RunBytes(first, p), windows);
        counts.positions_ = positions;
      },
      counts.table_);
  if (p != end) refuse(Reason::kLayout, "bytes follow the counts");
  return counts;
}

}  // namespace qelt
