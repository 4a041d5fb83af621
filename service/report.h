#pragma once
// The pages and exports of a stored scan. Every value from a scan is
// escaped for its context: HTML text and attributes, CSV cells, JSON
// strings. Reports are read from the store and written page by page, so
// that neither a big scan nor many readers at once hold a whole report in
// memory.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "service/status.h"
#include "service/store.h"

namespace zorvane::service {

std::string escapeHtml(std::string_view text);

enum class ReportFormat { Page, Json, Csv };

// One report being written.
class ReportWriter {
public:
    virtual ~ReportWriter() = default;
    // Appends the next piece of the report to `out` (possibly nothing, while
    // the page counts the scan's records first). False once nothing is
    // left: then failed() tells a complete report from one cut short
    // because the store gave no page (the scan went, or the storage failed).
    virtual bool next(std::string& out) = 0;
    virtual bool failed() const = 0;
};

// The report of the submitted scan that `outline` describes, read from
// `store` in pages of `pages` (whose `first` and `positions` are ignored).
// The page lists the processes by status in rank order, then in scan
// order, and only those of status `only` when it is given; the exports hold
// every record in scan order. The store must outlive the writer.
std::unique_ptr<ReportWriter> openReport(ScanStore& store, ScanOutline outline, ReportFormat format,
                                         PageRequest pages = {}, std::optional<FileStatus> only = std::nullopt);

std::string renderAgreementPage();
std::string renderMessagePage(std::string_view title, std::string_view message);

}  // namespace zorvane::service
