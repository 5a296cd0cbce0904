// The loaded component as the simulator drives it: the library, the host's
// callbacks, the catalogue, and one placed instance per model instance.
//
// Every UDMMain call goes through Call(), which turns a non-zero status, an
// unbalanced lock, a severity-3 message or a query the host cannot answer
// into a SimError naming the instance and the call. Warnings (severity 2)
// go to the log stream.
#pragma once

#include "hostsim/kit/block_pool.h"
#include "hostsim/kit/instance.h"
#include "hostsim/kit/library.h"
#include "hostsim/kit/recorder.h"
#include "hostsim/sim/model/model.h"

#include <array>
#include <memory>
#include <ostream>
#include <string>
#include <unordered_map>
#include <vector>

namespace dvx::sim {

struct CatalogueEntry {
    std::string name;
    int32_t kind = 0;
    std::string description;
    std::string defaultValue;
    std::string nature;
};

// Reads ListNodeInfo2 from index 0 until it answers null; throws SimError
// when it never does.
std::vector<CatalogueEntry> ReadCatalogue(const host::ComponentLibrary& library);

const char* CallName(int32_t callType);

// Room the host gives each instance's MatrixBlock arrays.
inline constexpr int kEntryCapacity = 16;

// The blocks the simulator (and its conformance check) gives an instance:
// variables at 0 and right-hand side at 24 in a 48-byte VectorBlock, and
// kEntryCapacity entries in each MatrixBlock array. With shared blocks this
// is each instance's room in them.
host::BlockLayout SimulatorLayout(uint16_t instanceSize);

// How the simulator keeps the instances' VectorBlocks and MatrixBlocks:
// shared by as many instances as their 16-bit offsets reach, as a host with
// global vectors keeps them (the default), or one pair per instance.
enum class BlockSharing { Shared, PerInstance };

struct PlacedInstance {
    std::string name;
    std::unique_ptr<host::HostInstance> host;
    int entryCount = 0;
    std::vector<int32_t> rows, columns; // local numbering, after layout
    std::vector<double> outputIndex;    // per catalogue output, from call type 5
};

// A component library loaded once and shared by the sessions of a batch.
using SharedLibrary = std::shared_ptr<const host::ComponentLibrary>;

// Loads the library at `path`; throws SimError naming it.
SharedLibrary OpenLibrary(const std::filesystem::path& path);

class Session {
public:
    // Loads the library, checks its interface version, registers the
    // callbacks with UDMInit and reads the catalogue.
    Session(const std::filesystem::path& library, std::ostream& log, bool logCalls,
            BlockSharing sharing = BlockSharing::Shared);
    // The same with a library already loaded: UDMInit registers this
    // session's callbacks again, as for a library just loaded.
    Session(SharedLibrary library, std::ostream& log, bool logCalls, BlockSharing sharing = BlockSharing::Shared);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const host::ComponentLibrary& Library() const { return *library_; }
    const std::vector<CatalogueEntry>& Catalogue() const { return catalogue_; }
    const std::vector<std::string>& OutputNames() const { return outputs_; }
    const ModelDescriptor& Descriptor() const { return descriptor_; }

    // The quantities that parameter texts may name, and the simulation time
    // at which the query callback evaluates them.
    void SetQuantities(const std::vector<Quantity>* quantities) { quantities_ = quantities; }
    void SetTime(double t) { time_ = t; }

    // Places an instance: set-up with `parameters`, output lookup, layout.
    size_t Place(const std::string& name, const std::string& parameters);
    size_t Count() const { return instances_.size(); }
    const PlacedInstance& At(size_t i) const { return instances_[i]; }

    // Call type 3 with the three variables written first; the entries'
    // values and the right-hand side are read back.
    void Step(size_t i, const std::array<double, 3>& variables, double* values, double* rhs);
    long StepCalls() const { return stepCalls_; }
    // Every catalogue output through call type 6, in catalogue order.
    void ReadOutputs(size_t i, double* out);
    // Call type 7 for every instance; errors are logged, not thrown.
    void ReleaseAll();

private:
    int32_t Call(size_t i, int32_t callType, char* text, double* in, double* out);
    void Drain(size_t i, int32_t callType, int32_t status);
    void AnswerQueries();

    std::ostream& log_;
    bool logCalls_;
    SharedLibrary library_;
    BlockSharing sharing_;
    std::unique_ptr<host::BlockPool> pool_; // with shared blocks, once the instance size is known
    host::HostRecorder recorder_;
    ModelDescriptor descriptor_{};
    std::vector<CatalogueEntry> catalogue_;
    std::vector<std::string> outputs_;
    std::vector<PlacedInstance> instances_;
    std::unordered_map<uint32_t, size_t> byHandle_;
    const std::vector<Quantity>* quantities_ = nullptr;
    double time_ = 0.0;
    std::string pendingError_; // a query the host could not answer during the current call
    size_t warnings_ = 0;
    long stepCalls_ = 0;
    bool released_ = false;
};

} // namespace dvx::sim
