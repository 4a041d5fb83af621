#pragma once
// The initialise reply: "scan id|static ids|scan time|client address", the
// static ids comma-separated in scan order, a leading "-" marking a file the
// service does not know. Fields are taken exactly as they stand: no
// trimming, so a line end after the last field belongs to the address.

#include <string>
#include <string_view>
#include <vector>

#include "core/base/record.h"

namespace zorvane::protocol {

// True when the scan id can go into a request target and a body: no
// control character (C0, DEL, C1) and no space.
bool isUsableScanId(std::u16string_view scanId);

// Stores the reply's values: "scanId", "scanTime" and "client_ip" in the
// scan record, "staticId" and "corvUnknown" in every process record. False
// (with a diagnostic trace) when the reply has not four fields or an unusable
// scan id, in which case nothing is stored, or when its static id count
// differs from the number of process records, in which case the three scan
// record values are stored and no process record changes.
bool applyInitialiseReply(std::vector<ProcessRecord>& processList, ProcessRecord& scanRecord,
                          std::u16string_view reply);

// The service's side: the reply text for these values. The static ids of
// unknown files carry their leading "-" already.
std::string formatInitialiseReply(std::string_view scanId, const std::vector<std::string>& staticIds,
                                  std::string_view scanTime, std::string_view clientAddress);

}  // namespace zorvane::protocol
