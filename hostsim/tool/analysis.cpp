#include "hostsim/tool/analysis.h"

#include "hostsim/tool/options.h"
#include "hostsim/tool/outputs.h"

#include "hostsim/sim/analyses.h"
#include "hostsim/sim/base/numbers.h"
#include "hostsim/sim/output/analysis_output.h"
#include "hostsim/sim/output/plot.h"
#include "hostsim/tool/tool.h"

#include <cmath>

namespace dvx::tool {

namespace {

sim::AnalysisOptions Options(const std::string& model, const std::string& library, std::optional<double> at,
                             const std::vector<std::string>& sets) {
    sim::AnalysisOptions o;
    if (model.empty()) throw sim::SimError("no MODEL given");
    o.model = model;
    o.library = library.empty() ? DefaultLibrary() : std::filesystem::path(library);
    o.at = at;
    for (const std::string& s : sets) {
        auto [place, value] = SplitAssignment(s, "--set", "PLACE=VALUE, for example --set RATIO.value=2.1");
        o.changes.push_back({std::move(place), std::move(value)});
    }
    return o;
}

} // namespace

void AnalysisCommands::AddCommon(CLI::App* command, Common& c, const char* csvText, const char* plotText) {
    command->add_option("MODEL", c.model, "Model file")->required();
    command->add_option("--lib", c.library, "Component library (default: the one beside this program)");
    c.atGiven = command->add_option("--at", c.at,
                                    "Linearise at this time [s]: the model runs there first (default: its start, "
                                    "from consistent values)");
    AddRepeatable(command, "--set", c.sets, "PLACE=VALUE: change a number of the model file, as for run (repeatable)");
    c.csvGiven = command->add_option("--csv", c.csv, csvText);
    c.plotGiven = command->add_option("--plot", c.plot, plotText);
}

AnalysisCommands::AnalysisCommands(CLI::App& app) : orders_(app) {
    modes_ = app.add_subcommand("modes", "Natural frequencies, damping ratios and mode shapes of the model "
                                         "linearised at a time");
    AddCommon(modes_, modesArgs_, "Write the modes table (one row per mode) to this CSV file",
              "Draw the shapes of the first modes into this .png or .svg file (needs gnuplot)");
    countGiven_ = modes_->add_option("--count", count_, "Only the N lowest modes (a rigid-body mode counts)");
    belowGiven_ = modes_->add_option("--below", below_, "Only the modes below this natural frequency [Hz]");
    energyGiven_ = modes_->add_option("--energy", energy_,
                                      "Write each mode's kinetic, strain and dissipated energy per element, and "
                                      "the sensitivity of its frequency to each J, c and d, to this CSV file");
    modes_->add_option("--solver", solver_,
                       "auto (default: the sparse shift-and-invert solver for --count or --below on a large "
                       "model, else the dense one), dense or sparse");
    response_ = app.add_subcommand("response", "Frequency response from a source's value to an output column of "
                                               "the model linearised at a time");
    AddCommon(response_, responseArgs_, "Write the response (one row per frequency) to this CSV file",
              "Draw the Bode plot into this .png or .svg file (needs gnuplot)");
    response_->add_option("--input", input_, "The torque_source or speed_source whose value is the input (its name)")
        ->required();
    response_->add_option("--output", output_, "The output column, as run writes it (wheels.omega, gearbox.M1)")
        ->required();
    response_->add_option("--from", from_, "Lowest frequency [Hz] (default 0.1)");
    response_->add_option("--to", to_, "Highest frequency [Hz] (default 100)");
    response_->add_option("--points", points_, "Frequencies on the logarithmic grid (default 300)");
}

sim::ModeRequest AnalysisCommands::ModeRequest() const {
    sim::ModeRequest q;
    if (countGiven_->count() > 0 && count_ < 1)
        throw sim::SimError("--count " + std::to_string(count_) + ": the number of modes must be at least 1");
    if (belowGiven_->count() > 0 && !(below_ > 0.0 && std::isfinite(below_)))
        throw sim::SimError("--below " + sim::ShortestText(below_) + ": the frequency must be a positive number [Hz]");
    if (!sim::ParseSolver(solver_, &q.solver))
        throw sim::SimError("--solver " + solver_ + ": the solver is auto, dense or sparse");
    q.count = countGiven_->count() > 0 ? count_ : 0;
    q.belowHz = belowGiven_->count() > 0 ? below_ : 0.0;
    sim::CheckModeRequest(q);
    return q;
}

std::optional<int> AnalysisCommands::Run(std::ostream& out, std::ostream& err) const {
    const bool modes = modes_->parsed(), response = response_->parsed();
    if (!modes && !response) return orders_.Run(out, err);
    const Common& c = modes ? modesArgs_ : responseArgs_;
    const sim::ModeRequest request = modes ? ModeRequest() : sim::ModeRequest{};
    // Every output is claimed before the work and put in place after it.
    if (c.plotGiven->count() > 0) sim::CheckPlotFile(c.plot);
    Outputs outputs;
    sim::OutputFile* csv = c.csvGiven->count() > 0 ? &outputs.Claim(c.csv, "--csv") : nullptr;
    sim::OutputFile* plot = c.plotGiven->count() > 0 ? &outputs.Claim(c.plot, "--plot") : nullptr;
    sim::OutputFile* energy = modes && energyGiven_->count() > 0 ? &outputs.Claim(energy_, "--energy") : nullptr;
    std::ostream& report = outputs.OnStandardOutput() ? err : out;
    const sim::AnalysisOptions o =
        Options(c.model, c.library, c.atGiven->count() > 0 ? std::optional<double>(c.at) : std::nullopt, c.sets);
    if (modes) {
        sim::AnalysisOptions mo = o;
        mo.modes = request;
        mo.energy = energy != nullptr;
        const sim::ModesResult r = sim::RunModes(mo, err);
        if (csv) sim::WriteModesCsv(r.set, *csv);
        if (energy) sim::WriteModalEnergyCsv(r.set, *r.energy, *energy);
        if (plot) sim::PlotModes(r, *plot);
        outputs.CommitAll();
        sim::PrintModes(r, report);
    } else {
        const sim::ResponseResult r = sim::RunResponse(o, input_, output_, {from_, to_, points_}, err);
        if (csv) sim::WriteResponseCsv(r.response, *csv);
        if (plot) sim::PlotResponse(r, *plot);
        outputs.CommitAll();
        sim::PrintResponse(r, report);
    }
    if (csv) report << "\nCSV written to " << c.csv << "\n";
    if (plot) report << "plot written to " << c.plot << "\n";
    if (energy) report << "energies written to " << energy_ << "\n";
    return 0;
}

void OrderCommands::AddSweep(CLI::App* command, Sweep& s, const char* csvText, const char* plotText) {
    command->add_option("MODEL", s.model, "Model file")->required();
    command->add_option("--lib", s.library, "Component library (default: the one beside this program)");
    command->add_option("--node", s.node, "The node whose speed is swept (the engine's)")->required();
    command->add_option("--from", s.from, "Lowest speed of the node [rpm]")->required();
    command->add_option("--to", s.to, "Highest speed of the node [rpm]")->required();
    command->add_option("--points", s.points, "Speeds, evenly spaced from --from to --to (default 200)");
    s.atGiven = command->add_option("--at", s.at,
                                    "Base time [s]: the hybrid elements' modes, and the speeds the node does not "
                                    "fix, are those the model has there (default: its start)");
    AddRepeatable(command, "--set", s.sets, "PLACE=VALUE: change a number of the model file, as for run (repeatable)");
    s.csvGiven = command->add_option("--csv", s.csv, csvText);
    s.plotGiven = command->add_option("--plot", s.plot, plotText);
}

OrderCommands::OrderCommands(CLI::App& app) {
    campbell_ = app.add_subcommand("campbell", "Campbell diagram: the natural frequencies over a node's speed, each "
                                               "at its steady operating point, with engine-order lines");
    AddSweep(campbell_, campbellArgs_, "Write the frequencies (one row per speed and mode) to this CSV file",
             "Draw the Campbell diagram into this .png or .svg file (needs gnuplot)");
    campbell_->add_option("--orders", orders_, "Engine orders, separated by commas (default 1,2)");
    operatingGiven_ = campbell_->add_option("--operating", operating_,
                                            "LO:HI: the operating speed range [rpm], shaded in the plot; the "
                                            "crossings table gives each crossing's margin from it");
    crossingsGiven_ = campbell_->add_option("--crossings", crossings_,
                                            "Write the crossings of modes and order lines to this CSV file");
    countGiven_ = campbell_->add_option("--count", count_, "Only the N lowest modes at each speed");
    orderResponse_ = app.add_subcommand("order-response", "Steady-state amplitude of outputs over a node's speed "
                                                          "under a harmonic of an engine order at sources");
    AddSweep(orderResponse_, orderArgs_, "Write the amplitudes and phases (one row per speed) to this CSV file",
             "Draw the amplitudes over speed into this .png or .svg file (needs gnuplot)");
    AddRepeatable(orderResponse_, "--input", inputs_,
                  "SOURCE[:AMPLITUDE[:PHASE_DEG]]: a torque or speed source carrying the harmonic (amplitude 1 "
                  "and phase 0 unless given; repeatable)")
        ->required();
    orderResponse_->add_option("--order", order_, "The engine order: the harmonic is order*rpm/60 Hz")->required();
    AddRepeatable(orderResponse_, "--output", outputs_,
                  "An output column, as run writes it (halfshaft.torque, gearbox.M2, wheels.omega; repeatable; "
                  "default: every named spring's torque)");
}

std::optional<int> OrderCommands::Run(std::ostream& out, std::ostream& err) const {
    if (campbell_->parsed()) return RunCampbell(out, err);
    if (orderResponse_->parsed()) return RunOrderResponse(out, err);
    return std::nullopt;
}

int OrderCommands::RunCampbell(std::ostream& out, std::ostream& err) const {
    const Sweep& s = campbellArgs_;
    // Every option is checked, and every output claimed, before the work.
    sim::CampbellOptions c;
    c.sweep = {s.node, {s.from, s.to, s.points}};
    sim::CheckSpeedGrid(c.sweep.grid);
    c.orders = sim::ParseOrders(orders_, "--orders");
    if (operatingGiven_->count() > 0) c.operating = sim::ParseOperatingRange(operating_, "--operating");
    sim::AnalysisOptions o = Options(s.model, s.library, s.atGiven->count() > 0 ? std::optional<double>(s.at)
                                                                                 : std::nullopt, s.sets);
    if (countGiven_->count() > 0 && count_ < 1)
        throw sim::SimError("--count " + std::to_string(count_) + ": the number of modes must be at least 1");
    o.modes.count = countGiven_->count() > 0 ? count_ : 0;
    if (s.plotGiven->count() > 0) sim::CheckPlotFile(s.plot);
    Outputs outputs;
    sim::OutputFile* csv = s.csvGiven->count() > 0 ? &outputs.Claim(s.csv, "--csv") : nullptr;
    sim::OutputFile* crossings = crossingsGiven_->count() > 0 ? &outputs.Claim(crossings_, "--crossings") : nullptr;
    sim::OutputFile* plot = s.plotGiven->count() > 0 ? &outputs.Claim(s.plot, "--plot") : nullptr;
    std::ostream& report = outputs.OnStandardOutput() ? err : out;
    const sim::CampbellResult r = sim::RunCampbell(o, c, err);
    if (csv) sim::WriteCampbellCsv(r.diagram, *csv);
    if (crossings) sim::WriteCrossingsCsv(r.diagram, *crossings);
    if (plot) sim::PlotCampbell(r, *plot);
    outputs.CommitAll();
    sim::PrintCampbell(r, report);
    if (csv) report << "\nCSV written to " << s.csv << "\n";
    if (crossings) report << "crossings written to " << crossings_ << "\n";
    if (plot) report << "plot written to " << s.plot << "\n";
    return 0;
}

int OrderCommands::RunOrderResponse(std::ostream& out, std::ostream& err) const {
    const Sweep& s = orderArgs_;
    sim::OrderResponseOptions r;
    r.sweep = {s.node, {s.from, s.to, s.points}};
    sim::CheckSpeedGrid(r.sweep.grid);
    if (!(order_ > 0.0) || !std::isfinite(order_))
        throw sim::SimError("--order " + sim::ShortestText(order_) + ": the order must be a positive number");
    r.order = order_;
    for (const std::string& text : inputs_) r.inputs.push_back(sim::ParseOrderInput(text, "--input"));
    r.outputs = outputs_;
    const sim::AnalysisOptions o = Options(s.model, s.library, s.atGiven->count() > 0 ? std::optional<double>(s.at)
                                                                                       : std::nullopt, s.sets);
    if (s.plotGiven->count() > 0) sim::CheckPlotFile(s.plot);
    Outputs outputs;
    sim::OutputFile* csv = s.csvGiven->count() > 0 ? &outputs.Claim(s.csv, "--csv") : nullptr;
    sim::OutputFile* plot = s.plotGiven->count() > 0 ? &outputs.Claim(s.plot, "--plot") : nullptr;
    std::ostream& report = outputs.OnStandardOutput() ? err : out;
    const sim::OrderResponseResult result = sim::RunOrderResponse(o, r, err);
    if (csv) sim::WriteOrderResponseCsv(result.response, *csv);
    if (plot) sim::PlotOrderResponse(result, *plot);
    outputs.CommitAll();
    sim::PrintOrderResponse(result, report);
    if (csv) report << "\nCSV written to " << s.csv << "\n";
    if (plot) report << "plot written to " << s.plot << "\n";
    return 0;
}

} // namespace dvx::tool
