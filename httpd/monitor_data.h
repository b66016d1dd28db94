#pragma once
// The run's containers the monitor reads are part of the public monitor
// interface; the monitor's and the driver's own files reach them here too.
#include "zelk/monitor_data.h"
