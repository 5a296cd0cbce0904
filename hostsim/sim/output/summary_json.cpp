#include "hostsim/sim/output/summary_json.h"

#include "hostsim/sim/base/error.h"

namespace dvx::sim {

namespace {

using json = nlohmann::ordered_json;

json PathOrNull(const std::optional<std::filesystem::path>& path) {
    return path ? json(path->string()) : json(nullptr);
}

json SettingsJson(const RunResult& r) {
    const Settings& s = r.settings;
    const bool ida = s.method == Method::Ida;
    return {{"method", MethodName(s.method)},
            {"start", s.start},
            {"stop", s.stop},
            {"end", r.plan.stop},
            {"output_interval", s.outputInterval},
            {"samples", r.plan.Samples()},
            {"max_steps", s.maxSteps},
            {"energy", s.energy},
            {"rtol", ida ? json(s.rtol) : json(nullptr)},
            {"atol", ida ? json(s.atol) : json(nullptr)},
            {"max_step", ida ? json(s.maxStep) : json(nullptr)},
            {"step", ida ? json(nullptr) : json(r.plan.step)}};
}

json SolverJson(const SolverStats& st) {
    return {{"steps", st.steps},
            {"residuals", st.residuals},
            {"jacobians", st.jacobians},
            {"factorizations", st.factorizations},
            {"newton_iterations", st.newtonIterations},
            {"error_test_failures", st.errorTestFailures},
            {"newton_failures", st.newtonFailures},
            {"time_events", st.timeEvents},
            {"state_events", st.stateEvents},
            {"mode_changes", st.modeChanges},
            {"component_step_calls", st.stepCalls},
            {"event_count", st.eventCount},
            {"samples_made_consistent", st.samplesMadeConsistent},
            {"sample_residuals", st.sampleResiduals},
            {"sample_step_calls", st.sampleStepCalls},
            {"seconds", st.seconds}};
}

json EnergyJson(const EnergyReport& e) {
    if (!e.kept) return nullptr;
    json elements = json::array();
    for (const EnergyAccount& a : e.elements)
        elements.push_back({{"element", a.label},
                            {"kind", a.kind == EnergyKind::Supplied ? "supplied" : "dissipated"},
                            {"energy", a.value}});
    return {{"supplied", e.supplied},         {"dissipated", e.dissipated},   {"lost_at_events", e.atEvents},
            {"stored_start", e.storedStart}, {"stored_end", e.storedEnd},    {"balance", e.Balance()},
            {"elements", std::move(elements)}};
}

json EventsJson(const std::vector<EventRecord>& events) {
    json list = json::array();
    for (const EventRecord& ev : events) {
        json modes = json::array();
        for (const ModeChange& m : ev.modes) modes.push_back({{"element", m.element}, {"mode", m.mode}, {"round", m.round}});
        list.push_back({{"time", ev.t}, {"kind", ev.kind}, {"modes", std::move(modes)}});
    }
    return list;
}

json InstanceJson(const InstanceReport& rep, const std::vector<std::string>& outputNames, bool energy) {
    json finals = json::object();
    for (size_t j = 0; j < outputNames.size() && j < rep.finals.size(); ++j) finals[outputNames[j]] = rep.finals[j];
    json instance = {{"name", rep.name},
                     {"energy_in", energy ? json(rep.energyIn) : json(nullptr)},
                     {"energy_out", energy ? json(rep.energyOut) : json(nullptr)},
                     {"max_residual", rep.maxResidual}};
    if (!rep.total) instance["final"] = std::move(finals);
    return instance;
}

json ReferenceJson(const ReferenceComparison* ref) {
    if (ref == nullptr) return nullptr;
    json columns = json::array();
    for (const ReferenceDeviation& d : ref->Deviations())
        columns.push_back({{"column", d.column}, {"largest", d.largest}, {"at", d.at}, {"relative", d.Relative()}});
    return {{"file", ref->Table().file.string()},
            {"samples", ref->Samples()},
            {"compared", ref->Compared()},
            {"columns", std::move(columns)}};
}

} // namespace

nlohmann::ordered_json SummaryJson(const RunResult& r, const RunEnding& ending) {
    json instances = json::array();
    json all = nullptr;
    for (const InstanceReport& rep : r.reports) {
        if (rep.total)
            all = InstanceJson(rep, r.outputNames, r.energy.kept);
        else
            instances.push_back(InstanceJson(rep, r.outputNames, r.energy.kept));
    }
    return {{"format", kSummaryJsonFormat},
            {"tool", {{"name", "dolvanex-host"}, {"version", ending.version}}},
            {"model", r.model.string()},
            {"library", r.library.string()},
            {"backend", r.backend},
            {"settings", SettingsJson(r)},
            {"solver", SolverJson(r.stats)},
            {"energy", EnergyJson(r.energy)},
            {"events", EventsJson(r.stats.events)},
            {"instances", std::move(instances)},
            {"all_instances", std::move(all)},
            {"reference", ReferenceJson(r.reference.get())},
            {"columns", r.columns},
            {"csv", PathOrNull(ending.csv)},
            {"plot", PathOrNull(ending.plot)},
            {"wall_time", ending.wallSeconds},
            {"exit_status", ending.exitStatus},
            {"message", ending.message}};
}

void WriteSummaryJson(OutputFile& file, const RunResult& result, const RunEnding& ending) {
    // Names and paths are the user's bytes: what is not UTF-8 is replaced
    // rather than failing the file.
    file.Stream() << SummaryJson(result, ending).dump(2, ' ', false, json::error_handler_t::replace) << "\n";
}

} // namespace dvx::sim
