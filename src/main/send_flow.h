// The send road: the token prompt when no token is set, the zip built into the outbox, the last
// review of what leaves the computer, the upload on a worker thread with its progress in the
// status box, and the outcome: the receipt, or one message with the zip kept in the outbox.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/packing/zip_builder.h"
#include "main/main_window.h"
#include "main/prepare.h"
#include "upload/delivery.h"

namespace dalvento {

// The service as the review names it: no trailing slashes, no leading "https://" (else "http://").
std::string service_host_text(std::string_view base_url);

// The "About to send" text: what goes, to where, from whom, and what stays out. CRLF line ends.
std::string review_text(const PreparedDelivery& delivery, const ZipResult& zip,
                        const std::string& zip_name, const std::string& host);

// The status line while a send runs, e.g. "Sending to Dalvento… 42% · 2.4 MB/s · about 3 min
// left", or while it waits to try again.
std::string progress_text(const SendStatus& status);

// An RFC 3339 time shown in local time as "%Y-%m-%d %H:%M"; none when it is not such a time.
std::optional<std::string> local_time_text(std::string_view rfc3339);

// The receipt put on the clipboard.
std::string receipt_text(const RunningSend& send);

// The send button's flow, up to the zip's packing started.
void send_flow(MainWindow& window);

// The rest of the send button's flow once the zip is packed: the review, then the worker.
void send_packed(MainWindow& window, const PreparedDelivery& prepared, const ZipResult& zip);

// The send button while a send runs: asks, and stops the send on Yes.
void ask_to_stop_send(MainWindow& window);

// The work notice while a send runs: its progress, then its outcome.
void handle_send_notice(MainWindow& window);

}  // namespace dalvento
