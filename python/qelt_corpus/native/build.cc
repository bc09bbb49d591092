// The steps of a model built in shares (model_build.h): surveys, plans, the search for
// a budget's cut, built shares and the assembly of the file. Plans and cut candidates
// are objects that pickle as their bytes; surveys and built shares' sections travel as
// bytes, runs as NumPy arrays.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings.h"
#include "counts.h"
#include "model_build.h"
#include "results.h"
#include "views.h"

namespace py = pybind11;

namespace qelt_corpus {

namespace {

qelt::BuildSettings settings_of(const std::string& kind, std::uint64_t min_count,
                                std::uint64_t max_bytes) {
  const qelt::ModelKind* found = qelt::find_model_kind(kind);
  if (found == nullptr) throw py::value_error("no model kind " + kind);
  return {found, min_count, max_bytes};
}

template <typename T>
T from_bytes(py::handle data, const char* name) {
  const ByteBuffer bytes(data, name);
  const py::gil_scoped_release release;
  if constexpr (std::is_same_v<T, qelt::BuiltShare>) {
    return T::deserialize_sections(bytes.data(), bytes.size());
  } else {
    return T::deserialize(bytes.data(), bytes.size());
  }
}

class Plan {
 public:
  explicit Plan(qelt::BuildPlan plan) : plan_(std::make_shared<qelt::BuildPlan>(std::move(plan))) {}
  const std::shared_ptr<qelt::BuildPlan>& get() const { return plan_; }

  bool needs_cut_key() const { return plan_->needs_cut_key(); }
  std::vector<std::uint64_t> kept_contexts() const {
    return {plan_->kept_contexts().begin(), plan_->kept_contexts().begin() + plan_->k() + 1};
  }
  py::bytes serialize() const {
    std::string bytes;
    {
      const py::gil_scoped_release release;
      bytes = plan_->serialize();
    }
    return py::bytes(bytes);
  }
  static Plan deserialize(py::handle data) { return Plan(from_bytes<qelt::BuildPlan>(data, "plan")); }

 private:
  std::shared_ptr<qelt::BuildPlan> plan_;
};

class Candidates {
 public:
  explicit Candidates(qelt::CutCandidates candidates) : candidates_(std::move(candidates)) {}

  std::size_t size() const { return candidates_.size(); }
  py::tuple at_most(const py::array_t<std::uint64_t, py::array::c_style | py::array::forcecast>&
                        given) const {
    const auto points = aligned(given);
    std::vector<std::uint64_t> contexts(points.size()), pairs(points.size());
    {
      const py::gil_scoped_release release;
      candidates_.at_most(points.data(), points.size(), contexts.data(), pairs.data());
    }
    return py::make_tuple(to_numpy<std::uint64_t>(std::move(contexts)),
                          to_numpy<std::uint64_t>(std::move(pairs)));
  }
  py::bytes serialize() const { return py::bytes(candidates_.serialize()); }
  static Candidates deserialize(py::handle data) {
    return Candidates(from_bytes<qelt::CutCandidates>(data, "candidates"));
  }

 private:
  qelt::CutCandidates candidates_;
};

class Search {
 public:
  explicit Search(const Plan& plan) : plan_(plan.get()), search_(*plan_) {}

  bool done() const { return search_.done(); }
  py::array_t<std::uint64_t> points() const {
    return to_numpy<std::uint64_t>(std::vector<std::uint64_t>(search_.points()));
  }
  void answer(const std::vector<std::uint64_t>& contexts, const std::vector<std::uint64_t>& pairs) {
    search_.answer(contexts, pairs);
  }
  // The plan with its cut settled where the search found it (the plan given stays as
  // it was).
  Plan settled() const {
    const std::string bytes = plan_->serialize();
    qelt::BuildPlan plan =
        qelt::BuildPlan::deserialize(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    plan.settle_cut(search_);
    return Plan(std::move(plan));
  }

 private:
  std::shared_ptr<qelt::BuildPlan> plan_;
  qelt::CutSearch search_;
};

class Assembly {
 public:
  Assembly(const Plan& plan, int bits) : plan_(plan.get()), assembly_(*plan_, bits) {}

  void add(py::handle sections) {
    const qelt::BuiltShare share = from_bytes<qelt::BuiltShare>(sections, "sections");
    assembly_.add(share);
  }
  std::uint64_t run_offset(int index) const { return assembly_.run_offset(index); }
  std::uint64_t run_bytes(int index) const { return assembly_.run_bytes(index); }
  std::uint64_t size() const { return assembly_.size(); }
  py::list rest(const std::vector<std::uint32_t>& crcs) const {
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> parts;
    {
      const py::gil_scoped_release release;
      parts = assembly_.rest(crcs);
    }
    py::list out;
    for (auto& [offset, bytes] : parts) {
      out.append(py::make_tuple(offset, py::bytes(reinterpret_cast<const char*>(bytes.data()),
                                                  bytes.size())));
    }
    return out;
  }

 private:
  std::shared_ptr<qelt::BuildPlan> plan_;
  qelt::ModelAssembly assembly_;
};

}  // namespace

void bind_build(py::module_& m) {
  py::class_<Plan>(m, "BuildPlan")
      .def_property_readonly("needs_cut_key", &Plan::needs_cut_key)
      .def_property_readonly("kept_contexts", &Plan::kept_contexts)
      .def(py::pickle([](const Plan& plan) { return plan.serialize(); },
                      [](const py::bytes& state) { return Plan::deserialize(state); }));
  py::class_<Candidates>(m, "CutCandidates")
      .def("__len__", &Candidates::size)
      .def("at_most", &Candidates::at_most, py::arg("points"))
      .def(py::pickle([](const Candidates& c) { return c.serialize(); },
                      [](const py::bytes& state) { return Candidates::deserialize(state); }));
  py::class_<Search>(m, "CutSearch")
      .def(py::init<const Plan&>(), py::arg("plan"))
      .def_property_readonly("done", &Search::done)
      .def("points", &Search::points)
      .def("answer", &Search::answer, py::arg("contexts"), py::arg("pairs"))
      .def("settled", &Search::settled);
  py::class_<Assembly>(m, "ModelAssembly")
      .def(py::init<const Plan&, int>(), py::arg("plan"), py::arg("bits"))
      .def("add", &Assembly::add, py::arg("sections"))
      .def("run_offset", &Assembly::run_offset, py::arg("index"))
      .def("run_bytes", &Assembly::run_bytes, py::arg("index"))
      .def_property_readonly("size", &Assembly::size)
      .def("rest", &Assembly::rest, py::arg("crcs"));

  m.def("share_build_bytes", &qelt::share_build_bytes, py::arg("k"), py::arg("windows"));
  m.def("survey_share", [](Counts& counts, int index, int bits, const std::string& kind,
                           std::uint64_t min_count, std::uint64_t max_bytes) {
    const qelt::BuildSettings settings = settings_of(kind, min_count, max_bytes);
    std::string survey;
    {
      const py::gil_scoped_release release;
      survey = counts.read([&](const qelt::ContextCounts& c) {
        return qelt::survey_share(c, index, bits, settings).serialize();
      });
    }
    return py::bytes(survey);
  }, py::arg("counts"), py::arg("index"), py::arg("bits"), py::arg("kind"), py::arg("min_count"),
     py::arg("max_bytes"));
  m.def("plan_build", [](const std::vector<py::bytes>& surveys, int k, const std::string& kind,
                         std::uint64_t min_count, std::uint64_t max_bytes) {
    const qelt::BuildSettings settings = settings_of(kind, min_count, max_bytes);
    std::vector<qelt::ShareSurvey> read;
    for (const py::bytes& survey : surveys) read.push_back(from_bytes<qelt::ShareSurvey>(survey, "survey"));
    const py::gil_scoped_release release;
    return Plan(qelt::plan_build(read, k, settings));
  }, py::arg("surveys"), py::arg("k"), py::arg("kind"), py::arg("min_count"), py::arg("max_bytes"));
  m.def("cut_candidates", [](Counts& counts, int index, int bits, const Plan& plan) {
    const py::gil_scoped_release release;
    return Candidates(counts.read([&](const qelt::ContextCounts& c) {
      return qelt::cut_candidates(c, index, bits, *plan.get());
    }));
  }, py::arg("counts"), py::arg("index"), py::arg("bits"), py::arg("plan"));
  m.def("build_share", [](Counts& counts, int index, int bits, const Plan& plan) {
    qelt::BuiltShare share;
    std::string sections;
    {
      const py::gil_scoped_release release;
      share = counts.read([&](const qelt::ContextCounts& c) {
        return qelt::build_share(c, index, bits, *plan.get());
      });
      sections = share.serialize_sections();
    }
    const std::uint32_t crc = share.run_crc;
    return py::make_tuple(to_numpy<std::uint8_t>(std::move(share.run)), py::bytes(sections), crc);
  }, py::arg("counts"), py::arg("index"), py::arg("bits"), py::arg("plan"));
}

}  // namespace qelt_corpus
