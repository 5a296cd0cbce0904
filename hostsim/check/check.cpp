#include "hostsim/check/check.h"

#include "hostsim/sim/session/session.h"

namespace dvx::sim {

Checker::Checker(const host::ComponentLibrary& library, std::ostream& out) : lib(library), out_(out) {
    recorder.recordQueries = true;
    recorder.Activate();
}

bool Checker::Expect(bool ok, const std::string& what, const std::string& finding) {
    ++checks_;
    if (ok) {
        out_ << "ok       " << what << "\n";
    } else {
        ++findings_;
        out_ << "FINDING  " << what << (finding.empty() ? "" : ": " + finding) << "\n";
    }
    return ok;
}

host::HostInstance& Checker::NewInstance() {
    const uint16_t size = descriptor.instanceSize != 0 ? descriptor.instanceSize : uint16_t{kInstanceDataSize};
    const host::BlockLayout layout = SimulatorLayout(size);
    if (sharing == BlockSharing::PerInstance) {
        instances_.push_back(std::make_unique<host::HostInstance>(lib, layout));
    } else {
        if (!pool_) pool_ = std::make_unique<host::BlockPool>(layout);
        // A few places on, so that the offsets the component meets are not
        // the first ones.
        host::SharedPlace place = pool_->Next();
        for (int skip = 0; skip < 3; ++skip) place = pool_->Next();
        instances_.push_back(std::make_unique<host::HostInstance>(lib, place.layout, place.vector, place.matrix));
    }
    return *instances_.back();
}

void Checker::Case(const std::string& title, const std::function<void()>& body) {
    out_ << "-- " << title << "\n";
    recorder.Clear();
    body();
    std::vector<std::string> violations;
    for (auto& instance : instances_) {
        instance->callInstanceHandle = instance->InstanceHandle();
        instance->callInterfaceHandle = instance->InterfaceHandle();
        instance->Release();
        violations.insert(violations.end(), instance->lockViolations.begin(), instance->lockViolations.end());
    }
    instances_.clear();
    pool_.reset();
    Expect(violations.empty(), "every call gave back every lock it took",
           violations.empty() ? "" : violations.front() + " (" + std::to_string(violations.size()) + " in all)");
}

int RunConformance(const std::filesystem::path& path, std::ostream& out) {
    std::unique_ptr<host::ComponentLibrary> library;
    try {
        library = host::LoadComponentLibrary(path);
    } catch (const std::exception& e) {
        out << "FINDING  " << e.what() << "\n\n1 finding: the library cannot be checked\n";
        return 1;
    }
    out << "checking " << path.string() << "\n";
    Checker c(*library, out);
    CheckStartup(c);
    CheckCatalogue(c);
    if (c.descriptor.instanceSize == 0) {
        out << "\nno instance can be placed: the descriptor announces no instance size\n";
    } else {
        // Every case twice: each instance with blocks of its own, then in
        // VectorBlocks and MatrixBlocks that instances share, at large offsets.
        for (BlockSharing sharing : {BlockSharing::PerInstance, BlockSharing::Shared}) {
            c.sharing = sharing;
            const std::string blocks =
                sharing == BlockSharing::Shared ? " (shared blocks)" : " (blocks of its own)";
            c.Case("statuses of the call frame" + blocks, [&] { CheckStatuses(c); });
            c.Case("a numeric K through set-up, output lookup, layout, step and release" + blocks,
                   [&] { CheckNumericProtocol(c); });
            c.Case("a named K resolved through the query callback" + blocks, [&] { CheckNamedProtocol(c); });
            c.Case("messages" + blocks, [&] { CheckMessages(c); });
        }
    }
    out << "\n" << c.Checks() << " checks, " << c.Findings() << (c.Findings() == 1 ? " finding" : " findings") << "\n";
    return c.Findings();
}

} // namespace dvx::sim
