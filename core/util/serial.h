// Numbers and arrays of them as bytes and back, for what the parts of a build send each
// other (internal): little-endian, each array its length first. The reader refuses,
// with std::invalid_argument, bytes that end short or run on.
#ifndef QELT_CORE_UTIL_SERIAL_H_
#define QELT_CORE_UTIL_SERIAL_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace qelt {
namespace internal {

class SerialWriter {
 public:
  template <typename T>
  void put(T value) {
    static_assert(std::is_arithmetic_v<T>, "numbers only");
    const std::size_t at = bytes_.size();
    bytes_.resize(at + sizeof(T));
    std::memcpy(&bytes_[at], &value, sizeof(T));  // the hosts that build qelt are little-endian
  }
  template <typename T, typename Allocator>
  void put(const std::vector<T, Allocator>& values) {
    put<std::uint64_t>(values.size());
    const std::size_t at = bytes_.size();
    bytes_.resize(at + values.size() * sizeof(T));
    if (!values.empty()) std::memcpy(&bytes_[at], values.data(), values.size() * sizeof(T));
  }
  std::string take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

class SerialReader {
 public:
  SerialReader(const std::uint8_t* data, std::size_t size) : at_(data), end_(data + size) {}

  template <typename T>
  T get() {
    T value;
    need(sizeof(T));
    std::memcpy(&value, at_, sizeof(T));
    at_ += sizeof(T);
    return value;
  }
  template <typename T>
  std::vector<T> get_vector() {
    const std::uint64_t n = get<std::uint64_t>();
    if (n > static_cast<std::uint64_t>(end_ - at_) / sizeof(T)) refuse();
    std::vector<T> values(static_cast<std::size_t>(n));
    if (n != 0) std::memcpy(values.data(), at_, values.size() * sizeof(T));
    at_ += values.size() * sizeof(T);
    return values;
  }
  // Refuses bytes left over.
  void finish() const {
    if (at_ != end_) refuse();
  }

 private:
  void need(std::size_t n) const {
    if (static_cast<std::size_t>(end_ - at_) < n) refuse();
  }
  [[noreturn]] static void refuse() {
    throw std::invalid_argument("not the bytes of a part of a model build");
  }

  const std::uint8_t* at_;
  const std::uint8_t* end_;
};

}  // namespace internal
}  // namespace qelt

#endif  // QELT_CORE_UTIL_SERIAL_H_
