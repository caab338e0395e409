#ifndef HALV_TOOLS_COLLECT_COLLECT_REPORT_H_
#define HALV_TOOLS_COLLECT_COLLECT_REPORT_H_

#include <string>

#include "collect_store.h"

// The publisher's summary of a store. Made in C++ from the rows the store hands back, so both
// stores give the same report for the same posts; sums saturate, stored text is escaped, and no
// stored value makes it fail. Plain functions: any thread (the store is used by the caller's).
namespace halv::collect {

enum class ReportFormat { Text, Json, Csv };

struct ReportOptions {
  ReportFormat format = ReportFormat::Text;
  TimeRange range;
  // CSV holds one table: "transfers" (the default), "failures", "nodes", "clients" or "posts".
  std::string table = "transfers";
};

// Reads `store` and answers the report. Throws DatabaseError when the store cannot be read and
// std::invalid_argument for an unknown table.
std::string MakeReport(Store& store, const ReportOptions& options);

// Reads a UTC date ("2026-12-10") or time ("2026-12-10T17:05", "…:30", "…:30.250", a trailing
// "Z" optional, a space for the "T" allowed) into the stores' "YYYY-MM-DDTHH:MM:SS.mmmZ". Throws
// std::invalid_argument naming the text.
std::string ParseUtcTime(const std::string& text);

}  // namespace halv::collect

#endif  // HALV_TOOLS_COLLECT_COLLECT_REPORT_H_
