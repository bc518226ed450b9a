// PTP responses and transport failures as driver results, in one table.
#pragma once

#include "driver_result.h"
#include "ptp/initiator.h"

DriverResult MapPtpResult(const ptp::Result& result);
