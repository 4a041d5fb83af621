#include "service/status.h"

#include <algorithm>

namespace zorvane::service {

namespace {

struct StatusNames {
    FileStatus status;
    std::string_view name;
    std::string_view slug;
};

constexpr StatusNames kNames[] = {
    {FileStatus::KnownBad, "known bad", "known-bad"}, {FileStatus::Rare, "rare", "rare"},
    {FileStatus::New, "new", "new"},                  {FileStatus::Unknown, "unknown", "unknown"},
    {FileStatus::Common, "common", "common"},         {FileStatus::KnownGood, "known good", "known-good"},
};

}  // namespace

std::string_view statusName(FileStatus status)
{
    return kNames[static_cast<int>(status)].name;
}

std::string_view statusSlug(FileStatus status)
{
    return kNames[static_cast<int>(status)].slug;
}

std::optional<FileStatus> statusFromSlug(std::string_view slug)
{
    for (const StatusNames& names : kNames) {
        if (names.slug == slug)
            return names.status;
    }
    return std::nullopt;
}

FileStatus fileStatus(const StoredFile* file, bool isNew, std::int64_t machinesInAll)
{
    if (!file)
        return FileStatus::Unknown;
    // sets are ordered bad first, so the first match decides.
    if (!file->sets.empty())
        return file->sets.front().bad ? FileStatus::KnownBad : FileStatus::KnownGood;
    if (isRare(file->prevalence, machinesInAll))
        return FileStatus::Rare;
    if (isNew)
        return FileStatus::New;
    if (file->prevalence.machines >= 2)
        return FileStatus::Common;
    return FileStatus::Unknown;
}

FileStatus moreUrgent(FileStatus a, FileStatus b)
{
    return std::min(a, b);
}

}  // namespace zorvane::service
