#include "hostsim/sim/run.h"

#include "hostsim/sim/output/output_file.h"
#include "hostsim/sim/base/error.h"
#include "hostsim/sim/base/numbers.h"
#include "hostsim/sim/output/columns.h"
#include "hostsim/sim/integrators/integrator.h"
#include "hostsim/sim/placed_model.h"

#include <chrono>
#include <charconv>
#include <cmath>

namespace dvx::sim {

void ApplyOverrides(const RunOptions& o, Model& model) {
    Settings& s = model.settings;
    if (o.start) s.start = *o.start;
    if (o.stop) s.stop = *o.stop;
    if (o.step) s.step = *o.step;
    if (o.outputInterval) s.outputInterval = *o.outputInterval;
    if (o.method) s.method = *o.method;
    if (o.rtol) s.rtol = *o.rtol;
    if (o.atol) s.atol = *o.atol;
    if (o.maxStep) s.maxStep = *o.maxStep;
    if (o.maxSteps) s.maxSteps = *o.maxSteps;
    if (o.start || o.stop || o.step || o.outputInterval || o.rtol || o.atol || o.maxStep || o.maxSteps)
        CheckSettings(s, o.settingsOrigin);
    for (const auto& [name, text] : o.params) {
        bool found = false;
        for (Instance& inst : model.instances)
            if (inst.name == name) {
                inst.parameters = text;
                found = true;
            }
        if (!found) throw SimError("--param " + name + "=" + text + ": the model has no instance named '" + name + "'");
    }
}

namespace {

// Collects what the run produces: energies and residuals at every step,
// samples (and CSV rows) on the output grid, progress on a terminal.
class Recording : public Observer {
public:
    Recording(RunResult& result, Network& network, const Model& model, const ColumnChoice& choice, size_t outputCount,
              std::ostream* csv, ReferenceComparison* reference, const RunOptions& options, const Settings& settings,
              std::chrono::steady_clock::time_point began)
        : result_(result), network_(network), model_(model), recorded_(choice.instances), picks_(choice.picks), count_(outputCount),
          csv_(csv), reference_(reference), progress_(options.progress), keep_(options.keepSamples),
          settings_(settings), timeDigits_(TimeDigits(settings)), limit_(options.timeLimit),
          began_(began) {
        std::vector<const ElementUnit*> elements;
        for (size_t e : choice.elements) elements.push_back(model.elements[e].unit.get());
        network.SetRecorded(choice.instances, std::move(elements));
        if (csv_ != nullptr) {
            for (size_t c = 0; c < result.columns.size(); ++c) *csv_ << (c ? "," : "") << result.columns[c];
            *csv_ << "\n";
        }
    }

    void OnStep(double t, const std::vector<double>& y) override {
        Track(t, y);
        if (limit_) CheckTimeLimit(t);
    }

    void OnSample(const Sample& sample) override {
        const std::vector<double>& outputs = sample.outputs;
        const double t = sample.t;
        for (size_t r = 0; r < recorded_.size(); ++r)
            result_.reports[recorded_[r]].finals.assign(&outputs[r * count_], &outputs[r * count_] + count_);
        const double stored = network_.Stored(t, sample.y.data());
        if (samples_++ == 0) result_.energy.storedStart = stored;
        result_.energy.storedEnd = stored;
        std::vector<double> row{t};
        row.reserve(picks_.size() + 1);
        for (size_t k : picks_) row.push_back(outputs[k]);
        for (size_t c = 1; c < row.size() && !result_.nonFinite.seen; ++c)
            if (!std::isfinite(row[c])) result_.nonFinite = {true, result_.columns[c], row[c], t};
        if (reference_ != nullptr) reference_->Add(row);
        if (csv_ != nullptr) {
            std::ostream& s = *csv_;
            s << FormatNumber(row[0], timeDigits_);
            for (size_t c = 1; c < row.size(); ++c) s << "," << FormatNumber(row[c]);
            s << "\n";
        }
        if (keep_) result_.samples.push_back(std::move(row));
        if (progress_) ShowProgress(t);
    }

    void EndProgress() {
        if (shown_) std::fputs("\r                                        \r", stderr);
    }

private:
    // The largest residual of every instance's own equation, with its time,
    // and the largest speed of its successor, the scale of that residual.
    void Track(double t, const std::vector<double>& y) {
        for (size_t i = 0; i < result_.reports.size(); ++i) {
            InstanceReport& r = result_.reports[i];
            const double residual = std::abs(network_.InstanceResidual(i, t, y.data()));
            if (residual > r.maxResidual || (std::isnan(residual) && !std::isnan(r.maxResidual))) {
                r.maxResidual = residual;
                r.maxResidualAt = t;
            }
            const int rot2 = model_.instances[i].rot2;
            if (rot2 >= 0) r.speedScale = std::max(r.speedScale, std::abs(y[static_cast<size_t>(rot2)]));
        }
    }

    void CheckTimeLimit(double t) const {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count();
        if (seconds > *limit_)
            throw SimError("the run went past its time limit of " + FormatNumber(*limit_) + " s at t = " +
                           TimeText(t) + " s of " + FormatNumber(settings_.stop) + " s");
    }

    void ShowProgress(double t) {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastShown_ < std::chrono::milliseconds(200)) return;
        lastShown_ = now;
        shown_ = true;
        const double share = (t - settings_.start) / (settings_.stop - settings_.start);
        std::fprintf(stderr, "\r  t = %-12g %5.1f %%", t, 100.0 * share);
        std::fflush(stderr);
    }

    RunResult& result_;
    Network& network_;
    const Model& model_;
    long samples_ = 0;
    const std::vector<size_t>& recorded_;
    const std::vector<size_t>& picks_;
    size_t count_;
    std::ostream* csv_;
    ReferenceComparison* reference_;
    bool progress_;
    bool keep_;
    const Settings& settings_;
    int timeDigits_;
    std::optional<double> limit_;
    std::chrono::steady_clock::time_point began_;
    std::chrono::steady_clock::time_point lastShown_ = std::chrono::steady_clock::now();
    bool shown_ = false;
};

} // namespace

// The energy accounts once the run is over: transmitted energies go to the
// instances, supplied and dissipated ones to the model's balance.
static void TakeEnergies(Network& network, RunResult& result) {
    EnergyReport& e = result.energy;
    for (const EnergyAccount& account : network.Energies()) {
        switch (account.kind) {
        case EnergyKind::TransmittedIn: result.reports[account.unit].energyIn = account.value; break;
        case EnergyKind::TransmittedOut: result.reports[account.unit].energyOut = account.value; break;
        case EnergyKind::Supplied:
            e.supplied += account.value;
            e.elements.push_back(account);
            break;
        case EnergyKind::Dissipated:
            e.dissipated += account.value;
            e.elements.push_back(account);
            break;
        }
    }
}

RunResult RunSimulation(const RunOptions& options, std::ostream& log) {
    const auto began = std::chrono::steady_clock::now();
    Model parsed = options.modelText ? ParseModel(*options.modelText, options.model, options.changes)
                                     : LoadModel(options.model, options.changes);
    // A reference that cannot be read fails the run before it starts.
    std::optional<CsvTable> referenceTable;
    if (options.reference) referenceTable = ReadCsvTable(*options.reference);
    ApplyOverrides(options, parsed);
    RunResult result;
    result.model = options.model;
    result.library = options.library;
    result.settings = parsed.settings;
    result.plan = PlanSteps(parsed.settings);
    if (result.plan.stopOffGrid)
        log << "note: the stop time " << parsed.settings.stop << " is not on the output grid; its last sample is an "
            << "extra one at the stop time\n";

    PlacedModel placed(std::move(parsed), options.library, log, {options.logCalls, options.blocks, options.loaded});
    const Model& model = placed.model;
    const Settings& s = model.settings;
    Session& session = placed.session;
    Network& network = placed.network();
    result.backend = session.Library().Backend();
    result.outputNames = session.OutputNames();
    for (const Instance& inst : model.instances) result.reports.push_back({inst.name, {}, 0.0, 0.0, 0.0, 0.0, 0.0});
    const ColumnChoice choice = ChooseColumns(model, result.outputNames, options.outputs);
    const std::vector<size_t>& recorded = choice.instances;
    result.columns = choice.columns;
    std::shared_ptr<ReferenceComparison> reference;
    if (referenceTable) reference = std::make_shared<ReferenceComparison>(std::move(*referenceTable), result.columns);

    // The caller's CSV file, or one of the run's own, committed here.
    std::optional<OutputFile> ownCsv;
    OutputFile* csv = options.csvOutput;
    if (csv == nullptr && options.csv) csv = &ownCsv.emplace(*options.csv, "--csv");
    if (reference) reference->SetTimeDigits(TimeDigits(s));
    std::unique_ptr<Integrator> integrator = MakeIntegrator(s.method, network, session);
    Recording recording(result, network, model, choice, result.outputNames.size(), csv ? &csv->Stream() : nullptr,
                        reference.get(), options, s, began);
    try {
        result.stats = integrator->Run(s, recording);
    } catch (...) {
        recording.EndProgress();
        throw;
    }
    recording.EndProgress();
    for (const std::string& w : result.stats.warnings) log << "warning: " << w << "\n";
    TakeEnergies(network, result);
    result.energy.atEvents = result.stats.eventEnergy;
    result.energy.kept = s.energy;
    session.ReleaseAll();
    if (ownCsv) ownCsv->Commit();
    result.findings = CheckResult(result);
    std::vector<InstanceReport> shown;
    for (size_t i : recorded) shown.push_back(result.reports[i]);
    if (shown.size() != result.reports.size()) {
        InstanceReport all{"(all " + std::to_string(result.reports.size()) + ")", {}, 0.0, 0.0, 0.0, 0.0, 0.0, true};
        for (const InstanceReport& r : result.reports) {
            all.energyIn += r.energyIn;
            all.energyOut += r.energyOut;
            all.maxResidual = std::max(all.maxResidual, r.maxResidual);
            all.speedScale = std::max(all.speedScale, r.speedScale);
        }
        shown.push_back(all);
    }
    result.reports = std::move(shown);
    result.reference = std::move(reference);
    return result;
}

} // namespace dvx::sim
