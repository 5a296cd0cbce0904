#pragma once

#include "hostsim/sim/integrators/integrator.h"

namespace dvx::sim {

std::unique_ptr<Integrator> MakeFixedStep(Method method, Network& network, Session& session);
std::unique_ptr<Integrator> MakeIda(Network& network, Session& session);

} // namespace dvx::sim
