#pragma once
// One status per file and per process, ranked by how much it deserves a
// look. A set the operator imported is the strongest word on a file; then
// how widely the file was seen, and whether it is new on the machine.

#include <cstdint>
#include <optional>
#include <string_view>

#include "service/store.h"

namespace zorvane::service {

// In rank order: the first deserves the first look.
enum class FileStatus { KnownBad, Rare, New, Unknown, Common, KnownGood };

inline constexpr FileStatus kStatusesInRank[] = {FileStatus::KnownBad, FileStatus::Rare,   FileStatus::New,
                                                 FileStatus::Unknown,  FileStatus::Common, FileStatus::KnownGood};

// "known bad", "rare", "new", "unknown", "common", "known good".
std::string_view statusName(FileStatus status);
// "known-bad", "rare", ... as a page's class names and query values take it.
std::string_view statusSlug(FileStatus status);
std::optional<FileStatus> statusFromSlug(std::string_view slug);

// The status of a file of a scan (none: a record whose file the store does
// not name). `isNew`: the machine never sent the file before this scan.
FileStatus fileStatus(const StoredFile* file, bool isNew, std::int64_t machinesInAll);

// The more urgent of two statuses: a process is as urgent as the most
// urgent of its own file and its modules.
FileStatus moreUrgent(FileStatus a, FileStatus b);

}  // namespace zorvane::service
