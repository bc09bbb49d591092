#include "context_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "context_counts.h"
#include "model_scoring.h"
#include "util/crc32c.h"
#include "frequency_table.h"
#include "patching.h"
#include "tests/random_bytes.h"

namespace qelt {
namespace {

std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

ContextModel model_of(const std::vector<std::vector<std::uint8_t>>& documents, int k,
                      std::uint64_t min_count = 1) {
  ContextCounts counts(k);
  for (const auto& d : documents) counts.add(d.data(), d.size());
  return counts.to_model(min_count);
}

std::vector<std::uint8_t> image_of(const ContextModel& model) {
  return {model.image(), model.image() + model.image_size()};
}

TEST(Crc32cTest, KnownValue) {
  const std::string check = "123456789";
  EXPECT_EQ(crc32c(reinterpret_cast<const std::uint8_t*>(check.data()), check.size()),
            0xE3069283u);
  EXPECT_EQ(crc32c(nullptr, 0), 0u);
}

// Trained on exactly one sequence, a model patches it as patch_ends does: the anchor.
TEST(ContextModelTest, TrainedOnOneSequencePatchesItAsPatchEnds) {
  const float thresholds[][2] = {{2.0f, 1.0f},  {0.5f, 10.0f}, {-1.0f, 1.0f}, {0.0f, 0.0f},
                                 {1.0f, -0.1f}, {NAN, NAN},    {INFINITY, 0.1f}};
  for (unsigned seed = 0; seed < 40; ++seed) {
    const auto data = random_bytes(1 + seed * 37 % 900, 2 + seed % 9, seed);
    for (int k = 0; k <= ContextModel::kMaxOrder; ++k) {
      const ContextModel model = model_of({data}, k);
      for (const auto& t : thresholds) {
        EXPECT_EQ(patch_ends(model, data.data(), data.size(), {t[0], t[1]}),
                  patch_ends(data.data(), data.size(), k, {t[0], t[1]}))
            << "seed " << seed << " k " << k;
      }
    }
  }
}

TEST(ContextModelTest, EntropiesAreThoseOfTheFrequencyTable) {
  const auto data = random_bytes(3000, 5, 1);
  const int k = 2;
  FrequencyTable table;
  for (std::size_t i = k; i < data.size(); ++i) {
    table.update(ByteString(data.begin() + i - k, data.begin() + i), data[i]);
  }
  const ContextModel model = model_of({data}, k);
  for (std::size_t i = k; i < data.size(); ++i) {
    const std::uint64_t context = std::uint64_t{data[i - 2]} << 8 | data[i - 1];
    const float expected = table.compute_entropy(ByteString(data.begin() + i - k, data.begin() + i));
    EXPECT_EQ(model.entropy(context), expected);
  }
}

// Every length of context, with as many leading bytes as there are: a context of
// length j preceded by bytes never seen backs off to exactly its own entropy, which
// must be that of its frequency table over the positions i >= k.
TEST(ContextModelTest, EveryLengthHasTheEntropiesOfItsFrequencyTable) {
  constexpr std::uint8_t kUnseen = 255;
  std::mt19937 rng(7);
  std::vector<std::vector<std::uint8_t>> documents(6);
  for (auto& d : documents) {
    while (d.size() < 3000) {  // bytes 0 .. 199, and stretches repeated from earlier
      if (d.size() > 20 && rng() % 3 == 0) {
        const std::size_t from = rng() % (d.size() - 10), length = 3 + rng() % 8;
        for (std::size_t i = 0; i < length; ++i) d.push_back(d[from + i]);
      } else {
        d.push_back(static_cast<std::uint8_t>(rng() % 200));
      }
    }
  }
  for (const int k : {3, 6, 8}) {
    const ContextModel model = model_of(documents, k);
    std::vector<FrequencyTable> tables(k + 1);
    std::vector<std::map<ByteString, bool>> seen(k + 1);
    for (const auto& d : documents) {
      for (std::size_t i = k; i < d.size(); ++i) {
        for (int j = 0; j <= k; ++j) {
          const ByteString context(d.begin() + i - j, d.begin() + i);
          tables[j].update(context, d[i]);
          seen[j][context] = true;
        }
      }
    }
    for (int j = 0; j <= k; ++j) {
      EXPECT_EQ(model.contexts_of_length(j), seen[j].size()) << "k " << k << " j " << j;
      for (const auto& [context, unused] : seen[j]) {
        std::uint64_t key = 0;
        for (int i = 0; i < k - j; ++i) key = key << 8 | kUnseen;
        for (const char c : context) key = key << 8 | static_cast<std::uint8_t>(c);
        ASSERT_EQ(model.entropy(key), tables[j].compute_entropy(context))
            << "k " << k << " j " << j;
      }
    }
  }
}

TEST(ContextModelTest, BacksOffToTheLongestSuffixKept) {
  // "ab" is followed by c and d; "b" also by e (in "xbe"), and the empty context by all.
  const ContextModel model = model_of({bytes_of("abcabd"), bytes_of("xbe")}, 2);
  const float ln2 = model.entropy(std::uint64_t{'a'} << 8 | 'b');
  EXPECT_FLOAT_EQ(ln2, std::log(2.0f));
  // "zb" was never seen: the entropy of "b" (c, d, e once each) is ln 3.
  EXPECT_FLOAT_EQ(model.entropy(std::uint64_t{'z'} << 8 | 'b'), std::log(3.0f));
  // "zz" and "z" were never seen: the empty context, the next bytes of every position.
  FrequencyTable empty_context;
  for (const char c : std::string("cabde")) empty_context.update("", c);
  EXPECT_EQ(model.entropy(std::uint64_t{'z'} << 8 | 'z'), empty_context.compute_entropy(""));
  // min_count drops rare contexts: with 3, "ab" (seen twice) backs off to "b" (3 times).
  const ContextModel pruned = model_of({bytes_of("abcabd"), bytes_of("xbe")}, 2, 3);
  EXPECT_FLOAT_EQ(pruned.entropy(std::uint64_t{'a'} << 8 | 'b'), std::log(3.0f));
  EXPECT_EQ(pruned.size(), 2u);  // "b" and the empty context
}

TEST(ContextModelTest, EmptyModelGivesZeroEverywhere) {
  const ContextModel model = model_of({bytes_of("ab")}, 3);
  EXPECT_EQ(model.size(), 0u);
  EXPECT_EQ(model.entropy(12345), 0.0f);
  const auto data = bytes_of("abcdefgh");
  EXPECT_EQ(patch_ends(model, data.data(), data.size(), {-1.0f, 1.0f}),
            (std::vector<std::size_t>{4, 5, 6, 7, 8}));
  EXPECT_EQ(patch_ends(model, data.data(), data.size(), {0.0f, 0.0f}),
            (std::vector<std::size_t>{8}));
}

TEST(ContextCountsTest, MergedInAnyOrderOrCountedAtOnceGiveTheSameModel) {
  std::vector<std::vector<std::uint8_t>> documents;
  for (unsigned seed = 0; seed < 12; ++seed) documents.push_back(random_bytes(500, 4, seed));
  for (int k : {0, 3, 7, 8}) {
    const auto at_once = image_of(model_of(documents, k));
    ContextCounts a(k), b(k), c(k);
    for (std::size_t i = 0; i < documents.size(); ++i) {
      ContextCounts& part = i % 3 == 0 ? a : i % 3 == 1 ? b : c;
      part.add(documents[i].data(), documents[i].size());
    }
    c.merge(a);
    b.merge(c);
    EXPECT_EQ(image_of(b.to_model(1)), at_once) << "k " << k;
    // A merge with itself doubles every count: the same entropies.
    ContextCounts twice(k);
    for (const auto& d : documents) twice.add(d.data(), d.size());
    twice.merge(twice);
    EXPECT_EQ(twice.positions(), 2 * b.positions());
    const ContextModel doubled = twice.to_model(2);
    EXPECT_EQ(doubled.size(), b.to_model(1).size());
  }
  ContextCounts three(3), four(4);
  EXPECT_THROW(three.merge(four), std::invalid_argument);
}

TEST(ContextCountsTest, EncodingRoundTripsAndRefusesDamage) {
  for (int k : {0, 2, 7, 8}) {
    ContextCounts counts(k);
    const auto data = random_bytes(2000, 7, static_cast<unsigned>(k));
    counts.add(data.data(), data.size());
    const std::string encoded = counts.serialize();
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(encoded.data());
    const ContextCounts decoded = ContextCounts::deserialize(bytes, encoded.size());
    EXPECT_EQ(decoded.serialize(), encoded);
    EXPECT_EQ(decoded.positions(), counts.positions());
    EXPECT_EQ(image_of(decoded.to_model(1)), image_of(counts.to_model(1)));
    for (std::size_t cut = 0; cut < encoded.size(); cut += 1 + encoded.size() / 50) {
      EXPECT_THROW(ContextCounts::deserialize(bytes, cut), std::invalid_argument) << cut;
    }
  }
  EXPECT_THROW(ContextCounts(-1), std::invalid_argument);
  EXPECT_THROW(ContextCounts(9), std::invalid_argument);
}

TEST(ContextModelTest, ImagesRoundTripAndDamageIsRefused) {
  const auto data = random_bytes(5000, 6, 9);
  const ContextModel model = model_of({data}, 5);
  const auto image = image_of(model);
  const ContextModel again = ContextModel::from_image(image);
  EXPECT_EQ(image_of(again), image);
  EXPECT_EQ(again.k(), 5);
  EXPECT_EQ(again.size(), model.size());
  EXPECT_EQ(patch_ends(again, data.data(), data.size(), {1.0f, 0.5f}),
            patch_ends(model, data.data(), data.size(), {1.0f, 0.5f}));
  EXPECT_THROW(ContextModel::from_image({}), ModelFormatError);
  for (std::size_t cut = 0; cut < image.size(); cut += 1 + image.size() / 64) {
    EXPECT_THROW(ContextModel::from_image({image.begin(), image.begin() + cut}), ModelFormatError);
  }
  for (std::size_t at = 0; at < image.size(); at += 1 + image.size() / 200) {
    auto damaged = image;
    damaged[at] ^= 0x10;
    EXPECT_THROW(ContextModel::from_image(damaged), ModelFormatError) << at;
  }
}

// What is wrong with bytes that are not a model, or not counts, is told by its reason.
TEST(ModelFormatErrorTest, ReasonsSayWhatIsWrong) {
  using Reason = ModelFormatError::Reason;
  auto reason_of = [](auto&& read) {
    try {
      read();
    } catch (const ModelFormatError& e) {
      return std::string(e.reason_name());
    }
    return std::string("accepted");
  };
  const auto image = image_of(model_of({random_bytes(3000, 5, 3)}, 5));
  auto model_reason = [&](std::vector<std::uint8_t> bytes) {
    return reason_of([&] { ContextModel::from_image(bytes); });
  };
  auto version_4 = image;
  version_4[8] = 4;
  auto flipped = image;
  flipped[image.size() / 2] ^= 1;
  auto extended = image;
  extended.resize(image.size() + 8);
  EXPECT_EQ(model_reason({}), "truncated");
  EXPECT_EQ(model_reason({image.begin(), image.begin() + 5}), "truncated");
  EXPECT_EQ(model_reason({image.begin(), image.end() - 1}), "truncated");
  EXPECT_EQ(model_reason(bytes_of("PK\x03\x04 not a model at all, a zip")), "foreign");
  EXPECT_EQ(model_reason(version_4), "version");
  EXPECT_EQ(model_reason(flipped), "checksum");
  EXPECT_EQ(model_reason(extended), "layout");

  ContextCounts counts(3);
  counts.add(image.data(), 500);
  const std::string encoded = counts.serialize();
  auto counts_reason = [&](std::string bytes) {
    return reason_of([&] {
      ContextCounts::deserialize(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    });
  };
  std::string counts_version_2 = encoded;
  counts_version_2[8] = 2;
  EXPECT_EQ(counts_reason(encoded), "accepted");
  EXPECT_EQ(counts_reason(""), "truncated");
  EXPECT_EQ(counts_reason(encoded.substr(0, encoded.size() - 1)), "truncated");
  EXPECT_EQ(counts_reason("QELTMODL and more"), "foreign");
  EXPECT_EQ(counts_reason(counts_version_2), "version");
  EXPECT_EQ(counts_reason(encoded + '\0'), "layout");
  try {
    ContextCounts::deserialize(reinterpret_cast<const std::uint8_t*>(counts_version_2.data()),
                               counts_version_2.size());
  } catch (const ModelFormatError& e) {
    EXPECT_EQ(e.reason(), Reason::kVersion);
    EXPECT_NE(std::string(e.what()).find("unsupported version 2"), std::string::npos);
  }
}

TEST(ContextModelTest, LoadsFromAFile) {
  // The second model's file is over 2 MiB: offered huge pages when mapped.
  for (const auto& [size, alphabet] : {std::pair{4000, 3}, std::pair{300000, 256}}) {
    const auto data = random_bytes(size, alphabet, 2);
    const ContextModel model = model_of({data}, 4);
    const std::string path = ::testing::TempDir() + "qelt_model_test.bin";
    {
      std::ofstream out(path, std::ios::binary);
      out.write(reinterpret_cast<const char*>(model.image()),
                static_cast<std::streamsize>(model.image_size()));
    }
    const ContextModel loaded = ContextModel::load(path);
    EXPECT_EQ(image_of(loaded), image_of(model));
    EXPECT_EQ(patch_ends(loaded, data.data(), data.size(), {0.9f, 0.3f}),
              patch_ends(model, data.data(), data.size(), {0.9f, 0.3f}));
    if (size > 4000) EXPECT_GT(model.image_size(), std::size_t{2} << 20);
    std::remove(path.c_str());
  }
  const std::string path = ::testing::TempDir() + "qelt_model_test.bin";
  EXPECT_THROW(ContextModel::load(path), std::system_error);
  EXPECT_THROW(ContextModel::load(::testing::TempDir()), std::system_error);
  { std::ofstream empty(path); }
  EXPECT_THROW(ContextModel::load(path), ModelFormatError);
  std::remove(path.c_str());
}

TEST(ContextModelTest, CalibrateFindsTheClosestMeanLength) {
  const auto data = random_bytes(20000, 6, 4);
  const ContextModel model = model_of({data}, 2);
  const ByteSpan documents[] = {{data.data(), 10000}, {data.data() + 10000, 10000}};
  for (const double target : {1.0, 1.5, 2.0, 3.0, 1000.0}) {
    const float theta = calibrate(model, documents, 2, target, INFINITY);
    auto mean_at = [&](float t) {
      std::size_t patches = 0;
      for (const ByteSpan& d : documents) {
        patches += patch_ends(model, d.data, d.size, {t, INFINITY}).size();
      }
      return 20000.0 / static_cast<double>(patches);
    };
    // No theta does better: try every entropy there is, and between.
    const double best = std::fabs(mean_at(theta) - target);
    for (float t = -0.5f; t < 2.0f; t += 0.01f) EXPECT_LE(best, std::fabs(mean_at(t) - target) + 1e-12);
  }
  const ByteSpan too_short[] = {{data.data(), 2}};
  EXPECT_THROW(calibrate(model, too_short, 1, 2.0, INFINITY), std::invalid_argument);
}

}  // namespace
}  // namespace qelt
