#pragma once
// The pages and exports of a stored scan. Every value from a scan is
// escaped for its context: HTML text and attributes, CSV cells, JSON
// strings.

#include <string>
#include <string_view>

#include "service/store.h"

namespace zorvane::service {

std::string escapeHtml(std::string_view text);

std::string renderReportPage(const StoredScan& scan);
std::string renderReportJson(const StoredScan& scan);
std::string renderReportCsv(const StoredScan& scan);
std::string renderAgreementPage();
std::string renderMessagePage(std::string_view title, std::string_view message);

}  // namespace zorvane::service
