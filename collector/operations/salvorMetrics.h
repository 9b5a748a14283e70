// The collector's counters, and the metrics file that shows them: text in
// the text exposition format that a node exporter's text file collector
// reads (help and type for every family, counters named with _total),
// written whole (a new temporary file renamed over the old one) every
// SALVOR_METRICS_PERIOD_SEC seconds and at stop. Counting costs an addition; the
// file is written only when <metricsFile> is set.
#pragma once

#include <cstdint>

#include "collector/operations/salvorOpsCounters.h"
#include "collector/receive/salvorCounters.h"

constexpr uint64_t SALVOR_METRICS_PERIOD_SEC = 15;

/*
 * Has the metrics file written at the loop's start, when due between
 * datagrams, and at its stop (call once before the loop runs).
 */
void SalvorMetricsSubscribe();

// Starts the metrics: the start time, and the first file at once.
void SalvorMetricsStart();
// Writes the file when its period has passed since the last one.
void SalvorMetricsWriteIfDue();
// Writes the file now (at stop).
void SalvorMetricsWrite();
