#include "core/exchange/exchange_driver.h"

#include <algorithm>
#include <limits>

#include "core/base/clock.h"
#include "core/base/keys.h"
#include "core/base/run_settings.h"
#include "core/base/string_ids.h"
#include "core/base/trace.h"
#include "core/exchange/frame_notifier.h"
#include "core/gui/browser.h"
#include "core/progress/progress.h"
#include "protocol/initialise_reply.h"

namespace zorvane {

ScanExchange::ScanExchange(HttpTransport& transport, const RunSettings& settings)
    : connection(transport, settings.host, settings.port)
{
}

namespace {

// The bar follows the body written, clamped to the range.
void showBytesWritten(ProgressView& view, std::uint32_t bytesWritten)
{
    const std::int32_t maximum = view.state().maximum;
    const std::int32_t position =
        static_cast<std::int32_t>(std::min<std::int64_t>(bytesWritten, std::max<std::int32_t>(maximum, 0)));
    view.setPosition(position);
}

// Both exchanges; false on the first failure, and false as soon as the
// cancel flag is seen: a cancelled scan sends nothing more, and a body
// being written is abandoned, not finished.
bool runExchanges(ScanExchange& exchange, std::vector<ProcessRecord>& processList, ProcessRecord& scanRecord,
                  const ExchangeServices& services, std::u16string& resultsAddress)
{
    ProgressView& view = services.progress;
    const auto cancelled = [&view] { return view.state().cancel.load(); };

    protocol::buildInitialiseFields(processList, exchange.fields);
    // The digests go uncompressed; a failed encoding is never sent.
    if (!protocol::encodeFields(exchange.fields, false))
        return false;
    if (cancelled() || !exchange.connection.startPost(services.settings.initialisePath, exchange.fields))
        return false;
    if (!exchange.connection.writeBody({}, cancelled))
        return false;
    std::u16string reply;
    if (!exchange.connection.finishPost(reply))
        return false;
    if (!protocol::applyInitialiseReply(processList, scanRecord, reply))
        return false;

    exchange.fields = protocol::buildSubmitFields(exchange.encoder, scanRecord, processList);
    if (exchange.compress && !protocol::encodeFields(exchange.fields, true))
        return false;
    const auto target = protocol::submitTarget(services.settings.submitPathTemplate, scanRecord[keys::kScanId]);
    if (!target || cancelled() || !exchange.connection.startPost(*target, exchange.fields))
        return false;

    const std::uint32_t bodyLength = exchange.connection.bodyLength();
    view.setRange(static_cast<std::int32_t>(std::min<std::uint32_t>(bodyLength, std::numeric_limits<std::int32_t>::max())));
    if (!exchange.connection.writeBody([&view](std::uint32_t written) { showBytesWritten(view, written); }, cancelled))
        return false;

    view.setStatus(text::kServerProcessing);
    return exchange.connection.finishPost(resultsAddress) && !cancelled();
}

}  // namespace

bool exchangeWithServer(std::vector<ProcessRecord>& processList, ProcessRecord& scanRecord,
                        const ExchangeServices& services)
{
    ProgressView& view = services.progress;
    view.setPosition(0);
    view.setStatus(text::kCommunicating);
    view.setHeadline(text::kGettingResults);

    std::u16string resultsAddress;
    {
        ScanExchange exchange(services.transport, services.settings);
        if (!runExchanges(exchange, processList, scanRecord, services, resultsAddress)) {
            view.setStatus(text::kSendFailed);
            return false;
        }
    }

    // A reply line may end in CR/LF or spaces; the address is what precedes them.
    while (!resultsAddress.empty() &&
           (resultsAddress.back() == u' ' || resultsAddress.back() == u'\t' || resultsAddress.back() == u'\r' ||
            resultsAddress.back() == u'\n'))
        resultsAddress.pop_back();

    // The result page offers, and says it opened, only an address that was
    // opened: any other outcome clears what an earlier scan stored.
    bool opened = false;
    if (services.settings.openBrowser) {
        if (resultsAddress.size() > kMaxResultsAddress) {
            // A cut address would lead nowhere; the result page shows none.
            traceDiagnostic(u"The results address returned from server is too long to open.\n");
        } else if (!isWebAddress(resultsAddress)) {
            // A path, a share or another scheme is never handed to the
            // shell, so the result page offers none either.
            traceDiagnostic(u"The results address returned from server is not a web address.\n");
        } else {
            view.setStatus(text::kOpeningResults);
            services.clock.sleep(kBrowserPauseMs);
            // Closed during the pause: the program is ending; open nothing.
            if (view.state().cancel)
                return false;
            services.frame.storeResultsAddress(resultsAddress);
            services.frame.openAddress(resultsAddress);
            opened = true;
        }
    }
    if (!opened)
        services.frame.storeResultsAddress(u"");
    view.setProgressPageVisible(false);
    services.frame.postScanComplete();
    return true;
}

}  // namespace zorvane
