// The checker's findings on what was read successfully: losses the reader
// keeps for compatibility and values that contradict each other.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "audit_data.h"
#include "headers.h"
#include "info.h"
#include "parameters.h"

namespace vorn {

// Header texts that lose spaces, dates that are no dates; `raw` is the header
// block as stored.
std::vector<Fault> header_findings(const Headers& headers, std::span<const std::uint8_t> raw);

// Parameter names and text values that lose spaces, names given twice; `raw`
// is the block as stored, from `param_start`.
std::vector<Fault> parameter_findings(const Parameters& parameters, std::uint64_t param_start,
                                      std::span<const std::uint8_t> raw);

// Points and sections not read, empty sections, bytes after everything read.
std::vector<Fault> data_findings(const Headers& headers, const DataPlan& plan, std::uint64_t file_size,
                                 std::uint64_t parameter_records);

std::vector<Fault> non_finite_findings(const std::vector<NonFiniteSamples>& scanned);

// Where the summary failed: the dimension number, or the digital-filter
// parameter that the figure's computation cannot take.
Fault summary_failure(const Headers& headers, const Parameters& parameters);

// A digital filter that is described but has no figure, or no finite one; axis
// ranges that contradict the spectral width and the offset.
std::vector<Fault> summary_findings(const Headers& headers, const Parameters& parameters, const Info& info);

}  // namespace vorn
