// A reading is checked against the model in one place (reading_refusal), and the
// readers of documents a byte at a time are made in one place (make_document_reader):
// each kind of reader is adapted here to the one interface that scoring and streams
// use, so that a reading added is a row of the names, a case of the refusal and a case
// of the factory.

#include "reading.h"

#include <array>
#include <stdexcept>
#include <utility>

#include "adaptive_model.h"
#include "mixing_model.h"

namespace qelt {

namespace {

constexpr std::array<std::pair<ReadingMode, std::string_view>, 3> kNames = {{
    {ReadingMode::kStatic, "static"},
    {ReadingMode::kAdaptive, "adaptive"},
    {ReadingMode::kMix, "mix"},
}};

// A reader of the documents of one reading: `Model`, which has the reader's members,
// behind the interface.
template <typename Model>
class ReaderOf final : public DocumentReader {
 public:
  ReaderOf(const ContextModel& model, std::uint64_t memory) : model_(model, memory) {}

  void start(std::size_t expected_size) override { model_.start(expected_size); }
  std::uint64_t position() const override { return model_.position(); }
  float entropy() override { return model_.entropy(); }
  double probability(std::uint8_t byte) override { return model_.probability(byte); }
  void push(std::uint8_t byte) override { model_.push(byte); }
  void reserve(std::uint64_t bytes) override { model_.reserve(bytes); }
  void prefetch(const std::uint8_t* data, std::size_t i, std::size_t n) override {
    model_.prefetch(data, i, n);
  }
  std::uint64_t restarts() const override { return model_.restarts(); }

 private:
  Model model_;
};

}  // namespace

const std::vector<ReadingMode>& reading_modes() {
  static const std::vector<ReadingMode> modes = [] {
    std::vector<ReadingMode> all;
    for (const auto& [mode, name] : kNames) all.push_back(mode);
    return all;
  }();
  return modes;
}

std::string_view reading_name(ReadingMode mode) {
  for (const auto& [each, name] : kNames) {
    if (each == mode) return name;
  }
  return "?";
}

std::optional<ReadingMode> reading_mode(std::string_view name) {
  for (const auto& [mode, each] : kNames) {
    if (each == name) return mode;
  }
  return std::nullopt;
}

std::string probabilities_refusal(const ContextModel& model) {
  if (model.version() < 2) {
    return "this model's file is of version 1, which holds entropies only: it patches, but "
           "has no probabilities (train it again to have them)";
  }
  if (!model.kind().probabilities) {
    return "a model of kind " + std::string(model.kind().name) + " has no probabilities";
  }
  return "";
}

std::string reading_refusal(const ContextModel& model, Reading reading) {
  if (reading.is_static()) return "";
  const std::string name(reading_name(reading.mode));
  const std::string without = probabilities_refusal(model);
  if (!without.empty()) return without;
  const ModelKind& kind = model.kind();
  if (reading.mode == ReadingMode::kAdaptive && !kind.adaptive) {
    return "a model of kind " + std::string(kind.name) + " has no adaptive reading";
  }
  if (reading.mode == ReadingMode::kMix && !kind.mixes) {
    return "a model of kind " + std::string(kind.name) + " has no mixing reading";
  }
  if (reading.memory < Reading::kLeastMemory) {
    return "the memory of the " + name + " reading must be at least " +
           std::to_string(Reading::kLeastMemory) + " bytes, not " +
           std::to_string(reading.memory);
  }
  return "";
}

void check_reading(const ContextModel& model, Reading reading) {
  const std::string refusal = reading_refusal(model, reading);
  if (!refusal.empty()) throw std::logic_error(refusal);
}

std::unique_ptr<DocumentReader> make_document_reader(const ContextModel& model,
                                                     Reading reading) {
  check_reading(model, reading);
  switch (reading.mode) {
    case ReadingMode::kStatic:
      return nullptr;
    case ReadingMode::kAdaptive:
      return std::make_unique<ReaderOf<AdaptiveModel>>(model, reading.memory);
    case ReadingMode::kMix:
      return std::make_unique<ReaderOf<MixingModel>>(model, reading.memory);
  }
  return nullptr;
}

}  // namespace qelt
