#include "main/send_flow.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <utility>

#include "core/packing/delivery_plan.h"
#include "core/platform/platform.h"
#include "core/platform/time_text.h"
#include "core/tracking/hash_cache.h"
#include "county/text.h"
#include "main/bundle.h"
#include "main/packing.h"
#include "main/settings.h"
#include "main/summary.h"
#include "token_store/token_store.h"
#include "winhttp/http_client.h"

namespace dalvento {

namespace {

constexpr std::string_view SENDING = "Sending to Dalvento\xE2\x80\xA6";
constexpr std::string_view COULDNT_SEND = "Couldn't send";
constexpr std::string_view FORGOTTEN =
    " It's been forgotten here; the next Send asks for it again.";
constexpr std::string_view STOP_TITLE = "Stop sending?";
constexpr std::string_view STOP_TEXT =
    "The upload stops now. The zip stays in the outbox and nothing is recorded as sent; press "
    "Send to Dalvento to send it later.";
constexpr std::string_view DOT = " \xC2\xB7 ";  // " · "

// Reads exactly `digits` decimal digits at `pos`.
std::optional<int> read_number(std::string_view text, size_t& pos, size_t digits) {
    if (pos + digits > text.size()) return std::nullopt;
    int value = 0;
    for (size_t i = 0; i < digits; ++i) {
        const char c = text[pos + i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    pos += digits;
    return value;
}

bool expect(std::string_view text, size_t& pos, std::string_view options) {
    if (pos >= text.size() || options.find(text[pos]) == std::string_view::npos) return false;
    ++pos;
    return true;
}

std::optional<Time> parse_rfc3339(std::string_view text) {
    size_t pos = 0;
    const auto year = read_number(text, pos, 4);
    if (!year || !expect(text, pos, "-")) return std::nullopt;
    const auto month = read_number(text, pos, 2);
    if (!month || !expect(text, pos, "-")) return std::nullopt;
    const auto day = read_number(text, pos, 2);
    if (!day || !expect(text, pos, "Tt ")) return std::nullopt;
    const auto hour = read_number(text, pos, 2);
    if (!hour || !expect(text, pos, ":")) return std::nullopt;
    const auto minute = read_number(text, pos, 2);
    if (!minute || !expect(text, pos, ":")) return std::nullopt;
    const auto second = read_number(text, pos, 2);
    if (!second) return std::nullopt;
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        const size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
            ++pos;
        if (pos == start) return std::nullopt;
    }
    int offset_minutes = 0;
    if (pos < text.size() && (text[pos] == 'Z' || text[pos] == 'z')) {
        ++pos;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int sign = text[pos] == '-' ? -1 : 1;
        ++pos;
        const auto oh = read_number(text, pos, 2);
        if (!oh || !expect(text, pos, ":")) return std::nullopt;
        const auto om = read_number(text, pos, 2);
        if (!om || *oh > 23 || *om > 59) return std::nullopt;
        offset_minutes = sign * (*oh * 60 + *om);
    } else {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;

    const std::chrono::year_month_day date{std::chrono::year(*year),
                                           std::chrono::month(static_cast<unsigned>(*month)),
                                           std::chrono::day(static_cast<unsigned>(*day))};
    if (!date.ok() || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
    const auto at = std::chrono::sys_days(date) + std::chrono::hours(*hour) +
                    std::chrono::minutes(*minute) + std::chrono::seconds(*second) -
                    std::chrono::minutes(offset_minutes);
    return std::chrono::time_point_cast<Time::duration>(at);
}

void show_send_failure(MainWindow& window, const std::string& title, const std::string& message) {
    save_state_or_report(window);
    window.progress_line = message;
    render_summary(window);
    window.desktop.message_box(title, message, BoxStyle::error);
}

}  // namespace

std::string service_host_text(std::string_view base_url) {
    while (!base_url.empty() && base_url.back() == '/')
        base_url.remove_suffix(1);
    if (base_url.starts_with("https://")) {
        base_url.remove_prefix(8);
    } else if (base_url.starts_with("http://")) {
        base_url.remove_prefix(7);
    }
    return std::string(base_url);
}

std::string review_text(const PreparedDelivery& delivery, const ZipResult& zip,
                        const std::string& zip_name, const std::string& host) {
    size_t going = 0;
    std::string going_lines;
    std::string staying_out;
    for (const DeliveryUnit& unit : delivery.units) {
        if (goes(unit, delivery.send_everything)) {
            ++going;
            std::vector<std::string> tags;
            if (!unit.core) tags.push_back("extra");
            if (!unit.last_sent) tags.push_back("first time");
            going_lines += "  " + unit_label(unit) + ", " + size_text(unit.total_bytes.value_or(0));
            if (!tags.empty()) going_lines += "  (" + join(tags, ", ") + ")";
            going_lines += "\r\n";
        }
        if (auto line = staying_out_reason(unit, delivery.send_everything)) staying_out += *line;
    }

    const std::string unusual = trim(delivery.unusual);
    std::string text =
        "About to send " + zip_name + " to " + host + ".\r\n" +
        count_with_noun(zip.file_count, "file") + " in " + count_with_noun(going, "unit") + ", " +
        size_text(zip.bytes) + ".\r\nFrom " + given_or(delivery.sender, "(no name given)") +
        "; reason: " + given_or(delivery.reason, "(none given)") + "; " +
        (unusual.empty() ? "nothing unusual noted" : "unusual: " + unusual) + ".\r\n";
    text += "\r\nGoing:\r\n" + going_lines;
    if (staying_out.empty()) {
        text += "\r\nStaying out: nothing; every unit found is going.\r\n";
    } else {
        text += "\r\nStaying out:\r\n" + staying_out;
    }
    return text;
}

namespace {

std::string rate_text(double bytes_per_second) {
    constexpr double KIB = 1024.0, MIB = 1024.0 * 1024.0;
    char text[32];
    if (bytes_per_second >= MIB) {
        std::snprintf(text, sizeof text, "%.1f MB/s", bytes_per_second / MIB);
    } else {
        std::snprintf(text, sizeof text, "%.0f KB/s", bytes_per_second / KIB);
    }
    return text;
}

std::string time_left_text(double seconds) {
    const auto up = [](double value) { return static_cast<uint64_t>(std::ceil(value)); };
    if (up(seconds) < 60)
        return "about " + std::to_string(std::max<uint64_t>(up(seconds), 1)) + " s left";
    if (seconds < 7200) return "about " + std::to_string(up(seconds / 60)) + " min left";
    return "about " + std::to_string(up(seconds / 3600)) + " h left";
}

}  // namespace

std::string progress_text(const SendStatus& status) {
    std::string text(SENDING);
    switch (status.stage) {
        case SendStage::announce:
            text += " announcing";
            break;
        case SendStage::upload:
            text += " " + std::to_string(whole_percent(status.done, status.total)) + "%";
            break;
        case SendStage::complete:
            text += " confirming";
            break;
    }
    const std::string dot(DOT);
    if (status.waiting) {
        const RetryWait& wait = *status.waiting;
        return text + dot + wait.reason + "; trying again in " + std::to_string(wait.seconds_left) +
               " s (" + std::to_string(wait.attempt) + " of " + std::to_string(MAX_ATTEMPTS) + ")";
    }
    if (status.stage == SendStage::upload && status.bytes_per_second) {
        const double rate = *status.bytes_per_second;
        text += dot + rate_text(rate);
        if (rate > 0 && status.total > status.done) {
            text += dot + time_left_text(static_cast<double>(status.total - status.done) / rate);
        }
    }
    return text;
}

std::optional<std::string> local_time_text(std::string_view rfc3339) {
    const std::optional<Time> at = parse_rfc3339(rfc3339);
    if (!at) return std::nullopt;
    std::string text = format_local(*at, "%Y-%m-%d %H:%M");
    if (text.empty()) return std::nullopt;
    return text;
}

std::string receipt_text(const RunningSend& send) {
    return send.zip_name + "\n" + std::to_string(send.file_count) + " files, " +
           size_text(send.zip_bytes) + "\nFingerprint (SHA-256): " + send.fingerprint;
}

void send_flow(MainWindow& window) {
    std::optional<PreparedDelivery> prepared = prepare_delivery(window, CONFIRM_SEND);
    if (!prepared) return;

    if (!window.token) {
        const std::optional<std::string> entered = window.desktop.show_token_prompt();
        if (!entered) return;
        const auto saved = save_token(window.state, *entered, window.protect);
        if (!saved) {
            window.desktop.message_box(std::string(TOKEN_NOT_KEPT_TITLE), saved.error(),
                                       BoxStyle::error);
            return;
        }
        if (!*saved) return;
        window.token = **saved;
        save_state_or_report(window);
    }

    const auto outbox = make_outbox_folder();
    if (!outbox) {
        window.desktop.message_box("Couldn't build the zip", zip_failure_text(outbox.error()),
                                   BoxStyle::error);
        return;
    }
    // One zip per delivery content: a zip kept from a failed try is replaced, not piled up.
    PackRequest request = pack_request(
        *prepared, *outbox / zip_file_name(prepared->export_date.date, prepared->units),
        window.now());
    start_packing(window, std::move(request),
                  [prepared = std::move(*prepared)](MainWindow& window, const ZipResult& zip) {
                      send_packed(window, prepared, zip);
                  });
}

void send_packed(MainWindow& window, const PreparedDelivery& prepared, const ZipResult& zip) {
    const std::string zip_name = platform::path_text(zip.path.filename());
    std::string body = build_announce_body(
        prepared.units, prepared.send_everything, prepared.export_date.date, prepared.sender,
        prepared.reason, prepared.unusual, announce_zip_name(zip.path), zip.bytes, zip.sha256);
    std::string base_url = window.state.host && !trim(*window.state.host).empty()
                               ? trim(*window.state.host)
                               : std::string(DEFAULT_SERVICE_BASE_URL);

    const std::string review = review_text(prepared, zip, zip_name, service_host_text(base_url));
    if (window.desktop.show_review(review) != ReviewAnswer::send) {
        (void)platform::remove_file(zip.path);
        return;
    }

    SendJob job{.base_url = std::move(base_url),
                .token = *window.token,
                .zip_path = zip.path,
                .announce_body = std::move(body)};
    std::shared_ptr<HttpSeam> http = window.make_http();
    auto started = SendProgress::start(
        window.start_worker, window.desktop.work_notice_poster(),
        [job = std::move(job), http, clock = window.send_clock](SendProgress& progress) {
            const SendHooks hooks{
                .report = [&](const SendStatus& status) { progress.report(status); },
                .stop = &progress.stop_flag(),
                .clock = clock};
            return send_delivery(job, *http, hooks);
        });
    if (!started) {
        window.desktop.message_box(
            std::string(COULDNT_SEND),
            "The upload couldn't be started (" + started.error() +
                ").\n\nNothing was sent. The zip is kept in the outbox; press Send to Dalvento "
                "to try again.",
            BoxStyle::error);
        return;
    }

    window.send_job = RunningSend{.progress = std::move(*started),
                                  .units = prepared.units,
                                  .zip_path = zip.path,
                                  .zip_name = zip_name,
                                  .fingerprint = zip.sha256,
                                  .file_count = zip.file_count,
                                  .zip_bytes = zip.bytes,
                                  .send_everything = prepared.send_everything};
    // The send button stops the send while it runs.
    window.desktop.set_send_button_stops(true);
    window.desktop.set_delivery_buttons_enabled(true, false);
    window.progress_line = std::string(SENDING);
    render_summary(window);
    window.heard_tenth = -1;
    announce_progress(window, 0, 1);
}

void ask_to_stop_send(MainWindow& window) {
    if (window.desktop.message_box(std::string(STOP_TITLE), std::string(STOP_TEXT),
                                   BoxStyle::question_no_default) != BoxAnswer::yes) {
        return;
    }
    // The send may have ended while the question was open.
    if (!window.send_job) return;
    window.send_job->progress->stop();
    // Until the send has ended there is nothing more the button can do.
    window.desktop.set_delivery_buttons_enabled(false, false);
}

void handle_send_notice(MainWindow& window) {
    if (!window.send_job) return;
    const std::optional<SendOutcome> ended = window.send_job->progress->outcome();
    if (!ended) {
        // Up to five a second for as long as the upload lasts: the status box only, no rescan.
        const SendStatus status = window.send_job->progress->progress();
        window.progress_line = progress_text(status);
        window.desktop.show_status(
            with_progress_line(window.status_without_progress, window.progress_line));
        announce_progress(window, status.done, status.total);
        return;
    }

    const RunningSend send = std::move(*window.send_job);
    window.send_job.reset();
    window.desktop.set_send_button_stops(false);
    window.desktop.set_delivery_buttons_enabled(true, true);
    const SendOutcome& outcome = *ended;

    if (!outcome) {
        const SendError& error = outcome.error();
        if (error.kind == SendErrorKind::stopped) {
            // The office asked for it: the status box says so, without a box to close.
            save_state_or_report(window);
            window.progress_line = send_error_message(error);
            render_summary(window);
        } else if (error.kind == SendErrorKind::token_refused) {
            if (window.settings_window && window.token) {
                window.settings_window->forget_refused(*window.token);
            }
            window.token.reset();
            remove_token(window.state);
            show_send_failure(window, "Token refused",
                              send_error_message(error) + std::string(FORGOTTEN));
        } else {
            show_send_failure(window, std::string(COULDNT_SEND), send_error_message(error));
        }
        return;
    }

    const Receipt& receipt = *outcome;
    const std::string& at =
        receipt.already_received ? receipt.already_received_at : receipt.received_at;
    const std::string time = local_time_text(at).value_or(at);
    const std::string headline = receipt.already_received
                                     ? "Dalvento already had this delivery (received " + time + ")."
                                     : "Received by Dalvento at " + time + ".";
    const std::string title = receipt.already_received ? "Already received" : "Received";

    record_delivery(window.state, send.units, send.send_everything);
    window.status_line.clear();
    (void)platform::remove_file(send.zip_path);
    save_state_or_report(window);
    window.progress_line = headline;
    render_summary(window);
    const std::string receipt_copy = receipt_text(send);
    const auto copied = window.desktop.set_clipboard(receipt_copy);
    window.desktop.message_box(title,
                               headline + "\n\n" + receipt_copy + "\n\n" +
                                   (copied ? std::string("(Receipt copied to the clipboard.)")
                                           : clipboard_failure_note(copied.error())) +
                                   " That's the delivery done.",
                               BoxStyle::information);
}

}  // namespace dalvento
