// The error for stored bytes that are not what they claim to be: model files and
// encodings of context counts. Their layouts are specified in docs/formats.md.
#ifndef QELT_CORE_FORMAT_ERROR_H_
#define QELT_CORE_FORMAT_ERROR_H_

#include <stdexcept>
#include <string>

namespace qelt {

// Thrown when bytes given as a model file or a counts encoding cannot be read as one.
// The reason says which kind of fault it is, so that callers can act on it without
// reading the message.
class ModelFormatError : public std::invalid_argument {
 public:
  enum class Reason {
    kForeign,    // not this format at all: another magic, or no magic
    kVersion,    // this format, in a version this build does not read
    kTruncated,  // cut short: empty, or shorter than its header says
    kChecksum,   // the checksum does not match: corrupted
    kLayout,     // well framed, but a field or table holds what no writer writes
  };

  ModelFormatError(Reason reason, const std::string& message)
      : std::invalid_argument(message), reason_(reason) {}

  Reason reason() const { return reason_; }

  // The reason as one lower-case word: "foreign", "version", "truncated", "checksum"
  // or "layout".
  const char* reason_name() const {
    switch (reason_) {
      case Reason::kForeign: return "foreign";
      case Reason::kVersion: return "version";
      case Reason::kTruncated: return "truncated";
      case Reason::kChecksum: return "checksum";
      case Reason::kLayout: break;
    }
    return "layout";
  }

 private:
  Reason reason_;
};

}  // namespace qelt

#endif  // QELT_CORE_FORMAT_ERROR_H_
