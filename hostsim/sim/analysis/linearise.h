// The model linearised about its state at a time T: the run's state there
// (every hybrid element in the mode it has at T) and the Jacobians
// A = dF/dy and B = dF/dy' of the network's residual at that point, taken
// from the units' own Jacobians (the component's through its step call at T).
//
// For a small deviation dy about the point, A*dy + B*dy' = 0: a slipping
// friction element contributes the derivative of its torque, a stuck one its
// rigid constraint, a backlash in its play nothing, each as its Jacobian in
// that mode says.
#pragma once

#include "hostsim/sim/model/model.h"
#include "hostsim/sim/network/network.h"
#include "hostsim/sim/session/session.h"

#include <Eigen/SparseCore>

#include <string>
#include <vector>

namespace dvx::sim {

struct LinearModel {
    double t = 0.0;
    std::vector<double> y;              // the state at t, every unknown
    Eigen::SparseMatrix<double> a, b;   // dF/dy and dF/dy', both of the network's pattern
    std::vector<std::string> modes;     // "LABEL: MODE" of every hybrid unit at t
};

// Throws SimError unless `at` lies within the model's time span.
void CheckAnalysisTime(const Settings& settings, double at, const std::string& option);

// Runs the model from its start to `at` (the consistent start alone when
// `at` is the start) with the model's method and tolerances, and linearises
// it there. The network keeps the modes of `at` afterwards.
LinearModel LineariseAt(const Model& model, Network& network, Session& session, double at);

// The Jacobians at a point of the network in the modes it has now.
void Jacobians(Network& network, double t, const std::vector<double>& y, LinearModel& into);

} // namespace dvx::sim
