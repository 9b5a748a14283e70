// The service control manager's vocabulary: the states a service reports,
// the control requests it receives, the controls it accepts and the status
// record. Shared by the service host, which fills the record, and each
// back end of salvorScm.h, which maps it onto its manager.
#pragma once

#include <cstdint>

// Service states of the status record.
enum : uint32_t {
   SALVOR_STATE_STOPPED = 1,
   SALVOR_STATE_START_PENDING = 2,
   SALVOR_STATE_STOP_PENDING = 3,
   SALVOR_STATE_RUNNING = 4,
};

// Control requests delivered to the service's handler.
enum : uint32_t {
   SALVOR_CONTROL_STOP = 1,
   SALVOR_CONTROL_INTERROGATE = 4,
   SALVOR_CONTROL_SHUTDOWN = 5,
};

// Controls the service accepts: stop (1) and shutdown (4).
constexpr uint32_t SALVOR_ACCEPT_STOP_SHUTDOWN = 5;

// The record's Win32 exit code of a service that stopped on a failure of
// its own, whose service-specific exit code then says which.
constexpr uint32_t SALVOR_EXIT_SERVICE_SPECIFIC = 1066;

// The service status record: what the service last reported.
struct SalvorServiceStatus {
   uint32_t serviceType;
   uint32_t currentState;
   uint32_t controlsAccepted;
   uint32_t win32ExitCode;
   uint32_t serviceSpecificExitCode;
   uint32_t checkPoint;
   uint32_t waitHint;
};
