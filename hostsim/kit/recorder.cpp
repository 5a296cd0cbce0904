#include "hostsim/kit/recorder.h"

#include <cstring>

namespace dvx::host {

namespace {
HostRecorder* gActive = nullptr;
}

HostRecorder::HostRecorder() {
    onService = [](char* buffer, const HostServiceRequest&, intptr_t argument) {
        if (buffer != nullptr && argument > 0) {
            std::strncpy(buffer, "instance", static_cast<size_t>(argument) - 1);
            buffer[argument - 1] = '\0';
        }
        return 0;
    };
    onReference = [](const char*, double* reference) {
        reference[0] = 1.0;
        reference[1] = 0.0;
    };
    onValue = [](const double*, double* value) { *value = 1.0; };
}

HostRecorder::~HostRecorder() {
    if (gActive == this) gActive = nullptr;
}

void HostRecorder::Activate() { gActive = this; }

void HostRecorder::Clear() {
    messages.clear();
    queries.clear();
}

size_t HostRecorder::CountQueries(intptr_t code) const {
    size_t n = 0;
    for (const QueryRecord& q : queries)
        if (q.code == code) ++n;
    return n;
}

int32_t DVX_CDECL HostRecorder::Message(int32_t severity, const char* text) {
    if (gActive != nullptr) gActive->messages.push_back({severity, text != nullptr ? text : "(null)"});
    return 0;
}

int32_t DVX_CDECL HostRecorder::Query(intptr_t code, intptr_t second, intptr_t third, intptr_t fourth) {
    HostRecorder* self = gActive;
    if (self == nullptr) return 1;
    QueryRecord record{code, second, third, fourth, {}, {}, {}, 0};
    switch (code) {
    case kQueryReference: {
        const char* name = reinterpret_cast<const char*>(second);
        if (name != nullptr) record.name = name;
        auto* reference = reinterpret_cast<double*>(fourth);
        if (reference != nullptr) self->onReference(name, reference);
        break;
    }
    case kQueryValue: {
        const auto* reference = reinterpret_cast<const double*>(third);
        if (reference != nullptr) record.reference = {reference[0], reference[1]};
        auto* value = reinterpret_cast<double*>(fourth);
        if (reference != nullptr && value != nullptr) self->onValue(reference, value);
        break;
    }
    case kQueryService: {
        const auto* request = reinterpret_cast<const HostServiceRequest*>(third);
        if (request != nullptr) {
            record.request = *request;
            record.result = self->onService(reinterpret_cast<char*>(second), *request, fourth);
        } else {
            record.result = 1;
        }
        break;
    }
    default: record.result = 1; break;
    }
    if (self->recordQueries) self->queries.push_back(record);
    return record.result;
}

} // namespace dvx::host
