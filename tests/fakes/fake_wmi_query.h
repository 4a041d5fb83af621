#pragma once
// A staged WMI for the native tests: the objects each query returns (or that
// it cannot run), the connection result and the process id. Like the real
// adapter, every returned object holds exactly the listed properties, with
// empty text for the ones the staged object lacks.
//
//   FakeWmiQuery wmi;
//   wmi.stage(u"SELECT * FROM Win32_Processor", {{{u"Caption", u"x86"}, {u"ProcessorId", u"BF"}}});
//   wmi.fail(u"SELECT * FROM Win32_DisplayConfiguration");

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/extractors/wmi_info.h"

namespace zorvane::fakes {

class FakeWmiQuery : public WmiQuery {
public:
    // Queries that were never staged return no objects.
    FakeWmiQuery& stage(const std::u16string& query, WmiObjects objects)
    {
        staged_[query] = std::move(objects);
        return *this;
    }
    FakeWmiQuery& fail(const std::u16string& query)
    {
        staged_[query] = std::nullopt;
        return *this;
    }

    bool connectResult = true;
    std::uint32_t processId = 4242;
    int connects = 0;
    std::vector<std::u16string> queries;  // in the order they ran
    std::function<void(const std::u16string&)> onQuery;  // called as each query runs

    bool connect() override
    {
        ++connects;
        return connectResult;
    }

    std::optional<WmiObjects> run(const std::u16string& query, const std::vector<std::u16string>& properties) override
    {
        queries.push_back(query);
        if (onQuery)
            onQuery(query);
        const auto found = staged_.find(query);
        if (found == staged_.end())
            return WmiObjects{};
        if (!found->second)
            return std::nullopt;
        WmiObjects result;
        for (const WmiObject& object : *found->second) {
            WmiObject& map = result.emplace_back();
            for (const auto& name : properties) {
                const auto value = object.find(name);
                map[name] = value == object.end() ? std::u16string() : value->second;
            }
        }
        return result;
    }

    std::uint32_t currentProcessId() override { return processId; }

private:
    std::map<std::u16string, std::optional<WmiObjects>> staged_;
};

}  // namespace zorvane::fakes
