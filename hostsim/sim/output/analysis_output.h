// What the analysis commands print and write: the modes table with the mode
// shapes, the frequency response, their CSV files and their plots.
//
// The CSV files are plain tables, one header line, then numbers, one row per
// mode or frequency; NaN is written "nan" (a rigid-body mode's damping
// ratio, the shape of a mode that moves no inertia).
//   modes:    mode, rigid (1 or 0), natural_hz, damped_hz, damping_ratio,
//             eigenvalue_real, eigenvalue_imag [1/s], then for every node
//             with inertia NODE.amplitude, NODE.phase_deg, NODE.energy_share
//   response: frequency_hz, magnitude_db, phase_deg, real, imag
//   campbell --csv: rpm, mode, natural_hz, damping_ratio, one row per speed
//             and traced mode where the mode is present
//   campbell --crossings: mode, order, rpm, frequency_hz, damping_ratio,
//             and with an operating range inside (1 or 0), margin_pct
//   modes --energy: mode, natural_hz, element, type, kinetic_share,
//             strain_share, dissipation_share, J, c, d, sensitivity_J,
//             sensitivity_c, sensitivity_d; one row per mode and element
//   order-response: rpm, frequency_hz, then per output COLUMN.amplitude,
//             COLUMN.phase_deg
#pragma once

#include "hostsim/sim/analysis/analysis_result.h"
#include "hostsim/sim/output/output_file.h"

#include <filesystem>
#include <ostream>

namespace dvx::sim {

void PrintModes(const ModesResult& result, std::ostream& out);
// The files are written into `file`, which the caller commits.
void WriteModesCsv(const ModeSet& set, OutputFile& file);
// The mode shapes of the first non-rigid modes (at most eight), one line per
// mode over the inertia nodes: the speed amplitude signed by its phase, and
// the share of the kinetic energy. Throws SimError when gnuplot fails.
void PlotModes(const ModesResult& result, OutputFile& file);

void WriteModalEnergyCsv(const ModeSet& set, const ModalEnergy& energy, OutputFile& file);

void PrintResponse(const ResponseResult& result, std::ostream& out);
void WriteResponseCsv(const FrequencyResponse& response, OutputFile& file);
// The Bode plot: magnitude [dB] and phase [deg] over a logarithmic frequency.
void PlotResponse(const ResponseResult& result, OutputFile& file);

void PrintCampbell(const CampbellResult& result, std::ostream& out);
void WriteCampbellCsv(const CampbellDiagram& diagram, OutputFile& file);
void WriteCrossingsCsv(const CampbellDiagram& diagram, OutputFile& file);
// The natural frequencies over speed, a line per traced mode, the order
// lines dashed, the crossings marked, the operating range shaded.
void PlotCampbell(const CampbellResult& result, OutputFile& file);

void PrintOrderResponse(const OrderResponseResult& result, std::ostream& out);
void WriteOrderResponseCsv(const OrderResponse& response, OutputFile& file);
// The amplitude of each output over speed, a line per output.
void PlotOrderResponse(const OrderResponseResult& result, OutputFile& file);

} // namespace dvx::sim
