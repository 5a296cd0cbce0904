// The host's two callbacks, recording everything the component sends and
// answering queries as a test or the simulator scripts them.
//
// The component holds plain function pointers, so the callbacks reach the
// active recorder through one process-wide pointer; a recorder makes itself
// active with Activate() and stops being active when it is destroyed.
#pragma once

#include "host/boundary.h"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dvx::host {

struct MessageRecord {
    int32_t severity = 0;
    std::string text;
};

struct QueryRecord {
    intptr_t code = 0;
    intptr_t second = 0;
    intptr_t third = 0;
    intptr_t fourth = 0;
    std::string name;                        // code 0: the quantity name
    std::array<double, 2> reference{};      // code 1: the reference it carried
    std::optional<HostServiceRequest> request; // code 4: the request record
    int32_t result = 0;
};

class HostRecorder {
public:
    HostRecorder();
    ~HostRecorder();
    HostRecorder(const HostRecorder&) = delete;
    HostRecorder& operator=(const HostRecorder&) = delete;

    void Activate();

    std::vector<MessageRecord> messages;
    std::vector<QueryRecord> queries;
    // When false, queries are answered but not recorded (long simulations).
    bool recordQueries = true;

    // Code 4: fills the buffer for selector 4 (the instance name) and returns
    // the host's result. Default: writes "instance" and returns 0.
    std::function<int32_t(char* buffer, const HostServiceRequest& request, intptr_t argument)> onService;
    // Code 0: fills the reference of a named quantity. Default: 1, 0.
    std::function<void(const char* name, double* reference)> onReference;
    // Code 1: fills the value behind a reference. Default: 1.0.
    std::function<void(const double* reference, double* value)> onValue;

    void Clear();
    size_t CountQueries(intptr_t code) const;

    static int32_t DVX_CDECL Message(int32_t severity, const char* text);
    static int32_t DVX_CDECL Query(intptr_t code, intptr_t second, intptr_t third, intptr_t fourth);
};

} // namespace dvx::host
