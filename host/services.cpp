#include "host/services.h"

HostMessageCallback gMessageCallback = nullptr;
HostQueryCallback gQueryCallback = nullptr;

void SendHostMessage(int32_t severity, const char* text) {
    if (gMessageCallback != nullptr) gMessageCallback(severity, text);
}

static int32_t SendRequest(HostQueryCallback query, double selector, DvxHandle handle,
                           void* pointer, int32_t argument) {
    if (query == nullptr) return -1;
    HostServiceRequest request;
    request.selector = selector;
    request.handle = handle;
    request.reserved = 0;
    return query(kQueryService, reinterpret_cast<intptr_t>(pointer),
                 reinterpret_cast<intptr_t>(&request), static_cast<intptr_t>(argument));
}

int32_t RequestSelector1(HostQueryCallback query, void* pointer, int32_t argument) {
    return SendRequest(query, 1.0, 0, pointer, argument);
}

int32_t RequestSelector2(HostQueryCallback query, void* pointer, int32_t argument) {
    return SendRequest(query, 2.0, 0, pointer, argument);
}

int32_t RequestSelector3(HostQueryCallback query, void* pointer, int32_t argument) {
    return SendRequest(query, 3.0, 0, pointer, argument);
}

int32_t RequestSelector4(HostQueryCallback query, void* pointer, int32_t argument,
                         DvxHandle instanceHandle) {
    return SendRequest(query, 4.0, instanceHandle, pointer, argument);
}

void QueryReference(const char* name, double reference[2]) {
    if (gQueryCallback == nullptr) return;
    gQueryCallback(kQueryReference, reinterpret_cast<intptr_t>(name), 0,
                   reinterpret_cast<intptr_t>(reference));
}

void QueryValue(const double reference[2], double* value) {
    if (gQueryCallback == nullptr) return;
    gQueryCallback(kQueryValue, 0, reinterpret_cast<intptr_t>(reference),
                   reinterpret_cast<intptr_t>(value));
}
