// Conformance checks of a named K (the query callback's codes 0 and 1) and
// of the messages a library sends.
#include "hostsim/check/check.h"

namespace dvx::sim {

namespace {

using host::HostInstance;

double OutputValue(Checker& c, HostInstance& inst, const char* name) {
    for (const std::string& o : c.outputs)
        if (o == name) return inst.Value(inst.Lookup(name));
    return 0.0;
}

std::string Reference(const host::QueryRecord& q) {
    return "(" + std::to_string(q.reference[0]) + ", " + std::to_string(q.reference[1]) + ")";
}

} // namespace

void CheckNamedProtocol(Checker& c) {
    const host::HostRecorder defaults;
    HostInstance& inst = c.NewInstance();
    double value = 2.5;
    c.recorder.onReference = [](const char*, double* reference) {
        reference[0] = 12.0;
        reference[1] = -34.0;
    };
    c.recorder.onValue = [&value](const double*, double* out) { *out = value; };
    inst.Setup("RATIO");
    c.recorder.queries.clear();
    inst.Layout();
    size_t references = 0, values = 0;
    bool referenceShape = true, valueShape = true;
    for (const host::QueryRecord& q : c.recorder.queries) {
        if (q.code == kQueryReference) {
            ++references;
            referenceShape = referenceShape && q.name == "RATIO" && q.third == 0 && q.fourth != 0;
        }
        if (q.code == kQueryValue) {
            ++values;
            valueShape = valueShape && q.second == 0 && q.fourth != 0 && q.reference[0] == 12.0 &&
                         q.reference[1] == -34.0;
        }
    }
    c.Expect(references == 1 && referenceShape,
             "layout asks once for the reference of the quantity named \"RATIO\" (code 0)",
             std::to_string(references) + " requests" + (referenceShape ? "" : ", not of the expected shape"));
    c.Expect(values >= 1 && valueShape, "layout reads the value with the reference the host gave (code 1)",
             values == 0 ? "no value request" : "a request carried another reference or a null pointer");
    const double layoutK = OutputValue(c, inst, "K");
    c.Expect(layoutK == 2.5, "after layout K reads the host's value 2.5", "it reads " + std::to_string(layoutK));

    value = 4.0;
    c.recorder.queries.clear();
    inst.Step(8, 2, 1);
    const auto& queries = c.recorder.queries;
    const bool oneValue = queries.size() == 1 && queries[0].code == kQueryValue &&
                          queries[0].reference[0] == 12.0 && queries[0].reference[1] == -34.0;
    c.Expect(oneValue, "a step re-reads the value once with the same reference",
             queries.empty() ? "no query" : std::to_string(queries.size()) + " queries, the first with reference " +
                                                 Reference(queries[0]));
    const double stepK = OutputValue(c, inst, "K"), m2 = OutputValue(c, inst, "M2");
    c.Expect(stepK == 4.0 && m2 == 4.0, "after that step K reads 4 and M2 reads K times M1",
             "K " + std::to_string(stepK) + ", M2 " + std::to_string(m2));
    c.recorder.onReference = defaults.onReference;
    c.recorder.onValue = defaults.onValue;
}

void CheckMessages(Checker& c) {
    const host::HostRecorder defaults;
    std::vector<host::MessageRecord> all;
    auto keep = [&] { all.insert(all.end(), c.recorder.messages.begin(), c.recorder.messages.end()); };
    HostInstance& quiet = c.NewInstance();
    quiet.Setup("2");
    c.recorder.messages.clear();
    c.recorder.onService = [](char*, const HostServiceRequest&, intptr_t) { return 1; };
    const int32_t layout = quiet.Layout();
    c.recorder.onService = defaults.onService;
    bool warned = false;
    for (const host::MessageRecord& m : c.recorder.messages) warned = warned || m.severity == kSeverityWarning;
    keep();
    c.Expect(layout == kStatusOk && warned,
             "when the host cannot give the instance name, layout warns (severity 2) and completes",
             "status " + std::to_string(layout) + (warned ? "" : ", no warning"));

    HostInstance& odd = c.NewInstance();
    odd.Setup("2");
    InterfaceBlock block = odd.ReadInterface();
    block.jacobianEntries = static_cast<uint16_t>(block.jacobianEntries + 2);
    odd.WriteInterface(block);
    c.recorder.messages.clear();
    const int32_t status = odd.Layout();
    bool named = false;
    for (const host::MessageRecord& m : c.recorder.messages)
        named = named || (m.severity == kSeverityError && m.text.find("instance") != std::string::npos);
    keep();
    c.Expect(status == kStatusOk && named,
             "an entry count other than the declared one is reported as an error naming the instance",
             "status " + std::to_string(status) + (named ? "" : ", no such message"));

    HostInstance& many = c.NewInstance();
    c.recorder.messages.clear();
    const host::CallResult setup = many.Setup("2,3");
    bool told = false;
    for (const host::MessageRecord& m : c.recorder.messages) told = told || m.severity == kSeverityWarning;
    keep();
    c.Expect(setup.status == kStatusOk && told, "a second parameter field is answered with a warning",
             told ? "status " + std::to_string(setup.status) : "no warning");

    std::string bad;
    for (const host::MessageRecord& m : all)
        if ((m.severity != kSeverityWarning && m.severity != kSeverityError) || m.text.empty()) bad = m.text;
    c.Expect(bad.empty(), "messages carry severity 2 or 3 and a text", "\"" + bad + "\"");
}

} // namespace dvx::sim
