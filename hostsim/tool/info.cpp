// dolvanex-host info: what a library tells a host before any instance exists.
#include "hostsim/kit/recorder.h"
#include "hostsim/sim/session/session.h"
#include "hostsim/tool/tool.h"

#include <iomanip>

namespace dvx::tool {

namespace {

const char* KindName(int32_t kind) {
    switch (kind) {
    case kKindNode: return "node";
    case kKindParameter: return "parameter";
    case kKindOutput: return "output";
    default: return "?";
    }
}

} // namespace

int Info(const std::filesystem::path& path, std::ostream& out, std::ostream&) {
    std::unique_ptr<host::ComponentLibrary> library;
    try {
        library = host::LoadComponentLibrary(path);
    } catch (const std::runtime_error& e) {
        throw sim::SimError(e.what());
    }
    host::HostRecorder recorder;
    recorder.Activate();
    ModelDescriptor descriptor{};
    const int32_t version = library->GetVersionNumber();
    const int32_t options = library->ModelOptions();
    const int32_t init = library->Init(&host::HostRecorder::Message, &host::HostRecorder::Query, &descriptor);
    out << "library            " << path.string() << "\n"
        << "backend            " << library->Backend() << "\n"
        << "interface version  " << version << "\n"
        << "model options      " << options << "\n"
        << "UDMInit            " << init << "\n"
        << "descriptor         " << descriptor.fixedFirst << ", " << descriptor.instanceSize
        << " (bytes per instance), " << descriptor.fixedThird << "\n\n";
    const std::vector<sim::CatalogueEntry> entries = sim::ReadCatalogue(*library);
    out << std::left << std::setw(6) << "index" << std::setw(10) << "name" << std::setw(11) << "kind"
        << std::setw(52) << "description" << std::setw(9) << "default"
        << "nature\n";
    for (size_t i = 0; i < entries.size(); ++i) {
        const sim::CatalogueEntry& e = entries[i];
        out << std::setw(6) << i << std::setw(10) << e.name << std::setw(11) << KindName(e.kind) << std::setw(52)
            << e.description << std::setw(9) << (e.kind == kKindParameter ? e.defaultValue : "")
            << (e.kind == kKindNode ? e.nature : "") << "\n";
    }
    for (const host::MessageRecord& m : recorder.messages)
        out << "message (severity " << m.severity << "): " << m.text << "\n";
    return 0;
}

} // namespace dvx::tool
