#include "hostsim/sim/session/session.h"

#include <cstring>
#include <sstream>

namespace dvx::sim {

namespace {

constexpr int kCatalogueLimit = 256;
constexpr size_t kWarningLimit = 20;

std::string Bounded(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

std::string StatusMeaning(int32_t status) {
    switch (status) {
    case kStatusMissingHandle: return " (a required handle is zero)";
    case kStatusLockFailed: return " (a block could not be locked)";
    case kStatusBadOutputIndex: return " (an invalid output index)";
    default: return "";
    }
}

// The reference a code-0 query receives: the quantity's index plus one and a
// check number, so that a reference the host never gave out is recognised.
double CheckNumber(size_t index) { return static_cast<double>((index * 7919u + 4711u) % 1000003u); }

} // namespace

host::BlockLayout SimulatorLayout(uint16_t instanceSize) {
    host::BlockLayout layout;
    layout.instanceSize = instanceSize;
    layout.interfaceSize = 64;
    layout.vectorSize = 48;
    layout.variablesOffset = 0;
    layout.rhsOffset = 24;
    layout.matrixSize = kEntryCapacity * (4 + 4 + 8);
    layout.columnsOffset = 0;
    layout.rowsOffset = kEntryCapacity * 4;
    layout.valuesOffset = kEntryCapacity * 8;
    return layout;
}

const char* CallName(int32_t callType) {
    switch (callType) {
    case kCallSetup: return "set-up";
    case kCallLayout: return "layout";
    case kCallStep: return "step";
    case kCallOutputLookup: return "output lookup";
    case kCallOutputValue: return "output value";
    case kCallRelease: return "release";
    default: return "other";
    }
}

std::vector<CatalogueEntry> ReadCatalogue(const host::ComponentLibrary& library) {
    std::vector<CatalogueEntry> entries;
    for (int32_t i = 0; i < kCatalogueLimit; ++i) {
        const NodeInfo* info = library.ListNodeInfo(i);
        if (info == nullptr) return entries;
        entries.push_back({Bounded(info->name, kNodeTextSize), info->kind,
                           Bounded(info->description, kNodeTextSize),
                           Bounded(info->defaultValue, kDefaultValueSize), Bounded(info->nature, kNodeTextSize)});
    }
    throw SimError("the component library " + library.Path().string() + ": ListNodeInfo2 answers more than " +
                   std::to_string(kCatalogueLimit) + " entries and never null");
}

SharedLibrary OpenLibrary(const std::filesystem::path& path) {
    try {
        return host::LoadComponentLibrary(path);
    } catch (const std::runtime_error& e) {
        throw SimError(e.what());
    }
}

Session::Session(const std::filesystem::path& library, std::ostream& log, bool logCalls, BlockSharing sharing)
    : Session(OpenLibrary(library), log, logCalls, sharing) {}

Session::Session(SharedLibrary library, std::ostream& log, bool logCalls, BlockSharing sharing)
    : log_(log), logCalls_(logCalls), library_(std::move(library)), sharing_(sharing) {
    const std::string where = "the component library " + library_->Path().string();
    const int32_t version = library_->GetVersionNumber();
    if (version != kInterfaceVersion)
        throw SimError(where + " implements interface version " + std::to_string(version) +
                       "; this host drives version " + std::to_string(kInterfaceVersion));
    AnswerQueries();
    recorder_.recordQueries = false;
    recorder_.Activate();
    const int32_t init = library_->Init(&host::HostRecorder::Message, &host::HostRecorder::Query, &descriptor_);
    if (init != 0) throw SimError(where + ": UDMInit returned " + std::to_string(init));
    if (descriptor_.instanceSize == 0) throw SimError(where + ": UDMInit announced instance records of 0 bytes");
    catalogue_ = ReadCatalogue(*library_);
    std::vector<std::string> nodes;
    for (const CatalogueEntry& e : catalogue_) {
        if (e.kind == kKindNode) nodes.push_back(e.name);
        if (e.kind == kKindOutput) outputs_.push_back(e.name);
    }
    if (nodes != std::vector<std::string>{"ROT1", "ROT2"})
        throw SimError(where + ": the catalogue must list the nodes ROT1 and ROT2, in this order");
    for (const char* needed : {"M1", "M2", "OMEGA1", "OMEGA2", "K"}) {
        bool found = false;
        for (const std::string& o : outputs_) found = found || o == needed;
        if (!found) throw SimError(where + ": the catalogue lists no output " + needed);
    }
}

Session::~Session() {
    if (!released_) ReleaseAll();
}

void Session::AnswerQueries() {
    recorder_.onService = [this](char* buffer, const HostServiceRequest& request, intptr_t size) -> int32_t {
        auto it = byHandle_.find(request.handle);
        const bool ok = request.selector == 4.0 && buffer != nullptr && size > 0 && it != byHandle_.end();
        if (logCalls_)
            log_ << "  query 4: selector " << request.selector << ", handle " << request.handle << ", size " << size
                 << (ok ? " -> \"" + instances_[it->second].name + "\"" : std::string(" -> refused")) << "\n";
        if (!ok) return 1;
        const std::string& name = instances_[it->second].name;
        const size_t n = std::min(name.size(), static_cast<size_t>(size) - 1);
        std::memcpy(buffer, name.data(), n);
        buffer[n] = '\0';
        return 0;
    };
    recorder_.onReference = [this](const char* name, double* reference) {
        reference[0] = 0.0;
        reference[1] = 0.0;
        const std::string wanted = name != nullptr ? name : "";
        std::string known;
        for (size_t i = 0; quantities_ != nullptr && i < quantities_->size(); ++i) {
            if ((*quantities_)[i].name == wanted) {
                reference[0] = static_cast<double>(i + 1);
                reference[1] = CheckNumber(i);
            }
            known += (known.empty() ? "" : ", ") + (*quantities_)[i].name;
        }
        if (reference[0] == 0.0 && pendingError_.empty())
            pendingError_ = "the parameter text names \"" + wanted + "\", which is not a quantity of the model" +
                            (known.empty() ? std::string(" (the model has none)") : " (quantities: " + known + ")");
        if (logCalls_) log_ << "  query 0: \"" << wanted << "\" -> " << reference[0] << ", " << reference[1] << "\n";
    };
    recorder_.onValue = [this](const double* reference, double* value) {
        const double first = reference[0];
        const size_t count = quantities_ != nullptr ? quantities_->size() : 0;
        const bool valid = first >= 1.0 && first <= static_cast<double>(count) && first == static_cast<double>(static_cast<size_t>(first)) &&
                           reference[1] == CheckNumber(static_cast<size_t>(first) - 1);
        if (!valid && pendingError_.empty()) {
            std::ostringstream text;
            text << "the component asked for the value behind the reference (" << reference[0] << ", "
                 << reference[1] << "), which the host never gave out";
            pendingError_ = text.str();
        }
        if (!valid) {
            *value = 0.0;
        } else {
            *value = Evaluate((*quantities_)[static_cast<size_t>(first) - 1].wave, time_);
        }
        if (logCalls_) log_ << "  query 1: (" << reference[0] << ", " << reference[1] << ") at t = " << time_
                            << " -> " << *value << "\n";
    };
}

int32_t Session::Call(size_t i, int32_t callType, char* text, double* in, double* out) {
    pendingError_.clear();
    PlacedInstance& inst = instances_[i];
    inst.host->lockViolations.clear();
    const int32_t status = inst.host->Call(callType, text, in, out);
    if (logCalls_) log_ << "call " << callType << " (" << CallName(callType) << ") of '" << inst.name
                        << "': status " << status << "\n";
    Drain(i, callType, status);
    return status;
}

void Session::Drain(size_t i, int32_t callType, int32_t status) {
    const PlacedInstance& inst = instances_[i];
    // The common case, on every call of every step: nothing to report.
    if (status == kStatusOk && recorder_.messages.empty() && inst.host->lockViolations.empty() &&
        pendingError_.empty())
        return;
    const std::string where = "instance '" + inst.name + "', call type " + std::to_string(callType) + " (" +
                              CallName(callType) + "): ";
    std::vector<host::MessageRecord> messages;
    messages.swap(recorder_.messages);
    for (const host::MessageRecord& m : messages) {
        if (m.severity >= kSeverityError)
            throw SimError(where + "the component reported an error (severity " + std::to_string(m.severity) +
                           "): " + m.text);
        if (warnings_++ < kWarningLimit)
            log_ << "warning: " << where << Printable(m.text) << "\n";
        else if (warnings_ == kWarningLimit + 1)
            log_ << "warning: further warnings of the component are not shown\n";
    }
    if (!inst.host->lockViolations.empty()) throw SimError(where + inst.host->lockViolations.front());
    if (!pendingError_.empty()) throw SimError(where + pendingError_);
    if (status != kStatusOk)
        throw SimError(where + "UDMMain returned status " + std::to_string(status) + StatusMeaning(status));
}

size_t Session::Place(const std::string& name, const std::string& parameters) {
    // The component's number syntax reads this much of a parameter text; a
    // longer one is the host's to point out (the component says nothing).
    constexpr size_t kNumberText = 127;
    if (parameters.size() > kNumberText)
        log_ << "warning: instance '" << name << "': its parameter text has " << parameters.size()
             << " characters, and the component's number syntax reads only the first " << kNumberText << "\n";
    const host::BlockLayout layout = SimulatorLayout(descriptor_.instanceSize);
    std::unique_ptr<host::HostInstance> host;
    if (sharing_ == BlockSharing::Shared) {
        if (!pool_) pool_ = std::make_unique<host::BlockPool>(layout);
        const host::SharedPlace place = pool_->Next();
        host = std::make_unique<host::HostInstance>(*library_, place.layout, place.vector, place.matrix);
    } else {
        host = std::make_unique<host::HostInstance>(*library_, layout);
    }
    const size_t i = instances_.size();
    instances_.push_back({name, std::move(host), 0, {}, {}, {}});
    PlacedInstance& inst = instances_.back();
    byHandle_[inst.host->InstanceHandle()] = i;

    std::vector<char> text(parameters.begin(), parameters.end());
    text.push_back('\0');
    Call(i, kCallSetup, text.data(), nullptr, nullptr);
    const int entries = inst.host->ReadInterface().jacobianEntries;
    if (entries < 1 || entries > kEntryCapacity)
        throw SimError("instance '" + name + "', call type 1 (set-up): the component declared " +
                       std::to_string(entries) + " Jacobian entries; this host has room for 1 to " +
                       std::to_string(kEntryCapacity));
    inst.entryCount = entries;
    for (const std::string& output : outputs_) {
        std::vector<char> buffer(output.begin(), output.end());
        buffer.push_back('\0');
        double index = 0.0;
        Call(i, kCallOutputLookup, buffer.data(), nullptr, &index);
        if (index == 0.0)
            throw SimError("instance '" + name + "', call type 5 (output lookup): the catalogue's output " + output +
                           " has no index");
        inst.outputIndex.push_back(index);
    }
    Call(i, kCallLayout, nullptr, nullptr, nullptr);
    const size_t n = static_cast<size_t>(entries);
    inst.rows.resize(n);
    inst.columns.resize(n);
    const host::BlockLayout& b = inst.host->Blocks();
    host::ReadBlockBytes(inst.host->MatrixHandle(), b.rowsOffset, inst.rows.data(), n * sizeof(int32_t));
    host::ReadBlockBytes(inst.host->MatrixHandle(), b.columnsOffset, inst.columns.data(), n * sizeof(int32_t));
    for (size_t e = 0; e < n; ++e)
        if (inst.rows[e] < 0 || inst.rows[e] > 2 || inst.columns[e] < 0 || inst.columns[e] > 2)
            throw SimError("instance '" + name + "', call type 2 (layout): entry " + std::to_string(e) +
                           " lies at row " + std::to_string(inst.rows[e]) + ", column " +
                           std::to_string(inst.columns[e]) + "; the component has local rows and columns 0 to 2");
    return i;
}

void Session::Step(size_t i, const std::array<double, 3>& variables, double* values, double* rhs) {
    PlacedInstance& inst = instances_[i];
    ++stepCalls_;
    pendingError_.clear();
    inst.host->lockViolations.clear();
    const int32_t status = inst.host->StepCall(variables, values, static_cast<size_t>(inst.entryCount), rhs);
    if (logCalls_) log_ << "call 3 (step) of '" << inst.name << "': status " << status << "\n";
    Drain(i, kCallStep, status);
}

void Session::ReadOutputs(size_t i, double* out) {
    PlacedInstance& inst = instances_[i];
    for (size_t j = 0; j < inst.outputIndex.size(); ++j) {
        double index = inst.outputIndex[j];
        Call(i, kCallOutputValue, nullptr, &index, &out[j]);
    }
}

void Session::ReleaseAll() {
    released_ = true;
    for (size_t i = 0; i < instances_.size(); ++i) {
        try {
            Call(i, kCallRelease, nullptr, nullptr, nullptr);
        } catch (const SimError& e) {
            log_ << "warning: " << e.what() << "\n";
        }
    }
}

} // namespace dvx::sim
