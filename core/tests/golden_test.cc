// The golden files of tests/data, read by the core itself: each stored version gives
// its golden entropies and patch ends, and the writers make the current version's
// bytes exactly (docs/formats.md, "Golden files").

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "context_counts.h"
#include "model_scoring.h"
#include "context_model.h"

namespace qelt {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const std::string& name) {
  std::ifstream in(std::string(QELT_TEST_DATA) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes from_hex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

struct EndsCase {
  float theta, theta_r;
  std::vector<std::size_t> ends;
};

struct Golden {
  int k = 0;
  std::uint64_t min_count = 0;
  Bytes probe;
  std::vector<float> entropies;
  std::vector<EndsCase> ends;
};

Golden read_golden() {
  Golden golden;
  std::istringstream lines(std::string(
      [] { auto b = read_file("golden.txt"); return std::string(b.begin(), b.end()); }()));
  for (std::string line; std::getline(lines, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name;
    fields >> name;
    if (name == "k") {
      fields >> golden.k;
    } else if (name == "min_count") {
      fields >> golden.min_count;
    } else if (name == "probe") {
      std::string hex;
      fields >> hex;
      golden.probe = from_hex(hex);
    } else if (name == "entropies") {
      for (std::string hex; fields >> hex;) {
        const std::uint32_t bits = static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16));
        float h;
        std::memcpy(&h, &bits, 4);
        golden.entropies.push_back(h);
      }
    } else if (name == "ends") {
      std::string theta, theta_r;
      fields >> theta >> theta_r;
      EndsCase c{std::stof(theta), std::stof(theta_r), {}};
      for (std::size_t end; fields >> end;) c.ends.push_back(end);
      golden.ends.push_back(c);
    }
  }
  return golden;
}

std::vector<Bytes> corpus() {
  const Bytes text = read_file("golden-corpus.txt");
  std::vector<Bytes> documents;
  Bytes current;
  for (const std::uint8_t byte : text) {
    if (byte == '\n') {
      documents.push_back(current);
      current.clear();
    } else {
      current.push_back(byte);
    }
  }
  return documents;
}

Bytes image_of(const ContextModel& model) { return {model.image(), model.image() + model.image_size()}; }

TEST(GoldenTest, TheModelFileGivesItsEntropiesAndEnds) {
  for (const char* name : {"model-v1.qelt", "model-v2.qelt", "model-v3-none.qelt"}) {
    SCOPED_TRACE(name);
    const Golden golden = read_golden();
    const ContextModel model = ContextModel::load(std::string(QELT_TEST_DATA) + "/" + name);
  ASSERT_EQ(model.k(), golden.k);
  EXPECT_EQ(model.min_count(), golden.min_count);
  ASSERT_EQ(golden.entropies.size(), golden.probe.size() - golden.k);
  for (std::size_t i = golden.k; i < golden.probe.size(); ++i) {
    std::uint64_t context = 0;
    for (std::size_t j = i - golden.k; j < i; ++j) context = context << 8 | golden.probe[j];
    EXPECT_EQ(model.entropy(context), golden.entropies[i - golden.k]) << "position " << i;
  }
  for (const EndsCase& c : golden.ends) {
    EXPECT_EQ(patch_ends(model, golden.probe.data(), golden.probe.size(), {c.theta, c.theta_r}),
              c.ends);
  }
  }
}

// The golden model file of each kind, in the version written.
std::string model_file(const ModelKind& kind, int version = 3) {
  return "model-v" + std::to_string(version) + "-" + std::string(kind.name) + ".qelt";
}

TEST(GoldenTest, EveryVersionOfAKindGivesTheSameDistributions) {
  const Golden golden = read_golden();
  for (const ModelKind& kind : model_kinds()) {
    SCOPED_TRACE(std::string(kind.name));
    const std::string data = std::string(QELT_TEST_DATA) + "/";
    const ContextModel written = ContextModel::load(data + model_file(kind));
    const ContextModel earlier = ContextModel::load(data + model_file(kind, 2));
    ASSERT_EQ(written.size(), earlier.size());
    for (std::size_t i = 0; i <= golden.probe.size(); ++i) {
      const std::size_t from = i > static_cast<std::size_t>(golden.k) ? i - golden.k : 0;
      double p[256], q[256];
      written.probabilities(golden.probe.data() + from, i - from, p);
      earlier.probabilities(golden.probe.data() + from, i - from, q);
      EXPECT_EQ(std::vector<double>(p, p + 256), std::vector<double>(q, q + 256)) << i;
      EXPECT_EQ(written.entropy_after(golden.probe.data() + from, i - from),
                earlier.entropy_after(golden.probe.data() + from, i - from)) << i;
    }
  }
}

TEST(GoldenTest, TheKindsKeepTheirNumbers) {
  std::map<std::string, std::uint32_t> numbers;
  for (const ModelKind& kind : model_kinds()) numbers[std::string(kind.name)] = kind.number;
  EXPECT_EQ(numbers, (std::map<std::string, std::uint32_t>{{"none", 0}, {"kneser-ney", 1}}));
}

TEST(GoldenTest, EveryCountsEncodingGivesTheGoldenModel) {
  const Golden golden = read_golden();
  for (const char* name : {"counts-v1.bin", "counts-v1-first.bin"}) {
    const Bytes encoded = read_file(name);
    const ContextCounts counts = ContextCounts::deserialize(encoded.data(), encoded.size());
    for (const ModelKind& kind : model_kinds()) {
      EXPECT_EQ(image_of(counts.to_model(golden.min_count, 0, kind)), read_file(model_file(kind)))
          << name << ", " << kind.name;
    }
  }
}

TEST(GoldenTest, TheWritersMakeTheGoldenBytes) {
  const Golden golden = read_golden();
  ContextCounts counts(golden.k);
  for (const Bytes& document : corpus()) counts.add(document.data(), document.size());
  const std::string encoded = counts.serialize();
  EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), read_file("counts-v1.bin"));
  for (const ModelKind& kind : model_kinds()) {
    EXPECT_EQ(image_of(counts.to_model(golden.min_count, 0, kind)), read_file(model_file(kind)))
        << kind.name;
  }
}

}  // namespace
}  // namespace qelt
