#include "protocol/initialise_reply.h"

#include "core/base/keys.h"
#include "core/base/trace.h"
#include "protocol/field_text.h"

namespace zorvane::protocol {

bool isUsableScanId(std::u16string_view scanId)
{
    for (char16_t c : scanId)
        if (c <= u' ' || (c >= 0x7F && c <= 0x9F))
            return false;
    return true;
}

bool applyInitialiseReply(std::vector<ProcessRecord>& processList, ProcessRecord& scanRecord,
                          std::u16string_view reply)
{
    std::vector<std::u16string> fields = splitText(reply, u'|');
    if (fields.size() != 4) {
        traceDiagnostic(u"No of static id fields returned from server is %d, expected 4.\n");
        return false;
    }
    if (!isUsableScanId(fields[0])) {
        traceDiagnostic(u"The scan id returned from server holds a control character or a space.\n");
        return false;
    }
    scanRecord[keys::kScanId] = fields[0];
    scanRecord[keys::kScanTime] = fields[2];
    scanRecord[keys::kClientIp] = fields[3];

    std::vector<std::u16string> staticIds = splitText(fields[1], u',');
    // A scan without records (a record limit of 0, say) is answered with no
    // ids at all, which splits like one empty id.
    if (processList.empty() && fields[1].empty())
        staticIds.clear();
    if (staticIds.size() != processList.size()) {
        traceDiagnostic(u"The number of static ids returned from server is %d, while there are %d processes.\n");
        return false;
    }
    for (std::size_t k = 0; k < processList.size(); ++k) {
        std::u16string& id = staticIds[k];
        ProcessRecord& record = processList[k];
        if (!id.empty() && id.front() == u'-') {
            id.erase(0, 1);
            // assign(count, unit): mingw GCC 12 at -O3 warns falsely (-Wrestrict) on a literal.
            record[keys::kCorvUnknown].assign(1, u'1');
        } else {
            record[keys::kCorvUnknown].clear();
        }
        record[keys::kStaticId] = std::move(id);
    }
    return true;
}

std::string formatInitialiseReply(std::string_view scanId, const std::vector<std::string>& staticIds,
                                  std::string_view scanTime, std::string_view clientAddress)
{
    std::string reply(scanId);
    reply.push_back('|');
    for (std::size_t k = 0; k < staticIds.size(); ++k) {
        if (k != 0)
            reply.push_back(',');
        reply.append(staticIds[k]);
    }
    reply.push_back('|');
    reply.append(scanTime).push_back('|');
    reply.append(clientAddress);
    return reply;
}

}  // namespace zorvane::protocol
