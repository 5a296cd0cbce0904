// The registered host callbacks and the small wrappers through which the
// component asks the host for something. Every wrapper tolerates a host that
// has not registered its callbacks yet (UDMInit not called): a message is then
// dropped and a request fails.
#pragma once

#include "host/boundary.h"

extern HostMessageCallback gMessageCallback;
extern HostQueryCallback gQueryCallback;

// Sends a finished text.
void SendHostMessage(int32_t severity, const char* text);

// Host-service requests with selectors 1.0 to 4.0: each builds a request
// record on the stack and calls the query callback with code 4, the pointer
// argument, the record and the integer argument, and returns the callback's
// result unchanged (-1 when no callback is registered). Selectors 1 to 3 are
// offered to components; this one uses only selector 4, the instance name.
int32_t RequestSelector1(HostQueryCallback query, void* pointer, int32_t argument);
int32_t RequestSelector2(HostQueryCallback query, void* pointer, int32_t argument);
int32_t RequestSelector3(HostQueryCallback query, void* pointer, int32_t argument);
int32_t RequestSelector4(HostQueryCallback query, void* pointer, int32_t argument,
                         DvxHandle instanceHandle);

// Code 0: asks for the host's reference to the named quantity; the host fills
// reference[0] and reference[1]. Nothing is asked without a callback.
void QueryReference(const char* name, double reference[2]);

// Code 1: asks for the current value of the quantity behind a reference. The
// value stays as the caller set it when no callback is registered.
void QueryValue(const double reference[2], double* value);
