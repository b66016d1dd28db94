#pragma once
// The records both drivers deliver alike: the reference values of the start
// record, the run information, the BLAS configuration, the relative
// enhancement of an iteration and the final record.

#include <string>

#include "driver/records.h"

// The reference values of a start record, under trace bit 0x1: "Jbest",
// with "Jbias", "Jmin", "Jmax" where positive.
void setReferenceValues(OutputRecord& r);

// "version" (the driver's version tag); under trace bit 0x100 with INFO
// set in the environment the build information "file", "date", "time",
// "march".
OutputRecord runInfoRecord(const char* version = "ZELK-2026.7.1527");

// "OpenBLAS", "core", "config", "np", "nt", "par".
OutputRecord blasRecord();

// 1000 enh / fStart, 0 when fStart is 0 (no relative change to measure).
double enhancementPerMille(double enh, double fStart);

// "J", "it", "status", "code", "exit".
OutputRecord finalRecord(double f, long iteration, int status, int code, const std::string& exit);
