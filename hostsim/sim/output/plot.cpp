#include "hostsim/sim/output/plot.h"

#include "hostsim/sim/base/error.h"
#include "hostsim/sim/base/numbers.h"

#include <algorithm>
#include <memory>
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <system_error>

namespace dvx::sim {

namespace {

#if defined(_WIN32)
constexpr char kPathSeparator = ';';
constexpr const char* kProgram = "gnuplot.exe";
#else
constexpr char kPathSeparator = ':';
constexpr const char* kProgram = "gnuplot";
#endif

// An argument for the command interpreter that std::system uses.
std::string ShellQuoted(const std::string& text) {
#if defined(_WIN32)
    return "\"" + text + "\"";
#else
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
#endif
}

// The quantity a column shows, by its output's name (after the last '.'):
// its panel's label and the panel's place among the others.
struct Quantity {
    std::string label;
    int rank;
};

Quantity QuantityOf(const std::string& column) {
    const size_t dot = column.rfind('.');
    const std::string output = dot == std::string::npos ? column : column.substr(dot + 1);
    if (output == "OMEGA1" || output == "OMEGA2" || output == "omega" || output == "slip")
        return {"angular velocity [rad/s]", 0};
    if (output == "M1" || output == "M2" || output == "torque") return {"torque [Nm]", 1};
    if (output == "K") return {"ratio K", 2};
    if (output == "angle") return {"angle [rad]", 3};
    if (output == "mode") return {"mode", 5};
    return {output, 4};
}

struct Panel {
    Quantity quantity;
    std::vector<size_t> columns;
};

// Panels in rank order, each quantity once, columns in their own order.
std::vector<Panel> Panels(const std::vector<std::string>& columns) {
    std::vector<Panel> panels;
    for (size_t c = 1; c < columns.size(); ++c) {
        const Quantity q = QuantityOf(columns[c]);
        auto it = std::find_if(panels.begin(), panels.end(), [&](const Panel& p) { return p.quantity.label == q.label; });
        if (it == panels.end()) {
            panels.push_back({q, {}});
            it = panels.end() - 1;
        }
        it->columns.push_back(c);
    }
    std::stable_sort(panels.begin(), panels.end(),
                     [](const Panel& a, const Panel& b) { return a.quantity.rank < b.quantity.rank; });
    return panels;
}

// More series than this in one panel leave the key out: it would not fit.
constexpr size_t kKeyedSeries = 20;

std::string PlotCommand(const Panel& panel, const std::vector<std::string>& columns, const std::string& data,
                        const std::string& referenceData, const ReferenceComparison* reference) {
    const bool keyed = panel.columns.size() <= kKeyedSeries;
    const std::string style = panel.quantity.label == "mode" ? " with steps" : " with lines";
    std::vector<std::string> parts;
    // The reference first, so that the result is drawn over it.
    if (reference != nullptr)
        for (size_t k = 0; k < panel.columns.size(); ++k) {
            const size_t c = panel.columns[k];
            const size_t ref = reference->ReferenceColumnOf(c);
            if (ref == std::string::npos) continue;
            parts.push_back(referenceData + " using " + std::to_string(reference->Table().TimeColumn() + 1) + ":" +
                            std::to_string(ref + 1) + style + " dashtype 2 linecolor " + std::to_string(k + 1) +
                            (keyed ? " title " + GnuplotQuoted(columns[c] + " (reference)") : " notitle"));
        }
    for (size_t k = 0; k < panel.columns.size(); ++k) {
        const size_t c = panel.columns[k];
        parts.push_back(data + " using 1:" + std::to_string(c + 1) + style + " linewidth 1.5 linecolor " +
                        std::to_string(k + 1) + (keyed ? " title " + GnuplotQuoted(columns[c]) : " notitle"));
    }
    if (parts.empty()) return "plot 0 notitle";
    std::string plot = "plot ";
    for (size_t i = 0; i < parts.size(); ++i) plot += (i ? ", \\\n     " : "") + parts[i];
    return plot;
}

void WriteRows(const std::filesystem::path& file, const std::vector<std::vector<double>>& rows, int timeDigits,
               const std::filesystem::path& target) {
    std::ofstream d(file, std::ios::binary);
    for (const std::vector<double>& row : rows) {
        for (size_t c = 0; c < row.size(); ++c) d << (c ? "," : "") << FormatNumber(row[c], c == 0 ? timeDigits : 12);
        d << "\n";
    }
    if (!d) throw SimError(target.string() + ": cannot write the plot data " + file.string());
}

} // namespace

std::string GnuplotQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

std::filesystem::path FindGnuplot() {
    if (const char* named = std::getenv("DVX_GNUPLOT"); named != nullptr && *named != '\0')
        return std::filesystem::exists(named) ? std::filesystem::path(named) : std::filesystem::path();
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, kPathSeparator)) {
        if (dir.empty()) continue;
        const std::filesystem::path candidate = std::filesystem::path(dir) / kProgram;
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error)) return candidate;
    }
    return {};
}

std::string PlotFormat(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext == ".png" || ext == ".svg" ? ext.substr(1) : std::string();
}

void CheckPlotFile(const std::filesystem::path& file) {
    if (PlotFormat(file).empty())
        throw SimError("--plot " + file.string() + ": the plot file must end in .png or .svg");
    if (FindGnuplot().empty())
        throw SimError("--plot " + file.string() + ": no plot, because gnuplot was not found on the PATH (install it, "
                       "for example the Debian package gnuplot-nox, or name the program in DVX_GNUPLOT)");
}

void PlotRun(const std::vector<std::string>& columns, const std::vector<std::vector<double>>& samples,
             OutputFile& image, const std::string& title, const ReferenceComparison* reference, int timeDigits) {
    const std::filesystem::path& file = image.Path();
    CheckPlotFile(file);
    const std::vector<Panel> panels = Panels(columns);
    const size_t count = std::max<size_t>(panels.size(), 1);
    std::vector<std::vector<std::vector<double>>> tables{samples};
    if (reference != nullptr) tables.push_back(reference->Table().rows);
    RunGnuplot(image, static_cast<int>(std::max<size_t>(750, 120 + 280 * count)), tables,
               [&](std::ostream& s, const std::vector<std::string>& data) {
                   const std::string referenceData = data.size() > 1 ? data[1] : std::string("''");
                   s << "set key outside right\n"
                     << "set grid\n"
                     << "set lmargin 10\nset rmargin 28\n"
                     << "set offsets 0, 0, graph 0.05, graph 0.05\n"
                     << "set multiplot layout " << count << ",1 title " << GnuplotQuoted(title) << "\n";
                   if (panels.empty()) s << "plot 0 notitle\n";
                   for (size_t i = 0; i < panels.size(); ++i) {
                       s << "set ylabel " << GnuplotQuoted(panels[i].quantity.label) << "\n";
                       if (i + 1 == panels.size()) s << "set xlabel 'time [s]'\n";
                       s << PlotCommand(panels[i], columns, data[0], referenceData, reference) << "\n";
                   }
                   s << "unset multiplot\n";
               },
               timeDigits);
}

void RunGnuplot(OutputFile& image, int height, const std::vector<std::vector<std::vector<double>>>& tables,
                const std::function<void(std::ostream&, const std::vector<std::string>&)>& body, int timeDigits) {
    const std::filesystem::path& file = image.Path();
    CheckPlotFile(file);
    const std::filesystem::path gnuplot = FindGnuplot();
    const std::filesystem::path output = image.Scratch();
    // Every file of gnuplot's goes again, whatever happens.
    const ScratchFile scriptFile("dolvanex-plot-"), errorsFile("dolvanex-plot-");
    const std::filesystem::path &script = scriptFile.Path(), &errors = errorsFile.Path();
    std::vector<std::unique_ptr<ScratchFile>> tableFiles;
    std::vector<std::string> data;
    for (size_t k = 0; k < tables.size(); ++k) {
        tableFiles.push_back(std::make_unique<ScratchFile>("dolvanex-plot-"));
        WriteRows(tableFiles.back()->Path(), tables[k], k == 0 ? timeDigits : 17, file);
        data.push_back(GnuplotQuoted(tableFiles.back()->Path().string()));
    }
    const std::string size = "1000," + std::to_string(height);
    {
        std::ofstream s(script, std::ios::binary);
        if (PlotFormat(file) == "svg")
            s << "set terminal svg size " << size << " dynamic noenhanced background rgb 'white'\n";
        else
            s << "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
              << "  set terminal pngcairo size " << size << " noenhanced\n"
              << "} else {\n"
              << "  set terminal png size " << size << " noenhanced\n"
              << "}\n";
        s << "set output " << GnuplotQuoted(output.string()) << "\n"
          << "set datafile separator ','\n";
        body(s, data);
        s << "set output\n";
        if (!s) throw SimError(file.string() + ": cannot write the plot script " + script.string());
    }
    const std::string command = ShellQuoted(gnuplot.string()) + " " + ShellQuoted(script.string()) + " 2>" +
                                ShellQuoted(errors.string());
#if defined(_WIN32)
    const int status = std::system(("\"" + command + "\"").c_str());
#else
    const int status = std::system(command.c_str());
#endif
    std::ifstream log(errors);
    std::stringstream text;
    text << log.rdbuf();
    log.close();
    std::error_code ignored;
    const auto bytes = std::filesystem::file_size(output, ignored);
    if (status != 0 || ignored || bytes == 0)
        throw SimError(file.string() + ": gnuplot (" + gnuplot.string() + ") failed: " + text.str());
}

} // namespace dvx::sim
