#include "hostsim/sim/plot.h"

#include "hostsim/sim/atomic_file.h"
#include "hostsim/sim/model.h"
#include "hostsim/sim/run.h"

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

// A string for gnuplot's single quotes, in which '' stands for one quote.
std::string GnuplotQuoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
    return out + "'";
}

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

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Plot(const std::string& data, const std::vector<std::string>& columns, const char* a, const char* b) {
    std::string plot;
    for (size_t c = 1; c < columns.size(); ++c) {
        if (!EndsWith(columns[c], a) && !EndsWith(columns[c], b)) continue;
        plot += (plot.empty() ? "plot " + data : ", ''") + " using 1:" + std::to_string(c + 1) +
                " with lines title " + GnuplotQuoted(columns[c]);
    }
    return plot.empty() ? "plot 0 notitle" : plot;
}

} // namespace

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

void PlotRun(const std::vector<std::string>& columns, const std::vector<std::vector<double>>& samples,
             const std::filesystem::path& png, const std::string& title) {
    const std::filesystem::path gnuplot = FindGnuplot();
    if (gnuplot.empty())
        throw SimError(png.string() + ": no plot, because gnuplot was not found on the PATH (install it, for "
                       "example the Debian package gnuplot-nox, or name the program in DVX_GNUPLOT)");
    AtomicFile image(png);
    image.CloseStream();
    std::filesystem::path script = image.TempPath();
    script += ".gp";
    std::filesystem::path errors = image.TempPath();
    errors += ".log";
    std::filesystem::path csv = image.TempPath();
    csv += ".csv";
    {
        std::ofstream d(csv, std::ios::binary);
        for (const std::vector<double>& row : samples) {
            for (size_t c = 0; c < row.size(); ++c) d << (c ? "," : "") << FormatNumber(row[c]);
            d << "\n";
        }
        if (!d) throw SimError(png.string() + ": cannot write the plot data " + csv.string());
    }
    {
        std::ofstream s(script, std::ios::binary);
        const std::string data = GnuplotQuoted(csv.string());
        s << "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n"
          << "  set terminal pngcairo size 1000,750 noenhanced\n"
          << "} else {\n"
          << "  set terminal png size 1000,750 noenhanced\n"
          << "}\n"
          << "set output " << GnuplotQuoted(image.TempPath().string()) << "\n"
          << "set datafile separator ','\n"
          << "set key outside right\n"
          << "set grid\n"
          << "set lmargin 10\nset rmargin 24\n"
          << "set offsets 0, 0, graph 0.05, graph 0.05\n"
          << "set multiplot layout 2,1 title " << GnuplotQuoted(title) << "\n"
          << "set ylabel 'angular velocity [rad/s]'\n"
          << Plot(data, columns, ".OMEGA1", ".OMEGA2") << "\n"
          << "set xlabel 'time [s]'\n"
          << "set ylabel 'torque [Nm]'\n"
          << Plot(data, columns, ".M1", ".M2") << "\n"
          << "unset multiplot\n"
          << "set output\n";
        if (!s) throw SimError(png.string() + ": cannot write the plot script " + script.string());
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
    std::filesystem::remove(script, ignored);
    std::filesystem::remove(errors, ignored);
    std::filesystem::remove(csv, ignored);
    const auto size = std::filesystem::file_size(image.TempPath(), ignored);
    if (status != 0 || ignored || size == 0)
        throw SimError(png.string() + ": gnuplot (" + gnuplot.string() + ") failed: " + text.str());
    image.Commit();
}

} // namespace dvx::sim
